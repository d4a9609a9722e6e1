#include "support/colliding_keys.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>

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

std::uint64_t publicJSONKeyHash(std::string_view bytes) {
  std::uint64_t h = 1402737925ULL;
  for (const char c : bytes) h = ((h * 33U) + static_cast<std::uint8_t>(c) - 29U) ^ (h >> 19);
  return h;
}

std::vector<std::string> keysThatCollideInPublicJSONHash(std::size_t count) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  auto step = [](std::uint64_t h, char c) {
    return ((h * 33U) + static_cast<std::uint8_t>(c) - 29U) ^ (h >> 19);
  };
  // Block by block: the next state that the most two-byte blocks reach,
  // and those blocks.
  std::vector<std::vector<std::string>> choices;
  std::uint64_t state = publicJSONKeyHash({});
  double total = 1;
  while (total < static_cast<double>(count)) {
    std::map<std::uint64_t, std::vector<std::string>> next;
    for (const char a : kAlphabet) {
      for (const char b : kAlphabet) next[step(step(state, a), b)].push_back({a, b});
    }
    auto best = next.begin();
    for (auto it = next.begin(); it != next.end(); ++it) {
      if (it->second.size() > best->second.size()) best = it;
    }
    if (best->second.size() < 2) break;  // does not happen with this alphabet
    state = best->first;
    total *= static_cast<double>(best->second.size());
    choices.push_back(std::move(best->second));
  }
  std::vector<std::string> keys;
  std::vector<std::size_t> at(choices.size(), 0);
  while (keys.size() < count) {
    std::string key;
    for (std::size_t i = 0; i < choices.size(); ++i) key += choices[i][at[i]];
    keys.push_back(std::move(key));
    std::size_t i = 0;
    while (i < at.size() && ++at[i] == choices[i].size()) at[i++] = 0;
    if (i == at.size()) break;
  }
  return keys;
}

}  // namespace varnel::testing
