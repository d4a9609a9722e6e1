#include "helper/system_preferences_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "helper/keychain_services.h"
#include "helper_test_util.h"
#include "platform/sysconfig/authorization.h"
#include "support/temp_root.h"
#include "support/wait.h"

namespace sc = platform::sysconfig;
using helper::SystemPreferencesHandler;

namespace {

class ServicesTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    helper_test::sharedLogger();
    driver = std::make_shared<sc::SimulatorDriver>();
    handler = SystemPreferencesHandler::create(driver);
    ASSERT_TRUE(handler);
  }

  std::vector<sc::KeychainItem> items() {
    std::vector<sc::KeychainItem> all;
    handler->keychainServices().keychain().find({}, &all);
    return all;
  }
  std::vector<sc::NetworkService> services() {
    auto prefs = sc::Preferences::create("reader");
    return prefs->allServices();
  }

  std::shared_ptr<sc::SimulatorDriver> driver;
  std::shared_ptr<SystemPreferencesHandler> handler;
};

TEST_F(ServicesTest, PPTPServiceTwiceLeavesOneServiceAndOneItem) {
  handler->CreatePPTPService("vpn1.test", "alice", "secret1");
  handler->CreatePPTPService("vpn2.test", "bob", "secret2");
  auto all = services();
  ASSERT_EQ(all.size(), 1u);
  const sc::NetworkService& s = all[0];
  EXPECT_EQ(s.name, "VarnelVPN");
  EXPECT_EQ(s.interfaceChain, (std::vector<std::string>{"IPv4", "PPTP", "PPP"}));
  platform::Value ppp = s.interfaceConfiguration("PPP");
  EXPECT_EQ(ppp["AuthName"].asString(), "bob");
  EXPECT_EQ(ppp["AuthPassword"].asString(), s.serviceID);  // never the password
  EXPECT_EQ(ppp["CommRemoteAddress"].asString(), "vpn2.test");
  EXPECT_EQ(ppp["Logfile"].asString(), "/var/log/ppp.log");
  EXPECT_EQ(ppp.count(), 15u);
  EXPECT_TRUE(s.protocolConfiguration("IPv4")["OverridePrimary"].asBool());
  auto keys = items();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].label, "VarnelVPN");
  EXPECT_EQ(keys[0].account, "bob");
  EXPECT_EQ(keys[0].service, s.serviceID);
  EXPECT_EQ(keys[0].secret, (platform::Bytes{'s', 'e', 'c', 'r', 'e', 't', '2'}));
  EXPECT_EQ(helper_test::drainLog().find("secret"), std::string::npos);
}

TEST_F(ServicesTest, L2TPAndIPSecServicesKeepSecretsInTheKeychain) {
  handler->CreateL2TPService("l2tp.test", "carol", "pw", "shared");
  auto s = services().at(0);
  EXPECT_EQ(s.extendedConfiguration("PPP", "IPSec")["SharedSecret"].asString(),
            s.serviceID + ".SS");
  EXPECT_EQ(s.extendedConfiguration("L2TP", "IPv4")["AuthName"].asString(), "carol");
  auto keys = items();
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[1].service, s.serviceID + ".SS");
  EXPECT_EQ(keys[1].account, "");
  EXPECT_EQ(keys[1].secret, (platform::Bytes{'s', 'h', 'a', 'r', 'e', 'd'}));

  handler->CreateIPSecService("ipsec.test", "psk");
  s = services().at(0);
  platform::Value ipsec = s.interfaceConfiguration("IPSec");
  EXPECT_EQ(ipsec["RemoteAddress"].asString(), "ipsec.test");
  EXPECT_EQ(ipsec["XAuthPassword"].asString(), s.serviceID);
  EXPECT_EQ(ipsec["XAuthEnabled"].asInt64(), 1);
  keys = items();
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_NE(ipsec["XAuthName"].asString(), keys[0].account);
  EXPECT_EQ(keys[1].secret, (platform::Bytes{'p', 's', 'k'}));
}

