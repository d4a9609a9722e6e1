// TempRoot: a temporary folder that stands in for the whole file system of a
// test, "$TMPDIR/varnel-test-root-XXXXXX" (see makeTempFolder). While a TempRoot lives, VARNEL_ROOT
// points at "<dir>/root" (every system-wide place of platform::paths lands there), HOME at
// "<dir>/home" and the XDG variables at their usual places below that home (XDG_CONFIG_HOME,
// XDG_DATA_HOME, XDG_CACHE_HOME, XDG_STATE_HOME, XDG_RUNTIME_DIR), and TMPDIR at "<dir>/tmp", so
// temporary folders made while it lives (TempDir, a death test's child) are removed with it. The
// folders exist. On destruction the previous
// environment is restored and the folder is removed with everything in it.
//
// TempRootTest is the GoogleTest fixture form: each test gets its own
// TempRoot, reachable through root().
//
// Thread safety: the environment is process-wide and not synchronized;
// create and destroy a TempRoot while no other thread of the test reads the
// environment (before starting threads, after joining them).
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace varnel::testing {

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  // The temporary folder itself.
  const std::string& path() const { return path_; }
  // "<path>/root", the value of VARNEL_ROOT.
  std::string systemRoot() const { return path_ + "/root"; }
  // "<path>/home", the value of HOME.
  std::string home() const { return path_ + "/home"; }
  // path() + "/" + relative.
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  void setVariable(const char* name, const std::string& value);

  std::string path_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class TempRootTest : public ::testing::Test {
 protected:
  TempRoot& root() { return root_; }

 private:
  TempRoot root_;
};

}  // namespace varnel::testing
