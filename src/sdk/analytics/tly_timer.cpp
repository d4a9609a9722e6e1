#include "sdk/analytics/tly_timer.h"

#include <algorithm>
#include <utility>

#include "platform/foundation/format.h"
#include "platform/system/background_activity_scheduler.h"

namespace sdk {

TLYTimer::Ptr TLYTimer::initWithTimeInterval(double seconds, platform::OperationQueue::Ptr queue,
                                             std::string timerIdentifier, Block block) {
  auto timer = std::make_shared<TLYTimer>(Passkey{}, seconds, std::move(queue),
                                          std::move(timerIdentifier), std::move(block));
  timer->scheduleTimer();
  return timer;
}

TLYTimer::Ptr TLYTimer::initWithDispatchTimer(double seconds, platform::OperationQueue::Ptr queue,
                                              std::string timerIdentifier, Block block,
                                              platform::dispatch::TimeSourcePtr clock) {
  auto timer =
      std::make_shared<TLYTimer>(Passkey{}, seconds, std::move(queue), std::move(timerIdentifier),
                                 std::move(block), std::move(clock));
  timer->useDispatchTimer_ = true;
  timer->scheduleTimer();
  return timer;
}

TLYTimer::TLYTimer(Passkey, double seconds, platform::OperationQueue::Ptr queue,
                   std::string timerIdentifier, Block block,
                   platform::dispatch::TimeSourcePtr clock)
    : timerIdentifier_(std::move(timerIdentifier)),
      queue_(std::move(queue)),
      clock_(std::move(clock)),
      timeInterval_(boundedInterval(seconds)),
      firing_(std::make_shared<Firing>()) {
  firing_->block = std::move(block);
}

double TLYTimer::boundedInterval(double seconds) {
  if (!(seconds > 0)) return 0;  // also NaN
  return std::clamp(seconds, kTLYTimerMinimumInterval, kTLYTimerMaximumInterval);
}

TLYTimer::~TLYTimer() {
  {
    // A firing under way finishes its add first; none adds after this.
    std::lock_guard<std::mutex> lock(firing_->mutex);
    firing_->open = false;
  }
  unschedule();
}

void TLYTimer::Firing::fire(const platform::OperationQueue::Ptr& queue) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!open || !block || !queue) return;
  queue->addOperationWithBlock(block);
}

void TLYTimer::unschedule() {
  std::unique_ptr<platform::BackgroundActivityScheduler> scheduler;
  std::shared_ptr<platform::dispatch::Source> source;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    scheduler = std::move(backgroundActivityScheduler_);
    source = std::move(timerSource_);
  }
  if (scheduler) scheduler->invalidate();
  if (source) source->cancel();
}

double TLYTimer::timeInterval() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timeInterval_;
}

void TLYTimer::setTimeInterval(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  timeInterval_ = boundedInterval(seconds);
}

TLYTimer::Block TLYTimer::timerBlock() const {
  std::lock_guard<std::mutex> lock(firing_->mutex);
  return firing_->block;
}

void TLYTimer::setTimerBlock(Block block) {
  std::lock_guard<std::mutex> lock(firing_->mutex);
  firing_->block = std::move(block);
}

double TLYTimer::tolerance() const { return timeInterval() / 10; }

bool TLYTimer::usesDispatchTimer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return useDispatchTimer_;
}

void TLYTimer::scheduleTimer() {
  // No interval: nothing fires (a zero period would fire without pause).
  if (timeInterval() <= 0) {
    unschedule();
    return;
  }
  if (usesDispatchTimer()) {
    scheduleDispatchTimer();
  } else {
    scheduleBackgroundActivityWithName(timerIdentifier_);
  }
}

void TLYTimer::scheduleDispatchTimer() {
  double interval = timeInterval();
  auto source = platform::dispatch::Source::timer(
      platform::dispatch::Queue::global(platform::dispatch::Priority::Default), clock_);
  source->setEventHandler([firing = firing_, queue = queue_] { firing->fire(queue); });
  source->setTimer(platform::dispatch::seconds(interval), platform::dispatch::seconds(interval),
                   platform::dispatch::seconds(interval / 10));
  std::shared_ptr<platform::dispatch::Source> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous = std::exchange(timerSource_, source);
  }
  if (previous) previous->cancel();
  source->resume();
}

void TLYTimer::scheduleBackgroundActivityWithName(const std::string& name) {
  double interval = timeInterval();
  auto scheduler = std::make_unique<platform::BackgroundActivityScheduler>(
      platform::format(kTLYTimerActivityFormat, name));
  scheduler->setRepeats(true);
  scheduler->setInterval(interval);
  scheduler->setTolerance(interval / 10);
  scheduler->scheduleWithBlock([firing = firing_, queue = queue_](
                                   platform::BackgroundActivityScheduler::CompletionHandler done) {
    firing->fire(queue);
    done(platform::BackgroundActivityScheduler::Result::Finished);
  });
  std::unique_ptr<platform::BackgroundActivityScheduler> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous = std::exchange(backgroundActivityScheduler_, std::move(scheduler));
  }
  // An earlier scheduler of this timer stops here.
  if (previous) previous->invalidate();
}

void TLYTimer::executeBlock() { firing_->fire(queue_); }

}  // namespace sdk
