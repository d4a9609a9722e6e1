#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"
#include "support/manual_clock.h"
#include "support/wait.h"

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;

// Runs the main run loop until `done` holds (10 s safety net).
using varnel::testing::waitUntilOnMainRunLoop;

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0); }
  ~Pipe() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
};

TEST(SourceTest, ReadSourceReportsAvailableBytesAndFiresAgainWhileUnread) {
  Pipe p;
  auto q = Queue::createSerial("test.read");
  auto src = Source::read(p.fds[0], q);
  std::vector<std::uint64_t> seen;
  std::mutex m;
  std::atomic<int> fires{0};
  src->setEventHandler([&] {
    std::lock_guard lock(m);
    seen.push_back(src->data());
    // Read only one byte per event: level-triggered, so it fires again.
    char c;
    ASSERT_EQ(::read(p.fds[0], &c, 1), 1);
    ++fires;
  });
  ASSERT_EQ(::write(p.fds[1], "abc", 3), 3);
  src->resume();
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return fires.load() == 3; }));
  src->cancel();
  std::lock_guard lock(m);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], 3u);
  EXPECT_EQ(seen[2], 1u);
}

// A readiness-only source is edge-triggered: data() is 1, what arrives
// while the handler runs (even after its last read) is handled by another
// call, and resuming after a suspension reports what still waits.
TEST(SourceTest, ReadinessSourceHandsOnWhatArrivesWhileItsHandlerRuns) {
  Pipe p;
  auto q = Queue::createSerial("test.readable");
  auto src = Source::readable(p.fds[0], q);
  EXPECT_EQ(src->type(), Source::Type::Read);
  std::mutex m;
  std::vector<std::uint64_t> seen;
  std::string got;
  std::atomic<int> fires{0};
  src->setEventHandler([&] {
    std::lock_guard lock(m);
    seen.push_back(src->data());
    char buf[16];
    ssize_t n;
    while ((n = ::read(p.fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    // The first call drains the pipe, then more comes before it returns.
    if (fires.fetch_add(1) == 0) {
      ASSERT_EQ(::write(p.fds[1], "d", 1), 1);
    }
  });
  ASSERT_EQ(::write(p.fds[1], "abc", 3), 3);
  src->resume();
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] {
    std::lock_guard lock(m);
    return got == "abcd";
  }));
  // Suspended with a byte waiting: resuming reports it.
  src->suspend();
  q->sync([] {});
  ASSERT_EQ(::write(p.fds[1], "e", 1), 1);
  src->resume();
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] {
    std::lock_guard lock(m);
    return got == "abcde";
  }));
  // A later arrival after an idle spell.
  ASSERT_EQ(::write(p.fds[1], "f", 1), 1);
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] {
    std::lock_guard lock(m);
    return got == "abcdef";
  }));
  src->cancel();
  std::lock_guard lock(m);
  for (auto d : seen) EXPECT_EQ(d, 1u);
}

// The reactor thread may run a handler itself when its queue is idle. A
// handler that waits for the event of another descriptor must still get it:
// the other source's handler runs while the first one waits.
TEST(SourceTest, AHandlerWaitingForAnotherDescriptorsEventDoesNotHoldItUp) {
  Pipe first, second;
  auto firstQueue = Queue::createSerial("test.waiting");
  auto secondQueue = Queue::createSerial("test.answering");
  auto waiting = Source::read(first.fds[0], firstQueue);
  auto answering = Source::read(second.fds[0], secondQueue);
  Semaphore answered;
  std::atomic<bool> gotAnswer{false};
  waiting->setEventHandler([&] {
    char c;
    ASSERT_EQ(::read(first.fds[0], &c, 1), 1);
    // The answer comes through the second descriptor only.
    ASSERT_EQ(::write(second.fds[1], "b", 1), 1);
    gotAnswer = answered.wait(10s);
  });
  answering->setEventHandler([&] {
    char c;
    ASSERT_EQ(::read(second.fds[0], &c, 1), 1);
    answered.signal();
  });
  Semaphore cancelled;
  waiting->setCancelHandler([&] { cancelled.signal(); });
  answering->setCancelHandler([&] { cancelled.signal(); });
  waiting->resume();
  answering->resume();
  ASSERT_EQ(::write(first.fds[1], "a", 1), 1);
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return gotAnswer.load(); }));
  waiting->cancel();
  answering->cancel();
  EXPECT_TRUE(cancelled.wait(10s));
  EXPECT_TRUE(cancelled.wait(10s));
}

