#include "sdk/platform/bcn_async_operation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/system/operation_queue.h"
#include "sdk/platform/bcn_compound_operation.h"

namespace sdk {
namespace {

using namespace std::chrono_literals;

// An operation whose main() records that it ran and, when told to, finishes
// at once (with `error`) or later from a global queue.
class TestOperation : public BCNAsyncOperation {
 public:
  enum class Finish { Never, Inline, Later };
  explicit TestOperation(Finish finish = Finish::Inline, platform::Error error = {})
      : finish_(finish), error_(std::move(error)) {}
  std::string className() const override { return "BCNOnboardingOperation"; }
  void main() override {
    mainRuns++;
    if (finish_ == Finish::Inline) finishWithError(error_);
    if (finish_ == Finish::Later) {
      auto self = std::static_pointer_cast<TestOperation>(shared_from_this());
      platform::dispatch::Queue::global()->async([self] { self->finishWithError(self->error_); });
    }
  }
  std::atomic<int> mainRuns{0};

 private:
  Finish finish_;
  platform::Error error_;
};

// Collects a compound's completions and lets the test wait for the first.
struct CompletionLog {
  std::mutex mutex;
  std::vector<platform::Error> errors;
  platform::dispatch::Semaphore first{0};
  BCNAsyncOperation::AsyncCompletion block() {
    return [this](const platform::Error& error) {
      {
        std::lock_guard lock(mutex);
        errors.push_back(error);
      }
      first.signal();
    };
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return errors.size();
  }
};

platform::Error failure(int code) { return platform::Error("test.domain", code); }

TEST(BCNAsyncOperation, LockIsNamedAfterTheClass) {
  EXPECT_EQ(std::make_shared<BCNAsyncOperation>()->lockName(), "com.beacon.BCNAsyncOperation-lock");
  EXPECT_EQ(std::make_shared<TestOperation>()->lockName(),
            "com.beacon.BCNOnboardingOperation-lock");
  EXPECT_EQ(std::make_shared<BCNCompoundOperation>()->lockName(),
            "com.beacon.BCNCompoundOperation-lock");
}

TEST(BCNAsyncOperation, CancelledBeforeStartFinishesWithoutMainOrCompletion) {
  auto op = std::make_shared<TestOperation>();
  bool completed = false;
  op->setAsyncCompletion([&](const platform::Error&) { completed = true; });
  EXPECT_TRUE(op->isAsynchronous());
  op->cancel();
  op->start();
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(op->isExecuting());
  EXPECT_EQ(op->mainRuns, 0);
  EXPECT_FALSE(completed);
}

TEST(BCNAsyncOperation, StaysExecutingUntilFinishedAndCompletesBeforeMarkedDone) {
  auto op = std::make_shared<TestOperation>(TestOperation::Finish::Never);
  std::vector<std::string> changes;
  op->addObserver("isExecuting", [&](platform::Operation& o, std::string_view) {
    changes.push_back(o.isExecuting() ? "executing" : "not executing");
  });
  op->addObserver("isFinished",
                  [&](platform::Operation&, std::string_view) { changes.push_back("finished"); });
  bool finishedInCompletion = true;
  platform::Error seen;
  op->setAsyncCompletion([&](const platform::Error& error) {
    finishedInCompletion = op->isFinished();
    seen = error;
  });
  op->start();
  EXPECT_EQ(op->mainRuns, 1);
  EXPECT_TRUE(op->isExecuting());
  EXPECT_FALSE(op->isFinished());
  op->finishWithError(failure(7));
  EXPECT_FALSE(finishedInCompletion);
  EXPECT_EQ(seen.code(), 7);
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(op->isExecuting());
  EXPECT_EQ(changes, (std::vector<std::string>{"executing", "not executing", "finished"}));
}

// Guarantee 4: the flags are announced after the lock is released, so an
// observer may call back into the operation from another thread and wait.
TEST(BCNAsyncOperation, ObserverMayCallBackFromAnotherThread) {
  auto op = std::make_shared<TestOperation>(TestOperation::Finish::Never);
  std::vector<std::thread> threads;
  std::vector<std::pair<bool, bool>> seen;  // (returned in time, isFinished there)
  op->addObserver(platform::kOperationIsFinishedKey, [&](platform::Operation& o, std::string_view) {
    auto done = std::make_shared<platform::dispatch::Semaphore>();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    threads.emplace_back([&o, done, finished] {
      *finished = o.isFinished() && !o.isExecuting();
      done->signal();
    });
    const bool returned = done->wait(10s);
    seen.emplace_back(returned, finished->load());
  });
  op->start();
  op->finishWithError();
  for (auto& t : threads) t.join();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].first);
  EXPECT_TRUE(seen[0].second);
}

