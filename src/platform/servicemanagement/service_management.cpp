#include "platform/servicemanagement/service_management.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
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

std::string socketUnit(const std::string& label, const std::string& socketPath, uid_t user) {
  // Only the authorizing user (and root) may connect.
  const std::string access = user == 0
                                 ? "SocketMode=0600\n"
                                 : "SocketUser=" + std::to_string(user) + "\nSocketMode=0600\n";
  return "# Channel socket of the privileged helper " + label +
         ", installed by the client.\n"
         "[Unit]\nDescription=" +
         label +
         " channel socket\n\n"
         "[Socket]\nListenStream=" +
         socketPath + "\n" + access +
         "DirectoryMode=0755\nRemoveOnStop=yes\n\n"
         "[Install]\nWantedBy=sockets.target\n";
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

std::string serviceUnit(const std::string& label, const std::string& unit,
                        const std::string& program) {
  return "# The privileged helper " + label +
         ", started on demand by its socket.\n"
         "[Unit]\nDescription=" +
         label + "\nRequires=" + unit + ".socket\nAfter=" + unit +
         ".socket\n\n"
         "[Service]\nType=simple\nExecStart=" +
         program + "\nRestart=no\n";
}

}  // namespace

std::string helperConfiguration(const Bundle& client, uid_t authorizingUser) {
  std::string text = "# Written by the client's helper installation.\n";
  if (!client.executablePath().empty()) text += "Client=" + client.executablePath() + "\n";
  text += "User=" + std::to_string(authorizingUser) + "\n";
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
  const std::string name(label);
  if (authorizingUser == static_cast<uid_t>(-1))
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

  const std::string toolsFolder = paths::privilegedHelperTools();
  const std::string recordsFolder = paths::launchDaemons();
  const std::string unitsFolder = paths::systemdUnits();
  const std::string configPath = paths::system(kHelperConfiguration);
  for (const std::string& folder :
       {toolsFolder, recordsFolder, unitsFolder, files::parentFolder(configPath)}) {
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
  if (!xpc::writeLaunchRecord(record, xpc::launchRecordPath(name), &io))
    return fail(error, kSMErrorInternalFailure, "Cannot write the launch record");
  if (!files::writeFileAtomically(
          unitsFolder + "/" + unit + ".socket",
          socketUnit(name, xpc::socketPathForService(record.machServices[0]), authorizingUser),
          0644, &io) ||
      !files::writeFileAtomically(unitsFolder + "/" + unit + ".service",
                                  serviceUnit(name, unit, program), 0644, &io) ||
      !files::writeFileAtomically(configPath, helperConfiguration(clientBundle, authorizingUser),
                                  0644, &io))
    return fail(error, kSMErrorInternalFailure, "Cannot write the helper's units");

  if (paths::systemRoot().empty() && ::geteuid() == 0 && isExecutableFile("/bin/systemctl")) {
    process::runAndWait({"/bin/systemctl", "daemon-reload"});
    process::runAndWait({"/bin/systemctl", "enable", "--now", unit + ".socket"});
  }
  return true;
}

bool removeJob(std::string_view label, const sysconfig::Authorization* authorization,
               Error* error) {
  const std::string name(label);
  if (name.empty() || name.find('/') != std::string::npos)
    return fail(error, kSMErrorJobNotFound, "No such helper");
  if (!authorization || !authorization->hasRight(sysconfig::kAuthorizationRightAdmin))
    return fail(error, kSMErrorAuthorizationFailure, "The authorization lacks the admin right");
  const std::string unit = unitNameForLabel(name);
  if (paths::systemRoot().empty() && ::geteuid() == 0 && isExecutableFile("/bin/systemctl"))
    process::runAndWait(
        {"/bin/systemctl", "disable", "--now", unit + ".socket", unit + ".service"});
  const std::string program = installedHelperPath(name);
  bool ok = true;
  for (const std::string& path : {program, program + ".plist", xpc::launchRecordPath(name),
                                  paths::systemdUnits() + "/" + unit + ".socket",
                                  paths::systemdUnits() + "/" + unit + ".service"}) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) ok = false;
  }
  if (!ok) return fail(error, kSMErrorInternalFailure, "Cannot remove every file of " + name);
  return true;
}

}  // namespace platform::servicemanagement
