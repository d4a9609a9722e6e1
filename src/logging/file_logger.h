// LKFileLogger: the rolling file logger, and LKLogFileFormatterDefault, its
// line format ("yyyy/MM/dd HH:mm:ss:SSS" local time, two blanks, message).
//
// Guarantees:
//  1. Each record is written (UTF-8, ending in "\n") to the current file of
//     its manager when it arrives; records that arrive together are written
//     together. Nothing is kept back, so the logger needs no flush.
//  2. The current file is continued after a restart while it is not
//     archived, not too big and not too old (and doNotReuseLogFiles is off);
//     it is opened for appending, without following symbolic links, and
//     only when it is a regular file of this user with one link (its
//     permissions are narrowed to 0600).
//  3. The file rolls (is closed and marked archived) when a write brings it
//     to `maximumFileSize`, when it reaches `rollingFrequency` seconds of
//     age (a one-shot timer on the logger's queue), when it is deleted or
//     renamed under the logger, on `rollLogFile` and when the logger is
//     removed. The next record starts a new file. A finished file is
//     flushed to disk and closed on a background queue.
//  4. A failed open or write (a full disk, an unwritable folder) never
//     throws, never crashes and never holds the caller: the record is
//     dropped and counted, the failure is reported once per run of failures
//     (at most 10 runs per process are reported, then one last message),
//     opening is retried at most once a second, and the return to working
//     order is reported with the number of records lost.
//
// Thread safety: setters and getters may be called from any thread (also
// from the logger's own queue and the logging queue). Everything else runs
// on the logger's queue "logkit.fileLogger".
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "logging/abstract_logger.h"
#include "logging/log_file_manager.h"

namespace logging {

inline constexpr const char* kLKFileLoggerName = "logkit.fileLogger";

class LKLogFileFormatterDefault : public LKLogFormatter {
 public:
  // `dateFormat` empty: "yyyy/MM/dd HH:mm:ss:SSS".
  explicit LKLogFileFormatterDefault(std::string dateFormat = {});
  std::optional<std::string> formatLogMessage(const LKLogMessage& message) override;
  std::shared_ptr<LKLogFormatter> clone() const override;
  std::string stringFromDate(platform::Date date) const;
  // Appends what `formatLogMessage` returns for `message` to `out`.
  void appendLogMessage(std::string& out, const LKLogMessage& message) const;
  void appendDate(std::string& out, platform::Date date) const;

 private:
  std::string dateFormat_;
};

class LKFileLogger : public LKAbstractLogger {
 public:
  static constexpr std::uint64_t kDefaultMaximumFileSize = 1024 * 1024;
  static constexpr double kDefaultRollingFrequency = 60 * 60 * 24;

  // `manager` nullptr: a LKLogFileManagerDefault on its default folder.
  explicit LKFileLogger(LKLogFileManagerPtr manager = nullptr);
  ~LKFileLogger() override;

  const LKLogFileManagerPtr& logFileManager() const { return manager_; }

  // Reads wait for changes queued before them; writes return at once and
  // take effect after the records already queued (then roll at once when
  // the current file already exceeds the new limit).
  std::uint64_t maximumFileSize();
  void setMaximumFileSize(std::uint64_t bytes);
  double rollingFrequency();
  void setRollingFrequency(double seconds);

  bool doNotReuseLogFiles() const { return doNotReuseLogFiles_.load(); }
  void setDoNotReuseLogFiles(bool value) { doNotReuseLogFiles_.store(value); }
  bool automaticallyAppendNewlineForCustomFormatters() const { return appendNewline_.load(); }
  void setAutomaticallyAppendNewlineForCustomFormatters(bool v) { appendNewline_.store(v); }

  // Rolls the current file after the records already queued (at once on the
  // logger's queue); `completion`, when given, then runs on the main queue.
  void rollLogFile(std::function<void()> completion = nullptr);

  void logMessage(const LKLogMessagePtr& message) override;
  // The records of one delivery go out in as few writes as possible; the
  // file rolls at the same record as with one write per record.
  bool acceptsBatches() const override { return true; }
  void logMessages(const std::vector<LKLogMessagePtr>& messages) override;
  void willRemoveLogger() override;

  // Records lost to failed opens and writes since the logger was made.
  std::uint64_t droppedRecordCount() const { return dropped_.load(); }
  // Forgets the runs of failures reported so far in this process, so a test
  // that counts reports can run more than once.
  static void resetFailureReportsForTesting();

  // On the logger's queue: the file being written (chosen or created when
  // there is none; nullptr when none can be made).
  LKLogFileInfoPtr currentLogFileInfo();
  // On the logger's queue: the descriptor open on it, or -1.
  int currentLogFileHandle();

 private:
  void rollLogFileNow();
  void maybeRollLogFileDueToSize();
  void maybeRollLogFileDueToAge();
  void scheduleTimerToRollLogFileDueToAge();
  void watchCurrentFile();
  void closeCurrentFile();
  // Appends the line for `message` to `out`; false when the formatter drops it.
  bool appendLine(std::string& out, const LKLogMessage& message);
  // Writes the lines of `records` records.
  void writeText(std::string_view text, std::uint64_t records = 1);
  void noteFailure(const std::string& what, std::uint64_t records);

  LKLogFileManagerPtr manager_;
  // Logger queue only:
  LKLogFileInfoPtr currentInfo_;
  int fd_ = -1;
  std::uint64_t offset_ = 0;
  std::shared_ptr<platform::dispatch::Source> watcher_, rollingTimer_;
  std::uint64_t maximumFileSize_ = kDefaultMaximumFileSize;
  double rollingFrequency_ = kDefaultRollingFrequency;
  bool failing_ = false;
  std::uint64_t lostInRun_ = 0;
  platform::Date retryOpenAfter_;
  std::string lines_;  // lines waiting for their write; keeps its capacity
  // Any thread:
  std::atomic<bool> doNotReuseLogFiles_{false};
  std::atomic<bool> appendNewline_{true};
  std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace logging
