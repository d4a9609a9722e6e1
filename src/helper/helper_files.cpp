#include "helper/helper_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/system/file_util.h"
#include "platform/system/paths.h"

namespace helper {

std::string privateFolder() {
  const std::string folder = platform::paths::temporary() + "/" + kPrivateFolderName;
  platform::paths::createDirectories(platform::paths::temporary(), 01777);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st;
  if (::lstat(folder.c_str(), &st) != 0) return {};
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return {};
  if ((st.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) return {};
  return folder;
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
