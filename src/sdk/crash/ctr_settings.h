// CTRSettings: every configuration question of crash reporting, answered
// from two sources: the local configuration (endpoints and three switches),
// which the environment or the host application's "Crashtrail" information
// dictionary can override, and the server settings dictionary the kit
// registry downloaded, with a built-in default for every missing value.
//
// Guarantees:
//  1. A settings object never changes: it keeps the server dictionary and
//     the (immutable) bundle it was made with, and reads the environment
//     afresh on each call.
//  2. Local lookup, first hit wins: the environment variable "Crashtrail" +
//     key (logging "[Crashtrail:Crash] override: '<key>' => '<value>'" to the
//     console), the key in the "Crashtrail" dictionary of the bundle the
//     object was made with (by default the running program's), the default.
//  3. Server values: a missing settings dictionary, outer dictionary or key
//     (or a JSON null there) gives the default. Numbers are read as 32-bit
//     unsigned; a negative number reads as 0 and one above 2^32 - 1 as
//     2^32 - 1 (they never wrap).
//  4. Prompt texts: the built-in text, replaced by the server's "prompt"
//     text when it has one, replaced by the host's "Crashtrail" string table
//     entry when it has one (see CTRLocalizedString).
//
// Thread safety: immutable; any member may be called from any thread (as
// long as no other thread changes the environment at the same time).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "platform/system/bundle.h"

namespace sdk {

// The environment prefix, the information dictionary key and the string
// table name of crash reporting's configuration.
inline constexpr const char* kCTRConfigurationKey = "Crashtrail";
inline constexpr const char* kCTRStringsTableName = "Crashtrail";

// Local configuration keys.
inline constexpr const char* kCTRBetaEndpointKey = "BetaEndpoint";
inline constexpr const char* kCTRReportsEndpointKey = "ReportsEndpoint";
inline constexpr const char* kCTRPackageReportsKey = "PackageReports";
inline constexpr const char* kCTRSubmitReportsKey = "SubmitReports";
inline constexpr const char* kCTRUrgentReportsKey = "UrgentReports";

// Default endpoints: the SDK's API service and its crash-report service.
inline constexpr const char* kCTRDefaultBetaEndpoint = "https://api.beacon.io";
inline constexpr const char* kCTRDefaultReportsEndpoint = "https://reports.beacon.io";

// Server settings groups and keys.
inline constexpr const char* kCTRSettingsBetaKey = "beta";
inline constexpr const char* kCTRSettingsUpdateSuspendDurationKey = "update_suspend_duration";
inline constexpr const char* kCTRSettingsFeaturesKey = "features";
inline constexpr const char* kCTRSettingsCollectLoggedExceptionsKey = "collect_logged_exceptions";
inline constexpr const char* kCTRSettingsCollectReportsKey = "collect_reports";
inline constexpr const char* kCTRSettingsPromptEnabledKey = "prompt_enabled";
inline constexpr const char* kCTRSettingsSessionKey = "session";
inline constexpr const char* kCTRSettingsLogBufferSizeKey = "log_buffer_size";
inline constexpr const char* kCTRSettingsMaxCustomExceptionEventsKey =
    "max_custom_exception_events";
inline constexpr const char* kCTRSettingsMaxCustomKeyValuePairsKey = "max_custom_key_value_pairs";
inline constexpr const char* kCTRSettingsPromptKey = "prompt";

// Server defaults.
inline constexpr std::uint32_t kCTRDefaultBetaSuspendDuration = 3600;
inline constexpr std::uint32_t kCTRDefaultLogBufferSize = 65536;
inline constexpr std::uint32_t kCTRDefaultMaxCustomExceptions = 16;
inline constexpr std::uint32_t kCTRDefaultMaxCustomKeys = 16;

// Send-prompt texts: server key, localisation key, built-in text.
struct CTRPromptText {
  const char* serverKey;
  const char* localizationKey;
  const char* builtInText;
};
inline constexpr CTRPromptText kCTRPromptTitle{"title", "CrashtrailCrashSubmissionPromptTitle",
                                               "Send Crash Report?"};
inline constexpr CTRPromptText kCTRPromptMessage{
    "message", "CrashtrailCrashSubmissionPromptMessage",
    "Looks like we crashed! Please help us fix the problem by sending a crash report."};
inline constexpr CTRPromptText kCTRPromptCancelTitle{
    "cancel_button_title", "CrashtrailCrashSubmissionCancelTitle", "Don't Send"};
inline constexpr CTRPromptText kCTRPromptSendTitle{"send_button_title",
                                                   "CrashtrailCrashSubmissionSendTitle", "Send"};
inline constexpr CTRPromptText kCTRPromptAlwaysSendTitle{
    "always_send_button_title", "CrashtrailCrashSubmissionAlwaysSendTitle", "Always Send"};

// The entry `key` of `bundle`'s string table `table`, else `value`.
// A string table is a property-list dictionary "<table>.strings" in the
// bundle's resources folder: first in "<language>.lproj/" for each of the
// user's preferred languages (the full tag, then its language alone), then
// "Base.lproj/", then the resources folder itself. Only string entries
// count; unreadable tables are skipped.
std::string CTRLocalizedString(std::string_view key, std::string_view table, std::string_view value,
                               const platform::BundlePtr& bundle = platform::Bundle::main());

class CTRSettings {
 public:
  using Ptr = std::shared_ptr<const CTRSettings>;

