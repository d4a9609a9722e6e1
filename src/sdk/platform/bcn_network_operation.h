// BCNNetworkOperation: the base of the SDK's network operations (settings
// download, onboarding). It holds the API key and makes requests carrying
// the SDK's common header fields, in this order: "User-Agent"
// ("io.beacon.sdk.mac/1.6.11 (60)"), "Accept-Charset" ("utf-8"),
// "Accept-Language" and "Content-Language" (the current locale's
// identifier), "X-Crashtrail-Developer-Token", "X-Crashtrail-API-Client-Id",
// "X-Crashtrail-API-Client-Display-Version",
// "X-Crashtrail-API-Client-Build-Version" and "X-Crashtrail-API-Key". The
// method stays GET; subclasses set theirs. (The URL loading layer keeps no
// cache, so the requests never read one.)
//
// Thread safety: as BCNAsyncOperation; the key never changes.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/url.h"
#include "platform/urlloading/url_request.h"
#include "sdk/platform/bcn_async_operation.h"

namespace sdk {

// The SDK's developer token (platform and crash requests send it in
// "X-Crashtrail-Developer-Token", analytics uploads in
// "X-CRASHTRAIL-DEVELOPER-TOKEN").
inline constexpr const char* kBCNDeveloperToken = "3c9e1f0a7b2d48e6c5a1f09b3d7e2c4a6b8f0d19";
inline constexpr const char* kBCNDeveloperTokenHeaderField = "X-Crashtrail-Developer-Token";
// Seconds of the default request time-out.
inline constexpr double kBCNNetworkOperationDefaultTimeout = 10.0;

class BCNNetworkOperation : public BCNAsyncOperation {
 public:
  // nullptr when `APIKey` is nullopt (initWithAPIKey:).
  static std::shared_ptr<BCNNetworkOperation> create(std::optional<std::string> APIKey);
  explicit BCNNetworkOperation(std::string APIKey);

  std::string className() const override { return "BCNNetworkOperation"; }

  const std::string& APIKey() const { return APIKey_; }

  // A new GET request for `url` with the time-out and the common fields.
  platform::urlloading::URLRequest mutableRequestWithDefaultHTTPHeadersForURL(
      const platform::URL& url, double timeout) const;
  // The same with a time-out of 10 seconds; subclasses add their method and
  // fields.
  virtual platform::urlloading::URLRequest
  mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const platform::URL& url) const;

  // "%@/%@ (%@)" with the kit identifier, display and build version.
  std::string userAgentString() const;
  // The current locale's identifier ("en_US"; platform::CurrentLocale).
  std::string localeIdentifier() const;

 private:
  const std::string APIKey_;
};

}  // namespace sdk
