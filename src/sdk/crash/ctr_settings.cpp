#include "sdk/crash/ctr_settings.h"

#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "platform/system/bundle.h"
#include "platform/system/process_info.h"
#include "platform/system/property_list.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {

namespace {

// The string of `key` in the table file at `path`; nullopt when the file or
// the entry is missing.
std::optional<std::string> stringFromTableFile(const std::string& path, std::string_view key) {
  platform::Error error;
  const platform::Value table = platform::plist::readFile(path, &error);
  if (!table.isDictionary()) return std::nullopt;
  const platform::Value entry = table[key];
  if (!entry.isString()) return std::nullopt;
  return entry.asString();
}

}  // namespace

std::string CTRLocalizedString(std::string_view key, std::string_view table, std::string_view value,
                               const platform::BundlePtr& bundle) {
  if (!bundle || bundle->resourcePath().empty() || table.empty()) return std::string(value);
  const std::string fileName = std::string(table) + ".strings";
  std::vector<std::string> folders;
  const auto addFolder = [&folders](std::string folder) {
    for (const auto& known : folders)
      if (known == folder) return;
    folders.push_back(std::move(folder));
  };
  for (const auto& tag : platform::ProcessInfo::preferredLanguages()) {
    if (tag.empty() || tag.find('/') != std::string::npos || tag == "." || tag == "..") continue;
    addFolder(tag + ".lproj/");
    const std::size_t dash = tag.find('-');
    if (dash != std::string::npos && dash > 0) addFolder(tag.substr(0, dash) + ".lproj/");
  }
  addFolder("Base.lproj/");
  addFolder("");
  for (const auto& folder : folders) {
    if (auto found = stringFromTableFile(bundle->resourcePath() + "/" + folder + fileName, key))
      return *found;
  }
  return std::string(value);
}

CTRSettings::Ptr CTRSettings::initWithDictionary(platform::Value settingsDictionary,
                                                 platform::BundlePtr bundle) {
  return std::make_shared<const CTRSettings>(std::move(settingsDictionary), std::move(bundle));
}

CTRSettings::CTRSettings(platform::Value settingsDictionary, platform::BundlePtr bundle)
    : settingsDictionary_(std::move(settingsDictionary)), bundle_(std::move(bundle)) {}

// --- local configuration -------------------------------------------------------

platform::Value CTRSettings::configuration(const platform::BundlePtr& bundle) {
  if (!bundle) return {};
  const platform::Value config = bundle->objectForInfoDictionaryKey(kCTRConfigurationKey);
  return config.isDictionary() ? config : platform::Value();
}

platform::Value CTRSettings::defaultConfiguration() {
  return platform::Value::dictionary({{kCTRBetaEndpointKey, kCTRDefaultBetaEndpoint},
                                      {kCTRReportsEndpointKey, kCTRDefaultReportsEndpoint},
                                      {kCTRPackageReportsKey, true},
                                      {kCTRSubmitReportsKey, true},
                                      {kCTRUrgentReportsKey, true}});
}

platform::Value CTRSettings::valueForConfigurationKey(const std::string& key) const {
  const std::string variable = std::string(kCTRConfigurationKey) + key;
  if (const char* env = std::getenv(variable.c_str())) {
    const std::string text(env);
    BCNConsoleLog("[Crashtrail:Crash] override: '%@' => '%@'", key, text);
    return platform::Value(text);
  }
  const platform::Value configured = configuration(bundle_)[key];
  if (!configured.isNone()) return configured;
  return defaultConfiguration()[key];
}

std::string CTRSettings::localString(const char* key) const {
  const platform::Value value = valueForConfigurationKey(key);
  if (value.isString()) return value.asString();
  // Something other than a text in the information dictionary: the default.
  return defaultConfiguration()[key].asString();
}

bool CTRSettings::localBool(const char* key) const {
  return valueForConfigurationKey(key).asBool();
}