  // initWithDictionary: `settingsDictionary` may be None (no settings yet).
  // `bundle` holds the local configuration and the string tables.
  static Ptr initWithDictionary(platform::Value settingsDictionary,
                                platform::BundlePtr bundle = platform::Bundle::main());
  explicit CTRSettings(platform::Value settingsDictionary,
                       platform::BundlePtr bundle = platform::Bundle::main());

  const platform::Value& settingsDictionary() const { return settingsDictionary_; }

  // --- local configuration (guarantee 2) -------------------------------------
  // The value found for `key`: a string from the environment, else whatever
  // the information dictionary holds, else the default (None for an
  // unknown key).
  platform::Value valueForConfigurationKey(const std::string& key) const;
  std::string betaEndpoint() const;
  std::string reportsEndpoint() const;
  bool shouldPackageReports() const;
  bool shouldSubmitReports() const;
  bool canProcessUrgentReports() const;

  // The "Crashtrail" dictionary of `bundle`'s information dictionary (None
  // when absent or not a dictionary) and the five defaults.
  static platform::Value configuration(
      const platform::BundlePtr& bundle = platform::Bundle::main());
  static platform::Value defaultConfiguration();

  // --- server settings (guarantee 3) -------------------------------------------
  std::uint32_t betaSuspendDuration() const;
  bool errorReportingEnabled() const;
  bool customExceptionsEnabled() const { return errorReportingEnabled(); }
  bool crashReportingEnabled() const;
  bool userPromptEnabled() const;
  std::uint32_t logBufferSize() const;
  std::uint32_t errorLogBufferSize() const { return logBufferSize(); }
  std::uint32_t maxCustomExceptions() const;
  std::uint32_t maxCustomKeys() const;

  // --- send-prompt texts (guarantee 4) -----------------------------------------
  std::string interactivePromptTitle() const;
  std::string interactivePromptMessage() const;
  std::string interactivePromptCancelTitle() const;
  std::string interactivePromptSendTitle() const;
  std::string interactivePromptAlwaysSendTitle() const;

 private:
  platform::Value serverValue(const char* group, const char* key) const;
  bool serverBool(const char* group, const char* key, bool fallback) const;
  std::uint32_t serverUInt32(const char* group, const char* key, std::uint32_t fallback) const;
  std::string localString(const char* key) const;
  bool localBool(const char* key) const;
  std::string promptText(const CTRPromptText& text) const;

  const platform::Value settingsDictionary_;
  const platform::BundlePtr bundle_;
};

}  // namespace sdk
