#include "sdk/analytics/tly_predefined_event.h"

#include <gtest/gtest.h>

#include <cctype>

#include "platform/system/notification_center.h"
#include "sdk/analytics/tly_crash_event.h"
#include "sdk/analytics/tly_custom_event.h"
#include "sdk/analytics/tly_lifecycle_event.h"
#include "sdk/analytics/tly_tally_controller.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

using platform::Value;

bool isUpperUUID(const std::string& s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (s[i] != '-') return false;
    } else if (!std::isxdigit(static_cast<unsigned char>(s[i])) ||
               std::islower(static_cast<unsigned char>(s[i]))) {
      return false;
    }
  }
  return true;
}

TEST(TLYEventTest, EveryEventGetsItsOwnIdentifierAndCreationTime) {
  platform::Date before = platform::Date::now();
  TLYEvent base;
  TLYEvent other;
  EXPECT_TRUE(isUpperUUID(base.identifier()));
  EXPECT_NE(base.identifier(), other.identifier());
  EXPECT_GE(base.timestamp(), before);
  EXPECT_LE(base.timestamp(), platform::Date::now());
  EXPECT_EQ(base.name(), "unknown");
  EXPECT_EQ(base.dictionaryRepresentation(), Value::dictionary());
  EXPECT_FALSE(base.triggersFlush());
}

TEST(TLYPredefinedEventTest, PurchaseAddsItsAttributesInOrderWithPriceInMicros) {
  auto event = TLYPredefinedEvent::purchaseEventWithPrice(
      TLYDecimal(9.99), "USD", std::nullopt, "Plan", "subscription", "p1",
      Value::dictionary({{"campaign", "winter"}}));
  EXPECT_EQ(event->name(), "predefined");
  Value payload = event->dictionaryRepresentation();
  EXPECT_EQ(payload["eventId"].asString(), event->identifier());
  EXPECT_EQ(payload["predefined_type"].asString(), "purchase");
  EXPECT_EQ(payload["custom_attributes"], Value::dictionary({{"campaign", "winter"}}));
  Value predefined = payload["predefined_attributes"];
  std::vector<std::string> keys;
  for (const auto& key : predefined.keys()) keys.push_back(key.asString());
  EXPECT_EQ(keys, (std::vector<std::string>{"item_price", "currency", "item_name", "item_type",
                                            "item_id"}));
  EXPECT_EQ(predefined["item_price"], Value(9990000));
  EXPECT_FALSE(predefined.contains("success"));

  auto succeeded = TLYPredefinedEvent::purchaseEventWithPrice(
      std::nullopt, std::nullopt, true, std::nullopt, std::nullopt, std::nullopt, Value());
  EXPECT_EQ(succeeded->predefinedAttributes().rawDictionary(),
            Value::dictionary({{"success", "true"}}));
  EXPECT_EQ(succeeded->customAttributes().count(), 0u);
}

