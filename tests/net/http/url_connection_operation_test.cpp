#include "net/http/url_connection_operation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "net/http/http_test_util.h"
#include "platform/dispatch/dispatch.h"
#include "platform/system/notification_center.h"
#include "platform/system/operation_queue.h"
#include "support/http_test_server.h"

namespace {

using http_test::requestFor;
using http_test::runMainUntil;
using net::http::NKURLConnectionOperation;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

// Counts the start and finish notifications of one operation.
struct NotificationCounter {
  std::atomic<int> starts{0}, finishes{0};
  platform::NotificationCenter::ObserverToken a, b;
  explicit NotificationCounter(const void* op) {
    auto& center = platform::NotificationCenter::defaultCenter();
    a = center.addObserver(net::http::kNKNetworkingOperationDidStartNotification, op, nullptr,
                           [this](const platform::Notification&) { ++starts; });
    b = center.addObserver(net::http::kNKNetworkingOperationDidFinishNotification, op, nullptr,
                           [this](const platform::Notification&) { ++finishes; });
  }
  ~NotificationCounter() {
    platform::NotificationCenter::defaultCenter().removeObserver(a);
    platform::NotificationCenter::defaultCenter().removeObserver(b);
  }
};

const void* identity(const NKURLConnectionOperation::Ptr& op) {
  return std::shared_ptr<void>(std::static_pointer_cast<platform::Operation>(op)).get();
}

TEST(NKURLConnectionOperationTest, TransitionTable) {
  using Op = NKURLConnectionOperation;
  EXPECT_TRUE(Op::stateTransitionIsValid(Op::kReady, Op::kExecuting, false));
  EXPECT_TRUE(Op::stateTransitionIsValid(Op::kReady, Op::kPaused, false));
  EXPECT_FALSE(Op::stateTransitionIsValid(Op::kReady, Op::kFinished, false));
  EXPECT_TRUE(Op::stateTransitionIsValid(Op::kReady, Op::kFinished, true));
  EXPECT_FALSE(Op::stateTransitionIsValid(Op::kReady, Op::kReady, false));
  EXPECT_TRUE(Op::stateTransitionIsValid(Op::kExecuting, Op::kPaused, false));
  EXPECT_FALSE(Op::stateTransitionIsValid(Op::kExecuting, Op::kReady, false));
  EXPECT_FALSE(Op::stateTransitionIsValid(Op::kFinished, Op::kReady, true));
  EXPECT_TRUE(Op::stateTransitionIsValid(Op::kPaused, Op::kReady, false));
  EXPECT_FALSE(Op::stateTransitionIsValid(Op::kPaused, Op::kFinished, true));
  EXPECT_TRUE(Op::stateTransitionIsValid(7, Op::kFinished, false));
  EXPECT_STREQ(Op::keyPathForState(Op::kPaused), "isPaused");
  EXPECT_STREQ(Op::keyPathForState(9), "state");
}

TEST(NKURLConnectionOperationTest, RunsInAQueueAndPostsStartAndFinish) {
  auto server = HTTPTestServer::start();
  server->setReply("/a", HTTPReply::text(200, "body"));
  auto op = NKURLConnectionOperation::create(requestFor(server->url("/a")));
  NotificationCounter counter(identity(op));
  std::vector<std::string> keys;
  op->addObserver("isExecuting",
                  [&](platform::Operation&, std::string_view k) { keys.emplace_back(k); });
  op->addObserver("isFinished",
                  [&](platform::Operation&, std::string_view k) { keys.emplace_back(k); });
  auto queue = platform::OperationQueue::create();
  queue->addOperation(op);
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(std::chrono::seconds(15)));
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(op->error());
  EXPECT_EQ(http_test::text(*op->responseData()), "body");
  EXPECT_EQ(op->responseString(), "body");
  EXPECT_EQ(op->totalBytesRead(), 4);
  EXPECT_TRUE(runMainUntil([&] { return counter.starts == 1 && counter.finishes == 1; }));
  EXPECT_EQ(keys, (std::vector<std::string>{"isExecuting", "isExecuting", "isFinished"}));
}

