#include "platform/system/root_only_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/system/file_util.h"
#include "support/temp_root.h"

namespace rootonly = platform::rootonly;

namespace {

class RootOnlyPathTest : public varnel::testing::TempRootTest {
 protected:
  static rootonly::Options file(bool trustSelf = true) {
    rootonly::Options o;
    o.kind = rootonly::Kind::kFile;
    o.trustSelf = trustSelf;
    return o;
  }
  static rootonly::Options folder(bool trustSelf = true) {
    rootonly::Options o = file(trustSelf);
    o.kind = rootonly::Kind::kFolder;
    return o;
  }
  // "" when the path passes, else the reason.
  static std::string refusal(const std::string& path, const rootonly::Options& o) {
    std::string reason;
    return rootonly::check(path, o, &reason) ? "" : reason;
  }
  std::string write(const std::string& relative, const std::string& text, unsigned mode = 0644) {
    const std::string path = root().file(relative);
    EXPECT_TRUE(platform::files::writeFileAtomically(path, text, mode));
    return path;
  }
  std::string mkdir(const std::string& relative, unsigned mode = 0755) {
    const std::string path = root().file(relative);
    EXPECT_EQ(::mkdir(path.c_str(), mode), 0);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }
};

TEST_F(RootOnlyPathTest, PlainFilesAndFoldersOfTrustedOwnersPass) {
  const std::string options = write("options", "noipdefault\n");
  EXPECT_EQ(refusal(options, file()), "");
  EXPECT_EQ(refusal(root().path(), folder()), "");
  EXPECT_EQ(refusal("/", folder()), "");
  // A system file in system folders; the merged /bin is a link.
  EXPECT_EQ(refusal("/usr/bin/env", file(false)), "");
  EXPECT_NE(refusal("/bin/env", file(false)), "");
  // The kind must match.
  EXPECT_NE(refusal(options, folder()), "");
  EXPECT_NE(refusal(root().path(), file()), "");
  EXPECT_NE(refusal("/dev/null", file(false)), "");
}

TEST_F(RootOnlyPathTest, OnlyAbsolutePlainPathsAreAccepted) {
  write("options", "x");
  for (const std::string& bad :
       {std::string(), std::string("relative/options"), root().path() + "/./options",
        root().path() + "//options", root().path() + "/options/",
        root().path() + "/../" + platform::files::lastComponent(root().path()) + "/options"}) {
    const std::string why = refusal(bad, file());
    EXPECT_NE(why.find("not an absolute plain path"), std::string::npos) << bad << ": " << why;
  }
}

TEST_F(RootOnlyPathTest, SymbolicLinksAreNeverFollowed) {
  const std::string real = write("real", "x");
  mkdir("dir");
  const std::string inDir = write("dir/options", "x");
  ASSERT_EQ(::symlink(real.c_str(), root().file("link").c_str()), 0);
  ASSERT_EQ(::symlink(root().file("dir").c_str(), root().file("dirlink").c_str()), 0);
  // The target, a folder on the way, a folder target.
  EXPECT_NE(refusal(root().file("link"), file())
                .find("link is not a regular file (it is a "
                      "symbolic link)"),
            std::string::npos);
  EXPECT_NE(refusal(root().file("dirlink/options"), file()).find("dirlink is a symbolic link"),
            std::string::npos);
  EXPECT_NE(refusal(root().file("dirlink"), folder()), "");
  EXPECT_EQ(refusal(inDir, file()), "");
  // A dangling link and a missing file.
  ASSERT_EQ(::symlink("/nonexistent", root().file("dangling").c_str()), 0);
  EXPECT_NE(refusal(root().file("dangling"), file()), "");
  EXPECT_NE(refusal(root().file("missing"), file()).find("missing"), std::string::npos);
}

TEST_F(RootOnlyPathTest, WritableByOthersAnywhereOnTheWayIsRefused) {
  mkdir("a");
  mkdir("a/b");
  const std::string target = write("a/b/options", "x");
  EXPECT_EQ(refusal(target, file()), "");
  for (unsigned mode : {0775u, 0757u, 0777u}) {
    ASSERT_EQ(::chmod(root().file("a").c_str(), mode), 0);
    const std::string why = refusal(target, file());
    EXPECT_NE(why.find(root().file("a") + " can be changed by users other than"), std::string::npos)
        << why;
    ASSERT_EQ(::chmod(root().file("a").c_str(), 0755), 0);
  }
  // The file itself, and the target folder.
  ASSERT_EQ(::chmod(target.c_str(), 0664), 0);
  EXPECT_NE(refusal(target, file()), "");
  ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
  ASSERT_EQ(::chmod(root().file("a/b").c_str(), 0770), 0);
  EXPECT_NE(refusal(root().file("a/b"), folder()), "");
  EXPECT_NE(refusal(target, file()), "");
}

TEST_F(RootOnlyPathTest, RootsStickyFoldersCountOnTheWayButNotAsTheTarget) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to own a sticky folder";
  const std::string shared = mkdir("shared", 01777);
  mkdir("shared/mine");
  const std::string target = write("shared/mine/options", "x");
  EXPECT_EQ(refusal(target, file(false)), "");
  // A sticky folder as the target: anybody may add entries to it.
  EXPECT_NE(refusal(shared, folder(false)), "");
  // Without the sticky bit it is an open folder.
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  EXPECT_NE(refusal(target, file(false)), "");
  // A sticky folder of another user: its owner may replace what is in it.
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(::chown(shared.c_str(), 65534, 65534), 0);
  EXPECT_NE(refusal(target, file(false)), "");
  ASSERT_EQ(::chown(shared.c_str(), 0, 0), 0);
  // The entry in the sticky folder must be root's: another user's folder
  // there is theirs to swap.
  ASSERT_EQ(::chown(root().file("shared/mine").c_str(), 65534, 65534), 0);
  EXPECT_NE(refusal(target, file(false)), "");
}

