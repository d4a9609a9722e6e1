#include "net/sockets/tls_session_cache.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <string>

namespace net::sockets {
namespace {

platform::Bytes peer(const std::string& id) { return platform::Bytes(id.begin(), id.end()); }

// The sessions here are empty ones: what is checked is which peers keep
// theirs and that every reference is taken and given back (the sanitizer
// builds see a session freed too early or never).
TEST(TLSSessionCacheTest, KeepsTheMostRecentPeersAndReplacesAPeersSession) {
  auto cache = TLSSessionCache::create({.limit = 2});
  cache->store(peer("a"), SSL_SESSION_new());
  cache->store(peer("b"), SSL_SESSION_new());
  cache->store(peer("a"), SSL_SESSION_new());  // replaces a's, a is the most recent
  EXPECT_EQ(cache->count(), 2u);
  cache->store(peer("c"), SSL_SESSION_new());  // drops b
  EXPECT_EQ(cache->count(), 2u);
  EXPECT_TRUE(cache->contains(peer("a")));
  EXPECT_FALSE(cache->contains(peer("b")));
  EXPECT_TRUE(cache->contains(peer("c")));

  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  ASSERT_NE(ctx, nullptr);
  SSL* ssl = SSL_new(ctx);
  ASSERT_NE(ssl, nullptr);
  EXPECT_FALSE(cache->offerTo(peer("b"), ssl));
  EXPECT_TRUE(cache->offerTo(peer("a"), ssl));  // a is the most recent again
  SSL_SESSION* offered = SSL_get_session(ssl);
  ASSERT_NE(offered, nullptr);
  cache->store(peer("d"), SSL_SESSION_new());  // drops c
  EXPECT_TRUE(cache->contains(peer("a")));
  EXPECT_FALSE(cache->contains(peer("c")));
  // The connection keeps its session when the cache lets it go.
  cache.reset();
  EXPECT_EQ(SSL_get_session(ssl), offered);
  EXPECT_GT(SSL_SESSION_get_timeout(offered), 0);  // still readable
  SSL_free(ssl);
  SSL_CTX_free(ctx);
}

TEST(TLSSessionCacheTest, LimitZeroKeepsNothingAndSharedHasTheDefaultLimit) {
  auto none = TLSSessionCache::create({.limit = 0});
  none->store(peer("a"), SSL_SESSION_new());
  EXPECT_EQ(none->count(), 0u);
  EXPECT_EQ(TLSSessionCache::create()->limit(), kDispatchSocketTLSSessionCacheLimit);
  EXPECT_EQ(TLSSessionCache::shared()->limit(), kDispatchSocketTLSSessionCacheLimit);
  EXPECT_EQ(TLSSessionCache::shared(), TLSSessionCache::shared());
}

}  // namespace
}  // namespace net::sockets
