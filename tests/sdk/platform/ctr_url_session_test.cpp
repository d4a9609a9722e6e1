#include "sdk/platform/ctr_url_session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/system/operation_queue.h"
#include "platform/urlloading/url_connection.h"
#include "sdk/platform/bcn_request_guard.h"
#include "sdk/platform/ctr_url_session_configuration.h"
#include "sdk/platform/ctr_url_session_task.h"
#include "support/http_test_server.h"
#include "support/test_certificates.h"

namespace {

using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::Value;
using platform::urlloading::AuthenticationChallenge;
using platform::urlloading::URLCredential;
using platform::urlloading::URLRequest;
using platform::urlloading::URLResponse;
using sdk::CTRURLSession;
using sdk::CTRURLSessionAuthChallengeDisposition;
using sdk::CTRURLSessionConfiguration;
using sdk::CTRURLSessionDataTask;
using sdk::CTRURLSessionDelegate;
using sdk::CTRURLSessionDownloadTask;
using sdk::CTRURLSessionTask;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

constexpr auto kWait = std::chrono::seconds(10);

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string text(const std::optional<Bytes>& bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<none>");
}

// One-shot event a test waits for.
class Event {
 public:
  void set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    cv_.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kWait, [&] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

// Records every delegate call with the queue it came on.
class RecordingDelegate : public CTRURLSessionDelegate {
 public:
  struct Record {
    std::string call;
    bool onDelegateQueue = false;
  };

  void URLSessionDataTaskDidReceiveResponse(
      CTRURLSession& session, CTRURLSessionDataTask&, const URLResponse& response,
      const std::function<void(sdk::CTRURLSessionResponseDisposition)>&) override {
    add("response " + std::to_string(response.statusCode()), session);
  }
  void URLSessionDataTaskDidReceiveData(CTRURLSession& session, CTRURLSessionDataTask&,
                                        const Bytes& data) override {
    std::lock_guard lock(mutex_);
    received_.insert(received_.end(), data.begin(), data.end());
    (void)session;
  }
  void URLSessionDownloadTaskDidFinishDownloadingToURL(CTRURLSession& session,
                                                       CTRURLSessionDownloadTask&,
                                                       const URL& location) override {
    {
      std::lock_guard lock(mutex_);
      downloaded_ = readFile(location.decodedPath());
      downloadPath_ = location.decodedPath();
    }
    add("downloaded", session);
  }
  void URLSessionTaskDidCompleteWithError(CTRURLSession& session, CTRURLSessionTask&,
                                          const Error& error) override {
    {
      std::lock_guard lock(mutex_);
      completionError_ = error;
    }
    add("complete", session);
    completed_.set();
  }
  void URLSessionDidReceiveChallenge(
      CTRURLSession&, const AuthenticationChallenge& challenge,
      const sdk::CTRURLSessionChallengeCompletion& completion) override {
    {
      std::lock_guard lock(mutex_);
      ++challenges_;
    }
    if (answer_ == CTRURLSessionAuthChallengeDisposition::kUseCredential) {
      completion(answer_, URLCredential::forTrust(challenge.protectionSpace().serverTrust));
    } else {
      completion(answer_, std::nullopt);
    }
  }

  std::vector<Record> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  std::string received() const {
    std::lock_guard lock(mutex_);
    return std::string(received_.begin(), received_.end());
  }
  std::string downloaded() const {
    std::lock_guard lock(mutex_);
    return downloaded_;
  }
  std::string downloadPath() const {
    std::lock_guard lock(mutex_);
    return downloadPath_;
  }
  Error completionError() const {
    std::lock_guard lock(mutex_);
    return completionError_;
  }
  int challenges() const {
    std::lock_guard lock(mutex_);
    return challenges_;
  }
  bool waitForCompletion() { return completed_.wait(); }
  CTRURLSessionAuthChallengeDisposition answer_ =
      CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling;

