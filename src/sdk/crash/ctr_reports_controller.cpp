#include "sdk/crash/ctr_reports_controller.h"

#include <utility>

#include "platform/system/current_locale.h"
#include "sdk/crash/capture/ctr_application.h"
#include "sdk/crash/ctr_file_manager.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/crash/ctr_network_client.h"
#include "sdk/crash/ctr_package_report_operation.h"
#include "sdk/crash/ctr_process_report_operation.h"
#include "sdk/crash/ctr_request_headers.h"
#include "sdk/crash/ctr_symbol_resolver.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_multipart_mime_stream_encoder.h"
#include "sdk/platform/bcn_network_operation.h"
#include "sdk/platform/bcn_network_response_handler.h"
#include "sdk/platform/bcn_url_builder.h"
#include "sdk/platform/beacon.h"

namespace sdk {

namespace {

// The last path component without its extension.
std::string baseNameWithoutExtension(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

}  // namespace

CTRReportsController::CTRReportsController(platform::OperationQueue::Ptr operationQueue,
                                           std::weak_ptr<CTRReportsControllerDelegate> delegate,
                                           std::shared_ptr<CTRNetworkClient> networkClient,
                                           std::shared_ptr<CTRFileManager> fileManager)
    : operationQueue_(std::move(operationQueue)),
      delegate_(std::move(delegate)),
      networkClient_(std::move(networkClient)),
      fileManager_(std::move(fileManager)) {}

// --- the pipeline ----------------------------------------------------------------------

bool CTRReportsController::prepareAndSubmitReport(std::shared_ptr<CTRInternalReport>& report,
                                                  bool asUrgent, bool withProcessing) {
  if (!report) return false;
  bool submitted = false;
  CTRApplicationPerformActivity(
      kCTRReportProcessingActivityOptions, kCTRReportProcessingActivityReason, [&] {
        if (withProcessing) {
          if (!fileManager_->moveItemAtPath(report->path(), fileManager_->processingPath())) {
            BCNConsoleLog("[Crashtrail:Crash:Reports] Unable to move report for processing");
            return;
          }
          const std::string movedPath =
              fileManager_->processingPath() + "/" + report->directoryName();
          if (auto moved = CTRInternalReport::reportWithPath(movedPath, report->identifier()))
            report = std::move(moved);
          const auto processing =
              CTRProcessReportOperation::create(report, CTRSymbolResolver::create());
          processing->start();
        }

        if (!packagingEnabled()) {
          BCNConsoleLog("[Crashtrail:Crash:Reports] Report packaging disabled");
          return;
        }

        const auto packaging = std::make_shared<CTRPackageReportOperation>(report, fileManager_);
        packaging->start();
        const std::optional<std::string> packagePath = packaging->finalPath();
        if (!packagePath) {
          BCNConsoleLog("[Crashtrail:Crash:Reports] Unable to package report");
          return;
        }

        if (!fileManager_->removeItemAtPath(report->path()))
          BCNConsoleLog("[Crashtrail:Crash:Reports] Unable to remove a processing item");

        BCNConsoleLog("[Crashtrail:Crash:Reports] Packaged report with id '%@' for submission",
                      report->identifier());
        submitted = uploadPackagedReportAtPath(*packagePath, asUrgent);
      });
  return submitted;
}

bool CTRReportsController::uploadPackagedReportAtPath(const std::string& packagePath,
                                                      bool asUrgent) {
  if (!submissionEnabled()) {
    BCNConsoleLog("[Crashtrail:Crash:Reports] Submission disabled");
    return false;
  }
  BCNConsoleDebugLog("[Crashtrail:Crash:Reports] Submitting report%@",
                     std::string(asUrgent ? " as urgent" : ""));
  return submitPackageMultipartMimeAtPath(packagePath, asUrgent);
}

bool CTRReportsController::submitPackageMultipartMimeAtPath(const std::string& packagePath,
                                                            bool synchronously) {
  BCNConsoleDebugLog("[Crashtrail:Crash:Reports] Submitting %@ %@",
                     std::string(synchronously ? "sync" : "async"), packagePath);
  const std::optional<std::uint64_t> size = fileManager_->fileSizeAtPath(packagePath);
  if (!size || *size == 0) {
    BCNConsoleDebugLog("[Crashtrail:Crash:Reports] Already-submitted report being ignored");
    return false;
  }
  if (!networkClient_) return false;

  double timeout = kCTRReportSubmissionTimeout;
  if (synchronously && !networkClient_->supportsBackgroundRequests())
    timeout = kCTRReportSynchronousForegroundTimeout;

  const std::optional<platform::URL> url = reportURL();
  if (!url) {
    // An endpoint that makes no URL can reach no server: keep the package.
    BCNConsoleLog("[Crashtrail:Crash:Reports] Invalid reports endpoint '%@'", reportEndpoint());
    return false;
  }
  platform::urlloading::URLRequest request = mutableRequestWithURL(*url, timeout);
  request.setHTTPMethod("POST");
  if (!fillInRequestForMultipartMimeDataAtPath(request, packagePath)) return false;

  networkClient_->startUploadRequest(request, packagePath, synchronously);
  return true;
}

void CTRReportsController::reportUploadAtPath(const std::string& packagePath,
                                              const platform::Error& error) {
  BCNConsoleDebugLog("[Crashtrail:Crash:Reports] completed submission of %@", packagePath);
  if (!error && !cleanUpSubmittedReportAtPath(packagePath))
    BCNConsoleLog("[Crashtrail:Crash:Reports] Unable to remove packaged submission");
  if (isRefusedForGood(error)) {
    BCNConsoleLog("[Crashtrail:Crash:Reports] The service refused %@ for good (status %@): removed",
                  packagePath, error.userInfo()[kBCNNetworkErrorStatusCodeKey]);
    if (!cleanUpSubmittedReportAtPath(packagePath))
      BCNConsoleLog("[Crashtrail:Crash:Reports] Unable to remove packaged submission");
  }
  if (const auto delegate = delegate_.lock())
    delegate->reportsControllerDidCompletePackageSubmission(*this, packagePath, error);
}

bool CTRReportsController::isRefusedForGood(const platform::Error& error) {
  if (!error || error.domain() != kBCNNetworkErrorDomain) return false;
  if (error.code() != kBCNNetworkErrorClientError && error.code() != kBCNNetworkErrorOtherResponse)
    return false;
  // The answers about the package itself, as for analytics packages; the
  // others (401, 403, 404, 410, ...) are about where or as whom it was
  // sent, which a later launch may have right.
  const std::int64_t status = error.userInfo()[kBCNNetworkErrorStatusCodeKey].asInt64();
  return status == 400 || status == 413 || status == 415 || status == 422;
}

bool CTRReportsController::cleanUpSubmittedReportAtPath(const std::string& packagePath) {
  return fileManager_->removeItemAtPath(packagePath);
}

// --- facts --------------------------------------------------------------------------------

std::optional<platform::URL> CTRReportsController::reportURL() {
  BCNURLBuilder builder = BCNURLBuilder::URLWithBase(reportEndpoint());
  builder.appendComponent("/sdk-api/v1/platforms/");
  builder.appendComponent(kBCNPlatformName);
  builder.appendComponent("/apps/");
  builder.appendComponent(appBundleIdentifier());
  builder.appendComponent("/reports");
  std::optional<platform::URL> url = builder.URL();
  if (url && !url->isAbsolute()) return std::nullopt;
  return url;
}

std::string CTRReportsController::reportEndpoint() {
  const CTRSettings::Ptr current = settings();
  return current ? current->reportsEndpoint() : std::string();
}

CTRSettings::Ptr CTRReportsController::settings() {
  const auto delegate = delegate_.lock();
  return delegate ? delegate->settingsForReportsController(*this) : nullptr;
}

std::string CTRReportsController::APIKey() {
  const auto delegate = delegate_.lock();
  return delegate ? delegate->APIKeyForReportsController(*this) : std::string();
}

std::string CTRReportsController::appBundleIdentifier() {
  const auto delegate = delegate_.lock();
  return delegate ? delegate->bundleIdentifierForReportsController(*this) : std::string();
}

std::string CTRReportsController::localeIdentifier() {
  return platform::CurrentLocale::identifier();
}

bool CTRReportsController::submissionEnabled() {
  const CTRSettings::Ptr current = settings();
  return current && current->shouldSubmitReports();
}

bool CTRReportsController::packagingEnabled() {
  const CTRSettings::Ptr current = settings();
  return current && current->shouldPackageReports();
}

// --- the request ----------------------------------------------------------------------------

platform::urlloading::URLRequest CTRReportsController::mutableRequestWithURL(
    const platform::URL& url, double timeout) {
  // The URL loading layer keeps no cache, so the request never reads one.
  platform::urlloading::URLRequest request(url, timeout);
  request.setMaximumResponseLength(std::int64_t{64} << 10);  // an upload's answer is a status
  request.setHTTPMethod("POST");
  const std::string locale = localeIdentifier();
  CTRSetCommonRequestHeaders(request, locale, APIKey());
  return request;
}

bool CTRReportsController::fillInRequestForMultipartMimeDataAtPath(
    platform::urlloading::URLRequest& request, const std::string& packagePath) {
  request.setValueForHTTPHeaderField(
      "Content-Type", BCNMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(
                          baseNameWithoutExtension(packagePath)));
  const std::optional<std::uint64_t> size = fileManager_->fileSizeAtPath(packagePath);
  if (!size) {
    BCNConsoleLog("[Crashtrail:Crash:Reports] Could not determine size of multipart mime file");
    return false;
  }
  request.setValueForHTTPHeaderField("Content-Length", std::to_string(*size));
  return true;
}

}  // namespace sdk
