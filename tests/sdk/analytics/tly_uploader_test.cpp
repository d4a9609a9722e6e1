#include "sdk/analytics/tly_uploader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/thermal_state.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/analytics/tly_network_retry_handler.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/beacon.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::URL;
using platform::urlloading::URLRequest;
using platform::urlloading::URLResponse;

// Records what the uploader tells its delegate, and answers the retry
// question with `decide` (default: the outcome as it is, no retry).
class RecordingDelegate : public TLYUploaderDelegate {
 public:
  struct Finished {
    std::string name;
    platform::Error error;
  };
  struct Completed {
    std::string name;
    std::optional<URLResponse> response;
    platform::Error error;
    URLRequest request;
  };
  using Decide = std::function<void(const Completed&, RetryDecision)>;

  std::string uploaderFilePathForUniqueName(TLYUploader&, const std::string& name) override {
    std::lock_guard lock(mutex);
    onQueue = onQueue && isOnQueue();
    pathRequests.push_back(name);
    return paths.count(name) ? paths[name] : "";
  }
  void uploaderDidFinishUploadWithUniqueName(TLYUploader&, const std::string& name,
                                             const platform::Error& error) override {
    std::lock_guard lock(mutex);
    onQueue = onQueue && isOnQueue();
    finished.push_back({name, error});
    cv.notify_all();
  }
  void uploaderCompletedRequest(TLYUploader&, const URLRequest& request,
                                const std::optional<URLResponse>& response, const std::string& name,
                                const platform::Error& error, RetryDecision handler) override {
    Completed c{name, response, error, request};
    Decide d;
    {
      std::lock_guard lock(mutex);
      onQueue = onQueue && isOnQueue();
      completed.push_back(c);
      d = decide;
    }
    if (d) {
      d(c, std::move(handler));
    } else {
      handler(false, error);
    }
  }

  bool isOnQueue() const { return queue && platform::OperationQueue::currentQueue() == queue; }
  bool waitForFinished(std::size_t count) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, 20s, [&] { return finished.size() >= count; });
  }

  std::mutex mutex;
  std::condition_variable cv;
  platform::OperationQueue::Ptr queue;
  std::map<std::string, std::string> paths;
  std::vector<std::string> pathRequests;
  std::vector<Finished> finished;
  std::vector<Completed> completed;
  Decide decide;
  bool onQueue = true;
};

class UploaderTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    TLYLogger::sharedLogger().setDebugMode(true);
    server_ = test_support::HTTPTestServer::start();
    queue_ = platform::OperationQueue::create("io.tally.EventQueue");
    queue_->setMaxConcurrentOperationCount(1);
    delegate_ = std::make_shared<RecordingDelegate>();
    delegate_->queue = queue_;
    thermal_ = platform::ThermalStateMonitor::create(root().file("thermal"));
    uploader_ = TLYUploader::create(queue_, delegate_, thermal_);
    package_ = root().file("B1.multipartmime");
    std::ofstream(package_, std::ios::binary) << "MIME-Version: 1.0\r\n--B1--\r\n";
    delegate_->paths["B1"] = package_;
  }
  void TearDown() override {
    queue_->waitUntilAllOperationsAreFinished(10s);
    uploader_.reset();
    server_->stop();
    TLYLogger::sharedLogger().setDebugMode(false);
  }

  URLRequest request() const {
    URLRequest r(URL(server_->url("/spi/v2/events")));
    r.setHTTPMethod("POST");
    r.setValueForHTTPHeaderField("Content-Type", "multipart/form-data; boundary=B1");
    return r;
  }
  // Runs `block` on the uploader's queue and waits for it.
  void onQueue(const std::function<void()>& block) {
    auto op = queue_->addOperationWithBlock(block);
    op->waitUntilFinished(10s);
  }

  std::unique_ptr<test_support::HTTPTestServer> server_;
  platform::OperationQueue::Ptr queue_;
  std::shared_ptr<RecordingDelegate> delegate_;
  std::shared_ptr<platform::ThermalStateMonitor> thermal_;  // below root()/thermal
  TLYUploader::Ptr uploader_;
  std::string package_;
};

