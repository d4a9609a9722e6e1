#include "net/sockets/dispatch_socket_tls.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "net/sockets/socket_error.h"
#include "platform/security/openssl_lock.h"

namespace net::sockets {

using platform::Error;
using platform::Value;

// Gives the BIO functions (plain C callbacks) the socket's private steps.
struct DispatchSocketTLSAccess {
  static int read(DispatchSocket& s, std::uint8_t* buffer, std::size_t* length) {
    return s.sslReadWithBuffer(buffer, length);
  }
  static int write(DispatchSocket& s, const std::uint8_t* buffer, std::size_t* length) {
    return s.sslWriteWithBuffer(buffer, length);
  }
  // Keeps a new client session for the connection's peer; true when the
  // cache took over the reference.
  static bool storeSession(DispatchSocketTLS& tls, SSL_SESSION* session) {
    if (tls.peerID_.empty() || !tls.sessionCache_) return false;
    tls.sessionCache_->store(tls.peerID_, session);
    return true;
  }
};

namespace {

Error tlsOtherError(std::string_view message) {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketOtherError, message);
}

std::string takeOpenSSLErrors() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(e, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text;
}

// --- the BIO that runs the socket's own read and write steps --------------------------------

int bioWrite(BIO* bio, const char* data, std::size_t length, std::size_t* written) {
  auto* socket = static_cast<DispatchSocket*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  std::size_t n = length;
  const int status =
      DispatchSocketTLSAccess::write(*socket, reinterpret_cast<const std::uint8_t*>(data), &n);
  if (n > 0) {
    *written = n;
    return 1;
  }
  if (status == kDispatchSocketSSLWouldBlock) BIO_set_retry_write(bio);
  return 0;
}

int bioRead(BIO* bio, char* data, std::size_t length, std::size_t* readBytes) {
  auto* socket = static_cast<DispatchSocket*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  std::size_t n = length;
  const int status =
      DispatchSocketTLSAccess::read(*socket, reinterpret_cast<std::uint8_t*>(data), &n);
  if (n > 0) {
    *readBytes = n;
    return 1;
  }
  if (status == kDispatchSocketSSLWouldBlock) BIO_set_retry_read(bio);
  return 0;
}

long bioCtrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* socketBIOMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "dispatch socket");
    BIO_meth_set_write_ex(m, bioWrite);
    BIO_meth_set_read_ex(m, bioRead);
    BIO_meth_set_ctrl(m, bioCtrl);
    BIO_meth_set_create(m, bioCreate);
    return m;
  }();
  return method;
}

// --- client sessions kept for resumption ------------------------------------------------------

int sessionIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int onNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* tls = static_cast<DispatchSocketTLS*>(SSL_get_ex_data(ssl, sessionIndex()));
  return tls && DispatchSocketTLSAccess::storeSession(*tls, session) ? 1 : 0;
}

// --- certificates ------------------------------------------------------------------------------

X509* parseCertificate(const platform::Bytes& bytes) {
  BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (!cert) {
    ERR_clear_error();
    const unsigned char* p = bytes.data();
    cert = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()));
  }
  return cert;
}

bool isIPLiteral(const std::string& name) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

int protocolVersion(std::int64_t code) {
  switch (code) {
    case kDispatchSocketTLSProtocol1:
      return TLS1_VERSION;
    case kDispatchSocketTLSProtocol11:
      return TLS1_1_VERSION;
    case kDispatchSocketTLSProtocol12:
      return TLS1_2_VERSION;
    case kDispatchSocketTLSProtocol13:
      return TLS1_3_VERSION;
    default:
      return -1;
  }
}

}  // namespace

// --- trust ---------------------------------------------------------------------------------------

bool DispatchSocketTrust::evaluate(const std::vector<Bytes>& anchors, std::string_view hostName,
                                   std::string* reason) const {
  auto fail = [&](std::string why) {
    if (reason) *reason = std::move(why);
    return false;
  };
  if (chain_.empty()) return fail("no certificate");
  X509_STORE* store = X509_STORE_new();
  for (const Bytes& anchor : anchors) {
    if (X509* cert = parseCertificate(anchor)) {
      X509_STORE_add_cert(store, cert);
      X509_free(cert);
    }
  }
  X509* leaf = parseCertificate(chain_.front());
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  for (std::size_t i = 1; i < chain_.size(); ++i) {
    if (X509* cert = parseCertificate(chain_[i])) sk_X509_push(untrusted, cert);
  }
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  bool ok = false;
  std::string why;
  if (leaf && X509_STORE_CTX_init(ctx, store, leaf, untrusted) == 1) {
    if (!hostName.empty()) {
      X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
      const std::string name(hostName);
      if (isIPLiteral(name)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
      } else {
        X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
      }
    }
    ok = X509_verify_cert(ctx) == 1;
    if (!ok) why = X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
  } else {
    why = "unreadable certificate";
  }
  X509_STORE_CTX_free(ctx);
  sk_X509_pop_free(untrusted, X509_free);
  X509_free(leaf);
  X509_STORE_free(store);
  ERR_clear_error();
  return ok ? true : fail(why);
}

