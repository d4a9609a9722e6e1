#include "sdk/analytics/tly_tally_controller.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "platform/foundation/date.h"
#include "platform/foundation/format.h"
#include "platform/foundation/url.h"
#include "platform/foundation/uuid.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "sdk/analytics/tly_activity.h"
#include "sdk/analytics/tly_activity_operation.h"
#include "sdk/analytics/tly_cleanup_files_operation.h"
#include "sdk/analytics/tly_compress_log_operation.h"
#include "sdk/analytics/tly_crash_event.h"
#include "sdk/analytics/tly_crash_metadata.h"
#include "sdk/analytics/tly_event.h"
#include "sdk/analytics/tly_event_filter.h"
#include "sdk/analytics/tly_file_utils.h"
#include "sdk/analytics/tly_lifecycle_event.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/analytics/tly_metadata.h"
#include "sdk/analytics/tly_network_retry_handler.h"
#include "sdk/analytics/tly_package_log_operation.h"
#include "sdk/analytics/tly_rotate_crash_metadata_operation.h"
#include "sdk/analytics/tly_settings.h"
#include "sdk/analytics/tly_timer.h"
#include "sdk/analytics/tly_upload_operation.h"
#include "sdk/analytics/tly_uploader.h"
#include "sdk/analytics/tly_write_event_operation.h"
#include "sdk/platform/bcn_application.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_multipart_mime_stream_encoder.h"
#include "sdk/platform/bcn_network_operation.h"
#include "sdk/platform/bcn_network_response_handler.h"
#include "sdk/platform/bcn_settings_onboarding_manager.h"
#include "sdk/platform/beacon.h"

namespace sdk {

namespace {

// Options of the activities: sudden and automatic termination disabled; the
// rotation adds the background priority bits.
constexpr std::uint64_t kEventActivityOptions = kTLYActivityTerminationDisabledMask;
constexpr std::uint64_t kRotateActivityOptions = kTLYActivityTerminationDisabledMask | 0xFF;

TLYLogger& logger() { return TLYLogger::sharedLogger(); }

std::string pathOf(const platform::URL& url) { return TLYFileUtils::pathForURL(url); }

bool isReadableFile(const platform::URL& url) {
  const std::string path = pathOf(url);
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
         ::access(path.c_str(), R_OK) == 0;
}

void removeFile(const platform::URL& url) { ::unlink(pathOf(url).c_str()); }

// The same location with its extension replaced by `extension`.
platform::URL replacingExtension(const platform::URL& url, const std::string& extension) {
  const std::string path = pathOf(url);
  return platform::URL::fileURLWithPath(platform::deletingPathExtension(path) + "." + extension);
}

}  // namespace

// --- making and starting ------------------------------------------------------

TLYTallyController::Ptr TLYTallyController::initWithBetaToken(
    std::optional<std::string> betaToken) {
  // The folder of the program the registry describes.
  return initWithBetaToken(std::move(betaToken), rootDirectory(Beacon::sharedSDK()->bundle()));
}

TLYTallyController::Ptr TLYTallyController::initWithBetaToken(std::optional<std::string> betaToken,
                                                              std::string rootDirectory) {
  return initWithBetaToken(std::move(betaToken), std::move(rootDirectory), nullptr);
}

TLYTallyController::Ptr TLYTallyController::initWithBetaToken(
    std::optional<std::string> betaToken, std::string rootDirectory,
    platform::dispatch::TimeSourcePtr clock) {
  auto controller = std::make_shared<TLYTallyController>(
      Passkey{}, std::move(betaToken), std::move(rootDirectory), std::move(clock));
  controller->start();
  return controller;
}

TLYTallyController::TLYTallyController(Passkey, std::optional<std::string> betaToken,
                                       std::string rootDirectory,
                                       platform::dispatch::TimeSourcePtr clock)
    : betaToken_(std::move(betaToken)), root_(std::move(rootDirectory)), clock_(std::move(clock)) {}

TLYTallyController::~TLYTallyController() {
  auto& center = platform::NotificationCenter::defaultCenter();
  for (const auto& token : observers_) center.removeObserver(token);
}

std::string TLYTallyController::rootDirectory(const platform::BundlePtr& bundle) {
  std::string root =
      platform::appendingPathComponent(platform::paths::caches(), "com.crashtrail.data");
  root = platform::appendingPathComponent(root, BCNApplicationGetBundleIdentifier(bundle));
  root = platform::appendingPathComponent(root, "analytics");
  return platform::appendingPathComponent(root, "v2");
}

void TLYTallyController::start() {
  // 1. The queue, with the set-up operation first on it.
  eventQueue_ = platform::OperationQueue::create(kTLYEventQueueName);
  eventQueue_->setMaxConcurrentOperationCount(1);
  auto self = shared_from_this();
  eventQueue_->addOperationWithBlock([self] { self->setUp(); });

  // 2., 3. Application and settings notifications.
  registerForApplicationLifecycleEvents();
  std::weak_ptr<TLYTallyController> weak = self;
  observers_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
      BCNSettingsAvailableNotification, nullptr, nullptr,
      [weak](const platform::Notification& notification) {
        if (auto controller = weak.lock())
          controller->beaconSettingsDidBecomeAvailable(notification);
      }));

  // 4. Install and launch events.
  auto beacon = Beacon::sharedSDK();
  if (beacon->isFirstInstall()) enqueueEvent(TLYLifecycleEvent::installEvent());
  enqueueEvent(TLYLifecycleEvent::appLaunchedEvent());

  // 5. The settings of an earlier launch, if any.
  initializeSettingsIfNeededWithBeaconSettings(beacon->settings());

  // 6. The advertising token (this platform has none).
  beacon->setAdvertisingToken(TLYMetadata::identifierForAdvertising());
}

