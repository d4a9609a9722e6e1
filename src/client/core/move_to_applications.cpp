#include "client/core/move_to_applications.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/foundation/format.h"
#include "platform/security/polkit_authorization.h"
#include "platform/sysconfig/authorization.h"
#include "platform/system/bundle.h"
#include "platform/system/child_process.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/user_defaults.h"

namespace client {

namespace fs = std::filesystem;

namespace {

constexpr platform::sysconfig::AuthorizationStatus kAuthorizationCanceled = -60006;

std::string realPath(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

bool beginsWith(const std::string& path, const std::string& folder) {
  if (folder.empty() || path.compare(0, folder.size(), folder) != 0) return false;
  return path.size() == folder.size() || path[folder.size()] == '/' || folder.back() == '/';
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string userApplications() { return platform::paths::applications(); }
std::string localApplications() { return platform::paths::system("/opt"); }

std::string downloadsFolder() {
  const char* xdg = std::getenv("XDG_DOWNLOAD_DIR");
  if (xdg && *xdg == '/') return xdg;
  return platform::paths::home() + "/Downloads";
}

bool holdsAnApp(const std::string& folder) {
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (it->path().extension() == ".app") return true;
  }
  return false;
}

bool spawnShell(const std::string& command) {
  const pid_t pid = platform::process::spawn({"/bin/sh", "-c", command});
  if (pid < 0) return false;
  // The command puts its work in the background and returns at once.
  platform::process::waitFor(pid);
  return true;
}

// A process whose executable lies inside `folder`.
bool copyRunsFrom(const std::string& folder) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return false;
  bool found = false;
  while (dirent* entry = ::readdir(proc)) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    if (std::atoi(entry->d_name) == ::getpid()) continue;
    char target[PATH_MAX];
    std::string link = std::string("/proc/") + entry->d_name + "/exe";
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (beginsWith(target, folder + "/")) {
      found = true;
      break;
    }
  }
  ::closedir(proc);
  return found;
}

// Copies `from` into `to` through a temporary sibling renamed into place.
bool copyIntoPlace(const std::string& from, const std::string& to) {
  const std::string temporary = platform::files::parentFolder(to) + "/." +
                                platform::files::lastComponent(to) + ".moving-" +
                                std::to_string(::getpid());
  std::error_code ec;
  fs::remove_all(temporary, ec);
  fs::copy(from, temporary, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec || ::rename(temporary.c_str(), to.c_str()) != 0) {
    fs::remove_all(temporary, ec);
    return false;
  }
  return true;
}

}  // namespace

std::string shellQuotedString(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string diskImageDeviceForPath(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    // "id parent major:minor root mountpoint options ... - fstype source superoptions"
    std::istringstream in(line);
    std::string id, parent, devno, root, mountPoint;
    in >> id >> parent >> devno >> root >> mountPoint;
    unsigned major = 0, minor = 0;
    if (std::sscanf(devno.c_str(), "%u:%u", &major, &minor) != 2) continue;
    if (major != ::major(st.st_dev) || minor != ::minor(st.st_dev)) continue;
    if (mountPoint == "/") return {};
    std::string word, source;
    while (in >> word && word != "-") {
    }
    std::string fstype;
    in >> fstype >> source;
    const std::string name = platform::files::lastComponent(source);
    if (source.rfind("/dev/loop", 0) != 0) return {};
    if (!exists("/sys/block/" + name + "/loop/backing_file")) return {};
    return source;
  }
  return {};
}

bool moveItemToTrash(const std::string& path) {
  const std::string trash = platform::paths::applicationSupport() + "/Trash";
  if (!platform::paths::createDirectories(trash + "/files", 0700) ||
      !platform::paths::createDirectories(trash + "/info", 0700))
    return false;
  const std::string base = platform::files::lastComponent(path);
  for (int n = 0; n < 1000; ++n) {
    const std::string name = n == 0 ? base : base + "." + std::to_string(n);
    const std::string info = trash + "/info/" + name + ".trashinfo";
    int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    char date[32];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    std::string text = "[Trash Info]\nPath=" + path + "\nDeletionDate=" + date + "\n";
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (written && !exists(trash + "/files/" + name) &&
        ::rename(path.c_str(), (trash + "/files/" + name).c_str()) == 0)
      return true;
    ::unlink(info.c_str());
    if (written && exists(trash + "/files/" + name)) continue;
    return false;
  }
  return false;
}

bool isApplicationFolderName(const std::string& name) {
  if (name == platform::security::kInstallationFolderName) return true;
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".app") == 0;
}