// What the main queue saw of each operation, in order: "start", "finish"
// (the notifications) and "done" (posted by its completion block).
struct MainQueueEvents {
  std::map<const void*, std::vector<std::string>> byOperation;  // main thread only
  std::vector<platform::NotificationCenter::ObserverToken> tokens;
  MainQueueEvents() {
    auto& center = platform::NotificationCenter::defaultCenter();
    for (auto [name, event] :
         {std::pair{net::http::kNKNetworkingOperationDidStartNotification, "start"},
          std::pair{net::http::kNKNetworkingOperationDidFinishNotification, "finish"}}) {
      tokens.push_back(center.addObserver(name, nullptr, nullptr,
                                          [this, event = event](const platform::Notification& n) {
                                            byOperation[n.object.get()].push_back(event);
                                          }));
    }
  }
  ~MainQueueEvents() {
    for (auto token : tokens) platform::NotificationCenter::defaultCenter().removeObserver(token);
  }
};

TEST(NKURLConnectionOperationTest, LoadsEndingTogetherEachFinishOnceInOrderOffTheirThreads) {
  auto server = HTTPTestServer::start();
  server->setHandler("/n", [](const test_support::HTTPRecordedRequest& r) {
    return HTTPReply::text(200, "body of " + r.target);
  });
  server->setReply("/slow", [] {
    HTTPReply r = HTTPReply::text(200, "slow");
    r.delaySeconds = 0.05;
    return r;
  }());
  // A port nothing listens on: a load that fails.
  const std::string refused = [] {
    auto closed = HTTPTestServer::start();
    std::string url = closed->url("/gone");
    closed->stop();
    return url;
  }();
  MainQueueEvents events;
  auto queue = platform::OperationQueue::create();
  struct Seen {
    std::atomic<int> completions{0};
    std::atomic<bool> finishedWhenCompleting{true};
    std::atomic<bool> completionOffMainAndNetwork{true};
    std::atomic<bool> startedOnNetworkThread{false};
  };
  constexpr int kCount = 40;
  std::vector<NKURLConnectionOperation::Ptr> ops;
  std::vector<std::unique_ptr<Seen>> seen;
  std::atomic<int> done{0};
  for (int i = 0; i < kCount; ++i) {
    const std::string url = i % 10 == 3   ? refused
                            : i % 10 == 7 ? server->url("/slow")
                                          : server->url("/n?" + std::to_string(i));
    auto op = NKURLConnectionOperation::create(requestFor(url));
    seen.push_back(std::make_unique<Seen>());
    Seen* s = seen.back().get();
    op->addObserver("isExecuting", [s](platform::Operation& o, std::string_view) {
      if (o.isExecuting()) {
        s->startedOnNetworkThread = platform::urlloading::NetworkThread::shared().isCurrent();
      }
    });
    std::weak_ptr<NKURLConnectionOperation> weak = op;
    const void* key = identity(op);
    op->setCompletionBlock([s, weak, key, &events, &done] {
      auto self = weak.lock();
      s->completions.fetch_add(1);
      if (!self || !self->isFinished()) s->finishedWhenCompleting = false;
      if (platform::urlloading::NetworkThread::shared().isCurrent() ||
          platform::dispatch::Queue::current() == platform::dispatch::Queue::main()) {
        s->completionOffMainAndNetwork = false;
      }
      platform::dispatch::Queue::main()->async([key, &events, &done] {
        events.byOperation[key].push_back("done");
        ++done;
      });
    });
    ops.push_back(op);
  }
  for (auto& op : ops) queue->addOperation(op);
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(std::chrono::seconds(15)));
  ASSERT_TRUE(runMainUntil([&] { return done.load() == kCount; }));
  for (int i = 0; i < kCount; ++i) {
    SCOPED_TRACE(i);
    const auto& op = ops[i];
    EXPECT_TRUE(op->isFinished());
    EXPECT_EQ(seen[i]->completions.load(), 1);
    EXPECT_TRUE(seen[i]->finishedWhenCompleting);
    EXPECT_TRUE(seen[i]->completionOffMainAndNetwork);
    EXPECT_TRUE(seen[i]->startedOnNetworkThread);
    EXPECT_EQ(events.byOperation[identity(op)],
              (std::vector<std::string>{"start", "finish", "done"}));
    if (i % 10 == 3) {
      EXPECT_EQ(op->error().code(), platform::urlloading::kURLErrorCannotConnectToHost);
      EXPECT_FALSE(op->responseData());
    } else if (i % 10 == 7) {
      EXPECT_FALSE(op->error());
      EXPECT_EQ(op->responseString(), "slow");
    } else {
      EXPECT_FALSE(op->error());
      EXPECT_EQ(op->responseString(), "body of /n?" + std::to_string(i));
    }
  }
}

