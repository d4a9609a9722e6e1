#include "sdk/crash/capture/ctr_application.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "crash_context_fixture.h"
#include "platform/system/bundle.h"

namespace sdk {
namespace {

// --- application -----------------------------------------------------------

class ApplicationTest : public testing::CrashContextTest {
 protected:
  void TearDown() override {
    platform::ProcessActivities::resetForTesting();
    CTRApplicationSetActivitiesSupportedForTesting(true);
    CTRApplicationSetWorkspaceOpenerForTesting(nullptr);
    CTRApplicationRegisterSharedApplication(nullptr);
    CrashContextTest::TearDown();
  }
  void useInfo(std::vector<std::pair<platform::Value, platform::Value>> pairs) {
    bundle_ = std::make_shared<platform::Bundle>("/opt/app/bin/app", "/opt/app/share/app",
                                                 platform::Value::dictionary(std::move(pairs)));
  }
  platform::BundlePtr bundle_;  // the program whose facts are asked for
};

TEST_F(ApplicationTest, BundleValues) {
  useInfo({{"CFBundleIdentifier", "com.example/app"},
           {"CFBundleVersion", "121"},
           {"CFBundleShortVersionString", "3.8.4"},
           {"CFBundleName", "Example"}});
  EXPECT_EQ(CTRApplicationGetBundleIdentifier(bundle_), "com.example_app");
  EXPECT_EQ(CTRApplicationGetBuildVersion(bundle_), "121");
  EXPECT_EQ(CTRApplicationGetDisplayVersion(bundle_), "3.8.4");
  EXPECT_EQ(CTRApplicationGetName(bundle_), "Example");
  useInfo({{"CFBundleVersion", "121"}});
  EXPECT_EQ(CTRApplicationGetName(bundle_), "121")
      << "the build version when nothing else names it";
}

TEST_F(ApplicationTest, ExtensionPointIdentifier) {
  useInfo({});
  EXPECT_EQ(CTRApplicationExtensionPointIdentifier(bundle_), std::nullopt);
  EXPECT_FALSE(CTRApplicationIsExtension(bundle_));
  EXPECT_EQ(sdkLog(), "") << "an application is no extension, silently";

  useInfo({{"NSExtension", "share"}});
  EXPECT_FALSE(CTRApplicationIsExtension(bundle_));
  EXPECT_NE(sdkLog().find("WARN  [CTRApplicationExtensionPointIdentifier:"), std::string::npos);
  EXPECT_NE(sdkLog().find("] Error: NSExtension Info.plist entry is mal-formed\n"),
            std::string::npos);

  useInfo({{"NSExtension", platform::Value::dictionary({{"NSExtensionPointIdentifier", 3}})}});
  EXPECT_EQ(CTRApplicationExtensionPointIdentifier(bundle_), std::nullopt);
  EXPECT_NE(sdkLog().find("] Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n"),
            std::string::npos);

  useInfo({{"NSExtension",
            platform::Value::dictionary({{"NSExtensionPointIdentifier", "com.example.share"}})}});
  EXPECT_EQ(CTRApplicationExtensionPointIdentifier(bundle_), "com.example.share");
  EXPECT_TRUE(CTRApplicationIsExtension(bundle_));
}

TEST_F(ApplicationTest, SharedApplicationIsWhatTheApplicationRegistered) {
  EXPECT_EQ(CTRApplicationSharedApplication(), nullptr);
  auto application = std::make_shared<int>(1);
  CTRApplicationRegisterSharedApplication(application);
  EXPECT_EQ(CTRApplicationSharedApplication(), application);
  CTRApplicationRegisterSharedApplication(nullptr);
  EXPECT_EQ(CTRApplicationSharedApplication(), nullptr);
}

TEST_F(ApplicationTest, OpenURLPrefersTheExtensionContext) {
  struct Context : CTRExtensionContext {
    void openURL(const platform::URL& url, std::function<void(bool)> completion) override {
      opened = url.absoluteString();
      completion(false);
    }
    std::string opened;
  };
  auto context = std::make_shared<Context>();
  std::string workspaceOpened;
  CTRApplicationSetWorkspaceOpenerForTesting([&](const platform::URL& url) {
    workspaceOpened = url.absoluteString();
    return true;
  });
  std::optional<bool> result;
  CTRApplicationOpenURL(platform::URL("https://example.com/a"), context,
                        [&](bool ok) { result = ok; });
  EXPECT_EQ(context->opened, "https://example.com/a");
  EXPECT_EQ(result, false);
  EXPECT_EQ(workspaceOpened, "");

  CTRApplicationOpenURL(platform::URL("https://example.com/b"), nullptr,
                        [&](bool ok) { result = ok; });
  EXPECT_EQ(workspaceOpened, "https://example.com/b");
  EXPECT_EQ(result, true);
}

TEST_F(ApplicationTest, ActivitiesUseTheProcessActivities) {
  bool activeInside = false;
  CTRApplicationPerformActivity(0xC000, "Submitting report", [&] {
    const auto active = platform::ProcessActivities::activeActivities();
    activeInside = active.size() == 1 && active[0].reason == "Submitting report" &&
                   active[0].options == 0xC000;
  });
  EXPECT_TRUE(activeInside);
  EXPECT_TRUE(platform::ProcessActivities::activeActivities().empty());
}

TEST_F(ApplicationTest, WithoutActivitiesTerminationSwitchesAreUsed) {
  CTRApplicationSetActivitiesSupportedForTesting(false);
  const long sudden = platform::ProcessActivities::suddenTerminationDisabledCount();
  const long automatic = platform::ProcessActivities::automaticTerminationDisabledCount();

  const CTRActivityToken token = CTRApplicationBeginActivity(0xC000, "Sending");
  EXPECT_EQ(token.activity, nullptr);
  ASSERT_TRUE(token.legacy.isDictionary());
  EXPECT_EQ(token.legacy["options"].asUInt64(), 0xC000u);
  EXPECT_EQ(token.legacy["reason"].asString(), "Sending");
  EXPECT_EQ(platform::ProcessActivities::suddenTerminationDisabledCount(), sudden + 1);
  EXPECT_EQ(platform::ProcessActivities::automaticTerminationDisabledCount(), automatic + 1);
  EXPECT_TRUE(platform::ProcessActivities::activeActivities().empty());

  CTRApplicationEndActivity(token);
  EXPECT_EQ(platform::ProcessActivities::suddenTerminationDisabledCount(), sudden);
  EXPECT_EQ(platform::ProcessActivities::automaticTerminationDisabledCount(), automatic);

  // Only the bits that are set count.
  const CTRActivityToken onlySudden = CTRApplicationBeginActivity(0x4000, "x");
  EXPECT_EQ(platform::ProcessActivities::suddenTerminationDisabledCount(), sudden + 1);
  EXPECT_EQ(platform::ProcessActivities::automaticTerminationDisabledCount(), automatic);
  CTRApplicationEndActivity(onlySudden);
  EXPECT_EQ(platform::ProcessActivities::suddenTerminationDisabledCount(), sudden);
}

}  // namespace
}  // namespace sdk
