// TLYPredefinedEvent: one of the twelve predefined event types (sign-up,
// login, share, invite, purchase, level start and end, add to cart, start of
// checkout, rating, content view, search). Name "predefined"; payload
// "eventId", "predefined_type", "custom_attributes" and
// "predefined_attributes".
//
// Every factory builds the event the same way: a new event, its type set,
// the custom attributes validated from the caller's dictionary, then the
// predefined attributes added in the order of the factory's parameters.
// Every argument may be absent (std::nullopt, or a None Value for numbers);
// an absent argument adds no attribute. Texts are texts; score, item count
// and rating are numbers (any number Value); success is a boolean; prices
// are decimals (stored times 1 000 000).
//
// Thread safety: as TLYEvent.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sdk/analytics/tly_attribute_dictionary.h"
#include "sdk/analytics/tly_decimal.h"
#include "sdk/analytics/tly_event.h"

namespace sdk {

// An optional text argument.
using TLYText = std::optional<std::string>;
using TLYPrice = std::optional<TLYDecimal>;

class TLYPredefinedEvent : public TLYEvent {
 public:
  using Ptr = std::shared_ptr<TLYPredefinedEvent>;
  using Value = platform::Value;

  TLYPredefinedEvent();

  static Ptr signUpEventWithMethod(const TLYText& method, std::optional<bool> success,
                                   const Value& customAttributes);
  static Ptr loginEventWithMethod(const TLYText& method, std::optional<bool> success,
                                  const Value& customAttributes);
  static Ptr shareEventWithMethod(const TLYText& method, const TLYText& contentName,
                                  const TLYText& contentType, const TLYText& contentId,
                                  const Value& customAttributes);
  static Ptr inviteEventWithMethod(const TLYText& method, const Value& customAttributes);
  static Ptr purchaseEventWithPrice(const TLYPrice& price, const TLYText& currency,
                                    std::optional<bool> success, const TLYText& itemName,
                                    const TLYText& itemType, const TLYText& itemId,
                                    const Value& customAttributes);
  static Ptr levelStartEventWithLevelName(const TLYText& levelName, const Value& customAttributes);
  static Ptr levelEndEventWithLevelName(const TLYText& levelName, const Value& score,
                                        std::optional<bool> success, const Value& customAttributes);
  static Ptr addToCartEventWithPrice(const TLYPrice& price, const TLYText& currency,
                                     const TLYText& itemName, const TLYText& itemType,
                                     const TLYText& itemId, const Value& customAttributes);
  static Ptr startCheckoutEventWithPrice(const TLYPrice& price, const TLYText& currency,
                                         const Value& itemCount, const Value& customAttributes);
  static Ptr ratingEventWithRating(const Value& rating, const TLYText& contentName,
                                   const TLYText& contentType, const TLYText& contentId,
                                   const Value& customAttributes);
  static Ptr contentViewEventWithName(const TLYText& contentName, const TLYText& contentType,
                                      const TLYText& contentId, const Value& customAttributes);
  static Ptr searchEventWithQuery(const TLYText& query, const Value& customAttributes);

  std::string name() const override { return "predefined"; }
  platform::Value dictionaryRepresentation() const override;
  std::string className() const override { return "TLYPredefinedEvent"; }
  // "<TLYPredefinedEvent: <type>\n<predefined attributes>\n<custom attributes>>".
  std::string description() const override;

  const std::string& predefinedEventName() const { return predefinedEventName_; }
  void setPredefinedEventName(std::string name) { predefinedEventName_ = std::move(name); }
  TLYAttributeDictionary& customAttributes() { return customAttributes_; }
  const TLYAttributeDictionary& customAttributes() const { return customAttributes_; }
  TLYAttributeDictionary& predefinedAttributes() { return predefinedAttributes_; }
  const TLYAttributeDictionary& predefinedAttributes() const { return predefinedAttributes_; }

 private:
  // A new event of `type` with the caller's custom attributes.
  static Ptr make(const char* type, const Value& customAttributes);
  void addText(const TLYText& text, const char* key);
  void addNumber(const Value& number, const char* key);

  std::string predefinedEventName_;
  TLYAttributeDictionary customAttributes_;
  TLYAttributeDictionary predefinedAttributes_;
};

}  // namespace sdk
