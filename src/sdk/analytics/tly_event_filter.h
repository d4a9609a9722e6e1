// TLYEventFilter: the sampling rule of the analytics kit.
//
// Only the application lifecycle events ("app_launched", "app_terminated",
// "app_crashed", "app_memory_warning", "app_entered_background",
// "app_entered_foreground", "app_became_inactive", "app_became_active") are
// sampled. With a sampling factor f >= 2, an installation keeps them when the
// Java-style hash of its installation identifier is divisible by f (signed
// remainder), so all sampled events of one installation are kept or dropped
// together. Events of a beta tester (a beta token is present) are never
// discarded, nor is anything when the installation identifier is missing.
//
// Thread safety: stateless; every member may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sdk {

class TLYEvent;

class TLYEventFilter {
 public:
  TLYEventFilter() = default;

  // A missing event is discarded; with a beta token nothing is; a sampled
  // event type is discarded by the installation rule; anything else is kept.
  bool shouldDiscardEvent(const std::shared_ptr<TLYEvent>& event,
                          const std::optional<std::string>& betaToken,
                          const std::optional<std::string>& installationID,
                          std::int64_t factor) const;
  // Membership of `name` in the set of sampled event names.
  bool samplingEnabledForEventType(std::string_view name) const;
  // Keep (false) without an identifier or with a factor below 2; otherwise
  // discard when hash(identifier) % factor != 0 (truncating remainder of the
  // hash widened to 64 bits).
  bool shouldDiscardEventWithInstallationID(const std::optional<std::string>& installationID,
                                            std::int64_t factor) const;
  // h = h * 31 + c over the UTF-16 code units of `text`, wrapping in 32 bits,
  // read as signed.
  static std::int32_t javaHashCodeForString(std::string_view text);
};

}  // namespace sdk
