// Exception capture: custom and JavaScript exceptions into the A/B files,
// fatal exceptions into "exception.clsrecord" with the process recording
// (in child processes that really end), the terminate handler's
// installation, the application object's reporting hook and the start-up
// check's warnings.
#include "sdk/crash/capture/ctr_exception.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "crash_context_fixture.h"
#include "platform/system/user_defaults.h"
#include "sdk/crash/capture/ctr_application.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/crash/capture/ctr_throw_site.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

using testing::CrashContextTest;

// Where a child process of a death test writes, so that the parent can
// read it: the parent's folder, handed down through the environment (the
// child runs the test again from the start, with a temporary root of its
// own).
constexpr const char* kSharedDirVariable = "SYMEX_EXCEPTION_TEST_DIR";

std::string hex(const char* text) { return CTRHexEncodeString(text); }

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Runs `function` where an exception it lets out ends the process through
// std::terminate (a noexcept boundary), as an uncaught exception does.
__attribute__((noinline)) void callTerminating(void (*function)()) noexcept { function(); }

__attribute__((noinline)) void throwForTheRecord() { throw std::runtime_error("kept"); }

// A thrower with a name to look for in the record.
extern "C" __attribute__((noinline)) void ctrTestThrower() {
  throw std::runtime_error("thrown here");
}

std::string unhex(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}
void rethrowActive() { throw; }

void previousReporter(void*, const platform::Exception& exception,
                      const std::vector<std::uint64_t>&) {
  std::fprintf(stderr, "previous reporter called for %s\n", exception.name().c_str());
}

void otherTerminateHandler() { std::abort(); }

class CTRExceptionTest : public CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    const char* inherited = std::getenv(kSharedDirVariable);
    dir_ = inherited != nullptr ? std::string(inherited) : root().path();
    exceptionPath_ = dir_ + "/exception.clsrecord";
    customA_ = dir_ + "/custom_exception_a.clsrecord";
    customB_ = dir_ + "/custom_exception_b.clsrecord";
    sharedLog_ = dir_ + "/sdk.log";
    logPath_ = sharedLog_;
    context_.sdkLogPath = sharedLog_.c_str();
    context_.initialized = true;
    context_.exception.path = exceptionPath_.c_str();
    context_.userLogging.customExceptionStorage = {
        customA_.c_str(), customB_.c_str(), 0, 2, false, &state_.customExceptionCount};
    state_.currentCustomExceptionPath = customA_.c_str();
    savedLogging_ = ctrLoggingQueue;
    savedException_ = ctrExceptionQueue;
    ctrLoggingQueue = platform::dispatch::Queue::createSerial(kCTRLoggingQueueLabel);
    ctrExceptionQueue = platform::dispatch::Queue::createSerial(kCTRExceptionQueueLabel);
    savedTerminate_ = std::get_terminate();
    savedReporter_ = CTRApplicationReportExceptionImplementation();
    CTRProcessSetDebuggerAttachedForTesting(false);
  }

  void TearDown() override {
    drainLogging();
    std::set_terminate(savedTerminate_);
    CTRApplicationSetReportExceptionImplementation(savedReporter_);
    CTRApplicationRegisterSharedApplication(nullptr);
    CTRProcessSetDebuggerAttachedForTesting(std::nullopt);
    platform::UserDefaults::resetStandardUserDefaults();
    ctrLoggingQueue = savedLogging_;
    ctrExceptionQueue = savedException_;
    CrashContextTest::TearDown();
  }

  // Waits for the writes and the swap checks queued on the logging queue.
  void drainLogging() {
    if (!ctrLoggingQueue) return;
    ctrLoggingQueue->sync([] {});
    ctrLoggingQueue->sync([] {});
  }

  void setCrashOnExceptions(bool enabled) {
    platform::UserDefaults::standardUserDefaults()->registerDefaults(
        platform::Value::dictionary({{kCTRCrashOnExceptionsDefaultsKey, enabled}}));
  }

  // Runs the death test with the child writing into this test's folder.
  template <class Body>
  void inChild(Body body) {
    ::setenv(kSharedDirVariable, dir_.c_str(), 1);
    body();
    ::unsetenv(kSharedDirVariable);
  }

  static platform::Value sections(const std::string& path) {
    return CTRFileReadSections(path.c_str(), false);
  }
  static std::size_t countSections(const platform::Value& lines, const char* name) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < lines.count(); ++i) n += lines[i][name].isNone() ? 0 : 1;
    return n;
  }

  std::string dir_, exceptionPath_, customA_, customB_, sharedLog_;
  platform::dispatch::QueuePtr savedLogging_, savedException_;
  std::terminate_handler savedTerminate_ = nullptr;
  CTRReportExceptionImplementation savedReporter_ = nullptr;
};

