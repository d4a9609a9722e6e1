#include "support/temp_root.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "support/temp_dir.h"

namespace varnel::testing {

TempRoot::TempRoot() : path_(makeTempFolder("root")) {
  const std::string h = home();
  for (const std::string& dir :
       {systemRoot(), h, h + "/.config", h + "/.local/share", h + "/.cache", h + "/.local/state",
        path_ + "/run", path_ + "/tmp"}) {
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
  // Temporary files of the test and of what it starts land inside the root
  // and go with it: also those of a death test's child, which re-runs the
  // fixture and never returns to remove its own root.
  setVariable("TMPDIR", path_ + "/tmp");
}

TempRoot::~TempRoot() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second) {
      ::setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      ::unsetenv(it->first.c_str());
    }
  }
  if (!removeTree(path_)) ADD_FAILURE() << "the temporary root " << path_ << " stays";
}

void TempRoot::setVariable(const char* name, const std::string& value) {
  const char* old = std::getenv(name);
  saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  ::setenv(name, value.c_str(), 1);
}

}  // namespace varnel::testing