TEST(TLYPredefinedEventTest, EachFactoryNamesItsTypeAndKeys) {
  struct Case {
    TLYPredefinedEvent::Ptr event;
    const char* type;
    std::vector<std::string> keys;
  };
  Value none;
  std::vector<Case> cases = {
      {TLYPredefinedEvent::signUpEventWithMethod("mail", false, none),
       "sign_up",
       {"method", "success"}},
      {TLYPredefinedEvent::loginEventWithMethod("key", true, none), "login", {"method", "success"}},
      {TLYPredefinedEvent::shareEventWithMethod("m", "n", "t", "i", none),
       "share",
       {"method", "content_name", "content_type", "content_id"}},
      {TLYPredefinedEvent::inviteEventWithMethod("m", none), "invite", {"method"}},
      {TLYPredefinedEvent::levelStartEventWithLevelName("1", none), "level_start", {"level_name"}},
      {TLYPredefinedEvent::levelEndEventWithLevelName("1", Value(10), true, none),
       "level_end",
       {"level_name", "score", "success"}},
      {TLYPredefinedEvent::addToCartEventWithPrice(TLYDecimal(1), "EUR", "n", "t", "i", none),
       "add_to_cart",
       {"item_price", "currency", "item_name", "item_type", "item_id"}},
      {TLYPredefinedEvent::startCheckoutEventWithPrice(TLYDecimal(2.5), "EUR", Value(3), none),
       "start_checkout",
       {"total_price", "currency", "item_count"}},
      {TLYPredefinedEvent::ratingEventWithRating(Value(4), "n", "t", "i", none),
       "rating",
       {"rating", "content_name", "content_type", "content_id"}},
      {TLYPredefinedEvent::contentViewEventWithName("n", "t", "i", none),
       "content_view",
       {"content_name", "content_type", "content_id"}},
      {TLYPredefinedEvent::searchEventWithQuery("vpn", none), "search", {"query"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.event->predefinedEventName(), c.type);
    std::vector<std::string> keys;
    for (const auto& key : c.event->predefinedAttributes().rawDictionary().keys()) {
      keys.push_back(key.asString());
    }
    EXPECT_EQ(keys, c.keys) << c.type;
  }
  EXPECT_EQ(cases[7].event->predefinedAttributes().rawDictionary()["total_price"], Value(2500000));
  EXPECT_EQ(cases[0].event->predefinedAttributes().rawDictionary()["success"].asString(), "false");
}

TEST(TLYPredefinedEventTest, APriceAboveTheLimitIsRefusedButTheOtherAttributesStay) {
  BCNConsoleCapture console;
  auto event = TLYPredefinedEvent::addToCartEventWithPrice(
      *TLYDecimal::fromString("1e200"), "EUR", "n", std::nullopt, std::nullopt, Value());
  EXPECT_TRUE(console.contains("Maximum value for a price attribute exceeded"));
  EXPECT_EQ(event->predefinedAttributes().rawDictionary(),
            Value::dictionary({{"currency", "EUR"}, {"item_name", "n"}}));
  EXPECT_EQ(event->description(),
            "<TLYPredefinedEvent: add_to_cart\n{\n    currency = EUR;\n    "
            "item_name = n;\n}\n{\n}>");
}

TEST(TLYCustomEventTest, PayloadCarriesTheNameAndValidatedAttributes) {
  auto event =
      TLYCustomEvent::initWithCustomEventName("Connected", Value::dictionary({{"proto", "udp"}}));
  EXPECT_EQ(event->name(), "custom");
  EXPECT_EQ(event->dictionaryRepresentation(),
            Value::dictionary({{"eventId", event->identifier()},
                               {"custom_type", "Connected"},
                               {"custom_attributes", Value::dictionary({{"proto", "udp"}})}}));
  EXPECT_EQ(event->description(), "<TLYCustomEvent: Connected\n{\n    proto = udp;\n}>");
  // Without a name there is no payload, so no line will be written.
  auto nameless = TLYCustomEvent::initWithCustomEventName(std::nullopt, Value());
  EXPECT_TRUE(nameless->dictionaryRepresentation().isNone());
}

TEST(TLYLifecycleEventTest, NotificationsMapToNamesAndSomeTriggerAFlush) {
  auto named = [](const char* notification) {
    return TLYLifecycleEvent::eventWithNotification(
        platform::Notification{notification, nullptr, Value()});
  };
  auto active = named(kNSApplicationDidBecomeActiveNotification);
  auto inactive = named(kNSApplicationWillResignActiveNotification);
  auto terminated = named(kNSApplicationWillTerminateNotification);
  auto other = named("NSApplicationDidHideNotification");
  EXPECT_EQ(active->name(), "app_became_active");
  EXPECT_TRUE(active->triggersFlush());
  EXPECT_EQ(inactive->name(), "app_became_inactive");
  EXPECT_TRUE(inactive->triggersFlush());
  EXPECT_EQ(terminated->name(), "app_terminated");
  EXPECT_FALSE(terminated->triggersFlush());
  EXPECT_EQ(other->name(), "unknown-notification");
  EXPECT_FALSE(other->triggersFlush());

  EXPECT_EQ(TLYLifecycleEvent::installEvent()->name(), "app_installed");
  EXPECT_TRUE(TLYLifecycleEvent::installEvent()->triggersFlush());
  EXPECT_EQ(TLYLifecycleEvent::appLaunchedEvent()->name(), "app_launched");
  EXPECT_FALSE(TLYLifecycleEvent::appLaunchedEvent()->triggersFlush());
  EXPECT_EQ(active->dictionaryRepresentation(),
            Value::dictionary({{"eventId", active->identifier()}}));
  EXPECT_EQ(TLYLifecycleEvent::notificationNameMap().size(), 3u);
}

TEST(TLYCrashEventTest, TimeIsTheCrashTimeAndTheStateIsNamed) {
  platform::Date crashed(1500000000.0);
  auto unknown = TLYCrashEvent::initWithTimestamp(crashed, 0);
  EXPECT_EQ(unknown->name(), "app_crashed");
  EXPECT_EQ(unknown->timestamp(), crashed);
  EXPECT_EQ(unknown->dictionaryRepresentation()["crash_state"].asString(), "unknown");
  EXPECT_EQ(TLYCrashEvent(crashed, 1).dictionaryRepresentation()["crash_state"].asString(),
            "foreground");
  EXPECT_EQ(TLYCrashEvent(crashed, 2).dictionaryRepresentation()["crash_state"].asString(),
            "background");
  EXPECT_EQ(TLYCrashEvent(crashed, 3).dictionaryRepresentation()["crash_state"].asString(),
            "unknown");
}

}  // namespace
}  // namespace sdk
