#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/system/file_util.h"
#include "platform/urlloading/stream.h"
#include "platform/urlloading/url_connection.h"
#include "support/held_load.h"
#include "support/http_test_server.h"
#include "support/local_proxy.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"

namespace {

using platform::URL;
using platform::urlloading::AuthenticationChallenge;
using platform::urlloading::HeaderFields;
using platform::urlloading::URLConnection;
using platform::urlloading::URLConnectionDelegate;
using platform::urlloading::URLCredential;
using platform::urlloading::URLRequest;
using platform::urlloading::URLResponse;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

// Records every callback; waits for the end of the load.
class Recorder : public URLConnectionDelegate {
 public:
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> events;
  std::vector<URLResponse> redirects;
  std::optional<URLResponse> response;
  std::string body;
  platform::Error error;
  bool done = false;
  bool onNetworkThread = true;
  std::function<std::optional<URLRequest>(URLRequest)> redirectHook;
  std::function<void(const AuthenticationChallenge&)> challengeHook;

  void note(std::string e) {
    onNetworkThread = onNetworkThread && platform::urlloading::NetworkThread::shared().isCurrent();
    events.push_back(std::move(e));
  }
  std::optional<URLRequest> connectionWillSendRequest(
      URLConnection&, URLRequest request, const std::optional<URLResponse>& r) override {
    std::lock_guard lock(mutex);
    note("redirect");
    if (r) redirects.push_back(*r);
    return redirectHook ? redirectHook(request) : std::optional<URLRequest>(request);
  }
  void connectionWillSendRequestForAuthenticationChallenge(
      URLConnection& c, const AuthenticationChallenge& challenge) override {
    {
      std::lock_guard lock(mutex);
      note("challenge:" + challenge.protectionSpace().authenticationMethod);
    }
    if (challengeHook) {
      challengeHook(challenge);
    } else {
      URLConnectionDelegate::connectionWillSendRequestForAuthenticationChallenge(c, challenge);
    }
  }
  void connectionDidReceiveResponse(URLConnection&, const URLResponse& r) override {
    std::lock_guard lock(mutex);
    note("response");
    response = r;
  }
  void connectionDidReceiveData(URLConnection&, const std::uint8_t* b, std::size_t n) override {
    std::lock_guard lock(mutex);
    if (events.empty() || events.back() != "data") note("data");
    body.append(reinterpret_cast<const char*>(b), n);
  }
  void connectionDidFinishLoading(URLConnection&) override {
    std::lock_guard lock(mutex);
    note("finish");
    done = true;
    cv.notify_all();
  }
  void connectionDidFailWithError(URLConnection&, const platform::Error& e) override {
    std::lock_guard lock(mutex);
    note("fail");
    error = e;
    done = true;
    cv.notify_all();
  }
  bool wait(std::chrono::seconds timeout = std::chrono::seconds(15)) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, timeout, [&] { return done; });
  }
};

std::shared_ptr<Recorder> load(URLRequest request, std::shared_ptr<Recorder> rec = nullptr) {
  if (!rec) rec = std::make_shared<Recorder>();
  auto connection = URLConnection::create(std::move(request), rec);
  connection->start();
  EXPECT_TRUE(rec->wait());
  return rec;
}

TEST(HeaderFieldsTest, LookupIgnoresCaseAndSetReplacesEveryCopy) {
  HeaderFields h;
  h.add("X-A", "1");
  h.add("x-a", "2");
  h.set("Content-Type", "text/plain");
  EXPECT_EQ(h.get("X-a"), "1");
  h.set("X-A", "3");
  EXPECT_EQ(h.size(), 2u);
  EXPECT_EQ(h.get("x-A"), "3");
  h.remove("CONTENT-TYPE");
  EXPECT_FALSE(h.contains("content-type"));
}

TEST(URLResponseTest, MIMETypeCharsetAndLength) {
  URLResponse r(URL("http://h/"), 200,
                {{"Content-Type", "Text/HTML; Charset=\"ISO-8859-1\""}, {"Content-Length", "12"}});
  EXPECT_EQ(r.MIMEType(), "text/html");
  EXPECT_EQ(r.textEncodingName(), "ISO-8859-1");
  EXPECT_EQ(r.expectedContentLength(), 12);
  URLResponse none(URL("http://h/"), 200, {{"Content-Length", "x"}});
  EXPECT_EQ(none.expectedContentLength(), -1);
  EXPECT_EQ(none.MIMEType(), "");
}

