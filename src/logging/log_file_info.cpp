#include "logging/log_file_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "logging/log.h"
#include "platform/foundation/format.h"

namespace logging {

namespace {

std::string systemAttributeName(std::string_view name) { return "user." + std::string(name); }

bool unsupported(int err) { return err == ENOTSUP || err == EOPNOTSUPP; }

platform::Date fromTimestamp(const struct statx_timestamp& t) {
  return platform::Date(static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9);
}

// The time in a log file name "<app> yyyy-MM-dd HH-mm[ n].log" (UTC).
std::optional<platform::Date> dateFromLogFileName(std::string_view name) {
  if (!name.ends_with(".log")) return std::nullopt;
  name.remove_suffix(4);
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    std::size_t blank = name.find(' ', start);
    pieces.push_back(name.substr(start, blank - start));
    if (blank == std::string_view::npos) break;
    start = blank + 1;
  }
  for (std::size_t back = 2; back <= 3 && back <= pieces.size(); ++back) {
    std::string text = std::string(pieces[pieces.size() - back]) + " " +
                       std::string(pieces[pieces.size() - back + 1]);
    platform::Date d;
    if (platform::parseDate(text, "yyyy'-'MM'-'dd' 'HH'-'mm'", &d, true)) return d;
  }
  return std::nullopt;
}

}  // namespace

LKLogFileInfoPtr LKLogFileInfo::logFileWithPath(std::string path) {
  return std::make_shared<LKLogFileInfo>(std::move(path));
}

LKLogFileInfo::LKLogFileInfo(std::string path, Options options)
    : filePath_(std::move(path)), options_(options) {}

const std::string& LKLogFileInfo::fileName() {
  if (!fileName_) {
    std::size_t slash = filePath_.rfind('/');
    fileName_ = slash == std::string::npos ? filePath_ : filePath_.substr(slash + 1);
  }
  return *fileName_;
}

bool LKLogFileInfo::loadAttributes() {
  if (attributesLoaded_) return !fileAttributes_.isNone();
  struct statx st {};
  if (statx(AT_FDCWD, filePath_.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
            &st) != 0) {
    return false;
  }
  attributesLoaded_ = true;
  mode_ = st.stx_mode;
  modificationDate_ = fromTimestamp(st.stx_mtime);
  if (st.stx_mask & STATX_BTIME) {
    creationDate_ = fromTimestamp(st.stx_btime);
  } else if (auto d = dateFromLogFileName(fileName())) {
    creationDate_ = d;
  } else {
    creationDate_ = modificationDate_;
  }
  const char* type = S_ISREG(st.stx_mode)   ? "NSFileTypeRegular"
                     : S_ISDIR(st.stx_mode) ? "NSFileTypeDirectory"
                     : S_ISLNK(st.stx_mode) ? "NSFileTypeSymbolicLink"
                                            : "NSFileTypeUnknown";
  fileAttributes_ = platform::Value::dictionary({
      {"NSFileType", type},
      {"NSFileSize", static_cast<std::uint64_t>(st.stx_size)},
      {"NSFilePosixPermissions", static_cast<std::uint64_t>(st.stx_mode & 07777)},
      {"NSFileOwnerAccountID", static_cast<std::uint64_t>(st.stx_uid)},
      {"NSFileReferenceCount", static_cast<std::uint64_t>(st.stx_nlink)},
      {"NSFileModificationDate", *modificationDate_},
      {"NSFileCreationDate", *creationDate_},
  });
  return true;
}

platform::Value LKLogFileInfo::fileAttributes() {
  loadAttributes();
  return fileAttributes_;
}

std::optional<platform::Date> LKLogFileInfo::creationDate() {
  loadAttributes();
  return creationDate_;
}

std::optional<platform::Date> LKLogFileInfo::modificationDate() {
  loadAttributes();
  return modificationDate_;
}

std::uint64_t LKLogFileInfo::fileSize() {
  if (fileSize_ == 0) {
    struct stat st {};
    if (::lstat(filePath_.c_str(), &st) == 0) fileSize_ = static_cast<std::uint64_t>(st.st_size);
  }
  return fileSize_;
}

double LKLogFileInfo::age() {
  auto created = creationDate();
  if (!created) return 0;
  return -created->timeIntervalSince(now(options_.clock));
}

bool LKLogFileInfo::isArchived() {
  return hasExtendedAttributeWithName(kLKLogFileArchivedAttribute);
}

void LKLogFileInfo::setIsArchived(bool archived) {
  if (archived) {
    addExtendedAttributeWithName(kLKLogFileArchivedAttribute);
  } else {
    removeExtendedAttributeWithName(kLKLogFileArchivedAttribute);
  }
}

