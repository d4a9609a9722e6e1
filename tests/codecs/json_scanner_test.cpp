#include "codecs/json_scanner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace codecs {
namespace {

struct Scan {
  explicit Scan(std::string text, std::uint64_t options = 0) : text_(std::move(text)) {
    state.begin(reinterpret_cast<const std::uint8_t*>(text_.data()), text_.size(), options);
  }
  std::string message() const {
    return state.recordedError().userInfo()[platform::kLocalizedDescriptionKey].asString();
  }
  std::uint64_t atIndex() const {
    return state.recordedError().userInfo()[kJTAtIndexKey].asUInt64();
  }
  std::string stringValue() {
    const JTTokenValue& v = state.token().value;
    return std::string(reinterpret_cast<const char*>(v.ptr), v.length);
  }
  std::string text_;
  JTParseState state;
};

TEST(JsonScanner, WhiteSpaceOnlyIsUnexpectedToken) {
  Scan s(" \t\r\n ");
  EXPECT_NE(s.state.nextToken(), 0);
  EXPECT_EQ(s.message(), JTParseState::kUnexpectedToken);
  EXPECT_EQ(s.atIndex(), 5u);
}

TEST(JsonScanner, LiteralsNeedAFollowingByte) {
  Scan ok("true]");
  ASSERT_EQ(ok.state.nextToken(), 0);
  EXPECT_EQ(ok.state.token().type, JTTokenType::True);
  Scan last("true");
  EXPECT_NE(last.state.nextToken(), 0);
  EXPECT_EQ(last.message(), JTParseState::kUnexpectedToken);
  Scan partial("tru]");
  EXPECT_NE(partial.state.nextToken(), 0);
  Scan caseSensitive("False]");
  EXPECT_NE(caseSensitive.state.nextToken(), 0);
  Scan f("false,");
  ASSERT_EQ(f.state.nextToken(), 0);
  EXPECT_EQ(f.state.token().type, JTTokenType::False);
}

TEST(JsonScanner, LeadingZeroEndsTheNumber) {
  Scan s("01]");
  ASSERT_EQ(s.state.nextToken(), 0);
  EXPECT_EQ(s.state.token().value.type, JTValueType::UnsignedLongLong);
  EXPECT_EQ(s.state.token().value.number.unsignedLongLongValue, 0u);
  ASSERT_EQ(s.state.nextToken(), 0);
  EXPECT_EQ(s.state.token().value.number.unsignedLongLongValue, 1u);
}

TEST(JsonScanner, NumberKindsAndLimits) {
  Scan negZero("-0]");
  ASSERT_EQ(negZero.state.nextToken(), 0);
  EXPECT_EQ(negZero.state.token().value.type, JTValueType::Double);
  EXPECT_TRUE(std::signbit(negZero.state.token().value.number.doubleValue));

  Scan max("18446744073709551615]");
  ASSERT_EQ(max.state.nextToken(), 0);
  EXPECT_EQ(max.state.token().value.number.unsignedLongLongValue, UINT64_MAX);

  // Beyond 64 bits an integer reads as the nearest double, unless the
  // options ask for the failure.
  Scan wide("18446744073709551616]");
  ASSERT_EQ(wide.state.nextToken(), 0);
  EXPECT_EQ(wide.state.token().value.type, JTValueType::Double);
  EXPECT_EQ(wide.state.token().value.number.doubleValue, 18446744073709551616.0);
  Scan wideNegative("-9223372036854775809]");
  ASSERT_EQ(wideNegative.state.nextToken(), 0);
  EXPECT_EQ(wideNegative.state.token().value.type, JTValueType::Double);
  EXPECT_EQ(wideNegative.state.token().value.number.doubleValue, -9223372036854775809.0);
  Scan huge(std::string(400, '9') + "]");
  EXPECT_NE(huge.state.nextToken(), 0) << "beyond a double as well";

  Scan over("18446744073709551616]", JTParseFlagIntegerOverflowFails);
  EXPECT_NE(over.state.nextToken(), 0);
  EXPECT_EQ(over.message(),
            "The value '18446744073709551616' exceeded the maximum value that could be "
            "represented: 18446744073709551615.");
  EXPECT_EQ(over.atIndex(), 20u);

  Scan under("-9223372036854775809]", JTParseFlagIntegerOverflowFails);
  EXPECT_NE(under.state.nextToken(), 0);
  EXPECT_EQ(under.message(),
            "The value '-9223372036854775809' exceeded the minimum value that could be "
            "represented: -9223372036854775808.");

  Scan big("1e400]");
  EXPECT_NE(big.state.nextToken(), 0);
  EXPECT_EQ(big.message(),
            "The value '1e400' could not be represented as a 'double' due to overflow.");
  Scan tiny("1e-400]");
  EXPECT_NE(tiny.state.nextToken(), 0);
  EXPECT_EQ(tiny.message(),
            "The value '1e-400' could not be represented as a 'double' due to underflow.");

  Scan denormal("4.9e-324]");  // representable: not an error
  ASSERT_EQ(denormal.state.nextToken(), 0);
  EXPECT_GT(denormal.state.token().value.number.doubleValue, 0.0);

  Scan atEnd("12");
  EXPECT_NE(atEnd.state.nextToken(), 0);
  EXPECT_EQ(atEnd.message(), "Invalid number.");
  EXPECT_EQ(atEnd.atIndex(), 2u);

  for (const char* bad : {"-]", "1.]", "1e]", "1e+]", ".5]"}) {
    Scan s(bad);
    EXPECT_NE(s.state.nextToken(), 0) << bad;
  }
}

TEST(JsonScanner, StringEscapesAndSurrogates) {
  Scan s(R"("a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00")");
  ASSERT_EQ(s.state.nextToken(), 0);
  EXPECT_EQ(s.stringValue(), "a\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(s.state.token().value.hash,
            jtHashBytes(s.stringValue().data(), s.stringValue().size()));

  Scan plain("\"abc\xC3\xA9\"");
  ASSERT_EQ(plain.state.nextToken(), 0);
  EXPECT_EQ(plain.state.token().value.ptr,
            reinterpret_cast<const std::uint8_t*>(plain.text_.data()) + 1)
      << "a plain string is not copied";
  EXPECT_EQ(plain.state.token().value.hash, jtHashBytes("abc\xC3\xA9", 5));
}

TEST(JsonScanner, StringErrors) {
  struct Case {
    const char* text;
    const char* message;
    std::uint64_t options;
  } cases[] = {
      {"\"\\ud83d\"",
       "Required a second \\u Unicode escape sequence following a surrogate \\u "
       "Unicode escape sequence.",
       0},
      {"\"\\ud83dx\"",
       "Required a second \\u Unicode escape sequence following a surrogate \\u "
       "Unicode escape sequence.",
       0},
      {"\"\\ude00\"", "Illegal \\u Unicode escape sequence.", 0},
      {"\"\\ud83d\\u0041\"", "Illegal \\u Unicode escape sequence.", 0},
      {"\"\\uzzzz\"",
       "Unexpected character found in \\u Unicode escape sequence.  Found 'z', "
       "expected [0-9a-fA-F].",
       0},
      {"\"\\x\"", "Invalid escape sequence found in \"\" string.", 0},
      {"\"a\tb\"", "Invalid character < 0x20 found in string: 0x09.", 0},
      {"\"\xC0\x80\"", "Illegal UTF8 sequence found in \"\" string.", 0},
      {"\"\\n\xE2", "End of buffer reached while parsing UTF8 in \"\" string.", 0},
      {"\"abc", "Invalid string.", 0},
  };
  for (const Case& c : cases) {
    Scan s(c.text, c.options);
    EXPECT_NE(s.state.nextToken(), 0) << c.text;
    EXPECT_EQ(s.message(), c.message) << c.text;
    EXPECT_EQ(s.atIndex(), 0u) << "a failed string reports its start: " << c.text;
  }
}

TEST(JsonScanner, LenientUnicodeReplaces) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    const char* text;
    std::string value;
  } cases[] = {
      {"\"\\u0000\"", std::string(1, '\0')},
      {"\"\\uffff\"", "\xEF\xBF\xBF"},
      {"\"\\ude00x\"", fffd + "x"},
      {"\"\\ud83dx\"", fffd + "x"},
      {"\"\\ud83d\\n\"", fffd + "\n"},
      {"\"\\ud83d\\u0041\"", fffd},
      {"\"a\xC0\x80z\"", "a" + fffd + fffd + "z"},
  };
  for (const Case& c : cases) {
    Scan s(c.text, JTParseFlagLenientUnicode);
    ASSERT_EQ(s.state.nextToken(), 0) << c.text;
    EXPECT_EQ(s.stringValue(), c.value) << c.text;
  }
}