TEST(URLConnectionTest, LoadsAResponseAndItsBodyOnTheNetworkThread) {
  auto server = HTTPTestServer::start();
  server->setReply("/a", HTTPReply::text(200, "hello", "text/plain; charset=utf-8"));
  URLRequest request(URL(server->url("/a?x=1")));
  request.setValueForHTTPHeaderField("X-Test", "yes");
  auto rec = load(request);
  EXPECT_EQ(rec->events, (std::vector<std::string>{"response", "data", "finish"}));
  EXPECT_TRUE(rec->onNetworkThread);
  EXPECT_EQ(rec->response->statusCode(), 200);
  EXPECT_EQ(rec->response->textEncodingName(), "utf-8");
  EXPECT_EQ(rec->response->expectedContentLength(), 5);
  EXPECT_EQ(rec->body, "hello");
  auto seen = server->requests().at(0);
  EXPECT_EQ(seen.method, "GET");
  EXPECT_EQ(seen.query, "x=1");
  EXPECT_EQ(seen.header("X-Test"), "yes");
}

// A header field that could end its line early (CR, LF, NUL or another
// control character in its value, anything but a token as its name) never
// reaches the wire: it is left out and the rest of the request goes as asked,
// with a body or without.
TEST(URLConnectionTest, HeaderFieldsThatCouldEndTheirLineAreLeftOut) {
  EXPECT_TRUE(platform::urlloading::isValidHeaderFieldName("X-Ok_1.~"));
  EXPECT_FALSE(platform::urlloading::isValidHeaderFieldName(""));
  EXPECT_FALSE(platform::urlloading::isValidHeaderFieldName("X Bad"));
  EXPECT_FALSE(platform::urlloading::isValidHeaderFieldName("X-A:B"));
  EXPECT_TRUE(platform::urlloading::isValidHeaderFieldValue("de-DE;q=0.9,\tfr \xc3\xa9"));
  EXPECT_FALSE(platform::urlloading::isValidHeaderFieldValue(std::string("a\0b", 3)));
  EXPECT_FALSE(platform::urlloading::isValidHeaderFieldValue("a\x7f"));
  EXPECT_FALSE(platform::urlloading::isValidHeaderFieldValue("a\x01"));

  auto server = HTTPTestServer::start();
  server->setDefaultHandler([](const auto&) { return HTTPReply::text(200, "ok"); });
  for (const bool withBody : {false, true}) {
    server->clearRequests();
    URLRequest request(URL(server->url(withBody ? "/post" : "/get")));
    if (withBody) {
      request.setHTTPMethod("POST");
      request.setHTTPBody(platform::Bytes{'b', 'o', 'd', 'y'});
    }
    auto& fields = request.allHTTPHeaderFields();
    fields.add("X-Before", "kept");
    fields.add("X-Crlf", "1\r\nX-Smuggled: yes");
    fields.add("X-Lf", "1\nX-Smuggled-Lf: yes");
    fields.add("X-Cr", "1\rX-Smuggled-Cr: yes");
    fields.add("X-Nul", std::string("cut\0X-Smuggled-Nul: yes", 24));
    fields.add("X-Bell", "ring\x07");
    fields.add("X-A:B", "colon in the name");
    fields.add("X Space", "space in the name");
    fields.add("", "no name");
    fields.add("X-After", "kept too");
    auto rec = load(request);
    ASSERT_FALSE(rec->error) << rec->error.description();
    ASSERT_EQ(rec->response->statusCode(), 200);
    ASSERT_EQ(server->requestCount(), 1u);
    const auto seen = server->requests().at(0);
    EXPECT_EQ(seen.header("X-Before"), "kept");
    EXPECT_EQ(seen.header("X-After"), "kept too");
    if (withBody) {
      EXPECT_EQ(seen.body, "body");
    }
    for (const auto& [name, value] : seen.headers) {
      EXPECT_EQ(name.rfind("X-Smuggled", 0), std::string::npos) << name;
      for (const char* refused : {"X-Crlf", "X-Lf", "X-Cr", "X-Nul", "X-Bell", "X-A", "X"}) {
        EXPECT_FALSE(platform::urlloading::equalsIgnoringCase(name, refused)) << name;
      }
      EXPECT_TRUE(platform::urlloading::isValidHeaderFieldValue(value)) << name;
    }
  }
}

TEST(URLConnectionTest, ChunkedBodyHasUnknownLength) {
  auto server = HTTPTestServer::start();
  HTTPReply reply;
  reply.chunks = {"ab", "cde", "f"};
  reply.chunkDelaySeconds = 0.01;
  server->setReply("/c", reply);
  auto rec = load(URLRequest(URL(server->url("/c"))));
  EXPECT_EQ(rec->response->expectedContentLength(), -1);
  EXPECT_EQ(rec->body, "abcdef");
}

