#include "sdk/platform/beacon.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/exception.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "platform/system/user_defaults.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_settings_onboarding_manager.h"
#include "sdk/platform/ctr_user_defaults.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using namespace std::chrono_literals;

constexpr const char* kMultipleCallsLine =
    "[Beacon] [Beacon +with] called multiple times. Only the first call is honored, please pass "
    "all kits you wish to initialize";

// The kits of the tests record the order they were started in.
std::mutex gStartsMutex;
std::vector<std::string> gStarts;

void recordStart(const std::string& name) {
  std::lock_guard lock(gStartsMutex);
  gStarts.push_back(name);
}

std::vector<std::string> starts() {
  std::lock_guard lock(gStartsMutex);
  return gStarts;
}

BCNKitClass kitClass(const std::string& name, const std::string& identifier,
                     const std::string& version) {
  BCNKitClass kit;
  kit.name = name;
  kit.conformsToBCNKit = true;
  kit.bundleIdentifier = [identifier] { return identifier; };
  kit.kitDisplayVersion = [version] { return version; };
  kit.initializeIfNeeded = [name] { recordStart(name); };
  return kit;
}

// Crash reporting's shared instance stands in for its class.
class CrashtrailInstance : public BCNObject {
 public:
  std::string className() const override { return "Crashtrail"; }
};

// Every character of `text` is in `alphabet` and there are `length` of them,
// with hyphens where `hyphens` says.
bool hasForm(const std::string& text, std::size_t length, std::string_view alphabet,
             std::initializer_list<std::size_t> hyphens = {}) {
  if (text.size() != length) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool hyphen = std::find(hyphens.begin(), hyphens.end(), i) != hyphens.end();
    if (hyphen ? text[i] != '-' : alphabet.find(text[i]) == std::string_view::npos) return false;
  }
  return true;
}

class BeaconTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    {
      std::lock_guard lock(gStartsMutex);
      gStarts.clear();
    }
    server_ = test_support::HTTPTestServer::start();
    server_->setDefaultHandler([](const test_support::HTTPRecordedRequest&) {
      return test_support::HTTPReply::json(
          R"({"app": {"status": "activated", "update_required": false}, "analytics": {}})");
    });
    ::setenv(BCNSettingsEndpointKey, server_->baseURL().c_str(), 1);
    ::setenv(BCNConfigureEndpointKey, server_->baseURL().c_str(), 1);
    setInfo(platform::Value::dictionary({
        {"CFBundleIdentifier", "com.example.app"},
        {"CFBundleVersion", "200"},
        {"CFBundleShortVersionString", "1.2.0"},
        {"Beacon", platform::Value::dictionary(
                       {{"APIKey", "0123456789abcdef"}, {"Kits", platform::Value::array()}})},
    }));
    Beacon::registerKitClass(kitClass("Crashtrail", "com.beacon.crashtrail.mac", "3.10.1"));
    Beacon::registerKitClass(kitClass("Tally", "com.beacon.tally.mac", "1.5.0"));
    settingsToken_ = platform::NotificationCenter::defaultCenter().addObserver(
        BCNSettingsAvailableNotification, nullptr, nullptr,
        [this](const platform::Notification&) { settingsAvailable_.signal(); });
  }

  void TearDown() override {
    platform::NotificationCenter::defaultCenter().removeObserver(settingsToken_);
    for (const char* name : {"Crashtrail", "Tally", "Digits", "Appsee", "OldKit", "BrokenKit"}) {
      Beacon::unregisterKitClass(name);
    }
    bundle_ = nullptr;
    resetAll();
    server_->stop();
    ::unsetenv(BCNSettingsEndpointKey);
    ::unsetenv(BCNConfigureEndpointKey);
  }

  // Everything shared starts afresh (a new launch), describing bundle_
  // (nullptr: the running program).
  void resetAll() {
    Beacon::resetSharedSDKForTesting({bundle_});
    CTRUserDefaults::resetStandardUserDefaultsForTesting(bundle_);
    platform::UserDefaults::resetStandardUserDefaults(bundle_);
  }

  // The SDK made after this describes a program with this information.
  void setInfo(platform::Value info) {
    bundle_ =
        std::make_shared<platform::Bundle>(root().file("app"), root().path(), std::move(info));
    resetAll();
  }

  // with(), then waits for the settings chain it began to announce settings.
  std::shared_ptr<Beacon> withAndAwaitSettings(const std::vector<BCNKitElement>& kits) {
    std::shared_ptr<Beacon> sdk = Beacon::with(kits);
    EXPECT_TRUE(settingsAvailable_.wait(20s)) << "no settings were announced";
    return sdk;
  }

  std::unique_ptr<test_support::HTTPTestServer> server_;
  platform::NotificationCenter::ObserverToken settingsToken_;
  platform::dispatch::Semaphore settingsAvailable_{0};
  platform::BundlePtr bundle_;
};

