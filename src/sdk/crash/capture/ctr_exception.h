// Exception capture: the terminate handler for uncaught C++ exceptions, the
// hook on the application's reporting of uncaught exceptions, the writer of
// exception records (fatal ones with a full process recording, non-fatal
// ones into the custom-exception files) and the handling of a web view's
// JavaScript error reports.
//
// Exception types: 1 "objective-c" (an exception that the application
// object reports as uncaught: platform::Exception), 2 "c++", 3
// "javascript", 4 "custom"; any other number is written as "unknown".
// Types 1 and 2 are fatal.
//
// Exception line (a record line of ctr_file.h): section "exception" with
// "type" (plain), "name" (hex), "reason" (hex), "time" (seconds since 1970)
// and, when there are frames, "frames": one object per frame with "pc",
// "symbol" (hex), "offset", "library" (hex), "file" (hex), "line".
//
// The application object. On this platform the host application registers
// its shared application object with CTRApplicationRegisterSharedApplication
// (ctr_application.h) and sends every exception that escapes its event
// handling to CTRApplicationReportException. What that does is the
// application's current report implementation (the counterpart of the
// application object's reportException: method): by default it writes the
// exception to the console and, when the user default
// "NSApplicationCrashOnExceptions" is YES, aborts. With that default set and
// an application object registered, CTRExceptionInitialize replaces the
// implementation by a hook that records the exception (type 1, fatal) and
// then calls the implementation it replaced. Without an application object
// nothing is hooked.
//
// Web views. The web-view engine is looked up at run time and does not
// exist on this platform, so CTRWKWebViewInstallErrorScript answers false;
// the script text and the handling of its messages are complete and used
// when an engine is present.
//
// Guarantees:
//  1. Records made before crash capture is initialised are dropped without
//     a message.
//  2. Fatal records are written one after the other on the exception queue
//     (the calling thread waits; a caller already on that queue writes
//     directly instead of waiting for itself).
//  3. The terminate handler runs at most once per process: it reinstalls
//     the handler it replaced before recording, calls it afterwards, and
//     aborts.
//  4. A fatal record takes part in the crash claim of the signal handlers
//     (CTRContextClaimCrashForException): when another thread is recording
//     a crash, the exception's thread writes nothing and waits for that
//     one to end the process; otherwise it writes, and the abort that
//     follows is recorded by the signal handler of the same thread, while
//     faults of other threads wait.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/exception.h"
#include "platform/foundation/value.h"
#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/ctr_stack_frame.h"

