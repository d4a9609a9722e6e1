#include "net/http/http_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "codecs/json_decoder.h"
#include "net/http/http_test_util.h"
#include "net/http/json_request_operation.h"
#include "platform/foundation/exception.h"
#include "platform/system/notification_center.h"
#include "support/http_test_server.h"

namespace {

using namespace net::http;
using http_test::runMainUntil;
using platform::URL;
using platform::Value;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

// A reachability provider whose reports the test drives.
class FakeTarget : public platform::sysconfig::ReachabilityTarget {
 public:
  std::optional<std::uint32_t> flags;
  Callback callback;
  bool scheduled = false;
  std::optional<std::uint32_t> currentFlags() override { return flags; }
  void setCallback(Callback c) override { callback = std::move(c); }
  void schedule() override { scheduled = true; }
  void unschedule() override { scheduled = false; }
  void report(std::uint32_t f) {
    platform::dispatch::Queue::main()->async([this, f] { callback(f); });
  }
};

class FakeProvider : public platform::sysconfig::ReachabilityProvider {
 public:
  std::vector<std::pair<std::string, std::shared_ptr<FakeTarget>>> targets;
  std::uint32_t initialFlags = platform::sysconfig::kReachabilityFlagsReachable;
  std::shared_ptr<platform::sysconfig::ReachabilityTarget> createTargetForHost(
      const std::string& host) override {
    if (host.empty()) return nullptr;
    auto t = std::make_shared<FakeTarget>();
    t->flags = initialFlags;
    targets.emplace_back(host, t);
    return t;
  }
};

class NKHTTPClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    provider = std::make_shared<FakeProvider>();
    platform::sysconfig::ReachabilityProvider::setShared(provider);
    server = HTTPTestServer::start();
  }
  void TearDown() override { platform::sysconfig::ReachabilityProvider::setShared(nullptr); }

  // Runs `call` with callbacks that record the outcome and waits for it.
  std::pair<Value, platform::Error> perform(
      const std::function<void(NKHTTPClient::SuccessBlock, NKHTTPClient::FailureBlock)>& call) {
    bool done = false;
    Value object;
    platform::Error error;
    call(
        [&](const NKHTTPRequestOperation::Ptr&, const Value& v) {
          object = v;
          done = true;
        },
        [&](const NKHTTPRequestOperation::Ptr&, const platform::Error& e) {
          error = e;
          done = true;
        });
    EXPECT_TRUE(runMainUntil([&] { return done; }));
    return {object, error};
  }

  std::shared_ptr<FakeProvider> provider;
  std::unique_ptr<HTTPTestServer> server;
};

TEST_F(NKHTTPClientTest, BaseURLGetsATrailingSlashAndPathsResolveBelowIt) {
  auto client = NKHTTPClient::clientWithBaseURL(URL("http://127.0.0.1:1/api"));
  EXPECT_EQ(client->baseURL().absoluteString(), "http://127.0.0.1:1/api/");
  EXPECT_EQ(client->requestWithMethod("GET", "login", Value()).url().absoluteString(),
            "http://127.0.0.1:1/api/login");
  EXPECT_EQ(client->requestWithMethod("GET", "/root", Value()).url().absoluteString(),
            "http://127.0.0.1:1/root");
  EXPECT_EQ(client->requestWithMethod("GET", std::nullopt, Value()).url().absoluteString(),
            "http://127.0.0.1:1/api/");
  auto bare = NKHTTPClient::clientWithBaseURL(URL("http://127.0.0.1:1"));
  EXPECT_EQ(bare->baseURL().absoluteString(), "http://127.0.0.1:1");
  EXPECT_THROW(bare->init(), platform::Exception);
}

TEST_F(NKHTTPClientTest, QueryStringsForGetHeadAndDelete) {
  auto client = NKHTTPClient::create(URL(server->baseURL()));
  EXPECT_EQ(client->requestWithMethod("GET", "p", Value::dictionary()).url().absoluteString(),
            server->url("/p?"));
  EXPECT_EQ(client->requestWithMethod("GET", "p?x=1", Value::dictionary({{"a", Value(1)}}))
                .url()
                .absoluteString(),
            server->url("/p?x=1&a=1"));
  auto del = client->requestWithMethod("DELETE", "d", Value::dictionary({{"k", Value("a b")}}));
  EXPECT_EQ(del.url().query(), "k=a%20b");
  EXPECT_TRUE(del.HTTPBody().empty());

  server->setReply("/d", HTTPReply::text(200, ""));
  perform([&](auto s, auto f) {
    client->deletePath("d", Value::dictionary({{"k", Value("a&b")}}), s, f);
  });
  auto seen = server->requests().at(0);
  EXPECT_EQ(seen.method, "DELETE");
  EXPECT_EQ(seen.query, "k=a%26b");
  EXPECT_EQ(seen.body, "");
}

