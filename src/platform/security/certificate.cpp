#include "platform/security/certificate.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <mutex>

#include "platform/security/openssl_lock.h"

namespace platform::security {
namespace {

std::shared_ptr<X509> own(X509* x) { return std::shared_ptr<X509>(x, X509_free); }

}  // namespace

Bytes PublicKey::exportPEM() const {
  const unsigned char* p = spki_.data();
  EVP_PKEY* key = nullptr;
  {
    std::lock_guard decoding(openSSLDecoderLock());
    key = d2i_PUBKEY(nullptr, &p, static_cast<long>(spki_.size()));
  }
  if (!key) return {};
  BIO* bio = BIO_new(BIO_s_mem());
  Bytes out;
  if (PEM_write_bio_PUBKEY(bio, key) == 1) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    out.assign(data, data + n);
  }
  BIO_free(bio);
  EVP_PKEY_free(key);
  return out;
}

std::optional<Certificate> Certificate::fromDER(const Bytes& der) {
  if (der.empty()) return std::nullopt;
  const unsigned char* p = der.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (!x) return std::nullopt;
  if (p != der.data() + der.size()) {
    X509_free(x);
    return std::nullopt;
  }
  return Certificate(own(x));
}

std::optional<Certificate> Certificate::fromPEM(std::string_view pem) {
  auto all = allFromPEM(pem);
  if (all.empty()) return std::nullopt;
  return all.front();
}

std::vector<Certificate> Certificate::allFromPEM(std::string_view pem) {
  std::vector<Certificate> out;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (!bio) return out;
  while (X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr))
    out.push_back(Certificate(own(x)));
  BIO_free(bio);
  return out;
}

Certificate Certificate::fromNative(X509* x509) {
  X509_up_ref(x509);
  return Certificate(own(x509));
}

Bytes Certificate::DER() const {
  unsigned char* buf = nullptr;
  int n = i2d_X509(x509_.get(), &buf);
  if (n <= 0) return {};
  Bytes out(buf, buf + n);
  OPENSSL_free(buf);
  return out;
}

std::optional<PublicKey> Certificate::publicKey() const {
  EVP_PKEY* key = X509_get0_pubkey(x509_.get());
  if (!key) return std::nullopt;
  unsigned char* buf = nullptr;
  int n = i2d_PUBKEY(key, &buf);
  if (n <= 0) return std::nullopt;
  Bytes out(buf, buf + n);
  OPENSSL_free(buf);
  return PublicKey(std::move(out));
}

std::string Certificate::subjectSummary() const {
  X509_NAME* name = X509_get_subject_name(x509_.get());
  char cn[256];
  if (X509_NAME_get_text_by_NID(name, NID_commonName, cn, sizeof cn) > 0) return cn;
  char* line = X509_NAME_oneline(name, nullptr, 0);
  std::string out = line ? line : "";
  OPENSSL_free(line);
  return out;
}

bool Certificate::isSelfIssued() const {
  return X509_check_issued(x509_.get(), x509_.get()) == X509_V_OK;
}

}  // namespace platform::security
