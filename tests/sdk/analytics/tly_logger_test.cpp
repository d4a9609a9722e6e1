#include "sdk/analytics/tly_logger.h"

#include <gtest/gtest.h>

#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

TEST(TLYLoggerTest, NothingReachesTheConsoleWithDebugModeOff) {
  BCNConsoleCapture console;
  TLYLogger& logger = TLYLogger::sharedLogger();
  logger.setDebugMode(false);
  logger.log("Logging Tally event: %@", "x");
  logger.logWithLabel("WriteOperation", "Failed to write: %s\n", "No space");
  logger.internalLog("raw");
  EXPECT_TRUE(console.lines().empty());
}

TEST(TLYLoggerTest, DebugModeWritesTaggedLines) {
  BCNConsoleCapture console;
  TLYLogger& logger = TLYLogger::sharedLogger();
  logger.setDebugMode(true);
  logger.log("Logging events to %@", "/tmp/events");
  logger.logWithLabel("WriteOperation", "Error: length doesn't make sense (%zd, %zu)\n", 9, 5);
  logger.setDebugMode(false);
  EXPECT_EQ(
      console.lines(),
      (std::vector<std::string>{"[Tally] Logging events to /tmp/events",
                                "[Tally:WriteOperation] Error: length doesn't make sense (9, 5)"}));
  EXPECT_EQ(&TLYLogger::sharedLogger(), &logger);
}

}  // namespace
}  // namespace sdk
