#include "codecs/keychain_store_query.h"

#include <gtest/gtest.h>

#include "codecs/keychain_store.h"
#include "support/temp_root.h"

using codecs::KeychainStoreQuery;
using platform::Value;

namespace {

class KeychainStoreQueryTest : public varnel::testing::TempRootTest {
 protected:
  KeychainStoreQuery named(const char* service, const char* account) {
    KeychainStoreQuery q;
    q.setService(service);
    q.setAccount(account);
    return q;
  }
};

TEST_F(KeychainStoreQueryTest, SaveNeedsServiceAccountAndData) {
  KeychainStoreQuery q;
  q.setService("svc");
  q.setPassword("pw");
  platform::Error error;
  EXPECT_FALSE(q.save(&error));
  EXPECT_EQ(error.domain(), "com.brantlow.keychainstore");
  EXPECT_EQ(error.code(), -1001);
  EXPECT_TRUE(codecs::KeychainStore::allAccounts().isNone());  // nothing written
}

TEST_F(KeychainStoreQueryTest, SaveTwiceUpdatesAndKeychainStoreSeesIt) {
  KeychainStoreQuery q = named("svc", "acct");
  q.setPassword("first");
  ASSERT_TRUE(q.save());
  q.setPassword("second");
  ASSERT_TRUE(q.save());
  EXPECT_EQ(q.fetchAll().count(), 1u);
  EXPECT_EQ(codecs::KeychainStore::passwordForService("svc", "acct"), "second");

  KeychainStoreQuery reader = named("svc", "acct");
  ASSERT_TRUE(reader.fetch());
  EXPECT_EQ(reader.password(), "second");
  ASSERT_TRUE(reader.deleteItem());
  platform::Error error;
  EXPECT_FALSE(reader.deleteItem(&error));
  EXPECT_EQ(error.code(), -25300);
}

TEST_F(KeychainStoreQueryTest, FetchOfMissingItemFailsWithOrWithoutAnErrorPlace) {
  KeychainStoreQuery q = named("none", "nobody");
  EXPECT_FALSE(q.fetch());
  EXPECT_FALSE(q.password());
  platform::Error error;
  EXPECT_FALSE(q.fetch(&error));
  EXPECT_EQ(error.code(), -25300);
  EXPECT_TRUE(q.fetchAll().isNone());
}

TEST_F(KeychainStoreQueryTest, PasswordObjectRoundTripsAndQueryHasThreeKeys) {
  KeychainStoreQuery q = named("svc", "acct");
  q.setPasswordObject(Value::dictionary({{"token", "abc"}, {"n", 3}}));
  EXPECT_EQ(q.passwordObject()["token"].asString(), "abc");
  EXPECT_EQ(q.query().count(), 3u);
  q.setPasswordData(platform::Bytes{});
  EXPECT_FALSE(q.password());
  EXPECT_TRUE(q.passwordObject().isNone());
}

}  // namespace
