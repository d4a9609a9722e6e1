// Built into a test binary (not into the support library) to run all of its
// tests beside a held load: see held_load.h.
#include "support/held_load.h"

namespace {

::testing::Environment* const kHeldLoad =
    ::testing::AddGlobalTestEnvironment(new test_support::HeldLoadEnvironment());

}  // namespace
