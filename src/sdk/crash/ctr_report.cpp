#include "sdk/crash/ctr_report.h"

#include <utility>

#include "sdk/crash/capture/ctr_user_logging.h"

namespace sdk {

namespace {

platform::Value identifierOf(const CTRInternalReport& report) {
  return platform::Value(report.identifier());
}

}  // namespace

CTRReport::CTRReport(std::shared_ptr<CTRInternalReport> internalReport, bool prefetchData)
    : internalReport_(std::move(internalReport)),
      internalCompactedKVFile_(internalReport_->pathForContentFile(kCTRInternalCompactedKVFile)),
      internalIncrementalKVFile_(
          internalReport_->pathForContentFile(kCTRInternalIncrementalKVFile)),
      userCompactedKVFile_(internalReport_->pathForContentFile(kCTRUserCompactedKVFile)),
      userIncrementalKVFile_(internalReport_->pathForContentFile(kCTRUserIncrementalKVFile)),
      readOnly_(prefetchData) {
  if (!prefetchData) return;
  identifier_ = identifierOf(*internalReport_);
  bundleVersion_ = internalReport_->bundleVersion();
  bundleShortVersionString_ = internalReport_->bundleShortVersionString();
  dateCreated_ = internalReport_->dateCreated();
  crashedOnDate_ = internalReport_->crashedOnDate();
  OSVersion_ = internalReport_->OSVersion();
  OSBuildVersion_ = internalReport_->OSBuildVersion();
  isCrash_ = platform::Value(internalReport_->isCrash());
  customKeys_ = readCustomKeys();
}

platform::Value CTRReport::cached(platform::Value& slot,
                                  platform::Value (CTRInternalReport::*fetch)() const) const {
  std::lock_guard lock(mutex_);
  if (slot.isNone()) slot = ((*internalReport_).*fetch)();
  return slot;
}

platform::Value CTRReport::identifier() const {
  std::lock_guard lock(mutex_);
  if (identifier_.isNone()) identifier_ = identifierOf(*internalReport_);
  return identifier_;
}

platform::Value CTRReport::customKeys() const {
  {
    std::lock_guard lock(mutex_);
    if (!customKeys_.isNone()) return customKeys_;
  }
  platform::Value keys = readCustomKeys();
  std::lock_guard lock(mutex_);
  if (customKeys_.isNone()) customKeys_ = keys;
  return customKeys_;
}

platform::Value CTRReport::bundleVersion() const {
  return cached(bundleVersion_, &CTRInternalReport::bundleVersion);
}
platform::Value CTRReport::bundleShortVersionString() const {
  return cached(bundleShortVersionString_, &CTRInternalReport::bundleShortVersionString);
}
platform::Value CTRReport::dateCreated() const {
  return cached(dateCreated_, &CTRInternalReport::dateCreated);
}
platform::Value CTRReport::crashedOnDate() const {
  return cached(crashedOnDate_, &CTRInternalReport::crashedOnDate);
}
platform::Value CTRReport::OSVersion() const {
  return cached(OSVersion_, &CTRInternalReport::OSVersion);
}
platform::Value CTRReport::OSBuildVersion() const {
  return cached(OSBuildVersion_, &CTRInternalReport::OSBuildVersion);
}

platform::Value CTRReport::isCrash() const {
  std::lock_guard lock(mutex_);
  if (isCrash_.isNone()) isCrash_ = platform::Value(internalReport_->isCrash());
  return isCrash_;
}

platform::Value CTRReport::readCustomKeys() const {
  const CTRUserLoggingKVStorage storage = userKVStorage();
  return CTRUserLoggingGetCompactedKVEntries(&storage, true);
}

bool CTRReport::canRecordNewValues() const {
  return !readOnly_ && ctrContext != nullptr && ctrContext->initialized;
}

CTRUserLoggingKVStorage CTRReport::internalKVStorage() const {
  CTRUserLoggingKVStorage storage{};
  if (ctrContext) storage = ctrContext->userLogging.internalKVStorage;
  storage.incrementalPath = internalIncrementalKVFile_.c_str();
  storage.compactedPath = internalCompactedKVFile_.c_str();
  return storage;
}

CTRUserLoggingKVStorage CTRReport::userKVStorage() const {
  CTRUserLoggingKVStorage storage{};
  if (ctrContext) storage = ctrContext->userLogging.userKVStorage;
  storage.incrementalPath = userIncrementalKVFile_.c_str();
  storage.compactedPath = userCompactedKVFile_.c_str();
  return storage;
}

std::uint32_t CTRReport::internalKVCount() const {
  std::lock_guard lock(mutex_);
  return internalKVCount_;
}
std::uint32_t CTRReport::userKVCount() const {
  std::lock_guard lock(mutex_);
  return userKVCount_;
}

void CTRReport::recordValueForInternalKey(const platform::Value& value, const std::string& key) {
  recordValue(value, key, true);
}
void CTRReport::recordValueForUserKey(const platform::Value& value, const std::string& key) {
  recordValue(value, key, false);
}

void CTRReport::recordValue(const platform::Value& value, const std::string& key, bool internal) {
  if (!canRecordNewValues()) return;
  std::lock_guard lock(mutex_);
  CTRUserLoggingKVStorage storage = internal ? internalKVStorage() : userKVStorage();
  std::uint32_t& counter = internal ? internalKVCount_ : userKVCount_;
  CTRUserLoggingRecordKeyValue(platform::Value(key), value, &storage, &counter);
}

}  // namespace sdk
