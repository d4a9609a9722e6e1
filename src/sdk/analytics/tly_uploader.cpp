#include "sdk/analytics/tly_uploader.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/system/thermal_state.h"
#include "platform/urlloading/url_connection.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/platform/bcn_network_response_handler.h"

namespace sdk {
namespace {

constexpr const char* kLabel = "TLYUploader";

}  // namespace

// The session's delegate. The session keeps its delegate alive until it is
// invalidated, and dropped sessions are never invalidated (their running
// tasks still report), so the uploader is held weakly here: otherwise every
// session made would keep the uploader alive for good.
class TLYUploader::SessionDelegate : public CTRURLSessionDelegate {
 public:
  explicit SessionDelegate(std::weak_ptr<TLYUploader> uploader) : uploader_(std::move(uploader)) {}

  void URLSessionTaskDidCompleteWithError(CTRURLSession& session, CTRURLSessionTask& task,
                                          const platform::Error& error) override {
    if (auto uploader = uploader_.lock()) {
      uploader->URLSessionTaskDidCompleteWithError(session, task, error);
    }
  }
  void URLSessionDidBecomeInvalidWithError(CTRURLSession& session,
                                           const platform::Error& error) override {
    if (auto uploader = uploader_.lock()) {
      uploader->URLSessionDidBecomeInvalidWithError(session, error);
    }
  }
  void URLSessionDidReceiveChallenge(CTRURLSession& session,
                                     const platform::urlloading::AuthenticationChallenge& challenge,
                                     const CTRURLSessionChallengeCompletion& completion) override {
    if (auto uploader = uploader_.lock()) {
      uploader->URLSessionDidReceiveChallenge(session, challenge, completion);
      return;
    }
    completion(CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling, std::nullopt);
  }

 private:
  const std::weak_ptr<TLYUploader> uploader_;
};

TLYUploader::Ptr TLYUploader::initWithQueue(
    platform::OperationQueue::Ptr operationQueue, std::weak_ptr<TLYUploaderDelegate> delegate,
    std::shared_ptr<platform::ThermalStateMonitor> thermal) {
  auto uploader = std::make_shared<TLYUploader>(Passkey{}, std::move(operationQueue),
                                                std::move(delegate), std::move(thermal));
  if (uploader->supportsThermalNotifications()) {
    std::weak_ptr<TLYUploader> weak = uploader;
    uploader->thermalObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        platform::kProcessInfoThermalStateDidChangeNotification, nullptr, nullptr,
        [weak](const platform::Notification&) {
          if (auto self = weak.lock()) self->powerStageChanged();
        });
  }
  return uploader;
}

TLYUploader::TLYUploader(Passkey, platform::OperationQueue::Ptr operationQueue,
                         std::weak_ptr<TLYUploaderDelegate> delegate,
                         std::shared_ptr<platform::ThermalStateMonitor> thermal)
    : operationQueue_(std::move(operationQueue)),
      delegate_(std::move(delegate)),
      thermal_(thermal ? std::move(thermal) : platform::ThermalStateMonitor::system()) {}

TLYUploader::~TLYUploader() {
  if (thermalObserver_)
    platform::NotificationCenter::defaultCenter().removeObserver(thermalObserver_);
}

void TLYUploader::async(std::function<void(TLYUploader& self)> work) {
  auto self = shared_from_this();
  operationQueue_->addOperationWithBlock([self, work = std::move(work)] { work(*self); });
}

// --- settings ----------------------------------------------------------------

void TLYUploader::setDefaultUploadTimeout(double seconds) {
  async([seconds](TLYUploader& self) {
    {
      std::lock_guard lock(self.mutex_);
      self.defaultUploadTimeout_ = seconds;
    }
    self.dropSession();
  });
}

void TLYUploader::setLowPowerUploadTimeout(double seconds) {
  async([seconds](TLYUploader& self) {
    {
      std::lock_guard lock(self.mutex_);
      self.lowPowerUploadTimeout_ = seconds;
    }
    self.dropSession();
  });
}

