#include "sdk/crash/ctr_file_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "crash_context_fixture.h"
#include "platform/system/bundle.h"
#include "platform/system/paths.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

namespace fs = std::filesystem;

class FileManagerTest : public testing::CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    std::string resources = root().file("bundle");
    fs::create_directories(resources);
    bundle_ = std::make_shared<platform::Bundle>(
        resources + "/app", resources,
        platform::Value::dictionary({{"CFBundleIdentifier", "com.example/app/x"}}));
  }
  static void touch(const std::string& path, const std::string& text = "") {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::vector<std::string> names(const std::vector<std::string>& paths) {
    std::vector<std::string> result;
    for (const auto& p : paths) result.push_back(fs::path(p).filename().string());
    std::sort(result.begin(), result.end());
    return result;
  }
  static std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> result;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      result.push_back(entry.path().filename().string());
    }
    std::sort(result.begin(), result.end());
    return result;
  }
  platform::BundlePtr bundle_;  // the program whose reports are kept
};

TEST_F(FileManagerTest, LayoutLivesInCachesUnderTheBundleIdentifier) {
  CTRFileManager manager(bundle_);
  std::string root = platform::paths::caches() + "/com.crashtrail.data/com.example_app_x";
  EXPECT_EQ(manager.rootPath(), root);
  EXPECT_EQ(manager.structurePath(), root + "/v3");
  EXPECT_EQ(manager.activePath(), root + "/v3/active");
  EXPECT_EQ(manager.pendingPath(), root + "/v3/pending");
  EXPECT_EQ(manager.processingPath(), root + "/v3/processing");
  EXPECT_EQ(manager.preparedPath(), root + "/v3/prepared");
}

// The folders hold the current session's files (install id, API key, load
// addresses): their user's alone, whatever the umask (022 here, as a home
// made by useradd has it) and wherever the home lies.
TEST_F(FileManagerTest, NewLaunchCreatesThreeStateDirectoriesWith0700) {
  CTRFileManager manager(bundle_);
  mode_t previous = ::umask(022);
  bool prepared = manager.prepareForNewLaunch();
  auto launch = manager.setupNewPathForExecutionIdentifier("abcdef");
  ::umask(previous);
  ASSERT_TRUE(prepared);
  EXPECT_EQ(namesIn(manager.structurePath()),
            (std::vector<std::string>{"active", "prepared", "processing"}));
  for (const std::string& dir : {manager.rootPath(), manager.structurePath(), manager.activePath(),
                                 manager.processingPath(), manager.preparedPath()}) {
    struct stat info {};
    ASSERT_EQ(::stat(dir.c_str(), &info), 0) << dir;
    EXPECT_EQ(info.st_mode & 07777, 0700u) << dir;
  }
  ASSERT_TRUE(launch);
  EXPECT_EQ(*launch, manager.activePath() + "/abcdef");
  EXPECT_TRUE(fs::is_directory(*launch));
  // Creating what exists is fine.
  EXPECT_TRUE(manager.prepareForNewLaunch());
  EXPECT_FALSE(manager.setupNewPathForExecutionIdentifier(""));
}

TEST_F(FileManagerTest, CreationFailureIsLoggedAndStopsTheLaunchPreparation) {
  CTRFileManager manager(bundle_);
  fs::create_directories(manager.structurePath());
  touch(manager.processingPath());  // a file where a directory belongs
  BCNConsoleCapture console;
  EXPECT_FALSE(manager.prepareForNewLaunch());
  EXPECT_TRUE(fs::is_directory(manager.activePath()));
  EXPECT_FALSE(fs::exists(manager.preparedPath()));
  EXPECT_EQ(console.count("[FileManager] Unable to create directory"), 1u);
  EXPECT_FALSE(manager.setupNewPathForExecutionIdentifier("../processing/x"));
}

