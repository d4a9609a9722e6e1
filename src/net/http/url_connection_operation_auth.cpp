// Authentication challenges of NKURLConnectionOperation and the pinned
// certificates and public keys.
//
// Server trust by pinning mode:
//  0 none: accepted when allowsInvalidSSLCertificate is set, otherwise when
//    the system's evaluation (chain to a trusted root, host name) proceeds.
//  1 public key, 2 certificate: the chain and the host name are verified
//    with the pinned certificates as extra trust anchors, and the verified
//    chain (not merely what the server sent) must hold a pinned public key
//    or a pinned certificate. So a pinned certificate appended to a chain of
//    somebody else's is refused, and so is a pinned server certificate
//    presented for another host name.
// Refusals write "Error: Unknown Public Key during Pinning operation" or
// "Error: Unknown Certificate during Pinning operation" to the system log
// and cancel the challenge.
#include <syslog.h>

#include <algorithm>
#include <mutex>

#include "net/http/url_connection_operation.h"

namespace net::http {

using platform::urlloading::kAuthenticationMethodServerTrust;
using platform::urlloading::URLCredential;
namespace security = platform::security;

namespace {

void logLine(const char* line) { ::syslog(LOG_ERR, "%s", line); }

}  // namespace

NKPinnedCertificates::Ptr NKURLConnectionOperation::pinnedCertificates() const {
  std::lock_guard lock(lock_);
  return pinnedCertificates_ ? pinnedCertificates_ : NKPinnedCertificates::bundled();
}

void NKURLConnectionOperation::setPinnedCertificates(NKPinnedCertificates::Ptr pins) {
  std::lock_guard lock(lock_);
  pinnedCertificates_ = std::move(pins);
}

void NKURLConnectionOperation::connectionWillSendRequestForAuthenticationChallenge(
    URLConnection& connection, const AuthenticationChallenge& challenge) {
  ChallengeBlock block;
  std::optional<URLCredential> credential;
  {
    std::lock_guard lock(lock_);
    block = authenticationChallenge_;
    credential = credential_;
  }
  if (block) {
    block(connection, challenge);
    return;
  }
  const auto& space = challenge.protectionSpace();
  const auto& sender = challenge.sender();
  if (space.authenticationMethod != kAuthenticationMethodServerTrust) {
    if (challenge.previousFailureCount() == 0 && credential) {
      sender->useCredential(*credential, challenge);
    } else {
      sender->continueWithoutCredential(challenge);
    }
    return;
  }
  const auto& serverTrust = space.serverTrust;
  if (!serverTrust) {
    sender->cancel(challenge);
    return;
  }
  const std::int32_t mode = pinningMode_;
  if (mode == NKSSLPinningModePublicKey || mode == NKSSLPinningModeCertificate) {
    const NKPinnedCertificates::Ptr pins = pinnedCertificates();
    const auto& pinnedDER = pins->certificates();
    const auto& anchors = pins->anchors();
    security::ServerTrust verified(serverTrust->presentedChain(), serverTrust->host());
    verified.setAdditionalAnchors(anchors);
    const bool chainOK = !anchors.empty() && verified.isTrusted();
    if (mode == NKSSLPinningModePublicKey) {
      if (chainOK) {
        const auto& keys = pins->publicKeys();
        for (std::size_t i = 0; i < verified.certificateCount(); ++i) {
          auto key = verified.certificateAtIndex(i).publicKey();
          if (!key) continue;
          const platform::Bytes exported = key->exportPEM();
          for (const auto& pinnedKey : keys) {
            if (pinnedKey.exportPEM() == exported) {
              sender->useCredential(URLCredential::forTrust(serverTrust), challenge);
              return;
            }
          }
        }
      }
      logLine("Error: Unknown Public Key during Pinning operation");
      sender->cancel(challenge);
      return;
    }
    if (chainOK) {
      for (std::size_t i = 0; i < verified.certificateCount(); ++i) {
        const platform::Bytes der = verified.certificateAtIndex(i).DER();
        if (std::find(pinnedDER.begin(), pinnedDER.end(), der) != pinnedDER.end()) {
          sender->useCredential(URLCredential::forTrust(serverTrust), challenge);
          return;
        }
      }
    }
    logLine("Error: Unknown Certificate during Pinning operation");
    sender->cancel(challenge);
    return;
  }
  if (allowsInvalidSSLCertificate_) {
    sender->useCredential(URLCredential::forTrust(serverTrust), challenge);
    return;
  }
  security::ServerTrust evaluation(serverTrust->presentedChain(), serverTrust->host());
  security::TrustResult result;
  if (evaluation.evaluate(&result) && (result == security::TrustResult::kProceed ||
                                       result == security::TrustResult::kUnspecified)) {
    sender->useCredential(URLCredential::forTrust(serverTrust), challenge);
  } else {
    sender->cancel(challenge);
  }
}

}  // namespace net::http
