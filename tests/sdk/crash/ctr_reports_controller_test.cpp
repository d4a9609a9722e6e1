#include "sdk/crash/ctr_reports_controller.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "crash_context_fixture.h"
#include "platform/system/bundle.h"
#include "sdk/crash/ctr_file_manager.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/crash/ctr_network_client.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_network_operation.h"
#include "sdk/platform/bcn_request_guard.h"
#include "support/http_test_server.h"

namespace sdk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::Value;
using test_support::HTTPRecordedRequest;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

constexpr const char* kReportsPath = "/sdk-api/v1/platforms/mac/apps/com.example_app/reports";

// Plays the crash reporting controller: answers the pipeline's questions,
// forwards the upload client's results and records what comes back.
class Owner : public CTRReportsControllerDelegate, public CTRNetworkClientDelegate {
 public:
  CTRSettings::Ptr settingsForReportsController(CTRReportsController&) override {
    return CTRSettings::initWithDictionary(Value(), bundle);
  }
  std::string APIKeyForReportsController(CTRReportsController&) override { return "the-api-key"; }
  std::string bundleIdentifierForReportsController(CTRReportsController&) override {
    return "com.example_app";
  }
  void reportsControllerDidCompletePackageSubmission(CTRReportsController&, const std::string& path,
                                                     const platform::Error& error) override {
    std::lock_guard lock(mutex);
    completed.emplace_back(path, error);
    cv.notify_all();
  }
  void reportsControllerDidCompleteAllSubmissions(CTRReportsController&) override {}
  bool networkClientCanUseBackgroundSessions(CTRNetworkClient&) override { return true; }
  void networkClientDidFinishUploadWithPath(CTRNetworkClient&, const std::string& path,
                                            const platform::Error& error) override {
    if (auto controller = reports.lock()) controller->reportUploadAtPath(path, error);
  }
  bool waitForCompleted(std::size_t count) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, 20s, [&] { return completed.size() >= count; });
  }

  platform::BundlePtr bundle;  // the program reported on
  std::weak_ptr<CTRReportsController> reports;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::pair<std::string, platform::Error>> completed;
};

class CTRReportsControllerTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    // The local server speaks plain HTTP; the headers it checks are sent anyway.
    BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(true);
    CrashContextTest::SetUp();
    server_ = HTTPTestServer::start();
    server_->setReply(kReportsPath, HTTPReply::json("{}", 200));
    const auto bundle = std::make_shared<platform::Bundle>(
        root().file("bin/app"), root().file("resources"),
        Value::dictionary(
            {{"CFBundleIdentifier", "com.example/app"},
             {"Crashtrail", Value::dictionary({{"ReportsEndpoint", server_->baseURL()}})}}));
    fileManager_ = std::make_shared<CTRFileManager>(bundle);
    ASSERT_TRUE(fileManager_->prepareForNewLaunch());
    queue_ = platform::OperationQueue::create("com.beacon.crashtrail.mac.work-queue");
    queue_->setMaxConcurrentOperationCount(1);
    owner_ = std::make_shared<Owner>();
    owner_->bundle = bundle;
    client_ = CTRNetworkClient::create(queue_, fileManager_, owner_);
    controller_ = std::make_shared<CTRReportsController>(queue_, owner_, client_, fileManager_);
    owner_->reports = controller_;
  }
  void TearDown() override {
    BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(false);
    queue_->waitUntilAllOperationsAreFinished(20s);
    controller_.reset();
    client_.reset();
    server_->stop();
    ::unsetenv("CrashtrailPackageReports");
    ::unsetenv("CrashtrailSubmitReports");
    CrashContextTest::TearDown();
  }

  std::shared_ptr<CTRInternalReport> crashReport(const std::string& id) {
    const std::string dir = fileManager_->activePath() + "/" + id;
    fs::create_directories(dir);
    std::ofstream(dir + "/metadata.clsrecord")
        << R"({"identity":{"api_key":"the-api-key","session_id":")" << id << "\"}}\n";
    std::ofstream(dir + "/signal.clsrecord") << R"({"signal":{"number":11}})"
                                             << "\n";
    return CTRInternalReport::reportWithPath(dir);
  }

  std::unique_ptr<HTTPTestServer> server_;
  std::shared_ptr<CTRFileManager> fileManager_;
  platform::OperationQueue::Ptr queue_;
  std::shared_ptr<Owner> owner_;
  CTRNetworkClient::Ptr client_;
  std::shared_ptr<CTRReportsController> controller_;
};

TEST_F(CTRReportsControllerTest, RequestCarriesItsHeaderFieldsInOrder) {
  const std::string package = fileManager_->preparedPath() + "/Bound4ry.multipartmime";
  std::ofstream(package, std::ios::binary) << "0123456789";
  const auto url = controller_->reportURL();
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->absoluteString(), server_->url(kReportsPath));

  auto request = controller_->mutableRequestWithURL(*url, 10);
  ASSERT_TRUE(controller_->fillInRequestForMultipartMimeDataAtPath(request, package));
  EXPECT_EQ(request.HTTPMethod(), "POST");
  EXPECT_DOUBLE_EQ(request.timeoutInterval(), 10.0);
  const std::string locale = controller_->localeIdentifier();
  const std::vector<std::pair<std::string, std::string>> expected{
      {"User-Agent", "Crashtrail Mac SDK/3.8.4"},
      {"Accept", "application/json"},
      {"Accept-Charset", "utf-8"},
      {"Accept-Language", locale},
      {"Content-Language", locale},
      {"X-Crashtrail-Developer-Token", "3c9e1f0a7b2d48e6c5a1f09b3d7e2c4a6b8f0d19"},
      {"X-Crashtrail-API-Client-Id", "com.beacon.crashtrail.mac"},
      {"X-Crashtrail-API-Client-Display-Version", "3.8.4"},
      {"X-Crashtrail-API-Client-Build-Version", "121"},
      {"X-Crashtrail-API-Key", "the-api-key"},
      {"Content-Type", "multipart/form-data; boundary=Bound4ry"},
      {"Content-Length", "10"},
  };
  EXPECT_EQ(request.allHTTPHeaderFields().fields(), expected);
}

