// sdk::TLYUploader: runs the uploads of packaged event logs.
//
// It keeps one URL session of the SDK's session layer (CTRURLSession),
// tags every upload task with a unique name (the package's boundary),
// refuses to start a second task for a name that already has one running,
// reports each outcome to its delegate (the analytics controller) and
// restarts a task when the delegate's retry policy asks for it. The session
// is made on first need and dropped (not invalidated) when a time-out or the
// machine's thermal state changes; running tasks of a dropped session go on
// and still report here.
//
// Guarantees:
//  1. Every state change and every delegate call happens on the operation
//     queue given at construction (the controller's serial event queue),
//     except uploaderSessionDidReceiveChallenge (see 4). Public calls may
//     come from any thread: they queue their work there.
//  2. A start whose name has a running task is logged with the label
//     "TLYUploader" ("A task currently exists for '%@', skipping") and
//     ignored: the delegate hears nothing of it; the earlier task's outcome
//     is the one reported. The uploader keeps its own record of running
//     tasks for this: the session layer reports no tasks of its own.
//  3. An absent request or an empty path or name is reported as error -2, a
//     file that cannot be read as error -8 (domain "BCNNetworkError",
//     userInfo "NSFilePath" = the path and "TLYUploaderUniqueName" = the
//     name, each the text "(null)" when absent); neither reaches the
//     network.
//  4. Server-trust challenges arrive on the URL loading layer's network
//     thread and are answered inside the call (the connection waits): the
//     delegate's uploaderSessionDidReceiveChallenge gets them.
//  5. A finished task goes to the delegate's uploaderCompletedRequest; its
//     answer decides: retry logs "Retrying task with name %@" and starts the
//     same request again from the path the delegate gives for the name; no
//     retry reports the answer's error through uploaderDidFinishUpload.
//     The answer may come on any thread, at any later time.
//
// Low-power mode is the machine's thermal state above nominal. The session
// is made with cellular access allowed exactly outside low-power mode and a
// resource time-out of lowPowerUploadTimeout in low-power mode, else
// defaultUploadTimeout; the session layer's configuration offers neither
// switch, so they are recorded (sessionAllowsCellularAccess,
// sessionResourceTimeout) and do not shape the transport. Background
// sessions do not exist on this platform.
//
// Thread safety: every public member may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/foundation/error.h"
#include "platform/system/notification_center.h"
#include "platform/system/operation_queue.h"
#include "platform/system/thermal_state.h"
#include "platform/urlloading/url_connection.h"
#include "platform/urlloading/url_request.h"
#include "sdk/platform/ctr_url_session.h"
#include "sdk/platform/ctr_url_session_configuration.h"

namespace sdk {

class TLYUploader;

inline constexpr const char* kTLYUploaderUniqueNameKey = "TLYUploaderUniqueName";
inline constexpr const char* kTLYBackgroundSessionIdentifier = "io.tally.background-session";
inline constexpr std::int64_t kTLYUploaderInvalidArgument = -2;
inline constexpr std::int64_t kTLYUploaderUnreadableFile = -8;
inline constexpr double kTLYDefaultUploadTimeout = 3600;
inline constexpr double kTLYLowPowerUploadTimeout = 21600;

// Implemented by the analytics controller. Calls come on the uploader's
// operation queue, except the challenge (network thread, see guarantee 4).
class TLYUploaderDelegate {
 public:
  // (retry, error): the decision on a finished task; error empty for none.
  using RetryDecision = std::function<void(bool retry, const platform::Error& error)>;

  virtual ~TLYUploaderDelegate() = default;
  // The package file path for a unique name (used to restart a task).
  virtual std::string uploaderFilePathForUniqueName(TLYUploader& uploader,
                                                    const std::string& uniqueName) = 0;
  // The final outcome of a unique name; `error` is empty on success. An
  // absent name comes as "".
  virtual void uploaderDidFinishUploadWithUniqueName(TLYUploader& uploader,
                                                     const std::string& uniqueName,
                                                     const platform::Error& error) = 0;
  // Asks the retry policy about a finished task (`error` is the task's
  // transport error, empty when none). Call `completionHandler` once.
  virtual void uploaderCompletedRequest(
      TLYUploader& uploader, const platform::urlloading::URLRequest& request,
      const std::optional<platform::urlloading::URLResponse>& response,
      const std::string& uniqueName, const platform::Error& error,
      RetryDecision completionHandler) = 0;
  // Optional: answers a server-trust challenge inside the call. The default
  // gives the default handling with no credential.
  virtual void uploaderSessionDidReceiveChallenge(
      TLYUploader& uploader, CTRURLSession* session,
      const platform::urlloading::AuthenticationChallenge& challenge,
      const CTRURLSessionChallengeCompletion& completion) {
    (void)uploader;
    (void)session;
    (void)challenge;
    completion(CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling, std::nullopt);
  }
};

class TLYUploader : public std::enable_shared_from_this<TLYUploader> {
  struct Passkey {};

 public:
  using Ptr = std::shared_ptr<TLYUploader>;

