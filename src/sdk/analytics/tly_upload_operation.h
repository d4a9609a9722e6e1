// TLYUploadOperation: the queue operation that sends one analytics package
// (a "<boundary>.multipartmime" file) to the events endpoint through the
// analytics uploader.
//
// main() builds a POST request for tallyURL() whose body is the package file
// itself, with these header fields in this order: "Content-Type" (multipart
// with the package's boundary), "Content-Length" (the file's size),
// "User-Agent", the developer token, the client type and versions, the API
// key and the packaged timestamp. It then hands the request, the package's
// path and its unique name (the boundary) to the uploader and ends: the
// upload's outcome reaches the uploader's delegate later, on the uploader's
// queue. A cancelled operation (settings not valid yet) never sends, and its
// package stays on disk.
//
// Thread safety: one operation, run by one queue; the accessors may be read
// from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/url.h"
#include "platform/system/operation.h"
#include "platform/urlloading/url_request.h"

namespace sdk {

class TLYUploader;

inline constexpr const char* kTLYUploadUserAgent = "Tally Mac SDK/1.3.4";
inline constexpr const char* kTLYUploadClientType = "Tally Mac SDK";
inline constexpr const char* kTLYUploadClientVersion = "26";
inline constexpr const char* kTLYUploadClientDisplayVersion = "1.3.4";
inline constexpr const char* kTLYUploadClientBuildVersion = "26";

class TLYUploadOperation : public platform::Operation {
 public:
  TLYUploadOperation(std::shared_ptr<TLYUploader> uploader, platform::URL tallyURL,
                     std::optional<std::string> apiKey, platform::URL multipartURL,
                     std::string multipartMimeBoundary);
  static std::shared_ptr<TLYUploadOperation> initWithUploader(std::shared_ptr<TLYUploader> uploader,
                                                              platform::URL tallyURL,
                                                              std::optional<std::string> apiKey,
                                                              platform::URL multipartURL,
                                                              std::string multipartMimeBoundary) {
    return std::make_shared<TLYUploadOperation>(std::move(uploader), std::move(tallyURL),
                                                std::move(apiKey), std::move(multipartURL),
                                                std::move(multipartMimeBoundary));
  }

  const std::shared_ptr<TLYUploader>& uploader() const { return uploader_; }
  const platform::URL& tallyURL() const { return tallyURL_; }
  const std::optional<std::string>& apiKey() const { return apiKey_; }
  const platform::URL& multipartURL() const { return multipartURL_; }
  const std::string& multipartMimeBoundary() const { return multipartMimeBoundary_; }

  // The request main() sends (its body is the package file, given to the
  // uploader by path).
  platform::urlloading::URLRequest uploadRequest() const;
  // The current time in whole seconds since 1970, in decimal.
  std::string currentTimestampString() const;

  void main() override;

 private:
  const std::shared_ptr<TLYUploader> uploader_;
  const platform::URL tallyURL_;
  const std::optional<std::string> apiKey_;
  const platform::URL multipartURL_;
  const std::string multipartMimeBoundary_;
};

}  // namespace sdk
