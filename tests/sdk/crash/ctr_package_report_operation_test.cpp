#include "sdk/crash/ctr_package_report_operation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "crash_context_fixture.h"
#include "sdk/crash/ctr_file_manager.h"
#include "sdk/crash/ctr_internal_report.h"
#include "support/multipart_form.h"

namespace sdk {
namespace {

namespace fs = std::filesystem;

struct Part {
  std::string name;
  std::optional<std::string> fileName;
  std::string contentType;
  std::string content;
};

// The value of `key="..."` in a Content-Disposition line.
std::optional<std::string> dispositionValue(const std::string& line, const std::string& key) {
  const std::string marker = "; " + key + "=\"";
  const auto at = line.find(marker);
  if (at == std::string::npos) return std::nullopt;
  const auto start = at + marker.size();
  return line.substr(start, line.find('"', start) - start);
}

// Splits a package body written by the encoder back into its parts; fails
// the test when the frame is not as the encoder writes it.
std::vector<Part> parseMultipart(const std::string& body, const std::string& boundary) {
  std::vector<Part> parts;
  const std::string header = "MIME-Version: 1.0\r\n";
  EXPECT_EQ(body.compare(0, header.size(), header), 0);
  const std::string delimiter = "--" + boundary;
  const std::string footer = delimiter + "--\r\n";
  EXPECT_GE(body.size(), footer.size());
  EXPECT_EQ(body.substr(body.size() - footer.size()), footer);
  std::size_t pos = header.size();
  while (body.compare(pos, delimiter.size() + 2, delimiter + "\r\n") == 0) {
    pos += delimiter.size() + 2;
    const auto headersEnd = body.find("\r\n\r\n", pos);
    if (headersEnd == std::string::npos) break;
    Part part;
    std::size_t line = pos;
    while (line < headersEnd) {
      auto lineEnd = body.find("\r\n", line);
      const std::string text = body.substr(line, lineEnd - line);
      if (text.rfind("Content-Disposition: form-data", 0) == 0) {
        part.name = dispositionValue(text, "name").value_or("");
        part.fileName = dispositionValue(text, "filename");
      } else if (text.rfind("Content-Type: ", 0) == 0) {
        part.contentType = text.substr(14);
      }
      line = lineEnd + 2;
    }
    const std::size_t contentStart = headersEnd + 4;
    const auto contentEnd = body.find("\r\n" + delimiter, contentStart);
    if (contentEnd == std::string::npos) break;
    part.content = body.substr(contentStart, contentEnd - contentStart);
    parts.push_back(part);
    pos = contentEnd + 2;
  }
  EXPECT_EQ(pos, body.size() - footer.size()) << "trailing bytes after the last part";
  return parts;
}

using varnel::testing::gunzip;

unsigned modeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

class CTRPackageReportOperationTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    fileManager_ = std::make_shared<CTRFileManager>();
    ASSERT_TRUE(fileManager_->prepareForNewLaunch());
    reportPath_ = fileManager_->processingPath() + "/0123456789abcdef0123456789abcdef";
    ASSERT_TRUE(fileManager_->createDirectoryAtPath(reportPath_));
  }

  void write(const std::string& name, const std::string& content) {
    std::ofstream(reportPath_ + "/" + name, std::ios::binary) << content;
  }

  // Runs the operation the way the submission pipeline does.
  std::shared_ptr<CTRPackageReportOperation> package(const std::string& identifier = "R-1") {
    auto report = std::make_shared<CTRInternalReport>(reportPath_, identifier);
    auto operation = std::make_shared<CTRPackageReportOperation>(report, fileManager_);
    operation->start();
    return operation;
  }

  // The parts of the package at `path` by field name.
  std::map<std::string, Part> partsOf(const std::string& path) {
    const std::string name = fs::path(path).stem().string();
    std::map<std::string, Part> byName;
    for (auto& part : parseMultipart(readFile(path), name)) byName[part.name] = part;
    return byName;
  }

