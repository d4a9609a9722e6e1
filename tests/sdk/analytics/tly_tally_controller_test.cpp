#include "sdk/analytics/tly_tally_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/url.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/file_util.h"
#include "platform/system/notification_center.h"
#include "platform/system/paths.h"
#include "sdk/analytics/tly_crash_event.h"
#include "sdk/analytics/tly_crash_metadata.h"
#include "sdk/analytics/tly_custom_event.h"
#include "sdk/analytics/tly_event.h"
#include "sdk/analytics/tly_file_utils.h"
#include "sdk/analytics/tly_lifecycle_event.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/analytics/tly_metadata.h"
#include "sdk/analytics/tly_settings.h"
#include "sdk/analytics/tly_timer.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_settings_onboarding_manager.h"
#include "sdk/platform/beacon.h"
#include "sdk/platform/ctr_user_defaults.h"
#include "support/http_test_server.h"
#include "support/manual_clock.h"
#include "support/temp_root.h"
#include "support/wait.h"
#include "tally_test_support.h"

namespace sdk {
namespace {

using namespace std::chrono_literals;
using tally_test::filesIn;
using tally_test::LogLine;

class TallyControllerTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    CTRUserDefaults::resetStandardUserDefaultsForTesting(bundle_);
    Beacon::resetSharedSDKForTesting({bundle_});
    rootDir_ = root().file("tally");
    eventDir_ = rootDir_ + "/events";
  }

  void TearDown() override {
    if (controller_) drain();
    // A retry still waiting on the clock holds the controller.
    clock_->dropWatchers();
    controller_.reset();
    Beacon::resetSharedSDKForTesting();
    CTRUserDefaults::resetStandardUserDefaultsForTesting();
  }

  // Makes the registry see an installation identifier of an earlier launch.
  void makeNotFirstInstall() {
    ASSERT_TRUE(Beacon::sharedSDK()->isFirstInstall());
    Beacon::resetSharedSDKForTesting({bundle_});
    ASSERT_FALSE(Beacon::sharedSDK()->isFirstInstall());
  }

  // The settings file the registry reads (as if downloaded by an earlier launch).
  void writeSettings(const std::string& json) {
    ASSERT_TRUE(tally_test::writeFile(
        BCNSettingsOnboardingManager::settingsDirectoryPath(bundle_) + "/settings.json", json));
  }
  std::string settingsFor(const std::string& analytics, bool collect = true) {
    return std::string("{\"features\":{\"collect_analytics\":") + (collect ? "true" : "false") +
           "},\"analytics\":{" + analytics + "}}";
  }
  std::string urlSetting() { return "\"url\":\"" + server_->url("/spi/v2/events") + "\""; }

  void start(std::optional<std::string> betaToken = std::nullopt) {
    controller_ = TLYTallyController::initWithBetaToken(std::move(betaToken), rootDir_, clock_);
    drain();
  }

  // Waits until the event queue is idle and the completion blocks that remove
  // stage inputs have run (no plain log is left beside its compressed file).
  void drain() {
    ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] {
      if (controller_->eventQueue()->operationCount() != 0) return false;
      return filesIn(eventDir_, "gz").empty() || !filesIn(eventDir_, "multipartmime").empty();
    }));
    controller_->eventQueue()->waitUntilAllOperationsAreFinished();
  }

  // Waits until the queue is idle with exactly `packages` packages, `logs`
  // plain logs and no compressed log on disk.
  bool waitForFiles(std::size_t packages, std::size_t logs) {
    return varnel::testing::waitUntilOnMainRunLoop([&] {
      return controller_->eventQueue()->operationCount() == 0 &&
             filesIn(eventDir_, "multipartmime").size() == packages &&
             filesIn(eventDir_, "log").size() == logs && filesIn(eventDir_, "gz").empty();
    });
  }

  std::vector<LogLine> readLog(const std::string& path) {
    auto text = platform::files::readFile(path);
    return text ? tally_test::parseLog(*text) : std::vector<LogLine>{};
  }
  std::vector<LogLine> readPackage(const std::string& path) {
    auto bytes = platform::files::readFile(path);
    if (!bytes) return {};
    auto log = tally_test::logInPackage(*bytes, tally_test::baseName(path));
    return log ? tally_test::parseLog(*log) : std::vector<LogLine>{};
  }
  // Every package's log, in no particular order.
  std::vector<std::vector<LogLine>> readPackages() {
    std::vector<std::vector<LogLine>> logs;
    for (const auto& path : filesIn(eventDir_, "multipartmime")) logs.push_back(readPackage(path));
    return logs;
  }
  std::string dump() {
    std::string text = "files:";
    for (const auto& file : filesIn(eventDir_)) text += " " + file.substr(eventDir_.size() + 1);
    return text;
  }
  std::string queueDump() {
    std::string text = " queue:";
    for (const auto& op : controller_->eventQueue()->operations()) {
      text += " " + op->description() + "[" + typeid(*op).name() + "]";
      for (const auto& d : op->dependencies()) text += "{dep " + d->description() + "}";
    }
    return text;
  }
  static std::vector<std::string> names(const std::vector<LogLine>& lines) {
    std::vector<std::string> result;
    for (const auto& line : lines) result.push_back(line.name);
    return result;
  }

  void logCustom(const std::string& name) {
    controller_->logEvent(std::make_shared<TLYCustomEvent>(name, platform::Value()));
  }

  std::string rootDir_;
  std::string eventDir_;
  const platform::BundlePtr bundle_ = tally_test::hostBundle();
  std::unique_ptr<test_support::HTTPTestServer> server_;
  TLYTallyController::Ptr controller_;
  // The upload retries' back-off runs on it.
  std::shared_ptr<varnel::testing::ManualClock> clock_ = varnel::testing::ManualClock::create();
};