// Start notifications gathered on the network thread are posted once it has
// no work at hand: an operation whose load goes on is announced while it
// runs, also when loads started with it end first and take their own start
// notifications along.
TEST(NKURLConnectionOperationTest, AnnouncesTheStartOfALoadThatGoesOn) {
  auto server = HTTPTestServer::start();
  server->setReply("/quick", HTTPReply::text(200, "quick"));
  HTTPReply hang;
  hang.hang = true;
  server->setReply("/hang", hang);
  MainQueueEvents events;
  auto queue = platform::OperationQueue::create();
  auto slow = NKURLConnectionOperation::create(requestFor(server->url("/hang")));
  std::vector<NKURLConnectionOperation::Ptr> quick;
  for (int i = 0; i < 8; ++i) {
    quick.push_back(NKURLConnectionOperation::create(requestFor(server->url("/quick"))));
  }
  queue->addOperation(quick[0]);
  queue->addOperation(slow);
  for (int i = 1; i < 8; ++i) queue->addOperation(quick[i]);
  ASSERT_TRUE(runMainUntil([&] {
    for (auto& op : quick) {
      if (events.byOperation[identity(op)].size() < 2) return false;
    }
    return !events.byOperation[identity(slow)].empty();
  }));
  EXPECT_TRUE(slow->isExecuting());
  EXPECT_EQ(events.byOperation[identity(slow)], std::vector<std::string>{"start"});
  for (auto& op : quick) {
    EXPECT_EQ(events.byOperation[identity(op)], (std::vector<std::string>{"start", "finish"}));
  }
  slow->cancel();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(std::chrono::seconds(15)));
  ASSERT_TRUE(runMainUntil([&] { return events.byOperation[identity(slow)].size() == 2; }));
  EXPECT_EQ(events.byOperation[identity(slow)], (std::vector<std::string>{"start", "finish"}));
  EXPECT_EQ(slow->error().code(), platform::urlloading::kURLErrorCancelled);
}

TEST(NKURLConnectionOperationTest, CancelsRacingTheEndOfTheLoadEndItOnceEitherWay) {
  auto server = HTTPTestServer::start();
  server->setReply("/a", HTTPReply::text(200, "whole body"));
  MainQueueEvents events;
  auto queue = platform::OperationQueue::create();
  constexpr int kCount = 60;
  std::vector<NKURLConnectionOperation::Ptr> ops;
  std::atomic<int> completions{0};
  for (int i = 0; i < kCount; ++i) {
    auto op = NKURLConnectionOperation::create(requestFor(server->url("/a")));
    op->setCompletionBlock([&] { completions.fetch_add(1); });
    ops.push_back(op);
    queue->addOperation(op);
  }
  // Cancelled while loading, just as the load ends, or after it finished.
  for (int i = 0; i < kCount; ++i) {
    if (i % 3 == 0) ops[i]->cancel();
    if (i % 3 == 1) std::this_thread::yield();
  }
  for (int i = 0; i < kCount; i += 3) ops[i + 1]->cancel();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(std::chrono::seconds(15)));
  ASSERT_TRUE(runMainUntil([&] {
    if (completions.load() != kCount) return false;
    for (auto& op : ops) {
      if (events.byOperation[identity(op)].size() < 2) return false;
    }
    return true;
  }));
  for (auto& op : ops) {
    EXPECT_TRUE(op->isFinished());
    EXPECT_EQ(events.byOperation[identity(op)], (std::vector<std::string>{"start", "finish"}));
    if (op->error()) {
      EXPECT_EQ(op->error().code(), -999);
    } else {
      // Not cut short: an operation that reports success has the whole body.
      EXPECT_EQ(op->responseString(), "whole body");
    }
  }
  EXPECT_EQ(completions.load(), kCount);
}

