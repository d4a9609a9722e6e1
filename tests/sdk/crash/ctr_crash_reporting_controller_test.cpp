#include "sdk/crash/ctr_crash_reporting_controller.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/runloop/run_loop.h"
#include "platform/system/bundle.h"
#include "platform/system/modal_alert.h"
#include "platform/system/notification_center.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/capture/ctr_user_logging.h"
#include "sdk/crash/crash_context_fixture.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_request_guard.h"
#include "sdk/platform/beacon.h"
#include "support/http_test_server.h"
#include "support/manual_clock.h"
#include "support/temp_root.h"
#include "support/wait.h"

namespace sdk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::Value;
using test_support::HTTPRecordedRequest;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

constexpr const char* kReportsPath = "/sdk-api/v1/platforms/mac/apps/com.example_app/reports";

class FakeDelegate : public CTRCrashReportingControllerDelegate {
 public:
  std::string APIKeyForCrashReportingController(CTRCrashReportingController&) override {
    return "the-api-key";
  }
  std::string installIDForCrashReportingController(CTRCrashReportingController&) override {
    return "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
  }
  bool isFirstInstallForCrashReportingController(CTRCrashReportingController&) override {
    return false;
  }
  CTRSettings::Ptr settingsForCrashReportingController(CTRCrashReportingController&) override {
    ++settingsRequests;
    return settings;
  }
  bool shouldInstallCrashCallback() override { return false; }
  void detectedCrash() override { ++crashes; }
  bool reportingControllerEnsureDeliveryOfUnixSignal(CTRCrashReportingController&,
                                                     int signal) override {
    return signal == SIGSEGV || signal == SIGABRT;
  }
  bool reportingControllerMustInformDelegateOfReports(CTRCrashReportingController&) override {
    return mustInform;
  }
  bool reportingControllerCanUseBackgroundSessions(CTRCrashReportingController&) override {
    return true;
  }
  void reportingControllerInternalDidDetectReportForLastExecution(
      CTRCrashReportingController&, const std::shared_ptr<CTRInternalReport>& report) override {
    std::lock_guard lock(mutex);
    detected.push_back(report->identifier());
  }
  void reportingControllerDidDetectReportForLastExecution(
      CTRCrashReportingController&, const std::shared_ptr<CTRInternalReport>& report,
      SubmitCompletion completion) override {
    {
      std::lock_guard lock(mutex);
      decided.push_back(report->identifier());
    }
    completion(submit);
  }

  std::mutex mutex;
  CTRSettings::Ptr settings = CTRSettings::initWithDictionary(Value());
  std::atomic<int> settingsRequests{0};
  std::atomic<int> crashes{0};
  bool mustInform = false;
  bool submit = true;
  std::vector<std::string> detected;
  std::vector<std::string> decided;
};

