#include "sdk/analytics/tly_network_retry_handler.h"

#include <utility>

#include "platform/foundation/value.h"
#include "sdk/platform/bcn_certificate_pinner.h"
#include "sdk/platform/bcn_network_response_handler.h"
#include "sdk/platform/bcn_pinned_certificates.h"
#include "sdk/platform/beacon.h"

namespace sdk {

TLYNetworkRetryHandler::TLYNetworkRetryHandler() : TLYNetworkRetryHandler(Options{}) {}

TLYNetworkRetryHandler::TLYNetworkRetryHandler(Options options) : options_(std::move(options)) {
  if (auto certificates =
          BCNPinnedCertificates(options_.bundle ? options_.bundle : platform::Bundle::main())) {
    certPinner_ = std::make_shared<const BCNCertificatePinner>(*certificates);
  }
}

TLYNetworkRetryHandler::~TLYNetworkRetryHandler() = default;

std::shared_ptr<Beacon> TLYNetworkRetryHandler::sharedBeaconSDK() const {
  return Beacon::sharedSDK();
}

double TLYNetworkRetryHandler::retryValueForResponse(const Response& response) const {
  return BCNNetworkResponseHandler::retryValueForResponse(response);
}

std::shared_ptr<TLYBackoffTimer> TLYNetworkRetryHandler::timerForIdentifier(
    const std::optional<std::string>& identifier, double initialRetryValue) {
  if (!identifier || identifier->empty()) return nullptr;
  auto it = retryTimerMap_.find(*identifier);
  if (it != retryTimerMap_.end()) return it->second;
  auto timer = std::make_shared<TLYBackoffTimer>(
      initialRetryValue, TLYBackoffTimer::kDefaultJitterCoefficient, options_.clock);
  if (options_.timerConfigurator) options_.timerConfigurator(*timer);
  retryTimerMap_.emplace(*identifier, timer);
  return timer;
}

platform::Error TLYNetworkRetryHandler::errorWithCode(
    std::int64_t code, const std::optional<std::string>& identifier,
    const platform::urlloading::URLRequest& request, const platform::Error& handlerError) const {
  if (handlerError) return handlerError;
  platform::Value info = platform::Value::mutableDictionary();
  info.set(kTLYNetworkRetryHandlerIdentifierKey,
           platform::Value(identifier ? *identifier : std::string("(null)")));
  if (request.url().isValid()) {
    info.set(kNSURLErrorFailingURLErrorKey, platform::Value(request.url().absoluteString()));
  }
  return BCNNetworkResponseHandler::errorForCode(code, info.copy());
}

void TLYNetworkRetryHandler::handleCompletedRequest(const platform::urlloading::URLRequest& request,
                                                    const Response& response,
                                                    const std::optional<std::string>& identifier,
                                                    const platform::Error& error,
                                                    Completion completionHandler) {
  handleCompletedRequest(request, response, identifier, kTLYNetworkRetryHandlerDefaultMaxRetries,
                         error, std::move(completionHandler));
}

void TLYNetworkRetryHandler::handleCompletedRequest(const platform::urlloading::URLRequest& request,
                                                    const Response& response,
                                                    const std::optional<std::string>& identifier,
                                                    std::uint64_t maxRetries,
                                                    const platform::Error& error,
                                                    Completion completionHandler) {
  BCNNetworkResponseHandler::handleCompletedResponse(
      response, request, error, [&](bool retry, const platform::Error& handlerError) {
        // A load that failed on the way (refused or lost connection, failed
        // name look-up, TLS failure, refused redirect) says nothing about
        // the package: it is tried again like a time-out, or it would be lost
        // whenever the machine is between networks.
        if (error) retry = true;
        if (!retry) {
          completionHandler(false, handlerError);
          return;
        }
        const double initialValue = retryValueForResponse(response);
        std::shared_ptr<TLYBackoffTimer> timer = timerForIdentifier(identifier, initialValue);
        if (!timer) {
          completionHandler(false, errorWithCode(kTLYNetworkRetryHandlerNoTimer, identifier,
                                                 request, handlerError));
          return;
        }
        if (timer->retryCount() > maxRetries) {
          completionHandler(false, errorWithCode(kTLYNetworkRetryHandlerRetriesExhausted,
                                                 identifier, request, handlerError));
          return;
        }
        timer->executeBlockAfterNextInterval([completion = std::move(completionHandler),
                                              handlerError] { completion(true, handlerError); });
      });
}

void TLYNetworkRetryHandler::handleChallenge(
    const platform::urlloading::AuthenticationChallenge& challenge, CTRURLSession* session,
    const CTRURLSessionChallengeCompletion& completion) {
  if (sharedBeaconSDK()->debug() || !certPinner_) {
    completion(CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling, std::nullopt);
    return;
  }
  certPinner_->handleChallenge(challenge, session, completion);
}

}  // namespace sdk
