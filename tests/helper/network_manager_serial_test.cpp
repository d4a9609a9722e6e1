// The helper's PPTP, L2TP and IPSec requests against the real
// NetworkManager 1.42 and its Debian plugins in private namespaces
// (tests/support/nm_namespace.sh). This kernel has no PPP and no kernel
// ESP: PPTP and L2TP attempts must fail with a reason a person can read;
// IPSec (vpnc, ESP in user space) connects for real to the fixture's IKEv1
// responder. A cancel or a signal forged by another user never shows
// connected, and the host's /etc/ipsec.* stay as they were.
#include <gtest/gtest.h>

#include "network_manager_fixture.h"
#include "support/temp_dir.h"

namespace {

using namespace nm_test;

// The host's IPsec files as they are now (names and digests).
std::string hostIPsecFiles() {
  return varnel::testing::runShell(
             "find /etc/ipsec.secrets /etc/ipsec.conf /etc/ipsec.d -type f -print0 2>/dev/null | "
             "sort -z | xargs -0 -r md5sum; ls -la /etc/ipsec.d 2>/dev/null | wc -l")
      .output;
}

// The suite as a whole leaves them unchanged too.
class HostIPsecFilesUnchanged : public ::testing::Environment {
 public:
  void SetUp() override { before_ = hostIPsecFiles(); }
  void TearDown() override {
    EXPECT_EQ(hostIPsecFiles(), before_) << "the host's /etc/ipsec.* changed";
  }

 private:
  std::string before_;
};
const auto* const kHostCheck = ::testing::AddGlobalTestEnvironment(new HostIPsecFilesUnchanged);

// One real NetworkManager in its namespaces for the whole suite (each test
// makes its own helper; each request replaces the one "VarnelVPN" profile).
// The test that stops NetworkManager comes last.
class RealNetworkManagerTest : public HelperOverNM {
 protected:
  static void SetUpTestSuite() {
    skip_.clear();
    if (::geteuid() != 0) skip_ = "needs root for the namespaces";
    for (const char* p : {"/usr/sbin/NetworkManager", "/usr/bin/nmcli", "/usr/bin/dbus-daemon",
                          "/usr/lib/NetworkManager/VPN/nm-pptp-service.name",
                          "/usr/lib/NetworkManager/VPN/nm-l2tp-service.name",
                          "/usr/lib/NetworkManager/VPN/nm-vpnc-service.name", "/usr/sbin/pppd",
                          "/usr/sbin/vpnc", "/usr/bin/setpriv"}) {
      if (skip_.empty() && ::access(p, F_OK) != 0) skip_ = std::string(p) + " is not installed";
    }
    if (skip_.empty() &&
        varnel::testing::runShell("unshare --net --mount --pid --fork true").status != 0)
      skip_ = "namespaces cannot be made here";
    if (!skip_.empty()) return;
    temp_ = new varnel::testing::TempDir("nm");
    dir_ = temp_->file("nm");
    ::mkdir(dir_.c_str(), 0700);
    // Owned by this process: should it end without stopping the fixture,
    // the fixture ends itself.
    auto r = varnel::testing::runShell("'" + fixtureScript() + "' start '" + dir_ + "' " +
                                       std::to_string(::getpid()));
    started_ = true;
    if (r.status != 0 || r.output.rfind("address ", 0) != 0) {
      startFailure_ = r.output;
      return;
    }
    address_ = r.output.substr(8);
    address_.erase(address_.find_last_not_of('\n') + 1);
    netns_ = varnel::testing::runShell("readlink /proc/$(cat '" + dir_ + "/nspid')/ns/net").output;
    netns_.erase(netns_.find_last_not_of('\n') + 1);
  }
  static void TearDownTestSuite() {
    if (started_) {
      varnel::testing::runShell("'" + fixtureScript() + "' stop '" + dir_ + "'");
      // Every process of the namespace has ended, the plugins' too.
      if (!netns_.empty()) {
        const std::string left = varnel::testing::runShell(
                                     "for p in /proc/[0-9]*; do [ \"$(readlink $p/ns/net "
                                     "2>/dev/null)\" = '" +
                                     netns_ + "' ] && cat $p/comm; done; true")
                                     .output;
        EXPECT_EQ(left, "") << "left running in the namespace";
      }
    }
    started_ = false;
    delete temp_;
    temp_ = nullptr;
  }
  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_TRUE(startFailure_.empty()) << startFailure_;
    dir = dir_;
    netns = netns_;
    startHelper(address_, {sc::kNMPluginDirectory, sc::kNMLocalPluginDirectory});
  }
  std::string inside(const std::string& command) {
    return varnel::testing::runShell("'" + fixtureScript() + "' run '" + dir + "' " + command)
        .output;
  }
  // The active connection of the profile "VarnelVPN" (its D-Bus path).
  std::string activePath() {
    std::string p = inside("nmcli -g GENERAL.DBUS-PATH connection show VarnelVPN");
    p.erase(p.find_last_not_of('\n') + 1);
    return p;
  }
  // A local user (nobody) sends NetworkManager's state signals for it:
  // VPN state `vpn` and active-connection state `active`.
  void forgeFromAnotherUser(int vpn, int active) {
    const std::string path = activePath();
    ASSERT_FALSE(path.empty());
    for (const std::string& signal :
         {"org.freedesktop.NetworkManager.VPN.Connection.VpnStateChanged uint32:" +
              std::to_string(vpn) + " uint32:1",
          "org.freedesktop.NetworkManager.Connection.Active.StateChanged uint32:" +
              std::to_string(active) + " uint32:1"}) {
      auto r = varnel::testing::runShell(
          "'" + fixtureScript() + "' run '" + dir +
          "' env DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket setpriv "
          "--reuid=65534 --regid=65534 --clear-groups dbus-send --system --type=signal " +
          path + " " + signal);
      ASSERT_EQ(r.status, 0) << r.output;
    }
  }
  void forgeConnectedFromAnotherUser() { forgeFromAnotherUser(5, 2); }
  // An IPSec request to a server that never answers: it stays connecting.
  void ipsecToSilentServer() {
    service->handleMessage(request({{"operation", "IPSecConnectionRequest"},
                                    {"assigned", "10.200.0.9"},
                                    {"sharedKey", "Sh4red-psk-16chr"}}));
  }
  void noConnectedSeen() {
    log += helper_test::drainLog();
    for (std::int64_t s : seen) EXPECT_NE(s, ipc::kHelperStateConnected) << log;
    EXPECT_FALSE(contains(log, "is now connected.")) << log;
  }
  std::string dir, netns;
  static inline std::string skip_, startFailure_, dir_, address_, netns_;
  static inline bool started_ = false;
  static inline varnel::testing::TempDir* temp_ = nullptr;
};

