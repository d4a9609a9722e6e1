#include "sdk/crash/crashtrail.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdlib>
#include <utility>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/exception.h"
#include "platform/system/operation_queue.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"
#include "sdk/analytics/tally.h"
#include "sdk/crash/capture/ctr_application.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/capture/ctr_user_logging.h"
#include "sdk/crash/ctr_file_manager.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_host.h"
#include "sdk/platform/beacon.h"

namespace sdk {
namespace {

struct Shared {
  std::mutex mutex;
  std::shared_ptr<Crashtrail> instance;
};

Shared& shared() {
  static Shared* s = new Shared();  // process lifetime, also during exit and at crash time
  return *s;
}

// The class is in the process as soon as this file is linked in.
const bool registered = [] {
  Crashtrail::registerKitClass();
  return true;
}();

void onMainQueue(std::function<void()> block) {
  platform::dispatch::Queue::main()->async(std::move(block));
}

// A single-precision float as the number a reader of it expects: its
// shortest decimal form (0.1f is 0.1, not 0.100000001490116).
platform::Value floatNumber(float value) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof(text), value);
  *result.ptr = '\0';
  return platform::Value(std::strtod(text, nullptr));
}

platform::Value optionalText(const std::optional<std::string>& text) {
  return text ? platform::Value(*text) : platform::Value();
}

std::string configurationDescription(const CTRWebViewConfiguration* configuration) {
  if (configuration == nullptr) return "(null)";
  return platform::format("<CTRWebViewConfiguration: %@ user scripts>",
                          static_cast<std::uint64_t>(configuration->userScripts.size()));
}

}  // namespace

// --- the kit contract and the start ---------------------------------------------------

std::shared_ptr<Crashtrail> Crashtrail::sharedInstance() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.instance) s.instance = std::make_shared<Crashtrail>(Passkey{}, Options{});
  return s.instance;
}

Crashtrail::Crashtrail(Passkey, Options options) : options_(std::move(options)) {}

Crashtrail::~Crashtrail() = default;

BCNKitClass Crashtrail::kitClass() {
  BCNKitClass kit;
  kit.name = kCrashtrailKitClassName;
  kit.conformsToBCNKit = true;
  kit.bundleIdentifier = &Crashtrail::bundleIdentifier;
  kit.kitDisplayVersion = &Crashtrail::kitDisplayVersion;
  kit.kitBuildVersion = &Crashtrail::kitBuildVersion;
  kit.initializeIfNeeded = &Crashtrail::initializeIfNeeded;
  return kit;
}

void Crashtrail::registerKitClass() { Beacon::registerKitClass(kitClass()); }

void Crashtrail::initializeIfNeeded() { sharedInstance()->start(); }

void Crashtrail::start() {
  std::call_once(startOnce_, [this] {
    const std::uint64_t mark = CTRProfilingStart();
    BCNConsoleLog("[Crashtrail] Version %@ (%@)", kCrashtrailKitDisplayVersion,
                  kCrashtrailKitBuildVersion);
    BCNConsoleDebugLog("[Crashtrail] Running on %@, %@ (%@)", BCNHostGetModel().value_or(""),
                       BCNHostGetOSDisplayVersion(), BCNHostGetOSBuildVersion().value_or(""));

    std::shared_ptr<Crashtrail> self = shared_from_this();
    platform::OperationQueue::mainQueue()->addOperationWithBlock(
        [self] { self->warnAboutDelegate(self->delegate()); });

    // The program reported on is the one the registry describes.
    const platform::BundlePtr bundle = Beacon::sharedSDK()->bundle();
    auto fileManager = std::make_shared<CTRFileManager>(bundle);

    std::shared_ptr<CTRBetaController> beta;
    if (CTRBetaController::isBetaSupported(bundle)) {
      beta = CTRBetaController::initWithDelegate(std::weak_ptr<CTRBetaControllerDelegate>(self),
                                                 bundle);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        betaController_ = beta;
      }
      if (!beta->start()) BCNConsoleLog("[Crashtrail] Beta could not be initialized");
    }
    // The beta controller asks this kit for its token, which is none here:
    // crash reporting and analytics start without one.
    const std::optional<std::string> betaToken =
        beta ? betaTokenForBetaController(*beta) : std::nullopt;

    std::shared_ptr<CTRCrashReportingController> controller;
    bool reporting = false;
    if (options_.controllerStarter) {
      reporting = options_.controllerStarter(*this, fileManager, mark, betaToken, &controller);
      std::lock_guard<std::mutex> lock(mutex_);
      crashReportingController_ = controller;
    } else {
      CTRCrashReportingController::Options options;
      options.bundle = bundle;
      controller = CTRCrashReportingController::create(
          fileManager, std::weak_ptr<CTRCrashReportingControllerDelegate>(self),
          std::move(options));
      {
        // Kept before its start: the controller calls back into this kit
        // (and the application's delegate may look at the kit) meanwhile.
        std::lock_guard<std::mutex> lock(mutex_);
        crashReportingController_ = controller;
      }
      started_.store(true);
      reporting = controller->startWithProfilingMark(mark, betaToken);
    }
    started_.store(true);
    if (!reporting) BCNConsoleLog("[Crashtrail] Crash reporting could not be initialized");

    Tally::startWithBetaToken(betaToken);
  });
}

