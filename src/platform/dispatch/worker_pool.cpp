#include "platform/dispatch/worker_pool.h"

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/dispatch/internal.h"
#include "platform/dispatch/thread_crash_info.h"

namespace platform::dispatch::detail {

namespace {
thread_local bool tOnWorker = false;
constexpr auto kIdleExit = std::chrono::seconds(5);
// Workers that stay however long they idle. The others leave after kIdleExit
// without a job: an idle process keeps few threads (each holds its stack's
// touched pages and per-thread state), and a burst's workers go with it.
constexpr int kKeptIdleWorkers = 2;
constexpr auto kStallCheck = std::chrono::milliseconds(50);
// A worker that just ran a job may poll for the next one before it sleeps,
// for an adaptive budget (see spin_budget.h): that covers the usual round
// trip of a request on a local connection, so that a job posted then (by the
// reactor or another worker) starts without waking a thread. One poller at
// a time bounds the cost.
constexpr int kMaxSpinners = 1;
}  // namespace

namespace {
thread_local bool tPlatformThread = false;
sigset_t gSourceSignals;  // written under gSignalMutex; read in the fork child only
std::mutex gSignalMutex;

// Bumped in every fork child, where the forking thread becomes the main
// thread: a thread's cached answer of isMainThread is valid for one generation.
std::atomic<unsigned> gForkGeneration{1};
thread_local unsigned tMainCheckGeneration = 0;
thread_local bool tIsMainThread = false;

void restoreMaskInChild() {
  // Runs in the child of fork(), which has one thread: no locks needed.
  gForkGeneration.fetch_add(1, std::memory_order_relaxed);
  if (tPlatformThread) {
    sigset_t empty;
    sigemptyset(&empty);
    pthread_sigmask(SIG_SETMASK, &empty, nullptr);
  } else {
    pthread_sigmask(SIG_UNBLOCK, &gSourceSignals, nullptr);
  }
}

void installForkHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    sigemptyset(&gSourceSignals);
    pthread_atfork(nullptr, nullptr, restoreMaskInChild);
  });
}
}  // namespace

bool isMainThread() {
  // Asked on every log record and queue lookup: two system calls each time
  // would dominate those paths, so the answer is kept per thread.
  unsigned generation = gForkGeneration.load(std::memory_order_relaxed);
  if (tMainCheckGeneration != generation) {
    installForkHandler();
    generation = gForkGeneration.load(std::memory_order_relaxed);
    tIsMainThread = static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
    tMainCheckGeneration = generation;
  }
  return tIsMainThread;
}

