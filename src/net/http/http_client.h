// NKHTTPClient: an HTTP client bound to one base URL. It holds the default
// headers sent with every request, builds requests for a method, a path
// relative to the base URL and a parameters dictionary (query string,
// form, JSON or property-list body; multipart bodies), picks the operation
// class for each request from its registry, runs the operations on its own
// operation queue and watches the reachability of the base URL's host.
//
// Guarantees:
//  1. A base URL with a path gets a trailing "/" so relative paths land
//     below it; paths resolve by RFC 3986.
//  2. GET, HEAD and DELETE carry parameters in the query (a "?" or "&"
//     separator is appended even for no parameters); other methods carry
//     them in the body by parameterEncoding (0 form, 1 JSON, 2 property
//     list) with a matching "Content-Type" and charset.
//  3. Every construction step, operation creation and queueing goes
//     through the virtual members, so a subclass that overrides any of them
//     is seen by all (the verb conveniences call them on the client).
//  4. Reachability: the status is -1 until the first report, then 0 or 2;
//     each report runs the status block and then posts
//     "com.netkit.networking.reachability.change" from the main queue. The
//     first status of an address literal arrives on the main queue without
//     a notification. Monitoring stops when the client is destroyed.
//  5. A batch's completion block runs once on the main queue, also for an
//     empty batch.
//  6. Every request it builds bounds its reply: at most
//     defaultMaximumResponseLength() body bytes, and the whole load
//     (headers and body) within defaultMaximumDuration() seconds, which
//     unless set is the request's own time-out (URLRequest documents both
//     limits and their errors).
// Clients are made with create<T>(baseURL) (or clientWithBaseURL), which
// runs the designated initializer on a shared_ptr.
//
// Thread safety: request construction, headers and registration on one
// thread (the owner's); operations run on operationQueue(); reachability
// work runs on the main queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/http/http_request_operation.h"
#include "net/http/pinned_certificates.h"
#include "net/http/streaming_multipart_form_data.h"
#include "platform/foundation/string_encoding.h"
#include "platform/foundation/url.h"
#include "platform/sysconfig/reachability.h"
#include "platform/system/operation_queue.h"

namespace net::http {

inline constexpr const char* kNKNetworkingReachabilityDidChangeNotification =
    "com.netkit.networking.reachability.change";
inline constexpr const char* kNKNetworkingReachabilityNotificationStatusItem =
    "NKNetworkingReachabilityNotificationStatusItem";

// The body limit of a client's requests unless its owner sets another:
// the replies of an API are small, and nothing larger is held in memory.
inline constexpr std::int64_t kNKHTTPClientDefaultMaximumResponseLength = std::int64_t{1} << 20;

enum NKHTTPClientParameterEncoding : std::int32_t {
  NKFormURLParameterEncoding = 0,
  NKJSONParameterEncoding = 1,
  NKPropertyListParameterEncoding = 2,
};

enum NKNetworkReachabilityStatus : std::int32_t {
  NKNetworkReachabilityStatusUnknown = -1,
  NKNetworkReachabilityStatusNotReachable = 0,
  NKNetworkReachabilityStatusReachable = 2,
};

// The status for a set of reachability flags.
NKNetworkReachabilityStatus NKReachabilityStatusForFlags(std::uint32_t flags);

class NKHTTPClient : public std::enable_shared_from_this<NKHTTPClient> {
 public:
  using Ptr = std::shared_ptr<NKHTTPClient>;
  using URLRequest = platform::urlloading::URLRequest;
  using SuccessBlock = NKHTTPRequestOperation::SuccessBlock;
  using FailureBlock = NKHTTPRequestOperation::FailureBlock;
  using StatusBlock = std::function<void(std::int32_t status)>;
  using BatchProgress = std::function<void(std::size_t finished, std::size_t total)>;
  using BatchCompletion = std::function<void(const std::vector<NKHTTPRequestOperation::Ptr>&)>;

