// Hand-offs between the reactor, the worker pool and serial queues: work
// posted while a worker polls for its next job, back-to-back ping-pongs,
// descriptors shared by a read and a write source after one-shot events,
// and an idle process that stops using the processor.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
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
