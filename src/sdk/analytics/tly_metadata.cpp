#include "sdk/analytics/tly_metadata.h"

#include <utility>

#include "platform/foundation/exception.h"
#include "platform/system/current_locale.h"
#include "platform/system/process_info.h"
#include "sdk/platform/bcn_application.h"
#include "sdk/platform/bcn_host.h"
#include "sdk/platform/beacon.h"

namespace sdk {
namespace {

// Our fact functions answer "" for a missing value: that is absent here.
TLYMetadata::Text nonEmpty(std::string text) {
  if (text.empty()) return std::nullopt;
  return text;
}

TLYMetadata::Text nonEmpty(std::optional<std::string> text) {
  if (!text) return std::nullopt;
  return nonEmpty(std::move(*text));
}

platform::Value text(const TLYMetadata::Text& t) {
  return t ? platform::Value(*t) : platform::Value();
}

}  // namespace

std::shared_ptr<TLYMetadata> TLYMetadata::initWithBeacon(const std::shared_ptr<Beacon>& beacon,
                                                         const Text& betaToken) {
  Fields f;
  if (beacon) {
    // The registration read the key already; a misconfigured host raised
    // there. Should the read still raise here (on the event queue, where
    // nothing could catch it), the key is simply absent.
    try {
      f.APIKey = nonEmpty(beacon->APIKey());
    } catch (const platform::Exception&) {
      f.APIKey = std::nullopt;
    }
    f.executionIdentifier = nonEmpty(beacon->executionIdentifier());
    f.installationId = nonEmpty(beacon->installID());
    f.instanceIdentifier = nonEmpty(beacon->instanceIdentifier());
  }
  f.betaToken = unwrapBetaToken(betaToken);
  // The program the registry describes.
  const platform::BundlePtr bundle = beacon ? beacon->bundle() : platform::Bundle::main();
  f.buildVersion = nonEmpty(BCNApplicationGetBuildVersion(bundle));
  f.bundleIdentifier = nonEmpty(BCNApplicationGetBundleIdentifier(bundle));
  f.displayVersion = nonEmpty(BCNApplicationGetDisplayVersion(bundle));
  f.hostModel = nonEmpty(BCNHostGetModel());
  f.isJailbroken = computeIsJailbroken();
  f.locale = nonEmpty(platform::CurrentLocale::identifier());
  f.numberOfCores = platform::ProcessInfo::processorCount();
  f.OSBuildVersion = nonEmpty(BCNHostGetOSBuildVersion());
  f.OSDisplayVersion = nonEmpty(BCNHostGetOSDisplayVersion());
  return std::make_shared<TLYMetadata>(std::move(f));
}

TLYMetadata::TLYMetadata(Fields fields) : f_(std::move(fields)) {}

TLYMetadata::Text TLYMetadata::unwrapBetaToken(const Text& token) {
  if (!token) return std::nullopt;
  std::size_t colon = token->find(':');
  if (colon == std::string::npos) return std::nullopt;
  if (token->find(':', colon + 1) != std::string::npos) return std::nullopt;
  if (token->compare(0, colon, "2") != 0) return std::nullopt;
  return token->substr(colon + 1);
}

void TLYMetadata::setValueInDictionary(platform::Value& dictionary, const char* key,
                                       const platform::Value& object) {
  if (object.isNone()) return;
  dictionary.set(key, object);
}

platform::Value TLYMetadata::dictionaryRepresentationWithStartTime(std::uint64_t startTime) const {
  platform::Value d = platform::Value::mutableDictionary();
  setValueInDictionary(d, "generator", platform::Value(kTLYMetadataGenerator));
  setValueInDictionary(d, "api_key", text(f_.APIKey));
  setValueInDictionary(d, "session_id", text(f_.executionIdentifier));
  setValueInDictionary(d, "started_at", platform::Value(startTime));
  setValueInDictionary(d, "advertising_id", text(identifierForAdvertising()));
  setValueInDictionary(d, "beta_tester_token", text(f_.betaToken));
  setValueInDictionary(d, "links_ad_support", platform::Value(advertisingSupportFrameworkLinked()));
  setValueInDictionary(d, "advertising_tracking_enabled",
                       platform::Value(trackingForAdvertisingEnabled()));
  setValueInDictionary(d, "install_id", text(f_.installationId));
  setValueInDictionary(d, "model", text(f_.hostModel));
  setValueInDictionary(d, "machine", text(f_.hostModel));
  setValueInDictionary(d, "locale", text(f_.locale));
  setValueInDictionary(d, "os_build", text(f_.OSBuildVersion));
  setValueInDictionary(d, "os_version", text(f_.OSDisplayVersion));
  setValueInDictionary(d, "platform", text(f_.platform));
  setValueInDictionary(d, "platform_code", platform::Value(platformCode()));
  setValueInDictionary(d, "cores", platform::Value(f_.numberOfCores));
  setValueInDictionary(d, "jailbroken", platform::Value(f_.isJailbroken));
  setValueInDictionary(d, "bundle_id", text(f_.bundleIdentifier));
  setValueInDictionary(d, "bundle_version", text(f_.buildVersion));
  setValueInDictionary(d, "bundle_short_version", text(f_.displayVersion));
  setValueInDictionary(d, "instance_id", text(f_.instanceIdentifier));
  return d;
}

}  // namespace sdk
