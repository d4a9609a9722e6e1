#include "sdk/crash/ctr_beta_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "sdk/crash/ctr_beta_update.h"
#include "sdk/crash/ctr_settings.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_network_operation.h"
#include "sdk/platform/bcn_request_guard.h"
#include "sdk/platform/bcn_settings_onboarding_manager.h"
#include "sdk/platform/beacon.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using platform::Value;
using test_support::HTTPRecordedRequest;
using test_support::HTTPReply;
using test_support::HTTPTestServer;
using namespace std::chrono_literals;

constexpr const char* kCheckPath = "/spi/v2/platforms/mac/apps/com.example_app/beta_update_check";

class FakeKit : public CTRBetaControllerDelegate {
 public:
  CTRSettings::Ptr settingsForBetaController(CTRBetaController&) override { return settings; }
  std::optional<std::string> APIKeyForBetaController(CTRBetaController&) override {
    return "the-api-key";
  }
  std::optional<std::string> betaTokenForBetaController(CTRBetaController&) override {
    ++tokenRequests;
    return token;
  }
  void betaControllerDidActivateUpdate(CTRBetaController&,
                                       const CTRBetaUpdate::Ptr& update) override {
    activated = update;
  }

  CTRSettings::Ptr settings = CTRSettings::initWithDictionary(
      Value::dictionary({{"beta", Value::dictionary({{"update_suspend_duration", 60}})}}));
  std::optional<std::string> token = "the-beta-token";
  int tokenRequests = 0;
  CTRBetaUpdate::Ptr activated;  // main queue only
};

// Console lines, with a wait for one of them. The lines live in a shared
// state, so that a line written by another thread while the hook is being
// removed still finds them.
class Console {
 public:
  Console() : state_(std::make_shared<State>()) {
    previous_ = BCNConsoleSetHook([state = state_](const std::string& line) {
      std::lock_guard lock(state->mutex);
      state->lines.push_back(line);
      state->cv.notify_all();
    });
  }
  ~Console() { BCNConsoleSetHook(previous_); }
  bool waitFor(const std::string& text) {
    std::unique_lock lock(state_->mutex);
    return state_->cv.wait_for(lock, 10s, [&] { return countLocked(text) > 0; });
  }
  std::size_t count(const std::string& text) {
    std::lock_guard lock(state_->mutex);
    return countLocked(text);
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> lines;
  };
  std::size_t countLocked(const std::string& text) const {
    std::size_t n = 0;
    for (const auto& line : state_->lines)
      if (line.find(text) != std::string::npos) ++n;
    return n;
  }
  std::shared_ptr<State> state_;
  BCNConsoleHook previous_;
};

// Releases a held server reply once, at the latest when it goes out of
// scope (so that a failing test never leaves the server waiting).
class Gate {
 public:
  Gate() : opened_(promise_.get_future().share()) {}
  ~Gate() { open(); }
  void open() {
    if (!open_) {
      open_ = true;
      promise_.set_value();
    }
  }
  std::shared_future<void> future() const { return opened_; }

 private:
  std::promise<void> promise_;
  std::shared_future<void> opened_;
  bool open_ = false;
};

class CTRBetaControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The local server speaks plain HTTP; the headers it checks are sent anyway.
    BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(true);
    server_ = HTTPTestServer::start();
    useInfo(Value());
    Beacon::resetSharedSDKForTesting({bundle_});
    BCNConsoleSetDebug(true);
    kit_ = std::make_shared<FakeKit>();
    // The kit's settings read the local configuration of the same program.
    kit_->settings = CTRSettings::initWithDictionary(kit_->settings->settingsDictionary(), bundle_);
  }
  void TearDown() override {
    BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(false);
    if (controller_) controller_->queue()->sync([] {});
    controller_.reset();
    server_->stop();
    BCNConsoleSetDebug(false);
    Beacon::resetSharedSDKForTesting();
  }

  // A signed-for-distribution application whose beta endpoint is the test
  // server; `extra` entries are added to the information dictionary. The
  // controllers made after this check for it.
  void useInfo(Value extra) {
    Value info = Value::mutableDictionary({
        {"CFBundleIdentifier", "com.example/app"},
        {"CFBundleVersion", "42"},
        {"CFBundleShortVersionString", "1.2"},
        {"CFBundleName", "Example"},
        {"CrashtrailSignedForDistribution", true},
        {"Crashtrail", Value::dictionary({{"BetaEndpoint", server_->baseURL()}})},
    });
    if (extra.isDictionary()) info.addEntriesFrom(extra);
    bundle_ = std::make_shared<platform::Bundle>(root_.file("bin/app"), root_.file("resources"),
                                                 info.copy());
  }

  CTRBetaController::Ptr makeController() {
    controller_ = CTRBetaController::initWithDelegate(kit_, bundle_);
    return controller_;
  }

  // Runs the main run loop until `done` (or a 10 s safety net).
  static bool runMainUntil(const std::function<bool()>& done) {
    return platform::runloop::RunLoop::main().runUntil(done, 10s);
  }

  varnel::testing::TempRoot root_;
  std::unique_ptr<HTTPTestServer> server_;
  platform::BundlePtr bundle_;
  std::shared_ptr<FakeKit> kit_;
  CTRBetaController::Ptr controller_;
};