void TLYUploader::powerStageChanged() {
  async([](TLYUploader& self) { self.dropSession(); });
}

double TLYUploader::defaultUploadTimeout() const {
  std::lock_guard lock(mutex_);
  return defaultUploadTimeout_;
}

double TLYUploader::lowPowerUploadTimeout() const {
  std::lock_guard lock(mutex_);
  return lowPowerUploadTimeout_;
}

bool TLYUploader::supportsThermalNotifications() const {
  return platform::ThermalStateMonitor::supportsThermalState();
}

bool TLYUploader::lowPowerMode() const {
  if (!supportsThermalNotifications()) return false;
  return thermal_->thermalState() != platform::ThermalState::Nominal;
}

bool TLYUploader::supportsBackgroundRequests() const {
  // Background requests would also need a host that is no app extension;
  // they are never used here, so the first condition decides.
  return shouldUseBackgroundRequests();
}

CTRURLSessionConfiguration::Ptr TLYUploader::createBackgroundSessionConfiguration() const {
  return CTRURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(
      kTLYBackgroundSessionIdentifier);
}

// --- the session ---------------------------------------------------------------

void TLYUploader::dropSession() {
  std::lock_guard lock(mutex_);
  session_.reset();
  sessionAllowsCellularAccess_.reset();
  sessionResourceTimeout_.reset();
}

CTRURLSession::Ptr TLYUploader::session() {
  {
    std::lock_guard lock(mutex_);
    if (session_) return session_;
  }
  CTRURLSessionConfiguration::Ptr configuration;
  if (supportsBackgroundRequests()) configuration = createBackgroundSessionConfiguration();
  if (!configuration) configuration = CTRURLSessionConfiguration::defaultSessionConfiguration();
  const bool lowPower = lowPowerMode();
  auto session = CTRURLSession::sessionWithConfiguration(
      configuration, std::make_shared<SessionDelegate>(weak_from_this()), operationQueue_);
  std::lock_guard lock(mutex_);
  session_ = session;
  sessionAllowsCellularAccess_ = !lowPower;
  sessionResourceTimeout_ = lowPower ? lowPowerUploadTimeout_ : defaultUploadTimeout_;
  return session_;
}

CTRURLSession::Ptr TLYUploader::currentSession() const {
  std::lock_guard lock(mutex_);
  return session_;
}

std::optional<bool> TLYUploader::sessionAllowsCellularAccess() const {
  std::lock_guard lock(mutex_);
  return sessionAllowsCellularAccess_;
}

std::optional<double> TLYUploader::sessionResourceTimeout() const {
  std::lock_guard lock(mutex_);
  return sessionResourceTimeout_;
}

std::size_t TLYUploader::runningTaskCount() const {
  std::lock_guard lock(mutex_);
  return runningTasks_.size();
}

// --- uploads ---------------------------------------------------------------------

void TLYUploader::startUploadRequest(const std::optional<platform::urlloading::URLRequest>& request,
                                     const std::optional<std::string>& filePath,
                                     const std::optional<std::string>& uniqueName) {
  async([request, filePath, uniqueName](TLYUploader& self) {
    self.startOnQueue(request, filePath, uniqueName);
  });
}

void TLYUploader::startOnQueue(const std::optional<platform::urlloading::URLRequest>& request,
                               const std::optional<std::string>& filePath,
                               const std::optional<std::string>& uniqueName) {
  // The session layer lists no tasks of its own; the uploader's record of
  // the tasks it started is what counts. It answers on this queue, as a
  // later operation, like the session's task listing would.
  async([request, filePath, uniqueName](TLYUploader& self) {
    bool exists = false;
    if (uniqueName) {
      std::lock_guard lock(self.mutex_);
      exists =
          self.runningTasks_.count(*uniqueName) > 0 || self.finishingTasks_.count(*uniqueName) > 0;
    }
    if (exists) {
      TLYLogger::sharedLogger().logWithLabel(kLabel, "A task currently exists for '%@', skipping",
                                             *uniqueName);
      return;
    }
    self.startNewUploadRequest(request, filePath, uniqueName);
  });
}

