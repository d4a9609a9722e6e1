// Tally: the public facade of the usage-analytics kit. The host
// application, the kit registry and crash reporting start the kit and
// record events through it.
//
// Guarantees:
//  1. sharedInstance() makes the one instance on first use, once, also
//     under concurrent first calls.
//  2. startWithBetaToken runs its body once per process (later calls do
//     nothing, whatever token they pass): it sets the analytics console
//     logger's debug switch from the kit registry's, logs "Initialized" and
//     makes the analytics controller with the beta token.
//  3. Every log operation builds its event on the calling thread (attribute
//     messages appear there) and hands it to the controller, which queues
//     all further work on its own event queue. Before the kit is started
//     (no controller) the event is dropped without any message.
//  4. Tally is a kit of the registry: it registers itself under the class
//     name "Tally" (kit identifier "com.beacon.tally.mac", display version
//     "1.3.4", build version "26") when the program starts, so that a host
//     registering crash reporting also starts analytics.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/date.h"
#include "platform/foundation/value.h"
#include "sdk/analytics/tly_predefined_event.h"
#include "sdk/platform/bcn_kit.h"

namespace sdk {

class TLYTallyController;

inline constexpr const char* kTallyKitClassName = "Tally";
inline constexpr const char* kTallyBundleIdentifier = "com.beacon.tally.mac";
inline constexpr const char* kTallyKitDisplayVersion = "1.3.4";
inline constexpr const char* kTallyKitBuildVersion = "26";

class Tally : public BCNObject {
  struct Passkey {};

 public:
  using Value = platform::Value;
  using ControllerFactory =
      std::function<std::shared_ptr<TLYTallyController>(const std::optional<std::string>&)>;

  // What a test gives the instance it makes (see resetSharedInstanceForTesting).
  struct Options {
    // Makes the controller at the start (TLYTallyController::initWithBetaToken
    // when empty), for example on a temporary root.
    ControllerFactory controllerFactory;
  };

  static std::shared_ptr<Tally> sharedInstance();
  Tally(Passkey, Options options);

  // --- start ----------------------------------------------------------------
  // sharedInstance()->startInstanceWithBetaToken(betaToken).
  static void startWithBetaToken(const std::optional<std::string>& betaToken);
  // Guarantee 2.
  void startInstanceWithBetaToken(const std::optional<std::string>& betaToken);
  // The console logger's debug switch from the kit registry's.
  void configureLogging();
  // The registry's start hook: hands over to crash reporting when a kit
  // class "Crashtrail" is registered (it starts this kit with its beta
  // token); otherwise starts the kit without a beta token.
  static void initializeIfNeeded();

  // --- the kit contract ---------------------------------------------------------
  static std::string bundleIdentifier() { return kTallyBundleIdentifier; }
  static std::string kitDisplayVersion() { return kTallyKitDisplayVersion; }
  static std::string kitBuildVersion() { return kTallyKitBuildVersion; }
  // The registry record of this class.
  static BCNKitClass kitClass();
  // Registers kitClass() with the registry (done once at program start;
  // harmless to repeat).
  static void registerKitClass();
  std::string className() const override { return kTallyKitClassName; }

  // The controller; nullptr until the kit is started.
  std::shared_ptr<TLYTallyController> tallyController() const;

  // --- events ---------------------------------------------------------------------
  static void logCustomEventWithName(const TLYText& eventName, const Value& customAttributes = {});
  // Nothing without a date; otherwise an "app_crashed" event at that date
  // with crash state 0, through the controller's logCrashEvent.
  static void logPreviousSessionCrashedOnDate(std::optional<platform::Date> date);

  static void logSignUpWithMethod(const TLYText& method, std::optional<bool> success,
                                  const Value& customAttributes = {});
  static void logLoginWithMethod(const TLYText& method, std::optional<bool> success,
                                 const Value& customAttributes = {});
  static void logShareWithMethod(const TLYText& method, const TLYText& contentName,
                                 const TLYText& contentType, const TLYText& contentId,
                                 const Value& customAttributes = {});
  static void logInviteWithMethod(const TLYText& method, const Value& customAttributes = {});
  static void logPurchaseWithPrice(const TLYPrice& price, const TLYText& currency,
                                   std::optional<bool> success, const TLYText& itemName,
                                   const TLYText& itemType, const TLYText& itemId,
                                   const Value& customAttributes = {});
  static void logLevelStart(const TLYText& levelName, const Value& customAttributes = {});
  static void logLevelEnd(const TLYText& levelName, const Value& score, std::optional<bool> success,
                          const Value& customAttributes = {});
  static void logAddToCartWithPrice(const TLYPrice& price, const TLYText& currency,
                                    const TLYText& itemName, const TLYText& itemType,
                                    const TLYText& itemId, const Value& customAttributes = {});
  static void logStartCheckoutWithPrice(const TLYPrice& price, const TLYText& currency,
                                        const Value& itemCount, const Value& customAttributes = {});
  static void logRating(const Value& rating, const TLYText& contentName, const TLYText& contentType,
                        const TLYText& contentId, const Value& customAttributes = {});
  static void logContentViewWithName(const TLYText& contentName, const TLYText& contentType,
                                     const TLYText& contentId, const Value& customAttributes = {});
  static void logSearchWithQuery(const TLYText& query, const Value& customAttributes = {});

  // --- tests -------------------------------------------------------------------------
  // Replaces the shared instance (and so its controller and its start) by a
  // new one made with `options`: the kit registry starts the one shared
  // instance, which no caller makes, so a test makes it here.
  static void resetSharedInstanceForTesting(Options options = {});

 private:
  static void passToController(const std::shared_ptr<class TLYEvent>& event);

  const Options options_;
  std::once_flag startOnce_;
  mutable std::mutex mutex_;
  std::shared_ptr<TLYTallyController> tallyController_;
};

}  // namespace sdk
