#include "sdk/platform/ctr_url_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

#include "platform/foundation/format.h"
#include "platform/system/file_util.h"
#include "platform/urlloading/stream.h"

namespace sdk {

using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::Value;
using platform::urlloading::AuthenticationChallenge;
using platform::urlloading::URLCredential;
using platform::urlloading::URLRequest;
using platform::urlloading::URLResponse;

namespace {

// Stands for the class object: its address names default delegate queues.
const char kCTRURLSessionClassTag = 0;

std::string headerText(const Value& value) {
  return value.isString() ? value.asString() : value.description();
}

void deleteDownloadedFile(const URL& location) {
  const std::string path = location.decodedPath();
  if (!path.empty()) ::unlink(path.c_str());
}

}  // namespace

bool CTRURLSession::NSURLSessionShouldBeUsed() {
  // The platform has no session class of its own: the session layer's
  // classes are the only ones.
  return false;
}

CTRURLSession::Ptr CTRURLSession::sessionWithConfiguration(
    const CTRURLSessionConfiguration::Ptr& configuration,
    std::shared_ptr<CTRURLSessionDelegate> delegate, platform::OperationQueue::Ptr delegateQueue) {
  if (!configuration) return nullptr;
  if (delegate && !delegateQueue) delegateQueue = newDefaultDelegateQueue();
  return std::make_shared<CTRURLSession>(Passkey{}, configuration->copy(), std::move(delegate),
                                         std::move(delegateQueue));
}

CTRURLSession::Ptr CTRURLSession::sessionWithConfiguration(
    const CTRURLSessionConfiguration::Ptr& configuration) {
  return sessionWithConfiguration(configuration, nullptr, nullptr);
}

platform::OperationQueue::Ptr CTRURLSession::newDefaultDelegateQueue() {
  auto queue = platform::OperationQueue::create(platform::format(
      "%@ %p", "CTRURLSession", static_cast<const void*>(&kCTRURLSessionClassTag)));
  queue->setMaxConcurrentOperationCount(1);
  return queue;
}

CTRURLSession::CTRURLSession(Passkey, CTRURLSessionConfiguration::Ptr configuration,
                             std::shared_ptr<CTRURLSessionDelegate> delegate,
                             platform::OperationQueue::Ptr delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(std::move(delegateQueue)),
      queue_(platform::dispatch::Queue::createSerial(kCTRURLSessionQueueLabel)),
      delegate_(std::move(delegate)) {}

CTRURLSession::~CTRURLSession() = default;

std::shared_ptr<CTRURLSessionDelegate> CTRURLSession::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

std::string CTRURLSession::sessionDescription() const {
  std::lock_guard lock(mutex_);
  return description_;
}

void CTRURLSession::setSessionDescription(std::string description) {
  std::lock_guard lock(mutex_);
  description_ = std::move(description);
}

std::string CTRURLSession::description() const {
  return platform::format("<CTRURLSession: %p> %@", this, sessionDescription());
}

// --- tasks ----------------------------------------------------------------------

void CTRURLSession::configureTask(const std::shared_ptr<CTRURLSessionTask>& task,
                                  const URLRequest& request,
                                  const std::function<void(URLRequest&)>& block) {
  URLRequest copy = request;
  queue_->sync([&] {
    VARNEL_DCHECK_ON_QUEUE(sessionQueue_);
    taskSet_.push_back(task);
    const Value headers = configuration_ ? configuration_->HTTPAdditionalHeaders() : Value();
    headers.forEach([&](const Value& key, const Value& value) {
      const std::string name = headerText(key);
      const std::string text = headerText(value);
      auto& fields = copy.allHTTPHeaderFields();
      if (auto existing = fields.get(name)) {
        fields.set(name, *existing + "," + text);
      } else {
        fields.add(name, text);
      }
      return true;
    });
  });
  if (block) block(copy);
  task->setOriginalRequest(std::move(copy));
  task->setDelegate(std::static_pointer_cast<CTRURLSessionTaskDelegate>(shared_from_this()));
}

std::shared_ptr<CTRURLSessionDataTask> CTRURLSession::dataTaskWithRequest(
    const URLRequest& request, CTRURLSessionDataCompletion completion) {
  auto task = CTRURLSessionDataTask::task();
  if (completion) {
    task->setCompletionHandler(std::move(completion));
    task->setInvokesDelegate(false);
  }
  configureTask(task, request, nullptr);
  return task;
}

std::shared_ptr<CTRURLSessionDataTask> CTRURLSession::dataTaskWithRequest(
    const URLRequest& request) {
  return dataTaskWithRequest(request, nullptr);
}

std::shared_ptr<CTRURLSessionUploadTask> CTRURLSession::uploadTaskWithRequest(
    const URLRequest& request, const URL& fileURL, CTRURLSessionDataCompletion completion) {
  auto task = CTRURLSessionUploadTask::task();
  if (completion) {
    task->setCompletionHandler(std::move(completion));
    task->setInvokesDelegate(false);
  }
  const std::string path = fileURL.isFileURL() ? fileURL.decodedPath() : fileURL.absoluteString();
  configureTask(task, request, [&path](URLRequest& copy) {
    copy.setHTTPBody({});
    struct stat st {};
    const bool regular = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    // A body held in memory can be sent again, so the load may use a kept
    // connection and leave it for the next one; a body read from a stream
    // takes a connection of its own each time. The SDK's files are small:
    // only a large one is streamed.
    std::optional<std::string> contents;
    if (regular && static_cast<std::uint64_t>(st.st_size) <= kCTRURLSessionInMemoryUploadLimit) {
      contents = platform::files::readFile(path);
    }
    if (contents) {
      copy.setHTTPBody(platform::Bytes(contents->begin(), contents->end()));
    } else {
      copy.setHTTPBodyStream(std::make_shared<platform::urlloading::FileInputStream>(path));
    }
    if (!copy.valueForHTTPHeaderField("Content-Length") && regular) {
      copy.setValueForHTTPHeaderField("Content-Length",
                                      std::to_string(contents ? contents->size() : st.st_size));
    }
  });
  return task;
}

std::shared_ptr<CTRURLSessionUploadTask> CTRURLSession::uploadTaskWithRequest(
    const URLRequest& request, const URL& fileURL) {
  return uploadTaskWithRequest(request, fileURL, nullptr);
}

std::shared_ptr<CTRURLSessionDownloadTask> CTRURLSession::downloadTaskWithRequest(
    const URLRequest& request, CTRURLSessionDownloadCompletion completion) {
  auto task = CTRURLSessionDownloadTask::task();
  if (completion) {
    task->setDownloadCompletionHandler(std::move(completion));
    task->setInvokesDelegate(false);
  }
  configureTask(task, request, nullptr);
  return task;
}

std::shared_ptr<CTRURLSessionDownloadTask> CTRURLSession::downloadTaskWithRequest(
    const URLRequest& request) {
  return downloadTaskWithRequest(request, nullptr);
}

std::shared_ptr<CTRURLSessionDownloadTask> CTRURLSession::downloadTaskWithURL(const URL& url) {
  return downloadTaskWithRequest(URLRequest(url));
}

void CTRURLSession::getTasksWithCompletionHandler(GetTasksHandler handler) {
  if (!handler) return;
  auto block = [handler = std::move(handler)] { handler({}, {}, {}); };
  if (delegateQueue_) {
    delegateQueue_->addOperationWithBlock(std::move(block));
  } else {
    platform::dispatch::Queue::global()->async(std::move(block));
  }
}

void CTRURLSession::invalidateAndCancel() {
  std::vector<std::shared_ptr<CTRURLSessionTask>> tasks;
  queue_->sync([&] {
    VARNEL_DCHECK_ON_QUEUE(sessionQueue_);
    tasks = taskSet_;
    for (const auto& task : tasks) task->cancel();
  });
  std::shared_ptr<CTRURLSessionDelegate> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped = std::move(delegate_);
    delegate_ = nullptr;
  }
}

void CTRURLSession::finishTasksAndInvalidate() {
  std::shared_ptr<CTRURLSessionDelegate> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped = std::move(delegate_);
    delegate_ = nullptr;
  }
}

