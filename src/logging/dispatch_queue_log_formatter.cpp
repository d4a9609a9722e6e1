#include "logging/dispatch_queue_log_formatter.h"

#include "platform/foundation/format.h"

namespace logging {

namespace dispatch = platform::dispatch;

LKDispatchQueueLogFormatter::LKDispatchQueueLogFormatter() {
  replacements_["com.apple.main-thread"] = "main";
  globalLabels_ = {"com.apple.root.low-priority",
                   "com.apple.root.default-priority",
                   "com.apple.root.high-priority",
                   "com.apple.root.low-overcommit-priority",
                   "com.apple.root.default-overcommit-priority",
                   "com.apple.root.high-overcommit-priority"};
  for (auto p : {dispatch::Priority::High, dispatch::Priority::Default, dispatch::Priority::Low,
                 dispatch::Priority::Background}) {
    globalLabels_.insert(dispatch::Queue::global(p)->label());
  }
}

std::shared_ptr<LKLogFormatter> LKDispatchQueueLogFormatter::clone() const {
  auto copy = std::make_shared<LKDispatchQueueLogFormatter>();
  copy->setMinQueueLength(minQueueLength());
  copy->setMaxQueueLength(maxQueueLength());
  std::lock_guard lock(mutex_);
  copy->replacements_ = replacements_;
  return copy;
}

void LKDispatchQueueLogFormatter::didAddToLogger(LKLogger&) { loggerCount_.fetch_add(1); }
void LKDispatchQueueLogFormatter::willRemoveFromLogger(LKLogger&) { loggerCount_.fetch_sub(1); }

std::string LKDispatchQueueLogFormatter::stringFromDate(platform::Date date) const {
  // The date pattern formatter keeps no state, so loggers share it freely.
  return platform::formatDate(date, dateFormatString_);
}

std::optional<std::string> LKDispatchQueueLogFormatter::replacementStringForQueueLabel(
    const std::string& label) const {
  std::lock_guard lock(mutex_);
  auto it = replacements_.find(label);
  if (it == replacements_.end()) return std::nullopt;
  return it->second;
}

void LKDispatchQueueLogFormatter::setReplacementString(std::optional<std::string> replacement,
                                                       const std::string& label) {
  std::lock_guard lock(mutex_);
  if (replacement) {
    replacements_[label] = std::move(*replacement);
  } else {
    replacements_.erase(label);
  }
}

namespace {

// Number of UTF-8 characters in `s`, and the byte length of the first `n`.
std::size_t characters(const std::string& s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

std::size_t bytesOfFirst(const std::string& s, std::size_t n) {
  std::size_t i = 0;
  for (; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (n == 0) break;
      --n;
    }
  }
  return i;
}

}  // namespace

std::string LKDispatchQueueLogFormatter::queueThreadLabelForLogMessage(
    const LKLogMessage& message) const {
  const std::string& label = message.queueLabel();
  std::string name;
  bool replaceable = true;
  if (!label.empty() && !globalLabels_.contains(label)) {
    name = label;
  } else if (!message.threadName().empty()) {
    name = message.threadName();
  } else {
    name = message.threadID();
    replaceable = false;
  }
  if (replaceable) {
    if (auto r = replacementStringForQueueLabel(name)) name = *r;
  }
  std::uint64_t maxLen = maxQueueLength();
  std::uint64_t minLen = minQueueLength();
  std::size_t len = characters(name);
  if (maxLen > 0 && len > maxLen) {
    name.resize(bytesOfFirst(name, maxLen));
  } else if (len < minLen) {
    name.append(minLen - len, ' ');
  }
  return name;
}

std::optional<std::string> LKDispatchQueueLogFormatter::formatLogMessage(
    const LKLogMessage& message) {
  return platform::format("%@ [%@] %@", stringFromDate(message.timestamp()),
                          queueThreadLabelForLogMessage(message), message.message());
}

}  // namespace logging
