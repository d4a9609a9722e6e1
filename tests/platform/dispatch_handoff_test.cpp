// Hand-offs between the reactor, the worker pool and serial queues: work
// posted while a worker polls for its next job, back-to-back ping-pongs,
// descriptors shared by a read and a write source after one-shot events,
// an idle process that stops using the processor, and workers that go to
// sleep, leave and come back while other threads keep posting.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;

// Processor time (clock ticks) used so far by the dispatch layer's own
// threads (workers, reactor, monitor); other threads (a sanitizer's, the
// test's) do not count.
long dispatchThreadTicks() {
  long ticks = 0;
  DIR* dir = ::opendir("/proc/self/task");
  if (!dir) return -1;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream stat(std::string("/proc/self/task/") + e->d_name + "/stat");
    std::string line;
    std::getline(stat, line);
    // pid (comm) state ... utime stime: fields 14 and 15, after the comm.
    auto open = line.find('(');
    auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    if (line.compare(open + 1, 9, "dispatch-") != 0) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    ticks += utime + stime;
  }
  ::closedir(dir);
  return ticks;
}

// Number of pool workers alive now.
int workerThreads() {
  int n = 0;
  DIR* dir = ::opendir("/proc/self/task");
  if (!dir) return -1;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name == "dispatch-worker") ++n;
  }
  ::closedir(dir);
  return n;
}

TEST(HandoffTest, PingPongBetweenSerialQueuesLosesNoWakeUp) {
  // Each hop is posted right after the previous block ends, when a worker
  // is most likely polling; a lost hand-off would stall the chain.
  auto a = Queue::createSerial("test.ping");
  auto b = Queue::createSerial("test.pong");
  constexpr int kHops = 20000;
  std::atomic<int> hops{0};
  Semaphore done;
  std::function<void()> ping;
  std::function<void()> pong;
  ping = [&] {
    if (hops.fetch_add(1) + 1 == kHops) {
      done.signal();
      return;
    }
    b->async(pong);
  };
  pong = [&] {
    if (hops.fetch_add(1) + 1 == kHops) {
      done.signal();
      return;
    }
    a->async(ping);
  };
  a->async(ping);
  ASSERT_TRUE(done.wait(seconds(30)));
  EXPECT_EQ(hops.load(), kHops);
}