void TLYUploader::startNewUploadRequest(
    const std::optional<platform::urlloading::URLRequest>& request,
    const std::optional<std::string>& filePath, const std::optional<std::string>& uniqueName) {
  const std::string name = uniqueName.value_or("");
  if (!request || !filePath || filePath->empty() || name.empty()) {
    const platform::Error error =
        errorWithCode(kTLYUploaderInvalidArgument, errorUserInfoWithFilePath(filePath, uniqueName));
    async([name, error](TLYUploader& self) {
      self.handleTaskDescriptionCompletedWithError(name, error);
    });
    return;
  }
  if (::access(filePath->c_str(), R_OK) != 0) {
    const platform::Error error =
        errorWithCode(kTLYUploaderUnreadableFile, errorUserInfoWithFilePath(filePath, uniqueName));
    async([name, error](TLYUploader& self) {
      self.handleTaskDescriptionCompletedWithError(name, error);
    });
    return;
  }
  CTRURLSession::Ptr current = session();
  std::shared_ptr<CTRURLSessionUploadTask> task =
      current ? current->uploadTaskWithRequest(*request, platform::URL::fileURLWithPath(*filePath))
              : nullptr;
  if (!task) {
    // No task could be made: the outcome is the network client's "no task".
    async([name](TLYUploader& self) {
      self.handleTaskDescriptionCompletedWithError(
          name, BCNNetworkResponseHandler::errorForCode(kBCNNetworkErrorNoTask));
    });
    return;
  }
  task->setTaskDescription(name);
  {
    std::lock_guard lock(mutex_);
    runningTasks_.insert_or_assign(name, RunningTask{task, *request});
  }
  task->resume();
  limitTransferTime(task, name);
}

void TLYUploader::limitTransferTime(const std::shared_ptr<CTRURLSessionUploadTask>& task,
                                    const std::string& name) {
  // The session's resource time-out bounds the whole transfer (the request's
  // own time-out only bounds a pause): a task still running when it passes
  // is cancelled and completes as timed out, for the retry policy to judge.
  const double limit = sessionResourceTimeout().value_or(0);
  if (!(limit > 0)) return;
  std::weak_ptr<CTRURLSessionUploadTask> weakTask = task;
  std::weak_ptr<TLYUploader> weakSelf = weak_from_this();
  platform::dispatch::Queue::global()->after(std::min(limit, 1e9), [weakTask, weakSelf, name] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->async([weakTask, name](TLYUploader& uploader) {
      auto running = weakTask.lock();
      if (!running) return;
      {
        std::lock_guard lock(uploader.mutex_);
        auto it = uploader.runningTasks_.find(name);
        if (it == uploader.runningTasks_.end() || it->second.task != running) return;
      }
      running->cancel();
      uploader.completeTask(
          *running,
          platform::Error(
              platform::kURLErrorDomain, platform::urlloading::kURLErrorTimedOut,
              platform::Value::dictionary(
                  {{"NSLocalizedDescription", platform::Value("The request timed out.")}})));
    });
  });
}

void TLYUploader::URLSessionTaskDidCompleteWithError(CTRURLSession& session,
                                                     CTRURLSessionTask& task,
                                                     const platform::Error& error) {
  (void)session;
  completeTask(task, error);
}

