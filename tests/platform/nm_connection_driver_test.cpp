// The NetworkManager connection driver against a scripted NetworkManager
// (python3-dbusmock's template on a private bus) that replays the signal
// sequences recorded from the real one (tests/support/nm_recordings): the
// profile it writes, the statuses it reports, every failure reason,
// signals forged by another connection of the bus, a cancel while
// connecting, and NetworkManager going away.
#include "platform/sysconfig/nm_connection_driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "platform/system/file_util.h"
#include "support/nm_mock.h"
#include "support/temp_root.h"

namespace {

namespace sc = platform::sysconfig;
using platform::Value;
using sc::ConnectionStatus;

// Statuses a connection reported, with the failure reason at each. Its
// record outlives it: reports may still come while a test ends.
class Recorder {
 public:
  sc::NetworkConnectionPtr make(const std::string& id) {
    return sc::NetworkConnection::create(
        id,
        [s = s_](const sc::NetworkConnectionPtr& c, ConnectionStatus status, void*) {
          std::lock_guard<std::mutex> lock(s->mutex);
          s->seen.push_back({status, c->failureReason()});
          s->cv.notify_all();
        },
        nullptr);
  }
  // Waits for the next report (a safety-net time-out gives Invalid).
  std::pair<ConnectionStatus, std::string> next() {
    std::unique_lock<std::mutex> lock(s_->mutex);
    if (!s_->cv.wait_for(lock, std::chrono::seconds(15), [&] { return !s_->seen.empty(); }))
      return {ConnectionStatus::Invalid, "time-out"};
    auto r = s_->seen.front();
    s_->seen.pop_front();
    return r;
  }
  // True when nothing is reported for a while (for what must not happen).
  bool quiet() {
    std::unique_lock<std::mutex> lock(s_->mutex);
    return !s_->cv.wait_for(lock, std::chrono::milliseconds(300),
                            [&] { return !s_->seen.empty(); });
  }
  // Skips repeats of `status` and returns the first other report.
  std::pair<ConnectionStatus, std::string> nextOtherThan(ConnectionStatus status) {
    for (;;) {
      auto r = next();
      if (r.first != status) return r;
    }
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::pair<ConnectionStatus, std::string>> seen;
  };
  std::shared_ptr<State> s_ = std::make_shared<State>();
};

sc::NetworkService pptpService(const std::string& id) {
  sc::NetworkService s;
  s.serviceID = id;
  s.name = "VarnelVPN";
  s.interfaceChain = {sc::kSCNetworkInterfaceTypeIPv4, sc::kSCNetworkInterfaceTypePPTP,
                      sc::kSCNetworkInterfaceTypePPP};
  s.setInterfaceConfiguration(
      sc::kSCNetworkInterfaceTypePPP,
      Value::dictionary({{sc::kSCPropNetPPPAuthName, "alice"},
                         {sc::kSCPropNetPPPAuthPassword, id},
                         {sc::kSCPropNetPPPCommRemoteAddress, "10.9.0.1"}}));
  return s;
}

sc::NetworkService l2tpService(const std::string& id) {
  sc::NetworkService s = pptpService(id);
  s.interfaceChain = {sc::kSCNetworkInterfaceTypeIPv4, sc::kSCNetworkInterfaceTypeL2TP,
                      sc::kSCNetworkInterfaceTypePPP};
  s.setExtendedConfiguration(sc::kSCNetworkInterfaceTypePPP, sc::kSCEntNetIPSec,
                             Value::dictionary({{sc::kSCPropNetIPSecSharedSecret, id + ".SS"}}));
  return s;
}

constexpr const char* kID = "6F1C2D3E-4A5B-4C6D-8E9F-0A1B2C3D4E5F";

// A plugin's ".name" file as the Debian packages install it.
void writePluginFile(const std::string& dir, const std::string& name,
                     const std::string& fileName = {}) {
  ASSERT_TRUE(platform::files::writeFileAtomically(
      dir + "/" + (fileName.empty() ? "nm-" + name + "-service.name" : fileName),
      "[VPN Connection]\nname=" + name + "\nservice=org.freedesktop.NetworkManager." + name +
          "\nprogram=/usr/lib/NetworkManager/nm-" + name + "-service\n"));
}

sc::NetworkService ipsecService(const std::string& id) {
  sc::NetworkService s;
  s.serviceID = id;
  s.name = "VarnelVPN";
  s.interfaceChain = {sc::kSCNetworkInterfaceTypeIPv4, sc::kSCNetworkInterfaceTypeIPSec};
  s.setInterfaceConfiguration(
      sc::kSCNetworkInterfaceTypeIPSec,
      Value::dictionary({{sc::kSCPropNetIPSecRemoteAddress, "vpn.example.net"},
                         {sc::kSCPropNetIPSecXAuthName, "xauth-name"},
                         {sc::kSCPropNetIPSecXAuthPassword, id},
                         {sc::kSCPropNetIPSecXAuthEnabled, 1},
                         {sc::kSCPropNetIPSecSharedSecret, id + ".SS"}}));
  return s;
}

class NMDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!mock.start()) GTEST_SKIP() << mock.skipReason();
    sc::NMConnectionDriver::Options o;
    o.busAddress = mock.address();
    o.pluginDirectories = {root.file("plugins")};
    ASSERT_EQ(::mkdir(root.file("plugins").c_str(), 0700), 0);
    for (const char* p : {"pptp", "l2tp", "vpnc"}) writePluginFile(root.file("plugins"), p);
    // This machine's /dev/ppp may or may not exist: the tests name theirs.
    o.pppDevice = root.file("no-ppp");
    o.tunDevice = "/dev/null";
    o.secretLookup = [this](const std::string& ref) -> std::optional<std::string> {
      auto it = secrets.find(ref);
      if (it == secrets.end()) return std::nullopt;
      return it->second;
    };
    secrets = {{kID, "pw-S3cret"}, {std::string(kID) + ".SS", "psk-Sh4red"}};
    driver = sc::NMConnectionDriver::create(o);
  }

  // Starts the PPTP service and expects the first report: connecting.
  sc::NetworkConnectionPtr startPPTP() {
    auto c = rec.make(kID);
    EXPECT_TRUE(driver->start(c, pptpService(kID))) << c->failureReason();
    EXPECT_EQ(rec.next().first, ConnectionStatus::Connecting);
    return c;
  }

  varnel::testing::TempRoot root;
  varnel::testing::NMMock mock;
  std::map<std::string, std::string> secrets;
  std::shared_ptr<sc::NMConnectionDriver> driver;
  Recorder rec;
};

