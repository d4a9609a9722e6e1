#include "ipc/xpc_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "channel_fixture.h"
#include "ipc/xpc_log.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/format.h"
#include "platform/xpc/service_names.h"
#include "platform/xpc/wire_codec.h"

using channel_test::PeerProcess;
using channel_test::pump;
using channel_test::TempRoot;
using ipc::Object;
using ipc::XPCConnection;
using ipc::XPCMessage;
using platform::Value;
using platform::dispatch::Queue;

namespace {

constexpr const char* kService = "VarnelTestPeer";

XPCMessage op(const char* operation) {
  return XPCMessage::messageWithObject(Object(operation), Object("operation"));
}

// The channel's console lines, read from standard error while it lives
// (standard error goes into a pipe meanwhile). A console line starts with
// "<yyyy-MM-dd HH:mm:ss.SSS> [<pid>] ", which each line loses here; a text
// with line feeds continues on the physical lines after it. Output without
// that start before the first console line is not the channel's.
class ConsoleLines {
 public:
  ConsoleLines() {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    ::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] {
      std::string pending;
      char buffer[4096];
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
          add(pending.substr(0, end));
          pending.erase(0, end + 1);
        }
      }
      ::close(fd);
    });
  }
  ~ConsoleLines() { finish(); }
  // Gives standard error back and reads what is left in the pipe.
  void finish() {
    if (saved_ < 0) return;
    ::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);  // closes the pipe's last writer
    ::close(saved_);
    saved_ = -1;
    reader_.join();
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  bool empty() { return lines().empty(); }

 private:
  // The length of the console line start of `line`; 0 when it has none.
  static std::size_t startLength(const std::string& line) {
    const std::string_view shape = "####-##-## ##:##:##.### [";
    if (line.size() < shape.size()) return 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    for (std::size_t i = 0; i < shape.size(); ++i) {
      if (shape[i] == '#' ? !digit(line[i]) : line[i] != shape[i]) return 0;
    }
    std::size_t end = shape.size();
    while (end < line.size() && digit(line[end])) ++end;
    if (end == shape.size() || line.compare(end, 2, "] ") != 0) return 0;
    return end + 2;
  }
  void add(const std::string& line) {
    const std::size_t start = startLength(line);
    std::lock_guard<std::mutex> lock(mutex_);
    if (start > 0) {
      lines_.push_back(line.substr(start));
    } else if (!lines_.empty()) {
      lines_.back() += "\n" + line;
    }
  }

  int saved_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    peer_ = std::make_unique<PeerProcess>(std::vector<std::string>{"serve", kService});
    ASSERT_EQ(peer_->readLine(), "ready");
    connection_ = XPCConnection::createWithServiceName(kService);
    connection_->setEventHandler(
        [this](const XPCMessage& m, const std::shared_ptr<XPCConnection>&) {
          std::lock_guard<std::mutex> lock(mutex_);
          events_.push_back(m);
        });
  }
  void TearDown() override {
    // Handlers capture this fixture: drop them before the final event comes.
    connection_->setEventHandler(nullptr);
    connection_->connection()->cancel();
    ipc::setChannelLogLevel(1);
  }
  // Sends and waits for the reply on the main queue.
  XPCMessage request(XPCMessage m) {
    std::optional<XPCMessage> reply;
    connection_->sendMessage(m, [&](const XPCMessage& r) { reply = r; });
    EXPECT_TRUE(pump([&] { return reply.has_value(); }));
    return reply.value_or(XPCMessage());
  }
  std::vector<XPCMessage> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  TempRoot root_;
  std::unique_ptr<PeerProcess> peer_;
  std::shared_ptr<XPCConnection> connection_;
  std::mutex mutex_;
  std::vector<XPCMessage> events_;
};

TEST_F(ChannelTest, RequestAndReplyRoundTripWithTheReplyOnTheCallersQueue) {
  XPCMessage m = op("echo");
  m.setObject(Object("hello"), "payload");
  bool onMain = false;
  std::optional<std::string> result;
  connection_->sendMessage(m, [&](const XPCMessage& r) {
    onMain = Queue::main()->isCurrent();
    result = r.stringForKey("result").asString();
  });
  ASSERT_TRUE(pump([&] { return result.has_value(); }));
  EXPECT_EQ(*result, "hello");
  EXPECT_TRUE(onMain);
  // The request was stamped with the level and the direct-reply flag.
  EXPECT_TRUE(m.needsDirectReply());
  EXPECT_EQ(m.logLevel(), 1u);

  // An explicit reply queue wins over the caller's queue.
  auto replyQueue = Queue::createSerial("replies");
  connection_->setReplyDispatchQueue(replyQueue);
  std::atomic<bool> onReplyQueue{false}, done{false};
  connection_->sendMessage(m, [&](const XPCMessage&) {
    onReplyQueue = replyQueue->isCurrent();
    done = true;
  });
  ASSERT_TRUE(pump([&] { return done.load(); }));
  EXPECT_TRUE(onReplyQueue);
  // The credentials are the peer's.
  EXPECT_EQ(connection_->connectionProcessID(), static_cast<std::uint32_t>(peer_->pid()));
  EXPECT_EQ(connection_->connectionEUID(), static_cast<std::uint32_t>(::geteuid()));
}

