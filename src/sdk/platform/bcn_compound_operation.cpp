#include "sdk/platform/bcn_compound_operation.h"

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"

namespace sdk {

namespace {

// The details of one error as a property-list dictionary.
platform::Value errorAsValue(const platform::Error& error) {
  platform::Value userInfo =
      error.userInfo().isDictionary() ? error.userInfo() : platform::Value::dictionary();
  return platform::Value::dictionary({
      {"domain", platform::Value(error.domain())},
      {"code", platform::Value(error.code())},
      {"userInfo", userInfo},
      {"description", platform::Value(error.localizedDescription())},
  });
}

// The error counted for an element that cannot run in the compound's queue.
platform::Error refusedOperationError(const std::string& reason) {
  return platform::Error(
      platform::kInvalidArgumentException, 0,
      platform::Value::dictionary({{platform::kLocalizedDescriptionKey, platform::Value(reason)}}));
}

}  // namespace

BCNCompoundOperation::BCNCompoundOperation() : BCNCompoundOperation(std::vector<OperationPtr>()) {}

BCNCompoundOperation::BCNCompoundOperation(std::vector<OperationPtr> operations)
    : compoundQueue_(platform::OperationQueue::create()),
      countingQueue_(
          platform::dispatch::Queue::createSerial(kBCNCompoundOperationCountingQueueLabel)),
      operations_(std::move(operations)) {}

BCNCompoundOperation::~BCNCompoundOperation() {
  std::lock_guard guard(operationsMutex_);
  for (std::size_t i = 0; i < observerTokens_.size() && i < operations_.size(); ++i) {
    if (operations_[i] && observerTokens_[i]) operations_[i]->removeObserver(observerTokens_[i]);
  }
}

std::vector<BCNCompoundOperation::OperationPtr> BCNCompoundOperation::operations() const {
  std::lock_guard guard(operationsMutex_);
  return operations_;
}

void BCNCompoundOperation::setOperations(std::vector<OperationPtr> operations) {
  std::lock_guard guard(operationsMutex_);
  operations_ = std::move(operations);
}

std::uint64_t BCNCompoundOperation::completedOperations() const {
  std::uint64_t count = 0;
  if (countingQueue_->isCurrent()) return completedOperations_;
  countingQueue_->sync([&] { count = completedOperations_; });
  return count;
}

std::vector<platform::Error> BCNCompoundOperation::errors() const {
  std::vector<platform::Error> out;
  if (countingQueue_->isCurrent()) return errors_;
  countingQueue_->sync([&] { out = errors_; });
  return out;
}

platform::Error BCNCompoundOperation::failureError(const std::vector<platform::Error>& errors) {
  platform::Value list = platform::Value::mutableArray();
  for (const platform::Error& error : errors) list.append(errorAsValue(error));
  return platform::Error(
      kBCNCompoundOperationErrorDomain, kBCNCompoundOperationErrorCodeFailure,
      platform::Value::dictionary({{kBCNCompoundOperationUnderlyingErrorsKey, list.copy()}}));
}

void BCNCompoundOperation::main() {
  std::vector<OperationPtr> operations = this->operations();
  std::vector<platform::Operation::ObserverToken> tokens(operations.size(), 0);
  {
    std::lock_guard guard(operationsMutex_);
    mainRan_ = true;
  }
  for (std::size_t i = 0; i < operations.size(); ++i) {
    const OperationPtr& operation = operations[i];
    if (!operation || operation->isFinished() || operation->isExecuting()) {
      // It can never report through this compound: count it as failed so the
      // compound still ends.
      updateCompletionCountsWithError(refusedOperationError(
          "an operation of a compound operation was missing, executing or finished"));
      continue;
    }
    AsyncCompletion own = operation->asyncCompletion();
    injectCompoundAsyncCompletionInOperation(operation);
    tokens[i] = injectCompoundSyncCompletionInOperation(operation);
    try {
      compoundQueue_->addOperation(operation);
    } catch (const platform::Exception& e) {
      operation->setAsyncCompletion(std::move(own));
      operation->removeObserver(tokens[i]);
      tokens[i] = 0;
      updateCompletionCountsWithError(refusedOperationError(e.reason()));
    }
  }
  {
    std::lock_guard guard(operationsMutex_);
    observerTokens_ = tokens;
    if (operations_.size() != operations.size()) observerTokens_.clear();
  }
  // Elements refused above may already account for every operation.
  std::weak_ptr<BCNCompoundOperation> weak =
      std::static_pointer_cast<BCNCompoundOperation>(shared_from_this());
  countingQueue_->async([weak] {
    if (auto self = weak.lock()) self->attemptCompoundCompletion();
  });
}

void BCNCompoundOperation::injectCompoundAsyncCompletionInOperation(const OperationPtr& operation) {
  AsyncCompletion own = operation->asyncCompletion();
  std::weak_ptr<BCNCompoundOperation> weak =
      std::static_pointer_cast<BCNCompoundOperation>(shared_from_this());
  operation->setAsyncCompletion([weak, own](const platform::Error& error) {
    std::shared_ptr<BCNCompoundOperation> self = weak.lock();
    if (!self) {
      if (own) own(error);
      return;
    }
    if (own) {
      if (self->countingQueue_->isCurrent()) {
        own(error);
      } else {
        self->countingQueue_->sync([&] { own(error); });
      }
    }
    self->updateCompletionCountsWithError(error);
  });
}

platform::Operation::ObserverToken BCNCompoundOperation::injectCompoundSyncCompletionInOperation(
    const OperationPtr& operation) {
  std::weak_ptr<BCNCompoundOperation> weak =
      std::static_pointer_cast<BCNCompoundOperation>(shared_from_this());
  // Runs on the thread that announced the finish, inside the announcement:
  // it only posts the look to the counting queue. The outcome was counted
  // before (finishWithError counts, then marks the operation done).
  return operation->addObserver(platform::kOperationIsFinishedKey,
                                [weak](platform::Operation& op, std::string_view) {
                                  if (!op.isFinished()) return;
                                  std::shared_ptr<BCNCompoundOperation> self = weak.lock();
                                  if (!self) return;
                                  self->countingQueue_->async([weak] {
                                    if (auto compound = weak.lock()) {
                                      compound->attemptCompoundCompletion();
                                    }
                                  });
                                });
}

void BCNCompoundOperation::updateCompletionCountsWithError(const platform::Error& error) {
  auto count = [&] {
    if (error) {
      errors_.push_back(error);
    } else {
      ++completedOperations_;
    }
  };
  if (countingQueue_->isCurrent()) {
    count();
  } else {
    countingQueue_->sync(count);
  }
}

void BCNCompoundOperation::attemptCompoundCompletion() {
  if (compoundFinished_) return;
  if (isCancelled()) {
    compoundFinished_ = true;
    finishWithError(
        platform::Error(kBCNCompoundOperationErrorDomain, kBCNCompoundOperationErrorCodeCancelled,
                        platform::Value::dictionary(
                            {{platform::kLocalizedDescriptionKey,
                              platform::Value(platform::format("%@ cancelled", name()))}})));
    setAsyncCompletion(nullptr);
    return;
  }
  std::size_t total;
  {
    std::lock_guard guard(operationsMutex_);
    if (!mainRan_) return;
    total = operations_.size();
  }
  if (total == 0) return;  // nothing will ever be counted: never finishes by itself
  if (completedOperations_ + errors_.size() != total) return;
  compoundFinished_ = true;
  finishWithError(errors_.empty() ? platform::Error() : failureError(errors_));
}

void BCNCompoundOperation::cancel() {
  std::vector<platform::Operation::Ptr> queued = compoundQueue_->operations();
  if (!queued.empty()) {
    for (const platform::Operation::Ptr& operation : queued) operation->cancel();
    if (countingQueue_->isCurrent()) {
      attemptCompoundCompletion();
    } else {
      countingQueue_->sync([this] { attemptCompoundCompletion(); });
    }
  } else {
    std::vector<OperationPtr> operations = this->operations();
    for (const OperationPtr& operation : operations) {
      if (operation) operation->cancel();
    }
    // Operations that already run or ended cannot be queued again; the rest
    // start, see the cancel and finish.
    for (const OperationPtr& operation : operations) {
      if (!operation || operation->isFinished() || operation->isExecuting()) continue;
      try {
        compoundQueue_->addOperation(operation);
      } catch (const platform::Exception&) {
        // Already in a queue (or started meanwhile): it ends there.
      }
    }
  }
  BCNAsyncOperation::cancel();
  bool started;
  {
    std::lock_guard guard(operationsMutex_);
    started = mainRan_;
  }
  if (!started) return;
  // Operations may all have ended before the flag above was set; look once
  // more so that a started compound always ends after a cancel.
  std::weak_ptr<BCNCompoundOperation> weak =
      std::static_pointer_cast<BCNCompoundOperation>(shared_from_this());
  countingQueue_->async([weak] {
    if (auto self = weak.lock()) self->attemptCompoundCompletion();
  });
}

}  // namespace sdk
