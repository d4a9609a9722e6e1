// A DispatchUdpSocket delegate for tests: records every callback in order
// and lets the test wait for them (with a generous safety time-out).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/sockets/udp_socket.h"
#include "platform/dispatch/dispatch.h"

namespace net::sockets::testing {

struct UdpEvent {
  enum Kind { Connected, NotConnected, Sent, NotSent, Received, Closed };
  Kind kind;
  long tag = 0;
  platform::Error error;
  Bytes address;
  std::shared_ptr<const Bytes> data;
  std::shared_ptr<void> context;
  bool nullSocket = false;
  std::string queueLabel;  // label of the queue the callback ran on
};

class RecordingUdpDelegate : public DispatchUdpSocketDelegate {
 public:
  using Sock = std::shared_ptr<DispatchUdpSocket>;

  void udpSocketDidConnectToAddress(const Sock& s, const Bytes& address) override {
    add({UdpEvent::Connected, 0, {}, address, nullptr, nullptr, !s, {}});
  }
  void udpSocketDidNotConnect(const Sock& s, const platform::Error& error) override {
    add({UdpEvent::NotConnected, 0, error, {}, nullptr, nullptr, !s, {}});
  }
  void udpSocketDidSendDataWithTag(const Sock& s, long tag) override {
    add({UdpEvent::Sent, tag, {}, {}, nullptr, nullptr, !s, {}});
  }
  void udpSocketDidNotSendDataWithTag(const Sock& s, long tag,
                                      const platform::Error& error) override {
    add({UdpEvent::NotSent, tag, error, {}, nullptr, nullptr, !s, {}});
  }
  void udpSocketDidReceiveData(const Sock& s, const std::shared_ptr<const Bytes>& data,
                               const Bytes& address,
                               const std::shared_ptr<void>& context) override {
    add({UdpEvent::Received, 0, {}, address, data, context, !s, {}});
  }
  void udpSocketDidClose(const Sock& s, const platform::Error& error) override {
    add({UdpEvent::Closed, 0, error, {}, nullptr, nullptr, !s, {}});
  }

  // Waits until at least `count` events of `kind` arrived; false on time-out.
  bool waitFor(UdpEvent::Kind kind, std::size_t count = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return countLocked(kind) >= count; });
  }
  std::size_t count(UdpEvent::Kind kind) {
    std::lock_guard lock(mutex_);
    return countLocked(kind);
  }
  std::vector<UdpEvent> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<UdpEvent> eventsOf(UdpEvent::Kind kind) {
    std::lock_guard lock(mutex_);
    std::vector<UdpEvent> result;
    for (const auto& e : events_) {
      if (e.kind == kind) result.push_back(e);
    }
    return result;
  }
  // Lets every callback already queued on `queue` run, so a test can check
  // that nothing more arrived.
  static void drain(const platform::dispatch::QueuePtr& queue) {
    queue->sync([] {});
  }

 private:
  void add(UdpEvent e) {
    e.queueLabel = platform::dispatch::Queue::currentLabel();
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }
  std::size_t countLocked(UdpEvent::Kind kind) const {
    std::size_t n = 0;
    for (const auto& e : events_) n += e.kind == kind;
    return n;
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<UdpEvent> events_;
};

inline std::shared_ptr<const Bytes> bytesOf(const std::string& text) {
  return std::make_shared<const Bytes>(text.begin(), text.end());
}

inline std::string textOf(const std::shared_ptr<const Bytes>& data) {
  return data ? std::string(data->begin(), data->end()) : std::string();
}

// True when this machine can bind a datagram socket to ::1.
inline bool hasIPv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// A socket with its own recording delegate and delegate queue.
struct UdpPeer {
  std::shared_ptr<RecordingUdpDelegate> delegate = std::make_shared<RecordingUdpDelegate>();
  platform::dispatch::QueuePtr delegateQueue =
      platform::dispatch::Queue::createSerial("udp.test.delegate");
  std::shared_ptr<DispatchUdpSocket> socket;

  explicit UdpPeer(platform::dispatch::QueuePtr socketQueue = nullptr,
                   platform::dispatch::TimeSourcePtr clock = nullptr)
      : socket(DispatchUdpSocket::create(delegate, delegateQueue, std::move(socketQueue),
                                         std::move(clock))) {}
};

}  // namespace net::sockets::testing
