#include "sdk/crash/ctr_crash_reporting_controller.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/dispatch/dispatch.h"
#include "platform/system/modal_alert.h"
#include "sdk/crash/capture/ctr_application.h"
#include "sdk/crash/capture/ctr_binary_image.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/capture/ctr_exception.h"
#include "sdk/crash/capture/ctr_mach_exception.h"
#include "sdk/crash/capture/ctr_process.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/capture/ctr_signal.h"
#include "sdk/crash/capture/ctr_user_logging.h"
#include "sdk/platform/bcn_application.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_pinned_certificates.h"
#include "sdk/platform/beacon.h"

namespace sdk {

namespace {

// The capture mechanisms built beside crash capture's start-up.
CTRCaptureHooks realCaptureHooks() {
  CTRCaptureHooks hooks;
  hooks.signalInitialize = [](CTRSignalState* state) {
    CTRProcessLocateAbortMessage();
    CTRSignalInitialize(state);
  };
  hooks.exceptionInitialize = [](CTRExceptionState* state, std::uint32_t* count) {
    CTRExceptionInitialize(state, count);
  };
  hooks.binaryImageInit = [] { CTRBinaryImageInit(); };
  hooks.userLoggingInitialize = [](const CTRCaptureStartRecord* record) {
    CTRUserLoggingInitialize(record);
  };
  hooks.binaryImageRecordMainExecutable = [](CTRFile* file) {
    return CTRBinaryImageRecordMainExecutable(file);
  };
  return hooks;
}

void runHandlerChecks(const CTRCrashReportingController::Options& options) {
  if (options.captureHooks) {
    if (options.handlerChecks) options.handlerChecks();
    return;
  }
  CTRExceptionCheckHandlers();
  CTRSignalCheckHandlers();
}

// Records an internal key-value asynchronously on the logging queue (nothing
// when crash capture has no logging queue, i.e. did not start).
void writeInternalKeyValueOnLoggingQueue(const char* key, platform::Value value) {
  const platform::dispatch::QueuePtr queue = ctrLoggingQueue;
  if (!queue) return;
  queue->async([key, value = std::move(value)] {
    CTRUserLoggingWriteInternalKeyValue(platform::Value(key), value);
  });
}

}  // namespace

// --- life -----------------------------------------------------------------------------------

CTRCrashReportingController::Ptr CTRCrashReportingController::create(
    std::shared_ptr<CTRFileManager> fileManager,
    std::weak_ptr<CTRCrashReportingControllerDelegate> delegate) {
  return create(std::move(fileManager), std::move(delegate), Options());
}

CTRCrashReportingController::Ptr CTRCrashReportingController::create(
    std::shared_ptr<CTRFileManager> fileManager,
    std::weak_ptr<CTRCrashReportingControllerDelegate> delegate, Options options) {
  platform::BundlePtr bundle = options.bundle ? options.bundle : platform::Bundle::main();
  if (!fileManager) fileManager = std::make_shared<CTRFileManager>(bundle);
  auto controller = std::make_shared<CTRCrashReportingController>(Passkey{}, std::move(fileManager),
                                                                  std::move(delegate));
  controller->options_ = std::move(options);
  controller->bundle_ = std::move(bundle);
  // The upload client asks its delegate at creation, so it is made once the
  // controller can be handed out as that delegate.
  controller->networkClient_ =
      CTRNetworkClient::create(controller->operationQueue_, controller->fileManager_,
                               std::weak_ptr<CTRNetworkClientDelegate>(
                                   std::static_pointer_cast<CTRNetworkClientDelegate>(controller)),
                               BCNPinnedCertificates(controller->bundle_));
  return controller;
}

CTRCrashReportingController::CTRCrashReportingController(
    Passkey, std::shared_ptr<CTRFileManager> fileManager,
    std::weak_ptr<CTRCrashReportingControllerDelegate> delegate)
    : fileManager_(fileManager ? std::move(fileManager) : std::make_shared<CTRFileManager>()),
      delegate_(std::move(delegate)),
      operationQueue_(platform::OperationQueue::create(kCTRWorkQueueName)) {
  operationQueue_->setMaxConcurrentOperationCount(1);
}

CTRCrashReportingController::~CTRCrashReportingController() {
  for (const auto& token : observers_)
    platform::NotificationCenter::defaultCenter().removeObserver(token);
}

void CTRCrashReportingController::addOperation(
    std::function<void(CTRCrashReportingController&)> work) {
  std::weak_ptr<CTRCrashReportingController> weak = weak_from_this();
  operationQueue_->addOperationWithBlock([weak, work = std::move(work)] {
    if (const auto self = weak.lock()) work(*self);
  });
}

// --- properties -------------------------------------------------------------------------------

CTRSettings::Ptr CTRCrashReportingController::settings() {
  {
    std::lock_guard lock(mutex_);
    if (settingsFetched_) return settings_;
  }
  CTRSettings::Ptr fetched;
  if (const auto delegate = delegate_.lock())
    fetched = delegate->settingsForCrashReportingController(*this);
  // Without an answer the built-in defaults apply (as without downloaded
  // settings), so that no caller has to handle "no settings".
  if (!fetched) fetched = CTRSettings::initWithDictionary(platform::Value(), bundle_);
  std::lock_guard lock(mutex_);
  if (!settingsFetched_) {
    settingsFetched_ = true;
    settings_ = std::move(fetched);
  }
  return settings_;
}

CTRReportsController::Ptr CTRCrashReportingController::reportsController() {
  std::lock_guard lock(mutex_);
  if (!reportsController_) {
    reportsController_ = std::make_shared<CTRReportsController>(
        operationQueue_,
        std::weak_ptr<CTRReportsControllerDelegate>(
            std::static_pointer_cast<CTRReportsControllerDelegate>(shared_from_this())),
        networkClient_, fileManager_);
  }
  return reportsController_;
}

std::shared_ptr<CTRInternalReport> CTRCrashReportingController::currentReport() const {
  std::lock_guard lock(mutex_);
  return currentReport_;
}

std::string CTRCrashReportingController::launchMarkerPath() const {
  return fileManager_->structurePath() + "/" + kCTRLaunchMarkerFileName;
}

bool CTRCrashReportingController::createLaunchMarker() {
  const std::string path = launchMarkerPath();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

void CTRCrashReportingController::removeLaunchMarker() { ::unlink(launchMarkerPath().c_str()); }

namespace {

// The state directories hold only the SDK's own files and folders. A
// symbolic link there points out of the cache: it is removed (the link
// alone) and never read or followed.
std::vector<std::string> withoutSymbolicLinks(const std::vector<std::string>& paths) {
  std::vector<std::string> kept;
  for (const std::string& path : paths) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      BCNConsoleLog("[Crashtrail:Crash] Removing a symbolic link among the reports: %@", path);
      CTR_SDK_LOG_WARN("Removing a symbolic link among the reports: %s", path.c_str());
      ::unlink(path.c_str());
      continue;
    }
    kept.push_back(path);
  }
  return kept;
}

// Removes the oldest packages of `directory` until at most `maxCount` of at
// most `maxBytes` in all are left (see kCTRMaxPreparedReports).
void keepPreparedWithinBudget(const std::string& directory, std::size_t maxCount,
                              std::uint64_t maxBytes, const std::vector<std::string>& packages) {
  struct Package {
    std::string path;
    std::uint64_t size;
    std::int64_t modified;  // nanoseconds
  };
  std::vector<Package> found;
  std::uint64_t total = 0;
  for (const std::string& path : packages) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const std::int64_t modified =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    found.push_back({path, static_cast<std::uint64_t>(st.st_size), modified});
    total += static_cast<std::uint64_t>(st.st_size);
  }
  std::sort(found.begin(), found.end(), [](const Package& a, const Package& b) {
    return a.modified != b.modified ? a.modified < b.modified : a.path < b.path;
  });
  std::size_t count = found.size();
  for (const Package& package : found) {
    if (count <= maxCount && total <= maxBytes) break;
    BCNConsoleLog(
        "[Crashtrail:Crash] Report budget (%@ reports, %@ bytes) exceeded in %@: removing the "
        "oldest, %@",
        static_cast<std::uint64_t>(maxCount), maxBytes, directory, package.path);
    CTR_SDK_LOG_WARN("Report budget exceeded: removing the oldest report %s", package.path.c_str());
    if (::unlink(package.path.c_str()) != 0) continue;
    --count;
    total -= package.size;
  }
}

}  // namespace