void TLYTallyController::setUp() {
  rootEventDirectory_ = eventDirectoryForRootDirectory(root_);
  platform::paths::createDirectories(rootEventDirectory_, 0700);
  currentLogURL_ = generateNewLogPath();
  settings_ = std::make_shared<TLYSettings>();
  metadata_ = TLYMetadata::initWithBeacon(Beacon::sharedSDK(), betaToken_);
  previousExecutionMetadata_ =
      replacePreviousExecutionMetadataWithCurrentMetadata(metadata_, root_);
  eventFilter_ = std::make_shared<TLYEventFilter>();
  networkRetryHandler_ = std::make_shared<TLYNetworkRetryHandler>(TLYNetworkRetryHandler::Options{
      .clock = clock_, .timerConfigurator = nullptr, .bundle = Beacon::sharedSDK()->bundle()});
  uploader_ = uploaderWithQueue(eventQueue_, shared_from_this());
  cleanupAndProcessExistingFiles();
}

std::shared_ptr<TLYCrashMetadata>
TLYTallyController::replacePreviousExecutionMetadataWithCurrentMetadata(
    const std::shared_ptr<TLYMetadata>& metadata, const std::string& root) {
  auto operation = TLYRotateCrashMetadataOperation::initWithCrashMetadataURL(
      platform::URL::fileURLWithPath(crashMetadataPathForRootDirectory(root)), metadata);
  operation->main();
  return operation->crashMetadata();
}

std::shared_ptr<TLYUploader> TLYTallyController::uploaderWithQueue(
    const std::shared_ptr<platform::OperationQueue>& queue,
    const std::shared_ptr<TLYUploaderDelegate>& delegate) {
  return TLYUploader::initWithQueue(queue, std::weak_ptr<TLYUploaderDelegate>(delegate));
}

// --- files ----------------------------------------------------------------------

std::string TLYTallyController::eventDirectoryForRootDirectory(const std::string& root) const {
  return platform::appendingPathComponent(root, kTLYEventDirectoryName);
}

std::string TLYTallyController::crashMetadataPathForRootDirectory(const std::string& root) const {
  return platform::appendingPathComponent(root, kTLYCrashMetadataFileName);
}