TEST_F(BeaconTest, FirstLaunchCreatesTheInstallationIdentifierAndTheNextReadsIt) {
  std::shared_ptr<Beacon> sdk = Beacon::sharedSDK();
  EXPECT_EQ(Beacon::sharedSDK(), sdk);
  EXPECT_TRUE(sdk->isFirstInstall());
  EXPECT_TRUE(hasForm(sdk->installID(), 36, "0123456789ABCDEF", {8, 13, 18, 23}));
  EXPECT_TRUE(hasForm(sdk->executionIdentifier(), 32, "0123456789abcdef"));
  EXPECT_EQ(CTRUserDefaults::standardUserDefaults()->stringForKey("com.crashtrail.iuuid"),
            sdk->installID());

  const std::string installID = sdk->installID();
  const std::string execution = sdk->executionIdentifier();
  resetAll();  // the next launch
  std::shared_ptr<Beacon> next = Beacon::sharedSDK();
  EXPECT_NE(next, sdk);
  EXPECT_FALSE(next->isFirstInstall());
  EXPECT_EQ(next->installID(), installID);
  EXPECT_NE(next->executionIdentifier(), execution);
}

TEST_F(BeaconTest, TheRegistryDescribesTheBundleItWasMadeWith) {
  std::shared_ptr<Beacon> sdk = Beacon::sharedSDK();
  EXPECT_EQ(sdk->bundle(), bundle_);
  EXPECT_EQ(sdk->APIKey(), "0123456789abcdef");
  EXPECT_EQ(sdk->settingsAndOnboardingManager()->settingsPath(),
            BCNSettingsOnboardingManager::settingsDirectoryPath(bundle_) + "/settings.json");
  // Made without one, it is the running program's.
  bundle_ = nullptr;
  resetAll();
  EXPECT_EQ(Beacon::sharedSDK()->bundle(), platform::Bundle::main());
}

TEST_F(BeaconTest, InstallationIdentifierOfAnOlderReleaseIsTakenOver) {
  auto standard = platform::UserDefaults::standardUserDefaults();
  standard->setObject(platform::Value("0A1B2C3D-0000-4000-8000-000000000001"),
                      "com.crashtrail.iuuid");
  std::shared_ptr<Beacon> sdk = Beacon::sharedSDK();
  EXPECT_FALSE(sdk->isFirstInstall());
  EXPECT_EQ(sdk->installID(), "0A1B2C3D-0000-4000-8000-000000000001");
  EXPECT_TRUE(standard->objectForKey("com.crashtrail.iuuid").isNone());
}