 private:
  void add(std::string call, CTRURLSession& session) {
    std::lock_guard lock(mutex_);
    records_.push_back(
        {std::move(call), platform::OperationQueue::currentQueue() == session.delegateQueue()});
  }
  mutable std::mutex mutex_;
  std::vector<Record> records_;
  Bytes received_;
  std::string downloaded_;
  std::string downloadPath_;
  Error completionError_;
  int challenges_ = 0;
  Event completed_;
};

// Waits until every block queued on the task's queue so far has run, then
// reads the live set (removal is queued from the task's queue).
std::size_t liveTasksAfter(CTRURLSession& session, CTRURLSessionTask& task) {
  task.queue()->sync([] {});
  return session.liveTaskCount();
}

class CTRURLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = HTTPTestServer::start();
    server->setReply("/hello", HTTPReply::text(200, "hello body"));
    server->setReply("/empty", HTTPReply::text(204, ""));
    server->setReply("/hang", [] {
      HTTPReply r;
      r.hang = true;
      return r;
    }());
  }
  URLRequest request(const std::string& path) { return URLRequest(URL(server->url(path))); }

  std::unique_ptr<HTTPTestServer> server;
};

TEST_F(CTRURLSessionTest, FactoriesMakeSessionLayerObjectsAndNoBackgroundConfiguration) {
  EXPECT_FALSE(CTRURLSession::NSURLSessionShouldBeUsed());
  EXPECT_NE(CTRURLSessionConfiguration::defaultSessionConfiguration(), nullptr);
  EXPECT_NE(CTRURLSessionConfiguration::ephemeralSessionConfiguration(), nullptr);
  EXPECT_EQ(CTRURLSessionConfiguration::backgroundSessionConfiguration("id"), nullptr);
  EXPECT_EQ(CTRURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("id"),
            nullptr);
  EXPECT_EQ(CTRURLSession::sessionWithConfiguration(nullptr), nullptr);

  auto configuration = CTRURLSessionConfiguration::defaultSessionConfiguration();
  configuration->setSessionSendsLaunchEvents(true);
  EXPECT_FALSE(configuration->sessionSendsLaunchEvents());
}

TEST_F(CTRURLSessionTest, ConfigurationCopyCarriesOnlyHeadersAndSessionKeepsItsOwnCopy) {
  auto configuration = CTRURLSessionConfiguration::defaultSessionConfiguration();
  configuration->setHTTPAdditionalHeaders(Value::dictionary({{"X-A", "1"}}));
  configuration->setHTTPCookieAcceptPolicy(2);
  auto copy = configuration->copy();
  EXPECT_EQ(copy->HTTPAdditionalHeaders()["X-A"].asString(), "1");
  EXPECT_EQ(copy->HTTPCookieAcceptPolicy(), 0u);

  auto session = CTRURLSession::sessionWithConfiguration(configuration);
  configuration->setHTTPAdditionalHeaders(Value::dictionary({{"X-B", "2"}}));
  EXPECT_NE(session->configuration(), configuration);
  EXPECT_TRUE(session->configuration()->HTTPAdditionalHeaders().contains("X-A"));
  EXPECT_FALSE(session->configuration()->HTTPAdditionalHeaders().contains("X-B"));
}

TEST_F(CTRURLSessionTest, DelegateWithoutQueueGetsSerialQueueNamedAfterTheClass) {
  auto configuration = CTRURLSessionConfiguration::defaultSessionConfiguration();
  auto withDelegate = CTRURLSession::sessionWithConfiguration(
      configuration, std::make_shared<RecordingDelegate>(), nullptr);
  ASSERT_NE(withDelegate->delegateQueue(), nullptr);
  EXPECT_EQ(withDelegate->delegateQueue()->maxConcurrentOperationCount(), 1);
  const std::string name = withDelegate->delegateQueue()->name();
  EXPECT_EQ(name.rfind("CTRURLSession 0x", 0), 0u) << name;
  // Every default queue names the same class object.
  EXPECT_EQ(CTRURLSession::newDefaultDelegateQueue()->name(), name);
  EXPECT_NE(CTRURLSession::newDefaultDelegateQueue(), withDelegate->delegateQueue());

  auto neither = CTRURLSession::sessionWithConfiguration(configuration, nullptr, nullptr);
  EXPECT_EQ(neither->delegateQueue(), nullptr);
  EXPECT_EQ(neither->delegate(), nullptr);
}