TEST_F(NKHTTPClientTest, BodyEncodingsOnTheWire) {
  server->setReply("/post", HTTPReply::text(200, "ok"));
  auto client = NKHTTPClient::create(URL(server->baseURL()));
  const Value params = Value::dictionary({{"b", Value(1)}, {"A", Value("x y")}});
  perform([&](auto s, auto f) { client->postPath("post", params, s, f); });
  client->setParameterEncoding(NKJSONParameterEncoding);
  perform([&](auto s, auto f) { client->putPath("post", params, s, f); });
  client->setParameterEncoding(NKPropertyListParameterEncoding);
  perform([&](auto s, auto f) { client->patchPath("post", params, s, f); });

  auto seen = server->requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].header("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
  EXPECT_EQ(seen[0].body, "A=x%20y&b=1");
  EXPECT_EQ(seen[1].method, "PUT");
  EXPECT_EQ(seen[1].header("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(seen[1].body, "{\"b\":1,\"A\":\"x y\"}");
  EXPECT_EQ(seen[2].method, "PATCH");
  EXPECT_EQ(seen[2].header("Content-Type"), "application/x-plist; charset=utf-8");
  EXPECT_NE(seen[2].body.find("<key>A</key>"), std::string::npos);
  for (const auto& r : seen) EXPECT_TRUE(r.header("User-Agent").has_value());
}

TEST_F(NKHTTPClientTest, DefaultHeadersAndAuthorization) {
  auto client = NKHTTPClient::create(URL(server->baseURL()));
  client->setDefaultHeader("X-Extra", "1");
  client->setAuthorizationHeaderWithUsername("user", "pass");
  EXPECT_EQ(client->defaultValueForHeader("Authorization"), "Basic dXNlcjpwYXNz");
  client->setAuthorizationHeaderWithToken("t0k");
  EXPECT_EQ(client->defaultValueForHeader("Authorization"), "Token token=\"t0k\"");
  auto request = client->requestWithMethod("GET", "h", Value());
  EXPECT_EQ(request.valueForHTTPHeaderField("X-Extra"), "1");
  client->setDefaultHeader("X-Extra", std::nullopt);
  client->clearAuthorizationHeader();
  request = client->requestWithMethod("GET", "h", Value());
  EXPECT_FALSE(request.valueForHTTPHeaderField("X-Extra"));
  EXPECT_FALSE(request.valueForHTTPHeaderField("Authorization"));
}

TEST_F(NKHTTPClientTest, AcceptLanguageListsAtMostSixLanguages) {
  const char* old = std::getenv("LANGUAGE");
  std::string saved = old ? old : "";
  ::setenv("LANGUAGE", "de:fr:it:es:nl:pt:sv", 1);
  auto client = NKHTTPClient::create(URL(server->baseURL()));
  if (old)
    ::setenv("LANGUAGE", saved.c_str(), 1);
  else
    ::unsetenv("LANGUAGE");
  EXPECT_EQ(client->defaultValueForHeader("Accept-Language"),
            "de;q=1, fr;q=0.9, it;q=0.8, es;q=0.7, nl;q=0.6, pt;q=0.5");
}

// Outside text reaches the default header fields: the user's LANGUAGE
// (Accept-Language), a token the account service handed out (Authorization),
// a user agent made of the program's names. None of it adds a field or a
// request on the wire; the request still goes, without the spoilt fields.
TEST_F(NKHTTPClientTest, OutsideTextInDefaultHeadersAddsNoFieldOnTheWire) {
  const char* old = std::getenv("LANGUAGE");
  std::string saved = old ? old : "";
  ::setenv("LANGUAGE", "de\r\nX-Smuggled: language:fr", 1);
  auto client = NKHTTPClient::create(URL(server->baseURL()));
  if (old)
    ::setenv("LANGUAGE", saved.c_str(), 1);
  else
    ::unsetenv("LANGUAGE");
  client->setAuthorizationHeaderWithToken("t0k\r\n\r\nGET /smuggled HTTP/1.1\r\nHost: x");
  client->setDefaultHeader("User-Agent", std::string("App/1.0\0X-Smuggled: agent", 26));
  client->setDefaultHeader("X-Kept", "yes");
  server->setReply("/h", HTTPReply::text(200, "ok"));
  server->setReply("/smuggled", HTTPReply::text(200, "smuggled"));
  auto [object, error] = perform([&](auto s, auto f) { client->getPath("h", Value(), s, f); });
  EXPECT_FALSE(error) << error.description();
  // A request that follows on the same connection shows whether anything
  // was left over from the first one.
  client->clearAuthorizationHeader();
  perform([&](auto s, auto f) { client->getPath("h", Value(), s, f); });
  const auto seen = server->requests();
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& r : seen) {
    EXPECT_EQ(r.path, "/h");
    EXPECT_EQ(r.header("X-Kept"), "yes");
    EXPECT_FALSE(r.header("Authorization"));
    EXPECT_FALSE(r.header("User-Agent"));
    EXPECT_FALSE(r.header("Accept-Language"));
    for (const auto& [name, value] : r.headers) {
      EXPECT_NE(name, "X-Smuggled") << value;
      EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos) << name;
    }
  }
}