TEST(JsonScanner, CommentsAndLineBreaksAreCounted) {
  Scan s("/* one\n two */ // three\n\r\n[", JTParseFlagComments);
  ASSERT_EQ(s.state.nextToken(), 0);
  EXPECT_EQ(s.state.token().type, JTTokenType::ArrayBegin);
  EXPECT_EQ(s.state.lineNumber(), 4u);

  Scan strict("/* x */[");
  EXPECT_NE(strict.state.nextToken(), 0);

  Scan unicode("\xE2\x80\xA8\xC2\x85[", JTParseFlagUnicodeLineBreaks);
  ASSERT_EQ(unicode.state.nextToken(), 0);
  EXPECT_EQ(unicode.state.lineNumber(), 3u);
}

TEST(JsonScanner, Utf8Validator) {
  auto conv = [](std::string bytes) {
    auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    return ConvertSingleCodePointInUTF8(p, p + bytes.size());
  };
  EXPECT_EQ(conv("\xF0\x9F\x98\x80").codePoint, 0x1F600u);
  EXPECT_EQ(conv("\xED\xA0\x80").result, JTUTF8Result::SourceIllegal);  // surrogate
  EXPECT_EQ(conv("\xEF\xBF\xBE").codePoint, 0xFFFEu);  // a noncharacter is a character
  EXPECT_EQ(conv("\xE2\x82").result, JTUTF8Result::SourceExhausted);
  EXPECT_EQ(conv("\xE2\x41").result, JTUTF8Result::SourceIllegal);
  EXPECT_EQ(conv("\xF5\x80\x80\x80").result, JTUTF8Result::SourceIllegal);
}

