// Run loops and timers. Each loop is a LoopCore shared by the RunLoop
// object and the timers scheduled on it (which hold it weakly to wake it
// when their fire date moves).
#include "platform/runloop/run_loop.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/dispatch/internal.h"
#include "platform/dispatch/spin_budget.h"

namespace platform::runloop {

namespace {

bool isCommonMode(std::string_view mode) {
  return mode == kDefaultMode || mode == kEventTrackingMode || mode == kModalPanelMode ||
         mode == kCommonModes;
}

Clock::duration toDuration(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

constexpr double kMinInterval = 0.0001;  // a repeating timer fires at most this often
constexpr auto kRunUntilSlice = std::chrono::milliseconds(5);

// A loop that has nothing to do polls for new work before it sleeps, for an
// adaptive budget (see spin_budget.h).
using platform::dispatch::cpuRelax;
using platform::dispatch::SpinBudget;

}  // namespace

struct LoopCore {
  std::mutex mutex;
  std::condition_variable cv;  // waited on by the loop's own thread only
  bool isMain = false;
  std::deque<std::function<void()>> performs;
  std::map<std::string, std::vector<std::shared_ptr<Timer>>, std::less<>> timers;
  bool stopRequested = false;
  bool wakePending = false;
  // wakePending, readable without the lock by the loop's thread while it
  // polls before sleeping; only ever a hint, the lock decides.
  std::atomic<bool> wakeHint{false};
  bool sleeping = false;  // the loop's thread waits on cv (or is about to)
  // Adaptive poll before sleeping (loop's thread only).
  SpinBudget spin;
  std::vector<std::string> modes;  // running modes, innermost last
  RunLoop::Driver* driver = nullptr;

  // Marks a wake-up pending, with `mutex` held. Returns true when the loop's
  // thread sleeps and no earlier wake-up has signalled it yet: then the
  // caller must signal cv, after unlocking. A loop that is awake sees
  // wakePending before it next sleeps, so it needs no signal.
  bool markWakeLocked() {
    bool signal = sleeping && !wakePending;
    wakePending = true;
    wakeHint.store(true, std::memory_order_release);
    return signal;
  }
  void clearWakeLocked() {
    wakePending = false;
    wakeHint.store(false, std::memory_order_relaxed);
  }

  // On the loop's thread, with `lock` held: polls without the lock until a
  // wake-up is marked, for the adaptive budget and never past `until`. The
  // caller rechecks wakePending under the lock afterwards.
  void pollBeforeSleeping(std::unique_lock<std::mutex>& lock, Clock::time_point until) {
    const int budget = spin.next();
    if (budget <= 0) return;
    const auto start = Clock::now();
    const auto end = std::min(until, start + std::chrono::microseconds(budget));
    if (end <= start) return;
    lock.unlock();
    bool found = false;
    auto now = start;
    for (unsigned i = 1;; ++i) {
      if (wakeHint.load(std::memory_order_acquire)) {
        found = true;
        now = Clock::now();
        break;
      }
      cpuRelax();
      if ((i & 31) == 0 && (now = Clock::now()) >= end) break;
    }
    lock.lock();
    if (found) {
      const int waited = static_cast<int>(
          std::chrono::duration_cast<std::chrono::microseconds>(now - start).count());
      spin.found(waited);
    } else if (end - start >= std::chrono::microseconds(budget)) {
      spin.missed();  // (a poll cut short by a timer says nothing)
    }
  }

  // `self`, a copy, keeps the core alive while cv is signalled outside the
  // lock (once it is released, the loop's thread may end and drop its own
  // reference).
  static void wake(std::shared_ptr<LoopCore> self) {
    RunLoop::Driver* d;
    bool signal;
    {
      std::lock_guard lock(self->mutex);
      signal = self->markWakeLocked();
      d = self->driver;
    }
    if (signal) self->cv.notify_one();
    if (d) d->wakeUp();
  }
};

struct Timer::State {
  std::mutex mutex;
  Handler handler;
  bool valid = true;
  bool dateSet = false;  // the fire date was set explicitly or by adding
  Clock::time_point fireDate;
  std::vector<std::weak_ptr<LoopCore>> loops;
};

struct RunLoop::Impl {
  std::shared_ptr<LoopCore> core = std::make_shared<LoopCore>();
};

// ---- Timer ----

Timer::Timer(double interval, bool repeats, Handler handler, dispatch::TimeSourcePtr clock)
    : state_(std::make_shared<State>()),
      clock_(std::move(clock)),
      interval_(interval),
      repeats_(repeats) {
  if (repeats_ && interval_ < kMinInterval) interval_ = kMinInterval;
  if (interval_ < 0) interval_ = 0;
  state_->handler = std::move(handler);
  state_->fireDate = dispatch::nowOf(clock_) + toDuration(interval_);
}

Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::create(double interval, bool repeats, Handler handler,
                                     dispatch::TimeSourcePtr clock) {
  return std::shared_ptr<Timer>(new Timer(interval, repeats, std::move(handler), std::move(clock)));
}

std::shared_ptr<Timer> Timer::scheduled(double interval, bool repeats, Handler handler) {
  auto t = create(interval, repeats, std::move(handler));
  RunLoop::current().addTimer(t, kDefaultMode);
  return t;
}

bool Timer::isValid() const {
  std::lock_guard lock(state_->mutex);
  return state_->valid;
}

void Timer::invalidate() {
  Handler dropped;
  {
    std::lock_guard lock(state_->mutex);
    state_->valid = false;
    dropped = std::move(state_->handler);
  }
  // Loops drop invalid timers when they next look at them.
}

void Timer::fire() {
  Handler h;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->valid) return;
    h = state_->handler;
  }
  if (h) h(*this);
  if (!repeats_) invalidate();
}