TEST_F(NMDriverTest, WritesTheProfileActivatesItAndFollowsItToConnectedAndBack) {
  auto c = startPPTP();
  const std::string settings = mock.command("settings");
  EXPECT_NE(settings.find("\"service-type\": \"org.freedesktop.NetworkManager.pptp\""),
            std::string::npos)
      << settings;
  EXPECT_NE(settings.find("\"gateway\": \"10.9.0.1\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"user\": \"alice\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"password-flags\": \"0\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"password\": \"pw-S3cret\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"uuid\": \"6f1c2d3e-4a5b-4c6d-8e9f-0a1b2c3d4e5f\""), std::string::npos)
      << settings;
  EXPECT_NE(settings.find("\"id\": \"VarnelVPN\""), std::string::npos) << settings;

  // The recorded road up: connecting until the VPN and the active
  // connection are both activated.
  EXPECT_EQ(mock.command("replay connect"), "");
  auto up = rec.nextOtherThan(ConnectionStatus::Connecting);
  EXPECT_EQ(up.first, ConnectionStatus::Connected);
  EXPECT_EQ(c->status(), ConnectionStatus::Connected);

  EXPECT_TRUE(driver->stop(c, false));
  EXPECT_EQ(rec.nextOtherThan(ConnectionStatus::Connected).first, ConnectionStatus::Disconnecting);
  auto down = rec.nextOtherThan(ConnectionStatus::Disconnecting);
  EXPECT_EQ(down.first, ConnectionStatus::Disconnected);
  EXPECT_EQ(down.second, "");  // the user's own stop is no failure
  EXPECT_NE(mock.command("calls").find("ActivateConnection,DeactivateConnection"),
            std::string::npos);

  // Starting again updates the one profile instead of adding another;
  // removing the service deletes it.
  auto again = rec.make(kID);
  EXPECT_TRUE(driver->start(again, pptpService(kID)));
  EXPECT_EQ(mock.command("profiles"), "1");
  driver->removeService(kID, "VarnelVPN");
  EXPECT_EQ(mock.command("profiles"), "0");
}

