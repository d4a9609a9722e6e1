// platform::Operation: one unit of work with a life cycle that an
// OperationQueue (platform/system/operation_queue.h) runs, and
// platform::BlockOperation, an operation that runs one block.
//
// Life cycle: ready -> executing -> finished; cancelled is a flag beside the
// state. Guarantees:
//  1. isReady() holds when every dependency is finished (or the operation is
//     cancelled: a cancelled operation is ready so that a queue starts it and
//     it can finish).
//  2. start() of a cancelled operation goes straight to finished without
//     calling main(). Otherwise start() marks the operation executing and
//     calls main(); a non-concurrent operation is finished when main()
//     returns; a concurrent one (isConcurrent() true) stays executing after
//     start() returns until it calls markFinished(). start() on an operation
//     that is not ready, already started or finished does nothing.
//  3. The completion block runs exactly once, after the operation became
//     finished, on a global dispatch queue; it is released right after it
//     ran. A block set after the operation finished does not run. Work on a
//     global queue that finishes several operations may hold their blocks
//     back in a CompletionBatch and run them itself, on its own thread,
//     without a hop each.
//  4. State changes are announced to observers registered with addObserver
//     for the key paths "isReady", "isExecuting", "isFinished" and
//     "isCancelled" (or any other key a subclass announces). Observers run
//     synchronously on the thread that made the change, after it, in
//     place of the platform's key-value observing; they must not block.
//  5. No lock of the operation is held while it calls out: observers, the
//     completion block and dependants run after the state lock is released,
//     so an observer may call back into the operation from any thread.
// Subclasses that keep their own state (their own isExecuting/isFinished)
// change it through transitionState and read it through readState: the
// change happens under this class's state lock, and its announcement
// (willChangeValueForKey/didChangeValueForKey, which the queue, the
// completion block, waiters and dependants react to) follows once the lock
// is released.
//
// An Operation must be owned by a std::shared_ptr (dependencies, queues and
// observers hold it that way).
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr const char* kOperationIsReadyKey = "isReady";
inline constexpr const char* kOperationIsExecutingKey = "isExecuting";
inline constexpr const char* kOperationIsFinishedKey = "isFinished";
inline constexpr const char* kOperationIsCancelledKey = "isCancelled";

class OperationQueue;

class Operation : public std::enable_shared_from_this<Operation> {
 public:
  using Ptr = std::shared_ptr<Operation>;
  using Observer = std::function<void(Operation& operation, std::string_view key)>;
  using ObserverToken = std::uint64_t;
  using Duration = std::chrono::nanoseconds;

  Operation();
  virtual ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // --- running ---------------------------------------------------------
  // See guarantee 2. Subclasses that override it follow the same rules.
  virtual void start();
  // The work; the default does nothing.
  virtual void main() {}
  // Where a queue runs start(). A concurrent operation whose start() only
  // hands its work to a thread of its own may take `start` (the queue's
  // whole start step) and run it on that thread, later and never inside
  // this call, sparing the hop through the queue's dispatch threads; it
  // returns true then. The default leaves `start` alone and returns false.
  virtual bool takeStart(std::function<void()>& start) {
    (void)start;
    return false;
  }
  // Sets the cancelled flag (announcing "isCancelled" and "isReady"); the
  // work itself decides what to do with it. Idempotent; does nothing on a
  // finished operation.
  virtual void cancel();

  // --- state -----------------------------------------------------------
  virtual bool isReady() const;
  virtual bool isExecuting() const;
  virtual bool isFinished() const;
  virtual bool isCancelled() const;
  virtual bool isConcurrent() const { return false; }
  bool isAsynchronous() const { return isConcurrent(); }

  // --- dependencies ----------------------------------------------------
  // This operation is not ready until `operation` is finished. Adding one
  // twice, or the operation itself, changes nothing. Announces "isReady".
  void addDependency(const Ptr& operation);
  void removeDependency(const Ptr& operation);
  std::vector<Ptr> dependencies() const;

  // --- completion block ------------------------------------------------
  // See guarantee 3. nullptr clears it.
  void setCompletionBlock(std::function<void()> block);
  bool hasCompletionBlock() const;

