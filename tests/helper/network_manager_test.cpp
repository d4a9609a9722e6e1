// The helper's PPTP, L2TP and IPSec requests through a scripted
// NetworkManager that replays the real one's recorded signal sequences
// (tests/support/nm_recordings), for the roads this kernel cannot take
// (connected, a drop, deactivation, NetworkManager leaving) and for
// forgeries. The real NetworkManager is in network_manager_serial_test.cpp.
#include <gtest/gtest.h>

#include "network_manager_fixture.h"
#include "platform/system/file_util.h"
#include "support/wait.h"

namespace {

using namespace nm_test;

// --- A scripted NetworkManager -----------------------------------------------

class ScriptedNetworkManagerTest : public HelperOverNM {
 protected:
  void SetUp() override {
    if (!mock.start()) GTEST_SKIP() << mock.skipReason();
    plugins = root().file("plugins");
    ASSERT_EQ(::mkdir(plugins.c_str(), 0700), 0);
    for (const char* p : {"pptp", "l2tp", "vpnc"})
      ASSERT_TRUE(platform::files::writeFileAtomically(
          plugins + "/nm-" + std::string(p) + "-service.name",
          "[VPN Connection]\nservice=org.freedesktop.NetworkManager." + std::string(p) + "\n"));
    startHelper(mock.address(), {plugins});
  }
  void TearDown() override {
    HelperOverNM::TearDown();
    mock.stop();
  }
  varnel::testing::NMMock mock;
  std::string plugins;
};

TEST_F(ScriptedNetworkManagerTest, ConnectsOnlyWhenNetworkManagerSaysSoAndFollowsADrop) {
  pptp();
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnecting)) << log;
  // Forged by another connection of the bus: never believed.
  mock.command("forge vpn 5 1");
  mock.command("forge active 2 1");
  mock.command("replay connect");
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnected)) << log;
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "is now connected.");
      },
      std::chrono::milliseconds(5000)))
      << log;
  // The server goes away: the attempt has failed (what the client shows),
  // with the reason in the log.
  mock.command("replay drop");
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "ended: the PPTP connection was lost (the VPN service stopped)");
      },
      std::chrono::milliseconds(5000)))
      << log;
}

TEST_F(ScriptedNetworkManagerTest, UserDisconnectDeactivatesAndSettles) {
  pptp();
  mock.command("replay connect");
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnected)) << log;
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  EXPECT_TRUE(contains(mock.command("calls"), "DeactivateConnection"));
}

TEST_F(ScriptedNetworkManagerTest, ACancelWhileConnectingNeverShowsConnected) {
  // The recorded cancel carries VPN ACTIVATED (reason USER_DISCONNECTED).
  service->handleMessage(request({{"operation", "IPSecConnectionRequest"},
                                  {"assigned", "10.200.0.2"},
                                  {"sharedKey", "Sh4red-psk-16chr"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnecting)) << log;
  mock.command("replay ipsec-cancel");
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  for (std::int64_t s : seen) EXPECT_NE(s, ipc::kHelperStateConnected) << log;
  varnel::testing::waitUntilOnMainRunLoop([&] { return false; },
                                          std::chrono::milliseconds(300));  // what may still arrive
  log += helper_test::drainLog();
  EXPECT_FALSE(contains(log, "is now connected.")) << log;
  EXPECT_TRUE(contains(log, "ended: it was disconnected outside VarnelVPN")) << log;
  EXPECT_NE(state(), ipc::kHelperStateConnected);
}

TEST_F(ScriptedNetworkManagerTest, UnusableValuesAreRefusedWithAReasonAndNoProfile) {
  struct Case {
    std::initializer_list<std::pair<const char*, Value>> request;
    const char* reason;
  };
  const Case cases[] = {
      {{{"operation", "PPTPConnectionRequest"},
        {"ip", "10.200.0.2\nplugin /tmp/x.so"},
        {"username", "alice"},
        {"password", "pw"}},
       "The server address is neither a host name nor an IP address."},
      {{{"operation", "PPTPConnectionRequest"},
        {"ip", "vpn.example.net"},
        {"username", "alice\nnoauth"},
        {"password", "pw"}},
       "The user name contains control characters or line breaks."},
      {{{"operation", "L2TPConnectionRequest"},
        {"ip", "10.200.0.2"},
        {"username", "alice"},
        {"password", "pw\rx"},
        {"ipsec", "psk"}},
       "The password contains control characters or line breaks."},
      {{{"operation", "L2TPConnectionRequest"},
        {"ip", "10.200.0.2"},
        {"username", "alice"},
        {"password", "pw"},
        {"ipsec", "psk\x7f"}},
       "The shared secret may hold only printable characters."},
      {{{"operation", "IPSecConnectionRequest"}, {"assigned", "-o x"}, {"sharedKey", "psk"}},
       "The server address is neither a host name nor an IP address."},
      {{{"operation", "IPSecConnectionRequest"}, {"assigned", "10.200.0.2"}, {"sharedKey", ""}},
       "The shared secret is empty."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.reason);
    auto reply = service->handleMessage(request(k.request));
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(reply->objectForKey(ipc::kXPCResultKey).isNil());
    EXPECT_EQ(reply->stringForKey(ipc::kRefusalMessageKey).asString(), k.reason);
    EXPECT_EQ(state(), ipc::kHelperStateFailed);
    log += helper_test::drainLog();
    EXPECT_TRUE(contains(log, std::string("Connection request refused: ") + k.reason)) << log;
  }
  EXPECT_EQ(mock.command("profiles"), "0");
  EXPECT_FALSE(contains(mock.command("calls"), "ActivateConnection"));
}

TEST_F(ScriptedNetworkManagerTest, AFailureWhileConnectingIsAFailedAttemptWithItsReason) {
  service->handleMessage(request({{"operation", "L2TPConnectionRequest"},
                                  {"ip", "10.200.0.2"},
                                  {"username", "alice"},
                                  {"password", "S3cret-pw"},
                                  {"ipsec", "Sh4red-psk"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnecting)) << log;
  mock.command("vpn 6 9");  // FAILED, NO_SECRETS
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "ended: no valid secrets");
      },
      std::chrono::milliseconds(5000)))
      << log;
  EXPECT_FALSE(contains(log, "Sh4red-psk"));
}

TEST_F(ScriptedNetworkManagerTest, NetworkManagerLeavingMidConnectionFailsTheAttempt) {
  service->handleMessage(request({{"operation", "IPSecConnectionRequest"},
                                  {"assigned", "10.200.0.2"},
                                  {"sharedKey", "Sh4red-psk-16chr"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnecting)) << log;
  mock.command("replay ipsec-nm-stops");
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "NetworkManager stopped while the connection was in use.");
      },
      std::chrono::milliseconds(5000)))
      << log;
  // The next request fails at once and says what to start.
  pptp();
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "PPTP connections need it: start NetworkManager");
      },
      std::chrono::milliseconds(5000)))
      << log;
}

}  // namespace
