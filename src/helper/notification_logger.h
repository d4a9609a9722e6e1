// LKNotificationLogger: the helper's in-memory log. It receives every line
// the helper logs, stamps it "yyyy-mm-dd hh:mm:ss:mmm" (local time) and
// appends it to a buffer that PopBuffer hands over and empties.
//
// Guarantees: the append and the take-and-empty are each one step under one
// lock, so every line is handed over exactly once, in order. The buffer
// holds at most about kMaxBufferBytes: when a client stops asking, the
// oldest whole lines are dropped (the oldest half at a time), and the next
// PopBuffer starts with a stamped line that says how many were dropped.
//
// Thread safety: logMessage runs on the logger's queue; PopBuffer may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "logging/abstract_logger.h"
#include "platform/foundation/date.h"

namespace helper {

class LKNotificationLogger : public logging::LKAbstractLogger {
 public:
  static constexpr std::size_t kMaxBufferBytes = 1 << 20;
  explicit LKNotificationLogger(std::size_t maxBufferBytes);
  LKNotificationLogger();
  void logMessage(const logging::LKLogMessagePtr& message) override;
  // The text collected since the previous call (nullopt before the first
  // line ever); the buffer is then empty.
  std::optional<std::string> PopBuffer();

  // The stamp of a time: "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d".
  static std::string stamp(platform::Date date);

 private:
  std::mutex mutex_;
  std::optional<std::string> buffer_;
  std::size_t maxBufferBytes_ = kMaxBufferBytes;
  std::uint64_t dropped_ = 0;  // lines dropped since the last PopBuffer
};

}  // namespace helper
