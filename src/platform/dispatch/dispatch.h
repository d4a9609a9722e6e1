// platform::dispatch: queues, groups, semaphores and event sources.
//
// Queue contract (one test per guarantee in tests/platform/dispatch_test.cpp):
//  1. `async` never runs the block inside the call.
//  2. A serial queue runs its blocks one at a time, in the order they were
//     submitted (FIFO), and each block sees the writes of the blocks before it.
//  3. `after` blocks with equal deadlines run in submission order; deadlines
//     use steady_clock.
//  4. `sync` runs the block on the caller's thread once the queue is free,
//     and returns after it. A `sync` onto a serial queue that the calling
//     thread is already running (directly or through a target queue) is a
//     deadlock: it is detected and aborts the process with a message naming
//     the queue, instead of hanging silently. Exceptions: a `sync` onto the
//     main queue (or a queue targeting it) from another thread runs the
//     block on the main thread, in turn, and waits for it; from the main
//     thread outside the main queue's blocks it runs at once. A `sync` onto
//     a concurrent queue runs at once.
//  5. "The current queue" is set for the scope of a block and restored after
//     it; queue-specific values are looked up on the current queue and then
//     along its target queues.
//  6. Posted work is moved in, runs at most once, and its captured state is
//     destroyed right after it runs, on the thread that ran it.
// Not promised: which thread runs a block (except on the main queue, whose
// blocks run on the main thread when its run loop runs), nor any order
// between different queues. Serial queues live as long as a reference or
// pending work holds them; work already submitted always runs (queues never
// shut down; a suspended queue keeps its work until resumed).
//
// The global queues share one pool of worker threads, about one per core;
// the pool adds workers while some wait in `sync`, a group or a semaphore,
// or when queued work has not started for a while, so blocking work does
// not starve the pool (it just costs threads).
//
// The main queue is drained by the main run loop (platform/runloop), in its
// common modes: nothing posted to it runs until something runs that loop.
//
// Thread safety: every function here may be called from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/time_source.h"

namespace platform::dispatch {

using Block = std::function<void()>;
using Clock = std::chrono::steady_clock;
using Duration = std::chrono::nanoseconds;

// Converts seconds (double) to a Duration.
inline Duration seconds(double s) {
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}

enum class Priority { High, Default, Low, Background };

class Queue;
using QueuePtr = std::shared_ptr<Queue>;

class Queue : public std::enable_shared_from_this<Queue> {
 public:
  virtual ~Queue();

  // A new serial queue. Its blocks run on threads of the global pool, or on
  // `target`'s threads, one at a time, when `target` is given.
  static QueuePtr createSerial(std::string label, QueuePtr target = nullptr);
  // A new concurrent queue (blocks may run side by side on the global pool).
  static QueuePtr createConcurrent(std::string label);
  // The main queue (label "com.apple.main-thread"), drained by the main run loop.
  static QueuePtr main();
  // The process-wide concurrent queue of a priority.
  static QueuePtr global(Priority priority = Priority::Default);
  // The queue running the calling code; nullptr outside any queue. The
  // main thread counts as running the main queue outside other queues' blocks.
  static QueuePtr current();
  // The label of the current queue, "" outside any queue.
  static std::string currentLabel();

  const std::string& label() const { return label_; }
  bool isSerial() const { return serial_; }
  bool isMain() const;
  // True when the calling code runs on this queue, directly or through a
  // queue that targets it.
  bool isCurrent() const;

  void async(Block block);
  void sync(const Block& block);
  void after(Duration delay, Block block);
  void after(double seconds, Block block) { after(dispatch::seconds(seconds), std::move(block)); }
  // `after` measured by `clock` (nullptr: the steady clock, as above). On
  // another source the block is submitted once that source's time reaches
  // the deadline; blocks that fall due in the same move of its time are
  // submitted in the order they were scheduled.
  void after(Duration delay, Block block, const TimeSourcePtr& clock);
  // Suspends and resumes the start of new blocks; suspensions count.
  void suspend();
  void resume();

  // Queue-specific values, keyed by address. Set nullptr to remove.
  void setSpecific(const void* key, std::shared_ptr<void> value);
  // The value on this queue, else on its target queues; nullptr when none.
  std::shared_ptr<void> getSpecific(const void* key) const;
  // The value on the current queue (following targets); nullptr when none.
  static std::shared_ptr<void> currentSpecific(const void* key);

