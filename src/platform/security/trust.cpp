#include "platform/security/trust.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/security/openssl_lock.h"
#include "platform/system/paths.h"

namespace platform::security {

namespace {
// OpenSSL frees its tables from an exit handler unless told not to. A
// thread still in a TLS call while the process exits (an upload, a load,
// the helper's channel) then reads freed tables and crashes the quit. The
// tables are kept until the process is gone; this runs before main(), so
// before anything else in the process starts OpenSSL.
[[maybe_unused]] const bool kOpenSSLKeptUntilExit =
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
}  // namespace

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

// Chains verified lately. A verification is a pure function of the store
// (every store here is built once and then only grows by folder lookups,
// which can add trust, never take it away), the chain, the host and the
// purpose, and of the time only through the certificates' validity: a
// success is reused while every certificate of its verified chain is
// still within its validity, for at most a minute. Kept connections have
// every request's server judged again, and the signature checks would
// otherwise cost more than the request.
class VerifiedChains {
 public:
  struct Key {
    X509_STORE* store;  // referenced by the entry, so no other store takes its address
    std::vector<Bytes> chain;
    std::string host;
    bool serverPolicy;
    bool operator==(const Key&) const = default;
  };

  static VerifiedChains& shared() {
    static VerifiedChains* chains = new VerifiedChains;  // never destroyed: used until exit
    return *chains;
  }

  // The verified chain of an earlier success with this key, if still good.
  std::optional<std::vector<Certificate>> find(const Key& key) {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (Entry& e : entries_) {
      if (e.key.store == nullptr || !(e.key == key)) continue;
      if (now - e.made > kMaximumAge || !allValidNow(e.verified)) {
        release(e);
        return std::nullopt;
      }
      return e.verified;
    }
    return std::nullopt;
  }

  void add(Key key, std::vector<Certificate> verified) {
    std::lock_guard lock(mutex_);
    Entry& e = entries_[next_];
    next_ = (next_ + 1) % entries_.size();
    release(e);
    X509_STORE_up_ref(key.store);
    e.key = std::move(key);
    e.verified = std::move(verified);
    e.made = std::chrono::steady_clock::now();
  }

 private:
  static constexpr auto kMaximumAge = std::chrono::seconds(60);
  struct Entry {
    Key key{nullptr, {}, {}, false};
    std::vector<Certificate> verified;
    std::chrono::steady_clock::time_point made;
  };
  static bool allValidNow(const std::vector<Certificate>& chain) {
    for (const Certificate& c : chain) {
      X509* x = c.native();
      if (X509_cmp_current_time(X509_get0_notBefore(x)) >= 0) return false;
      if (X509_cmp_current_time(X509_get0_notAfter(x)) <= 0) return false;
    }
    return true;
  }
  static void release(Entry& e) {
    if (e.key.store != nullptr) X509_STORE_free(e.key.store);
    e = Entry{};
  }
  std::mutex mutex_;
  std::array<Entry, 8> entries_{};
  std::size_t next_ = 0;
};

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
  VerifiedChains::Key key{store, {}, serverPolicy_ ? host_ : std::string(), serverPolicy_};
  key.chain.reserve(presented_.size());
  for (const Certificate& c : presented_) key.chain.push_back(c.DER());
  if (auto verified = VerifiedChains::shared().find(key)) {
    verified_ = std::move(*verified);
    failure_.clear();
    *result = anchors_.empty() ? TrustResult::kUnspecified : TrustResult::kProceed;
    sk_X509_free(untrusted);
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
    return true;
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
      VerifiedChains::shared().add(std::move(key), verified_);
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
