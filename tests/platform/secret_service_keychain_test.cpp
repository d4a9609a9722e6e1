// The user's keychain against the real desktop keyring: gnome-keyring's
// Secret Service, unlocked, on a private session bus.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "platform/desktop_keyring_fixture.h"
#include "platform/keychain/keychain.h"
#include "platform/keychain/secret_service.h"
#include "platform/system/paths.h"

namespace platform::keychain {
namespace {

using varnel::testing::DesktopSession;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

class SecretServiceKeychainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!DesktopSession::haveProgram("/usr/bin/gnome-keyring-daemon") ||
        !DesktopSession::haveProgram("/usr/bin/dbus-daemon") ||
        !DesktopSession::haveProgram("/usr/bin/secret-tool"))
      return;
    session_ = new DesktopSession();
    ready_ = session_->startBus() && session_->startKeyring(true);
  }
  static void TearDownTestSuite() {
    delete session_;
    session_ = nullptr;
  }
  void SetUp() override {
    if (!session_) GTEST_SKIP() << "gnome-keyring, dbus-daemon or secret-tool is not installed";
    ASSERT_TRUE(ready_) << "the private keyring did not start";
    Store::setLogHandler([this](const std::string& line) { notices_.push_back(line); });
    Store::resetFallbackNoticeForTesting();
  }
  void TearDown() override {
    Store::setLogHandler(nullptr);
    if (!ready_) return;
    // Leave an empty keyring and no file for the next test.
    std::vector<Item> all;
    if (Store::user().find(std::nullopt, std::nullopt, &all) == kSuccess) {
      for (const Item& item : all) Store::user().remove(item.service, item.account);
    }
    ::unlink(fileStore().path().c_str());
  }

  // The owner-only file behind the user's store.
  static Store fileStore() { return Store(paths::userKeychain() + "/items.keychain"); }
  // What an independent client of the keyring reads for the item.
  static std::string keyringLookup(const std::string& service, const std::string& account,
                                   int* status = nullptr) {
    return DesktopSession::run({"/usr/bin/secret-tool", "lookup", "xdg:schema",
                                "com.varnelvpn.Keychain", "service", service, "account", account},
                               "", status);
  }

  static DesktopSession* session_;
  static bool ready_;
  std::vector<std::string> notices_;
};

DesktopSession* SecretServiceKeychainTest::session_ = nullptr;
bool SecretServiceKeychainTest::ready_ = false;

// The client's items: the API key, the IKEv2 shared secret and password.
struct Kind {
  const char* service;
  const char* account;
  const char* first;
  const char* second;
};
constexpr Kind kKinds[] = {
    {"VarnelVPN Client", "API", "0123456789abcdefghij", "jihgfedcba9876543210"},
    {"com.varnelvpn.open-ikev2.psk", "VPN", "shared-Key!", "another shared key"},
    {"com.varnelvpn.open-ikev2.pw", "VPN", "fixed pässword", "second pässword"},
};

TEST_F(SecretServiceKeychainTest, EachKindIsStoredReadReplacedAndDeletedInTheKeyring) {
  Store user = Store::user();
  ASSERT_TRUE(user.usesDesktopKeyring());
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.service);
    ASSERT_EQ(user.set(kind.service, kind.account, bytes(kind.first)), kSuccess);
    std::vector<Item> items;
    ASSERT_EQ(user.find(kind.service, kind.account, &items), kSuccess);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].data, bytes(kind.first));
    // The secret lives in the keyring, not in a file.
    EXPECT_EQ(keyringLookup(kind.service, kind.account), kind.first);
    EXPECT_EQ(fileStore().find(kind.service, kind.account, nullptr), kItemNotFound);

    ASSERT_EQ(user.set(kind.service, kind.account, bytes(kind.second)), kSuccess);
    ASSERT_EQ(user.find(kind.service, kind.account, &items), kSuccess);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].data, bytes(kind.second));
    EXPECT_EQ(keyringLookup(kind.service, kind.account), kind.second);
    EXPECT_EQ(user.add(kind.service, kind.account, bytes("x")), kDuplicateItem);
  }
  std::vector<Item> all;
  ASSERT_EQ(user.find(std::nullopt, std::nullopt, &all), kSuccess);
  EXPECT_EQ(all.size(), std::size(kKinds));
  std::vector<Item> vpn;
  ASSERT_EQ(user.find(std::nullopt, std::string("VPN"), &vpn), kSuccess);
  EXPECT_EQ(vpn.size(), 2u);

  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.service);
    EXPECT_EQ(user.remove(kind.service, kind.account), kSuccess);
    EXPECT_EQ(user.find(kind.service, kind.account, nullptr), kItemNotFound);
    int status = 0;
    keyringLookup(kind.service, kind.account, &status);
    EXPECT_NE(status, 0) << "still in the keyring";
    EXPECT_EQ(user.remove(kind.service, kind.account), kItemNotFound);
  }
  EXPECT_TRUE(notices_.empty()) << notices_.front();
}

TEST_F(SecretServiceKeychainTest, BinarySecretsKeepEveryByte) {
  const Bytes secret = {0x00, 0xff, 0x80, 0x0a, 0x00, 0x41};
  ASSERT_EQ(Store::user().add("binary", "acct", secret), kSuccess);
  std::vector<Item> items;
  ASSERT_EQ(Store::user().find("binary", "acct", &items), kSuccess);
  EXPECT_EQ(items[0].data, secret);
}

TEST_F(SecretServiceKeychainTest, FileItemsMoveIntoTheKeyringOnFirstUse) {
  // A store written before the keyring was used: the file of the fallback.
  ASSERT_EQ(fileStore().set("VarnelVPN Client", "API", bytes("filekey-0123456789ab")), kSuccess);
  ASSERT_EQ(fileStore().set("com.varnelvpn.open-ikev2.psk", "VPN", bytes("file-psk")), kSuccess);
  struct stat st;
  ASSERT_EQ(::stat(fileStore().path().c_str(), &st), 0);

  std::vector<Item> items;
  ASSERT_EQ(Store::user().find("VarnelVPN Client", "API", &items), kSuccess);
  EXPECT_EQ(items[0].data, bytes("filekey-0123456789ab"));
  // Both items are now in the keyring and gone from the file.
  EXPECT_EQ(keyringLookup("VarnelVPN Client", "API"), "filekey-0123456789ab");
  EXPECT_EQ(keyringLookup("com.varnelvpn.open-ikev2.psk", "VPN"), "file-psk");
  EXPECT_EQ(fileStore().find(std::nullopt, std::nullopt, nullptr), kItemNotFound);
  ASSERT_EQ(::stat(fileStore().path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SecretServiceKeychainTest, ANewerFileCopyReplacesTheKeyringCopy) {
  // The file only receives writes the keyring refused, so its copy is newer.
  ASSERT_EQ(Store::user().set("VarnelVPN Client", "API", bytes("older-key")), kSuccess);
  ASSERT_EQ(fileStore().set("VarnelVPN Client", "API", bytes("newer-key")), kSuccess);
  std::vector<Item> items;
  ASSERT_EQ(Store::user().find("VarnelVPN Client", "API", &items), kSuccess);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].data, bytes("newer-key"));
  EXPECT_EQ(keyringLookup("VarnelVPN Client", "API"), "newer-key");
  EXPECT_EQ(fileStore().find("VarnelVPN Client", "API", nullptr), kItemNotFound);
}

}  // namespace
}  // namespace platform::keychain
