// Per-thread facts that crash capture needs and cannot gather itself once a
// thread has faulted: an alternate signal stack, so that a fault caused by
// a stack overflow can still run its handler, and the label of the queue
// the thread is running, readable from another thread without a lock.
//
// Guarantees:
//  1. ensureAlternateSignalStack gives the calling thread an alternate
//     signal stack of kAlternateSignalStackSize bytes (with a guard page
//     below it) unless it already has one at least that large. It is cheap
//     to call again. The stack is kept for the thread's life; when the
//     thread ends it goes back to a free list for the next thread, and is
//     never unmapped (a crash recorder may still name it as a saved stack).
//     Every thread the platform layer starts calls it (see
//     detail::blockSignalsInThisThread); programs call it on their main
//     thread.
//  2. The dispatch layer records, per thread, the label of the innermost
//     queue whose block the thread runs ("" between blocks; the main
//     thread counts as running "com.apple.main-thread").
//     readThreadQueueLabel reads it for any thread id without allocating or
//     locking, so a crash handler may call it while other threads are
//     stopped. Labels longer than kThreadQueueLabelLength - 1 bytes are cut.
//     At most kThreadQueueLabelSlots threads are tracked at once; others
//     read as unknown.
//
// Thread safety: any thread; readThreadQueueLabel is async-signal-safe.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace platform {

// The real-time signal crash capture stops threads with (SIGRTMIN + this
// offset; platform/system/thread_state.h). Every thread the platform layer
// starts keeps it unblocked.
inline constexpr int kThreadStateSuspendSignalOffset = 6;
// The signal number of the suspend signal.
int ThreadStateSuspendSignal();

}  // namespace platform

namespace platform::dispatch {

inline constexpr std::size_t kAlternateSignalStackSize = 512 * 1024;
inline constexpr std::size_t kThreadQueueLabelLength = 96;
inline constexpr std::size_t kThreadQueueLabelSlots = 1024;

// Guarantee 1. False when no stack could be set (mapping failed).
bool ensureAlternateSignalStack();

// Guarantee 2: the calling thread now runs a block of `label` (nullptr: no
// block).
void setCurrentThreadQueueLabel(const char* label);

// Guarantee 2. Copies the label of thread `tid` into `out` (always
// terminated). False when the thread is not tracked (out holds "").
bool readThreadQueueLabel(pid_t tid, char* out, std::size_t capacity);

}  // namespace platform::dispatch
