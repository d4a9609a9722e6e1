#include "sdk/analytics/tly_package_log_operation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sdk/analytics/tly_compress_log_operation.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/platform/bcn_console.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

namespace fs = std::filesystem;
using platform::URL;

class PackageTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override { TLYLogger::sharedLogger().setDebugMode(true); }
  void TearDown() override { TLYLogger::sharedLogger().setDebugMode(false); }
  std::string path(const std::string& name) { return root().file(name); }
  URL url(const std::string& name) { return URL::fileURLWithPath(path(name)); }
  std::string read(const std::string& name) {
    std::ifstream in(path(name), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void write(const std::string& name, const std::string& content) {
    std::ofstream(path(name), std::ios::binary) << content;
  }
};

const char* kBoundary = "0A1B2C3D-0000-4000-8000-00000000ABCD";

TEST_F(PackageTest, WrapsTheCompressedLogAsTheOnlyFilePart) {
  write("e.log", "{\"a\":1}\n");
  TLYCompressLogOperation::create(url("e.log"), url("e.gz"))->start();
  const std::string gz = read("e.gz");
  ASSERT_FALSE(gz.empty());

  const URL package = TLYPackageLogOperation::multipartURLForCompressedURL(url("e.gz"), kBoundary);
  EXPECT_EQ(package.lastPathComponent(), std::string(kBoundary) + ".multipartmime");
  auto op = TLYPackageLogOperation::create(url("e.gz"), package, kBoundary);
  op->start();
  EXPECT_TRUE(op->didPackage());

  const std::string expected = std::string("MIME-Version: 1.0\r\n--") + kBoundary +
                               "\r\nContent-Disposition: form-data; name=\"e.gz\"; "
                               "filename=\"e.gz\"\r\n"
                               "Content-Type: application/vnd.crashtrail.mac.events\r\n"
                               "Content-Transfer-Encoding: binary\r\n\r\n" +
                               gz + "\r\n--" + kBoundary + "--\r\n";
  EXPECT_EQ(read(std::string(kBoundary) + ".multipartmime"), expected);
  struct stat st;
  ASSERT_EQ(::stat(package.decodedPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(fs::exists(path("e.gz"))) << "the controller removes the compressed log";
}

TEST_F(PackageTest, ReplacesAnEarlierPackage) {
  write("e.gz", "gzip bytes");
  write("p.multipartmime", std::string(5000, 'x'));
  TLYPackageLogOperation::create(url("e.gz"), url("p.multipartmime"), kBoundary)->start();
  const std::string body = read("p.multipartmime");
  EXPECT_EQ(body.rfind("MIME-Version: 1.0\r\n", 0), 0u);
  EXPECT_EQ(body.find('x'), std::string::npos);
}

TEST_F(PackageTest, AMissingCompressedFileIsLoggedAndMakesNoPackage) {
  BCNConsoleCapture console;
  auto op = TLYPackageLogOperation::create(url("none.gz"), url("p.multipartmime"), kBoundary);
  op->start();
  EXPECT_FALSE(op->didPackage());
  EXPECT_FALSE(fs::exists(path("p.multipartmime")));
  EXPECT_TRUE(console.contains("[Tally] Error: attempting to package nonexistent file: file://"));

  fs::create_directory(path("dir.gz"));
  TLYPackageLogOperation::create(url("dir.gz"), url("q.multipartmime"), kBoundary)->start();
  EXPECT_FALSE(fs::exists(path("q.multipartmime")));
}

TEST_F(PackageTest, AnUnwritablePackageLeavesNothingBehind) {
  write("e.gz", "gzip bytes");
  BCNConsoleCapture console;
  auto op = TLYPackageLogOperation::create(url("e.gz"), url("no-dir/p.multipartmime"), kBoundary);
  op->start();
  EXPECT_FALSE(op->didPackage());
  EXPECT_FALSE(fs::exists(path("no-dir/p.multipartmime")));
  EXPECT_TRUE(console.contains("Failed to write package"));
}

}  // namespace
}  // namespace sdk
