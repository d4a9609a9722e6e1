#include "sdk/analytics/tly_write_event_operation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "codecs/json_decoder.h"
#include "platform/system/file_util.h"
#include "sdk/analytics/tly_crash_event.h"
#include "sdk/analytics/tly_crash_metadata.h"
#include "sdk/analytics/tly_custom_event.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/analytics/tly_metadata.h"
#include "sdk/platform/bcn_console.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using platform::Value;

struct Line {
  std::string time, name, length, payload;
};

std::vector<Line> readLines(const std::string& path) {
  std::vector<Line> lines;
  auto text = platform::files::readFile(path);
  if (!text) return lines;
  std::size_t pos = 0;
  while (pos < text->size()) {
    std::size_t end = text->find('\n', pos);
    if (end == std::string::npos) end = text->size();
    std::string line = text->substr(pos, end - pos);
    pos = end + 1;
    Line l;
    std::size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
    l.time = line.substr(0, a);
    l.name = line.substr(a + 1, b - a - 1);
    l.length = line.substr(b + 1, c - b - 1);
    l.payload = line.substr(c + 1);
    lines.push_back(l);
  }
  return lines;
}

Value parse(const std::string& json) {
  return codecs::JSONDecoder().objectWithUTF8String(json.data(), json.size());
}

class TLYWriteEventOperationTest : public varnel::testing::TempRootTest {
 protected:
  void TearDown() override { TLYLogger::sharedLogger().setDebugMode(false); }

  std::shared_ptr<TLYMetadata> metadata() {
    TLYMetadata::Fields f;
    f.APIKey = "key";
    f.executionIdentifier = "0123456789abcdef0123456789abcdef";
    f.numberOfCores = 8;
    return std::make_shared<TLYMetadata>(f);
  }
  platform::URL logURL() { return platform::URL::fileURLWithPath(root().file("events.log")); }
  std::string logPath() { return root().file("events.log"); }

  // Writes `event` with the system calls of calls_.
  bool write(std::shared_ptr<TLYEvent> event, std::shared_ptr<TLYMetadataSerializable> m) {
    auto op =
        TLYWriteEventOperation::initWithEvent(std::move(event), std::move(m), logURL(), calls_);
    op->start();
    return op->success();
  }
  TLYWriteEventOperation::SystemCalls calls_;
};

TEST_F(TLYWriteEventOperationTest, ANewFileOpensWithTheMetadataLineThenOnlyEventsFollow) {
  auto first = TLYCrashEvent::initWithTimestamp(platform::Date(1500000000.1234), 0);
  ASSERT_TRUE(write(first, metadata()));
  auto second = TLYCustomEvent::initWithCustomEventName("Connected", Value());
  ASSERT_TRUE(write(second, metadata()));

  auto lines = readLines(logPath());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].time, "1500000000123");
  EXPECT_EQ(lines[0].name, "metadata");
  Value m = parse(lines[0].payload);
  EXPECT_EQ(m["started_at"].asUInt64(), 1500000000u);
  EXPECT_EQ(m["api_key"].asString(), "key");
  EXPECT_EQ(lines[1].time, "1500000000123");
  EXPECT_EQ(lines[1].name, "app_crashed");
  EXPECT_EQ(parse(lines[1].payload)["eventId"].asString(), first->identifier());
  EXPECT_EQ(lines[2].name, "custom");
  EXPECT_EQ(parse(lines[2].payload)["custom_type"].asString(), "Connected");
  for (const auto& line : lines) EXPECT_EQ(line.length, std::to_string(line.payload.size()));

  struct stat st {};
  ASSERT_EQ(::stat(logPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // the metadata holds the API key
}

TEST_F(TLYWriteEventOperationTest, TheLengthCountsBytesNotCharacters) {
  auto event =
      TLYCustomEvent::initWithCustomEventName("Ort", Value::dictionary({{"city", "Zürich"}}));
  ASSERT_TRUE(write(event, metadata()));
  auto lines = readLines(logPath());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].payload.find("Zürich"), std::string::npos);
  EXPECT_EQ(lines[1].length, std::to_string(lines[1].payload.size()));
  EXPECT_EQ(
      std::stoul(lines[1].length),
      std::string(R"({"eventId":")").size() + 36 +
          std::string(R"(","custom_type":"Ort","custom_attributes":{"city":"Zürich"}})").size());
}

