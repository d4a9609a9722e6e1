#include "sdk/crash/capture/ctr_exception.h"

#include <cxxabi.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <mutex>
#include <new>
#include <typeinfo>

#include "platform/system/thread_state.h"
#include "platform/system/user_defaults.h"
#include "sdk/crash/capture/ctr_application.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/crash/capture/ctr_process.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/capture/ctr_user_logging.h"
#include "sdk/crash/ctr_demangle_operation.h"
#include "sdk/crash/ctr_utils.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

// The state that CTRExceptionInitialize was given: the context's own in
// practice, which is preferred while a context exists.
std::atomic<CTRExceptionState*> installedState{nullptr};

CTRExceptionState* exceptionState() {
  if (CTRIsValidPointer(ctrContext)) return &ctrContext->exception;
  return installedState.load(std::memory_order_acquire);
}

// The application object's current exception reporter.
std::atomic<CTRReportExceptionImplementation> reportImplementation{
    &CTRApplicationDefaultReportException};

// The exception object that the hook recorded last, so that the terminate
// handler does not record it a second time when it escapes further.
std::atomic<const void*> lastHookRecordedException{nullptr};

std::atomic<bool> webViewEngineAvailable{false};

bool crashOnExceptionsEnabled() {
  return platform::UserDefaults::standardUserDefaults()->boolForKey(
      kCTRCrashOnExceptionsDefaultsKey);
}

bool isFatal(std::uint32_t type) {
  return type == kCTRExceptionTypeObjectiveC || type == kCTRExceptionTypeCpp;
}

void writeExceptionLine(CTRFile* file, std::uint32_t type, const char* name, const char* reason,
                        const CTRStackFrameList& frames) {
  CTRFileBeginSection(file, "exception");
  CTRFileBeginObject(file);
  CTRFileWriteStringField(file, "type", CTRExceptionTypeName(type));
  CTRFileWriteHexField(file, "name", name);
  CTRFileWriteHexField(file, "reason", reason);
  CTRFileWriteUnsignedField(file, "time", static_cast<std::uint64_t>(std::time(nullptr)));
  if (!frames.empty()) {
    CTRFileWriteKey(file, "frames");
    CTRFileBeginArray(file);
    for (const CTRStackFrame::Ptr& frame : frames) {
      if (!frame) continue;
      auto text = [](const std::optional<std::string>& s) { return s ? s->c_str() : nullptr; };
      CTRFileBeginObject(file);
      CTRFileWriteUnsignedField(file, "pc", frame->address());
      CTRFileWriteHexField(file, "symbol", text(frame->symbol()));
      CTRFileWriteUnsignedField(file, "offset", frame->offset());
      CTRFileWriteHexField(file, "library", text(frame->library()));
      CTRFileWriteHexField(file, "file", text(frame->fileName()));
      CTRFileWriteUnsignedField(file, "line", frame->lineNumber());
      CTRFileEndObject(file);
    }
    CTRFileEndArray(file);
  }
  CTRFileEndObject(file);
  CTRFileEndSection(file);
}

void recordFatal(std::uint32_t type, const char* name, const char* reason,
                 const CTRStackFrameList& frames, bool deliver, CTRThread crashedThread) {
  const CTRExceptionState* state = exceptionState();
  CTRFile file{};
  file.descriptor = -1;
  if (state == nullptr || !CTRFileInit(&file, state->path, false)) {
    CTR_SDK_LOG_WARN("Unable to open exception file\n");
    return;
  }
  writeExceptionLine(&file, type, name, reason, frames);
  CTRHandler(&file, crashedThread, nullptr);
  CTRFileClose(&file);
  if (deliver && ctrContext != nullptr && ctrContext->urgentSubmissionTarget != nullptr) {
    ctrContext->urgentSubmissionTarget->potentiallySubmittableCrashOccurred();
  }
}

}  // namespace