void offerMoveToApplicationsFolder(MoveToApplicationsUI* ui, MoveToApplicationsOptions options) {
  auto defaults = platform::UserDefaults::standardUserDefaults();
  if (defaults->boolForKey(kMoveToApplicationsSuppressKey)) return;
  std::shared_ptr<const platform::Bundle> bundle = platform::Bundle::main();
  if (options.bundlePath.empty()) options.bundlePath = bundle->bundlePath();
  if (options.executableName.empty()) options.executableName = bundle->executableName();
  if (!options.exitProcess) options.exitProcess = [](int status) { std::exit(status); };
  if (!options.runInBackground) options.runInBackground = spawnShell;

  const std::string bundlePath = options.bundlePath;
  if (bundlePath.empty() || !ui) return;
  for (const std::string& folder : {userApplications(), localApplications()}) {
    if (beginsWith(bundlePath, folder) || beginsWith(bundlePath, realPath(folder))) return;
  }
  for (const fs::path& component : fs::path(bundlePath)) {
    if (component == "Applications") return;
  }

  const std::string device = diskImageDeviceForPath(platform::files::parentFolder(bundlePath));
  const std::string user = userApplications();
  const bool toUser = isDirectory(user) && holdsAnApp(user);
  const std::string destinationFolder = realPath(toUser ? user : localApplications());
  const std::string destination =
      destinationFolder + "/" + platform::files::lastComponent(bundlePath);
  const bool needsRights = ::access(destinationFolder.c_str(), W_OK) != 0 ||
                           (exists(destination) && ::access(destination.c_str(), W_OK) != 0);

  std::string informative = "I can move myself to the Applications folder if you'd like.";
  if (needsRights) {
    informative += " Note that this will require an administrator password.";
  } else if (beginsWith(bundlePath, downloadsFolder())) {
    informative += " This will keep your Downloads folder uncluttered.";
  }
  MoveToApplicationsUI::Answer answer = ui->askToMove(
      toUser ? "Move to Applications folder in your Home folder?" : "Move to Applications folder?",
      informative);
  if (!answer.move) {
    if (answer.suppress) defaults->setObject(platform::Value(true), kMoveToApplicationsSuppressKey);
    return;
  }

  const std::string program = destination + "/" + options.executableName;
  bool moved = false;
  if (!needsRights) {
    if (exists(destination)) {
      if (copyRunsFrom(destination)) {
        options.runInBackground(shellQuotedString(program) + " >/dev/null 2>&1 &");
        options.exitProcess(0);
        return;
      }
      if (!moveItemToTrash(destination)) {
        ui->showError(kCouldNotMoveMessage);
        return;
      }
    }
    moved = copyIntoPlace(bundlePath, destination);
  } else {
    auto blank = [](const std::string& s) {
      return s.find_first_not_of(" \t\n") == std::string::npos;
    };
    const bool acceptable = isApplicationFolderName(platform::files::lastComponent(destination)) &&
                            !blank(destination) && !blank(bundlePath);
    if (acceptable && ::geteuid() != 0) {
      // Users other than root: the installer does the copy as root once
      // polkit has authorized it (the desktop's agent asks for the
      // administrator's password).
      std::vector<std::string> arguments = {"move", bundlePath, destination};
      if (!platform::paths::systemRoot().empty()) {
        arguments.push_back("--root");
        arguments.push_back(platform::paths::systemRoot());
      }
      const std::string installer =
          options.installerPath.empty()
              ? bundlePath + "/" + platform::security::kInstallerProgramName
              : options.installerPath;
      platform::security::AuthorizedRun run = platform::security::runAuthorized(
          installer, arguments, "move VarnelVPN Client to the applications folder");
      if (run.outcome == platform::security::AuthorizedRun::Outcome::kDismissed) return;
      moved = run.outcome == platform::security::AuthorizedRun::Outcome::kSucceeded;
      if (!moved) std::fprintf(stderr, "Move to Applications: %s\n", run.message.c_str());
    } else {
      platform::sysconfig::AuthorizationStatus status = 0;
      auto authorization =
          acceptable ? platform::sysconfig::Authorization::create(&status) : nullptr;
      if (authorization) {
        status =
            authorization->copyRights(platform::sysconfig::kAuthorizationRightAdmin,
                                      platform::sysconfig::kAuthorizationFlagInteractionAllowed |
                                          platform::sysconfig::kAuthorizationFlagExtendRights |
                                          platform::sysconfig::kAuthorizationFlagPreAuthorize);
        if (status == kAuthorizationCanceled) {
          authorization->free(0);
          return;
        }
        if (status == platform::sysconfig::kAuthorizationSuccess) {
          int rm = platform::process::runAndWait({"/bin/rm", "-rf", destination});
          if (rm != -1 && WIFEXITED(rm)) {
            int cp = platform::process::runAndWait({"/bin/cp", "-pR", bundlePath, destination});
            moved = cp != -1 && WIFEXITED(cp) && WEXITSTATUS(cp) == 0;
          }
        }
        authorization->free(0);
      }
    }
  }
  if (!moved) {
    ui->showError(kCouldNotMoveMessage);
    return;
  }

  if (device.empty()) {
    std::error_code ec;
    if (fs::remove_all(bundlePath, ec) == static_cast<std::uintmax_t>(-1) || ec)
      moveItemToTrash(bundlePath);
  }
  options.runInBackground(platform::format(
      "(while /bin/kill -0 %d >/dev/null 2>&1; do /bin/sleep 0.1; done; %@ >/dev/null 2>&1) &",
      static_cast<int>(::getpid()), shellQuotedString(program)));
  if (!device.empty()) {
    options.runInBackground(
        platform::format("(/bin/sleep 5 && /bin/umount %@) &", shellQuotedString(device)));
  }
  options.exitProcess(0);
}

}  // namespace client