  template <class T = NKHTTPClient>
  static std::shared_ptr<T> create(const platform::URL& baseURL) {
    std::shared_ptr<T> client(new T());
    client->initWithBaseURL(baseURL);
    return client;
  }
  static Ptr clientWithBaseURL(const platform::URL& baseURL) { return create(baseURL); }
  virtual ~NKHTTPClient();
  NKHTTPClient(const NKHTTPClient&) = delete;
  NKHTTPClient& operator=(const NKHTTPClient&) = delete;

  // The designated initializer (see the header comment).
  virtual void initWithBaseURL(const platform::URL& url);
  // Always throws NSInternalInconsistencyException: use initWithBaseURL.
  void init();
  virtual std::string className() const { return "NKHTTPClient"; }
  std::string description() const;

  // --- accessors ---------------------------------------------------------
  virtual platform::URL baseURL() const { return baseURL_; }
  virtual void setBaseURL(platform::URL url) { baseURL_ = std::move(url); }
  virtual platform::StringEncoding stringEncoding() const { return stringEncoding_; }
  virtual void setStringEncoding(platform::StringEncoding e) { stringEncoding_ = e; }
  virtual std::int32_t parameterEncoding() const { return parameterEncoding_; }
  virtual void setParameterEncoding(std::int32_t e) { parameterEncoding_ = e; }
  virtual std::vector<std::string> registeredHTTPOperationClassNames() const { return registered_; }
  virtual void setRegisteredHTTPOperationClassNames(std::vector<std::string> names) {
    registered_ = std::move(names);
  }
  virtual platform::urlloading::HeaderFields defaultHeaders() const { return defaultHeaders_; }
  virtual void setDefaultHeaders(platform::urlloading::HeaderFields headers) {
    defaultHeaders_ = std::move(headers);
  }
  virtual std::optional<platform::urlloading::URLCredential> defaultCredential() const {
    return defaultCredential_;
  }
  virtual void setDefaultCredential(std::optional<platform::urlloading::URLCredential> c) {
    defaultCredential_ = std::move(c);
  }
  virtual platform::OperationQueue::Ptr operationQueue() const { return operationQueue_; }
  virtual void setOperationQueue(platform::OperationQueue::Ptr queue) {
    operationQueue_ = std::move(queue);
  }
  virtual std::int32_t defaultSSLPinningMode() const { return pinningMode_; }
  virtual void setDefaultSSLPinningMode(std::int32_t mode) { pinningMode_ = mode; }
  // The pins its operations trust in a pinning mode (nullptr: the main
  // bundle's); like the pinning mode, not copied.
  NKPinnedCertificates::Ptr defaultPinnedCertificates() const { return pins_; }
  void setDefaultPinnedCertificates(NKPinnedCertificates::Ptr pins) { pins_ = std::move(pins); }
  // Guarantee 6; a negative length means no limit, a duration of 0 or
  // less the request's time-out.
  std::int64_t defaultMaximumResponseLength() const { return maximumResponseLength_; }
  void setDefaultMaximumResponseLength(std::int64_t bytes) { maximumResponseLength_ = bytes; }
  double defaultMaximumDuration() const { return maximumDuration_; }
  void setDefaultMaximumDuration(double seconds) { maximumDuration_ = seconds; }
  virtual bool allowsInvalidSSLCertificate() const { return allowsInvalid_; }
  virtual void setAllowsInvalidSSLCertificate(bool v) { allowsInvalid_ = v; }
  std::int32_t networkReachabilityStatus() const { return reachabilityStatus_; }
  void setNetworkReachabilityStatus(std::int32_t status) { reachabilityStatus_ = status; }
  std::shared_ptr<platform::sysconfig::ReachabilityTarget> networkReachability() const;

  // --- headers -----------------------------------------------------------------
  std::optional<std::string> defaultValueForHeader(const std::string& header) const;
  // nullopt removes the header.
  void setDefaultHeader(const std::string& header, std::optional<std::string> value);
  void setAuthorizationHeaderWithUsername(const std::string& username, const std::string& password);
  void setAuthorizationHeaderWithToken(const std::string& token);
  void clearAuthorizationHeader();