TEST_F(TallyControllerTest, PathsFollowTheEventDirectoryLayout) {
  makeNotFirstInstall();
  start();
  EXPECT_EQ(TLYTallyController::rootDirectory(bundle_),
            platform::paths::caches() + "/com.crashtrail.data/" +
                std::string(tally_test::kBundleIdentifier) + "/analytics/v2");
  EXPECT_EQ(controller_->eventDirectoryForRootDirectory("/r"), "/r/events");
  EXPECT_EQ(controller_->crashMetadataPathForRootDirectory("/r"), "/r/crash_metadata");
  auto log = controller_->generateNewLogPath();
  EXPECT_EQ(log.pathExtension(), "log");
  EXPECT_EQ(platform::files::parentFolder(log.path()), eventDir_);
  EXPECT_NE(log, controller_->generateNewLogPath());
  auto package = controller_->multipartMimeURLWithBoundary("B-1");
  EXPECT_EQ(package.path(), eventDir_ + "/B-1.multipartmime");
  EXPECT_EQ(TLYTallyController::boundaryFromURL(package), std::optional<std::string>("B-1"));
  EXPECT_EQ(
      TLYTallyController::boundaryFromURL(platform::URL::fileURLWithPath("/e/a.b.multipartmime")),
      std::optional<std::string>("a.b"));
  EXPECT_EQ(TLYTallyController::boundaryFromURL(platform::URL::fileURLWithPath("/e/B-1.gz")),
            std::nullopt);
}

TEST_F(TallyControllerTest, FirstInstallEventTravelsAloneAndLaunchEventStartsTheCurrentLog) {
  start();
  // The install event asks for a flush: its log is packaged at once; the
  // upload is cancelled (no valid settings) and the package waits.
  ASSERT_TRUE(waitForFiles(1, 1)) << dump();
  auto packages = readPackages();
  ASSERT_EQ(packages.size(), 1u);
  EXPECT_EQ(names(packages[0]), (std::vector<std::string>{"metadata", "app_installed"}));
  auto current = readLog(controller_->currentLogURL().path());
  ASSERT_EQ(names(current), (std::vector<std::string>{"metadata", "app_launched"}));
  const auto& metadata = current[0].payload;
  EXPECT_EQ(metadata["api_key"].asString(), tally_test::kAPIKey);
  EXPECT_EQ(metadata["session_id"].asString(), Beacon::sharedSDK()->executionIdentifier());
  EXPECT_EQ(metadata["install_id"].asString(), Beacon::sharedSDK()->installID());
  // The metadata line takes the time of the event that created the file.
  EXPECT_EQ(current[0].time, current[1].time);
  EXPECT_EQ(metadata["started_at"].asUInt64(), current[1].time / 1000);
}

TEST_F(TallyControllerTest, LeftoversOfEarlierLaunchesArePackagedAndWaitForSettings) {
  makeNotFirstInstall();
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/A.log", "1\tone\t2\t{}\n"));
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/B.log", "2\ttwo\t2\t{}\n"));
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/C.log", "3\tthree\t2\t{}\n"));
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/D.gz", tally_test::gzip("4\tfour\t2\t{}\n")));
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/notes.txt", "foreign"));
  // Two packages of an earlier launch (their content is not looked at).
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/P1.multipartmime", "x"));
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/P2.multipartmime", "y"));
  start();
  // Three compress-package chains and one package chain; uploads cancelled.
  ASSERT_TRUE(waitForFiles(6, 1)) << dump() << queueDump();
  std::vector<std::string> seen;
  for (const auto& path : filesIn(eventDir_, "multipartmime")) {
    auto lines = readPackage(path);
    if (lines.size() == 1) seen.push_back(lines[0].name);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"four", "one", "three", "two"}));
  EXPECT_TRUE(filesIn(eventDir_, "txt").empty());
}

