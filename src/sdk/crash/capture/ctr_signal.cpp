#include "sdk/crash/capture/ctr_signal.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/system/thread_state.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/crash/capture/ctr_process.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/capture/ctr_thread_start.h"
#include "sdk/crash/ctr_utils.h"

namespace sdk {

namespace {

// The saved mask keeps signals 1 to 32, one bit each (bit n-1 for signal n).
std::uint32_t maskBits(const sigset_t& set) {
  std::uint32_t bits = 0;
  for (int s = 1; s <= 32; ++s) {
    if (sigismember(&set, s) == 1) bits |= 1u << (s - 1);
  }
  return bits;
}

void maskFromBits(std::uint32_t bits, sigset_t* set) {
  sigemptyset(set);
  for (int s = 1; s <= 32; ++s) {
    if ((bits & (1u << (s - 1))) != 0) sigaddset(set, s);
  }
}

void* handlerOf(const struct sigaction& action) {
  if ((action.sa_flags & SA_SIGINFO) != 0) return reinterpret_cast<void*>(action.sa_sigaction);
  return reinterpret_cast<void*>(action.sa_handler);
}

// Whether returning from the handler brings the signal back: only a fault
// whose instruction runs again does. A signal sent by a process (kill,
// raise, abort, sigqueue: codes at or below 0), a breakpoint trap (the
// instruction pointer is already past it) and a filtered system call are
// not repeated.
bool returnRepeatsSignal(int signal, const siginfo_t* info) {
  if (info == nullptr) return false;
  if (info->si_code <= 0) return false;
  return signal != SIGTRAP && signal != SIGSYS;
}

void writeSignalRecord(CTRFile* file, const siginfo_t* info, int savedErrno) {
  CTRFileBeginSection(file, "signal");
  CTRFileBeginObject(file);
  if (info != nullptr) {
    const char* name = nullptr;
    const char* codeName = nullptr;
    CTRSignalNameLookup(info->si_signo, &name, &codeName);
    CTRFileWriteUnsignedField(file, "number", static_cast<std::uint64_t>(info->si_signo));
    CTRFileWriteUnsignedField(file, "code",
                              static_cast<std::uint64_t>(static_cast<std::int64_t>(info->si_code)));
    CTRFileWriteUnsignedField(
        file, "address",
        static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(info->si_addr)));
    CTRFileWriteStringField(file, "name", name);
    CTRFileWriteStringField(file, "code_name", codeName);
  }
  CTRFileWriteUnsignedField(file, "errno", static_cast<std::uint64_t>(savedErrno));
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  CTRFileWriteUnsignedField(file, "time", static_cast<std::uint64_t>(now.tv_sec));
  CTRFileEndObject(file);
  CTRFileEndSection(file);
}

}  // namespace

void CTRSignalNameLookup(int signal, const char** name, const char** codeName) {
  const char* n = "UNKNOWN";
  const char* c = nullptr;
  switch (signal) {
    case SIGILL:
      n = "SIGILL";
      break;
    case SIGTRAP:
      n = "SIGTRAP";
      break;
    case SIGABRT:
      n = "SIGABRT";
      c = "ABORT";
      break;
    case SIGFPE:
      n = "SIGFPE";
      break;
    case SIGBUS:
      n = "SIGBUS";
      break;
    case SIGSEGV:
      n = "SIGSEGV";
      break;
    case SIGSYS:
      n = "SIGSYS";
      break;
    default:
      break;
  }
  if (name != nullptr) *name = n;
  if (codeName != nullptr) *codeName = c;
}

void CTRSignalEnumerateHandledSignals(void (*callback)(int index, int signal, void* userData),
                                      void* userData) {
  if (callback == nullptr) return;
  for (int i = 0; i < kCTRSignalCount; ++i) callback(i, kCTRHandledSignals[i], userData);
}

