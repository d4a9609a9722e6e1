// platform::dispatch::QueueChecker: states, and in checked builds verifies,
// that an object's state is only touched from its own queue.
//
// A class whose header says "socket queue only" or "main thread only" keeps
// a QueueChecker member and opens each such method with
// VARNEL_DCHECK_ON_QUEUE(checker_). Guarantees (one test each in
// tests/platform/queue_checker_test.cpp):
//  1. A default checker binds to the queue running its first check (the main
//     queue on the main thread outside other queues' blocks); later checks
//     pass on that queue and fail on any other.
//  2. Code running on a queue that targets the bound queue counts as being
//     on it (it is serialised with the bound queue's blocks).
//  3. A checker bound with bindTo(queue) checks against that queue from the
//     start; one made with a queue-specific key passes wherever
//     Queue::currentSpecific(key) is set, i.e. on every queue its owner
//     marked with the key (and the queues that target those).
//  4. Outside any queue (a plain thread that is not the main thread) a
//     default checker binds to that thread instead.
//  5. detach() forgets the binding: the next check binds again (for objects
//     made on one queue and then handed to the queue that owns them).
//  6. With VARNEL_DCHECKS defined (the CMake option of the same name), a
//     failing VARNEL_DCHECK or VARNEL_DCHECK_ON_QUEUE prints the condition,
//     the file and the line to stderr and aborts the process. Without it
//     the macros compile to nothing: their argument is not evaluated.
// Not promised: which thread runs the bound queue (the check asks "am I on
// this queue?", never "am I on this thread?", except in guarantee 4).
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <thread>

#include "platform/dispatch/dispatch.h"

namespace platform::dispatch {

class QueueChecker {
 public:
  // Binds to the queue of the first check (guarantee 1).
  QueueChecker() = default;
  // Passes wherever the queue-specific value of `specificKey` is set
  // (guarantee 3).
  explicit QueueChecker(const void* specificKey);
  // Bound to `queue` from the start, as bindTo(queue) (guarantee 3); the
  // owners of "main thread only" state pass Queue::main().
  explicit QueueChecker(const QueuePtr& queue);
  QueueChecker(const QueueChecker&) = delete;
  QueueChecker& operator=(const QueueChecker&) = delete;

  // Binds to `queue` now (guarantee 3); nullptr is the same as detach().
  void bindTo(const QueuePtr& queue);
  // Forgets the binding; the next check binds again (guarantee 5). Does
  // nothing to a checker made with a specific key.
  void detach();
  // True when the calling code runs where the checker is bound, binding it
  // first when it is not bound yet.
  bool calledOnValidQueue() const;

 private:
  const void* specificKey_ = nullptr;
  mutable std::mutex mutex_;
  mutable bool bound_ = false;
  mutable std::weak_ptr<Queue> queue_;  // bound queue, when bound on one
  mutable std::thread::id thread_;      // bound thread, when bound outside queues
};

namespace internal {
// Prints "DCHECK failed: <condition> at <file>:<line>" and aborts.
[[noreturn]] void dcheckFailed(const char* condition, const char* file, int line);
}  // namespace internal

}  // namespace platform::dispatch

#if defined(VARNEL_DCHECKS) && VARNEL_DCHECKS
#define VARNEL_DCHECK_IS_ON() 1
#define VARNEL_DCHECK(condition)                                                    \
  do {                                                                              \
    if (!(condition))                                                               \
      ::platform::dispatch::internal::dcheckFailed(#condition, __FILE__, __LINE__); \
  } while (false)
#else
#define VARNEL_DCHECK_IS_ON() 0
#define VARNEL_DCHECK(condition)  \
  do {                            \
    if (false) (void)(condition); \
  } while (false)
#endif

// Asserts that the calling code runs where `checker` (a QueueChecker) is bound.
#define VARNEL_DCHECK_ON_QUEUE(checker) VARNEL_DCHECK((checker).calledOnValidQueue())
