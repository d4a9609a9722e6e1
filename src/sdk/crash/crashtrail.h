// Crashtrail: the crash-reporting kit as the host application and the kit
// registry see it. A process-wide singleton that starts crash reporting (and
// the beta checks where they are supported) once, starts the analytics kit,
// offers the public recording operations (user identity, custom keys,
// recorded errors, custom exceptions, test crashes, event logging) and
// translates between the application's CrashtrailDelegate and the internal
// delegates of the crash reporting controller and the beta controller.
//
// Guarantees:
//  1. sharedInstance() makes the one instance on first use, once, also
//     under concurrent first calls. The class registers itself with the kit
//     registry under the name "Crashtrail" when the program starts (and
//     again, harmlessly, through registerKitClass()); the registry's start
//     hook (initializeIfNeeded) is start() of the shared instance.
//  2. start() runs its body once per process: it logs the version line,
//     warns about the delegate on the main queue, makes the file manager,
//     the beta controller (only where beta is supported) and the crash
//     reporting controller, starts them, and starts the analytics kit with
//     the same (absent) beta token. Later calls do nothing.
//  3. setDebugMode turns the registry's debug switch on whatever it is
//     given; after the start it also logs a warning. setDelegate after the
//     start logs a warning; the new delegate gets the later callbacks.
//  4. The crash-time callback (detectedCrash) takes no lock and allocates
//     nothing of its own: it reads the delegate through an atomic pointer
//     whose targets are kept alive for the life of the process.
//  5. Report decisions: a delegate that wants to decide (the completion
//     form) gets the report and the completion on the calling thread; one
//     with only the older forms makes every report be submitted and is told
//     on the main queue; without any of them every report is submitted.
//
// The program reported on is the one the kit registry describes
// (Beacon::bundle()): its facts are read at start and when asked, never at
// crash time.
//
// Thread safety: every operation may be called from any thread; start()
// runs on its caller's thread (the main thread at launch) and main-queue
// callbacks are posted to the main queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "sdk/crash/capture/ctr_exception.h"
#include "sdk/crash/ctr_beta_controller.h"
#include "sdk/crash/ctr_crash_reporting_controller.h"
#include "sdk/crash/ctr_report.h"
#include "sdk/crash/ctr_settings.h"
#include "sdk/crash/ctr_stack_frame.h"
#include "sdk/platform/bcn_kit.h"

namespace sdk {

class Crashtrail;

// Kit identity.
inline constexpr const char* kCrashtrailKitClassName = "Crashtrail";
inline constexpr const char* kCrashtrailBundleIdentifier = "com.beacon.crashtrail.mac";
inline constexpr const char* kCrashtrailKitDisplayVersion = "3.8.4";
inline constexpr const char* kCrashtrailKitBuildVersion = "121";

// Internal keys of the development platform (the user keys live in ctr_report.h).
inline constexpr const char* kCrashtrailDevelopmentPlatformNameKey =
    "com.crashtrail.development-platform-name";
inline constexpr const char* kCrashtrailDevelopmentPlatformVersionKey =
    "com.crashtrail.development-platform-version";

// The test exception of throwException().
inline constexpr const char* kCrashtrailTestExceptionName = "CrashtrailTestException";
inline constexpr const char* kCrashtrailTestExceptionReason =
    "This is an Objective-C exception using for testing.";

// The legacy install identifier: <Application Support>/com.crashtrail/
// CTRUserDefaults.plist, key "com.crashtrail.iuuid".
inline constexpr const char* kCrashtrailLegacyDefaultsFolder = "com.crashtrail";
inline constexpr const char* kCrashtrailLegacyDefaultsFile = "CTRUserDefaults.plist";
inline constexpr const char* kCrashtrailLegacyInstallIDKey = "com.crashtrail.iuuid";

// The name under which the kit answers web-view script messages.
inline constexpr const char* kCrashtrailScriptMessageHandlerName = "crashtrail";

// The application's delegate. Every operation is optional: an empty member
// is an operation the delegate does not implement.
struct CrashtrailDelegate {
  using Completion = std::function<void(bool submit)>;

  // How the delegate is named in console lines.
  std::string description = "CrashtrailDelegate";

  // A report of an earlier launch needs a decision: call the completion
  // with true to submit it or false to delete it (from any thread).
  std::function<void(const std::shared_ptr<CTRReport>& report, Completion completion)>
      crashtrailDidDetectReportForLastExecutionCompletionHandler;
  // Informational, on the main queue, with a report whose data is loaded.
  std::function<void(const std::shared_ptr<CTRReport>& report)>
      crashtrailDidDetectReportForLastExecution;
  // Older forms, on the main queue after a report decision.
  std::function<void(Crashtrail& crashtrail, const std::shared_ptr<CTRReport>& report)>
      crashtrailDidDetectCrashDuringPreviousExecution;
  std::function<void(Crashtrail& crashtrail)> crashtrailDidDetectCrashDuringPreviousExecutionKit;
  // At crash time, synchronously on the thread that handles the crash.
  // Must be async-signal-safe.
  std::function<void(Crashtrail& crashtrail)> crashtrailDidDetectCrash;
  // Whether uploads may use a background session.
  std::function<bool(Crashtrail& crashtrail)> crashtrailCanUseBackgroundSessions;
  // Per handled signal: true leaves its machine exception to the signal
  // handlers.
  std::function<bool(Crashtrail& crashtrail, int signal)> crashtrailEnsureDeliveryOfUnixSignal;

