#include "platform/system/root_only_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace platform::rootonly {

namespace {

bool trustedOwner(uid_t uid, const Options& options) {
  return uid == 0 || (options.trustSelf && uid == ::geteuid());
}

bool othersMayWrite(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

std::string ownerText(const Options& options) {
  return options.trustSelf ? "root or this program's user" : "root";
}

// Splits an absolute plain path into its components; false for anything else.
bool components(const std::string& path, std::vector<std::string>* parts) {
  if (path.empty() || path[0] != '/') return false;
  if (path == "/") return true;
  std::size_t start = 1;
  for (;;) {
    const std::size_t end = path.find('/', start);
    std::string part = path.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    parts->push_back(std::move(part));
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

}  // namespace

int open(const std::string& path, const Options& options, std::string* reason) {
  auto fail = [&](const std::string& why) {
    if (reason) *reason = why;
    return -1;
  };
  std::vector<std::string> parts;
  if (!components(path, &parts)) return fail(path + " is not an absolute plain path");
  const bool folder = options.kind == Kind::kFolder;
  int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail("the root folder cannot be opened");
  std::string walked = "/";
  struct stat st;
  for (std::size_t i = 0;; ++i) {
    const bool last = i == parts.size();
    if (::fstat(fd, &st) != 0) {
      ::close(fd);
      return fail(walked + " cannot be examined");
    }
    if (!last) {
      // A folder on the way.
      if (!S_ISDIR(st.st_mode)) {
        ::close(fd);
        return fail(walked + " is not a folder");
      }
      const bool sticky = st.st_uid == 0 && (st.st_mode & S_ISVTX);
      if (!trustedOwner(st.st_uid, options) || (othersMayWrite(st) && !sticky)) {
        ::close(fd);
        return fail(walked + " can be changed by users other than " + ownerText(options));
      }
      const bool target = i + 1 == parts.size();
      int flags = O_PATH | O_DIRECTORY;
      if (target) {
        if (folder)
          flags = options.flags | O_DIRECTORY;
        else if (options.flags & O_PATH)
          flags = options.flags;
        else
          flags = options.flags | O_NOCTTY | O_NONBLOCK;
      }
      const int next = ::openat(fd, parts[i].c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
      ::close(fd);
      walked = walked == "/" ? "/" + parts[i] : walked + "/" + parts[i];
      if (next < 0) {
        struct stat ls;
        const bool isLink = ::lstat(walked.c_str(), &ls) == 0 && S_ISLNK(ls.st_mode);
        if (isLink && target)
          return fail(walked + (folder ? " is not a folder" : " is not a regular file") +
                      " (it is a symbolic link)");
        return fail(walked + (isLink ? " is a symbolic link" : " is missing or not usable"));
      }
      fd = next;
      continue;
    }
    // The target.
    if (S_ISLNK(st.st_mode)) {
      ::close(fd);
      return fail(walked + (folder ? " is not a folder" : " is not a regular file") +
                  " (it is a symbolic link)");
    }
    if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
      ::close(fd);
      return fail(walked + (folder ? " is not a folder" : " is not a regular file"));
    }
    if (!trustedOwner(st.st_uid, options) || othersMayWrite(st)) {
      ::close(fd);
      return fail(walked + " can be changed by users other than " + ownerText(options));
    }
    return fd;
  }
}

bool check(const std::string& path, const Options& options, std::string* reason) {
  const int fd = open(path, options, reason);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace platform::rootonly