TEST_F(CTRURLSessionTest, AdditionalHeadersAreAddedAndAppendedToExistingOnes) {
  auto configuration = CTRURLSessionConfiguration::defaultSessionConfiguration();
  configuration->setHTTPAdditionalHeaders(
      Value::dictionary({{"X-Extra", "yes"}, {"Accept", "text/plain"}}));
  auto session = CTRURLSession::sessionWithConfiguration(configuration);
  URLRequest req = request("/hello");
  req.setValueForHTTPHeaderField("Accept", "application/json");
  Event done;
  auto task = session->dataTaskWithRequest(
      req, [&](const std::optional<Bytes>&, const std::optional<URLResponse>&, const Error&) {
        done.set();
      });
  ASSERT_TRUE(task->originalRequest());
  EXPECT_EQ(task->originalRequest()->valueForHTTPHeaderField("Accept"),
            "application/json,text/plain");
  EXPECT_EQ(task->originalRequest()->valueForHTTPHeaderField("X-Extra"), "yes");
  // The caller's request is not changed.
  EXPECT_EQ(req.valueForHTTPHeaderField("X-Extra"), std::nullopt);
  task->resume();
  ASSERT_TRUE(done.wait());
  auto recorded = server->requests();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].header("X-Extra"), "yes");
  EXPECT_EQ(recorded[0].header("Accept"), "application/json,text/plain");
}

TEST_F(CTRURLSessionTest, CompletionHandlerTaskRunsOnTaskQueueAndSkipsTheDelegate) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration(), delegate, nullptr);
  Event done;
  std::optional<Bytes> data;
  std::optional<URLResponse> response;
  Error error;
  bool onTaskQueue = false;
  std::shared_ptr<CTRURLSessionDataTask> task;
  task = session->dataTaskWithRequest(
      request("/hello"),
      [&](const std::optional<Bytes>& d, const std::optional<URLResponse>& r, const Error& e) {
        data = d;
        response = r;
        error = e;
        onTaskQueue = task->queue()->isCurrent();
        done.set();
      });
  EXPECT_FALSE(task->invokesDelegate());
  EXPECT_EQ(session->liveTaskCount(), 1u);
  task->resume();
  task->resume();  // a second resume does nothing
  ASSERT_TRUE(done.wait());
  EXPECT_EQ(text(data), "hello body");
  ASSERT_TRUE(response);
  EXPECT_EQ(response->statusCode(), 200);
  EXPECT_FALSE(error);
  EXPECT_TRUE(onTaskQueue);
  EXPECT_EQ(liveTasksAfter(*session, *task), 0u);
  session->delegateQueue()->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(delegate->records().empty());
  EXPECT_EQ(server->requestCount(), 1u);
}

TEST_F(CTRURLSessionTest, EmptyBodyGivesNoDataBuffer) {
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration());
  Event done;
  std::optional<Bytes> data = Bytes{1};
  long status = 0;
  auto task = session->dataTaskWithRequest(
      request("/empty"),
      [&](const std::optional<Bytes>& d, const std::optional<URLResponse>& r, const Error&) {
        data = d;
        status = r ? r->statusCode() : -1;
        done.set();
      });
  task->resume();
  ASSERT_TRUE(done.wait());
  EXPECT_EQ(status, 204);
  EXPECT_FALSE(data.has_value());
}

TEST_F(CTRURLSessionTest, DelegateHearsResponseDataAndCompletionOnItsQueue) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration(), delegate, nullptr);
  auto task = session->dataTaskWithRequest(request("/hello"));
  EXPECT_TRUE(task->invokesDelegate());
  EXPECT_TRUE(session->shouldInvokeDelegateForTask(*task));
  task->resume();
  ASSERT_TRUE(delegate->waitForCompletion());
  auto records = delegate->records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].call, "response 200");
  EXPECT_EQ(records[1].call, "complete");
  EXPECT_TRUE(records[0].onDelegateQueue);
  EXPECT_TRUE(records[1].onDelegateQueue);
  EXPECT_EQ(delegate->received(), "hello body");
  EXPECT_FALSE(delegate->completionError());
  session->delegateQueue()->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(session->liveTaskCount(), 0u);
  ASSERT_TRUE(task->response());
  EXPECT_EQ(task->response()->statusCode(), 200);
  EXPECT_EQ(text(task->data()), "hello body");
}

TEST_F(CTRURLSessionTest, TransportErrorReachesHandlerAndTask) {
  auto closed = HTTPTestServer::start();
  const std::string url = closed->url("/gone");
  closed->stop();
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration());
  Event done;
  Error error;
  std::optional<URLResponse> response;
  auto task = session->dataTaskWithRequest(
      URLRequest(URL(url)),
      [&](const std::optional<Bytes>&, const std::optional<URLResponse>& r, const Error& e) {
        error = e;
        response = r;
        done.set();
      });
  task->resume();
  ASSERT_TRUE(done.wait());
  EXPECT_EQ(error.domain(), platform::kURLErrorDomain);
  EXPECT_EQ(error.code(), platform::urlloading::kURLErrorCannotConnectToHost);
  EXPECT_FALSE(response);
  EXPECT_EQ(task->error().code(), error.code());
}