TEST_F(TallyControllerTest, LeftoversAreUploadedOnceEachWhenSettingsAreKnown) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(202, ""));
  writeSettings(settingsFor(urlSetting()));
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/A.log", "1\tone\t2\t{}\n"));
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/D.gz", tally_test::gzip("4\tfour\t2\t{}\n")));
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/P1.multipartmime", "x"));
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/P2.multipartmime", "y"));
  start();
  // The packages are offered twice (settings arrived, and the start-up
  // re-processing): each is still sent once.
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 4; }));
  ASSERT_TRUE(waitForFiles(0, 1)) << dump();
  drain();
  std::vector<std::string> bodies;
  for (const auto& request : server_->requests()) bodies.push_back(request.body);
  std::sort(bodies.begin(), bodies.end());
  ASSERT_EQ(bodies.size(), 4u);
  EXPECT_EQ(std::count(bodies.begin(), bodies.end(), "x"), 1);
  EXPECT_EQ(std::count(bodies.begin(), bodies.end(), "y"), 1);
}

TEST_F(TallyControllerTest, OversizedLogIsRotatedByTheNextEventWhichTravelsInIt) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(202, ""));
  // Every written byte exceeds the limit: each event finding a non-empty
  // log rotates it after its own write.
  writeSettings(settingsFor(urlSetting() + ",\"max_byte_size_per_file\":0"));
  start();
  // The size is taken before the event's own write: let each write land.
  for (const char* name : {"e1", "e2", "e3"}) {
    logCustom(name);
    drain();
  }
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 2; }));
  ASSERT_TRUE(waitForFiles(0, 0)) << dump();
  std::vector<std::vector<std::string>> uploaded;
  for (const auto& request : server_->requests()) {
    auto boundary = request.header("Content-Type").value_or("");
    boundary = boundary.substr(boundary.find('=') + 1);
    auto log = tally_test::logInPackage(request.body, boundary);
    ASSERT_TRUE(log.has_value());
    std::vector<std::string> entries;
    for (const auto& line : tally_test::parseLog(*log)) {
      entries.push_back(line.name == "custom" ? line.payload["custom_type"].asString() : line.name);
    }
    uploaded.push_back(entries);
  }
  std::sort(uploaded.begin(), uploaded.end());
  EXPECT_EQ(uploaded, (std::vector<std::vector<std::string>>{{"metadata", "app_launched", "e1"},
                                                             {"metadata", "e2", "e3"}}));
  EXPECT_EQ(server_->requestCount(), 2u);
}

TEST_F(TallyControllerTest, CrashEventTravelsAloneUnderThePreviousLaunchMetadata) {
  makeNotFirstInstall();
  ASSERT_TRUE(
      tally_test::writeFile(rootDir_ + "/crash_metadata", "{\"session_id\":\"previous-run\"}"));
  start();
  EXPECT_EQ(
      controller_->previousExecutionMetadata()->rawMetadataDictionary()["session_id"].asString(),
      "previous-run");
  // Start a fresh log; the crash then comes right behind an event whose
  // write, the one that makes that log's file, is still queued.
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  logCustom("before");
  const platform::Date crashDate(1500000000.1234);
  controller_->logCrashEvent(std::make_shared<TLYCrashEvent>(crashDate, 0));
  ASSERT_TRUE(waitForFiles(3, 0)) << dump();
  std::vector<LogLine> crashLog, eventLog;
  for (auto& lines : readPackages()) {
    ASSERT_FALSE(lines.empty());
    if (lines.back().name == "app_crashed") crashLog = lines;
    if (lines.back().name == "custom") eventLog = lines;
  }
  ASSERT_EQ(names(crashLog), (std::vector<std::string>{"metadata", "app_crashed"}));
  EXPECT_EQ(crashLog[0].payloadText, "{\"session_id\":\"previous-run\"}");
  EXPECT_EQ(crashLog[1].time, 1500000000123u);
  EXPECT_EQ(crashLog[1].payload["crash_state"].asString(), "unknown");
  ASSERT_EQ(names(eventLog), (std::vector<std::string>{"metadata", "custom"}));
  EXPECT_EQ(eventLog[0].payload["session_id"].asString(),
            Beacon::sharedSDK()->executionIdentifier());
  // This launch's metadata replaced the stored one.
  auto stored = platform::files::readFile(rootDir_ + "/crash_metadata");
  ASSERT_TRUE(stored.has_value());
  EXPECT_NE(stored->find(Beacon::sharedSDK()->executionIdentifier()), std::string::npos);
}

TEST_F(TallyControllerTest, DisabledAnalyticsRemovesEveryFileAndRecordsNothing) {
  makeNotFirstInstall();
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/A.log", "1\tone\t2\t{}\n"));
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/P.multipartmime", "x"));
  writeSettings(settingsFor("\"url\":\"http://127.0.0.1:9/spi/v2/events\"", false));
  start();
  logCustom("ignored");
  drain();
  ASSERT_TRUE(waitForFiles(0, 0)) << dump();
  EXPECT_TRUE(filesIn(eventDir_).empty()) << dump();
  controller_->runOnEventQueue([&] { EXPECT_FALSE(controller_->shouldLogEvent()); });
}

