// Start-up of crash capture: the crash context in guarded memory, the
// queues of crash capture, the installation of the capture mechanisms, the
// metadata record, and the guards that tell whether capture is ready and
// whether a crash is already being recorded.
//
// CTRContextInitialize runs once per launch, from the crash-reporting
// controller, with the capture start record. It creates the allocator (two
// 262144-byte stacks and the writable state in the writable region, the
// context and the path copies in the read-only region), stores the record's
// values and the record file paths in the context, and runs the set-up
// tasks in parallel on the default global queue: host facts, user logging,
// binary images, the crash handlers (signal, exception; none when a
// debugger is attached) and the metadata record. When all have finished the
// context is marked initialized and its region write-protected.
//
// Guarantees:
//  1. The record's strings need to live only for the call: everything that
//     the context or a set-up task keeps is copied first (a task that
//     outlives a time-out still reads valid copies).
//  2. The call waits at most the set-up time-out (5 s) for the tasks AND the
//     completion: when it returns without a time-out, the context is
//     initialized and protected. After a time-out it still answers true; the
//     tasks and the completion finish later.
//  3. CTRContextIsInitialized, CTRContextMarkAndCheckIfCrashed,
//     CTRContextHasCrashed and CTRContextMarkCrashed allocate nothing, take
//     no lock and are async-signal-safe. The crashed flag is tested and set
//     in one atomic step: exactly one caller sees "not yet crashed".
//  4. Start-up never fails for lack of guarded memory (the allocator falls
//     back to malloc); it fails only without a record or report directory.
// Not promised: a second CTRContextInitialize makes a second allocator and
// context (the first is never given back); the controller calls it once.
//
// Capture mechanisms that are not part of this start-up (signal and
// exception handlers, binary images, user logging, the executable section
// of the metadata record) are reached through CTRCaptureHooks; a hook that
// is not set is skipped. Mach exceptions do not exist on Linux: their record
// path and mask are stored in the context and nothing is installed.
//
// Thread safety: CTRContextInitialize is called from one thread (the
// controller's), once. The guards may be called from any thread, including
// signal handlers. The hooks are set before start-up.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/dispatch/dispatch.h"
#include "platform/system/bundle.h"
#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_file.h"

