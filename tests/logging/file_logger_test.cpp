#include "logging/file_logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <mutex>
#include <optional>
#include <sstream>

#include "logging/log.h"
#include "logging/test_loggers.h"
#include "platform/system/paths.h"

namespace logging {
namespace {

namespace fs = std::filesystem;
using varnel::testing::waitUntil;

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Counts rolls so tests can wait for them.
class WatchedManager : public LKLogFileManagerDefault {
 public:
  using LKLogFileManagerDefault::LKLogFileManagerDefault;
  void didRollAndArchiveLogFile(const std::string& path) override {
    std::lock_guard lock(m);
    rolled.push_back(path);
  }
  std::size_t rolls() {
    std::lock_guard lock(m);
    return rolled.size();
  }
  std::mutex m;
  std::vector<std::string> rolled;
};

class FileLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = platform::paths::temporary() + "/logkit-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir = templ;
    LKFileLogger::resetFailureReportsForTesting();
    LKLog::setErrorHandler([this](const std::string& text) {
      std::lock_guard lock(reportsMutex);
      reports.push_back(text);
    });
  }
  void TearDown() override {
    LKLog::removeAllLoggers();
    LKLog::flushLog();
    LKLog::setErrorHandler(nullptr);
    fs::remove_all(dir);
  }
  // Writes one record straight to the logger, on its queue (no dispatcher).
  static void write(const std::shared_ptr<LKFileLogger>& logger, const std::string& text) {
    auto m = std::make_shared<const LKLogMessage>(text, 7, LKLogFlagInfo, 0, "", "", 0,
                                                  platform::Value(), 0);
    testing::onLoggerQueue(logger, [&] { logger->logMessage(m); });
  }
  std::vector<std::string> names() {
    std::vector<std::string> n;
    for (auto& e : fs::directory_iterator(dir)) n.push_back(e.path().filename());
    std::sort(n.begin(), n.end());
    return n;
  }
  std::vector<std::string> reportsSnapshot() {
    std::lock_guard lock(reportsMutex);
    return reports;
  }
  // Stops the clock of the managers made with clock_ at `d`.
  void fixClock(platform::Date d) {
    std::lock_guard lock(clockMutex_);
    fixed_ = d;
  }
  std::mutex clockMutex_;
  std::optional<platform::Date> fixed_;
  // The managers' clock: real time until fixClock.
  const LKLogFileInfo::Clock clock_ = [this] {
    std::lock_guard lock(clockMutex_);
    return fixed_ ? *fixed_ : platform::Date::now();
  };

  std::string dir;
  std::mutex reportsMutex;
  std::vector<std::string> reports;
  const std::string& app = LKLogFileManagerDefault::applicationName();
};

