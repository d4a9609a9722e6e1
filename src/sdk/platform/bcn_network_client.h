// BCNNetworkClient: runs the SDK's data and download requests on one URL
// session (sdk/platform/ctr_url_session.h), answers the session's
// server-trust challenges with its certificate pinner, and retries a
// request whose outcome BCNNetworkResponseHandler marks as retryable, up to
// a retry limit, after a growing, jittered delay.
//
// Guarantees:
//  1. A request with retry limit n makes at most n + 1 attempts. The
//     handler is called exactly once: with the last attempt's own (data or
//     location, response, error) when it is not to be retried (error: the
//     transport error, the response error of BCNNetworkResponseHandler, or
//     empty on success); with (nullopt, nullopt, BCNNetworkError -6) when a
//     retryable outcome finds the limit used up; with (nullopt, nullopt,
//     BCNNetworkError -3) at once, on the calling thread, when the session
//     makes no task.
//  2. The handler runs on the task's queue of the session layer (the
//     session's tasks run their completion handlers there), never inside
//     the start call except for error -3.
//  3. Before retry number k (k = 0, 1, ...) it waits
//     max(2, Retry-After)^max(k, 1) × jitter seconds, jitter drawn from
//     [0.9, 1.1) with drand48(); the wait and the new attempt run on the
//     global concurrent queue of default priority. The wait is capped at
//     kBCNNetworkClientMaxRetryDelay so that a huge Retry-After cannot
//     overflow the timer.
//  4. Server-trust challenges: default handling while the SDK's debug
//     switch is on or when the client has no pinner; else the pinner
//     answers (a chain must end at one of the pinned certificates).
//  5. Nothing of a request is stored in the client: the retry loop's blocks
//     carry it and keep the client alive until the loop ends. The session
//     holds only a weak link back, so dropping the last reference frees the
//     client, which then lets the session finish its tasks and invalidate.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/security/certificate.h"
#include "platform/system/operation_queue.h"
#include "platform/urlloading/url_request.h"
#include "sdk/platform/bcn_certificate_pinner.h"
#include "sdk/platform/bcn_network_response_handler.h"
#include "sdk/platform/ctr_url_session.h"
#include "sdk/platform/ctr_url_session_configuration.h"

namespace sdk {

// The retry limit of the start calls without one.
inline constexpr std::uint64_t kBCNNetworkClientDefaultRetryLimit = 10;
// The longest wait before a retry, in seconds (one year).
inline constexpr double kBCNNetworkClientMaxRetryDelay = 365.0 * 24 * 3600;

class BCNNetworkClient : public std::enable_shared_from_this<BCNNetworkClient> {
  struct Passkey {};

 public:
  using Ptr = std::shared_ptr<BCNNetworkClient>;
  using Certificates = std::optional<std::vector<platform::security::Certificate>>;
  using DataCompletion = CTRURLSessionDataCompletion;
  using DownloadCompletion = CTRURLSessionDownloadCompletion;
  // Schedules `block` after `seconds` (tests replace the default, which is
  // dispatch after on the global queue of default priority).
  using RetryScheduler = std::function<void(double seconds, std::function<void()> block)>;

  // init / initWithQueue: / initWithQueue:pinnedCertificates: — the default
  // session configuration of the session layer.
  static Ptr create();
  static Ptr create(platform::OperationQueue::Ptr queue);
  static Ptr create(platform::OperationQueue::Ptr queue, Certificates pinnedCertificates);
  // The designated initializer: the pinner when certificates are given (an
  // empty list makes a pinner that rejects everything), then the session
  // with the client as delegate and `queue` as delegate queue. nullptr when
  // no session came back.
  static Ptr create(const CTRURLSessionConfiguration::Ptr& configuration,
                    platform::OperationQueue::Ptr queue, Certificates pinnedCertificates);

  BCNNetworkClient(Passkey, Certificates pinnedCertificates);
  // Sends finishTasksAndInvalidate to the session.
  ~BCNNetworkClient();
  BCNNetworkClient(const BCNNetworkClient&) = delete;
  BCNNetworkClient& operator=(const BCNNetworkClient&) = delete;