std::string hex(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> names(const std::vector<std::string>& paths) {
  std::vector<std::string> out;
  for (const auto& path : paths) out.push_back(fs::path(path).filename().string());
  return out;
}

class CTRCrashReportingControllerTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    // The local server speaks plain HTTP; the headers it checks are sent anyway.
    BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(true);
    server_ = HTTPTestServer::start();
    server_->setReply(kReportsPath, HTTPReply::json("{}", 202));
    useInfo(Value());
    Beacon::resetSharedSDKForTesting({bundle_});
    CTRProcessSetDebuggerAttachedForTesting(false);
    delegate_ = std::make_shared<FakeDelegate>();
    delegate_->settings = CTRSettings::initWithDictionary(Value(), bundle_);
    fileManager_ = std::make_shared<CTRFileManager>(bundle_);
  }

  void TearDown() override {
    BCNRequestGuard::setAllowsCredentialsOverPlainHTTPForTesting(false);
    if (controller_) controller_->operationQueue()->waitUntilAllOperationsAreFinished(20s);
    if (ctrLoggingQueue) ctrLoggingQueue->sync([] {});
    controller_.reset();
    server_->stop();
    platform::ModalAlert::setPresenter(nullptr);
    sdk::testing::resetCrashGlobals();
    BCNConsoleSetDebug(false);
    Beacon::resetSharedSDKForTesting();
  }

  void useInfo(Value extra) {
    Value info = Value::mutableDictionary({
        {"CFBundleIdentifier", "com.example/app"},
        {"CFBundleVersion", "42"},
        {"CFBundleShortVersionString", "1.2"},
        {"Crashtrail", Value::dictionary({{"ReportsEndpoint", server_->baseURL()}})},
    });
    if (extra.isDictionary()) info.addEntriesFrom(extra);
    bundle_ = std::make_shared<platform::Bundle>(root().file("bin/app"), root().file("resources"),
                                                 info.copy());
  }

  // A controller whose crash capture starts `hooks`; by default no
  // process-wide signal or terminate handlers, only the user log.
  CTRCrashReportingController::Ptr makeController(std::optional<CTRCaptureHooks> hooks = {}) {
    CTRCrashReportingController::Options options;
    options.clock = clock_;  // a failed submission is retried when the test says
    if (!hooks) {
      hooks.emplace();
      hooks->userLoggingInitialize = [](const CTRCaptureStartRecord* record) {
        CTRUserLoggingInitialize(record);
      };
    }
    options.captureHooks = hooks;
    options.handlerChecks = [this] { ++handlerChecks_; };
    options.bundle = bundle_;
    controller_ = CTRCrashReportingController::create(fileManager_, delegate_, options);
    return controller_;
  }

  // A report directory of an earlier launch in active; with `crashed` it
  // holds a signal record and needs submission.
  std::string earlierReport(const std::string& id, bool crashed) {
    const std::string dir = fileManager_->activePath() + "/" + id;
    fs::create_directories(dir);
    std::ofstream(dir + "/metadata.clsrecord")
        << R"({"identity":{"api_key":"the-api-key","session_id":")" << id << "\"}}\n";
    std::ofstream(dir + "/internal_incremental_kv.clsrecord")
        << R"({"kv":{"key":"6b","value":"76"}})"
        << "\n";
    if (crashed)
      std::ofstream(dir + "/signal.clsrecord") << R"({"signal":{"number":11}})"
                                               << "\n";
    return dir;
  }

  void drain() { controller_->operationQueue()->waitUntilAllOperationsAreFinished(20s); }
  static bool runMainUntil(const std::function<bool()>& done) {
    return platform::runloop::RunLoop::main().runUntil(done, 10s);
  }
  bool markerExists() const { return fs::exists(fileManager_->structurePath() + "/launchmarker"); }

  std::unique_ptr<HTTPTestServer> server_;
  std::shared_ptr<FakeDelegate> delegate_;
  platform::BundlePtr bundle_;  // the program reported on
  std::shared_ptr<CTRFileManager> fileManager_;
  std::shared_ptr<varnel::testing::ManualClock> clock_ = varnel::testing::ManualClock::create();
  CTRCrashReportingController::Ptr controller_;
  std::atomic<int> handlerChecks_{0};
};

