#include "sdk/analytics/tly_network_retry_handler.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "sdk/platform/bcn_certificate_pinner.h"
#include "sdk/platform/bcn_network_response_handler.h"
#include "sdk/platform/beacon.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using platform::URL;
using platform::urlloading::HeaderFields;
using platform::urlloading::URLRequest;
using platform::urlloading::URLResponse;

const char* kEvents = "https://127.0.0.1:1/spi/v2/events";

struct Answer {
  bool called = false;
  bool retry = false;
  platform::Error error;
};

class RetryHandlerTest : public varnel::testing::TempRootTest {
 protected:
  void TearDown() override { Beacon::resetSharedSDKForTesting(); }

  static URLResponse response(long status, HeaderFields headers = {}) {
    return URLResponse(URL(kEvents), status, std::move(headers));
  }

  Answer ask(const std::optional<URLResponse>& r, const std::optional<std::string>& name,
             const platform::Error& transport = {}) {
    Answer answer;
    handler_.handleCompletedRequest(request_, r, name, transport,
                                    [&answer](bool retry, const platform::Error& error) {
                                      answer.called = true;
                                      answer.retry = retry;
                                      answer.error = error;
                                    });
    return answer;
  }

  TLYNetworkRetryHandler handler_{
      {.clock = nullptr,
       .timerConfigurator =
           [this](TLYBackoffTimer& timer) {
             timer.setRandomSource([] { return 0.5; });  // jitter factor exactly 1
             timer.setScheduler([this](double seconds, TLYBackoffTimer::Block block) {
               delays_.push_back(seconds);
               scheduled_.push_back(std::move(block));
             });
           },
       .bundle = nullptr}};
  URLRequest request_{URL(kEvents)};
  std::vector<double> delays_;
  std::vector<TLYBackoffTimer::Block> scheduled_;
};

TEST_F(RetryHandlerTest, NonRetryableOutcomesPassStraightThroughWithoutATimer) {
  Answer ok = ask(response(200), "u1");
  EXPECT_TRUE(ok.called);
  EXPECT_FALSE(ok.retry);
  EXPECT_TRUE(ok.error.isNone());

  Answer client = ask(response(404), "u1");
  EXPECT_TRUE(client.called);
  EXPECT_FALSE(client.retry);
  EXPECT_EQ(client.error.domain(), "BCNNetworkError");
  EXPECT_EQ(client.error.code(), -5);

  EXPECT_TRUE(handler_.retryTimerMap().empty());
  EXPECT_TRUE(delays_.empty());
}

TEST_F(RetryHandlerTest, TransportFailuresAreRetriedWithTheBackOff) {
  // A refused connection, a failed look-up and a refused redirect keep the
  // package: each is retried like a time-out, with the name's back-off.
  for (const platform::Error& failure :
       {platform::Error(platform::kURLErrorDomain, -1004),
        platform::Error(platform::kURLErrorDomain, -1003), platform::Error("BCNRequestGuard", 1)}) {
    scheduled_.clear();
    Answer answer;
    handler_.handleCompletedRequest(request_, std::nullopt, "down", failure,
                                    [&](bool retry, const platform::Error& error) {
                                      answer = {true, retry, error};
                                    });
    EXPECT_FALSE(answer.called) << "the answer waits for the back-off";
    ASSERT_EQ(scheduled_.size(), 1u);
    scheduled_[0]();
    EXPECT_TRUE(answer.called);
    EXPECT_TRUE(answer.retry);
    EXPECT_EQ(answer.error, failure);
  }
  EXPECT_EQ(delays_, (std::vector<double>{2, 4, 8}));
}

TEST_F(RetryHandlerTest, ElevenRetriesThenTheTwelfthFailureEndsAtOnce) {
  double expected = 2;
  for (int i = 0; i < 11; ++i) {
    Answer pending = ask(response(503), "pkg");
    EXPECT_FALSE(pending.called) << "the answer waits for the back-off";
    ASSERT_EQ(delays_.size(), static_cast<std::size_t>(i + 1));
    EXPECT_DOUBLE_EQ(delays_.back(), expected);
    expected *= 2;
  }
  EXPECT_DOUBLE_EQ(delays_.back(), 2048);

  // A scheduled retry answers (true, the response handler's error).
  Answer fired;
  handler_.handleCompletedRequest(request_, response(503), "other", platform::Error(),
                                  [&](bool retry, const platform::Error& error) {
                                    fired = {true, retry, error};
                                  });
  ASSERT_FALSE(fired.called);
  scheduled_.back()();
  EXPECT_TRUE(fired.called);
  EXPECT_TRUE(fired.retry);
  EXPECT_EQ(fired.error.code(), -1);

  // The response handler's own error (-1, with the status) is passed on
  // unchanged; -6 is only made when it gave none.
  Answer last = ask(response(503), "pkg");
  EXPECT_TRUE(last.called) << "no delay";
  EXPECT_FALSE(last.retry);
  EXPECT_EQ(last.error.domain(), "BCNNetworkError");
  EXPECT_EQ(last.error.code(), -1);
  EXPECT_EQ(last.error.userInfo().get("status_code").asInt64(), 503);
  EXPECT_EQ(delays_.size(), 12u);
  EXPECT_EQ(handler_.retryTimerMap().at("pkg")->retryCount(), 11u) << "stays in the map";
}