TEST_F(UploaderTest, UploadsThePackageFileAndReportsSuccess) {
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(202, ""));
  uploader_->startUploadRequest(request(), package_, "B1");
  ASSERT_TRUE(delegate_->waitForFinished(1));

  ASSERT_EQ(server_->requestCount(), 1u);
  const auto recorded = server_->requests()[0];
  EXPECT_EQ(recorded.method, "POST");
  EXPECT_EQ(recorded.body, "MIME-Version: 1.0\r\n--B1--\r\n");
  EXPECT_EQ(recorded.header("Content-Type"), "multipart/form-data; boundary=B1");

  std::lock_guard lock(delegate_->mutex);
  ASSERT_EQ(delegate_->completed.size(), 1u);
  EXPECT_EQ(delegate_->completed[0].name, "B1");
  ASSERT_TRUE(delegate_->completed[0].response.has_value());
  EXPECT_EQ(delegate_->completed[0].response->statusCode(), 202);
  EXPECT_EQ(delegate_->completed[0].request.url().absoluteString(), server_->url("/spi/v2/events"));
  ASSERT_EQ(delegate_->finished.size(), 1u);
  EXPECT_EQ(delegate_->finished[0].name, "B1");
  EXPECT_TRUE(delegate_->finished[0].error.isNone());
  EXPECT_TRUE(delegate_->onQueue) << "every delegate call on the operation queue";
  EXPECT_EQ(uploader_->runningTaskCount(), 0u);
}

TEST_F(UploaderTest, ASecondStartOfARunningNameIsLoggedAndIgnored) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  int arrived = 0;
  server_->setHandler("/spi/v2/events", [&](const test_support::HTTPRecordedRequest&) {
    std::unique_lock lock(m);
    ++arrived;
    cv.notify_all();
    cv.wait_for(lock, 20s, [&] { return release; });
    return test_support::HTTPReply::text(200, "");
  });
  // The server records a request once its handler has answered.
  auto waitForArrival = [&] {
    std::unique_lock lock(m);
    return cv.wait_for(lock, 10s, [&] { return arrived > 0; });
  };
  BCNConsoleCapture console;
  uploader_->startUploadRequest(request(), package_, "B1");
  ASSERT_TRUE(waitForArrival());
  uploader_->startUploadRequest(request(), package_, "B1");
  onQueue([] {});
  onQueue([] {});  // the check runs two hops in
  EXPECT_TRUE(console.contains("[Tally:TLYUploader] A task currently exists for 'B1', skipping"));
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  ASSERT_TRUE(delegate_->waitForFinished(1));
  onQueue([] {});
  EXPECT_EQ(server_->requestCount(), 1u) << "no second task ran";
  EXPECT_EQ(arrived, 1);
  std::lock_guard lock(delegate_->mutex);
  EXPECT_EQ(delegate_->finished.size(), 1u);
}

TEST_F(UploaderTest, BadArgumentsAndUnreadableFilesNeverReachTheNetwork) {
  uploader_->startUploadRequest(request(), package_, std::string());
  uploader_->startUploadRequest(request(), package_, std::nullopt);
  uploader_->startUploadRequest(std::nullopt, package_, "N3");
  uploader_->startUploadRequest(request(), std::string(), "N4");
  uploader_->startUploadRequest(request(), root().file("missing.multipartmime"), "N5");
  ASSERT_TRUE(delegate_->waitForFinished(5));
  EXPECT_EQ(server_->requestCount(), 0u);

  std::lock_guard lock(delegate_->mutex);
  const auto& f = delegate_->finished;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(f[i].error.domain(), "BCNNetworkError");
    EXPECT_EQ(f[i].error.code(), -2) << i;
  }
  EXPECT_EQ(f[0].error.userInfo().get("TLYUploaderUniqueName").asString(), "");
  EXPECT_EQ(f[1].error.userInfo().get("TLYUploaderUniqueName").asString(), "(null)");
  EXPECT_EQ(f[1].name, "");
  EXPECT_EQ(f[2].name, "N3");
  EXPECT_EQ(f[2].error.userInfo().get("NSFilePath").asString(), package_);
  EXPECT_EQ(f[3].error.userInfo().get("NSFilePath").asString(), "");
  EXPECT_EQ(f[4].error.code(), -8);
  EXPECT_EQ(f[4].name, "N5");
  EXPECT_EQ(f[4].error.userInfo().get("NSFilePath").asString(),
            root().file("missing.multipartmime"));
  EXPECT_TRUE(delegate_->completed.empty());
  EXPECT_TRUE(delegate_->onQueue);
}