void blockSignalsInThisThread() {
  installForkHandler();
  // A fault from a stack overflow needs a stack of its own for its handler.
  ::platform::dispatch::ensureAlternateSignalStack();
  tPlatformThread = true;
  sigset_t set;
  sigfillset(&set);
  // Faults must still reach their handlers (and the sanitizers).
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&set, s);
  // Crash recording stops every thread with this signal to read its registers.
  sigdelset(&set, ::platform::ThreadStateSuspendSignal());
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void blockSourceSignal(int signo) {
  installForkHandler();
  {
    std::lock_guard lock(gSignalMutex);
    sigaddset(&gSourceSignals, signo);
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

BlockingScope::BlockingScope() : active_(WorkerPool::onWorker()) {
  willWait();
  if (active_) WorkerPool::instance().willBlock();
}

BlockingScope::~BlockingScope() {
  if (active_) WorkerPool::instance().didUnblock();
}

WorkerPool& WorkerPool::instance() {
  // Never destroyed: detached workers may still run at exit.
  static WorkerPool* pool = new WorkerPool();
  return *pool;
}

WorkerPool::WorkerPool()
    : softLimit_(std::max(2, static_cast<int>(std::thread::hardware_concurrency()))) {
  std::thread([this] { monitorMain(); }).detach();
}

bool WorkerPool::hasPending() { return pendingHint_.load(std::memory_order_relaxed) > 0; }

bool WorkerPool::onWorker() { return tOnWorker; }

void WorkerPool::submit(int priority, Job job) {
  priority = std::clamp(priority, 0, kPriorities - 1);
  Slot* wake;
  bool wakeMonitor = false;
  {
    std::lock_guard lock(mutex_);
    jobs_[priority].push_back(std::move(job));
    ++pending_;
    pendingHint_.store(pending_, std::memory_order_release);
    wake = provideWorkerLocked(wakeMonitor);
  }
  // Signalled after the unlock, so the woken thread does not block at once
  // on the mutex this thread still holds.
  if (wake) wake->cv.notify_one();
  if (wakeMonitor) monitorCv_.notify_one();
}

WorkerPool::Slot* WorkerPool::provideWorkerLocked(bool& wakeMonitor) {
  // Each polling worker rechecks the queue under the lock before it sleeps,
  // so it takes this job (or another worker did) without being woken.
  if (pending_ <= static_cast<std::size_t>(spinners_)) return nullptr;
  // A worker that was woken (or started) and has not taken its job yet
  // wakes the next one itself if jobs are still left then: a burst of
  // submissions costs the submitting thread one wake-up, not one per job.
  if (waking_ > 0) return nullptr;
  if (Slot* slot = takeIdleLocked()) return slot;
  if (threads_ - blocked_ < softLimit_ && threads_ < hardLimit_) {
    spawnLocked();
  } else {
    wakeMonitor = monitorWaiting_;
  }
  return nullptr;
}

WorkerPool::Slot* WorkerPool::takeIdleLocked() {
  if (idle_.empty()) return nullptr;
  Slot* slot = idle_.back();
  idle_.pop_back();
  slot->woken = true;
  ++waking_;
  return slot;
}

WorkerPool::Slot* WorkerPool::acquireSlotLocked() {
  if (freeSlots_.empty()) return new Slot;  // kept for the life of the process
  Slot* slot = freeSlots_.back();
  freeSlots_.pop_back();
  return slot;
}

void WorkerPool::willBlock() {
  bool wakeMonitor = false;
  {
    std::lock_guard lock(mutex_);
    ++blocked_;
    if (pending_ > 0 && idle_.empty()) {
      if (threads_ - blocked_ < softLimit_ && threads_ < hardLimit_) {
        spawnLocked();
      } else {
        wakeMonitor = monitorWaiting_;
      }
    }
  }
  if (wakeMonitor) monitorCv_.notify_one();
}

void WorkerPool::didUnblock() {
  std::lock_guard lock(mutex_);
  --blocked_;
}

void WorkerPool::spawnLocked() {
  ++threads_;
  ++waking_;  // until the new worker holds the lock
  std::thread([this] { workerMain(); }).detach();
}

void WorkerPool::workerMain() {
  tOnWorker = true;
  blockSignalsInThisThread();
  pthread_setname_np(pthread_self(), "dispatch-worker");
  std::unique_lock lock(mutex_);
  // Slots outlive their workers (a submitter signals a slot after it has
  // unlocked, when the worker may already be gone): a leaving worker puts
  // its slot on the free list for the next one.
  Slot& slot = *acquireSlotLocked();
  --waking_;
  for (;;) {
    bool spun = false;  // once per job: an idle worker sleeps after one poll
    while (pending_ == 0) {
      if (!spun && spinners_ < kMaxSpinners) {
        spun = true;
        const int budget = spin_.next();
        if (budget > 0) {
          ++spinners_;
          lock.unlock();
          int waited = spinForWork(budget);
          lock.lock();
          --spinners_;
          if (waited >= 0) {
            spin_.found(waited);
          } else {
            spin_.missed();
          }
          continue;
        }
      }
      slot.woken = false;
      idle_.push_back(&slot);
      bool woke = slot.cv.wait_for(lock, kIdleExit, [&] { return slot.woken; });
      if (woke) {
        --waking_;
      } else {
        std::erase(idle_, &slot);
        if (threads_ > kKeptIdleWorkers) {
          --threads_;
          freeSlots_.push_back(&slot);
          return;
        }
      }
    }
    Job job;
    for (auto& q : jobs_) {
      if (!q.empty()) {
        job = std::move(q.front());
        q.pop_front();
        break;
      }
    }
    --pending_;
    pendingHint_.store(pending_, std::memory_order_relaxed);
    ++started_;
    bool wakeMonitor = false;
    Slot* next = pending_ > 0 ? provideWorkerLocked(wakeMonitor) : nullptr;
    lock.unlock();
    if (next) next->cv.notify_one();
    if (wakeMonitor) monitorCv_.notify_one();
    job();
    job = nullptr;  // captured state dies here, on this thread
    lock.lock();
  }
}

int WorkerPool::spinForWork(int budgetMicros) {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::microseconds(budgetMicros);
  for (unsigned i = 1;; ++i) {
    if (pendingHint_.load(std::memory_order_acquire) > 0) {
      return static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
    }
    cpuRelax();
    if ((i & 31) == 0 && std::chrono::steady_clock::now() >= deadline) return -1;
  }
}

void WorkerPool::monitorMain() {
  blockSignalsInThisThread();
  pthread_setname_np(pthread_self(), "dispatch-watch");
  std::unique_lock lock(mutex_);
  for (;;) {
    monitorWaiting_ = true;
    monitorCv_.wait(lock, [this] { return pending_ > 0 && idle_.empty(); });
    monitorWaiting_ = false;
    std::uint64_t before = started_;
    // Each worker beyond the normal size needs a longer stall: long jobs
    // that keep the cores busy should not multiply threads quickly.
    int extra = std::clamp(threads_ - blocked_ - softLimit_, 0, 5);
    auto deadline = std::chrono::steady_clock::now() + kStallCheck * (1 << extra);
    monitorCv_.wait_until(lock, deadline, [] { return false; });
    if (pending_ > 0 && started_ == before && idle_.empty() && threads_ < hardLimit_) {
      spawnLocked();
    }
  }
}

}  // namespace platform::dispatch::detail
