#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "codecs/json_collections.h"
#include "codecs/json_decoder.h"
#include "codecs/json_encoder.h"

namespace codecs {
namespace {

using platform::Error;
using platform::Value;

// Text without '/', so the comments option changes nothing but the path the
// decoder takes: without options it takes its fast path, with comments the
// full one.
constexpr std::uint64_t kFullPath = JTParseFlagComments;

const char* const kDocuments[] = {
    R"({"a":[1,-2,0,3.5,-0,-0.25,1e3,2E-2,1.5e+2],"b":{"c":"d","e":true,"f":false,"g":null}})",
    R"([9223372036854775807,9223372036854775808,-9223372036854775808,18446744073709551615,
        1234567890123456789,-1234567890123456789,99999999999999999999e0,0.1])",
    R"(  [ "esc \" \\ \/ \b\f\n\r\t", "\u00e9\ud83d\ude00", "é😀", "", "x" ]  )",
    R"({"k":1,"k":2,"long":"0123456789012345678901234567890123456789"})",
    "{\"crlf\":\r\n[1,\r\n2]\t}\n",
    // Integers beyond 64 bits (doubles), U+0000 and noncharacters.
    "[18446744073709551616,-9223372036854775809,\"\\u0000\\uffff\\ufdd0\",\"\xEF\xBF\xBF\"]",
};

TEST(JsonDecoderArena, FastAndFullPathsBuildTheSameTree) {
  for (const char* text : kDocuments) {
    Error e1, e2;
    Value fast = objectFromJSONString(text, JTParseFlagNone, &e1);
    Value full = objectFromJSONString(text, kFullPath, &e2);
    ASSERT_FALSE(fast.isNone()) << text << ": " << e1.localizedDescription();
    ASSERT_FALSE(full.isNone()) << text;
    EXPECT_EQ(fast, full) << text;
    // Same types and the same enumeration (and so encoding) order.
    EXPECT_EQ(fast.description(), full.description()) << text;
    EXPECT_EQ(JSONString(fast), JSONString(full)) << text;
  }
  Value v = objectFromJSONString(kDocuments[1]);
  EXPECT_EQ(v[0].numberType(), 'q');
  EXPECT_EQ(v[1].numberType(), 'Q');
  EXPECT_EQ(v[2].asInt64(), INT64_MIN);
  EXPECT_EQ(v[3].asUInt64(), UINT64_MAX);
  EXPECT_EQ(v[6].numberType(), 'd');
}

TEST(JsonDecoderArena, MalformedTextFailsExactlyAsOnTheFullPath) {
  const char* const cases[] = {
      "[1,]",        "{\"a\":1,}", "[01]",       "[-]",       "[1.]",         "[1e]",
      "[1e+]",       "[-0x1]",     "[1 2]",      "{\"a\" 1}", "{1:2}",        "[\"\\x\"]",
      "[\"\\u12\"]", "[\"\x01\"]", "[tru]",      "[true",     "[1",           "[1e400]",
      "[1]\n\n x",   "{}\r\n]",    "[\"\xff\"]", "\"top\"",   "[\"a\"\n,\n}",
  };
  for (const char* text : cases) {
    Error fast, full;
    EXPECT_TRUE(objectFromJSONString(text, JTParseFlagNone, &fast).isNone()) << text;
    EXPECT_TRUE(objectFromJSONString(text, kFullPath, &full).isNone()) << text;
    EXPECT_EQ(fast.code(), full.code()) << text;
    EXPECT_EQ(fast.localizedDescription(), full.localizedDescription()) << text;
    EXPECT_EQ(fast.userInfo()[kJTAtIndexKey], full.userInfo()[kJTAtIndexKey]) << text;
    EXPECT_EQ(fast.userInfo()[kJTLineNumberKey], full.userInfo()[kJTLineNumberKey]) << text;
  }
  // Too deep for the fast path's limit as well.
  std::string deep(600, '[');
  deep += std::string(600, ']');
  Error error;
  EXPECT_TRUE(objectFromJSONString(deep, JTParseFlagNone, &error).isNone());
  EXPECT_EQ(error.code(), kJTErrorCodeNestingTooDeep);
}

