// The installation records every user who authorized it ("User=<uid>"
// beside "Client=" in the helper configuration) and lets those users, and
// nobody else, reach the channel socket; the units it writes are valid and
// never stop the helper after a burst of sessions; the uninstall leaves
// nothing of the helper behind.
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "platform/servicemanagement/service_management.h"
#include "platform/sysconfig/authorization.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"
#include "platform/xpc/service_names.h"
#include "support/shell.h"
#include "support/temp_root.h"

namespace {

namespace sm = platform::servicemanagement;
using platform::sysconfig::Authorization;

// Sets (or, for nullptr, unsets) an environment variable for the scope.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedVariable() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(AuthorizingUser, PolkitThenSudoThenTheRealUser) {
  {
    ScopedVariable pkexec("PKEXEC_UID", "1234"), sudo("SUDO_UID", "99");
    EXPECT_EQ(sm::authorizingUserFromEnvironment(), 1234u);
  }
  {
    ScopedVariable pkexec("PKEXEC_UID", nullptr), sudo("SUDO_UID", "99");
    EXPECT_EQ(sm::authorizingUserFromEnvironment(), 99u);
  }
  for (const char* junk : {"", "12x", "-1", "4294967295", "99999999999", " 7"}) {
    ScopedVariable pkexec("PKEXEC_UID", junk), sudo("SUDO_UID", nullptr);
    EXPECT_EQ(sm::authorizingUserFromEnvironment(), ::getuid()) << '"' << junk << '"';
  }
  ScopedVariable pkexec("PKEXEC_UID", nullptr), sudo("SUDO_UID", nullptr);
  EXPECT_EQ(sm::authorizingUserFromEnvironment(), ::getuid());
}

class UserRecordTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    app_ = root().file("app");
    platform::paths::createDirectories(app_);
    ASSERT_TRUE(platform::files::writeFileAtomically(app_ + "/VarnelVPN", "#!/bin/sh\n", 0755));
    ASSERT_TRUE(platform::files::writeFileAtomically(app_ + "/VarnelHelper", "#!/bin/sh\n", 0755));
    ASSERT_TRUE(platform::plist::writeFile(
        app_ + "/VarnelHelper.plist",
        platform::Value::dictionary(
            {{"CFBundleIdentifier", "VarnelHelper"}, {"CFBundleVersion", "200"}})));
    bundle_ = platform::Bundle::forExecutable(app_ + "/VarnelVPN");
    ASSERT_TRUE(bundle_);
    Authorization::Options granting;
    granting.policy = [](const std::string&) { return platform::sysconfig::kAuthorizationSuccess; };
    platform::sysconfig::AuthorizationStatus status;
    authorization_ = Authorization::create(&status, granting);
    ASSERT_EQ(authorization_->copyRights(sm::kSMRightBlessPrivilegedHelper, 0),
              platform::sysconfig::kAuthorizationSuccess);
  }

  std::string configuration() {
    return platform::files::readFile(platform::paths::system("/etc/varnel/helper.conf"))
        .value_or("");
  }
  std::string socketUnit() {
    return platform::files::readFile(platform::paths::systemdUnits() + "/varnel-helper.socket")
        .value_or("");
  }

  std::string app_;
  std::shared_ptr<const platform::Bundle> bundle_;
  std::shared_ptr<Authorization> authorization_;
};

TEST_F(UserRecordTest, EveryAuthorizingUserIsRecordedAndMayPassTheSocketFolder) {
  platform::Error error;
  ASSERT_TRUE(sm::blessJob(sm::kSMDomainSystemLaunchd, "VarnelHelper", *bundle_,
                           authorization_.get(), 4321, &error))
      << error.description();
  const std::string conf = configuration();
  EXPECT_NE(conf.find("Client=" + app_ + "/VarnelVPN\nUser=4321\n"), std::string::npos) << conf;
  EXPECT_EQ(sm::authorizedUsers(), std::vector<uid_t>{4321});
  // The socket names no user: the folder it lives in decides who gets in.
  const std::string unit = socketUnit();
  EXPECT_EQ(unit.find("SocketUser="), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nDirectoryMode=0700\n"), std::string::npos) << unit;

  // A second user's installation keeps the first: both are served, and
  // the socket unit (which a change would make systemd re-create, ending
  // the first user's connection) stays as it was.
  ScopedVariable pkexec("PKEXEC_UID", "777");
  ASSERT_TRUE(sm::blessJob(sm::kSMDomainSystemLaunchd, "VarnelHelper", *bundle_,
                           authorization_.get(), &error));
  EXPECT_EQ(sm::authorizedUsers(), (std::vector<uid_t>{4321, 777}));
  EXPECT_EQ(socketUnit(), unit);
  const std::string access =
      platform::files::readFile(sm::tmpfilesPath("VarnelHelper")).value_or("");
  EXPECT_NE(access.find("d " + platform::paths::runtime() + " 0700 root root -\n"),
            std::string::npos)
      << access;
  EXPECT_NE(access.find("a " + platform::paths::runtime() + " - - - - u:4321:--x,u:777:--x\n"),
            std::string::npos)
      << access;
  // Installing again for a recorded user adds nobody.
  ASSERT_TRUE(sm::blessJob(sm::kSMDomainSystemLaunchd, "VarnelHelper", *bundle_,
                           authorization_.get(), 4321, &error));
  EXPECT_EQ(sm::authorizedUsers(), (std::vector<uid_t>{4321, 777}));
}

// Whether `uid` can connect() to the Unix socket at `path`: 0, or the errno.
int connectAs(uid_t uid, const std::string& path) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
        ::setresuid(uid, uid, uid) != 0)
      ::_exit(200);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) ::_exit(0);
    ::_exit(errno);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The mechanism itself, as systemd applies it at install time and at
