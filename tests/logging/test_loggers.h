// Loggers shared by the logging tests: a collecting logger and a gate that
// holds a logger until the test lets it go.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "logging/abstract_logger.h"
#include "logging/log.h"
#include "support/wait.h"

namespace logging::testing {

// Collects every text it receives (the formatter's output when one is set).
class CollectingLogger : public LKAbstractLogger {
 public:
  explicit CollectingLogger(std::string name = "test.collector")
      : LKAbstractLogger(std::move(name)) {}

  void logMessage(const LKLogMessagePtr& message) override {
    std::optional<std::string> text =
        formatter_ ? formatter_->formatLogMessage(*message) : message->message();
    std::lock_guard lock(mutex_);
    records_.push_back(message);
    if (text) texts_.push_back(*text);
    cv_.notify_all();
  }
  bool implementsFlush() const override { return true; }
  void flush() override {
    std::lock_guard lock(mutex_);
    ++flushes_;
  }
  void didAddLogger() override {
    std::lock_guard lock(mutex_);
    ++added_;
  }
  void willRemoveLogger() override {
    std::lock_guard lock(mutex_);
    ++removed_;
  }

  std::vector<std::string> texts() {
    std::lock_guard lock(mutex_);
    return texts_;
  }
  std::vector<LKLogMessagePtr> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return records_.size();
  }
  int flushes() {
    std::lock_guard lock(mutex_);
    return flushes_;
  }
  int added() {
    std::lock_guard lock(mutex_);
    return added_;
  }
  int removed() {
    std::lock_guard lock(mutex_);
    return removed_;
  }
  // Waits (with a safety time-out) until `n` records arrived.
  bool waitFor(std::size_t n, std::chrono::seconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return records_.size() >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<LKLogMessagePtr> records_;
  std::vector<std::string> texts_;
  int flushes_ = 0, added_ = 0, removed_ = 0;
};

// A one-shot gate: `wait` blocks until `open`.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Runs `block` on `logger`'s queue after every change queued for it before
// (changes pass through the logging queue first).
inline void onLoggerQueue(const LKLoggerPtr& logger, const std::function<void()>& block) {
  LKLog::loggingQueue()->sync([&] { logger->loggerQueue()->sync(block); });
}

// Whether `text` has the shape `shape`: '#' stands for one digit, '*' for
// one or more digits, anything else for itself.
inline bool hasShape(std::string_view text, std::string_view shape) {
  std::size_t t = 0;
  for (char c : shape) {
    auto digit = [&] { return t < text.size() && text[t] >= '0' && text[t] <= '9'; };
    if (c == '#' || c == '*') {
      if (!digit()) return false;
      ++t;
      while (c == '*' && digit()) ++t;
    } else {
      if (t >= text.size() || text[t] != c) return false;
      ++t;
    }
  }
  return t == text.size();
}

// Logs one Info record asynchronously.
inline void logInfo(const std::string& text, bool asynchronous = true) {
  LKLog::logMessage(asynchronous, text, 7, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {});
}

}  // namespace logging::testing
