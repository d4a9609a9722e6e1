#include "sdk/crash/ctr_beta_controller.h"

#include <utility>

#include "codecs/json_decoder.h"
#include "platform/system/current_locale.h"
#include "sdk/crash/capture/ctr_application.h"
#include "sdk/crash/ctr_request_headers.h"
#include "sdk/platform/bcn_application.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_network_operation.h"
#include "sdk/platform/bcn_pinned_certificates.h"
#include "sdk/platform/bcn_settings_onboarding_manager.h"
#include "sdk/platform/bcn_url_builder.h"
#include "sdk/platform/beacon.h"

namespace sdk {

// --- class facts -------------------------------------------------------------------

bool CTRBetaController::isBetaSupported(const platform::BundlePtr& bundle) {
  return !CTRApplicationIsExtension(bundle) &&
         BCNApplicationGetInstallSource({}, bundle) == kBCNInstallSourceSignedForDistribution;
}

BCNNetworkClient::Certificates CTRBetaController::pinnnedCertificates(
    const platform::BundlePtr& bundle) {
  const auto certificates = BCNPinnedCertificates(bundle);
  if (!certificates) return std::nullopt;
  return *certificates;
}

// --- life ----------------------------------------------------------------------------

CTRBetaController::Ptr CTRBetaController::initWithDelegate(
    std::weak_ptr<CTRBetaControllerDelegate> delegate, platform::BundlePtr bundle) {
  return std::make_shared<CTRBetaController>(Passkey{}, std::move(delegate), std::move(bundle));
}

CTRBetaController::CTRBetaController(Passkey, std::weak_ptr<CTRBetaControllerDelegate> delegate,
                                     platform::BundlePtr bundle)
    : delegate_(std::move(delegate)),
      bundle_(std::move(bundle)),
      queue_(platform::dispatch::Queue::createSerial(kCTRBetaQueueLabel)),
      networkClient_(BCNNetworkClient::create(nullptr, pinnnedCertificates(bundle_))) {
  if (!networkClient_) BCNConsoleDebugLog("[Crahlytics:Beta] Failed to configure networking");
}

CTRBetaController::~CTRBetaController() {
  platform::NotificationCenter::defaultCenter().removeObserver(observer_);
  if (checkSuspensionTimer_) checkSuspensionTimer_->invalidate();
}

bool CTRBetaController::start() {
  if (!betaToken()) return false;
  std::lock_guard lock(mutex_);
  if (!observer_) {
    std::weak_ptr<CTRBetaController> weak = weak_from_this();
    observer_ = platform::NotificationCenter::defaultCenter().addObserver(
        BCNSettingsAvailableNotification, nullptr, nullptr,
        [weak](const platform::Notification& notification) {
          if (const auto self = weak.lock()) self->beaconSettingsDownloaded(notification);
        });
  }
  return true;
}

std::optional<std::string> CTRBetaController::betaToken() {
  {
    std::lock_guard lock(mutex_);
    if (betaTokenFetched_) return betaToken_;
  }
  std::optional<std::string> token;
  if (const auto delegate = delegate_.lock()) token = delegate->betaTokenForBetaController(*this);
  std::lock_guard lock(mutex_);
  if (!betaTokenFetched_) {
    betaTokenFetched_ = true;
    betaToken_ = std::move(token);
  }
  return betaToken_;
}

// --- triggers ------------------------------------------------------------------------

void CTRBetaController::beaconSettingsDownloaded(const platform::Notification&) {
  checkForUpdate();
}

void CTRBetaController::applicationWillEnterForeground(const platform::Notification&) {
  checkForUpdate();
}

void CTRBetaController::applicationWillEnterForeground() { checkForUpdate(); }

void CTRBetaController::checkForUpdate() {
  std::weak_ptr<CTRBetaController> weak = weak_from_this();
  maybeGetUpdate([weak](const CTRBetaUpdate::Ptr& update, const platform::Error&) {
    if (const auto self = weak.lock()) self->didGetUpdate(update);
  });
}

// --- the check -----------------------------------------------------------------------

void CTRBetaController::maybeGetUpdate(Completion completion) {
  auto self = shared_from_this();
  queue_->async([self, completion = std::move(completion)]() mutable {
    if (!self->shouldGetUpdates() || self->isRetrying()) return;
    BCNConsoleDebugLog("[Crashtrail:Beta] Loading beta update");
    self->loadUpdateWithCompletionBlock(std::move(completion));
  });
}

std::optional<platform::URL> CTRBetaController::betaUpdateURL() {
  BCNURLBuilder builder = BCNURLBuilder::URLWithBase(betaEndpoint());
  builder.appendComponent("/spi/v2/platforms/");
  builder.appendComponent(kBCNPlatformName);
  builder.appendComponent("/apps/");
  builder.appendComponent(appBundleIdentifier());
  builder.appendComponent("/beta_update_check");
  builder.appendValue(platform::Value(appBuildVersion()), "build_version");
  builder.appendValue(platform::Value(appDisplayVersion()), "display_version");
  builder.appendValue(platform::Value(appInstanceIdentifier()), "instance");
  builder.appendValue(platform::Value(appInstallationSource()), "source");
  // Without an endpoint (no settings) only a relative URL comes out, which
  // no request can reach.
  std::optional<platform::URL> url = builder.URL();
  if (url && !url->isAbsolute()) return std::nullopt;
  return url;
}

platform::urlloading::URLRequest CTRBetaController::betaUpdateRequestForURL(
    const platform::URL& url) {
  // The URL loading layer keeps no cache, so the request never reads one.
  platform::urlloading::URLRequest request(url, kCTRBetaRequestTimeout);
  request.setMaximumResponseLength(std::int64_t{256} << 10);  // one release's facts
  request.setHTTPMethod("GET");
  const std::string locale = platform::CurrentLocale::identifier();
  CTRSetCommonRequestHeaders(request, locale, APIKey().value_or(""));
  request.setValueForHTTPHeaderField(kCTRBetaTokenHeaderField, betaToken().value_or(""));
  return request;
}

void CTRBetaController::loadUpdateWithCompletionBlock(Completion completion) {
  const std::optional<platform::URL> url = betaUpdateURL();
  BCNConsoleDebugLog("[Crashtrail:Beta] Beta Update-Check url string: '%@'",
                     url ? url->absoluteString() : std::string());
  if (!url) {
    // No request can be made of an endpoint that gives no URL: a failed load.
    BCNConsoleDebugLog("[Crashtrail:Beta] Failed to load update '%@'",
                       platform::Error(platform::kURLErrorDomain, -1000).description());
    return;
  }
  platform::urlloading::URLRequest request = betaUpdateRequestForURL(*url);
  auto self = shared_from_this();
  queue_->async([self, request = std::move(request), completion = std::move(completion)]() {
    {
      std::lock_guard lock(self->mutex_);
      if (self->retrying_) return;
      self->retrying_ = true;
    }
    if (!self->networkClient_) {
      // Nothing can carry the request: fail it as the client would.
      self->handledCompletedBetaRequestWithData(
          std::nullopt, platform::Error(kBCNNetworkErrorDomain, -3), completion);
      return;
    }
    self->networkClient_->startDataTaskWithRequest(
        request, kCTRBetaRetryLimit,
        [self, completion](const std::optional<platform::Bytes>& data,
                           const std::optional<platform::urlloading::URLResponse>&,
                           const platform::Error& error) {
          self->handledCompletedBetaRequestWithData(data, error, completion);
        });
  });
}

void CTRBetaController::handledCompletedBetaRequestWithData(
    const std::optional<platform::Bytes>& data, const platform::Error& error,
    Completion completion) {
  auto self = shared_from_this();
  if (!error && data && !data->empty()) {
    queue_->async([self, data = *data, completion = std::move(completion)]() {
      BCNConsoleDebugLog("[Crashtrail:Beta] Beta update loaded");
      self->temporarilySuspendChecks();
      {
        std::lock_guard lock(self->mutex_);
        self->retrying_ = false;
      }
      platform::Error parseError;
      const CTRBetaUpdate::Ptr update = self->updateWithData(data, &parseError);
      if (completion) completion(update, parseError);
    });
    return;
  }
  // Empty answers count as failures, without an error of their own.
  const platform::Error reported =
      error ? error : platform::Error(platform::kURLErrorDomain, kCTRBetaUpdateErrorCode);
  // A failed request must not block every later check of the process: the
  // flag is cleared on the queue, in the same block that reports the failure.
  queue_->async([self, reported]() {
    BCNConsoleDebugLog("[Crashtrail:Beta] Failed to load update '%@'", reported.description());
    std::lock_guard lock(self->mutex_);
    self->retrying_ = false;
  });
}

CTRBetaUpdate::Ptr CTRBetaController::updateWithData(const platform::Bytes& data,
                                                     platform::Error* error) {
  platform::Error parseError;
  const platform::Value object =
      codecs::objectFromJSONData(platform::Value::data(data), codecs::JTParseFlagNone, &parseError);
  if (object.isNone()) {
    BCNConsoleDebugLog("[Crashtrail:Beta] Unable to read beta update data: %@",
                       parseError.description());
    if (error) *error = parseError;
    return nullptr;
  }
  platform::Error updateError;
  CTRBetaUpdate::Ptr update =
      CTRBetaUpdate::betaUpdateWithDictionary(object, &updateError, bundle_);
  if (!update) {
    BCNConsoleDebugLog("[Crashtrail:Beta] Unable to deserialize beta update data: %@",
                       updateError.description());
    if (error) *error = updateError;
    return nullptr;
  }
  return update;
}

// --- suspension and result ---------------------------------------------------------------

void CTRBetaController::temporarilySuspendChecks() {
  std::weak_ptr<CTRBetaController> weak = weak_from_this();
  platform::dispatch::Queue::main()->async([weak]() {
    const auto self = weak.lock();
    if (!self) return;
    const std::optional<double> duration = self->betaUpdateSuspendDurationSecs();
    if (!duration) return;
    auto timer =
        platform::runloop::Timer::create(*duration, false, [weak](platform::runloop::Timer&) {
          if (const auto owner = weak.lock()) owner->allowChecks();
        });
    std::shared_ptr<platform::runloop::Timer> previous;
    {
      std::lock_guard lock(self->mutex_);
      self->checksSuspended_ = true;
      previous = std::exchange(self->checkSuspensionTimer_, timer);
    }
    if (previous) previous->invalidate();
    platform::runloop::RunLoop::main().addTimer(timer);
  });
}

void CTRBetaController::allowChecks() {
  std::shared_ptr<platform::runloop::Timer> timer;
  {
    std::lock_guard lock(mutex_);
    checksSuspended_ = false;
    timer = std::move(checkSuspensionTimer_);
  }
  if (timer) timer->invalidate();
}

bool CTRBetaController::shouldGetUpdates() {
  return isBetaSupported(bundle_) && !checksSuspended();
}

void CTRBetaController::didGetUpdate(const CTRBetaUpdate::Ptr& update) {
  if (!update || !update->url().isValid()) {
    BCNConsoleDebugLog("[Crashtrail:Beta] Beta update url is invalid");
    return;
  }
  std::weak_ptr<CTRBetaController> weak = weak_from_this();
  platform::dispatch::Queue::main()->async([weak, update]() {
    if (const auto self = weak.lock()) self->showBetaAlertForUpdate(update);
  });
}

void CTRBetaController::showBetaAlertForUpdate(const CTRBetaUpdate::Ptr& update) {
  {
    std::lock_guard lock(mutex_);
    activeUpdate_ = update;
  }
  if (const auto delegate = delegate_.lock())
    delegate->betaControllerDidActivateUpdate(*this, update);
}

// --- facts ---------------------------------------------------------------------------------

CTRSettings::Ptr CTRBetaController::settings() {
  const auto delegate = delegate_.lock();
  return delegate ? delegate->settingsForBetaController(*this) : nullptr;
}

std::optional<std::string> CTRBetaController::APIKey() {
  const auto delegate = delegate_.lock();
  return delegate ? delegate->APIKeyForBetaController(*this) : std::nullopt;
}

std::optional<double> CTRBetaController::betaUpdateSuspendDurationSecs() {
  const auto current = settings();
  if (!current) return std::nullopt;
  return static_cast<double>(current->betaSuspendDuration());
}

std::string CTRBetaController::betaEndpoint() {
  const auto current = settings();
  return current ? current->betaEndpoint() : std::string();
}

std::string CTRBetaController::appBundleIdentifier() {
  return BCNApplicationGetBundleIdentifier(bundle_);
}
std::string CTRBetaController::appBuildVersion() { return BCNApplicationGetBuildVersion(bundle_); }
std::string CTRBetaController::appDisplayVersion() {
  return BCNApplicationGetDisplayVersion(bundle_);
}
std::string CTRBetaController::appInstanceIdentifier() {
  return Beacon::sharedSDK()->instanceIdentifier();
}
std::int64_t CTRBetaController::appInstallationSource() {
  return BCNApplicationGetInstallSource({}, bundle_);
}

// --- properties ------------------------------------------------------------------------------

CTRBetaUpdate::Ptr CTRBetaController::activeUpdate() const {
  std::lock_guard lock(mutex_);
  return activeUpdate_;
}

std::shared_ptr<platform::runloop::Timer> CTRBetaController::checkSuspensionTimer() const {
  std::lock_guard lock(mutex_);
  return checkSuspensionTimer_;
}

bool CTRBetaController::checksSuspended() const {
  std::lock_guard lock(mutex_);
  return checksSuspended_;
}

bool CTRBetaController::isRetrying() const {
  std::lock_guard lock(mutex_);
  return retrying_;
}

}  // namespace sdk
