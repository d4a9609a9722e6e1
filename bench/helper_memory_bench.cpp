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
// HelperFlood (below) measures the helper's answers and memory during and
// after a burst of 200,000 connections from another process.
//
// VARNEL_BENCH_HELPER names another helper program to measure (an older
// build, for a side-by-side run). Run as root (the helper refuses peers that
// are neither root nor its client's user).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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
#include "platform/system/paths.h"
#include "platform/xpc/channel_value.h"
#include "platform/xpc/launcher.h"
#include "platform/xpc/service_names.h"
#include "platform/xpc/wire_codec.h"
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

// ---------------------------------------------------------------------------
// HelperFlood: 200,000 connect-and-close connections from another process,
// as fast as it can make them, while root and the authorized user ask the
// helper for its state: root on the connection it holds (every 20 ms) and
// on a new connection each time (every 50 ms), the authorized user (another
// process) on a new connection each time (every 50 ms). The flooder is
//   /refused     another local user, whom the helper does not serve (the
//                socket is open to several users);
//   /authorized  the authorized user themselves (a program of theirs, or a
//                library injected into their client).
// Counters: the longest wait for an answer of each asker (`*_max_ms`) and
// the requests that got none (`unanswered`), the flood's length and rate,
// RssAnon of the helper at idle and 10 s after the flood, and the
// difference (`anon_growth_KiB`). Goal: every answer within 1 s, memory
// back within 2 MB of idle 10 s after.

constexpr int kFloodConnections = 200000;
constexpr uid_t kFloodAuthorizedUser = 4242;
constexpr uid_t kFloodOtherUser = 65534;

// One state request on a raw connection: the milliseconds until its reply,
// or -1 when none came within 10 s. System calls and the wire codec only
// (usable in a forked child).
double rawRequestMillis(const sockaddr_un& addr) {
  namespace wire = platform::xpc::wire;
  using platform::xpc::ChannelValue;
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return -1;
  ChannelValue message = ChannelValue::dictionary();
  message.set(ipc::kOperationKey, ChannelValue::string(ipc::kCurrentConnectionStateOperation));
  message.set("__directReply", ChannelValue::boolean(true));
  auto encoded = wire::encode(message);
  if (!encoded) return -1;
  wire::FrameHeader header;
  header.length = static_cast<std::uint32_t>(encoded->bytes.size());
  header.wantsReply = true;
  header.serial = 1;
  std::vector<std::uint8_t> frame(wire::kHeaderSize);
  wire::writeHeader(header, frame.data());
  frame.insert(frame.end(), encoded->bytes.begin(), encoded->bytes.end());
  if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
    return -1;
  std::vector<std::uint8_t> in;
  const auto deadline = start + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    wire::FrameHeader h;
    if (in.size() >= wire::kHeaderSize && wire::readHeader(in.data(), &h) &&
        in.size() >= wire::kHeaderSize + h.length) {
      return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
          .count();
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    std::uint8_t buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return -1;
    in.insert(in.end(), buffer, buffer + n);
  }
  return -1;
}

bool becomeUser(uid_t uid) {
  return ::setgroups(0, nullptr) == 0 && ::setresgid(uid, uid, uid) == 0 &&
         ::setresuid(uid, uid, uid) == 0;
}

// What an asker saw: its longest wait and its requests without an answer.
struct Asked {
  double maxMillis = 0;
  long unanswered = 0;
  long asked = 0;
  void add(double millis) {
    ++asked;
    if (millis < 0) {
      ++unanswered;
    } else {
      maxMillis = std::max(maxMillis, millis);
    }
  }
};

// The authorized user asking on new connections every 50 ms, in a child
// process, until the other end of `stop` (stop[1]) is closed; the child
// writes its Asked to out[1].
pid_t startUserAsker(const sockaddr_un& addr, const int stop[2], const int out[2]) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  ::close(stop[1]);
  ::close(out[0]);
  Asked asked;
  if (becomeUser(kFloodAuthorizedUser)) {
    for (;;) {
      pollfd p{stop[0], POLLIN, 0};
      if (::poll(&p, 1, 50) != 0) break;
      asked.add(rawRequestMillis(addr));
    }
  } else {
    asked.unanswered = -1;
  }
  (void)!::write(out[1], &asked, sizeof asked);
  ::_exit(0);
}