// --- the engine ----------------------------------------------------------------------------------

Error DispatchSocketTLS::sslError(int status, std::string_view detail) {
  Value info = Value::mutableDictionary();
  info.set(platform::kLocalizedRecoverySuggestionErrorKey,
           Value("Error code definition can be found in Apple's SecureTransport.h"));
  if (!detail.empty()) info.set(platform::kLocalizedDescriptionKey, Value(detail));
  return Error(kSSLErrorDomain, status, info.copy());
}

std::unique_ptr<DispatchSocketTLS> DispatchSocketTLS::create(
    DispatchSocket& socket, const Value& settings, std::shared_ptr<TLSSessionCache> sessionCache,
    Error* error) {
  std::unique_ptr<DispatchSocketTLS> tls(new DispatchSocketTLS(socket));
  auto fail = [&](std::string_view message) -> std::unique_ptr<DispatchSocketTLS> {
    ERR_clear_error();
    if (error) *error = tlsOtherError(message);
    return nullptr;
  };
  ERR_clear_error();

  const Value isServer = settings[kDispatchSocketSSLIsServer];
  tls->isServer_ = isServer.isNumber() && isServer.asBool();
  tls->ctx_ = SSL_CTX_new(tls->isServer_ ? TLS_server_method() : TLS_client_method());
  if (!tls->ctx_) return fail("Error in SSLNewContext");
  tls->ssl_ = SSL_new(tls->ctx_);
  if (!tls->ssl_) return fail("Error in SSLNewContext");
  BIO* bio = BIO_new(socketBIOMethod());
  if (!bio) return fail("Error in SSLSetIOFuncs");
  BIO_set_data(bio, &socket);
  SSL_set_bio(tls->ssl_, bio, bio);
  SSL_set_mode(tls->ssl_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (tls->isServer_) {
    SSL_set_accept_state(tls->ssl_);
  } else {
    SSL_set_connect_state(tls->ssl_);
  }

  // Verification is switched on explicitly on the client side.
  if (!tls->isServer_) {
    if (SSL_CTX_set_default_verify_paths(tls->ctx_) != 1) return fail("Error in SSLNewContext");
    SSL_set_verify(tls->ssl_, SSL_VERIFY_PEER, nullptr);
  }

  const Value manual = settings[kDispatchSocketManuallyEvaluateTrust];
  if (manual && manual.asBool()) {
    if (tls->isServer_) return fail("Manual trust validation is not supported for server sockets");
    tls->manualTrust_ = true;
    SSL_set_verify(tls->ssl_, SSL_VERIFY_NONE, nullptr);
  }

  if (const Value peerName = settings[kDispatchSocketSSLPeerName]) {
    if (!peerName.isString()) return fail("Invalid value for kCFStreamSSLPeerName.");
    tls->peerName_ = peerName.asString();
    if (!tls->isServer_ && !tls->peerName_.empty()) {
      int ok = 1;
      if (isIPLiteral(tls->peerName_)) {
        ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls->ssl_), tls->peerName_.c_str());
      } else {
        ok = SSL_set1_host(tls->ssl_, tls->peerName_.c_str()) &&
             SSL_set_tlsext_host_name(tls->ssl_, tls->peerName_.c_str());
      }
      if (ok != 1) return fail("Error in SSLSetPeerDomainName");
    }
  }

  if (const Value certificates = settings[kDispatchSocketSSLCertificates]) {
    if (!certificates.isArray() || certificates.count() == 0 || !certificates[0].isData()) {
      return fail("Invalid value for kCFStreamSSLCertificates.");
    }
    const platform::Bytes& identity = certificates[0].asData();
    BIO* mem = BIO_new_mem_buf(identity.data(), static_cast<int>(identity.size()));
    X509* cert = PEM_read_bio_X509(mem, nullptr, nullptr, nullptr);
    BIO_free(mem);
    mem = BIO_new_mem_buf(identity.data(), static_cast<int>(identity.size()));
    EVP_PKEY* key = nullptr;
    {
      std::lock_guard decoding(platform::security::openSSLDecoderLock());
      key = PEM_read_bio_PrivateKey(mem, nullptr, nullptr, nullptr);
    }
    BIO_free(mem);
    bool ok = cert && key && SSL_use_certificate(tls->ssl_, cert) == 1 &&
              SSL_use_PrivateKey(tls->ssl_, key) == 1 && SSL_check_private_key(tls->ssl_) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    for (std::size_t i = 1; ok && i < certificates.count(); ++i) {
      X509* extra = certificates[i].isData() ? parseCertificate(certificates[i].asData()) : nullptr;
      ok = extra && SSL_add1_chain_cert(tls->ssl_, extra) == 1;
      X509_free(extra);
    }
    if (!ok) return fail("Error in SSLSetCertificate");
  }

  if (const Value peerID = settings[kDispatchSocketSSLPeerID]) {
    if (!peerID.isData()) return fail("Invalid value for DispatchSocketSSLPeerID.");
    tls->peerID_ = peerID.asData();
    if (!tls->isServer_ && !tls->peerID_.empty()) {
      SSL_CTX_set_session_cache_mode(tls->ctx_,
                                     SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
      SSL_CTX_sess_set_new_cb(tls->ctx_, onNewSession);
      if (SSL_set_ex_data(tls->ssl_, sessionIndex(), tls.get()) != 1) {
        return fail("Error in SSLSetPeerID");
      }
      tls->sessionCache_ = sessionCache ? std::move(sessionCache) : TLSSessionCache::shared();
      tls->sessionCache_->offerTo(tls->peerID_, tls->ssl_);
    }
  }

  if (const Value minimum = settings[kDispatchSocketSSLProtocolVersionMin]) {
    if (!minimum.isNumber()) return fail("Invalid value for DispatchSocketSSLProtocolVersionMin.");
    if (minimum.asInt64() != 0) {
      const int version = protocolVersion(minimum.asInt64());
      if (version < 0 || SSL_set_min_proto_version(tls->ssl_, version) != 1) {
        return fail("Error in SSLSetProtocolVersionMin");
      }
    }
  }
  if (const Value maximum = settings[kDispatchSocketSSLProtocolVersionMax]) {
    if (!maximum.isNumber()) return fail("Invalid value for DispatchSocketSSLProtocolVersionMax.");
    if (maximum.asInt64() != 0) {
      const int version = protocolVersion(maximum.asInt64());
      if (version < 0 || SSL_set_max_proto_version(tls->ssl_, version) != 1) {
        return fail("Error in SSLSetProtocolVersionMax");
      }
    }
  }
  // False start and one-byte records have no counterpart in this engine;
  // the values are checked and accepted.
  if (const Value v = settings[kDispatchSocketSSLSessionOptionFalseStart]; v && !v.isNumber()) {
    return fail("Invalid value for DispatchSocketSSLSessionOptionFalseStart.");
  }
  if (const Value v = settings[kDispatchSocketSSLSessionOptionSendOneByteRecord];
      v && !v.isNumber()) {
    return fail("Invalid value for DispatchSocketSSLSessionOptionSendOneByteRecord.");
  }

  if (const Value suites = settings[kDispatchSocketSSLCipherSuites]) {
    if (!suites.isArray()) return fail("Invalid value for DispatchSocketSSLCipherSuites.");
    std::string tls12, tls13;
    for (const Value& suite : suites.elements()) {
      if (!suite.isNumber()) return fail("Invalid value for DispatchSocketSSLCipherSuites.");
      const auto id = static_cast<std::uint16_t>(suite.asUInt64());
      const unsigned char bytes[2] = {static_cast<unsigned char>(id >> 8),
                                      static_cast<unsigned char>(id & 0xff)};
      const SSL_CIPHER* cipher = SSL_CIPHER_find(tls->ssl_, bytes);
      if (!cipher) continue;
      std::string& list = (id >> 8) == 0x13 ? tls13 : tls12;
      if (!list.empty()) list += ':';
      list += SSL_CIPHER_get_name(cipher);
    }
    bool ok = !(tls12.empty() && tls13.empty());
    if (ok) ok = SSL_set_ciphersuites(tls->ssl_, tls13.c_str()) == 1;
    if (ok && !tls12.empty()) ok = SSL_set_cipher_list(tls->ssl_, tls12.c_str()) == 1;
    if (ok && tls12.empty()) ok = SSL_set_min_proto_version(tls->ssl_, TLS1_3_VERSION) == 1;
    if (ok && tls13.empty()) ok = SSL_set_max_proto_version(tls->ssl_, TLS1_2_VERSION) == 1;
    if (!ok) return fail("Error in SSLSetEnabledCiphers");
  }

  if (const Value dh = settings[kDispatchSocketSSLDiffieHellmanParameters]) {
    if (!dh.isData()) return fail("Invalid value for DispatchSocketSSLDiffieHellmanParameters.");
    const platform::Bytes& pem = dh.asData();
    BIO* mem = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* params = nullptr;
    {
      std::lock_guard decoding(platform::security::openSSLDecoderLock());
      params = PEM_read_bio_Parameters(mem, nullptr);
    }
    BIO_free(mem);
    if (!params || SSL_set0_tmp_dh_pkey(tls->ssl_, params) != 1) {
      EVP_PKEY_free(params);
      return fail("Error in SSLSetDiffieHellmanParams");
    }
  }

  for (const char* key : {kDispatchSocketSSLAllowsAnyRoot, kDispatchSocketSSLAllowsExpiredRoots,
                          kDispatchSocketSSLValidatesCertificateChain,
                          kDispatchSocketSSLAllowsExpiredCertificates, kDispatchSocketSSLLevel}) {
    if (settings.contains(key)) return fail(std::string("Security option unavailable - ") + key);
  }
  return tls;
}

