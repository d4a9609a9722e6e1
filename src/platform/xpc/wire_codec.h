// platform::xpc wire codec: the compact binary form of channel values.
//
// A frame on a channel socket is a 16-byte header followed by the encoded
// dictionary:
//   u32 payload length (little-endian), u8 kind (1 message, 2 reply),
//   u8 flags (bit 0: the sender waits for a reply), u16 descriptor count,
//   u64 serial number.
// File descriptors travel beside the header as SCM_RIGHTS and are referred to
// by index inside the payload.
//
// Guarantees: decoding checks every length against what is left, caps the
// nesting depth, the payload size and the descriptor count, and fails with a
// reason instead of reading past the input. Whatever descriptors a failed
// decode was given are closed by their owners (the caller keeps them).
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/xpc/channel_value.h"

namespace platform::xpc::wire {

inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::uint32_t kMaxPayload = 64u << 20;  // 64 MiB
inline constexpr std::size_t kMaxDepth = 64;
inline constexpr std::size_t kMaxDescriptors = 64;

enum class FrameKind : std::uint8_t { Message = 1, Reply = 2 };

struct FrameHeader {
  std::uint32_t length = 0;
  FrameKind kind = FrameKind::Message;
  bool wantsReply = false;
  std::uint16_t descriptorCount = 0;
  std::uint64_t serial = 0;
};

// An encoded payload and the descriptors it refers to (not owned: they
// belong to the encoded value, which must outlive the send).
struct Encoded {
  std::vector<std::uint8_t> bytes;
  std::vector<int> descriptors;
};

// Encodes `value` (normally a dictionary). Values of type None are skipped.
// Fails (nullopt, `reason` set) when the result exceeds the limits.
std::optional<Encoded> encode(const ChannelValue& value, std::string* reason = nullptr);
// The same with `headroom` zero bytes ahead of the payload in `bytes` (room
// for a frame header, so that a frame is sent without copying its payload);
// the limits apply to the payload alone.
std::optional<Encoded> encode(const ChannelValue& value, std::string* reason, std::size_t headroom);

// Decodes a payload. `descriptors` are the received descriptors of the frame,
// in order; each one used is duplicated into the result (the caller still
// closes its own). Fails with a reason on any malformed input, and when
// containers nest deeper than `maxDepth` (at most kMaxDepth).
std::optional<ChannelValue> decode(const std::uint8_t* data, std::size_t size,
                                   const std::vector<int>& descriptors,
                                   std::string* reason = nullptr, std::size_t maxDepth = kMaxDepth);

void writeHeader(const FrameHeader& header, std::uint8_t* out);
// Parses a header; false (with a reason) when it is malformed or over the limits.
bool readHeader(const std::uint8_t* in, FrameHeader* header, std::string* reason = nullptr);

}  // namespace platform::xpc::wire
