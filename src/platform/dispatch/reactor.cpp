#include "platform/dispatch/reactor.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/dispatch/internal.h"
#include "platform/dispatch/spin_budget.h"

namespace platform::dispatch::detail {

namespace {
constexpr std::uint64_t kTimerId = 0;
// How long a kept drain may hold the watching thread before the standby
// thread watches in its place (it notices within two such windows).
constexpr auto kStandbyWindow = std::chrono::milliseconds(1);
// Set on the standby thread, which never keeps a drain: a block of a drain
// it kept could wait for something only the standby thread would hand on.
thread_local bool tStandby = false;

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "dispatch reactor: %s: %s\n", what, std::strerror(errno));
  std::abort();
}
}  // namespace

Reactor& Reactor::instance() {
  static Reactor* reactor = new Reactor();  // lives for the whole process
  return *reactor;
}

Reactor::Reactor() {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) fatal("epoll_create1");
  timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timerFd_ < 0) fatal("timerfd_create");
  // One-shot like the descriptors: the thread that takes the timer's event
  // runs the due deadlines and only then arms it again, so deadline batches
  // never run side by side.
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLONESHOT;
  ev.data.u64 = kTimerId;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, timerFd_, &ev) < 0) fatal("epoll_ctl(timer)");
  // Blocking: the standby thread sleeps in read() until it is armed.
  watchdogFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  if (watchdogFd_ < 0) fatal("timerfd_create");
  std::thread([this] { threadMain(); }).detach();
  std::thread([this] { standbyMain(); }).detach();
}

void Reactor::armWatchdog() {
  itimerspec arm{};
  arm.it_value.tv_nsec = std::chrono::nanoseconds(kStandbyWindow).count();
  ::timerfd_settime(watchdogFd_, 0, &arm, nullptr);
}

void Reactor::rearmTimer() {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLONESHOT;
  ev.data.u64 = kTimerId;
  if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, timerFd_, &ev) < 0) fatal("epoll_ctl(timer)");
}

bool Reactor::watch(int fd, const std::weak_ptr<Watcher>& watcher, std::uint32_t mask) {
  std::lock_guard lock(mutex_);
  auto [it, added] = regs_.try_emplace(fd);
  Registration& reg = it->second;
  if (added) {
    reg.id = nextId_++;
    ids_[reg.id] = fd;
  }
  const Watcher* raw = watcher.lock().get();
  bool found = false;
  for (auto& e : reg.watchers) {
    if (e.raw == raw) {
      e.mask = mask;
      found = true;
    }
  }
  if (!found) reg.watchers.push_back({raw, watcher, mask});
  std::uint32_t oldInterest = reg.interest;
  bool wasIn = reg.inEpoll;
  updateEpollLocked(fd);
  auto again = regs_.find(fd);
  if (mask != 0 && (again == regs_.end() || !again->second.inEpoll)) {
    int saved = errno;
    // Refused (e.g. a regular file): undo this watcher.
    if (again != regs_.end()) {
      auto& ws = again->second.watchers;
      std::erase_if(ws, [&](const Entry& e) { return e.raw == raw; });
      again->second.interest = oldInterest;
      again->second.inEpoll = wasIn;
      if (ws.empty() && !again->second.signal) {
        ids_.erase(again->second.id);
        regs_.erase(again);
      }
    }
    errno = saved;
    return false;
  }
  return true;
}

void Reactor::unwatch(int fd, const Watcher* watcher) {
  std::lock_guard lock(mutex_);
  auto it = regs_.find(fd);
  if (it == regs_.end()) return;
  std::erase_if(it->second.watchers, [&](const Entry& e) { return e.raw == watcher; });
  updateEpollLocked(fd);
}

