#include "helper/helper_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/root_only_path.h"

namespace helper {

namespace {

// `path` with each run of "/" written as one and no trailing "/": a system
// root given as "/x/" names the same folders as "/x", and the walk takes
// plain paths only.
std::string collapsedSlashes(const std::string& path) {
  std::string out;
  for (char c : path)
    if (c != '/' || out.empty() || out.back() != '/') out += c;
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// The system root's "/run": a folder that only root (or the helper's user)
// can change, reached through the one root-only walk; created 0755 (with the
// system root) when missing.
int openRunFolder(bool create = true) {
  const std::string root = platform::paths::systemRoot();
  if (create && !root.empty()) platform::paths::createDirectories(root, 0755);
  const std::string run = collapsedSlashes(platform::paths::system("/run"));
  if (create) ::mkdir(run.c_str(), 0755);
  platform::rootonly::Options options;
  options.kind = platform::rootonly::Kind::kFolder;
  options.trustSelf = true;
  options.flags = O_RDONLY;
  return platform::rootonly::open(run, options);
}

// A path inside `folder` (or the folder itself), compared as text: the
// callers accept only plain paths, walked without following links.
bool within(const std::string& rawPath, const std::string& rawFolder) {
  const std::string path = collapsedSlashes(rawPath), folder = collapsedSlashes(rawFolder);
  if (folder.empty()) return false;
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

}  // namespace

std::string privateFolder() {
  // One caller at a time: two threads must not both move a name aside.
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  int run = openRunFolder();
  if (run < 0) return {};
  const std::string folder = platform::paths::system("/run") + "/" + kPrivateFolderName;
  static unsigned moved = 0;  // under `mutex`
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = -1;
    if (::mkdirat(run, kPrivateFolderName, 0700) == 0 || errno == EEXIST)
      fd = ::openat(run, kPrivateFolderName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid()) {
      bool ok = (st.st_mode & 07777) == 0700 || ::fchmod(fd, 0700) == 0;
      ::close(fd);
      ::close(run);
      return ok ? folder : std::string();
    }
    if (fd >= 0) ::close(fd);
    // Someone else's name (a link, a file, a folder of another owner): move
    // it aside without looking inside, then make our own.
    const std::string aside = std::string(".") + kPrivateFolderName + ".refused." +
                              std::to_string(::getpid()) + "." + std::to_string(::time(nullptr)) +
                              "." + std::to_string(moved++);
    if (::renameat(run, kPrivateFolderName, run, aside.c_str()) != 0 && errno != ENOENT) break;
    std::fprintf(stderr, "varnel-helper: moved a foreign %s aside to %s\n", kPrivateFolderName,
                 aside.c_str());
  }
  ::close(run);
  return {};
}

std::string privatePath(std::string_view name) {
  std::string folder = privateFolder();
  if (folder.empty()) return {};
  return folder + "/" + std::string(name);
}

bool writePrivateFile(const std::string& path, std::string_view bytes, unsigned mode) {
  static std::atomic<unsigned> counter{0};
  const std::string temp = platform::files::parentFolder(path) + "/." +
                           platform::files::lastComponent(path) + "." + std::to_string(::getpid()) +
                           "." + std::to_string(counter++);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0;
  std::size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool isHelperPrivatePath(const std::string& path) {
  return within(path, platform::paths::system("/run") + "/" + kPrivateFolderName) ||
         within(path, platform::paths::systemKeychain()) ||
         within(path, platform::paths::systemPreferences()) ||
         within(path, platform::paths::system("/etc/varnel"));
}

void removeAttemptFiles(bool scripts) {
  // Only a private folder that is there is cleaned: nothing is made for it
  // (the system root may be gone, say at the end of a test, while the
  // helper is still on its way out).
  const int run = openRunFolder(false);
  if (run < 0) return;
  const int fd = ::openat(run, kPrivateFolderName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  ::close(run);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
    ::close(fd);
    return;
  }
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return;
  }
  std::vector<std::string> names;
  while (dirent* e = ::readdir(dir)) {
    const std::string_view name(e->d_name);
    bool attempt = false;
    for (const char* prefix : kAttemptFilePrefixes) attempt = attempt || name.rfind(prefix, 0) == 0;
    if (scripts)
      for (const char* script : kAttemptScripts) attempt = attempt || name == script;
    if (attempt) names.emplace_back(name);
  }
  for (const std::string& name : names) ::unlinkat(::dirfd(dir), name.c_str(), 0);
  ::closedir(dir);
}

}  // namespace helper
