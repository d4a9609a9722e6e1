#include "platform/system/thread_state.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace platform {
namespace {

// A thread that spins in a known function until told to stop, with its id,
// the bounds of its stack and a counter that shows whether it runs.
struct Spinner {
  int stop = 0;
  unsigned long counter = 0;
  std::atomic<pid_t> tid{0};
  std::uintptr_t stackLow = 0;
  std::uintptr_t stackHigh = 0;
  std::thread thread;
};

__attribute__((noinline)) void spinUntilStopped(int* stop, unsigned long* counter) {
  while (__atomic_load_n(stop, __ATOMIC_ACQUIRE) == 0) {
    __atomic_fetch_add(counter, 1, __ATOMIC_RELAXED);
  }
}

void startSpinner(Spinner& s) {
  s.thread = std::thread([&s] {
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    void* low = nullptr;
    std::size_t size = 0;
    pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    s.stackLow = reinterpret_cast<std::uintptr_t>(low);
    s.stackHigh = s.stackLow + size;
    s.tid.store(ThreadStateCurrentThread());
    spinUntilStopped(&s.stop, &s.counter);
  });
  while (s.tid.load() == 0) std::this_thread::yield();
  // Running inside the loop.
  while (__atomic_load_n(&s.counter, __ATOMIC_RELAXED) == 0) std::this_thread::yield();
}

void stopSpinner(Spinner& s) {
  __atomic_store_n(&s.stop, 1, __ATOMIC_RELEASE);
  s.thread.join();
}

std::vector<pid_t> listThreads() {
  std::vector<pid_t> threads(kThreadStateMaxThreads);
  const int n = ThreadStateListThreads(threads.data(), kThreadStateMaxThreads, nullptr);
  threads.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return threads;
}

class ThreadStateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ThreadStatePrepare()); }
};

TEST_F(ThreadStateTest, ListsTheCallerAndNewThreads) {
  Spinner a, b;
  startSpinner(a);
  startSpinner(b);
  int total = 0;
  std::vector<pid_t> threads(kThreadStateMaxThreads);
  const int n = ThreadStateListThreads(threads.data(), kThreadStateMaxThreads, &total);
  threads.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(n, total);
  for (pid_t t : {ThreadStateCurrentThread(), getpid(), a.tid.load(), b.tid.load()}) {
    EXPECT_NE(std::find(threads.begin(), threads.end(), t), threads.end()) << t;
  }
  // A small capacity stores fewer but still counts them all.
  pid_t one[1] = {};
  int all = 0;
  EXPECT_EQ(ThreadStateListThreads(one, 1, &all), 1);
  EXPECT_EQ(all, total);
  stopSpinner(a);
  stopSpinner(b);
}