void CTRSignalInitialize(CTRSignalState* state) {
  if (!CTRIsValidPointer(state)) return;
  if (CTRIsValidPointer(state->path) && !CTRUnlinkIfExists(state->path)) {
    CTR_SDK_LOG_WARN("Unable to reset the signal log file %s\n", CTRErrorText(errno));
  }
  // The threads of other signals are stopped through their own signal at
  // crash time; prepare it now, while allocating is still allowed.
  ::platform::ThreadStatePrepare();
  // Threads started from now on get their own alternate stacks (and this
  // keeps the thread-start wrapper in the program).
  (void)CTRThreadStartWrapperWasUsed();

  CTRContext* context = ctrContext;
  stack_t stack{};
  stack.ss_sp = CTRIsValidPointer(context) ? context->signalStack : nullptr;
  stack.ss_size = kCTRContextStackSize;
  stack.ss_flags = 0;
  stack_t previous{};
  if (stack.ss_sp != nullptr && sigaltstack(&stack, &previous) == 0) {
    if ((previous.ss_flags & SS_DISABLE) == 0 && previous.ss_sp != nullptr) {
      state->savedStack = previous.ss_sp;
      state->savedStackSize = previous.ss_size;
      state->savedStackFlags = static_cast<std::uint32_t>(previous.ss_flags);
    }
  } else {
    CTR_SDK_LOG_WARN("Unable to setup stack %s\n", CTRErrorText(errno));
  }

  for (int i = 0; i < kCTRSignalCount; ++i) {
    const int signal = kCTRHandledSignals[i];
    struct sigaction action {};
    action.sa_sigaction = CTRSignalHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    struct sigaction old {};
    if (sigaction(signal, &action, &old) != 0) {
      CTR_SDK_LOG_WARN("Unable to install handler for %d (%s)\n", signal, CTRErrorText(errno));
    }
    CTRSignalSavedAction& saved = state->savedActions[i];
    saved.handler = nullptr;
    if (handlerOf(old) != nullptr) {
      saved.handler = handlerOf(old);
      saved.mask = maskBits(old.sa_mask);
      saved.flags = static_cast<std::uint32_t>(old.sa_flags);
    }
  }
}

void CTRSignalSafeRemoveHandlers(bool includingFirst) {
  for (int i = includingFirst ? 0 : 1; i < kCTRSignalCount; ++i) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    if (sigaction(kCTRHandledSignals[i], &action, nullptr) != 0) {
      CTR_SDK_LOG_WARN("Unable to set default handler for %d (%s)\n", i, CTRErrorText(errno));
    }
  }
}

bool CTRSignalSafeInstallPreexistingHandlers(CTRSignalState* state) {
  CTRSignalSafeRemoveHandlers(true);
  if (!CTRIsValidPointer(state)) return false;
  bool result = true;
  if (state->savedStack != nullptr) {
    stack_t stack{};
    stack.ss_sp = state->savedStack;
    stack.ss_size = state->savedStackSize;
    stack.ss_flags = static_cast<int>(state->savedStackFlags);
    if (sigaltstack(&stack, nullptr) != 0) {
      // The alternate stack cannot be changed while the handler runs on it
      // (EPERM). Losing it must not also lose the previous handlers, so the
      // actions are still put back.
      CTR_SDK_LOG_WARN("Unable to setup stack %s\n", CTRErrorText(errno));
      result = false;
    }
  }
  for (int i = 0; i < kCTRSignalCount; ++i) {
    const CTRSignalSavedAction& saved = state->savedActions[i];
    if (saved.handler == nullptr) continue;
    struct sigaction action {};
    action.sa_flags = static_cast<int>(saved.flags);
    if ((action.sa_flags & SA_SIGINFO) != 0) {
      action.sa_sigaction = reinterpret_cast<void (*)(int, siginfo_t*, void*)>(saved.handler);
    } else {
      action.sa_handler = reinterpret_cast<void (*)(int)>(saved.handler);
    }
    maskFromBits(saved.mask, &action.sa_mask);
    if (sigaction(kCTRHandledSignals[i], &action, nullptr) != 0) {
      CTR_SDK_LOG_WARN("Unable to install handler for %d (%s)\n", i, CTRErrorText(errno));
      result = false;
    }
  }
  return result;
}

// A thread that crashes while another one writes its report waits here for
// that one to end the process, so that the report is complete. The wait is
// bounded: a writer that never finishes does not keep the process alive.
[[noreturn]] void CTRSignalWaitForTheCrashBeingRecorded() {
  CTR_SDK_LOG_WARN("Another thread is recording a crash, waiting for it\n");
  struct timespec step {
    0, 10 * 1000 * 1000
  };
  for (int i = 0; i < kCTRSignalConcurrentCrashWaitSteps; ++i) nanosleep(&step, nullptr);
  CTR_SDK_LOG_WARN("Error: the crash being recorded did not end the process\n");
  _exit(1);
}

