// The JSON-to-property mapper: copies the entries of a decoded JSON
// dictionary onto an object's declared properties (its PropertyTable chain),
// converting strings and numbers to the type each property declares.
//
// Guarantees:
//  1. Every class of the chain is visited from the object's own class up to
//     the root; each property is looked up under its name, else under its
//     backing-field name, and set under its name. Keys that match no property
//     are ignored; read-only properties are skipped.
//  2. Numbers in strings are parsed in the C locale, never the user's; a
//     string that is not entirely a decimal number leaves the property as it
//     was.
//  3. A boolean property takes a string's boolean meaning ("0", "false",
//     "NO" are false; "1", "true", "YES" are true).
//  4. The null value or an empty string for a scalar property leaves it
//     unchanged.
//
// Thread safety: touches only the given object.
#pragma once

#include <optional>
#include <string>

#include "codecs/property_table.h"
#include "platform/foundation/date.h"
#include "platform/foundation/value.h"

namespace codecs {

// Turns strings into dates for date-typed properties.
struct JSONDateFormatter {
  std::string pattern;  // e.g. "yyyy-MM-dd HH:mm:ss"
  bool utc = true;
  std::optional<platform::Date> dateFromString(std::string_view text) const;
};

void setValuesForKeysWithJSONDictionary(PropertyObject& object, const platform::Value& dictionary,
                                        const JSONDateFormatter* dateFormatter = nullptr);

// A decimal number in the C locale ("42", "-1.5", "2e3"), as an integer
// when it has no fraction or exponent; None when `text` is anything else.
platform::Value parseDecimalNumber(std::string_view text);

}  // namespace codecs
