// CTRURLSession: the SDK's URL session. The factories hand out the
// platform's own session when it has a usable one
// (NSURLSessionShouldBeUsed); this platform has none, so they make a session
// of this class, whose tasks (sdk/platform/ctr_url_session_task.h) each run
// one platform URLConnection and report to the session, which forwards what
// its owner's delegate wants onto the owner's delegate queue.
//
// Guarantees:
//  1. A task is made configured and idle: the configuration's additional
//     header fields are appended to a copy of the request (a field the
//     request already has gets a second value), the task joins the live set
//     and the session becomes its delegate. A task made with a completion
//     handler has invokesDelegate off.
//  2. Delegate calls (response, data, download finished, completion) are
//     made only for tasks with invokesDelegate, only while the session has a
//     delegate, each as one operation on the delegate queue with the session
//     as first argument. After URLSessionTaskDidCompleteWithError the task
//     leaves the live set; after URLSessionDownloadTaskDidFinishDownloadingToURL
//     the downloaded file is deleted. Without a delegate call both happen at
//     once. Completion handlers run on the task's own queue, not on the
//     delegate queue.
//  3. Server-trust challenges of every task's connection go to the
//     delegate's URLSessionDidReceiveChallenge on the network thread, while
//     the connection waits: the delegate must answer inside the call (a
//     later answer is ignored and counts as default handling). This is
//     where certificate pinning plugs in. Other challenges get the default
//     handling.
//  4. The live set is touched only on the session's serial queue
//     ("com.crashtrail.URLSession"); task creation and invalidateAndCancel()
//     wait for that queue, removal does not. Never call them from a block
//     running on that queue.
//  5. invalidateAndCancel() cancels every live task, then drops the
//     delegate; finishTasksAndInvalidate() only drops the delegate. The
//     session stays usable: later tasks simply find no delegate. Neither
//     calls URLSessionDidBecomeInvalidWithError.
//  6. getTasksWithCompletionHandler() reports three empty lists, on the
//     delegate queue (on a global queue when the session has none).
// Loads do not need the main run loop: they run on the URL loading layer's
// network thread.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/queue_checker.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/system/operation_queue.h"
#include "platform/urlloading/url_connection.h"
#include "platform/urlloading/url_request.h"
#include "sdk/platform/ctr_url_session_configuration.h"
#include "sdk/platform/ctr_url_session_task.h"

