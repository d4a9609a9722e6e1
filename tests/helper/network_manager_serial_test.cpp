// The helper's PPTP, L2TP and IPSec requests against the real
// NetworkManager 1.42 and its Debian plugins in private namespaces
// (tests/support/nm_namespace.sh). This kernel has no PPP and no kernel
// ESP: PPTP and L2TP attempts must fail with a reason a person can read;
// IPSec (vpnc, ESP in user space) connects for real to the fixture's IKEv1
// responder. For each type: a cancel, a deactivation from outside
// (`nmcli connection down`), NetworkManager stopping, and signals forged
// by another local user never show connected, and the host's /etc stays
// as it was. The helper's profiles are its session's own: in memory, limited
// to the requesting user, gone when the attempt ends, and every type notices
// a dead server within a minute.
//
// PPTP cannot be cancelled or deactivated while it connects here: pppd
// fails at once (no /dev/ppp), and NetworkManager ends the attempt about
// 0.07 s after it began, before any request could reach it. Its test covers
// what can be: another user's forgeries answered to each state as
// NetworkManager announces it, and after the end; and a request once
// NetworkManager has stopped. L2TP gives a window: nm-l2tp holds
// NetworkManager's connect call while its IPsec negotiation waits for a
// silent server, and NetworkManager gives up after 10 s; the tests act as
// soon as the VPN state is CONNECT, well inside it.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>

