// LKSystemLog: the system log as the system-log logger and its capture see
// it. A message is a dictionary of text values under the keys below, as the
// platform's own log keeps them.
//
// LKSyslogSystemLog, the real one, sends through syslog(3): "Level" is the
// syslog priority (both use 0 emergency ... 7 debug) and a message marked
// "LKLog" = "1" goes out with the facility kLKSystemLogFacility, which
// marks it as written by the logging framework (syslog(3) cannot carry keys
// of our own). Reading back follows the systemd journal through journalctl
// for this process's messages; where there is no journal (no journald
// socket, no journalctl) nothing can be read back and `watch` says so.
// Messages that bypass syslog(3) and the journal (plain writes to standard
// error, kernel messages) are never seen.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace logging {

inline constexpr const char* kLKSystemLogMessageKey = "Message";
inline constexpr const char* kLKSystemLogLevelKey = "Level";
inline constexpr const char* kLKSystemLogPIDKey = "PID";
inline constexpr const char* kLKSystemLogTimeKey = "Time";
inline constexpr const char* kLKSystemLogTimeNanoSecKey = "TimeNanoSec";
inline constexpr const char* kLKSystemLogMessageIDKey = "ASLMessageID";
inline constexpr const char* kLKSystemLogReadUIDKey = "ReadUID";
inline constexpr const char* kLKSystemLogMarkerKey = "LKLog";

using LKSystemLogEntry = std::map<std::string, std::string>;

class LKSystemLog {
 public:
  virtual ~LKSystemLog() = default;

  // Sends one message; false when it could not be handed to the system.
  virtual bool send(const LKSystemLogEntry& entry) = 0;
  // Hands every message written to the system log from now on (each with
  // "ASLMessageID", increasing) to `handler` on `queue`, in batches. False
  // when this system log cannot be read back. One watcher at a time.
  using Handler = std::function<void(const std::vector<LKSystemLogEntry>& entries)>;
  virtual bool watch(platform::dispatch::QueuePtr queue, Handler handler) = 0;
  virtual void unwatch() = 0;

  // The system log the loggers use (an LKSyslogSystemLog unless replaced).
  static std::shared_ptr<LKSystemLog> shared();
  static void setShared(std::shared_ptr<LKSystemLog> log);  // nullptr: the real one
};

class LKSyslogSystemLog : public LKSystemLog {
 public:
  LKSyslogSystemLog() = default;
  ~LKSyslogSystemLog() override;
  bool send(const LKSystemLogEntry& entry) override;
  bool watch(platform::dispatch::QueuePtr queue, Handler handler) override;
  void unwatch() override;

 private:
  struct Follower;
  std::mutex mutex_;
  std::shared_ptr<Follower> follower_;
};

// The facility that marks messages of the logging framework.
extern const int kLKSystemLogFacility;

}  // namespace logging
