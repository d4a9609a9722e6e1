#include "codecs/query_string.h"

#include <algorithm>

#include "platform/foundation/format.h"
#include "platform/foundation/url.h"

namespace codecs {

using platform::Value;

namespace {

std::string escape(std::string_view string, platform::StringEncoding encoding,
                   std::string_view alsoAllowed) {
  if (encoding == platform::StringEncoding::UTF8)
    return platform::percentEscape(string, alsoAllowed);
  std::optional<std::string> encoded = platform::encodeString(string, encoding);
  return platform::percentEscape(encoded ? std::string_view(*encoded) : string, alsoAllowed);
}

bool lessCaseInsensitive(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
    return lower(static_cast<unsigned char>(x)) < lower(static_cast<unsigned char>(y));
  });
}

}  // namespace

NKQueryStringPair::NKQueryStringPair(Value field, Value value)
    : field_(std::move(field)), value_(std::move(value)) {}

std::string NKQueryStringPair::URLEncodedStringValueWithEncoding(
    platform::StringEncoding encoding) const {
  std::string key = EscapedQueryKey(field_.description(), encoding);
  if (value_.isNone() || value_.isNull()) return key;
  return key + "=" + EscapedQueryValue(value_.description(), encoding);
}

std::vector<NKQueryStringPair> QueryPairsForKeyAndValue(const Value& key, const Value& value) {
  std::vector<NKQueryStringPair> pairs;
  if (value.isDictionary()) {
    std::vector<std::pair<Value, std::string>> keys;
    for (const Value& k : value.keys()) keys.emplace_back(k, k.description());
    std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
      return lessCaseInsensitive(a.second, b.second);
    });
    for (const auto& [k, text] : keys) {
      Value v = value.get(k);
      if (v.isNone()) continue;
      Value inner = key.isNone() ? k : Value(platform::format("%@[%@]", key, k));
      auto sub = QueryPairsForKeyAndValue(inner, v);
      pairs.insert(pairs.end(), sub.begin(), sub.end());
    }
  } else if (value.isArray()) {
    Value inner(platform::format("%@[]", key));
    for (const Value& e : value.elements()) {
      auto sub = QueryPairsForKeyAndValue(inner, e);
      pairs.insert(pairs.end(), sub.begin(), sub.end());
    }
  } else {
    pairs.emplace_back(key, value);
  }
  return pairs;
}

std::vector<NKQueryStringPair> QueryPairsForDictionary(const Value& dictionary) {
  return QueryPairsForKeyAndValue(Value(), dictionary);
}

std::string QueryStringForParameters(const Value& parameters, platform::StringEncoding encoding) {
  std::string out;
  for (const NKQueryStringPair& pair : QueryPairsForDictionary(parameters)) {
    if (!out.empty()) out.push_back('&');
    out += pair.URLEncodedStringValueWithEncoding(encoding);
  }
  return out;
}

std::string EscapedQueryKey(std::string_view string, platform::StringEncoding encoding) {
  return escape(string, encoding, "[].");
}

std::string EscapedQueryValue(std::string_view string, platform::StringEncoding encoding) {
  return escape(string, encoding, "");
}

}  // namespace codecs
