// Internal glue of the dispatch layer, shared with the run loop. Not for
// other subsystems: use dispatch.h.
//
// Thread safety: every function may be called from any thread unless its
// comment says otherwise.
#pragma once

#include <functional>
#include <memory>

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

// Lets a reactor thread run the handler its watchers (or the callbacks of
// due deadlines) post without waking a worker. While one is armed
// (`enabled`) on the calling thread, the first block that thread submits to
// an idle serial queue with no work waiting,
// which would otherwise go to the worker pool, is queued as usual but its
// drain is kept here instead of handed to the pool; `run` then drains that
// queue on this thread, in order and one block at a time like any drain,
// for a short time, and hands what is left to the pool. So the block still
// starts after the submitting call returned (never inside it), and the
// queue is held throughout, so nothing of it runs elsewhere meanwhile.
// Queues that target another serial queue or the main queue are never kept,
// nor is a queue whose last kept drain ran out of time (its work comes in
// long runs, as in a stream, which go faster beside the reactor thread than
// on it) until a drain of it ends within that time again.
// A drain that runs in `run` may in turn have the drain of one such queue
// kept (the first it submits to), which runs next within the same time;
// should that drain block (see willWait) or run past the standby window,
// the drain it kept goes to the pool instead, so a block that waits for
// work it handed to that queue is not held up for good.
//
// Thread safety: one object, used on the thread that made it.
class DeferredDrain {
 public:
  explicit DeferredDrain(bool enabled);
  // Hands a kept drain that did not run to the pool.
  ~DeferredDrain();
  DeferredDrain(const DeferredDrain&) = delete;
  DeferredDrain& operator=(const DeferredDrain&) = delete;

  // Submissions from here on are not kept.
  void stopDeferring();
  // Drains the kept queue, if any, for up to a short budget.
  void run();

 private:
  bool enabled_;
  std::shared_ptr<void> kept_;  // the QueueImpl whose drain is kept
};

// Hands the drain that a kept drain kept in turn (see DeferredDrain) to
// the pool; the standby thread calls it when a kept drain runs long.
void handOffChainedDrain();
// The calling thread is about to wait: hands its chained kept drain, if any,
// to the pool (called by BlockingScope).
void willWait();

}  // namespace platform::dispatch::detail
