// Signal capture: handlers for the seven fatal signals that record the
// signal into "signal.clsrecord", record the whole process and put back the
// handlers that were in place before, so that the signal reaches them (or
// the default action) once the handler is done.
//
// Handled signals, by index: 0 SIGABRT, 1 SIGBUS, 2 SIGFPE, 3 SIGILL,
// 4 SIGSEGV, 5 SIGSYS, 6 SIGTRAP. The handler runs on the context's
// alternate stack (installed for the thread that runs CTRSignalInitialize;
// the alternate stack is a per-thread setting), with SA_SIGINFO|SA_ONSTACK.
//
// The record: one line, section "signal", with "number", "code", "address",
// "name", "code_name" (when the signal information is there), "errno" and
// "time"; the process recording (ctr_process.h) follows in the same file.
//
// Guarantees:
//  1. The handler is async-signal-safe: no allocation, no lock.
//  2. Exactly one crash is recorded per process: a second fatal signal while
//     the first is recorded ends the process with exit status 1.
//  3. After recording, the signal is delivered again to the previous handler
//     or the default action: a fault re-runs the faulting instruction; a
//     signal that re-running cannot bring back (one sent with kill, raise,
//     abort or sigqueue, a breakpoint trap, a system-call filter's SIGSYS) is
//     raised again by the handler.
//
// Thread safety: CTRSignalInitialize runs once during start-up; the handler
// may run on any thread; the others may be called from any thread.
#pragma once

#include <signal.h>

#include <cstdint>

#include "sdk/crash/capture/ctr_context.h"

namespace sdk {

// The handled signals in index order.
// How long (in steps of 10 ms) a thread that crashes while another one
// records its crash waits for that one to end the process.
inline constexpr int kCTRSignalConcurrentCrashWaitSteps = 1000;
inline constexpr int kCTRHandledSignals[kCTRSignalCount] = {SIGABRT, SIGBUS, SIGFPE, SIGILL,
                                                            SIGSEGV, SIGSYS, SIGTRAP};

// Removes an old record, installs the alternate stack and the handlers,
// saving what was there before into `state`.
void CTRSignalInitialize(CTRSignalState* state);
// The installed handler.
void CTRSignalHandler(int signal, siginfo_t* info, void* userContext);
// Sets the handled signals back to the default action (SIGABRT only when
// `includingFirst`).
void CTRSignalSafeRemoveHandlers(bool includingFirst);
// Puts back the saved alternate stack and actions; false when any of them
// cannot be installed.
bool CTRSignalSafeInstallPreexistingHandlers(CTRSignalState* state);
// Calls `callback(index, signal number, userData)` for the seven signals.
void CTRSignalEnumerateHandledSignals(void (*callback)(int index, int signal, void* userData),
                                      void* userData);
// For a thread that crashes while another one records its crash: waits for
// that one to end the process (at most kCTRSignalConcurrentCrashWaitSteps
// steps of 10 ms, then ends it with status 1). Async-signal-safe.
[[noreturn]] void CTRSignalWaitForTheCrashBeingRecorded();
// Prints a warning to stderr for every handled signal whose handler is not
// ours (nothing with a debugger attached).
void CTRSignalCheckHandlers();
// The name table: "SIGILL", "SIGTRAP", "SIGABRT" (code name "ABORT"),
// "SIGFPE", "SIGBUS", "SIGSEGV", "SIGSYS", else "UNKNOWN"; code name nullptr
// for every signal but SIGABRT.
void CTRSignalNameLookup(int signal, const char** name, const char** codeName);

}  // namespace sdk
