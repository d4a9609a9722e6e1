// platform::rootonly: "can only root change this path?", answered once, the
// same way for every caller (the helper's executables and options files, its
// private folders, the installer, the demo's run script).
//
// Guarantees:
//  1. The path is resolved from "/", one component at a time, with
//     openat(O_PATH | O_NOFOLLOW): no symbolic link is ever followed, and
//     each component is looked up in the folder that was checked before it,
//     so a component swapped after its check is never the one used.
//  2. Every folder on the way is a real folder of a trusted owner (root, and
//     with `trustSelf` also this process's effective user) that nobody else
//     can write. A root-owned sticky folder (/tmp) is accepted on the way,
//     because only the owner of an entry can rename or remove it there, and
//     the next component must have a trusted owner itself.
//  3. The target (the last component) is of the asked kind (a regular file or
//     a folder), has a trusted owner, and is writable by nobody else; a
//     sticky target folder is refused (anybody can add entries to it).
//  4. Only absolute plain paths are accepted: no empty, "." or ".."
//     component, no trailing "/".
//  5. On refusal the reason is one line naming the offending component
//     ("/tmp/x can be changed by users other than root").
//
// `open` hands back the descriptor of the target so the caller uses exactly
// what was checked; `check` only answers.
//
// Thread safety: functions of the file system; any thread.
#pragma once

#include <fcntl.h>

#include <string>

namespace platform::rootonly {

enum class Kind { kFile, kFolder };

struct Options {
  Kind kind = Kind::kFile;
  // Also trust this process's effective user as an owner (a helper run by an
  // ordinary user in development and tests).
  bool trustSelf = false;
  // Flags of the final open (O_NOFOLLOW and O_CLOEXEC are always added, and
  // O_NOCTTY | O_NONBLOCK to a file opened for reading). A folder is always
  // opened with O_DIRECTORY.
  int flags = O_PATH;
};

// A close-on-exec descriptor of the target at `path`, checked as the header
// says; -1 with `*reason` (when given) on refusal. The caller closes it.
int open(const std::string& path, const Options& options, std::string* reason = nullptr);
// True when open() would succeed now.
bool check(const std::string& path, const Options& options, std::string* reason = nullptr);

}  // namespace platform::rootonly
