// TLYLogger: the analytics kit's console logger.
//
// Every line it writes carries the tag "[Tally] " (log) or "[Tally:<label>] "
// (logWithLabel) and goes to the SDK console (sdk/platform/bcn_console.h).
// It writes only while debugMode() is set; the kit sets it once at start
// from the kit registry's debug switch. With debug mode off nothing is
// formatted and nothing reaches the console.
//
// Thread safety: one process-wide instance; every member may be called from
// any thread (the switch is an atomic).
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "platform/foundation/format.h"

namespace sdk {

class TLYLogger {
 public:
  // The one instance, made once.
  static TLYLogger& sharedLogger();

  bool debugMode() const { return debugMode_.load(std::memory_order_relaxed); }
  void setDebugMode(bool debugMode) { debugMode_.store(debugMode, std::memory_order_relaxed); }

  // "[Tally] " and the formatted message, in debug mode only.
  template <class... Args>
  void log(std::string_view fmt, const Args&... args) {
    if (!debugMode()) return;
    internalLog(std::string("[Tally] ") + platform::format(fmt, args...));
  }
  // "[Tally:<label>] " and the formatted message, in debug mode only.
  template <class... Args>
  void logWithLabel(std::string_view label, std::string_view fmt, const Args&... args) {
    if (!debugMode()) return;
    internalLog(std::string("[Tally:") + std::string(label) + "] " +
                platform::format(fmt, args...));
  }
  // The common printing step: writes `line` to the console in debug mode.
  void internalLog(const std::string& line);

  TLYLogger(const TLYLogger&) = delete;
  TLYLogger& operator=(const TLYLogger&) = delete;

 private:
  TLYLogger() = default;
  std::atomic<bool> debugMode_{false};
};

}  // namespace sdk
