#include "sdk/analytics/tly_backoff_timer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/exception.h"

namespace sdk {

TLYBackoffTimer::TLYBackoffTimer() : TLYBackoffTimer(0) {}

TLYBackoffTimer::TLYBackoffTimer(double initialValue)
    : TLYBackoffTimer(initialValue, kDefaultJitterCoefficient) {}

TLYBackoffTimer::TLYBackoffTimer(double initialValue, double jitterCoefficient,
                                 platform::dispatch::TimeSourcePtr clock)
    : initialValue_(initialValue), jitterCoefficient_(jitterCoefficient), clock_(std::move(clock)) {
  if (!jitterCoefficientIsValid(jitterCoefficient)) {
    throw platform::Exception(platform::kInternalInconsistencyException,
                              "Invalid parameter not satisfying: [TLYBackoffTimer "
                              "jitterCoefficientIsValid:jitterCoefficient]");
  }
}

bool TLYBackoffTimer::jitterCoefficientIsValid(double value) { return value >= 0 && value < 1; }

double TLYBackoffTimer::randomDoubleWithMin(double min, double max) {
  const double draw = random_ ? random_() : ::drand48();
  return draw * (max - min) + min;
}

double TLYBackoffTimer::generateRandomJitter() {
  const double j =
      jitterCoefficientIsValid(jitterCoefficient_) ? jitterCoefficient_ : kDefaultJitterCoefficient;
  return randomDoubleWithMin(1 - j, 1 + j);
}

double TLYBackoffTimer::computeDelayForInitialValue(double initialValue, std::uint64_t retryCount) {
  const double base = std::max(2.0, initialValue);
  const double exponent = static_cast<double>(retryCount == 0 ? 1 : retryCount);
  return std::pow(base, exponent) * generateRandomJitter();
}

void TLYBackoffTimer::executeBlockAfterNextInterval(Block block) {
  ++retryCount_;
  const double delay = computeDelayForInitialValue(initialValue_, retryCount_);
  if (scheduler_) {
    scheduler_(delay, std::move(block));
    return;
  }
  // Seconds to whole nanoseconds, truncated. A delay beyond a century (a
  // huge "Retry-After" raised to a power) waits a century: the clock would
  // overflow otherwise.
  constexpr double kLongestWait = 100.0 * 365 * 24 * 3600 * 1e9;
  const double nanos = std::clamp(delay * 1e9, 0.0, kLongestWait);
  const platform::dispatch::Duration wait(static_cast<platform::dispatch::Duration::rep>(nanos));
  platform::dispatch::Queue::main()->after(wait, std::move(block), clock_);
}

}  // namespace sdk
