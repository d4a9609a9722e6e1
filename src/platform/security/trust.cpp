#include "platform/security/trust.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/system/paths.h"

namespace platform::security {

std::string trustedCABundlePath() {
  return platform::paths::system("/etc/varnel/ca-certificates.pem");
}

ServerTrust::ServerTrust(std::vector<Certificate> presentedChain, std::string host)
    : presented_(std::move(presentedChain)), host_(std::move(host)) {}

ServerTrust ServerTrust::basic(std::vector<Certificate> certificates) {
  ServerTrust t(std::move(certificates), {});
  t.serverPolicy_ = false;
  return t;
}

namespace {

bool isIPAddress(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

bool ServerTrust::evaluate(TrustResult* result) {
  *result = TrustResult::kInvalid;
  verified_.clear();
  evaluated_ = true;
  if (presented_.empty()) {
    failure_ = "no certificate";
    return false;
  }
  X509_STORE* store = X509_STORE_new();
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  if (!store || !ctx || !untrusted) {
    X509_STORE_free(store);
    X509_STORE_CTX_free(ctx);
    sk_X509_free(untrusted);
    failure_ = "out of memory";
    return false;
  }
  X509_STORE_set_default_paths(store);
  const std::string bundle = trustedCABundlePath();
  X509_STORE_load_file(store, bundle.c_str());  // absent or unreadable: nothing added
  ERR_clear_error();
  for (const Certificate& a : anchors_) X509_STORE_add_cert(store, a.native());
  for (std::size_t i = 1; i < presented_.size(); ++i)
    sk_X509_push(untrusted, presented_[i].native());

  bool ok = false;
  if (X509_STORE_CTX_init(ctx, store, presented_[0].native(), untrusted) == 1) {
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
    if (!anchors_.empty()) X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    if (serverPolicy_) {
      X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
      if (!host_.empty()) {
        if (isIPAddress(host_)) {
          X509_VERIFY_PARAM_set1_ip_asc(param, host_.c_str());
        } else {
          X509_VERIFY_PARAM_set1_host(param, host_.c_str(), host_.size());
        }
      }
    }
    ok = X509_verify_cert(ctx) == 1;
    if (ok) {
      STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
      for (int i = 0; i < sk_X509_num(chain); ++i) {
        verified_.push_back(Certificate::fromNative(sk_X509_value(chain, i)));
      }
      failure_.clear();
      *result = anchors_.empty() ? TrustResult::kUnspecified : TrustResult::kProceed;
    } else {
      failure_ = X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
      *result = TrustResult::kRecoverableTrustFailure;
    }
  }
  ERR_clear_error();
  sk_X509_free(untrusted);
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(store);
  return *result != TrustResult::kInvalid;
}

std::size_t ServerTrust::certificateCount() const {
  return verified_.empty() ? presented_.size() : verified_.size();
}

Certificate ServerTrust::certificateAtIndex(std::size_t index) const {
  return verified_.empty() ? presented_.at(index) : verified_.at(index);
}

std::optional<PublicKey> ServerTrust::publicKey() const {
  if (!evaluated_ || presented_.empty()) return std::nullopt;
  return presented_[0].publicKey();
}

}  // namespace platform::security
