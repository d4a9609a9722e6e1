#include "support/manual_clock.h"

#include <algorithm>

namespace varnel::testing {

ManualClock::time_point ManualClock::now() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

void ManualClock::watch(std::weak_ptr<void> owner, std::function<bool()> wake) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(watchers_, [](const Watcher& w) { return w.owner.expired(); });
    // One waker per owner: a loop that schedules many timers is woken once.
    for (const Watcher& w : watchers_) {
      if (!w.owner.owner_before(owner) && !owner.owner_before(w.owner)) return;
    }
    watchers_.push_back({std::move(owner), std::move(wake)});
  }
  watched_.notify_all();
}

bool ManualClock::waitForWatchers(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return watched_.wait_for(lock, timeout, [&] {
    std::erase_if(watchers_, [](const Watcher& w) { return w.owner.expired(); });
    return watchers_.size() >= n;
  });
}

void ManualClock::dropWatchers() {
  std::vector<Watcher> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(watchers_);
  }
  // Released here, outside the lock: they may hold the last reference to
  // objects that use this clock.
}

void ManualClock::advance(std::chrono::nanoseconds by) {
  std::vector<Watcher> toWake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (by.count() > 0) now_ += std::chrono::duration_cast<time_point::duration>(by);
    std::erase_if(watchers_, [](const Watcher& w) { return w.owner.expired(); });
    toWake = watchers_;
  }
  std::vector<std::shared_ptr<void>> done;
  for (Watcher& w : toWake) {
    auto owner = w.owner.lock();
    if (!owner) continue;
    if (!w.wake()) done.push_back(owner);
  }
  if (done.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(watchers_, [&](const Watcher& w) {
    for (const auto& d : done) {
      if (!w.owner.owner_before(d) && !std::weak_ptr<void>(d).owner_before(w.owner)) return true;
    }
    return false;
  });
}

}  // namespace varnel::testing
