#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/notification_center.h"
#include "platform/system/operation_queue.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
constexpr auto kSafety = std::chrono::seconds(20);

TEST(NotificationCenterTest, SynchronousDeliveryFiltersByNameAndObject) {
  NotificationCenter center;
  int senderA = 0, senderB = 0;
  auto a = Notification::identity(&senderA);
  std::vector<std::string> seen;
  center.addObserver("ping", nullptr, nullptr,
                     [&](const Notification& n) { seen.push_back("any:" + n.name); });
  center.addObserver("ping", &senderA, nullptr, [&](const Notification& n) {
    seen.push_back("a:" + n.userInfo["k"].asString());
  });
  center.addObserver("", nullptr, nullptr,
                     [&](const Notification& n) { seen.push_back("all:" + n.name); });

  center.post("ping", a, Value::dictionary({{"k", Value("v")}}));
  EXPECT_EQ(seen, (std::vector<std::string>{"any:ping", "a:v", "all:ping"}));
  seen.clear();
  center.post("ping", Notification::identity(&senderB));
  EXPECT_EQ(seen, (std::vector<std::string>{"any:ping", "all:ping"}));
  seen.clear();
  center.post("other");
  EXPECT_EQ(seen, (std::vector<std::string>{"all:other"}));
}

TEST(NotificationCenterTest, ObjectIsHandedOverAsPosted) {
  NotificationCenter center;
  auto sender = std::make_shared<std::string>("sender");
  std::shared_ptr<std::string> received;
  center.addObserver("n", sender.get(), nullptr,
                     [&](const Notification& n) { received = n.objectAs<std::string>(); });
  center.post("n", sender);
  ASSERT_TRUE(received);
  EXPECT_EQ(*received, "sender");
  EXPECT_EQ(received, sender);
}

TEST(NotificationCenterTest, RemovalByTokenAndByObserver) {
  NotificationCenter center;
  int calls = 0;
  int owner = 0, otherOwner = 0;
  auto token = center.addObserver("n", nullptr, nullptr, [&](const Notification&) { calls += 1; });
  center.addObserver(
      &owner, [&](const Notification&) { calls += 10; }, "n", nullptr);
  center.addObserver(
      &owner, [&](const Notification&) { calls += 100; }, "m", nullptr);
  center.addObserver(
      &otherOwner, [&](const Notification&) { calls += 1000; }, "n", nullptr);
  center.post("n");
  center.post("m");
  EXPECT_EQ(calls, 1111);

  calls = 0;
  center.removeObserver(token);
  center.removeObserver(token);                                // twice: harmless
  center.removeObserver(NotificationCenter::ObserverToken());  // empty: nothing
  center.removeObserver(&owner, "m", nullptr);                 // only that name
  center.post("n");
  center.post("m");
  EXPECT_EQ(calls, 1010);

  calls = 0;
  center.removeObserver(&owner);  // all of its registrations
  center.post("n");
  center.post("m");
  EXPECT_EQ(calls, 1000);
}

TEST(NotificationCenterTest, ObserverRemovedDuringAPostIsNotCalledAfterwards) {
  NotificationCenter center;
  std::vector<std::string> seen;
  NotificationCenter::ObserverToken second;
  center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
    seen.push_back("first");
    center.removeObserver(second);
    // Observers may post and register from inside a block.
    center.addObserver("late", nullptr, nullptr,
                       [&](const Notification&) { seen.push_back("late"); });
    center.post("late");
  });
  second = center.addObserver("n", nullptr, nullptr,
                              [&](const Notification&) { seen.push_back("second"); });
  center.post("n");
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "late"}));
}

