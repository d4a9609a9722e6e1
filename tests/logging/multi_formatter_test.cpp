#include "logging/multi_formatter.h"

#include <gtest/gtest.h>

#include <thread>

#include "logging/context_filter_log_formatter.h"
#include "logging/log.h"
#include "logging/test_loggers.h"

namespace logging {
namespace {

class Append : public LKLogFormatter {
 public:
  explicit Append(std::string s) : suffix(std::move(s)) {}
  std::optional<std::string> formatLogMessage(const LKLogMessage& m) override {
    return m.message() + suffix;
  }
  std::string suffix;
};

class Drop : public LKLogFormatter {
 public:
  std::optional<std::string> formatLogMessage(const LKLogMessage&) override { return std::nullopt; }
};

LKLogMessage record(std::string text, std::int64_t context = 0) {
  return LKLogMessage(std::move(text), 7, LKLogFlagInfo, context, __FILE__, __func__, __LINE__, {},
                      0);
}

TEST(MultiFormatterTest, ChainRunsInOrderAndStopsAtADrop) {
  LKMultiFormatter chain;
  EXPECT_EQ(chain.formatLogMessage(record("m")), "m");  // empty chain
  auto a = std::make_shared<Append>("a");
  chain.addFormatter(a);
  chain.addFormatter(std::make_shared<Append>("b"));
  EXPECT_EQ(chain.formatLogMessage(record("m")), "mab");

  LKMultiFormatter dropping;
  dropping.addFormatter(std::make_shared<Drop>());
  dropping.addFormatter(std::make_shared<Append>("x"));
  EXPECT_EQ(dropping.formatLogMessage(record("m")), std::nullopt);
}

TEST(MultiFormatterTest, FormatterAddedTwiceRunsTwiceAndRemovalTakesBoth) {
  LKMultiFormatter chain;
  auto a = std::make_shared<Append>("a");
  chain.addFormatter(a);
  chain.addFormatter(a);
  EXPECT_EQ(chain.formatLogMessage(record("m")), "maa");
  EXPECT_TRUE(chain.isFormattingWithFormatter(a));
  chain.removeFormatter(a);
  EXPECT_FALSE(chain.isFormattingWithFormatter(a));
  EXPECT_TRUE(chain.formatters().empty());
  chain.addFormatter(a);
  chain.removeAllFormatters();
  EXPECT_EQ(chain.formatLogMessage(record("m")), "m");
}

TEST(MultiFormatterTest, ChangesWhileFormattingOnOtherThreads) {
  LKMultiFormatter chain;
  auto a = std::make_shared<Append>("a");
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop) {
        auto text = chain.formatLogMessage(record("m"));
        ASSERT_TRUE(text == "m" || text == "ma" || text == "maa");
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    chain.addFormatter(a);
    chain.removeFormatter(a);
  }
  stop = true;
  for (auto& t : readers) t.join();
}

TEST(ContextFilterTest, WhitelistPassesOnlyItsContexts) {
  LKContextWhitelistFilterLogFormatter white;
  EXPECT_EQ(white.formatLogMessage(record("m", 1)), std::nullopt);  // empty set drops all
  white.addToWhitelist(1);
  white.addToWhitelist(static_cast<std::uint64_t>(-1));
  EXPECT_EQ(white.formatLogMessage(record("m", 1)), "m");
  EXPECT_EQ(white.formatLogMessage(record("m", -1)), "m");  // compared as unsigned
  EXPECT_EQ(white.formatLogMessage(record("m", 2)), std::nullopt);
  EXPECT_TRUE(white.isOnWhitelist(1));
  EXPECT_EQ(white.whitelist().size(), 2u);
  white.removeFromWhitelist(1);
  EXPECT_EQ(white.formatLogMessage(record("m", 1)), std::nullopt);
}

TEST(ContextFilterTest, BlacklistDropsOnlyItsContexts) {
  LKContextBlacklistFilterLogFormatter black;
  EXPECT_EQ(black.formatLogMessage(record("m", 5)), "m");  // empty set passes all
  black.addToBlacklist(5);
  EXPECT_EQ(black.formatLogMessage(record("m", 5)), std::nullopt);
  EXPECT_EQ(black.formatLogMessage(record("m", 6)), "m");
  auto copy = std::static_pointer_cast<LKContextBlacklistFilterLogFormatter>(black.clone());
  black.removeFromBlacklist(5);
  EXPECT_TRUE(copy->isOnBlacklist(5));  // the clone is its own
  EXPECT_FALSE(black.isOnBlacklist(5));
}

TEST(ContextFilterTest, FilterOnALoggerDropsRecordsOfOtherContexts) {
  auto logger = std::make_shared<testing::CollectingLogger>();
  auto white = std::make_shared<LKContextWhitelistFilterLogFormatter>();
  white->addToWhitelist(7);
  logger->setLogFormatter(white);
  LKLog::addLogger(logger);
  LKLog::logMessage(true, "kept", 7, LKLogFlagInfo, 7, __FILE__, __func__, __LINE__, {});
  LKLog::logMessage(true, "dropped", 7, LKLogFlagInfo, 8, __FILE__, __func__, __LINE__, {});
  LKLog::flushLog();
  EXPECT_EQ(logger->texts(), std::vector<std::string>{"kept"});
  LKLog::removeAllLoggers();
  LKLog::flushLog();
}

}  // namespace
}  // namespace logging
