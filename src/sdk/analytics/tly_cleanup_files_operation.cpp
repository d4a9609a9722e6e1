#include "sdk/analytics/tly_cleanup_files_operation.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "platform/foundation/date.h"
#include "platform/foundation/error.h"
#include "sdk/analytics/tly_file_utils.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

// Removes a file or an empty folder; false (and errno) on failure.
bool removeEntry(const platform::URL& url) {
  return std::remove(TLYFileUtils::pathForURL(url).c_str()) == 0;
}

std::vector<platform::URL> valuesOf(const std::map<std::string, platform::URL>& table) {
  std::vector<platform::URL> urls;
  urls.reserve(table.size());
  for (const auto& [name, url] : table) urls.push_back(url);
  return urls;
}

}  // namespace

TLYCleanupFilesOperation::TLYCleanupFilesOperation(platform::URL directoryUrl,
                                                   std::int64_t maximumPendingMultipartFiles)
    : directoryUrl_(std::move(directoryUrl)),
      maximumPendingMultipartFiles_(maximumPendingMultipartFiles) {}

std::vector<platform::URL> TLYCleanupFilesOperation::URLsByRemovingOldFiles(
    std::vector<platform::URL> urls, std::int64_t maximum) {
  const auto limit = static_cast<std::uint64_t>(maximum);
  if (limit >= urls.size()) return urls;

  std::vector<std::pair<platform::Date, platform::URL>> dated;
  dated.reserve(urls.size());
  for (auto& url : urls) {
    dated.emplace_back(TLYFileUtils::fileCreatedDateAtURL(url, platform::Date::distantPast()),
                       std::move(url));
  }
  std::sort(dated.begin(), dated.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first > b.first;  // newest first
    return a.second.absoluteString() < b.second.absoluteString();
  });
  std::vector<platform::URL> kept;
  kept.reserve(limit);
  std::size_t dropped = 0;
  for (std::size_t i = 0; i < dated.size(); ++i) {
    if (i < limit) {
      kept.push_back(std::move(dated[i].second));
    } else if (removeEntry(dated[i].second)) {
      ++dropped;
    }
  }
  // Packages kept for later attempts are bounded: the oldest go first, and
  // the console says how many packages of events were lost that way,
  // whatever the debug switch.
  if (dropped > 0) {
    BCNConsoleLog(
        "[Tally:CleanupOperation] Dropped %@ oldest pending packages over the limit of %@",
        std::to_string(dropped), std::to_string(limit));
  }
  return kept;
}

void TLYCleanupFilesOperation::main() {
  std::map<std::string, platform::URL> logs, compressed, packages;
  for (const platform::URL& url : TLYFileUtils::allFilesInDirectory(directoryUrl_)) {
    const std::string extension = url.pathExtension();
    const std::string base = TLYFileUtils::baseNameForURL(url);
    if (extension == "log") {
      logs.insert_or_assign(base, url);
    } else if (extension == "gz") {
      compressed.insert_or_assign(base, url);
    } else if (extension == "multipartmime") {
      packages.insert_or_assign(base, url);
    } else {
      removeEntry(url);
    }
  }

  // A compressed file beside its plain log may be a partial one: it is made
  // again from the log.
  for (const auto& [base, log] : logs) {
    auto it = compressed.find(base);
    if (it == compressed.end()) continue;
    if (!removeEntry(it->second)) {
      const platform::Error error =
          platform::Error::posix(errno, TLYFileUtils::pathForURL(it->second));
      TLYLogger::sharedLogger().logWithLabel("CleanupOperation", "Failed to remove %@: %@",
                                             it->second, error);
    }
    compressed.erase(it);
  }

  std::vector<platform::URL> kept =
      URLsByRemovingOldFiles(valuesOf(packages), maximumPendingMultipartFiles_);
  std::sort(kept.begin(), kept.end(), [](const platform::URL& a, const platform::URL& b) {
    return a.absoluteString() < b.absoluteString();
  });
  if (successBlock_) successBlock_(valuesOf(logs), valuesOf(compressed), kept);
}

}  // namespace sdk
