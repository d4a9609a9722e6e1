#include "apps/installer/installer.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/system/file_util.h"
#include "platform/system/property_list.h"
#include "support/temp_root.h"

namespace {

namespace fs = std::filesystem;
using installer::Context;
using installer::Outcome;

// A running program named like the client, started from `folder`: the
// caller that asks for the move. With `uid` it runs as that user (started
// from a descriptor, so the user needs no way into the test's folders).
class Caller {
 public:
  Caller(const std::string& folder, const std::string& name, uid_t uid = 0) {
    path_ = folder + "/" + name;
    fs::copy_file("/usr/bin/sleep", path_, fs::copy_options::overwrite_existing);
    ::chmod(path_.c_str(), 0755);
    if (uid != 0) {
      EXPECT_EQ(::chown(path_.c_str(), uid, uid), 0);
    }
    const int program = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(program, 0);
    // The pipe's write end closes when the child's exec succeeds: reading
    // it to its end waits exactly until the program runs.
    int ready[2];
    EXPECT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
                       ::setresuid(uid, uid, uid) != 0))
        ::_exit(126);
      char* const argv[] = {path_.data(), const_cast<char*>("60"), nullptr};
      char* const envp[] = {nullptr};
      ::fexecve(program, argv, envp);
      ::_exit(127);
    }
    ::close(program);
    ::close(ready[1]);
    char byte;
    while (::read(ready[0], &byte, 1) > 0) {
    }
    ::close(ready[0]);
  }
  ~Caller() { stop(); }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  pid_t pid_ = -1;
};

class InstallerTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the installer's checks want root-owned folders";
    sys = root().systemRoot();
    ASSERT_EQ(::chmod(sys.c_str(), 0755), 0);
    fs::create_directories(sys + "/opt");
    ASSERT_EQ(::chmod((sys + "/opt").c_str(), 0755), 0);
    download = folder(root().file("Downloads")) + "/VarnelVPN Client";
    folder(download);
    write(download + "/eula.txt", "terms\n", 0644);
    write(download + "/varnel-install-helper", "#!/bin/sh\n", 04755);
  }
  static std::string folder(const std::string& path, unsigned mode = 0755) {
    fs::create_directories(path);
    ::chmod(path.c_str(), mode);
    return path;
  }
  static void write(const std::string& path, const std::string& text, unsigned mode) {
    ASSERT_TRUE(platform::files::writeFileAtomically(path, text, mode & 0777));
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  }
  Context contextFor(const Caller& caller, const std::string& self) const {
    Context c;
    c.self = self;
    c.caller = caller.pid();
    c.callerIsParent = false;  // a child of the test stands in for the parent
    c.authorizingUser = 0;
    return c;
  }
  Outcome move(const Context& c, const std::string& source,
               const std::string& destination = std::string()) {
    return installer::run(
        {"move", source, destination.empty() ? sys + "/opt/VarnelVPN Client" : destination,
         "--root", sys},
        c);
  }
  std::string sys, download;
};

TEST_F(InstallerTest, MoveCopiesTheCallersOwnFolderAsRoots) {
  folder(download + "/lib/plugins", 0777);
  write(download + "/lib/plugins/a.so", "plugin\n", 06775);
  write(download + "/lib/notes", "notes\n", 0666);
  Caller client(download, "VarnelVPN Client");
  const Outcome o = move(contextFor(client, download + "/varnel-install-helper"), download);
  ASSERT_EQ(o.status, installer::kDone) << o.message;
  const std::string moved = sys + "/opt/VarnelVPN Client";
  // Every file and folder of the copy is root's, without set-id or sticky
  // bits, and nobody else may change it; modes otherwise as they were.
  for (const auto& [name, mode] :
       std::vector<std::pair<std::string, unsigned>>{{"", 0755},
                                                     {"/varnel-install-helper", 0755},
                                                     {"/eula.txt", 0644},
                                                     {"/lib/plugins", 0755},
                                                     {"/lib/plugins/a.so", 0755},
                                                     {"/lib/notes", 0644}}) {
    struct stat st;
    ASSERT_EQ(::lstat((moved + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_uid, 0u) << name;
    EXPECT_EQ(st.st_mode & 07777, mode) << name;
  }
  EXPECT_EQ(platform::files::readFile(moved + "/eula.txt"), "terms\n");
  EXPECT_EQ(platform::files::readFile(moved + "/lib/plugins/a.so"), "plugin\n");
  // Moving again replaces the old copy, leaving nothing else behind.
  write(download + "/eula.txt", "new terms\n", 0644);
  EXPECT_EQ(move(contextFor(client, download + "/varnel-install-helper"), download).status,
            installer::kDone);
  EXPECT_EQ(platform::files::readFile(moved + "/eula.txt"), "new terms\n");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(sys + "/opt")) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"VarnelVPN Client"});
}

