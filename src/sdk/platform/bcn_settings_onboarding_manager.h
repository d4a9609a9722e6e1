// sdk::BCNSettingsOnboardingManager: fetches the SDK's remote settings for the
// host application at every launch into "settings.json", registers the
// application with the platform service when the settings say it is new
// (create) or out of date (update), and announces fresh settings with
// BCNSettingsAvailableNotification on the platform NotificationCenter.
//
// One chain of requests per launch: download -> (create -> download again)
// -> notification, or download -> notification -> (update). At most one
// create or update runs per launch; the networking session ends at the end
// of every path, after which the manager makes no further requests. The
// settings file stays on disk for the next launch.
//
// Configuration values ("SettingsEndpoint", "ConfigureEndpoint") are looked
// up in the process environment, then in the "Crashtrail" dictionary of the
// manager's bundle's information dictionary, then in the defaults.
//
// The download and onboarding operations, the delegate calls below and the
// notification run on the network client's completion queue (the notification
// is posted synchronously there); beginSettingsAndOnboardingOperationsWithAPIKey
// returns at once. A failed download posts nothing: kits keep the settings
// file of an earlier launch.
//
// Thread safety: driven from the registry's call (the main thread) and then
// from the network client's completion callbacks, one chain at a time. The
// manager's fields sit behind a lock that is never held while calling out,
// so every member may be called from any thread; settingsModel() is what
// kits read.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/system/bundle.h"
#include "sdk/platform/bcn_download_and_save_settings_operation.h"
#include "sdk/platform/bcn_onboarding_operation.h"

namespace sdk {

class BCNApplicationIdentiferModel;
class BCNNetworkClient;
class BCNSettings;

// Posted, with no object and no details, when settings are available.
inline constexpr const char* BCNSettingsAvailableNotification = "BCNSettingsAvailableNotification";
// Configuration keys.
inline constexpr const char* BCNSettingsEndpointKey = "SettingsEndpoint";
inline constexpr const char* BCNConfigureEndpointKey = "ConfigureEndpoint";
// Their defaults: the settings service and the platform API.
inline constexpr const char* BCNDefaultSettingsEndpoint = "https://settings.beacon.io";
inline constexpr const char* BCNDefaultConfigureEndpoint = "https://api.beacon.io";
// The settings file's name inside settingsDirectoryPath().
inline constexpr const char* BCNSettingsFileName = "settings.json";

class BCNSettingsOnboardingManager
    : public std::enable_shared_from_this<BCNSettingsOnboardingManager>,
      public BCNDownloadAndSaveSettingsOperationDelegate,
      public BCNOnboardingOperationDelegate {
 public:
  // Keeps the model (which may be nullptr: the settings URL then has no
  // instance identifier) and makes the manager's network client (default
  // session configuration, the SDK's pinned certificates). Must be owned by
  // a std::shared_ptr (the operations reach it through a weak link).
  // The manager of the program `bundle` describes (its settings folder,
  // its local configuration, the facts its operations send).
  explicit BCNSettingsOnboardingManager(std::shared_ptr<BCNApplicationIdentiferModel> model,
                                        platform::BundlePtr bundle = platform::Bundle::main());
  ~BCNSettingsOnboardingManager();
  static std::shared_ptr<BCNSettingsOnboardingManager> initWithApplicationIdentifierModel(
      std::shared_ptr<BCNApplicationIdentiferModel> model,
      platform::BundlePtr bundle = platform::Bundle::main()) {
    return std::make_shared<BCNSettingsOnboardingManager>(std::move(model), std::move(bundle));
  }

  // Stores both and begins the settings download. Called once, by the
  // registry. Returns at once; the chain runs on the network client's
  // callbacks.
  void beginSettingsAndOnboardingOperationsWithAPIKey(
      std::string apiKey, platform::Value kitVersionsByKitBundleIdentifier);

  // --- steps of the chain ------------------------------------------------------
  // A new download operation, started at once (not queued).
  void beginSettingsDownload();
  // Cancels the current onboarding operation and starts a new one: create
  // (true) or update, against the platform API at `endpointString`.
  void beginOnboarding(bool create, const std::string& endpointString);
  // Ends the networking session: no further requests in this launch.
  void finishNetworkingSession();
  // Posts BCNSettingsAvailableNotification on the calling thread.
  void postSettingsDownloadCompletedNotification();

  // --- delegate of the operations ----------------------------------------------
  void operationDidDownloadAndSaveSettingsWithError(BCNDownloadAndSaveSettingsOperation& operation,
                                                    const platform::Error& error) override;
  void onboardingOperationDidCompleteAppCreationWithError(BCNOnboardingOperation& operation,
                                                          const platform::Error& error) override;
  void onboardingOperationDidCompleteAppUpdateWithError(BCNOnboardingOperation& operation,
                                                        const platform::Error& error) override;

  // The settings file model (made on first use).
  std::shared_ptr<BCNSettings> settingsModel();
  std::shared_ptr<BCNApplicationIdentiferModel> appIdentifierModel() const { return model_; }

  // The settings URL for this application (SettingsEndpoint, instance
  // identifier and icon hash).
  platform::URL settingsURL();
  // The user's Caches folder + "/io.beacon.sdk.mac.data/" + `bundle`'s
  // identifier (unchanged, except that "." or ".." components, or
  // an empty identifier, become "_" runs: the folder is removed recursively
  // at each download).
  static std::string settingsDirectoryPath(
      const platform::BundlePtr& bundle = platform::Bundle::main());
  // settingsDirectoryPath() + "/settings.json".
  std::string settingsPath();
  // The icon's dataHash, or empty when the application has no icon.
  std::string appIconHash() const;
  std::string advertisingToken() const;

  // The "Crashtrail" dictionary of the bundle's information dictionary
  // (None when missing), the default table, and the lookup through the
  // environment, that dictionary and the defaults (empty when unknown).
  platform::Value configuration() const;
  platform::Value defaultConfiguration() const;
  std::string valueForConfigurationKey(const std::string& key) const;

  std::string APIKey() const;
  platform::Value kitVersionsByKitBundleIdentifier() const;
  bool hasAttemptedAppConfigure() const;
  const std::shared_ptr<BCNNetworkClient>& networkClient() const { return networkClient_; }
  std::shared_ptr<BCNOnboardingOperation> onboardingOperation() const;

 private:
  const std::shared_ptr<BCNApplicationIdentiferModel> model_;
  const platform::BundlePtr bundle_;
  const std::shared_ptr<BCNNetworkClient> networkClient_;

  mutable std::mutex mutex_;  // guards the fields below; never held while calling out
  std::shared_ptr<BCNSettings> settingsModel_;
  std::string apiKey_;
  platform::Value kitVersions_;
  bool hasAttemptedAppConfigure_ = false;
  // The running download (kept alive until it ends) and onboarding.
  std::shared_ptr<BCNDownloadAndSaveSettingsOperation> downloadOperation_;
  std::shared_ptr<BCNOnboardingOperation> onboardingOperation_;
};

}  // namespace sdk
