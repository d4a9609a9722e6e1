// DispatchSocket against two baselines, each serving the same loopback echo
// over TCP to the same blocking client:
//   - a plain single-threaded epoll echo loop (the floor of what a server
//     can cost), and
//   - standalone asio (async_read_some / async_read_until, one io_context
//     thread), when its headers are present.
// Cases: bulk throughput (16 MiB echoed per iteration, written from a second
// client thread), 64-byte request/response round trips, and batches of 100
// newline-terminated lines (the DispatchSocket and asio servers read by
// terminator; the epoll loop just echoes bytes). "dispatch_socket" runs each
// connection on the delegate's queue; "dispatch_socket_own_queues" gives each
// connection its own socket queue, so every callback crosses threads.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "net/sockets/dispatch_socket.h"

#ifdef VARNEL_BENCH_HAVE_ASIO
#include <asio.hpp>
#endif

namespace {

using net::sockets::Bytes;
using net::sockets::DispatchSocket;
using net::sockets::DispatchSocketPtr;

enum class Mode { Chunks, Lines };

class EchoServer {
 public:
  virtual ~EchoServer() = default;
  virtual std::uint16_t port() const = 0;
};

// --- client ------------------------------------------------------------------------------------

int connectTo(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
    throw std::runtime_error("connect failed");
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void sendAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    data += n;
    length -= static_cast<std::size_t>(n);
  }
}

void receiveAll(int fd, char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::recv(fd, data, length, 0);
    if (n <= 0) throw std::runtime_error("recv failed");
    data += n;
    length -= static_cast<std::size_t>(n);
  }
}

// --- baseline 1: single-threaded epoll echo loop ---------------------------------------------

class EpollEchoServer : public EchoServer {
 public:
  EpollEchoServer() {
    listenFD_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFD_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFD_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listenFD_, 64);
    socklen_t len = sizeof a;
    ::getsockname(listenFD_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    add(listenFD_, EPOLLIN);
    add(stop_, EPOLLIN);
    thread_ = std::thread([this] { run(); });
  }
  ~EpollEchoServer() override {
    std::uint64_t one = 1;
    (void)!::write(stop_, &one, sizeof one);
    thread_.join();
    for (auto& [fd, c] : connections_) ::close(fd);
    ::close(listenFD_);
    ::close(stop_);
    ::close(epoll_);
  }
  std::uint16_t port() const override { return port_; }

 private:
  struct Connection {
    std::vector<char> pending;  // bytes not yet echoed
    std::size_t offset = 0;
  };
  void add(int fd, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
  }
  void modify(int fd, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
  }
  void close(int fd) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    connections_.erase(fd);
  }
  // Writes what is pending; true when all is out.
  bool flush(int fd, Connection& c) {
    while (c.offset < c.pending.size()) {
      const ssize_t n =
          ::send(fd, c.pending.data() + c.offset, c.pending.size() - c.offset, MSG_NOSIGNAL);
      if (n < 0) return false;
      c.offset += static_cast<std::size_t>(n);
    }
    c.pending.clear();
    c.offset = 0;
    return true;
  }
  void run() {
    std::vector<char> buffer(65536);
    epoll_event events[64];
    for (;;) {
      const int n = ::epoll_wait(epoll_, events, 64, -1);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == stop_) return;
        if (fd == listenFD_) {
          for (int c;
               (c = ::accept4(listenFD_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            connections_[c];
            add(c, EPOLLIN);
          }
          continue;
        }
        Connection& c = connections_[fd];
        if (events[i].events & EPOLLOUT) {
          if (flush(fd, c)) modify(fd, EPOLLIN);
          continue;
        }
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0) {
          if (got == 0 || errno != EAGAIN) close(fd);
          continue;
        }
        c.pending.assign(buffer.data(), buffer.data() + got);
        if (!flush(fd, c)) modify(fd, EPOLLOUT);
      }
    }
  }
  int listenFD_ = -1, epoll_ = -1, stop_ = -1;
  std::uint16_t port_ = 0;
  std::unordered_map<int, Connection> connections_;
  std::thread thread_;
};