void HelperFlood(benchmark::State& state) {
  const bool byAuthorizedUser = state.range(0) == 1;
  varnel::testing::TempRoot root;
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/varnel-bench-bus", 1);
  if (::geteuid() != 0) {
    state.SkipWithError("needs root to play the other users");
    return;
  }
  // Two users, so the socket stays open to every user and the peer check
  // decides; no client program named, so the user's own programs count.
  const std::string etc = root.systemRoot() + "/etc/varnel";
  std::error_code ec;
  std::filesystem::create_directories(etc, ec);
  if (ec || !writeFile(etc + "/helper.conf",
                       "User=" + std::to_string(kFloodAuthorizedUser) +
                           "\nUser=" + std::to_string(kFloodAuthorizedUser + 1) + "\n",
                       0644)) {
    state.SkipWithError("cannot write the configuration");
    return;
  }
  const char* other = std::getenv("VARNEL_BENCH_HELPER");
  const std::string program = other && *other ? other : VARNEL_HELPER_PATH;
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
  // Other users reach the socket's folder.
  for (std::filesystem::path d = platform::paths::runtime(); d != d.root_path();
       d = d.parent_path()) {
    struct stat st {};
    if (::stat(d.c_str(), &st) == 0) ::chmod(d.c_str(), (st.st_mode & 07777) | 0111);
  }
  ::chmod(platform::paths::runtime().c_str(), 0777);
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
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, platform::xpc::socketPathForService(ipc::kHelperServiceName).c_str(),
               sizeof addr.sun_path - 1);

  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long idle = statusField(pid, "RssAnon");
    state.counters["idle_anon_KiB"] = static_cast<double>(idle);

    int stopPipe[2], outPipe[2];
    if (::pipe2(stopPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0) {
      state.SkipWithError("pipe");
      break;
    }
    const pid_t asker = startUserAsker(addr, stopPipe, outPipe);
    ::close(outPipe[1]);
    const auto floodStart = std::chrono::steady_clock::now();
    const pid_t flooder = ::fork();
    if (flooder == 0) {
      for (int fd : {stopPipe[0], stopPipe[1], outPipe[0]}) ::close(fd);
      if (!becomeUser(byAuthorizedUser ? kFloodAuthorizedUser : kFloodOtherUser)) ::_exit(2);
      for (int i = 0; i < kFloodConnections; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) ::_exit(3);
        (void)::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        ::close(fd);
      }
      ::_exit(0);
    }
    // Root, on its open connection and on new ones, until the flood is over.
    Asked rootOpen, rootNew;
    std::atomic<bool> flooding{true};
    std::thread newAsker([&] {
      while (flooding.load()) {
        const auto start = std::chrono::steady_clock::now();
        auto peer = connect();
        const bool answered = send(peer, stateRequest()).has_value();
        rootNew.add(answered ? std::chrono::duration<double, std::milli>(
                                   std::chrono::steady_clock::now() - start)
                                   .count()
                             : -1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
    for (;;) {
      int status = 0;
      if (::waitpid(flooder, &status, WNOHANG) == flooder) {
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("flooder failed");
        break;
      }
      const auto start = std::chrono::steady_clock::now();
      const bool answered = send(client, stateRequest()).has_value();
      rootOpen.add(answered ? std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now() - start)
                                  .count()
                            : -1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double floodSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - floodStart).count();
    flooding = false;
    newAsker.join();
    ::close(stopPipe[1]);
    Asked user;
    if (::read(outPipe[0], &user, sizeof user) != sizeof user) user.unanswered = -1;
    ::waitpid(asker, nullptr, 0);
    for (int fd : {stopPipe[0], outPipe[0]}) ::close(fd);

    if (!send(client, stateRequest())) state.SkipWithError("the helper stopped answering");
    state.counters["after_anon_KiB"] = static_cast<double>(statusField(pid, "RssAnon"));
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const long after = statusField(pid, "RssAnon");
    state.counters["after_10s_anon_KiB"] = static_cast<double>(after);
    state.counters["anon_growth_KiB"] = static_cast<double>(after - idle);
    state.counters["flood_s"] = floodSeconds;
    state.counters["flood_conn_per_s"] = kFloodConnections / floodSeconds;
    state.counters["root_open_max_ms"] = rootOpen.maxMillis;
    state.counters["root_new_max_ms"] = rootNew.maxMillis;
    state.counters["user_new_max_ms"] = user.maxMillis;
    state.counters["user_asked"] = static_cast<double>(user.asked);
    state.counters["root_asked"] = static_cast<double>(rootOpen.asked + rootNew.asked);
    state.counters["unanswered"] =
        static_cast<double>(rootOpen.unanswered + rootNew.unanswered + user.unanswered);
    state.counters["helper_cpu_s"] = [&] {
      std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::istringstream fields(text.substr(text.rfind(')') + 2));
      std::string f;
      long ticks = 0;
      for (int i = 3; i <= 15 && fields >> f; ++i)
        if (i == 14 || i == 15) ticks += std::atol(f.c_str());
      return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }();
    if (verbose()) {
      std::fprintf(stderr,
                   "%s flood: %.1f s; max ms root open %.1f, root new %.1f, user %.1f; "
                   "unanswered %.0f; anon KiB idle %ld, 10 s after %ld\n",
                   byAuthorizedUser ? "authorized" : "refused", floodSeconds, rootOpen.maxMillis,
                   rootNew.maxMillis, user.maxMillis, state.counters["unanswered"].value, idle,
                   after);
    }
  }
  client = Peer();
  launcher.stop();
  if (pid > 0) {
    for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

BENCHMARK(HelperFlood)
    ->ArgName("by_authorized_user")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