TEST_F(CTRCrashReportingControllerTest, FirstLaunchSetsUpItsReportAndSubmitsNothing) {
  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  EXPECT_FALSE(controller->lastLaunchFailed());
  EXPECT_TRUE(markerExists());
  EXPECT_TRUE(CTRContextIsInitialized());

  const std::string id = Beacon::sharedSDK()->executionIdentifier();
  EXPECT_EQ(names(fileManager_->activePathContents()), std::vector<std::string>{id});
  ASSERT_NE(controller->currentReport(), nullptr);
  EXPECT_EQ(controller->currentReport()->identifier(), id);
  EXPECT_TRUE(fs::is_directory(fileManager_->processingPath()));
  EXPECT_TRUE(fs::is_directory(fileManager_->preparedPath()));
  EXPECT_EQ(std::string(ctrContext->sdkLogPath), controller->currentReport()->path() + "/sdk.log");
  // The delegate's signals become the mask left to the signal handlers.
  EXPECT_EQ(ctrContext->mach.mask, 2u | 1024u);

  drain();
  EXPECT_EQ(server_->requestCount(), 0u);
  EXPECT_TRUE(delegate_->detected.empty());
  EXPECT_EQ(delegate_->settingsRequests.load(), 1);  // asked once, kept

  // The first main-queue turn removes the marker; the checks follow 2 s later.
  ASSERT_TRUE(runMainUntil([&] { return !markerExists(); }));
  ASSERT_TRUE(clock_->waitForWatchers(1, 20s));
  clock_->advance(1999ms);
  platform::runloop::RunLoop::main().processPending();
  EXPECT_EQ(handlerChecks_.load(), 0);
  clock_->advance(1ms);
  ASSERT_TRUE(runMainUntil([&] { return handlerChecks_.load() == 1; }));

  // The application's active state is recorded as an internal key.
  platform::NotificationCenter::defaultCenter().post(kCTRApplicationDidResignActiveNotification);
  ctrLoggingQueue->sync([] {});
  const std::string kv =
      readFile(controller->currentReport()->pathForContentFile(kCTRInternalIncrementalKVFile));
  EXPECT_NE(kv.find(hex(kCTRInBackgroundKey)), std::string::npos) << kv;
  EXPECT_NE(kv.find(hex(kCTRKitStartTimeKey)), std::string::npos) << kv;
}

TEST_F(CTRCrashReportingControllerTest, MarkerOfAFailedLaunchSubmitsEarlierReportsUrgently) {
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  std::ofstream(fileManager_->structurePath() + "/launchmarker");
  earlierReport("aaaa0000000000000000000000000001", true);

  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  EXPECT_TRUE(controller->lastLaunchFailed());
  // Submitted synchronously, during start-up, without asking the delegate.
  ASSERT_EQ(server_->requestCount(), 1u);
  EXPECT_EQ(delegate_->detected, std::vector<std::string>{"aaaa0000000000000000000000000001"});
  EXPECT_TRUE(delegate_->decided.empty());
  const HTTPRecordedRequest request = server_->requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, kReportsPath);
  EXPECT_EQ(request.header("X-Crashtrail-API-Key"), "the-api-key");
  EXPECT_NE(request.body.find("name=\"signal.clsrecord\""), std::string::npos);
  // Accepted: the package is gone and so is the report directory.
  EXPECT_TRUE(fileManager_->preparedPathContents().empty());
  EXPECT_TRUE(fileManager_->processingPathContents().empty());
  EXPECT_EQ(fileManager_->activePathContents().size(), 1u);  // this launch's only
  drain();
  EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(CTRCrashReportingControllerTest, UrgentSubmissionWaitsWhenTheDelegateMustBeInformed) {
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  std::ofstream(fileManager_->structurePath() + "/launchmarker");
  earlierReport("aaaa0000000000000000000000000002", true);
  delegate_->mustInform = true;
  delegate_->submit = false;

  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  EXPECT_EQ(delegate_->decided, std::vector<std::string>{"aaaa0000000000000000000000000002"});
  drain();
  // The delegate said no: the report is removed, nothing is sent.
  EXPECT_EQ(server_->requestCount(), 0u);
  EXPECT_EQ(names(fileManager_->activePathContents()),
            std::vector<std::string>{Beacon::sharedSDK()->executionIdentifier()});
}

