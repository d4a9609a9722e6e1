#include "sdk/platform/ctr_user_defaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/system/bundle.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"
#include "platform/system/user_defaults.h"
#include "sdk/platform/bcn_console.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

class CTRUserDefaultsTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    setBundleIdentifier("a/b");
    platform::UserDefaults::resetStandardUserDefaults(bundle_);
    CTRUserDefaults::resetStandardUserDefaultsForTesting(bundle_);
  }
  void TearDown() override {
    CTRUserDefaults::resetStandardUserDefaultsForTesting();
    platform::UserDefaults::resetStandardUserDefaults();
  }
  // The program the stores made after this belong to.
  void setBundleIdentifier(const std::string& identifier) {
    platform::Value info = identifier.empty()
                               ? platform::Value::dictionary()
                               : platform::Value::dictionary({{"CFBundleIdentifier", identifier}});
    bundle_ = std::make_shared<platform::Bundle>(root().file("app"), root().path(), info);
  }
  // The store as a new launch sees it.
  std::shared_ptr<CTRUserDefaults> relaunch() {
    CTRUserDefaults::resetStandardUserDefaultsForTesting(bundle_);
    return CTRUserDefaults::standardUserDefaults();
  }
  std::string expectedFile() const {
    return platform::paths::applicationSupport() + "/a_b/com.crashtrail/CTRUserDefaults.plist";
  }
  platform::BundlePtr bundle_;
};

TEST_F(CTRUserDefaultsTest, FileLivesBelowTheBundleIdentifierFolder) {
  auto store = CTRUserDefaults::standardUserDefaults();
  EXPECT_EQ(store->fileURL(), expectedFile());
  EXPECT_EQ(store->directoryURL(), platform::paths::applicationSupport() + "/a_b/com.crashtrail");
  EXPECT_EQ(CTRUserDefaults::standardUserDefaults(), store);

  setBundleIdentifier("");
  EXPECT_EQ(relaunch()->fileURL(),
            platform::paths::applicationSupport() + "/com.crashtrail/CTRUserDefaults.plist");
}

TEST_F(CTRUserDefaultsTest, TypedReadsAndNilRemoves) {
  auto store = CTRUserDefaults::standardUserDefaults();
  store->setString("text", "s");
  store->setBool(true, "b");
  store->setObject(platform::Value(42), "n");
  EXPECT_EQ(store->stringForKey("s"), "text");
  EXPECT_FALSE(store->stringForKey("n"));  // a number is no string
  EXPECT_FALSE(store->boolForKey("s"));    // a string is no number
  EXPECT_TRUE(store->boolForKey("b"));
  EXPECT_TRUE(store->boolForKey("n"));
  EXPECT_FALSE(store->boolForKey("missing"));
  store->setObject(platform::Value(), "s");
  EXPECT_TRUE(store->objectForKey("s").isNone());
  EXPECT_EQ(store->dictionaryRepresentation().count(), 2u);
  store->removeObjectForKey("b");
  EXPECT_EQ(store->dictionaryRepresentation().count(), 1u);
  store->removeAllObjects();
  EXPECT_EQ(store->dictionaryRepresentation().count(), 0u);
}

TEST_F(CTRUserDefaultsTest, StoredValuesAreCopiesNotTheCallersCollection) {
  auto store = CTRUserDefaults::standardUserDefaults();
  platform::Value list = platform::Value::mutableArray({platform::Value(1)});
  store->setObject(list, "list");
  list.append(platform::Value(2));
  EXPECT_EQ(store->objectForKey("list").count(), 1u);
}

