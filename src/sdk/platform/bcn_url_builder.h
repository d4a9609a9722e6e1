// BCNURLBuilder: assembles an endpoint URL from a base, path pieces (the
// caller supplies the slashes) and query parameters with percent-escaping.
//
// Escaping (escapeString) only escapes what may not stand anywhere in a
// URL: controls, the space, '"', '%', '<', '>', '\\', '^', '`', '{', '|',
// '}' and every non-ASCII byte (of the UTF-8 text); reserved characters
// such as '/', '?', '&', '=', '+' and ':' pass unchanged.
//
// Thread safety: one object, one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace sdk {

class BCNURLBuilder {
 public:
  static BCNURLBuilder URLWithBase(std::string_view base);
  BCNURLBuilder() = default;

  const std::string& URLString() const { return URLString_; }
  std::uint64_t queryParams() const { return queryParams_; }

  // Appends `component` unchanged.
  void appendComponent(std::string_view component);
  static std::string escapeString(std::string_view text);
  void escapeAndAppendComponent(std::string_view component);
  // Nothing for a None value. Otherwise "?" (first) or "&", the name as it
  // is, "=", and the escaped value: a string as it is, anything else its
  // description (a number its decimal form).
  void appendValue(const platform::Value& value, std::string_view name);
  // nullopt when URLString() is no valid URL.
  std::optional<platform::URL> URL() const;

 private:
  std::string URLString_;
  std::uint64_t queryParams_ = 0;
};

}  // namespace sdk