// Brings the epoll registration of `fd` in line with its watchers; drops
// the registration when nobody watches a non-signal fd any more.
void Reactor::updateEpollLocked(int fd) {
  auto it = regs_.find(fd);
  Registration& reg = it->second;
  std::uint32_t interest = 0;
  for (auto& e : reg.watchers) interest |= e.mask;
  const bool drop = reg.watchers.empty() && !reg.signal;
  epoll_event ev{};
  // Edge-triggered registrations stay armed; the others are one-shot.
  ev.events = (interest & EPOLLET) ? interest : interest | EPOLLONESHOT;
  ev.data.u64 = reg.id;
  if (interest == 0) {
    // epoll reports errors and hang-ups even without interest; a disarmed
    // one-shot registration reports nothing and may stay (the common case
    // while a handler runs, which saves two system calls per event).
    if (reg.inEpoll && (reg.armed || drop)) {
      ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
      reg.inEpoll = false;
    }
    reg.armed = false;
  } else if (!reg.inEpoll) {
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0) {
      reg.inEpoll = true;
    } else if (errno == EEXIST && ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev) == 0) {
      reg.inEpoll = true;
    }
    reg.armed = reg.inEpoll;
  } else if (interest != reg.interest || !reg.armed) {
    // ENOENT: the fd was closed and reused behind our back; register anew.
    if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev) == 0 ||
        (errno == ENOENT && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0)) {
      reg.armed = true;
    } else {
      reg.inEpoll = false;
      reg.armed = false;
    }
  }
  reg.interest = reg.inEpoll ? interest : 0;
  if (drop) {
    ids_.erase(reg.id);
    regs_.erase(it);
  }
}

int Reactor::signalFd(int signo) {
  std::lock_guard lock(mutex_);
  auto found = signalFds_.find(signo);
  if (found != signalFds_.end()) return found->second;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) return -1;
  signalFds_[signo] = fd;
  Registration& reg = regs_[fd];
  reg.id = nextId_++;
  reg.signal = true;
  ids_[reg.id] = fd;
  return fd;
}

void Reactor::addDeadline(Clock::time_point when, std::function<void()> fn) {
  std::lock_guard lock(mutex_);
  deadlines_.push(Deadline{when, seq_++, std::move(fn)});
  if (when < armedFor_) armTimerLocked();
}

void Reactor::armTimerLocked() {
  itimerspec deadline{};
  if (deadlines_.empty()) {
    armedFor_ = Clock::time_point::max();
  } else {
    armedFor_ = deadlines_.top().when;
    auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(armedFor_.time_since_epoch()).count();
    if (ns <= 0) ns = 1;
    deadline.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    deadline.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
  }
  ::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &deadline, nullptr);
}

void Reactor::runDeadlines() {
  // One read takes every expiration; the timer only fires again once set.
  std::uint64_t expirations;
  [[maybe_unused]] ssize_t got = ::read(timerFd_, &expirations, sizeof expirations);
  std::vector<std::function<void()>> due;
  {
    std::lock_guard lock(mutex_);
    auto now = Clock::now();
    while (!deadlines_.empty() && deadlines_.top().when <= now) {
      // priority_queue::top is const; the entry is popped right after.
      due.push_back(std::move(const_cast<Deadline&>(deadlines_.top()).fn));
      deadlines_.pop();
    }
    if (deadlines_.empty()) {
      armedFor_ = Clock::time_point::max();  // expired: nothing to disarm
    } else {
      armTimerLocked();
    }
  }
  // The blocks they submit start here when their queue is idle, like the
  // handlers of descriptor events.
  runKeepingDrain(
      [&] {
        for (auto& fn : due) {
          fn();
          fn = nullptr;
        }
      },
      [&] { rearmTimer(); });  // before a kept drain: the next batch need not wait for it
}

void Reactor::threadMain() {
  blockSignalsInThisThread();
  // Thread names hold at most 15 characters; a longer one is refused.
  pthread_setname_np(pthread_self(), "dispatch-events");
  // After events, look for the next ones for a short, adaptive time before
  // sleeping (see spin_budget.h): the answer to what a handler just sent,
  // or the next datagram of a burst, then needs no wake-up of this thread.
  SpinBudget spin;
  bool busy = false;
  for (;;) {
    if (busy) {
      const int budget = spin.next();
      if (budget > 0) {
        const int waited = pollForEvents(budget);
        if (waited >= 0) {
          spin.found(waited);
          continue;  // still busy
        }
        spin.missed();
      }
    }
    busy = waitAndDispatch(-1) > 0;
  }
}

