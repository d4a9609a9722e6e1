// sdk::TLYSettings: the analytics kit's read-only view of the SDK settings
// dictionary that the platform downloads ("settings.json"). Every tuning value
// has a fixed default that is answered when the dictionary, its section or
// the key is missing.
//
// Values are looked up each time they are asked for. A JSON number, a JSON
// boolean or a numeric text converts to the boolean, integer or real asked
// for (booleans also accept "true"/"false"/"yes"/"no"); a value of any other
// kind (null, an object, an array, text that is no number, for the URL text
// that is no absolute http(s) URL) counts as missing and gives the default.
//
// Thread safety: immutable; every member may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace sdk {

// The default events endpoint (the host is a deployment value).
inline constexpr const char* TLYDefaultEventsURL = "https://e.beacon.io/spi/v2/events";

class TLYSettings {
 public:
  // `settingsDictionary` is the whole settings dictionary, or None.
  explicit TLYSettings(platform::Value settingsDictionary = {});
  static std::shared_ptr<TLYSettings> initWithDictionary(platform::Value settingsDictionary) {
    return std::make_shared<TLYSettings>(std::move(settingsDictionary));
  }

  const platform::Value& settingsDictionary() const { return settingsDictionary_; }
  // True exactly when a settings dictionary is present.
  bool valid() const { return settingsDictionary_.isDictionary(); }
  bool isValid() const { return valid(); }

  // "analytics"/"url"; default TLYDefaultEventsURL.
  platform::URL tallyURL() const;
  // "analytics"/"url" only when the settings give an absolute http(s) URL
  // there; std::nullopt when the key is missing or holds anything else (a
  // number, text that is no such URL). The controller decides what stands
  // in for it (TLYTallyController::eventsURL).
  std::optional<platform::URL> givenTallyURL() const;
  // The key is present but holds no usable URL (a value of the wrong type).
  bool hasMalformedTallyURL() const;
  // "features"/"collect_analytics"; default true.
  bool shouldCollectAnalytics() const;
  // "analytics"/"track_custom_events"; default true.
  bool shouldCollectCustomEvents() const;
  // "analytics"/"track_predefined_events"; default true.
  bool shouldCollectPredefinedEvents() const;
  // "analytics"/"max_byte_size_per_file" (bytes); default 8000.
  std::int64_t maximumPayloadSize() const;
  // "analytics"/"max_pending_send_file_count"; default 100.
  std::int64_t maxPendingSendFiles() const;
  // "analytics"/"flush_interval_secs" (seconds); default 0.
  double flushInterval() const;
  // "analytics"/"sampling_rate"; default 1.
  std::int64_t samplingRate() const;
  // "analytics"/"upload_timeout_secs" (seconds); default 21600.
  double defaultUploadTimeout() const;
  // "analytics"/"low_power_upload_timeout_secs" (seconds); default 3600.
  double lowPowerUploadTimeout() const;

 private:
  platform::Value valueAt(const char* section, const char* key) const;
  bool boolAt(const char* section, const char* key, bool fallback) const;
  std::int64_t integerAt(const char* section, const char* key, std::int64_t fallback) const;
  double realAt(const char* section, const char* key, double fallback) const;

  const platform::Value settingsDictionary_;
};

}  // namespace sdk
