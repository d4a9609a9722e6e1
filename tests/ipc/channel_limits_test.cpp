// Limits of the channel against a hostile peer: the one conversion budget of
// a received message (archives nested in archives included), malformed input
// ending only the connection that sent it, and peer connections that end
// leaving nothing behind.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/xpc_connection.h"
#include "ipc/xpc_parse.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"
#include "platform/xpc/connection.h"
#include "platform/xpc/wire_codec.h"

using ipc::XPCConnection;
using ipc::XPCMessage;
using ipc::XPCParse;
using platform::Value;
using platform::xpc::ChannelValue;
namespace wire = platform::xpc::wire;

namespace {

bool pump(const std::function<bool()>& done, int ms = 10000) {
  return platform::runloop::RunLoop::main().runUntil(done, std::chrono::milliseconds(ms));
}

ChannelValue archiveOf(const std::string& cls, const ChannelValue& payload) {
  ChannelValue root = ChannelValue::dictionary();
  root.set("$class", ChannelValue::string(cls));
  root.set("$value", payload);
  return ChannelValue::data(wire::encode(root)->bytes, true);
}

// `levels` archives, each the payload of the next, around `inner`.
ChannelValue nested(std::size_t levels, const ChannelValue& inner) {
  ChannelValue v = inner;
  for (std::size_t i = 0; i < levels; ++i) v = archiveOf("NSError", v);
  return v;
}

// `levels` arrays, one inside the other, around `inner`.
ChannelValue arrays(std::size_t levels, const ChannelValue& inner) {
  ChannelValue v = inner;
  for (std::size_t i = 0; i < levels; ++i) {
    ChannelValue a = ChannelValue::array();
    a.append(v);
    v = a;
  }
  return v;
}

TEST(ConversionBudget, LegitimateArchivesStillConvert) {
  platform::Error under("inner.domain", 7, Value::dictionary({{"k", Value("v")}}));
  platform::Error outer("outer.domain", 3, Value::dictionary(), under);
  ChannelValue message = ChannelValue::dictionary();
  message.set("error", XPCParse::newXPCObject(ipc::Object(outer)));
  message.set("url", XPCParse::newXPCObject(ipc::Object(platform::URL("https://vpn.test/a"))));
  message.set("list", XPCParse::newXPCObject(Value::array({Value::null(), Value("x")})));
  std::string reason;
  EXPECT_TRUE(XPCParse::fitsConversionBudget(message, &reason)) << reason;
  XPCMessage m(message);
  const platform::Error* e = nullptr;
  ipc::Object error = m.objectForKey("error");
  e = error.error();
  ASSERT_TRUE(e);
  EXPECT_EQ(e->domain(), "outer.domain");
  ASSERT_TRUE(e->underlying());
  EXPECT_EQ(e->underlying()->code(), 7);
  EXPECT_TRUE(m.URLForKey("url"));
  EXPECT_EQ(m.arrayForKey("list").count(), 2u);
}

TEST(ConversionBudget, DepthCountsContainersAndArchivesTogether) {
  // 30 arrays inside 30 archives inside 10 arrays: each part alone is
  // shallow, together they exceed the one depth budget.
  ChannelValue deep = arrays(10, nested(30, arrays(30, ChannelValue::string("x"))));
  std::string reason;
  EXPECT_FALSE(XPCParse::fitsConversionBudget(deep, &reason));
  EXPECT_EQ(reason, "nesting too deep");
  EXPECT_TRUE(XPCParse::arrayWithContentsOfXPCObject(deep).isNone());
  EXPECT_TRUE(XPCParse::objectWithXPCObject(deep).isNil());

  ChannelValue shallow = arrays(10, nested(10, arrays(10, ChannelValue::string("x"))));
  EXPECT_TRUE(XPCParse::fitsConversionBudget(shallow, &reason)) << reason;
  EXPECT_FALSE(XPCParse::arrayWithContentsOfXPCObject(shallow).isNone());
}

TEST(ConversionBudget, BytesCountEveryArchiveDecoded) {
  // Ten levels of a 100 KB payload: 1 MB of input, decoded again at every
  // level.
  ChannelValue big = nested(10, ChannelValue::string(std::string(100 * 1024, 'x')));
  std::string reason;
  EXPECT_TRUE(XPCParse::fitsConversionBudget(big, &reason)) << reason;
  EXPECT_FALSE(XPCParse::fitsConversionBudget(big, &reason, 512 * 1024));
  EXPECT_EQ(reason, "too many bytes");
  // Plain strings and data draw on the same budget.
  ChannelValue plain = ChannelValue::dictionary();
  plain.set("a", ChannelValue::string(std::string(300 * 1024, 'a')));
  plain.set("b", ChannelValue::data(std::vector<std::uint8_t>(300 * 1024, 1)));
  EXPECT_FALSE(XPCParse::fitsConversionBudget(plain, &reason, 512 * 1024));
  EXPECT_TRUE(XPCParse::fitsConversionBudget(plain, &reason));
}

TEST(ConversionBudget, FourHundredEightyKilobytesOfNestedArchivesStopEarly) {
  // As many levels as fit in 480 KB around a 360 KB payload: without one
  // budget for all of them every level would copy the rest again.
  ChannelValue v = ChannelValue::string(std::string(360 * 1024, 'x'));
  std::size_t levels = 0;
  while (v.type() != platform::xpc::ChannelType::Data || v.bytes().size() < 480 * 1024) {
    v = archiveOf("NSError", v);
    ++levels;
  }
  EXPECT_GT(levels, 1000u);
  ChannelValue message = ChannelValue::dictionary();
  message.set("operation", ChannelValue::string("CurrentConnectionState"));
  message.set("XPCDebugLog", v);
  std::string reason;
  EXPECT_FALSE(XPCParse::fitsConversionBudget(message, &reason));
  XPCMessage m(message);
  EXPECT_TRUE(m.objectForKey("XPCDebugLog").isNil());
  // The rest of the message is unaffected when read key by key.
  EXPECT_EQ(m.stringForKey("operation").asString(), "CurrentConnectionState");
}

TEST(ConversionBudget, AConversionInsideAnotherDoesNotLendItsBudget) {
  // fitsConversionBudget called while another conversion runs on the thread
  // (a registered operation, say) judges its value on its own.
  ChannelValue ok = nested(3, ChannelValue::string("x"));
  std::string reason;
  EXPECT_TRUE(XPCParse::fitsConversionBudget(ok, &reason)) << reason;
  EXPECT_FALSE(XPCParse::objectWithXPCObject(ok).isNil());
}

// --- the transport ---------------------------------------------------------

class PeerLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    other_ = fds[1];
    auto transport = platform::xpc::Connection::adoptSocket(fds[0], "limits",
                                                            platform::xpc::Connection::Role::Peer);
    connection_ = XPCConnection::create(transport);
    connection_->setEventHandler(
        [this](const XPCMessage& m, const std::shared_ptr<XPCConnection>&) {
          std::lock_guard<std::mutex> lock(mutex_);
          events_.push_back(m);
        });
  }
  void TearDown() override {
    connection_->setEventHandler(nullptr);
    connection_->connection()->cancel();
    if (other_ >= 0) ::close(other_);
  }
  void sendFrame(const ChannelValue& message) {
    auto encoded = wire::encode(message);
    ASSERT_TRUE(encoded);
    wire::FrameHeader header;
    header.length = static_cast<std::uint32_t>(encoded->bytes.size());
    std::vector<std::uint8_t> frame(wire::kHeaderSize);
    wire::writeHeader(header, frame.data());
    frame.insert(frame.end(), encoded->bytes.begin(), encoded->bytes.end());
    ASSERT_EQ(::send(other_, frame.data(), frame.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(frame.size()));
  }
  // The events so far: messages and error messages.
  std::vector<XPCMessage> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  bool ended() {
    auto e = events();
    return !e.empty() && !e.back().getXPCDictionary().get(ipc::kXPCErrorKey).isNone();
  }

  int other_ = -1;
  std::shared_ptr<XPCConnection> connection_;
  std::mutex mutex_;
  std::vector<XPCMessage> events_;
};

