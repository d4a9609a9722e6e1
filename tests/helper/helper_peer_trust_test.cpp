// Whom the helper serves and which ends of a connection end the helper:
// root and the user recorded by the installation only (the client program
// alone admits nobody), and only the client's own connection closing ends
// the helper; another peer, a peer dropped for malformed input and a message
// without "operation" never do.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "helper/executable_policy.h"
#include "helper/helper_service.h"
#include "helper_test_util.h"
#include "ipc/xpc_connection.h"
#include "platform/system/file_util.h"
#include "platform/system/paths.h"
#include "platform/xpc/connection.h"
#include "support/temp_root.h"
#include "support/wait.h"

namespace {

using helper::ExecutablePolicy;
using helper::HelperService;
using ipc::XPCConnection;
using ipc::XPCMessage;
using platform::Value;
using platform::xpc::PeerCredentials;

PeerCredentials peer(uid_t uid, const std::string& executable) {
  PeerCredentials c;
  c.valid = true;
  c.uid = uid;
  c.gid = uid;
  c.pid = 4711;
  c.executable = executable;
  return c;
}

class PeerPolicyTest : public varnel::testing::TempRootTest {};

TEST_F(PeerPolicyTest, RootAndTheRecordedUserOnlyTheProgramIsNeverEnough) {
  const std::string path = platform::paths::system(helper::kHelperConfigurationPath);
  ASSERT_TRUE(platform::paths::createDirectories(platform::files::parentFolder(path), 0755));
  ASSERT_TRUE(platform::files::writeFileAtomically(
      path, "Client=/opt/varnel/VarnelVPN\nUser=1000\nUser=bogus\n", 0644));
  const ExecutablePolicy policy = ExecutablePolicy::load();
  EXPECT_EQ(policy.users, std::vector<uid_t>{1000});
  const std::string client = "/opt/varnel/VarnelVPN";

  EXPECT_TRUE(policy.allowsPeer(peer(0, "/usr/bin/anything"), 0));
  EXPECT_TRUE(policy.allowsPeer(peer(1000, client), 0));
  // The recorded user through another program, another user through the
  // installed client (with an injected library, say), an unreadable peer.
  EXPECT_FALSE(policy.allowsPeer(peer(1000, "/usr/bin/python3"), 0));
  EXPECT_FALSE(policy.allowsPeer(peer(1000, ""), 0));
  EXPECT_FALSE(policy.allowsPeer(peer(1001, client), 0));
  EXPECT_FALSE(policy.allowsPeer(peer(65534, client), 0));
  PeerCredentials invalid = peer(0, client);
  invalid.valid = false;
  EXPECT_FALSE(policy.allowsPeer(invalid, 0));
  // A helper that does not run as root (development runs) serves its user.
  EXPECT_TRUE(policy.allowsPeer(peer(1500, "/x"), 1500));
  EXPECT_FALSE(policy.allowsPeer(peer(1501, client), 1500));
}

TEST_F(PeerPolicyTest, WithoutARecordedUserOnlyRootIsServed) {
  ExecutablePolicy policy;
  policy.clients = {"/opt/varnel/VarnelVPN"};
  EXPECT_TRUE(policy.allowsPeer(peer(0, ""), 0));
  EXPECT_FALSE(policy.allowsPeer(peer(1000, "/opt/varnel/VarnelVPN"), 0));
  policy.clients.clear();
  policy.users = {1000};
  EXPECT_TRUE(policy.allowsPeer(peer(1000, "/any/program"), 0));  // no client named
}

// A peer connection over a socket pair; the test keeps the other end.
struct Pair {
  std::shared_ptr<XPCConnection> connection;
  int other = -1;
  Pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
    other = fds[1];
    connection = XPCConnection::create(platform::xpc::Connection::adoptSocket(
        fds[0], "VarnelHelper", platform::xpc::Connection::Role::Peer));
  }
  ~Pair() {
    if (connection) connection->connection()->cancel();
    if (other >= 0) ::close(other);
  }
};

class ConnectionEndTest : public varnel::testing::TempRootTest {
 protected:
  void SetUp() override {
    HelperService::Options options;
    options.logger = helper_test::sharedLogger();
    options.exitProcess = [this](int status) { exits.push_back(status); };
    options.settleDelay = 0.05;
    service = HelperService::create(options);
  }
  XPCMessage operation(const char* name) {
    XPCMessage m;
    m.setObject(Value(name), "operation");
    return m;
  }
  // The channel's message for a connection that ended.
  static XPCMessage ended() {
    platform::xpc::ChannelValue d = platform::xpc::ChannelValue::dictionary();
    d.set(ipc::kXPCErrorKey,
          platform::xpc::ChannelValue::error(platform::xpc::ChannelError::ConnectionInvalid));
    return XPCMessage(d);
  }

  std::shared_ptr<HelperService> service;
  std::vector<int> exits;
};

TEST_F(ConnectionEndTest, OnlyTheClientClosingItsConnectionEndsTheHelper) {
  Pair client, other, malformed;
  ASSERT_TRUE(client.connection && other.connection && malformed.connection);
  service->HelperMessageHandler(operation("CurrentConnectionState"), other.connection);
  service->HelperMessageHandler(operation("CurrentConnectionState"), malformed.connection);
  service->HelperMessageHandler(operation("CurrentConnectionState"), client.connection);

  // Another peer that had sent a request earlier ends: nothing happens.
  service->HelperMessageHandler(ended(), other.connection);
  EXPECT_TRUE(exits.empty());
  // A message without "operation" is answered, never a reason to stop.
  auto reply = service->handleMessage(XPCMessage());
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->objectForKey("result").isNil());
  EXPECT_TRUE(exits.empty());

  // The newest requester dropped for malformed input: only it ends.
  service->HelperMessageHandler(operation("CurrentConnectionState"), malformed.connection);
  malformed.connection->connection()->cancelForMalformedInput("test");
  ASSERT_TRUE(
      varnel::testing::waitUntilOnMainRunLoop([&] { return malformed.connection->isInvalid(); }));
  service->HelperMessageHandler(ended(), malformed.connection);
  EXPECT_TRUE(exits.empty());
  EXPECT_EQ(service->connectionState(), 0);  // nothing was torn down

  // The client's own connection closing tears down and ends, as before.
  service->HelperMessageHandler(operation("CurrentConnectionState"), client.connection);
  service->HelperMessageHandler(ended(), client.connection);
  EXPECT_EQ(exits, std::vector<int>{0});
  // Nothing was running, so there is nothing to wait for.
  EXPECT_EQ(service->connectionState(), ipc::kHelperStateDisconnected);
}

}  // namespace
