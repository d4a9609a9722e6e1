// Small file helpers of the platform layer: whole-file reads and atomic
// whole-file writes.
//
// writeFileAtomically guarantees that a reader of `path` sees either the old
// contents or the complete new contents, never a mix or a truncated file: the
// bytes go to a fresh temporary file in the same folder (created with O_EXCL
// and the requested mode, so the data is never readable by others even for a
// moment), are flushed to disk with fsync, and the temporary file is renamed
// over `path`; the folder is then synced too. On failure the temporary file
// is removed and `path` is left as it was.
//
// Thread safety: the functions may be called from any thread; two writers of
// the same path race only for which complete version survives.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"

namespace platform::files {

// Reads the whole file; std::nullopt (and `*error`, when given, in the POSIX
// domain with the path under kFilePathErrorKey) when it cannot be read.
std::optional<std::string> readFile(const std::string& path, Error* error = nullptr);

// Writes `bytes` to `path` atomically with permission bits `mode` (subject
// to nothing: the umask does not widen or narrow it). False and `*error` on
// failure; `path` is then unchanged.
bool writeFileAtomically(const std::string& path, std::string_view bytes, unsigned mode = 0600,
                         Error* error = nullptr);

// The folder part of a path ("." for a bare file name, "/" for the root).
std::string parentFolder(const std::string& path);
// The last component of a path.
std::string lastComponent(const std::string& path);

}  // namespace platform::files
