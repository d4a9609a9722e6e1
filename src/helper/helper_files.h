// Files of the helper: every file that the helper writes for a connection
// (certificates, keys, scripts, the SSTP client's log) lives in one private
// folder under the temporary folder, which only the helper's user can enter.
//
// Guarantees:
//  1. `privateFolder` answers a folder only when it is a real directory (not
//     a symbolic link) owned by this process's user with mode 0700; a
//     missing one is created so; anything else is refused (empty answer).
//  2. `writePrivateFile` creates a fresh file beside the target with
//     O_CREAT|O_EXCL|O_NOFOLLOW and the final mode, writes and syncs it, and
//     renames it over the target: no reader ever sees a partial file, and a
//     name prepared by someone else is never opened or followed.
//
// Thread safety: any thread.
#pragma once

#include <string>
#include <string_view>

namespace helper {

// The folder name below paths::temporary().
inline constexpr const char* kPrivateFolderName = "varnel-helper";

// The private folder ("" when it cannot be had safely).
std::string privateFolder();
// privateFolder() + "/" + name ("" when the folder cannot be had).
std::string privatePath(std::string_view name);
// Writes `bytes` to `path` with `mode` as described above; false on failure.
bool writePrivateFile(const std::string& path, std::string_view bytes, unsigned mode);

}  // namespace helper
