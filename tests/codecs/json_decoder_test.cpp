#include "codecs/json_decoder.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "codecs/json_collections.h"
#include "codecs/json_scanner.h"
#include "platform/foundation/exception.h"
#include "support/colliding_keys.h"

namespace codecs {
namespace {

using platform::Error;
using platform::Value;

struct Failure {
  std::string message;
  std::uint64_t atIndex;
  std::uint64_t line;
  std::int64_t code;
};

Failure fail(std::string_view text, std::uint64_t options = 0) {
  Error error;
  Value v = objectFromJSONString(text, options, &error);
  EXPECT_TRUE(v.isNone()) << text;
  EXPECT_EQ(error.domain(), kJTErrorDomain) << text;
  return {error.userInfo()[platform::kLocalizedDescriptionKey].asString(),
          error.userInfo()[kJTAtIndexKey].asUInt64(), error.userInfo()[kJTLineNumberKey].asUInt64(),
          error.code()};
}

TEST(JsonDecoder, ErrorMessagesAndOffsets) {
  struct Case {
    const char* text;
    const char* message;
    std::uint64_t atIndex;
  } cases[] = {
      {"", "Reached the end of the buffer.", 0},
      {"[", "Reached the end of the buffer.", 1},
      {"[1,", "Reached the end of the buffer.", 3},
      {"[1", "Invalid number.", 2},
      {"12 ", "Expected either '[' or '{'.", 2},
      {"\"s\" ", "Expected either '[' or '{'.", 3},
      {"[1,]", "Unexpected ']'.", 4},
      {"[1 2]", "Unexpected value.", 4},
      {"[01]", "Unexpected value.", 3},
      {"[,]", "Unexpected ','.", 2},
      {"[1,,2]", "Unexpected ','.", 4},
      {"[1}", "Expected a comma or a ']', not '}'", 3},
      {"[:", "Expected a value or a ']', not ':'", 2},
      {"{\"a\" 1}", "Expected ':'.", 6},
      {"{\"a\":}", "Expected a value, not '}'", 6},
      {"{,}", "Unexpected ','.", 2},
      {"{\"a\":1 \"b\":2}", "Unexpected string.", 10},
      {"{\"a\":1,}", "Unexpected '}'.", 8},
      {"{1:2}", "Expected a \"STRING\" or a '}', not '1'", 2},
      {"{\"a\":1]", "Expected a comma or a '}', not ']'", 7},
      {"[] x",
       "A valid JSON object was parsed but there were additional non-white-space "
       "characters remaining.",
       3},
      {"[x]",
       "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', "
       "'\"STRING\"', 'NUMBER'.",
       1},
  };
  for (const Case& c : cases) {
    Failure f = fail(c.text);
    EXPECT_EQ(f.message, c.message) << c.text;
    EXPECT_EQ(f.atIndex, c.atIndex) << c.text;
    EXPECT_EQ(f.code, kJTErrorCodeInvalid) << c.text;
  }
}

TEST(JsonDecoder, ReportsTheLineOfTheError) {
  Failure f = fail("[1,\n2,\n x]");
  EXPECT_EQ(f.line, 3u);
  EXPECT_EQ(f.atIndex, 8u);
}

TEST(JsonDecoder, NestingLimitIsACleanError) {
  std::string ok(kJTMaximumNestingDepth, '[');
  ok += std::string(kJTMaximumNestingDepth, ']');
  EXPECT_FALSE(objectFromJSONString(ok).isNone());

  std::string deep(100000, '[');
  Failure f = fail(deep);
  EXPECT_EQ(f.code, kJTErrorCodeNestingTooDeep);
  EXPECT_EQ(f.atIndex, kJTMaximumNestingDepth + 1);

  std::string objects;
  for (int i = 0; i < 600; ++i) objects += "{\"a\":";
  EXPECT_EQ(fail(objects).code, kJTErrorCodeNestingTooDeep);
}

TEST(JsonDecoder, ParsesValuesWithTheirKinds) {
  Value v = objectFromJSONString(
      R"({"s":"x","i":-5,"u":18446744073709551615,"n":42,"d":1.5,"t":true,"f":false,"z":null,)"
      R"("a":[],"o":{}})");
  ASSERT_TRUE(v.isDictionary());
  EXPECT_EQ(v.count(), 10u);
  EXPECT_EQ(v["s"].asString(), "x");
  EXPECT_TRUE(v["i"].isInt());
  EXPECT_EQ(v["i"].asInt64(), -5);
  EXPECT_TRUE(v["u"].isUInt());
  EXPECT_EQ(v["u"].asUInt64(), UINT64_MAX);
  EXPECT_TRUE(v["n"].isInt()) << "unsigned values up to 2^63-1 become signed numbers";
  EXPECT_TRUE(v["d"].isReal());
  EXPECT_TRUE(v["t"].isBool() && v["t"].asBool());
  EXPECT_TRUE(v["f"].isBool() && !v["f"].asBool());
  EXPECT_TRUE(v["z"].isNull());
  EXPECT_TRUE(v["a"].isArray());
  EXPECT_EQ(v["a"].count(), 0u);
  EXPECT_TRUE(v["o"].isDictionary());

  Value t = objectFromJSONString("[true]");
  ASSERT_TRUE(t.isArray());
  EXPECT_EQ(t[0], Value(true));
}

// Every byte where a value or a blank may stand: the fast path (taken by
// default) must build what the full path (forced by the Unicode line-break
// option, which no single byte can bring into play) builds, or fail with the
// same error at the same place.
TEST(JsonDecoder, EveryByteReadsTheSameOnBothPaths) {
  for (int c = 0; c < 256; ++c) {
    const std::string b(1, static_cast<char>(c));
    for (const std::string& text :
         {"[" + b + "]", "[" + b + "1]", "[1" + b + "]", "[1," + b + "2]", "{\"k\":" + b + "}",
          "{\"k\"" + b + ":1}", "{" + b + "\"k\":1}", "{\"k\":1" + b + "}", "[" + b + "\"x\"]",
          "[" + b + "rue]", "[" + b + "alse]", "[" + b + "ull]", "[" + b + "0]"}) {
      Error fastError, fullError;
      Value fast = objectFromJSONString(text, JTParseFlagNone, &fastError);
      Value full = objectFromJSONString(text, JTParseFlagUnicodeLineBreaks, &fullError);
      ASSERT_EQ(fast.isNone(), full.isNone()) << "byte " << c << " in " << text;
      if (fast.isNone()) {
        EXPECT_EQ(fastError.localizedDescription(), fullError.localizedDescription()) << c;
        EXPECT_EQ(fastError.userInfo()[kJTAtIndexKey], fullError.userInfo()[kJTAtIndexKey]) << c;
      } else {
        EXPECT_EQ(fast, full) << "byte " << c << " in " << text;
        EXPECT_EQ(fast.description(), full.description()) << c;
      }
    }
  }
  // The blanks themselves, around every token.
  Value v = objectFromJSONString(" \t\r\n{ \"a\" \n:\r[ 1 ,\ttrue\n,null\r] ,\"b\":{ } }\n ");
  EXPECT_EQ(v, Value::dictionary(
                   {{"a", Value::array({1, true, Value::null()})}, {"b", Value::dictionary()}}));
}

// Indentation runs are skipped several spaces at a time: runs of every
// length, ending in every kind of byte or at the end of the text, must read
// as on the full path (same tree, or same error at the same place).
TEST(JsonDecoder, RunsOfSpacesOfEveryLengthReadTheSameOnBothPaths) {
  for (std::size_t n = 0; n <= 20; ++n) {
    const std::string run(n, ' ');
    for (const std::string after : {"", "1", "\t1", "\n  1", "\r\n1", "\x01", "x", "\"s\""}) {
      for (const std::string& text :
           {"[" + run + after + "]", "{" + run + "\"k\"" + run + ":" + run + after + run + "}",
            "[1," + run + after + run + "]", "[1]" + run, "[1]" + run + after}) {
        Error fastError, fullError;
        Value fast = objectFromJSONString(text, JTParseFlagNone, &fastError);
        Value full = objectFromJSONString(text, JTParseFlagUnicodeLineBreaks, &fullError);
        ASSERT_EQ(fast.isNone(), full.isNone()) << ::testing::PrintToString(text);
        if (fast.isNone()) {
          EXPECT_EQ(fastError.localizedDescription(), fullError.localizedDescription()) << text;
          EXPECT_EQ(fastError.userInfo()[kJTAtIndexKey], fullError.userInfo()[kJTAtIndexKey])
              << ::testing::PrintToString(text);
        } else {
          EXPECT_EQ(fast, full) << ::testing::PrintToString(text);
        }
      }
    }
  }
  EXPECT_EQ(objectFromJSONString("[\n" + std::string(17, ' ') + "1,\n" + std::string(8, ' ') +
                                 "{}\n" + std::string(9, ' ') + "]"),
            Value::array({1, Value::dictionary()}));
}

TEST(JsonDecoder, CollectionsAreTheCodecsOwn) {
  Value v = objectFromJSONString(R"({"a":[1]})");
  EXPECT_NE(dynamic_cast<const JTDictionary*>(v.node()), nullptr);
  EXPECT_NE(dynamic_cast<const JTArray*>(v["a"].node()), nullptr);
  EXPECT_EQ(v, Value::dictionary({{"a", Value::array({1})}}));
}

TEST(JsonDecoder, DuplicateKeyKeepsTheLastValue) {
  Value v = objectFromJSONString(R"({"k":1,"k":2})");
  EXPECT_EQ(v.count(), 1u);
  EXPECT_EQ(v["k"].asInt64(), 2);
}

// A reply of keys a server chose to collide under the codec's former public
// hash, as much of them as the account service's 1 MiB reply limit holds:
// under the key hash the decoder stores them with they are spread, so
// building the dictionary does not walk them all for each key (it took
// seconds where a plain reply of that size takes milliseconds).
TEST(JsonDecoder, KeysChosenToCollideAreSpreadInTheDictionary) {
  const auto keys = varnel::testing::keysThatCollideInPublicJSONHash(40000);
  ASSERT_EQ(keys.size(), 40000u);
  ASSERT_EQ(varnel::testing::publicJSONKeyHash(keys.front()),
            varnel::testing::publicJSONKeyHash(keys.back()));
  std::set<std::uint64_t> hashes;
  for (const auto& key : keys) hashes.insert(jtHashBytes(key.data(), key.size()));
  ASSERT_GE(hashes.size(), keys.size() - 1) << "the keys share their hashes";

  std::string text = "{";
  std::size_t count = 0;
  for (const auto& key : keys) {
    if (text.size() + key.size() + 6 > (1u << 20)) break;
    if (count++ > 0) text += ",";
    text += "\"" + key + "\":" + std::to_string(count);
  }
  text += "}";
  const Value v = objectFromJSONString(text);
  ASSERT_TRUE(v.isDictionary());
  ASSERT_EQ(v.count(), count);
  for (std::size_t i = 0; i < count; i += 97)
    EXPECT_EQ(v[keys[i]].asInt64(), static_cast<std::int64_t>(i + 1)) << keys[i];
}

TEST(JsonDecoder, TrailingTextOption) {
  EXPECT_TRUE(objectFromJSONString("[] x", JTParseFlagTrailingText).isArray());
  EXPECT_TRUE(objectFromJSONString("[]  \n ").isArray());
}

TEST(JsonDecoder, MutableAndImmutableResults) {
  Value frozen = objectFromJSONString(R"({"a":[1]})");
  EXPECT_THROW(frozen.set("b", Value(1)), platform::Exception);
  EXPECT_THROW(frozen["a"].append(Value(2)), platform::Exception);
  try {
    frozen["a"].append(Value(2));
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), platform::kInternalInconsistencyException);
  }

