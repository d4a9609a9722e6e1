#include "helper/helper_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/system/file_util.h"
#include "platform/system/paths.h"

namespace helper {

namespace {

bool trustedOwner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

// Opens (creating with `mode` when missing) the folder `name` below the
// folder `parent` without following a symbolic link; -1 when it is missing
// and cannot be made, or is not a folder.
int openFolderAt(int parent, const char* name, unsigned mode) {
  if (::mkdirat(parent, name, mode) != 0 && errno != EEXIST) return -1;
  return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The system root's "/run": a folder that only root (or the helper's user)
// can write.
int openRunFolder() {
  const std::string root = platform::paths::systemRoot();
  if (!root.empty()) platform::paths::createDirectories(root, 0755);
  int base = ::open(root.empty() ? "/" : root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (base < 0) return -1;
  int run = openFolderAt(base, "run", 0755);
  ::close(base);
  if (run < 0) return -1;
  struct stat st;
  if (::fstat(run, &st) != 0 || !trustedOwner(st.st_uid) || (st.st_mode & (S_IWGRP | S_IWOTH))) {
    ::close(run);
    return -1;
  }
  return run;
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

}  // namespace helper