std::size_t CTRURLSession::liveTaskCount() const {
  std::size_t count = 0;
  queue_->sync([&] {
    VARNEL_DCHECK_ON_QUEUE(sessionQueue_);
    count = taskSet_.size();
  });
  return count;
}

void CTRURLSession::removeTask(const std::shared_ptr<CTRURLSessionTask>& task) {
  auto self = shared_from_this();
  queue_->async([self, task] {
    VARNEL_DCHECK_ON_QUEUE(self->sessionQueue_);
    auto& set = self->taskSet_;
    set.erase(std::remove(set.begin(), set.end(), task), set.end());
  });
}

// --- forwarding -------------------------------------------------------------------

bool CTRURLSession::delegateForTask(const CTRURLSessionTask& task,
                                    std::shared_ptr<CTRURLSessionDelegate>* delegate) const {
  if (!task.invokesDelegate() || !delegateQueue_) return false;
  std::lock_guard lock(mutex_);
  if (!delegate_) return false;
  *delegate = delegate_;
  return true;
}

bool CTRURLSession::shouldInvokeDelegateForTask(const CTRURLSessionTask& task) const {
  std::shared_ptr<CTRURLSessionDelegate> delegate;
  return delegateForTask(task, &delegate);
}

void CTRURLSession::taskDidReceiveResponse(CTRURLSessionTask& task, const URLResponse& response) {
  std::shared_ptr<CTRURLSessionDelegate> delegate;
  if (!delegateForTask(task, &delegate)) return;
  auto dataTask = std::dynamic_pointer_cast<CTRURLSessionDataTask>(task.shared_from_this());
  if (!dataTask) return;
  delegateQueue_->addOperationWithBlock([self = shared_from_this(), delegate, dataTask, response] {
    delegate->URLSessionDataTaskDidReceiveResponse(*self, *dataTask, response,
                                                   [](CTRURLSessionResponseDisposition) {});
  });
}

