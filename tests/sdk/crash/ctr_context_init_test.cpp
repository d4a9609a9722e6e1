#include "sdk/crash/capture/ctr_context_init.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <iterator>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "crash_context_fixture.h"
#include "platform/system/bundle.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/crash/capture/ctr_throw_site.h"
#include "sdk/platform/bcn_console.h"
#include "support/temp_root.h"

extern char** environ;

namespace sdk {
namespace {

std::string permissionsAt(const void* p) {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%llx-%llx %4s", &start, &end, perms) != 3) continue;
    if (address >= start && address < end) return perms;
  }
  return {};
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the hooks saw (each hook runs once per start-up, on one thread).
struct HookCalls {
  std::atomic<int> signal{0};
  std::atomic<int> exception{0};
  std::atomic<int> binaryImages{0};
  std::atomic<int> userLogging{0};
  std::atomic<int> executable{0};
  std::string signalPath;
  std::string exceptionPath;
  std::uint32_t* customExceptionCount = nullptr;
  std::string binaryImageLogPath;
  std::string userLoggingDirectory;
  std::string userLoggingAPIKey;
  std::uint32_t userLoggingMaxCustomKeys = 0;
  std::latch* userLoggingGate = nullptr;  // when set, user logging waits for it
};
HookCalls* calls = nullptr;

CTRCaptureHooks recordingHooks() {
  CTRCaptureHooks hooks;
  hooks.signalInitialize = [](CTRSignalState* state) {
    calls->signalPath = state->path ? state->path : "";
    ++calls->signal;
  };
  hooks.exceptionInitialize = [](CTRExceptionState* state, std::uint32_t* count) {
    calls->exceptionPath = state->path ? state->path : "";
    calls->customExceptionCount = count;
    ++calls->exception;
  };
  hooks.binaryImageInit = [] {
    calls->binaryImageLogPath = ctrContext->binaryImageLogPath;
    ++calls->binaryImages;
  };
  hooks.userLoggingInitialize = [](const CTRCaptureStartRecord* record) {
    if (calls->userLoggingGate != nullptr) calls->userLoggingGate->wait();
    calls->userLoggingDirectory = record->reportDirectoryPath;
    calls->userLoggingAPIKey = record->apiKey;
    calls->userLoggingMaxCustomKeys = record->maxCustomKeys;
    ++calls->userLogging;
  };
  hooks.binaryImageRecordMainExecutable = [](CTRFile* file) {
    CTRFileBeginSection(file, "executable");
    CTRFileBeginObject(file);
    CTRFileWriteStringField(file, "architecture", "x86_64");
    CTRFileEndObject(file);
    CTRFileEndSection(file);
    ++calls->executable;
    return true;
  };
  return hooks;
}

class CountingTarget : public CTRCrashCallbackTarget {
 public:
  void deliverCrashDelegateCallback() override { ++delivered; }
  int delivered = 0;
};

class ContextInitTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    calls = &calls_;
    directory_ = root().file("report");
    ASSERT_EQ(::mkdir(directory_.c_str(), 0755), 0);
    CTRContextSetCaptureHooks(recordingHooks());
    CTRProcessSetDebuggerAttachedForTesting(false);
    record_.apiKey = "0123456789abcdef";
    record_.reportDirectoryPath = directory_.c_str();
    record_.sessionID = "5c0ffee0000000000000000000000001";
    record_.installID = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
    record_.machExceptionMask = 0x3fe;
    record_.errorReportingEnabled = true;
    record_.customExceptionsEnabled = true;
    record_.maxCustomExceptions = 8;
    record_.logBufferSize = 65536;
    record_.maxCustomKeys = 64;
    record_.bundle = std::make_shared<platform::Bundle>(
        "/opt/app/bin/app", "/opt/app/share/app",
        platform::Value::dictionary({{"CFBundleIdentifier", "com.example/app"},
                                     {"CFBundleVersion", "77"},
                                     {"CFBundleShortVersionString", "2.1"}}));
  }