TEST_F(ServicesTest, NewServiceGoesToTheTopOfTheOrder) {
  auto prefs = sc::Preferences::create("other");
  prefs->lock(true);
  auto a = prefs->createService({"IPv4"});
  auto b = prefs->createService({"IPv4"});
  prefs->addServiceToCurrentSet(a.serviceID);
  prefs->addServiceToCurrentSet(b.serviceID);
  prefs->commitChanges();
  prefs->unlock();
  handler->CreatePPTPService("s", "u", "p");
  prefs->synchronize();
  auto order = prefs->serviceOrder();
  ASSERT_EQ(order.size(), 3u);
  EXPECT_EQ(order[1], a.serviceID);
  EXPECT_EQ(order[2], b.serviceID);
  EXPECT_EQ(prefs->service(order[0])->name, "VarnelVPN");
}

TEST_F(ServicesTest, DisabledServiceOfTheNameIsNeitherFoundNorRemoved) {
  auto prefs = sc::Preferences::create("other");
  prefs->lock(true);
  auto old = prefs->createService({"IPv4"});
  old.name = "VarnelVPN";
  old.enabled = false;
  prefs->updateService(old);
  prefs->commitChanges();
  prefs->unlock();
  EXPECT_FALSE(handler->GetNetworkService("VarnelVPN"));
  EXPECT_FALSE(handler->ConnectToService("VarnelVPN", nullptr));
  handler->CreatePPTPService("s", "u", "p");
  EXPECT_EQ(services().size(), 2u);
}

TEST_F(ServicesTest, RepeatedStatusesOfOneConnectionAreDroppedOthersAreNot) {
  driver->setStartStatuses({sc::ConnectionStatus::Connecting, sc::ConnectionStatus::Connecting,
                            sc::ConnectionStatus::Connected});
  handler->CreatePPTPService("s", "u", "p");
  std::mutex m;
  std::vector<int> seen;
  auto block = [&](const sc::NetworkConnectionPtr&, sc::ConnectionStatus status, void*) {
    std::lock_guard<std::mutex> lock(m);
    seen.push_back(static_cast<int>(status));
  };
  ASSERT_TRUE(handler->ConnectToService("VarnelVPN", block));
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] {
    std::lock_guard<std::mutex> lock(m);
    return seen.size() == 2;
  }));
  // A second connection starting with the same status is still heard.
  ASSERT_TRUE(handler->ConnectToService("VarnelVPN", block));
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] {
    std::lock_guard<std::mutex> lock(m);
    return seen.size() == 4;
  }));
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 1, 2}));
}

TEST_F(ServicesTest, DisconnectTriesFiveGracefulStopsThenForces) {
  handler->CreatePPTPService("s", "u", "p");
  ASSERT_TRUE(handler->ConnectToService("VarnelVPN", nullptr));
  auto connection = driver->lastConnection();
  driver->setStopResults({false, false, false, false, false});
  handler->DisconnectService(connection);
  EXPECT_EQ(driver->stopCount(), 6);
  EXPECT_EQ(driver->forcedStopCount(), 1);

  driver->setStopResults({false, false, true});
  handler->DisconnectService(connection);
  EXPECT_EQ(driver->stopCount(), 9);
  EXPECT_EQ(driver->forcedStopCount(), 1);
}

TEST(ServicesAuthorization, RefusedRightGivesNoHandler) {
  varnel::testing::TempRoot root;
  helper_test::drainLog();
  sc::Authorization::Options denying;
  denying.policy = [](const std::string&) { return sc::kAuthorizationDenied; };
  EXPECT_FALSE(SystemPreferencesHandler::create(nullptr, {}, {}, denying));
  const std::string log = helper_test::drainLog();
  EXPECT_NE(log.find("Unable to extend rights. Code: -60005"), std::string::npos) << log;
  EXPECT_NE(log.find("Unable to gain authorization."), std::string::npos);
}

class KeychainServicesTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override { helper_test::sharedLogger(); }
  helper::KeychainServices keychain;
};

