// TLYCrashEvent: the report that the previous run crashed. Name
// "app_crashed"; payload "eventId" and "crash_state" ("foreground" for
// state 1, "background" for 2, "unknown" for anything else). Its time is the
// crash time given at construction, not its creation time.
//
// Thread safety: as TLYEvent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sdk/analytics/tly_event.h"

namespace sdk {

inline constexpr const char* kTLYAppCrashedEventName = "app_crashed";
inline constexpr std::uint64_t kTLYCrashStateForeground = 1;
inline constexpr std::uint64_t kTLYCrashStateBackground = 2;

class TLYCrashEvent : public TLYEvent {
 public:
  using Ptr = std::shared_ptr<TLYCrashEvent>;

  TLYCrashEvent(platform::Date crashTimestamp, std::uint64_t crashState);
  static Ptr initWithTimestamp(platform::Date crashTimestamp, std::uint64_t crashState) {
    return std::make_shared<TLYCrashEvent>(crashTimestamp, crashState);
  }

  std::string name() const override { return kTLYAppCrashedEventName; }
  platform::Value dictionaryRepresentation() const override;
  platform::Date timestamp() const override { return crashTimestamp_; }
  std::string className() const override { return "TLYCrashEvent"; }

  platform::Date crashTimestamp() const { return crashTimestamp_; }
  std::uint64_t crashState() const { return crashState_; }

 private:
  const platform::Date crashTimestamp_;
  const std::uint64_t crashState_;
};

}  // namespace sdk
