#include "sdk/crash/capture/ctr_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "crash_context_fixture.h"

namespace sdk {
namespace {

class RecordFileTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    path_ = root().file("record.clsrecord");
  }
  // Opens the record file unbuffered, runs `write`, closes, returns the text.
  template <class F>
  std::string written(F&& write) {
    CTRFile file{};
    EXPECT_TRUE(CTRFileInit(&file, path_.c_str(), false));
    write(&file);
    EXPECT_TRUE(CTRFileClose(&file));
    return readFile(path_);
  }
  std::string path_;
};

// --- structure and values ----------------------------------------------------

TEST_F(RecordFileTest, NestedContainersGetExactlyTheirCommas) {
  const std::string text = written([](CTRFile* f) {
    CTRFileBeginSection(f, "s");
    CTRFileBeginObject(f);
    CTRFileWriteKey(f, "a");
    CTRFileBeginArray(f);
    CTRFileBeginObject(f);
    CTRFileWriteUnsignedField(f, "x", 1);
    CTRFileEndObject(f);
    CTRFileBeginObject(f);
    CTRFileWriteUnsignedField(f, "y", 2);
    CTRFileEndObject(f);
    CTRFileEndArray(f);
    CTRFileWriteUnsignedField(f, "b", 3);
    CTRFileEndObject(f);
    CTRFileEndSection(f);
    // A second line starts afresh, with no comma.
    CTRFileBeginSection(f, "log");
    CTRFileBeginObject(f);
    CTRFileWriteHexField(f, "msg", "abc");
    CTRFileWriteUnsignedField(f, "time", 1234);
    CTRFileEndObject(f);
    CTRFileEndSection(f);
  });
  EXPECT_EQ(text,
            "{\"s\":{\"a\":[{\"x\":1},{\"y\":2}],\"b\":3}}\n"
            "{\"log\":{\"msg\":\"616263\",\"time\":1234}}\n");
}

TEST_F(RecordFileTest, NumbersCoverTheWholeRange) {
  const std::string text = written([](CTRFile* f) {
    CTRFileBeginSection(f, "n");
    CTRFileBeginObject(f);
    CTRFileWriteUnsignedField(f, "max", UINT64_MAX);
    CTRFileWriteUnsignedField(f, "zero", 0);
    CTRFileWriteSignedField(f, "neg", -5);
    CTRFileWriteSignedField(f, "min", INT64_MIN);
    CTRFileWriteSignedField(f, "pos", 42);
    // A negative code written as unsigned is its two's-complement value.
    CTRFileWriteUnsignedField(f, "code", static_cast<std::uint64_t>(-1));
    CTRFileEndObject(f);
    CTRFileEndSection(f);
  });
  EXPECT_EQ(text,
            "{\"n\":{\"max\":18446744073709551615,\"zero\":0,\"neg\":-5,"
            "\"min\":-9223372036854775808,\"pos\":42,\"code\":18446744073709551615}}\n");
}

TEST_F(RecordFileTest, PlainStringsAreWrittenUnchangedAndNullAsNull) {
  const std::string longKey = "a_key_longer_than_twelve";
  const std::string longValue = "a value that is longer than thirteen bytes";
  const std::string text = written([&](CTRFile* f) {
    CTRFileBeginSection(f, "p");
    CTRFileBeginObject(f);
    CTRFileWriteStringField(f, "short", "x");
    CTRFileWriteStringField(f, longKey.c_str(), longValue.c_str());
    CTRFileWriteStringField(f, "twelve_bytes", "exactly12byt");
    CTRFileWriteStringField(f, "missing", nullptr);
    CTRFileWriteStringField(f, "empty", "");
    CTRFileWriteBoolField(f, "yes", true);
    CTRFileWriteBoolField(f, "no", false);
    CTRFileWriteStringFieldIfNotEmpty(f, "skipped_empty", platform::Value(""));
    CTRFileWriteStringFieldIfNotEmpty(f, "skipped_none", platform::Value());
    CTRFileWriteStringFieldIfNotEmpty(f, "skipped_number", platform::Value(3));
    CTRFileWriteStringFieldIfNotEmpty(f, "kept", platform::Value("v"));
    CTRFileEndObject(f);
    CTRFileEndSection(f);
  });
  EXPECT_EQ(text, "{\"p\":{\"short\":\"x\",\"" + longKey + "\":\"" + longValue +
                      "\",\"twelve_bytes\":\"exactly12byt\",\"missing\":null,\"empty\":\"\","
                      "\"yes\":true,\"no\":false,\"kept\":\"v\"}}\n");
}

