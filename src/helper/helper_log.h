// HelperLog: every line of the helper goes at Info level, asynchronously,
// through the log dispatcher to the rolling file logger and the in-memory
// logger. Secrets must never be passed here; log kRedacted in place of any
// value that might hold one.
//
// A line identical to the one before it is not logged again: the run of
// repeats is counted and logged as one line "… repeated N times" when a
// different line comes, or kRepeatSummarySeconds after the first repeat, so
// that a loop of errors fills neither the log files nor the client's copy.
// The line itself is logged again (whole) after each summary. Lines are
// compared without the times OpenVPN's management interface puts in them
// (">LOG:<unix time>,<flags>,<text>", ">STATE:<unix time>,<name>,..."), so
// that OpenVPN's same error in another second counts as a repeat; the line
// logged whole keeps its time.
//
// Thread safety: any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "logging/abstract_logger.h"
#include "logging/log.h"
#include "platform/foundation/format.h"

namespace helper {

// The text logged in place of a secret.
inline constexpr const char* kRedacted = "<redacted>";
// The longest a run of repeats stays uncounted in the log.
inline constexpr double kRepeatSummarySeconds = 5;

// Collapses runs of identical lines. Pure bookkeeping (no clock, no I/O).
class RepeatCollapser {
 public:
  // What two lines must share to be repeats: `text` without the unix time
  // that follows each ">LOG:" and ">STATE:" of OpenVPN's management
  // interface (the digits up to the next ','); everything else as it is.
  static std::string comparable(std::string_view text);
  // The lines to log for `text` at `now` (seconds, any steady origin): none
  // when it repeats the previous line within kRepeatSummarySeconds of that
  // line's logging; otherwise the count of the run before it (when there
  // was one), then `text`. `*firstRepeat` is set when this call started a
  // new run of repeats (the caller then schedules a summary).
  std::vector<std::string> add(const std::string& text, double now, bool* firstRepeat = nullptr);
  // The count of the current run, if any ("… repeated N times"); the run
  // ends, so the next line is logged whole even if it is the same.
  std::vector<std::string> summary();
  static std::string repeatedLine(std::uint64_t count);

 private:
  std::string last_;  // comparable() of the last line logged whole
  bool haveLast_ = false;
  double lastLoggedAt_ = 0;
  std::uint64_t repeats_ = 0;
};

// JournalLogger: the helper's lines on standard error for the journal.
// Under systemd the service's standard error is a stream to the journal,
// which reads a leading "<N>" (sd-daemon's priority prefix) as the line's
// priority: each record goes out as "<N>text\n", N 3 for errors, 4 for
// warnings, 6 for information and 7 for debug and verbose records, and a
// text of several lines as several such lines. One write per record.
//
// Thread safety: as every logger (its own queue).
class JournalLogger : public logging::LKAbstractLogger {
 public:
  // Writes to `fd` (kept open by the caller while the logger lives).
  explicit JournalLogger(int fd = 2);
  // True when standard error is the journal's stream: $JOURNAL_STREAM names
  // its device and inode ("<dev>:<ino>", set by systemd).
  static bool standardErrorIsJournal();
  // The lines written for a record of `flag` with `text`.
  static std::string journalLines(std::uint64_t flag, std::string_view text);
  void logMessage(const logging::LKLogMessagePtr& message) override;

 private:
  int fd_;
};

namespace detail {
// Logs `text` through the process-wide collapser.
void helperLogText(std::string text);
}  // namespace detail

template <class... Args>
void HelperLog(const char* format, const Args&... args) {
  if (!logging::LKLog::wantsFlag(logging::LKLogFlagInfo)) return;
  detail::helperLogText(platform::format(format, args...));
}

}  // namespace helper