TEST_F(CTRURLSessionTest, DownloadWithHandlerGetsTheFileWhichIsDeletedAfterwards) {
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration());
  Event done;
  std::string contents;
  std::string path;
  auto task = session->downloadTaskWithRequest(
      request("/hello"),
      [&](const std::optional<URL>& location, const std::optional<URLResponse>&, const Error& e) {
        EXPECT_FALSE(e);
        ASSERT_TRUE(location);
        path = location->decodedPath();
        contents = readFile(path);
        done.set();
      });
  EXPECT_TRUE(task->targetURL().isFileURL());
  task->resume();
  ASSERT_TRUE(done.wait());
  EXPECT_EQ(contents, "hello body");
  EXPECT_EQ(path, task->targetURL().decodedPath());
  task->queue()->sync([] {});
  EXPECT_FALSE(fileExists(path));
}

TEST_F(CTRURLSessionTest, DownloadThroughDelegateDeletesTheFileAfterTheCall) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration(), delegate, nullptr);
  auto task = session->downloadTaskWithURL(URL(server->url("/hello")));
  task->resume();
  ASSERT_TRUE(delegate->waitForCompletion());
  session->delegateQueue()->waitUntilAllOperationsAreFinished();
  auto records = delegate->records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].call, "response 200");
  EXPECT_EQ(records[1].call, "downloaded");
  EXPECT_EQ(records[2].call, "complete");
  EXPECT_EQ(delegate->downloaded(), "hello body");
  EXPECT_FALSE(fileExists(delegate->downloadPath()));
  EXPECT_EQ(session->liveTaskCount(), 0u);
}

TEST_F(CTRURLSessionTest, EmptyDownloadStillLeavesAFileAtTheLocation) {
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration());
  Event done;
  bool existed = false;
  auto task = session->downloadTaskWithRequest(
      request("/empty"),
      [&](const std::optional<URL>& location, const std::optional<URLResponse>&, const Error& e) {
        EXPECT_FALSE(e);
        existed = location && fileExists(location->decodedPath());
        done.set();
      });
  task->resume();
  ASSERT_TRUE(done.wait());
  EXPECT_TRUE(existed);
}

TEST_F(CTRURLSessionTest, UnwritableDownloadFileFailsWithDownloadTaskError) {
  const char* previous = std::getenv("TMPDIR");
  const std::string saved = previous ? previous : "";
  ::setenv("TMPDIR", "/nonexistent-folder-for-downloads", 1);
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration());
  auto task = session->downloadTaskWithRequest(request("/hello"), nullptr);
  if (previous) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  Event done;
  Error error;
  task->setDownloadCompletionHandler(
      [&](const std::optional<URL>&, const std::optional<URLResponse>&, const Error& e) {
        error = e;
        done.set();
      });
  task->resume();
  ASSERT_TRUE(done.wait());
  EXPECT_EQ(error.domain(), sdk::kCTRURLSessionDownloadTaskErrorDomain);
  EXPECT_EQ(error.code(), -1);
}

TEST_F(CTRURLSessionTest, UploadStreamsTheFileWithItsLength) {
  char dir[] = "/tmp/ctr-upload-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/package.bin";
  std::ofstream(path) << "upload payload";
  server->setHandler("/upload", [](const test_support::HTTPRecordedRequest& r) {
    return HTTPReply::text(201, "got " + r.body);
  });
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration());
  URLRequest req = request("/upload");
  req.setHTTPMethod("POST");
  req.setHTTPBody(Bytes{'x'});  // replaced by the file
  Event done;
  std::optional<Bytes> data;
  auto task = session->uploadTaskWithRequest(
      req, URL::fileURLWithPath(path),
      [&](const std::optional<Bytes>& d, const std::optional<URLResponse>&, const Error& e) {
        EXPECT_FALSE(e);
        data = d;
        done.set();
      });
  task->resume();
  ASSERT_TRUE(done.wait());
  EXPECT_EQ(text(data), "got upload payload");
  auto recorded = server->requests();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].method, "POST");
  EXPECT_EQ(recorded[0].header("Content-Length"), "14");
  EXPECT_FALSE(recorded[0].chunked);
  ::unlink(path.c_str());
  ::rmdir(dir);
}

