// WorkerPool: the process's threads for the global concurrent queues.
//
// Guarantees:
//  1. Jobs of a higher priority start before queued jobs of a lower one;
//     jobs of one priority start in submission order.
//  2. At most "hardware concurrency" workers run jobs at once, unless some of
//     them wait (BlockingScope) or make no progress: when jobs are queued, no
//     worker is idle and no job has started for a short while, the pool adds
//     a worker (up to a hard limit), so a job that blocks on work queued
//     behind it cannot starve the pool forever.
//  3. A worker that has had no job for a few seconds leaves, unless it is
//     one of the last two: an idle process keeps two workers, however many
//     a burst of work started.
//  4. A worker that just finished a job may poll for the next one for a
//     short, bounded time (at most one worker polls at once, for at most
//     200 µs, less when polls keep finding nothing) before it goes to sleep,
//     so work handed over in quick succession starts without a wake-up; an
//     idle process always ends up sleeping.
//  5. Submitting wakes at most one sleeping worker, outside the pool's lock,
//     and none while a polling worker or one already woken will take the
//     job; a woken worker that finds more jobs waiting wakes the next one.
//     Every submitted job is started without waiting for a timeout.
// The pool lives for the whole process; workers are detached and block
// every asynchronous signal.
//
// Thread safety: all members may be called from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/dispatch/spin_budget.h"

namespace platform::dispatch::detail {

class WorkerPool {
 public:
  using Job = std::function<void()>;
  static constexpr int kPriorities = 4;  // index 0 is the highest

  static WorkerPool& instance();

  void submit(int priority, Job job);
  // The calling worker is about to wait / has stopped waiting.
  void willBlock();
  void didUnblock();
  // True when jobs wait for a worker.
  bool hasPending();
  // True on a thread of this pool.
  static bool onWorker();

 private:
  WorkerPool();
  void spawnLocked();
  void workerMain();
  void monitorMain();

  // An idle worker waits on its own slot; the most recently idle worker is
  // woken first (its cache is warm). Slots are never freed: the slot of a
  // worker that left is reused by the next one.
  struct Slot {
    std::condition_variable cv;
    bool woken = false;  // guarded by mutex_
  };
  // Takes the most recently idle worker off the idle list and marks it woken;
  // the caller signals its slot after unlocking. nullptr when none is idle.
  Slot* takeIdleLocked();
  // With the lock held, after jobs were added or taken: when jobs wait that
  // no awake worker is about to take, returns an idle worker to signal (after
  // unlocking), or starts a worker, or sets `wakeMonitor` to ask the monitor.
  Slot* provideWorkerLocked(bool& wakeMonitor);
  Slot* acquireSlotLocked();
  // Polls for work without the lock for up to `budgetMicros`; returns the
  // microseconds waited until a job became pending, -1 when none did.
  int spinForWork(int budgetMicros);

  std::mutex mutex_;
  std::condition_variable monitorCv_;
  bool monitorWaiting_ = false;
  std::deque<Job> jobs_[kPriorities];
  std::size_t pending_ = 0;
  std::atomic<std::size_t> pendingHint_{0};  // pending_, readable without the lock
  int spinners_ = 0;                         // workers polling in spinForWork
  SpinBudget spin_;                          // adaptive poll length
  int threads_ = 0;
  int waking_ = 0;  // workers woken or started that have not got the lock yet
  std::vector<Slot*> idle_;
  std::vector<Slot*> freeSlots_;
  int blocked_ = 0;
  int softLimit_;
  int hardLimit_ = 256;
  std::uint64_t started_ = 0;
};

}  // namespace platform::dispatch::detail
