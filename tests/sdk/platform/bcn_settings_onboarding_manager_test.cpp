#include "sdk/platform/bcn_settings_onboarding_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "platform/system/paths.h"
#include "sdk/platform/bcn_application_identifier_model.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_encoding.h"
#include "sdk/platform/bcn_icon.h"
#include "sdk/platform/bcn_network_client.h"
#include "sdk/platform/bcn_network_operation.h"
#include "sdk/platform/bcn_request_guard.h"
#include "sdk/platform/bcn_settings.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using test_support::HTTPRecordedRequest;
using test_support::HTTPReply;
using test_support::HTTPTestServer;
using namespace std::chrono_literals;

constexpr const char* kSettingsPath = "/spi/v2/platforms/mac/apps/com.example.app/settings";
constexpr const char* kCreatePath = "/spi/v1/platforms/mac/apps";
constexpr const char* kUpdatePath = "/spi/v1/platforms/mac/apps/com.example.app";

// Console lines and settings notifications, with waits on both.
class Events {
 public:
  Events() {
    previousHook_ = BCNConsoleSetHook([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      log_.push_back(line);
      cv_.notify_all();
    });
    token_ = platform::NotificationCenter::defaultCenter().addObserver(
        BCNSettingsAvailableNotification, nullptr, nullptr,
        [this](const platform::Notification& n) {
          std::lock_guard lock(mutex_);
          log_.push_back("notification " + n.name + (n.object ? " with object" : "") +
                         (n.userInfo.isNone() ? "" : " with details"));
          cv_.notify_all();
        });
  }
  ~Events() {
    platform::NotificationCenter::defaultCenter().removeObserver(token_);
    BCNConsoleSetHook(previousHook_);
  }
  bool waitFor(const std::string& text, std::size_t count = 1,
               std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return countLocked(text) >= count; });
  }
  std::size_t count(const std::string& text) {
    std::lock_guard lock(mutex_);
    return countLocked(text);
  }
  std::size_t notifications() { return count("notification "); }
  std::vector<std::string> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

 private:
  std::size_t countLocked(const std::string& text) const {
    std::size_t n = 0;
    for (const auto& line : log_) n += line.find(text) != std::string::npos;
    return n;
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> log_;
  BCNConsoleHook previousHook_;
  platform::NotificationCenter::ObserverToken token_;
};

std::string joined(const std::vector<std::string>& lines) {
  std::ostringstream out;
  for (const auto& l : lines) out << l << "\n";
  return out.str();
}

class BCNSettingsOnboardingManagerTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    // The local server speaks plain HTTP; the headers it checks are sent anyway.
    BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(true);
    server_ = HTTPTestServer::start();
    ::setenv(BCNSettingsEndpointKey, server_->baseURL().c_str(), 1);
    ::setenv(BCNConfigureEndpointKey, server_->baseURL().c_str(), 1);
    setBundle(platform::Value::dictionary({}));
    // A thin 64-bit image with one UUID: its instance identifier is known.
    std::vector<std::uint8_t> image{0xcf, 0xfa, 0xed, 0xfe, 7,    0, 0,  1, 3,  0, 0, 0, 2, 0,
                                    0,    0,    1,    0,    0,    0, 24, 0, 0,  0, 0, 0, 0, 0,
                                    0,    0,    0,    0,    0x1b, 0, 0,  0, 24, 0, 0, 0};
    for (int i = 0; i < 16; ++i) image.push_back(static_cast<std::uint8_t>(i));
    const std::string exe = root().file("exe");
    std::ofstream(exe, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    model_ = BCNApplicationIdentiferModel::initWithInstallID("INSTALL-1", exe, bundle_);
    ASSERT_TRUE(model_);
    instance_ = BCNSHA1HexStringFromData(std::string_view("000102030405060708090a0b0c0d0e0f"));
    ASSERT_EQ(model_->instanceIdentifier(), instance_);
  }
  void TearDown() override {
    BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(false);
    if (manager_) manager_->finishNetworkingSession();
    server_->stop();
    ::unsetenv(BCNSettingsEndpointKey);
    ::unsetenv(BCNConfigureEndpointKey);
  }

  // The program the model and manager made after this describe.
  void setBundle(platform::Value extra) {
    platform::Value info =
        platform::Value::mutableDictionary({{"CFBundleIdentifier", "com.example.app"},
                                            {"CFBundleVersion", "42"},
                                            {"CFBundleShortVersionString", "1.2"}});
    info.addEntriesFrom(extra);
    bundle_ = std::make_shared<platform::Bundle>(root().file("exe"), root().path(), info.copy());
  }

  std::shared_ptr<BCNSettingsOnboardingManager> makeManager() {
    manager_ = BCNSettingsOnboardingManager::initWithApplicationIdentifierModel(model_, bundle_);
    // Retries start at once rather than after seconds of back-off.
    manager_->networkClient()->setRetryScheduler(
        [](double, std::function<void()> block) { block(); });
    return manager_;
  }
  void begin() {
    manager_->beginSettingsAndOnboardingOperationsWithAPIKey(
        "API-KEY", platform::Value::dictionary({{"io.beacon.sdk.mac", "1.6.11"}}));
  }
  std::vector<HTTPRecordedRequest> requestsTo(const std::string& path) {
    std::vector<HTTPRecordedRequest> out;
    for (auto& r : server_->requests())
      if (r.path == path) out.push_back(r);
    return out;
  }
  static std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::unique_ptr<HTTPTestServer> server_;
  platform::BundlePtr bundle_;
  std::shared_ptr<BCNApplicationIdentiferModel> model_;
  std::shared_ptr<BCNSettingsOnboardingManager> manager_;
  std::string instance_;
};

TEST_F(BCNSettingsOnboardingManagerTest, PathsAndSettingsURL) {
  const auto manager = makeManager();
  const std::string dir = platform::paths::caches() + "/io.beacon.sdk.mac.data/com.example.app";
  EXPECT_EQ(BCNSettingsOnboardingManager::settingsDirectoryPath(bundle_), dir);
  EXPECT_EQ(manager->settingsPath(), dir + "/settings.json");
  // No icon: no icon_hash, the rest in order after one "?".
  EXPECT_EQ(manager->settingsURL().absoluteString(),
            server_->baseURL() + kSettingsPath +
                "?build_version=42&display_version=1.2&instance=" + instance_ + "&source=1");
  EXPECT_EQ(manager->appIconHash(), "");
}

TEST_F(BCNSettingsOnboardingManagerTest, SettingsURLCarriesTheIconHashAndEscapes) {
  std::ofstream(root().file("Icon.png"), std::ios::binary)
      << std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x10\0\0\0\x10", 24);
  setBundle(platform::Value::dictionary(
      {{"CFBundleIconFile", "Icon"}, {"CFBundleShortVersionString", "1.2 beta"}}));
  model_ =
      BCNApplicationIdentiferModel::initWithInstallID("INSTALL-1", root().file("exe"), bundle_);
  ASSERT_TRUE(model_ && model_->icon());
  const auto manager = makeManager();
  EXPECT_EQ(manager->appIconHash(), model_->icon()->dataHash());
  EXPECT_EQ(manager->settingsURL().absoluteString(),
            server_->baseURL() + kSettingsPath +
                "?build_version=42&display_version=1.2%20beta&instance=" + instance_ +
                "&icon_hash=" + model_->icon()->dataHash() + "&source=1");
}

TEST_F(BCNSettingsOnboardingManagerTest, WithoutModelTheURLHasNoInstance) {
  model_.reset();
  const auto manager = makeManager();
  EXPECT_EQ(manager->settingsURL().absoluteString(),
            server_->baseURL() + kSettingsPath + "?build_version=42&display_version=1.2&source=1");
}

