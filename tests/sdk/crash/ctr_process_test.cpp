#include "sdk/crash/capture/ctr_process.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crash_context_fixture.h"
#include "platform/dispatch/dispatch.h"
#include "platform/system/thread_state.h"
#include "sdk/crash/capture/ctr_binary_image.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/crash/ctr_unwind.h"

// glibc's assert failure (declared by <assert.h> only without NDEBUG).
extern "C" [[noreturn]] void __assert_fail(const char* assertion, const char* file,
                                           unsigned int line, const char* function) noexcept;

namespace sdk {
namespace {

class CountingTarget : public CTRCrashCallbackTarget {
 public:
  void deliverCrashDelegateCallback() override { ++delivered; }
  int delivered = 0;
};

// A thread that names itself and spins until told to stop, optionally at the
// bottom of a deep recursion.
struct Worker {
  int stop = 0;
  unsigned long counter = 0;
  int ready = 0;
  std::thread thread;
};

__attribute__((noinline)) void spin(Worker* w) {
  while (__atomic_load_n(&w->stop, __ATOMIC_ACQUIRE) == 0) {
    __atomic_fetch_add(&w->counter, 1, __ATOMIC_RELAXED);
    __atomic_store_n(&w->ready, 1, __ATOMIC_RELEASE);
  }
}

__attribute__((noinline)) int recurse(Worker* w, int depth) {
  if (depth == 0) {
    spin(w);
    return 0;
  }
  int below = recurse(w, depth - 1);
  // Not a tail call, and opaque to the optimiser so it cannot turn the
  // recursion into a loop: one frame per level.
  asm volatile("" : "+r"(below));
  return below + 1;
}

void start(Worker& w, const char* name, int depth = -1) {
  w.thread = std::thread([&w, name, depth] {
    prctl(PR_SET_NAME, name);
    if (depth < 0) {
      spin(&w);
    } else {
      recurse(&w, depth);
    }
  });
  while (__atomic_load_n(&w.ready, __ATOMIC_ACQUIRE) == 0) std::this_thread::yield();
}

void finish(Worker& w) {
  __atomic_store_n(&w.stop, 1, __ATOMIC_RELEASE);
  w.thread.join();
}

platform::Value findSection(const platform::Value& sections, const char* name) {
  for (const platform::Value& line : sections.elements()) {
    if (line.contains(name)) return line[name];
  }
  return platform::Value();
}

int indexOfName(const platform::Value& names, const std::string& name) {
  for (std::size_t i = 0; i < names.count(); ++i) {
    if (names[i].asString() == name) return static_cast<int>(i);
  }
  return -1;
}

class ProcessRecordingTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    ASSERT_TRUE(::platform::ThreadStatePrepare());
    path_ = root().file("signal.clsrecord");
    // The image table as start-up fills it: optimised code is walked
    // through its unwind tables, not its frame pointers.
    imageLogPath_ = root().file("binary_images.clsrecord");
    context_.binaryImageLogPath = imageLogPath_.c_str();
    state_.binaryImageLogFile.descriptor = -1;
    context_.initialized = true;  // the table answers only once capture is set up
    CTRBinaryImageInit();
  }

  void TearDown() override {
    CTRBinaryImageStopObserving();
    CrashContextTest::TearDown();
  }

  platform::Value recordProcess() {
    CTRFile file{};
    file.descriptor = -1;
    EXPECT_TRUE(CTRFileInit(&file, path_.c_str(), false));
    CTRHandler(&file, ::platform::ThreadStateCurrentThread(), nullptr);
    CTRFileClose(&file);
    return CTRFileReadSections(path_.c_str(), false);
  }

  std::string path_;
  std::string imageLogPath_;
};

