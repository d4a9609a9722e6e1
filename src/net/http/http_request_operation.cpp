#include "net/http/http_request_operation.h"

#include <cctype>
#include <map>
#include <mutex>

#include "platform/foundation/format.h"

namespace net::http {

using platform::Error;
using platform::Value;

namespace {

struct ClassSettings {
  std::mutex mutex;
  std::map<const NKOperationClass*, std::optional<NKHTTPRequestOperation::StatusCodes>> codes;
  std::map<const NKOperationClass*, std::optional<NKHTTPRequestOperation::ContentTypes>> types;
};

ClassSettings& settings() {
  static ClassSettings s;
  return s;
}

template <class Map>
auto lookup(Map& map, const NKOperationClass& cls) -> typename Map::mapped_type {
  for (const NKOperationClass* c = &cls; c; c = c->superclass) {
    auto it = map.find(c);
    if (it != map.end()) return it->second;
  }
  return std::nullopt;
}

// Whether the class's set (or the nearest ancestor's) holds `value`; an
// unset (nullopt) set holds everything. Nothing is copied.
template <class Map, class Key>
bool lookupContains(Map& map, const NKOperationClass& cls, const Key& value) {
  for (const NKOperationClass* c = &cls; c; c = c->superclass) {
    auto it = map.find(c);
    if (it != map.end()) return !it->second || it->second->count(value) > 0;
  }
  return true;
}

std::string trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

const NKOperationClass& NKHTTPRequestOperation::operationClass() {
  static const NKOperationClass& cls = []() -> const NKOperationClass& {
    static const NKOperationClass c(
        "NKHTTPRequestOperation", &NKURLConnectionOperation::operationClass(),
        [](URLRequest r) { return create(std::move(r)); },
        [](const URLRequest& r) { return canProcessRequest(r); });
    std::lock_guard lock(settings().mutex);
    StatusCodes ok;
    for (long code = 200; code < 300; ++code) ok.insert(code);
    settings().codes[&c] = ok;
    settings().types[&c] = std::nullopt;
    return c;
  }();
  return cls;
}

NKHTTPRequestOperation::Ptr NKHTTPRequestOperation::create(URLRequest request) {
  return std::make_shared<NKHTTPRequestOperation>(std::move(request));
}

NKHTTPRequestOperation::NKHTTPRequestOperation(URLRequest request)
    : NKURLConnectionOperation(std::move(request)) {}

// --- class-level settings --------------------------------------------------------

std::optional<NKHTTPRequestOperation::StatusCodes> NKHTTPRequestOperation::acceptableStatusCodesFor(
    const NKOperationClass& cls) {
  operationClass();
  std::lock_guard lock(settings().mutex);
  return lookup(settings().codes, cls);
}

std::optional<NKHTTPRequestOperation::ContentTypes>
NKHTTPRequestOperation::acceptableContentTypesFor(const NKOperationClass& cls) {
  operationClass();
  std::lock_guard lock(settings().mutex);
  return lookup(settings().types, cls);
}

void NKHTTPRequestOperation::addAcceptableStatusCodesFor(const NKOperationClass& cls,
                                                         const StatusCodes& codes) {
  operationClass();
  std::lock_guard lock(settings().mutex);
  StatusCodes merged = lookup(settings().codes, cls).value_or(StatusCodes{});
  merged.insert(codes.begin(), codes.end());
  settings().codes[&cls] = merged;
}

void NKHTTPRequestOperation::addAcceptableContentTypesFor(const NKOperationClass& cls,
                                                          const ContentTypes& types) {
  operationClass();
  std::lock_guard lock(settings().mutex);
  ContentTypes merged = lookup(settings().types, cls).value_or(ContentTypes{});
  merged.insert(types.begin(), types.end());
  settings().types[&cls] = merged;
}

void NKHTTPRequestOperation::setDefaultAcceptableContentTypes(const NKOperationClass& cls,
                                                              std::optional<ContentTypes> types) {
  std::lock_guard lock(settings().mutex);
  settings().types.emplace(&cls, std::move(types));
}

bool NKHTTPRequestOperation::canProcessRequestByAccept(const NKOperationClass& cls,
                                                       const URLRequest& request) {
  auto accept = request.valueForHTTPHeaderField("Accept");
  if (!accept) return false;
  operationClass();
  std::lock_guard lock(settings().mutex);
  // Looked at in place: this runs for every request a client builds.
  const std::optional<ContentTypes>* acceptable = nullptr;
  for (const NKOperationClass* c = &cls; c && !acceptable; c = c->superclass) {
    auto it = settings().types.find(c);
    if (it != settings().types.end()) acceptable = &it->second;
  }
  if (!acceptable || !*acceptable) return false;
  std::string_view rest = *accept;
  while (!rest.empty()) {
    auto comma = rest.find(',');
    std::string_view part = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    std::string type = trimmed(part.substr(0, part.find(';')));
    if (!type.empty() && (*acceptable)->count(type)) return true;
  }
  return false;
}

std::string NKHTTPRequestOperation::rangeText(const StatusCodes& codes) {
  std::string out;
  auto it = codes.begin();
  while (it != codes.end()) {
    long first = *it, last = *it;
    auto next = std::next(it);
    while (next != codes.end() && *next == last + 1) {
      last = *next;
      ++next;
    }
    if (!out.empty()) out += ",";
    out +=
        first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
    it = next;
  }
  return out;
}

std::string NKHTTPRequestOperation::setDescription(const ContentTypes& types) {
  std::vector<Value> items;
  for (const auto& t : types) items.emplace_back(t);
  return "{" + Value::array(items).description() + "}";
}

// --- validation -------------------------------------------------------------------

bool NKHTTPRequestOperation::hasAcceptableStatusCode() {
  std::lock_guard lock(lock_);
  const auto& resp = responseRef();
  if (!resp) return false;
  long code = resp->isHTTP() ? resp->statusCode() : 200;
  const NKOperationClass& cls = objectClass();
  operationClass();
  std::lock_guard settingsLock(settings().mutex);
  return lookupContains(settings().codes, cls, code);
}

bool NKHTTPRequestOperation::hasAcceptableContentType() {
  std::lock_guard lock(lock_);
  const auto& resp = responseRef();
  if (!resp) return false;
  std::string type = resp->MIMEType().empty() ? "application/octet-stream" : resp->MIMEType();
  const NKOperationClass& cls = objectClass();
  operationClass();
  std::lock_guard settingsLock(settings().mutex);
  return lookupContains(settings().types, cls, type);
}

Error NKHTTPRequestOperation::validationError() {
  // Once the operation finished its response and body no longer change, so
  // an acceptable answer is judged once, like an unacceptable one.
  const bool finished = isFinished();
  bool hasBody;
  {
    std::lock_guard lock(lock_);
    if (validated_) return HTTPError_;
    if (HTTPError_ || !responseRef()) {
      if (finished) validated_ = true;
      return HTTPError_;
    }
    const auto& data = responseDataRef();
    hasBody = data && !data->empty();
  }
  // Judged outside lock_ (not recursive): each of these takes it itself.
  const std::optional<URLResponse> resp = response();
  Error made;
  if (resp) {
    const bool statusOK = hasAcceptableStatusCode();
    const bool typeOK = hasAcceptableContentType();
    if (!statusOK || (!typeOK && hasBody)) {
      URLRequest req = request();
      Value info = Value::mutableDictionary();
      if (auto text = responseString()) {
        info.set(platform::kLocalizedRecoverySuggestionErrorKey, Value(*text));
      }
      if (req.url().isValid()) info.set(platform::kURLErrorKey, Value(req.url().absoluteString()));
      info.set(kNKNetworkingOperationFailingURLRequestErrorKey, req.toValue());
      info.set(kNKNetworkingOperationFailingURLResponseErrorKey, resp->toValue());
      if (!statusOK) {
        long code = resp->isHTTP() ? resp->statusCode() : 200;
        auto codes = acceptableStatusCodesFor(objectClass()).value_or(StatusCodes{});
        info.set(platform::kLocalizedDescriptionKey,
                 Value(platform::format("Expected status code in (%@), got %ld", rangeText(codes),
                                        code)));
        made = Error(kNKNetworkingErrorDomain, kNKErrorBadStatusCode, info);
      } else {
        auto types = acceptableContentTypesFor(objectClass()).value_or(ContentTypes{});
        info.set(
            platform::kLocalizedDescriptionKey,
            Value(platform::format("Expected content type %@, got %@", setDescription(types),
                                   resp->MIMEType().empty() ? Value() : Value(resp->MIMEType()))));
        made = Error(kNKNetworkingErrorDomain, kNKErrorUnacceptableContentType, info);
      }
    }
  }
  std::lock_guard lock(lock_);
  if (!HTTPError_) HTTPError_ = made;
  if (finished) validated_ = true;
  return HTTPError_;
}

Error NKHTTPRequestOperation::error() {
  Error validation = validationError();
  if (validation) return validation;
  return NKURLConnectionOperation::error();
}

std::optional<NKTextEncoding> NKHTTPRequestOperation::responseStringEncoding() {
  if (auto latin1 = textTypeWithoutCharset()) return latin1;
  return NKURLConnectionOperation::responseStringEncoding();
}

std::optional<NKTextEncoding> NKHTTPRequestOperation::textTypeWithoutCharset() const {
  std::lock_guard lock(lock_);
  const auto& resp = responseRef();
  const auto& data = responseDataRef();
  if (resp && resp->textEncodingName().empty() && data && !resp->allHeaderFields().empty()) {
    std::string_view type = "";
    auto ct = resp->allHeaderFields().get("Content-Type");
    std::string contentType = ct.value_or("");
    type = contentType;
    while (!type.empty() && std::isspace(static_cast<unsigned char>(type.front()))) {
      type.remove_prefix(1);
    }
    type = type.substr(0, type.find('/'));
    if (type == "text") return NKTextEncoding{platform::StringEncoding::ISOLatin1, {}};
  }
  return std::nullopt;
}

void NKHTTPRequestOperation::pause() {
  std::uint64_t offset = 0;
  auto stream = outputStream();
  if (auto fileOffset = stream->fileCurrentOffset()) {
    offset = *fileOffset;
  } else if (auto data = stream->dataWrittenToMemory()) {
    offset = data->size();
  }
  URLRequest req = request();
  if (auto resp = response()) {
    if (auto etag = resp->allHeaderFields().get("ETag")) {
      req.setValueForHTTPHeaderField("If-Range", *etag);
    }
  }
  req.setValueForHTTPHeaderField("Range", platform::format("bytes=%llu-", offset));
  setRequest(std::move(req));
  NKURLConnectionOperation::pause();
}

void NKHTTPRequestOperation::connectionDidReceiveResponse(URLConnection& connection,
                                                          const URLResponse& response) {
  NKURLConnectionOperation::connectionDidReceiveResponse(connection, response);
  bool ranged;
  {
    std::lock_guard lock(lock_);
    ranged = requestRef().valueForHTTPHeaderField("Range").has_value();
  }
  if (response.statusCode() == 200 && ranged) {
    // The server sends the whole body again: drop what was kept.
    if (!outputStream()->discardWrittenData()) {
      failConnection(
          connection,
          Error(kNKNetworkingErrorDomain, -1,
                Value::dictionary({{platform::kLocalizedDescriptionKey,
                                    Value("The partial download could not be restarted.")}})));
      return;
    }
    resetTotalBytesRead();
  }
}

// --- callbacks -----------------------------------------------------------------------

platform::dispatch::QueuePtr NKHTTPRequestOperation::successCallbackQueue() const {
  std::lock_guard lock(lock_);
  return successQueue_;
}
void NKHTTPRequestOperation::setSuccessCallbackQueue(platform::dispatch::QueuePtr queue) {
  std::lock_guard lock(lock_);
  successQueue_ = std::move(queue);
}
platform::dispatch::QueuePtr NKHTTPRequestOperation::failureCallbackQueue() const {
  std::lock_guard lock(lock_);
  return failureQueue_;
}
void NKHTTPRequestOperation::setFailureCallbackQueue(platform::dispatch::QueuePtr queue) {
  std::lock_guard lock(lock_);
  failureQueue_ = std::move(queue);
}
platform::dispatch::QueuePtr NKHTTPRequestOperation::successQueueOrMain() const {
  auto q = successCallbackQueue();
  return q ? q : platform::dispatch::Queue::main();
}
platform::dispatch::QueuePtr NKHTTPRequestOperation::failureQueueOrMain() const {
  auto q = failureCallbackQueue();
  return q ? q : platform::dispatch::Queue::main();
}

void NKHTTPRequestOperation::setParsingCompletionBlock(
    platform::dispatch::QueuePtr queue,
    std::function<platform::Value(NKHTTPRequestOperation&)> parse, SuccessBlock success,
    FailureBlock failure) {
  std::weak_ptr<NKHTTPRequestOperation> weak = sharedHTTPSelf();
  setCompletionBlock([weak, queue, parse, success, failure] {
    auto self = weak.lock();
    if (!self) return;
    auto reportFailure = [self, failure] {
      if (failure) {
        self->failureQueueOrMain()->async([self, failure] { failure(self, self->error()); });
      }
    };
    if (self->error()) {
      reportFailure();
      return;
    }
    queue->sync([self, parse, success, reportFailure] {
      platform::Value object = parse(*self);
      if (self->error()) {
        reportFailure();
      } else if (success) {
        self->successQueueOrMain()->async([self, success, object] { success(self, object); });
      }
    });
  });
}

void NKHTTPRequestOperation::setCompletionBlockWithSuccess(SuccessBlock success,
                                                           FailureBlock failure) {
  std::weak_ptr<NKHTTPRequestOperation> weak = sharedHTTPSelf();
  setCompletionBlock([weak, success, failure] {
    auto self = weak.lock();
    if (!self) return;
    if (self->error()) {
      if (failure) {
        self->failureQueueOrMain()->async([self, failure] { failure(self, self->error()); });
      }
    } else if (success) {
      self->successQueueOrMain()->async([self, success] {
        auto data = self->responseData();
        success(self, data ? Value::data(*data) : Value());
      });
    }
  });
}

}  // namespace net::http
