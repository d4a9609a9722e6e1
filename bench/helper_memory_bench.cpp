// The resident memory of the VarnelHelper program: idle, after each kind of
// burst, and 10 s after each burst (what comes back by itself).
//
// The helper is started on demand by the launcher, the way the system starts
// it, inside a temporary root (nothing of the machine's own /etc or /run is
// used), with the system bus pointed at nothing. One connection plays the
// client and stays open all along. The rows, in this order:
//   idle     2 s after the helper answered its first request
//   cycles   100 connect cycles: an SSTP connection request, state polls
//            until the helper reports "connected", a disconnect request and
//            state polls until "disconnected". The SSTP client is a stand-in
//            recorded in the root's helper.conf that prints what the real
//            one prints once its tunnel is up and then waits to be ended, so
//            a cycle runs everything of the helper's own (the request's
//            checks, the secrets file, the child process and its output,
//            the state changes, the termination) without a VPN.
//   conn     10,000 connections of peers, kBurstWave open at once (all of
//            them where the descriptor limit allows), each sending one state
//            request and closing once every peer of its wave has the reply
//   large    one request carrying a 4 MiB string
//   nested   one request of dictionaries nested 60 deep (just within what
//            the channel accepts), each level holding 1,000 numbers: about
//            60,000 values
// and `<row>_10s` for each burst, 10 s after it. Each row reports VmRSS
// (`<row>_KiB`: everything resident, shared library pages included) and
// RssAnon (`<row>_anon_KiB`: the process's own memory) of /proc/<pid>/status,
// as counters, and the threads at idle and 10 s after the bursts. With
// VARNEL_BENCH_VERBOSE set, the rows are also printed as a table, with what
// the idle memory is made of (resident KiB per mapping: the program, each
// library, heap and stacks).
//
// VARNEL_BENCH_HELPER names another helper program to measure (an older
// build, for a side-by-side run). Run as root (the helper refuses peers that
// are neither root nor its client's user).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ipc/helper_protocol.h"
#include "ipc/xpc_connection.h"
#include "platform/dispatch/dispatch.h"
#include "platform/xpc/launcher.h"
#include "support/temp_root.h"

namespace {

using ipc::XPCConnection;
using ipc::XPCMessage;
using platform::Value;

constexpr int kConnectCycles = 100;
constexpr int kBurstConnections = 10000;
constexpr int kBurstWave = 10000;  // fewer when the descriptor limit is lower
constexpr int kNestedDepth = 60;
constexpr int kNestedWidth = 1000;
constexpr std::size_t kLargeBytes = 4u << 20;

bool verbose() { return std::getenv("VARNEL_BENCH_VERBOSE") != nullptr; }

// A number field of /proc/<pid>/status ("VmRSS", "RssAnon", "Threads").
long statusField(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// Resident KiB per mapping of /proc/<pid>/smaps: file mappings by file name,
// anonymous ones as "[anon]" (heap and thread stacks) or their kernel name.
std::vector<std::pair<std::string, long>> residentByMapping(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
  std::map<std::string, long> by;
  std::string line, name;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    // A mapping's line starts with its address range; its fields end in ':'.
    const auto space = line.find(' ');
    const bool header =
        space != std::string::npos && space > 0 && line[space - 1] != ':' && line.find('-') < space;
    if (header) {
      std::istringstream fields(line);
      std::string range, perms, offset, dev, inode;
      fields >> range >> perms >> offset >> dev >> inode;
      name.clear();
      std::getline(fields >> std::ws, name);
      if (name.empty()) name = "[anon]";
      const auto slash = name.rfind('/');
      if (slash != std::string::npos) name = name.substr(slash + 1);
      continue;
    }
    if (line.rfind("Rss:", 0) == 0) by[name] += std::atol(line.c_str() + 4);
  }
  std::vector<std::pair<std::string, long>> out(by.begin(), by.end());
  std::sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return a.second > b.second; });
  return out;
}

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
      ipc::kHelperServiceName, platform::xpc::Connection::kPrivileged);
  p.connection = XPCConnection::create(p.transport);
  p.connection->setReplyDispatchQueue(platform::dispatch::Queue::global());
  p.connection->setEventHandler([](const XPCMessage&, const std::shared_ptr<XPCConnection>&) {});
  return p;
}

XPCMessage request(const char* operation) {
  XPCMessage m;
  m.setObject(Value(std::string(operation)), ipc::kOperationKey);
  m.setNeedsDirectReply(true);
  return m;
}

