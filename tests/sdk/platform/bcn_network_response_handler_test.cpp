#include "sdk/platform/bcn_network_response_handler.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/urlloading/url_connection.h"

namespace {

using platform::Error;
using platform::URL;
using platform::urlloading::HeaderFields;
using platform::urlloading::URLRequest;
using platform::urlloading::URLResponse;
using sdk::BCNNetworkResponseHandler;

std::optional<URLResponse> http(long status, HeaderFields headers = {}) {
  return URLResponse(URL("https://127.0.0.1/x"), status, std::move(headers));
}

std::pair<std::uint64_t, long> classify(const std::optional<URLResponse>& response) {
  std::pair<std::uint64_t, long> out{99, -1};
  int calls = 0;
  BCNNetworkResponseHandler::clientResponseType(response, [&](std::uint64_t type, long status) {
    out = {type, status};
    ++calls;
  });
  EXPECT_EQ(calls, 1);
  return out;
}

TEST(BCNNetworkResponseHandlerTest, EveryStatusFallsIntoItsType) {
  const std::set<long> success{200, 201, 202, 204, 304};
  const std::set<long> client{400, 401, 403, 404, 406, 410, 411, 413, 419, 422, 431};
  const std::set<long> throttled{420, 429};
  for (long s = 100; s <= 699; ++s) {
    std::uint64_t expected = sdk::BCNNetworkResponseTypeOther;
    if (success.count(s)) expected = sdk::BCNNetworkResponseTypeSuccess;
    if (client.count(s)) expected = sdk::BCNNetworkResponseTypeClientError;
    if (throttled.count(s)) expected = sdk::BCNNetworkResponseTypeThrottled;
    if (s == 408 || (s >= 500 && s <= 599)) expected = sdk::BCNNetworkResponseTypeRetryable;
    auto [type, status] = classify(http(s));
    EXPECT_EQ(type, expected) << s;
    EXPECT_EQ(status, s);
  }
  // Spot checks named by the design.
  EXPECT_EQ(classify(http(203)).first, sdk::BCNNetworkResponseTypeOther);
  EXPECT_EQ(classify(http(430)).first, sdk::BCNNetworkResponseTypeOther);
  EXPECT_EQ(classify(http(432)).first, sdk::BCNNetworkResponseTypeOther);
}

TEST(BCNNetworkResponseHandlerTest, ResponsesWithoutStatusAreOtherWithStatusZero) {
  auto none = classify(std::nullopt);
  EXPECT_EQ(none.first, sdk::BCNNetworkResponseTypeOther);
  EXPECT_EQ(none.second, 0);
  auto file = classify(URLResponse::nonHTTP(URL("file:///tmp/x"), "text/plain", 3));
  EXPECT_EQ(file.first, sdk::BCNNetworkResponseTypeOther);
  EXPECT_EQ(file.second, 0);

  Error error = BCNNetworkResponseHandler::errorForResponse(
      URLResponse::nonHTTP(URL("file:///tmp/x"), "text/plain", 3), file.first, file.second);
  EXPECT_EQ(error.code(), sdk::kBCNNetworkErrorOtherResponse);
  EXPECT_EQ(error.userInfo()["status_code"].asInt64(), 0);
  EXPECT_EQ(BCNNetworkResponseHandler::headerForResponse(std::nullopt, "Content-Type"),
            std::nullopt);
}

TEST(BCNNetworkResponseHandlerTest, ResponseErrorsCarryTheirDetails) {
  auto withHeaders = http(503, {{"X-Request-Id", "req-7"}, {"Content-Type", "text/html"}});
  Error e = BCNNetworkResponseHandler::errorForResponse(withHeaders,
                                                        sdk::BCNNetworkResponseTypeRetryable, 503);
  EXPECT_EQ(e.domain(), "BCNNetworkError");
  EXPECT_EQ(e.code(), -1);
  EXPECT_EQ(e.userInfo()["type"].asUInt64(), 3u);
  EXPECT_EQ(e.userInfo()["status_code"].asInt64(), 503);
  EXPECT_EQ(e.userInfo()["request_id"].asString(), "req-7");
  EXPECT_EQ(e.userInfo()["content_type"].asString(), "text/html");

  Error bare = BCNNetworkResponseHandler::errorForResponse(
      http(404), sdk::BCNNetworkResponseTypeClientError, 404);
  EXPECT_EQ(bare.code(), -5);
  ASSERT_TRUE(bare.userInfo()["request_id"].isString());
  EXPECT_EQ(bare.userInfo()["request_id"].asString(), "");
  EXPECT_EQ(bare.userInfo()["content_type"].asString(), "");
  EXPECT_EQ(BCNNetworkResponseHandler::errorForResponse(http(429),
                                                        sdk::BCNNetworkResponseTypeThrottled, 429)
                .code(),
            -1);
  EXPECT_FALSE(BCNNetworkResponseHandler::errorForResponse(
      http(200), sdk::BCNNetworkResponseTypeSuccess, 200));
  EXPECT_EQ(BCNNetworkResponseHandler::requestIdForResponse(withHeaders), "req-7");
  // Header names are looked up without regard to case.
  EXPECT_EQ(BCNNetworkResponseHandler::headerForResponse(withHeaders, "x-request-id"), "req-7");
}

TEST(BCNNetworkResponseHandlerTest, RetryAfterFallsBackToTwo) {
  auto retry = [](const char* value) {
    return BCNNetworkResponseHandler::retryValueForResponse(http(503, {{"Retry-After", value}}));
  };
  EXPECT_EQ(BCNNetworkResponseHandler::retryValueForResponse(http(503)), 2.0);
  EXPECT_EQ(BCNNetworkResponseHandler::retryValueForResponse(std::nullopt), 2.0);
  EXPECT_EQ(retry("10"), 10.0);
  EXPECT_EQ(retry("1.5"), 1.5);
  EXPECT_EQ(retry("0"), 0.0);
  EXPECT_EQ(retry("-5"), 2.0);
  EXPECT_EQ(retry("Wed, 21 Oct 2015 07:28:00 GMT"), 0.0);  // no leading number
  // Values that are no finite number cannot poison the delay.
  EXPECT_EQ(retry("inf"), 2.0);
  EXPECT_EQ(retry("nan"), 2.0);
  EXPECT_EQ(retry("1e999"), 2.0);
  EXPECT_EQ(retry(" +7 seconds"), 7.0);
  EXPECT_EQ(retry("0x10"), 0.0);  // decimal only
}

URLRequest requestAccepting(const char* accept, const char* charset) {
  URLRequest r(URL("https://127.0.0.1/x"));
  if (accept) r.setValueForHTTPHeaderField("Accept", accept);
  if (charset) r.setValueForHTTPHeaderField("Accept-Charset", charset);
  return r;
}

TEST(BCNNetworkResponseHandlerTest, ContentTypeMustMatchAcceptAndCharset) {
  auto matches = [](const char* contentType, const char* accept, const char* charset) {
    HeaderFields h;
    if (contentType) h.set("Content-Type", contentType);
    return BCNNetworkResponseHandler::contentTypeForResponseMatchesRequest(
        http(200, h), requestAccepting(accept, charset));
  };
  EXPECT_TRUE(matches("application/json; charset=utf-8", "application/json", "UTF-8"));
  EXPECT_FALSE(matches("application/json; charset=utf-8", "application/json", "latin1"));
  EXPECT_FALSE(matches("application/json;charset=utf-8", "application/json", nullptr));
  EXPECT_TRUE(matches("Application/JSON", "application/json", "utf-8"));  // no charset piece
  EXPECT_TRUE(matches("text/html", nullptr, nullptr));
  EXPECT_TRUE(matches(nullptr, nullptr, "utf-8"));
  EXPECT_FALSE(matches(nullptr, "application/json", nullptr));
  EXPECT_FALSE(matches("text/html", "application/json", nullptr));
}

std::pair<bool, Error> complete(const std::optional<URLResponse>& response,
                                const URLRequest& request, const Error& error = Error()) {
  std::pair<bool, Error> out{false, Error("unset", 0)};
  int calls = 0;
  BCNNetworkResponseHandler::handleCompletedResponse(response, request, error,
                                                     [&](bool retry, const Error& e) {
                                                       out = {retry, e};
                                                       ++calls;
                                                     });
  EXPECT_EQ(calls, 1);
  return out;
}

TEST(BCNNetworkResponseHandlerTest, CompletionDecidesRetryAndError) {
  const URLRequest json = requestAccepting("application/json", "utf-8");
  auto ok = complete(http(200, {{"Content-Type", "application/json; charset=utf-8"}}), json);
  EXPECT_FALSE(ok.first);
  EXPECT_FALSE(ok.second);

  auto mismatch = complete(http(200, {{"Content-Type", "text/html"}}), json);
  EXPECT_FALSE(mismatch.first);
  EXPECT_EQ(mismatch.second.code(), -4);
  EXPECT_EQ(mismatch.second.userInfo()["type"].asUInt64(), 1u);

  auto nonAuthoritative = complete(http(203), URLRequest(URL("https://127.0.0.1/")));
  EXPECT_EQ(nonAuthoritative.second.code(), -4);
  EXPECT_FALSE(complete(http(304), URLRequest(URL("https://127.0.0.1/"))).second);

  auto client = complete(http(431), json);
  EXPECT_FALSE(client.first);
  EXPECT_EQ(client.second.code(), -5);

  for (long s : {408L, 420L, 429L, 500L, 503L, 599L}) {
    auto retry = complete(http(s), json);
    EXPECT_TRUE(retry.first) << s;
    EXPECT_EQ(retry.second.code(), -1) << s;
    EXPECT_EQ(retry.second.userInfo()["status_code"].asInt64(), s);
  }

  const Error timedOut(platform::kURLErrorDomain, platform::urlloading::kURLErrorTimedOut);
  auto timeout = complete(std::nullopt, json, timedOut);
  EXPECT_TRUE(timeout.first);
  EXPECT_EQ(timeout.second, timedOut);

  const Error refused(platform::kURLErrorDomain,
                      platform::urlloading::kURLErrorCannotConnectToHost);
  auto transport = complete(std::nullopt, json, refused);
  EXPECT_FALSE(transport.first);
  EXPECT_EQ(transport.second, refused);
  // Same code, other domain: not a time-out.
  auto foreign = complete(std::nullopt, json, Error("OtherDomain", -1001));
  EXPECT_FALSE(foreign.first);
}

}  // namespace
