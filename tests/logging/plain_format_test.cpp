#include "logging/plain_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "logging/log.h"
#include "logging/test_loggers.h"
#include "platform/foundation/format.h"

namespace logging {
namespace {

using detail::LogArg;
using testing::CollectingLogger;

// What the dispatcher's plain formatter writes, or nullopt when it declines.
template <class... Args>
std::optional<std::string> plain(const char* format, const Args&... args) {
  const LogArg list[sizeof...(Args) + 1] = {LogArg(args)..., {}};
  std::string out = "kept:";
  if (!detail::appendPlainFormat(out, format, list, sizeof...(Args))) return std::nullopt;
  EXPECT_EQ(out.substr(0, 5), "kept:") << "appends, never replaces";
  return out.substr(5);
}

// Plain formatting either writes exactly what platform::format writes or
// declines.
#define EXPECT_SAME_AS_PLATFORM(...)                                 \
  do {                                                               \
    auto mine = plain(__VA_ARGS__);                                  \
    ASSERT_TRUE(mine.has_value()) << "declined: " << #__VA_ARGS__;   \
    EXPECT_EQ(*mine, platform::format(__VA_ARGS__)) << #__VA_ARGS__; \
  } while (0)

TEST(PlainFormatTest, TextAndNumbersMatchPlatformFormatByteForByte) {
  const std::string withNul("a\0b", 3);
  const std::string_view view = "view";
  char mutableText[] = "mutable";
  EXPECT_SAME_AS_PLATFORM("connection %d state %@ bytes %llu", 7, "CONNECTED",
                          std::uint64_t{1234567});
  EXPECT_SAME_AS_PLATFORM("no conversions at all");
  EXPECT_SAME_AS_PLATFORM("");
  EXPECT_SAME_AS_PLATFORM("100%% done, %s and %@", std::string("text"), view);
  EXPECT_SAME_AS_PLATFORM("[%@] [%s] [%@]", withNul, mutableText, std::string());
  EXPECT_SAME_AS_PLATFORM("%@ %@ %@ %s", 42, -42, std::uint64_t{18446744073709551615u}, true);
  EXPECT_SAME_AS_PLATFORM("%d %i %ld %lld %qd %zd", INT64_MIN, INT64_MAX, -1, 0, short{-7},
                          std::size_t{9});
  // An unsigned argument above the signed range prints as unsigned under %d.
  EXPECT_SAME_AS_PLATFORM("%d %i", std::uint64_t{1} << 63, ~std::uint64_t{0});
  // A negative argument is read at the width C would read it.
  EXPECT_SAME_AS_PLATFORM("%u %x %X %o", -1, -1, -255, -8);
  EXPECT_SAME_AS_PLATFORM("%hu %hx %hhu %hhx %hhX", -1, -2, -3, -4, -300);
  EXPECT_SAME_AS_PLATFORM("%lu %lx %llX %jo %tx %zx %Lx %qx", -1, -2, -3, -4, -5, -6, -7, -8);
  EXPECT_SAME_AS_PLATFORM("%x %X %o %u", 0xabcdefu, 0xabcdefu, 8u, 0u);
  EXPECT_SAME_AS_PLATFORM("chars %d %@ %u", 'A', static_cast<signed char>(-1),
                          static_cast<unsigned char>(200));
  // Missing arguments print nothing; extra ones are ignored.
  EXPECT_SAME_AS_PLATFORM("%d and %@ and %x", 1);
  EXPECT_SAME_AS_PLATFORM("only %d", 1, 2, "three");
}

TEST(PlainFormatTest, DeclinesWhatOnlyPlatformFormatKnows) {
  // Flags, width, precision, positions, stars and other conversions.
  EXPECT_FALSE(plain("%5d", 1));
  EXPECT_FALSE(plain("%-d", 1));
  EXPECT_FALSE(plain("%+d", 1));
  EXPECT_FALSE(plain("%05d", 1));
  EXPECT_FALSE(plain("%.2s", "text"));
  EXPECT_FALSE(plain("%*d", 3, 1));
  EXPECT_FALSE(plain("%1$@", "x"));
  EXPECT_FALSE(plain("%f", 1));
  EXPECT_FALSE(plain("%c", 65));
  EXPECT_FALSE(plain("%p", 1));
  EXPECT_FALSE(plain("%n", 1));
  EXPECT_FALSE(plain("%y unknown", 1));
  EXPECT_FALSE(plain("unfinished %"));
  EXPECT_FALSE(plain("unfinished %ll"));
  // Text under a number conversion, and arguments of other kinds.
  EXPECT_FALSE(plain("%d", "12"));
  EXPECT_FALSE(plain("%x", std::string("ff")));
  EXPECT_FALSE(plain("%@", 1.5));
  EXPECT_FALSE(plain("%@", static_cast<const char*>(nullptr)));
  EXPECT_FALSE(plain("%@", platform::Value("value")));
  // ...but only when such an argument is reached.
  EXPECT_EQ(plain("%d", 1, 2.5), "1");
}

// Through the dispatcher: plain or not, the record's text is platform::format's.
TEST(PlainFormatTest, LoggedTextIsPlatformFormatsWhicheverWayItIsMade) {
  auto logger = std::make_shared<CollectingLogger>();
  LKLog::addLogger(logger);
  const char* none = nullptr;
  std::vector<std::string> expected;
  auto log = [&](const char* format, const auto&... args) {
    LKLog::log(true, 7, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {}, format, args...);
    expected.push_back(platform::format(format, args...));
  };
  log("plain %d %@ %s %llu", -5, "text", std::string("string"), std::uint64_t{99});
  log("padded [%5d] [%-4@]", 42, "ab");
  log("real %@ %.2f", 1.5, 2.25);
  log("null %s and %@", none, none);
  log("value %@", platform::Value(7));
  log("position %2$@ %1$@", "a", "b");
  log("text under %%d: %d", "12");
  LKLog::flushLog();
  EXPECT_EQ(logger->texts(), expected);
  LKLog::removeAllLoggers();
  LKLog::flushLog();
}

// A record that falls back to platform::format is accepted and counted once.
TEST(PlainFormatTest, DeclinedRecordIsCountedOnce) {
  auto logger = std::make_shared<CollectingLogger>();
  LKLog::addLogger(logger);
  LKLog::flushLog();
  auto before = LKLog::statistics();
  LKLog::log(true, 7, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {}, "%5d", 1);
  LKLog::log(true, 7, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {}, "%d", 2);
  LKLog::flushLog();
  auto after = LKLog::statistics();
  EXPECT_EQ(after.queued, before.queued + 2);
  EXPECT_EQ(after.delivered, before.delivered + 2);
  EXPECT_EQ(logger->texts(), (std::vector<std::string>{"    1", "2"}));
  LKLog::removeAllLoggers();
  LKLog::flushLog();
}

// Holds the first record it gets until the test opens the gate.
class HoldingLogger : public CollectingLogger {
 public:
  void logMessage(const LKLogMessagePtr& message) override {
    if (count() == 0) {
      entered.open();
      gate.wait();
    }
    CollectingLogger::logMessage(message);
  }
  testing::Gate entered, gate;
};

// At the bound, each call is dropped, or waits, exactly once, whichever way
// its text is made.
TEST(PlainFormatTest, FullQueueCountsEachCallOnce) {
  auto logger = std::make_shared<HoldingLogger>();
  LKLog::addLogger(logger);
  testing::logInfo("first");
  logger->entered.wait();  // holds its place while being delivered
  for (int i = 1; i < LKLog::kQueueLimit; ++i) testing::logInfo("fill");
  LKLog::setOverflowPolicy(LKLogOverflowPolicy::DropNewest);
  auto before = LKLog::statistics();
  LKLog::log(true, 7, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {}, "plain %d", 1);
  LKLog::log(true, 7, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {}, "padded %5d", 2);
  auto after = LKLog::statistics();
  EXPECT_EQ(after.dropped, before.dropped + 2);
  EXPECT_EQ(after.queued, before.queued);
  LKLog::setOverflowPolicy(LKLogOverflowPolicy::Block);
  std::thread caller([] {
    LKLog::log(true, 7, LKLogFlagInfo, 0, __FILE__, __func__, __LINE__, {}, "padded %5d", 3);
  });
  ASSERT_TRUE(varnel::testing::waitUntil(
      [&] { return LKLog::statistics().blockedCallers == after.blockedCallers + 1; }));
  logger->gate.open();
  caller.join();
  LKLog::flushLog();
  auto last = LKLog::statistics();
  EXPECT_EQ(last.blockedCallers, after.blockedCallers + 1);
  EXPECT_EQ(last.queued, after.queued + 1);
  EXPECT_EQ(logger->texts().back(), "padded     3");
  EXPECT_EQ(logger->count(), static_cast<std::size_t>(LKLog::kQueueLimit + 1));
  LKLog::removeAllLoggers();
  LKLog::flushLog();
}

}  // namespace
}  // namespace logging