namespace sdk {

inline constexpr std::uint32_t kCTRExceptionTypeObjectiveC = 1;
inline constexpr std::uint32_t kCTRExceptionTypeCpp = 2;
inline constexpr std::uint32_t kCTRExceptionTypeJavaScript = 3;
inline constexpr std::uint32_t kCTRExceptionTypeCustom = 4;

inline constexpr const char* kCTRCrashOnExceptionsDefaultsKey = "NSApplicationCrashOnExceptions";
inline constexpr const char* kCTRWebViewMessageHandlerName = "crashtrail";
inline constexpr const char* kCTRTestExceptionName = "CrashtrailTestException";
inline constexpr const char* kCTRTestExceptionReason =
    "This is an Objective-C exception using for testing.";
inline constexpr const char* kCTRTestCppExceptionText = "Crashtrail C++ Test Exception";

// "objective-c", "c++", "javascript", "custom" or "unknown".
const char* CTRExceptionTypeName(std::uint32_t type);

// Run by crash-capture start-up (not when a debugger is attached): removes
// an earlier exception record, installs the terminate handler, hooks the
// application's exception reporting (see the header comment) and sets the
// custom-exception counter to 0.
void CTRExceptionInitialize(CTRExceptionState* state, std::uint32_t* customExceptionCount);

// The installed terminate handler.
[[noreturn]] void CTRTerminateHandler();
// Records the exception that the terminate handler is handling (type 2);
// `typeName` is its mangled type name; `frames` (the throw site first) go
// into the exception record.
void CTRCatchAndRecordActiveException(const char* typeName, const CTRStackFrameList& frames = {});
// The frames of the calling thread from the function that threw the active
// exception upwards, symbolicated, for a terminate handler: the unwinder
// leaves an uncaught exception's stack as it was at the throw, so the frames
// above the throw (the C++ runtime's and the SDK's own) are dropped. Each
// address is inside the call instruction (a return address less one), so the
// thrower is named even when the throw was its last instruction. With no
// throw on the stack (std::terminate called directly) the frames above the
// terminate call are dropped instead.
CTRStackFrameList CTRExceptionThrowSiteFrames();

// Records `exception` as an uncaught exception of the application object
// (type 1, deliver), with frames for `callStackReturnAddresses` when given.
void CTRExceptionRecordNSException(const platform::Exception& exception,
                                   const std::vector<std::uint64_t>& callStackReturnAddresses = {});

// Writes one exception (see the header comment). `name` and `reason` are
// UTF-8 C strings (nullptr is written as null); `frames` may be empty.
// `deliver` asks for urgent submission after a fatal record.
void CTRExceptionRecord(std::uint32_t type, const char* name, const char* reason,
                        const CTRStackFrameList& frames, bool deliver);

// The check that the controller runs 2 s after start-up: warns on the
// console when the application's exceptions cannot be recorded or another
// terminate handler has replaced ours.
void CTRExceptionCheckHandlers();

// The readable form of a mangled C++ type name (the name itself when it
// cannot be demangled; "" for nullptr).
std::string CTRExceptionDemangleTypeName(const char* mangledName);

// Raises the facade's test exception: reports platform::Exception
// "CrashtrailTestException" through the application object (recorded as
// type 1 when the hook is installed) and throws it.
[[noreturn]] void CTRExceptionRaiseTestException();
// Throws the C string "Crashtrail C++ Test Exception".
[[noreturn]] void CTRExceptionThrowTestException();

// --- the application object's exception reporting --------------------------

// What reports an uncaught exception for the application object.
using CTRReportExceptionImplementation = void (*)(void* application,
                                                  const platform::Exception& exception,
                                                  const std::vector<std::uint64_t>& addresses);
// The default: "[<name>] <reason>" on the console; aborts when
// "NSApplicationCrashOnExceptions" is YES.
void CTRApplicationDefaultReportException(void* application, const platform::Exception& exception,
                                          const std::vector<std::uint64_t>& addresses);
// The current implementation and its replacement (answers the previous one).
CTRReportExceptionImplementation CTRApplicationReportExceptionImplementation();
CTRReportExceptionImplementation CTRApplicationSetReportExceptionImplementation(
    CTRReportExceptionImplementation implementation);
// What the host application calls for an exception that escaped its event
// handling: the current implementation with the registered application
// object (nothing without one). `addresses` are the return addresses where
// it was thrown, when the application has them.
void CTRApplicationReportException(const platform::Exception& exception,
                                   const std::vector<std::uint64_t>& addresses = {});
// The hook that CTRExceptionInitialize installs.
void CTRExceptionReportExceptionHook(void* application, const platform::Exception& exception,
                                     const std::vector<std::uint64_t>& addresses);

// --- web views ----------------------------------------------------------------

// The script added to a web view: keeps the page's onload/onerror and posts
// every error as {msg, url, line, column} to the handler "crashtrail".
const std::string& CTRWKWebViewErrorScript();

// A web view's configuration as the engine would offer it: the user
// scripts added to its content controller. (No engine exists here; the
// type lets the facade and tests speak about one.)
struct CTRWebViewConfiguration {
  struct UserScript {
    std::string source;
    int injectionTime = 0;  // 1: at document end
    bool forMainFrameOnly = false;
  };
  std::vector<UserScript> userScripts;
};
// False when no web-view engine is present (always, on this platform);
// else adds the error script (document end, main frame only) and answers
// true.
bool CTRWKWebViewInstallErrorScript(CTRWebViewConfiguration* configuration);
// Tests: pretend an engine is present (true) or not (false, the default).
// Process-wide, like the rest of crash capture's state (async-signal safety).
void CTRWKWebViewSetEngineAvailableForTesting(bool available);

// A script message's body: when it is a dictionary, records a "javascript"
// exception named "exception" with its "msg" as reason (no frames, no
// delivery) and answers true; otherwise false.
bool CTRWKWebViewHandleScriptMessage(const platform::Value& body);

}  // namespace sdk
