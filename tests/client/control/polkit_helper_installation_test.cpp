// The helper installation of a normal (unprivileged) user, end to end with
// the real authorization service: polkitd and pkexec on a private system bus
// in a private mount and PID namespace (the bus socket is mounted at
// /run/dbus/system_bus_socket there, our policy and a test rule over the
// system's polkit folders, and private copies of /etc/passwd and /etc/group
// hold the test users). The client is this test program, copied into a
// root-owned installation folder beside the real installer and run as each
// user; it installs the helper through CodesigningUtilities as the login
// window does.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "client/core/helper_installer.h"
#include "client/core/move_to_applications.h"
#include "platform/system/file_util.h"
#include "support/shell.h"

namespace {

using varnel::testing::contains;
using varnel::testing::runShell;

constexpr const char* kPolicy = VARNEL_SOURCE_ROOT "/packaging/polkit/com.varnelvpn.policy";
constexpr const char* kPackagedInstaller = "/opt/VarnelVPN Client/varnel-install-helper";

// The client side, run as the unprivileged user inside the namespace.
TEST(PolkitChild, DISABLED_InstallHelper) {
  client::CodesigningUtilities utilities;
  const bool installed = utilities.installHelperWithLabel(client::kHelperLabel);
  std::cout << "RESULT=" << (installed ? 1 : 0) << "\nMESSAGE=" << utilities.failureMessage()
            << "\nEND\n";
}

// The client's move to the applications folder, run as the unprivileged
// user: the user agrees, and the copy needs an administrator.
TEST(PolkitChild, DISABLED_MoveToApplications) {
  struct UI : client::MoveToApplicationsUI {
    Answer askToMove(const std::string& message, const std::string& text) override {
      std::cout << "ASKED=" << message << " " << text << "\n";
      return Answer{true, false};
    }
    void showError(const std::string& message) override {
      std::cout << "ERROR=" << message << "\n";
    }
  } ui;
  const std::string home = std::getenv("HOME");
  const std::string bundle = home + "/Downloads/VarnelVPN Client";
  ASSERT_EQ(std::system(("mkdir -p '" + bundle + "' && echo app > '" + bundle +
                         "/file' && chmod 6777 '" + bundle + "/file'")
                            .c_str()),
            0);
  client::MoveToApplicationsOptions options;
  options.bundlePath = bundle;
  options.executableName = "VarnelVPN Client";
  options.installerPath = std::getenv("VARNEL_TEST_INSTALLER");
  options.exitProcess = [](int status) { std::cout << "EXIT=" << status << "\n"; };
  options.runInBackground = [](const std::string&) { return true; };
  client::offerMoveToApplicationsFolder(&ui, options);
  std::cout << "SOURCE_LEFT=" << (::access(bundle.c_str(), F_OK) == 0 ? 1 : 0) << "\nEND\n";
}

bool have(const char* path) { return ::access(path, X_OK) == 0; }

std::string read(const std::string& path) { return platform::files::readFile(path).value_or(""); }

void write(const std::string& path, const std::string& text, unsigned mode = 0644) {
  ASSERT_TRUE(platform::files::writeFileAtomically(path, text, mode)) << path;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The section of the namespace script's output for one run of the client.
std::string section(const std::string& output, const std::string& name) {
  const std::size_t begin = output.find("=== " + name + "\n");
  if (begin == std::string::npos) return {};
  const std::size_t end = output.find("=== ", begin + 4);
  return output.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

unsigned freeId(unsigned from, bool group) {
  for (unsigned id = from;; ++id) {
    if (group ? ::getgrgid(id) == nullptr : ::getpwuid(id) == nullptr) return id;
  }
}

class PolkitHelperInstallationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make the namespace and users";
    for (const char* program :
         {"/usr/bin/pkexec", "/usr/lib/polkit-1/polkitd", "/usr/bin/dbus-daemon",
          "/usr/bin/unshare", "/usr/bin/setpriv", "/usr/bin/gdbus", "/usr/bin/setsid"}) {
      if (!have(program)) GTEST_SKIP() << program << " is not installed";
    }
    char tmpl[] = "/tmp/varnel-polkit-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ::chmod(dir_.c_str(), 0755);
  }
  void TearDown() override {
    if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  std::string dir_;
};

TEST_F(PolkitHelperInstallationTest, AllowedUserInstallsAndUpdatesRefusedUsersAreTold) {
  const std::string app = dir_ + "/app", root = dir_ + "/root";
  for (const std::string& folder :
       {app, root, root + "/opt", dir_ + "/actions", dir_ + "/rules", dir_ + "/etc"})
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0) << folder;

  // The installation: this program as the client, the real installer, a helper.
  ASSERT_EQ(runShell("cp /proc/" + std::to_string(::getpid()) + "/exe '" + app +
                     "/VarnelVPN Client' && cp '" VARNEL_INSTALLER_PATH "' '" + app + "/'")
                .status,
            0);
  write(app + "/VarnelHelper", "#!/bin/sh\n# helper\n", 0755);
  auto info = [](const char* version) {
    return std::string(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>VarnelHelper</string>"
               "<key>CFBundleVersion</key><string>") +
           version + "</string></dict></plist>\n";
  };
  write(app + "/VarnelHelper.plist", info("200"));
  write(dir_ + "/VarnelHelper-201.plist", info("201"));
  write(dir_ + "/VarnelHelper-202.plist", info("202"));

  // Users: one a rule allows, one a rule refuses, one no rule names (the
  // policy then wants an administrator's password, and no agent can ask).
  const unsigned gid = freeId(64000, true);
  unsigned uid = 64000;
  std::string passwd = read("/etc/passwd"), group = read("/etc/group");
  std::map<std::string, unsigned> users;
  for (const char* name : {"varnel-t-ok", "varnel-t-no", "varnel-t-ask"}) {
    uid = freeId(uid, false);
    users[name] = uid;
    const std::string home = dir_ + "/home-" + name;
    ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(::chown(home.c_str(), uid, gid), 0);
    passwd += std::string(name) + ":x:" + std::to_string(uid) + ":" + std::to_string(gid) +
              "::" + home + ":/bin/sh\n";
    ++uid;
  }
  group += "varnel-t:x:" + std::to_string(gid) + ":\n";
  write(dir_ + "/etc/passwd", passwd);
  write(dir_ + "/etc/group", group);

  // Polkit: the system's actions plus ours for this installer; the rule.
  ASSERT_EQ(
      runShell("cp /usr/share/polkit-1/actions/*.policy '" + dir_ + "/actions/' 2>/dev/null; true")
          .status,
      0);
  write(dir_ + "/actions/com.varnelvpn.policy",
        replaceAll(read(kPolicy), kPackagedInstaller, app + "/varnel-install-helper"));
  write(dir_ + "/rules/50-varnel-test.rules",
        "polkit.addRule(function(action, subject) {\n"
        "  if (action.id != \"com.varnelvpn.helper.install\" &&\n"
        "      action.id != \"com.varnelvpn.client.move\") return polkit.Result.NOT_HANDLED;\n"
        "  if (subject.user == \"varnel-t-ok\") return polkit.Result.YES;\n"
        "  if (subject.user == \"varnel-t-no\") return polkit.Result.NO;\n"
        "  return polkit.Result.NOT_HANDLED;\n"
        "});\n");
  if (const struct passwd* polkitd = ::getpwnam("polkitd")) {
    ::chown((dir_ + "/rules").c_str(), polkitd->pw_uid, polkitd->pw_gid);
    ::chown((dir_ + "/rules/50-varnel-test.rules").c_str(), polkitd->pw_uid, polkitd->pw_gid);
    ::chmod((dir_ + "/rules").c_str(), 0700);
  }
  write(dir_ + "/bus.conf",
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
        "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig><type>system</type><listen>unix:path=/run/dbus/system_bus_socket</listen>"
        "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
        "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
        "<allow own=\"*\"/></policy></busconfig>\n");

  const std::string client = app + "/VarnelVPN Client";
  auto runAs = [&](const std::string& name) {
    return "echo '=== " + name + "'\nsetsid --wait setpriv --reuid=" + std::to_string(users[name]) +
           " --regid=" + std::to_string(gid) + " --clear-groups env -i HOME=" + dir_ + "/home-" +
           name + " PATH=/usr/bin:/bin VARNEL_ROOT=" + root + " '" + client +
           "' --gtest_filter=PolkitChild.DISABLED_InstallHelper --gtest_also_run_disabled_tests "
           "</dev/null 2>&1\necho \"config: $(grep '^User=' " +
           root +
           "/etc/varnel/helper.conf 2>/dev/null)\"\n"
           "echo \"version: $(grep -o '20[0-9]' " +
           root + "/usr/local/libexec/varnel/VarnelHelper.plist 2>/dev/null)\"\n";
  };
  // The installer moves only the folder of the program that asks: the
  // client runs from the downloaded folder it moves.
  auto moveAs = [&](const std::string& name) {
    const std::string downloads = dir_ + "/home-" + name + "/Downloads";
    const std::string bundle = downloads + "/VarnelVPN Client";
    return "echo '=== move " + name + "'\nmkdir -p '" + bundle + "' && cp '" + client + "' '" +
           bundle + "/' && chown -R " + std::to_string(users[name]) + ":" + std::to_string(gid) +
           " '" + downloads + "'\nsetsid --wait setpriv --reuid=" + std::to_string(users[name]) +
           " --regid=" + std::to_string(gid) + " --clear-groups env -i HOME=" + dir_ + "/home-" +
           name + " PATH=/usr/bin:/bin VARNEL_ROOT=" + root + " VARNEL_TEST_INSTALLER='" + app +
           "/varnel-install-helper' '" + bundle + "/VarnelVPN Client" +
           "' --gtest_filter=PolkitChild.DISABLED_MoveToApplications "
           "--gtest_also_run_disabled_tests </dev/null 2>&1\n"
           "echo \"moved: $(cat '" +
           root +
           "/opt/VarnelVPN Client/file' 2>/dev/null) "
           "$(stat -c '%u %a' '" +
           root + "/opt/VarnelVPN Client/file' 2>/dev/null)\"\n";
  };
  write(
      dir_ + "/ns.sh",
      "set -u\n"
      "D='" +
          dir_ +
          "'\n"
          "mount --make-rprivate / || exit 10\n"
          "mount -t tmpfs tmpfs /run/dbus || exit 11\n"
          "mount --bind \"$D/etc/passwd\" /etc/passwd && mount --bind \"$D/etc/group\" /etc/group "
          "|| exit 12\n"
          "mount --bind \"$D/actions\" /usr/share/polkit-1/actions || exit 13\n"
          "mkdir -p /etc/polkit-1/rules.d 2>/dev/null; mount --bind \"$D/rules\" "
          "/etc/polkit-1/rules.d || exit 14\n"
          "mkfifo \"$D/address\"\n"
          "dbus-daemon --config-file=\"$D/bus.conf\" --nofork --print-address=3 3>\"$D/address\" "
          "2>\"$D/bus.log\" &\n"
          "read -r address < \"$D/address\" || exit 15\n"
          "/usr/lib/polkit-1/polkitd --no-debug >\"$D/polkitd.log\" 2>&1 &\n"
          "gdbus wait --system --timeout 20 org.freedesktop.PolicyKit1 || exit 16\n" +
          runAs("varnel-t-ok") + "cp \"$D/VarnelHelper-201.plist\" '" + app +
          "/VarnelHelper.plist'\n" +
          replaceAll(runAs("varnel-t-ok"), "=== varnel-t-ok", "=== update") +
          "cp \"$D/VarnelHelper-202.plist\" '" + app + "/VarnelHelper.plist'\n" +
          runAs("varnel-t-no") + runAs("varnel-t-ask") + moveAs("varnel-t-no") +
          moveAs("varnel-t-ok") + "exit 0\n");

  const varnel::testing::ShellOutcome outcome =
      runShell("unshare --mount --pid --fork --mount-proc /bin/sh '" + dir_ + "/ns.sh' 2>&1");
  ASSERT_EQ(outcome.status, 0) << outcome.output << read(dir_ + "/polkitd.log");
  const std::string ok = std::to_string(users["varnel-t-ok"]);

  // The allowed user installs without a password, then updates.
  const std::string install = section(outcome.output, "varnel-t-ok");
  EXPECT_TRUE(contains(install, "RESULT=1")) << install;
  EXPECT_TRUE(contains(install, "config: User=" + ok + "\n")) << install;
  EXPECT_TRUE(contains(install, "version: 200")) << install;
  const std::string update = section(outcome.output, "update");
  EXPECT_TRUE(contains(update, "RESULT=1")) << update;
  EXPECT_TRUE(contains(update, "version: 201")) << update;
  EXPECT_TRUE(contains(update, "config: User=" + ok + "\n")) << update;

  // With 202 shipped, a refused user gets false and a sentence to show;
  // the installed 201 stays.
  const std::string refused = section(outcome.output, "varnel-t-no");
  EXPECT_TRUE(contains(refused, "RESULT=0")) << refused;
  EXPECT_TRUE(contains(refused, "MESSAGE=You are not authorized to install the VarnelVPN helper"))
      << refused;
  EXPECT_TRUE(contains(refused, "config: User=" + ok + "\n")) << refused;
  EXPECT_TRUE(contains(refused, "version: 201")) << refused;

  // A user the policy wants a password from, with no agent to ask it.
  const std::string ask = section(outcome.output, "varnel-t-ask");
  EXPECT_TRUE(contains(ask, "RESULT=0")) << ask;
  EXPECT_TRUE(contains(ask, "MESSAGE=No authentication agent is running")) << ask;
  EXPECT_TRUE(contains(ask, "config: User=" + ok + "\n")) << ask;

  // The move: refused, the user sees the failure alert and nothing moves;
  // allowed, a root-owned copy is in place, the old folder is gone and the
  // client ends so that the copy can start.
  const std::string moveRefused = section(outcome.output, "move varnel-t-no");
  EXPECT_TRUE(contains(moveRefused, "ERROR=Could not move to Applications folder")) << moveRefused;
  EXPECT_TRUE(contains(moveRefused, "SOURCE_LEFT=1")) << moveRefused;
  EXPECT_TRUE(contains(moveRefused, "moved:  \n")) << moveRefused;
  const std::string moved = section(outcome.output, "move varnel-t-ok");
  EXPECT_TRUE(contains(moved, "administrator password")) << moved;
  EXPECT_FALSE(contains(moved, "ERROR=")) << moved;
  EXPECT_TRUE(contains(moved, "EXIT=0")) << moved;
  EXPECT_TRUE(contains(moved, "SOURCE_LEFT=0")) << moved;
  // Root's copy keeps no set-id bits and nothing others could change.
  EXPECT_TRUE(contains(moved, "moved: app 0 755\n")) << moved;

  // Installed files are root's.
  struct stat st;
  ASSERT_EQ(::stat((root + "/usr/local/libexec/varnel/VarnelHelper").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(PolkitHelperInstallationTest, InstallerInstallsOnlyFilesOnlyRootCanChange) {
  const std::string app = dir_ + "/app", root = dir_ + "/root";
  ASSERT_EQ(::mkdir(app.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(runShell("cp '" VARNEL_INSTALLER_PATH "' '" + app + "/' && printf '#!/bin/sh\\n' > '" +
                     app + "/VarnelVPN Client' && chmod 755 '" + app + "/VarnelVPN Client'")
                .status,
            0);
  write(dir_ + "/elsewhere", "#!/bin/sh\n# not ours\n", 0755);
  ASSERT_EQ(::symlink((dir_ + "/elsewhere").c_str(), (app + "/VarnelHelper").c_str()), 0);
  const std::string install = "'" + app +
                              "/varnel-install-helper' install-helper VarnelHelper --client "
                              "'VarnelVPN Client' --root '" +
                              root + "' 2>&1";
  // A symbolic link instead of the helper.
  varnel::testing::ShellOutcome r = runShell(install);
  EXPECT_EQ(r.status, 4) << r.output;
  EXPECT_TRUE(contains(r.output, "is not a regular file")) << r.output;
  // A folder others can write to.
  ASSERT_EQ(::unlink((app + "/VarnelHelper").c_str()), 0);
  write(app + "/VarnelHelper", "#!/bin/sh\n", 0755);
  ::chmod(app.c_str(), 0777);
  r = runShell(install);
  EXPECT_EQ(r.status, 4) << r.output;
  EXPECT_TRUE(contains(r.output, "can be changed by users other than root")) << r.output;
  // A system root others can write to.
  ::chmod(app.c_str(), 0755);
  ::chmod(root.c_str(), 0777);
  r = runShell(install);
  EXPECT_EQ(r.status, 5) << r.output;
  ::chmod(root.c_str(), 0755);
  EXPECT_NE(::access((root + "/usr/local/libexec/varnel/VarnelHelper").c_str(), F_OK), 0);
}

}  // namespace
