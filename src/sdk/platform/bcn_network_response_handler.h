// BCNNetworkResponseHandler: reads a finished response (status code and the
// "Retry-After", "X-Request-Id" and "Content-Type" header fields), puts it
// into one of five response types and turns it into an error of the domain
// "BCNNetworkError" and a yes or no on whether to retry.
//
// Classification (status s of an HTTP response):
//   client error (2): 400 401 403 404 406 410 411 413 419 422 431
//   throttled (4):    420 429
//   retryable (3):    408 and 500..599
//   success (0):      200 201 202 204 304
//   other (1):        every other status, and any response that is no HTTP
//                     response (status 0)
// Response errors carry "type", "status_code", "request_id" and
// "content_type" in userInfo (the two texts are "" when the fields are
// missing).
//
// Thread safety: stateless; any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/urlloading/url_request.h"

namespace sdk {

inline constexpr const char* kBCNNetworkErrorDomain = "BCNNetworkError";

// Codes of the "BCNNetworkError" domain.
inline constexpr std::int64_t kBCNNetworkErrorRetryableResponse = -1;  // type 3 or 4
inline constexpr std::int64_t kBCNNetworkErrorNoTask = -3;             // no task for the request
inline constexpr std::int64_t kBCNNetworkErrorOtherResponse = -4;      // type 1, content mismatch
inline constexpr std::int64_t kBCNNetworkErrorClientError = -5;        // type 2
inline constexpr std::int64_t kBCNNetworkErrorRetryLimitReached = -6;  // retries used up

// userInfo keys of a response error.
inline constexpr const char* kBCNNetworkErrorTypeKey = "type";
inline constexpr const char* kBCNNetworkErrorStatusCodeKey = "status_code";
inline constexpr const char* kBCNNetworkErrorRequestIdKey = "request_id";
inline constexpr const char* kBCNNetworkErrorContentTypeKey = "content_type";

enum BCNNetworkResponseType : std::uint64_t {
  BCNNetworkResponseTypeSuccess = 0,
  BCNNetworkResponseTypeOther = 1,
  BCNNetworkResponseTypeClientError = 2,
  BCNNetworkResponseTypeRetryable = 3,
  BCNNetworkResponseTypeThrottled = 4,
};

class BCNNetworkResponseHandler {
 public:
  using Response = std::optional<platform::urlloading::URLResponse>;

  BCNNetworkResponseHandler() = delete;

  // The header field `key` (any letter case) of an HTTP response; nullopt
  // for a missing field, a non-HTTP response or none.
  static std::optional<std::string> headerForResponse(const Response& response,
                                                      std::string_view key);
  // "Retry-After" read as a decimal number of seconds (the leading number
  // of the text, 0 when it has none); 2 when the field is missing, or its
  // value negative or not finite.
  static double retryValueForResponse(const Response& response);
  static std::optional<std::string> requestIdForResponse(const Response& response);
  // For a successful response: true when the request has no "Accept"; else
  // the response's "Content-Type", split at the literal "; charset=", must
  // have the Accept value as first piece (any letter case) and, when the
  // request has "Accept-Charset" and there is a second piece, that piece
  // must equal the Accept-Charset value (any letter case).
  static bool contentTypeForResponseMatchesRequest(const Response& response,
                                                   const platform::urlloading::URLRequest& request);
  static platform::Error errorForCode(std::int64_t code, platform::Value userInfo = {});
  // Empty for a success; else code -5 (client error), -4 (other) or -1 with
  // the four details.
  static platform::Error errorForResponse(const Response& response, std::uint64_t type,
                                          long status);
  // Calls handler(type, status) once, synchronously.
  static void clientResponseType(
      const Response& response,
      const std::function<void(std::uint64_t type, long status)>& handler);
  // For uploads, whose answer is their status: the load's error, except
  // that a body larger than the request's maximumResponseLength
  // (kURLErrorDataLengthExceedsMaximum) after a success status is no error
  // (the body is never read). Other loads need their body: they keep the
  // error.
  static platform::Error uploadErrorIgnoringUnreadBody(const Response& response,
                                                       const platform::Error& error);
  // Calls block(retry, error) once, synchronously: a transport error is
  // retried only when it is NSURLErrorDomain -1001 (timed out) and handed on
  // as it is; otherwise the response decides (success with a matching
  // content type: no retry, no error; types 3 and 4: retry with -1; type 2:
  // -5; type 1 or a content mismatch: -4).
  static void handleCompletedResponse(
      const Response& response, const platform::urlloading::URLRequest& originalRequest,
      const platform::Error& error,
      const std::function<void(bool retry, const platform::Error& error)>& block);
};

}  // namespace sdk
