// VarnelLog: the client's one log. It appends time-stamped lines to
// "varnelvpn.log" in the user's Logs folder, keeps the text of this run in
// memory and announces every line with the notification "varnelvpn.log".
//
// Guarantees:
//  1. A line reads "[dd/MM/yy HH:mm:ss] text\n" (local time of the append,
//     the text unchanged). Lines appear in the order of the AddToLog calls,
//     in memory and in the file.
//  2. AddToLog may be called from any thread and returns at once; the
//     append runs later on the main operation queue (the main thread), which
//     then posts "varnelvpn.log" (no object) on the default center, after
//     the line is in the in-memory text. Lines queued before an append runs
//     are taken together: one operation, one file write and one
//     notification for the whole burst, so the log keeps up with any rate
//     (the helper's copy arrives in bursts of many lines).
//  3. The file is created owner-only (0600) and only ever appended to. When
//     it cannot be created or opened, lines are still kept and announced.
//  4. Texts registered with registerSecret (the API key, passwords) are
//     replaced by "********" before a line is kept or written, so they never
//     reach the log.
//  5. No queued line is lost at the end: flush() appends the queued lines at
//     once (quitting calls it), and lines still queued when the instance is
//     destroyed (the process exits) are written to the file then, without a
//     notification.
//
// Thread safety: AddToLog and registerSecret from any thread; GetLog on the
// main thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace client {

inline constexpr const char* kVarnelLogNotification = "varnelvpn.log";
inline constexpr const char* kVarnelLogFileName = "varnelvpn.log";
inline constexpr const char* kVarnelLogDateFormat = "dd/MM/yy HH:mm:ss";

class VarnelLog {
 public:
  // The one instance, made on first use (thread-safe).
  static VarnelLog& sharedInstance();
  // Tests (main thread): runs the pending appends, then forgets the instance, so the next
  // sharedInstance() opens the log file afresh (as a new launch does).
  static void resetSharedInstanceForTesting();

  // Queues one line (guarantee 2).
  void AddToLog(std::string text);
  // Appends every queued line now (main thread; guarantee 5).
  void flush();
  // The text of every line added in this run.
  std::string GetLog() const;
  // Texts that must never appear in the log (empty texts are ignored).
  void registerSecret(std::string secret);

  // The log file's path: paths::userLogs() + "/varnelvpn.log".
  static std::string logFilePath();
  ~VarnelLog();

 private:
  VarnelLog();
  // Appends every queued line (main thread).
  void appendPending();
  // The file's text for `lines`, time-stamped now and redacted.
  std::string chunkOf(const std::vector<std::string>& lines) const;
  void writeToFile(const std::string& chunk);
  std::string redact(std::string text) const;

  std::string logContent_;
  int fd_ = -1;
  std::mutex pendingMutex_;
  std::vector<std::string> pending_;
  bool appendQueued_ = false;
  mutable std::mutex secretsMutex_;
  std::vector<std::string> secrets_;
};

}  // namespace client
