#include "client/core/pudip_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "account_service_fixture.h"
#include "platform/foundation/date.h"
#include "platform/urlloading/url_connection.h"
#include "support/wait.h"

namespace client {
namespace {

using account_service::Fault;
using net::http::NKHTTPRequestOperation;
using platform::Value;

class PUDIPClientTest : public testing::AccountServiceTest {};

// The account client, recording the deadline of every request it queues
// (on the thread that queues them: the test's).
class DeadlineRecordingClient : public VRPUDIPClient {
 public:
  void enqueueHTTPRequestOperation(const NKHTTPRequestOperation::Ptr& operation) override {
    deadlines.push_back(operation->request().maximumDuration());
    VRPUDIPClient::enqueueHTTPRequestOperation(operation);
  }
  std::vector<double> deadlines;
};

TEST_F(PUDIPClientTest, BaseURLsComeFromTheSettingAndStartAtTheFourth) {
  ::unsetenv(kAccountServiceURLsEnvironmentVariable);
  EXPECT_EQ(VRPUDIPClient::configuredMainServers().size(), 9u);
  for (const auto& url : VRPUDIPClient::defaultMainServers()) {
    EXPECT_TRUE(url.starts_with("https://")) << url;
    EXPECT_EQ(platform::URL(url).path(), "") << url;
  }
  ::setenv(kAccountServiceURLsEnvironmentVariable, "https://a.test/, https://b.test", 1);
  EXPECT_EQ(VRPUDIPClient::configuredMainServers(),
            (std::vector<std::string>{"https://a.test", "https://b.test"}));
  auto client =
      makeClient({"https://1.test", "https://2.test", "https://3.test", "https://4.test"});
  EXPECT_EQ(client->baseURL().host(), "4.test");
  EXPECT_EQ(client->defaultValueForHeader("Accept"), "application/json");
  EXPECT_TRUE(client->defaultValueForHeader("User-Agent")->starts_with("OSXVarnelDial/"));
}

TEST_F(PUDIPClientTest, ProbeChoosesTheFirstMirrorThatAnswersSuccess) {
  auto hanging = startService(), empty = startService(), late = startService(),
       failing = startService();
  hanging->setFault("/ping/", Fault::hang());
  empty->setFault("/ping/", Fault::emptyObject());
  late->setFault("/ping/", Fault::delay(0.3));
  failing->setFault("/ping/", Fault::statusCode(500));
  auto client =
      makeClient({hanging->baseURL(), empty->baseURL(), late->baseURL(), failing->baseURL()});
  int calls = 0;
  client->updateReachableServers([&] { ++calls; });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return calls == 1; }));
  EXPECT_EQ(client->baseURL().port(), late->port());
  EXPECT_EQ(client->bestServers(), std::vector<std::string>{late->baseURL()});
  EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop(
      [&] { return client->operationQueue()->operationCount() == 0; }));
  // Every probe went to "<base>/ping/".
  EXPECT_EQ(empty->server().requests().at(0).target, "/ping/");
}

TEST_F(PUDIPClientTest, ProbeWithoutAnswerEndsAtTheBoundOnTheFirstURL) {
  auto hanging = startService();
  hanging->setFault("/ping/", Fault::hang());
  std::vector<std::string> urls(9, hanging->baseURL());
  auto client = makeClient(urls, 0.5);
  // A request of the client still running when the wait ends is cancelled too.
  hanging->setFault("/login/", Fault::hang());
  platform::Error otherError;
  std::atomic<bool> otherFailed{false};
  client->getPath("login/", Value::dictionary(), nullptr,
                  [&](const NKHTTPRequestOperation::Ptr&, const platform::Error& e) {
                    otherError = e;
                    otherFailed = true;
                  });
  int calls = 0;
  const auto start = platform::Date::now();
  client->updateReachableServers([&] { ++calls; });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return calls == 1 && otherFailed; }));
  const double elapsed = platform::Date::now().timeIntervalSince(start);
  EXPECT_GE(elapsed, 0.45);
  EXPECT_LT(elapsed, 5.0);
  EXPECT_EQ(client->bestServers().size(), 9u);
  EXPECT_EQ(client->baseURL().absoluteString(), hanging->baseURL());
  EXPECT_EQ(otherError.code(), -999);
  varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(calls, 1);
}