TEST_F(ChannelTest, DebugLogLinesAreLoggedAndNotHandedOn) {
  ConsoleLines console;
  XPCMessage msg = op("debugLog");
  msg.setObject(Object("hi there"), "text");
  request(msg);
  ASSERT_TRUE(pump([&] { return !console.empty(); }));
  std::vector<std::string> lines = console.lines();
  EXPECT_EQ(lines[0], "LOG: hi there");
  EXPECT_TRUE(events().empty());
}

TEST_F(ChannelTest, LogLevelTravelsWithMessages) {
  ConsoleLines console;
  // The peer sees the level we send with.
  ipc::setChannelLogLevel(3);
  EXPECT_EQ(request(op("level")).integerForKey("result"), 3);
  ipc::setChannelLogLevel(1);

  // The peer raises its level; its next unasked message raises ours.
  XPCMessage set = op("setLevel");
  set.setInteger(4, "level");
  request(set);
  ASSERT_TRUE(pump([&] { return events().size() == 1; }));
  EXPECT_EQ(ipc::channelLogLevel(), 4u);
  connection_->sendMessage(op("noreply"));
  console.finish();  // everything written so far is read
  std::vector<std::string> lines = console.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("Sending message \n{\n", 0), 0u) << lines.back();
}

TEST_F(ChannelTest, KillingThePeerGivesErrorEventsAndErrorCallbacks) {
  std::optional<platform::Error> pendingError;
  bool replied = false;
  connection_->sendMessage(
      op("noreply"), [&](const XPCMessage&) { replied = true; },
      [&](const platform::Error& e) { pendingError = e; });
  request(op("echo"));  // the first request has surely arrived
  peer_->kill();
  ASSERT_TRUE(pump([&] { return pendingError.has_value() && events().size() == 1; }));
  EXPECT_FALSE(replied);
  EXPECT_EQ(pendingError->domain(), ipc::kXPCChannelErrorDomain);
  EXPECT_EQ(pendingError->code(), 1001);
  EXPECT_EQ(pendingError->localizedDescription(), "XPC connection was interrupted");
  XPCMessage event = events()[0];
  EXPECT_EQ(event.getXPCDictionary().count(), 1u);
  EXPECT_TRUE(event.objectForKey(ipc::kXPCErrorKey).isNil());
  EXPECT_EQ(XPCMessage::errorForXPCObject(event.getXPCDictionary().get(ipc::kXPCErrorKey)).code(),
            1001);

  // Nobody listens any more: the next send fails as invalid, once.
  std::optional<platform::Error> sendError;
  connection_->sendMessage(
      op("echo"), [&](const XPCMessage&) { replied = true; },
      [&](const platform::Error& e) { sendError = e; });
  ASSERT_TRUE(pump([&] { return sendError.has_value() && events().size() == 2; }));
  EXPECT_EQ(sendError->code(), 1002);
  EXPECT_EQ(sendError->localizedDescription(), "XPC connection is invalid");
  EXPECT_FALSE(replied);

  // Without an error callback a failed send leaves one log line.
  ConsoleLines console;
  connection_->setReplyDispatchQueue(Queue::main());
  connection_->sendMessage(op("echo"), [&](const XPCMessage&) { replied = true; });
  ASSERT_TRUE(pump([&] { return !console.empty(); }));
  std::vector<std::string> lines = console.lines();
  EXPECT_EQ(lines[0], "Connection is invalid");
}