// --- start-up ----------------------------------------------------------------------------------

bool CTRCrashReportingController::startWithProfilingMark(
    std::uint64_t profilingMark, const std::optional<std::string>& betaToken) {
  if (started_.exchange(true)) return false;

  // 1. A bundle identifier names the data folder and the reports' app.
  if (BCNApplicationGetBundleIdentifier(bundle_).empty()) {
    BCNConsoleLog(
        "[Crashtrail] An application must have a valid bundle idenifier in its Info.plist");
    return false;
  }

  // 2. Reporting switched off by the server: nothing stays on disk.
  if (!settings()->crashReportingEnabled()) {
    BCNConsoleLog("[Crashtrail:Crash] Reporting is disabled");
    fileManager_->removeContentsOfAllPaths();
    return false;
  }

  // 3. The legacy clean-up may remove the whole data folder: it runs on the
  // work queue, and start-up waits for it before making this launch's
  // directories, so it can never take them away.
  {
    const std::shared_ptr<CTRFileManager> fileManager = fileManager_;
    auto cleanUp = std::make_shared<platform::BlockOperation>(
        [fileManager] { fileManager->removeLegacyDirectories(); });
    operationQueue_->addOperations({cleanUp}, true);
  }
  if (!fileManager_->prepareForNewLaunch()) return false;

  // 4. The launch marker outlives a launch only when that launch ended
  // before its main queue ran once after set-up.
  struct stat markerStat {};
  lastLaunchFailed_ = ::stat(launchMarkerPath().c_str(), &markerStat) == 0;
  if (lastLaunchFailed_) {
    BCNConsoleDebugLog(
        "[Crashtrail:Crash] Last launch failed: this may indicate a crash shortly after app "
        "launch.");
  } else {
    createLaunchMarker();
  }

  // 5. The earlier launches' directories, before this launch's one exists.
  const std::vector<std::string> activeContents =
      withoutSymbolicLinks(fileManager_->activePathContents());

  // 6. This launch's report.
  createLaunchMarker();
  std::shared_ptr<CTRInternalReport> report;
  const std::string executionIdentifier = Beacon::sharedSDK()->executionIdentifier();
  if (const auto path = fileManager_->setupNewPathForExecutionIdentifier(executionIdentifier))
    report = CTRInternalReport::reportWithPath(*path, executionIdentifier);
  if (!report) BCNConsoleLog("[Crashtrail:Crash] Unable to setup a new report");

  // 7. Crash capture.
  std::string apiKey;
  if (const auto delegate = delegate_.lock())
    apiKey = delegate->APIKeyForCrashReportingController(*this);
  if (!startCrashReporter(apiKey, betaToken, profilingMark, report)) {
    BCNConsoleLog("[Crashtrail:Crash] Unable to start crash reporter");
    report.reset();
  }
  {
    std::lock_guard lock(mutex_);
    currentReport_ = report;
  }

  // 8 and 9. What earlier launches left.
  processExistingReportPaths(activeContents, lastLaunchFailed_);
  handleContentsInOtherReportingDirectories();

  // 10.
  writeInternalKeyValueOnLoggingQueue(
      kCTRKitStartTimeKey, platform::Value(CTRProfilingElapsedMilliseconds(profilingMark)));
  return report != nullptr;
}

