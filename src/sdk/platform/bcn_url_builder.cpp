#include "sdk/platform/bcn_url_builder.h"

namespace sdk {

BCNURLBuilder BCNURLBuilder::URLWithBase(std::string_view base) {
  BCNURLBuilder builder;
  builder.URLString_ = std::string(base);
  return builder;
}

void BCNURLBuilder::appendComponent(std::string_view component) { URLString_ += component; }

std::string BCNURLBuilder::escapeString(std::string_view text) {
  // Unreserved characters pass anyway; the reserved ones may stand in a URL
  // too, so only what is illegal everywhere is escaped.
  return platform::percentEscape(text, ":/?#[]@!$&'()*+,;=");
}

void BCNURLBuilder::escapeAndAppendComponent(std::string_view component) {
  URLString_ += escapeString(component);
}

void BCNURLBuilder::appendValue(const platform::Value& value, std::string_view name) {
  if (value.isNone()) return;
  URLString_ += queryParams_ == 0 ? "?" : "&";
  ++queryParams_;
  URLString_ += name;
  URLString_ += "=";
  URLString_ += escapeString(value.isString() ? value.asString() : value.description());
}

std::optional<platform::URL> BCNURLBuilder::URL() const {
  platform::URL url(URLString_);
  if (!url.isValid()) return std::nullopt;
  return url;
}

}  // namespace sdk
