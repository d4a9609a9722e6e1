// TempDir: a private temporary folder for one test, the one helper tests use
// instead of hard-coded /tmp paths and local mkdtemp copies.
//
// The folder is "$TMPDIR/varnel-test-<tag>-XXXXXX" (TMPDIR defaults to /tmp;
// inside a TempRoot, TMPDIR points below the root, so nested folders go
// with it), created 0700. On destruction it is removed with everything in
// it, read-only folders included. Construction throws std::runtime_error
// when the folder cannot be made.
//
// removeTree is the removal both TempDir and TempRoot use; makeTempFolder
// the making, which also notes the new folder with the program and test
// that made it in the owner list of its parent (kTempOwnersFile), read by
// the suite's check that the temporary folder is left empty.
//
// Thread safety: none needed; a TempDir is a value owned by one test.
#pragma once

#include <string>

namespace varnel::testing {

inline constexpr const char* kTempOwnersFile = ".varnel-test-owners";

// Makes "$TMPDIR/varnel-test-<tag>-XXXXXX" (0700) and notes it in the
// owner list; throws std::runtime_error when it cannot.
std::string makeTempFolder(const std::string& tag);

class TempDir {
 public:
  explicit TempDir(const std::string& tag = "tmp");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Removes `path` and everything below it, making folders writable first so
// that what a test made read-only goes too, and starting over while
// something still writes below it. Returns whether `path` is gone.
bool removeTree(const std::string& path);

}  // namespace varnel::testing
