// sdk::CTRFileManager: the on-disk layout of crash reports and the few file
// operations that crash reporting performs on it.
//
// Layout (below the user's Caches folder):
//   com.crashtrail.data/<bundle identifier, "/" replaced by "_">   rootPath()
//     sendable/          an older layout; its presence makes the legacy
//                        clean-up remove the whole root
//     v3/                structurePath(); also holds the launch marker
//       active/          one directory per launch, named by its execution
//                        identifier (record files and the SDK log)
//       pending/         never filled; only emptied
//       processing/      report directories being processed and packaged
//       prepared/        package files ("<boundary>.multipartmime")
//
// Guarantees:
//  1. Nothing throws: every operation reports failure by its result (false
//     or nullopt) after one console line; nothing is retried.
//  2. Listings skip every name that begins with "." and give the entries in
//     the order the file system lists them; a directory that cannot be
//     listed behaves as empty (so a missing directory counts as emptied).
//  3. New directories are made with their parents and permissions 0755.
//  4. A move never replaces what is already at its destination: a name
//     clash fails that move.
//  5. Removing a missing item fails (and logs).
// Not promised: operations on one directory from several threads at once
// are not ordered against each other.
//
// Thread safety: the manager keeps no mutable state (rootPath() is fixed at
// construction); every method may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/bundle.h"

namespace sdk {

class CTRInternalReport;

inline constexpr const char* kCTRDataDirectoryName = "com.crashtrail.data";
inline constexpr const char* kCTRLegacySendableDirectoryName = "sendable";
inline constexpr const char* kCTRStructureDirectoryName = "v3";
inline constexpr const char* kCTRActiveDirectoryName = "active";
inline constexpr const char* kCTRPendingDirectoryName = "pending";
inline constexpr const char* kCTRProcessingDirectoryName = "processing";
inline constexpr const char* kCTRPreparedDirectoryName = "prepared";

class CTRFileManager {
 public:
  // (full path, path extension without the dot; "" when none)
  using FileBlock = std::function<void(const std::string& path, const std::string& extension)>;
  // (the report, nullptr when the directory holds no readable identifier;
  // the entry's full path)
  using ReportBlock = std::function<void(const std::shared_ptr<CTRInternalReport>& report,
                                         const std::string& path)>;

  // Computes rootPath() from the Caches folder and `bundle`'s identifier
  // (platform::paths::caches(), BCNApplicationGetBundleIdentifier()).
  explicit CTRFileManager(const platform::BundlePtr& bundle = platform::Bundle::main());

  const std::string& rootPath() const { return rootPath_; }
  std::string structurePath() const;
  std::string activePath() const;
  std::string pendingPath() const;
  std::string processingPath() const;
  std::string preparedPath() const;

  // Creates `path` and its parents, permissions 0755; true when it exists
  // as a directory afterwards. Logs "[FileManager] Unable to create
  // directory %@" with the error on failure.
  bool createDirectoryAtPath(const std::string& path) const;
  // Removes a file or a whole directory. Logs "[FileManager] Failed to
  // remove file '%@' : %@" on failure (also when nothing is there).
  bool removeItemAtPath(const std::string& path) const;
  // Removes every listed entry, attempting all; true when every removal
  // succeeded (an empty or missing directory gives true).
  bool removeContentsOfDirectoryAtPath(const std::string& directory) const;
  // Moves `path` to `directory` + its last component. An empty argument
  // logs "[FileManager] Failed to move file, inputs invalid"; a failed move
  // (including an existing destination) logs "[FileManager] Failed to move
  // file: %@" with the error. False in both cases.
  bool moveItemAtPath(const std::string& path, const std::string& directory) const;
  // Calls `block` once per listed entry (guarantee 2), on the calling thread.
  void enumerateFilesInDirectory(const std::string& directory, const FileBlock& block) const;
  // Moves the listed entries in order; stops at the first failed move.
  // True when all moved.
  bool moveItemsFromDirectory(const std::string& source, const std::string& destination) const;
  // The size in bytes (of the item itself, a link not followed); nullopt
  // after logging "[Client] Unable to read file size: %@" when its
  // attributes cannot be read.
  std::optional<std::uint64_t> fileSizeAtPath(const std::string& path) const;
  // Full paths of the listed entries.
  std::vector<std::string> contentsOfDirectory(const std::string& directory) const;
  std::vector<std::string> activePathContents() const;
  std::vector<std::string> processingPathContents() const;
  std::vector<std::string> preparedPathContents() const;

  // Creates active, processing and prepared, in that order, stopping at the
  // first failure.
  bool prepareForNewLaunch() const;
  // Creates active/<identifier> and returns it; nullopt when the identifier
  // is empty or the directory cannot be created.
  std::optional<std::string> setupNewPathForExecutionIdentifier(
      const std::string& executionIdentifier) const;
  // When root/"sendable" exists: removes the whole root and logs what
  // happened. Otherwise does nothing.
  void removeLegacyDirectories() const;

  bool removeContentsOfProcessingPath() const;
  bool removeContentsOfPendingPath() const;
  // Empties processing, pending, prepared and active, in that order,
  // attempting all four; true when all four succeeded.
  bool removeContentsOfAllPaths() const;

  // Opens each listed entry of processing as a CTRInternalReport and calls
  // `block` with it.
  void enumerateReportsInProcessingDirectoryUsingBlock(const ReportBlock& block) const;
  void enumerateFilesInActiveDirectoryUsingBlock(const FileBlock& block) const;
  void enumerateFilesInPreparedDirectoryUsingBlock(const FileBlock& block) const;
  bool moveProcessingContentsToPrepared() const;
  bool movePendingToProcessing() const;

 private:
  std::string rootPath_;
};

}  // namespace sdk