namespace sdk {

inline constexpr const char* kCTRURLSessionQueueLabel = "com.crashtrail.URLSession";

class CTRURLSession;

// The platform's challenge dispositions, with their numbers.
enum class CTRURLSessionAuthChallengeDisposition : int {
  kUseCredential = 0,
  kPerformDefaultHandling = 1,
  kCancelAuthenticationChallenge = 2,
  kRejectProtectionSpace = 3,
};
using CTRURLSessionChallengeCompletion =
    std::function<void(CTRURLSessionAuthChallengeDisposition disposition,
                       const std::optional<platform::urlloading::URLCredential>& credential)>;

enum class CTRURLSessionResponseDisposition : int { kCancel = 0, kAllow = 1, kBecomeDownload = 2 };

// The session delegate of the platform's session API; every method is
// optional. The defaults do nothing, except URLSessionDidReceiveChallenge,
// which answers with the default handling.
// Upload files up to this size are sent from memory.
inline constexpr std::uint64_t kCTRURLSessionInMemoryUploadLimit = 4 * 1024 * 1024;

class CTRURLSessionDelegate {
 public:
  virtual ~CTRURLSessionDelegate() = default;
  // Never called by this session (see guarantee 5); for the platform's.
  virtual void URLSessionDidBecomeInvalidWithError(CTRURLSession& session,
                                                   const platform::Error& error) {
    (void)session;
    (void)error;
  }
  // See guarantee 3: network thread, answer inside the call.
  virtual void URLSessionDidReceiveChallenge(
      CTRURLSession& session, const platform::urlloading::AuthenticationChallenge& challenge,
      const CTRURLSessionChallengeCompletion& completion) {
    (void)session;
    (void)challenge;
    completion(CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling, std::nullopt);
  }
  virtual void URLSessionTaskDidCompleteWithError(CTRURLSession& session, CTRURLSessionTask& task,
                                                  const platform::Error& error) {
    (void)session;
    (void)task;
    (void)error;
  }
  // The completion block is ignored by this session.
  virtual void URLSessionDataTaskDidReceiveResponse(
      CTRURLSession& session, CTRURLSessionDataTask& task,
      const platform::urlloading::URLResponse& response,
      const std::function<void(CTRURLSessionResponseDisposition)>& completion) {
    (void)session;
    (void)task;
    (void)response;
    (void)completion;
  }
  virtual void URLSessionDataTaskDidReceiveData(CTRURLSession& session, CTRURLSessionDataTask& task,
                                                const platform::Bytes& data) {
    (void)session;
    (void)task;
    (void)data;
  }
  // The file is deleted when this returns.
  virtual void URLSessionDownloadTaskDidFinishDownloadingToURL(CTRURLSession& session,
                                                               CTRURLSessionDownloadTask& task,
                                                               const platform::URL& location) {
    (void)session;
    (void)task;
    (void)location;
  }
  virtual void URLSessionDidFinishEventsForBackgroundURLSession(CTRURLSession& session) {
    (void)session;
  }
};

class CTRURLSession : public CTRURLSessionTaskDelegate,
                      public std::enable_shared_from_this<CTRURLSession> {
  struct Passkey {};

 public:
  using Ptr = std::shared_ptr<CTRURLSession>;
  using GetTasksHandler = std::function<void(
      const std::vector<std::shared_ptr<CTRURLSessionDataTask>>& dataTasks,
      const std::vector<std::shared_ptr<CTRURLSessionUploadTask>>& uploadTasks,
      const std::vector<std::shared_ptr<CTRURLSessionDownloadTask>>& downloadTasks)>;

  // True when the platform has a usable session API of its own; this
  // platform has none, so false.
  static bool NSURLSessionShouldBeUsed();

  // nullptr for a nullptr configuration. Otherwise a new session with the
  // delegate (owned until invalidated), the delegate queue (a new one from
  // newDefaultDelegateQueue() when a delegate comes without one; none with
  // neither) and a copy of the configuration.
  static Ptr sessionWithConfiguration(const CTRURLSessionConfiguration::Ptr& configuration,
                                      std::shared_ptr<CTRURLSessionDelegate> delegate,
                                      platform::OperationQueue::Ptr delegateQueue);
  static Ptr sessionWithConfiguration(const CTRURLSessionConfiguration::Ptr& configuration);
  // A new operation queue named "%@ %p" (the class name, the address of the
  // class's tag object) running one operation at a time.
  static platform::OperationQueue::Ptr newDefaultDelegateQueue();

  CTRURLSession(Passkey, CTRURLSessionConfiguration::Ptr configuration,
                std::shared_ptr<CTRURLSessionDelegate> delegate,
                platform::OperationQueue::Ptr delegateQueue);
  ~CTRURLSession() override;

  std::shared_ptr<CTRURLSessionDelegate> delegate() const;
  const platform::OperationQueue::Ptr& delegateQueue() const { return delegateQueue_; }
  // The session's own copy.
  const CTRURLSessionConfiguration::Ptr& configuration() const { return configuration_; }
  std::string sessionDescription() const;
  void setSessionDescription(std::string description);

  // --- tasks (made configured, not started; see guarantee 1) -------------
  std::shared_ptr<CTRURLSessionDataTask> dataTaskWithRequest(
      const platform::urlloading::URLRequest& request, CTRURLSessionDataCompletion completion);
  std::shared_ptr<CTRURLSessionDataTask> dataTaskWithRequest(
      const platform::urlloading::URLRequest& request);
  // The body is read from the file at `fileURL` (a file URL): at once when
  // it is at most kCTRURLSessionInMemoryUploadLimit bytes (so the load can
  // reuse a kept connection), else streamed while sending. Its size goes
  // into "Content-Length" unless the request has one.
  std::shared_ptr<CTRURLSessionUploadTask> uploadTaskWithRequest(
      const platform::urlloading::URLRequest& request, const platform::URL& fileURL,
      CTRURLSessionDataCompletion completion);
  std::shared_ptr<CTRURLSessionUploadTask> uploadTaskWithRequest(
      const platform::urlloading::URLRequest& request, const platform::URL& fileURL);
  std::shared_ptr<CTRURLSessionDownloadTask> downloadTaskWithRequest(
      const platform::urlloading::URLRequest& request, CTRURLSessionDownloadCompletion completion);
  std::shared_ptr<CTRURLSessionDownloadTask> downloadTaskWithRequest(
      const platform::urlloading::URLRequest& request);
  std::shared_ptr<CTRURLSessionDownloadTask> downloadTaskWithURL(const platform::URL& url);

  // See guarantee 6.
  void getTasksWithCompletionHandler(GetTasksHandler handler);

  // See guarantee 5.
  void invalidateAndCancel();
  void finishTasksAndInvalidate();

  // The number of live tasks (waits for the session queue).
  std::size_t liveTaskCount() const;
  // Whether a call for `task` goes to the delegate (guarantee 2).
  bool shouldInvokeDelegateForTask(const CTRURLSessionTask& task) const;

  // --- CTRURLSessionTaskDelegate (called by the tasks) ----------------------
  void taskDidCompleteWithError(CTRURLSessionTask& task, const platform::Error& error) override;
  void taskDidReceiveResponse(CTRURLSessionTask& task,
                              const platform::urlloading::URLResponse& response) override;
  void taskDidReceiveData(CTRURLSessionTask& task, const platform::Bytes& data) override;
  void downloadTaskDidFinishDownloadingToURL(CTRURLSessionDownloadTask& task,
                                             const platform::URL& location) override;
  void taskDidReceiveServerTrustChallenge(
      CTRURLSessionTask& task,
      const platform::urlloading::AuthenticationChallenge& challenge) override;

  std::string description() const;

 private:
  // Adds `task` to the live set, builds its request from `request` (the
  // additional headers appended, then `block` applied) and sets this
  // session as its delegate.
  void configureTask(const std::shared_ptr<CTRURLSessionTask>& task,
                     const platform::urlloading::URLRequest& request,
                     const std::function<void(platform::urlloading::URLRequest&)>& block);
  void removeTask(const std::shared_ptr<CTRURLSessionTask>& task);
  // The delegate and queue when a call for `task` is to be made.
  bool delegateForTask(const CTRURLSessionTask& task,
                       std::shared_ptr<CTRURLSessionDelegate>* delegate) const;

  const CTRURLSessionConfiguration::Ptr configuration_;
  const platform::OperationQueue::Ptr delegateQueue_;
  const platform::dispatch::QueuePtr queue_;

  mutable std::mutex mutex_;  // guards delegate_ and description_
  std::shared_ptr<CTRURLSessionDelegate> delegate_;
  std::string description_;

  // The session queue (queue_) owns taskSet_; checked in checked builds.
  platform::dispatch::QueueChecker sessionQueue_{queue_};
  std::vector<std::shared_ptr<CTRURLSessionTask>> taskSet_;  // session queue only
};

}  // namespace sdk
