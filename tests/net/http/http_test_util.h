// Helpers shared by the HTTP tests: running the main run loop until a
// condition holds (callbacks of the HTTP layer run on the main queue), and
// requests for the loopback test server.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "platform/runloop/run_loop.h"
#include "platform/urlloading/url_request.h"

namespace http_test {

// Runs the main run loop until `done` holds; false after `timeout`.
inline bool runMainUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  return platform::runloop::RunLoop::main().runUntil(done, timeout);
}

inline platform::urlloading::URLRequest requestFor(const std::string& url) {
  return platform::urlloading::URLRequest(platform::URL(url));
}

inline std::string text(const platform::Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace http_test
