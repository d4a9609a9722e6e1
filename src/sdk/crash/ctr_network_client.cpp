#include "sdk/crash/ctr_network_client.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <utility>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/url.h"
#include "platform/urlloading/stream.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_network_response_handler.h"
#include "sdk/platform/bcn_pinned_certificates.h"
#include "sdk/platform/bcn_request_guard.h"

namespace sdk {

using platform::Error;
using platform::urlloading::AuthenticationChallenge;
using platform::urlloading::URLConnection;
using platform::urlloading::URLCredential;
using platform::urlloading::URLRequest;
using platform::urlloading::URLResponse;

namespace {

// A package is a plain file of the cache: a symbolic link in its place is
// never followed (it would send a file from outside the cache).
bool isReadableFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::access(path.c_str(), R_OK) == 0;
}

// Passes a challenge answer given as a session disposition on to the
// connection's challenge sender.
void answerWithDisposition(const AuthenticationChallenge& challenge,
                           CTRURLSessionAuthChallengeDisposition disposition,
                           const std::optional<URLCredential>& credential) {
  const auto& sender = challenge.sender();
  if (!sender) return;
  switch (disposition) {
    case CTRURLSessionAuthChallengeDisposition::kUseCredential:
      if (credential) {
        sender->useCredential(*credential, challenge);
      } else {
        sender->continueWithoutCredential(challenge);
      }
      break;
    case CTRURLSessionAuthChallengeDisposition::kCancelAuthenticationChallenge:
      sender->cancel(challenge);
      break;
    case CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling:
    case CTRURLSessionAuthChallengeDisposition::kRejectProtectionSpace:
      sender->continueWithoutCredential(challenge);
      break;
  }
}

}  // namespace

// The session's delegate. The session owns its delegate, so the client is
// held weakly here; otherwise client and session would keep each other.
class CTRNetworkClient::SessionDelegate : public CTRURLSessionDelegate {
 public:
  explicit SessionDelegate(std::weak_ptr<CTRNetworkClient> client) : client_(std::move(client)) {}

  void URLSessionTaskDidCompleteWithError(CTRURLSession& session, CTRURLSessionTask& task,
                                          const Error& error) override {
    if (auto client = client_.lock())
      client->URLSessionTaskDidCompleteWithError(session, task, error);
  }
  void URLSessionDidReceiveChallenge(CTRURLSession& session,
                                     const AuthenticationChallenge& challenge,
                                     const CTRURLSessionChallengeCompletion& completion) override {
    if (auto client = client_.lock()) {
      client->URLSessionDidReceiveChallenge(session, challenge, completion);
      return;
    }
    // No client: no pinning decision can be made, so the server is refused.
    completion(CTRURLSessionAuthChallengeDisposition::kCancelAuthenticationChallenge, std::nullopt);
  }
  void URLSessionDidBecomeInvalidWithError(CTRURLSession& session, const Error& error) override {
    if (auto client = client_.lock()) client->URLSessionDidBecomeInvalidWithError(session, error);
  }
  void URLSessionDidFinishEventsForBackgroundURLSession(CTRURLSession& session) override {
    if (auto client = client_.lock())
      client->URLSessionDidFinishEventsForBackgroundURLSession(session);
  }

 private:
  const std::weak_ptr<CTRNetworkClient> client_;
};

// One synchronous upload: the connection's outcome, waited for by the
// calling thread.
class CTRNetworkClient::SyncUpload : public platform::urlloading::URLConnectionDelegate {
 public:
  explicit SyncUpload(std::weak_ptr<CTRNetworkClient> client) : client_(std::move(client)) {}

