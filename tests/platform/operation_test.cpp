#include "platform/system/operation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/exception.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/operation_queue.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
constexpr auto kSafety = std::chrono::seconds(20);

// A thread-safe record of events, in order.
class Log {
 public:
  void add(std::string s) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(s));
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

// A concurrent operation that stays executing until the test finishes it.
class ManualOperation : public Operation {
 public:
  bool isConcurrent() const override { return true; }
  void main() override {
    mainRan = true;
    started.signal();
  }
  void finish() { markFinished(); }
  std::atomic<bool> mainRan{false};
  dispatch::Semaphore started;
};

// A concurrent operation that notes its name, thread and queue when it starts.
class NamedConcurrentOperation : public ManualOperation {
 public:
  NamedConcurrentOperation(Log& log, std::string name) : log_(log), name_(std::move(name)) {}
  void main() override {
    thread = std::this_thread::get_id();
    queue = OperationQueue::currentQueue();
    log_.add(name_);
    ManualOperation::main();
  }
  std::thread::id thread;
  OperationQueue::Ptr queue;

 private:
  Log& log_;
  std::string name_;
};

std::shared_ptr<BlockOperation> recording(Log& log, std::string name) {
  return BlockOperation::create([&log, name] { log.add(name); });
}

TEST(OperationTest, RunsMainAndFinishesWhenStartedDirectly) {
  Log log;
  auto op = recording(log, "main");
  std::vector<std::string> keys;
  op->addObserver(kOperationIsExecutingKey, [&](Operation& o, std::string_view key) {
    keys.push_back(std::string(key) + (o.isExecuting() ? "=1" : "=0"));
  });
  op->addObserver(kOperationIsFinishedKey, [&](Operation& o, std::string_view key) {
    keys.push_back(std::string(key) + (o.isFinished() ? "=1" : "=0"));
  });
  EXPECT_TRUE(op->isReady());
  op->start();
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(op->isExecuting());
  EXPECT_EQ(log.entries(), std::vector<std::string>{"main"});
  EXPECT_EQ(keys, (std::vector<std::string>{"isExecuting=1", "isExecuting=0", "isFinished=1"}));
  // Starting again does nothing.
  op->start();
  EXPECT_EQ(log.entries().size(), 1u);
  EXPECT_TRUE(op->waitUntilFinished(0s));
}

TEST(OperationTest, CancelledOperationFinishesWithoutRunningMain) {
  Log log;
  auto op = recording(log, "main");
  auto dependency = BlockOperation::create([] {});
  op->addDependency(dependency);
  EXPECT_FALSE(op->isReady());
  int cancelledSeen = 0;
  op->addObserver(kOperationIsCancelledKey, [&](Operation&, std::string_view) { ++cancelledSeen; });
  op->cancel();
  op->cancel();  // idempotent
  EXPECT_EQ(cancelledSeen, 1);
  EXPECT_TRUE(op->isCancelled());
  EXPECT_TRUE(op->isReady());  // cancelled operations are ready, so they can finish
  op->start();
  EXPECT_TRUE(op->isFinished());
  EXPECT_TRUE(log.entries().empty());
  // Cancelling a finished operation changes nothing.
  auto done = BlockOperation::create([] {});
  done->start();
  done->cancel();
  EXPECT_FALSE(done->isCancelled());
}