TEST_F(CTRExceptionTest, CustomExceptionsGoToTheABFilesAndSwapAtTheLimit) {
  auto frame = CTRStackFrame::stackFrameWithAddress(0x4242);
  frame->setSymbol(std::string("f\"()"));
  frame->setLibrary(std::string("libapp.so"));
  frame->setFileName(std::string("app.cpp"));
  frame->setLineNumber(17);
  frame->setOffset(3);
  CTRExceptionRecord(kCTRExceptionTypeCustom, "Bad\"Thing", "it \n broke", {frame}, false);
  CTRExceptionRecord(kCTRExceptionTypeCustom, "second", "r", {}, false);
  drainLogging();
  // Two entries reach the limit of 2: the next goes to B.
  EXPECT_EQ(state_.currentCustomExceptionPath, customB_.c_str());
  CTRExceptionRecord(kCTRExceptionTypeJavaScript, "third", "r", {}, false);
  drainLogging();

  const platform::Value a = sections(customA_);
  ASSERT_EQ(a.count(), 2u);
  const platform::Value first = a[0]["exception"];
  EXPECT_EQ(first["type"].asString(), "custom");
  EXPECT_EQ(first["name"].asString(), hex("Bad\"Thing"));
  EXPECT_EQ(first["reason"].asString(), hex("it \n broke"));
  EXPECT_GT(first["time"].asUInt64(), 1600000000u);
  ASSERT_EQ(first["frames"].count(), 1u);
  const platform::Value written = first["frames"][0];
  EXPECT_EQ(written["pc"].asUInt64(), 0x4242u);
  EXPECT_EQ(written["symbol"].asString(), hex("f\"()"));
  EXPECT_EQ(written["offset"].asUInt64(), 3u);
  EXPECT_EQ(written["library"].asString(), hex("libapp.so"));
  EXPECT_EQ(written["file"].asString(), hex("app.cpp"));
  EXPECT_EQ(written["line"].asUInt64(), 17u);
  EXPECT_TRUE(a[1]["exception"]["frames"].isNone());  // no frames: no key

  const platform::Value b = sections(customB_);
  ASSERT_EQ(b.count(), 1u);
  EXPECT_EQ(b[0]["exception"]["type"].asString(), "javascript");
  EXPECT_FALSE(exists(exceptionPath_));  // non-fatal: no process recording
}

TEST_F(CTRExceptionTest, CustomExceptionLimitZeroRecordsNothing) {
  context_.userLogging.customExceptionStorage.maxEntries = 0;
  CTRExceptionRecord(kCTRExceptionTypeCustom, "n", "r", {}, false);
  drainLogging();
  EXPECT_FALSE(exists(customA_));
  EXPECT_FALSE(exists(customB_));
}

TEST_F(CTRExceptionTest, NothingIsRecordedBeforeStartUpHasFinished) {
  context_.initialized = false;
  CTRExceptionRecord(kCTRExceptionTypeCustom, "n", "r", {}, false);
  CTRExceptionRecord(kCTRExceptionTypeCpp, "n", "r", {}, false);
  drainLogging();
  EXPECT_FALSE(exists(customA_));
  EXPECT_FALSE(exists(exceptionPath_));
  EXPECT_EQ(sdkLog().find("Recording an exception"), std::string::npos);
}