TEST_F(PUDIPClientTest, KeepAliveMarksExactlyTheNextRequest) {
  auto service = startService();
  auto client =
      makeClient({service->baseURL(), service->baseURL(), service->baseURL(), service->baseURL()});
  int done = 0;
  auto ok = [&](const NKHTTPRequestOperation::Ptr&, const Value&) { ++done; };
  client->clearKeepaliveToken();
  client->getPath("ping/", Value(), ok, nullptr);
  client->getPath("ping/", Value(), ok, nullptr);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return done == 2; }));
  const auto requests = service->server().requests();
  ASSERT_EQ(requests.size(), 2u);
  int marked = 0;
  for (const auto& r : requests) {
    if (r.header("Keep-Alive")) {
      EXPECT_EQ(*r.header("Keep-Alive"), "0");
      ++marked;
    }
    EXPECT_TRUE(r.header("User-Agent")->starts_with("OSXVarnelDial/"));
    EXPECT_EQ(r.header("Accept"), "application/json");
  }
  EXPECT_EQ(marked, 1);
  EXPECT_FALSE(client->clearKeepalive());
}

// The user's LANGUAGE goes into Accept-Language: a value that would add a
// field or a second request is left off the wire and the account service
// still answers.
TEST_F(PUDIPClientTest, ALanguageThatCouldEndItsLineAddsNothingToTheRequest) {
  auto service = startService();
  const char* old = std::getenv("LANGUAGE");
  const std::string saved = old ? old : "";
  ::setenv("LANGUAGE", "en\r\nX-Smuggled: yes\r\n\r\nGET /smuggled HTTP/1.1:de", 1);
  auto client =
      makeClient({service->baseURL(), service->baseURL(), service->baseURL(), service->baseURL()});
  if (old) {
    ::setenv("LANGUAGE", saved.c_str(), 1);
  } else {
    ::unsetenv("LANGUAGE");
  }
  int done = 0;
  auto ok = [&](const NKHTTPRequestOperation::Ptr&, const Value&) { ++done; };
  client->getPath("ping/", Value(), ok, nullptr);
  client->getPath("ping/", Value(), ok, nullptr);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return done == 2; }));
  const auto requests = service->server().requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& r : requests) {
    EXPECT_EQ(r.path.find("smuggled"), std::string::npos) << r.path;
    EXPECT_FALSE(r.header("X-Smuggled"));
    EXPECT_FALSE(r.header("Accept-Language"));
    EXPECT_TRUE(r.header("User-Agent")->starts_with("OSXVarnelDial/"));
    for (const auto& [name, value] : r.headers) {
      EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos) << name;
    }
  }
}

TEST_F(PUDIPClientTest, ServerMessageIsNotRetriedAndReachesTheCaller) {
  auto service = startService();
  auto client =
      makeClient({service->baseURL(), service->baseURL(), service->baseURL(), service->baseURL()});
  int failures = 0;
  platform::Error error;
  client->getPathFromDIP(
      "login/", Value::dictionary({{"u", Value("nobody")}, {"p", Value("bad")}}),
      [](const NKHTTPRequestOperation::Ptr&, const Value&) { ADD_FAILURE() << "success"; },
      [&](const NKHTTPRequestOperation::Ptr&, const platform::Error& e) {
        error = e;
        ++failures;
      });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return failures == 1; }));
  EXPECT_EQ(service->server().requestCount(), 1u);
  EXPECT_EQ(error.localizedRecoverySuggestion(), " Invalid username or password.");
  EXPECT_EQ(error.localizedDescription(), "Invalid username or password.");
}