TEST_F(BCNSettingsOnboardingManagerTest, ConfigurationLookupOrder) {
  setBundle(platform::Value::dictionary(
      {{"Crashtrail",
        platform::Value::dictionary({{"SettingsEndpoint", "https://plist.test"},
                                     {"ConfigureEndpoint", "https://plist.test"}})}}));
  const auto manager = makeManager();
  // The environment first ...
  EXPECT_EQ(manager->valueForConfigurationKey("SettingsEndpoint"), server_->baseURL());
  // ... then the information dictionary ...
  ::unsetenv(BCNConfigureEndpointKey);
  EXPECT_EQ(manager->valueForConfigurationKey("ConfigureEndpoint"), "https://plist.test");
  // ... then the defaults.
  setBundle(platform::Value::dictionary({}));
  const auto plain = makeManager();
  EXPECT_EQ(plain->valueForConfigurationKey("ConfigureEndpoint"), BCNDefaultConfigureEndpoint);
  ::unsetenv(BCNSettingsEndpointKey);
  EXPECT_EQ(plain->valueForConfigurationKey("SettingsEndpoint"), BCNDefaultSettingsEndpoint);
  EXPECT_EQ(plain->valueForConfigurationKey("Unknown"), "");
}

TEST_F(BCNSettingsOnboardingManagerTest, DirectoryNameCannotClimbOut) {
  setBundle(platform::Value::dictionary({{"CFBundleIdentifier", "../.."}}));
  EXPECT_EQ(BCNSettingsOnboardingManager::settingsDirectoryPath(bundle_),
            platform::paths::caches() + "/io.beacon.sdk.mac.data/__/__");
  setBundle(platform::Value::dictionary({{"CFBundleIdentifier", "org/app"}}));
  EXPECT_EQ(BCNSettingsOnboardingManager::settingsDirectoryPath(bundle_),
            platform::paths::caches() + "/io.beacon.sdk.mac.data/org/app");
  setBundle(platform::Value::dictionary({{"CFBundleIdentifier", ""}}));
  EXPECT_EQ(BCNSettingsOnboardingManager::settingsDirectoryPath(bundle_),
            platform::paths::caches() + "/io.beacon.sdk.mac.data/_");
}

TEST_F(BCNSettingsOnboardingManagerTest, DownloadStoresTheFileAndAnnouncesIt) {
  server_->setReply(kSettingsPath,
                    HTTPReply::json(R"({"app": {"status": "activated"}, "analytics": {"x": 1}})"));
  const auto manager = makeManager();
  // Whatever the directory held before is replaced.
  const std::string dir = BCNSettingsOnboardingManager::settingsDirectoryPath(bundle_);
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/stale") << "old";
  std::ofstream(manager->settingsPath()) << R"({"app": {"status": "new"}})";
  EXPECT_TRUE(manager->settingsModel()->appNeedsOnboarding());

  Events events;
  begin();
  ASSERT_TRUE(events.waitFor("notification BCNSettingsAvailableNotification"))
      << joined(events.log());
  EXPECT_EQ(events.log().back(), "notification BCNSettingsAvailableNotification");
  EXPECT_FALSE(std::filesystem::exists(dir + "/stale"));
  EXPECT_EQ(readFile(manager->settingsPath()),
            R"({"app": {"status": "activated"}, "analytics": {"x": 1}})");
  // The model reads the new file.
  EXPECT_FALSE(manager->settingsModel()->appNeedsOnboarding());
  EXPECT_EQ(manager->settingsModel()->settingsDictionary()["analytics"]["x"].asInt64(), 1);
  EXPECT_FALSE(manager->hasAttemptedAppConfigure());

  const auto requests = requestsTo(kSettingsPath);
  ASSERT_EQ(requests.size(), 1u);
  const HTTPRecordedRequest& r = requests[0];
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.query, "build_version=42&display_version=1.2&instance=" + instance_ + "&source=1");
  EXPECT_EQ(r.header("Accept"), "application/json");
  EXPECT_EQ(r.header("X-Crashtrail-Installation-ID"), "INSTALL-1");
  EXPECT_EQ(r.header("X-Crashtrail-API-Client-Version"), "1.6.11");
  EXPECT_EQ(r.header("X-Crashtrail-API-Key"), "API-KEY");
  EXPECT_EQ(r.header("X-Crashtrail-Developer-Token"), "3c9e1f0a7b2d48e6c5a1f09b3d7e2c4a6b8f0d19");
  EXPECT_TRUE(r.header("X-Crashtrail-OS-Display-Version"));
  EXPECT_FALSE(r.header("X-Crashtrail-Advertising-Token"));
  EXPECT_EQ(server_->requestCount(), 1u);  // nothing else: no onboarding
}

