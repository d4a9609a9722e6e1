// platform::dispatch::TimeSource: where time-driven code reads "now".
//
// Timers and time-outs take an optional time source when they are made. A
// null source means the process's steady clock, read directly: production
// code passes none and pays one branch per deadline check.
//
// A source that is not the steady clock (a test's manual clock) moves only
// when told to. Its deadlines cannot be slept to, so whoever waits on them
// registers a waker with `watch` and is called each time the time moves; it
// then checks its deadlines against `now()` again, and answers whether it
// still waits.
//
// Guarantees:
//  1. `now()` never goes backwards.
//  2. After the time moves, every live waker registered before the move has
//     been called, in the order they were registered, on the thread that
//     moved it, outside any lock of the source.
//  3. A waker whose owner is gone, or that answered false, is dropped and
//     never called again.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace platform::dispatch {

class TimeSource {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~TimeSource() = default;
  virtual time_point now() const = 0;
  // Calls `wake` after each move of the time for as long as `owner` lives
  // and `wake` returns true.
  virtual void watch(std::weak_ptr<void> owner, std::function<bool()> wake) = 0;
};

using TimeSourcePtr = std::shared_ptr<TimeSource>;

// "Now" of `source`, or of the steady clock when it is null.
inline TimeSource::time_point nowOf(const TimeSourcePtr& source) {
  return source ? source->now() : std::chrono::steady_clock::now();
}

// Blocks the calling thread until the time of `source` has moved on by
// `delay`; with no source it sleeps. While it waits on a source, one waker
// is registered, and it is dropped in the move that ends the wait.
void sleepFor(const TimeSourcePtr& source, std::chrono::nanoseconds delay);

}  // namespace platform::dispatch
