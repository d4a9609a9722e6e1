// When the helper takes its client to have gone: only when the last of the
// client's connections ends. The client replaces its connection on every
// attempt and closes the old one once the new one has been answered.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "helper/helper_service.h"
#include "helper_test_util.h"
#include "ipc/helper_protocol.h"
#include "platform/xpc/connection.h"
#include "platform/xpc/wire_codec.h"
#include "support/temp_root.h"
#include "support/wait.h"

using helper::HelperService;
using ipc::XPCConnection;
using ipc::XPCMessage;
using platform::Value;

namespace {

class HelperClientEndTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    HelperService::Options options;
    options.exitProcess = [this](int status) { exits.push_back(status); };
    options.settleDelay = 0.05;
    service = HelperService::create(options);
  }
  void TearDown() override {
    for (auto& c : connections) c->connection()->cancel();
    for (int fd : others) ::close(fd);
  }
  // A connection of a peer, as the listener hands it over.
  std::shared_ptr<XPCConnection> connect() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    others.push_back(fds[1]);
    auto c = XPCConnection::create(platform::xpc::Connection::adoptSocket(
        fds[0], "client", platform::xpc::Connection::Role::Peer));
    connections.push_back(c);
    return c;
  }
  void send(const std::shared_ptr<XPCConnection>& c, const char* operation) {
    XPCMessage m;
    m.setObject(Value(operation), ipc::kOperationKey);
    service->HelperMessageHandler(m, c);
  }
  // The channel's message for the end of `c`.
  void end(const std::shared_ptr<XPCConnection>& c) {
    XPCMessage ended;
    ended.setObject(Value("invalid"), ipc::kXPCErrorKey);
    service->HelperMessageHandler(ended, c);
  }

  std::shared_ptr<HelperService> service;
  std::vector<int> exits;
  std::vector<std::shared_ptr<XPCConnection>> connections;
  std::vector<int> others;
};

TEST_F(HelperClientEndTest, AReplacedConnectionEndingIsNotTheClientGoing) {
  auto first = connect();
  send(first, ipc::kCurrentConnectionStateOperation);
  // The next attempt's connection is answered, then the old one is closed.
  auto second = connect();
  send(second, ipc::kCurrentConnectionStateOperation);
  end(first);
  EXPECT_TRUE(exits.empty());
  // The same again, in the other order of the two connections' queues: the
  // newer one ends first while the older is still open.
  auto third = connect();
  send(third, ipc::kLogUpdateOperation);
  end(third);
  EXPECT_TRUE(exits.empty());
  // The last one ends: the client has gone.
  end(second);
  EXPECT_EQ(exits, std::vector<int>{0});
  // Nothing was running, so there is nothing to wait for.
  EXPECT_EQ(service->connectionState(), ipc::kHelperStateDisconnected);
}

TEST_F(HelperClientEndTest, ConnectionsThatNeverSpokeOrWereMalformedEndNothing) {
  // A connection of the client dropped for malformed input is not the client
  // quitting, even as its last one.
  auto hostile = connect();
  send(hostile, ipc::kCurrentConnectionStateOperation);
  platform::xpc::wire::FrameHeader header;
  header.length = static_cast<std::uint32_t>(platform::xpc::Connection::kMaxPeerFrame + 1);
  std::uint8_t bytes[platform::xpc::wire::kHeaderSize];
  platform::xpc::wire::writeHeader(header, bytes);
  ASSERT_EQ(::send(others.back(), bytes, sizeof bytes, MSG_NOSIGNAL),
            static_cast<ssize_t>(sizeof bytes));
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return hostile->endedByMalformedInput(); }));
  end(hostile);
  EXPECT_TRUE(exits.empty());

  auto client = connect();
  send(client, ipc::kCurrentConnectionStateOperation);
  // A peer that connects and leaves without a word is not one of the client's.
  auto silent = connect();
  end(silent);
  EXPECT_TRUE(exits.empty());
  // Nor does a message of the channel end anything twice: the end of a
  // connection already ended is ignored.
  auto other = connect();
  send(other, ipc::kCurrentConnectionStateOperation);
  end(other);
  end(other);
  EXPECT_TRUE(exits.empty());
  // "DisconnectConnection" tears down but the helper stays for the client.
  send(client, ipc::kDisconnectConnectionOperation);
  EXPECT_TRUE(exits.empty());
  end(client);
  EXPECT_EQ(exits, std::vector<int>{0});
}

}  // namespace
