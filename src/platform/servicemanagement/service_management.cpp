#include "platform/servicemanagement/service_management.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "platform/system/child_process.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"
#include "platform/xpc/service_names.h"

extern char** environ;

namespace platform::servicemanagement {

namespace {

inline constexpr const char* kHelperConfiguration = "/etc/varnel/helper.conf";
inline constexpr const char* kSystemctl = "/bin/systemctl";
inline constexpr const char* kTmpfiles = "/bin/systemd-tmpfiles";

Error smError(std::int64_t code, const std::string& description) {
  Value info = Value::mutableDictionary();
  info.set(kLocalizedDescriptionKey, Value(description));
  return Error(kSMErrorDomain, code, info);
}

bool fail(Error* error, std::int64_t code, const std::string& description) {
  if (error) *error = smError(code, description);
  return false;
}

bool isExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool copyFile(const std::string& from, const std::string& to, unsigned mode, Error* error) {
  Error io;
  std::optional<std::string> bytes = files::readFile(from, &io);
  if (!bytes) return fail(error, kSMErrorInternalFailure, "Cannot read " + from);
  if (!files::writeFileAtomically(to, *bytes, mode, &io))
    return fail(error, kSMErrorInternalFailure, "Cannot write " + to);
  return true;
}

// The information list a program prints when asked ("--info-plist"), read
// with a time-out; None when it prints none.
Value embeddedInformation(const std::string& path) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::string program = path, flag = "--info-plist";
  char* argv[] = {program.data(), flag.data(), nullptr};
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    return {};
  }
  std::string text;
  char buffer[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{out[0], POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0 || text.size() + static_cast<std::size_t>(n) > (1u << 16)) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  ::kill(pid, SIGKILL);  // harmless once it has ended: it is not reaped yet
  process::waitFor(pid);
  Value info = plist::parse(text);
  return info.isDictionary() ? info : Value();
}

// A plain decimal uid (not the "no user" value); nullopt otherwise.
std::optional<uid_t> parseUid(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (n >= static_cast<std::uint64_t>(static_cast<uid_t>(-1))) return std::nullopt;
  return static_cast<uid_t>(n);
}

bool isFolder(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Removes `path` with everything in it, following no symbolic link; true
// when nothing is left.
bool removeTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0 || errno == ENOENT;
  if (DIR* dir = ::opendir(path.c_str())) {
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) removeTree(path + "/" + name);
  }
  return ::rmdir(path.c_str()) == 0 || errno == ENOENT;
}

// Removes the folder when it is empty (and not a link); a folder that still
// holds something else is left.
void removeEmptyFolder(const std::string& path) {
  if (isFolder(path)) ::rmdir(path.c_str());
}

std::vector<uid_t> withUser(std::vector<uid_t> users, uid_t user) {
  if (std::find(users.begin(), users.end(), user) == users.end()) users.push_back(user);
  return users;
}

// Writes `text` to `path` unless it holds that already; `*changed` tells
// which.
bool writeIfChanged(const std::string& path, const std::string& text, bool* changed) {
  if (files::readFile(path) == std::optional<std::string>(text)) return true;
  *changed = true;
  Error io;
  return files::writeFileAtomically(path, text, 0644, &io);
}

void runCommands(const std::vector<std::vector<std::string>>& commands) {
  for (const std::vector<std::string>& command : commands) process::runAndWait(command);
}

}  // namespace

std::string helperConfiguration(const Bundle& client, uid_t authorizingUser) {
  return helperConfiguration(client, std::vector<uid_t>{authorizingUser});
}