platform::URL TLYTallyController::generateNewLogPath() const {
  return platform::URL::fileURLWithPath(
      platform::appendingPathComponent(eventDirectoryForRootDirectory(root_),
                                       platform::UUID::random().string() + "." + kTLYLogExtension));
}

platform::URL TLYTallyController::multipartMimeURLWithBoundary(const std::string& boundary) const {
  return platform::URL::fileURLWithPath(platform::appendingPathComponent(
      eventDirectoryForRootDirectory(root_), boundary + "." + kTLYPackageExtension));
}

std::optional<std::string> TLYTallyController::boundaryFromURL(const platform::URL& url) {
  if (url.pathExtension() != kTLYPackageExtension) return std::nullopt;
  return TLYFileUtils::baseNameForURL(url);
}

// --- events -----------------------------------------------------------------------

void TLYTallyController::logEvent(const std::shared_ptr<TLYEvent>& event) {
  if (event) logger().log("Logging Tally event: %@", event->description());
  enqueueEvent(event);
}

void TLYTallyController::enqueueEvent(const std::shared_ptr<TLYEvent>& event) {
  auto activity = TLYActivityOperation::operationByStartingActivityName(kTLYRecordEventActivity,
                                                                        kEventActivityOptions);
  auto self = shared_from_this();
  std::weak_ptr<TLYActivityOperation> weakActivity = activity;
  auto block = platform::BlockOperation::create([self, event, weakActivity] {
    if (!self->shouldLogEvent()) return;
    if (self->eventFilter_->shouldDiscardEvent(event, self->metadata_->betaToken(),
                                               self->metadata_->installationId(),
                                               self->settings_->samplingRate())) {
      logger().log("Application is enabled for sampling, skipping %@",
                   event ? event->description() : std::string("(null)"));
      return;
    }
    // The size before this write decides the rotation.
    const bool rotate = self->shouldSubmitLogAtURL(self->currentLogURL_) || event->triggersFlush();
    auto write =
        TLYWriteEventOperation::initWithEvent(event, self->metadata_, self->currentLogURL_);
    if (auto activityOperation = weakActivity.lock()) activityOperation->addDependency(write);
    self->queueWrite(write);
    // The write was queued first and still goes into the log being rotated.
    if (rotate) self->rotateAndSubmitCurrentLog();
  });
  activity->addDependency(block);
  eventQueue_->addOperation(block);
  eventQueue_->addOperation(activity);
}

void TLYTallyController::logCrashEvent(const std::shared_ptr<TLYCrashEvent>& event) {
  auto activity = TLYActivityOperation::operationByStartingActivityName(
      kTLYRecordCrashEventActivity, kEventActivityOptions);
  auto self = shared_from_this();
  std::weak_ptr<TLYActivityOperation> weakActivity = activity;
  auto block = platform::BlockOperation::create([self, event, weakActivity] {
    logger().log("Attempting to log %@", event ? event->name() : std::string("(null)"));
    if (!self->shouldLogEvent()) return;
    if (self->eventFilter_->shouldDiscardEvent(event, self->metadata_->betaToken(),
                                               self->metadata_->installationId(),
                                               self->settings_->samplingRate())) {
      logger().log("Application is enabled for sampling, skipping %@",
                   event ? event->description() : std::string("(null)"));
      return;
    }
    // The crash travels alone: close the current log first. A write into it
    // may still be queued (the file is made by its first write), so that
    // counts as well.
    if (isReadableFile(self->currentLogURL_) || self->currentLogHasQueuedWrites_) {
      self->rotateAndSubmitCurrentLog();
    }
    auto write = TLYWriteEventOperation::initWithEvent(event, self->previousExecutionMetadata_,
                                                       self->currentLogURL_);
    if (auto activityOperation = weakActivity.lock()) activityOperation->addDependency(write);
    self->queueWrite(write);
    self->rotateAndSubmitCurrentLog();
  });
  activity->addDependency(block);
  eventQueue_->addOperation(block);
  eventQueue_->addOperation(activity);
}

