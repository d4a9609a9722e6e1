#include "platform/system/background_activity_scheduler.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#include "platform/dispatch/dispatch.h"

namespace platform {

// Everything a run needs, shared with the timer's handler and the completion
// handlers (which hold it weakly, so a destroyed scheduler ends the schedule).
struct BackgroundActivityScheduler::State : std::enable_shared_from_this<State> {
  mutable std::mutex mutex;
  double interval = 0;
  double tolerance = 0;
  bool repeats = false;
  // Bumped by every schedule and invalidate: a timer firing or a completion
  // of an older schedule sees a different number and does nothing.
  std::uint64_t generation = 0;
  bool active = false;
  ActivityBlock block;
  std::shared_ptr<dispatch::Source> timer;

  void stopLocked() {
    ++generation;
    active = false;
    block = nullptr;
    if (timer) {
      timer->cancel();
      timer.reset();
    }
  }

  void armLocked(double delaySeconds) {
    if (timer)
      timer->setTimer(dispatch::seconds(delaySeconds > 0 ? delaySeconds : 0),
                      dispatch::Duration::zero());
  }

  void fire(std::uint64_t firedGeneration) {
    ActivityBlock run;
    {
      std::lock_guard lock(mutex);
      if (firedGeneration != generation || !active || !block) return;
      run = block;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<State> weak = weak_from_this();
    run([weak, done, firedGeneration](Result result) {
      if (done->exchange(true)) return;
      if (auto self = weak.lock()) self->completed(firedGeneration, result);
    });
  }

  void completed(std::uint64_t firedGeneration, Result result) {
    std::lock_guard lock(mutex);
    if (firedGeneration != generation || !active) return;
    if (result == Result::Deferred) {
      armLocked(tolerance > 0 ? tolerance : interval);
    } else if (repeats) {
      armLocked(interval);
    } else {
      stopLocked();
    }
  }
};

BackgroundActivityScheduler::BackgroundActivityScheduler(std::string identifier)
    : identifier_(std::move(identifier)), state_(std::make_shared<State>()) {}

BackgroundActivityScheduler::~BackgroundActivityScheduler() { invalidate(); }

double BackgroundActivityScheduler::interval() const {
  std::lock_guard lock(state_->mutex);
  return state_->interval;
}

void BackgroundActivityScheduler::setInterval(double seconds) {
  std::lock_guard lock(state_->mutex);
  state_->interval = seconds;
}

double BackgroundActivityScheduler::tolerance() const {
  std::lock_guard lock(state_->mutex);
  return state_->tolerance;
}

void BackgroundActivityScheduler::setTolerance(double seconds) {
  std::lock_guard lock(state_->mutex);
  state_->tolerance = seconds;
}

bool BackgroundActivityScheduler::repeats() const {
  std::lock_guard lock(state_->mutex);
  return state_->repeats;
}

void BackgroundActivityScheduler::setRepeats(bool repeats) {
  std::lock_guard lock(state_->mutex);
  state_->repeats = repeats;
}

void BackgroundActivityScheduler::scheduleWithBlock(ActivityBlock block) {
  std::shared_ptr<dispatch::Source> timer =
      dispatch::Source::timer(dispatch::Queue::global(dispatch::Priority::Background));
  std::lock_guard lock(state_->mutex);
  state_->stopLocked();
  state_->active = true;
  state_->block = std::move(block);
  const std::uint64_t generation = state_->generation;
  std::weak_ptr<State> weak = state_;
  timer->setEventHandler([weak, generation] {
    if (auto self = weak.lock()) self->fire(generation);
  });
  state_->timer = timer;
  state_->armLocked(state_->interval);
  timer->resume();
}

void BackgroundActivityScheduler::invalidate() {
  std::lock_guard lock(state_->mutex);
  state_->stopLocked();
}

bool BackgroundActivityScheduler::isScheduled() const {
  std::lock_guard lock(state_->mutex);
  return state_->active;
}

}  // namespace platform
