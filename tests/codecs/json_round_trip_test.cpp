// What the encoder writes, the decoder reads back equal: random trees of
// strings drawn from every class of code point and of numbers at the edges
// of their kinds, under every combination of encoder options.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "codecs/json_decoder.h"
#include "codecs/json_encoder.h"

namespace codecs {
namespace {

using platform::Error;
using platform::Value;

void appendUTF8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}

  std::uint32_t pick(std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng_);
  }
  std::uint32_t range(std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng_);
  }

  // One code point from a class chosen at random: controls (U+0000
  // included), the characters JSON escapes, plain ASCII, two-, three- and
  // four-byte forms, noncharacters and the edges of the code space.
  std::uint32_t codePoint() {
    static constexpr std::uint32_t kEdges[] = {
        0x0,    0x7F,   0x80,    0x7FF,   0x800,    0xD7FF,  0xE000, 0xFFFD, 0xFFFE, 0xFFFF,
        0xFDD0, 0xFDEF, 0x10000, 0x1FFFE, 0x10FFFF, 0x1F600, 0x2028, 0x2029, 0xFEFF};
    switch (pick(8)) {
      case 0:
        return range(0, 0x1F);
      case 1:
        return "\"\\/\b\f\n\r\t"[pick(8)];
      case 2:
        return range(0x20, 0x7F);
      case 3:
        return range(0x80, 0x7FF);
      case 4: {
        const std::uint32_t cp = range(0x800, 0xFFFF);
        return cp >= 0xD800 && cp <= 0xDFFF ? cp - 0x800 : cp;  // no surrogates
      }
      case 5:
        return range(0x10000, 0x10FFFF);
      case 6:
        return (range(0, 16) << 16) | 0xFFFE | pick(2);  // U+xFFFE, U+xFFFF
      default:
        return kEdges[pick(sizeof kEdges / sizeof kEdges[0])];
    }
  }

  std::string string() {
    std::string s;
    const std::uint32_t length = pick(4) == 0 ? range(20, 200) : pick(12);
    for (std::uint32_t i = 0; i < length; ++i) appendUTF8(s, codePoint());
    return s;
  }

  Value number() {
    static const double kDoubles[] = {0.0,
                                      -0.0,
                                      0.1,
                                      -1.5,
                                      1e300,
                                      -1e-300,
                                      DBL_MAX,
                                      -DBL_MAX,
                                      DBL_MIN,
                                      std::numeric_limits<double>::denorm_min(),
                                      9007199254740993.0,
                                      18446744073709551616.0,
                                      -9223372036854775808.0,
                                      1e17,
                                      12345678901234567.0,
                                      3.0};
    switch (pick(6)) {
      case 0:
        return Value(kDoubles[pick(sizeof kDoubles / sizeof kDoubles[0])]);
      case 1: {
        // Any finite bit pattern.
        for (;;) {
          std::uint64_t bits = std::uniform_int_distribution<std::uint64_t>()(rng_);
          double d;
          std::memcpy(&d, &bits, sizeof d);
          if (std::isfinite(d)) return Value(d);
        }
      }
      case 2: {
        static constexpr std::int64_t kInts[] = {
            0, -1, 1, INT64_MIN, INT64_MAX, INT64_MIN + 1, -(std::int64_t{1} << 53) - 1};
        return Value(kInts[pick(sizeof kInts / sizeof kInts[0])]);
      }
      case 3: {
        static constexpr std::uint64_t kUInts[] = {UINT64_MAX, std::uint64_t{INT64_MAX} + 1,
                                                   UINT64_MAX - 1};
        return Value(kUInts[pick(sizeof kUInts / sizeof kUInts[0])]);
      }
      case 4:
        return Value(
            static_cast<std::int64_t>(std::uniform_int_distribution<std::uint64_t>()(rng_)));
      default:
        return Value(std::uniform_int_distribution<std::uint64_t>()(rng_));
    }
  }

  Value leaf() {
    switch (pick(5)) {
      case 0:
        return Value::null();
      case 1:
        return Value(pick(2) == 0);
      case 2:
        return number();
      default:
        return Value(string());
    }
  }

  Value tree(int depth) {
    if (depth > 3 || pick(3) == 0) return leaf();
    const std::uint32_t n = pick(6);
    if (pick(2) == 0) {
      std::vector<Value> elements;
      for (std::uint32_t i = 0; i < n; ++i) elements.push_back(tree(depth + 1));
      return Value::array(std::move(elements));
    }
    std::vector<std::pair<Value, Value>> pairs;
    for (std::uint32_t i = 0; i < n; ++i) pairs.emplace_back(Value(string()), tree(depth + 1));
    return Value::dictionary(std::move(pairs));
  }

 private:
  std::mt19937 rng_;
};

