#include "platform/security/trust.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <mutex>

#include "platform/security/openssl_lock.h"
#include "platform/system/paths.h"

namespace platform::security {

std::mutex& openSSLDecoderLock() {
  static std::mutex* lock = new std::mutex;  // never destroyed: used until exit
  return *lock;
}

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

// The trusted certificates: the system's CA file and folder (honouring
// SSL_CERT_FILE and SSL_CERT_DIR as OpenSSL does) and our own bundle. The
// store is built once and shared by every evaluation while the bundle stays
// the same file with the same size and modification time; a verification
// only reads it (folder entries are loaded on demand under the store's own
// lock). OpenSSL's default paths would also add a lookup through its store
// loaders, which runs the key decoders in the middle of a verification;
// the file and the folder are all the system keeps.
X509_STORE* newSystemStore(const std::string& bundle) {
  X509_STORE* store = X509_STORE_new();
  if (!store) return nullptr;
  const char* file = std::getenv(X509_get_default_cert_file_env());
  const char* dir = std::getenv(X509_get_default_cert_dir_env());
  if (X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_file())) {
    X509_LOOKUP_load_file(lookup, file ? file : X509_get_default_cert_file(), X509_FILETYPE_PEM);
    X509_LOOKUP_load_file(lookup, bundle.c_str(), X509_FILETYPE_PEM);  // absent: nothing added
  }
  if (X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir())) {
    X509_LOOKUP_add_dir(lookup, dir ? dir : X509_get_default_cert_dir(), X509_FILETYPE_PEM);
  }
  ERR_clear_error();
  return store;
}

X509_STORE* trustStore() {
  struct Cached {
    std::string bundle;
    bool exists = false;
    struct timespec mtime {};
    off_t size = 0;
    X509_STORE* store = nullptr;
  };
  static Cached* cached = new Cached;  // never destroyed: evaluations may run until exit
  const std::string bundle = trustedCABundlePath();
  struct stat st {};
  const bool exists = ::stat(bundle.c_str(), &st) == 0;
  std::lock_guard lock(openSSLDecoderLock());
  const bool same =
      cached->store && cached->bundle == bundle && cached->exists == exists &&
      (!exists || (cached->size == st.st_size && cached->mtime.tv_sec == st.st_mtim.tv_sec &&
                   cached->mtime.tv_nsec == st.st_mtim.tv_nsec));
  if (!same) {
    X509_STORE* fresh = newSystemStore(bundle);
    if (!fresh) return nullptr;
    X509_STORE_free(cached->store);
    *cached =
        Cached{bundle, exists, exists ? st.st_mtim : timespec{}, exists ? st.st_size : 0, fresh};
  }
  X509_STORE_up_ref(cached->store);
  return cached->store;
}

X509_STORE* newStoreWithAnchors(X509_STORE* shared, const std::vector<Certificate>& anchors) {
  X509_STORE* store = X509_STORE_new();
  if (!store) return nullptr;
  // The shared store's certificates, then the anchors, in a store of this
  // evaluation's own; the system folder is looked up on demand as before.
  X509_STORE_lock(shared);
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(shared);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    X509_OBJECT* object = sk_X509_OBJECT_value(objects, i);
    if (X509_OBJECT_get_type(object) == X509_LU_X509) {
      X509_STORE_add_cert(store, X509_OBJECT_get0_X509(object));
    }
  }
  X509_STORE_unlock(shared);
  const char* dir = std::getenv(X509_get_default_cert_dir_env());
  if (X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir())) {
    X509_LOOKUP_add_dir(lookup, dir ? dir : X509_get_default_cert_dir(), X509_FILETYPE_PEM);
  }
  for (const Certificate& a : anchors) X509_STORE_add_cert(store, a.native());
  ERR_clear_error();
  return store;
}

// The shared store plus `anchors`. Building it copies every system
// certificate (most of the cost of a pinned evaluation), so the last one
// built is kept while the shared store and the anchors stay the same: the
// pinned certificates of a process rarely change, and every request of a
// kept connection is evaluated again.
X509_STORE* trustStoreWithAnchors(const std::vector<Certificate>& anchors) {
  struct Cached {
    std::mutex mutex;
    X509_STORE* shared = nullptr;  // referenced, so that no new store takes its address
    std::vector<Bytes> anchors;
    X509_STORE* store = nullptr;
  };
  static Cached* cached = new Cached;  // never destroyed: evaluations may run until exit
  X509_STORE* shared = trustStore();
  if (!shared) return nullptr;
  std::vector<Bytes> ders;
  ders.reserve(anchors.size());
  for (const Certificate& a : anchors) ders.push_back(a.DER());
  std::lock_guard lock(cached->mutex);
  if (!cached->store || cached->shared != shared || cached->anchors != ders) {
    X509_STORE* fresh = newStoreWithAnchors(shared, anchors);
    if (!fresh) {
      X509_STORE_free(shared);
      return nullptr;
    }
    X509_STORE_free(cached->store);
    X509_STORE_free(cached->shared);
    X509_STORE_up_ref(shared);
    cached->store = fresh;
    cached->shared = shared;
    cached->anchors = std::move(ders);
  }
  X509_STORE_free(shared);
  X509_STORE_up_ref(cached->store);
  return cached->store;
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
  X509_STORE* store = anchors_.empty() ? trustStore() : trustStoreWithAnchors(anchors_);
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  if (!store || !ctx || !untrusted) {
    X509_STORE_free(store);
    X509_STORE_CTX_free(ctx);
    sk_X509_free(untrusted);
    failure_ = "out of memory";
    return false;
  }
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
