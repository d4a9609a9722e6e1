// LKAbstractLogger: the base of every concrete logger.
//
// Guarantees:
//  1. The logger owns one serial queue, labelled with its name, made at
//     construction. The dispatcher calls `logMessage` and the other hooks
//     there, so a subclass's state needs no lock of its own as long as it is
//     touched only on that queue (the queue is the logger's lock).
//  2. `setLogFormatter` returns at once; the change passes through the
//     logging queue and then the logger's queue, so it takes effect before
//     any record queued after the call. The old formatter is told
//     `willRemoveFromLogger`, the new one `didAddToLogger`, on the logger's
//     queue.
//  3. `logFormatter` waits for changes queued before it and may be called
//     from any queue, including the logger's own.
//
// Subclasses override `logMessage` and read `formatter_` there; checked
// builds assert (VARNEL_DCHECK) that every access runs on the logger's queue.
//
// Thread safety: public methods may be called from any thread; `formatter_`
// is read and written only on the logger's queue.
#pragma once

#include <string>

#include "logging/logger.h"
#include "platform/dispatch/queue_checker.h"

namespace logging {

class LKAbstractLogger : public LKLogger {
 public:
  // `name` labels the logger's queue and is its `loggerName`.
  explicit LKAbstractLogger(std::string name = "LKAbstractLogger");
  ~LKAbstractLogger() override;

  void logMessage(const LKLogMessagePtr& message) override;  // does nothing
  LKLogFormatterPtr logFormatter() override;
  void setLogFormatter(LKLogFormatterPtr formatter) override;
  platform::dispatch::QueuePtr loggerQueue() const override;
  std::string loggerName() const override { return name_; }

  // True when the calling code runs on the dispatcher's logging queue.
  bool isOnGlobalLoggingQueue() const;
  // True when the calling code runs on this logger's queue.
  bool isOnInternalLoggerQueue() const;
  // Replaces the queue reference (plain; call before the logger is added).
  void setLoggerQueue(platform::dispatch::QueuePtr queue);

 protected:
  // Runs `block` on the logger's queue: at once when already there, else
  // asynchronously through the logging queue and then the logger's queue,
  // so it takes its place after records already queued.
  void runOnLoggerQueue(std::function<void()> block);
  // Runs `block` synchronously on the logger's queue after every change
  // queued before it; safe from the logger's queue and the logging queue.
  void readOnLoggerQueue(const std::function<void()>& block);

  LKLogFormatterPtr formatter_;

 private:
  std::string name_;
  platform::dispatch::QueuePtr queue_;
};

}  // namespace logging
