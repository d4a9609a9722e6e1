// NKPinnedCertificates: the certificates an operation in a pinning mode
// trusts, with the public keys and trust anchors derived from them.
//
// Guarantees:
//  1. An object never changes after creation; it is shared by the
//     operations and clients given it.
//  2. bundled() holds the DER bytes of every "cer" file in the main bundle's
//     resources, by name, read once per process: the pins a shipped program
//     uses. Nothing replaces it for the whole process; an operation or a
//     client that must trust other certificates is given its own object
//     (NKURLConnectionOperation::setPinnedCertificates,
//     NKHTTPClient::setDefaultPinnedCertificates).
//  3. publicKeys() has the key of each certificate that parses and whose
//     basic evaluation succeeds, in order; bytes that are not a certificate
//     give neither a key nor an anchor but stay in certificates().
//
// Thread safety: any thread.
#pragma once

#include <memory>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/security/certificate.h"

namespace net::http {

class NKPinnedCertificates {
 public:
  using Ptr = std::shared_ptr<const NKPinnedCertificates>;

  // Pins of the given DER certificates.
  static Ptr fromDER(std::vector<platform::Bytes> certificates);
  // The main bundle's pins (guarantee 2).
  static Ptr bundled();

  const std::vector<platform::Bytes>& certificates() const { return certificates_; }
  const std::vector<platform::security::PublicKey>& publicKeys() const { return keys_; }
  // The certificates parsed once, as trust anchors: every request of a kept
  // connection is judged again, and parsing costs more than the check.
  const std::vector<platform::security::Certificate>& anchors() const { return anchors_; }

 private:
  std::vector<platform::Bytes> certificates_;
  std::vector<platform::security::PublicKey> keys_;
  std::vector<platform::security::Certificate> anchors_;
};

}  // namespace net::http
