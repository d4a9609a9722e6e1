#include "sdk/platform/bcn_network_operation.h"

#include "platform/foundation/format.h"
#include "platform/system/current_locale.h"
#include "sdk/platform/beacon.h"

namespace sdk {

using platform::urlloading::URLRequest;

std::shared_ptr<BCNNetworkOperation> BCNNetworkOperation::create(
    std::optional<std::string> APIKey) {
  if (!APIKey) return nullptr;
  return std::make_shared<BCNNetworkOperation>(std::move(*APIKey));
}

BCNNetworkOperation::BCNNetworkOperation(std::string APIKey) : APIKey_(std::move(APIKey)) {}

std::string BCNNetworkOperation::userAgentString() const {
  return platform::format("%@/%@ (%@)", kBCNPlatformKitIdentifier, kBCNPlatformKitDisplayVersion,
                          kBCNPlatformKitBuildVersion);
}

std::string BCNNetworkOperation::localeIdentifier() const {
  return platform::CurrentLocale::identifier();
}

URLRequest BCNNetworkOperation::mutableRequestWithDefaultHTTPHeadersForURL(const platform::URL& url,
                                                                           double timeout) const {
  URLRequest request(url, timeout);
  request.setMaximumResponseLength(std::int64_t{256} << 10);  // settings: a few kilobytes
  // The time-out counts from the start, not from the last byte: a server
  // that sends a byte now and then must not hold the settings (and the
  // uploads that wait for them) for ever.
  request.setMaximumDuration(timeout);
  const std::string locale = localeIdentifier();
  auto& fields = request.allHTTPHeaderFields();
  fields.set("User-Agent", userAgentString());
  fields.set("Accept-Charset", "utf-8");
  fields.set("Accept-Language", locale);
  fields.set("Content-Language", locale);
  fields.set(kBCNDeveloperTokenHeaderField, kBCNDeveloperToken);
  fields.set("X-Crashtrail-API-Client-Id", kBCNPlatformKitIdentifier);
  fields.set("X-Crashtrail-API-Client-Display-Version", kBCNPlatformKitDisplayVersion);
  fields.set("X-Crashtrail-API-Client-Build-Version", kBCNPlatformKitBuildVersion);
  fields.set("X-Crashtrail-API-Key", APIKey_);
  return request;
}

URLRequest BCNNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const platform::URL& url) const {
  return mutableRequestWithDefaultHTTPHeadersForURL(url, kBCNNetworkOperationDefaultTimeout);
}

}  // namespace sdk
