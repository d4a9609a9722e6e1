#include "sdk/platform/bcn_settings_onboarding_manager.h"

#include <cstdlib>

#include "platform/foundation/format.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "platform/system/paths.h"
#include "sdk/platform/bcn_application_identifier_model.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_icon.h"
#include "sdk/platform/bcn_network_client.h"
#include "sdk/platform/bcn_pinned_certificates.h"
#include "sdk/platform/bcn_settings.h"
#include "sdk/platform/beacon.h"

namespace sdk {

BCNSettingsOnboardingManager::BCNSettingsOnboardingManager(
    std::shared_ptr<BCNApplicationIdentiferModel> model, platform::BundlePtr bundle)
    : model_(std::move(model)),
      bundle_(std::move(bundle)),
      networkClient_(BCNNetworkClient::create(
          nullptr, BCNNetworkClient::Certificates(*BCNPinnedCertificates(bundle_)))) {}

BCNSettingsOnboardingManager::~BCNSettingsOnboardingManager() = default;

void BCNSettingsOnboardingManager::beginSettingsAndOnboardingOperationsWithAPIKey(
    std::string apiKey, platform::Value kitVersionsByKitBundleIdentifier) {
  {
    std::lock_guard lock(mutex_);
    apiKey_ = std::move(apiKey);
    kitVersions_ = std::move(kitVersionsByKitBundleIdentifier);
  }
  beginSettingsDownload();
}

std::string BCNSettingsOnboardingManager::APIKey() const {
  std::lock_guard lock(mutex_);
  return apiKey_;
}

platform::Value BCNSettingsOnboardingManager::kitVersionsByKitBundleIdentifier() const {
  std::lock_guard lock(mutex_);
  return kitVersions_;
}

bool BCNSettingsOnboardingManager::hasAttemptedAppConfigure() const {
  std::lock_guard lock(mutex_);
  return hasAttemptedAppConfigure_;
}

std::shared_ptr<BCNOnboardingOperation> BCNSettingsOnboardingManager::onboardingOperation() const {
  std::lock_guard lock(mutex_);
  return onboardingOperation_;
}

std::shared_ptr<BCNSettings> BCNSettingsOnboardingManager::settingsModel() {
  const std::string path = settingsPath();
  std::lock_guard lock(mutex_);
  if (!settingsModel_) settingsModel_ = std::make_shared<BCNSettings>(path, bundle_);
  return settingsModel_;
}

void BCNSettingsOnboardingManager::beginSettingsDownload() {
  const auto operation = BCNDownloadAndSaveSettingsOperation::initWithAPIKey(
      APIKey(), weak_from_this(), settingsURL(), settingsDirectoryPath(bundle_), settingsPath(),
      model_ ? model_->installID() : std::string(), advertisingToken(), networkClient_, bundle_);
  {
    std::lock_guard lock(mutex_);
    downloadOperation_ = operation;
  }
  operation->start();
}

void BCNSettingsOnboardingManager::operationDidDownloadAndSaveSettingsWithError(
    BCNDownloadAndSaveSettingsOperation& operation, const platform::Error& error) {
  {
    std::lock_guard lock(mutex_);
    if (downloadOperation_.get() == &operation) downloadOperation_.reset();
  }
  if (error) {
    BCNConsoleLog("[Beacon] failed to download settings %@", error.description());
    finishNetworkingSession();
    return;
  }
  BCNConsoleWriteDebug("[Beacon] settings downloaded successfully");
  settingsModel()->clearSettingsDictionary();

  bool alreadyConfigured = false;
  {
    std::lock_guard lock(mutex_);
    alreadyConfigured = hasAttemptedAppConfigure_;
  }
  if (alreadyConfigured) {
    BCNConsoleWriteDebug("[Beacon] App already onboarded in this run of the app");
    postSettingsDownloadCompletedNotification();
    finishNetworkingSession();
    return;
  }

  bool create = false;
  if (settingsModel()->appNeedsOnboarding()) {
    BCNConsoleWriteDebug("[Beacon] Starting onboarding with app create");
    create = true;
  } else {
    postSettingsDownloadCompletedNotification();
    if (!settingsModel()->appUpdateRequired()) {
      finishNetworkingSession();
      return;
    }
    BCNConsoleWriteDebug("[Beacon] Starting onboarding with app update");
  }
  {
    std::lock_guard lock(mutex_);
    hasAttemptedAppConfigure_ = true;
  }
  beginOnboarding(create, valueForConfigurationKey(BCNConfigureEndpointKey));
}

void BCNSettingsOnboardingManager::beginOnboarding(bool create, const std::string& endpointString) {
  std::shared_ptr<BCNOnboardingOperation> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::move(onboardingOperation_);
  }
  if (previous) previous->cancel();
  const auto operation = BCNOnboardingOperation::initWithDelegate(
      weak_from_this(), create, APIKey(), kitVersionsByKitBundleIdentifier(), model_,
      endpointString, networkClient_, bundle_);
  {
    std::lock_guard lock(mutex_);
    onboardingOperation_ = operation;
  }
  operation->start();
}