TEST(OperationTest, CompletionBlockRunsExactlyOnceAndIsReleased) {
  auto op = std::make_shared<ManualOperation>();
  std::atomic<int> runs{0};
  dispatch::Semaphore ran, released;
  struct Tracker {
    dispatch::Semaphore* released;
    ~Tracker() { released->signal(); }
  };
  auto captured = std::make_shared<Tracker>(&released);
  op->setCompletionBlock([&, captured] {
    runs.fetch_add(1);
    ran.signal();
  });
  captured.reset();
  EXPECT_TRUE(op->hasCompletionBlock());
  op->start();
  EXPECT_TRUE(op->isExecuting());
  // Announcing "isFinished" while not finished does not run it.
  op->willChangeValueForKey(kOperationIsFinishedKey);
  op->didChangeValueForKey(kOperationIsFinishedKey);
  op->finish();
  op->finish();
  op->didChangeValueForKey(kOperationIsFinishedKey);
  ASSERT_TRUE(ran.wait(kSafety));
  EXPECT_FALSE(ran.wait(50ms));
  EXPECT_EQ(runs.load(), 1);
  EXPECT_FALSE(op->hasCompletionBlock());
  // The block and what it captured are released once it ran.
  EXPECT_TRUE(released.wait(kSafety));
  // A block set after finishing never runs.
  op->setCompletionBlock([&] { runs.fetch_add(100); });
  op->didChangeValueForKey(kOperationIsFinishedKey);
  EXPECT_FALSE(ran.wait(50ms));
  EXPECT_EQ(runs.load(), 1);
}

TEST(OperationTest, CompletionBatchHoldsBlocksBackAndRunsThemOnItsThread) {
  // Outside a batch a completion block goes to a global queue.
  auto alone = std::make_shared<ManualOperation>();
  dispatch::Semaphore aloneRan;
  std::thread::id aloneThread;
  alone->setCompletionBlock([&] {
    aloneThread = std::this_thread::get_id();
    aloneRan.signal();
  });
  alone->start();
  alone->finish();
  ASSERT_TRUE(aloneRan.wait(kSafety));
  EXPECT_NE(aloneThread, std::this_thread::get_id());

  Log log;
  std::vector<std::thread::id> threads;
  auto a = std::make_shared<ManualOperation>();
  auto b = std::make_shared<ManualOperation>();
  auto chained = std::make_shared<ManualOperation>();  // finished by b's block
  auto inner = std::make_shared<ManualOperation>();    // finished in a nested batch
  for (auto& [op, name] : std::vector<std::pair<std::shared_ptr<ManualOperation>, std::string>>{
           {a, "a"}, {b, "b"}, {chained, "chained"}, {inner, "inner"}}) {
    op->setCompletionBlock([&log, &threads, name = name, chained] {
      threads.push_back(std::this_thread::get_id());
      log.add(name);
      if (name == "b") chained->finish();
    });
    op->start();
  }
  {
    Operation::CompletionBatch batch;
    b->finish();
    a->finish();
    {
      Operation::CompletionBatch nested;
      inner->finish();
      EXPECT_TRUE(log.entries().empty());
    }  // the nested batch runs its own block as it ends
    EXPECT_EQ(log.entries(), std::vector<std::string>{"inner"});
    EXPECT_TRUE(a->isFinished());
    EXPECT_TRUE(b->isFinished());
    batch.run();
    // In the order the operations finished, with the one finished by a
    // block run in the same batch after it.
    EXPECT_EQ(log.entries(), (std::vector<std::string>{"inner", "b", "a", "chained"}));
    batch.run();  // nothing runs twice
  }
  EXPECT_EQ(log.entries().size(), 4u);
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_FALSE(a->hasCompletionBlock());
  // A batch that ends without run() still runs what it holds.
  auto late = std::make_shared<ManualOperation>();
  late->setCompletionBlock([&] { log.add("late"); });
  late->start();
  {
    Operation::CompletionBatch batch;
    late->finish();
  }
  EXPECT_EQ(log.entries().back(), "late");
}

TEST(OperationTest, ConcurrentOperationStaysExecutingAfterStart) {
  auto op = std::make_shared<ManualOperation>();
  std::thread waiter([&] { EXPECT_TRUE(op->waitUntilFinished(kSafety)); });
  op->start();
  EXPECT_TRUE(op->mainRan);
  EXPECT_TRUE(op->isExecuting());
  EXPECT_FALSE(op->isFinished());
  EXPECT_FALSE(op->waitUntilFinished(10ms));
  op->finish();
  waiter.join();
  EXPECT_FALSE(op->isExecuting());
  EXPECT_TRUE(op->isFinished());
}

