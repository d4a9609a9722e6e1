#include "sdk/crash/capture/ctr_user_logging.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "crash_context_fixture.h"
#include "platform/dispatch/dispatch.h"
#include "sdk/crash/capture/ctr_allocator.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/crash/ctr_report.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

using platform::Value;
namespace fs = std::filesystem;

class UserLoggingTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    dir_ = root().file("launch");
    fs::create_directories(dir_);
    for (const char* name :
         {kCTRUserIncrementalKVFile, kCTRUserCompactedKVFile, kCTRInternalIncrementalKVFile,
          kCTRInternalCompactedKVFile, kCTRLogAFile, kCTRLogBFile, kCTRErrorsAFile, kCTRErrorsBFile,
          kCTRCustomExceptionAFile, kCTRCustomExceptionBFile}) {
      paths_.push_back(path(name));
    }
    auto& logging = context_.userLogging;
    logging.userKVStorage = {paths_[0].c_str(), paths_[1].c_str(), 64, 16};
    logging.internalKVStorage = {paths_[2].c_str(), paths_[3].c_str(), 64, 32};
    logging.logStorage = {paths_[4].c_str(), paths_[5].c_str(), 100, 0, true, nullptr};
    logging.errorStorage = {paths_[6].c_str(), paths_[7].c_str(), 0, 2, false, &state_.errorCount};
    logging.customExceptionStorage = {paths_[8].c_str(),           paths_[9].c_str(), 0, 2, false,
                                      &state_.customExceptionCount};
    state_.currentLogPath = logging.logStorage.aPath;
    state_.currentErrorPath = logging.errorStorage.aPath;
    state_.currentCustomExceptionPath = logging.customExceptionStorage.aPath;
    context_.initialized = true;
    ctrLoggingQueue = platform::dispatch::Queue::createSerial(kCTRLoggingQueueLabel);
  }
  void TearDown() override {
    drain();
    ctrLoggingQueue = nullptr;
    CrashContextTest::TearDown();
  }

  // Waits for everything queued on the logging queue (swaps and compactions
  // queue further work behind themselves at most once).
  static void drain() {
    if (!ctrLoggingQueue) return;
    ctrLoggingQueue->sync([] {});
    ctrLoggingQueue->sync([] {});
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
  }
  bool exists(const std::string& name) const { return fs::exists(path(name)); }
  std::uint64_t size(const std::string& name) const {
    return exists(name) ? fs::file_size(path(name)) : 0;
  }
  Value sections(const std::string& name) const {
    return CTRFileReadSections(path(name).c_str(), false);
  }
  Value userKeys() const {
    return CTRUserLoggingGetCompactedKVEntries(&context_.userLogging.userKVStorage, true);
  }

  std::string dir_;
  std::vector<std::string> paths_;
};