TEST_F(CTRReportsControllerTest, PipelinePackagesUploadsAndDeletesOnSuccess) {
  auto report = crashReport("1111");
  ASSERT_NE(report, nullptr);
  ASSERT_TRUE(controller_->prepareAndSubmitReport(report, false, true));
  // The report was processed where it was moved to, then removed.
  EXPECT_EQ(report->path(), fileManager_->processingPath() + "/1111");
  EXPECT_FALSE(fs::exists(fileManager_->activePath() + "/1111"));
  EXPECT_FALSE(fs::exists(fileManager_->processingPath() + "/1111"));

  ASSERT_TRUE(owner_->waitForCompleted(1));
  EXPECT_FALSE(owner_->completed[0].second);
  EXPECT_TRUE(fileManager_->preparedPathContents().empty());
  ASSERT_EQ(server_->requestCount(), 1u);
  const HTTPRecordedRequest request = server_->requests()[0];
  EXPECT_EQ(request.path, kReportsPath);
  EXPECT_EQ(request.header("X-Crashtrail-API-Key"), "the-api-key");
  EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
  EXPECT_NE(request.body.find("name=\"report_id\""), std::string::npos);

  // The package is gone: a second submission of it is ignored.
  EXPECT_FALSE(controller_->submitPackageMultipartMimeAtPath(owner_->completed[0].first, false));
}

TEST_F(CTRReportsControllerTest, AnAcceptedUploadWithAnOversizedAnswerIsDone) {
  // The answer is the status; a body past what an upload reads fails nothing.
  server_->setReply(kReportsPath, HTTPReply::json(std::string(std::size_t{1} << 20, ' '), 202));
  auto report = crashReport("1112");
  ASSERT_TRUE(controller_->prepareAndSubmitReport(report, false, true));
  ASSERT_TRUE(owner_->waitForCompleted(1));
  EXPECT_FALSE(owner_->completed[0].second) << owner_->completed[0].second.description();
  EXPECT_TRUE(fileManager_->preparedPathContents().empty());
  EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(CTRReportsControllerTest, FailedUploadKeepsThePackage) {
  // A failure that may pass later (409); a refusal for good removes it.
  server_->setReply(kReportsPath, HTTPReply::text(409, "busy"));
  auto report = crashReport("2222");
  ASSERT_TRUE(controller_->prepareAndSubmitReport(report, false, true));
  ASSERT_TRUE(owner_->waitForCompleted(1));
  EXPECT_TRUE(owner_->completed[0].second);
  EXPECT_TRUE(fs::exists(owner_->completed[0].first));

  server_->setReply(kReportsPath, HTTPReply::text(400, "malformed report"));
  auto refused = crashReport("2223");
  ASSERT_TRUE(controller_->prepareAndSubmitReport(refused, false, true));
  ASSERT_TRUE(owner_->waitForCompleted(2));
  EXPECT_TRUE(owner_->completed[1].second);
  EXPECT_FALSE(fs::exists(owner_->completed[1].first));
}

TEST_F(CTRReportsControllerTest, UrgentSubmissionUploadsBeforeReturning) {
  auto report = crashReport("3333");
  ASSERT_TRUE(controller_->prepareAndSubmitReport(report, true, true));
  EXPECT_EQ(server_->requestCount(), 1u);
  ASSERT_EQ(owner_->completed.size(), 1u);
  EXPECT_TRUE(fileManager_->preparedPathContents().empty());
}

TEST_F(CTRReportsControllerTest, PackagingDisabledLeavesTheProcessedReport) {
  ::setenv("CrashtrailPackageReports", "NO", 1);
  auto report = crashReport("4444");
  EXPECT_FALSE(controller_->prepareAndSubmitReport(report, false, true));
  EXPECT_TRUE(fs::exists(fileManager_->processingPath() + "/4444/signal.clsrecord"));
  EXPECT_TRUE(fileManager_->preparedPathContents().empty());
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(CTRReportsControllerTest, SubmissionDisabledKeepsPackagesForALaterLaunch) {
  ::setenv("CrashtrailSubmitReports", "NO", 1);
  auto report = crashReport("5555");
  EXPECT_FALSE(controller_->prepareAndSubmitReport(report, false, true));
  const auto prepared = fileManager_->preparedPathContents();
  ASSERT_EQ(prepared.size(), 1u);
  EXPECT_FALSE(fs::exists(fileManager_->processingPath() + "/5555"));

  ::unsetenv("CrashtrailSubmitReports");
  ASSERT_TRUE(controller_->uploadPackagedReportAtPath(prepared[0], false));
  ASSERT_TRUE(owner_->waitForCompleted(1));
  EXPECT_TRUE(fileManager_->preparedPathContents().empty());
}

TEST_F(CTRReportsControllerTest, ReportThatCannotBeMovedStaysInActive) {
  auto report = crashReport("6666");
  fs::create_directories(fileManager_->processingPath() + "/6666");  // name clash
  EXPECT_FALSE(controller_->prepareAndSubmitReport(report, false, true));
  EXPECT_TRUE(fs::exists(fileManager_->activePath() + "/6666/signal.clsrecord"));
  EXPECT_EQ(server_->requestCount(), 0u);
}

}  // namespace
}  // namespace sdk
