#include "logging/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <stdexcept>
#include <thread>

#include "logging/test_loggers.h"
#include "platform/system/paths.h"

extern char** environ;

namespace logging {
namespace {

using testing::CollectingLogger;
using testing::Gate;
using testing::logInfo;
using varnel::testing::waitUntil;

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    LKLog::removeAllLoggers();
    LKLog::flushLog();
    LKLog::setOverflowPolicy(LKLogOverflowPolicy::Block);
    LKLog::setErrorHandler(nullptr);
  }
};

TEST_F(LogTest, RecordReachesOnlyLoggersWhoseLevelHasItsFlag) {
  auto all = std::make_shared<CollectingLogger>();
  auto seven = std::make_shared<CollectingLogger>();
  auto three = std::make_shared<CollectingLogger>();
  LKLog::addLogger(all);
  LKLog::addLogger(seven, 7);
  LKLog::addLogger(three, 3);
  LKLog::log(true, 7, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {}, "n=%d %@", 42, "x");
  LKLog::flushLog();
  ASSERT_EQ(all->texts(), std::vector<std::string>{"n=42 x"});
  EXPECT_EQ(seven->count(), 1u);
  EXPECT_EQ(three->count(), 0u);
  auto r = all->records().front();
  EXPECT_EQ(r->flag(), LKLogFlagInfo);
  EXPECT_EQ(r->level(), 7u);
  EXPECT_EQ(r->fileName(), "log_test");
  EXPECT_FALSE(r->threadID().empty());
  EXPECT_EQ(all->added(), 1);
}

TEST_F(LogTest, NoLoggerTakesTheFlagSoNothingIsFormattedOrQueued) {
  auto errorsOnly = std::make_shared<CollectingLogger>();
  LKLog::addLogger(errorsOnly, LKLogFlagError);
  EXPECT_FALSE(LKLog::wantsFlag(LKLogFlagDebug));
  EXPECT_TRUE(LKLog::wantsFlag(LKLogFlagError));
  auto before = LKLog::statistics().queued;
  LKLog::log(true, 31, LKLogFlagDebug, 0, __FILE__, __func__, __LINE__, {}, "dropped %d", 1);
  LKLog::log(true, 31, LKLogFlagError, 0, __FILE__, __func__, __LINE__, {}, nullptr);
  EXPECT_EQ(LKLog::statistics().queued, before);
  LKLog::removeLogger(errorsOnly);
  LKLog::flushLog();
  EXPECT_FALSE(LKLog::wantsFlag(LKLogFlagError));
}

TEST_F(LogTest, LoggerAddedTwiceGetsEachRecordTwiceAndRemovalTakesOneNode) {
  auto logger = std::make_shared<CollectingLogger>();
  auto stranger = std::make_shared<CollectingLogger>();
  LKLog::addLogger(logger);
  LKLog::addLogger(logger);
  LKLog::removeLogger(stranger);  // never added: nothing happens
  logInfo("one");
  LKLog::flushLog();
  EXPECT_EQ(logger->count(), 2u);
  EXPECT_EQ(LKLog::allLoggers().size(), 2u);
  LKLog::removeLogger(logger);
  logInfo("two");
  LKLog::flushLog();
  EXPECT_EQ(logger->count(), 3u);
  EXPECT_EQ(LKLog::allLoggers().size(), 1u);
  EXPECT_EQ(stranger->removed(), 0);
  EXPECT_TRUE(waitUntil([&] { return logger->removed() == 1; }));
}

TEST_F(LogTest, FileNameDropsFolderAndLastExtension) {
  EXPECT_EQ(LKExtractFileNameWithoutExtension("/a/b/main.m"), "main");
  EXPECT_EQ(LKExtractFileNameWithoutExtension("Makefile"), "Makefile");
  EXPECT_EQ(LKExtractFileNameWithoutExtension("x.tar.gz"), "x.tar");
  EXPECT_EQ(LKExtractFileNameWithoutExtension(nullptr), std::nullopt);
  LKLogMessage m("t", 1, 1, 0, "/src/dir.d/file", "f", 1, {}, LKLogMessageCopyFile);
  EXPECT_EQ(m.fileName(), "file");
  auto copy = m.copyWithMessage("u");
  EXPECT_EQ(copy->message(), "u");
  EXPECT_EQ(copy->file(), "/src/dir.d/file");
  EXPECT_EQ(copy->timestamp(), m.timestamp());
}

