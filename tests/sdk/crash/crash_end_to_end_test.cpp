// The crash road end to end, in two launches of a host program (this test
// binary, started again as a child process): the first starts the kit and
// dies of a segmentation fault; the second finds the report, symbolicates,
// packages and uploads it to the (loopback) crash-report service.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/bundle.h"
#include "platform/system/file_util.h"
#include "platform/system/user_defaults.h"
#include "sdk/crash/crashtrail.h"
#include "sdk/crash/ctr_file_manager.h"
#include "sdk/platform/beacon.h"
#include "sdk/platform/ctr_user_defaults.h"
#include "support/http_test_server.h"
#include "support/multipart_form.h"
#include "support/temp_root.h"

extern char** environ;

namespace sdk {
namespace {

using namespace std::chrono_literals;

constexpr const char* kRoleVariable = "VARNEL_CRASH_E2E_ROLE";
constexpr const char* kServerVariable = "VARNEL_CRASH_E2E_SERVER";
constexpr const char* kBundleIdentifier = "com.varnel.crash-e2e";
constexpr const char* kAPIKey = "00112233445566778899aabbccddeeff00112233";
const std::string kReportsPath =
    std::string("/sdk-api/v1/platforms/mac/apps/") + kBundleIdentifier + "/reports";

// The host program's bundle: its API key and the loopback services.
platform::BundlePtr hostBundle(const std::string& server) {
  auto info = platform::Value::mutableDictionary();
  info.set("CFBundleIdentifier", platform::Value(kBundleIdentifier));
  info.set("CFBundleName", platform::Value("Crash E2E"));
  info.set("CFBundleVersion", platform::Value("12"));
  info.set("CFBundleShortVersionString", platform::Value("1.2"));
  info.set("Beacon", platform::Value::dictionary({{"APIKey", kAPIKey}}));
  info.set("Crashtrail",
           platform::Value::dictionary({{"ReportsEndpoint", server}, {"BetaEndpoint", server}}));
  return std::make_shared<platform::Bundle>("/proc/self/exe", "", std::move(info));
}

// A real fault (not a raised signal), out of reach of the sanitizers.
__attribute__((noinline, no_sanitize("address", "undefined"))) void faultNow() {
  static volatile std::uintptr_t address = 16;
  *reinterpret_cast<volatile int*>(address) = 1;
}

// Unbounded recursion (the volatile limit hides that from the compiler).
volatile int gRecursionLimit = 1 << 30;
__attribute__((noinline, no_sanitize("address", "undefined"))) int overflowNow(int depth) {
  volatile char pad[256];
  pad[depth % sizeof(pad)] = static_cast<char>(depth);
  if (depth >= gRecursionLimit) return pad[0];
  return overflowNow(depth + 1) + pad[0];
}

#if defined(__x86_64__)
// Its very first instruction is invalid.
extern "C" __attribute__((naked, noinline)) void crashE2EInvalidInstruction() {
  __asm__ volatile("ud2");
}
#else
extern "C" __attribute__((noinline)) void crashE2EInvalidInstruction() { __builtin_trap(); }
#endif

__attribute__((noinline)) void throwUncaught() { throw std::runtime_error("uncaught on a worker"); }

// The crash kinds run on a dispatch worker, with the signal each ends by.
struct WorkerCrash {
  const char* kind;
  int signal;
  void (*fire)();
};
const WorkerCrash kWorkerCrashes[] = {
    {"segv", SIGSEGV, &faultNow},
    {"abort", SIGABRT, [] { std::abort(); }},
    {"invalid-instruction", SIGILL, &crashE2EInvalidInstruction},
    {"exception", SIGABRT, &throwUncaught},
};

bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return platform::runloop::RunLoop::main().runUntil(done, timeout);
}

// --- the host program (child process) ------------------------------------------------

// Role "crash": start the kit, record a key, fault. Role "report": start the
// kit and wait until the earlier report has left every directory (its
// package is deleted only after an accepted upload). Exit codes: 0 done,
// 2 the kit did not start, 3 no fault, 4 the report was not sent in time.
TEST(CrashEndToEndChild, DISABLED_HostProgram) {
  const char* role = std::getenv(kRoleVariable);
  const char* server = std::getenv(kServerVariable);
  if (role == nullptr || server == nullptr) GTEST_SKIP() << "runs only as the test's child";
  // The SDK describes the host program, as the one it is built into.
  const platform::BundlePtr bundle = hostBundle(server);
  Beacon::resetSharedSDKForTesting({bundle});
  CTRUserDefaults::resetStandardUserDefaultsForTesting(bundle);
  platform::UserDefaults::resetStandardUserDefaults(bundle);
  Beacon::with({kCrashtrailKitClassName});
  auto kit = Crashtrail::sharedInstance();
  auto controller = kit->crashReportingController();
  if (!kit->isCrashtrailStarted() || !controller || !controller->currentReport()) ::_exit(2);

  for (const WorkerCrash& crash : kWorkerCrashes) {
    if (std::string(role) != std::string(crash.kind) + "-on-worker") continue;
    // The main thread would end the program normally (status 4) as soon as
    // it runs again after the process was recorded: it must not run again.
    const std::string marker = controller->launchMarkerPath();
    runMainUntil([&] { return ::access(marker.c_str(), F_OK) != 0; }, 5s);
    const std::string record = controller->currentReport()->path() + "/signal.clsrecord";
    platform::dispatch::Queue::global()->async(crash.fire);
    for (int i = 0; i < 30000; ++i) {
      auto text = platform::files::readFile(record);
      if (text && text->find("\"crashed\":true") != std::string::npos) ::_exit(4);
      ::usleep(1000);
    }
    ::_exit(3);
  }
  if (std::string(role) == "overflow-on-worker") {
    // A stack overflow on a thread of the platform's pool: its own
    // alternate signal stack lets the handler run and record it.
    const std::string marker = controller->launchMarkerPath();
    runMainUntil([&] { return ::access(marker.c_str(), F_OK) != 0; }, 5s);
    platform::dispatch::Queue::global()->async([] { overflowNow(0); });
    runMainUntil([] { return false; }, 30s);
    ::_exit(3);
  }
  if (std::string(role) == "overflow-on-std-thread") {
    // A thread neither the SDK nor the platform started: the thread-start
    // wrapper gave it its stack.
    const std::string marker = controller->launchMarkerPath();
    runMainUntil([&] { return ::access(marker.c_str(), F_OK) != 0; }, 5s);
    std::thread([] { overflowNow(0); }).detach();
    runMainUntil([] { return false; }, 30s);
    ::_exit(3);
  }
  if (std::string(role) == "overflow-on-main") {
    // The main thread of a program that never set up an alternate signal
    // stack itself: starting the SDK on it gave it one.
    const std::string marker = controller->launchMarkerPath();
    runMainUntil([&] { return ::access(marker.c_str(), F_OK) != 0; }, 5s);
    overflowNow(0);
    ::_exit(3);
  }
  if (std::string(role).rfind("crash-on-full-disk-", 0) == 0) {
    // A disk that takes no more than N bytes of any file from now on (the
    // file size limit; writes past it fail with EFBIG).
    const std::string marker = controller->launchMarkerPath();
    runMainUntil([&] { return ::access(marker.c_str(), F_OK) != 0; }, 5s);
    const rlim_t bytes = std::strtoull(role + std::strlen("crash-on-full-disk-"), nullptr, 10);
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit { bytes, bytes };
    ::setrlimit(RLIMIT_FSIZE, &limit);
    faultNow();
    ::_exit(3);
  }
  if (std::string(role) == "crash") {
    kit->setObjectValue(platform::Value("connected"), "vpn_state");
    kit->setUserIdentifier(std::string("user-7"));
    kit->recordError(platform::Error("com.varnel.tunnel", 7),
                     platform::Value::dictionary({{"server", "de-1"}}));
    kit->recordCustomExceptionName("TunnelGaveUp", "no route", {});
    // Let the launch finish its set-up (the launch marker goes at the first
    // main-queue turn).
    const std::string marker = controller->launchMarkerPath();
    runMainUntil([&] { return ::access(marker.c_str(), F_OK) != 0; }, 5s);
    faultNow();
    ::_exit(3);
  }

  CTRFileManager files(bundle);
  const std::string own = controller->currentReport()->directoryName();
  const bool sent = runMainUntil(
      [&] {
        auto active = files.activePathContents();
        return active.size() == 1 && active[0].find(own) != std::string::npos &&
               files.processingPathContents().empty() && files.preparedPathContents().empty();
      },
      60s);
  ::_exit(sent ? 0 : 4);
}

// --- the test ---------------------------------------------------------------------------

class CrashEndToEndTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    server_ = test_support::HTTPTestServer::start();
    // The kit registry's settings and onboarding go to the same loopback server.
    ::setenv("SettingsEndpoint", server_->baseURL().c_str(), 1);
    ::setenv("ConfigureEndpoint", server_->baseURL().c_str(), 1);
    server_->setReply(kReportsPath,
                      test_support::HTTPReply::text(202, "{}", "application/json; charset=utf-8"));
    bundle_ = hostBundle(server_->baseURL());
  }
  void TearDown() override {
    ::unsetenv("SettingsEndpoint");
    ::unsetenv("ConfigureEndpoint");
    server_.reset();
  }

  // Runs this binary as the host program; answers its wait status.
  int runHost(const std::string& role) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.push_back(std::string(kRoleVariable) + "=" + role);
    env.push_back(std::string(kServerVariable) + "=" + server_->baseURL());
    std::vector<std::string> args = {"/proc/self/exe",
                                     "--gtest_filter=CrashEndToEndChild.DISABLED_HostProgram",
                                     "--gtest_also_run_disabled_tests"};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), envp.data()) != 0) {
      return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }

  std::vector<test_support::HTTPRecordedRequest> reportUploads() const {
    std::vector<test_support::HTTPRecordedRequest> uploads;
    for (auto& request : server_->requests()) {
      if (request.path == kReportsPath) uploads.push_back(request);
    }
    return uploads;
  }

  std::unique_ptr<test_support::HTTPTestServer> server_;
  platform::BundlePtr bundle_;  // the host program's
};

