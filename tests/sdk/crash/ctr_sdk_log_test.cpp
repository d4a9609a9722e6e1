#include "sdk/crash/capture/ctr_sdk_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "crash_context_fixture.h"

namespace sdk {
namespace {

using SDKLogTest = testing::CrashContextTest;

TEST_F(SDKLogTest, WritesTagPositionAndArgumentsAsFormatted) {
  CTRSDKLog(kCTRSDKLogLevelWarn, "WARN  [%s:%d] Signal: %d\n", "CTRSignalHandler", 286, 11);
  EXPECT_EQ(sdkLog(), "WARN  [CTRSignalHandler:286] Signal: 11\n");
}

TEST_F(SDKLogTest, ConvertsEachSupportedConversion) {
  CTRSDKLog(1, "%p|%s|%d|%d|%u|%x|%d", reinterpret_cast<void*>(0x1000),
            static_cast<const char*>(nullptr), -3, INT_MIN, 4294967295u, 255u, 0);
  EXPECT_EQ(sdkLog(), "0x1000|(null)|-3|-2147483648|4294967295|ff|0");
}

TEST_F(SDKLogTest, LeavesOtherConversionsLiteralWithoutTakingArguments) {
  CTRSDKLog(kCTRSDKLogLevelInfo, "INFO  [%s:%d] Mapping: %p %p %p, total: %f K %hd %s\n", "f", 7,
            reinterpret_cast<void*>(0x10000), reinterpret_cast<void*>(0x11000),
            reinterpret_cast<void*>(0x2a000), "end");
  EXPECT_EQ(sdkLog(), "INFO  [f:7] Mapping: 0x10000 0x11000 0x2a000, total: %f K %hd end\n");
  // "%%", "%i" and a trailing "%" are written as they stand; the %s after
  // them still takes the first argument.
  CTRSDKLog(1, "%% %i %s %", "x");
  EXPECT_EQ(sdkLog().substr(sdkLog().find('\n') + 1), "%% %i x %");
}

TEST_F(SDKLogTest, LengthModifiersTakeTheirFullWidthArgument) {
  CTRSDKLog(kCTRSDKLogLevelInfo, "INFO  [%s:%d] Mapping: %p, total: %zu K\n", "f", 7,
            reinterpret_cast<void*>(0x10000), static_cast<std::size_t>(99));
  EXPECT_EQ(sdkLog(), "INFO  [f:7] Mapping: 0x10000, total: 99 K\n");
  const std::string before = sdkLog();
  // Values that do not fit 32 bits prove the whole argument is taken, and the
  // conversion after each one still gets its own argument.
  CTRSDKLog(1, "%lu|%llu|%lld|%ld|%lx|%llx|%zu|%zd|%d", 18446744073709551615ul, 4294967296ull,
            static_cast<long long>(INT64_MIN), -5000000000l, 0xdeadbeefcafeul,
            0xffffffffffffffffull, static_cast<std::size_t>(1) << 40, static_cast<ssize_t>(-7), 42);
  EXPECT_EQ(sdkLog().substr(before.size()),
            "18446744073709551615|4294967296|-9223372036854775808|-5000000000|deadbeefcafe|"
            "ffffffffffffffff|1099511627776|-7|42");
}

TEST_F(SDKLogTest, CharacterAndZeroPaddedWidth) {
  CTRSDKLog(1, "%c%c|%02x:%02x:%02x|%04d|%05d|%3u|%08llx|%01x|%2x|%c", 'o', 'k', 0x0au, 0xffu,
            0x123u, 42, -42, 7u, 0xabcull, 0u, 0x1fu, '\n');
  EXPECT_EQ(sdkLog(), "ok|0a:ff:123|0042|-0042|  7|00000abc|0|1f|\n");
  const std::string before = sdkLog();
  // An absurd width is clamped rather than filling the log.
  CTRSDKLog(1, "%0999999999999d|%lc|%ls", 5, 'x', "s");
  EXPECT_EQ(sdkLog().substr(before.size()), std::string(31, '0') + "5|%lc|%ls");
}

TEST_F(SDKLogTest, MacrosAddTheLevelTagFunctionAndLine) {
  const int line = __LINE__ + 1;
  CTR_SDK_LOG_WARN("value %d\n", 5);
  CTR_SDK_LOG_ERROR("plain\n");
  EXPECT_EQ(sdkLog(), "WARN  [TestBody:" + std::to_string(line) +
                          "] value 5\nERROR [TestBody:" + std::to_string(line + 1) + "] plain\n");
}

TEST_F(SDKLogTest, MinimumLevelFiltersMessages) {
  CTR_SDK_LOG_DEBUG("debug one\n");
  state_.sdkLogMinimumLevel = kCTRSDKLogLevelWarn;
  CTR_SDK_LOG_DEBUG("debug two\n");
  CTR_SDK_LOG_INFO("info\n");
  CTR_SDK_LOG_WARN("warn\n");
  CTR_SDK_LOG_ERROR("error\n");
  const std::string log = sdkLog();
  EXPECT_NE(log.find("debug one"), std::string::npos);
  EXPECT_EQ(log.find("debug two"), std::string::npos);
  EXPECT_EQ(log.find("info"), std::string::npos);
  EXPECT_NE(log.find("warn"), std::string::npos);
  EXPECT_NE(log.find("error"), std::string::npos);
}

TEST_F(SDKLogTest, DropsMessagesWithoutContextStateOrValidPath) {
  struct stat info {};
  ctrContext = nullptr;
  CTR_SDK_LOG_ERROR("no context\n");
  ctrContext = &context_;
  ctrWritableState = nullptr;
  CTR_SDK_LOG_ERROR("no state\n");
  ctrWritableState = &state_;
  context_.sdkLogPath = reinterpret_cast<const char*>(0x20);
  CTR_SDK_LOG_ERROR("bad path\n");
  EXPECT_NE(::stat(logPath_.c_str(), &info), 0) << "nothing may create the log";
  EXPECT_EQ(state_.sdkLogDescriptor, -1);
}

TEST_F(SDKLogTest, OpensLazilyAndRetriesAFailedOpen) {
  const std::string dir = root().file("later");
  const std::string path = dir + "/sdk.log";
  context_.sdkLogPath = path.c_str();
  CTR_SDK_LOG_INFO("lost\n");
  EXPECT_EQ(state_.sdkLogDescriptor, -1);
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  CTR_SDK_LOG_INFO("kept\n");
  EXPECT_GE(state_.sdkLogDescriptor, 0);
  const std::string log = readFile(path);
  EXPECT_EQ(log.find("lost"), std::string::npos);
  EXPECT_NE(log.find("kept"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  // The SDK's files are their user's alone.
  EXPECT_EQ(
      info.st_mode & 0777, 0600u & ~[] {
        mode_t m = ::umask(0);
        ::umask(m);
        return m;
      }());
}

TEST_F(SDKLogTest, AppendsToAnExistingLog) {
  {
    std::ofstream out(logPath_);
    out << "earlier\n";
  }
  CTR_SDK_LOG_INFO("now\n");
  EXPECT_EQ(sdkLog().rfind("earlier\nINFO  [", 0), 0u);
}

TEST_F(SDKLogTest, FailingLogDescriptorEndsQuietly) {
  // A descriptor that cannot be written: every number written through the
  // write loop fails. That failure must not be logged into the same log
  // (which would recurse until the stack is gone).
  const int readOnly = ::open(root().file("ro").c_str(), O_RDONLY | O_CREAT, 0644);
  ASSERT_GE(readOnly, 0);
  state_.sdkLogDescriptor = readOnly;
  for (int i = 0; i < 3; ++i) CTR_SDK_LOG_ERROR("number %d %u %x %p\n", -1, 2u, 3u, &i);
  state_.sdkLogDescriptor = -1;
  ::close(readOnly);
  SUCCEED();
}

int countOpenDescriptors() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

TEST_F(SDKLogTest, ThreadsRacingToOpenShareOneDescriptor) {
  const int before = countOpenDescriptors();
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ready] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      CTR_SDK_LOG_INFO("X\n");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(countOpenDescriptors(), before + 1) << "the losers of the race must close theirs";
  const std::string log = sdkLog();
  std::size_t lines = 0;
  for (std::size_t at = log.find("X\n"); at != std::string::npos; at = log.find("X\n", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kThreads));
}

void logFromSignal(int signo) {
  CTR_SDK_LOG_ERROR("caught %d in %s at %p\n", signo, "handler", reinterpret_cast<void*>(0xbeef));
}

TEST_F(SDKLogTest, WritesFromASignalHandler) {
  struct sigaction action {
  }, previous{};
  action.sa_handler = logFromSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  ::raise(SIGUSR1);
  ::sigaction(SIGUSR1, &previous, nullptr);
  const std::string log = sdkLog();
  EXPECT_EQ(log.rfind("ERROR [logFromSignal:", 0), 0u) << log;
  EXPECT_NE(log.find("] caught " + std::to_string(SIGUSR1) + " in handler at 0xbeef\n"),
            std::string::npos);
}

TEST(ProfilingTest, ConvertsTicksThroughTheTimebase) {
  constexpr std::uint64_t kMark = 1000;
  EXPECT_DOUBLE_EQ(CTRProfilingMillisecondsBetween(kMark, kMark + 250000000, {1, 1}), 250.0);
  // A timebase of 125/3 (41.67 ns per tick): 3 000 000 ticks are 125 ms.
  EXPECT_DOUBLE_EQ(CTRProfilingMillisecondsBetween(0, 3000000, {125, 3}), 125.0);
  // Large tick counts do not overflow while scaling.
  EXPECT_NEAR(CTRProfilingMillisecondsBetween(0, UINT64_MAX / 2, {125, 3}),
              static_cast<double>(UINT64_MAX / 2) * 125.0 / 3.0 / 1e6, 1e6);
  EXPECT_EQ(CTRProfilingMillisecondsBetween(kMark, kMark + 5, {1, 0}), 0.0);
  EXPECT_EQ(CTRProfilingMillisecondsBetween(kMark + 5, kMark, {1, 1}), 0.0);
}

TEST(ProfilingTest, ElapsedTimeOfAnEarlierMark) {
  const std::uint64_t mark = CTRProfilingStart() - 250000000ULL;  // 250 ms ago
  const double elapsed = CTRProfilingElapsedMilliseconds(mark);
  EXPECT_GE(elapsed, 250.0);
  EXPECT_LT(elapsed, 10250.0);
  const std::uint64_t first = CTRProfilingStart();
  const std::uint64_t second = CTRProfilingStart();
  EXPECT_LE(first, second);
}

TEST(ProfilingTest, MeasureBlockRunsTheBlockAndReportsOnStderr) {
  bool ran = false;
  ::testing::internal::CaptureStderr();
  CTRProfilingMeasureBlock("startup", [&ran] { ran = true; });
  const std::string output = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ran);
  EXPECT_EQ(output.rfind("[Profile] startup: ", 0), 0u) << output;
  EXPECT_EQ(output.substr(output.size() - 4), " ms\n");
}

TEST(ErrorTextTest, DescribesErrnoWithoutLocale) {
  EXPECT_STREQ(CTRErrorText(ENOENT), "No such file or directory");
  EXPECT_NE(CTRErrorText(100000), nullptr);
}

}  // namespace
}  // namespace sdk