std::string CTRSettings::betaEndpoint() const { return localString(kCTRBetaEndpointKey); }
std::string CTRSettings::reportsEndpoint() const { return localString(kCTRReportsEndpointKey); }
bool CTRSettings::shouldPackageReports() const { return localBool(kCTRPackageReportsKey); }
bool CTRSettings::shouldSubmitReports() const { return localBool(kCTRSubmitReportsKey); }
bool CTRSettings::canProcessUrgentReports() const { return localBool(kCTRUrgentReportsKey); }

// --- server settings -------------------------------------------------------------

platform::Value CTRSettings::serverValue(const char* group, const char* key) const {
  const platform::Value value = settingsDictionary_[group][key];
  return value.isNull() ? platform::Value() : value;
}

bool CTRSettings::serverBool(const char* group, const char* key, bool fallback) const {
  const platform::Value value = serverValue(group, key);
  return value.isNone() ? fallback : value.asBool();
}

std::uint32_t CTRSettings::serverUInt32(const char* group, const char* key,
                                        std::uint32_t fallback) const {
  const platform::Value value = serverValue(group, key);
  if (value.isNone()) return fallback;
  constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
  if (value.isUInt() || (value.isString() && !value.stringView().empty() &&
                         value.stringView().find('-') == std::string_view::npos)) {
    const std::uint64_t n = value.asUInt64();
    return n > kMax ? kMax : static_cast<std::uint32_t>(n);
  }
  if (value.isReal()) {
    const double d = value.asDouble();
    if (!(d > 0)) return 0;  // negative and NaN
    return d >= static_cast<double>(kMax) ? kMax : static_cast<std::uint32_t>(d);
  }
  const std::int64_t n = value.asInt64();
  if (n < 0) return 0;
  return static_cast<std::uint64_t>(n) > kMax ? kMax : static_cast<std::uint32_t>(n);
}

std::uint32_t CTRSettings::betaSuspendDuration() const {
  return serverUInt32(kCTRSettingsBetaKey, kCTRSettingsUpdateSuspendDurationKey,
                      kCTRDefaultBetaSuspendDuration);
}

bool CTRSettings::errorReportingEnabled() const {
  return serverBool(kCTRSettingsFeaturesKey, kCTRSettingsCollectLoggedExceptionsKey, true);
}

bool CTRSettings::crashReportingEnabled() const {
  return serverBool(kCTRSettingsFeaturesKey, kCTRSettingsCollectReportsKey, true);
}

bool CTRSettings::userPromptEnabled() const {
  return serverBool(kCTRSettingsFeaturesKey, kCTRSettingsPromptEnabledKey, false);
}

std::uint32_t CTRSettings::logBufferSize() const {
  return serverUInt32(kCTRSettingsSessionKey, kCTRSettingsLogBufferSizeKey,
                      kCTRDefaultLogBufferSize);
}

std::uint32_t CTRSettings::maxCustomExceptions() const {
  return serverUInt32(kCTRSettingsSessionKey, kCTRSettingsMaxCustomExceptionEventsKey,
                      kCTRDefaultMaxCustomExceptions);
}

std::uint32_t CTRSettings::maxCustomKeys() const {
  return serverUInt32(kCTRSettingsSessionKey, kCTRSettingsMaxCustomKeyValuePairsKey,
                      kCTRDefaultMaxCustomKeys);
}

// --- prompt texts ------------------------------------------------------------------

std::string CTRSettings::promptText(const CTRPromptText& text) const {
  std::string found = text.builtInText;
  const platform::Value server = settingsDictionary_[kCTRSettingsPromptKey][text.serverKey];
  if (server.isString()) found = server.asString();
  return CTRLocalizedString(text.localizationKey, kCTRStringsTableName, found, bundle_);
}

std::string CTRSettings::interactivePromptTitle() const { return promptText(kCTRPromptTitle); }
std::string CTRSettings::interactivePromptMessage() const { return promptText(kCTRPromptMessage); }
std::string CTRSettings::interactivePromptCancelTitle() const {
  return promptText(kCTRPromptCancelTitle);
}
std::string CTRSettings::interactivePromptSendTitle() const {
  return promptText(kCTRPromptSendTitle);
}
std::string CTRSettings::interactivePromptAlwaysSendTitle() const {
  return promptText(kCTRPromptAlwaysSendTitle);
}

}  // namespace sdk