TEST(OperationTest, DependenciesAndReadinessAnnouncements) {
  auto a = std::make_shared<ManualOperation>();
  auto b = BlockOperation::create([] {});
  int readyChanges = 0;
  b->addObserver(kOperationIsReadyKey, [&](Operation&, std::string_view) { ++readyChanges; });
  b->addDependency(a);
  b->addDependency(a);  // twice: once
  b->addDependency(b);  // itself: ignored
  EXPECT_EQ(b->dependencies().size(), 1u);
  EXPECT_FALSE(b->isReady());
  b->start();  // not ready: ignored
  EXPECT_FALSE(b->isExecuting());
  EXPECT_FALSE(b->isFinished());
  int before = readyChanges;
  a->start();
  a->finish();
  EXPECT_GT(readyChanges, before);
  EXPECT_TRUE(b->isReady());

  auto c = std::make_shared<ManualOperation>();
  b->addDependency(c);
  EXPECT_FALSE(b->isReady());
  b->removeDependency(c);
  EXPECT_TRUE(b->isReady());
  // The removed dependency no longer reaches b.
  before = readyChanges;
  c->start();
  c->finish();
  EXPECT_EQ(readyChanges, before);
}

TEST(OperationTest, RemovedObserverIsNotCalled) {
  auto op = BlockOperation::create([] {});
  int first = 0, second = 0;
  Operation::ObserverToken secondToken = 0;
  op->addObserver(kOperationIsFinishedKey, [&](Operation& o, std::string_view) {
    ++first;
    o.removeObserver(secondToken);  // removed during the same announcement
  });
  secondToken =
      op->addObserver(kOperationIsFinishedKey, [&](Operation&, std::string_view) { ++second; });
  op->start();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
}

// --- OperationQueue ------------------------------------------------------------

TEST(OperationQueueTest, DependenciesOrderTheWork) {
  auto queue = OperationQueue::create("deps");
  Log log;
  auto a = recording(log, "a");
  auto b = recording(log, "b");
  auto c = recording(log, "c");
  c->addDependency(b);
  b->addDependency(a);
  // Added in reverse: the dependencies, not the order of adding, decide.
  queue->addOperations({c, b, a}, true);
  EXPECT_EQ(log.entries(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(kSafety));
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(OperationQueueTest, CancelledQueuedOperationStillFinishesAndLeaves) {
  auto queue = OperationQueue::create("cancel");
  auto gate = std::make_shared<ManualOperation>();  // never finishes by itself
  Log log;
  auto blocked = recording(log, "blocked");
  blocked->addDependency(gate);
  dispatch::Semaphore completed;
  blocked->setCompletionBlock([&] { completed.signal(); });
  queue->addOperation(blocked);
  EXPECT_EQ(queue->operationCount(), 1u);
  EXPECT_FALSE(queue->waitUntilAllOperationsAreFinished(20ms));

  blocked->cancel();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kSafety));
  EXPECT_TRUE(blocked->isFinished());
  EXPECT_TRUE(log.entries().empty());  // its work never ran
  EXPECT_TRUE(completed.wait(kSafety));
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(OperationQueueTest, CancelAllOperationsEmptiesTheBacklog) {
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(1);
  auto running = std::make_shared<ManualOperation>();
  queue->addOperation(running);
  ASSERT_TRUE(running->started.wait(kSafety));
  std::atomic<int> ran{0};
  for (int i = 0; i < 5; ++i) queue->addOperationWithBlock([&] { ran.fetch_add(1); });
  EXPECT_EQ(queue->operationCount(), 6u);
  queue->cancelAllOperations();
  EXPECT_TRUE(running->isCancelled());
  running->finish();  // the running one decides itself when it ends
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kSafety));
  EXPECT_EQ(ran.load(), 0);
}