TEST_F(PUDIPClientTest, OtherFailuresAreRetriedOnce) {
  auto service = startService();
  auto client =
      makeClient({service->baseURL(), service->baseURL(), service->baseURL(), service->baseURL()});
  // One 500, then the real reply.
  service->setFault("/ping/", Fault::statusCode(500, 1));
  Value reply;
  client->getPathFromDIP(
      "ping/", Value(), [&](const NKHTTPRequestOperation::Ptr&, const Value& r) { reply = r; },
      nullptr);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !reply.isNone(); }));
  EXPECT_EQ(reply["success"], Value(true));
  EXPECT_EQ(service->server().requestCount(), 2u);

  // Malformed JSON twice: one failure, two attempts, never a third.
  service->server().clearRequests();
  service->setFault("/poll/", Fault::badJSON());
  int failures = 0;
  client->postToDIP(
      "poll/", Value::dictionary({{"key", Value("k")}}),
      [](const NKHTTPRequestOperation::Ptr&, const Value&) { ADD_FAILURE() << "success"; },
      [&](const NKHTTPRequestOperation::Ptr&, const platform::Error&) { ++failures; });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return failures == 1; }));
  varnel::testing::waitUntilOnMainRunLoop([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(service->server().requestCount(), 2u);
  EXPECT_TRUE(
      service->server().requests()[0].header("Content-Type")->starts_with("application/json"));
}

TEST_F(PUDIPClientTest, RequestsAreBoundedForRepliesOfAFewKilobytes) {
  auto client = makeClient({"https://a.test"});
  for (const auto& made : {client, std::static_pointer_cast<VRPUDIPClient>(client->copy())}) {
    const auto request = made->requestWithMethod("POST", "poll/", Value::dictionary());
    EXPECT_EQ(request.maximumDuration(), kAccountServiceMaximumDuration);
    EXPECT_EQ(request.maximumResponseLength(),
              net::http::kNKHTTPClientDefaultMaximumResponseLength);
  }
  // A mirror that says nothing fails after the idle time-out, well before
  // the deadline that a trickle meets.
  EXPECT_EQ(client->requestWithMethod("GET", "login/", Value()).timeoutInterval(),
            kAccountServiceIdleTimeout);
  EXPECT_LT(kAccountServiceIdleTimeout, kAccountServiceMaximumDuration);
}

TEST_F(PUDIPClientTest, ATimeOutIsFinalAndARetryHasOnlyWhatIsLeftOfTheDeadline) {
  auto server = startHostileServer();
  makeClient(std::vector<std::string>(4, server->baseURL()));
  auto client = net::http::NKHTTPClient::create<DeadlineRecordingClient>(platform::URL());
  ASSERT_EQ(client->baseURL().port(), server->port());
  const double deadline = 2.0;
  client->setDefaultMaximumDuration(deadline);
  auto expectFailure = [&](auto send, const std::string& path) {
    platform::Error error;
    int failures = 0;
    (client.get()->*send)(
        path, Value::dictionary({{"key", Value("k")}}),
        [](const NKHTTPRequestOperation::Ptr&, const Value&) { ADD_FAILURE() << "success"; },
        [&](const NKHTTPRequestOperation::Ptr&, const platform::Error& e) {
          error = e;
          ++failures;
        });
    EXPECT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return failures == 1; })) << path;
    return error;
  };

  // A reply that is coming, too slowly: one attempt, whichever wrapper.
  server->setReply("/poll/", trickle(1000, 0.25));
  server->setReply("/ping/", trickle(1000, 0.25));
  EXPECT_EQ(expectFailure(&VRPUDIPClient::postToDIP, "poll/").code(),
            platform::urlloading::kURLErrorTimedOut);
  EXPECT_EQ(expectFailure(&VRPUDIPClient::getPathFromDIP, "ping/").code(),
            platform::urlloading::kURLErrorTimedOut);
  EXPECT_EQ(server->requestCount(), 2u);
  EXPECT_EQ(client->deadlines, (std::vector<double>{deadline, deadline}));

  // A connection that breaks after a second is tried again, within the
  // second that is left; the slow reply then ends that one.
  std::atomic<int> attempts{0};
  server->setHandler("/servers/", [&](const test_support::HTTPRecordedRequest&) {
    return trickle(1000, 0.25, ++attempts == 1 ? 4 : -1);
  });
  client->deadlines.clear();
  EXPECT_EQ(expectFailure(&VRPUDIPClient::getPathFromDIP, "servers/").code(),
            platform::urlloading::kURLErrorTimedOut);
  EXPECT_EQ(attempts.load(), 2);
  ASSERT_EQ(client->deadlines.size(), 2u);
  EXPECT_EQ(client->deadlines[0], deadline);
  EXPECT_GT(client->deadlines[1], 0);
  EXPECT_LE(client->deadlines[1], deadline - 1.0) << "the first attempt took a second of it";

  // The next request has the whole deadline again.
  server->setReply("/ok/", test_support::HTTPReply::json(R"({"success": true})"));
  Value reply;
  client->getPathFromDIP(
      "ok/", Value(), [&](const NKHTTPRequestOperation::Ptr&, const Value& r) { reply = r; },
      nullptr);
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return !reply.isNone(); }));
  EXPECT_EQ(client->deadlines.back(), deadline);
  varnel::testing::waitUntilOnMainRunLoop(
      [&] { return client->operationQueue()->operationCount() == 0; });
}

TEST_F(PUDIPClientTest, WaitForOperationsCallsBackWhenAllFinished) {
  auto service = startService();
  auto client =
      makeClient({service->baseURL(), service->baseURL(), service->baseURL(), service->baseURL()});
  service->setFault("/ping/", Fault::delay(0.2));
  bool replied = false, waited = false, order = false;
  client->getPath(
      "ping/", Value(), [&](const NKHTTPRequestOperation::Ptr&, const Value&) { replied = true; },
      nullptr);
  client->waitForOperations([&] {
    waited = true;
    // The request has finished (its reply callback may still be queued).
    order =
        client->operationQueue()->operationCount() == 0 && service->server().requestCount() == 1;
  });
  ASSERT_TRUE(varnel::testing::waitUntilOnMainRunLoop([&] { return waited && replied; }));
  EXPECT_TRUE(order);
}

}  // namespace
}  // namespace client
