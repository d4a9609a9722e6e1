#include "net/sockets/socket_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "net/sockets/socket_error.h"

namespace net::sockets {

namespace {

constexpr std::size_t kUnixPathOffset = offsetof(sockaddr_un, sun_path);

sa_family_t rawFamily(const Bytes& address) {
  if (address.size() < sizeof(sa_family_t)) return AF_UNSPEC;
  sa_family_t family;
  std::memcpy(&family, address.data(), sizeof family);
  return family;
}

template <class T>
T recordAs(const Bytes& address) {
  T value;
  std::memset(&value, 0, sizeof value);
  std::memcpy(&value, address.data(), std::min(sizeof value, address.size()));
  return value;
}

template <class T>
Bytes bytesOf(const T& value) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
  return Bytes(p, p + sizeof value);
}

bool isLoopbackName(std::string_view name) { return name == "localhost" || name == "loopback"; }

}  // namespace

// --- reading records -----------------------------------------------------------

int addressFamily(const Bytes& address) {
  switch (rawFamily(address)) {
    case AF_INET:
      return address.size() >= kSockaddr4Size ? AF_INET : 0;
    case AF_INET6:
      return address.size() >= kSockaddr6Size ? AF_INET6 : 0;
    case AF_UNIX:
      return address.size() > kUnixPathOffset ? AF_UNIX : 0;
    default:
      return 0;
  }
}

bool isIPv4Address(const Bytes& address) { return addressFamily(address) == AF_INET; }
bool isIPv6Address(const Bytes& address) { return addressFamily(address) == AF_INET6; }

std::string hostFromSockaddr4(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {0};
  if (!inet_ntop(AF_INET, &address.sin_addr, text, sizeof text)) return {};
  return text;
}

std::string hostFromSockaddr6(const sockaddr_in6& address) {
  char text[INET6_ADDRSTRLEN] = {0};
  if (!inet_ntop(AF_INET6, &address.sin6_addr, text, sizeof text)) return {};
  return text;
}

std::uint16_t portFromSockaddr4(const sockaddr_in& address) { return ntohs(address.sin_port); }
std::uint16_t portFromSockaddr6(const sockaddr_in6& address) { return ntohs(address.sin6_port); }

std::string pathFromSockaddrUN(const sockaddr_un& address, socklen_t length) {
  if (length <= kUnixPathOffset) return {};
  std::size_t room = std::min<std::size_t>(length - kUnixPathOffset, sizeof address.sun_path);
  const char* path = address.sun_path;
  return std::string(path, strnlen(path, room));
}

bool getHostPortFamily(const Bytes& address, std::string* host, std::uint16_t* port, int* family) {
  const int f = addressFamily(address);
  if (f == AF_INET) {
    const auto a = recordAs<sockaddr_in>(address);
    if (host) *host = hostFromSockaddr4(a);
    if (port) *port = portFromSockaddr4(a);
  } else if (f == AF_INET6) {
    const auto a = recordAs<sockaddr_in6>(address);
    if (host) *host = hostFromSockaddr6(a);
    if (port) *port = portFromSockaddr6(a);
  } else {
    return false;
  }
  if (family) *family = f;
  return true;
}

std::optional<std::string> hostFromAddress(const Bytes& address) {
  std::string host;
  if (!getHostPortFamily(address, &host, nullptr, nullptr)) return std::nullopt;
  return host;
}

std::uint16_t portFromAddress(const Bytes& address) {
  std::uint16_t port = 0;
  getHostPortFamily(address, nullptr, &port, nullptr);
  return port;
}

std::optional<std::string> pathFromAddress(const Bytes& address) {
  if (addressFamily(address) != AF_UNIX) return std::nullopt;
  const auto a = recordAs<sockaddr_un>(address);
  return pathFromSockaddrUN(a, static_cast<socklen_t>(std::min(address.size(), sizeof a)));
}

// --- making records -----------------------------------------------------------------

Bytes addressFromSockaddr(const sockaddr* address, socklen_t length) {
  if (!address || length == 0) return {};
  const auto* p = reinterpret_cast<const std::uint8_t*>(address);
  return Bytes(p, p + length);
}

Bytes makeAddress4(const in_addr& host, std::uint16_t port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr = host;
  return bytesOf(a);
}

Bytes makeAddress6(const in6_addr& host, std::uint16_t port, std::uint32_t scopeId) {
  sockaddr_in6 a;
  std::memset(&a, 0, sizeof a);
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = host;
  a.sin6_scope_id = scopeId;
  return bytesOf(a);
}