TEST(OperationQueueTest, WidthLimitsConcurrentOperations) {
  auto queue = OperationQueue::create("width");
  queue->setMaxConcurrentOperationCount(2);
  EXPECT_EQ(queue->maxConcurrentOperationCount(), 2);
  std::vector<std::shared_ptr<ManualOperation>> ops;
  for (int i = 0; i < 5; ++i) {
    ops.push_back(std::make_shared<ManualOperation>());
    queue->addOperation(ops.back());
  }
  // The first two start (in order); the others wait for a free place.
  ASSERT_TRUE(ops[0]->started.wait(kSafety));
  ASSERT_TRUE(ops[1]->started.wait(kSafety));
  EXPECT_FALSE(ops[2]->started.wait(50ms));
  ops[0]->finish();
  ASSERT_TRUE(ops[2]->started.wait(kSafety));
  EXPECT_FALSE(ops[3]->started.wait(30ms));
  EXPECT_EQ(queue->operationCount(), 4u);

  // Widening lets the rest start at once.
  queue->setMaxConcurrentOperationCount(OperationQueue::kDefaultMaxConcurrentOperationCount);
  ASSERT_TRUE(ops[3]->started.wait(kSafety));
  ASSERT_TRUE(ops[4]->started.wait(kSafety));
  for (auto& op : ops) op->finish();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kSafety));
}

TEST(OperationQueueTest, WidthOneRunsInOrderAndNeverOverlaps) {
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(1);
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  Log log;
  for (int i = 0; i < 50; ++i) {
    queue->addOperationWithBlock([&, i] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      log.add(std::to_string(i));
      inside.fetch_sub(1);
    });
  }
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kSafety));
  EXPECT_FALSE(overlapped);
  auto entries = log.entries();
  ASSERT_EQ(entries.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(entries[i], std::to_string(i));
}

TEST(OperationQueueTest, SuspendedQueueStartsNothing) {
  auto queue = OperationQueue::create();
  queue->setSuspended(true);
  EXPECT_TRUE(queue->isSuspended());
  dispatch::Semaphore ran;
  queue->addOperationWithBlock([&] { ran.signal(); });
  EXPECT_FALSE(ran.wait(50ms));
  EXPECT_EQ(queue->operations().size(), 1u);
  queue->setSuspended(false);
  EXPECT_TRUE(ran.wait(kSafety));
}

TEST(OperationQueueTest, RefusesOperationsItCannotTake) {
  auto queue = OperationQueue::create();
  auto other = OperationQueue::create();
  other->setSuspended(true);
  auto op = BlockOperation::create([] {});
  other->addOperation(op);
  EXPECT_THROW(queue->addOperation(op), Exception);  // already in a queue
  EXPECT_THROW(queue->addOperation(nullptr), Exception);
  auto finished = BlockOperation::create([] {});
  finished->start();
  try {
    queue->addOperation(finished);
    ADD_FAILURE() << "a finished operation was accepted";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), kInvalidArgumentException);
  }
  other->setSuspended(false);
  EXPECT_TRUE(other->waitUntilAllOperationsAreFinished(kSafety));
}

TEST(OperationQueueTest, CurrentQueueDuringAnOperation) {
  auto queue = OperationQueue::create("current");
  EXPECT_EQ(queue->name(), "current");
  // Outside any operation: the main queue on the main thread, none elsewhere.
  EXPECT_EQ(OperationQueue::currentQueue(), OperationQueue::mainQueue());
  std::thread([] { EXPECT_EQ(OperationQueue::currentQueue(), nullptr); }).join();
  OperationQueue::Ptr seen;
  queue->addOperations({BlockOperation::create([&] { seen = OperationQueue::currentQueue(); })},
                       true);
  EXPECT_EQ(seen, queue);
  EXPECT_FALSE(OperationQueue::create()->name().empty());
}