// The locale (from the environment) and the API key (from the program) go
// into header fields: text in them that could end a line never adds a field,
// and the download still happens without the fields it spoilt.
TEST_F(BCNSettingsOnboardingManagerTest, OutsideTextInHeaderFieldsAddsNoField) {
  server_->setReply(kSettingsPath, HTTPReply::json(R"({"app": {"status": "activated"}})"));
  const char* before = std::getenv("LC_ALL");
  const std::string saved = before ? before : "";
  ::setenv("LC_ALL", "de_DE\r\nX-Smuggled: locale", 1);
  const auto manager = makeManager();
  Events events;
  manager_->beginSettingsAndOnboardingOperationsWithAPIKey(
      "API-KEY\r\nX-Smuggled: key", platform::Value::dictionary({{"io.beacon.sdk.mac", "1.6.11"}}));
  const bool announced = events.waitFor("notification BCNSettingsAvailableNotification");
  if (before) {
    ::setenv("LC_ALL", saved.c_str(), 1);
  } else {
    ::unsetenv("LC_ALL");
  }
  ASSERT_TRUE(announced) << joined(events.log());
  const auto requests = requestsTo(kSettingsPath);
  ASSERT_EQ(requests.size(), 1u);
  const HTTPRecordedRequest& r = requests[0];
  EXPECT_EQ(r.header("X-Crashtrail-Installation-ID"), "INSTALL-1");
  for (const auto& [name, value] : r.headers) {
    EXPECT_NE(name, "X-Smuggled") << value;
    EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos) << name;
  }
  EXPECT_FALSE(r.header("X-Crashtrail-API-Key"));
  EXPECT_FALSE(r.header("Accept-Language"));
  EXPECT_FALSE(r.header("Content-Language"));
}

TEST_F(BCNSettingsOnboardingManagerTest, FailedDownloadKeepsTheOldFileAndPostsNothing) {
  server_->setReply(kSettingsPath, HTTPReply::json(R"({"error": "gone"})", 404));
  const auto manager = makeManager();
  std::filesystem::create_directories(BCNSettingsOnboardingManager::settingsDirectoryPath(bundle_));
  std::ofstream(manager->settingsPath()) << R"({"analytics": {}})";
  Events events;
  begin();
  ASSERT_TRUE(events.waitFor("[Beacon] failed to download settings ")) << joined(events.log());
  EXPECT_EQ(events.notifications(), 0u);
  EXPECT_EQ(readFile(manager->settingsPath()), R"({"analytics": {}})");
  EXPECT_EQ(requestsTo(kSettingsPath).size(), 1u);  // a client error is not retried
}

TEST_F(BCNSettingsOnboardingManagerTest, ServerErrorIsRetriedOnce) {
  server_->setReply(kSettingsPath, HTTPReply::json("{}", 503));
  makeManager();
  Events events;
  begin();
  ASSERT_TRUE(events.waitFor("[Beacon] failed to download settings ")) << joined(events.log());
  EXPECT_EQ(requestsTo(kSettingsPath).size(), 2u);
  EXPECT_EQ(events.notifications(), 0u);
}