TEST(URLConnectionTest, RedirectsPassThroughTheHookAndMayBeChangedOrRefused) {
  auto server = HTTPTestServer::start();
  server->setReply("/r1", HTTPReply::text(302, "", "").header("Location", "/r2"));
  server->setReply("/r2", HTTPReply::text(307, "", "").header("Location", server->url("/end")));
  server->setReply("/end", HTTPReply::text(200, "done"));
  server->setReply("/other", HTTPReply::text(200, "changed"));

  auto rec = load(URLRequest(URL(server->url("/r1"))));
  EXPECT_EQ(rec->events,
            (std::vector<std::string>{"redirect", "redirect", "response", "data", "finish"}));
  ASSERT_EQ(rec->redirects.size(), 2u);
  EXPECT_EQ(rec->redirects[0].statusCode(), 302);
  EXPECT_EQ(rec->body, "done");

  auto changed = std::make_shared<Recorder>();
  changed->redirectHook = [&](URLRequest r) {
    r.setURL(URL(server->url("/other")));
    return std::optional<URLRequest>(r);
  };
  load(URLRequest(URL(server->url("/r1"))), changed);
  EXPECT_EQ(changed->body, "changed");

  auto refused = std::make_shared<Recorder>();
  refused->redirectHook = [](URLRequest) { return std::optional<URLRequest>(); };
  load(URLRequest(URL(server->url("/r1"))), refused);
  EXPECT_EQ(refused->response->statusCode(), 302);
  EXPECT_EQ(refused->response->allHeaderFields().get("Location"), "/r2");
  EXPECT_EQ(refused->events.back(), "finish");
}

TEST(URLConnectionTest, EveryDelegateIsKeptFromARedirectThatLowersTheScheme) {
  // What any user of the connection gets (the request operations and the
  // SDK's sessions alike): the hook is not even asked.
  auto ca = test_support::makeCertificateAuthority("Redirect CA");
  auto leaf = test_support::makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
  auto tls = HTTPTestServer::startTLS(leaf.certificatePEM + ca.certificatePEM, leaf.privateKeyPEM);
  auto plain = HTTPTestServer::start();
  plain->setReply("/in-clear", HTTPReply::text(200, "in clear"));
  tls->setReply("/down", HTTPReply::text(302, "", "").header("Location", plain->url("/in-clear")));
  auto rec = std::make_shared<Recorder>();
  rec->challengeHook = [](const AuthenticationChallenge& c) {
    c.sender()->useCredential(URLCredential::forTrust(c.protectionSpace().serverTrust), c);
  };
  load(URLRequest(URL(tls->localhostURL("/down"))), rec);
  EXPECT_EQ(rec->events,
            (std::vector<std::string>{"challenge:NSURLAuthenticationMethodServerTrust", "fail"}));
  EXPECT_EQ(rec->error.code(), platform::urlloading::kURLErrorSecureConnectionRequired);
  EXPECT_EQ(rec->error.userInfo()[platform::kURLErrorFailingURLStringKey].asString(),
            tls->localhostURL("/down"));
  EXPECT_EQ(plain->requestCount(), 0u);
}

// A desktop's proxy setting (https_proxy) sends https loads through an HTTP
// CONNECT tunnel: the proxy's "200 Connection established" is not the
// server's response, whose status and fields the load must deliver.
TEST(URLConnectionTest, AnHTTPSLoadThroughAProxyDeliversTheServersResponse) {
  if (!varnel::testing::LocalProxy::available()) GTEST_SKIP() << "no proxy program";
  varnel::testing::LocalProxy proxy;
  auto ca = test_support::makeCertificateAuthority("Proxy CA");
  auto leaf = test_support::makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
  auto tls = HTTPTestServer::startTLS(leaf.certificatePEM + ca.certificatePEM, leaf.privateKeyPEM);
  tls->setReply("/through", HTTPReply::text(201, "from the server").header("X-Server", "yes"));
  auto rec = std::make_shared<Recorder>();
  rec->challengeHook = [](const AuthenticationChallenge& c) {
    c.sender()->useCredential(URLCredential::forTrust(c.protectionSpace().serverTrust), c);
  };
  ::setenv("https_proxy", proxy.url().c_str(), 1);
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  load(URLRequest(URL(tls->localhostURL("/through"))), rec);
  ::unsetenv("https_proxy");
  ASSERT_TRUE(rec->response) << rec->error.localizedDescription();
  EXPECT_EQ(rec->response->statusCode(), 201);
  EXPECT_EQ(rec->response->allHeaderFields().get("X-Server"), "yes");
  EXPECT_EQ(rec->body, "from the server");
  // The load really went through the proxy.
  EXPECT_NE(proxy.log().find("CONNECT"), std::string::npos);
}