bool TLYTallyController::shouldLogEvent() const {
  if (!settings_) return false;
  if (!settings_->valid()) return true;
  return settings_->shouldCollectAnalytics();
}

bool TLYTallyController::shouldSubmitLogAtURL(const platform::URL& url) const {
  const std::uint64_t size = TLYFileUtils::fileSizeAtURL(url);
  const std::int64_t maximum = settings_ ? settings_->maximumPayloadSize() : 8000;
  // A negative maximum makes every log too large, as a signed comparison would.
  if (maximum < 0) return true;
  return size > static_cast<std::uint64_t>(maximum);
}

// --- notifications ------------------------------------------------------------------

void TLYTallyController::registerForApplicationLifecycleEvents() {
  std::weak_ptr<TLYTallyController> weak = weak_from_this();
  auto& center = platform::NotificationCenter::defaultCenter();
  for (const char* name :
       {kNSApplicationWillTerminateNotification, kNSApplicationWillResignActiveNotification,
        kNSApplicationDidBecomeActiveNotification}) {
    observers_.push_back(center.addObserver(name, nullptr, nullptr,
                                            [weak](const platform::Notification& notification) {
                                              if (auto controller = weak.lock())
                                                controller->applicationLifecycleEvent(notification);
                                            }));
  }
}

void TLYTallyController::applicationLifecycleEvent(const platform::Notification& notification) {
  const bool terminate = notification.name == kNSApplicationWillTerminateNotification;
  // A process quits once: a host that announces its termination on more
  // than one road (its own quit path and the toolkit's) records it once.
  if (!terminate || !terminationRecorded_.exchange(true)) {
    enqueueEvent(TLYLifecycleEvent::eventWithNotification(notification));
  }
  if (terminate) {
    // The process ends when the notification returns: the event just queued
    // and the work before it get a short, bounded time to reach the disk.
    if (!eventQueue_->waitUntilAllOperationsAreFinished(terminationGracePeriod())) {
      logger().log("Quitting with analytics work still queued");
    }
  }
}

void TLYTallyController::beaconSettingsDidBecomeAvailable(const platform::Notification&) {
  initializeSettingsIfNeededWithBeaconSettings(Beacon::sharedSDK()->settings());
}

void TLYTallyController::initializeSettingsIfNeededWithBeaconSettings(
    const platform::Value& beaconSettings) {
  auto self = shared_from_this();
  eventQueue_->addOperationWithBlock([self, beaconSettings] {
    if (!beaconSettings.isDictionary()) return;
    if (self->settings_ && self->settings_->valid()) return;
    self->settings_ = std::make_shared<TLYSettings>(beaconSettings);
    if (self->settings_->shouldCollectAnalytics()) {
      logger().log("Tally enabled with settings: %@", beaconSettings["analytics"]);
      logger().log("Logging events to %@", self->rootEventDirectory_);
      self->setupFlushTimer();
      self->uploader_->setDefaultUploadTimeout(self->settings_->defaultUploadTimeout());
      self->uploader_->setLowPowerUploadTimeout(self->settings_->lowPowerUploadTimeout());
      self->eventsURL_ = self->resolveEventsURL();
      // The settings may ask for a smaller budget than the default.
      self->enforcePendingBudget();
      self->uploadAllMultipartFiles();
    } else {
      logger().log("Tally is disabled. Cleaning up.");
      self->removeAllLogs();
      // Events accepted before the settings arrived may still have writes
      // and packaging queued; clear what they leave once they have run.
      auto sweep = platform::BlockOperation::create([self] { self->removeAllLogs(); });
      for (const auto& pending : self->eventQueue_->operations()) sweep->addDependency(pending);
      self->eventQueue_->addOperation(sweep);
    }
  });
}

// --- rotation, packaging, upload ------------------------------------------------------

