#include "sdk/platform/bcn_network_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/security/trust.h"
#include "platform/system/paths.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_pinned_certificates.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"
#include "support/test_certificates.h"
#include "support/wait.h"

namespace {

using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::urlloading::URLRequest;
using platform::urlloading::URLResponse;
using sdk::BCNNetworkClient;
using test_support::HTTPRecordedRequest;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

struct Outcome {
  std::optional<Bytes> data;
  std::optional<URL> location;
  std::string downloaded;
  std::optional<URLResponse> response;
  Error error;
  std::string body() const { return data ? std::string(data->begin(), data->end()) : "<none>"; }
};

// Collects one handler call.
class Waiter {
 public:
  BCNNetworkClient::DataCompletion data() {
    return
        [this](const std::optional<Bytes>& d, const std::optional<URLResponse>& r, const Error& e) {
          Outcome o;
          o.data = d;
          o.response = r;
          o.error = e;
          deliver(std::move(o));
        };
  }
  BCNNetworkClient::DownloadCompletion download() {
    return
        [this](const std::optional<URL>& l, const std::optional<URLResponse>& r, const Error& e) {
          Outcome o;
          o.location = l;
          if (l) {
            std::ifstream in(l->decodedPath(), std::ios::binary);
            std::stringstream s;
            s << in.rdbuf();
            o.downloaded = s.str();
          }
          o.response = r;
          o.error = e;
          deliver(std::move(o));
        };
  }
  Outcome wait() {
    std::unique_lock lock(mutex_);
    EXPECT_TRUE(cv_.wait_for(lock, std::chrono::seconds(20), [&] { return calls_ > 0; }));
    return outcome_;
  }
  int calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void deliver(Outcome o) {
    std::lock_guard lock(mutex_);
    outcome_ = std::move(o);
    ++calls_;
    cv_.notify_all();
  }
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  Outcome outcome_;
  int calls_ = 0;
};

class BCNNetworkClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = HTTPTestServer::start();
    client = BCNNetworkClient::create();
    ASSERT_NE(client, nullptr);
    // Retries start at once (off the calling queue); the waits are recorded.
    client->setRetryScheduler([this](double seconds, std::function<void()> block) {
      {
        std::lock_guard lock(mutex);
        delays.push_back(seconds);
      }
      platform::dispatch::Queue::global()->async(std::move(block));
    });
  }
  void TearDown() override { sdk::BCNConsoleSetDebug(false); }

  URLRequest request(const std::string& path) { return URLRequest(URL(server->url(path))); }
  std::vector<double> recordedDelays() {
    std::lock_guard lock(mutex);
    return delays;
  }
  // Replies with the given statuses in turn, then 200 "done".
  void script(const std::string& path, std::vector<HTTPReply> replies) {
    auto count = std::make_shared<std::atomic<std::size_t>>(0);
    server->setHandler(path, [count, replies](const HTTPRecordedRequest&) {
      const std::size_t i = (*count)++;
      return i < replies.size() ? replies[i] : HTTPReply::text(200, "done");
    });
  }

  std::unique_ptr<HTTPTestServer> server;
  BCNNetworkClient::Ptr client;
  std::mutex mutex;
  std::vector<double> delays;
};

TEST_F(BCNNetworkClientTest, SuccessPassesDataAndResponse) {
  server->setReply("/ok", HTTPReply::json("{\"a\":1}"));
  URLRequest req = request("/ok");
  req.setValueForHTTPHeaderField("Accept", "application/json");
  Waiter w;
  client->startDataTaskWithRequest(req, 3, w.data());
  Outcome o = w.wait();
  EXPECT_FALSE(o.error) << o.error.description();
  EXPECT_EQ(o.body(), "{\"a\":1}");
  ASSERT_TRUE(o.response);
  EXPECT_EQ(o.response->statusCode(), 200);
  EXPECT_EQ(server->requestCount(), 1u);
  EXPECT_TRUE(recordedDelays().empty());
}

