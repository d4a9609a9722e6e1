// LKLogFileInfo: one log file and its attributes.
//
// File name, attributes, creation and modification dates and size are read
// lazily and kept until `reset`; `age` and `isArchived` are read on every
// call. Nothing follows symbolic links: a link is described as the link.
//
// The archived mark is the extended attribute "user.logkit.log.archived".
// Where the file system keeps no user attributes, the mark falls back to the
// file's owner-write permission bit: an archived file is read-only to its
// owner. The creation date is the file's birth time (statx); where the file
// system does not keep one, the time in the log file's name, else the
// modification time.
//
// Thread safety: one object, used from one queue (the file logger's).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/foundation/date.h"
#include "platform/foundation/value.h"

namespace logging {

// The archived mark (without the "user." namespace of the file system).
inline constexpr const char* kLKLogFileArchivedAttribute = "logkit.log.archived";

class LKLogFileInfo;
using LKLogFileInfoPtr = std::shared_ptr<LKLogFileInfo>;

class LKLogFileInfo {
 public:
  // The clock of ages and roll decisions (empty: real time).
  using Clock = std::function<platform::Date()>;
  struct Options {
    // false: behave as on a file system without user attributes (the
    // archived mark is then the permission bit alone).
    bool extendedAttributes = true;
    Clock clock;
  };

  static LKLogFileInfoPtr logFileWithPath(std::string path);
  explicit LKLogFileInfo(std::string path) : LKLogFileInfo(std::move(path), Options{}) {}
  LKLogFileInfo(std::string path, Options options);

  const std::string& filePath() const { return filePath_; }
  const std::string& fileName();
  // Dictionary of "NSFileType", "NSFileSize", "NSFilePosixPermissions",
  // "NSFileOwnerAccountID", "NSFileReferenceCount", "NSFileModificationDate"
  // and "NSFileCreationDate"; None when the file cannot be examined.
  platform::Value fileAttributes();
  std::optional<platform::Date> creationDate();
  std::optional<platform::Date> modificationDate();
  std::uint64_t fileSize();
  // Seconds since the creation date; 0 when there is none.
  double age();

  bool isArchived();
  // Adds or removes the archived mark; failures are reported through
  // LKLog::reportError and leave the mark as it was.
  void setIsArchived(bool archived);
  // Forgets file name, attributes and dates.
  void reset();
  // Moves the file to `newName` in the same folder, replacing a file there.
  void renameFile(const std::string& newName);

  bool hasExtendedAttributeWithName(std::string_view name);
  void addExtendedAttributeWithName(std::string_view name);
  void removeExtendedAttributeWithName(std::string_view name);

  bool isEqual(const LKLogFileInfo& other) const { return filePath_ == other.filePath_; }
  // Later dates first: -1 when this file is newer, 1 when older, 0 when equal.
  int reverseCompareByCreationDate(LKLogFileInfo& other);
  int reverseCompareByModificationDate(LKLogFileInfo& other);
  std::string description();

  // The time of `clock`, or the real time when it is empty.
  static platform::Date now(const Clock& clock) { return clock ? clock() : platform::Date::now(); }

 private:
  bool loadAttributes();

  std::string filePath_;
  Options options_;
  std::optional<std::string> fileName_;
  bool attributesLoaded_ = false;
  platform::Value fileAttributes_;
  std::optional<platform::Date> creationDate_, modificationDate_;
  std::uint64_t fileSize_ = 0;
  std::uint32_t mode_ = 0;
};

}  // namespace logging
