#include "codecs/json_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "codecs/json_decoder.h"
#include "platform/foundation/exception.h"

namespace codecs {
namespace {

using platform::Error;
using platform::Value;

std::string text(const Value& v, std::uint64_t options = 0) {
  Error error;
  Value out = JSONString(v, options, &error);
  EXPECT_TRUE(out.isString()) << error.description();
  return out.asString();
}

std::string failure(const Value& v, std::uint64_t options = 0,
                    const JTUnsupportedFormatter& formatter = {}) {
  Error error;
  Value out = JSONStringWithFormatter(v, options, formatter, &error);
  EXPECT_TRUE(out.isNone());
  return error.userInfo()[platform::kLocalizedDescriptionKey].asString();
}

TEST(JsonEncoder, EmptyCollections) {
  EXPECT_EQ(text(Value::array()), "[]");
  EXPECT_EQ(text(Value::dictionary()), "{}");
  EXPECT_EQ(text(Value::array(), JTSerializeOptionPretty), "[\n  \n]");
  EXPECT_EQ(text(Value::dictionary(), JTSerializeOptionPretty), "{\n  \n}");
}

TEST(JsonEncoder, PrettyPrintingSortsKeys) {
  Value v = Value::dictionary({{"b", 1}, {"a", Value::array({1, 2})}});
  EXPECT_EQ(text(v), R"({"b":1,"a":[1,2]})");
  EXPECT_EQ(text(v, JTSerializeOptionPretty), "{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": 1\n}");
}

// A decoded (immutable) tree is pretty-printed from its own tables; it must
// read exactly as the same document decoded into mutable collections,
// whose pairs are sorted one by one: keys out of order at every depth,
// objects inside arrays, keys that share prefixes, empty objects, repeated
// keys across objects and non-ASCII keys.
TEST(JsonEncoder, PrettyDecodedTreeMatchesMutableTree) {
  const std::vector<std::string> documents = {
      R"({"b":1,"a":[{"z":{},"y":[{"k2":1,"k10":2,"k1":3}],"x":{"b":{"d":1,"c":2},"a":[]}}]})",
      R"([{"name":"x","id":1},{"id":2,"name":"y","extra":{"q":"\u00e9","\u00e9":"q"}},{}])",
      R"({"ab":1,"a":2,"abc":3,"":4,"B":5,"b":[1,"s",{"m":null,"l":true}]})",
  };
  for (const std::string& doc : documents) {
    SCOPED_TRACE(doc);
    Value immutable = objectFromJSONString(doc);
    Value mutableTree = mutableObjectFromJSONString(doc);
    ASSERT_FALSE(immutable.isNone());
    ASSERT_FALSE(mutableTree.isNone());
    // Twice on the same thread: the second reuses the first one's state.
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(text(immutable, JTSerializeOptionPretty),
                text(mutableTree, JTSerializeOptionPretty));
    }
  }
  // An empty decoded object, first thing on a fresh thread (whose state
  // holds nothing yet).
  std::thread([] {
    EXPECT_EQ(text(objectFromJSONString("{}"), JTSerializeOptionPretty), "{\n  \n}");
  }).join();
  EXPECT_EQ(text(objectFromJSONString(R"({"b":{"d":1,"c":2},"a":0})"), JTSerializeOptionPretty),
            "{\n  \"a\": 0,\n  \"b\": {\n    \"c\": 2,\n    \"d\": 1\n  }\n}");
}

TEST(JsonEncoder, StringEscapes) {
  Value v = Value::array({std::string("q\"b\\t\t\x01/\b\f\n\r\x7f")});
  EXPECT_EQ(text(v), "[\"q\\\"b\\\\t\\t\\u0001/\\b\\f\\n\\r\x7f\"]");
  EXPECT_EQ(text(Value::array({"/"}), JTSerializeOptionEscapeSlash), "[\"\\/\"]");
  Value unicode = Value::array({"\xC3\xA9\xF0\x9F\x98\x80"});
  EXPECT_EQ(text(unicode), "[\"\xC3\xA9\xF0\x9F\x98\x80\"]");
  EXPECT_EQ(text(unicode, JTSerializeOptionEscapeNonASCII), "[\"\\u00e9\\ud83d\\ude00\"]");
}

TEST(JsonEncoder, StringRootWithAndWithoutQuotes) {
  EXPECT_EQ(stringJSONString(Value("a\"b")).asString(), "\"a\\\"b\"");
  EXPECT_EQ(stringJSONString(Value("a\"b"), 0, false).asString(), "a\\\"b");
  Value data = stringJSONData(Value("x"));
  ASSERT_TRUE(data.isData());
  EXPECT_EQ(std::string(data.asData().begin(), data.asData().end()), "\"x\"");
  Error error;
  EXPECT_TRUE(stringJSONString(Value::array(), 0, true, &error).isNone());
  EXPECT_EQ(error.localizedDescription(),
            "Unable to serialize object class array, expected a string.");
  EXPECT_TRUE(JSONString(Value("s"), 0, &error).isNone());
  EXPECT_EQ(error.localizedDescription(),
            "Unable to serialize object class string, expected an array or a dictionary.");
}

TEST(JsonEncoder, Numbers) {
  EXPECT_EQ(text(Value::array({1.5, 0.1, -42, 0, true, false, Value::null()})),
            "[1.5,0.10000000000000001,-42,0,true,false,null]");
  EXPECT_EQ(text(Value::array({std::numeric_limits<std::uint64_t>::max(),
                               std::numeric_limits<std::int64_t>::min()})),
            "[18446744073709551615,-9223372036854775808]");
  EXPECT_EQ(failure(Value::array({std::nan("")})),
            "Floating point values must be finite.  JSON does not support NaN or Infinity.");
  EXPECT_EQ(failure(Value::array({HUGE_VAL})),
            "Floating point values must be finite.  JSON does not support NaN or Infinity.");
}

TEST(JsonEncoder, KeysMustBeStrings) {
  EXPECT_EQ(failure(Value::dictionary({{Value(1), Value(2)}})), "Key must be a string object.");
}

TEST(JsonEncoder, UnsupportedValuesAndFormatter) {
  Value v = Value::array({Value::data("ab", 2)});
  EXPECT_EQ(failure(v), "Unable to serialize object class data.");
  auto toText = [](const Value& x) { return Value(std::to_string(x.asData().size())); };
  Error error;
  EXPECT_EQ(JSONStringWithFormatter(v, 0, toText, &error).asString(), "[\"2\"]");
  auto toDate = [](const Value&) { return Value(platform::Date(5)); };
  EXPECT_EQ(failure(v, 0, toDate),
            "Unable to serialize object class date that was returned by the unsupported class "
            "formatter.  Original object class was data.");
  auto refuse = [](const Value&) { return Value(); };
  EXPECT_EQ(failure(v, 0, refuse), "Unable to serialize object class data.");
}

TEST(JsonEncoder, SameObjectTwiceWritesSameBytes) {
  Value s("shared \"text\"");
  Value n(12345);
  EXPECT_EQ(text(Value::array({s, n, s, n})),
            R"(["shared \"text\"",12345,"shared \"text\"",12345])");
}