#include "network_manager_fixture.h"
#include "support/temp_dir.h"
#include "support/wait.h"

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

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One real NetworkManager in its namespaces for the whole suite (each test
// makes its own helper; each request replaces the one "VarnelVPN" profile).
// The tests that stop NetworkManager come last.
class RealNetworkManagerTest : public HelperOverNM {
 protected:
  static void SetUpTestSuite() {
    skip_.clear();
    if (::geteuid() != 0) skip_ = "needs root for the namespaces";
    for (const char* p : {"/usr/sbin/NetworkManager", "/usr/bin/nmcli", "/usr/bin/dbus-daemon",
                          "/usr/bin/busctl", "/usr/lib/NetworkManager/VPN/nm-pptp-service.name",
                          "/usr/lib/NetworkManager/VPN/nm-l2tp-service.name",
                          "/usr/lib/NetworkManager/VPN/nm-vpnc-service.name", "/usr/sbin/pppd",
                          "/usr/sbin/vpnc", "/usr/bin/setpriv"}) {
      if (skip_.empty() && ::access(p, F_OK) != 0) skip_ = std::string(p) + " is not installed";
    }
    if (skip_.empty() &&
        varnel::testing::runShell("/usr/bin/python3 -c 'import dbus, gi' 2>&1").status != 0)
      skip_ = "python3-dbus and python3-gi are not installed";
    if (skip_.empty() &&
        varnel::testing::runShell("unshare --net --mount --pid --fork true").status != 0)
      skip_ = "namespaces cannot be made here";
    if (!skip_.empty()) return;
    temp_ = new varnel::testing::TempDir("nm");
    dir_ = temp_->file("nm");
    ::mkdir(dir_.c_str(), 0700);
    // Owned by this process: should it end without stopping the fixture,
    // the fixture ends itself.
    auto r = fixture(dir_, "start", std::to_string(::getpid()));
    started_ = true;
    const std::size_t line = r.output.rfind("address ");
    if (r.status != 0 || line == std::string::npos || (line > 0 && r.output[line - 1] != '\n')) {
      startFailure_ = r.output;
      return;
    }
    address_ = r.output.substr(line + 8);
    address_.erase(address_.find('\n'));
    // Every profile NetworkManager takes is read back as soon as it has it.
    r = fixture(dir_, "profile-watch");
    if (r.status != 0) startFailure_ = r.output;
  }
  static void TearDownTestSuite() {
    if (started_) {
      fixture(dir_, "stop");
      // Every process of the namespaces has ended: NetworkManager, the
      // plugins and what they started (charon-nm, the IPsec starter and
      // charon, xl2tpd, pppd, vpnc), the server and the forger.
      EXPECT_EQ(fixture(dir_, "procs").output, "") << "left running in the namespaces";
    }
    started_ = false;
    delete temp_;
    temp_ = nullptr;
  }
  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_TRUE(startFailure_.empty()) << startFailure_;
    dir = dir_;
    startHelper(address_, {sc::kNMPluginDirectory, sc::kNMLocalPluginDirectory},
                dir + "/nm-profiles");
  }
  void TearDown() override {
    HelperOverNM::TearDown();
    if (!skip_.empty()) return;
    // The forger of a test that failed half way stays no longer.
    std::string forger = readFile(dir + "/forger.pid");
    forger.erase(forger.find_last_not_of('\n') + 1);
    if (!forger.empty()) varnel::testing::runShell("kill " + forger + " 2>/dev/null; true");
    ::unlink((dir + "/forger.pid").c_str());
  }

  static varnel::testing::ShellOutcome fixture(const std::string& dir, const std::string& command,
                                               const std::string& arguments = {}) {
    return varnel::testing::runShell("'" + fixtureScript() + "' " + command + " '" + dir + "' " +
                                     arguments + " 2>&1");
  }
  std::string inside(const std::string& command) {
    return varnel::testing::runShell("'" + fixtureScript() + "' run '" + dir + "' " + command)
        .output;
  }
  // The active connection of the profile "VarnelVPN" (its D-Bus path).
  std::string activePath() {
    std::string p =
        inside("nmcli -g GENERAL.DBUS-PATH connection show --active VarnelVPN 2>/dev/null");
    p.erase(p.find_last_not_of('\n') + 1);
    return p;
  }
  // NetworkManager's VPN state of that active connection (0: none).
  int vpnState(const std::string& path) {
    const std::string out =
        inside("busctl --system get-property org.freedesktop.NetworkManager " + path +
               " org.freedesktop.NetworkManager.VPN.Connection VpnState 2>/dev/null");
    return out.rfind("u ", 0) == 0 ? std::atoi(out.c_str() + 2) : 0;
  }
  // Waits until NetworkManager says the attempt connects (VPN state
  // CONNECT: the plugin has been asked to connect); its active path in
  // `*path`. False when the attempt ends first.
  bool waitUntilConnectingToTheServer(std::string* path) {
    return varnel::testing::waitUntilOnMainRunLoop(
               [&] {
                 log += helper_test::drainLog();
                 seen.push_back(state());
                 if (state() != ipc::kHelperStateConnecting) return true;
                 *path = activePath();
                 return !path->empty() && vpnState(*path) == 3;
               },
               std::chrono::milliseconds(10000)) &&
           state() == ipc::kHelperStateConnecting;
  }
  // A local user (nobody) sends NetworkManager's state signals for `path`:
  // VPN state `vpn` and active-connection state `active`.
  void forgeFromAnotherUser(int vpn, int active, std::string path = {}) {
    if (path.empty()) path = activePath();
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
  // Another user who answers every VPN state NetworkManager announces with
  // a forged ACTIVATED and a forged login failure (tests/support/nm_forger.py).
  void startForger() {
    auto r = fixture(dir, "forger");
    ASSERT_EQ(r.status, 0) << r.output;
  }
  // Waits until the forger has answered state `state` of `path`.
  bool forgedAfter(const std::string& path, int state) {
    const std::string line = "forged " + path + " after " + std::to_string(state) + "\n";
    return varnel::testing::waitUntilOnMainRunLoop(
        [&] {
          log += helper_test::drainLog();
          return contains(readFile(dir + "/forger.log"), line);
        },
        std::chrono::milliseconds(5000));
  }
  // The path the forger answered last ("" when none).
  std::string lastForgedPath() {
    const std::string text = readFile(dir + "/forger.log");
    const std::size_t at = text.rfind("forged ");
    if (at == std::string::npos) return {};
    return text.substr(at + 7, text.find(' ', at + 7) - at - 7);
  }
  // A plugin that NetworkManager gave up may run on (nm-l2tp finishes its
  // IPsec negotiation first, some 20 s) and would serve the next attempt:
  // each L2TP test starts without one.
  void endPlugins() {
    auto r = fixture(dir, "end-plugins");
    ASSERT_EQ(r.status, 0) << r.output;
  }
  void l2tp(const std::string& server) {
    service->handleMessage(request({{"operation", "L2TPConnectionRequest"},
                                    {"ip", server},
                                    {"username", "alice"},
                                    {"password", "S3cret-pw"},
                                    {"ipsec", "Sh4red-psk"}}));
  }
  // An IPSec request to a server that never answers: it stays connecting.
  void ipsecToSilentServer() {
    service->handleMessage(request({{"operation", "IPSecConnectionRequest"},
                                    {"assigned", "10.200.0.9"},
                                    {"sharedKey", "Sh4red-psk-16chr"}}));
  }
  // The newest profile named "VarnelVPN" that NetworkManager took, as it
  // read back ("new UUID VarnelVPN permissions=... data=..."); "" when none.
  std::string watchedProfile() {
    const std::string text = readFile(dir + "/profiles.log");
    std::size_t at = text.rfind(" VarnelVPN permissions=");
    if (at == std::string::npos) return {};
    at = text.rfind('\n', at);
    at = at == std::string::npos ? 0 : at + 1;
    return text.substr(at, text.find('\n', at) - at);
  }
  static std::string uuidOf(const std::string& watched) {
    return watched.size() > 40 ? watched.substr(4, 36) : std::string();
  }
  // Whether NetworkManager has the profile `uuid`.
  bool hasProfile(const std::string& uuid) {
    return inside("nmcli -g connection.uuid connection show uuid " + uuid + " 2>/dev/null") ==
           uuid + "\n";
  }
  void noConnectedSeen() {
    log += helper_test::drainLog();
    for (std::int64_t s : seen) EXPECT_NE(s, ipc::kHelperStateConnected) << log;
    EXPECT_FALSE(contains(log, "is now connected.")) << log;
  }
  std::string dir;
  static inline std::string skip_, startFailure_, dir_, address_;
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
              contains(log, "ended: the PPTP connection to the server could not be established"))
      << log;
  if (::access("/dev/ppp", F_OK) != 0) {
    EXPECT_TRUE(contains(log, "; this system cannot run PPP, which PPTP needs")) << log;
  }
  EXPECT_FALSE(contains(log, "unknown reason")) << log;
  EXPECT_FALSE(contains(log, "S3cret-pw")) << log;
  // The keychain items trust this system's programs only; none is missing.
  EXPECT_FALSE(contains(log, "Exception in adding a path")) << log;

  // The profile NetworkManager took (read back the moment it had it): the
  // request's values, pppd's LCP echoes so that a dead server is noticed
  // within a minute, and nobody but the requesting user (here root) may
  // see or use it.
  const std::string profile = watchedProfile();
  EXPECT_TRUE(contains(profile,
                       " permissions=user:root: data=gateway=10.200.0.2;lcp-echo-failure=3;"
                       "lcp-echo-interval=10;password-flags=0;require-mppe=yes;user=alice"))
      << readFile(dir + "/profiles.log");
  // The attempt is over: its profile has gone, and its secret was never on
  // disk (nor is it left in NetworkManager's memory folder).
  EXPECT_FALSE(hasProfile(uuidOf(profile)));
  EXPECT_EQ(inside("grep -rls S3cret-pw /etc/NetworkManager /var/lib/NetworkManager "
                   "/run/NetworkManager; true"),
            "");
  EXPECT_EQ(readFile(dir + "/nm-profiles"), "");

  // A second request: again nothing stays.
  pptp();
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  EXPECT_EQ(inside("nmcli -t -f NAME connection show | grep -c '^VarnelVPN$'"), "0\n");

  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  EXPECT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
}