TEST(JsonScanner, IntegersOfEveryLength) {
  // Every length up to 20 digits, with each kind of byte after the last one
  // (the integer part is read eight digits at a time where it can be).
  std::string digits;
  for (int length = 1; length <= 20; ++length) {
    digits += static_cast<char>('0' + (length * 7) % 10);
    if (digits[0] == '0') digits[0] = '9';
    for (const char* after : {"]", ",1234567", " ", "}\n", ".25]", "e2]"}) {
      for (bool negative : {false, true}) {
        const std::string text = (negative ? "-" : "") + digits + after;
        Scan s(text, JTParseFlagIntegerOverflowFails);
        const int rc = s.state.nextToken();
        const bool real = after[0] == '.' || after[0] == 'e';
        const std::string number = text.substr(0, text.size() - std::string(after).size() +
                                                      (real ? std::string(after).size() - 1 : 0));
        if (!real && length == 20) {
          // These twenty digits are beyond 64 bits either way.
          EXPECT_NE(rc, 0) << text;
          continue;
        }
        ASSERT_EQ(rc, 0) << text << ": " << s.message();
        EXPECT_EQ(s.state.token().length, number.size()) << text;
        const JTTokenValue& v = s.state.token().value;
        if (real) {
          EXPECT_EQ(v.type, JTValueType::Double) << text;
          EXPECT_EQ(v.number.doubleValue, std::stod(number)) << text;
        } else if (negative) {
          EXPECT_EQ(v.type, JTValueType::LongLong) << text;
          EXPECT_EQ(v.number.longLongValue, std::stoll(number)) << text;
        } else {
          EXPECT_EQ(v.type, JTValueType::UnsignedLongLong) << text;
          EXPECT_EQ(v.number.unsignedLongLongValue, std::stoull(number)) << text;
        }
      }
    }
  }
  // Digits broken up inside an eight-byte window.
  for (const char* text : {"1234567/]", "1234567:]", "12345678901234567a]"}) {
    Scan s(text);
    ASSERT_EQ(s.state.nextToken(), 0) << text;
    const std::string number = std::string(text).substr(0, std::string(text).size() - 2);
    EXPECT_EQ(s.state.token().value.number.unsignedLongLongValue, std::stoull(number)) << text;
  }
}