  Value open = mutableObjectFromJSONString(R"({"a":[1]})");
  open.set("b", Value(1));
  open["a"].append(Value(2));
  EXPECT_EQ(open["b"].asInt64(), 1);
  EXPECT_EQ(open["a"].count(), 2u);
}

// Each string of `strings` as the key of a one-pair dictionary, so that it
// takes the cache whatever its length (string values longer than 16 bytes
// skip it); keyAt reads it back.
std::string asKeys(const std::vector<std::string>& strings) {
  std::string text = "[";
  for (const std::string& s : strings) text += (text.size() > 1 ? ",{\"" : "{\"") + s + "\":0}";
  return text + "]";
}
Value keyAt(const Value& array, std::size_t i) { return array[i].keys().at(0); }

TEST(JsonDecoder, CacheSpreadsLeavesThatDifferOnlyInAFewBits) {
  // Strings that differ only in their last bytes (short values, and longer
  // ones as keys), reals that differ only in their high bits and integers
  // that differ only above bit 40: each set must spread over the cache, so
  // that the second mention of each leaf still finds the first.
  std::string strings = "[", reals = "[", integers = "[";
  std::vector<std::string> longKeys;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 200; ++i) {
      const char* comma = round == 0 && i == 0 ? "" : ",";
      strings += comma + std::string("\"ascii text ") + std::to_string(i) + "\"";
      reals += comma + std::to_string(i) + ".5";
      integers += comma + std::to_string(static_cast<std::uint64_t>(i + 1) << 40);
      longKeys.push_back("plain ascii text " + std::to_string(i));
    }
  }
  std::string keys = asKeys(longKeys);
  for (std::string* text : {&strings, &reals, &integers, &keys}) {
    if (text != &keys) *text += "]";
    Value v = objectFromJSONString(*text);
    ASSERT_EQ(v.count(), 400u) << *text;
    auto leaf = [&](std::size_t i) { return text == &keys ? keyAt(v, i) : v[i]; };
    int shared = 0;
    for (std::size_t i = 0; i < 200; ++i) {
      EXPECT_EQ(leaf(i), leaf(i + 200));
      if (leaf(i).isSameObject(leaf(i + 200))) ++shared;
    }
    EXPECT_GE(shared, 180) << text->substr(0, 40);
  }
}

