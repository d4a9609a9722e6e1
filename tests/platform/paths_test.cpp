#include "platform/system/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/system/file_util.h"
#include "support/temp_root.h"

namespace platform {
namespace {

using varnel::testing::TempRootTest;

class PathsTest : public TempRootTest {};

TEST_F(PathsTest, SystemPlacesLandUnderTheRoot) {
  const std::string r = root().systemRoot();
  EXPECT_EQ(paths::systemRoot(), r);
  EXPECT_EQ(paths::system("/etc/x"), r + "/etc/x");
  EXPECT_EQ(paths::system("etc/x"), r + "/etc/x");
  EXPECT_EQ(paths::privilegedHelperTools(), r + "/usr/local/libexec/varnel");
  EXPECT_EQ(paths::launchDaemons(), r + "/etc/varnel/launchd");
  EXPECT_EQ(paths::systemdUnits(), r + "/etc/systemd/system");
  EXPECT_EQ(paths::systemKeychain(), r + "/var/lib/varnel/keychain");
  EXPECT_EQ(paths::systemPreferences(), r + "/var/lib/varnel/preferences");
  EXPECT_EQ(paths::runtime(), r + "/run/varnel");
  EXPECT_EQ(paths::temporary(), r + "/tmp");

  // A trailing slash on the root does not double the separator.
  ::setenv("VARNEL_ROOT", (r + "/").c_str(), 1);
  EXPECT_EQ(paths::temporary(), r + "/tmp");
  // Without a root the real places are used.
  ::unsetenv("VARNEL_ROOT");
  EXPECT_EQ(paths::systemRoot(), "");
  EXPECT_EQ(paths::temporary(), "/tmp");
  EXPECT_EQ(paths::privilegedHelperTools(), "/usr/local/libexec/varnel");
}

TEST_F(PathsTest, UserPlacesFollowXdgThenHome) {
  const std::string h = root().home();
  EXPECT_EQ(paths::home(), h);
  EXPECT_EQ(paths::preferences(), h + "/.config");
  EXPECT_EQ(paths::applicationSupport(), h + "/.local/share");
  EXPECT_EQ(paths::caches(), h + "/.cache");
  EXPECT_EQ(paths::userLogs(), h + "/.local/state/VarnelVPN/Logs");
  EXPECT_EQ(paths::applications(), h + "/Applications");
  EXPECT_EQ(paths::userKeychain(), h + "/.local/share/varnel/keychain");

  ::setenv("XDG_CONFIG_HOME", "/elsewhere/config/", 1);
  EXPECT_EQ(paths::preferences(), "/elsewhere/config");
  // Relative XDG values are ignored, as are empty ones.
  ::setenv("XDG_CACHE_HOME", "relative/cache", 1);
  EXPECT_EQ(paths::caches(), h + "/.cache");
  ::setenv("XDG_DATA_HOME", "", 1);
  EXPECT_EQ(paths::applicationSupport(), h + "/.local/share");
  ::unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(paths::userLogs(), h + "/.local/state/VarnelVPN/Logs");
}

TEST_F(PathsTest, HomeFallsBackToTheRootThenThePasswordDatabase) {
  ::unsetenv("HOME");
  EXPECT_EQ(paths::home(), root().systemRoot() + "/home");
  ::unsetenv("VARNEL_ROOT");
  EXPECT_FALSE(paths::home().empty());
  EXPECT_EQ(paths::home().front(), '/');
}

TEST_F(PathsTest, CreateDirectoriesMakesParentsWithTheMode) {
  const std::string deep = root().file("a/b//c/d");
  ASSERT_TRUE(paths::createDirectories(deep, 0700));
  struct stat st {};
  ASSERT_EQ(::stat(deep.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(paths::createDirectories(deep));  // already there

  // A file in the way is reported, not hidden.
  ASSERT_TRUE(files::writeFileAtomically(root().file("plain"), "x"));
  EXPECT_FALSE(paths::createDirectories(root().file("plain")));
  EXPECT_FALSE(paths::createDirectories(root().file("plain/sub")));
  EXPECT_FALSE(paths::createDirectories(""));
}

}  // namespace
}  // namespace platform