TEST_F(NMDriverTest, L2TPProfileCarriesTheSharedSecret) {
  auto c = rec.make(kID);
  ASSERT_TRUE(driver->start(c, l2tpService(kID))) << c->failureReason();
  const std::string settings = mock.command("settings");
  EXPECT_NE(settings.find("org.freedesktop.NetworkManager.l2tp"), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"ipsec-enabled\": \"yes\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"ipsec-psk\": \"psk-Sh4red\""), std::string::npos) << settings;
}

TEST_F(NMDriverTest, ADropWhileConnectedEndsTheConnectionWithItsReason) {
  auto c = startPPTP();
  mock.command("replay connect");
  EXPECT_EQ(rec.nextOtherThan(ConnectionStatus::Connecting).first, ConnectionStatus::Connected);
  mock.command("replay drop");  // vpnc died: DEACTIVATED, DISCONNECTED (SERVICE_STOPPED)
  auto down = rec.next();
  EXPECT_EQ(down.first, ConnectionStatus::Disconnected);
  // What the system lacks is said only for an attempt that never came up.
  EXPECT_EQ(down.second, "the PPTP connection was lost (the VPN service stopped)");
  // Only one end is reported, whatever follows.
  mock.command("active 4 4");
  EXPECT_EQ(driver->stop(c, false), true);
  mock.command("vpn 5 1");
  EXPECT_TRUE(rec.quiet()) << "unexpected report";
}

TEST_F(NMDriverTest, EveryFailureReasonIsReportedAsReadableText) {
  // NetworkManager's reason in words, never a bare "unknown" nor a bare "no
  // reason", with how far the attempt got, and what this system (as the
  // test names it: no PPP device) lacks.
  for (std::uint32_t reason : {0u, 1u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 99u}) {
    SCOPED_TRACE(reason);
    auto c = startPPTP();
    mock.command("vpn 3 1");
    mock.command("vpn 6 " + std::to_string(reason));  // FAILED
    auto end = rec.nextOtherThan(ConnectionStatus::Connecting);
    EXPECT_EQ(end.first, ConnectionStatus::Disconnected);
    EXPECT_EQ(end.second.find("unknown"), std::string::npos) << end.second;
    if (reason <= 1 || reason == 4 || reason == 7 || reason == 8) {
      EXPECT_EQ(end.second.rfind("the PPTP connection to the server could not be established", 0),
                0u)
          << end.second;
    }
    if (reason > 1) {
      EXPECT_NE(end.second.find(sc::nmStateReasonText(reason)), std::string::npos) << end.second;
    }
    // This system (as the test names it) has no PPP: that is said too.
    EXPECT_NE(end.second.find("; this system cannot run PPP, which PPTP needs ("),
              std::string::npos)
        << end.second;
  }
  EXPECT_NE(sc::nmStateReasonText(9).find("secrets"), std::string::npos);
  EXPECT_NE(sc::nmStateReasonText(10).find("password"), std::string::npos);
  EXPECT_NE(sc::nmStateReasonText(99).find("99"), std::string::npos);
}

TEST_F(NMDriverTest, WithoutAnyReasonTheStageReachedIsSaid) {
  // A machine with the devices the type needs (here /dev/null stands for
  // them), and NetworkManager's reason 0: the message still says what
  // failed, and where the plugin's own words are.
  sc::NMConnectionDriver::Options o;
  o.busAddress = mock.address();
  o.pluginDirectories = {root.file("plugins")};
  o.pppDevice = "/dev/null";
  o.tunDevice = "/dev/null";
  o.secretLookup = [this](const std::string& ref) -> std::optional<std::string> {
    auto it = secrets.find(ref);
    if (it == secrets.end()) return std::nullopt;
    return it->second;
  };
  driver = sc::NMConnectionDriver::create(o);
  const struct {
    std::vector<const char*> steps;
    std::string said;
  } cases[] = {
      {{"vpn 2 1", "vpn 6 0"}, "the PPTP connection could not be started"},
      {{"vpn 2 1", "vpn 3 1", "active 4 0"},
       "the PPTP connection to the server could not be established"},
      {{"vpn 3 1", "vpn 4 1", "vpn 6 1"},
       "the PPTP connection to the server was made, but its IP configuration did not arrive"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.said);
    startPPTP();
    for (const char* step : k.steps) mock.command(step);
    auto end = rec.nextOtherThan(ConnectionStatus::Connecting);
    EXPECT_EQ(end.first, ConnectionStatus::Disconnected);
    EXPECT_EQ(end.second, k.said +
                              "; NetworkManager gave no reason (its log holds the VPN program's "
                              "own messages)");
  }
  // The plugin's failure code alone says what failed.
  startPPTP();
  mock.command("replay pptp-failure");
  EXPECT_EQ(rec.nextOtherThan(ConnectionStatus::Connecting).second,
            "the PPTP program (pppd) could not establish the link");
  // Once up, the end is a loss.
  startPPTP();
  mock.command("replay connect");
  EXPECT_EQ(rec.nextOtherThan(ConnectionStatus::Connecting).first, ConnectionStatus::Connected);
  mock.command("vpn 7 0");
  EXPECT_EQ(rec.next().second,
            "the PPTP connection was lost; NetworkManager gave no reason (its log holds the VPN "
            "program's own messages)");
}

