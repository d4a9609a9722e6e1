// A crash context for tests: a zeroed context and writable state installed
// as the process-wide ones, with the SDK log in the test's temporary root.
// Restores "no context" afterwards and closes the SDK log.
//
// resetCrashGlobals() is the one reset of crash capture's process-wide
// state (the context, writable state and allocator, the capture hooks, the
// debugger override, an open SDK log) for tests that install it otherwise.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "support/temp_root.h"

namespace sdk::testing {

inline void resetCrashGlobals() {
  CTRContextSetCaptureHooks({});
  CTRProcessSetDebuggerAttachedForTesting(std::nullopt);
  if (ctrWritableState != nullptr && ctrWritableState->sdkLogDescriptor >= 0) {
    ::close(ctrWritableState->sdkLogDescriptor);
    ctrWritableState->sdkLogDescriptor = -1;
  }
  ctrContext = nullptr;
  ctrWritableState = nullptr;
  ctrAllocator = nullptr;
}

class CrashContextTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    context_ = {};
    state_ = {};
    state_.sdkLogDescriptor = -1;
    state_.sdkLogMinimumLevel = 1;
    logPath_ = root().file("sdk.log");
    context_.sdkLogPath = logPath_.c_str();
    ctrContext = &context_;
    ctrWritableState = &state_;
    ctrAllocator = nullptr;
  }

  void TearDown() override { resetCrashGlobals(); }

  static std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string sdkLog() const { return readFile(logPath_); }

  CTRContext context_{};
  CTRWritableState state_{};
  std::string logPath_;
};

}  // namespace sdk::testing
