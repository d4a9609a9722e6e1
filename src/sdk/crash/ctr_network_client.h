// sdk::CTRNetworkClient: uploads crash report packages (the
// "<boundary>.multipartmime" files of the prepared directory) and tells its
// delegate, the crash reporting controller, the final result of each.
//
// It runs one URL session of the SDK's session layer (CTRURLSession), made
// on first use with the default configuration: this platform has no
// background sessions, so supportsBackgroundRequests() is false and every
// upload goes through the connection-based session (or, for urgent
// submissions, a synchronous upload on the caller's thread).
//
// Guarantees:
//  1. Every upload task is named by its task description: the package's
//     path relative to the file manager's rootPath() (for example
//     "v3/prepared/<boundary>.multipartmime"). A non-immediate start whose
//     description already has a task (running, or waiting to be restarted)
//     starts nothing and logs "[Crashtrail:Crash:Client] A task currently
//     exists for this upload, skipping" (debug mode). The client keeps its
//     own record of its tasks for this: the session layer lists none.
//  2. Session callbacks, the duplicate checks, the restarts and every
//     delegate call of a task run on the work queue given at creation.
//  3. A finished task is judged by BCNNetworkResponseHandler: success needs
//     200, 201, 202, 204 or 304 and a content type that matches the
//     request's "Accept"/"Accept-Charset". A time-out, 408, 420, 429 or 5xx
//     restarts the same request with the same file after the response's
//     "Retry-After" (2 s when missing or negative; capped at
//     kCTRNetworkClientMaxRestartDelay), counted on a global queue; any
//     other outcome goes to networkClientDidFinishUploadWithPath with the
//     error (none on success).
//  4. A package that cannot be read: on the task path the delegate gets
//     "CTRNetworkError" -2 with {"path": the package path}; on the
//     immediate path only the SDK log gets "Error: file unreadable".
//  5. An immediate upload (no background support) blocks the caller until
//     the upload ends, at most the request's time-out; only a success is
//     reported (on the calling thread, before the call returns); any other
//     outcome leaves the package for a later launch.
//  6. Server certificates are checked against the pinned certificates
//     given at creation (by default the SDK's, BCNPinnedCertificates) on
//     both paths, except in debug
//     mode (Beacon::debug), where the default evaluation applies.
//  7. Paths that are not below rootPath() (lexically, after resolving "."
//     and ".." components) have no relative form: the SDK log gets "Error:
//     path '%s' is not at the root '%s'", and such a package's task is
//     named by its absolute path instead (a description that begins with
//     "/" is taken as absolute when converted back).
//
// Thread safety: every public member may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/system/operation_queue.h"
#include "platform/urlloading/url_connection.h"
#include "platform/urlloading/url_request.h"
#include "sdk/crash/ctr_file_manager.h"
#include "sdk/platform/bcn_certificate_pinner.h"
#include "sdk/platform/bcn_network_response_handler.h"
#include "sdk/platform/bcn_pinned_certificates.h"
#include "sdk/platform/ctr_url_session.h"

namespace sdk {

inline constexpr const char* kCTRNetworkErrorDomain = "CTRNetworkError";
// The package file cannot be read (userInfo {"path": the package path}).
inline constexpr std::int64_t kCTRNetworkErrorUnreadableFile = -2;
inline constexpr const char* kCTRNetworkErrorPathKey = "path";
inline constexpr const char* kCTRBackgroundSessionIdentifier =
    "com.beacon.crashtrail.mac.crash.background-session";
// The longest wait before a restart, in seconds (one day): a huge
// "Retry-After" must not overflow the timer.
inline constexpr double kCTRNetworkClientMaxRestartDelay = 24.0 * 3600;

class CTRNetworkClient;

// Implemented by the crash reporting controller.
class CTRNetworkClientDelegate {
 public:
  virtual ~CTRNetworkClientDelegate() = default;
  // Asked once, when the client is made.
  virtual bool networkClientCanUseBackgroundSessions(CTRNetworkClient& client) = 0;
  // The final result of one package (absolute path); `error` is empty on
  // success.
  virtual void networkClientDidFinishUploadWithPath(CTRNetworkClient& client,
                                                    const std::string& path,
                                                    const platform::Error& error) = 0;
};

class CTRNetworkClient : public std::enable_shared_from_this<CTRNetworkClient> {
  struct Passkey {};

 public:
  using Ptr = std::shared_ptr<CTRNetworkClient>;
  // Schedules `block` after `seconds` (tests replace the default, which is
  // dispatch after on the global queue of default priority).
  using RestartScheduler = std::function<void(double seconds, std::function<void()> block)>;

  // A certificate pinner with `certificates`, or with the SDK's pinned
  // certificates (BCNPinnedCertificates) when null.
  static std::shared_ptr<BCNCertificatePinner> pinner(
      std::shared_ptr<const BCNCertificateList> certificates = nullptr);