void BCNSettingsOnboardingManager::onboardingOperationDidCompleteAppCreationWithError(
    BCNOnboardingOperation& operation, const platform::Error& error) {
  if (error) {
    BCNConsoleLog("[Beacon] unable to complete application configure: %@", error.description());
    finishNetworkingSession();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (onboardingOperation_.get() == &operation) onboardingOperation_.reset();
  }
  BCNConsoleWriteDebug("[Beacon] completed configure");
  beginSettingsDownload();
}

void BCNSettingsOnboardingManager::onboardingOperationDidCompleteAppUpdateWithError(
    BCNOnboardingOperation& operation, const platform::Error& error) {
  finishNetworkingSession();
  if (error) {
    BCNConsoleLog("[Beacon] unable to complete application update: %@", error.description());
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (onboardingOperation_.get() == &operation) onboardingOperation_.reset();
  }
  BCNConsoleWriteDebug("[Beacon] completed application update");
}

void BCNSettingsOnboardingManager::finishNetworkingSession() {
  if (networkClient_) networkClient_->invalidateAndCancel();
}

void BCNSettingsOnboardingManager::postSettingsDownloadCompletedNotification() {
  BCNConsoleWriteDebug("[Beacon] Settings are available for consumption");
  platform::NotificationCenter::defaultCenter().post(BCNSettingsAvailableNotification);
}

platform::URL BCNSettingsOnboardingManager::settingsURL() {
  return settingsModel()->settingsURLForEndpoint(
      valueForConfigurationKey(BCNSettingsEndpointKey),
      model_ ? model_->instanceIdentifier() : std::string(), appIconHash());
}

std::string BCNSettingsOnboardingManager::settingsDirectoryPath(const platform::BundlePtr& bundle) {
  // The bundle's identifier is used unchanged; only path components that
  // would climb out of the SDK's folder ("." and "..", or none at all) are
  // replaced, since the download removes this directory recursively.
  std::string identifier = bundle ? bundle->bundleIdentifier() : std::string();
  std::string safe;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = identifier.find('/', start);
    std::string component =
        identifier.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (component.empty() || component == "." || component == "..")
      component = std::string(component.size() == 0 ? 1 : component.size(), '_');
    if (!safe.empty()) safe += '/';
    safe += component;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return platform::paths::caches() + "/" + platform::format("%@.data", kBCNPlatformKitIdentifier) +
         "/" + safe;
}

std::string BCNSettingsOnboardingManager::settingsPath() {
  return settingsDirectoryPath(bundle_) + "/" + BCNSettingsFileName;
}

std::string BCNSettingsOnboardingManager::appIconHash() const {
  if (!model_ || !model_->icon()) return {};
  return model_->icon()->dataHash();
}

std::string BCNSettingsOnboardingManager::advertisingToken() const {
  return Beacon::sharedSDK()->advertisingToken().value_or(std::string());
}

platform::Value BCNSettingsOnboardingManager::configuration() const {
  if (!bundle_) return {};
  const platform::Value config = bundle_->objectForInfoDictionaryKey("Crashtrail");
  return config.isDictionary() ? config : platform::Value();
}

platform::Value BCNSettingsOnboardingManager::defaultConfiguration() const {
  return platform::Value::dictionary({{BCNSettingsEndpointKey, BCNDefaultSettingsEndpoint},
                                      {BCNConfigureEndpointKey, BCNDefaultConfigureEndpoint}});
}

std::string BCNSettingsOnboardingManager::valueForConfigurationKey(const std::string& key) const {
  if (const char* env = std::getenv(key.c_str())) return env;
  const platform::Value configured = configuration()[key];
  if (configured.isString()) return configured.asString();
  const platform::Value fallback = defaultConfiguration()[key];
  return fallback.isString() ? fallback.asString() : std::string();
}

}  // namespace sdk