XPCMessage stateRequest() { return request(ipc::kCurrentConnectionStateOperation); }

// Sends `m` on each connection at once and waits for every reply; the
// replies, or nothing when one failed or did not come within 60 s.
std::optional<std::vector<XPCMessage>> sendTo(const std::vector<XPCConnection*>& connections,
                                              const XPCMessage& m) {
  struct Wait {
    std::mutex mutex;
    std::condition_variable cv;
    std::size_t pending = 0;
    bool failed = false;
    std::vector<XPCMessage> replies;
  };
  auto w = std::make_shared<Wait>();
  w->pending = connections.size();
  w->replies.resize(connections.size());
  for (std::size_t i = 0; i < connections.size(); ++i) {
    auto done = [w, i](const XPCMessage* reply) {
      std::lock_guard<std::mutex> lock(w->mutex);
      if (reply) {
        w->replies[i] = *reply;
      } else {
        w->failed = true;
      }
      if (--w->pending == 0) w->cv.notify_all();
    };
    connections[i]->sendMessage(
        m, [done](const XPCMessage& reply) { done(&reply); },
        [done](const platform::Error&) { done(nullptr); });
  }
  std::unique_lock<std::mutex> lock(w->mutex);
  if (!w->cv.wait_for(lock, std::chrono::seconds(60), [&] { return w->pending == 0; }) ||
      w->failed) {
    return std::nullopt;
  }
  return std::move(w->replies);
}

std::optional<XPCMessage> send(const Peer& peer, const XPCMessage& m) {
  auto replies = sendTo({peer.connection.get()}, m);
  if (!replies) return std::nullopt;
  return replies->front();
}

// Polls the helper's state every 5 ms until it is `wanted` (false after 20 s).
bool awaitState(const Peer& client, std::int64_t wanted) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    auto reply = send(client, stateRequest());
    if (!reply) return false;
    if (reply->integerForKey(ipc::kXPCResultKey) == wanted) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool writeFile(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  out.close();
  return out && ::chmod(path.c_str(), mode) == 0;
}

// The stand-in SSTP client and the installation's record of it.
struct SSTPStandIn {
  std::string executable, options;
};

std::optional<SSTPStandIn> installSSTPStandIn(const varnel::testing::TempRoot& root) {
  SSTPStandIn s{root.file("inst/sstpc"), root.file("inst/sstp-options")};
  const std::string etc = root.systemRoot() + "/etc/varnel";
  std::error_code ec;
  std::filesystem::create_directories(root.file("inst"), ec);
  std::filesystem::create_directories(etc, ec);
  if (ec || ::chmod(root.file("inst").c_str(), 0755) != 0) return std::nullopt;
  if (!writeFile(s.executable, "#!/bin/sh\necho \"Connection Established\"\nexec sleep 600\n",
                 0755) ||
      !writeFile(s.options, "noipdefault\n", 0644) ||
      !writeFile(etc + "/helper.conf",
                 "Executable=" + s.executable + "\nSSTPOptions=" + s.options + "\n", 0644)) {
    return std::nullopt;
  }
  return s;
}

// One connect cycle on the client's connection; false when a step failed.
bool connectCycle(const Peer& client, const SSTPStandIn& sstp) {
  XPCMessage connect = request(ipc::kSSTPConnectionRequest);
  connect.setObject(Value(sstp.executable), ipc::kSSTPLocationKey);
  connect.setObject(Value(sstp.options), ipc::kSSTPOptionsKey);
  connect.setObject(Value(std::string("alice")), ipc::kUsernameKey);
  connect.setObject(Value(std::string("bench-secret")), ipc::kPasswordKey);
  connect.setObject(Value(std::string("vpn.test")), ipc::kHostKey);
  if (!send(client, connect) || !awaitState(client, ipc::kHelperStateConnected)) return false;
  return send(client, request(ipc::kDisconnectConnectionOperation)) &&
         awaitState(client, ipc::kHelperStateDisconnected);
}

// How many peers may be open at once: the wave, within the descriptor
// limit (raised to its hard limit) of this process and so of the helper,
// which the launcher starts from it.
int burstWave() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  const long room = static_cast<long>(limit.rlim_cur) - 200;
  return static_cast<int>(std::clamp<long>(room, 100, kBurstWave));
}