TEST(NKURLConnectionOperationTest, CancelledBeforeStartStillStartsAndFinishesWithoutLoading) {
  auto server = HTTPTestServer::start();
  auto op = NKURLConnectionOperation::create(requestFor(server->url("/never")));
  NotificationCounter counter(identity(op));
  op->cancel();
  EXPECT_TRUE(op->isCancelled());
  op->start();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_EQ(op->error().domain(), platform::kURLErrorDomain);
  EXPECT_EQ(op->error().code(), -999);
  EXPECT_EQ(op->error().userInfo()[platform::kURLErrorKey].asString(), server->url("/never"));
  EXPECT_TRUE(runMainUntil([&] { return counter.starts == 1 && counter.finishes == 1; }));
  EXPECT_EQ(server->requestCount(), 0u);
  op->cancel();  // cancelling a finished operation changes nothing
  EXPECT_EQ(op->error().code(), -999);
}

TEST(NKURLConnectionOperationTest, CancelDuringTheLoadFinishesWithTheCancellationError) {
  auto server = HTTPTestServer::start();
  HTTPReply hang;
  hang.hang = true;
  server->setReply("/hang", hang);
  auto op = NKURLConnectionOperation::create(requestFor(server->url("/hang")));
  op->start();
  ASSERT_TRUE(server->waitForRequestCount(1));
  op->cancel();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_EQ(op->error().code(), -999);
  EXPECT_FALSE(op->responseData());
}

