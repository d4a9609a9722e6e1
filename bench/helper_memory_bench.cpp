// The resident memory of the VarnelHelper program: idle, after bursts, and
// 10 s after each burst (what the allocator gives back by itself).
//
// The helper is started on demand by the launcher, the way the system starts
// it, inside a temporary root (nothing of the machine's own /run is used),
// with the system bus pointed at nothing. One connection plays the client
// and stays open all along; the bursts are:
//   connections  1,000 peers (100 at a time) that each connect, send one
//                request, get the reply and close; twice (conn, conn2), so
//                that growth per connection shows apart from a high-water
//                mark
//   large        one request carrying a 4 MiB string
//   nested       one request carrying arrays nested 60 deep (just within
//                what the channel accepts)
// After each burst the client sends a request again, so that it stays the
// helper's client (the end of the latest requester's connection ends the
// helper). Rows: RSS in KiB, from /proc/<pid>/status (VmRSS), as counters.
// Run as root (the helper refuses peers that are neither root nor its
// client's user).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipc/xpc_connection.h"
#include "platform/dispatch/dispatch.h"
#include "platform/xpc/launcher.h"
#include "support/temp_root.h"

namespace {

using ipc::XPCConnection;
using ipc::XPCMessage;
using platform::Value;

// A number field of /proc/<pid>/status ("VmRSS", "RssAnon", "Threads").
long statusField(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}
long rssKiB(pid_t pid) { return statusField(pid, "VmRSS"); }

// A peer: the wrapper, and its transport, which is cancelled to close the
// socket (the transport holds the wrapper while the connection is valid, so
// dropping the wrapper alone leaves the socket open).
struct Peer {
  std::shared_ptr<platform::xpc::Connection> transport;
  std::shared_ptr<XPCConnection> connection;
  Peer() = default;
  Peer(Peer&&) = default;
  Peer& operator=(Peer&&) = default;
  ~Peer() {
    if (transport) transport->cancel();
  }
};

Peer connect() {
  Peer p;
  p.transport = platform::xpc::Connection::createMachService(
      "VarnelHelper", platform::xpc::Connection::kPrivileged);
  p.connection = XPCConnection::create(p.transport);
  p.connection->setReplyDispatchQueue(platform::dispatch::Queue::global());
  p.connection->setEventHandler([](const XPCMessage&, const std::shared_ptr<XPCConnection>&) {});
  return p;
}

XPCMessage stateRequest() {
  XPCMessage m;
  m.setObject(Value(std::string("CurrentConnectionState")), "operation");
  m.setNeedsDirectReply(true);
  return m;
}

// Sends `m` on each connection at once and waits for every reply (or error).
bool sendTo(const std::vector<XPCConnection*>& connections, const XPCMessage& m) {
  std::mutex mutex;
  std::condition_variable cv;
  std::size_t pending = connections.size();
  std::size_t replies = 0;
  for (XPCConnection* c : connections) {
    auto done = [&](bool ok) {
      std::lock_guard<std::mutex> lock(mutex);
      replies += ok ? 1 : 0;
      if (--pending == 0) cv.notify_all();
    };
    c->sendMessage(
        m, [done](const XPCMessage&) { done(true); },
        [done](const platform::Error&) { done(false); });
  }
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait_for(lock, std::chrono::seconds(30), [&] { return pending == 0; });
  return pending == 0 && replies == connections.size();
}

bool sendAll(const std::vector<Peer>& peers, const XPCMessage& m) {
  std::vector<XPCConnection*> connections;
  for (const Peer& p : peers) connections.push_back(p.connection.get());
  return sendTo(connections, m);
}

bool send(const Peer& peer, const XPCMessage& m) { return sendTo({peer.connection.get()}, m); }

void HelperMemory(benchmark::State& state) {
  varnel::testing::TempRoot root;
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/varnel-bench-bus", 1);
  std::mutex mutex;
  pid_t helper = 0;
  platform::xpc::Launcher launcher(platform::dispatch::Queue::createSerial("bench.launcher"));
  launcher.setObserver([&](const std::string&, pid_t pid, int) {
    std::lock_guard<std::mutex> lock(mutex);
    if (pid > 0) helper = pid;
  });
  platform::Error error;
  if (!launcher.addRecord({"VarnelHelper", VARNEL_HELPER_PATH, {}, {"VarnelHelper"}}, &error)) {
    state.SkipWithError(("launcher: " + error.description()).c_str());
    return;
  }
  auto client = connect();
  if (!send(client, stateRequest())) {
    state.SkipWithError("the helper did not answer");
    launcher.stop();
    return;
  }
  const pid_t pid = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return helper;
  }();
  auto settle = [] { std::this_thread::sleep_for(std::chrono::seconds(10)); };

  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    state.counters["idle_KiB"] = static_cast<double>(rssKiB(pid));
    state.counters["idle_anon_KiB"] = static_cast<double>(statusField(pid, "RssAnon"));
    state.counters["idle_threads"] = static_cast<double>(statusField(pid, "Threads"));
    if (std::getenv("VARNEL_BENCH_VERBOSE")) std::fprintf(stderr, "helper pid %d\n", pid);

    for (const char* round : {"conn", "conn2"}) {
      for (int batch = 0; batch < 10; ++batch) {
        std::vector<Peer> peers;
        for (int i = 0; i < 100; ++i) peers.push_back(connect());
        if (!sendAll(peers, stateRequest())) state.SkipWithError("a peer got no reply");
        send(client, stateRequest());
        peers.clear();
      }
      send(client, stateRequest());
      const std::string name = round;
      state.counters[name + "_burst_KiB"] = static_cast<double>(rssKiB(pid));
      settle();
      state.counters[name + "_10s_KiB"] = static_cast<double>(rssKiB(pid));
      state.counters[name + "_10s_threads"] = static_cast<double>(statusField(pid, "Threads"));
    }

    {
      auto peer = connect();
      XPCMessage large = stateRequest();
      large.setObject(Value(std::string(4u << 20, 'x')), "padding");
      send(peer, large);
      send(client, stateRequest());
    }
    send(client, stateRequest());
    state.counters["large_KiB"] = static_cast<double>(rssKiB(pid));
    settle();
    state.counters["large_10s_KiB"] = static_cast<double>(rssKiB(pid));

    {
      auto peer = connect();
      Value nested = Value::array({Value(std::string("leaf"))});
      for (int d = 0; d < 60; ++d) nested = Value::array({nested});
      XPCMessage deep = stateRequest();
      deep.setObject(nested, "padding");
      send(peer, deep);
      send(client, stateRequest());
    }
    send(client, stateRequest());
    state.counters["nested_KiB"] = static_cast<double>(rssKiB(pid));
    settle();
    state.counters["nested_10s_KiB"] = static_cast<double>(rssKiB(pid));
  }
  client = Peer();
  launcher.stop();
  if (pid > 0) {
    // The client's connection is gone: the helper ends by itself.
    for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

BENCHMARK(HelperMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
