// Loads whose socket work a loader does (this binary holds a load under way
// on the network thread: support/held_load.h): what only a loader can get
// wrong. A body far larger than the loader's room, taken by a slow delegate;
// a cancel or a refusal on the network thread while the loader is still
// reading; a burst of loads of every kind at once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/urlloading/url_connection.h"
#include "support/held_load.h"
#include "support/http_test_server.h"
#include "support/wait.h"

namespace {

using platform::URL;
using platform::urlloading::AuthenticationChallenge;
using platform::urlloading::NetworkThread;
using platform::urlloading::URLConnection;
using platform::urlloading::URLConnectionDelegate;
using platform::urlloading::URLCredential;
using platform::urlloading::URLRequest;
using platform::urlloading::URLResponse;
using test_support::HTTPReply;
using test_support::HTTPTestServer;

class Delegate : public URLConnectionDelegate {
 public:
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> events;
  std::string body;
  long status = 0;
  std::int64_t errorCode = 0;
  int ends = 0;
  bool offThread = false;
  std::function<void(URLConnection&, std::size_t)> onData;

  void note(const std::string& event) {
    if (!NetworkThread::shared().isCurrent()) offThread = true;
    if (events.empty() || events.back() != event) events.push_back(event);
  }
  std::optional<URLRequest> connectionWillSendRequest(URLConnection&, URLRequest request,
                                                      const std::optional<URLResponse>&) override {
    std::lock_guard lock(mutex);
    note("redirect");
    return request;
  }
  void connectionWillSendRequestForAuthenticationChallenge(
      URLConnection&, const AuthenticationChallenge& challenge) override {
    {
      std::lock_guard lock(mutex);
      note("challenge");
    }
    challenge.sender()->useCredential(URLCredential::withUser("u", "p"), challenge);
  }
  void connectionDidReceiveResponse(URLConnection&, const URLResponse& response) override {
    std::lock_guard lock(mutex);
    note("response");
    status = response.statusCode();
  }
  void connectionDidReceiveData(URLConnection& c, const std::uint8_t* bytes,
                                std::size_t length) override {
    std::size_t total;
    {
      std::lock_guard lock(mutex);
      note("data");
      body.append(reinterpret_cast<const char*>(bytes), length);
      total = body.size();
    }
    if (onData) onData(c, total);
  }
  void connectionDidFinishLoading(URLConnection&) override { end("finish", 0); }
  void connectionDidFailWithError(URLConnection&, const platform::Error& error) override {
    end("fail", error.code());
  }
  void end(const std::string& event, std::int64_t code) {
    std::lock_guard lock(mutex);
    note(event);
    errorCode = code;
    ++ends;
    cv.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(20), [&] { return ends > 0; });
  }
};

// Block i of a body: 64 KiB of the byte i % 251, so that a block lost,
// doubled or out of place shows.
std::string block(std::size_t i) { return std::string(64 * 1024, static_cast<char>(i % 251)); }

