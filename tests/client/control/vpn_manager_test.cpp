#include "client/core/vpn_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "client/control/control_fixture.h"
#include "client/core/pptp_account.h"
#include "codecs/keychain_store.h"
#include "platform/sysconfig/network_connection.h"
#include "platform/system/file_util.h"
#include "support/nm_mock.h"
#include "support/wait.h"

namespace {

using platform::Value;
using platform::sysconfig::ConnectionStatus;

class VPNManagerTest : public control_test::ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    driver_ = std::make_shared<platform::sysconfig::SimulatorDriver>();
    client::SystemVPNManager::resetSharedManagerForTesting(driver_);
  }
  void TearDown() override {
    client::SystemVPNManager::resetSharedManagerForTesting();
    ControlTest::TearDown();
  }
  client::OpenAccount::Ptr account() {
    return client::OpenAccount::instanceFromDictionary(
        Value::dictionary({{"id", 5},
                           {"ipsec_hostname", "127.0.0.1"},
                           {"ipsec_username", "bob"},
                           {"shared_key", "psk-secret"}}));
  }
  std::shared_ptr<platform::sysconfig::SimulatorDriver> driver_;
};

TEST_F(VPNManagerTest, SetsUpSavesAndStartsTheIKEv2Configuration) {
  auto manager = client::VRVPNManager::create();
  manager->setupIKEv2ConnectionForAccount(account());
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNConnectNotification) == 1; }));
  EXPECT_EQ(driver_->startCount(), 1);

  auto system = client::SystemVPNManager::sharedManager();
  EXPECT_EQ(system->localizedDescription, "VarnelVPN IKEv2 Configuration");
  ASSERT_TRUE(system->protocolConfiguration);
  const client::IKEv2Protocol& p = *system->protocolConfiguration;
  EXPECT_EQ(p.localIdentifier, "bob_psk");
  EXPECT_EQ(p.remoteIdentifier, "bob_psk");
  EXPECT_EQ(p.serverAddress, "127.0.0.1");
  EXPECT_EQ(p.authenticationMethod, client::kIKEv2AuthenticationMethodSharedSecret);
  EXPECT_EQ(p.ikeDiffieHellmanGroup, 2);
  EXPECT_FALSE(p.disconnectOnSleep);
  EXPECT_FALSE(p.sharedSecretReference.empty());
  EXPECT_TRUE(system->onDemandEnabled && system->enabled);
  EXPECT_EQ(codecs::KeychainStore::passwordForService(std::string("com.varnelvpn.open-ikev2.psk"),
                                                      std::string("VPN")),
            "psk-secret");

  // The stored configuration is private and holds no secret itself.
  struct stat st;
  ASSERT_EQ(::stat(client::SystemVPNManager::preferencesPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto text = platform::files::readFile(client::SystemVPNManager::preferencesPath());
  ASSERT_TRUE(text);
  EXPECT_EQ(text->find("psk-secret"), std::string::npos);

  driver_->report(ConnectionStatus::Disconnected);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNDisconnectNotification) == 1; }));
}

TEST_F(VPNManagerTest, OtherAccountsAndFailedStartsAreHandled) {
  auto manager = client::VRVPNManager::create();
  manager->setupIKEv2ConnectionForAccount(
      client::PPTPAccount::instanceFromDictionary(Value::dictionary({{"id", 1}})));
  varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(driver_->startCount(), 0);

  driver_->setStartFails(true);
  manager->setupIKEv2ConnectionForAccount(account());
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNDisconnectNotification) == 1; }));
  EXPECT_EQ(count(client::kVPNConnectNotification), 0);

  manager->setupIPSecAndConnectAccount(account(), [](const platform::Error&) { FAIL(); });
  EXPECT_EQ(client::SystemVPNManager::sharedManager()->localizedDescription,
            "VarnelVPN IPSec Configuration");
  EXPECT_FALSE(client::VRVPNManager::retrieveKeychain("no.such.service", "VPN"));
}

}  // namespace

namespace {

// The client's IKEv2 configuration run by a scripted NetworkManager: it is
// connected only when NetworkManager says so, and a failure ends it with
// its reason in the client's log.
class VPNManagerOverNMTest : public control_test::ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    client::SystemVPNManager::resetSharedManagerForTesting();
    if (!mock_.start()) GTEST_SKIP() << mock_.skipReason();
    client::SystemVPNManager::resetSharedManagerForTesting(
        client::SystemVPNManager::systemDriver(mock_.address()));
  }
  void TearDown() override {
    client::SystemVPNManager::resetSharedManagerForTesting();
    mock_.stop();
    ControlTest::TearDown();
  }
  client::OpenAccount::Ptr account() {
    return client::OpenAccount::instanceFromDictionary(
        Value::dictionary({{"id", 5},
                           {"ipsec_hostname", "10.9.0.1"},
                           {"ipsec_username", "bob"},
                           {"shared_key", "psk-secret-long-enough-for-ikev2"}}));
  }
  varnel::testing::NMMock mock_;
};

TEST_F(VPNManagerOverNMTest, IKEv2IsConnectedOnlyWhenNetworkManagerSaysSo) {
  auto manager = client::VRVPNManager::create();
  manager->setupIKEv2ConnectionForAccount(account());
  // The profile: strongSwan, the account's server and identities, the
  // shared secret from the user's keychain, owned by this user.
  std::string settings;
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] {
    settings = mock_.command("settings");
    return settings.find("strongswan") != std::string::npos;
  }));
  EXPECT_NE(settings.find("\"address\": \"10.9.0.1\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"local-identity\": \"bob_psk\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"method\": \"psk\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"password\": \"psk-secret-long-enough-for-ikev2\""), std::string::npos)
      << settings;
  EXPECT_NE(settings.find("\"permissions\": [\"user:"), std::string::npos) << settings;
  EXPECT_EQ(count(client::kVPNConnectNotification), 0);

  // NetworkManager's recorded road up (the active connection and the VPN
  // both become ACTIVATED).
  mock_.command("replay connect");
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNConnectNotification) == 1; }));
  mock_.command("vpn 7 6");  // the server stopped answering
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNDisconnectNotification) == 1; }));
  EXPECT_EQ(client::SystemVPNManager::sharedManager()->failureReason(),
            "the connection attempt timed out");
}

TEST_F(VPNManagerOverNMTest, AFailedIKEv2AttemptIsNeverShownAsConnected) {
  auto manager = client::VRVPNManager::create();
  manager->setupIKEv2ConnectionForAccount(account());
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return mock_.command("settings").find("strongswan") != std::string::npos; }));
  mock_.command("vpn 6 10");  // FAILED, LOGIN_FAILED
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return count(client::kVPNDisconnectNotification) == 1; }));
  EXPECT_EQ(count(client::kVPNConnectNotification), 0);
  EXPECT_NE(client::SystemVPNManager::sharedManager()->failureReason().find("login"),
            std::string::npos);
}

}  // namespace
