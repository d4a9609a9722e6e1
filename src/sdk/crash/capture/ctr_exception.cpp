#include "sdk/crash/capture/ctr_exception.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <typeinfo>

#include "platform/system/thread_state.h"
#include "platform/system/user_defaults.h"
#include "sdk/crash/capture/ctr_application.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/crash/capture/ctr_process.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/capture/ctr_signal.h"
#include "sdk/crash/capture/ctr_throw_site.h"
#include "sdk/crash/capture/ctr_user_logging.h"
#include "sdk/crash/ctr_demangle_operation.h"
#include "sdk/crash/ctr_symbol_table.h"
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
    const CTRStackFrameList frames = CTRExceptionThrowSiteFrames();
    // The thread's own stack in the record starts there too.
    if (!frames.empty()) CTRProcessSetThrowSiteReturnAddress(frames[0]->address() + 1);
    CTRCatchAndRecordActiveException(type->name(), frames);
    CTRProcessSetThrowSiteReturnAddress(0);
  }

  if (previous != nullptr) {
    CTR_SDK_LOG_WARN("invoking pre-existing handler\n");
    previous();
  }
  CTR_SDK_LOG_WARN("aborting\n");
  std::abort();
}

namespace {

bool isThrowFunction(const char* name) {
  if (name == nullptr) return false;
  return std::strcmp(name, "__cxa_throw") == 0 || std::strcmp(name, "__cxa_rethrow") == 0 ||
         std::strcmp(name, "_ZSt17rethrow_exceptionNSt15__exception_ptr13exception_ptrE") == 0;
}

bool isTerminateFunction(const char* name) {
  return name != nullptr && std::strcmp(name, "_ZSt9terminatev") == 0;
}

std::string lastComponent(const char* path) {
  if (path == nullptr) return {};
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Names `address` (inside the running process) from the image's full
// symbol table, which also knows the functions the image does not export.
void symbolicate(CTRStackFrame& frame, std::uintptr_t address,
                 std::map<std::string, std::shared_ptr<const CTRSymbolTable>>& tables) {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(address), &info) == 0) return;
  std::optional<std::string> name;
  std::uintptr_t start = 0;
  if (info.dli_sname != nullptr) {
    name = info.dli_sname;
    start = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
  }
  const std::string path = (info.dli_fname != nullptr && info.dli_fname[0] == '/')
                               ? std::string(info.dli_fname)
                               : std::string("/proc/self/exe");
  std::shared_ptr<const CTRSymbolTable>& table = tables[path];
  if (!table) table = CTRSymbolTable::readFile(path);
  const auto base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  const std::uintptr_t bias = table->isFixedAddress() ? 0 : base;
  if (!table->empty() && address >= bias) {
    if (auto found = table->symbolForAddress(address - bias);
        found && (!name || found->address + bias > start)) {
      name = found->name;
      start = static_cast<std::uintptr_t>(found->address + bias);
    }
  }
  if (name) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(name->c_str(), nullptr, nullptr, &status);
    frame.setRawSymbol(*name);
    frame.setSymbol(status == 0 && demangled != nullptr ? std::string(demangled) : *name);
    std::free(demangled);
    if (start <= address) frame.setOffset(address - start);
  }
  frame.setLibrary(lastComponent(info.dli_fname));
}

}  // namespace

CTRStackFrameList CTRExceptionThrowSiteFrames() {
  constexpr int kMaxFrames = 128;
  void* addresses[kMaxFrames];
  // The frames kept when the active exception was thrown, when it was thrown
  // on this thread: the runtime may have unwound them from the stack by now.
  std::uintptr_t kept[kCTRThrowSiteMaxFrames];
  std::size_t keptCount = 0;
  {
    // The C++ runtime's exception pointer holds the thrown object's address
    // and nothing else; that address is what the throw record keeps.
    static_assert(sizeof(std::exception_ptr) == sizeof(void*));
    const std::exception_ptr active = std::current_exception();
    void* object = nullptr;
    std::memcpy(&object, static_cast<const void*>(&active), sizeof(object));
    keptCount = CTRThrowSiteReturnAddresses(object, kept, kCTRThrowSiteMaxFrames);
  }
  if (keptCount > 0) {
    CTRStackFrameList frames;
    std::map<std::string, std::shared_ptr<const CTRSymbolTable>> tables;
    for (std::size_t i = 0; i < keptCount; ++i) {
      if (kept[i] < 4096) continue;
      const std::uintptr_t address = kept[i] - 1;
      auto frame = CTRStackFrame::stackFrameWithAddress(address);
      symbolicate(*frame, address, tables);
      frames.push_back(std::move(frame));
    }
    return frames;
  }
  const int count = ::backtrace(addresses, kMaxFrames);
  // The first frame below the throw (or, without one, below the terminate
  // call) is where the report starts.
  int first = -1;
  int afterTerminate = -1;
  for (int i = 0; i < count && first < 0; ++i) {
    Dl_info info{};
    if (::dladdr(addresses[i], &info) == 0) continue;
    if (isThrowFunction(info.dli_sname)) first = i + 1;
    if (afterTerminate < 0 && isTerminateFunction(info.dli_sname)) afterTerminate = i + 1;
  }
  if (first < 0) first = afterTerminate >= 0 ? afterTerminate : 0;
  CTRStackFrameList frames;
  std::map<std::string, std::shared_ptr<const CTRSymbolTable>> tables;
  for (int i = first; i < count; ++i) {
    const auto returnAddress = reinterpret_cast<std::uintptr_t>(addresses[i]);
    if (returnAddress < 4096) continue;
    const std::uintptr_t address = returnAddress - 1;
    auto frame = CTRStackFrame::stackFrameWithAddress(address);
    symbolicate(*frame, address, tables);
    frames.push_back(std::move(frame));
  }
  return frames;
}

void CTRCatchAndRecordActiveException(const char* typeName, const CTRStackFrameList& frames) {
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
                         exception.reason().c_str(), frames, true);
    }
  } catch (const char* text) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, "const char *", CTRIsValidPointer(text) ? text : "",
                       frames, true);
  } catch (const std::string& text) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, "std::string", text.c_str(), frames, true);
  } catch (const std::bad_alloc& exception) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, "std::bad_alloc", exception.what(), frames, true);
  } catch (const std::exception& exception) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, CTRExceptionDemangleTypeName(typeName).c_str(),
                       exception.what(), frames, true);
  } catch (const std::exception* exception) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, CTRExceptionDemangleTypeName(typeName).c_str(),
                       CTRIsValidPointer(exception) ? exception->what() : "", frames, true);
  } catch (...) {
    CTRExceptionRecord(kCTRExceptionTypeCpp, CTRExceptionDemangleTypeName(typeName).c_str(), "",
                       frames, true);
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
    // One writer per crash: while another thread records a crash of its
    // own (a fault at the same moment), this one waits for it to end the
    // process instead of writing a second, concurrent recording.
    switch (CTRContextClaimCrashForException(static_cast<std::int32_t>(crashedThread))) {
      case CTRCrashClaim::kOtherThread:
        CTRSignalWaitForTheCrashBeingRecorded();
      case CTRCrashClaim::kSameThread:
        CTR_SDK_LOG_WARN("Error: a crash is already being recorded, skipping the exception\n");
        return;
      case CTRCrashClaim::kFirst:
      case CTRCrashClaim::kNotInitialized:
        break;
    }
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
