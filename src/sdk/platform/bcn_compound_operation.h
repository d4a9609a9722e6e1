// BCNCompoundOperation: an asynchronous operation that runs a list of
// asynchronous operations on its own operation queue and finishes once all
// of them have, with one error that gathers theirs.
//
// Guarantees:
//  1. main() wraps each operation's async completion (its own completion
//     first, then the outcome counted) and adds the operations, in order, to
//     the compound's queue (default width). Each operation's own async
//     completion runs on the counting queue, one at a time.
//  2. An operation's outcome is counted (on the counting queue) before the
//     compound looks at whether all have ended, which it does after the
//     operation announced that it finished.
//  3. The compound finishes exactly once: with an empty error when every
//     operation succeeded; with kBCNCompoundOperationErrorCodeFailure, whose
//     userInfo holds the operations' errors (in the order they were
//     reported) under kBCNCompoundOperationUnderlyingErrorsKey, when any
//     failed; with kBCNCompoundOperationErrorCodeCancelled ("<name>
//     cancelled") when it was cancelled. Its async completion and
//     completion handling run on the counting queue and must not call back
//     into the compound synchronously there.
//  4. A compound with no operations never finishes by itself.
//  5. cancel() cancels the operations still queued (or, when none is queued
//     any more, every operation, adding the ones not yet finished to the
//     queue so that each starts, sees the cancel and finishes); the compound
//     then ends with the cancellation error once the operations have ended.
//
// The operations' own completion blocks (platform::Operation) are left as
// they are and run as usual.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/system/operation_queue.h"
#include "sdk/platform/bcn_async_operation.h"

namespace sdk {

inline constexpr const char* kBCNCompoundOperationErrorDomain =
    "com.beacon.BCNCompoundOperation.error";
// The bit patterns of -2 and -3 in 32 bits, widened without sign.
inline constexpr std::int64_t kBCNCompoundOperationErrorCodeCancelled = 4294967294LL;
inline constexpr std::int64_t kBCNCompoundOperationErrorCodeFailure = 4294967293LL;
// Its value: an array with one dictionary per error: "domain" (string),
// "code" (integer), "userInfo" (dictionary) and "description" (the error's
// localized description).
inline constexpr const char* kBCNCompoundOperationUnderlyingErrorsKey =
    "com.beacon.BCNCompoundOperation.error.user-info-key.underlying-errors";
inline constexpr const char* kBCNCompoundOperationCountingQueueLabel =
    "com.beacon.BCNCompoundOperation.dispatch-queue.counting-queue";

class BCNCompoundOperation : public BCNAsyncOperation {
 public:
  using OperationPtr = std::shared_ptr<BCNAsyncOperation>;

  BCNCompoundOperation();
  explicit BCNCompoundOperation(std::vector<OperationPtr> operations);
  ~BCNCompoundOperation() override;

  std::string className() const override { return "BCNCompoundOperation"; }

  // The operations to run; set them before the compound starts.
  std::vector<OperationPtr> operations() const;
  void setOperations(std::vector<OperationPtr> operations);
  const platform::OperationQueue::Ptr& compoundQueue() const { return compoundQueue_; }

  // Operations that finished without an error, and the errors of those that
  // failed (read on the counting queue).
  std::uint64_t completedOperations() const;
  std::vector<platform::Error> errors() const;

  void main() override;
  void cancel() override;

  // On the counting queue: appends a non-empty error, or counts a success.
  void updateCompletionCountsWithError(const platform::Error& error);
  // On the counting queue (callers dispatch it there): finishes the compound
  // when it is cancelled or when every operation has reported (guarantee 3).
  void attemptCompoundCompletion();

  // The error of a compound failed with `errors`.
  static platform::Error failureError(const std::vector<platform::Error>& errors);

 private:
  void injectCompoundAsyncCompletionInOperation(const OperationPtr& operation);
  // Watches the operation's finish (in place of wrapping its completion
  // block, which stays the operation's own); returns the observer's token.
  platform::Operation::ObserverToken injectCompoundSyncCompletionInOperation(
      const OperationPtr& operation);

  platform::OperationQueue::Ptr compoundQueue_;
  platform::dispatch::QueuePtr countingQueue_;

  mutable std::mutex operationsMutex_;
  std::vector<OperationPtr> operations_;                            // guarded by operationsMutex_
  std::vector<platform::Operation::ObserverToken> observerTokens_;  // parallel to operations_
  bool mainRan_ = false;                                            // guarded by operationsMutex_

  // Touched only on the counting queue.
  std::uint64_t completedOperations_ = 0;
  std::vector<platform::Error> errors_;
  bool compoundFinished_ = false;
};

}  // namespace sdk