// Equal, and more: numbers keep their value to the bit (a double that reads
// back as an integer must be that integer exactly), strings their bytes.
::testing::AssertionResult same(const Value& written, const Value& read) {
  if (written.isReal()) {
    const double a = written.asDouble(), b = read.asDouble();
    if (!(read.isReal() || read.isInt() || read.isUInt()) || std::memcmp(&a, &b, sizeof a) != 0) {
      return ::testing::AssertionFailure()
             << "double " << written.description() << " read back as " << read.description();
    }
    if (!read.isReal() && static_cast<double>(read.asInt64()) != a &&
        static_cast<double>(read.asUInt64()) != a) {
      return ::testing::AssertionFailure() << "integer form of " << a << " is off";
    }
    return ::testing::AssertionSuccess();
  }
  // Integers keep their value; whether one below 2^63 is held as signed or
  // unsigned is the decoder's choice.
  if ((written.isInt() || written.isUInt()) && (read.isInt() || read.isUInt())) {
    if (written == read) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << written.description() << " read back as " << read.description();
  }
  if (written.kind() != read.kind()) {
    return ::testing::AssertionFailure()
           << written.description() << " read back as " << read.description();
  }
  if (written.isArray()) {
    if (written.count() != read.count()) return ::testing::AssertionFailure() << "array length";
    for (std::size_t i = 0; i < written.count(); ++i) {
      auto r = same(written[i], read[i]);
      if (!r) return r;
    }
    return ::testing::AssertionSuccess();
  }
  if (written.isDictionary()) {
    if (written.count() != read.count()) return ::testing::AssertionFailure() << "dictionary size";
    for (const auto& [key, value] : written.pairs()) {
      const Value found = read.get(key);
      if (found.isNone())
        return ::testing::AssertionFailure() << "key " << key.description() << " lost";
      auto r = same(value, found);
      if (!r) return r;
    }
    return ::testing::AssertionSuccess();
  }
  if (!(written == read)) {
    return ::testing::AssertionFailure()
           << written.description() << " read back as " << read.description();
  }
  return ::testing::AssertionSuccess();
}

TEST(JsonRoundTrip, WhatTheEncoderWritesTheDecoderReadsBackEqual) {
  const std::uint64_t optionSets[] = {
      JTSerializeOptionNone,
      JTSerializeOptionPretty,
      JTSerializeOptionEscapeNonASCII,
      JTSerializeOptionEscapeSlash,
      JTSerializeOptionPretty | JTSerializeOptionEscapeNonASCII | JTSerializeOptionEscapeSlash,
  };
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    Generator g(seed);
    Value root = Value::array({g.tree(0), g.tree(0), Value(g.string()), g.number()});
    for (std::uint64_t options : optionSets) {
      Error encodeError, decodeError;
      Value text = JSONString(root, options, &encodeError);
      ASSERT_TRUE(text.isString()) << "seed " << seed << ": " << encodeError.localizedDescription();
      if (options & JTSerializeOptionEscapeNonASCII) {
        for (unsigned char c : text.stringView()) ASSERT_LT(c, 0x80) << "seed " << seed;
      }
      Value back = objectFromJSONString(text.stringView(), JTParseFlagNone, &decodeError);
      ASSERT_FALSE(back.isNone()) << "seed " << seed << ", options " << options << ": "
                                  << decodeError.localizedDescription() << "\n"
                                  << text.stringView();
      EXPECT_TRUE(same(root, back)) << "seed " << seed << ", options " << options;
    }
  }
}

TEST(JsonRoundTrip, EveryCodePointOutsideTheSurrogatesSurvivesAlone) {
  // Each plane's noncharacters, U+0000 and both ends of every encoding length.
  std::vector<std::uint32_t> points = {0x0,    0x1F,   0x7F,   0x80,   0x7FF,   0x800,   0xD7FF,
                                       0xE000, 0xFDD0, 0xFDEF, 0xFFFD, 0x10000, 0x10FFFF};
  for (std::uint32_t plane = 0; plane <= 16; ++plane) {
    points.push_back((plane << 16) | 0xFFFE);
    points.push_back((plane << 16) | 0xFFFF);
  }
  for (std::uint32_t cp : points) {
    std::string s;
    appendUTF8(s, cp);
    for (std::uint64_t options : {JTSerializeOptionNone, JTSerializeOptionEscapeNonASCII}) {
      Value text = JSONString(Value::array({Value(s)}), options);
      ASSERT_TRUE(text.isString()) << std::hex << cp;
      Error error;
      Value back = objectFromJSONString(text.stringView(), JTParseFlagNone, &error);
      ASSERT_TRUE(back.isArray()) << std::hex << cp << ": " << error.localizedDescription();
      EXPECT_EQ(back[0].stringView(), s) << std::hex << cp << " as " << text.stringView();
    }
  }
}

