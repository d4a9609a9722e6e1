#include "support/test_certificates.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace test_support {

namespace {

struct Deleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter>;
using CertPtr = std::unique_ptr<X509, Deleter>;
using BioPtr = std::unique_ptr<BIO, Deleter>;

KeyPtr newKey() {
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) throw std::runtime_error("key generation failed");
  return key;
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) throw std::runtime_error("bad extension " + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

CertPtr newCertificate(EVP_PKEY* key, const std::string& commonName) {
  CertPtr cert(X509_new());
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return cert;
}

TestIdentity finish(X509* cert, EVP_PKEY* key) {
  TestIdentity identity;
  BioPtr certBio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(certBio.get(), cert);
  identity.certificatePEM = bioText(certBio.get());
  BioPtr keyBio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(keyBio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  identity.privateKeyPEM = bioText(keyBio.get());
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert, &der);
  identity.certificateDER.assign(der, der + length);
  OPENSSL_free(der);
  return identity;
}

std::string altNames(const std::vector<std::string>& dnsNames,
                     const std::vector<std::string>& ipAddresses) {
  std::string text;
  for (const auto& n : dnsNames) text += (text.empty() ? "" : ",") + std::string("DNS:") + n;
  for (const auto& a : ipAddresses) text += (text.empty() ? "" : ",") + std::string("IP:") + a;
  return text;
}

template <class T>
std::unique_ptr<T, Deleter> parse(const std::string& pem,
                                  T* (*reader)(BIO*, T**, pem_password_cb*, void*)) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return std::unique_ptr<T, Deleter>(reader(bio.get(), nullptr, nullptr, nullptr));
}

}  // namespace

TestIdentity makeCertificateAuthority(const std::string& commonName) {
  KeyPtr key = newKey();
  CertPtr cert = newCertificate(key.get(), commonName);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  addExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  X509_sign(cert.get(), key.get(), EVP_sha256());
  return finish(cert.get(), key.get());
}

TestIdentity makeLeafCertificate(const TestIdentity& issuer, const std::string& commonName,
                                 const std::vector<std::string>& dnsNames,
                                 const std::vector<std::string>& ipAddresses) {
  auto issuerCert = parse<X509>(issuer.certificatePEM, PEM_read_bio_X509);
  auto issuerKey = parse<EVP_PKEY>(issuer.privateKeyPEM, PEM_read_bio_PrivateKey);
  if (!issuerCert || !issuerKey) throw std::runtime_error("bad issuer");
  KeyPtr key = newKey();
  CertPtr cert = newCertificate(key.get(), commonName);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(issuerCert.get()));
  addExtension(cert.get(), issuerCert.get(), NID_basic_constraints, "CA:FALSE");
  // The TLS server role: key usage and extended key usage.
  addExtension(cert.get(), issuerCert.get(), NID_key_usage,
               "critical,digitalSignature,keyEncipherment");
  addExtension(cert.get(), issuerCert.get(), NID_ext_key_usage, "serverAuth,clientAuth");
  const std::string names = altNames(dnsNames, ipAddresses);
  if (!names.empty()) addExtension(cert.get(), issuerCert.get(), NID_subject_alt_name, names);
  X509_sign(cert.get(), issuerKey.get(), EVP_sha256());
  return finish(cert.get(), key.get());
}

TestIdentity makeSelfSignedCertificate(const std::string& commonName,
                                       const std::vector<std::string>& dnsNames,
                                       const std::vector<std::string>& ipAddresses) {
  KeyPtr key = newKey();
  CertPtr cert = newCertificate(key.get(), commonName);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  const std::string names = altNames(dnsNames, ipAddresses);
  if (!names.empty()) addExtension(cert.get(), cert.get(), NID_subject_alt_name, names);
  X509_sign(cert.get(), key.get(), EVP_sha256());
  return finish(cert.get(), key.get());
}

std::string writeTemporaryPEM(const std::string& pem, const std::string& fileName) {
  char dir[] = "/tmp/varnel-certXXXXXX";
  if (!::mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
  const std::string path = std::string(dir) + "/" + fileName;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  const bool ok = ::write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
  ::close(fd);
  if (!ok) throw std::runtime_error("cannot write " + path);
  return path;
}

}  // namespace test_support