void CTRURLSession::taskDidReceiveData(CTRURLSessionTask& task, const Bytes& data) {
  std::shared_ptr<CTRURLSessionDelegate> delegate;
  if (!delegateForTask(task, &delegate)) return;
  auto dataTask = std::dynamic_pointer_cast<CTRURLSessionDataTask>(task.shared_from_this());
  if (!dataTask) return;
  delegateQueue_->addOperationWithBlock([self = shared_from_this(), delegate, dataTask, data] {
    delegate->URLSessionDataTaskDidReceiveData(*self, *dataTask, data);
  });
}

void CTRURLSession::downloadTaskDidFinishDownloadingToURL(CTRURLSessionDownloadTask& task,
                                                          const URL& location) {
  std::shared_ptr<CTRURLSessionDelegate> delegate;
  if (!delegateForTask(task, &delegate)) {
    deleteDownloadedFile(location);
    return;
  }
  auto downloadTask = std::static_pointer_cast<CTRURLSessionDownloadTask>(task.shared_from_this());
  delegateQueue_->addOperationWithBlock(
      [self = shared_from_this(), delegate, downloadTask, location] {
        delegate->URLSessionDownloadTaskDidFinishDownloadingToURL(*self, *downloadTask, location);
        deleteDownloadedFile(location);
      });
}

void CTRURLSession::taskDidCompleteWithError(CTRURLSessionTask& task, const Error& error) {
  auto shared = task.shared_from_this();
  std::shared_ptr<CTRURLSessionDelegate> delegate;
  if (!delegateForTask(task, &delegate)) {
    removeTask(shared);
    return;
  }
  delegateQueue_->addOperationWithBlock([self = shared_from_this(), delegate, shared, error] {
    delegate->URLSessionTaskDidCompleteWithError(*self, *shared, error);
    self->removeTask(shared);
  });
}

void CTRURLSession::taskDidReceiveServerTrustChallenge(CTRURLSessionTask& task,
                                                       const AuthenticationChallenge& challenge) {
  (void)task;
  auto delegate = this->delegate();
  if (!delegate) {
    challenge.sender()->continueWithoutCredential(challenge);
    return;
  }
  // The connection waits for the answer inside this call; an answer that
  // comes later (from another thread) is dropped, and the default
  // evaluation applies.
  struct Gate {
    std::mutex mutex;
    bool open = true;
  };
  auto gate = std::make_shared<Gate>();
  const AuthenticationChallenge* current = &challenge;
  CTRURLSessionChallengeCompletion completion =
      [gate, current](CTRURLSessionAuthChallengeDisposition disposition,
                      const std::optional<URLCredential>& credential) {
        std::lock_guard lock(gate->mutex);
        if (!gate->open) return;
        const auto& sender = current->sender();
        switch (disposition) {
          case CTRURLSessionAuthChallengeDisposition::kUseCredential:
            if (credential) {
              sender->useCredential(*credential, *current);
            } else {
              sender->continueWithoutCredential(*current);
            }
            break;
          case CTRURLSessionAuthChallengeDisposition::kCancelAuthenticationChallenge:
            sender->cancel(*current);
            break;
          case CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling:
          case CTRURLSessionAuthChallengeDisposition::kRejectProtectionSpace:
            sender->continueWithoutCredential(*current);
            break;
        }
      };
  delegate->URLSessionDidReceiveChallenge(*this, challenge, completion);
  std::lock_guard lock(gate->mutex);
  gate->open = false;
}

}  // namespace sdk
