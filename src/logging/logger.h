// The two roles every logger and formatter plays with the log dispatcher.
//
// LKLogger: receives records on its own serial queue (one call at a time)
// from the dispatcher (LKLog). Only `logMessage`, `logFormatter` and
// `setLogFormatter` are required; the other hooks default to doing nothing.
//
// LKLogFormatter: turns a record into the text a logger writes, or drops it
// (std::nullopt). A formatter may be shared by several loggers whose queues
// run in parallel, so `formatLogMessage` must be safe to call concurrently
// unless the formatter says otherwise; `clone` hands out an independent copy
// so that each logger may own its own.
//
// Thread safety: see each hook; the dispatcher calls them on the logger's queue.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logging/log_message.h"
#include "platform/dispatch/dispatch.h"

namespace logging {

class LKLogger;

class LKLogFormatter {
 public:
  virtual ~LKLogFormatter() = default;
  // The text to write for `message`, or std::nullopt to drop the record.
  virtual std::optional<std::string> formatLogMessage(const LKLogMessage& message) = 0;
  // Called on the logger's queue when the formatter is set on, or replaced
  // on, a logger.
  virtual void didAddToLogger(LKLogger& /*logger*/) {}
  virtual void willRemoveFromLogger(LKLogger& /*logger*/) {}
  // An independent formatter with the same settings; nullptr when the
  // formatter cannot be copied.
  virtual std::shared_ptr<LKLogFormatter> clone() const { return nullptr; }
};

using LKLogFormatterPtr = std::shared_ptr<LKLogFormatter>;

class LKLogger : public std::enable_shared_from_this<LKLogger> {
 public:
  virtual ~LKLogger() = default;

  // Called on the logger's queue for each record whose flag the logger's
  // level contains, in the order the records were queued. What it throws is
  // caught by the dispatcher and reported through LKLog's error handler.
  virtual void logMessage(const LKLogMessagePtr& message) = 0;
  // Loggers that answer yes get the records of one delivery in one call to
  // `logMessages` (in order; what it throws loses the rest of that call),
  // so they can write them together.
  virtual bool acceptsBatches() const { return false; }
  virtual void logMessages(const std::vector<LKLogMessagePtr>& messages) {
    for (const auto& m : messages) logMessage(m);
  }
  virtual LKLogFormatterPtr logFormatter() = 0;
  virtual void setLogFormatter(LKLogFormatterPtr formatter) = 0;

  // Optional hooks, called on the logger's queue.
  virtual void didAddLogger() {}
  virtual void willRemoveLogger() {}
  // Whether `flush` does anything; the dispatcher skips loggers that answer no.
  virtual bool implementsFlush() const { return false; }
  virtual void flush() {}
  // The queue to call the logger on; nullptr lets the dispatcher make one.
  virtual platform::dispatch::QueuePtr loggerQueue() const { return nullptr; }
  // The logger's name (its queue label); empty when it has none.
  virtual std::string loggerName() const { return {}; }
};

using LKLoggerPtr = std::shared_ptr<LKLogger>;

}  // namespace logging