TEST(URLLoaderTest, ABodyManyTimesTheLoadersRoomComesWholeAndInOrderToASlowDelegate) {
  constexpr std::size_t kBlocks = 256;  // 16 MiB
  auto server = HTTPTestServer::start();
  HTTPReply reply;
  reply.headers = {{"Content-Length", std::to_string(kBlocks * 64 * 1024)}};
  reply.bodyWriter = [](const auto& write, const auto&) {
    for (std::size_t i = 0; i < kBlocks && write(block(i)); ++i) {
    }
  };
  server->setReply("/big", reply);
  auto delegate = std::make_shared<Delegate>();
  std::size_t slowed = 0;
  delegate->onData = [&](URLConnection&, std::size_t total) {
    // Now and then the delegate falls behind, and the loader fills its room.
    if (total / (1024 * 1024) > slowed) {
      slowed = total / (1024 * 1024);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  };
  URLConnection::create(URLRequest(URL(server->url("/big"))), delegate)->start();
  ASSERT_TRUE(delegate->wait());
  std::lock_guard lock(delegate->mutex);
  EXPECT_EQ(delegate->events, (std::vector<std::string>{"response", "data", "finish"}));
  EXPECT_FALSE(delegate->offThread);
  ASSERT_EQ(delegate->body.size(), kBlocks * 64 * 1024);
  for (std::size_t i = 0; i < kBlocks; ++i) {
    ASSERT_EQ(delegate->body.compare(i * 64 * 1024, 64 * 1024, block(i)), 0) << "block " << i;
  }
}

TEST(URLLoaderTest, ACancelOrARefusalOnTheNetworkThreadStopsTheLoadersTransfer) {
  auto server = HTTPTestServer::start();
  std::atomic<int> clientsGone{0};
  HTTPReply endless;
  endless.headers = {{"Content-Type", "text/plain"}};
  endless.closeDelimited = true;
  endless.bodyWriter = [&](const auto& write, const auto&) {
    while (write(block(1))) {
    }
    ++clientsGone;
  };
  server->setReply("/endless", endless);

  // Cancelled by its delegate in the first data callback: nothing follows.
  auto cancelled = std::make_shared<Delegate>();
  cancelled->onData = [](URLConnection& c, std::size_t) { c.cancel(); };
  URLConnection::create(URLRequest(URL(server->url("/endless"))), cancelled)->start();

  // Refused once past its limit: fails with -1103.
  auto limited = std::make_shared<Delegate>();
  URLRequest request(URL(server->url("/endless")));
  request.setMaximumResponseLength(1024 * 1024);
  URLConnection::create(request, limited)->start();
  ASSERT_TRUE(limited->wait());

  // Both transfers end on their loader: the server sees both clients go.
  EXPECT_TRUE(varnel::testing::waitUntil([&] { return clientsGone.load() == 2; }));
  std::lock_guard lock(limited->mutex);
  EXPECT_EQ(limited->errorCode, platform::urlloading::kURLErrorDataLengthExceedsMaximum);
  EXPECT_LE(limited->body.size(), 1024u * 1024u);
  std::lock_guard cancelLock(cancelled->mutex);
  EXPECT_EQ(cancelled->ends, 0);
  EXPECT_EQ(cancelled->events, (std::vector<std::string>{"response", "data"}));
}

// A server that answers one request with a head and the first bytes of a
// longer body, then sends nothing more and tells whether the client closed
// the connection within `limit`.
class StallingServer {
 public:
  StallingServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    EXPECT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
  }
  ~StallingServer() {
    if (client_ >= 0) ::close(client_);
    ::close(listener_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/stall"; }
  // Takes the request and answers its start; false when none came.
  bool answerStart() {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 10000) != 1) return false;
    client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string start = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nfirst bytes";
    return ::send(client_, start.data(), start.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(start.size());
  }
  bool clientClosedWithin(std::chrono::milliseconds limit) {
    pollfd closed{client_, POLLIN | POLLRDHUP, 0};
    if (::poll(&closed, 1, static_cast<int>(limit.count())) != 1) return false;
    char byte;
    return ::recv(client_, &byte, 1, MSG_DONTWAIT) == 0;
  }

 private:
  int listener_ = -1;
  int client_ = -1;
  int port_ = 0;
};

TEST(URLLoaderTest, ACancelledLoadThatWaitsForDataLetsItsConnectionGoAtOnce) {
  // Nothing more arrives after the cancel, so no callback of the loader's
  // would notice it: the loader must be told, and close the connection.
  StallingServer server;
  auto delegate = std::make_shared<Delegate>();
  delegate->onData = [](URLConnection& c, std::size_t) { c.cancel(); };
  URLConnection::create(URLRequest(URL(server.url())), delegate)->start();
  ASSERT_TRUE(server.answerStart());
  EXPECT_TRUE(server.clientClosedWithin(std::chrono::seconds(10)));
  std::lock_guard lock(delegate->mutex);
  EXPECT_EQ(delegate->ends, 0);
  EXPECT_EQ(delegate->body, "first bytes");
}

TEST(URLLoaderTest, ABurstOfLoadsOfEveryKindEachEndOnceWithItsOwnResult) {
  auto server = HTTPTestServer::start();
  server->setDefaultHandler([](const test_support::HTTPRecordedRequest& r) {
    const std::string tail = r.path.substr(r.path.rfind('/') + 1);
    if (r.path.rfind("/redirect/", 0) == 0) {
      return HTTPReply::text(302, "moved").header("Location", "/plain/" + tail);
    }
    if (r.path.rfind("/secret/", 0) == 0 && r.header("Authorization") != "Basic dTpw") {
      return HTTPReply::text(401, "no").header("WWW-Authenticate", "Basic realm=\"r\"");
    }
    if (r.path.rfind("/missing/", 0) == 0) return HTTPReply::text(404, "none");
    HTTPReply reply = HTTPReply::text(200, r.method + " " + r.path);
    if (r.path.rfind("/chunked/", 0) == 0) {
      reply.chunks = {r.method + " ", r.path};
      reply.chunkDelaySeconds = 0.002;
    }
    return reply;
  });
  const std::vector<std::string> kinds = {"plain", "redirect", "secret", "missing", "chunked"};
  constexpr int kEach = 12;
  struct Load {
    std::string kind;
    int index = 0;
    std::shared_ptr<Delegate> delegate = std::make_shared<Delegate>();
    std::shared_ptr<URLConnection> connection;
  };
  std::vector<Load> loads;
  for (int i = 0; i < kEach; ++i) {
    for (const auto& kind : kinds) {
      Load load;
      load.kind = kind;
      load.index = i;
      load.connection = URLConnection::create(
          URLRequest(URL(server->url("/" + kind + "/" + std::to_string(i)))), load.delegate);
      loads.push_back(std::move(load));
    }
  }
  for (auto& load : loads) load.connection->start();
  for (auto& load : loads) {
    SCOPED_TRACE(load.kind + " " + std::to_string(load.index));
    ASSERT_TRUE(load.delegate->wait());
    std::lock_guard lock(load.delegate->mutex);
    EXPECT_EQ(load.delegate->ends, 1);
    EXPECT_FALSE(load.delegate->offThread);
    const std::string n = std::to_string(load.index);
    if (load.kind == "redirect") {
      EXPECT_EQ(load.delegate->events,
                (std::vector<std::string>{"redirect", "response", "data", "finish"}));
      EXPECT_EQ(load.delegate->body, "GET /plain/" + n);
    } else if (load.kind == "secret") {
      EXPECT_EQ(load.delegate->events,
                (std::vector<std::string>{"challenge", "response", "data", "finish"}));
      EXPECT_EQ(load.delegate->body, "GET /secret/" + n);
    } else if (load.kind == "missing") {
      EXPECT_EQ(load.delegate->status, 404);
      EXPECT_EQ(load.delegate->body, "none");
    } else {
      EXPECT_EQ(load.delegate->events, (std::vector<std::string>{"response", "data", "finish"}));
      EXPECT_EQ(load.delegate->body, "GET /" + load.kind + "/" + n);
    }
  }
}

}  // namespace