TEST_F(CTRBetaControllerTest, BetaSupportNeedsDistributionSigningAndNoExtension) {
  EXPECT_TRUE(CTRBetaController::isBetaSupported(bundle_));
  useInfo(Value::dictionary({{"CrashtrailSignedForDistribution", false}}));
  EXPECT_FALSE(CTRBetaController::isBetaSupported(bundle_));
  useInfo(Value::dictionary(
      {{"NSExtension", Value::dictionary({{"NSExtensionPointIdentifier", "com.example.share"}})}}));
  EXPECT_FALSE(CTRBetaController::isBetaSupported(bundle_));
}

TEST_F(CTRBetaControllerTest, WithoutBetaTokenNothingIsObservedAndNothingRequested) {
  kit_->token.reset();
  const auto controller = makeController();
  EXPECT_FALSE(controller->start());
  EXPECT_FALSE(controller->start());
  EXPECT_EQ(kit_->tokenRequests, 1);  // fetched once, then kept
  platform::NotificationCenter::defaultCenter().post(BCNSettingsAvailableNotification);
  controller->queue()->sync([] {});
  controller->queue()->sync([] {});
  EXPECT_FALSE(controller->isRetrying());
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(CTRBetaControllerTest, SettingsNotificationChecksAndKeepsTheUpdate) {
  server_->setReply(
      kCheckPath,
      HTTPReply::json(R"({"url":"https://beta.example.com/b/7","version_string":"7.0"})"));
  Console console;
  const auto controller = makeController();
  ASSERT_TRUE(controller->start());
  ASSERT_TRUE(controller->start());  // observes once only
  platform::NotificationCenter::defaultCenter().post(BCNSettingsAvailableNotification);
  ASSERT_TRUE(runMainUntil([&] { return kit_->activated != nullptr; }));

  const auto update = controller->activeUpdate();
  ASSERT_NE(update, nullptr);
  EXPECT_EQ(update, kit_->activated);
  EXPECT_EQ(update->url().absoluteString(), "https://beta.example.com/b/7");
  EXPECT_EQ(update->version(), std::optional<std::string>("7.0"));

  ASSERT_EQ(server_->requestCount(), 1u);
  const HTTPRecordedRequest request = server_->requests()[0];
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.path, kCheckPath);
  const std::string instance = Beacon::sharedSDK()->instanceIdentifier();
  EXPECT_EQ(request.query,
            "build_version=42&display_version=1.2&instance=" + instance + "&source=3");
  EXPECT_EQ(request.header("User-Agent"), "Crashtrail Mac SDK/3.8.4");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_EQ(request.header("Accept-Charset"), "utf-8");
  EXPECT_TRUE(request.header("Accept-Language").has_value());
  EXPECT_EQ(request.header("X-Crashtrail-Developer-Token"), kBCNDeveloperToken);
  EXPECT_EQ(request.header("X-Crashtrail-API-Client-Id"), "com.beacon.crashtrail.mac");
  EXPECT_EQ(request.header("X-Crashtrail-API-Client-Display-Version"), "3.8.4");
  EXPECT_EQ(request.header("X-Crashtrail-API-Client-Build-Version"), "121");
  EXPECT_EQ(request.header("X-Crashtrail-API-Key"), "the-api-key");
  EXPECT_EQ(request.header("X-Crashtrail-Beta-Token"), "the-beta-token");

  EXPECT_TRUE(console.count("[Crashtrail:Beta] Loading beta update") == 1);
  EXPECT_TRUE(console.count("[Crashtrail:Beta] Beta Update-Check url string: '" +
                            server_->url(kCheckPath)) == 1);
  EXPECT_TRUE(console.count("[Crashtrail:Beta] Beta update loaded") == 1);

  // Suspended for the server's duration: another notification asks nothing.
  ASSERT_TRUE(runMainUntil([&] { return controller->checksSuspended(); }));
  const auto timer = controller->checkSuspensionTimer();
  ASSERT_NE(timer, nullptr);
  EXPECT_DOUBLE_EQ(timer->interval(), 60.0);
  EXPECT_FALSE(timer->repeats());
  EXPECT_FALSE(controller->isRetrying());
  EXPECT_FALSE(controller->shouldGetUpdates());
  platform::NotificationCenter::defaultCenter().post(BCNSettingsAvailableNotification);
  controller->queue()->sync([] {});
  controller->queue()->sync([] {});
  EXPECT_EQ(server_->requestCount(), 1u);

  // When the timer fires, checks are allowed again and the timer is gone.
  timer->fire();
  EXPECT_FALSE(controller->checksSuspended());
  EXPECT_EQ(controller->checkSuspensionTimer(), nullptr);
  EXPECT_FALSE(timer->isValid());
  EXPECT_TRUE(controller->shouldGetUpdates());
}

TEST_F(CTRBetaControllerTest, TwoNotificationsInQuickSuccessionMakeOneRequest) {
  Gate release;
  std::shared_future<void> released = release.future();
  std::promise<void> arrived;
  std::atomic<int> handled{0};
  server_->setHandler(kCheckPath, [released, &arrived, &handled](const HTTPRecordedRequest&) {
    if (handled++ == 0) arrived.set_value();
    released.wait();
    return HTTPReply::json(R"({"url":"https://beta.example.com/b/8"})");
  });
  const auto controller = makeController();
  ASSERT_TRUE(controller->start());
  platform::NotificationCenter::defaultCenter().post(BCNSettingsAvailableNotification);
  platform::NotificationCenter::defaultCenter().post(BCNSettingsAvailableNotification);
  ASSERT_EQ(arrived.get_future().wait_for(10s), std::future_status::ready);
  controller->queue()->sync([] {});
  controller->queue()->sync([] {});
  EXPECT_TRUE(controller->isRetrying());
  controller->checkForUpdate();  // still under way: nothing new
  controller->queue()->sync([] {});
  controller->queue()->sync([] {});
  release.open();
  ASSERT_TRUE(runMainUntil([&] { return kit_->activated != nullptr; }));
  EXPECT_EQ(server_->requestCount(), 1u);
  EXPECT_EQ(handled.load(), 1);
}

TEST_F(CTRBetaControllerTest, AnswerWithInvalidURLGivesErrorAndNoActiveUpdate) {
  server_->setReply(kCheckPath, HTTPReply::json(R"({"url":"not a url","version_string":"9"})"));
  Console console;
  const auto controller = makeController();
  std::promise<std::pair<CTRBetaUpdate::Ptr, platform::Error>> result;
  controller->maybeGetUpdate([&result](const CTRBetaUpdate::Ptr& update, const platform::Error& e) {
    result.set_value({update, e});
  });
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  const auto [update, error] = future.get();
  EXPECT_EQ(update, nullptr);
  EXPECT_EQ(error.domain(), "NSURLErrorDomain");
  EXPECT_EQ(error.code(), -1017);
  EXPECT_TRUE(error.userInfo().isNone() || error.userInfo().count() == 0);
  EXPECT_EQ(console.count("[Crashtrail:Beta] Unable to deserialize beta update data: "), 1u);

  controller->didGetUpdate(update);
  EXPECT_EQ(console.count("[Crashtrail:Beta] Beta update url is invalid"), 1u);
  // Drain the main queue (the suspension block) and see nothing became active.
  ASSERT_TRUE(runMainUntil([&] { return controller->checksSuspended(); }));
  EXPECT_EQ(controller->activeUpdate(), nullptr);
  EXPECT_EQ(kit_->activated, nullptr);
}

TEST_F(CTRBetaControllerTest, UnreadableAnswerReportsTheParserError) {
  const auto controller = makeController();
  Console console;
  platform::Error error;
  const std::string text = "{\"url\": ";
  EXPECT_EQ(controller->updateWithData(platform::Bytes(text.begin(), text.end()), &error), nullptr);
  EXPECT_TRUE(static_cast<bool>(error));
  EXPECT_NE(error.code(), -1017);
  EXPECT_EQ(console.count("[Crashtrail:Beta] Unable to read beta update data: "), 1u);
  const std::string array = "[1,2]";
  EXPECT_EQ(controller->updateWithData(platform::Bytes(array.begin(), array.end()), &error),
            nullptr);
  EXPECT_EQ(error.code(), -1017);
}

TEST_F(CTRBetaControllerTest, FailedRequestCallsNoCompletionAndDoesNotBlockLaterChecks) {
  server_->setReply(kCheckPath, HTTPReply::text(404, "gone"));
  Console console;
  const auto controller = makeController();
  bool called = false;
  controller->maybeGetUpdate(
      [&called](const CTRBetaUpdate::Ptr&, const platform::Error&) { called = true; });
  ASSERT_TRUE(console.waitFor("[Crashtrail:Beta] Failed to load update '"));
  controller->queue()->sync([] {});
  EXPECT_FALSE(controller->isRetrying());
  EXPECT_FALSE(controller->checksSuspended());

  server_->setReply(kCheckPath, HTTPReply::json(R"({"url":"https://beta.example.com/b/9"})"));
  controller->checkForUpdate();
  ASSERT_TRUE(runMainUntil([&] { return kit_->activated != nullptr; }));
  EXPECT_EQ(server_->requestCount(), 2u);
  EXPECT_FALSE(called);
}

TEST_F(CTRBetaControllerTest, NoChecksWhenBetaIsNotSupported) {
  useInfo(Value::dictionary({{"CrashtrailSignedForDistribution", false}}));
  const auto controller = makeController();
  ASSERT_TRUE(controller->start());
  platform::NotificationCenter::defaultCenter().post(BCNSettingsAvailableNotification);
  controller->queue()->sync([] {});
  controller->queue()->sync([] {});
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(CTRBetaControllerTest, WithoutSettingsChecksAreNotSuspended) {
  // No settings from the kit: no endpoint, so no request, and no duration.
  kit_->settings = nullptr;
  const auto controller = makeController();
  EXPECT_EQ(controller->betaUpdateSuspendDurationSecs(), std::nullopt);
  EXPECT_EQ(controller->betaUpdateURL(), std::nullopt);
  controller->temporarilySuspendChecks();
  bool drained = false;
  platform::dispatch::Queue::main()->async([&drained] { drained = true; });
  ASSERT_TRUE(runMainUntil([&] { return drained; }));
  EXPECT_FALSE(controller->checksSuspended());
  EXPECT_EQ(controller->checkSuspensionTimer(), nullptr);
}

TEST(CTRBetaUpdateTest, PromptTextsNameTheApplication) {
  varnel::testing::TempRoot root;
  const Value answer =
      Value::dictionary({{"url", "https://beta.example.com/x"}, {"version_string", 3}});
  const auto update = CTRBetaUpdate::initWithDictionary(
      answer, std::make_shared<platform::Bundle>(
                  root.file("bin/app"), root.file("resources"),
                  Value::dictionary({{"CFBundleName", "Example"}, {"CFBundleVersion", "42"}})));
  ASSERT_NE(update, nullptr);
  EXPECT_EQ(update->version(), std::nullopt);  // not a text
  EXPECT_EQ(update->promptTitle(), "New Build Available");
  EXPECT_EQ(update->promptMessage(), "A new version of Example is available for testing.");
  EXPECT_EQ(update->cancelLabel(), "Cancel");
  EXPECT_EQ(update->installLabel(), "Install");

  const auto shown = CTRBetaUpdate::initWithDictionary(
      answer,
      std::make_shared<platform::Bundle>(
          root.file("bin/app"), root.file("resources"),
          Value::dictionary({{"CFBundleDisplayName", "Shown"}, {"CFBundleName", "Example"}})));
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->promptMessage(), "A new version of Shown is available for testing.");

  platform::Error error;
  EXPECT_EQ(CTRBetaUpdate::betaUpdateWithDictionary(Value::dictionary({{"url", 5}}), &error),
            nullptr);
  EXPECT_EQ(error.code(), -1017);
  EXPECT_EQ(CTRBetaUpdate::betaUpdateWithDictionary(Value("text")), nullptr);  // no error slot
}

}  // namespace
}  // namespace sdk