// Run as a child process by SynchronousLogReturnsAfterEveryLoggerHandledTheRecord,
// with a dispatcher created for the processor count it is given.
TEST(LogProcessorsChild, SynchronousLog) {
  const char* processors = getenv("LOGKIT_PROCESSORS");
  if (!processors) GTEST_SKIP() << "runs only as a child";
  ASSERT_TRUE(LKLog::create({.processorCount = static_cast<unsigned>(std::atoi(processors))}));
  auto a = std::make_shared<CollectingLogger>();
  auto b = std::make_shared<CollectingLogger>();
  LKLog::addLogger(a);
  LKLog::addLogger(b);
  logInfo("sync", false);
  EXPECT_EQ(a->count(), 1u) << processors;
  EXPECT_EQ(b->count(), 1u) << processors;
  LKLog::removeAllLoggers();
  LKLog::flushLog();
}

TEST_F(LogTest, FlushWaitsForQueuedRecordsAndCallsFlush) {
  LKLog::flushLog();  // no loggers: returns once the queue drained
  auto logger = std::make_shared<CollectingLogger>();
  LKLog::addLogger(logger);
  for (int i = 0; i < 3000; ++i) logInfo("r" + std::to_string(i));
  LKLog::flushLog();
  EXPECT_EQ(logger->count(), 3000u);
  EXPECT_EQ(logger->flushes(), 1);
  EXPECT_EQ(logger->texts().back(), "r2999");
}

TEST_F(LogTest, EachThreadsRecordsArriveInOrder) {
  auto logger = std::make_shared<CollectingLogger>();
  auto second = std::make_shared<CollectingLogger>();
  LKLog::addLogger(logger);
  LKLog::addLogger(second);
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) logInfo(std::to_string(t) + ":" + std::to_string(i));
    });
  }
  for (auto& th : threads) th.join();
  LKLog::flushLog();
  for (auto* l : {logger.get(), second.get()}) {
    auto texts = l->texts();
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const auto& text : texts) {
      int t = text[0] - '0';
      ASSERT_EQ(text.substr(2), std::to_string(next[t])) << "thread " << t;
      ++next[t];
    }
  }
}

// Holds its first record until the gate opens.
class HoldingLogger : public CollectingLogger {
 public:
  void logMessage(const LKLogMessagePtr& message) override {
    entered.open();
    gate.wait();
    CollectingLogger::logMessage(message);
  }
  Gate entered, gate;
};

TEST_F(LogTest, ThousandPendingRecordsMakeTheNextCallerWaitForOneDelivery) {
  auto logger = std::make_shared<HoldingLogger>();
  LKLog::addLogger(logger);
  logInfo("first");
  logger->entered.wait();  // the first record is being delivered and holds its place
  for (int i = 1; i < LKLog::kQueueLimit; ++i) logInfo("fill");
  auto blockedBefore = LKLog::statistics().blockedCallers;
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    logInfo("over the limit");
    returned = true;
  });
  ASSERT_TRUE(waitUntil([&] { return LKLog::statistics().blockedCallers > blockedBefore; }));
  EXPECT_FALSE(returned.load());
  logger->gate.open();
  caller.join();
  LKLog::flushLog();
  EXPECT_EQ(logger->count(), static_cast<std::size_t>(LKLog::kQueueLimit + 1));
  EXPECT_EQ(logger->texts().back(), "over the limit");
}

TEST_F(LogTest, DropPolicyCountsRecordsInsteadOfWaiting) {
  auto logger = std::make_shared<HoldingLogger>();
  LKLog::addLogger(logger);
  LKLog::setOverflowPolicy(LKLogOverflowPolicy::DropNewest);
  logInfo("first");
  logger->entered.wait();
  for (int i = 1; i < LKLog::kQueueLimit; ++i) logInfo("fill");
  auto droppedBefore = LKLog::statistics().dropped;
  logInfo("dropped 1");
  logInfo("dropped 2");
  EXPECT_EQ(LKLog::statistics().dropped, droppedBefore + 2);
  logger->gate.open();
  LKLog::flushLog();
  EXPECT_EQ(logger->count(), static_cast<std::size_t>(LKLog::kQueueLimit));
}

TEST_F(LogTest, AddingAndRemovingLoggersWhileOthersLog) {
  auto steady = std::make_shared<CollectingLogger>();
  LKLog::addLogger(steady);
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread writer([&] {
    while (!stop) {
      logInfo("w");
      ++sent;
    }
  });
  for (int round = 0; round < 50; ++round) {
    auto transient = std::make_shared<CollectingLogger>();
    LKLog::addLogger(transient);
    logInfo("after add");
    LKLog::removeLogger(transient);
    LKLog::flushLog();
    // A record queued after the add reached the logger, whatever else ran.
    auto texts = transient->texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "after add"), texts.end());
  }
  stop = true;
  writer.join();
  LKLog::flushLog();
  EXPECT_EQ(steady->count(), static_cast<std::size_t>(sent.load()) + 50);
}

