#include "logging/abstract_database_logger.h"

#include <gtest/gtest.h>

#include <atomic>

#include "logging/log.h"
#include "logging/test_loggers.h"

namespace logging {
namespace {

using varnel::testing::waitUntil;

class CountingDatabase : public LKAbstractDatabaseLogger {
 public:
  bool db_log(const LKLogMessagePtr& m) override {
    if (m->message() == "refused") return false;
    ++logged;
    return true;
  }
  void db_save() override { ++saves; }
  void db_delete() override { ++deletes; }
  void db_saveAndDelete() override { ++saveAndDeletes; }

  // Reads on the logger's queue, after changes queued before.
  template <class F>
  auto onQueue(F f) {
    decltype(f()) v{};
    testing::onLoggerQueue(shared_from_this(), [&] { v = f(); });
    return v;
  }
  std::uint64_t pending() {
    return onQueue([&] { return unsavedCount(); });
  }
  bool saveTimer() {
    return onQueue([&] { return hasSaveTimer(); });
  }
  bool saveTimerSuspended() {
    return onQueue([&] { return isSaveTimerSuspended(); });
  }
  bool deleteTimer() {
    return onQueue([&] { return hasDeleteTimer(); });
  }

  std::atomic<int> logged{0}, saves{0}, deletes{0}, saveAndDeletes{0};
};

void logInfo(const char* text) { testing::logInfo(text); }

class DatabaseLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = std::make_shared<CountingDatabase>();
    LKLog::addLogger(db);
  }
  void TearDown() override {
    LKLog::removeAllLoggers();
    LKLog::flushLog();
  }
  std::shared_ptr<CountingDatabase> db;
};

TEST_F(DatabaseLoggerTest, ThresholdSavesAtOnceAndSuspendsTheTimer) {
  EXPECT_EQ(db->saveThreshold(), 500u);
  for (int i = 0; i < 499; ++i) logInfo("r");
  logInfo("refused");  // changes no count
  LKLog::flushLog();   // a flush saves: start over
  EXPECT_EQ(db->saves, 1);
  for (int i = 0; i < 499; ++i) logInfo("r");
  LKLog::flushLog();
  EXPECT_EQ(db->saves, 2);
  db->setSaveThreshold(3);
  logInfo("a");
  logInfo("b");
  logInfo("refused");
  EXPECT_TRUE(waitUntil([&] { return db->pending() == 2; }));
  EXPECT_FALSE(db->saveTimerSuspended());
  logInfo("c");
  EXPECT_TRUE(waitUntil([&] { return db->saves == 3; }));
  EXPECT_EQ(db->pending(), 0u);
  EXPECT_TRUE(db->saveTimerSuspended());
  EXPECT_EQ(db->logged, 1001);
}

TEST_F(DatabaseLoggerTest, SaveTimerSavesAfterTheIntervalAndCanBeRemoved) {
  db->setSaveInterval(0.05);
  logInfo("r");
  ASSERT_TRUE(waitUntil([&] { return db->saves == 1; }));
  EXPECT_TRUE(db->saveTimerSuspended());

  db->setSaveInterval(0);
  EXPECT_FALSE(db->saveTimer());
  logInfo("r");
  LKLog::flushLog();  // with no timer, a flush saves
  EXPECT_EQ(db->saves, 2);
  db->setDeleteOnEverySave(true);
  logInfo("r");
  LKLog::removeLogger(db);  // removal saves too
  EXPECT_TRUE(waitUntil([&] { return db->saveAndDeletes == 1; }));
}

TEST_F(DatabaseLoggerTest, LoweringMaxAgeDeletesAtOnceRaisingDoesNot) {
  EXPECT_TRUE(db->deleteTimer());
  db->setMaxAge(1e6);
  EXPECT_EQ(db->maxAge(), 1e6);
  EXPECT_EQ(db->deletes, 0);
  db->setMaxAge(10);
  EXPECT_EQ(db->maxAge(), 10);
  EXPECT_EQ(db->deletes, 1);
  db->setMaxAge(0);
  EXPECT_FALSE(db->deleteTimer());
  db->setMaxAge(20);  // a positive age after none
  EXPECT_EQ(db->maxAge(), 20);
  EXPECT_EQ(db->deletes, 2);
  EXPECT_TRUE(db->deleteTimer());
}

TEST_F(DatabaseLoggerTest, DeleteTimerRunsAtItsInterval) {
  db->setDeleteInterval(0.02);
  ASSERT_TRUE(waitUntil([&] { return db->deletes >= 2; }));
  db->setDeleteInterval(0);
  EXPECT_FALSE(db->deleteTimer());
  int seen = db->deletes;
  db->deleteOldLogEntries();
  EXPECT_TRUE(waitUntil([&] { return db->deletes == seen + 1; }));
}

}  // namespace
}  // namespace logging