TEST_F(CTRURLSessionTest, UploadOfAMissingFileFailsInsteadOfSendingNothing) {
  server->setReply("/upload", HTTPReply::text(201, "stored"));
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration());
  URLRequest req = request("/upload");
  req.setHTTPMethod("POST");
  Event done;
  Error error;
  auto task = session->uploadTaskWithRequest(
      req, URL::fileURLWithPath("/nonexistent-folder/package.bin"),
      [&](const std::optional<Bytes>&, const std::optional<URLResponse>&, const Error& e) {
        error = e;
        done.set();
      });
  task->resume();
  ASSERT_TRUE(done.wait());
  EXPECT_TRUE(static_cast<bool>(error));
}

std::size_t openDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// Many uploads in a row (the analytics uploader's pattern) leave neither
// descriptors nor idle connections behind: the connection is reused.
TEST_F(CTRURLSessionTest, TwoHundredUploadsKeepDescriptorsFlat) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/ctr-uploads-XXXXXX";
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  const std::string path = dir + "/package.multipartmime";
  std::ofstream(path) << std::string(6000, 'p');
  server->setReply("/upload", HTTPReply::text(202, ""));
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration());
  auto uploadOnce = [&] {
    URLRequest req = request("/upload");
    req.setHTTPMethod("POST");
    Event done;
    Error error;
    session
        ->uploadTaskWithRequest(
            req, URL::fileURLWithPath(path),
            [&](const std::optional<Bytes>&, const std::optional<URLResponse>&, const Error& e) {
              error = e;
              done.set();
            })
        ->resume();
    EXPECT_TRUE(done.wait());
    EXPECT_FALSE(error);
  };
  // Warm up: the network thread and its first connection.
  for (int i = 0; i < 5; ++i) uploadOnce();
  const std::size_t before = openDescriptors();
  for (int i = 0; i < 200; ++i) uploadOnce();
  EXPECT_LE(openDescriptors(), before + 2);
  EXPECT_LE(server->connectionCount(), 10u);
  auto recorded = server->requests();
  ASSERT_EQ(recorded.size(), 205u);
  EXPECT_EQ(recorded.back().body.size(), 6000u);
  EXPECT_EQ(recorded.back().header("Content-Length"), "6000");
  std::filesystem::remove_all(dir);
}

// A redirect to another origin fails the task: nothing reaches the other
// server. Over plain HTTP the SDK's credentials are not sent at all.
TEST_F(CTRURLSessionTest, RedirectsLeavingTheOriginFailAndPlainHTTPCarriesNoCredentials) {
  auto other = HTTPTestServer::start();
  other->setReply("/stolen", HTTPReply::text(200, "thanks"));
  server->setReply("/moved", HTTPReply::text(302, "").header("Location", other->url("/stolen")));
  server->setReply("/near", HTTPReply::text(307, "").header("Location", server->url("/hello")));
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration());
  auto load = [&](const std::string& path, std::optional<Bytes>& data) {
    URLRequest req = request(path);
    req.setHTTPMethod("POST");
    req.setHTTPBody(Bytes{'e', 'v'});
    req.setValueForHTTPHeaderField("X-Crashtrail-API-Key", "secret-key");
    req.setValueForHTTPHeaderField("X-CRASHTRAIL-DEVELOPER-TOKEN", "secret-token");
    Event done;
    Error error;
    session
        ->dataTaskWithRequest(
            req,
            [&](const std::optional<Bytes>& d, const std::optional<URLResponse>&, const Error& e) {
              data = d;
              error = e;
              done.set();
            })
        ->resume();
    EXPECT_TRUE(done.wait());
    return error;
  };
  std::optional<Bytes> data;
  const Error refused = load("/moved", data);
  EXPECT_EQ(refused.domain(), sdk::kBCNRequestGuardErrorDomain);
  EXPECT_EQ(refused.code(), sdk::kBCNRequestGuardCrossOriginRedirect);
  EXPECT_EQ(other->requestCount(), 0u);
  // A redirect within the origin is still followed.
  EXPECT_FALSE(load("/near", data));
  EXPECT_EQ(text(data), "hello body");
  for (const auto& recorded : server->requests()) {
    EXPECT_FALSE(recorded.header("X-Crashtrail-API-Key").has_value()) << recorded.path;
    EXPECT_FALSE(recorded.header("X-Crashtrail-Developer-Token").has_value()) << recorded.path;
  }
}

