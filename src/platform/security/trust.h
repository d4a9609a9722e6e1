// ServerTrust: the evaluation of a certificate chain, after the platform's
// trust services, over OpenSSL.
//
// What is trusted: the system's CA certificates (OpenSSL's default paths),
// plus every certificate in the PEM bundle at trustedCABundlePath(), which
// lives under VARNEL_ROOT ("$VARNEL_ROOT/etc/varnel/ca-certificates.pem",
// "/etc/varnel/ca-certificates.pem" without it). Tests and the demo put a
// generated CA there so that they trust it without touching the system.
// Evaluations may add anchors of their own (pinned certificates); with
// extra anchors a chain may end at any of them, even at one that is not
// self-signed.
//
// Policies: the basic X.509 policy checks the chain and validity only; the
// SSL server policy also checks that the leaf is issued for the host name
// (or IP address) and for server authentication.
//
// Evaluation answers a call status (false only when no evaluation could be
// made, e.g. an empty chain) and a result after the platform's numbers:
// 1 proceed, 4 unspecified (trusted by the system's roots), 5 recoverable
// failure (untrusted, expired, wrong host), 6 fatal failure.
//
// Thread safety: one object per thread; evaluations may run on any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/security/certificate.h"

namespace platform::security {

enum class TrustResult : int {
  kInvalid = 0,
  kProceed = 1,
  kConfirm = 2,
  kDeny = 3,
  kUnspecified = 4,
  kRecoverableTrustFailure = 5,
  kFatalTrustFailure = 6,
  kOtherError = 7,
};

// The trusted-CA bundle below VARNEL_ROOT (see the header comment).
std::string trustedCABundlePath();

class ServerTrust {
 public:
  // SSL server policy for `host` (an empty host checks no name).
  ServerTrust(std::vector<Certificate> presentedChain, std::string host);
  // Basic X.509 policy.
  static ServerTrust basic(std::vector<Certificate> certificates);

  void setAdditionalAnchors(std::vector<Certificate> anchors) { anchors_ = std::move(anchors); }
  // Evaluates; false when no evaluation could be made. `*result` gets the outcome.
  bool evaluate(TrustResult* result);
  bool isTrusted() {
    TrustResult r;
    return evaluate(&r) && (r == TrustResult::kProceed || r == TrustResult::kUnspecified);
  }

  // After a successful evaluation: the chain that was verified, leaf first,
  // up to the anchor; before it (or when verification failed), the
  // certificates presented.
  std::size_t certificateCount() const;
  Certificate certificateAtIndex(std::size_t index) const;
  const std::vector<Certificate>& presentedChain() const { return presented_; }
  // The leaf's public key (available once evaluated, trusted or not).
  std::optional<PublicKey> publicKey() const;
  const std::string& host() const { return host_; }
  // OpenSSL's text for the last failure; "" after success.
  const std::string& failureReason() const { return failure_; }

 private:
  std::vector<Certificate> presented_;
  std::vector<Certificate> verified_;
  std::vector<Certificate> anchors_;
  std::string host_;
  bool serverPolicy_ = true;
  bool evaluated_ = false;
  std::string failure_;
};

}  // namespace platform::security
