// BCNCertificatePinner: answers server-trust challenges against a fixed
// list of anchor certificates. A chain is trusted only when it ends at one
// of the anchors (the system's own roots count for nothing) and the leaf is
// issued for the host, as the platform's SSL policy checks.
//
// An empty list rejects every chain; a challenge without a server trust is
// cancelled (callers that want default handling for those decide first).
//
// Thread safety: immutable after construction; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/security/certificate.h"
#include "platform/security/trust.h"
#include "platform/urlloading/url_connection.h"
#include "sdk/platform/ctr_url_session.h"

namespace sdk {

// Status of an evaluation that could not be made.
inline constexpr int kBCNTrustEvaluationFailedStatus = -67808;

class BCNCertificatePinner {
 public:
  // A certificate from DER bytes; nullopt for bytes that are no certificate.
  static std::optional<platform::security::Certificate> createCertificationWithData(
      const std::uint8_t* bytes, std::size_t length);

  explicit BCNCertificatePinner(std::vector<platform::security::Certificate> certificates);

  const std::vector<platform::security::Certificate>& certificates() const { return certificates_; }

  // Evaluates `trust` (a copy of it: the caller's object is not changed)
  // against the anchors only. Returns the status (0 when an evaluation was
  // made) and sets *result: kInvalid for an empty list; kProceed for a chain
  // ending at an anchor; kRecoverableTrustFailure for anything else;
  // kInvalid with a non-zero status when no evaluation could be made.
  int evaluateTrust(const platform::security::ServerTrust& trust,
                    platform::security::TrustResult* result) const;

  // Answers `challenge` through `completion`, inside the call: use a
  // credential for the trust when it evaluates to proceed or unspecified
  // (returns true), else cancel (returns false).
  bool handleChallenge(const platform::urlloading::AuthenticationChallenge& challenge,
                       CTRURLSession* session,
                       const CTRURLSessionChallengeCompletion& completion) const;

 private:
  std::vector<platform::security::Certificate> certificates_;
};

}  // namespace sdk