TEST_F(NMDriverTest, RecordedRealFailuresEndWithThePluginsOwnReason) {
  // pppd cannot open /dev/ppp: Failure(CONNECT_FAILED), then reason 0.
  startPPTP();
  EXPECT_EQ(mock.command("replay pptp-failure"), "");
  auto end = rec.nextOtherThan(ConnectionStatus::Connecting);
  EXPECT_EQ(end.first, ConnectionStatus::Disconnected);
  EXPECT_EQ(end.second.rfind("the PPTP program (pppd) could not establish the link; this "
                             "system cannot run PPP",
                             0),
            0u)
      << end.second;
  EXPECT_TRUE(rec.quiet()) << "one end only (the recording ends with a second one)";

  // The plugin that quits before it says why: NetworkManager's reason.
  startPPTP();
  mock.command("replay pptp-service-stopped");
  end = rec.nextOtherThan(ConnectionStatus::Connecting);
  EXPECT_EQ(end.second.rfind("the PPTP connection to the server could not be established (the "
                             "VPN service stopped); this system cannot run PPP",
                             0),
            0u)
      << end.second;

  // L2TP: nothing from the plugin, reason 0.
  auto c = rec.make(kID);
  ASSERT_TRUE(driver->start(c, l2tpService(kID))) << c->failureReason();
  mock.command("replay l2tp-failure");
  end = rec.nextOtherThan(ConnectionStatus::Connecting);
  EXPECT_EQ(end.second.rfind("the L2TP connection to the server could not be established; this "
                             "system cannot run PPP, which L2TP needs",
                             0),
            0u)
      << end.second;
}

TEST_F(NMDriverTest, SignalsFromAnyoneButNetworkManagerAreIgnored) {
  auto c = startPPTP();
  mock.command("vpn 3 1");
  EXPECT_EQ(rec.next().first, ConnectionStatus::Connecting);
  // A local user's forgeries: ACTIVATED, a plugin failure, an end.
  EXPECT_EQ(mock.command("forge vpn 5 1"), "");
  EXPECT_EQ(mock.command("forge active 2 1"), "");
  EXPECT_EQ(mock.command("forge plugin-failure 0"), "");
  EXPECT_EQ(mock.command("forge vpn 7 4"), "");
  EXPECT_TRUE(rec.quiet()) << "a forged signal was believed";
  EXPECT_EQ(c->status(), ConnectionStatus::Connecting);

  // NetworkManager's own ACTIVATED alone, while its properties still say
  // ACTIVATING: not yet connected (the state is read back first).
  mock.command("vpn 5 1");
  EXPECT_TRUE(rec.quiet());
  mock.command("active 2 1");
  EXPECT_EQ(rec.nextOtherThan(ConnectionStatus::Connecting).first, ConnectionStatus::Connected);
  // A forged end changes nothing; the real failure's text is not planted.
  mock.command("forge vpn 7 1");
  mock.command("forge active 4 1");
  EXPECT_TRUE(rec.quiet());
  EXPECT_EQ(c->status(), ConnectionStatus::Connected);
  mock.command("replay deactivate");
  auto end = rec.nextOtherThan(ConnectionStatus::Disconnecting);
  EXPECT_EQ(end.first, ConnectionStatus::Disconnected);
  EXPECT_EQ(end.second, "it was disconnected outside VarnelVPN");
}

