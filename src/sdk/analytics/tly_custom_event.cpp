#include "sdk/analytics/tly_custom_event.h"

#include "platform/foundation/format.h"

namespace sdk {

TLYCustomEvent::TLYCustomEvent(std::optional<std::string> customEventName,
                               const platform::Value& customAttributes)
    : customEventName_(std::move(customEventName)), customAttributes_(customAttributes) {}

platform::Value TLYCustomEvent::dictionaryRepresentation() const {
  if (!customEventName_) return platform::Value();
  return platform::Value::dictionary(
      {{kTLYEventIdKey, platform::Value(identifier())},
       {"custom_type", platform::Value(*customEventName_)},
       {"custom_attributes", customAttributes_.dictionaryRepresentation()}});
}

std::string TLYCustomEvent::description() const {
  return platform::format("<%@: %@\n%@>", className(),
                          customEventName_ ? platform::Value(*customEventName_) : platform::Value(),
                          customAttributes_.description());
}

}  // namespace sdk
