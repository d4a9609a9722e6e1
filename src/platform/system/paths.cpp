#include "platform/system/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace platform::paths {
namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string stripTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// An XDG base folder: the variable when it holds an absolute path (the XDG
// base-directory rules ignore relative values), else
// home() + fallback.
std::string xdg(const char* variable, const char* fallback) {
  std::string v = env(variable);
  if (!v.empty() && v.front() == '/') return stripTrailingSlashes(v);
  return home() + fallback;
}

}  // namespace

std::string systemRoot() { return stripTrailingSlashes(env("VARNEL_ROOT")); }

std::string system(std::string_view absolutePath) {
  std::string root = systemRoot();
  if (root == "/") root.clear();
  if (absolutePath.empty() || absolutePath.front() != '/') root += '/';
  return root + std::string(absolutePath);
}

std::string home() {
  std::string h = env("HOME");
  if (!h.empty()) return stripTrailingSlashes(h);
  std::string root = systemRoot();
  if (!root.empty()) return root + "/home";
  std::vector<char> buffer(16384);
  struct passwd pw {};
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir && *result->pw_dir) {
    return stripTrailingSlashes(result->pw_dir);
  }
  return "/";
}

std::string userLogs() { return xdg("XDG_STATE_HOME", "/.local/state") + "/VarnelVPN/Logs"; }
std::string applicationSupport() { return xdg("XDG_DATA_HOME", "/.local/share"); }
std::string caches() { return xdg("XDG_CACHE_HOME", "/.cache"); }
std::string preferences() { return xdg("XDG_CONFIG_HOME", "/.config"); }
std::string applications() { return home() + "/Applications"; }
std::string userKeychain() { return applicationSupport() + "/varnel/keychain"; }

std::string privilegedHelperTools() { return system("/usr/local/libexec/varnel"); }
std::string launchDaemons() { return system("/etc/varnel/launchd"); }
std::string systemdUnits() { return system("/etc/systemd/system"); }
std::string systemKeychain() { return system("/var/lib/varnel/keychain"); }
std::string systemPreferences() { return system("/var/lib/varnel/preferences"); }
std::string runtime() { return system("/run/varnel"); }
std::string temporary() { return system("/tmp"); }

bool createDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string partial;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    partial = path.substr(0, next);
    pos = next + 1;
    if (partial.empty() || partial.back() == '/') continue;
    if (::mkdir(partial.c_str(), mode & 07777) != 0 && errno != EEXIST) return false;
  }
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace platform::paths
