#include "logging/context_filter_log_formatter.h"

namespace logging {

void LKLoggingContextSet::addToSet(std::uint64_t context) {
  std::lock_guard lock(mutex_);
  set_.insert(context);
}

void LKLoggingContextSet::removeFromSet(std::uint64_t context) {
  std::lock_guard lock(mutex_);
  set_.erase(context);
}

std::vector<std::uint64_t> LKLoggingContextSet::currentSet() const {
  std::lock_guard lock(mutex_);
  return {set_.begin(), set_.end()};
}

bool LKLoggingContextSet::isInSet(std::uint64_t context) const {
  std::lock_guard lock(mutex_);
  return set_.contains(context);
}

std::optional<std::string> LKContextWhitelistFilterLogFormatter::formatLogMessage(
    const LKLogMessage& message) {
  if (isOnWhitelist(static_cast<std::uint64_t>(message.context()))) return message.message();
  return std::nullopt;
}

std::shared_ptr<LKLogFormatter> LKContextWhitelistFilterLogFormatter::clone() const {
  auto copy = std::make_shared<LKContextWhitelistFilterLogFormatter>();
  for (auto c : whitelist()) copy->addToWhitelist(c);
  return copy;
}

std::optional<std::string> LKContextBlacklistFilterLogFormatter::formatLogMessage(
    const LKLogMessage& message) {
  if (isOnBlacklist(static_cast<std::uint64_t>(message.context()))) return std::nullopt;
  return message.message();
}

std::shared_ptr<LKLogFormatter> LKContextBlacklistFilterLogFormatter::clone() const {
  auto copy = std::make_shared<LKContextBlacklistFilterLogFormatter>();
  for (auto c : blacklist()) copy->addToBlacklist(c);
  return copy;
}

}  // namespace logging
