#include "sdk/crash/ctr_network_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crash_context_fixture.h"
#include "platform/security/certificate.h"
#include "platform/security/trust.h"
#include "platform/system/paths.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_pinned_certificates.h"
#include "support/http_test_server.h"
#include "support/test_certificates.h"

namespace sdk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::URL;
using platform::urlloading::URLRequest;
using test_support::HTTPRecordedRequest;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

class RecordingDelegate : public CTRNetworkClientDelegate {
 public:
  struct Finished {
    std::string path;
    platform::Error error;
    bool onQueue;
  };

  bool networkClientCanUseBackgroundSessions(CTRNetworkClient&) override {
    std::lock_guard lock(mutex);
    ++backgroundQuestions;
    return canUseBackground;
  }
  void networkClientDidFinishUploadWithPath(CTRNetworkClient&, const std::string& path,
                                            const platform::Error& error) override {
    std::lock_guard lock(mutex);
    finished.push_back({path, error, queue && platform::OperationQueue::currentQueue() == queue});
    cv.notify_all();
  }
  bool waitForFinished(std::size_t count) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, 20s, [&] { return finished.size() >= count; });
  }
  std::vector<Finished> results() {
    std::lock_guard lock(mutex);
    return finished;
  }

  std::mutex mutex;
  std::condition_variable cv;
  platform::OperationQueue::Ptr queue;
  bool canUseBackground = true;
  int backgroundQuestions = 0;
  std::vector<Finished> finished;
};

// Holds a reply back until the test releases it.
class Gate {
 public:
  void wait() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 20s, [&] { return open_; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

class CTRNetworkClientTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    ca_ = test_support::makeCertificateAuthority("Upload Test CA");
    auto leaf = test_support::makeLeafCertificate(ca_, "localhost", {"localhost"}, {"127.0.0.1"});
    server_ =
        HTTPTestServer::startTLS(leaf.certificatePEM + ca_.certificatePEM, leaf.privateKeyPEM);
    pin(ca_);
    queue_ = platform::OperationQueue::create("com.beacon.crashtrail.mac.work-queue");
    queue_->setMaxConcurrentOperationCount(1);
    delegate_ = std::make_shared<RecordingDelegate>();
    delegate_->queue = queue_;
    fileManager_ = std::make_shared<CTRFileManager>();
    ASSERT_TRUE(fileManager_->prepareForNewLaunch());
    package_ = fileManager_->preparedPath() + "/B1.multipartmime";
    std::ofstream(package_, std::ios::binary) << body_;
  }
  void TearDown() override {
    if (gate_) gate_->open();
    if (queue_) queue_->waitUntilAllOperationsAreFinished(10s);
    client_.reset();
    server_->stop();
    BCNConsoleSetDebug(false);
    CrashContextTest::TearDown();
  }

  // The certificates the next client trusts.
  void pin(const test_support::TestIdentity& id) {
    pinned_ = std::make_shared<const BCNCertificateList>(
        BCNCertificateList{*platform::security::Certificate::fromDER(id.certificateDER)});
  }
  CTRNetworkClient::Ptr makeClient() {
    client_ = CTRNetworkClient::create(queue_, fileManager_, delegate_, pinned_);
    return client_;
  }
  URLRequest request(double timeout = 10) const {
    URLRequest r(URL(server_->url("/spi/v1/platforms/linux/apps/app/reports")), timeout);
    r.setHTTPMethod("POST");
    r.setValueForHTTPHeaderField("Accept", "application/json");
    r.setValueForHTTPHeaderField("Accept-Charset", "utf-8");
    r.setValueForHTTPHeaderField("Content-Type", "multipart/form-data; boundary=B1");
    r.setValueForHTTPHeaderField("Content-Length", std::to_string(body_.size()));
    return r;
  }
  void drainQueue() { queue_->waitUntilAllOperationsAreFinished(10s); }

