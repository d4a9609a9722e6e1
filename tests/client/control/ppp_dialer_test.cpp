#include "client/core/ppp_dialer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <thread>

#include "client/control/control_fixture.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "support/manual_clock.h"
#include "support/wait.h"

namespace {

using platform::Value;

class PPPDialerTest : public control_test::ControlTest {
 protected:
  std::shared_ptr<client::PPTPWrapper> dialer(const std::string& user, std::uint8_t type = 0,
                                              platform::dispatch::TimeSourcePtr clock = nullptr) {
    client::PPTPWrapper::Options options;
    if (clock) {
      options.clock = std::move(clock);  // production's delays, on the test's clock
    } else {
      options.settleDelay = options.l2tpExtraSettleDelay = 0.1;
    }
    auto wrapper = client::PPTPWrapper::initWithController(nullptr, options);
    wrapper->setDialerPath(FAKE_PPPD_PATH);
    wrapper->SetAccount(client::PPTPAccount::instanceFromDictionary(Value::dictionary(
        {{"id", 3}, {"ip", "127.0.0.1"}, {"username", Value(user)}, {"password", "s3cr\"et"}})));
    wrapper->SetType(type);
    return wrapper;
  }
  std::string optionsFolder() { return platform::paths::applicationSupport() + "/VarnelVPN/ppp"; }
  std::string optionsFile() { return optionsFolder() + "/options-" + std::to_string(::getpid()); }
};

TEST_F(PPPDialerTest, ComesUpOnATerminalAndDisconnectsOnce) {
  auto clock = varnel::testing::ManualClock::create();
  auto wrapper = dialer("alice", 0, clock);
  wrapper->Start();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNConnectNotification) == 1; }));
  struct stat st;
  ASSERT_EQ(::stat(optionsFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto options = platform::files::readFile(optionsFile());
  ASSERT_TRUE(options);
  EXPECT_NE(options->find("password \"s3cr\\\"et\""), std::string::npos);
  EXPECT_NE(options->find("pty \"pptp 127.0.0.1 --nolaunchpppd\""), std::string::npos);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return log().find("remote IP address") != std::string::npos; }));
  EXPECT_NE(log().find("tty: yes"), std::string::npos);
  EXPECT_EQ(log().find("s3cr"), std::string::npos);  // never on the command line

  // Disconnect blocks for the settle delay of three seconds, which another
  // thread lets pass on the clock.
  std::thread settler([&] {
    EXPECT_TRUE(clock->waitForWatchers(1, std::chrono::seconds(10)));
    clock->advance(std::chrono::milliseconds(2999));
    EXPECT_TRUE(clock->waitForWatchers(1, std::chrono::milliseconds(0))) << "still settling";
    clock->advance(std::chrono::milliseconds(1));
  });
  wrapper->Disconnect();
  settler.join();
  EXPECT_EQ(count(client::kVPNDisconnectNotification), 1);
  varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(500));
  EXPECT_EQ(count(client::kVPNDisconnectNotification), 1);
  EXPECT_NE(::stat(optionsFile().c_str(), &st), 0);
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return log().find("Firing disconnect event.") != std::string::npos; }));
}

TEST_F(PPPDialerTest, FailuresEndWithOneDisconnect) {
  auto failing = dialer("fail");
  failing->Start();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNDisconnectNotification) == 1; }));
  varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(count(client::kVPNDisconnectNotification), 1);
  EXPECT_EQ(count(client::kVPNConnectNotification), 0);
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return log().find("CHAP authentication failed") != std::string::npos; }));

  auto vanishing = dialer("vanish");
  vanishing->Start();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNDisconnectNotification) == 2; }));

  auto l2tp = dialer("alice", 1);
  l2tp->Start();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNDisconnectNotification) == 3; }));
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return log().find("L2TP needs") != std::string::npos; }));
}

TEST_F(PPPDialerTest, LogMessagesDropTheirPrefixAndDriveTheState) {
  auto wrapper = dialer("alice", 2);
  wrapper->SetType(2);
  // Without Start the wrapper is not observing: lines are only logged.
  wrapper->PPPLog("sstpc : Connection Established");
  EXPECT_EQ(count(client::kVPNConnectNotification), 0);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return log().find("Connection Established") != std::string::npos; }));
  wrapper->PPPLog("pppd[7] : a : b\n");
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return log().find("] ab\n") != std::string::npos; }));
}

}  // namespace
