// DispatchUdpSocket: multicast membership, port reuse and broadcast, and the
// interface index look-up they use.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>

#include "net/sockets/socket_address.h"
#include "net/sockets/udp_address_extras.h"
#include "net/sockets/udp_socket.h"
#include "net/sockets/udp_test_delegate.h"

namespace net::sockets {
namespace {

using testing::bytesOf;
using testing::textOf;
using testing::UdpEvent;
using testing::UdpPeer;

TEST(UdpSocketMulticast, RefusalsBeforeAnyRequest) {
  UdpPeer peer;
  platform::Error error;
  EXPECT_FALSE(peer.socket->joinMulticastGroup("239.1.1.1", &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(), "Must bind a socket before joining a multicast group.");
  ASSERT_TRUE(peer.socket->bindToPort(0));
  EXPECT_FALSE(peer.socket->joinMulticastGroup("not.a.number", &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(), "Unknown group. Specify valid group IP address.");
  EXPECT_FALSE(peer.socket->joinMulticastGroup("239.1.1.1", "no-such-interface0", &error));
  EXPECT_EQ(error.localizedDescription(),
            "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");

  UdpPeer connected;
  ASSERT_TRUE(connected.socket->bindToPort(0));
  ASSERT_TRUE(connected.socket->connectToAddress(loopbackAddress4(9)));
  EXPECT_FALSE(connected.socket->joinMulticastGroup("239.1.1.1", &error));
  EXPECT_EQ(error.localizedDescription(), "Cannot join a multicast group if connected.");
}

TEST(UdpSocketMulticast, IPv4JoinOnLoopbackReceivesGroupDatagrams) {
  UdpPeer member;
  ASSERT_TRUE(member.socket->bindToPort(0));
  const bool hadIPv6 = member.socket->isIPv6();
  platform::Error error;
  if (!member.socket->joinMulticastGroup("239.1.1.1", "127.0.0.1", &error)) {
    GTEST_SKIP() << "the kernel refuses the membership: " << error.description();
  }
  // An IPv4 membership leaves the IPv4 socket only.
  EXPECT_TRUE(member.socket->isIPv4());
  EXPECT_FALSE(member.socket->isIPv6());
  if (hadIPv6) {
    EXPECT_FALSE(member.socket->joinMulticastGroup("ff02::1:3", &error));
    EXPECT_EQ(error.code(), 2);
    EXPECT_EQ(error.localizedDescription(),
              "Socket, group, and interface do not have matching IP versions");
  }
  ASSERT_TRUE(member.socket->beginReceiving());

  // A plain sender on the loopback interface, multicast loop on.
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  in_addr loop{};
  loop.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loop, sizeof loop), 0);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(member.socket->localPort());
  inet_pton(AF_INET, "239.1.1.1", &group.sin_addr);
  const std::string text = "to the group";
  ASSERT_EQ(
      ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&group), sizeof group),
      static_cast<ssize_t>(text.size()));
  ASSERT_TRUE(member.delegate->waitFor(UdpEvent::Received));
  EXPECT_EQ(textOf(member.delegate->eventsOf(UdpEvent::Received)[0].data), text);
  EXPECT_TRUE(member.socket->leaveMulticastGroup("239.1.1.1", "127.0.0.1", &error))
      << error.description();
  ::close(fd);
}

TEST(UdpSocketMulticast, IPv6JoinAndLeaveUseTheIPv6Options) {
  if (!testing::hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  UdpPeer member;
  member.socket->setIPv4Enabled(false);
  ASSERT_TRUE(member.socket->bindToPort(0));
  platform::Error error;
  if (!member.socket->joinMulticastGroup("ff02::1:3", "lo", &error)) {
    // A kernel may refuse groups on an interface without multicast, but
    // never with the "wrong option" answers of a misused request number.
    EXPECT_NE(error.code(), ENOPROTOOPT) << error.description();
    EXPECT_NE(error.code(), EINVAL) << error.description();
    GTEST_SKIP() << "the kernel refuses the membership: " << error.description();
  }
  EXPECT_TRUE(member.socket->isIPv6());
  EXPECT_TRUE(member.socket->leaveMulticastGroup("ff02::1:3", "lo", &error)) << error.description();
  // Leaving twice is refused by the kernel with its own error.
  EXPECT_FALSE(member.socket->leaveMulticastGroup("ff02::1:3", "lo", &error));
  EXPECT_EQ(error.domain(), platform::kPOSIXErrorDomain);
  EXPECT_EQ(error.localizedFailureReason(), "Error in setsockopt() function");
}

TEST(UdpSocketOptions, ReusePortCreatesTheSocketsFirst) {
  UdpPeer peer;
  platform::Error error;
  ASSERT_TRUE(peer.socket->enableReusePort(true, &error)) << error.description();
  EXPECT_FALSE(peer.socket->isClosed());
  int fd4 = -1;
  int fd6 = -1;
  peer.socket->performBlock([&] {
    fd4 = peer.socket->socket4FD();
    fd6 = peer.socket->socket6FD();
  });
  for (int fd : {fd4, fd6}) {
    if (fd == -1) continue;
    int value = 0;
    socklen_t len = sizeof value;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &value, &len), 0);
    EXPECT_EQ(value, 1);
  }
  // Two sockets with port reuse share one port.
  ASSERT_TRUE(peer.socket->bindToPort(0, "127.0.0.1", &error)) << error.description();
  UdpPeer second;
  ASSERT_TRUE(second.socket->enableReusePort(true));
  EXPECT_TRUE(second.socket->bindToPort(peer.socket->localPort(), "127.0.0.1", &error))
      << error.description();
}

TEST(UdpSocketOptions, BroadcastTouchesTheIPv4SocketOnly) {
  UdpPeer peer;
  platform::Error error;
  ASSERT_TRUE(peer.socket->enableBroadcast(true, &error)) << error.description();
  int value = 0;
  peer.socket->performBlock([&] {
    socklen_t len = sizeof value;
    ::getsockopt(peer.socket->socket4FD(), SOL_SOCKET, SO_BROADCAST, &value, &len);
  });
  EXPECT_EQ(value, 1);
  if (!testing::hasIPv6Loopback()) return;
  UdpPeer sixOnly;
  sixOnly.socket->setIPv4Enabled(false);
  error = platform::Error();
  EXPECT_FALSE(sixOnly.socket->enableBroadcast(true, &error));
  EXPECT_TRUE(error.isNone());
}

TEST(UdpAddressExtras, InterfaceIndexOfLoopbackAddresses) {
  const unsigned lo = if_nametoindex("lo");
  ASSERT_NE(lo, 0u);
  EXPECT_EQ(interfaceIndexOfAddress4(loopbackAddress4(0)), lo);
  EXPECT_EQ(interfaceIndexOfAddress4(anyAddress4(0)), 0u);
  EXPECT_EQ(interfaceIndexOfAddress6(anyAddress6(0)), 0u);
  EXPECT_EQ(interfaceIndexOfAddress6(loopbackAddress4(0)), 0u);  // not IPv6
  if (testing::hasIPv6Loopback()) {
    EXPECT_EQ(interfaceIndexOfAddress6(loopbackAddress6(0)), lo);
  }
}

}  // namespace
}  // namespace net::sockets
