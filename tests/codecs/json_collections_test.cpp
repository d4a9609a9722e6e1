#include "codecs/json_collections.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codecs/json_decoder.h"
#include "platform/foundation/exception.h"

namespace codecs {
namespace {

using platform::Exception;
using platform::Value;

std::string reasonOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.name() + ": " + e.reason();
  }
  return "no exception";
}

const JTDictionary& dict(const Value& v) { return dynamic_cast<const JTDictionary&>(*v.node()); }
const JTArray& array(const Value& v) { return dynamic_cast<const JTArray&>(*v.node()); }

TEST(JsonCollections, DirectAllocationIsRefused) {
  EXPECT_EQ(reasonOf([] { JTArray::alloc(); }),
            "NSInvalidArgumentException: *** - [JTArray allocWithZone:]: The JTArray class is "
            "private to JSONTools and should not be used in this fashion.");
  EXPECT_EQ(reasonOf([] { JTDictionary::alloc(); }),
            "NSInvalidArgumentException: *** - [JTDictionary allocWithZone:]: The JTDictionary "
            "class is private to JSONTools and should not be used in this fashion.");
}

TEST(JsonCollections, CapacityTable) {
  EXPECT_EQ(JTDictionary::capacityForCount(0), 0u);
  for (std::size_t n : {1, 2, 3}) EXPECT_EQ(JTDictionary::capacityForCount(n), 3u);
  for (std::size_t n : {4, 5, 6}) EXPECT_EQ(JTDictionary::capacityForCount(n), 7u);
  for (std::size_t n : {7, 10}) EXPECT_EQ(JTDictionary::capacityForCount(n), 13u);
  for (std::size_t n : {11, 18}) EXPECT_EQ(JTDictionary::capacityForCount(n), 23u);
  EXPECT_EQ(JTDictionary::capacityForCount(400000000), 0u) << "beyond the table";
}

// Tables built from raw nodes (as the decoder builds them) must hold every
// pair exactly where filing the pairs one by one with linear probing puts
// it, whatever the clusters, equal hashes and repeated keys.
TEST(JsonCollections, RawNodeTablesMatchPairByPairProbing) {
  platform::ValueArena arena;
  std::mt19937_64 rng(11);
  for (std::size_t count = 0; count <= 60; ++count) {
    for (int trial = 0; trial < 16; ++trial) {
      // Few distinct hashes in odd trials (many equal hashes of different
      // keys); from trial 12 on, distinct hashes that agree in their low six
      // bits (the small tables' quick test for an earlier equal hash);
      // repeated keys in every third trial.
      const std::size_t keySpace = trial % 3 == 0 && count > 1 ? count / 2 : count;
      std::vector<const platform::ValueNode*> keyNodes, spare;
      std::vector<std::uint64_t> keyHash;
      for (std::size_t k = 0; k < keySpace; ++k) {
        const std::string text = "key" + std::to_string(k);
        keyNodes.push_back(arena.newString(text));
        spare.push_back(arena.newString(text));  // equal text, another object
        keyHash.push_back(trial >= 12 ? (rng() << 6) | 17 : trial % 2 == 1 ? rng() % 5 : rng());
      }
      std::vector<JTDictionary::NodePair> pairs;
      std::vector<std::size_t> keyOf;
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t k = keySpace == count ? i : rng() % keySpace;
        keyOf.push_back(k);
        pairs.push_back({(rng() & 1) ? keyNodes[k] : spare[k], keyHash[k],
                         arena.newInt(static_cast<std::int64_t>(i))});
      }
      const JTDictionary* d = JTDictionary::create(arena, pairs.data(), count);
      const std::size_t capacity = JTDictionary::capacityForCount(count);
      ASSERT_EQ(d->capacity(), capacity);
      // The reference: pair by pair, a later equal key replacing the pair.
      std::vector<std::ptrdiff_t> slotPair(capacity, -1);
      std::size_t filled = 0;
      for (std::size_t i = 0; i < count; ++i) {
        std::size_t index = capacity ? pairs[i].hash % capacity : 0;
        while (slotPair[index] >= 0 &&
               keyOf[static_cast<std::size_t>(slotPair[index])] != keyOf[i]) {
          index = (index + 1) % capacity;
        }
        if (slotPair[index] < 0) ++filled;
        slotPair[index] = static_cast<std::ptrdiff_t>(i);
      }
      EXPECT_EQ(d->count(), filled) << count << " " << trial;
      for (std::size_t s = 0; s < capacity; ++s) {
        const JTDictionary::Entry& e = d->entries()[s];
        if (slotPair[s] < 0) {
          EXPECT_TRUE(e.key.isNone()) << count << " " << trial << " " << s;
          continue;
        }
        const JTDictionary::NodePair& want = pairs[static_cast<std::size_t>(slotPair[s])];
        EXPECT_EQ(e.key.node(), want.key) << count << " " << trial << " " << s;
        EXPECT_EQ(e.object.node(), want.object) << count << " " << trial << " " << s;
        EXPECT_EQ(e.hash, want.hash) << count << " " << trial << " " << s;
      }
    }
  }
}

TEST(JsonCollections, EmptyObjectGrowsOnFirstSet) {
  Value v = mutableObjectFromJSONString("{}");
  EXPECT_EQ(dict(v).capacity(), 0u);
  EXPECT_TRUE(v["x"].isNone());
  v.set("x", Value(1));
  EXPECT_EQ(dict(v).capacity(), 3u);
  EXPECT_EQ(v["x"].asInt64(), 1);
}