TEST_F(NMDriverTest, ACancelWhileConnectingIsNeverConnected) {
  // Ours: DeactivateConnection while connecting; the mock answers with the
  // recorded sequence, VPN ACTIVATED (reason USER_DISCONNECTED) included.
  auto c = startPPTP();
  mock.command("vpn 3 1");
  EXPECT_TRUE(driver->stop(c, false));
  std::vector<ConnectionStatus> seen;
  for (auto r = rec.next(); r.first != ConnectionStatus::Invalid; r = rec.next()) {
    seen.push_back(r.first);
    if (r.first == ConnectionStatus::Disconnected) {
      EXPECT_EQ(r.second, "");
      break;
    }
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), ConnectionStatus::Connected), 0);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), ConnectionStatus::Disconnected);

  // Someone else's (`nmcli connection down`): the recorded IPSec cancel.
  auto ipsec = rec.make(kID);
  ASSERT_TRUE(driver->start(ipsec, ipsecService(kID))) << ipsec->failureReason();
  mock.command("replay ipsec-cancel");
  seen.clear();
  for (auto r = rec.next(); r.first != ConnectionStatus::Invalid; r = rec.next()) {
    seen.push_back(r.first);
    if (r.first == ConnectionStatus::Disconnected) {
      EXPECT_EQ(r.second, "it was disconnected outside VarnelVPN");
      break;
    }
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), ConnectionStatus::Connected), 0);
  EXPECT_TRUE(rec.quiet());
}

TEST_F(NMDriverTest, IPSecProfileIsIKEv1WithGroupKeyAndXAuthInVpncsKeys) {
  secrets[kID] = "xauth-pw";
  secrets[std::string(kID) + ".SS"] = "short-psk";  // no length rule
  auto c = rec.make(kID);
  ASSERT_TRUE(driver->start(c, ipsecService(kID))) << c->failureReason();
  const std::string settings = mock.command("settings");
  for (const char* want : {"\"service-type\": \"org.freedesktop.NetworkManager.vpnc\"",
                           "\"IPSec gateway\": \"vpn.example.net\"", "\"IPSec ID\": \"VarnelVPN\"",
                           "\"IPSec secret-flags\": \"0\"", "\"Xauth username\": \"xauth-name\"",
                           "\"Xauth password-flags\": \"0\"", "\"IPSec secret\": \"short-psk\"",
                           "\"Xauth password\": \"xauth-pw\""})
    EXPECT_NE(settings.find(want), std::string::npos) << want << "\n" << settings;
  // The recorded real failure: vpnc's own.
  mock.command("replay ipsec-failure");
  auto end = rec.nextOtherThan(ConnectionStatus::Connecting);
  EXPECT_EQ(end.second, "the IPSec program (vpnc) could not establish the link") << end.second;
}

TEST_F(NMDriverTest, ValuesThatCouldChangeTheProfileAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* what;
    std::function<void(sc::NetworkService&)> spoil;
    const char* reason;
  };
  auto ppp = [](const char* key, const char* value) {
    return [=](sc::NetworkService& s) {
      Value d = s.interfaceConfiguration(sc::kSCNetworkInterfaceTypePPP).mutableCopy();
      d.set(key, value);
      s.setInterfaceConfiguration(sc::kSCNetworkInterfaceTypePPP, d);
    };
  };
  const Case cases[] = {
      {"gateway with a newline", ppp(sc::kSCPropNetPPPCommRemoteAddress, "10.9.0.1\nuser root"),
       "neither a host name nor an IP address"},
      {"gateway with a space", ppp(sc::kSCPropNetPPPCommRemoteAddress, "a b"), "neither"},
      {"gateway as an option", ppp(sc::kSCPropNetPPPCommRemoteAddress, "-plugin"), "neither"},
      {"user with a newline", ppp(sc::kSCPropNetPPPAuthName, "alice\nplugin x.so"),
       "user name contains control characters"},
      {"user with a tab", ppp(sc::kSCPropNetPPPAuthName, "a\tb"), "user name contains"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    sc::NetworkService s = pptpService(kID);
    k.spoil(s);
    auto c = rec.make(kID);
    EXPECT_FALSE(driver->start(c, s));
    EXPECT_NE(c->failureReason().find(k.reason), std::string::npos) << c->failureReason();
  }
  secrets[kID] = "pw\rnext";
  auto c = rec.make(kID);
  EXPECT_FALSE(driver->start(c, pptpService(kID)));
  EXPECT_NE(c->failureReason().find("password contains"), std::string::npos);
  EXPECT_EQ(c->failureReason().find("next"), std::string::npos) << "the secret is not repeated";
  secrets[kID] = "pw";
  secrets[std::string(kID) + ".SS"] = "psk\x01";
  EXPECT_FALSE(driver->start(c, l2tpService(kID)));
  EXPECT_NE(c->failureReason().find("shared secret may hold only printable"), std::string::npos);
  EXPECT_EQ(mock.command("profiles"), "0");
  EXPECT_TRUE(rec.quiet()) << "a refused start reports nothing";
}