TEST_F(BeaconTest, RegisteringCrashReportingAloneAlsoStartsAnalyticsThenFetchesSettings) {
  BCNConsoleCapture console;
  std::shared_ptr<Beacon> sdk = withAndAwaitSettings({"Crashtrail"});
  EXPECT_EQ(sdk, Beacon::sharedSDK());
  EXPECT_EQ(sdk->kitClasses(), (std::vector<std::string>{"Crashtrail", "Tally"}));
  EXPECT_EQ(starts(), (std::vector<std::string>{"Crashtrail", "Tally"}));
  EXPECT_EQ(sdk->APIKey(), "0123456789abcdef");

  platform::Value versions = sdk->kitVersionsByKitBundleIdentifier();
  EXPECT_EQ(versions.count(), 3u);
  EXPECT_EQ(versions["com.beacon.crashtrail.mac"], platform::Value("3.10.1"));
  EXPECT_EQ(versions["com.beacon.tally.mac"], platform::Value("1.5.0"));
  EXPECT_EQ(versions["io.beacon.sdk.mac"], platform::Value("1.6.11"));

  ASSERT_GE(server_->requestCount(), 1u);
  EXPECT_EQ(server_->requests()[0].path, "/spi/v2/platforms/mac/apps/com.example.app/settings");
  EXPECT_EQ(sdk->settings()["app"]["status"], platform::Value("activated"));
  EXPECT_FALSE(console.contains(kMultipleCallsLine));
}

TEST_F(BeaconTest, SecondCallOnlyWritesTheLineAndReturnsTheSameInstance) {
  std::shared_ptr<Beacon> first = withAndAwaitSettings({"Crashtrail"});
  BCNConsoleCapture console;
  std::shared_ptr<Beacon> second = Beacon::with({"Crashtrail", "Tally"});
  EXPECT_EQ(second, first);
  EXPECT_EQ(console.count(kMultipleCallsLine), 1u);
  EXPECT_EQ(starts().size(), 2u);
  EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(BeaconTest, SharedInstanceOfAKitStandsForItsClass) {
  std::shared_ptr<Beacon> sdk = withAndAwaitSettings({std::make_shared<CrashtrailInstance>()});
  EXPECT_EQ(sdk->kitClasses(), (std::vector<std::string>{"Crashtrail", "Tally"}));
  EXPECT_EQ(starts(), (std::vector<std::string>{"Crashtrail", "Tally"}));
}

TEST_F(BeaconTest, ConcurrentCallsRegisterOnceAndWaitForTheFirst) {
  // The first registration holds the crash kit's start until released.
  platform::dispatch::Semaphore entered, release;
  Beacon::registerKitClass([&] {
    BCNKitClass kit = kitClass("Crashtrail", "com.beacon.crashtrail.mac", "3.10.1");
    kit.initializeIfNeeded = [&] {
      recordStart("Crashtrail");
      entered.signal();
      release.wait();
    };
    return kit;
  }());
  BCNConsoleCapture console;
  std::shared_ptr<Beacon> first;
  std::thread registrar([&] { first = Beacon::with({"Crashtrail"}); });
  ASSERT_TRUE(entered.wait(10s));
  std::vector<std::thread> late;
  std::atomic<int> sawKits{0};
  for (int i = 0; i < 3; ++i) {
    late.emplace_back([&] {
      std::shared_ptr<Beacon> sdk = Beacon::with({"Tally"});
      if (sdk->kitClasses().size() == 2) sawKits++;  // returned only after the first ended
    });
  }
  while (console.count(kMultipleCallsLine) < 3) std::this_thread::yield();
  release.signal();
  registrar.join();
  for (std::thread& t : late) t.join();
  EXPECT_EQ(sawKits, 3);
  EXPECT_EQ(starts(), (std::vector<std::string>{"Crashtrail", "Tally"}));
  EXPECT_TRUE(settingsAvailable_.wait(20s));
}

TEST_F(BeaconTest, NonKitRaisesAndNothingStarts) {
  try {
    Beacon::with({"Crashtrail", "NSString"});
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "BCNException");
    EXPECT_EQ(e.reason(),
              "[Beacon] It appears that \"NSString\" is not a valid Beacon Kit. Please make sure "
              "you only pass Beacon Kits to [Beacon with:].");
  }
  EXPECT_TRUE(starts().empty());
  EXPECT_TRUE(Beacon::sharedSDK()->kitClasses().empty());
  EXPECT_EQ(server_->requestCount(), 0u);
  // The registration has been used up.
  BCNConsoleCapture console;
  Beacon::with({"Crashtrail"});
  EXPECT_TRUE(console.contains(kMultipleCallsLine));
  EXPECT_TRUE(starts().empty());
}