Clock::time_point Timer::fireDate() const {
  std::lock_guard lock(state_->mutex);
  return state_->fireDate;
}

void Timer::setFireDate(Clock::time_point when) {
  std::vector<std::shared_ptr<LoopCore>> loops;
  {
    std::lock_guard lock(state_->mutex);
    state_->fireDate = when;
    state_->dateSet = true;
    for (auto& w : state_->loops) {
      if (auto l = w.lock()) loops.push_back(std::move(l));
    }
  }
  for (auto& l : loops) LoopCore::wake(l);
}

// ---- RunLoop ----

namespace {
thread_local std::unique_ptr<RunLoop> tLoop;
}

RunLoop::RunLoop() : impl_(std::make_unique<Impl>()) {}
RunLoop::~RunLoop() = default;

RunLoop& RunLoop::main() {
  static RunLoop* loop = [] {
    auto* l = new RunLoop();  // lives for the whole process
    l->impl_->core->isMain = true;
    std::weak_ptr<LoopCore> weak = l->impl_->core;
    dispatch::detail::setMainQueueWaker([weak] {
      if (auto core = weak.lock()) LoopCore::wake(core);
    });
    return l;
  }();
  return *loop;
}

RunLoop& RunLoop::current() {
  if (dispatch::detail::isMainThread()) return main();
  if (!tLoop) tLoop.reset(new RunLoop());
  return *tLoop;
}

bool RunLoop::isMainRunLoop() const { return impl_->core->isMain; }

void RunLoop::setDriver(Driver* driver) {
  {
    std::lock_guard lock(impl_->core->mutex);
    impl_->core->driver = driver;
  }
  LoopCore::wake(impl_->core);
}

void RunLoop::addTimer(const std::shared_ptr<Timer>& timer, std::string_view mode) {
  if (!timer) return;
  auto& core = impl_->core;
  {
    std::lock_guard lock(timer->state_->mutex);
    if (!timer->state_->valid) return;
    if (!timer->state_->dateSet) {
      timer->state_->fireDate = dispatch::nowOf(timer->clock_) + toDuration(timer->interval_);
      timer->state_->dateSet = true;
    }
    timer->state_->loops.push_back(core);
  }
  {
    std::lock_guard lock(core->mutex);
    auto& list = core->timers[std::string(mode)];
    if (std::find(list.begin(), list.end(), timer) == list.end()) list.push_back(timer);
  }
  if (timer->clock_) {
    // The clock's time moves by itself: wake the loop whenever it does.
    std::weak_ptr<LoopCore> weak = core;
    timer->clock_->watch(core, [weak] {
      auto c = weak.lock();
      if (c) LoopCore::wake(c);
      return c != nullptr;
    });
  }
  LoopCore::wake(core);
}

void RunLoop::perform(std::function<void()> block) {
  std::shared_ptr<LoopCore> core = impl_->core;
  RunLoop::Driver* d;
  bool signal;
  {
    std::lock_guard lock(core->mutex);
    core->performs.push_back(std::move(block));
    signal = core->markWakeLocked();
    d = core->driver;
  }
  if (signal) core->cv.notify_one();
  if (d) d->wakeUp();
}

void RunLoop::stop() {
  std::shared_ptr<LoopCore> core = impl_->core;
  RunLoop::Driver* d;
  bool signal;
  {
    std::lock_guard lock(core->mutex);
    core->stopRequested = true;
    signal = core->markWakeLocked();
    d = core->driver;
  }
  if (signal) core->cv.notify_one();
  if (d) d->wakeUp();
}

void RunLoop::wakeUp() { LoopCore::wake(impl_->core); }