const char* CTRExceptionTypeName(std::uint32_t type) {
  switch (type) {
    case kCTRExceptionTypeObjectiveC:
      return "objective-c";
    case kCTRExceptionTypeCpp:
      return "c++";
    case kCTRExceptionTypeJavaScript:
      return "javascript";
    case kCTRExceptionTypeCustom:
      return "custom";
    default:
      return "unknown";
  }
}

void CTRExceptionInitialize(CTRExceptionState* state, std::uint32_t* customExceptionCount) {
  if (state != nullptr) {
    installedState.store(state, std::memory_order_release);
    if (CTRIsValidPointer(state->path) && !CTRUnlinkIfExists(state->path)) {
      CTR_SDK_LOG_WARN("Unable to reset the exception file %s\n", CTRErrorText(errno));
    }
    std::terminate_handler previous = std::set_terminate(&CTRTerminateHandler);
    // A second initialisation must not make the handler its own predecessor.
    if (previous != &CTRTerminateHandler) state->previousTerminateHandler = previous;

    if (crashOnExceptionsEnabled() && CTRApplicationSharedApplication() != nullptr) {
      CTRReportExceptionImplementation replaced =
          CTRApplicationSetReportExceptionImplementation(&CTRExceptionReportExceptionHook);
      if (replaced != &CTRExceptionReportExceptionHook) {
        state->previousReportImplementation = reinterpret_cast<void*>(replaced);
      }
    }
  }
  if (customExceptionCount != nullptr) *customExceptionCount = 0;
}

[[noreturn]] void CTRTerminateHandler() {
  CTR_SDK_LOG_WARN("C++ terminate handler invoked\n");
  CTRExceptionState* state = exceptionState();
  std::terminate_handler previous = state != nullptr ? state->previousTerminateHandler : nullptr;
  if (previous == &CTRTerminateHandler) {
    CTR_SDK_LOG_WARN("Error: original handler was set recursively\n");
    previous = nullptr;
  }
  if (previous != nullptr) {
    CTR_SDK_LOG_WARN("restoring pre-existing handler\n");
    std::terminate_handler replaced = std::set_terminate(previous);
    if (replaced == previous) {
      CTR_SDK_LOG_WARN("handler has already been restored, aborting\n");
      std::abort();
    }
  }

  const std::type_info* type = abi::__cxa_current_exception_type();
  if (type == nullptr) {
    CTR_SDK_LOG_WARN("no active exception\n");
  } else if (!CTRIsValidPointer(type)) {
    CTR_SDK_LOG_WARN("Error: invalid parameter\n");
  } else {
    CTRCatchAndRecordActiveException(type->name());
  }

  if (previous != nullptr) {
    CTR_SDK_LOG_WARN("invoking pre-existing handler\n");
    previous();
  }
  CTR_SDK_LOG_WARN("aborting\n");
  std::abort();
}

void CTRCatchAndRecordActiveException(const char* typeName) {
  CTR_SDK_LOG_WARN("Recording exception of type '%s'\n", typeName);
  if (!std::current_exception()) return;
  try {
    throw;
  } catch (const platform::Exception& exception) {
    // The application object's exceptions are recorded by the reporting
    // hook; one that it has not seen (thrown outside the application's
    // event handling, or with no hook installed) would otherwise leave no
    // trace of its name and reason.
    if (&exception == lastHookRecordedException.load(std::memory_order_acquire)) {
      CTR_SDK_LOG_WARN("Skipping ObjC exception at this point\n");
    } else {
      CTRExceptionRecord(kCTRExceptionTypeObjectiveC, exception.name().c_str(),
                         exception.reason().c_str(), {}, true);
    }
  } catch (const char* text) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, "const char *", CTRIsValidPointer(text) ? text : "",
                       {}, true);
  } catch (const std::string& text) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, "std::string", text.c_str(), {}, true);
  } catch (const std::bad_alloc& exception) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, "std::bad_alloc", exception.what(), {}, true);
  } catch (const std::exception& exception) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, CTRExceptionDemangleTypeName(typeName).c_str(),
                       exception.what(), {}, true);
  } catch (const std::exception* exception) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, CTRExceptionDemangleTypeName(typeName).c_str(),
                       CTRIsValidPointer(exception) ? exception->what() : "", {}, true);
  } catch (...) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, CTRExceptionDemangleTypeName(typeName).c_str(), "", {},
                       true);
  }
}