TEST_F(TLYWriteEventOperationTest, ACrashWithAnEmptyPreviousRunStartsWithAnEmptyObject) {
  auto crash = TLYCrashEvent::initWithTimestamp(platform::Date(1600000000), 0);
  ASSERT_TRUE(write(crash, TLYCrashMetadata::initWithDictionary(Value::dictionary())));
  auto lines = readLines(logPath());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].name, "metadata");
  EXPECT_EQ(lines[0].length, "2");
  EXPECT_EQ(lines[0].payload, "{}");
}

TEST_F(TLYWriteEventOperationTest, ALineThatCannotBeFormedWritesNothingEvenToAnExistingFile) {
  ASSERT_TRUE(write(TLYCustomEvent::initWithCustomEventName("first", Value()), metadata()));
  auto before = platform::files::readFile(logPath());
  // The previous run's metadata could not be read: no metadata line.
  auto crash = TLYCrashEvent::initWithTimestamp(platform::Date(1600000000), 0);
  auto op = TLYWriteEventOperation::initWithEvent(
      crash, TLYCrashMetadata::initWithDictionary(Value()), logURL());
  EXPECT_FALSE(op->formattedMetadata());
  op->start();
  EXPECT_FALSE(op->success());
  // A custom event without a name has no payload.
  EXPECT_FALSE(write(TLYCustomEvent::initWithCustomEventName(std::nullopt, Value()), metadata()));
  EXPECT_EQ(platform::files::readFile(logPath()), before);
}

TEST_F(TLYWriteEventOperationTest, ALogWhoseFirstEventCannotBeWrittenStillGetsItsMetadataLine) {
  // A custom event without a name has no line; the new log still opens
  // with the metadata line, so the next event's log is complete.
  EXPECT_FALSE(write(TLYCustomEvent::initWithCustomEventName(std::nullopt, Value()), metadata()));
  ASSERT_TRUE(write(TLYCustomEvent::initWithCustomEventName("second", Value()), metadata()));
  auto lines = readLines(logPath());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].name, "metadata");
  EXPECT_EQ(lines[1].name, "custom");

  // An empty file left behind (created, nothing written) counts as new.
  std::filesystem::remove(logPath());
  platform::files::writeFileAtomically(logPath(), "", 0600);
  ASSERT_TRUE(write(TLYCustomEvent::initWithCustomEventName("third", Value()), metadata()));
  lines = readLines(logPath());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].name, "metadata");
}

TEST_F(TLYWriteEventOperationTest, ADirectoryOrAnUnopenablePathIsLeftAlone) {
  std::filesystem::create_directories(logPath());
  EXPECT_FALSE(write(TLYCustomEvent::initWithCustomEventName("x", Value()), metadata()));
  EXPECT_TRUE(std::filesystem::is_directory(logPath()));
  auto op = TLYWriteEventOperation::initWithEvent(
      TLYCustomEvent::initWithCustomEventName("x", Value()), metadata(),
      platform::URL::fileURLWithPath(root().file("missing/folder/events.log")));
  op->start();
  EXPECT_FALSE(op->success());
}

TEST_F(TLYWriteEventOperationTest, LineFormatAndTimesBefore1970) {
  auto line = TLYWriteEventOperation::logLineWithTimestamp(
      platform::Date(1.5), "custom", Value::dictionary({{"a", 1}, {"b", "x/y"}}));
  EXPECT_EQ(line, "1500\tcustom\t17\t{\"a\":1,\"b\":\"x/y\"}");
  EXPECT_EQ(TLYWriteEventOperation::millisecondsSince1970(platform::Date(-5)), 0u);
  EXPECT_EQ(TLYWriteEventOperation::secondsSince1970(platform::Date(-0.5)), 0u);
  EXPECT_FALSE(TLYWriteEventOperation::logLineWithTimestamp(platform::Date(1), "x", Value()));
}