  // nullptr without pinned certificates.
  const std::shared_ptr<BCNCertificatePinner>& certPinner() const { return certPinner_; }
  const CTRURLSession::Ptr& session() const { return session_; }

  // --- requests (see guarantees 1 to 3) --------------------------------------
  void startDataTaskWithRequest(const platform::urlloading::URLRequest& request,
                                std::uint64_t retryLimit, DataCompletion completion);
  void startDataTaskWithRequest(const platform::urlloading::URLRequest& request,
                                DataCompletion completion);
  // The handler receives the downloaded file's URL; the file is deleted once
  // the handler returns.
  void startDownloadTaskWithRequest(const platform::urlloading::URLRequest& request,
                                    std::uint64_t retryLimit, DownloadCompletion completion);
  void startDownloadTaskWithRequest(const platform::urlloading::URLRequest& request,
                                    DownloadCompletion completion);
  // The steps of the retry loop.
  void startDataTaskWithRequest(const platform::urlloading::URLRequest& request,
                                std::uint64_t retryLimit, std::uint64_t tries,
                                DataCompletion completion);
  void startDownloadTaskWithRequest(const platform::urlloading::URLRequest& request,
                                    std::uint64_t retryLimit, std::uint64_t tries,
                                    DownloadCompletion completion);

  // --- delay -----------------------------------------------------------------
  // max(2, retryValueForResponse)^(count or 1 when 0) × jitter, in seconds.
  double computeDelayForResponse(const BCNNetworkResponseHandler::Response& response,
                                 std::uint64_t retryCount);
  double generateRandomJitter();
  // min + drand48() × (max - min).
  double randomDoubleWithMin(double min, double max);
  // After the computed delay (capped), runs `block` on the global queue of
  // default priority.
  void runAfterRetryValueFromResponse(const BCNNetworkResponseHandler::Response& response,
                                      std::uint64_t attempts, std::function<void()> block);
  void runAfterRetryValueFromResponse(const BCNNetworkResponseHandler::Response& response,
                                      std::uint64_t attempts,
                                      const platform::dispatch::QueuePtr& queue,
                                      std::function<void()> block);
  // Tests: replaces the wait before a retry (nullptr restores the default).
  // The scheduler gets the computed (capped) delay.
  void setRetryScheduler(RetryScheduler scheduler);

  void invalidateAndCancel();

  // --- session delegate --------------------------------------------------------
  void URLSessionDidBecomeInvalidWithError(CTRURLSession& session, const platform::Error& error);
  // See guarantee 4; answers inside the call.
  void URLSessionDidReceiveChallenge(CTRURLSession& session,
                                     const platform::urlloading::AuthenticationChallenge& challenge,
                                     const CTRURLSessionChallengeCompletion& completion);

 private:
  class SessionDelegate;
  // One attempt of a data or download task: `makeTask(session, request,
  // handler)` makes the session's task; its end goes to handleAttempt, and a
  // retry starts the next attempt the same way.
  template <typename Completion, typename MakeTask>
  void startAttempt(const platform::urlloading::URLRequest& request, std::uint64_t retryLimit,
                    std::uint64_t tries, Completion completion, MakeTask makeTask);
  // Handles the end of one attempt: the caller's handler, a retry or -6.
  void handleAttempt(const platform::urlloading::URLRequest& request,
                     const BCNNetworkResponseHandler::Response& response,
                     const platform::Error& error, std::uint64_t retryLimit, std::uint64_t tries,
                     const std::function<void(const platform::Error&)>& finish,
                     const std::function<void()>& retryFail, std::function<void()> retry);

  std::shared_ptr<BCNCertificatePinner> certPinner_;
  CTRURLSession::Ptr session_;
  std::mutex schedulerMutex_;
  RetryScheduler retryScheduler_;  // guarded by schedulerMutex_
};

}  // namespace sdk