  void TearDown() override {
    CTRContextSetInitializationTimeoutForTesting(std::nullopt);
    sdk::testing::resetCrashGlobals();
    calls = nullptr;
  }

  std::string path(const char* name) const { return directory_ + "/" + name; }
  std::string sdkLog() const { return readFile(path("sdk.log")); }

  HookCalls calls_;
  std::string directory_;
  CTRCaptureStartRecord record_;
};

TEST_F(ContextInitTest, StartUpPreparesTheContextAndProtectsIt) {
  auto target = std::make_shared<CountingTarget>();
  record_.crashCallbackTarget = target;
  record_.firstInstall = true;
  ASSERT_TRUE(CTRContextInitialize(&record_));
  ASSERT_TRUE(CTRContextIsInitialized());

  CTRContext* context = ctrContext;
  CTRWritableState* state = ctrWritableState;
  CTRAllocator* allocator = ctrAllocator;
  ASSERT_NE(context, nullptr);
  ASSERT_NE(state, nullptr);
  ASSERT_NE(allocator, nullptr);
  EXPECT_FALSE(context->debuggerAttached);
  EXPECT_TRUE(context->firstInstall);
  EXPECT_EQ(context->crashCallbackTarget, target.get());
  EXPECT_EQ(context->urgentSubmissionTarget, nullptr);
  EXPECT_STREQ(context->sdkLogPath, path("sdk.log").c_str());
  EXPECT_STREQ(context->binaryImageLogPath, path("binary_images.clsrecord").c_str());
  EXPECT_STREQ(context->signal.path, path("signal.clsrecord").c_str());
  EXPECT_STREQ(context->exception.path, path("exception.clsrecord").c_str());
  EXPECT_STREQ(context->mach.path, path("mach_exception.clsrecord").c_str());
  EXPECT_EQ(context->mach.mask, 0x3feu);
  EXPECT_EQ(context->exception.maxCustomExceptions, 8u);
  EXPECT_EQ(context->host.pageSize, 4096u);

  // Where everything lives: the context and its paths in the read-only
  // region, the stacks and the writable state in the writable region.
  const auto inRegion = [](const void* p, const CTRAllocatorRegion& region) {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    return a >= region.base && a < region.base + region.size;
  };
  EXPECT_TRUE(inRegion(context, allocator->readOnly));
  EXPECT_TRUE(inRegion(context->sdkLogPath, allocator->readOnly));
  EXPECT_TRUE(inRegion(context->signal.path, allocator->readOnly));
  EXPECT_TRUE(inRegion(state, allocator->writable));
  EXPECT_TRUE(inRegion(context->signalStack, allocator->writable));
  EXPECT_TRUE(inRegion(context->machStack, allocator->writable));
  const std::uintptr_t signalStack = reinterpret_cast<std::uintptr_t>(context->signalStack);
  const std::uintptr_t machStack = reinterpret_cast<std::uintptr_t>(context->machStack);
  EXPECT_GE(signalStack > machStack ? signalStack - machStack : machStack - signalStack,
            kCTRContextStackSize);

  EXPECT_TRUE(allocator->isProtected);
  EXPECT_EQ(permissionsAt(context), "r--p");
  EXPECT_EQ(permissionsAt(state), "rw-p");
  EXPECT_EQ(state->sdkLogMinimumLevel, 1);
  EXPECT_FALSE(state->crashed);
  EXPECT_EQ(state->binaryImageLogFile.descriptor, -1);

  // Every capture mechanism was handed over to once, with its path stored.
  EXPECT_EQ(calls_.signal, 1);
  EXPECT_EQ(calls_.exception, 1);
  EXPECT_EQ(calls_.binaryImages, 1);
  EXPECT_EQ(calls_.userLogging, 1);
  EXPECT_EQ(calls_.executable, 1);
  EXPECT_EQ(calls_.signalPath, path("signal.clsrecord"));
  EXPECT_EQ(calls_.exceptionPath, path("exception.clsrecord"));
  EXPECT_EQ(calls_.customExceptionCount, &state->customExceptionCount);
  EXPECT_EQ(calls_.binaryImageLogPath, path("binary_images.clsrecord"));
  EXPECT_EQ(calls_.userLoggingMaxCustomKeys, 64u);

  ASSERT_NE(ctrLoggingQueue, nullptr);
  EXPECT_EQ(ctrLoggingQueue->label(), "com.beacon.crashtrail.mac.logging");
  EXPECT_TRUE(ctrLoggingQueue->isSerial());
  EXPECT_EQ(ctrBinaryImagesQueue->label(), "com.beacon.crashtrail.mac.binary-images");
  EXPECT_EQ(ctrExceptionQueue->label(), "com.beacon.crashtrail.mac.exception");

  // The writable state stays writable after start-up.
  state->errorCount = 3;
  EXPECT_EQ(state->errorCount, 3u);
  EXPECT_TRUE(CTRContextMarkAndCheckIfCrashed() == false);
}

