#include "helper/notification_logger.h"

#include <cmath>

#include "logging/log_message.h"
#include "platform/foundation/format.h"

namespace helper {

LKNotificationLogger::LKNotificationLogger() : LKAbstractLogger("LKNotificationLogger") {}

LKNotificationLogger::LKNotificationLogger(std::size_t maxBufferBytes)
    : LKAbstractLogger("LKNotificationLogger"), maxBufferBytes_(maxBufferBytes) {}

std::string LKNotificationLogger::stamp(platform::Date date) {
  platform::DateComponents c = platform::dateComponents(date);
  // Milliseconds: the fraction of the seconds since the reference date
  // (whole seconds apart from 1970), times 1000, truncated.
  double seconds = date.timeIntervalSince1970();
  double fraction = seconds - std::floor(seconds);
  int millis = static_cast<int>(fraction * 1000.0);
  if (millis > 999) millis = 999;
  std::string s = platform::format("%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d", c.year, c.month,
                                   c.day, c.hour, c.minute, c.second, millis);
  if (s.size() > 23) s.resize(23);
  return s;
}

void LKNotificationLogger::logMessage(const logging::LKLogMessagePtr& message) {
  if (!message) return;
  std::optional<std::string> text = message->message();
  if (formatter_) text = formatter_->formatLogMessage(*message);
  if (!text) return;
  std::string line = stamp(message->timestamp()) + " " + *text + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (!buffer_) buffer_.emplace();
  if (buffer_->size() + line.size() > maxBufferBytes_) {
    // The oldest half goes at once (whole lines), so a full buffer costs
    // one move per half, not one per line.
    std::size_t cut = buffer_->size() / 2;
    cut = cut == 0 ? std::string::npos : buffer_->find('\n', cut);
    std::size_t end = cut == std::string::npos ? buffer_->size() : cut + 1;
    if (buffer_->size() - end + line.size() > maxBufferBytes_) end = buffer_->size();
    for (std::size_t at = buffer_->find('\n'); at != std::string::npos && at < end;
         at = buffer_->find('\n', at + 1))
      ++dropped_;
    buffer_->erase(0, end);
  }
  buffer_->append(line);
}

std::optional<std::string> LKNotificationLogger::PopBuffer() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<std::string> out = std::move(buffer_);
  buffer_ = std::string();
  if (out && dropped_ > 0) {
    out->insert(0, stamp(platform::Date::now()) + " \xe2\x80\xa6 " + std::to_string(dropped_) +
                       " earlier lines were dropped (the log was not collected in time)\n");
    dropped_ = 0;
  }
  return out;
}

}  // namespace helper