TEST_F(CTRExceptionTest, ScriptMessagesWithADictionaryBodyAreJavaScriptExceptions) {
  EXPECT_TRUE(CTRWKWebViewHandleScriptMessage(platform::Value::dictionary(
      {{"msg", "TypeError: x is undefined"}, {"url", "app://index.html"}, {"line", 3}})));
  // A body whose "msg" is no text is still recorded, with an empty reason.
  EXPECT_TRUE(CTRWKWebViewHandleScriptMessage(platform::Value::dictionary({{"msg", 5}})));
  EXPECT_FALSE(CTRWKWebViewHandleScriptMessage(platform::Value("just text")));
  EXPECT_FALSE(CTRWKWebViewHandleScriptMessage(platform::Value()));
  drainLogging();
  const platform::Value a = sections(customA_);
  ASSERT_EQ(a.count(), 2u);
  const platform::Value line = a[0]["exception"];
  EXPECT_EQ(line["type"].asString(), "javascript");
  EXPECT_EQ(line["name"].asString(), hex("exception"));
  EXPECT_EQ(line["reason"].asString(), hex("TypeError: x is undefined"));
  EXPECT_TRUE(line["frames"].isNone());
  EXPECT_EQ(a[1]["exception"]["reason"].asString(), "");
}

TEST_F(CTRExceptionTest, WebViewScriptNeedsAnEngine) {
  CTRWebViewConfiguration configuration;
  EXPECT_FALSE(CTRWKWebViewInstallErrorScript(&configuration));
  EXPECT_TRUE(configuration.userScripts.empty());
  CTRWKWebViewSetEngineAvailableForTesting(true);
  EXPECT_TRUE(CTRWKWebViewInstallErrorScript(&configuration));
  EXPECT_FALSE(CTRWKWebViewInstallErrorScript(nullptr));
  CTRWKWebViewSetEngineAvailableForTesting(false);
  ASSERT_EQ(configuration.userScripts.size(), 1u);
  EXPECT_EQ(configuration.userScripts[0].injectionTime, 1);
  EXPECT_TRUE(configuration.userScripts[0].forMainFrameOnly);
  const std::string& script = configuration.userScripts[0].source;
  EXPECT_NE(script.find("window.webkit.messageHandlers.crashtrail.postMessage"), std::string::npos);
  EXPECT_NE(script.find("crashtrailOriginalOnError"), std::string::npos);
  EXPECT_NE(script.find("window.onload = crashtrailOnLoad"), std::string::npos);
}

TEST_F(CTRExceptionTest, InitializeInstallsTheTerminateHandlerOnce) {
  std::set_terminate(&otherTerminateHandler);
  {
    std::FILE* old = std::fopen(exceptionPath_.c_str(), "w");
    ASSERT_NE(old, nullptr);
    std::fclose(old);
  }
  state_.customExceptionCount = 9;
  CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
  EXPECT_FALSE(exists(exceptionPath_));
  EXPECT_EQ(state_.customExceptionCount, 0u);
  EXPECT_EQ(std::get_terminate(), &CTRTerminateHandler);
  EXPECT_EQ(context_.exception.previousTerminateHandler, &otherTerminateHandler);
  // Again: the handler does not become its own predecessor.
  CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
  EXPECT_EQ(context_.exception.previousTerminateHandler, &otherTerminateHandler);
  // No application object: nothing hooked, even with the default set.
  EXPECT_EQ(CTRApplicationReportExceptionImplementation(), savedReporter_);
}

TEST_F(CTRExceptionTest, TheApplicationHookNeedsTheDefaultAndAnApplication) {
  CTRApplicationRegisterSharedApplication(std::make_shared<int>(1));
  CTRApplicationSetReportExceptionImplementation(&previousReporter);
  setCrashOnExceptions(false);
  CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
  EXPECT_EQ(CTRApplicationReportExceptionImplementation(), &previousReporter);
  setCrashOnExceptions(true);
  CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
  EXPECT_EQ(CTRApplicationReportExceptionImplementation(), &CTRExceptionReportExceptionHook);
  EXPECT_EQ(context_.exception.previousReportImplementation,
            reinterpret_cast<void*>(&previousReporter));
  CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
  EXPECT_EQ(context_.exception.previousReportImplementation,
            reinterpret_cast<void*>(&previousReporter));
}

