#include "sdk/platform/ctr_url_session_configuration.h"

#include <utility>

namespace sdk {

CTRURLSessionConfiguration::Ptr CTRURLSessionConfiguration::defaultSessionConfiguration() {
  return std::make_shared<CTRURLSessionConfiguration>();
}

CTRURLSessionConfiguration::Ptr CTRURLSessionConfiguration::ephemeralSessionConfiguration() {
  return std::make_shared<CTRURLSessionConfiguration>();
}

CTRURLSessionConfiguration::Ptr CTRURLSessionConfiguration::backgroundSessionConfiguration(
    const std::string& identifier) {
  return backgroundSessionConfigurationWithIdentifier(identifier);
}

CTRURLSessionConfiguration::Ptr
CTRURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(
    const std::string& identifier) {
  (void)identifier;
  return nullptr;  // only the platform's own session API has background sessions
}

void CTRURLSessionConfiguration::setHTTPAdditionalHeaders(platform::Value headers) {
  additionalHeaders_ = headers.copy();
}

CTRURLSessionConfiguration::Ptr CTRURLSessionConfiguration::copy() const {
  auto copy = std::make_shared<CTRURLSessionConfiguration>();
  copy->additionalHeaders_ = additionalHeaders_;  // immutable already
  return copy;
}

}  // namespace sdk