TEST(JsonDecoder, LongStringValuesAreEqualButNotCached) {
  const std::string text =
      R"(["a value longer than sixteen bytes","a value longer than sixteen bytes",)"
      R"("sixteen bytes!!!","sixteen bytes!!!"])";
  Value v = objectFromJSONString(text);
  ASSERT_EQ(v.count(), 4u);
  EXPECT_EQ(v[0].stringView(), "a value longer than sixteen bytes");
  EXPECT_EQ(v[0], v[1]);
  EXPECT_FALSE(v[0].isSameObject(v[1]));
  EXPECT_TRUE(v[2].isSameObject(v[3]));
}

TEST(JsonDecoder, CacheSharesLeavesWithinAndAcrossParses) {
  JSONDecoder decoder;
  Value a = decoder.objectWithText(R"(["same","same",7,7])");
  EXPECT_TRUE(a[0].isSameObject(a[1]));
  EXPECT_TRUE(a[2].isSameObject(a[3]));
  Value b = decoder.objectWithText(R"(["same",7])");
  EXPECT_TRUE(a[0].isSameObject(b[0]));
  EXPECT_TRUE(a[2].isSameObject(b[1]));
  decoder.clearCache();
  Value c = decoder.objectWithText(R"(["same"])");
  EXPECT_FALSE(a[0].isSameObject(c[0]));
  EXPECT_EQ(a[0], c[0]);
}

