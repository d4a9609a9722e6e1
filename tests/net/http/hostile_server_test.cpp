// What a hostile server (a mirror, the update host, or whoever answers on
// the path) can send, and what the request operations make of it: huge and
// endless bodies, trickling replies, redirects that step down to plain HTTP
// or over to a host the pins do not cover, and heads that are not HTTP.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <new>
#include <set>

#include "net/http/http_client.h"
#include "net/http/http_request_operation.h"
#include "net/http/http_test_util.h"
#include "net/http/json_request_operation.h"
#include "net/http/pinned_certificates.h"
#include "platform/system/paths.h"
#include "platform/urlloading/stream.h"
#include "support/http_test_server.h"
#include "support/temp_root.h"
#include "support/test_certificates.h"

namespace {

using namespace net::http;
using http_test::requestFor;
using http_test::runMainUntil;
using platform::urlloading::URLRequest;
using test_support::HTTPReply;
using test_support::HTTPTestServer;
using test_support::TestIdentity;

// A head, then a body that never ends (until the client goes).
HTTPReply endless(std::vector<std::pair<std::string, std::string>> headers = {}) {
  HTTPReply reply;
  reply.headers = std::move(headers);
  reply.bodyWriter = [](const auto& write, const auto&) {
    const std::string block(64 * 1024, 'x');
    while (write(block)) {
    }
  };
  return reply;
}

// A head with a length, then one body byte every `interval` seconds.
HTTPReply trickle(int bytes, double interval) {
  HTTPReply reply;
  reply.headers = {{"Content-Type", "application/json"}, {"Content-Length", std::to_string(bytes)}};
  reply.bodyWriter = [bytes, interval](const auto& write, const auto& pause) {
    for (int i = 0; i < bytes; ++i) {
      if (!pause(interval) || !write(" ")) return;
    }
  };
  return reply;
}

HTTPReply raw(std::string bytes) {
  HTTPReply reply;
  reply.raw = std::move(bytes);
  return reply;
}

NKHTTPRequestOperation::Ptr run(URLRequest request) {
  auto op = NKHTTPRequestOperation::create(std::move(request));
  op->start();
  EXPECT_TRUE(op->waitUntilFinished(std::chrono::seconds(30)));
  return op;
}

std::string description(const platform::Error& e) {
  return e.userInfo()[platform::kLocalizedDescriptionKey].asString();
}

class HostileServerTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    server = HTTPTestServer::start();
    ca = test_support::makeCertificateAuthority("Test CA");
    leaf = test_support::makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
    tls = HTTPTestServer::startTLS(leaf.certificatePEM + ca.certificatePEM, leaf.privateKeyPEM);
  }
  void trustCA() {
    const std::string path = platform::security::trustedCABundlePath();
    platform::paths::createDirectories(path.substr(0, path.rfind('/')));
    std::ofstream(path) << ca.certificatePEM;
  }

  std::unique_ptr<HTTPTestServer> server, tls;
  TestIdentity ca, leaf;
};

// --- bodies ------------------------------------------------------------------

TEST_F(HostileServerTest, ALengthOverTheLimitIsRefusedBeforeTheBodyIsRead) {
  server->setReply("/huge", endless({{"Content-Length", "10737418240"}}));
  auto request = requestFor(server->url("/huge"));
  request.setMaximumResponseLength(4096);
  auto op = run(request);
  EXPECT_EQ(op->error().domain(), platform::kURLErrorDomain);
  EXPECT_EQ(op->error().code(), platform::urlloading::kURLErrorDataLengthExceedsMaximum);
  EXPECT_EQ(op->totalBytesRead(), 0);
  EXPECT_FALSE(op->responseData());

  // The default limit of every request refuses it as well.
  op = run(requestFor(server->url("/huge")));
  EXPECT_EQ(op->error().code(), platform::urlloading::kURLErrorDataLengthExceedsMaximum);
  EXPECT_EQ(op->totalBytesRead(), 0);
}