TEST_F(UserLoggingTest, InitializeBuildsTheFiveDescriptorsFromTheRecord) {
  ctrAllocator = CTRAllocatorCreate(4096, 16384);
  ASSERT_NE(ctrAllocator, nullptr);
  context_ = {};
  state_.currentLogPath = nullptr;
  state_.userKVCount = 7;
  CTRCaptureStartRecord record;
  record.reportDirectoryPath = dir_.c_str();
  record.maxCustomKeys = 5;
  record.logBufferSize = 100;
  record.maxCustomExceptions = 8;
  record.errorLogBufferSize = 999;
  record.errorReportingEnabled = false;
  CTRUserLoggingInitialize(&record);

  const CTRUserLoggingState& logging = context_.userLogging;
  EXPECT_EQ(std::string(logging.userKVStorage.incrementalPath), paths_[0]);
  EXPECT_EQ(std::string(logging.userKVStorage.compactedPath), paths_[1]);
  EXPECT_EQ(logging.userKVStorage.maxIncrementalEntries, 64u);
  EXPECT_EQ(logging.userKVStorage.maxEntries, 5u);
  EXPECT_EQ(std::string(logging.internalKVStorage.incrementalPath), paths_[2]);
  EXPECT_EQ(logging.internalKVStorage.maxEntries, 32u);
  EXPECT_EQ(std::string(logging.logStorage.bPath), paths_[5]);
  EXPECT_TRUE(logging.logStorage.restrictBySize);
  EXPECT_EQ(logging.logStorage.maxSize, 100u);
  EXPECT_EQ(logging.logStorage.entryCount, nullptr);
  // Error reporting disabled: the error limit is 0 whatever the maximum.
  EXPECT_EQ(logging.errorStorage.maxEntries, 0u);
  EXPECT_EQ(logging.errorStorage.entryCount, &state_.errorCount);
  EXPECT_EQ(std::string(logging.customExceptionStorage.aPath), paths_[8]);
  EXPECT_EQ(logging.customExceptionStorage.maxEntries, 8u);
  EXPECT_FALSE(logging.customExceptionStorage.restrictBySize);
  EXPECT_EQ(state_.currentLogPath, logging.logStorage.aPath);
  EXPECT_EQ(state_.currentErrorPath, logging.errorStorage.aPath);
  EXPECT_EQ(state_.currentCustomExceptionPath, logging.customExceptionStorage.aPath);
  EXPECT_EQ(state_.userKVCount, 0u);

  record.errorReportingEnabled = true;
  CTRUserLoggingInitialize(&record);
  EXPECT_EQ(context_.userLogging.errorStorage.maxEntries, 8u);
}

TEST_F(UserLoggingTest, KeyValuesAreHexEncodedAndTheLastWriteOfAKeyWins) {
  CTRUserLoggingRecordUserKeyValue("k", "1");
  CTRUserLoggingRecordUserKeyValue("k", "2");
  CTRUserLoggingRecordUserKeyValue("n", 1);
  CTRUserLoggingRecordUserKeyValue("q\"uote\n", "a\"b");
  EXPECT_EQ(userKeys()["k"].asString(), "2");
  EXPECT_EQ(userKeys()["n"].asString(), "1");
  EXPECT_EQ(userKeys()["q\"uote\n"].asString(), "a\"b");

  CTRUserLoggingRecordUserKeyValue("k", Value());
  EXPECT_FALSE(userKeys().contains("k"));
  EXPECT_EQ(userKeys().count(), 2u);
  EXPECT_EQ(state_.userKVCount, 5u);

  const Value lines = sections(kCTRUserIncrementalKVFile);
  ASSERT_EQ(lines.count(), 5u);
  EXPECT_EQ(lines[0]["kv"]["key"].asString(), "6b");
  EXPECT_EQ(lines[0]["kv"]["value"].asString(), "31");
  EXPECT_TRUE(lines[4]["kv"]["value"].isNull());
  // Undecoded reading gives the hex texts.
  Value raw = CTRUserLoggingGetCompactedKVEntries(&context_.userLogging.userKVStorage, false);
  EXPECT_EQ(raw["6e"].asString(), "31");
  // Internal keys go to their own files.
  CTRUserLoggingRecordInternalKeyValue("com.crashtrail.user-id", "u");
  CTRUserLoggingWriteInternalKeyValue("com.crashtrail.in-background", false);
  EXPECT_EQ(sections(kCTRInternalIncrementalKVFile).count(), 2u);
  EXPECT_EQ(state_.internalKVCount, 2u);
  EXPECT_FALSE(userKeys().contains("com.crashtrail.user-id"));
}

TEST_F(UserLoggingTest, NothingIsRecordedForABadKeyOrBeforeStartUp) {
  CTRUserLoggingRecordUserKeyValue(Value(), "v");
  CTRUserLoggingRecordUserKeyValue(Value(3), "v");
  EXPECT_NE(sdkLog().find("User provided bad key"), std::string::npos);
  context_.initialized = false;
  CTRUserLoggingRecordUserKeyValue("k", "v");
  EXPECT_FALSE(exists(kCTRUserIncrementalKVFile));
  // Before start-up the stored files count as empty.
  context_.initialized = true;
  CTRUserLoggingRecordUserKeyValue("k", "v");
  context_.initialized = false;
  EXPECT_EQ(userKeys().count(), 0u);
}

