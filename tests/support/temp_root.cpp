#include "support/temp_root.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace varnel::testing {

TempRoot::TempRoot() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/varnel-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = pattern;
  const std::string h = home();
  for (const std::string& dir : {systemRoot(), h, h + "/.config", h + "/.local/share",
                                 h + "/.cache", h + "/.local/state", path_ + "/run"}) {
    std::filesystem::create_directories(dir);
  }
  ::chmod((path_ + "/run").c_str(), 0700);
  setVariable("VARNEL_ROOT", systemRoot());
  setVariable("HOME", h);
  setVariable("XDG_CONFIG_HOME", h + "/.config");
  setVariable("XDG_DATA_HOME", h + "/.local/share");
  setVariable("XDG_CACHE_HOME", h + "/.cache");
  setVariable("XDG_STATE_HOME", h + "/.local/state");
  setVariable("XDG_RUNTIME_DIR", path_ + "/run");
}

TempRoot::~TempRoot() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second) {
      ::setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      ::unsetenv(it->first.c_str());
    }
  }
  std::error_code ignored;
  // Make every folder writable first so that files a test made read-only go too.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(path_, ignored);
}

void TempRoot::setVariable(const char* name, const std::string& value) {
  const char* old = std::getenv(name);
  saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  ::setenv(name, value.c_str(), 1);
}

}  // namespace varnel::testing
