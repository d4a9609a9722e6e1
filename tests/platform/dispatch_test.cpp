#include "platform/dispatch/dispatch.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/spin_budget.h"
#include "platform/runloop/run_loop.h"
#include "support/manual_clock.h"
#include "support/wait.h"

namespace platform::dispatch {
namespace {

using runloop::RunLoop;
using namespace std::chrono_literals;

// Runs the main run loop until `done` holds (10 s safety net).
using varnel::testing::waitUntilOnMainRunLoop;

// Guarantee 1: async never runs the block inside the call.
TEST(QueueTest, AsyncNeverRunsInline) {
  auto q = Queue::createSerial("test.inline");
  std::atomic<bool> ran{false};
  q->sync([&] {
    q->async([&] { ran = true; });
    EXPECT_FALSE(ran.load());  // we hold the queue: it cannot have run
  });
  std::atomic<bool> mainRan{false};
  Queue::main()->async([&] { mainRan = true; });
  EXPECT_FALSE(mainRan.load());
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return ran.load() && mainRan.load(); }));
}

// Guarantee 2: FIFO per submitter under contention, one block at a time,
// and each block sees the writes of the blocks before it (plain ints).
TEST(QueueTest, SerialQueueIsFifoAndExclusiveUnderContention) {
  auto q = Queue::createSerial("test.fifo");
  constexpr int kThreads = 8, kPerThread = 2000;
  std::vector<int> last(kThreads, -1);
  int total = 0;
  bool orderOk = true;
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  Group group;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        group.async(q, [&, t, i] {
          if (inside.fetch_add(1) != 0) overlap = true;
          if (last[t] != i - 1) orderOk = false;
          last[t] = i;
          ++total;
          inside.fetch_sub(1);
        });
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(group.wait(20s));
  q->sync([&] {
    EXPECT_TRUE(orderOk);
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(total, kThreads * kPerThread);
  });
}

// Blocks from several threads, a thread in sync and a thread that suspends
// and resumes the queue, all at once: every block runs exactly once, one at
// a time, in each submitter's order; none is left behind when the queue
// goes idle or is resumed.
TEST(QueueTest, SyncAndSuspensionsAmidSubmittersLoseNoBlock) {
  auto q = Queue::createSerial("test.mixed");
  constexpr int kThreads = 4, kPerThread = 3000, kSyncs = 500;
  std::vector<int> last(kThreads, -1);
  int total = 0, syncs = 0;
  bool orderOk = true;
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::atomic<bool> stop{false};
  auto enter = [&] {
    if (inside.fetch_add(1) != 0) overlap = true;
  };
  Group group;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        group.async(q, [&, t, i] {
          enter();
          if (last[t] != i - 1) orderOk = false;
          last[t] = i;
          ++total;
          inside.fetch_sub(1);
        });
        if (i % 64 == 0) std::this_thread::yield();  // let the queue go idle now and then
      }
    });
  }
  std::thread syncer([&] {
    for (int i = 0; i < kSyncs; ++i) {
      q->sync([&] {
        enter();
        ++syncs;
        inside.fetch_sub(1);
      });
    }
  });
  std::thread suspender([&] {
    while (!stop.load()) {
      q->suspend();
      std::this_thread::yield();
      q->resume();
    }
  });
  for (auto& th : threads) th.join();
  syncer.join();
  stop = true;
  suspender.join();
  ASSERT_TRUE(group.wait(20s));
  q->sync([&] {
    EXPECT_TRUE(orderOk);
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(total, kThreads * kPerThread);
    EXPECT_EQ(syncs, kSyncs);
  });
}

// A block may hold the only reference to its queue: the queue lives until
// the submission and the block are over (sanitizer builds check the memory).
TEST(QueueTest, ABlockHoldingTheLastReferenceToItsQueue) {
  for (int i = 0; i < 200; ++i) {
    Semaphore ran;
    auto q = Queue::createSerial("test.last.ref");
    Queue* raw = q.get();
    raw->async([&ran, q = std::move(q)] { ran.signal(); });
    ASSERT_TRUE(ran.wait(10s));
  }
}