void TLYTallyController::checkOnEventQueue(const char* method) const {
  auto current = platform::OperationQueue::currentQueue();
  if (current != eventQueue_) {
    logger().log("queuing bug in %s: %@ != %@", method, eventQueue_->name(),
                 current ? current->name() : std::string("(null)"));
  }
}

void TLYTallyController::setupFlushTimer() {
  checkOnEventQueue("-[TLYTallyController setupFlushTimer]");
  // The interval comes from the network: bounded before it reaches the
  // timer, so no value makes it fire without pause (or never).
  const double interval = boundedFlushInterval(settings_ ? settings_->flushInterval() : 0);
  if (interval <= 0) {
    flushTimer_.reset();
    return;
  }
  std::weak_ptr<TLYTallyController> weak = weak_from_this();
  flushTimer_ =
      TLYTimer::initWithTimeInterval(interval, eventQueue_, kTLYFlushTimerIdentifier, [weak] {
        if (auto controller = weak.lock()) {
          controller->flushTimerFired();
        }
      });
}

void TLYTallyController::flushTimerFired() {
  checkOnEventQueue("-[TLYTallyController flushTimerFired]");
  if (!settings_ || settings_->flushInterval() <= 0) {
    flushTimer_.reset();
    return;
  }
  if (shouldSubmitLogAtURL(currentLogURL_)) rotateAndSubmitCurrentLog();
}

void TLYTallyController::rotateAndSubmitCurrentLog() {
  auto activity = TLYActivityOperation::operationByStartingActivityName(kTLYRotateAndSubmitActivity,
                                                                        kRotateActivityOptions);
  const platform::URL oldLog = currentLogURL_;
  currentLogURL_ = generateNewLogPath();
  currentLogHasQueuedWrites_ = false;
  auto operations = operationsForUncompressedLog(oldLog);
  for (const auto& operation : operations) activity->addDependency(operation);
  eventQueue_->addOperations(operations, false);
  eventQueue_->addOperation(activity);
}

std::shared_ptr<TLYPackageLogOperation> TLYTallyController::packageOperation(
    const platform::URL& compressedURL, const platform::URL& packageURL,
    const std::string& boundary) {
  return TLYPackageLogOperation::create(compressedURL, packageURL, boundary);
}

double TLYTallyController::boundedFlushInterval(double interval) {
  if (!(interval > 0)) return 0;  // also NaN
  return std::clamp(interval, kTLYMinimumFlushInterval, kTLYMaximumFlushInterval);
}

std::vector<platform::Operation::Ptr> TLYTallyController::operationsForUncompressedLog(
    const platform::URL& logURL) {
  const std::string extension = logURL.pathExtension();
  if (extension != kTLYLogExtension) {
    logger().log("Error: attempted to submit file with invalid extension %@, should be %@",
                 extension, kTLYLogExtension);
  }
  const platform::URL compressedURL = replacingExtension(logURL, kTLYCompressedLogExtension);
  const std::string boundary = BCNMultipartMimeStreamEncoder::generateBoundary();
  const platform::URL packageURL = multipartMimeURLWithBoundary(boundary);

  // An input file goes only once its output is complete: a failed step
  // keeps it for the re-processing of a later launch.
  auto compress = TLYCompressLogOperation::create(logURL, compressedURL);
  auto removeLog = removalAfter(compress, logURL, [](const platform::Operation& step) {
    return static_cast<const TLYCompressLogOperation&>(step).didCompress();
  });
  auto package = packageOperation(compressedURL, packageURL, boundary);
  auto removeCompressed = removalAfter(package, compressedURL, [](const platform::Operation& step) {
    return static_cast<const TLYPackageLogOperation&>(step).didPackage();
  });
  auto budget = budgetAfter(package);
  auto upload = uploadOperationForFileAtURL(packageURL, boundary);
  package->addDependency(compress);
  upload->addDependency(package);
  return {compress, removeLog, package, removeCompressed, budget, upload};
}