TEST(JsonDecoderArena, PartsOutliveTheRootAndTheDecoder) {
  Value inner, leaf, key, fromEach, fromEnumerator, copied;
  std::vector<Value> keys;
  {
    auto decoder = JSONDecoder::decoder();
    Value root = decoder->objectWithText(
        R"({"list":[{"name":"a fairly long string value, beyond any inline buffer"}],"n":7})");
    inner = root["list"];
    leaf = inner[0]["name"];
    keys = root.keys();
    root.forEach([&](const Value& k, const Value& v) {
      if (k.asString() == "n") fromEach = v;
      return true;
    });
    auto shared = std::dynamic_pointer_cast<const JTDictionary>(root.nodePtr());
    JTDictionaryEnumerator e(shared);
    fromEnumerator = e.nextObject();
    Value buffer[1];
    dynamic_cast<const JTArray&>(*inner.node()).getObjects(buffer, 0, 1);
    copied = buffer[0];
  }
  EXPECT_EQ(leaf.asString(), "a fairly long string value, beyond any inline buffer");
  EXPECT_EQ(inner.count(), 1u);
  EXPECT_EQ(keys.size(), 2u);
  EXPECT_EQ(fromEach, Value(7));
  EXPECT_TRUE(fromEnumerator.isString());
  EXPECT_TRUE(copied["name"].isSameObject(leaf));
  for (const Value* v : {&inner, &leaf, &fromEach, &fromEnumerator, &copied}) {
    EXPECT_FALSE(platform::ValueArena::isBorrowed(*v));
  }
}

TEST(JsonDecoderArena, CacheSharesOnlyWithLiveDocuments) {
  JSONDecoder decoder;
  Value first = decoder.objectWithText(R"(["shared text",12345])");
  Value second = decoder.objectWithText(R"(["shared text",12345])");
  EXPECT_TRUE(first[0].isSameObject(second[0]));
  EXPECT_TRUE(first[1].isSameObject(second[1]));
  // Once both are gone the cache hands out nothing stale: the next parse
  // builds fresh leaves that stay valid on their own.
  first = Value();
  second = Value();
  Value third = decoder.objectWithText(R"(["shared text",12345])");
  EXPECT_EQ(third[0].asString(), "shared text");
  EXPECT_EQ(third[1].asInt64(), 12345);
  // A document kept through many parses still shares safely.
  for (int i = 0; i < 40; ++i) {
    Value other = decoder.objectWithText(R"(["shared text",12345,"x)" + std::to_string(i) + "\"]");
    EXPECT_EQ(other[0], third[0]);
  }
  EXPECT_EQ(third[0].asString(), "shared text");
}

