#include "sdk/crash/crashtrail.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/exception.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/bundle.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"
#include "platform/system/user_defaults.h"
#include "sdk/analytics/tally.h"
#include "sdk/analytics/tly_tally_controller.h"
#include "sdk/crash/ctr_file_manager.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/beacon.h"
#include "sdk/platform/ctr_user_defaults.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using namespace std::chrono_literals;
using platform::Value;

bool runMainUntil(const std::function<bool()>& done) {
  return platform::runloop::RunLoop::main().runUntil(done, 10s);
}

// Runs what is already queued on the main queue (and what that queues).
void drainMain() {
  bool ran = false;
  platform::dispatch::Queue::main()->async([&] { ran = true; });
  ASSERT_TRUE(runMainUntil([&] { return ran; }));
}

class CrashtrailTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    reset();
    // The settings download of the registry goes to a loopback server.
    server_ = test_support::HTTPTestServer::start();
    ::setenv("SettingsEndpoint", server_->baseURL().c_str(), 1);
    ::setenv("ConfigureEndpoint", server_->baseURL().c_str(), 1);
    installBundle(true);
    Tally::Options analytics;
    analytics.controllerFactory = [this](const std::optional<std::string>& token) {
      return TLYTallyController::initWithBetaToken(token, root().file("analytics"));
    };
    Tally::resetSharedInstanceForTesting(std::move(analytics));
    // The real controller would install process-wide crash handlers; the
    // facade's side of the start is what is tested here.
    Crashtrail::Options options;
    options.controllerStarter = [this](Crashtrail& kit,
                                       const std::shared_ptr<CTRFileManager>& fileManager,
                                       std::uint64_t mark,
                                       const std::optional<std::string>& betaToken,
                                       std::shared_ptr<CTRCrashReportingController>* controller) {
      (void)mark;
      ++starts_;
      tokens_.push_back(betaToken);
      CTRCrashReportingController::Options controllerOptions;
      controllerOptions.bundle = bundle_;
      *controller = CTRCrashReportingController::create(
          fileManager, std::weak_ptr<CTRCrashReportingControllerDelegate>(kit.shared_from_this()),
          std::move(controllerOptions));
      return startAnswer_;
    };
    Crashtrail::resetSharedInstanceForTesting(std::move(options));
  }

  void TearDown() override {
    drainMain();
    if (auto controller = Tally::sharedInstance()->tallyController()) {
      controller->eventQueue()->waitUntilAllOperationsAreFinished(std::chrono::seconds(20));
    }
    reset();
    BCNConsoleSetDebug(false);
    ::unsetenv("SettingsEndpoint");
    ::unsetenv("ConfigureEndpoint");
    server_.reset();
  }

  static void reset() {
    Crashtrail::resetSharedInstanceForTesting();
    Tally::resetSharedInstanceForTesting();
    Beacon::resetSharedSDKForTesting();
    CTRUserDefaults::resetStandardUserDefaultsForTesting();
    platform::UserDefaults::resetStandardUserDefaults();
  }

  // The registry (and its stores) made after this describe a program with
  // (or without) an API key in its information dictionary.
  void installBundle(bool withAPIKey) {
    auto info = Value::mutableDictionary();
    info.set("CFBundleIdentifier", Value("com.varnel.crashtrail-facade"));
    info.set("CFBundleVersion", Value("7"));
    if (withAPIKey) {
      info.set("Beacon",
               Value::dictionary({{"APIKey", "0123456789abcdef0123456789abcdef01234567"}}));
    }
    bundle_ = std::make_shared<platform::Bundle>("/proc/self/exe", "", info);
    Beacon::resetSharedSDKForTesting({bundle_});
    CTRUserDefaults::resetStandardUserDefaultsForTesting(bundle_);
    platform::UserDefaults::resetStandardUserDefaults(bundle_);
  }

  std::shared_ptr<CTRCrashReportingController> controller() {
    auto c = Crashtrail::sharedInstance()->crashReportingController();
    EXPECT_NE(c, nullptr);
    return c;
  }

  std::shared_ptr<CTRInternalReport> makeReport(const std::string& name, bool crash) {
    const std::string dir = root().file(name);
    platform::paths::createDirectories(dir);
    if (crash) {
      std::FILE* f = std::fopen((dir + "/signal.clsrecord").c_str(), "w");
      std::fputs("{\"signal\":{\"number\":11}}\n", f);
      std::fclose(f);
    }
    return std::make_shared<CTRInternalReport>(dir, name);
  }

  std::unique_ptr<test_support::HTTPTestServer> server_;
  platform::BundlePtr bundle_;  // the program the registry describes
  std::atomic<int> starts_{0};
  std::vector<std::optional<std::string>> tokens_;
  bool startAnswer_ = true;
};

