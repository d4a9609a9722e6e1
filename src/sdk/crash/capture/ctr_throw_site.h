// The frames of a C++ throw, taken when it happens.
//
// An uncaught exception reaches the terminate handler sometimes with the
// throwing frames still on the stack and sometimes after the runtime
// unwound them (a noexcept function on the way catches it to terminate), so
// the throw site cannot be read from the stack at that point. The SDK
// defines __cxa_throw (which the compiler calls for every throw expression;
// exported so that libraries' throws use it too, see
// src/sdk/crash/CMakeLists.txt): it keeps, per thread, the thrown object and
// the return addresses of its callers, then hands the throw to the runtime's
// __cxa_throw unchanged.
//
// Guarantees:
//  1. A throw behaves as without the SDK (same object, type and destructor).
//  2. CTRThrowSiteReturnAddresses answers the kept addresses (the thrower
//     first) only for the exception object that was thrown last on the
//     calling thread; a rethrow keeps the original throw's frames.
//  3. After CTRThrowSiteWarmUp (crash-capture start-up calls it), a throw
//     loads and allocates nothing of its own: the runtime's __cxa_throw is
//     looked up and the unwinder that backtrace() loads on its first use
//     is in place, so a throw under memory pressure still keeps its frames.
// Not promised: frames of exceptions thrown by the runtime's own code paths
// that do not call __cxa_throw through the dynamic linker.
//
// Thread safety: any thread; each thread sees its own last throw.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sdk {

inline constexpr std::size_t kCTRThrowSiteMaxFrames = 64;

// Does the first-use work of a throw's capture now (see guarantee 3).
// Idempotent; any thread.
void CTRThrowSiteWarmUp();

// Copies the return addresses of the last throw of `exceptionObject` on
// this thread into `out` (thrower first); answers how many (0: no record).
std::size_t CTRThrowSiteReturnAddresses(const void* exceptionObject, std::uintptr_t* out,
                                        std::size_t capacity);

}  // namespace sdk