TEST_F(CrashEndToEndTest, ACrashIsReportedAtTheNextLaunch) {
  // First launch: the fault ends the program, after its records are written.
  const int crashed = runHost("crash");
  ASSERT_FALSE(WIFEXITED(crashed) && (WEXITSTATUS(crashed) == 2 || WEXITSTATUS(crashed) == 3 ||
                                      WEXITSTATUS(crashed) == 0))
      << "exit status " << WEXITSTATUS(crashed);
  if (WIFSIGNALED(crashed)) {
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer's handler, put back after ours, reports the
    // fault again and may end the program with an abort.
    EXPECT_TRUE(WTERMSIG(crashed) == SIGSEGV || WTERMSIG(crashed) == SIGABRT) << WTERMSIG(crashed);
#else
    EXPECT_EQ(WTERMSIG(crashed), SIGSEGV);
#endif
  }

  CTRFileManager files(bundle_);
  auto active = files.activePathContents();
  ASSERT_EQ(active.size(), 1u);
  const std::string reportID = platform::files::lastComponent(active[0]);
  EXPECT_TRUE(platform::files::readFile(active[0] + "/signal.clsrecord").has_value());
  EXPECT_TRUE(reportUploads().empty());

  // Second launch: the report is sent and leaves the disk.
  const int reported = runHost("report");
  ASSERT_TRUE(WIFEXITED(reported)) << "host ended by signal " << WTERMSIG(reported);
  ASSERT_EQ(WEXITSTATUS(reported), 0);

  auto uploads = reportUploads();
  ASSERT_EQ(uploads.size(), 1u);
  const auto& upload = uploads[0];
  EXPECT_EQ(upload.method, "POST");
  const std::string contentType = upload.header("Content-Type").value_or("");
  const std::string prefix = "multipart/form-data; boundary=";
  ASSERT_EQ(contentType.rfind(prefix, 0), 0u) << contentType;
  auto parts = varnel::testing::multipartParts(upload.body, contentType.substr(prefix.size()))
                   .value_or(std::vector<varnel::testing::FormPart>{});

  std::map<std::string, varnel::testing::FormPart> byName;
  for (auto& part : parts) byName[part.name] = part;
  ASSERT_TRUE(byName.count("api_key"));
  EXPECT_EQ(byName["api_key"].body, kAPIKey);
  ASSERT_TRUE(byName.count("report_id"));
  EXPECT_EQ(byName["report_id"].body, reportID);
  EXPECT_EQ(parts[0].name, "api_key");
  EXPECT_EQ(parts[1].name, "report_id");

  ASSERT_TRUE(byName.count("signal.clsrecord"));
  const varnel::testing::FormPart& signal = byName["signal.clsrecord"];
  EXPECT_EQ(signal.fileName, "signal.clsrecord.gz");
  EXPECT_EQ(signal.headers.at("content-type"), "application/x-gzip");
  auto record = varnel::testing::gunzip(signal.body);
  ASSERT_TRUE(record.has_value());
  EXPECT_NE(record->find("\"signal\""), std::string::npos) << *record;
  EXPECT_NE(record->find("\"number\":11"), std::string::npos) << *record;
  // The key the program recorded through the kit travels with the report.
  EXPECT_TRUE(byName.count("user_incremental_kv.clsrecord") ||
              byName.count("user_compacted_kv.clsrecord"));
  EXPECT_TRUE(byName.count("internal_incremental_kv.clsrecord") ||
              byName.count("internal_compacted_kv.clsrecord"));

  // So do the recorded error and the custom exception.
  ASSERT_TRUE(byName.count("errors_a.clsrecord"));
  auto errors = varnel::testing::gunzip(byName["errors_a.clsrecord"].body);
  ASSERT_TRUE(errors.has_value());
  EXPECT_NE(errors->find("\"code\":7"), std::string::npos) << *errors;
  ASSERT_TRUE(byName.count("custom_exception_a.clsrecord"));
  auto custom = varnel::testing::gunzip(byName["custom_exception_a.clsrecord"].body);
  ASSERT_TRUE(custom.has_value());
  EXPECT_NE(custom->find("\"type\":\"custom\""), std::string::npos) << *custom;

  // Only this launch's report directory (of the second launch) is left.
  EXPECT_EQ(files.processingPathContents().size(), 0u);
  EXPECT_EQ(files.preparedPathContents().size(), 0u);
}