TEST_F(CTRURLSessionTest, GetTasksReportsNoTasksEvenWhileOneRuns) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration(), delegate, nullptr);
  auto task = session->dataTaskWithRequest(request("/hang"));
  task->resume();
  ASSERT_TRUE(server->waitForRequestCount(1));
  Event done;
  std::size_t total = 99;
  bool onDelegateQueue = false;
  session->getTasksWithCompletionHandler(
      [&](const auto& data, const auto& upload, const auto& download) {
        total = data.size() + upload.size() + download.size();
        onDelegateQueue = platform::OperationQueue::currentQueue() == session->delegateQueue();
        done.set();
      });
  ASSERT_TRUE(done.wait());
  EXPECT_EQ(total, 0u);
  EXPECT_TRUE(onDelegateQueue);
  EXPECT_EQ(session->liveTaskCount(), 1u);
  session->invalidateAndCancel();
}

TEST_F(CTRURLSessionTest, CancelRightAfterResumeStopsTheTaskForGood) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration(), delegate, nullptr);
  auto task = session->dataTaskWithRequest(request("/hello"));
  task->resume();
  task->cancel();
  task->queue()->sync([] {});
  // A cancelled task lets go of its completion handler at once.
  auto held = std::make_shared<int>(0);
  auto withHandler = session->dataTaskWithRequest(
      request("/hang"),
      [held](const std::optional<Bytes>&, const std::optional<URLResponse>&, const Error&) {});
  withHandler->resume();
  withHandler->cancel();
  withHandler->queue()->sync([] {});
  EXPECT_EQ(held.use_count(), 1);
  // A later request on the same session runs; the cancelled one never ends.
  Event done;
  auto second = session->dataTaskWithRequest(
      request("/hello"), [&](const std::optional<Bytes>&, const std::optional<URLResponse>&,
                             const Error&) { done.set(); });
  second->resume();
  ASSERT_TRUE(done.wait());
  session->delegateQueue()->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(delegate->records().empty());
  EXPECT_TRUE(task->isCancelled());
  EXPECT_FALSE(task->response());
  EXPECT_EQ(liveTasksAfter(*session, *second), 2u);  // the cancelled tasks stay
}

TEST_F(CTRURLSessionTest, InvalidateAndCancelStopsLiveTasksAndDropsTheDelegate) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration(), delegate, nullptr);
  auto hanging = session->dataTaskWithRequest(request("/hang"));
  hanging->resume();
  ASSERT_TRUE(server->waitForRequestCount(1));
  session->invalidateAndCancel();
  EXPECT_TRUE(hanging->isCancelled());
  EXPECT_EQ(session->delegate(), nullptr);

  // Still usable: a later task runs without a delegate.
  auto later = session->dataTaskWithRequest(request("/hello"));
  EXPECT_FALSE(session->shouldInvokeDelegateForTask(*later));
  Event done;
  auto withHandler = session->dataTaskWithRequest(
      request("/hello"),
      [&](const std::optional<Bytes>& d, const std::optional<URLResponse>&, const Error&) {
        EXPECT_EQ(text(d), "hello body");
        done.set();
      });
  withHandler->resume();
  ASSERT_TRUE(done.wait());
  session->delegateQueue()->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(delegate->records().empty());
}

TEST_F(CTRURLSessionTest, FinishTasksAndInvalidateOnlyDropsTheDelegate) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration(), delegate, nullptr);
  std::weak_ptr<RecordingDelegate> weak = delegate;
  delegate.reset();
  EXPECT_FALSE(weak.expired());  // the session owns its delegate
  session->finishTasksAndInvalidate();
  EXPECT_TRUE(weak.expired());
}

TEST_F(CTRURLSessionTest, DroppedSessionStillReportsItsRunningTask) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration(), delegate, nullptr);
  auto queue = session->delegateQueue();
  server->setReply("/slow", [] {
    HTTPReply r = HTTPReply::text(200, "late");
    r.delaySeconds = 0.2;
    return r;
  }());
  auto task = session->dataTaskWithRequest(request("/slow"));
  task->resume();
  std::weak_ptr<CTRURLSession> weakSession = session;
  session.reset();
  ASSERT_TRUE(delegate->waitForCompletion());
  EXPECT_EQ(delegate->received(), "late");
  queue->waitUntilAllOperationsAreFinished();
  task->queue()->sync([] {});
}

class CTRURLSessionTLSTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ca = test_support::makeCertificateAuthority("Session Test CA");
    auto leaf = test_support::makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
    server = HTTPTestServer::startTLS(leaf.certificatePEM + ca.certificatePEM, leaf.privateKeyPEM);
    server->setReply("/secure", HTTPReply::text(200, "secure body"));
  }
  // Loads /secure with the delegate answering `answer`; the error.
  Error load(CTRURLSessionAuthChallengeDisposition answer, int* challenges) {
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->answer_ = answer;
    auto session = CTRURLSession::sessionWithConfiguration(
        CTRURLSessionConfiguration::defaultSessionConfiguration(), delegate, nullptr);
    Event done;
    Error error;
    // A completion handler does not keep server-trust challenges from the delegate.
    auto task = session->dataTaskWithRequest(
        URLRequest(URL(server->url("/secure"))),
        [&](const std::optional<Bytes>&, const std::optional<URLResponse>&, const Error& e) {
          error = e;
          done.set();
        });
    task->resume();
    EXPECT_TRUE(done.wait());
    *challenges = delegate->challenges();
    return error;
  }

  test_support::TestIdentity ca;
  std::unique_ptr<HTTPTestServer> server;
};

TEST_F(CTRURLSessionTLSTest, ServerTrustChallengesGoToTheSessionDelegate) {
  int challenges = 0;
  EXPECT_FALSE(load(CTRURLSessionAuthChallengeDisposition::kUseCredential, &challenges));
  EXPECT_EQ(challenges, 1);

  // The test CA is not trusted by the system: default handling refuses it,
  // and so does a cancelled challenge.
  Error error = load(CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling, &challenges);
  EXPECT_EQ(error.code(), platform::urlloading::kURLErrorServerCertificateUntrusted);
  EXPECT_EQ(challenges, 1);
  error = load(CTRURLSessionAuthChallengeDisposition::kCancelAuthenticationChallenge, &challenges);
  EXPECT_EQ(error.code(), platform::urlloading::kURLErrorServerCertificateUntrusted);
}

// The pinned HTTPS service answers with a redirect to plain HTTP on
// loopback: the task fails, and the plain server sees nothing, least of all
// the API key or the developer token.
TEST_F(CTRURLSessionTLSTest, ARedirectFromHTTPSToPlainHTTPIsNotFollowed) {
  auto plain = HTTPTestServer::start();
  plain->setReply("/events", HTTPReply::text(200, "delivered"));
  server->setReply("/events", HTTPReply::text(302, "").header("Location", plain->url("/events")));
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->answer_ = CTRURLSessionAuthChallengeDisposition::kUseCredential;
  auto session = CTRURLSession::sessionWithConfiguration(
      CTRURLSessionConfiguration::defaultSessionConfiguration(), delegate, nullptr);
  URLRequest request(URL(server->url("/events")));
  request.setHTTPMethod("POST");
  request.setHTTPBody(Bytes{'e', 'v', 'e', 'n', 't', 's'});
  request.setValueForHTTPHeaderField("X-Crashtrail-API-Key", "secret-key");
  request.setValueForHTTPHeaderField("X-Crashtrail-Developer-Token", "secret-token");
  Event done;
  Error error;
  std::optional<URLResponse> response;
  session
      ->dataTaskWithRequest(
          request,
          [&](const std::optional<Bytes>&, const std::optional<URLResponse>& r, const Error& e) {
            response = r;
            error = e;
            done.set();
          })
      ->resume();
  ASSERT_TRUE(done.wait());
  // Refused by the URL loading itself (it never lowers a redirect's
  // scheme) or, beneath it, by the session's own origin guard.
  EXPECT_TRUE(error.domain() == sdk::kBCNRequestGuardErrorDomain ||
              (error.domain() == platform::kURLErrorDomain &&
               error.code() == platform::urlloading::kURLErrorSecureConnectionRequired))
      << error.domain() << " " << error.code();
  EXPECT_EQ(plain->requestCount(), 0u);
  EXPECT_EQ(plain->connectionCount(), 0u);
  // Over HTTPS the credentials did go to the service itself.
  ASSERT_EQ(server->requestCount(), 1u);
  EXPECT_EQ(server->requests()[0].header("X-Crashtrail-API-Key"), "secret-key");
}

}  // namespace
