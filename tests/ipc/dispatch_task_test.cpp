#include "ipc/dispatch_task.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/exception.h"
#include "platform/runloop/run_loop.h"
#include "support/manual_clock.h"

using ipc::DispatchTask;
using platform::Bytes;
using platform::Value;
using platform::dispatch::Queue;

namespace {

bool pump(const std::function<bool()>& done, int ms = 15000) {
  return platform::runloop::RunLoop::main().runUntil(done, std::chrono::milliseconds(ms));
}

// Runs /bin/sh -c <script> and records everything it reports.
struct ShellRun {
  std::shared_ptr<DispatchTask> task;
  std::string out, err;
  std::vector<std::string> order;  // "launch", "out", "err", "exit"
  std::vector<std::size_t> chunkSizes;
  std::atomic<int> exits{0};
  std::atomic<bool> exitOnMain{true};
  bool callbacksOnMain = true;
  std::mutex mutex;

  explicit ShellRun(const std::string& script, platform::dispatch::TimeSourcePtr clock = nullptr)
      : task(DispatchTask::create(std::move(clock))) {
    task->setLaunchPath("/bin/sh");
    task->setArguments(Value::array({Value("-c"), Value(script)}));
  }
  void launch() {
    task->launchWithOutputBlock(
        [this](const Bytes& chunk) {
          callbacksOnMain &= Queue::main()->isCurrent();
          std::lock_guard<std::mutex> lock(mutex);
          out.append(chunk.begin(), chunk.end());
          chunkSizes.push_back(chunk.size());
          order.push_back("out");
        },
        [this](const Bytes& chunk) {
          callbacksOnMain &= Queue::main()->isCurrent();
          std::lock_guard<std::mutex> lock(mutex);
          err.append(chunk.begin(), chunk.end());
          order.push_back("err");
        },
        [this] {
          callbacksOnMain &= Queue::main()->isCurrent();
          std::lock_guard<std::mutex> lock(mutex);
          order.push_back("launch");
        },
        [this] {
          exitOnMain = Queue::main()->isCurrent();
          {
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back("exit");
          }
          // Last: once the count shows, the test may end and destroy this run.
          ++exits;
        });
  }
  bool waitForExit() {
    return pump([this] { return exits.load() > 0; });
  }
};

TEST(DispatchTask, OutputThenExitOnTheirQueues) {
  ShellRun run("printf 'a\\n'");
  run.launch();
  ASSERT_TRUE(run.waitForExit());
  pump([] { return false; }, 50);  // a second exit callback would show up here
  EXPECT_EQ(run.out, "a\n");
  EXPECT_EQ(run.order, (std::vector<std::string>{"launch", "out", "exit"}));
  EXPECT_TRUE(run.callbacksOnMain);
  EXPECT_FALSE(run.exitOnMain);
  EXPECT_EQ(run.exits.load(), 1);
  EXPECT_TRUE(run.task->hasExecuted());
  EXPECT_TRUE(WIFEXITED(run.task->terminationStatus()));
}

TEST(DispatchTask, ExitCodesAndStandardErrorOnly) {
  ShellRun run("printf oops >&2; exit 3");
  run.launch();
  ASSERT_TRUE(run.waitForExit());
  EXPECT_EQ(run.err, "oops");
  EXPECT_EQ(run.order, (std::vector<std::string>{"err", "exit"}));  // no launch callback
  EXPECT_FALSE(run.task->hasExecuted());
  EXPECT_EQ(WEXITSTATUS(run.task->terminationStatus()), 3);
}

TEST(DispatchTask, LargeOutputArrivesWholeInChunksBeforeTheExit) {
  // 10 000 bytes at once, then 300 000 more that are still in the pipe when
  // the shell exits.
  ShellRun run("head -c 10000 /dev/zero | tr '\\0' x; head -c 300000 /dev/zero | tr '\\0' y");
  run.launch();
  ASSERT_TRUE(run.waitForExit());
  ASSERT_EQ(run.out.size(), 310000u);
  EXPECT_EQ(run.out.find_first_not_of('x'), 10000u);
  EXPECT_EQ(run.out.find_first_not_of('y', 10000), std::string::npos);
  for (auto n : run.chunkSizes) EXPECT_LE(n, 4096u);
  EXPECT_EQ(run.order.back(), "exit");
}

TEST(DispatchTask, ArgumentsAreNormalisedToTexts) {
  auto task = DispatchTask::create();
  task->setLaunchPath("/bin/sh");
  task->setArguments(Value::array({Value("-c")}));
  task->AddArgument(Value("printf '%s,' \"$0\" \"$1\""));
  task->AddArgument(Value(4));
  task->AddArgument(Value(2.5));
  std::string out;
  std::atomic<bool> done{false};
  task->launchWithOutputBlock([&](const Bytes& b) { out.append(b.begin(), b.end()); }, nullptr,
                              nullptr, [&] { done = true; });
  ASSERT_TRUE(pump([&] { return done.load(); }));
  EXPECT_EQ(out, "4,2.5,");
  Value args = task->arguments();
  ASSERT_EQ(args.count(), 4u);
  EXPECT_TRUE(args[2].isString());
  EXPECT_EQ(args[2].asString(), "4");
}

TEST(DispatchTask, MissingExecutablesRaiseBeforeAnythingStarts) {
  auto task = DispatchTask::create();
  task->setLaunchPath("/bin/../bin/./no-such-program");
  try {
    task->launchWithOutputBlock(nullptr, nullptr, nullptr, nullptr);
    FAIL() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "DISPATCHTASK_INVALID_EXECUTABLE");
    EXPECT_EQ(e.reason(), "There is no executable at the path set.");
  }
  EXPECT_EQ(task->processIdentifier(), 0);
  EXPECT_FALSE(task->WriteStringToStandardInput("x"));  // nothing launched
  // A standardised path with ".." is accepted.
  task->setLaunchPath("/bin/../bin/sh");
  task->setArguments(Value::array({Value("-c"), Value("exit 0")}));
  std::atomic<bool> done{false};
  task->launchWithOutputBlock(nullptr, nullptr, nullptr, [&] { done = true; });
  EXPECT_TRUE(pump([&] { return done.load(); }));
}

