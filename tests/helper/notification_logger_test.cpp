#include "helper/notification_logger.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <thread>
#include <vector>

#include "logging/log_message.h"

using helper::LKNotificationLogger;

namespace {

logging::LKLogMessagePtr record(std::string text, platform::Date when) {
  return std::make_shared<logging::LKLogMessage>(std::move(text), logging::LKLogLevelAll,
                                                 logging::LKLogFlagInfo, 0, "file", "function", 1,
                                                 platform::Value(), 0, when);
}

TEST(NotificationLogger, PopBufferBeforeAndAfterLines) {
  LKNotificationLogger logger;
  EXPECT_FALSE(logger.PopBuffer().has_value());
  EXPECT_EQ(logger.PopBuffer(), "");
  const platform::Date when(1700000000.25);
  logger.logMessage(record("first", when));
  logger.logMessage(record("two\nlines", when));
  const std::string stamp = LKNotificationLogger::stamp(when);
  EXPECT_EQ(logger.PopBuffer(), stamp + " first\n" + stamp + " two\nlines\n");
  EXPECT_EQ(logger.PopBuffer(), "");
}

TEST(NotificationLogger, StampIsLocalTimeWithTruncatedMilliseconds) {
  const char* old = ::getenv("TZ");
  std::string saved = old ? old : "";
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  // 1 March 2024 10:04:05.0072 UTC.
  EXPECT_EQ(LKNotificationLogger::stamp(platform::Date(1709287445.0072)),
            "2024-03-01 10:04:05:007");
  EXPECT_EQ(LKNotificationLogger::stamp(platform::Date(1709287445.9999)),
            "2024-03-01 10:04:05:999");
  if (old)
    ::setenv("TZ", saved.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

TEST(NotificationLogger, EveryLineIsHandedOverExactlyOnce) {
  LKNotificationLogger logger;
  constexpr int kLines = 2000;
  std::thread writer([&] {
    for (int i = 0; i < kLines; ++i) logger.logMessage(record("x", platform::Date(0)));
  });
  std::string all;
  for (int i = 0; i < 200; ++i) all += logger.PopBuffer().value_or("");
  writer.join();
  all += logger.PopBuffer().value_or("");
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), kLines);
}

}  // namespace
