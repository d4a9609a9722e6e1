// platform::OperationQueue: runs Operations (platform/system/operation.h)
// on dispatch queues, at most "width" (maxConcurrentOperationCount) at once.
//
// Guarantees:
//  1. An operation is started (its start() called) only when it is ready,
//     the queue is not suspended and fewer than the width of operations the
//     queue started are unfinished. Among ready operations, those added
//     first start first.
//  2. An operation leaves the queue (operations(), operationCount()) when it
//     announces it is finished. A concurrent operation holds its place, and
//     a share of the width, from its start until then.
//  3. A cancelled operation that is still queued becomes ready, is started
//     like any other, sees the cancel and finishes without running its work.
//  4. The main queue (mainQueue()) runs its operations one at a time on the
//     main dispatch queue, i.e. on the main thread while its run loop runs.
//     Other queues start operations on the global concurrent dispatch queue,
//     or on the operation's own thread when it takes its start
//     (Operation::takeStart). start() is never called inside addOperation.
//     Concurrent operations (isConcurrent()) due at about the same time may
//     be started one after another by a single block, in the order of
//     guarantee 1.
//  5. During an operation's start(), currentQueue() is the queue that
//     started it.
//  6. Adding, starting, finishing and cancelling an operation cost the
//     same however many operations the queue holds: operations waiting for
//     a dependency are asked for their readiness again only when they
//     announce "isReady".
// Not promised: which thread runs an operation; any order between
// operations that are ready at different times.
//
// A queue lives while a reference or a running start() holds it. Operations
// still queued when the last reference goes are dropped without starting.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/system/operation.h"

namespace platform {

class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
  struct Passkey {};

 public:
  using Ptr = std::shared_ptr<OperationQueue>;
  // The width that lets the system decide (a generous fixed width here).
  static constexpr long kDefaultMaxConcurrentOperationCount = -1;
  static constexpr long kDefaultWidth = 64;

  static Ptr create(std::string name = {});
  // The queue of the main thread (width 1).
  static Ptr mainQueue();
  // The queue whose operation is starting on this thread, else the main
  // queue when the current dispatch queue is the main one (as it is on the
  // main thread), else nullptr.
  static Ptr currentQueue();

  OperationQueue(Passkey, std::string name, dispatch::QueuePtr target, long width);
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  // Throws platform::Exception kInvalidArgumentException for nullptr, an
  // operation already in a queue, an executing or a finished one.
  void addOperation(const Operation::Ptr& operation);
  // Adds them all (checking each as addOperation does); with `wait`, blocks
  // until every one is finished.
  void addOperations(const std::vector<Operation::Ptr>& operations, bool wait);
  // Adds a BlockOperation running `block` and returns it.
  std::shared_ptr<BlockOperation> addOperationWithBlock(std::function<void()> block);

  // Cancels every operation in the queue (see guarantee 3).
  void cancelAllOperations();
  // The unfinished operations, in the order they were added.
  std::vector<Operation::Ptr> operations() const;
  std::size_t operationCount() const;

  long maxConcurrentOperationCount() const;
  // -1 (the default) or a width of at least 1; 0 and other negative values
  // are treated as 1 and -1.
  void setMaxConcurrentOperationCount(long width);
  bool isSuspended() const;
  void setSuspended(bool suspended);

  std::string name() const;
  void setName(std::string name);

  // Blocks until the queue holds no operation (including ones added while
  // waiting); with a timeout, false when it passed first. Never call it from
  // an operation of this queue.
  bool waitUntilAllOperationsAreFinished(std::optional<dispatch::Duration> timeout = std::nullopt);

 private:
  struct Entry;
  using EntryPtr = std::shared_ptr<Entry>;
  // The fields below the operation are guarded by the queue's mutex_.
  struct Entry {
    Operation::Ptr operation;
    Operation::ObserverToken readyToken = 0;
    Operation::ObserverToken finishedToken = 0;
    std::uint64_t sequence = 0;  // order of adding
    bool inserted = false;       // in entries_ (position is valid)
    bool started = false;
    bool finished = false;
    bool candidate = false;  // in candidates_
    std::list<EntryPtr>::iterator position;
  };

  long effectiveWidthLocked() const;
  void schedulePump();
  void pump();
  // Starts `entry` (already counted as started) on the target queue.
  void dispatchStart(const EntryPtr& entry);
  void runConcurrentStarts();
  void run(const EntryPtr& entry);
  void entryFinished(const EntryPtr& entry);
  // Puts an unstarted entry among the candidates, once.
  void makeCandidateLocked(const EntryPtr& entry);

  const dispatch::QueuePtr target_;
  const dispatch::QueuePtr control_;  // serial: runs pump()

  mutable std::mutex mutex_;  // never held while calling an Operation
  std::condition_variable idleCv_;
  // Every unfinished entry, in the order added; each knows its place, so
  // one leaves in constant time.
  std::list<EntryPtr> entries_;
  // The unstarted entries whose readiness the pump must ask, in the order
  // added: each one once when it is added or gives its start back, and
  // again after each "isReady" announcement. An entry found not ready
  // leaves until its next announcement, so the pump never walks the
  // entries that wait (the cost of an operation does not grow with the
  // queue). Ready entries arrive mostly in order, where inserting at the
  // end and taking the first cost constant time.
  std::map<std::uint64_t, EntryPtr> candidates_;
  std::uint64_t nextSequence_ = 0;
  long running_ = 0;
  long unstarted_ = 0;  // entries neither started nor finished
  // Concurrent operations whose start() is due, run by one block.
  std::vector<EntryPtr> concurrentStarts_;
  bool concurrentStartsScheduled_ = false;
  long width_;
  bool suspended_ = false;
  bool pumpPending_ = false;
  std::string name_;
};

}  // namespace platform