void TLYUploader::completeTask(CTRURLSessionTask& task, const platform::Error& error) {
  const std::string name = task.taskDescription();
  platform::urlloading::URLRequest request =
      task.originalRequest().value_or(platform::urlloading::URLRequest());
  {
    std::lock_guard lock(mutex_);
    auto it = runningTasks_.find(name);
    if (it != runningTasks_.end() && it->second.task.get() == &task) {
      request = it->second.request;
      runningTasks_.erase(it);
      if (!name.empty()) finishingTasks_.insert(name);
    }
  }
  auto delegate = delegate_.lock();
  if (!delegate) {
    std::lock_guard lock(mutex_);
    finishingTasks_.erase(name);
    return;
  }
  std::weak_ptr<TLYUploader> weak = weak_from_this();
  delegate->uploaderCompletedRequest(
      *this, request, task.response(), name, error,
      [weak, name, request](bool retry, const platform::Error& decided) {
        auto self = weak.lock();
        if (!self) return;
        self->async([name, request, retry, decided](TLYUploader& uploader) {
          if (retry) {
            TLYLogger::sharedLogger().log("Retrying task with name %@", name);
            uploader.restartTask(name, request);
          } else {
            uploader.handleTaskDescriptionCompletedWithError(name, decided);
          }
        });
      });
}

void TLYUploader::restartTask(const std::string& uniqueName,
                              const platform::urlloading::URLRequest& request) {
  {
    std::lock_guard lock(mutex_);
    finishingTasks_.erase(uniqueName);
  }
  auto delegate = delegate_.lock();
  if (!delegate) return;
  const std::string path = delegate->uploaderFilePathForUniqueName(*this, uniqueName);
  startOnQueue(request, path, uniqueName);
}

void TLYUploader::handleTaskDescriptionCompletedWithError(const std::string& uniqueName,
                                                          const platform::Error& error) {
  if (auto delegate = delegate_.lock()) {
    delegate->uploaderDidFinishUploadWithUniqueName(*this, uniqueName, error);
  }
  // Only now, with the package removed or kept, may the name start again.
  std::lock_guard lock(mutex_);
  finishingTasks_.erase(uniqueName);
}

void TLYUploader::URLSessionDidBecomeInvalidWithError(CTRURLSession& session,
                                                      const platform::Error& error) {
  (void)session;
  TLYLogger::sharedLogger().logWithLabel(kLabel, "Error: session has become invalid %@", error);
}

void TLYUploader::URLSessionDidReceiveChallenge(
    CTRURLSession& session, const platform::urlloading::AuthenticationChallenge& challenge,
    const CTRURLSessionChallengeCompletion& completion) {
  if (auto delegate = delegate_.lock()) {
    // The uploader's current session, as the delegate expects (the one the
    // challenge's task runs on when no session was dropped since).
    CTRURLSession::Ptr current = currentSession();
    delegate->uploaderSessionDidReceiveChallenge(*this, current ? current.get() : &session,
                                                 challenge, completion);
    return;
  }
  completion(CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling, std::nullopt);
}

void TLYUploader::attemptToReconnectBackgroundSessionWithCompletionBlock(
    std::function<void()> completion) {
  async([completion = std::move(completion)](TLYUploader& self) {
    if (!self.supportsBackgroundRequests()) {
      if (completion) completion();
      return;
    }
    // Background sessions: the main queue hands the block back to ours.
    auto weak = self.weak_from_this();
    platform::dispatch::Queue::main()->async([weak, completion] {
      if (auto uploader = weak.lock()) {
        uploader->operationQueue_->addOperationWithBlock([completion] {
          if (completion) completion();
        });
      }
    });
  });
}

// --- errors ------------------------------------------------------------------------

platform::Error TLYUploader::errorWithCode(std::int64_t code, platform::Value userInfo) {
  return platform::Error(kBCNNetworkErrorDomain, code, std::move(userInfo));
}

platform::Value TLYUploader::errorUserInfoWithFilePath(
    const std::optional<std::string>& filePath, const std::optional<std::string>& uniqueName) {
  platform::Value info = platform::Value::mutableDictionary();
  info.set(platform::kFilePathErrorKey, platform::Value(filePath ? *filePath : "(null)"));
  info.set(kTLYUploaderUniqueNameKey, platform::Value(uniqueName ? *uniqueName : "(null)"));
  return info.copy();
}

}  // namespace sdk
