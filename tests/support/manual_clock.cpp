#include "support/manual_clock.h"

#include <algorithm>

namespace varnel::testing {

ManualClock::time_point ManualClock::now() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

void ManualClock::watch(std::weak_ptr<void> owner, std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(watchers_, [](const Watcher& w) { return w.owner.expired(); });
  // One waker per owner: a loop that schedules many timers is woken once.
  for (const Watcher& w : watchers_) {
    if (!w.owner.owner_before(owner) && !owner.owner_before(w.owner)) return;
  }
  watchers_.push_back({std::move(owner), std::move(wake)});
}

void ManualClock::advance(std::chrono::nanoseconds by) {
  std::vector<std::pair<std::shared_ptr<void>, std::function<void()>>> toWake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (by.count() > 0) now_ += std::chrono::duration_cast<time_point::duration>(by);
    std::erase_if(watchers_, [](const Watcher& w) { return w.owner.expired(); });
    for (const Watcher& w : watchers_) {
      if (auto owner = w.owner.lock()) toWake.emplace_back(std::move(owner), w.wake);
    }
  }
  for (auto& [owner, wake] : toWake) wake();
}

}  // namespace varnel::testing
