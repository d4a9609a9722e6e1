// Internal glue of the dispatch layer, shared with the run loop. Not for
// other subsystems: use dispatch.h.
//
// Thread safety: every function may be called from any thread unless its
// comment says otherwise.
#pragma once

#include <functional>

namespace platform::dispatch::detail {

// True on the process's main thread (the thread whose id is the process id).
bool isMainThread();

// Blocks every asynchronous signal in the calling thread. Threads the
// platform layer starts call it first, so process-directed signals reach the
// signal sources (and the threads the program itself created) only.
//
// Children inherit a blocked mask through fork and exec. After a fork, the
// child undoes what this layer blocked: everything on the platform's own
// threads, the signals of signal sources on the others. A program that
// starts children with posix_spawn must set the child's mask itself
// (POSIX_SPAWN_SETSIGMASK).
void blockSignalsInThisThread();
// Blocks `signo` in the calling thread for a signal source.
void blockSourceSignal(int signo);

// The main queue is drained by the main run loop. The loop installs a waker
// that is called (from any thread) whenever the main queue gets work while
// idle; then it calls drainMainQueue on the main thread.
void setMainQueueWaker(std::function<void()> waker);
// Runs, on the main thread, the main-queue blocks that were queued when the
// call began. Returns true when it ran at least one.
bool drainMainQueue();
// True when the main queue has blocks it could run now.
bool mainQueueHasWork();

// While alive, tells the worker pool that the calling thread waits (in a
// semaphore, group, sync or similar), so the pool may start another worker.
// Does nothing on threads that are not pool workers.
class BlockingScope {
 public:
  BlockingScope();
  ~BlockingScope();
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;

 private:
  bool active_;
};

}  // namespace platform::dispatch::detail
