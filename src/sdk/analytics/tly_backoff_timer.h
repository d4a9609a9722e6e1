// sdk::TLYBackoffTimer: the exponential back-off of one analytics upload name.
//
// Each executeBlockAfterNextInterval() raises retryCount by one and runs the
// block once, on the main queue, after
//   max(2, initialValue) ^ retryCount  x  a jitter factor in [1 - j, 1 + j)
// seconds (j is jitterCoefficient, 0.1 by default). With the default base of
// 2 the waits are about 2, 4, 8, ... 2048 s for the first eleven retries.
// Nothing here cancels a scheduled block: once scheduled, it runs.
//
// The random source and the way a delayed block is run can be replaced
// (setRandomSource, setScheduler) so that tests see the delays without
// waiting for them; the default scheduler's delays follow the time source
// given at creation (none: the steady clock).
//
// Thread safety: one object, used from its owner's serial queue (the retry
// handler's); the scheduled blocks run on the main queue and do not touch
// the timer.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/dispatch/time_source.h"

namespace sdk {

class TLYBackoffTimer {
 public:
  using Block = std::function<void()>;
  // Runs `block` once after `seconds`; the default hands it to the main
  // dispatch queue with `after`.
  using Scheduler = std::function<void(double seconds, Block block)>;
  // Uniform draws in [0, 1); the default is drand48().
  using RandomSource = std::function<double()>;

  // The single-precision 0.1 widened to double, as the jitter was first kept.
  static constexpr double kDefaultJitterCoefficient = static_cast<double>(0.1f);

  // Initial value 0 (so the base is 2), jitter 0.1.
  TLYBackoffTimer();
  explicit TLYBackoffTimer(double initialValue);
  // Throws platform::Exception (NSInternalInconsistencyException, "Invalid
  // parameter not satisfying: ...") for a coefficient outside [0, 1).
  TLYBackoffTimer(double initialValue, double jitterCoefficient,
                  platform::dispatch::TimeSourcePtr clock = nullptr);

  std::uint64_t retryCount() const { return retryCount_; }
  double initialValue() const { return initialValue_; }
  void setInitialValue(double seconds) { initialValue_ = seconds; }
  double jitterCoefficient() const { return jitterCoefficient_; }

  // retryCount += 1, then `block` runs after the delay for the new count
  // (see the top of this file). Never runs the block inside the call.
  void executeBlockAfterNextInterval(Block block);

  // max(2, initialValue) ^ max(1, retryCount) x generateRandomJitter(), in
  // seconds.
  double computeDelayForInitialValue(double initialValue, std::uint64_t retryCount);
  // A factor drawn uniformly from [1 - j, 1 + j); j is the coefficient when
  // valid, else 0.1.
  double generateRandomJitter();
  // draw x (max - min) + min.
  double randomDoubleWithMin(double min, double max);
  // True exactly for 0 <= value < 1.
  static bool jitterCoefficientIsValid(double value);

  void setScheduler(Scheduler scheduler) { scheduler_ = std::move(scheduler); }
  void setRandomSource(RandomSource random) { random_ = std::move(random); }

 private:
  std::uint64_t retryCount_ = 0;
  double initialValue_ = 0;
  double jitterCoefficient_ = kDefaultJitterCoefficient;
  Scheduler scheduler_;
  RandomSource random_;
  platform::dispatch::TimeSourcePtr clock_;
};

}  // namespace sdk
