#include "sdk/platform/bcn_network_client.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "sdk/platform/bcn_console.h"

namespace sdk {

using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::urlloading::AuthenticationChallenge;
using platform::urlloading::URLRequest;
using platform::urlloading::URLResponse;

// The session's delegate: a weak link back to the client, so that the
// session (which owns its delegate) does not keep the client alive.
class BCNNetworkClient::SessionDelegate : public CTRURLSessionDelegate {
 public:
  explicit SessionDelegate(std::weak_ptr<BCNNetworkClient> client) : client_(std::move(client)) {}

  void URLSessionDidBecomeInvalidWithError(CTRURLSession& session, const Error& error) override {
    if (auto client = client_.lock()) client->URLSessionDidBecomeInvalidWithError(session, error);
  }

  void URLSessionDidReceiveChallenge(CTRURLSession& session,
                                     const AuthenticationChallenge& challenge,
                                     const CTRURLSessionChallengeCompletion& completion) override {
    if (auto client = client_.lock()) {
      client->URLSessionDidReceiveChallenge(session, challenge, completion);
    } else {
      completion(CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling, std::nullopt);
    }
  }

 private:
  std::weak_ptr<BCNNetworkClient> client_;
};

BCNNetworkClient::Ptr BCNNetworkClient::create() { return create(nullptr); }

BCNNetworkClient::Ptr BCNNetworkClient::create(platform::OperationQueue::Ptr queue) {
  return create(std::move(queue), std::nullopt);
}

BCNNetworkClient::Ptr BCNNetworkClient::create(platform::OperationQueue::Ptr queue,
                                               Certificates pinnedCertificates) {
  return create(CTRURLSessionConfiguration::defaultSessionConfiguration(), std::move(queue),
                std::move(pinnedCertificates));
}

BCNNetworkClient::Ptr BCNNetworkClient::create(const CTRURLSessionConfiguration::Ptr& configuration,
                                               platform::OperationQueue::Ptr queue,
                                               Certificates pinnedCertificates) {
  auto client = std::make_shared<BCNNetworkClient>(Passkey{}, std::move(pinnedCertificates));
  client->session_ = CTRURLSession::sessionWithConfiguration(
      configuration, std::make_shared<SessionDelegate>(client), std::move(queue));
  if (!client->session_) return nullptr;
  return client;
}

BCNNetworkClient::BCNNetworkClient(Passkey, Certificates pinnedCertificates) {
  if (pinnedCertificates) {
    certPinner_ = std::make_shared<BCNCertificatePinner>(std::move(*pinnedCertificates));
  }
}

BCNNetworkClient::~BCNNetworkClient() {
  if (session_) session_->finishTasksAndInvalidate();
}

// --- requests --------------------------------------------------------------------

void BCNNetworkClient::startDataTaskWithRequest(const URLRequest& request, std::uint64_t retryLimit,
                                                DataCompletion completion) {
  startDataTaskWithRequest(request, retryLimit, 0, std::move(completion));
}

void BCNNetworkClient::startDataTaskWithRequest(const URLRequest& request,
                                                DataCompletion completion) {
  startDataTaskWithRequest(request, kBCNNetworkClientDefaultRetryLimit, std::move(completion));
}

void BCNNetworkClient::startDownloadTaskWithRequest(const URLRequest& request,
                                                    std::uint64_t retryLimit,
                                                    DownloadCompletion completion) {
  startDownloadTaskWithRequest(request, retryLimit, 0, std::move(completion));
}

void BCNNetworkClient::startDownloadTaskWithRequest(const URLRequest& request,
                                                    DownloadCompletion completion) {
  startDownloadTaskWithRequest(request, kBCNNetworkClientDefaultRetryLimit, std::move(completion));
}

template <typename Completion, typename MakeTask>
void BCNNetworkClient::startAttempt(const URLRequest& request, std::uint64_t retryLimit,
                                    std::uint64_t tries, Completion completion, MakeTask makeTask) {
  auto self = shared_from_this();
  auto shared = std::make_shared<Completion>(std::move(completion));
  auto task = makeTask(
      *session_, request,
      [self, request, retryLimit, tries, shared, makeTask](
          const auto& result, const std::optional<URLResponse>& response, const Error& error) {
        self->handleAttempt(
            request, response, error, retryLimit, tries,
            [&](const Error& outcome) {
              if (*shared) (*shared)(result, response, outcome);
            },
            [&] {
              if (*shared) {
                (*shared)(
                    std::nullopt, std::nullopt,
                    BCNNetworkResponseHandler::errorForCode(kBCNNetworkErrorRetryLimitReached));
              }
            },
            [self, request, retryLimit, tries, shared, makeTask] {
              self->startAttempt(request, retryLimit, tries + 1, std::move(*shared), makeTask);
            });
      });
  if (!task) {
    if (*shared) {
      (*shared)(std::nullopt, std::nullopt,
                BCNNetworkResponseHandler::errorForCode(kBCNNetworkErrorNoTask));
    }
    return;
  }
  task->resume();
}

void BCNNetworkClient::startDataTaskWithRequest(const URLRequest& request, std::uint64_t retryLimit,
                                                std::uint64_t tries, DataCompletion completion) {
  startAttempt(request, retryLimit, tries, std::move(completion),
               [](CTRURLSession& session, const URLRequest& r, auto done) {
                 return session.dataTaskWithRequest(r, std::move(done));
               });
}

void BCNNetworkClient::startDownloadTaskWithRequest(const URLRequest& request,
                                                    std::uint64_t retryLimit, std::uint64_t tries,
                                                    DownloadCompletion completion) {
  startAttempt(request, retryLimit, tries, std::move(completion),
               [](CTRURLSession& session, const URLRequest& r, auto done) {
                 return session.downloadTaskWithRequest(r, std::move(done));
               });
}

void BCNNetworkClient::handleAttempt(const URLRequest& request,
                                     const BCNNetworkResponseHandler::Response& response,
                                     const Error& error, std::uint64_t retryLimit,
                                     std::uint64_t tries,
                                     const std::function<void(const Error&)>& finish,
                                     const std::function<void()>& retryFail,
                                     std::function<void()> retry) {
  BCNNetworkResponseHandler::handleCompletedResponse(
      response, request, error, [&](bool shouldRetry, const Error& outcome) {
        if (!shouldRetry) {
          finish(outcome);
        } else if (tries < retryLimit) {
          runAfterRetryValueFromResponse(response, tries, std::move(retry));
        } else {
          retryFail();
        }
      });
}

// --- delay --------------------------------------------------------------------------

double BCNNetworkClient::randomDoubleWithMin(double min, double max) {
  static std::mutex* lock = new std::mutex;  // drand48 keeps one process-wide state
  double r;
  {
    std::lock_guard guard(*lock);
    r = drand48();
  }
  return min + r * (max - min);
}

double BCNNetworkClient::generateRandomJitter() {
  // The bounds are single-precision numbers.
  return randomDoubleWithMin(static_cast<double>(0.9f), static_cast<double>(1.1f));
}

double BCNNetworkClient::computeDelayForResponse(
    const BCNNetworkResponseHandler::Response& response, std::uint64_t retryCount) {
  const double base = std::max(2.0, BCNNetworkResponseHandler::retryValueForResponse(response));
  const double exponent = retryCount == 0 ? 1.0 : static_cast<double>(retryCount);
  return std::pow(base, exponent) * generateRandomJitter();
}

void BCNNetworkClient::runAfterRetryValueFromResponse(
    const BCNNetworkResponseHandler::Response& response, std::uint64_t attempts,
    std::function<void()> block) {
  runAfterRetryValueFromResponse(
      response, attempts, platform::dispatch::Queue::global(platform::dispatch::Priority::Default),
      std::move(block));
}

void BCNNetworkClient::runAfterRetryValueFromResponse(
    const BCNNetworkResponseHandler::Response& response, std::uint64_t attempts,
    const platform::dispatch::QueuePtr& queue, std::function<void()> block) {
  double delay = computeDelayForResponse(response, attempts);
  // Past this the timer's nanosecond count would overflow.
  if (!(delay <= kBCNNetworkClientMaxRetryDelay)) delay = kBCNNetworkClientMaxRetryDelay;
  RetryScheduler scheduler;
  {
    std::lock_guard lock(schedulerMutex_);
    scheduler = retryScheduler_;
  }
  if (scheduler) {
    scheduler(delay, std::move(block));
  } else {
    queue->after(delay, std::move(block));
  }
}

void BCNNetworkClient::setRetryScheduler(RetryScheduler scheduler) {
  std::lock_guard lock(schedulerMutex_);
  retryScheduler_ = std::move(scheduler);
}

void BCNNetworkClient::invalidateAndCancel() { session_->invalidateAndCancel(); }

// --- session delegate -----------------------------------------------------------------

void BCNNetworkClient::URLSessionDidBecomeInvalidWithError(CTRURLSession& session,
                                                           const Error& error) {
  (void)session;
  (void)error;
}

void BCNNetworkClient::URLSessionDidReceiveChallenge(
    CTRURLSession& session, const AuthenticationChallenge& challenge,
    const CTRURLSessionChallengeCompletion& completion) {
  // BCNConsoleIsDebug is the switch that Beacon::debug() reads.
  if (BCNConsoleIsDebug() || !certPinner_) {
    completion(CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling, std::nullopt);
    return;
  }
  certPinner_->handleChallenge(challenge, &session, completion);
}

}  // namespace sdk
