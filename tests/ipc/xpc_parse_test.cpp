#include "ipc/xpc_parse.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "ipc/xpc_uuid.h"
#include "platform/foundation/exception.h"
#include "platform/xpc/wire_codec.h"

using ipc::Object;
using ipc::XPCParse;
using ipc::XPCUUID;
using platform::Value;
using platform::xpc::ChannelType;
using platform::xpc::ChannelValue;

namespace {

Object roundTrip(const Object& o) {
  return XPCParse::objectWithXPCObject(XPCParse::newXPCObject(o));
}

// Through the wire as well, as a peer would see it.
Object overTheWire(const Object& o) {
  ChannelValue d = ChannelValue::dictionary();
  d.set("v", XPCParse::newXPCObject(o));
  auto enc = platform::xpc::wire::encode(d);
  EXPECT_TRUE(enc);
  auto dec = platform::xpc::wire::decode(enc->bytes.data(), enc->bytes.size(), enc->descriptors);
  EXPECT_TRUE(dec);
  return XPCParse::objectWithXPCObject(dec->get("v"));
}

TEST(XPCParse, NumbersKeepTheirKindsAsTheChannelDefines) {
  std::uint64_t big = 18446744073709551000ull;
  Value d = Value::dictionary({{"s", Value("text")},
                               {"u", Value(big)},
                               {"q", Value(std::int64_t{-5})},
                               {"i", Value(7)},
                               {"b", Value(true)}});
  ChannelValue c = XPCParse::newXPCObject(d);
  EXPECT_EQ(c.get("u").type(), ChannelType::UInt64);
  EXPECT_EQ(c.get("q").type(), ChannelType::Int64);
  EXPECT_EQ(c.get("i").type(), ChannelType::Double);
  EXPECT_EQ(c.get("b").type(), ChannelType::Bool);
  Value back = overTheWire(d).value();
  EXPECT_EQ(back["s"].asString(), "text");
  EXPECT_EQ(back["u"].asUInt64(), big);
  EXPECT_EQ(back["u"].numberType(), 'Q');
  EXPECT_EQ(back["q"].asInt64(), -5);
  EXPECT_EQ(back["q"].numberType(), 'q');
  EXPECT_EQ(back["i"].numberType(), 'd');
  EXPECT_EQ(back["i"].asDouble(), 7.0);
  EXPECT_TRUE(back["b"].isBool());
  // Order of keys is kept.
  EXPECT_EQ(back.keys()[0].asString(), "s");
  EXPECT_EQ(back.keys()[4].asString(), "b");
}

TEST(XPCParse, DatesTravelAsTruncatedNanoseconds) {
  ChannelValue c = XPCParse::newXPCObject(Value(platform::Date(1.5)));
  EXPECT_EQ(c.dateValue(), 1500000000);
  EXPECT_EQ(XPCParse::newXPCObject(Value(platform::Date(1.0000000019))).dateValue(), 1000000001);
  EXPECT_EQ(XPCParse::newXPCObject(Value(platform::Date(-1.0000000019))).dateValue(), -1000000001);
  EXPECT_DOUBLE_EQ(roundTrip(Value(platform::Date(1.5))).value().asDate().timeIntervalSince1970(),
                   1.5);
  // Far dates do not overflow the signed range.
  EXPECT_EQ(XPCParse::newXPCObject(Value(platform::Date::distantFuture())).dateValue(),
            std::numeric_limits<std::int64_t>::max());
}

TEST(XPCParse, OnlyMarkedArchivesAreUnarchivedIntoKnownClasses) {
  platform::URL url("https://example.com/a?b=c");
  Object back = overTheWire(Object(url));
  ASSERT_NE(back.url(), nullptr);
  EXPECT_EQ(back.url()->absoluteString(), url.absoluteString());

  // The bytes of that very archive, sent as plain data, stay data.
  ChannelValue archived = XPCParse::newXPCObject(Object(url));
  EXPECT_TRUE(archived.isArchive());
  Value raw = Value::data(archived.bytes());
  Object rawBack = overTheWire(raw);
  EXPECT_EQ(rawBack.value().asData(), archived.bytes());

  // An archive of a class outside the list comes back as its bytes.
  struct Gadget : ipc::Codable {
    std::string className() const override { return "Gadget"; }
    std::string description() const override { return "<Gadget>"; }
    Value archive() const override { return Value("state"); }
  };
  Object gadget = roundTrip(Object(std::make_shared<const Gadget>()));
  EXPECT_TRUE(gadget.value().isData());

  // Errors and the null marker are in the list.
  platform::Error e("Domain", 42, Value::dictionary({{"NSLocalizedDescription", "bad"}}));
  Object eBack = overTheWire(Object(e));
  ASSERT_NE(eBack.error(), nullptr);
  EXPECT_EQ(eBack.error()->domain(), "Domain");
  EXPECT_EQ(eBack.error()->code(), 42);
  EXPECT_EQ(eBack.error()->localizedDescription(), "bad");
  EXPECT_TRUE(overTheWire(Value::null()).value().isNull());
}

TEST(XPCParse, ValuesWithoutAnObjectFormAreLeftOut) {
  ChannelValue a = ChannelValue::array();
  a.append(ChannelValue::string("a"));
  a.append(ChannelValue::error(platform::xpc::ChannelError::ConnectionInvalid));
  a.append(ChannelValue::string("b"));
  Value arr = XPCParse::objectWithXPCObject(a).value();
  ASSERT_EQ(arr.count(), 2u);
  EXPECT_EQ(arr[0].asString(), "a");
  EXPECT_EQ(arr[1].asString(), "b");
  EXPECT_TRUE(XPCParse::objectWithXPCObject(ChannelValue::sharedMemory({1, 2})).isNil());
  EXPECT_TRUE(XPCParse::dataWithXPCObject(ChannelValue::string("x")).isNone());
}

TEST(XPCParse, ObjectsWithoutArchivingRaise) {
  struct Plain : ipc::Codable {
    std::string className() const override { return "Plain"; }
    std::string description() const override { return "<Plain: 0x1>"; }
  };
  try {
    XPCParse::newXPCObject(Object(std::make_shared<const Plain>()));
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "XPCNotNSCodingConformantException");
    EXPECT_EQ(e.reason(),
              "Object <Plain: 0x1> is not convertible into xpc_object_t type because it is not "
              "NSCoding conformant");
  }
}