TEST_F(RecordFileTest, HexStringsEncodeEveryByte) {
  const std::string longText(40, 'q');  // more than one 16-byte chunk of digits
  std::string longHex;
  for (int i = 0; i < 40; ++i) longHex += "71";
  const std::string text = written([&](CTRFile* f) {
    CTRFileBeginSection(f, "h");
    CTRFileBeginObject(f);
    CTRFileWriteHexField(f, "utf8", "\xC3\xA9");
    CTRFileWriteHexField(f, "quote", "a\"b\n");
    CTRFileWriteHexField(f, "empty", "");
    CTRFileWriteHexField(f, "missing", nullptr);
    CTRFileWriteHexField(f, "long", longText.c_str());
    CTRFileEndObject(f);
    CTRFileEndSection(f);
  });
  EXPECT_EQ(text,
            "{\"h\":{\"utf8\":\"c3a9\",\"quote\":\"6122620a\",\"empty\":\"\","
            "\"missing\":null,\"long\":\"" +
                longHex + "\"}}\n");
}

TEST_F(RecordFileTest, ArrayElementsAreSeparated) {
  const std::string text = written([](CTRFile* f) {
    CTRFileBeginSection(f, "threads");
    CTRFileBeginArray(f);
    CTRFileAppendUnsigned(f, 7);
    CTRFileAppendString(f, "main");
    CTRFileAppendString(f, nullptr);
    CTRFileAppendHex(f, "ab");
    CTRFileBeginArray(f);
    CTRFileAppendUnsigned(f, 1);
    CTRFileEndArray(f);
    CTRFileAppendUnsigned(f, 8);
    CTRFileEndArray(f);
    CTRFileEndSection(f);
  });
  EXPECT_EQ(text, "{\"threads\":[7,\"main\",null,\"6162\",[1],8]}\n");
}

TEST_F(RecordFileTest, WrittenLinesReadBackAsSections) {
  written([](CTRFile* f) {
    CTRFileBeginSection(f, "kv");
    CTRFileBeginObject(f);
    CTRFileWriteHexField(f, "key", "name \"quoted\"");
    CTRFileWriteHexField(f, "value", "caf\xC3\xA9");
    CTRFileEndObject(f);
    CTRFileEndSection(f);
  });
  const platform::Value sections = CTRFileReadSections(path_.c_str(), false);
  ASSERT_EQ(sections.count(), 1u);
  const platform::Value kv = sections[0]["kv"];
  EXPECT_EQ(CTRHexDecodeString(kv["key"].stringView()), "name \"quoted\"");
  EXPECT_EQ(CTRHexDecodeString(kv["value"].stringView()), "caf\xC3\xA9");
}

TEST_F(RecordFileTest, PlainStringsThatWouldBreakTheLineAreEscapedAndReadBackIntact) {
  // A version, a path and a processor name as a user or the system may
  // spell them; before escaping, each one made the reader drop its line.
  const std::string version = "1.2 \"beta\"";
  const std::string path = "C:\\odd\\lib.so";
  const std::string cpu = std::string("tab\there\nnew\x01line ") + "caf\xC3\xA9";
  const std::string longText(200, '"');  // longer than the write buffer
  written([&](CTRFile* f) {
    CTRFileBeginSection(f, "meta");
    CTRFileBeginObject(f);
    CTRFileWriteStringField(f, "version", version.c_str());
    CTRFileWriteStringField(f, "path", path.c_str());
    CTRFileWriteStringField(f, "cpu", cpu.c_str());
    CTRFileWriteStringField(f, "long", longText.c_str());
    CTRFileWriteStringField(f, "broken", "a\xC3(b\xFF");
    CTRFileEndObject(f);
    CTRFileEndSection(f);
    CTRFileBeginSection(f, "names");
    CTRFileBeginArray(f);
    CTRFileAppendString(f, "q\"ueue");
    CTRFileEndArray(f);
    CTRFileEndSection(f);
  });
  const platform::Value sections = CTRFileReadSections(path_.c_str(), false);
  ASSERT_EQ(sections.count(), 2u);
  const platform::Value meta = sections[0]["meta"];
  EXPECT_EQ(meta["version"].asString(), version);
  EXPECT_EQ(meta["path"].asString(), path);
  EXPECT_EQ(meta["cpu"].asString(), cpu);
  EXPECT_EQ(meta["long"].asString(), longText);
  // Bytes that are no UTF-8 become replacement characters; the rest stays.
  EXPECT_EQ(meta["broken"].asString(), "a\xEF\xBF\xBD(b\xEF\xBF\xBD");
  EXPECT_EQ(sections[1]["names"][0].asString(), "q\"ueue");
}