TEST_F(ChannelTest, RemoteInvocationReachesOnlyRegisteredOperations) {
  std::vector<std::pair<Value, std::int64_t>> results;
  auto record = [&](const Object& result, const platform::Error& error) {
    results.emplace_back(result.value(), error.code());
  };
  connection_->sendSelector("add:error:", Value(2), Value(3), record);
  ASSERT_TRUE(pump([&] { return results.size() == 1; }));
  EXPECT_EQ(results[0].first.asInt64(), 5);
  EXPECT_EQ(results[0].second, 0);
  // The operation reports an error through its error place.
  connection_->sendSelector("add:error:", Value("x"), Object(), record);
  ASSERT_TRUE(pump([&] { return results.size() == 2; }));
  EXPECT_TRUE(results[1].first.isNone());
  EXPECT_EQ(results[1].second, 7);
  // An operation the peer did not register is not performed.
  connection_->sendSelector("terminate:error:", Value(1), Value(2), record);
  ASSERT_TRUE(pump([&] { return results.size() == 3; }));
  EXPECT_TRUE(results[2].first.isNone());
  EXPECT_EQ(results[2].second, 0);
}

TEST_F(ChannelTest, LargeMessagesAndFileHandlesTravel) {
  platform::Bytes big(1 << 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  XPCMessage m = op("echo");
  m.setObject(Value::data(big), "payload");
  EXPECT_EQ(request(m).dataForKey("result").asData(), big);

  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  ASSERT_EQ(::write(p[1], "through the pipe", 16), 16);
  ::close(p[1]);
  XPCMessage f = op("readFd");
  f.setObject(Object(std::make_shared<ipc::FileHandle>(p[0])), "fd");
  EXPECT_EQ(request(f).stringForKey("result").asString(), "through the pipe");
}

TEST_F(ChannelTest, MalformedFramesEndOnlyTheirOwnConnection) {
  request(op("echo"));
  auto sendRaw = [](const std::vector<std::uint8_t>& bytes) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = platform::xpc::socketPathForService(kService);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    char c;
    ssize_t n = ::recv(fd, &c, 1, 0);  // the peer closes: end of file
    ::close(fd);
    return n;
  };
  platform::xpc::wire::FrameHeader h;
  std::vector<std::uint8_t> frame(platform::xpc::wire::kHeaderSize);
  // An oversized frame.
  h.length = 0xFFFFFFF0u;
  platform::xpc::wire::writeHeader(h, frame.data());
  EXPECT_EQ(sendRaw(frame), 0);
  // A frame whose payload is not a value.
  h.length = 3;
  platform::xpc::wire::writeHeader(h, frame.data());
  auto bad = frame;
  bad.insert(bad.end(), {0x7F, 0x00, 0x00});
  EXPECT_EQ(sendRaw(bad), 0);
  // A frame that promises descriptors it does not carry.
  h.length = 5;
  h.descriptorCount = 2;
  platform::xpc::wire::writeHeader(h, frame.data());
  auto noFds = frame;
  noFds.insert(noFds.end(), {0x0E, 0, 0, 0, 0});
  EXPECT_EQ(sendRaw(noFds), 0);

  // The service and this connection carry on.
  XPCMessage m = op("echo");
  m.setObject(Object("still here"), "payload");
  EXPECT_EQ(request(m).stringForKey("result").asString(), "still here");
  EXPECT_TRUE(events().empty());
}

TEST_F(ChannelTest, EventsBeforeTheHandlerIsSetAreHeldForIt) {
  auto fresh = XPCConnection::createWithServiceName(kService);
  XPCMessage push = op("push");
  push.setInteger(3, "count");
  bool replied = false;
  fresh->sendMessage(push, [&](const XPCMessage&) { replied = true; });
  ASSERT_TRUE(pump([&] { return replied; }));

  std::mutex m;
  std::vector<std::int64_t> seen;
  std::uint32_t pidSeen = 0;
  fresh->setEventHandler([&](const XPCMessage& msg, const std::shared_ptr<XPCConnection>& c) {
    // Reading the credentials inside the handler does not wait for the queue.
    pidSeen = c->connectionProcessID();
    std::lock_guard<std::mutex> lock(m);
    seen.push_back(msg.integerForKey("index"));
  });
  ASSERT_TRUE(pump([&] {
    std::lock_guard<std::mutex> lock(m);
    return seen.size() == 3;
  }));
  EXPECT_EQ(seen, (std::vector<std::int64_t>{0, 1, 2}));
  EXPECT_EQ(pidSeen, static_cast<std::uint32_t>(peer_->pid()));
  fresh->setEventHandler(nullptr);
  fresh->connection()->cancel();
}

std::size_t openDescriptors(pid_t pid) {
  std::size_t n = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec)) {
    ++n;
  }
  return n;
}

