// HelperLog: every line of the helper goes at Info level, asynchronously,
// through the log dispatcher to the rolling file logger and the in-memory
// logger. Secrets must never be passed here; log kRedacted in place of any
// value that might hold one.
//
// Thread safety: any thread.
#pragma once

#include <string>

#include "logging/log.h"

namespace helper {

template <class... Args>
void HelperLog(const char* format, const Args&... args) {
  logging::LKLog::log(true, logging::LKLogLevelAll, logging::LKLogFlagInfo, 0, __FILE__, "helper",
                      0, platform::Value(), format, args...);
}

// The text logged in place of a secret.
inline constexpr const char* kRedacted = "<redacted>";

}  // namespace helper