 protected:
  Queue(std::string label, bool serial, QueuePtr target);
  std::string label_;
  bool serial_;
  QueuePtr target_;
  friend class QueueImpl;
};

// Runs `block` exactly once for a flag, even when called from many threads.
using OnceFlag = std::once_flag;
inline void once(OnceFlag& flag, const Block& block) { std::call_once(flag, block); }

// Groups: count of outstanding work; `notify` blocks run when it drops to 0.
class Group {
 public:
  Group();
  ~Group();
  void enter();
  void leave();  // aborts when leave outnumbers enter
  // Submits `block` to `queue`, entering before and leaving after it.
  void async(const QueuePtr& queue, Block block);
  // Runs `block` on `queue` once the group is empty (at once if it is empty now).
  void notify(const QueuePtr& queue, Block block);
  // Waits until the group is empty; false on time-out. No timeout waits forever.
  bool wait(std::optional<Duration> timeout = std::nullopt);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

class Semaphore {
 public:
  explicit Semaphore(long value = 0);
  void signal();
  // Decrements, waiting while the count would go below 0; false on time-out.
  bool wait(std::optional<Duration> timeout = std::nullopt);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long value_;
};

// Event sources on the process's epoll reactor.
//
// A source starts suspended: call `resume` once to start delivery. Suspends
// count. The event handler runs on the source's queue, never concurrently
// with itself. `cancel` stops delivery: the cancel handler then runs exactly
// once on the queue, after the descriptor is deregistered from the reactor
// (so the owner may close the fd in it). A read and a write source may
// watch the same fd. A cancelled source that is still suspended runs its
// cancel handler when resumed. A resumed source stays alive until it is
// cancelled, even without other references; the handlers are released
// after the cancel handler ran, so they may hold the source's owner.
// While a source is suspended or its handler is queued or running, a
// descriptor is not watched (a readable fd fires again after the handler
// if still readable); timer and signal events add up into data().
// Signal sources block their signal in the creating thread (the platform's
// own threads block all signals): create them on the main thread before
// starting threads of your own. Children inherit blocked signals; see
// platform/dispatch/internal.h for what fork undoes and what posix_spawn
// callers must do.
class Source : public std::enable_shared_from_this<Source> {
 public:
  enum class Type { Read, Write, Timer, ProcessExit, Signal };
  virtual ~Source();

  // Readable fd; data() = bytes available (FIONREAD) at the event.
  static std::shared_ptr<Source> read(int fd, QueuePtr queue);
  // Readable fd, for a handler that reads until the fd would block (or
  // suspends the source): data() = 1, the byte count is not measured. The
  // fd is edge-triggered while the source is resumed, which saves two
  // system calls per event: the handler runs again after it returns when
  // something came meanwhile (which it may have read already: the next
  // read may then find nothing), not for what it left unread. Resuming
  // the source looks at the fd afresh. Otherwise a read source.
  static std::shared_ptr<Source> readable(int fd, QueuePtr queue);
  // Writable fd; data() = an estimate of the writable space.
  static std::shared_ptr<Source> write(int fd, QueuePtr queue);
  // Timer: set its schedule with setTimer; data() = fires since the last handler.
  // Its deadlines follow `clock` (none: the steady clock, on the reactor);
  // on another time source they are checked each time its time moves.
  static std::shared_ptr<Source> timer(QueuePtr queue, TimeSourcePtr clock = nullptr);
  // Exit of a child process (pidfd); fires once; data() = the wait status
  // when this source reaped the child, else 0.
  static std::shared_ptr<Source> processExit(pid_t pid, QueuePtr queue);
  // A signal delivered to the process (signalfd; the signal is blocked in
  // every thread); data() = deliveries since the last handler.
  static std::shared_ptr<Source> signal(int signo, QueuePtr queue);

  Type type() const { return type_; }
  int handle() const { return handle_; }  // the fd, pid or signal number
  const QueuePtr& queue() const { return queue_; }

  void setEventHandler(Block handler);
  void setCancelHandler(Block handler);
  // Timer schedule: first fire after `start`, then every `interval`
  // (interval <= 0: once). May be called again to reschedule; fires not yet
  // handled are dropped then. A start of 100 years or more never fires.
  // The leeway is accepted and ignored (timers fire as early as possible).
  void setTimer(Duration start, Duration interval, Duration leeway = Duration::zero());

  void resume();
  void suspend();
  void cancel();
  bool isCancelled() const;
  // Valid inside the event handler.
  std::uint64_t data() const;

 protected:
  Source(Type type, int handle, QueuePtr queue);
  Type type_;
  int handle_;
  QueuePtr queue_;
  friend class SourceImpl;
};

}  // namespace platform::dispatch
