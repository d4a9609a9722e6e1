#include "sdk/crash/ctr_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "platform/system/bundle.h"
#include "platform/system/property_list.h"
#include "sdk/platform/bcn_console.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using platform::Value;

// Sets (or, with nullopt, removes) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (previous_)
      ::setenv(name_.c_str(), previous_->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

class CTRSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resources_ = root_.file("resources");
    std::filesystem::create_directories(resources_);
    useInfo(Value::dictionary({{"CFBundleIdentifier", "com.example.app"}}));
  }
  // The program bundle the settings objects made after this are given.
  void useInfo(Value info) {
    bundle_ =
        std::make_shared<platform::Bundle>(root_.file("bin/app"), resources_, std::move(info));
  }
  void writeTable(const std::string& folder, Value table) {
    const std::string dir = folder.empty() ? resources_ : resources_ + "/" + folder;
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(platform::plist::writeFile(dir + "/Crashtrail.strings", table));
  }

  varnel::testing::TempRoot root_;
  std::string resources_;
  platform::BundlePtr bundle_;
  // No local override leaks in from the environment of the test run.
  ScopedEnv urgent_{"CrashtrailUrgentReports", std::nullopt};
  ScopedEnv submit_{"CrashtrailSubmitReports", std::nullopt};
  ScopedEnv package_{"CrashtrailPackageReports", std::nullopt};
  ScopedEnv beta_{"CrashtrailBetaEndpoint", std::nullopt};
  ScopedEnv reports_{"CrashtrailReportsEndpoint", std::nullopt};
  ScopedEnv language_{"LANGUAGE", "de_DE"};
};

TEST_F(CTRSettingsTest, WithoutDownloadedSettingsEverythingHasItsDefault) {
  BCNConsoleCapture console;
  const auto settings = CTRSettings::initWithDictionary(Value(), bundle_);
  EXPECT_TRUE(settings->settingsDictionary().isNone());

  EXPECT_EQ(settings->betaEndpoint(), kCTRDefaultBetaEndpoint);
  EXPECT_EQ(settings->reportsEndpoint(), kCTRDefaultReportsEndpoint);
  EXPECT_TRUE(settings->shouldPackageReports());
  EXPECT_TRUE(settings->shouldSubmitReports());
  EXPECT_TRUE(settings->canProcessUrgentReports());

  EXPECT_TRUE(settings->crashReportingEnabled());
  EXPECT_TRUE(settings->errorReportingEnabled());
  EXPECT_TRUE(settings->customExceptionsEnabled());
  EXPECT_FALSE(settings->userPromptEnabled());
  EXPECT_EQ(settings->logBufferSize(), 65536u);
  EXPECT_EQ(settings->errorLogBufferSize(), 65536u);
  EXPECT_EQ(settings->maxCustomExceptions(), 16u);
  EXPECT_EQ(settings->maxCustomKeys(), 16u);
  EXPECT_EQ(settings->betaSuspendDuration(), 3600u);

  EXPECT_EQ(settings->interactivePromptTitle(), "Send Crash Report?");
  EXPECT_EQ(settings->interactivePromptMessage(),
            "Looks like we crashed! Please help us fix the problem by sending a crash report.");
  EXPECT_EQ(settings->interactivePromptCancelTitle(), "Don't Send");
  EXPECT_EQ(settings->interactivePromptSendTitle(), "Send");
  EXPECT_EQ(settings->interactivePromptAlwaysSendTitle(), "Always Send");
  // Nothing was overridden, so nothing was logged.
  EXPECT_TRUE(console.lines().empty());
}

TEST_F(CTRSettingsTest, EnvironmentOverridesTheInformationDictionaryAndLogsIt) {
  useInfo(Value::dictionary(
      {{"Crashtrail", Value::dictionary({{"UrgentReports", true}, {"SubmitReports", "NO"}})}}));
  const auto settings = CTRSettings::initWithDictionary(Value(), bundle_);
  EXPECT_TRUE(settings->canProcessUrgentReports());
  EXPECT_FALSE(settings->shouldSubmitReports());  // a text in the dictionary reads as boolean

  BCNConsoleCapture console;
  ScopedEnv urgent("CrashtrailUrgentReports", "NO");
  EXPECT_FALSE(settings->canProcessUrgentReports());
  EXPECT_TRUE(console.contains("[Crashtrail:Crash] override: 'UrgentReports' => 'NO'"));
  EXPECT_EQ(settings->valueForConfigurationKey("UrgentReports"), Value("NO"));
}