TEST_F(UserLoggingTest, SixtyFourWritesCompactIntoTheMergedSet) {
  for (int i = 0; i < 63; ++i) {
    CTRUserLoggingRecordUserKeyValue("k" + std::to_string(i % 3), std::to_string(i));
  }
  CTRUserLoggingRecordUserKeyValue("k0", Value());
  drain();
  EXPECT_FALSE(exists(kCTRUserIncrementalKVFile));
  EXPECT_EQ(state_.userKVCount, 0u);
  const Value compacted = sections(kCTRUserCompactedKVFile);
  ASSERT_EQ(compacted.count(), 2u);
  // The compacted file keeps the hex texts.
  EXPECT_EQ(compacted[0]["kv"]["key"].asString(), "6b31");
  EXPECT_EQ(compacted[0]["kv"]["value"].asString(), "3631");  // "61"
  EXPECT_EQ(compacted[1]["kv"]["value"].asString(), "3632");  // "62"

  // Later writes merge over the compacted set.
  CTRUserLoggingRecordUserKeyValue("k1", "new");
  const Value keys = userKeys();
  EXPECT_EQ(keys.count(), 2u);
  EXPECT_EQ(keys["k1"].asString(), "new");
  EXPECT_EQ(keys["k2"].asString(), "62");
}

TEST_F(UserLoggingTest, CompactionKeepsAtMostTheMaximumNumberOfKeys) {
  context_.userLogging.userKVStorage.maxEntries = 2;
  for (int i = 0; i < 64; ++i) CTRUserLoggingRecordUserKeyValue("k" + std::to_string(i % 5), "v");
  drain();
  EXPECT_EQ(sections(kCTRUserCompactedKVFile).count(), 2u);
  EXPECT_EQ(userKeys().count(), 2u);
  EXPECT_NE(sdkLog().find("Truncating KV set, which is above max 2"), std::string::npos);
}

TEST_F(UserLoggingTest, AFailedCompactionKeepsEveryKey) {
  // One compaction succeeds and leaves "k0" only in the compacted file.
  for (int i = 0; i < 64; ++i) CTRUserLoggingRecordUserKeyValue("k0", std::to_string(i));
  drain();
  ASSERT_EQ(userKeys()["k0"].asString(), "63");
  // The next one cannot write its merged set.
  std::filesystem::create_directory(path(kCTRUserCompactedKVFile) + ".tmp");
  for (int i = 0; i < 64; ++i) CTRUserLoggingRecordUserKeyValue("k1", std::to_string(i));
  drain();
  const Value keys = userKeys();
  EXPECT_EQ(keys["k0"].asString(), "63");
  EXPECT_EQ(keys["k1"].asString(), "63");
  EXPECT_TRUE(exists(kCTRUserIncrementalKVFile));
  EXPECT_NE(sdkLog().find("Unable to open compacted k-v file"), std::string::npos);
}

