// platform::RunLoop: a per-thread run loop with timers, modes and
// "perform on this thread" blocks.
//
// Guarantees:
//  1. Each thread has at most one run loop (`current`); the main run loop
//     belongs to the process's main thread and also drains the main
//     dispatch queue (in the common modes).
//  2. A timer added in a mode fires only while the loop runs in that mode;
//     a timer added in kCommonModes fires in every common mode (the default,
//     event-tracking and modal-panel modes). A default-mode timer therefore
//     pauses while the loop runs in kEventTrackingMode.
//  3. Timers fire on the loop's thread, in deadline order; a repeating timer
//     that fell behind fires once and is rescheduled from the current time
//     onto its interval grid (no burst of missed fires).
//  4. `perform` blocks run on the loop's thread, in submission order.
//  5. A loop with nothing to run may poll for new work for a short, bounded
//     time (at most 200 µs, less when polls keep finding nothing, never past
//     its next timer) before it sleeps; an idle loop always ends up
//     sleeping. Posting to a loop that is awake or already being woken costs
//     no wake-up; the Driver, when there is one, is told of every post.
//  6. A timer made with a time source (a test's manual clock) is due when
//     that source says so: its fire date is a time of the source, and the
//     loop is woken whenever the source's time moves. A timer made without
//     one uses the steady clock.
// Not promised: precise timing (timers may fire late, never early).
//
// Driving: a loop runs on its own through run()/runMode()/runUntil(), or
// is driven by an outside event loop (the client's Qt loop) through the
// Driver interface: the loop asks the driver to wake it or to call back at
// a deadline, and the outside loop calls `processPending`.
//
// Thread safety: addTimer, perform, stop and wakeUp may be called from any
// thread; run/runMode/runUntil/processPending only on the loop's own thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch/time_source.h"

namespace platform::runloop {

inline constexpr const char* kDefaultMode = "kCFRunLoopDefaultMode";
inline constexpr const char* kCommonModes = "kCFRunLoopCommonModes";
inline constexpr const char* kEventTrackingMode = "NSEventTrackingRunLoopMode";
inline constexpr const char* kModalPanelMode = "NSModalPanelRunLoopMode";

using Clock = std::chrono::steady_clock;

class RunLoop;

// A timer: one-shot or repeating, with a block. Timers are scheduled by
// adding them to a run loop; `invalidate` removes them from every loop.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Handler = std::function<void(Timer&)>;
  // A timer that fires `interval` seconds after being added (and then every
  // `interval` seconds when `repeats`), measured by `clock` (nullptr: the
  // steady clock).
  static std::shared_ptr<Timer> create(double interval, bool repeats, Handler handler,
                                       dispatch::TimeSourcePtr clock = nullptr);
  // Creates a timer and adds it to the current thread's run loop in kDefaultMode.
  static std::shared_ptr<Timer> scheduled(double interval, bool repeats, Handler handler);

  double interval() const { return interval_; }
  bool repeats() const { return repeats_; }
  bool isValid() const;
  void invalidate();  // idempotent; a firing in progress completes
  // Runs the handler now (an invalidated timer does nothing); a one-shot
  // timer is invalidated after it.
  void fire();
  // In the time of the timer's clock.
  Clock::time_point fireDate() const;
  void setFireDate(Clock::time_point when);
  const dispatch::TimeSourcePtr& clock() const { return clock_; }

  ~Timer();

 private:
  Timer(double interval, bool repeats, Handler handler, dispatch::TimeSourcePtr clock);
  friend class RunLoop;
  struct State;
  std::shared_ptr<State> state_;
  const dispatch::TimeSourcePtr clock_;
  double interval_;
  bool repeats_;
};

class RunLoop {
 public:
  // The run loop of the calling thread (created on first use).
  static RunLoop& current();
  // The main thread's run loop.
  static RunLoop& main();

  // Outside driver (see the header comment).
  class Driver {
   public:
    virtual ~Driver() = default;
    // Called from any thread when work became due now.
    virtual void wakeUp() = 0;
    // Called on the loop's thread: call processPending at `when` at the latest.
    virtual void scheduleWakeUp(Clock::time_point when) = 0;
  };
  void setDriver(Driver* driver);  // nullptr: the loop runs on its own again

  void addTimer(const std::shared_ptr<Timer>& timer, std::string_view mode = kDefaultMode);
  // Runs `block` on the loop's thread (in the common modes).
  void perform(std::function<void()> block);

  // Runs until stop() is called.
  void run();
  // Runs in `mode` until `deadline`, until stop() or, when `returnAfterSourceHandled`,
  // after the first block or timer handled. False when the mode had nothing to run.
  bool runMode(std::string_view mode, Clock::time_point deadline,
               bool returnAfterSourceHandled = false);
  // Runs in `mode` until `done()` holds or `timeout` passes; returns done().
  // `done` is checked after each handled block or timer and at least every
  // few milliseconds, so it may also turn true through other threads.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                std::string_view mode = kDefaultMode);
  // Runs what is due now in `mode` without waiting (used by a Driver); returns
  // the next deadline (Clock::time_point::max() when none). `afterEachBlock`,
  // when given, runs after every performed block: a driver can serve its own
  // event sources between blocks instead of only after all of them.
  Clock::time_point processPending(std::string_view mode = kDefaultMode,
                                   const std::function<void()>& afterEachBlock = {});
  void stop();
  void wakeUp();
  // The mode the loop is running in now ("" when not running).
  std::string currentMode() const;
  bool isMainRunLoop() const;

  ~RunLoop();

 private:
  RunLoop();
  struct Impl;
  // Runs what is due now in `mode`; returns how many blocks and timers ran
  // and stores the next timer deadline in `next`.
  static int processOnce(Impl& impl, std::string_view mode, Clock::time_point& next, bool onlyOne,
                         const std::function<void()>* afterEachBlock = nullptr);
  // Fires `timer` if it is due at `now` (of its clock) and reschedules it;
  // true when it ran.
  static bool fireDueTimer(const std::shared_ptr<Timer>& timer, Clock::time_point now);
  std::unique_ptr<Impl> impl_;
  friend class Timer;
};

// A named thread that runs its own run loop until `stop` (or destruction).
class Thread {
 public:
  // Starts the thread; `setup` (optional) runs on it before its loop starts.
  static std::shared_ptr<Thread> start(std::string name, std::function<void()> setup = nullptr);
  ~Thread();  // stops and joins
  const std::string& name() const { return name_; }
  RunLoop& runLoop();  // stays valid while this object lives
  // Runs `block` on the thread (through its run loop).
  void perform(std::function<void()> block);
  // Stops the loop and joins; idempotent. Blocks still queued by perform
  // are dropped. Called on the thread itself, it ends the loop without joining.
  void stop();

 private:
  Thread() = default;
  struct Impl;
  std::shared_ptr<Impl> impl_;
  std::string name_;
};

}  // namespace platform::runloop