  void connectionWillSendRequestForAuthenticationChallenge(
      URLConnection&, const AuthenticationChallenge& challenge) override {
    if (challenge.protectionSpace().authenticationMethod !=
        platform::urlloading::kAuthenticationMethodServerTrust) {
      challenge.sender()->continueWithoutCredential(challenge);
      return;
    }
    auto client = client_.lock();
    if (!client) {
      challenge.sender()->cancel(challenge);
      return;
    }
    client->answerChallenge(challenge, nullptr,
                            [&challenge](CTRURLSessionAuthChallengeDisposition disposition,
                                         const std::optional<URLCredential>& credential) {
                              answerWithDisposition(challenge, disposition, credential);
                            });
  }
  // A redirect away from the upload's origin fails the upload: the report
  // stays for a later attempt.
  std::optional<URLRequest> connectionWillSendRequest(
      URLConnection& connection, URLRequest request,
      const std::optional<URLResponse>& redirectResponse) override {
    if (!redirectResponse) return request;
    const platform::URL original = connection.originalRequest().url();
    if (BCNRequestGuard::mayFollowRedirect(original, request.url())) {
      return BCNRequestGuard::requestForSending(std::move(request));
    }
    finish(BCNRequestGuard::redirectRefusedError(original, request.url()));
    connection.cancel();
    return std::nullopt;
  }
  void connectionDidReceiveResponse(URLConnection&, const URLResponse& response) override {
    std::lock_guard lock(mutex_);
    response_ = response;
  }
  void connectionDidFinishLoading(URLConnection&) override { finish(Error()); }
  void connectionDidFailWithError(URLConnection&, const Error& error) override { finish(error); }

