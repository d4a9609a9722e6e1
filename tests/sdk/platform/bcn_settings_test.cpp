#include "sdk/platform/bcn_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/system/bundle.h"
#include "sdk/platform/bcn_console.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

class BCNSettingsTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override { path_ = root().file("settings.json"); }
  void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::shared_ptr<BCNSettings> settings() { return BCNSettings::initWithSettingsPath(path_); }
  std::string path_;
};

TEST_F(BCNSettingsTest, MissingFileReadsAsAbsentAndIsLookedForAgain) {
  const auto s = settings();
  EXPECT_TRUE(s->settingsDictionary().isNone());
  EXPECT_FALSE(s->appNeedsOnboarding());
  EXPECT_FALSE(s->appUpdateRequired());
  write(R"({"app": {"status": "new"}})");
  EXPECT_TRUE(s->settingsDictionary().isDictionary());
  EXPECT_TRUE(s->appNeedsOnboarding());
}

TEST_F(BCNSettingsTest, LoadedDictionaryIsKeptUntilCleared) {
  write(R"({"app": {"status": "activated"}})");
  const auto s = settings();
  const platform::Value first = s->settingsDictionary();
  EXPECT_EQ(s->appStatus(), "activated");
  write(R"({"app": {"status": "new", "update_required": true}})");
  EXPECT_TRUE(s->settingsDictionary().isSameObject(first));
  EXPECT_FALSE(s->appNeedsOnboarding());
  s->clearSettingsDictionary();
  EXPECT_TRUE(s->appNeedsOnboarding());
  EXPECT_TRUE(s->appUpdateRequired());
}

TEST_F(BCNSettingsTest, BadJSONIsReportedAndTheFileRemoved) {
  write("{\"app\": ");
  BCNConsoleCapture console;
  const auto s = settings();
  EXPECT_TRUE(s->settingsDictionary().isNone());
  EXPECT_TRUE(console.contains("[Beacon] Could not load settings with error: "));
  EXPECT_FALSE(std::filesystem::exists(path_));
  EXPECT_TRUE(s->appSettings().isNone());
}

TEST_F(BCNSettingsTest, AppSectionReadings) {
  const auto s = settings();
  auto reload = [&](const std::string& text) {
    write(text);
    s->clearSettingsDictionary();
  };
  // An explicit null counts as absent, for the section and for its keys.
  reload(R"({"app": null})");
  EXPECT_TRUE(s->appSettings().isNone());
  EXPECT_FALSE(s->appNeedsOnboarding());
  EXPECT_FALSE(s->appUpdateRequired());
  reload(R"({"app": {"status": null, "update_required": null}})");
  EXPECT_EQ(s->appStatus(), "");
  EXPECT_FALSE(s->appNeedsOnboarding());
  EXPECT_FALSE(s->appUpdateRequired());
  // Only "new" means a create; the comparison is exact.
  reload(R"({"app": {"status": "New"}})");
  EXPECT_FALSE(s->appNeedsOnboarding());
  reload(R"({"app": {"status": "new", "update_required": false}})");
  EXPECT_TRUE(s->appNeedsOnboarding());
  EXPECT_FALSE(s->appUpdateRequired());
  reload(R"({"app": {"update_required": 1}})");
  EXPECT_TRUE(s->appUpdateRequired());
  // Sections of the wrong kind read as absent rather than failing.
  reload(R"({"app": "new"})");
  EXPECT_FALSE(s->appNeedsOnboarding());
  reload(R"(["app"])");
  EXPECT_TRUE(s->appSettings().isNone());
}

TEST_F(BCNSettingsTest, FixedFactsComeFromTheProgramsBundle) {
  const auto s = BCNSettings::initWithSettingsPath(
      path_, std::make_shared<platform::Bundle>(
                 root().file("app"), root().path(),
                 platform::Value::dictionary({{"CFBundleIdentifier", "com.example/app"},
                                              {"CFBundleVersion", "42"},
                                              {"CFBundleShortVersionString", "1.2"}})));
  EXPECT_EQ(s->appBundleIdentifier(), "com.example_app");
  EXPECT_EQ(s->appPlatform(), "mac");
  EXPECT_EQ(s->appBuildVersion(), "42");
  EXPECT_EQ(s->appDisplayVersion(), "1.2");
  EXPECT_EQ(s->appSource(), 1);
}

}  // namespace
}  // namespace sdk