TEST_F(ProcessRecordingTest, QueueLabelsOfTheProjectsQueuesAreRecordedPerThread) {
  // A block of a labelled serial queue waits on a pool worker while the
  // process is recorded.
  auto queue = ::platform::dispatch::Queue::createSerial("com.varnel.crash-test.\"queue\"");
  ::platform::dispatch::Semaphore started(0), release(0);
  pid_t worker = 0;
  queue->async([&] {
    worker = ::platform::ThreadStateCurrentThread();
    started.signal();
    release.wait();
  });
  ASSERT_TRUE(started.wait(std::chrono::seconds(10)));
  const platform::Value sections = recordProcess();
  release.signal();
  queue->sync([] {});

  const platform::Value threads = findSection(sections, "threads");
  const platform::Value queues = findSection(sections, "dispatch_queue_names");
  ASSERT_EQ(queues.count(), threads.count());
  bool sawWorker = false, sawMain = false;
  for (std::size_t i = 0; i < queues.count(); ++i) {
    if (queues[i].asString() == "com.varnel.crash-test.\"queue\"") sawWorker = true;
    if (queues[i].asString() == "com.apple.main-thread") sawMain = true;
  }
  EXPECT_TRUE(sawWorker) << "worker " << worker;
  EXPECT_TRUE(sawMain);
}

TEST_F(ProcessRecordingTest, TheCLibrarysAbortMessageIsACrashInfoEntry) {
  CTRProcessLocateAbortMessage();
  // What a failed assert leaves: glibc keeps the text it printed in its
  // abort message. The test child asserts and the handler records.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct sigaction action {};
    action.sa_handler = [](int) {
      CTRFile file{};
      file.descriptor = -1;
      const char* path = ::getenv("VARNEL_ABORT_RECORD");
      if (path != nullptr && CTRFileInit(&file, path, false)) {
        CTRProcessRecordRuntimeInfo(nullptr, &file);
        CTRFileClose(&file);
      }
      ::_exit(0);
    };
    ::sigaction(SIGABRT, &action, nullptr);
    ::setenv("VARNEL_ABORT_RECORD", path_.c_str(), 1);
    __assert_fail("tunnel != nullptr", "tunnel.cpp", 42, "void dial()");
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  const platform::Value sections = CTRFileReadSections(path_.c_str(), false);
  const platform::Value runtime = findSection(sections, "runtime");
  ASSERT_TRUE(runtime.isDictionary()) << sdkLog();
  ASSERT_GE(runtime["crash_info_entries"].count(), 1u);
  const auto message = CTRHexDecodeString(runtime["crash_info_entries"][0].stringView());
  ASSERT_TRUE(message.has_value());
  EXPECT_NE(message->find("tunnel.cpp:42: void dial(): Assertion `tunnel != nullptr' failed"),
            std::string::npos)
      << *message;
}