int Reactor::pollForEvents(int budgetMicros) {
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::microseconds(budgetMicros);
  for (;;) {
    if (waitAndDispatch(0) > 0) {
      return static_cast<int>(
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
    }
    // Each look is a system call: pause a little between them.
    for (int i = 0; i < 64; ++i) cpuRelax();
    if (Clock::now() >= deadline) return -1;
  }
}

int Reactor::waitAndDispatch(int timeoutMs) {
  epoll_event events[64];
  int n = ::epoll_wait(epoll_, events, 64, timeoutMs);
  if (n < 0) {
    if (errno == EINTR) return 0;
    fatal("epoll_wait");
  }
  for (int i = 0; i < n; ++i) {
    std::uint64_t id = events[i].data.u64;
    if (id == kTimerId) {
      runDeadlines();
      continue;
    }
    dispatchEvent(id, events[i].events);
  }
  return n;
}

// Sleeps until a kept drain has run for a while; while the same drain is
// still running a window later, watches the descriptors in its thread's
// place (without keeping drains itself), so that no queue's blocks can hold
// up the events of others for long.
void Reactor::standbyMain() {
  blockSignalsInThisThread();
  pthread_setname_np(pthread_self(), "dispatch-spare");
  tStandby = true;
  std::uint64_t seen = 0;
  for (;;) {
    std::uint64_t expirations;
    if (::read(watchdogFd_, &expirations, sizeof expirations) < 0) continue;
    std::uint64_t run = inlineRun_.load(std::memory_order_acquire);
    if (!(run & 1)) {
      // No kept drain runs: sleep until the next one arms the watchdog.
      watchdogArmed_.store(false, std::memory_order_seq_cst);
      run = inlineRun_.load(std::memory_order_seq_cst);
      if (!(run & 1) || watchdogArmed_.exchange(true, std::memory_order_seq_cst)) continue;
    }
    if (run != seen) {  // another drain than a window ago: give it its time
      seen = run;
      armWatchdog();
      continue;
    }
    while (inlineRun_.load(std::memory_order_acquire) == run) {
      // The drain that it kept in turn must not wait behind it either.
      handOffChainedDrain();
      waitAndDispatch(1);
    }
    armWatchdog();  // look again: another drain may have started meanwhile
  }
}

void Reactor::dispatchEvent(std::uint64_t id, std::uint32_t ev) {
  std::vector<std::shared_ptr<Watcher>> ready;
  std::uint64_t count = 0;
  {
    std::lock_guard lock(mutex_);
    auto idIt = ids_.find(id);
    if (idIt == ids_.end()) return;  // deregistered after epoll_wait returned
    int fd = idIt->second;
    Registration& reg = regs_[fd];
    // The event disarmed a one-shot registration; an edge-triggered one
    // stays armed.
    if (!(reg.interest & EPOLLET)) reg.armed = false;
    if (reg.signal) {
      signalfd_siginfo info;
      while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) ++count;
    }
    if (!reg.signal || count > 0) {
      for (auto& e : reg.watchers) {
        std::uint32_t wanted = 0;
        if (e.mask & EPOLLIN) wanted |= EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
        if (e.mask & EPOLLOUT) wanted |= EPOLLOUT | EPOLLHUP | EPOLLERR;
        if (ev & wanted) {
          if (auto w = e.weak.lock()) ready.push_back(std::move(w));
        }
      }
    }
    // Nobody to tell (a stale event, or one for another watcher's
    // interest): arm again for the interest that remains.
    if (ready.empty()) {
      updateEpollLocked(fd);
      return;
    }
  }
  // Watchers usually drop their interest while they handle the event.
  runKeepingDrain(
      [&] {
        for (auto& w : ready) w->onReady(ev, count);
      },
      [&] {
        ready.clear();  // a watcher may die here; it unwatches under the lock
        std::lock_guard lock(mutex_);
        auto idIt = ids_.find(id);
        if (idIt != ids_.end()) {
          auto regIt = regs_.find(idIt->second);
          if (regIt != regs_.end() && !regIt->second.armed) updateEpollLocked(idIt->second);
        }
      });
}

template <typename Handle, typename Settle>
void Reactor::runKeepingDrain(Handle&& handle, Settle&& settle) {
  // The thread that holds inlineBusy_ keeps the drain of a queue that
  // `handle` posts to and runs it after `settle`.
  // The standby thread may get here just after the drain it stood in for
  // ended; it still keeps none.
  const bool mayInline = !tStandby && !inlineBusy_.exchange(true, std::memory_order_acquire);
  if (mayInline) {
    // Odd while a kept drain may run; the standby thread watches the count.
    inlineRun_.fetch_add(1, std::memory_order_seq_cst);
    if (!watchdogArmed_.exchange(true, std::memory_order_seq_cst)) armWatchdog();
  }
  {
    DeferredDrain deferred(mayInline);
    handle();
    deferred.stopDeferring();
    settle();
    deferred.run();
  }
  if (mayInline) {
    inlineRun_.fetch_add(1, std::memory_order_release);
    inlineBusy_.store(false, std::memory_order_release);
  }
}

}  // namespace platform::dispatch::detail