// Work left in a queue that is dropped while suspended is destroyed with it.
TEST(QueueTest, WorkOfASuspendedQueueThatIsDroppedIsReleased) {
  auto token = std::make_shared<int>(1);
  std::weak_ptr<int> watch = token;
  {
    auto q = Queue::createSerial("test.dropped");
    q->suspend();
    q->async([token = std::move(token)] {});
  }
  EXPECT_TRUE(watch.expired());
}

// Guarantee 3: after blocks run in deadline order, equal delays in
// submission order.
TEST(QueueTest, AfterFiresInDeadlineThenSubmissionOrder) {
  auto q = Queue::createSerial("test.after");
  std::vector<int> order;
  std::mutex m;
  auto record = [&](int v) {
    return [&, v] {
      std::lock_guard lock(m);
      order.push_back(v);
    };
  };
  auto start = Clock::now();
  q->after(0.06, record(100));
  q->after(0.02, record(50));
  for (int i = 0; i < 20; ++i) q->after(0.04, record(i));
  Semaphore done;
  q->after(0.08, [&] { done.signal(); });
  ASSERT_TRUE(done.wait(10s));
  EXPECT_GE(Clock::now() - start, 80ms);  // never early
  std::vector<int> expected{50};
  for (int i = 0; i < 20; ++i) expected.push_back(i);
  expected.push_back(100);
  std::lock_guard lock(m);
  EXPECT_EQ(order, expected);
}

// An `after` block may start on the thread that watches deadlines; one that
// waits there for a later deadline's block must still see that block run.
TEST(QueueTest, AnAfterBlockWaitingForALaterDeadlineDoesNotHoldItUp) {
  auto waiting = Queue::createSerial("test.after.waiting");
  auto answering = Queue::createSerial("test.after.answering");
  Semaphore answered, done;
  std::atomic<bool> gotAnswer{false};
  waiting->after(1ms, [&] {
    gotAnswer = answered.wait(10s);
    done.signal();
  });
  answering->after(5ms, [&] { answered.signal(); });
  ASSERT_TRUE(done.wait(20s));
  EXPECT_TRUE(gotAnswer.load());
}

TEST(QueueTest, AfterOnAManualClockRunsWhenTheClockReachesTheDeadlineNeverBefore) {
  auto clock = varnel::testing::ManualClock::create();
  auto q = Queue::createSerial("test.after.manual");
  std::mutex m;
  std::vector<int> order;
  auto record = [&](int v) {
    return [&, v] {
      std::lock_guard lock(m);
      order.push_back(v);
    };
  };
  q->after(seconds(600), record(2), clock);
  q->after(seconds(10), record(1), clock);
  q->after(Duration::zero(), record(0), clock);  // due at once
  auto ordered = [&](std::vector<int> expected) {
    q->sync([] {});  // what was submitted has run
    std::lock_guard lock(m);
    return order == expected;
  };
  EXPECT_TRUE(ordered({0}));
  clock->advance(9s);
  EXPECT_TRUE(ordered({0}));
  clock->advance(1s);
  EXPECT_TRUE(ordered({0, 1}));
  clock->advance(589s);
  EXPECT_TRUE(ordered({0, 1}));
  clock->advance(1s);
  EXPECT_TRUE(ordered({0, 1, 2}));
  clock->advance(3600s);  // each runs once
  EXPECT_TRUE(ordered({0, 1, 2}));
  // A block still waiting when its clock goes is dropped, not run.
  bool alive = true;
  auto witness = std::make_shared<int>(0);
  std::weak_ptr<int> weakWitness = witness;
  q->after(
      seconds(1), [witness, &alive] { alive = false; }, clock);
  witness.reset();
  clock.reset();
  q->sync([] {});
  EXPECT_TRUE(alive);
  EXPECT_TRUE(weakWitness.expired());
}

TEST(QueueTest, SleepForOnAManualClockReturnsOnceTheClockHasPassedTheDelay) {
  auto clock = varnel::testing::ManualClock::create();
  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    sleepFor(clock, seconds(5));
    woke = true;
  });
  ASSERT_TRUE(clock->waitForWatchers(1, 10s));
  clock->advance(4999ms);
  // Its waker answered that it still waits: it is still registered.
  EXPECT_TRUE(clock->waitForWatchers(1, 0ms));
  EXPECT_FALSE(woke.load());
  clock->advance(1ms);
  sleeper.join();
  EXPECT_TRUE(woke.load());
  // The move that ended the wait dropped its waker.
  EXPECT_FALSE(clock->waitForWatchers(1, 0ms));
  // No time source: a plain sleep.
  const auto start = std::chrono::steady_clock::now();
  sleepFor(nullptr, 1ms);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1ms);
}