DispatchSocketTLS::~DispatchSocketTLS() {
  if (ssl_) SSL_free(ssl_);
  if (ctx_) SSL_CTX_free(ctx_);
}

int DispatchSocketTLS::statusFor(int result) {
  const int code = SSL_get_error(ssl_, result);
  switch (code) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      ERR_clear_error();
      return kDispatchSocketSSLWouldBlock;
    case SSL_ERROR_ZERO_RETURN:
      ERR_clear_error();
      return kDispatchSocketSSLClosedGraceful;
    case SSL_ERROR_SYSCALL:
      lastErrorText_ = takeOpenSSLErrors();
      return kDispatchSocketSSLClosedAbort;
    default:
      break;
  }
  const unsigned long first = ERR_peek_error();
  lastErrorText_ = takeOpenSSLErrors();
  if (ERR_GET_REASON(first) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    return kDispatchSocketSSLClosedAbort;
  }
  if (!isServer_ && !manualTrust_) {
    const long verify = SSL_get_verify_result(ssl_);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
      lastErrorText_ = X509_verify_cert_error_string(verify);
      return kDispatchSocketSSLHostNameMismatch;
    }
    if (verify != X509_V_OK) {
      lastErrorText_ = X509_verify_cert_error_string(verify);
      return kDispatchSocketSSLCertChainInvalid;
    }
  }
  return kDispatchSocketSSLProtocolError;
}