// A proxy that wants credentials answers the tunnel's CONNECT with 407: the
// load fails with its own code and text, not as a server that cannot be
// reached, and the server is never asked.
TEST(URLConnectionTest, AProxyAskingForCredentialsFailsTheLoadSayingSo) {
  if (!varnel::testing::LocalProxy::available()) GTEST_SKIP() << "no proxy program";
  varnel::testing::LocalProxy proxy("someone", "secret");
  auto ca = test_support::makeCertificateAuthority("Proxy CA");
  auto leaf = test_support::makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
  auto tls = HTTPTestServer::startTLS(leaf.certificatePEM + ca.certificatePEM, leaf.privateKeyPEM);
  tls->setReply("/through", HTTPReply::text(200, "from the server"));
  ::setenv("https_proxy", proxy.url().c_str(), 1);
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  auto rec = load(URLRequest(URL(tls->localhostURL("/through"))));
  ::unsetenv("https_proxy");
  EXPECT_FALSE(rec->response);
  EXPECT_EQ(rec->error.domain(), platform::kURLErrorDomain);
  EXPECT_EQ(rec->error.code(), platform::urlloading::kURLErrorUserAuthenticationRequired);
  EXPECT_EQ(rec->error.localizedDescription(), "The proxy server requires authentication.");
  EXPECT_EQ(tls->requestCount(), 0u);
}

TEST(URLConnectionTest, PostRedirectedBy303BecomesGet) {
  auto server = HTTPTestServer::start();
  server->setReply("/form", HTTPReply::text(303, "", "").header("Location", "/result"));
  server->setReply("/result", HTTPReply::text(200, "ok"));
  URLRequest request(URL(server->url("/form")));
  request.setHTTPMethod("POST");
  std::string body = "a=1";
  request.setHTTPBody(platform::Bytes(body.begin(), body.end()));
  load(request);
  auto seen = server->requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].body, "a=1");
  EXPECT_EQ(seen[1].method, "GET");
  EXPECT_EQ(seen[1].body, "");
}

TEST(URLConnectionTest, FailuresMapToTheURLErrorCodes) {
  // Nothing listens on a port that a just-closed server used.
  int port;
  {
    auto server = HTTPTestServer::start();
    port = server->port();
  }
  auto refused = load(URLRequest(URL("http://127.0.0.1:" + std::to_string(port) + "/")));
  EXPECT_EQ(refused->error.domain(), platform::kURLErrorDomain);
  EXPECT_EQ(refused->error.code(), platform::urlloading::kURLErrorCannotConnectToHost);
  EXPECT_EQ(refused->error.userInfo()[platform::kURLErrorKey].asString(),
            "http://127.0.0.1:" + std::to_string(port) + "/");

  auto server = HTTPTestServer::start();
  HTTPReply hang;
  hang.hang = true;
  server->setReply("/hang", hang);
  URLRequest slow(URL(server->url("/hang")), 0.3);
  auto timedOut = load(slow);
  EXPECT_EQ(timedOut->error.code(), platform::urlloading::kURLErrorTimedOut);
  EXPECT_EQ(timedOut->error.localizedDescription(), "The request timed out.");

  auto unsupported = load(URLRequest(URL("ftp://127.0.0.1/x")));
  EXPECT_EQ(unsupported->error.code(), platform::urlloading::kURLErrorUnsupportedURL);

  HTTPReply cut;
  cut.headers = {{"Content-Length", "100"}};
  cut.body = "short";
  cut.closeConnection = true;
  server->setReply("/cut", cut);
  auto lost = load(URLRequest(URL(server->url("/cut"))));
  EXPECT_EQ(lost->error.code(), platform::urlloading::kURLErrorNetworkConnectionLost);
}

TEST(URLConnectionTest, CancelEndsTheLoadWithoutFurtherCallbacks) {
  auto server = HTTPTestServer::start();
  HTTPReply hang;
  hang.hang = true;
  server->setReply("/hang", hang);
  auto rec = std::make_shared<Recorder>();
  auto connection = URLConnection::create(URLRequest(URL(server->url("/hang"))), rec);
  connection->start();
  ASSERT_TRUE(server->waitForRequestCount(1));
  connection->cancel();
  // A marker block behind the cancel proves the network thread handled it.
  std::promise<void> marker;
  platform::urlloading::NetworkThread::shared().perform([&] { marker.set_value(); });
  marker.get_future().wait();
  std::lock_guard lock(rec->mutex);
  EXPECT_TRUE(rec->events.empty());
}

TEST(URLConnectionTest, BodyStreamIsSentAndItsFailureFailsTheLoad) {
  auto server = HTTPTestServer::start();
  server->setReply("/up", HTTPReply::text(200, "ok"));
  URLRequest request(URL(server->url("/up")));
  request.setHTTPMethod("PUT");
  std::string text(100000, 'x');
  request.setHTTPBodyStream(std::make_shared<platform::urlloading::DataInputStream>(
      platform::Bytes(text.begin(), text.end())));
  request.setValueForHTTPHeaderField("Content-Length", std::to_string(text.size()));
  auto rec = load(request);
  EXPECT_EQ(rec->events.back(), "finish");
  EXPECT_EQ(server->requests().at(0).method, "PUT");
  EXPECT_EQ(server->requests().at(0).body, text);

  URLRequest broken(URL(server->url("/up")));
  broken.setHTTPMethod("POST");
  broken.setHTTPBodyStream(
      std::make_shared<platform::urlloading::FileInputStream>("/nonexistent/file"));
  auto failed = load(broken);
  EXPECT_EQ(failed->events.back(), "fail");
  EXPECT_EQ(failed->error.domain(), platform::kPOSIXErrorDomain);
}