TEST(HandoffTest, BurstsFromManyThreadsAllRunWithGapsBetweenThem) {
  // Bursts arrive after the pool went idle (or while a worker polls): every
  // job runs, on time.
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  constexpr int kJobs = 8;
  std::atomic<int> ran{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ran, t] {
      for (int r = 0; r < kRounds; ++r) {
        Group g;
        for (int j = 0; j < kJobs; ++j) {
          g.async(Queue::global(t % 2 ? Priority::High : Priority::Default),
                  [&ran] { ran.fetch_add(1); });
        }
        ASSERT_TRUE(g.wait(seconds(10)));
        if (r % 50 == 0) std::this_thread::sleep_for(1ms);  // let the pool go idle
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(ran.load(), kThreads * kRounds * kJobs);
}

TEST(HandoffTest, SingleJobsFromManyThreadsEachWakeASleepingWorker) {
  // Each thread posts one job at a time and waits for it, now and then
  // after a pause long enough for the workers to stop polling and sleep:
  // posts race with workers going to sleep, being woken and waking the next.
  constexpr int kThreads = 6;
  constexpr int kRounds = 400;
  std::atomic<int> ran{0};
  std::atomic<bool> stalled{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Semaphore done;
      const Priority priority = t % 3 == 0 ? Priority::High : Priority::Default;
      for (int r = 0; r < kRounds && !stalled.load(); ++r) {
        Queue::global(priority)->async([&] {
          ran.fetch_add(1);
          done.signal();
        });
        if (!done.wait(seconds(10))) stalled = true;
        if ((r + t) % 16 == 0) std::this_thread::sleep_for(300us);  // past the workers' polling
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(stalled.load()) << "a posted job was never started";
  EXPECT_EQ(ran.load(), kThreads * kRounds);
}

TEST(HandoffTest, BurstFromOneThreadStartsJobsSideBySide) {
  // One thread posts a burst of jobs that can only finish together: the pool
  // must bring up a worker for each, not run them one after another.
  const int n = std::max(2, static_cast<int>(std::thread::hardware_concurrency()) / 2);
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> arrived{0};
    std::atomic<bool> gaveUp{false};
    Group group;
    for (int i = 0; i < n; ++i) {
      group.async(Queue::global(), [&] {
        arrived.fetch_add(1);
        // Spin, not a dispatch wait: a waiting job would get a worker of its
        // own through the pool's blocking rule instead. Give up well before
        // idle workers would wake on their own (after 5 s).
        const auto giveUp = std::chrono::steady_clock::now() + 3s;
        while (arrived.load() < n) {
          if (std::chrono::steady_clock::now() > giveUp) {
            gaveUp = true;
            return;
          }
          std::this_thread::yield();
        }
      });
    }
    ASSERT_TRUE(group.wait(seconds(30)));
    ASSERT_FALSE(gaveUp.load()) << "round " << round << ": only " << arrived.load() << " of " << n
                                << " jobs started side by side";
  }
}

TEST(HandoffTest, WorkersThatLeftAfterIdlingAreReplacedAndWokenAgain) {
  // Blocked jobs make the pool grow past its normal size; once idle, the
  // extra workers leave. Workers started later (reusing what the leavers
  // left behind) must run work and be woken like the first ones.
  const int normal = std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
  const int n = normal + 3;
  auto blockAll = [&] {
    std::atomic<int> arrived{0};
    Semaphore release;
    Group group;
    for (int i = 0; i < n; ++i) {
      group.async(Queue::global(Priority::Low), [&] {
        if (arrived.fetch_add(1) + 1 == n) {
          for (int j = 0; j < n; ++j) release.signal();
        }
        release.wait();
      });
    }
    return group.wait(seconds(20));
  };
  ASSERT_TRUE(blockAll());
  ASSERT_GT(workerThreads(), normal);
  // Extra workers leave a few seconds after they went idle.
  const auto giveUp = std::chrono::steady_clock::now() + 30s;
  while (workerThreads() > normal && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_LE(workerThreads(), normal);
  ASSERT_TRUE(blockAll());
  // And single posts still reach sleeping workers.
  Semaphore done;
  for (int i = 0; i < 200; ++i) {
    Queue::global()->async([&] { done.signal(); });
    ASSERT_TRUE(done.wait(seconds(10)));
    if (i % 20 == 0) std::this_thread::sleep_for(300us);
  }
}

TEST(HandoffTest, SocketRequestResponseThroughReadSources) {
  // A read source that re-arms after every handler answers each request;
  // the reactor's one-shot registration must fire again for every one.
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv), 0);
  auto q = Queue::createSerial("test.echo");
  auto src = Source::read(sv[1], q);
  src->setEventHandler([&] {
    char buf[64];
    ssize_t n;
    while ((n = ::read(sv[1], buf, sizeof buf)) > 0) ASSERT_EQ(::write(sv[1], buf, n), n);
  });
  Semaphore cancelled;
  src->setCancelHandler([&] { cancelled.signal(); });
  src->resume();
  int flags = ::fcntl(sv[0], F_GETFL);
  ::fcntl(sv[0], F_SETFL, flags & ~O_NONBLOCK);
  for (int i = 0; i < 3000; ++i) {
    char c = static_cast<char>('a' + i % 26);
    ASSERT_EQ(::write(sv[0], &c, 1), 1);
    char back = 0;
    ASSERT_EQ(::read(sv[0], &back, 1), 1);
    ASSERT_EQ(back, c);
  }
  src->cancel();
  ASSERT_TRUE(cancelled.wait(seconds(10)));
  ::close(sv[0]);
  ::close(sv[1]);
}

// A source's handler, which may run on the reactor thread, hands work on to
// another idle serial queue, whose drain that thread may keep to run next.
// The work must still run while the handler waits for it: in sync, in a
// semaphore, or in a plain condition variable the dispatch layer cannot see.
TEST(HandoffTest, HandlerWaitingForWorkItHandedToAnotherQueueGetsIt) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv), 0);
  auto q = Queue::createSerial("test.handler");
  auto next = Queue::createSerial("test.next");
  auto src = Source::readable(sv[1], q);
  std::atomic<int> round{0};
  Semaphore handled;
  src->setEventHandler([&] {
    char buf[16];
    while (::read(sv[1], buf, sizeof buf) > 0) {
    }
    const int r = round.load();
    // Shared with the block, which may outlive a wait that timed out.
    struct Handed {
      std::atomic<bool> ran{false};
      Semaphore done;
      std::mutex m;
      std::condition_variable cv;
    };
    auto h = std::make_shared<Handed>();
    auto& ran = h->ran;
    if (r % 3 == 0) {
      next->async([h] { h->ran = true; });
      next->sync([] {});
    } else if (r % 3 == 1) {
      next->async([h] {
        h->ran = true;
        h->done.signal();
      });
      h->done.wait(seconds(10));
    } else {
      next->async([h] {
        std::lock_guard lock(h->m);
        h->ran = true;
        h->cv.notify_one();
      });
      std::unique_lock lock(h->m);
      h->cv.wait_for(lock, 10s, [&] { return ran.load(); });
    }
    EXPECT_TRUE(ran.load()) << "round " << r;
    handled.signal();
  });
  src->resume();
  for (int i = 0; i < 30; ++i) {
    round = i;
    ASSERT_EQ(::write(sv[0], "x", 1), 1);
    ASSERT_TRUE(handled.wait(seconds(20))) << "round " << i;
  }
  Semaphore cancelled;
  src->setCancelHandler([&] { cancelled.signal(); });
  src->cancel();
  ASSERT_TRUE(cancelled.wait(seconds(10)));
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST(HandoffTest, WriteSourceKeepsFiringWhileReadSourceOfTheSameFdHandlesEvents) {
  // An event for one watcher disarms the shared registration; the other
  // watcher's interest must be armed again.
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv), 0);
  auto q = Queue::createSerial("test.shared");
  auto reader = Source::read(sv[1], q);
  auto writer = Source::write(sv[1], q);
  std::atomic<int> reads{0};
  std::atomic<int> writes{0};
  reader->setEventHandler([&] {
    char c;
    if (::read(sv[1], &c, 1) == 1) reads.fetch_add(1);
  });
  writer->setEventHandler([&] {
    if (writes.fetch_add(1) + 1 == 5) writer->suspend();  // writable forever: stop after 5
  });
  reader->resume();
  for (int i = 0; i < 50; ++i) ASSERT_EQ(::write(sv[0], "x", 1), 1);
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (reads.load() < 50 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(reads.load(), 50);
  writer->resume();
  while (writes.load() < 5 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(writes.load(), 5);
  // Readable again after the writer got its events.
  ASSERT_EQ(::write(sv[0], "y", 1), 1);
  while (reads.load() < 51 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(reads.load(), 51);
  Group cancelled;
  cancelled.enter();
  cancelled.enter();
  reader->setCancelHandler([&] { cancelled.leave(); });
  writer->setCancelHandler([&] { cancelled.leave(); });
  reader->cancel();
  writer->cancel();
  writer->resume();  // suspended by its handler: the cancel handler runs once resumed
  ASSERT_TRUE(cancelled.wait(seconds(10)));
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST(HandoffTest, AnIdleProcessStopsUsingTheProcessor) {
  // Workers may poll briefly after a job, never for long: once the work is
  // over, the process sleeps.
  auto q = Queue::createSerial("test.idle");
  for (int i = 0; i < 1000; ++i) q->async([] {});
  q->sync([] {});
  std::this_thread::sleep_for(50ms);  // past any polling
  const long before = dispatchThreadTicks();
  ASSERT_GE(before, 0);
  std::this_thread::sleep_for(500ms);
  const long used = dispatchThreadTicks() - before;
  // Half a second of polling would be 50 ticks at 100 Hz; allow a few for
  // the clock's granularity and stray timers.
  EXPECT_LE(used * 1000 / ::sysconf(_SC_CLK_TCK), 50) << "ticks used while idle: " << used;
}

}  // namespace
}  // namespace platform::dispatch
