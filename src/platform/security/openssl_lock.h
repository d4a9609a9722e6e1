// The lock around our loading of certificate stores and decoding of keys.
//
// Loading a certificate store from files runs OpenSSL's store loaders and
// key decoders, which share process-wide caches; under load, a store being
// loaded on one thread while a TLS identity's private key was decoded on
// another was seen to free a cache entry still in use (OpenSSL 3.0). Our
// own calls of that kind (the trust store, TLS identities and parameters of
// the sockets, exported public keys) hold this lock. Parsing certificates
// and TLS handshakes do not need it.
#pragma once

#include <mutex>

namespace platform::security {

std::mutex& openSSLDecoderLock();

}  // namespace platform::security
