// Small helpers shared by the helper's tests: the in-memory logger wired to
// the log dispatcher, and waiting on the main run loop.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "helper/notification_logger.h"
#include "logging/log.h"
#include "platform/runloop/run_loop.h"
#include "support/wait.h"

namespace helper_test {

// One in-memory logger for the whole test binary, registered once.
inline std::shared_ptr<helper::LKNotificationLogger> sharedLogger() {
  static std::shared_ptr<helper::LKNotificationLogger> logger = [] {
    auto l = std::make_shared<helper::LKNotificationLogger>();
    logging::LKLog::addLogger(l);
    return l;
  }();
  return logger;
}

// Everything logged since the previous call.
inline std::string drainLog() {
  auto logger = sharedLogger();
  logging::LKLog::flushLog();
  return logger->PopBuffer().value_or("");
}

}  // namespace helper_test