TEST_F(CrashtrailTest, RegisteringTwiceStartsOnceAndLogsTheVersionOnce) {
  BCNConsoleCapture console;
  Beacon::with({kCrashtrailKitClassName});
  Beacon::with({kCrashtrailKitClassName});
  Crashtrail::initializeIfNeeded();
  Crashtrail::sharedInstance()->start();

  EXPECT_EQ(starts_.load(), 1);
  EXPECT_EQ(console.count("[Crashtrail] Version 3.8.4 (121)"), 1u);
  EXPECT_FALSE(console.contains("Crash reporting could not be initialized"));
  // Crash reporting and analytics started, in that order, without a beta token.
  EXPECT_EQ(Beacon::sharedSDK()->kitClasses(), (std::vector<std::string>{"Crashtrail", "Tally"}));
  ASSERT_EQ(tokens_.size(), 1u);
  EXPECT_EQ(tokens_[0], std::nullopt);
  EXPECT_NE(Tally::sharedInstance()->tallyController(), nullptr);
  EXPECT_EQ(Crashtrail::sharedInstance()->betaController(), nullptr);
  EXPECT_TRUE(Crashtrail::sharedInstance()->isCrashtrailStarted());

  auto kit = Beacon::kitClassNamed("Crashtrail");
  ASSERT_NE(kit, nullptr);
  EXPECT_TRUE(kit->conformsToBCNKit);
  EXPECT_EQ(kit->bundleIdentifier(), "com.beacon.crashtrail.mac");
  EXPECT_EQ(kit->kitDisplayVersion(), "3.8.4");
  EXPECT_EQ(kit->kitBuildVersion(), "121");
}

TEST_F(CrashtrailTest, AFailedControllerStartIsReported) {
  startAnswer_ = false;
  BCNConsoleCapture console;
  Crashtrail::sharedInstance()->start();
  EXPECT_TRUE(console.contains("[Crashtrail] Crash reporting could not be initialized"));
  // Analytics still starts.
  EXPECT_NE(Tally::sharedInstance()->tallyController(), nullptr);
}

TEST_F(CrashtrailTest, StartWithAPIKeySetsTheKeyAndTheDelegateWithoutWarning) {
  installBundle(false);  // the key comes from code, not from the information dictionary
  auto delegate = std::make_shared<CrashtrailDelegate>();
  BCNConsoleCapture console;
  auto kit = Crashtrail::startWithAPIKeyDelegateAfterDelay("fedcba9876543210", delegate, 5.0);
  EXPECT_EQ(kit, Crashtrail::sharedInstance());
  EXPECT_EQ(kit->delegate(), delegate);
  EXPECT_EQ(kit->APIKey(), "fedcba9876543210");
  EXPECT_EQ(starts_.load(), 1);
  EXPECT_TRUE(console.contains(
      "[Crashtrail] Warning, startWithAPIKey:delegate:afterDelay: is deprecated."));
  EXPECT_FALSE(console.contains("setting delegate after start"));
  // A second start does nothing more than the registry's warning.
  Crashtrail::startWithAPIKey("fedcba9876543210");
  EXPECT_EQ(starts_.load(), 1);
  EXPECT_TRUE(console.contains("called multiple times"));
}