TEST_F(UserLoggingTest, EntriesWithMissingPartsAreDroppedAndNullValuesRemoveKeys) {
  std::ofstream(path(kCTRUserCompactedKVFile)) << R"({"kv":{"key":"61","value":"31"}})"
                                                  "\n"
                                               << R"({"kv":{"key":"62","value":null}})"
                                                  "\n"
                                               << R"({"kv":{"key":"63"}})"
                                                  "\n"
                                               << R"({"kv":{"key":"64","value":"31"}})"
                                                  "\n"
                                               << R"({"kv":{"key":"65","value":"32"}})"
                                                  "\n";
  std::ofstream(path(kCTRUserIncrementalKVFile)) << R"({"kv":{"value":"31"}})"
                                                    "\n"
                                                 << R"({"kv":{"key":"64","value":null}})"
                                                    "\n"
                                                 << R"({"kv":{"key":"65","value":"zz"}})"
                                                    "\n"
                                                 << R"({"kv":{"key":"66","value":"c3"}})"
                                                    "\n"
                                                 << R"({"kv":{"key":"67")"
                                                    "\n";  // cut short by a crash
  const Value keys = userKeys();
  EXPECT_EQ(keys["a"].asString(), "1");
  EXPECT_TRUE(keys["b"].isNull());  // a compacted null value stays
  EXPECT_FALSE(keys.contains("c"));
  EXPECT_FALSE(keys.contains("d"));     // removed by the incremental null
  EXPECT_EQ(keys["e"].asString(), "");  // "zz" decodes to nothing
  EXPECT_FALSE(keys.contains("f"));     // not UTF-8: dropped
  EXPECT_EQ(keys.count(), 3u);
  const std::string log = sdkLog();
  EXPECT_NE(log.find("compacted key/value contains a nil and must be dropped"), std::string::npos);
  EXPECT_NE(log.find("incremental key/value contains a nil and must be dropped"),
            std::string::npos);
}

TEST_F(UserLoggingTest, LogFilesSwapBySize) {
  // Each line is about 50 bytes; the one that takes A over 100 bytes makes
  // the next line go to B, and an old B is removed first.
  std::ofstream(path(kCTRLogBFile)) << "old\n";
  int written = 0;
  while (size(kCTRLogAFile) <= 100) {
    CTRLog("line %d", written++);
    drain();
    ASSERT_LT(written, 100);
  }
  EXPECT_FALSE(exists(kCTRLogBFile));
  EXPECT_EQ(state_.currentLogPath, context_.userLogging.logStorage.bPath);
  EXPECT_EQ(sections(kCTRLogAFile).count(), 2u);
  while (size(kCTRLogBFile) <= 100) {
    CTRLog("line %d", written++);
    drain();
  }
  EXPECT_FALSE(exists(kCTRLogAFile));
  EXPECT_EQ(state_.currentLogPath, context_.userLogging.logStorage.aPath);
  CTRLog("again");
  drain();
  // A was removed and written again.
  const Value lines = sections(kCTRLogAFile);
  ASSERT_EQ(lines.count(), 1u);
  EXPECT_EQ(CTRHexDecodeString(lines[0]["log"]["msg"].asString()).value(), "again");
  EXPECT_GT(lines[0]["log"]["time"].asUInt64(), 1600000000000ull);
}

TEST_F(UserLoggingTest, ErrorFilesSwapByCountAndAZeroLimitWritesNothing) {
  for (int i = 0; i < 5; ++i) CTRUserLoggingRecordError(platform::Error("D", i));
  drain();
  EXPECT_EQ(sections(kCTRErrorsAFile).count(), 1u);  // 5th error, A written again
  EXPECT_EQ(sections(kCTRErrorsBFile).count(), 2u);
  EXPECT_EQ(state_.errorCount, 1u);
  EXPECT_EQ(sections(kCTRErrorsAFile)[0]["error"]["code"].asInt64(), 4);

  fs::remove(path(kCTRErrorsAFile));
  fs::remove(path(kCTRErrorsBFile));
  context_.userLogging.errorStorage.maxEntries = 0;
  CTRUserLoggingRecordError(platform::Error("D", 1));
  context_.userLogging.logStorage.maxSize = 0;
  CTRLog("dropped");
  drain();
  EXPECT_FALSE(exists(kCTRErrorsAFile) || exists(kCTRErrorsBFile));
  EXPECT_FALSE(exists(kCTRLogAFile) || exists(kCTRLogBFile));
}

