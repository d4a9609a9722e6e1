#include "sdk/platform/bcn_certificate_pinner.h"

#include <algorithm>
#include <utility>

#include "platform/foundation/value.h"

namespace sdk {

using platform::security::Certificate;
using platform::security::ServerTrust;
using platform::security::TrustResult;
using platform::urlloading::AuthenticationChallenge;
using platform::urlloading::URLCredential;

std::optional<Certificate> BCNCertificatePinner::createCertificationWithData(
    const std::uint8_t* bytes, std::size_t length) {
  if (!bytes || length == 0) return std::nullopt;
  return Certificate::fromDER(platform::Bytes(bytes, bytes + length));
}

BCNCertificatePinner::BCNCertificatePinner(std::vector<Certificate> certificates)
    : certificates_(std::move(certificates)) {}

int BCNCertificatePinner::evaluateTrust(const ServerTrust& trust, TrustResult* result) const {
  *result = TrustResult::kInvalid;
  if (certificates_.empty()) return 0;
  ServerTrust pinned = trust;  // the caller's trust keeps its own anchors
  pinned.setAdditionalAnchors(certificates_);
  TrustResult evaluated = TrustResult::kInvalid;
  if (!pinned.evaluate(&evaluated)) return kBCNTrustEvaluationFailedStatus;
  if (evaluated == TrustResult::kProceed || evaluated == TrustResult::kUnspecified) {
    // The evaluation also knows the system's roots: only a chain that
    // passes through one of the anchors counts.
    bool anchored = false;
    for (std::size_t i = 0; i < pinned.certificateCount() && !anchored; ++i) {
      const Certificate link = pinned.certificateAtIndex(i);
      anchored = std::find(certificates_.begin(), certificates_.end(), link) != certificates_.end();
    }
    evaluated = anchored ? TrustResult::kProceed : TrustResult::kRecoverableTrustFailure;
  }
  *result = evaluated;
  return 0;
}

bool BCNCertificatePinner::handleChallenge(
    const AuthenticationChallenge& challenge, CTRURLSession* session,
    const CTRURLSessionChallengeCompletion& completion) const {
  (void)session;
  const auto& trust = challenge.protectionSpace().serverTrust;
  if (trust) {
    TrustResult result = TrustResult::kInvalid;
    if (evaluateTrust(*trust, &result) != 0) result = TrustResult::kFatalTrustFailure;
    if (result == TrustResult::kProceed || result == TrustResult::kUnspecified) {
      completion(CTRURLSessionAuthChallengeDisposition::kUseCredential,
                 URLCredential::forTrust(trust));
      return true;
    }
  }
  completion(CTRURLSessionAuthChallengeDisposition::kCancelAuthenticationChallenge, std::nullopt);
  return false;
}

}  // namespace sdk
