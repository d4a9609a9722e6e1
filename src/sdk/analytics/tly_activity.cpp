#include "sdk/analytics/tly_activity.h"

#include <utility>

#include "sdk/analytics/tly_application.h"

namespace sdk {
namespace {

// Kept when the process-information service offers no activities.
std::shared_ptr<void> nullPlaceholder() {
  static int placeholder = 0;
  return std::shared_ptr<void>(std::shared_ptr<void>(), &placeholder);
}

}  // namespace

TLYActivity::Ptr TLYActivity::beginActivity(const std::string& reason, std::uint64_t options,
                                            ExpirationHandler expirationHandler) {
  auto token = beginActivityIfAvailable(reason, options);
  std::uint64_t task = 0;
  if (options & kTLYActivityTerminationDisabledMask) {
    task = beginBackgroundTaskWithName(reason, std::move(expirationHandler));
  }
  return std::make_shared<TLYActivity>(std::move(token), options, reason, task);
}

TLYActivity::Ptr TLYActivity::beginActivity(const std::string& reason, std::uint64_t options) {
  return beginActivity(reason, options, [] {});
}

void TLYActivity::performActivity(const std::string& reason, std::uint64_t options,
                                  const std::function<void()>& block) {
  auto activity = beginActivity(reason, options);
  if (block) block();
  activity->end();
}

std::shared_ptr<TLYApplication> TLYActivity::sharedAppInstance(const platform::BundlePtr& bundle) {
  return TLYApplication::hostApplication(bundle);
}

std::shared_ptr<void> TLYActivity::beginActivityIfAvailable(const std::string& reason,
                                                            std::uint64_t options) {
  using platform::ProcessActivities;
  if (options & kTLYActivitySuddenTerminationDisabled) {
    ProcessActivities::disableSuddenTermination();
  }
  if (options & kTLYActivityAutomaticTerminationDisabled) {
    ProcessActivities::disableAutomaticTermination(reason);
  }
  if (ProcessActivities::supportsActivities()) {
    return ProcessActivities::beginActivity(options, reason);
  }
  return nullPlaceholder();
}

std::uint64_t TLYActivity::beginBackgroundTaskWithName(const std::string&, ExpirationHandler) {
  return 0;  // supportsBackgroundTasks() is false
}

TLYActivity::TLYActivity(std::shared_ptr<void> processInfoToken, std::uint64_t options,
                         std::string reason, std::uint64_t backgroundTaskIdentifier)
    : processInfoToken_(std::move(processInfoToken)),
      options_(options),
      reason_(std::move(reason)),
      backgroundTaskIdentifier_(backgroundTaskIdentifier) {}

TLYActivity::~TLYActivity() { end(); }

void TLYActivity::end() {
  // No background task to end here (backgroundTaskIdentifier_ is always 0).
  endAndInvalidateInternalActivity();
}

void TLYActivity::endAndInvalidateInternalActivity() {
  using platform::ProcessActivities;
  std::shared_ptr<void> token;
  bool held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The placeholder is an aliasing pointer with no owner: test the address.
    held = processInfoToken_.get() != nullptr;
    token = std::move(processInfoToken_);
    processInfoToken_.reset();
  }
  if (!held) return;
  if (options_ & kTLYActivitySuddenTerminationDisabled) {
    ProcessActivities::enableSuddenTermination();
  }
  if (options_ & kTLYActivityAutomaticTerminationDisabled) {
    ProcessActivities::enableAutomaticTermination(reason_);
  }
  if (ProcessActivities::supportsActivities()) {
    ProcessActivities::endActivity(std::static_pointer_cast<ProcessActivities::Activity>(token));
  }
}

bool TLYActivity::isActive() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return processInfoToken_.get() != nullptr;
}

}  // namespace sdk