TEST_F(TallyControllerTest, PendingPackagesLeaveWhenSettingsArriveAndLaterSettingsChangeNothing) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(202, ""));
  start();
  logCustom("waiting");
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  ASSERT_TRUE(waitForFiles(1, 0)) << dump();
  EXPECT_EQ(server_->requestCount(), 0u);

  // The settings download announces the first settings: the package goes.
  writeSettings(settingsFor(urlSetting() + ",\"sampling_rate\":1"));
  platform::NotificationCenter::defaultCenter().post(BCNSettingsAvailableNotification);
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 1; }));
  ASSERT_TRUE(waitForFiles(0, 0)) << dump();

  // A second announcement with other settings is ignored.
  writeSettings(settingsFor(urlSetting(), false));
  platform::NotificationCenter::defaultCenter().post(BCNSettingsAvailableNotification);
  drain();
  controller_->runOnEventQueue([&] {
    EXPECT_TRUE(controller_->settings()->shouldCollectAnalytics());
    EXPECT_EQ(controller_->settings()->samplingRate(), 1);
  });
}

TEST_F(TallyControllerTest, RejectedUploadRemovesThePackageWithoutRetry) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(400, "bad"));
  writeSettings(settingsFor(urlSetting()));
  start();
  logCustom("lost");
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 1; }));
  ASSERT_TRUE(waitForFiles(0, 0)) << dump();
  drain();
  EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(TallyControllerTest, AnAcceptedUploadWithAnOversizedAnswerIsDoneAndSentOnce) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  // 200 with a body far past what an upload reads (its answer is a status).
  server_->setReply("/spi/v2/events",
                    test_support::HTTPReply::text(200, std::string(std::size_t{1} << 20, 'x')));
  writeSettings(settingsFor(urlSetting()));
  start();
  logCustom("kept once");
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 1; }));
  ASSERT_TRUE(waitForFiles(0, 0)) << dump();
  drain();
  EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(TallyControllerTest, ServerErrorIsRetriedFromTheSamePackage) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  std::atomic<int> calls{0};
  server_->setHandler("/spi/v2/events", [&](const test_support::HTTPRecordedRequest&) {
    return ++calls == 1 ? test_support::HTTPReply::text(503, "busy")
                        : test_support::HTTPReply::text(202, "");
  });
  writeSettings(settingsFor(urlSetting()));
  start();
  logCustom("retried");
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  // The first retry waits 2 s, give or take a tenth.
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 1; }));
  ASSERT_TRUE(clock_->waitForWatchers(1, 10s));
  clock_->advance(1799ms);
  platform::runloop::RunLoop::main().processPending();
  EXPECT_EQ(server_->requestCount(), 1u);
  clock_->advance(401ms);
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 2; }, 15s));
  ASSERT_TRUE(waitForFiles(0, 0)) << dump();
  auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].body, requests[1].body);
  EXPECT_FALSE(requests[0].body.empty());
}

TEST_F(TallyControllerTest, FlushTimerRotatesAnOversizedLogWithoutFurtherEvents) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(202, ""));
  writeSettings(
      settingsFor(urlSetting() + ",\"flush_interval_secs\":0.2,\"max_byte_size_per_file\":10"));
  start();
  controller_->runOnEventQueue([&] {
    ASSERT_NE(controller_->flushTimer(), nullptr);
    EXPECT_EQ(controller_->flushTimer()->timerIdentifier(), "io.tally.TimedEventsFlush");
  });
  // The launch event alone exceeds 10 bytes; the timer sends it.
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 1; }, 10s));
  ASSERT_TRUE(waitForFiles(0, 0)) << dump();
}

TEST_F(TallyControllerTest, LifecycleNotificationsBecomeEventsAndActivationFlushes) {
  makeNotFirstInstall();
  start();
  auto& center = platform::NotificationCenter::defaultCenter();
  center.post(kNSApplicationWillResignActiveNotification);
  ASSERT_TRUE(waitForFiles(1, 0)) << dump();
  // The client announces its quit on two roads (its quit path and the
  // toolkit's): the quit is recorded once.
  center.post(kNSApplicationWillTerminateNotification);
  center.post(kNSApplicationWillTerminateNotification);
  drain();
  ASSERT_TRUE(waitForFiles(1, 1)) << dump();
  auto packages = readPackages();
  ASSERT_EQ(packages.size(), 1u);
  EXPECT_EQ(names(packages[0]),
            (std::vector<std::string>{"metadata", "app_launched", "app_became_inactive"}));
  EXPECT_EQ(names(readLog(filesIn(eventDir_, "log")[0])),
            (std::vector<std::string>{"metadata", "app_terminated"}));
}