TEST(URLConnectionTest, BasicChallengeRetriesWithTheCredentialOnce) {
  auto server = HTTPTestServer::start();
  server->setHandler("/secret", [](const test_support::HTTPRecordedRequest& r) {
    if (r.header("Authorization") == "Basic dTpw") return HTTPReply::text(200, "in");
    return HTTPReply::text(401, "no").header("WWW-Authenticate", "Basic realm=\"r\"");
  });
  std::vector<long> failureCounts;
  auto rec = std::make_shared<Recorder>();
  rec->challengeHook = [&](const AuthenticationChallenge& c) {
    failureCounts.push_back(c.previousFailureCount());
    EXPECT_EQ(c.protectionSpace().realm, "r");
    c.sender()->useCredential(URLCredential::withUser("u", "p"), c);
  };
  load(URLRequest(URL(server->url("/secret"))), rec);
  EXPECT_EQ(rec->body, "in");
  EXPECT_EQ(failureCounts, std::vector<long>{0});

  auto wrong = std::make_shared<Recorder>();
  wrong->challengeHook = [&](const AuthenticationChallenge& c) {
    if (c.previousFailureCount() == 0) {
      c.sender()->useCredential(URLCredential::withUser("u", "bad"), c);
    } else {
      c.sender()->continueWithoutCredential(c);
    }
  };
  load(URLRequest(URL(server->url("/secret"))), wrong);
  EXPECT_EQ(wrong->response->statusCode(), 401);
  EXPECT_EQ(wrong->body, "no");
}

TEST(URLConnectionTest, ALoadCarriesNothingOverFromTheLoadsBeforeIt) {
  auto server = HTTPTestServer::start();
  server->setHandler("/secret", [](const test_support::HTTPRecordedRequest& r) {
    if (r.header("Authorization") == "Basic dTpw") return HTTPReply::text(200, "in");
    return HTTPReply::text(401, "no").header("WWW-Authenticate", "Basic realm=\"r\"");
  });
  server->setReply("/any", HTTPReply::text(200, "body"));

  URLRequest post(URL(server->url("/secret")));
  post.setHTTPMethod("POST");
  post.setHTTPBody(platform::Bytes{'a', '=', '1'});
  post.setValueForHTTPHeaderField("X-Once", "1");
  auto authorized = std::make_shared<Recorder>();
  authorized->challengeHook = [](const AuthenticationChallenge& c) {
    c.sender()->useCredential(URLCredential::withUser("u", "p"), c);
  };
  EXPECT_EQ(load(post, authorized)->body, "in");
  URLRequest head(URL(server->url("/any")));
  head.setHTTPMethod("HEAD");
  auto headers = load(head);
  EXPECT_EQ(headers->response->statusCode(), 200);
  EXPECT_EQ(headers->body, "");
  URLRequest remove(URL(server->url("/any")));
  remove.setHTTPMethod("DELETE");
  EXPECT_EQ(load(remove)->body, "body");
  auto plain = load(URLRequest(URL(server->url("/any"))));
  EXPECT_EQ(plain->events, (std::vector<std::string>{"response", "data", "finish"}));
  EXPECT_EQ(plain->body, "body");

  auto seen = server->requests();
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[1].method, "POST");
  EXPECT_EQ(seen[1].body, "a=1");
  EXPECT_EQ(seen[1].header("Authorization"), "Basic dTpw");
  EXPECT_EQ(seen[3].method, "DELETE");
  EXPECT_EQ(seen[3].body, "");
  for (std::size_t i : {2u, 3u, 4u}) {
    EXPECT_FALSE(seen[i].header("Authorization")) << i;
    EXPECT_FALSE(seen[i].header("X-Once")) << i;
    EXPECT_FALSE(seen[i].header("Content-Type")) << i;
    EXPECT_FALSE(seen[i].header("Expect")) << i;
  }
  EXPECT_EQ(seen[4].method, "GET");
  EXPECT_EQ(seen[4].body, "");
  // One after another, the loads share one kept-alive connection; beside a
  // load under way, the plain GET goes through a loader, on its own.
  EXPECT_EQ(server->connectionCount(), test_support::heldLoadUnderWay() ? 2u : 1u);
}

