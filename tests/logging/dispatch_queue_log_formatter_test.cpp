#include "logging/dispatch_queue_log_formatter.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <thread>

#include "logging/abstract_logger.h"
#include "logging/log.h"
#include "logging/test_loggers.h"
#include "platform/runloop/run_loop.h"

namespace logging {
namespace {

namespace dispatch = platform::dispatch;

LKLogMessagePtr recordHere(std::string text = "hi") {
  return std::make_shared<const LKLogMessage>(std::move(text), 7, LKLogFlagInfo, 0, __FILE__,
                                              __func__, __LINE__, platform::Value(), 0);
}

LKLogMessagePtr recordOn(const dispatch::QueuePtr& queue) {
  LKLogMessagePtr r;
  queue->sync([&] { r = recordHere(); });
  return r;
}

TEST(DispatchQueueLogFormatterTest, MainQueueRecordShowsMain) {
  LKDispatchQueueLogFormatter f;
  LKLogMessagePtr r;
  dispatch::Queue::main()->async([&] { r = recordHere("on main"); });
  ASSERT_TRUE(platform::runloop::RunLoop::main().runUntil([&] { return r != nullptr; },
                                                          std::chrono::seconds(10)));
  auto text = f.formatLogMessage(*r);
  ASSERT_TRUE(text);
  EXPECT_TRUE(testing::hasShape(*text, "####-##-## ##:##:##:### [main] on main")) << *text;
  f.setMinQueueLength(6);
  EXPECT_EQ(f.queueThreadLabelForLogMessage(*r), "main  ");
}

TEST(DispatchQueueLogFormatterTest, GlobalQueueRecordOfUnnamedThreadShowsThreadID) {
  LKDispatchQueueLogFormatter f;
  LKLogMessagePtr r;
  dispatch::Semaphore done;
  dispatch::Queue::global()->async([&] {
    r = recordHere();
    done.signal();
  });
  ASSERT_TRUE(done.wait(std::chrono::seconds(10)));
  if (!r->threadName().empty()) {
    EXPECT_EQ(f.queueThreadLabelForLogMessage(*r), r->threadName());
  } else {
    EXPECT_EQ(f.queueThreadLabelForLogMessage(*r), r->threadID());
  }
  // A thread without a queue: its own name when it has one.
  std::thread named([&] {
    pthread_setname_np(pthread_self(), "worker-7");
    r = recordHere();
  });
  named.join();
  EXPECT_EQ(f.queueThreadLabelForLogMessage(*r), "worker-7");
  std::thread unnamed([&] { r = recordHere(); });
  unnamed.join();
  EXPECT_EQ(f.queueThreadLabelForLogMessage(*r), r->threadID());
}

TEST(DispatchQueueLogFormatterTest, WidthLimitsAndReplacements) {
  LKDispatchQueueLogFormatter f;
  auto r = recordOn(LKLog::loggingQueue());
  EXPECT_EQ(f.queueThreadLabelForLogMessage(*r), "logkit");
  f.setMaxQueueLength(4);
  EXPECT_EQ(f.queueThreadLabelForLogMessage(*r), "logk");
  f.setMaxQueueLength(0);
  f.setReplacementString("LK", "logkit");
  EXPECT_EQ(f.replacementStringForQueueLabel("logkit"), "LK");
  EXPECT_EQ(f.queueThreadLabelForLogMessage(*r), "LK");
  f.setReplacementString(std::nullopt, "logkit");
  EXPECT_EQ(f.replacementStringForQueueLabel("logkit"), std::nullopt);
  auto q = dispatch::Queue::createSerial("n\xC3\xA4me");  // "näme": cut by characters
  f.setMaxQueueLength(2);
  EXPECT_EQ(f.queueThreadLabelForLogMessage(*recordOn(q)), "n\xC3\xA4");
}

TEST(DispatchQueueLogFormatterTest, CountsTheLoggersUsingIt) {
  auto f = std::make_shared<LKDispatchQueueLogFormatter>();
  class Plain : public LKAbstractLogger {};
  auto a = std::make_shared<Plain>();
  auto b = std::make_shared<Plain>();
  a->setLogFormatter(f);
  b->setLogFormatter(f);
  EXPECT_EQ(a->logFormatter(), f);
  EXPECT_EQ(b->logFormatter(), f);
  EXPECT_EQ(f->loggerCount(), 2);
  b->setLogFormatter(nullptr);
  EXPECT_EQ(b->logFormatter(), nullptr);
  EXPECT_EQ(f->loggerCount(), 1);
}

}  // namespace
}  // namespace logging
