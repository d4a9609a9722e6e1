#include "sdk/crash/capture/ctr_signal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crash_context_fixture.h"
#include "platform/system/bundle.h"
#include "platform/system/thread_state.h"
#include "sdk/crash/capture/ctr_binary_image.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/capture/ctr_exception.h"
#include "sdk/crash/capture/ctr_file.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

// --- the child process ----------------------------------------------------
// Every crash below happens in a forked child, which sets up crash capture
// itself; this test process never starts the dispatch threads, so the child
// begins clean.

std::string gMarkerPath;

void writeMarker(const char* text) {
  const int fd = ::open(gMarkerPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t n = ::write(fd, text, std::strlen(text));
  ::close(fd);
}

class MarkerCallbackTarget : public CTRCrashCallbackTarget {
 public:
  void deliverCrashDelegateCallback() override { writeMarker("callback;"); }
};

void startCapture(const std::string& directory,
                  void (*signalInitialize)(CTRSignalState*) = CTRSignalInitialize,
                  bool withExceptions = false) {
  CTRCaptureHooks hooks;
  hooks.signalInitialize = signalInitialize;
  if (withExceptions) hooks.exceptionInitialize = CTRExceptionInitialize;
  hooks.binaryImageInit = CTRBinaryImageInit;
  hooks.binaryImageRecordMainExecutable = CTRBinaryImageRecordMainExecutable;
  CTRContextSetCaptureHooks(hooks);
  CTRProcessSetDebuggerAttachedForTesting(false);
  CTRCaptureStartRecord record;
  record.apiKey = "0123456789abcdef";
  record.reportDirectoryPath = directory.c_str();
  record.sessionID = "5c0ffee0000000000000000000000001";
  record.installID = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
  record.crashCallbackTarget = std::make_shared<MarkerCallbackTarget>();
  record.bundle = std::make_shared<platform::Bundle>(
      "/opt/app/bin/app", "/opt/app/share/app",
      platform::Value::dictionary({{"CFBundleIdentifier", "com.example.app"},
                                   {"CFBundleVersion", "1"},
                                   {"CFBundleShortVersionString", "1.0"}}));
  if (!CTRContextInitialize(&record) || !CTRContextIsInitialized()) _exit(90);
}

// Threads that wait for ever in a known state, named for the record.
void startNamedThreads() {
  static std::atomic<int> named{0};
  for (const char* name : {"rec-helper-1", "rec-helper-2"}) {
    std::thread([name] {
      pthread_setname_np(pthread_self(), name);
      named.fetch_add(1);
      for (;;) ::pause();
    }).detach();
  }
  while (named.load() < 2) std::this_thread::yield();
}

// A write to an unmapped page below 4096 (not null, which the undefined
// behaviour checker would stop before the fault).
inline constexpr std::uintptr_t kBadAddress = 8;

__attribute__((noinline)) void writeToBadAddress() {
  // Read through a volatile so the optimiser cannot see the constant address.
  volatile std::uintptr_t address = kBadAddress;
  volatile int* p = reinterpret_cast<volatile int*>(address);
  *p = 1;
}

// Throws; called on a thread of its own, nothing catches it.
__attribute__((noinline)) void throwUncaught() {
  throw std::runtime_error("uncaught while another thread faults");
}

// A function whose very first instruction faults (an invalid opcode).
extern "C" __attribute__((naked, noinline)) void ctrTestFaultAtEntry() { __asm__ volatile("ud2"); }

__attribute__((noinline)) void callFaultAtEntry() {
  ctrTestFaultAtEntry();
  __asm__ volatile("" ::: "memory");  // no tail call: this frame stays
}

// A call through a null function pointer.
__attribute__((noinline)) void callThroughNull() {
  void (*volatile function)() = nullptr;
  function();
  __asm__ volatile("" ::: "memory");
}

// Runs `body` in a child and answers its wait status. The child starts with
// the default action for the handled signals (a sanitizer's handlers would
// otherwise be the previous ones).
int runChild(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    struct rlimit none {
      0, 0
    };
    ::setrlimit(RLIMIT_CORE, &none);
    ::prctl(PR_SET_DUMPABLE, 0);
    for (int signal : kCTRHandledSignals) ::signal(signal, SIG_DFL);
    body();
    _exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

platform::Value findSection(const platform::Value& sections, const char* name) {
  for (const platform::Value& line : sections.elements()) {
    if (line.contains(name)) return line[name];
  }
  return platform::Value();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SignalCaptureTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    directory_ = root().file("report");
    ASSERT_EQ(::mkdir(directory_.c_str(), 0755), 0);
    gMarkerPath = root().file("marker");
  }
  platform::Value record() const {
    return CTRFileReadSections((directory_ + "/signal.clsrecord").c_str(), false);
  }
  std::string directory_;
};

TEST_F(SignalCaptureTest, ABadAccessIsRecordedWithEveryThreadAndTheProcessDiesOfIt) {
  const std::string directory = directory_;
  const int status = runChild([directory] {
    startCapture(directory);
    startNamedThreads();
    writeToBadAddress();
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);

  const platform::Value sections = record();
  ASSERT_TRUE(sections.isArray());
  // The signal line comes first, the process recording after it.
  ASSERT_GE(sections.count(), 7u);
  EXPECT_TRUE(sections[0].contains("signal"));
  const platform::Value signal = findSection(sections, "signal");
  EXPECT_EQ(signal["number"].asUInt64(), static_cast<std::uint64_t>(SIGSEGV));
  EXPECT_EQ(signal["name"].asString(), "SIGSEGV");
  EXPECT_TRUE(signal["code_name"].isNull());
  EXPECT_EQ(signal["address"].asUInt64(), kBadAddress);
  EXPECT_GT(signal["time"].asUInt64(), 0u);
  EXPECT_TRUE(signal.contains("errno"));

  const platform::Value threads = findSection(sections, "threads");
  const platform::Value names = findSection(sections, "thread_names");
  const platform::Value queues = findSection(sections, "dispatch_queue_names");
  ASSERT_GE(threads.count(), 3u) << readFile(directory_ + "/sdk.log");
  EXPECT_EQ(names.count(), threads.count());
  EXPECT_EQ(queues.count(), threads.count());
  int crashed = 0;
  for (const platform::Value& thread : threads.elements()) {
    const platform::Value stack = thread["stacktrace"];
    ASSERT_TRUE(stack.isArray());
    ASSERT_GE(stack.count(), 1u);
    // Frame 0 is the thread's own program counter.
    EXPECT_EQ(stack[0].asUInt64(), thread["registers"]["rip"].asUInt64());
    EXPECT_NE(thread["registers"]["rsp"].asUInt64(), 0u);
    if (thread["crashed"].asBool()) {
      ++crashed;
      EXPECT_GE(stack.count(), 3u);  // the faulting function, its callers
      const auto entry = reinterpret_cast<std::uint64_t>(&writeToBadAddress);
      EXPECT_GE(stack[0].asUInt64(), entry);
      EXPECT_LT(stack[0].asUInt64(), entry + 1024);
    }
  }
  EXPECT_EQ(crashed, 1);
  std::vector<std::string> threadNames;
  for (const platform::Value& name : names.elements()) threadNames.push_back(name.asString());
  EXPECT_NE(std::find(threadNames.begin(), threadNames.end(), "rec-helper-1"), threadNames.end());
  EXPECT_NE(std::find(threadNames.begin(), threadNames.end(), "rec-helper-2"), threadNames.end());

  const platform::Value runtime = findSection(sections, "runtime");
  EXPECT_EQ(runtime["objc_selector"].asString(), "");
  EXPECT_TRUE(runtime["crash_info_entries"].isArray());

  const platform::Value stats = findSection(sections, "process_stats");
  for (const char* key : {"active", "inactive", "wired", "freeMem", "free_mem", "virtual",
                          "resident", "user_time", "sys_time"}) {
    EXPECT_TRUE(stats.contains(key)) << key;
  }
  EXPECT_GT(stats["resident"].asUInt64(), 0u);
  EXPECT_GE(stats["virtual"].asUInt64(), stats["resident"].asUInt64());
  EXPECT_EQ(stats["free_mem"].asUInt64(), stats["freeMem"].asUInt64());
  EXPECT_TRUE(findSection(sections, "storage").isDictionary());

  // The crash callback ran once, after the recording.
  EXPECT_EQ(readFile(gMarkerPath), "callback;");
}

// Two threads that fault at the same moment: the first to reach the handler
// writes the whole report while the other waits, and the process then dies
// of the signal (a second handler used to end it half-way through).
TEST_F(SignalCaptureTest, TwoThreadsCrashingTogetherGiveOneCompleteReport) {
  for (int run = 0; run < 5; ++run) {
    ::unlink((directory_ + "/signal.clsrecord").c_str());
    const std::string directory = directory_;
    const int status = runChild([directory] {
      startCapture(directory);
      static std::atomic<int> ready{0};
      static std::atomic<bool> go{false};
      for (int i = 0; i < 2; ++i) {
        std::thread([] {
          ready.fetch_add(1);
          while (!go.load()) {
          }
          writeToBadAddress();
        }).detach();
      }
      while (ready.load() < 2) std::this_thread::yield();
      go.store(true);
      for (;;) ::pause();
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "run " << run << " status " << status << "\n"
                                     << readFile(directory_ + "/sdk.log");
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    const platform::Value sections = record();
    ASSERT_TRUE(sections.isArray()) << readFile(directory_ + "/signal.clsrecord");
    EXPECT_EQ(findSection(sections, "signal")["number"].asUInt64(),
              static_cast<std::uint64_t>(SIGSEGV));
    const platform::Value threads = findSection(sections, "threads");
    ASSERT_GE(threads.count(), 3u) << "run " << run;
    int crashed = 0;
    for (const platform::Value& thread : threads.elements()) crashed += thread["crashed"].asBool();
    EXPECT_EQ(crashed, 1);
    EXPECT_TRUE(findSection(sections, "process_stats").isDictionary()) << "the record was cut";
  }
}

// An uncaught exception on one thread and a fault on another at the same
// moment: whichever claims the crash first writes its whole recording, the
// other waits, and the process ends the way the winner's road ends it (the
// exception's abort, recorded too, or the fault).
TEST_F(SignalCaptureTest, AnUncaughtExceptionAndAFaultTogetherGiveOneCompleteReport) {
  const std::string exceptionPath = directory_ + "/exception.clsrecord";
  const std::string signalPath = directory_ + "/signal.clsrecord";
  auto complete = [](const platform::Value& sections) {
    if (!sections.isArray() || !findSection(sections, "process_stats").isDictionary()) {
      return false;
    }
    int crashed = 0;
    for (const platform::Value& thread : findSection(sections, "threads").elements()) {
      crashed += thread["crashed"].asBool();
    }
    return crashed == 1;
  };
  int exceptionFirst = 0, faultFirst = 0;
  // The fault comes a little later from run to run, so that it meets the
  // exception before, during and after its claim.
  static constexpr int kFaultDelaysMicroseconds[] = {0, 100, 300, 1000, 2000, 4000, 8000, 16000};
  for (int run = 0; run < 8; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    static int faultDelay;
    faultDelay = kFaultDelaysMicroseconds[run];
    ::unlink(exceptionPath.c_str());
    ::unlink(signalPath.c_str());
    const std::string directory = directory_;
    const int status = runChild([directory] {
      startCapture(directory, CTRSignalInitialize, true);
      static std::atomic<int> ready{0};
      static std::atomic<bool> go{false};
      std::thread([] {
        ready.fetch_add(1);
        while (!go.load()) {
        }
        throwUncaught();
      }).detach();
      std::thread([] {
        ready.fetch_add(1);
        while (!go.load()) {
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(faultDelay);
        while (std::chrono::steady_clock::now() < until) {
        }
        writeToBadAddress();
      }).detach();
      while (ready.load() < 2) std::this_thread::yield();
      go.store(true);
      for (;;) ::pause();
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status << "\n"
                                     << readFile(directory_ + "/sdk.log");
    const platform::Value signal = record();
    ASSERT_TRUE(complete(signal)) << "the signal record was cut: " << readFile(signalPath);
    if (WTERMSIG(status) == SIGABRT) {
      // The exception came first: its record is whole, and so is the one
      // of the abort that ended it. The fault left nothing.
      ++exceptionFirst;
      const platform::Value exception = CTRFileReadSections(exceptionPath.c_str(), false);
      ASSERT_TRUE(complete(exception)) << readFile(exceptionPath);
      EXPECT_EQ(findSection(exception, "exception")["type"].asString(), "c++");
      EXPECT_EQ(findSection(signal, "signal")["number"].asUInt64(),
                static_cast<std::uint64_t>(SIGABRT));
    } else {
      // The fault came first: the exception's thread waited and wrote nothing.
      ++faultFirst;
      EXPECT_EQ(WTERMSIG(status), SIGSEGV);
      EXPECT_EQ(findSection(signal, "signal")["number"].asUInt64(),
                static_cast<std::uint64_t>(SIGSEGV));
      EXPECT_NE(::access(exceptionPath.c_str(), F_OK), 0) << readFile(exceptionPath);
    }
  }
  std::printf("exception first: %d, fault first: %d\n", exceptionFirst, faultFirst);
}

// The crashed thread's recorded frames.
std::vector<std::uint64_t> crashedStack(const platform::Value& sections) {
  std::vector<std::uint64_t> frames;
  for (const platform::Value& thread : findSection(sections, "threads").elements()) {
    if (!thread["crashed"].asBool()) continue;
    for (const platform::Value& frame : thread["stacktrace"].elements()) {
      frames.push_back(frame.asUInt64());
    }
  }
  return frames;
}

bool inFunction(std::uint64_t address, void (*function)()) {
  const auto entry = reinterpret_cast<std::uint64_t>(function);
  return address >= entry && address < entry + 256;
}

// Frame 0 names the right function: the caller of a null call (whose return
// address is at the stack pointer), the faulting function at its first byte.
TEST_F(SignalCaptureTest, ANullCallAndAFaultAtAFunctionsEntryGiveTheRightFrames) {
  const std::string directory = directory_;
  int status = runChild([directory] {
    startCapture(directory);
    callThroughNull();
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  std::vector<std::uint64_t> frames = crashedStack(record());
  ASSERT_GE(frames.size(), 2u) << "only registers: " << readFile(directory_ + "/sdk.log");
  EXPECT_TRUE(inFunction(frames[0], &callThroughNull)) << std::hex << frames[0];

  ::unlink((directory_ + "/signal.clsrecord").c_str());
  status = runChild([directory] {
    startCapture(directory);
    callFaultAtEntry();
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGILL);
  frames = crashedStack(record());
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[0], reinterpret_cast<std::uint64_t>(&ctrTestFaultAtEntry));
  // The step up used the faulting function's own rules, not the previous
  // function's: the caller is frame 1.
  EXPECT_TRUE(inFunction(frames[1], &callFaultAtEntry)) << std::hex << frames[1];
}

TEST_F(SignalCaptureTest, AbortIsRecordedWithItsCodeName) {
  const std::string directory = directory_;
  const int status = runChild([directory] {
    startCapture(directory);
    std::abort();
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  const platform::Value signal = findSection(record(), "signal");
  EXPECT_EQ(signal["number"].asUInt64(), static_cast<std::uint64_t>(SIGABRT));
  EXPECT_EQ(signal["name"].asString(), "SIGABRT");
  EXPECT_EQ(signal["code_name"].asString(), "ABORT");
  EXPECT_TRUE(findSection(record(), "threads").isArray());
}

TEST_F(SignalCaptureTest, AnIllegalInstructionIsRecorded) {
  const std::string directory = directory_;
  const int status = runChild([directory] {
    startCapture(directory);
    __builtin_trap();
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGILL);
  const platform::Value signal = findSection(record(), "signal");
  EXPECT_EQ(signal["name"].asString(), "SIGILL");
  EXPECT_TRUE(findSection(record(), "process_stats").isDictionary());
}

// A signal sent with raise is not repeated by returning from the handler;
// the handler raises it again, so the process still ends by it.
TEST_F(SignalCaptureTest, ARaisedSignalStillEndsTheProcessAfterTheRecord) {
  const std::string directory = directory_;
  const int status = runChild([directory] {
    startCapture(directory);
    ::raise(SIGSEGV);
    _exit(7);  // reached only when the signal is swallowed
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  EXPECT_EQ(findSection(record(), "signal")["name"].asString(), "SIGSEGV");
}

void previousHandler(int, siginfo_t*, void*) {
  writeMarker("previous;");
  _exit(42);
}

TEST_F(SignalCaptureTest, AHandlerInstalledBeforeCaptureRunsAfterTheRecord) {
  const std::string directory = directory_;
  const int status = runChild([directory] {
    struct sigaction action {};
    action.sa_sigaction = previousHandler;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, nullptr);
    startCapture(directory);
    writeToBadAddress();
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 42);
  EXPECT_EQ(findSection(record(), "signal")["name"].asString(), "SIGSEGV");
  EXPECT_EQ(readFile(gMarkerPath), "callback;previous;");
}

// Signal set-up on a thread that had its own alternate stack, and a crash
// on that thread: the saved stack cannot be put back while the handler runs
// on the alternate stack, yet the previous handler must still get the signal.
void initializeOnOwnStackAndCrash(CTRSignalState* state) {
  stack_t own{};
  own.ss_size = 65536;
  own.ss_sp = std::malloc(own.ss_size);
  sigaltstack(&own, nullptr);
  CTRSignalInitialize(state);
  writeToBadAddress();
}

TEST_F(SignalCaptureTest, APreviousHandlerIsPutBackEvenWhenTheSavedStackCannotBe) {
  const std::string directory = directory_;
  const int status = runChild([directory] {
    struct sigaction action {};
    action.sa_sigaction = previousHandler;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, nullptr);
    startCapture(directory, initializeOnOwnStackAndCrash);
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 42);
  EXPECT_EQ(findSection(record(), "signal")["name"].asString(), "SIGSEGV");
  EXPECT_NE(readFile(directory_ + "/sdk.log").find("Unable to setup stack"), std::string::npos);
}

TEST_F(SignalCaptureTest, ASecondCrashEndsTheProcessWithStatusOneWithoutARecord) {
  const std::string directory = directory_;
  const int status = runChild([directory] {
    startCapture(directory);
    CTRContextMarkAndCheckIfCrashed();  // a crash is being recorded elsewhere
    writeToBadAddress();
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(readFile(directory_ + "/signal.clsrecord"), "");
  EXPECT_NE(readFile(directory_ + "/sdk.log").find("because crash has already occurred"),
            std::string::npos);
}

// --- in this process --------------------------------------------------------

TEST(SignalTableTest, NamesAndOrder) {
  const char* name = nullptr;
  const char* code = "x";
  CTRSignalNameLookup(SIGABRT, &name, &code);
  EXPECT_STREQ(name, "SIGABRT");
  EXPECT_STREQ(code, "ABORT");
  const std::pair<int, const char*> rows[] = {
      {SIGILL, "SIGILL"},   {SIGTRAP, "SIGTRAP"}, {SIGFPE, "SIGFPE"},   {SIGBUS, "SIGBUS"},
      {SIGSEGV, "SIGSEGV"}, {SIGSYS, "SIGSYS"},   {SIGUSR1, "UNKNOWN"}, {SIGKILL, "UNKNOWN"}};
  for (const auto& [signal, expected] : rows) {
    CTRSignalNameLookup(signal, &name, &code);
    EXPECT_STREQ(name, expected);
    EXPECT_EQ(code, nullptr);
  }

  std::vector<std::pair<int, int>> seen;
  CTRSignalEnumerateHandledSignals(
      [](int index, int signal, void* data) {
        static_cast<std::vector<std::pair<int, int>>*>(data)->emplace_back(index, signal);
      },
      &seen);
  const std::vector<std::pair<int, int>> expected = {
      {0, SIGABRT}, {1, SIGBUS}, {2, SIGFPE}, {3, SIGILL}, {4, SIGSEGV}, {5, SIGSYS}, {6, SIGTRAP}};
  EXPECT_EQ(seen, expected);
}

void foreignHandler(int) {}

class SignalHandlersTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    for (int i = 0; i < kCTRSignalCount; ++i) sigaction(kCTRHandledSignals[i], nullptr, &saved_[i]);
  }
  void TearDown() override {
    for (int i = 0; i < kCTRSignalCount; ++i) sigaction(kCTRHandledSignals[i], &saved_[i], nullptr);
    CrashContextTest::TearDown();
  }
  struct sigaction saved_[kCTRSignalCount] {};
};

TEST_F(SignalHandlersTest, PutsBackTheSavedActionsAndRemovesThemAgain) {
  CTRSignalState state{};
  state.savedActions[6].handler = reinterpret_cast<void*>(&foreignHandler);  // SIGTRAP
  state.savedActions[6].mask = 1u << (SIGUSR1 - 1);
  state.savedActions[6].flags = SA_RESTART;
  ASSERT_TRUE(CTRSignalSafeInstallPreexistingHandlers(&state));
  struct sigaction current {};
  sigaction(SIGTRAP, nullptr, &current);
  EXPECT_EQ(reinterpret_cast<void*>(current.sa_handler), reinterpret_cast<void*>(&foreignHandler));
  EXPECT_EQ(sigismember(&current.sa_mask, SIGUSR1), 1);
  EXPECT_NE(current.sa_flags & SA_RESTART, 0);
  // Entries without a saved handler stay at the default action.
  sigaction(SIGBUS, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_DFL);

  CTRSignalSafeRemoveHandlers(false);
  sigaction(SIGTRAP, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_DFL);
}

TEST_F(SignalHandlersTest, TheCheckWarnsAboutForeignHandlersUnlessADebuggerIsAttached) {
  struct sigaction ours {};
  ours.sa_sigaction = CTRSignalHandler;
  ours.sa_flags = SA_SIGINFO;
  for (int signal : kCTRHandledSignals) sigaction(signal, &ours, nullptr);
  struct sigaction foreign {};
  foreign.sa_handler = foreignHandler;
  sigaction(SIGFPE, &foreign, nullptr);

  ::testing::internal::CaptureStderr();
  CTRSignalCheckHandlers();
  std::string output = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(output.find("[Crashtrail] The signal SIGFPE has a non-Crashtrail handler ("),
            std::string::npos)
      << output;
  EXPECT_NE(output.find(").  This will interfere with reporting.\n"), std::string::npos);
  EXPECT_EQ(output.find("SIGSEGV"), std::string::npos);

  context_.debuggerAttached = true;
  ::testing::internal::CaptureStderr();
  CTRSignalCheckHandlers();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace sdk
