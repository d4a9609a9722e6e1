#include "platform/runloop/run_loop.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "support/manual_clock.h"

namespace platform::runloop {
namespace {

using namespace std::chrono_literals;

TEST(RunLoopTest, MainLoopBelongsToTheMainThread) {
  EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
  EXPECT_TRUE(RunLoop::main().isMainRunLoop());
  RunLoop* other = nullptr;
  std::thread([&] { other = &RunLoop::current(); }).join();
  EXPECT_NE(other, &RunLoop::main());
  EXPECT_FALSE(RunLoop::main().currentMode().size());
}

TEST(RunLoopTest, OneShotTimerFiresOnceThenIsInvalid) {
  int fires = 0;
  auto t = Timer::scheduled(0.005, false, [&](Timer&) { ++fires; });
  EXPECT_TRUE(t->isValid());
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return fires == 1; }, 10s));
  EXPECT_FALSE(t->isValid());
  RunLoop::main().runMode(kDefaultMode, Clock::now() + 20ms);
  EXPECT_EQ(fires, 1);
}

TEST(RunLoopTest, RepeatingTimerFiresInOrderUntilInvalidated) {
  std::vector<int> order;
  auto slow = Timer::create(0.02, true, [&](Timer&) { order.push_back(2); });
  auto fast = Timer::create(0.01, false, [&](Timer&) { order.push_back(1); });
  RunLoop::main().addTimer(slow);
  RunLoop::main().addTimer(fast);
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return order.size() >= 3; }, 10s));
  slow->invalidate();
  slow->invalidate();  // idempotent
  size_t n = order.size();
  RunLoop::main().runMode(kDefaultMode, Clock::now() + 50ms);
  EXPECT_EQ(order.size(), n);
  EXPECT_EQ(order[0], 1);
  EXPECT_EQ(order[1], 2);
}

TEST(RunLoopTest, DefaultModeTimerPausesInTrackingModeCommonModeTimerDoesNot) {
  std::atomic<int> defaultFires{0}, commonFires{0};
  auto inDefault = Timer::create(0.005, true, [&](Timer&) { ++defaultFires; });
  auto inCommon = Timer::create(0.005, true, [&](Timer&) { ++commonFires; });
  RunLoop& loop = RunLoop::main();
  loop.addTimer(inDefault, kDefaultMode);
  loop.addTimer(inCommon, kCommonModes);
  std::string modeSeen;
  auto probe = Timer::create(0.001, false, [&](Timer&) { modeSeen = loop.currentMode(); });
  loop.addTimer(probe, kEventTrackingMode);
  // Tracking (a menu open): only the common-mode timer ticks.
  EXPECT_TRUE(loop.runUntil([&] { return commonFires.load() >= 5; }, 10s, kEventTrackingMode));
  EXPECT_EQ(defaultFires.load(), 0);
  EXPECT_EQ(modeSeen, kEventTrackingMode);
  // Back in the default mode the paused timer resumes.
  EXPECT_TRUE(loop.runUntil([&] { return defaultFires.load() >= 2; }, 10s));
  inDefault->invalidate();
  inCommon->invalidate();
}

TEST(RunLoopTest, RepeatingTimerThatFellBehindFiresOnceAndStaysOnItsGrid) {
  auto clock = varnel::testing::ManualClock::create();
  int fires = 0;
  auto t = Timer::create(
      0.01, true, [&](Timer&) { ++fires; }, clock);
  RunLoop::main().addTimer(t);
  auto first = t->fireDate();
  clock->advance(55ms);  // the loop is busy elsewhere
  const auto beforeProcessing = clock->now();
  RunLoop::main().processPending();
  EXPECT_EQ(fires, 1);
  // The missed fires are skipped: the next one lies after the processing,
  // however long the processing itself took.
  auto next = t->fireDate();
  EXPECT_GT(next, beforeProcessing);
  auto steps = (next - first) / std::chrono::duration_cast<Clock::duration>(10ms);
  EXPECT_EQ(next - first, steps * std::chrono::duration_cast<Clock::duration>(10ms));
  t->invalidate();
}

TEST(RunLoopTest, TimerOfAManualClockFiresWhenTheClockReachesItsDateNotBefore) {
  auto clock = varnel::testing::ManualClock::create();
  std::atomic<int> fires{0};
  dispatch::Semaphore fired;
  std::shared_ptr<Timer> timer;
  auto thread = Thread::start("manual-clock", [&] {
    timer = Timer::create(
        30.0, false,
        [&](Timer&) {
          ++fires;
          fired.signal();
        },
        clock);
    RunLoop::current().addTimer(timer);
  });
  // The loop sleeps with nothing due by the steady clock: its thread is
  // parked until the manual clock moves.
  clock->advance(29s);
  std::atomic<bool> idle{false};
  thread->perform([&] { idle = true; });  // runs after the loop looked at the timer
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return idle.load(); }, 10s));
  EXPECT_EQ(fires.load(), 0);
  EXPECT_TRUE(timer->isValid());
  clock->advance(1s);  // wakes the sleeping loop
  EXPECT_TRUE(fired.wait(10s));
  thread->stop();  // the loop has finished with the timer
  EXPECT_EQ(fires.load(), 1);
  EXPECT_FALSE(timer->isValid());
}

