#include "apps/installer/installer.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// A descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

struct Identity {
  dev_t dev;
  ino_t ino;
  friend bool operator==(const Identity&, const Identity&) = default;
};

// The running program of the caller, as the kernel names it.
struct Image {
  std::string path;
  uid_t uid = 0;  // the user the caller runs as
  dev_t dev = 0;  // the program file's device and inode
  ino_t ino = 0;
};

// The folder of the client that ran us: our parent's executable, read from
// the kernel, which must be the client program and run as the user polkit
// authorized; the parent must still be ours afterwards (so the pid named
// the process we read, not a later one).
std::optional<std::string> callersFolder(const Context& context, Image* image, std::string* why) {
  if (context.caller <= 1) {
    *why = "the program that asked for the move is gone";
    return std::nullopt;
  }
  struct stat program;
  std::optional<std::string> exe = executableOfProcess(context.caller, &image->uid, &program);
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
  if (context.authorizingUser && image->uid != *context.authorizingUser) {
    *why = "the program that asked for the move runs as another user";
    return std::nullopt;
  }
  if (platform::files::lastComponent(*exe) != context.clientProgram) {
    *why = "only " + context.clientProgram + " can be moved, not " + *exe;
    return std::nullopt;
  }
  image->path = *exe;
  image->dev = program.st_dev;
  image->ino = program.st_ino;
  return platform::files::parentFolder(*exe);
}

// The folder at the absolute plain `path`, opened one component at a time
// from "/" without following a symbolic link anywhere: a folder swapped for
// a link at any point of the path is refused, never entered.
int openPlainFolder(const std::string& path, std::string* why) {
  if (path.empty() || path[0] != '/' || path == "/") {
    *why = "not an absolute path of a folder";
    return -1;
  }
  int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string walked;
  std::size_t start = 1;
  while (fd >= 0) {
    const std::size_t end = path.find('/', start);
    const bool last = end == std::string::npos;
    const std::string part = path.substr(start, last ? std::string::npos : end - start);
    if (part.empty() || part == "." || part == "..") {
      ::close(fd);
      *why = "not a plain path (an empty, \".\" or \"..\" component)";
      return -1;
    }
    walked += "/" + part;
    const int flags = (last ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int next = ::openat(fd, part.c_str(), flags);
    if (next < 0) {
      struct stat st;
      const bool link =
          ::fstatat(fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
      ::close(fd);
      *why = walked + (link ? " is a symbolic link" : " is not a folder");
      return -1;
    }
    ::close(fd);
    fd = next;
    if (last) return fd;
    start = end + 1;
  }
  *why = "the root folder cannot be opened";
  return -1;
}

bool ownedByCallerOrRoot(const struct stat& st, const Image& caller) {
  return st.st_uid == 0 || st.st_uid == caller.uid;
}

// Names in the folder `fd` (without "." and ".."); false when it cannot be
// read.
bool namesIn(int fd, std::vector<std::string>* names) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    ::close(copy);
    return false;
  }
  ::rewinddir(dir);
  errno = 0;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  const bool ok = errno == 0;
  ::closedir(dir);
  return ok;
}

// Removes `name` in the folder `at` with everything in it, following no
// link.
void removeTree(int at, const std::string& name) {
  struct stat st;
  if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlinkat(at, name.c_str(), 0);
    return;
  }
  {
    const Fd fd(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<std::string> names;
    if (fd && namesIn(fd.get(), &names))
      for (const std::string& entry : names) removeTree(fd.get(), entry);
  }
  ::unlinkat(at, name.c_str(), AT_REMOVEDIR);
}

// The bits a root-owned copy keeps: no set-id or sticky bit, nothing that
// others may change.
mode_t copiedMode(mode_t mode) { return mode & 0755; }

constexpr int kMaxFolderDepth = 32;

struct Copy {
  const Image& caller;
  std::string problem;  // why the copy stopped
};

bool refuse(Copy* copy, const std::string& problem) {
  copy->problem = problem;
  return false;
}

