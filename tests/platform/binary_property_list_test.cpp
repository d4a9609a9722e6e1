#include "platform/system/binary_property_list.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/system/file_util.h"
#include "platform/system/property_list.h"
#include "support/temp_root.h"

namespace platform {
namespace {

using varnel::testing::TempRootTest;

// Written by another program's binary writer: {name: "VarnelVPN", n: -2,
// big: 2^64-1, max: 2^63-1, list: [1.5, true, false, <00ff>, "café 😀"],
// when: 2020-01-02T03:04:05Z}, keys in that order.
const std::string kSample(
    "\x62\x70\x6c\x69\x73\x74\x30\x30\xd6\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x11\x54\x6e"
    "\x61"
    "\x6d\x65\x51\x6e\x53\x62\x69\x67\x53\x6d\x61\x78\x54\x6c\x69\x73\x74\x54\x77\x68\x65\x6e\x59"
    "\x56"
    "\x61\x72\x6e\x65\x6c\x56\x50\x4e\x13\xff\xff\xff\xff\xff\xff\xff\xfe\x14\x00\x00\x00\x00\x00"
    "\x00"
    "\x00\x00\xff\xff\xff\xff\xff\xff\xff\xff\x13\x7f\xff\xff\xff\xff\xff\xff\xff\xa5\x0c\x0d\x0e"
    "\x0f"
    "\x10\x23\x3f\xf8\x00\x00\x00\x00\x00\x00\x09\x08\x42\x00\xff\x67\x00\x63\x00\x61\x00\x66\x00"
    "\xe9"
    "\x00\x20\xd8\x3d\xde\x00\x33\x41\xc1\xde\xca\x92\x80\x00\x00\x08\x15\x1a\x1c\x20\x24\x29\x2e"
    "\x38"
    "\x41\x52\x5b\x61\x6a\x6b\x6c\x6f\x7e\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00"
    "\x00"
    "\x12\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x87",
    185);

std::string be(std::uint64_t n, int width) {
  std::string out;
  for (int i = width - 1; i >= 0; --i) out += static_cast<char>((n >> (8 * i)) & 0xff);
  return out;
}

// A binary list of `objects` (raw encodings whose references are 2 bytes),
// object 0 on top.
std::string build(const std::vector<std::string>& objects) {
  std::string out(plist::kBinaryHeader);
  std::vector<std::uint64_t> offsets;
  for (const std::string& o : objects) {
    offsets.push_back(out.size());
    out += o;
  }
  const std::uint64_t table = out.size();
  for (std::uint64_t at : offsets) out += be(at, 4);
  out += std::string(6, '\0') + '\x04' + '\x02';
  out += be(objects.size(), 8) + be(0, 8) + be(table, 8);
  return out;
}

std::string ref(std::uint64_t index) { return be(index, 2); }

// A chain of `depth` one-element arrays ending in true.
std::string nested(int depth) {
  std::vector<std::string> objects;
  for (int i = 0; i < depth; ++i) objects.push_back("\xA1" + ref(i + 1));
  objects.push_back("\x09");
  return build(objects);
}

TEST(BinaryPropertyList, ReadsEveryTypeWithItsKindAndOrder) {
  Error error;
  plist::Format format = plist::kXMLFormat;
  Value v = plist::parse(kSample, &error, &format);
  ASSERT_FALSE(v.isNone()) << error.description();
  EXPECT_EQ(format, plist::kBinaryFormat);
  ASSERT_EQ(v.count(), 6u);
  EXPECT_EQ(v["name"].asString(), "VarnelVPN");
  EXPECT_EQ(v["n"].asInt64(), -2);
  EXPECT_EQ(v["big"].asUInt64(), UINT64_MAX);
  EXPECT_TRUE(v["big"].isUInt());
  EXPECT_EQ(v["max"].asInt64(), INT64_MAX);
  EXPECT_TRUE(v["max"].isInt());
  const Value list = v["list"];
  ASSERT_EQ(list.count(), 5u);
  EXPECT_EQ(list[0].asDouble(), 1.5);
  EXPECT_TRUE(list[1].asBool());
  EXPECT_FALSE(list[2].asBool());
  EXPECT_EQ(list[3].asData(), (Bytes{0x00, 0xff}));
  EXPECT_EQ(list[4].asString(), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(v["when"].asDate().timeIntervalSince1970(), 1577934245.0);
  std::vector<std::string> keys;
  v.forEach([&](const Value& key, const Value&) {
    keys.push_back(key.asString());
    return true;
  });
  EXPECT_EQ(keys, (std::vector<std::string>{"name", "n", "big", "max", "list", "when"}));
  EXPECT_FALSE(v.isMutable());

  // The XML reader still reports its own format.
  auto xml = plist::serialize(v);
  ASSERT_TRUE(xml.has_value());
  EXPECT_EQ(plist::parse(*xml, nullptr, &format), v);
  EXPECT_EQ(format, plist::kXMLFormat);
}

TEST(BinaryPropertyList, DamagedInputIsRefusedWithTheCorruptError) {
  std::string badTable = kSample;
  badTable[badTable.size() - 8] = '\x7f';  // offset table far past the end
  std::string truncated = kSample.substr(0, 120);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"header only", std::string(plist::kBinaryHeader)},
      {"truncated", truncated},
      {"offset table out of bounds", badTable},
      {"contains itself", build({"\xA1" + ref(0)})},
      {"contains itself through another", build({"\xA1" + ref(1), "\xA1" + ref(0)})},
      {"reference out of range", build({"\xA1" + ref(7)})},
      {"key that is no string", build({"\xD1" + ref(1) + ref(2), "\x10\x05", "\x09"})},
      {"unpaired surrogate", build({std::string("\x61\xD8\x00", 3)})},
      {"string longer than the input", build({"\x5F\x11\xFF\xFF"
                                              "abc"})},
      {"null object", build({std::string("\x00", 1)})},
      {"integer beyond 64 bits", build({"\x14" + be(1, 8) + be(0, 8)})},
      {"too deep", nested(plist::kMaxDepth + 10)},
      {"date out of range", build({"\x33" + be(0x7FF0000000000000, 8)})},
  };
  for (const auto& [name, bytes] : cases) {
    Error error;
    plist::Format format = plist::kXMLFormat;
    EXPECT_TRUE(plist::parse(bytes, &error, &format).isNone()) << name;
    EXPECT_EQ(error.domain(), kCocoaErrorDomain) << name;
    EXPECT_EQ(error.code(), plist::kReadCorruptError) << name;
    EXPECT_EQ(format, plist::kXMLFormat) << name << ": no format for a failed read";
  }
  EXPECT_FALSE(plist::readBinary(nested(100)).isNone());
}

TEST(BinaryPropertyList, SharedObjectsAreDecodedOnce) {
  // Each level refers to the next twice: 2^60 paths, 61 objects.
  std::vector<std::string> objects;
  for (int i = 0; i < 60; ++i) objects.push_back("\xA2" + ref(i + 1) + ref(i + 1));
  objects.push_back("\x09");
  const auto started = std::chrono::steady_clock::now();
  Value v = plist::readBinary(build(objects));
  ASSERT_FALSE(v.isNone());
  EXPECT_TRUE(v[0][1][0][1].isSameObject(v[1][0][1][0]));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

class BinaryPropertyListFile : public TempRootTest {};

TEST_F(BinaryPropertyListFile, ReadFileTakesTheBinaryFormat) {
  const std::string path = root().file("Info.plist");
  ASSERT_TRUE(files::writeFileAtomically(path, kSample, 0644));
  Error error;
  plist::Format format = plist::kXMLFormat;
  Value v = plist::readFile(path, &error, &format);
  EXPECT_EQ(v["name"].asString(), "VarnelVPN") << error.description();
  EXPECT_EQ(format, plist::kBinaryFormat);
}

}  // namespace
}  // namespace platform