TEST(JsonScanner, LongDecodedStringsGrowTheTokenBuffer) {
  // Far beyond the buffer's first size, with every kind of escape, so that
  // the output cursor crosses several growths.
  std::string text = "\"", expected;
  for (int i = 0; i < 3000; ++i) {
    text += R"(ab\n\u00e9\ud83d\ude00é\"/)";
    expected += "ab\n\xC3\xA9\xF0\x9F\x98\x80\xC3\xA9\"/";
  }
  text += "\"]";
  Scan s(text);
  ASSERT_EQ(s.state.nextToken(), 0) << s.message();
  EXPECT_EQ(s.stringValue(), expected);
  EXPECT_EQ(s.state.token().length, text.size() - 1);

  // Lenient replacement triples the size of each bad byte.
  std::string bad = "\"x\\n";
  for (int i = 0; i < 5000; ++i) bad += '\xff';
  bad += "\"]";
  Scan lenient(bad, JTParseFlagLenientUnicode);
  ASSERT_EQ(lenient.state.nextToken(), 0) << lenient.message();
  std::string replaced = "x\n";
  for (int i = 0; i < 5000; ++i) replaced += "\xEF\xBF\xBD";
  EXPECT_EQ(lenient.stringValue(), replaced);

  // A short one after the long ones still comes out exact.
  Scan again("\"a\\tb\" \"c\\u0041\"]");
  ASSERT_EQ(again.state.nextToken(), 0);
  EXPECT_EQ(again.stringValue(), "a\tb");
  ASSERT_EQ(again.state.nextToken(), 0);
  EXPECT_EQ(again.stringValue(), "cA");
  EXPECT_EQ(again.state.token().value.hash, jtHashBytes("cA", 2));
}

// The string reader looks at 16 (or 8) bytes at a time: every kind of
// special byte must be found wherever it falls in a block, on the path for
// plain strings and on the one that decodes escapes.
TEST(JsonScanner, SpecialBytesAtEveryPositionOfABlock) {
  struct Special {
    const char* text;
    const char* value;
  } specials[] = {
      {"\\n", "\n"},
      {"\\\"", "\""},
      {"\\\\", "\\"},
      {"\\/", "/"},
      {"\\u00e9", "\xC3\xA9"},
      {"\\ud83d\\ude00", "\xF0\x9F\x98\x80"},
      {"\xC3\xA9", "\xC3\xA9"},          // two-byte UTF-8
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},  // three bytes
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\x7F", "\x7F"},  // DEL is not a control byte
  };
  for (const Special& special : specials) {
    for (bool escapedFirst : {false, true}) {
      for (std::size_t before = 0; before <= 40; ++before) {
        for (std::size_t after : {0, 1, 15, 16, 17}) {
          const std::string lead = escapedFirst ? "\\t" : "";
          const std::string text = "\"" + lead + std::string(before, 'a') + special.text +
                                   std::string(after, 'b') + "\"]";
          const std::string expected = (escapedFirst ? "\t" : "") + std::string(before, 'a') +
                                       special.value + std::string(after, 'b');
          Scan s(text);
          ASSERT_EQ(s.state.nextToken(), 0) << text << ": " << s.message();
          EXPECT_EQ(s.stringValue(), expected) << text;
          EXPECT_EQ(s.state.token().length, text.size() - 1) << text;
          EXPECT_EQ(s.state.atIndex(), text.size() - 1) << text;
          EXPECT_EQ(s.state.token().value.hash, jtHashBytes(expected.data(), expected.size()))
              << text;
        }
      }
    }
  }
}

TEST(JsonScanner, StringsEndingAtABlockBoundary) {
  for (std::size_t length = 0; length <= 70; ++length) {
    for (bool escaped : {false, true}) {
      const std::string body = (escaped ? "\\r" : "") + std::string(length, 'x');
      const std::string value = (escaped ? "\r" : "") + std::string(length, 'x');
      // The closing quote as the last byte of the input: a string is a
      // token of its own (unlike a number or literal, it needs no byte
      // after it).
      Scan closed("\"" + body + "\"");
      ASSERT_EQ(closed.state.nextToken(), 0) << body << ": " << closed.message();
      EXPECT_EQ(closed.stringValue(), value);
      // Input that stops before the closing quote, exactly where a block
      // would end or anywhere else.
      Scan open("\"" + body);
      EXPECT_NE(open.state.nextToken(), 0) << body;
      EXPECT_EQ(open.message(), "Invalid string.") << body;
      EXPECT_EQ(open.atIndex(), 0u) << body;
      // A backslash as the very last byte.
      Scan cut("\"" + body + "\\");
      EXPECT_NE(cut.state.nextToken(), 0) << body;
      EXPECT_EQ(cut.message(), "Invalid string.") << body;
    }
  }
}