TEST(URLConnectionTest, PlainGetsOneAfterAnotherKeepOnlyTheirOwnHeadersAndCredentials) {
  auto server = HTTPTestServer::start();
  server->setHandler("/secret", [](const test_support::HTTPRecordedRequest& r) {
    if (r.header("Authorization") == "Basic dTpw") return HTTPReply::text(200, "in");
    return HTTPReply::text(401, "no").header("WWW-Authenticate", "Basic realm=\"r\"");
  });
  server->setDefaultHandler(
      [](const test_support::HTTPRecordedRequest& r) { return HTTPReply::text(200, r.path); });

  URLRequest tagged(URL(server->url("/tagged")));
  tagged.setValueForHTTPHeaderField("X-Once", "1");
  EXPECT_EQ(load(tagged)->body, "/tagged");
  EXPECT_EQ(load(URLRequest(URL(server->url("/plain"))))->body, "/plain");
  // A GET that answers a challenge, then plain GETs of the same page.
  auto authorized = std::make_shared<Recorder>();
  authorized->challengeHook = [](const AuthenticationChallenge& c) {
    c.sender()->useCredential(URLCredential::withUser("u", "p"), c);
  };
  EXPECT_EQ(load(URLRequest(URL(server->url("/secret"))), authorized)->body, "in");
  for (int i = 0; i < 2; ++i) {
    auto refused = load(URLRequest(URL(server->url("/secret"))));
    EXPECT_EQ(refused->response->statusCode(), 401) << i;
    EXPECT_EQ(refused->body, "no") << i;
  }
  // A body after the plain GETs, then a GET again.
  URLRequest post(URL(server->url("/posted")));
  post.setHTTPMethod("POST");
  post.setHTTPBody(platform::Bytes{'b', '=', '2'});
  EXPECT_EQ(load(post)->body, "/posted");
  EXPECT_EQ(load(URLRequest(URL(server->url("/last"))))->body, "/last");

  auto seen = server->requests();
  ASSERT_EQ(seen.size(), 8u);
  EXPECT_EQ(seen[0].header("X-Once"), "1");
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_FALSE(seen[i].header("X-Once")) << i;
  EXPECT_FALSE(seen[2].header("Authorization"));
  EXPECT_EQ(seen[3].header("Authorization"), "Basic dTpw");
  for (std::size_t i : {4u, 5u, 6u, 7u}) EXPECT_FALSE(seen[i].header("Authorization")) << i;
  EXPECT_EQ(seen[6].method, "POST");
  EXPECT_EQ(seen[6].body, "b=2");
  EXPECT_EQ(seen[7].method, "GET");
  EXPECT_EQ(seen[7].body, "");
  EXPECT_FALSE(seen[7].header("Content-Type"));
}

TEST(URLConnectionTest, PlainGetsOneAfterAnotherSendExactlyTheirOwnHeaderFields) {
  // Handles that served a plain GET keep its header list for the next one
  // with the same fields; any difference must build a new list.
  auto server = HTTPTestServer::start();
  server->setDefaultHandler(
      [](const test_support::HTTPRecordedRequest& r) { return HTTPReply::text(200, r.path); });
  const std::vector<std::vector<std::pair<std::string, std::string>>> sets = {
      {{"X-A", "1"}, {"X-B", "two"}},
      {{"X-A", "1"}, {"X-B", "two"}},
      {{"X-A", "1"}, {"X-B", "tw"}},
      {{"X-A", "1"}, {"X-B", "twO"}},
      {{"X-A", "1"}},
      {{"X-A", "1"}, {"X-B", "two"}, {"X-C", "3"}},
      {{"X-B", "two"}, {"X-A", "1"}},
      {{"X-A", ""}},
      {{"X-A", "1"}},
      {},
      {{"X-A", "1"}, {"X-B", "two"}},
  };
  for (std::size_t i = 0; i < sets.size(); ++i) {
    URLRequest request(URL(server->url("/" + std::to_string(i))));
    for (const auto& [name, value] : sets[i]) request.allHTTPHeaderFields().add(name, value);
    EXPECT_EQ(load(request)->body, "/" + std::to_string(i));
  }
  auto seen = server->requests();
  ASSERT_EQ(seen.size(), sets.size());
  for (std::size_t i = 0; i < sets.size(); ++i) {
    for (const char* name : {"X-A", "X-B", "X-C"}) {
      std::optional<std::string> expected;
      for (const auto& [n, v] : sets[i]) {
        if (n == name) expected = v;
      }
      EXPECT_EQ(seen[i].header(name), expected) << i << " " << name;
    }
  }
}

