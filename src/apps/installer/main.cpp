// varnel-install-helper: the part of the client's installation steps that
// needs root. The client runs it through pkexec, so polkit decides who may
// (actions "com.varnelvpn.helper.install" and "com.varnelvpn.client.move" of
// packaging/polkit/com.varnelvpn.policy):
//
//   varnel-install-helper install-helper <label> --client <program> [--root <dir>]
//     installs or updates the helper <label> shipped in this program's own
//     folder (the client's installation) and records the user who
//     authorized it (PKEXEC_UID, else SUDO_UID, else the real user).
//   varnel-install-helper move <folder> <destination> [--root <dir>]
//     copies the client's folder into the system's applications folder,
//     replacing an older copy there.
//
// --root names the system root that a private installation (VARNEL_ROOT)
// uses; pkexec clears the environment, so it comes as an argument.
//
// It trusts nothing it is handed: the files it installs come only from its
// own folder, which (with every folder above it) must be root's and not
// writable by others; each file must be a regular file (no symbolic link)
// owned by root and not writable by others. A system root must be a
// root-owned folder nobody else can write.
//
// Exit statuses: 0 done, 2 usage, 3 not root, 4 unsafe installation,
// 5 unsafe system root, 6 installation failed, 7 move failed. (126 and 127
// are pkexec's own.) Messages go to standard error as one line.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/servicemanagement/service_management.h"
#include "platform/sysconfig/authorization.h"
#include "platform/system/bundle.h"
#include "platform/system/child_process.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"

namespace {

namespace sm = platform::servicemanagement;

constexpr const char* kProgram = "varnel-install-helper";
constexpr const char* kHelperLabel = "VarnelHelper";

enum Exit {
  kDone = 0,
  kUsage = 2,
  kNotRoot = 3,
  kUnsafeInstallation = 4,
  kUnsafeRoot = 5,
  kInstallFailed = 6,
  kMoveFailed = 7
};

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  return status;
}

std::optional<std::string> canonical(const std::string& path) {
  char buffer[PATH_MAX];
  if (!::realpath(path.c_str(), buffer)) return std::nullopt;
  return std::string(buffer);
}

// A folder only root can change: root's, not writable by group or others.
// Folders above it may also be sticky shared folders of root (/tmp).
bool rootOnlyFolder(const std::string& folder, std::string* why) {
  std::string path = folder;
  bool first = true;
  for (;;) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      *why = path + " is not a folder";
      return false;
    }
    const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (st.st_uid != 0 || (othersWrite && (first || !(st.st_mode & S_ISVTX)))) {
      *why = path + " can be changed by users other than root";
      return false;
    }
    if (path == "/") return true;
    path = platform::files::parentFolder(path);
    if (path.empty()) path = "/";
    first = false;
  }
}

// A file of the installation: a regular root-owned file nobody else can change.
bool rootOnlyFile(const std::string& path, bool required, std::string* why) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (!required && errno == ENOENT) return true;
    *why = path + " is missing";
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *why = path + " is not a regular file that only root can change";
    return false;
  }
  return true;
}

bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

int run(const std::vector<std::string>& args) {
  return platform::process::exitStatus(platform::process::runAndWait(args));
}

int installHelper(const std::string& label, const std::string& clientName) {
  if (label != kHelperLabel) return fail(kUsage, "unknown helper " + label);
  if (!plainName(clientName)) return fail(kUsage, "the client program must be a plain name");
  const std::optional<std::string> self = canonical("/proc/self/exe");
  if (!self) return fail(kUnsafeInstallation, "cannot find this program's folder");
  const std::string folder = platform::files::parentFolder(*self);
  std::string why;
  if (!rootOnlyFolder(folder, &why)) return fail(kUnsafeInstallation, why);
  const std::string client = folder + "/" + clientName;
  for (const auto& [path, required] :
       std::vector<std::pair<std::string, bool>>{{folder + "/" + label, true},
                                                 {folder + "/" + label + ".plist", false},
                                                 {folder + "/" + label + ".service", false},
                                                 {client, true},
                                                 {folder + "/openvpn", false},
                                                 {folder + "/sstpc", false}}) {
    if (!rootOnlyFile(path, required, &why)) return fail(kUnsafeInstallation, why);
  }
  std::shared_ptr<const platform::Bundle> bundle = platform::Bundle::forExecutable(client);
  platform::sysconfig::AuthorizationStatus status = 0;
  auto authorization = platform::sysconfig::Authorization::create(&status);
  if (!authorization ||
      authorization->copyRights(sm::kSMRightBlessPrivilegedHelper,
                                platform::sysconfig::kAuthorizationFlagDefaults) != 0)
    return fail(kNotRoot, "installing the helper needs root");
  platform::Error error;
  if (!sm::blessJob(sm::kSMDomainSystemLaunchd, label, *bundle, authorization.get(),
                    sm::authorizingUserFromEnvironment(), &error))
    return fail(kInstallFailed, error.localizedDescription());
  return kDone;
}