TEST(BCNAsyncOperation, RunsInAnOperationQueueUntilItFinishesLater) {
  auto queue = platform::OperationQueue::create("test");
  auto op = std::make_shared<TestOperation>(TestOperation::Finish::Later);
  platform::dispatch::Semaphore completionBlockRan;
  op->setCompletionBlock([&] { completionBlockRan.signal(); });
  queue->addOperation(op);
  ASSERT_TRUE(op->waitUntilFinished(10s));
  EXPECT_TRUE(completionBlockRan.wait(10s));
  EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(10s));
  EXPECT_EQ(op->mainRuns, 1);
}

TEST(BCNCompoundOperation, OneFailureOfThreeFinishesOnceWithTheGatheredError) {
  std::vector<BCNCompoundOperation::OperationPtr> ops = {
      std::make_shared<TestOperation>(TestOperation::Finish::Later),
      std::make_shared<TestOperation>(TestOperation::Finish::Later, failure(3)),
      std::make_shared<TestOperation>(TestOperation::Finish::Later)};
  std::atomic<int> ownCompletions{0};
  for (auto& op : ops) op->setAsyncCompletion([&](const platform::Error&) { ownCompletions++; });
  auto compound = std::make_shared<BCNCompoundOperation>(ops);
  CompletionLog log;
  compound->setAsyncCompletion(log.block());
  auto queue = platform::OperationQueue::create("outer");
  queue->addOperation(compound);
  ASSERT_TRUE(compound->waitUntilFinished(10s));
  ASSERT_TRUE(log.first.wait(10s));
  // The compound ends once every outcome is counted; an operation counts
  // its outcome just before it marks itself finished, so the last one may
  // still be on its way there.
  for (auto& op : ops) EXPECT_TRUE(op->waitUntilFinished(10s));
  EXPECT_EQ(ownCompletions, 3);
  ASSERT_EQ(log.count(), 1u);
  const platform::Error& error = log.errors[0];
  EXPECT_EQ(error.domain(), kBCNCompoundOperationErrorDomain);
  EXPECT_EQ(error.code(), 4294967293LL);
  platform::Value underlying = error.userInfo()[kBCNCompoundOperationUnderlyingErrorsKey];
  ASSERT_EQ(underlying.count(), 1u);
  EXPECT_EQ(underlying[0]["domain"], platform::Value("test.domain"));
  EXPECT_EQ(underlying[0]["code"], platform::Value(3));
  EXPECT_EQ(compound->completedOperations(), 2u);
  EXPECT_EQ(compound->errors().size(), 1u);
}

TEST(BCNCompoundOperation, AllSucceedFinishesWithNoError) {
  auto compound =
      std::make_shared<BCNCompoundOperation>(std::vector<BCNCompoundOperation::OperationPtr>{
          std::make_shared<TestOperation>(),
          std::make_shared<TestOperation>(TestOperation::Finish::Later)});
  CompletionLog log;
  compound->setAsyncCompletion(log.block());
  compound->start();
  ASSERT_TRUE(log.first.wait(10s));
  ASSERT_TRUE(compound->waitUntilFinished(10s));
  EXPECT_TRUE(log.errors[0].isNone());
}

TEST(BCNCompoundOperation, ManyOperationsEndingTogetherFinishTheCompoundOnce) {
  // Every operation's outcome may be counted before any of them asks for
  // the compound completion: the compound must still finish only once.
  for (int round = 0; round < 20; ++round) {
    std::vector<BCNCompoundOperation::OperationPtr> ops;
    for (int i = 0; i < 8; ++i) {
      ops.push_back(std::make_shared<TestOperation>(TestOperation::Finish::Later));
    }
    auto compound = std::make_shared<BCNCompoundOperation>(ops);
    CompletionLog log;
    compound->setAsyncCompletion(log.block());
    compound->start();
    ASSERT_TRUE(log.first.wait(10s));
    // Once the queue is empty every look at the counts has been posted to
    // the counting queue; a read there runs after all of them.
    EXPECT_TRUE(compound->compoundQueue()->waitUntilAllOperationsAreFinished(10s));
    EXPECT_EQ(compound->completedOperations(), 8u);
    EXPECT_EQ(log.count(), 1u);
  }
}

