#include "net/http/image_request_operation.h"

#include <algorithm>
#include <cstdlib>

namespace net::http {

using platform::Error;
using platform::Value;

namespace {

std::uint32_t be32(const platform::Bytes& d, std::size_t at) {
  return (std::uint32_t(d[at]) << 24) | (std::uint32_t(d[at + 1]) << 16) |
         (std::uint32_t(d[at + 2]) << 8) | d[at + 3];
}
std::uint32_t le16(const platform::Bytes& d, std::size_t at) { return d[at] | (d[at + 1] << 8); }
std::int32_t le32(const platform::Bytes& d, std::size_t at) {
  return static_cast<std::int32_t>(d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) |
                                   (std::uint32_t(d[at + 3]) << 24));
}

}  // namespace

std::optional<NKImage> NKImage::fromData(const platform::Bytes& d) {
  NKImage image;
  image.data = d;
  static const std::uint8_t png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (d.size() >= 24 && std::equal(png, png + 8, d.begin())) {
    image.format = "png";
    image.width = be32(d, 16);
    image.height = be32(d, 20);
    return image;
  }
  if (d.size() >= 10 && d[0] == 'G' && d[1] == 'I' && d[2] == 'F' && d[3] == '8') {
    image.format = "gif";
    image.width = le16(d, 6);
    image.height = le16(d, 8);
    return image;
  }
  if (d.size() >= 26 && d[0] == 'B' && d[1] == 'M') {
    image.format = "bmp";
    image.width = std::abs(le32(d, 18));
    image.height = std::abs(le32(d, 22));
    return image;
  }
  if (d.size() >= 4 && d[0] == 0xFF && d[1] == 0xD8) {
    std::size_t at = 2;
    while (at + 9 < d.size()) {
      if (d[at] != 0xFF) return std::nullopt;
      const std::uint8_t marker = d[at + 1];
      const std::size_t length = (d[at + 2] << 8) | d[at + 3];
      if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
        image.format = "jpeg";
        image.height = (d[at + 5] << 8) | d[at + 6];
        image.width = (d[at + 7] << 8) | d[at + 8];
        return image;
      }
      at += 2 + length;
    }
  }
  return std::nullopt;
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
  std::lock_guard lock(lock_);
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
  auto self = std::static_pointer_cast<NKImageRequestOperation>(shared_from_this());
  std::weak_ptr<NKImageRequestOperation> weak = self;
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