// Blocks submitted to a source's queue while its handler runs (on whichever
// thread) run after it, one at a time, in order, each on the queue.
TEST(SourceTest, HandlersAndBlocksSubmittedMeanwhileRunOneAtATimeInOrder) {
  Pipe p;
  auto q = Queue::createSerial("test.mixed");
  auto src = Source::read(p.fds[0], q);
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::atomic<bool> offQueue{false};
  std::atomic<int> handled{0};
  int lastBlock = -1;
  bool inOrder = true;
  auto enter = [&] {
    if (inside.fetch_add(1) != 0) overlap = true;
    if (!q->isCurrent()) offQueue = true;
  };
  src->setEventHandler([&] {
    enter();
    char buffer[64];
    const ssize_t n = ::read(p.fds[0], buffer, sizeof buffer);
    if (n > 0) handled += static_cast<int>(n);
    inside.fetch_sub(1);
  });
  Semaphore cancelled;
  src->setCancelHandler([&] { cancelled.signal(); });
  src->resume();
  constexpr int kRounds = 2000;
  std::thread poster([&] {
    for (int i = 0; i < kRounds; ++i) {
      q->async([&, i] {
        enter();
        if (lastBlock != i - 1) inOrder = false;
        lastBlock = i;
        inside.fetch_sub(1);
      });
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_EQ(::write(p.fds[1], "x", 1), 1);
    if (i % 64 == 0) std::this_thread::yield();
  }
  poster.join();
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return handled.load() == kRounds; }));
  q->sync([&] {
    EXPECT_EQ(lastBlock, kRounds - 1);
    EXPECT_TRUE(inOrder);
  });
  EXPECT_FALSE(overlap.load());
  EXPECT_FALSE(offQueue.load());
  src->cancel();
  EXPECT_TRUE(cancelled.wait(10s));
}

TEST(SourceTest, SourcesStartSuspended) {
  Pipe p;
  auto q = Queue::createSerial("test.suspended");
  auto src = Source::read(p.fds[0], q);
  Semaphore fired;
  src->setEventHandler([&] { fired.signal(); });
  ASSERT_EQ(::write(p.fds[1], "x", 1), 1);
  EXPECT_FALSE(fired.wait(50ms));
  src->resume();
  EXPECT_TRUE(fired.wait(10s));
  src->cancel();
  // The unread byte keeps the source firing until the cancel: a handler
  // already queued must be done before `fired` goes.
  q->sync([] {});
}

TEST(SourceTest, ReadAndWriteSourcesShareOneDescriptor) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
  auto q = Queue::createSerial("test.shared-fd");
  auto reader = Source::read(sv[0], q);
  auto writer = Source::write(sv[0], q);
  Semaphore wrote, read;
  writer->setEventHandler([&] {
    EXPECT_GT(writer->data(), 0u);
    writer->suspend();  // writable all the time: one event is enough
    wrote.signal();
  });
  reader->setEventHandler([&] {
    char buf[8];
    EXPECT_EQ(::read(sv[0], buf, sizeof buf), 2);
    read.signal();
  });
  reader->resume();
  writer->resume();
  EXPECT_TRUE(wrote.wait(10s));
  ASSERT_EQ(::write(sv[1], "hi", 2), 2);
  EXPECT_TRUE(read.wait(10s));
  // Cancelling the reader keeps the writer's registration working.
  Semaphore cancelled;
  reader->setCancelHandler([&] { cancelled.signal(); });
  reader->cancel();
  EXPECT_TRUE(cancelled.wait(10s));
  writer->resume();
  EXPECT_TRUE(wrote.wait(10s));
  writer->cancel();
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST(SourceTest, CancelHandlerRunsOnceOnTheQueueAfterDeregistration) {
  auto q = Queue::createSerial("test.cancel");
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  auto src = Source::read(fds[0], q);
  std::atomic<int> cancels{0};
  std::atomic<bool> eventAfterCancel{false};
  std::atomic<bool> onQueue{false};
  src->setEventHandler([&] {
    if (cancels.load() > 0) eventAfterCancel = true;
  });
  src->setCancelHandler([&] {
    onQueue = q->isCurrent();
    ++cancels;
    // Safe to close here: the fd has left the reactor.
    ::close(fds[0]);
  });
  src->resume();
  ASSERT_EQ(::write(fds[1], "x", 1), 1);  // stays unread: keeps firing
  src->cancel();
  src->cancel();
  EXPECT_TRUE(src->isCancelled());
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return cancels.load() == 1; }));
  // A new pipe reuses the closed descriptor number; the old source must
  // not see its events.
  Pipe reuse;
  auto src2 = Source::read(reuse.fds[0], q);
  Semaphore fired;
  src2->setEventHandler([&] { fired.signal(); });
  src2->resume();
  ASSERT_EQ(::write(reuse.fds[1], "y", 1), 1);
  EXPECT_TRUE(fired.wait(10s));
  src2->cancel();
  q->sync([] {});
  EXPECT_EQ(cancels.load(), 1);
  EXPECT_TRUE(onQueue.load());
  EXPECT_FALSE(eventAfterCancel.load());
  ::close(fds[1]);
}

