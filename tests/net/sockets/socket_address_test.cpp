#include "net/sockets/socket_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/sockets/socket_error.h"
#include "platform/dispatch/dispatch.h"

namespace net::sockets {
namespace {

TEST(SocketAddressTest, RecordsRoundTripHostPortAndFamily) {
  const Bytes v4 = loopbackAddress4(8080);
  ASSERT_EQ(v4.size(), 16u);
  std::string host;
  std::uint16_t port = 0;
  int family = 0;
  ASSERT_TRUE(getHostPortFamily(v4, &host, &port, &family));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 8080);
  EXPECT_EQ(family, AF_INET);

  const Bytes v6 = loopbackAddress6(443);
  ASSERT_EQ(v6.size(), 28u);
  EXPECT_EQ(hostFromAddress(v6), "::1");
  EXPECT_EQ(portFromAddress(v6), 443);
  EXPECT_TRUE(isIPv6Address(v6));
  EXPECT_FALSE(isIPv4Address(v6));

  EXPECT_EQ(portFromAddress(addressWithPort(v4, 9)), 9);
  EXPECT_EQ(hostFromAddress(anyAddress6(0)), "::");
}

TEST(SocketAddressTest, ShortOrForeignRecordsAreNoAddress) {
  Bytes v6 = loopbackAddress6(1);
  v6.resize(16);  // an IPv6 family in an IPv4-sized record
  EXPECT_EQ(addressFamily(v6), 0);
  EXPECT_FALSE(getHostPortFamily(v6, nullptr, nullptr, nullptr));
  EXPECT_EQ(hostFromAddress(v6), std::nullopt);
  EXPECT_EQ(portFromAddress(Bytes{1, 2, 3}), 0);
  EXPECT_EQ(addressFamily(Bytes()), 0);
}

TEST(SocketAddressTest, UnixPathsAreRefusedWhenTooLongNotCut) {
  const Bytes ok = unixAddressFromPath("/tmp/some.sock");
  ASSERT_FALSE(ok.empty());
  EXPECT_EQ(addressFamily(ok), AF_UNIX);
  EXPECT_EQ(pathFromAddress(ok), "/tmp/some.sock");

  const std::string longest(kMaxUnixPathLength, 'a');
  EXPECT_EQ(pathFromAddress(unixAddressFromPath(longest)), longest);
  EXPECT_TRUE(unixAddressFromPath(longest + "b").empty());
  EXPECT_TRUE(unixAddressFromPath("").empty());
  EXPECT_TRUE(unixAddressFromPath(std::string("a\0b", 3)).empty());
  EXPECT_EQ(pathFromAddress(unixAddressFromURL(platform::URL("file:///tmp/a%20b"))), "/tmp/a b");
}

TEST(SocketAddressTest, InterfaceDescriptions) {
  // No interface: the any-addresses, with the port.
  InterfaceAddresses any = interfaceAddresses(std::nullopt, 7);
  EXPECT_EQ(hostFromAddress(any.address4), "0.0.0.0");
  EXPECT_EQ(hostFromAddress(any.address6), "::");
  EXPECT_EQ(portFromAddress(any.address6), 7);

  InterfaceAddresses loop = interfaceAddresses("loopback", 5);
  EXPECT_EQ(hostFromAddress(loop.address4), "127.0.0.1");
  EXPECT_EQ(hostFromAddress(loop.address6), "::1");

  // ":8080" names no interface; the port comes from the description only
  // when none is given.
  InterfaceAddresses described = interfaceAddressesFromDescription(":8080", 0);
  EXPECT_EQ(hostFromAddress(described.address4), "0.0.0.0");
  EXPECT_EQ(portFromAddress(described.address4), 8080);
  EXPECT_EQ(portFromAddress(interfaceAddressesFromDescription("localhost:8080", 80).address4), 80);
  EXPECT_EQ(portFromAddress(interfaceAddressesFromDescription("localhost:99999", 0).address4), 0);

  // An IPv4 address text finds the interface that carries it.
  InterfaceAddresses byAddress = interfaceAddresses("127.0.0.1", 1);
  EXPECT_EQ(hostFromAddress(byAddress.address4), "127.0.0.1");

  EXPECT_TRUE(interfaceAddresses("no-such-interface0", 1).address4.empty());
  // "fe80::1" is cut at its first ':' and names an interface "fe80".
  InterfaceAddresses cut = interfaceAddressesFromDescription("fe80::1", 0);
  EXPECT_TRUE(cut.address4.empty());
  EXPECT_TRUE(cut.address6.empty());
}

TEST(SocketAddressTest, InterfaceNameFindsItsAddresses) {
  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  std::string loName;
  for (ifaddrs* e = list; e; e = e->ifa_next) {
    if (e->ifa_addr && e->ifa_addr->sa_family == AF_INET && (e->ifa_flags & IFF_LOOPBACK)) {
      loName = e->ifa_name;
      break;
    }
  }
  freeifaddrs(list);
  if (loName.empty()) GTEST_SKIP() << "no loopback interface with IPv4";
  InterfaceAddresses found = interfaceAddressesFromDescription(loName + ":8080", 0);
  EXPECT_EQ(hostFromAddress(found.address4), "127.0.0.1");
  EXPECT_EQ(portFromAddress(found.address4), 8080);
}

TEST(SocketAddressTest, LookupAnswersLoopbackNamesWithoutResolver) {
  platform::Error error;
  auto list = lookupHost("localhost", 53213, SOCK_STREAM, &error);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_FALSE(error);
  EXPECT_EQ(hostFromAddress(list[0]), "127.0.0.1");
  EXPECT_EQ(hostFromAddress(list[1]), "::1");
  EXPECT_EQ(portFromAddress(list[1]), 53213);

  // Case-sensitive: "LOCALHOST" goes to the resolver, and numeric hosts resolve.
  auto numeric = lookupHost("127.0.0.1", 9, SOCK_DGRAM, &error);
  ASSERT_FALSE(numeric.empty());
  EXPECT_EQ(hostFromAddress(numeric[0]), "127.0.0.1");
}

TEST(SocketAddressTest, LookupFailureIsAResolverError) {
  platform::Error error;
  auto list = lookupHost("no-such-host.invalid", 1, SOCK_STREAM, &error);
  EXPECT_TRUE(list.empty());
  ASSERT_TRUE(error);
  EXPECT_EQ(error.domain(), kNetDBErrorDomain);
  EXPECT_NE(error.code(), 0);
  EXPECT_FALSE(error.localizedDescription().empty());
}

TEST(SocketAddressTest, AsyncLookupAnswersOnTheReplyQueue) {
  auto queue = platform::dispatch::Queue::createSerial("reply");
  platform::dispatch::Semaphore done;
  bool onQueue = false;
  std::vector<Bytes> result;
  lookupHostAsync("loopback", 5, SOCK_STREAM, queue,
                  [&](std::vector<Bytes> addresses, platform::Error error) {
                    onQueue = queue->isCurrent() && !error;
                    result = std::move(addresses);
                    done.signal();
                  });
  ASSERT_TRUE(done.wait(std::chrono::seconds(10)));
  EXPECT_TRUE(onQueue);
  EXPECT_EQ(result.size(), 2u);
}

TEST(SocketAddressTest, FamilyChoice) {
  const std::vector<Bytes> v6First = {loopbackAddress6(1), loopbackAddress4(1)};
  AddressPair pair = firstAddresses(v6First);
  EXPECT_EQ(pair.firstFamily, AF_INET6);
  EXPECT_FALSE(pair.address4.empty());
  EXPECT_TRUE(isIPv4Address(preferredAddress(v6First, true, false)));
  EXPECT_TRUE(isIPv6Address(preferredAddress(v6First, false, true)));
  EXPECT_TRUE(isIPv6Address(preferredAddress(v6First, false, false)));  // first wins
  EXPECT_TRUE(isIPv6Address(preferredAddress({loopbackAddress6(1)}, true, false)));
  EXPECT_TRUE(preferredAddress({}, true, true).empty());
  auto numeric = numericHostAddresses("::1", 4, SOCK_STREAM);
  EXPECT_EQ(hostFromAddress(numeric.address6), "::1");
  EXPECT_TRUE(numericHostAddresses("example.invalid", 4, SOCK_STREAM).address4.empty());
}

TEST(SocketErrorTest, DomainsCodesAndTexts) {
  platform::Error posix = errnoError(ECONNREFUSED, "Error in connect() function");
  EXPECT_EQ(posix.domain(), platform::kPOSIXErrorDomain);
  EXPECT_EQ(posix.code(), ECONNREFUSED);
  EXPECT_EQ(posix.localizedDescription(), std::strerror(ECONNREFUSED));
  EXPECT_EQ(posix.localizedFailureReason(), "Error in connect() function");
  EXPECT_EQ(errnoError(EPIPE).localizedFailureReason(), "");

  platform::Error gai = gaiError(EAI_FAIL);
  EXPECT_EQ(gai.domain(), kNetDBErrorDomain);
  EXPECT_EQ(gai.code(), EAI_FAIL);
  EXPECT_EQ(gai.localizedDescription(), gai_strerror(EAI_FAIL));

  platform::Error own = makeDomainError("SomeDomain", 3, "text");
  EXPECT_EQ(own.domain(), "SomeDomain");
  EXPECT_EQ(own.code(), 3);
  EXPECT_EQ(own.localizedDescription(), "text");
}

TEST(SocketAddressTest, DescriptorQueries) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  const Bytes any = loopbackAddress4(0);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(any.data()), any.size()), 0);
  const Bytes local = localAddressOfSocket(fd);
  EXPECT_EQ(hostFromAddress(local), "127.0.0.1");
  EXPECT_NE(portFromAddress(local), 0);
  EXPECT_TRUE(peerAddressOfSocket(fd).empty());  // not connected
  ::close(fd);
  EXPECT_TRUE(localAddressOfSocket(-1).empty());
}

}  // namespace
}  // namespace net::sockets
