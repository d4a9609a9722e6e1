#include "ipc/xpc_log.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "platform/foundation/date.h"

namespace ipc {

namespace {

std::atomic<std::uint32_t> gLevel{1};

}  // namespace

std::uint32_t channelLogLevel() { return gLevel.load(std::memory_order_relaxed); }

void setChannelLogLevel(std::uint32_t level) { gLevel.store(level, std::memory_order_relaxed); }

void channelLog(const std::string& text) {
  std::string line = platform::formatDate(platform::Date::now(), "yyyy-MM-dd HH:mm:ss.SSS") + " [" +
                     std::to_string(::getpid()) + "] " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace ipc