TEST(RunLoopTest, MainQueueDrainsOnlyInCommonModes) {
  std::atomic<bool> ran{false};
  dispatch::Queue::main()->async([&] { ran = true; });
  // A private mode with a timer of its own: the main queue waits.
  bool privateFired = false;
  auto t = Timer::create(0.001, false, [&](Timer&) { privateFired = true; });
  RunLoop::main().addTimer(t, "test.private-mode");
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return privateFired; }, 10s, "test.private-mode"));
  EXPECT_FALSE(ran.load());
  EXPECT_FALSE(RunLoop::main().runMode("test.empty-mode", Clock::now() + 1s));
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return ran.load(); }, 10s, kModalPanelMode));
}

TEST(RunLoopTest, PerformRunsOnTheLoopThreadInOrder) {
  auto thread = Thread::start("test.perform");
  std::vector<int> order;
  std::mutex m;
  dispatch::Semaphore done;
  std::thread::id ranOn;
  for (int i = 0; i < 100; ++i) {
    thread->perform([&, i] {
      std::lock_guard lock(m);
      order.push_back(i);
      ranOn = std::this_thread::get_id();
      if (i == 99) done.signal();
    });
  }
  ASSERT_TRUE(done.wait(10s));
  std::lock_guard lock(m);
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST(RunLoopTest, PerformsFromManyThreadsReachALoopThatKeepsGoingToSleep) {
  // Each poster waits for its block and now and then pauses long enough for
  // the loop to stop polling and sleep: posts race with the loop going to
  // sleep and being woken, and with each other's wake-ups.
  auto thread = Thread::start("test.hammer");
  constexpr int kPosters = 6;
  constexpr int kRounds = 300;
  std::atomic<int> ran{0};
  std::atomic<bool> stalled{false};
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      dispatch::Semaphore done;
      for (int r = 0; r < kRounds && !stalled.load(); ++r) {
        thread->perform([&] {
          ran.fetch_add(1);
          done.signal();
        });
        if (!done.wait(10s)) stalled = true;
        if ((r + p) % 8 == 0) std::this_thread::sleep_for(400us);  // past the loop's polling
      }
    });
  }
  for (auto& t : posters) t.join();
  EXPECT_FALSE(stalled.load()) << "a perform block never ran";
  EXPECT_EQ(ran.load(), kPosters * kRounds);
}

TEST(RunLoopTest, MainQueueWorkFromManyThreadsWakesTheSleepingMainLoop) {
  // The main loop runs with a far deadline and returns after each handled
  // block: a lost wake-up shows as a run that lasted until its deadline.
  constexpr int kPosters = 4;
  constexpr int kPerPoster = 300;
  int ran = 0;  // main thread only
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kPerPoster; ++i) {
        dispatch::Queue::main()->async([&] { ++ran; });
        if ((i + p) % 4 == 0) std::this_thread::sleep_for(300us);
      }
    });
  }
  int lostWakeUps = 0;
  while (ran < kPosters * kPerPoster && lostWakeUps == 0) {
    const auto deadline = Clock::now() + 10s;
    RunLoop::main().runMode(kDefaultMode, deadline, true);
    if (Clock::now() >= deadline) ++lostWakeUps;
  }
  for (auto& t : posters) t.join();
  EXPECT_EQ(lostWakeUps, 0);
  EXPECT_EQ(ran, kPosters * kPerPoster);
}

TEST(RunLoopTest, LoopsWokenFromOtherThreadsWhileTheyEnd) {
  // Other threads keep waking a loop (moving a timer's fire date, posting)
  // while it is stopped and its thread ends: nothing may touch the loop's
  // state after it is gone, and each stop ends its loop.
  for (int round = 0; round < 50; ++round) {
    std::shared_ptr<Timer> timer = Timer::create(3600, false, [](Timer&) {});
    auto thread = Thread::start("test.ending", [&] { RunLoop::current().addTimer(timer); });
    std::atomic<bool> stop{false};
    std::thread waker([&] {
      while (!stop.load()) {
        timer->setFireDate(Clock::now() + 1h);
        std::this_thread::yield();
      }
    });
    dispatch::Semaphore ran;
    thread->perform([&] { ran.signal(); });
    ASSERT_TRUE(ran.wait(10s));
    thread->stop();
    thread.reset();  // the loop goes with it, while the waker still runs
    stop = true;
    waker.join();
    timer->invalidate();
  }
}