TEST_F(BCNNetworkClientTest, ClientErrorAndWrongContentTypeAreNotRetriedButKeepTheirData) {
  server->setReply("/missing", HTTPReply::text(404, "no such thing"));
  Waiter w;
  client->startDataTaskWithRequest(request("/missing"), 5, w.data());
  Outcome o = w.wait();
  EXPECT_EQ(o.error.domain(), sdk::kBCNNetworkErrorDomain);
  EXPECT_EQ(o.error.code(), -5);
  EXPECT_EQ(o.body(), "no such thing");
  ASSERT_TRUE(o.response);
  EXPECT_EQ(o.response->statusCode(), 404);

  server->setReply("/html", HTTPReply::text(200, "<p>", "text/html"));
  URLRequest wantsJSON = request("/html");
  wantsJSON.setValueForHTTPHeaderField("Accept", "application/json");
  Waiter w2;
  client->startDataTaskWithRequest(wantsJSON, 5, w2.data());
  Outcome o2 = w2.wait();
  EXPECT_EQ(o2.error.code(), -4);
  EXPECT_EQ(o2.error.userInfo()["content_type"].asString(), "text/html");
  EXPECT_EQ(o2.body(), "<p>");
  EXPECT_EQ(server->requestCount(), 2u);
  EXPECT_TRUE(recordedDelays().empty());
}

TEST_F(BCNNetworkClientTest, RetryableStatusesAreRetriedUntilSuccess) {
  script("/flaky", {HTTPReply::text(503, "busy"), HTTPReply::text(429, "slow down"),
                    HTTPReply::text(408, "late")});
  Waiter w;
  client->startDataTaskWithRequest(request("/flaky"), 10, w.data());
  Outcome o = w.wait();
  EXPECT_FALSE(o.error);
  EXPECT_EQ(o.body(), "done");
  EXPECT_EQ(server->requestCount(), 4u);
  auto d = recordedDelays();
  ASSERT_EQ(d.size(), 3u);
  // No Retry-After: about 2, 2 and 4 seconds (tries 0, 1, 2).
  EXPECT_NEAR(d[0], 2.0, 0.21);
  EXPECT_NEAR(d[1], 2.0, 0.21);
  EXPECT_NEAR(d[2], 4.0, 0.41);
  EXPECT_EQ(w.calls(), 1);
}

TEST_F(BCNNetworkClientTest, RetryLimitUsedUpGivesErrorSixWithoutResponse) {
  script("/down",
         {HTTPReply::text(503, "1"), HTTPReply::text(503, "2"), HTTPReply::text(503, "3")});
  Waiter w;
  client->startDataTaskWithRequest(request("/down"), 1, w.data());
  Outcome o = w.wait();
  EXPECT_EQ(o.error.domain(), sdk::kBCNNetworkErrorDomain);
  EXPECT_EQ(o.error.code(), -6);
  EXPECT_TRUE(o.error.userInfo().count() == 0);
  EXPECT_FALSE(o.data);
  EXPECT_FALSE(o.response);
  EXPECT_EQ(server->requestCount(), 2u);  // limit 1: two attempts

  // Limit 0 turns the first retryable outcome into -6 at once.
  server->clearRequests();
  script("/down0", {HTTPReply::text(500, "x")});
  Waiter w0;
  client->startDataTaskWithRequest(request("/down0"), 0, w0.data());
  EXPECT_EQ(w0.wait().error.code(), -6);
  EXPECT_EQ(server->requestCount(), 1u);
  EXPECT_EQ(recordedDelays().size(), 1u);
}

TEST_F(BCNNetworkClientTest, RetryAfterSetsTheBaseOfTheDelay) {
  script("/throttled", {HTTPReply::text(429, "").header("Retry-After", "10"),
                        HTTPReply::text(429, "").header("Retry-After", "10"),
                        HTTPReply::text(503, "").header("Retry-After", "10"),
                        HTTPReply::text(503, "").header("Retry-After", "1")});
  Waiter w;
  client->startDataTaskWithRequest(request("/throttled"), 10, w.data());
  EXPECT_FALSE(w.wait().error);
  auto d = recordedDelays();
  ASSERT_EQ(d.size(), 4u);
  EXPECT_NEAR(d[0], 10.0, 1.01);
  EXPECT_NEAR(d[1], 10.0, 1.01);
  EXPECT_NEAR(d[2], 100.0, 10.01);
  EXPECT_NEAR(d[3], 8.0, 0.81);  // Retry-After 1 counts as 2; 2^3
}

TEST_F(BCNNetworkClientTest, DelayFormulaAndJitterBounds) {
  auto response = [](const char* retryAfter) {
    platform::urlloading::HeaderFields h;
    if (retryAfter) h.set("Retry-After", retryAfter);
    return std::optional<URLResponse>(URLResponse(URL("http://127.0.0.1/"), 503, h));
  };
  for (int i = 0; i < 200; ++i) {
    const double j = client->generateRandomJitter();
    EXPECT_GE(j, 0.8999999761581421);
    EXPECT_LT(j, 1.100000023841858);
  }
  for (const char* small : {"0", "1", "-5"}) {
    const double d = client->computeDelayForResponse(response(small), 0);
    EXPECT_GE(d, 2 * 0.89);
    EXPECT_LE(d, 2 * 1.11);
  }
  const double expected[] = {10, 10, 100, 1000};
  for (std::uint64_t k = 0; k < 4; ++k) {
    const double d = client->computeDelayForResponse(response("10"), k);
    EXPECT_GE(d, expected[k] * 0.89) << k;
    EXPECT_LE(d, expected[k] * 1.11) << k;
  }
  EXPECT_NEAR(client->randomDoubleWithMin(5, 5), 5.0, 1e-12);
}