void CTRExceptionRecordNSException(const platform::Exception& exception,
                                   const std::vector<std::uint64_t>& callStackReturnAddresses) {
  CTR_SDK_LOG_WARN("Recording an NSException\n");
  CTRStackFrameList frames;
  frames.reserve(callStackReturnAddresses.size());
  for (const std::uint64_t address : callStackReturnAddresses) {
    frames.push_back(CTRStackFrame::stackFrameWithAddress(address));
  }
  CTRExceptionRecord(kCTRExceptionTypeObjectiveC, exception.name().c_str(),
                     exception.reason().c_str(), frames, true);
}

void CTRExceptionRecord(std::uint32_t type, const char* name, const char* reason,
                        const CTRStackFrameList& frames, bool deliver) {
  if (!CTRContextIsInitialized()) return;
  const bool fatal = isFatal(type);
  CTR_SDK_LOG_WARN("Recording an exception structure (%d, %d)\n", deliver ? 1 : 0, fatal ? 1 : 0);
  if (fatal) {
    // The thread that raised the exception is the crashed one, even though
    // the record is written on the exception queue.
    const CTRThread crashedThread = platform::ThreadStateCurrentThread();
    auto write = [&] { recordFatal(type, name, reason, frames, deliver, crashedThread); };
    const platform::dispatch::QueuePtr queue = ctrExceptionQueue;
    if (queue && !queue->isCurrent()) {
      queue->sync(write);
    } else {
      write();
    }
  } else if (CTRIsValidPointer(ctrWritableState)) {
    CTRUserLoggingWriteAndCheckABFiles(
        &ctrContext->userLogging.customExceptionStorage,
        &ctrWritableState->currentCustomExceptionPath,
        [&](CTRFile* file) { writeExceptionLine(file, type, name, reason, frames); });
  }
  CTR_SDK_LOG_WARN("Finished recording an exception structure\n");
}

void CTRExceptionCheckHandlers() {
  const bool hasApplication = CTRApplicationSharedApplication() != nullptr;
  const bool crashOnExceptions = crashOnExceptionsEnabled();
  if (hasApplication && !crashOnExceptions) {
    BCNConsoleWrite(
        "[Crashtrail:Crash] Warning: NSApplicationCrashOnExceptions is not set. This will result "
        "in poor top-level uncaught exception reporting.");
  }
  if (CTRProcessDebuggerAttached()) return;

  const std::terminate_handler current = std::get_terminate();
  if (current != &CTRTerminateHandler) {
    CTRSymbolInfoForAddress(reinterpret_cast<std::uintptr_t>(current), [](const char* symbolName,
                                                                          const char* imagePath) {
      BCNConsoleWrite(std::string("[Crashtrail:Crash] Warning: std::get_terminate is '") +
                      (symbolName ? symbolName : "(null)") + "' in '" +
                      (imagePath ? imagePath : "(null)") + "'");
    });
  }
  if (hasApplication && crashOnExceptions &&
      CTRApplicationReportExceptionImplementation() != &CTRExceptionReportExceptionHook) {
    BCNConsoleWrite(
        "[Crashtrail:Crash] Warning: top-level NSApplication-reported exceptions cannot be "
        "intercepted");
  }
}

std::string CTRExceptionDemangleTypeName(const char* mangledName) {
  if (mangledName == nullptr) return std::string();
  std::optional<std::string> demangled = CTRDemangleOperation::demangleCppSymbol(mangledName);
  return demangled ? *demangled : std::string(mangledName);
}

[[noreturn]] void CTRExceptionRaiseTestException() {
  platform::Exception exception(kCTRTestExceptionName, kCTRTestExceptionReason);
  CTRApplicationReportException(exception);
  throw exception;
}