TEST_F(CTRUserDefaultsTest, OnlySynchronizeWritesAndTheNextLaunchReadsIt) {
  auto store = CTRUserDefaults::standardUserDefaults();
  store->setString("v1", "k");
  EXPECT_FALSE(std::filesystem::exists(expectedFile()));
  store->synchronize();
  ASSERT_TRUE(std::filesystem::exists(expectedFile()));
  struct stat st {};
  ASSERT_EQ(::stat(expectedFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  store->setString("v2", "k");  // not synchronized: lost at the next launch
  EXPECT_EQ(relaunch()->stringForKey("k"), "v1");
}

TEST_F(CTRUserDefaultsTest, ValuesThatAreNoPropertyListAreRefusedAndDoNotBlockTheRest) {
  BCNConsoleCapture console;
  auto store = CTRUserDefaults::standardUserDefaults();
  store->setString("kept", "good");
  store->setObject(platform::Value::null(), "bad");
  store->setObject(platform::Value::array({platform::Value::null()}), "bad2");
  EXPECT_EQ(console.count("[Beacon:UserDefaults] "), 2u);
  EXPECT_TRUE(store->objectForKey("bad").isNone());
  store->synchronize();
  EXPECT_EQ(relaunch()->stringForKey("good"), "kept");
}

TEST_F(CTRUserDefaultsTest, UnreadableFileGivesAnEmptyStoreThatIsOverwritten) {
  std::filesystem::create_directories(std::filesystem::path(expectedFile()).parent_path());
  std::ofstream(expectedFile()) << "<plist><dict><key>x</key>";
  BCNConsoleCapture console;
  auto store = relaunch();
  EXPECT_TRUE(console.contains("[Beacon:UserDefaults] failed to read existing UserDefaults file"));
  EXPECT_EQ(store->dictionaryRepresentation().count(), 0u);
  store->setString("v", "k");
  store->synchronize();
  EXPECT_EQ(relaunch()->stringForKey("k"), "v");
}

TEST_F(CTRUserDefaultsTest, DirectoryInPlaceOfTheFileIsRemoved) {
  std::filesystem::create_directories(expectedFile() + "/inner");
  std::ofstream(expectedFile() + "/inner/file") << "x";
  BCNConsoleCapture console;
  auto store = relaunch();
  EXPECT_TRUE(console.contains(
      "[Beacon:UserDefaults] found directory where file expected. Removing conflicting directory"));
  EXPECT_FALSE(std::filesystem::exists(expectedFile()));
  EXPECT_EQ(store->dictionaryRepresentation().count(), 0u);
  store->setString("v", "k");
  store->synchronize();
  EXPECT_TRUE(std::filesystem::is_regular_file(expectedFile()));
}

TEST_F(CTRUserDefaultsTest, UnwritableFolderIsReportedAndValuesStayInMemory) {
  // A file where a parent folder should be: the folder cannot be made.
  std::filesystem::create_directories(platform::paths::applicationSupport());
  std::ofstream(platform::paths::applicationSupport() + "/a_b") << "in the way";
  BCNConsoleCapture console;
  auto store = relaunch();
  store->setString("v", "k");
  store->synchronize();
  EXPECT_TRUE(console.contains("[Beacon:UserDefaults] failed to create directory with error:"));
  EXPECT_TRUE(console.contains("[Beacon:UserDefaults] Unable to open file for writing at path " +
                               expectedFile()));
  EXPECT_EQ(store->stringForKey("k"), "v");
}

TEST_F(CTRUserDefaultsTest, MigrationMovesAKeyOnceFromTheStandardDefaults) {
  auto standard = platform::UserDefaults::standardUserDefaults();
  standard->setObject(platform::Value("OLD-ID"), "com.crashtrail.iuuid");
  standard->synchronize();
  auto store = CTRUserDefaults::standardUserDefaults();
  EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults("com.crashtrail.iuuid"),
            platform::Value("OLD-ID"));
  EXPECT_TRUE(standard->objectForKey("com.crashtrail.iuuid").isNone());
  // Synchronized here: a new launch has it.
  EXPECT_EQ(relaunch()->stringForKey("com.crashtrail.iuuid"), "OLD-ID");
  // The second read finds it here.
  EXPECT_EQ(CTRUserDefaults::standardUserDefaults()->objectForKeyByMigratingFromNSUserDefaults(
                "com.crashtrail.iuuid"),
            platform::Value("OLD-ID"));
  EXPECT_TRUE(CTRUserDefaults::standardUserDefaults()
                  ->objectForKeyByMigratingFromNSUserDefaults("none")
                  .isNone());
}

TEST_F(CTRUserDefaultsTest, KeyPresentInBothIsReadFromHereAndTheStandardCopyStays) {
  auto standard = platform::UserDefaults::standardUserDefaults();
  standard->setObject(platform::Value("theirs"), "k");
  auto store = CTRUserDefaults::standardUserDefaults();
  store->setString("ours", "k");
  EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults("k"), platform::Value("ours"));
  EXPECT_EQ(standard->objectForKey("k"), platform::Value("theirs"));
}

TEST_F(CTRUserDefaultsTest, MigratingSeveralKeysOverwritesAndRemovesEveryListedKey) {
  auto standard = platform::UserDefaults::standardUserDefaults();
  standard->setObject(platform::Value("1"), "a");
  standard->setObject(platform::Value("2"), "b");
  standard->setObject(platform::Value("3"), "unlisted");
  auto store = CTRUserDefaults::standardUserDefaults();
  store->setString("mine", "a");
  store->migrateFromNSUserDefaults({"a", "b", "absent"});
  EXPECT_EQ(store->stringForKey("a"), "1");
  EXPECT_EQ(store->stringForKey("b"), "2");
  EXPECT_TRUE(standard->objectForKey("a").isNone());
  EXPECT_TRUE(standard->objectForKey("b").isNone());
  EXPECT_EQ(standard->objectForKey("unlisted"), platform::Value("3"));
  EXPECT_EQ(relaunch()->stringForKey("b"), "2");

  // Nothing to copy: nothing is removed or written.
  CTRUserDefaults::standardUserDefaults()->migrateFromNSUserDefaults({"unlisted-too"});
  EXPECT_EQ(standard->objectForKey("unlisted"), platform::Value("3"));
}

}  // namespace
}  // namespace sdk
