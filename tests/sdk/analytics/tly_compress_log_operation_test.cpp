#include "sdk/analytics/tly_compress_log_operation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "sdk/analytics/tly_logger.h"
#include "sdk/platform/bcn_console.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

namespace fs = std::filesystem;
using platform::URL;

std::string gunzip(const std::string& path, bool* ok) {
  gzFile gz = ::gzopen(path.c_str(), "rb");
  std::string out;
  *ok = gz != nullptr;
  if (!gz) return out;
  char buffer[4096];
  int n;
  while ((n = ::gzread(gz, buffer, sizeof buffer)) > 0) out.append(buffer, n);
  *ok = n == 0 && ::gzclose(gz) == Z_OK;
  return out;
}

class CompressTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override { TLYLogger::sharedLogger().setDebugMode(true); }
  void TearDown() override { TLYLogger::sharedLogger().setDebugMode(false); }
  std::string path(const std::string& name) { return root().file(name); }
  URL url(const std::string& name) { return URL::fileURLWithPath(path(name)); }
  void write(const std::string& name, const std::string& content) {
    std::ofstream(path(name), std::ios::binary) << content;
  }
};

TEST_F(CompressTest, CompressesTheWholeLogIntoAnOwnerOnlyGzipAndKeepsTheLog) {
  std::string content;
  for (int i = 0; i < 500; ++i) {
    const std::string payload = "{\"event\":" + std::to_string(i) + "}";
    content += std::to_string(1000 + i) + "\tcustom\t" + std::to_string(payload.size()) + "\t" +
               payload + "\n";
  }
  write("a.log", content);
  auto op = TLYCompressLogOperation::create(url("a.log"), url("a.gz"));
  op->start();
  EXPECT_TRUE(op->didCompress());
  bool ok = false;
  EXPECT_EQ(gunzip(path("a.gz"), &ok), content);
  EXPECT_TRUE(ok);
  struct stat st;
  ASSERT_EQ(::stat(path("a.gz").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(fs::exists(path("a.log"))) << "the controller removes the plain log";
  // gzip magic bytes: a standard gzip stream, not raw deflate.
  std::ifstream in(path("a.gz"), std::ios::binary);
  EXPECT_EQ(in.get(), 0x1f);
  EXPECT_EQ(in.get(), 0x8b);
}

TEST_F(CompressTest, AnExistingCompressedFileIsNeverOverwrittenEvenWhenEmpty) {
  write("a.log", "new content");
  write("a.gz", "");
  BCNConsoleCapture console;
  auto op = TLYCompressLogOperation::create(url("a.log"), url("a.gz"));
  op->start();
  EXPECT_FALSE(op->didCompress());
  EXPECT_EQ(fs::file_size(path("a.gz")), 0u);
  EXPECT_TRUE(console.lines().empty()) << "stops without a message";
}

TEST_F(CompressTest, MissingLogOrFolderIsLoggedAndMakesNothing) {
  BCNConsoleCapture console;
  TLYCompressLogOperation::create(url("none.log"), url("none.gz"))->start();
  EXPECT_FALSE(fs::exists(path("none.gz")));
  EXPECT_TRUE(console.contains("[Tally] Error: attempting to compress nonexistent file: file://"));

  fs::create_directory(path("dir.log"));
  console.clear();
  TLYCompressLogOperation::create(url("dir.log"), url("dir.gz"))->start();
  EXPECT_FALSE(fs::exists(path("dir.gz")));
  EXPECT_EQ(console.count("attempting to compress nonexistent file"), 1u);
}

TEST_F(CompressTest, AnEmptyLogGivesAValidEmptyGzipStream) {
  write("e.log", "");
  TLYCompressLogOperation::create(url("e.log"), url("e.gz"))->start();
  bool ok = false;
  EXPECT_EQ(gunzip(path("e.gz"), &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_GT(fs::file_size(path("e.gz")), 0u);
}

TEST_F(CompressTest, AnUnreadableLogGivesAValidEmptyGzipStream) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  write("u.log", "secret");
  ::chmod(path("u.log").c_str(), 0);
  TLYCompressLogOperation::create(url("u.log"), url("u.gz"))->start();
  bool ok = false;
  EXPECT_EQ(gunzip(path("u.gz"), &ok), "");
  EXPECT_TRUE(ok);
}

TEST_F(CompressTest, AnUncreatableTargetIsLoggedAndLeavesNoFile) {
  write("a.log", "x");
  BCNConsoleCapture console;
  auto op = TLYCompressLogOperation::create(url("a.log"), url("missing-dir/a.gz"));
  op->start();
  EXPECT_FALSE(op->didCompress());
  EXPECT_FALSE(fs::exists(path("missing-dir/a.gz")));
  EXPECT_TRUE(console.contains("[Tally] Failed to compress file at file://"));
}

// A line cut by a crash or a full disk, or damaged on disk, is left out;
// the events around it still travel.
TEST_F(CompressTest, DamagedLinesAreLeftOutAndTheRestKept) {
  const std::string good1 = "1\tmetadata\t2\t{}\n";
  const std::string good2 = "2\tcustom\t9\t{\"a\":\"b\"}\n";
  const std::string good3 = "3\tapp\t2\t[]\n";
  const std::string log = good1 + "2\tcustom\t40\t{\"a\":\"b\"}\n" +  // length is wrong
                          good2 + "garbage\n" + "x\tname\t2\t{}\n" + "4\t\t2\t{}\n" + good3 +
                          "5\tcustom\t12\t{\"cut";  // the last write was cut
  std::size_t damaged = 0;
  EXPECT_EQ(TLYCompressLogOperation::wholeLines(log, &damaged), good1 + good2 + good3);
  EXPECT_EQ(damaged, 5u);
  EXPECT_EQ(TLYCompressLogOperation::wholeLines("", &damaged), "");
  EXPECT_EQ(damaged, 0u);

  write("d.log", log);
  BCNConsoleCapture console;
  auto op = TLYCompressLogOperation::create(url("d.log"), url("d.gz"));
  op->start();
  EXPECT_TRUE(op->didCompress());
  bool ok = false;
  EXPECT_EQ(gunzip(path("d.gz"), &ok), good1 + good2 + good3);
  EXPECT_TRUE(console.contains("Skipped 5 damaged lines"));
}

TEST_F(CompressTest, CompressedURLReplacesTheExtension) {
  EXPECT_EQ(
      TLYCompressLogOperation::compressedURLForUncompressedURL(URL::fileURLWithPath("/e/x.y.log"))
          .decodedPath(),
      "/e/x.y.gz");
}

}  // namespace
}  // namespace sdk
