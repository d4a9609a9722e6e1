// DispatchUdpSocket: creation, configuration, binding, connecting, closing,
// views and address records.
#include "net/sockets/udp_socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "net/sockets/socket_address.h"
#include "net/sockets/udp_test_delegate.h"

namespace net::sockets {
namespace {

using platform::dispatch::Queue;
using testing::RecordingUdpDelegate;
using testing::UdpEvent;
using testing::UdpPeer;

TEST(UdpSocketSetUp, NewSocketHasItsOwnQueueAndDefaults) {
  auto sock = DispatchUdpSocket::create();
  std::string label;
  int fd4 = 0;
  int fd6 = 0;
  sock->performBlock([&] {
    label = Queue::currentLabel();
    fd4 = sock->socket4FD();
    fd6 = sock->socket6FD();
  });
  EXPECT_EQ(label, "DispatchUdpSocket");
  EXPECT_EQ(fd4, -1);
  EXPECT_EQ(fd6, -1);
  EXPECT_EQ(sock->maxReceiveIPv4BufferSize(), 65535);
  EXPECT_EQ(sock->maxReceiveIPv6BufferSize(), 65535u);
  EXPECT_EQ(sock->maxSendBufferSize(), 65535);
  EXPECT_TRUE(sock->isClosed());
  EXPECT_TRUE(sock->isIPVersionNeutral());
  EXPECT_EQ(sock->delegate(), nullptr);
  EXPECT_EQ(sock->delegateQueue(), nullptr);
}

TEST(UdpSocketSetUp, SettersAreOrderedBeforeLaterGetters) {
  auto sock = DispatchUdpSocket::create();
  std::atomic<bool> seen{true};
  sock->setIPv4Enabled(false);
  std::thread other([&] { seen = sock->isIPv4Enabled(); });
  other.join();
  EXPECT_FALSE(seen);
  sock->setPreferIPv4();
  sock->setPreferIPv6();
  EXPECT_FALSE(sock->isIPv4Preferred());
  EXPECT_TRUE(sock->isIPv6Preferred());
  EXPECT_FALSE(sock->isIPVersionNeutral());
  sock->setIPVersionNeutral();
  EXPECT_TRUE(sock->isIPVersionNeutral());
  sock->setMaxReceiveIPv6BufferSize(100000);
  EXPECT_EQ(sock->maxReceiveIPv6BufferSize(), 100000u);
  auto data = std::make_shared<int>(7);
  sock->setUserData(data);
  EXPECT_EQ(sock->userData(), data);
}

TEST(UdpSocketSetUp, DelegateAccessorsAndNullOutPointers) {
  auto sock = DispatchUdpSocket::create();
  auto delegate = std::make_shared<RecordingUdpDelegate>();
  auto queue = Queue::createSerial("udp.test.q");
  sock->synchronouslySetDelegate(delegate, queue);
  sock->getDelegate(nullptr, nullptr);
  DispatchUdpSocket::DelegatePtr d;
  DispatchUdpSocket::QueuePtr q;
  sock->getDelegate(&d, &q);
  EXPECT_EQ(d, delegate);
  EXPECT_EQ(q, queue);
  // The delegate is held weakly.
  delegate.reset();
  d.reset();
  EXPECT_EQ(sock->delegate(), nullptr);
}

TEST(UdpSocketBind, RefusesWithoutDelegateOrQueue) {
  auto sock = DispatchUdpSocket::create();
  platform::Error error;
  EXPECT_FALSE(sock->bindToPort(0, &error));
  EXPECT_EQ(error.domain(), kDispatchUdpSocketErrorDomain);
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(),
            "Attempting to use socket without a delegate. Set a delegate first.");
  auto delegate = std::make_shared<RecordingUdpDelegate>();
  sock->synchronouslySetDelegate(delegate);
  EXPECT_FALSE(sock->connectToHost("localhost", 9, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Attempting to use socket without a delegate queue. Set a delegate queue first.");
  EXPECT_FALSE(sock->enableBroadcast(true, &error));
  EXPECT_FALSE(sock->joinMulticastGroup("239.1.1.1", &error));
}

TEST(UdpSocketBind, PortZeroBindsBothFamiliesOnce) {
  UdpPeer peer;
  platform::Error error;
  ASSERT_TRUE(peer.socket->bindToPort(0, &error)) << error.description();
  EXPECT_FALSE(peer.socket->isClosed());
  EXPECT_NE(peer.socket->localPort_IPv4(), 0);
  EXPECT_EQ(peer.socket->localPort(), peer.socket->localPort_IPv4());
  EXPECT_EQ(peer.socket->localHost_IPv4(), "0.0.0.0");
  if (testing::hasIPv6Loopback()) {
    EXPECT_TRUE(peer.socket->isIPv6());
    EXPECT_NE(peer.socket->localPort_IPv6(), 0);
    EXPECT_EQ(peer.socket->localHost_IPv6(), "::");
  }
  EXPECT_FALSE(peer.socket->bindToPort(0, &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(), "Cannot bind a socket more than once.");
}

TEST(UdpSocketBind, ToInterfaceByNameAddressAndAlias) {
  {
    UdpPeer peer;
    platform::Error error;
    ASSERT_TRUE(peer.socket->bindToPort(0, "127.0.0.1", &error)) << error.description();
    EXPECT_EQ(peer.socket->localHost(), "127.0.0.1");
    // Only IPv4 carries 127.0.0.1: the IPv6 family is deactivated.
    EXPECT_TRUE(peer.socket->isIPv4());
  }
  {
    UdpPeer peer;
    platform::Error error;
    ASSERT_TRUE(peer.socket->bindToPort(0, "localhost", &error)) << error.description();
    EXPECT_EQ(peer.socket->localHost_IPv4(), "127.0.0.1");
  }
  {
    UdpPeer peer;
    platform::Error error;
    peer.socket->setIPv6Enabled(false);
    ASSERT_TRUE(peer.socket->bindToPort(0, "lo", &error)) << error.description();
    EXPECT_EQ(peer.socket->localHost(), "127.0.0.1");
    EXPECT_FALSE(peer.socket->isIPv6());
  }
  UdpPeer peer;
  platform::Error error;
  EXPECT_FALSE(peer.socket->bindToPort(0, "no-such-interface0", &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(),
            "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
  EXPECT_TRUE(peer.socket->isClosed());
}

TEST(UdpSocketBind, ToAddressAndFamilyChecks) {
  UdpPeer peer;
  platform::Error error;
  EXPECT_FALSE(peer.socket->bindToAddress(Bytes{1, 2, 3}, &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(), "A valid IPv4 or IPv6 address was not given");
  peer.socket->setIPv4Enabled(false);
  EXPECT_FALSE(peer.socket->bindToAddress(loopbackAddress4(0), &error));
  EXPECT_EQ(error.localizedDescription(), "IPv4 has been disabled and an IPv4 address was passed.");
  peer.socket->setIPv4Enabled(true);
  ASSERT_TRUE(peer.socket->bindToAddress(loopbackAddress4(0), &error)) << error.description();
  EXPECT_TRUE(peer.socket->isIPv4());
  EXPECT_FALSE(peer.socket->isIPv6());
  EXPECT_EQ(peer.socket->localHost(), "127.0.0.1");
  EXPECT_NE(peer.socket->localPort(), 0);
  // IPv6 is deactivated by the IPv4 bind: a connect to an IPv6-only peer fails.
  ASSERT_TRUE(peer.socket->connectToAddress(loopbackAddress6(9), &error));
  ASSERT_TRUE(peer.delegate->waitFor(UdpEvent::NotConnected));
  EXPECT_EQ(peer.delegate->eventsOf(UdpEvent::NotConnected)[0].error.localizedDescription(),
            "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 "
            "address(es).");
}

TEST(UdpSocketBind, BindFailureClosesTheSockets) {
  // Sockets of this class ask for address reuse; a plain socket does not,
  // so its port cannot be taken again.
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  UdpPeer second;
  platform::Error error;
  EXPECT_FALSE(second.socket->bindToAddress(loopbackAddress4(ntohs(a.sin_port)), &error));
  EXPECT_EQ(error.domain(), platform::kPOSIXErrorDomain);
  EXPECT_EQ(error.code(), EADDRINUSE);
  EXPECT_EQ(error.localizedFailureReason(), "Error in bind() function");
  EXPECT_TRUE(second.socket->isClosed());
  ::close(fd);
}

TEST(UdpSocketConnect, ToLocalhostFollowsTheFamilyPreference) {
  {
    UdpPeer peer;
    platform::Error error;
    ASSERT_TRUE(peer.socket->connectToHost("localhost", 5353, &error)) << error.description();
    ASSERT_TRUE(peer.delegate->waitFor(UdpEvent::Connected));
    EXPECT_TRUE(peer.socket->isConnected());
    EXPECT_EQ(peer.socket->connectedHost(), "127.0.0.1");
    EXPECT_EQ(peer.socket->connectedPort(), 5353);
    EXPECT_EQ(peer.delegate->eventsOf(UdpEvent::Connected)[0].address.size(), 16u);
    EXPECT_FALSE(peer.socket->isIPv6());
    EXPECT_FALSE(peer.socket->connectToHost("localhost", 5353, &error));
    EXPECT_EQ(error.localizedDescription(), "Cannot connect a socket more than once.");
    EXPECT_FALSE(peer.socket->bindToPort(0, &error));
    EXPECT_EQ(error.localizedDescription(), "Cannot bind a socket more than once.");
  }
  {
    // While the connect waits for its look-up the socket is not bound yet.
    UdpPeer peer;
    platform::Error error;
    peer.socket->performBlock([&] {
      ASSERT_TRUE(peer.socket->connectToHost("localhost", 5353));
      EXPECT_FALSE(peer.socket->bindToPort(0, &error));
    });
    EXPECT_EQ(error.localizedDescription(),
              "Cannot bind after connecting. If needed, bind first, then connect.");
  }
  if (!testing::hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  UdpPeer peer;
  peer.socket->setPreferIPv6();
  ASSERT_TRUE(peer.socket->connectToHost("localhost", 5353));
  ASSERT_TRUE(peer.delegate->waitFor(UdpEvent::Connected));
  EXPECT_EQ(peer.socket->connectedHost(), "::1");
  EXPECT_EQ(peer.delegate->eventsOf(UdpEvent::Connected)[0].address.size(), 28u);
}

TEST(UdpSocketConnect, DisabledFamilyIsNotChosen) {
  if (!testing::hasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  // "localhost" gives 127.0.0.1 first; with IPv4 disabled the IPv6 address
  // is the only one a socket exists for.
  UdpPeer peer;
  peer.socket->setIPv4Enabled(false);
  ASSERT_TRUE(peer.socket->connectToHost("localhost", 5353));
  ASSERT_TRUE(peer.delegate->waitFor(UdpEvent::Connected));
  EXPECT_EQ(peer.socket->connectedHost(), "::1");
}

TEST(UdpSocketConnect, FailuresArriveThroughTheDelegate) {
  UdpPeer peer;
  platform::Error error;
  EXPECT_FALSE(peer.socket->connectToHost("", 9, &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(),
            "The host param is nil. Should be domain name or IP address string.");
  EXPECT_FALSE(peer.socket->connectToAddress(Bytes(), &error));
  EXPECT_EQ(error.localizedDescription(), "The address param is nil. Should be a valid address.");
  peer.socket->setIPv6Enabled(false);
  ASSERT_TRUE(peer.socket->connectToAddress(loopbackAddress6(9), &error));
  ASSERT_TRUE(peer.delegate->waitFor(UdpEvent::NotConnected));
  const auto failed = peer.delegate->eventsOf(UdpEvent::NotConnected)[0];
  EXPECT_EQ(failed.error.code(), 5);
  EXPECT_EQ(failed.error.localizedDescription(),
            "IPv6 has been disabled and DNS lookup found no IPv4 address(es).");
  // The sockets made for the failed connect stay open; a new connect works.
  EXPECT_FALSE(peer.socket->isClosed());
  EXPECT_FALSE(peer.socket->isConnected());
  ASSERT_TRUE(peer.socket->connectToAddress(loopbackAddress4(9), &error));
  ASSERT_TRUE(peer.delegate->waitFor(UdpEvent::Connected));
}

TEST(UdpSocketConnect, ConnectAddressIsACopy) {
  UdpPeer peer;
  Bytes address = loopbackAddress4(4242);
  ASSERT_TRUE(peer.socket->connectToAddress(address));
  address[4] = 99;
  ASSERT_TRUE(peer.delegate->waitFor(UdpEvent::Connected));
  EXPECT_EQ(
      DispatchUdpSocket::hostFromAddress(peer.delegate->eventsOf(UdpEvent::Connected)[0].address),
      "127.0.0.1");
}

TEST(UdpSocketConnect, CloseDuringLookupEndsTheConnectSilently) {
  UdpPeer peer;
  // The look-up answers through the socket queue, so it cannot complete
  // before the close that follows in the same block.
  peer.socket->performBlock([&] {
    ASSERT_TRUE(peer.socket->connectToHost("localhost", 9));
    peer.socket->close();
  });
  ASSERT_TRUE(peer.delegate->waitFor(UdpEvent::Closed));
  // A new connect settles once, whenever the late answer of the first arrives.
  ASSERT_TRUE(peer.socket->connectToHost("localhost", 9));
  ASSERT_TRUE(peer.delegate->waitFor(UdpEvent::Connected));
  peer.socket->performBlock([] {});
  RecordingUdpDelegate::drain(peer.delegateQueue);
  EXPECT_EQ(peer.delegate->count(UdpEvent::Connected), 1u);
  EXPECT_EQ(peer.delegate->count(UdpEvent::NotConnected), 0u);
}

TEST(UdpSocketClose, CallbackOnlyAfterSocketsExisted) {
  UdpPeer peer;
  peer.socket->close();
  RecordingUdpDelegate::drain(peer.delegateQueue);
  EXPECT_EQ(peer.delegate->count(UdpEvent::Closed), 0u);
  ASSERT_TRUE(peer.socket->bindToPort(0));
  peer.socket->close();
  ASSERT_TRUE(peer.delegate->waitFor(UdpEvent::Closed));
  peer.socket->close();
  RecordingUdpDelegate::drain(peer.delegateQueue);
  const auto closed = peer.delegate->eventsOf(UdpEvent::Closed);
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_TRUE(closed[0].error.isNone());
  EXPECT_FALSE(closed[0].nullSocket);
  EXPECT_EQ(closed[0].queueLabel, "udp.test.delegate");
  EXPECT_TRUE(peer.socket->isClosed());
  EXPECT_EQ(peer.socket->localPort(), 0);
  // The object can be bound again.
  EXPECT_TRUE(peer.socket->bindToPort(0));
}

TEST(UdpSocketClose, ViewsAfterCloseKeepTheLastPeer) {
  UdpPeer peer;
  peer.socket->setIPv6Enabled(false);
  ASSERT_TRUE(peer.socket->connectToAddress(loopbackAddress4(4000)));
  ASSERT_TRUE(peer.delegate->waitFor(UdpEvent::Connected));
  peer.socket->close();
  EXPECT_TRUE(peer.socket->isClosed());
  EXPECT_FALSE(peer.socket->isConnected());
  EXPECT_TRUE(peer.socket->isIPv4());   // answers isIPv4Enabled
  EXPECT_FALSE(peer.socket->isIPv6());  // disabled
  EXPECT_EQ(peer.socket->connectedHost(), "127.0.0.1");
  EXPECT_EQ(peer.socket->connectedPort(), 4000);
}

TEST(UdpSocketClose, DestructionClosesWithANullSocket) {
  auto delegate = std::make_shared<RecordingUdpDelegate>();
  auto queue = Queue::createSerial("udp.test.delegate");
  int fd = -1;
  {
    auto sock = DispatchUdpSocket::create(delegate, queue);
    ASSERT_TRUE(sock->bindToAddress(loopbackAddress4(0)));
    sock->performBlock([&] { fd = sock->socket4FD(); });
  }
  ASSERT_TRUE(delegate->waitFor(UdpEvent::Closed));
  EXPECT_TRUE(delegate->eventsOf(UdpEvent::Closed)[0].nullSocket);
  EXPECT_NE(fd, -1);
}

TEST(UdpSocketViews, DescriptorsOnlyOnTheSocketQueue) {
  UdpPeer peer;
  ASSERT_TRUE(peer.socket->bindToPort(0));
  EXPECT_EQ(peer.socket->socket4FD(), -1);
  EXPECT_EQ(peer.socket->socketFD(), -1);
  int fd = -1;
  peer.socket->performBlock([&] { fd = peer.socket->socketFD(); });
  EXPECT_GE(fd, 0);
  // A marked queue counts as the socket queue.
  auto other = Queue::createSerial("udp.test.marked");
  peer.socket->markSocketQueueTargetQueue(other);
  int seen = -1;
  other->sync([&] { seen = peer.socket->socket4FD(); });
  EXPECT_EQ(seen, fd);
  peer.socket->unmarkSocketQueueTargetQueue(other);
  other->sync([&] { seen = peer.socket->socket4FD(); });
  EXPECT_EQ(seen, -1);
}

TEST(UdpSocketAddresses, ReadsRecordsAndRefusesShortOnes) {
  const Bytes dns = loopbackAddress4(53);
  EXPECT_EQ(DispatchUdpSocket::hostFromAddress(dns), "127.0.0.1");
  EXPECT_EQ(DispatchUdpSocket::portFromAddress(dns), 53);
  EXPECT_EQ(DispatchUdpSocket::familyFromAddress(dns), AF_INET);
  EXPECT_TRUE(DispatchUdpSocket::isIPv4Address(dns));
  const Bytes six = loopbackAddress6(5353);
  std::string host;
  std::uint16_t port = 0;
  int family = 0;
  EXPECT_TRUE(DispatchUdpSocket::getHost(&host, &port, &family, six));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 5353);
  EXPECT_EQ(family, AF_INET6);
  // An IPv6 family in a 16-byte record is no address.
  Bytes shortSix(six.begin(), six.begin() + 16);
  host = "x";
  port = 1;
  family = 1;
  EXPECT_FALSE(DispatchUdpSocket::getHost(&host, &port, &family, shortSix));
  EXPECT_EQ(host, "");
  EXPECT_EQ(port, 0);
  EXPECT_EQ(family, 0);
}

}  // namespace
}  // namespace net::sockets
