// Crash-time process recording: every thread with its registers and stack,
// the runtime section, the queue and thread names, memory and time
// statistics and free storage, written into the record file of the fatal
// path that called it.
//
// Every fatal path (signal, fatal exception) first writes its own line into
// its record file and then calls CTRHandler, which adds, in this order, the
// sections "threads", "runtime", "dispatch_queue_names", "thread_names",
// "process_stats" and "storage". While it records, every other thread of
// the process is stopped (platform/system/thread_state.h); at the end the
// crash-callback target of the context receives deliverCrashDelegateCallback
// on the calling thread.
//
// Threads are kernel thread ids (a thread id compares equal only to itself).
// The registers of:
//  - the crashed thread, when a user context is given: that context's;
//  - the calling thread otherwise: those of CTRProcessGetThreadState's
//    caller at the call (the walk starts in the recorder);
//  - any other thread: those captured when it was stopped; for a thread
//    that did not stop but waits in the kernel, only its pc and stack
//    pointer as the kernel reports them.
//
// What Linux has no counterpart for is written as an absent value:
// "objc_selector" is "". "crash_info_entries" lists the annotations that
// the image table holds (none on ELF images without a crash-annotation
// section), then the C library's abort message when it set one (glibc sets
// it for a failed assert and for heap corruption it detects; an uncaught
// C++ exception leaves none, its type and reason are in the exception
// record). "dispatch_queue_names" gives each thread the label of the queue
// it was running (platform/dispatch/thread_crash_info.h), "" for none.
//
// Guarantees:
//  1. Nothing here allocates or takes a lock; the process record, the
//     machine context and the unwind context live on the caller's stack
//     (the signal stack is 262144 bytes). Statistics come from raw reads of
//     /proc/self/statm and /proc/meminfo and from getrusage.
//  2. A failed query only loses its own section or value; a thread whose
//     state cannot be read ends the "threads" array early, properly closed;
//     the later sections are still written.
//  3. With kResumeOthers every stopped thread is released before the crash
//     callback runs. With kHoldOthers (the fatal-signal path) they stay
//     stopped after CTRHandler returns, through the callback, so that no
//     other thread runs the program's code between the record and the end
//     of the process; CTRHandlerReleaseHeldThreads lets them go when the
//     process is to live on (a handler of the program's own runs next).
//     A stopped thread goes on by itself after
//     platform::kThreadStateMaxSuspendSeconds at the latest.
//  4. A stack of deep recursion is recorded with its repeated pc ten times,
//     then "repeated_pc" and "repeat_count" instead of the further repeats.
//  5. A stack walk ends at a step that leaves pc and stack pointer unchanged
//     (it could only repeat itself up to the unwinder's frame limit).
//
// Thread safety: crash-time code; one CTRHandler at a time (the crashed flag
// of the context keeps a second one from starting).
#pragma once

#include <sys/types.h>
#include <ucontext.h>

#include <cstdint>

#include "platform/system/thread_state.h"
#include "sdk/crash/capture/ctr_file.h"

