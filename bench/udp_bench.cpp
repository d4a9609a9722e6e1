// Datagrams per second through DispatchUdpSocket on loopback, 64-byte and
// 1400-byte datagrams, against a baseline of plain blocking sockets: one
// send() per datagram on the sending side and a thread doing one recv() per
// datagram on the receiving side (no batching calls).
//
// Each iteration sends a burst of kBurst datagrams and waits until the
// receiver has counted them all (or a one-second safety time-out, counted as
// drops), so both sides are measured end to end.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "net/sockets/socket_address.h"
#include "net/sockets/udp_socket.h"

namespace {

using net::sockets::Bytes;
using net::sockets::DispatchUdpSocket;
using platform::dispatch::Queue;

// Small enough for the 128 KiB receive buffer of the sockets under test.
constexpr int kBurst = 32;

// Counts received datagrams and lets the sender wait for a total.
class Counter {
 public:
  void add() {
    std::lock_guard lock(mutex_);
    ++count_;
    if (count_ >= target_) cv_.notify_one();
  }
  // Waits until `target` datagrams arrived in all; answers how many did.
  std::int64_t waitFor(std::int64_t target) {
    std::unique_lock lock(mutex_);
    target_ = target;
    cv_.wait_for(lock, std::chrono::seconds(1), [&] { return count_ >= target; });
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::int64_t count_ = 0;
  std::int64_t target_ = 0;
};

class CountingDelegate : public net::sockets::DispatchUdpSocketDelegate {
 public:
  void udpSocketDidReceiveData(const std::shared_ptr<DispatchUdpSocket>&,
                               const std::shared_ptr<const Bytes>&, const Bytes&,
                               const std::shared_ptr<void>&) override {
    counter.add();
  }
  Counter counter;
};

void reportRate(benchmark::State& state, std::int64_t received, std::int64_t sent) {
  state.SetItemsProcessed(received);
  state.SetBytesProcessed(received * state.range(0));
  state.counters["datagrams/s"] =
      benchmark::Counter(static_cast<double>(received), benchmark::Counter::kIsRate);
  state.counters["dropped"] = static_cast<double>(sent - received);
}

void BM_DispatchUdpSocket(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  auto delegate = std::make_shared<CountingDelegate>();
  auto senderDelegate = std::make_shared<net::sockets::DispatchUdpSocketDelegate>();
  auto receiver = DispatchUdpSocket::create(delegate, Queue::createSerial("bench.receiver"));
  auto sender = DispatchUdpSocket::create(senderDelegate, Queue::createSerial("bench.sender"));
  platform::Error error;
  if (!receiver->bindToAddress(net::sockets::loopbackAddress4(0), &error) ||
      !receiver->beginReceiving(&error) ||
      !sender->connectToAddress(net::sockets::loopbackAddress4(receiver->localPort()), &error)) {
    state.SkipWithError(error.description().c_str());
    return;
  }
  auto datagram = std::make_shared<const Bytes>(size, 0x5a);
  std::int64_t sent = 0;
  std::int64_t received = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) sender->sendData(datagram, i);
    sent += kBurst;
    received = delegate->counter.waitFor(sent);
  }
  reportRate(state, received, sent);
  sender->close();
  receiver->close();
}

void BM_BlockingBaseline(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const int in = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int out = ::socket(AF_INET, SOCK_DGRAM, 0);
  // The same kernel buffer size as the sockets under test ask for.
  const int buffer = 65535;
  ::setsockopt(in, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  ::setsockopt(out, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  Bytes any = net::sockets::loopbackAddress4(0);
  ::bind(in, reinterpret_cast<const sockaddr*>(any.data()), sizeof(sockaddr_in));
  Bytes to = net::sockets::localAddressOfSocket(in);
  ::connect(out, reinterpret_cast<const sockaddr*>(to.data()), sizeof(sockaddr_in));
  Counter counter;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    Bytes buf(65535);
    while (!stop) {
      if (::recv(in, buf.data(), buf.size(), 0) >= 0 && !stop) counter.add();
    }
  });
  Bytes datagram(size, 0x5a);
  std::int64_t sent = 0;
  std::int64_t received = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) ::send(out, datagram.data(), datagram.size(), 0);
    sent += kBurst;
    received = counter.waitFor(sent);
  }
  reportRate(state, received, sent);
  stop = true;
  ::send(out, datagram.data(), datagram.size(), 0);  // wakes the reader
  reader.join();
  ::close(in);
  ::close(out);
}

BENCHMARK(BM_DispatchUdpSocket)->Arg(64)->Arg(1400)->UseRealTime();
BENCHMARK(BM_BlockingBaseline)->Arg(64)->Arg(1400)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
