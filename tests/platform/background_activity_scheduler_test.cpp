#include "platform/system/background_activity_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using Result = BackgroundActivityScheduler::Result;
using Clock = std::chrono::steady_clock;

TEST(BackgroundActivitySchedulerTest, KeepsItsSettings) {
  BackgroundActivityScheduler scheduler("io.test.settings");
  EXPECT_EQ(scheduler.identifier(), "io.test.settings");
  EXPECT_FALSE(scheduler.repeats());
  EXPECT_FALSE(scheduler.isScheduled());
  EXPECT_FALSE(scheduler.shouldDefer());
  scheduler.setInterval(60);
  scheduler.setTolerance(6);
  scheduler.setRepeats(true);
  EXPECT_DOUBLE_EQ(scheduler.interval(), 60);
  EXPECT_DOUBLE_EQ(scheduler.tolerance(), 6);
  EXPECT_TRUE(scheduler.repeats());
}

TEST(BackgroundActivitySchedulerTest, RunsOnceAfterTheIntervalWhenNotRepeating) {
  BackgroundActivityScheduler scheduler("io.test.once");
  scheduler.setInterval(0.05);
  std::atomic<int> runs{0};
  dispatch::Semaphore ran;
  const auto start = Clock::now();
  std::atomic<Clock::duration::rep> firstAfter{0};
  scheduler.scheduleWithBlock([&](BackgroundActivityScheduler::CompletionHandler done) {
    if (runs++ == 0) firstAfter = (Clock::now() - start).count();
    done(Result::Finished);
    ran.signal();
  });
  EXPECT_EQ(runs.load(), 0) << "never runs inside the call";
  ASSERT_TRUE(ran.wait(10s));
  EXPECT_GE(Clock::duration(firstAfter.load()), 50ms);
  EXPECT_FALSE(ran.wait(150ms)) << "a finished one-shot activity does not run again";
  EXPECT_EQ(runs.load(), 1);
  EXPECT_FALSE(scheduler.isScheduled());
}

TEST(BackgroundActivitySchedulerTest, RepeatsOnlyAfterEachRunFinished) {
  BackgroundActivityScheduler scheduler("io.test.repeat");
  scheduler.setInterval(0.01);
  scheduler.setRepeats(true);
  std::mutex m;
  std::vector<BackgroundActivityScheduler::CompletionHandler> pending;
  dispatch::Semaphore ran;
  std::atomic<int> running{0}, overlap{0};
  scheduler.scheduleWithBlock([&](BackgroundActivityScheduler::CompletionHandler done) {
    if (running++ > 0) ++overlap;
    {
      std::lock_guard lock(m);
      pending.push_back(std::move(done));
    }
    ran.signal();
  });
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(ran.wait(10s));
    // No further run while this one is unfinished.
    EXPECT_FALSE(ran.wait(60ms));
    BackgroundActivityScheduler::CompletionHandler done;
    {
      std::lock_guard lock(m);
      done = pending.back();
    }
    --running;
    done(Result::Finished);
    done(Result::Finished);  // counts once
  }
  ASSERT_TRUE(ran.wait(10s));
  scheduler.invalidate();
  EXPECT_EQ(overlap.load(), 0);
  std::lock_guard lock(m);
  EXPECT_EQ(pending.size(), 4u);
}

TEST(BackgroundActivitySchedulerTest, DeferredRunsAgainAfterTheTolerance) {
  BackgroundActivityScheduler scheduler("io.test.defer");
  scheduler.setInterval(0.01);
  scheduler.setTolerance(0.01);
  std::atomic<int> runs{0};
  dispatch::Semaphore ran;
  scheduler.scheduleWithBlock([&](BackgroundActivityScheduler::CompletionHandler done) {
    done(runs++ == 0 ? Result::Deferred : Result::Finished);
    ran.signal();
  });
  ASSERT_TRUE(ran.wait(10s));
  ASSERT_TRUE(ran.wait(10s)) << "a deferred one-shot activity is asked for again";
  EXPECT_FALSE(ran.wait(100ms));
  EXPECT_EQ(runs.load(), 2);
}

TEST(BackgroundActivitySchedulerTest, InvalidateStopsFurtherRunsAndLateCompletionsAreIgnored) {
  BackgroundActivityScheduler scheduler("io.test.invalidate");
  scheduler.setInterval(0.01);
  scheduler.setRepeats(true);
  std::atomic<int> runs{0};
  dispatch::Semaphore ran;
  std::mutex m;
  BackgroundActivityScheduler::CompletionHandler held;
  scheduler.scheduleWithBlock([&](BackgroundActivityScheduler::CompletionHandler done) {
    ++runs;
    std::lock_guard lock(m);
    held = std::move(done);
    ran.signal();
  });
  ASSERT_TRUE(ran.wait(10s));
  scheduler.invalidate();
  scheduler.invalidate();
  EXPECT_FALSE(scheduler.isScheduled());
  {
    std::lock_guard lock(m);
    held(Result::Finished);  // the run under way completes; nothing follows
  }
  EXPECT_FALSE(ran.wait(100ms));
  EXPECT_EQ(runs.load(), 1);
}

TEST(BackgroundActivitySchedulerTest, DestroyingTheSchedulerEndsTheSchedule) {
  std::atomic<int> runs{0};
  dispatch::Semaphore ran;
  {
    BackgroundActivityScheduler scheduler("io.test.destroy");
    scheduler.setInterval(0.1);
    scheduler.setRepeats(true);
    scheduler.scheduleWithBlock([&](BackgroundActivityScheduler::CompletionHandler) {
      ++runs;
      ran.signal();
    });
  }
  EXPECT_FALSE(ran.wait(300ms)) << "the run would have started by now";
  EXPECT_EQ(runs.load(), 0);
}

TEST(BackgroundActivitySchedulerTest, RescheduleReplacesTheEarlierSchedule) {
  BackgroundActivityScheduler scheduler("io.test.replace");
  scheduler.setInterval(0.05);
  std::atomic<int> first{0}, second{0};
  dispatch::Semaphore ran;
  scheduler.scheduleWithBlock([&](BackgroundActivityScheduler::CompletionHandler done) {
    ++first;
    done(Result::Finished);
  });
  scheduler.scheduleWithBlock([&](BackgroundActivityScheduler::CompletionHandler done) {
    ++second;
    done(Result::Finished);
    ran.signal();
  });
  ASSERT_TRUE(ran.wait(10s));
  EXPECT_FALSE(ran.wait(100ms));
  EXPECT_EQ(first.load(), 0);
  EXPECT_EQ(second.load(), 1);
}

}  // namespace
}  // namespace platform