  std::shared_ptr<CTRFileManager> fileManager_;
  std::string reportPath_;
  const std::string metadata_ = R"({"identity":{"api_key":"key-123","session_id":"s"}})"
                                "\n";
  const std::string signal_ = R"({"signal":{"number":11,"time":1500000000}})"
                              "\n";
};

TEST_F(CTRPackageReportOperationTest, PackagesEveryFileGzippedWithKeyAndIdentifier) {
  write("metadata.clsrecord", metadata_);
  write("signal.clsrecord", signal_);
  auto operation = package();
  ASSERT_TRUE(operation->finalPath());
  const std::string path = *operation->finalPath();
  EXPECT_EQ(fs::path(path).parent_path().string(), fileManager_->preparedPath());
  EXPECT_EQ(fs::path(path).extension().string(), ".multipartmime");
  // The boundary is the package's name (the uploader takes the content type from it).
  EXPECT_EQ(fs::path(path).stem().string().size(), 36u);
  // The package carries the API key: owner-only.
  EXPECT_EQ(modeOf(path), 0600u);

  auto parts = partsOf(path);
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts["api_key"].content, "key-123");
  EXPECT_EQ(parts["api_key"].contentType, "text/plain");
  EXPECT_FALSE(parts["api_key"].fileName);
  EXPECT_EQ(parts["report_id"].content, "R-1");
  for (const auto& [name, content] : std::map<std::string, std::string>{
           {"metadata.clsrecord", metadata_}, {"signal.clsrecord", signal_}}) {
    const Part& part = parts[name];
    EXPECT_EQ(part.fileName, name + ".gz");
    EXPECT_EQ(part.contentType, "application/x-gzip");
    EXPECT_EQ(gunzip(part.content), content) << name;
    // The gzip file stays next to its source, owner-only.
    EXPECT_EQ(modeOf(reportPath_ + "/" + name + ".gz"), 0600u);
  }
  // The values come first, in this order.
  const std::string body = readFile(path);
  EXPECT_LT(body.find("name=\"api_key\""), body.find("name=\"report_id\""));
  EXPECT_LT(body.find("name=\"report_id\""), body.find("filename="));
}

TEST_F(CTRPackageReportOperationTest, LeftoversEmptyAndHiddenFilesAreSkipped) {
  write("metadata.clsrecord", metadata_);
  write("signal.clsrecord", signal_);
  // A leftover of an interrupted packaging: never packaged itself, and
  // replaced by a fresh compression of its source.
  write("signal.clsrecord.gz", "stale bytes");
  write("errors_a.clsrecord", "");
  write(".hidden", "secret");
  auto operation = package();
  ASSERT_TRUE(operation->finalPath());
  auto parts = partsOf(*operation->finalPath());
  EXPECT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts.count("signal.clsrecord.gz"), 0u);
  EXPECT_EQ(parts.count("errors_a.clsrecord"), 0u);
  EXPECT_EQ(parts.count(".hidden"), 0u);
  EXPECT_EQ(gunzip(parts["signal.clsrecord"].content), signal_);
  EXPECT_EQ(gunzip(readFile(reportPath_ + "/signal.clsrecord.gz")), signal_);
  const std::string log = sdkLog();
  EXPECT_NE(log.find("ERROR [packageEntry:"), std::string::npos) << log;
  EXPECT_NE(log.find("Error: unable to read data for compression: errors_a.clsrecord"),
            std::string::npos)
      << log;
}

