// The user's keychain with a desktop keyring that answers but stays locked,
// so it refuses every write: nothing is lost, the secrets stay in (or go to)
// the owner-only file.
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

class LockedKeyringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Store::setLogHandler([this](const std::string& line) { notices_.push_back(line); });
    Store::resetFallbackNoticeForTesting();
  }
  void TearDown() override { Store::setLogHandler(nullptr); }
  static Store fileStore() { return Store(paths::userKeychain() + "/items.keychain"); }

  std::vector<std::string> notices_;
};

TEST_F(LockedKeyringTest, ALockedKeyringLosesNothing) {
  if (!DesktopSession::haveProgram("/usr/bin/dbus-daemon") ||
      !DesktopSession::haveProgram("/usr/bin/gnome-keyring-daemon"))
    GTEST_SKIP() << "no dbus-daemon or gnome-keyring";
  DesktopSession session;
  ASSERT_TRUE(session.startBus());
  ASSERT_TRUE(session.startKeyring(false));
  ASSERT_EQ(fileStore().set("VarnelVPN Client", "API", bytes("kept-key")), kSuccess);

  // The keyring answers but refuses to store: the item stays in the file.
  std::vector<Item> items;
  ASSERT_EQ(Store::user().find("VarnelVPN Client", "API", &items), kSuccess);
  EXPECT_EQ(items[0].data, bytes("kept-key"));
  ASSERT_EQ(fileStore().find("VarnelVPN Client", "API", &items), kSuccess);
  EXPECT_EQ(items[0].data, bytes("kept-key"));

  // A write the keyring refuses goes to the file.
  ASSERT_EQ(Store::user().set("com.varnelvpn.open-ikev2.pw", "VPN", bytes("pw")), kSuccess);
  ASSERT_EQ(fileStore().find("com.varnelvpn.open-ikev2.pw", "VPN", &items), kSuccess);
  EXPECT_EQ(items[0].data, bytes("pw"));
  // It was the keyring that refused the write (it cannot be unlocked here).
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_NE(notices_[0].find("(store: "), std::string::npos) << notices_[0];
}

}  // namespace
}  // namespace platform::keychain