std::shared_ptr<Crashtrail> Crashtrail::startWithAPIKey(const std::string& apiKey,
                                                        DelegatePtr delegate) {
  auto kit = sharedInstance();
  if (delegate) kit->setDelegate(std::move(delegate));
  // The registry offers no "initializeKitsWithBeaconAPIKey": set its key and
  // register this kit with it.
  Beacon::sharedSDK()->setAPIKey(apiKey);
  Beacon::with({BCNKitElement(kit)});
  return kit;
}

std::shared_ptr<Crashtrail> Crashtrail::startWithAPIKeyAfterDelay(const std::string& apiKey,
                                                                  double delay) {
  (void)delay;
  BCNConsoleLog("[Crashtrail] Warning, startWithAPIKey:afterDelay: is deprecated.");
  return startWithAPIKey(apiKey);
}

std::shared_ptr<Crashtrail> Crashtrail::startWithAPIKeyDelegateAfterDelay(const std::string& apiKey,
                                                                          DelegatePtr delegate,
                                                                          double delay) {
  (void)delay;
  BCNConsoleLog("[Crashtrail] Warning, startWithAPIKey:delegate:afterDelay: is deprecated.");
  return startWithAPIKey(apiKey, std::move(delegate));
}

void Crashtrail::warnAboutDelegate(const DelegatePtr& delegate) {
  if (!delegate) return;
  if (delegate->implementsDeprecatedMethods()) {
    BCNConsoleLog(
        "[Crashtrail] The Crashtrail delegate '%@' implements deprecated methods.  Please see "
        "Crashtrail.h for details.",
        delegate->description);
  }
  if (delegate->crashtrailCanUseBackgroundSessions &&
      delegate->crashtrailCanUseBackgroundSessions(*this) &&
      CTRApplicationIsExtension(Beacon::sharedSDK()->bundle())) {
    BCNConsoleLog(
        "[Crashtrail] Background sessions are not supported in extensions. Please see "
        "Crashtrail.h for details.");
  }
}

// --- identity and modes -------------------------------------------------------------------

std::optional<std::string> Crashtrail::APIKey() const { return Beacon::sharedSDK()->APIKey(); }

std::string Crashtrail::legacyInstallIDPath() {
  return platform::paths::applicationSupport() + "/" + kCrashtrailLegacyDefaultsFolder + "/" +
         kCrashtrailLegacyDefaultsFile;
}

std::optional<std::string> Crashtrail::legacyInstallID() {
  const std::string path = legacyInstallIDPath();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return std::nullopt;
  const platform::Value defaults = platform::plist::readFile(path);
  if (!defaults.isDictionary()) return std::nullopt;
  const platform::Value value = defaults[kCrashtrailLegacyInstallIDKey];
  if (!value.isString() || value.asString().empty()) return std::nullopt;
  return value.asString();
}

std::string Crashtrail::installID() const {
  if (auto legacy = legacyInstallID()) return *legacy;
  return Beacon::sharedSDK()->installID();
}

bool Crashtrail::isFirstInstall() const { return Beacon::sharedSDK()->isFirstInstall(); }

bool Crashtrail::isCrashtrailStarted() const { return started_.load(); }

void Crashtrail::setDebugMode(bool debugMode) {
  // Debug mode can only be switched on: the argument is not looked at.
  (void)debugMode;
  Beacon::sharedSDK()->setDebug(true);
  if (isCrashtrailStarted()) {
    BCNConsoleLog("[Crashtrail] Warning, consider enabling debug mode before starting Crashtrail");
  }
}

bool Crashtrail::debugMode() const { return Beacon::sharedSDK()->debug(); }

void Crashtrail::setDelegate(DelegatePtr delegate) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (delegate) retiredDelegates_.push_back(delegate);
    delegate_ = delegate;
    crashDelegate_.store(delegate.get());
  }
  if (isCrashtrailStarted()) {
    BCNConsoleLog(
        "[Crashtrail] Warning, setting delegate after start. Make sure to set the Crashtrail "
        "delegate before calling startWithAPIKey:.., or +[Beacon with...] to avoid missing some "
        "delegate callbacks.");
  }
}

