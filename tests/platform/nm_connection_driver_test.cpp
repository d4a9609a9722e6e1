// The NetworkManager connection driver against a scripted NetworkManager
// (python3-dbusmock's template on a private bus): the profile it writes, the
// statuses it reports for NetworkManager's VPN state signals, every failure
// reason, and NetworkManager going away.
#include "platform/sysconfig/nm_connection_driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
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

class NMDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!mock.start()) GTEST_SKIP() << mock.skipReason();
    sc::NMConnectionDriver::Options o;
    o.busAddress = mock.address();
    o.pluginDirectory = root.file("plugins");
    ASSERT_EQ(::mkdir(o.pluginDirectory.c_str(), 0700), 0);
    for (const char* p : {"pptp", "l2tp", "strongswan"})
      ASSERT_TRUE(platform::files::writeFileAtomically(
          o.pluginDirectory + "/nm-" + p + "-service.name", ""));
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

  // PREPARE, CONNECT: still connecting; ACTIVATED: connected.
  mock.command("vpn 1 1");
  mock.command("vpn 3 1");
  mock.command("vpn 5 1");
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
  mock.command("vpn 5 1");
  EXPECT_EQ(rec.nextOtherThan(ConnectionStatus::Connecting).first, ConnectionStatus::Connected);
  mock.command("vpn 7 4");  // DISCONNECTED, SERVICE_STOPPED
  auto down = rec.next();
  EXPECT_EQ(down.first, ConnectionStatus::Disconnected);
  EXPECT_EQ(down.second, "the VPN service stopped");
  // Only one end is reported, whatever follows.
  mock.command("active 4 4");
  EXPECT_EQ(driver->stop(c, false), true);
  mock.command("vpn 5 1");
  EXPECT_TRUE(rec.quiet()) << "unexpected report";
}

TEST_F(NMDriverTest, EveryFailureReasonIsReportedAsReadableText) {
  for (std::uint32_t reason : {0u, 5u, 6u, 7u, 8u, 9u, 10u, 11u}) {
    SCOPED_TRACE(reason);
    auto c = startPPTP();
    mock.command("vpn 3 1");
    mock.command("vpn 6 " + std::to_string(reason));  // FAILED
    auto end = rec.nextOtherThan(ConnectionStatus::Connecting);
    EXPECT_EQ(end.first, ConnectionStatus::Disconnected);
    EXPECT_EQ(end.second, sc::nmStateReasonText(reason));
    EXPECT_FALSE(end.second.empty());
  }
  EXPECT_NE(sc::nmStateReasonText(9).find("secrets"), std::string::npos);
  EXPECT_NE(sc::nmStateReasonText(10).find("password"), std::string::npos);
}

TEST_F(NMDriverTest, APluginFailureExplainsAnUnknownReason) {
  // What the PPTP plugin does when pppd cannot run: Failure(CONNECT_FAILED),
  // then the active connection ends with reason UNKNOWN.
  startPPTP();
  EXPECT_EQ(mock.command("plugin-failure 1"), "");
  EXPECT_EQ(mock.command("active 4 0").rfind("error", 0), std::string::npos);
  auto end = rec.nextOtherThan(ConnectionStatus::Connecting);
  EXPECT_EQ(end.first, ConnectionStatus::Disconnected);
  EXPECT_EQ(end.second, "the VPN program could not establish the link");
}

TEST_F(NMDriverTest, NetworkManagerGoingAwayEndsTheConnectionAndLaterStartsFailAtOnce) {
  startPPTP();
  EXPECT_EQ(mock.command("vpn 3 1").rfind("error", 0), std::string::npos);
  EXPECT_EQ(mock.command("stop-nm"), "");
  auto end = rec.nextOtherThan(ConnectionStatus::Connecting);
  EXPECT_EQ(end.first, ConnectionStatus::Disconnected);
  EXPECT_NE(end.second.find("NetworkManager stopped"), std::string::npos) << end.second;

  auto c = rec.make(kID);
  EXPECT_FALSE(driver->start(c, pptpService(kID)));
  EXPECT_NE(c->failureReason().find("\"network-manager\""), std::string::npos)
      << c->failureReason();
  EXPECT_NE(c->failureReason().find("\"network-manager-pptp\""), std::string::npos);
  EXPECT_TRUE(rec.quiet()) << "a failed start reports nothing";
}

TEST_F(NMDriverTest, AMissingPluginOrSecretFailsAtOnceAndSaysWhy) {
  ASSERT_EQ(::unlink((root.file("plugins") + "/nm-l2tp-service.name").c_str()), 0);
  auto c = rec.make(kID);
  EXPECT_FALSE(driver->start(c, l2tpService(kID)));
  EXPECT_NE(c->failureReason().find("\"network-manager-l2tp\""), std::string::npos)
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
  o.pluginDirectory = root.path();
  o.secretLookup = [](const std::string&) { return std::optional<std::string>("x"); };
  auto driver = sc::NMConnectionDriver::create(o);
  Recorder rec;
  auto c = rec.make(kID);
  // No plugin: the plugin's package is named.
  EXPECT_FALSE(driver->start(c, pptpService(kID)));
  EXPECT_NE(c->failureReason().find("\"network-manager-pptp\""), std::string::npos)
      << c->failureReason();
  // The plugin, but no NetworkManager on the bus: both packages are named.
  ASSERT_TRUE(platform::files::writeFileAtomically(root.file("nm-strongswan-service.name"), ""));
  sc::NetworkService ipsec;
  ipsec.serviceID = kID;
  ipsec.name = "VarnelVPN";
  ipsec.interfaceChain = {sc::kSCNetworkInterfaceTypeIPv4, sc::kSCNetworkInterfaceTypeIPSec};
  ipsec.setInterfaceConfiguration(
      sc::kSCNetworkInterfaceTypeIPSec,
      Value::dictionary({{sc::kSCPropNetIPSecRemoteAddress, "10.9.0.1"},
                         {sc::kSCPropNetIPSecSharedSecret, std::string(kID) + ".SS"}}));
  EXPECT_FALSE(driver->start(c, ipsec));
  EXPECT_NE(c->failureReason().find("\"network-manager\""), std::string::npos)
      << c->failureReason();
  EXPECT_NE(c->failureReason().find("\"network-manager-strongswan\""), std::string::npos);
  EXPECT_TRUE(driver->stop(c, false)) << "nothing runs, so the stop has nothing to do";
}

}  // namespace