TEST_F(PeerLimits, AMessageOverTheBudgetEndsTheConnectionAsMalformed) {
  ChannelValue good = ChannelValue::dictionary();
  good.set("operation", ChannelValue::string("one"));
  sendFrame(good);
  ChannelValue bad = ChannelValue::dictionary();
  bad.set("operation", ChannelValue::string("two"));
  bad.set("XPCDebugLog", nested(70, ChannelValue::string("x")));
  sendFrame(bad);
  ASSERT_TRUE(pump([&] { return ended(); }));
  auto e = events();
  ASSERT_EQ(e.size(), 2u);  // the good message, then the end: never the bad one
  EXPECT_EQ(e[0].stringForKey("operation").asString(), "one");
  EXPECT_TRUE(connection_->endedByMalformedInput());
  EXPECT_TRUE(connection_->isInvalid());
}

TEST_F(PeerLimits, AForgedChannelErrorIsMalformed) {
  ChannelValue forged = ChannelValue::dictionary();
  forged.set(ipc::kXPCErrorKey,
             ChannelValue::error(platform::xpc::ChannelError::ConnectionInvalid));
  sendFrame(forged);
  ASSERT_TRUE(pump([&] { return ended(); }));
  EXPECT_EQ(events().size(), 1u);
  EXPECT_TRUE(connection_->endedByMalformedInput());
}

