// The process-wide state of crash capture: the crash context (read-only once
// start-up has finished) and the writable state, both in guarded memory.
//
// Crash capture keeps everything it needs at crash time in one context,
// prepared once at start-up; the handlers that run when the process crashes
// only read prepared values and write into prepared memory. The start-up
// that fills them in (guarded memory, queues, record paths, the guards that
// tell whether capture is ready or has crashed) is in ctr_context_init.h;
// each capture mechanism owns its part of the context (signal, exception,
// host, user logging) and of the writable state (binary images, user
// logging counters).
//
// Guarantees:
//  1. Every field is plain data: a context or writable state can be made by
//     zeroing memory (a zeroed context is "not initialized").
//  2. The three process-wide pointers start as nullptr and are set once by
//     the start-up, before any task that reads them is started; crash-time
//     code reads them without locks.
//  3. The context lives in the read-only region of the allocator, which is
//     write-protected when start-up has finished: a later write faults. The
//     writable state lives in the writable region and stays writable.
//  4. The two targets are held by start-up for the rest of the process.
// Not promised: the context is not write-protected until the start-up has
// finished.
//
// Thread safety: the context is written only during start-up, each task its
// own fields; afterwards it is read-only. The writable state is written with
// atomic operations where several threads may meet (the SDK log descriptor).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/crash/capture/ctr_allocator.h"
#include "sdk/crash/capture/ctr_file.h"

