// Reactor: the epoll threads of the process that watch descriptors and
// deadlines for the dispatch sources and for `after`.
//
// While its watchers handle an event, the reactor thread may keep the drain
// of one idle serial queue they posted to and run it itself right after
// (see DeferredDrain in internal.h): the handler of a descriptor source then
// starts without waking a worker, for up to a short budget. A standby
// thread watches in its place while such a drain runs longer than about a
// millisecond (a block that computes or waits), so no queue's blocks hold
// up the other events for longer than that, and a block that waits for
// another descriptor's event cannot wait forever.
//
// Guarantees:
//  1. One epoll registration per descriptor, with the combined interest of
//     every watcher of it (so a read and a write watcher may share an fd).
//  2. After `unwatch` returns, the watcher is never called again for that
//     descriptor, so its owner may close the fd.
//  3. Descriptors are level-triggered as seen by the watchers: after a
//     watcher's event, the descriptor reports again once some watcher's
//     interest is (re)set, while the condition still holds. A watcher that
//     adds EPOLLET to its mask makes the descriptor's registration
//     edge-triggered instead: it stays armed, without a system call per
//     event, and reports each new arrival (also while a watcher handles
//     an earlier one); (re)setting an interest still reports a condition
//     that holds.
//  4. Deadline callbacks run on a reactor thread, one batch at a time, in
//     (deadline, submission) order; they must be short (they post work
//     elsewhere). Like a watcher's, a drain they cause may be kept and run
//     by the reactor thread right after them.
//  5. One event of a descriptor is handled by one thread; watchers of the
//     same descriptor may still be called on two threads at once when its
//     interest is reset while an event is handled, or when it is
//     edge-triggered, so they lock their state.
// Watchers are held weakly: a watcher that died is skipped.
//
// Thread safety: all members may be called from any thread.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <unordered_map>
#include <vector>

namespace platform::dispatch::detail {

class Reactor {
 public:
  using Clock = std::chrono::steady_clock;

  class Watcher {
   public:
    virtual ~Watcher() = default;
    // On a reactor thread. `count` is the number of signals read for a
    // signal descriptor, else 0.
    virtual void onReady(std::uint32_t events, std::uint64_t count) = 0;
  };

  static Reactor& instance();

  // Sets the interest (EPOLLIN and/or EPOLLOUT, optionally EPOLLET: see
  // guarantee 3) of `watcher` in `fd`; 0 keeps
  // the watcher but stops its events. Returns false (errno set) when epoll
  // refuses the descriptor.
  bool watch(int fd, const std::weak_ptr<Watcher>& watcher, std::uint32_t mask);
  // Removes the watcher; once no watcher remains the fd leaves epoll.
  void unwatch(int fd, const Watcher* watcher);
  // The process's signalfd for `signo` (created on first use, never closed);
  // the reactor reads it and hands the count to the watchers. -1 on failure.
  int signalFd(int signo);

  void addDeadline(Clock::time_point when, std::function<void()> fn);

 private:
  Reactor();
  void threadMain();
  void standbyMain();
  // Waits up to `timeoutMs` (-1: no limit) and handles what came; returns
  // the number of events.
  int waitAndDispatch(int timeoutMs);
  // Looks for events without sleeping for up to `budgetMicros`, handling
  // them; the microseconds until some came, -1 when none did.
  int pollForEvents(int budgetMicros);
  void rearmTimer();
  void armWatchdog();
  void runDeadlines();
  // Runs `handle` (which calls watchers or deadline callbacks), then
  // `settle`, then the drain this thread may have kept meanwhile (see
  // DeferredDrain in internal.h).
  template <typename Handle, typename Settle>
  void runKeepingDrain(Handle&& handle, Settle&& settle);
  void updateEpollLocked(int fd);
  void dispatchEvent(std::uint64_t id, std::uint32_t events);
  void armTimerLocked();

  struct Entry {
    const Watcher* raw;
    std::weak_ptr<Watcher> weak;
    std::uint32_t mask;
  };
  struct Registration {
    std::uint64_t id = 0;
    bool signal = false;
    bool inEpoll = false;
    // Registrations are one-shot (unless edge-triggered, which stay armed):
    // an event disarms the descriptor in the kernel until the next
    // EPOLL_CTL_MOD. `armed` is false once an event
    // was taken; it may be stale (true or false) for a moment when an event
    // races a change of interest, which costs at most one extra MOD or one
    // event that no watcher wants.
    bool armed = false;
    std::uint32_t interest = 0;
    std::vector<Entry> watchers;
  };
  struct Deadline {
    Clock::time_point when;
    std::uint64_t seq;
    std::function<void()> fn;
    bool operator>(const Deadline& o) const { return when != o.when ? when > o.when : seq > o.seq; }
  };

  std::mutex mutex_;
  int epoll_ = -1;
  int timerFd_ = -1;
  std::uint64_t nextId_ = 1;
  std::unordered_map<int, Registration> regs_;
  std::unordered_map<std::uint64_t, int> ids_;
  std::unordered_map<int, int> signalFds_;
  std::priority_queue<Deadline, std::vector<Deadline>, std::greater<>> deadlines_;
  std::uint64_t seq_ = 0;
  Clock::time_point armedFor_ = Clock::time_point::max();
  // Held by the reactor thread that may run a kept drain (see above).
  std::atomic<bool> inlineBusy_{false};
  // Bumped when a thread takes and releases inlineBusy_ (odd while held).
  std::atomic<std::uint64_t> inlineRun_{0};
  // The standby thread's alarm: armed when a kept drain may start while it
  // sleeps; it wakes the standby thread a window later.
  int watchdogFd_ = -1;
  std::atomic<bool> watchdogArmed_{false};
};

}  // namespace platform::dispatch::detail