std::string RunLoop::currentMode() const {
  std::lock_guard lock(impl_->core->mutex);
  return impl_->core->modes.empty() ? std::string() : impl_->core->modes.back();
}

namespace {

// The valid timers of `mode` (and of the common modes when `mode` is one),
// dropping invalid ones from the lists.
std::vector<std::shared_ptr<Timer>> timersOf(LoopCore& core, std::string_view mode) {
  std::vector<std::shared_ptr<Timer>> out;
  auto collect = [&](std::string_view name) {
    auto it = core.timers.find(name);
    if (it == core.timers.end()) return;
    std::erase_if(it->second, [](const std::shared_ptr<Timer>& t) { return !t->isValid(); });
    for (auto& t : it->second) {
      if (std::find(out.begin(), out.end(), t) == out.end()) out.push_back(t);
    }
  };
  collect(mode);
  if (isCommonMode(mode) && mode != kCommonModes) collect(kCommonModes);
  return out;
}

// Pushes the mode for the scope of a run.
struct ModeScope {
  LoopCore& core;
  ModeScope(LoopCore& c, std::string_view mode) : core(c) {
    std::lock_guard lock(core.mutex);
    core.modes.emplace_back(mode);
  }
  ~ModeScope() {
    std::lock_guard lock(core.mutex);
    core.modes.pop_back();
  }
};

}  // namespace

namespace {
// The next steady-clock deadline of `timers`. A timer of another clock is
// due now or waits for that clock to move (which wakes the loop).
Clock::time_point nextFireDate(const std::vector<std::shared_ptr<Timer>>& timers,
                               Clock::time_point now) {
  Clock::time_point next = Clock::time_point::max();
  for (auto& t : timers) {
    if (!t->isValid()) continue;
    if (!t->clock()) {
      next = std::min(next, t->fireDate());
    } else if (t->fireDate() <= t->clock()->now()) {
      next = std::min(next, now);
    }
  }
  return next;
}

Clock::time_point timerNow(const Timer& t, Clock::time_point steadyNow) {
  return t.clock() ? t.clock()->now() : steadyNow;
}
}  // namespace

bool RunLoop::runMode(std::string_view mode, Clock::time_point deadline,
                      bool returnAfterSourceHandled) {
  LoopCore& core = *impl_->core;
  bool common = isCommonMode(mode);
  {
    std::lock_guard lock(core.mutex);
    if (!common && timersOf(core, mode).empty()) return false;
  }
  ModeScope scope(core, mode);
  for (;;) {
    Clock::time_point next;
    int handled = processOnce(*impl_, mode, next, returnAfterSourceHandled);
    std::unique_lock lock(core.mutex);
    if (core.stopRequested) {
      core.stopRequested = false;
      break;
    }
    if (handled > 0 && returnAfterSourceHandled) break;
    auto now = Clock::now();
    if (now >= deadline) break;
    bool more =
        common && (!core.performs.empty() || (core.isMain && dispatch::detail::mainQueueHasWork()));
    if (!core.wakePending && !more && next > now) {
      const auto until = std::min(next, deadline);
      core.pollBeforeSleeping(lock, until);
      core.sleeping = true;
      core.cv.wait_until(lock, until, [&] { return core.wakePending || core.stopRequested; });
      core.sleeping = false;
    }
    core.clearWakeLocked();
  }
  return true;
}

int RunLoop::processOnce(Impl& impl, std::string_view mode, Clock::time_point& next, bool onlyOne,
                         const std::function<void()>* afterEachBlock) {
  LoopCore& core = *impl.core;
  int handled = 0;
  bool common = isCommonMode(mode);
  if (common) {
    // Taken only when there are blocks: a deque allocates even when empty,
    // and a loop that comes round often to look for work (a polling thread,
    // a caller waiting for an answer) would pay for one on every pass.
    std::optional<std::deque<std::function<void()>>> blocks;
    {
      std::lock_guard lock(core.mutex);
      if (!core.performs.empty()) {
        blocks.emplace();
        if (onlyOne) {
          blocks->push_back(std::move(core.performs.front()));
          core.performs.pop_front();
        } else {
          blocks->swap(core.performs);
        }
      }
    }
    if (blocks) {
      for (auto& b : *blocks) {
        b();
        b = nullptr;
        ++handled;
        if (afterEachBlock) (*afterEachBlock)();
      }
    }
    if (core.isMain && dispatch::detail::drainMainQueue()) ++handled;
  }
  std::vector<std::shared_ptr<Timer>> timers;
  {
    std::lock_guard lock(core.mutex);
    timers = timersOf(core, mode);
  }
  auto now = Clock::now();
  std::vector<std::shared_ptr<Timer>> due;
  for (auto& t : timers) {
    if (t->isValid() && t->fireDate() <= timerNow(*t, now)) due.push_back(t);
  }
  std::stable_sort(due.begin(), due.end(),
                   [](const auto& a, const auto& b) { return a->fireDate() < b->fireDate(); });
  for (auto& t : due) {
    if (onlyOne && handled > 0) break;
    if (RunLoop::fireDueTimer(t, timerNow(*t, now))) ++handled;
  }
  next = nextFireDate(timers, Clock::now());
  return handled;
}