TEST_F(RealNetworkManagerTest, PPTPForgeriesOfAnotherUserDuringAndAfterTheAttemptAreIgnored) {
  // Too fast to cancel (see above); but another user can answer each state
  // NetworkManager announces, within the attempt.
  startForger();
  pptp();
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  const std::string path = lastForgedPath();
  ASSERT_FALSE(path.empty()) << readFile(dir + "/forger.log");
  ASSERT_TRUE(forgedAfter(path, 3)) << readFile(dir + "/forger.log");
  noConnectedSeen();
  // The forged login failure is not the reason either.
  EXPECT_TRUE(contains(log, " ended: the PPTP ")) << log;
  EXPECT_FALSE(contains(log, "refused the login")) << log;
  // After the end, a forged ACTIVATED for the attempt's connection.
  forgeFromAnotherUser(5, 2, path);
  EXPECT_FALSE(waitForState(ipc::kHelperStateConnected, 500)) << log;
  EXPECT_EQ(state(), ipc::kHelperStateFailed);
  noConnectedSeen();
}

TEST_F(RealNetworkManagerTest, L2TPFailsWithAReasonAndItsKeysStayInTheNamespace) {
  const std::string hostBefore = hostIPsecFiles();
  endPlugins();
  l2tp("10.200.0.2");
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed, 40000)) << log;
  noConnectedSeen();
  // No IKE answers at the server's address: the plugin quits while it
  // connects, and NetworkManager says the service stopped.
  EXPECT_TRUE(contains(log, " ended: the L2TP connection ")) << log;
  if (::access("/dev/ppp", F_OK) != 0) {
    EXPECT_TRUE(contains(log, "; this system cannot run PPP, which L2TP needs")) << log;
  }
  EXPECT_FALSE(contains(log, "unknown reason")) << log;
  EXPECT_FALSE(contains(log, "Sh4red-psk")) << log;
  // pppd's LCP echoes notice a dead server within a minute.
  EXPECT_TRUE(contains(watchedProfile(), ";lcp-echo-failure=3;lcp-echo-interval=10;"))
      << readFile(dir + "/profiles.log");
  // nm-l2tp wrote its key into the namespace's private /etc only.
  EXPECT_TRUE(contains(inside("cat /etc/ipsec.secrets"), "ipsec.nm-l2tp.secrets"));
  EXPECT_TRUE(contains(inside("ls /etc/ipsec.d"), "ipsec.nm-l2tp.secrets"));
  EXPECT_EQ(hostIPsecFiles(), hostBefore);
}

