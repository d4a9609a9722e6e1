// HeldLoadEnvironment: runs a test binary's tests with one load held under
// way on the network thread from start to end, so that every plain GET they
// start has its socket work done by a loader (url_connection.h, guarantee
// 1) and is checked there as the tests check it on the network thread.
//
// SetUp starts a GET to a loopback server that never answers and waits
// until the server has it; TearDown fails the run when that load ended
// before (the tests after it would not have gone through loaders) or when
// no loader thread ("NKLoader") was ever made, then cancels it.
#pragma once

#include <gtest/gtest.h>

#include <memory>

namespace test_support {

class HeldLoadEnvironment : public ::testing::Environment {
 public:
  HeldLoadEnvironment();
  ~HeldLoadEnvironment() override;
  void SetUp() override;
  void TearDown() override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether a HeldLoadEnvironment holds its load now (in this binary).
bool heldLoadUnderWay();

// Whether a thread of this process has the name `name`.
bool processHasThreadNamed(const char* name);

}  // namespace test_support
