#include "codecs/keychain_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "codecs/keychain_store_query.h"
#include "support/temp_root.h"

namespace codecs {
namespace {

using platform::Error;

// The operations work on the user's store of a temporary home; with no
// session bus to find, that store is its owner-only file.
class KeychainStoreTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS")) savedBus_ = bus;
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  void TearDown() override {
    if (savedBus_) ::setenv("DBUS_SESSION_BUS_ADDRESS", savedBus_->c_str(), 1);
  }
  std::optional<std::string> savedBus_;
};

TEST_F(KeychainStoreTest, WriteTwiceKeepsOneItemWithTheSecondValue) {
  EXPECT_TRUE(KeychainStore::setPassword("first", "VarnelVPN Client", "API"));
  EXPECT_TRUE(KeychainStore::setPassword("second", "VarnelVPN Client", "API"));
  EXPECT_EQ(KeychainStore::passwordForService("VarnelVPN Client", "API"), "second");
  platform::Value accounts = KeychainStore::accountsForService("VarnelVPN Client");
  ASSERT_EQ(accounts.count(), 1u);
  EXPECT_EQ(accounts[0][kKeychainAttrAccount].asString(), "API");
  EXPECT_EQ(accounts[0][kKeychainAttrService].asString(), "VarnelVPN Client");
}

TEST_F(KeychainStoreTest, EmptySecretReadsAsNone) {
  EXPECT_TRUE(KeychainStore::setPasswordData(platform::Bytes{}, "svc", "acct"));
  EXPECT_FALSE(KeychainStore::passwordForService("svc", "acct").has_value());
  EXPECT_TRUE(KeychainStore::passwordDataForService("svc", "acct").has_value());
}

TEST_F(KeychainStoreTest, MissingItems) {
  Error error;
  EXPECT_FALSE(KeychainStore::passwordForService("svc", "acct", &error).has_value());
  EXPECT_EQ(error.domain(), kKeychainStoreErrorDomain);
  EXPECT_EQ(error.code(), platform::keychain::kItemNotFound);
  Error del;
  EXPECT_FALSE(KeychainStore::deletePasswordForService("svc", "acct", &del));
  EXPECT_EQ(del.code(), platform::keychain::kItemNotFound);
  Error all;
  EXPECT_TRUE(KeychainStore::allAccounts(&all).isNone());
  EXPECT_EQ(all.code(), platform::keychain::kItemNotFound);
}

TEST_F(KeychainStoreTest, FetchOfAMissingItemFailsWithOrWithoutAnErrorPlace) {
  ASSERT_TRUE(KeychainStore::setPassword("s", "svc", "other"));
  KeychainStoreQuery query;
  query.setService("svc");
  query.setAccount("acct");
  query.setPasswordData(platform::Bytes{1, 2});
  EXPECT_FALSE(query.fetch());
  EXPECT_FALSE(query.passwordData().has_value()) << "no stale secret after a failed fetch";
  Error error;
  EXPECT_FALSE(query.fetch(&error));
  EXPECT_EQ(error.code(), platform::keychain::kItemNotFound);
  query.setAccount("other");
  EXPECT_TRUE(query.fetch());
  EXPECT_EQ(query.password(), "s");
}

TEST_F(KeychainStoreTest, InvalidArgumentsTouchNothing) {
  auto check = [](const Error& e) {
    EXPECT_EQ(e.code(), kKeychainStoreInvalidArguments);
    EXPECT_EQ(e.localizedDescription(), "Some of the arguments were invalid");
  };
  Error e1, e2, e3, e4, e5;
  EXPECT_FALSE(KeychainStore::passwordForService(std::nullopt, "acct", &e1));
  check(e1);
  EXPECT_FALSE(KeychainStore::setPassword("x", "svc", std::nullopt, &e2));
  check(e2);
  EXPECT_FALSE(KeychainStore::setPassword(std::nullopt, "svc", "acct", &e3));
  check(e3);
  EXPECT_FALSE(KeychainStore::deletePasswordForService("svc", std::nullopt, &e4));
  check(e4);
  EXPECT_FALSE(KeychainStore::setPasswordData(std::nullopt, "svc", "acct", &e5));
  check(e5);
  EXPECT_TRUE(KeychainStore::allAccounts().isNone()) << "nothing was written";
}

TEST_F(KeychainStoreTest, DeleteAndQueryAndErrors) {
  ASSERT_TRUE(KeychainStore::setPassword("s", "svc", "acct"));
  EXPECT_TRUE(KeychainStore::deletePasswordForService("svc", "acct"));
  EXPECT_FALSE(KeychainStore::passwordForService("svc", "acct").has_value());

  platform::Value q = KeychainStore::_queryForService("svc", std::nullopt);
  EXPECT_EQ(q.count(), 2u);
  EXPECT_EQ(q[kKeychainAttrClass].asString(), kKeychainClassGenericPassword);
  EXPECT_TRUE(KeychainStore::_errorWithCode(0).isNone());
  EXPECT_EQ(
      KeychainStore::_errorWithCode(777).userInfo()[platform::kLocalizedDescriptionKey].isNone(),
      true);
}

}  // namespace
}  // namespace codecs
