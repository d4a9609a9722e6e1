#include "sdk/platform/bcn_network_response_handler.h"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "platform/urlloading/url_connection.h"

namespace sdk {

using platform::Error;
using platform::Value;
using platform::urlloading::URLRequest;

namespace {

bool isClientErrorStatus(long s) {
  switch (s) {
    case 400:
    case 401:
    case 403:
    case 404:
    case 406:
    case 410:
    case 411:
    case 413:
    case 419:
    case 422:
    case 431:
      return true;
    default:
      return false;
  }
}

bool isSuccessStatus(long s) { return s == 200 || s == 201 || s == 202 || s == 204 || s == 304; }

// The leading decimal number of `text` (after blanks and an optional "+"),
// read the same whatever the process locale; 0 when it has none, nullopt
// when it is out of range.
std::optional<double> leadingDouble(const std::string& text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
  if (begin < end && *begin == '+') ++begin;
  double value = 0;
  const auto result = std::from_chars(begin, end, value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) return std::nullopt;
  if (result.ec != std::errc()) return 0.0;
  return value;
}

}  // namespace

std::optional<std::string> BCNNetworkResponseHandler::headerForResponse(const Response& response,
                                                                        std::string_view key) {
  if (!response || !response->isHTTP()) return std::nullopt;
  return response->allHeaderFields().get(key);
}

double BCNNetworkResponseHandler::retryValueForResponse(const Response& response) {
  const auto header = headerForResponse(response, "Retry-After");
  if (!header) return 2.0;
  const auto value = leadingDouble(*header);
  // A value that is no finite number would poison the delay computation.
  if (!value || *value < 0 || !std::isfinite(*value)) return 2.0;
  return *value;
}

std::optional<std::string> BCNNetworkResponseHandler::requestIdForResponse(
    const Response& response) {
  return headerForResponse(response, "X-Request-Id");
}

bool BCNNetworkResponseHandler::contentTypeForResponseMatchesRequest(const Response& response,
                                                                     const URLRequest& request) {
  const auto accept = request.allHTTPHeaderFields().get("Accept");
  if (!accept) return true;
  const auto contentType = headerForResponse(response, "Content-Type");
  if (!contentType) return false;
  static constexpr std::string_view kSeparator = "; charset=";
  const std::size_t at = contentType->find(kSeparator);
  const std::string type = contentType->substr(0, at);
  if (!platform::urlloading::equalsIgnoringCase(type, *accept)) return false;
  const auto acceptCharset = request.allHTTPHeaderFields().get("Accept-Charset");
  if (acceptCharset && at != std::string::npos) {
    // The second piece ends at the next separator, as a split would cut it.
    std::string charset = contentType->substr(at + kSeparator.size());
    const std::size_t next = charset.find(kSeparator);
    if (next != std::string::npos) charset.resize(next);
    return platform::urlloading::equalsIgnoringCase(charset, *acceptCharset);
  }
  return true;
}

Error BCNNetworkResponseHandler::errorForCode(std::int64_t code, Value userInfo) {
  return Error(kBCNNetworkErrorDomain, code, std::move(userInfo));
}

Error BCNNetworkResponseHandler::errorForResponse(const Response& response, std::uint64_t type,
                                                  long status) {
  if (type == BCNNetworkResponseTypeSuccess) return Error();
  std::int64_t code = kBCNNetworkErrorRetryableResponse;
  if (type == BCNNetworkResponseTypeClientError) {
    code = kBCNNetworkErrorClientError;
  } else if (type == BCNNetworkResponseTypeOther) {
    code = kBCNNetworkErrorOtherResponse;
  }
  Value details = Value::dictionary({
      {kBCNNetworkErrorTypeKey, Value(type)},
      {kBCNNetworkErrorStatusCodeKey, Value(static_cast<std::int64_t>(status))},
      {kBCNNetworkErrorRequestIdKey, Value(requestIdForResponse(response).value_or(""))},
      {kBCNNetworkErrorContentTypeKey,
       Value(headerForResponse(response, "Content-Type").value_or(""))},
  });
  return errorForCode(code, std::move(details));
}

void BCNNetworkResponseHandler::clientResponseType(
    const Response& response, const std::function<void(std::uint64_t type, long status)>& handler) {
  if (!response || !response->isHTTP()) {
    handler(BCNNetworkResponseTypeOther, 0);
    return;
  }
  const long s = response->statusCode();
  std::uint64_t type = BCNNetworkResponseTypeOther;
  if (isClientErrorStatus(s)) {
    type = BCNNetworkResponseTypeClientError;
  } else if (s == 420 || s == 429) {
    type = BCNNetworkResponseTypeThrottled;
  } else if (s == 408) {
    type = BCNNetworkResponseTypeRetryable;
  } else if (isSuccessStatus(s)) {
    type = BCNNetworkResponseTypeSuccess;
  } else if (s >= 500 && s <= 599) {
    type = BCNNetworkResponseTypeRetryable;
  }
  handler(type, s);
}

Error BCNNetworkResponseHandler::uploadErrorIgnoringUnreadBody(const Response& response,
                                                               const Error& error) {
  if (!error || error.domain() != platform::kURLErrorDomain ||
      error.code() != platform::urlloading::kURLErrorDataLengthExceedsMaximum) {
    return error;
  }
  if (!response || !response->isHTTP() || !isSuccessStatus(response->statusCode())) return error;
  return Error();
}

void BCNNetworkResponseHandler::handleCompletedResponse(
    const Response& response, const URLRequest& originalRequest, const Error& error,
    const std::function<void(bool retry, const Error& error)>& block) {
  if (error) {
    const bool timedOut = error.domain() == platform::kURLErrorDomain &&
                          error.code() == platform::urlloading::kURLErrorTimedOut;
    block(timedOut, error);
    return;
  }
  clientResponseType(response, [&](std::uint64_t type, long status) {
    switch (type) {
      case BCNNetworkResponseTypeSuccess:
        if (contentTypeForResponseMatchesRequest(response, originalRequest)) {
          block(false, Error());
        } else {
          block(false, errorForResponse(response, BCNNetworkResponseTypeOther, status));
        }
        break;
      case BCNNetworkResponseTypeOther:
      case BCNNetworkResponseTypeClientError:
        block(false, errorForResponse(response, type, status));
        break;
      case BCNNetworkResponseTypeRetryable:
      case BCNNetworkResponseTypeThrottled:
        block(true, errorForResponse(response, type, status));
        break;
      default:
        block(false, Error());
    }
  });
}

}  // namespace sdk
