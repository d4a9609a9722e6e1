#include "platform/dispatch/queue_checker.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace platform::dispatch {
namespace {

bool checkOn(const QueuePtr& queue, const QueueChecker& checker) {
  bool valid = false;
  queue->sync([&] { valid = checker.calledOnValidQueue(); });
  return valid;
}

// Guarantee 1: binds to the queue of the first check; other queues fail.
TEST(QueueCheckerTest, BindsToTheQueueOfTheFirstCheck) {
  auto a = Queue::createSerial("test.checker.a");
  auto b = Queue::createSerial("test.checker.b");
  QueueChecker checker;
  EXPECT_TRUE(checkOn(a, checker));
  EXPECT_TRUE(checkOn(a, checker));
  EXPECT_FALSE(checkOn(b, checker));
  EXPECT_FALSE(checkOn(Queue::global(), checker));
  // The test's own thread is the main thread, which runs the main queue.
  EXPECT_FALSE(checker.calledOnValidQueue());

  QueueChecker mainChecker;
  EXPECT_TRUE(mainChecker.calledOnValidQueue());
  EXPECT_FALSE(checkOn(a, mainChecker));
}

// Guarantee 2: a queue targeting the bound queue counts as being on it (but
// not the other way round).
TEST(QueueCheckerTest, QueueTargetingTheBoundQueueCounts) {
  auto owner = Queue::createSerial("test.checker.owner");
  auto child = Queue::createSerial("test.checker.child", owner);
  QueueChecker checker;
  checker.bindTo(owner);
  EXPECT_TRUE(checkOn(child, checker));

  QueueChecker childChecker;
  childChecker.bindTo(child);
  EXPECT_FALSE(checkOn(owner, childChecker));
}

// Guarantee 3: an explicit queue, or a queue-specific key, from the start.
TEST(QueueCheckerTest, ExplicitQueueAndSpecificKey) {
  auto a = Queue::createSerial("test.checker.explicit");
  auto other = Queue::createSerial("test.checker.other");
  QueueChecker checker;
  checker.bindTo(a);
  EXPECT_FALSE(checkOn(other, checker));  // does not bind to the first caller
  EXPECT_TRUE(checkOn(a, checker));
  QueueChecker mainOnly(Queue::main());
  EXPECT_TRUE(mainOnly.calledOnValidQueue());
  EXPECT_FALSE(checkOn(a, mainOnly));

  static const char key = 0;
  auto marked = Queue::createSerial("test.checker.marked");
  auto behind = Queue::createSerial("test.checker.behind", marked);
  marked->setSpecific(&key, std::make_shared<int>(1));
  QueueChecker keyed(&key);
  EXPECT_TRUE(checkOn(marked, keyed));
  EXPECT_TRUE(checkOn(behind, keyed));
  EXPECT_FALSE(checkOn(other, keyed));
  keyed.detach();  // no effect on a keyed checker
  EXPECT_FALSE(checkOn(other, keyed));
  marked->setSpecific(&key, nullptr);
  EXPECT_FALSE(checkOn(marked, keyed));
}

// Guarantee 4: outside any queue the checker binds to the thread.
TEST(QueueCheckerTest, OutsideAnyQueueBindsToTheThread) {
  QueueChecker checker;
  bool first = false, again = false, otherThread = true;
  Semaphore bound, checkedElsewhere;
  // The bound thread stays alive while the other one checks (a finished
  // thread's id may be handed out again).
  std::thread owner([&] {
    first = checker.calledOnValidQueue();
    bound.signal();
    checkedElsewhere.wait();
    again = checker.calledOnValidQueue();
  });
  bound.wait();
  std::thread([&] { otherThread = checker.calledOnValidQueue(); }).join();
  EXPECT_FALSE(checkOn(Queue::createSerial("test.checker.thread"), checker));
  checkedElsewhere.signal();
  owner.join();
  EXPECT_TRUE(first);
  EXPECT_TRUE(again);
  EXPECT_FALSE(otherThread);
}

// Guarantee 5: detach() lets the next check bind again.
TEST(QueueCheckerTest, DetachRebinds) {
  auto a = Queue::createSerial("test.checker.first");
  auto b = Queue::createSerial("test.checker.second");
  QueueChecker checker;
  EXPECT_TRUE(checkOn(a, checker));
  checker.detach();
  EXPECT_TRUE(checkOn(b, checker));
  EXPECT_FALSE(checkOn(a, checker));
}

// Guarantee 1 (end): a bound queue that is gone is nobody's queue.
TEST(QueueCheckerTest, QueueThatIsGoneFails) {
  QueueChecker checker;
  {
    auto a = Queue::createSerial("test.checker.gone");
    EXPECT_TRUE(checkOn(a, checker));
  }
  EXPECT_FALSE(checkOn(Queue::createSerial("test.checker.new"), checker));
}

// Guarantee 6: a violation aborts with the condition, file and line.
TEST(QueueCheckerDeathTest, ViolationAbortsWhenChecksAreOn) {
  if (!VARNEL_DCHECK_IS_ON()) GTEST_SKIP() << "built without VARNEL_DCHECKS";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        QueueChecker checker;
        checker.bindTo(Queue::createSerial("test.checker.owner"));
        VARNEL_DCHECK_ON_QUEUE(checker);
      },
      "DCHECK failed: \\(checker\\)\\.calledOnValidQueue\\(\\) at .*queue_checker_test\\.cpp");
}

// Guarantee 6: a check that holds costs nothing but the check, and without
// VARNEL_DCHECKS the argument is not even evaluated.
TEST(QueueCheckerTest, PassingCheckAndCompiledOutArgument) {
  int evaluated = 0;
  VARNEL_DCHECK(++evaluated > 0);
  EXPECT_EQ(evaluated, VARNEL_DCHECK_IS_ON() ? 1 : 0);
  QueueChecker checker;
  VARNEL_DCHECK_ON_QUEUE(checker);  // binds to the main queue, passes
  EXPECT_TRUE(checker.calledOnValidQueue());
}

}  // namespace
}  // namespace platform::dispatch
