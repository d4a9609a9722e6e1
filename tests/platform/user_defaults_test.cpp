#include "platform/system/user_defaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "platform/foundation/exception.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"
#include "support/temp_root.h"

namespace platform {
namespace {

using varnel::testing::TempRootTest;

class UserDefaultsTest : public TempRootTest {
 protected:
  void TearDown() override { UserDefaults::resetStandardUserDefaults(); }
  std::string file() const { return paths::preferences() + "/test.app.plist"; }
};

TEST_F(UserDefaultsTest, RegisteredValuesAreFallbacks) {
  auto d = UserDefaults::create("test.app");
  d->registerDefaults(Value::dictionary({
      {"ShowNotifications", Value(true)},
      {"LogToConsole", Value(false)},
      {"OpenPorts", Value::array({Value("443"), Value("500")})},
  }));
  EXPECT_TRUE(d->boolForKey("ShowNotifications"));
  EXPECT_EQ(d->arrayForKey("OpenPorts").count(), 2u);
  d->setObject(Value(false), "ShowNotifications");
  EXPECT_FALSE(d->boolForKey("ShowNotifications"));
  d->removeObject("ShowNotifications");
  EXPECT_TRUE(d->boolForKey("ShowNotifications"));  // the registered value again
  ASSERT_TRUE(d->synchronize());
  // The registration domain is never written.
  Value stored = plist::readFile(file());
  EXPECT_TRUE(stored.isDictionary());
  EXPECT_FALSE(stored.contains("OpenPorts"));
  EXPECT_EQ(d->dictionaryRepresentation().count(), 3u);
}

TEST_F(UserDefaultsTest, TypedGettersConvertLikeThePlatform) {
  auto d = UserDefaults::create("test.app");
  d->setObject(Value(7), "int");
  d->setObject(Value("42"), "numeric");
  d->setObject(Value("YES"), "yes");
  d->setObject(Value("no"), "no");
  d->setObject(Value(2.5), "real");
  d->setObject(Value::dictionary({{"a", Value(1)}}), "dict");
  EXPECT_EQ(d->integerForKey("int"), 7);
  EXPECT_EQ(d->integerForKey("numeric"), 42);
  EXPECT_EQ(d->integerForKey("dict"), 0);
  EXPECT_EQ(d->integerForKey("absent"), 0);
  EXPECT_DOUBLE_EQ(d->doubleForKey("real"), 2.5);
  EXPECT_DOUBLE_EQ(d->doubleForKey("numeric"), 42.0);
  EXPECT_TRUE(d->boolForKey("yes"));
  EXPECT_FALSE(d->boolForKey("no"));
  EXPECT_TRUE(d->boolForKey("int"));
  EXPECT_FALSE(d->boolForKey("dict"));
  EXPECT_EQ(d->stringForKey("numeric").value_or("?"), "42");
  EXPECT_EQ(d->stringForKey("int").value_or("?"), "7");
  EXPECT_FALSE(d->stringForKey("dict"));
  EXPECT_FALSE(d->stringForKey("absent"));
  EXPECT_TRUE(d->dictionaryForKey("dict").isDictionary());
  EXPECT_TRUE(d->dictionaryForKey("int").isNone());
  EXPECT_TRUE(d->arrayForKey("dict").isNone());
  EXPECT_TRUE(d->objectForKey("absent").isNone());
  // None removes.
  d->setObject(Value(), "int");
  EXPECT_TRUE(d->objectForKey("int").isNone());
}

TEST_F(UserDefaultsTest, StoresCopiesAndRefusesNonPropertyLists) {
  auto d = UserDefaults::create("test.app");
  Value list = Value::mutableArray({Value(1)});
  d->setObject(list, "list");
  list.append(Value(2));
  EXPECT_EQ(d->arrayForKey("list").count(), 1u);
  EXPECT_FALSE(d->arrayForKey("list").isMutable());

  d->setObject(Value("kept"), "key");
  EXPECT_THROW(d->setObject(Value::null(), "key"), Exception);
  EXPECT_THROW(d->setObject(Value::array({Value::null()}), "key"), Exception);
  EXPECT_EQ(d->stringForKey("key").value_or(""), "kept");
}

TEST_F(UserDefaultsTest, ValuesSurviveAReloadWithOwnerOnlyMode) {
  {
    auto d = UserDefaults::create("test.app");
    d->setObject(Value("secret-ish"), "API");
    d->setObject(Value(3), "LastSelectedAccount");
    ASSERT_TRUE(d->synchronize());
  }
  struct stat st {};
  ASSERT_EQ(::stat(file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto again = UserDefaults::create("test.app");
  EXPECT_EQ(again->stringForKey("API").value_or(""), "secret-ish");
  EXPECT_EQ(again->integerForKey("LastSelectedAccount"), 3);
}

// An identifier with a '/' (or "..") names one file in the preferences
// folder: before, the write went to a folder never made and failed every
// time, and the unsaved changes were tried again until the process ended.
TEST_F(UserDefaultsTest, AnIdentifierWithASlashIsOneFileInThePreferencesFolder) {
  for (const char* identifier : {"a/b", "..", "../up"}) {
    {
      auto d = UserDefaults::create(identifier);
      d->setObject(Value(7), "k");
      EXPECT_TRUE(d->synchronize()) << identifier;
    }
    EXPECT_EQ(UserDefaults::create(identifier)->integerForKey("k"), 7) << identifier;
  }
  EXPECT_TRUE(std::filesystem::exists(platform::paths::preferences() + "/a_b.plist"));
  EXPECT_FALSE(std::filesystem::exists(platform::paths::preferences() + "/../up.plist"));
}

TEST_F(UserDefaultsTest, ChangesReachTheFileWithoutSynchronize) {
  {
    auto d = UserDefaults::create("test.app");
    d->setObject(Value(1), "a");
    // Destroying the object writes what is pending at the latest.
  }
  EXPECT_EQ(UserDefaults::create("test.app")->integerForKey("a"), 1);
}

TEST_F(UserDefaultsTest, TruncatedFileStartsEmptyAndIsKeptAside) {
  {
    auto d = UserDefaults::create("test.app");
    d->setObject(Value("value"), "key");
    ASSERT_TRUE(d->synchronize());
  }
  std::string full = files::readFile(file()).value();
  const std::string truncated = full.substr(0, full.size() / 2);
  ASSERT_TRUE(files::writeFileAtomically(file(), truncated, 0600));

  auto d = UserDefaults::create("test.app");
  EXPECT_TRUE(d->objectForKey("key").isNone());
  EXPECT_EQ(files::readFile(file() + ".corrupt").value_or(""), truncated);
  // The defaults work and write a fresh file; the bad one stays aside.
  d->setObject(Value("new"), "key");
  ASSERT_TRUE(d->synchronize());
  EXPECT_EQ(UserDefaults::create("test.app")->stringForKey("key").value_or(""), "new");
  EXPECT_EQ(files::readFile(file() + ".corrupt").value_or(""), truncated);

  // A second bad file does not replace the first one kept aside.
  ASSERT_TRUE(files::writeFileAtomically(file(), "<plist><array></array></plist>", 0600));
  EXPECT_TRUE(UserDefaults::create("test.app")->objectForKey("key").isNone());
  EXPECT_EQ(files::readFile(file() + ".corrupt").value_or(""), truncated);
  EXPECT_EQ(files::readFile(file() + ".corrupt.1").value_or(""), "<plist><array></array></plist>");
}

TEST_F(UserDefaultsTest, UnwritableFolderKeepsValuesInMemory) {
  const std::string blocked = root().file("blocked");
  ASSERT_TRUE(files::writeFileAtomically(blocked, "a file, not a folder", 0600));
  auto d = UserDefaults::create("test.app", blocked + "/sub");
  d->setObject(Value(5), "n");
  EXPECT_FALSE(d->synchronize());
  EXPECT_EQ(d->integerForKey("n"), 5);
}

TEST_F(UserDefaultsTest, StandardDefaultsFollowTheBundleIdentifier) {
  const auto bundle = std::make_shared<const Bundle>(
      "/opt/x/bin/x", "/opt/x", Value::dictionary({{kCFBundleIdentifierKey, Value("test.app")}}));
  UserDefaults::resetStandardUserDefaults(bundle);
  auto d = UserDefaults::standardUserDefaults();
  EXPECT_EQ(d, UserDefaults::standardUserDefaults());
  EXPECT_EQ(d->identifier(), "test.app");
  EXPECT_EQ(d->filePath(), file());
  d->setObject(Value(true), "flag");
  UserDefaults::resetStandardUserDefaults(bundle);  // synchronizes the old one
  EXPECT_TRUE(plist::readFile(file())["flag"].asBool());
  auto fresh = UserDefaults::standardUserDefaults();
  EXPECT_NE(fresh.get(), d.get());
  EXPECT_TRUE(fresh->boolForKey("flag"));
  // Without a bundle named, the running program's again.
  UserDefaults::resetStandardUserDefaults();
  EXPECT_NE(UserDefaults::standardUserDefaults()->identifier(), "test.app");
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
  auto d = UserDefaults::create("test.app");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        d->setObject(Value(i), "t" + std::to_string(t) + "-" + std::to_string(i));
        if (i % 10 == 0) d->synchronize();
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(d->synchronize());
  Value stored = plist::readFile(file());
  EXPECT_EQ(stored.count(), 200u);
  EXPECT_EQ(stored["t3-49"].asInt64(), 49);
}

}  // namespace
}  // namespace platform