TEST_F(NKHTTPClientTest, RegistryPicksTheOperationClass) {
  auto client = NKHTTPClient::create(URL(server->baseURL()));
  EXPECT_FALSE(client->registerHTTPOperationClass(NKURLConnectionOperation::operationClass()));
  EXPECT_TRUE(client->registerHTTPOperationClass(NKJSONRequestOperation::operationClass()));
  EXPECT_TRUE(client->registerHTTPOperationClass(NKHTTPRequestOperation::operationClass()));
  EXPECT_TRUE(client->registerHTTPOperationClass(NKJSONRequestOperation::operationClass()));
  EXPECT_EQ(client->registeredHTTPOperationClassNames(),
            (std::vector<std::string>{"NKJSONRequestOperation", "NKHTTPRequestOperation"}));
  auto op = client->HTTPRequestOperationWithRequest(
      client->requestWithMethod("GET", "data.json", Value()), nullptr, nullptr);
  EXPECT_TRUE(std::dynamic_pointer_cast<NKJSONRequestOperation>(op));
  client->unregisterHTTPOperationClass(NKJSONRequestOperation::operationClass());
  op = client->HTTPRequestOperationWithRequest(
      client->requestWithMethod("GET", "data.json", Value()), nullptr, nullptr);
  EXPECT_FALSE(std::dynamic_pointer_cast<NKJSONRequestOperation>(op));

  server->setReply("/info", HTTPReply::json("{\"ok\": true}"));
  client->registerHTTPOperationClass(NKJSONRequestOperation::operationClass());
  client->setDefaultHeader("Accept", "application/json");
  auto [object, error] = perform([&](auto s, auto f) { client->getPath("info", Value(), s, f); });
  EXPECT_FALSE(error);
  EXPECT_TRUE(object["ok"].asBool());
}

TEST_F(NKHTTPClientTest, ManyRequestsInFlightEachEndOnceOnTheMainQueueOverKeptAliveConnections) {
  server->setHandler("/item", [](const test_support::HTTPRecordedRequest& r) {
    return HTTPReply::json("{\"query\": \"" + r.query + "\"}");
  });
  server->setReply("/missing", HTTPReply::json("{\"error\": 1}", 404));
  auto client = NKHTTPClient::create(URL(server->baseURL()));
  client->registerHTTPOperationClass(NKJSONRequestOperation::operationClass());
  client->setDefaultHeader("Accept", "application/json");
  const auto mainThread = std::this_thread::get_id();
  constexpr int kInFlight = 16;
  constexpr int kRounds = 3;
  std::vector<int> successes(kInFlight * kRounds), failures(kInFlight * kRounds);
  std::vector<std::string> queries(kInFlight * kRounds);
  bool offMain = false;
  for (int round = 0; round < kRounds; ++round) {
    int ended = 0;
    for (int i = round * kInFlight; i < (round + 1) * kInFlight; ++i) {
      const bool missing = i % 5 == 4;
      client->getPath(
          missing ? "missing" : "item", Value::dictionary({{"i", Value(std::int64_t{i})}}),
          [&, i](const NKHTTPRequestOperation::Ptr&, const Value& json) {
            offMain = offMain || std::this_thread::get_id() != mainThread;
            ++successes[i];
            queries[i] = json["query"].asString();
            ++ended;
          },
          [&, i](const NKHTTPRequestOperation::Ptr&, const platform::Error& error) {
            offMain = offMain || std::this_thread::get_id() != mainThread;
            EXPECT_EQ(error.code(), kNKErrorBadStatusCode);
            ++failures[i];
            ++ended;
          });
    }
    ASSERT_TRUE(runMainUntil([&] { return ended == kInFlight; }));
  }
  EXPECT_FALSE(offMain);
  for (int i = 0; i < kInFlight * kRounds; ++i) {
    const bool missing = i % 5 == 4;
    EXPECT_EQ(successes[i], missing ? 0 : 1) << i;
    EXPECT_EQ(failures[i], missing ? 1 : 0) << i;
    if (!missing) {
      EXPECT_EQ(queries[i], "i=" + std::to_string(i));
    }
  }
  // Later rounds reuse the connections of the first.
  EXPECT_LE(server->connectionCount(), static_cast<std::size_t>(kInFlight));
}

