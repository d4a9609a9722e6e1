// Dictionaries of many keys: the channel dictionary keeps insertion order,
// one entry per key and its lookups through growth and removal, and a
// 200,000-key request crosses the wire and the conversion intact.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/xpc_connection.h"
#include "ipc/xpc_parse.h"
#include "platform/runloop/run_loop.h"
#include "platform/xpc/channel_value.h"
#include "platform/xpc/connection.h"
#include "platform/xpc/wire_codec.h"
#include "support/colliding_keys.h"

using ipc::XPCConnection;
using ipc::XPCMessage;
using ipc::XPCParse;
using platform::xpc::ChannelValue;
namespace wire = platform::xpc::wire;

namespace {

std::string keyOf(std::size_t i) { return "k" + std::to_string(i); }

std::vector<std::string> keysOf(const ChannelValue& d) {
  std::vector<std::string> keys;
  d.forEach([&](const std::string& k, const ChannelValue&) {
    keys.push_back(k);
    return true;
  });
  return keys;
}

TEST(ChannelDictionary, LookupsOrderAndRemovalHoldAcrossTheIndexThreshold) {
  // Small and large sizes, so both the scanned and the indexed form are used
  // and the change between them happens in both directions.
  for (std::size_t n : {3u, 8u, 9u, 40u}) {
    SCOPED_TRACE(n);
    ChannelValue d = ChannelValue::dictionary();
    for (std::size_t i = 0; i < n; ++i) d.set(keyOf(i), ChannelValue::int64(std::int64_t(i)));
    // Replacing a value keeps its place and adds no entry.
    d.set(keyOf(1), ChannelValue::string("one"));
    EXPECT_EQ(d.count(), n);
    EXPECT_EQ(d.get(keyOf(1)).stringValue(), "one");
    EXPECT_EQ(keysOf(d)[1], keyOf(1));

    // Remove the first, a middle one and the last; the rest keep their order
    // and are still found.
    d.remove(keyOf(0));
    d.remove(keyOf(n / 2));
    d.set(keyOf(n - 1), ChannelValue());  // a None value removes too
    d.remove("absent");
    std::vector<std::string> expected;
    for (std::size_t i = 1; i + 1 < n; ++i)
      if (i != n / 2) expected.push_back(keyOf(i));
    EXPECT_EQ(keysOf(d), expected);
    EXPECT_EQ(d.count(), expected.size());
    for (std::size_t i = 2; i + 1 < n; ++i) {
      if (i == n / 2) continue;
      EXPECT_EQ(d.get(keyOf(i)).int64Value(), std::int64_t(i)) << keyOf(i);
    }
    EXPECT_TRUE(d.get(keyOf(0)).isNone());
    EXPECT_TRUE(d.get(keyOf(n / 2)).isNone());

    // A removed key comes back at the end.
    d.set(keyOf(0), ChannelValue::boolean(true));
    EXPECT_EQ(keysOf(d).back(), keyOf(0));
    EXPECT_TRUE(d.get(keyOf(0)).boolValue());
    EXPECT_EQ(d.count(), expected.size() + 1);
  }
}

TEST(ChannelDictionary, ARepeatedKeyOnTheWireKeepsOneEntryWithTheLastValue) {
  // Hand-built payload: a dictionary of 20 entries whose keys repeat.
  std::vector<std::uint8_t> payload;
  auto u32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) payload.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  ChannelValue sample = ChannelValue::dictionary();
  sample.set("a", ChannelValue::int64(1));
  auto encodedSample = wire::encode(sample);
  ASSERT_TRUE(encodedSample);
  // The sample is <tag><count=1><key "a"><value>: reuse its tag and its entry.
  const std::uint8_t tag = encodedSample->bytes[0];
  std::vector<std::uint8_t> entry(encodedSample->bytes.begin() + 5, encodedSample->bytes.end());
  payload.push_back(tag);
  u32(20);
  for (int i = 0; i < 20; ++i) payload.insert(payload.end(), entry.begin(), entry.end());
  std::string reason;
  auto decoded = wire::decode(payload.data(), payload.size(), {}, &reason);
  ASSERT_TRUE(decoded) << reason;
  EXPECT_EQ(decoded->count(), 1u);
  EXPECT_EQ(decoded->get("a").int64Value(), 1);
}