  // --- operation classes ---------------------------------------------------------
  bool registerHTTPOperationClass(const NKOperationClass& cls);
  void unregisterHTTPOperationClass(const NKOperationClass& cls);

  // --- requests and operations ------------------------------------------------------
  virtual URLRequest requestWithMethod(const std::string& method,
                                       const std::optional<std::string>& path,
                                       const platform::Value& parameters);
  virtual URLRequest multipartFormRequestWithMethod(
      const std::string& method, const std::optional<std::string>& path,
      const platform::Value& parameters, const std::function<void(NKMultipartFormData&)>& block);
  virtual NKHTTPRequestOperation::Ptr HTTPRequestOperationWithRequest(URLRequest request,
                                                                      SuccessBlock success,
                                                                      FailureBlock failure);
  virtual void enqueueHTTPRequestOperation(const NKHTTPRequestOperation::Ptr& operation);
  void cancelAllHTTPOperationsWithMethod(const std::optional<std::string>& method,
                                         const std::string& path);
  void enqueueBatchOfHTTPRequestOperationsWithRequests(const std::vector<URLRequest>& requests,
                                                       BatchProgress progress,
                                                       BatchCompletion completion);
  void enqueueBatchOfHTTPRequestOperations(
      const std::vector<NKHTTPRequestOperation::Ptr>& operations, BatchProgress progress,
      BatchCompletion completion);

  virtual void getPath(const std::string& path, const platform::Value& parameters,
                       SuccessBlock success, FailureBlock failure);
  virtual void postPath(const std::string& path, const platform::Value& parameters,
                        SuccessBlock success, FailureBlock failure);
  virtual void putPath(const std::string& path, const platform::Value& parameters,
                       SuccessBlock success, FailureBlock failure);
  virtual void deletePath(const std::string& path, const platform::Value& parameters,
                          SuccessBlock success, FailureBlock failure);
  virtual void patchPath(const std::string& path, const platform::Value& parameters,
                         SuccessBlock success, FailureBlock failure);

  // --- reachability ----------------------------------------------------------------------
  void startMonitoringNetworkReachability();
  void stopMonitoringNetworkReachability();
  void setReachabilityStatusChangeBlock(StatusBlock block);

  // --- archiving and copying ----------------------------------------------------------------
  platform::Value encodeWithCoder() const;
  template <class T = NKHTTPClient>
  static std::shared_ptr<T> decodeWithCoder(const platform::Value& coder) {
    auto client = create<T>(platform::URL(coder["baseURL"].asString()));
    client->restoreFromCoder(coder);
    return client;
  }
  // A new client of the same class (newInstance) with the same base URL,
  // encodings, registered classes, headers, reply limits and status block.
  Ptr copy() const;

  // The charset name of an encoding ("utf-8").
  static std::string IANACharsetName(platform::StringEncoding encoding);

 protected:
  NKHTTPClient() = default;
  // A new client of the receiver's class; subclasses override it.
  virtual Ptr newInstance(const platform::URL& baseURL) const { return create(baseURL); }
  void restoreFromCoder(const platform::Value& coder);

 private:
  void runStatusChange(std::int32_t status);

  platform::URL baseURL_;
  platform::StringEncoding stringEncoding_ = platform::StringEncoding::UTF8;
  std::int32_t parameterEncoding_ = NKFormURLParameterEncoding;
  std::vector<std::string> registered_;
  platform::urlloading::HeaderFields defaultHeaders_;
  std::optional<platform::urlloading::URLCredential> defaultCredential_;
  platform::OperationQueue::Ptr operationQueue_;
  std::int32_t pinningMode_ = 0;
  NKPinnedCertificates::Ptr pins_;
  bool allowsInvalid_ = false;
  std::int64_t maximumResponseLength_ = kNKHTTPClientDefaultMaximumResponseLength;
  double maximumDuration_ = 0;
  std::atomic<std::int32_t> reachabilityStatus_{NKNetworkReachabilityStatusUnknown};
  mutable std::mutex reachabilityMutex_;
  std::shared_ptr<platform::sysconfig::ReachabilityTarget> reachability_;
  StatusBlock statusBlock_;
};

}  // namespace net::http
