// DispatchUdpSocket: multicast membership, port reuse and broadcast.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <optional>

#include "net/sockets/socket_address.h"
#include "net/sockets/socket_error.h"
#include "net/sockets/udp_address_extras.h"
#include "net/sockets/udp_socket.h"

namespace net::sockets {

bool DispatchUdpSocket::preJoin(platform::Error* error) const {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!preOp(error)) return false;
  if (!(flags_ & kDidBind)) {
    if (error) *error = udpBadConfigError("Must bind a socket before joining a multicast group.");
    return false;
  }
  if (flags_ & (kConnecting | kDidConnect)) {
    if (error) *error = udpBadConfigError("Cannot join a multicast group if connected.");
    return false;
  }
  return true;
}

bool DispatchUdpSocket::joinMulticastGroup(const std::string& group, platform::Error* error) {
  bool ok = false;
  runSync([&] { ok = performMulticastRequest(MulticastRequest::Join, group, nullptr, error); });
  return ok;
}

bool DispatchUdpSocket::joinMulticastGroup(const std::string& group, const std::string& interface,
                                           platform::Error* error) {
  bool ok = false;
  runSync([&] {
    ok = performMulticastRequest(MulticastRequest::Join, group,
                                 interface.empty() ? nullptr : &interface, error);
  });
  return ok;
}

bool DispatchUdpSocket::leaveMulticastGroup(const std::string& group, platform::Error* error) {
  bool ok = false;
  runSync([&] { ok = performMulticastRequest(MulticastRequest::Leave, group, nullptr, error); });
  return ok;
}

bool DispatchUdpSocket::leaveMulticastGroup(const std::string& group, const std::string& interface,
                                            platform::Error* error) {
  bool ok = false;
  runSync([&] {
    ok = performMulticastRequest(MulticastRequest::Leave, group,
                                 interface.empty() ? nullptr : &interface, error);
  });
  return ok;
}

bool DispatchUdpSocket::performMulticastRequest(MulticastRequest request, const std::string& group,
                                                const std::string* interface,
                                                platform::Error* error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!preJoin(error)) return false;
  const InterfaceAddresses groupAddresses = numericHostAddresses(group, 0, SOCK_DGRAM);
  if (groupAddresses.address4.empty() && groupAddresses.address6.empty()) {
    if (error) *error = udpBadParamError("Unknown group. Specify valid group IP address.");
    return false;
  }
  const InterfaceAddresses interfaceAddrs =
      interfaceAddresses(interface ? std::optional<std::string_view>(*interface) : std::nullopt, 0);
  if (interfaceAddrs.address4.empty() && interfaceAddrs.address6.empty()) {
    if (error) {
      *error = udpBadParamError(
          "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
    }
    return false;
  }

  // IPv4 and IPv6 memberships are different options with different records.
  if (!groupAddresses.address4.empty() && !interfaceAddrs.address4.empty() && socket4FD_ != -1) {
    sockaddr_in g;
    sockaddr_in i;
    std::memcpy(&g, groupAddresses.address4.data(), sizeof g);
    std::memcpy(&i, interfaceAddrs.address4.data(), sizeof i);
    ip_mreq membership;
    std::memset(&membership, 0, sizeof membership);
    membership.imr_multiaddr = g.sin_addr;
    membership.imr_interface = i.sin_addr;
    const int option = request == MulticastRequest::Join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP;
    if (::setsockopt(socket4FD_, IPPROTO_IP, option, &membership, sizeof membership) < 0) {
      if (error) *error = errnoErrorWithReason("Error in setsockopt() function");
      return false;
    }
    closeSocket(AF_INET6);
    return true;
  }
  if (!groupAddresses.address6.empty() && !interfaceAddrs.address6.empty() && socket6FD_ != -1) {
    sockaddr_in6 g;
    std::memcpy(&g, groupAddresses.address6.data(), sizeof g);
    ipv6_mreq membership;
    std::memset(&membership, 0, sizeof membership);
    membership.ipv6mr_multiaddr = g.sin6_addr;
    membership.ipv6mr_interface = interfaceIndexOfAddress6(interfaceAddrs.address6);
    const int option =
        request == MulticastRequest::Join ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP;
    if (::setsockopt(socket6FD_, IPPROTO_IPV6, option, &membership, sizeof membership) < 0) {
      if (error) *error = errnoErrorWithReason("Error in setsockopt() function");
      return false;
    }
    closeSocket(AF_INET);
    return true;
  }
  if (error)
    *error = udpBadParamError("Socket, group, and interface do not have matching IP versions");
  return false;
}

bool DispatchUdpSocket::setOptionOnSockets(int option, bool flag, bool ipv4Only,
                                           platform::Error* error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!preOp(error)) return false;
  if (!(flags_ & kDidCreateSockets) && !createSockets(error)) return false;
  const int value = flag ? 1 : 0;
  bool any = false;
  for (const int fd : {socket4FD_, ipv4Only ? -1 : socket6FD_}) {
    if (fd == -1) continue;
    if (::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) < 0) {
      if (error) *error = errnoErrorWithReason("Error in setsockopt() function");
      return false;
    }
    any = true;
  }
  if (!any && error) *error = platform::Error();
  return any;
}

bool DispatchUdpSocket::enableReusePort(bool flag, platform::Error* error) {
  bool ok = false;
  runSync([&] { ok = setOptionOnSockets(SO_REUSEPORT, flag, false, error); });
  return ok;
}

bool DispatchUdpSocket::enableBroadcast(bool flag, platform::Error* error) {
  bool ok = false;
  runSync([&] { ok = setOptionOnSockets(SO_BROADCAST, flag, true, error); });
  return ok;
}

}  // namespace net::sockets
