#include "sdk/crash/ctr_internal_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crash_context_fixture.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

constexpr const char* kMetadata =
    R"({"identity":{"generator":"g","api_key":"k123","started_at":1500000000,)"
    R"("session_id":"0123456789abcdef0123456789abcdef"}})"
    "\n"
    R"({"host":{"os_display_version":"6.1.0","os_build_version":"6.1.0-13-amd64"}})"
    "\n"
    R"({"application":{"build_version":"121","display_version":"3.8.4"}})"
    "\n"
    R"({"storage":{"free":1,"total":2}})"
    "\n";

class InternalReportTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    dir_ = root().file("0123456789abcdef0123456789abcdef");
    std::filesystem::create_directories(dir_);
  }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
  }
  std::shared_ptr<CTRInternalReport> open() { return CTRInternalReport::reportWithPath(dir_); }
  std::string dir_;
};

TEST_F(InternalReportTest, ReadsIdentifierAndMetadataByPosition) {
  write(kCTRMetadataFile, kMetadata);
  auto report = open();
  ASSERT_TRUE(report);
  EXPECT_EQ(report->identifier(), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(report->directoryName(), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(report->metadataPath(), dir_ + "/metadata.clsrecord");
  EXPECT_EQ(report->binaryImagePath(), dir_ + "/binary_images.clsrecord");
  EXPECT_EQ(report->APIKey().asString(), "k123");
  EXPECT_EQ(report->OSVersion().asString(), "6.1.0");
  EXPECT_EQ(report->OSBuildVersion().asString(), "6.1.0-13-amd64");
  EXPECT_EQ(report->bundleVersion().asString(), "121");
  EXPECT_EQ(report->bundleShortVersionString().asString(), "3.8.4");
  ASSERT_TRUE(report->dateCreated().isDate());
  EXPECT_EQ(report->dateCreated().asDate().timeIntervalSince1970(), 1500000000.0);
  EXPECT_TRUE(report->customKeys().isNone());
}

TEST_F(InternalReportTest, MetadataIsReadOnceAndKept) {
  write(kCTRMetadataFile, kMetadata);
  auto report = open();
  ASSERT_TRUE(report);
  EXPECT_EQ(report->APIKey().asString(), "k123");
  std::filesystem::remove(dir_ + "/metadata.clsrecord");
  EXPECT_EQ(report->bundleVersion().asString(), "121");
}

TEST_F(InternalReportTest, SectionsOutOfPlaceOrMissingGiveNone) {
  // The host section in the application's place: both read by position.
  write(kCTRMetadataFile, R"({"identity":{"session_id":"abc"}})"
                          "\n"
                          R"({"application":{"build_version":"121"}})"
                          "\n"
                          R"({"host":{"os_display_version":"6.1.0"}})"
                          "\n");
  auto report = open();
  ASSERT_TRUE(report);
  EXPECT_EQ(report->identifier(), "abc");
  EXPECT_TRUE(report->OSVersion().isNone());
  EXPECT_TRUE(report->bundleVersion().isNone());
  EXPECT_TRUE(report->APIKey().isNone());
  EXPECT_TRUE(report->dateCreated().isNone());
}

TEST_F(InternalReportTest, MissingIdentifierFailsWithConsoleLine) {
  BCNConsoleCapture console;
  EXPECT_FALSE(open());
  EXPECT_TRUE(console.contains("[Crashtrail:Crash] Unable to read identifier at path " + dir_));

  write(kCTRMetadataFile, R"({"identity":{"api_key":"k"}})"
                          "\n");
  EXPECT_FALSE(open());
  // A line cut short by a crash is skipped, so the identity is not found.
  write(kCTRMetadataFile, R"({"identity":{"session_id":"ab)");
  EXPECT_FALSE(open());
  EXPECT_EQ(console.count("Unable to read identifier"), 3u);

  EXPECT_FALSE(CTRInternalReport::reportWithPath(dir_, ""));
  EXPECT_FALSE(CTRInternalReport::reportWithPath("", "abc"));
  auto direct = CTRInternalReport::reportWithPath(dir_, "abc");
  ASSERT_TRUE(direct);
  EXPECT_EQ(direct->identifier(), "abc");
}

TEST_F(InternalReportTest, ErrorsOnlyMustBeSubmittedButIsNoCrash) {
  auto report = CTRInternalReport::reportWithPath(dir_, "id");
  EXPECT_FALSE(report->needsToBeSubmitted());
  EXPECT_FALSE(report->isCrash());
  write(kCTRErrorsAFile, "");
  EXPECT_TRUE(report->needsToBeSubmitted());
  EXPECT_FALSE(report->isCrash());
  EXPECT_TRUE(report->crashedOnDate().isNone());
}

TEST_F(InternalReportTest, KeyValueAndBinaryImageFilesDoNotNeedSubmission) {
  for (const char* name :
       {kCTRMetadataFile, kCTRBinaryImagesFile, kCTRUserCompactedKVFile, kCTRUserIncrementalKVFile,
        kCTRInternalCompactedKVFile, kCTRInternalIncrementalKVFile}) {
    write(name, "");
  }
  auto report = CTRInternalReport::reportWithPath(dir_, "id");
  EXPECT_FALSE(report->needsToBeSubmitted());
  for (const char* name : {kCTRCustomExceptionBFile, kCTRErrorsBFile}) {
    write(name, "");
    EXPECT_TRUE(report->needsToBeSubmitted()) << name;
    EXPECT_FALSE(report->isCrash()) << name;
    std::filesystem::remove(dir_ + "/" + name);
  }
}

TEST_F(InternalReportTest, ACrashRecordLeftEmptyOrCutByAFullDiskNeedsNoSubmission) {
  // What a full disk leaves of the signal handler's record: an empty file
  // (0 bytes free), or a first line cut short (a few kilobytes free).
  auto report = CTRInternalReport::reportWithPath(dir_, "id");
  for (const char* name : {kCTRSignalFile, kCTRExceptionFile, kCTRMachExceptionFile}) {
    write(name, "");
    EXPECT_FALSE(report->needsToBeSubmitted()) << name;
    write(name, R"({"signal":{"number":11,"code":1,"addr)");
    EXPECT_FALSE(report->needsToBeSubmitted()) << name;
    // A whole first line is a record, whatever was cut after it.
    write(name, R"({"signal":{"number":11}})"
                "\n"
                R"({"threads":[{"crashed":true,"sta)");
    EXPECT_TRUE(report->needsToBeSubmitted()) << name;
    std::filesystem::remove(dir_ + "/" + name);
  }
}

TEST_F(InternalReportTest, ExceptionOnlyIsACrashWithoutDate) {
  write(kCTRExceptionFile, R"({"exception":{"time":1600000000}})"
                           "\n");
  auto report = CTRInternalReport::reportWithPath(dir_, "id");
  EXPECT_TRUE(report->isCrash());
  EXPECT_TRUE(report->needsToBeSubmitted());
  EXPECT_TRUE(report->crashedOnDate().isNone());
}

TEST_F(InternalReportTest, CrashTimeComesFromMachExceptionBeforeSignal) {
  auto report = CTRInternalReport::reportWithPath(dir_, "id");
  write(kCTRSignalFile, R"({"signal":{"number":11,"time":1600000002}})"
                        "\n");
  ASSERT_TRUE(report->crashedOnDate().isDate());
  EXPECT_EQ(report->crashedOnDate().asDate().timeIntervalSince1970(), 1600000002.0);

  // A Mach exception file without a time falls back to the signal.
  write(kCTRMachExceptionFile, R"({"mach_exception":{"code":1}})"
                               "\n");
  EXPECT_EQ(report->crashedOnDate().asDate().timeIntervalSince1970(), 1600000002.0);

  write(kCTRMachExceptionFile, R"({"mach_exception":{"time":1600000001}})"
                               "\n");
  EXPECT_EQ(report->crashedOnDate().asDate().timeIntervalSince1970(), 1600000001.0);
  // Only the first section of the file counts.
  write(kCTRMachExceptionFile, R"({"threads":[]})"
                               "\n"
                               R"({"mach_exception":{"time":1600000001}})"
                               "\n");
  EXPECT_EQ(report->crashedOnDate().asDate().timeIntervalSince1970(), 1600000002.0);
}

TEST_F(InternalReportTest, SymbolicatableFilesAreListedInOrderWhetherPresentOrNot) {
  write(kCTRSignalFile, "");
  auto report = CTRInternalReport::reportWithPath(dir_ + "/", "id");
  std::vector<std::string> paths;
  report->enumerateSymbolicatableFilesInContent(
      [&](const std::string& path) { paths.push_back(path); });
  EXPECT_EQ(paths, (std::vector<std::string>{dir_ + "/exception.clsrecord",
                                             dir_ + "/mach_exception.clsrecord",
                                             dir_ + "/signal.clsrecord"}));
}

TEST_F(InternalReportTest, ReadingARecordFileWithoutSectionsGivesNone) {
  EXPECT_TRUE(CTRInternalReport::readCLSFileAtPath(dir_ + "/absent.clsrecord").isNone());
  write("empty.clsrecord", "");
  EXPECT_TRUE(CTRInternalReport::readCLSFileAtPath(dir_ + "/empty.clsrecord").isNone());
  write("two.clsrecord", "{\"a\":{}}\nnot json\n{\"b\":[1]}\n");
  platform::Value sections = CTRInternalReport::readCLSFileAtPath(dir_ + "/two.clsrecord");
  ASSERT_EQ(sections.count(), 2u);
  EXPECT_TRUE(sections[std::size_t{1}]["b"].isArray());
}

}  // namespace
}  // namespace sdk