TEST_F(CrashEndToEndTest, ACrashOnAWorkerEndsTheProgramByItsSignalWithTheOthersHeld) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's handler, put back after ours, decides the end";
#endif
  for (const WorkerCrash& crash : kWorkerCrashes) {
    SCOPED_TRACE(crash.kind);
    const int status = runHost(std::string(crash.kind) + "-on-worker");
    EXPECT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    if (WIFSIGNALED(status)) {
      EXPECT_EQ(WTERMSIG(status), crash.signal);
    }

    CTRFileManager files(bundle_);
    auto active = files.activePathContents();
    ASSERT_EQ(active.size(), 1u);
    auto record = platform::files::readFile(active[0] + "/signal.clsrecord");
    ASSERT_TRUE(record.has_value());
    EXPECT_NE(record->find("\"number\":" + std::to_string(crash.signal)), std::string::npos)
        << *record;
    // The record is whole: its last section was written.
    EXPECT_NE(record->find("\"crashed\":true"), std::string::npos);
    EXPECT_NE(record->find("{\"storage\":"), std::string::npos);
    if (std::string(crash.kind) == "exception") {
      EXPECT_TRUE(platform::files::readFile(active[0] + "/exception.clsrecord").has_value());
    }
    std::filesystem::remove_all(active[0]);
  }
}

