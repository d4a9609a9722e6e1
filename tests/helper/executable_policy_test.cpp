#include "helper/executable_policy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "helper/helper_files.h"
#include "helper_test_util.h"
#include "ipc/dispatch_task.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "support/temp_root.h"
#include "support/wait.h"

using helper::ExecutablePolicy;

namespace {

class ExecutablePolicyTest : public varnel::testing::TempRootTest {
 protected:
  std::string script(const std::string& name, const std::string& says, unsigned mode = 0755) {
    const std::string path = root().file(name);
    EXPECT_TRUE(platform::files::writeFileAtomically(
        path, "#!/bin/sh\nprintf '%s' '" + says + "'\n", mode));
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }
  ExecutablePolicy policyFor(const std::string& path) {
    ExecutablePolicy policy;
    policy.executables = {path};
    return policy;
  }
  std::string refusal(const ExecutablePolicy& policy, const std::string& path) {
    std::string problem;
    const int fd = policy.openExecutable(path, &problem);
    if (fd >= 0) ::close(fd);
    return fd >= 0 ? "" : problem;
  }
  // Runs the file open on `fd` (argv[0] `path`) and returns its output.
  std::string runOpened(int fd, const std::string& path) {
    auto task = ipc::DispatchTask::create();
    task->setLaunchPath(path);
    task->setExecutableFile(fd);
    std::string output;
    std::atomic<bool> ended{false};
    task->launchWithOutputBlock(
        [&](const platform::Bytes& chunk) { output.append(chunk.begin(), chunk.end()); }, nullptr,
        nullptr, [&] { ended = true; });
    EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return ended.load(); }));
    varnel::testing::waitUntilOnMainRunLoop([] { return false; },
                                            std::chrono::milliseconds(50));  // the last chunks
    return output;
  }
};

TEST_F(ExecutablePolicyTest, OnlyListedPathsInRootOwnedFoldersOpen) {
  const std::string path = script("tool", "ok");
  EXPECT_EQ(refusal(policyFor(path), path), "");
  EXPECT_TRUE(policyFor(path).allowsExecutable(path));
  // Listed word for word: another spelling of the same file is not.
  EXPECT_NE(refusal(policyFor(path), root().path() + "/./tool"), "");
  EXPECT_NE(refusal(policyFor(path), root().path() + "//tool"), "");
  EXPECT_NE(refusal(ExecutablePolicy{}, path), "");
  // The built-in list names the system's packages.
  const ExecutablePolicy loaded = ExecutablePolicy::load();
  EXPECT_TRUE(loaded.listsExecutable("/usr/sbin/openvpn"));
  EXPECT_TRUE(loaded.listsExecutable("/usr/sbin/sstpc"));
  EXPECT_FALSE(loaded.listsExecutable("/usr/sbin/../sbin/openvpn"));
}

TEST_F(ExecutablePolicyTest, LinksAndFilesOthersCanChangeAreRefused) {
  const std::string real = script("real", "real");
  // A link as the file itself.
  const std::string link = root().file("link");
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  EXPECT_NE(refusal(policyFor(link), link), "");
  // A link as a folder on the way.
  ASSERT_EQ(::mkdir(root().file("dir").c_str(), 0755), 0);
  const std::string inDir = script("dir/tool", "in dir");
  ASSERT_EQ(::symlink(root().file("dir").c_str(), root().file("dirlink").c_str()), 0);
  EXPECT_NE(refusal(policyFor(root().file("dirlink/tool")), root().file("dirlink/tool")), "");
  EXPECT_EQ(refusal(policyFor(inDir), inDir), "");
  // A folder that others may write.
  ASSERT_EQ(::chmod(root().file("dir").c_str(), 0777), 0);
  EXPECT_NE(refusal(policyFor(inDir), inDir), "");
  ASSERT_EQ(::chmod(root().file("dir").c_str(), 0755), 0);
  // A file that others may write, or that is not executable.
  const std::string writable = script("writable", "w", 0777);
  EXPECT_NE(refusal(policyFor(writable), writable), "");
  const std::string plain = script("plain", "p", 0644);
  EXPECT_NE(refusal(policyFor(plain), plain), "");
  EXPECT_NE(refusal(policyFor(root().file("missing")), root().file("missing")), "");
  if (::geteuid() != 0) return;  // only root can hand files to another user
  // A folder or a file of another user.
  ASSERT_EQ(::chown(root().file("dir").c_str(), 65534, 65534), 0);
  EXPECT_NE(refusal(policyFor(inDir), inDir), "");
  ASSERT_EQ(::chown(root().file("dir").c_str(), 0, 0), 0);
  ASSERT_EQ(::chown(inDir.c_str(), 65534, 65534), 0);
  EXPECT_NE(refusal(policyFor(inDir), inDir), "");
}

