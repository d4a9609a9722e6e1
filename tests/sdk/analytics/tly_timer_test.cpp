#include "sdk/analytics/tly_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>

#include "platform/system/operation_queue.h"
#include "support/manual_clock.h"
#include "support/wait.h"

namespace sdk {
namespace {

// Counts firings that reach the queue and lets the test wait for a number.
class Firings {
 public:
  void fire() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    onQueue_ = onQueue_ && platform::OperationQueue::currentQueue() == queue_;
    cv_.notify_all();
  }
  bool waitFor(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return count_ >= n; });
  }
  int count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  bool allOnQueue() {
    std::lock_guard<std::mutex> lock(mutex_);
    return onQueue_;
  }
  platform::OperationQueue::Ptr queue_ = platform::OperationQueue::create("timer-test");

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 0;
  bool onQueue_ = true;
};

TEST(TLYTimerTest, ToleranceIsATenthOfTheInterval) {
  auto queue = platform::OperationQueue::create("tolerance");
  auto timer = TLYTimer::initWithTimeInterval(60, queue, "io.tally.TimedEventsFlush", [] {});
  EXPECT_DOUBLE_EQ(timer->tolerance(), 6);
  EXPECT_EQ(timer->timerIdentifier(), "io.tally.TimedEventsFlush");
  // Changing the interval does not reschedule, but the tolerance follows it.
  timer->setTimeInterval(10);
  EXPECT_DOUBLE_EQ(timer->tolerance(), 1);
}

TEST(TLYTimerTest, FiringsRunTheBlockOnTheQueueAgainAndAgain) {
  for (bool dispatch : {false, true}) {
    Firings firings;
    auto block = [&firings] { firings.fire(); };
    // The dispatch timer runs on a clock the test moves, one interval at a
    // time; the background scheduler keeps its own time.
    auto clock = varnel::testing::ManualClock::create();
    auto timer = dispatch
                     ? TLYTimer::initWithDispatchTimer(0.1, firings.queue_, "repeat", block, clock)
                     : TLYTimer::initWithTimeInterval(0.1, firings.queue_, "repeat", block);
    EXPECT_EQ(timer->usesDispatchTimer(), dispatch);
    for (int i = 1; dispatch && i <= 3; ++i) {
      clock->advance(std::chrono::milliseconds(99));
      firings.queue_->waitUntilAllOperationsAreFinished();
      EXPECT_EQ(firings.count(), i - 1) << "not before the interval";
      clock->advance(std::chrono::milliseconds(1));
      EXPECT_TRUE(firings.waitFor(i));
    }
    EXPECT_TRUE(firings.waitFor(3)) << dispatch;
    timer.reset();
    firings.queue_->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(firings.allOnQueue());
  }
}

TEST(TLYTimerTest, FreeingTheTimerStopsFurtherFiringsButQueuedOnesStillRun) {
  Firings firings;
  firings.queue_->setSuspended(true);
  auto clock = varnel::testing::ManualClock::create();
  auto timer = TLYTimer::initWithDispatchTimer(
      0.1, firings.queue_, "stop", [&] { firings.fire(); }, clock);
  // Two firings wait on the suspended queue.
  for (std::size_t i = 1; i <= 2; ++i) {
    clock->advance(std::chrono::milliseconds(100));
    ASSERT_TRUE(varnel::testing::waitUntil([&] { return firings.queue_->operationCount() == i; }));
  }
  timer.reset();
  std::size_t queued = firings.queue_->operationCount();
  firings.queue_->setSuspended(false);
  ASSERT_TRUE(firings.queue_->waitUntilAllOperationsAreFinished(std::chrono::seconds(10)));
  int afterFree = firings.count();
  EXPECT_EQ(static_cast<std::size_t>(afterFree), queued);
  // Many intervals later nothing more has arrived: the move of the clock
  // would have added a firing inside the call.
  clock->advance(std::chrono::seconds(60));
  EXPECT_EQ(firings.queue_->operationCount(), 0u);
  EXPECT_EQ(firings.count(), afterFree);
}

// Intervals from the network are bounded by the timer itself, not only by
// its caller: none of these may fire without pause, or overflow the clock.
TEST(TLYTimerTest, UnreasonableIntervalsAreBoundedOrNeverFire) {
  for (bool dispatch : {false, true}) {
    for (double asked : {1e12, std::numeric_limits<double>::infinity(), 1e-6, -5.0,
                         std::numeric_limits<double>::quiet_NaN(), 0.0}) {
      Firings firings;
      auto clock = varnel::testing::ManualClock::create();
      auto block = [&firings] { firings.fire(); };
      auto timer = dispatch
                       ? TLYTimer::initWithDispatchTimer(asked, firings.queue_, "odd", block, clock)
                       : TLYTimer::initWithTimeInterval(asked, firings.queue_, "odd", block);
      const double expected = asked > 1   ? kTLYTimerMaximumInterval
                              : asked > 0 ? kTLYTimerMinimumInterval
                                          : 0;
      EXPECT_EQ(timer->timeInterval(), expected) << asked;
      if (dispatch) {
        // A tenth of a second past the floor: at most one firing each step.
        for (int i = 0; i < 5; ++i) clock->advance(std::chrono::milliseconds(100));
        firings.queue_->waitUntilAllOperationsAreFinished();
        EXPECT_LE(firings.count(), expected == kTLYTimerMinimumInterval ? 5 : 0) << asked;
      }
      timer.reset();
      firings.queue_->waitUntilAllOperationsAreFinished();
    }
  }
  auto queue = platform::OperationQueue::create("bounded");
  auto timer = TLYTimer::initWithTimeInterval(60, queue, "set", [] {});
  timer->setTimeInterval(1e-9);
  EXPECT_EQ(timer->timeInterval(), kTLYTimerMinimumInterval);
}

}  // namespace
}  // namespace sdk