TEST_F(TallyControllerTest, FlushIntervalsFromTheNetworkAreBoundedBeforeTheTimer) {
  EXPECT_EQ(TLYTallyController::boundedFlushInterval(1e10), kTLYMaximumFlushInterval);
  EXPECT_EQ(TLYTallyController::boundedFlushInterval(1e-9), kTLYMinimumFlushInterval);
  EXPECT_EQ(TLYTallyController::boundedFlushInterval(30), 30);
  EXPECT_EQ(TLYTallyController::boundedFlushInterval(0), 0);
  EXPECT_EQ(TLYTallyController::boundedFlushInterval(-5), 0);
  EXPECT_EQ(TLYTallyController::boundedFlushInterval(std::nan("")), 0);

  // A settings file asking for 1e10 s gets a timer of a day, not one that
  // fires without pause.
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  writeSettings(settingsFor(urlSetting() + ",\"flush_interval_secs\":1e10"));
  start();
  controller_->runOnEventQueue([&] {
    ASSERT_NE(controller_->flushTimer(), nullptr);
    EXPECT_EQ(controller_->flushTimer()->timeInterval(), kTLYMaximumFlushInterval);
  });
}

TEST_F(TallyControllerTest, ALogIsKeptWhenItsCompressionFails) {
  makeNotFirstInstall();
  start();
  // A directory stands where the compressed log must go: compression fails,
  // and the log must survive for a later launch.
  const std::string folder = rootDir_ + "/elsewhere";
  ASSERT_TRUE(tally_test::writeFile(folder + "/A.log", "1\tone\t2\t{}\n"));
  std::filesystem::create_directories(folder + "/A.gz");
  controller_->eventQueue()->addOperations(
      controller_->operationsForUncompressedLog(platform::URL::fileURLWithPath(folder + "/A.log")),
      true);
  controller_->eventQueue()->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(std::filesystem::exists(folder + "/A.log"));
}

TEST_F(TallyControllerTest, WorkQueuedAtQuitReachesTheDiskBeforeTheNotificationReturns) {
  makeNotFirstInstall();
  start();
  // Something slow is still queued when the application quits.
  controller_->eventQueue()->addOperationWithBlock(
      [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
  platform::NotificationCenter::defaultCenter().post(kNSApplicationWillTerminateNotification);
  // No drain: the notification itself waited for the queue.
  bool terminated = false;
  for (const auto& path : filesIn(eventDir_, "log")) {
    for (const auto& line : readLog(path)) terminated = terminated || line.name == "app_terminated";
  }
  EXPECT_TRUE(terminated) << dump();

  // The wait is bounded: a queue that does not finish in time lets it go.
  controller_->setTerminationGracePeriod(std::chrono::milliseconds(50));
  platform::dispatch::Semaphore release(0);
  controller_->eventQueue()->addOperationWithBlock([&] { release.wait(); });
  const auto before = std::chrono::steady_clock::now();
  platform::NotificationCenter::defaultCenter().post(kNSApplicationWillTerminateNotification);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  release.signal();
  drain();
}

// An upload that never reached the service keeps its package: retried with
// the back-off, and once that launch is over the next one delivers it, once.
TEST_F(TallyControllerTest, EventsOfASessionWithTheServiceDownAreDeliveredOnceLater) {
  makeNotFirstInstall();
  // A port nobody listens on any more: every connection is refused.
  auto gone = test_support::HTTPTestServer::start();
  const std::string deadURL = gone->url("/spi/v2/events");
  gone.reset();
  writeSettings(settingsFor("\"url\":\"" + deadURL + "\""));
  start();
  // Half of the session's events go out while the service is down, in
  // packages of their own.
  std::vector<std::string> sent;
  for (int i = 0; i < 20; ++i) {
    sent.push_back("down-" + std::to_string(i));
    logCustom(sent.back());
    if (i % 5 == 4) {
      controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
    }
  }
  // The refusals schedule retries instead of removing the packages.
  ASSERT_TRUE(clock_->waitForWatchers(4, 10s));
  drain();
  ASSERT_EQ(filesIn(eventDir_, "multipartmime").size(), 4u) << dump();
  // The next launch finds the service up.
  clock_->dropWatchers();
  controller_.reset();
  server_ = test_support::HTTPTestServer::start();
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(202, ""));
  writeSettings(settingsFor(urlSetting()));
  Beacon::resetSharedSDKForTesting({bundle_});
  start();
  // The other half while it is up.
  for (int i = 0; i < 20; ++i) {
    sent.push_back("up-" + std::to_string(i));
    logCustom(sent.back());
  }
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  std::vector<std::string> delivered;
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] {
    delivered.clear();
    for (const auto& request : server_->requests()) {
      auto boundary = request.header("Content-Type").value_or("");
      boundary = boundary.substr(boundary.find('=') + 1);
      auto log = tally_test::logInPackage(request.body, boundary);
      if (!log) continue;
      for (const auto& line : tally_test::parseLog(*log)) {
        if (line.name == "custom") delivered.push_back(line.payload["custom_type"].asString());
      }
    }
    return delivered.size() >= sent.size();
  }));
  ASSERT_TRUE(waitForFiles(0, 0)) << dump();
  drain();
  // Every event once: 40 sent, 40 received.
  std::sort(delivered.begin(), delivered.end());
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(delivered, sent);
}