TEST(OperationQueueTest, MainQueueRunsOnTheMainThreadOneAtATime) {
  auto main = OperationQueue::mainQueue();
  EXPECT_EQ(main, OperationQueue::mainQueue());
  EXPECT_EQ(main->maxConcurrentOperationCount(), 1);
  const auto mainThread = std::this_thread::get_id();
  std::atomic<int> done{0};
  std::atomic<bool> wrongThread{false};
  OperationQueue::Ptr current;
  for (int i = 0; i < 3; ++i) {
    main->addOperationWithBlock([&] {
      if (std::this_thread::get_id() != mainThread) wrongThread = true;
      current = OperationQueue::currentQueue();
      done.fetch_add(1);
    });
  }
  EXPECT_TRUE(runloop::RunLoop::main().runUntil([&] { return done.load() == 3; },
                                                std::chrono::milliseconds(20000)));
  EXPECT_FALSE(wrongThread);
  EXPECT_EQ(current, main);
}

TEST(OperationQueueTest, ConcurrentOperationsStartInOrderOnTheQueueNotInTheCaller) {
  auto queue = OperationQueue::create("starts");
  Log log;
  std::vector<std::shared_ptr<NamedConcurrentOperation>> ops;
  std::vector<std::string> names;
  for (int i = 0; i < 24; ++i) {
    names.push_back("op" + std::to_string(i));
    ops.push_back(std::make_shared<NamedConcurrentOperation>(log, names.back()));
    queue->addOperation(ops.back());
  }
  for (auto& op : ops) ASSERT_TRUE(op->started.wait(kSafety));
  EXPECT_EQ(log.entries(), names);
  for (auto& op : ops) {
    EXPECT_NE(op->thread, std::this_thread::get_id());
    EXPECT_EQ(op->queue, queue);
    EXPECT_TRUE(op->isExecuting());
  }
  EXPECT_EQ(queue->operationCount(), ops.size());
  for (auto& op : ops) op->finish();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kSafety));
}

// A concurrent operation that runs its start on a thread of its own.
class OwnThreadOperation : public ManualOperation {
 public:
  explicit OwnThreadOperation(dispatch::QueuePtr own) : own_(std::move(own)) {}
  bool takeStart(std::function<void()>& start) override {
    ++taken;
    own_->async(std::move(start));
    return true;
  }
  void main() override {
    onOwnQueue = own_->isCurrent();
    queue = OperationQueue::currentQueue();
    ManualOperation::main();
  }
  std::atomic<int> taken{0};
  std::atomic<bool> onOwnQueue{false};
  OperationQueue::Ptr queue;

 private:
  dispatch::QueuePtr own_;
};

TEST(OperationQueueTest, AnOperationThatTakesItsStartRunsItOnItsOwnThread) {
  auto own = dispatch::Queue::createSerial("own start thread");
  auto queue = OperationQueue::create("taking");
  queue->setMaxConcurrentOperationCount(2);
  std::vector<std::shared_ptr<OwnThreadOperation>> ops;
  for (int i = 0; i < 3; ++i) ops.push_back(std::make_shared<OwnThreadOperation>(own));
  // Held on the own queue: nothing may start inside addOperation.
  dispatch::Semaphore hold, holding;
  own->async([&] {
    holding.signal();
    hold.wait(kSafety);
  });
  ASSERT_TRUE(holding.wait(kSafety));
  for (auto& op : ops) queue->addOperation(op);
  EXPECT_FALSE(ops[0]->mainRan);
  hold.signal();
  ASSERT_TRUE(ops[0]->started.wait(kSafety));
  ASSERT_TRUE(ops[1]->started.wait(kSafety));
  // The width still holds: the third waits for a place.
  EXPECT_FALSE(ops[2]->started.wait(20ms));
  ops[0]->finish();
  ASSERT_TRUE(ops[2]->started.wait(kSafety));
  for (auto& op : ops) {
    EXPECT_EQ(op->taken.load(), 1);
    EXPECT_TRUE(op->onOwnQueue);
    EXPECT_EQ(op->queue, queue);
    op->finish();
  }
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kSafety));

  // The main queue keeps its operations on the main thread.
  auto onMain = std::make_shared<OwnThreadOperation>(own);
  OperationQueue::mainQueue()->addOperation(onMain);
  EXPECT_TRUE(runloop::RunLoop::main().runUntil([&] { return onMain->mainRan.load(); },
                                                std::chrono::milliseconds(20000)));
  EXPECT_EQ(onMain->taken.load(), 0);
  EXPECT_FALSE(onMain->onOwnQueue);
  onMain->finish();
}

