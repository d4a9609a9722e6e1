#include "ipc/xpc_log.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/foundation/date.h"

namespace ipc {

namespace {

std::atomic<std::uint32_t> gLevel{1};
std::mutex gSinkMutex;
std::function<void(const std::string&)>& sink() {
  static std::function<void(const std::string&)> s;
  return s;
}

}  // namespace

std::uint32_t channelLogLevel() { return gLevel.load(std::memory_order_relaxed); }

void setChannelLogLevel(std::uint32_t level) { gLevel.store(level, std::memory_order_relaxed); }

void channelLog(const std::string& text) {
  std::function<void(const std::string&)> s;
  {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    s = sink();
  }
  if (s) {
    s(text);
    return;
  }
  std::string line = platform::formatDate(platform::Date::now(), "yyyy-MM-dd HH:mm:ss.SSS") + " [" +
                     std::to_string(::getpid()) + "] " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void setChannelLogSinkForTesting(std::function<void(const std::string&)> s) {
  std::lock_guard<std::mutex> lock(gSinkMutex);
  sink() = std::move(s);
}

}  // namespace ipc
