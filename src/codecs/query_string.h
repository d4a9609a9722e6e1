// Query-string encoding: flattens a parameters dictionary (nested
// dictionaries and arrays allowed) into ordered field/value pairs and renders
// them as a percent-escaped application/x-www-form-urlencoded string.
//
// Guarantees:
//  1. Dictionary keys are visited in ascending order of their description,
//     compared case-insensitively (ties keep the dictionary's order); array
//     elements in array order. Empty collections contribute no pair.
//  2. Space becomes %20 (never "+"), "%" becomes %25; keys keep "[" and "]"
//     unescaped, values escape everything but letters, digits and "-_.~".
//  3. Text that the chosen encoding cannot represent is escaped from its
//     UTF-8 bytes instead, so no character is dropped.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/string_encoding.h"
#include "platform/foundation/value.h"

namespace codecs {

class NKQueryStringPair {
 public:
  NKQueryStringPair(platform::Value field, platform::Value value);
  const platform::Value& field() const { return field_; }
  const platform::Value& value() const { return value_; }
  // "key=value" escaped; the key alone when the value is None or null.
  std::string URLEncodedStringValueWithEncoding(platform::StringEncoding encoding) const;

 private:
  platform::Value field_;
  platform::Value value_;
};

// `key` None means the top level.
std::vector<NKQueryStringPair> QueryPairsForKeyAndValue(const platform::Value& key,
                                                        const platform::Value& value);
std::vector<NKQueryStringPair> QueryPairsForDictionary(const platform::Value& dictionary);
std::string QueryStringForParameters(const platform::Value& parameters,
                                     platform::StringEncoding encoding);

std::string EscapedQueryKey(std::string_view string, platform::StringEncoding encoding);
std::string EscapedQueryValue(std::string_view string, platform::StringEncoding encoding);

}  // namespace codecs