TEST_F(HostileServerTest, ABodyGrowingPastTheLimitFailsTheLoad) {
  trustCA();
  // Without a length, close-delimited, chunked; plain and over TLS.
  for (HTTPTestServer* s : {server.get(), tls.get()}) {
    s->setReply("/stream", endless());
    HTTPReply chunks;
    chunks.chunks.assign(64, std::string(16 * 1024, 'c'));
    s->setReply("/chunks", chunks);
    for (const char* path : {"/stream", "/chunks"}) {
      auto request = requestFor(s->localhostURL(path));
      request.setMaximumResponseLength(100 * 1024);
      auto op = run(request);
      EXPECT_EQ(op->error().code(), platform::urlloading::kURLErrorDataLengthExceedsMaximum)
          << s->localhostURL(path);
      EXPECT_LE(op->totalBytesRead(), 100 * 1024);
      EXPECT_FALSE(op->responseData());
    }
  }
  // An endless body under the default limit of a request ends too.
  auto op = run(requestFor(server->url("/stream")));
  EXPECT_EQ(op->error().code(), platform::urlloading::kURLErrorDataLengthExceedsMaximum);
  EXPECT_LE(op->totalBytesRead(), URLRequest::kDefaultMaximumResponseLength);
}

TEST_F(HostileServerTest, ABodyOfExactlyTheLimitLoadsAndOneByteMoreDoesNot) {
  server->setReply("/ten", HTTPReply::text(200, "0123456789"));
  HTTPReply unsized = HTTPReply::text(200, "0123456789");
  unsized.closeDelimited = true;
  server->setReply("/ten-unsized", unsized);
  for (const char* path : {"/ten", "/ten-unsized"}) {
    auto request = requestFor(server->url(path));
    request.setMaximumResponseLength(10);
    auto op = run(request);
    EXPECT_FALSE(op->error()) << path << ": " << op->error().description();
    EXPECT_EQ(op->responseString(), "0123456789");
    request.setMaximumResponseLength(9);
    EXPECT_EQ(run(request)->error().code(), platform::urlloading::kURLErrorDataLengthExceedsMaximum)
        << path;
  }
  // No limit at all is the owner's choice.
  auto request = requestFor(server->url("/ten"));
  request.setMaximumResponseLength(-1);
  EXPECT_FALSE(run(request)->error());
}

// An output stream whose memory runs out, as a vector growing past what
// the process can have does.
struct ExhaustedStream : platform::urlloading::MemoryOutputStream {
  long write(const std::uint8_t*, std::size_t) override { throw std::bad_alloc(); }
};

TEST_F(HostileServerTest, RunningOutOfMemoryFailsTheLoadNotTheProcess) {
  server->setReply("/body", HTTPReply::text(200, std::string(1000, 'b')));
  auto op = NKHTTPRequestOperation::create(requestFor(server->url("/body")));
  op->setOutputStream(std::make_shared<ExhaustedStream>());
  op->start();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(30)));
  EXPECT_EQ(op->error().domain(), platform::kPOSIXErrorDomain);
  EXPECT_EQ(op->error().code(), ENOMEM);
  // The network thread goes on serving.
  EXPECT_FALSE(run(requestFor(server->url("/body")))->error());
}

// --- time ----------------------------------------------------------------------

TEST_F(HostileServerTest, ASteadyTrickleCannotHoldALoadPastItsDeadline) {
  trustCA();
  // Each byte comes well within the idle time-out; 60 bytes would take 12 s.
  // Plain and over TLS.
  for (HTTPTestServer* s : {server.get(), tls.get()}) {
    s->setReply("/slow", trickle(60, 0.2));
    auto request = requestFor(s->localhostURL("/slow"));
    request.setTimeoutInterval(5);
    request.setMaximumDuration(1);
    auto op = run(request);
    EXPECT_EQ(op->error().domain(), platform::kURLErrorDomain) << s->baseURL();
    EXPECT_EQ(op->error().code(), platform::urlloading::kURLErrorTimedOut) << s->baseURL();
    EXPECT_GT(op->totalBytesRead(), 0) << "the bytes came, only too slowly";
    EXPECT_LT(op->totalBytesRead(), 60);
  }
  // A TLS server that never finishes its head is held no longer either.
  tls->setReply("/silent", [] {
    HTTPReply reply;
    reply.hang = true;
    return reply;
  }());
  auto request = requestFor(tls->localhostURL("/silent"));
  request.setTimeoutInterval(5);
  request.setMaximumDuration(1);
  auto op = run(request);
  EXPECT_EQ(op->error().code(), platform::urlloading::kURLErrorTimedOut);
  EXPECT_FALSE(op->response());
}

