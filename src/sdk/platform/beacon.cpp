#include "sdk/platform/beacon.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <map>
#include <thread>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/system/bundle.h"
#include "sdk/platform/bcn_application_identifier_model.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_encoding.h"
#include "sdk/platform/bcn_settings.h"
#include "sdk/platform/bcn_settings_onboarding_manager.h"
#include "sdk/platform/ctr_user_defaults.h"

namespace sdk {

namespace {

// The registry's class name, as the console lines and exception texts use it.
constexpr const char* kBeaconClassName = "Beacon";

enum class Registration { NotBegun, Running, Done };

struct SharedState {
  std::mutex instanceMutex;  // held while the instance is made
  std::shared_ptr<Beacon> instance;
  Beacon::Options options;  // what the next instance is made with

  std::mutex registrationMutex;
  std::condition_variable registrationCv;
  Registration registration = Registration::NotBegun;
  std::thread::id registeringThread;
};

SharedState& shared() {
  static SharedState state;
  return state;
}

struct KitClassRegistry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<const BCNKitClass>, std::less<>> classes;
};

KitClassRegistry& kitRegistry() {
  static KitClassRegistry registry;
  return registry;
}

bool containsName(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

[[noreturn]] void raise(std::string reason) {
  throw platform::Exception(kBCNExceptionName, std::move(reason));
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

}  // namespace

// --- the shared instance -----------------------------------------------------

std::shared_ptr<Beacon> Beacon::sharedSDK() {
  SharedState& state = shared();
  std::lock_guard lock(state.instanceMutex);
  if (!state.instance) state.instance = std::make_shared<Beacon>(Passkey{}, state.options);
  return state.instance;
}

std::shared_ptr<Beacon> Beacon::with(const std::vector<BCNKitElement>& kits) {
  SharedState& state = shared();
  {
    std::unique_lock lock(state.registrationMutex);
    if (state.registration != Registration::NotBegun) {
      lock.unlock();
      BCNConsoleWrite(
          "[Beacon] [Beacon +with] called multiple times. Only the first call is honored, please "
          "pass all kits you wish to initialize");
      lock.lock();
      // Wait for a first call still running on another thread (a kit that
      // calls back in while it starts must not wait for itself).
      if (state.registeringThread != std::this_thread::get_id()) {
        state.registrationCv.wait(lock, [&] { return state.registration == Registration::Done; });
      }
      lock.unlock();
      return sharedSDK();
    }
    state.registration = Registration::Running;
    state.registeringThread = std::this_thread::get_id();
  }
  auto finish = [&state] {
    std::lock_guard lock(state.registrationMutex);
    state.registration = Registration::Done;
    state.registeringThread = std::thread::id();
    state.registrationCv.notify_all();
  };
  std::shared_ptr<Beacon> sdk;
  try {
    sdk = sharedSDK();
    sdk->registerKits(kits);
  } catch (...) {
    finish();
    throw;
  }
  finish();
  return sdk;
}

void Beacon::resetSharedSDKForTesting(Options options) {
  SharedState& state = shared();
  std::shared_ptr<Beacon> old;
  {
    std::lock_guard lock(state.instanceMutex);
    old = std::move(state.instance);
    state.instance = nullptr;
    state.options = std::move(options);
  }
  {
    std::lock_guard lock(state.registrationMutex);
    state.registration = Registration::NotBegun;
    state.registeringThread = std::thread::id();
  }
  BCNConsoleSetDebug(false);
}

// --- kit class registry ----------------------------------------------------------

void Beacon::registerKitClass(BCNKitClass kitClass) {
  if (kitClass.name.empty()) {
    throw platform::Exception(platform::kInvalidArgumentException, "a kit class needs a name");
  }
  if (kitClass.conformsToBCNKit && (!kitClass.bundleIdentifier || !kitClass.kitDisplayVersion)) {
    throw platform::Exception(platform::kInvalidArgumentException,
                              "a kit class adopting the kit contract must answer "
                              "bundleIdentifier and kitDisplayVersion: " +
                                  kitClass.name);
  }
  KitClassRegistry& registry = kitRegistry();
  auto record = std::make_shared<const BCNKitClass>(std::move(kitClass));
  std::lock_guard lock(registry.mutex);
  registry.classes[record->name] = std::move(record);
}

void Beacon::unregisterKitClass(std::string_view name) {
  KitClassRegistry& registry = kitRegistry();
  std::shared_ptr<const BCNKitClass> removed;
  std::lock_guard lock(registry.mutex);
  auto it = registry.classes.find(name);
  if (it == registry.classes.end()) return;
  removed = std::move(it->second);
  registry.classes.erase(it);
}

std::shared_ptr<const BCNKitClass> Beacon::kitClassNamed(std::string_view name) {
  KitClassRegistry& registry = kitRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.classes.find(name);
  return it == registry.classes.end() ? nullptr : it->second;
}

// --- initialisation -----------------------------------------------------------------

Beacon::Beacon(Passkey, Options options)
    : bundle_(options.bundle ? std::move(options.bundle) : platform::Bundle::main()) {
  if (std::optional<std::string> stored = readInstallationUUID()) {
    installID_ = *stored;
  } else {
    isFirstInstall_ = true;
    installID_ = generateInstallationUUID();
  }
  std::string execution = BCNGenerateUUIDString();
  execution.erase(std::remove(execution.begin(), execution.end(), '-'), execution.end());
  std::transform(execution.begin(), execution.end(), execution.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  executionIdentifier_ = std::move(execution);
  applicationIdentifierModel_ =
      BCNApplicationIdentiferModel::initWithInstallID(installID_, bundle_);
  settingsAndOnboardingManager_ = BCNSettingsOnboardingManager::initWithApplicationIdentifierModel(
      applicationIdentifierModel_, bundle_);
}

Beacon::~Beacon() = default;

std::optional<std::string> Beacon::readInstallationUUID() {
  platform::Value stored =
      CTRUserDefaults::standardUserDefaults()->objectForKeyByMigratingFromNSUserDefaults(
          kBCNInstallationUUIDKey);
  // Anything but a non-empty text cannot be an identifier: make a new one.
  if (!stored.isString() || stored.asString().empty()) return std::nullopt;
  return stored.asString();
}

std::string Beacon::generateInstallationUUID() {
  std::string identifier = BCNGenerateUUIDString();
  std::shared_ptr<CTRUserDefaults> defaults = CTRUserDefaults::standardUserDefaults();
  defaults->setObject(platform::Value(identifier), kBCNInstallationUUIDKey);
  defaults->synchronize();
  return identifier;
}

// --- registration ------------------------------------------------------------------------

void Beacon::registerKits(const std::vector<BCNKitElement>& kits) {
  if (!APIKey()) return;
  std::vector<std::string> classes = convertToKitClassesIfNeeded(kits);
  validateFABKitConformance(classes);
  classes = kitClassesByAddingDigitsIfFound(std::move(classes));
  classes = kitClassesByAddingTallyIfFound(std::move(classes));
  classes = kitClassesByEnsuringAppseeIsFirst(std::move(classes));
  {
    std::lock_guard lock(mutex_);
    kitClasses_ = classes;
  }
  for (const std::string& kit : classes) initializeKit(kit);
  onboardAppAndDownloadSettings();
}

std::vector<std::string> Beacon::convertToKitClassesIfNeeded(
    const std::vector<BCNKitElement>& kits) {
  std::vector<std::string> classes;
  classes.reserve(kits.size());
  for (const BCNKitElement& kit : kits) classes.push_back(kit.className());
  return classes;
}

void Beacon::validateFABKitConformance(const std::vector<std::string>& kitClasses) {
  for (const std::string& name : kitClasses) {
    std::shared_ptr<const BCNKitClass> kit = kitClassNamed(name);
    if (kit && kit->conformsToBCNKit) continue;
    if (kit && kit->sharedInstance) {
      BCNConsoleWrite(
          platform::format("[%@] Please upgrade to the latest version of ", kBeaconClassName) +
          quoted(name));
      std::shared_ptr<BCNLegacyKitInstance> instance = kit->sharedInstance();
      if (instance && instance->start && instance->bundleIdentifier && instance->version) {
        continue;
      }
    }
    raise(platform::format("[%@] It appears that ", kBeaconClassName) + quoted(name) +
          " is not a valid Beacon Kit. Please make sure you only pass Beacon Kits to [Beacon "
          "with:].");
  }
}

std::vector<std::string> Beacon::kitClassesByAddingDigitsIfFound(std::vector<std::string> kits) {
  if (kitClassNamed("Digits") && !containsName(kits, "Digits")) kits.emplace_back("Digits");
  return kits;
}

std::vector<std::string> Beacon::kitClassesByAddingTallyIfFound(std::vector<std::string> kits) {
  std::shared_ptr<const BCNKitClass> tally = kitClassNamed("Tally");
  if (kitClassNamed("Crashtrail") && tally && containsName(kits, "Crashtrail") &&
      tally->conformsToBCNKit && !containsName(kits, "Tally")) {
    kits.emplace_back("Tally");
  }
  return kits;
}

std::vector<std::string> Beacon::kitClassesByEnsuringAppseeIsFirst(std::vector<std::string> kits) {
  if (!kitClassNamed("Appsee")) return kits;
  auto it = std::find(kits.begin(), kits.end(), "Appsee");
  if (it != kits.end()) std::rotate(kits.begin(), it, it + 1);
  return kits;
}

void Beacon::initializeKit(std::string_view kitClassName) {
  std::shared_ptr<const BCNKitClass> kit = kitClassNamed(kitClassName);
  if (!kit) return;
  if (kit->conformsToBCNKit) {
    if (kit->initializeIfNeeded) kit->initializeIfNeeded();
    return;
  }
  if (!kit->sharedInstance) return;
  std::shared_ptr<BCNLegacyKitInstance> instance = kit->sharedInstance();
  if (instance && instance->start) instance->start();
}

void Beacon::onboardAppAndDownloadSettings() {
  std::optional<std::string> key = APIKey();
  if (!key || !settingsAndOnboardingManager_) return;
  settingsAndOnboardingManager_->beginSettingsAndOnboardingOperationsWithAPIKey(
      *key, kitVersionsByKitBundleIdentifier());
}

// --- properties ------------------------------------------------------------------------------

std::optional<std::string> Beacon::APIKey() {
  {
    std::lock_guard lock(mutex_);
    if (apiKey_) return apiKey_;
  }
  platform::Value key = beaconConfig()[kBCNInfoPlistAPIKeyKey];
  if (key.isString()) {
    std::lock_guard lock(mutex_);
    if (!apiKey_) apiKey_ = key.asString();
    return apiKey_;
  }
  BCNConsoleWrite(
      "[Beacon] Beacon API Key is nil! Beacon won't work unless there is a valid API Key setup "
      "in Info.plist");
  return std::nullopt;
}

void Beacon::setAPIKey(std::optional<std::string> key) {
  std::lock_guard lock(mutex_);
  apiKey_ = std::move(key);
}

bool Beacon::debug() const { return BCNConsoleIsDebug(); }

void Beacon::setDebug(bool debug) { BCNConsoleSetDebug(debug); }

std::optional<std::string> Beacon::advertisingToken() const {
  std::lock_guard lock(mutex_);
  return advertisingToken_;
}

void Beacon::setAdvertisingToken(std::optional<std::string> token) {
  std::lock_guard lock(mutex_);
  advertisingToken_ = std::move(token);
}

std::vector<std::string> Beacon::kitClasses() const {
  std::lock_guard lock(mutex_);
  return kitClasses_;
}

platform::Value Beacon::settings() const {
  if (!settingsAndOnboardingManager_) return {};
  std::shared_ptr<BCNSettings> model = settingsAndOnboardingManager_->settingsModel();
  return model ? model->settingsDictionary() : platform::Value();
}

std::string Beacon::instanceIdentifier() const {
  return applicationIdentifierModel_ ? applicationIdentifierModel_->instanceIdentifier()
                                     : std::string();
}

platform::Value Beacon::kitVersionsByKitBundleIdentifier() const {
  platform::Value versions = platform::Value::mutableDictionary();
  for (const std::string& name : kitClasses()) {
    std::shared_ptr<const BCNKitClass> kit = kitClassNamed(name);
    if (!kit) continue;
    if (kit->conformsToBCNKit) {
      versions.set(kit->bundleIdentifier(), platform::Value(kit->kitDisplayVersion()));
    } else if (kit->sharedInstance) {
      std::shared_ptr<BCNLegacyKitInstance> instance = kit->sharedInstance();
      if (instance && instance->bundleIdentifier && instance->version) {
        versions.set(instance->bundleIdentifier(), platform::Value(instance->version()));
      }
    }
  }
  versions.set(kBCNPlatformKitIdentifier, platform::Value(kBCNPlatformKitDisplayVersion));
  platform::Value result = versions.copy();
  BCNConsoleDebugLog("[Beacon] Initialized with kit versions: %@", result);
  return result;
}

// --- configuration ---------------------------------------------------------------------------

platform::Value Beacon::beaconConfig() {
  {
    std::lock_guard lock(mutex_);
    if (!beaconConfig_.isNone()) return beaconConfig_;
  }
  platform::Value config = validBeaconConfigFromInfoPlist(bundle_->infoDictionary());
  std::lock_guard lock(mutex_);
  if (beaconConfig_.isNone()) beaconConfig_ = config;
  return beaconConfig_;
}

platform::Value Beacon::validBeaconConfigFromInfoPlist(const platform::Value& infoDictionary) {
  // A program without an information file has an empty dictionary.
  if (!infoDictionary.isDictionary() || infoDictionary.count() == 0) {
    raise(platform::format("[%@] Cannot find Info.plist.", kBeaconClassName));
  }
  platform::Value beacon = infoDictionary[kBCNInfoPlistBeaconKey];
  if (!beacon.isDictionary()) {
    raise(platform::format("[%@] Value of Info.plist key ", kBeaconClassName) +
          quoted(kBCNInfoPlistBeaconKey) + " must be a NSDictionary.");
  }
  if (!beacon[kBCNInfoPlistKitsKey].isArray()) {
    BCNConsoleLog("[Beacon] [%@] Value of Info.plist[%@][%@] should be a NSArray.",
                  kBeaconClassName, kBeaconClassName, kBCNInfoPlistKitsKey);
  }
  if (!beacon[kBCNInfoPlistAPIKeyKey].isString()) {
    raise(platform::format("[%@] Value of Info.plist[%@][%@] must contain your %@ API Key.",
                           kBeaconClassName, kBeaconClassName, kBCNInfoPlistAPIKeyKey,
                           kBeaconClassName));
  }
  return beacon.copy();
}

platform::Value Beacon::configurationDictionaryForKit(const BCNObject& kit) {
  return configurationDictionaryForKitClass(kit.className());
}

platform::Value Beacon::configurationDictionaryForKitClass(std::string_view className) {
  platform::Value kits = sharedSDK()->beaconConfig()[kBCNInfoPlistKitsKey];
  for (const platform::Value& entry : kits.elements()) {
    if (entry[kBCNInfoPlistKitNameKey].stringView() != className ||
        !entry[kBCNInfoPlistKitNameKey].isString()) {
      continue;
    }
    platform::Value info = entry[kBCNInfoPlistKitInfoKey];
    return info.isNone() ? platform::Value::dictionary() : info;
  }
  return {};
}

}  // namespace sdk
