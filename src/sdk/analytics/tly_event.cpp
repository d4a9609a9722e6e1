#include "sdk/analytics/tly_event.h"

#include "platform/foundation/format.h"
#include "sdk/platform/bcn_encoding.h"

namespace sdk {

TLYEvent::TLYEvent() : timestamp_(platform::Date::now()), identifier_(BCNGenerateUUIDString()) {}

TLYEvent::~TLYEvent() = default;

std::string TLYEvent::name() const { return "unknown"; }

platform::Value TLYEvent::dictionaryRepresentation() const { return platform::Value::dictionary(); }

bool TLYEvent::triggersFlush() const { return false; }

platform::Date TLYEvent::timestamp() const { return timestamp_; }

std::string TLYEvent::description() const {
  return platform::format("<%@: %@>", className(), name());
}

}  // namespace sdk