TEST_F(CTRPackageReportOperationTest, NoIdentifierOrKeyLeavesTheirFieldsOut) {
  write("metadata.clsrecord", R"({"identity":{"session_id":"s"}})"
                              "\n");
  auto operation = package("");
  ASSERT_TRUE(operation->finalPath());
  auto parts = partsOf(*operation->finalPath());
  EXPECT_EQ(parts.count("report_id"), 0u);
  EXPECT_EQ(parts.count("api_key"), 0u);
  EXPECT_EQ(parts.size(), 1u);

  // A null API key counts as none.
  write("metadata.clsrecord", R"({"identity":{"api_key":null}})"
                              "\n");
  auto second = package("R-2");
  ASSERT_TRUE(second->finalPath());
  auto secondParts = partsOf(*second->finalPath());
  EXPECT_EQ(secondParts.count("api_key"), 0u);
  EXPECT_EQ(secondParts["report_id"].content, "R-2");
}

TEST_F(CTRPackageReportOperationTest, FailedCompressionFallsBackToPlainText) {
  write("signal.clsrecord", signal_);
  // A directory where the gzip file would go: compression cannot open it.
  fs::create_directory(reportPath_ + "/signal.clsrecord.gz");
  auto operation = package();
  ASSERT_TRUE(operation->finalPath());
  auto parts = partsOf(*operation->finalPath());
  const Part& part = parts["signal.clsrecord"];
  EXPECT_EQ(part.contentType, "text/plain");
  EXPECT_EQ(part.fileName, "signal.clsrecord.gz");
  EXPECT_EQ(part.content, signal_);
  const std::string log = sdkLog();
  EXPECT_NE(log.find("Error: unable to open file for compression"), std::string::npos) << log;
  EXPECT_NE(log.find("Error: compression failed for signal.clsrecord.gz"), std::string::npos)
      << log;
}

TEST_F(CTRPackageReportOperationTest, CancelledOperationLeavesNoPackage) {
  write("signal.clsrecord", signal_);
  auto report = std::make_shared<CTRInternalReport>(reportPath_, "R-1");
  // Cancelled before it ran: started, it never packages.
  auto before = std::make_shared<CTRPackageReportOperation>(report, fileManager_);
  before->cancel();
  before->start();
  EXPECT_FALSE(before->finalPath());
  // Cancelled while packaging: no part is added and the file is removed.
  auto during = std::make_shared<CTRPackageReportOperation>(report, fileManager_);
  during->cancel();
  during->main();
  EXPECT_FALSE(during->finalPath());
  EXPECT_TRUE(fileManager_->preparedPathContents().empty());
}

TEST_F(CTRPackageReportOperationTest, UnwritablePackageGivesNoPath) {
  write("signal.clsrecord", signal_);
  fs::remove_all(fileManager_->preparedPath());
  auto operation = package();
  EXPECT_FALSE(operation->finalPath());
  EXPECT_FALSE(fs::exists(fileManager_->preparedPath()));
}

TEST_F(CTRPackageReportOperationTest, CompressionResultAndPaths) {
  const std::string target = root().file("out.gz");
  EXPECT_FALSE(CTRPackageReportOperation::compressData({}, target));
  EXPECT_FALSE(fs::exists(target));
  platform::Bytes large(300000);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(CTRPackageReportOperation::compressData(large, target));
  EXPECT_EQ(gunzip(readFile(target)), std::string(large.begin(), large.end()));
  EXPECT_FALSE(CTRPackageReportOperation::compressData(large, root().file("missing/out.gz")));

  auto report = std::make_shared<CTRInternalReport>(reportPath_, "R");
  CTRPackageReportOperation operation(report, fileManager_);
  EXPECT_EQ(operation.packagedPathWithName("B"), fileManager_->preparedPath() + "/B.multipartmime");
  // An empty path adds nothing.
  auto stream = std::make_shared<platform::urlloading::MemoryOutputStream>();
  BCNMultipartMimeStreamEncoder encoder(stream, "B");
  encoder.beginEncoding();
  operation.encode(encoder, platform::Bytes{'x'}, "");
  encoder.endEncoding();
  EXPECT_EQ(encoder.length(), std::string("MIME-Version: 1.0\r\n--B--\r\n").size());
  EXPECT_NE(sdkLog().find("Error: path is invalid"), std::string::npos);
}

}  // namespace
}  // namespace sdk