TEST_F(ContextInitTest, CustomExceptionsDisabledKeepsNone) {
  record_.customExceptionsEnabled = false;
  ASSERT_TRUE(CTRContextInitialize(&record_));
  EXPECT_EQ(ctrContext->exception.maxCustomExceptions, 0u);
}

TEST_F(ContextInitTest, WriteIntoTheContextAfterStartUpFaults) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_TRUE(CTRContextInitialize(&record_));
  volatile bool* flag = &ctrContext->firstInstall;
  EXPECT_DEATH(*flag = true, "");
}

TEST_F(ContextInitTest, MetadataRecordHoldsTheFourSectionsInOrder) {
  const std::time_t before = std::time(nullptr);
  ASSERT_TRUE(CTRContextInitialize(&record_));
  const std::time_t after = std::time(nullptr);

  const std::string text = readFile(path("metadata.clsrecord"));
  const platform::Value sections = CTRFileReadSections(path("metadata.clsrecord").c_str(), false);
  ASSERT_EQ(sections.count(), 4u) << text;
  const platform::Value identity = sections[0]["identity"];
  EXPECT_EQ(identity["generator"].asString(), "Crashtrail Mac SDK/3.8.4");
  EXPECT_EQ(identity["build_version"].asString(), "121");
  EXPECT_EQ(identity["display_version"].asString(), "3.8.4");
  EXPECT_EQ(identity["api_key"].asString(), "0123456789abcdef");
  EXPECT_GE(identity["started_at"].asDouble(), static_cast<double>(before));
  EXPECT_LE(identity["started_at"].asDouble(), static_cast<double>(after));
  EXPECT_EQ(identity["session_id"].asString(), "5c0ffee0000000000000000000000001");
  EXPECT_EQ(identity["install_id"].asString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_TRUE(identity["absolute_log_timestamps"].asBool());
  EXPECT_NE(text.find("\"beta_token\":null,\"absolute_log_timestamps\":true"), std::string::npos)
      << text;

  EXPECT_FALSE(sections[1]["host"].isNone());
  const platform::Value application = sections[2]["application"];
  EXPECT_EQ(application["bundle_id"].asString(), "com.example_app");
  EXPECT_EQ(application["build_version"].asString(), "77");
  EXPECT_EQ(application["display_version"].asString(), "2.1");
  EXPECT_NE(text.find("\"custom_bundle_id\":null"), std::string::npos) << text;
  EXPECT_NE(text.find("\"extension_id\":null"), std::string::npos) << text;
  EXPECT_EQ(sections[3]["executable"]["architecture"].asString(), "x86_64");
}

TEST_F(ContextInitTest, MetadataWithBetaTokenAndCustomBundleAndNoExecutableWriter) {
  CTRCaptureHooks hooks = recordingHooks();
  hooks.binaryImageRecordMainExecutable = nullptr;
  CTRContextSetCaptureHooks(hooks);
  record_.betaToken = "beta-1";
  record_.customBundleID = "com.example.custom";
  ASSERT_TRUE(CTRContextInitialize(&record_));

  const platform::Value sections = CTRFileReadSections(path("metadata.clsrecord").c_str(), false);
  ASSERT_EQ(sections.count(), 3u);
  EXPECT_EQ(sections[0]["identity"]["beta_token"].asString(), "beta-1");
  EXPECT_EQ(sections[2]["application"]["custom_bundle_id"].asString(), "com.example.custom");
  EXPECT_NE(sdkLog().find("Unable to write out executable metadata\n"), std::string::npos);
}

TEST_F(ContextInitTest, EarlierRecordFilesOfTheDirectoryAreReplaced) {
  { std::ofstream(path("sdk.log")) << "stale log line\n"; }
  { std::ofstream(path("metadata.clsrecord")) << "{\"stale\":{}}\n"; }
  ASSERT_TRUE(CTRContextInitialize(&record_));
  EXPECT_EQ(sdkLog().find("stale"), std::string::npos);
  const std::string metadata = readFile(path("metadata.clsrecord"));
  EXPECT_EQ(metadata.find("stale"), std::string::npos);
  EXPECT_EQ(metadata.rfind("{\"identity\":", 0), 0u) << metadata;
}

TEST_F(ContextInitTest, SDKLogThatCannotBeRemovedIsReportedOnTheConsole) {
  ASSERT_EQ(::mkdir(path("sdk.log").c_str(), 0755), 0);
  { std::ofstream(path("sdk.log/keep")) << "x"; }
  BCNConsoleCapture console;
  ASSERT_TRUE(CTRContextInitialize(&record_));
  EXPECT_TRUE(console.contains(
      "[Crashtrail:Crash] Unable to write initialize SDK write paths Is a directory"));
  EXPECT_TRUE(CTRContextIsInitialized());
  EXPECT_EQ(CTRFileReadSections(path("metadata.clsrecord").c_str(), false).count(), 4u);
}

TEST_F(ContextInitTest, DebuggerAttachedInstallsNoHandlersButRecordsTheRest) {
  CTRProcessSetDebuggerAttachedForTesting(true);
  ASSERT_TRUE(CTRContextInitialize(&record_));
  EXPECT_TRUE(CTRContextIsInitialized());
  EXPECT_TRUE(ctrContext->debuggerAttached);
  EXPECT_EQ(calls_.signal, 0);
  EXPECT_EQ(calls_.exception, 0);
  EXPECT_EQ(ctrContext->signal.path, nullptr);
  EXPECT_EQ(calls_.binaryImages, 1);
  EXPECT_EQ(calls_.userLogging, 1);
  EXPECT_NE(sdkLog().find("WARN  [CTRContextInitialize:"), std::string::npos);
  EXPECT_NE(sdkLog().find("Debugger present - not installing handlers\n"), std::string::npos);
  EXPECT_EQ(CTRFileReadSections(path("metadata.clsrecord").c_str(), false).count(), 4u);
}

TEST_F(ContextInitTest, ThisProcessIsNotTracedUnderTest) {
  CTRProcessSetDebuggerAttachedForTesting(std::nullopt);
  std::ifstream status("/proc/self/status");
  std::string line;
  bool traced = false;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) traced = std::stol(line.substr(10)) != 0;
  }
  EXPECT_EQ(CTRProcessDebuggerAttached(), traced);
}

