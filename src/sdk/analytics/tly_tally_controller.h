// TLYTallyController: the core of the usage-analytics kit.
//
// The kit's facade (Tally) makes one controller when the kit starts and
// hands it every event. The controller owns one serial operation queue,
// "io.tally.EventQueue" (one operation at a time), on which all analytics
// work runs: it writes events into the current event log, rotates the log
// when it grows past the settings' payload size, when an event asks for a
// flush or when the flush timer fires, turns each rotated log into a
// compressed, packaged file and uploads it, decides by the settings whether
// events are recorded at all, samples lifecycle events (TLYEventFilter),
// records crash events under the metadata of the previous launch, and at
// start re-processes what earlier launches left on disk.
//
// Files, below rootDirectory() (the user's Caches folder,
// "com.crashtrail.data", the host's bundle identifier, "analytics", "v2"):
//   events/<UUID>.log              an event log (a new UUID per log)
//   events/<UUID>.gz               a compressed event log
//   events/<boundary>.multipartmime a package ready for upload
//   crash_metadata                 the metadata of the last launch
//   events_url                     the last events endpoint the settings gave
//
// Guarantees:
//  1. Events are recorded in call order: logEvent/logCrashEvent only make the
//     event's activity and block operation on the caller's thread and add
//     them to the event queue; everything else runs on that queue.
//  2. Before the first valid settings arrive, events are recorded (written)
//     but nothing is uploaded: upload operations made while the settings are
//     not valid are cancelled at once and their packages stay on disk for a
//     later launch or settings update (a package made after the settings
//     arrived is sent at once).
//  3. Settings are taken once per launch; later notifications change nothing.
//     Settings that switch analytics off remove every file of the event
//     directory, also those that writes and packaging queued before them
//     leave behind, and nothing is recorded or sent from then on.
//  4. A package is removed when the service accepted it or rejected it for
//     its content (400, 413, 415, 422), by the pending budget (below), or
//     when the settings switch analytics off. Transport failures, time-outs, 5xx and other answers
//     are retried with the back-off; once the retry policy gives up the package waits for the next
//     launch. The pending budget bounds the packages waiting on disk by number (the settings'
//     max_pending_send_file_count; 0, negative or more than kTLYMaximumPendingFileCount means the
//     default of 100) and by bytes (pendingBytesBudget()). It holds at start, when the settings
//     arrive and after every package made during the session: the oldest packages go first (the
//     newest one always stays), and the console says
//     "[Tally] Dropped N oldest pending packages ..." whatever the debug
//     switch.
//  5. Packages go only to the events endpoint the settings give. When the
//     settings hold no usable one (the key missing, or a value of the wrong
//     type), the one an earlier launch's settings gave stands in; without
//     one, the built-in endpoint, but only while the SDK talks to its
//     built-in services (a host configured for other services cannot reach
//     it); otherwise the packages wait on disk for settings that name one.
//  6. A crash event travels alone, in a log of its own whose metadata line
//     is the previous launch's: the current log is rotated first when it
//     exists or a write into it is already queued.
// Not promised: which thread runs the queue's operations.
//
// Thread safety: logEvent, logCrashEvent and the accessors of fixed parts
// (eventQueue, rootDirectory) may be called from any thread. Every other
// member belongs to the event queue and must be called from an operation
// running on it (tests reach them through runOnEventQueue).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/time_source.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "platform/system/operation.h"
#include "platform/system/operation_queue.h"
#include "platform/urlloading/url_request.h"
#include "sdk/analytics/tly_uploader.h"

