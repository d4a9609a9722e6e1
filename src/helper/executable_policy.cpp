#include "helper/executable_policy.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <sstream>

#include "platform/system/file_util.h"
#include "platform/system/paths.h"

namespace helper {

namespace {

std::string resolved(const std::string& path) {
  if (path.empty() || path[0] != '/') return {};
  char buffer[PATH_MAX];
  if (!::realpath(path.c_str(), buffer)) return {};
  return buffer;
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

bool ExecutablePolicy::allowsExecutable(const std::string& path) const {
  const std::string real = resolved(path);
  if (real.empty()) return false;
  bool listed = false;
  for (const std::string& allowed : executables)
    if (resolved(allowed) == real) listed = true;
  if (!listed) return false;
  struct stat st;
  if (::stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) return false;
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return false;
  return ::access(real.c_str(), X_OK) == 0;
}

}  // namespace helper
