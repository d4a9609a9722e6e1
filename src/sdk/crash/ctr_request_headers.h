// The header fields that every request of crash reporting carries (report
// uploads and beta update checks): the crash kit's name and versions, the
// locale, the SDK's developer token and the application's API key.
//
// Guarantees:
//  1. CTRSetCommonRequestHeaders sets, in this order: "User-Agent",
//     "Accept", "Accept-Charset", "Accept-Language", "Content-Language",
//     "X-Crashtrail-Developer-Token", "X-Crashtrail-API-Client-Id",
//     "X-Crashtrail-API-Client-Display-Version",
//     "X-Crashtrail-API-Client-Build-Version" and "X-Crashtrail-API-Key".
//     Each request kind adds its own fields after these.
//  2. The kit's name and versions are those written into the metadata
//     record of every report.
//
// Thread safety: a pure function of its arguments and the current locale.
#pragma once

#include <string>

#include "platform/urlloading/url_request.h"
#include "sdk/crash/capture/ctr_context_init.h"

namespace sdk {

inline constexpr const char* kCTRRequestUserAgent = kCTRMetadataGenerator;
inline constexpr const char* kCTRAPIClientId = "com.beacon.crashtrail.mac";
inline constexpr const char* kCTRAPIClientDisplayVersion = kCTRMetadataDisplayVersion;
inline constexpr const char* kCTRAPIClientBuildVersion = kCTRMetadataBuildVersion;
inline constexpr const char* kCTRAPIClientIdHeaderField = "X-Crashtrail-API-Client-Id";
inline constexpr const char* kCTRAPIClientDisplayVersionHeaderField =
    "X-Crashtrail-API-Client-Display-Version";
inline constexpr const char* kCTRAPIClientBuildVersionHeaderField =
    "X-Crashtrail-API-Client-Build-Version";
inline constexpr const char* kCTRAPIKeyHeaderField = "X-Crashtrail-API-Key";

// Guarantee 1; `localeIdentifier` fills the two language fields.
void CTRSetCommonRequestHeaders(platform::urlloading::URLRequest& request,
                                const std::string& localeIdentifier, const std::string& apiKey);

}  // namespace sdk
