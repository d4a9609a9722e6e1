// The process's threads at crash time: listing them, stopping every other
// thread with its registers captured, letting them go again, and their names.
//
// Crash recording needs the registers of every thread while the threads stand
// still. Linux has no call that suspends another thread of the own process
// and reads its registers, so this layer asks each thread to stop itself:
//  - ThreadStatePrepare installs the handler of the suspend signal, the
//    real-time signal SIGRTMIN + kThreadStateSuspendSignalOffset (reserved
//    for this purpose; nothing else in the program may use it).
//  - ThreadStateSuspend sends that signal (tgkill) to each listed thread. The
//    thread's handler copies the registers of its interrupted code (its
//    ucontext) into a slot prepared at start-up and then waits on a futex
//    until ThreadStateResumeAll releases it. The caller waits a bounded time
//    for the answers; a thread that does not answer in time (it blocks the
//    signal, sleeps uninterruptibly or has exited) counts as not suspended.
//  - ThreadStateGetRegisters hands out the captured registers of a
//    suspended thread.
//
// Guarantees:
//  1. Everything but ThreadStatePrepare is async-signal-safe: raw system
//     calls (getdents64, open, read, close, tgkill, futex, nanosleep,
//     clock_gettime), no allocation, no lock. The slots (kThreadStateMaxThreads
//     of them) are static memory.
//  2. One suspension at a time: a ThreadStateSuspend while another is active
//     fails without touching any thread.
//  3. A suspended thread waits at most kThreadStateMaxSuspendSeconds and
//     then continues on its own, so a suspender that dies or forgets to
//     resume cannot stop the process for good.
//  4. A late answer (after the caller gave up on a thread, or after the
//     resume) never stops that thread.
// Not promised: a system call that the suspend signal interrupts is
// restarted (SA_RESTART) where the kernel allows it; calls that the kernel
// never restarts (sleeps, epoll_wait, ...) return EINTR to their caller.
//
// Thread safety: every function may be called from any thread, including
// signal handlers; ThreadStatePrepare belongs to start-up.
#pragma once

#include <sys/types.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>

#include "platform/dispatch/thread_crash_info.h"

namespace platform {

// At most this many threads are suspended and recorded at once.
inline constexpr int kThreadStateMaxThreads = 256;
// How long ThreadStateSuspend waits for all threads to answer.
inline constexpr int kThreadStateSuspendTimeoutMilliseconds = 1000;
// How long a suspended thread waits to be released before it goes on.
inline constexpr int kThreadStateMaxSuspendSeconds = 30;

// The general registers of a thread, in the order of the x86_64 thread state.
struct ThreadRegisters {
  std::uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp;
  std::uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  std::uint64_t rip, rflags, cs, fs, gs;
};

// The suspend signal, SIGRTMIN + kThreadStateSuspendSignalOffset, is
// declared beside the worker threads that keep it unblocked
// (platform/dispatch/thread_crash_info.h).
// Installs the suspend signal's handler (once; later calls answer the first
// result). False when the handler cannot be installed.
bool ThreadStatePrepare();
bool ThreadStateIsPrepared();

// The kernel's id of the calling thread.
pid_t ThreadStateCurrentThread();
// The ids of the process's threads (the entries of /proc/self/task), at most
// `capacity` of them into `out`, in the order the kernel lists them.
// `total` (when given) receives how many there are in all. -1 when the list
// cannot be read.
int ThreadStateListThreads(pid_t* out, int capacity, int* total);

// Copies the general registers of a signal's user context.
void ThreadRegistersFromUContext(const ucontext_t* context, ThreadRegisters* out);

// Stops every thread of `threads` except the caller (see the header comment)
// and answers how many stopped; `suspended` (when given, `count` entries)
// tells which ones. -1 when not prepared or another suspension is active.
int ThreadStateSuspend(const pid_t* threads, int count, bool* suspended);
// True when `thread` is stopped by the active suspension.
bool ThreadStateIsSuspended(pid_t thread);
// The registers of a stopped thread; false for any other thread.
bool ThreadStateGetRegisters(pid_t thread, ThreadRegisters* out);
// For a thread that is not stopped but blocked in the kernel (one that
// blocks the suspend signal, for example): its stack pointer and program
// counter as the kernel reports them (/proc/self/task/<id>/syscall); every
// other register 0. False while the thread runs or when it cannot be read.
bool ThreadStateReadBlockedRegisters(pid_t thread, ThreadRegisters* out);
// Parses that file's text ("<nr> <six arguments> <sp> <pc>", or "-1 <sp>
// <pc>" outside a system call; "running" gives false).
bool ThreadStateParseBlockedRegisters(const char* text, ThreadRegisters* out);
// Releases every stopped thread and ends the active suspension; waits
// (bounded) until the released threads have left the suspend handler.
// False when no suspension was active.
bool ThreadStateResumeAll();

// The thread's name (/proc/self/task/<id>/comm without its newline) into
// `buffer` (terminated; "" when it has none). False when it cannot be read.
bool ThreadStateReadName(pid_t thread, char* buffer, std::size_t size);

}  // namespace platform
