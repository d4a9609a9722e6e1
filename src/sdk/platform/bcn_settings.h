// sdk::BCNSettings: the SDK's downloaded settings file ("settings.json") as a
// dictionary, with the few facts the platform itself reads from it (is the
// application new on the platform, does its record need an update) and the
// fixed facts of the host application that the settings request carries.
//
// The file is read lazily on the first settingsDictionary() call and kept
// until clearSettingsDictionary(); a missing file reads as absent (None) and
// is looked for again on the next call; a file that does not parse as JSON is
// removed and reads as absent.
//
// Thread safety: every member may be called from any thread (the loaded
// dictionary is guarded by a lock; the dictionary itself is immutable).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/system/bundle.h"

namespace sdk {

class BCNSettings {
 public:
  // The settings file at `settingsPath` of the program `bundle` describes.
  explicit BCNSettings(std::string settingsPath,
                       platform::BundlePtr bundle = platform::Bundle::main());
  static std::shared_ptr<BCNSettings> initWithSettingsPath(
      std::string settingsPath, platform::BundlePtr bundle = platform::Bundle::main()) {
    return std::make_shared<BCNSettings>(std::move(settingsPath), std::move(bundle));
  }

  const std::string& settingsPath() const { return settingsPath_; }

  // The parsed settings file, or None (no file, or a file that was not JSON).
  platform::Value settingsDictionary();
  // Drops the loaded dictionary; the next read loads the file again.
  void clearSettingsDictionary();

  // "app" (None when absent or null).
  platform::Value appSettings();
  // "app"/"status" (empty when absent, null or not text).
  std::string appStatus();
  // appStatus() == "new".
  bool appNeedsOnboarding();
  // Boolean value of "app"/"update_required"; false when absent.
  bool appUpdateRequired();

  // Fixed facts of the host application.
  std::string appBundleIdentifier() const;
  std::string appPlatform() const { return "mac"; }
  std::string appBuildVersion() const;
  std::string appDisplayVersion() const;
  std::int64_t appSource() const;

  // "<endpoint>/spi/v2/platforms/mac/apps/<bundle id>/settings?build_version=
  // ...&display_version=...&instance=...&icon_hash=...&source=...", leaving
  // out parameters that have no value (an empty instance or icon hash).
  platform::URL settingsURLForEndpoint(const std::string& endpoint,
                                       const std::string& appInstanceIdentifer,
                                       const std::string& appIconHash) const;

 private:
  const std::string settingsPath_;
  const platform::BundlePtr bundle_;
  std::mutex mutex_;
  platform::Value settingsDictionary_;
};

}  // namespace sdk
