// Certificates and public keys over OpenSSL: a certificate made from DER or
// PEM bytes, its DER bytes back, its subject, and its public key as
// comparable bytes (the DER SubjectPublicKeyInfo, or PEM-armoured text of
// it through exportKey).
//
// Thread safety: immutable values that share the OpenSSL object; any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

typedef struct x509_st X509;

namespace platform::security {

class PublicKey {
 public:
  explicit PublicKey(Bytes subjectPublicKeyInfo) : spki_(std::move(subjectPublicKeyInfo)) {}
  // DER SubjectPublicKeyInfo.
  const Bytes& bytes() const { return spki_; }
  // The key exported as PEM text ("-----BEGIN PUBLIC KEY-----" armour), as bytes.
  Bytes exportPEM() const;
  friend bool operator==(const PublicKey& a, const PublicKey& b) { return a.spki_ == b.spki_; }

 private:
  Bytes spki_;
};

class Certificate {
 public:
  // nullopt when the bytes are not exactly one certificate.
  static std::optional<Certificate> fromDER(const Bytes& der);
  // The first certificate of a PEM text.
  static std::optional<Certificate> fromPEM(std::string_view pem);
  // Every certificate of a PEM text (a CA bundle), in order.
  static std::vector<Certificate> allFromPEM(std::string_view pem);
  // Takes a reference of `x509`.
  static Certificate fromNative(X509* x509);

  Bytes DER() const;
  std::optional<PublicKey> publicKey() const;
  // The subject's common name, else the one-line subject.
  std::string subjectSummary() const;
  bool isSelfIssued() const;
  X509* native() const { return x509_.get(); }
  friend bool operator==(const Certificate& a, const Certificate& b) { return a.DER() == b.DER(); }

 private:
  explicit Certificate(std::shared_ptr<X509> x509) : x509_(std::move(x509)) {}
  std::shared_ptr<X509> x509_;
};

}  // namespace platform::security