TEST_F(NMDriverTest, NetworkManagerGoingAwayEndsTheConnectionAndLaterStartsFailAtOnce) {
  startPPTP();
  EXPECT_EQ(mock.command("replay ipsec-nm-stops"), "");
  auto end = rec.nextOtherThan(ConnectionStatus::Connecting);
  EXPECT_EQ(end.first, ConnectionStatus::Disconnected);
  EXPECT_NE(end.second.find("NetworkManager stopped"), std::string::npos) << end.second;

  auto c = rec.make(kID);
  EXPECT_FALSE(driver->start(c, pptpService(kID)));
  // The plugin is there (and so NetworkManager, which it needs): the
  // service is what must be started.
  EXPECT_NE(c->failureReason().find("NetworkManager is not running. PPTP connections need it: "
                                    "start NetworkManager"),
            std::string::npos)
      << c->failureReason();
  EXPECT_TRUE(rec.quiet()) << "a failed start reports nothing";
}

TEST_F(NMDriverTest, AMissingPluginOrSecretFailsAtOnceAndSaysWhy) {
  ASSERT_EQ(::unlink((root.file("plugins") + "/nm-l2tp-service.name").c_str()), 0);
  auto c = rec.make(kID);
  EXPECT_FALSE(driver->start(c, l2tpService(kID)));
  EXPECT_NE(c->failureReason().find("\"network-manager-l2tp\""), std::string::npos)
      << c->failureReason();
  ASSERT_EQ(::unlink((root.file("plugins") + "/nm-vpnc-service.name").c_str()), 0);
  EXPECT_FALSE(driver->start(c, ipsecService(kID)));
  EXPECT_NE(c->failureReason().find("\"network-manager-vpnc\""), std::string::npos)
      << c->failureReason();

  secrets.erase(kID);
  EXPECT_FALSE(driver->start(c, pptpService(kID)));
  EXPECT_NE(c->failureReason().find("password"), std::string::npos) << c->failureReason();
  EXPECT_EQ(mock.command("profiles"), "0");
  EXPECT_TRUE(rec.quiet()) << "a failed start reports nothing";
}

TEST(NMDriverPlain, WithoutNetworkManagerEveryStartFailsAndNamesThePackages) {
  varnel::testing::TempRoot root;
  sc::NMConnectionDriver::Options o;
  o.busAddress = "unix:path=/nonexistent/varnel-test-bus";
  o.pluginDirectories = {root.file("usr"), root.file("etc")};
  ASSERT_EQ(::mkdir(root.file("usr").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(root.file("etc").c_str(), 0700), 0);
  o.secretLookup = [](const std::string&) { return std::optional<std::string>("x"); };
  auto driver = sc::NMConnectionDriver::create(o);
  Recorder rec;
  auto c = rec.make(kID);
  // No plugin: the plugin's package is named.
  EXPECT_FALSE(driver->start(c, pptpService(kID)));
  EXPECT_NE(c->failureReason().find("\"network-manager-pptp\""), std::string::npos)
      << c->failureReason();
  // A file of another plugin, or one named like ours that serves another
  // service, is not the plugin.
  writePluginFile(root.file("usr"), "strongswan", "nm-vpnc-service.name");
  EXPECT_FALSE(driver->start(c, ipsecService(kID)));
  EXPECT_NE(c->failureReason().find("\"network-manager-vpnc\""), std::string::npos);
  // The plugin (here in the local folder), but no NetworkManager on the
  // bus: it is to be started.
  writePluginFile(root.file("etc"), "vpnc", "local-vpnc.name");
  EXPECT_FALSE(driver->start(c, ipsecService(kID)));
  EXPECT_NE(c->failureReason().find("start NetworkManager"), std::string::npos)
      << c->failureReason();
  EXPECT_TRUE(driver->stop(c, false)) << "nothing runs, so the stop has nothing to do";
}

}  // namespace