TEST_F(CrashtrailTest, DebugModeCanOnlyBeSwitchedOnAndWarnsAfterTheStart) {
  auto kit = Crashtrail::sharedInstance();
  BCNConsoleCapture console;
  EXPECT_FALSE(kit->debugMode());
  kit->setDebugMode(false);
  EXPECT_TRUE(kit->debugMode());
  EXPECT_TRUE(Beacon::sharedSDK()->debug());
  EXPECT_FALSE(console.contains("consider enabling debug mode"));

  kit->start();
  EXPECT_TRUE(console.contains("[Crashtrail] Running on "));
  kit->setDebugMode(true);
  EXPECT_TRUE(console.contains(
      "[Crashtrail] Warning, consider enabling debug mode before starting Crashtrail"));
}

TEST_F(CrashtrailTest, ADelegateSetAfterTheStartIsWarnedAboutAndStillCalled) {
  auto kit = Crashtrail::sharedInstance();
  auto first = std::make_shared<CrashtrailDelegate>();
  int firstCrashCalls = 0;
  first->crashtrailDidDetectCrash = [&](Crashtrail&) { ++firstCrashCalls; };
  BCNConsoleCapture console;
  kit->setDelegate(first);
  EXPECT_FALSE(console.contains("setting delegate after start"));
  kit->start();
  EXPECT_TRUE(kit->shouldInstallCrashCallback());

  auto second = std::make_shared<CrashtrailDelegate>();
  int secondCrashCalls = 0;
  second->crashtrailDidDetectCrash = [&](Crashtrail&) { ++secondCrashCalls; };
  second->crashtrailEnsureDeliveryOfUnixSignal = [](Crashtrail&, int signal) {
    return signal == SIGABRT;
  };
  kit->setDelegate(second);
  EXPECT_TRUE(console.contains(
      "[Crashtrail] Warning, setting delegate after start. Make sure to set the Crashtrail "
      "delegate before calling startWithAPIKey:.., or +[Beacon with...] to avoid missing some "
      "delegate callbacks."));
  first.reset();  // the kit keeps what the crash-time callback may still read

  kit->detectedCrash();
  EXPECT_EQ(firstCrashCalls, 0);
  EXPECT_EQ(secondCrashCalls, 1);
  auto c = controller();
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(kit->reportingControllerEnsureDeliveryOfUnixSignal(*c, SIGABRT));
  EXPECT_FALSE(kit->reportingControllerEnsureDeliveryOfUnixSignal(*c, SIGSEGV));
  // The controller asks its delegate, which is the kit.
  EXPECT_EQ(c->machExceptionMaskForSignals(), 1024u);

  kit->setDelegate(nullptr);
  kit->detectedCrash();  // nothing to call
  EXPECT_FALSE(kit->shouldInstallCrashCallback());
  EXPECT_FALSE(kit->reportingControllerEnsureDeliveryOfUnixSignal(*c, SIGABRT));
}

TEST_F(CrashtrailTest, AnOldFormDelegateMakesReportsBeSubmittedAndIsToldOnTheMainQueue) {
  auto kit = Crashtrail::sharedInstance();
  auto delegate = std::make_shared<CrashtrailDelegate>();
  delegate->description = "OldDelegate";
  int calls = 0;
  bool onMain = false;
  delegate->crashtrailDidDetectCrashDuringPreviousExecutionKit = [&](Crashtrail& k) {
    ++calls;
    onMain = platform::dispatch::Queue::main()->isCurrent();
    EXPECT_EQ(&k, kit.get());
  };
  kit->setDelegate(delegate);
  BCNConsoleCapture console;
  kit->start();
  drainMain();
  EXPECT_TRUE(console.contains(
      "[Crashtrail] The Crashtrail delegate 'OldDelegate' implements deprecated methods.  Please "
      "see Crashtrail.h for details."));

  auto c = controller();
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(kit->reportingControllerMustInformDelegateOfReports(*c));
  std::vector<bool> answers;
  kit->reportingControllerDidDetectReportForLastExecution(
      *c, makeReport("old", true), [&](bool submit) { answers.push_back(submit); });
  EXPECT_EQ(answers, std::vector<bool>{true});  // at once, before the main queue ran
  EXPECT_EQ(calls, 0);
  ASSERT_TRUE(runMainUntil([&] { return calls == 1; }));
  EXPECT_TRUE(onMain);
}

