#include "client/Singletons/varnel_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "platform/system/file_util.h"
#include "platform/system/notification_center.h"
#include "support/temp_root.h"

namespace client {
namespace {

using platform::NotificationCenter;
using platform::runloop::RunLoop;

// "[dd/MM/yy HH:mm:ss] " with digits in place of the letters.
bool isStamp(const std::string& s) {
  const std::string pattern = "[dd/MM/yy HH:mm:ss] ";
  if (s.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool digit = s[i] >= '0' && s[i] <= '9';
    if (std::isalpha(static_cast<unsigned char>(pattern[i])) ? !digit : s[i] != pattern[i])
      return false;
  }
  return true;
}

class VarnelLogTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override { VarnelLog::resetSharedInstanceForTesting(); }
  void TearDown() override {
    NotificationCenter::defaultCenter().removeObserver(this);
    VarnelLog::resetSharedInstanceForTesting();
  }
  // Counts "varnelvpn.log" notifications.
  std::shared_ptr<std::atomic<int>> countNotifications() {
    auto count = std::make_shared<std::atomic<int>>(0);
    NotificationCenter::defaultCenter().addObserver(
        this, [count](const platform::Notification&) { ++*count; }, kVarnelLogNotification,
        nullptr);
    return count;
  }
  std::string fileText() {
    return platform::files::readFile(VarnelLog::logFilePath()).value_or("");
  }
};

TEST_F(VarnelLogTest, LinesFromABackgroundThreadInOrderWithNotifications) {
  auto notified = countNotifications();
  std::thread([] {
    VarnelLog::sharedInstance().AddToLog("a");
    VarnelLog::sharedInstance().AddToLog("b\nsecond line");
  }).join();
  // Both lines were queued before the main thread ran: one append, one
  // notification.
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return *notified == 1; }, std::chrono::seconds(10)));
  const std::string log = VarnelLog::sharedInstance().GetLog();
  // "[dd/MM/yy HH:mm:ss] a\n[dd/MM/yy HH:mm:ss] b\nsecond line\n"
  const std::size_t stamp = std::string("[dd/MM/yy HH:mm:ss] ").size();
  ASSERT_EQ(log.size(), 2 * stamp + std::string("a\nb\nsecond line\n").size()) << log;
  for (std::size_t at : {std::size_t{0}, stamp + 2}) {
    EXPECT_TRUE(isStamp(log.substr(at, stamp))) << log;
  }
  EXPECT_EQ(log.substr(stamp, 2), "a\n");
  EXPECT_EQ(log.substr(2 * stamp + 2), "b\nsecond line\n");
  EXPECT_EQ(fileText(), log);
  struct stat st {};
  ASSERT_EQ(::stat(VarnelLog::logFilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(VarnelLogTest, SecondLaunchAppendsButKeepsOnlyItsOwnLines) {
  VarnelLog::sharedInstance().AddToLog("first run");
  VarnelLog::resetSharedInstanceForTesting();
  auto notified = countNotifications();
  VarnelLog::sharedInstance().AddToLog("second run");
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return *notified == 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(VarnelLog::sharedInstance().GetLog().find("first run"), std::string::npos);
  const std::string file = fileText();
  EXPECT_LT(file.find("first run"), file.find("second run"));
  EXPECT_NE(file.find("second run"), std::string::npos);
}

// A quit may end the run loop before the queued appends run: flush() writes
// them at once, and an exit with lines still queued writes them too.
TEST_F(VarnelLogTest, QueuedLinesAreNotLostAtTheEnd) {
  auto notified = countNotifications();
  VarnelLog::sharedInstance().AddToLog("said before quit");
  VarnelLog::sharedInstance().flush();
  EXPECT_EQ(*notified, 1);
  EXPECT_NE(fileText().find("said before quit"), std::string::npos);

  EXPECT_EXIT(
      {
        VarnelLog::sharedInstance().AddToLog("said while exiting");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_NE(fileText().find("said while exiting"), std::string::npos) << fileText();
}

TEST_F(VarnelLogTest, ConcurrentWritersLoseNoLine) {
  auto notified = countNotifications();
  constexpr int kThreads = 4, kLines = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        VarnelLog::sharedInstance().AddToLog("t" + std::to_string(t) + "-" + std::to_string(i));
      }
    });
  }
  for (auto& th : threads) th.join();
  // Lines are announced in bursts: wait for the last of them.
  ASSERT_TRUE(RunLoop::main().runUntil(
      [&] {
        const std::string log = VarnelLog::sharedInstance().GetLog();
        return std::count(log.begin(), log.end(), '\n') == kThreads * kLines;
      },
      std::chrono::seconds(20)));
  EXPECT_GE(*notified, 1);
  EXPECT_LE(*notified, kThreads * kLines);
  const std::string log = VarnelLog::sharedInstance().GetLog();
  for (int t = 0; t < kThreads; ++t) {
    std::size_t last = 0;
    for (int i = 0; i < kLines; ++i) {
      const std::size_t at = log.find("] t" + std::to_string(t) + "-" + std::to_string(i) + "\n");
      ASSERT_NE(at, std::string::npos);
      EXPECT_GE(at, last);  // each writer's lines keep their order
      last = at;
    }
  }
  EXPECT_EQ(fileText(), log);
}