int DispatchSocketTLS::handshake() {
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    if (manualTrust_ && !trustGranted_) return kDispatchSocketSSLPeerAuthCompleted;
    return 0;
  }
  return statusFor(result);
}

std::shared_ptr<DispatchSocketTrust> DispatchSocketTLS::copyPeerTrust() const {
  STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl_);
  if (!chain || sk_X509_num(chain) == 0) return nullptr;
  std::vector<Bytes> der;
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    unsigned char* out = nullptr;
    const int length = i2d_X509(sk_X509_value(chain, i), &out);
    if (length <= 0) continue;
    der.emplace_back(out, out + length);
    OPENSSL_free(out);
  }
  return std::make_shared<DispatchSocketTrust>(std::move(der), peerName_);
}

int DispatchSocketTLS::read(std::uint8_t* buffer, std::size_t length, std::size_t* processed) {
  *processed = 0;
  if (length == 0) return 0;
  ERR_clear_error();
  std::size_t got = 0;
  const int result = SSL_read_ex(ssl_, buffer, length, &got);
  if (result == 1) {
    *processed = got;
    return 0;
  }
  return statusFor(result);
}

int DispatchSocketTLS::write(const std::uint8_t* buffer, std::size_t length,
                             std::size_t* processed) {
  *processed = 0;
  ERR_clear_error();
  std::size_t written = 0;
  const int result = SSL_write_ex(ssl_, buffer, length, &written);
  if (result == 1) {
    *processed = written;
    return 0;
  }
  return statusFor(result);
}

