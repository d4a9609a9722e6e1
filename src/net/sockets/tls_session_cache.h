// TLSSessionCache: client TLS sessions kept for resumption, by the peer
// identifier the caller gives a connection (kDispatchSocketSSLPeerID).
//
// Guarantees:
//  1. A cache keeps the sessions of at most `limit` peer identifiers (its
//     Options; kDispatchSocketTLSSessionCacheLimit by default), the most
//     recently used ones: storing a session, or offering one to a new
//     connection, makes its peer the most recent; a new peer beyond the
//     limit drops the least recently used. A limit of 0 keeps nothing.
//  2. A new session for a peer replaces that peer's old one.
//  3. `shared()` is the process's own cache, with the default limit: every
//     TLS client that is not given another cache (DispatchSocket::startTLS)
//     uses it. A cache lives as long as a connection uses it.
//  4. A session offered to a connection stays valid for that connection even
//     when the cache drops it meanwhile.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/foundation/value.h"

typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;

namespace net::sockets {

inline constexpr std::size_t kDispatchSocketTLSSessionCacheLimit = 64;

class TLSSessionCache {
 public:
  struct Options {
    // The number of peers whose sessions are kept.
    std::size_t limit = kDispatchSocketTLSSessionCacheLimit;
  };

  static std::shared_ptr<TLSSessionCache> create();
  static std::shared_ptr<TLSSessionCache> create(Options options);
  // The process's cache (3).
  static const std::shared_ptr<TLSSessionCache>& shared();

  ~TLSSessionCache();
  TLSSessionCache(const TLSSessionCache&) = delete;
  TLSSessionCache& operator=(const TLSSessionCache&) = delete;

  std::size_t limit() const { return limit_; }
  // Peers whose sessions are kept.
  std::size_t count() const;
  bool contains(const platform::Bytes& peerID) const;

  // Sets the session kept for `peerID` on `ssl` for resumption (4); false
  // when none is kept.
  bool offerTo(const platform::Bytes& peerID, SSL* ssl);
  // Takes over the caller's reference to `session` (freed at once when the
  // limit is 0).
  void store(const platform::Bytes& peerID, SSL_SESSION* session);

 private:
  explicit TLSSessionCache(Options options) : limit_(options.limit) {}
  void trimTo(std::size_t limit);  // under mutex_

  using Entry = std::pair<platform::Bytes, SSL_SESSION*>;
  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::list<Entry> order_;  // most recently used first
  std::map<platform::Bytes, std::list<Entry>::iterator> index_;
};

}  // namespace net::sockets
