// varnel::testing::ManualClock: a time source that moves only when a test
// advances it, for tests of timers, time-outs, polls and retries. Give it
// to the object under test at creation; then `advance` past a deadline and
// wait for the event, instead of sleeping through the real delay.
//
// Its time starts at the steady clock's now and only grows. `advance` wakes
// every run loop or queue that waits on one of its deadlines (see
// platform/dispatch/time_source.h); they fire what fell due on their own
// threads, so the test still awaits the effect it expects.
//
// Thread safety: any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/time_source.h"

namespace varnel::testing {

class ManualClock : public platform::dispatch::TimeSource {
 public:
  static std::shared_ptr<ManualClock> create() { return std::make_shared<ManualClock>(); }

  time_point now() const override;
  // Keeps one waker per owner (the first one registered).
  void watch(std::weak_ptr<void> owner, std::function<bool()> wake) override;
  // Waits (up to `timeout`, a safety net) until at least `n` wakers are
  // registered: something waits on a deadline of this clock, so advancing
  // past it now fires it.
  bool waitForWatchers(std::size_t n, std::chrono::milliseconds timeout);
  // Moves the time forward by `by` (negative amounts are ignored) and wakes
  // the watchers.
  void advance(std::chrono::nanoseconds by);
  void advanceSeconds(double seconds) {
    advance(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(seconds)));
  }
  // Forgets every waker: what still waits on this clock never fires, and
  // what the wakers hold is let go. For the end of a test whose pending
  // work holds the object under test, which holds the clock (a cycle that
  // would outlive the test).
  void dropWatchers();

 private:
  struct Watcher {
    std::weak_ptr<void> owner;
    std::function<bool()> wake;
  };
  mutable std::mutex mutex_;
  std::condition_variable watched_;
  time_point now_ = std::chrono::steady_clock::now();
  std::vector<Watcher> watchers_;
};

}  // namespace varnel::testing