class SuffixFormatter : public LKLogFormatter {
 public:
  explicit SuffixFormatter(std::string s) : suffix(std::move(s)) {}
  std::optional<std::string> formatLogMessage(const LKLogMessage& m) override {
    return m.message() + suffix;
  }
  void didAddToLogger(LKLogger&) override { ++adds; }
  void willRemoveFromLogger(LKLogger&) override { ++removes; }
  std::string suffix;
  std::atomic<int> adds{0}, removes{0};
};

TEST_F(LogTest, FormatterSetJustBeforeARecordFormatsIt) {
  auto logger = std::make_shared<CollectingLogger>();
  LKLog::addLogger(logger);
  auto first = std::make_shared<SuffixFormatter>("!");
  auto second = std::make_shared<SuffixFormatter>("?");
  logger->setLogFormatter(first);
  logInfo("a");
  logger->setLogFormatter(second);
  logInfo("b");
  LKLog::flushLog();
  EXPECT_EQ(logger->texts(), (std::vector<std::string>{"a!", "b?"}));
  EXPECT_EQ(logger->logFormatter(), second);
  EXPECT_EQ(first->adds, 1);
  EXPECT_EQ(first->removes, 1);
  EXPECT_EQ(second->adds, 1);
}

class ThrowingLogger : public LKAbstractLogger {
 public:
  void logMessage(const LKLogMessagePtr&) override { throw std::runtime_error("disk on fire"); }
};

TEST_F(LogTest, LoggerFailureIsReportedNotThrownAndReportsAreRateLimited) {
  std::mutex m;
  std::vector<std::string> reports;
  LKLog::setErrorHandler([&](const std::string& text) {
    std::lock_guard lock(m);
    reports.push_back(text);
  });
  auto thrower = std::make_shared<ThrowingLogger>();
  auto fine = std::make_shared<CollectingLogger>();
  LKLog::addLogger(thrower);
  LKLog::addLogger(fine);
  for (int i = 0; i < 25; ++i) logInfo("x");
  LKLog::flushLog();
  EXPECT_EQ(fine->count(), 25u);
  std::lock_guard lock(m);
  ASSERT_EQ(reports.size(), 10u);
  EXPECT_NE(reports[0].find("disk on fire"), std::string::npos);
}

TEST_F(LogTest, LoggingFromInsideALoggerNeverDeadlocks) {
  class Echo : public CollectingLogger {
   public:
    void logMessage(const LKLogMessagePtr& m) override {
      CollectingLogger::logMessage(m);
      if (m->message() == "ping") logInfo("pong", false);  // queued, not waited for
    }
  };
  auto echo = std::make_shared<Echo>();
  LKLog::addLogger(echo);
  logInfo("ping", false);
  EXPECT_TRUE(echo->waitFor(2));
}

TEST_F(LogTest, PerClassLevels) {
  std::uint64_t level = 3;
  LKLog::registerClass(
      "VRThing", [&] { return level; }, [&](std::uint64_t l) { level = l; });
  EXPECT_TRUE(LKLog::isRegisteredClass("VRThing"));
  EXPECT_FALSE(LKLog::isRegisteredClass("Other"));
  LKLog::setLevelForClassWithName(7, "VRThing");
  EXPECT_EQ(LKLog::levelForClassWithName("VRThing"), 7u);
  EXPECT_EQ(LKLog::levelForClassWithName("Other"), LKLogLevelAll);
  auto names = LKLog::registeredClassNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "VRThing"), names.end());
}

// Run as a child process by RecordsQueuedBeforeExitAreDelivered.
class AppendingLogger : public LKAbstractLogger {
 public:
  explicit AppendingLogger(const char* path) : out(path, std::ios::app) {}
  void logMessage(const LKLogMessagePtr& m) override { out << m->message() << "\n" << std::flush; }
  std::ofstream out;
};

TEST(LogExitChild, Run) {
  const char* path = getenv("LOGKIT_EXIT_CHILD_OUT");
  if (!path) GTEST_SKIP() << "runs only as a child";
  LKLog::addLogger(std::make_shared<AppendingLogger>(path));
  for (int i = 0; i < 500; ++i) logInfo("line " + std::to_string(i));
  std::exit(0);
}

// Run as a child process by ExitNeverHangsOnALogger: a logger that calls
// exit itself, or one that never returns while the program exits.
class ExitingLogger : public LKAbstractLogger {
 public:
  void logMessage(const LKLogMessagePtr& m) override {
    if (m->message() == "exit") std::exit(7);
    if (m->message() == "stuck") {
      std::promise<void> never;
      never.get_future().wait();
    }
  }
};

