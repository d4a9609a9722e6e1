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
#include <dirent.h>
#include <syslog.h>

#include <algorithm>
#include <mutex>

#include "net/http/url_connection_operation.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"

namespace net::http {

using platform::urlloading::kAuthenticationMethodServerTrust;
using platform::urlloading::URLCredential;
namespace security = platform::security;

namespace {

struct PinnedState {
  std::mutex mutex;
  bool loaded = false;
  std::vector<platform::Bytes> certificates;
  std::vector<security::PublicKey> keys;
  // The certificates parsed once, as trust anchors: every request of a kept
  // connection is judged again, and parsing costs more than the check.
  std::vector<security::Certificate> anchors;
};

void parseAnchors(PinnedState& state) {
  state.anchors.clear();
  for (const platform::Bytes& der : state.certificates) {
    if (auto cert = security::Certificate::fromDER(der)) state.anchors.push_back(*cert);
  }
}

PinnedState& pinned() {
  static PinnedState state;
  return state;
}

std::vector<platform::Bytes> readBundleCertificates() {
  std::vector<platform::Bytes> out;
  auto bundle = platform::Bundle::main();
  if (!bundle) return out;
  const std::string& folder = bundle->resourcePath();
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cer") == 0) names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (auto bytes = platform::files::readFile(folder + "/" + name)) {
      out.emplace_back(bytes->begin(), bytes->end());
    }
  }
  return out;
}

void loadLocked(PinnedState& state) {
  if (state.loaded) return;
  state.certificates = readBundleCertificates();
  state.keys.clear();
  for (const platform::Bytes& der : state.certificates) {
    auto cert = security::Certificate::fromDER(der);
    if (!cert) continue;
    auto trust = security::ServerTrust::basic({*cert});
    security::TrustResult result;
    if (!trust.evaluate(&result)) continue;
    if (auto key = trust.publicKey()) state.keys.push_back(*key);
  }
  parseAnchors(state);
  state.loaded = true;
}

std::vector<security::Certificate> pinnedAnchors() {
  PinnedState& state = pinned();
  std::lock_guard lock(state.mutex);
  loadLocked(state);
  return state.anchors;
}

void logLine(const char* line) { ::syslog(LOG_ERR, "%s", line); }

}  // namespace

std::vector<platform::Bytes> NKURLConnectionOperation::pinnedCertificates() {
  PinnedState& state = pinned();
  std::lock_guard lock(state.mutex);
  loadLocked(state);
  return state.certificates;
}

std::vector<security::PublicKey> NKURLConnectionOperation::pinnedPublicKeys() {
  PinnedState& state = pinned();
  std::lock_guard lock(state.mutex);
  loadLocked(state);
  return state.keys;
}

void NKURLConnectionOperation::setPinnedCertificatesForTesting(
    std::optional<std::vector<platform::Bytes>> certs) {
  PinnedState& state = pinned();
  std::lock_guard lock(state.mutex);
  state.loaded = false;
  if (!certs) return;
  // Derive the keys exactly as for bundle files.
  state.loaded = false;
  state.certificates.clear();
  state.keys.clear();
  state.certificates = std::move(*certs);
  for (const platform::Bytes& der : state.certificates) {
    auto cert = security::Certificate::fromDER(der);
    if (!cert) continue;
    auto trust = security::ServerTrust::basic({*cert});
    security::TrustResult result;
    if (trust.evaluate(&result)) {
      if (auto key = trust.publicKey()) state.keys.push_back(*key);
    }
  }
  parseAnchors(state);
  state.loaded = true;
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
    const auto pinnedDER = pinnedCertificates();
    std::vector<security::Certificate> anchors = pinnedAnchors();
    security::ServerTrust verified(serverTrust->presentedChain(), serverTrust->host());
    verified.setAdditionalAnchors(anchors);
    const bool chainOK = !anchors.empty() && verified.isTrusted();
    if (mode == NKSSLPinningModePublicKey) {
      if (chainOK) {
        const auto keys = pinnedPublicKeys();
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