TEST_F(FileLoggerTest, FirstRecordCreatesOwnerOnlyFileNamedByUtcMinute) {
  fixClock(platform::Date(1425721260));  // 2015-03-07 09:41 UTC
  auto logger =
      std::make_shared<LKFileLogger>(std::make_shared<LKLogFileManagerDefault>(dir, clock_));
  LKLog::addLogger(logger);
  testing::logInfo("hello");
  testing::logInfo("ends with newline\n");
  LKLog::flushLog();
  std::string name = app + " 2015-03-07 09-41.log";
  ASSERT_EQ(names(), std::vector<std::string>{name});
  struct stat st {};
  ASSERT_EQ(stat((dir + "/" + name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string text = readAll(dir + "/" + name);
  EXPECT_TRUE(testing::hasShape(text,
                                "####/##/## ##:##:##:###  hello\n"
                                "####/##/## ##:##:##:###  ends with newline\n"))
      << text;
}

// The default line's time is the text platform::formatDate gives, also for
// times whose milliseconds a binary fraction cannot hold exactly.
TEST(LogFileFormatterDefaultTest, DateIsFormatDatesTextToTheMillisecond) {
  LKLogFileFormatterDefault standard;
  LKLogFileFormatterDefault dotted("HH:mm:ss.SSS");
  LKLogFileFormatterDefault dayOnly("yyyy-MM-dd");
  std::vector<double> times = {1425721260.123, 1425721260.9999996, 1425721260.0000004,
                               1425721260.001, 1425721261.0,       0.001,
                               -0.5,           -1.0000004,         1e12 + 0.5};
  for (int i = 0; i < 2000; ++i) times.push_back(1425721260.0 + i * 0.000999 + i / 7.0);
  for (double t : times) {
    platform::Date d(t);
    EXPECT_EQ(standard.stringFromDate(d), platform::formatDate(d, "yyyy/MM/dd HH:mm:ss:SSS"))
        << std::setprecision(17) << t;
    EXPECT_EQ(dotted.stringFromDate(d), platform::formatDate(d, "HH:mm:ss.SSS")) << t;
    EXPECT_EQ(dayOnly.stringFromDate(d), platform::formatDate(d, "yyyy-MM-dd")) << t;
    LKLogMessage m("text", 7, LKLogFlagInfo, 0, "", "", 0, {}, 0, d);
    EXPECT_EQ(standard.formatLogMessage(m), standard.stringFromDate(d) + "  text");
  }
}

// Whatever formatter a file logger has, the file gets exactly its text,
// plus a newline where the logger's rules call for one.
TEST_F(FileLoggerTest, FileHoldsTheFormattersTextByteForByte) {
  class Prefixing : public LKLogFileFormatterDefault {
   public:
    std::optional<std::string> formatLogMessage(const LKLogMessage& m) override {
      if (m.message() == "drop") return std::nullopt;
      if (m.message() == "bare") return m.message();
      return "P:" + m.message();
    }
  };
  auto logger =
      std::make_shared<LKFileLogger>(std::make_shared<LKLogFileManagerDefault>(dir, clock_));
  auto collector = std::make_shared<testing::CollectingLogger>();
  LKLog::addLogger(logger);
  LKLog::addLogger(collector);
  const std::vector<std::string> texts = {"first",      "",     "ends in newline\n",
                                          "two\nlines", "drop", "bare"};
  auto logAll = [&] {
    for (const auto& t : texts) testing::logInfo(t);
    LKLog::log(true, 7, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {}, "plain %d %@ %llu", 1,
               "two", std::uint64_t{3});
  };
  logAll();
  LKLog::flushLog();
  std::string expected;
  for (const auto& r : collector->records()) {
    std::string line =
        platform::formatDate(r->timestamp(), "yyyy/MM/dd HH:mm:ss:SSS") + "  " + r->message();
    expected += line.ends_with('\n') ? line : line + "\n";
  }
  // A formatter of another class, with and without added newlines.
  logger->setLogFormatter(std::make_shared<Prefixing>());
  logAll();
  LKLog::flushLog();  // the setting below applies to records written after it
  logger->setAutomaticallyAppendNewlineForCustomFormatters(false);
  logAll();
  LKLog::flushLog();
  auto records = collector->records();
  ASSERT_EQ(records.size(), 3 * (texts.size() + 1));
  for (std::size_t i = texts.size() + 1; i < records.size(); ++i) {
    const std::string& m = records[i]->message();
    bool appendNewline = i < 2 * (texts.size() + 1);
    if (m == "drop") continue;
    std::string line = m == "bare" ? m : "P:" + m;
    // The bare message counts as unchanged: it always ends in a newline.
    if ((appendNewline || m == "bare") && !line.ends_with('\n')) line += "\n";
    expected += line;
  }
  auto files = logger->logFileManager()->sortedLogFileInfos();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(readAll(files[0]->filePath()), expected);
}

TEST_F(FileLoggerTest, RestartReusesFreshFileUnlessToldNotTo) {
  fixClock(platform::Date(1425721260));
  auto manager = std::make_shared<LKLogFileManagerDefault>(dir, clock_);
  {
    auto first = std::make_shared<LKFileLogger>(manager);
    write(first, "one");
  }
  {
    auto second = std::make_shared<LKFileLogger>(manager);  // a restart: same file
    write(second, "two");
  }
  ASSERT_EQ(names().size(), 1u);
  for (int i = 0; i < 2; ++i) {
    auto fresh = std::make_shared<LKFileLogger>(manager);
    fresh->setDoNotReuseLogFiles(true);
    write(fresh, "new");
  }
  std::string base = app + " 2015-03-07 09-41";
  EXPECT_EQ(names(), (std::vector<std::string>{base + " 2.log", base + " 3.log", base + ".log"}));
  std::string first = readAll(dir + "/" + base + ".log");
  EXPECT_NE(first.find("one"), std::string::npos);
  EXPECT_NE(first.find("two"), std::string::npos);
}

TEST_F(FileLoggerTest, WriteReachingMaximumSizeArchivesAndNextRecordStartsNewFile) {
  auto manager = std::make_shared<WatchedManager>(dir, clock_);
  auto logger = std::make_shared<LKFileLogger>(manager);
  LKLog::addLogger(logger);
  logger->setMaximumFileSize(60);
  EXPECT_EQ(logger->maximumFileSize(), 60u);
  testing::logInfo("0123456789");  // 36 bytes with the time stamp
  testing::logInfo("0123456789");  // 72: rolls
  LKLog::flushLog();
  ASSERT_EQ(manager->rolls(), 1u);
  auto archived = LKLogFileInfo::logFileWithPath(manager->rolled[0]);
  EXPECT_TRUE(archived->isArchived());
  EXPECT_EQ(archived->fileSize(), 72u);
  testing::logInfo("next");
  LKLog::flushLog();
  auto files = manager->sortedLogFileInfos();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_FALSE(files[0]->isArchived());
  EXPECT_NE(readAll(files[0]->filePath()).find("next"), std::string::npos);
}

TEST_F(FileLoggerTest, OldFileIsArchivedAtRestartAndTimerRollsByAge) {
  auto manager = std::make_shared<WatchedManager>(dir, clock_);
  {
    auto logger = std::make_shared<LKFileLogger>(manager);
    write(logger, "yesterday");
  }
  platform::Date later = platform::Date::now().addingTimeInterval(25 * 3600);
  fixClock(later);
  auto logger = std::make_shared<LKFileLogger>(manager);
  write(logger, "today");
  auto files = manager->sortedLogFileInfos();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_TRUE(files[1]->isArchived());
  EXPECT_NE(readAll(files[0]->filePath()).find("today"), std::string::npos);
  // Age timer: the clock stands still, so a small frequency has already passed.
  LKLog::addLogger(logger);
  logger->setRollingFrequency(0.05);
  ASSERT_TRUE(waitUntil([&] { return manager->rolls() == 1; }));
  EXPECT_TRUE(LKLogFileInfo::logFileWithPath(manager->rolled[0])->isArchived());
}

TEST_F(FileLoggerTest, RealAgeTimerFires) {
  auto manager = std::make_shared<WatchedManager>(dir, clock_);
  auto logger = std::make_shared<LKFileLogger>(manager);
  LKLog::addLogger(logger);
  logger->setRollingFrequency(0.2);
  testing::logInfo("short-lived");
  ASSERT_TRUE(waitUntil([&] { return manager->rolls() == 1; }));
}

TEST_F(FileLoggerTest, CountLimitDeletesOldestAndQuotaKeepsNewest) {
  auto manager = std::make_shared<LKLogFileManagerDefault>(dir, clock_);
  fixClock(platform::Date(1425721260));
  std::vector<std::string> made;
  for (int i = 0; i < 6; ++i) made.push_back(*manager->createNewLogFile());
  auto left = manager->sortedLogFilePaths();
  ASSERT_EQ(left.size(), 5u);
  EXPECT_EQ(left.front(), made.back());
  EXPECT_FALSE(fs::exists(made.front()));

  // Quota: 1000 bytes; newest first 0, 400, 400, 400 -> the third full one goes.
  manager->setMaximumNumberOfLogFiles(0);
  manager->setLogFilesDiskQuota(1000);
  LKLog::flushLog();
  for (const auto& p : manager->sortedLogFilePaths()) std::ofstream(p) << std::string(400, 'x');
  manager->createNewLogFile();
  EXPECT_EQ(manager->sortedLogFilePaths().size(), 3u);

  // The newest file alone over the quota stays, unless archived.
  manager->setLogFilesDiskQuota(10);
  LKLog::flushLog();
  auto newest = manager->sortedLogFileInfos().front();
  std::ofstream(newest->filePath()) << std::string(100, 'y');
  manager->deleteOldLogFiles();
  EXPECT_EQ(manager->sortedLogFilePaths(), std::vector<std::string>{newest->filePath()});
  newest->setIsArchived(true);
  manager->deleteOldLogFiles();
  EXPECT_TRUE(manager->sortedLogFilePaths().empty());
}

TEST_F(FileLoggerTest, OnlyWellFormedNamesAreLogFiles) {
  LKLogFileManagerDefault manager(dir);
  EXPECT_FALSE(manager.isLogFile(app + " notes.log"));
  EXPECT_TRUE(manager.isLogFile(app + " 2015-03-07 09-41.log"));
  EXPECT_TRUE(manager.isLogFile(app + " 2015-03-07 09-41 2.log"));
  EXPECT_FALSE(manager.isLogFile(app + " 2015-03-07 09-41.txt"));
  EXPECT_FALSE(manager.isLogFile(app + " 2015-13-07 09-41.log"));
  EXPECT_FALSE(manager.isLogFile("other 2015-03-07 09-41.log"));
}

TEST_F(FileLoggerTest, ArchivedMarkUsesAttributeOrFallsBackToPermissionBit) {
  std::string path = dir + "/" + app + " 2015-03-07 09-41.log";
  std::ofstream(path) << "x";
  ::chmod(path.c_str(), 0600);
  auto info = LKLogFileInfo::logFileWithPath(path);
  EXPECT_FALSE(info->isArchived());
  info->setIsArchived(true);
  EXPECT_TRUE(info->isArchived());
  struct stat st {};
  stat(path.c_str(), &st);
  bool xattrs = (st.st_mode & 0200) != 0;  // the file system kept the attribute
  info->setIsArchived(false);
  EXPECT_FALSE(info->isArchived());

  info = std::make_shared<LKLogFileInfo>(
      path, LKLogFileInfo::Options{.extendedAttributes = false, .clock = nullptr});
  EXPECT_FALSE(info->isArchived());
  info->setIsArchived(true);
  EXPECT_TRUE(info->isArchived());
  stat(path.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0400u);
  info->setIsArchived(false);
  EXPECT_FALSE(info->isArchived());
  stat(path.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  if (!xattrs) GTEST_LOG_(INFO) << "the temporary folder keeps no user attributes";
  EXPECT_NE(info->description().find("isArchived"), std::string::npos);
}

TEST_F(FileLoggerTest, PlantedSymlinkIsNeverFollowed) {
  fixClock(platform::Date(1425721260));
  std::string victim = dir + "/victim";
  std::ofstream(victim) << "precious\n";
  std::string name = app + " 2015-03-07 09-41.log";
  ASSERT_EQ(symlink(victim.c_str(), (dir + "/" + name).c_str()), 0);
  auto logger =
      std::make_shared<LKFileLogger>(std::make_shared<LKLogFileManagerDefault>(dir, clock_));
  write(logger, "secret");
  EXPECT_EQ(readAll(victim), "precious\n");
  std::string taken = dir + "/" + app + " 2015-03-07 09-41 2.log";
  EXPECT_NE(readAll(taken).find("secret"), std::string::npos);
}

TEST_F(FileLoggerTest, FileDeletedUnderTheLoggerRollsToANewOne) {
  auto manager = std::make_shared<WatchedManager>(dir, clock_);
  auto logger = std::make_shared<LKFileLogger>(manager);
  LKLog::addLogger(logger);
  testing::logInfo("first");
  LKLog::flushLog();
  auto path = manager->sortedLogFilePaths().at(0);
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_TRUE(waitUntil([&] { return manager->rolls() == 1; }));
  testing::logInfo("second");
  LKLog::flushLog();
  auto files = manager->sortedLogFilePaths();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(readAll(files[0]).find("second"), std::string::npos);
}

TEST_F(FileLoggerTest, UnwritableFolderIsReportedOnceAndNeverHoldsTheCaller) {
  std::string blocker = dir + "/not-a-folder";
  std::ofstream(blocker) << "x";
  auto logger = std::make_shared<LKFileLogger>(
      std::make_shared<LKLogFileManagerDefault>(blocker + "/logs", clock_));
  LKLog::addLogger(logger);
  for (int i = 0; i < 5000; ++i) testing::logInfo("lost");
  LKLog::flushLog();
  EXPECT_EQ(logger->droppedRecordCount(), 5000u);
  auto r = reportsSnapshot();
  int fileLoggerReports = 0;
  for (const auto& t : r) fileLoggerReports += t.starts_with("LKFileLogger.logMessage") ? 1 : 0;
  EXPECT_EQ(fileLoggerReports, 1);
}

TEST_F(FileLoggerTest, FullDiskIsReportedOncePerRunThenTenRunsAtMost) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit old {};
  getrlimit(RLIMIT_FSIZE, &old);
  auto logger =
      std::make_shared<LKFileLogger>(std::make_shared<LKLogFileManagerDefault>(dir, clock_));
  logger->setMaximumFileSize(0);
  write(logger, "fits");
  for (int run = 0; run < 12; ++run) {
    struct rlimit tight = old;
    tight.rlim_cur = 1;  // every further write fails as on a full disk
    setrlimit(RLIMIT_FSIZE, &tight);
    write(logger, "lost a");
    write(logger, "lost b");
    setrlimit(RLIMIT_FSIZE, &old);
    write(logger, "back " + std::to_string(run));
  }
  EXPECT_EQ(logger->droppedRecordCount(), 24u);
  auto r = reportsSnapshot();
  std::size_t tooMany =
      std::find(r.begin(), r.end(),
                "LKFileLogger.logMessage: Too many exceptions -- will not log any more of them.") -
      r.begin();
  ASSERT_LT(tooMany, r.size());
  EXPECT_EQ(r.size(), tooMany + 1) << "nothing is reported after the last message";
  EXPECT_NE(r[0].find("File too large"), std::string::npos) << r[0];
  EXPECT_NE(r[1].find("2 records were lost"), std::string::npos) << r[1];
  auto text = readAll(LKLogFileManagerDefault(dir).sortedLogFilePaths().at(0));
  EXPECT_NE(text.find("back 11"), std::string::npos);
  EXPECT_EQ(text.find("lost"), std::string::npos);
}

}  // namespace
}  // namespace logging
