// sdk::CTRInternalReport: the SDK's own view of one crash report directory
// (the record files that one launch wrote, the directory named after that
// launch's execution identifier).
//
// It answers where the record files are, whether the report holds a crash,
// whether it must be submitted, and the metadata recorded at start-up
// ("metadata.clsrecord": sections "identity", "host", "application",
// "storage", read by position).
//
// Guarantees:
//  1. It never writes: files are only listed and read.
//  2. The metadata file is read once, on the first question that needs it,
//     and its sections are kept; every other file is read again on each
//     question (crash files may be written while a report is alive).
//  3. A missing file or key gives None (and false for the existence tests);
//     only a missing session identifier makes reportWithPath fail.
// Not promised: the values are not checked against the files' other
// contents (a metadata file of another launch is taken as it is).
//
// Thread safety: the first metadata read is guarded, so one report may be
// asked from several threads; the answers are values.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

namespace sdk {

// Record file names inside a report directory.
inline constexpr const char* kCTRBinaryImagesFile = "binary_images.clsrecord";
inline constexpr const char* kCTRExceptionFile = "exception.clsrecord";
inline constexpr const char* kCTRCustomExceptionAFile = "custom_exception_a.clsrecord";
inline constexpr const char* kCTRCustomExceptionBFile = "custom_exception_b.clsrecord";
inline constexpr const char* kCTRSignalFile = "signal.clsrecord";
inline constexpr const char* kCTRMachExceptionFile = "mach_exception.clsrecord";
inline constexpr const char* kCTRMetadataFile = "metadata.clsrecord";
inline constexpr const char* kCTRErrorsAFile = "errors_a.clsrecord";
inline constexpr const char* kCTRErrorsBFile = "errors_b.clsrecord";
inline constexpr const char* kCTRInternalIncrementalKVFile = "internal_incremental_kv.clsrecord";
inline constexpr const char* kCTRInternalCompactedKVFile = "internal_compacted_kv.clsrecord";
inline constexpr const char* kCTRUserIncrementalKVFile = "user_incremental_kv.clsrecord";
inline constexpr const char* kCTRUserCompactedKVFile = "user_compacted_kv.clsrecord";

class CTRInternalReport {
 public:
  // Opens the directory at `path`: the identifier is "session_id" of the
  // first ("identity") section of its metadata file. nullptr (after logging
  // "[Crashtrail:Crash] Unable to read identifier at path %@") when there is
  // none.
  static std::shared_ptr<CTRInternalReport> reportWithPath(const std::string& path);
  // A report of `path` with the given identifier, without reading anything;
  // nullptr when either is empty.
  static std::shared_ptr<CTRInternalReport> reportWithPath(const std::string& path,
                                                           const std::string& executionIdentifier);

  CTRInternalReport(std::string path, std::string identifier);

  // The record files of a crash, in this order: exception, Mach exception,
  // signal.
  static const std::vector<std::string>& crashFilenames();
  // The sections of the record file at `path` (an array of dictionaries);
  // None when it has none or cannot be read.
  static platform::Value readCLSFileAtPath(const std::string& path);

  const std::string& path() const { return path_; }
  const std::string& identifier() const { return identifier_; }
  // The last path component of path().
  std::string directoryName() const;
  // `fileName` joined to path().
  std::string pathForContentFile(std::string_view fileName) const;
  std::string metadataPath() const { return pathForContentFile(kCTRMetadataFile); }
  std::string binaryImagePath() const { return pathForContentFile(kCTRBinaryImagesFile); }

  // Whether any of the named files exists in the directory (stops at the
  // first that does).
  bool checkExistenceOfAtLeastOnceFileInArray(const std::vector<std::string>& fileNames) const;
  // An exception, signal or Mach exception file with at least one whole
  // record line, or a custom exception or error file, exists.
  bool needsToBeSubmitted() const;
  // One of crashFilenames() exists.
  bool isCrash() const;
  // Calls `block` with the full path of each crash file name, in the order
  // of crashFilenames(), whether the file exists or not.
  void enumerateSymbolicatableFilesInContent(
      const std::function<void(const std::string& path)>& block) const;

  // Metadata (strings, None when missing).
  platform::Value APIKey() const;                    // identity "api_key"
  platform::Value bundleVersion() const;             // application "build_version"
  platform::Value bundleShortVersionString() const;  // application "display_version"
  platform::Value OSVersion() const;                 // host "os_display_version"
  platform::Value OSBuildVersion() const;            // host "os_build_version"
  // identity "started_at" as a date (None when missing).
  platform::Value dateCreated() const;
  // None unless isCrash(); else the time of the Mach exception file, or
  // when it has none, of the signal file.
  platform::Value crashedOnDate() const;
  // The "time" (seconds since 1970) of dictionary `sectionName` in the first
  // section of `fileName`, as a date; None when missing.
  platform::Value timeFromCrashContentFile(std::string_view fileName,
                                           std::string_view sectionName) const;
  // Always None: the user's keys are read through CTRReport.
  platform::Value customKeys() const { return platform::Value(); }

 private:
  // The value under `key` of the dictionary `section` at `index` of the
  // metadata file.
  platform::Value metadataValue(std::size_t index, std::string_view section,
                                std::string_view key) const;
  const platform::Value& metadataSections() const;

  const std::string path_;
  const std::string identifier_;
  mutable std::once_flag metadataOnce_;
  mutable platform::Value metadata_;
};

}  // namespace sdk
