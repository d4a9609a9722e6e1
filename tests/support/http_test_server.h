// HTTPTestServer: an in-process HTTP/1.1 server on 127.0.0.1 for tests,
// plain or over TLS, with replies scripted per path and a record of every
// request it received.
//
// Guarantees:
//  1. It listens on 127.0.0.1 with port 0 (the kernel picks the port;
//     port() tells it) and serves each connection on its own thread, with
//     keep-alive (HTTP/1.1 default; "Connection: close" ends it).
//  2. Requests are recorded (method, target, path, query, headers, the body
//     after removing any chunked framing) before the reply is sent, so a
//     test that saw the reply also sees the record.
//  3. Replies come from the handler for the exact path (no query), else the
//     default handler, else 404. A reply may wait before answering, hang
//     until the server stops, send its body in chunks (optionally with a
//     pause between them), or send it without any length and close.
//  4. stop() (also run by the destructor) closes every connection, wakes
//     every waiting or hanging reply and joins all threads.
// Connection threads block SIGPIPE, so a client that leaves mid-reply
// never ends the test process.
// TLS servers take the identity made by tests/support/test_certificates.h
// (leaf first; further certificates of the chain may be appended).
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace test_support {

struct HTTPRecordedRequest {
  std::string method;
  std::string target;  // as on the request line
  std::string path;    // target without the query
  std::string query;   // after "?", "" when none
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool chunked = false;  // the body came with chunked framing
  // The first header of that name (any letter case).
  std::optional<std::string> header(std::string_view name) const;
};

struct HTTPReply {
  int status = 200;
  std::string reason;  // "" picks a standard text
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Non-empty: "Transfer-Encoding: chunked" with these chunks (body unused).
  std::vector<std::string> chunks;
  double chunkDelaySeconds = 0;
  // Send the body with no length at all and close the connection after it.
  bool closeDelimited = false;
  // Answer only after this pause; hang: never answer (until stop()).
  double delaySeconds = 0;
  bool hang = false;
  bool closeConnection = false;
  // Non-empty: these bytes are sent as they stand in place of the whole
  // reply (status line, header fields, body), then the connection closes.
  std::string raw;
  // Set: after the head (no length is added; give one or close-delimit),
  // the body is whatever this writes. `write` returns false once the
  // client has gone or the server stops; `pause(seconds)` waits, false when
  // the server stops. For endless or trickling bodies.
  std::function<void(const std::function<bool(std::string_view)>& write,
                     const std::function<bool(double)>& pause)>
      bodyWriter;

  static HTTPReply text(int status, std::string body, std::string contentType = "text/plain");
  static HTTPReply json(std::string body, int status = 200);
  HTTPReply& header(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
  }
};

using HTTPHandler = std::function<HTTPReply(const HTTPRecordedRequest&)>;

class HTTPTestServer {
 public:
  // A plain HTTP server.
  static std::unique_ptr<HTTPTestServer> start();
  // An HTTPS server presenting `certificateChainPEM` (leaf first) with
  // `privateKeyPEM`.
  static std::unique_ptr<HTTPTestServer> startTLS(const std::string& certificateChainPEM,
                                                  const std::string& privateKeyPEM);
  ~HTTPTestServer();
  HTTPTestServer(const HTTPTestServer&) = delete;
  HTTPTestServer& operator=(const HTTPTestServer&) = delete;

  int port() const { return port_; }
  bool isTLS() const { return tls_ != nullptr; }
  // "http://127.0.0.1:<port>" (or https).
  std::string baseURL() const;
  // baseURL() + path (path starts with "/").
  std::string url(std::string_view path) const;
  // The same with the host name "localhost".
  std::string localhostURL(std::string_view path) const;

  void setReply(const std::string& path, HTTPReply reply);
  void setHandler(const std::string& path, HTTPHandler handler);
  void setDefaultHandler(HTTPHandler handler);

  std::vector<HTTPRecordedRequest> requests() const;
  std::size_t requestCount() const;
  // Waits until at least `count` requests were recorded; false on time-out.
  bool waitForRequestCount(std::size_t count,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::size_t connectionCount() const;
  void clearRequests();

  void stop();

 private:
  HTTPTestServer() = default;
  struct Connection;
  void acceptLoop();
  void serve(std::shared_ptr<Connection> connection);
  // Waits `seconds` or until stop; false when stopping.
  bool pause(double seconds);
  HTTPReply replyFor(const HTTPRecordedRequest& request);

  int listenFd_ = -1;
  int wakeFd_ = -1;
  int port_ = 0;
  void* tls_ = nullptr;  // SSL_CTX*
  std::thread acceptor_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::map<std::string, HTTPHandler> handlers_;
  HTTPHandler defaultHandler_;
  std::vector<HTTPRecordedRequest> requests_;
  std::vector<std::shared_ptr<Connection>> connections_;
  std::vector<std::thread> threads_;
  std::size_t accepted_ = 0;
};

}  // namespace test_support