TEST_F(RealNetworkManagerTest, L2TPCancelWhileConnectingIsNeverConnected) {
  endPlugins();
  startForger();
  l2tp("10.200.0.9");
  std::string path;
  ASSERT_TRUE(waitUntilConnectingToTheServer(&path)) << log;
  // Another user's ACTIVATED came as NetworkManager said CONNECT.
  ASSERT_TRUE(forgedAfter(path, 3)) << readFile(dir + "/forger.log");
  EXPECT_FALSE(waitForState(ipc::kHelperStateConnected, 500)) << log;
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  // What NetworkManager sends after (VPN ACTIVATED, reason
  // USER_DISCONNECTED, then the end) changes nothing.
  varnel::testing::waitUntilOnMainRunLoop([&] { return false; }, std::chrono::milliseconds(500));
  noConnectedSeen();
  EXPECT_EQ(state(), ipc::kHelperStateDisconnected);
  // The user's own cancel, made while it connected: no failure.
  EXPECT_FALSE(contains(log, " ended: ")) << log;
  EXPECT_EQ(activePath(), "");
}

TEST_F(RealNetworkManagerTest, L2TPDeactivatedFromOutsideWhileConnectingAndAfter) {
  endPlugins();
  l2tp("10.200.0.9");
  std::string path;
  ASSERT_TRUE(waitUntilConnectingToTheServer(&path)) << log;
  inside("nmcli connection down VarnelVPN");
  // NetworkManager says DEACTIVATING first: the helper disconnects (no
  // failure of its own), and says who ended it.
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "ended: it was disconnected outside VarnelVPN");
      },
      std::chrono::milliseconds(5000)))
      << log;
  varnel::testing::waitUntilOnMainRunLoop([&] { return false; }, std::chrono::milliseconds(500));
  noConnectedSeen();
  // After: a second `nmcli connection down` finds nothing active, and a
  // forged ACTIVATED for the ended connection changes nothing.
  EXPECT_TRUE(contains(inside("nmcli connection down VarnelVPN 2>&1"), "not an active")) << log;
  forgeFromAnotherUser(5, 2, path);
  EXPECT_FALSE(waitForState(ipc::kHelperStateConnected, 500)) << log;
  EXPECT_EQ(state(), ipc::kHelperStateDisconnected);
  noConnectedSeen();
  EXPECT_EQ(log.find(" ended: "), log.rfind(" ended: ")) << "one end only\n" << log;
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
              contains(log,
                       "ended: the IPSec connection to the server could not be established (the "
                       "VPN service stopped)"))
      << log;
  const std::string profile = watchedProfile();
  EXPECT_TRUE(contains(profile,
                       "data=DPD idle timeout (our side)=10;IPSec ID=VarnelVPN;IPSec "
                       "gateway=10.200.0.2;"))
      << profile;
  EXPECT_TRUE(contains(profile, ";Xauth username=")) << profile;
  EXPECT_FALSE(hasProfile(uuidOf(profile)));
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
  varnel::testing::waitUntilOnMainRunLoop([&] { return false; }, std::chrono::milliseconds(500));
  noConnectedSeen();
  EXPECT_TRUE(contains(log, "it was disconnected outside VarnelVPN")) << log;
}