TEST(BCNCompoundOperation, EmptyListNeverFinishesByItself) {
  auto compound = std::make_shared<BCNCompoundOperation>();
  CompletionLog log;
  compound->setName("empty");
  compound->setAsyncCompletion(log.block());
  compound->start();
  EXPECT_FALSE(log.first.wait(100ms));
  EXPECT_TRUE(compound->isExecuting());
  EXPECT_FALSE(compound->isFinished());
  // A cancel ends it.
  compound->cancel();
  ASSERT_TRUE(log.first.wait(10s));
  EXPECT_EQ(log.errors[0].code(), 4294967294LL);
  EXPECT_EQ(log.errors[0].localizedDescription(), "empty cancelled");
}

TEST(BCNCompoundOperation, CancelWhileRunningEndsWithOneCancellationError) {
  std::vector<BCNCompoundOperation::OperationPtr> ops = {
      std::make_shared<TestOperation>(TestOperation::Finish::Never),
      std::make_shared<TestOperation>(TestOperation::Finish::Never)};
  auto compound = std::make_shared<BCNCompoundOperation>(ops);
  compound->setName("settings chain");
  CompletionLog log;
  compound->setAsyncCompletion(log.block());
  compound->start();
  // Wait until both run, then cancel; they end as a cancelled network
  // operation would: with an error of their own.
  for (auto& op : ops) {
    while (!op->isExecuting()) std::this_thread::yield();
  }
  compound->cancel();
  EXPECT_TRUE(compound->isCancelled());
  for (auto& op : ops) {
    EXPECT_TRUE(op->isCancelled());
    op->finishWithError(failure(-999));
  }
  ASSERT_TRUE(log.first.wait(10s));
  ASSERT_TRUE(compound->waitUntilFinished(10s));
  EXPECT_EQ(log.errors[0].domain(), kBCNCompoundOperationErrorDomain);
  EXPECT_EQ(log.errors[0].code(), kBCNCompoundOperationErrorCodeCancelled);
  EXPECT_EQ(log.errors[0].localizedDescription(), "settings chain cancelled");
  // Marking it done again later reports nothing more.
  compound->attemptCompoundCompletion();
  EXPECT_EQ(log.count(), 1u);
}

TEST(BCNCompoundOperation, CancelBeforeStartCancelsTheOperationsWithoutRunningThem) {
  auto a = std::make_shared<TestOperation>();
  auto b = std::make_shared<TestOperation>();
  auto compound =
      std::make_shared<BCNCompoundOperation>(std::vector<BCNCompoundOperation::OperationPtr>{a, b});
  bool completed = false;
  compound->setAsyncCompletion([&](const platform::Error&) { completed = true; });
  compound->cancel();
  ASSERT_TRUE(a->waitUntilFinished(10s));
  ASSERT_TRUE(b->waitUntilFinished(10s));
  EXPECT_EQ(a->mainRuns + b->mainRuns, 0);
  compound->start();
  EXPECT_TRUE(compound->isFinished());
  EXPECT_FALSE(completed);
}

TEST(BCNCompoundOperation, OperationsThatCannotBeQueuedCountAsFailures) {
  auto done = std::make_shared<TestOperation>();
  done->start();  // already finished
  auto fine = std::make_shared<TestOperation>();
  auto compound = std::make_shared<BCNCompoundOperation>(
      std::vector<BCNCompoundOperation::OperationPtr>{done, fine, nullptr});
  CompletionLog log;
  compound->setAsyncCompletion(log.block());
  compound->start();
  ASSERT_TRUE(log.first.wait(10s));
  EXPECT_EQ(log.errors[0].code(), kBCNCompoundOperationErrorCodeFailure);
  EXPECT_EQ(log.errors[0].userInfo()[kBCNCompoundOperationUnderlyingErrorsKey].count(), 2u);
  EXPECT_EQ(fine->mainRuns, 1);
}

}  // namespace
}  // namespace sdk