TEST_F(ProcessRecordingTest, RecordsEveryThreadInListOrderAndLetsThemGoOn) {
  CountingTarget target;
  context_.crashCallbackTarget = &target;
  Worker a, b, deep;
  start(a, "proc-a");
  start(b, "proc-b");
  start(deep, "proc-deep", 5000);

  const platform::Value sections = recordProcess();
  ASSERT_EQ(sections.count(), 6u) << sdkLog();
  const char* order[] = {"threads",      "runtime",       "dispatch_queue_names",
                         "thread_names", "process_stats", "storage"};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_TRUE(sections[i].contains(order[i])) << i;

  const platform::Value threads = findSection(sections, "threads");
  const platform::Value names = findSection(sections, "thread_names");
  const platform::Value queues = findSection(sections, "dispatch_queue_names");
  ASSERT_GE(threads.count(), 4u);
  EXPECT_EQ(names.count(), threads.count());
  EXPECT_EQ(queues.count(), threads.count());
  int crashed = 0;
  for (const platform::Value& thread : threads.elements()) {
    ASSERT_GE(thread["stacktrace"].count(), 1u);
    EXPECT_EQ(thread["stacktrace"][0].asUInt64(), thread["registers"]["rip"].asUInt64());
    crashed += thread["crashed"].asBool() ? 1 : 0;
  }
  EXPECT_EQ(crashed, 1);
  // Only the main thread (running the main queue) has a queue here.
  for (const platform::Value& queue : queues.elements()) {
    EXPECT_TRUE(queue.asString() == "" || queue.asString() == "com.apple.main-thread")
        << queue.asString();
  }

  // Workers spin in `spin`: their first frame is there, the next one in the
  // thread body or in `recurse`.
  for (const char* name : {"proc-a", "proc-b", "proc-deep"}) {
    const int index = indexOfName(names, name);
    ASSERT_GE(index, 0) << name;
    const platform::Value stack = threads[index]["stacktrace"];
    const auto entry = reinterpret_cast<std::uint64_t>(&spin);
    EXPECT_GE(stack[0].asUInt64(), entry) << name;
    EXPECT_LT(stack[0].asUInt64(), entry + 1024) << name;
    EXPECT_GE(stack.count(), 2u) << name;
  }

  // The recursion: the return address after the recursive call ten times, then suppressed, and the
  // frames below it still follow.
  const platform::Value deepThread = threads[indexOfName(names, "proc-deep")];
  ASSERT_TRUE(deepThread.contains("repeated_pc")) << sdkLog();
  const std::uint64_t repeated = deepThread["repeated_pc"].asUInt64();
  const platform::Value stack = deepThread["stacktrace"];
  std::size_t occurrences = 0;
  std::size_t last = 0;
  for (std::size_t i = 0; i < stack.count(); ++i) {
    if (stack[i].asUInt64() == repeated) {
      ++occurrences;
      last = i;
    }
  }
  EXPECT_EQ(occurrences, 10u);
  EXPECT_GT(stack.count(), last + 1);  // the frames below the recursion
  const auto recurseEntry = reinterpret_cast<std::uint64_t>(&recurse);
  EXPECT_GE(repeated, recurseEntry);
  EXPECT_LT(repeated, recurseEntry + 1024);
  // 5000 return addresses after the recursive call: repeat counts 0 to 4999.
  EXPECT_EQ(deepThread["repeat_count"].asUInt64(), 4999u);
  EXPECT_NE(sdkLog().find("Possible infinite recursion - suppressing logging"), std::string::npos);
  EXPECT_EQ(state_.sdkLogMinimumLevel, 1);  // restored

  const platform::Value stats = findSection(sections, "process_stats");
  EXPECT_GT(stats["resident"].asUInt64(), 0u);
  EXPECT_GT(stats["active"].asUInt64() + stats["inactive"].asUInt64(), 0u);
  EXPECT_EQ(findSection(sections, "runtime")["objc_selector"].asString(), "");
  EXPECT_EQ(target.delivered, 1);

  // Every worker runs again.
  for (Worker* w : {&a, &b, &deep}) {
    const unsigned long before = __atomic_load_n(&w->counter, __ATOMIC_RELAXED);
    while (__atomic_load_n(&w->counter, __ATOMIC_RELAXED) == before) std::this_thread::yield();
    finish(*w);
  }
}

// Names are written as plain strings: a quote or a UTF-8 sequence cut by the
// kernel's 15-byte limit must not break the line or the file.
TEST_F(ProcessRecordingTest, ThreadNamesThatWouldBreakTheRecordAreMadeSafe) {
  Worker quote, cut, accent;
  start(quote, "bad\"na\\me");
  start(cut, "abcdefghijklmn\xc3\xa9");  // the kernel keeps "abcdefghijklmn\xc3"
  start(accent, "caf\xc3\xa9");
  const platform::Value sections = recordProcess();
  ASSERT_TRUE(sections.isArray());
  const platform::Value names = findSection(sections, "thread_names");
  EXPECT_GE(indexOfName(names, "bad?na?me"), 0);
  EXPECT_GE(indexOfName(names, "abcdefghijklmn?"), 0);
  EXPECT_GE(indexOfName(names, "caf\xc3\xa9"), 0);
  for (Worker* w : {&quote, &cut, &accent}) finish(*w);
}