TEST_F(ExecutablePolicyTest, TheOpenedFileRunsEvenWhenThePathChangesAfterTheCheck) {
  const std::string path = script("tool", "checked");
  const int fd = policyFor(path).openExecutable(path);
  ASSERT_GE(fd, 0);
  // Someone replaces the path after the check.
  script("other", "swapped");
  ASSERT_EQ(::rename(root().file("other").c_str(), path.c_str()), 0);
  EXPECT_EQ(runOpened(fd, path), "checked");
  ::close(fd);
  // A binary runs from its descriptor as well.
  ExecutablePolicy system;
  system.executables = {"/bin/echo", "/usr/bin/echo"};
  int echo = system.openExecutable("/usr/bin/echo");
  if (echo < 0) echo = system.openExecutable("/bin/echo");
  ASSERT_GE(echo, 0);
  auto task = ipc::DispatchTask::create();
  task->setArguments(platform::Value::array({"from", "descriptor"}));
  task->setLaunchPath("/usr/bin/echo");
  task->setExecutableFile(echo);
  ::close(echo);
  std::string output;
  std::atomic<bool> ended{false};
  task->launchWithOutputBlock(
      [&](const platform::Bytes& chunk) { output.append(chunk.begin(), chunk.end()); }, nullptr,
      nullptr, [&] { ended = true; });
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return ended.load(); }));
  varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(output, "from descriptor\n");
}

// Even a recorded options file is taken only when it is root's own, in
// folders only root can change, and not a link.
TEST_F(ExecutablePolicyTest, RecordedOptionsFilesMustBeRootsOwnInRootsFolders) {
  const std::string options = root().file("sstp-options");
  ASSERT_TRUE(platform::files::writeFileAtomically(options, "noipdefault\n", 0644));
  const std::string link = root().file("options-link");
  ASSERT_EQ(::symlink(options.c_str(), link.c_str()), 0);
  ExecutablePolicy policy;
  policy.sstpOptions = {options, link, "relative/options"};
  std::string problem;
  const int fd = policy.openSSTPOptions(options, &problem);
  EXPECT_GE(fd, 0) << problem;
  if (fd >= 0) ::close(fd);
  EXPECT_LT(policy.openSSTPOptions(link, &problem), 0);
  EXPECT_NE(problem.find("symbolic link"), std::string::npos) << problem;
  EXPECT_LT(policy.openSSTPOptions("relative/options", &problem), 0);
  EXPECT_NE(problem.find("not an absolute plain path"), std::string::npos) << problem;
  // The recorded file is trusted by what it holds, not by where it lies:
  // once something has put other options in its place, it is refused.
  ASSERT_TRUE(platform::files::writeFileAtomically(
      options, "# shipped\nnoipdefault\n\tnoccp  # link only\n\n", 0644));
  int shipped = policy.openSSTPOptions(options, &problem);
  EXPECT_GE(shipped, 0) << problem;
  if (shipped >= 0) {
    char first = 0;
    EXPECT_EQ(::read(shipped, &first, 1), 1);  // handed back from the start
    EXPECT_EQ(first, '#');
    ::close(shipped);
  }
  for (const char* changed :
       {"noipdefault\nplugin /tmp/x.so\n", "noipdefault ipparam x\n", "\"noipdefault\"\n",
        "noccp\\\nplugin\n", "connect '/bin/sh -c x'\n"}) {
    ASSERT_TRUE(platform::files::writeFileAtomically(options, changed, 0644));
    EXPECT_LT(policy.openSSTPOptions(options, &problem), 0) << changed;
    EXPECT_NE(problem.find("does not ship"), std::string::npos) << problem;
  }
  if (::geteuid() != 0) return;
  // A user's folder: whatever its file says, it is theirs.
  ASSERT_EQ(::mkdir(root().file("home-of-user").c_str(), 0755), 0);
  const std::string theirs = root().file("home-of-user/options");
  ASSERT_TRUE(platform::files::writeFileAtomically(theirs, "plugin /x.so\n", 0644));
  ASSERT_EQ(::chown(root().file("home-of-user").c_str(), 65534, 65534), 0);
  policy.sstpOptions.push_back(theirs);
  EXPECT_LT(policy.openSSTPOptions(theirs, &problem), 0);
  EXPECT_NE(problem.find("can be changed by users other than"), std::string::npos) << problem;
}