// A peer that chooses keys colliding in an unkeyed hash gains nothing: the
// index hashes under a per-process secret key, and the dictionary keeps and
// finds every key (over the wire too).
TEST(ChannelDictionary, KeysChosenToCollideSpreadInTheIndex) {
  constexpr std::size_t kKeys = 2000;
  const std::vector<std::string> keys = varnel::testing::keysThatCollideInStdHash(kKeys);
  const std::size_t common = std::hash<std::string_view>{}(keys.front());
  std::size_t colliding = 0;
  for (const std::string& k : keys) colliding += std::hash<std::string_view>{}(k) == common;
  if (colliding != kKeys) GTEST_SKIP() << "this standard library's string hash is another one";

  std::set<std::size_t> hashes;
  std::map<std::size_t, std::size_t> buckets;  // of 1024
  for (const std::string& k : keys) {
    hashes.insert(platform::xpc::channelKeyHash(k));
    ++buckets[platform::xpc::channelKeyHash(k) % 1024];
  }
  EXPECT_EQ(hashes.size(), kKeys);
  std::size_t fullest = 0;
  for (const auto& [bucket, n] : buckets) fullest = std::max(fullest, n);
  EXPECT_LT(fullest, 16u);

  ChannelValue d = ChannelValue::dictionary();
  for (std::size_t i = 0; i < kKeys; ++i) d.set(keys[i], ChannelValue::int64(std::int64_t(i)));
  auto encoded = wire::encode(d);
  ASSERT_TRUE(encoded);
  std::string reason;
  auto decoded = wire::decode(encoded->bytes.data(), encoded->bytes.size(), {}, &reason);
  ASSERT_TRUE(decoded) << reason;
  ASSERT_EQ(decoded->count(), kKeys);
  for (std::size_t i = 0; i < kKeys; ++i)
    ASSERT_EQ(decoded->get(keys[i]).int64Value(), std::int64_t(i)) << i;
  EXPECT_TRUE(decoded->get(keys[0] + "x").isNone());
}

// A request of 200,000 keys, as an authorized but hostile user could send:
// it is decoded, checked against the budget and converted in time linear in
// its size (the benchmark channel_bench measures it); here it must arrive
// whole and in order.
TEST(ChannelDictionary, TwoHundredThousandKeysArriveWholeOverARealSocket) {
  constexpr std::size_t kKeys = 200000;
  ChannelValue big = ChannelValue::dictionary();
  for (std::size_t i = 0; i < kKeys; ++i) big.set(keyOf(i), ChannelValue::int64(std::int64_t(i)));
  ASSERT_EQ(big.count(), kKeys);

  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  auto receiving = XPCConnection::create(platform::xpc::Connection::adoptSocket(
      fds[0], "big.receiver", platform::xpc::Connection::Role::Peer));
  auto sending = platform::xpc::Connection::adoptSocket(fds[1], "big.sender",
                                                        platform::xpc::Connection::Role::Peer);
  std::mutex mutex;
  std::vector<XPCMessage> events;
  receiving->setEventHandler([&](const XPCMessage& m, const std::shared_ptr<XPCConnection>&) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(m);
  });
  sending->setEventHandler([](const ChannelValue&) {});
  sending->resume();
  sending->send(big);
  auto arrived = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !events.empty();
  };
  ASSERT_TRUE(platform::runloop::RunLoop::main().runUntil(arrived, std::chrono::seconds(60)));

  XPCMessage got;
  {
    std::lock_guard<std::mutex> lock(mutex);
    got = events.front();
  }
  ASSERT_TRUE(got.getXPCDictionary().get(ipc::kXPCErrorKey).isNone())
      << "the large request ended the connection";
  EXPECT_FALSE(receiving->endedByMalformedInput());
  const ChannelValue& d = got.getXPCDictionary();
  ASSERT_EQ(d.count(), kKeys);
  std::size_t i = 0;
  bool inOrder = true;
  d.forEach([&](const std::string& k, const ChannelValue& v) {
    inOrder = inOrder && k == keyOf(i) && v.int64Value() == std::int64_t(i);
    ++i;
    return inOrder;
  });
  EXPECT_TRUE(inOrder) << "first difference at entry " << i - 1;
  EXPECT_EQ(d.get(keyOf(kKeys - 1)).int64Value(), std::int64_t(kKeys - 1));

  // The whole request converts, too.
  platform::Value all = XPCParse::dictionaryWithContentsOfXPCObject(d);
  ASSERT_TRUE(all.isDictionary());
  EXPECT_EQ(all.count(), kKeys);
  EXPECT_EQ(all[keyOf(123456)].asInt64(), 123456);

  receiving->setEventHandler(nullptr);
  receiving->connection()->cancel();
  sending->cancel();
}

}  // namespace
