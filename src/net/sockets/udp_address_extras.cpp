#include "net/sockets/udp_address_extras.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstring>

#include "net/sockets/socket_address.h"

namespace net::sockets {

namespace {

// Walks the interface list and answers the index of the first entry of
// `family` whose raw address (`length` bytes at `offset` in its record)
// equals `wanted`.
unsigned indexOfInterfaceWith(int family, const void* wanted, std::size_t offset,
                              std::size_t length) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  unsigned index = 0;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != family || !entry->ifa_name) continue;
    const auto* raw = reinterpret_cast<const unsigned char*>(entry->ifa_addr);
    if (std::memcmp(raw + offset, wanted, length) == 0) {
      index = if_nametoindex(entry->ifa_name);
      break;
    }
  }
  freeifaddrs(list);
  return index;
}

}  // namespace

unsigned interfaceIndexOfAddress6(const platform::Bytes& address) {
  if (address.size() != kSockaddr6Size || !isIPv6Address(address)) return 0;
  sockaddr_in6 a;
  std::memcpy(&a, address.data(), sizeof a);
  return indexOfInterfaceWith(AF_INET6, &a.sin6_addr, offsetof(sockaddr_in6, sin6_addr),
                              sizeof a.sin6_addr);
}

unsigned interfaceIndexOfAddress4(const platform::Bytes& address) {
  if (address.size() != kSockaddr4Size || !isIPv4Address(address)) return 0;
  sockaddr_in a;
  std::memcpy(&a, address.data(), sizeof a);
  return indexOfInterfaceWith(AF_INET, &a.sin_addr, offsetof(sockaddr_in, sin_addr),
                              sizeof a.sin_addr);
}

}  // namespace net::sockets