// --- the socket under test ----------------------------------------------------------------------

class DispatchEchoServer : public EchoServer, public net::sockets::DispatchSocketDelegate {
 public:
  static std::shared_ptr<DispatchEchoServer> make(Mode mode, bool sharedQueue) {
    auto server = std::shared_ptr<DispatchEchoServer>(new DispatchEchoServer(mode));
    server->sharedQueue_ = sharedQueue;
    server->listener_ = DispatchSocket::create(server, server->queue_);
    if (!server->listener_->acceptOnInterface("127.0.0.1", 0)) {
      throw std::runtime_error("listen failed");
    }
    server->listener_->performBlock([&] { server->port_ = server->listener_->localPort4(); });
    return server;
  }
  ~DispatchEchoServer() override {
    listener_->disconnect();
    auto closeAll = [this] {
      for (auto& c : connections_) c->disconnect();
      connections_.clear();
    };
    // The last reference may go away inside a callback, on the queue itself.
    if (queue_->isCurrent()) {
      closeAll();
    } else {
      queue_->sync(closeAll);
    }
  }
  std::uint16_t port() const override { return port_; }

  // With a shared queue each connection's socket queue is the delegate
  // queue: callbacks then run where the socket's state lives, with no hop
  // between threads. Otherwise every connection has its own socket queue.
  platform::dispatch::QueuePtr newSocketQueueForConnectionFromAddress(
      const Bytes&, const DispatchSocketPtr&) override {
    return sharedQueue_ ? queue_ : nullptr;
  }
  void socketDidAcceptNewSocket(const DispatchSocketPtr&, const DispatchSocketPtr& s) override {
    connections_.push_back(s);
    read(s);
  }
  void socketDidReadData(const DispatchSocketPtr& s, const net::sockets::SocketData& data,
                         long) override {
    s->writeData(data.bytes(), -1, 0);
    read(s);
  }

 private:
  explicit DispatchEchoServer(Mode mode)
      : mode_(mode), queue_(platform::dispatch::Queue::createSerial("echo")) {}
  void read(const DispatchSocketPtr& s) {
    if (mode_ == Mode::Lines) {
      s->readDataToData(DispatchSocket::LFData(), -1, 0);
    } else {
      s->readDataWithTimeout(-1, 0);
    }
  }
  Mode mode_;
  bool sharedQueue_ = true;
  platform::dispatch::QueuePtr queue_;
  DispatchSocketPtr listener_;
  std::vector<DispatchSocketPtr> connections_;  // on the delegate queue only
  std::uint16_t port_ = 0;
};

// --- baseline 2: standalone asio
// -------------------------------------------------------------------

