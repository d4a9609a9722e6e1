#include "support/wait.h"

#include <algorithm>
#include <thread>

#include "platform/runloop/run_loop.h"

namespace varnel::testing {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::chrono::microseconds pause(100);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(5));
  }
  return true;
}

bool waitUntilOnMainRunLoop(const std::function<bool()>& condition,
                            std::chrono::milliseconds timeout, const char* mode) {
  if (mode) return platform::runloop::RunLoop::main().runUntil(condition, timeout, mode);
  return platform::runloop::RunLoop::main().runUntil(condition, timeout);
}

}  // namespace varnel::testing
