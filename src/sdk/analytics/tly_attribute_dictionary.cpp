#include "sdk/analytics/tly_attribute_dictionary.h"

#include <cmath>

#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

// The length in bytes of the UTF-8 sequence starting with `lead` (1 for a
// stray continuation byte or an invalid lead, so malformed text still makes
// progress one byte at a time).
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

bool isNaN(const platform::Value& v) { return v.isReal() && std::isnan(v.asDouble()); }

}  // namespace

std::size_t TLYAttributeDictionary::utf16Length(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = sequenceLength(static_cast<unsigned char>(text[i]));
    if (i + n > text.size()) n = text.size() - i;
    units += n == 4 ? 2 : 1;
    i += n;
  }
  return units;
}

std::string TLYAttributeDictionary::truncatedString(std::string_view text) {
  std::size_t units = 0, end = 0;
  bool cut = false;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = sequenceLength(static_cast<unsigned char>(text[i]));
    if (i + n > text.size()) n = text.size() - i;
    std::size_t u = n == 4 ? 2 : 1;
    if (units + u > kTLYMaximumAttributeLength) {
      cut = true;
      break;
    }
    units += u;
    i += n;
    end = i;
  }
  if (!cut) return std::string(text);
  BCNConsoleLog(
      "[Tally] Maximum length for an Event attributes exceeded. Truncating to %u characters.",
      static_cast<unsigned>(kTLYMaximumAttributeLength));
  return std::string(text.substr(0, end));
}

TLYAttributeDictionary::TLYAttributeDictionary()
    : rawDictionary_(platform::Value::mutableDictionary()) {}

TLYAttributeDictionary::TLYAttributeDictionary(const platform::Value& dictionary)
    : TLYAttributeDictionary() {
  if (!dictionary.isDictionary()) return;
  for (const auto& [key, value] : dictionary.pairs()) addAttribute(value, key);
}

platform::Value TLYAttributeDictionary::truncatedKey(const platform::Value& key) const {
  if (!key.isString()) return key;
  return platform::Value(truncatedString(key.stringView()));
}

void TLYAttributeDictionary::addAttribute(const platform::Value& value,
                                          const platform::Value& key) {
  if (key.isNone() || value.isNone()) return;
  if (rawDictionary_.count() >= kTLYMaximumAttributeCount) {
    BCNConsoleLog("[Tally] Maximum number of Event attributes exceeded. Ignoring entry %@:%@", key,
                  value);
    return;
  }
  if (!key.isString()) {
    BCNConsoleLog("[Tally] Event attribute keys must be of type NSString. Ignoring entry %@:%@",
                  key, value);
    return;
  }
  if (!value.isString() && !value.isNumber()) {
    BCNConsoleLog(
        "[Tally] Event attribute values must be of type NSString or NSNumber. Ignoring entry %@:%@",
        key, value);
    return;
  }
  platform::Value converted;
  if (value.isString()) {
    converted = platform::Value(truncatedString(value.stringView()));
  } else if (!isNaN(value)) {
    converted = value;
  }
  platform::Value storedKey = truncatedKey(key);
  if (converted.isNone()) {
    rawDictionary_.remove(storedKey);
  } else {
    rawDictionary_.set(storedKey, converted);
  }
}

void TLYAttributeDictionary::addBooleanAttribute(std::optional<bool> value,
                                                 const platform::Value& key) {
  if (!value) return;
  addAttribute(platform::Value(*value ? "true" : "false"), truncatedKey(key));
}

void TLYAttributeDictionary::addPriceAttribute(const std::optional<TLYDecimal>& price,
                                               const platform::Value& key) {
  if (!price) return;
  static const TLYDecimal limit = TLYDecimal::greatestFiniteMagnitude().dividingByPowerOf10(6);
  if (*price > limit) {
    BCNConsoleLog(
        "[Tally] Maximum value for a price attribute exceeded. Ignoring price attribute with "
        "value: %@",
        *price);
    return;
  }
  addAttribute(price->multiplyingByPowerOf10(6).toValue(), key);
}

}  // namespace sdk