TEST_F(NKHTTPClientTest, ArchivingAndCopying) {
  auto client = NKHTTPClient::create(URL(server->url("/api")));
  client->setParameterEncoding(NKJSONParameterEncoding);
  client->setDefaultHeader("X-A", "b");
  client->registerHTTPOperationClass(NKJSONRequestOperation::operationClass());
  client->setDefaultSSLPinningMode(NKSSLPinningModeCertificate);
  auto decoded = NKHTTPClient::decodeWithCoder(client->encodeWithCoder());
  EXPECT_EQ(decoded->baseURL(), client->baseURL());
  EXPECT_EQ(decoded->parameterEncoding(), NKJSONParameterEncoding);
  EXPECT_EQ(decoded->defaultValueForHeader("X-A"), "b");
  EXPECT_EQ(decoded->registeredHTTPOperationClassNames(),
            client->registeredHTTPOperationClassNames());
  auto copy = client->copy();
  EXPECT_EQ(copy->defaultValueForHeader("X-A"), "b");
  EXPECT_EQ(copy->defaultSSLPinningMode(), 0) << "the pinning mode is not copied";
  EXPECT_NE(client->description().find("baseURL: " + server->url("/api/")), std::string::npos);
}

TEST_F(NKHTTPClientTest, BatchesReportProgressAndCompleteOnTheMainQueue) {
  auto client = NKHTTPClient::create(URL(server->baseURL()));
  bool emptyDone = false;
  client->enqueueBatchOfHTTPRequestOperations({}, nullptr, [&](const auto& ops) {
    EXPECT_TRUE(ops.empty());
    EXPECT_TRUE(platform::dispatch::Queue::main()->isCurrent());
    emptyDone = true;
  });
  EXPECT_TRUE(runMainUntil([&] { return emptyDone; }));

  server->setReply("/1", HTTPReply::text(200, "a"));
  server->setReply("/2", HTTPReply::text(500, "b"));
  std::vector<std::pair<std::size_t, std::size_t>> progress;
  std::size_t completed = 0;
  client->enqueueBatchOfHTTPRequestOperationsWithRequests(
      {client->requestWithMethod("GET", "1", Value()),
       client->requestWithMethod("GET", "2", Value())},
      [&](std::size_t done, std::size_t total) { progress.emplace_back(done, total); },
      [&](const auto& ops) { completed = ops.size(); });
  ASSERT_TRUE(runMainUntil([&] { return completed == 2; }));
  ASSERT_EQ(progress.size(), 2u);
  EXPECT_EQ(progress.back(), (std::pair<std::size_t, std::size_t>{2, 2}));
}

TEST_F(NKHTTPClientTest, CancelAllMatchesPathAndMethod) {
  HTTPReply hang;
  hang.hang = true;
  server->setReply("/slow", hang);
  auto client = NKHTTPClient::create(URL(server->baseURL()));
  platform::Error error;
  client->getPath("slow", Value(), nullptr,
                  [&](const auto&, const platform::Error& e) { error = e; });
  ASSERT_TRUE(server->waitForRequestCount(1));
  client->cancelAllHTTPOperationsWithMethod("POST", "slow");
  client->cancelAllHTTPOperationsWithMethod("GET", "slow");
  ASSERT_TRUE(runMainUntil([&] { return static_cast<bool>(error); }));
  EXPECT_EQ(error.code(), -999);
}

