// The analytics road end to end: the host registers its kits, the SDK
// downloads its settings from the (loopback) settings service, the facade
// records events, and the controller writes, rotates, compresses, packages
// and uploads them to the (loopback) events endpoint.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "platform/system/file_util.h"
#include "platform/system/notification_center.h"
#include "sdk/analytics/tally.h"
#include "sdk/analytics/tly_settings.h"
#include "sdk/analytics/tly_tally_controller.h"
#include "sdk/platform/bcn_multipart_mime_stream_encoder.h"
#include "sdk/platform/bcn_network_operation.h"
#include "sdk/platform/bcn_request_guard.h"
#include "sdk/platform/bcn_settings_onboarding_manager.h"
#include "sdk/platform/beacon.h"
#include "sdk/platform/ctr_user_defaults.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"
#include "support/wait.h"
#include "tally_test_support.h"

namespace sdk {
namespace {

using namespace std::chrono_literals;
using test_support::HTTPRecordedRequest;
using test_support::HTTPReply;

class AnalyticsEndToEndTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    // The local server speaks plain HTTP; the headers it checks are sent anyway.
    BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(true);
    CTRUserDefaults::resetStandardUserDefaultsForTesting(bundle_);
    Beacon::resetSharedSDKForTesting({bundle_});
    Tally::resetSharedInstanceForTesting();
    server_ = test_support::HTTPTestServer::start();
    ::setenv("SettingsEndpoint", server_->baseURL().c_str(), 1);
    ::setenv("ConfigureEndpoint", server_->baseURL().c_str(), 1);
  }
  void TearDown() override {
    BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(false);
    if (auto controller = Tally::sharedInstance()->tallyController()) {
      controller->eventQueue()->waitUntilAllOperationsAreFinished();
    }
    Tally::resetSharedInstanceForTesting();
    Beacon::resetSharedSDKForTesting();
    CTRUserDefaults::resetStandardUserDefaultsForTesting();
    ::unsetenv("SettingsEndpoint");
    ::unsetenv("ConfigureEndpoint");
    server_.reset();
  }

  std::vector<HTTPRecordedRequest> eventUploads() const {
    std::vector<HTTPRecordedRequest> uploads;
    for (auto& request : server_->requests()) {
      if (request.path == "/spi/v2/events") uploads.push_back(request);
    }
    return uploads;
  }

  const platform::BundlePtr bundle_ = tally_test::hostBundle();
  std::unique_ptr<test_support::HTTPTestServer> server_;
};