TEST_F(HostileServerTest, AClientsRequestsEndWithinTheirTimeOutWhateverTheServerSends) {
  auto client = NKHTTPClient::clientWithBaseURL(platform::URL(server->baseURL()));
  client->registerHTTPOperationClass(NKJSONRequestOperation::operationClass());
  client->setDefaultHeader("Accept", "application/json");
  auto built = client->requestWithMethod("GET", "/ping/", platform::Value());
  EXPECT_EQ(built.maximumDuration(), built.timeoutInterval());
  EXPECT_EQ(built.maximumResponseLength(), kNKHTTPClientDefaultMaximumResponseLength);

  client->setDefaultMaximumResponseLength(512);
  EXPECT_EQ(client->copy()->defaultMaximumResponseLength(), 512) << "a copy keeps the limits";
  client->setDefaultMaximumResponseLength(kNKHTTPClientDefaultMaximumResponseLength);

  server->setReply("/ping/", trickle(60, 0.2));
  server->setReply("/login/", endless({{"Content-Type", "application/json"}}));
  client->setDefaultMaximumDuration(1);
  std::vector<platform::Error> failures;
  for (const char* path : {"/ping/", "/login/"}) {
    client->getPath(
        path, platform::Value(), [](const NKHTTPRequestOperation::Ptr&, const platform::Value&) {},
        [&](const NKHTTPRequestOperation::Ptr&, const platform::Error& e) {
          failures.push_back(e);
        });
  }
  ASSERT_TRUE(runMainUntil([&] { return failures.size() == 2; }, std::chrono::seconds(30)));
  std::set<std::int64_t> codes{failures[0].code(), failures[1].code()};
  EXPECT_EQ(codes,
            (std::set<std::int64_t>{platform::urlloading::kURLErrorTimedOut,
                                    platform::urlloading::kURLErrorDataLengthExceedsMaximum}));
}

// --- redirects -------------------------------------------------------------------

TEST_F(HostileServerTest, AnHTTPSLoadNeverFollowsARedirectToPlainHTTP) {
  trustCA();
  server->setReply("/ok", HTTPReply::text(200, "from the plain hop"));
  for (int status : {301, 302, 303, 307, 308}) {
    tls->setReply("/r" + std::to_string(status),
                  HTTPReply::text(status, "").header("Location", server->url("/ok")));
  }
  auto pins = NKPinnedCertificates::fromDER({leaf.certificateDER});
  for (std::int32_t mode :
       {NKSSLPinningModeNone, NKSSLPinningModeCertificate, NKSSLPinningModePublicKey}) {
    for (int status : {301, 302, 303, 307, 308}) {
      auto request = requestFor(tls->localhostURL("/r" + std::to_string(status)));
      request.setValueForHTTPHeaderField("Authorization", "Bearer secret-token");
      auto op = NKHTTPRequestOperation::create(request);
      op->setSSLPinningMode(mode);
      op->setPinnedCertificates(pins);
      op->start();
      ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(30)));
      EXPECT_EQ(op->error().code(), platform::urlloading::kURLErrorSecureConnectionRequired)
          << "mode " << mode << ", status " << status;
      EXPECT_NE(op->responseString(), "from the plain hop");
    }
  }
  // Nothing, and no credential, went out in clear.
  EXPECT_EQ(server->requestCount(), 0u);

  // Nor when the operation's own redirect block asks for it.
  tls->setReply("/same", HTTPReply::text(302, "").header("Location", tls->localhostURL("/x")));
  auto op = NKHTTPRequestOperation::create(requestFor(tls->localhostURL("/same")));
  op->setRedirectResponseBlock([&](auto&, const URLRequest& proposed, const auto&) {
    URLRequest lowered = proposed;
    lowered.setURL(platform::URL(server->url("/ok")));
    return std::optional<URLRequest>(lowered);
  });
  op->start();
  ASSERT_TRUE(op->waitUntilFinished(std::chrono::seconds(30)));
  EXPECT_EQ(op->error().code(), platform::urlloading::kURLErrorSecureConnectionRequired);
  EXPECT_EQ(server->requestCount(), 0u);

  // Plain to plain, and plain up to HTTPS, are followed.
  server->setReply("/up", HTTPReply::text(302, "").header("Location", tls->localhostURL("/x")));
  tls->setReply("/x", HTTPReply::text(200, "secure"));
  auto up = run(requestFor(server->url("/up")));
  EXPECT_FALSE(up->error()) << up->error().description();
  EXPECT_EQ(up->responseString(), "secure");
}

