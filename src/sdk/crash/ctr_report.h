// sdk::CTRReport: one crash report as the crash-reporting kit hands it to
// its delegate (a read-only snapshot of an earlier launch's report) and as
// it keeps the current launch's report (which records custom key/value
// pairs and the user's identity into the report's key/value record files).
//
// Guarantees:
//  1. The metadata getters answer from a cache, asking the internal report
//     on first use (again while the answer is None). A report made with
//     prefetch has fetched everything at construction and is read-only.
//  2. Values are recorded only while canRecordNewValues(): never for a
//     read-only report, never before crash capture's context is initialised.
//  3. The user getters (userIdentifier, userName, userEmail) always answer
//     None: the identity is written, never read back here.
//  4. The key/value files are written and read by user logging
//     (capture/ctr_user_logging.h): recording waits for the write on the
//     logging queue; readCustomKeys() answers an empty dictionary while
//     crash capture's context is not initialised.
//
// Thread safety: every method may be called from any thread; the cache and
// the counters are guarded by the report's own lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/value.h"
#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/ctr_internal_report.h"

namespace sdk {

// Internal keys of the user's identity.
inline constexpr const char* kCTRUserIdentifierKey = "com.crashtrail.user-id";
inline constexpr const char* kCTRUserNameKey = "com.crashtrail.user-name";
inline constexpr const char* kCTRUserEmailKey = "com.crashtrail.user-email";

class CTRReport {
 public:
  // Keeps `internalReport` (must not be null) and takes its four key/value
  // file paths. With `prefetchData` every metadata value and the custom keys
  // are fetched now and the report is read-only.
  CTRReport(std::shared_ptr<CTRInternalReport> internalReport, bool prefetchData);
  explicit CTRReport(std::shared_ptr<CTRInternalReport> internalReport)
      : CTRReport(std::move(internalReport), false) {}

  const std::shared_ptr<CTRInternalReport>& internalReport() const { return internalReport_; }

  platform::Value identifier() const;  // a string
  platform::Value customKeys() const;  // a dictionary, or None
  platform::Value bundleVersion() const;
  platform::Value bundleShortVersionString() const;
  platform::Value dateCreated() const;
  platform::Value crashedOnDate() const;
  platform::Value OSVersion() const;
  platform::Value OSBuildVersion() const;
  platform::Value isCrash() const;  // a boolean number
  platform::Value userIdentifier() const { return platform::Value(); }
  platform::Value userName() const { return platform::Value(); }
  platform::Value userEmail() const { return platform::Value(); }

  // The user key/value pairs recorded so far (the compacted entries of the
  // user storage, decoded).
  platform::Value readCustomKeys() const;

  bool isReadOnly() const { return readOnly_; }
  // Not read-only and crash capture's context is initialised.
  bool canRecordNewValues() const;

  void recordValueForInternalKey(const platform::Value& value, const std::string& key);
  void recordValueForUserKey(const platform::Value& value, const std::string& key);
  // Records a user key.
  void setObjectValue(const platform::Value& value, const std::string& key) {
    recordValueForUserKey(value, key);
  }
  void setUserIdentifier(const platform::Value& value) {
    recordValueForInternalKey(value, kCTRUserIdentifierKey);
  }
  void setUserName(const platform::Value& value) {
    recordValueForInternalKey(value, kCTRUserNameKey);
  }
  void setUserEmail(const platform::Value& value) {
    recordValueForInternalKey(value, kCTRUserEmailKey);
  }

  // The storage descriptors handed to user logging: this report's files and
  // the limits of the crash context (0 when there is no context).
  CTRUserLoggingKVStorage internalKVStorage() const;
  CTRUserLoggingKVStorage userKVStorage() const;
  // How many values were handed to user logging (internal, user).
  std::uint32_t internalKVCount() const;
  std::uint32_t userKVCount() const;

 private:
  void recordValue(const platform::Value& value, const std::string& key, bool internal);
  platform::Value cached(platform::Value& slot,
                         platform::Value (CTRInternalReport::*fetch)() const) const;

  const std::shared_ptr<CTRInternalReport> internalReport_;
  const std::string internalCompactedKVFile_;
  const std::string internalIncrementalKVFile_;
  const std::string userCompactedKVFile_;
  const std::string userIncrementalKVFile_;
  const bool readOnly_;

  mutable std::mutex mutex_;
  std::uint32_t internalKVCount_ = 0;
  std::uint32_t userKVCount_ = 0;
  mutable platform::Value identifier_;
  mutable platform::Value customKeys_;
  mutable platform::Value bundleVersion_;
  mutable platform::Value bundleShortVersionString_;
  mutable platform::Value dateCreated_;
  mutable platform::Value crashedOnDate_;
  mutable platform::Value OSVersion_;
  mutable platform::Value OSBuildVersion_;
  mutable platform::Value isCrash_;
};

}  // namespace sdk