TEST(JsonCollections, FullTableGrowsOnFourthPair) {
  Value v = mutableObjectFromJSONString(R"({"a":1,"b":2,"c":3})");
  EXPECT_EQ(dict(v).capacity(), 3u);
  v.set("d", Value(4));
  EXPECT_EQ(dict(v).capacity(), 7u);
  for (const char* k : {"a", "b", "c", "d"}) EXPECT_FALSE(v[k].isNone()) << k;
  v.set("a", Value(10));
  EXPECT_EQ(v.count(), 4u) << "replacing keeps the count";
  EXPECT_EQ(v["a"].asInt64(), 10);
}

TEST(JsonCollections, RemovalKeepsCollidingNeighboursReachable) {
  // Many keys in a small table guarantee probe clusters.
  std::string text = "{";
  for (int i = 0; i < 60; ++i)
    text += (i ? ",\"" : "\"") + std::to_string(i) + "\":" + std::to_string(i);
  text += "}";
  Value v = mutableObjectFromJSONString(text);
  for (int i = 0; i < 60; i += 2) v.remove(std::to_string(i));
  EXPECT_EQ(v.count(), 30u);
  for (int i = 0; i < 60; ++i) {
    EXPECT_EQ(v[std::to_string(i)].isNone(), i % 2 == 0) << i;
  }
  v.remove("nothing");
  EXPECT_EQ(v.count(), 30u);
}

TEST(JsonCollections, ArrayMutation) {
  Value v = mutableObjectFromJSONString("[1,2]");
  v.insert(2, Value(3));  // at count: appends
  EXPECT_EQ(v, Value::array({1, 2, 3}));
  EXPECT_GE(array(v).capacity(), 4u);
  EXPECT_EQ(reasonOf([&] { v.insert(4, Value(9)); }).find("index (4) beyond bounds (4)") !=
                std::string::npos,
            true);
  v.removeAt(0);
  v.replaceAt(0, Value("x"));
  EXPECT_EQ(v, Value::array({"x", 3}));
  EXPECT_EQ(reasonOf([&] { (void)v.at(5); }).substr(0, 16), "NSRangeException");
}

TEST(JsonCollections, ImmutableCollectionsRefuseMutation) {
  Value a = objectFromJSONString("[1]");
  EXPECT_EQ(reasonOf([&] { array(a).getObjects(nullptr, 0, 1); }),
            "NSRangeException: *** -[JTArray getObjects:range:]: pointer to objects array is NULL "
            "but range length is 1");
  auto& storage = const_cast<JTArray&>(array(a));
  EXPECT_EQ(reasonOf([&] { storage.insert(0, Value(1)); }),
            "NSInternalInconsistencyException: *** -[JTArray insertObject:atIndex:]: mutating "
            "method sent to immutable object");
  Value d = objectFromJSONString(R"({"a":1})");
  auto& ds = const_cast<JTDictionary&>(dict(d));
  EXPECT_EQ(reasonOf([&] { ds.set(Value("b"), Value(1)); }),
            "NSInternalInconsistencyException: *** -[JTDictionary setObject:forKey:]: mutating "
            "method sent to immutable object");
  EXPECT_EQ(reasonOf([&] { ds.remove(Value("a")); }),
            "NSInternalInconsistencyException: *** -[JTDictionary removeObjectForKey:]: mutating "
            "method sent to immutable object");
}

TEST(JsonCollections, NilArgumentsAreRefused) {
  Value d = mutableObjectFromJSONString("{}");
  auto& ds = const_cast<JTDictionary&>(dict(d));
  EXPECT_EQ(reasonOf([&] { ds.set(Value(), Value(1)); }),
            "NSInvalidArgumentException: *** -[JTDictionary setObject:forKey:]: attempt to insert "
            "nil key");
  EXPECT_EQ(reasonOf([&] { ds.set(Value("k"), Value()); }),
            "NSInvalidArgumentException: *** -[JTDictionary setObject:forKey:]: attempt to insert "
            "nil value (key: k)");
  Value a = mutableObjectFromJSONString("[]");
  auto& as = const_cast<JTArray&>(array(a));
  EXPECT_EQ(reasonOf([&] { as.insert(0, Value()); }),
            "NSInvalidArgumentException: *** -[JTArray insertObject:atIndex:]: attempt to insert "
            "nil");
}

TEST(JsonCollections, CopiesFollowMutability) {
  Value frozen = objectFromJSONString("[1]");
  EXPECT_TRUE(frozen.copy().isSameObject(frozen));
  Value open = mutableObjectFromJSONString("[1]");
  Value copy = open.copy();
  EXPECT_FALSE(copy.isSameObject(open));
  EXPECT_FALSE(copy.isMutable());
  EXPECT_EQ(copy, open);
  Value mcopy = frozen.mutableCopy();
  mcopy.append(Value(2));
  EXPECT_EQ(frozen.count(), 1u);
}

TEST(JsonCollections, EnumeratorAndMutationDetection) {
  Value v = mutableObjectFromJSONString(R"({"a":1,"b":2,"c":3})");
  auto shared = std::dynamic_pointer_cast<const JTDictionary>(v.nodePtr());
  JTDictionaryEnumerator e(shared);
  Value first = e.nextObject();
  EXPECT_FALSE(first.isNone());
  Value rest = e.allObjects();
  EXPECT_EQ(rest.count(), 2u);
  EXPECT_TRUE(e.nextObject().isNone());

  EXPECT_EQ(reasonOf([&] {
              v.forEach([&](const Value&, const Value&) {
                v.set("z", Value(1));
                return true;
              });
            }).substr(0, 19),
            "NSGenericException:");
}

}  // namespace
}  // namespace codecs