Bytes anyAddress4(std::uint16_t port) {
  in_addr any;
  any.s_addr = htonl(INADDR_ANY);
  return makeAddress4(any, port);
}

Bytes anyAddress6(std::uint16_t port) { return makeAddress6(in6addr_any, port); }

Bytes loopbackAddress4(std::uint16_t port) {
  in_addr loop;
  loop.s_addr = htonl(INADDR_LOOPBACK);
  return makeAddress4(loop, port);
}

Bytes loopbackAddress6(std::uint16_t port) { return makeAddress6(in6addr_loopback, port); }

Bytes addressWithPort(const Bytes& address, std::uint16_t port) {
  Bytes result = address;
  const int family = addressFamily(address);
  if (family == AF_INET) {
    const std::uint16_t n = htons(port);
    std::memcpy(result.data() + offsetof(sockaddr_in, sin_port), &n, sizeof n);
  } else if (family == AF_INET6) {
    const std::uint16_t n = htons(port);
    std::memcpy(result.data() + offsetof(sockaddr_in6, sin6_port), &n, sizeof n);
  }
  return result;
}

Bytes unixAddressFromPath(std::string_view path) {
  if (path.empty() || path.size() > kMaxUnixPathLength ||
      path.find('\0') != std::string_view::npos) {
    return {};
  }
  sockaddr_un a;
  std::memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  std::memcpy(a.sun_path, path.data(), path.size());
  const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
  return Bytes(p, p + kUnixPathOffset + path.size() + 1);
}

Bytes unixAddressFromURL(const platform::URL& url) {
  if (!url.isValid()) return {};
  return unixAddressFromPath(url.decodedPath());
}

// --- descriptors ---------------------------------------------------------------------

Bytes peerAddressOfSocket(int fd) {
  if (fd < 0) return {};
  sockaddr_storage storage;
  socklen_t length = sizeof storage;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) < 0) return {};
  return addressFromSockaddr(reinterpret_cast<sockaddr*>(&storage),
                             std::min<socklen_t>(length, sizeof storage));
}

Bytes localAddressOfSocket(int fd) {
  if (fd < 0) return {};
  sockaddr_storage storage;
  socklen_t length = sizeof storage;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) < 0) return {};
  return addressFromSockaddr(reinterpret_cast<sockaddr*>(&storage),
                             std::min<socklen_t>(length, sizeof storage));
}

// --- interfaces ----------------------------------------------------------------------

InterfaceAddresses interfaceAddresses(std::optional<std::string_view> interface,
                                      std::uint16_t port) {
  InterfaceAddresses result;
  if (!interface) {
    result.address4 = anyAddress4(port);
    result.address6 = anyAddress6(port);
    return result;
  }
  if (isLoopbackName(*interface)) {
    result.address4 = loopbackAddress4(port);
    result.address6 = loopbackAddress6(port);
    return result;
  }
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr) continue;
    const bool nameMatches = entry->ifa_name && *interface == entry->ifa_name;
    if (entry->ifa_addr->sa_family == AF_INET && result.address4.empty()) {
      sockaddr_in a;
      std::memcpy(&a, entry->ifa_addr, sizeof a);
      if (nameMatches || hostFromSockaddr4(a) == *interface) {
        a.sin_port = htons(port);
        result.address4 = bytesOf(a);
      }
    } else if (entry->ifa_addr->sa_family == AF_INET6 && result.address6.empty()) {
      sockaddr_in6 a;
      std::memcpy(&a, entry->ifa_addr, sizeof a);
      if (nameMatches || hostFromSockaddr6(a) == *interface) {
        a.sin6_port = htons(port);
        result.address6 = bytesOf(a);
      }
    }
  }
  freeifaddrs(list);
  return result;
}

InterfaceAddresses interfaceAddressesFromDescription(std::optional<std::string_view> description,
                                                     std::uint16_t port) {
  std::optional<std::string_view> interface;
  if (description) {
    const std::size_t colon = description->find(':');
    const std::string_view name = description->substr(0, colon);
    if (!name.empty()) interface = name;
    if (port == 0 && colon != std::string_view::npos) {
      const std::string_view rest = description->substr(colon + 1);
      // Only the text up to a further ':' counts; "fe80::1" gives no port.
      const std::string_view digits = rest.substr(0, rest.find(':'));
      unsigned value = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
      if (ec == std::errc() && end == digits.data() + digits.size() && value >= 1 &&
          value <= 65535) {
        port = static_cast<std::uint16_t>(value);
      }
    }
  }
  return interfaceAddresses(interface, port);
}