platform::Operation::Ptr TLYTallyController::removalAfter(
    const platform::Operation::Ptr& step, const platform::URL& input,
    std::function<bool(const platform::Operation&)> succeeded) {
  // A queue operation that holds the step, not the step's completion block:
  // that block runs later on another thread, by when the step may already be
  // gone (nothing else holds a finished step whose dependant was cancelled),
  // and a block that found it gone left the input behind, to be packaged and
  // sent a second time by a later launch. As an operation the removal also
  // happens before the queue is idle.
  auto removal = platform::BlockOperation::create([step, input, succeeded = std::move(succeeded)] {
    if (succeeded(*step)) removeFile(input);
  });
  removal->addDependency(step);
  return removal;
}

platform::Operation::Ptr TLYTallyController::budgetAfter(const platform::Operation::Ptr& package) {
  std::weak_ptr<TLYTallyController> weak = weak_from_this();
  auto budget = platform::BlockOperation::create([weak] {
    if (auto self = weak.lock()) self->enforcePendingBudget();
  });
  budget->addDependency(package);
  return budget;
}

std::int64_t TLYTallyController::boundedPendingFileCount(std::int64_t setting) {
  if (setting <= 0 || setting > kTLYMaximumPendingFileCount) return kTLYDefaultPendingFileCount;
  return setting;
}

std::size_t TLYTallyController::enforcePendingBudget() {
  if (rootEventDirectory_.empty()) return 0;
  const auto maximumCount = static_cast<std::uint64_t>(
      boundedPendingFileCount(settings_ ? settings_->maxPendingSendFiles() : 0));
  const std::uint64_t maximumBytes = pendingBytesBudget();
  struct Pending {
    platform::Date created;
    std::uint64_t size;
    platform::URL url;
  };
  std::vector<Pending> pending;
  for (auto& url : TLYFileUtils::filesWithExtension(
           kTLYPackageExtension, platform::URL::fileURLWithPath(rootEventDirectory_, true))) {
    pending.push_back({TLYFileUtils::fileCreatedDateAtURL(url, platform::Date::distantPast()),
                       TLYFileUtils::fileSizeAtURL(url), std::move(url)});
  }
  // Newest first; equal dates by name, so the order does not depend on the
  // listing.
  std::sort(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) {
    if (a.created != b.created) return a.created > b.created;
    return a.url.absoluteString() < b.url.absoluteString();
  });
  std::uint64_t keptCount = 0, keptBytes = 0, droppedBytes = 0;
  std::size_t dropped = 0;
  for (const Pending& package : pending) {
    const bool fits = keptCount < maximumCount && keptBytes + package.size <= maximumBytes;
    if (fits || keptCount == 0) {
      ++keptCount;
      keptBytes += package.size;
      continue;
    }
    if (::unlink(pathOf(package.url).c_str()) == 0) {
      ++dropped;
      droppedBytes += package.size;
    }
  }
  if (dropped > 0) {
    // Lost events are worth a line whatever the debug switch says.
    BCNConsoleLog(
        "[Tally] Dropped %@ oldest pending packages (%@ bytes) to stay within %@ "
        "packages and %@ bytes",
        std::to_string(dropped), std::to_string(droppedBytes), std::to_string(maximumCount),
        std::to_string(maximumBytes));
  }
  return dropped;
}

std::vector<platform::Operation::Ptr> TLYTallyController::operationsForCompressedLog(
    const platform::URL& compressedURL) {
  const std::string extension = compressedURL.pathExtension();
  if (extension != kTLYCompressedLogExtension) {
    logger().log("Error: attempted to submit file with invalid extension %@, should be %@",
                 extension, kTLYCompressedLogExtension);
  }
  const std::string boundary = BCNMultipartMimeStreamEncoder::generateBoundary();
  const platform::URL packageURL = multipartMimeURLWithBoundary(boundary);
  auto package = packageOperation(compressedURL, packageURL, boundary);
  auto removeCompressed = removalAfter(package, compressedURL, [](const platform::Operation& step) {
    return static_cast<const TLYPackageLogOperation&>(step).didPackage();
  });
  auto budget = budgetAfter(package);
  auto upload = uploadOperationForFileAtURL(packageURL, boundary);
  upload->addDependency(package);
  return {package, removeCompressed, budget, upload};
}

