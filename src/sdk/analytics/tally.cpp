#include "sdk/analytics/tally.h"

#include <utility>

#include "sdk/analytics/tly_crash_event.h"
#include "sdk/analytics/tly_custom_event.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/analytics/tly_tally_controller.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/beacon.h"

namespace sdk {
namespace {

struct Shared {
  std::mutex mutex;
  std::shared_ptr<Tally> instance;
};

Shared& shared() {
  static Shared* s = new Shared();  // process lifetime, also during exit
  return *s;
}

// The class is in the process as soon as this file is linked in (guarantee 4).
const bool registered = [] {
  Tally::registerKitClass();
  return true;
}();

}  // namespace

std::shared_ptr<Tally> Tally::sharedInstance() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.instance) s.instance = std::make_shared<Tally>(Passkey{}, Options{});
  return s.instance;
}

Tally::Tally(Passkey, Options options) : options_(std::move(options)) {}

void Tally::startWithBetaToken(const std::optional<std::string>& betaToken) {
  sharedInstance()->startInstanceWithBetaToken(betaToken);
}

void Tally::startInstanceWithBetaToken(const std::optional<std::string>& betaToken) {
  std::call_once(startOnce_, [&] {
    configureLogging();
    TLYLogger::sharedLogger().log("Initialized");
    auto controller = options_.controllerFactory ? options_.controllerFactory(betaToken)
                                                 : TLYTallyController::initWithBetaToken(betaToken);
    std::lock_guard<std::mutex> lock(mutex_);
    tallyController_ = std::move(controller);
  });
}

void Tally::configureLogging() {
  // The registry's debug switch is kept by the SDK console (Beacon::debug
  // reads the same switch).
  TLYLogger::sharedLogger().setDebugMode(BCNConsoleIsDebug());
}

void Tally::initializeIfNeeded() {
  auto crash = Beacon::kitClassNamed("Crashtrail");
  if (crash && crash->conformsToBCNKit && crash->initializeIfNeeded) {
    crash->initializeIfNeeded();
    return;
  }
  startWithBetaToken(std::nullopt);
}

BCNKitClass Tally::kitClass() {
  BCNKitClass kit;
  kit.name = kTallyKitClassName;
  kit.conformsToBCNKit = true;
  kit.bundleIdentifier = &Tally::bundleIdentifier;
  kit.kitDisplayVersion = &Tally::kitDisplayVersion;
  kit.kitBuildVersion = &Tally::kitBuildVersion;
  kit.initializeIfNeeded = &Tally::initializeIfNeeded;
  return kit;
}

void Tally::registerKitClass() { Beacon::registerKitClass(kitClass()); }

std::shared_ptr<TLYTallyController> Tally::tallyController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tallyController_;
}

void Tally::passToController(const std::shared_ptr<TLYEvent>& event) {
  if (auto controller = sharedInstance()->tallyController()) controller->logEvent(event);
}

void Tally::logCustomEventWithName(const TLYText& eventName, const Value& customAttributes) {
  passToController(TLYCustomEvent::initWithCustomEventName(eventName, customAttributes));
}

void Tally::logPreviousSessionCrashedOnDate(std::optional<platform::Date> date) {
  if (!date) return;
  auto event = TLYCrashEvent::initWithTimestamp(*date, 0);
  if (auto controller = sharedInstance()->tallyController()) controller->logCrashEvent(event);
}

void Tally::logSignUpWithMethod(const TLYText& method, std::optional<bool> success,
                                const Value& customAttributes) {
  passToController(TLYPredefinedEvent::signUpEventWithMethod(method, success, customAttributes));
}

void Tally::logLoginWithMethod(const TLYText& method, std::optional<bool> success,
                               const Value& customAttributes) {
  passToController(TLYPredefinedEvent::loginEventWithMethod(method, success, customAttributes));
}

void Tally::logShareWithMethod(const TLYText& method, const TLYText& contentName,
                               const TLYText& contentType, const TLYText& contentId,
                               const Value& customAttributes) {
  passToController(TLYPredefinedEvent::shareEventWithMethod(method, contentName, contentType,
                                                            contentId, customAttributes));
}

void Tally::logInviteWithMethod(const TLYText& method, const Value& customAttributes) {
  passToController(TLYPredefinedEvent::inviteEventWithMethod(method, customAttributes));
}

void Tally::logPurchaseWithPrice(const TLYPrice& price, const TLYText& currency,
                                 std::optional<bool> success, const TLYText& itemName,
                                 const TLYText& itemType, const TLYText& itemId,
                                 const Value& customAttributes) {
  passToController(TLYPredefinedEvent::purchaseEventWithPrice(price, currency, success, itemName,
                                                              itemType, itemId, customAttributes));
}

void Tally::logLevelStart(const TLYText& levelName, const Value& customAttributes) {
  passToController(TLYPredefinedEvent::levelStartEventWithLevelName(levelName, customAttributes));
}

void Tally::logLevelEnd(const TLYText& levelName, const Value& score, std::optional<bool> success,
                        const Value& customAttributes) {
  passToController(
      TLYPredefinedEvent::levelEndEventWithLevelName(levelName, score, success, customAttributes));
}

void Tally::logAddToCartWithPrice(const TLYPrice& price, const TLYText& currency,
                                  const TLYText& itemName, const TLYText& itemType,
                                  const TLYText& itemId, const Value& customAttributes) {
  passToController(TLYPredefinedEvent::addToCartEventWithPrice(price, currency, itemName, itemType,
                                                               itemId, customAttributes));
}

void Tally::logStartCheckoutWithPrice(const TLYPrice& price, const TLYText& currency,
                                      const Value& itemCount, const Value& customAttributes) {
  passToController(TLYPredefinedEvent::startCheckoutEventWithPrice(price, currency, itemCount,
                                                                   customAttributes));
}

void Tally::logRating(const Value& rating, const TLYText& contentName, const TLYText& contentType,
                      const TLYText& contentId, const Value& customAttributes) {
  passToController(TLYPredefinedEvent::ratingEventWithRating(rating, contentName, contentType,
                                                             contentId, customAttributes));
}

void Tally::logContentViewWithName(const TLYText& contentName, const TLYText& contentType,
                                   const TLYText& contentId, const Value& customAttributes) {
  passToController(TLYPredefinedEvent::contentViewEventWithName(contentName, contentType, contentId,
                                                                customAttributes));
}

void Tally::logSearchWithQuery(const TLYText& query, const Value& customAttributes) {
  passToController(TLYPredefinedEvent::searchEventWithQuery(query, customAttributes));
}

void Tally::resetSharedInstanceForTesting(Options options) {
  auto instance = std::make_shared<Tally>(Passkey{}, std::move(options));
  std::shared_ptr<Tally> old;
  std::lock_guard<std::mutex> lock(shared().mutex);
  old = std::exchange(shared().instance, std::move(instance));
}

}  // namespace sdk