namespace sdk {

struct CTRMachineContext;

using CTRThread = pid_t;

inline constexpr int kCTRProcessMaxThreads = ::platform::kThreadStateMaxThreads;
// The unwinder's repeat count from which a repeated pc is suppressed.
inline constexpr std::int32_t kCTRProcessRepeatedPCLimit = 10;
// Longest selector and crash-annotation message read.
inline constexpr std::size_t kCTRProcessSelectorMaxLength = 128;
inline constexpr std::size_t kCTRProcessCrashInfoMessageMaxLength = 256;
inline constexpr std::size_t kCTRProcessThreadNameLength = 64;

// The process record, on the handler's stack.
struct CTRProcess {
  pid_t task;                             // the own process id
  CTRThread currentThread;                // the thread running the handler
  CTRThread crashedThread;                // given by the caller
  const CTRThread* threads;               // the process's threads (points into `threadStorage`)
  std::uint32_t threadCount;              // 0 when the list cannot be read
  const ucontext_t* userContext;          // the signal handler's user context, or nullptr
  bool suspensionActive;                  // the other threads were asked to stop
  bool suspended[kCTRProcessMaxThreads];  // which listed threads are stopped
  CTRThread threadStorage[kCTRProcessMaxThreads];
};

// Whether CTRHandler lets the other threads go when it is done (guarantee 3).
enum class CTRHandlerRelease { kResumeOthers, kHoldOthers };

// Records the whole process into `file` (see the header comment). The
// caller closes the file afterwards.
void CTRHandler(CTRFile* file, CTRThread crashedThread, const ucontext_t* userContext,
                CTRHandlerRelease release = CTRHandlerRelease::kResumeOthers);
// Releases the threads that a CTRHandler with kHoldOthers kept stopped;
// false when none are held.
bool CTRHandlerReleaseHeldThreads();

bool CTRProcessInit(CTRProcess* process, CTRThread crashedThread, const ucontext_t* userContext);
bool CTRProcessSuspendAllOtherThreads(CTRProcess* process);
bool CTRProcessResumeAllOtherThreads(CTRProcess* process);
// The machine context of `thread` (see the header comment). False for an
// output below 4096 or a thread whose registers cannot be read.
bool CTRProcessGetThreadState(const CTRProcess* process, CTRThread thread, CTRMachineContext* out);
bool CTRProcessRecordAllThreads(CTRProcess* process, CTRFile* file);
// The return address of the frame that threw an uncaught exception, set by
// the terminate handler before it records the process (0: none): the
// recording thread's stack then starts at that frame.
void CTRProcessSetThrowSiteReturnAddress(std::uintptr_t returnAddress);
// One thread's object of the "threads" array; false when its state or the
// unwind context cannot be had (nothing written then).
bool CTRProcessRecordThread(CTRProcess* process, CTRThread thread, CTRFile* file);
void CTRProcessRecordRuntimeInfo(CTRProcess* process, CTRFile* file);
// The selector of a crash inside a message send; "" (here always).
const char* CTRProcessGetObjCSelectorName(const CTRMachineContext* crashedState);
void CTRProcessRecordCrashInfo(CTRProcess* process, CTRFile* file);
void CTRProcessRecordDispatchQueueNames(CTRProcess* process, CTRFile* file);
// The label of the thread's queue (copied into `buffer`, which is
// returned): "" when it has none or it cannot be read, nullptr when the
// thread's information cannot be read.
const char* CTRProcessGetThreadDispatchQueueName(const CTRProcess* process, CTRThread thread,
                                                 char* buffer, std::size_t capacity);
// Finds where the C library keeps the message of an abort it raises
// itself (a failed assert, a heap corruption it detected): glibc's private
// __abort_msg. Called once while allocating is allowed (crash capture's
// start); without it (or on another C library) no such entry is written.
void CTRProcessLocateAbortMessage();
void CTRProcessRecordThreadNames(CTRProcess* process, CTRFile* file);
bool CTRProcessRecordStats(CTRProcess* process, CTRFile* file);

// Host memory in bytes (from /proc/meminfo).
struct CTRProcessMemoryUsage {
  std::uint64_t active;
  std::uint64_t inactive;
  std::uint64_t wired;
  std::uint64_t free;
};
// Task sizes in bytes and processor times in microseconds.
struct CTRProcessInfo {
  std::uint64_t virtualSize;
  std::uint64_t residentSize;
  std::uint64_t userTime;
  std::uint64_t systemTime;
};
bool CTRProcessGetMemoryUsage(CTRProcessMemoryUsage* out);
bool CTRProcessGetInfo(CTRProcessInfo* out);
// Parsers of the two files' text (exposed for tests).
bool CTRProcessParseMeminfo(const char* text, std::size_t length, CTRProcessMemoryUsage* out);
bool CTRProcessParseStatm(const char* text, std::size_t length, std::uint64_t pageSize,
                          std::uint64_t* virtualSize, std::uint64_t* residentSize);

// The return address of its own call.
std::uintptr_t CTRProcessGetCallerAddress();

}  // namespace sdk
