#include "platform/foundation/keyed_hash.h"

#include <array>

#include "platform/foundation/uuid.h"

namespace platform {

namespace {

std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

std::uint64_t littleEndian64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
};

// SipHash-1-3 of `s` under the 128-bit key (k0, k1).
std::uint64_t sipHash13(std::uint64_t k0, std::uint64_t k1, std::string_view s) {
  SipState st{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
              k1 ^ 0x7465646279746573ULL};
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t whole = s.size() & ~std::size_t{7};
  for (std::size_t at = 0; at < whole; at += 8) {
    const std::uint64_t m = littleEndian64(p + at);
    st.v3 ^= m;
    st.round();
    st.v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(s.size()) << 56;
  for (std::size_t i = s.size() - whole; i > 0; --i)
    last |= static_cast<std::uint64_t>(p[whole + i - 1]) << (8 * (i - 1));
  st.v3 ^= last;
  st.round();
  st.v0 ^= last;
  st.v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) st.round();
  return st.v0 ^ st.v1 ^ st.v2 ^ st.v3;
}

// The key, drawn once per process from the kernel's random source.
const std::array<std::uint64_t, 2>& indexKey() {
  static const std::array<std::uint64_t, 2> key = [] {
    const platform::UUID::Bytes16 a = platform::UUID::random().bytes(),
                                  b = platform::UUID::random().bytes();
    return std::array<std::uint64_t, 2>{littleEndian64(a.data()) ^ littleEndian64(b.data() + 8),
                                        littleEndian64(a.data() + 8) ^ littleEndian64(b.data())};
  }();
  return key;
}

}  // namespace

std::uint64_t keyedHash(std::string_view bytes) {
  const std::array<std::uint64_t, 2>& k = indexKey();
  return sipHash13(k[0], k[1], bytes);
}

}  // namespace platform