TEST_F(RealNetworkManagerTest, CancelWhileConnectingIsNeverConnected) {
  ipsecToSilentServer();
  ASSERT_TRUE(waitForState(ipc::kHelperStateConnecting)) << log;
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  varnel::testing::waitUntilOnMainRunLoop([&] { return false; }, std::chrono::milliseconds(500));
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
  // Through the tunnel to the address behind the server. (The base
  // connection's gateway is the server too, so an answer alone proves
  // nothing: the route goes through vpnc's tun device, and the echoes and
  // their answers are counted there.)
  const std::string route = inside("ip route get 10.202.0.1");
  const std::size_t dev = route.find(" dev tun");
  ASSERT_NE(dev, std::string::npos) << route;
  const std::string tun = route.substr(dev + 5, route.find(' ', dev + 5) - dev - 5);
  auto packets = [&](const char* way) {
    return std::atol(
        inside("cat /sys/class/net/" + tun + "/statistics/" + way + "_packets").c_str());
  };
  const long sentBefore = packets("tx"), receivedBefore = packets("rx");
  EXPECT_EQ(inside("ping -c 3 -W 5 10.202.0.1 >/dev/null; echo $?"), "0\n");
  EXPECT_GE(packets("tx") - sentBefore, 3) << tun;
  EXPECT_GE(packets("rx") - receivedBefore, 3) << tun;
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
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "ended: it was disconnected outside VarnelVPN");
      },
      std::chrono::milliseconds(5000)))
      << log;
  EXPECT_FALSE(contains(log, "Sh4red-psk-16chr")) << log;
}