// --- opening, closing, sizes -------------------------------------------------

TEST_F(RecordFileTest, AppendCountsTheExistingSizeAndTruncateStartsAfresh) {
  {
    std::ofstream out(path_);
    out << "0123456789";
  }
  CTRFile file{};
  ASSERT_TRUE(CTRFileInit(&file, path_.c_str(), false));
  EXPECT_TRUE(CTRFileIsOpen(&file));
  EXPECT_EQ(file.bytesWritten, 10u);
  EXPECT_TRUE(CTRFileWriteRaw(&file, "abc", 3));
  std::uint64_t offset = 0;
  EXPECT_TRUE(CTRFileCloseWithOffset(&file, &offset));
  EXPECT_EQ(offset, 13u);
  EXPECT_EQ(file.descriptor, -1);
  EXPECT_FALSE(CTRFileIsOpen(&file));
  EXPECT_EQ(readFile(path_), "0123456789abc");

  ASSERT_TRUE(CTRFileInitWithPathMode(&file, path_.c_str(), false, false));
  EXPECT_EQ(file.bytesWritten, 0u);
  EXPECT_TRUE(CTRFileWriteRaw(&file, "z", 1));
  EXPECT_TRUE(CTRFileClose(&file));
  EXPECT_EQ(readFile(path_), "z");
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0100, 0u);
  // A record is its user's alone, whatever the umask.
  ::unlink(path_.c_str());
  const mode_t previous = ::umask(022);
  const bool made = CTRFileInitWithPathMode(&file, path_.c_str(), false, false);
  ::umask(previous);
  ASSERT_TRUE(made);
  EXPECT_TRUE(CTRFileClose(&file));
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(RecordFileTest, OpenFailuresLeaveTheHandleAndSayWhy) {
  EXPECT_FALSE(CTRFileInit(nullptr, path_.c_str(), false));
  CTRFile file{};
  file.descriptor = -7;
  EXPECT_FALSE(CTRFileInit(&file, nullptr, false));
  EXPECT_FALSE(CTRFileInit(&file, root().file("no/such/dir/x").c_str(), false));
  EXPECT_EQ(file.descriptor, -7);
  EXPECT_FALSE(CTRFileIsOpen(nullptr));
  const std::string log = sdkLog();
  EXPECT_NE(log.find("] Error: file is null\n"), std::string::npos);
  EXPECT_NE(log.find("] Error: Unable to open file No such file or directory\nWARN  ["),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("] Error: file descriptor invalid\n"), std::string::npos);
}

TEST_F(RecordFileTest, CloseFailureIsReportedAfterFlushing) {
  CTRFile file{};
  ASSERT_TRUE(CTRFileInit(&file, path_.c_str(), true));
  ASSERT_TRUE(CTRFileWriteRaw(&file, "kept", 4));
  // Swap in a descriptor that close() refuses, after the flush has gone to
  // the real file.
  const int real = file.descriptor;
  CTRFileFlush(&file);
  EXPECT_EQ(readFile(path_), "kept");
  file.descriptor = 100000;
  EXPECT_FALSE(CTRFileClose(&file));
  EXPECT_EQ(file.buffer, nullptr);
  EXPECT_EQ(file.descriptor, -1);
  ::close(real);
  EXPECT_NE(sdkLog().find("] Error: Unable to close file Bad file descriptor\n"),
            std::string::npos);
}