TEST_F(HostileServerTest, ARedirectToAnotherHostIsJudgedByTheRequestsPins) {
  trustCA();
  // Another server the system trusts (same CA), but with a leaf nobody pinned.
  auto otherLeaf = test_support::makeLeafCertificate(ca, "localhost", {"localhost"}, {"127.0.0.1"});
  auto other = HTTPTestServer::startTLS(otherLeaf.certificatePEM + ca.certificatePEM,
                                        otherLeaf.privateKeyPEM);
  other->setReply("/x", HTTPReply::text(200, "elsewhere"));
  tls->setReply("/away", HTTPReply::text(302, "").header("Location", other->localhostURL("/x")));

  auto load = [&](std::int32_t mode) {
    auto op = NKHTTPRequestOperation::create(requestFor(tls->localhostURL("/away")));
    op->setSSLPinningMode(mode);
    op->setPinnedCertificates(NKPinnedCertificates::fromDER({leaf.certificateDER}));
    op->start();
    EXPECT_TRUE(op->waitUntilFinished(std::chrono::seconds(30)));
    return op;
  };
  for (std::int32_t mode : {NKSSLPinningModeCertificate, NKSSLPinningModePublicKey}) {
    auto op = load(mode);
    EXPECT_EQ(op->error().code(), platform::urlloading::kURLErrorServerCertificateUntrusted)
        << "mode " << mode;
  }
  EXPECT_EQ(other->requestCount(), 0u);
  // Unpinned, the system's trust decides: the other server is followed.
  auto op = load(NKSSLPinningModeNone);
  EXPECT_FALSE(op->error()) << op->error().description();
  EXPECT_EQ(op->responseString(), "elsewhere");
}

TEST_F(HostileServerTest, CredentialsStayWithTheServerTheyWereMeantFor) {
  auto other = HTTPTestServer::start();
  other->setReply("/x", HTTPReply::text(200, "other"));
  server->setReply("/x", HTTPReply::text(200, "same"));
  server->setReply("/away", HTTPReply::text(302, "").header("Location", other->url("/x")));
  server->setReply("/here", HTTPReply::text(302, "").header("Location", "/x"));
  for (const char* path : {"/away", "/here"}) {
    auto request = requestFor(server->url(path));
    request.setValueForHTTPHeaderField("Authorization", "Bearer secret-token");
    EXPECT_FALSE(run(request)->error());
  }
  ASSERT_EQ(other->requestCount(), 1u);
  EXPECT_FALSE(other->requests()[0].header("Authorization"));
  auto mine = server->requests();
  ASSERT_EQ(mine.size(), 3u);
  EXPECT_EQ(mine[2].path, "/x");
  EXPECT_EQ(mine[2].header("Authorization"), "Bearer secret-token") << "same server keeps it";
}

// --- heads that are not HTTP --------------------------------------------------------

