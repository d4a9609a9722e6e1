#include "support/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/urlloading/url_request.h"

namespace test_support {

namespace {

using platform::urlloading::equalsIgnoringCase;

std::string trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return std::string(s);
}

const char* reasonFor(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

}  // namespace

std::optional<std::string> HTTPRecordedRequest::header(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (equalsIgnoringCase(k, name)) return v;
  }
  return std::nullopt;
}

HTTPReply HTTPReply::text(int status, std::string body, std::string contentType) {
  HTTPReply r;
  r.status = status;
  r.body = std::move(body);
  if (!contentType.empty()) r.headers.emplace_back("Content-Type", std::move(contentType));
  return r;
}

HTTPReply HTTPReply::json(std::string body, int status) {
  return text(status, std::move(body), "application/json");
}

struct HTTPTestServer::Connection {
  int fd = -1;
  SSL* ssl = nullptr;
  std::string buffered;
  bool closed = false;

  ~Connection() {
    if (ssl) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
  }
  long readSome(char* buf, std::size_t n) {
    if (ssl) {
      int r = SSL_read(ssl, buf, static_cast<int>(n));
      return r > 0 ? r : -1;
    }
    ssize_t r;
    do {
      r = ::recv(fd, buf, n, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0 ? r : -1;
  }
  bool writeAll(std::string_view data) {
    while (!data.empty()) {
      long w;
      if (ssl) {
        w = SSL_write(ssl, data.data(), static_cast<int>(data.size()));
        if (w <= 0) return false;
      } else {
        w = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
      }
      data.remove_prefix(static_cast<std::size_t>(w));
    }
    return true;
  }
  // Fills `buffered` until it holds `n` bytes; false at the end.
  bool fill(std::size_t n) {
    char buf[16384];
    while (buffered.size() < n) {
      long r = readSome(buf, sizeof buf);
      if (r <= 0) return false;
      buffered.append(buf, static_cast<std::size_t>(r));
    }
    return true;
  }
  std::optional<std::string> readLine() {
    char buf[16384];
    for (;;) {
      auto at = buffered.find("\r\n");
      if (at != std::string::npos) {
        std::string line = buffered.substr(0, at);
        buffered.erase(0, at + 2);
        return line;
      }
      if (buffered.size() > (1u << 20)) return std::nullopt;
      long r = readSome(buf, sizeof buf);
      if (r <= 0) return std::nullopt;
      buffered.append(buf, static_cast<std::size_t>(r));
    }
  }
  std::optional<std::string> take(std::size_t n) {
    if (!fill(n)) return std::nullopt;
    std::string out = buffered.substr(0, n);
    buffered.erase(0, n);
    return out;
  }
};

std::unique_ptr<HTTPTestServer> HTTPTestServer::start() {
  std::unique_ptr<HTTPTestServer> server(new HTTPTestServer());
  server->listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(server->listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(server->listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(server->listenFd_, 128) != 0) {
    throw std::runtime_error(std::string("test server: ") + std::strerror(errno));
  }
  socklen_t len = sizeof addr;
  ::getsockname(server->listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  server->port_ = ntohs(addr.sin_port);
  server->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  server->acceptor_ = std::thread([s = server.get()] { s->acceptLoop(); });
  return server;
}

std::unique_ptr<HTTPTestServer> HTTPTestServer::startTLS(const std::string& certificateChainPEM,
                                                         const std::string& privateKeyPEM) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  BIO* certs =
      BIO_new_mem_buf(certificateChainPEM.data(), static_cast<int>(certificateChainPEM.size()));
  bool first = true;
  while (X509* x = PEM_read_bio_X509(certs, nullptr, nullptr, nullptr)) {
    if (first) {
      SSL_CTX_use_certificate(ctx, x);
      X509_free(x);
      first = false;
    } else {
      SSL_CTX_add_extra_chain_cert(ctx, x);  // takes ownership
    }
  }
  BIO_free(certs);
  BIO* keyBio = BIO_new_mem_buf(privateKeyPEM.data(), static_cast<int>(privateKeyPEM.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
  BIO_free(keyBio);
  if (first || !key || SSL_CTX_use_PrivateKey(ctx, key) != 1) {
    EVP_PKEY_free(key);
    SSL_CTX_free(ctx);
    throw std::runtime_error("test server: bad TLS identity");
  }
  EVP_PKEY_free(key);
  ERR_clear_error();
  auto server = start();
  server->tls_ = ctx;
  return server;
}

HTTPTestServer::~HTTPTestServer() {
  stop();
  if (tls_) SSL_CTX_free(static_cast<SSL_CTX*>(tls_));
}

std::string HTTPTestServer::baseURL() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string HTTPTestServer::url(std::string_view path) const {
  return baseURL() + std::string(path);
}

std::string HTTPTestServer::localhostURL(std::string_view path) const {
  return std::string(tls_ ? "https" : "http") + "://localhost:" + std::to_string(port_) +
         std::string(path);
}

void HTTPTestServer::setReply(const std::string& path, HTTPReply reply) {
  setHandler(path, [reply](const HTTPRecordedRequest&) { return reply; });
}

void HTTPTestServer::setHandler(const std::string& path, HTTPHandler handler) {
  std::lock_guard lock(mutex_);
  handlers_[path] = std::move(handler);
}

void HTTPTestServer::setDefaultHandler(HTTPHandler handler) {
  std::lock_guard lock(mutex_);
  defaultHandler_ = std::move(handler);
}

std::vector<HTTPRecordedRequest> HTTPTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t HTTPTestServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool HTTPTestServer::waitForRequestCount(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

std::size_t HTTPTestServer::connectionCount() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

void HTTPTestServer::clearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

void HTTPTestServer::stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    for (auto& c : connections_) ::shutdown(c->fd, SHUT_RDWR);
  }
  cv_.notify_all();
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t w = ::write(wakeFd_, &one, sizeof one);
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  {
    std::lock_guard lock(mutex_);
    connections_.clear();
  }
  ::close(listenFd_);
  ::close(wakeFd_);
}

bool HTTPTestServer::pause(double seconds) {
  std::unique_lock lock(mutex_);
  if (seconds < 0) {
    cv_.wait(lock, [&] { return stopping_; });
    return false;
  }
  return !cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return stopping_; });
}

void HTTPTestServer::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto conn = std::make_shared<Connection>();
    conn->fd = fd;
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    ++accepted_;
    connections_.push_back(conn);
    threads_.emplace_back([this, conn] { serve(conn); });
  }
}