Crashtrail::DelegatePtr Crashtrail::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_;
}

std::shared_ptr<CTRCrashReportingController> Crashtrail::crashReportingController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return crashReportingController_;
}

std::shared_ptr<CTRBetaController> Crashtrail::betaController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return betaController_;
}

// --- public recording operations ------------------------------------------------------------

void Crashtrail::setUserIdentifier(const std::optional<std::string>& identifier) {
  CTRUserLoggingRecordInternalKeyValue(Value(kCTRUserIdentifierKey), optionalText(identifier));
}

void Crashtrail::setUserName(const std::optional<std::string>& name) {
  CTRUserLoggingRecordInternalKeyValue(Value(kCTRUserNameKey), optionalText(name));
}

void Crashtrail::setUserEmail(const std::optional<std::string>& email) {
  CTRUserLoggingRecordInternalKeyValue(Value(kCTRUserEmailKey), optionalText(email));
}

void Crashtrail::setObjectValue(const Value& value, const std::string& key) {
  CTRUserLoggingRecordUserKeyValue(Value(key), value);
}

void Crashtrail::setIntValue(std::int32_t value, const std::string& key) {
  setObjectValue(Value(value), key);
}

void Crashtrail::setBoolValue(bool value, const std::string& key) {
  setObjectValue(Value(value), key);
}

void Crashtrail::setFloatValue(float value, const std::string& key) {
  setObjectValue(floatNumber(value), key);
}

void Crashtrail::setDevelopmentPlatformName(const std::optional<std::string>& name) {
  CTRUserLoggingRecordInternalKeyValue(Value(kCrashtrailDevelopmentPlatformNameKey),
                                       optionalText(name));
}

void Crashtrail::setDevelopmentPlatformVersion(const std::optional<std::string>& version) {
  CTRUserLoggingRecordInternalKeyValue(Value(kCrashtrailDevelopmentPlatformVersionKey),
                                       optionalText(version));
}

std::optional<std::string> Crashtrail::developmentPlatformName() const {
  BCNConsoleLog("[Crashtrail] developmentPlatformName is write-only");
  return std::nullopt;
}

std::optional<std::string> Crashtrail::developmentPlatformVersion() const {
  BCNConsoleLog("[Crashtrail] developmentPlatformVersion is write-only");
  return std::nullopt;
}

void Crashtrail::recordError(const platform::Error& error, const Value& additionalUserInfo) {
  // A copy: the caller may go on changing a mutable dictionary.
  CTRUserLoggingRecordError(error, additionalUserInfo.copy());
}

void Crashtrail::recordCustomExceptionName(const std::string& name, const std::string& reason,
                                           const CTRStackFrameList& frames) {
  const std::string nameCopy = name;
  const std::string reasonCopy = reason;
  const CTRStackFrameList framesCopy = frames;
  CTRExceptionRecord(kCTRExceptionTypeCustom, nameCopy.c_str(), reasonCopy.c_str(), framesCopy,
                     false);
}

void Crashtrail::monitorErrorsForWKWebViewConfiguration(CTRWebViewConfiguration* configuration) {
  if (configuration == nullptr || !CTRWKWebViewInstallErrorScript(configuration)) {
    BCNConsoleLog("[Crashtrail] Unable to monitor %@", configurationDescription(configuration));
  }
}

void Crashtrail::userContentControllerDidReceiveScriptMessage(const Value& messageBody) {
  if (!CTRWKWebViewHandleScriptMessage(messageBody)) {
    BCNConsoleLog("[Crashtrail] Unable to record exception from WKWebView");
  }
}

void Crashtrail::crash() {
  // ud2 on x86-64: the process ends with SIGILL.
  __builtin_trap();
}

void Crashtrail::throwException() { CTRExceptionRaiseTestException(); }

void Crashtrail::logEvent(const std::string& eventName, const Value& attributes) {
  Tally::logCustomEventWithName(eventName, attributes);
}

// --- CTRCrashReportingControllerDelegate ------------------------------------------------------

CTRSettings::Ptr Crashtrail::currentSettings() const {
  const std::shared_ptr<Beacon> beacon = Beacon::sharedSDK();
  return CTRSettings::initWithDictionary(beacon->settings(), beacon->bundle());
}

std::string Crashtrail::APIKeyForCrashReportingController(CTRCrashReportingController&) {
  return APIKey().value_or("");
}

std::string Crashtrail::installIDForCrashReportingController(CTRCrashReportingController&) {
  return installID();
}