// The helper's log arrives in bursts of many lines: a burst costs one
// append, one write and one notification, and loses nothing.
TEST_F(VarnelLogTest, BurstOfLinesIsAppendedAtOnceInOrder) {
  auto notified = countNotifications();
  constexpr int kLines = 20000;
  std::thread([] {
    for (int i = 0; i < kLines; ++i)
      VarnelLog::sharedInstance().AddToLog("helper " + std::to_string(i));
  }).join();
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return *notified >= 1; }, std::chrono::seconds(20)));
  const std::string log = VarnelLog::sharedInstance().GetLog();
  EXPECT_EQ(*notified, 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), kLines);
  std::size_t last = 0;
  for (int i : {0, 1, 9999, kLines - 1}) {
    const std::size_t at = log.find("] helper " + std::to_string(i) + "\n");
    ASSERT_NE(at, std::string::npos) << i;
    EXPECT_GE(at, last);
    last = at;
  }
  EXPECT_EQ(fileText(), log);
  // Lines after the burst are announced again.
  VarnelLog::sharedInstance().AddToLog("later");
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return *notified == 2; }, std::chrono::seconds(10)));
  EXPECT_NE(VarnelLog::sharedInstance().GetLog().find("] later\n"), std::string::npos);
}

TEST_F(VarnelLogTest, RegisteredSecretsNeverReachTheLog) {
  auto notified = countNotifications();
  VarnelLog::sharedInstance().registerSecret("APIKEY12345678901234");
  VarnelLog::sharedInstance().AddToLog("key=APIKEY12345678901234 twice APIKEY12345678901234");
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return *notified == 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(VarnelLog::sharedInstance().GetLog().find("APIKEY"), std::string::npos);
  EXPECT_EQ(fileText().find("APIKEY"), std::string::npos);
  EXPECT_NE(fileText().find("key=******** twice ********"), std::string::npos);
}

TEST_F(VarnelLogTest, UnwritableLogFolderStillKeepsLines) {
  // A file where the Logs folder should be: the log file cannot be opened.
  const std::string logs = VarnelLog::logFilePath().substr(0, VarnelLog::logFilePath().rfind('/'));
  std::filesystem::create_directories(std::filesystem::path(logs).parent_path());
  std::filesystem::remove_all(logs);
  ASSERT_TRUE(platform::files::writeFileAtomically(logs, "not a folder"));
  VarnelLog::resetSharedInstanceForTesting();
  auto notified = countNotifications();
  VarnelLog::sharedInstance().AddToLog("kept");
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return *notified == 1; }, std::chrono::seconds(10)));
  EXPECT_NE(VarnelLog::sharedInstance().GetLog().find("] kept\n"), std::string::npos);
}

}  // namespace
}  // namespace client
