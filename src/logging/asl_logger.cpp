#include "logging/asl_logger.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "logging/log.h"
#include "platform/foundation/format.h"

namespace logging {

namespace dispatch = platform::dispatch;

// --- LKASLLogger ------------------------------------------------------------

std::shared_ptr<LKASLLogger> makeASLLogger() {
  return std::shared_ptr<LKASLLogger>(new LKASLLogger());
}

LKASLLogger::LKASLLogger() : LKAbstractLogger(kLKASLLoggerName) {}

std::shared_ptr<LKASLLogger> LKASLLogger::sharedInstance() {
  static std::shared_ptr<LKASLLogger> shared = makeASLLogger();
  return shared;
}

void LKASLLogger::logMessage(const LKLogMessagePtr& message) {
  VARNEL_DCHECK(isOnInternalLoggerQueue());  // formatter_
  if (message->fileName() == kLKASLLogCaptureFile) return;
  std::optional<std::string> text =
      formatter_ ? formatter_->formatLogMessage(*message) : message->message();
  if (!text) return;
  const char* level = "5";
  switch (message->flag()) {
    case LKLogFlagError:
      level = "2";
      break;
    case LKLogFlagWarning:
      level = "3";
      break;
    case LKLogFlagInfo:
      level = "4";
      break;
    default:
      break;
  }
  LKSystemLogEntry entry{
      {kLKSystemLogLevelKey, level},
      {kLKSystemLogMessageKey, *text},
      {kLKSystemLogReadUIDKey, platform::format("%d", static_cast<int>(::geteuid()))},
      {kLKSystemLogMarkerKey, "1"}};
  LKSystemLog::shared()->send(entry);
}

// --- LKASLLogCapture --------------------------------------------------------

namespace {

std::atomic<bool> gStarted{false};
std::atomic<std::uint64_t> gCaptureLevel{31};

struct Cursor {
  std::mutex mutex;
  std::uint64_t startTime = 0;
  std::uint64_t lastSeen = 0;
  std::shared_ptr<LKSystemLog> log;
};

Cursor& cursor() {
  static Cursor c;
  return c;
}

std::uint64_t number(const LKSystemLogEntry& e, const char* key, bool* present = nullptr) {
  auto it = e.find(key);
  if (present) *present = it != e.end();
  return it == e.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

// The conditions of the capture's query, applied to one new message.
bool matchesQuery(const LKSystemLogEntry& e, const Cursor& c) {
  bool hasLevel = false;
  std::uint64_t level = number(e, kLKSystemLogLevelKey, &hasLevel);
  if (hasLevel && level > 7) return false;
  auto marker = e.find(kLKSystemLogMarkerKey);
  if (marker != e.end() && marker->second == "1") return false;
  bool hasPID = false;
  if (number(e, kLKSystemLogPIDKey, &hasPID) != static_cast<std::uint64_t>(::getpid()) || !hasPID)
    return false;
  if (c.lastSeen > 0) return number(e, kLKSystemLogMessageIDKey) > c.lastSeen;
  return number(e, kLKSystemLogTimeKey) >= c.startTime;
}

void captureAslLogs() {
  Cursor& cur = cursor();
  std::shared_ptr<LKSystemLog> log = LKSystemLog::shared();
  {
    std::lock_guard lock(cur.mutex);
    cur.startTime = static_cast<std::uint64_t>(platform::Date::now().timeIntervalSince1970());
    cur.lastSeen = 0;
    cur.log = log;
  }
  bool watching = log->watch(dispatch::Queue::global(dispatch::Priority::High),
                             [](const std::vector<LKSystemLogEntry>& entries) {
                               Cursor& c = cursor();
                               std::vector<LKSystemLogEntry> taken;
                               {
                                 std::lock_guard lock(c.mutex);
                                 for (const auto& e : entries) {
                                   if (!gStarted.load()) break;
                                   if (!matchesQuery(e, c)) continue;
                                   taken.push_back(e);
                                   c.lastSeen =
                                       std::max(c.lastSeen, number(e, kLKSystemLogMessageIDKey));
                                 }
                               }
                               for (const auto& e : taken) LKASLLogCapture::aslMessageReceived(e);
                             });
  if (!watching) {
    LKLog::reportError(
        "LKASLLogCapture: this system's log cannot be read back; nothing is captured");
    gStarted.store(false);
  }
}

}  // namespace

bool LKASLLogCapture::start() {
  if (gStarted.exchange(true)) return true;
  captureAslLogs();
  return gStarted.load();
}

void LKASLLogCapture::stop() {
  if (!gStarted.exchange(false)) return;
  std::shared_ptr<LKSystemLog> log;
  {
    std::lock_guard lock(cursor().mutex);
    log.swap(cursor().log);
  }
  if (log) log->unwatch();
}

std::uint64_t LKASLLogCapture::captureLevel() { return gCaptureLevel.load(); }
void LKASLLogCapture::setCaptureLevel(std::uint64_t level) { gCaptureLevel.store(level); }

void LKASLLogCapture::aslMessageReceived(const LKSystemLogEntry& entry) {
  auto message = entry.find(kLKSystemLogMessageKey);
  if (message == entry.end()) return;
  bool hasLevel = false;
  std::uint64_t level = number(entry, kLKSystemLogLevelKey, &hasLevel);
  std::uint64_t flag = LKLogFlagError;
  bool asynchronous = false;
  if (hasLevel) {
    switch (level) {
      case 0:
      case 1:
      case 2:
        break;
      case 3:
        flag = LKLogFlagWarning;
        asynchronous = true;
        break;
      case 4:
        flag = LKLogFlagInfo;
        asynchronous = true;
        break;
      case 5:
        flag = LKLogFlagDebug;
        asynchronous = true;
        break;
      default:
        flag = LKLogFlagVerbose;
        asynchronous = true;
        break;
    }
  }
  std::uint64_t captureLevel = LKASLLogCapture::captureLevel();
  if ((flag & captureLevel) == 0) return;
  bool hasTime = false;
  std::uint64_t seconds = number(entry, kLKSystemLogTimeKey, &hasTime);
  platform::Date timestamp =
      hasTime ? platform::Date(static_cast<double>(seconds) +
                               static_cast<double>(number(entry, kLKSystemLogTimeNanoSecKey)) / 1e9)
              : platform::Date::now();
  auto record = std::make_shared<const LKLogMessage>(message->second, captureLevel, flag, 0,
                                                     kLKASLLogCaptureFile, std::string_view(), 0,
                                                     platform::Value(), 0, timestamp);
  LKLog::log(asynchronous, record);
}

}  // namespace logging