platform::Operation::Ptr TLYTallyController::uploadOperationForFileAtURL(
    const platform::URL& packageURL, const std::string& boundary) {
  auto operation =
      TLYUploadOperation::initWithUploader(uploader_, eventsURL_.value_or(settings_->tallyURL()),
                                           metadata_->APIKey(), packageURL, boundary);
  // Nothing is sent before valid settings (the package waits on disk), nor
  // while the settings switch analytics off, nor without an endpoint that
  // can be reached.
  if (!settings_->valid() || !settings_->shouldCollectAnalytics() || !eventsURL_) {
    operation->cancel();
  }
  return operation;
}

bool TLYTallyController::builtInServicesInUse() {
  auto manager = Beacon::sharedSDK()->settingsAndOnboardingManager();
  if (!manager) return true;
  return manager->valueForConfigurationKey(BCNSettingsEndpointKey) == BCNDefaultSettingsEndpoint;
}

std::optional<platform::URL> TLYTallyController::resolveEventsURL() {
  const std::string rememberedPath = platform::appendingPathComponent(root_, kTLYEventsURLFileName);
  const std::optional<std::string> remembered = platform::files::readFile(rememberedPath);
  if (auto given = settings_->givenTallyURL()) {
    if (!remembered || *remembered != given->absoluteString()) {
      platform::files::writeFileAtomically(rememberedPath, given->absoluteString(), 0600);
    }
    return given;
  }
  if (settings_->hasMalformedTallyURL()) {
    logger().log("The analytics URL of the settings is unusable: %@",
                 settings_->settingsDictionary()["analytics"]["url"]);
  }
  if (remembered) {
    const platform::URL earlier(*remembered);
    if (earlier.isValid() && (earlier.scheme() == "https" || earlier.scheme() == "http") &&
        !earlier.host().empty()) {
      logger().log("Sending events to the earlier analytics URL %@", earlier.absoluteString());
      return earlier;
    }
  }
  if (builtInServicesInUse()) return platform::URL(TLYDefaultEventsURL);
  logger().log("No analytics URL that can be reached: packages wait for settings that name one");
  return std::nullopt;
}

void TLYTallyController::cleanupAndProcessExistingFiles() {
  auto cleanup =
      TLYCleanupFilesOperation::create(platform::URL::fileURLWithPath(rootEventDirectory_, true),
                                       boundedPendingFileCount(settings_->maxPendingSendFiles()));
  std::weak_ptr<TLYTallyController> weak = weak_from_this();
  cleanup->setSuccessBlock([weak](const std::vector<platform::URL>& logs,
                                  const std::vector<platform::URL>& compressedLogs,
                                  const std::vector<platform::URL>& packages) {
    auto self = weak.lock();
    if (!self) return;
    for (const auto& log : logs) {
      self->eventQueue_->addOperations(self->operationsForUncompressedLog(log), false);
    }
    for (const auto& compressed : compressedLogs) {
      self->eventQueue_->addOperations(self->operationsForCompressedLog(compressed), false);
    }
    // The bytes of what is left count as well.
    std::vector<platform::URL> kept;
    if (self->enforcePendingBudget() > 0) {
      for (const auto& package : packages) {
        if (isReadableFile(package)) kept.push_back(package);
      }
    } else {
      kept = packages;
    }
    std::weak_ptr<TLYTallyController> again = self;
    self->uploader_->attemptToReconnectBackgroundSessionWithCompletionBlock([again, kept] {
      if (auto controller = again.lock()) controller->uploadMultipartFiles(kept);
    });
  });
  eventQueue_->addOperation(cleanup);
}

void TLYTallyController::uploadAllMultipartFiles() {
  uploadMultipartFiles(TLYFileUtils::filesWithExtension(
      kTLYPackageExtension, platform::URL::fileURLWithPath(rootEventDirectory_, true)));
}

