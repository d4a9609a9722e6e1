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
      timerBlock_(std::move(block)) {}

double TLYTimer::boundedInterval(double seconds) {
  if (!(seconds > 0)) return 0;  // also NaN
  return std::clamp(seconds, kTLYTimerMinimumInterval, kTLYTimerMaximumInterval);
}

TLYTimer::~TLYTimer() { unschedule(); }

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
  std::lock_guard<std::mutex> lock(mutex_);
  return timerBlock_;
}

void TLYTimer::setTimerBlock(Block block) {
  std::lock_guard<std::mutex> lock(mutex_);
  timerBlock_ = std::move(block);
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
  std::weak_ptr<TLYTimer> weak = weak_from_this();
  source->setEventHandler([weak] {
    if (auto timer = weak.lock()) timer->executeBlock();
  });
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
  std::weak_ptr<TLYTimer> weak = weak_from_this();
  scheduler->scheduleWithBlock(
      [weak](platform::BackgroundActivityScheduler::CompletionHandler done) {
        if (auto timer = weak.lock()) timer->executeBlock();
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

void TLYTimer::executeBlock() {
  Block block = timerBlock();
  if (!block) return;
  queue_->addOperationWithBlock(std::move(block));
}

}  // namespace sdk