// A burst of events far larger than the event queue usually holds: each
// event is three operations on it, most of them waiting for another, and
// the queue's work per operation must not grow with what waits (it did:
// 5,000 events took 8 s, 10,000 did not finish in 90 s and what was not
// written was lost at exit). Every event is written and delivered once.
TEST_F(TallyControllerTest, ABurstOfTenThousandEventsIsWrittenAndDeliveredOnce) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(202, ""));
  // Logs of half a megabyte: a few packages, so that the package budget
  // plays no part.
  writeSettings(settingsFor(urlSetting() + ",\"max_byte_size_per_file\":500000"));
  start();
  constexpr int kEvents = 10000;
  std::vector<std::string> sent;
  for (int i = 0; i < kEvents; ++i) {
    sent.push_back("burst-" + std::to_string(i));
    logCustom(sent.back());
  }
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  // A safety net only: the burst takes a few seconds here.
  ASSERT_TRUE(waitForFiles(0, 0) || varnel::testing::waitUntilOnMainRunLoop(
                                        [&] {
                                          return controller_->eventQueue()->operationCount() == 0 &&
                                                 filesIn(eventDir_, "multipartmime").empty() &&
                                                 filesIn(eventDir_, "log").empty() &&
                                                 filesIn(eventDir_, "gz").empty();
                                        },
                                        std::chrono::seconds(90)))
      << dump() << " " << controller_->eventQueue()->operationCount() << " operations queued";
  drain();
  std::vector<std::string> delivered;
  for (const auto& request : server_->requests()) {
    auto boundary = request.header("Content-Type").value_or("");
    boundary = boundary.substr(boundary.find('=') + 1);
    auto log = tally_test::logInPackage(request.body, boundary);
    if (!log) continue;
    for (const auto& line : tally_test::parseLog(*log)) {
      if (line.name == "custom") delivered.push_back(line.payload["custom_type"].asString());
    }
  }
  ASSERT_EQ(delivered.size(), sent.size());
  std::sort(delivered.begin(), delivered.end());
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(delivered, sent);
}

// Only the service's verdict about the package itself removes it.
TEST_F(TallyControllerTest, ARejectedPackageGoesButOtherRefusalsKeepIt) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  std::atomic<int> status{404};
  server_->setHandler("/spi/v2/events", [&](const test_support::HTTPRecordedRequest&) {
    return test_support::HTTPReply::text(status.load(), "no");
  });
  writeSettings(settingsFor(urlSetting()));
  BCNConsoleCapture console;
  TLYLogger::sharedLogger().setDebugMode(true);
  start();
  logCustom("kept");
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  // 404 is about where it was sent: the package waits (no retry in this launch).
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return console.contains("Keeping '"); }));
  TLYLogger::sharedLogger().setDebugMode(false);
  drain();
  ASSERT_TRUE(waitForFiles(1, 0)) << dump();
  EXPECT_EQ(server_->requestCount(), 1u);

  // 400 is about the package: it goes.
  status = 400;
  controller_->runOnEventQueue([&] { controller_->uploadAllMultipartFiles(); });
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 2; }));
  ASSERT_TRUE(waitForFiles(0, 0)) << dump();
}

// A redirect away from the events endpoint is not followed: the other host
// sees nothing (no credentials, no events) and the package stays.
TEST_F(TallyControllerTest, ARedirectToAnotherOriginIsAFailureThatKeepsThePackage) {
  makeNotFirstInstall();
  auto elsewhere = test_support::HTTPTestServer::start();
  elsewhere->setReply("/collect", test_support::HTTPReply::text(200, ""));
  server_ = test_support::HTTPTestServer::start();
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(302, "").header(
                                          "Location", elsewhere->url("/collect")));
  writeSettings(settingsFor(urlSetting()));
  start();
  logCustom("stays");
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 1; }));
  // The refused redirect is retried with the back-off, never deleted.
  ASSERT_TRUE(clock_->waitForWatchers(1, 10s));
  drain();
  EXPECT_EQ(elsewhere->requestCount(), 0u);
  ASSERT_EQ(filesIn(eventDir_, "multipartmime").size(), 1u) << dump();
  // The request over plain HTTP carried no credentials.
  auto first = server_->requests().at(0);
  EXPECT_FALSE(first.header("X-CRASHTRAIL-API-KEY").has_value());
  EXPECT_FALSE(first.header("X-CRASHTRAIL-DEVELOPER-TOKEN").has_value());
  EXPECT_EQ(first.method, "POST");
}

// The SDK configured for services of the host's own (as a deployment other
// than the built-in one is), for the life of the object.
struct ScopedSettingsEndpoint {
  explicit ScopedSettingsEndpoint(const std::string& url) {
    ::setenv("SettingsEndpoint", url.c_str(), 1);
  }
  ~ScopedSettingsEndpoint() { ::unsetenv("SettingsEndpoint"); }
};