bool CTRCrashReportingController::startCrashReporter(
    const std::string& apiKey, const std::optional<std::string>& betaToken,
    std::uint64_t profilingMark, const std::shared_ptr<CTRInternalReport>& report) {
  if (!report) return false;
  const auto delegate = delegate_.lock();
  const CTRSettings::Ptr current = settings();

  std::string installID;
  CTRCaptureStartRecord record;
  record.apiKey = apiKey.c_str();
  record.urgentSubmissionTarget = nullptr;
  record.firstInstall = delegate && delegate->isFirstInstallForCrashReportingController(*this);
  if (delegate && delegate->shouldInstallCrashCallback())
    record.crashCallbackTarget =
        std::static_pointer_cast<CTRCrashCallbackTarget>(shared_from_this());
  record.customBundleID = nullptr;
  record.bundle = bundle_;
  record.reportDirectoryPath = report->path().c_str();
  record.sessionID = report->identifier().c_str();
  if (delegate) installID = delegate->installIDForCrashReportingController(*this);
  record.installID = installID.c_str();
  record.betaToken = betaToken ? betaToken->c_str() : nullptr;
  record.machExceptionMask = machExceptionMaskForSignals();
  record.errorReportingEnabled = current->errorReportingEnabled();
  record.customExceptionsEnabled = current->customExceptionsEnabled();
  record.maxCustomExceptions = current->maxCustomExceptions();
  record.errorLogBufferSize = current->errorLogBufferSize();
  record.logBufferSize = current->logBufferSize();
  record.maxCustomKeys = current->maxCustomKeys();

  CTRContextSetCaptureHooks(options_.captureHooks.value_or(realCaptureHooks()));
  if (!CTRContextInitialize(&record)) return false;

  setupStateNotifications();
  std::weak_ptr<CTRCrashReportingController> weak = weak_from_this();
  platform::dispatch::Queue::main()->async([weak, profilingMark] {
    if (const auto self = weak.lock()) self->crashReportingSetupCompleted(profilingMark);
  });
  return true;
}