  const std::string path_ = "/spi/v1/platforms/linux/apps/app/reports";
  const std::string body_ = "MIME-Version: 1.0\r\n--B1--\r\n";
  test_support::TestIdentity ca_;
  std::unique_ptr<HTTPTestServer> server_;
  std::shared_ptr<const BCNCertificateList> pinned_;
  platform::OperationQueue::Ptr queue_;
  std::shared_ptr<RecordingDelegate> delegate_;
  std::shared_ptr<CTRFileManager> fileManager_;
  CTRNetworkClient::Ptr client_;
  std::string package_;
  std::shared_ptr<Gate> gate_;
};

TEST_F(CTRNetworkClientTest, AcceptedUploadIsReportedWithoutError) {
  server_->setReply(path_, HTTPReply::json("{}", 202));
  auto client = makeClient();
  client->startUploadRequest(request(), package_, false);
  ASSERT_TRUE(delegate_->waitForFinished(1));
  auto results = delegate_->results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].path, package_);
  EXPECT_FALSE(results[0].error) << results[0].error.description();
  EXPECT_TRUE(results[0].onQueue);
  auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, body_);
  EXPECT_EQ(requests[0].header("Content-Type"), "multipart/form-data; boundary=B1");
  EXPECT_EQ(client->activeTaskCount(), 0u);
}

TEST_F(CTRNetworkClientTest, RetryableResponsesRestartAfterTheServersDelay) {
  std::mutex mutex;
  int calls = 0;
  server_->setHandler(path_, [&](const HTTPRecordedRequest&) {
    std::lock_guard lock(mutex);
    switch (++calls) {
      case 1:
        return HTTPReply::text(503, "busy").header("Retry-After", "30");
      case 2:
        return HTTPReply::text(429, "slow down");  // no Retry-After: 2 s
      default:
        return HTTPReply::json("{}", 201);
    }
  });
  auto client = makeClient();
  std::vector<double> delays;
  client->setRestartScheduler([&](double seconds, std::function<void()> block) {
    {
      std::lock_guard lock(mutex);
      delays.push_back(seconds);
    }
    platform::dispatch::Queue::global(platform::dispatch::Priority::Default)->async(block);
  });
  client->startUploadRequest(request(), package_, false);
  ASSERT_TRUE(delegate_->waitForFinished(1));
  auto results = delegate_->results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_FALSE(results[0].error) << results[0].error.description();
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(delays, (std::vector<double>{30, 2}));
  }
  // Every attempt sent the same request with the same file.
  auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& r : requests) {
    EXPECT_EQ(r.body, body_);
    EXPECT_EQ(r.header("Content-Type"), "multipart/form-data; boundary=B1");
    EXPECT_EQ(r.header("Accept"), "application/json");
  }
}

TEST_F(CTRNetworkClientTest, ClientErrorsAndContentMismatchesGoToTheDelegate) {
  server_->setReply(path_, HTTPReply::text(400, "bad"));
  auto client = makeClient();
  client->startUploadRequest(request(), package_, false);
  ASSERT_TRUE(delegate_->waitForFinished(1));
  auto results = delegate_->results();
  EXPECT_EQ(results[0].error.domain(), kBCNNetworkErrorDomain);
  EXPECT_EQ(results[0].error.code(), kBCNNetworkErrorClientError);
  EXPECT_EQ(results[0].path, package_);

  // A success whose content type does not match the request's Accept.
  server_->setReply(path_, HTTPReply::text(200, "ok", "text/html"));
  client->startUploadRequest(request(), package_, false);
  ASSERT_TRUE(delegate_->waitForFinished(2));
  EXPECT_EQ(delegate_->results()[1].error.code(), kBCNNetworkErrorOtherResponse);
  EXPECT_EQ(server_->requestCount(), 2u);
}

TEST_F(CTRNetworkClientTest, SamePackageTwiceStartsOneTask) {
  gate_ = std::make_shared<Gate>();
  auto gate = gate_;
  server_->setHandler(path_, [gate](const HTTPRecordedRequest&) {
    gate->wait();
    return HTTPReply::json("{}", 200);
  });
  auto client = makeClient();
  client->startUploadRequest(request(), package_, false);
  client->startUploadRequest(request(), package_, false);
  drainQueue();
  EXPECT_EQ(client->activeTaskCount(), 1u);
  bool exists = false;
  client->checkForExistingTaskMatchingDescription("v3/prepared/B1.multipartmime",
                                                  [&](bool e) { exists = e; });
  drainQueue();
  EXPECT_TRUE(exists);
  gate_->open();
  ASSERT_TRUE(delegate_->waitForFinished(1));
  drainQueue();
  EXPECT_EQ(delegate_->results().size(), 1u);
  EXPECT_EQ(server_->requestCount(), 1u);
  // Once finished, the package may be uploaded again.
  client->startUploadRequest(request(), package_, false);
  ASSERT_TRUE(delegate_->waitForFinished(2));
  EXPECT_EQ(server_->requestCount(), 2u);
}