TEST(SourceTest, CancelledWhileSuspendedRunsCancelHandlerOnResume) {
  auto src = Source::timer(Queue::createSerial("test.cancel-suspended"));
  Semaphore cancelled;
  src->setCancelHandler([&] { cancelled.signal(); });
  src->cancel();
  EXPECT_FALSE(cancelled.wait(30ms));
  src->resume();
  EXPECT_TRUE(cancelled.wait(10s));
}

TEST(SourceTest, SuspensionsCount) {
  auto clock = varnel::testing::ManualClock::create();
  auto q = Queue::createSerial("test.timer-suspend");
  auto src = Source::timer(q, clock);
  std::atomic<int> fired{0};
  src->setEventHandler([&] { ++fired; });
  src->setTimer(1s, Duration::zero());
  src->suspend();  // count 2
  src->resume();   // count 1
  clock->advance(1s);
  q->sync([] {});  // a handler posted by the move has run by now
  EXPECT_EQ(fired.load(), 0);
  src->resume();
  EXPECT_TRUE(varnel::testing::waitUntil([&] { return fired.load() == 1; }));
  src->cancel();
  q->sync([] {});
}

TEST(SourceTest, TimerRepeatsAndCountsMissedFires) {
  auto clock = varnel::testing::ManualClock::create();
  auto q = Queue::createSerial("test.timer");
  auto src = Source::timer(q, clock);
  std::atomic<std::uint64_t> total{0};
  std::atomic<int> handlers{0};
  Semaphore gate;
  src->setEventHandler([&] {
    total += src->data();
    if (++handlers == 1) gate.wait();  // hold the queue while fires pile up
  });
  src->setTimer(5s, 5s);
  src->resume();
  clock->advance(4s);
  q->sync([] {});
  EXPECT_EQ(handlers.load(), 0);
  clock->advance(1s);
  EXPECT_TRUE(varnel::testing::waitUntil([&] { return handlers.load() == 1; }));
  // Fires pile up while the first handler waits; they come as one count:
  // the fires at 10 s and 15 s, then the one at 20 s, 25 s and 30 s that
  // fell due in one move of the time.
  clock->advance(5s);
  clock->advance(5s);
  clock->advance(15s);
  gate.signal();
  EXPECT_TRUE(varnel::testing::waitUntil([&] { return handlers.load() == 2; }));
  q->sync([] {});
  EXPECT_EQ(handlers.load(), 2);
  EXPECT_EQ(total.load(), 6u);
  // The schedule keeps its phase: the next fire is at 35 s.
  clock->advance(4s);
  q->sync([] {});
  EXPECT_EQ(total.load(), 6u);
  clock->advance(1s);
  EXPECT_TRUE(varnel::testing::waitUntil([&] { return total.load() == 7u; }));
  src->cancel();
  clock->advance(1h);  // a cancelled timer fires no more
  q->sync([] {});
  EXPECT_EQ(total.load(), 7u);
}

TEST(SourceTest, OneShotTimerFiresOnceAndCanBeRescheduled) {
  auto clock = varnel::testing::ManualClock::create();
  auto q = Queue::createSerial("test.oneshot");
  auto src = Source::timer(q, clock);
  std::atomic<int> fires{0};
  src->setEventHandler([&] { ++fires; });
  src->setTimer(1h, Duration::zero());
  src->setTimer(1s, Duration::zero());  // replaces the first schedule
  src->resume();
  clock->advance(999ms);
  q->sync([] {});
  EXPECT_EQ(fires.load(), 0);
  clock->advance(1ms);
  EXPECT_TRUE(varnel::testing::waitUntil([&] { return fires.load() == 1; }));
  clock->advance(2h);  // past the replaced schedule too
  q->sync([] {});
  EXPECT_EQ(fires.load(), 1);
  // Rescheduled after it fired; a start of 0 fires without a move.
  src->setTimer(Duration::zero(), Duration::zero());
  EXPECT_TRUE(varnel::testing::waitUntil([&] { return fires.load() == 2; }));
  src->cancel();
}