TEST(OperationQueueTest, AnOperationWaitingForADependencyDoesNotHoldBackLaterOnes) {
  auto queue = OperationQueue::create("waiting");
  auto gate = std::make_shared<ManualOperation>();  // outside the queue
  Log log;
  auto waiting = recording(log, "waiting");
  waiting->addDependency(gate);
  queue->addOperation(waiting);
  queue->addOperations({recording(log, "later")}, true);
  EXPECT_EQ(log.entries(), std::vector<std::string>{"later"});
  // A finished operation leaves the queue as its finish is announced, which
  // may come just after a waiter has seen it finished.
  const auto deadline = std::chrono::steady_clock::now() + kSafety;
  while (queue->operationCount() > 1u && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(queue->operationCount(), 1u);

  gate->start();
  gate->finish();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kSafety));
  EXPECT_EQ(log.entries(), (std::vector<std::string>{"later", "waiting"}));
  // Nothing waits any more: what comes next still starts, directly or not.
  queue->addOperations({recording(log, "next")}, true);
  queue->setSuspended(true);
  auto held = recording(log, "held");
  queue->addOperation(held);
  EXPECT_FALSE(held->waitUntilFinished(20ms));
  queue->setSuspended(false);
  EXPECT_TRUE(held->waitUntilFinished(kSafety));
  EXPECT_EQ(log.entries(), (std::vector<std::string>{"later", "waiting", "next", "held"}));
}

// An operation that counts how often its readiness is asked.
class CountingReadyOperation : public BlockOperation {
 public:
  CountingReadyOperation(std::atomic<long>& asked, std::function<void()> block)
      : BlockOperation(std::move(block)), asked_(asked) {}
  bool isReady() const override {
    asked_.fetch_add(1);
    return BlockOperation::isReady();
  }

 private:
  std::atomic<long>& asked_;
};

// The work per operation does not grow with the backlog: operations waiting
// for a dependency are not asked for their readiness again each time another
// one starts or finishes, only when they announce a change.
TEST(OperationQueueTest, WaitingOperationsAreNotAskedAgainAsOthersRun) {
  constexpr long kWaiting = 1000;
  constexpr long kReady = 1000;
  auto queue = OperationQueue::create("backlog");
  queue->setMaxConcurrentOperationCount(1);
  auto gate = std::make_shared<ManualOperation>();  // outside the queue
  std::atomic<long> asked{0};
  std::atomic<long> ran{0};
  std::vector<Operation::Ptr> waiting;
  for (long i = 0; i < kWaiting; ++i) {
    auto op = std::make_shared<CountingReadyOperation>(asked, [&] { ran.fetch_add(1); });
    op->addDependency(gate);
    waiting.push_back(op);
  }
  queue->addOperations(waiting, false);
  std::vector<Operation::Ptr> ready;
  for (long i = 0; i < kReady; ++i) {
    ready.push_back(BlockOperation::create([&] { ran.fetch_add(1); }));
  }
  queue->addOperations(ready, true);
  EXPECT_EQ(ran.load(), kReady);
  // Asked when added and once by the queue: a few times each, not once per
  // operation that ran meanwhile (a million).
  EXPECT_LE(asked.load(), 4 * kWaiting);

  const long before = asked.load();
  gate->start();
  gate->finish();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kSafety));
  EXPECT_EQ(ran.load(), kReady + kWaiting);
  EXPECT_LE(asked.load() - before, 4 * kWaiting);
  // Cancelling the rest of a backlog is as cheap: all still leave.
  queue->setSuspended(true);
  std::vector<Operation::Ptr> backlog;
  for (long i = 0; i < kReady; ++i) {
    backlog.push_back(BlockOperation::create([&] { ran.fetch_add(1); }));
  }
  queue->addOperations(backlog, false);
  queue->cancelAllOperations();
  queue->setSuspended(false);
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kSafety));
  EXPECT_EQ(ran.load(), kReady + kWaiting);
}

