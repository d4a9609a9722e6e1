#include "logging/asl_logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>

#include "logging/log.h"
#include "logging/test_loggers.h"

namespace logging {
namespace {

using varnel::testing::waitUntil;

// A system log kept in memory: what is sent is stored and, like the real
// one, handed to the watcher.
class MemorySystemLog : public LKSystemLog {
 public:
  bool send(const LKSystemLogEntry& entry) override {
    LKSystemLogEntry e = entry;
    e[kLKSystemLogPIDKey] = std::to_string(getpid());
    deliver(e);
    std::lock_guard lock(mutex);
    sent.push_back(entry);
    return true;
  }
  bool watch(platform::dispatch::QueuePtr q, Handler h) override {
    std::lock_guard lock(mutex);
    queue = std::move(q);
    handler = std::move(h);
    return true;
  }
  void unwatch() override {
    std::lock_guard lock(mutex);
    handler = nullptr;
  }
  // A message written to the system log by anyone.
  void deliver(LKSystemLogEntry e) {
    std::lock_guard lock(mutex);
    e[kLKSystemLogMessageIDKey] = std::to_string(++lastID);
    if (!e.contains(kLKSystemLogTimeKey)) {
      e[kLKSystemLogTimeKey] =
          std::to_string(static_cast<long long>(platform::Date::now().timeIntervalSince1970()));
    }
    if (handler) queue->async([h = handler, e] { h({e}); });
  }
  std::vector<LKSystemLogEntry> sentEntries() {
    std::lock_guard lock(mutex);
    return sent;
  }

  std::mutex mutex;
  std::vector<LKSystemLogEntry> sent;
  platform::dispatch::QueuePtr queue;
  Handler handler;
  std::uint64_t lastID = 0;
};

class ASLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = std::make_shared<MemorySystemLog>();
    LKSystemLog::setShared(log);
  }
  void TearDown() override {
    LKASLLogCapture::stop();
    LKASLLogCapture::setCaptureLevel(31);
    LKLog::removeAllLoggers();
    LKLog::flushLog();
    LKSystemLog::setShared(nullptr);
  }
  LKSystemLogEntry ours(const std::string& text, const std::string& level) {
    return {{kLKSystemLogMessageKey, text},
            {kLKSystemLogLevelKey, level},
            {kLKSystemLogPIDKey, std::to_string(getpid())}};
  }
  std::shared_ptr<MemorySystemLog> log;
};

TEST_F(ASLTest, FlagsMapToSystemLogLevels) {
  auto logger = LKASLLogger::sharedInstance();
  EXPECT_EQ(logger->loggerName(), "logkit.aslLogger");
  LKLog::addLogger(logger);
  for (auto flag :
       {LKLogFlagError, LKLogFlagWarning, LKLogFlagInfo, LKLogFlagDebug, LKLogFlagVerbose}) {
    LKLog::logMessage(true, "m", 31, flag, 0, __FILE__, __func__, __LINE__, {});
  }
  LKLog::flushLog();
  auto sent = log->sentEntries();
  ASSERT_EQ(sent.size(), 5u);
  std::vector<std::string> levels;
  for (auto& e : sent) levels.push_back(e[kLKSystemLogLevelKey]);
  EXPECT_EQ(levels, (std::vector<std::string>{"2", "3", "4", "5", "5"}));
  EXPECT_EQ(sent[0][kLKSystemLogMarkerKey], "1");
  EXPECT_EQ(sent[0][kLKSystemLogReadUIDKey], std::to_string(geteuid()));
  EXPECT_EQ(sent[0][kLKSystemLogMessageKey], "m");
}

TEST_F(ASLTest, CaptureTakesOwnMessagesButNeverTheLoggersOrOtherProcesses) {
  auto collector = std::make_shared<testing::CollectingLogger>();
  LKLog::addLogger(collector);
  LKLog::addLogger(LKASLLogger::sharedInstance());
  ASSERT_TRUE(LKASLLogCapture::start());
  LKLog::logMessage(true, "sent by the logger", 31, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__,
                    {});
  auto other = ours("another process", "4");
  other[kLKSystemLogPIDKey] = "1";
  log->deliver(other);
  log->deliver(ours("written by this process", "3"));
  ASSERT_TRUE(waitUntil([&] { return collector->count() >= 2; }));
  LKLog::flushLog();
  auto records = collector->records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]->message(), "written by this process");
  EXPECT_EQ(records[1]->flag(), LKLogFlagWarning);
  EXPECT_EQ(records[1]->fileName(), kLKASLLogCaptureFile);
  // The captured message was not sent out again.
  EXPECT_EQ(log->sentEntries().size(), 1u);
}

TEST_F(ASLTest, CaptureLevelDropsFlagsOutsideIt) {
  auto collector = std::make_shared<testing::CollectingLogger>();
  LKLog::addLogger(collector);
  LKASLLogCapture::setCaptureLevel(7);
  ASSERT_TRUE(LKASLLogCapture::start());
  for (const char* level : {"5", "6", "7"}) log->deliver(ours("dropped", level));
  auto timed = ours("timed", "1");
  timed[kLKSystemLogTimeKey] = "1700000000";
  timed[kLKSystemLogTimeNanoSecKey] = "500000000";
  log->deliver(timed);  // level 1: an Error record, logged synchronously
  ASSERT_TRUE(waitUntil([&] { return collector->count() >= 1; }));
  LKLog::flushLog();
  auto records = collector->records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]->flag(), LKLogFlagError);
  EXPECT_EQ(records[0]->level(), 7u);
  EXPECT_DOUBLE_EQ(records[0]->timestamp().timeIntervalSince1970(), 1700000000.5);
}

TEST_F(ASLTest, StoppedCaptureTakesNothingMore) {
  auto collector = std::make_shared<testing::CollectingLogger>();
  LKLog::addLogger(collector);
  ASSERT_TRUE(LKASLLogCapture::start());
  LKASLLogCapture::stop();
  log->deliver(ours("late", "4"));
  LKASLLogCapture::aslMessageReceived({{kLKSystemLogLevelKey, "4"}});  // no text: ignored
  LKLog::flushLog();
  EXPECT_EQ(collector->count(), 0u);
}

}  // namespace
}  // namespace logging
