// libFuzzer target: what a peer's bytes meet in the channel. The input is a
// frame (header and payload) as the transport reads it; a payload that
// decodes is then converted the way a received message is, under the one
// conversion budget (archives nested in archives included), key by key and
// whole. A value the budget admits must convert; a decoded value must encode
// again to bytes that decode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ipc/xpc_parse.h"
#include "platform/xpc/wire_codec.h"

namespace wire = platform::xpc::wire;
using platform::xpc::ChannelType;
using platform::xpc::ChannelValue;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < wire::kHeaderSize) return 0;
  wire::FrameHeader header;
  std::string reason;
  if (!wire::readHeader(data, &header, &reason)) {
    if (reason.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  // The payload is whatever follows, whatever the header claims: a short
  // frame is one the transport would still be waiting for.
  auto value = wire::decode(data + wire::kHeaderSize, size - wire::kHeaderSize, {}, &reason);
  if (!value) {
    if (reason.empty()) std::abort();
    return 0;
  }
  const bool fits = ipc::XPCParse::fitsConversionBudget(*value, &reason);
  ipc::Object whole = ipc::XPCParse::objectWithXPCObject(*value);
  if (fits && value->type() == ChannelType::Dictionary && whole.value().isNone()) std::abort();
  if (!fits && !whole.isNil()) std::abort();  // over the budget gives nothing
  if (value->type() == ChannelType::Dictionary) {
    value->forEach([](const std::string&, const ChannelValue& e) {
      (void)ipc::XPCParse::objectWithXPCObject(e).description();
      return true;
    });
  }
  auto again = wire::encode(*value);
  if (!again) return 0;  // None values left out may make it an empty tree
  if (!wire::decode(again->bytes.data(), again->bytes.size(), {})) std::abort();
  return 0;
}
