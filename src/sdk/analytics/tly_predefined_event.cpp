#include "sdk/analytics/tly_predefined_event.h"

#include "platform/foundation/format.h"

namespace sdk {

using platform::Value;

TLYPredefinedEvent::TLYPredefinedEvent() = default;

TLYPredefinedEvent::Ptr TLYPredefinedEvent::make(const char* type, const Value& customAttributes) {
  auto event = std::make_shared<TLYPredefinedEvent>();
  event->predefinedEventName_ = type;
  event->customAttributes_ = TLYAttributeDictionary(customAttributes);
  return event;
}

void TLYPredefinedEvent::addText(const TLYText& text, const char* key) {
  if (text) predefinedAttributes_.addAttribute(Value(*text), Value(key));
}

void TLYPredefinedEvent::addNumber(const Value& number, const char* key) {
  predefinedAttributes_.addAttribute(number, Value(key));
}

Value TLYPredefinedEvent::dictionaryRepresentation() const {
  return Value::dictionary(
      {{kTLYEventIdKey, Value(identifier())},
       {"predefined_type", Value(predefinedEventName_)},
       {"custom_attributes", customAttributes_.dictionaryRepresentation()},
       {"predefined_attributes", predefinedAttributes_.dictionaryRepresentation()}});
}

std::string TLYPredefinedEvent::description() const {
  return platform::format("<%@: %@\n%@\n%@>", className(), predefinedEventName_,
                          predefinedAttributes_.description(), customAttributes_.description());
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::signUpEventWithMethod(const TLYText& method,
                                                                  std::optional<bool> success,
                                                                  const Value& customAttributes) {
  auto e = make("sign_up", customAttributes);
  e->addText(method, "method");
  e->predefinedAttributes_.addBooleanAttribute(success, Value("success"));
  return e;
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::loginEventWithMethod(const TLYText& method,
                                                                 std::optional<bool> success,
                                                                 const Value& customAttributes) {
  auto e = make("login", customAttributes);
  e->addText(method, "method");
  e->predefinedAttributes_.addBooleanAttribute(success, Value("success"));
  return e;
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::shareEventWithMethod(const TLYText& method,
                                                                 const TLYText& contentName,
                                                                 const TLYText& contentType,
                                                                 const TLYText& contentId,
                                                                 const Value& customAttributes) {
  auto e = make("share", customAttributes);
  e->addText(method, "method");
  e->addText(contentName, "content_name");
  e->addText(contentType, "content_type");
  e->addText(contentId, "content_id");
  return e;
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::inviteEventWithMethod(const TLYText& method,
                                                                  const Value& customAttributes) {
  auto e = make("invite", customAttributes);
  e->addText(method, "method");
  return e;
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::purchaseEventWithPrice(
    const TLYPrice& price, const TLYText& currency, std::optional<bool> success,
    const TLYText& itemName, const TLYText& itemType, const TLYText& itemId,
    const Value& customAttributes) {
  auto e = make("purchase", customAttributes);
  e->predefinedAttributes_.addPriceAttribute(price, Value("item_price"));
  e->addText(currency, "currency");
  e->predefinedAttributes_.addBooleanAttribute(success, Value("success"));
  e->addText(itemName, "item_name");
  e->addText(itemType, "item_type");
  e->addText(itemId, "item_id");
  return e;
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::levelStartEventWithLevelName(
    const TLYText& levelName, const Value& customAttributes) {
  auto e = make("level_start", customAttributes);
  e->addText(levelName, "level_name");
  return e;
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::levelEndEventWithLevelName(
    const TLYText& levelName, const Value& score, std::optional<bool> success,
    const Value& customAttributes) {
  auto e = make("level_end", customAttributes);
  e->addText(levelName, "level_name");
  e->addNumber(score, "score");
  e->predefinedAttributes_.addBooleanAttribute(success, Value("success"));
  return e;
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::addToCartEventWithPrice(
    const TLYPrice& price, const TLYText& currency, const TLYText& itemName,
    const TLYText& itemType, const TLYText& itemId, const Value& customAttributes) {
  auto e = make("add_to_cart", customAttributes);
  e->predefinedAttributes_.addPriceAttribute(price, Value("item_price"));
  e->addText(currency, "currency");
  e->addText(itemName, "item_name");
  e->addText(itemType, "item_type");
  e->addText(itemId, "item_id");
  return e;
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::startCheckoutEventWithPrice(
    const TLYPrice& price, const TLYText& currency, const Value& itemCount,
    const Value& customAttributes) {
  auto e = make("start_checkout", customAttributes);
  e->predefinedAttributes_.addPriceAttribute(price, Value("total_price"));
  e->addText(currency, "currency");
  e->addNumber(itemCount, "item_count");
  return e;
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::ratingEventWithRating(const Value& rating,
                                                                  const TLYText& contentName,
                                                                  const TLYText& contentType,
                                                                  const TLYText& contentId,
                                                                  const Value& customAttributes) {
  auto e = make("rating", customAttributes);
  e->addNumber(rating, "rating");
  e->addText(contentName, "content_name");
  e->addText(contentType, "content_type");
  e->addText(contentId, "content_id");
  return e;
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::contentViewEventWithName(
    const TLYText& contentName, const TLYText& contentType, const TLYText& contentId,
    const Value& customAttributes) {
  auto e = make("content_view", customAttributes);
  e->addText(contentName, "content_name");
  e->addText(contentType, "content_type");
  e->addText(contentId, "content_id");
  return e;
}

TLYPredefinedEvent::Ptr TLYPredefinedEvent::searchEventWithQuery(const TLYText& query,
                                                                 const Value& customAttributes) {
  auto e = make("search", customAttributes);
  e->addText(query, "query");
  return e;
}

}  // namespace sdk
