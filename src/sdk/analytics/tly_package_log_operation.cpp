#include "sdk/analytics/tly_package_log_operation.h"

#include <unistd.h>

#include <memory>
#include <utility>

#include "platform/urlloading/stream.h"
#include "sdk/analytics/tly_file_utils.h"
#include "sdk/analytics/tly_logger.h"
#include "sdk/platform/bcn_multipart_mime_stream_encoder.h"

namespace sdk {

TLYPackageLogOperation::TLYPackageLogOperation(platform::URL compressedLogURL,
                                               platform::URL packagedLogURL,
                                               std::string multipartMimeBoundary)
    : compressedLogURL_(std::move(compressedLogURL)),
      packagedLogURL_(std::move(packagedLogURL)),
      multipartMimeBoundary_(std::move(multipartMimeBoundary)) {}

platform::URL TLYPackageLogOperation::multipartURLForCompressedURL(
    const platform::URL& compressedURL, const std::string& boundary) {
  return compressedURL.deletingLastPathComponent().appendingPathComponent(boundary +
                                                                          ".multipartmime");
}

void TLYPackageLogOperation::main() {
  TLYLogger& logger = TLYLogger::sharedLogger();
  if (!TLYFileUtils::isExistingFile(compressedLogURL_)) {
    logger.log("Error: attempting to package nonexistent file: %@", compressedLogURL_);
    return;
  }
  const std::string packagePath = TLYFileUtils::pathForURL(packagedLogURL_);
  // Replace any earlier package: the stream writes from the start.
  ::unlink(packagePath.c_str());
  auto stream = std::make_shared<platform::urlloading::FileOutputStream>(packagePath, false);
  auto encoder = BCNMultipartMimeStreamEncoder::encoderWithStream(stream, multipartMimeBoundary_);
  if (!encoder) return;

  const std::string compressedPath = TLYFileUtils::pathForURL(compressedLogURL_);
  encoder->encode([&](BCNMultipartMimeStreamEncoder& e) {
    if (!compressedPath.empty() && TLYFileUtils::isExistingFile(compressedLogURL_)) {
      const std::string name = compressedLogURL_.lastPathComponent();
      e.addFile(compressedLogURL_, name, kTLYPackageContentType, name);
    } else {
      logger.log("Error packaging: %@ is an invalid path.", compressedPath);
    }
  });
  // A failed write leaves an incomplete body: never upload half a package.
  if (stream->streamStatus() == platform::urlloading::StreamStatus::kError ||
      stream->streamError() || TLYFileUtils::fileSizeAtURL(packagedLogURL_) != encoder->length()) {
    logger.log("Failed to write package %@: %@", packagedLogURL_, stream->streamError());
    ::unlink(packagePath.c_str());
    return;
  }
  didPackage_ = true;
}

}  // namespace sdk