#ifdef VARNEL_BENCH_HAVE_ASIO
class AsioEchoServer : public EchoServer {
 public:
  explicit AsioEchoServer(Mode mode)
      : mode_(mode),
        acceptor_(io_, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
        guard_(asio::make_work_guard(io_)) {
    port_ = acceptor_.local_endpoint().port();
    accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~AsioEchoServer() override {
    asio::post(io_, [this] {
      acceptor_.close();
      guard_.reset();
      io_.stop();
    });
    thread_.join();
  }
  std::uint16_t port() const override { return port_; }

 private:
  struct Session : std::enable_shared_from_this<Session> {
    Session(asio::ip::tcp::socket s, Mode m) : socket(std::move(s)), mode(m) {}
    void read() {
      auto self = shared_from_this();
      if (mode == Mode::Lines) {
        asio::async_read_until(socket, line, '\n', [self](std::error_code ec, std::size_t n) {
          if (ec) return;
          self->out.assign(asio::buffers_begin(self->line.data()),
                           asio::buffers_begin(self->line.data()) + static_cast<long>(n));
          self->line.consume(n);
          self->write(n);
        });
      } else {
        socket.async_read_some(asio::buffer(data), [self](std::error_code ec, std::size_t n) {
          if (ec) return;
          self->out.assign(self->data.data(), self->data.data() + n);
          self->write(n);
        });
      }
    }
    void write(std::size_t) {
      auto self = shared_from_this();
      asio::async_write(socket, asio::buffer(out), [self](std::error_code ec, std::size_t) {
        if (!ec) self->read();
      });
    }
    asio::ip::tcp::socket socket;
    Mode mode;
    std::array<char, 65536> data;
    asio::streambuf line;
    std::string out;
  };
  void accept() {
    acceptor_.async_accept([this](std::error_code ec, asio::ip::tcp::socket s) {
      if (ec) return;
      s.set_option(asio::ip::tcp::no_delay(true));
      std::make_shared<Session>(std::move(s), mode_)->read();
      accept();
    });
  }
  Mode mode_;
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};
#endif

std::shared_ptr<EchoServer> makeServer(int kind, Mode mode) {
  switch (kind) {
    case 0:
      return std::make_shared<EpollEchoServer>();
    case 1:
      return DispatchEchoServer::make(mode, true);
    case 3:
      return DispatchEchoServer::make(mode, false);
#ifdef VARNEL_BENCH_HAVE_ASIO
    case 2:
      return std::make_shared<AsioEchoServer>(mode);
#endif
    default:
      return nullptr;
  }
}

// --- cases ---------------------------------------------------------------------------------------

void BM_RoundTrip64(benchmark::State& state, int kind) {
  auto server = makeServer(kind, Mode::Chunks);
  const int fd = connectTo(server->port());
  char request[64], reply[64];
  std::memset(request, 'r', sizeof request);
  for (auto _ : state) {
    sendAll(fd, request, sizeof request);
    receiveAll(fd, reply, sizeof reply);
  }
  state.SetItemsProcessed(state.iterations());
  ::close(fd);
}

void BM_Bulk(benchmark::State& state, int kind) {
  auto server = makeServer(kind, Mode::Chunks);
  const int fd = connectTo(server->port());
  const std::size_t total = 16u << 20;
  std::vector<char> chunk(65536, 'b'), sink(1 << 20);
  for (auto _ : state) {
    std::thread writer([&] {
      for (std::size_t sent = 0; sent < total; sent += chunk.size()) {
        sendAll(fd, chunk.data(), chunk.size());
      }
    });
    for (std::size_t got = 0; got < total;) {
      const ssize_t n = ::recv(fd, sink.data(), sink.size(), 0);
      if (n <= 0) throw std::runtime_error("recv failed");
      got += static_cast<std::size_t>(n);
    }
    writer.join();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
  ::close(fd);
}

void BM_Lines(benchmark::State& state, int kind) {
  auto server = makeServer(kind, Mode::Lines);
  const int fd = connectTo(server->port());
  std::string batch;
  for (int i = 0; i < 100; ++i) batch += std::string(47, static_cast<char>('a' + i % 26)) + "\n";
  std::string reply(batch.size(), 0);
  for (auto _ : state) {
    sendAll(fd, batch.data(), batch.size());
    receiveAll(fd, reply.data(), reply.size());
  }
  state.SetItemsProcessed(state.iterations() * 100);
  ::close(fd);
}

BENCHMARK_CAPTURE(BM_Bulk, epoll_baseline, 0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Bulk, dispatch_socket, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RoundTrip64, epoll_baseline, 0)->UseRealTime();
BENCHMARK_CAPTURE(BM_RoundTrip64, dispatch_socket, 1)->UseRealTime();
BENCHMARK_CAPTURE(BM_Lines, epoll_baseline, 0)->UseRealTime();
BENCHMARK_CAPTURE(BM_Lines, dispatch_socket, 1)->UseRealTime();
BENCHMARK_CAPTURE(BM_Bulk, dispatch_socket_own_queues, 3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_RoundTrip64, dispatch_socket_own_queues, 3)->UseRealTime();
BENCHMARK_CAPTURE(BM_Lines, dispatch_socket_own_queues, 3)->UseRealTime();
#ifdef VARNEL_BENCH_HAVE_ASIO
BENCHMARK_CAPTURE(BM_Bulk, asio, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RoundTrip64, asio, 2)->UseRealTime();
BENCHMARK_CAPTURE(BM_Lines, asio, 2)->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
