#include "codecs/json_property_mapper.h"

#include <charconv>
#include <cstdint>

namespace codecs {

using platform::Value;

std::optional<platform::Date> JSONDateFormatter::dateFromString(std::string_view text) const {
  platform::Date d;
  if (!platform::parseDate(text, pattern, &d, utc)) return std::nullopt;
  return d;
}

Value parseDecimalNumber(std::string_view text) {
  std::string_view s = text;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !((s[0] >= '0' && s[0] <= '9') || s[0] == '.')) return Value();
  const char* first = s.data();
  const char* last = s.data() + s.size();
  std::uint64_t u = 0;
  auto ri = std::from_chars(first, last, u);
  if (ri.ec == std::errc() && ri.ptr == last) {
    if (!negative) {
      return u <= static_cast<std::uint64_t>(INT64_MAX) ? Value(static_cast<std::int64_t>(u))
                                                        : Value(u);
    }
    if (u <= static_cast<std::uint64_t>(INT64_MAX)) return Value(-static_cast<std::int64_t>(u));
    if (u == static_cast<std::uint64_t>(INT64_MAX) + 1) return Value(INT64_MIN);
  }
  double d = 0;
  auto rd = std::from_chars(first, last, d);
  if (rd.ec != std::errc() || rd.ptr != last) return Value();
  return Value(negative ? -d : d);
}

namespace {

bool isNumericScalar(char code) {
  switch (code) {
    case 'I':
    case 'L':
    case 'Q':
    case 'S':
    case 'd':
    case 'f':
    case 'i':
    case 'l':
    case 'q':
    case 's':
      return true;
    default:
      return false;
  }
}

std::string_view objectClass(std::string_view encoding) {
  // "@\"NSString\"" -> NSString; "@" -> "".
  if (encoding.size() < 3 || encoding[0] != '@' || encoding[1] != '"') return {};
  encoding.remove_prefix(2);
  const auto quote = encoding.find('"');
  return encoding.substr(0, quote);
}

// The boolean meaning of a string: leading blanks skipped, then "Y", "y",
// "T", "t" or a digit 1-9 is true ("YES", "true", "1"); anything else false.
bool stringBoolean(const std::string& s) {
  for (char c : s) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (c == '+' || c == '-' || c == '0') continue;  // "+1", "-1", "01" as numbers would
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
  }
  return false;
}

// The value to set for property `p`, or None to leave the property unchanged.
Value convert(const PropertyDescriptor& p, const Value& value, const JSONDateFormatter* formatter) {
  const std::string& encoding = p.typeEncoding;
  const char code = encoding.empty() ? 0 : encoding[0];
  const bool scalar = code != 0 && code != '@';
  if (scalar && value.isNull()) return Value();
  if (scalar && value.isString() && value.asString().empty()) return Value();
  if (code == 'B') {
    if (value.isString()) return Value(stringBoolean(value.asString()));
    return value;
  }
  if (isNumericScalar(code)) {
    if (value.isString()) return parseDecimalNumber(value.asString());
    return value;
  }
  if (code == 'c' || code == 'C') {
    if (value.isString()) {
      const auto first = static_cast<std::int8_t>(value.asString()[0]);
      return Value(static_cast<std::int64_t>(first));
    }
    return value;
  }
  if (code == '@') {
    const std::string_view cls = objectClass(encoding);
    if (cls == "NSString" || cls == "NSMutableString") {
      if (value.isNumber()) return Value(value.description());
      return value;
    }
    if (cls == "NSNumber" || cls == "NSDecimalNumber") {
      if (value.isString()) return parseDecimalNumber(value.asString());
      return value;
    }
    if (cls == "NSDate" && formatter != nullptr) {
      if (value.isString()) {
        std::optional<platform::Date> d = formatter->dateFromString(value.asString());
        return d ? Value(*d) : Value();
      }
      return value;
    }
  }
  return value;
}

}  // namespace

void setValuesForKeysWithJSONDictionary(PropertyObject& object, const Value& dictionary,
                                        const JSONDateFormatter* dateFormatter) {
  if (!dictionary.isDictionary()) return;
  for (const PropertyTable* t = &object.propertyTable(); t != nullptr; t = t->superclass()) {
    for (const PropertyDescriptor& p : t->properties()) {
      Value value = dictionary[p.name];
      if (value.isNone() && !p.ivarName.empty()) value = dictionary[p.ivarName];
      if (value.isNone() || !p.setter) continue;
      Value converted = convert(p, value, dateFormatter);
      if (converted.isNone()) continue;
      p.setter(object, converted);
    }
  }
}

}  // namespace codecs