TEST(JsonDecoder, CacheKeepsApartLeavesThatDifferOnlyInTheirLastByte) {
  // Around the length up to which the cache compares bytes it keeps itself
  // (as keys, which take the cache at any of these lengths).
  std::vector<std::string> expected;
  for (int round = 0; round < 2; ++round) {
    for (std::size_t length = 1; length <= 56; ++length) {
      for (char last : {'a', 'b'}) expected.push_back(std::string(length - 1, 'x') + last);
    }
  }
  const std::string text = asKeys(expected);
  JSONDecoder decoder;
  for (std::uint64_t options : {JTParseFlagNone, JTParseFlagComments}) {
    Value kept = decoder.objectWithText(text);
    Value v = JSONDecoder(options).objectWithText(text);
    Value again = decoder.objectWithText(text);
    for (const Value* doc : {&v, &again}) {
      ASSERT_EQ(doc->count(), expected.size());
      const std::size_t half = expected.size() / 2;
      for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(keyAt(*doc, i).asString(), expected[i]) << i;
        if (i < half) {
          EXPECT_TRUE(keyAt(*doc, i).isSameObject(keyAt(*doc, i + half))) << i;
          EXPECT_FALSE(keyAt(*doc, i).isSameObject(keyAt(*doc, i ^ 1))) << i;
        }
      }
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_TRUE(keyAt(kept, i).isSameObject(keyAt(again, i))) << "shared across parses: " << i;
    }
  }
}