TEST_F(ContextInitTest, NoRecordOrNoReportDirectoryFails) {
  EXPECT_FALSE(CTRContextInitialize(nullptr));
  record_.reportDirectoryPath = nullptr;
  EXPECT_FALSE(CTRContextInitialize(&record_));
  EXPECT_FALSE(CTRContextIsInitialized());
  EXPECT_EQ(calls_.userLogging, 0);
  EXPECT_EQ(calls_.signal, 0);
}

TEST_F(ContextInitTest, CrashedFlagIsTakenOnceAndOnlyWhenInitialized) {
  // No context at all, then a context that has not finished start-up.
  EXPECT_FALSE(CTRContextMarkAndCheckIfCrashed());
  CTRContext context{};
  CTRWritableState state{};
  ctrContext = &context;
  ctrWritableState = &state;
  EXPECT_FALSE(CTRContextMarkAndCheckIfCrashed());
  EXPECT_FALSE(CTRContextMarkAndCheckIfCrashed());
  CTRContextMarkCrashed();
  EXPECT_FALSE(state.crashed);
  EXPECT_FALSE(CTRContextHasCrashed());

  ASSERT_TRUE(CTRContextInitialize(&record_));
  EXPECT_FALSE(CTRContextHasCrashed());
  constexpr int kThreads = 8;
  std::atomic<int> firsts{0};
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      if (!CTRContextMarkAndCheckIfCrashed()) ++firsts;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(firsts, 1);
  EXPECT_TRUE(CTRContextMarkAndCheckIfCrashed());
  EXPECT_TRUE(CTRContextHasCrashed());
}

