#include "logging/log_file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

#include "logging/log.h"
#include "logging/log_internal.h"
#include "platform/foundation/format.h"
#include "platform/system/bundle.h"
#include "platform/system/paths.h"

namespace logging {

namespace {

// A log file's name without ".log", split into its stem and its copy
// number: createNewLogFile names the first file of a stem "<stem>.log" (1)
// and later ones "<stem> 2.log", "<stem> 3.log" and so on.
std::pair<std::string_view, unsigned long> stemAndCopyNumber(std::string_view name) {
  if (name.size() > 4 && name.substr(name.size() - 4) == ".log") name.remove_suffix(4);
  const std::size_t space = name.rfind(' ');
  if (space != std::string_view::npos && space + 1 < name.size()) {
    unsigned long number = 0;
    const char* first = name.data() + space + 1;
    const char* last = name.data() + name.size();
    const auto [end, error] = std::from_chars(first, last, number);
    if (error == std::errc() && end == last) return {name.substr(0, space), number};
  }
  return {name, 1};
}

// Newest first. Files made within one tick of the file system's clock share
// a creation date; among those, the higher copy number of the same stem is
// the newer file (the order stays total, so the sort is well defined).
bool isNewer(const LKLogFileInfoPtr& a, const LKLogFileInfoPtr& b) {
  const int byDate = a->reverseCompareByCreationDate(*b);
  if (byDate != 0) return byDate < 0;
  const std::string nameA = a->fileName();
  const std::string nameB = b->fileName();
  const auto [stemA, copyA] = stemAndCopyNumber(nameA);
  const auto [stemB, copyB] = stemAndCopyNumber(nameB);
  if (stemA != stemB) return stemA > stemB;
  return copyA > copyB;
}

}  // namespace

LKLogFileManagerDefault::LKLogFileManagerDefault(std::string logsDirectory,
                                                 LKLogFileInfo::Clock clock)
    : logsDirectory_(logsDirectory.empty() ? defaultLogsDirectory() : std::move(logsDirectory)),
      clock_(std::move(clock)) {}

std::string LKLogFileManagerDefault::defaultLogsDirectory() {
  std::string base = platform::paths::userLogs();
  if (base.empty()) base = platform::paths::temporary();
  return base + "/" + std::string(program_invocation_short_name);
}

const std::string& LKLogFileManagerDefault::applicationName() {
  static const std::string name = [] {
    auto bundle = platform::Bundle::main();
    std::string id = bundle ? bundle->bundleIdentifier() : std::string();
    if (!id.empty()) return id;
    return std::string(program_invocation_short_name ? program_invocation_short_name : "");
  }();
  return name;
}

std::string LKLogFileManagerDefault::logsDirectory() {
  struct stat st {};
  if (::stat(logsDirectory_.c_str(), &st) != 0) {
    if (!platform::paths::createDirectories(logsDirectory_, 0700) &&
        !reportedDirectoryError_.exchange(true)) {
      LKLog::reportError(platform::format(
          "LKFileLogManagerDefault: Error creating logsDirectory: %s", std::strerror(errno)));
    }
  }
  return logsDirectory_;
}

bool LKLogFileManagerDefault::isLogFile(std::string_view name) const {
  const std::string& app = applicationName();
  if (!name.starts_with(app) || !name.ends_with(".log")) return false;
  if (name.size() < app.size() + 4) return false;
  std::string_view middle = name.substr(app.size(), name.size() - app.size() - 4);
  if (middle.size() < 17) return false;
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    std::size_t blank = middle.find(' ', start);
    pieces.push_back(middle.substr(start, blank - start));
    if (blank == std::string_view::npos) break;
    start = blank + 1;
  }
  if (pieces.size() != 3 && pieces.size() != 4) return false;
  std::string text = platform::format("%@ %@", pieces[1], pieces[2]);
  platform::Date d;
  return platform::parseDate(text, logFileDateFormat(), &d, true);
}

std::vector<std::string> LKLogFileManagerDefault::unsortedLogFilePaths() {
  std::string dir = logsDirectory();
  std::vector<std::string> paths;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return paths;
  uid_t me = ::geteuid();
  while (struct dirent* e = ::readdir(d)) {
    std::string_view name(e->d_name);
    if (!isLogFile(name)) continue;
    std::string path = dir + "/" + std::string(name);
    struct stat st {};
    // Links, folders and files of other users are never ours to reuse or delete.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != me) continue;
    paths.push_back(std::move(path));
  }
  ::closedir(d);
  return paths;
}

