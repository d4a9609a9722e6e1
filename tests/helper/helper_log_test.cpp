#include "helper/helper_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "helper/notification_logger.h"
#include "helper_test_util.h"
#include "logging/log_message.h"

using helper::HelperLog;
using helper::LKNotificationLogger;
using helper::RepeatCollapser;
using Lines = std::vector<std::string>;

namespace {

TEST(RepeatCollapser, RunsOfIdenticalLinesAreCountedOnce) {
  RepeatCollapser c;
  bool first = false;
  EXPECT_EQ(c.add("a", 0, &first), Lines{"a"});
  EXPECT_FALSE(first);
  EXPECT_EQ(c.add("a", 0.1, &first), Lines{});
  EXPECT_TRUE(first);  // the caller schedules a summary
  for (int i = 0; i < 238; ++i) EXPECT_EQ(c.add("a", 0.2, &first), Lines{});
  EXPECT_FALSE(first);
  EXPECT_EQ(c.add("b", 0.3), (Lines{"\xe2\x80\xa6 repeated 239 times", "b"}));
  // A single repeat, then a different line.
  EXPECT_EQ(c.add("b", 0.4), Lines{});
  EXPECT_EQ(c.add("c", 0.5), (Lines{"\xe2\x80\xa6 repeated 1 time", "c"}));
  // Lines that only look alike are all logged.
  EXPECT_EQ(c.add("c ", 0.6), Lines{"c "});
  EXPECT_EQ(c.summary(), Lines{});
}

TEST(RepeatCollapser, SummaryEndsTheRunAndOldLinesAreLoggedWhole) {
  RepeatCollapser c;
  EXPECT_EQ(c.add("loop", 0), Lines{"loop"});
  EXPECT_EQ(c.add("loop", 1), Lines{});
  EXPECT_EQ(c.add("loop", 2), Lines{});
  // The timer's summary: the count, and the next repeat is logged whole.
  EXPECT_EQ(c.summary(), Lines{"\xe2\x80\xa6 repeated 2 times"});
  EXPECT_EQ(c.summary(), Lines{});
  EXPECT_EQ(c.add("loop", 5.5), Lines{"loop"});
  EXPECT_EQ(c.add("loop", 6), Lines{});
  // The same line long after its last logging is logged again, with the
  // count of what came between.
  EXPECT_EQ(c.add("loop", 5.5 + helper::kRepeatSummarySeconds),
            (Lines{"\xe2\x80\xa6 repeated 1 time", "loop"}));
}

// OpenVPN's management lines carry the second they were made in; the same
// error in the next second is a repeat all the same. (The lines as a real
// OpenVPN 2.6 sent them while its TCP server refused, and while its
// server's name could not be found.)
TEST(RepeatCollapser, OpenVPNsTimesDoNotMakeALineNew) {
  const std::string refused =
      "Read: >LOG:1796912198,N,TCP: connect to [AF_INET]127.0.0.1:1443 failed: Connection "
      "refused\r";
  const std::string refusedLater =
      "Read: >LOG:1796912203,N,TCP: connect to [AF_INET]127.0.0.1:1443 failed: Connection "
      "refused\r";
  EXPECT_EQ(RepeatCollapser::comparable(refused), RepeatCollapser::comparable(refusedLater));
  EXPECT_EQ(RepeatCollapser::comparable(refused),
            "Read: >LOG:,N,TCP: connect to [AF_INET]127.0.0.1:1443 failed: Connection refused\r");
  // A state line inside a log line loses both times.
  EXPECT_EQ(RepeatCollapser::comparable(
                "Read: >LOG:1796912266,,MANAGEMENT: >STATE:1796912266,RESOLVE,,,,,,\r"),
            "Read: >LOG:,,MANAGEMENT: >STATE:,RESOLVE,,,,,,\r");
  // Digits that are not a time followed by its separator stay, and so does
  // everything else.
  EXPECT_EQ(RepeatCollapser::comparable(">STATE:12"), ">STATE:12");
  EXPECT_EQ(RepeatCollapser::comparable(">LOG:x1,2"), ">LOG:x1,2");
  EXPECT_EQ(RepeatCollapser::comparable("Trying the server again in 2 s."),
            "Trying the server again in 2 s.");

  RepeatCollapser c;
  EXPECT_EQ(c.add(refused, 0), Lines{refused});
  EXPECT_EQ(c.add(refusedLater, 1), Lines{});
  EXPECT_EQ(c.add("Read: >STATE:1796912204,RECONNECTING,connection-failed,,,,,\r", 2),
            (Lines{"\xe2\x80\xa6 repeated 1 time",
                   "Read: >STATE:1796912204,RECONNECTING,connection-failed,,,,,\r"}));
  // Another error, or the same error from another address, is a new line.
  EXPECT_EQ(c.add("Read: >STATE:1796912205,RECONNECTING,connection-reset,,,,,\r", 3),
            Lines{"Read: >STATE:1796912205,RECONNECTING,connection-reset,,,,,\r"});
  EXPECT_EQ(c.add("Trying the server again in 1 s.", 4), Lines{"Trying the server again in 1 s."});
  EXPECT_EQ(c.add("Trying the server again in 2 s.", 5), Lines{"Trying the server again in 2 s."});
}

// Through the dispatcher to the in-memory log, as the helper logs.
TEST(HelperLog, BurstOfOneLineReachesTheLogCollapsed) {
  helper_test::sharedLogger();
  helper_test::drainLog();
  HelperLog("before %@", 1);
  for (int i = 0; i < 240; ++i) HelperLog("Read: >STATE:%@,RECONNECTING,connection-reset", 17);
  HelperLog("after");
  const std::string log = helper_test::drainLog();
  const std::string line = "Read: >STATE:17,RECONNECTING,connection-reset\n";
  const std::size_t at = log.find(line);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(line, at + 1), std::string::npos) << log;
  const std::size_t count = log.find("\xe2\x80\xa6 repeated 239 times\n", at);
  ASSERT_NE(count, std::string::npos) << log;
  EXPECT_LT(log.find("before 1\n"), at);
  EXPECT_GT(log.find("after\n"), count);
}

