#include "sdk/platform/bcn_encoding.h"

#include <openssl/sha.h>

#include <cstring>
#include <vector>

#include "platform/foundation/uuid.h"

namespace sdk {

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";
}  // namespace

void BCNHexEncodeByte(std::uint8_t byte, char* buffer) {
  if (!buffer) return;
  buffer[0] = kHexDigits[byte >> 4];
  buffer[1] = kHexDigits[byte & 0x0f];
}

void BCNHexEncodeBytes(const void* bytes, std::size_t length, char* buffer) {
  if (!buffer) return;
  std::memset(buffer, 0, 2 * length + 1);
  if (!bytes) return;
  const auto* in = static_cast<const std::uint8_t*>(bytes);
  for (std::size_t i = 0; i < length; ++i) BCNHexEncodeByte(in[i], buffer + 2 * i);
}

std::string BCNHexStringFromData(std::string_view data) {
  std::vector<char> buffer(2 * data.size() + 1);
  BCNHexEncodeBytes(data.data(), data.size(), buffer.data());
  return std::string(buffer.data(), 2 * data.size());
}

std::string BCNHexStringFromData(const platform::Bytes& data) {
  return BCNHexStringFromData(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

std::string BCNSHA1HexStringFromBytes(const void* bytes, std::size_t length) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  static const unsigned char kNothing = 0;
  SHA1(bytes ? static_cast<const unsigned char*>(bytes) : &kNothing, bytes ? length : 0, digest);
  char buffer[2 * SHA_DIGEST_LENGTH + 1];
  BCNHexEncodeBytes(digest, sizeof digest, buffer);
  return std::string(buffer, 2 * SHA_DIGEST_LENGTH);
}

std::string BCNSHA1HexStringFromData(const platform::Bytes& data) {
  return BCNSHA1HexStringFromBytes(data.data(), data.size());
}

std::string BCNSHA1HexStringFromData(std::string_view data) {
  return BCNSHA1HexStringFromBytes(data.data(), data.size());
}

std::string BCNUUIDHexString(const std::uint8_t* bytes16) {
  if (!bytes16) return {};
  char buffer[33];
  BCNHexEncodeBytes(bytes16, 16, buffer);
  return std::string(buffer, 32);
}

std::string BCNGenerateUUIDString() { return platform::UUID::random().string(); }

void BCNDataEnumerateByteRanges(const platform::Bytes& data, const BCNByteRangeBlock& block) {
  if (!block) return;
  bool stop = false;
  block(data.data(), BCNRange{0, data.size()}, &stop);
}

}  // namespace sdk
