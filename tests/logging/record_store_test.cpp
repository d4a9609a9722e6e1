#include "logging/record_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logging/abstract_logger.h"
#include "logging/log.h"
#include "logging/test_loggers.h"
#include "platform/dispatch/dispatch.h"

namespace logging {
namespace {

using detail::RecordStore;
using testing::CollectingLogger;

LKLogMessagePtr make(const std::string& text, std::string_view file, std::string_view function,
                     std::uint64_t line, platform::Value tag = {}) {
  LKLogMessage* r = RecordStore::take();
  EXPECT_TRUE(RecordStore::text(r).empty());
  RecordStore::text(r) = text;
  return RecordStore::publish(r, 7, LKLogFlagWarning, 3, file, function, line, std::move(tag));
}

// Every field of a stored record is what the public constructor would give,
// also when the record was last used by another thread, queue and call site.
TEST(RecordStoreTest, ReusedRecordCarriesOnlyItsOwnFields) {
  auto queue = platform::dispatch::Queue::createSerial("record.store.queue");
  queue->sync([&] {
    for (int i = 0; i < 200; ++i) {
      make(std::string(i, 'x'), "/a/b/first.cpp", "first", 1, platform::Value("tag"));
    }  // each goes back to the store at once
  });
  std::thread other([&] {
    pthread_setname_np(pthread_self(), "store-other");
    for (int i = 0; i < 200; ++i) {
      auto r = make("short", "second.mm", "second", 2);
      LKLogMessage expected("short", 7, LKLogFlagWarning, 3, "second.mm", "second", 2, {}, 0,
                            r->timestamp());
      EXPECT_EQ(r->message(), "short");
      EXPECT_EQ(r->level(), 7u);
      EXPECT_EQ(r->flag(), LKLogFlagWarning);
      EXPECT_EQ(r->context(), 3);
      EXPECT_EQ(r->file(), "second.mm");
      EXPECT_EQ(r->fileName(), "second");
      EXPECT_EQ(r->function(), "second");
      EXPECT_EQ(r->line(), 2u);
      EXPECT_TRUE(r->tag().isNone());
      EXPECT_EQ(r->options(), 0);
      EXPECT_EQ(r->threadID(), expected.threadID());
      EXPECT_EQ(r->threadName(), "store-other");
      EXPECT_EQ(r->queueLabel(), "");
      EXPECT_LE(std::abs(r->timestamp().timeIntervalSince(platform::Date::now())), 5.0);
    }
  });
  other.join();
  auto back = make("mine", "/x/third.c", "third", 3);
  EXPECT_EQ(back->queueLabel(), platform::dispatch::Queue::currentLabel());
  EXPECT_EQ(back->fileName(), "third");
}

// A stored record keeps the buffer of a short text for its next use, not
// that of a long one.
TEST(RecordStoreTest, OnlyShortTextBuffersAreKept) {
  LKLogMessage* shortText = RecordStore::take();
  RecordStore::text(shortText).assign(200, 's');
  LKLogMessage* longText = RecordStore::take();
  RecordStore::text(longText).assign(RecordStore::kKeptTextCapacity + 1, 'l');
  // Back in this thread's list of the store: still there to look at.
  RecordStore::giveBack(shortText);
  RecordStore::giveBack(longText);
  EXPECT_GE(RecordStore::text(shortText).capacity(), 200u);
  EXPECT_LE(RecordStore::text(longText).capacity(), RecordStore::kKeptTextCapacity);
  // Taken again, a record's text is empty whatever it held.
  for (int i = 0; i < 3; ++i) {
    LKLogMessage* r = RecordStore::take();
    EXPECT_TRUE(RecordStore::text(r).empty());
    RecordStore::giveBack(r);
  }
}

// A record goes back to the store only when nobody refers to it, strongly
// or weakly: the stored shared count lives inside the record.
TEST(RecordStoreTest, RecordIsNotReusedWhileReferenced) {
  auto held = make("held", "held.cpp", "f", 1, platform::Value("tag"));
  const LKLogMessage* heldAddress = held.get();
  std::weak_ptr<const LKLogMessage> weak = make("weak", "weak.cpp", "f", 1);
  ASSERT_TRUE(weak.expired());
  std::weak_ptr<const LKLogMessage> weakOfHeld = held;
  const LKLogMessage* weakAddress = nullptr;
  {
    auto r = make("weakly held", "w.cpp", "f", 1);
    weak = r;
    weakAddress = r.get();
  }
  ASSERT_TRUE(weak.expired());
  std::set<const LKLogMessage*> seen;
  for (int i = 0; i < 2000; ++i) seen.insert(make("churn", "c.cpp", "f", 1).get());
  EXPECT_LT(seen.size(), 100u) << "records are reused";
  EXPECT_EQ(seen.count(heldAddress), 0u);
  EXPECT_EQ(seen.count(weakAddress), 0u);
  EXPECT_EQ(held->message(), "held");
  EXPECT_EQ(held->tag().asString(), "tag");
  weak.reset();  // now it may come back
  held.reset();
  EXPECT_TRUE(weakOfHeld.expired());
}

// Copies of a stored record are ordinary records that outlive it.
TEST(RecordStoreTest, CopiesAreIndependentOfTheStore) {
  auto r = make("original", "o.cpp", "f", 9, platform::Value("tag"));
  LKLogMessagePtr copy = r->copy();
  LKLogMessagePtr changed = r->copyWithMessage("changed");
  r.reset();
  for (int i = 0; i < 500; ++i) make("churn", "c.cpp", "g", 1);
  EXPECT_EQ(copy->message(), "original");
  EXPECT_EQ(copy->fileName(), "o");
  EXPECT_EQ(copy->line(), 9u);
  EXPECT_EQ(copy->tag().asString(), "tag");
  EXPECT_EQ(changed->message(), "changed");
  EXPECT_EQ(changed->function(), "f");
}

// Records made on several threads and released on the loggers' queues keep
// their text intact.
TEST(RecordStoreTest, RecordsMadeAndReleasedOnManyThreads) {
  auto logger = std::make_shared<CollectingLogger>();
  auto other = std::make_shared<CollectingLogger>("test.other");
  LKLog::addLogger(logger);
  LKLog::addLogger(other, LKLogFlagError);
  constexpr int kThreads = 4, kEach = 3000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        std::uint64_t flag = i % 7 == 0 ? LKLogFlagError : LKLogFlagInfo;
        LKLog::log(true, 7, flag, t, __FILE__, __func__, __LINE__, {}, "thread %d record %d %@", t,
                   i, std::string(static_cast<std::size_t>(i % 50), 'z'));
      }
    });
  }
  for (auto& th : threads) th.join();
  LKLog::flushLog();
  auto records = logger->records();
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kThreads * kEach));
  std::vector<int> next(kThreads, 0);
  for (const auto& r : records) {
    int t = static_cast<int>(r->context());
    int i = next[static_cast<std::size_t>(t)]++;
    EXPECT_EQ(r->message(), platform::format("thread %d record %d %@", t, i,
                                             std::string(static_cast<std::size_t>(i % 50), 'z')));
  }
  EXPECT_EQ(other->count(), static_cast<std::size_t>(kThreads * ((kEach + 6) / 7)));
  LKLog::removeAllLoggers();
  LKLog::flushLog();
}

}  // namespace
}  // namespace logging