bool copyFile(int from, int to, const std::string& name, const struct stat& st,
              const std::string& shown, Copy* copy) {
  // A second name of somebody else's file would let root read that file.
  if (st.st_nlink != 1 && st.st_uid != copy->caller.uid)
    return refuse(copy, shown + " is a second name of a file elsewhere");
  const Fd in(
      ::openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  struct stat opened;
  if (!in || ::fstat(in.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
      Identity{opened.st_dev, opened.st_ino} != Identity{st.st_dev, st.st_ino})
    return refuse(copy, shown + " changed while it was copied");
  const Fd out(
      ::openat(to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) return refuse(copy, "cannot write the copy of " + shown);
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return refuse(copy, "cannot read " + shown);
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out.get(), buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return refuse(copy, "cannot write the copy of " + shown);
      done += w;
    }
  }
  const struct timespec times[2] = {opened.st_atim, opened.st_mtim};
  if (::fchmod(out.get(), copiedMode(opened.st_mode)) != 0 || ::futimens(out.get(), times) != 0 ||
      ::fsync(out.get()) != 0)
    return refuse(copy, "cannot finish the copy of " + shown);
  return true;
}

// Copies the folder `from` (whose status is `st`) into the empty folder
// `to`, through descriptors only: every entry is examined without following
// links, opened with O_NOFOLLOW and checked to be the entry examined. Links
// are copied as links (their targets are never read); anything but files,
// folders and links is refused.
bool copyFolder(int from, int to, const struct stat& st, int depth, Copy* copy,
                const std::string& shown = ".") {
  if (depth > kMaxFolderDepth) return refuse(copy, shown + " is nested too deeply");
  std::vector<std::string> names;
  if (!namesIn(from, &names)) return refuse(copy, "cannot read " + shown);
  for (const std::string& name : names) {
    const std::string entry = shown == "." ? name : shown + "/" + name;
    struct stat est;
    if (::fstatat(from, name.c_str(), &est, AT_SYMLINK_NOFOLLOW) != 0)
      return refuse(copy, "cannot examine " + entry);
    if (!ownedByCallerOrRoot(est, copy->caller))
      return refuse(copy, entry + " belongs to another user");
    if (S_ISLNK(est.st_mode)) {
      std::vector<char> target(static_cast<std::size_t>(est.st_size > 0 ? est.st_size : 255) + 2);
      const ssize_t n = ::readlinkat(from, name.c_str(), target.data(), target.size());
      if (n <= 0 || static_cast<std::size_t>(n) >= target.size())
        return refuse(copy, entry + " changed while it was copied");
      const std::string text(target.data(), static_cast<std::size_t>(n));
      const struct timespec times[2] = {est.st_atim, est.st_mtim};
      if (::symlinkat(text.c_str(), to, name.c_str()) != 0)
        return refuse(copy, "cannot write the copy of " + entry);
      ::utimensat(to, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    } else if (S_ISDIR(est.st_mode)) {
      const Fd sub(::openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat opened;
      if (!sub || ::fstat(sub.get(), &opened) != 0 ||
          Identity{opened.st_dev, opened.st_ino} != Identity{est.st_dev, est.st_ino})
        return refuse(copy, entry + " changed while it was copied");
      if (::mkdirat(to, name.c_str(), 0700) != 0)
        return refuse(copy, "cannot write the copy of " + entry);
      const Fd out(::openat(to, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!out) return refuse(copy, "cannot write the copy of " + entry);
      if (!copyFolder(sub.get(), out.get(), opened, depth + 1, copy, entry)) return false;
    } else if (S_ISREG(est.st_mode)) {
      if (!copyFile(from, to, name, est, entry, copy)) return false;
    } else {
      return refuse(copy, entry + " is not a file, folder or link");
    }
  }
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::fchmod(to, copiedMode(st.st_mode)) != 0 || ::futimens(to, times) != 0)
    return refuse(copy, "cannot finish the copy of " + shown);
  return true;
}

// Renames the finished copy `temporary` to `name` in the folder `at`,
// exchanging it with an older one (removed afterwards), so that `name` is
// never missing nor half made.
bool swapIntoPlace(int at, const std::string& temporary, const std::string& name) {
  if (::renameat2(at, temporary.c_str(), at, name.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EEXIST &&
      ::renameat2(at, temporary.c_str(), at, name.c_str(), RENAME_EXCHANGE) == 0) {
    removeTree(at, temporary);  // the older copy, under the temporary name now
    return true;
  }
  // A file system without exchange: the older copy aside, the new one in.
  struct stat st;
  if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return ::renameat(at, temporary.c_str(), at, name.c_str()) == 0;
  const std::string old = "." + name + ".old-" + std::to_string(::getpid());
  removeTree(at, old);
  if (::renameat(at, name.c_str(), at, old.c_str()) != 0) return false;
  if (::renameat(at, temporary.c_str(), at, name.c_str()) != 0) {
    ::renameat(at, old.c_str(), at, name.c_str());
    return false;
  }
  removeTree(at, old);
  return true;
}

}  // namespace

std::optional<std::string> executableOfProcess(pid_t pid, uid_t* uid, struct stat* image) {
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
  // The program file itself, whatever its name is by now.
  if (image && ::stat((proc + "/exe").c_str(), image) != 0) return std::nullopt;
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
  // Every user recorded so far keeps the helper, and the one who
  // authorized this run is added.
  std::vector<uid_t> users = sm::authorizedUsers();
  const uid_t user = sm::authorizingUserFromEnvironment();
  if (std::find(users.begin(), users.end(), user) == users.end()) users.push_back(user);
  // A helper of another version is uninstalled first (stopped, its files
  // and state removed), then the shipped one installed; a shipped helper
  // that is not valid leaves the installed one alone (blessJob refuses it
  // before anything is touched, and so is checked here first).
  const platform::Value shipped = sm::copyCodeInformation(sm::bundledHelperPath(*bundle, label));
  const platform::Value installed = sm::copyCodeInformation(sm::installedHelperPath(label));
  const std::string shippedVersion = shipped[platform::kCFBundleVersionKey].asString();
  if (installed.isDictionary() && shipped.isDictionary() &&
      shipped[platform::kCFBundleIdentifierKey].asString() == label && !shippedVersion.empty() &&
      installed[platform::kCFBundleVersionKey].asString() != shippedVersion) {
    if (authorization->copyRights(platform::sysconfig::kAuthorizationRightAdmin,
                                  platform::sysconfig::kAuthorizationFlagDefaults) != 0)
      return failWith(kNotRoot, "replacing the helper needs root");
    platform::Error removal;
    if (!sm::removeJob(label, authorization.get(), &removal))
      return failWith(kInstallFailed, removal.localizedDescription());
  }
  platform::Error error;
  if (!sm::blessJob(sm::kSMDomainSystemLaunchd, label, *bundle, authorization.get(), users, &error))
    return failWith(kInstallFailed, error.localizedDescription());
  return {};
}

namespace {

// The helper's network service in NetworkManager (helper/
// system_preferences_handler.h's kServiceName): its profile keeps the last
// PPTP, L2TP or IPSec connection's settings and secrets, so it goes with
// the helper. Only on a real system, where NetworkManager is the machine's.
void removeNetworkService() {
  if (!platform::paths::systemRoot().empty() || !sm::systemdManagesServices() ||
      ::access("/usr/bin/nmcli", X_OK) != 0)
    return;
  for (int i = 0; i < 16; ++i) {
    if (platform::process::runAndWait({"/bin/sh", "-c",
                                       "/usr/bin/nmcli connection delete id VarnelVPN "
                                       ">/dev/null 2>&1"}) != 0)
      break;
  }
}

}  // namespace

Outcome uninstallHelper(const std::string& label) {
  if (label != kHelperLabel) return failWith(kUsage, "unknown helper " + label);
  platform::sysconfig::AuthorizationStatus status = 0;
  auto authorization = platform::sysconfig::Authorization::create(&status);
  if (!authorization ||
      authorization->copyRights(platform::sysconfig::kAuthorizationRightAdmin,
                                platform::sysconfig::kAuthorizationFlagDefaults) != 0)
    return failWith(kNotRoot, "uninstalling the helper needs root");
  platform::Error error;
  const bool removed = sm::removeJob(label, authorization.get(), &error);
  removeNetworkService();
  if (!removed) return failWith(kUninstallFailed, error.localizedDescription());
  return {};
}

Outcome moveClient(const std::string& sourceArgument, const std::string& destinationArgument,
                   const Context& context) {
  std::string why;
  Image caller;
  const std::optional<std::string> source = callersFolder(context, &caller, &why);
  if (!source) return failWith(kMoveFailed, why);
  // The source is opened once, without following a link anywhere on its
  // path; everything below is read through this descriptor only.
  const Fd from(openPlainFolder(sourceArgument, &why));
  if (!from) return failWith(kMoveFailed, "cannot move " + sourceArgument + ": " + why);
  // The argument may only repeat what the kernel told us, and the folder
  // opened must hold the very program that runs (by device and inode).
  const std::string program = platform::files::lastComponent(caller.path);
  struct stat st;
  if (sourceArgument != *source ||
      ::fstatat(from.get(), program.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode) || st.st_dev != caller.dev || st.st_ino != caller.ino)
    return failWith(kMoveFailed, "only the running client's own folder " + *source +
                                     " can be moved, not " + sourceArgument);
  if (::fstat(from.get(), &st) != 0 || !ownedByCallerOrRoot(st, caller))
    return failWith(kMoveFailed, *source + " belongs to another user");
  const Identity sourceIdentity{st.st_dev, st.st_ino};

  const std::optional<std::string> applications = canonical(platform::paths::system("/opt"));
  if (!applications) return failWith(kMoveFailed, "there is no applications folder");
  platform::rootonly::Options folderWalk = walk(rootonly::Kind::kFolder, context);
  folderWalk.flags = O_RDONLY;
  const Fd apps(rootonly::open(*applications, folderWalk, &why));
  if (!apps) return failWith(kMoveFailed, why);
  // Always the installation's own name: the move never takes the place of
  // another program's folder, whatever the caller's folder is called.
  const std::string destination = *applications + "/" + kInstallationFolderName;
  if (platform::files::lastComponent(destinationArgument) != kInstallationFolderName ||
      canonical(platform::files::parentFolder(destinationArgument)) != applications)
    return failWith(kMoveFailed, "the destination must be " + destination);
  if (inside(*source, destination) || inside(destination, *source) ||
      (::fstatat(apps.get(), kInstallationFolderName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
       Identity{st.st_dev, st.st_ino} == sourceIdentity))
    return failWith(kMoveFailed, "the folder is already in place");
  const std::optional<std::string> self =
      context.self.empty() ? std::nullopt : canonical(platform::files::parentFolder(context.self));
  if (!self) return failWith(kMoveFailed, "cannot find this program's folder");
  if (inside(*self, destination))
    return failWith(kMoveFailed,
                    "the move would replace the installation it runs from (" + *self + ")");

  if (context.afterSourceCheck) context.afterSourceCheck();

  // A root-owned copy beside the destination, then swapped into place.
  const std::string temporary =
      std::string(".") + kInstallationFolderName + ".moving-" + std::to_string(::getpid());
  removeTree(apps.get(), temporary);
  if (::mkdirat(apps.get(), temporary.c_str(), 0700) != 0)
    return failWith(kMoveFailed, "cannot make a folder in " + *applications);
  Copy copy{caller, {}};
  {
    const Fd to(
        ::openat(apps.get(), temporary.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat top;
    if (!to || ::fstat(from.get(), &top) != 0 || !copyFolder(from.get(), to.get(), top, 0, &copy)) {
      removeTree(apps.get(), temporary);
      return failWith(kMoveFailed, "cannot copy " + *source + ": " +
                                       (copy.problem.empty() ? "a write failed" : copy.problem));
    }
  }
  if (!swapIntoPlace(apps.get(), temporary, kInstallationFolderName)) {
    removeTree(apps.get(), temporary);
    return failWith(kMoveFailed, "cannot put the copy in place at " + destination);
  }
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
                      "[--root <dir>] | uninstall-helper <label> [--root <dir>] | "
                      "move <folder> <destination> [--root <dir>] | check-root-only <folder>"};
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
  if (words[0] == "uninstall-helper" && words.size() == 2 && !client)
    return uninstallHelper(words[1]);
  if (words[0] == "move" && words.size() == 3 && !client)
    return moveClient(words[1], words[2], context);
  return usage;
}

}  // namespace installer
