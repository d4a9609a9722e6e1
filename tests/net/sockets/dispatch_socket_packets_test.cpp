#include "net/sockets/dispatch_socket_packets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace net::sockets {
namespace {

void put(DispatchSocketPreBuffer& buffer, std::string_view bytes) {
  buffer.ensureCapacityForWrite(bytes.size());
  std::memcpy(buffer.writeBuffer(), bytes.data(), bytes.size());
  buffer.didWrite(bytes.size());
}

std::shared_ptr<Bytes> bytesOf(std::string_view text) {
  return std::make_shared<Bytes>(text.begin(), text.end());
}

TEST(DispatchSocketPreBufferTest, GrowsByTheShortfallAndKeepsOffsets) {
  DispatchSocketPreBuffer buffer(4096);
  buffer.ensureCapacityForWrite(4000);
  std::memset(buffer.writeBuffer(), 'x', 4000);
  buffer.didWrite(4000);
  buffer.didRead(10);
  EXPECT_EQ(buffer.availableSpace(), 96u);
  buffer.ensureCapacityForWrite(500);
  EXPECT_EQ(buffer.size(), 4500u);
  EXPECT_EQ(buffer.readOffset(), 10u);
  EXPECT_EQ(buffer.availableBytes(), 3990u);
  EXPECT_EQ(buffer.readBuffer()[0], 'x');
}

TEST(DispatchSocketPreBufferTest, ReadingEverythingRewindsToTheStart) {
  DispatchSocketPreBuffer buffer(16);
  put(buffer, "abcdefgh");
  buffer.didRead(3);
  EXPECT_EQ(buffer.availableSpace(), 8u);
  buffer.didRead(5);
  EXPECT_EQ(buffer.availableBytes(), 0u);
  EXPECT_EQ(buffer.availableSpace(), 16u);
  put(buffer, "z");
  buffer.reset();
  EXPECT_EQ(buffer.availableBytes(), 0u);
}

TEST(DispatchReadPacketTest, OwnedAndCallerBuffers) {
  DispatchReadPacket owned(nullptr, 0, 0, -1, 0, std::nullopt, 1);
  EXPECT_TRUE(owned.bufferOwner);
  EXPECT_TRUE(owned.buffer->empty());

  auto caller = bytesOf("12345");
  DispatchReadPacket into(caller, 2, 0, -1, 0, std::nullopt, 2);
  EXPECT_FALSE(into.bufferOwner);
  EXPECT_EQ(into.originalBufferLength, 5u);
  into.ensureCapacityForAdditionalDataOfLength(4);  // 3 bytes of room after offset 2
  EXPECT_EQ(caller->size(), 6u);
}

TEST(DispatchReadPacketTest, ReadLengthsHonourLimits) {
  DispatchReadPacket fixed(nullptr, 0, 0, -1, 10, std::nullopt, 0);
  fixed.bytesDone = 6;
  EXPECT_EQ(fixed.readLengthForNonTermWithHint(100), 4u);
  bool pre = true;
  EXPECT_EQ(fixed.optimalReadLengthWithDefault(32768, &pre), 4u);
  EXPECT_FALSE(pre);

  DispatchReadPacket limited(nullptr, 0, 8, -1, 0, std::nullopt, 0);
  limited.bytesDone = 3;
  EXPECT_EQ(limited.readLengthForNonTermWithHint(100), 5u);

  DispatchReadPacket term(nullptr, 0, 0, -1, 0, Bytes{'\n'}, 0);
  EXPECT_EQ(term.readLengthForTermWithHint(50, &pre), 50u);
  EXPECT_TRUE(pre);  // the owned buffer has no room yet
}

TEST(DispatchReadPacketTest, TerminatorStraddlingEarlierDataIsFound) {
  DispatchReadPacket packet(nullptr, 0, 0, -1, 0, Bytes{'\r', '\n'}, 0);
  packet.ensureCapacityForAdditionalDataOfLength(3);
  std::memcpy(packet.buffer->data(), "ab\r", 3);
  packet.bytesDone = 3;
  DispatchSocketPreBuffer pre(16);
  put(pre, "\nrest");
  bool found = false;
  EXPECT_EQ(packet.readLengthForTermWithPreBuffer(pre, &found), 1u);
  EXPECT_TRUE(found);
}

TEST(DispatchReadPacketTest, TerminatorSearchStopsAtMaxLength) {
  DispatchReadPacket packet(nullptr, 0, 10, -1, 0, Bytes{'\n'}, 0);
  packet.ensureCapacityForAdditionalDataOfLength(8);
  std::memset(packet.buffer->data(), 'a', 8);
  packet.bytesDone = 8;
  DispatchSocketPreBuffer pre(16);
  put(pre, "bbbb\n");
  bool found = false;
  EXPECT_EQ(packet.readLengthForTermWithPreBuffer(pre, &found), 2u);
  EXPECT_FALSE(found);

  DispatchReadPacket inside(nullptr, 0, 0, -1, 0, Bytes{'\n'}, 0);
  DispatchSocketPreBuffer lines(16);
  put(lines, "x\ny\n");
  EXPECT_EQ(inside.readLengthForTermWithPreBuffer(lines, &found), 2u);
  EXPECT_TRUE(found);
}

TEST(DispatchReadPacketTest, SearchAfterReadingIntoThePacket) {
  DispatchReadPacket packet(nullptr, 0, 0, -1, 0, Bytes{'\r', '\n'}, 0);
  auto append = [&](std::string_view bytes) {
    packet.ensureCapacityForAdditionalDataOfLength(bytes.size());
    std::memcpy(packet.buffer->data() + packet.bytesDone, bytes.data(), bytes.size());
  };
  append("abc\r");
  EXPECT_EQ(packet.searchForTermAfterPreBuffering(4), -1);
  packet.bytesDone = 4;
  append("\n");
  EXPECT_EQ(packet.searchForTermAfterPreBuffering(1), 0);  // ends exactly with it
  append("\nxyz");
  EXPECT_EQ(packet.searchForTermAfterPreBuffering(4), 3);  // three bytes past it
}

}  // namespace
}  // namespace net::sockets
