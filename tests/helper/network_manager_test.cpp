// The helper's PPTP, L2TP and IPsec requests through NetworkManager: against
// the real NetworkManager and its plugins in private namespaces (this
// kernel has no PPP, so the real attempt must end as a failure with a
// reason, never as connected), and against a scripted NetworkManager for
// the roads the kernel cannot take (connected, a drop, NetworkManager
// leaving).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "helper/helper_service.h"
#include "helper_test_util.h"
#include "platform/sysconfig/nm_connection_driver.h"
#include "platform/system/file_util.h"
#include "support/nm_mock.h"
#include "support/shell.h"
#include "support/temp_root.h"

namespace sc = platform::sysconfig;
using helper::HelperService;
using ipc::XPCMessage;
using platform::Value;
using varnel::testing::contains;

namespace {

XPCMessage request(std::initializer_list<std::pair<const char*, Value>> entries) {
  XPCMessage m;
  for (const auto& [key, value] : entries) m.setObject(value, key);
  return m;
}

std::string fixtureScript() { return varnel::testing::supportFile("nm_namespace.sh"); }

// A helper service whose network services run through NetworkManager on
// the bus at `address`.
class HelperOverNM : public varnel::testing::TempRootTest {
 protected:
  void startHelper(const std::string& address, const std::string& pluginDirectory) {
    helper_test::sharedLogger();
    helper_test::drainLog();
    sc::NMConnectionDriver::Options o;
    o.busAddress = address;
    o.pluginDirectory = pluginDirectory;
    HelperService::Options options;
    options.preferences =
        helper::SystemPreferencesHandler::create(sc::NMConnectionDriver::create(o));
    options.logger = helper_test::sharedLogger();
    options.exitProcess = [](int) {};
    options.settleDelay = 0.2;
    service = HelperService::create(options);
  }
  void TearDown() override { service.reset(); }
  std::int64_t state() { return service->connectionState(); }
  // Waits until the state is `s`, gathering the log meanwhile; states seen
  // on the way are recorded.
  bool waitForState(std::int64_t s, int ms = 15000) {
    return helper_test::pump(
        [&] {
          seen.push_back(state());
          log += helper_test::drainLog();
          return state() == s;
        },
        ms);
  }
  void pptp() {
    service->handleMessage(request({{"operation", "PPTPConnectionRequest"},
                                    {"ip", "10.200.0.2"},
                                    {"username", "alice"},
                                    {"password", "S3cret-pw"}}));
  }

  std::shared_ptr<HelperService> service;
  std::vector<std::int64_t> seen;
  std::string log;
};

// --- The real NetworkManager --------------------------------------------------

class RealNetworkManagerTest : public HelperOverNM {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for the namespaces";
    for (const char* p : {"/usr/sbin/NetworkManager", "/usr/bin/nmcli", "/usr/bin/dbus-daemon",
                          "/usr/lib/NetworkManager/VPN/nm-pptp-service.name", "/usr/sbin/pppd"}) {
      if (::access(p, F_OK) != 0) GTEST_SKIP() << p << " is not installed";
    }
    if (varnel::testing::runShell("unshare --net --mount --pid --fork true").status != 0)
      GTEST_SKIP() << "namespaces cannot be made here";
    dir = root().file("nm");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    // Owned by this process: should it end without stopping the fixture,
    // the fixture ends itself.
    auto r = varnel::testing::runShell("'" + fixtureScript() + "' start '" + dir + "' " +
                                       std::to_string(::getpid()));
    started = true;
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(r.output.rfind("address ", 0), 0u) << r.output;
    std::string address = r.output.substr(8);
    address.erase(address.find_last_not_of('\n') + 1);
    startHelper(address, sc::kNMPluginDirectory);
  }
  void TearDown() override {
    HelperOverNM::TearDown();
    if (started) varnel::testing::runShell("'" + fixtureScript() + "' stop '" + dir + "'");
  }
  std::string inside(const std::string& command) {
    return varnel::testing::runShell("'" + fixtureScript() + "' run '" + dir + "' " + command)
        .output;
  }
  std::string dir;
  bool started = false;
};