TEST_F(CrashEndToEndTest, ACrashOnAFullDiskSendsNoReportWithoutItsRecord) {
  // 0: the record file is made but stays empty; 40: its first line is cut.
  for (const char* limit : {"0", "40"}) {
    SCOPED_TRACE(limit);
    const int crashed = runHost(std::string("crash-on-full-disk-") + limit);
    ASSERT_FALSE(WIFEXITED(crashed) && WEXITSTATUS(crashed) != 1)
        << "exit status " << WEXITSTATUS(crashed);
    CTRFileManager files(bundle_);
    ASSERT_EQ(files.activePathContents().size(), 1u);

    // The next launch (with room again) sends nothing that says nothing of
    // the crash, and leaves only its own report.
    const int reported = runHost("report");
    ASSERT_TRUE(WIFEXITED(reported)) << "host ended by signal " << WTERMSIG(reported);
    EXPECT_EQ(WEXITSTATUS(reported), 0);
    EXPECT_TRUE(reportUploads().empty());
    for (const auto& path : files.activePathContents()) std::filesystem::remove_all(path);
  }
}

TEST_F(CrashEndToEndTest, AStackOverflowOnAPlatformThreadIsRecorded) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reports a stack overflow itself and exits";
#endif
  const int crashed = runHost("overflow-on-worker");
  ASSERT_TRUE(WIFSIGNALED(crashed)) << "exit status " << WEXITSTATUS(crashed);
  CTRFileManager files(bundle_);
  auto active = files.activePathContents();
  ASSERT_EQ(active.size(), 1u);
  auto record = platform::files::readFile(active[0] + "/signal.clsrecord");
  ASSERT_TRUE(record.has_value()) << "no signal record: the handler had no stack to run on";
  EXPECT_NE(record->find("\"number\":11"), std::string::npos) << *record;
  EXPECT_NE(record->find("\"crashed\":true"), std::string::npos);
}

