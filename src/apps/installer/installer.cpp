#include "apps/installer/installer.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/servicemanagement/service_management.h"
#include "platform/sysconfig/authorization.h"
#include "platform/system/bundle.h"
#include "platform/system/child_process.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/root_only_path.h"

namespace installer {

namespace {

namespace sm = platform::servicemanagement;
namespace rootonly = platform::rootonly;

Outcome failWith(int status, std::string message) { return {status, std::move(message)}; }

std::optional<std::string> canonical(const std::string& path) {
  char buffer[PATH_MAX];
  if (!::realpath(path.c_str(), buffer)) return std::nullopt;
  return std::string(buffer);
}

rootonly::Options walk(rootonly::Kind kind, const Context& context) {
  rootonly::Options options;
  options.kind = kind;
  options.trustSelf = context.trustSelf;
  return options;
}

bool rootOnlyFolder(const std::string& folder, const Context& context, std::string* why) {
  return rootonly::check(folder, walk(rootonly::Kind::kFolder, context), why);
}

// A file of the installation: a regular root-owned file nobody else can change.
bool rootOnlyFile(const std::string& path, bool required, const Context& context,
                  std::string* why) {
  struct stat st;
  if (!required && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
  return rootonly::check(path, walk(rootonly::Kind::kFile, context), why);
}

bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool inside(const std::string& path, const std::string& folder) {
  return path == folder || path.rfind(folder + "/", 0) == 0;
}

int runCommand(const std::vector<std::string>& args) {
  return platform::process::exitStatus(platform::process::runAndWait(args));
}

// The folder of the client that ran us: our parent's executable, read from
// the kernel, which must be the client program and run as the user polkit
// authorized; the parent must still be ours afterwards (so the pid named
// the process we read, not a later one).
std::optional<std::string> callersFolder(const Context& context, std::string* why) {
  if (context.caller <= 1) {
    *why = "the program that asked for the move is gone";
    return std::nullopt;
  }
  uid_t uid = 0;
  std::optional<std::string> exe = executableOfProcess(context.caller, &uid);
  if (!exe) {
    *why = "the program that asked for the move cannot be identified";
    return std::nullopt;
  }
  // Still our parent after the read: the pid named the process we read,
  // not a later one that took over its number.
  if (context.callerIsParent && context.caller != ::getppid()) {
    *why = "the program that asked for the move is gone";
    return std::nullopt;
  }
  if (context.authorizingUser && uid != *context.authorizingUser) {
    *why = "the program that asked for the move runs as another user";
    return std::nullopt;
  }
  if (platform::files::lastComponent(*exe) != context.clientProgram) {
    *why = "only " + context.clientProgram + " can be moved, not " + *exe;
    return std::nullopt;
  }
  return platform::files::parentFolder(*exe);
}

}  // namespace

std::optional<std::string> executableOfProcess(pid_t pid, uid_t* uid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  struct stat st;
  if (::stat(proc.c_str(), &st) != 0) return std::nullopt;
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink((proc + "/exe").c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return std::nullopt;
  std::string exe(buffer, static_cast<std::size_t>(n));
  // A program whose file was replaced or removed since it started.
  if (exe.size() > 10 && exe.compare(exe.size() - 10, 10, " (deleted)") == 0) return std::nullopt;
  if (exe.empty() || exe[0] != '/') return std::nullopt;
  if (uid) *uid = st.st_uid;  // /proc/<pid> belongs to the process's user
  return exe;
}

Context currentContext() {
  Context context;
  if (std::optional<std::string> self = executableOfProcess(::getpid())) context.self = *self;
  context.caller = ::getppid();
  if (const char* v = std::getenv("PKEXEC_UID")) {
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(v, &end, 10);
    if (*v && end && *end == '\0' && errno == 0 && n < static_cast<unsigned long>(UINT_MAX))
      context.authorizingUser = static_cast<uid_t>(n);
  }
  return context;
}

Outcome checkRootOnly(const std::string& folder, const Context& context) {
  std::string why;
  if (!rootOnlyFolder(folder, context, &why)) return failWith(kNotRootOnly, why);
  return {};
}

Outcome installHelper(const std::string& label, const std::string& clientName,
                      const Context& context) {
  if (label != kHelperLabel) return failWith(kUsage, "unknown helper " + label);
  if (!plainName(clientName)) return failWith(kUsage, "the client program must be a plain name");
  if (context.self.empty())
    return failWith(kUnsafeInstallation, "cannot find this program's folder");
  const std::string folder = platform::files::parentFolder(context.self);
  std::string why;
  if (!rootOnlyFolder(folder, context, &why)) return failWith(kUnsafeInstallation, why);
  const std::string client = folder + "/" + clientName;
  for (const auto& [path, required] :
       std::vector<std::pair<std::string, bool>>{{folder + "/" + label, true},
                                                 {folder + "/" + label + ".plist", false},
                                                 {folder + "/" + label + ".service", false},
                                                 {client, true},
                                                 {folder + "/openvpn", false},
                                                 {folder + "/sstpc", false},
                                                 {folder + "/sstp-options", false}}) {
    if (!rootOnlyFile(path, required, context, &why)) return failWith(kUnsafeInstallation, why);
  }
  std::shared_ptr<const platform::Bundle> bundle = platform::Bundle::forExecutable(client);
  platform::sysconfig::AuthorizationStatus status = 0;
  auto authorization = platform::sysconfig::Authorization::create(&status);
  if (!authorization ||
      authorization->copyRights(sm::kSMRightBlessPrivilegedHelper,
                                platform::sysconfig::kAuthorizationFlagDefaults) != 0)
    return failWith(kNotRoot, "installing the helper needs root");
  platform::Error error;
  if (!sm::blessJob(sm::kSMDomainSystemLaunchd, label, *bundle, authorization.get(),
                    sm::authorizingUserFromEnvironment(), &error))
    return failWith(kInstallFailed, error.localizedDescription());
  return {};
}

Outcome moveClient(const std::string& sourceArgument, const std::string& destinationArgument,
                   const Context& context) {
  std::string why;
  const std::optional<std::string> source = callersFolder(context, &why);
  if (!source) return failWith(kMoveFailed, why);
  // The argument may only repeat what the kernel told us.
  if (canonical(sourceArgument) != source)
    return failWith(kMoveFailed, "only the running client's own folder " + *source +
                                     " can be moved, not " + sourceArgument);
  const std::string name = platform::files::lastComponent(*source);
  if (!plainName(name)) return failWith(kMoveFailed, *source + " cannot be moved");
  const std::optional<std::string> applications = canonical(platform::paths::system("/opt"));
  if (!applications) return failWith(kMoveFailed, "there is no applications folder");
  if (!rootOnlyFolder(*applications, context, &why)) return failWith(kMoveFailed, why);
  const std::string destination = *applications + "/" + name;
  if (platform::files::lastComponent(destinationArgument) != name ||
      canonical(platform::files::parentFolder(destinationArgument)) != applications)
    return failWith(kMoveFailed, "the destination must be " + destination);
  if (inside(*source, destination) || inside(destination, *source))
    return failWith(kMoveFailed, "the folder is already in place");
  const std::optional<std::string> self =
      context.self.empty() ? std::nullopt : canonical(platform::files::parentFolder(context.self));
  if (!self) return failWith(kMoveFailed, "cannot find this program's folder");
  if (inside(*self, destination))
    return failWith(kMoveFailed,
                    "the move would replace the installation it runs from (" + *self + ")");

  // A root-owned copy beside the destination, then swapped into place.
  const std::string temporary =
      *applications + "/." + name + ".moving-" + std::to_string(::getpid());
  runCommand({"/bin/rm", "-rf", temporary});
  if (runCommand({"/bin/cp", "-R", "-P", "--no-preserve=ownership", "--preserve=mode,timestamps",
                  *source, temporary}) != 0) {
    runCommand({"/bin/rm", "-rf", temporary});
    return failWith(kMoveFailed, "cannot copy " + *source);
  }
  // The copy is root's now: no set-id bits and nothing others may change.
  if (runCommand({"/bin/chmod", "-R", "u-s,g-s,go-w", temporary}) != 0) {
    runCommand({"/bin/rm", "-rf", temporary});
    return failWith(kMoveFailed, "cannot set the permissions of the copy");
  }
  struct stat st;
  const std::string old = *applications + "/." + name + ".old-" + std::to_string(::getpid());
  const bool hadOld = ::lstat(destination.c_str(), &st) == 0;
  if (hadOld && ::rename(destination.c_str(), old.c_str()) != 0) {
    runCommand({"/bin/rm", "-rf", temporary});
    return failWith(kMoveFailed, "cannot replace " + destination);
  }
  if (::rename(temporary.c_str(), destination.c_str()) != 0) {
    if (hadOld) ::rename(old.c_str(), destination.c_str());
    runCommand({"/bin/rm", "-rf", temporary});
    return failWith(kMoveFailed, "cannot put the copy in place at " + destination);
  }
  if (hadOld) runCommand({"/bin/rm", "-rf", old});
  return {};
}

bool needsRoot(const std::vector<std::string>& args) {
  return !args.empty() && args[0] != "check-root-only";
}

Outcome run(const std::vector<std::string>& args, const Context& context) {
  std::optional<std::string> root, client;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if ((args[i] == "--root" || args[i] == "--client") && i + 1 < args.size()) {
      (args[i] == "--root" ? root : client) = args[i + 1];
      ++i;
    } else {
      words.push_back(args[i]);
    }
  }
  const Outcome usage{kUsage,
                      "usage: varnel-install-helper install-helper <label> --client <program> "
                      "[--root <dir>] | move <folder> <destination> [--root <dir>] | "
                      "check-root-only <folder>"};
  if (words.empty()) return usage;
  if (words[0] == "check-root-only")
    return words.size() == 2 && !root && !client ? checkRootOnly(words[1], context) : usage;

  ::unsetenv("VARNEL_ROOT");
  if (root) {
    const std::optional<std::string> folder = canonical(*root);
    std::string why;
    if (!folder) return failWith(kUnsafeRoot, *root + " does not exist");
    if (!rootOnlyFolder(*folder, context, &why)) return failWith(kUnsafeRoot, why);
    ::setenv("VARNEL_ROOT", folder->c_str(), 1);
  }
  ::umask(022);

  if (words[0] == "install-helper" && words.size() == 2 && client)
    return installHelper(words[1], *client, context);
  if (words[0] == "move" && words.size() == 3 && !client)
    return moveClient(words[1], words[2], context);
  return usage;
}

}  // namespace installer