TEST_F(BCNNetworkClientTest, HugeRetryAfterIsCappedBeforeScheduling) {
  script("/forever", {HTTPReply::text(503, "").header("Retry-After", "1e300")});
  Waiter w;
  client->startDataTaskWithRequest(request("/forever"), 3, w.data());
  EXPECT_FALSE(w.wait().error);
  auto d = recordedDelays();
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0], sdk::kBCNNetworkClientMaxRetryDelay);
}

TEST_F(BCNNetworkClientTest, TimeoutsAreRetriedOtherTransportErrorsAreNot) {
  server->setReply("/stall", [] {
    HTTPReply r = HTTPReply::text(200, "too late");
    r.hang = true;
    return r;
  }());
  URLRequest stall = request("/stall");
  stall.setTimeoutInterval(0.3);
  Waiter w;
  client->startDataTaskWithRequest(stall, 1, w.data());
  EXPECT_EQ(w.wait().error.code(), -6);
  EXPECT_EQ(server->requestCount(), 2u);

  auto closed = HTTPTestServer::start();
  const std::string url = closed->url("/gone");
  closed->stop();
  Waiter w2;
  client->startDataTaskWithRequest(URLRequest(URL(url)), 5, w2.data());
  Outcome o = w2.wait();
  EXPECT_EQ(o.error.domain(), platform::kURLErrorDomain);
  EXPECT_EQ(o.error.code(), platform::urlloading::kURLErrorCannotConnectToHost);
  EXPECT_EQ(recordedDelays().size(), 1u);  // only the time-out was retried
}

TEST_F(BCNNetworkClientTest, DownloadsHandTheFileToTheHandlerAndRetry) {
  script("/file", {HTTPReply::text(502, "bad gateway")});
  Waiter w;
  client->startDownloadTaskWithRequest(request("/file"), 2, w.download());
  Outcome o = w.wait();
  EXPECT_FALSE(o.error);
  ASSERT_TRUE(o.location);
  EXPECT_EQ(o.downloaded, "done");
  EXPECT_EQ(server->requestCount(), 2u);

  script("/nofile", {HTTPReply::text(503, ""), HTTPReply::text(503, "")});
  Waiter w2;
  client->startDownloadTaskWithRequest(request("/nofile"), 1, w2.download());
  Outcome o2 = w2.wait();
  EXPECT_EQ(o2.error.code(), -6);
  EXPECT_FALSE(o2.location);
}

TEST_F(BCNNetworkClientTest, HandlerRunsOnTheTaskQueueAndDelegateQueueStaysIdle) {
  auto queue = platform::OperationQueue::create("client queue");
  auto withQueue = BCNNetworkClient::create(queue);
  ASSERT_NE(withQueue, nullptr);
  EXPECT_EQ(withQueue->session()->delegateQueue(), queue);
  EXPECT_EQ(withQueue->certPinner(), nullptr);
  server->setReply("/q", HTTPReply::text(200, "q"));
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::string label;
  withQueue->startDataTaskWithRequest(
      request("/q"), 0,
      [&](const std::optional<Bytes>&, const std::optional<URLResponse>&, const Error&) {
        std::lock_guard lock(m);
        label = platform::dispatch::Queue::currentLabel();
        done = true;
        cv.notify_all();
      });
  std::unique_lock lock(m);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return done; }));
  EXPECT_EQ(label, sdk::kCTRURLSessionTaskQueueLabel);
}

TEST_F(BCNNetworkClientTest, FreedClientLetsItsSessionInvalidate) {
  auto session = client->session();
  EXPECT_NE(session->delegate(), nullptr);
  std::weak_ptr<BCNNetworkClient> weak = client;
  client.reset();
  EXPECT_TRUE(weak.expired());  // the session does not keep the client
  EXPECT_EQ(session->delegate(), nullptr);
  EXPECT_EQ(BCNNetworkClient::create(nullptr, nullptr, std::nullopt), nullptr);
}

