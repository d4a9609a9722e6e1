#include "sdk/platform/bcn_settings.h"

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>

#include "codecs/json_decoder.h"
#include "sdk/platform/bcn_application.h"
#include "sdk/platform/bcn_console.h"
#include "sdk/platform/bcn_url_builder.h"

namespace sdk {

BCNSettings::BCNSettings(std::string settingsPath, platform::BundlePtr bundle)
    : settingsPath_(std::move(settingsPath)), bundle_(std::move(bundle)) {}

platform::Value BCNSettings::settingsDictionary() {
  std::lock_guard lock(mutex_);
  if (!settingsDictionary_.isNone()) return settingsDictionary_;

  std::ifstream in(settingsPath_, std::ios::binary);
  if (!in) return {};  // no file (yet): looked for again on the next read
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return {};
  in.close();

  platform::Error error;
  platform::Value parsed = codecs::objectFromJSONString(text, codecs::JTParseFlagNone, &error);
  if (parsed.isNone()) {
    BCNConsoleLog("[Beacon] Could not load settings with error: %@", error.description());
    ::unlink(settingsPath_.c_str());
    return {};
  }
  settingsDictionary_ = parsed;
  return settingsDictionary_;
}

void BCNSettings::clearSettingsDictionary() {
  std::lock_guard lock(mutex_);
  settingsDictionary_ = platform::Value();
}

platform::Value BCNSettings::appSettings() {
  const platform::Value settings = settingsDictionary();
  if (!settings.isDictionary()) return {};
  platform::Value app = settings["app"];
  if (app.isNull()) return {};
  return app;
}

std::string BCNSettings::appStatus() {
  const platform::Value app = appSettings();
  if (!app.isDictionary()) return {};
  const platform::Value status = app["status"];
  return status.isString() ? status.asString() : std::string();
}

bool BCNSettings::appNeedsOnboarding() { return appStatus() == "new"; }

bool BCNSettings::appUpdateRequired() {
  const platform::Value app = appSettings();
  if (!app.isDictionary()) return false;
  const platform::Value required = app["update_required"];
  return (required.isNumber() || required.isString()) && required.asBool();
}

std::string BCNSettings::appBundleIdentifier() const {
  return BCNApplicationGetBundleIdentifier(bundle_);
}
std::string BCNSettings::appBuildVersion() const { return BCNApplicationGetBuildVersion(bundle_); }
std::string BCNSettings::appDisplayVersion() const {
  return BCNApplicationGetDisplayVersion(bundle_);
}
std::int64_t BCNSettings::appSource() const { return BCNApplicationGetInstallSource({}, bundle_); }

platform::URL BCNSettings::settingsURLForEndpoint(const std::string& endpoint,
                                                  const std::string& appInstanceIdentifer,
                                                  const std::string& appIconHash) const {
  BCNURLBuilder builder = BCNURLBuilder::URLWithBase(endpoint);
  builder.appendComponent("/spi/v2/platforms/");
  builder.escapeAndAppendComponent(appPlatform());
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent(appBundleIdentifier());
  builder.appendComponent("/settings");
  // Empty texts stand for the design's nil values, which the builder leaves out.
  auto param = [&](const std::string& value, const char* name) {
    builder.appendValue(value.empty() ? platform::Value() : platform::Value(value), name);
  };
  param(appBuildVersion(), "build_version");
  param(appDisplayVersion(), "display_version");
  param(appInstanceIdentifer, "instance");
  param(appIconHash, "icon_hash");
  builder.appendValue(platform::Value(appSource()), "source");
  return builder.URL().value_or(platform::URL());
}

}  // namespace sdk