TEST_F(CTRCrashReportingControllerTest, ReportsWithoutCrashDataAreRemovedSilently) {
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  earlierReport("bbbb0000000000000000000000000001", false);
  // A directory without a readable identifier can never be submitted.
  fs::create_directories(fileManager_->activePath() + "/broken");

  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  drain();
  EXPECT_TRUE(delegate_->detected.empty());
  EXPECT_TRUE(delegate_->decided.empty());
  EXPECT_EQ(names(fileManager_->activePathContents()),
            std::vector<std::string>{Beacon::sharedSDK()->executionIdentifier()});
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(CTRCrashReportingControllerTest, DelegateDecidesForReportsOfANormalLaunch) {
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  earlierReport("cccc0000000000000000000000000001", true);
  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  EXPECT_EQ(delegate_->decided, std::vector<std::string>{"cccc0000000000000000000000000001"});
  ASSERT_TRUE(server_->waitForRequestCount(1));
  // The asynchronous upload deletes the package once it is accepted.
  EXPECT_TRUE(varnel::testing::waitUntil([&] {
    drain();
    return fileManager_->preparedPathContents().empty();
  }));
  EXPECT_TRUE(fileManager_->processingPathContents().empty());
}

TEST_F(CTRCrashReportingControllerTest, LegacyCleanUpNeverRemovesThisLaunchsDirectories) {
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  earlierReport("9999", true);
  fs::create_directories(fileManager_->rootPath() + "/sendable");

  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  EXPECT_FALSE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  drain();
  // The old layout went away before this launch made its directories.
  EXPECT_FALSE(fs::exists(fileManager_->rootPath() + "/sendable"));
  EXPECT_TRUE(delegate_->detected.empty());
  EXPECT_TRUE(fs::is_directory(controller->currentReport()->path()));
  EXPECT_TRUE(fs::is_directory(fileManager_->processingPath()));
  EXPECT_TRUE(fs::is_directory(fileManager_->preparedPath()));
  EXPECT_TRUE(markerExists());
}

TEST_F(CTRCrashReportingControllerTest, ReportingDisabledEmptiesEveryDirectory) {
  delegate_->settings = CTRSettings::initWithDictionary(
      Value::dictionary({{"features", Value::dictionary({{"collect_reports", false}})}}), bundle_);
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  earlierReport("dddd0000000000000000000000000001", true);
  fs::create_directories(fileManager_->processingPath() + "/dddd2");
  fs::create_directories(fileManager_->pendingPath() + "/dddd3");
  std::ofstream(fileManager_->preparedPath() + "/B.multipartmime") << "x";

  int userLoggingStarts = 0;
  static int* starts = nullptr;
  starts = &userLoggingStarts;
  CTRCaptureHooks hooks;
  hooks.userLoggingInitialize = [](const CTRCaptureStartRecord*) { ++*starts; };

  const auto controller = makeController(hooks);
  EXPECT_FALSE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  drain();
  EXPECT_TRUE(fileManager_->activePathContents().empty());
  EXPECT_TRUE(fileManager_->processingPathContents().empty());
  EXPECT_TRUE(fileManager_->preparedPathContents().empty());
  EXPECT_TRUE(fileManager_->contentsOfDirectory(fileManager_->pendingPath()).empty());
  EXPECT_EQ(userLoggingStarts, 0);
  EXPECT_FALSE(markerExists());
  EXPECT_EQ(server_->requestCount(), 0u);
  starts = nullptr;
}

TEST_F(CTRCrashReportingControllerTest, FailedUploadIsRetriedWithTheSamePackage) {
  std::atomic<int> attempts{0};
  // 409 is a failure that may pass (a 400 is a refusal for good, below).
  server_->setHandler(kReportsPath, [&](const HTTPRecordedRequest&) {
    return ++attempts == 1 ? HTTPReply::text(409, "busy") : HTTPReply::json("{}", 200);
  });
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  const std::string package = fileManager_->preparedPath() + "/B7.multipartmime";
  std::ofstream(package, std::ios::binary) << "--B7\r\npart\r\n--B7--\r\n";

  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  ASSERT_TRUE(server_->waitForRequestCount(1, 20s));
  // The retry waits for its delay, then goes out with the same package.
  ASSERT_TRUE(clock_->waitForWatchers(1, 20s));
  clock_->advanceSeconds(kCTRSubmissionRetryDelay - 1);
  EXPECT_EQ(server_->requestCount(), 1u);
  clock_->advanceSeconds(1);
  ASSERT_TRUE(server_->waitForRequestCount(2, 20s));
  EXPECT_TRUE(varnel::testing::waitUntil([&] { return !fs::exists(package); }));
  const auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].body, requests[1].body);
  EXPECT_EQ(requests[1].header("Content-Type"), "multipart/form-data; boundary=B7");
  // The failure went to the SDK log of this launch.
  EXPECT_NE(readFile(controller->currentReport()->pathForContentFile("sdk.log"))
                .find("Error: failed to submit report"),
            std::string::npos);
}

