// CTRReportsController: the submission pipeline that takes one report of an
// earlier launch to the crash-report service.
//
//   active/<id> --move--> processing/<id> --process (symbolicate)-->
//   --package--> prepared/<boundary>.multipartmime, processing/<id> removed
//   --upload (CTRNetworkClient)--> package deleted once accepted
//
// It also uploads packages that are already prepared, builds the request
// with its header fields, and deletes a package once its upload succeeded.
//
// Guarantees:
//  1. Every operation runs synchronously on its caller's thread (the work
//     queue for ordinary submissions, the starting thread for urgent ones);
//     no lock is taken and no state is kept besides the four references.
//  2. A report directory is never lost before its package exists: it stays
//     in active when it cannot be moved, in processing when packaging is
//     disabled or fails.
//  3. A package is deleted only after an upload that reported no error;
//     a failed upload keeps it (the delegate schedules the retry).
//  4. The request carries, in this order: User-Agent, Accept,
//     Accept-Charset, Accept-Language, Content-Language, the developer
//     token, the client id, display and build versions, the API key,
//     Content-Type (multipart, boundary = the package's file name without
//     extension) and Content-Length (the package's size).
// Console lines tagged "[Crashtrail:Crash:Reports]"; those marked debug
// appear only while the kit registry's debug switch is set.
//
// Thread safety: the controller itself holds no mutable state; the owner
// serialises its use (one work queue, plus the start-up thread for urgent
// submissions before the work queue has anything to do).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/system/operation_queue.h"
#include "platform/urlloading/url_request.h"
#include "sdk/crash/ctr_settings.h"

namespace sdk {

class CTRFileManager;
class CTRInternalReport;
class CTRNetworkClient;
class CTRReportsController;

// Process activity options while a report is prepared: sudden and automatic
// termination disabled.
inline constexpr std::uint64_t kCTRReportProcessingActivityOptions = 0xC000;
inline constexpr const char* kCTRReportProcessingActivityReason =
    "Crashtrail Crash Report Processing";
// Upload time-outs (seconds).
inline constexpr double kCTRReportSubmissionTimeout = 10.0;
inline constexpr double kCTRReportSynchronousForegroundTimeout = 2.0;

// CTRReportsControllerDelegate (the crash reporting controller adopts it).
class CTRReportsControllerDelegate {
 public:
  virtual ~CTRReportsControllerDelegate() = default;
  virtual CTRSettings::Ptr settingsForReportsController(CTRReportsController& controller) = 0;
  virtual std::string APIKeyForReportsController(CTRReportsController& controller) = 0;
  // The host's bundle identifier with every "/" replaced by "_".
  virtual std::string bundleIdentifierForReportsController(CTRReportsController& controller) = 0;
  // After every finished upload, with the package path and the error (an
  // empty Error on success).
  virtual void reportsControllerDidCompletePackageSubmission(CTRReportsController& controller,
                                                             const std::string& packagePath,
                                                             const platform::Error& error) = 0;
  // Nothing in this system sends it.
  virtual void reportsControllerDidCompleteAllSubmissions(CTRReportsController& controller) = 0;
};

class CTRReportsController {
 public:
  using Ptr = std::shared_ptr<CTRReportsController>;

  // initWithQueue:delegate:client:fileManager:
  CTRReportsController(platform::OperationQueue::Ptr operationQueue,
                       std::weak_ptr<CTRReportsControllerDelegate> delegate,
                       std::shared_ptr<CTRNetworkClient> networkClient,
                       std::shared_ptr<CTRFileManager> fileManager);
  CTRReportsController(const CTRReportsController&) = delete;
  CTRReportsController& operator=(const CTRReportsController&) = delete;

  // The whole pipeline, synchronously, inside a process activity. With
  // `withProcessing` the report is moved to processing and symbolicated
  // first (and `report` is pointed at its new place). True when the package
  // was handed to the upload client.
  bool prepareAndSubmitReport(std::shared_ptr<CTRInternalReport>& report, bool asUrgent,
                              bool withProcessing);
  // Uploads a prepared package (unless submission is disabled).
  bool uploadPackagedReportAtPath(const std::string& packagePath, bool asUrgent);
  // Builds the request and hands it to the upload client; false when the
  // package is missing or empty or its size cannot be read.
  bool submitPackageMultipartMimeAtPath(const std::string& packagePath, bool synchronously);
  // The upload client's result: deletes the package on success, and when
  // the service refused it for good (isRefusedForGood: sending it again
  // would be refused again), then tells the delegate in every case.
  void reportUploadAtPath(const std::string& packagePath, const platform::Error& error);
  // An upload's error that says the service will never take the package:
  // the answers 400, 413, 415 and 422 (as for analytics packages).
  static bool isRefusedForGood(const platform::Error& error);
  bool cleanUpSubmittedReportAtPath(const std::string& packagePath);

  // <reportsEndpoint>/sdk-api/v1/platforms/mac/apps/<bundle id>/reports;
  // nullopt when no URL can be made of it.
  std::optional<platform::URL> reportURL();
  std::string reportEndpoint();
  CTRSettings::Ptr settings();
  std::string APIKey();
  std::string appBundleIdentifier();
  std::string localeIdentifier();
  bool submissionEnabled();
  bool packagingEnabled();

  // The request of guarantee 4 without the content fields (method POST).
  platform::urlloading::URLRequest mutableRequestWithURL(const platform::URL& url, double timeout);
  // Adds Content-Type and Content-Length for the package; false (after
  // logging) when its size cannot be read.
  bool fillInRequestForMultipartMimeDataAtPath(platform::urlloading::URLRequest& request,
                                               const std::string& packagePath);

  const platform::OperationQueue::Ptr& operationQueue() const { return operationQueue_; }
  std::shared_ptr<CTRReportsControllerDelegate> delegate() const { return delegate_.lock(); }
  const std::shared_ptr<CTRNetworkClient>& networkClient() const { return networkClient_; }
  const std::shared_ptr<CTRFileManager>& fileManager() const { return fileManager_; }

 private:
  const platform::OperationQueue::Ptr operationQueue_;
  const std::weak_ptr<CTRReportsControllerDelegate> delegate_;
  const std::shared_ptr<CTRNetworkClient> networkClient_;
  const std::shared_ptr<CTRFileManager> fileManager_;
};

}  // namespace sdk