TEST(XPCParse, FileHandlesTravelAsDuplicates) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  auto handle = std::make_shared<ipc::FileHandle>(p[0]);
  Object back = overTheWire(Object(handle));
  ASSERT_TRUE(back.fileHandle());
  EXPECT_NE(back.fileHandle()->fileDescriptor(), p[0]);
  ASSERT_EQ(::write(p[1], "x", 1), 1);
  char c = 0;
  EXPECT_EQ(::read(back.fileHandle()->fileDescriptor(), &c, 1), 1);
  EXPECT_EQ(c, 'x');
  ::close(p[1]);
}

TEST(XPCUUID, EqualBytesMakeEqualObjects) {
  platform::xpc::UUIDBytes b{};
  for (int i = 0; i < 16; ++i) b[i] = static_cast<std::uint8_t>(0xA0 + i);
  XPCUUID x(b), y(b);
  EXPECT_TRUE(x.isEqual(y));
  EXPECT_EQ(x.hash(), y.hash());
  EXPECT_EQ(x.string(), "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF");
  EXPECT_EQ(x.description(), "<XPCUUID A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF>");
  EXPECT_EQ(x.newXPCObject().uuidValue(), b);
  auto back = overTheWire(Object(std::make_shared<XPCUUID>(b))).uuid();
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->isEqual(x));
  EXPECT_FALSE(XPCUUID::uuid()->isEqual(*XPCUUID::uuid()));
}