TEST_F(CTRCrashReportingControllerTest, APackageRefusedForGoodIsRemovedAndNeverSentAgain) {
  server_->setReply(kReportsPath, HTTPReply::text(400, "malformed report"));
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  const std::string package = fileManager_->preparedPath() + "/B8.multipartmime";
  std::ofstream(package, std::ios::binary) << "--B8\r\npart\r\n--B8--\r\n";

  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  ASSERT_TRUE(server_->waitForRequestCount(1, 20s));
  EXPECT_TRUE(varnel::testing::waitUntil([&] { return !fs::exists(package); }));
  drain();
  // No retry is waiting: past its delay nothing more is sent.
  clock_->advanceSeconds(kCTRSubmissionRetryDelay * 3);
  drain();
  EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(CTRCrashReportingControllerTest, SymbolicLinksAmongTheReportsAreNeverFollowed) {
  // Files outside the cache that links in its state directories point at.
  const std::string outside = root().file("outside");
  fs::create_directories(outside + "/report");
  std::ofstream(outside + "/secret", std::ios::binary)
      << "--L1\r\nsecret-of-the-user\r\n--L1--\r\n";
  std::ofstream(outside + "/report/signal.clsrecord") << R"({"signal":{"number":11}})"
                                                      << "\n";
  std::ofstream(outside + "/report/metadata.clsrecord") << "secret-of-the-user\n";
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  const std::string preparedLink = fileManager_->preparedPath() + "/L1.multipartmime";
  const std::string activeLink = fileManager_->activePath() + "/linked-report";
  const std::string processingLink = fileManager_->processingPath() + "/linked-report";
  fs::create_symlink(outside + "/secret", preparedLink);
  fs::create_directory_symlink(outside + "/report", activeLink);
  fs::create_directory_symlink(outside + "/report", processingLink);

  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  drain();
  // Nothing goes out (what a followed link would send is on its way by now).
  EXPECT_FALSE(server_->waitForRequestCount(1, 2s));
  for (const auto& request : server_->requests()) {
    EXPECT_EQ(request.body.find("secret-of-the-user"), std::string::npos);
  }
  // The links went, their targets stayed.
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(preparedLink)));
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(activeLink)));
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(processingLink)));
  EXPECT_TRUE(fs::exists(outside + "/secret"));
  EXPECT_TRUE(fs::exists(outside + "/report/signal.clsrecord"));
}

TEST_F(CTRCrashReportingControllerTest, WaitingPackagesAreKeptToABudgetOldestFirst) {
  // The service fails every upload (not for good): the packages stay.
  server_->setReply(kReportsPath, HTTPReply::text(409, "busy"));
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  const std::size_t made = kCTRMaxPreparedReports + 5;
  const auto start = fs::file_time_type::clock::now() - std::chrono::hours(1);
  std::vector<std::string> packages;
  for (std::size_t i = 0; i < made; ++i) {
    // Names in no particular order; the age is the modification time.
    const std::string name = "P" + std::to_string((i * 7) % made);
    const std::string path = fileManager_->preparedPath() + "/" + name + ".multipartmime";
    std::ofstream(path, std::ios::binary) << "--" << name << "\r\npart\r\n--" << name << "--\r\n";
    fs::last_write_time(path, start + std::chrono::seconds(i));
    packages.push_back(path);
  }
  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  drain();
  for (std::size_t i = 0; i < made; ++i) {
    EXPECT_EQ(fs::exists(packages[i]), i >= made - kCTRMaxPreparedReports) << packages[i];
  }
  EXPECT_NE(readFile(controller->currentReport()->pathForContentFile("sdk.log"))
                .find("Report budget exceeded"),
            std::string::npos);
}