// --- buffering -----------------------------------------------------------------

// Reads one record from a datagram-like socket: one write, one record.
std::vector<std::size_t> drainRecords(int socket) {
  std::vector<std::size_t> sizes;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) break;
    sizes.push_back(static_cast<std::size_t>(n));
  }
  return sizes;
}

TEST_F(RecordFileTest, BufferedWritesGoOutIn999ByteWrites) {
  {
    std::ofstream out(path_);
    out << "1234567";
  }
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
  CTRFile file{};
  ASSERT_TRUE(CTRFileInit(&file, path_.c_str(), true));
  EXPECT_EQ(file.bytesWritten, 7u);
  // Every write of the handle now lands as one record on the socket.
  ASSERT_GE(::dup2(pair[0], file.descriptor), 0);

  const std::string big(2500, 'b');
  EXPECT_TRUE(CTRFileWriteRaw(&file, big.data(), big.size()));
  EXPECT_EQ(drainRecords(pair[1]), (std::vector<std::size_t>{999, 999}));
  EXPECT_EQ(file.bufferedLength, 502u);

  std::uint64_t offset = 0;
  EXPECT_TRUE(CTRFileCloseWithOffset(&file, &offset));
  EXPECT_EQ(drainRecords(pair[1]), (std::vector<std::size_t>{502}));
  EXPECT_EQ(offset, 7u + 2500u);
  ::close(pair[0]);
  ::close(pair[1]);
}

TEST_F(RecordFileTest, BufferedSmallWritesAreBatched) {
  CTRFile file{};
  ASSERT_TRUE(CTRFileInit(&file, path_.c_str(), true));
  for (int i = 0; i < 10; ++i) {
    CTRFileBeginSection(&file, "log");
    CTRFileBeginObject(&file);
    CTRFileWriteUnsignedField(&file, "i", static_cast<std::uint64_t>(i));
    CTRFileEndObject(&file);
    CTRFileEndSection(&file);
  }
  EXPECT_EQ(readFile(path_), "") << "nothing leaves before a flush";
  CTRFileFlush(&file);
  EXPECT_EQ(CTRFileReadSections(path_.c_str(), false).count(), 10u);
  EXPECT_EQ(file.bufferedLength, 0u);
  CTRFileClose(&file);
}

// --- the write loop --------------------------------------------------------------

TEST_F(RecordFileTest, WriteLoopStopsOnAZeroResult) {
  int calls = 0;
  auto zero = [&calls](const void*, std::size_t) -> ssize_t {
    ++calls;
    return 0;
  };
  EXPECT_FALSE(CTRFileLoopWithWriteBlock("abc", 3, zero));
  EXPECT_EQ(calls, 1);
  EXPECT_NE(sdkLog().find("] Error: exited write loop without success\n"), std::string::npos);
}

TEST_F(RecordFileTest, WriteLoopGivesUpAfterFiftyCalls) {
  int calls = 0;
  auto oneByte = [&calls](const void*, std::size_t) -> ssize_t {
    ++calls;
    return 1;
  };
  const std::string request(60, 'r');
  EXPECT_FALSE(CTRFileLoopWithWriteBlock(request.data(), request.size(), oneByte));
  EXPECT_EQ(calls, 50);
  EXPECT_NE(sdkLog().find("exited write loop without success"), std::string::npos);
}

TEST_F(RecordFileTest, WriteLoopContinuesShortWritesInOrder) {
  std::string sink;
  auto sevenAtATime = [&sink](const void* bytes, std::size_t length) -> ssize_t {
    const std::size_t n = length < 7 ? length : 7;
    sink.append(static_cast<const char*>(bytes), n);
    return static_cast<ssize_t>(n);
  };
  const std::string request = "twenty bytes exactly";
  EXPECT_TRUE(CTRFileLoopWithWriteBlock(request.data(), request.size(), sevenAtATime));
  EXPECT_EQ(sink, request);
  int calls = 0;
  auto never = [&calls](const void*, std::size_t) -> ssize_t { return ++calls; };
  EXPECT_FALSE(CTRFileLoopWithWriteBlock("x", 0, never));
  EXPECT_EQ(calls, 0);
}