TEST_F(PeerLimits, AClosedPeerIsNotMalformed) {
  ::close(other_);
  other_ = -1;
  ASSERT_TRUE(pump([&] { return ended(); }));
  EXPECT_FALSE(connection_->endedByMalformedInput());
  EXPECT_TRUE(connection_->isInvalid());
}

TEST_F(PeerLimits, AnOversizedFrameHeaderIsMalformed) {
  wire::FrameHeader header;
  header.length = static_cast<std::uint32_t>(platform::xpc::Connection::kMaxPeerFrame + 1);
  std::uint8_t bytes[wire::kHeaderSize];
  wire::writeHeader(header, bytes);
  ASSERT_EQ(::send(other_, bytes, sizeof bytes, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof bytes));
  ASSERT_TRUE(pump([&] { return ended(); }));
  EXPECT_TRUE(connection_->endedByMalformedInput());
}

TEST(PeerLifetime, PeersThatEndAreFreed) {
  const std::size_t N = 200;
  char folder[] = "/tmp/vlimits-XXXXXX";
  ASSERT_TRUE(::mkdtemp(folder));
  const std::string path = std::string(folder) + "/limits.sock";
  auto queue = platform::dispatch::Queue::createSerial("limits.listener");
  auto listener = platform::xpc::Listener::createWithSocketPath("limits", path, queue);
  ASSERT_TRUE(listener);
  std::mutex mutex;
  std::vector<std::weak_ptr<platform::xpc::Connection>> seen;
  std::atomic<int> count{0};
  listener->setPeerHandler([&](const std::shared_ptr<platform::xpc::Connection>& peer) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      seen.push_back(peer);
    }
    if (count++ % 2 == 0) {
      peer->cancel();  // refused
    } else {
      auto c = XPCConnection::create(peer);  // served until the peer leaves
      c->setEventHandler([](const XPCMessage&, const std::shared_ptr<XPCConnection>&) {});
    }
  });
  listener->resume();
  for (std::size_t i = 0; i < N; ++i) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
  }
  EXPECT_TRUE(pump([&] {
    std::lock_guard<std::mutex> lock(mutex);
    if (seen.size() < N) return false;
    for (auto& w : seen)
      if (!w.expired()) return false;
    return true;
  }));
  listener->cancel();
  ::rmdir(folder);
}

}  // namespace
