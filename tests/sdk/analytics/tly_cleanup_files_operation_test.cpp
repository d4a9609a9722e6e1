#include "sdk/analytics/tly_cleanup_files_operation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sdk/analytics/tly_file_utils.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/platform/bcn_console.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

namespace fs = std::filesystem;
using platform::URL;

class CleanupTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    dir_ = root().file("events");
    fs::create_directories(dir_);
    TLYLogger::sharedLogger().setDebugMode(true);
  }
  void TearDown() override { TLYLogger::sharedLogger().setDebugMode(false); }

  URL dirURL() const { return URL::fileURLWithPath(dir_, true); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  void write(const std::string& name, const std::string& content = "x") {
    std::ofstream(path(name), std::ios::binary) << content;
  }
  bool exists(const std::string& name) const { return fs::exists(path(name)); }

  static std::vector<std::string> names(const std::vector<URL>& urls) {
    std::vector<std::string> out;
    for (const URL& url : urls) out.push_back(url.lastPathComponent());
    std::sort(out.begin(), out.end());
    return out;
  }

  // Waits until a file made now gets a later creation date than `than`
  // (file times advance in coarse steps).
  platform::Date waitForLaterFileDate(platform::Date than) {
    for (int i = 0; i < 10000; ++i) {
      write(".probe");
      const platform::Date now =
          TLYFileUtils::fileCreatedDateAtURL(URL::fileURLWithPath(path(".probe")), {});
      fs::remove(path(".probe"));
      if (now > than) return now;
      ::usleep(1000);
    }
    ADD_FAILURE() << "file dates never advanced";
    return than;
  }

  std::string dir_;
};

TEST_F(CleanupTest, SortsLeftoversByStageAndRemovesForeignFilesAndStaleCompressedLogs) {
  write("a.log");
  write("a.gz");
  write("b.gz");
  write("c.multipartmime");
  write("notes.txt");
  fs::create_directory(path("empty-folder"));

  auto op = TLYCleanupFilesOperation::create(dirURL(), 100);
  int calls = 0;
  std::vector<URL> logs, compressed, packages;
  op->setSuccessBlock([&](const auto& l, const auto& c, const auto& p) {
    ++calls;
    logs = l;
    compressed = c;
    packages = p;
  });
  op->start();
  ASSERT_EQ(calls, 1);
  EXPECT_EQ(names(logs), std::vector<std::string>{"a.log"});
  EXPECT_EQ(names(compressed), std::vector<std::string>{"b.gz"});
  EXPECT_EQ(names(packages), std::vector<std::string>{"c.multipartmime"});
  EXPECT_FALSE(exists("notes.txt"));
  EXPECT_FALSE(exists("empty-folder"));
  EXPECT_FALSE(exists("a.gz")) << "made again from a.log";
  EXPECT_TRUE(exists("a.log"));
  EXPECT_TRUE(exists("b.gz"));
  EXPECT_TRUE(exists("c.multipartmime"));
}

TEST_F(CleanupTest, BaseNamesKeepInnerDotsAndRunsWithoutASuccessBlock) {
  write("x.y.log");
  write("x.y.gz");
  write("x.gz");
  TLYCleanupFilesOperation::create(dirURL(), 100)->start();
  EXPECT_FALSE(exists("x.y.gz"));
  EXPECT_TRUE(exists("x.gz"));
  EXPECT_EQ(TLYFileUtils::baseNameForURL(URL::fileURLWithPath("/e/x.y.log")), "x.y");
}

TEST_F(CleanupTest, BoundsPackagesKeepingTheNewest) {
  for (int i = 0; i < 3; ++i) write("old" + std::to_string(i) + ".multipartmime");
  platform::Date oldest = platform::Date::distantPast();
  for (int i = 0; i < 3; ++i) {
    oldest = std::max(
        oldest, TLYFileUtils::fileCreatedDateAtURL(
                    URL::fileURLWithPath(path("old" + std::to_string(i) + ".multipartmime")), {}));
  }
  waitForLaterFileDate(oldest);
  for (int i = 0; i < 100; ++i) write("new" + std::to_string(i) + ".multipartmime");

  std::vector<URL> packages;
  auto op = TLYCleanupFilesOperation::create(dirURL(), 100);
  op->setSuccessBlock([&](const auto&, const auto&, const auto& p) { packages = p; });
  op->start();
  EXPECT_EQ(packages.size(), 100u);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(exists("old" + std::to_string(i) + ".multipartmime"));
  for (const URL& url : packages) EXPECT_EQ(url.lastPathComponent().rfind("new", 0), 0u);
  EXPECT_EQ(TLYFileUtils::filesWithExtension("multipartmime", dirURL()).size(), 100u);
}