TEST_F(BeaconTest, LegacyKitIsAskedToUpgradeAndStartedThroughItsSharedInstance) {
  BCNKitClass old;
  old.name = "OldKit";
  old.sharedInstance = [] {
    auto instance = std::make_shared<BCNLegacyKitInstance>();
    instance->start = [] { recordStart("OldKit"); };
    instance->bundleIdentifier = [] { return std::string("com.example.oldkit"); };
    instance->version = [] { return std::string("0.9"); };
    return instance;
  };
  Beacon::registerKitClass(old);
  BCNConsoleCapture console;
  std::shared_ptr<Beacon> sdk = withAndAwaitSettings({"OldKit"});
  EXPECT_TRUE(console.contains("[Beacon] Please upgrade to the latest version of \"OldKit\""));
  EXPECT_EQ(starts(), std::vector<std::string>{"OldKit"});
  EXPECT_EQ(sdk->kitVersionsByKitBundleIdentifier()["com.example.oldkit"], platform::Value("0.9"));
}

TEST_F(BeaconTest, LegacyKitWithoutItsMethodsIsNoKit) {
  BCNKitClass broken;
  broken.name = "BrokenKit";
  broken.sharedInstance = [] {
    auto instance = std::make_shared<BCNLegacyKitInstance>();
    instance->start = [] { recordStart("BrokenKit"); };
    return instance;  // no bundleIdentifier, no version
  };
  Beacon::registerKitClass(broken);
  BCNConsoleCapture console;
  EXPECT_THROW(Beacon::validateFABKitConformance({"BrokenKit"}), platform::Exception);
  EXPECT_TRUE(console.contains("[Beacon] Please upgrade to the latest version of \"BrokenKit\""));
  EXPECT_TRUE(starts().empty());
}

TEST_F(BeaconTest, KitListSteps) {
  EXPECT_EQ(Beacon::kitClassesByAddingDigitsIfFound({"Crashtrail"}),
            std::vector<std::string>{"Crashtrail"});  // no such class
  Beacon::registerKitClass(kitClass("Digits", "digits", "1"));
  Beacon::registerKitClass(kitClass("Appsee", "appsee", "1"));
  EXPECT_EQ(Beacon::kitClassesByAddingDigitsIfFound({"Crashtrail"}),
            (std::vector<std::string>{"Crashtrail", "Digits"}));
  EXPECT_EQ(Beacon::kitClassesByAddingDigitsIfFound({"Digits"}),
            std::vector<std::string>{"Digits"});
  EXPECT_EQ(Beacon::kitClassesByAddingTallyIfFound({"Tally", "Crashtrail"}),
            (std::vector<std::string>{"Tally", "Crashtrail"}));
  EXPECT_EQ(Beacon::kitClassesByAddingTallyIfFound({"Appsee"}), std::vector<std::string>{"Appsee"});
  EXPECT_EQ(Beacon::kitClassesByEnsuringAppseeIsFirst({"Crashtrail", "Digits", "Appsee", "Tally"}),
            (std::vector<std::string>{"Appsee", "Crashtrail", "Digits", "Tally"}));
  Beacon::unregisterKitClass("Tally");
  EXPECT_EQ(Beacon::kitClassesByAddingTallyIfFound({"Crashtrail"}),
            std::vector<std::string>{"Crashtrail"});
}

