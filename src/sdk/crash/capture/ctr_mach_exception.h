// Mach exception capture, as far as it has a meaning on Linux.
//
// Linux has no exception ports: every hardware fault arrives as a signal and
// is recorded by signal capture (ctr_signal.h). What remains is the
// mask arithmetic that the controller uses to tell which faults the host
// application wants delivered as signals, the name table of the exception
// record, and a start-up and handler check that install and report nothing.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>

#include "sdk/crash/capture/ctr_context.h"

namespace sdk {

inline constexpr std::uint32_t kCTRMachExceptionMaskBadAccess = 0x2;
inline constexpr std::uint32_t kCTRMachExceptionMaskBadInstruction = 0x4;
inline constexpr std::uint32_t kCTRMachExceptionMaskArithmetic = 0x8;
inline constexpr std::uint32_t kCTRMachExceptionMaskBreakpoint = 0x40;
inline constexpr std::uint32_t kCTRMachExceptionMaskCrash = 0x400;
inline constexpr std::uint32_t kCTRMachExceptionMaskGuard = 0x1000;
// Bad access, bad instruction, arithmetic and breakpoint.
inline constexpr std::uint32_t kCTRMachExceptionBaseMask = 0x4E;

// The mask bits of a signal: SIGILL 0x4, SIGTRAP 0x40, SIGABRT 0x400,
// SIGFPE 0x8, SIGBUS and SIGSEGV 0x2, SIGSYS 0x400, any other 0.
std::uint32_t CTRMachExceptionMaskForSignal(int signal);
// The mask that would be registered: the base mask, with the guard bit from
// OS version number 1070 on (ctr_host.h), without the excluded bits.
std::uint32_t CTRMachExceptionMaskFor(std::uint32_t osVersionNumber, std::uint32_t excludedMask);
// Start-up: removes an old "mach_exception.clsrecord" (its path in `state`)
// and stores the mask that would be registered; no port, no server thread.
void CTRMachExceptionInit(CTRMachState* state, std::uint32_t excludedMask);
// The handler check run 2 s after start-up: reads the debugger flag and
// does nothing else.
void CTRMachExceptionCheckHandlers();
// The record's name table: the exception type's "name" and, by its first
// code, "code_name" (nullptr where the table has none).
void CTRMachExceptionNameLookup(std::int32_t exceptionType, std::int64_t firstCode,
                                const char** name, const char** codeName);

}  // namespace sdk