TEST_F(RootOnlyPathTest, OtherOwnersAreRefusedAndTheOwnUserOnlyWhenTrusted) {
  if (::geteuid() != 0) {
    // This user's own files pass only when this user is trusted.
    const std::string mine = write("options", "x");
    EXPECT_EQ(refusal(mine, file(true)), "");
    EXPECT_NE(refusal(mine, file(false)).find("other than root"), std::string::npos);
    return;
  }
  mkdir("theirs");
  const std::string target = write("theirs/options", "plugin /x.so\n");
  ASSERT_EQ(::chown(root().file("theirs").c_str(), 65534, 65534), 0);
  EXPECT_NE(refusal(target, file(true)), "");
  ASSERT_EQ(::chown(root().file("theirs").c_str(), 0, 0), 0);
  ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
  EXPECT_NE(refusal(target, file(true)), "");
}

TEST_F(RootOnlyPathTest, TheDescriptorIsWhatWasCheckedEvenAfterASwap) {
  mkdir("dir");
  const std::string target = write("dir/options", "checked\n");
  rootonly::Options o = file();
  o.flags = O_RDONLY;
  const int fd = rootonly::open(target, o);
  ASSERT_GE(fd, 0);
  // The folder and the file are swapped for others after the check.
  mkdir("other");
  write("other/options", "plugin /x.so\n");
  ASSERT_EQ(::rename(root().file("dir").c_str(), root().file("old").c_str()), 0);
  ASSERT_EQ(::symlink(root().file("other").c_str(), root().file("dir").c_str()), 0);
  char buffer[32] = {};
  ASSERT_GT(::read(fd, buffer, sizeof buffer - 1), 0);
  EXPECT_EQ(std::string(buffer), "checked\n");
  ::close(fd);
  // And the swapped path is refused now.
  EXPECT_NE(refusal(target, file()), "");
}

}  // namespace