// Short documents parsed one after the other, each dropped before the next:
// every leaf and key is built again in its old cache slot, and still shared
// within its document and with later documents while it lives.
TEST(JsonDecoderArena, LeavesOfGoneDocumentsAreBuiltAgainAndShared) {
  const std::string text =
      R"({"id":981234,"name":"short text","tags":["short text",981234,"other"],)"
      R"("nested":{"id":981234,"name":"a longer string than sixteen bytes"},)"
      R"("again":"a longer string than sixteen bytes","real":12.75,)"
      R"("edge":[{"forty-eight bytes: the longest held in the item.":1},)"
      R"({"forty-nine bytes: the shortest the item does not.":2},)"
      R"({"forty-eight bytes: the longest held in the item.":3},)"
      R"({"forty-nine bytes: the shortest the item does not.":4}]})";
  auto decoder = std::make_unique<JSONDecoder>();
  Value kept;
  for (int round = 0; round < 5; ++round) {
    Value doc = decoder->objectWithText(text);
    ASSERT_FALSE(doc.isNone());
    EXPECT_EQ(doc["name"].stringView(), "short text");
    EXPECT_EQ(doc["id"].asInt64(), 981234);
    EXPECT_EQ(doc["real"].asDouble(), 12.75);
    EXPECT_EQ(doc["nested"]["name"].stringView(), "a longer string than sixteen bytes");
    EXPECT_TRUE(doc["name"].isSameObject(doc["tags"][0]));
    EXPECT_TRUE(doc["id"].isSameObject(doc["tags"][1]));
    EXPECT_TRUE(doc["id"].isSameObject(doc["nested"]["id"]));
    // String values longer than 16 bytes are built apart; keys of any
    // length up to 256 bytes take the cache.
    EXPECT_EQ(doc["again"], doc["nested"]["name"]);
    EXPECT_FALSE(doc["again"].isSameObject(doc["nested"]["name"]));
    std::vector<Value> edge;
    for (std::size_t k = 0; k < doc["edge"].count(); ++k)
      edge.push_back(doc["edge"][k].keys().at(0));
    ASSERT_EQ(edge.size(), 4u);
    EXPECT_EQ(edge[0].stringView().size(), 48u);
    EXPECT_EQ(edge[1].stringView().size(), 49u);
    EXPECT_TRUE(edge[0].isSameObject(edge[2]));
    EXPECT_TRUE(edge[1].isSameObject(edge[3]));
    if (round == 3) {
      kept = doc;  // lives through the next parse, which shares its leaves
    } else if (round == 4) {
      EXPECT_TRUE(doc["name"].isSameObject(kept["name"]));
      EXPECT_TRUE(doc["id"].isSameObject(kept["id"]));
      EXPECT_TRUE(edge[0].isSameObject(kept["edge"][0].keys().at(0)));
      EXPECT_TRUE(edge[1].isSameObject(kept["edge"][1].keys().at(0)));
      kept = doc["tags"];
    }
  }
  decoder.reset();
  EXPECT_EQ(kept, objectFromJSONString(R"(["short text",981234,"other"])"));
}

TEST(JsonDecoderArena, LiteralsOutliveEveryDocumentAndDecoder) {
  // true, false, null and "" are shared leaves that never die: a tree refers
  // to them without keeping anything of theirs in its arena.
  Value t, f, n, empty, nested;
  {
    JSONDecoder decoder;
    Value root = decoder.objectWithText(R"([true,false,null,"",{"t":true,"e":""}])");
    t = root[0];
    f = root[1];
    n = root[2];
    empty = root[3];
    nested = root[4];
  }
  EXPECT_TRUE(t.asBool());
  EXPECT_FALSE(f.asBool());
  EXPECT_TRUE(n.isNull());
  EXPECT_TRUE(empty.isString());
  EXPECT_TRUE(empty.stringView().empty());
  EXPECT_TRUE(nested["t"].isSameObject(t));
  EXPECT_TRUE(nested["e"].isSameObject(empty));
  for (const Value* v : {&t, &f, &n, &empty}) EXPECT_FALSE(platform::ValueArena::isBorrowed(*v));
  // The mutable form hands out the same leaves.
  Value m = mutableObjectFromJSONString(R"([true,null,""])");
  EXPECT_TRUE(m[0].isSameObject(t));
  EXPECT_TRUE(m[1].isSameObject(n));
  EXPECT_TRUE(m[2].isSameObject(empty));
}

TEST(JsonDecoderArena, MutableDocumentsMayHoldTheirOwnParts) {
  Value kept;
  {
    Value doc = mutableObjectFromJSONString(R"({"inner":{"list":[1,"two"]},"x":"leaf"})");
    doc.set("again", doc["inner"]);   // the same collection twice
    doc["inner"].set("x", doc["x"]);  // a leaf into a nested collection
    doc["inner"]["list"].append(doc["x"]);
    EXPECT_TRUE(doc["again"].isSameObject(doc["inner"]));
    kept = doc["inner"]["list"];
  }
  // Nothing leaks (the sanitizer build checks) and the part lives on.
  EXPECT_EQ(kept.count(), 3u);
  EXPECT_EQ(kept[2].asString(), "leaf");
}