bool Crashtrail::isFirstInstallForCrashReportingController(CTRCrashReportingController&) {
  return isFirstInstall();
}

CTRSettings::Ptr Crashtrail::settingsForCrashReportingController(CTRCrashReportingController&) {
  return currentSettings();
}

bool Crashtrail::shouldInstallCrashCallback() {
  auto d = delegate();
  return d && d->crashtrailDidDetectCrash;
}

void Crashtrail::detectedCrash() {
  // Crash time: no lock, only the atomic pointer (guarantee 4).
  const CrashtrailDelegate* d = crashDelegate_.load();
  if (d != nullptr && d->crashtrailDidDetectCrash) d->crashtrailDidDetectCrash(*this);
}

bool Crashtrail::reportingControllerEnsureDeliveryOfUnixSignal(CTRCrashReportingController&,
                                                               int signal) {
  auto d = delegate();
  if (d && d->crashtrailEnsureDeliveryOfUnixSignal) {
    return d->crashtrailEnsureDeliveryOfUnixSignal(*this, signal);
  }
  return false;
}

bool Crashtrail::reportingControllerMustInformDelegateOfReports(CTRCrashReportingController&) {
  auto d = delegate();
  return d && (d->crashtrailDidDetectReportForLastExecutionCompletionHandler ||
               d->implementsDeprecatedMethods());
}

bool Crashtrail::reportingControllerCanUseBackgroundSessions(CTRCrashReportingController&) {
  auto d = delegate();
  if (d && d->crashtrailCanUseBackgroundSessions)
    return d->crashtrailCanUseBackgroundSessions(*this);
  return !CTRApplicationIsExtension(Beacon::sharedSDK()->bundle());
}

void Crashtrail::reportingControllerInternalDidDetectReportForLastExecution(
    CTRCrashReportingController&, const std::shared_ptr<CTRInternalReport>& internalReport) {
  if (!internalReport) return;
  auto report = std::make_shared<CTRReport>(internalReport);
  const Value isCrash = report->isCrash();
  if (!isCrash.isBool() || !isCrash.asBool()) return;
  const Value created = report->dateCreated();
  std::optional<platform::Date> date;
  if (created.isDate()) date = created.asDate();
  onMainQueue([date] { Tally::logPreviousSessionCrashedOnDate(date); });
}

void Crashtrail::reportingControllerDidDetectReportForLastExecution(
    CTRCrashReportingController& controller,
    const std::shared_ptr<CTRInternalReport>& internalReport, SubmitCompletion completionHandler) {
  auto d = delegate();
  std::shared_ptr<CTRReport> report;
  if (d && d->crashtrailDidDetectReportForLastExecution && internalReport) {
    report = std::make_shared<CTRReport>(internalReport, true);
    onMainQueue([d, report] { d->crashtrailDidDetectReportForLastExecution(report); });
  }
  if (reportingControllerMustInformDelegateOfReports(controller)) {
    if (!report && internalReport) report = std::make_shared<CTRReport>(internalReport);
    if (d->crashtrailDidDetectReportForLastExecutionCompletionHandler) {
      d->crashtrailDidDetectReportForLastExecutionCompletionHandler(report,
                                                                    std::move(completionHandler));
    } else if (completionHandler) {
      completionHandler(true);
    }
    std::shared_ptr<Crashtrail> self = shared_from_this();
    onMainQueue([self, d, report] {
      if (d->crashtrailDidDetectCrashDuringPreviousExecution) {
        d->crashtrailDidDetectCrashDuringPreviousExecution(*self, report);
      }
      if (d->crashtrailDidDetectCrashDuringPreviousExecutionKit) {
        d->crashtrailDidDetectCrashDuringPreviousExecutionKit(*self);
      }
    });
    return;
  }
  if (completionHandler) completionHandler(true);
}

// --- CTRBetaControllerDelegate -------------------------------------------------------------------

CTRSettings::Ptr Crashtrail::settingsForBetaController(CTRBetaController&) {
  return currentSettings();
}

std::optional<std::string> Crashtrail::APIKeyForBetaController(CTRBetaController&) {
  return APIKey();
}

std::optional<std::string> Crashtrail::betaTokenForBetaController(CTRBetaController&) {
  return std::nullopt;
}

// --- tests
// -------------------------------------------------------------------------------------------

void Crashtrail::resetSharedInstanceForTesting(Options options) {
  auto instance = std::make_shared<Crashtrail>(Passkey{}, std::move(options));
  std::shared_ptr<Crashtrail> old;
  std::lock_guard<std::mutex> lock(shared().mutex);
  old = std::exchange(shared().instance, std::move(instance));
}

}  // namespace sdk
