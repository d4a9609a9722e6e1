// Serial dispatch queue against a baseline work queue made of one thread,
// a std::mutex and a std::condition_variable; run-loop threads and the main
// run loop on the same round trip; bursts onto the worker pool; and the
// lateness of `after`; and an operation queue draining a backlog of 1,000 to
// 100,000 operations, against the serial queue draining as many blocks.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/operation_queue.h"

namespace {

using platform::dispatch::Group;
using platform::dispatch::Queue;
using platform::dispatch::Semaphore;

// Baseline: one worker thread draining a deque under a mutex.
class MutexCvQueue {
 public:
  MutexCvQueue() : worker_([this] { run(); }) {}
  ~MutexCvQueue() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_one();
    worker_.join();
  }
  void async(std::function<void()> f) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(f));
    }
    cv_.notify_one();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return done_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      auto f = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      f();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool done_ = false;
  std::thread worker_;
};

// One block posted and its completion awaited, per iteration.
void BM_RoundTrip_SerialQueue(benchmark::State& state) {
  auto q = Queue::createSerial("bench.roundtrip");
  Semaphore done;
  for (auto _ : state) {
    q->async([&] { done.signal(); });
    done.wait();
  }
}
BENCHMARK(BM_RoundTrip_SerialQueue)->UseRealTime();

void BM_RoundTrip_MutexCvBaseline(benchmark::State& state) {
  MutexCvQueue q;
  Semaphore done;
  for (auto _ : state) {
    q.async([&] { done.signal(); });
    done.wait();
  }
}
BENCHMARK(BM_RoundTrip_MutexCvBaseline)->UseRealTime();

// The same round trip through a thread that runs its own run loop.
void BM_RoundTrip_RunLoopThread(benchmark::State& state) {
  auto thread = platform::runloop::Thread::start("bench.loop");
  Semaphore done;
  for (auto _ : state) {
    thread->perform([&] { done.signal(); });
    done.wait();
  }
}
BENCHMARK(BM_RoundTrip_RunLoopThread)->UseRealTime();

// The shape of a request made from the main thread: the main run loop hands
// a block to the worker pool, which answers on the main queue.
void BM_RoundTrip_PoolToMainLoop(benchmark::State& state) {
  auto& loop = platform::runloop::RunLoop::main();
  for (auto _ : state) {
    bool done = false;
    Queue::global()->async([&] { Queue::main()->async([&] { done = true; }); });
    loop.runUntil([&] { return done; }, std::chrono::seconds(10));
  }
}
BENCHMARK(BM_RoundTrip_PoolToMainLoop)->UseRealTime();

// Sixteen short jobs posted at once onto the worker pool, then awaited.
void BM_Burst16_GlobalQueue(benchmark::State& state) {
  std::atomic<long> counter{0};
  for (auto _ : state) {
    Group group;
    for (int i = 0; i < 16; ++i) group.async(Queue::global(), [&] { counter.fetch_add(1); });
    group.wait();
  }
  state.SetItemsProcessed(state.iterations() * 16);
}
BENCHMARK(BM_Burst16_GlobalQueue)->UseRealTime();

constexpr int kBatch = 10000;

// kBatch small blocks posted back to back, then the last one awaited.
void BM_Throughput_SerialQueue(benchmark::State& state) {
  auto q = Queue::createSerial("bench.throughput");
  long counter = 0;
  for (auto _ : state) {
    Semaphore done;
    for (int i = 0; i < kBatch; ++i) q->async([&] { ++counter; });
    q->async([&] { done.signal(); });
    done.wait();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_Throughput_SerialQueue)->UseRealTime();

void BM_Throughput_MutexCvBaseline(benchmark::State& state) {
  MutexCvQueue q;
  long counter = 0;
  for (auto _ : state) {
    Semaphore done;
    for (int i = 0; i < kBatch; ++i) q.async([&] { ++counter; });
    q.async([&] { done.signal(); });
    done.wait();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_Throughput_MutexCvBaseline)->UseRealTime();

// Lateness of `after`: time from the deadline to the block, in microseconds.
void BM_AfterLatency(benchmark::State& state) {
  auto q = Queue::createSerial("bench.after");
  const auto delay = std::chrono::microseconds(state.range(0));
  double lateUs = 0;
  for (auto _ : state) {
    Semaphore done;
    auto due = std::chrono::steady_clock::now() + delay;
    std::chrono::steady_clock::time_point ran;
    q->after(delay, [&] {
      ran = std::chrono::steady_clock::now();
      done.signal();
    });
    done.wait();
    lateUs += std::chrono::duration<double, std::micro>(ran - due).count();
  }
  state.counters["late_us"] = benchmark::Counter(lateUs / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_AfterLatency)->Arg(100)->Arg(1000)->Arg(10000)->UseRealTime();

// A backlog of range(0) block operations queued on a suspended queue of
// width 1 (the analytics event queue's shape), then drained. per_op (the
// time per operation, adding and running it) must stay flat from 1,000 to
// 100,000: the queue's cost per operation does not grow with what it holds.
void BM_Backlog_OperationQueue(benchmark::State& state) {
  const long count = state.range(0);
  auto queue = platform::OperationQueue::create("bench.backlog");
  queue->setMaxConcurrentOperationCount(1);
  std::atomic<long> counter{0};
  auto round = [&] {
    queue->setSuspended(true);
    for (long i = 0; i < count; ++i) {
      queue->addOperationWithBlock([&] { counter.fetch_add(1, std::memory_order_relaxed); });
    }
    queue->setSuspended(false);
    queue->waitUntilAllOperationsAreFinished();
  };
  // One round untimed: the first touch of the backlog's memory (page faults,
  // dear in a virtual machine) is the allocator's cost, not the queue's.
  round();
  for (auto _ : state) round();
  state.SetItemsProcessed(state.iterations() * count);
  state.counters["per_op"] =
      benchmark::Counter(static_cast<double>(state.iterations() * count),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Backlog_OperationQueue)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Baseline: the same number of blocks through a serial dispatch queue.
void BM_Backlog_SerialQueueBaseline(benchmark::State& state) {
  const long count = state.range(0);
  auto q = Queue::createSerial("bench.backlog.baseline");
  long counter = 0;
  for (auto _ : state) {
    Semaphore done;
    for (long i = 0; i < count; ++i) q->async([&] { ++counter; });
    q->async([&] { done.signal(); });
    done.wait();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * count);
  state.counters["per_op"] =
      benchmark::Counter(static_cast<double>(state.iterations() * count),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Backlog_SerialQueueBaseline)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
