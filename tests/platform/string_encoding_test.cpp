#include "platform/foundation/string_encoding.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(StringEncodingTest, IANANames) {
  EXPECT_EQ(encodingForIANAName("UTF-8"), StringEncoding::UTF8);
  EXPECT_EQ(encodingForIANAName("utf8"), StringEncoding::UTF8);
  EXPECT_EQ(encodingForIANAName("US-ASCII"), StringEncoding::ASCII);
  EXPECT_EQ(encodingForIANAName("iso-8859-1"), StringEncoding::ISOLatin1);
  EXPECT_EQ(encodingForIANAName("Latin1"), StringEncoding::ISOLatin1);
  EXPECT_EQ(encodingForIANAName("utf-16be"), StringEncoding::UTF16BE);
  EXPECT_EQ(encodingForIANAName("UTF-16LE"), StringEncoding::UTF16LE);
  EXPECT_EQ(encodingForIANAName("windows-1252"), StringEncoding::Other);
  EXPECT_EQ(encodingForIANAName("no-such-charset"), std::nullopt);
  EXPECT_EQ(encodingForIANAName(""), std::nullopt);
}

TEST(StringEncodingTest, ValidatesUTF8) {
  EXPECT_TRUE(isValidUTF8(""));
  EXPECT_TRUE(isValidUTF8("plain"));
  EXPECT_TRUE(isValidUTF8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  EXPECT_FALSE(isValidUTF8("\xc3"));              // truncated
  EXPECT_FALSE(isValidUTF8("\xe2\x82"));          // truncated
  EXPECT_FALSE(isValidUTF8("\xc0\xaf"));          // overlong
  EXPECT_FALSE(isValidUTF8("\xe0\x80\xaf"));      // overlong
  EXPECT_FALSE(isValidUTF8("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(isValidUTF8("\xf4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(isValidUTF8("\x80"));
  EXPECT_FALSE(isValidUTF8("a\xffz"));
}

TEST(StringEncodingTest, Decodes) {
  EXPECT_EQ(decodeString("caf\xe9", StringEncoding::ISOLatin1), "caf\xc3\xa9");
  EXPECT_EQ(decodeString("caf\xe9", "ISO-8859-1"), "caf\xc3\xa9");
  EXPECT_EQ(decodeString("abc", StringEncoding::ASCII), "abc");
  EXPECT_EQ(decodeString("ab\xe9", StringEncoding::ASCII), std::nullopt);
  EXPECT_EQ(decodeString("caf\xc3\xa9", StringEncoding::UTF8), "caf\xc3\xa9");
  EXPECT_EQ(decodeString("caf\xe9", StringEncoding::UTF8), std::nullopt);
  EXPECT_EQ(decodeString(std::string_view("\0A\x20\xac", 4), StringEncoding::UTF16BE),
            "A\xe2\x82\xac");
  EXPECT_EQ(decodeString(std::string_view("A\0\xac\x20", 4), StringEncoding::UTF16LE),
            "A\xe2\x82\xac");
  EXPECT_EQ(decodeString(std::string_view("A", 1), StringEncoding::UTF16LE), std::nullopt);
  EXPECT_EQ(decodeString("\x80", "windows-1252"), "\xe2\x82\xac");
  EXPECT_EQ(decodeString("x", "no-such-charset"), std::nullopt);
  EXPECT_EQ(decodeString("x", StringEncoding::Other), std::nullopt);
  std::string big(100000, '\xe9');
  auto decoded = decodeString(big, "latin1");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->size(), 200000u);
}

TEST(StringEncodingTest, Encodes) {
  EXPECT_EQ(encodeString("caf\xc3\xa9", StringEncoding::ISOLatin1), "caf\xe9");
  EXPECT_EQ(encodeString("\xe2\x82\xac", StringEncoding::ISOLatin1), std::nullopt);
  EXPECT_EQ(encodeString("abc", StringEncoding::ASCII), "abc");
  EXPECT_EQ(encodeString("caf\xc3\xa9", StringEncoding::ASCII), std::nullopt);
  EXPECT_EQ(encodeString("A\xe2\x82\xac", StringEncoding::UTF16BE), std::string("\0A\x20\xac", 4));
  EXPECT_EQ(encodeString("A", StringEncoding::UTF16LE), std::string("A\0", 2));
  EXPECT_EQ(encodeString("bad\xff", StringEncoding::UTF8), std::nullopt);
  EXPECT_EQ(encodeString("x", StringEncoding::Other), std::nullopt);
}

}  // namespace
}  // namespace platform

TEST(StringEncodingTest, EscapesXMLCharacterData) {
  std::string out = "<k>";
  platform::appendXMLEscaped(out, "a&b<c>\"d'\r\n", platform::kXMLEscapeMarkup);
  EXPECT_EQ(out, "<k>a&amp;b&lt;c&gt;\"d'\r\n");
  out.clear();
  platform::appendXMLEscaped(out, "\"q\"\r", platform::kXMLEscapeQuotes);
  EXPECT_EQ(out, "&quot;q&quot;\r");
  out.clear();
  platform::appendXMLEscaped(out, "\"q\"\r&", platform::kXMLEscapeCarriageReturn);
  EXPECT_EQ(out, "\"q\"&#13;&amp;");
  out.clear();
  platform::appendXMLEscaped(out, std::string_view("a\0b", 3),
                             platform::kXMLEscapeQuotes | platform::kXMLEscapeCarriageReturn);
  EXPECT_EQ(out, std::string("a\0b", 3));
}