int moveClient(const std::string& sourceArgument, const std::string& destinationArgument) {
  const std::optional<std::string> source = canonical(sourceArgument);
  struct stat st;
  if (!source || ::lstat(source->c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return fail(kMoveFailed, sourceArgument + " is not a folder");
  const std::string name = platform::files::lastComponent(*source);
  const std::optional<std::string> applications = canonical(platform::paths::system("/opt"));
  if (!applications) return fail(kMoveFailed, "there is no applications folder");
  std::string why;
  if (!rootOnlyFolder(*applications, &why)) return fail(kMoveFailed, why);
  const std::string destination = *applications + "/" + name;
  if (platform::files::lastComponent(destinationArgument) != name ||
      canonical(platform::files::parentFolder(destinationArgument)) != applications)
    return fail(kMoveFailed, "the destination must be " + destination);
  if (*source == destination || source->rfind(destination + "/", 0) == 0)
    return fail(kMoveFailed, "the folder is already in place");

  // A root-owned copy beside the destination, then swapped into place.
  const std::string temporary =
      *applications + "/." + name + ".moving-" + std::to_string(::getpid());
  run({"/bin/rm", "-rf", temporary});
  if (run({"/bin/cp", "-R", "-P", "--no-preserve=ownership", "--preserve=mode,timestamps", *source,
           temporary}) != 0) {
    run({"/bin/rm", "-rf", temporary});
    return fail(kMoveFailed, "cannot copy " + *source);
  }
  // The copy is root's now: no set-id bits and nothing others may change.
  if (run({"/bin/chmod", "-R", "u-s,g-s,go-w", temporary}) != 0) {
    run({"/bin/rm", "-rf", temporary});
    return fail(kMoveFailed, "cannot set the permissions of the copy");
  }
  const std::string old = *applications + "/." + name + ".old-" + std::to_string(::getpid());
  const bool hadOld = ::lstat(destination.c_str(), &st) == 0;
  if (hadOld && ::rename(destination.c_str(), old.c_str()) != 0) {
    run({"/bin/rm", "-rf", temporary});
    return fail(kMoveFailed, "cannot replace " + destination);
  }
  if (::rename(temporary.c_str(), destination.c_str()) != 0) {
    if (hadOld) ::rename(old.c_str(), destination.c_str());
    run({"/bin/rm", "-rf", temporary});
    return fail(kMoveFailed, "cannot put the copy in place at " + destination);
  }
  if (hadOld) run({"/bin/rm", "-rf", old});
  return kDone;
}

int usage() {
  return fail(kUsage,
              "usage: varnel-install-helper install-helper <label> --client <program> "
              "[--root <dir>] | move <folder> <destination> [--root <dir>]");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
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
  if (words.empty()) return usage();
  if (::geteuid() != 0) return fail(kNotRoot, "must run as root (through pkexec)");

  ::unsetenv("VARNEL_ROOT");
  if (root) {
    const std::optional<std::string> folder = canonical(*root);
    std::string why;
    if (!folder) return fail(kUnsafeRoot, *root + " does not exist");
    if (!rootOnlyFolder(*folder, &why)) return fail(kUnsafeRoot, why);
    ::setenv("VARNEL_ROOT", folder->c_str(), 1);
  }
  ::umask(022);

  if (words[0] == "install-helper" && words.size() == 2 && client)
    return installHelper(words[1], *client);
  if (words[0] == "move" && words.size() == 3) return moveClient(words[1], words[2]);
  return usage();
}