// A thread that blocks the suspend signal does not stop. While it runs its
// state cannot be read: the "threads" array ends there, the later sections
// are still written.
TEST_F(ProcessRecordingTest, AThreadWhoseStateCannotBeReadEndsTheThreadsButNotTheRecord) {
  int release = 0;
  int ready = 0;
  std::thread blocker([&] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, ::platform::ThreadStateSuspendSignal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    __atomic_store_n(&ready, 1, __ATOMIC_RELEASE);
    while (__atomic_load_n(&release, __ATOMIC_ACQUIRE) == 0) {
    }
  });
  while (__atomic_load_n(&ready, __ATOMIC_ACQUIRE) == 0) std::this_thread::yield();
  const platform::Value sections = recordProcess();
  __atomic_store_n(&release, 1, __ATOMIC_RELEASE);
  blocker.join();
  const platform::Value threads = findSection(sections, "threads");
  const platform::Value names = findSection(sections, "thread_names");
  ASSERT_TRUE(threads.isArray());
  EXPECT_LT(threads.count(), names.count());
  EXPECT_TRUE(findSection(sections, "process_stats").isDictionary());
  EXPECT_NE(sdkLog().find("failed to get thread state"), std::string::npos);
  // The suspension ended although no thread stopped: a new one can start.
  EXPECT_EQ(::platform::ThreadStateSuspend(nullptr, 0, nullptr), -1);
  pid_t none[1] = {0};
  EXPECT_EQ(::platform::ThreadStateSuspend(none, 0, nullptr), 0);
  EXPECT_TRUE(::platform::ThreadStateResumeAll());
}

// When such a thread waits in the kernel, its pc and stack pointer are known
// and it is recorded with the others.
TEST_F(ProcessRecordingTest, AThreadThatDoesNotStopButWaitsInTheKernelIsStillRecorded) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int ready = 0;
  pid_t tid = 0;
  std::thread blocker([&] {
    prctl(PR_SET_NAME, "proc-blocked");
    tid = ::platform::ThreadStateCurrentThread();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, ::platform::ThreadStateSuspendSignal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    __atomic_store_n(&ready, 1, __ATOMIC_RELEASE);
    char c = 0;
    [[maybe_unused]] const ssize_t n = read(fds[0], &c, 1);
  });
  while (__atomic_load_n(&ready, __ATOMIC_ACQUIRE) == 0) std::this_thread::yield();
  // Until it waits in read (system call 0).
  for (;;) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string number;
    in >> number;
    if (number == "0") break;
    std::this_thread::yield();
  }
  const platform::Value sections = recordProcess();
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  blocker.join();
  close(fds[0]);
  close(fds[1]);
  const platform::Value threads = findSection(sections, "threads");
  const platform::Value names = findSection(sections, "thread_names");
  EXPECT_EQ(threads.count(), names.count()) << sdkLog();
  const int index = indexOfName(names, "proc-blocked");
  ASSERT_GE(index, 0);
  const platform::Value thread = threads[index];
  EXPECT_NE(thread["registers"]["rip"].asUInt64(), 0u);
  EXPECT_NE(thread["registers"]["rsp"].asUInt64(), 0u);
  EXPECT_EQ(thread["stacktrace"][0].asUInt64(), thread["registers"]["rip"].asUInt64());
  EXPECT_NE(sdkLog().find("is not suspended, using its blocked state"), std::string::npos);
}

TEST_F(ProcessRecordingTest, ThreadStateOfTheCrashedCurrentAndUnknownThreads) {
  CTRProcess process;
  std::memset(&process, 0, sizeof(process));
  ucontext_t user{};
  user.uc_mcontext.gregs[REG_RIP] = 0x401000;
  user.uc_mcontext.gregs[REG_RSP] = 0x7000;
  ASSERT_TRUE(CTRProcessInit(&process, 4242, &user));
  EXPECT_GE(process.threadCount, 1u);
  EXPECT_EQ(process.currentThread, ::platform::ThreadStateCurrentThread());

  CTRMachineContext state{};
  ASSERT_TRUE(CTRProcessGetThreadState(&process, 4242, &state));
  EXPECT_EQ(state.ss.rip, 0x401000u);
  EXPECT_EQ(state.ss.rsp, 0x7000u);

  // The calling thread: the caller's pc and stack, so a walk starts here.
  ASSERT_TRUE(CTRProcessGetThreadState(&process, process.currentThread, &state));
  EXPECT_NE(state.ss.rip, 0u);
  const auto here = reinterpret_cast<std::uintptr_t>(&state);
  EXPECT_GT(state.ss.rsp, here - 4096);
  EXPECT_LT(state.ss.rsp, here + 65536);
  EXPECT_NE(sdkLog().find("Faking current thread"), std::string::npos);

  // Not stopped: no registers.
  EXPECT_FALSE(CTRProcessGetThreadState(&process, 1, &state));
  EXPECT_FALSE(CTRProcessGetThreadState(&process, 4242,
                                        reinterpret_cast<CTRMachineContext*>(std::uintptr_t{16})));
  EXPECT_NE(sdkLog().find("invalid context supplied"), std::string::npos);
}