// Guarantee 4: sync runs on the caller's thread and returns after the block.
TEST(QueueTest, SyncRunsOnCallerThreadAfterEarlierBlocks) {
  auto q = Queue::createSerial("test.sync");
  std::atomic<bool> earlier{false};
  Semaphore gate;
  q->async([&] {
    gate.wait();
    earlier = true;
  });
  std::thread::id ranOn;
  bool sawEarlier = false;
  std::thread releaser([&] { gate.signal(); });
  q->sync([&] {
    ranOn = std::this_thread::get_id();
    sawEarlier = earlier.load();
  });
  releaser.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(sawEarlier);
}

TEST(QueueDeathTest, SyncOntoHeldQueueAbortsNamingIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto q = Queue::createSerial("test.self-sync");
        q->sync([&] { q->sync([] {}); });
      },
      "deadlock.*test\\.self-sync");
  // Through a target queue: a block of the target syncs onto a queue
  // that targets it.
  EXPECT_DEATH(
      {
        auto target = Queue::createSerial("test.target");
        auto child = Queue::createSerial("test.child", target);
        Semaphore done;
        target->async([&] {
          child->sync([] {});
          done.signal();
        });
        done.wait();
      },
      "deadlock.*test\\.child.*test\\.target");
}

// Guarantee 5: the current queue is scoped to the block; specifics follow
// target queues.
TEST(QueueTest, CurrentQueueAndSpecificsFollowTargets) {
  static const int kKey = 0;
  auto target = Queue::createSerial("test.specific-target");
  auto child = Queue::createSerial("test.specific-child", target);
  auto other = Queue::createSerial("test.other");
  target->setSpecific(&kKey, std::make_shared<int>(42));
  // Outside any block: the main thread is on the main queue, others nowhere.
  EXPECT_EQ(Queue::current(), Queue::main());
  EXPECT_EQ(Queue::currentLabel(), "com.apple.main-thread");
  EXPECT_TRUE(Queue::main()->isCurrent());
  std::thread([&] {
    EXPECT_EQ(Queue::current(), nullptr);
    EXPECT_EQ(Queue::currentLabel(), "");
    EXPECT_EQ(Queue::currentSpecific(&kKey), nullptr);
    EXPECT_FALSE(Queue::main()->isCurrent());
  }).join();
  child->sync([&] {
    EXPECT_EQ(Queue::current(), child);
    EXPECT_EQ(Queue::currentLabel(), "test.specific-child");
    EXPECT_TRUE(child->isCurrent());
    EXPECT_TRUE(target->isCurrent());
    auto v = Queue::currentSpecific(&kKey);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(*static_cast<int*>(v.get()), 42);
    other->sync([&] {
      EXPECT_EQ(Queue::current(), other);
      EXPECT_FALSE(child->isCurrent());
      EXPECT_EQ(Queue::currentSpecific(&kKey), nullptr);
    });
    EXPECT_EQ(Queue::current(), child);  // restored
  });
  EXPECT_EQ(Queue::current(), Queue::main());
  target->setSpecific(&kKey, nullptr);
  EXPECT_EQ(child->getSpecific(&kKey), nullptr);
}

// Guarantee 6: captured state dies right after its block, on its thread.
TEST(QueueTest, CapturedStateIsDestroyedRightAfterTheBlock) {
  auto q = Queue::createSerial("test.capture");
  std::atomic<bool> destroyed{false};
  std::thread::id ranOn, destroyedOn;
  auto token = std::shared_ptr<int>(new int(1), [&](int* p) {
    delete p;
    destroyedOn = std::this_thread::get_id();
    destroyed = true;
  });
  q->async([&, token = std::move(token)] { ranOn = std::this_thread::get_id(); });
  bool destroyedBeforeNext = false;
  q->sync([&] { destroyedBeforeNext = destroyed.load(); });
  EXPECT_TRUE(destroyedBeforeNext);
  EXPECT_EQ(ranOn, destroyedOn);
}