// The attack: an installer already in place, run for a folder the user
// prepared, must never replace the installation it runs from.
TEST_F(InstallerTest, MoveNeverReplacesTheInstallationItRunsFrom) {
  const std::string installed = folder(sys + "/opt/VarnelVPN Client");
  write(installed + "/varnel-install-helper", "#!/bin/sh\necho genuine\n", 0755);
  const std::string evil = folder(root().file("evil")) + "/VarnelVPN Client";
  folder(evil);
  write(evil + "/varnel-install-helper", "#!/bin/sh\nid > /tmp/owned\n", 0755);
  Caller client(evil, "VarnelVPN Client");
  const Outcome o = move(contextFor(client, installed + "/varnel-install-helper"), evil);
  EXPECT_EQ(o.status, installer::kMoveFailed);
  EXPECT_NE(o.message.find("the installation it runs from"), std::string::npos) << o.message;
  EXPECT_EQ(platform::files::readFile(installed + "/varnel-install-helper"),
            "#!/bin/sh\necho genuine\n");
  // Nor from a folder inside the destination.
  const std::string nested = folder(installed + "/libexec");
  write(nested + "/varnel-install-helper", "#!/bin/sh\n", 0755);
  EXPECT_EQ(move(contextFor(client, nested + "/varnel-install-helper"), evil).status,
            installer::kMoveFailed);
  EXPECT_EQ(platform::files::readFile(installed + "/varnel-install-helper"),
            "#!/bin/sh\necho genuine\n");
}

TEST_F(InstallerTest, MoveRefusesEverySourceButTheRunningClientsFolder) {
  Caller client(download, "VarnelVPN Client");
  const Context c = contextFor(client, download + "/varnel-install-helper");
  // Another folder of the same name, as an argument.
  const std::string other = folder(root().file("other")) + "/VarnelVPN Client";
  folder(other);
  Outcome o = move(c, other);
  EXPECT_EQ(o.status, installer::kMoveFailed);
  EXPECT_NE(o.message.find("only the running client's own folder"), std::string::npos) << o.message;
  EXPECT_EQ(move(c, download + "/../VarnelVPN Client/..").status, installer::kMoveFailed);
  EXPECT_EQ(move(c, "VarnelVPN Client").status, installer::kMoveFailed);

  // A caller that is not the client program.
  Caller script(download, "python3");
  o = move(contextFor(script, download + "/varnel-install-helper"), download);
  EXPECT_EQ(o.status, installer::kMoveFailed);
  EXPECT_NE(o.message.find("only VarnelVPN Client can be moved"), std::string::npos) << o.message;
  // A caller that runs as another user than the one polkit authorized.
  Context stranger = c;
  stranger.authorizingUser = 4321;
  EXPECT_EQ(move(stranger, download).status, installer::kMoveFailed);
  // A caller that is gone, or whose program was removed since it started.
  Caller gone(other, "VarnelVPN Client");
  Context goneContext = contextFor(gone, other + "/varnel-install-helper");
  gone.stop();
  EXPECT_EQ(move(goneContext, other).status, installer::kMoveFailed);
  Caller removed(other, "VarnelVPN Client");
  ASSERT_EQ(::unlink(removed.path().c_str()), 0);
  EXPECT_EQ(move(contextFor(removed, other + "/varnel-install-helper"), other).status,
            installer::kMoveFailed);
  // The program's own parent check: a caller that is not our parent.
  Context notParent = c;
  notParent.callerIsParent = true;
  EXPECT_EQ(move(notParent, download).status, installer::kMoveFailed);
}