// Started by systemd, the helper's lines reach the journal through its
// standard error, each with the priority prefix the journal reads.
TEST(JournalLogger, HelperLinesReachTheJournalStreamWithTheirPriority) {
  EXPECT_EQ(helper::JournalLogger::journalLines(logging::LKLogFlagInfo, "Connected"),
            "<6>Connected\n");
  EXPECT_EQ(helper::JournalLogger::journalLines(logging::LKLogFlagError, "a\nb"), "<3>a\n<3>b\n");
  EXPECT_EQ(helper::JournalLogger::journalLines(logging::LKLogFlagWarning, "w"), "<4>w\n");
  EXPECT_EQ(helper::JournalLogger::journalLines(logging::LKLogFlagDebug, ""), "<7>\n");

  // Only a stream the journal handed over counts ($JOURNAL_STREAM names
  // standard error's device and inode).
  struct stat st;
  ASSERT_EQ(::fstat(2, &st), 0);
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_FALSE(helper::JournalLogger::standardErrorIsJournal());
  ::setenv("JOURNAL_STREAM", "1:2", 1);
  EXPECT_FALSE(helper::JournalLogger::standardErrorIsJournal());
  ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(),
           1);
  EXPECT_TRUE(helper::JournalLogger::standardErrorIsJournal());
  ::unsetenv("JOURNAL_STREAM");

  // Through the dispatcher, as the helper logs.
  int stream[2];
  ASSERT_EQ(::pipe2(stream, O_CLOEXEC | O_NONBLOCK), 0);
  auto journal = std::make_shared<helper::JournalLogger>(stream[1]);
  logging::LKLog::addLogger(journal);
  HelperLog("Connecting to %@", "vpn.example");
  logging::LKLog::flushLog();
  logging::LKLog::removeLogger(journal);
  logging::LKLog::flushLog();
  char buffer[256];
  const ssize_t n = ::read(stream[0], buffer, sizeof buffer);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), "<6>Connecting to vpn.example\n");
  ::close(stream[0]);
  ::close(stream[1]);
}

logging::LKLogMessagePtr record(std::string text) {
  return std::make_shared<logging::LKLogMessage>(std::move(text), logging::LKLogLevelAll,
                                                 logging::LKLogFlagInfo, 0, "file", "function", 1,
                                                 platform::Value(), 0, platform::Date(1700000000));
}

// A client that stops asking: the buffer keeps the newest lines, whole and
// in order, within its limit, and says how many it dropped.
TEST(NotificationLoggerLimit, OldestLinesGoAndTheDropIsSaid) {
  LKNotificationLogger logger(4096);
  const int kLines = 1000;
  for (int i = 0; i < kLines; ++i) logger.logMessage(record("line " + std::to_string(i)));
  const std::string text = logger.PopBuffer().value_or("");
  EXPECT_LE(text.size(), 4096u + 200u);
  const std::size_t firstEnd = text.find('\n');
  ASSERT_NE(firstEnd, std::string::npos);
  const std::string note = text.substr(0, firstEnd);
  ASSERT_NE(note.find(" earlier lines were dropped"), std::string::npos) << note;
  const long dropped = std::stol(note.substr(note.find("\xe2\x80\xa6 ") + 4));
  // Every line that was not dropped is there, in order, the newest last.
  std::vector<int> kept;
  std::size_t at = firstEnd + 1;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(at, end - at);
    const std::size_t n = line.find(" line ");
    ASSERT_NE(n, std::string::npos) << line;
    kept.push_back(std::stoi(line.substr(n + 6)));
    at = end + 1;
  }
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.back(), kLines - 1);
  EXPECT_EQ(static_cast<long>(kept.size()) + dropped, kLines);
  for (std::size_t i = 1; i < kept.size(); ++i) EXPECT_EQ(kept[i], kept[i - 1] + 1);
  // The next pop has no note.
  logger.logMessage(record("fresh"));
  const std::string next = logger.PopBuffer().value_or("");
  EXPECT_EQ(next.find("dropped"), std::string::npos);
  EXPECT_NE(next.find(" fresh\n"), std::string::npos);
}

}  // namespace
