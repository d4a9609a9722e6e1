#include "platform/foundation/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <type_traits>
#include <unordered_set>

#include "platform/foundation/exception.h"
#include "platform/foundation/keyed_hash.h"
#include "platform/foundation/value_collections.h"
#include "support/colliding_keys.h"

namespace platform {
namespace {

template <class Fn>
std::string exceptionName(Fn fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.name();
  }
  return "";
}

template <class Fn>
std::string exceptionReason(Fn fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.reason();
  }
  return "";
}

// A stray pointer must not turn into the bool true.
static_assert(!std::is_constructible_v<Value, int*>);
static_assert(!std::is_constructible_v<Value, const void*>);
static_assert(std::is_constructible_v<Value, char*>);

TEST(ValueTest, KindsAndNumberTypes) {
  EXPECT_TRUE(Value().isNone());
  EXPECT_FALSE(static_cast<bool>(Value()));
  EXPECT_TRUE(Value::null().isNull());
  EXPECT_TRUE(static_cast<bool>(Value::null()));
  EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNone());
  EXPECT_EQ(Value(true).numberType(), 'c');
  EXPECT_EQ(Value(5).numberType(), 'i');
  EXPECT_EQ(Value(std::int64_t{5}).numberType(), 'q');
  EXPECT_EQ(Value(5u).numberType(), 'I');
  EXPECT_EQ(Value(std::uint64_t{5}).numberType(), 'Q');
  EXPECT_EQ(Value(1.5).numberType(), 'd');
  EXPECT_EQ(Value("x").numberType(), 0);
  EXPECT_TRUE(Value(std::uint64_t{5}).isUInt());
  EXPECT_TRUE(Value(-5).isInt());
  EXPECT_TRUE(Value(true).isNumber());
  EXPECT_TRUE(Value(std::string("s")).isString());
  EXPECT_TRUE(Value(std::string_view("s")).isString());
  EXPECT_TRUE(Value(Date(3)).isDate());
  EXPECT_TRUE(Value::data("ab", 2).isData());
  EXPECT_EQ(Value::data("ab", 2).asData(), (Bytes{'a', 'b'}));
}

TEST(ValueTest, CopiesShareTheNode) {
  Value a("text");
  Value b = a;
  EXPECT_TRUE(a.isSameObject(b));
  EXPECT_FALSE(a.isSameObject(Value("text")));
  Value m = Value::mutableArray();
  Value alias = m;
  m.append(1);
  EXPECT_EQ(alias.count(), 1u);
}

