// The dispatcher's lock-free queue of records and work: what one thread
// queued stays in order against its own synchronous records, removals and
// flushes, even while other threads keep the drain job busy; and the
// recycled record storage survives being made and freed on different threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logging/log.h"
#include "logging/recycling_allocator.h"
#include "logging/test_loggers.h"

namespace logging {
namespace {

using testing::CollectingLogger;
using testing::logInfo;

class LogQueueOrderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    stop_ = true;
    for (auto& t : flooders_) t.join();
    LKLog::removeAllLoggers();
    LKLog::flushLog();
  }
  // Other threads log all the time, so the drain job keeps running and
  // hands the queue over between rounds.
  void flood(int threads) {
    for (int i = 0; i < threads; ++i) {
      flooders_.emplace_back([this] {
        while (!stop_) logInfo("noise");
      });
    }
  }
  std::atomic<bool> stop_{false};
  std::vector<std::thread> flooders_;
};

std::vector<std::string> mine(CollectingLogger& logger) {
  std::vector<std::string> out;
  for (auto& t : logger.texts()) {
    if (t != "noise") out.push_back(t);
  }
  return out;
}

TEST_F(LogQueueOrderTest, SynchronousRecordFollowsTheThreadsEarlierRecords) {
  auto logger = std::make_shared<CollectingLogger>();
  LKLog::addLogger(logger);
  flood(2);
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 50; ++i) logInfo("a" + std::to_string(round) + "." + std::to_string(i));
    logInfo("s" + std::to_string(round), false);
    auto texts = mine(*logger);
    ASSERT_FALSE(texts.empty());
    ASSERT_EQ(texts.back(), "s" + std::to_string(round));
  }
  LKLog::flushLog();
  auto texts = mine(*logger);
  ASSERT_EQ(texts.size(), 20u * 51u);
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ(texts[round * 51 + i], "a" + std::to_string(round) + "." + std::to_string(i));
    }
  }
}

TEST_F(LogQueueOrderTest, RemovedLoggerGetsWhatCameBeforeAndNothingAfter) {
  flood(2);
  for (int round = 0; round < 10; ++round) {
    auto logger = std::make_shared<CollectingLogger>();
    LKLog::addLogger(logger);
    for (int i = 0; i < 100; ++i) logInfo("before");
    LKLog::removeLogger(logger);
    for (int i = 0; i < 100; ++i) logInfo("after");
    LKLog::flushLog();
    auto texts = mine(*logger);
    EXPECT_EQ(texts.size(), 100u);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "after"), 0);
    EXPECT_EQ(logger->removed(), 1);
  }
}

TEST_F(LogQueueOrderTest, FlushSeesEveryRecordQueuedBeforeIt) {
  auto logger = std::make_shared<CollectingLogger>();
  LKLog::addLogger(logger);
  flood(1);
  for (int round = 1; round <= 20; ++round) {
    for (int i = 0; i < 100; ++i) logInfo("m");
    LKLog::flushLog();
    EXPECT_EQ(mine(*logger).size(), static_cast<std::size_t>(round * 100));
  }
}

struct Payload {
  std::uint64_t check;
  char fill[40];
};

TEST(RecyclingAllocatorTest, BlocksMadeHereAndFreedThereAreReusedIntact) {
  using Alloc = detail::RecyclingAllocator<Payload>;
  // One producer, one consumer: the shape of the dispatcher.
  std::atomic<Payload*> slot{nullptr};
  constexpr int kCount = 100000;
  std::set<Payload*> seen;
  std::thread consumer([&] {
    Alloc alloc;
    for (int i = 0; i < kCount; ++i) {
      Payload* p;
      while ((p = slot.exchange(nullptr)) == nullptr) std::this_thread::yield();
      ASSERT_EQ(p->check, static_cast<std::uint64_t>(i) * 2654435761u);
      alloc.deallocate(p, 1);
    }
  });
  Alloc alloc;
  for (int i = 0; i < kCount; ++i) {
    Payload* p = alloc.allocate(1);
    p->check = static_cast<std::uint64_t>(i) * 2654435761u;
    if (seen.size() < 4096) seen.insert(p);
    Payload* expected = nullptr;
    while (!slot.compare_exchange_weak(expected, p)) {
      expected = nullptr;
      std::this_thread::yield();
    }
  }
  consumer.join();
  // Freed blocks came back: far fewer distinct addresses than allocations.
  EXPECT_LT(seen.size(), 4096u);
  // Arrays are not recycled but still work.
  Payload* many = alloc.allocate(3);
  many[2].check = 7;
  alloc.deallocate(many, 3);
}

TEST(RecyclingAllocatorTest, SharedRecordsFromManyThreads) {
  std::vector<std::thread> threads;
  std::atomic<std::uint64_t> sum{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&sum, t] {
      std::vector<std::shared_ptr<const std::string>> keep;
      for (int i = 0; i < 20000; ++i) {
        keep.push_back(std::allocate_shared<std::string>(detail::RecyclingAllocator<std::string>(),
                                                         std::to_string(t * 100000 + i)));
        if (keep.size() == 64) {
          for (auto& s : keep) sum += std::stoull(*s);
          keep.clear();
        }
      }
      for (auto& s : keep) sum += std::stoull(*s);
    });
  }
  for (auto& th : threads) th.join();
  std::uint64_t expected = 0;
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 20000; ++i) expected += static_cast<std::uint64_t>(t * 100000 + i);
  }
  EXPECT_EQ(sum.load(), expected);
}

}  // namespace
}  // namespace logging