TEST_F(CTRNetworkClientTest, PackageWaitingForRestartIsNotStartedTwice) {
  server_->setReply(path_, HTTPReply::text(503, "busy").header("Retry-After", "5"));
  auto client = makeClient();
  std::mutex mutex;
  std::vector<std::function<void()>> pending;
  client->setRestartScheduler([&](double, std::function<void()> block) {
    std::lock_guard lock(mutex);
    pending.push_back(std::move(block));
  });
  client->startUploadRequest(request(), package_, false);
  ASSERT_TRUE(server_->waitForRequestCount(1));
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard lock(mutex);
      if (!pending.empty()) break;
    }
    std::this_thread::sleep_for(10ms);
  }
  client->startUploadRequest(request(), package_, false);
  drainQueue();
  EXPECT_EQ(server_->requestCount(), 1u);
  EXPECT_TRUE(delegate_->results().empty());
  // The restart runs the upload again.
  server_->setReply(path_, HTTPReply::json("{}", 200));
  std::function<void()> restart;
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(pending.size(), 1u);
    restart = pending[0];
  }
  restart();
  ASSERT_TRUE(delegate_->waitForFinished(1));
  EXPECT_FALSE(delegate_->results()[0].error);
  EXPECT_EQ(server_->requestCount(), 2u);
}

TEST_F(CTRNetworkClientTest, UnreadablePackageIsReportedAsCodeMinusTwo) {
  auto client = makeClient();
  const std::string missing = fileManager_->preparedPath() + "/missing.multipartmime";
  client->startUploadRequest(request(), missing, false);
  ASSERT_TRUE(delegate_->waitForFinished(1));
  auto result = delegate_->results()[0];
  EXPECT_EQ(result.path, missing);
  EXPECT_EQ(result.error.domain(), kCTRNetworkErrorDomain);
  EXPECT_EQ(result.error.code(), kCTRNetworkErrorUnreadableFile);
  EXPECT_EQ(result.error.userInfo()["path"].asString(), missing);
  EXPECT_TRUE(result.onQueue);
  EXPECT_EQ(server_->requestCount(), 0u);
}

TEST_F(CTRNetworkClientTest, ServersOutsideThePinsAreRefusedUnlessDebug) {
  server_->setReply(path_, HTTPReply::json("{}", 200));
  pin(test_support::makeCertificateAuthority("Other CA"));
  // The system trusts the test CA, yet the pins decide.
  const std::string bundle = platform::security::trustedCABundlePath();
  platform::paths::createDirectories(bundle.substr(0, bundle.rfind('/')));
  std::ofstream(bundle) << ca_.certificatePEM;
  auto client = makeClient();
  client->startUploadRequest(request(), package_, false);
  ASSERT_TRUE(delegate_->waitForFinished(1));
  EXPECT_EQ(delegate_->results()[0].error.code(),
            platform::urlloading::kURLErrorServerCertificateUntrusted);
  // The immediate path is pinned too: nothing is reported.
  client->startUploadRequest(request(), package_, true);
  EXPECT_EQ(delegate_->results().size(), 1u);
  EXPECT_EQ(server_->requestCount(), 0u);

  BCNConsoleSetDebug(true);
  client->startUploadRequest(request(), package_, false);
  ASSERT_TRUE(delegate_->waitForFinished(2));
  EXPECT_FALSE(delegate_->results()[1].error) << delegate_->results()[1].error.description();
}