TEST(JsonDecoderArena, KeysAreFoundWhateverTheirHistoryInTheCache) {
  const std::string longKey(300, 'k');  // beyond the cache and the scanner's hash
  const std::string text = R"(["name","caf\u00e9",)" + std::string("\"") + longKey +
                           R"(",{"name":1,"café":2,")" + longKey +
                           R"(":3,"esc\"aped":4,"":5},{"fresh":6,"name":7}])";
  JSONDecoder decoder;
  for (std::uint64_t options : {JTParseFlagNone, kFullPath}) {
    JSONDecoder fresh(options);
    for (JSONDecoder* d : {&decoder, &fresh}) {
      // Twice: the second parse meets every leaf in the cache already.
      for (int round = 0; round < 2; ++round) {
        Error error;
        Value root = d->objectWithText(text, &error);
        ASSERT_FALSE(root.isNone()) << error.localizedDescription();
        // Keys first seen as values, as keys, with escapes, long and empty.
        const Value dict = root[3];
        EXPECT_EQ(dict["name"], Value(1));
        EXPECT_EQ(dict["café"], Value(2));
        EXPECT_EQ(dict[longKey], Value(3));
        EXPECT_EQ(dict["esc\"aped"], Value(4));
        EXPECT_EQ(dict[""], Value(5));
        EXPECT_EQ(dict.get(Value(std::string("name"))), Value(1));
        EXPECT_EQ(dict.get(root[0]), Value(1)) << "a decoded string as the key";
        EXPECT_EQ(root[4]["fresh"], Value(6));
        EXPECT_EQ(root[4]["name"], Value(7));
        EXPECT_TRUE(dict["nam"].isNone());
        // The same tree as ordinary values, both ways round.
        Value plain = Value::dictionary({{Value("name"), Value(1)},
                                         {Value("café"), Value(2)},
                                         {Value(longKey), Value(3)},
                                         {Value("esc\"aped"), Value(4)},
                                         {Value(""), Value(5)}});
        EXPECT_EQ(dict, plain);
        EXPECT_EQ(plain, dict);
        EXPECT_EQ(dict.hash(), plain.hash());
      }
    }
  }
}

TEST(JsonDecoderArena, StringsMaterialiseAfterTheDecoderAndTreeAreGone) {
  Value leaf, key, escaped, longLeaf;
  const std::string longText(400, 'L');
  {
    JSONDecoder decoder;
    Value root = decoder.objectWithText(
        R"({"the key":["a leaf longer than fifteen bytes","tab\there",")" + longText + "\"]}");
    ASSERT_FALSE(root.isNone());
    key = root.keys()[0];
    leaf = root["the key"][0];
    escaped = root["the key"][1];
    longLeaf = root["the key"][2];
  }
  // Nothing asked for a std::string while the tree was alive.
  EXPECT_EQ(leaf.stringView(), "a leaf longer than fifteen bytes");
  EXPECT_EQ(leaf.asString(), "a leaf longer than fifteen bytes");
  EXPECT_EQ(key.asString(), "the key");
  EXPECT_EQ(escaped.asString(), "tab\there");
  EXPECT_EQ(longLeaf.asString(), longText);
  EXPECT_EQ(&leaf.asString(), &leaf.asString());
  EXPECT_EQ(leaf, Value("a leaf longer than fifteen bytes"));
}