// --- host look-up --------------------------------------------------------------------

std::vector<Bytes> lookupHost(std::string_view host, std::uint16_t port, int socketType,
                              platform::Error* error) {
  std::vector<Bytes> addresses;
  if (isLoopbackName(host)) {
    addresses.push_back(loopbackAddress4(port));
    addresses.push_back(loopbackAddress6(port));
    return addresses;
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = socketType;
  hints.ai_protocol = socketType == SOCK_DGRAM ? IPPROTO_UDP : IPPROTO_TCP;
  const std::string hostText(host);
  const std::string portText = std::to_string(port);
  addrinfo* results = nullptr;
  const int status = getaddrinfo(hostText.c_str(), portText.c_str(), &hints, &results);
  if (status != 0) {
    if (error) *error = gaiError(status, errno);
    return addresses;
  }
  for (addrinfo* r = results; r; r = r->ai_next) {
    if (r->ai_family == AF_INET && r->ai_addrlen >= kSockaddr4Size) {
      addresses.push_back(addressFromSockaddr(r->ai_addr, kSockaddr4Size));
    } else if (r->ai_family == AF_INET6 && r->ai_addrlen >= kSockaddr6Size) {
      Bytes a = addressFromSockaddr(r->ai_addr, kSockaddr6Size);
      if (portFromAddress(a) == 0) a = addressWithPort(a, port);
      addresses.push_back(std::move(a));
    }
  }
  freeaddrinfo(results);
  if (addresses.empty() && error) *error = gaiError(EAI_FAIL);
  return addresses;
}

void lookupHostAsync(std::string host, std::uint16_t port, int socketType,
                     platform::dispatch::QueuePtr replyQueue, LookupCompletion completion) {
  platform::dispatch::Queue::global(platform::dispatch::Priority::Default)
      ->async([host = std::move(host), port, socketType, replyQueue = std::move(replyQueue),
               completion = std::move(completion)]() mutable {
        platform::Error error;
        std::vector<Bytes> addresses = lookupHost(host, port, socketType, &error);
        replyQueue->async([completion = std::move(completion), addresses = std::move(addresses),
                           error = std::move(error)]() mutable {
          completion(std::move(addresses), std::move(error));
        });
      });
}

InterfaceAddresses numericHostAddresses(std::string_view host, std::uint16_t port, int socketType) {
  InterfaceAddresses result;
  if (host.empty()) return result;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = socketType;
  hints.ai_protocol = socketType == SOCK_DGRAM ? IPPROTO_UDP : IPPROTO_TCP;
  const std::string hostText(host);
  const std::string portText = std::to_string(port);
  addrinfo* results = nullptr;
  if (getaddrinfo(hostText.c_str(), portText.c_str(), &hints, &results) != 0) return result;
  for (addrinfo* r = results; r; r = r->ai_next) {
    if (r->ai_family == AF_INET && r->ai_addrlen >= kSockaddr4Size && result.address4.empty()) {
      result.address4 = addressFromSockaddr(r->ai_addr, kSockaddr4Size);
    } else if (r->ai_family == AF_INET6 && r->ai_addrlen >= kSockaddr6Size &&
               result.address6.empty()) {
      result.address6 = addressFromSockaddr(r->ai_addr, kSockaddr6Size);
    }
  }
  freeaddrinfo(results);
  return result;
}

AddressPair firstAddresses(const std::vector<Bytes>& addresses) {
  AddressPair pair;
  for (const Bytes& a : addresses) {
    const int family = addressFamily(a);
    if (family == AF_INET && pair.address4.empty()) {
      pair.address4 = a;
      if (!pair.firstFamily) pair.firstFamily = AF_INET;
    } else if (family == AF_INET6 && pair.address6.empty()) {
      pair.address6 = a;
      if (!pair.firstFamily) pair.firstFamily = AF_INET6;
    }
    if (!pair.address4.empty() && !pair.address6.empty()) break;
  }
  return pair;
}

Bytes preferredAddress(const std::vector<Bytes>& addresses, bool preferIPv4, bool preferIPv6) {
  AddressPair pair = firstAddresses(addresses);
  const bool has4 = !pair.address4.empty();
  const bool has6 = !pair.address6.empty();
  if (!has4 && !has6) return {};
  if ((preferIPv4 && has4) || !has6) return pair.address4;
  if ((preferIPv6 && has6) || !has4) return pair.address6;
  return pair.firstFamily == AF_INET ? pair.address4 : pair.address6;
}

}  // namespace net::sockets
