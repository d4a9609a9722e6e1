#include "codecs/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace codecs {
namespace {

std::string encode(std::string_view s, bool lines = true) {
  return Base64EncodeBytes(s.data(), s.size(), lines);
}
std::string decode(std::string_view s) {
  platform::Bytes b = dataFromBase64String(s);
  return std::string(b.begin(), b.end());
}

TEST(Base64, EncodesWithPadding) {
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("a"), "YQ==");
  EXPECT_EQ(encode("ab"), "YWI=");
  EXPECT_EQ(encode("abc"), "YWJj");
  EXPECT_EQ(base64EncodedString(platform::Bytes{0xFB, 0xFF}), "+/8=");
}

TEST(Base64, BreaksLinesEvery64Characters) {
  const std::string line(64, 'A');  // 48 zero bytes
  EXPECT_EQ(encode(std::string(48, '\0')), line);
  EXPECT_EQ(encode(std::string(49, '\0')), line + "\r\nAA==");
  EXPECT_EQ(encode(std::string(96, '\0')), line + "\r\n" + line);
  EXPECT_EQ(encode(std::string(97, '\0')), line + "\r\n" + line + "\r\nAA==");
  EXPECT_EQ(encode(std::string(96, '\0'), false), line + line);
}

TEST(Base64, DecodesLeniently) {
  EXPECT_EQ(decode("YWJj"), "abc");
  EXPECT_EQ(decode("YWJj\r\n"), "abc");
  EXPECT_EQ(decode("YW Jj"), "abc");
  EXPECT_EQ(decode("YQ"), "a");
  EXPECT_EQ(decode("YQ=="), "a");
  EXPECT_EQ(decode("Y"), "");
  EXPECT_EQ(decode("!!*&^"), "");
  EXPECT_EQ(decode("Y\x01W-J_j"), "abc") << "junk is skipped wherever it stands";
  EXPECT_EQ(decode("YWJj\xC3\xA9"), "") << "non-ASCII text decodes to empty data";
  platform::Bytes raw = Base64DecodeBytes("YWJj\x80\xFF", std::string_view::npos);
  EXPECT_EQ(std::string(raw.begin(), raw.end()), "abc");
}

TEST(Base64, RoundTripsEveryLength) {
  std::string bytes;
  for (int n = 0; n < 300; ++n) {
    EXPECT_EQ(decode(encode(bytes)), bytes) << n;
    bytes.push_back(static_cast<char>((n * 37) & 0xFF));
  }
}

}  // namespace
}  // namespace codecs