TEST(JsonDecoderArena, OneShotDecodingKeepsNoEarlierDocumentAlive) {
  const std::string text =
      R"({"name":"a leaf longer than fifteen bytes","n":[12345,12345,2.5,"x"],"k":{"n":1}})";
  std::weak_ptr<platform::ValueNode> firstRoot, firstLeaf;
  for (bool mutableResult : {false, true}) {
    for (int round = 0; round < 3; ++round) {
      Value doc = mutableResult ? mutableObjectFromJSONString(text) : objectFromJSONString(text);
      ASSERT_FALSE(doc.isNone());
      // The documents before this one are gone: the decoder that made them
      // left nothing that holds them (its cache went on to this decoder).
      EXPECT_TRUE(firstRoot.expired());
      EXPECT_TRUE(firstLeaf.expired());
      firstRoot = doc.nodePtr();
      firstLeaf = doc["name"].nodePtr();
      // Leaves are still shared within the document, and read correctly
      // although the cache met equal ones in freed documents before.
      EXPECT_TRUE(doc["n"][0].isSameObject(doc["n"][1]));
      EXPECT_EQ(doc["name"].asString(), "a leaf longer than fifteen bytes");
      EXPECT_EQ(doc["n"][2], Value(2.5));
      EXPECT_EQ(doc["k"]["n"], Value(1));
    }
  }
  firstRoot.reset();
  firstLeaf.reset();
  // Two decoders never share leaves, even when one took over the other's
  // cache while the first document is still alive.
  Value a = objectFromJSONString(text);
  Value b = objectFromJSONString(text);
  EXPECT_EQ(a, b);
  EXPECT_FALSE(a["name"].isSameObject(b["name"]));
  EXPECT_FALSE(a["n"][0].isSameObject(b["n"][0]));
  {
    JSONDecoder first;
    Value c = first.objectWithText(text);
    JSONDecoder second;  // a fresh workspace: the spare is taken
    Value d = second.objectWithText(text);
    EXPECT_FALSE(c["name"].isSameObject(d["name"]));
  }
  // A parse that fails halfway leaves the workspace fit for the next one.
  for (bool mutableResult : {false, true}) {
    const char* broken = R"(["a leaf longer than fifteen bytes",[1,{"a":2,)";
    Error error;
    EXPECT_TRUE((mutableResult ? mutableObjectFromJSONString(broken, 0, &error)
                               : objectFromJSONString(broken, 0, &error))
                    .isNone());
    EXPECT_EQ(objectFromJSONString(text), a);
  }
}

TEST(JsonDecoderArena, DecodersMayEndOnAnotherThread) {
  const std::string text = R"(["shared text","shared text",{"key":12345}])";
  auto decoder = JSONDecoder::decoder();
  Value before = decoder->objectWithText(text);
  Value inThread;
  std::thread worker([&] {
    inThread = decoder->objectWithText(text);
    decoder.reset();  // its workspace stays with this thread until it ends
    for (int i = 0; i < 3; ++i) {
      Value v = objectFromJSONString(text);
      EXPECT_TRUE(v[0].isSameObject(v[1]));
      EXPECT_EQ(v[2]["key"], Value(12345));
    }
  });
  worker.join();
  EXPECT_TRUE(before[0].isSameObject(inThread[0]));  // same decoder, both alive
  EXPECT_EQ(objectFromJSONString(text), before);
}

TEST(JsonDecoderArena, NumbersBeyondTheCacheKeepTheirValuesAndKinds) {
  // Long number text skips the cache; short numbers still share.
  const char* text =
      R"([0.30000000000000004,0.30000000000000004,-1234567890123456789,-1234567890123456789,
          18446744073709551615,18446744073709551615,1.2345678901234567e-300,42,42,
          12345678901234567,12345678901234567])";
  for (std::uint64_t options : {JTParseFlagNone, kFullPath}) {
    Value v = objectFromJSONString(text, options);
    ASSERT_EQ(v.count(), 11u);
    EXPECT_EQ(v[0], Value(0.30000000000000004));
    EXPECT_EQ(v[0], v[1]);
    EXPECT_EQ(v[2].asInt64(), -1234567890123456789);
    EXPECT_EQ(v[2].numberType(), 'q');
    EXPECT_EQ(v[4].asUInt64(), UINT64_MAX);
    EXPECT_EQ(v[4].numberType(), 'Q');
    EXPECT_EQ(v[6], Value(1.2345678901234567e-300));
    EXPECT_TRUE(v[7].isSameObject(v[8]));
    EXPECT_EQ(v[9].asInt64(), 12345678901234567);
    EXPECT_EQ(v[9].numberType(), 'q');
    EXPECT_EQ(v[9], v[10]);
    EXPECT_EQ(JSONString(v), JSONString(objectFromJSONString(JSONString(v).stringView())));
  }
}

// The key object of `dict` equal to `key`, or None.
Value keyIn(const Value& dict, const Value& key) {
  for (const Value& k : dict.keys()) {
    if (k == key) return k;
  }
  return Value();
}

