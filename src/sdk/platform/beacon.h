// Beacon: the root of the SDK. It is the registry of kits (crash reporting,
// usage analytics), holds the API key, the installation and execution
// identifiers and the debug switch, and owns the settings and onboarding
// manager that fetches the SDK's remote settings.
//
// Guarantees:
//  1. sharedSDK() makes the one instance on first use (once per process,
//     from any thread): it reads or creates the installation identifier in
//     the SDK defaults store (CTRUserDefaults, key "com.crashtrail.iuuid",
//     migrated from the standard user defaults), makes a new execution
//     identifier, the application identifier model and the settings and
//     onboarding manager.
//  2. with() registers and starts the kits on its first call only, on the
//     calling thread, then begins the settings download; later calls write
//     the "called multiple times" console line, wait for a first call still
//     running on another thread, and return the shared instance.
//  3. Misconfiguration (no information dictionary, no "Beacon" dictionary,
//     no text "APIKey", a non-kit passed to with()) raises
//     platform::Exception named "BCNException" with the design's reason;
//     nothing catches it. Without an API key with() starts nothing.
//  4. installID, isFirstInstall and executionIdentifier are fixed at
//     creation; kitClasses is set once by with().
//  5. The SDK describes one program: the bundle the instance was made with
//     (the running program's, platform::Bundle::main(), unless a test made
//     the instance with another). The information dictionary, the
//     application identifier model and the settings manager are that
//     bundle's, and the kits the registry starts read it through bundle().
//
// Kit classes register themselves (registerKitClass) before with() runs:
// "class exists" means "is registered" (see sdk/platform/bcn_kit.h).
//
// Thread safety: every member may be called from any thread (properties are
// guarded by a mutex). Kits are started on with()'s calling thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/system/bundle.h"
#include "sdk/platform/bcn_kit.h"

namespace sdk {

class BCNApplicationIdentiferModel;
class BCNSettingsOnboardingManager;

// Constants of the platform kit.
inline constexpr const char* kBCNPlatformKitIdentifier = "io.beacon.sdk.mac";
inline constexpr const char* kBCNPlatformKitDisplayVersion = "1.6.11";
inline constexpr const char* kBCNPlatformKitBuildVersion = "60";
inline constexpr const char* kBCNPlatformName = "mac";
inline constexpr const char* kBCNExceptionName = "BCNException";
// The installation identifier's key in CTRUserDefaults.
inline constexpr const char* kBCNInstallationUUIDKey = "com.crashtrail.iuuid";
// Keys of the host application's information dictionary.
inline constexpr const char* kBCNInfoPlistBeaconKey = "Beacon";
inline constexpr const char* kBCNInfoPlistAPIKeyKey = "APIKey";
inline constexpr const char* kBCNInfoPlistKitsKey = "Kits";
inline constexpr const char* kBCNInfoPlistKitNameKey = "KitName";
inline constexpr const char* kBCNInfoPlistKitInfoKey = "KitInfo";

class Beacon : public std::enable_shared_from_this<Beacon> {
  struct Passkey {};

 public:
  // What the shared instance is made with.
  struct Options {
    // The program the SDK describes (nullptr: the running program's).
    platform::BundlePtr bundle;
  };

  // --- the shared instance --------------------------------------------------
  static std::shared_ptr<Beacon> sharedSDK();
  // Registers and starts `kits` (first call only, guarantee 2) and returns
  // the shared instance. Throws "BCNException" (guarantee 3).
  static std::shared_ptr<Beacon> with(const std::vector<BCNKitElement>& kits);

  // Tests: forgets the shared instance and the registration, so that the
  // next sharedSDK()/with() start afresh with an instance made with
  // `options`; clears the debug switch. Does not touch the kit class
  // registry.
  static void resetSharedSDKForTesting(Options options = {});

  // --- kit class registry ----------------------------------------------------
  // Registers (or replaces) the class named kitClass.name.
  static void registerKitClass(BCNKitClass kitClass);
  static void unregisterKitClass(std::string_view name);
  // The registered class of that name, nullptr when none ("no such class").
  static std::shared_ptr<const BCNKitClass> kitClassNamed(std::string_view name);

