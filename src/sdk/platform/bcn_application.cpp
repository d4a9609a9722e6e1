#include "sdk/platform/bcn_application.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "platform/system/bundle.h"
#include "sdk/platform/bcn_host.h"

namespace sdk {

namespace {

platform::Value infoValue(std::string_view key) {
  std::shared_ptr<const platform::Bundle> bundle = platform::Bundle::main();
  return bundle ? bundle->objectForInfoDictionaryKey(key) : platform::Value();
}

std::string infoString(std::string_view key) {
  platform::Value value = infoValue(key);
  return value.isString() ? value.asString() : std::string();
}

// The design's boolValue of a plist entry: numbers and strings convert, a
// present entry of another kind counts as NO.
std::optional<bool> boolValue(const platform::Value& value) {
  if (value.isNone() || value.isNull()) return std::nullopt;
  if (value.isNumber() || value.isString()) return value.asBool();
  return false;
}

}  // namespace

std::string BCNApplicationGetBundleIdentifier() {
  std::shared_ptr<const platform::Bundle> bundle = platform::Bundle::main();
  std::string identifier = bundle ? bundle->bundleIdentifier() : std::string();
  std::replace(identifier.begin(), identifier.end(), '/', '_');
  return identifier;
}

std::string BCNApplicationGetBuildVersion() { return infoString(platform::kCFBundleVersionKey); }

std::string BCNApplicationGetDisplayVersion() {
  return infoString(platform::kCFBundleShortVersionStringKey);
}

std::string BCNApplicationGetName() {
  std::string name = infoString(kCFBundleDisplayNameKey);
  if (name.empty()) name = infoString(platform::kCFBundleNameKey);
  if (name.empty()) name = BCNApplicationGetBuildVersion();
  return name;
}

std::string BCNApplicationGetAppStoreReceiptPath() {
  std::shared_ptr<const platform::Bundle> bundle = platform::Bundle::main();
  if (!bundle) return {};
  return bundle->resourcePath() + "/_MASReceipt/receipt";
}

bool BCNApplicationHasAppStoreReceipt(const platform::HostInfo& host) {
  if (BCNHostGetOSVersionNumber(host) < 1070) return false;
  std::string path = BCNApplicationGetAppStoreReceiptPath();
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool BCNApplicationIsSignedForDistribution() {
  return boolValue(infoValue(kBCNCrashtrailSignedForDistributionKey)).value_or(false);
}

std::int64_t BCNApplicationGetInstallSource(const platform::HostInfo& host) {
  if (BCNApplicationHasAppStoreReceipt(host)) return kBCNInstallSourceAppStore;
  if (BCNApplicationIsSignedForDistribution()) return kBCNInstallSourceSignedForDistribution;
  return kBCNInstallSourceDeveloper;
}

bool BCNApplicationCollectsDeviceIdentifiers() {
  platform::Value beacon = infoValue("Beacon");
  if (std::optional<bool> report = boolValue(beacon[kBCNReportIdentifiersKey])) return *report;
  if (std::optional<bool> collect =
          boolValue(infoValue(kBCNCrashtrailCollectDeviceIdentifiersKey))) {
    return *collect;
  }
  return true;
}

}  // namespace sdk
