#include "sdk/crash/ctr_request_headers.h"

#include "sdk/platform/bcn_network_operation.h"

namespace sdk {

void CTRSetCommonRequestHeaders(platform::urlloading::URLRequest& request,
                                const std::string& localeIdentifier, const std::string& apiKey) {
  request.setValueForHTTPHeaderField("User-Agent", kCTRRequestUserAgent);
  request.setValueForHTTPHeaderField("Accept", "application/json");
  request.setValueForHTTPHeaderField("Accept-Charset", "utf-8");
  request.setValueForHTTPHeaderField("Accept-Language", localeIdentifier);
  request.setValueForHTTPHeaderField("Content-Language", localeIdentifier);
  request.setValueForHTTPHeaderField(kBCNDeveloperTokenHeaderField, kBCNDeveloperToken);
  request.setValueForHTTPHeaderField(kCTRAPIClientIdHeaderField, kCTRAPIClientId);
  request.setValueForHTTPHeaderField(kCTRAPIClientDisplayVersionHeaderField,
                                     kCTRAPIClientDisplayVersion);
  request.setValueForHTTPHeaderField(kCTRAPIClientBuildVersionHeaderField,
                                     kCTRAPIClientBuildVersion);
  request.setValueForHTTPHeaderField(kCTRAPIKeyHeaderField, apiKey);
}

}  // namespace sdk