  bool implementsDeprecatedMethods() const {
    return static_cast<bool>(crashtrailDidDetectCrashDuringPreviousExecution) ||
           static_cast<bool>(crashtrailDidDetectCrashDuringPreviousExecutionKit);
  }
};

class Crashtrail : public BCNObject,
                   public CTRCrashReportingControllerDelegate,
                   public CTRBetaControllerDelegate,
                   public std::enable_shared_from_this<Crashtrail> {
  struct Passkey {};

 public:
  using Value = platform::Value;
  using DelegatePtr = std::shared_ptr<CrashtrailDelegate>;
  // Makes and starts the crash reporting controller (start step 6): puts
  // the controller into *controller (it may stay nullptr) and answers
  // whether crash reporting started.
  using ControllerStarter =
      std::function<bool(Crashtrail& kit, const std::shared_ptr<CTRFileManager>& fileManager,
                         std::uint64_t mark, const std::optional<std::string>& betaToken,
                         std::shared_ptr<CTRCrashReportingController>* controller)>;

  // What a test gives the instance it makes (see resetSharedInstanceForTesting).
  struct Options {
    // Makes and starts the crash reporting controller in place of the real
    // one (which installs process-wide crash handlers) when not empty.
    ControllerStarter controllerStarter;
  };

  // --- the kit contract and the start ------------------------------------------
  static std::shared_ptr<Crashtrail> sharedInstance();
  Crashtrail(Passkey, Options options);
  ~Crashtrail() override;
  Crashtrail(const Crashtrail&) = delete;
  Crashtrail& operator=(const Crashtrail&) = delete;

  static std::string bundleIdentifier() { return kCrashtrailBundleIdentifier; }
  static std::string kitDisplayVersion() { return kCrashtrailKitDisplayVersion; }
  static std::string kitBuildVersion() { return kCrashtrailKitBuildVersion; }
  std::string instanceBundleIdentifier() const { return kCrashtrailBundleIdentifier; }
  std::string version() const { return kCrashtrailKitDisplayVersion; }
  std::string className() const override { return kCrashtrailKitClassName; }
  // The registry record of this class, and its registration (guarantee 1).
  static BCNKitClass kitClass();
  static void registerKitClass();
  // start() of the shared instance.
  static void initializeIfNeeded();
  // Guarantee 2.
  void start();
  Value kitInfo() const { return Value(); }
  Value settingsDictionary() const { return Value(); }
  void setKitInfo(const Value&) {}

  // Sets the registry's API key and registers the shared instance with the
  // registry (which starts the kits). May throw "BCNException" as the
  // registry does.
  static std::shared_ptr<Crashtrail> startWithAPIKey(const std::string& apiKey,
                                                     DelegatePtr delegate = nullptr);
  // Deprecated: log their warning and start at once.
  static std::shared_ptr<Crashtrail> startWithAPIKeyAfterDelay(const std::string& apiKey,
                                                               double delay);
  static std::shared_ptr<Crashtrail> startWithAPIKeyDelegateAfterDelay(const std::string& apiKey,
                                                                       DelegatePtr delegate,
                                                                       double delay);

  // --- identity and modes ---------------------------------------------------------
  std::optional<std::string> APIKey() const;
  // The legacy install identifier when one is stored, else the registry's.
  std::string installID() const;
  bool isFirstInstall() const;
  bool isCrashtrailStarted() const;
  void setDebugMode(bool debugMode);
  bool debugMode() const;
  void setDelegate(DelegatePtr delegate);
  DelegatePtr delegate() const;
  std::shared_ptr<CTRCrashReportingController> crashReportingController() const;
  std::shared_ptr<CTRBetaController> betaController() const;

  // The legacy install identifier file's path and its value (nullopt when
  // the file is missing, a directory, unreadable or has no text value).
  static std::string legacyInstallIDPath();
  static std::optional<std::string> legacyInstallID();

  // --- public recording operations ---------------------------------------------------
  void setUserIdentifier(const std::optional<std::string>& identifier);
  void setUserName(const std::optional<std::string>& name);
  void setUserEmail(const std::optional<std::string>& email);
  void setObjectValue(const Value& value, const std::string& key);
  void setIntValue(std::int32_t value, const std::string& key);
  void setBoolValue(bool value, const std::string& key);
  void setFloatValue(float value, const std::string& key);
  void setDevelopmentPlatformName(const std::optional<std::string>& name);
  void setDevelopmentPlatformVersion(const std::optional<std::string>& version);
  // Write-only: log and answer none.
  std::optional<std::string> developmentPlatformName() const;
  std::optional<std::string> developmentPlatformVersion() const;

  void recordError(const platform::Error& error, const Value& additionalUserInfo = Value());
  void recordCustomExceptionName(const std::string& name, const std::string& reason,
                                 const CTRStackFrameList& frames);

  // Registers this kit as the script message handler "crashtrail" and
  // installs the error script; logs when that is not possible (always on
  // this platform, which has no web-view engine).
  void monitorErrorsForWKWebViewConfiguration(CTRWebViewConfiguration* configuration);
  // Records a web view's error message (the script message's body); logs
  // when it cannot.
  void userContentControllerDidReceiveScriptMessage(const Value& messageBody);

  // Ends the process at once with an illegal-instruction trap.
  [[noreturn]] void crash();
  // Raises platform::Exception "CrashtrailTestException" (reported through
  // the application object first, as an uncaught exception would be).
  [[noreturn]] void throwException();

  void logEvent(const std::string& eventName, const Value& attributes = Value());

  // The class forms forward to the shared instance.
  static void setUserIdentifierOnShared(const std::optional<std::string>& v) {
    sharedInstance()->setUserIdentifier(v);
  }
  static void setUserNameOnShared(const std::optional<std::string>& v) {
    sharedInstance()->setUserName(v);
  }
  static void setUserEmailOnShared(const std::optional<std::string>& v) {
    sharedInstance()->setUserEmail(v);
  }
  static void setObjectValueOnShared(const Value& v, const std::string& key) {
    sharedInstance()->setObjectValue(v, key);
  }
  static void setIntValueOnShared(std::int32_t v, const std::string& key) {
    sharedInstance()->setIntValue(v, key);
  }
  static void setBoolValueOnShared(bool v, const std::string& key) {
    sharedInstance()->setBoolValue(v, key);
  }
  static void setFloatValueOnShared(float v, const std::string& key) {
    sharedInstance()->setFloatValue(v, key);
  }
  static void setDevelopmentPlatformNameOnShared(const std::optional<std::string>& v) {
    sharedInstance()->setDevelopmentPlatformName(v);
  }
  static void setDevelopmentPlatformVersionOnShared(const std::optional<std::string>& v) {
    sharedInstance()->setDevelopmentPlatformVersion(v);
  }
  static void logEventOnShared(const std::string& eventName, const Value& attributes = Value()) {
    sharedInstance()->logEvent(eventName, attributes);
  }

  // --- CTRCrashReportingControllerDelegate -----------------------------------------------
  std::string APIKeyForCrashReportingController(CTRCrashReportingController& c) override;
  std::string installIDForCrashReportingController(CTRCrashReportingController& c) override;
  bool isFirstInstallForCrashReportingController(CTRCrashReportingController& c) override;
  CTRSettings::Ptr settingsForCrashReportingController(CTRCrashReportingController& c) override;
  bool shouldInstallCrashCallback() override;
  void detectedCrash() override;
  bool reportingControllerEnsureDeliveryOfUnixSignal(CTRCrashReportingController& c,
                                                     int signal) override;
  bool reportingControllerMustInformDelegateOfReports(CTRCrashReportingController& c) override;
  bool reportingControllerCanUseBackgroundSessions(CTRCrashReportingController& c) override;
  void reportingControllerInternalDidDetectReportForLastExecution(
      CTRCrashReportingController& c, const std::shared_ptr<CTRInternalReport>& report) override;
  void reportingControllerDidDetectReportForLastExecution(
      CTRCrashReportingController& c, const std::shared_ptr<CTRInternalReport>& report,
      SubmitCompletion completionHandler) override;

  // --- CTRBetaControllerDelegate -----------------------------------------------------------
  CTRSettings::Ptr settingsForBetaController(CTRBetaController& controller) override;
  std::optional<std::string> APIKeyForBetaController(CTRBetaController& controller) override;
  // This kit's beta-token source: none in this system.
  std::optional<std::string> betaTokenForBetaController(CTRBetaController& controller) override;

  // --- tests ----------------------------------------------------------------------------------
  // Replaces the shared instance (and with it its start) by a new one made
  // with `options`: the kit registry starts the one shared instance, which
  // no caller makes, so a test makes it here.
  static void resetSharedInstanceForTesting(Options options = {});

 private:
  void warnAboutDelegate(const DelegatePtr& delegate);
  CTRSettings::Ptr currentSettings() const;

  const Options options_;
  std::once_flag startOnce_;
  mutable std::mutex mutex_;  // guards the fields below; never held while calling out
  DelegatePtr delegate_;
  std::shared_ptr<CTRCrashReportingController> crashReportingController_;
  std::shared_ptr<CTRBetaController> betaController_;
  std::atomic<bool> started_{false};
  // What the crash-time callback reads (guarantee 4); every delegate ever
  // set stays in retiredDelegates_ so that the pointer stays valid.
  std::atomic<const CrashtrailDelegate*> crashDelegate_{nullptr};
  std::vector<DelegatePtr> retiredDelegates_;
};

}  // namespace sdk
