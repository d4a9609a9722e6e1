// CTRCrashReportingController: runs crash reporting for one process.
//
// At start it prepares the report directories, keeps the launch marker that
// tells whether the previous launch died before its main queue ran once,
// sets up this launch's report directory, starts crash capture with this
// launch's values, and decides report by report what happens with the
// reports that earlier launches left behind: ask the delegate, prompt the
// user, submit at once (urgent) or delete. It owns the serial work queue
// ("com.beacon.crashtrail.mac.work-queue", one operation at a time) on which
// all later report work runs, the upload client and the submission pipeline,
// and is the delegate of both.
//
// Guarantees:
//  1. startWithProfilingMark runs once (a second call does nothing and
//     answers false), on the caller's thread; it sets the
//     capture hooks (signals, exceptions, binary images, user logging)
//     before crash capture starts, and returns true only when this launch's
//     report directory exists and capture started.
//  2. The legacy clean-up (which may remove the whole data folder) finishes
//     before this launch's directories are created, so it can never take
//     them away.
//  3. Report work other than urgent start-up submissions runs on the work
//     queue, in the order it was added.
//  4. A failed upload keeps its package and is retried (600 s later, as a
//     work-queue operation) until an upload succeeds or the process ends.
//  5. The send prompt runs on the main queue through platform::ModalAlert;
//     with no alert presenter registered nothing can be asked, and the
//     report is kept (not sent, not deleted) for a later launch.
//
// Thread safety: start from one thread (the main thread). promptChoice is
// written on the work queue and read on the work and main queues (atomic).
// Must be owned by a std::shared_ptr (use create()).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/time_source.h"
#include "platform/foundation/error.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "platform/system/operation_queue.h"
#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/ctr_file_manager.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/crash/ctr_network_client.h"
#include "sdk/crash/ctr_reports_controller.h"
#include "sdk/crash/ctr_settings.h"

namespace sdk {

class CTRCrashReportingController;

inline constexpr const char* kCTRWorkQueueName = "com.beacon.crashtrail.mac.work-queue";
inline constexpr const char* kCTRLaunchMarkerFileName = "launchmarker";
inline constexpr const char* kCTRKitStartTimeKey = "com.crashtrail.kit-start-time";
inline constexpr const char* kCTRFirstRunLoopTimeKey = "com.crashtrail.first-run-loop-time";
inline constexpr const char* kCTRInBackgroundKey = "com.crashtrail.in-background";
inline constexpr const char* kCTRApplicationWillBecomeActiveNotification =
    "NSApplicationWillBecomeActiveNotification";
inline constexpr const char* kCTRApplicationDidResignActiveNotification =
    "NSApplicationDidResignActiveNotification";
// Seconds between a failed upload and its next attempt.
inline constexpr double kCTRSubmissionRetryDelay = 600.0;
// The packages kept waiting for upload in the prepared directory: at most
// this many, of at most this many bytes in all. Past either, the oldest go
// first (and the SDK's log says so).
inline constexpr std::size_t kCTRMaxPreparedReports = 20;
inline constexpr std::uint64_t kCTRMaxPreparedReportBytes = std::uint64_t{4} << 20;
// Seconds between set-up and the handler checks / prompt-setting warning.
inline constexpr double kCTRSetupChecksDelay = 2.0;

// The user's answer to the send prompt in this process (never stored).
enum CTRPromptChoice : unsigned {
  kCTRPromptChoiceNotAsked = 0,
  kCTRPromptChoiceDeclined = 1,
  kCTRPromptChoiceSend = 2,
  kCTRPromptChoiceAlwaysSend = 3,
};

// CTRCrashReportingControllerDelegate: the kit facade implements it.
class CTRCrashReportingControllerDelegate {
 public:
  using SubmitCompletion = std::function<void(bool submit)>;
  virtual ~CTRCrashReportingControllerDelegate() = default;

