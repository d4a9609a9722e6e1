#include "sdk/analytics/tly_settings.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

namespace sdk {
namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// The whole text as a decimal number (leading/trailing blanks allowed).
std::optional<double> numericText(std::string_view text) {
  std::string_view s = trimmed(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  double d = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(d)) return std::nullopt;
  return d;
}

std::optional<std::int64_t> integerText(std::string_view text) {
  std::string_view s = trimmed(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec == std::errc() && end == s.data() + s.size()) return n;
  return std::nullopt;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

TLYSettings::TLYSettings(platform::Value settingsDictionary)
    : settingsDictionary_(std::move(settingsDictionary)) {}

platform::Value TLYSettings::valueAt(const char* section, const char* key) const {
  if (!settingsDictionary_.isDictionary()) return {};
  const platform::Value sectionValue = settingsDictionary_[section];
  if (!sectionValue.isDictionary()) return {};
  return sectionValue[key];
}

bool TLYSettings::boolAt(const char* section, const char* key, bool fallback) const {
  const platform::Value v = valueAt(section, key);
  if (v.isNumber()) return v.asBool();
  if (!v.isString()) return fallback;
  const std::string_view s = trimmed(v.stringView());
  if (equalsIgnoringCase(s, "true") || equalsIgnoringCase(s, "yes")) return true;
  if (equalsIgnoringCase(s, "false") || equalsIgnoringCase(s, "no")) return false;
  if (const auto d = numericText(s)) return *d != 0;
  return fallback;
}

std::int64_t TLYSettings::integerAt(const char* section, const char* key,
                                    std::int64_t fallback) const {
  const platform::Value v = valueAt(section, key);
  if (v.isNumber()) return v.asInt64();
  if (!v.isString()) return fallback;
  if (const auto n = integerText(v.stringView())) return *n;
  // A real in text ("8000.0") is taken like a JSON real: truncated.
  if (const auto d = numericText(v.stringView())) return platform::Value(*d).asInt64();
  return fallback;
}

double TLYSettings::realAt(const char* section, const char* key, double fallback) const {
  const platform::Value v = valueAt(section, key);
  if (v.isNumber()) return v.asDouble();
  if (!v.isString()) return fallback;
  if (const auto d = numericText(v.stringView())) return *d;
  return fallback;
}

std::optional<platform::URL> TLYSettings::givenTallyURL() const {
  const platform::Value v = valueAt("analytics", "url");
  if (!v.isString()) return std::nullopt;
  platform::URL url(v.stringView());
  if (url.isValid() && (url.scheme() == "https" || url.scheme() == "http") && !url.host().empty())
    return url;
  return std::nullopt;
}

bool TLYSettings::hasMalformedTallyURL() const {
  return !valueAt("analytics", "url").isNone() && !givenTallyURL();
}

platform::URL TLYSettings::tallyURL() const {
  return givenTallyURL().value_or(platform::URL(TLYDefaultEventsURL));
}

bool TLYSettings::shouldCollectAnalytics() const {
  return boolAt("features", "collect_analytics", true);
}

bool TLYSettings::shouldCollectCustomEvents() const {
  return boolAt("analytics", "track_custom_events", true);
}

bool TLYSettings::shouldCollectPredefinedEvents() const {
  return boolAt("analytics", "track_predefined_events", true);
}

std::int64_t TLYSettings::maximumPayloadSize() const {
  return integerAt("analytics", "max_byte_size_per_file", 8000);
}

std::int64_t TLYSettings::maxPendingSendFiles() const {
  return integerAt("analytics", "max_pending_send_file_count", 100);
}

double TLYSettings::flushInterval() const { return realAt("analytics", "flush_interval_secs", 0); }

std::int64_t TLYSettings::samplingRate() const {
  return integerAt("analytics", "sampling_rate", 1);
}

double TLYSettings::defaultUploadTimeout() const {
  return realAt("analytics", "upload_timeout_secs", 21600);
}

double TLYSettings::lowPowerUploadTimeout() const {
  return realAt("analytics", "low_power_upload_timeout_secs", 3600);
}

}  // namespace sdk