[[noreturn]] void CTRExceptionThrowTestException() { throw kCTRTestCppExceptionText; }

// --- the application object's exception reporting --------------------------

void CTRApplicationDefaultReportException(void* application, const platform::Exception& exception,
                                          const std::vector<std::uint64_t>& addresses) {
  (void)application;
  (void)addresses;
  BCNConsoleWrite("[" + exception.name() + "] " + exception.reason());
  if (crashOnExceptionsEnabled()) std::abort();
}

CTRReportExceptionImplementation CTRApplicationReportExceptionImplementation() {
  return reportImplementation.load(std::memory_order_acquire);
}

CTRReportExceptionImplementation CTRApplicationSetReportExceptionImplementation(
    CTRReportExceptionImplementation implementation) {
  if (implementation == nullptr) implementation = &CTRApplicationDefaultReportException;
  return reportImplementation.exchange(implementation, std::memory_order_acq_rel);
}

void CTRApplicationReportException(const platform::Exception& exception,
                                   const std::vector<std::uint64_t>& addresses) {
  const std::shared_ptr<void> application = CTRApplicationSharedApplication();
  if (!application) return;
  CTRApplicationReportExceptionImplementation()(application.get(), exception, addresses);
}

void CTRExceptionReportExceptionHook(void* application, const platform::Exception& exception,
                                     const std::vector<std::uint64_t>& addresses) {
  lastHookRecordedException.store(&exception, std::memory_order_release);
  CTRExceptionRecordNSException(exception, addresses);
  const CTRExceptionState* state = exceptionState();
  auto previous =
      state != nullptr
          ? reinterpret_cast<CTRReportExceptionImplementation>(state->previousReportImplementation)
          : nullptr;
  if (previous == nullptr || previous == &CTRExceptionReportExceptionHook) {
    previous = &CTRApplicationDefaultReportException;
  }
  previous(application, exception, addresses);
}

// --- web views ----------------------------------------------------------------

const std::string& CTRWKWebViewErrorScript() {
  static const std::string script =
      std::string(
          "var crashtrailOriginalOnLoad = window.onload;\n"
          "var crashtrailOriginalOnError = window.onerror;\n"
          "window.onerror = crashtrailOnError;\n"
          "window.onload = crashtrailOnLoad;\n"
          "function crashtrailOnLoad() {\n"
          "  if (window.onerror !== crashtrailOnError) {\n"
          "    crashtrailOriginalOnError = window.onerror;\n"
          "  }\n"
          "  window.onerror = crashtrailOnError;\n"
          "  if (typeof crashtrailOriginalOnLoad === 'function') {\n"
          "    crashtrailOriginalOnLoad.apply(this, arguments);\n"
          "  }\n"
          "}\n") +
      std::string(
          "function crashtrailOnError(msg, url, line, column, error) {\n"
          "  window.webkit.messageHandlers.crashtrail.postMessage(\n"
          "      {msg: msg, url: url, line: line, column: column});\n"
          "  if (typeof crashtrailOriginalOnError === 'function') {\n"
          "    return crashtrailOriginalOnError(msg, url, line, column, error);\n"
          "  }\n"
          "}\n");
  return script;
}

bool CTRWKWebViewInstallErrorScript(CTRWebViewConfiguration* configuration) {
  if (!webViewEngineAvailable.load() || configuration == nullptr) return false;
  configuration->userScripts.push_back({CTRWKWebViewErrorScript(), 1, true});
  return true;
}

void CTRWKWebViewSetEngineAvailableForTesting(bool available) {
  webViewEngineAvailable.store(available);
}

bool CTRWKWebViewHandleScriptMessage(const platform::Value& body) {
  if (!body.isDictionary()) return false;
  const platform::Value message = body["msg"];
  // A page may post anything as "msg"; only text is taken as the reason.
  const std::string reason = message.isString() ? message.asString() : std::string();
  CTRExceptionRecord(kCTRExceptionTypeJavaScript, "exception", reason.c_str(), {}, false);
  return true;
}

}  // namespace sdk