TEST(JsonScanner, BadBytesAtEveryPositionAreRefused) {
  struct Bad {
    std::string bytes;
    std::string message;
    std::string lenientValue;  // empty: refused even when lenient
  } bads[] = {
      {"\x01", "Invalid character < 0x20 found in string: 0x01.", ""},
      {"\x1F", "Invalid character < 0x20 found in string: 0x1f.", ""},
      {std::string(1, '\0'), "Invalid character < 0x20 found in string: 0x00.", ""},
      {"\n", "Invalid character < 0x20 found in string: 0x0a.", ""},
      {"\x80", "Illegal UTF8 sequence found in \"\" string.", "\xEF\xBF\xBD"},
      {"\xFF", "Illegal UTF8 sequence found in \"\" string.", "\xEF\xBF\xBD"},
      {"\xC0\x80", "Illegal UTF8 sequence found in \"\" string.", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "Illegal UTF8 sequence found in \"\" string.", "\xEF\xBF\xBD"},
  };
  for (const Bad& bad : bads) {
    // Before and after an escape, so that both string paths meet the byte.
    for (const char* escape : {"", "\\n"}) {
      for (bool escapeFirst : {true, false}) {
        for (std::size_t before = 0; before <= 33; ++before) {
          const std::string head = escapeFirst ? escape : "";
          const std::string tail = escapeFirst ? "" : escape;
          const std::string text =
              "\"" + head + std::string(before, 'a') + bad.bytes + "z" + tail + "\"]";
          Scan s(text);
          EXPECT_NE(s.state.nextToken(), 0) << before;
          EXPECT_EQ(s.message(), bad.message) << before << " " << escapeFirst;
          EXPECT_EQ(s.atIndex(), 0u);
          Scan lenient(text, JTParseFlagLenientUnicode);
          if (bad.lenientValue.empty()) {
            EXPECT_NE(lenient.state.nextToken(), 0) << before;
            continue;
          }
          ASSERT_EQ(lenient.state.nextToken(), 0) << before << ": " << lenient.message();
          const std::string decodedEscape = *escape ? "\n" : "";
          EXPECT_EQ(lenient.stringValue(), (escapeFirst ? decodedEscape : "") +
                                               std::string(before, 'a') + bad.lenientValue + "z" +
                                               (escapeFirst ? "" : decodedEscape))
              << before;
        }
      }
    }
  }
}

// Runs of non-ASCII text are checked sequence after sequence without going
// back to the block scan: a bad byte right inside such a run (no plain byte
// around it) must be found and reported as anywhere else, and the lenient
// scan must replace just it. Also a run that reaches the closing quote.
TEST(JsonScanner, BadBytesInsideRunsOfNonAsciiText) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Bad {
    std::string bytes;
    std::string lenientValue;
  } bads[] = {
      {"\x80", fffd},
      {"\xFF", fffd},
      {"\xC0\x80", fffd + fffd},
      {"\xED\xA0\x80", fffd},
      {"\xE4\xB8", fffd},          // cut short by the next lead byte
      {"\xF4\x90\x80\x80", fffd},  // beyond U+10FFFF
  };
  const std::string runs[] = {"\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80",
                              "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"};
  for (const std::string& unit : runs) {
    for (int count : {1, 3, 9}) {
      std::string run;
      for (int i = 0; i < count; ++i) run += unit;
      Scan clean("\"" + run + "\"]");
      ASSERT_EQ(clean.state.nextToken(), 0) << clean.message();
      EXPECT_EQ(clean.stringValue(), run);
      for (const Bad& bad : bads) {
        const std::string text = "\"" + run + bad.bytes + run + "\"]";
        Scan s(text);
        EXPECT_NE(s.state.nextToken(), 0) << ::testing::PrintToString(text);
        EXPECT_EQ(s.message(), "Illegal UTF8 sequence found in \"\" string.");
        Scan lenient(text, JTParseFlagLenientUnicode);
        ASSERT_EQ(lenient.state.nextToken(), 0) << ::testing::PrintToString(text);
        EXPECT_EQ(lenient.stringValue(), run + bad.lenientValue + run)
            << ::testing::PrintToString(text);
      }
    }
  }
}