TEST_F(BCNSettingsOnboardingManagerTest, ASettingsLoadEndsAtItsTimeOutHoweverSteadyTheServer) {
  // One byte a second: never idle for the time-out, and never done.
  HTTPReply drip = HTTPReply::json("", 200);
  drip.chunks.assign(120, " ");
  drip.chunkDelaySeconds = 1;
  server_->setReply(kSettingsPath, drip);
  makeManager();
  Events events;
  const auto started = std::chrono::steady_clock::now();
  begin();
  // Each of its two attempts ends at the time-out (10 s), with the retry's
  // pause between them.
  ASSERT_TRUE(events.waitFor("[Beacon] failed to download settings ", 1, 40s))
      << joined(events.log());
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::chrono::duration<double>(2 * kBCNNetworkOperationDefaultTimeout + 8));
  EXPECT_EQ(events.notifications(), 0u);
}

TEST_F(BCNSettingsOnboardingManagerTest, AdvertisingTokenIsSentOnlyWhenIdentifiersMayBe) {
  for (bool allowed : {true, false}) {
    setBundle(platform::Value::dictionary(
        {{"Beacon", platform::Value::dictionary({{"ReportIdentifiers", allowed}})}}));
    const auto operation = BCNDownloadAndSaveSettingsOperation::initWithAPIKey(
        "KEY", {}, platform::URL(server_->url(kSettingsPath)), "/nonexistent", "/nonexistent/s",
        "INSTALL", "TOKEN", {}, bundle_);
    ASSERT_TRUE(operation);
    const auto request = operation->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
        operation->settingsURL());
    EXPECT_EQ(request.valueForHTTPHeaderField("X-Crashtrail-Advertising-Token"),
              allowed ? std::optional<std::string>("TOKEN") : std::nullopt);
    EXPECT_EQ(request.valueForHTTPHeaderField("X-Crashtrail-Installation-ID"), "INSTALL");
    EXPECT_EQ(request.timeoutInterval(), 10.0);
  }
  EXPECT_FALSE(BCNDownloadAndSaveSettingsOperation::initWithAPIKey(
      std::nullopt, {}, platform::URL(), "", "", "", "", {}));
}

TEST_F(BCNSettingsOnboardingManagerTest, OperationWithoutClientEndsWithAnError) {
  struct Delegate : BCNDownloadAndSaveSettingsOperationDelegate {
    void operationDidDownloadAndSaveSettingsWithError(BCNDownloadAndSaveSettingsOperation&,
                                                      const platform::Error& e) override {
      error = e;
      ++calls;
    }
    platform::Error error;
    int calls = 0;
  };
  const auto delegate = std::make_shared<Delegate>();
  const auto operation = BCNDownloadAndSaveSettingsOperation::initWithAPIKey(
      "KEY", delegate, platform::URL(server_->url(kSettingsPath)), root().file("dir"),
      root().file("dir/settings.json"), "", "", {});
  operation->start();
  EXPECT_TRUE(operation->isFinished());
  EXPECT_EQ(delegate->calls, 1);
  EXPECT_EQ(delegate->error.domain(), "BCNNetworkError");
  EXPECT_EQ(operation->error(), delegate->error);
  EXPECT_EQ(server_->requestCount(), 0u);
}

std::size_t indexOf(const std::vector<std::string>& log, const std::string& text) {
  for (std::size_t i = 0; i < log.size(); ++i)
    if (log[i].find(text) != std::string::npos) return i;
  return log.size();
}

