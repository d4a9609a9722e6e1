#include "apps/installer/installer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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
// caller that asks for the move.
class Caller {
 public:
  Caller(const std::string& folder, const std::string& name) {
    path_ = folder + "/" + name;
    fs::copy_file("/usr/bin/sleep", path_, fs::copy_options::overwrite_existing);
    ::chmod(path_.c_str(), 0755);
    // The pipe's write end closes when the child's exec succeeds: reading
    // it to its end waits exactly until the program runs.
    int ready[2];
    EXPECT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(path_.c_str(), path_.c_str(), "60", static_cast<char*>(nullptr));
      ::_exit(127);
    }
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
  Caller client(download, "VarnelVPN Client");
  const Outcome o = move(contextFor(client, download + "/varnel-install-helper"), download);
  ASSERT_EQ(o.status, installer::kDone) << o.message;
  const std::string moved = sys + "/opt/VarnelVPN Client";
  struct stat st;
  ASSERT_EQ(::lstat((moved + "/varnel-install-helper").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & (S_ISUID | S_ISGID | S_IWGRP | S_IWOTH), 0u);
  EXPECT_EQ(platform::files::readFile(moved + "/eula.txt"), "terms\n");
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
  // A link to the client's folder names the same folder: accepted only
  // because it resolves to it.
  ASSERT_EQ(::symlink(download.c_str(), root().file("link").c_str()), 0);
  EXPECT_EQ(move(c, root().file("link")).status, installer::kDone);
  EXPECT_FALSE(fs::exists(sys + "/opt/link"));

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
