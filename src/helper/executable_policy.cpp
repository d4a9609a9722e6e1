#include "helper/executable_policy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <sstream>

#include "helper/helper_files.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/system/root_only_path.h"

namespace helper {

namespace {

// Opens the regular file at the absolute `path` with `flags`
// through the one root-only walk (platform/system/root_only_path.h).
int openCheckedFile(const std::string& path, int flags, std::string* problem) {
  platform::rootonly::Options options;
  options.kind = platform::rootonly::Kind::kFile;
  options.trustSelf = true;
  options.flags = flags;
  return platform::rootonly::open(path, options, problem);
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

// The options the product's own options file holds (packaging/sstp): plain
// link options that name no program, plugin, script or other file.
constexpr const char* kShippedSSTPOptions[] = {"noipdefault", "noccp"};
constexpr std::size_t kMaxSSTPOptionsBytes = 64 * 1024;

// "" when every word of the options text `text` is one the product ships
// (comments and blank lines aside), else the first word that is not, or
// why the text cannot be read as plain words.
std::string unshippedOption(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t comment = line.find('#');
    if (comment != std::string::npos) line.resize(comment);
    // pppd reads quotes and escapes as parts of words: only plain words pass.
    if (line.find_first_of("\"'\\") != std::string::npos) return "a quoted word";
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
      bool shipped = false;
      for (const char* allowed : kShippedSSTPOptions) shipped = shipped || word == allowed;
      if (!shipped) return word;
    }
  }
  return "";
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
    else if (line.rfind("SSTPOptions=", 0) == 0)
      policy.sstpOptions.push_back(line.substr(12));
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
  if (isHelperPrivatePath(path)) {
    if (problem) *problem = "one of the helper's own files";
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

int ExecutablePolicy::openSSTPOptions(const std::string& path, std::string* problem) const {
  auto fail = [&](const std::string& why) {
    if (problem) *problem = why;
    return -1;
  };
  bool recorded = false;
  for (const std::string& allowed : sstpOptions)
    recorded = recorded || (!path.empty() && allowed == path);
  if (!recorded) return fail("not the options file recorded at the helper's installation");
  if (isHelperPrivatePath(path)) return fail("one of the helper's own files");
  const int fd = openCheckedFile(path, O_RDONLY, problem);
  if (fd < 0) return -1;
  // A second name of a file is a way to reach it from elsewhere.
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_nlink != 1) {
    ::close(fd);
    return fail("the options file has more than one name");
  }
  // Where it lies is not enough (an approved move can replace the folder
  // that holds it): what it holds must be what the product ships.
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || text.size() + static_cast<std::size_t>(n) > kMaxSSTPOptionsBytes) {
      ::close(fd);
      return fail(n < 0 ? "the options file cannot be read" : "the options file is too large");
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  const std::string unshipped = unshippedOption(text);
  if (!unshipped.empty() || text.find('\0') != std::string::npos) {
    ::close(fd);
    return fail("the options file holds an option the product does not ship: " +
                (unshipped.empty() ? std::string("a NUL byte") : unshipped));
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

}  // namespace helper