TEST_F(BCNNetworkClientTest, RunningRequestKeepsTheClientAlive) {
  server->setReply("/slow", [] {
    HTTPReply r = HTTPReply::text(200, "slow");
    r.delaySeconds = 0.2;
    return r;
  }());
  Waiter w;
  client->startDataTaskWithRequest(request("/slow"), 0, w.data());
  std::weak_ptr<BCNNetworkClient> weak = client;
  client.reset();
  EXPECT_FALSE(weak.expired());
  EXPECT_EQ(w.wait().body(), "slow");
}

TEST_F(BCNNetworkClientTest, InvalidateAndCancelStopsRunningRequests) {
  server->setReply("/hang", [] {
    HTTPReply r;
    r.hang = true;
    return r;
  }());
  Waiter w;
  client->startDataTaskWithRequest(request("/hang"), 0, w.data());
  ASSERT_TRUE(server->waitForRequestCount(1));
  client->invalidateAndCancel();
  EXPECT_EQ(client->session()->delegate(), nullptr);
  // The cancelled task lets go of its handler, and with it of the client.
  std::weak_ptr<BCNNetworkClient> weak = client;
  client.reset();
  EXPECT_TRUE(varnel::testing::waitUntil([&] { return weak.expired(); }));
  EXPECT_EQ(w.calls(), 0);
}

// Pinning over the loopback HTTPS server with a test CA.
class BCNNetworkClientPinningTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    ca = test_support::makeCertificateAuthority("Pinning Test CA");
    other = test_support::makeCertificateAuthority("Other CA");
    auto leaf = test_support::makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
    server = HTTPTestServer::startTLS(leaf.certificatePEM + ca.certificatePEM, leaf.privateKeyPEM);
    server->setReply("/secure", HTTPReply::text(200, "secure"));
  }
  void TearDown() override { sdk::BCNConsoleSetDebug(false); }

  // Lets the platform's default evaluation trust the test CA.
  void trustCAInSystem() {
    const std::string path = platform::security::trustedCABundlePath();
    platform::paths::createDirectories(path.substr(0, path.rfind('/')));
    std::ofstream(path) << ca.certificatePEM;
  }
  static platform::security::Certificate certificate(const test_support::TestIdentity& id) {
    return *platform::security::Certificate::fromDER(id.certificateDER);
  }
  Error load(BCNNetworkClient::Certificates pinned) {
    auto client = BCNNetworkClient::create(nullptr, std::move(pinned));
    Waiter w;
    client->startDataTaskWithRequest(URLRequest(URL(server->url("/secure"))), 0, w.data());
    return w.wait().error;
  }

  test_support::TestIdentity ca;
  test_support::TestIdentity other;
  std::unique_ptr<HTTPTestServer> server;
};

TEST_F(BCNNetworkClientPinningTest, PinnedCAIsAcceptedOthersAreRefused) {
  EXPECT_FALSE(load(std::vector{certificate(ca)}));
  EXPECT_EQ(load(std::vector{certificate(other)}).code(),
            platform::urlloading::kURLErrorServerCertificateUntrusted);
  EXPECT_EQ(load(*sdk::BCNBuiltInPinnedCertificates()).code(),
            platform::urlloading::kURLErrorServerCertificateUntrusted);
  // An empty list rejects everything.
  EXPECT_EQ(load(std::vector<platform::security::Certificate>{}).code(),
            platform::urlloading::kURLErrorServerCertificateUntrusted);
}

TEST_F(BCNNetworkClientPinningTest, SystemTrustDoesNotReplaceThePins) {
  trustCAInSystem();
  // Without pins the default evaluation applies and trusts the CA.
  EXPECT_FALSE(load(std::nullopt));
  // With pins that do not include it, the system's trust counts for nothing.
  EXPECT_EQ(load(std::vector{certificate(other)}).code(),
            platform::urlloading::kURLErrorServerCertificateUntrusted);
}

TEST_F(BCNNetworkClientPinningTest, DebugSwitchTurnsPinningOff) {
  trustCAInSystem();
  sdk::BCNConsoleSetDebug(true);
  EXPECT_FALSE(load(std::vector{certificate(other)}));
  sdk::BCNConsoleSetDebug(false);
  EXPECT_TRUE(load(std::vector{certificate(other)}));
}

TEST_F(BCNNetworkClientPinningTest, WithoutSystemTrustDefaultHandlingRefusesTheTestCA) {
  EXPECT_EQ(load(std::nullopt).code(), platform::urlloading::kURLErrorServerCertificateUntrusted);
}

}  // namespace
