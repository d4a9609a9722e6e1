// TempDir: a private temporary folder for one test, the one helper tests use
// instead of hard-coded /tmp paths and local mkdtemp copies.
//
// The folder is "$TMPDIR/varnel-test-<tag>-XXXXXX" (TMPDIR defaults to /tmp;
// inside a TempRoot, TMPDIR points below the root, so nested folders go
// with it), created 0700. On destruction it is removed with everything in
// it, read-only folders included. Construction throws std::runtime_error
// when the folder cannot be made.
//
// removeTree is the removal both TempDir and TempRoot use.
//
// Thread safety: none needed; a TempDir is a value owned by one test.
#pragma once

#include <string>

namespace varnel::testing {

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
// that what a test made read-only goes too. Errors are ignored.
void removeTree(const std::string& path);

}  // namespace varnel::testing