// Keys either side of 16 bytes (one compare word) and of 48 (the last ones
// kept outside the cache item), and keys that differ only in their last byte.
const std::string kShapeKeys[] = {"id",
                                  "sixteen bytes ke",
                                  "seventeen bytes k",
                                  "a key of forty-eight bytes, the longest in line.",
                                  "a key of forty-nine bytes, one beyond the inlined",
                                  "a key of forty-nine bytes, one beyond the inlinef",
                                  "name",
                                  "namf"};

// Dictionaries of one shape, then the same keys in other orders, with
// missing and extra keys.
std::string manyShapes(int count) {
  std::string text = "[";
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += ",";
    text += "{";
    const int phase = (i / 50) % 4;
    bool first = true;
    for (int j = 0; j < 8; ++j) {
      const int k = phase == 1 ? 7 - j : phase == 2 ? (j * 3) % 8 : j;
      if (phase == 3 && k == 4) continue;  // a key left out
      if (!first) text += ",";
      first = false;
      text += "\"" + kShapeKeys[k] + "\":[" + std::to_string(i) + "," + std::to_string(k) + "]";
    }
    if (i % 7 == 0) text += ",\"extra" + std::to_string(i) + "\":true";
    text += "}";
  }
  return text + "]";
}

TEST(JsonDecoderArena, DictionariesOfRepeatedShapesDecodeExactly) {
  const auto& keys = kShapeKeys;
  const std::string text = manyShapes(400);
  JSONDecoder decoder;
  for (int round = 0; round < 3; ++round) {
    Error error;
    Value fast = decoder.objectWithText(text, &error);
    ASSERT_FALSE(fast.isNone()) << error.localizedDescription();
    Value full = objectFromJSONString(text, kFullPath);
    EXPECT_EQ(fast, full);
    EXPECT_EQ(JSONString(fast), JSONString(full)) << "same enumeration order";
    ASSERT_EQ(fast.count(), 400u);
    for (std::size_t i = 0; i < 400; ++i) {
      const Value d = fast[i];
      const int phase = static_cast<int>(i / 50) % 4;
      EXPECT_EQ(d.count(), (phase == 3 ? 7u : 8u) + (i % 7 == 0 ? 1u : 0u)) << i;
      for (int k = 0; k < 8; ++k) {
        if (phase == 3 && k == 4) {
          EXPECT_TRUE(d[keys[k]].isNone()) << i;
          continue;
        }
        EXPECT_EQ(d[keys[k]][0], Value(static_cast<std::int64_t>(i))) << i << " " << k;
        EXPECT_EQ(d[keys[k]][1], Value(k)) << i << " " << k;
      }
    }
    // Equal keys are (nearly always) one object throughout the document.
    int shared = 0, keyCount = 0;
    for (std::size_t i = 1; i < 400; ++i) {
      for (const Value& key : fast[i].keys()) {
        const Value before = keyIn(fast[i - 1], key);
        ++keyCount;
        if (!before.isNone() && before.isSameObject(key)) ++shared;
      }
    }
    EXPECT_GE(shared, keyCount * 8 / 10);
  }
}

