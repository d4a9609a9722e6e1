// Files of the helper: every file that the helper writes for a connection
// (certificates, keys, scripts, the management socket, the SSTP client's
// options and log, the OpenVPN pid file) lives in one private folder,
// "/run/varnel-helper" under the system root, which only the helper's user
// (root) can enter.
//
// Guarantees:
//  1. `privateFolder` walks from the system root to the folder without
//     following a symbolic link in any component it creates or checks. Its
//     parent ("/run") must be a real folder owned by root or the helper's
//     user and writable by nobody else; it is created 0755 when missing.
//  2. The folder itself is answered only when it is a real directory owned
//     by this process's user with mode 0700. A missing one is created so. A
//     name that someone else prepared (a symbolic link, a file, a folder of
//     another owner) is moved aside, never entered or followed, and a fresh
//     folder is made in its place; so no user can make the helper fail or
//     write into a place of theirs by creating the name first.
//  3. `writePrivateFile` creates a fresh file beside the target with
//     O_CREAT|O_EXCL|O_NOFOLLOW and the final mode, writes and syncs it, and
//     renames it over the target: no reader ever sees a partial file, and a
//     name prepared by someone else is never opened or followed.
//
//  4. `isHelperPrivatePath` names the helper's own files, whose contents a
//     request may have influenced or which hold its secrets: the private
//     folder (its log included), the system keychain and preferences, and
//     the installation's configuration. No request value may name one.
//  5. `removeAttemptFiles` removes what a connection attempt wrote there
//     (certificates, keys, the SSTP secrets and, unless an OpenVPN that
//     still runs needs them, the up and down scripts): the saved DNS, the
//     pid file and the log stay.
//
// Thread safety: any thread.
#pragma once

#include <string>
#include <string_view>

namespace helper {

// The folder's name below paths::system("/run").
inline constexpr const char* kPrivateFolderName = "varnel-helper";

// What a connection attempt writes into the private folder: files whose
// names start so, and the up and down scripts.
inline constexpr const char* kAttemptFilePrefixes[] = {
    "VarnelVPN.ca",  "VarnelVPN.cert",          "VarnelVPN.key",
    "VarnelVPN.tls", "VarnelVPN.sstp-secrets.", ".VarnelVPN."};
inline constexpr const char* kAttemptScripts[] = {"varnel-up.sh", "varnel-down.sh"};
// The UUIDs of the NetworkManager profiles the helper made and has not
// deleted yet (not an attempt file: a crashed run's are deleted by the next).
inline constexpr const char* kNMProfileRecordName = "nm-profiles";

// The private folder ("" when it cannot be had safely).
std::string privateFolder();
// privateFolder() + "/" + name ("" when the folder cannot be had).
std::string privatePath(std::string_view name);
// Writes `bytes` to `path` with `mode` as described above; false on failure.
bool writePrivateFile(const std::string& path, std::string_view bytes, unsigned mode);
// True when `path` is one of the helper's own files (guarantee 4).
bool isHelperPrivatePath(const std::string& path);
// Removes the files of a connection attempt (guarantee 5).
void removeAttemptFiles(bool scripts);

}  // namespace helper