  // The initializer of the shared instance (guarantee 1); use sharedSDK().
  Beacon(Passkey, Options options);
  ~Beacon();
  Beacon(const Beacon&) = delete;
  Beacon& operator=(const Beacon&) = delete;

  // --- properties -------------------------------------------------------------
  // The program the SDK describes (guarantee 5); never null.
  const platform::BundlePtr& bundle() const { return bundle_; }

  // The key set by code, else "APIKey" of beaconConfig() (kept once read).
  // std::nullopt, after the console line, when there is none. May throw
  // "BCNException" from beaconConfig().
  std::optional<std::string> APIKey();
  void setAPIKey(std::optional<std::string> key);

  // The process-wide debug switch (see sdk/platform/bcn_console.h).
  bool debug() const;
  void setDebug(bool debug);

  // 36 upper-case characters with hyphens.
  const std::string& installID() const { return installID_; }
  bool isFirstInstall() const { return isFirstInstall_; }
  // 32 lower-case hexadecimal digits, new at every launch.
  const std::string& executionIdentifier() const { return executionIdentifier_; }

  std::optional<std::string> advertisingToken() const;
  void setAdvertisingToken(std::optional<std::string> token);

  // The kit classes in start order (empty until with() registered them).
  std::vector<std::string> kitClasses() const;

  // The downloaded settings dictionary; None until a settings file exists.
  platform::Value settings() const;
  // The application identifier model's instance identifier ("" when the
  // model could not read the executable).
  std::string instanceIdentifier() const;
  // Kit identifier -> kit display version, ending with the platform kit's.
  platform::Value kitVersionsByKitBundleIdentifier() const;

  // The "KitInfo" dictionary of the "Kits" entry named after the kit's
  // class: an empty dictionary when the entry has none, None when no entry
  // matches. May throw "BCNException" from beaconConfig().
  platform::Value configurationDictionaryForKit(const BCNObject& kit);
  static platform::Value configurationDictionaryForKitClass(std::string_view className);

  // The validated "Beacon" dictionary of bundle()'s information
  // dictionary, read once. Throws "BCNException" (guarantee 3).
  platform::Value beaconConfig();
  // The validation of beaconConfig() applied to `infoDictionary`.
  static platform::Value validBeaconConfigFromInfoPlist(const platform::Value& infoDictionary);

  std::shared_ptr<BCNSettingsOnboardingManager> settingsAndOnboardingManager() const {
    return settingsAndOnboardingManager_;
  }
  // nullptr when the running executable could not be read.
  std::shared_ptr<BCNApplicationIdentiferModel> applicationIdentifierModel() const {
    return applicationIdentifierModel_;
  }

  // --- steps of with() (public for tests) ---------------------------------------
  static std::vector<std::string> convertToKitClassesIfNeeded(
      const std::vector<BCNKitElement>& kits);
  // Throws "BCNException" on the first element that is no kit.
  static void validateFABKitConformance(const std::vector<std::string>& kitClasses);
  static std::vector<std::string> kitClassesByAddingDigitsIfFound(std::vector<std::string> kits);
  static std::vector<std::string> kitClassesByAddingTallyIfFound(std::vector<std::string> kits);
  static std::vector<std::string> kitClassesByEnsuringAppseeIsFirst(std::vector<std::string> kits);
  static void initializeKit(std::string_view kitClassName);

 private:
  void registerKits(const std::vector<BCNKitElement>& kits);
  void onboardAppAndDownloadSettings();
  std::optional<std::string> readInstallationUUID();
  std::string generateInstallationUUID();

  const platform::BundlePtr bundle_;
  std::string installID_;
  bool isFirstInstall_ = false;
  std::string executionIdentifier_;
  std::shared_ptr<BCNApplicationIdentiferModel> applicationIdentifierModel_;
  std::shared_ptr<BCNSettingsOnboardingManager> settingsAndOnboardingManager_;

  mutable std::mutex mutex_;  // guards the fields below; never held while calling out
  std::optional<std::string> apiKey_;
  std::optional<std::string> advertisingToken_;
  std::vector<std::string> kitClasses_;
  platform::Value beaconConfig_;
};

}  // namespace sdk