TEST_F(CTRExceptionTest, CheckHandlersWarnsAboutWhatCannotBeRecorded) {
  {
    BCNConsoleCapture console;
    CTRApplicationRegisterSharedApplication(std::make_shared<int>(1));
    std::set_terminate(&otherTerminateHandler);
    CTRExceptionCheckHandlers();
    EXPECT_TRUE(console.contains(
        "[Crashtrail:Crash] Warning: NSApplicationCrashOnExceptions is not set. This will result "
        "in poor top-level uncaught exception reporting."));
    EXPECT_TRUE(console.contains("[Crashtrail:Crash] Warning: std::get_terminate is '"));
    EXPECT_FALSE(console.contains("cannot be intercepted"));
  }
  {
    BCNConsoleCapture console;
    setCrashOnExceptions(true);
    CTRExceptionCheckHandlers();
    EXPECT_TRUE(console.contains(
        "[Crashtrail:Crash] Warning: top-level NSApplication-reported exceptions cannot be "
        "intercepted"));
    EXPECT_FALSE(console.contains("is not set"));
  }
  {
    BCNConsoleCapture console;
    CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
    CTRExceptionCheckHandlers();
    EXPECT_TRUE(console.lines().empty());
  }
  {
    // With a debugger attached only the first check runs.
    BCNConsoleCapture console;
    CTRApplicationRegisterSharedApplication(nullptr);
    std::set_terminate(&otherTerminateHandler);
    CTRProcessSetDebuggerAttachedForTesting(true);
    CTRExceptionCheckHandlers();
    EXPECT_TRUE(console.lines().empty());
  }
}

// --- fatal exceptions, in child processes ------------------------------------

class CTRExceptionDeathTest : public CTRExceptionTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CTRExceptionTest::SetUp();
  }

  // The exception line of the record, after checking that the process
  // recording follows it.
  platform::Value recordedException() {
    const platform::Value lines = sections(exceptionPath_);
    EXPECT_EQ(countSections(lines, "exception"), 1u);
    EXPECT_GE(lines.count(), 2u);
    EXPECT_EQ(countSections(lines, "threads"), 1u);
    return lines[0]["exception"];
  }
};

TEST_F(CTRExceptionDeathTest, UncaughtCStringIsRecordedWithTheProcessThenAborts) {
  inChild([&] {
    EXPECT_EXIT(
        {
          CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
          callTerminating([] { throw "boom"; });
        },
        ::testing::KilledBySignal(SIGABRT), "");
  });
  const platform::Value line = recordedException();
  EXPECT_EQ(line["type"].asString(), "c++");
  EXPECT_EQ(line["name"].asString(), hex("const char *"));
  EXPECT_EQ(line["reason"].asString(), hex("boom"));
  const std::string log = sdkLog();
  EXPECT_NE(log.find("C++ terminate handler invoked"), std::string::npos);
  EXPECT_NE(log.find("restoring pre-existing handler"), std::string::npos);
  EXPECT_NE(log.find("invoking pre-existing handler"), std::string::npos);
}

TEST_F(CTRExceptionDeathTest, UncaughtStandardErrorsCarryTheirTypeAndWhat) {
  inChild([&] {
    EXPECT_EXIT(
        {
          CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
          callTerminating([] { throw std::runtime_error("x"); });
        },
        ::testing::KilledBySignal(SIGABRT), "");
  });
  const platform::Value line = recordedException();
  EXPECT_EQ(line["type"].asString(), "c++");
  EXPECT_EQ(line["name"].asString(), hex("std::runtime_error"));
  EXPECT_EQ(line["reason"].asString(), hex("x"));
}

// The exception record carries the frames of the throw, the thrower first
// (not the runtime's and the SDK's own frames above it).
TEST_F(CTRExceptionDeathTest, TheExceptionRecordStartsAtTheThrower) {
  inChild([&] {
    EXPECT_EXIT(
        {
          CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
          callTerminating(&ctrTestThrower);
        },
        ::testing::KilledBySignal(SIGABRT), "");
  });
  const platform::Value line = recordedException();
  const platform::Value frames = line["frames"];
  ASSERT_GE(frames.count(), 2u) << sdkLog();
  // (The throw may sit in the function's cold part, elsewhere in the image.)
  EXPECT_EQ(unhex(frames[0]["symbol"].asString()), "ctrTestThrower");
  EXPECT_NE(unhex(frames[1]["symbol"].asString()).find("callTerminating"), std::string::npos)
      << unhex(frames[1]["symbol"].asString());
  // The crashed thread's stack starts at the same place, inside the call.
  int crashed = 0;
  for (const platform::Value& section : sections(exceptionPath_).elements()) {
    for (const platform::Value& thread : section["threads"].elements()) {
      if (!thread["crashed"].asBool()) continue;
      ++crashed;
      ASSERT_GE(thread["stacktrace"].count(), 2u);
      EXPECT_EQ(thread["stacktrace"][0].asUInt64(), frames[0]["pc"].asUInt64());
    }
  }
  EXPECT_EQ(crashed, 1);
}