TEST_F(CleanupTest, MaximumIsReadAsUnsigned) {
  for (int i = 0; i < 4; ++i) write("p" + std::to_string(i) + ".multipartmime");
  std::vector<URL> all = TLYFileUtils::allFilesInDirectory(dirURL());
  ASSERT_EQ(all.size(), 4u);

  EXPECT_EQ(TLYCleanupFilesOperation::URLsByRemovingOldFiles(all, 4), all);
  EXPECT_EQ(TLYCleanupFilesOperation::URLsByRemovingOldFiles(all, -1), all)
      << "a negative maximum keeps every package";
  EXPECT_EQ(TLYFileUtils::allFilesInDirectory(dirURL()).size(), 4u);

  // What is dropped is counted on the console, with the debug switch off.
  TLYLogger::sharedLogger().setDebugMode(false);
  BCNConsoleCapture console;
  EXPECT_TRUE(TLYCleanupFilesOperation::URLsByRemovingOldFiles(all, 0).empty());
  EXPECT_TRUE(TLYFileUtils::allFilesInDirectory(dirURL()).empty());
  EXPECT_TRUE(console.contains("Dropped 4 oldest pending packages over the limit of 0"));
}

TEST_F(CleanupTest, UnreadableDatesCountAsOldest) {
  write("real.multipartmime");
  std::vector<URL> urls = {URL::fileURLWithPath(path("gone.multipartmime")),
                           URL::fileURLWithPath(path("real.multipartmime"))};
  auto kept = TLYCleanupFilesOperation::URLsByRemovingOldFiles(urls, 1);
  EXPECT_EQ(names(kept), std::vector<std::string>{"real.multipartmime"});
}

TEST_F(CleanupTest, FileUtilsListOneLevelAndAnswerSizesAndDates) {
  write("a.log", "12345");
  write("b.gz", "");
  write(".hidden.log", "1");
  fs::create_directories(path("sub/deeper"));
  std::ofstream(path("sub/inner.log")) << "x";

  EXPECT_EQ(names(TLYFileUtils::allFilesInDirectory(dirURL())),
            (std::vector<std::string>{".hidden.log", "a.log", "b.gz", "sub"}));
  EXPECT_EQ(names(TLYFileUtils::filesWithExtension("log", dirURL())),
            (std::vector<std::string>{".hidden.log", "a.log"}));
  EXPECT_TRUE(TLYFileUtils::filesWithExtension("LOG", dirURL()).empty()) << "exact match";

  EXPECT_EQ(TLYFileUtils::fileSizeAtURL(URL::fileURLWithPath(path("a.log"))), 5u);
  EXPECT_EQ(TLYFileUtils::fileSizeAtURL(URL::fileURLWithPath(path("missing"))), 0u);

  const platform::Date fallback(42);
  EXPECT_EQ(TLYFileUtils::fileCreatedDateAtURL(URL::fileURLWithPath(path("missing")), fallback),
            fallback);
  const platform::Date created =
      TLYFileUtils::fileCreatedDateAtURL(URL::fileURLWithPath(path("a.log")), fallback);
  EXPECT_LT(std::abs(created.timeIntervalSinceNow()), 600);
}

TEST_F(CleanupTest, ListingFailuresAreLoggedAndGiveNothing) {
  BCNConsoleCapture console;
  EXPECT_TRUE(
      TLYFileUtils::allFilesInDirectory(URL::fileURLWithPath(path("nowhere"), true)).empty());
  EXPECT_TRUE(console.contains("[Tally] Unable to read contents of file://"));

  write("z.log");
  console.clear();
  URL plain(dir_);  // a bare path, not a file URL
  EXPECT_EQ(TLYFileUtils::allFilesInDirectory(plain).size(), 1u);
  EXPECT_TRUE(console.contains("is not a file URL, will attempt to enumerate files."));
}

TEST_F(CleanupTest, NothingIsLoggedOutsideDebugMode) {
  TLYLogger::sharedLogger().setDebugMode(false);
  BCNConsoleCapture console;
  TLYFileUtils::allFilesInDirectory(URL::fileURLWithPath(path("nowhere"), true));
  EXPECT_TRUE(console.lines().empty());
}

}  // namespace
}  // namespace sdk
