// libFuzzer target: the HTTP response reader as a hostile server drives it.
// A loopback server answers each load with the input bytes as they stand
// (status line, header fields, chunked or sized framing, body) in pieces
// whose size the first byte chooses, then closes. The load runs through
// URLConnection on the network thread with small limits, and must end
// exactly once, in bounded time, having delivered at most one response head
// (before any body byte, with a three-digit status) and no more body bytes
// than its limit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/urlloading/url_connection.h"

namespace {

using namespace platform::urlloading;

constexpr std::int64_t kBodyLimit = 64 * 1024;

struct Server {
  int fd = -1;
  int port = 0;
  std::mutex mutex;
  std::string reply;
  std::size_t piece = 1;

  Server() {
    ::signal(SIGPIPE, SIG_IGN);
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd, 16) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      std::abort();
    }
    port = ntohs(addr.sin_port);
    std::thread([this] { serve(); }).detach();
  }

  void serve() {
    for (;;) {
      const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      const int one = 1;
      ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      // The request head, whatever it holds (bounded, in case it never ends).
      std::string head;
      char buf[4096];
      while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        pollfd p{c, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        const ssize_t n = ::read(c, buf, sizeof buf);
        if (n <= 0) break;
        head.append(buf, static_cast<std::size_t>(n));
      }
      std::string bytes;
      std::size_t size;
      {
        std::lock_guard lock(mutex);
        bytes = reply;
        size = piece;
      }
      for (std::size_t at = 0; at < bytes.size(); at += size) {
        const std::size_t n = std::min(size, bytes.size() - at);
        if (::send(c, bytes.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
      }
      ::shutdown(c, SHUT_RDWR);
      ::close(c);
    }
  }
};

struct Recorder : URLConnectionDelegate {
  explicit Recorder(int port) : port(port) {}
  const int port;
  std::mutex mutex;
  std::condition_variable cv;
  int ends = 0;
  int heads = 0;
  bool dataBeforeHead = false;
  long status = 0;
  std::int64_t body = 0;

  // Redirects go nowhere but back to this server: a fuzzed Location never
  // sends traffic off the loopback server (refused, the redirect reply
  // becomes the final one).
  std::optional<URLRequest> connectionWillSendRequest(URLConnection&, URLRequest next,
                                                      const std::optional<URLResponse>&) override {
    const platform::URL& url = next.url();
    if (url.scheme() != "http" || url.host() != "127.0.0.1" || url.port() != port) {
      return std::nullopt;
    }
    return next;
  }
  void connectionDidReceiveResponse(URLConnection&, const URLResponse& r) override {
    std::lock_guard lock(mutex);
    ++heads;
    status = r.statusCode();
  }
  void connectionDidReceiveData(URLConnection&, const std::uint8_t*, std::size_t n) override {
    std::lock_guard lock(mutex);
    if (heads == 0) dataBeforeHead = true;
    body += static_cast<std::int64_t>(n);
  }
  void connectionDidFinishLoading(URLConnection&) override { end(); }
  void connectionDidFailWithError(URLConnection&, const platform::Error& e) override {
    if (e.domain() != platform::kURLErrorDomain && e.domain() != platform::kPOSIXErrorDomain) {
      std::abort();
    }
    end();
  }
  void end() {
    std::lock_guard lock(mutex);
    ++ends;
    cv.notify_all();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Server* server = new Server();
  // The load before ended once, and stayed ended.
  static std::shared_ptr<Recorder> previous;
  if (previous) {
    std::lock_guard lock(previous->mutex);
    if (previous->ends != 1) std::abort();
  }
  if (size == 0) return 0;
  {
    std::lock_guard lock(server->mutex);
    server->piece = (data[0] % 64) + 1;
    server->reply.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  }
  URLRequest request(platform::URL("http://127.0.0.1:" + std::to_string(server->port) + "/"), 2.0);
  request.setMaximumResponseLength(kBodyLimit);
  request.setMaximumDuration(4.0);
  auto recorder = std::make_shared<Recorder>(server->port);
  previous = recorder;
  auto connection = URLConnection::create(request, recorder);
  connection->start();
  std::unique_lock lock(recorder->mutex);
  // The deadline ends every load; waiting well past it means a load hangs.
  if (!recorder->cv.wait_for(lock, std::chrono::seconds(8), [&] { return recorder->ends > 0; })) {
    std::abort();
  }
  if (recorder->heads > 1 || recorder->dataBeforeHead || recorder->body > kBodyLimit) std::abort();
  if (recorder->heads == 1 && (recorder->status < 100 || recorder->status > 999)) std::abort();
  lock.unlock();
  connection.reset();
  return 0;
}