namespace sdk {

class TLYEvent;
class TLYCrashEvent;
class TLYEventFilter;
class TLYMetadata;
class TLYCrashMetadata;
class TLYSettings;
class TLYTimer;
class TLYPackageLogOperation;
class TLYNetworkRetryHandler;

inline constexpr const char* kTLYEventQueueName = "io.tally.EventQueue";
inline constexpr const char* kTLYRecordEventActivity = "io.tally.RecordEvent";
inline constexpr const char* kTLYRecordCrashEventActivity = "io.tally.RecordCrashEvent";
inline constexpr const char* kTLYRotateAndSubmitActivity = "io.tally.RotateAndSubmit";
inline constexpr const char* kTLYFlushTimerIdentifier = "io.tally.TimedEventsFlush";
inline constexpr const char* kTLYEventDirectoryName = "events";
inline constexpr const char* kTLYCrashMetadataFileName = "crash_metadata";
inline constexpr const char* kTLYEventsURLFileName = "events_url";
inline constexpr const char* kTLYLogExtension = "log";
inline constexpr const char* kTLYCompressedLogExtension = "gz";
inline constexpr const char* kTLYPackageExtension = "multipartmime";
// Bounds of the flush timer's interval (seconds): the settings' value is
// clamped into them (0 or less, or NaN, still means no timer).
inline constexpr double kTLYMinimumFlushInterval = 0.1;
inline constexpr double kTLYMaximumFlushInterval = 86400;
// The pending budget (guarantee 4): the count the settings may ask for at
// most, the count used otherwise, and the bytes by default.
inline constexpr std::int64_t kTLYMaximumPendingFileCount = 10000;
inline constexpr std::int64_t kTLYDefaultPendingFileCount = 100;
inline constexpr std::uint64_t kTLYDefaultPendingBytesBudget = 16u * 1024 * 1024;

// The application notifications the controller turns into lifecycle events.
inline constexpr const char* kNSApplicationWillTerminateNotification =
    "NSApplicationWillTerminateNotification";
inline constexpr const char* kNSApplicationWillResignActiveNotification =
    "NSApplicationWillResignActiveNotification";
inline constexpr const char* kNSApplicationDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";

class TLYTallyController : public TLYUploaderDelegate,
                           public std::enable_shared_from_this<TLYTallyController> {
  struct Passkey {};

 public:
  using Ptr = std::shared_ptr<TLYTallyController>;

  // Makes the controller and starts it on the caller's thread: makes the
  // event queue with the set-up operation first on it, observes the
  // application and settings notifications, queues the install event (first
  // install only) and the launch event, takes the registry's current
  // settings and sets the registry's advertising token. The program it
  // describes (metadata, pinning, default folder) is the registry's
  // (Beacon::bundle()).
  static Ptr initWithBetaToken(std::optional<std::string> betaToken);
  static Ptr initWithBetaToken(std::optional<std::string> betaToken, std::string rootDirectory);
  // The same with the time source of the upload retries' back-off (none:
  // the steady clock).
  static Ptr initWithBetaToken(std::optional<std::string> betaToken, std::string rootDirectory,
                               platform::dispatch::TimeSourcePtr clock);
  static Ptr create(std::optional<std::string> betaToken) {
    return initWithBetaToken(std::move(betaToken));
  }

  TLYTallyController(Passkey, std::optional<std::string> betaToken, std::string rootDirectory,
                     platform::dispatch::TimeSourcePtr clock = nullptr);
  // Stops observing notifications. Operations still queued keep running
  // (they hold the controller while they run).
  ~TLYTallyController();
  TLYTallyController(const TLYTallyController&) = delete;
  TLYTallyController& operator=(const TLYTallyController&) = delete;

  // --- files -------------------------------------------------------------
  // The user's Caches folder, "com.crashtrail.data", `bundle`'s identifier
  // ("/" replaced by "_"), "analytics", "v2".
  static std::string rootDirectory(const platform::BundlePtr& bundle = platform::Bundle::main());
  std::string eventDirectoryForRootDirectory(const std::string& root) const;
  std::string crashMetadataPathForRootDirectory(const std::string& root) const;
  // A new events/<UUID>.log file URL.
  platform::URL generateNewLogPath() const;
  // events/<boundary>.multipartmime.
  platform::URL multipartMimeURLWithBoundary(const std::string& boundary) const;
  // The base name of a URL whose extension is "multipartmime", else nullopt.
  static std::optional<std::string> boundaryFromURL(const platform::URL& url);

  // --- events (any thread) -------------------------------------------------
  // Logs "Logging Tally event: %@" and queues the event (enqueueEvent).
  void logEvent(const std::shared_ptr<TLYEvent>& event);
  // Queues a crash event: it travels alone in a log of its own whose
  // metadata line is the previous launch's.
  void logCrashEvent(const std::shared_ptr<TLYCrashEvent>& event);
  void enqueueEvent(const std::shared_ptr<TLYEvent>& event);

  // --- decisions (event queue) ----------------------------------------------
  // NO before the set-up operation ran, YES while the settings are not
  // valid, else the settings' shouldCollectAnalytics.
  bool shouldLogEvent() const;
  // The file's size is greater than the settings' maximumPayloadSize.
  bool shouldSubmitLogAtURL(const platform::URL& url) const;

  // --- notifications ----------------------------------------------------------
  void registerForApplicationLifecycleEvents();
  void applicationLifecycleEvent(const platform::Notification& notification);
  void beaconSettingsDidBecomeAvailable(const platform::Notification& notification);
  // Queues an operation that takes `settings` once per launch (nothing when
  // None or when valid settings are already held).
  void initializeSettingsIfNeededWithBeaconSettings(const platform::Value& settings);

  // --- rotation, packaging, upload (event queue) ------------------------------
  void setupFlushTimer();
  void flushTimerFired();
  void rotateAndSubmitCurrentLog();
  // The settings' flush interval as the timer gets it: 0 (no timer) for 0,
  // negative or NaN, else clamped to [kTLYMinimumFlushInterval,
  // kTLYMaximumFlushInterval].
  static double boundedFlushInterval(double interval);
  // Compress, package, upload: in that order, each depending on the one
  // before. Each step's input file is removed (by an operation of its own
  // after the step) only when its output is complete; after a failure it
  // stays for a later launch.
  std::vector<platform::Operation::Ptr> operationsForUncompressedLog(const platform::URL& logURL);
  // Package, upload.
  std::vector<platform::Operation::Ptr> operationsForCompressedLog(
      const platform::URL& compressedURL);
  // Cancelled at once when the settings are not valid.
  platform::Operation::Ptr uploadOperationForFileAtURL(const platform::URL& packageURL,
                                                       const std::string& boundary);
  void cleanupAndProcessExistingFiles();
  // The settings' pending-package count as the budget takes it: the
  // default for 0, negative or more than kTLYMaximumPendingFileCount.
  static std::int64_t boundedPendingFileCount(std::int64_t setting);
  // The byte half of the budget (kTLYDefaultPendingBytesBudget unless set;
  // any thread).
  std::uint64_t pendingBytesBudget() const { return pendingBytesBudget_.load(); }
  void setPendingBytesBudget(std::uint64_t bytes) { pendingBytesBudget_.store(bytes); }
  // Removes the oldest packages over the budget (event queue); answers how
  // many went.
  std::size_t enforcePendingBudget();
  void uploadAllMultipartFiles();
  // How long this controller's terminate notification waits for the event
  // queue to finish what was queued before it returns (2 s by default).
  std::chrono::milliseconds terminationGracePeriod() const {
    return std::chrono::milliseconds(terminationGraceMs_.load());
  }
  void setTerminationGracePeriod(std::chrono::milliseconds period) {
    terminationGraceMs_.store(period.count());
  }
  void uploadMultipartFiles(const std::vector<platform::URL>& packages);
  // Removes every file of the event directory.
  void removeAllLogs();
  // Runs the crash-metadata rotation synchronously and answers the metadata
  // of the previous launch that it read before replacing it.
  std::shared_ptr<TLYCrashMetadata> replacePreviousExecutionMetadataWithCurrentMetadata(
      const std::shared_ptr<TLYMetadata>& metadata, const std::string& root);
  std::shared_ptr<TLYUploader> uploaderWithQueue(
      const std::shared_ptr<platform::OperationQueue>& queue,
      const std::shared_ptr<TLYUploaderDelegate>& delegate);

  // --- uploader delegate (event queue; the challenge on the network thread) ---
  // events/<name>.multipartmime.
  std::string uploaderFilePathForUniqueName(TLYUploader& uploader,
                                            const std::string& uniqueName) override;
  // Logs the outcome and removes the package, whether it was sent or not.
  void uploaderDidFinishUploadWithUniqueName(TLYUploader& uploader, const std::string& uniqueName,
                                             const platform::Error& error) override;
  // Asks the retry handler and passes its answer on.
  void uploaderCompletedRequest(TLYUploader& uploader,
                                const platform::urlloading::URLRequest& request,
                                const std::optional<platform::urlloading::URLResponse>& response,
                                const std::string& uniqueName, const platform::Error& error,
                                RetryDecision completionHandler) override;
  // The retry handler's certificate pinning answers.
  void uploaderSessionDidReceiveChallenge(
      TLYUploader& uploader, CTRURLSession* session,
      const platform::urlloading::AuthenticationChallenge& challenge,
      const CTRURLSessionChallengeCompletion& completion) override;

  // --- state -----------------------------------------------------------------
  const std::shared_ptr<platform::OperationQueue>& eventQueue() const { return eventQueue_; }
  const std::string& root() const { return root_; }
  const std::optional<std::string>& betaToken() const { return betaToken_; }
  // The members below belong to the event queue.
  const std::string& rootEventDirectory() const { return rootEventDirectory_; }
  const platform::URL& currentLogURL() const { return currentLogURL_; }
  const std::shared_ptr<TLYMetadata>& metadata() const { return metadata_; }
  const std::shared_ptr<TLYCrashMetadata>& previousExecutionMetadata() const {
    return previousExecutionMetadata_;
  }
  const std::shared_ptr<TLYSettings>& settings() const { return settings_; }
  // Where packages go (guarantee 5); std::nullopt before valid settings, or
  // when no usable endpoint is known and packages wait.
  const std::optional<platform::URL>& eventsURL() const { return eventsURL_; }
  const std::shared_ptr<TLYEventFilter>& eventFilter() const { return eventFilter_; }
  const std::shared_ptr<TLYUploader>& uploader() const { return uploader_; }
  const std::shared_ptr<TLYNetworkRetryHandler>& networkRetryHandler() const {
    return networkRetryHandler_;
  }
  const std::shared_ptr<TLYTimer>& flushTimer() const { return flushTimer_; }

  // Runs `block` as one operation on the event queue and waits for it (for
  // tests and shutdown paths; never call it from the event queue).
  void runOnEventQueue(const std::function<void()>& block);

 private:
  // True when an upload's outcome ends its package (see guarantee 4).
  static bool isFinalUploadOutcome(const platform::Error& error);
  // An operation, run after `step`, that removes `input` when `succeeded`
  // says the step's output is complete.
  static platform::Operation::Ptr removalAfter(
      const platform::Operation::Ptr& step, const platform::URL& input,
      std::function<bool(const platform::Operation&)> succeeded);
  // An operation, run after `package`, that holds the pending budget.
  platform::Operation::Ptr budgetAfter(const platform::Operation::Ptr& package);
  std::shared_ptr<TLYPackageLogOperation> packageOperation(const platform::URL& compressedURL,
                                                           const platform::URL& packageURL,
                                                           const std::string& boundary);
  void start();
  void setUp();
  // Guarantee 5, for the settings just taken; remembers a usable endpoint
  // the settings give for later launches.
  std::optional<platform::URL> resolveEventsURL();
  // The SDK's settings come from its built-in settings service (no
  // environment or information-property-list override).
  static bool builtInServicesInUse();
  // Logs "queuing bug in %s: %@ != %@" when not running on the event queue.
  void checkOnEventQueue(const char* method) const;
  // Adds a write into the current log to the queue.
  void queueWrite(const platform::Operation::Ptr& write);

  const std::optional<std::string> betaToken_;
  const std::string root_;
  std::atomic<long long> terminationGraceMs_{2000};
  std::atomic<std::uint64_t> pendingBytesBudget_{kTLYDefaultPendingBytesBudget};
  const platform::dispatch::TimeSourcePtr clock_;
  std::shared_ptr<platform::OperationQueue> eventQueue_;
  std::vector<platform::NotificationCenter::ObserverToken> observers_;

  std::string rootEventDirectory_;
  platform::URL currentLogURL_;
  // A write into currentLogURL_ has been queued (it may not have run yet).
  bool currentLogHasQueuedWrites_ = false;
  // Set by the first termination notification (any thread).
  std::atomic<bool> terminationRecorded_{false};
  std::shared_ptr<TLYMetadata> metadata_;
  std::shared_ptr<TLYCrashMetadata> previousExecutionMetadata_;
  std::shared_ptr<TLYSettings> settings_;
  std::optional<platform::URL> eventsURL_;
  std::shared_ptr<TLYEventFilter> eventFilter_;
  std::shared_ptr<TLYUploader> uploader_;
  std::shared_ptr<TLYNetworkRetryHandler> networkRetryHandler_;
  std::shared_ptr<TLYTimer> flushTimer_;
};

}  // namespace sdk