TEST_F(RealNetworkManagerTest, PPTPRequestMakesTheProfileAndItsRealFailureReachesTheState) {
  pptp();
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  for (std::int64_t s : seen) EXPECT_NE(s, ipc::kHelperStateConnected) << log;
  log += helper_test::drainLog();
  EXPECT_TRUE(contains(log, "is now connecting.")) << log;
  EXPECT_FALSE(contains(log, "is now connected.")) << log;
  // pppd cannot run on this kernel: the plugin reports that it could not
  // connect and quits; which of the two NetworkManager tells first varies.
  EXPECT_TRUE(contains(log, "ended: the VPN program could not establish the link") ||
              contains(log, "ended: the VPN service stopped"))
      << log;
  EXPECT_FALSE(contains(log, "S3cret-pw")) << log;
  // The keychain items trust this system's programs only; none is missing.
  EXPECT_FALSE(contains(log, "Exception in adding a path")) << log;

  // The profile is NetworkManager's own, with the request's values, and its
  // secret is in NetworkManager's root-only store.
  const std::string profile = inside(
      "nmcli -t -f connection.id,connection.type,vpn.service-type,vpn.data "
      "connection show VarnelVPN");
  EXPECT_TRUE(contains(profile, "vpn.service-type:org.freedesktop.NetworkManager.pptp")) << profile;
  EXPECT_TRUE(contains(profile, "gateway = 10.200.0.2")) << profile;
  EXPECT_TRUE(contains(profile, "user = alice")) << profile;
  EXPECT_TRUE(contains(profile, "password-flags = 0")) << profile;
  EXPECT_EQ(inside("stat -c %a /etc/NetworkManager/system-connections/VarnelVPN.nmconnection"),
            "600\n");
  EXPECT_TRUE(contains(inside("grep -c password=S3cret-pw /etc/NetworkManager/system-connections/"
                              "VarnelVPN.nmconnection"),
                       "1"));

  // A second request replaces the profile: one "VarnelVPN" only.
  pptp();
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  EXPECT_EQ(inside("nmcli -t -f NAME connection show | grep -c '^VarnelVPN$'"), "1\n");

  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  EXPECT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
}

// --- A scripted NetworkManager -----------------------------------------------

class ScriptedNetworkManagerTest : public HelperOverNM {
 protected:
  void SetUp() override {
    if (!mock.start()) GTEST_SKIP() << mock.skipReason();
    plugins = root().file("plugins");
    ASSERT_EQ(::mkdir(plugins.c_str(), 0700), 0);
    for (const char* p : {"pptp", "l2tp", "strongswan"})
      ASSERT_TRUE(platform::files::writeFileAtomically(plugins + "/nm-" + p + "-service.name", ""));
    startHelper(mock.address(), plugins);
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
  mock.command("vpn 3 1");
  mock.command("vpn 5 1");
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnected)) << log;
  // The server goes away: disconnected, with the reason in the log.
  mock.command("vpn 7 4");
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  EXPECT_TRUE(helper_test::pump(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "ended: the VPN service stopped");
      },
      5000))
      << log;
}

TEST_F(ScriptedNetworkManagerTest, UserDisconnectDeactivatesAndSettles) {
  pptp();
  mock.command("vpn 5 1");
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnected)) << log;
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  EXPECT_TRUE(contains(mock.command("calls"), "DeactivateConnection"));
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
  EXPECT_TRUE(helper_test::pump(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "ended: no valid secrets");
      },
      5000))
      << log;
  EXPECT_FALSE(contains(log, "Sh4red-psk"));
}

TEST_F(ScriptedNetworkManagerTest, NetworkManagerLeavingMidConnectionFailsTheAttempt) {
  service->handleMessage(request({{"operation", "IPSecConnectionRequest"},
                                  {"assigned", "10.200.0.2"},
                                  {"sharedKey", "a-long-enough-shared-secret-123"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnecting)) << log;
  mock.command("stop-nm");
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  EXPECT_TRUE(helper_test::pump(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "NetworkManager stopped while the connection was in use.");
      },
      5000))
      << log;
  // The next request fails at once and says what to install.
  pptp();
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  EXPECT_TRUE(helper_test::pump(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "\"network-manager-pptp\"");
      },
      5000))
      << log;
}

}  // namespace