std::vector<std::string> LKLogFileManagerDefault::unsortedLogFileNames() {
  std::vector<std::string> names;
  for (const auto& p : unsortedLogFilePaths()) names.push_back(p.substr(p.rfind('/') + 1));
  return names;
}

std::vector<LKLogFileInfoPtr> LKLogFileManagerDefault::unsortedLogFileInfos() {
  std::vector<LKLogFileInfoPtr> infos;
  for (auto& p : unsortedLogFilePaths())
    infos.push_back(
        std::make_shared<LKLogFileInfo>(std::move(p), LKLogFileInfo::Options{.clock = clock_}));
  return infos;
}

std::vector<LKLogFileInfoPtr> LKLogFileManagerDefault::sortedLogFileInfos() {
  auto infos = unsortedLogFileInfos();
  std::stable_sort(infos.begin(), infos.end(), isNewer);
  return infos;
}

std::vector<std::string> LKLogFileManagerDefault::sortedLogFilePaths() {
  std::vector<std::string> paths;
  for (const auto& i : sortedLogFileInfos()) paths.push_back(i->filePath());
  return paths;
}

std::vector<std::string> LKLogFileManagerDefault::sortedLogFileNames() {
  std::vector<std::string> names;
  for (const auto& i : sortedLogFileInfos()) names.push_back(i->fileName());
  return names;
}

std::string LKLogFileManagerDefault::newLogFileName() const {
  return platform::format(
      "%@ %@.log", applicationName(),
      platform::formatDate(LKLogFileInfo::now(clock_), logFileDateFormat(), true));
}

std::optional<std::string> LKLogFileManagerDefault::createNewLogFile() {
  std::string base = newLogFileName();
  std::string stem = base.substr(0, base.size() - 4);
  std::string dir = logsDirectory();
  for (unsigned long attempt = 1; attempt < 100000; ++attempt) {
    std::string name = attempt == 1 ? base : platform::format("%@ %lu.log", stem, attempt);
    std::string path = dir + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      if (!reportedCreateError_.exchange(true)) {
        LKLog::reportError(platform::format(
            "LKLogFileManagerDefault: Error creating log file %@: %s", path, std::strerror(errno)));
      }
      return std::nullopt;
    }
    ::close(fd);
    reportedCreateError_.store(false);
    deleteOldLogFiles();
    return path;
  }
  return std::nullopt;
}

void LKLogFileManagerDefault::deleteOldLogFiles() {
  auto files = sortedLogFileInfos();
  if (files.empty()) return;
  std::optional<std::size_t> first;
  std::uint64_t quota = logFilesDiskQuota();
  if (quota > 0) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
      total += files[i]->fileSize();
      if (total > quota) {
        first = i;
        break;
      }
    }
  }
  std::uint64_t count = maximumNumberOfLogFiles();
  if (count > 0) {
    std::size_t limit = static_cast<std::size_t>(std::min<std::uint64_t>(count, files.size()));
    first = first ? std::min(*first, limit) : limit;
  }
  if (!first) return;
  if (*first == 0 && !files[0]->isArchived()) first = 1;
  for (std::size_t i = *first; i < files.size(); ++i) ::unlink(files[i]->filePath().c_str());
}

void LKLogFileManagerDefault::scheduleDeleteOldLogFiles() {
  std::weak_ptr<LKLogFileManager> weak = weak_from_this();
  if (weak.expired()) {  // not owned by a shared_ptr: nothing may run later
    deleteOldLogFiles();
    return;
  }
  lkSubmitToLoggingQueue([weak] {
    if (auto self = std::static_pointer_cast<LKLogFileManagerDefault>(weak.lock()))
      self->deleteOldLogFiles();
  });
}

void LKLogFileManagerDefault::setMaximumNumberOfLogFiles(std::uint64_t count) {
  if (maximumNumberOfLogFiles_.exchange(count) != count) scheduleDeleteOldLogFiles();
}

void LKLogFileManagerDefault::setLogFilesDiskQuota(std::uint64_t bytes) {
  if (logFilesDiskQuota_.exchange(bytes) != bytes) scheduleDeleteOldLogFiles();
}

}  // namespace logging
