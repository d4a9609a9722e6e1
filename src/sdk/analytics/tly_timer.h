// TLYTimer: a repeating timer that feeds an operation queue. The analytics
// controller uses one for the periodic flush of the event log.
//
// Guarantees:
//  1. The timer is scheduled when it is made; it first fires one interval
//     after that, then every interval, with a leeway (tolerance) of a tenth
//     of the interval.
//  2. A firing only adds `timerBlock` to `queue` as one operation
//     (executeBlock); the block itself always runs on that queue.
//  3. Once the timer is freed no further firing adds an operation; an
//     operation already added still runs. A firing never holds the timer:
//     its last owner's release frees it there and then, and a firing under
//     way finishes its add before the release returns.
// Not promised: the thread a firing happens on (a global queue, or the
// background scheduler's thread); exact firing times.
//
// Which mechanism: the platform's background activity scheduler, which this
// system offers (platform/system/background_activity_scheduler.h), with the
// identifier "io.tally.TimerActivity.<timer identifier>"; the dispatch timer
// (scheduleDispatchTimer) is the fallback; initWithDispatchTimer makes a
// timer that uses it from the start.
//
// setTimeInterval and setTimerBlock do not reschedule (as designed); a new
// interval takes effect at the next scheduleTimer().
//
// Intervals are bounded as the controller bounds its flush interval: 0,
// negative or NaN means the timer never fires; anything else is clamped to
// [kTLYTimerMinimumInterval, kTLYTimerMaximumInterval] (so 1e-6 cannot make
// it fire without pause, nor 1e12 or infinity overflow the clock).
//
// Thread safety: the members may be called from any thread; the interval
// and block are guarded by a lock.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/system/operation_queue.h"

namespace platform {
class BackgroundActivityScheduler;
}

namespace sdk {

inline constexpr const char* kTLYTimerActivityFormat = "io.tally.TimerActivity.%@";

inline constexpr double kTLYTimerMinimumInterval = 0.1;
inline constexpr double kTLYTimerMaximumInterval = 86400;

class TLYTimer : public std::enable_shared_from_this<TLYTimer> {
  struct Passkey {};

 public:
  using Ptr = std::shared_ptr<TLYTimer>;
  using Block = std::function<void()>;

  // Stores the values, copies the block and schedules at once.
  static Ptr initWithTimeInterval(double seconds, platform::OperationQueue::Ptr queue,
                                  std::string timerIdentifier, Block block);
  // The same, on the dispatch timer (tests, or callers that want plain timers),
  // whose firings follow `clock` (none: the steady clock).
  static Ptr initWithDispatchTimer(double seconds, platform::OperationQueue::Ptr queue,
                                   std::string timerIdentifier, Block block,
                                   platform::dispatch::TimeSourcePtr clock = nullptr);

  TLYTimer(Passkey, double seconds, platform::OperationQueue::Ptr queue,
           std::string timerIdentifier, Block block,
           platform::dispatch::TimeSourcePtr clock = nullptr);
  // Invalidates the scheduler and cancels the dispatch source.
  ~TLYTimer();
  TLYTimer(const TLYTimer&) = delete;
  TLYTimer& operator=(const TLYTimer&) = delete;

  // The interval a timer asked for `seconds` gets (see the top of the file).
  static double boundedInterval(double seconds);

  const std::string& timerIdentifier() const { return timerIdentifier_; }
  double timeInterval() const;
  void setTimeInterval(double seconds);
  Block timerBlock() const;
  void setTimerBlock(Block block);
  const platform::OperationQueue::Ptr& queue() const { return queue_; }
  // timeInterval() / 10.
  double tolerance() const;

  // The background scheduler (or the dispatch timer, see above).
  void scheduleTimer();
  void scheduleDispatchTimer();
  void scheduleBackgroundActivityWithName(const std::string& name);
  // Adds timerBlock() to queue() as one operation.
  void executeBlock();

  bool usesDispatchTimer() const;

 private:
  // What a firing needs, shared with the scheduler and the dispatch source
  // instead of the timer itself: a firing that held the timer could outlive
  // its last owner's release and add an operation after it. Closed by the
  // destructor, under the lock a firing holds while it adds.
  struct Firing {
    std::mutex mutex;
    bool open = true;
    Block block;
    // Adds the block to `queue` unless closed.
    void fire(const platform::OperationQueue::Ptr& queue);
  };

  // Stops the scheduler and the dispatch source, if any.
  void unschedule();
  const std::string timerIdentifier_;
  const platform::OperationQueue::Ptr queue_;
  const platform::dispatch::TimeSourcePtr clock_;  // of the dispatch timer
  mutable std::mutex mutex_;
  double timeInterval_;
  const std::shared_ptr<Firing> firing_;
  bool useDispatchTimer_ = false;
  std::shared_ptr<platform::dispatch::Source> timerSource_;
  std::unique_ptr<platform::BackgroundActivityScheduler> backgroundActivityScheduler_;
};

}  // namespace sdk