void TLYTallyController::uploadMultipartFiles(const std::vector<platform::URL>& packages) {
  for (const auto& package : packages) {
    auto boundary = boundaryFromURL(package);
    eventQueue_->addOperation(uploadOperationForFileAtURL(package, boundary.value_or("")));
  }
}

void TLYTallyController::removeAllLogs() {
  for (const auto& file : TLYFileUtils::allFilesInDirectory(
           platform::URL::fileURLWithPath(rootEventDirectory_, true))) {
    removeFile(file);
  }
}

void TLYTallyController::queueWrite(const platform::Operation::Ptr& write) {
  currentLogHasQueuedWrites_ = true;
  eventQueue_->addOperation(write);
}

void TLYTallyController::runOnEventQueue(const std::function<void()>& block) {
  auto operation = platform::BlockOperation::create(block);
  eventQueue_->addOperation(operation);
  operation->waitUntilFinished();
}

// --- uploader delegate ---------------------------------------------------------------

std::string TLYTallyController::uploaderFilePathForUniqueName(TLYUploader&,
                                                              const std::string& uniqueName) {
  return pathOf(multipartMimeURLWithBoundary(uniqueName));
}

void TLYTallyController::uploaderDidFinishUploadWithUniqueName(TLYUploader&,
                                                               const std::string& uniqueName,
                                                               const platform::Error& error) {
  if (error) logger().log("Failed to upload '%@': %@", uniqueName, error.description());
  logger().log("Finished transmission of '%@'.", uniqueName);
  if (uniqueName.empty()) return;
  // Only the service's verdict on the package ends it: accepted, or
  // rejected for its content. Anything else (the service unreachable, busy
  // or failing after every retry, a refused redirect) keeps it for a later
  // launch.
  if (!isFinalUploadOutcome(error)) {
    logger().log("Keeping '%@' for a later attempt.", uniqueName);
    return;
  }
  removeFile(multipartMimeURLWithBoundary(uniqueName));
}

bool TLYTallyController::isFinalUploadOutcome(const platform::Error& error) {
  if (!error) return true;
  if (error.domain() != kBCNNetworkErrorDomain || error.code() != kBCNNetworkErrorClientError) {
    return false;
  }
  const std::int64_t status = error.userInfo()[kBCNNetworkErrorStatusCodeKey].asInt64();
  // The answers that are about the package itself; the others (401, 403,
  // 404, 410, ...) are about where or as whom it was sent.
  return status == 400 || status == 413 || status == 415 || status == 422;
}

void TLYTallyController::uploaderCompletedRequest(
    TLYUploader&, const platform::urlloading::URLRequest& request,
    const std::optional<platform::urlloading::URLResponse>& response, const std::string& uniqueName,
    const platform::Error& loadError, RetryDecision completionHandler) {
  // An upload's answer is its status; a long body after a success is not
  // read and fails nothing (the package is not sent again for it).
  const platform::Error error =
      BCNNetworkResponseHandler::uploadErrorIgnoringUnreadBody(response, loadError);
  const bool taskFailed = static_cast<bool>(error);
  const std::string taskError = taskFailed ? error.description() : std::string();
  networkRetryHandler_->handleCompletedRequest(
      request, response, uniqueName, error,
      [uniqueName, taskFailed, taskError, completionHandler = std::move(completionHandler)](
          bool retry, const platform::Error& retryError) {
        if (taskFailed) logger().log("Error transmitting '%@': %@", uniqueName, taskError);
        if (retry) logger().log("Scheduling retry for '%@'.", uniqueName);
        completionHandler(retry, retryError);
      });
}

void TLYTallyController::uploaderSessionDidReceiveChallenge(
    TLYUploader&, CTRURLSession* session,
    const platform::urlloading::AuthenticationChallenge& challenge,
    const CTRURLSessionChallengeCompletion& completion) {
  networkRetryHandler_->handleChallenge(challenge, session, completion);
}

}  // namespace sdk
