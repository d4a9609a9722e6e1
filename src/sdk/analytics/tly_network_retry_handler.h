// sdk::TLYNetworkRetryHandler: the retry policy of analytics uploads.
//
// When an upload task finishes, the controller asks handleCompletedRequest()
// whether to try again. The platform's response handler classifies the
// outcome; a retryable one is retried after the exponential back-off of the
// upload's unique name (one TLYBackoffTimer per name, made on its first
// retry and kept for the rest of the run, never reset by a success). A name
// gets retries while its count is at most the maximum: 11 retries with the
// default maximum of 10. Server-trust challenges are answered with the SDK's
// certificate pinning, unless the kit registry's debug switch is set.
//
// Errors made here (only when the response handler gave none of its own;
// otherwise its error is passed on unchanged): domain "BCNNetworkError",
// userInfo "TLYNetworkRetryHandlerIdentifier" = the unique name ("(null)"
// when absent) and, when the request has a valid URL, "NSErrorFailingURLKey"
// = that URL's text; codes -6 (retries of this name exhausted) and -7 (no
// back-off timer could be had: the name is empty or absent).
//
// Thread safety: one object, used from the uploader's serial queue (the
// timer map is touched only there). A retry's completion handler runs on
// the main queue after the back-off delay; every other answer is given
// inside the call. handleChallenge() may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/system/bundle.h"
#include "platform/urlloading/url_connection.h"
#include "platform/urlloading/url_request.h"
#include "sdk/analytics/tly_backoff_timer.h"
#include "sdk/platform/ctr_url_session.h"

namespace sdk {

class Beacon;
class BCNCertificatePinner;

inline constexpr const char* kTLYNetworkRetryHandlerIdentifierKey =
    "TLYNetworkRetryHandlerIdentifier";
// The platform's failing-URL key.
inline constexpr const char* kNSURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";

inline constexpr std::int64_t kTLYNetworkRetryHandlerRetriesExhausted = -6;
inline constexpr std::int64_t kTLYNetworkRetryHandlerNoTimer = -7;
inline constexpr std::uint64_t kTLYNetworkRetryHandlerDefaultMaxRetries = 10;

class TLYNetworkRetryHandler {
 public:
  using Response = std::optional<platform::urlloading::URLResponse>;
  // (retry, error): error is empty when there is none.
  using Completion = std::function<void(bool retry, const platform::Error& error)>;
  // Tests: called for every back-off timer the handler makes, before its
  // first use (to replace its scheduler or random source).
  using TimerConfigurator = std::function<void(TLYBackoffTimer& timer)>;
  // Given at creation; production code passes none.
  struct Options {
    // The time source of the back-off timers' delays (none: the steady clock).
    platform::dispatch::TimeSourcePtr clock;
    TimerConfigurator timerConfigurator;
    // The program whose local service authority is pinned beside the
    // built-in certificates (none: the running program's).
    platform::BundlePtr bundle;
  };

  // Makes the pinner from the SDK's pinned certificates and the empty map.
  TLYNetworkRetryHandler();
  explicit TLYNetworkRetryHandler(Options options);
  ~TLYNetworkRetryHandler();
  TLYNetworkRetryHandler(const TLYNetworkRetryHandler&) = delete;
  TLYNetworkRetryHandler& operator=(const TLYNetworkRetryHandler&) = delete;

  // The same with a maximum of 10 retries. The controller calls only this.
  void handleCompletedRequest(const platform::urlloading::URLRequest& request,
                              const Response& response,
                              const std::optional<std::string>& identifier,
                              const platform::Error& error, Completion completionHandler);
  // Not retryable: completion(false, the response handler's error) inside
  // the call. Retryable: no timer for the name -> (false, errorWithCode -7)
  // inside the call; the name's count above `maxRetries` -> (false,
  // errorWithCode -6) inside the call (both give the response handler's
  // error when it made one, as it does for every retryable response); else
  // the name's timer schedules completion(true, the response handler's
  // error) after the next back-off interval, on the main queue.
  // The timer's base is retryValueForResponse() of the response that made
  // it; later responses do not change it.
  void handleCompletedRequest(const platform::urlloading::URLRequest& request,
                              const Response& response,
                              const std::optional<std::string>& identifier,
                              std::uint64_t maxRetries, const platform::Error& error,
                              Completion completionHandler);

  // Default handling (no credential) when the registry's debug switch is set
  // or there is no pinner; otherwise the pinner answers. Answers inside the
  // call.
  void handleChallenge(const platform::urlloading::AuthenticationChallenge& challenge,
                       CTRURLSession* session, const CTRURLSessionChallengeCompletion& completion);

  // "Retry-After" in seconds, or 2 when missing or negative.
  double retryValueForResponse(const Response& response) const;
  // The name's timer, made with `initialRetryValue` when the name has none;
  // nullptr for an empty or absent name.
  std::shared_ptr<TLYBackoffTimer> timerForIdentifier(const std::optional<std::string>& identifier,
                                                      double initialRetryValue);
  // `handlerError` when it is an error; else the error of this handler with
  // `code` (see the top of this file).
  platform::Error errorWithCode(std::int64_t code, const std::optional<std::string>& identifier,
                                const platform::urlloading::URLRequest& request,
                                const platform::Error& handlerError) const;
  std::shared_ptr<Beacon> sharedBeaconSDK() const;

  const std::shared_ptr<const BCNCertificatePinner>& certPinner() const { return certPinner_; }
  // The timers made so far, by name.
  const std::map<std::string, std::shared_ptr<TLYBackoffTimer>>& retryTimerMap() const {
    return retryTimerMap_;
  }

 private:
  std::shared_ptr<const BCNCertificatePinner> certPinner_;
  std::map<std::string, std::shared_ptr<TLYBackoffTimer>> retryTimerMap_;
  Options options_;
};

}  // namespace sdk