TEST_F(CTRNetworkClientTest, ImmediateUploadIsSynchronousAndReportsOnlySuccess) {
  auto client = makeClient();
  // No background sessions here, whatever the delegate answers.
  EXPECT_EQ(delegate_->backgroundQuestions, 1);
  EXPECT_TRUE(client->canUseBackgroundSession());
  EXPECT_FALSE(client->supportsBackgroundRequests());
  bool reconnected = false;
  client->attemptToReconnectBackgroundSessionWithCompletionBlock([&] { reconnected = true; });
  EXPECT_TRUE(reconnected);

  server_->setReply(path_, HTTPReply::text(500, "down"));
  client->startUploadRequest(request(2), package_, true);
  EXPECT_EQ(server_->requestCount(), 1u);
  EXPECT_TRUE(delegate_->results().empty());
  EXPECT_TRUE(fs::exists(package_));

  server_->setReply(path_, HTTPReply::text(200, ""));
  client->startUploadRequest(request(2), package_, true);
  // Reported before the call returned, on the calling thread.
  auto results = delegate_->results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].path, package_);
  EXPECT_FALSE(results[0].error);
  EXPECT_FALSE(results[0].onQueue);
  auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].body, body_);

  // An unreadable package: an SDK log line only.
  client->startUploadRequest(request(2), package_ + ".missing", true);
  EXPECT_EQ(delegate_->results().size(), 1u);
  EXPECT_NE(sdkLog().find("WARN  [startImmediateUpload:"), std::string::npos);
  EXPECT_NE(sdkLog().find("Error: file unreadable"), std::string::npos);
}

TEST_F(CTRNetworkClientTest, ImmediateUploadEndsAtItsTimeOut) {
  gate_ = std::make_shared<Gate>();
  auto gate = gate_;
  server_->setHandler(path_, [gate](const HTTPRecordedRequest&) {
    gate->wait();
    return HTTPReply::json("{}", 200);
  });
  auto client = makeClient();
  client->startUploadRequest(request(0.5), package_, true);
  EXPECT_TRUE(delegate_->results().empty());
  EXPECT_TRUE(fs::exists(package_));
}

TEST_F(CTRNetworkClientTest, TaskPathsAreRelativeToTheRoot) {
  auto client = makeClient();
  const std::string root = fileManager_->rootPath();
  EXPECT_EQ(client->relativeTaskPathForAbsolutePath(package_), "v3/prepared/B1.multipartmime");
  EXPECT_EQ(client->absolutePathForRelativeTaskPath("v3/prepared/B1.multipartmime"), package_);
  // Only the leading root is removed.
  const std::string nested = root + "/v3/prepared" + root + "/x";
  EXPECT_EQ(client->relativeTaskPathForAbsolutePath(nested), "v3/prepared" + root + "/x");
  // Outside the root, or leaving it through "..": no relative form.
  EXPECT_FALSE(client->relativeTaskPathForAbsolutePath("/tmp/x.multipartmime"));
  EXPECT_FALSE(client->relativeTaskPathForAbsolutePath(root + "/../other/x"));
  EXPECT_FALSE(client->relativeTaskPathForAbsolutePath(root + "x/y"));
  EXPECT_NE(sdkLog().find("Error: path '/tmp/x.multipartmime' is not at the root '" + root + "'"),
            std::string::npos);
  // Such a package's task is named by its absolute path.
  EXPECT_EQ(client->taskDescriptionForPath("/tmp/x.multipartmime"), "/tmp/x.multipartmime");
  EXPECT_EQ(client->absolutePathForRelativeTaskPath("/tmp/x.multipartmime"),
            "/tmp/x.multipartmime");
}

TEST_F(CTRNetworkClientTest, UploadOutsideTheRootIsTrackedByItsAbsolutePath) {
  server_->setReply(path_, HTTPReply::json("{}", 200));
  const std::string outside = root().file("elsewhere.multipartmime");
  std::ofstream(outside, std::ios::binary) << body_;
  auto client = makeClient();
  client->startUploadRequest(request(), outside, false);
  ASSERT_TRUE(delegate_->waitForFinished(1));
  EXPECT_EQ(delegate_->results()[0].path, outside);
  EXPECT_FALSE(delegate_->results()[0].error);
}

}  // namespace
}  // namespace sdk
