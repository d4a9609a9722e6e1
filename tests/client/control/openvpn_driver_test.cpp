#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "client/control/control_fixture.h"
#include "client/core/direct_driver.h"
#include "platform/system/paths.h"
#include "support/manual_clock.h"
#include "support/wait.h"

namespace {

using platform::Value;

class OpenVPNDriverTest : public control_test::ControlTest {
 protected:
  std::shared_ptr<client::OpenWrapper> driver(platform::dispatch::TimeSourcePtr clock = nullptr) {
    auto account =
        client::OpenAccount::instanceFromDictionary(Value::dictionary({{"id", 11},
                                                                       {"remote", "127.0.0.1"},
                                                                       {"port", "1194"},
                                                                       {"udp", true},
                                                                       {"tun_mtu", "1500"},
                                                                       {"cipher", "AES-256-GCM"},
                                                                       {"tls", "abc"}}));
    client::OpenWrapper::Options options;
    options.managementPort = 0;
    if (clock) {
      options.clock = std::move(clock);  // production's delays, on the test's clock
    } else {
      options.disconnectDelays[0] = options.disconnectDelays[1] = options.disconnectDelays[2] =
          0.05;
    }
    auto wrapper = client::OpenWrapper::initWithController(nullptr, account, options);
    wrapper->setExecutablePath(FAKE_OPENVPN_PATH);
    return wrapper;
  }
};

TEST_F(OpenVPNDriverTest, ArgumentsNameTheAccountsFiles) {
  auto wrapper = driver();
  auto args = wrapper->openVPNArguments();
  auto has = [&](const std::string& a) {
    for (const auto& s : args)
      if (s == a) return true;
    return false;
  };
  EXPECT_TRUE(has("udp"));
  EXPECT_TRUE(has("127.0.0.1"));
  EXPECT_TRUE(has("1194"));
  EXPECT_TRUE(has("--management-hold"));
  const std::string config = platform::paths::applicationSupport() + "/VarnelVPN/config/11";
  EXPECT_TRUE(has(config + ".ca"));
  EXPECT_TRUE(has(config + ".tls"));
  EXPECT_FALSE(has("--fragment"));
}

TEST_F(OpenVPNDriverTest, ConnectsThroughTheManagementInterfaceAndDisconnectsOnce) {
  auto clock = varnel::testing::ManualClock::create();
  auto wrapper = driver(clock);
  wrapper->Start();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNConnectNotification) == 1; }));
  EXPECT_TRUE(wrapper->isManagementConnected());
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return log().find("SUCCESS: hold release") != std::string::npos; }));
  EXPECT_NE(log().find("MI connected."), std::string::npos);
  // Disconnect blocks for its three waits (0.5 s before the signal, 0.25 s
  // after it, 2 s for the routes), which another thread lets pass on the
  // clock, one at a time.
  std::thread settler([&] {
    using std::chrono::milliseconds;
    for (milliseconds wait : {milliseconds(500), milliseconds(250), milliseconds(2000)}) {
      EXPECT_TRUE(clock->waitForWatchers(1, std::chrono::seconds(10)));
      clock->advance(wait - milliseconds(1));
      EXPECT_TRUE(clock->waitForWatchers(1, milliseconds(0))) << "still waiting";
      clock->advance(milliseconds(1));
    }
  });
  wrapper->Disconnect();
  settler.join();
  EXPECT_EQ(count(client::kVPNDisconnectNotification), 1);
  varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(500));
  EXPECT_EQ(count(client::kVPNDisconnectNotification), 1);
}

TEST_F(OpenVPNDriverTest, OpenVPNThatEndsByItselfIsReported) {
  ::setenv("FAKE_OPENVPN_MODE", "fail", 1);
  auto wrapper = driver();
  wrapper->Start();
  ::unsetenv("FAKE_OPENVPN_MODE");
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNDisconnectNotification) == 1; }));
  EXPECT_EQ(count(client::kVPNConnectNotification), 0);

  auto missing = driver();
  missing->setExecutablePath("/nonexistent/openvpn");
  missing->Start();
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNDisconnectNotification) == 2; }));
}

}  // namespace
