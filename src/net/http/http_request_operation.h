// NKHTTPRequestOperation: the URL connection operation for HTTP. It judges
// the response by status code and content type, picks the body's text
// encoding by HTTP rules, resumes downloads with range requests and
// delivers exactly one success or one failure callback on chosen queues.
//
// Guarantees:
//  1. A status outside the class's acceptable codes is error -1011
//     ("Expected status code in (200-299), got 404"); a content type outside
//     the class's acceptable types with a non-empty body is error -1016
//     ("Expected content type ..., got ..."). Both are in
//     "NKNetworkingErrorDomain", carry the body text as the recovery
//     suggestion and hide any transport error. The validation error is
//     built once; once the operation finished, so is the verdict that the
//     response is acceptable.
//  2. Acceptable codes and types are per class; a class inherits its base
//     class's sets until it gets its own through addAcceptable... .
//  3. pause() rewrites the request to continue at the bytes already kept
//     ("Range: bytes=N-", "If-Range" with the ETag). A resumed load whose
//     server answers 200 instead of 206 starts the body afresh instead of
//     appending a whole new body to the part kept.
//  4. Callbacks run asynchronously on successCallbackQueue /
//     failureCallbackQueue (the main queue when none), never under the
//     operation's lock. The success callback's response object is the body
//     as a data Value (None when there is no body); typed subclasses pass
//     their parsed object.
//
// Thread safety: as NKURLConnectionOperation; callback queues are set
// before the operation starts.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>

#include "net/http/url_connection_operation.h"
#include "platform/dispatch/dispatch.h"

namespace net::http {

inline constexpr const char* kNKNetworkingErrorDomain = "NKNetworkingErrorDomain";
inline constexpr const char* kNKNetworkingOperationFailingURLRequestErrorKey =
    "NKNetworkingOperationFailingURLRequestErrorKey";
inline constexpr const char* kNKNetworkingOperationFailingURLResponseErrorKey =
    "NKNetworkingOperationFailingURLResponseErrorKey";
inline constexpr std::int64_t kNKErrorBadStatusCode = -1011;
inline constexpr std::int64_t kNKErrorUnacceptableContentType = -1016;

class NKHTTPRequestOperation : public NKURLConnectionOperation {
 public:
  using Ptr = std::shared_ptr<NKHTTPRequestOperation>;
  using SuccessBlock = std::function<void(const Ptr& operation, const platform::Value& object)>;
  using FailureBlock = std::function<void(const Ptr& operation, const platform::Error& error)>;
  using StatusCodes = std::set<long>;
  using ContentTypes = std::set<std::string>;

  static Ptr create(URLRequest request);
  explicit NKHTTPRequestOperation(URLRequest request);

  static const NKOperationClass& operationClass();
  const NKOperationClass& objectClass() const override { return operationClass(); }

  bool hasAcceptableStatusCode();
  bool hasAcceptableContentType();
  platform::Error error() override;
  std::optional<NKTextEncoding> responseStringEncoding() override;
  void pause() override;

  platform::dispatch::QueuePtr successCallbackQueue() const;
  void setSuccessCallbackQueue(platform::dispatch::QueuePtr queue);
  platform::dispatch::QueuePtr failureCallbackQueue() const;
  void setFailureCallbackQueue(platform::dispatch::QueuePtr queue);

  // Replaces the completion block (guarantee 4); either block may be empty.
  virtual void setCompletionBlockWithSuccess(SuccessBlock success, FailureBlock failure);

  // --- class-level settings (guarantee 2) -----------------------------------
  // nullopt: any content type (or any status code) is acceptable.
  static std::optional<StatusCodes> acceptableStatusCodesFor(const NKOperationClass& cls);
  static std::optional<ContentTypes> acceptableContentTypesFor(const NKOperationClass& cls);
  static void addAcceptableStatusCodesFor(const NKOperationClass& cls, const StatusCodes& codes);
  static void addAcceptableContentTypesFor(const NKOperationClass& cls, const ContentTypes& types);
  // Sets the class's own defaults (called once by each class).
  static void setDefaultAcceptableContentTypes(const NKOperationClass& cls,
                                               std::optional<ContentTypes> types);
  static std::optional<StatusCodes> acceptableStatusCodes() {
    return acceptableStatusCodesFor(operationClass());
  }
  static std::optional<ContentTypes> acceptableContentTypes() {
    return acceptableContentTypesFor(operationClass());
  }
  static void addAcceptableStatusCodes(const StatusCodes& codes) {
    addAcceptableStatusCodesFor(operationClass(), codes);
  }
  static void addAcceptableContentTypes(const ContentTypes& types) {
    addAcceptableContentTypesFor(operationClass(), types);
  }
  // YES for every request on this class itself.
  static bool canProcessRequest(const URLRequest&) { return true; }
  // The "Accept" test of subclasses: an accepted type of the request is
  // among the class's acceptable types.
  static bool canProcessRequestByAccept(const NKOperationClass& cls, const URLRequest& request);
  // "200-299", "200-299,304".
  static std::string rangeText(const StatusCodes& codes);
  // The platform's text form of a set of strings.
  static std::string setDescription(const ContentTypes& types);

  void connectionDidReceiveResponse(URLConnection& connection,
                                    const URLResponse& response) override;

 protected:
  std::shared_ptr<NKHTTPRequestOperation> sharedHTTPSelf() {
    return std::static_pointer_cast<NKHTTPRequestOperation>(shared_from_this());
  }
  // The queues to use (main when none was set).
  platform::dispatch::QueuePtr successQueueOrMain() const;
  platform::dispatch::QueuePtr failureQueueOrMain() const;
  // The validation error alone (None when the response is acceptable).
  platform::Error validationError();
  // The completion of an operation that parses its response: the failure
  // block for an error of the load; otherwise `parse` runs on `queue` (a sync
  // onto a concurrent processing queue runs at once, without another thread
  // hop) and its result goes to the success block, or the error the parse
  // left (error() then answers it) to the failure block.
  void setParsingCompletionBlock(platform::dispatch::QueuePtr queue,
                                 std::function<platform::Value(NKHTTPRequestOperation&)> parse,
                                 SuccessBlock success, FailureBlock failure);

 private:
  // ISO Latin 1 for a "text/..." response that names no charset, else nullopt.
  std::optional<NKTextEncoding> textTypeWithoutCharset() const;
  platform::Error HTTPError_;
  bool validated_ = false;  // HTTPError_ is final (guarded by lock_)
  platform::dispatch::QueuePtr successQueue_;
  platform::dispatch::QueuePtr failureQueue_;
};

}  // namespace net::http
