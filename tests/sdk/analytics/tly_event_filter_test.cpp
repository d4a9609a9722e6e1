#include "sdk/analytics/tly_event_filter.h"

#include <gtest/gtest.h>

#include <limits>

#include "sdk/analytics/tly_custom_event.h"
#include "sdk/analytics/tly_event.h"
#include "sdk/analytics/tly_lifecycle_event.h"

namespace sdk {
namespace {

TEST(TLYEventFilterTest, JavaHashCodeMatchesTheJavaStringHash) {
  EXPECT_EQ(TLYEventFilter::javaHashCodeForString(""), 0);
  EXPECT_EQ(TLYEventFilter::javaHashCodeForString("a"), 97);
  EXPECT_EQ(TLYEventFilter::javaHashCodeForString("hello"), 99162322);
  // Colliding pair of the Java hash.
  EXPECT_EQ(TLYEventFilter::javaHashCodeForString("Aa"),
            TLYEventFilter::javaHashCodeForString("BB"));
  // Wraps in 32 bits and is read as signed.
  EXPECT_EQ(TLYEventFilter::javaHashCodeForString("polygenelubricants"),
            std::numeric_limits<std::int32_t>::min());
  // Counts UTF-16 code units: a character outside the basic plane is a
  // surrogate pair, a two-byte UTF-8 character is one unit.
  EXPECT_EQ(TLYEventFilter::javaHashCodeForString("\xF0\x9F\x98\x80"), 0xD83D * 31 + 0xDE00);
  EXPECT_EQ(TLYEventFilter::javaHashCodeForString("\xC3\xA9"), 0xE9);
  // An installation identifier as the registry makes them.
  EXPECT_EQ(TLYEventFilter::javaHashCodeForString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"),
            static_cast<std::int32_t>(0x45D5833C));
}

TEST(TLYEventFilterTest, InstallationRuleKeepsOrDropsByHashRemainder) {
  TLYEventFilter filter;
  // "\t" hashes to 9 and "\n" to 10.
  EXPECT_FALSE(filter.shouldDiscardEventWithInstallationID(std::string("\t"), 3));
  EXPECT_TRUE(filter.shouldDiscardEventWithInstallationID(std::string("\n"), 3));
  // Missing identifier, or a factor below 2: kept.
  EXPECT_FALSE(filter.shouldDiscardEventWithInstallationID(std::nullopt, 3));
  EXPECT_FALSE(filter.shouldDiscardEventWithInstallationID(std::string("\n"), 1));
  EXPECT_FALSE(filter.shouldDiscardEventWithInstallationID(std::string("\n"), 0));
  EXPECT_FALSE(filter.shouldDiscardEventWithInstallationID(std::string("\n"), -5));
  // A negative hash uses the truncating remainder: INT32_MIN % 2 == 0,
  // INT32_MIN % 3 == -2.
  EXPECT_FALSE(filter.shouldDiscardEventWithInstallationID(std::string("polygenelubricants"), 2));
  EXPECT_TRUE(filter.shouldDiscardEventWithInstallationID(std::string("polygenelubricants"), 3));
  // A factor beyond 32 bits still works on the widened hash.
  EXPECT_TRUE(filter.shouldDiscardEventWithInstallationID(std::string("\n"), 1LL << 40));
}

TEST(TLYEventFilterTest, OnlyLifecycleEventTypesAreSampled) {
  TLYEventFilter filter;
  for (const char* name : {"app_launched", "app_terminated", "app_crashed", "app_memory_warning",
                           "app_entered_background", "app_entered_foreground",
                           "app_became_inactive", "app_became_active"}) {
    EXPECT_TRUE(filter.samplingEnabledForEventType(name)) << name;
  }
  for (const char* name : {"app_installed", "custom", "predefined", "unknown-notification", ""}) {
    EXPECT_FALSE(filter.samplingEnabledForEventType(name)) << name;
  }
}

TEST(TLYEventFilterTest, ShouldDiscardEventAppliesBetaTokenAndEventType) {
  TLYEventFilter filter;
  auto launched = TLYLifecycleEvent::appLaunchedEvent();
  auto installed = TLYLifecycleEvent::installEvent();
  auto custom = std::make_shared<TLYCustomEvent>("purchase_done", platform::Value());
  const std::optional<std::string> none;
  const std::optional<std::string> hash9("\t"), hash10("\n");

  EXPECT_TRUE(filter.shouldDiscardEvent(nullptr, none, hash9, 3));
  // Hash 9, factor 3: lifecycle kept; hash 10: lifecycle dropped, custom kept.
  EXPECT_FALSE(filter.shouldDiscardEvent(launched, none, hash9, 3));
  EXPECT_TRUE(filter.shouldDiscardEvent(launched, none, hash10, 3));
  EXPECT_FALSE(filter.shouldDiscardEvent(custom, none, hash10, 3));
  EXPECT_FALSE(filter.shouldDiscardEvent(custom, none, hash9, 3));
  EXPECT_FALSE(filter.shouldDiscardEvent(installed, none, hash10, 3));
  // A beta tester keeps everything.
  EXPECT_FALSE(filter.shouldDiscardEvent(launched, std::string("abc"), hash10, 3));
  // Sampling rate 1 or no installation identifier: nothing is dropped.
  EXPECT_FALSE(filter.shouldDiscardEvent(launched, none, hash10, 1));
  EXPECT_FALSE(filter.shouldDiscardEvent(launched, none, none, 3));
}

}  // namespace
}  // namespace sdk