TEST_F(CTRSettingsTest, LocalValuesReadAsTheDesignSays) {
  auto settings = CTRSettings::initWithDictionary(Value(), bundle_);
  {
    ScopedEnv value("CrashtrailPackageReports", "  -0007");
    EXPECT_TRUE(settings->shouldPackageReports());  // blanks, sign and zeros skipped
  }
  {
    ScopedEnv value("CrashtrailPackageReports", "000");
    EXPECT_FALSE(settings->shouldPackageReports());
  }
  {
    ScopedEnv value("CrashtrailPackageReports", "true");
    EXPECT_TRUE(settings->shouldPackageReports());
  }
  {
    ScopedEnv endpoint("CrashtrailReportsEndpoint", "http://127.0.0.1:9");
    EXPECT_EQ(settings->reportsEndpoint(), "http://127.0.0.1:9");
  }
  // An endpoint that is no text in the dictionary falls back to the default.
  useInfo(Value::dictionary({{"Crashtrail", Value::dictionary({{"BetaEndpoint", 12}})}}));
  settings = CTRSettings::initWithDictionary(Value(), bundle_);
  EXPECT_EQ(settings->betaEndpoint(), kCTRDefaultBetaEndpoint);
  EXPECT_TRUE(settings->valueForConfigurationKey("NoSuchKey").isNone());
  // A "Crashtrail" entry that is no dictionary counts as none.
  useInfo(Value::dictionary({{"Crashtrail", "text"}}));
  EXPECT_TRUE(CTRSettings::configuration(bundle_).isNone());
  EXPECT_EQ(CTRSettings::defaultConfiguration().count(), 5u);
}

TEST_F(CTRSettingsTest, ServerValuesAndTheirGaps) {
  const auto settings = CTRSettings::initWithDictionary(
      Value::dictionary({
          {"beta", Value::dictionary({{"update_suspend_duration", 120}})},
          {"features", Value::dictionary({{"collect_logged_exceptions", false},
                                          {"collect_reports", Value::null()}})},
          {"session", Value::dictionary({{"log_buffer_size", 1024},
                                         {"max_custom_exception_events", -3},
                                         {"max_custom_key_value_pairs", 1ll << 40}})},
      }),
      bundle_);
  EXPECT_EQ(settings->betaSuspendDuration(), 120u);
  EXPECT_FALSE(settings->errorReportingEnabled());
  EXPECT_FALSE(settings->customExceptionsEnabled());
  EXPECT_TRUE(settings->crashReportingEnabled());  // null counts as missing
  EXPECT_FALSE(settings->userPromptEnabled());     // "features" without "prompt_enabled"
  EXPECT_EQ(settings->logBufferSize(), 1024u);
  EXPECT_EQ(settings->errorLogBufferSize(), 1024u);
  // Out-of-range numbers never wrap into huge or tiny limits.
  EXPECT_EQ(settings->maxCustomExceptions(), 0u);
  EXPECT_EQ(settings->maxCustomKeys(), std::numeric_limits<std::uint32_t>::max());

  const auto prompt = CTRSettings::initWithDictionary(
      Value::dictionary({{"features", Value::dictionary({{"prompt_enabled", true}})},
                         {"session", "not a dictionary"}}),
      bundle_);
  EXPECT_TRUE(prompt->userPromptEnabled());
  EXPECT_EQ(prompt->logBufferSize(), 65536u);
  EXPECT_EQ(prompt->betaSuspendDuration(), 3600u);
}

TEST_F(CTRSettingsTest, PromptTextsServerThenStringTable) {
  const auto settings = CTRSettings::initWithDictionary(
      Value::dictionary({{"prompt", Value::dictionary({{"title", "Server title"},
                                                       {"message", "Server message"},
                                                       {"send_button_title", 7}})}}),
      bundle_);
  EXPECT_EQ(settings->interactivePromptTitle(), "Server title");
  EXPECT_EQ(settings->interactivePromptMessage(), "Server message");
  EXPECT_EQ(settings->interactivePromptSendTitle(), "Send");  // not a text: built-in

  // The host's table wins over the server; the user's language first.
  writeTable("", Value::dictionary({{"CrashtrailCrashSubmissionPromptTitle", "Table title"},
                                    {"CrashtrailCrashSubmissionCancelTitle", "Table cancel"}}));
  writeTable("de.lproj",
             Value::dictionary({{"CrashtrailCrashSubmissionCancelTitle", "Nicht senden"},
                                {"CrashtrailCrashSubmissionAlwaysSendTitle", 3}}));
  EXPECT_EQ(settings->interactivePromptTitle(), "Table title");
  EXPECT_EQ(settings->interactivePromptCancelTitle(), "Nicht senden");
  EXPECT_EQ(settings->interactivePromptMessage(), "Server message");
  EXPECT_EQ(settings->interactivePromptAlwaysSendTitle(), "Always Send");
  EXPECT_EQ(
      CTRLocalizedString("CrashtrailCrashSubmissionCancelTitle", "Other", "fallback", bundle_),
      "fallback");
}

TEST_F(CTRSettingsTest, UnreadableStringTableIsSkipped) {
  std::filesystem::create_directories(resources_ + "/de.lproj");
  {
    std::FILE* f = std::fopen((resources_ + "/de.lproj/Crashtrail.strings").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("<plist><dict><key>broken", f);
    std::fclose(f);
  }
  writeTable("", Value::dictionary({{"CrashtrailCrashSubmissionSendTitle", "Root send"}}));
  const auto settings = CTRSettings::initWithDictionary(Value(), bundle_);
  EXPECT_EQ(settings->interactivePromptSendTitle(), "Root send");
}

}  // namespace
}  // namespace sdk
