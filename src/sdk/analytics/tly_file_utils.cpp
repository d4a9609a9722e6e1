#include "sdk/analytics/tly_file_utils.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/foundation/error.h"
#include "sdk/analytics/tly_logger.h"

namespace sdk {

namespace fs = std::filesystem;

std::string TLYFileUtils::pathForURL(const platform::URL& url) {
  if (url.isFileURL()) return url.decodedPath();
  return url.absoluteString();
}

std::string TLYFileUtils::baseNameForURL(const platform::URL& url) {
  std::string name = url.lastPathComponent();
  const std::string extension = url.pathExtension();
  if (!extension.empty() && name.size() > extension.size()) {
    name.resize(name.size() - extension.size() - 1);
  }
  return name;
}

bool TLYFileUtils::isExistingFile(const platform::URL& url) {
  std::error_code ec;
  const auto status = fs::status(pathForURL(url), ec);
  return !ec && fs::exists(status) && !fs::is_directory(status);
}

std::vector<platform::URL> TLYFileUtils::allFilesInDirectory(const platform::URL& directory) {
  std::string path;
  if (directory.isFileURL()) {
    path = directory.decodedPath();
  } else {
    TLYLogger::sharedLogger().log("%@ is not a file URL, will attempt to enumerate files.",
                                  directory);
    path = directory.path().empty() ? directory.absoluteString() : directory.decodedPath();
  }
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(path, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  if (ec) {
    const platform::Error error = platform::Error::posix(ec.value(), path);
    TLYLogger::sharedLogger().log("Unable to read contents of %@: %@", directory, error);
    return {};
  }
  const platform::URL base = platform::URL::fileURLWithPath(path, true);
  std::vector<platform::URL> files;
  files.reserve(names.size());
  for (const std::string& name : names) files.push_back(base.appendingPathComponent(name));
  std::sort(files.begin(), files.end(), [](const platform::URL& a, const platform::URL& b) {
    return a.absoluteString() < b.absoluteString();
  });
  return files;
}

std::vector<platform::URL> TLYFileUtils::filesWithExtension(const std::string& extension,
                                                            const platform::URL& directory) {
  std::vector<platform::URL> files = allFilesInDirectory(directory);
  std::erase_if(files, [&](const platform::URL& url) { return url.pathExtension() != extension; });
  return files;
}

std::uint64_t TLYFileUtils::fileSizeAtURL(const platform::URL& url) {
  struct stat st;
  if (::stat(pathForURL(url).c_str(), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

platform::Date TLYFileUtils::fileCreatedDateAtURL(const platform::URL& url,
                                                  platform::Date fallback) {
  struct statx sx;
  if (::statx(AT_FDCWD, pathForURL(url).c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) != 0) {
    return fallback;
  }
  const struct statx_timestamp& t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
  return platform::Date(static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9);
}

}  // namespace sdk