TEST_F(ThreadStateTest, SuspendedThreadsStandStillWithTheirRegistersAndContinueAfterResume) {
  Spinner spinners[3];
  for (Spinner& s : spinners) startSpinner(s);
  const std::vector<pid_t> threads = listThreads();
  std::unique_ptr<bool[]> suspended(new bool[threads.size()]);
  const int stopped =
      ThreadStateSuspend(threads.data(), static_cast<int>(threads.size()), suspended.get());
  // Every thread but the caller.
  EXPECT_EQ(stopped, static_cast<int>(threads.size()) - 1);
  for (std::size_t i = 0; i < threads.size(); ++i) {
    EXPECT_EQ(suspended[i], threads[i] != ThreadStateCurrentThread()) << threads[i];
  }
  EXPECT_FALSE(ThreadStateIsSuspended(ThreadStateCurrentThread()));
  // A second suspension is refused while this one is active.
  EXPECT_EQ(ThreadStateSuspend(threads.data(), static_cast<int>(threads.size()), nullptr), -1);

  unsigned long counts[3];
  for (int i = 0; i < 3; ++i) {
    Spinner& s = spinners[i];
    ASSERT_TRUE(ThreadStateIsSuspended(s.tid));
    ThreadRegisters registers{};
    ASSERT_TRUE(ThreadStateGetRegisters(s.tid, &registers));
    const auto entry = reinterpret_cast<std::uintptr_t>(&spinUntilStopped);
    EXPECT_GE(registers.rip, entry);
    EXPECT_LT(registers.rip, entry + 1024);
    EXPECT_GE(registers.rsp, s.stackLow);
    EXPECT_LT(registers.rsp, s.stackHigh);
    EXPECT_NE(registers.cs, 0u);
    counts[i] = __atomic_load_n(&s.counter, __ATOMIC_RELAXED);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(__atomic_load_n(&spinners[i].counter, __ATOMIC_RELAXED), counts[i]);
  }

  ASSERT_TRUE(ThreadStateResumeAll());
  EXPECT_FALSE(ThreadStateResumeAll());
  EXPECT_FALSE(ThreadStateIsSuspended(spinners[0].tid));
  ThreadRegisters ignored{};
  EXPECT_FALSE(ThreadStateGetRegisters(spinners[0].tid, &ignored));
  for (int i = 0; i < 3; ++i) {
    while (__atomic_load_n(&spinners[i].counter, __ATOMIC_RELAXED) == counts[i]) {
      std::this_thread::yield();
    }
  }
  for (Spinner& s : spinners) stopSpinner(s);

  // The slots can be used again.
  Spinner again;
  startSpinner(again);
  pid_t one[1] = {again.tid.load()};
  EXPECT_EQ(ThreadStateSuspend(one, 1, nullptr), 1);
  EXPECT_TRUE(ThreadStateResumeAll());
  stopSpinner(again);
}

TEST_F(ThreadStateTest, ABlockingSystemCallGoesOnAfterTheResume) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::atomic<pid_t> tid{0};
  char got = 0;
  ssize_t result = -2;
  std::thread reader([&] {
    tid.store(ThreadStateCurrentThread());
    result = read(fds[0], &got, 1);
  });
  while (tid.load() == 0) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it block in read
  pid_t one[1] = {tid.load()};
  EXPECT_EQ(ThreadStateSuspend(one, 1, nullptr), 1);
  EXPECT_TRUE(ThreadStateResumeAll());
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  reader.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(got, 'x');
  close(fds[0]);
  close(fds[1]);
}

TEST_F(ThreadStateTest, AThreadThatBlocksTheSignalIsNotSuspendedAndItsLateAnswerDoesNotStopIt) {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> resumed{false};
  std::atomic<bool> done{false};
  std::thread blocker([&] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, ThreadStateSuspendSignal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    tid.store(ThreadStateCurrentThread());
    while (!resumed.load()) std::this_thread::yield();
    // The pending signal arrives now, after the suspension has ended.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    done.store(true);
  });
  while (tid.load() == 0) std::this_thread::yield();
  pid_t one[1] = {tid.load()};
  bool suspended[1] = {true};
  EXPECT_EQ(ThreadStateSuspend(one, 1, suspended), 0);
  EXPECT_FALSE(suspended[0]);
  EXPECT_FALSE(ThreadStateIsSuspended(tid.load()));
  EXPECT_TRUE(ThreadStateResumeAll());
  resumed.store(true);
  blocker.join();
  EXPECT_TRUE(done.load());
}

TEST_F(ThreadStateTest, AnExitedThreadIsNotSuspended) {
  std::atomic<pid_t> tid{0};
  std::thread([&] { tid.store(ThreadStateCurrentThread()); }).join();
  pid_t one[1] = {tid.load()};
  EXPECT_EQ(ThreadStateSuspend(one, 1, nullptr), 0);
  EXPECT_TRUE(ThreadStateResumeAll());
}

