// The network-services stand-in of the platform layer: preferences file,
// System keychain items, authorization and the simulated connection driver.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sysconfig/authorization.h"
#include "platform/sysconfig/network_connection.h"
#include "platform/sysconfig/preferences.h"
#include "platform/sysconfig/system_keychain.h"
#include "support/temp_root.h"

namespace sc = platform::sysconfig;
using platform::Value;

namespace {

unsigned modeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class SysconfigTest : public varnel::testing::TempRootTest {};

TEST_F(SysconfigTest, ServicesSurviveCommitAndUncommittedChangesDoNot) {
  auto prefs = sc::Preferences::create("test");
  ASSERT_TRUE(prefs->lock(true));
  sc::NetworkService s = prefs->createService({"IPv4", "PPTP", "PPP"});
  s.name = "VarnelVPN";
  s.setInterfaceConfiguration("PPP", Value::dictionary({{"AuthName", "alice"}}));
  ASSERT_TRUE(prefs->updateService(s));
  ASSERT_TRUE(prefs->addServiceToCurrentSet(s.serviceID));
  EXPECT_FALSE(prefs->addServiceToCurrentSet(s.serviceID));
  ASSERT_TRUE(prefs->commitChanges());
  ASSERT_TRUE(prefs->unlock());
  EXPECT_EQ(modeOf(prefs->path()), 0600u);

  auto other = sc::Preferences::create("other");
  auto loaded = other->service(s.serviceID);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->name, "VarnelVPN");
  EXPECT_EQ(loaded->interfaceChain, (std::vector<std::string>{"IPv4", "PPTP", "PPP"}));
  EXPECT_EQ(loaded->interfaceConfiguration("PPP")["AuthName"].asString(), "alice");
  EXPECT_EQ(other->serviceOrder(), std::vector<std::string>{s.serviceID});

  other->removeService(s.serviceID);
  other->synchronize();
  EXPECT_TRUE(other->service(s.serviceID));
  EXPECT_FALSE(other->removeService("missing"));
}

TEST_F(SysconfigTest, LockSerialisesHandles) {
  auto a = sc::Preferences::create("a");
  auto b = sc::Preferences::create("b");
  ASSERT_TRUE(a->lock(true));
  EXPECT_FALSE(a->lock(true));  // not re-entrant
  EXPECT_FALSE(b->lock(false));
  a->unlock();
  EXPECT_TRUE(b->lock(false));
  b->unlock();
}

TEST_F(SysconfigTest, KeychainItemsByLabelAccountAndService) {
  sc::SystemKeychain keychain;
  sc::KeychainItem one{0, "VarnelVPN", "alice", "svc-1", "VarnelVPN", {'p', 'w'}, {"/bin/sh"}};
  sc::KeychainItem two{0, "Other", "", "svc-2", "Other", {'s'}, {}};
  ASSERT_EQ(keychain.add(&one), platform::keychain::kSuccess);
  ASSERT_EQ(keychain.add(&two), platform::keychain::kSuccess);
  sc::KeychainItem dup = one;
  EXPECT_EQ(keychain.add(&dup), platform::keychain::kDuplicateItem);
  EXPECT_EQ(modeOf(keychain.path()), 0600u);

  std::vector<sc::KeychainItem> found;
  sc::KeychainQuery byLabel;
  byLabel.label = "VarnelVPN";
  ASSERT_EQ(keychain.find(byLabel, &found), platform::keychain::kSuccess);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].account, "alice");
  EXPECT_EQ(found[0].trustedApplications, std::vector<std::string>{"/bin/sh"});

  found[0].secret = {'n', 'e', 'w'};
  ASSERT_EQ(keychain.update(found[0]), platform::keychain::kSuccess);
  ASSERT_EQ(keychain.remove(two.itemID), platform::keychain::kSuccess);
  EXPECT_EQ(keychain.remove(two.itemID), platform::keychain::kItemNotFound);
  ASSERT_EQ(keychain.find({}, &found), platform::keychain::kSuccess);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].secret, (platform::Bytes{'n', 'e', 'w'}));
}