TEST(LogExitChild, Hang) {
  const char* mode = getenv("LOGKIT_EXIT_CHILD_MODE");
  if (!mode) GTEST_SKIP() << "runs only as a child";
  if (std::string(mode) != "inside") {
    ASSERT_TRUE(LKLog::create({.exitFlushTimeLimit = std::chrono::milliseconds(200)}));
  }
  LKLog::addLogger(std::make_shared<ExitingLogger>());
  if (std::string(mode) == "inside") {
    LKLog::logMessage(false, "exit", 7, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {});
  } else {
    LKLog::logMessage(true, "stuck", 7, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {});
    std::exit(5);
  }
}

// Runs this test program filtered to `test` with `extra` added to its
// environment; the child's wait status, or -1 when it has not ended within
// `limit` (it is then killed).
int runChild(const std::string& test, std::string extra, std::chrono::seconds limit) {
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.push_back(extra.data());
  env.push_back(nullptr);
  std::string filter = "--gtest_filter=" + test;
  char exe[] = "/proc/self/exe";
  char* argv[] = {exe, filter.data(), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, exe, nullptr, nullptr, argv, env.data()) != 0) return -2;
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  pollfd ended{pidfd, POLLIN, 0};
  const bool done = pidfd >= 0 && ::poll(&ended, 1, static_cast<int>(limit.count() * 1000)) == 1;
  if (pidfd >= 0) ::close(pidfd);
  if (!done) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return done ? status : -1;
}

TEST_F(LogTest, SynchronousLogReturnsAfterEveryLoggerHandledTheRecord) {
  // Loggers called one after another, and side by side.
  for (const char* processors : {"1", "4"}) {
    const int status =
        runChild("LogProcessorsChild.SynchronousLog",
                 std::string("LOGKIT_PROCESSORS=") + processors, std::chrono::seconds(30));
    ASSERT_NE(status, -1) << processors;
    ASSERT_TRUE(WIFEXITED(status)) << processors;
    EXPECT_EQ(WEXITSTATUS(status), 0) << processors;
  }
}

TEST_F(LogTest, DispatcherIsCreatedOnceAndKeepsItsSettings) {
  LKLog::flushLog();  // in use: created with the default options
  EXPECT_FALSE(LKLog::create({.processorCount = 1}));
  auto logger = std::make_shared<CollectingLogger>();
  LKLog::addLogger(logger);
  logInfo("still delivered", false);
  EXPECT_EQ(logger->texts(), std::vector<std::string>{"still delivered"});
}

TEST_F(LogTest, ExitNeverHangsOnALogger) {
  const int inside =
      runChild("LogExitChild.Hang", "LOGKIT_EXIT_CHILD_MODE=inside", std::chrono::seconds(30));
  ASSERT_NE(inside, -1) << "exit() inside a logger hung";
  ASSERT_TRUE(WIFEXITED(inside));
  EXPECT_EQ(WEXITSTATUS(inside), 7);
  const int stuck =
      runChild("LogExitChild.Hang", "LOGKIT_EXIT_CHILD_MODE=stuck", std::chrono::seconds(30));
  ASSERT_NE(stuck, -1) << "exit() waited for a stuck logger";
  ASSERT_TRUE(WIFEXITED(stuck));
  EXPECT_EQ(WEXITSTATUS(stuck), 5);
}

// Call sites hand over their file and function as literals only, so the
// records can keep them without copies.
template <class File>
concept LogMessageTakes = requires(File file) {
  LKLog::logMessage(true, "", 7, 1, 0, file, "f", 1, platform::Value());
};

TEST_F(LogTest, FileAndFunctionAreLiteralsOnly) {
  EXPECT_TRUE(LogMessageTakes<const char(&)[5]>);
  EXPECT_FALSE(LogMessageTakes<const char*>);
  EXPECT_FALSE(LogMessageTakes<std::string>);
  EXPECT_FALSE(LogMessageTakes<std::string_view>);
}

TEST_F(LogTest, RecordsQueuedBeforeExitAreDelivered) {
  std::string out =
      platform::paths::temporary() + "/logkit-exit-" + std::to_string(getpid()) + ".txt";
  ::unlink(out.c_str());
  std::string envOut = "LOGKIT_EXIT_CHILD_OUT=" + out;
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.push_back(envOut.data());
  env.push_back(nullptr);
  std::string filter = "--gtest_filter=LogExitChild.Run";
  char exe[] = "/proc/self/exe";
  char* argv[] = {exe, filter.data(), nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, exe, nullptr, nullptr, argv, env.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::ifstream in(out);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    EXPECT_EQ(line, "line " + std::to_string(n));
    ++n;
  }
  EXPECT_EQ(n, 500);
  ::unlink(out.c_str());
}

}  // namespace
}  // namespace logging
