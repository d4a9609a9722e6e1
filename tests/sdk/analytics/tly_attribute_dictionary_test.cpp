#include "sdk/analytics/tly_attribute_dictionary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

using platform::Value;

const char* kTooMany = "[Tally] Maximum number of Event attributes exceeded. Ignoring entry";
const char* kTruncating =
    "[Tally] Maximum length for an Event attributes exceeded. Truncating to 100 characters.";

TEST(TLYAttributeDictionaryTest, AtMost21EntriesInTheDictionarysOrder) {
  BCNConsoleCapture console;
  std::vector<std::pair<Value, Value>> pairs;
  for (int i = 0; i < 25; ++i) pairs.emplace_back(Value("k" + std::to_string(i)), Value(i));
  TLYAttributeDictionary attributes(Value::dictionary(pairs));
  EXPECT_EQ(attributes.count(), 21u);
  EXPECT_TRUE(attributes.rawDictionary().contains("k20"));
  EXPECT_FALSE(attributes.rawDictionary().contains("k21"));
  EXPECT_EQ(console.count(kTooMany), 4u);
  EXPECT_TRUE(console.contains(
      "[Tally] Maximum number of Event attributes exceeded. Ignoring entry k24:24"));

  // At 21 entries even a replacement of an existing key is refused.
  attributes.addAttribute(Value("new"), Value("k0"));
  EXPECT_EQ(attributes.rawDictionary()["k0"].asInt64(), 0);
  EXPECT_EQ(console.count(kTooMany), 5u);
}

TEST(TLYAttributeDictionaryTest, LongKeysAndTextsAreCutTo100UTF16Units) {
  BCNConsoleCapture console;
  TLYAttributeDictionary attributes;
  std::string longKey(150, 'k');
  attributes.addAttribute(Value("short"), Value(longKey));
  EXPECT_EQ(console.count(kTruncating), 1u);
  EXPECT_EQ(attributes.rawDictionary()[std::string(100, 'k')].asString(), "short");

  attributes.addAttribute(Value(std::string(150, 'v')), Value("text"));
  EXPECT_EQ(console.count(kTruncating), 2u);
  EXPECT_EQ(attributes.rawDictionary()["text"].asString(), std::string(100, 'v'));

  // 99 letters and an emoji (two UTF-16 units) would be 101: the emoji goes
  // whole instead of being split.
  std::string text = std::string(99, 'a') + "\xF0\x9F\x98\x80";
  EXPECT_EQ(TLYAttributeDictionary::utf16Length(text), 101u);
  EXPECT_EQ(TLYAttributeDictionary::truncatedString(text), std::string(99, 'a'));
  // 100 two-byte letters are 100 units: kept whole.
  std::string umlauts;
  for (int i = 0; i < 100; ++i) umlauts += "\xC3\xA4";
  EXPECT_EQ(TLYAttributeDictionary::truncatedString(umlauts), umlauts);
}

TEST(TLYAttributeDictionaryTest, WrongKindsAreRefusedWithTheirOwnMessage) {
  BCNConsoleCapture console;
  TLYAttributeDictionary attributes;
  attributes.addAttribute(Value("x"), Value(7));
  EXPECT_TRUE(console.contains(
      "[Tally] Event attribute keys must be of type NSString. Ignoring entry 7:x"));
  attributes.addAttribute(Value(platform::Date(0)), Value("when"));
  EXPECT_TRUE(console.contains(
      "[Tally] Event attribute values must be of type NSString or NSNumber. Ignoring entry when:"));
  attributes.addAttribute(Value::array({Value(1)}), Value("list"));
  EXPECT_EQ(attributes.count(), 0u);

  // Absent keys or values are ignored without a word.
  console.clear();
  attributes.addAttribute(Value(), Value("k"));
  attributes.addAttribute(Value("v"), Value());
  EXPECT_TRUE(console.lines().empty());
  EXPECT_EQ(attributes.count(), 0u);
}

TEST(TLYAttributeDictionaryTest, NaNRemovesTheKeyAndNumbersKeepTheirKind) {
  TLYAttributeDictionary attributes;
  attributes.addAttribute(Value(3.5), Value("score"));
  attributes.addAttribute(Value(std::uint64_t{7}), Value("count"));
  EXPECT_TRUE(attributes.rawDictionary()["score"].isReal());
  EXPECT_TRUE(attributes.rawDictionary()["count"].isUInt());
  attributes.addAttribute(Value(std::numeric_limits<double>::quiet_NaN()), Value("score"));
  EXPECT_FALSE(attributes.rawDictionary().contains("score"));
  attributes.addAttribute(Value(std::numeric_limits<double>::quiet_NaN()), Value("never"));
  EXPECT_EQ(attributes.count(), 1u);
}

TEST(TLYAttributeDictionaryTest, BooleansBecomeTextAndPricesBecomeMicros) {
  BCNConsoleCapture console;
  TLYAttributeDictionary attributes;
  attributes.addBooleanAttribute(true, Value("success"));
  attributes.addBooleanAttribute(false, Value("failed"));
  attributes.addBooleanAttribute(std::nullopt, Value("absent"));
  EXPECT_EQ(attributes.rawDictionary()["success"].asString(), "true");
  EXPECT_EQ(attributes.rawDictionary()["failed"].asString(), "false");
  EXPECT_FALSE(attributes.rawDictionary().contains("absent"));

  attributes.addPriceAttribute(TLYDecimal(9.99), Value("item_price"));
  EXPECT_EQ(attributes.rawDictionary()["item_price"], Value(9990000));
  attributes.addPriceAttribute(std::nullopt, Value("none"));
  EXPECT_FALSE(attributes.rawDictionary().contains("none"));

  attributes.addPriceAttribute(*TLYDecimal::fromString("1e170"), Value("huge"));
  EXPECT_FALSE(attributes.rawDictionary().contains("huge"));
  EXPECT_TRUE(
      console.contains("[Tally] Maximum value for a price attribute exceeded. Ignoring price "
                       "attribute with value: 1"));
  EXPECT_EQ(attributes.count(), 3u);
}

}  // namespace
}  // namespace sdk