TEST(URLConnectionTest, SecureGetsOneAfterAnotherAreEachJudgedByTheirOwnDelegate) {
  // GETs over https may reuse the handle of the GET before them; the server of
  // each must still be judged by its own delegate, on the kept connection,
  // and nothing of a secure GET may reach a plain one on the same handle.
  auto ca = test_support::makeCertificateAuthority("Reuse CA");
  auto leaf = test_support::makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
  auto tls = HTTPTestServer::startTLS(leaf.certificatePEM + ca.certificatePEM, leaf.privateKeyPEM);
  tls->setDefaultHandler(
      [](const test_support::HTTPRecordedRequest& r) { return HTTPReply::text(200, r.path); });
  auto plainServer = HTTPTestServer::start();
  plainServer->setDefaultHandler(
      [](const test_support::HTTPRecordedRequest& r) { return HTTPReply::text(200, r.path); });
  auto secureGet = [&](const std::string& path, bool accept) {
    auto rec = std::make_shared<Recorder>();
    rec->challengeHook = [accept](const AuthenticationChallenge& c) {
      if (accept) {
        c.sender()->useCredential(URLCredential::forTrust(c.protectionSpace().serverTrust), c);
      } else {
        c.sender()->cancel(c);
      }
    };
    return load(URLRequest(URL(tls->localhostURL(path))), rec);
  };
  const std::vector<std::string> trusted = {"challenge:NSURLAuthenticationMethodServerTrust",
                                            "response", "data", "finish"};
  EXPECT_EQ(secureGet("/1", true)->events, trusted);
  EXPECT_EQ(secureGet("/2", true)->events, trusted);
  auto refused = secureGet("/3", false);
  EXPECT_EQ(refused->events,
            (std::vector<std::string>{"challenge:NSURLAuthenticationMethodServerTrust", "fail"}));
  EXPECT_EQ(refused->error.code(), -1202);
  auto plain = load(URLRequest(URL(plainServer->url("/plain"))));
  EXPECT_EQ(plain->events, (std::vector<std::string>{"response", "data", "finish"}));
  EXPECT_EQ(plain->body, "/plain");
  auto last = secureGet("/4", true);
  EXPECT_EQ(last->events, trusted);
  EXPECT_EQ(last->body, "/4");
  // A load refused before its request sends nothing.
  auto seen = tls->requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].path, "/1");
  EXPECT_EQ(seen[1].path, "/2");
  EXPECT_EQ(seen[2].path, "/4");
}

TEST(URLConnectionTest, ALoadStartedByABlockIsSentBeforeTheNextBlockRuns) {
  // The second block waits on the network thread for the server to see the
  // request the first one started: were loads sent only once the thread
  // ran out of blocks, it would wait out its limit. The first load opens a
  // connection, the second goes over it kept alive, each the only load out.
  auto server = HTTPTestServer::start();
  server->setReply("/first", HTTPReply::text(200, "1"));
  server->setReply("/second", HTTPReply::text(200, "2"));
  auto& thread = platform::urlloading::NetworkThread::shared();
  for (const std::string name : {"first", "second"}) {
    SCOPED_TRACE(name);
    const std::size_t before = server->requests().size();
    auto rec = std::make_shared<Recorder>();
    auto connection = URLConnection::create(URLRequest(URL(server->url("/" + name))), rec);
    std::promise<bool> seenInTime;
    thread.perform([&] {
      // Both blocks are queued before the thread takes either.
      thread.perform([&] { connection->start(); });
      thread.perform([&] {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (server->requests().size() == before && std::chrono::steady_clock::now() < limit) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        seenInTime.set_value(server->requests().size() > before);
      });
    });
    EXPECT_TRUE(seenInTime.get_future().get());
    ASSERT_TRUE(rec->wait());
    EXPECT_EQ(rec->body, name == "first" ? "1" : "2");
  }
  EXPECT_EQ(server->connectionCount(), 1U);
}

TEST(URLConnectionTest, ManyLoadsAtOnceEachEndOnceWithTheirOwnBody) {
  auto server = HTTPTestServer::start();
  server->setDefaultHandler([](const test_support::HTTPRecordedRequest& r) {
    HTTPReply reply = HTTPReply::text(200, r.path + std::string(r.path.size() * 300, '.'));
    // Some answers come in pieces and late, so transfers overlap.
    if (r.path.size() % 3 == 0) {
      reply.chunks = {r.path, std::string(r.path.size() * 300, '.')};
      reply.chunkDelaySeconds = 0.005;
    }
    return reply;
  });
  constexpr int kLoads = 40;
  std::vector<std::shared_ptr<Recorder>> recorders;
  std::vector<std::shared_ptr<URLConnection>> connections;
  for (int i = 0; i < kLoads; ++i) {
    recorders.push_back(std::make_shared<Recorder>());
    connections.push_back(URLConnection::create(
        URLRequest(URL(server->url("/" + std::to_string(i)))), recorders.back()));
  }
  for (auto& c : connections) c->start();
  for (int i = 0; i < kLoads; ++i) {
    ASSERT_TRUE(recorders[i]->wait()) << i;
    const std::string path = "/" + std::to_string(i);
    EXPECT_EQ(recorders[i]->events, (std::vector<std::string>{"response", "data", "finish"}));
    EXPECT_EQ(recorders[i]->body, path + std::string(path.size() * 300, '.'));
  }
}