TEST_F(BeaconTest, InformationDictionaryValidation) {
  auto reasonOf = [](const platform::Value& info) -> std::string {
    try {
      Beacon::validBeaconConfigFromInfoPlist(info);
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), "BCNException");
      return e.reason();
    }
    return "";
  };
  EXPECT_EQ(reasonOf(platform::Value::dictionary()), "[Beacon] Cannot find Info.plist.");
  EXPECT_EQ(reasonOf(platform::Value::dictionary({{"Beacon", "text"}})),
            "[Beacon] Value of Info.plist key \"Beacon\" must be a NSDictionary.");
  BCNConsoleCapture console;
  EXPECT_EQ(reasonOf(platform::Value::dictionary(
                {{"Beacon", platform::Value::dictionary({{"APIKey", 5}})}})),
            "[Beacon] Value of Info.plist[Beacon][APIKey] must contain your Beacon API Key.");
  EXPECT_TRUE(
      console.contains("[Beacon] [Beacon] Value of Info.plist[Beacon][Kits] should be a NSArray."));
  EXPECT_EQ(reasonOf(platform::Value::dictionary(
                {{"Beacon", platform::Value::dictionary({{"APIKey", "k"}})}})),
            "");

  // Through with(): the first read of the API key raises, and nothing starts.
  setInfo(platform::Value::dictionary({{"CFBundleIdentifier", "com.example.app"}}));
  EXPECT_THROW(Beacon::with({"Crashtrail"}), platform::Exception);
  EXPECT_TRUE(starts().empty());
}

TEST_F(BeaconTest, APIKeySetByCodeNeedsNoInformationDictionary) {
  setInfo(platform::Value::dictionary({{"CFBundleIdentifier", "com.example.app"}}));
  Beacon::sharedSDK()->setAPIKey("from-code");
  std::shared_ptr<Beacon> sdk = withAndAwaitSettings({"Crashtrail"});
  EXPECT_EQ(sdk->APIKey(), "from-code");
  EXPECT_EQ(starts().size(), 2u);
}

TEST_F(BeaconTest, KitConfigurationDictionaries) {
  setInfo(platform::Value::dictionary({
      {"CFBundleIdentifier", "com.example.app"},
      {"Beacon",
       platform::Value::dictionary(
           {{"APIKey", "k"},
            {"Kits", platform::Value::array(
                         {platform::Value::dictionary(
                              {{"KitName", "Crashtrail"},
                               {"KitInfo", platform::Value::dictionary({{"a", 1}})}}),
                          platform::Value::dictionary({{"KitName", "Tally"}}),
                          platform::Value::dictionary(
                              {{"KitName", "Crashtrail"},
                               {"KitInfo", platform::Value::dictionary({{"b", 2}})}})})}})},
  }));
  EXPECT_EQ(Beacon::configurationDictionaryForKitClass("Crashtrail"),
            platform::Value::dictionary({{"a", 1}}));
  EXPECT_EQ(Beacon::configurationDictionaryForKitClass("Tally"), platform::Value::dictionary());
  EXPECT_TRUE(Beacon::configurationDictionaryForKitClass("Other").isNone());
  EXPECT_EQ(Beacon::sharedSDK()->configurationDictionaryForKit(CrashtrailInstance()),
            platform::Value::dictionary({{"a", 1}}));
}

TEST_F(BeaconTest, DebugSwitchAndAdvertisingToken) {
  std::shared_ptr<Beacon> sdk = Beacon::sharedSDK();
  EXPECT_FALSE(sdk->debug());
  BCNConsoleCapture console;
  sdk->kitVersionsByKitBundleIdentifier();
  EXPECT_FALSE(console.contains("[Beacon] Initialized with kit versions: "));
  sdk->setDebug(true);
  EXPECT_TRUE(BCNConsoleIsDebug());
  sdk->kitVersionsByKitBundleIdentifier();
  EXPECT_TRUE(console.contains("[Beacon] Initialized with kit versions: "));

  EXPECT_FALSE(sdk->advertisingToken());
  sdk->setAdvertisingToken("token");
  EXPECT_EQ(sdk->advertisingToken(), "token");
}

TEST_F(BeaconTest, KitContractNeedsItsRequiredMethods) {
  BCNKitClass incomplete;
  incomplete.name = "Digits";
  incomplete.conformsToBCNKit = true;
  EXPECT_THROW(Beacon::registerKitClass(incomplete), platform::Exception);
  EXPECT_EQ(Beacon::kitClassNamed("Digits"), nullptr);
}

}  // namespace
}  // namespace sdk