TEST_F(UserLoggingTest, ErrorsCarryTheirDetailsAsHexPairs) {
  CTRUserLoggingRecordError(platform::Error("Dom\"ain", -42, Value::dictionary({{"a", "b"}})),
                            Value::dictionary({{"x", 1}}));
  CTRUserLoggingRecordError(platform::Error("D", 1), Value::dictionary());
  CTRUserLoggingRecordError(platform::Error());  // no error: nothing
  drain();
  const Value lines = sections(kCTRErrorsAFile);
  ASSERT_EQ(lines.count(), 2u);
  const Value first = lines[0]["error"];
  EXPECT_EQ(CTRHexDecodeString(first["domain"].asString()).value(), "Dom\"ain");
  EXPECT_EQ(first["code"].asInt64(), -42);
  EXPECT_GT(first["time"].asUInt64(), 1600000000u);
  ASSERT_TRUE(first["stacktrace"].isArray());
  EXPECT_GT(first["stacktrace"].count(), 1u);
  EXPECT_GT(first["stacktrace"][0].asUInt64(), 4096u);
  EXPECT_EQ(first["info"], Value::array({Value::array({"61", "62"})}));
  EXPECT_EQ(first["extra_info"], Value::array({Value::array({"78", "31"})}));
  const Value second = lines[1]["error"];
  EXPECT_FALSE(second.contains("info"));
  EXPECT_FALSE(second.contains("extra_info"));
}

TEST_F(UserLoggingTest, LogMessagesBeforeStartUpGoToTheConsoleOnly) {
  BCNConsoleCapture console;
  context_.initialized = false;
  CTRLog("early %@", Value("bird"));
  CTRLog(nullptr);
  EXPECT_TRUE(console.contains(
      "[Crashtrail:Crash] WARNING: CTRLog has been used before (or concurrently with) "
      "Crashtrail initialization and cannot be recorded. The message was: \nearly bird"));
  EXPECT_EQ(console.lines().size(), 1u);
  EXPECT_FALSE(exists(kCTRLogAFile));

  context_.initialized = true;
  console.clear();
  CTRLogAndNSLog("to %s and %d", "console", 7);
  CTRLog("file only");
  drain();
  EXPECT_EQ(console.lines(), std::vector<std::string>{"to console and 7"});
  EXPECT_EQ(sections(kCTRLogAFile).count(), 2u);
}

TEST_F(UserLoggingTest, RecordingFromTheLoggingQueueWritesInPlace) {
  // The controller records internal values from blocks on the logging
  // queue; waiting for the queue from inside it must not hang.
  ctrLoggingQueue->sync([] {
    CTRUserLoggingRecordInternalKeyValue("com.crashtrail.kit-start-time", 12.5);
    CTRLog("inside");
  });
  drain();
  EXPECT_EQ(sections(kCTRInternalIncrementalKVFile).count(), 1u);
  EXPECT_EQ(sections(kCTRLogAFile).count(), 1u);
}

TEST_F(UserLoggingTest, QueuedCompactionOutlivesTheReportThatAskedForIt) {
  write(kCTRMetadataFile, R"({"identity":{"session_id":"launch"}})"
                          "\n");
  auto internal = CTRInternalReport::reportWithPath(dir_);
  ASSERT_TRUE(internal);
  // The 64th write queues the compaction while the report (its descriptor
  // and counter) is destroyed before the compaction runs.
  ctrLoggingQueue->sync([&] {
    auto report = std::make_unique<CTRReport>(internal);
    for (int i = 0; i < 64; ++i) report->setObjectValue(Value(i), "k" + std::to_string(i % 4));
    report.reset();
  });
  drain();
  EXPECT_FALSE(exists(kCTRUserIncrementalKVFile));
  const Value keys = CTRReport(internal, true).customKeys();
  EXPECT_EQ(keys.count(), 4u);
  EXPECT_EQ(keys["k3"].asString(), "63");
}

}  // namespace
}  // namespace sdk