void CTRCrashReportingController::crashReportingSetupCompleted(std::uint64_t profilingMark) {
  // The first main-queue turn after set-up: this launch got this far.
  removeLaunchMarker();
  writeInternalKeyValueOnLoggingQueue(
      kCTRFirstRunLoopTimeKey, platform::Value(CTRProfilingElapsedMilliseconds(profilingMark)));

  std::weak_ptr<CTRCrashReportingController> weak = weak_from_this();
  platform::dispatch::Queue::main()->after(
      platform::dispatch::seconds(kCTRSetupChecksDelay),
      [weak] {
        const auto self = weak.lock();
        if (!self) return;
        runHandlerChecks(self->options_);
        self->checkForUserPromptSetting();
      },
      options_.clock);
}

void CTRCrashReportingController::checkForUserPromptSetting() {
  if (!settings()->userPromptEnabled()) return;
  const auto delegate = delegate_.lock();
  if (delegate && delegate->reportingControllerMustInformDelegateOfReports(*this)) return;
  BCNConsoleLog(
      "[Crashtrail:Crash] WARNING: the user prompt feature is enabled. As of Crashtrail 3.0.0, "
      "implementing a user prompt is the application's responsibility. See Crashtrail.h's notes "
      "about -crashtrailDidDetectReportForLastExecution:completionHandler:");
}

void CTRCrashReportingController::setupStateNotifications() {
  writeInternalKeyValueOnLoggingQueue(kCTRInBackgroundKey, platform::Value(false));
  auto& center = platform::NotificationCenter::defaultCenter();
  observers_.push_back(center.addObserver(kCTRApplicationWillBecomeActiveNotification, nullptr,
                                          nullptr, [](const platform::Notification&) {
                                            CTRUserLoggingRecordInternalKeyValue(
                                                platform::Value(kCTRInBackgroundKey),
                                                platform::Value(false));
                                          }));
  observers_.push_back(center.addObserver(kCTRApplicationDidResignActiveNotification, nullptr,
                                          nullptr, [](const platform::Notification&) {
                                            CTRUserLoggingRecordInternalKeyValue(
                                                platform::Value(kCTRInBackgroundKey),
                                                platform::Value(true));
                                          }));
}