// The custom events the service received, one entry per delivery.
std::vector<std::string> deliveredCustomEvents(const test_support::HTTPTestServer& server) {
  std::vector<std::string> delivered;
  for (const auto& request : server.requests()) {
    auto boundary = request.header("Content-Type").value_or("");
    boundary = boundary.substr(boundary.find('=') + 1);
    auto log = tally_test::logInPackage(request.body, boundary);
    if (!log) continue;
    for (const auto& line : tally_test::parseLog(*log)) {
      if (line.name == "custom") delivered.push_back(line.payload["custom_type"].asString());
    }
  }
  return delivered;
}

// A number where the events URL belongs: the URL the settings of an earlier
// launch gave stands in (the built-in host is not this deployment's).
TEST_F(TallyControllerTest, AnEventsURLOfTheWrongTypeKeepsTheEarlierOne) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(202, ""));
  const ScopedSettingsEndpoint ownServices(server_->baseURL());
  writeSettings(settingsFor(urlSetting()));
  start();
  logCustom("first");
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 1; }));
  ASSERT_TRUE(waitForFiles(0, 0)) << dump();

  clock_->dropWatchers();
  controller_.reset();
  writeSettings(settingsFor("\"url\":42"));
  Beacon::resetSharedSDKForTesting({bundle_});
  start();
  controller_->runOnEventQueue([&] {
    ASSERT_TRUE(controller_->eventsURL().has_value());
    EXPECT_EQ(controller_->eventsURL()->absoluteString(), server_->url("/spi/v2/events"));
  });
  logCustom("second");
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 2; }));
  ASSERT_TRUE(waitForFiles(0, 0)) << dump();
  EXPECT_EQ(deliveredCustomEvents(*server_), (std::vector<std::string>{"first", "second"}));
}

// With no earlier URL and services of the host's own (the built-in events
// host out of reach), a malformed URL makes the packages wait on disk until
// settings name an endpoint; then each is sent once.
TEST_F(TallyControllerTest, WithoutAnEarlierEventsURLAMalformedOneMakesThePackagesWait) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(202, ""));
  const ScopedSettingsEndpoint ownServices(server_->baseURL());
  writeSettings(settingsFor("\"url\":42"));
  BCNConsoleCapture console;
  TLYLogger::sharedLogger().setDebugMode(true);
  start();
  controller_->runOnEventQueue([&] { EXPECT_FALSE(controller_->eventsURL().has_value()); });
  logCustom("waits");
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  drain();
  TLYLogger::sharedLogger().setDebugMode(false);
  ASSERT_TRUE(waitForFiles(1, 0)) << dump();
  EXPECT_EQ(server_->requestCount(), 0u);
  EXPECT_TRUE(console.contains("The analytics URL of the settings is unusable: 42"));
  EXPECT_TRUE(console.contains("packages wait"));

  clock_->dropWatchers();
  controller_.reset();
  writeSettings(settingsFor(urlSetting()));
  Beacon::resetSharedSDKForTesting({bundle_});
  start();
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 1; }));
  // Left: this launch's current log.
  ASSERT_TRUE(waitForFiles(0, 1)) << dump();
  EXPECT_EQ(deliveredCustomEvents(*server_), (std::vector<std::string>{"waits"}));
}

// A host on the built-in services may fall back to the built-in events host.
TEST_F(TallyControllerTest, OnTheBuiltInServicesAMalformedURLFallsBackToTheBuiltInOne) {
  makeNotFirstInstall();
  ::unsetenv("SettingsEndpoint");
  writeSettings(settingsFor("\"url\":{\"host\":\"x\"}"));
  start();
  controller_->runOnEventQueue([&] {
    ASSERT_TRUE(controller_->eventsURL().has_value());
    EXPECT_EQ(controller_->eventsURL()->absoluteString(), TLYDefaultEventsURL);
  });
}

// The packages dropped by the pending budget, summed from its console lines.
std::size_t droppedByBudget(const BCNConsoleCapture& console) {
  std::size_t total = 0;
  const std::string prefix = "[Tally] Dropped ";
  for (const auto& line : console.lines()) {
    const auto at = line.find(prefix);
    if (at == std::string::npos) continue;
    total += std::stoul(line.substr(at + prefix.size()));
    EXPECT_NE(line.find(" oldest pending packages ("), std::string::npos) << line;
  }
  return total;
}

// With the service out of reach the packages of a session pile up: the
// budget holds while it runs, the oldest go first, and the console counts
// them (with the debug switch off).
TEST_F(TallyControllerTest, ThePendingBudgetHoldsDuringASessionOldestFirst) {
  makeNotFirstInstall();
  auto gone = test_support::HTTPTestServer::start();
  const std::string deadURL = gone->url("/spi/v2/events");
  gone.reset();
  writeSettings(settingsFor("\"url\":\"" + deadURL + "\",\"max_pending_send_file_count\":3"));
  BCNConsoleCapture console;
  start();
  for (int i = 0; i < 6; ++i) {
    logCustom("e" + std::to_string(i));
    controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  }
  drain();
  ASSERT_TRUE(waitForFiles(3, 0)) << dump();
  std::vector<std::string> kept;
  for (const auto& lines : readPackages()) {
    for (const auto& line : lines) {
      if (line.name == "custom") kept.push_back(line.payload["custom_type"].asString());
    }
  }
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{"e3", "e4", "e5"}));
  EXPECT_EQ(droppedByBudget(console), 3u);
}

