#include "sdk/analytics/tly_crash_event.h"

namespace sdk {

TLYCrashEvent::TLYCrashEvent(platform::Date crashTimestamp, std::uint64_t crashState)
    : crashTimestamp_(crashTimestamp), crashState_(crashState) {}

platform::Value TLYCrashEvent::dictionaryRepresentation() const {
  const char* state = "unknown";
  if (crashState_ == kTLYCrashStateForeground) state = "foreground";
  if (crashState_ == kTLYCrashStateBackground) state = "background";
  return platform::Value::dictionary(
      {{kTLYEventIdKey, platform::Value(identifier())}, {"crash_state", platform::Value(state)}});
}

}  // namespace sdk