TEST_F(AnalyticsEndToEndTest, EventsTravelFromTheFacadeToTheEventsEndpoint) {
  const std::string settingsPath =
      "/spi/v2/platforms/mac/apps/" + std::string(tally_test::kBundleIdentifier) + "/settings";
  server_->setReply(settingsPath, HTTPReply::json("{\"app\":{\"status\":\"activated\"},"
                                                  "\"features\":{\"collect_analytics\":true},"
                                                  "\"analytics\":{\"url\":\"" +
                                                  server_->url("/spi/v2/events") + "\"}}"));
  server_->setReply("/spi/v2/events", HTTPReply::text(202, ""));

  // The host registers its kits: analytics starts, then the settings are
  // fetched and announced.
  Beacon::with({kTallyKitClassName});
  auto controller = Tally::sharedInstance()->tallyController();
  ASSERT_NE(controller, nullptr);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] {
        bool valid = false;
        controller->runOnEventQueue([&] { valid = controller->settings()->valid(); });
        return valid;
      },
      20s))
      << "the settings never reached the controller";

  Tally::logCustomEventWithName(std::string("song_played"),
                                platform::Value::dictionary({{"genre", "jazz"}, {"plays", 3}}));
  // Becoming active asks for a flush: the log is rotated and uploaded.
  platform::NotificationCenter::defaultCenter().post(kNSApplicationDidBecomeActiveNotification);

  // Find the upload holding our events (a first install also uploads the
  // installation event on its own).
  std::vector<tally_test::LogLine> lines;
  HTTPRecordedRequest upload;
  auto findUpload = [&] {
    for (const auto& request : eventUploads()) {
      auto contentType = request.header("Content-Type").value_or("");
      const std::string prefix = "multipart/form-data; boundary=";
      if (contentType.rfind(prefix, 0) != 0) continue;
      auto log = tally_test::logInPackage(request.body, contentType.substr(prefix.size()));
      if (!log) continue;
      auto parsed = tally_test::parseLog(*log);
      for (const auto& line : parsed) {
        if (line.name == "custom") {
          lines = parsed;
          upload = request;
          return true;
        }
      }
    }
    return false;
  };
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(findUpload, 20s))
      << "the custom event was not uploaded";
  // A finished upload removes its package. (The installation event's
  // package may have been made before the settings arrived; its upload was
  // then cancelled and it waits for the next launch.)
  const std::string eventDir = TLYTallyController::rootDirectory(bundle_) + "/events";
  const std::string boundary = upload.header("Content-Type")
                                   .value_or("")
                                   .substr(std::string("multipart/form-data; boundary=").size());
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] {
        return !platform::files::readFile(eventDir + "/" + boundary + ".multipartmime").has_value();
      },
      20s));

  // The request: method, header fields in order, body = the package. (The
  // transport writes "Content-Length" itself, after the others, so its place
  // on the wire is not ours; the request's own order is checked in
  // tly_upload_operation_test.)
  EXPECT_EQ(upload.method, "POST");
  const std::vector<std::string> expectedOrder = {"Content-Type",
                                                  "User-Agent",
                                                  "X-CRASHTRAIL-DEVELOPER-TOKEN",
                                                  "X-CRASHTRAIL-API-CLIENT-TYPE",
                                                  "X-CRASHTRAIL-API-CLIENT-VERSION",
                                                  "X-CRASHTRAIL-API-CLIENT-DISPLAY-VERSION",
                                                  "X-CRASHTRAIL-API-CLIENT-BUILD-VERSION",
                                                  "X-CRASHTRAIL-API-KEY",
                                                  "X-Crashtrail-Api-Client-Packaged-Timestamp"};
  std::vector<std::string> seen;
  for (const auto& [name, value] : upload.headers) {
    for (const auto& expected : expectedOrder) {
      if (tally_test::equalsIgnoringCase(name, expected)) seen.push_back(expected);
    }
  }
  EXPECT_EQ(seen, expectedOrder);
  EXPECT_EQ(upload.header("Content-Length"), std::to_string(upload.body.size()));
  EXPECT_EQ(upload.header("User-Agent"), "Tally Mac SDK/1.3.4");
  EXPECT_EQ(upload.header("X-CRASHTRAIL-DEVELOPER-TOKEN"), std::string(kBCNDeveloperToken));
  EXPECT_EQ(upload.header("X-CRASHTRAIL-API-CLIENT-TYPE"), "Tally Mac SDK");
  EXPECT_EQ(upload.header("X-CRASHTRAIL-API-CLIENT-VERSION"), "26");
  EXPECT_EQ(upload.header("X-CRASHTRAIL-API-CLIENT-DISPLAY-VERSION"), "1.3.4");
  EXPECT_EQ(upload.header("X-CRASHTRAIL-API-CLIENT-BUILD-VERSION"), "26");
  EXPECT_EQ(upload.header("X-CRASHTRAIL-API-KEY"), std::string(tally_test::kAPIKey));
  const auto stamp =
      std::stoll(upload.header("X-Crashtrail-Api-Client-Packaged-Timestamp").value_or("0"));
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  EXPECT_LE(std::llabs(now - stamp), 60);

  // The package's log: the metadata line, then the launch, custom and
  // activation events in the order they were recorded.
  std::vector<std::string> names;
  for (const auto& line : lines) names.push_back(line.name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"metadata", "app_launched", "custom", "app_became_active"}));
  const auto& metadata = lines[0].payload;
  EXPECT_EQ(metadata["generator"].asString(), "Tally Mac SDK/1.3.4");
  EXPECT_EQ(metadata["api_key"].asString(), tally_test::kAPIKey);
  EXPECT_EQ(metadata["session_id"].asString(), Beacon::sharedSDK()->executionIdentifier());
  EXPECT_EQ(metadata["install_id"].asString(), Beacon::sharedSDK()->installID());
  EXPECT_EQ(metadata["bundle_id"].asString(), tally_test::kBundleIdentifier);
  EXPECT_EQ(metadata["bundle_version"].asString(), "42");
  EXPECT_EQ(metadata["bundle_short_version"].asString(), "4.2");
  const auto& custom = lines[2].payload;
  EXPECT_EQ(custom["custom_type"].asString(), "song_played");
  EXPECT_EQ(custom["custom_attributes"]["genre"].asString(), "jazz");
  EXPECT_EQ(custom["custom_attributes"]["plays"].asInt64(), 3);
  for (const auto& line : lines) EXPECT_EQ(line.length, line.payloadText.size()) << line.name;
}

}  // namespace
}  // namespace sdk
