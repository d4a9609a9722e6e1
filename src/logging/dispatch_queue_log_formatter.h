// LKDispatchQueueLogFormatter: "<time> [<queue or thread>] <message>".
//
// The name in brackets is the label of the queue the record was made on,
// except for the global queues, where (as for a record made outside any
// queue) the thread's own name is used, else its id. A label or thread name
// with a replacement ("com.apple.main-thread" -> "main" at start) shows the
// replacement. The name is cut to `maxQueueLength` characters or padded
// with blanks to `minQueueLength` (0: no limit).
//
// Thread safety: every member may be called from any thread; the formatter
// may be shared by several loggers.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "logging/logger.h"

namespace logging {

class LKDispatchQueueLogFormatter : public LKLogFormatter {
 public:
  LKDispatchQueueLogFormatter();

  std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;
  std::shared_ptr<LKLogFormatter> clone() const override;
  void didAddToLogger(LKLogger& logger) override;
  void willRemoveFromLogger(LKLogger& logger) override;

  // "yyyy-MM-dd HH:mm:ss:SSS", local time.
  std::string stringFromDate(platform::Date date) const;
  std::string queueThreadLabelForLogMessage(const LKLogMessage& message) const;

  std::optional<std::string> replacementStringForQueueLabel(const std::string& label) const;
  // nullopt removes the replacement.
  void setReplacementString(std::optional<std::string> replacement, const std::string& label);

  std::uint64_t minQueueLength() const { return minQueueLength_.load(); }
  void setMinQueueLength(std::uint64_t n) { minQueueLength_.store(n); }
  std::uint64_t maxQueueLength() const { return maxQueueLength_.load(); }
  void setMaxQueueLength(std::uint64_t n) { maxQueueLength_.store(n); }
  // How many loggers use the formatter.
  int loggerCount() const { return loggerCount_.load(); }

 private:
  std::string dateFormatString_ = "yyyy-MM-dd HH:mm:ss:SSS";
  std::atomic<int> loggerCount_{0};
  std::atomic<std::uint64_t> minQueueLength_{0}, maxQueueLength_{0};
  mutable std::mutex mutex_;
  std::map<std::string, std::string> replacements_;  // under mutex_
  std::set<std::string> globalLabels_;
};

}  // namespace logging