// The profile is the requesting user's alone: another local user (who may
// control networking, as every desktop session may) neither sees nor
// brings it up; it goes when the attempt ends; and a profile of the same
// name that someone else made is never touched.
TEST_F(RealNetworkManagerTest, TheProfileBelongsToTheSessionThatMadeIt) {
  inside(
      "nmcli connection add type vpn con-name VarnelVPN vpn-type pptp vpn.data "
      "'gateway=10.200.0.7, user=carol' >/dev/null");
  std::string foreign = inside("nmcli -g connection.uuid connection show VarnelVPN");
  foreign.erase(foreign.find_last_not_of('\n') + 1);
  ASSERT_EQ(foreign.size(), 36u) << foreign;
  endPlugins();
  // The request of the user daemon (uid 1).
  service->handleMessage(request({{"operation", "L2TPConnectionRequest"},
                                  {"ip", "10.200.0.9"},
                                  {"username", "alice"},
                                  {"password", "S3cret-pw"},
                                  {"ipsec", "Sh4red-psk"}}),
                         uid_t{1});
  std::string path;
  ASSERT_TRUE(waitUntilConnectingToTheServer(&path)) << log;
  const std::string profile = watchedProfile();
  const std::string uuid = uuidOf(profile);
  EXPECT_TRUE(contains(profile, " permissions=user:daemon: ")) << profile;
  ASSERT_NE(uuid, foreign);
  ASSERT_TRUE(hasProfile(uuid));
  EXPECT_TRUE(hasProfile(foreign)) << "the other profile of the same name was removed";
  // Nobody else sees it, nor its server and user name, nor can bring it up.
  const std::string asNobody =
      "env DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket setpriv --reuid=65534 "
      "--regid=65534 --clear-groups ";
  const std::string listed = inside(asNobody + "nmcli -t -f NAME,UUID connection show 2>&1");
  EXPECT_FALSE(contains(listed, uuid)) << listed;
  EXPECT_FALSE(contains(
      inside(asNobody + "nmcli -f vpn.data connection show uuid " + uuid + " 2>&1"), "10.200.0.9"));
  const std::string up =
      inside(asNobody + "nmcli connection up uuid " + uuid + " 2>&1; echo rc=$?");
  EXPECT_FALSE(contains(up, "rc=0")) << up;
  EXPECT_FALSE(contains(up, "successfully")) << up;
  // The attempt ends (cancelled): its profile goes, the other stays.
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !hasProfile(uuid); },
                                                      std::chrono::milliseconds(5000)));
  EXPECT_TRUE(hasProfile(foreign));
  // The next request leaves it alone too.
  pptp();
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  EXPECT_TRUE(hasProfile(foreign));
  inside("nmcli connection delete uuid " + foreign + " >/dev/null");
}

// The helper program killed (SIGKILL) in the middle of an attempt leaves its
// profile behind; the next start of the helper deletes it, by its UUID.
TEST_F(RealNetworkManagerTest, AProfileLeftByAKilledHelperGoesAtTheNextStart) {
  varnel::testing::TempDir root("nm-helper");
  const std::string w = "'" + root.path() + "'";
  const std::string env =
      "export VARNEL_ROOT=" + w + " DBUS_SYSTEM_BUS_ADDRESS='" + address_ + "'; ";
  const std::string startHelper = "'" VARNEL_HELPER_PATH "' >>" + w +
                                  "/helper.out 2>&1 & echo $! >" + w +
                                  "/helper.pid; for i in $(seq 100); do [ -S " + w +
                                  "/run/varnel/VarnelHelper.sock ] && break; sleep 0.1; done; ";
  auto r =
      varnel::testing::runShell(env + startHelper +
                                "'" HELPER_TEST_CLIENT
                                "' request operation=IPSecConnectionRequest assigned=10.200.0.9 "
                                "sharedKey=Sh4red-psk-16chr until 3 10 run \"kill -KILL $(cat " +
                                w + "/helper.pid)\" 2>&1");
  EXPECT_TRUE(contains(r.output, "reply 1")) << r.output;
  const std::string record =
      varnel::testing::runShell("cat $(find " + w + " -name nm-profiles) 2>/dev/null").output;
  ASSERT_EQ(record.size(), 37u) << record << r.output;
  const std::string uuid = record.substr(0, 36);
  EXPECT_TRUE(hasProfile(uuid)) << "the killed helper's profile is still there";
  // The next start removes it (before any request).
  r = varnel::testing::runShell(env + startHelper + "echo started");
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !hasProfile(uuid); },
                                                      std::chrono::milliseconds(10000)))
      << readFile(root.path() + "/helper.out");
  EXPECT_EQ(varnel::testing::runShell("cat $(find " + w + " -name nm-profiles) 2>/dev/null").output,
            "");
  varnel::testing::runShell("kill $(cat " + w + "/helper.pid) 2>/dev/null; sleep 0.5");
}

