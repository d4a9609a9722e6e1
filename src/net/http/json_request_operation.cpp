#include "net/http/json_request_operation.h"

#include "codecs/json_decoder.h"
#include "platform/foundation/format.h"

namespace net::http {

using platform::Error;
using platform::Value;

namespace {

// UTF-8 text of bytes that are not valid in their encoding, with each bad
// byte shown as U+FFFD, for the error message.
std::string lossyText(const platform::Bytes& bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
    } else {
      out += "\xEF\xBF\xBD";
    }
  }
  return out;
}

}  // namespace

const NKOperationClass& NKJSONRequestOperation::operationClass() {
  static const NKOperationClass& cls = []() -> const NKOperationClass& {
    static const NKOperationClass c(
        "NKJSONRequestOperation", &NKHTTPRequestOperation::operationClass(),
        [](URLRequest r) { return create(std::move(r)); },
        [](const URLRequest& r) { return canProcessRequest(r); });
    setDefaultAcceptableContentTypes(
        c, ContentTypes{"application/json", "text/json", "text/javascript"});
    return c;
  }();
  return cls;
}

NKJSONRequestOperation::Ptr NKJSONRequestOperation::create(URLRequest request) {
  return std::make_shared<NKJSONRequestOperation>(std::move(request));
}

NKJSONRequestOperation::NKJSONRequestOperation(URLRequest request)
    : NKHTTPRequestOperation(std::move(request)) {}

bool NKJSONRequestOperation::canProcessRequest(const URLRequest& request) {
  if (request.url().pathExtension() == "json") return true;
  return canProcessRequestByAccept(operationClass(), request);
}

platform::dispatch::QueuePtr NKJSONRequestOperation::processingQueue() {
  static platform::dispatch::QueuePtr queue =
      platform::dispatch::Queue::createConcurrent(kNKJSONRequestProcessingQueueLabel);
  return queue;
}

NKJSONRequestOperation::Ptr NKJSONRequestOperation::JSONRequestOperationWithRequest(
    URLRequest request, JSONSuccess success, JSONFailure failure) {
  auto op = create(std::move(request));
  op->setCompletionBlockWithSuccess(
      [success](const NKHTTPRequestOperation::Ptr& operation, const Value& json) {
        if (success) success(operation->request(), operation->response(), json);
      },
      [failure](const NKHTTPRequestOperation::Ptr& operation, const Error& error) {
        if (!failure) return;
        auto json = std::static_pointer_cast<NKJSONRequestOperation>(operation)->responseJSON();
        failure(operation->request(), operation->response(), error, json);
      });
  return op;
}

Value NKJSONRequestOperation::responseJSON() {
  std::lock_guard lock(parseMutex_);
  if (parsed_ || !isFinished()) return responseJSON_;
  {
    std::lock_guard bodyLock(lock_);
    const auto& data = responseDataRef();
    if (!data || data->empty()) return responseJSON_;
  }
  parsed_ = true;
  Error error;
  auto text = responseString();
  if (text && *text != " ") {
    const std::uint64_t options = readingOptions_;
    responseJSON_ =
        (options & kJSONReadingMutableContainers)
            ? codecs::mutableObjectFromJSONString(*text, codecs::JTParseFlagNone, &error)
            : codecs::objectFromJSONString(*text, codecs::JTParseFlagNone, &error);
    if (responseJSON_) error = Error();
  } else if (!text) {
    // Bytes that are not text in their encoding: a failure, not an empty success.
    Value info = Value::dictionary(
        {{platform::kLocalizedDescriptionKey,
          Value("Operation responseData failed decoding as a UTF-8 string")},
         {platform::kLocalizedFailureReasonErrorKey,
          Value(platform::format("Could not decode string: %@",
                                 lossyText(responseData().value_or(platform::Bytes()))))}});
    error = Error(kNKNetworkingErrorDomain, kNKErrorUnacceptableContentType, info);
  }
  JSONError_ = error;
  return responseJSON_;
}

Error NKJSONRequestOperation::error() {
  {
    std::lock_guard lock(parseMutex_);
    if (JSONError_) return JSONError_;
  }
  return NKHTTPRequestOperation::error();
}

void NKJSONRequestOperation::setCompletionBlockWithSuccess(SuccessBlock success,
                                                           FailureBlock failure) {
  setParsingCompletionBlock(
      processingQueue(),
      [](NKHTTPRequestOperation& op) {
        return static_cast<NKJSONRequestOperation&>(op).responseJSON();
      },
      std::move(success), std::move(failure));
}

}  // namespace net::http
