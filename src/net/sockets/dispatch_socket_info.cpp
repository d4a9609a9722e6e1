// DispatchSocket: the views of the connection (hosts, ports, addresses, families).
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "net/sockets/dispatch_socket.h"
#include "net/sockets/dispatch_socket_internal.h"
#include "net/sockets/dispatch_socket_tls.h"
#include "net/sockets/socket_error.h"
#include "net/sockets/source_suspension.h"

namespace net::sockets {

using platform::Error;
using platform::dispatch::Duration;
using platform::dispatch::Queue;
using platform::dispatch::Source;

using namespace dispatch_socket_internal;

// --- diagnostics -------------------------------------------------------------------------------

std::optional<std::string> DispatchSocket::hostOf(const Bytes& address) {
  return hostFromAddress(address);
}

template <class T>
T DispatchSocket::ofConnectedFamily(T (DispatchSocket::*of4)() const,
                                    T (DispatchSocket::*of6)() const) const {
  T result{};
  runSync([&] {
    if (socket4FD_ != -1) {
      result = (this->*of4)();
    } else if (socket6FD_ != -1) {
      result = (this->*of6)();
    }
  });
  return result;
}

bool DispatchSocket::isDisconnected() const {
  bool result = false;
  runSync([&] { result = !(flags_ & kSocketStarted); });
  return result;
}

bool DispatchSocket::isConnected() const {
  bool result = false;
  runSync([&] { result = flags_ & kConnected; });
  return result;
}

std::optional<std::string> DispatchSocket::connectedHost4() const {
  return socket4FD_ == -1 ? std::nullopt : hostOf(peerAddressOfSocket(socket4FD_));
}
std::optional<std::string> DispatchSocket::connectedHost6() const {
  return socket6FD_ == -1 ? std::nullopt : hostOf(peerAddressOfSocket(socket6FD_));
}
std::uint16_t DispatchSocket::connectedPort4() const {
  return socket4FD_ == -1 ? 0 : portFromAddress(peerAddressOfSocket(socket4FD_));
}
std::uint16_t DispatchSocket::connectedPort6() const {
  return socket6FD_ == -1 ? 0 : portFromAddress(peerAddressOfSocket(socket6FD_));
}
std::optional<std::string> DispatchSocket::localHost4() const {
  return socket4FD_ == -1 ? std::nullopt : hostOf(localAddressOfSocket(socket4FD_));
}
std::optional<std::string> DispatchSocket::localHost6() const {
  return socket6FD_ == -1 ? std::nullopt : hostOf(localAddressOfSocket(socket6FD_));
}
std::uint16_t DispatchSocket::localPort4() const {
  return socket4FD_ == -1 ? 0 : portFromAddress(localAddressOfSocket(socket4FD_));
}
std::uint16_t DispatchSocket::localPort6() const {
  return socket6FD_ == -1 ? 0 : portFromAddress(localAddressOfSocket(socket6FD_));
}

std::optional<std::string> DispatchSocket::connectedHost() const {
  return ofConnectedFamily(&DispatchSocket::connectedHost4, &DispatchSocket::connectedHost6);
}

std::uint16_t DispatchSocket::connectedPort() const {
  return ofConnectedFamily(&DispatchSocket::connectedPort4, &DispatchSocket::connectedPort6);
}

std::optional<platform::URL> DispatchSocket::connectedUrl() const {
  std::optional<platform::URL> result;
  runSync([&] {
    if (socketUN_ == -1) return;
    const Bytes peer = peerAddressOfSocket(socketUN_);
    if (auto path = pathFromAddress(peer); path && !path->empty()) {
      result = platform::URL::fileURLWithPath(*path);
    } else if (connectInterfaceUN_.size() > 0) {
      if (auto own = pathFromAddress(connectInterfaceUN_)) {
        result = platform::URL::fileURLWithPath(*own);
      }
    }
  });
  return result;
}

std::optional<std::string> DispatchSocket::localHost() const {
  return ofConnectedFamily(&DispatchSocket::localHost4, &DispatchSocket::localHost6);
}

std::uint16_t DispatchSocket::localPort() const {
  return ofConnectedFamily(&DispatchSocket::localPort4, &DispatchSocket::localPort6);
}

Bytes DispatchSocket::addressOfSockets(Bytes (*addressOf)(int fd)) const {
  Bytes result;
  runSync([&] {
    // The IPv6 descriptor's answer wins when both have one.
    for (const int fd : {socket4FD_, socket6FD_}) {
      if (fd == -1) continue;
      if (Bytes a = addressOf(fd); !a.empty()) result = std::move(a);
    }
  });
  return result;
}

Bytes DispatchSocket::connectedAddress() const { return addressOfSockets(peerAddressOfSocket); }

Bytes DispatchSocket::localAddress() const { return addressOfSockets(localAddressOfSocket); }

bool DispatchSocket::isIPv4() const {
  bool result = false;
  runSync([&] { result = socket4FD_ != -1; });
  return result;
}

bool DispatchSocket::isIPv6() const {
  bool result = false;
  runSync([&] { result = socket6FD_ != -1; });
  return result;
}

bool DispatchSocket::isSecure() const {
  bool result = false;
  runSync([&] { result = flags_ & kSocketSecure; });
  return result;
}

}  // namespace net::sockets