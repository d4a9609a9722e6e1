#include "sdk/platform/bcn_console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace sdk {
namespace {

// Runs `body` with stderr sent into a pipe and returns what it wrote.
std::string stderrOf(const std::function<void()>& body) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  int saved = ::dup(STDERR_FILENO);
  ::dup2(fds[1], STDERR_FILENO);
  ::close(fds[1]);
  body();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string out;
  char buffer[256];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
  ::close(fds[0]);
  return out;
}

class BCNConsoleTest : public ::testing::Test {
 protected:
  void TearDown() override { BCNConsoleSetDebug(false); }
};

TEST_F(BCNConsoleTest, LinesGetExactlyOneNewlineOnStderr) {
  std::string out = stderrOf([] {
    BCNConsoleWrite("[Beacon] one");
    BCNConsoleWrite("[Beacon] two\n");
    BCNConsoleLog("[Tally] %@ = %d", "count", 3);
  });
  EXPECT_EQ(out, "[Beacon] one\n[Beacon] two\n[Tally] count = 3\n");
}

TEST_F(BCNConsoleTest, DebugLinesOnlyWhileTheRegistryDebugSwitchIsSet) {
  BCNConsoleCapture console;
  BCNConsoleWriteDebug("[Beacon] hidden");
  BCNConsoleDebugLog("[Beacon] hidden %@", "too");
  EXPECT_TRUE(console.lines().empty());

  EXPECT_FALSE(BCNConsoleIsDebug());
  BCNConsoleSetDebug(true);
  BCNConsoleWriteDebug("[Beacon] shown");
  BCNConsoleDebugLog("[Beacon] shown %@", "too");
  EXPECT_EQ(console.lines(), (std::vector<std::string>{"[Beacon] shown", "[Beacon] shown too"}));
}

TEST_F(BCNConsoleTest, CaptureStripsTheFinalNewlineAndRestoresThePreviousHook) {
  std::vector<std::string> outer;
  BCNConsoleSetHook([&](const std::string& line) { outer.push_back(line); });
  {
    BCNConsoleCapture console;
    BCNConsoleWrite("inner\n");
    EXPECT_EQ(console.lines(), std::vector<std::string>{"inner"});
    EXPECT_EQ(console.count("inn"), 1u);
  }
  BCNConsoleWrite("outer");
  BCNConsoleSetHook(nullptr);
  EXPECT_EQ(outer, std::vector<std::string>{"outer"});
}

TEST_F(BCNConsoleTest, HookMayWriteLinesItself) {
  BCNConsoleCapture console;
  std::vector<std::string> seen;
  BCNConsoleHook previous = BCNConsoleSetHook([&](const std::string& line) {
    seen.push_back(line);
    if (line == "first") BCNConsoleWrite("second");  // no deadlock
  });
  BCNConsoleWrite("first");
  BCNConsoleSetHook(previous);
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "second"}));
}

TEST_F(BCNConsoleTest, LinesFromManyThreadsAllArriveWhole) {
  BCNConsoleCapture console;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) BCNConsoleLog("[Beacon] thread %d line %d", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(console.lines().size(), 400u);
  EXPECT_EQ(console.count("thread 3 line 99"), 1u);
}

}  // namespace
}  // namespace sdk