TEST(NKURLConnectionOperationTest, PauseAndResume) {
  auto server = HTTPTestServer::start();
  std::atomic<int> calls{0};
  server->setHandler("/p", [&](const test_support::HTTPRecordedRequest&) {
    HTTPReply r = HTTPReply::text(200, "second");
    if (calls++ == 0) r.hang = true;
    return r;
  });
  server->setReply("/quick", HTTPReply::text(200, "quick"));
  // Pausing a ready operation touches nothing and posts nothing; resuming
  // it starts it.
  auto ready = NKURLConnectionOperation::create(requestFor(server->url("/quick")));
  NotificationCounter readyCounter(identity(ready));
  ready->resume();  // not paused: nothing happens
  EXPECT_TRUE(ready->isReady());
  ready->pause();
  EXPECT_TRUE(ready->isPaused());
  ready->resume();
  ASSERT_TRUE(ready->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_TRUE(runMainUntil([&] { return readyCounter.finishes == 1; }));

  auto op = NKURLConnectionOperation::create(requestFor(server->url("/p")));
  NotificationCounter counter(identity(op));
  op->start();
  ASSERT_TRUE(server->waitForRequestCount(2));  // "/quick", then the held "/p"
  op->pause();
  EXPECT_TRUE(op->isPaused());
  EXPECT_FALSE(op->isFinished());
  EXPECT_TRUE(runMainUntil([&] { return counter.finishes == 1; }))
      << "pausing an executing operation posts the finish notification";
  op->resume();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_EQ(op->responseString(), "second");
  EXPECT_EQ(readyCounter.starts, 1);
}

// Guarantee 7: no lock is held while a change is announced, so an observer
// that hands a call back into the operation to another thread and waits for
// it does not deadlock, whichever change it observes (start, pause, resume,
// finish, cancel).
TEST(NKURLConnectionOperationTest, ObserverMayCallBackIntoTheOperationFromAnotherThread) {
  auto server = HTTPTestServer::start();
  std::atomic<int> calls{0};
  server->setHandler("/p", [&](const test_support::HTTPRecordedRequest&) {
    HTTPReply r = HTTPReply::text(200, "second");
    if (calls++ == 0) r.hang = true;
    return r;
  });
  // Shared with the observers' threads, which may outlive the test body by
  // a moment (an announcement still being delivered as it ends).
  struct Calls {
    std::atomic<int> answered{0}, late{0};
  };
  auto seen = std::make_shared<Calls>();
  auto callBack = [seen](platform::Operation& o, std::string_view) {
    auto op = std::static_pointer_cast<NKURLConnectionOperation>(o.shared_from_this());
    auto done = std::make_shared<platform::dispatch::Semaphore>();
    std::thread([op, done, seen] {
      (void)op->description();
      (void)op->request();
      (void)op->responseString();
      (void)op->error();
      ++seen->answered;
      done->signal();
    }).detach();
    if (!done->wait(std::chrono::seconds(10))) ++seen->late;
  };
  auto watch = [&](const NKURLConnectionOperation::Ptr& op) {
    for (const char* key : {"isReady", "isExecuting", "isPaused", "isFinished", "isCancelled"}) {
      op->addObserver(key, callBack);
    }
  };
  auto op = NKURLConnectionOperation::create(requestFor(server->url("/p")));
  watch(op);
  op->start();
  ASSERT_TRUE(server->waitForRequestCount(1));
  op->pause();
  op->resume();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_EQ(op->responseString(), "second");

  auto cancelled = NKURLConnectionOperation::create(requestFor(server->url("/p")));
  watch(cancelled);
  cancelled->cancel();
  cancelled->start();
  ASSERT_TRUE(cancelled->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_EQ(cancelled->error().code(), -999);

  EXPECT_EQ(seen->late, 0);
  // At least the changes announced inside start, pause, resume and cancel.
  EXPECT_GE(seen->answered, 8);
}

TEST(NKURLConnectionOperationTest, APauseBeforeTheNetworkThreadStartsLeavesNoConnection) {
  auto server = HTTPTestServer::start();
  server->setReply("/a", HTTPReply::text(200, "a"));
  for (int i = 0; i < 20; ++i) {
    auto op = NKURLConnectionOperation::create(requestFor(server->url("/a")));
    op->start();
    op->pause();
    op->resume();
    ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
    EXPECT_EQ(op->responseString(), "a");
  }
}

TEST(NKURLConnectionOperationTest, CancellingAPausedOperationFinishesIt) {
  auto server = HTTPTestServer::start();
  HTTPReply hang;
  hang.hang = true;
  server->setReply("/hang", hang);
  auto op = NKURLConnectionOperation::create(requestFor(server->url("/hang")));
  auto queue = platform::OperationQueue::create();
  queue->addOperation(op);
  ASSERT_TRUE(server->waitForRequestCount(1));
  op->pause();
  op->cancel();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(std::chrono::seconds(15)));
  EXPECT_TRUE(op->isFinished());
  EXPECT_EQ(op->error().code(), -999);

  auto never = NKURLConnectionOperation::create(requestFor(server->url("/hang")));
  never->pause();
  never->cancel();
  ASSERT_TRUE(never->waitUntilFinished(std::chrono::seconds(15)));
}

TEST(NKURLConnectionOperationTest, AFailingOutputStreamFailsTheOperation) {
  auto server = HTTPTestServer::start();
  server->setReply("/big", HTTPReply::text(200, std::string(10000, 'z')));
  auto op = NKURLConnectionOperation::create(requestFor(server->url("/big")));
  op->setOutputStream(std::make_shared<platform::urlloading::FileOutputStream>("/dev/full", false));
  op->start();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_EQ(op->error().domain(), platform::kPOSIXErrorDomain);
  EXPECT_EQ(op->error().code(), ENOSPC);

  // A stream closed under the operation cannot take bytes: also a failure.
  auto closed = NKURLConnectionOperation::create(requestFor(server->url("/big")));
  auto stream = std::make_shared<platform::urlloading::MemoryOutputStream>();
  stream->open();
  stream->close();
  closed->setOutputStream(stream);
  closed->start();
  ASSERT_TRUE(closed->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_TRUE(closed->error());
}

TEST(NKURLConnectionOperationTest, ResponseStringFollowsTheCharset) {
  auto server = HTTPTestServer::start();
  server->setReply("/latin", HTTPReply::text(200, "caf\xe9", "text/plain; charset=iso-8859-1"));
  server->setReply("/none", HTTPReply::text(200, "caf\xc3\xa9", "text/plain"));
  server->setReply("/bogus", HTTPReply::text(200, "caf\xc3\xa9", "text/plain; charset=bogus-x"));
  for (auto [path, expected] :
       {std::pair{"/latin", "caf\xc3\xa9"}, std::pair{"/none", "caf\xc3\xa9"},
        std::pair{"/bogus", "caf\xc3\xa9"}}) {
    auto op = NKURLConnectionOperation::create(requestFor(server->url(path)));
    EXPECT_FALSE(op->responseString()) << "nothing before a response";
    op->start();
    ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
    EXPECT_EQ(op->responseString(), expected) << path;
  }
}

TEST(NKURLConnectionOperationTest, CompletionBlockRunsOnceAndIsReleased) {
  auto server = HTTPTestServer::start();
  server->setReply("/a", HTTPReply::text(200, "x"));
  auto op = NKURLConnectionOperation::create(requestFor(server->url("/a")));
  auto sentinel = std::make_shared<int>(1);
  std::weak_ptr<int> weak = sentinel;
  std::atomic<int> runs{0};
  op->setCompletionBlock([sentinel, &runs] { ++runs; });
  sentinel.reset();
  EXPECT_TRUE(op->completionBlock());
  op->start();
  ASSERT_TRUE(runMainUntil([&] { return weak.expired(); }));
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(op->completionBlock());

  auto cleared = NKURLConnectionOperation::create(requestFor(server->url("/a")));
  cleared->setCompletionBlock([&runs] { ++runs; });
  cleared->setCompletionBlock(nullptr);
  cleared->start();
  ASSERT_TRUE(cleared->waitUntilFinished(std::chrono::seconds(15)));
  EXPECT_EQ(runs, 1);
}

TEST(NKURLConnectionOperationTest, DownloadProgressRunsOnTheMainQueueWithUnknownLength) {
  auto server = HTTPTestServer::start();
  HTTPReply chunked;
  chunked.chunks = {"12345", "678"};
  server->setReply("/c", chunked);
  auto op = NKURLConnectionOperation::create(requestFor(server->url("/c")));
  std::int64_t total = 0, expected = 0;
  bool onMain = true;
  op->setDownloadProgressBlock([&](std::int64_t, std::int64_t t, std::int64_t e) {
    onMain = onMain && platform::dispatch::Queue::main()->isCurrent();
    total = t;
    expected = e;
  });
  op->start();
  ASSERT_TRUE(runMainUntil([&] { return total == 8; }));
  EXPECT_EQ(expected, -1);
  EXPECT_TRUE(onMain);
}

TEST(NKURLConnectionOperationTest, ArchivingPausesAndCopiesShareNoState) {
  auto server = HTTPTestServer::start();
  HTTPReply hang;
  hang.hang = true;
  server->setReply("/hang", hang);
  auto op = NKURLConnectionOperation::create(requestFor(server->url("/hang")));
  op->setAllowsInvalidSSLCertificate(true);
  op->start();
  ASSERT_TRUE(server->waitForRequestCount(1));
  platform::Value coder = op->encodeWithCoder();
  EXPECT_TRUE(op->isPaused());
  EXPECT_EQ(coder["state"].asInt64(), 1);
  auto decoded = NKURLConnectionOperation::decodeWithCoder<NKURLConnectionOperation>(coder);
  EXPECT_TRUE(decoded->isReady());
  EXPECT_FALSE(decoded->isCancelled());
  EXPECT_TRUE(decoded->allowsInvalidSSLCertificate());
  EXPECT_EQ(decoded->request().url().absoluteString(), server->url("/hang"));

  op->cancel();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(15)));
  auto copy = op->copy();
  EXPECT_TRUE(copy->isReady());
  EXPECT_FALSE(copy->isCancelled());
  EXPECT_FALSE(copy->response());
  EXPECT_TRUE(copy->allowsInvalidSSLCertificate());
  EXPECT_NE(copy->description().find("state: isReady, cancelled: NO"), std::string::npos);
}

}  // namespace
