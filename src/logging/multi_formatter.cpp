#include "logging/multi_formatter.h"

#include <algorithm>
#include <mutex>

namespace logging {

LKLogMessagePtr LKMultiFormatter::logMessageForLine(std::string line,
                                                    const LKLogMessage& original) {
  return original.copyWithMessage(std::move(line));
}

std::optional<std::string> LKMultiFormatter::formatLogMessage(const LKLogMessage& message) {
  std::shared_lock lock(mutex_);
  std::string line = message.message();
  for (const auto& f : formatters_) {
    auto copy = logMessageForLine(std::move(line), message);
    std::optional<std::string> next = f->formatLogMessage(*copy);
    if (!next) return std::nullopt;
    line = std::move(*next);
  }
  return line;
}

std::shared_ptr<LKLogFormatter> LKMultiFormatter::clone() const {
  auto copy = std::make_shared<LKMultiFormatter>();
  std::shared_lock lock(mutex_);
  for (const auto& f : formatters_) {
    auto c = f->clone();
    copy->formatters_.push_back(c ? c : f);
  }
  return copy;
}

std::vector<LKLogFormatterPtr> LKMultiFormatter::formatters() const {
  std::shared_lock lock(mutex_);
  return formatters_;
}

void LKMultiFormatter::addFormatter(LKLogFormatterPtr formatter) {
  if (!formatter) return;
  std::unique_lock lock(mutex_);
  formatters_.push_back(std::move(formatter));
}

void LKMultiFormatter::removeFormatter(const LKLogFormatterPtr& formatter) {
  std::unique_lock lock(mutex_);
  std::erase(formatters_, formatter);
}

void LKMultiFormatter::removeAllFormatters() {
  std::unique_lock lock(mutex_);
  formatters_.clear();
}

bool LKMultiFormatter::isFormattingWithFormatter(const LKLogFormatterPtr& formatter) const {
  std::shared_lock lock(mutex_);
  return std::find(formatters_.begin(), formatters_.end(), formatter) != formatters_.end();
}

}  // namespace logging