TEST_F(CrashtrailTest, ADecidingDelegateGetsTheReportAndTheCompletion) {
  auto kit = Crashtrail::sharedInstance();
  auto delegate = std::make_shared<CrashtrailDelegate>();
  CrashtrailDelegate::Completion kept;
  std::shared_ptr<CTRReport> decided;
  std::shared_ptr<CTRReport> informed;
  std::shared_ptr<CTRReport> older;
  delegate->crashtrailDidDetectReportForLastExecutionCompletionHandler =
      [&](const std::shared_ptr<CTRReport>& report, CrashtrailDelegate::Completion completion) {
        decided = report;
        kept = std::move(completion);
      };
  delegate->crashtrailDidDetectReportForLastExecution =
      [&](const std::shared_ptr<CTRReport>& report) { informed = report; };
  delegate->crashtrailDidDetectCrashDuringPreviousExecution =
      [&](Crashtrail&, const std::shared_ptr<CTRReport>& report) { older = report; };
  kit->setDelegate(delegate);
  kit->start();
  auto c = controller();
  ASSERT_NE(c, nullptr);

  std::vector<bool> answers;
  kit->reportingControllerDidDetectReportForLastExecution(
      *c, makeReport("decide", true), [&](bool submit) { answers.push_back(submit); });
  ASSERT_NE(decided, nullptr);
  EXPECT_TRUE(answers.empty());  // the delegate has not answered yet
  ASSERT_TRUE(kept);
  kept(false);
  EXPECT_EQ(answers, std::vector<bool>{false});
  ASSERT_TRUE(runMainUntil([&] { return informed != nullptr && older != nullptr; }));
  // One report object for all of them, loaded in advance.
  EXPECT_EQ(informed, decided);
  EXPECT_EQ(older, decided);
  EXPECT_TRUE(informed->isReadOnly());
  EXPECT_EQ(informed->identifier().asString(), "decide");
}

TEST_F(CrashtrailTest, WithoutReportCallbacksEveryReportIsSubmitted) {
  auto kit = Crashtrail::sharedInstance();
  kit->start();
  auto c = controller();
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(kit->reportingControllerMustInformDelegateOfReports(*c));
  EXPECT_TRUE(kit->reportingControllerCanUseBackgroundSessions(*c));
  std::vector<bool> answers;
  kit->reportingControllerDidDetectReportForLastExecution(
      *c, makeReport("plain", false), [&](bool submit) { answers.push_back(submit); });
  EXPECT_EQ(answers, std::vector<bool>{true});

  // Only the background-session answer: the delegate decides it, and it
  // does not count as wanting to be told about reports.
  auto delegate = std::make_shared<CrashtrailDelegate>();
  delegate->crashtrailCanUseBackgroundSessions = [](Crashtrail&) { return false; };
  kit->setDelegate(delegate);
  EXPECT_FALSE(kit->reportingControllerCanUseBackgroundSessions(*c));
  EXPECT_FALSE(kit->reportingControllerMustInformDelegateOfReports(*c));
}

