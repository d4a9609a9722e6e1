// The temporary folders of tests/support: what the suite's empty-folder check
// relies on (the owner list naming each folder's maker) and removals that
// meet read-only folders or a writer that is still at work.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/temp_dir.h"
#include "support/temp_root.h"

namespace fs = std::filesystem;
using varnel::testing::kTempOwnersFile;
using varnel::testing::removeTree;
using varnel::testing::TempDir;
using varnel::testing::TempRoot;

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(TempFoldersTest, EachFolderIsNotedWithItsProgramAndTest) {
  TempDir outer("outer");
  const std::string owners = outer.path() + "/" + kTempOwnersFile;
  const char* saved = std::getenv("TMPDIR");
  const std::string previous = saved ? saved : "";
  ::setenv("TMPDIR", outer.path().c_str(), 1);
  std::string dirPath, rootPath;
  {
    TempDir dir("logs");
    TempRoot root;
    dirPath = dir.path();
    rootPath = root.path();
    EXPECT_EQ(fs::path(dirPath).parent_path(), fs::path(outer.path()));
    EXPECT_EQ(fs::path(dirPath).filename().string().rfind("varnel-test-logs-", 0), 0u);
    EXPECT_EQ(fs::path(rootPath).filename().string().rfind("varnel-test-root-", 0), 0u);
  }
  if (saved) {
    ::setenv("TMPDIR", previous.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  EXPECT_FALSE(fs::exists(dirPath));
  EXPECT_FALSE(fs::exists(rootPath));
  const std::string list = readFile(owners);
  const std::string test = "TempFoldersTest.EachFolderIsNotedWithItsProgramAndTest";
  for (const std::string& path : {dirPath, rootPath}) {
    const std::string line = fs::path(path).filename().string() + " " +
                             program_invocation_short_name + " " + test + " pid ";
    EXPECT_NE(list.find(line), std::string::npos) << list;
  }
}

TEST(TempFoldersTest, TempRootRestoresTheEnvironmentAndKeepsNestedFoldersInside) {
  const char* before = std::getenv("HOME");
  const std::string home = before ? before : "";
  std::string nested;
  {
    TempRoot root;
    EXPECT_EQ(std::getenv("HOME"), root.home());
    EXPECT_EQ(std::string(std::getenv("TMPDIR")), root.path() + "/tmp");
    TempDir inside("nested");
    nested = inside.path();
    EXPECT_EQ(nested.rfind(root.path() + "/tmp/", 0), 0u);
  }
  EXPECT_EQ(std::string(std::getenv("HOME") ? std::getenv("HOME") : ""), home);
  EXPECT_FALSE(fs::exists(nested));
}

TEST(TempFoldersTest, RemovalTakesReadOnlyFoldersAndAMissingPath) {
  TempDir parent("removal");
  const std::string tree = parent.file("tree");
  fs::create_directories(tree + "/a/b");
  std::ofstream(tree + "/a/b/file") << "x";
  ASSERT_EQ(::chmod((tree + "/a/b").c_str(), 0500), 0);
  ASSERT_EQ(::chmod((tree + "/a").c_str(), 0500), 0);
  EXPECT_TRUE(removeTree(tree));
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_TRUE(removeTree(tree));  // already gone
}