std::uint32_t CTRCrashReportingController::machExceptionMaskForSignals() {
  const auto delegate = delegate_.lock();
  if (!delegate) return 0;
  struct Walk {
    CTRCrashReportingController* controller;
    CTRCrashReportingControllerDelegate* delegate;
    std::uint32_t mask;
  } walk{this, delegate.get(), 0};
  CTRSignalEnumerateHandledSignals(
      [](int, int signal, void* userData) {
        auto* w = static_cast<Walk*>(userData);
        if (w->delegate->reportingControllerEnsureDeliveryOfUnixSignal(*w->controller, signal))
          w->mask |= CTRMachExceptionMaskForSignal(signal);
      },
      &walk);
  return walk.mask;
}

// --- reports of earlier launches ---------------------------------------------------------------

bool CTRCrashReportingController::shouldPromptUser() {
  const unsigned choice = promptChoice_.load();
  if (choice == kCTRPromptChoiceSend || choice == kCTRPromptChoiceAlwaysSend) return false;
  return settings()->userPromptEnabled();
}

bool CTRCrashReportingController::canProcessUrgentReports() {
  if (!settings()->canProcessUrgentReports()) return false;
  if (shouldPromptUser()) return false;
  const auto delegate = delegate_.lock();
  return !(delegate && delegate->reportingControllerMustInformDelegateOfReports(*this));
}

void CTRCrashReportingController::submitReportNow(std::shared_ptr<CTRInternalReport> report) {
  reportsController()->prepareAndSubmitReport(report, false, true);
}

void CTRCrashReportingController::submitReportOnWorkQueue(
    std::shared_ptr<CTRInternalReport> report) {
  addOperation([report](CTRCrashReportingController& self) { self.submitReportNow(report); });
}

void CTRCrashReportingController::processExistingReportPaths(const std::vector<std::string>& paths,
                                                             bool asUrgent) {
  for (const std::string& path : paths) {
    std::shared_ptr<CTRInternalReport> report = CTRInternalReport::reportWithPath(path);
    if (!report || !report->needsToBeSubmitted()) {
      // Nothing to submit. A directory without an identifier can never be
      // submitted either: remove it rather than meet it at every launch.
      addOperation(
          [path](CTRCrashReportingController& self) { self.fileManager_->removeItemAtPath(path); });
      continue;
    }

    const auto delegate = delegate_.lock();
    if (delegate)
      delegate->reportingControllerInternalDidDetectReportForLastExecution(*this, report);

    if (asUrgent && canProcessUrgentReports()) {
      reportsController()->prepareAndSubmitReport(report, true, true);
      continue;
    }

    std::weak_ptr<CTRCrashReportingController> weak = weak_from_this();
    auto answered = std::make_shared<std::once_flag>();
    CTRCrashReportingControllerDelegate::SubmitCompletion completion = [weak, report,
                                                                        answered](bool submit) {
      // A delegate answers once; a second answer is ignored.
      std::call_once(*answered, [&] {
        const auto self = weak.lock();
        if (!self) return;
        self->addOperation([report, submit](CTRCrashReportingController& controller) mutable {
          if (submit) {
            if (controller.shouldPromptUser())
              controller.displayPermissionAlertForReport(report);
            else
              controller.submitReportNow(report);
            return;
          }
          BCNConsoleDebugLog("[Crashtrail:Crash] Removing report at request of delegate");
          controller.fileManager_->removeItemAtPath(report->path());
        });
      });
    };
    if (delegate)
      delegate->reportingControllerDidDetectReportForLastExecution(*this, report, completion);
    else
      completion(true);
  }
}

void CTRCrashReportingController::handleContentsInOtherReportingDirectories() {
  const std::vector<std::string> processing =
      withoutSymbolicLinks(fileManager_->processingPathContents());
  addOperation([processing](CTRCrashReportingController& self) {
    for (const std::string& path : processing) {
      std::shared_ptr<CTRInternalReport> report = CTRInternalReport::reportWithPath(path);
      if (!report) continue;
      self.reportsController()->prepareAndSubmitReport(report, false, false);
    }
  });

  const std::vector<std::string> prepared =
      withoutSymbolicLinks(fileManager_->preparedPathContents());
  std::weak_ptr<CTRCrashReportingController> weak = weak_from_this();
  networkClient_->attemptToReconnectBackgroundSessionWithCompletionBlock([weak, prepared] {
    const auto self = weak.lock();
    if (!self) return;
    self->addOperation([prepared](CTRCrashReportingController& controller) {
      // Every package there now, those of this start-up's reports too.
      const std::string directory = controller.fileManager_->preparedPath();
      keepPreparedWithinBudget(directory, controller.options_.maxPreparedReports,
                               controller.options_.maxPreparedReportBytes,
                               controller.fileManager_->preparedPathContents());
      for (const std::string& path : prepared) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) continue;
        controller.reportsController()->uploadPackagedReportAtPath(path, false);
      }
    });
  });
}

