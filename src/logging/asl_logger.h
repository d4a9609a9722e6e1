// LKASLLogger: sends each record to the system log (LKSystemLog::shared()),
// and LKASLLogCapture: feeds the messages this process writes to the system
// log back into the dispatcher as records.
//
// The logger maps the record's flag to a system-log level (Error "2",
// Warning "3", Info "4", anything else "5") and marks its messages
// "LKLog" = "1", so the capture never takes them back; the capture's records
// carry the file "LKASLLogCapture", so the logger never sends them again.
//
// Capture keeps only messages of this process, of levels 0 to 7, not marked
// by the logger, and of a flag within the capture level (all five flags at
// start). System-log levels 0 to 2 become synchronous Error records, 3
// Warning, 4 Info, 5 Debug, 6 and 7 Verbose (asynchronous).
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "logging/abstract_logger.h"
#include "logging/system_log.h"

namespace logging {

inline constexpr const char* kLKASLLoggerName = "logkit.aslLogger";
inline constexpr const char* kLKASLLogCaptureFile = "LKASLLogCapture";

class LKASLLogger : public LKAbstractLogger {
 public:
  static std::shared_ptr<LKASLLogger> sharedInstance();
  void logMessage(const LKLogMessagePtr& message) override;

  LKASLLogger(const LKASLLogger&) = delete;
  LKASLLogger& operator=(const LKASLLogger&) = delete;

 private:
  LKASLLogger();
  friend std::shared_ptr<LKASLLogger> makeASLLogger();
};

class LKASLLogCapture {
 public:
  // Starts capturing (once until stop); false when the system log cannot be
  // read back on this system.
  static bool start();
  static void stop();
  static std::uint64_t captureLevel();
  static void setCaptureLevel(std::uint64_t level);

  // One message of the system log; public so the capture can be driven by
  // hand.
  static void aslMessageReceived(const LKSystemLogEntry& entry);
};

}  // namespace logging