TEST(JsonDecoder, CacheTellsApartLongerStringsDifferingInAnyByte) {
  // Strings (keys) of one length that differ in a single byte, wherever it lies,
  // are different leaves, and a repeat of each is the same leaf: every byte
  // must reach the cache's hash, or the variants would crowd into the same
  // slots and push each other out.
  for (std::size_t length : {17, 31, 32, 33, 47, 48, 49, 63, 64, 65, 100}) {
    const std::string base(length, 'm');
    std::vector<std::string> expected;
    for (int round = 0; round < 2; ++round) {
      for (std::size_t at = 0; at < length; ++at) {
        std::string s = base;
        s[at] = 'n';
        expected.push_back(s);
      }
    }
    JSONDecoder decoder;
    Value v = decoder.objectWithText(asKeys(expected));
    ASSERT_EQ(v.count(), expected.size());
    const std::size_t half = expected.size() / 2;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(keyAt(v, i).asString(), expected[i]) << length << " " << i;
      if (i + 1 < half) {
        EXPECT_FALSE(keyAt(v, i).isSameObject(keyAt(v, i + 1))) << length << " " << i;
      }
      if (i < half) {
        EXPECT_TRUE(keyAt(v, i).isSameObject(keyAt(v, i + half))) << length << " " << i;
      }
    }
  }
}

TEST(JsonDecoder, ErrorParameterUntouchedOnSuccess) {
  Error error("x", 5);
  EXPECT_TRUE(objectFromJSONString("[]", 0, &error).isArray());
  EXPECT_EQ(error.domain(), "x");
}

TEST(JsonDecoder, MisuseThrows) {
  EXPECT_THROW(JSONDecoder(16), platform::Exception);
  try {
    JSONDecoder bad(16);
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.reason(), "Invalid parse options.");
  }
  JSONDecoder decoder;
  EXPECT_THROW(decoder.objectWithUTF8String(nullptr, 0), platform::Exception);
  EXPECT_THROW(decoder.objectWithData(Value()), platform::Exception);
  EXPECT_TRUE(decoder.objectWithData(Value::data("[1]", 3)).isArray());
}

TEST(JsonDecoder, DecoderIsReusableAfterAFailure) {
  JSONDecoder decoder(JTParseFlagComments);
  EXPECT_TRUE(decoder.objectWithText("[1, [2, {\"a\": ").isNone());
  Value v = decoder.objectWithText("[1, // one\n 2]");
  ASSERT_TRUE(v.isArray());
  EXPECT_EQ(v.count(), 2u);
}

TEST(JsonDecoder, LongEscapedStringsAndManyElements) {
  std::string s(100000, 'a');
  s[50000] = '\\';
  s.insert(50001, "n");
  Value v = objectFromJSONString("[\"" + s + "\"]");
  ASSERT_TRUE(v.isArray());
  EXPECT_EQ(v[0].asString().size(), 100000u);
  EXPECT_EQ(v[0].asString()[50000], '\n');

  std::string many = "{";
  for (int i = 0; i < 5000; ++i)
    many += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
  many += "}";
  Value d = objectFromJSONString(many);
  ASSERT_EQ(d.count(), 5000u);
  for (int i = 0; i < 5000; i += 97) EXPECT_EQ(d["k" + std::to_string(i)].asInt64(), i);
}

}  // namespace
TEST(JsonDecoder, WideSeriesOfDistinctNumbersKeepTheirValues) {
  // Past as many distinct numbers as the cache holds, numbers may skip the
  // cache for a while: values, kinds and later repeats stay right.
  std::string text = "[";
  std::vector<std::int64_t> integers;
  for (int i = 0; i < 40000; ++i) {
    if (i) text += ",";
    const std::int64_t n = (i % 3 == 0 ? -1 : 1) * (static_cast<std::int64_t>(i) * 7919 % 1000003);
    integers.push_back(n);
    text += i % 2 ? std::to_string(n) : std::to_string(n) + ".25";
  }
  text += ",1,1,2.5,2.5]";
  Value v = objectFromJSONString(text);
  ASSERT_EQ(v.count(), 40004u);
  for (std::size_t i = 0; i < integers.size(); ++i) {
    if (i % 2) {
      ASSERT_EQ(v[i].asInt64(), integers[i]) << i;
    } else {
      ASSERT_EQ(v[i].asDouble(), std::stod(std::to_string(integers[i]) + ".25")) << i;
    }
  }
  EXPECT_EQ(v[40000].asInt64(), 1);
  EXPECT_EQ(v[40001].asInt64(), 1);
  EXPECT_EQ(v[40002].asDouble(), 2.5);
  EXPECT_EQ(v[40003].asDouble(), 2.5);
}