namespace {

TEST(NMValueChecks, GatewaysAreHostNamesOrAddressesOnly) {
  for (const char* good : {"10.9.0.1", "vpn.example.net", "vpn.example.net.", "fd00::1", "::1", "a",
                           "us-east_1.vpn.example", "xn--bcher-kva.example"})
    EXPECT_EQ(sc::nmGatewayProblem(good), "") << good;
  const std::string longLabel(64, 'a');
  std::string longName;
  for (int i = 0; i < 64; ++i) longName += "abc.";
  for (const std::string& bad :
       {std::string(), std::string("10.9.0.1\n"), std::string("a b"), std::string("-o"),
        std::string("a.-b"), std::string("a..b"), std::string("."), std::string("[fd00::1]"),
        std::string("10.9.0.1:443"), std::string("host/path"), std::string("h\xc3\xa9.example"),
        longLabel + ".example", longName, std::string("a\0b", 3)})
    EXPECT_NE(sc::nmGatewayProblem(bad), "") << bad;
}

TEST(NMValueChecks, TextsHoldNoControlsAndKeysArePrintable) {
  EXPECT_EQ(sc::nmTextProblem("user name", "Zoë O'Brien \"x\" \\ $(y)"), "");
  for (const std::string& bad :
       {std::string("a\nb"), std::string("a\rb"), std::string("a\tb"), std::string("a\x7f"),
        std::string("a\0b", 3), std::string("\xff\xfe"), std::string("\xc3")})
    EXPECT_NE(sc::nmTextProblem("user name", bad), "") << bad;
  EXPECT_EQ(sc::nmKeyProblem("shared secret", "sixteen chars ~!"), "");
  for (const std::string& bad :
       {std::string(), std::string("k\n"), std::string("k\xc3\xa9"), std::string("k\x01")})
    EXPECT_NE(sc::nmKeyProblem("shared secret", bad), "") << bad;
  // The reason names the field, never the value.
  const std::string why = sc::nmTextProblem("password", "s3cret\nplugin");
  EXPECT_NE(why.find("password"), std::string::npos);
  EXPECT_EQ(why.find("s3cret"), std::string::npos);
}

}  // namespace

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::optional<std::string> lookUp(const std::string& reference) {
  if (reference == kID) return std::string("pw");
  if (reference == std::string(kID) + ".SS") return std::string("psk");
  return std::nullopt;
}