std::size_t DispatchSocketTLS::pending() const {
  const int n = SSL_pending(ssl_);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void DispatchSocketTLS::close() {
  if (closed_) return;
  closed_ = true;
  if (SSL_is_init_finished(ssl_)) {
    ERR_clear_error();
    SSL_shutdown(ssl_);  // best effort: never waits
    ERR_clear_error();
  }
}

// --- the socket's TLS steps --------------------------------------------------------------------

void DispatchSocket::startTLS(Value settings, std::shared_ptr<TLSSessionCache> sessionCache) {
  auto packet = std::make_shared<DispatchSpecialPacket>(
      settings.isDictionary() ? settings : Value::dictionary(), std::move(sessionCache));
  auto self = shared_from_this();
  socketQueue_->async([self, packet] {
    if ((self->flags_ & kSocketStarted) && !(self->flags_ & kQueuedTLS) &&
        !(self->flags_ & kForbidReadsWrites)) {
      self->readQueue_.emplace_back(packet);
      self->writeQueue_.emplace_back(packet);
      self->flags_ |= kQueuedTLS;
      self->maybeDequeueRead();
      self->maybeDequeueWrite();
    }
  });
}

void DispatchSocket::maybeStartTLS() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if ((flags_ & kStartingReadTLS) && (flags_ & kStartingWriteTLS)) sslStartTLS();
}

void DispatchSocket::sslStartTLS() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!currentRead_ ||
      !std::holds_alternative<std::shared_ptr<DispatchSpecialPacket>>(*currentRead_)) {
    closeWithError(
        makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketOtherError, "Logic error"));
    return;
  }
  auto marker = std::get<std::shared_ptr<DispatchSpecialPacket>>(*currentRead_);
  Error error;
  tls_ = DispatchSocketTLS::create(*this, marker->tlsSettings, marker->sessionCache, &error);
  if (!tls_) {
    closeWithError(error);
    return;
  }
  // Bytes read ahead of the switch belong to the TLS layer.
  sslPreBuffer_ = std::make_unique<DispatchSocketPreBuffer>(4096);
  const std::size_t ahead = preBuffer_->availableBytes();
  if (ahead > 0) {
    sslPreBuffer_->ensureCapacityForWrite(ahead);
    std::memcpy(sslPreBuffer_->writeBuffer(), preBuffer_->readBuffer(), ahead);
    sslPreBuffer_->didWrite(ahead);
    preBuffer_->didRead(ahead);
  }
  lastSSLHandshakeError_ = 0;
  sslErrCode_ = 0;
  sslContinueHandshake();
}

void DispatchSocket::sslContinueHandshake() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const int status = tls_->handshake();
  lastSSLHandshakeError_ = status;
  if (status == 0) {
    flags_ &= ~(kStartingReadTLS | kStartingWriteTLS);
    flags_ |= kSocketSecure;
    notify([](DispatchSocketDelegate& d, const DispatchSocketPtr& s) { d.socketDidSecure(s); });
    endCurrentRead();
    endCurrentWrite();
    maybeDequeueRead();
    maybeDequeueWrite();
    return;
  }
  if (status == kDispatchSocketSSLWouldBlock) return;
  if (status == kDispatchSocketSSLPeerAuthCompleted) {
    auto trust = tls_->copyPeerTrust();
    if (!trust) {
      closeWithError(DispatchSocketTLS::sslError(status, {}));
      return;
    }
    auto delegate = delegate_.lock();
    if (!delegateQueue_ || !delegate || !delegate->answersDidReceiveTrust()) {
      closeWithError(makeDomainError(
          kDispatchSocketErrorDomain, kDispatchSocketOtherError,
          "DispatchSocketManuallyEvaluateTrust specified in tlsSettings, but delegate doesn't "
          "implement socket:shouldTrustPeer:"));
      return;
    }
    const int index = stateIndex_;
    std::weak_ptr<DispatchSocket> weak = weak_from_this();
    QueuePtr queue = socketQueue_;
    // Answered once, from any thread; a late answer for an ended connection
    // is ignored by the index check.
    auto answered = std::make_shared<std::atomic<bool>>(false);
    std::function<void(bool)> handler = [weak, index, queue, answered](bool shouldTrust) {
      if (answered->exchange(true)) return;
      queue->async([weak, index, shouldTrust] {
        if (auto self = weak.lock()) self->sslShouldTrustPeer(shouldTrust, index);
      });
    };
    notify([trust, handler](DispatchSocketDelegate& d, const DispatchSocketPtr& s) {
      d.socketDidReceiveTrust(s, trust, handler);
    });
    return;
  }
  closeWithError(DispatchSocketTLS::sslError(status, tls_->lastErrorText()));
}