TEST(QueueTest, SuspensionsCount) {
  auto q = Queue::createSerial("test.suspend");
  Semaphore ran;
  q->suspend();
  q->suspend();
  q->async([&] { ran.signal(); });
  q->resume();
  EXPECT_FALSE(ran.wait(50ms));
  q->resume();
  EXPECT_TRUE(ran.wait(10s));
}

// A drain takes several blocks at once; a block that suspends its own queue
// still stops the ones behind it until the queue is resumed.
TEST(QueueTest, ABlockThatSuspendsItsQueueStopsTheBlocksBehindIt) {
  auto q = Queue::createSerial("test.suspend.inside");
  Semaphore suspended, last;
  std::atomic<bool> resumed{false};
  std::atomic<int> ranEarly{0};
  q->suspend();  // queue them all before any runs
  q->async([&] {
    q->suspend();
    suspended.signal();
  });
  for (int i = 0; i < 8; ++i) {
    q->async([&] {
      if (!resumed.load()) ++ranEarly;
    });
  }
  q->async([&] { last.signal(); });
  q->resume();
  ASSERT_TRUE(suspended.wait(10s));
  resumed = true;
  q->resume();
  ASSERT_TRUE(last.wait(10s));
  EXPECT_EQ(ranEarly.load(), 0);
}

TEST(QueueTest, MainQueueRunsOnMainThreadFromTheMainLoop) {
  std::thread::id mainId = std::this_thread::get_id();
  std::atomic<bool> ok{false};
  std::atomic<bool> fromSync{false};
  std::thread worker([&] {
    Queue::main()->sync([&] {
      fromSync = std::this_thread::get_id() == mainId && Queue::current() == Queue::main();
    });
  });
  Queue::main()->async([&] { ok = std::this_thread::get_id() == mainId; });
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return ok.load() && fromSync.load(); }));
  worker.join();
  EXPECT_TRUE(Queue::main()->isMain());
  EXPECT_FALSE(Queue::global()->isSerial());
}

// Pool blocks that wait (sync onto a busy serial queue, semaphores) must not
// starve the queue they wait for, even when they outnumber the cores.
TEST(QueueTest, BlockingPoolWorkDoesNotDeadlock) {
  int n = 4 * static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
  auto serial = Queue::createSerial("test.pool-sync");
  std::atomic<int> started{0};
  int counter = 0;
  Semaphore allStarted;
  Group group;
  for (int i = 0; i < n; ++i) {
    group.async(Queue::global(), [&] {
      if (started.fetch_add(1) + 1 == n) allStarted.signal();
      serial->sync([&] { ++counter; });
    });
  }
  // A rendezvous: every block waits until all have started.
  Group rendezvous;
  std::atomic<int> arrived{0};
  Semaphore release;
  for (int i = 0; i < n; ++i) {
    rendezvous.async(Queue::global(Priority::Low), [&] {
      if (arrived.fetch_add(1) + 1 == n) {
        for (int j = 0; j < n; ++j) release.signal();
      }
      release.wait();
    });
  }
  EXPECT_TRUE(group.wait(20s));
  EXPECT_TRUE(rendezvous.wait(20s));
  serial->sync([&] { EXPECT_EQ(counter, n); });
}

// Work that blocks outside the dispatch primitives (here a plain condition
// variable) still gets extra workers once the queue stalls.
TEST(QueueTest, PoolGrowsWhenQueuedWorkStalls) {
  int n = static_cast<int>(std::max(2u, std::thread::hardware_concurrency())) + 2;
  std::mutex m;
  std::condition_variable cv;
  int arrived = 0;
  Group group;
  for (int i = 0; i < n; ++i) {
    group.async(Queue::global(Priority::Background), [&] {
      std::unique_lock lock(m);
      if (++arrived == n) cv.notify_all();
      cv.wait(lock, [&] { return arrived >= n; });
    });
  }
  EXPECT_TRUE(group.wait(20s));
}

// The pool's threads, counted by their name.
int poolWorkers() {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name == "dispatch-worker") ++n;
  }
  return n;
}