TEST_F(InstallerTest, MoveRefusesOtherDestinationsAndUnsafeFolders) {
  Caller client(download, "VarnelVPN Client");
  const Context c = contextFor(client, download + "/varnel-install-helper");
  for (const std::string& destination :
       {sys + "/opt/Other", sys + "/usr/VarnelVPN Client", std::string("/opt/VarnelVPN Client"),
        sys + "/opt/sub/VarnelVPN Client"}) {
    const Outcome o = move(c, download, destination);
    EXPECT_EQ(o.status, installer::kMoveFailed) << destination;
  }
  // The client already in place.
  const std::string installed = folder(sys + "/opt/VarnelVPN Client");
  Caller inPlace(installed, "VarnelVPN Client");
  EXPECT_EQ(move(contextFor(inPlace, installed + "/varnel-install-helper"), installed).status,
            installer::kMoveFailed);
  fs::remove_all(installed);
  // An applications folder, or a system root, others may change.
  ASSERT_EQ(::chmod((sys + "/opt").c_str(), 0777), 0);
  EXPECT_EQ(move(c, download).status, installer::kMoveFailed);
  ASSERT_EQ(::chmod((sys + "/opt").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(sys.c_str(), 0775), 0);
  EXPECT_EQ(move(c, download).status, installer::kUnsafeRoot);
  ASSERT_EQ(::chmod(sys.c_str(), 0755), 0);
  ASSERT_EQ(::chown(sys.c_str(), 65534, 65534), 0);
  EXPECT_EQ(move(c, download).status, installer::kUnsafeRoot);
  ASSERT_EQ(::chown(sys.c_str(), 0, 0), 0);
  EXPECT_EQ(
      installer::run(
          {"move", download, sys + "/opt/VarnelVPN Client", "--root", root().file("missing")}, c)
          .status,
      installer::kUnsafeRoot);
  EXPECT_FALSE(fs::exists(sys + "/opt/VarnelVPN Client"));
}

// What a path names can change between a check of it and its use: the
// source is opened once, following no link anywhere on its path, and only
// what was opened is copied. Here the user swaps the client's parent folder
// for a link to a tree of root's after the client started; the old
// installer, copying by path, would have copied that tree (and changed its
// modes through the link).
TEST_F(InstallerTest, MoveFollowsNoLinkInTheSourcePath) {
  const std::string outside = folder(root().file("outside"), 0700);
  const std::string outsideClient = folder(outside + "/VarnelVPN Client", 0755);
  write(outsideClient + "/secret", "root's secret\n", 04750);
  Caller client(download, "VarnelVPN Client");
  const Context c = contextFor(client, download + "/varnel-install-helper");
  // A link given as the source itself, and a link on the way to it.
  ASSERT_EQ(::symlink(download.c_str(), root().file("link").c_str()), 0);
  Outcome o = move(c, root().file("link"));
  EXPECT_EQ(o.status, installer::kMoveFailed);
  EXPECT_NE(o.message.find(root().file("link") + " is a symbolic link"), std::string::npos)
      << o.message;
  ASSERT_EQ(::symlink(root().file("Downloads").c_str(), root().file("dl").c_str()), 0);
  o = move(c, root().file("dl") + "/VarnelVPN Client");
  EXPECT_EQ(o.status, installer::kMoveFailed);
  EXPECT_NE(o.message.find(root().file("dl") + " is a symbolic link"), std::string::npos)
      << o.message;
  // The swap: the path the client started from now leads through a link.
  ASSERT_EQ(::rename(root().file("Downloads").c_str(), root().file("Downloads.real").c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), root().file("Downloads").c_str()), 0);
  o = move(c, download);
  EXPECT_EQ(o.status, installer::kMoveFailed);
  EXPECT_NE(o.message.find(root().file("Downloads") + " is a symbolic link"), std::string::npos)
      << o.message;
  EXPECT_FALSE(fs::exists(sys + "/opt/VarnelVPN Client"));
  struct stat st;
  ASSERT_EQ(::lstat((outsideClient + "/secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04750u);
  // Nothing half made is left in the applications folder.
  EXPECT_TRUE(fs::is_empty(sys + "/opt"));
}

// The same swap after the source was checked: what is copied is the folder
// that was opened and checked, never what the path names by then.
TEST_F(InstallerTest, MoveCopiesTheFolderItCheckedEvenIfThePathChangesAfterwards) {
  const std::string outside = folder(root().file("outside"), 0700);
  const std::string outsideClient = folder(outside + "/VarnelVPN Client", 0755);
  write(outsideClient + "/secret", "root's secret\n", 04750);
  Caller client(download, "VarnelVPN Client");
  Context c = contextFor(client, download + "/varnel-install-helper");
  c.afterSourceCheck = [&] {
    ASSERT_EQ(::rename(download.c_str(), (download + ".real").c_str()), 0);
    ASSERT_EQ(::symlink(outsideClient.c_str(), download.c_str()), 0);
  };
  const Outcome o = move(c, download);
  ASSERT_EQ(o.status, installer::kDone) << o.message;
  const std::string moved = sys + "/opt/VarnelVPN Client";
  EXPECT_EQ(platform::files::readFile(moved + "/eula.txt"), "terms\n");
  EXPECT_FALSE(fs::exists(moved + "/secret"));
  struct stat st;
  ASSERT_EQ(::lstat((outsideClient + "/secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04750u);
  ASSERT_EQ(::lstat(moved.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(InstallerTest, MoveCopiesLinksAsLinksAndNeverTouchesWhatTheyName) {
  // Root's files and folders outside, which links in the source name.
  const std::string outside = folder(root().file("outside"), 0700);
  write(outside + "/shadow", "root's secret\n", 0600);
  write(outside + "/tool", "#!/bin/sh\n", 04755);
  write(outside + "/shared", "shared\n", 0664);
  folder(outside + "/tree", 0775);
  write(outside + "/tree/inner", "inner\n", 0666);
  std::map<std::string, struct stat> before;
  for (const char* name : {"", "/shadow", "/tool", "/shared", "/tree", "/tree/inner"})
    ASSERT_EQ(::lstat((outside + name).c_str(), &before[name]), 0);
  ASSERT_EQ(::symlink((outside + "/shadow").c_str(), (download + "/shadow").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/tool").c_str(), (download + "/tool").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/tree").c_str(), (download + "/tree").c_str()), 0);
  ASSERT_EQ(::symlink("../../outside", (download + "/up").c_str()), 0);
  folder(download + "/sub");
  ASSERT_EQ(::symlink((outside + "/shared").c_str(), (download + "/sub/shared").c_str()), 0);

  Caller client(download, "VarnelVPN Client");
  const Outcome o = move(contextFor(client, download + "/varnel-install-helper"), download);
  ASSERT_EQ(o.status, installer::kDone) << o.message;
  const std::string moved = sys + "/opt/VarnelVPN Client";
  for (const auto& [name, target] :
       std::vector<std::pair<std::string, std::string>>{{"/shadow", outside + "/shadow"},
                                                        {"/tool", outside + "/tool"},
                                                        {"/tree", outside + "/tree"},
                                                        {"/up", "../../outside"},
                                                        {"/sub/shared", outside + "/shared"}}) {
    std::error_code ec;
    EXPECT_TRUE(fs::is_symlink(moved + name, ec)) << name;
    EXPECT_EQ(fs::read_symlink(moved + name, ec).string(), target) << name;
  }
  // Nothing of what the links name was copied, nor changed.
  for (const auto& e : fs::recursive_directory_iterator(moved)) {
    if (e.is_symlink() || !e.is_regular_file()) continue;
    EXPECT_NE(platform::files::readFile(e.path()), "root's secret\n") << e.path();
  }
  for (const auto& [name, st] : before) {
    struct stat now;
    ASSERT_EQ(::lstat((outside + name).c_str(), &now), 0) << name;
    EXPECT_EQ(now.st_mode, st.st_mode) << name;
    EXPECT_EQ(now.st_uid, st.st_uid) << name;
    EXPECT_EQ(now.st_mtim.tv_sec, st.st_mtim.tv_sec) << name;
    EXPECT_EQ(now.st_mtim.tv_nsec, st.st_mtim.tv_nsec) << name;
    EXPECT_EQ(now.st_ctim.tv_nsec, st.st_ctim.tv_nsec) << name;
  }
  EXPECT_EQ(platform::files::readFile(outside + "/shadow"), "root's secret\n");
}

// The destination is the installation's own folder name, whatever the
// caller's folder is called: never another program's folder.
TEST_F(InstallerTest, MoveGoesOnlyToTheInstallationsOwnName) {
  const std::string other = folder(root().file("Downloads") + "/Other Product");
  write(other + "/eula.txt", "other terms\n", 0644);
  write(other + "/varnel-install-helper", "#!/bin/sh\n", 0755);
  const std::string product = folder(sys + "/opt/Other Product");
  write(product + "/product.bin", "another program\n", 0755);
  Caller client(other, "VarnelVPN Client");
  const Context c = contextFor(client, other + "/varnel-install-helper");
  Outcome o = move(c, other, sys + "/opt/Other Product");
  EXPECT_EQ(o.status, installer::kMoveFailed);
  EXPECT_NE(o.message.find("the destination must be " + sys + "/opt/VarnelVPN Client"),
            std::string::npos)
      << o.message;
  o = move(c, other, sys + "/opt/VarnelVPN Client");
  ASSERT_EQ(o.status, installer::kDone) << o.message;
  EXPECT_EQ(platform::files::readFile(sys + "/opt/VarnelVPN Client/eula.txt"), "other terms\n");
  EXPECT_EQ(platform::files::readFile(product + "/product.bin"), "another program\n");
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(sys + "/opt")) names.insert(e.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"Other Product", "VarnelVPN Client"}));
}

// A user's client: root copies nothing the user could not have read, and
// only files, folders and links.
TEST_F(InstallerTest, MoveOfAUsersFolderCopiesOnlyWhatTheUserCouldRead) {
  constexpr uid_t kUser = 4242;
  const std::string outside = folder(root().file("outside"), 0700);
  write(outside + "/shadow", "root's secret\n", 0600);
  ASSERT_EQ(::chown(download.c_str(), kUser, kUser), 0);
  for (const auto& e : fs::recursive_directory_iterator(download))
    ASSERT_EQ(::lchown(e.path().c_str(), kUser, kUser), 0);
  Caller client(download, "VarnelVPN Client", kUser);
  Context c = contextFor(client, download + "/varnel-install-helper");
  c.authorizingUser = kUser;
  const std::string moved = sys + "/opt/VarnelVPN Client";

  // A second name of root's file (possible where hard links are not
  // protected).
  ASSERT_EQ(::link((outside + "/shadow").c_str(), (download + "/notes").c_str()), 0);
  Outcome o = move(c, download);
  EXPECT_EQ(o.status, installer::kMoveFailed);
  EXPECT_NE(o.message.find("notes is a second name of a file elsewhere"), std::string::npos)
      << o.message;
  ASSERT_EQ(::unlink((download + "/notes").c_str()), 0);
  // Another user's file.
  write(download + "/theirs", "theirs\n", 0644);
  ASSERT_EQ(::chown((download + "/theirs").c_str(), kUser + 1, kUser + 1), 0);
  o = move(c, download);
  EXPECT_EQ(o.status, installer::kMoveFailed);
  EXPECT_NE(o.message.find("theirs belongs to another user"), std::string::npos) << o.message;
  ASSERT_EQ(::unlink((download + "/theirs").c_str()), 0);
  // A named pipe (root would block on it) or any other special file.
  folder(download + "/deep");
  ASSERT_EQ(::mkfifo((download + "/deep/pipe").c_str(), 0644), 0);
  o = move(c, download);
  EXPECT_EQ(o.status, installer::kMoveFailed);
  EXPECT_NE(o.message.find("deep/pipe is not a file, folder or link"), std::string::npos)
      << o.message;
  EXPECT_TRUE(fs::is_empty(sys + "/opt"));
  ASSERT_EQ(::unlink((download + "/deep/pipe").c_str()), 0);

  // Without those, the user's folder is copied, as root's.
  o = move(c, download);
  ASSERT_EQ(o.status, installer::kDone) << o.message;
  struct stat st;
  ASSERT_EQ(::lstat((moved + "/eula.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(platform::files::readFile(outside + "/shadow"), "root's secret\n");
}

class InstallHelperTest : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    if (IsSkipped()) return;
    app = folder(sys + "/opt/VarnelVPN Client");
    write(app + "/VarnelHelper", "#!/bin/sh\n", 0755);
    platform::Value info = platform::Value::mutableDictionary();
    info.set("CFBundleIdentifier", platform::Value("VarnelHelper"));
    info.set("CFBundleVersion", platform::Value("7"));
    ASSERT_TRUE(platform::plist::writeFile(app + "/VarnelHelper.plist", info, 0644));
    write(app + "/VarnelVPN Client", "#!/bin/sh\n", 0755);
    write(app + "/sstp-options", "noipdefault\n", 0644);
    write(app + "/varnel-install-helper", "#!/bin/sh\n", 0755);
  }
  Outcome install(const std::string& label = "VarnelHelper",
                  const std::string& client = "VarnelVPN Client") {
    Context c;
    c.self = app + "/varnel-install-helper";
    return installer::run({"install-helper", label, "--client", client, "--root", sys}, c);
  }
  std::string app;
};

TEST_F(InstallHelperTest, InstallsFromItsOwnFolderAndRecordsTheOptionsFile) {
  const Outcome o = install();
  ASSERT_EQ(o.status, installer::kDone) << o.message;
  const std::optional<std::string> conf =
      platform::files::readFile(sys + "/etc/varnel/helper.conf");
  ASSERT_TRUE(conf);
  EXPECT_NE(conf->find("Client=" + app + "/VarnelVPN Client\n"), std::string::npos) << *conf;
  EXPECT_NE(conf->find("SSTPOptions=" + app + "/sstp-options\n"), std::string::npos) << *conf;
}

TEST_F(InstallHelperTest, RefusesWhatOthersCouldHaveChanged) {
  EXPECT_EQ(install("OtherHelper").status, installer::kUsage);
  EXPECT_EQ(install("VarnelHelper", "../VarnelVPN Client").status, installer::kUsage);
  // Each file of the installation: writable by others, a link, another owner.
  for (const char* name : {"VarnelHelper", "VarnelVPN Client", "sstp-options"}) {
    const std::string path = app + "/" + std::string(name);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    Outcome o = install();
    EXPECT_EQ(o.status, installer::kUnsafeInstallation) << name;
    EXPECT_NE(o.message.find(path), std::string::npos) << o.message;
    ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(install().status, installer::kUnsafeInstallation) << name;
    ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
  }
  ASSERT_EQ(::rename((app + "/sstp-options").c_str(), (app + "/real-options").c_str()), 0);
  ASSERT_EQ(::symlink("real-options", (app + "/sstp-options").c_str()), 0);
  EXPECT_EQ(install().status, installer::kUnsafeInstallation);
  ASSERT_EQ(::unlink((app + "/sstp-options").c_str()), 0);
  // The folder itself, and a folder above it.
  ASSERT_EQ(::chmod(app.c_str(), 0777), 0);
  EXPECT_EQ(install().status, installer::kUnsafeInstallation);
  ASSERT_EQ(::chmod(app.c_str(), 0755), 0);
  ASSERT_EQ(::chmod((sys + "/opt").c_str(), 0757), 0);
  EXPECT_EQ(install().status, installer::kUnsafeInstallation);
  ASSERT_EQ(::chmod((sys + "/opt").c_str(), 0755), 0);
  // The helper missing.
  ASSERT_EQ(::unlink((app + "/VarnelHelper").c_str()), 0);
  EXPECT_EQ(install().status, installer::kUnsafeInstallation);
  EXPECT_FALSE(fs::exists(sys + "/etc/varnel/helper.conf"));
}

// Every file (not folder) below `folder`.
std::vector<std::string> filesBelow(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code ec;
  if (!fs::exists(folder, ec)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(folder, ec))
    if (!entry.is_directory() || entry.is_symlink()) files.push_back(entry.path().string());
  return files;
}

// An update to another helper version uninstalls the old one (its state
// goes) and keeps the recorded users; uninstall-helper (the package's
// prerm) leaves no file of the helper in the system.
TEST_F(InstallHelperTest, UpdateReplacesTheHelperAndUninstallRemovesEverything) {
  ASSERT_EQ(::setenv("PKEXEC_UID", "4321", 1), 0);
  Outcome o = install();
  ::unsetenv("PKEXEC_UID");
  ASSERT_EQ(o.status, installer::kDone) << o.message;
  const std::string state = sys + "/var/lib/varnel/keychain/System.keychain";
  fs::create_directories(fs::path(state).parent_path());
  write(state, "secrets of a connection\n", 0600);

  platform::Value info = platform::Value::mutableDictionary();
  info.set("CFBundleIdentifier", platform::Value("VarnelHelper"));
  info.set("CFBundleVersion", platform::Value("8"));
  ASSERT_TRUE(platform::plist::writeFile(app + "/VarnelHelper.plist", info, 0644));
  o = install();
  ASSERT_EQ(o.status, installer::kDone) << o.message;
  const platform::Value installed =
      platform::plist::readFile(sys + "/usr/local/libexec/varnel/VarnelHelper.plist");
  EXPECT_EQ(installed["CFBundleVersion"].asString(), "8");
  EXPECT_FALSE(fs::exists(state));
  const std::string conf = platform::files::readFile(sys + "/etc/varnel/helper.conf").value_or("");
  EXPECT_NE(conf.find("User=4321\nUser=0\n"), std::string::npos) << conf;

  Context c;
  c.self = app + "/varnel-install-helper";
  o = installer::run({"uninstall-helper", "VarnelHelper", "--root", sys}, c);
  ASSERT_EQ(o.status, installer::kDone) << o.message;
  for (const char* place : {"/usr/local", "/etc", "/var/lib"})
    EXPECT_EQ(filesBelow(sys + place), std::vector<std::string>{}) << place;
  // The client's installation is the package's, not the helper's.
  EXPECT_TRUE(fs::exists(app + "/VarnelHelper"));
  EXPECT_EQ(installer::run({"uninstall-helper", "OtherHelper", "--root", sys}, c).status,
            installer::kUsage);
  // Nothing installed: nothing to do, and done.
  EXPECT_EQ(installer::run({"uninstall-helper", "VarnelHelper", "--root", sys}, c).status,
            installer::kDone);
}

TEST(InstallerCommandLine, CheckRootOnlyAndUsage) {
  Context c;
  EXPECT_EQ(installer::run({"check-root-only", "/usr"}, c).status, installer::kDone);
  const Outcome o = installer::run({"check-root-only", "/tmp"}, c);
  EXPECT_EQ(o.status, installer::kNotRootOnly);
  EXPECT_NE(o.message.find("/tmp can be changed by users other than root"), std::string::npos)
      << o.message;
  EXPECT_EQ(installer::run({"check-root-only", "relative"}, c).status, installer::kNotRootOnly);
  EXPECT_EQ(installer::run({"check-root-only"}, c).status, installer::kUsage);
  EXPECT_EQ(installer::run({"check-root-only", "/usr", "--root", "/"}, c).status,
            installer::kUsage);
  EXPECT_EQ(installer::run({}, c).status, installer::kUsage);
  EXPECT_EQ(installer::run({"uninstall"}, c).status, installer::kUsage);
  EXPECT_EQ(installer::run({"move", "a", "b", "--client", "x"}, c).status, installer::kUsage);
  EXPECT_FALSE(installer::needsRoot({"check-root-only", "/"}));
  EXPECT_TRUE(installer::needsRoot({"move", "a", "b"}));
}

}  // namespace