TEST_F(ThreadStateTest, ReadsThreadNames) {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> stop{false};
  std::thread named([&] {
    pthread_setname_np(pthread_self(), "state-worker");
    tid.store(ThreadStateCurrentThread());
    while (!stop.load()) std::this_thread::yield();
  });
  while (tid.load() == 0) std::this_thread::yield();
  char name[64];
  ASSERT_TRUE(ThreadStateReadName(tid.load(), name, sizeof(name)));
  EXPECT_STREQ(name, "state-worker");
  // A small buffer is filled and terminated.
  char small[6];
  ASSERT_TRUE(ThreadStateReadName(tid.load(), small, sizeof(small)));
  EXPECT_STREQ(small, "state");
  stop.store(true);
  named.join();
  // join() returns once the thread has left user space; the kernel drops its
  // task entry a moment later, and from then on there is no name to read.
  EXPECT_TRUE(varnel::testing::waitUntil(
      [&] { return !ThreadStateReadName(tid.load(), name, sizeof(name)); }));
  EXPECT_STREQ(name, "");
}

TEST(ThreadRegistersTest, CopiesTheGeneralRegistersOfAUserContext) {
  ucontext_t context{};
  for (int i = 0; i < NGREG; ++i) context.uc_mcontext.gregs[i] = 1000 + i;
  // cs 0x33, gs 0x7, fs 0x2b in one word.
  context.uc_mcontext.gregs[REG_CSGSFS] = 0x33 | (0x7LL << 16) | (0x2bLL << 32);
  ThreadRegisters r{};
  ThreadRegistersFromUContext(&context, &r);
  EXPECT_EQ(r.rax, 1000u + REG_RAX);
  EXPECT_EQ(r.rbx, 1000u + REG_RBX);
  EXPECT_EQ(r.rsp, 1000u + REG_RSP);
  EXPECT_EQ(r.rbp, 1000u + REG_RBP);
  EXPECT_EQ(r.r15, 1000u + REG_R15);
  EXPECT_EQ(r.rip, 1000u + REG_RIP);
  EXPECT_EQ(r.rflags, 1000u + REG_EFL);
  EXPECT_EQ(r.cs, 0x33u);
  EXPECT_EQ(r.gs, 0x7u);
  EXPECT_EQ(r.fs, 0x2bu);
  ThreadRegistersFromUContext(nullptr, &r);
  EXPECT_EQ(r.rip, 0u);
}

TEST(ThreadRegistersTest, ParsesTheKernelsReportOfABlockedThread) {
  ThreadRegisters r{};
  ASSERT_TRUE(
      ThreadStateParseBlockedRegisters("0 0x3 0x7ffc10 0x1 0x0 0x0 0x0 0x7ffd20 0x7f0040\n", &r));
  EXPECT_EQ(r.rsp, 0x7ffd20u);
  EXPECT_EQ(r.rip, 0x7f0040u);
  EXPECT_EQ(r.rax, 0u);
  ASSERT_TRUE(ThreadStateParseBlockedRegisters("-1 0x7ffd28 0x7f0048", &r));
  EXPECT_EQ(r.rsp, 0x7ffd28u);
  EXPECT_EQ(r.rip, 0x7f0048u);
  EXPECT_FALSE(ThreadStateParseBlockedRegisters("running\n", &r));
  EXPECT_FALSE(ThreadStateParseBlockedRegisters("0 0x3", &r));
  EXPECT_FALSE(ThreadStateParseBlockedRegisters("", &r));
}

TEST_F(ThreadStateTest, ReadsTheStateOfAThreadWaitingInTheKernel) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::atomic<pid_t> tid{0};
  std::thread reader([&] {
    tid.store(ThreadStateCurrentThread());
    char c = 0;
    [[maybe_unused]] const ssize_t n = read(fds[0], &c, 1);
  });
  while (tid.load() == 0) std::this_thread::yield();
  ThreadRegisters r{};
  // Until it is inside read; a running thread has no such state.
  while (!ThreadStateReadBlockedRegisters(tid.load(), &r)) std::this_thread::yield();
  EXPECT_NE(r.rip, 0u);
  EXPECT_NE(r.rsp, 0u);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  reader.join();
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace platform