TEST(WireCodec, RoomAheadOfThePayloadChangesNothingElse) {
  namespace wire = platform::xpc::wire;
  ChannelValue d = ChannelValue::dictionary();
  d.set("name", ChannelValue::string("value"));
  d.set("n", ChannelValue::int64(-2));
  ChannelValue a = ChannelValue::array();
  a.append(ChannelValue::real(0.5));
  a.append(ChannelValue::data({9, 8, 7}, true));
  d.set("list", a);
  auto plain = wire::encode(d);
  auto roomy = wire::encode(d, nullptr, wire::kHeaderSize);
  ASSERT_TRUE(plain && roomy);
  ASSERT_EQ(roomy->bytes.size(), plain->bytes.size() + wire::kHeaderSize);
  EXPECT_EQ(std::vector<std::uint8_t>(roomy->bytes.begin(), roomy->bytes.begin() + 16),
            std::vector<std::uint8_t>(16, 0));
  EXPECT_TRUE(std::equal(plain->bytes.begin(), plain->bytes.end(), roomy->bytes.begin() + 16));
  auto back = wire::decode(plain->bytes.data(), plain->bytes.size(), {});
  ASSERT_TRUE(back);
  EXPECT_EQ(back->debugDescription(), d.debugDescription());

  // The payload limit counts the payload only, not the room ahead of it:
  // 15 bytes of framing (dictionary tag and count, key, data tag and
  // length) and the data.
  ChannelValue big = ChannelValue::dictionary();
  big.set("b", ChannelValue::data(std::vector<std::uint8_t>(wire::kMaxPayload - 15, 1)));
  std::string reason;
  EXPECT_TRUE(wire::encode(big, &reason, wire::kHeaderSize)) << reason;
  big.set("b", ChannelValue::data(std::vector<std::uint8_t>(wire::kMaxPayload - 14, 1)));
  EXPECT_FALSE(wire::encode(big, &reason, wire::kHeaderSize));
  EXPECT_EQ(reason, "message too large");
}

TEST(ChannelValue, EntriesAndElementsAreReadInPlace) {
  ChannelValue d = ChannelValue::dictionary(2);
  d.set("first", ChannelValue::int64(1));
  d.set("second", ChannelValue::string("two"));
  d.set("first", ChannelValue::int64(3));  // replaced in place: order kept
  ASSERT_EQ(d.count(), 2u);
  EXPECT_EQ(d.keyAt(0), "first");
  EXPECT_EQ(d.valueAt(0).int64Value(), 3);
  EXPECT_EQ(d.keyAt(1), "second");
  EXPECT_TRUE(d.valueAt(1).isSameObject(d.get("second")));
  EXPECT_EQ(d.keyAt(2), "");
  EXPECT_TRUE(d.valueAt(2).isNone());
  ChannelValue a = ChannelValue::array();
  a.append(ChannelValue::boolean(true));
  EXPECT_TRUE(a.valueAt(0).boolValue());
  EXPECT_TRUE(a.valueAt(1).isNone());
  EXPECT_EQ(a.keyAt(0), "");
  EXPECT_TRUE(ChannelValue::int64(4).valueAt(0).isNone());
}

TEST(WireCodec, MalformedPayloadsAreRejected) {
  auto decode = [](std::vector<std::uint8_t> b, std::string* reason = nullptr) {
    return platform::xpc::wire::decode(b.data(), b.size(), {}, reason);
  };
  std::string reason;
  EXPECT_FALSE(decode({}, &reason));
  EXPECT_FALSE(decode({0x07, 0xFF, 0xFF, 0xFF, 0x7F}, &reason));  // string longer than input
  EXPECT_EQ(reason, "truncated text");
  EXPECT_FALSE(decode({0x0D, 0xFF, 0xFF, 0xFF, 0xFF}, &reason));  // huge element count
  EXPECT_EQ(reason, "array count too large");
  EXPECT_FALSE(decode({0x0C, 0, 0, 0, 0}, &reason));  // descriptor that was not sent
  EXPECT_EQ(reason, "descriptor index out of range");
  EXPECT_FALSE(decode({0x01, 0x01}, &reason));
  EXPECT_EQ(reason, "trailing bytes");
  std::vector<std::uint8_t> deep;
  for (int i = 0; i < 100; ++i) deep.insert(deep.end(), {0x0D, 1, 0, 0, 0});
  deep.push_back(0x01);
  EXPECT_FALSE(decode(deep, &reason));
  EXPECT_EQ(reason, "nesting too deep");

  std::uint8_t header[16] = {0};
  platform::xpc::wire::FrameHeader h;
  header[0] = 1;
  header[4] = 3;  // unknown kind
  EXPECT_FALSE(platform::xpc::wire::readHeader(header, &h, &reason));
  header[4] = 1;
  header[6] = 0xFF;  // too many descriptors
  EXPECT_FALSE(platform::xpc::wire::readHeader(header, &h, &reason));
}

}  // namespace