TEST_F(UploaderTest, ARetryRestartsTheSameRequestFromTheNamesPath) {
  int served = 0;
  server_->setHandler("/spi/v2/events", [&](const test_support::HTTPRecordedRequest&) {
    return test_support::HTTPReply::text(++served == 1 ? 503 : 200, "");
  });
  int asked = 0;
  delegate_->decide = [&](const RecordingDelegate::Completed& c,
                          TLYUploaderDelegate::RetryDecision handler) {
    // Answer later, from another thread, as the back-off does.
    const bool retry = ++asked == 1;
    platform::dispatch::Queue::global()->async(
        [handler, retry, error = c.error] { handler(retry, error); });
  };
  BCNConsoleCapture console;
  uploader_->startUploadRequest(request(), package_, "B1");
  ASSERT_TRUE(delegate_->waitForFinished(1));
  EXPECT_EQ(server_->requestCount(), 2u);
  EXPECT_TRUE(console.contains("[Tally] Retrying task with name B1"));
  const auto requests = server_->requests();
  EXPECT_EQ(requests[1].body, requests[0].body);
  EXPECT_EQ(requests[1].header("Content-Type"), "multipart/form-data; boundary=B1");
  std::lock_guard lock(delegate_->mutex);
  EXPECT_EQ(delegate_->pathRequests, std::vector<std::string>{"B1"});
  ASSERT_EQ(delegate_->completed.size(), 2u);
  EXPECT_EQ(delegate_->completed[0].response->statusCode(), 503);
  EXPECT_TRUE(delegate_->finished[0].error.isNone());
  EXPECT_TRUE(delegate_->onQueue);
}

TEST_F(UploaderTest, WithTheRetryPolicyAServerErrorIsRetriedAfterTheBackOff) {
  std::vector<double> delays;
  std::vector<TLYBackoffTimer::Block> pending;
  std::mutex m;
  std::condition_variable scheduled;
  auto handler = std::make_shared<TLYNetworkRetryHandler>(TLYNetworkRetryHandler::Options{
      .clock = nullptr,
      .timerConfigurator =
          [&](TLYBackoffTimer& timer) {
            timer.setScheduler([&](double seconds, TLYBackoffTimer::Block block) {
              std::lock_guard lock(m);
              delays.push_back(seconds);
              pending.push_back(std::move(block));
              scheduled.notify_all();
            });
          },
      .bundle = nullptr});
  delegate_->decide = [&](const RecordingDelegate::Completed& c,
                          TLYUploaderDelegate::RetryDecision answer) {
    handler->handleCompletedRequest(c.request, c.response, c.name, c.error, std::move(answer));
  };
  int served = 0;
  server_->setHandler("/spi/v2/events", [&](const test_support::HTTPRecordedRequest&) {
    return ++served == 1 ? test_support::HTTPReply::text(500, "").header("Retry-After", "3")
                         : test_support::HTTPReply::text(200, "");
  });
  uploader_->startUploadRequest(request(), package_, "B1");
  ASSERT_TRUE(server_->waitForRequestCount(1));
  // The policy's delay is pending: nothing more happens until it passes.
  TLYBackoffTimer::Block fire;
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(scheduled.wait_for(lock, 10s, [&] { return !pending.empty(); }));
    ASSERT_EQ(delays.size(), 1u);
    EXPECT_NEAR(delays[0], 3, 0.31);
    fire = pending[0];
  }
  EXPECT_EQ(server_->requestCount(), 1u);
  fire();
  ASSERT_TRUE(delegate_->waitForFinished(1));
  EXPECT_EQ(server_->requestCount(), 2u);
  std::lock_guard lock(delegate_->mutex);
  EXPECT_TRUE(delegate_->finished[0].error.isNone());
}

TEST_F(UploaderTest, AFailureTheDelegateDoesNotRetryIsReportedWithItsError) {
  server_->setReply("/spi/v2/events", test_support::HTTPReply::text(400, "bad"));
  auto handler = std::make_shared<TLYNetworkRetryHandler>();
  delegate_->decide = [&](const RecordingDelegate::Completed& c,
                          TLYUploaderDelegate::RetryDecision answer) {
    handler->handleCompletedRequest(c.request, c.response, c.name, c.error, std::move(answer));
  };
  uploader_->startUploadRequest(request(), package_, "B1");
  ASSERT_TRUE(delegate_->waitForFinished(1));
  std::lock_guard lock(delegate_->mutex);
  EXPECT_EQ(delegate_->finished[0].error.code(), -5);
  EXPECT_EQ(server_->requestCount(), 1u);
}

TEST_F(UploaderTest, TimeOutsShapeTheNextSessionAndAlwaysDropTheCurrentOne) {
  EXPECT_DOUBLE_EQ(uploader_->defaultUploadTimeout(), 3600);
  EXPECT_DOUBLE_EQ(uploader_->lowPowerUploadTimeout(), 21600);
  EXPECT_FALSE(uploader_->supportsBackgroundRequests());
  EXPECT_EQ(uploader_->createBackgroundSessionConfiguration(), nullptr);

  thermal_->refresh();  // no thermal zones
  CTRURLSession::Ptr first;
  onQueue([&] { first = uploader_->session(); });
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(uploader_->sessionResourceTimeout(), 3600) << "before settings, nominal";
  EXPECT_EQ(uploader_->sessionAllowsCellularAccess(), true);
  onQueue([&] { EXPECT_EQ(uploader_->session(), first) << "kept while nothing changes"; });

  uploader_->setDefaultUploadTimeout(3600);  // unchanged value: still dropped
  onQueue([&] { EXPECT_EQ(uploader_->currentSession(), nullptr); });
  uploader_->setDefaultUploadTimeout(1200);
  onQueue([&] { EXPECT_NE(uploader_->session(), first); });
  EXPECT_EQ(uploader_->sessionResourceTimeout(), 1200);
  uploader_->setLowPowerUploadTimeout(7200);
  onQueue([&] { EXPECT_EQ(uploader_->currentSession(), nullptr); });
  EXPECT_DOUBLE_EQ(uploader_->lowPowerUploadTimeout(), 7200);
}

