// BCNAsyncOperation: the base of the SDK's operations whose work ends later
// than main() returns (a network request, for instance). It is a concurrent
// platform::Operation that keeps its own executing and finished flags
// (changed through platform::Operation::transitionState) and ends with
// finishWithError().
//
// Life cycle: ready -> executing (markStarted) -> finished (markDone:
// executing cleared, then finished set). Guarantees:
//  1. start() of a cancelled operation marks it done without calling main()
//     and without calling the async completion.
//  2. Otherwise start() marks it executing and calls main(), which does not
//     finish the operation: a subclass calls finishWithError() (from any
//     thread, at any later time).
//  3. finishWithError(error) first calls the async completion with the error
//     (an empty platform::Error means success), then marks the operation
//     done. Calling it again calls the completion again and marks it done
//     again (the flags do not change, and "isFinished" is announced again).
//  4. Every flag change is announced ("isExecuting", "isFinished") to the
//     platform::Operation observers on the thread that changes the state,
//     after the lock is released (an observer may call back into the
//     operation from any thread); so operation queues, waiters and the
//     completion block see it as they would any operation.
//
// Subclasses name their lock through className(): override it to return
// the class's own name ("BCNOnboardingOperation" gives the lock name
// "com.beacon.BCNOnboardingOperation-lock").
//
// Must be owned by a std::shared_ptr (as every platform::Operation).
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/system/operation.h"

namespace sdk {

class BCNAsyncOperation : public platform::Operation {
 public:
  using AsyncCompletion = std::function<void(const platform::Error& error)>;

  BCNAsyncOperation();
  ~BCNAsyncOperation() override;

  // The class's name, for the lock's name; subclasses override it.
  virtual std::string className() const { return "BCNAsyncOperation"; }
  // "com.beacon.%@-lock" with className().
  std::string lockName() const;

  // --- platform::Operation ------------------------------------------------
  bool isConcurrent() const override { return true; }
  bool isExecuting() const override;
  bool isFinished() const override;
  // See guarantees 1 and 2.
  void start() override;
  // The work; subclasses override it. The default does nothing (and does
  // not finish the operation).
  void main() override {}

  // --- async completion ---------------------------------------------------
  // Called by finishWithError with its error (on the finishing thread,
  // before the operation is marked done). nullptr clears it.
  void setAsyncCompletion(AsyncCompletion completion);
  AsyncCompletion asyncCompletion() const;

  // See guarantee 3.
  void finishWithError(const platform::Error& error = platform::Error());

  // --- steps (for subclasses) -----------------------------------------------
  // True (after markDone) when the operation is cancelled.
  bool checkForCancellation();
  // Sets executing, then announces "isExecuting".
  void markStarted();
  // Clears executing and sets finished in one step, then announces
  // "isExecuting" and "isFinished".
  void markDone();
  // willChangeValueForKey(key), block, didChangeValueForKey(key).
  void changeValueForKey(std::string_view key, const std::function<void()>& block);

 private:
  // Guarded by the platform::Operation state lock (transitionState).
  bool internalExecuting_ = false;
  bool internalFinished_ = false;
  mutable std::mutex completionMutex_;
  AsyncCompletion asyncCompletion_;  // guarded by completionMutex_
};

}  // namespace sdk