TEST(JsonRoundTrip, IntegersBeyondSixtyFourBitsReadAsDoublesUnlessRefused) {
  const std::string text =
      "[123456789012345678901234567890,-18446744073709551617,18446744073709551615]";
  Value v = objectFromJSONString(text);
  ASSERT_TRUE(v.isArray());
  EXPECT_TRUE(v[0].isReal());
  EXPECT_EQ(v[0].asDouble(), 123456789012345678901234567890.0);
  EXPECT_TRUE(v[1].isReal());
  EXPECT_EQ(v[1].asDouble(), -18446744073709551617.0);
  EXPECT_TRUE(v[2].isUInt()) << "what fits stays an integer";
  EXPECT_EQ(v[2].asUInt64(), UINT64_MAX);

  Error error;
  EXPECT_TRUE(objectFromJSONString(text, JTParseFlagIntegerOverflowFails, &error).isNone());
  EXPECT_EQ(error.localizedDescription(),
            "The value '123456789012345678901234567890' exceeded the maximum value that could be "
            "represented: 18446744073709551615.");
  // Beyond a double as well, the number is refused either way.
  EXPECT_TRUE(objectFromJSONString("[" + std::string(400, '9') + "]").isNone());
}

// Well-formed UTF-8 as the standard defines it (noncharacters included).
bool isWellFormedUTF8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char b = *p;
    int n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b < 0x80) {
      n = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (end - p < n) return false;
    for (int i = 1; i < n; ++i) {
      const unsigned char c = p[i];
      if (c < (i == 1 ? lo : 0x80) || c > (i == 1 ? hi : 0xBF)) return false;
    }
    p += n;
  }
  return true;
}

// The decoder and the encoder check text in other scripts a block of bytes
// at a time: whatever lands where in a block (sequences cut by a block's
// end, one cut short just before another, stray continuation bytes, the
// leads that need a closer look), both accept exactly the well-formed text,
// read it back byte for byte, and name the fault otherwise.
TEST(JsonRoundTrip, TextInOtherScriptsIsCheckedAlikeWhereverItFallsInABlock) {
  const std::vector<std::string> pieces = {
      "a",
      " ",
      "\xC3\xA9",
      "\xD0\xB6",
      "\xE4\xB8\xAD",
      "\xEF\xBF\xBD",
      "\xE0\xA4\x85",
      "\xED\x9F\xBF",
      "\xF0\x9F\x98\x80",
      "\xF4\x8F\xBF\xBF",
      // Faults: a stray continuation byte, cut sequences, overlong forms,
      // surrogates, bytes that never start a sequence.
      "\x80",
      "\xBF",
      "\xC3",
      "\xE4\xB8",
      "\xF0\x9F\x98",
      "\xC0\x80",
      "\xC1\xBF",
      "\xE0\x80\x80",
      "\xED\xA0\x80",
      "\xF5\x80\x80\x80",
      "\xFF",
      "\xE4\xE4",
      "\xC3\xC3\xA9",
  };
  std::mt19937 rng(43);
  int accepted = 0, refused = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string s(rng() % 20, 'x');  // shifts what follows through a block
    const int count = 1 + static_cast<int>(rng() % 24);
    // Mostly well-formed: a fault in about one string in three.
    const bool faulty = rng() % 3 == 0;
    for (int i = 0; i < count; ++i) {
      const std::size_t pick = rng() % (faulty ? pieces.size() : 10);
      s += pieces[pick];
    }
    const bool wellFormed = isWellFormedUTF8(s);
    wellFormed ? ++accepted : ++refused;

    Error error;
    Value decoded = objectFromJSONString("[\"" + s + "\"]", JTParseFlagNone, &error);
    ASSERT_EQ(decoded.isArray(), wellFormed) << round << ": " << error.localizedDescription();
    if (wellFormed) {
      EXPECT_EQ(decoded[0].stringView(), s) << round;
    } else {
      EXPECT_NE(error.localizedDescription().find("UTF8"), std::string::npos)
          << round << ": " << error.localizedDescription();
    }

    Value encoded = JSONString(Value::array({Value(s)}), JTSerializeOptionNone, &error);
    ASSERT_EQ(encoded.isString(), wellFormed) << round;
    if (wellFormed) {
      EXPECT_EQ(encoded.stringView(), "[\"" + s + "\"]") << round;
    }
  }
  EXPECT_GT(accepted, 1000);
  EXPECT_GT(refused, 500);
}

}  // namespace
}  // namespace codecs
