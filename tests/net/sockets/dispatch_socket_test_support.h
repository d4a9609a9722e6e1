// Test helpers for DispatchSocket: a delegate that records every callback
// and lets the test wait for one, and a plain blocking loopback peer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "net/sockets/dispatch_socket.h"

namespace net::sockets::testing {

struct Event {
  Event(std::string k = {}) : kind(std::move(k)) {}
  std::string kind;  // "connect", "connectUrl", "read", "readPartial", "write", ...
  long tag = 0;
  std::string data;
  std::size_t length = 0;
  platform::Error error;
  std::string host;
  std::uint16_t port = 0;
  std::weak_ptr<DispatchSocket> socket;  // weak: recording must not keep a socket alive
  bool nullSocket = false;
  DispatchSocketPtr newSocket;
  bool onDelegateQueue = false;
};

class RecordingDelegate : public DispatchSocketDelegate {
 public:
  explicit RecordingDelegate(QueuePtr queue = nullptr) : queue_(std::move(queue)) {}

  void socketDidConnectToHost(const DispatchSocketPtr& s, const std::string& host,
                              std::uint16_t port) override {
    Event e{"connect"};
    e.host = host;
    e.port = port;
    e.socket = s;
    add(std::move(e));
  }
  void socketDidConnectToUrl(const DispatchSocketPtr& s, const platform::URL& url) override {
    Event e{"connectUrl"};
    e.host = url.decodedPath();
    e.socket = s;
    add(std::move(e));
  }
  void socketDidReadData(const DispatchSocketPtr& s, const SocketData& data, long tag) override {
    Event e{"read"};
    e.data = std::string(data.text());
    e.tag = tag;
    e.socket = s;
    add(std::move(e));
    if (onRead) onRead(s, data, tag);
  }
  void socketDidReadPartialDataOfLength(const DispatchSocketPtr&, std::size_t length,
                                        long tag) override {
    Event e{"readPartial"};
    e.length = length;
    e.tag = tag;
    add(std::move(e));
  }
  void socketDidWriteDataWithTag(const DispatchSocketPtr&, long tag) override {
    Event e{"write"};
    e.tag = tag;
    add(std::move(e));
  }
  void socketDidWritePartialDataOfLength(const DispatchSocketPtr&, std::size_t length,
                                         long tag) override {
    Event e{"writePartial"};
    e.length = length;
    e.tag = tag;
    add(std::move(e));
  }
  double socketShouldTimeoutReadWithTag(const DispatchSocketPtr&, long tag, double elapsed,
                                        std::size_t) override {
    Event e{"readTimeout"};
    e.tag = tag;
    e.length = static_cast<std::size_t>(elapsed * 1000);
    add(std::move(e));
    std::lock_guard lock(mutex_);
    double answer = readExtensions.empty() ? 0 : readExtensions.front();
    if (!readExtensions.empty()) readExtensions.erase(readExtensions.begin());
    return answer;
  }
  double socketShouldTimeoutWriteWithTag(const DispatchSocketPtr&, long tag, double elapsed,
                                         std::size_t) override {
    Event e{"writeTimeout"};
    e.tag = tag;
    e.length = static_cast<std::size_t>(elapsed * 1000);
    add(std::move(e));
    return 0;
  }
  void socketDidCloseReadStream(const DispatchSocketPtr&) override { add(Event{"readClosed"}); }
  void socketDidDisconnect(const DispatchSocketPtr& s, const platform::Error& error) override {
    Event e{"disconnect"};
    e.error = error;
    e.socket = s;
    e.nullSocket = s == nullptr;
    add(std::move(e));
  }
  void socketDidSecure(const DispatchSocketPtr&) override { add(Event{"secure"}); }
  void socketDidAcceptNewSocket(const DispatchSocketPtr& listener,
                                const DispatchSocketPtr& child) override {
    Event e{"accept"};
    e.socket = listener;
    e.newSocket = child;
    add(std::move(e));
    if (onAccept) onAccept(child);
  }
  bool answersDidReceiveTrust() const override { return static_cast<bool>(onTrust); }
  void socketDidReceiveTrust(const DispatchSocketPtr&, std::shared_ptr<DispatchSocketTrust> trust,
                             std::function<void(bool)> handler) override {
    add(Event{"trust"});
    onTrust(trust, handler);
  }

  // Waits until an event of `kind` beyond the first `skip` of that kind
  // exists; returns it (an empty "timeout" event after the safety time-out).
  Event waitFor(const std::string& kind, std::size_t index = 0,
                std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    Event found{"timeout"};
    cv_.wait_for(lock, limit, [&] {
      std::size_t seen = 0;
      for (const Event& e : events_) {
        if (e.kind == kind && seen++ == index) {
          found = e;
          return true;
        }
      }
      return false;
    });
    return found;
  }
  std::size_t count(const std::string& kind) {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const Event& e : events_) n += e.kind == kind;
    return n;
  }
  std::vector<Event> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<std::string> kinds() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> k;
    for (const Event& e : events_) k.push_back(e.kind);
    return k;
  }

  std::vector<double> readExtensions;  // answers to successive read time-outs
  std::function<void(const DispatchSocketPtr&, const SocketData&, long)> onRead;
  std::function<void(const DispatchSocketPtr&)> onAccept;
  std::function<void(std::shared_ptr<DispatchSocketTrust>, std::function<void(bool)>)> onTrust;

 private:
  void add(Event e) {
    if (queue_) e.onDelegateQueue = queue_->isCurrent();
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }
  QueuePtr queue_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

inline bool hasIPv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const Bytes address = loopbackAddress6(0);
  const bool ok =
      ::bind(fd, reinterpret_cast<const sockaddr*>(address.data()), address.size()) == 0;
  ::close(fd);
  return ok;
}

// A blocking listener on a loopback address, port 0.
class RawListener {
 public:
  explicit RawListener(int family = AF_INET) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const Bytes address = family == AF_INET ? loopbackAddress4(0) : loopbackAddress6(0);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(address.data()), address.size());
    ::listen(fd_, 16);
    port_ = portFromAddress(localAddressOfSocket(fd_));
  }
  ~RawListener() { ::close(fd_); }
  std::uint16_t port() const { return port_; }
  // Accepts one connection (-1 after 10 s).
  int accept() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A blocking client connection to a loopback port.
inline int rawConnect(std::uint16_t port, int family = AF_INET) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const Bytes address = family == AF_INET ? loopbackAddress4(port) : loopbackAddress6(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), address.size()) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline void rawSend(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Reads exactly `length` bytes (fewer at end of stream or after 10 s).
inline std::string rawReceive(int fd, std::size_t length) {
  std::string out;
  char buffer[65536];
  while (out.size() < length) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, length - out.size()), 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

// True when the peer closed (end of stream within 10 s).
inline bool rawSeesEOF(int fd) {
  char c;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0) return false;
  return ::recv(fd, &c, 1, 0) <= 0;
}

}  // namespace net::sockets::testing
