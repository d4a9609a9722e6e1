#include "net/http/image_request_operation.h"

#include "net/http/bitmap_reader.h"

namespace net::http {

using platform::Error;
using platform::Value;

std::optional<NKImage> NKImage::fromData(const platform::Bytes& d) {
  auto size = readBitmapSize(d);
  if (!size) return std::nullopt;
  NKImage image;
  image.width = size->width;
  image.height = size->height;
  image.format = std::move(size->format);
  image.data = d;
  return image;
}

const NKOperationClass& NKImageRequestOperation::operationClass() {
  static const NKOperationClass& cls = []() -> const NKOperationClass& {
    static const NKOperationClass c(
        "NKImageRequestOperation", &NKHTTPRequestOperation::operationClass(),
        [](URLRequest r) { return create(std::move(r)); },
        [](const URLRequest& r) { return canProcessRequest(r); });
    setDefaultAcceptableContentTypes(
        c, ContentTypes{"image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico",
                        "image/x-icon", "image/bmp", "image/x-bmp", "image/x-xbitmap",
                        "image/x-win-bitmap"});
    return c;
  }();
  return cls;
}

NKImageRequestOperation::Ptr NKImageRequestOperation::create(URLRequest request) {
  return std::make_shared<NKImageRequestOperation>(std::move(request));
}

NKImageRequestOperation::NKImageRequestOperation(URLRequest request)
    : NKHTTPRequestOperation(std::move(request)) {}

const std::set<std::string>& NKImageRequestOperation::acceptablePathExtensions() {
  static const std::set<std::string> extensions{"tif", "tiff", "jpg", "jpeg", "gif",
                                                "png", "ico",  "bmp", "cur"};
  return extensions;
}

bool NKImageRequestOperation::canProcessRequest(const URLRequest& request) {
  if (acceptablePathExtensions().count(request.url().pathExtension())) return true;
  return canProcessRequestByAccept(operationClass(), request);
}

platform::dispatch::QueuePtr NKImageRequestOperation::processingQueue() {
  static auto queue =
      platform::dispatch::Queue::createConcurrent(kNKImageRequestProcessingQueueLabel);
  return queue;
}

NKImageRequestOperation::ImagePtr NKImageRequestOperation::responseImage() {
  std::lock_guard lock(parseMutex_);
  if (!image_ && isFinished()) {
    auto data = responseData();
    if (data && !data->empty()) {
      if (auto image = NKImage::fromData(*data)) image_ = std::make_shared<NKImage>(*image);
    }
  }
  return image_;
}

void NKImageRequestOperation::setCompletionBlockWithSuccess(SuccessBlock success,
                                                            FailureBlock failure) {
  std::weak_ptr<NKImageRequestOperation> weak =
      std::static_pointer_cast<NKImageRequestOperation>(shared_from_this());
  setCompletionBlock([weak, success, failure] {
    auto self = weak.lock();
    if (!self) return;
    processingQueue()->async([self, success, failure] {
      if (self->error()) {
        if (failure) {
          self->failureQueueOrMain()->async([self, failure] { failure(self, self->error()); });
        }
        return;
      }
      self->responseImage();
      if (success) self->successQueueOrMain()->async([self, success] { success(self, Value()); });
    });
  });
}

NKImageRequestOperation::Ptr NKImageRequestOperation::imageRequestOperationWithRequest(
    URLRequest request, ProcessingBlock processing, ImageSuccess success, ImageFailure failure) {
  auto op = create(std::move(request));
  op->setCompletionBlockWithSuccess(
      [processing, success](const NKHTTPRequestOperation::Ptr& operation, const Value&) {
        auto self = std::static_pointer_cast<NKImageRequestOperation>(operation);
        ImagePtr image = self->responseImage();
        if (!success) return;
        if (!processing) {
          success(self->request(), self->response(), image);
          return;
        }
        processingQueue()->async([self, image, processing, success] {
          ImagePtr processed = processing(image);
          self->successQueueOrMain()->async([self, processed, success] {
            success(self->request(), self->response(), processed);
          });
        });
      },
      [failure](const NKHTTPRequestOperation::Ptr& operation, const Error& error) {
        if (failure) failure(operation->request(), operation->response(), error);
      });
  return op;
}

NKImageRequestOperation::Ptr NKImageRequestOperation::imageRequestOperationWithRequest(
    URLRequest request, std::function<void(const ImagePtr&)> success) {
  return imageRequestOperationWithRequest(
      std::move(request), nullptr,
      [success](const URLRequest&, const std::optional<URLResponse>&, const ImagePtr& image) {
        if (success) success(image);
      },
      nullptr);
}

}  // namespace net::http
