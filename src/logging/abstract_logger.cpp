#include "logging/abstract_logger.h"

#include "logging/log.h"
#include "logging/log_internal.h"

namespace logging {

namespace dispatch = platform::dispatch;

LKAbstractLogger::LKAbstractLogger(std::string name)
    : name_(std::move(name)), queue_(dispatch::Queue::createSerial(name_)) {
  // Key and value are the logger itself; the value does not own it.
  queue_->setSpecific(this, std::shared_ptr<void>(static_cast<void*>(this), [](void*) {}));
}

LKAbstractLogger::~LKAbstractLogger() {
  if (queue_) queue_->setSpecific(this, nullptr);
}

void LKAbstractLogger::logMessage(const LKLogMessagePtr&) {}

dispatch::QueuePtr LKAbstractLogger::loggerQueue() const { return queue_; }

void LKAbstractLogger::setLoggerQueue(dispatch::QueuePtr queue) { queue_ = std::move(queue); }

bool LKAbstractLogger::isOnGlobalLoggingQueue() const { return lkIsOnLoggingQueue(); }

bool LKAbstractLogger::isOnInternalLoggerQueue() const {
  return dispatch::Queue::currentSpecific(this) != nullptr || (queue_ && queue_->isCurrent());
}

void LKAbstractLogger::runOnLoggerQueue(std::function<void()> block) {
  if (isOnInternalLoggerQueue()) {
    block();
    return;
  }
  // The change keeps the logger alive until it has run (when the logger is
  // owned by a shared_ptr at all).
  std::shared_ptr<LKLogger> self = weak_from_this().lock();
  dispatch::QueuePtr queue = queue_;
  lkSubmitToLoggingQueue([queue, self, block = std::move(block)]() mutable {
    queue->async([self, block = std::move(block)] { block(); });
  });
}

void LKAbstractLogger::readOnLoggerQueue(const std::function<void()>& block) {
  if (isOnInternalLoggerQueue()) {
    block();
  } else if (lkIsOnLoggingQueue() || lkIsInsideLogging()) {
    queue_->sync(block);
  } else {
    LKLog::loggingQueue()->sync([&] {
      lkDrainPendingHere();
      queue_->sync(block);
    });
  }
}

LKLogFormatterPtr LKAbstractLogger::logFormatter() {
  LKLogFormatterPtr result;
  readOnLoggerQueue([&] {
    VARNEL_DCHECK(isOnInternalLoggerQueue());
    result = formatter_;
  });
  return result;
}

void LKAbstractLogger::setLogFormatter(LKLogFormatterPtr formatter) {
  runOnLoggerQueue([this, formatter = std::move(formatter)] {
    VARNEL_DCHECK(isOnInternalLoggerQueue());
    if (formatter == formatter_) return;
    if (formatter_) formatter_->willRemoveFromLogger(*this);
    formatter_ = formatter;
    if (formatter_) formatter_->didAddToLogger(*this);
  });
}

}  // namespace logging
