// Socket-address records and the look-ups that make them, shared by the TCP
// and the UDP socket.
//
// An address record is a byte string (platform::Bytes) holding the system's
// own socket-address structure: a sockaddr_in of 16 bytes for IPv4, a
// sockaddr_in6 of 28 bytes for IPv6, a sockaddr_un of
// offsetof(sun_path) + path length + 1 bytes for a Unix-domain path. The
// record's size is the length to hand to bind(), connect() and sendto().
// An empty record means "no address".
//
// Guarantees:
//  1. Nothing here reads beyond a record: a record too short for its family
//     counts as no address (family 0, no host, port 0).
//  2. A Unix-domain path that does not fit the system's structure is
//     refused (empty record), never truncated.
//  3. The host texts "localhost" and "loopback" (exact, case-sensitive) are
//     answered without the resolver: 127.0.0.1 first, then ::1.
//
// Thread safety: every function may be called from any thread. lookupHost()
// blocks on the system resolver; lookupHostAsync() runs it on the global
// default-priority queue.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace net::sockets {

using platform::Bytes;

inline constexpr std::size_t kSockaddr4Size = sizeof(sockaddr_in);   // 16
inline constexpr std::size_t kSockaddr6Size = sizeof(sockaddr_in6);  // 28
// The longest Unix-domain path, in bytes, without its terminating zero.
inline constexpr std::size_t kMaxUnixPathLength = sizeof(sockaddr_un::sun_path) - 1;

// --- reading records ---------------------------------------------------------

// AF_INET for a record of at least 16 bytes with that family, AF_INET6 for
// at least 28 bytes, AF_UNIX for a record that holds at least the family and
// one path byte; 0 for anything else.
int addressFamily(const Bytes& address);
bool isIPv4Address(const Bytes& address);  // addressFamily == AF_INET
bool isIPv6Address(const Bytes& address);  // addressFamily == AF_INET6

// The address as text (dotted IPv4, IPv6 text form); "" when conversion fails.
std::string hostFromSockaddr4(const sockaddr_in& address);
std::string hostFromSockaddr6(const sockaddr_in6& address);
// The port in host byte order.
std::uint16_t portFromSockaddr4(const sockaddr_in& address);
std::uint16_t portFromSockaddr6(const sockaddr_in6& address);
// The path of a Unix-domain record of `length` bytes ("" for an unnamed one).
std::string pathFromSockaddrUN(const sockaddr_un& address, socklen_t length);

// Host text, port and family of an IPv4 or IPv6 record; false (and nothing
// stored) for any other record. Each out-pointer is optional.
bool getHostPortFamily(const Bytes& address, std::string* host, std::uint16_t* port, int* family);
// Host text of an IPv4 or IPv6 record; nullopt for anything else.
std::optional<std::string> hostFromAddress(const Bytes& address);
// Port of an IPv4 or IPv6 record; 0 for anything else.
std::uint16_t portFromAddress(const Bytes& address);
// Path of a Unix-domain record; nullopt for anything else.
std::optional<std::string> pathFromAddress(const Bytes& address);

// --- making records ----------------------------------------------------------

// A record from a system structure of `length` bytes (copied as given).
Bytes addressFromSockaddr(const sockaddr* address, socklen_t length);
Bytes makeAddress4(const in_addr& host, std::uint16_t port);
Bytes makeAddress6(const in6_addr& host, std::uint16_t port, std::uint32_t scopeId = 0);
Bytes anyAddress4(std::uint16_t port);       // 0.0.0.0
Bytes anyAddress6(std::uint16_t port);       // ::
Bytes loopbackAddress4(std::uint16_t port);  // 127.0.0.1
Bytes loopbackAddress6(std::uint16_t port);  // ::1
// The same IPv4 or IPv6 record with another port; other records unchanged.
Bytes addressWithPort(const Bytes& address, std::uint16_t port);

// A Unix-domain record for `path`; empty when the path is empty, holds a
// zero byte or is longer than kMaxUnixPathLength.
Bytes unixAddressFromPath(std::string_view path);
// The same for the (percent-decoded) path of a file URL; empty for a URL
// without a path.
Bytes unixAddressFromURL(const platform::URL& url);

// --- descriptors -------------------------------------------------------------

// The peer's (getpeername) or the local (getsockname) address of a
// descriptor; empty when the call fails.
Bytes peerAddressOfSocket(int fd);
Bytes localAddressOfSocket(int fd);

// --- interfaces --------------------------------------------------------------

struct InterfaceAddresses {
  Bytes address4;  // empty: no IPv4 address
  Bytes address6;  // empty: no IPv6 address
};

// The addresses of a local interface, with `port`:
//  - no interface: the any-addresses 0.0.0.0 and ::
//  - "localhost" or "loopback": 127.0.0.1 and ::1
//  - otherwise the system's interface list (getifaddrs) in order: the first
//    IPv4 entry whose interface name equals `interface` or whose dotted
//    address equals it, and independently the first such IPv6 entry (name,
//    or IPv6 text form). Either may be missing.
InterfaceAddresses interfaceAddresses(std::optional<std::string_view> interface,
                                      std::uint16_t port);

// The same for an interface description of the form "name", "name:port" or
// ":port": the part before the first ':' names the interface (none when
// empty); when `port` is 0 the part after it, a decimal number from 1 to
// 65535, is used as the port.
InterfaceAddresses interfaceAddressesFromDescription(std::optional<std::string_view> description,
                                                     std::uint16_t port);

// --- host look-up ------------------------------------------------------------

// Looks `host` up for `port` (blocking). socketType is SOCK_STREAM (TCP) or
// SOCK_DGRAM (UDP). "localhost" and "loopback" answer 127.0.0.1 and ::1
// without the resolver. Otherwise getaddrinfo with any family; every IPv4
// and IPv6 result is kept in resolver order (an IPv6 result with port 0
// gets `port`). A resolver failure, or no usable result (EAI_FAIL), gives
// an empty list and a resolver-domain error in `*error` when given; on
// success `*error` is untouched.
std::vector<Bytes> lookupHost(std::string_view host, std::uint16_t port, int socketType,
                              platform::Error* error = nullptr);

using LookupCompletion = std::function<void(std::vector<Bytes> addresses, platform::Error error)>;
// Runs lookupHost on the global default-priority queue and hands its result
// to `completion` asynchronously on `replyQueue` (never inside this call).
void lookupHostAsync(std::string host, std::uint16_t port, int socketType,
                     platform::dispatch::QueuePtr replyQueue, LookupCompletion completion);

// A numeric host ("127.0.0.1", "::1") only, without the resolver's network
// look-up (AI_NUMERICHOST): the first IPv4 and first IPv6 result.
InterfaceAddresses numericHostAddresses(std::string_view host, std::uint16_t port, int socketType);

// The first IPv4 and the first IPv6 record of `addresses`, and which family
// came first (AF_INET, AF_INET6, or 0 for an empty list).
struct AddressPair {
  Bytes address4;
  Bytes address6;
  int firstFamily = 0;
};
AddressPair firstAddresses(const std::vector<Bytes>& addresses);

// Picks one record by family preference: IPv4 when `preferIPv4` and an IPv4
// record exists, or when there is no IPv6 record; else IPv6 when
// `preferIPv6` and one exists, or when there is no IPv4 record; else the
// family that came first. Empty when the list holds neither family.
Bytes preferredAddress(const std::vector<Bytes>& addresses, bool preferIPv4, bool preferIPv6);

}  // namespace net::sockets
