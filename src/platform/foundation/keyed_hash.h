// keyedHash: a hash of bytes under a secret key drawn once per process
// (SipHash-1-3, its 128-bit key from the kernel's random source).
//
// For indexes whose keys come from outside (a peer's message, a server's
// reply): nobody who does not know the key can choose keys that collide in
// it, as they could under an unkeyed hash, to make every lookup and
// insertion walk all of them. The value differs from process to process;
// never store it or let it decide an order anyone sees.
//
// Thread safety: any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

std::uint64_t keyedHash(std::string_view bytes);

}  // namespace platform