std::string helperConfiguration(const Bundle& client, const std::vector<uid_t>& users) {
  std::string text = "# Written by the client's helper installation.\n";
  if (!client.executablePath().empty()) text += "Client=" + client.executablePath() + "\n";
  for (uid_t user : users) text += "User=" + std::to_string(user) + "\n";
  for (const char* name : {"openvpn", "sstpc"}) {
    std::string path = client.resourcePath() + "/" + name;
    if (!client.resourcePath().empty() && isExecutableFile(path))
      text += "Executable=" + path + "\n";
  }
  // The SSTP client's options file: the only one the helper hands to pppd.
  const std::string options = client.resourcePath() + "/sstp-options";
  struct stat st;
  if (!client.resourcePath().empty() && ::lstat(options.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    text += "SSTPOptions=" + options + "\n";
  return text;
}

std::string socketUnitText(std::string_view label, const std::string& socketPath) {
  const std::string name(label);
  return "# Channel socket of the privileged helper " + name +
         ", installed by the client.\n"
         "# The socket is open to all in a folder that only root and the users\n"
         "# recorded in /etc/varnel/helper.conf may pass (see\n"
         "# /etc/tmpfiles.d/" +
         unitNameForLabel(label) +
         ".conf): nobody else can connect.\n"
         "[Unit]\nDescription=" +
         name +
         " channel socket\n\n"
         "[Socket]\nListenStream=" +
         socketPath +
         "\nSocketMode=0666\nDirectoryMode=0700\nRemoveOnStop=yes\n"
         "# Every client session starts the helper anew: no burst of sessions may\n"
         "# stop the socket.\n"
         "TriggerLimitIntervalSec=0\n\n"
         "[Install]\nWantedBy=sockets.target\n";
}

std::string serviceUnitText(std::string_view label, const std::string& program) {
  const std::string name(label);
  const std::string unit = unitNameForLabel(label);
  return "# The privileged helper " + name +
         ", started on demand by its socket; it ends with\n"
         "# its client.\n"
         "[Unit]\nDescription=" +
         name + "\nRequires=" + unit + ".socket\nAfter=" + unit +
         ".socket\n"
         "# Each client session is one start: short sessions in a row must never\n"
         "# leave the helper unreachable.\n"
         "StartLimitIntervalSec=0\n\n"
         "[Service]\nType=simple\nExecStart=" +
         program +
         "\nRestart=no\n"
         "# Lines on standard error reach the journal with their <N> priority.\n"
         "StandardError=journal\nSyslogIdentifier=" +
         name +
         "\n"
         "# What the helper and its children (OpenVPN, the SSTP client and pppd)\n"
         "# need: tunnel and PPP devices, routes and addresses, /etc/resolv.conf,\n"
         "# its state under /var/lib/varnel and /run, the system bus to\n"
         "# NetworkManager, and the peer's /proc entry (ptrace capability).\n"
         "CapabilityBoundingSet=CAP_NET_ADMIN CAP_NET_RAW CAP_NET_BIND_SERVICE CAP_SETUID "
         "CAP_SETGID CAP_IPC_LOCK CAP_SYS_CHROOT CAP_DAC_OVERRIDE CAP_DAC_READ_SEARCH CAP_FOWNER "
         "CAP_CHOWN CAP_KILL CAP_SYS_PTRACE\n"
         "NoNewPrivileges=yes\n"
         "ProtectSystem=true\nProtectHome=yes\nPrivateTmp=yes\n"
         "ProtectKernelModules=yes\nProtectKernelLogs=yes\nProtectKernelTunables=yes\n"
         "ProtectControlGroups=yes\nProtectClock=yes\nProtectHostname=yes\n"
         "DevicePolicy=closed\nDeviceAllow=/dev/net/tun rw\nDeviceAllow=/dev/ppp rw\n"
         "DeviceAllow=/dev/ptmx rw\nDeviceAllow=char-pts rw\n"
         "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK AF_PPPOX\n"
         "RestrictNamespaces=yes\nRestrictRealtime=yes\nRestrictSUIDSGID=yes\n"
         "LockPersonality=yes\nMemoryDenyWriteExecute=yes\nSystemCallArchitectures=native\n"
         "SystemCallFilter=@system-service\nSystemCallErrorNumber=EPERM\n";
}

std::string tmpfilesText(const std::string& runtimeFolder, const std::vector<uid_t>& users) {
  std::string text =
      "# Written by the client's helper installation: the helper's socket folder\n"
      "# is root's, and only the users recorded in /etc/varnel/helper.conf may\n"
      "# pass it.\n"
      "d " +
      runtimeFolder + " 0700 root root -\n";
  std::string entries;
  for (uid_t user : users) {
    if (user == 0) continue;
    entries += (entries.empty() ? "" : ",") + std::string("u:") + std::to_string(user) + ":--x";
  }
  if (!entries.empty()) text += "a " + runtimeFolder + " - - - - " + entries + "\n";
  return text;
}

std::string tmpfilesPath(std::string_view label) {
  return paths::system("/etc/tmpfiles.d") + "/" + unitNameForLabel(label) + ".conf";
}

std::vector<std::vector<std::string>> serviceManagerCommands(std::string_view label,
                                                             bool unitsChanged) {
  const std::string socket = unitNameForLabel(label) + ".socket";
  std::vector<std::vector<std::string>> commands = {{kTmpfiles, "--create", tmpfilesPath(label)}};
  if (unitsChanged) {
    // enable --now would leave a socket that already listens as it was.
    commands.push_back({kSystemctl, "daemon-reload"});
    commands.push_back({kSystemctl, "enable", socket});
    commands.push_back({kSystemctl, "restart", socket});
  } else {
    commands.push_back({kSystemctl, "enable", socket});
    commands.push_back({kSystemctl, "start", socket});
  }
  return commands;
}

bool systemdManagesServices() {
  struct stat st;
  return paths::systemRoot().empty() && ::lstat("/run/systemd/system", &st) == 0 &&
         S_ISDIR(st.st_mode) && isExecutableFile(kSystemctl);
}

uid_t authorizingUserFromEnvironment() {
  for (const char* name : {"PKEXEC_UID", "SUDO_UID"}) {
    const char* value = std::getenv(name);
    if (!value) continue;
    if (std::optional<uid_t> uid = parseUid(value)) return *uid;
  }
  return ::getuid();
}

std::vector<uid_t> authorizedUsers() {
  std::vector<uid_t> users;
  std::optional<std::string> text = files::readFile(paths::system(kHelperConfiguration));
  if (!text) return users;
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    std::string_view line(text->data() + start, end - start);
    if (line.substr(0, 5) == "User=") {
      if (std::optional<uid_t> uid = parseUid(line.substr(5))) users.push_back(*uid);
    }
    start = end + 1;
  }
  return users;
}

std::string installedHelperPath(std::string_view label) {
  return paths::privilegedHelperTools() + "/" + std::string(label);
}

std::string bundledHelperPath(const Bundle& clientBundle, std::string_view label) {
  return clientBundle.bundlePath() + "/" + std::string(label);
}

std::string unitNameForLabel(std::string_view label) {
  std::string out;
  for (std::size_t i = 0; i < label.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(label[i]);
    if (std::isupper(c)) {
      if (i > 0) out += '-';
      out += static_cast<char>(std::tolower(c));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

Value copyCodeInformation(const std::string& path) {
  if (path.empty() || !isExecutableFile(path)) return {};
  std::shared_ptr<const Bundle> bundle = Bundle::forExecutable(path);
  if (bundle && !bundle->infoFilePath().empty() && bundle->infoDictionary().isDictionary())
    return bundle->infoDictionary();
  return embeddedInformation(path);
}

bool blessJob(std::string_view domain, std::string_view label, const Bundle& clientBundle,
              const sysconfig::Authorization* authorization, Error* error) {
  return blessJob(domain, label, clientBundle, authorization, authorizingUserFromEnvironment(),
                  error);
}

bool blessJob(std::string_view domain, std::string_view label, const Bundle& clientBundle,
              const sysconfig::Authorization* authorization, uid_t authorizingUser, Error* error) {
  if (authorizingUser == static_cast<uid_t>(-1))
    return fail(error, kSMErrorInternalFailure, "No user authorized the installation");
  return blessJob(domain, label, clientBundle, authorization,
                  withUser(authorizedUsers(), authorizingUser), error);
}

bool blessJob(std::string_view domain, std::string_view label, const Bundle& clientBundle,
              const sysconfig::Authorization* authorization, const std::vector<uid_t>& users,
              Error* error) {
  const std::string name(label);
  if (users.empty() || std::find(users.begin(), users.end(), static_cast<uid_t>(-1)) != users.end())
    return fail(error, kSMErrorInternalFailure, "No user authorized the installation");
  if (domain != kSMDomainSystemLaunchd || name.empty() || name.find('/') != std::string::npos)
    return fail(error, kSMErrorInternalFailure, "Unsupported domain or label");
  if (!authorization || !authorization->hasRight(kSMRightBlessPrivilegedHelper))
    return fail(error, kSMErrorAuthorizationFailure, "The authorization lacks the blessing right");

  // Validate the shipped helper before anything installed is touched.
  const std::string source = bundledHelperPath(clientBundle, name);
  const Value info = copyCodeInformation(source);
  if (!info.isDictionary()) return fail(error, kSMErrorToolNotValid, "No helper tool at " + source);
  if (info[kCFBundleIdentifierKey].asString() != name ||
      info[kCFBundleVersionKey].asString().empty())
    return fail(error, kSMErrorInvalidSignature, "The helper's information does not match");

  // The project's own launcher reads launch records; systemd does not.
  const bool launchRecord = !paths::systemRoot().empty();
  const std::string toolsFolder = paths::privilegedHelperTools();
  const std::string unitsFolder = paths::systemdUnits();
  const std::string configPath = paths::system(kHelperConfiguration);
  const std::string accessPath = tmpfilesPath(name);
  std::vector<std::string> folders = {toolsFolder, unitsFolder, files::parentFolder(configPath),
                                      files::parentFolder(accessPath)};
  if (launchRecord) folders.push_back(paths::launchDaemons());
  for (const std::string& folder : folders) {
    if (!paths::createDirectories(folder, 0755))
      return fail(error, kSMErrorInternalFailure, "Cannot create " + folder);
  }

  // The launch record: the shipped one's services when it has one.
  xpc::LaunchRecord record;
  const std::string program = installedHelperPath(name);
  const std::string shippedRecord = files::parentFolder(source) + "/" + name + ".service";
  if (std::optional<xpc::LaunchRecord> r = xpc::readLaunchRecord(shippedRecord)) record = *r;
  record.label = name;
  record.program = program;
  if (record.machServices.empty()) record.machServices.push_back(name);
  const std::string unit = unitNameForLabel(name);

  // Information file first, then the program: a reader that finds the new
  // program always finds its information.
  Error io;
  if (!plist::writeFile(program + ".plist", info, 0644, &io))
    return fail(error, kSMErrorInternalFailure, "Cannot write the helper's information");
  if (!copyFile(source, program, 0755, error)) return false;
  if (launchRecord && !xpc::writeLaunchRecord(record, xpc::launchRecordPath(name), &io))
    return fail(error, kSMErrorInternalFailure, "Cannot write the launch record");
  bool unitsChanged = false, accessChanged = false;
  if (!writeIfChanged(unitsFolder + "/" + unit + ".socket",
                      socketUnitText(name, xpc::socketPathForService(record.machServices[0])),
                      &unitsChanged) ||
      !writeIfChanged(unitsFolder + "/" + unit + ".service", serviceUnitText(name, program),
                      &unitsChanged) ||
      !writeIfChanged(accessPath, tmpfilesText(paths::runtime(), users), &accessChanged) ||
      !files::writeFileAtomically(configPath, helperConfiguration(clientBundle, users), 0644, &io))
    return fail(error, kSMErrorInternalFailure, "Cannot write the helper's units");

  if (systemdManagesServices() && ::geteuid() == 0)
    runCommands(serviceManagerCommands(name, unitsChanged));
  return true;
}

bool removeJob(std::string_view label, const sysconfig::Authorization* authorization,
               Error* error) {
  const std::string name(label);
  if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
      }))
    return fail(error, kSMErrorJobNotFound, "No such helper");
  if (!authorization || !authorization->hasRight(sysconfig::kAuthorizationRightAdmin))
    return fail(error, kSMErrorAuthorizationFailure, "The authorization lacks the admin right");
  const std::string unit = unitNameForLabel(name);
  const bool systemd = systemdManagesServices() && ::geteuid() == 0;
  if (systemd) {
    process::runAndWait(
        {kSystemctl, "disable", "--now", "--quiet", unit + ".socket", unit + ".service"});
    // A start limit or failure recorded for the units goes with them (a
    // unit that is not loaded has none, and systemctl's complaint about it
    // is not shown).
    process::runAndWait({"/bin/sh", "-c",
                         std::string(kSystemctl) + " reset-failed " + unit + ".socket " + unit +
                             ".service 2>/dev/null"});
  }
  const std::string program = installedHelperPath(name);
  std::vector<std::string> left;
  for (const std::string& path : {program, program + ".plist", xpc::launchRecordPath(name),
                                  paths::systemdUnits() + "/" + unit + ".socket",
                                  paths::systemdUnits() + "/" + unit + ".service",
                                  tmpfilesPath(name), paths::system(kHelperConfiguration)}) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) left.push_back(path);
  }
  // The helper's state: its keychain and network services (which held the
  // secrets of its connections) and its runtime folders.
  // (Under a system root the runtime folder is the launcher's, which
  // outlives an installation.)
  std::vector<std::string> state = {paths::systemKeychain(), paths::systemPreferences()};
  if (systemd) {
    state.push_back(paths::runtime());
    state.push_back(paths::system("/run/varnel-helper"));
  }
  for (const std::string& folder : state) {
    if (!removeTree(folder)) left.push_back(folder);
  }
  for (const std::string& folder :
       {paths::privilegedHelperTools(), files::parentFolder(paths::privilegedHelperTools()),
        paths::launchDaemons(), files::parentFolder(paths::system(kHelperConfiguration)),
        files::parentFolder(paths::systemKeychain())})
    removeEmptyFolder(folder);
  if (systemd) process::runAndWait({kSystemctl, "daemon-reload"});
  if (!left.empty()) {
    std::string names;
    for (const std::string& path : left) names += (names.empty() ? "" : ", ") + path;
    return fail(error, kSMErrorInternalFailure, "Cannot remove " + names);
  }
  return true;
}

}  // namespace platform::servicemanagement