TEST(NMProfile, EachTypeInItsPluginsKeys) {
  std::string error;
  auto pptp = sc::nmProfileFor(pptpService(kID), lookUp, &error);
  ASSERT_TRUE(pptp) << error;
  EXPECT_EQ(pptp->id, "VarnelVPN");
  EXPECT_EQ(pptp->uuid, "6f1c2d3e-4a5b-4c6d-8e9f-0a1b2c3d4e5f");
  EXPECT_EQ(pptp->serviceType, "org.freedesktop.NetworkManager.pptp");
  // Every type notices a dead server within a minute: LCP echoes (which
  // the PPP plugins turn off when unset), vpnc's dead-peer detection.
  EXPECT_EQ(pptp->data, (Pairs{{"gateway", "10.9.0.1"},
                               {"user", "alice"},
                               {"password-flags", "0"},
                               {"lcp-echo-failure", "3"},
                               {"lcp-echo-interval", "10"},
                               {"require-mppe", "yes"}}));
  EXPECT_EQ(pptp->secrets, (Pairs{{"password", "pw"}}));

  auto l2tp = sc::nmProfileFor(l2tpService(kID), lookUp, &error);
  ASSERT_TRUE(l2tp) << error;
  EXPECT_EQ(l2tp->serviceType, "org.freedesktop.NetworkManager.l2tp");
  EXPECT_EQ(l2tp->data, (Pairs{{"gateway", "10.9.0.1"},
                               {"user", "alice"},
                               {"password-flags", "0"},
                               {"lcp-echo-failure", "3"},
                               {"lcp-echo-interval", "10"},
                               {"ipsec-enabled", "yes"},
                               {"ipsec-psk-flags", "0"}}));
  EXPECT_EQ(l2tp->secrets, (Pairs{{"password", "pw"}, {"ipsec-psk", "psk"}}));

  auto ipsec = sc::nmProfileFor(ipsecService(kID), lookUp, &error);
  ASSERT_TRUE(ipsec) << error;
  EXPECT_EQ(ipsec->serviceType, "org.freedesktop.NetworkManager.vpnc");
  EXPECT_EQ(ipsec->data, (Pairs{{"IPSec gateway", "vpn.example.net"},
                                {"IPSec ID", "VarnelVPN"},
                                {"IPSec secret-flags", "0"},
                                {"NAT Traversal Mode", "natt"},
                                {"DPD idle timeout (our side)", "10"},
                                {"Xauth username", "xauth-name"},
                                {"Xauth password-flags", "0"}}));
  EXPECT_EQ(ipsec->secrets, (Pairs{{"IPSec secret", "psk"}, {"Xauth password", "pw"}}));

  // The client's own IKEv2 configuration: strongSwan's keys.
  sc::NetworkService ikev2;
  ikev2.serviceID = kID;
  ikev2.name = "VarnelVPN IKEv2";
  ikev2.interfaceChain = {sc::kSCNetworkInterfaceTypeIKEv2};
  ikev2.setInterfaceConfiguration(
      sc::kSCNetworkInterfaceTypeIKEv2,
      Value::dictionary({{sc::kSCPropNetIPSecRemoteAddress, "10.9.0.1"},
                         {"LocalIdentifier", "bob_psk"},
                         {sc::kSCPropNetIPSecSharedSecret, std::string(kID) + ".SS"}}));
  auto ike = sc::nmProfileFor(ikev2, lookUp, &error);
  ASSERT_TRUE(ike) << error;
  EXPECT_EQ(ike->serviceType, "org.freedesktop.NetworkManager.strongswan");
  EXPECT_EQ(ike->data, (Pairs{{"address", "10.9.0.1"},
                              {"method", "psk"},
                              {"virtual", "yes"},
                              {"encap", "no"},
                              {"ipcomp", "no"},
                              {"proposal", "no"},
                              {"password-flags", "0"},
                              {"local-identity", "bob_psk"}}));
  EXPECT_EQ(ike->secrets, (Pairs{{"password", "psk"}}));

  // A group of its own, and no XAuth: no XAuth keys at all.
  sc::NetworkService group = ipsecService(kID);
  Value config = group.interfaceConfiguration(sc::kSCNetworkInterfaceTypeIPSec).mutableCopy();
  config.set("LocalIdentifier", "staff");
  config.set(sc::kSCPropNetIPSecXAuthEnabled, 0);
  group.setInterfaceConfiguration(sc::kSCNetworkInterfaceTypeIPSec, config);
  auto plain = sc::nmProfileFor(group, lookUp, &error);
  ASSERT_TRUE(plain) << error;
  EXPECT_EQ(plain->data, (Pairs{{"IPSec gateway", "vpn.example.net"},
                                {"IPSec ID", "staff"},
                                {"IPSec secret-flags", "0"},
                                {"NAT Traversal Mode", "natt"},
                                {"DPD idle timeout (our side)", "10"}}));
  EXPECT_EQ(plain->secrets, (Pairs{{"IPSec secret", "psk"}}));
}

TEST(NMProfile, WhatCannotBeExpressedIsRefusedWithAReason) {
  std::string error;
  sc::NetworkService other = pptpService(kID);
  other.interfaceChain = {sc::kSCNetworkInterfaceTypeIPv4};
  EXPECT_FALSE(sc::nmProfileFor(other, lookUp, &error));
  EXPECT_NE(error.find("no VPN type"), std::string::npos) << error;

  sc::NetworkService noServer = ipsecService(kID);
  Value config = noServer.interfaceConfiguration(sc::kSCNetworkInterfaceTypeIPSec).mutableCopy();
  config.set(sc::kSCPropNetIPSecRemoteAddress, "");
  noServer.setInterfaceConfiguration(sc::kSCNetworkInterfaceTypeIPSec, config);
  EXPECT_FALSE(sc::nmProfileFor(noServer, lookUp, &error));
  EXPECT_NE(error.find("names no server"), std::string::npos) << error;

  EXPECT_FALSE(sc::nmProfileFor(
      l2tpService(kID),
      [](const std::string& r) -> std::optional<std::string> {
        if (r == kID) return std::string("pw");
        return std::nullopt;
      },
      &error));
  EXPECT_NE(error.find("shared secret of the network service is missing"), std::string::npos)
      << error;
  EXPECT_FALSE(sc::nmProfileFor(ipsecService(kID), nullptr, &error));

  // An identifier that is no UUID gives no uuid (the driver refuses it).
  auto odd = sc::nmProfileFor(
      pptpService("not-a-uuid"),
      [](const std::string&) { return std::optional<std::string>("pw"); }, &error);
  ASSERT_TRUE(odd) << error;
  EXPECT_EQ(odd->uuid, "");
}

}  // namespace
