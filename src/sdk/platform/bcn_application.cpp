#include "sdk/platform/bcn_application.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "platform/system/bundle.h"
#include "sdk/platform/bcn_host.h"

namespace sdk {

namespace {

platform::Value infoValue(const platform::BundlePtr& bundle, std::string_view key) {
  return bundle ? bundle->objectForInfoDictionaryKey(key) : platform::Value();
}

std::string infoString(const platform::BundlePtr& bundle, std::string_view key) {
  platform::Value value = infoValue(bundle, key);
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

std::string BCNApplicationGetBundleIdentifier(const platform::BundlePtr& bundle) {
  std::string identifier = bundle ? bundle->bundleIdentifier() : std::string();
  std::replace(identifier.begin(), identifier.end(), '/', '_');
  return identifier;
}

std::string BCNApplicationGetBuildVersion(const platform::BundlePtr& bundle) {
  return infoString(bundle, platform::kCFBundleVersionKey);
}

std::string BCNApplicationGetDisplayVersion(const platform::BundlePtr& bundle) {
  return infoString(bundle, platform::kCFBundleShortVersionStringKey);
}

std::string BCNApplicationGetName(const platform::BundlePtr& bundle) {
  std::string name = infoString(bundle, kCFBundleDisplayNameKey);
  if (name.empty()) name = infoString(bundle, platform::kCFBundleNameKey);
  if (name.empty()) name = BCNApplicationGetBuildVersion(bundle);
  return name;
}

std::string BCNApplicationGetAppStoreReceiptPath(const platform::BundlePtr& bundle) {
  if (!bundle) return {};
  return bundle->resourcePath() + "/_MASReceipt/receipt";
}

bool BCNApplicationHasAppStoreReceipt(const platform::HostInfo& host,
                                      const platform::BundlePtr& bundle) {
  if (BCNHostGetOSVersionNumber(host) < 1070) return false;
  std::string path = BCNApplicationGetAppStoreReceiptPath(bundle);
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool BCNApplicationIsSignedForDistribution(const platform::BundlePtr& bundle) {
  return boolValue(infoValue(bundle, kBCNCrashtrailSignedForDistributionKey)).value_or(false);
}

std::int64_t BCNApplicationGetInstallSource(const platform::HostInfo& host,
                                            const platform::BundlePtr& bundle) {
  if (BCNApplicationHasAppStoreReceipt(host, bundle)) return kBCNInstallSourceAppStore;
  if (BCNApplicationIsSignedForDistribution(bundle)) return kBCNInstallSourceSignedForDistribution;
  return kBCNInstallSourceDeveloper;
}

bool BCNApplicationCollectsDeviceIdentifiers(const platform::BundlePtr& bundle) {
  platform::Value beacon = infoValue(bundle, "Beacon");
  if (std::optional<bool> report = boolValue(beacon[kBCNReportIdentifiersKey])) return *report;
  if (std::optional<bool> collect =
          boolValue(infoValue(bundle, kBCNCrashtrailCollectDeviceIdentifiersKey))) {
    return *collect;
  }
  return true;
}

}  // namespace sdk
