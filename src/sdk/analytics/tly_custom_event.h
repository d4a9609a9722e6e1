// TLYCustomEvent: an event with a name of the host application's choosing.
// Name "custom"; payload "eventId", "custom_type" (the event name) and
// "custom_attributes".
//
// An event made without a name cannot form its payload: its
// dictionaryRepresentation is None, so no line of it is written (nothing
// partial, nothing fatal).
//
// Thread safety: as TLYEvent.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sdk/analytics/tly_attribute_dictionary.h"
#include "sdk/analytics/tly_event.h"

namespace sdk {

class TLYCustomEvent : public TLYEvent {
 public:
  // `customAttributes` (a dictionary, or None) goes through
  // TLYAttributeDictionary's validation.
  TLYCustomEvent(std::optional<std::string> customEventName,
                 const platform::Value& customAttributes);
  static std::shared_ptr<TLYCustomEvent> initWithCustomEventName(
      std::optional<std::string> customEventName, const platform::Value& customAttributes) {
    return std::make_shared<TLYCustomEvent>(std::move(customEventName), customAttributes);
  }

  std::string name() const override { return "custom"; }
  platform::Value dictionaryRepresentation() const override;
  std::string className() const override { return "TLYCustomEvent"; }
  // "<TLYCustomEvent: <name>\n<attributes>>".
  std::string description() const override;

  const std::optional<std::string>& customEventName() const { return customEventName_; }
  const TLYAttributeDictionary& customAttributes() const { return customAttributes_; }

 private:
  const std::optional<std::string> customEventName_;
  TLYAttributeDictionary customAttributes_;
};

}  // namespace sdk
