// The user's keychain when no desktop keyring can be reached: no session
// bus at all, then a session bus where no Secret Service answers. Secrets
// then stay in the owner-only file. (The session bus connection is
// process-wide, so each binary uses at most one bus.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/desktop_keyring_fixture.h"
#include "platform/keychain/keychain.h"
#include "platform/keychain/secret_service.h"
#include "platform/system/paths.h"

namespace platform::keychain {
namespace {

using varnel::testing::DesktopSession;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

class KeychainFallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Store::setLogHandler([this](const std::string& line) { notices_.push_back(line); });
    Store::resetFallbackNoticeForTesting();
  }
  void TearDown() override { Store::setLogHandler(nullptr); }
  static Store fileStore() { return Store(paths::userKeychain() + "/items.keychain"); }

  // Stores, reads, replaces and deletes through the user's store and checks
  // that it all happened in the owner-only file.
  void exerciseFileFallback() {
    Store user = Store::user();
    ASSERT_EQ(user.set("VarnelVPN Client", "API", bytes("0123456789abcdefghij")), kSuccess);
    ASSERT_EQ(user.set("VarnelVPN Client", "API", bytes("jihgfedcba9876543210")), kSuccess);
    ASSERT_EQ(user.add("com.varnelvpn.open-ikev2.psk", "VPN", bytes("psk")), kSuccess);
    std::vector<Item> items;
    ASSERT_EQ(fileStore().find("VarnelVPN Client", "API", &items), kSuccess);
    EXPECT_EQ(items[0].data, bytes("jihgfedcba9876543210"));
    ASSERT_EQ(user.find("VarnelVPN Client", "API", &items), kSuccess);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].data, bytes("jihgfedcba9876543210"));
    struct stat st;
    ASSERT_EQ(::stat(fileStore().path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(user.remove("VarnelVPN Client", "API"), kSuccess);
    EXPECT_EQ(user.remove("VarnelVPN Client", "API"), kItemNotFound);
    EXPECT_EQ(user.remove("com.varnelvpn.open-ikev2.psk", "VPN"), kSuccess);
    ASSERT_EQ(notices_.size(), 1u) << "the fallback is logged exactly once";
    EXPECT_NE(notices_[0].find(fileStore().path()), std::string::npos) << notices_[0];
  }

  std::vector<std::string> notices_;
};

TEST_F(KeychainFallbackTest, WithoutASessionBusSecretsStayInTheFile) {
  DesktopSession session;
  EXPECT_FALSE(secret_service::reachable());
  exerciseFileFallback();
}

TEST_F(KeychainFallbackTest, WhenNoSecretServiceAnswersSecretsStayInTheFile) {
  if (!DesktopSession::haveProgram("/usr/bin/dbus-daemon")) GTEST_SKIP() << "no dbus-daemon";
  DesktopSession session;
  ASSERT_TRUE(session.startBus());
  std::string reason;
  EXPECT_FALSE(secret_service::reachable(&reason));
  EXPECT_FALSE(reason.empty());
  exerciseFileFallback();
}

}  // namespace
}  // namespace platform::keychain