TEST_F(FileManagerTest, ListingSkipsHiddenEntriesAndGivesExtensions) {
  CTRFileManager manager(bundle_);
  ASSERT_TRUE(manager.prepareForNewLaunch());
  const std::string dir = manager.preparedPath();
  touch(dir + "/a.multipartmime");
  touch(dir + "/.hidden.multipartmime");
  touch(dir + "/noext");
  touch(dir + "/b.tar.gz");
  fs::create_directory(dir + "/.DS");
  std::map<std::string, std::string> seen;
  manager.enumerateFilesInPreparedDirectoryUsingBlock(
      [&](const std::string& path, const std::string& extension) { seen[path] = extension; });
  EXPECT_EQ(seen, (std::map<std::string, std::string>{{dir + "/a.multipartmime", "multipartmime"},
                                                      {dir + "/b.tar.gz", "gz"},
                                                      {dir + "/noext", ""}}));
  EXPECT_EQ(names(manager.preparedPathContents()),
            (std::vector<std::string>{"a.multipartmime", "b.tar.gz", "noext"}));
  // An unreadable (here: missing) directory yields nothing.
  EXPECT_TRUE(manager.contentsOfDirectory(root().file("missing")).empty());
  EXPECT_TRUE(manager.contentsOfDirectory(manager.pendingPath()).empty());
}

TEST_F(FileManagerTest, EmptyingAllPathsKeepsHiddenEntriesAndCountsMissingAsEmpty) {
  CTRFileManager manager(bundle_);
  ASSERT_TRUE(manager.prepareForNewLaunch());
  auto launch = manager.setupNewPathForExecutionIdentifier("id1");
  ASSERT_TRUE(launch);
  touch(*launch + "/signal.clsrecord");
  fs::create_directories(manager.processingPath() + "/id0/sub");
  touch(manager.processingPath() + "/id0/sub/x");
  touch(manager.processingPath() + "/.keep");
  touch(manager.preparedPath() + "/p.multipartmime");
  ASSERT_FALSE(fs::exists(manager.pendingPath()));

  BCNConsoleCapture console;
  EXPECT_TRUE(manager.removeContentsOfAllPaths());
  EXPECT_TRUE(console.lines().empty());
  EXPECT_TRUE(namesIn(manager.activePath()).empty());
  EXPECT_EQ(namesIn(manager.processingPath()), std::vector<std::string>{".keep"});
  EXPECT_TRUE(namesIn(manager.preparedPath()).empty());
  EXPECT_TRUE(manager.removeContentsOfPendingPath());
  EXPECT_TRUE(manager.removeContentsOfProcessingPath());
}

TEST_F(FileManagerTest, RemovingAMissingItemFailsAndLogs) {
  CTRFileManager manager(bundle_);
  BCNConsoleCapture console;
  std::string missing = root().file("nothing");
  EXPECT_FALSE(manager.removeItemAtPath(missing));
  EXPECT_TRUE(console.contains("[FileManager] Failed to remove file '" + missing + "' : "));
  touch(root().file("file"));
  EXPECT_TRUE(manager.removeItemAtPath(root().file("file")));
  EXPECT_FALSE(fs::exists(root().file("file")));
}

TEST_F(FileManagerTest, MoveNeverReplacesAndStopsAtTheFirstClash) {
  CTRFileManager manager(bundle_);
  const std::string from = root().file("from");
  const std::string to = root().file("to");
  fs::create_directories(from);
  fs::create_directories(to);
  for (const char* name : {"r1", "r2", "r3", "r4"}) touch(from + "/" + name, name);
  touch(from + "/.hidden");
  // Which entry comes second depends on the file system's order; clash there.
  std::vector<std::string> order = manager.contentsOfDirectory(from);
  ASSERT_EQ(order.size(), 4u);
  std::string clash = fs::path(order[1]).filename().string();
  touch(to + "/" + clash, "keep");

  BCNConsoleCapture console;
  EXPECT_FALSE(manager.moveItemsFromDirectory(from, to));
  EXPECT_EQ(console.count("[FileManager] Failed to move file: "), 1u);
  EXPECT_TRUE(fs::exists(to + "/" + fs::path(order[0]).filename().string()));
  for (std::size_t i = 1; i < order.size(); ++i) EXPECT_TRUE(fs::exists(order[i])) << order[i];
  EXPECT_EQ(readFile(to + "/" + clash), "keep");
  EXPECT_TRUE(fs::exists(from + "/.hidden"));

  fs::remove(to + "/" + clash);
  EXPECT_TRUE(manager.moveItemsFromDirectory(from, to));
  EXPECT_EQ(namesIn(from), std::vector<std::string>{".hidden"});
  EXPECT_EQ(readFile(to + "/" + clash), clash);
}

