// DispatchSocketTLS: the TLS engine of one DispatchSocket connection.
//
// It wraps one OpenSSL session whose transport is a custom BIO: every byte
// the session reads or writes goes through the socket's own TLS read and
// write steps (DispatchSocket::sslReadWithBuffer / sslWriteWithBuffer) on
// the non-blocking descriptor, which answer "would block" instead of
// waiting. All results are DispatchSocketSSLStatus codes (0 = success).
//
// A client verifies the server's chain against the system's trust anchors
// (OpenSSL's default paths; SSL_CERT_FILE / SSL_CERT_DIR apply) and, when
// a peer name is set, the name. With manual trust the built-in check is off
// and handshake() answers kDispatchSocketSSLPeerAuthCompleted once the
// handshake is through, until trustGranted() is called.
//
// A client given a peer identifier (kDispatchSocketSSLPeerID) offers the
// session it last had with that peer for resumption and keeps the sessions
// the server gives it, in the TLSSessionCache it was created with
// (tls_session_cache.h; none: TLSSessionCache::shared(), whose limit is
// kDispatchSocketTLSSessionCacheLimit peers). The engine holds its cache.
//
// Thread safety: none; used only on its socket's queue. Session caches are
// shared by sockets and locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/sockets/dispatch_socket.h"
#include "net/sockets/tls_session_cache.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace net::sockets {

class DispatchSocketTLS {
 public:
  // Builds a session from the settings dictionary; null with a code-8 error
  // (the settings' message) when a setting is refused. A client with a peer
  // identifier keeps its sessions in `sessionCache` (none: the shared one).
  static std::unique_ptr<DispatchSocketTLS> create(DispatchSocket& socket,
                                                   const platform::Value& settings,
                                                   std::shared_ptr<TLSSessionCache> sessionCache,
                                                   platform::Error* error);
  ~DispatchSocketTLS();
  DispatchSocketTLS(const DispatchSocketTLS&) = delete;
  DispatchSocketTLS& operator=(const DispatchSocketTLS&) = delete;

  // One handshake step.
  int handshake();
  // Manual trust: the peer's chain, or null when there is none.
  std::shared_ptr<DispatchSocketTrust> copyPeerTrust() const;
  void trustGranted() { trustGranted_ = true; }
  // Decrypted bytes into `buffer` (at most `length`); *processed = bytes given.
  int read(std::uint8_t* buffer, std::size_t length, std::size_t* processed);
  // Encrypts and sends `length` bytes; a would-block write must be retried
  // with the same bytes. *processed = bytes taken (all or none).
  int write(const std::uint8_t* buffer, std::size_t length, std::size_t* processed);
  // Decrypted bytes buffered inside the session.
  std::size_t pending() const;
  // Sends the closing alert when it can without waiting; ends the session.
  void close();
  // OpenSSL's text for the last failure, "" when none.
  const std::string& lastErrorText() const { return lastErrorText_; }

  // An error of domain "kCFStreamErrorDomainSSL" for `status`.
  static platform::Error sslError(int status, std::string_view detail);

 private:
  explicit DispatchSocketTLS(DispatchSocket& socket) : socket_(socket) {}
  int statusFor(int result);

  DispatchSocket& socket_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool isServer_ = false;
  bool manualTrust_ = false;
  bool trustGranted_ = false;
  bool closed_ = false;
  std::string peerName_;
  platform::Bytes peerID_;
  std::shared_ptr<TLSSessionCache> sessionCache_;  // clients with a peer identifier
  std::string lastErrorText_;

  friend struct DispatchSocketTLSAccess;
};

}  // namespace net::sockets
