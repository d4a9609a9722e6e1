// sdk::TLYFileUtils: the directory and file questions of the analytics kit
// (its event directory of logs, compressed logs and packages).
//
// File locations are file URLs. Listings are sets: each location appears
// once, in the order of their text (so results do not depend on the order
// the file system lists entries in).
//
// Thread safety: stateless; every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/url.h"

namespace sdk {

class TLYFileUtils {
 public:
  // Every entry of the directory, one level deep (files, folders, links),
  // as the directory location with the entry name appended. A location
  // that is not a file URL is logged ("%@ is not a file URL, will attempt to
  // enumerate files.") and its path is used. A directory that cannot be read
  // is logged ("Unable to read contents of %@: %@") and gives an empty set.
  static std::vector<platform::URL> allFilesInDirectory(const platform::URL& directory);
  // The entries whose extension equals `extension` exactly.
  static std::vector<platform::URL> filesWithExtension(const std::string& extension,
                                                       const platform::URL& directory);
  // The size in bytes; 0 when the attributes cannot be read.
  static std::uint64_t fileSizeAtURL(const platform::URL& url);
  // The file's creation (birth) time where the file system records one,
  // else its last modification time; `fallback` when the attributes cannot
  // be read.
  static platform::Date fileCreatedDateAtURL(const platform::URL& url, platform::Date fallback);

  // The file-system path of a location (the unescaped path of a file URL;
  // the text of anything else).
  static std::string pathForURL(const platform::URL& url);
  // The last path component without its extension ("x.y.log" gives "x.y").
  static std::string baseNameForURL(const platform::URL& url);
  // True when something that is not a directory exists at the location.
  static bool isExistingFile(const platform::URL& url);
};

}  // namespace sdk
