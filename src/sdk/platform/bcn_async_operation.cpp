#include "sdk/platform/bcn_async_operation.h"

#include "platform/foundation/format.h"

namespace sdk {

BCNAsyncOperation::BCNAsyncOperation() = default;
BCNAsyncOperation::~BCNAsyncOperation() = default;

std::string BCNAsyncOperation::lockName() const {
  return platform::format("com.beacon.%@-lock", className());
}

bool BCNAsyncOperation::isExecuting() const {
  return readState([this] { return internalExecuting_; });
}

bool BCNAsyncOperation::isFinished() const {
  return readState([this] { return internalFinished_; });
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
  transitionState([this](std::vector<std::string_view>& announce) {
    internalExecuting_ = true;
    announce.push_back(platform::kOperationIsExecutingKey);
  });
}

void BCNAsyncOperation::markDone() {
  transitionState([this](std::vector<std::string_view>& announce) {
    internalExecuting_ = false;
    internalFinished_ = true;
    announce.push_back(platform::kOperationIsExecutingKey);
    announce.push_back(platform::kOperationIsFinishedKey);
  });
}

void BCNAsyncOperation::changeValueForKey(std::string_view key,
                                          const std::function<void()>& block) {
  willChangeValueForKey(key);
  if (block) block();
  didChangeValueForKey(key);
}

}  // namespace sdk