namespace sdk {

inline constexpr const char* kCTRLoggingQueueLabel = "com.beacon.crashtrail.mac.logging";
inline constexpr const char* kCTRBinaryImagesQueueLabel = "com.beacon.crashtrail.mac.binary-images";
inline constexpr const char* kCTRExceptionQueueLabel = "com.beacon.crashtrail.mac.exception";
inline constexpr const char* kCTRSDKLogFileName = "sdk.log";

// Identity written into the metadata record.
inline constexpr const char* kCTRMetadataGenerator = "Crashtrail Mac SDK/3.8.4";
inline constexpr const char* kCTRMetadataBuildVersion = "121";
inline constexpr const char* kCTRMetadataDisplayVersion = "3.8.4";

// Extra read-only room for the copies of paths, beside the context.
inline constexpr std::size_t kCTRContextPathSpace = 16384;
// How long CTRContextInitialize waits for its set-up tasks.
inline constexpr std::chrono::nanoseconds kCTRContextInitializationTimeout{5'000'000'000};

// The capture start record, in the controller's field order. The strings
// need to live only for the call; the targets are held for the process.
struct CTRCaptureStartRecord {
  const char* apiKey = nullptr;
  std::shared_ptr<CTRUrgentSubmissionTarget> urgentSubmissionTarget;
  bool firstInstall = false;
  std::shared_ptr<CTRCrashCallbackTarget> crashCallbackTarget;
  const char* customBundleID = nullptr;  // null or empty: "custom_bundle_id" is null
  const char* reportDirectoryPath = nullptr;
  const char* sessionID = nullptr;  // this launch's report identifier
  const char* installID = nullptr;
  const char* betaToken = nullptr;  // nullptr when none
  std::uint32_t machExceptionMask = 0;
  bool errorReportingEnabled = false;
  bool customExceptionsEnabled = false;
  std::uint32_t maxCustomExceptions = 0;
  std::uint32_t errorLogBufferSize = 0;
  std::uint32_t logBufferSize = 0;
  std::uint32_t maxCustomKeys = 0;
  // The program whose facts the report's metadata records (nullptr: the
  // running program's); read while starting, never at crash time.
  platform::BundlePtr bundle;
};

// Where start-up hands over to the capture mechanisms built beside it. Each
// runs as (or inside) one set-up task on the default global queue, after
// the context field it reads has been stored; an unset hook is skipped.
struct CTRCaptureHooks {
  // Installs the fatal-signal handlers (the path is in `state`).
  void (*signalInitialize)(CTRSignalState* state) = nullptr;
  // Installs the terminate handler and the exception-report hook.
  void (*exceptionInitialize)(CTRExceptionState* state,
                              std::uint32_t* customExceptionCount) = nullptr;
  // Opens the binary-image log (its path is in the context) and starts
  // following image loads.
  void (*binaryImageInit)() = nullptr;
  // Builds the user-logging descriptors and writable part from the record.
  void (*userLoggingInitialize)(const CTRCaptureStartRecord* record) = nullptr;
  // Writes the "executable" section of the metadata record; false on failure.
  bool (*binaryImageRecordMainExecutable)(CTRFile* file) = nullptr;
};

// Replaces the hooks (set them before CTRContextInitialize).
void CTRContextSetCaptureHooks(const CTRCaptureHooks& hooks);
CTRCaptureHooks CTRContextCaptureHooks();

// The queues of crash capture (nullptr until start-up): key-value, log,
// error and custom-exception writes; the binary-image log; fatal exception
// records.
inline platform::dispatch::QueuePtr ctrLoggingQueue;
inline platform::dispatch::QueuePtr ctrBinaryImagesQueue;
inline platform::dispatch::QueuePtr ctrExceptionQueue;

// Sets up crash capture (see the header comment). False without a record or
// without a valid report directory path.
bool CTRContextInitialize(const CTRCaptureStartRecord* record);

// The context exists and start-up has completed.
bool CTRContextIsInitialized();
// When initialized: sets the crashed flag and answers whether it was set
// already. When not initialized: false, nothing set.
bool CTRContextMarkAndCheckIfCrashed();
// Who records a crash, for a handler that is about to (see CTRContextClaimCrash).
enum class CTRCrashClaim {
  kFirst,        // this thread records the crash
  kSameThread,   // this thread is already recording one (or an unknown one is)
  kOtherThread,  // another thread is recording one: wait for it to end the process
  kNotInitialized,
};
// For the signal and Mach handlers: takes the crash for `thread` (unless
// another thread holds it) and sets the crashed flag, in atomic steps, and
// says who records the crash. A claim that the exception path of the same
// thread holds (CTRContextClaimCrashForException) is handed over: the fatal
// signal that ends an uncaught exception (its abort) is recorded by that
// thread as kFirst. Async-signal-safe, allocates nothing.
CTRCrashClaim CTRContextClaimCrash(std::int32_t thread);
// For the fatal exception path, before it writes its record: takes the
// crash for `thread` without setting the crashed flag (the abort that ends
// the exception still gets its signal record). kFirst when this thread may
// write (the claim is new, or this thread's exception path holds it
// already); kSameThread when a signal handler of this thread, or a crash
// marked without a thread, is recording; kOtherThread when another thread
// holds it (wait for that one to end the process). Allocates nothing.
CTRCrashClaim CTRContextClaimCrashForException(std::int32_t thread);
// Initialized and crashed.
bool CTRContextHasCrashed();
// Sets the crashed flag when initialized.
void CTRContextMarkCrashed();
// Clears the initialized flag (making the context writable for that) and
// releases the allocator, which gives nothing back.
void CTRContextReset();

// Writes "metadata.clsrecord" into `reportDirectory` (identity, host,
// application, executable). Failures go to the SDK log.
void CTRContextRecordMetadata(const char* reportDirectory, const CTRCaptureStartRecord* record);

// `directory` + "/" + `name`, copied into the read-only region of the
// context's allocator (see CTRCrashContextCopyString).
const char* CTRContextCopyPath(const char* directory, const char* name);

// Whether a debugger traces this process ("TracerPid" of
// /proc/self/status). When that cannot be read: a warning in the SDK log
// and false.
bool CTRProcessDebuggerAttached();

// Tests: force the debugger answer (nullopt: ask the system again) and the
// set-up time-out (nullopt: 5 s). These seams stay process-wide on purpose:
// crash capture keeps its state in globals because its handlers run in a
// signal context, where only what is reachable without locks or allocation
// may be touched (async-signal safety); there is no object to pass them to.
void CTRProcessSetDebuggerAttachedForTesting(std::optional<bool> attached);
void CTRContextSetInitializationTimeoutForTesting(std::optional<std::chrono::nanoseconds> timeout);

}  // namespace sdk
