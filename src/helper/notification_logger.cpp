#include "helper/notification_logger.h"

#include <cmath>

#include "logging/log_message.h"
#include "platform/foundation/format.h"

namespace helper {

LKNotificationLogger::LKNotificationLogger() : LKAbstractLogger("LKNotificationLogger") {}

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
  buffer_->append(line);
}

std::optional<std::string> LKNotificationLogger::PopBuffer() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<std::string> out = buffer_;
  buffer_ = std::string();
  return out;
}

}  // namespace helper