// A connection released without `cancel` closes its socket: after a thousand
// of them (each used for a request and dropped) neither this program nor
// the service holds a descriptor more than before.
TEST_F(ChannelTest, ConnectionsReleasedWithoutCancelCloseTheirSocketsOnBothEnds) {
  request(op("echo"));  // connected (the wait fails the test otherwise)
  const std::size_t ours = openDescriptors(::getpid());
  const std::size_t theirs = openDescriptors(peer_->pid());
  constexpr int kRounds = 10;
  constexpr int kPerRound = 100;  // well inside the descriptor limit
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> replies{0};
    {
      std::vector<std::shared_ptr<XPCConnection>> dropped;
      for (int i = 0; i < kPerRound; ++i) {
        auto c = XPCConnection::createWithServiceName(kService);
        c->setEventHandler([](const XPCMessage&, const std::shared_ptr<XPCConnection>&) {});
        c->sendMessage(op("echo"), [&](const XPCMessage&) { replies.fetch_add(1); });
        dropped.push_back(c);
      }
      ASSERT_TRUE(pump([&] { return replies.load() == kPerRound; })) << round;
    }  // released here, never cancelled
  }
  // A few may belong to work in flight (queues, the reactor) for a moment.
  EXPECT_TRUE(pump([&] { return openDescriptors(::getpid()) <= ours + 2; }))
      << openDescriptors(::getpid()) << " open here, " << ours << " before";
  EXPECT_TRUE(pump([&] { return openDescriptors(peer_->pid()) <= theirs + 2; }))
      << openDescriptors(peer_->pid()) << " open in the service, " << theirs << " before";
  // The connection that is still held works on.
  request(op("echo"));
  EXPECT_FALSE(connection_->isInvalid());
}

// The end observer (what a service uses to let go of an ended connection)
// runs once, on the connection's queue, after the event handler got the
// final error; set after the end, it runs at once.
TEST(XPCConnectionEnd, TheEndObserverRunsOnceAfterTheHandlerSawTheFinalError) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  auto transport = platform::xpc::Connection::adoptSocket(pair[0], "end.test",
                                                          platform::xpc::Connection::Role::Peer);
  auto connection = XPCConnection::create(transport);
  std::mutex mutex;
  int errors = 0, runs = 0, errorsSeenByObserver = -1;
  bool onQueue = false;
  connection->setEventHandler([&](const XPCMessage& m, const std::shared_ptr<XPCConnection>&) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!m.getXPCDictionary().get(ipc::kXPCErrorKey).isNone()) ++errors;
  });
  auto queue = connection->dispatchQueue();
  connection->setEndObserver([&] {
    std::lock_guard<std::mutex> lock(mutex);
    ++runs;
    errorsSeenByObserver = errors;
    onQueue = queue->isCurrent();
  });
  connection.reset();  // the transport holds the wrapper until the end
  ::close(pair[1]);
  ASSERT_TRUE(pump([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return runs > 0;
  }));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(errorsSeenByObserver, 1);
    EXPECT_TRUE(onQueue);
  }
  // A connection that has ended runs a new observer at once.
  int pair2[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair2), 0);
  auto second = XPCConnection::create(platform::xpc::Connection::adoptSocket(
      pair2[0], "end.test", platform::xpc::Connection::Role::Peer));
  std::atomic<bool> ended{false};
  second->setEventHandler([&](const XPCMessage& m, const std::shared_ptr<XPCConnection>&) {
    if (!m.getXPCDictionary().get(ipc::kXPCErrorKey).isNone()) ended = true;
  });
  ::close(pair2[1]);
  ASSERT_TRUE(pump([&] { return ended.load() && second->isInvalid(); }));
  // The final error was handed on; the observer bookkeeping follows it on
  // the connection's queue: wait for that queue to pass it.
  platform::dispatch::Semaphore passed;
  second->dispatchQueue()->async([&] { passed.signal(); });
  ASSERT_TRUE(passed.wait(std::chrono::seconds(10)));
  bool ranInline = false;
  second->setEndObserver([&] { ranInline = true; });
  EXPECT_TRUE(ranInline);
  second->setEventHandler(nullptr);
}

TEST_F(ChannelTest, OrderIsKeptForSendsFromSeveralThreads) {
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) {
        XPCMessage m = op("record");
        m.setObject(Value(platform::format("%d:%d", t, i)), "tag");
        connection_->sendMessage(m);
      }
    });
  }
  for (auto& th : threads) th.join();
  Value recorded = request(op("recorded")).arrayForKey("result");
  ASSERT_EQ(recorded.count(), static_cast<std::size_t>(kThreads * kEach));
  std::vector<int> next(kThreads, 0);
  for (const Value& tag : recorded.elements()) {
    int t = 0, i = 0;
    ASSERT_EQ(std::sscanf(tag.asString().c_str(), "%d:%d", &t, &i), 2);
    EXPECT_EQ(i, next[t]++) << "thread " << t;
  }
}

}  // namespace
