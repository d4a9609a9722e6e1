// platform::BackgroundActivityScheduler: runs a block of deferrable work
// once or repeatedly, on the platform's dispatch timers.
//
// A scheduler has an identifier, an interval (seconds), a tolerance (seconds)
// and a repeat switch, set before scheduleWithBlock(). The block receives a
// completion handler and must call it once the activity is done (from any
// thread, at any later time).
//
// Guarantees:
//  1. The first run starts one interval after scheduleWithBlock(); it never
//     runs inside the call. The tolerance is recorded but does not delay
//     the run (our timers fire as early as they can).
//  2. A repeating activity runs again one interval after its completion
//     handler reported Finished; runs never overlap. Deferred asks for the
//     same activity again after the tolerance (the interval when the
//     tolerance is 0 or less). A non-repeating activity runs once (again
//     only when it reports Deferred).
//  3. After invalidate() (or the scheduler's destruction) no further run
//     starts; a run already under way completes, and its completion handler
//     then does nothing. invalidate() is idempotent.
//  4. A completion handler counts once; later calls do nothing.
// Not promised: the thread a run uses (a global queue of background
// priority); that the run starts exactly on time.
//
// shouldDefer() is always false here: nothing on this platform asks
// background work to wait for better conditions.
//
// Thread safety: every member may be called from any thread. The settings
// take effect at the next scheduleWithBlock().
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform {

class BackgroundActivityScheduler {
 public:
  enum class Result { Finished = 1, Deferred = 2 };
  using CompletionHandler = std::function<void(Result)>;
  using ActivityBlock = std::function<void(CompletionHandler completion)>;

  explicit BackgroundActivityScheduler(std::string identifier);
  // Invalidates (guarantee 3).
  ~BackgroundActivityScheduler();
  BackgroundActivityScheduler(const BackgroundActivityScheduler&) = delete;
  BackgroundActivityScheduler& operator=(const BackgroundActivityScheduler&) = delete;

  const std::string& identifier() const { return identifier_; }
  double interval() const;
  void setInterval(double seconds);
  double tolerance() const;
  void setTolerance(double seconds);
  bool repeats() const;
  void setRepeats(bool repeats);

  // Starts the schedule with `block`. A scheduler runs one schedule: a
  // second call replaces the earlier schedule (whose pending run is dropped).
  // Scheduling after invalidate() starts a new schedule.
  void scheduleWithBlock(ActivityBlock block);
  // Stops the schedule (guarantee 3).
  void invalidate();
  // True while a schedule is active (scheduled and not invalidated, and for
  // a non-repeating activity not yet finished).
  bool isScheduled() const;
  bool shouldDefer() const { return false; }

 private:
  struct State;
  const std::string identifier_;
  std::shared_ptr<State> state_;
};

}  // namespace platform
