#include "sdk/platform/bcn_async_operation.h"

#include "platform/foundation/format.h"

namespace sdk {

BCNAsyncOperation::BCNAsyncOperation() = default;
BCNAsyncOperation::~BCNAsyncOperation() = default;

std::string BCNAsyncOperation::lockName() const {
  return platform::format("com.beacon.%@-lock", className());
}

bool BCNAsyncOperation::isExecuting() const {
  std::lock_guard guard(lock_);
  return internalExecuting_;
}

bool BCNAsyncOperation::isFinished() const {
  std::lock_guard guard(lock_);
  return internalFinished_;
}

void BCNAsyncOperation::start() {
  if (checkForCancellation()) return;
  markStarted();
  main();
}

void BCNAsyncOperation::setAsyncCompletion(AsyncCompletion completion) {
  AsyncCompletion old;
  std::lock_guard guard(completionMutex_);
  old = std::exchange(asyncCompletion_, std::move(completion));
}

BCNAsyncOperation::AsyncCompletion BCNAsyncOperation::asyncCompletion() const {
  std::lock_guard guard(completionMutex_);
  return asyncCompletion_;
}

void BCNAsyncOperation::finishWithError(const platform::Error& error) {
  if (AsyncCompletion completion = asyncCompletion()) completion(error);
  markDone();
}

bool BCNAsyncOperation::checkForCancellation() {
  if (!isCancelled()) return false;
  markDone();
  return true;
}

void BCNAsyncOperation::markStarted() {
  lock([this] { unlockedMarkStarted(); });
}

void BCNAsyncOperation::markDone() {
  lock([this] {
    unlockedMarkComplete();
    unlockedMarkFinished();
  });
}

void BCNAsyncOperation::changeValueForKey(std::string_view key,
                                          const std::function<void()>& block) {
  willChangeValueForKey(key);
  if (block) block();
  didChangeValueForKey(key);
}

void BCNAsyncOperation::lock(const std::function<void()>& block) const {
  std::lock_guard guard(lock_);
  if (block) block();
}

void BCNAsyncOperation::unlockedMarkStarted() {
  changeValueForKey(platform::kOperationIsExecutingKey, [this] { internalExecuting_ = true; });
}

void BCNAsyncOperation::unlockedMarkComplete() {
  changeValueForKey(platform::kOperationIsExecutingKey, [this] { internalExecuting_ = false; });
}

void BCNAsyncOperation::unlockedMarkFinished() {
  changeValueForKey(platform::kOperationIsFinishedKey, [this] { internalFinished_ = true; });
}

}  // namespace sdk