// --- the send prompt
// ------------------------------------------------------------------------------

void CTRCrashReportingController::displayPermissionAlertForReport(
    std::shared_ptr<CTRInternalReport> report) {
  if (CTRApplicationIsExtension(bundle_)) {
    submitReportOnWorkQueue(std::move(report));
    return;
  }
  const CTRSettings::Ptr current = settings();
  std::string title = current->interactivePromptTitle();
  std::string message = current->interactivePromptMessage();
  std::string cancelTitle = current->interactivePromptCancelTitle();
  std::string sendTitle = current->interactivePromptSendTitle();
  std::string alwaysSendTitle = current->interactivePromptAlwaysSendTitle();
  BCNConsoleDebugLog("[Crashtrail:Crash] Displaying permission alert");

  std::weak_ptr<CTRCrashReportingController> weak = weak_from_this();
  platform::dispatch::Queue::main()->async(
      [weak, report, title, message, cancelTitle, sendTitle, alwaysSendTitle] {
        const auto self = weak.lock();
        if (!self) return;
        const auto finish = [&](bool submit, bool always) {
          self->addOperation([report, submit, always](CTRCrashReportingController& controller) {
            controller.handlePromptCompleteForReport(report, submit, always);
          });
        };
        const unsigned choice = self->promptChoice_.load();
        if (choice == kCTRPromptChoiceSend || choice == kCTRPromptChoiceAlwaysSend) {
          finish(true, false);
          return;
        }
        if (choice == kCTRPromptChoiceDeclined) {
          finish(false, false);
          return;
        }

        platform::ModalAlert alert;
        alert.setMessageText(title);
        alert.setInformativeText(message);
        alert.addButtonWithTitle(sendTitle);
        const bool threeButtons = !alwaysSendTitle.empty();
        if (threeButtons) alert.addButtonWithTitle(alwaysSendTitle);
        alert.addButtonWithTitle(cancelTitle);
        const std::optional<std::size_t> pressed = alert.runModal();
        if (!pressed) {
          // No user interface to ask: neither send nor delete without consent.
          // The report stays in place and is offered again at a later launch.
          BCNConsoleLog("[Crashtrail:Crash] Unable to display permission alert, keeping report");
          return;
        }
        const std::size_t cancelIndex = threeButtons ? 2 : 1;
        const bool submit = *pressed != cancelIndex;
        const bool always = threeButtons && *pressed == 1;
        // Remember the answer at once, so that alerts already queued behind
        // this one on the main queue do not ask again.
        self->promptChoice_.store(!submit  ? kCTRPromptChoiceDeclined
                                  : always ? kCTRPromptChoiceAlwaysSend
                                           : kCTRPromptChoiceSend);
        finish(submit, always);
      });
}

void CTRCrashReportingController::handlePromptCompleteForReport(
    std::shared_ptr<CTRInternalReport> report, bool shouldSubmit, bool shouldMarkAlwaysSubmit) {
  if (!shouldSubmit) {
    promptChoice_.store(kCTRPromptChoiceDeclined);
    BCNConsoleDebugLog("[Crashtrail:Crash] Removing report at request of user");
    fileManager_->removeItemAtPath(report->path());
    return;
  }
  reportsController()->prepareAndSubmitReport(report, false, true);
  if (shouldMarkAlwaysSubmit) {
    promptChoice_.store(kCTRPromptChoiceAlwaysSend);
    BCNConsoleLog("should set always submit here");
  } else {
    promptChoice_.store(kCTRPromptChoiceSend);
  }
}

