#include "net/http/property_list_request_operation.h"

#include "platform/system/property_list.h"

namespace net::http {

using platform::Error;
using platform::Value;

const NKOperationClass& NKPropertyListRequestOperation::operationClass() {
  static const NKOperationClass& cls = []() -> const NKOperationClass& {
    static const NKOperationClass c(
        "NKPropertyListRequestOperation", &NKHTTPRequestOperation::operationClass(),
        [](URLRequest r) { return create(std::move(r)); },
        [](const URLRequest& r) { return canProcessRequest(r); });
    setDefaultAcceptableContentTypes(c, ContentTypes{"application/x-plist"});
    return c;
  }();
  return cls;
}

NKPropertyListRequestOperation::Ptr NKPropertyListRequestOperation::create(URLRequest request) {
  return std::make_shared<NKPropertyListRequestOperation>(std::move(request));
}

NKPropertyListRequestOperation::NKPropertyListRequestOperation(URLRequest request)
    : NKHTTPRequestOperation(std::move(request)) {}

bool NKPropertyListRequestOperation::canProcessRequest(const URLRequest& request) {
  if (request.url().pathExtension() == "plist") return true;
  return canProcessRequestByAccept(operationClass(), request);
}

platform::dispatch::QueuePtr NKPropertyListRequestOperation::processingQueue() {
  static auto queue =
      platform::dispatch::Queue::createConcurrent(kNKPropertyListRequestProcessingQueueLabel);
  return queue;
}

NKPropertyListRequestOperation::Ptr
NKPropertyListRequestOperation::propertyListRequestOperationWithRequest(URLRequest request,
                                                                        PlistSuccess success,
                                                                        PlistFailure failure) {
  auto op = create(std::move(request));
  op->setCompletionBlockWithSuccess(
      [success](const NKHTTPRequestOperation::Ptr& operation, const Value& plist) {
        if (success) success(operation->request(), operation->response(), plist);
      },
      [failure](const NKHTTPRequestOperation::Ptr& operation, const Error& error) {
        if (!failure) return;
        auto self = std::static_pointer_cast<NKPropertyListRequestOperation>(operation);
        failure(operation->request(), operation->response(), error, self->responsePropertyList());
      });
  return op;
}

Value NKPropertyListRequestOperation::responsePropertyList() {
  std::lock_guard lock(parseMutex_);
  if (plist_ || plistError_ || !isFinished()) return plist_;
  auto data = responseData();
  if (!data || data->empty()) return plist_;
  Error error;
  platform::plist::Format format = platform::plist::kXMLFormat;
  plist_ = platform::plist::parse(
      std::string_view(reinterpret_cast<const char*>(data->data()), data->size()), &error, &format);
  if (plist_) {
    format_ = format;
  } else {
    plistError_ =
        error ? error : Error(platform::kCocoaErrorDomain, platform::plist::kReadCorruptError);
  }
  return plist_;
}

Error NKPropertyListRequestOperation::propertyListError() const {
  std::lock_guard lock(parseMutex_);
  return plistError_;
}

Error NKPropertyListRequestOperation::error() {
  if (Error e = propertyListError()) return e;
  return NKHTTPRequestOperation::error();
}

void NKPropertyListRequestOperation::setCompletionBlockWithSuccess(SuccessBlock success,
                                                                   FailureBlock failure) {
  setParsingCompletionBlock(
      processingQueue(),
      [](NKHTTPRequestOperation& op) {
        return static_cast<NKPropertyListRequestOperation&>(op).responsePropertyList();
      },
      std::move(success), std::move(failure));
}

}  // namespace net::http