void CTRSignalHandler(int signal, siginfo_t* info, void* userContext) {
  const int savedErrno = errno;
  errno = 0;
  CTR_SDK_LOG_WARN("Signal: %d\n", signal);
  CTRContext* context = ctrContext;
  const pid_t thread = ::platform::ThreadStateCurrentThread();
  // Who records this crash is settled before anything else: while one thread
  // writes its report the handlers stay in place, so that a second thread
  // crashing meanwhile comes here and waits instead of taking the process
  // down with the default action half-way through the report.
  const CTRCrashClaim claim =
      CTRIsValidPointer(context) ? CTRContextClaimCrash(thread) : CTRCrashClaim::kNotInitialized;
  if (claim == CTRCrashClaim::kSameThread) {
    CTR_SDK_LOG_WARN("Error: aborting signal handler because crash has already occurred");
    _exit(1);
  }
  if (claim == CTRCrashClaim::kOtherThread) CTRSignalWaitForTheCrashBeingRecorded();
  if (claim == CTRCrashClaim::kNotInitialized) CTRSignalSafeRemoveHandlers(true);
  sigset_t all;
  sigfillset(&all);
  if (sigprocmask(SIG_UNBLOCK, &all, nullptr) != 0) {
    CTR_SDK_LOG_WARN("Unable to unmask signals - we risk infinite recursion here\n");
  }
  if (!CTRIsValidPointer(info)) info = nullptr;
  if (!CTRIsValidPointer(userContext)) userContext = nullptr;

  // Before start-up finished there is no crash flag to share: the record is
  // written as the only one.
  if (CTRIsValidPointer(context)) {
    CTRFile file{};
    file.descriptor = -1;
    if (CTRFileInit(&file, context->signal.path, false)) {
      writeSignalRecord(&file, info, savedErrno);
      // The other threads stay stopped: the process ends by this signal
      // with nothing else of the program run after the record, as a crash
      // on the main thread does.
      CTRHandler(&file, ::platform::ThreadStateCurrentThread(),
                 static_cast<const ucontext_t*>(userContext), CTRHandlerRelease::kHoldOthers);
      CTRFileClose(&file);
    } else {
      CTR_SDK_LOG_WARN("Unable to open signal file\n");
    }
    CTRSignalSafeInstallPreexistingHandlers(&context->signal);
    // A handler of the program's own runs next and decides what follows: it
    // may need the others (a lock one of them holds).
    struct sigaction next {};
    if (sigaction(signal, nullptr, &next) == 0 && handlerOf(next) != nullptr) {
      CTRHandlerReleaseHeldThreads();
    }
  }

  if (!returnRepeatsSignal(signal, info)) {
    // Deliver it again now, to the handler put back or the default action
    // (every signal is unblocked here).
    syscall(SYS_tgkill, static_cast<pid_t>(syscall(SYS_getpid)),
            ::platform::ThreadStateCurrentThread(), signal);
  }
  errno = savedErrno;
}

void CTRSignalCheckHandlers() {
  CTRContext* context = ctrContext;
  if (CTRIsValidPointer(context) && context->debuggerAttached) return;
  for (int i = 0; i < kCTRSignalCount; ++i) {
    const int signal = kCTRHandledSignals[i];
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) {
      std::fputs("Unable to read signal handler\n", stderr);
      continue;
    }
    void* handler = handlerOf(current);
    if (handler == reinterpret_cast<void*>(&CTRSignalHandler)) continue;
    const char* name = nullptr;
    CTRSignalNameLookup(signal, &name, nullptr);
    std::string symbol = "(null)";
    CTRSymbolInfoForAddress(reinterpret_cast<std::uintptr_t>(handler),
                            [&symbol](const char* symbolName, const char*) {
                              if (symbolName != nullptr) symbol = symbolName;
                            });
    std::fprintf(stderr,
                 "[Crashtrail] The signal %s has a non-Crashtrail handler (%s).  This will "
                 "interfere with reporting.\n",
                 name, symbol.c_str());
  }
}

}  // namespace sdk