TEST(DispatchTask, StandardInputWritesAndFailures) {
  ShellRun run("read line; printf 'got %s' \"$line\"");
  run.launch();
  EXPECT_TRUE(run.task->WriteStringToStandardInput("hello\n"));
  ASSERT_TRUE(run.waitForExit());
  EXPECT_EQ(run.out, "got hello");
  // The child has gone: the write fails and does not raise SIGPIPE.
  EXPECT_FALSE(run.task->WriteStringToStandardInput("more\n"));
}

TEST(DispatchTask, SignalsAreResetInTheChild) {
  // Even when the parent ignores SIGINT, the child starts with the default.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &old);
  ShellRun run("trap - INT; kill -INT $$; sleep 5");
  run.launch();
  sigaction(SIGINT, &old, nullptr);
  ASSERT_TRUE(run.waitForExit());
  EXPECT_TRUE(WIFSIGNALED(run.task->terminationStatus()));
  EXPECT_EQ(WTERMSIG(run.task->terminationStatus()), SIGINT);
}

TEST(DispatchTask, TerminationRequestInterruptsThenTerminates) {
  ShellRun polite("printf started; exec sleep 20");
  polite.launch();
  ASSERT_TRUE(pump([&] { return polite.out == "started"; }));
  polite.task->RequestTermination();
  ASSERT_TRUE(polite.waitForExit());
  EXPECT_EQ(WTERMSIG(polite.task->terminationStatus()), SIGINT);

  // A child that ignores SIGINT ends by SIGTERM ten seconds later, on a
  // clock the test moves.
  auto clock = varnel::testing::ManualClock::create();
  ShellRun stubborn("trap '' INT; printf started; while :; do sleep 1; done", clock);
  stubborn.launch();
  ASSERT_TRUE(pump([&] { return stubborn.out == "started"; }));
  stubborn.task->RequestTermination();
  clock->advance(std::chrono::milliseconds(9999));
  // SIGTERM is not due yet: the main loop, which would send it, has nothing
  // to run.
  platform::runloop::RunLoop::main().processPending();
  EXPECT_EQ(stubborn.exits.load(), 0);
  clock->advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(pump([&] { return stubborn.exits.load() > 0; }, 20000));
  EXPECT_EQ(WTERMSIG(stubborn.task->terminationStatus()), SIGTERM);
}

}  // namespace

namespace {

std::size_t openDescriptors() {
  std::size_t n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir)) ++n;
    ::closedir(dir);
  }
  return n;
}

}  // namespace

TEST(DispatchTask, EndedRunsKeepNoDescriptorsEvenWhileATerminationTimerWaits) {
  // Warm up whatever the first launch sets up once (queues, reactor).
  {
    ShellRun warm("exit 0");
    warm.launch();
    ASSERT_TRUE(pump([&] { return warm.exits.load() == 1; }));
  }
  const std::size_t before = openDescriptors();
  std::vector<std::shared_ptr<DispatchTask>> kept;  // held, as a driver holds its task
  for (int i = 0; i < 20; ++i) {
    auto run = std::make_unique<ShellRun>("read line; exit 0");
    run->launch();
    run->task->RequestTermination();  // its SIGTERM timer waits 10 s
    ASSERT_TRUE(pump([&] { return run->exits.load() == 1; }));
    EXPECT_FALSE(run->task->WriteStringToStandardInput("late\n"));
    kept.push_back(run->task);
  }
  pump([] { return false; }, 100);
  EXPECT_LE(openDescriptors(), before + 1);
}