TEST(NetworkThreadTest, BlocksPerformedFromManyThreadsAllRunOnceInEachThreadsOrder) {
  auto& thread = platform::urlloading::NetworkThread::shared();
  constexpr int kThreads = 4;
  constexpr int kBlocks = 500;
  std::vector<std::vector<int>> seen(kThreads);  // network thread only
  std::promise<void> all;
  std::atomic<int> remaining{kThreads * kBlocks};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kBlocks; ++i) {
        thread.perform([&, t, i] {
          seen[t].push_back(i);
          if (remaining.fetch_sub(1) == 1) all.set_value();
        });
        if (i % 50 == 0) std::this_thread::yield();
      }
    });
  }
  for (auto& p : producers) p.join();
  ASSERT_EQ(all.get_future().wait_for(std::chrono::seconds(15)), std::future_status::ready);
  std::vector<int> expected(kBlocks);
  for (int i = 0; i < kBlocks; ++i) expected[i] = i;
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], expected) << t;
}

TEST(NetworkThreadTest, PerformRunsInOrderOnTheNamedThread) {
  auto& thread = platform::urlloading::NetworkThread::shared();
  std::promise<std::vector<int>> result;
  auto order = std::make_shared<std::vector<int>>();
  for (int i = 0; i < 5; ++i) thread.perform([order, i] { order->push_back(i); });
  thread.perform([&, order] {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    EXPECT_STREQ(name, "NKNetworking");
    result.set_value(*order);
  });
  EXPECT_EQ(result.get_future().get(), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(NetworkThreadTest, BlocksPerformedFromTheThreadItselfNeedNoOtherWakeUp) {
  // Each block hands the next one to the idle thread from the thread itself;
  // a wake-up lost there would leave every step waiting out a full idle
  // sleep (a second), far past the safety limit below.
  auto& thread = platform::urlloading::NetworkThread::shared();
  constexpr int kSteps = 40;
  std::promise<int> done;
  std::function<void(int)> step = [&](int n) {
    EXPECT_TRUE(thread.isCurrent());
    if (n == kSteps) {
      done.set_value(n);
      return;
    }
    thread.perform([&, n] { step(n + 1); });
  };
  thread.perform([&] { step(0); });
  auto future = done.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  EXPECT_EQ(future.get(), kSteps);
}

TEST(NetworkThreadTest, BlocksPerformedFromOtherThreadsWakeItWhateverItIsDoing) {
  // Blocks come after pauses of different lengths, so that they find the
  // thread busy, polling before it sleeps, just going to sleep or asleep.
  // A lost wake-up would leave a block waiting out a full idle sleep (a
  // second).
  auto& thread = platform::urlloading::NetworkThread::shared();
  const int pausesMicros[] = {0, 20, 100, 300, 1000, 3000, 10000, 30000};
  for (int round = 0; round < 3; ++round) {
    for (int pause : pausesMicros) {
      std::this_thread::sleep_for(std::chrono::microseconds(pause));
      std::promise<void> ran;
      const auto start = std::chrono::steady_clock::now();
      thread.perform([&] { ran.set_value(); });
      ran.get_future().wait();
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500))
          << "after a pause of " << pause << " us";
    }
  }
}

TEST(NetworkThreadTest, LazyBlocksRunOnTheThreadInOrderAndNeverInsideTheCall) {
  auto& thread = platform::urlloading::NetworkThread::shared();
  auto order = std::make_shared<std::vector<int>>();  // network thread only
  std::promise<std::vector<int>> result;
  for (int i = 0; i < 5; ++i) {
    thread.performLazily([order, i] {
      EXPECT_TRUE(platform::urlloading::NetworkThread::shared().isCurrent());
      order->push_back(i);
    });
  }
  // From the thread itself a lazy block still waits for the next round.
  thread.perform([&, order] {
    auto returned = std::make_shared<bool>(false);
    thread.performLazily([&, order, returned] {
      EXPECT_TRUE(*returned);
      result.set_value(*order);
    });
    *returned = true;
  });
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  EXPECT_EQ(future.get(), (std::vector<int>{0, 1, 2, 3, 4}));

  // An idle thread gets to them without any other block to wake it.
  std::promise<void> idle;
  thread.performLazily([&] { idle.set_value(); });
  EXPECT_EQ(idle.get_future().wait_for(std::chrono::seconds(15)), std::future_status::ready);
}

}  // namespace
