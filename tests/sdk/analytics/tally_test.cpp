#include "sdk/analytics/tally.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "platform/system/bundle.h"
#include "platform/system/user_defaults.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/analytics/tly_tally_controller.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/beacon.h"
#include "sdk/platform/ctr_user_defaults.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using platform::Value;

class TallyTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    reset(std::make_shared<platform::Bundle>(
        "/proc/self/exe", "",
        Value::dictionary({{"CFBundleIdentifier", "com.varnel.tally-facade"},
                           {"CFBundleVersion", "7"},
                           {"Beacon", Value::dictionary({{"APIKey", "0123456789abcdef"}})}})));
    // The registry's debug switch: the kit's logger follows it at start.
    BCNConsoleSetDebug(true);
    Tally::Options options;
    options.controllerFactory = [this](const std::optional<std::string>& token) {
      ++factoryCalls_;
      tokens_.push_back(token);
      return TLYTallyController::initWithBetaToken(token, root().file("analytics"));
    };
    Tally::resetSharedInstanceForTesting(std::move(options));
  }

  void TearDown() override {
    if (auto controller = Tally::sharedInstance()->tallyController()) {
      controller->runOnEventQueue([] {});
      controller->eventQueue()->waitUntilAllOperationsAreFinished(std::chrono::seconds(20));
    }
    reset(nullptr);
    BCNConsoleSetDebug(false);
    TLYLogger::sharedLogger().setDebugMode(false);
    Beacon::unregisterKitClass("Crashtrail");
  }

  // The kit, the registry and its stores start afresh, describing `bundle`
  // (nullptr: the running program).
  static void reset(const platform::BundlePtr& bundle) {
    Tally::resetSharedInstanceForTesting();
    Beacon::resetSharedSDKForTesting({bundle});
    CTRUserDefaults::resetStandardUserDefaultsForTesting(bundle);
    platform::UserDefaults::resetStandardUserDefaults(bundle);
  }

  std::atomic<int> factoryCalls_{0};
  std::vector<std::optional<std::string>> tokens_;
};

TEST_F(TallyTest, EventsBeforeTheStartAreDroppedSilently) {
  BCNConsoleCapture console;
  TLYLogger::sharedLogger().setDebugMode(true);
  Tally::logCustomEventWithName("early", Value::dictionary({{"a", "b"}}));
  Tally::logSearchWithQuery("vpn");
  Tally::logPreviousSessionCrashedOnDate(platform::Date(1500000000));
  EXPECT_EQ(Tally::sharedInstance()->tallyController(), nullptr);
  EXPECT_TRUE(console.lines().empty());
  EXPECT_EQ(factoryCalls_, 0);
}

TEST_F(TallyTest, TheStartRunsOnceAndKeepsTheFirstToken) {
  BCNConsoleCapture console;
  Tally::startWithBetaToken(std::string("2:first"));
  auto controller = Tally::sharedInstance()->tallyController();
  ASSERT_NE(controller, nullptr);
  Tally::startWithBetaToken(std::string("2:second"));
  Tally::initializeIfNeeded();
  EXPECT_EQ(Tally::sharedInstance()->tallyController(), controller);
  EXPECT_EQ(factoryCalls_, 1);
  EXPECT_EQ(controller->betaToken(), "2:first");
  EXPECT_TRUE(TLYLogger::sharedLogger().debugMode());
  EXPECT_EQ(console.count("[Tally] Initialized"), 1u);
}

TEST_F(TallyTest, StartedEventsReachTheController) {
  Tally::startWithBetaToken(std::nullopt);
  auto controller = Tally::sharedInstance()->tallyController();
  ASSERT_NE(controller, nullptr);
  BCNConsoleCapture console;
  Tally::logCustomEventWithName("Connected", Value::dictionary({{"protocol", "udp"}}));
  Tally::logPurchaseWithPrice(TLYDecimal(9.99), "USD", true, "Plan", std::nullopt, std::nullopt);
  Tally::logLevelEnd("3", Value(1200), false);
  EXPECT_TRUE(console.contains("[Tally] Logging Tally event: <TLYCustomEvent: Connected"));
  EXPECT_TRUE(console.contains("[Tally] Logging Tally event: <TLYPredefinedEvent: purchase"));
  EXPECT_TRUE(console.contains("[Tally] Logging Tally event: <TLYPredefinedEvent: level_end"));

  Tally::logPreviousSessionCrashedOnDate(std::nullopt);
  controller->runOnEventQueue([] {});
  EXPECT_FALSE(console.contains("Attempting to log"));
  Tally::logPreviousSessionCrashedOnDate(platform::Date(1500000000));
  controller->runOnEventQueue([] {});
  EXPECT_TRUE(console.contains("Attempting to log app_crashed"));
}

TEST_F(TallyTest, TallyIsARegisteredKitThatHandsItsStartToCrashReporting) {
  auto kit = Beacon::kitClassNamed("Tally");
  ASSERT_NE(kit, nullptr);
  EXPECT_TRUE(kit->conformsToBCNKit);
  EXPECT_EQ(kit->bundleIdentifier(), "com.beacon.tally.mac");
  EXPECT_EQ(kit->kitDisplayVersion(), "1.3.4");
  EXPECT_EQ(kit->kitBuildVersion(), "26");
  EXPECT_EQ(Tally::sharedInstance()->className(), "Tally");

  int crashStarts = 0;
  BCNKitClass crashtrail;
  crashtrail.name = "Crashtrail";
  crashtrail.conformsToBCNKit = true;
  crashtrail.bundleIdentifier = [] { return std::string("com.beacon.crashtrail.mac"); };
  crashtrail.kitDisplayVersion = [] { return std::string("3.8.4"); };
  crashtrail.initializeIfNeeded = [&] { ++crashStarts; };
  Beacon::registerKitClass(crashtrail);
  kit->initializeIfNeeded();
  EXPECT_EQ(crashStarts, 1);
  EXPECT_EQ(factoryCalls_, 0);

  Beacon::unregisterKitClass("Crashtrail");
  kit->initializeIfNeeded();
  EXPECT_EQ(factoryCalls_, 1);
  ASSERT_EQ(tokens_.size(), 1u);
  EXPECT_EQ(tokens_[0], std::nullopt);
}

TEST_F(TallyTest, ConcurrentFirstCallsShareOneInstanceAndOneStart) {
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<Tally>> seen(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([i, &seen] {
      seen[i] = Tally::sharedInstance();
      Tally::startWithBetaToken(std::string("2:t") + std::to_string(i));
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& s : seen) EXPECT_EQ(s, seen[0]);
  EXPECT_EQ(factoryCalls_, 1);
}

}  // namespace
}  // namespace sdk
