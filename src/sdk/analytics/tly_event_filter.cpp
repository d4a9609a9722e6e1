#include "sdk/analytics/tly_event_filter.h"

#include <array>

#include "platform/foundation/string_encoding.h"
#include "sdk/analytics/tly_event.h"

namespace sdk {

namespace {

constexpr std::array<std::string_view, 8> kSampledEventNames = {
    "app_launched",           "app_terminated",         "app_crashed",         "app_memory_warning",
    "app_entered_background", "app_entered_foreground", "app_became_inactive", "app_became_active",
};

}  // namespace

bool TLYEventFilter::shouldDiscardEvent(const std::shared_ptr<TLYEvent>& event,
                                        const std::optional<std::string>& betaToken,
                                        const std::optional<std::string>& installationID,
                                        std::int64_t factor) const {
  if (!event) return true;
  if (betaToken) return false;
  if (!samplingEnabledForEventType(event->name())) return false;
  return shouldDiscardEventWithInstallationID(installationID, factor);
}

bool TLYEventFilter::samplingEnabledForEventType(std::string_view name) const {
  for (std::string_view sampled : kSampledEventNames) {
    if (sampled == name) return true;
  }
  return false;
}

bool TLYEventFilter::shouldDiscardEventWithInstallationID(
    const std::optional<std::string>& installationID, std::int64_t factor) const {
  if (!installationID || factor < 2) return false;
  const std::int64_t hash = javaHashCodeForString(*installationID);
  return hash % factor != 0;
}

std::int32_t TLYEventFilter::javaHashCodeForString(std::string_view text) {
  std::uint32_t h = 0;
  auto utf16 = platform::encodeString(text, platform::StringEncoding::UTF16BE);
  if (utf16) {
    const std::string& units = *utf16;
    for (std::size_t i = 0; i + 1 < units.size(); i += 2) {
      const std::uint32_t c =
          (static_cast<std::uint32_t>(static_cast<unsigned char>(units[i])) << 8) |
          static_cast<unsigned char>(units[i + 1]);
      h = h * 31u + c;
    }
  } else {
    // Not valid UTF-8: each byte counts as one unit.
    for (unsigned char c : text) h = h * 31u + c;
  }
  return static_cast<std::int32_t>(h);
}

}  // namespace sdk