TEST(RunLoopTest, NamedThreadRunsItsOwnLoopWithTimers) {
  dispatch::Semaphore fired;
  std::string name;
  std::shared_ptr<Timer> timer;
  auto thread = Thread::start("NKNetworking", [&] {
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    name = buf;
    timer = Timer::scheduled(0.005, false, [&](Timer&) { fired.signal(); });
  });
  EXPECT_EQ(thread->name(), "NKNetworking");
  EXPECT_EQ(name, "NKNetworking");
  EXPECT_TRUE(fired.wait(10s));
  EXPECT_FALSE(thread->runLoop().isMainRunLoop());
  thread->stop();
  thread->stop();  // idempotent
}

TEST(RunLoopTest, StopEndsRunFromAnotherThread) {
  RunLoop& loop = RunLoop::main();
  std::atomic<bool> started{false};
  loop.perform([&] { started = true; });
  std::thread stopper([&] {
    while (!started.load()) std::this_thread::yield();
    loop.stop();
  });
  loop.run();  // returns once stopped
  stopper.join();
  EXPECT_TRUE(started.load());
}

TEST(RunLoopTest, RunModeReturnsAfterFirstHandledWhenAsked) {
  int runs = 0;
  RunLoop::main().perform([&] { ++runs; });
  RunLoop::main().perform([&] { ++runs; });
  EXPECT_TRUE(RunLoop::main().runMode(kDefaultMode, Clock::now() + 10s, true));
  EXPECT_EQ(runs, 1);
  RunLoop::main().runMode(kDefaultMode, Clock::now() + 10s, true);
  EXPECT_EQ(runs, 2);
}

class FakeDriver : public RunLoop::Driver {
 public:
  void wakeUp() override { ++wakes; }
  void scheduleWakeUp(Clock::time_point when) override {
    std::lock_guard lock(m);
    scheduled = when;
  }
  std::atomic<int> wakes{0};
  std::mutex m;
  Clock::time_point scheduled = Clock::time_point::max();
};

TEST(RunLoopTest, DriverIsWokenAndToldTheNextDeadline) {
  auto thread = Thread::start("test.driven");
  RunLoop& loop = RunLoop::main();
  FakeDriver driver;
  loop.setDriver(&driver);
  int wakesBefore = driver.wakes.load();
  int fires = 0;
  auto t = Timer::create(0.02, false, [&](Timer&) { ++fires; });
  loop.addTimer(t);
  EXPECT_GT(driver.wakes.load(), wakesBefore);
  // Processing before the deadline runs nothing and reports the deadline.
  auto next = loop.processPending();
  EXPECT_EQ(fires, 0);
  EXPECT_EQ(next, t->fireDate());
  {
    std::lock_guard lock(driver.m);
    EXPECT_EQ(driver.scheduled, next);
  }
  std::this_thread::sleep_until(next);
  loop.processPending();
  EXPECT_EQ(fires, 1);
  // Work posted from another thread wakes the driver.
  int before = driver.wakes.load();
  bool performed = false;
  thread->perform([&] { loop.perform([&] { performed = true; }); });
  while (driver.wakes.load() == before) std::this_thread::yield();
  loop.processPending();
  EXPECT_TRUE(performed);
  loop.setDriver(nullptr);
}

TEST(RunLoopTest, ProcessPendingServesTheDriverBetweenBlocks) {
  // A loop of a thread of its own, driven by hand from that thread.
  auto thread = Thread::start("test.between");
  std::vector<std::string> order;  // the loop's thread only
  std::atomic<bool> done{false};
  thread->perform([&] {
    RunLoop& loop = RunLoop::current();
    for (int i = 0; i < 3; ++i)
      loop.perform([&, i] { order.push_back("block" + std::to_string(i)); });
    int hooks = 0;
    const std::function<void()> between = [&] {
      order.push_back("between");
      // A block performed from the hook waits for the next pass, after
      // the blocks already taken.
      if (++hooks == 1) loop.perform([&] { order.push_back("late"); });
    };
    loop.processPending(kDefaultMode, between);
    order.push_back("pass");
    loop.processPending(kDefaultMode, between);
    // Without a hook nothing runs between blocks.
    loop.perform([&] { order.push_back("plain"); });
    loop.processPending();
    done = true;
  });
  while (!done) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(order, (std::vector<std::string>{"block0", "between", "block1", "between", "block2",
                                             "between", "pass", "late", "between", "plain"}));
}

TEST(TimerTest, FireRunsNowAndSetFireDateMovesTheTimer) {
  int fires = 0;
  auto t = Timer::create(3600, true, [&](Timer&) { ++fires; });
  t->fire();
  EXPECT_EQ(fires, 1);
  EXPECT_TRUE(t->isValid());  // repeating timers stay valid
  RunLoop::main().addTimer(t);
  t->setFireDate(Clock::now() + 5ms);
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return fires == 2; }, 10s));
  t->invalidate();
  t->fire();
  EXPECT_EQ(fires, 2);
  auto once = Timer::create(3600, false, [&](Timer&) { ++fires; });
  once->fire();
  EXPECT_FALSE(once->isValid());
}

}  // namespace
}  // namespace platform::runloop
