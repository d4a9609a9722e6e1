#include "net/sockets/tls_session_cache.h"

#include <openssl/ssl.h>

namespace net::sockets {

std::shared_ptr<TLSSessionCache> TLSSessionCache::create() { return create(Options{}); }

std::shared_ptr<TLSSessionCache> TLSSessionCache::create(Options options) {
  return std::shared_ptr<TLSSessionCache>(new TLSSessionCache(options));
}

const std::shared_ptr<TLSSessionCache>& TLSSessionCache::shared() {
  static const std::shared_ptr<TLSSessionCache> cache = create();
  return cache;
}

TLSSessionCache::~TLSSessionCache() { trimTo(0); }

std::size_t TLSSessionCache::count() const {
  std::lock_guard lock(mutex_);
  return order_.size();
}

bool TLSSessionCache::contains(const platform::Bytes& peerID) const {
  std::lock_guard lock(mutex_);
  return index_.count(peerID) != 0;
}

bool TLSSessionCache::offerTo(const platform::Bytes& peerID, SSL* ssl) {
  std::lock_guard lock(mutex_);
  auto it = index_.find(peerID);
  if (it == index_.end()) return false;
  order_.splice(order_.begin(), order_, it->second);
  // The connection takes a reference of its own.
  return SSL_set_session(ssl, it->second->second) == 1;
}

void TLSSessionCache::store(const platform::Bytes& peerID, SSL_SESSION* session) {
  std::lock_guard lock(mutex_);
  auto it = index_.find(peerID);
  if (it != index_.end()) {
    SSL_SESSION_free(it->second->second);
    it->second->second = session;
    order_.splice(order_.begin(), order_, it->second);
  } else {
    order_.emplace_front(peerID, session);
    index_.emplace(peerID, order_.begin());
  }
  trimTo(limit_);
}

void TLSSessionCache::trimTo(std::size_t limit) {
  while (order_.size() > limit) {
    SSL_SESSION_free(order_.back().second);
    index_.erase(order_.back().first);
    order_.pop_back();
  }
}

}  // namespace net::sockets
