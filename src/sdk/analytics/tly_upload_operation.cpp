#include "sdk/analytics/tly_upload_operation.h"

#include <chrono>
#include <utility>

#include "sdk/analytics/tly_file_utils.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/analytics/tly_uploader.h"
#include "sdk/platform/bcn_multipart_mime_stream_encoder.h"
#include "sdk/platform/bcn_network_operation.h"

namespace sdk {

TLYUploadOperation::TLYUploadOperation(std::shared_ptr<TLYUploader> uploader,
                                       platform::URL tallyURL, std::optional<std::string> apiKey,
                                       platform::URL multipartURL,
                                       std::string multipartMimeBoundary)
    : uploader_(std::move(uploader)),
      tallyURL_(std::move(tallyURL)),
      apiKey_(std::move(apiKey)),
      multipartURL_(std::move(multipartURL)),
      multipartMimeBoundary_(std::move(multipartMimeBoundary)) {}

std::string TLYUploadOperation::currentTimestampString() const {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

platform::urlloading::URLRequest TLYUploadOperation::uploadRequest() const {
  platform::urlloading::URLRequest request(tallyURL_);
  request.setMaximumResponseLength(std::int64_t{64} << 10);  // an upload's answer is a status
  request.setHTTPMethod("POST");
  auto& headers = request.allHTTPHeaderFields();
  headers.set("Content-Type", BCNMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(
                                  multipartMimeBoundary_));
  headers.set("Content-Length", std::to_string(TLYFileUtils::fileSizeAtURL(multipartURL_)));
  headers.set("User-Agent", kTLYUploadUserAgent);
  headers.set("X-CRASHTRAIL-DEVELOPER-TOKEN", kBCNDeveloperToken);
  headers.set("X-CRASHTRAIL-API-CLIENT-TYPE", kTLYUploadClientType);
  headers.set("X-CRASHTRAIL-API-CLIENT-VERSION", kTLYUploadClientVersion);
  headers.set("X-CRASHTRAIL-API-CLIENT-DISPLAY-VERSION", kTLYUploadClientDisplayVersion);
  headers.set("X-CRASHTRAIL-API-CLIENT-BUILD-VERSION", kTLYUploadClientBuildVersion);
  if (apiKey_) headers.set("X-CRASHTRAIL-API-KEY", *apiKey_);
  headers.set("X-Crashtrail-Api-Client-Packaged-Timestamp", currentTimestampString());
  return request;
}

void TLYUploadOperation::main() {
  auto request = uploadRequest();
  const std::string name = TLYFileUtils::baseNameForURL(multipartURL_);
  TLYLogger::sharedLogger().log("Transmitting packaged events for '%@'.", name);
  if (uploader_) {
    uploader_->startUploadRequest(request, TLYFileUtils::pathForURL(multipartURL_), name);
  }
}

}  // namespace sdk
