#include "client/Singletons/varnel_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/foundation/date.h"
#include "platform/foundation/format.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/notification_center.h"
#include "platform/system/operation_queue.h"
#include "platform/system/paths.h"

namespace client {

namespace {
std::mutex gInstanceMutex;
std::unique_ptr<VarnelLog>& instanceSlot() {
  static std::unique_ptr<VarnelLog> instance;
  return instance;
}
}  // namespace

VarnelLog& VarnelLog::sharedInstance() {
  std::lock_guard<std::mutex> lock(gInstanceMutex);
  auto& slot = instanceSlot();
  if (!slot) slot.reset(new VarnelLog());
  return *slot;
}

void VarnelLog::resetSharedInstanceForTesting() {
  // Appends queued before the reset run first (this is called on the main thread).
  platform::runloop::RunLoop::main().runUntil(
      [] { return platform::OperationQueue::mainQueue()->operationCount() == 0; },
      std::chrono::seconds(10));
  std::lock_guard<std::mutex> lock(gInstanceMutex);
  instanceSlot().reset();
}

std::string VarnelLog::logFilePath() {
  return platform::paths::userLogs() + "/" + kVarnelLogFileName;
}

VarnelLog::VarnelLog() {
  const std::string path = logFilePath();
  platform::paths::createDirectories(platform::paths::userLogs(), 0700);
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
}

VarnelLog::~VarnelLog() {
  // Lines still queued (the process is ending) reach the file unannounced.
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    lines.swap(pending_);
  }
  if (!lines.empty()) writeToFile(chunkOf(lines));
  if (fd_ >= 0) ::close(fd_);
}

void VarnelLog::flush() { appendPending(); }

std::string VarnelLog::chunkOf(const std::vector<std::string>& lines) const {
  const std::string date = platform::formatDate(platform::Date::now(), kVarnelLogDateFormat);
  std::string chunk;
  for (const std::string& text : lines) chunk += platform::format("[%@] %@\n", date, redact(text));
  return chunk;
}

void VarnelLog::writeToFile(const std::string& chunk) {
  if (fd_ < 0) return;
  std::size_t done = 0;
  while (done < chunk.size()) {
    const ssize_t n = ::write(fd_, chunk.data() + done, chunk.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

void VarnelLog::registerSecret(std::string secret) {
  if (secret.empty()) return;
  std::lock_guard<std::mutex> lock(secretsMutex_);
  for (const std::string& s : secrets_) {
    if (s == secret) return;
  }
  secrets_.push_back(std::move(secret));
}

std::string VarnelLog::redact(std::string text) const {
  std::lock_guard<std::mutex> lock(secretsMutex_);
  for (const std::string& secret : secrets_) {
    for (std::size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + 8)) {
      text.replace(at, secret.size(), "********");
    }
  }
  return text;
}

void VarnelLog::AddToLog(std::string text) {
  bool queue;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pending_.push_back(std::move(text));
    queue = !appendQueued_;
    appendQueued_ = true;
  }
  if (queue)
    platform::OperationQueue::mainQueue()->addOperationWithBlock([this] { appendPending(); });
}

void VarnelLog::appendPending() {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    lines.swap(pending_);
    appendQueued_ = false;
  }
  if (lines.empty()) return;
  const std::string chunk = chunkOf(lines);
  logContent_ += chunk;
  platform::NotificationCenter::defaultCenter().post(kVarnelLogNotification);
  writeToFile(chunk);
}

std::string VarnelLog::GetLog() const { return logContent_; }

}  // namespace client
