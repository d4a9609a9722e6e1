#include "sdk/platform/ctr_url_session_task.h"

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "platform/foundation/format.h"
#include "platform/foundation/uuid.h"
#include "sdk/platform/bcn_request_guard.h"

namespace sdk {

using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::urlloading::AuthenticationChallenge;
using platform::urlloading::URLConnection;
using platform::urlloading::URLRequest;
using platform::urlloading::URLResponse;

void CTRURLSessionTaskDelegate::taskDidReceiveServerTrustChallenge(
    CTRURLSessionTask& task, const AuthenticationChallenge& challenge) {
  (void)task;
  challenge.sender()->continueWithoutCredential(challenge);
}

// --- CTRURLSessionTask -------------------------------------------------------

CTRURLSessionTask::Ptr CTRURLSessionTask::task() { return std::make_shared<CTRURLSessionTask>(); }

CTRURLSessionTask::CTRURLSessionTask()
    : queue_(platform::dispatch::Queue::createSerial(kCTRURLSessionTaskQueueLabel)) {}

CTRURLSessionTask::~CTRURLSessionTask() = default;

std::optional<URLRequest> CTRURLSessionTask::originalRequest() const {
  std::lock_guard lock(mutex_);
  return originalRequest_;
}

void CTRURLSessionTask::setOriginalRequest(URLRequest request) {
  std::lock_guard lock(mutex_);
  originalRequest_ = std::move(request);
}

std::optional<URLRequest> CTRURLSessionTask::currentRequest() const { return std::nullopt; }

std::optional<URLResponse> CTRURLSessionTask::response() const {
  std::lock_guard lock(mutex_);
  return response_;
}

void CTRURLSessionTask::setResponse(URLResponse response) {
  std::lock_guard lock(mutex_);
  response_ = std::move(response);
}

Error CTRURLSessionTask::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void CTRURLSessionTask::setError(Error error) {
  std::lock_guard lock(mutex_);
  error_ = std::move(error);
}

std::shared_ptr<CTRURLSessionTaskDelegate> CTRURLSessionTask::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void CTRURLSessionTask::setDelegate(std::weak_ptr<CTRURLSessionTaskDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

bool CTRURLSessionTask::invokesDelegate() const {
  std::lock_guard lock(mutex_);
  return invokesDelegate_;
}

void CTRURLSessionTask::setInvokesDelegate(bool invokes) {
  std::lock_guard lock(mutex_);
  invokesDelegate_ = invokes;
}

std::string CTRURLSessionTask::taskDescription() const {
  std::lock_guard lock(mutex_);
  return taskDescription_;
}

void CTRURLSessionTask::setTaskDescription(std::string description) {
  std::lock_guard lock(mutex_);
  taskDescription_ = std::move(description);
}

std::string CTRURLSessionTask::description() const {
  auto request = originalRequest();
  return platform::format("<CTRURLSessionTask: %p> { URL: %@, description: %@ }", this,
                          request ? request->url().absoluteString() : std::string("(null)"),
                          taskDescription());
}

// --- CTRURLSessionDataTask -----------------------------------------------------

// Hands each connection callback (network thread) to the task's queue. The
// connection holds it until the load ends or is cancelled, and it holds the
// task.
class CTRURLSessionDataTask::ConnectionDelegate
    : public platform::urlloading::URLConnectionDelegate {
 public:
  explicit ConnectionDelegate(std::shared_ptr<CTRURLSessionDataTask> task)
      : task_(std::move(task)) {}

  void connectionWillSendRequestForAuthenticationChallenge(
      URLConnection& connection, const AuthenticationChallenge& challenge) override {
    if (challenge.protectionSpace().authenticationMethod ==
            platform::urlloading::kAuthenticationMethodServerTrust &&
        !task_->isCancelled()) {
      if (auto session = task_->delegate()) {
        session->taskDidReceiveServerTrustChallenge(*task_, challenge);
        return;
      }
    }
    URLConnectionDelegate::connectionWillSendRequestForAuthenticationChallenge(connection,
                                                                               challenge);
  }

  // A redirect away from the task's origin ends the task as failed (the
  // refusal's failure is queued before anything the connection reports for
  // the redirect response, so that one is ignored).
  std::optional<URLRequest> connectionWillSendRequest(
      URLConnection& connection, URLRequest request,
      const std::optional<URLResponse>& redirectResponse) override {
    if (!redirectResponse) return request;
    const platform::URL original = task_->originalRequest().value_or(URLRequest()).url();
    if (BCNRequestGuard::mayFollowRedirect(original, request.url())) {
      return BCNRequestGuard::requestForSending(std::move(request));
    }
    auto task = task_;
    const Error refused = BCNRequestGuard::redirectRefusedError(original, request.url());
    task->queue()->async([task, refused] { task->handleFailure(refused); });
    connection.cancel();
    return std::nullopt;
  }

  void connectionDidReceiveResponse(URLConnection&, const URLResponse& response) override {
    auto task = task_;
    task->queue()->async([task, response] { task->handleResponse(response); });
  }

  void connectionDidReceiveData(URLConnection&, const std::uint8_t* bytes,
                                std::size_t length) override {
    auto task = task_;
    task->queue()->async([task, data = Bytes(bytes, bytes + length)]() mutable {
      task->handleData(std::move(data));
    });
  }

  void connectionDidFailWithError(URLConnection&, const Error& error) override {
    auto task = task_;
    task->queue()->async([task, error] { task->handleFailure(error); });
  }

  void connectionDidFinishLoading(URLConnection&) override {
    auto task = task_;
    task->queue()->async([task] { task->handleFinished(); });
  }

 private:
  std::shared_ptr<CTRURLSessionDataTask> task_;
};

std::shared_ptr<CTRURLSessionDataTask> CTRURLSessionDataTask::task() {
  return std::make_shared<CTRURLSessionDataTask>();
}

CTRURLSessionDataTask::CTRURLSessionDataTask() = default;

CTRURLSessionDataTask::~CTRURLSessionDataTask() = default;

void CTRURLSessionDataTask::resume() {
  auto self = std::static_pointer_cast<CTRURLSessionDataTask>(shared_from_this());
  // While it loads, the task keeps its session (see the header's guarantee
  // 4), taken here so that a session dropped right after resume() stays.
  queue()->async([self, session = delegate()] { self->startConnection(session); });
}

void CTRURLSessionDataTask::startConnection(std::shared_ptr<CTRURLSessionTaskDelegate> session) {
  if (resumed_ || cancelled_.load()) return;
  resumed_ = true;
  keptSession_ = std::move(session);
  auto self = std::static_pointer_cast<CTRURLSessionDataTask>(shared_from_this());
  auto connection = URLConnection::create(
      BCNRequestGuard::requestForSending(originalRequest().value_or(URLRequest())),
      std::make_shared<ConnectionDelegate>(self));
  {
    std::lock_guard lock(mutex_);
    connection_ = connection;
  }
  connection->start();
}

void CTRURLSessionDataTask::cancel() {
  cancelled_.store(true);
  auto self = std::static_pointer_cast<CTRURLSessionDataTask>(shared_from_this());
  queue()->async([self] {
    if (auto connection = self->connection()) connection->cancel();
    self->releaseSession();
    // A cancelled task never completes: what its handlers hold (often the
    // owner of the session that holds this task) is let go now.
    self->dropHandlers();
  });
}

void CTRURLSessionDataTask::dropHandlers() {
  CTRURLSessionDataCompletion dropped;
  std::lock_guard lock(mutex_);
  dropped = std::move(completionHandler_);
  completionHandler_ = nullptr;
}

CTRURLSessionDataCompletion CTRURLSessionDataTask::completionHandler() const {
  std::lock_guard lock(mutex_);
  return completionHandler_;
}

void CTRURLSessionDataTask::setCompletionHandler(CTRURLSessionDataCompletion handler) {
  std::lock_guard lock(mutex_);
  completionHandler_ = std::move(handler);
}

std::optional<Bytes> CTRURLSessionDataTask::data() const {
  std::lock_guard lock(mutex_);
  return data_;
}

std::shared_ptr<URLConnection> CTRURLSessionDataTask::connection() const {
  std::lock_guard lock(mutex_);
  return connection_;
}

void CTRURLSessionDataTask::handleResponse(const URLResponse& response) {
  if (cancelled_.load() || completed_) return;
  if (auto session = delegate()) session->taskDidReceiveResponse(*this, response);
  setResponse(response);
}

void CTRURLSessionDataTask::handleData(Bytes bytes) {
  if (cancelled_.load() || completed_) return;
  {
    std::lock_guard lock(mutex_);
    if (!data_) data_.emplace();
    data_->insert(data_->end(), bytes.begin(), bytes.end());
  }
  if (auto session = delegate()) session->taskDidReceiveData(*this, bytes);
}

void CTRURLSessionDataTask::handleFailure(const Error& error) {
  if (cancelled_.load() || completed_) return;
  setError(error);
  complete();
}

void CTRURLSessionDataTask::handleFinished() {
  if (cancelled_.load() || completed_) return;
  complete();
}

bool CTRURLSessionDataTask::markCompleted() {
  if (completed_) return false;
  completed_ = true;
  return true;
}

void CTRURLSessionDataTask::releaseSession() { keptSession_.reset(); }

void CTRURLSessionDataTask::complete() {
  if (!markCompleted()) return;
  reportCompletion();
}

void CTRURLSessionDataTask::reportCompletion() {
  CTRURLSessionDataCompletion handler;
  std::optional<Bytes> data;
  {
    std::lock_guard lock(mutex_);
    handler = std::move(completionHandler_);  // runs once; let go of what it holds
    completionHandler_ = nullptr;
    data = data_;
  }
  const Error failure = error();
  if (handler) handler(data, response(), failure);
  if (auto session = delegate()) session->taskDidCompleteWithError(*this, failure);
  releaseSession();
}

// --- CTRURLSessionUploadTask ----------------------------------------------------

std::shared_ptr<CTRURLSessionUploadTask> CTRURLSessionUploadTask::task() {
  return std::make_shared<CTRURLSessionUploadTask>();
}

// --- CTRURLSessionDownloadTask ---------------------------------------------------

namespace {

std::string temporaryDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp && *tmp ? tmp : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace

std::shared_ptr<CTRURLSessionDownloadTask> CTRURLSessionDownloadTask::task() {
  return std::make_shared<CTRURLSessionDownloadTask>();
}

CTRURLSessionDownloadTask::CTRURLSessionDownloadTask() {
  const std::string path = temporaryDirectory() + "/" + platform::UUID::random().string();
  targetURL_ = URL::fileURLWithPath(path);
  outputStream_ = std::make_unique<platform::urlloading::FileOutputStream>(path, false);
}

CTRURLSessionDownloadTask::~CTRURLSessionDownloadTask() {
  if (outputStream_) outputStream_->close();
}

CTRURLSessionDownloadCompletion CTRURLSessionDownloadTask::downloadCompletionHandler() const {
  std::lock_guard lock(mutex_);
  return downloadCompletionHandler_;
}

void CTRURLSessionDownloadTask::setDownloadCompletionHandler(
    CTRURLSessionDownloadCompletion handler) {
  std::lock_guard lock(mutex_);
  downloadCompletionHandler_ = std::move(handler);
}

void CTRURLSessionDownloadTask::dropHandlers() {
  CTRURLSessionDataTask::dropHandlers();
  CTRURLSessionDownloadCompletion dropped;
  std::lock_guard lock(mutex_);
  dropped = std::move(downloadCompletionHandler_);
  downloadCompletionHandler_ = nullptr;
}

void CTRURLSessionDownloadTask::handleData(Bytes bytes) {
  if (cancelled_.load() || isCompleted()) return;
  using platform::urlloading::StreamStatus;
  if (outputStream_->streamStatus() == StreamStatus::kNotOpen) outputStream_->open();
  std::size_t written = 0;
  while (written < bytes.size()) {
    const long n = outputStream_->write(bytes.data() + written, bytes.size() - written);
    if (n <= 0) {
      failWriting();
      return;
    }
    written += static_cast<std::size_t>(n);
  }
}

void CTRURLSessionDownloadTask::failWriting() {
  outputStream_->close();
  if (auto connection = this->connection()) connection->cancel();
  if (!error()) setError(Error(kCTRURLSessionDownloadTaskErrorDomain, -1));
  complete();
}

void CTRURLSessionDownloadTask::handleFinished() {
  if (cancelled_.load() || isCompleted()) return;
  using platform::urlloading::StreamStatus;
  // An empty body still leaves a (empty) file at the location handed on.
  if (outputStream_->streamStatus() == StreamStatus::kNotOpen) outputStream_->open();
  if (outputStream_->streamStatus() == StreamStatus::kError) {
    failWriting();
    return;
  }
  complete();
}

void CTRURLSessionDownloadTask::complete() {
  if (!markCompleted()) return;
  outputStream_->close();
  CTRURLSessionDownloadCompletion handler;
  {
    std::lock_guard lock(mutex_);
    handler = std::move(downloadCompletionHandler_);
    downloadCompletionHandler_ = nullptr;
  }
  const Error failure = error();
  if (handler) handler(targetURL_, response(), failure);
  auto session = delegate();
  if (session && !failure) session->downloadTaskDidFinishDownloadingToURL(*this, targetURL_);
  if (session) session->taskDidCompleteWithError(*this, failure);
  releaseSession();
}

}  // namespace sdk