  virtual std::string APIKeyForCrashReportingController(CTRCrashReportingController& c) = 0;
  virtual std::string installIDForCrashReportingController(CTRCrashReportingController& c) = 0;
  virtual bool isFirstInstallForCrashReportingController(CTRCrashReportingController& c) = 0;
  // Asked once; the controller keeps the answer.
  virtual CTRSettings::Ptr settingsForCrashReportingController(CTRCrashReportingController& c) = 0;
  virtual bool shouldInstallCrashCallback() = 0;
  // At crash time, on the thread that handles the crash.
  virtual void detectedCrash() = 0;
  virtual bool reportingControllerEnsureDeliveryOfUnixSignal(CTRCrashReportingController& c,
                                                             int signal) = 0;
  virtual bool reportingControllerMustInformDelegateOfReports(CTRCrashReportingController& c) = 0;
  virtual bool reportingControllerCanUseBackgroundSessions(CTRCrashReportingController& c) = 0;
  // Every report of an earlier launch that needs submission.
  virtual void reportingControllerInternalDidDetectReportForLastExecution(
      CTRCrashReportingController& c, const std::shared_ptr<CTRInternalReport>& report) = 0;
  // The non-urgent decision; the delegate calls `completion` (any thread,
  // any time later) with true to submit or false to delete.
  virtual void reportingControllerDidDetectReportForLastExecution(
      CTRCrashReportingController& c, const std::shared_ptr<CTRInternalReport>& report,
      SubmitCompletion completion) = 0;
};

class CTRCrashReportingController
    : public CTRReportsControllerDelegate,
      public CTRNetworkClientDelegate,
      public CTRCrashCallbackTarget,
      public CTRUrgentSubmissionTarget,
      public std::enable_shared_from_this<CTRCrashReportingController> {
  struct Passkey {};

 public:
  using Ptr = std::shared_ptr<CTRCrashReportingController>;

  // What a controller is given at creation; the defaults are production's.
  struct Options {
    // Seconds before a failed report submission is tried again.
    double submissionRetryDelay = kCTRSubmissionRetryDelay;
    // The budget of the prepared directory (see kCTRMaxPreparedReports).
    std::size_t maxPreparedReports = kCTRMaxPreparedReports;
    std::uint64_t maxPreparedReportBytes = kCTRMaxPreparedReportBytes;
    // The time of that delay and of the set-up checks' delay (nullptr: the
    // steady clock).
    platform::dispatch::TimeSourcePtr clock;
    // The capture mechanisms handed to crash capture at start (nullopt: the
    // real ones, which install process-wide signal and terminate handlers),
    // and, with given hooks, what runs in place of the 2 s handler checks.
    // Crash capture keeps the hooks it is handed in its global state, so
    // that its signal handlers can reach them (async-signal safety).
    std::optional<CTRCaptureHooks> captureHooks;
    std::function<void()> handlerChecks;
    // The program whose crashes are reported (nullptr: the running
    // program's). Its facts are read at start, never at crash time.
    platform::BundlePtr bundle;
  };

  // initWithFileManager:delegate: makes the work queue and the upload client.
  static Ptr create(std::shared_ptr<CTRFileManager> fileManager,
                    std::weak_ptr<CTRCrashReportingControllerDelegate> delegate);
  static Ptr create(std::shared_ptr<CTRFileManager> fileManager,
                    std::weak_ptr<CTRCrashReportingControllerDelegate> delegate, Options options);
  CTRCrashReportingController(Passkey, std::shared_ptr<CTRFileManager> fileManager,
                              std::weak_ptr<CTRCrashReportingControllerDelegate> delegate);
  ~CTRCrashReportingController() override;
  CTRCrashReportingController(const CTRCrashReportingController&) = delete;
  CTRCrashReportingController& operator=(const CTRCrashReportingController&) = delete;

  // The start-up sequence; `profilingMark` is a CTRProfilingStart() value.
  bool startWithProfilingMark(std::uint64_t profilingMark,
                              const std::optional<std::string>& betaToken);

  // --- crash time ----------------------------------------------------------------
  void deliverCrashDelegateCallback() override;
  // Urgent submission of the current report at crash time (nothing in this
  // system calls it: the capture record's urgent target is left empty).
  // The override runs submitCurrentReportIfUrgentAllowed and drops its answer.
  void potentiallySubmittableCrashOccurred() override;
  // False unless urgent processing is allowed; else the answer of
  // attemptCurrentReportSubmission.
  bool submitCurrentReportIfUrgentAllowed();
  // Copies the only directory of active to "<it>-submit" and submits the
  // copy urgently; false when active holds no or several entries.
  bool attemptCurrentReportSubmission();

  // --- CTRNetworkClientDelegate ---------------------------------------------------
  bool networkClientCanUseBackgroundSessions(CTRNetworkClient& client) override;
  void networkClientDidFinishUploadWithPath(CTRNetworkClient& client, const std::string& path,
                                            const platform::Error& error) override;

  // --- CTRReportsControllerDelegate ------------------------------------------------
  CTRSettings::Ptr settingsForReportsController(CTRReportsController& controller) override;
  std::string APIKeyForReportsController(CTRReportsController& controller) override;
  std::string bundleIdentifierForReportsController(CTRReportsController& controller) override;
  void reportsControllerDidCompletePackageSubmission(CTRReportsController& controller,
                                                     const std::string& packagePath,
                                                     const platform::Error& error) override;
  void reportsControllerDidCompleteAllSubmissions(CTRReportsController& controller) override;

  // --- parts of start-up (public for tests) -------------------------------------
  // The delegate's signals, as the mask crash capture leaves to signal handlers.
  std::uint32_t machExceptionMaskForSignals();
  void processExistingReportPaths(const std::vector<std::string>& paths, bool asUrgent);
  void handleContentsInOtherReportingDirectories();
  bool canProcessUrgentReports();
  bool shouldPromptUser();
  void displayPermissionAlertForReport(std::shared_ptr<CTRInternalReport> report);
  void handlePromptCompleteForReport(std::shared_ptr<CTRInternalReport> report, bool shouldSubmit,
                                     bool shouldMarkAlwaysSubmit);
  std::string launchMarkerPath() const;

  // --- properties -----------------------------------------------------------------
  CTRSettings::Ptr settings();
  // Created on first use.
  CTRReportsController::Ptr reportsController();
  const std::shared_ptr<CTRFileManager>& fileManager() const { return fileManager_; }
  std::shared_ptr<CTRCrashReportingControllerDelegate> delegate() const { return delegate_.lock(); }
  const platform::OperationQueue::Ptr& operationQueue() const { return operationQueue_; }
  const std::shared_ptr<CTRNetworkClient>& networkClient() const { return networkClient_; }
  unsigned promptChoice() const { return promptChoice_.load(); }
  // This launch's report (nullptr when it could not be set up).
  std::shared_ptr<CTRInternalReport> currentReport() const;
  bool lastLaunchFailed() const { return lastLaunchFailed_; }

 private:
  bool startCrashReporter(const std::string& apiKey, const std::optional<std::string>& betaToken,
                          std::uint64_t profilingMark,
                          const std::shared_ptr<CTRInternalReport>& report);
  void setupStateNotifications();
  void crashReportingSetupCompleted(std::uint64_t profilingMark);
  void checkForUserPromptSetting();
  bool createLaunchMarker();
  void removeLaunchMarker();
  void addOperation(std::function<void(CTRCrashReportingController&)> work);
  // Not urgent, with processing, on the calling thread.
  void submitReportNow(std::shared_ptr<CTRInternalReport> report);
  void submitReportOnWorkQueue(std::shared_ptr<CTRInternalReport> report);

  const std::shared_ptr<CTRFileManager> fileManager_;
  const std::weak_ptr<CTRCrashReportingControllerDelegate> delegate_;
  const platform::OperationQueue::Ptr operationQueue_;
  Options options_;                                  // set once by create
  platform::BundlePtr bundle_;                       // set once by create, never null
  std::shared_ptr<CTRNetworkClient> networkClient_;  // set by create()

  mutable std::mutex mutex_;  // guards the lazily made members; never held while calling out
  CTRSettings::Ptr settings_;
  bool settingsFetched_ = false;
  CTRReportsController::Ptr reportsController_;
  std::shared_ptr<CTRInternalReport> currentReport_;

  std::atomic<unsigned> promptChoice_{kCTRPromptChoiceNotAsked};
  bool lastLaunchFailed_ = false;
  std::atomic<bool> started_{false};
  std::vector<platform::NotificationCenter::ObserverToken> observers_;
};

}  // namespace sdk
