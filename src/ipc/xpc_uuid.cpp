#include "ipc/xpc_uuid.h"

#include <sys/random.h>

#include <cstdio>
#include <functional>
#include <random>

#include "platform/foundation/format.h"

namespace ipc {

std::shared_ptr<XPCUUID> XPCUUID::uuid() {
  platform::xpc::UUIDBytes b{};
  if (::getrandom(b.data(), b.size(), 0) != static_cast<ssize_t>(b.size())) {
    std::random_device rd;
    for (auto& x : b) x = static_cast<std::uint8_t>(rd());
  }
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
  return std::make_shared<XPCUUID>(b);
}

std::shared_ptr<XPCUUID> XPCUUID::uuidWithXPCObject(const platform::xpc::ChannelValue& object) {
  if (object.type() != platform::xpc::ChannelType::UUID) return nullptr;
  return std::make_shared<XPCUUID>(object.uuidValue());
}

XPCUUID::XPCUUID(UUIDRef uuidRef)
    : uuidRef_(uuidRef ? std::move(uuidRef) : std::make_shared<const platform::xpc::UUIDBytes>()) {}

XPCUUID::XPCUUID(const platform::xpc::UUIDBytes& bytes)
    : uuidRef_(std::make_shared<const platform::xpc::UUIDBytes>(bytes)) {}

platform::xpc::ChannelValue XPCUUID::newXPCObject() const {
  return platform::xpc::ChannelValue::uuid(*uuidRef_);
}

std::string XPCUUID::string() const {
  const auto& b = *uuidRef_;
  char buf[40];
  std::snprintf(buf, sizeof buf,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return buf;
}

std::string XPCUUID::description() const {
  return platform::format("<%@ %@>", "XPCUUID", string());
}

std::size_t XPCUUID::hash() const { return std::hash<std::string>()(description()); }

}  // namespace ipc