void LKLogFileInfo::reset() {
  fileName_.reset();
  attributesLoaded_ = false;
  fileAttributes_ = platform::Value();
  creationDate_.reset();
  modificationDate_.reset();
}

bool LKLogFileInfo::hasExtendedAttributeWithName(std::string_view name) {
  std::string attr = systemAttributeName(name);
  int err = ENOTSUP;
  if (options_.extendedAttributes) {
    if (::lgetxattr(filePath_.c_str(), attr.c_str(), nullptr, 0) >= 0) return true;
    err = errno;
  }
  if (!unsupported(err)) return false;
  // Fallback mark: the owner may not write the file.
  struct stat st {};
  return ::lstat(filePath_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
}

void LKLogFileInfo::addExtendedAttributeWithName(std::string_view name) {
  std::string attr = systemAttributeName(name);
  int err = ENOTSUP;
  if (options_.extendedAttributes) {
    if (::lsetxattr(filePath_.c_str(), attr.c_str(), "", 0, 0) == 0) return;
    err = errno;
  }
  if (unsupported(err)) {
    struct stat st {};
    if (::lstat(filePath_.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::chmod(filePath_.c_str(), st.st_mode & 07777 & ~S_IWUSR) == 0) {
      return;
    }
    err = errno;
  }
  LKLog::reportError(platform::format("LKLogFileInfo: setxattr(%@, %@): error = %s", name,
                                      fileName(), std::strerror(err)));
}

void LKLogFileInfo::removeExtendedAttributeWithName(std::string_view name) {
  std::string attr = systemAttributeName(name);
  int err = ENOTSUP;
  if (options_.extendedAttributes) {
    if (::lremovexattr(filePath_.c_str(), attr.c_str()) == 0) return;
    err = errno;
  }
  if (err == ENODATA) return;
  if (unsupported(err)) {
    struct stat st {};
    if (::lstat(filePath_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      if ((st.st_mode & S_IWUSR) != 0) return;
      if (::chmod(filePath_.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0) return;
    }
    err = errno;
  }
  LKLog::reportError(platform::format("LKLogFileInfo: removexattr(%@, %@): error = %s", name,
                                      fileName(), std::strerror(err)));
}

void LKLogFileInfo::renameFile(const std::string& newName) {
  if (newName == fileName()) return;
  std::size_t slash = filePath_.rfind('/');
  std::string newPath =
      slash == std::string::npos ? newName : filePath_.substr(0, slash + 1) + newName;
  struct stat st {};
  if (::lstat(newPath.c_str(), &st) == 0 && ::unlink(newPath.c_str()) != 0) {
    LKLog::reportError(platform::format("LKLogFileInfo: Error deleting archive (%@): %s", newName,
                                        std::strerror(errno)));
  }
  if (::rename(filePath_.c_str(), newPath.c_str()) != 0) {
    LKLog::reportError(platform::format("LKLogFileInfo: Error renaming file (%@): %s", fileName(),
                                        std::strerror(errno)));
  }
  filePath_ = newPath;
  reset();
}

static int reverseCompare(std::optional<platform::Date> mine,
                          std::optional<platform::Date> theirs) {
  platform::Date a = mine.value_or(platform::Date());
  platform::Date b = theirs.value_or(platform::Date());
  if (a < b) return 1;
  if (a > b) return -1;
  return 0;
}

int LKLogFileInfo::reverseCompareByCreationDate(LKLogFileInfo& other) {
  return reverseCompare(creationDate(), other.creationDate());
}

int LKLogFileInfo::reverseCompareByModificationDate(LKLogFileInfo& other) {
  return reverseCompare(modificationDate(), other.modificationDate());
}

std::string LKLogFileInfo::description() {
  auto orEmpty = [](const platform::Value& v) { return v.isNone() ? platform::Value("") : v; };
  platform::Value attrs = fileAttributes();
  auto created = creationDate();
  auto modified = modificationDate();
  return platform::Value::dictionary(
             {
                 {"filePath", orEmpty(platform::Value(filePath_))},
                 {"fileName", orEmpty(platform::Value(fileName()))},
                 {"fileAttributes", orEmpty(attrs)},
                 {"creationDate", created ? platform::Value(*created) : platform::Value("")},
                 {"modificationDate", modified ? platform::Value(*modified) : platform::Value("")},
                 {"fileSize", fileSize()},
                 {"age", age()},
                 {"isArchived", isArchived()},
             })
      .description();
}

}  // namespace logging