void DispatchSocket::sslShouldTrustPeer(bool shouldTrust, int stateIndex) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (stateIndex != stateIndex_ || !tls_) return;
  ++stateIndex_;
  if (shouldTrust) {
    tls_->trustGranted();
    sslContinueHandshake();
  } else {
    closeWithError(DispatchSocketTLS::sslError(kDispatchSocketSSLBadCert, {}));
  }
}

std::size_t DispatchSocket::sslBufferedBytes() const { return tls_ ? tls_->pending() : 0; }

int DispatchSocket::sslReadWithBuffer(std::uint8_t* buffer, std::size_t* length) {
  const std::size_t wanted = *length;
  *length = 0;
  if (socketFDBytesAvailable_ == 0 && sslPreBuffer_->availableBytes() == 0) {
    resumeReadSource();
    return kDispatchSocketSSLWouldBlock;
  }
  std::size_t total = 0;
  std::size_t left = wanted;
  if (const std::size_t ahead = sslPreBuffer_->availableBytes(); ahead > 0) {
    const std::size_t n = std::min(left, ahead);
    std::memcpy(buffer, sslPreBuffer_->readBuffer(), n);
    sslPreBuffer_->didRead(n);
    total += n;
    left -= n;
    if (left == 0) {
      *length = total;
      return 0;
    }
  }
  if (socketFDBytesAvailable_ == 0) {
    *length = total;
    return kDispatchSocketSSLWouldBlock;
  }
  const bool readIntoPreBuffer = socketFDBytesAvailable_ > left;
  const std::size_t bytesToRead = readIntoPreBuffer ? socketFDBytesAvailable_ : left;
  std::uint8_t* target = buffer + total;
  if (readIntoPreBuffer) {
    sslPreBuffer_->ensureCapacityForWrite(bytesToRead);
    target = sslPreBuffer_->writeBuffer();
  }
  const ssize_t result = ::read(connectedFD(), target, bytesToRead);
  int status;
  if (result < 0) {
    status = (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                 ? kDispatchSocketSSLWouldBlock
                 : kDispatchSocketSSLClosedAbort;
    socketFDBytesAvailable_ = 0;
  } else if (result == 0) {
    status = kDispatchSocketSSLClosedAbort;
    socketFDBytesAvailable_ = 0;
  } else {
    const auto n = static_cast<std::size_t>(result);
    socketFDBytesAvailable_ -= std::min<std::uint64_t>(socketFDBytesAvailable_, n);
    if (readIntoPreBuffer) {
      sslPreBuffer_->didWrite(n);
      const std::size_t copy = std::min(n, left);
      std::memcpy(buffer + total, sslPreBuffer_->readBuffer(), copy);
      sslPreBuffer_->didRead(copy);
      total += copy;
      left -= copy;
    } else {
      total += n;
      left -= n;
    }
    status = left == 0 ? 0 : kDispatchSocketSSLWouldBlock;
  }
  *length = total;
  return status;
}

int DispatchSocket::sslWriteWithBuffer(const std::uint8_t* buffer, std::size_t* length) {
  const std::size_t wanted = *length;
  *length = 0;
  if (!(flags_ & kSocketCanAcceptBytes)) {
    resumeWriteSource();
    return kDispatchSocketSSLWouldBlock;
  }
  const ssize_t result = ::send(connectedFD(), buffer, wanted, MSG_NOSIGNAL);
  if (result < 0) {
    flags_ &= ~kSocketCanAcceptBytes;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      resumeWriteSource();
      return kDispatchSocketSSLWouldBlock;
    }
    return kDispatchSocketSSLClosedAbort;
  }
  if (result == 0) {
    flags_ &= ~kSocketCanAcceptBytes;
    resumeWriteSource();
    return kDispatchSocketSSLWouldBlock;
  }
  *length = static_cast<std::size_t>(result);
  return *length == wanted ? 0 : kDispatchSocketSSLWouldBlock;
}

}  // namespace net::sockets