// A server that is gone (killed: its ports refuse) or silent (stopped: its
// ports stay open, nothing answers) is noticed within a minute: the helper
// leaves Connected for the failure, with the reason the client shows.
TEST_F(RealNetworkManagerTest, IPSecLeavesConnectedWithinAMinuteOfTheServerGoingAway) {
  for (const char* p : {"/usr/lib/ipsec/starter", "/usr/lib/ipsec/charon",
                        "/usr/lib/ipsec/plugins/libstrongswan-kernel-libipsec.so",
                        "/usr/lib/ipsec/plugins/libstrongswan-xauth-pam.so"}) {
    if (::access(p, F_OK) != 0) GTEST_SKIP() << p << " is not installed";
  }
  for (const char* how : {"ipsec-server-end", "ipsec-server-silence"}) {
    SCOPED_TRACE(how);
    endPlugins();
    auto r = varnel::testing::runShell("'" + fixtureScript() + "' ipsec-server '" + dir +
                                       "' Sh4red-psk-16chr 2>&1");
    ASSERT_EQ(r.status, 0) << r.output;
    seen.clear();
    service->handleMessage(request({{"operation", "IPSecConnectionRequest"},
                                    {"assigned", "10.200.0.2"},
                                    {"sharedKey", "Sh4red-psk-16chr"}}));
    ASSERT_TRUE(waitForState(ipc::kHelperStateConnected, 30000))
        << log << varnel::testing::runShell("tail -20 '" + dir + "/srv/charon.log'").output;
    r = fixture(dir, how);
    ASSERT_EQ(r.status, 0) << r.output;
    const auto gone = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitForState(ipc::kHelperStateFailed, 70000)) << log;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - gone).count();
    std::cout << how << ": left Connected after " << seconds << " s" << std::endl;
    EXPECT_LE(seconds, 60.0);
    log += helper_test::drainLog();
    EXPECT_TRUE(contains(log, " ended: the IPSec connection was lost")) << log;
    if (std::string(how) == "ipsec-server-silence") fixture(dir, "ipsec-server-resume");
    service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  }
}

TEST_F(RealNetworkManagerTest, L2TPFailsWhenNetworkManagerStopsAndRunsOnWithTheNextOne) {
  endPlugins();
  l2tp("10.200.0.9");
  std::string path;
  ASSERT_TRUE(waitUntilConnectingToTheServer(&path)) << log;
  auto r = fixture(dir, "nm-stop");
  ASSERT_EQ(r.status, 0) << r.output;
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] {
        log += helper_test::drainLog();
        return contains(log, "ended: NetworkManager stopped while the connection was in use.");
      },
      std::chrono::milliseconds(5000)))
      << log;
  noConnectedSeen();
  // The plugin it left behind goes; a new NetworkManager comes, and the
  // same helper follows it: the next attempt runs (and is cancelled).
  endPlugins();
  r = fixture(dir, "nm-start");
  ASSERT_EQ(r.status, 0) << r.output;
  seen.clear();
  ipsecToSilentServer();
  ASSERT_TRUE(waitUntilConnectingToTheServer(&path)) << log;
  service->handleMessage(request({{"operation", "DisconnectConnection"}}));
  ASSERT_TRUE(waitForState(ipc::kHelperStateDisconnected)) << log;
  noConnectedSeen();
}

// Last: NetworkManager does not come back.
TEST_F(RealNetworkManagerTest, NetworkManagerStoppingFailsTheAttemptAndTheNextRequestSaysWhy) {
  ipsecToSilentServer();
  std::string path;
  ASSERT_TRUE(waitUntilConnectingToTheServer(&path)) << log;
  auto r = fixture(dir, "nm-stop");
  ASSERT_EQ(r.status, 0) << r.output;
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  log += helper_test::drainLog();
  EXPECT_TRUE(contains(log, "NetworkManager stopped while the connection was in use.")) << log;
  noConnectedSeen();
  // PPTP (too fast to be caught by the stop) and L2TP requests now fail at
  // once, saying that NetworkManager must be started; their packages are
  // installed, so nothing tells the user to install them.
  pptp();
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  log += helper_test::drainLog();
  EXPECT_TRUE(contains(log,
                       "could not be started: NetworkManager is not running. PPTP "
                       "connections need it: start NetworkManager"))
      << log;
  l2tp("10.200.0.9");
  ASSERT_TRUE(waitForState(ipc::kHelperStateFailed)) << log;
  log += helper_test::drainLog();
  EXPECT_TRUE(contains(log, "L2TP connections need it: start NetworkManager")) << log;
  EXPECT_FALSE(contains(log, "install the Debian package")) << log;
  noConnectedSeen();
}

}  // namespace