TEST(NotificationCenterTest, QueuedObserversRunOnTheirQueue) {
  NotificationCenter center;
  auto queue = dispatch::Queue::createSerial("notification.target");
  std::atomic<bool> onQueue{false};
  dispatch::Semaphore delivered;
  std::vector<int> order;
  center.addObserver("n", nullptr, queue, [&](const Notification& n) {
    onQueue = queue->isCurrent();
    order.push_back(static_cast<int>(n.userInfo["i"].asInt64()));
    delivered.signal();
  });
  // post returns without waiting for the queued observer.
  dispatch::Semaphore gate;
  queue->async([&] { gate.wait(kSafety); });
  for (int i = 0; i < 5; ++i) center.post("n", nullptr, Value::dictionary({{"i", Value(i)}}));
  gate.signal();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(delivered.wait(kSafety));
  EXPECT_TRUE(onQueue);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(NotificationCenterTest, RemovalCancelsDeliveriesAlreadyQueued) {
  NotificationCenter center;
  auto queue = dispatch::Queue::createSerial("notification.removal");
  std::atomic<int> calls{0};
  auto token = center.addObserver("n", nullptr, queue, [&](const Notification&) { ++calls; });
  dispatch::Semaphore gate, drained;
  queue->async([&] { gate.wait(kSafety); });
  center.post("n");
  center.removeObserver(token);
  gate.signal();
  queue->async([&] { drained.signal(); });
  ASSERT_TRUE(drained.wait(kSafety));
  EXPECT_EQ(calls.load(), 0);
}

TEST(NotificationCenterTest, OperationQueueObservers) {
  NotificationCenter center;
  auto queue = OperationQueue::create("observers");
  std::atomic<bool> onQueue{false};
  dispatch::Semaphore delivered;
  center.addObserver("n", nullptr, queue, [&](const Notification&) {
    onQueue = OperationQueue::currentQueue() == queue;
    delivered.signal();
  });
  center.post("n");
  ASSERT_TRUE(delivered.wait(kSafety));
  EXPECT_TRUE(onQueue);
}

TEST(NotificationCenterTest, ConcurrentPostsAndRemovals) {
  NotificationCenter center;
  std::atomic<int> calls{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (!stop) center.post("n");
    });
  }
  for (int i = 0; i < 300; ++i) {
    auto token =
        center.addObserver("n", nullptr, nullptr, [&](const Notification&) { calls.fetch_add(1); });
    center.removeObserver(token);
  }
  // A removed observer is never called once removeObserver returned.
  std::atomic<int> lateCalls{0};
  std::atomic<bool> removed{false};
  auto token = center.addObserver("n", nullptr, nullptr, [&](const Notification&) {
    if (removed) ++lateCalls;
  });
  center.removeObserver(token);
  removed = true;
  // At most one call per posting thread can have been under way.
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_LE(lateCalls.load(), 3);
}

TEST(NotificationCenterTest, PostOnMainThreadIsAlwaysQueued) {
  auto& center = NotificationCenter::defaultCenter();
  EXPECT_EQ(&center, &NotificationCenter::defaultCenter());
  const auto mainThread = std::this_thread::get_id();
  std::vector<std::string> seen;
  std::atomic<bool> wrongThread{false};
  int token = 0;
  center.addObserver(
      &token,
      [&](const Notification& n) {
        if (std::this_thread::get_id() != mainThread) wrongThread = true;
        seen.push_back(n.userInfo["step"].asString());
      },
      "test.mainthread", nullptr);
  // Called on the main thread itself: still not delivered inside the call.
  center.postOnMainThread("test.mainthread", nullptr, Value::dictionary({{"step", Value("1")}}));
  EXPECT_TRUE(seen.empty());
  std::thread other([&] {
    center.postOnMainThread(
        Notification{"test.mainthread", nullptr, Value::dictionary({{"step", Value("2")}})});
  });
  other.join();
  EXPECT_TRUE(seen.empty());
  EXPECT_TRUE(runloop::RunLoop::main().runUntil([&] { return seen.size() == 2; },
                                                std::chrono::milliseconds(20000)));
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "2"}));
  EXPECT_FALSE(wrongThread);
  center.removeObserver(&token);
}

}  // namespace
}  // namespace platform
