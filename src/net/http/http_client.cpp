#include "net/http/http_client.h"

#include <iconv.h>
#include <syslog.h>

#include <atomic>

#include "codecs/base64.h"
#include "codecs/json_encoder.h"
#include "codecs/query_string.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "platform/system/process_info.h"
#include "platform/system/property_list.h"

namespace net::http {

using platform::Error;
using platform::Value;
namespace sysconfig = platform::sysconfig;

NKNetworkReachabilityStatus NKReachabilityStatusForFlags(std::uint32_t flags) {
  const bool reachable = flags & sysconfig::kReachabilityFlagsReachable;
  const bool needsConnection = flags & sysconfig::kReachabilityFlagsConnectionRequired;
  const bool automatic = flags & (sysconfig::kReachabilityFlagsConnectionOnTraffic |
                                  sysconfig::kReachabilityFlagsConnectionOnDemand);
  const bool intervention = flags & sysconfig::kReachabilityFlagsInterventionRequired;
  const bool ok = reachable && (!needsConnection || (automatic && !intervention));
  return ok ? NKNetworkReachabilityStatusReachable : NKNetworkReachabilityStatusNotReachable;
}

namespace {

bool isASCII(const std::string& s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::optional<std::string> transliterateToASCII(const std::string& text) {
  iconv_t cd = iconv_open("ASCII//TRANSLIT", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* o = out.data();
  size_t outLeft = out.size();
  const size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace

std::string NKHTTPClient::IANACharsetName(platform::StringEncoding encoding) {
  switch (encoding) {
    case platform::StringEncoding::ASCII:
      return "us-ascii";
    case platform::StringEncoding::ISOLatin1:
      return "iso-8859-1";
    case platform::StringEncoding::UTF16BE:
      return "utf-16be";
    case platform::StringEncoding::UTF16LE:
      return "utf-16le";
    default:
      return "utf-8";
  }
}

NKHTTPClient::~NKHTTPClient() { stopMonitoringNetworkReachability(); }

void NKHTTPClient::init() {
  throw platform::Exception(
      platform::kInternalInconsistencyException,
      platform::format(
          "%@ Failed to call designated initializer. Invoke `initWithBaseURL:` instead.",
          className()));
}

void NKHTTPClient::initWithBaseURL(const platform::URL& input) {
  platform::URL url = input;
  if (!url.path().empty() && !url.absoluteString().ends_with("/")) {
    url = url.appendingPathComponent("");
  }
  setBaseURL(url);
  setStringEncoding(platform::StringEncoding::UTF8);
  setParameterEncoding(NKFormURLParameterEncoding);
  setRegisteredHTTPOperationClassNames({});
  setDefaultHeaders({});

  std::vector<std::string> languages;
  const auto preferred = platform::ProcessInfo::preferredLanguages();
  for (std::size_t i = 0; i < preferred.size(); ++i) {
    const float q = 1.0f - 0.1f * static_cast<float>(i);
    languages.push_back(platform::format("%@;q=%0.1g", preferred[i], static_cast<double>(q)));
    if (q <= 0.5f) break;
  }
  std::string acceptLanguage;
  for (const auto& l : languages) acceptLanguage += (acceptLanguage.empty() ? "" : ", ") + l;
  setDefaultHeader("Accept-Language", acceptLanguage);

  auto bundle = platform::Bundle::main();
  std::string name = bundle ? bundle->executableName() : std::string();
  if (name.empty() && bundle) name = bundle->bundleIdentifier();
  std::string version = bundle ? bundle->shortVersion() : std::string();
  if (version.empty() && bundle) version = bundle->version();
  std::string userAgent = platform::format("%@/%@ (Mac OS X %@)", name, version,
                                           platform::ProcessInfo::operatingSystemVersionString());
  if (!isASCII(userAgent)) {
    if (auto ascii = transliterateToASCII(userAgent)) userAgent = *ascii;
  }
  setDefaultHeader("User-Agent", userAgent);

  reachabilityStatus_ = NKNetworkReachabilityStatusUnknown;
  startMonitoringNetworkReachability();

  auto queue = platform::OperationQueue::create();
  queue->setMaxConcurrentOperationCount(
      platform::OperationQueue::kDefaultMaxConcurrentOperationCount);
  setOperationQueue(queue);
}

std::string NKHTTPClient::description() const {
  std::vector<Value> names;
  for (const auto& n : registeredHTTPOperationClassNames()) names.emplace_back(n);
  auto queue = operationQueue();
  return platform::format(
      "<%@: %p, baseURL: %@, defaultHeaders: %@, registeredOperationClasses: %@, operationQueue: "
      "%@>",
      className(), static_cast<const void*>(this), baseURL().absoluteString(),
      defaultHeaders().toValue(), Value::array(names),
      queue ? platform::format("<OperationQueue: %p>%@", static_cast<const void*>(queue.get()),
                               queue->name())
            : std::string("(null)"));
}

// --- headers ------------------------------------------------------------------------

std::optional<std::string> NKHTTPClient::defaultValueForHeader(const std::string& header) const {
  return defaultHeaders().get(header);
}

void NKHTTPClient::setDefaultHeader(const std::string& header, std::optional<std::string> value) {
  auto headers = defaultHeaders();
  if (value) {
    headers.set(header, *value);
  } else {
    headers.remove(header);
  }
  setDefaultHeaders(std::move(headers));
}

void NKHTTPClient::setAuthorizationHeaderWithUsername(const std::string& username,
                                                      const std::string& password) {
  const std::string credentials = platform::format("%@:%@", username, password);
  setDefaultHeader(
      "Authorization",
      platform::format("Basic %@",
                       codecs::Base64EncodeBytes(credentials.data(), credentials.size(), false)));
}

void NKHTTPClient::setAuthorizationHeaderWithToken(const std::string& token) {
  setDefaultHeader("Authorization", platform::format("Token token=\"%@\"", token));
}

void NKHTTPClient::clearAuthorizationHeader() { setDefaultHeader("Authorization", std::nullopt); }

// --- operation classes -------------------------------------------------------------

bool NKHTTPClient::registerHTTPOperationClass(const NKOperationClass& cls) {
  if (!cls.isSubclassOf(NKHTTPRequestOperation::operationClass())) return false;
  auto names = registeredHTTPOperationClassNames();
  std::erase(names, cls.name);
  names.insert(names.begin(), cls.name);
  setRegisteredHTTPOperationClassNames(std::move(names));
  return true;
}

void NKHTTPClient::unregisterHTTPOperationClass(const NKOperationClass& cls) {
  auto names = registeredHTTPOperationClassNames();
  std::erase(names, cls.name);
  setRegisteredHTTPOperationClassNames(std::move(names));
}

// --- requests --------------------------------------------------------------------------

NKHTTPClient::URLRequest NKHTTPClient::requestWithMethod(const std::string& method,
                                                         const std::optional<std::string>& path,
                                                         const Value& parameters) {
  platform::URL url(path.value_or(""), baseURL());
  URLRequest request(url);
  request.setHTTPMethod(method);
  request.setAllHTTPHeaderFields(defaultHeaders());
  request.setMaximumResponseLength(defaultMaximumResponseLength());
  request.setMaximumDuration(defaultMaximumDuration() > 0 ? defaultMaximumDuration()
                                                          : request.timeoutInterval());
  if (parameters.isNone()) return request;
  const platform::StringEncoding encoding = stringEncoding();
  if (method == "GET" || method == "HEAD" || method == "DELETE") {
    const std::string& text = url.absoluteString();
    const std::string query = codecs::QueryStringForParameters(parameters, encoding);
    request.setURL(platform::URL(
        platform::format(text.find('?') == std::string::npos ? "%@?%@" : "%@&%@", text, query)));
    return request;
  }
  const std::string charset = IANACharsetName(encoding);
  auto bytesOf = [](const std::string& s) { return platform::Bytes(s.begin(), s.end()); };
  switch (parameterEncoding()) {
    case NKFormURLParameterEncoding: {
      request.setValueForHTTPHeaderField(
          "Content-Type",
          platform::format("application/x-www-form-urlencoded; charset=%@", charset));
      request.setHTTPBody(bytesOf(codecs::QueryStringForParameters(parameters, encoding)));
      break;
    }
    case NKJSONParameterEncoding: {
      request.setValueForHTTPHeaderField("Content-Type",
                                         platform::format("application/json; charset=%@", charset));
      Error error;
      Value json = codecs::JSONData(parameters, codecs::JTSerializeOptionNone, &error);
      if (json.isData()) {
        request.setHTTPBody(json.asData());
      } else {
        ::syslog(LOG_ERR, "%s",
                 platform::format("%@ %@: %@", className(),
                                  "requestWithMethod:path:parameters:", error.description())
                     .c_str());
      }
      break;
    }
    case NKPropertyListParameterEncoding: {
      request.setValueForHTTPHeaderField(
          "Content-Type", platform::format("application/x-plist; charset=%@", charset));
      Error error;
      if (auto xml = platform::plist::serialize(parameters, &error)) {
        request.setHTTPBody(bytesOf(*xml));
      } else {
        ::syslog(LOG_ERR, "%s",
                 platform::format("%@ %@: %@", className(),
                                  "requestWithMethod:path:parameters:", error.description())
                     .c_str());
      }
      break;
    }
    default:
      break;
  }
  return request;
}

NKHTTPClient::URLRequest NKHTTPClient::multipartFormRequestWithMethod(
    const std::string& method, const std::optional<std::string>& path, const Value& parameters,
    const std::function<void(NKMultipartFormData&)>& block) {
  URLRequest request = requestWithMethod(method, path, Value());
  NKStreamingMultipartFormData formData(request, stringEncoding());
  if (parameters.isDictionary()) {
    for (const auto& pair : codecs::QueryPairsForDictionary(parameters)) {
      const Value& value = pair.value();
      std::optional<platform::Bytes> data;
      if (value.isData()) {
        data = value.asData();
      } else if (value.isNull()) {
        data = platform::Bytes{};
      } else {
        const std::string text = value.description();
        auto encoded = platform::encodeString(text, stringEncoding());
        if (encoded) data = platform::Bytes(encoded->begin(), encoded->end());
      }
      if (data) formData.appendPartWithFormData(*data, pair.field().description());
    }
  }
  if (block) block(formData);
  return formData.requestByFinalizingMultipartFormData();
}

NKHTTPRequestOperation::Ptr NKHTTPClient::HTTPRequestOperationWithRequest(URLRequest request,
                                                                          SuccessBlock success,
                                                                          FailureBlock failure) {
  NKHTTPRequestOperation::Ptr operation;
  for (const std::string& name : registeredHTTPOperationClassNames()) {
    const NKOperationClass* cls = NKOperationClass::named(name);
    if (!cls || !cls->canProcessRequest || !cls->canProcessRequest(request)) continue;
    // Only HTTP request operation classes are registered: the request
    // moves into the one that claims it.
    operation = std::dynamic_pointer_cast<NKHTTPRequestOperation>(cls->create(std::move(request)));
    break;
  }
  if (!operation) operation = NKHTTPRequestOperation::create(std::move(request));
  operation->setCompletionBlockWithSuccess(std::move(success), std::move(failure));
  operation->setCredential(defaultCredential());
  operation->setSSLPinningMode(defaultSSLPinningMode());
  operation->setPinnedCertificates(defaultPinnedCertificates());
  operation->setAllowsInvalidSSLCertificate(allowsInvalidSSLCertificate());
  return operation;
}

void NKHTTPClient::enqueueHTTPRequestOperation(const NKHTTPRequestOperation::Ptr& operation) {
  operationQueue()->addOperation(operation);
}

void NKHTTPClient::cancelAllHTTPOperationsWithMethod(const std::optional<std::string>& method,
                                                     const std::string& path) {
  const std::string target = requestWithMethod(method.value_or("GET"), path, Value()).url().path();
  for (const auto& op : operationQueue()->operations()) {
    auto http = std::dynamic_pointer_cast<NKHTTPRequestOperation>(op);
    if (!http) continue;
    const URLRequest request = http->request();
    if (request.url().path() != target) continue;
    if (method && request.HTTPMethod() != *method) continue;
    http->cancel();
  }
}

void NKHTTPClient::enqueueBatchOfHTTPRequestOperationsWithRequests(
    const std::vector<URLRequest>& requests, BatchProgress progress, BatchCompletion completion) {
  std::vector<NKHTTPRequestOperation::Ptr> operations;
  for (const auto& r : requests)
    operations.push_back(HTTPRequestOperationWithRequest(r, nullptr, nullptr));
  enqueueBatchOfHTTPRequestOperations(operations, std::move(progress), std::move(completion));
}

void NKHTTPClient::enqueueBatchOfHTTPRequestOperations(
    const std::vector<NKHTTPRequestOperation::Ptr>& operations, BatchProgress progress,
    BatchCompletion completion) {
  auto group = std::make_shared<platform::dispatch::Group>();
  auto batch = platform::BlockOperation::create([group, operations, completion] {
    group->notify(platform::dispatch::Queue::main(), [operations, completion] {
      if (completion) completion(operations);
    });
  });
  const std::size_t total = operations.size();
  std::vector<std::weak_ptr<NKHTTPRequestOperation>> weakOperations(operations.begin(),
                                                                    operations.end());
  for (const auto& op : operations) {
    auto kept = op->completionBlock();
    auto queue = op->successCallbackQueue();
    if (!queue) queue = platform::dispatch::Queue::main();
    op->setCompletionBlock([group, kept, weakOperations, progress, total, queue] {
      group->async(queue, [group, kept, weakOperations, progress, total] {
        if (kept) kept();
        std::size_t finished = 0;
        for (const auto& w : weakOperations) {
          auto o = w.lock();
          finished += o && o->isFinished() ? 1 : 0;
        }
        if (progress) progress(finished, total);
        group->leave();
      });
    });
    group->enter();
    batch->addDependency(op);
  }
  std::vector<platform::Operation::Ptr> all(operations.begin(), operations.end());
  operationQueue()->addOperations(all, false);
  operationQueue()->addOperation(batch);
}

void NKHTTPClient::getPath(const std::string& path, const Value& parameters, SuccessBlock success,
                           FailureBlock failure) {
  enqueueHTTPRequestOperation(HTTPRequestOperationWithRequest(
      requestWithMethod("GET", path, parameters), std::move(success), std::move(failure)));
}
void NKHTTPClient::postPath(const std::string& path, const Value& parameters, SuccessBlock success,
                            FailureBlock failure) {
  enqueueHTTPRequestOperation(HTTPRequestOperationWithRequest(
      requestWithMethod("POST", path, parameters), std::move(success), std::move(failure)));
}
void NKHTTPClient::putPath(const std::string& path, const Value& parameters, SuccessBlock success,
                           FailureBlock failure) {
  enqueueHTTPRequestOperation(HTTPRequestOperationWithRequest(
      requestWithMethod("PUT", path, parameters), std::move(success), std::move(failure)));
}
void NKHTTPClient::deletePath(const std::string& path, const Value& parameters,
                              SuccessBlock success, FailureBlock failure) {
  enqueueHTTPRequestOperation(HTTPRequestOperationWithRequest(
      requestWithMethod("DELETE", path, parameters), std::move(success), std::move(failure)));
}
void NKHTTPClient::patchPath(const std::string& path, const Value& parameters, SuccessBlock success,
                             FailureBlock failure) {
  enqueueHTTPRequestOperation(HTTPRequestOperationWithRequest(
      requestWithMethod("PATCH", path, parameters), std::move(success), std::move(failure)));
}

// --- reachability ---------------------------------------------------------------------------

std::shared_ptr<sysconfig::ReachabilityTarget> NKHTTPClient::networkReachability() const {
  std::lock_guard lock(reachabilityMutex_);
  return reachability_;
}

void NKHTTPClient::setReachabilityStatusChangeBlock(StatusBlock block) {
  std::lock_guard lock(reachabilityMutex_);
  statusBlock_ = std::move(block);
}

void NKHTTPClient::runStatusChange(std::int32_t status) {
  setNetworkReachabilityStatus(status);
  StatusBlock block;
  {
    std::lock_guard lock(reachabilityMutex_);
    block = statusBlock_;
  }
  if (block) block(status);
}

void NKHTTPClient::startMonitoringNetworkReachability() {
  stopMonitoringNetworkReachability();
  const platform::URL url = baseURL();
  if (!url.isValid() || url.host().empty()) return;
  auto target = sysconfig::ReachabilityProvider::shared()->createTargetForHost(url.host());
  if (!target) return;
  {
    std::lock_guard lock(reachabilityMutex_);
    reachability_ = target;
  }
  std::weak_ptr<NKHTTPClient> weak = weak_from_this();
  auto action = [weak](std::int32_t status) {
    if (auto client = weak.lock()) client->runStatusChange(status);
  };
  target->setCallback([action](std::uint32_t flags) {
    const std::int32_t status = NKReachabilityStatusForFlags(flags);
    action(status);
    platform::dispatch::Queue::main()->async([status] {
      platform::NotificationCenter::defaultCenter().post(
          kNKNetworkingReachabilityDidChangeNotification, nullptr,
          Value::dictionary({{kNKNetworkingReachabilityNotificationStatusItem,
                              Value(static_cast<std::int64_t>(status))}}));
    });
  });
  if (sysconfig::isAddressLiteral(url.host())) {
    auto flags = target->currentFlags();
    const std::int32_t status = NKReachabilityStatusForFlags(flags.value_or(0));
    platform::dispatch::Queue::main()->async([action, status] { action(status); });
  }
  target->schedule();
}

void NKHTTPClient::stopMonitoringNetworkReachability() {
  std::shared_ptr<sysconfig::ReachabilityTarget> target;
  {
    std::lock_guard lock(reachabilityMutex_);
    target.swap(reachability_);
  }
  if (target) target->unschedule();
}

// --- archiving and copying ------------------------------------------------------------------

Value NKHTTPClient::encodeWithCoder() const {
  std::vector<Value> names;
  for (const auto& n : registeredHTTPOperationClassNames()) names.emplace_back(n);
  return Value::dictionary(
      {{"baseURL", Value(baseURL().absoluteString())},
       {"stringEncoding", Value(static_cast<std::int64_t>(stringEncoding()))},
       {"parameterEncoding", Value(static_cast<std::int64_t>(parameterEncoding()))},
       {"registeredHTTPOperationClassNames", Value::array(names)},
       {"defaultHeaders", defaultHeaders().toValue()}});
}

void NKHTTPClient::restoreFromCoder(const Value& coder) {
  setStringEncoding(static_cast<platform::StringEncoding>(coder["stringEncoding"].asInt64()));
  setParameterEncoding(static_cast<std::int32_t>(coder["parameterEncoding"].asInt64()));
  std::vector<std::string> names;
  for (const Value& v : coder["registeredHTTPOperationClassNames"].elements()) {
    names.push_back(v.asString());
  }
  setRegisteredHTTPOperationClassNames(std::move(names));
  setDefaultHeaders(platform::urlloading::HeaderFields::fromValue(coder["defaultHeaders"]));
}

NKHTTPClient::Ptr NKHTTPClient::copy() const {
  Ptr other = newInstance(baseURL());
  other->setStringEncoding(stringEncoding());
  other->setParameterEncoding(parameterEncoding());
  other->setRegisteredHTTPOperationClassNames(registeredHTTPOperationClassNames());
  other->setDefaultHeaders(defaultHeaders());
  // A copy bounds its replies as the original does.
  other->setDefaultMaximumResponseLength(defaultMaximumResponseLength());
  other->setDefaultMaximumDuration(defaultMaximumDuration());
  std::lock_guard lock(reachabilityMutex_);
  other->setReachabilityStatusChangeBlock(statusBlock_);
  return other;
}

}  // namespace net::http