// --- crash time
// ------------------------------------------------------------------------------------

void CTRCrashReportingController::deliverCrashDelegateCallback() {
  if (const auto delegate = delegate_.lock()) delegate->detectedCrash();
}

void CTRCrashReportingController::potentiallySubmittableCrashOccurred() {
  submitCurrentReportIfUrgentAllowed();
}

bool CTRCrashReportingController::submitCurrentReportIfUrgentAllowed() {
  if (!canProcessUrgentReports()) return false;
  CTR_SDK_LOG_WARN("Attempting submission");
  return attemptCurrentReportSubmission();
}

bool CTRCrashReportingController::attemptCurrentReportSubmission() {
  CTR_SDK_LOG_INFO("Attempting to submit the current report");
  const std::vector<std::string> active = fileManager_->activePathContents();
  if (active.size() != 1) {
    CTR_SDK_LOG_ERROR("More than one directory in active - cannot submit");
    return false;
  }
  const std::string copyPath = active.front() + "-submit";
  std::error_code ec;
  std::filesystem::copy(active.front(), copyPath, std::filesystem::copy_options::recursive, ec);
  if (ec) {
    CTR_SDK_LOG_ERROR("Error: unable to copy report for submission");
    return false;
  }
  std::shared_ptr<CTRInternalReport> report = CTRInternalReport::reportWithPath(copyPath);
  if (!report) return false;
  return reportsController()->prepareAndSubmitReport(report, true, true);
}

// --- delegates -----------------------------------------------------------------------------------

bool CTRCrashReportingController::networkClientCanUseBackgroundSessions(CTRNetworkClient&) {
  const auto delegate = delegate_.lock();
  return delegate && delegate->reportingControllerCanUseBackgroundSessions(*this);
}

void CTRCrashReportingController::networkClientDidFinishUploadWithPath(
    CTRNetworkClient&, const std::string& path, const platform::Error& error) {
  reportsController()->reportUploadAtPath(path, error);
}

CTRSettings::Ptr CTRCrashReportingController::settingsForReportsController(CTRReportsController&) {
  return settings();
}

std::string CTRCrashReportingController::APIKeyForReportsController(CTRReportsController&) {
  const auto delegate = delegate_.lock();
  return delegate ? delegate->APIKeyForCrashReportingController(*this) : std::string();
}

std::string CTRCrashReportingController::bundleIdentifierForReportsController(
    CTRReportsController&) {
  return BCNApplicationGetBundleIdentifier(bundle_);
}

void CTRCrashReportingController::reportsControllerDidCompletePackageSubmission(
    CTRReportsController&, const std::string& packagePath, const platform::Error& error) {
  if (!error) {
    BCNConsoleDebugLog("[Crashtrail:Crash] report submission successful");
    return;
  }
  BCNConsoleDebugLog("[Crashtrail:Crash] report submission failed with error %@",
                     error.description());
  const std::string description = error.description();
  CTR_SDK_LOG_WARN("Error: failed to submit report '%s'", description.c_str());
  // Refused for good: the reports controller removed the package; sending
  // it again would only be refused again.
  if (CTRReportsController::isRefusedForGood(error)) return;

  std::weak_ptr<CTRCrashReportingController> weak = weak_from_this();
  platform::dispatch::Queue::global()->after(
      platform::dispatch::seconds(options_.submissionRetryDelay),
      [weak, packagePath] {
        const auto self = weak.lock();
        if (!self) return;
        self->addOperation([packagePath](CTRCrashReportingController& controller) {
          BCNConsoleDebugLog("[Crashtrail:Crash] re-attempting report submission");
          controller.reportsController()->uploadPackagedReportAtPath(packagePath, false);
        });
      },
      options_.clock);
}

void CTRCrashReportingController::reportsControllerDidCompleteAllSubmissions(
    CTRReportsController&) {
  addOperation([](CTRCrashReportingController& self) {
    {
      std::lock_guard lock(self.mutex_);
      self.reportsController_.reset();
    }
    BCNConsoleDebugLog("[Crashtrail:Crash] report submission complete");
  });
}

}  // namespace sdk