// The exception path takes the crash without the flag; the abort that ends
// the exception is handed the claim on the same thread, and every other
// thread is told to wait.
TEST_F(ContextInitTest, AnExceptionClaimIsHandedToItsOwnThreadsSignalOnly) {
  EXPECT_EQ(CTRContextClaimCrashForException(7), CTRCrashClaim::kNotInitialized);
  ASSERT_TRUE(CTRContextInitialize(&record_));
  EXPECT_EQ(CTRContextClaimCrashForException(7), CTRCrashClaim::kFirst);
  EXPECT_FALSE(CTRContextHasCrashed());
  EXPECT_EQ(CTRContextClaimCrashForException(7), CTRCrashClaim::kFirst);
  EXPECT_EQ(CTRContextClaimCrashForException(9), CTRCrashClaim::kOtherThread);
  EXPECT_EQ(CTRContextClaimCrash(9), CTRCrashClaim::kOtherThread);
  EXPECT_FALSE(CTRContextHasCrashed());
  // The abort on the exception's thread.
  EXPECT_EQ(CTRContextClaimCrash(7), CTRCrashClaim::kFirst);
  EXPECT_TRUE(CTRContextHasCrashed());
  // A crash inside that handler, and a late exception there, record nothing.
  EXPECT_EQ(CTRContextClaimCrash(7), CTRCrashClaim::kSameThread);
  EXPECT_EQ(CTRContextClaimCrashForException(7), CTRCrashClaim::kSameThread);
  EXPECT_EQ(CTRContextClaimCrashForException(9), CTRCrashClaim::kOtherThread);
}

TEST_F(ContextInitTest, ResetClearsInitializedEvenAfterProtection) {
  ASSERT_TRUE(CTRContextInitialize(&record_));
  ASSERT_TRUE(ctrAllocator->isProtected);
  CTRContextReset();
  EXPECT_FALSE(CTRContextIsInitialized());
  EXPECT_FALSE(CTRContextMarkAndCheckIfCrashed());
}

TEST_F(ContextInitTest, SlowSetUpTimesOutAndTasksStillReadTheirOwnCopies) {
  std::latch gate(1);
  calls_.userLoggingGate = &gate;
  CTRContextSetInitializationTimeoutForTesting(std::chrono::milliseconds(50));
  std::string directory = directory_;
  std::string apiKey = "key-that-the-caller-reuses";
  record_.reportDirectoryPath = directory.c_str();
  record_.apiKey = apiKey.c_str();

  ASSERT_TRUE(CTRContextInitialize(&record_));  // true after a time-out too
  EXPECT_FALSE(CTRContextIsInitialized());
  EXPECT_NE(sdkLog().find("Error: Delayed initialization\n"), std::string::npos);

  // The caller's strings are gone once the call has returned.
  std::fill(directory.begin(), directory.end(), 'x');
  std::fill(apiKey.begin(), apiKey.end(), 'y');
  gate.count_down();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!CTRContextIsInitialized() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_TRUE(CTRContextIsInitialized());
  EXPECT_EQ(calls_.userLoggingDirectory, directory_);
  EXPECT_EQ(calls_.userLoggingAPIKey, "key-that-the-caller-reuses");
  const platform::Value sections = CTRFileReadSections(path("metadata.clsrecord").c_str(), false);
  ASSERT_GE(sections.count(), 1u);
  EXPECT_EQ(sections[0]["identity"]["api_key"].asString(), "key-that-the-caller-reuses");
}