TEST_F(BCNSettingsOnboardingManagerTest, NewAppIsCreatedThenSettingsFetchedAgainThenAnnounced) {
  // The service keeps saying "new": the second download must not create again.
  server_->setReply(kSettingsPath, HTTPReply::json(R"({"app": {"status": "new"}})"));
  server_->setReply(kCreatePath, HTTPReply::json("{}", 201));
  makeManager();
  BCNConsoleSetDebug(true);
  Events events;
  begin();
  const bool announced = events.waitFor("notification BCNSettingsAvailableNotification");
  BCNConsoleSetDebug(false);
  ASSERT_TRUE(announced) << joined(events.log());
  const auto log = events.log();
  EXPECT_LT(indexOf(log, "[Beacon] Starting onboarding with app create"),
            indexOf(log, "[Beacon] completed configure"));
  EXPECT_LT(indexOf(log, "[Beacon] completed configure"),
            indexOf(log, "[Beacon] App already onboarded in this run of the app"));
  EXPECT_LT(indexOf(log, "[Beacon] App already onboarded in this run of the app"),
            indexOf(log, "notification BCNSettingsAvailableNotification"));
  EXPECT_EQ(events.notifications(), 1u);
  EXPECT_TRUE(manager_->hasAttemptedAppConfigure());

  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].path, kSettingsPath);
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].path, kCreatePath);
  EXPECT_NE(requests[1].body.find("app[instance_identifier]"), std::string::npos);
  EXPECT_NE(requests[1].body.find(instance_), std::string::npos);
  EXPECT_NE(requests[1].body.find("app[build][libraries][io.beacon.sdk.mac]"), std::string::npos);
  EXPECT_EQ(requests[2].path, kSettingsPath);
}

TEST_F(BCNSettingsOnboardingManagerTest, FailedCreateEndsTheChainWithoutAnnouncing) {
  server_->setReply(kSettingsPath, HTTPReply::json(R"({"app": {"status": "new"}})"));
  server_->setReply(kCreatePath, HTTPReply::json(R"({"error": "bad"})", 422));
  makeManager();
  Events events;
  begin();
  ASSERT_TRUE(events.waitFor("[Beacon] unable to complete application configure: "))
      << joined(events.log());
  EXPECT_EQ(events.notifications(), 0u);
  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);  // a client error is not retried
  EXPECT_EQ(requests[1].path, kCreatePath);
  EXPECT_EQ(server_->requestCount(), 2u);
}

TEST_F(BCNSettingsOnboardingManagerTest, UpdateRunsAfterTheAnnouncement) {
  server_->setReply(
      kSettingsPath,
      HTTPReply::json(R"({"app": {"status": "activated", "update_required": true}})"));
  server_->setReply(kUpdatePath, HTTPReply::json("{}"));
  makeManager();
  BCNConsoleSetDebug(true);
  Events events;
  begin();
  const bool updated = events.waitFor("[Beacon] completed application update");
  BCNConsoleSetDebug(false);
  ASSERT_TRUE(updated) << joined(events.log());
  const auto log = events.log();
  EXPECT_LT(indexOf(log, "notification BCNSettingsAvailableNotification"),
            indexOf(log, "[Beacon] Starting onboarding with app update"));
  EXPECT_EQ(events.notifications(), 1u);
  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method, "PUT");
  EXPECT_EQ(requests[1].path, kUpdatePath);
}

TEST_F(BCNSettingsOnboardingManagerTest, FailedUpdateStillLeavesTheAnnouncement) {
  server_->setReply(kSettingsPath, HTTPReply::json(R"({"app": {"update_required": true}})"));
  server_->setReply(kUpdatePath, HTTPReply::json("{}", 500));
  makeManager();
  Events events;
  begin();
  ASSERT_TRUE(events.waitFor("[Beacon] unable to complete application update: "))
      << joined(events.log());
  EXPECT_EQ(events.notifications(), 1u);
  EXPECT_EQ(requestsTo(kUpdatePath).size(), 2u);  // retry limit 1: two attempts
  EXPECT_EQ(requestsTo(kSettingsPath).size(), 1u);
}

TEST_F(BCNSettingsOnboardingManagerTest, NullAppIsNeitherNewNorUpdate) {
  server_->setReply(kSettingsPath, HTTPReply::json(R"({"app": null})"));
  makeManager();
  Events events;
  begin();
  ASSERT_TRUE(events.waitFor("notification BCNSettingsAvailableNotification"))
      << joined(events.log());
  EXPECT_EQ(server_->requestCount(), 1u);
  EXPECT_FALSE(manager_->hasAttemptedAppConfigure());
}

}  // namespace
}  // namespace sdk
