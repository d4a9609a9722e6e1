#include "platform/keychain/keychain.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/system/paths.h"
#include "support/temp_dir.h"

namespace platform::keychain {
namespace {

class KeychainTest : public ::testing::Test {
 protected:
  Store store() const { return Store(dir_ + "/sub/items.keychain"); }
  static Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
  varnel::testing::TempDir tmp_{"keychain"};
  const std::string dir_ = tmp_.path();
};

TEST_F(KeychainTest, AddFindRemove) {
  Store s = store();
  EXPECT_EQ(s.find("svc", "acct", nullptr), kItemNotFound);
  EXPECT_EQ(s.add("svc", "acct", bytes("secret")), kSuccess);
  EXPECT_EQ(s.add("svc", "acct", bytes("other")), kDuplicateItem);
  EXPECT_EQ(s.add("svc", "second", bytes("2")), kSuccess);
  EXPECT_EQ(s.add("other", "acct", bytes("3")), kSuccess);

  std::vector<Item> items;
  ASSERT_EQ(s.find("svc", std::nullopt, &items), kSuccess);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].account, "acct");
  EXPECT_EQ(items[0].data, bytes("secret"));
  ASSERT_EQ(s.find(std::nullopt, std::nullopt, &items), kSuccess);
  EXPECT_EQ(items.size(), 3u);

  EXPECT_EQ(s.remove("svc", "acct"), kSuccess);
  EXPECT_EQ(s.remove("svc", "acct"), kItemNotFound);
  EXPECT_EQ(s.find("svc", "acct", &items), kItemNotFound);
}

TEST_F(KeychainTest, FilesAreOwnerOnly) {
  Store s = store();
  ASSERT_EQ(s.set("svc", "acct", bytes("secret")), kSuccess);
  struct stat st;
  ASSERT_EQ(::stat(s.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((dir_ + "/sub").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(KeychainTest, SetReplacesInPlace) {
  Store s = store();
  ASSERT_EQ(s.set("svc", "acct", bytes("one")), kSuccess);
  ASSERT_EQ(s.set("svc", "acct", bytes("two")), kSuccess);
  std::vector<Item> items;
  ASSERT_EQ(s.find("svc", "acct", &items), kSuccess);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].data, bytes("two"));
  EXPECT_LE(items[0].creationDate, items[0].modificationDate);
}

TEST_F(KeychainTest, FailedWriteKeepsTheStoredItem) {
  Store s = store();
  ASSERT_EQ(s.set("svc", "acct", bytes("old")), kSuccess);
  // Make every file write beyond 4 KiB fail, as a full disk would.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previous = signal(SIGXFSZ, SIG_IGN);
  struct rlimit tight = saved;
  tight.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  const Status status = s.set("svc", "acct", Bytes(64 * 1024, 'x'));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_NE(status, kSuccess);
  std::vector<Item> items;
  ASSERT_EQ(s.find("svc", "acct", &items), kSuccess);
  EXPECT_EQ(items[0].data, bytes("old"));
}

TEST_F(KeychainTest, UndecodableStoreIsReportedAndKept) {
  Store s = store();
  ASSERT_EQ(s.set("svc", "acct", bytes("secret")), kSuccess);
  { std::ofstream(s.path(), std::ios::binary | std::ios::trunc) << "garbage"; }
  EXPECT_EQ(s.find("svc", "acct", nullptr), kDecode);
  EXPECT_EQ(s.set("svc", "acct", bytes("new")), kDecode);
  std::ifstream in(s.path());
  std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(contents, "garbage");
}

TEST_F(KeychainTest, ConcurrentWritersLoseNothing) {
  Store s = store();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(s.add("svc", std::to_string(t) + "-" + std::to_string(i), bytes("v")), kSuccess);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<Item> items;
  ASSERT_EQ(s.find("svc", std::nullopt, &items), kSuccess);
  EXPECT_EQ(items.size(), 40u);
}

TEST_F(KeychainTest, UserAndSystemStoresFollowThePaths) {
  setenv("VARNEL_ROOT", dir_.c_str(), 1);
  EXPECT_EQ(Store::system().path(), paths::systemKeychain() + "/items.keychain");
  EXPECT_EQ(Store::system().path().rfind(dir_, 0), 0u);
  EXPECT_EQ(Store::user().path(), paths::userKeychain() + "/items.keychain");
  unsetenv("VARNEL_ROOT");
  EXPECT_EQ(statusMessage(kItemNotFound), "The specified item could not be found in the keychain.");
  EXPECT_FALSE(statusMessage(12345).has_value());
}

}  // namespace
}  // namespace platform::keychain