// every boot: systemd-tmpfiles makes the folder and its access list from
// the installed file, the socket unit's socket is made in it, and the
// kernel decides who may connect.
TEST_F(UserRecordTest, RecordedUsersConnectAndNobodyElseCan) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root (other users' connect())";
  if (::access("/bin/systemd-tmpfiles", X_OK) != 0) GTEST_SKIP() << "no systemd-tmpfiles";
  platform::Error error;
  ASSERT_TRUE(sm::blessJob(sm::kSMDomainSystemLaunchd, "VarnelHelper", *bundle_,
                           authorization_.get(), 61001, &error));
  ASSERT_TRUE(sm::blessJob(sm::kSMDomainSystemLaunchd, "VarnelHelper", *bundle_,
                           authorization_.get(), 61002, &error));
  // Every folder above the runtime folder lets others pass, as /run does
  // (the test's own folders are opened up; the machine's are only looked at).
  for (std::string folder = platform::files::parentFolder(platform::paths::runtime());
       folder.size() > 1; folder = platform::files::parentFolder(folder)) {
    if (folder.size() >= root().path().size()) {
      ::chmod(folder.c_str(), 0755);
      continue;
    }
    struct stat above;
    if (::stat(folder.c_str(), &above) != 0 || (above.st_mode & S_IXOTH) == 0)
      GTEST_SKIP() << folder << " does not let other users pass";
  }
  const varnel::testing::ShellOutcome tmpfiles = varnel::testing::runShell(
      "/bin/systemd-tmpfiles --create '" + sm::tmpfilesPath("VarnelHelper") + "' 2>&1");
  ASSERT_EQ(tmpfiles.status, 0) << tmpfiles.output;
  struct stat st;
  ASSERT_EQ(::stat(platform::paths::runtime().c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);

  const std::string path = platform::xpc::socketPathForService("VarnelHelper");
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  const std::string unit = socketUnit();
  ASSERT_NE(unit.find("\nSocketMode=0666\n"), std::string::npos) << unit;
  ::chmod(path.c_str(), 0666);

  EXPECT_EQ(connectAs(61001, path), 0);
  EXPECT_EQ(connectAs(61002, path), 0);
  EXPECT_EQ(connectAs(61003, path), EACCES);
  ::close(listener);
}

// The unit texts as systemd reads them: no key it does not know, and no
// start limit on either unit (the helper is started once per session and
// ends with it).
TEST_F(UserRecordTest, UnitsAreValidAndCarryNoStartLimit) {
  const std::string socket =
      sm::socketUnitText("VarnelHelper", platform::xpc::socketPathForService("VarnelHelper"));
  const std::string service =
      sm::serviceUnitText("VarnelHelper", sm::installedHelperPath("VarnelHelper"));
  auto section = [](const std::string& text, const std::string& name) {
    const std::size_t start = text.find("[" + name + "]\n");
    if (start == std::string::npos) return std::string();
    const std::size_t end = text.find("\n[", start + 1);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  };
  EXPECT_NE(section(service, "Unit").find("\nStartLimitIntervalSec=0\n"), std::string::npos)
      << service;
  EXPECT_NE(section(socket, "Socket").find("\nTriggerLimitIntervalSec=0\n"), std::string::npos)
      << socket;
  EXPECT_NE(section(service, "Service")
                .find("\nExecStart=" + sm::installedHelperPath("VarnelHelper") + "\n"),
            std::string::npos)
      << service;

  if (::access("/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze";
  // systemd-analyze marks its load in /run/systemd: a private one.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root (a private /run/systemd)";
  platform::Error error;
  ASSERT_TRUE(sm::blessJob(sm::kSMDomainSystemLaunchd, "VarnelHelper", *bundle_,
                           authorization_.get(), 4321, &error));
  const std::string units = platform::paths::systemdUnits();
  const varnel::testing::ShellOutcome verify = varnel::testing::runShell(
      "unshare --mount sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /run/systemd && "
      "cd \"$0\" && /bin/systemd-analyze verify ./varnel-helper.socket "
      "./varnel-helper.service' '" +
      units + "' 2>&1");
  EXPECT_EQ(verify.status, 0) << verify.output;
  for (const char* complaint : {"Unknown", "ignoring", "Failed", "rror"})
    EXPECT_EQ(verify.output.find(complaint), std::string::npos) << verify.output;
}

// A change of the units is reloaded and the socket re-created: "enable
// --now" alone leaves a socket that already listens as it was.
TEST(ServiceManagerCommands, ChangedUnitsAreReloadedAndTheSocketRecreated) {
  using Commands = std::vector<std::vector<std::string>>;
  const std::string tmpfiles = sm::tmpfilesPath("VarnelHelper");
  EXPECT_EQ(sm::serviceManagerCommands("VarnelHelper", true),
            (Commands{{"/bin/systemd-tmpfiles", "--create", tmpfiles},
                      {"/bin/systemctl", "daemon-reload"},
                      {"/bin/systemctl", "enable", "varnel-helper.socket"},
                      {"/bin/systemctl", "restart", "varnel-helper.socket"}}));
  // A new user changes only the access list: a connection that runs stays.
  EXPECT_EQ(sm::serviceManagerCommands("VarnelHelper", false),
            (Commands{{"/bin/systemd-tmpfiles", "--create", tmpfiles},
                      {"/bin/systemctl", "enable", "varnel-helper.socket"},
                      {"/bin/systemctl", "start", "varnel-helper.socket"}}));
}

// Every file under the system root, folders excluded.
void filesBelow(const std::string& folder, std::vector<std::string>* out) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      filesBelow(path, out);
    else
      out->push_back(path);
  }
  ::closedir(dir);
}

TEST_F(UserRecordTest, UninstallLeavesNothingOfTheHelper) {
  platform::Error error;
  ASSERT_TRUE(sm::blessJob(sm::kSMDomainSystemLaunchd, "VarnelHelper", *bundle_,
                           authorization_.get(), 4321, &error));
  // The helper's state from its connections: keychain and network services.
  for (const std::string& file : {platform::paths::systemKeychain() + "/System.keychain",
                                  platform::paths::systemPreferences() + "/network.plist"}) {
    ASSERT_TRUE(platform::paths::createDirectories(platform::files::parentFolder(file), 0700));
    ASSERT_TRUE(platform::files::writeFileAtomically(file, "state", 0600));
  }
  std::vector<std::string> before;
  filesBelow(platform::paths::systemRoot(), &before);
  ASSERT_GE(before.size(), 8u);

  Authorization::Options granting;
  granting.policy = [](const std::string&) { return platform::sysconfig::kAuthorizationSuccess; };
  platform::sysconfig::AuthorizationStatus status;
  auto admin = Authorization::create(&status, granting);
  ASSERT_EQ(admin->copyRights(platform::sysconfig::kAuthorizationRightAdmin, 0),
            platform::sysconfig::kAuthorizationSuccess);
  ASSERT_TRUE(sm::removeJob("VarnelHelper", admin.get(), &error)) << error.description();
  std::vector<std::string> after;
  filesBelow(platform::paths::systemRoot(), &after);
  EXPECT_EQ(after, std::vector<std::string>{});
  for (const char* folder : {"/usr/local/libexec/varnel", "/etc/varnel", "/var/lib/varnel"})
    EXPECT_NE(::access(platform::paths::system(folder).c_str(), F_OK), 0) << folder;
  EXPECT_TRUE(sm::authorizedUsers().empty());
}

TEST_F(UserRecordTest, NoUserNoInstallation) {
  platform::Error error;
  EXPECT_FALSE(sm::blessJob(sm::kSMDomainSystemLaunchd, "VarnelHelper", *bundle_,
                            authorization_.get(), static_cast<uid_t>(-1), &error));
  EXPECT_TRUE(configuration().empty());
}

TEST_F(UserRecordTest, UnreadableUserLinesAreIgnored) {
  const std::string path = platform::paths::system("/etc/varnel/helper.conf");
  ASSERT_TRUE(platform::paths::createDirectories(platform::files::parentFolder(path), 0755));
  ASSERT_TRUE(platform::files::writeFileAtomically(
      path, "User=\nUser=abc\nUser=-5\nUser=4294967295\n# User=8\nUser=12\nUser=0\n", 0644));
  EXPECT_EQ(sm::authorizedUsers(), (std::vector<uid_t>{12, 0}));
}

}  // namespace