TEST_F(RecordFileTest, WriteLoopRejectsNonsensicalResults) {
  auto failing = [](const void*, std::size_t) -> ssize_t { return -1; };
  EXPECT_FALSE(CTRFileLoopWithWriteBlock("abc", 3, failing));
  auto tooMuch = [](const void*, std::size_t length) -> ssize_t {
    return static_cast<ssize_t>(length + 1);
  };
  EXPECT_FALSE(CTRFileLoopWithWriteBlock("abc", 3, tooMuch));
  const std::string log = sdkLog();
  // The result the block claimed and the bytes that were asked for.
  EXPECT_NE(log.find("] Error: length doesn't make sense (4, 3)\n"), std::string::npos) << log;
}

TEST_F(RecordFileTest, FailedDescriptorWritesAreLogged) {
  const int readOnly = ::open(path_.c_str(), O_RDONLY | O_CREAT, 0644);
  ASSERT_GE(readOnly, 0);
  EXPECT_FALSE(CTRFileWriteWithRetries(readOnly, "abc", 3));
  EXPECT_FALSE(CTRWriteUnsignedToDescriptor(readOnly, 1, false));
  ::close(readOnly);
  EXPECT_NE(sdkLog().find("] Failed to write: Bad file descriptor\n"), std::string::npos);
}

TEST_F(RecordFileTest, DescriptorNumberWriters) {
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(CTRWriteUnsignedToDescriptor(fd, 255, true));
  EXPECT_TRUE(CTRFileWriteWithRetries(fd, " ", 1));
  EXPECT_TRUE(CTRWriteUnsignedToDescriptor(fd, 1234567890123ULL, false));
  EXPECT_TRUE(CTRFileWriteWithRetries(fd, " ", 1));
  EXPECT_TRUE(CTRWriteSignedToDescriptor(fd, -5));
  EXPECT_TRUE(CTRFileWriteWithRetries(fd, " ", 1));
  EXPECT_TRUE(CTRWriteSignedToDescriptor(fd, INT64_MIN));
  ::close(fd);
  EXPECT_EQ(readFile(path_), "ff 1234567890123 -5 -9223372036854775808");
}

TEST(FormatUnsignedTest, DigitsEndBeforeTheLastByte) {
  char buffer[21];
  std::size_t first = CTRFormatUnsigned(buffer, 0, false);
  EXPECT_EQ(first, 19u);
  EXPECT_STREQ(buffer + first, "0");
  first = CTRFormatUnsigned(buffer, UINT64_MAX, false);
  EXPECT_EQ(first, 0u);
  EXPECT_STREQ(buffer, "18446744073709551615");
  first = CTRFormatUnsigned(buffer, 0xbeef, true);
  EXPECT_STREQ(buffer + first, "beef");
  EXPECT_EQ(buffer[20], '\0');
}

// --- reading -------------------------------------------------------------------------

TEST_F(RecordFileTest, ReaderSkipsLinesThatDoNotParse) {
  {
    std::ofstream out(path_);
    out << "{\"a\":{\"x\":1}}\n{\"cut\":{\"y\":\n{\"b\":[1,2]}\n";
  }
  const platform::Value sections = CTRFileReadSections(path_.c_str(), false);
  ASSERT_EQ(sections.count(), 2u);
  EXPECT_EQ(sections[0]["a"]["x"].asInt64(), 1);
  EXPECT_EQ(sections[1]["b"].count(), 2u);
}

TEST_F(RecordFileTest, ReaderTransformsAndDropsSections) {
  {
    std::ofstream out(path_);
    out << "{\"kv\":{\"k\":1}}\n{\"other\":{}}\n{\"kv\":{\"k\":2}}";
  }
  const platform::Value sections =
      CTRFileReadSections(path_.c_str(), false, [](const platform::Value& section) {
        return section["kv"];  // None for sections of another name
      });
  ASSERT_EQ(sections.count(), 2u);
  EXPECT_EQ(sections[1]["k"].asInt64(), 2);
  std::ofstream(path_, std::ios::trunc).flush();
  const platform::Value empty = CTRFileReadSections(path_.c_str(), false);
  EXPECT_TRUE(empty.isArray());
  EXPECT_EQ(empty.count(), 0u);
}