TEST_F(CTRExceptionDeathTest, UncaughtStdStringAndOtherTypes) {
  inChild([&] {
    EXPECT_EXIT(
        {
          CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
          callTerminating([] { throw 42; });
        },
        ::testing::KilledBySignal(SIGABRT), "");
  });
  const platform::Value line = recordedException();
  EXPECT_EQ(line["name"].asString(), hex("int"));
  EXPECT_EQ(line["reason"].asString(), "");
}

TEST_F(CTRExceptionDeathTest, ApplicationReportedExceptionIsRecordedOnce) {
  inChild([&] {
    EXPECT_EXIT(
        {
          CTRApplicationRegisterSharedApplication(std::make_shared<int>(1));
          setCrashOnExceptions(true);
          CTRApplicationSetReportExceptionImplementation(&previousReporter);
          CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
          try {
            throw platform::Exception("NSRangeException", "index 3 beyond bounds");
          } catch (const platform::Exception& exception) {
            // The application's event loop reports it, then lets it go on.
            CTRApplicationReportException(exception, {0x1111, 0x2222});
            callTerminating(&rethrowActive);
          }
        },
        ::testing::KilledBySignal(SIGABRT), "previous reporter called for NSRangeException");
  });
  const platform::Value line = recordedException();
  EXPECT_EQ(line["type"].asString(), "objective-c");
  EXPECT_EQ(line["name"].asString(), hex("NSRangeException"));
  EXPECT_EQ(line["reason"].asString(), hex("index 3 beyond bounds"));
  ASSERT_EQ(line["frames"].count(), 2u);
  EXPECT_EQ(line["frames"][0]["pc"].asUInt64(), 0x1111u);
  EXPECT_EQ(line["frames"][1]["pc"].asUInt64(), 0x2222u);
  EXPECT_NE(sdkLog().find("Skipping ObjC exception at this point"), std::string::npos);
}

TEST_F(CTRExceptionDeathTest, ApplicationExceptionTheHookNeverSawIsStillRecorded) {
  inChild([&] {
    EXPECT_EXIT(
        {
          CTRExceptionInitialize(&context_.exception, &state_.customExceptionCount);
          callTerminating([] { throw platform::Exception("NSGenericException", "gone"); });
        },
        ::testing::KilledBySignal(SIGABRT), "");
  });
  const platform::Value line = recordedException();
  EXPECT_EQ(line["type"].asString(), "objective-c");
  EXPECT_EQ(line["name"].asString(), hex("NSGenericException"));
  EXPECT_EQ(line["reason"].asString(), hex("gone"));
}

// A throw keeps its callers' return addresses for its own object only.
TEST(CTRThrowSiteTest, AThrowKeepsItsFramesForItsOwnObject) {
  std::uintptr_t frames[kCTRThrowSiteMaxFrames];
  try {
    throwForTheRecord();
  } catch (const std::runtime_error&) {
    const std::exception_ptr active = std::current_exception();
    void* object = nullptr;
    std::memcpy(&object, static_cast<const void*>(&active), sizeof(object));
    const std::size_t count = CTRThrowSiteReturnAddresses(object, frames, kCTRThrowSiteMaxFrames);
    ASSERT_GE(count, 2u);
    const auto thrower = reinterpret_cast<std::uintptr_t>(&throwForTheRecord);
    EXPECT_GT(frames[0], thrower);
    EXPECT_LT(frames[0], thrower + 256);
    int other = 0;
    EXPECT_EQ(CTRThrowSiteReturnAddresses(&other, frames, kCTRThrowSiteMaxFrames), 0u);
    EXPECT_EQ(CTRThrowSiteReturnAddresses(nullptr, frames, kCTRThrowSiteMaxFrames), 0u);
  }
}

}  // namespace
}  // namespace sdk