TEST(JsonDecoder, NumbersReadTheSameWhetherOrNotTheySkipTheCache) {
  // Numbers of every form, read once where the cache is asked and once
  // after enough distinct numbers that numbers skip it: same kinds, same values.
  const std::vector<std::string> forms = {"0",
                                          "-0",
                                          "7",
                                          "-7",
                                          "1234.5",
                                          "-0.001",
                                          "1e3",
                                          "2.5E-3",
                                          "-4e+2",
                                          "9223372036854775807",
                                          "9223372036854775808",
                                          "-9223372036854775808",
                                          "18446744073709551615",
                                          "1234567890123456789.0",
                                          "1.7976931348623157e308",
                                          "4.9e-324",
                                          "0.30000000000000004",
                                          "12345678901234567.5"};
  std::string alone = "[";
  for (std::size_t i = 0; i < forms.size(); ++i) alone += (i ? "," : "") + forms[i];
  alone += "]";
  std::string skipping = "[";
  for (int i = 0; i < 5000; ++i) skipping += std::to_string(i * 7919) + ".5,";
  skipping += alone.substr(1);
  Error error;
  const Value a = objectFromJSONString(alone, JTParseFlagNone, &error);
  const Value b = objectFromJSONString(skipping, JTParseFlagNone, &error);
  ASSERT_FALSE(a.isNone()) << error.description();
  ASSERT_FALSE(b.isNone()) << error.description();
  ASSERT_EQ(b.count(), 5000 + forms.size());
  for (std::size_t i = 0; i < forms.size(); ++i) {
    const Value& x = a[i];
    const Value& y = b[5000 + i];
    EXPECT_EQ(x.kind(), y.kind()) << forms[i];
    EXPECT_TRUE(x == y) << forms[i];
  }
}

// String values of a key whose values have kept missing the leaf cache skip
// it (identifiers, names), and those of keys whose values repeat keep
// sharing one leaf. Either way every value reads exactly, also a value that
// repeats only long after its key began skipping, and the mutable form of
// the document is equal.
TEST(JsonDecoder, ValuesOfKeysThatNeverRepeatReadExactly) {
  std::string doc = "[";
  for (int i = 0; i < 300; ++i) {
    if (i > 0) doc += ",";
    // From 200 on, "id" repeats values from the start; "kind" always does.
    const int id = i < 200 ? i : i - 200;
    doc += R"({"id":"id-)" + std::to_string(id) + R"(","kind":"same","n":"v)" +
           std::to_string(i % 3) + R"(","long":"a value longer than sixteen )" + std::to_string(i) +
           R"("})";
  }
  doc += "]";
  const Value v = objectFromJSONString(doc);
  ASSERT_TRUE(v.isArray());
  ASSERT_EQ(v.count(), 300u);
  for (int i = 0; i < 300; ++i) {
    const Value o = v[i];
    const int id = i < 200 ? i : i - 200;
    EXPECT_EQ(o["id"].stringView(), "id-" + std::to_string(id)) << i;
    EXPECT_EQ(o["kind"].stringView(), "same") << i;
    EXPECT_EQ(o["n"].stringView(), "v" + std::to_string(i % 3)) << i;
    EXPECT_EQ(o["long"].stringView(), "a value longer than sixteen " + std::to_string(i)) << i;
  }
  EXPECT_TRUE(v[0]["kind"].isSameObject(v[299]["kind"])) << "values that repeat share a leaf";
  EXPECT_TRUE(v[3]["n"].isSameObject(v[297]["n"]));
  EXPECT_EQ(mutableObjectFromJSONString(doc), v);
}

}  // namespace codecs