Value nestedValue() {
  Value inner = Value(std::string("leaf"));
  for (int d = 0; d < kNestedDepth; ++d) {
    Value level = Value::mutableDictionary();
    for (int i = 0; i < kNestedWidth; ++i) level.set("n" + std::to_string(i), Value(i));
    level.set("next", inner);
    inner = level.copy();
  }
  return inner;
}

void HelperMemory(benchmark::State& state) {
  const int wave = burstWave();
  varnel::testing::TempRoot root;
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/varnel-bench-bus", 1);
  const char* other = std::getenv("VARNEL_BENCH_HELPER");
  const std::string program = other && *other ? other : VARNEL_HELPER_PATH;
  auto sstp = installSSTPStandIn(root);
  if (!sstp) {
    state.SkipWithError("cannot write the stand-in SSTP client");
    return;
  }
  std::mutex mutex;
  pid_t helper = 0;
  platform::xpc::Launcher launcher(platform::dispatch::Queue::createSerial("bench.launcher"));
  launcher.setObserver([&](const std::string&, pid_t pid, int) {
    std::lock_guard<std::mutex> lock(mutex);
    if (pid > 0) helper = pid;
  });
  platform::Error error;
  if (!launcher.addRecord({ipc::kHelperServiceName, program, {}, {ipc::kHelperServiceName}},
                          &error)) {
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

  std::vector<std::pair<std::string, std::pair<long, long>>> rows;
  auto record = [&](const std::string& row) {
    const long rss = statusField(pid, "VmRSS"), anon = statusField(pid, "RssAnon");
    state.counters[row + "_KiB"] = static_cast<double>(rss);
    state.counters[row + "_anon_KiB"] = static_cast<double>(anon);
    rows.push_back({row, {rss, anon}});
    if (verbose()) std::fprintf(stderr, "row %s pid %d: %ld %ld\n", row.c_str(), pid, rss, anon);
  };
  // The client's request after a burst keeps it the helper's latest
  // requester (the end of that one's connection ends the helper).
  auto afterBurst = [&](const std::string& row) {
    if (!send(client, stateRequest())) state.SkipWithError("the helper stopped answering");
    record(row);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    record(row + "_10s");
  };

  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    record("idle");
    state.counters["idle_threads"] = static_cast<double>(statusField(pid, "Threads"));
    const auto idleMappings = residentByMapping(pid);

    for (int i = 0; i < kConnectCycles; ++i) {
      if (!connectCycle(client, *sstp)) {
        state.SkipWithError("a connect cycle failed");
        break;
      }
    }
    afterBurst("cycles");

    for (int done = 0; done < kBurstConnections; done += wave) {
      std::vector<Peer> peers;
      const int count = std::min(wave, kBurstConnections - done);
      peers.reserve(static_cast<std::size_t>(count));
      for (int i = 0; i < count; ++i) peers.push_back(connect());
      std::vector<XPCConnection*> connections;
      for (const Peer& p : peers) connections.push_back(p.connection.get());
      if (!sendTo(connections, stateRequest())) state.SkipWithError("a peer got no reply");
    }
    afterBurst("conn");

    {
      auto peer = connect();
      XPCMessage large = stateRequest();
      large.setObject(Value(std::string(kLargeBytes, 'x')), "padding");
      if (!send(peer, large)) state.SkipWithError("the large request got no reply");
    }
    afterBurst("large");

    {
      auto peer = connect();
      XPCMessage deep = stateRequest();
      deep.setObject(nestedValue(), "padding");
      if (!send(peer, deep)) state.SkipWithError("the nested request got no reply");
    }
    afterBurst("nested");
    state.counters["after_threads"] = static_cast<double>(statusField(pid, "Threads"));

    if (verbose()) {
      std::fprintf(stderr, "helper %s, pid %d; peers open at once: %d\n", program.c_str(), pid,
                   wave);
      std::fprintf(stderr, "%-12s %10s %10s\n", "row", "VmRSS KiB", "RssAnon KiB");
      for (const auto& [row, kib] : rows)
        std::fprintf(stderr, "%-12s %10ld %10ld\n", row.c_str(), kib.first, kib.second);
      std::fprintf(stderr, "resident at idle by mapping (KiB):\n");
      for (const auto& [name, kib] : idleMappings)
        if (kib > 0) std::fprintf(stderr, "  %6ld  %s\n", kib, name.c_str());
    }
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