TEST_F(CrashEndToEndTest, AStackOverflowOnTheMainThreadIsRecordedWithoutTheProgramsOwnSetUp) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reports a stack overflow itself and exits";
#endif
  const int crashed = runHost("overflow-on-main");
  ASSERT_TRUE(WIFSIGNALED(crashed)) << "exit status " << WEXITSTATUS(crashed);
  EXPECT_EQ(WTERMSIG(crashed), SIGSEGV);
  CTRFileManager files(bundle_);
  auto active = files.activePathContents();
  ASSERT_EQ(active.size(), 1u);
  auto record = platform::files::readFile(active[0] + "/signal.clsrecord");
  ASSERT_TRUE(record.has_value()) << "no signal record: the handler had no stack to run on";
  EXPECT_NE(record->find("\"number\":11"), std::string::npos) << *record;
  EXPECT_NE(record->find("\"crashed\":true"), std::string::npos);
}

TEST_F(CrashEndToEndTest, AStackOverflowOnAPlainStdThreadIsRecorded) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reports a stack overflow itself and exits";
#endif
  const int crashed = runHost("overflow-on-std-thread");
  ASSERT_TRUE(WIFSIGNALED(crashed)) << "exit status " << WEXITSTATUS(crashed);
  EXPECT_EQ(WTERMSIG(crashed), SIGSEGV);
  CTRFileManager files(bundle_);
  auto active = files.activePathContents();
  ASSERT_EQ(active.size(), 1u);
  auto record = platform::files::readFile(active[0] + "/signal.clsrecord");
  ASSERT_TRUE(record.has_value()) << "no signal record: the handler had no stack to run on";
  EXPECT_NE(record->find("\"number\":11"), std::string::npos) << *record;
  EXPECT_NE(record->find("\"crashed\":true"), std::string::npos);
}

}  // namespace
}  // namespace sdk