TEST_F(KeychainServicesTest, CreateUpdatesAnItemWhoseServiceIsTheLabel) {
  ASSERT_TRUE(keychain.CreateEntry("VarnelVPN", "a", "1", "VarnelVPN", {}));
  ASSERT_TRUE(keychain.CreateEntry("VarnelVPN", "b", "2", "other-service", {}));
  std::vector<sc::KeychainItem> all;
  keychain.keychain().find({}, &all);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].account, "b");
  EXPECT_NE(helper_test::drainLog().find("Using existing entry."), std::string::npos);
  EXPECT_FALSE(keychain.UpdateEntry("missing", "x", "y"));
}

TEST_F(KeychainServicesTest, DeleteByLabelKeepsOtherLabelsAndNonAsciiIsUTF8) {
  EXPECT_TRUE(keychain.DeleteEntry("VarnelVPN"));  // empty keychain
  keychain.CreateEntry("VarnelVPN", "a", "pässwörd", "s1", {});
  keychain.CreateEntry("VarnelVPN", "b", "x", "s2", {});
  keychain.CreateEntry("Other", "c", "x", "s3", {});
  auto entry = keychain.GetEntry("s1");
  ASSERT_TRUE(entry);
  EXPECT_EQ(std::string(entry->secret.begin(), entry->secret.end()), "pässwörd");
  EXPECT_TRUE(keychain.DeleteEntry("VarnelVPN"));
  std::vector<sc::KeychainItem> all;
  keychain.keychain().find({}, &all);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].label, "Other");
}

TEST_F(KeychainServicesTest, MissingTrustedPathIsLeftOutQuietly) {
  helper_test::drainLog();
  ASSERT_TRUE(
      keychain.CreateEntry("L", "a", "p", "s", {"/bin/sh", "/usr/libexec/nesssionmanager"}));
  auto entry = keychain.GetEntry("s");
  ASSERT_TRUE(entry);
  ASSERT_EQ(entry->trustedApplications.size(), 2u);  // the test program itself, then /bin/sh
  EXPECT_EQ(entry->trustedApplications[1], "/bin/sh");
  const std::string log = helper_test::drainLog();
  EXPECT_EQ(log.find("Exception in adding a path."), std::string::npos);
  EXPECT_NE(log.find("CREATE RESULT: 0"), std::string::npos);
}

}  // namespace

namespace {

// A refused request writes nothing: the service and keychain items of the
// request before it stay as they were.
TEST_F(ServicesTest, UnusableValuesAreRefusedBeforeAnythingIsWritten) {
  ASSERT_TRUE(handler->CreateL2TPService("vpn1.test", "alice", "secret1", "psk1"));
  const auto before = services();
  const auto itemsBefore = items();
  ASSERT_EQ(before.size(), 1u);
  std::string why;
  EXPECT_FALSE(handler->CreatePPTPService("vpn2.test\nplugin x.so", "bob", "pw", &why));
  EXPECT_EQ(why, "The server address is neither a host name nor an IP address.");
  EXPECT_FALSE(handler->CreatePPTPService("vpn2.test", "bob\r", "pw", &why));
  EXPECT_EQ(why, "The user name contains control characters or line breaks.");
  EXPECT_FALSE(handler->CreateL2TPService("vpn2.test", "bob", "pw\n", "psk", &why));
  EXPECT_EQ(why, "The password contains control characters or line breaks.");
  EXPECT_FALSE(handler->CreateL2TPService("vpn2.test", "bob", "pw", "psk\t", &why));
  EXPECT_EQ(why, "The shared secret may hold only printable characters.");
  EXPECT_FALSE(handler->CreateIPSecService("", "psk", &why));
  EXPECT_EQ(why, "The network service names no server.");
  EXPECT_FALSE(handler->CreateIPSecService("vpn2.test", "", nullptr));  // no reason wanted
  auto after = services();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].serviceID, before[0].serviceID);
  EXPECT_EQ(items().size(), itemsBefore.size());
  // Values a host name, an address or a printable key may hold pass.
  EXPECT_TRUE(handler->CreateIPSecService("fd00::1", "a ~!@#$%^&*()_+ key", &why));
  EXPECT_TRUE(handler->CreatePPTPService("vpn-2.example.net", "Zoë", "pässwörd", &why));
}

}  // namespace
