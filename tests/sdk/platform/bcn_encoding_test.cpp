#include "sdk/platform/bcn_encoding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace sdk {
namespace {

// "8-4-4-4-12" upper-case hexadecimal, version 4, variant 1.
bool isRandomUUIDString(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    const char c = text[i];
    if (hyphen != (c == '-')) return false;
    if (!hyphen && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return text[14] == '4' && std::string_view("89AB").find(text[19]) != std::string_view::npos;
}

TEST(BCNEncoding, HexEncodeBytesHighNibbleFirstAndTerminated) {
  const std::uint8_t bytes[] = {0x00, 0xAB, 0xFF};
  char buffer[7];
  std::memset(buffer, 'x', sizeof buffer);
  BCNHexEncodeBytes(bytes, 3, buffer);
  EXPECT_STREQ(buffer, "00abff");
  EXPECT_EQ(BCNHexStringFromData(platform::Bytes{0x00, 0xAB, 0xFF}), "00abff");
  EXPECT_EQ(BCNHexStringFromData(std::string_view("\x01\x10", 2)), "0110");
  EXPECT_EQ(BCNHexStringFromData(platform::Bytes{}), "");
}

TEST(BCNEncoding, HexEncodeNullArguments) {
  char buffer[5];
  std::memset(buffer, 'x', sizeof buffer);
  BCNHexEncodeBytes(nullptr, 2, buffer);  // zero-filled, nothing written
  for (char c : buffer) EXPECT_EQ(c, '\0');
  BCNHexEncodeBytes("ab", 2, nullptr);  // nothing happens
  BCNHexEncodeByte(0x5c, nullptr);
  char two[2];
  BCNHexEncodeByte(0x5c, two);
  EXPECT_EQ(std::string(two, 2), "5c");
}

TEST(BCNEncoding, SHA1KnownDigests) {
  EXPECT_EQ(BCNSHA1HexStringFromBytes("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(BCNSHA1HexStringFromBytes(nullptr, 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(BCNSHA1HexStringFromData(std::string_view("")),
            "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(BCNSHA1HexStringFromData(platform::Bytes(fox.begin(), fox.end())),
            "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12");
}

TEST(BCNEncoding, UUIDStrings) {
  std::uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = static_cast<std::uint8_t>(i * 17);
  EXPECT_EQ(BCNUUIDHexString(bytes), "00112233445566778899aabbccddeeff");
  EXPECT_EQ(BCNUUIDHexString(nullptr), "");

  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    std::string uuid = BCNGenerateUUIDString();
    EXPECT_TRUE(isRandomUUIDString(uuid)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 64u);
}

TEST(BCNEncoding, EnumerateByteRangesOnceOverTheWholeBuffer) {
  platform::Bytes data{1, 2, 3, 4};
  int calls = 0;
  BCNDataEnumerateByteRanges(data, [&](const std::uint8_t* bytes, BCNRange range, bool* stop) {
    ++calls;
    EXPECT_EQ(bytes, data.data());
    EXPECT_EQ(range.location, 0u);
    EXPECT_EQ(range.length, 4u);
    ASSERT_NE(stop, nullptr);
    *stop = true;
  });
  EXPECT_EQ(calls, 1);
  BCNDataEnumerateByteRanges(data, nullptr);  // no block: nothing happens
}

}  // namespace
}  // namespace sdk