TEST_F(UploaderTest, TheResourceTimeOutEndsATransferThatTakesLonger) {
  // The server never answers; the 0.3 s resource time-out (not the
  // request's own, which only bounds a pause) ends the upload as timed out.
  test_support::HTTPReply never;
  never.hang = true;
  server_->setReply("/spi/v2/events", never);
  uploader_->setDefaultUploadTimeout(0.3);
  uploader_->startUploadRequest(request(), package_, "B1");
  ASSERT_TRUE(delegate_->waitForFinished(1));
  std::lock_guard lock(delegate_->mutex);
  ASSERT_EQ(delegate_->completed.size(), 1u);
  EXPECT_EQ(delegate_->completed[0].error.domain(), "NSURLErrorDomain");
  EXPECT_EQ(delegate_->completed[0].error.code(), -1001);
  ASSERT_EQ(delegate_->finished.size(), 1u);
  EXPECT_EQ(uploader_->runningTaskCount(), 0u);
}

TEST_F(UploaderTest, ThermalPressureMakesTheNextSessionALowPowerOne) {
  const std::string thermal = root().file("thermal");
  fs::create_directories(thermal + "/thermal_zone0");
  auto put = [&](const std::string& name, const std::string& text) {
    std::ofstream(thermal + "/thermal_zone0/" + name) << text;
  };
  put("temp", "40000\n");
  put("trip_point_0_type", "passive\n");
  put("trip_point_0_temp", "80000\n");
  thermal_->refresh();
  EXPECT_FALSE(uploader_->lowPowerMode());
  onQueue([&] { uploader_->session(); });
  EXPECT_EQ(uploader_->sessionResourceTimeout(), 3600);

  put("temp", "85000\n");  // past the passive trip: fair
  thermal_->refresh();     // posts the change notification
  onQueue([] {});
  onQueue([&] { EXPECT_EQ(uploader_->currentSession(), nullptr); });
  EXPECT_TRUE(uploader_->lowPowerMode());
  onQueue([&] { uploader_->session(); });
  EXPECT_EQ(uploader_->sessionResourceTimeout(), 21600);
  EXPECT_EQ(uploader_->sessionAllowsCellularAccess(), false);

  put("temp", "40000\n");
  thermal_->refresh();
  queue_->waitUntilAllOperationsAreFinished(10s);
}

TEST_F(UploaderTest, ReconnectingRunsTheBlockOnTheQueueAtOnce) {
  std::atomic<bool> ran{false}, onQueue{false};
  uploader_->attemptToReconnectBackgroundSessionWithCompletionBlock([&] {
    onQueue = platform::OperationQueue::currentQueue() == queue_;
    ran = true;
  });
  queue_->waitUntilAllOperationsAreFinished(10s);
  EXPECT_TRUE(ran.load());
  EXPECT_TRUE(onQueue.load());
}

TEST_F(UploaderTest, AnUploaderWithRunningTasksCanGoAway) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  int arrived = 0;
  server_->setHandler("/spi/v2/events", [&](const test_support::HTTPRecordedRequest&) {
    std::unique_lock lock(m);
    ++arrived;
    cv.notify_all();
    cv.wait_for(lock, 20s, [&] { return release; });
    return test_support::HTTPReply::text(200, "");
  });
  // The server records a request once its handler has answered.
  auto waitForArrival = [&] {
    std::unique_lock lock(m);
    return cv.wait_for(lock, 10s, [&] { return arrived > 0; });
  };
  std::weak_ptr<TLYUploader> weak = uploader_;
  uploader_->startUploadRequest(request(), package_, "B1");
  ASSERT_TRUE(waitForArrival());
  queue_->waitUntilAllOperationsAreFinished(10s);
  uploader_.reset();
  EXPECT_TRUE(weak.expired()) << "the session does not keep its uploader alive";
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  server_->stop();
  queue_->waitUntilAllOperationsAreFinished(10s);
  std::lock_guard lock(delegate_->mutex);
  EXPECT_TRUE(delegate_->finished.empty());
}

}  // namespace
}  // namespace sdk