  // initWithQueue:fileManager:delegate: asks the delegate
  // networkClientCanUseBackgroundSessions once. `pinnedCertificates` are
  // the certificates its uploads trust: the SDK's pinned certificates of the
  // running program when null; the crash reporting controller passes those
  // of its program, a test's loopback service its own.
  static Ptr create(platform::OperationQueue::Ptr operationQueue,
                    std::shared_ptr<CTRFileManager> fileManager,
                    std::weak_ptr<CTRNetworkClientDelegate> delegate,
                    std::shared_ptr<const BCNCertificateList> pinnedCertificates = nullptr);
  CTRNetworkClient(Passkey, platform::OperationQueue::Ptr operationQueue,
                   std::shared_ptr<CTRFileManager> fileManager,
                   std::weak_ptr<CTRNetworkClientDelegate> delegate,
                   std::shared_ptr<const BCNCertificateList> pinnedCertificates);
  ~CTRNetworkClient();
  CTRNetworkClient(const CTRNetworkClient&) = delete;
  CTRNetworkClient& operator=(const CTRNetworkClient&) = delete;

  const platform::OperationQueue::Ptr& operationQueue() const { return operationQueue_; }
  const std::shared_ptr<CTRFileManager>& fileManager() const { return fileManager_; }
  const std::shared_ptr<BCNCertificatePinner>& certPinner() const { return certPinner_; }
  std::shared_ptr<CTRNetworkClientDelegate> delegate() const;
  // Replaces the delegate (it is not asked about background sessions again).
  void setDelegate(std::weak_ptr<CTRNetworkClientDelegate> delegate);

  // The delegate's answer at creation.
  bool canUseBackgroundSession() const { return canUseBackgroundSession_; }
  // Not in an application extension, URL sessions available and
  // canUseBackgroundSession(): always false on this platform.
  bool supportsBackgroundRequests() const;
  // The session layer's answer (CTRURLSession::NSURLSessionShouldBeUsed).
  static bool NSURLSessionAvailable();

  // With background support the block goes through the main operation
  // queue; without it (always here) it runs at once, on the calling thread.
  void attemptToReconnectBackgroundSessionWithCompletionBlock(std::function<void()> completion);

  // Starts one upload of `filePath` (absolute) with `request` (see
  // guarantees 1 and 5). A non-immediate start returns at once; its work
  // runs on the work queue.
  void startUploadRequest(const platform::urlloading::URLRequest& request,
                          const std::string& filePath, bool immediately);

  // See guarantee 7.
  std::optional<std::string> relativeTaskPathForAbsolutePath(const std::string& path) const;
  std::string absolutePathForRelativeTaskPath(const std::string& relativePath) const;
  // The description a package's task gets (relative path, or the absolute
  // one outside the root).
  std::string taskDescriptionForPath(const std::string& path) const;

  // On the work queue: block(true) when a task with exactly this
  // description is running or waiting to be restarted.
  void checkForExistingTaskMatchingDescription(const std::string& description,
                                               std::function<void(bool exists)> block);

  // The session, made on first use (nullptr when none could be made, after
  // logging "[Crashtrail:Crash:Client] Failed to initialize").
  CTRURLSession::Ptr session();
  // Tasks running or waiting to be restarted.
  std::size_t activeTaskCount() const;

  // Tests: replaces the wait before a restart (nullptr restores the
  // default). The scheduler gets the delay in seconds.
  void setRestartScheduler(RestartScheduler scheduler);

  // The handler the platform hands over for background-session events;
  // nothing on this platform sets it.
  void setBackgroundCompletionHandler(std::function<void()> handler);

  // --- session delegate (work queue; the challenge on the network thread) ---
  void URLSessionTaskDidCompleteWithError(CTRURLSession& session, CTRURLSessionTask& task,
                                          const platform::Error& error);
  void URLSessionDidReceiveChallenge(CTRURLSession& session,
                                     const platform::urlloading::AuthenticationChallenge& challenge,
                                     const CTRURLSessionChallengeCompletion& completion);
  void URLSessionDidBecomeInvalidWithError(CTRURLSession& session, const platform::Error& error);
  void URLSessionDidFinishEventsForBackgroundURLSession(CTRURLSession& session);

 private:
  class SessionDelegate;
  class SyncUpload;
  struct TaskRecord {
    std::shared_ptr<CTRURLSessionUploadTask> task;  // nullptr while waiting to restart
    platform::urlloading::URLRequest request;
  };

  void startNewUploadRequest(const platform::urlloading::URLRequest& request,
                             const std::string& filePath);
  void startImmediateUpload(const platform::urlloading::URLRequest& request,
                            const std::string& filePath);
  // Waits the response's retry value, then starts `request` again for the
  // description's package on the work queue.
  void restartTask(const std::string& description, const platform::urlloading::URLRequest& request,
                   const std::optional<platform::urlloading::URLResponse>& response);
  void reportFinished(const std::string& path, const platform::Error& error);
  // Answers a server-trust challenge with the pinner (or the default
  // handling in debug mode).
  void answerChallenge(const platform::urlloading::AuthenticationChallenge& challenge,
                       CTRURLSession* session, const CTRURLSessionChallengeCompletion& completion);

  const platform::OperationQueue::Ptr operationQueue_;
  const std::shared_ptr<CTRFileManager> fileManager_;
  const std::shared_ptr<BCNCertificatePinner> certPinner_;
  bool canUseBackgroundSession_ = false;

  mutable std::mutex mutex_;  // guards the fields below
  std::weak_ptr<CTRNetworkClientDelegate> delegate_;
  CTRURLSession::Ptr session_;
  bool sessionFailed_ = false;
  std::map<std::string, TaskRecord> tasks_;  // by task description
  RestartScheduler restartScheduler_;
  std::function<void()> backgroundCompletionHandler_;
};

}  // namespace sdk