  // Waits for the end of the load, at most `seconds`; false on time-out.
  bool wait(double seconds) {
    std::unique_lock lock(mutex_);
    const auto limit = std::chrono::duration<double>(seconds > 0 ? seconds : 0.0);
    return cv_.wait_for(lock, limit, [&] { return done_; });
  }
  std::optional<URLResponse> response() const {
    std::lock_guard lock(mutex_);
    return response_;
  }
  Error error() const {
    std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  void finish(const Error& error) {
    std::lock_guard lock(mutex_);
    if (done_) return;
    error_ = error;
    done_ = true;
    cv_.notify_all();
  }

  const std::weak_ptr<CTRNetworkClient> client_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::optional<URLResponse> response_;
  Error error_;
};

// --- creation -------------------------------------------------------------------------

std::shared_ptr<BCNCertificatePinner> CTRNetworkClient::pinner(
    std::shared_ptr<const BCNCertificateList> certificates) {
  if (!certificates) certificates = BCNPinnedCertificates();
  return std::make_shared<BCNCertificatePinner>(certificates ? *certificates
                                                             : BCNCertificateList{});
}

CTRNetworkClient::Ptr CTRNetworkClient::create(platform::OperationQueue::Ptr operationQueue,
                                               std::shared_ptr<CTRFileManager> fileManager,
                                               std::weak_ptr<CTRNetworkClientDelegate> delegate,
                                               std::shared_ptr<const BCNCertificateList> pinned) {
  auto client = std::make_shared<CTRNetworkClient>(
      Passkey{}, std::move(operationQueue), std::move(fileManager), delegate, std::move(pinned));
  if (auto d = delegate.lock()) {
    client->canUseBackgroundSession_ = d->networkClientCanUseBackgroundSessions(*client);
  }
  if (!client->supportsBackgroundRequests()) {
    BCNConsoleDebugLog(
        "[Crashtrail:Crash:Client] Background session uploading not supported, asynchronous "
        "uploading will be used");
  }
  return client;
}

CTRNetworkClient::CTRNetworkClient(Passkey, platform::OperationQueue::Ptr operationQueue,
                                   std::shared_ptr<CTRFileManager> fileManager,
                                   std::weak_ptr<CTRNetworkClientDelegate> delegate,
                                   std::shared_ptr<const BCNCertificateList> pinnedCertificates)
    : operationQueue_(std::move(operationQueue)),
      fileManager_(fileManager ? std::move(fileManager) : std::make_shared<CTRFileManager>()),
      certPinner_(pinner(std::move(pinnedCertificates))),
      delegate_(std::move(delegate)) {}

CTRNetworkClient::~CTRNetworkClient() {
  if (session_) session_->finishTasksAndInvalidate();
}

std::shared_ptr<CTRNetworkClientDelegate> CTRNetworkClient::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void CTRNetworkClient::setDelegate(std::weak_ptr<CTRNetworkClientDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

bool CTRNetworkClient::NSURLSessionAvailable() { return CTRURLSession::NSURLSessionShouldBeUsed(); }

bool CTRNetworkClient::supportsBackgroundRequests() const {
  // An application extension does not exist on this platform, so the
  // session API and the delegate's answer decide.
  return NSURLSessionAvailable() && canUseBackgroundSession_;
}

void CTRNetworkClient::attemptToReconnectBackgroundSessionWithCompletionBlock(
    std::function<void()> completion) {
  if (!completion) return;
  if (supportsBackgroundRequests()) {
    platform::OperationQueue::mainQueue()->addOperationWithBlock(std::move(completion));
    return;
  }
  // No background session exists that could be reconnected.
  completion();
}

void CTRNetworkClient::setRestartScheduler(RestartScheduler scheduler) {
  std::lock_guard lock(mutex_);
  restartScheduler_ = std::move(scheduler);
}

void CTRNetworkClient::setBackgroundCompletionHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  backgroundCompletionHandler_ = std::move(handler);
}

// --- the session ------------------------------------------------------------------------

CTRURLSession::Ptr CTRNetworkClient::session() {
  {
    std::lock_guard lock(mutex_);
    if (session_ || sessionFailed_) return session_;
  }
  CTRURLSessionConfiguration::Ptr configuration;
  if (supportsBackgroundRequests()) {
    configuration = CTRURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(
        kCTRBackgroundSessionIdentifier);
  }
  if (!configuration) configuration = CTRURLSessionConfiguration::defaultSessionConfiguration();
  CTRURLSession::Ptr made;
  if (configuration) {
    made = CTRURLSession::sessionWithConfiguration(
        configuration, std::make_shared<SessionDelegate>(weak_from_this()), operationQueue_);
  }
  std::lock_guard lock(mutex_);
  if (session_) return session_;  // made by another thread meanwhile
  if (!made) {
    if (!sessionFailed_) BCNConsoleLog("[Crashtrail:Crash:Client] Failed to initialize");
    sessionFailed_ = true;
    return nullptr;
  }
  session_ = made;
  return session_;
}

std::size_t CTRNetworkClient::activeTaskCount() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

// --- paths ----------------------------------------------------------------------------------

std::optional<std::string> CTRNetworkClient::relativeTaskPathForAbsolutePath(
    const std::string& path) const {
  namespace fs = std::filesystem;
  const std::string root = fs::path(fileManager_->rootPath()).lexically_normal().string();
  const std::string normal = fs::path(path).lexically_normal().string();
  const std::string prefix = root + "/";
  // Only the leading root is removed: the rest of the path stays as it is,
  // even where it repeats the root's text. A path that leaves the root
  // through ".." is not below it.
  if (!root.empty() && normal.size() > prefix.size() &&
      normal.compare(0, prefix.size(), prefix) == 0) {
    return normal.substr(prefix.size());
  }
  CTR_SDK_LOG_WARN("Error: path '%s' is not at the root '%s'\n", path.c_str(),
                   fileManager_->rootPath().c_str());
  return std::nullopt;
}

std::string CTRNetworkClient::absolutePathForRelativeTaskPath(
    const std::string& relativePath) const {
  // Packages outside the root are named by their absolute path.
  if (!relativePath.empty() && relativePath.front() == '/') return relativePath;
  std::string root = fileManager_->rootPath();
  if (root.empty() || root.back() != '/') root += '/';
  return root + relativePath;
}

std::string CTRNetworkClient::taskDescriptionForPath(const std::string& path) const {
  if (auto relative = relativeTaskPathForAbsolutePath(path)) return *relative;
  return path;
}

// --- uploads ----------------------------------------------------------------------------------

void CTRNetworkClient::startUploadRequest(const URLRequest& request, const std::string& filePath,
                                          bool immediately) {
  if (immediately) {
    if (supportsBackgroundRequests()) {
      startNewUploadRequest(request, filePath);
    } else {
      startImmediateUpload(request, filePath);
    }
    return;
  }
  const std::string description = taskDescriptionForPath(filePath);
  std::weak_ptr<CTRNetworkClient> weak = weak_from_this();
  // The answer comes on the work queue, which runs one operation at a time:
  // the check and the start below cannot interleave with another start.
  checkForExistingTaskMatchingDescription(description, [weak, request, filePath](bool exists) {
    auto self = weak.lock();
    if (!self) return;
    if (exists) {
      BCNConsoleDebugLog(
          "[Crashtrail:Crash:Client] A task currently exists for this upload, skipping");
      return;
    }
    self->startNewUploadRequest(request, filePath);
  });
}

void CTRNetworkClient::checkForExistingTaskMatchingDescription(
    const std::string& description, std::function<void(bool exists)> block) {
  if (!block) return;
  std::weak_ptr<CTRNetworkClient> weak = weak_from_this();
  operationQueue_->addOperationWithBlock([weak, description, block = std::move(block)] {
    auto self = weak.lock();
    if (!self) return;
    // The session layer lists no tasks of its own (and without a session
    // there are none): the client's record of the tasks it started, and of
    // those waiting for their restart, answers.
    bool exists = false;
    {
      std::lock_guard lock(self->mutex_);
      exists = self->tasks_.count(description) > 0;
    }
    block(exists);
  });
}

void CTRNetworkClient::startNewUploadRequest(const URLRequest& request,
                                             const std::string& filePath) {
  const std::string description = taskDescriptionForPath(filePath);
  if (!isReadableFile(filePath)) {
    platform::Value info = platform::Value::mutableDictionary();
    info.set(kCTRNetworkErrorPathKey, platform::Value(filePath));
    const Error error(kCTRNetworkErrorDomain, kCTRNetworkErrorUnreadableFile, info.copy());
    {
      std::lock_guard lock(mutex_);
      tasks_.erase(description);
    }
    std::weak_ptr<CTRNetworkClient> weak = weak_from_this();
    operationQueue_->addOperationWithBlock([weak, filePath, error] {
      if (auto self = weak.lock()) self->reportFinished(filePath, error);
    });
    return;
  }
  CTRURLSession::Ptr current = session();
  std::shared_ptr<CTRURLSessionUploadTask> task =
      current ? current->uploadTaskWithRequest(request, platform::URL::fileURLWithPath(filePath))
              : nullptr;
  if (!task) {
    // Without a task the package would wait silently; the delegate hears
    // the network client's "no task" and schedules its own retry.
    {
      std::lock_guard lock(mutex_);
      tasks_.erase(description);
    }
    std::weak_ptr<CTRNetworkClient> weak = weak_from_this();
    operationQueue_->addOperationWithBlock([weak, filePath] {
      if (auto self = weak.lock()) {
        self->reportFinished(filePath,
                             BCNNetworkResponseHandler::errorForCode(kBCNNetworkErrorNoTask));
      }
    });
    return;
  }
  task->setTaskDescription(description);
  {
    std::lock_guard lock(mutex_);
    tasks_.insert_or_assign(description, TaskRecord{task, request});
  }
  task->resume();
}

void CTRNetworkClient::startImmediateUpload(const URLRequest& request,
                                            const std::string& filePath) {
  if (!isReadableFile(filePath)) {
    CTR_SDK_LOG_WARN("Error: file unreadable\n");
    return;
  }
  URLRequest copy = request;
  copy.setHTTPBodyStream(std::make_shared<platform::urlloading::FileInputStream>(filePath));
  if (!copy.valueForHTTPHeaderField("Content-Length")) {
    struct stat st {};
    if (::stat(filePath.c_str(), &st) == 0) {
      copy.setValueForHTTPHeaderField("Content-Length", std::to_string(st.st_size));
    }
  }
  auto upload = std::make_shared<SyncUpload>(weak_from_this());
  auto connection = URLConnection::create(BCNRequestGuard::requestForSending(copy), upload);
  if (!connection) return;
  connection->start();
  // The caller (crash reporting's start-up) waits at most the request's
  // time-out, however slowly the server takes the body.
  if (!upload->wait(copy.timeoutInterval())) {
    connection->cancel();
    return;
  }
  if (BCNNetworkResponseHandler::uploadErrorIgnoringUnreadBody(upload->response(),
                                                               upload->error())) {
    return;
  }
  bool success = false;
  BCNNetworkResponseHandler::clientResponseType(upload->response(), [&](std::uint64_t type, long) {
    success = type == BCNNetworkResponseTypeSuccess;
  });
  // Any other outcome leaves the package for a later launch.
  if (success) reportFinished(filePath, Error());
}

void CTRNetworkClient::reportFinished(const std::string& path, const Error& error) {
  if (auto d = delegate()) d->networkClientDidFinishUploadWithPath(*this, path, error);
}

// --- completion and restarts --------------------------------------------------------------------

void CTRNetworkClient::URLSessionTaskDidCompleteWithError(CTRURLSession& session,
                                                          CTRURLSessionTask& task,
                                                          const Error& error) {
  (void)session;
  const std::string description = task.taskDescription();
  URLRequest request = task.originalRequest().value_or(URLRequest());
  {
    std::lock_guard lock(mutex_);
    auto it = tasks_.find(description);
    if (it != tasks_.end() && it->second.task.get() == &task) {
      request = it->second.request;
      tasks_.erase(it);
    }
  }
  const std::optional<URLResponse> response = task.response();
  // The package's answer is the status: a long body after a success is
  // not read and fails nothing.
  BCNNetworkResponseHandler::handleCompletedResponse(
      response, request, BCNNetworkResponseHandler::uploadErrorIgnoringUnreadBody(response, error),
      [&](bool retry, const Error& outcome) {
        if (retry) {
          restartTask(description, request, response);
        } else {
          reportFinished(absolutePathForRelativeTaskPath(description), outcome);
        }
      });
}

void CTRNetworkClient::restartTask(const std::string& description, const URLRequest& request,
                                   const std::optional<URLResponse>& response) {
  double delay = BCNNetworkResponseHandler::retryValueForResponse(response);
  if (!(delay <= kCTRNetworkClientMaxRestartDelay)) delay = kCTRNetworkClientMaxRestartDelay;
  RestartScheduler scheduler;
  {
    std::lock_guard lock(mutex_);
    // The package keeps its place while it waits: a second submission of
    // it in the meantime starts nothing.
    if (!tasks_.count(description)) tasks_.emplace(description, TaskRecord{nullptr, request});
    scheduler = restartScheduler_;
  }
  std::weak_ptr<CTRNetworkClient> weak = weak_from_this();
  std::function<void()> restart = [weak, description, request] {
    auto self = weak.lock();
    if (!self) return;
    self->operationQueue_->addOperationWithBlock([weak, description, request] {
      auto client = weak.lock();
      if (!client) return;
      {
        std::lock_guard lock(client->mutex_);
        auto it = client->tasks_.find(description);
        if (it != client->tasks_.end() && !it->second.task) client->tasks_.erase(it);
      }
      client->startNewUploadRequest(request, client->absolutePathForRelativeTaskPath(description));
    });
  };
  if (scheduler) {
    scheduler(delay, std::move(restart));
  } else {
    platform::dispatch::Queue::global(platform::dispatch::Priority::Default)
        ->after(delay, std::move(restart));
  }
}

// --- other session callbacks --------------------------------------------------------------------

void CTRNetworkClient::URLSessionDidReceiveChallenge(
    CTRURLSession& session, const AuthenticationChallenge& challenge,
    const CTRURLSessionChallengeCompletion& completion) {
  answerChallenge(challenge, &session, completion);
}

void CTRNetworkClient::answerChallenge(const AuthenticationChallenge& challenge,
                                       CTRURLSession* session,
                                       const CTRURLSessionChallengeCompletion& completion) {
  // BCNConsoleIsDebug is the switch that Beacon::debug() reads.
  if (BCNConsoleIsDebug() || !certPinner_) {
    completion(CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling, std::nullopt);
    return;
  }
  certPinner_->handleChallenge(challenge, session, completion);
}

void CTRNetworkClient::URLSessionDidBecomeInvalidWithError(CTRURLSession& session,
                                                           const Error& error) {
  (void)session;
  BCNConsoleDebugLog("[Crashtrail:Crash:Client] session became invalid: %@", error.description());
}

void CTRNetworkClient::URLSessionDidFinishEventsForBackgroundURLSession(CTRURLSession& session) {
  (void)session;
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    handler = backgroundCompletionHandler_;
  }
  if (!handler) {
    BCNConsoleLog("[Crashtrail:Crash:Client] background callback is nil?");
    return;
  }
  platform::OperationQueue::mainQueue()->addOperationWithBlock(handler);
  std::weak_ptr<CTRNetworkClient> weak = weak_from_this();
  operationQueue_->addOperationWithBlock([weak] {
    if (auto self = weak.lock()) {
      std::lock_guard lock(self->mutex_);
      self->backgroundCompletionHandler_ = nullptr;
    }
  });
}

}  // namespace sdk