TEST_F(HostileServerTest, HeadsThatAreNotHTTPAreBadServerResponses) {
  struct Case {
    const char* path;
    std::string reply;
    const char* description;
  };
  const std::string longHeader = "X-Long: " + std::string(20 * 1024 * 1024, 'h') + "\r\n";
  std::string manyHeaders;
  for (int i = 0; i < 4000; ++i)
    manyHeaders += "X-Many-" + std::to_string(i) +
                   ": 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\r\n";
  const std::vector<Case> cases = {
      {"/words", "HTTP/1.1 abc Fine\r\nContent-Length: 2\r\n\r\nok",
       "The server sent an invalid status line."},
      {"/short", "HTTP/1.1 20\r\nContent-Length: 2\r\n\r\nok",
       "The server sent an invalid status line."},
      {"/garbage", "SSH-2.0-OpenSSH\r\n\r\n", "The server sent an invalid status line."},
      {"/long", "HTTP/1.1 200 OK\r\n" + longHeader + "\r\nok",
       "The server sent a response header longer than the limit."},
      {"/many", "HTTP/1.1 200 OK\r\n" + manyHeaders + "Content-Length: 2\r\n\r\nok",
       "The server sent a response header longer than the limit."},
      {"/digits", "HTTP/1.1 200 OK\r\nContent-Length: 12345678901234567890123456\r\n\r\nok",
       "The server sent an invalid Content-Length."},
      {"/signed", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nok",
       "The server returned a response that could not be understood."},
      {"/twice", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok",
       "The server sent an invalid Content-Length."},
  };
  // Plain and over TLS (where the head arrives in records of its own).
  trustCA();
  for (HTTPTestServer* s : {server.get(), tls.get()}) {
    for (const Case& c : cases) s->setReply(c.path, raw(c.reply));
    // A line folded onto the status line, after each of the loads above and
    // after one that went well: refused, and nothing those loads left behind
    // is read (the sanitizer build would see it). With a colon, libcurl
    // takes the line for a field and would fold it onto the last field it
    // stored, which belonged to the load before on the same handle; and in
    // an interim response's head too.
    s->setReply("/fields", HTTPReply::text(200, "ok").header("X-One", "1").header("X-Two", "2"));
    s->setReply("/folded", raw("HTTP/1.1 200 OK\n folded onto nothing\r\n"
                               "Content-Length: 2\r\n\r\nok"));
    s->setReply("/folded-field", raw("HTTP/1.1 302 Found\n \r0:\r\nContent-Length: 2\r\n\r\nok"));
    s->setReply("/folded-final", raw("HTTP/1.1 100 Continue\r\n\r\n"
                                     "HTTP/1.1 200 OK\r\n\tX-Folded: 1\r\n"
                                     "Content-Length: 2\r\n\r\nok"));
    const std::vector<const char*> afterwards = {"/folded",       "/fields",       "/folded-field",
                                                 "/fields",       "/folded-final", "/fields",
                                                 "/folded-field", "/folded-final"};
    for (const Case& c : cases) {
      const std::string url = s->localhostURL(c.path);
      auto op = run(requestFor(url));
      EXPECT_EQ(op->error().domain(), platform::kURLErrorDomain) << url;
      EXPECT_EQ(op->error().code(), platform::urlloading::kURLErrorBadServerResponse) << url;
      EXPECT_EQ(description(op->error()), c.description) << url;
      EXPECT_FALSE(op->responseData()) << url;
      for (const char* path : afterwards) {
        auto after = run(requestFor(s->localhostURL(path)));
        if (std::string_view(path) == "/fields") {
          EXPECT_FALSE(after->error()) << after->error().description();
          EXPECT_EQ(after->responseString(), "ok");
        } else {
          EXPECT_EQ(after->error().code(), platform::urlloading::kURLErrorBadServerResponse)
              << path;
          EXPECT_FALSE(after->responseData()) << path;
        }
      }
    }
  }
  // Trailers of a chunked body are not a second head.
  server->setReply("/trailers", raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                    "2\r\nok\r\n0\r\nX-Trailer: 1\r\n\r\n"));
  int heads = 0;
  struct CountingOperation : NKHTTPRequestOperation {
    using NKHTTPRequestOperation::NKHTTPRequestOperation;
    int* heads = nullptr;
    void connectionDidReceiveResponse(URLConnection& c, const URLResponse& r) override {
      ++*heads;
      NKHTTPRequestOperation::connectionDidReceiveResponse(c, r);
    }
  };
  auto counted = std::make_shared<CountingOperation>(requestFor(server->url("/trailers")));
  counted->heads = &heads;
  counted->start();
  ASSERT_TRUE(counted->waitUntilFinished(std::chrono::seconds(30)));
  EXPECT_FALSE(counted->error()) << counted->error().description();
  EXPECT_EQ(counted->responseString(), "ok");
  EXPECT_EQ(heads, 1);
  // The same value twice is one length.
  server->setReply("/same", raw("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n"
                                "Connection: close\r\n\r\nok"));
  auto op = run(requestFor(server->url("/same")));
  EXPECT_FALSE(op->error()) << op->error().description();
  EXPECT_EQ(op->responseString(), "ok");
}

}  // namespace