  std::string name() const;
  void setName(std::string name);

  // Blocks until the operation is finished; with a timeout, false when it
  // passed first. Never call it from the operation's own work.
  bool waitUntilFinished(std::optional<Duration> timeout = std::nullopt);

  // --- state observers (key-value observing stand-in) --------------------
  // `observer` runs after each announced change of `key` (see guarantee 4).
  ObserverToken addObserver(std::string key, Observer observer);
  // After this returns the observer is not called again (a call already
  // running on another thread may still complete).
  void removeObserver(ObserverToken token);
  // Announce a change of `key`: call will before and did after changing
  // what the key reports.
  void willChangeValueForKey(std::string_view key);
  void didChangeValueForKey(std::string_view key);

  // "<name or address>: ready|executing|finished[, cancelled]".
  virtual std::string description() const;

  // While one is open on a thread, the completion blocks of the operations
  // that finish on that thread are held back, in the order they finished,
  // and run() (or the end of the batch) runs them on that same thread: for
  // work running on a global dispatch queue that finishes several
  // operations at once, so guarantee 3 still holds without a hop per block.
  // Blocks that finish further operations while it runs add theirs to it.
  // Batches nest; the innermost one collects. Not copyable; one thread.
  class CompletionBatch {
   public:
    CompletionBatch();
    ~CompletionBatch();
    CompletionBatch(const CompletionBatch&) = delete;
    CompletionBatch& operator=(const CompletionBatch&) = delete;
    // Runs (and releases) the blocks held so far, each once.
    void run();

   private:
    friend class Operation;
    CompletionBatch* previous_;
    std::vector<std::function<void()>> blocks_;
  };

 protected:
  // For concurrent operations that use this class's flags: marks the
  // operation finished (and no longer executing), announcing both changes.
  // Idempotent.
  void markFinished();
  // Marks the operation executing, announcing the change.
  void markExecuting();

  // The one state-transition step of subclasses that keep their own state
  // (guarantee 5): runs `change` holding the state lock; `change` updates
  // the subclass's fields and appends to `announce` the keys to announce
  // (string literals or keys that outlive the call). Once the lock is
  // released, each key is announced (will, then did), in order, on the
  // calling thread. `change` must only touch fields: it must not call out,
  // nor call this operation's public members (the lock is not recursive).
  using StateChange = std::function<void(std::vector<std::string_view>& announce)>;
  void transitionState(const StateChange& change);
  // Runs `read` holding the state lock and returns its result: how the
  // subclass's getters read what transitionState changes. The same rules
  // as for `change` apply.
  template <class Read>
  auto readState(Read&& read) const {
    std::lock_guard lock(mutex_);
    return read();
  }

 private:
  friend class OperationQueue;
  struct ObserverRecord {
    std::string key;
    std::shared_ptr<Observer> observer;
  };

  void onFinishedAnnounced();

  mutable std::mutex mutex_;  // guards the fields below; never held while calling out
  bool started_ = false;
  bool executing_ = false;
  bool finished_ = false;
  bool cancelled_ = false;
  bool completionDone_ = false;
  std::function<void()> completion_;
  std::string name_;
  struct Dependency {
    Ptr operation;
    ObserverToken token;
  };
  std::vector<Dependency> dependencies_;

  mutable std::mutex observersMutex_;
  std::map<ObserverToken, ObserverRecord> observers_;
  ObserverToken nextToken_ = 1;

  // Waiters: a generation counter bumped on every "isFinished" announcement.
  std::mutex waitMutex_;
  std::condition_variable waitCv_;
  std::uint64_t finishGeneration_ = 0;

  std::atomic<bool> enqueued_{false};  // set once by the queue that takes it
};

// An operation that runs one block.
class BlockOperation : public Operation {
 public:
  static std::shared_ptr<BlockOperation> create(std::function<void()> block);
  explicit BlockOperation(std::function<void()> block);
  void main() override;

 private:
  std::mutex blockMutex_;
  std::function<void()> block_;
};

}  // namespace platform