TEST_F(RetryHandlerTest, ASuccessDoesNotResetTheCount) {
  ask(response(500), "pkg");
  ask(response(200), "pkg");
  ask(response(500), "pkg");
  ASSERT_EQ(delays_.size(), 2u);
  EXPECT_DOUBLE_EQ(delays_[1], 4);
}

TEST_F(RetryHandlerTest, MissingOrEmptyNamesEndAtOnceWithoutATimer) {
  Answer empty = ask(response(429), std::string());
  EXPECT_TRUE(empty.called);
  EXPECT_FALSE(empty.retry);
  EXPECT_EQ(empty.error.code(), -1) << "the response handler's error goes on unchanged";
  Answer absent = ask(response(429), std::nullopt);
  EXPECT_TRUE(absent.called);
  EXPECT_FALSE(absent.retry);
  EXPECT_TRUE(delays_.empty());
  EXPECT_TRUE(handler_.retryTimerMap().empty());
  EXPECT_EQ(handler_.timerForIdentifier(std::string(), 2), nullptr);
  EXPECT_EQ(handler_.timerForIdentifier(std::nullopt, 2), nullptr);
}

TEST_F(RetryHandlerTest, OwnErrorsNameTheUploadAndTheURL) {
  const platform::Error noTimer = handler_.errorWithCode(-7, std::string(), request_, {});
  EXPECT_EQ(noTimer.domain(), "BCNNetworkError");
  EXPECT_EQ(noTimer.code(), -7);
  EXPECT_EQ(noTimer.userInfo().get("TLYNetworkRetryHandlerIdentifier").asString(), "");
  EXPECT_EQ(noTimer.userInfo().get("NSErrorFailingURLKey").asString(), kEvents);

  const platform::Error exhausted = handler_.errorWithCode(-6, std::nullopt, request_, {});
  EXPECT_EQ(exhausted.code(), -6);
  EXPECT_EQ(exhausted.userInfo().get("TLYNetworkRetryHandlerIdentifier").asString(), "(null)");
}

TEST_F(RetryHandlerTest, RetryAfterSetsTheNamesBaseOnce) {
  ask(response(503, {{"Retry-After", "30"}}), "pkg");
  ask(response(503, {{"Retry-After", "5"}}), "pkg");
  ASSERT_EQ(delays_.size(), 2u);
  EXPECT_DOUBLE_EQ(delays_[0], 30);
  EXPECT_DOUBLE_EQ(delays_[1], 900);

  EXPECT_DOUBLE_EQ(handler_.retryValueForResponse(response(503, {{"Retry-After", "-5"}})), 2);
  EXPECT_DOUBLE_EQ(handler_.retryValueForResponse(std::nullopt), 2);
}

TEST_F(RetryHandlerTest, TimeOutsAreRetried) {
  Answer timedOut = ask(std::nullopt, "pkg", platform::Error(platform::kURLErrorDomain, -1001));
  EXPECT_FALSE(timedOut.called);
  ASSERT_EQ(delays_.size(), 1u);
  EXPECT_DOUBLE_EQ(delays_[0], 2);
}

TEST_F(RetryHandlerTest, ARequestWithoutAValidURLCarriesNoFailingURL) {
  const platform::Error error = handler_.errorWithCode(-6, "n", URLRequest(), platform::Error());
  EXPECT_EQ(error.code(), -6);
  EXPECT_TRUE(error.userInfo().get("NSErrorFailingURLKey").isNone());
  const platform::Error passed(platform::kURLErrorDomain, -1001);
  EXPECT_EQ(handler_.errorWithCode(-6, "n", request_, passed), passed);
}

TEST_F(RetryHandlerTest, ChallengesAreCheckedByThePinnerUnlessDebugIsOn) {
  ASSERT_NE(handler_.certPinner(), nullptr);
  platform::urlloading::ProtectionSpace space;
  space.host = "127.0.0.1";
  space.protocol = "https";
  space.authenticationMethod = platform::urlloading::kAuthenticationMethodServerTrust;
  platform::urlloading::AuthenticationChallenge challenge(space, 0, std::nullopt, nullptr);

  std::optional<CTRURLSessionAuthChallengeDisposition> disposition;
  auto completion = [&](CTRURLSessionAuthChallengeDisposition d,
                        const std::optional<platform::urlloading::URLCredential>&) {
    disposition = d;
  };
  Beacon::sharedSDK()->setDebug(false);
  handler_.handleChallenge(challenge, nullptr, completion);
  EXPECT_EQ(disposition, CTRURLSessionAuthChallengeDisposition::kCancelAuthenticationChallenge)
      << "the pinner cancels a challenge it cannot evaluate";

  disposition.reset();
  Beacon::sharedSDK()->setDebug(true);
  handler_.handleChallenge(challenge, nullptr, completion);
  EXPECT_EQ(disposition, CTRURLSessionAuthChallengeDisposition::kPerformDefaultHandling);
  Beacon::sharedSDK()->setDebug(false);
}

}  // namespace
}  // namespace sdk