TEST(JsonEncoder, NestingLimitAndCycles) {
  Value deep = Value::array();
  for (std::size_t i = 0; i < kJTMaximumNestingDepth; ++i) deep = Value::array({deep});
  Error error;
  EXPECT_TRUE(JSONString(deep, 0, &error).isNone());
  EXPECT_EQ(error.code(), kJTErrorCodeNestingTooDeep);

  Value cycle = Value::mutableArray();
  cycle.append(cycle);
  EXPECT_TRUE(JSONString(cycle, 0, &error).isNone());
  EXPECT_EQ(error.code(), kJTErrorCodeNestingTooDeep);
  cycle.removeAt(0);  // break the cycle so the array is freed
}

TEST(JsonEncoder, InvalidUtf8InAStringIsAnError) {
  EXPECT_EQ(failure(Value::array({std::string("a\xFF")})),
            "An error occurred converting the contents of a string to UTF8.");
}

// Each byte that needs care, at every place in a string long enough to be
// read in blocks, with every option that changes its text.
TEST(JsonEncoder, EscapesAtEveryPlaceOfALongString) {
  struct Special {
    std::string raw, plain, slashEscaped, asciiOnly;
  };
  const std::vector<Special> specials = {
      {"\"", "\\\"", "\\\"", "\\\""},
      {"\\", "\\\\", "\\\\", "\\\\"},
      {"\n", "\\n", "\\n", "\\n"},
      {"\x01", "\\u0001", "\\u0001", "\\u0001"},
      {"\x1f", "\\u001f", "\\u001f", "\\u001f"},
      {"/", "/", "\\/", "/"},
      {"\x7f", "\x7f", "\x7f", "\x7f"},
      {"\xc3\xa9", "\xc3\xa9", "\xc3\xa9", "\\u00e9"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80", "\\ud83d\\ude00"},
  };
  const std::string filler = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ";
  // Short strings too (up to 20 bytes of filler beside the special one),
  // which are looked at in one go when they need no escape.
  std::vector<std::pair<std::size_t, std::size_t>> places;  // (before, length)
  for (std::size_t at = 0; at <= 40; ++at) places.emplace_back(at, 40);
  for (std::size_t length = 0; length <= 20; ++length) {
    for (std::size_t at = 0; at <= length; ++at) places.emplace_back(at, length);
  }
  for (const Special& special : specials) {
    for (const auto& [at, length] : places) {
      const std::string before = filler.substr(0, at), after = filler.substr(at, length - at);
      const Value v = Value::array({before + special.raw + after});
      EXPECT_EQ(text(v), "[\"" + before + special.plain + after + "\"]") << at;
      EXPECT_EQ(text(v, JTSerializeOptionEscapeSlash),
                "[\"" + before + special.slashEscaped + after + "\"]")
          << at;
      EXPECT_EQ(text(v, JTSerializeOptionEscapeNonASCII),
                "[\"" + before + special.asciiOnly + after + "\"]")
          << at;
    }
  }
  // A broken sequence deep in a long string is still found.
  EXPECT_EQ(failure(Value::array({filler + "\xc3" + filler})),
            "An error occurred converting the contents of a string to UTF8.");
  EXPECT_EQ(failure(Value::array({filler + "\xf0\x9f\x98" + filler})),
            "An error occurred converting the contents of a string to UTF8.");
}

// Runs of non-ASCII text (one sequence after another) are written as they
// stand, and a malformed sequence is refused wherever it sits in the run:
// first, in the middle, last, or cut off by the end of the string.
TEST(JsonEncoder, RunsOfNonAsciiTextAndBrokenSequencesInThem) {
  const std::string cjk = "\xe4\xb8\x82\xe4\xb8\x84\xe4\xb8\x85";  // three 3-byte sequences
  const std::string mixed = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xed\x9f\xbf\xe0\xa0\x80";
  for (const std::string& run : {cjk, mixed, cjk + mixed + cjk}) {
    EXPECT_EQ(text(Value::array({run})), "[\"" + run + "\"]");
    EXPECT_EQ(text(Value::array({"ab" + run + "cd" + run})), "[\"ab" + run + "cd" + run + "\"]");
  }
  EXPECT_EQ(text(Value::array({cjk}), JTSerializeOptionEscapeNonASCII),
            R"(["\u4e02\u4e04\u4e05"])");
  const std::vector<std::string> broken = {
      "\xed\xa0\x80",      // a surrogate
      "\xe0\x80\x80",      // overlong three-byte form
      "\xc0\x80",          // overlong two-byte form
      "\xc1\xbf",          // overlong two-byte form
      "\xe4\xb8",          // cut short
      "\xe4\x41\x82",      // a plain byte where a continuation belongs
      "\xe4\xb8\xc3",      // a lead where a continuation belongs
      "\xc3\xc3",          // the same, two-byte
      "\x80",              // a continuation without a lead
      "\xf4\x90\x80\x80",  // beyond U+10FFFF
      "\xf8\x88\x80\x80",  // no such lead
  };
  for (const std::string& bad : broken) {
    for (const std::string& s : {bad, cjk + bad, bad + cjk, cjk + bad + cjk, "x" + cjk + bad}) {
      EXPECT_EQ(failure(Value::array({s})),
                "An error occurred converting the contents of a string to UTF8.")
          << ::testing::PrintToString(s);
    }
  }
}

// decode(encode(v)) == v over generated values.
class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  std::string string() {
    std::string s;
    const int n = pick(0, 12);
    for (int i = 0; i < n; ++i) {
      switch (pick(0, 5)) {
        case 0:
          s.push_back(static_cast<char>(pick(1, 0x1F)));  // control characters
          break;
        case 1:
          s.push_back("\"\\/"[pick(0, 2)]);
          break;
        case 2:
          jtAppendUTF8(s, static_cast<std::uint32_t>(pick(0x80, 0xD7FF)));
          break;
        case 3: {
          std::uint32_t cp = static_cast<std::uint32_t>(pick(0x10000, 0x10FFFD));
          if ((cp & 0xFFFE) == 0xFFFE) cp -= 2;
          jtAppendUTF8(s, cp);  // surrogate pairs when escaped
          break;
        }
        default:
          s.push_back(static_cast<char>(pick(0x20, 0x7E)));
      }
    }
    return s;
  }

  Value leaf() {
    switch (pick(0, 7)) {
      case 0:
        return Value(string());
      case 1:
        return Value(static_cast<std::int64_t>(rng_()));  // big and negative
      case 2:
        return Value(static_cast<std::uint64_t>(rng_()) | (1ULL << 63));
      case 3: {
        const double d = std::ldexp(static_cast<double>(rng_() % 1000000) - 500000, pick(-60, 60));
        return Value(d);
      }
      case 4:
        return Value(pick(0, 1) == 1);
      case 5:
        return Value::null();
      default:
        return Value(static_cast<std::int64_t>(pick(-1000, 1000)));
    }
  }

  Value tree(int depth) {
    if (depth == 0 || pick(0, 3) == 0) return leaf();
    const int n = pick(0, 5);
    if (pick(0, 1) == 0) {
      std::vector<Value> elements;
      for (int i = 0; i < n; ++i) elements.push_back(tree(depth - 1));
      return Value::array(std::move(elements));
    }
    Value d = Value::mutableDictionary();
    for (int i = 0; i < n; ++i) d.set(Value(string()), tree(depth - 1));
    return d.copy();
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::mt19937_64 rng_;
};

TEST(JsonEncoder, RoundTripsGeneratedValues) {
  Generator gen(20261208);
  for (int i = 0; i < 400; ++i) {
    Value root = Value::array({gen.tree(5), gen.tree(4)});
    for (std::uint64_t options : {JTSerializeOptionNone, JTSerializeOptionPretty,
                                  JTSerializeOptionEscapeNonASCII | JTSerializeOptionEscapeSlash}) {
      Error error;
      Value json = JSONString(root, options, &error);
      ASSERT_TRUE(json.isString()) << error.description();
      Value back = objectFromJSONString(json.asString(), 0, &error);
      ASSERT_FALSE(back.isNone()) << error.description() << "\n" << json.asString();
      ASSERT_EQ(back, root) << json.asString();
    }
  }
}

TEST(JsonEncoder, RealsAreWrittenWithSeventeenSignificantDigitsExactly) {
  // Reals of everyday magnitudes take a shortcut of exact integer
  // arithmetic; every real must read as printf's "%.17g" would write it,
  // including halfway cases, powers of ten and values next to them.
  std::mt19937_64 rng(23);
  std::vector<double> reals = {0.1,
                               0.5,
                               1.0,
                               9.999999999999999e-4,
                               1e-3,
                               0.3,
                               2.5,
                               1e15,
                               9007199254740991.0,
                               9007199254740992.0,
                               123456.789,
                               0.001953125,
                               99999999999999.99,
                               1e16 - 1,
                               4503599627370495.5};
  for (int i = 0; i < 30000; ++i) {
    const double magnitude = std::ldexp(static_cast<double>(rng() >> 11) / 9007199254740992.0,
                                        static_cast<int>(rng() % 80) - 15);
    reals.push_back(rng() % 2 ? magnitude : -magnitude);
  }
  for (int e = -4; e <= 17; ++e) {
    const double p = std::pow(10.0, e);
    reals.push_back(p);
    reals.push_back(std::nextafter(p, 0.0));
    reals.push_back(std::nextafter(p, 1e300));
  }
  std::vector<Value> values(reals.begin(), reals.end());
  const std::string written = text(Value::array(values));
  std::string expected = "[";
  char buf[64];
  for (std::size_t i = 0; i < reals.size(); ++i) {
    if (i > 0) expected += ",";
    std::snprintf(buf, sizeof buf, "%.17g", reals[i]);
    expected += buf;
  }
  expected += "]";
  ASSERT_EQ(written.size(), expected.size());
  for (std::size_t at = 0, i = 0; at < expected.size(); ++i) {
    const std::size_t end = expected.find_first_of(",]", at + 1);
    ASSERT_EQ(written.substr(at, end - at), expected.substr(at, end - at)) << "real " << i;
    at = end;
  }
}

// Output beyond the first block goes into a chain of blocks assembled at
// the end. A string written again is copied from its first writing, which
// may lie in an earlier block; strings and escapes that straddle a block's
// end come out whole; both result forms hold the same bytes.
TEST(JsonEncoder, LargeOutputsAcrossBlocks) {
  const Value repeated("the same string object, written again and again");
  std::vector<Value> elements;
  std::string expected = "[";
  std::mt19937 rng(7);
  for (int i = 0; i < 60000; ++i) {
    if (i > 0) expected += ",";
    if (i % 3 == 0) {
      elements.push_back(repeated);
      expected += "\"" + std::string(repeated.stringView()) + "\"";
    } else {
      // Unique strings of every length up to 100, some with escapes.
      std::string s(rng() % 100, 'a' + static_cast<char>(i % 26));
      std::string escaped = s;
      if (!s.empty() && i % 5 == 0) {
        s[s.size() / 2] = '"';
        escaped = s.substr(0, s.size() / 2) + "\\\"" + s.substr(s.size() / 2 + 1);
      }
      elements.push_back(Value(s));
      expected += "\"" + escaped + "\"";
    }
  }
  expected += "]";
  ASSERT_GT(expected.size(), std::size_t{2} << 20) << "several blocks";
  const Value tree = Value::array(std::move(elements));
  for (int i = 0; i < 2; ++i) {  // the second with the thread's state reused
    EXPECT_EQ(text(tree), expected);
    const Value data = JSONData(tree);
    ASSERT_TRUE(data.isData());
    EXPECT_EQ(std::string(data.asData().begin(), data.asData().end()), expected);
  }
  // A small output after a large one is whole too.
  EXPECT_EQ(text(Value::array({repeated})), "[\"" + std::string(repeated.stringView()) + "\"]");
}

// Pretty printing remembers the key order of a set of decoded keys in one
// table layout. Objects that share some keys (the same key objects) but
// not all, in the same or other orders and counts, each come out sorted,
// exactly as the mutable tree of the same document (sorted pair by pair).
TEST(JsonEncoder, PrettyKeyOrderOfObjectsSharingKeys) {
  const std::vector<std::string> keys = {"k",  "a",   "b",   "c",  "x", "y", "ab",
                                         "ka", "kab", "aaa", "zz", "",  "é"};
  std::mt19937 rng(11);
  std::string doc = "[";
  for (int i = 0; i < 400; ++i) {
    if (i > 0) doc += ",";
    doc += "{";
    std::vector<std::string> chosen;
    const std::size_t count = rng() % 7;
    for (std::size_t j = 0; j < count; ++j) {
      const std::string& key = keys[rng() % keys.size()];
      if (std::find(chosen.begin(), chosen.end(), key) == chosen.end()) chosen.push_back(key);
    }
    for (std::size_t j = 0; j < chosen.size(); ++j) {
      if (j > 0) doc += ",";
      doc += "\"" + chosen[j] + "\":" + std::to_string(j);
    }
    doc += "}";
  }
  doc += "]";
  const Value immutable = objectFromJSONString(doc);
  const Value mutableTree = mutableObjectFromJSONString(doc);
  ASSERT_TRUE(immutable.isArray());
  ASSERT_TRUE(mutableTree.isArray());
  EXPECT_EQ(text(immutable, JTSerializeOptionPretty), text(mutableTree, JTSerializeOptionPretty));
}

}  // namespace
}  // namespace codecs