TEST_F(NKHTTPClientTest, MultipartBodyLengthMatchesTheBytesSent) {
  server->setReply("/upload", HTTPReply::text(200, "ok"));
  auto client = NKHTTPClient::create(URL(server->baseURL()));
  const std::string file = ::testing::TempDir() + "/h9_upload.txt";
  {
    FILE* f = std::fopen(file.c_str(), "wb");
    std::fputs("file contents", f);
    std::fclose(f);
  }
  auto request = client->multipartFormRequestWithMethod(
      "POST", "upload", Value::dictionary({{"f", Value("v")}, {"n", Value::null()}}),
      [&](NKMultipartFormData& form) {
        platform::Error error;
        EXPECT_TRUE(form.appendPartWithFileURL(URL::fileURLWithPath(file), "doc", &error));
        EXPECT_FALSE(form.appendPartWithFileURL(URL("http://x/y"), "doc", &error));
        EXPECT_EQ(error.localizedFailureReason(), "Expected URL to be a file URL");
        EXPECT_FALSE(form.appendPartWithFileURL(URL::fileURLWithPath("/no/such"), "d", &error));
        EXPECT_EQ(error.localizedFailureReason(), "File URL not reachable.");
      });
  auto [object, error] = perform([&](auto s, auto f) {
    client->enqueueHTTPRequestOperation(client->HTTPRequestOperationWithRequest(request, s, f));
  });
  EXPECT_FALSE(error) << error.description();
  auto seen = server->requests().at(0);
  const std::string type = *seen.header("Content-Type");
  ASSERT_EQ(type.rfind("multipart/form-data; boundary=Boundary+", 0), 0u);
  const std::string boundary = type.substr(type.find('=') + 1);
  EXPECT_EQ(boundary.size(), 9u + 16u);
  EXPECT_EQ(seen.header("Content-Length"), std::to_string(seen.body.size()));
  const std::string expected =
      "--" + boundary + "\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nv\r\n--" + boundary +
      "\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\n\r\n--" + boundary +
      "\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"h9_upload.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\nfile contents\r\n--" +
      boundary + "--\r\n";
  EXPECT_EQ(seen.body, expected);
  std::remove(file.c_str());
}

TEST_F(NKHTTPClientTest, AMultipartPartThatFailsFailsTheRequest) {
  server->setReply("/upload", HTTPReply::text(200, "ok"));
  auto client = NKHTTPClient::create(URL(server->baseURL()));
  auto request = client->multipartFormRequestWithMethod(
      "POST", "upload", Value(), [&](NKMultipartFormData& form) {
        // Announces 100 bytes, delivers 3.
        form.appendPartWithInputStream(
            std::make_shared<platform::urlloading::DataInputStream>(platform::Bytes{'a', 'b', 'c'}),
            "s", "s.bin", 100, "application/octet-stream");
      });
  auto [object, error] = perform([&](auto s, auto f) {
    client->enqueueHTTPRequestOperation(client->HTTPRequestOperationWithRequest(request, s, f));
  });
  EXPECT_TRUE(error);
  EXPECT_EQ(server->requestCount(), 0u) << "no short body reaches the server";
}

TEST(NKMultipartBodyStreamTest, SmallBuffersAndThrottling) {
  NKStreamingMultipartFormData form(platform::urlloading::URLRequest(URL("http://127.0.0.1/")),
                                    platform::StringEncoding::UTF8);
  EXPECT_FALSE(form.requestByFinalizingMultipartFormData().valueForHTTPHeaderField("Content-Type"));
  form.appendPartWithFormData({'v'}, "f");
  form.appendPartWithFormData({'w', 'w'}, "g");
  auto request = form.requestByFinalizingMultipartFormData();
  auto stream = form.bodyStream()->copy();
  stream->open();
  std::string body;
  std::uint8_t buf[3];
  for (long n; (n = stream->read(buf, sizeof buf)) > 0;)
    body.append(reinterpret_cast<char*>(buf), n);
  EXPECT_EQ(std::to_string(body.size()), *request.valueForHTTPHeaderField("Content-Length"));
  const std::string& b = form.boundary();
  EXPECT_EQ(body, "--" + b + "\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nv\r\n--" + b +
                      "\r\nContent-Disposition: form-data; name=\"g\"\r\n\r\nww\r\n--" + b +
                      "--\r\n");

  auto throttled = form.bodyStream()->copy();
  throttled->setNumberOfBytesInPacket(10);
  throttled->open();
  std::uint8_t big[4096];
  long first = throttled->read(big, sizeof big);
  EXPECT_GE(first, 10);
  EXPECT_LT(static_cast<std::size_t>(first), body.size());
}