TEST_F(FileManagerTest, MoveWithInvalidInputsOrMissingSourceFails) {
  CTRFileManager manager(bundle_);
  BCNConsoleCapture console;
  EXPECT_FALSE(manager.moveItemAtPath("", root().path()));
  EXPECT_FALSE(manager.moveItemAtPath(root().file("x"), ""));
  EXPECT_EQ(console.count("[FileManager] Failed to move file, inputs invalid"), 2u);
  EXPECT_FALSE(manager.moveItemAtPath(root().file("absent"), root().path()));
  EXPECT_EQ(console.count("[FileManager] Failed to move file: "), 1u);
}

TEST_F(FileManagerTest, ReportsTravelThroughTheStateDirectories) {
  CTRFileManager manager(bundle_);
  ASSERT_TRUE(manager.prepareForNewLaunch());
  fs::create_directories(manager.pendingPath() + "/id1");
  touch(manager.pendingPath() + "/id1/metadata.clsrecord", R"({"identity":{"session_id":"id1"}})"
                                                           "\n");
  fs::create_directories(manager.pendingPath() + "/broken");
  EXPECT_TRUE(manager.movePendingToProcessing());
  EXPECT_EQ(names(manager.processingPathContents()), (std::vector<std::string>{"broken", "id1"}));

  std::map<std::string, std::string> reports;
  manager.enumerateReportsInProcessingDirectoryUsingBlock(
      [&](const std::shared_ptr<CTRInternalReport>& report, const std::string& path) {
        reports[path] = report ? report->identifier() : "<none>";
      });
  EXPECT_EQ(reports,
            (std::map<std::string, std::string>{{manager.processingPath() + "/broken", "<none>"},
                                                {manager.processingPath() + "/id1", "id1"}}));

  EXPECT_TRUE(manager.moveProcessingContentsToPrepared());
  EXPECT_EQ(names(manager.preparedPathContents()), (std::vector<std::string>{"broken", "id1"}));
  std::vector<std::string> active;
  manager.enumerateFilesInActiveDirectoryUsingBlock(
      [&](const std::string& path, const std::string&) { active.push_back(path); });
  EXPECT_TRUE(active.empty());
}

TEST_F(FileManagerTest, FileSizeComesFromTheAttributes) {
  CTRFileManager manager(bundle_);
  touch(root().file("five"), "12345");
  EXPECT_EQ(manager.fileSizeAtPath(root().file("five")), 5u);
  BCNConsoleCapture console;
  EXPECT_FALSE(manager.fileSizeAtPath(root().file("absent")));
  EXPECT_TRUE(console.contains("[Client] Unable to read file size: "));
}

TEST_F(FileManagerTest, LegacyCleanUpRemovesTheWholeRootOnlyWhenSendableExists) {
  CTRFileManager manager(bundle_);
  ASSERT_TRUE(manager.prepareForNewLaunch());
  BCNConsoleCapture console;
  manager.removeLegacyDirectories();
  EXPECT_TRUE(fs::is_directory(manager.activePath()));
  EXPECT_TRUE(console.lines().empty());

  fs::create_directories(manager.rootPath() + "/sendable/x");
  manager.removeLegacyDirectories();
  EXPECT_FALSE(fs::exists(manager.rootPath()));
  EXPECT_FALSE(fs::exists(manager.structurePath()));
  EXPECT_TRUE(console.contains("[Crashtrail:FileManager] Removed legacy structure at " +
                               manager.rootPath()));
  EXPECT_FALSE(console.contains("Unable to remove legacy"));
}

}  // namespace
}  // namespace sdk
