// `after` on a time source other than the steady clock: the block waits for
// the source's time to reach its deadline (see time_source.h); and sleeping
// on such a source.
#include "platform/dispatch/time_source.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

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

void sleepFor(const TimeSourcePtr& source, std::chrono::nanoseconds delay) {
  if (!source) {
    std::this_thread::sleep_for(delay);
    return;
  }
  struct Sleeper {
    std::mutex mutex;
    std::condition_variable moved;
  };
  auto sleeper = std::make_shared<Sleeper>();
  const auto deadline =
      source->now() + std::chrono::duration_cast<TimeSource::time_point::duration>(delay);
  TimeSource* clock = source.get();
  // The waker runs only while `sleeper` lives (the owner is locked for the
  // call), so raw pointers are safe in it. It takes the sleeper's mutex, so
  // a move cannot slip between the check below and the wait.
  source->watch(sleeper, [s = sleeper.get(), clock, deadline] {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->moved.notify_all();
    return clock->now() < deadline;
  });
  std::unique_lock<std::mutex> lock(sleeper->mutex);
  sleeper->moved.wait(lock, [&] { return clock->now() >= deadline; });
}

}  // namespace platform::dispatch