TEST_F(RealNetworkManagerTest, PPTPRequestMakesTheProfileAndItsRealFailureReachesTheState) {
  pptp();
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  for (std::int64_t s : seen) EXPECT_NE(s, ipc::kHelperStateConnected) << log;
  log += helper_test::drainLog();
  EXPECT_TRUE(contains(log, "is now connecting.")) << log;
  EXPECT_FALSE(contains(log, "is now connected.")) << log;
  // pppd cannot run on this kernel: the plugin reports that it could not
  // connect and quits (or just quits), and the system's lack is named.
  EXPECT_TRUE(contains(log, "ended: the PPTP program (pppd) could not establish the link") ||
              contains(log, "ended: the VPN service stopped"))
      << log;
  if (::access("/dev/ppp", F_OK) != 0) {
    EXPECT_TRUE(contains(log, "this system cannot run PPP, which PPTP needs")) << log;
  }
  EXPECT_FALSE(contains(log, "unknown reason")) << log;
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

TEST_F(RealNetworkManagerTest, L2TPFailsWithAReasonAndItsKeysStayInTheNamespace) {
  const std::string hostBefore = hostIPsecFiles();
  service->handleMessage(request({{"operation", "L2TPConnectionRequest"},
                                  {"ip", "10.200.0.2"},
                                  {"username", "alice"},
                                  {"password", "S3cret-pw"},
                                  {"ipsec", "Sh4red-psk"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed, 40000)) << log;
  noConnectedSeen();
  EXPECT_TRUE(contains(log, " ended: ")) << log;
  if (::access("/dev/ppp", F_OK) != 0) {
    EXPECT_TRUE(contains(log, "which L2TP needs")) << log;
  }
  EXPECT_FALSE(contains(log, "unknown reason")) << log;
  EXPECT_FALSE(contains(log, "Sh4red-psk")) << log;
  // nm-l2tp wrote its key into the namespace's private copy only.
  EXPECT_TRUE(contains(inside("cat /etc/ipsec.secrets"), "ipsec.nm-l2tp.secrets"));
  EXPECT_EQ(hostIPsecFiles(), hostBefore);
}

TEST_F(RealNetworkManagerTest, IPSecIsVpncsIKEv1AndItsRealFailureIsSaid) {
  // The server's address refuses IKE at once.
  service->handleMessage(request({{"operation", "IPSecConnectionRequest"},
                                  {"assigned", "10.200.0.2"},
                                  {"sharedKey", "short-psk"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed, 40000)) << log;
  noConnectedSeen();
  // vpnc reports its failure and quits, or just quits (both seen).
  EXPECT_TRUE(contains(log, "ended: the IPSec program (vpnc) could not establish the link") ||
              contains(log, "ended: the VPN service stopped"))
      << log;
  const std::string profile =
      inside("nmcli -t -f vpn.service-type,vpn.data connection show VarnelVPN");
  EXPECT_TRUE(contains(profile, "org.freedesktop.NetworkManager.vpnc")) << profile;
  EXPECT_TRUE(contains(profile, "IPSec gateway = 10.200.0.2")) << profile;
  EXPECT_TRUE(contains(profile, "Xauth username = ")) << profile;
  EXPECT_FALSE(contains(log, "short-psk")) << log;
}

TEST_F(RealNetworkManagerTest, AForgedConnectedFromAnotherUserIsIgnored) {
  ipsecToSilentServer();
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnecting)) << log;
  forgeConnectedFromAnotherUser();
  // NetworkManager's own answer to a question: the attempt still runs.
  EXPECT_FALSE(waitForState(ipc::kHelperStateConnected, 1500)) << log;
  noConnectedSeen();
  // Deactivated from outside while connecting (the recorded cancel, with
  // its VPN ACTIVATED): disconnected, never connected.
  inside("nmcli connection down VarnelVPN");
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  helper_test::pump([&] { return false; }, 500);
  noConnectedSeen();
  EXPECT_TRUE(contains(log, "it was disconnected outside VarnelVPN")) << log;
}

TEST_F(RealNetworkManagerTest, L2TPForgedConnectedIgnoredAndCancelIsNeverConnected) {
  service->handleMessage(request({{"operation", "L2TPConnectionRequest"},
                                  {"ip", "10.200.0.9"},
                                  {"username", "alice"},
                                  {"password", "S3cret-pw"},
                                  {"ipsec", "Sh4red-psk"}}));
  // NetworkManager's own first report, so its active connection exists.
  ASSERT_TRUE(helper_test::pump(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "is now connecting.") || state() != ipc::kHelperStateConnecting;
      },
      15000))
      << log;
  if (state() != ipc::kHelperStateConnecting)
    GTEST_SKIP() << "the L2TP attempt ended before it could be cancelled: " << log;
  forgeConnectedFromAnotherUser();
  EXPECT_FALSE(waitForState(ipc::kHelperStateConnected, 1000)) << log;
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  helper_test::pump([&] { return false; }, 500);
  noConnectedSeen();
}

TEST_F(RealNetworkManagerTest, CancelWhileConnectingIsNeverConnected) {
  ipsecToSilentServer();
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnecting)) << log;
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  helper_test::pump([&] { return false; }, 500);
  noConnectedSeen();
  EXPECT_EQ(state(), ipc::kHelperStateDisconnected);
}