TEST_F(NKHTTPClientTest, ReachabilityStatusTable) {
  using namespace platform::sysconfig;
  EXPECT_EQ(NKReachabilityStatusForFlags(0), NKNetworkReachabilityStatusNotReachable);
  EXPECT_EQ(NKReachabilityStatusForFlags(kReachabilityFlagsReachable),
            NKNetworkReachabilityStatusReachable);
  const std::uint32_t needs = kReachabilityFlagsReachable | kReachabilityFlagsConnectionRequired;
  EXPECT_EQ(NKReachabilityStatusForFlags(needs), NKNetworkReachabilityStatusNotReachable);
  EXPECT_EQ(NKReachabilityStatusForFlags(needs | kReachabilityFlagsConnectionOnDemand),
            NKNetworkReachabilityStatusReachable);
  EXPECT_EQ(NKReachabilityStatusForFlags(needs | kReachabilityFlagsConnectionOnTraffic |
                                         kReachabilityFlagsInterventionRequired),
            NKNetworkReachabilityStatusNotReachable);
}

TEST_F(NKHTTPClientTest, ReachabilityOfAHostNameWaitsForTheFirstReport) {
  auto client = NKHTTPClient::create(URL("http://service.test/api"));
  ASSERT_EQ(provider->targets.size(), 1u);
  auto target = provider->targets[0].second;
  EXPECT_EQ(provider->targets[0].first, "service.test");
  EXPECT_TRUE(target->scheduled);
  EXPECT_EQ(client->networkReachabilityStatus(), -1);
  std::vector<std::int32_t> statuses;
  client->setReachabilityStatusChangeBlock([&](std::int32_t s) { statuses.push_back(s); });
  std::vector<std::int64_t> notified;
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      kNKNetworkingReachabilityDidChangeNotification, nullptr, nullptr,
      [&](const platform::Notification& n) {
        notified.push_back(n.userInfo[kNKNetworkingReachabilityNotificationStatusItem].asInt64());
      });
  target->report(0);
  target->report(platform::sysconfig::kReachabilityFlagsReachable);
  ASSERT_TRUE(runMainUntil([&] { return notified.size() == 2; }));
  EXPECT_EQ(statuses, (std::vector<std::int32_t>{0, 2}));
  EXPECT_EQ(notified, (std::vector<std::int64_t>{0, 2}));
  EXPECT_EQ(client->networkReachabilityStatus(), 2);
  platform::NotificationCenter::defaultCenter().removeObserver(token);

  // A new base URL keeps watching the old host until monitoring restarts.
  client->setBaseURL(URL("http://other.test/"));
  EXPECT_EQ(provider->targets.size(), 1u);
  client->startMonitoringNetworkReachability();
  EXPECT_FALSE(target->scheduled);
  EXPECT_EQ(provider->targets.back().first, "other.test");
  client.reset();
  EXPECT_FALSE(provider->targets.back().second->scheduled) << "released clients stop monitoring";
}

TEST_F(NKHTTPClientTest, AnAddressLiteralGetsAFirstStatusWithoutNotification) {
  std::atomic<int> notifications{0};
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      kNKNetworkingReachabilityDidChangeNotification, nullptr, nullptr,
      [&](const platform::Notification&) { ++notifications; });
  for (const char* url : {"http://127.0.0.1:9/", "http://[::1]:9/"}) {
    auto client = NKHTTPClient::create(URL(url));
    EXPECT_EQ(client->networkReachabilityStatus(), -1);
    ASSERT_TRUE(runMainUntil([&] { return client->networkReachabilityStatus() == 2; })) << url;
  }
  EXPECT_EQ(notifications, 0);
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST(NKReachabilityProviderTest, TheSystemProviderReportsLoopbackReachable) {
  auto target =
      platform::sysconfig::ReachabilityProvider::system()->createTargetForHost("127.0.0.1");
  ASSERT_TRUE(target);
  auto flags = target->currentFlags();
  ASSERT_TRUE(flags);
  EXPECT_TRUE(*flags & platform::sysconfig::kReachabilityFlagsReachable);
  std::optional<std::uint32_t> reported;
  target->setCallback([&](std::uint32_t f) { reported = f; });
  target->schedule();
  EXPECT_TRUE(runMainUntil([&] { return reported.has_value(); }));
  target->unschedule();
  EXPECT_FALSE(platform::sysconfig::ReachabilityProvider::system()->createTargetForHost(""));
}

}  // namespace
