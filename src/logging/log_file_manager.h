// LKLogFileManager: what the rolling file logger needs of the folder that
// holds its files. LKLogFileManagerDefault is the one implementation.
//
// LKLogFileManagerDefault guarantees:
//  1. Log files are named "<application name> yyyy-MM-dd HH-mm.log" (UTC
//     minute of creation), with " 2", " 3", ... before ".log" for later
//     files of the same minute. Only names of that shape count as log files.
//  2. New files are created owner-only (0600) with O_EXCL and without
//     following symbolic links, so a name planted by someone else is never
//     opened: the next attempt number is taken instead. Only regular files
//     owned by this process's user are listed (and so reused or deleted).
//  3. After each new file, the oldest files beyond `maximumNumberOfLogFiles`
//     or beyond `logFilesDiskQuota` bytes (newest first) are deleted; the
//     newest file is kept while it is not archived.
//  4. A folder that cannot be made or written is reported once per manager
//     through LKLog::reportError; calls then fail quietly.
//
// Thread safety: one object, used from the file logger's queue; the limit
// setters may be called from any thread (they schedule the clean-up on the
// logging queue).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "logging/log_file_info.h"

namespace logging {

class LKLogFileManager : public std::enable_shared_from_this<LKLogFileManager> {
 public:
  virtual ~LKLogFileManager() = default;
  virtual std::string logsDirectory() = 0;
  virtual std::vector<std::string> unsortedLogFilePaths() = 0;
  virtual std::vector<std::string> unsortedLogFileNames() = 0;
  virtual std::vector<LKLogFileInfoPtr> unsortedLogFileInfos() = 0;
  virtual std::vector<std::string> sortedLogFilePaths() = 0;
  virtual std::vector<std::string> sortedLogFileNames() = 0;
  virtual std::vector<LKLogFileInfoPtr> sortedLogFileInfos() = 0;
  // The path of a new, empty log file; std::nullopt when none could be made.
  virtual std::optional<std::string> createNewLogFile() = 0;
  virtual std::uint64_t maximumNumberOfLogFiles() = 0;
  virtual void setMaximumNumberOfLogFiles(std::uint64_t count) = 0;
  virtual std::uint64_t logFilesDiskQuota() = 0;
  virtual void setLogFilesDiskQuota(std::uint64_t bytes) = 0;
  // The clock of its file names and of the file logger's ages and roll
  // decisions (empty, the default: real time).
  virtual LKLogFileInfo::Clock clock() { return nullptr; }
  // Optional notifications, on the file logger's queue.
  virtual void didArchiveLogFile(const std::string& /*path*/) {}
  virtual void didRollAndArchiveLogFile(const std::string& /*path*/) {}
};

using LKLogFileManagerPtr = std::shared_ptr<LKLogFileManager>;

class LKLogFileManagerDefault : public LKLogFileManager {
 public:
  static constexpr std::uint64_t kDefaultMaximumNumberOfLogFiles = 5;
  static constexpr std::uint64_t kDefaultLogFilesDiskQuota = 20 * 1024 * 1024;

  // `logsDirectory` empty: the default folder. `clock` empty: real time.
  explicit LKLogFileManagerDefault(std::string logsDirectory = {},
                                   LKLogFileInfo::Clock clock = nullptr);

  // The user's Logs folder, then the process name.
  static std::string defaultLogsDirectory();
  // The main bundle's identifier, else the process name, else empty; fixed
  // once per process.
  static const std::string& applicationName();
  // "yyyy'-'MM'-'dd' 'HH'-'mm'" in UTC.
  static const char* logFileDateFormat() { return "yyyy'-'MM'-'dd' 'HH'-'mm'"; }

  // Creates the folder (owner-only) when it is missing; the path either way.
  std::string logsDirectory() override;
  bool isLogFile(std::string_view fileName) const;
  std::vector<std::string> unsortedLogFilePaths() override;
  std::vector<std::string> unsortedLogFileNames() override;
  std::vector<LKLogFileInfoPtr> unsortedLogFileInfos() override;
  std::vector<std::string> sortedLogFilePaths() override;
  std::vector<std::string> sortedLogFileNames() override;
  std::vector<LKLogFileInfoPtr> sortedLogFileInfos() override;
  std::string newLogFileName() const;
  std::optional<std::string> createNewLogFile() override;
  void deleteOldLogFiles();

  LKLogFileInfo::Clock clock() override { return clock_; }
  std::uint64_t maximumNumberOfLogFiles() override { return maximumNumberOfLogFiles_.load(); }
  // A change to a different value schedules deleteOldLogFiles on the logging queue.
  void setMaximumNumberOfLogFiles(std::uint64_t count) override;
  std::uint64_t logFilesDiskQuota() override { return logFilesDiskQuota_.load(); }
  void setLogFilesDiskQuota(std::uint64_t bytes) override;

 private:
  void scheduleDeleteOldLogFiles();

  std::string logsDirectory_;
  const LKLogFileInfo::Clock clock_;
  std::atomic<std::uint64_t> maximumNumberOfLogFiles_{kDefaultMaximumNumberOfLogFiles};
  std::atomic<std::uint64_t> logFilesDiskQuota_{kDefaultLogFilesDiskQuota};
  std::atomic<bool> reportedDirectoryError_{false};
  std::atomic<bool> reportedCreateError_{false};
};

}  // namespace logging
