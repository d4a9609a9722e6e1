#include "sdk/crash/capture/ctr_mach_exception.h"

#include <signal.h>

#include <cerrno>
#include <iterator>

#include "sdk/crash/capture/ctr_host.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/ctr_utils.h"

namespace sdk {

std::uint32_t CTRMachExceptionMaskForSignal(int signal) {
  switch (signal) {
    case SIGILL:
      return kCTRMachExceptionMaskBadInstruction;
    case SIGTRAP:
      return kCTRMachExceptionMaskBreakpoint;
    case SIGABRT:
    case SIGSYS:
      return kCTRMachExceptionMaskCrash;
    case SIGFPE:
      return kCTRMachExceptionMaskArithmetic;
    case SIGBUS:
    case SIGSEGV:
      return kCTRMachExceptionMaskBadAccess;
    default:
      return 0;
  }
}

std::uint32_t CTRMachExceptionMaskFor(std::uint32_t osVersionNumber, std::uint32_t excludedMask) {
  std::uint32_t mask = kCTRMachExceptionBaseMask;
  if (osVersionNumber >= 1070) mask |= kCTRMachExceptionMaskGuard;
  return mask & ~excludedMask;
}

void CTRMachExceptionInit(CTRMachState* state, std::uint32_t excludedMask) {
  if (!CTRIsValidPointer(state)) return;
  if (CTRIsValidPointer(state->path) && !CTRUnlinkIfExists(state->path)) {
    CTR_SDK_LOG_WARN("Unable to reset the mach exception file %s\n", CTRErrorText(errno));
  }
  // No exception ports here: faults arrive as signals and signal capture
  // records them. Only the mask that would be registered is kept.
  state->mask = CTRMachExceptionMaskFor(CTRHostGetOSVersionNumber(), excludedMask);
  state->savedCount = 0;
}

void CTRMachExceptionCheckHandlers() {
  CTRContext* context = ctrContext;
  if (!CTRIsValidPointer(context)) return;
  // Nothing to check: no exception ports exist. Reading the flag is all the
  // check does.
  [[maybe_unused]] const bool attached = context->debuggerAttached;
}

void CTRMachExceptionNameLookup(std::int32_t exceptionType, std::int64_t firstCode,
                                const char** name, const char** codeName) {
  const char* n = nullptr;
  const char* c = nullptr;
  switch (exceptionType) {
    case 1:
      n = "EXC_BAD_ACCESS";
      if (firstCode == 1) c = "KERN_INVALID_ADDRESS";
      if (firstCode == 2) c = "KERN_PROTECTION_FAILURE";
      break;
    case 2:
      n = "EXC_BAD_INSTRUCTION";
      c = "EXC_I386_INVOP";
      break;
    case 3: {
      n = "EXC_ARITHMETIC";
      static const char* const kNames[] = {"EXC_I386_DIV",    "EXC_I386_INTO",     "EXC_I386_NOEXT",
                                           "EXC_I386_EXTOVR", "EXC_I386_EXTERR",   "EXC_I386_EMERR",
                                           "EXC_I386_BOUND",  "EXC_I386_SSEEXTERR"};
      if (firstCode >= 1 && firstCode <= 8) c = kNames[firstCode - 1];
      break;
    }
    case 6: {
      n = "EXC_BREAKPOINT";
      static const char* const kNames[] = {"EXC_I386_DIVERR",
                                           "EXC_I386_SGLSTP",
                                           "EXC_I386_NMIFLT",
                                           "EXC_I386_BPTFLT",
                                           "EXC_I386_INTOFLT",
                                           "EXC_I386_BOUNDFLT",
                                           "EXC_I386_INVOPFLT",
                                           "EXC_I386_NOEXTFLT",
                                           nullptr,
                                           "EXC_I386_EXTOVRFLT",
                                           "EXC_I386_INVTSSFLT",
                                           "EXC_I386_SEGNPFLT",
                                           "EXC_I386_STKFLT",
                                           "EXC_I386_GPFLT",
                                           "EXC_I386_PGFLT",
                                           nullptr,
                                           "EXC_I386_EXTERRFLT",
                                           "EXC_I386_ALIGNFLT"};
      if (firstCode >= 0 && firstCode < static_cast<std::int64_t>(std::size(kNames))) {
        c = kNames[firstCode];
      } else if (firstCode == 32) {
        c = "EXC_I386_ENOEXTFLT";
      } else if (firstCode == 33) {
        c = "EXC_I386_ENDPERR";
      }
      break;
    }
    case 12:
      n = "EXC_GUARD";
      break;
    default:
      break;
  }
  if (name != nullptr) *name = n;
  if (codeName != nullptr) *codeName = c;
}

}  // namespace sdk
