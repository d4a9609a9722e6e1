// TLYAttributeDictionary: the validated attributes of one analytics event.
//
// Invariants kept by the add operations (see addAttribute for the order of
// the checks):
//  - at most kTLYMaximumAttributeCount (21) entries;
//  - every key is text of at most kTLYMaximumAttributeLength (100)
//    characters, every value is such text or a number that is not NaN;
//    lengths count UTF-16 code units, and truncation never splits a
//    character (a character that would straddle the limit is dropped).
// Refusals and truncations are reported on the SDK console every time,
// whatever the analytics debug switch says.
//
// Conversions: a boolean is stored as the text "true" or "false"; a price
// as the decimal number price x 1 000 000 ("micros").
//
// Thread safety: built on one thread, then only read (events hand their
// dictionaries to the event queue once built).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "sdk/analytics/tly_decimal.h"

namespace sdk {

inline constexpr std::size_t kTLYMaximumAttributeCount = 21;
inline constexpr std::size_t kTLYMaximumAttributeLength = 100;

class TLYAttributeDictionary {
 public:
  TLYAttributeDictionary();
  // Empty, then every pair of `dictionary` (None: nothing) through
  // addAttribute, in the dictionary's enumeration order.
  explicit TLYAttributeDictionary(const platform::Value& dictionary);

  // In order: a None key or value stores nothing, silently; at 21 entries
  // or more nothing is stored ("Maximum number of Event attributes
  // exceeded", even for a key that is already there); a key that is not
  // text, or a value that is neither text nor a number, is refused with its
  // message; text values and the key are truncated to 100 characters; the
  // value is stored under the key, replacing an earlier one, except that a
  // NaN number removes the key.
  void addAttribute(const platform::Value& value, const platform::Value& key);
  // std::nullopt adds nothing; otherwise "true" or "false" under the
  // (truncated) key.
  void addBooleanAttribute(std::optional<bool> value, const platform::Value& key);
  // std::nullopt adds nothing; a price above the greatest decimal divided by
  // 1 000 000 is refused with its message; otherwise price x 1 000 000 as a
  // number.
  void addPriceAttribute(const std::optional<TLYDecimal>& price, const platform::Value& key);

  // The stored (mutable) dictionary itself; callers only read it.
  const platform::Value& rawDictionary() const { return rawDictionary_; }
  platform::Value dictionaryRepresentation() const { return rawDictionary_; }
  std::size_t count() const { return rawDictionary_.count(); }
  std::string description() const { return rawDictionary_.description(); }

  // Cuts `text` to its first 100 characters (UTF-16 units), logging the
  // truncation line when it was longer.
  static std::string truncatedString(std::string_view text);
  // The length of UTF-8 `text` in UTF-16 code units.
  static std::size_t utf16Length(std::string_view text);

 private:
  platform::Value truncatedKey(const platform::Value& key) const;
  platform::Value rawDictionary_;
};

}  // namespace sdk
