#include "sdk/crash/ctr_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "crash_context_fixture.h"

namespace sdk {
namespace {

class ReportTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    dir_ = root().file("launch");
    std::filesystem::create_directories(dir_);
    write(kCTRMetadataFile, R"({"identity":{"session_id":"launch","started_at":1500000000}})"
                            "\n"
                            R"({"host":{"os_display_version":"6.1.0","os_build_version":"b"}})"
                            "\n"
                            R"({"application":{"build_version":"121","display_version":"3.8.4"}})"
                            "\n");
    write(kCTRSignalFile, R"({"signal":{"time":1600000000}})"
                          "\n");
    internal_ = CTRInternalReport::reportWithPath(dir_);
    ASSERT_TRUE(internal_);
  }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
  }
  std::string dir_;
  std::shared_ptr<CTRInternalReport> internal_;
};

TEST_F(ReportTest, PrefetchedReportIsAReadOnlySnapshot) {
  CTRReport report(internal_, true);
  std::filesystem::remove(dir_ + "/signal.clsrecord");
  EXPECT_TRUE(report.isReadOnly());
  EXPECT_EQ(report.identifier().asString(), "launch");
  EXPECT_TRUE(report.isCrash().asBool());
  EXPECT_EQ(report.crashedOnDate().asDate().timeIntervalSince1970(), 1600000000.0);
  EXPECT_EQ(report.dateCreated().asDate().timeIntervalSince1970(), 1500000000.0);
  EXPECT_EQ(report.bundleVersion().asString(), "121");
  EXPECT_EQ(report.bundleShortVersionString().asString(), "3.8.4");
  EXPECT_EQ(report.OSVersion().asString(), "6.1.0");
  EXPECT_EQ(report.OSBuildVersion().asString(), "b");

  context_.initialized = true;
  EXPECT_FALSE(report.canRecordNewValues());
  report.setUserIdentifier("u1");
  report.setObjectValue("v", "k");
  EXPECT_EQ(report.internalKVCount(), 0u);
  EXPECT_EQ(report.userKVCount(), 0u);
  EXPECT_TRUE(report.userIdentifier().isNone());
}

TEST_F(ReportTest, LiveReportFetchesOnFirstUseAndRecordsOnlyWithAContext) {
  CTRReport report(internal_);
  EXPECT_FALSE(report.isReadOnly());
  // Nothing is fetched before it is asked for: the crash file is gone first.
  std::filesystem::remove(dir_ + "/signal.clsrecord");
  EXPECT_FALSE(report.isCrash().asBool());
  EXPECT_TRUE(report.crashedOnDate().isNone());
  EXPECT_EQ(report.identifier().asString(), "launch");

  EXPECT_FALSE(report.canRecordNewValues());
  context_.initialized = true;
  EXPECT_TRUE(report.canRecordNewValues());
  ctrContext = nullptr;
  EXPECT_FALSE(report.canRecordNewValues());
}

TEST_F(ReportTest, StorageDescriptorsUseTheReportFilesAndTheContextLimits) {
  context_.userLogging.userKVStorage.maxEntries = 16;
  context_.userLogging.userKVStorage.maxIncrementalEntries = 32;
  context_.userLogging.internalKVStorage.maxEntries = 64;
  context_.userLogging.userKVStorage.incrementalPath = "/elsewhere";
  CTRReport report(internal_);
  CTRUserLoggingKVStorage user = report.userKVStorage();
  EXPECT_STREQ(user.incrementalPath, (dir_ + "/user_incremental_kv.clsrecord").c_str());
  EXPECT_STREQ(user.compactedPath, (dir_ + "/user_compacted_kv.clsrecord").c_str());
  EXPECT_EQ(user.maxEntries, 16u);
  EXPECT_EQ(user.maxIncrementalEntries, 32u);
  CTRUserLoggingKVStorage internal = report.internalKVStorage();
  EXPECT_STREQ(internal.incrementalPath, (dir_ + "/internal_incremental_kv.clsrecord").c_str());
  EXPECT_STREQ(internal.compactedPath, (dir_ + "/internal_compacted_kv.clsrecord").c_str());
  EXPECT_EQ(internal.maxEntries, 64u);
}

TEST_F(ReportTest, RecordedKeysAreReadBackAsCustomKeys) {
  CTRReport live(internal_);
  live.setObjectValue("v1", "k");
  EXPECT_EQ(live.readCustomKeys().count(), 0u);  // nothing recorded before start-up
  EXPECT_EQ(live.userKVCount(), 0u);

  context_.initialized = true;
  context_.userLogging.userKVStorage.maxIncrementalEntries = 64;
  context_.userLogging.userKVStorage.maxEntries = 16;
  live.setObjectValue("v1", "k");
  live.setObjectValue(2, "n");
  live.setObjectValue("gone", "x");
  live.setObjectValue(platform::Value(), "x");
  live.setUserIdentifier("user-1");
  EXPECT_EQ(live.userKVCount(), 4u);
  EXPECT_EQ(live.internalKVCount(), 1u);

  const platform::Value keys = CTRReport(internal_, true).customKeys();
  EXPECT_EQ(keys, platform::Value::dictionary({{"k", "v1"}, {"n", "2"}}));
  EXPECT_EQ(live.readCustomKeys(), keys);
  const platform::Value internalLines =
      CTRFileReadSections((dir_ + "/internal_incremental_kv.clsrecord").c_str(), false);
  ASSERT_EQ(internalLines.count(), 1u);
  EXPECT_EQ(CTRHexDecodeString(internalLines[0]["kv"]["key"].asString()).value(),
            kCTRUserIdentifierKey);
}

}  // namespace
}  // namespace sdk