TEST_F(SysconfigTest, ConcurrentKeychainWritersLoseNothing) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      sc::SystemKeychain keychain;
      for (int i = 0; i < 10; ++i) {
        sc::KeychainItem item;
        item.service = "s" + std::to_string(t * 100 + i);
        keychain.add(&item);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<sc::KeychainItem> all;
  sc::SystemKeychain().find({}, &all);
  EXPECT_EQ(all.size(), 40u);
}

TEST_F(SysconfigTest, AuthorizationFollowsThePolicy) {
  sc::AuthorizationStatus status = -1;
  auto auth = sc::Authorization::create(&status);
  ASSERT_TRUE(auth);
  sc::Authorization::Options denying;
  denying.policy = [](const std::string&) { return sc::kAuthorizationDenied; };
  auto denied = sc::Authorization::create(&status, denying);
  ASSERT_TRUE(denied);
  EXPECT_EQ(denied->copyRights(sc::kAuthorizationRightAdmin, 0), sc::kAuthorizationDenied);
  EXPECT_FALSE(denied->hasRight(sc::kAuthorizationRightAdmin));
  // A policy given to one reference is not another's.
  EXPECT_EQ(auth->copyRights(sc::kAuthorizationRightAdmin, 0),
            ::geteuid() == 0 ? sc::kAuthorizationSuccess : sc::kAuthorizationDenied);
  sc::Authorization::Options failing;
  failing.createStatus = sc::kAuthorizationInternal;
  EXPECT_FALSE(sc::Authorization::create(&status, failing));
  EXPECT_EQ(status, sc::kAuthorizationInternal);
  EXPECT_TRUE(sc::Authorization::create(&status));
  EXPECT_EQ(status, sc::kAuthorizationSuccess);
}

TEST_F(SysconfigTest, SimulatedConnectionReportsInOrder) {
  auto prefs = sc::Preferences::create("test");
  prefs->lock(true);
  sc::NetworkService s = prefs->createService({"IPv4", "IPSec"});
  prefs->commitChanges();
  prefs->unlock();

  auto driver = std::make_shared<sc::SimulatorDriver>();
  driver->setStartStatuses({sc::ConnectionStatus::Connecting, sc::ConnectionStatus::Connecting,
                            sc::ConnectionStatus::Connected});
  // The callback runs on another thread and may still be unwinding (the
  // lock released after the signal) when the test body ends: what it
  // touches is shared with it, not borrowed from this frame.
  struct Seen {
    std::mutex m;
    std::vector<sc::ConnectionStatus> statuses;
    platform::dispatch::Semaphore done;
  };
  auto shared = std::make_shared<Seen>();
  auto connection = sc::NetworkConnection::create(
      s.serviceID,
      [shared](const sc::NetworkConnectionPtr&, sc::ConnectionStatus status, void*) {
        std::lock_guard<std::mutex> lock(shared->m);
        shared->statuses.push_back(status);
        if (shared->statuses.size() == 5) shared->done.signal();
      },
      nullptr, {}, driver);
  ASSERT_TRUE(connection->start(Value(), false));
  driver->setStopResults({false});
  EXPECT_FALSE(connection->stop(false));
  EXPECT_TRUE(connection->stop(false));
  ASSERT_TRUE(shared->done.wait(std::chrono::seconds(10)));
  std::vector<sc::ConnectionStatus> seen;
  {
    std::lock_guard<std::mutex> lock(shared->m);
    seen = shared->statuses;
  }
  EXPECT_EQ(seen, (std::vector<sc::ConnectionStatus>{
                      sc::ConnectionStatus::Connecting, sc::ConnectionStatus::Connecting,
                      sc::ConnectionStatus::Connected, sc::ConnectionStatus::Disconnecting,
                      sc::ConnectionStatus::Disconnected}));
  EXPECT_EQ(driver->stopCount(), 2);

  auto missing = sc::NetworkConnection::create("no-such-service", nullptr, nullptr, {}, driver);
  EXPECT_FALSE(missing->start(Value(), false));
  // A connection without a driver fails to start and says why.
  auto driverless = sc::NetworkConnection::create(s.serviceID, nullptr, nullptr);
  EXPECT_FALSE(driverless->start(Value(), false));
  EXPECT_FALSE(driverless->failureReason().empty());
}

}  // namespace