// The escape decoder remembers the special bytes a block showed and copies
// the plain bytes up to the next one without looking again: runs of escapes
// and multi-byte sequences, a few bytes apart, must come out exact wherever
// the blocks fall.
TEST(JsonScanner, SpecialBytesCloseTogether) {
  struct Special {
    const char* text;
    const char* value;
  } specials[] = {
      {"\\\"", "\""},
      {"\\\\", "\\"},
      {"\\t", "\t"},
      {"\\u00e9", "\xC3\xA9"},
      {"\\ud83d\\ude00", "\xF0\x9F\x98\x80"},
      {"\xC3\xBC", "\xC3\xBC"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
  };
  const std::size_t n = std::size(specials);
  for (std::size_t lead = 0; lead <= 17; ++lead) {
    for (std::size_t gap = 0; gap <= 17; ++gap) {
      // Every special once, each followed by `gap` plain bytes, after an
      // escape so that the decoder takes them all.
      std::string text = "\"" + std::string(lead, 'a') + "\\n";
      std::string expected = std::string(lead, 'a') + "\n";
      for (std::size_t i = 0; i < n; ++i) {
        const Special& special = specials[(i * 3 + gap) % n];
        text += special.text + std::string(gap, static_cast<char>('b' + i));
        expected += special.value + std::string(gap, static_cast<char>('b' + i));
      }
      text += "\"]";
      Scan s(text);
      ASSERT_EQ(s.state.nextToken(), 0) << text << ": " << s.message();
      EXPECT_EQ(s.stringValue(), expected) << text;
      EXPECT_EQ(s.state.atIndex(), text.size() - 1) << text;
      // The decoder's entry (no hash) reads the same.
      Scan direct(text);
      ASSERT_EQ(direct.state.nextStringToken(), 0) << text;
      EXPECT_EQ(direct.stringValue(), expected) << text;
      EXPECT_EQ(direct.state.token().value.hash, 0u);
    }
  }
}

TEST(JsonScanner, RandomMixesOfEscapesAndMultiByteSequences) {
  // Against the plain meaning of each piece, for strings of every shape.
  struct Piece {
    const char* text;
    const char* value;
  } pieces[] = {
      {"a", "a"},
      {"Z", "Z"},
      {" ", " "},
      {"\\\"", "\""},
      {"\\\\", "\\"},
      {"\\/", "/"},
      {"\\b", "\b"},
      {"\\f", "\f"},
      {"\\n", "\n"},
      {"\\r", "\r"},
      {"\\t", "\t"},
      {"\\u0041", "A"},
      {"\\u00e9", "\xC3\xA9"},
      {"\\u20AC", "\xE2\x82\xAC"},
      {"\\ud83d\\ude00", "\xF0\x9F\x98\x80"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
  };
  std::mt19937 rng(3);
  for (int round = 0; round < 3000; ++round) {
    std::string text = "\"", expected;
    const int n = static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i) {
      // Plain runs of every length between the special pieces.
      const Piece& piece = pieces[rng() % std::size(pieces)];
      const std::size_t run = rng() % 4 == 0 ? rng() % 20 : 0;
      text += std::string(run, 'p') + piece.text;
      expected += std::string(run, 'p') + piece.value;
    }
    text += "\"";
    text += std::string(rng() % 3, ' ') + "]";
    Scan s(text);
    ASSERT_EQ(s.state.nextToken(), 0) << text << ": " << s.message();
    ASSERT_EQ(s.stringValue(), expected) << text;
    EXPECT_EQ(s.state.token().value.hash, expected.size() <= kJTHashedStringLength
                                              ? jtHashBytes(expected.data(), expected.size())
                                              : 0);
    Scan direct(text);
    ASSERT_EQ(direct.state.nextStringToken(), 0) << text;
    ASSERT_EQ(direct.stringValue(), expected) << text;
    EXPECT_EQ(direct.state.atIndex(), text.find_last_of('"') + 1) << text;
  }
}

TEST(JsonScanner, LongUtf8SequencesNearIllegalCodePoints) {
  struct Case {
    std::string bytes;
    bool legal;
  } cases[] = {
      {"\xEF\xB7\x8F", true},       // U+FDCF
      {"\xEF\xB7\x90", true},       // U+FDD0 (noncharacters are characters)
      {"\xEF\xB7\xAF", true},       // U+FDEF
      {"\xEF\xB7\xB0", true},       // U+FDF0
      {"\xEF\xBF\xBD", true},       // U+FFFD
      {"\xEF\xBF\xBF", true},       // U+FFFF
      {"\xED\x9F\xBF", true},       // U+D7FF
      {"\xED\xA0\x80", false},      // a surrogate
      {"\xE0\x9F\xBF", false},      // overlong
      {"\xF0\x9F\xBF\xBD", true},   // U+1FFFD
      {"\xF0\x9F\xBF\xBE", true},   // U+1FFFE
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
      {"\xF4\x8F\xBF\xBD", true},   // U+10FFFD
      {"\xF4\x90\x80\x80", false},  // beyond U+10FFFF
      {"\xF0\x8F\xBF\xBF", false},  // overlong
  };
  for (const Case& c : cases) {
    for (const char* before : {"", "\\n"}) {
      const std::string text = "\"" + std::string(before) + c.bytes + "\"]";
      Scan s(text);
      if (c.legal) {
        ASSERT_EQ(s.state.nextToken(), 0) << text << ": " << s.message();
        EXPECT_EQ(s.stringValue(), (*before ? "\n" : "") + c.bytes) << text;
      } else {
        EXPECT_NE(s.state.nextToken(), 0) << text;
        EXPECT_EQ(s.message(), "Illegal UTF8 sequence found in \"\" string.") << text;
      }
    }
  }
  // A sequence cut short by the end of the input.
  for (const char* cut : {"\"\xE2\x82", "\"\xF0\x9F\x98", "\"\\n\xE2\x82", "\"\\n\xF0\x9F"}) {
    Scan s(cut);
    EXPECT_NE(s.state.nextToken(), 0) << cut;
  }
}

TEST(JsonScanner, ShortPlainStringsReadWithoutTheFullScanner) {
  // Plain strings closed within the one or two blocks after the quote take
  // the short way in nextStringToken; anything else the full one. Either
  // way the token must be the one parseString makes.
  const std::string room(40, ' ');
  for (std::size_t length = 0; length <= 40; ++length) {
    for (const std::string& tail : {std::string("]"), "]" + room.substr(0, 17), "]" + room}) {
      for (const char* odd : {"", "\xC3\xA9", "\\t"}) {
        const std::string body = std::string(length, 'k') + odd;
        const std::string text = "\"" + body + "\"" + tail;
        Scan s(text);
        ASSERT_EQ(s.state.nextStringToken(), 0) << text;
        const std::string expected = std::string(length, 'k') + (odd[0] == '\\' ? "\t" : odd);
        EXPECT_EQ(s.stringValue(), expected) << text;
        EXPECT_EQ(s.state.token().type, JTTokenType::String);
        EXPECT_EQ(s.state.token().length, body.size() + 2) << text;
        EXPECT_EQ(s.state.atIndex(), body.size() + 2) << text;
        EXPECT_EQ(s.state.token().value.hash, 0u);
      }
    }
  }
  // A quote after a control byte, in the first block or the second, is not
  // the end.
  for (std::size_t before = 0; before <= 30; ++before) {
    Scan control("\"" + std::string(before, 'b') + "\x01" + "cd\"]" + room);
    EXPECT_NE(control.state.nextStringToken(), 0) << before;
  }
  // No closing quote within the input.
  Scan open("\"abcdefghijklmnopqrstuvwxyz");
  EXPECT_NE(open.state.nextStringToken(), 0);
}

TEST(JsonScanner, NumbersReadForTheDecoderCarryNoHash) {
  for (const char* text : {"12]", "-7]", "2.5]", "-9223372036854775808]"}) {
    Scan full(text);
    ASSERT_EQ(full.state.nextToken(), 0) << text;
    EXPECT_EQ(full.state.token().value.hash, jtHashNumber(full.state.token().value)) << text;
    EXPECT_NE(full.state.token().value.hash, 0u) << text;
    Scan direct(text);
    ASSERT_EQ(direct.state.nextNumberToken(), 0) << text;
    EXPECT_EQ(direct.state.token().value.hash, 0u) << text;
    EXPECT_EQ(direct.state.token().value.type, full.state.token().value.type) << text;
    EXPECT_EQ(direct.state.token().value.number.unsignedLongLongValue,
              full.state.token().value.number.unsignedLongLongValue)
        << text;
  }
}

TEST(JsonScanner, RealsWithDigitRunsOfEveryLength) {
  // Fractions and exponents are skipped eight digits at a time; the bytes
  // just outside '0'..'9' and bytes that carry must end a run exactly.
  for (std::size_t fraction = 1; fraction <= 20; ++fraction) {
    for (std::size_t exponent = 0; exponent <= 3; ++exponent) {
      for (const char* after : {"]", "/", ":", ",", "\xFF", "\xFA", " "}) {
        std::string number = "12.";
        for (std::size_t i = 0; i < fraction; ++i) number += static_cast<char>('0' + i % 10);
        if (exponent > 0) number += "e-" + std::string(exponent, '1');
        Scan s(number + after + "0");
        ASSERT_EQ(s.state.nextToken(), 0) << number << after << ": " << s.message();
        EXPECT_EQ(s.state.token().length, number.size()) << number << after;
        EXPECT_EQ(s.state.token().value.type, JTValueType::Double);
        EXPECT_EQ(s.state.token().value.number.doubleValue, std::stod(number)) << number;
      }
    }
  }
  for (const char* bad : {"1.e5]", "1.5e]", "1.5e+]", "1.5E-x]", "-.5]", "1.5e"}) {
    Scan s(bad);
    EXPECT_NE(s.state.nextToken(), 0) << bad;
    EXPECT_EQ(s.message(), "Invalid number.") << bad;
  }
}

TEST(JsonScanner, RealsConvertExactlyWhateverTheirDigitsAndExponent) {
  // Short reals take an exact shortcut (a significand of at most 53 bits
  // and a power of ten up to 22); every real, shortcut or not, must equal
  // what a correctly rounding conversion gives, bit for bit.
  std::mt19937_64 rng(5);
  std::vector<std::string> numbers = {"0.1",
                                      "0.30000000000000004",
                                      "9007199254740993.0",
                                      "9007199254740992.5",
                                      "1e22",
                                      "1e23",
                                      "123456789e-22",
                                      "4.9e-324",
                                      "1.7976931348623157e308",
                                      "0.000001",
                                      "1234567890123456789.5",
                                      "2.2250738585072014e-308"};
  char buf[64];
  for (int i = 0; i < 20000; ++i) {
    const double magnitude =
        std::ldexp(static_cast<double>(rng() >> 11), -static_cast<int>(rng() % 120));
    const int precision = 1 + static_cast<int>(rng() % 17);
    std::snprintf(buf, sizeof buf, rng() % 2 ? "%.*g" : "%.*e", precision,
                  rng() % 2 ? magnitude : -magnitude);
    numbers.push_back(buf);
    std::snprintf(
        buf, sizeof buf, "%llu.%llue%d", static_cast<unsigned long long>(rng() % 100000000),
        static_cast<unsigned long long>(rng() % 1000000000), static_cast<int>(rng() % 60) - 30);
    numbers.push_back(buf);
  }
  for (const std::string& number : numbers) {
    Scan s(number + "]");
    ASSERT_EQ(s.state.nextToken(), 0) << number << ": " << s.message();
    const JTTokenValue& v = s.state.token().value;
    if (v.type != JTValueType::Double) continue;  // an integer in %g's form
    const double expected = std::strtod(number.c_str(), nullptr);
    EXPECT_EQ(std::memcmp(&v.number.doubleValue, &expected, sizeof expected), 0)
        << number << " gave " << v.number.doubleValue;
  }
}

}  // namespace
}  // namespace codecs