bool RunLoop::fireDueTimer(const std::shared_ptr<Timer>& t, Clock::time_point now) {
  Timer::Handler h;
  bool oneShot = !t->repeats();
  {
    std::lock_guard lock(t->state_->mutex);
    if (!t->state_->valid || t->state_->fireDate > now) return false;  // moved meanwhile
    h = t->state_->handler;
    if (oneShot) {
      t->state_->fireDate = Clock::time_point::max();
    } else {
      // Fell behind: fire once, then continue on the interval grid.
      auto interval = toDuration(t->interval());
      auto late = now - t->state_->fireDate;
      t->state_->fireDate += interval * (late / interval + 1);
    }
  }
  if (h) h(*t);
  h = nullptr;
  if (oneShot) t->invalidate();
  return true;
}

void RunLoop::run() { runMode(kDefaultMode, Clock::time_point::max()); }

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                       std::string_view mode) {
  auto deadline = Clock::now() + timeout;
  while (!done()) {
    auto now = Clock::now();
    if (now >= deadline) return done();
    // Short slices: `done` may turn true through another thread that does
    // not wake this loop.
    if (!runMode(mode, std::min(deadline, now + kRunUntilSlice), true)) {
      std::this_thread::sleep_for(std::min<Clock::duration>(deadline - now, kRunUntilSlice));
    }
  }
  return true;
}

Clock::time_point RunLoop::processPending(std::string_view mode,
                                          const std::function<void()>& afterEachBlock) {
  LoopCore& core = *impl_->core;
  ModeScope scope(core, mode);
  Clock::time_point next;
  processOnce(*impl_, mode, next, false, afterEachBlock ? &afterEachBlock : nullptr);
  Driver* driver;
  {
    std::lock_guard lock(core.mutex);
    core.clearWakeLocked();
    core.stopRequested = false;
    driver = core.driver;
    bool more = isCommonMode(mode) &&
                (!core.performs.empty() || (core.isMain && dispatch::detail::mainQueueHasWork()));
    if (more) next = Clock::now();
  }
  if (driver && next != Clock::time_point::max()) driver->scheduleWakeUp(next);
  return next;
}

// ---- Thread ----

struct Thread::Impl {
  std::mutex mutex;
  std::condition_variable cv;
  RunLoop* loop = nullptr;
  std::unique_ptr<RunLoop> ownedLoop;  // taken over when the thread ends
  bool stopping = false;
  std::thread thread;
};

std::shared_ptr<Thread> Thread::start(std::string name, std::function<void()> setup) {
  std::shared_ptr<Thread> t(new Thread());
  t->name_ = std::move(name);
  t->impl_ = std::make_shared<Impl>();
  auto impl = t->impl_;
  std::string threadName = t->name_.substr(0, 15);
  impl->thread = std::thread([impl, threadName, setup = std::move(setup)] {
    dispatch::detail::blockSignalsInThisThread();
    pthread_setname_np(pthread_self(), threadName.c_str());
    RunLoop& loop = RunLoop::current();
    if (setup) setup();
    {
      std::lock_guard lock(impl->mutex);
      impl->loop = &loop;
    }
    impl->cv.notify_all();
    for (;;) {
      {
        std::lock_guard lock(impl->mutex);
        if (impl->stopping) break;
      }
      loop.runMode(kDefaultMode, Clock::time_point::max());
    }
    // Keep the loop object for runLoop() callers after the thread ends.
    std::lock_guard lock(impl->mutex);
    impl->ownedLoop = std::move(tLoop);
  });
  std::unique_lock lock(impl->mutex);
  impl->cv.wait(lock, [&] { return impl->loop != nullptr; });
  return t;
}

Thread::~Thread() { stop(); }

RunLoop& Thread::runLoop() {
  std::lock_guard lock(impl_->mutex);
  return *impl_->loop;
}

void Thread::perform(std::function<void()> block) { runLoop().perform(std::move(block)); }

void Thread::stop() {
  RunLoop* loop;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->stopping) return;
    impl_->stopping = true;
    loop = impl_->loop;
  }
  loop->stop();
  if (impl_->thread.get_id() == std::this_thread::get_id()) {
    impl_->thread.detach();  // stopped from its own loop: it ends by itself
  } else if (impl_->thread.joinable()) {
    impl_->thread.join();
  }
}

}  // namespace platform::runloop
