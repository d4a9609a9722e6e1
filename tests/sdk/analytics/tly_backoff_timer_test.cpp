#include "sdk/analytics/tly_backoff_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/exception.h"
#include "platform/runloop/run_loop.h"
#include "support/manual_clock.h"

namespace sdk {
namespace {

using namespace std::chrono_literals;

// A timer whose delays are recorded instead of waited for.
struct RecordingTimer {
  explicit RecordingTimer(TLYBackoffTimer& timer, double draw = 0.5) {
    timer.setRandomSource([draw] { return draw; });
    timer.setScheduler([this](double seconds, TLYBackoffTimer::Block block) {
      delays.push_back(seconds);
      blocks.push_back(std::move(block));
    });
  }
  std::vector<double> delays;
  std::vector<TLYBackoffTimer::Block> blocks;
};

TEST(TLYBackoffTimerTest, DefaultsAndJitterValidity) {
  TLYBackoffTimer timer;
  EXPECT_EQ(timer.retryCount(), 0u);
  EXPECT_EQ(timer.initialValue(), 0);
  EXPECT_EQ(timer.jitterCoefficient(), 0.10000000149011612);
  EXPECT_EQ(TLYBackoffTimer(7).jitterCoefficient(), 0.10000000149011612);

  EXPECT_TRUE(TLYBackoffTimer::jitterCoefficientIsValid(0));
  EXPECT_TRUE(TLYBackoffTimer::jitterCoefficientIsValid(0.999));
  EXPECT_FALSE(TLYBackoffTimer::jitterCoefficientIsValid(1));
  EXPECT_FALSE(TLYBackoffTimer::jitterCoefficientIsValid(-0.01));
  try {
    TLYBackoffTimer bad(2, 1.0);
    FAIL() << "a coefficient of 1 is a programming error";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), platform::kInternalInconsistencyException);
    EXPECT_EQ(e.reason().rfind("Invalid parameter not satisfying: ", 0), 0u);
  }
}

TEST(TLYBackoffTimerTest, DelaysDoubleFromTwoSecondsWithinTheJitter) {
  TLYBackoffTimer timer;
  RecordingTimer rec(timer);  // a draw of 0.5 is the middle: factor 1
  for (int i = 0; i < 11; ++i) timer.executeBlockAfterNextInterval([] {});
  EXPECT_EQ(timer.retryCount(), 11u);
  ASSERT_EQ(rec.delays.size(), 11u);
  double expected = 2;
  for (double d : rec.delays) {
    EXPECT_DOUBLE_EQ(d, expected);
    expected *= 2;
  }
  EXPECT_DOUBLE_EQ(rec.delays.back(), 2048);
}

TEST(TLYBackoffTimerTest, JitterSpansTenPercentEitherSide) {
  TLYBackoffTimer low, high;
  RecordingTimer lowRec(low, 0.0), highRec(high, 0.999999);
  low.executeBlockAfterNextInterval([] {});
  high.executeBlockAfterNextInterval([] {});
  EXPECT_NEAR(lowRec.delays[0], 1.8, 1e-6);
  EXPECT_LT(highRec.delays[0], 2.2);
  EXPECT_NEAR(highRec.delays[0], 2.2, 1e-5);

  // The real generator stays inside [1 - j, 1 + j).
  TLYBackoffTimer plain;
  for (int i = 0; i < 1000; ++i) {
    const double j = plain.generateRandomJitter();
    EXPECT_GE(j, 1 - plain.jitterCoefficient());
    EXPECT_LT(j, 1 + plain.jitterCoefficient());
  }
}

TEST(TLYBackoffTimerTest, BaseIsTheInitialValueWhenAboveTwo) {
  TLYBackoffTimer timer(30);
  RecordingTimer rec(timer);
  timer.executeBlockAfterNextInterval([] {});
  timer.executeBlockAfterNextInterval([] {});
  EXPECT_DOUBLE_EQ(rec.delays[0], 30);
  EXPECT_DOUBLE_EQ(rec.delays[1], 900);

  TLYBackoffTimer small(1.5);
  RecordingTimer smallRec(small);
  small.executeBlockAfterNextInterval([] {});
  EXPECT_DOUBLE_EQ(smallRec.delays[0], 2);
  // A count of 0 counts as 1.
  EXPECT_DOUBLE_EQ(small.computeDelayForInitialValue(5, 0), 5);
}

TEST(TLYBackoffTimerTest, RunsTheBlockOnTheMainQueueAfterTheDelay) {
  // The one test of the real hand-over, on a clock the test moves: the
  // shortest first wait (1.8 s).
  auto clock = varnel::testing::ManualClock::create();
  TLYBackoffTimer timer(0, TLYBackoffTimer::kDefaultJitterCoefficient, clock);
  timer.setRandomSource([] { return 0.0; });
  std::atomic<bool> ran{false};
  std::atomic<bool> onMain{false};
  timer.executeBlockAfterNextInterval([&] {
    onMain = platform::dispatch::Queue::main()->isCurrent();
    ran = true;
  });
  auto& loop = platform::runloop::RunLoop::main();
  loop.processPending();
  EXPECT_FALSE(ran.load()) << "never inside the call";
  clock->advance(1799ms);
  loop.processPending();
  EXPECT_FALSE(ran.load()) << "not before the delay";
  clock->advance(1ms);
  ASSERT_TRUE(loop.runUntil([&] { return ran.load(); }, 10s));
  EXPECT_TRUE(onMain.load());
}

TEST(TLYBackoffTimerTest, HugeDelaysDoNotOverflowTheClock) {
  auto clock = varnel::testing::ManualClock::create();
  TLYBackoffTimer timer(1e300, TLYBackoffTimer::kDefaultJitterCoefficient, clock);
  timer.setRandomSource([] { return 0.5; });
  std::atomic<bool> ran{false};
  timer.executeBlockAfterNextInterval([&] { ran = true; });
  timer.executeBlockAfterNextInterval([&] { ran = true; });  // inf
  // Both wait a century: ten years later neither has run.
  clock->advance(std::chrono::hours(24 * 365 * 10));
  platform::runloop::RunLoop::main().processPending();
  EXPECT_FALSE(ran.load());
}

}  // namespace
}  // namespace sdk