  // -initWithQueue:delegate: sets the starting time-outs (3600 s default,
  // 21600 s low-power) and observes the thermal-state notification.
  // `thermal` is the monitor whose state decides low-power mode (nullptr:
  // the machine's, ThermalStateMonitor::system()).
  static Ptr initWithQueue(platform::OperationQueue::Ptr operationQueue,
                           std::weak_ptr<TLYUploaderDelegate> delegate,
                           std::shared_ptr<platform::ThermalStateMonitor> thermal = nullptr);
  static Ptr create(platform::OperationQueue::Ptr operationQueue,
                    std::weak_ptr<TLYUploaderDelegate> delegate,
                    std::shared_ptr<platform::ThermalStateMonitor> thermal = nullptr) {
    return initWithQueue(std::move(operationQueue), std::move(delegate), std::move(thermal));
  }
  TLYUploader(Passkey, platform::OperationQueue::Ptr operationQueue,
              std::weak_ptr<TLYUploaderDelegate> delegate,
              std::shared_ptr<platform::ThermalStateMonitor> thermal);
  ~TLYUploader();
  TLYUploader(const TLYUploader&) = delete;
  TLYUploader& operator=(const TLYUploader&) = delete;

  // Checks for a running task of `uniqueName`, then starts a new upload
  // task of `request` with the file at `filePath` as its body (guarantees
  // 2, 3, 5). Returns at once; the work runs on the operation queue.
  void startUploadRequest(const std::optional<platform::urlloading::URLRequest>& request,
                          const std::optional<std::string>& filePath,
                          const std::optional<std::string>& uniqueName);
  // On the operation queue: runs `completion` at once (background sessions
  // are not supported here, so there is nothing to reconnect).
  void attemptToReconnectBackgroundSessionWithCompletionBlock(std::function<void()> completion);

  // On the operation queue: store the value and drop the session (even when
  // the value is unchanged).
  void setDefaultUploadTimeout(double seconds);
  void setLowPowerUploadTimeout(double seconds);
  // On the operation queue: drop the session (thermal state changed).
  void powerStageChanged();

  double defaultUploadTimeout() const;
  double lowPowerUploadTimeout() const;
  // True when the thermal state is offered and is above nominal.
  bool lowPowerMode() const;
  bool supportsThermalNotifications() const;
  // Always false on this platform.
  bool shouldUseBackgroundRequests() const { return false; }
  bool supportsBackgroundRequests() const;
  // nullptr: background configurations do not exist here.
  CTRURLSessionConfiguration::Ptr createBackgroundSessionConfiguration() const;

  const platform::OperationQueue::Ptr& operationQueue() const { return operationQueue_; }
  std::shared_ptr<TLYUploaderDelegate> delegate() const { return delegate_.lock(); }

  // --- on the operation queue ---------------------------------------------
  // The current session, made when there is none.
  CTRURLSession::Ptr session();
  // The session as it is (nullptr when none was made or it was dropped).
  CTRURLSession::Ptr currentSession() const;
  // What the current session was made with (see the top of this file);
  // nullopt while there is no session.
  std::optional<bool> sessionAllowsCellularAccess() const;
  std::optional<double> sessionResourceTimeout() const;
  // The names of running tasks.
  std::size_t runningTaskCount() const;

  // Session callbacks (forwarded by the session's delegate).
  void URLSessionTaskDidCompleteWithError(CTRURLSession& session, CTRURLSessionTask& task,
                                          const platform::Error& error);
  void URLSessionDidBecomeInvalidWithError(CTRURLSession& session, const platform::Error& error);
  void URLSessionDidReceiveChallenge(CTRURLSession& session,
                                     const platform::urlloading::AuthenticationChallenge& challenge,
                                     const CTRURLSessionChallengeCompletion& completion);

  // Steps (operation queue).
  void restartTask(const std::string& uniqueName, const platform::urlloading::URLRequest& request);
  void handleTaskDescriptionCompletedWithError(const std::string& uniqueName,
                                               const platform::Error& error);
  static platform::Error errorWithCode(std::int64_t code, platform::Value userInfo);
  static platform::Value errorUserInfoWithFilePath(const std::optional<std::string>& filePath,
                                                   const std::optional<std::string>& uniqueName);

 private:
  // Reports a finished task to the delegate's retry policy.
  void completeTask(CTRURLSessionTask& task, const platform::Error& error);
  // Ends `task` as timed out once the session's resource time-out passes.
  void limitTransferTime(const std::shared_ptr<CTRURLSessionUploadTask>& task,
                         const std::string& name);
  class SessionDelegate;
  struct RunningTask {
    std::shared_ptr<CTRURLSessionUploadTask> task;
    platform::urlloading::URLRequest request;
  };

  void async(std::function<void(TLYUploader& self)> work);
  void dropSession();
  void startOnQueue(const std::optional<platform::urlloading::URLRequest>& request,
                    const std::optional<std::string>& filePath,
                    const std::optional<std::string>& uniqueName);
  void startNewUploadRequest(const std::optional<platform::urlloading::URLRequest>& request,
                             const std::optional<std::string>& filePath,
                             const std::optional<std::string>& uniqueName);

  const platform::OperationQueue::Ptr operationQueue_;
  const std::weak_ptr<TLYUploaderDelegate> delegate_;
  const std::shared_ptr<platform::ThermalStateMonitor> thermal_;
  platform::NotificationCenter::ObserverToken thermalObserver_;

  mutable std::mutex mutex_;  // guards the fields below (changed on the operation queue)
  double defaultUploadTimeout_ = kTLYDefaultUploadTimeout;
  double lowPowerUploadTimeout_ = kTLYLowPowerUploadTimeout;
  CTRURLSession::Ptr session_;
  std::optional<bool> sessionAllowsCellularAccess_;
  std::optional<double> sessionResourceTimeout_;
  std::map<std::string, RunningTask> runningTasks_;
  // Names whose task completed and whose outcome (a retry, or the
  // delegate's finish) is still pending: a new request for one of them is
  // skipped like one for a running task, or a package offered twice could be
  // sent again before the delegate removed it.
  std::set<std::string> finishingTasks_;
};

}  // namespace sdk
