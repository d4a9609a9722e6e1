// NKImageRequestOperation: the HTTP request operation for images (the
// common bitmap types; URLs ending in an image extension are claimed
// whatever their "Accept" header). Its response object is an NKImage whose
// size is read from the bitmap's header (PNG, GIF, JPEG, BMP, TIFF, ICO and
// CUR; see bitmap_reader.h); a body that no reader understands gives no
// image. Callbacks always hop through
// "com.netkit.networking.image-request.processing".
//
// Thread safety: as NKHTTPRequestOperation.
#pragma once

#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "net/http/http_request_operation.h"

namespace net::http {

inline constexpr const char* kNKImageRequestProcessingQueueLabel =
    "com.netkit.networking.image-request.processing";

// An image: the pixel size of its one bitmap representation and its bytes.
struct NKImage {
  long width = 0;
  long height = 0;
  std::string format;  // "png", "gif", "jpeg", "bmp", "tiff", "ico", "cur"
  platform::Bytes data;
  // Reads the bitmap's header; nullopt when the format is not known.
  static std::optional<NKImage> fromData(const platform::Bytes& data);
};

class NKImageRequestOperation : public NKHTTPRequestOperation {
 public:
  using Ptr = std::shared_ptr<NKImageRequestOperation>;
  using ImagePtr = std::shared_ptr<const NKImage>;
  using ProcessingBlock = std::function<ImagePtr(const ImagePtr&)>;
  using ImageSuccess =
      std::function<void(const URLRequest&, const std::optional<URLResponse>&, const ImagePtr&)>;
  using ImageFailure = std::function<void(const URLRequest&, const std::optional<URLResponse>&,
                                          const platform::Error&)>;

  static Ptr create(URLRequest request);
  explicit NKImageRequestOperation(URLRequest request);
  static Ptr imageRequestOperationWithRequest(URLRequest request, ProcessingBlock processing,
                                              ImageSuccess success, ImageFailure failure);
  // Only the image is delivered; failures are not reported.
  static Ptr imageRequestOperationWithRequest(URLRequest request,
                                              std::function<void(const ImagePtr&)> success);
  static const NKOperationClass& operationClass();
  const NKOperationClass& objectClass() const override { return operationClass(); }
  static bool canProcessRequest(const URLRequest& request);
  static const std::set<std::string>& acceptablePathExtensions();
  static platform::dispatch::QueuePtr processingQueue();

  ImagePtr responseImage();
  // The success callback's object is None; the image is responseImage().
  void setCompletionBlockWithSuccess(SuccessBlock success, FailureBlock failure) override;

 private:
  // Guards the parsed fields below and is held while parsing; never taken
  // while lock_ is held (parsing reads the body, which takes lock_).
  mutable std::mutex parseMutex_;
  ImagePtr image_;
};

}  // namespace net::http