// Guarantee 3 of the pool: the workers a burst started leave once idle,
// down to two, so an idle process does not keep a burst's threads (and
// their memory).
TEST(QueueTest, IdleWorkersLeaveDownToTwo) {
  constexpr int n = 6;
  std::mutex m;
  std::condition_variable cv;
  int arrived = 0;
  int during = 0;
  Group group;
  for (int i = 0; i < n; ++i) {
    group.async(Queue::global(), [&] {
      std::unique_lock lock(m);
      if (++arrived == n) {
        during = poolWorkers();  // every block holds a worker now
        cv.notify_all();
      }
      cv.wait(lock, [&] { return arrived >= n; });
    });
  }
  ASSERT_TRUE(group.wait(20s));
  EXPECT_GE(during, n);
  EXPECT_TRUE(varnel::testing::waitUntil([] { return poolWorkers() <= 2; }, 30s))
      << poolWorkers() << " workers stay";
  // The pool still grows on demand afterwards.
  Semaphore ran;
  Queue::global()->async([&] { ran.signal(); });
  EXPECT_TRUE(ran.wait(10s));
}

TEST(GroupTest, NotifyRunsAfterTheLastLeave) {
  Group group;
  std::atomic<int> left{0};
  std::atomic<int> seenAtNotify{-1};
  for (int i = 0; i < 3; ++i) group.enter();
  group.notify(Queue::main(), [&] { seenAtNotify = left.load(); });
  EXPECT_FALSE(group.wait(10ms));
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      left.fetch_add(1);
      group.leave();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return seenAtNotify.load() >= 0; }));
  EXPECT_EQ(seenAtNotify.load(), 3);
  EXPECT_TRUE(group.wait(0ms));
  // Empty group: notify runs at once (on its queue).
  std::atomic<bool> empty{false};
  group.notify(Queue::global(), [&] { empty = true; });
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return empty.load(); }));
}

TEST(GroupDeathTest, LeaveWithoutEnterAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Group g;
        g.leave();
      },
      "group left more often");
}

TEST(SemaphoreTest, WaitTimesOutAndCounts) {
  Semaphore s(1);
  EXPECT_TRUE(s.wait(0ms));
  EXPECT_FALSE(s.wait(10ms));
  std::thread t([&] { s.signal(); });
  EXPECT_TRUE(s.wait(10s));
  t.join();
  s.signal();
  s.signal();
  EXPECT_TRUE(s.wait());
  EXPECT_TRUE(s.wait());
  EXPECT_FALSE(s.wait(0ms));
}

TEST(OnceTest, RunsExactlyOnceAcrossThreads) {
  OnceFlag flag;
  std::atomic<int> runs{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { once(flag, [&] { ++runs; }); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(runs.load(), 1);
}

TEST(QueueTest, ConcurrentQueueRunsSideBySideAndSuspends) {
  auto q = Queue::createConcurrent("test.concurrent");
  // Two blocks that each wait for the other can only finish side by side.
  Semaphore a, b;
  Group g;
  q->suspend();
  g.async(q, [&] {
    a.signal();
    b.wait();
  });
  g.async(q, [&] {
    b.signal();
    a.wait();
  });
  EXPECT_FALSE(g.wait(30ms));
  q->resume();
  EXPECT_TRUE(g.wait(10s));
}

TEST(SpinBudgetTest, IdleThreadsStopPollingAndBusyOnesPollAsLongAsTheirWorkTakes) {
  SpinBudget spin(SpinBudget::kMaxMicros);
  // Polls that find nothing halve the budget down to nothing; only every
  // 16th poll still tries the maximum.
  int longPolls = 0;
  for (int i = 0; i < 64; ++i) {
    const int budget = spin.next();
    if (budget == SpinBudget::kMaxMicros) ++longPolls;
    spin.missed();
  }
  EXPECT_EQ(longPolls, 4) << "every 16th poll, the first among them";
  spin.next();  // the 65th poll is a probe
  EXPECT_EQ(spin.next(), 0);
  // Work that comes after 30 µs makes the next polls last twice that.
  spin.found(30);
  EXPECT_EQ(spin.next(), 62);
  spin.found(500);
  EXPECT_EQ(spin.next(), SpinBudget::kMaxMicros) << "never above the maximum";
}

}  // namespace
}  // namespace platform::dispatch
