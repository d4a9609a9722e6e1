#include "platform/dispatch/queue_checker.h"

#include <cstdio>
#include <cstdlib>

namespace platform::dispatch {

QueueChecker::QueueChecker(const void* specificKey) : specificKey_(specificKey) {}

QueueChecker::QueueChecker(const QueuePtr& queue) { bindTo(queue); }

void QueueChecker::bindTo(const QueuePtr& queue) {
  std::lock_guard lock(mutex_);
  bound_ = queue != nullptr;
  queue_ = queue;
  thread_ = {};
}

void QueueChecker::detach() { bindTo(nullptr); }

bool QueueChecker::calledOnValidQueue() const {
  if (specificKey_) return Queue::currentSpecific(specificKey_) != nullptr;
  QueuePtr queue;
  {
    std::lock_guard lock(mutex_);
    if (!bound_) {
      bound_ = true;
      queue_ = Queue::current();
      thread_ = queue_.expired() ? std::this_thread::get_id() : std::thread::id();
      return true;
    }
    if (thread_ != std::thread::id()) return thread_ == std::this_thread::get_id();
    queue = queue_.lock();
  }
  // A queue that is gone runs nothing any more: nobody can be on it.
  return queue && queue->isCurrent();
}

namespace internal {

void dcheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "DCHECK failed: %s at %s:%d\n", condition, file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace internal

}  // namespace platform::dispatch