TEST(ValueTest, LenientScalarConversions) {
  EXPECT_EQ(Value("  42abc").asInt64(), 42);
  EXPECT_EQ(Value("-17").asInt64(), -17);
  EXPECT_EQ(Value("99999999999999999999").asInt64(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Value("-99999999999999999999").asInt64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Value("18446744073709551615").asUInt64(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(Value("abc").asInt64(), 0);
  EXPECT_EQ(Value(3.9).asInt64(), 3);
  EXPECT_EQ(Value(-3.9).asInt64(), -3);
  EXPECT_EQ(Value(1e300).asInt64(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Value(std::nan("")).asInt64(), 0);
  EXPECT_DOUBLE_EQ(Value(" 2.5e1x").asDouble(), 25.0);
  EXPECT_DOUBLE_EQ(Value("+1.25").asDouble(), 1.25);
  EXPECT_DOUBLE_EQ(Value(7).asDouble(), 7.0);
  EXPECT_EQ(Value(7).asString(), "");
  EXPECT_TRUE(Value(Date(5)).asData().empty());
  EXPECT_EQ(Value("x").asDate(), Date());

  EXPECT_TRUE(Value(" yes").asBool());
  EXPECT_TRUE(Value("T").asBool());
  EXPECT_TRUE(Value("007").asBool());
  EXPECT_TRUE(Value("-1").asBool());
  EXPECT_FALSE(Value("0").asBool());
  EXPECT_FALSE(Value("no").asBool());
  EXPECT_FALSE(Value("").asBool());
  EXPECT_TRUE(Value(0.5).asBool());
  EXPECT_FALSE(Value(0).asBool());
  EXPECT_FALSE(Value::null().asBool());
}

TEST(ValueTest, NumbersCompareByValueAcrossKinds) {
  EXPECT_EQ(Value(1), Value(true));
  EXPECT_EQ(Value(0), Value(false));
  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_EQ(Value(std::uint64_t{1}), Value(std::int64_t{1}));
  EXPECT_NE(Value(1), Value(1.5));
  EXPECT_NE(Value(1), Value("1"));
  // UINT64_MAX is not -1, and values beyond INT64_MAX stay distinct.
  EXPECT_NE(Value(std::numeric_limits<std::uint64_t>::max()), Value(-1));
  const std::uint64_t big = std::uint64_t{1} << 63;
  EXPECT_NE(Value(big), Value(std::numeric_limits<std::int64_t>::min()));
  EXPECT_EQ(Value(big), Value(9223372036854775808.0));
  EXPECT_NE(Value(std::numeric_limits<std::int64_t>::max()), Value(9223372036854775808.0));
  Value nan(std::nan(""));
  EXPECT_NE(nan, nan);
  EXPECT_EQ(Value(0.0), Value(-0.0));

  EXPECT_EQ(Value(1).hash(), Value(true).hash());
  EXPECT_EQ(Value(1).hash(), Value(1.0).hash());
  EXPECT_EQ(Value(big).hash(), Value(9223372036854775808.0).hash());
  EXPECT_EQ(Value(-3).hash(), Value(-3.0).hash());
  EXPECT_EQ(Value(0.0).hash(), Value(-0.0).hash());
}

TEST(ValueTest, DeepEqualityAndHash) {
  Value a = Value::dictionary({{"x", 1}, {"y", Value::array({"a", 2.0})}});
  Value b = Value::mutableDictionary();
  b.set("y", Value::array({"a", 2}));
  b.set("x", true);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.hash(), b.hash());
  b.set("x", 2);
  EXPECT_NE(a, b);
  EXPECT_NE(Value::array({1, 2}), Value::array({2, 1}));
  EXPECT_NE(Value::array({1}), Value::array({1, 1}));
  EXPECT_EQ(Value::null(), Value::null());
  EXPECT_EQ(Value(), Value());
  EXPECT_NE(Value(), Value::null());
  EXPECT_EQ(Value::data("ab", 2), Value::data(Bytes{'a', 'b'}));
  EXPECT_EQ(Value(Date(10)), Value(Date(10)));
  EXPECT_NE(Value(Date(10)), Value(10));

  std::unordered_set<Value, ValueHash> set{Value(1), Value("1"), Value(1.0), Value(true)};
  EXPECT_EQ(set.size(), 2u);
}

TEST(ValueTest, ArrayAccess) {
  Value a = Value::array({"a", 2, 3.5});
  EXPECT_EQ(a.count(), 3u);
  EXPECT_EQ(a[0], Value("a"));
  EXPECT_EQ(a[2].asDouble(), 3.5);
  EXPECT_TRUE(a[3].isNone());
  EXPECT_TRUE(a[-1].isNone());
  EXPECT_TRUE(a["key"].isNone());
  EXPECT_TRUE(Value(5)[0].isNone());
  EXPECT_EQ(exceptionName([&] { a.at(3); }), kRangeException);
  EXPECT_EQ(exceptionReason([&] { a.at(5); }),
            "*** -[__NSArrayI objectAtIndex:]: index 5 beyond bounds [0 .. 2]");
  EXPECT_EQ(a.elements().size(), 3u);
  std::vector<std::int64_t> seen;
  a.forEach([&](const Value& k, const Value&) {
    seen.push_back(k.asInt64());
    return k.asInt64() < 1;
  });
  EXPECT_EQ(seen, (std::vector<std::int64_t>{0, 1}));
}

TEST(ValueTest, MutableArray) {
  Value a = Value::mutableArray({1});
  EXPECT_TRUE(a.isMutable());
  const auto m0 = a.mutations();
  EXPECT_NE(m0, 0u);
  a.append(3);
  a.insert(1, 2);
  EXPECT_EQ(a, Value::array({1, 2, 3}));
  EXPECT_GT(a.mutations(), m0);
  a.replaceAt(0, "one");
  a.removeAt(2);
  EXPECT_EQ(a, Value::array({"one", 2}));

  EXPECT_EQ(exceptionReason([&] { a.insert(5, 1); }),
            "*** -[__NSArrayM insertObject:atIndex:]: index 5 beyond bounds [0 .. 1]");
  EXPECT_EQ(exceptionName([&] { a.removeAt(2); }), kRangeException);
  EXPECT_EQ(exceptionName([&] { a.replaceAt(2, 1); }), kRangeException);
  EXPECT_EQ(exceptionName([&] { a.append(Value()); }), kInvalidArgumentException);
  EXPECT_EQ(exceptionName([&] { a.insert(0, Value()); }), kInvalidArgumentException);
  EXPECT_EQ(a.count(), 2u);  // failed calls changed nothing

  Value empty = Value::mutableArray();
  EXPECT_EQ(exceptionReason([&] { empty.removeAt(0); }),
            "*** -[__NSArrayM removeObjectAtIndex:]: index 0 beyond bounds for empty array");
}

TEST(ValueTest, MutatingImmutableOrNonCollectionsThrows) {
  Value a = Value::array({1});
  Value d = Value::dictionary({{"k", 1}});
  EXPECT_FALSE(a.isMutable());
  EXPECT_EQ(a.mutations(), 0u);
  EXPECT_EQ(exceptionName([&] { a.append(2); }), kInternalInconsistencyException);
  EXPECT_EQ(exceptionName([&] { a.removeAt(0); }), kInternalInconsistencyException);
  EXPECT_EQ(exceptionName([&] { a.replaceAt(0, 1); }), kInternalInconsistencyException);
  EXPECT_EQ(exceptionReason([&] { d.set("k", 2); }),
            "*** -[__NSDictionaryI setObject:forKey:]: mutating method sent to immutable object");
  EXPECT_EQ(exceptionName([&] { d.remove("k"); }), kInternalInconsistencyException);
  Value s("x");
  EXPECT_EQ(exceptionName([&] { s.append(1); }), kInternalInconsistencyException);
  EXPECT_EQ(exceptionName([&] { s.set("k", 1); }), kInternalInconsistencyException);
  EXPECT_EQ(exceptionName([&] { Value().set("k", 1); }), kInternalInconsistencyException);
  EXPECT_EQ(exceptionName([&] { s.at(0); }), kInvalidArgumentException);
  EXPECT_EQ(a.count(), 1u);
  EXPECT_EQ(d["k"], Value(1));
}

TEST(ValueTest, DictionaryKeepsInsertionOrder) {
  Value d = Value::mutableDictionary();
  for (const char* k : {"zeta", "alpha", "mid", "beta"}) d.set(k, k);
  d.set("alpha", 1);  // replacing keeps the position
  d.remove("mid");
  d.remove("absent");
  d.set("mid", 2);  // re-added at the end
  std::vector<std::string> keys;
  for (const Value& k : d.keys()) keys.push_back(k.asString());
  EXPECT_EQ(keys, (std::vector<std::string>{"zeta", "alpha", "beta", "mid"}));
  EXPECT_EQ(d["alpha"], Value(1));
  EXPECT_TRUE(d.contains("beta"));
  EXPECT_FALSE(d.contains("gamma"));
  EXPECT_EQ(d.get(Value("zeta")), Value("zeta"));
  EXPECT_TRUE(d.get(Value()).isNone());
  std::string key = "beta";
  d.set(key, 3);
  EXPECT_EQ(d[key], Value(3));
  d.remove(key);
  EXPECT_FALSE(d.contains(key));
}

TEST(ValueTest, DictionaryManyRemovalsKeepIndexConsistent) {
  Value d = Value::mutableDictionary();
  for (int i = 0; i < 200; ++i) d.set(std::to_string(i), i);
  for (int i = 0; i < 200; i += 3) d.remove(std::to_string(i));
  for (int i = 0; i < 200; ++i) {
    Value v = d[std::to_string(i)];
    if (i % 3 == 0) {
      EXPECT_TRUE(v.isNone()) << i;
    } else {
      EXPECT_EQ(v, Value(i)) << i;
    }
  }
  auto keys = d.keys();
  ASSERT_EQ(keys.size(), d.count());
  EXPECT_EQ(keys.front(), Value("1"));
  EXPECT_EQ(keys.back(), Value("199"));
}

TEST(ValueTest, DictionaryRejectsNoneAndNumbersAreKeysByValue) {
  Value d = Value::mutableDictionary();
  EXPECT_EQ(exceptionName([&] { d.set(Value(), 1); }), kInvalidArgumentException);
  EXPECT_EQ(exceptionReason([&] { d.set("k", Value()); }),
            "*** -[__NSDictionaryM setObject:forKey:]: object cannot be nil (key: k)");
  EXPECT_EQ(exceptionName([&] { Value::dictionary({{"k", Value()}}); }), kInvalidArgumentException);
  d.set(Value(1), "one");
  EXPECT_EQ(d.get(Value(1.0)), Value("one"));
  EXPECT_TRUE(d["1"].isNone());
  EXPECT_EQ(d.count(), 1u);
}

TEST(ValueTest, MutationDuringEnumerationIsDetected) {
  Value d = Value::mutableDictionary({{"a", 1}, {"b", 2}});
  EXPECT_EQ(exceptionName([&] {
              d.forEach([&](const Value&, const Value&) {
                d.set("c", 3);
                return true;
              });
            }),
            kGenericException);
  Value a = Value::mutableArray({1, 2});
  EXPECT_EQ(exceptionName([&] {
              a.forEach([&](const Value&, const Value&) {
                a.append(3);
                return true;
              });
            }),
            kGenericException);
}

TEST(ValueTest, CopyAndMutableCopy) {
  Value immutable = Value::array({1, 2});
  EXPECT_TRUE(immutable.copy().isSameObject(immutable));
  Value m = immutable.mutableCopy();
  EXPECT_TRUE(m.isMutable());
  m.append(3);
  EXPECT_EQ(immutable.count(), 2u);
  Value frozen = m.copy();
  EXPECT_FALSE(frozen.isMutable());
  m.append(4);
  EXPECT_EQ(frozen.count(), 3u);
  EXPECT_TRUE(frozen[0].isSameObject(m[0]));  // one level deep

  Value d = Value::dictionary({{"a", 1}}).mutableCopy();
  d.addEntriesFrom(Value::dictionary({{"b", 2}, {"a", 3}}));
  EXPECT_EQ(d, Value::dictionary({{"a", 3}, {"b", 2}}));
  d.addEntriesFrom(d);
  EXPECT_EQ(d.count(), 2u);
  Value s("s");
  EXPECT_TRUE(s.mutableCopy().isSameObject(s));
}

TEST(ValueTest, MutableKeysAreCopiedIntoTheDictionary) {
  Value key = Value::mutableArray({1});
  Value d = Value::mutableDictionary();
  d.set(key, "v");
  key.append(2);
  EXPECT_EQ(d.get(Value::array({1})), Value("v"));
  EXPECT_FALSE(d.keys()[0].isMutable());
}

TEST(ValueTest, ScalarDescriptions) {
  EXPECT_EQ(Value().description(), "(null)");
  EXPECT_EQ(Value::null().description(), "<null>");
  EXPECT_EQ(Value(true).description(), "1");
  EXPECT_EQ(Value(false).description(), "0");
  EXPECT_EQ(Value(-42).description(), "-42");
  EXPECT_EQ(Value(std::numeric_limits<std::uint64_t>::max()).description(), "18446744073709551615");
  EXPECT_EQ(Value(1.5).description(), "1.5");
  EXPECT_EQ(Value(2.0).description(), "2");
  EXPECT_EQ(Value(0.1).description(), "0.1");
  EXPECT_EQ(Value(1e20).description(), "1e+20");
  EXPECT_EQ(Value("a b").description(), "a b");
  EXPECT_EQ(Value::data(Bytes{0x0a, 0x0b, 0x0c, 0x0d, 0x0e}).description(), "<0a0b0c0d 0e>");
  EXPECT_EQ(Value::data(Bytes{}).description(), "<>");
  EXPECT_EQ(Value(Date(1796758364)).description(), "2026-12-08 19:32:44 +0000");
  EXPECT_EQ(Value(Date(-0.5)).description(), "1969-12-31 23:59:59 +0000");
}

TEST(ValueTest, CollectionDescriptions) {
  EXPECT_EQ(Value::array().description(), "(\n)");
  EXPECT_EQ(Value::dictionary().description(), "{\n}");
  EXPECT_EQ(Value::array({"a", "b c", 1}).description(), "(\n    a,\n    \"b c\",\n    1\n)");
  EXPECT_EQ(Value::dictionary({{"key", "value"}, {"n", 2.5}}).description(),
            "{\n    key = value;\n    n = 2.5;\n}");
  Value nested =
      Value::dictionary({{"list", Value::array({1, Value::dictionary({{"x", "say \"hi\""}})})},
                         {"empty string", ""},
                         {"null", Value::null()}});
  EXPECT_EQ(nested.description(),
            "{\n"
            "    list =     (\n"
            "        1,\n"
            "                {\n"
            "            x = \"say \\\"hi\\\"\";\n"
            "        }\n"
            "    );\n"
            "    \"empty string\" = \"\";\n"
            "    null = \"<null>\";\n"
            "}");
  EXPECT_EQ(Value::array({"a_b.c/d$e", "-x", Value::data("\x01", 1)}).description(),
            "(\n    a_b.c/d$e,\n    \"-x\",\n    <01>\n)");
}

// A minimal foreign array implementation: every Value operation must work on it.
class FixedArray final : public ArrayStorage {
 public:
  std::size_t count() const override { return 2; }
  Value at(std::size_t index) const override {
    if (index >= 2) throw Exception(kRangeException, "out of range");
    return Value(static_cast<int>(index) * 10);
  }
  std::uint64_t mutations() const override { return 0; }
  void insert(std::size_t, Value) override { fail(); }
  void removeAt(std::size_t) override { fail(); }
  void replaceAt(std::size_t, Value) override { fail(); }

 private:
  [[noreturn]] static void fail() { throw Exception(kInternalInconsistencyException, "fixed"); }
};

TEST(ValueTest, ForeignStorageWorksEverywhere) {
  Value foreign = Value::fromNode(std::make_shared<FixedArray>());
  EXPECT_TRUE(foreign.isArray());
  EXPECT_EQ(foreign, Value::array({0, 10}));
  EXPECT_EQ(foreign.hash(), Value::array({0, 10}).hash());
  EXPECT_EQ(foreign.description(), "(\n    0,\n    10\n)");
  EXPECT_EQ(foreign.elements().size(), 2u);
  EXPECT_TRUE(foreign.copy().isSameObject(foreign));
  Value m = foreign.mutableCopy();
  m.append(20);
  EXPECT_EQ(m, Value::array({0, 10, 20}));
  EXPECT_EQ(exceptionName([&] { foreign.append(1); }), kInternalInconsistencyException);
}

}  // namespace
}  // namespace platform

// Keys chosen to collide in the unkeyed string hash (as a hostile peer or
// server would send them) spread in the dictionary's index, which hashes
// text under a per-process secret: every key is kept and found, in order.
TEST(ValueDictionaryIndex, KeysChosenToCollideSpreadAndKeepTheirOrder) {
  using platform::Value;
  constexpr std::size_t kKeys = 2000;
  const std::vector<std::string> keys = varnel::testing::keysThatCollideInStdHash(kKeys);
  const std::size_t common = std::hash<std::string_view>{}(keys.front());
  std::size_t colliding = 0;
  for (const std::string& k : keys) colliding += std::hash<std::string_view>{}(k) == common;
  if (colliding != kKeys) GTEST_SKIP() << "this standard library's string hash is another one";

  std::set<std::uint64_t> hashes;
  std::map<std::uint64_t, std::size_t> buckets;  // of 1024
  for (const std::string& k : keys) {
    hashes.insert(platform::keyedHash(k));
    ++buckets[platform::keyedHash(k) % 1024];
  }
  EXPECT_EQ(hashes.size(), kKeys);
  std::size_t fullest = 0;
  for (const auto& [bucket, n] : buckets) fullest = std::max(fullest, n);
  EXPECT_LT(fullest, 16u);

  Value d = Value::mutableDictionary();
  for (std::size_t i = 0; i < kKeys; ++i) d.set(keys[i], Value(static_cast<std::int64_t>(i)));
  ASSERT_EQ(d.count(), kKeys);
  for (std::size_t i = 0; i < kKeys; ++i) ASSERT_EQ(d[keys[i]].asInt64(), std::int64_t(i)) << i;
  const std::vector<Value> inOrder = d.keys();
  for (std::size_t i = 0; i < kKeys; ++i) ASSERT_EQ(inOrder[i].asString(), keys[i]) << i;
  EXPECT_TRUE(d[keys[0] + "x"].isNone());
  // Data keys are hashed the same way; other kinds as before.
  d.set(Value::data(keys[1].data(), keys[1].size()), Value(true));
  d.set(Value(1.0), Value("one"));
  EXPECT_TRUE(d.get(Value::data(keys[1].data(), keys[1].size())).asBool());
  EXPECT_EQ(d.get(Value(static_cast<std::int64_t>(1))).asString(), "one");
}