TEST_F(ExecutablePolicyTest, SSTPOptionsAreTheRecordedFileAndNoOtherName) {
  const std::string options = root().file("sstp-options");
  ASSERT_TRUE(platform::files::writeFileAtomically(options, "noipdefault\n", 0644));
  // Recorded in the installation's configuration.
  const std::string conf = platform::paths::system(helper::kHelperConfigurationPath);
  ASSERT_TRUE(platform::paths::createDirectories(platform::files::parentFolder(conf)));
  ASSERT_TRUE(platform::files::writeFileAtomically(
      conf, "Executable=/x\nSSTPOptions=" + options + "\nClient=/c\n", 0644));
  const ExecutablePolicy policy = ExecutablePolicy::load();
  ASSERT_EQ(policy.sstpOptions, std::vector<std::string>{options});
  std::string problem;
  int fd = policy.openSSTPOptions(options, &problem);
  EXPECT_GE(fd, 0) << problem;
  if (fd >= 0) ::close(fd);
  // Another spelling, another root-owned file, an empty value.
  EXPECT_LT(policy.openSSTPOptions(root().path() + "/./sstp-options"), 0);
  EXPECT_LT(policy.openSSTPOptions(conf, &problem), 0);
  EXPECT_NE(problem.find("recorded"), std::string::npos) << problem;
  EXPECT_LT(policy.openSSTPOptions(""), 0);
  // A second name of the file: whoever made it can reach it from elsewhere.
  ASSERT_EQ(::link(options.c_str(), root().file("second-name").c_str()), 0);
  EXPECT_LT(policy.openSSTPOptions(options, &problem), 0);
  EXPECT_NE(problem.find("more than one name"), std::string::npos) << problem;
  ASSERT_EQ(::unlink(root().file("second-name").c_str()), 0);
  // The helper's own files, even when recorded.
  const std::string planted = helper::privatePath("VarnelVPN.ca");
  ASSERT_TRUE(helper::writePrivateFile(planted, "plugin /tmp/x.so\n", 0600));
  ExecutablePolicy careless = policy;
  careless.sstpOptions.push_back(planted);
  EXPECT_LT(careless.openSSTPOptions(planted, &problem), 0);
  EXPECT_EQ(problem, "one of the helper's own files");
  EXPECT_TRUE(helper::isHelperPrivatePath(planted));
  EXPECT_TRUE(helper::isHelperPrivatePath(conf));
  EXPECT_FALSE(helper::isHelperPrivatePath(helper::privateFolder() + "-not"));
  // A system root written with a trailing "/" names the same folders.
  const std::string folder = helper::privateFolder();
  ASSERT_EQ(::setenv("VARNEL_ROOT", (root().systemRoot() + "/").c_str(), 1), 0);
  EXPECT_FALSE(helper::privateFolder().empty());
  EXPECT_TRUE(helper::isHelperPrivatePath(folder + "/VarnelVPN.ca"));
  EXPECT_TRUE(helper::isHelperPrivatePath(root().systemRoot() + "//run/varnel-helper/x"));
  ASSERT_EQ(::setenv("VARNEL_ROOT", root().systemRoot().c_str(), 1), 0);
}

}  // namespace