// The bytes of the waiting packages are bounded as well.
TEST_F(TallyControllerTest, ThePendingBudgetBoundsBytesToo) {
  makeNotFirstInstall();
  auto gone = test_support::HTTPTestServer::start();
  const std::string deadURL = gone->url("/spi/v2/events");
  gone.reset();
  writeSettings(settingsFor("\"url\":\"" + deadURL + "\""));
  BCNConsoleCapture console;
  start();
  logCustom("b0");
  controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  drain();
  ASSERT_TRUE(waitForFiles(1, 0)) << dump();
  const std::uint64_t size = TLYFileUtils::fileSizeAtURL(
      platform::URL::fileURLWithPath(filesIn(eventDir_, "multipartmime")[0]));
  // Room for two packages of that size and a little more.
  controller_->setPendingBytesBudget(size * 2 + size / 2 + 64);
  for (int i = 1; i < 5; ++i) {
    logCustom("b" + std::to_string(i));
    controller_->runOnEventQueue([&] { controller_->rotateAndSubmitCurrentLog(); });
  }
  drain();
  ASSERT_TRUE(waitForFiles(2, 0)) << dump();
  EXPECT_EQ(droppedByBudget(console), 3u);
}

// A budget of 0 (or negative, or absurdly large) from the settings means the
// default, never "delete everything".
TEST_F(TallyControllerTest, ZeroNegativeOrAbsurdBudgetsMeanTheDefault) {
  EXPECT_EQ(TLYTallyController::boundedPendingFileCount(0), kTLYDefaultPendingFileCount);
  EXPECT_EQ(TLYTallyController::boundedPendingFileCount(-5), kTLYDefaultPendingFileCount);
  EXPECT_EQ(TLYTallyController::boundedPendingFileCount(kTLYMaximumPendingFileCount + 1),
            kTLYDefaultPendingFileCount);
  EXPECT_EQ(TLYTallyController::boundedPendingFileCount(INT64_MAX), kTLYDefaultPendingFileCount);
  EXPECT_EQ(TLYTallyController::boundedPendingFileCount(3), 3);
  EXPECT_EQ(TLYTallyController::boundedPendingFileCount(kTLYMaximumPendingFileCount),
            kTLYMaximumPendingFileCount);

  for (const char* setting : {"0", "-1", "1e300"}) {
    SCOPED_TRACE(setting);
    if (controller_) {
      drain();
      clock_->dropWatchers();
      controller_.reset();
      std::filesystem::remove_all(eventDir_);
      Beacon::resetSharedSDKForTesting({bundle_});
    } else {
      makeNotFirstInstall();
    }
    auto gone = test_support::HTTPTestServer::start();
    const std::string deadURL = gone->url("/spi/v2/events");
    gone.reset();
    writeSettings(
        settingsFor("\"url\":\"" + deadURL + "\",\"max_pending_send_file_count\":" + setting));
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(
          tally_test::writeFile(eventDir_ + "/P" + std::to_string(i) + ".multipartmime", "x"));
    }
    BCNConsoleCapture console;
    start();
    // Nothing was deleted: the uploads are retried with the back-off.
    ASSERT_TRUE(waitForFiles(5, 1)) << dump();
    EXPECT_EQ(droppedByBudget(console), 0u);
  }
}

// A log an earlier launch left with a damaged line and a last line cut by
// the crash: the service gets the intact events (a bad line made it refuse
// the whole package).
TEST_F(TallyControllerTest, ALeftoverLogWithDamagedLinesDeliversTheRest) {
  makeNotFirstInstall();
  server_ = test_support::HTTPTestServer::start();
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(202, ""));
  writeSettings(settingsFor(urlSetting()));
  ASSERT_TRUE(tally_test::writeFile(eventDir_ + "/A.log",
                                    "1\tone\t2\t{}\n"
                                    "2\ttwo\t9\t{}\n"  // the length does not match
                                    "3\tthree\t2\t{}\n"
                                    "4\tfour\t14\t{\"cut\":"));
  start();
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return server_->requestCount() >= 1; }));
  ASSERT_TRUE(waitForFiles(0, 1)) << dump();
  const auto request = server_->requests().at(0);
  auto boundary = request.header("Content-Type").value_or("");
  boundary = boundary.substr(boundary.find('=') + 1);
  auto log = tally_test::logInPackage(request.body, boundary);
  ASSERT_TRUE(log.has_value());
  EXPECT_EQ(names(tally_test::parseLog(*log)), (std::vector<std::string>{"one", "three"}));
}

}  // namespace
}  // namespace sdk