TEST(JsonDecoderArena, RepeatedShapesShareOnlyWhatTheCacheMayShare) {
  {
    // Small: every key is met where the last document left it.
    const std::string small = R"([{"alpha":[1],"beta":[2]},{"alpha":[1],"beta":[2]},)"
                              R"({"alpha":[1],"beta":[2]},{"alpha":[1],"beta":[2]}])";
    JSONDecoder decoder;
    Value a = decoder.objectWithText(small);
    Value b = decoder.objectWithText(small);
    decoder.clearCache();
    Value c = decoder.objectWithText(small);
    for (std::size_t i = 0; i < 4; ++i) {
      for (const char* key : {"alpha", "beta"}) {
        const Value inA = keyIn(a[i], Value(key)), inB = keyIn(b[i], Value(key));
        const Value inC = keyIn(c[i], Value(key));
        EXPECT_TRUE(inA.isSameObject(inB)) << i << key;
        EXPECT_FALSE(inB.isSameObject(inC)) << i << key;
        EXPECT_TRUE(inC.isSameObject(keyIn(c[0], Value(key)))) << i << key;
      }
    }
    // With the earlier documents gone the keys are built again.
    a = Value();
    b = Value();
    c = Value();
    Value d = decoder.objectWithText(small);
    EXPECT_EQ(d, objectFromJSONString(small, kFullPath));
    EXPECT_TRUE(keyIn(d[3], Value("beta")).isSameObject(keyIn(d[0], Value("beta"))));
  }
  const std::string text = manyShapes(60);
  JSONDecoder decoder;
  Value first = decoder.objectWithText(text);
  Value second = decoder.objectWithText(text);
  ASSERT_FALSE(first.isNone());
  ASSERT_FALSE(second.isNone());
  // The earlier document lives: its keys are shared, and the later one
  // keeps them alive on its own.
  int shared = 0, keyCount = 0;
  for (std::size_t i = 0; i < second.count(); ++i) {
    for (const Value& key : second[i].keys()) {
      ++keyCount;
      if (keyIn(first[i], key).isSameObject(key)) ++shared;
    }
  }
  EXPECT_GE(shared, keyCount * 9 / 10);
  std::weak_ptr<platform::ValueNode> firstRoot = first.nodePtr();
  const Value firstKeyOfSecond = second[10].keys()[0];
  first = Value();
  // Leaves shared from the first document keep its memory (see the header).
  EXPECT_FALSE(firstRoot.expired());
  EXPECT_EQ(second, objectFromJSONString(text, kFullPath));
  EXPECT_EQ(firstKeyOfSecond.asString(), second[10].keys()[0].asString());
  // After clearCache nothing is shared with a living document.
  decoder.clearCache();
  Value third = decoder.objectWithText(text);
  EXPECT_EQ(third, second);
  for (std::size_t i = 0; i < third.count(); i += 7) {
    const std::vector<Value> a = second[i].keys(), b = third[i].keys();
    for (const Value& x : a) {
      for (const Value& y : b) EXPECT_FALSE(x.isSameObject(y)) << i;
    }
  }
  // Once every document is gone, the next parse builds its keys afresh
  // (in the slots the hints lead to) and they stay valid on their own.
  second = Value();
  third = Value();
  Value fourth = decoder.objectWithText(text);
  decoder.clearCache();
  Value fifth = decoder.objectWithText(text);
  EXPECT_EQ(fourth, fifth);
  EXPECT_EQ(fourth, objectFromJSONString(text, kFullPath));
}

TEST(JsonDecoderArena, KeyHintsSurviveEvictionAndSlotReuse) {
  // Between two mentions of a shape, more new leaves than the cache holds:
  // the slots the hints name are taken by other strings (of the same and
  // other lengths) and by numbers.
  std::string text = "[";
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 20; ++i) {
      text += R"({"alpha":1,"beta":"two","gamma":3.5,"delta":[4]},)";
    }
    for (int i = 0; i < 1500; ++i) {
      text += "\"al" + std::to_string(i) + "\"," + std::to_string(round * 100000 + i) + ",";
      text += "{\"b" + std::to_string(i % 10000) + "\":" + std::to_string(i) + "},";
    }
  }
  text += R"({"alpha":1,"beta":"two","gamma":3.5,"delta":[4]}])";
  JSONDecoder decoder;
  for (int parse = 0; parse < 2; ++parse) {
    Error error;
    Value v = decoder.objectWithText(text, &error);
    ASSERT_FALSE(v.isNone()) << error.localizedDescription();
    EXPECT_EQ(v, objectFromJSONString(text, kFullPath));
    const Value last = v[v.count() - 1];
    EXPECT_EQ(last["alpha"], Value(1));
    EXPECT_EQ(last["beta"], Value("two"));
    EXPECT_EQ(last["gamma"], Value(3.5));
    EXPECT_EQ(last["delta"][0], Value(4));
    EXPECT_EQ(v[20], Value("al0"));
    EXPECT_EQ(v[21], Value(0));
    EXPECT_EQ(v[22]["b0"], Value(0));
    EXPECT_EQ(v[v.count() - 2]["b1499"], Value(1499));
  }
}

}  // namespace
}  // namespace codecs
