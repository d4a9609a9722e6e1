#include "net/http/xml_request_operation.h"

#include "codecs/xml_tree.h"

namespace net::http {

using platform::Error;
using platform::Value;

const NKOperationClass& NKXMLRequestOperation::operationClass() {
  static const NKOperationClass& cls = []() -> const NKOperationClass& {
    static const NKOperationClass c(
        "NKXMLRequestOperation", &NKHTTPRequestOperation::operationClass(),
        [](URLRequest r) { return create(std::move(r)); },
        [](const URLRequest& r) { return canProcessRequest(r); });
    setDefaultAcceptableContentTypes(c, ContentTypes{"application/xml", "text/xml"});
    return c;
  }();
  return cls;
}

NKXMLRequestOperation::Ptr NKXMLRequestOperation::create(URLRequest request) {
  return std::make_shared<NKXMLRequestOperation>(std::move(request));
}

NKXMLRequestOperation::NKXMLRequestOperation(URLRequest request)
    : NKHTTPRequestOperation(std::move(request)) {}

bool NKXMLRequestOperation::canProcessRequest(const URLRequest& request) {
  if (request.url().pathExtension() == "xml") return true;
  return canProcessRequestByAccept(operationClass(), request);
}

platform::dispatch::QueuePtr NKXMLRequestOperation::processingQueue() {
  static auto queue =
      platform::dispatch::Queue::createConcurrent(kNKXMLRequestProcessingQueueLabel);
  return queue;
}

std::shared_ptr<NKXMLParser> NKXMLRequestOperation::responseXMLParser() {
  std::lock_guard lock(parseMutex_);
  if (!parser_ && isFinished()) {
    auto data = responseData();
    if (data && !data->empty()) parser_ = std::make_shared<NKXMLParser>(*data);
  }
  return parser_;
}

Value NKXMLRequestOperation::responseXMLDocument() {
  std::lock_guard lock(parseMutex_);
  if (!document_ && !XMLError_ && isFinished()) {
    auto data = responseData();
    if (data && !data->empty()) {
      Error error;
      document_ = codecs::XMLTreeParser::dictionaryWithXMLData(
          std::string_view(reinterpret_cast<const char*>(data->data()), data->size()), &error);
      if (!document_) XMLError_ = error;
    }
  }
  return document_;
}

Error NKXMLRequestOperation::XMLError() const {
  std::lock_guard lock(parseMutex_);
  return XMLError_;
}

Error NKXMLRequestOperation::error() {
  if (Error e = XMLError()) return e;
  return NKHTTPRequestOperation::error();
}

void NKXMLRequestOperation::cancel() {
  NKHTTPRequestOperation::cancel();
  std::lock_guard lock(parseMutex_);
  if (parser_) parser_->setDelegate({});
}

void NKXMLRequestOperation::setCompletionBlockWithSuccess(SuccessBlock success,
                                                          FailureBlock failure) {
  std::weak_ptr<NKXMLRequestOperation> weak =
      std::static_pointer_cast<NKXMLRequestOperation>(shared_from_this());
  setCompletionBlock([weak, success, failure] {
    auto self = weak.lock();
    if (!self) return;
    processingQueue()->async([self, success, failure] {
      self->responseXMLParser();
      if (self->error()) {
        if (failure) {
          self->failureQueueOrMain()->async([self, failure] { failure(self, self->error()); });
        }
      } else if (success) {
        self->successQueueOrMain()->async([self, success] { success(self, Value()); });
      }
    });
  });
}

NKXMLRequestOperation::Ptr NKXMLRequestOperation::XMLParserRequestOperationWithRequest(
    URLRequest request, ParserSuccess success, ParserFailure failure) {
  auto op = create(std::move(request));
  op->setCompletionBlockWithSuccess(
      [success](const NKHTTPRequestOperation::Ptr& operation, const Value&) {
        auto self = std::static_pointer_cast<NKXMLRequestOperation>(operation);
        if (success) success(self->request(), self->response(), self->responseXMLParser());
      },
      [failure](const NKHTTPRequestOperation::Ptr& operation, const Error& error) {
        auto self = std::static_pointer_cast<NKXMLRequestOperation>(operation);
        if (failure) failure(self->request(), self->response(), error, self->responseXMLParser());
      });
  return op;
}

NKXMLRequestOperation::Ptr NKXMLRequestOperation::XMLDocumentRequestOperationWithRequest(
    URLRequest request, DocumentSuccess success, DocumentFailure failure) {
  auto op = create(std::move(request));
  op->setCompletionBlockWithSuccess(
      [success](const NKHTTPRequestOperation::Ptr& operation, const Value&) {
        auto self = std::static_pointer_cast<NKXMLRequestOperation>(operation);
        if (success) success(self->request(), self->response(), self->responseXMLDocument());
      },
      [failure](const NKHTTPRequestOperation::Ptr& operation, const Error& error) {
        auto self = std::static_pointer_cast<NKXMLRequestOperation>(operation);
        if (failure) failure(self->request(), self->response(), error, self->responseXMLDocument());
      });
  return op;
}

}  // namespace net::http