TEST_F(CrashtrailTest, IdentityComesFromTheRegistryOrTheLegacyFile) {
  auto kit = Crashtrail::sharedInstance();
  auto c =
      CTRCrashReportingController::create(std::make_shared<CTRFileManager>(bundle_),
                                          std::weak_ptr<CTRCrashReportingControllerDelegate>(kit));
  EXPECT_EQ(kit->installID(), Beacon::sharedSDK()->installID());
  EXPECT_EQ(kit->installIDForCrashReportingController(*c), Beacon::sharedSDK()->installID());
  EXPECT_TRUE(kit->isFirstInstall());
  EXPECT_EQ(kit->APIKeyForCrashReportingController(*c), "0123456789abcdef0123456789abcdef01234567");
  EXPECT_NE(kit->settingsForCrashReportingController(*c), nullptr);
  EXPECT_EQ(kit->instanceBundleIdentifier(), "com.beacon.crashtrail.mac");
  EXPECT_EQ(kit->version(), "3.8.4");
  EXPECT_TRUE(kit->kitInfo().isNone());
  EXPECT_TRUE(kit->settingsDictionary().isNone());

  // A folder in the file's place is not read.
  const std::string legacy = Crashtrail::legacyInstallIDPath();
  EXPECT_EQ(legacy,
            platform::paths::applicationSupport() + "/com.crashtrail/CTRUserDefaults.plist");
  platform::paths::createDirectories(legacy);
  EXPECT_EQ(Crashtrail::legacyInstallID(), std::nullopt);
  EXPECT_EQ(kit->installID(), Beacon::sharedSDK()->installID());
  ::rmdir(legacy.c_str());

  ASSERT_TRUE(platform::plist::writeFile(
      legacy,
      Value::dictionary({{"com.crashtrail.iuuid", "11111111-2222-3333-4444-555555555555"}})));
  EXPECT_EQ(kit->installID(), "11111111-2222-3333-4444-555555555555");
}

TEST_F(CrashtrailTest, DevelopmentPlatformIsWriteOnly) {
  auto kit = Crashtrail::sharedInstance();
  BCNConsoleCapture console;
  kit->setDevelopmentPlatformName(std::string("Unity"));
  EXPECT_EQ(kit->developmentPlatformName(), std::nullopt);
  EXPECT_EQ(kit->developmentPlatformVersion(), std::nullopt);
  EXPECT_TRUE(console.contains("[Crashtrail] developmentPlatformName is write-only"));
  EXPECT_TRUE(console.contains("[Crashtrail] developmentPlatformVersion is write-only"));
}

TEST_F(CrashtrailTest, WebViewMonitoringReportsWhatItCannotDo) {
  auto kit = Crashtrail::sharedInstance();
  BCNConsoleCapture console;
  CTRWebViewConfiguration configuration;
  kit->monitorErrorsForWKWebViewConfiguration(&configuration);  // no engine on this platform
  EXPECT_TRUE(
      console.contains("[Crashtrail] Unable to monitor <CTRWebViewConfiguration: 0 user scripts>"));
  kit->userContentControllerDidReceiveScriptMessage(Value("not a dictionary"));
  EXPECT_TRUE(console.contains("[Crashtrail] Unable to record exception from WKWebView"));

  // Where an engine exists the script goes in, and error messages are taken.
  console.clear();
  CTRWKWebViewSetEngineAvailableForTesting(true);
  kit->monitorErrorsForWKWebViewConfiguration(&configuration);
  kit->userContentControllerDidReceiveScriptMessage(Value::dictionary({{"msg", "boom"}}));
  CTRWKWebViewSetEngineAvailableForTesting(false);
  ASSERT_EQ(configuration.userScripts.size(), 1u);
  EXPECT_EQ(configuration.userScripts[0].source, CTRWKWebViewErrorScript());
  EXPECT_TRUE(console.lines().empty());
}

TEST_F(CrashtrailTest, TestCrashesEndTheWayTheyShould) {
  auto kit = Crashtrail::sharedInstance();
  try {
    kit->throwException();
    FAIL() << "no exception";
  } catch (const platform::Exception& exception) {
    EXPECT_EQ(exception.name(), "CrashtrailTestException");
    EXPECT_EQ(exception.reason(), "This is an Objective-C exception using for testing.");
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(kit->crash(), ::testing::KilledBySignal(SIGILL), "");
}

}  // namespace
}  // namespace sdk