TEST_F(TLYWriteEventOperationTest, ShortWritesContinueForAtMostThreeCalls) {
  BCNConsoleCapture console;
  TLYLogger::sharedLogger().setDebugMode(true);
  std::vector<std::size_t> asked;
  // Each call writes at most 4 bytes.
  calls_.write = [&](int fd, const void* bytes, std::size_t length) -> ssize_t {
    asked.push_back(length);
    return ::write(fd, bytes, std::min<std::size_t>(length, 4));
  };
  auto op = TLYWriteEventOperation::initWithEvent(
      TLYCustomEvent::initWithCustomEventName("x", Value()), metadata(), logURL(), calls_);
  int fd = ::open(logPath().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(op->appendLogLine("abcdefg", fd));  // 8 bytes with the line feed: two calls
  EXPECT_EQ(asked, (std::vector<std::size_t>{8, 4}));
  asked.clear();
  EXPECT_FALSE(op->appendLogLine("abcdefghijklmnopq", fd));
  EXPECT_EQ(asked, (std::vector<std::size_t>{18, 14, 10}));
  ::close(fd);
  // The abandoned line is cut back out: the log holds whole lines only.
  EXPECT_EQ(platform::files::readFile(logPath()), "abcdefg\n");
  EXPECT_TRUE(console.contains("[Tally:WriteOperation] Error: exited write loop without success"));
}

TEST_F(TLYWriteEventOperationTest, ImpossibleOrFailedWritesAreReported) {
  BCNConsoleCapture console;
  TLYLogger::sharedLogger().setDebugMode(true);
  // The operation's write call stands for whichever stand-in is current.
  auto op = TLYWriteEventOperation::initWithEvent(
      TLYCustomEvent::initWithCustomEventName("x", Value()), metadata(), logURL(),
      {[&](int fd, const void* bytes, std::size_t length) {
         return calls_.write(fd, bytes, length);
       },
       nullptr});
  calls_.write = [](int, const void*, std::size_t length) -> ssize_t {
    return static_cast<ssize_t>(length + 3);
  };
  EXPECT_FALSE(op->appendLogLine("abc", 99));
  EXPECT_TRUE(console.contains("[Tally:WriteOperation] Error: length doesn't make sense (7, 4)"));

  int calls = 0;
  calls_.write = [&](int, const void*, std::size_t) -> ssize_t {
    ++calls;
    errno = ENOSPC;
    return -1;
  };
  EXPECT_FALSE(op->appendLogLine("abc", 99));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(console.contains("[Tally:WriteOperation] Failed to write: No space left on device"));
  EXPECT_TRUE(console.contains("Error: exited write loop without success"));
}

TEST_F(TLYWriteEventOperationTest, AFailedMetadataLineLeavesOutTheEventAndAFailedCloseFails) {
  BCNConsoleCapture console;
  TLYLogger::sharedLogger().setDebugMode(true);
  int writes = 0;
  calls_.write = [&](int, const void*, std::size_t) -> ssize_t {
    ++writes;
    return 0;
  };
  EXPECT_FALSE(write(TLYCustomEvent::initWithCustomEventName("x", Value()), metadata()));
  EXPECT_EQ(writes, 1);  // the metadata line only

  calls_.write = nullptr;
  calls_.close = [](int fd) {
    ::close(fd);
    errno = EIO;
    return -1;
  };
  ::unlink(logPath().c_str());
  EXPECT_FALSE(write(TLYCustomEvent::initWithCustomEventName("x", Value()), metadata()));
  EXPECT_EQ(readLines(logPath()).size(), 2u);  // written, yet reported as failed
  EXPECT_TRUE(
      console.contains("[Tally:WriteOperation] Failed to close file, error: Input/output error"));
}

}  // namespace
}  // namespace sdk