TEST_F(ContextInitTest, CopyPathJoinsWithOneSlash) {
  // Without an allocator the copies come from the heap.
  for (const char* directory : {"/a/b", "/a/b/"}) {
    const char* copy = CTRContextCopyPath(directory, "c.clsrecord");
    EXPECT_STREQ(copy, "/a/b/c.clsrecord");
    std::free(const_cast<char*>(copy));
  }
  EXPECT_EQ(CTRContextCopyPath(nullptr, "c"), nullptr);
}

// --- a throw under memory pressure after start-up -------------------------
#if !defined(__SANITIZE_ADDRESS__)
// (The address sanitizer's allocator does not run out the way the C
// library's does under an address-space limit; the case is left out there.)

constexpr const char* kThrowChildVariable = "VARNEL_THROW_UNDER_PRESSURE_CHILD";

__attribute__((noinline)) void throwForTheRecordUnderPressure() { throw 42; }

// Run as a fresh program (nothing in it has thrown before): starts crash
// capture, uses up the heap, then throws. Exit 0 when the throw kept its
// frames, 10 when it kept none, 11 when memory did not run out.
TEST_F(ContextInitTest, DISABLED_ThrowUnderMemoryPressureChild) {
  if (std::getenv(kThrowChildVariable) == nullptr) GTEST_SKIP() << "runs only as the test's child";
  if (!CTRContextInitialize(&record_)) ::_exit(12);
  long pages = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  const rlim_t limit = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (64u << 20);
  const struct rlimit bound { limit, limit };
  if (pages == 0 || ::setrlimit(RLIMIT_AS, &bound) != 0) ::_exit(13);
  static void* blocks[1 << 20];
  std::size_t size = 1 << 20, count = 0;
  bool ranOut = false;
  while (size >= 16 && count < std::size(blocks)) {
    void* block = std::malloc(size);
    if (block != nullptr) {
      blocks[count++] = block;
    } else {
      ranOut = true;
      size /= 2;
    }
  }
  if (!ranOut) ::_exit(11);
  std::uintptr_t frames[kCTRThrowSiteMaxFrames];
  std::size_t kept = 0;
  try {
    throwForTheRecordUnderPressure();
  } catch (const int&) {
    const std::exception_ptr active = std::current_exception();
    void* object = nullptr;
    std::memcpy(&object, static_cast<const void*>(&active), sizeof(object));
    kept = CTRThrowSiteReturnAddresses(object, frames, kCTRThrowSiteMaxFrames);
  }
  ::_exit(kept >= 2 ? 0 : 10);
}

// The first use of the frame capture (the unwinder that backtrace() loads)
// happens at start-up: a first throw with no memory left keeps its frames.
TEST_F(ContextInitTest, AFirstThrowWithNoMemoryLeftStillKeepsItsFrames) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.push_back(std::string(kThrowChildVariable) + "=1");
  std::vector<std::string> args = {
      "/proc/self/exe", "--gtest_filter=ContextInitTest.DISABLED_ThrowUnderMemoryPressureChild",
      "--gtest_also_run_disabled_tests"};
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), envp.data()), 0);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no frames kept; 11: memory did not run out";
}
#endif

}  // namespace
}  // namespace sdk