namespace sdk {

// Receives `potentiallySubmittableCrashOccurred` after a fatal exception has
// been recorded (the urgent-submission target of the capture start record).
class CTRUrgentSubmissionTarget {
 public:
  virtual ~CTRUrgentSubmissionTarget() = default;
  virtual void potentiallySubmittableCrashOccurred() {}
};

// Receives `deliverCrashDelegateCallback` at the end of every crash
// recording (the crash-callback target of the capture start record).
class CTRCrashCallbackTarget {
 public:
  virtual ~CTRCrashCallbackTarget() = default;
  virtual void deliverCrashDelegateCallback() {}
};

// Host facts that crash-time code needs (page size for the allocator and the
// statistics, the documents folder whose file system the storage record
// describes).
struct CTRHostState {
  const char* documentsDirectory;  // copied into the read-only region; nullptr when none
  std::uint64_t pageSize;
};

// What the fatal-exception path keeps (exception capture).
struct CTRExceptionState {
  const char* path;                    // "exception.clsrecord" in the report directory
  void (*previousTerminateHandler)();  // what std::set_terminate returned, or nullptr
  void* previousReportImplementation;  // the application's previous exception reporter, or nullptr
  std::uint32_t maxCustomExceptions;   // 0 when custom exceptions are disabled
};

// The seven handled fatal signals, in this order: SIGABRT, SIGBUS, SIGFPE,
// SIGILL, SIGSEGV, SIGSYS, SIGTRAP.
inline constexpr int kCTRSignalCount = 7;

struct CTRSignalSavedAction {
  void* handler;  // nullptr when the previous action was the default one
  std::uint32_t mask;
  std::uint32_t flags;
};

struct CTRSignalState {
  const char* path;  // "signal.clsrecord" in the report directory
  CTRSignalSavedAction savedActions[kCTRSignalCount];
  void* savedStack;  // the alternate stack in place before; nullptr when none was saved
  std::uint64_t savedStackSize;
  std::uint32_t savedStackFlags;
};

// Mach exceptions do not exist on Linux; the record path and the mask that
// the start record asks for are kept so the layout and the metadata stay the
// same, the port and handler fields are never set.
inline constexpr int kCTRMachSavedHandlerCount = 14;

struct CTRMachState {
  std::uint32_t port;
  void* serverThread;
  const char* path;  // "mach_exception.clsrecord" in the report directory
  std::uint32_t mask;
  std::uint32_t savedCount;
  std::uint32_t savedMasks[kCTRMachSavedHandlerCount];
  std::uint32_t savedPorts[kCTRMachSavedHandlerCount];
  std::uint32_t savedBehaviors[kCTRMachSavedHandlerCount];
  std::uint32_t savedFlavors[kCTRMachSavedHandlerCount];
};

// A key-value store of user logging: one line per write into the
// incremental file, merged into the compacted file after
// `maxIncrementalEntries` writes, keeping at most `maxEntries` keys.
struct CTRUserLoggingKVStorage {
  const char* incrementalPath;
  const char* compactedPath;
  std::uint32_t maxIncrementalEntries;
  std::uint32_t maxEntries;
};

// An A/B store of user logging: two files written in turn, the current one
// swapped when it exceeds its limit (bytes or entries).
struct CTRUserLoggingABStorage {
  const char* aPath;
  const char* bPath;
  std::uint32_t maxSize;
  std::uint32_t maxEntries;
  bool restrictBySize;
  std::uint32_t* entryCount;  // in the writable state; nullptr when counted by size
};

struct CTRUserLoggingState {
  CTRUserLoggingKVStorage userKVStorage;
  CTRUserLoggingKVStorage internalKVStorage;
  CTRUserLoggingABStorage logStorage;
  CTRUserLoggingABStorage errorStorage;
  CTRUserLoggingABStorage customExceptionStorage;
};

struct CTRContext {
  bool initialized;        // set when start-up has completed
  bool debuggerAttached;   // a debugger was attached at start-up: no handlers installed
  const char* sdkLogPath;  // "sdk.log" in this launch's report directory
  void* signalStack;       // kCTRContextStackSize bytes, the alternate signal stack
  void* machStack;         // kCTRContextStackSize bytes, the exception server's stack
  CTRUrgentSubmissionTarget* urgentSubmissionTarget;  // held for the process; may be nullptr
  CTRCrashCallbackTarget* crashCallbackTarget;        // held for the process; may be nullptr
  bool firstInstall;
  const char* binaryImageLogPath;  // "binary_images.clsrecord" in the report directory
  CTRExceptionState exception;
  CTRHostState host;
  CTRSignalState signal;
  CTRMachState mach;
  CTRUserLoggingState userLogging;
};

// One loaded image: base 0 marks a free entry.
struct CTRBinaryImageEntry {
  std::uint64_t base;
  std::uint64_t size;
  std::uint64_t ehFrame;
  std::uint64_t unwindInfo;
  std::uint64_t crashInfo;
};

inline constexpr int kCTRBinaryImageCount = 512;

struct CTRWritableState {
  std::int32_t sdkLogDescriptor;    // -1 until the SDK log is first written
  std::int32_t sdkLogMinimumLevel;  // messages below it are not written; 1 at creation
  bool crashed;                     // set atomically by the first handler that records a crash
  std::int32_t crashingThread;      // that handler's thread (0: none, or not known)
  CTRFile binaryImageLogFile;       // the open binary-image log; descriptor -1 when closed
  CTRBinaryImageEntry binaryImages[kCTRBinaryImageCount];
  const char* currentLogPath;              // one of the log storage's two paths
  const char* currentErrorPath;            // one of the error storage's two paths
  const char* currentCustomExceptionPath;  // one of the custom-exception storage's two paths
  std::uint32_t userKVCount;
  std::uint32_t internalKVCount;
  std::uint32_t errorCount;
  std::uint32_t customExceptionCount;
};

// Size of each of the two stacks taken from the writable region.
inline constexpr std::size_t kCTRContextStackSize = 262144;

// The process-wide values of crash capture (nullptr until start-up).
inline CTRContext* ctrContext = nullptr;
inline CTRWritableState* ctrWritableState = nullptr;
inline CTRAllocator* ctrAllocator = nullptr;

// Pointers below this are never dereferenced by crash capture.
inline constexpr std::uintptr_t kCTRMinimumValidPointer = 4096;
inline bool CTRIsValidPointer(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p) >= kCTRMinimumValidPointer;
}

}  // namespace sdk
