#include "support/colliding_keys.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace varnel::testing {

std::vector<std::string> keysThatCollideInStdHash(std::size_t count) {
  constexpr std::uint64_t kMul = 0xc6a4a7935bd1e995ULL, kSeed = 0xc70f6907ULL;
  std::uint64_t inverse = kMul;
  for (int i = 0; i < 6; ++i) inverse *= 2 - kMul * inverse;
  auto shiftMix = [](std::uint64_t v) { return v ^ (v >> 47); };
  constexpr std::uint64_t kTarget = 0x0123456789abcdefULL;
  std::vector<std::string> keys;
  for (std::uint64_t n = 0; keys.size() < count; ++n) {
    char first[9];
    std::snprintf(first, sizeof first, "%08llx", static_cast<unsigned long long>(n));
    std::uint64_t k1;
    std::memcpy(&k1, first, 8);
    const std::uint64_t h1 = ((kSeed ^ (16 * kMul)) ^ (shiftMix(k1 * kMul) * kMul)) * kMul;
    const std::uint64_t d2 = h1 ^ (kTarget * inverse);
    const std::uint64_t k2 = shiftMix(d2 * inverse) * inverse;
    char second[8];
    std::memcpy(second, &k2, 8);
    bool printable = true;
    for (char c : second) printable = printable && c >= 0x21 && c <= 0x7e;
    if (printable) keys.push_back(std::string(first, 8) + std::string(second, 8));
  }
  return keys;
}

}  // namespace varnel::testing