TEST_F(CTRCrashReportingControllerTest, WaitingPackagesAreKeptToAByteBudgetOldestFirst) {
  server_->setReply(kReportsPath, HTTPReply::text(409, "busy"));
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  const auto start = fs::file_time_type::clock::now() - std::chrono::hours(1);
  // Three packages of 40 % of the byte budget each: the oldest must go.
  const std::string body(static_cast<std::size_t>(kCTRMaxPreparedReportBytes * 2 / 5), 'x');
  std::vector<std::string> packages;
  for (int i = 0; i < 3; ++i) {
    const std::string path =
        fileManager_->preparedPath() + "/Q" + std::to_string(3 - i) + ".multipartmime";
    std::ofstream(path, std::ios::binary) << body;
    fs::last_write_time(path, start + std::chrono::seconds(i));
    packages.push_back(path);
  }
  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  drain();
  EXPECT_FALSE(fs::exists(packages[0]));
  EXPECT_TRUE(fs::exists(packages[1]));
  EXPECT_TRUE(fs::exists(packages[2]));
}

TEST_F(CTRCrashReportingControllerTest, AlwaysSendAnswersEveryLaterPromptOfTheProcess) {
  delegate_->settings = CTRSettings::initWithDictionary(
      Value::dictionary({{"features", Value::dictionary({{"prompt_enabled", true}})}}), bundle_);
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  earlierReport("eeee0000000000000000000000000001", true);
  earlierReport("eeee0000000000000000000000000002", true);
  std::atomic<int> alerts{0};
  std::vector<std::string> buttons;
  platform::ModalAlert::setPresenter([&](const platform::ModalAlert& alert) {
    ++alerts;
    buttons = alert.buttonTitles();
    return std::optional<std::size_t>(1);  // "Always Send"
  });

  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  ASSERT_TRUE(runMainUntil([&] { return server_->requestCount() >= 2; }));
  drain();
  EXPECT_EQ(alerts.load(), 1);
  EXPECT_EQ(buttons, (std::vector<std::string>{"Send", "Always Send", "Don't Send"}));
  // Both reports were sent: later reports of the process are not asked about.
  const unsigned choice = controller->promptChoice();
  EXPECT_TRUE(choice == kCTRPromptChoiceSend || choice == kCTRPromptChoiceAlwaysSend) << choice;
  EXPECT_EQ(fileManager_->activePathContents().size(), 1u);
}

TEST_F(CTRCrashReportingControllerTest, PromptWithoutAnyUserInterfaceKeepsTheReport) {
  delegate_->settings = CTRSettings::initWithDictionary(
      Value::dictionary({{"features", Value::dictionary({{"prompt_enabled", true}})}}), bundle_);
  ASSERT_TRUE(fileManager_->prepareForNewLaunch());
  const std::string kept = earlierReport("ffff0000000000000000000000000001", true);

  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  drain();
  // Let the main queue run the (unshowable) alert.
  ASSERT_TRUE(runMainUntil([&] { return !markerExists(); }));
  platform::runloop::RunLoop::main().runUntil([] { return false; }, 200ms);
  drain();
  EXPECT_TRUE(fs::exists(kept + "/signal.clsrecord"));
  EXPECT_EQ(server_->requestCount(), 0u);
  EXPECT_EQ(controller->promptChoice(), kCTRPromptChoiceNotAsked);
}

TEST_F(CTRCrashReportingControllerTest, CurrentReportSubmissionSendsACopyOfTheOnlyReport) {
  const auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(CTRProfilingStart(), std::nullopt));
  drain();
  const auto current = controller->currentReport();
  std::ofstream(current->pathForContentFile(kCTRSignalFile)) << R"({"signal":{"number":6}})"
                                                             << "\n";
  ASSERT_TRUE(controller->submitCurrentReportIfUrgentAllowed());
  EXPECT_EQ(server_->requestCount(), 1u);
  // The original stays for the next launch; the copy was consumed.
  EXPECT_EQ(names(fileManager_->activePathContents()),
            std::vector<std::string>{current->directoryName()});

  fs::create_directories(fileManager_->activePath() + "/another");
  EXPECT_FALSE(controller->attemptCurrentReportSubmission());
  EXPECT_EQ(server_->requestCount(), 1u);
}

}  // namespace
}  // namespace sdk
