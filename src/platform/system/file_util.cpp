#include "platform/system/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace platform::files {
namespace {

Error fileError(int err, const std::string& path) {
  Error base = Error::posix(err, path);
  Value info = base.userInfo().mutableCopy();
  if (info.isNone()) info = Value::mutableDictionary();
  info.set(kFilePathErrorKey, Value(path));
  return Error(base.domain(), base.code(), info.copy());
}

void setError(Error* error, int err, const std::string& path) {
  if (error) *error = fileError(err, path);
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string randomSuffix() {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string s;
  for (int i = 0; i < 8; ++i) s += kChars[rng() % (sizeof(kChars) - 1)];
  return s;
}

}  // namespace

std::string parentFolder(const std::string& path) {
  auto end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? "." : "/";
  auto slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  auto parentEnd = path.find_last_not_of('/', slash);
  if (parentEnd == std::string::npos) return "/";
  return path.substr(0, parentEnd + 1);
}

std::string lastComponent(const std::string& path) {
  auto end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? "" : "/";
  auto slash = path.rfind('/', end);
  std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(start, end + 1 - start);
}

std::optional<std::string> readFile(const std::string& path, Error* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    setError(error, errno, path);
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    setError(error, EISDIR, path);
    return std::nullopt;
  }
  std::string out;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      setError(error, err, path);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

bool writeFileAtomically(const std::string& path, std::string_view bytes, unsigned mode,
                         Error* error) {
  const std::string folder = parentFolder(path);
  const std::string base = lastComponent(path);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = folder + "/." + base + "." + randomSuffix() + ".tmp";
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    setError(error, errno, path);
    return false;
  }
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(temp.c_str());
    setError(error, err, path);
    return false;
  };
  // The umask may have narrowed the mode at creation; set exactly what was asked.
  if (::fchmod(fd, mode & 07777) != 0) return fail(errno);
  if (!writeAll(fd, bytes)) return fail(errno);
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    setError(error, err, path);
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    setError(error, err, path);
    return false;
  }
  int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd >= 0) {
    ::fsync(dirfd);
    ::close(dirfd);
  }
  return true;
}

}  // namespace platform::files
