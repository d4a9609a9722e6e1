// Message channel between two processes: round-trip latency and messages per
// second, against a baseline of a raw Unix-socket ping-pong carrying the same
// payload (a 4-byte length and the bytes, echoed by a blocking loop).
//
// Both servers are forked before the benchmark starts any thread.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ipc/xpc_connection.h"
#include "ipc/xpc_parse.h"
#include "ipc/xpc_service.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"
#include "platform/xpc/wire_codec.h"

namespace {

constexpr const char* kService = "VarnelChannelBench";
int gRawSocket = -1;
pid_t gChannelServer = -1, gRawServer = -1;
std::string gRoot;

bool readAll(int fd, void* p, std::size_t n) {
  auto* b = static_cast<std::uint8_t*>(p);
  while (n > 0) {
    ssize_t r = ::read(fd, b, n);
    if (r <= 0) return false;
    b += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool writeAll(int fd, const void* p, std::size_t n) {
  auto* b = static_cast<const std::uint8_t*>(p);
  while (n > 0) {
    ssize_t r = ::send(fd, b, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    b += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

[[noreturn]] void rawServer(int fd) {
  std::vector<std::uint8_t> buf;
  for (;;) {
    std::uint32_t len;
    if (!readAll(fd, &len, 4)) ::_exit(0);
    buf.resize(len);
    if (!readAll(fd, buf.data(), len) || !writeAll(fd, &len, 4) || !writeAll(fd, buf.data(), len)) {
      ::_exit(0);
    }
  }
}

[[noreturn]] void channelServer(int readyFd) {
  auto service = ipc::XPCService::create(
      [](const std::shared_ptr<ipc::XPCConnection>& c) {
        c->setEventHandler(
            [](const ipc::XPCMessage& m, const std::shared_ptr<ipc::XPCConnection>& conn) {
              if (!m.getXPCDictionary().get(ipc::kXPCErrorKey).isNone()) ::_exit(0);
              ipc::XPCMessage reply = ipc::XPCMessage::messageReplyForMessage(&m);
              reply.setObject(m.objectForKey("payload"), "result");
              conn->sendMessage(reply);
            });
      },
      ipc::XPCService::admitEveryPeerForTesting());
  platform::dispatch::Queue::main()->async([readyFd] {
    ipc::XPCService::runMachService(kService);
    char c = 1;
    (void)!::write(readyFd, &c, 1);
  });
  platform::runloop::RunLoop::main().run();
  (void)service;
  ::_exit(0);
}

platform::Value payloadOf(std::size_t size) {
  return platform::Value::data(platform::Bytes(size, 0x5A));
}

std::shared_ptr<ipc::XPCConnection> channel() {
  static std::shared_ptr<ipc::XPCConnection> c = [] {
    auto conn = ipc::XPCConnection::createWithServiceName(kService);
    conn->setEventHandler(
        [](const ipc::XPCMessage&, const std::shared_ptr<ipc::XPCConnection>&) {});
    conn->setReplyDispatchQueue(platform::dispatch::Queue::createSerial("bench.replies"));
    return conn;
  }();
  return c;
}

void BM_ChannelRoundTrip(benchmark::State& state) {
  auto c = channel();
  platform::Value payload = payloadOf(static_cast<std::size_t>(state.range(0)));
  platform::dispatch::Semaphore done;
  for (auto _ : state) {
    ipc::XPCMessage m;
    m.setObject(payload, "payload");
    c->sendMessage(m, [&](const ipc::XPCMessage&) { done.signal(); });
    done.wait();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
}

void BM_RawSocketPingPong(benchmark::State& state) {
  std::vector<std::uint8_t> payload(static_cast<std::size_t>(state.range(0)), 0x5A), back;
  for (auto _ : state) {
    std::uint32_t len = static_cast<std::uint32_t>(payload.size());
    writeAll(gRawSocket, &len, 4);
    writeAll(gRawSocket, payload.data(), payload.size());
    readAll(gRawSocket, &len, 4);
    back.resize(len);
    readAll(gRawSocket, back.data(), len);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
}

// 100 requests in flight at once per iteration: messages per second when the
// sender does not wait for each reply.
void BM_ChannelPipelined(benchmark::State& state) {
  auto c = channel();
  platform::Value payload = payloadOf(static_cast<std::size_t>(state.range(0)));
  constexpr int kBatch = 100;
  for (auto _ : state) {
    std::atomic<int> left{kBatch};
    platform::dispatch::Semaphore done;
    for (int i = 0; i < kBatch; ++i) {
      ipc::XPCMessage m;
      m.setObject(payload, "payload");
      c->sendMessage(m, [&](const ipc::XPCMessage&) {
        if (--left == 0) done.signal();
      });
    }
    done.wait();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_RawSocketPipelined(benchmark::State& state) {
  std::vector<std::uint8_t> payload(static_cast<std::size_t>(state.range(0)), 0x5A), back;
  constexpr int kBatch = 100;
  for (auto _ : state) {
    // Write the batch from another thread so neither side's buffer fills up.
    std::thread writer([&] {
      for (int i = 0; i < kBatch; ++i) {
        std::uint32_t len = static_cast<std::uint32_t>(payload.size());
        writeAll(gRawSocket, &len, 4);
        writeAll(gRawSocket, payload.data(), payload.size());
      }
    });
    for (int i = 0; i < kBatch; ++i) {
      std::uint32_t len;
      readAll(gRawSocket, &len, 4);
      back.resize(len);
      readAll(gRawSocket, back.data(), len);
    }
    writer.join();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// What a received request of N keys costs its connection's queue: decoding
// the payload, checking it against the conversion budget and converting it.
// Linear in N; 200,000 keys must stay well under a second.
void BM_DecodeLargeDictionary(benchmark::State& state) {
  const auto keys = static_cast<std::size_t>(state.range(0));
  platform::xpc::ChannelValue d = platform::xpc::ChannelValue::dictionary();
  for (std::size_t i = 0; i < keys; ++i)
    d.set("k" + std::to_string(i), platform::xpc::ChannelValue::int64(std::int64_t(i)));
  auto encoded = platform::xpc::wire::encode(d);
  if (!encoded) {
    state.SkipWithError("encoding failed");
    return;
  }
  for (auto _ : state) {
    auto decoded = platform::xpc::wire::decode(encoded->bytes.data(), encoded->bytes.size(), {});
    if (!decoded || !ipc::XPCParse::fitsConversionBudget(*decoded)) {
      state.SkipWithError("decoding failed");
      return;
    }
    platform::Value converted = ipc::XPCParse::dictionaryWithContentsOfXPCObject(*decoded);
    benchmark::DoNotOptimize(converted);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(encoded->bytes.size()));
}

// Wall-clock time: the waiting is the point.
BENCHMARK(BM_ChannelRoundTrip)->Arg(64)->Arg(4096)->Arg(65536)->UseRealTime();
BENCHMARK(BM_RawSocketPingPong)->Arg(64)->Arg(4096)->Arg(65536)->UseRealTime();
BENCHMARK(BM_ChannelPipelined)->Arg(64)->Arg(4096)->UseRealTime();
BENCHMARK(BM_RawSocketPipelined)->Arg(64)->Arg(4096)->UseRealTime();
BENCHMARK(BM_DecodeLargeDictionary)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/vbench-XXXXXX";
  gRoot = ::mkdtemp(tmpl);
  ::setenv("VARNEL_ROOT", gRoot.c_str(), 1);

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 1;
  gRawServer = ::fork();
  if (gRawServer == 0) {
    ::close(pair[0]);
    rawServer(pair[1]);
  }
  ::close(pair[1]);
  gRawSocket = pair[0];

  int ready[2];
  if (::pipe(ready) != 0) return 1;
  gChannelServer = ::fork();
  if (gChannelServer == 0) {
    ::close(ready[0]);
    channelServer(ready[1]);
  }
  ::close(ready[1]);
  char c;
  if (::read(ready[0], &c, 1) != 1) return 1;
  ::close(ready[0]);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  ::close(gRawSocket);
  ::kill(gChannelServer, SIGTERM);
  ::waitpid(gChannelServer, nullptr, 0);
  ::waitpid(gRawServer, nullptr, 0);
  std::error_code ec;
  std::filesystem::remove_all(gRoot, ec);
  return 0;
}