TEST_F(RecordFileTest, UnreadableFilesGiveNoneAndAreRemovedOnRequest) {
  const std::string missing = root().file("missing.clsrecord");
  EXPECT_TRUE(CTRFileReadSections(missing.c_str(), true).isNone());
  EXPECT_NE(sdkLog().find("] Unable to read file " + missing + "\n"), std::string::npos);

  {
    std::ofstream out(path_, std::ios::binary);
    out << "{\"a\":\"\xff\xfe\"}\n";
  }
  EXPECT_TRUE(CTRFileReadSections(path_.c_str(), false).isNone());
  EXPECT_EQ(::access(path_.c_str(), F_OK), 0) << "kept without the flag";
  EXPECT_TRUE(CTRFileReadSections(path_.c_str(), true).isNone());
  EXPECT_NE(::access(path_.c_str(), F_OK), 0) << "removed with the flag";

  EXPECT_TRUE(CTRFileReadSections(nullptr, true).isNone());
  EXPECT_NE(sdkLog().find("] Error: input path is invalid\n"), std::string::npos);
}

TEST(HexStringTest, DecodesPairsUpToTheFirstBadOne) {
  EXPECT_EQ(CTRHexDecodeString("616263"), "abc");
  EXPECT_EQ(CTRHexDecodeString("6162zz63"), "ab");
  EXPECT_EQ(CTRHexDecodeString("616"), "a");
  EXPECT_EQ(CTRHexDecodeString(""), "");
  EXPECT_EQ(CTRHexDecodeString("4A4b"), "JK");
  EXPECT_EQ(CTRHexDecodeString("61006263"), "a") << "text ends at the first zero byte";
  EXPECT_EQ(CTRHexDecodeString("c3a9"), "\xC3\xA9");
  EXPECT_EQ(CTRHexDecodeString("ff61"), std::nullopt) << "not UTF-8";
  EXPECT_EQ(CTRHexEncodeString("abc"), "616263");
  EXPECT_EQ(CTRHexEncodeString("\xC3\xA9"), "c3a9");
  EXPECT_EQ(CTRHexEncodeString(""), "");
  EXPECT_EQ(CTRHexEncodeString(nullptr), "");
}

// --- crash-time use -----------------------------------------------------------------

const char* gSignalRecordPath = nullptr;

void recordFromSignal(int signo) {
  CTRFile file;
  if (!CTRFileInit(&file, gSignalRecordPath, false)) return;
  CTRFileBeginSection(&file, "signal");
  CTRFileBeginObject(&file);
  CTRFileWriteUnsignedField(&file, "number", static_cast<std::uint64_t>(signo));
  CTRFileWriteSignedField(&file, "code", -6);
  CTRFileWriteStringField(&file, "name", "SIGUSR2");
  CTRFileWriteHexField(&file, "reason", "went \"wrong\"");
  CTRFileEndObject(&file);
  CTRFileEndSection(&file);
  CTRFileClose(&file);
}

TEST_F(RecordFileTest, UnbufferedWriterWorksInsideASignalHandler) {
  gSignalRecordPath = path_.c_str();
  struct sigaction action {
  }, previous{};
  action.sa_handler = recordFromSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR2, &action, &previous), 0);
  ::raise(SIGUSR2);
  ::sigaction(SIGUSR2, &previous, nullptr);
  const platform::Value sections = CTRFileReadSections(path_.c_str(), false);
  ASSERT_EQ(sections.count(), 1u);
  const platform::Value signal = sections[0]["signal"];
  EXPECT_EQ(signal["number"].asInt64(), SIGUSR2);
  EXPECT_EQ(signal["code"].asInt64(), -6);
  EXPECT_EQ(signal["name"].asString(), "SIGUSR2");
  EXPECT_EQ(CTRHexDecodeString(signal["reason"].stringView()), "went \"wrong\"");
}

}  // namespace
}  // namespace sdk
