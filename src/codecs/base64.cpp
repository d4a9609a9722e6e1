#include "codecs/base64.h"

#include <cstring>

namespace codecs {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

struct DecodeTable {
  std::uint8_t v[256];
  constexpr DecodeTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = kInvalid;
    for (int i = 0; i < 64; ++i)
      v[static_cast<std::uint8_t>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
};
constexpr DecodeTable kDecode;

}  // namespace

std::string Base64EncodeBytes(const void* bytes, std::size_t length, bool breakLines) {
  const auto* in = static_cast<const std::uint8_t*>(bytes);
  std::size_t size = ((length + 2) / 3) * 4;
  if (breakLines) size += (size / 64) * 2;
  std::string out;
  out.reserve(size);
  auto group = [&](std::size_t i) {
    const std::uint32_t n = (static_cast<std::uint32_t>(in[i]) << 16) |
                            (static_cast<std::uint32_t>(in[i + 1]) << 8) | in[i + 2];
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(kAlphabet[(n >> 6) & 63]);
    out.push_back(kAlphabet[n & 63]);
  };
  std::size_t i = 0;
  std::size_t inLine = 0;
  while (length - i >= 3) {
    group(i);
    i += 3;
    inLine += 3;
    if (breakLines && inLine == 48 && i < length) {
      out.append("\r\n");
      inLine = 0;
    }
  }
  const std::size_t rest = length - i;
  if (rest == 2) {
    const std::uint32_t n =
        (static_cast<std::uint32_t>(in[i]) << 16) | (static_cast<std::uint32_t>(in[i + 1]) << 8);
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(kAlphabet[(n >> 6) & 63]);
    out.push_back('=');
  } else if (rest == 1) {
    const std::uint32_t n = static_cast<std::uint32_t>(in[i]) << 16;
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.append("==");
  }
  return out;
}

platform::Bytes Base64DecodeBytes(const char* characters, std::size_t length) {
  if (characters == nullptr) return {};
  if (length == std::string_view::npos) length = std::strlen(characters);
  platform::Bytes out;
  out.reserve(((length + 3) / 4) * 3);
  std::uint32_t group = 0;
  int count = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint8_t v = kDecode.v[static_cast<std::uint8_t>(characters[i])];
    if (v == kInvalid) continue;
    group = (group << 6) | v;
    if (++count == 4) {
      out.push_back(static_cast<std::uint8_t>(group >> 16));
      out.push_back(static_cast<std::uint8_t>(group >> 8));
      out.push_back(static_cast<std::uint8_t>(group));
      group = 0;
      count = 0;
    }
  }
  if (count == 3) {
    group <<= 6;
    out.push_back(static_cast<std::uint8_t>(group >> 16));
    out.push_back(static_cast<std::uint8_t>(group >> 8));
  } else if (count == 2) {
    group <<= 12;
    out.push_back(static_cast<std::uint8_t>(group >> 16));
  }
  return out;
}

std::string base64EncodedString(const platform::Bytes& data) {
  return Base64EncodeBytes(data.data(), data.size(), true);
}

platform::Bytes dataFromBase64String(std::string_view string) {
  for (char c : string) {
    if (static_cast<unsigned char>(c) >= 0x80) return {};
  }
  return Base64DecodeBytes(string.data(), string.size());
}

}  // namespace codecs
