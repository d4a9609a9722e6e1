// `after` on a time source other than the steady clock: the block waits for
// the source's time to reach its deadline (see time_source.h).
#include "platform/dispatch/time_source.h"

#include <atomic>

#include "platform/dispatch/dispatch.h"

namespace platform::dispatch {

namespace {

struct PendingAfter {
  TimeSource::time_point deadline;
  QueuePtr queue;
  Block block;
  std::atomic<bool> submitted{false};
};

// Submits the block once its deadline has come; true while it still waits.
bool submitIfDue(const std::shared_ptr<PendingAfter>& p, const TimeSource& clock) {
  if (p->submitted.load()) return false;
  if (clock.now() < p->deadline) return true;
  if (p->submitted.exchange(true)) return false;
  p->queue->async(std::move(p->block));
  p->queue.reset();
  return false;
}

}  // namespace

void Queue::after(Duration delay, Block block, const TimeSourcePtr& clock) {
  if (!clock) {
    after(delay, std::move(block));
    return;
  }
  if (delay < Duration::zero()) delay = Duration::zero();
  auto pending = std::make_shared<PendingAfter>();
  pending->deadline =
      clock->now() + std::chrono::duration_cast<TimeSource::time_point::duration>(delay);
  pending->queue = shared_from_this();
  pending->block = std::move(block);
  if (!submitIfDue(pending, *clock)) return;
  std::weak_ptr<TimeSource> weakClock = clock;
  clock->watch(pending, [pending, weakClock] {
    auto c = weakClock.lock();
    return c && submitIfDue(pending, *c);
  });
  // The time may have moved before the waker was registered.
  submitIfDue(pending, *clock);
}

}  // namespace platform::dispatch