HTTPReply HTTPTestServer::replyFor(const HTTPRecordedRequest& request) {
  HTTPHandler handler;
  {
    std::lock_guard lock(mutex_);
    auto it = handlers_.find(request.path);
    if (it != handlers_.end()) {
      handler = it->second;
    } else {
      handler = defaultHandler_;
    }
  }
  if (!handler) return HTTPReply::text(404, "not found");
  return handler(request);
}

void HTTPTestServer::serve(std::shared_ptr<Connection> conn) {
  // TLS writes go through write(2): a peer that went away must give EPIPE
  // here, not a SIGPIPE that ends the test process.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  if (tls_) {
    conn->ssl = SSL_new(static_cast<SSL_CTX*>(tls_));
    SSL_set_fd(conn->ssl, conn->fd);
    if (SSL_accept(conn->ssl) != 1) {
      ERR_clear_error();
      ::shutdown(conn->fd, SHUT_RDWR);
      return;
    }
  }
  for (;;) {
    auto line = conn->readLine();
    if (!line) break;
    if (line->empty()) continue;
    HTTPRecordedRequest req;
    {
      auto s1 = line->find(' ');
      auto s2 = line->rfind(' ');
      if (s1 == std::string::npos || s2 == s1) break;
      req.method = line->substr(0, s1);
      req.target = line->substr(s1 + 1, s2 - s1 - 1);
      req.version = line->substr(s2 + 1);
      auto q = req.target.find('?');
      req.path = req.target.substr(0, q);
      if (q != std::string::npos) req.query = req.target.substr(q + 1);
    }
    bool ok = true;
    for (;;) {
      auto h = conn->readLine();
      if (!h) {
        ok = false;
        break;
      }
      if (h->empty()) break;
      auto colon = h->find(':');
      if (colon == std::string::npos) continue;
      req.headers.emplace_back(trim(std::string_view(*h).substr(0, colon)),
                               trim(std::string_view(*h).substr(colon + 1)));
    }
    if (!ok) break;
    auto te = req.header("Transfer-Encoding");
    if (te && equalsIgnoringCase(*te, "chunked")) {
      req.chunked = true;
      for (;;) {
        auto sizeLine = conn->readLine();
        if (!sizeLine) {
          ok = false;
          break;
        }
        std::size_t size = std::strtoul(sizeLine->c_str(), nullptr, 16);
        if (size == 0) {
          while (auto trailer = conn->readLine()) {
            if (trailer->empty()) break;
          }
          break;
        }
        auto data = conn->take(size + 2);
        if (!data) {
          ok = false;
          break;
        }
        req.body.append(*data, 0, size);
      }
    } else if (auto cl = req.header("Content-Length")) {
      auto data = conn->take(std::strtoul(cl->c_str(), nullptr, 10));
      if (!data)
        ok = false;
      else
        req.body = std::move(*data);
    }
    if (!ok) break;
    bool close = req.version == "HTTP/1.0";
    if (auto c = req.header("Connection")) close = equalsIgnoringCase(*c, "close");
    HTTPReply reply = replyFor(req);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(req);
    }
    cv_.notify_all();
    if (reply.hang) {
      pause(-1);
      break;
    }
    if (reply.delaySeconds > 0 && !pause(reply.delaySeconds)) break;
    if (!reply.raw.empty()) {
      conn->writeAll(reply.raw);
      break;
    }
    close = close || reply.closeConnection || reply.closeDelimited || reply.bodyWriter;
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                       (reply.reason.empty() ? reasonFor(reply.status) : reply.reason) + "\r\n";
    bool hasLength = false;
    for (const auto& [k, v] : reply.headers) {
      head += k + ": " + v + "\r\n";
      hasLength = hasLength || equalsIgnoringCase(k, "Content-Length");
    }
    const bool noBody = req.method == "HEAD" || reply.status == 204 || reply.status == 304;
    if (!reply.chunks.empty()) {
      head += "Transfer-Encoding: chunked\r\n";
    } else if (!hasLength && !reply.closeDelimited && !reply.bodyWriter && !noBody) {
      head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    }
    if (close) head += "Connection: close\r\n";
    head += "\r\n";
    bool written = conn->writeAll(head);
    if (written && !noBody) {
      if (reply.bodyWriter) {
        reply.bodyWriter([&](std::string_view bytes) { return conn->writeAll(bytes); },
                         [this](double seconds) { return pause(seconds); });
      } else if (!reply.chunks.empty()) {
        for (std::size_t i = 0; written && i < reply.chunks.size(); ++i) {
          if (i > 0 && reply.chunkDelaySeconds > 0 && !pause(reply.chunkDelaySeconds)) {
            written = false;
            break;
          }
          char size[32];
          std::snprintf(size, sizeof size, "%zx\r\n", reply.chunks[i].size());
          written = conn->writeAll(std::string(size) + reply.chunks[i] + "\r\n");
        }
        if (written) written = conn->writeAll("0\r\n\r\n");
      } else {
        written = conn->writeAll(reply.body);
      }
    }
    if (!written || close) break;
  }
  if (conn->ssl) SSL_shutdown(conn->ssl);
  ::shutdown(conn->fd, SHUT_RDWR);
}

}  // namespace test_support
