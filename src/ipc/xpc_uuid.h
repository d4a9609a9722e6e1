// XPCUUID: one UUID that travels on the message channel as the channel's
// UUID type (16 bytes, byte 0 first).
//
// Two XPCUUIDs are equal when their descriptions are equal, so equal bytes
// mean equal objects, and equal objects have equal hashes.
//
// Thread safety: immutable after creation.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/xpc/channel_value.h"

namespace ipc {

class XPCUUID {
 public:
  using UUIDRef = std::shared_ptr<const platform::xpc::UUIDBytes>;

  // A new random (version 4) UUID.
  static std::shared_ptr<XPCUUID> uuid();
  // From a channel UUID; nullptr when `object` is not one.
  static std::shared_ptr<XPCUUID> uuidWithXPCObject(const platform::xpc::ChannelValue& object);
  // Keeps the given reference for the object's lifetime.
  explicit XPCUUID(UUIDRef uuidRef);
  explicit XPCUUID(const platform::xpc::UUIDBytes& bytes);

  const UUIDRef& uuidRef() const { return uuidRef_; }
  platform::xpc::ChannelValue newXPCObject() const;
  // Canonical text: 8-4-4-4-12 upper-case hexadecimal groups.
  std::string string() const;
  // "<XPCUUID %@>" with `string`.
  std::string description() const;
  bool isEqual(const XPCUUID& other) const { return description() == other.description(); }
  std::size_t hash() const;
  friend bool operator==(const XPCUUID& a, const XPCUUID& b) { return a.isEqual(b); }

 private:
  UUIDRef uuidRef_;
};

}  // namespace ipc