// An operation with its own flags under its own lock, which it holds while
// announcing its finish, as subclasses with their own state do.
class OwnLockOperation : public Operation {
 public:
  bool isConcurrent() const override { return true; }
  bool isFinished() const override {
    std::lock_guard lock(own_);
    return done_;
  }
  void finishHoldingOwnLock() {
    std::lock_guard lock(own_);
    willChangeValueForKey("isFinished");
    done_ = true;
    didChangeValueForKey("isFinished");
  }

 private:
  mutable std::recursive_mutex own_;  // announcing asks isFinished again
  bool done_ = false;
};

// A wait that times out asks isFinished without holding the waiters' lock:
// otherwise it takes the two locks in the opposite order to an announcing
// operation, and the two can deadlock (the thread sanitizer reports the
// inversion even when the timing does not hit it).
TEST(OperationTest, TimedOutWaitAndAnnouncingFinishTakeNoLocksInOppositeOrder) {
  auto op = std::make_shared<OwnLockOperation>();
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(op->waitUntilFinished(1ms));
  std::thread finisher([&] { op->finishHoldingOwnLock(); });
  EXPECT_TRUE(op->waitUntilFinished(kSafety));
  finisher.join();
}

// A concurrent operation keeping its own flag through transitionState.
class OwnStateOperation : public Operation {
 public:
  bool isConcurrent() const override { return true; }
  bool isFinished() const override {
    return readState([this] { return done_; }) || Operation::isFinished();
  }
  void finishOwnState() {
    transitionState([this](std::vector<std::string_view>& announce) {
      done_ = true;
      announce.push_back(kOperationIsFinishedKey);
    });
  }

 private:
  bool done_ = false;
};

// Calls `call` on a new thread and waits (at most kSafety) for it to return:
// what an observer does that hands work to another thread and waits for it.
bool callFromAnotherThread(std::vector<std::thread>& threads, std::function<void()> call) {
  auto done = std::make_shared<dispatch::Semaphore>();
  threads.emplace_back([call = std::move(call), done] {
    call();
    done->signal();
  });
  return done->wait(kSafety);
}

// Guarantee 5: the announcement follows the release of the state lock, so an
// observer may call back into the operation from another thread.
TEST(OperationTest, TransitionAnnouncesAfterReleasingTheStateLock) {
  auto op = std::make_shared<OwnStateOperation>();
  std::vector<std::thread> threads;
  std::atomic<int> calls{0};
  bool returned = false, seenFinished = false;
  op->addObserver(kOperationIsFinishedKey, [&](Operation& o, std::string_view) {
    ++calls;
    returned = callFromAnotherThread(threads, [&] {
      seenFinished = o.isFinished();
      (void)o.description();
    });
  });
  op->finishOwnState();
  for (auto& t : threads) t.join();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(returned);
  EXPECT_TRUE(seenFinished);
  EXPECT_TRUE(op->waitUntilFinished(kSafety));
}

TEST(OperationQueueTest, ManyProducersAndDependencyChains) {
  auto queue = OperationQueue::create("stress");
  queue->setMaxConcurrentOperationCount(4);
  std::atomic<int> ran{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&] {
      Operation::Ptr previous;
      for (int i = 0; i < 50; ++i) {
        auto op = BlockOperation::create([&] { ran.fetch_add(1); });
        if (previous) op->addDependency(previous);
        if (i % 7 == 3) op->cancel();
        queue->addOperation(op);
        previous = op;
      }
    });
  }
  for (auto& t : producers) t.join();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kSafety));
  // Every fourth-to-seventh op was cancelled: 4 producers x 7 cancelled each.
  EXPECT_EQ(ran.load(), 4 * (50 - 7));
}

}  // namespace
}  // namespace platform