// A frame chain that points at itself: the walk would repeat the same frame
// until the frame limit; it ends at the first step that makes no progress.
TEST_F(ProcessRecordingTest, AWalkThatMakesNoProgressEnds) {
  CTRProcess process;
  std::memset(&process, 0, sizeof(process));
  alignas(16) std::uintptr_t frame[2];
  frame[0] = reinterpret_cast<std::uintptr_t>(&frame[0]);  // saved frame pointer: itself
  frame[1] = 0x401000;                                     // return address
  ucontext_t user{};
  user.uc_mcontext.gregs[REG_RIP] = 0x402000;
  user.uc_mcontext.gregs[REG_RSP] = static_cast<greg_t>(frame[0]);
  user.uc_mcontext.gregs[REG_RBP] = static_cast<greg_t>(frame[0]);
  ASSERT_TRUE(CTRProcessInit(&process, 4242, &user));
  CTRFile file{};
  file.descriptor = -1;
  ASSERT_TRUE(CTRFileInit(&file, path_.c_str(), false));
  CTRFileBeginSection(&file, "threads");
  CTRFileBeginArray(&file);
  ASSERT_TRUE(CTRProcessRecordThread(&process, 4242, &file));
  CTRFileEndArray(&file);
  CTRFileEndSection(&file);
  CTRFileClose(&file);
  const platform::Value thread =
      findSection(CTRFileReadSections(path_.c_str(), false), "threads")[0];
  const platform::Value stack = thread["stacktrace"];
  ASSERT_EQ(stack.count(), 2u) << sdkLog();
  EXPECT_EQ(stack[0].asUInt64(), 0x402000u);
  EXPECT_EQ(stack[1].asUInt64(), 0x401000u);
  EXPECT_TRUE(thread["crashed"].asBool());
  EXPECT_FALSE(thread.contains("repeated_pc"));
  // Either the unwinder refuses the step back down the stack, or the
  // recorder notices the repeated frame.
  const std::string log = sdkLog();
  EXPECT_TRUE(log.find("is below the stack pointer") != std::string::npos ||
              log.find("Unwinding made no progress") != std::string::npos)
      << log;
}

TEST(ProcessStatsTest, ParsesMeminfoAndStatm) {
  const char meminfo[] =
      "MemTotal:       16000000 kB\nMemFree:          100 kB\nActive:           200 kB\n"
      "Inactive:         300 kB\nUnevictable:       4 kB\nActive(anon):     999 kB\n";
  CTRProcessMemoryUsage usage{};
  ASSERT_TRUE(CTRProcessParseMeminfo(meminfo, std::strlen(meminfo), &usage));
  EXPECT_EQ(usage.free, 100u * 1024);
  EXPECT_EQ(usage.active, 200u * 1024);  // not "Active(anon)"
  EXPECT_EQ(usage.inactive, 300u * 1024);
  EXPECT_EQ(usage.wired, 4u * 1024);
  const char partial[] = "MemFree: 1 kB\nActive: 2 kB\n";
  EXPECT_FALSE(CTRProcessParseMeminfo(partial, std::strlen(partial), &usage));

  std::uint64_t virtualSize = 0, residentSize = 0;
  const char statm[] = "1000 250 30 4 0 50 0\n";
  ASSERT_TRUE(CTRProcessParseStatm(statm, std::strlen(statm), 4096, &virtualSize, &residentSize));
  EXPECT_EQ(virtualSize, 1000u * 4096);
  EXPECT_EQ(residentSize, 250u * 4096);
  EXPECT_FALSE(CTRProcessParseStatm("12", 2, 4096, &virtualSize, &residentSize));

  CTRProcessInfo info{};
  ASSERT_TRUE(CTRProcessGetInfo(&info));
  EXPECT_GT(info.residentSize, 0u);
  EXPECT_GE(info.virtualSize, info.residentSize);
}

}  // namespace
}  // namespace sdk
