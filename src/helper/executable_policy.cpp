#include "helper/executable_policy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <sstream>

#include "platform/system/file_util.h"
#include "platform/system/paths.h"

namespace helper {

namespace {

bool trustedOwner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

// A folder that nobody but its trusted owner can change the entries of.
bool safeFolder(const struct stat& st) {
  if (!S_ISDIR(st.st_mode) || !trustedOwner(st.st_uid)) return false;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
  return st.st_uid == 0 && (st.st_mode & S_ISVTX);
}

// Opens the regular file at the absolute `path` with `flags`, walking every
// component without following a link and checking each folder on the way.
int openCheckedFile(const std::string& path, int flags, std::string* problem) {
  auto fail = [&](const std::string& why) {
    if (problem) *problem = why;
    return -1;
  };
  if (path.empty() || path[0] != '/') return fail("not an absolute path");
  std::vector<std::string> parts;
  std::size_t start = 1;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    std::string part = path.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty() || part == "." || part == "..") return fail("not a plain path");
    parts.push_back(part);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  int dir = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return fail("the root folder cannot be opened");
  struct stat st;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (::fstat(dir, &st) != 0 || !safeFolder(st)) {
      ::close(dir);
      return fail("a folder on the path is not owned by root or is writable by others");
    }
    const bool last = i + 1 == parts.size();
    int next = ::openat(dir, parts[i].c_str(),
                        last ? flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK
                             : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(dir);
    if (next < 0)
      return fail(last ? "the file is missing or a symbolic link"
                       : "a folder on the path is missing or a symbolic link");
    dir = next;
  }
  if (::fstat(dir, &st) != 0 || !S_ISREG(st.st_mode) || !trustedOwner(st.st_uid) ||
      (st.st_mode & (S_IWGRP | S_IWOTH))) {
    ::close(dir);
    return fail("not a regular file owned by root and writable by root only");
  }
  return dir;
}

// A plain decimal uid; nullopt for anything else (and for the "no user" value).
std::optional<uid_t> userOf(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  unsigned long long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned long long>(c - '0');
  }
  if (n >= static_cast<unsigned long long>(static_cast<uid_t>(-1))) return std::nullopt;
  return static_cast<uid_t>(n);
}

}  // namespace

bool ExecutablePolicy::allowsPeer(const platform::xpc::PeerCredentials& c, uid_t helperUser) const {
  if (!c.valid) return false;
  if (c.uid == 0) return true;
  if (helperUser != 0 && c.uid == helperUser) return true;
  bool listed = false;
  for (uid_t u : users) listed = listed || u == c.uid;
  if (!listed) return false;
  if (clients.empty()) return true;
  for (const std::string& client : clients)
    if (!c.executable.empty() && c.executable == client) return true;
  return false;
}

ExecutablePolicy ExecutablePolicy::load() {
  ExecutablePolicy policy;
  policy.executables = {"/usr/sbin/openvpn", "/usr/sbin/sstpc"};
  std::optional<std::string> text =
      platform::files::readFile(platform::paths::system(kHelperConfigurationPath));
  if (!text) return policy;
  std::istringstream in(*text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("Executable=", 0) == 0)
      policy.executables.push_back(line.substr(11));
    else if (line.rfind("Client=", 0) == 0)
      policy.clients.push_back(line.substr(7));
    else if (line.rfind("User=", 0) == 0) {
      if (std::optional<uid_t> uid = userOf(line.substr(5))) policy.users.push_back(*uid);
    }
  }
  return policy;
}

bool ExecutablePolicy::listsExecutable(const std::string& path) const {
  if (path.empty()) return false;
  for (const std::string& allowed : executables)
    if (allowed == path) return true;
  return false;
}

int ExecutablePolicy::openExecutable(const std::string& path, std::string* problem) const {
  if (!listsExecutable(path)) {
    if (problem) *problem = "not an executable that this installation ships";
    return -1;
  }
  int fd = openCheckedFile(path, O_RDONLY, problem);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
    ::close(fd);
    if (problem) *problem = "not an executable file";
    return -1;
  }
  return fd;
}

bool ExecutablePolicy::allowsExecutable(const std::string& path) const {
  int fd = openExecutable(path);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool ExecutablePolicy::isTrustedFile(const std::string& path, std::string* problem) {
  int fd = openCheckedFile(path, O_PATH, problem);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace helper