// The IPSec the product specifies, for real: IKEv1 aggressive mode with the
// group's pre-shared key and XAuth (the helper's fresh XAuth name and
// password), vpnc against strongSwan in a second namespace, ESP in user
// space on both ends. NetworkManager reaches ACTIVATED and traffic crosses.
TEST_F(RealNetworkManagerTest, IPSecConnectsForRealAndOnlyNetworkManagerEndsIt) {
  for (const char* p : {"/usr/lib/ipsec/starter", "/usr/lib/ipsec/charon",
                        "/usr/lib/ipsec/plugins/libstrongswan-kernel-libipsec.so",
                        "/usr/lib/ipsec/plugins/libstrongswan-xauth-pam.so"}) {
    if (::access(p, F_OK) != 0) GTEST_SKIP() << p << " is not installed";
  }
  auto r = varnel::testing::runShell("'" + fixtureScript() + "' ipsec-server '" + dir +
                                     "' Sh4red-psk-16chr 2>&1");
  ASSERT_EQ(r.status, 0) << r.output;
  auto connect = [&] {
    service->handleMessage(request({{"operation", "IPSecConnectionRequest"},
                                    {"assigned", "10.200.0.2"},
                                    {"sharedKey", "Sh4red-psk-16chr"}}));
  };
  connect();
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnected, 30000))
      << log << varnel::testing::runShell("tail -20 '" + dir + "/srv/charon.log'").output;
  // Through the tunnel to the address behind the server.
  EXPECT_EQ(varnel::testing::runShell("'" + fixtureScript() + "' run '" + dir +
                                      "' ping -c 1 -W 5 10.202.0.1")
                .status,
            0);
  // Another user's forged end changes nothing.
  forgeFromAnotherUser(7, 4);
  EXPECT_FALSE(waitForState(ipc::kHelperStateDisconnected, 1500)) << log;
  EXPECT_EQ(state(), ipc::kHelperStateConnected);
  // The user's own disconnect: disconnected, no failure.
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;

  // Again, ended from outside (`nmcli connection down`): said so.
  seen.clear();
  connect();
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnected, 30000)) << log;
  inside("nmcli connection down VarnelVPN");
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  EXPECT_TRUE(helper_test::pump(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "ended: it was disconnected outside VarnelVPN");
      },
      5000))
      << log;
  EXPECT_FALSE(contains(log, "Sh4red-psk-16chr")) << log;
}

TEST_F(RealNetworkManagerTest, NetworkManagerStoppingFailsTheAttempt) {
  ipsecToSilentServer();
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnecting)) << log;
  varnel::testing::runShell(
      "for p in $(pgrep -x NetworkManager); do [ \"$(readlink /proc/$p/ns/net)\" = '" + netns +
      "' ] && kill -TERM $p; done; true");
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  log += helper_test::drainLog();
  EXPECT_TRUE(contains(log, "NetworkManager stopped while the connection was in use.")) << log;
  noConnectedSeen();
}

}  // namespace