TEST(SourceTest, TimerOnTheSteadyClockFiresThroughTheReactor) {
  auto q = Queue::createSerial("test.steady");
  auto src = Source::timer(q);
  std::atomic<std::uint64_t> fires{0};
  src->setEventHandler([&] { fires += src->data(); });
  src->setTimer(1h, Duration::zero());
  src->setTimer(1ms, 1ms);  // replaces the first schedule
  src->resume();
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return fires.load() >= 3; }));
  src->cancel();
  q->sync([] {});
}

TEST(SourceTest, ProcessExitForAChildThatExitedBeforeResume) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(7);
  // Wait for the exit without reaping, so the source meets a zombie.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
  auto src = Source::processExit(pid, Queue::createSerial("test.proc"));
  std::atomic<int> fires{0};
  std::atomic<std::uint64_t> status{0};
  src->setEventHandler([&] {
    status = src->data();
    ++fires;
  });
  src->resume();
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return fires.load() == 1; }));
  int st = static_cast<int>(status.load());
  EXPECT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 7);
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);  // the source reaped it
  src->cancel();
}

TEST(SourceTest, ProcessExitForARunningChildAndASignalDeath) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char c;
    while (::read(fds[0], &c, 1) < 0) {
    }
    ::_exit(0);
  }
  ::close(fds[0]);
  auto src = Source::processExit(pid, Queue::createSerial("test.proc2"));
  std::atomic<int> fires{0};
  std::atomic<std::uint64_t> status{0};
  src->setEventHandler([&] {
    status = src->data();
    ++fires;
  });
  src->resume();
  ::kill(pid, SIGKILL);
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return fires.load() == 1; }));
  int st = static_cast<int>(status.load());
  EXPECT_TRUE(WIFSIGNALED(st));
  EXPECT_EQ(WTERMSIG(st), SIGKILL);
  src->cancel();
  ::close(fds[1]);
}

TEST(SourceTest, ProcessExitOfAnUnknownProcessFiresWithZero) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);  // gone before the source exists
  auto src = Source::processExit(pid, Queue::createSerial("test.proc3"));
  Semaphore fired;
  std::atomic<std::uint64_t> data{99};
  src->setEventHandler([&] {
    data = src->data();
    fired.signal();
  });
  src->resume();
  EXPECT_TRUE(fired.wait(10s));
  EXPECT_EQ(data.load(), 0u);
  src->cancel();
}

TEST(SourceTest, SignalSourceCountsDeliveries) {
  auto src = Source::signal(SIGUSR1, Queue::createSerial("test.signal"));
  std::atomic<std::uint64_t> count{0};
  src->setEventHandler([&] { count += src->data(); });
  src->resume();
  ::kill(::getpid(), SIGUSR1);
  EXPECT_TRUE(waitUntilOnMainRunLoop([&] { return count.load() >= 1; }));
  src->cancel();
}

// A child forked from a platform thread (all signals blocked there) or
// after a signal source blocked its signal starts with those unblocked.
TEST(SourceTest, ForkedChildrenDoNotInheritBlockedSignals) {
  auto src = Source::signal(SIGUSR2, Queue::createSerial("test.signal-mask"));
  auto childMaskIsClear = [] {
    pid_t pid = ::fork();
    if (pid == 0) {
      sigset_t mask;
      pthread_sigmask(SIG_SETMASK, nullptr, &mask);
      ::_exit(sigismember(&mask, SIGUSR2) || sigismember(&mask, SIGTERM) ? 1 : 0);
    }
    int st = -1;
    ::waitpid(pid, &st, 0);
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
  };
  EXPECT_TRUE(childMaskIsClear());  // from the main thread
  std::atomic<bool> fromWorker{false};
  Semaphore done;
  Queue::global()->async([&] {
    fromWorker = childMaskIsClear();
    done.signal();
  });
  ASSERT_TRUE(done.wait(10s));
  EXPECT_TRUE(fromWorker.load());
  src->cancel();
}

}  // namespace
}  // namespace platform::dispatch
