// DispatchUdpSocket: checks, host look-up, address choice, socket creation
// with its dispatch sources, binding and connecting.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "net/sockets/socket_address.h"
#include "net/sockets/socket_error.h"
#include "net/sockets/source_suspension.h"
#include "net/sockets/udp_socket.h"

namespace net::sockets {

namespace {

constexpr const char* kNilHostText =
    "The host param is nil. Should be domain name or IP address string.";
constexpr const char* kBothFamiliesDisabledText =
    "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.";

// Refuses a request in the wrong state: sets *error (when asked for) and
// returns false.
bool refuse(platform::Error* error, const char* text) {
  if (error) *error = udpBadConfigError(text);
  return false;
}

// The length to hand to bind()/connect()/sendto() for a record of `family`.
socklen_t sockaddrLength(int family) {
  return family == AF_INET ? static_cast<socklen_t>(kSockaddr4Size)
                           : static_cast<socklen_t>(kSockaddr6Size);
}

}  // namespace

// --- checks ------------------------------------------------------------------------------

bool DispatchUdpSocket::preOp(platform::Error* error) const {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!delegate_.lock()) {
    return refuse(error, "Attempting to use socket without a delegate. Set a delegate first.");
  }
  if (!delegateQueue_) {
    return refuse(error,
                  "Attempting to use socket without a delegate queue. Set a delegate queue first.");
  }
  return true;
}

bool DispatchUdpSocket::preBind(platform::Error* error) const {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!preOp(error)) return false;
  if (flags_ & kDidBind) return refuse(error, "Cannot bind a socket more than once.");
  if (flags_ & (kConnecting | kDidConnect)) {
    return refuse(error, "Cannot bind after connecting. If needed, bind first, then connect.");
  }
  if ((config_ & kIPv4Disabled) && (config_ & kIPv6Disabled)) {
    return refuse(error, kBothFamiliesDisabledText);
  }
  return true;
}

bool DispatchUdpSocket::preConnect(platform::Error* error) const {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!preOp(error)) return false;
  if (flags_ & (kConnecting | kDidConnect)) {
    return refuse(error, "Cannot connect a socket more than once.");
  }
  if ((config_ & kIPv4Disabled) && (config_ & kIPv6Disabled)) {
    return refuse(error, kBothFamiliesDisabledText);
  }
  return true;
}

// --- look-up and address choice ---------------------------------------------------------------

void DispatchUdpSocket::asyncResolveHost(
    const std::string& host, std::uint16_t port,
    std::function<void(std::vector<Bytes>, platform::Error)> completion) {
  if (host.empty()) {
    socketQueue_->async([self = shared_from_this(), completion = std::move(completion)] {
      completion({}, udpBadParamError(kNilHostText));
    });
    return;
  }
  // The completion owns the socket until it has run on the socket queue.
  lookupHostAsync(host, port, SOCK_DGRAM, socketQueue_,
                  [self = shared_from_this(), completion = std::move(completion)](
                      std::vector<Bytes> addresses, platform::Error error) {
                    completion(std::move(addresses), std::move(error));
                  });
}

int DispatchUdpSocket::getAddress(Bytes* address, platform::Error* error,
                                  const std::vector<Bytes>& addresses) const {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  bool any4 = false;
  bool any6 = false;
  for (const Bytes& a : addresses) {
    const int family = familyFromAddress(a);
    any4 = any4 || family == AF_INET;
    any6 = any6 || family == AF_INET6;
  }
  const char* refusal = nullptr;
  if ((config_ & kIPv4Disabled) && !any6) {
    refusal = "IPv4 has been disabled and DNS lookup found no IPv6 address(es).";
  } else if ((config_ & kIPv6Disabled) && !any4) {
    refusal = "IPv6 has been disabled and DNS lookup found no IPv4 address(es).";
  } else if ((flags_ & kIPv4Deactivated) && !any6) {
    refusal =
        "IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es).";
  } else if ((flags_ & kIPv6Deactivated) && !any4) {
    refusal =
        "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).";
  }
  if (refusal) {
    if (error) *error = udpOtherError(refusal);
    if (address) address->clear();
    return 0;
  }
  if (!any4 && !any6) {
    if (error) *error = udpOtherError("DNS lookup found no IPv4 or IPv6 address(es).");
    if (address) address->clear();
    return 0;
  }
  // A family that is disabled or deactivated has no socket to use; the
  // checks above guarantee that the other family is then in the list.
  std::vector<Bytes> usable;
  usable.reserve(addresses.size());
  const bool skip4 = (config_ & kIPv4Disabled) || (flags_ & kIPv4Deactivated);
  const bool skip6 = (config_ & kIPv6Disabled) || (flags_ & kIPv6Deactivated);
  for (const Bytes& a : addresses) {
    const int family = familyFromAddress(a);
    if ((family == AF_INET && !skip4) || (family == AF_INET6 && !skip6)) usable.push_back(a);
  }
  Bytes chosen =
      preferredAddress(usable, (config_ & kPreferIPv4) != 0, (config_ & kPreferIPv6) != 0);
  const int family = familyFromAddress(chosen);
  if (address) *address = std::move(chosen);
  return family;
}

// --- sockets and sources -------------------------------------------------------------------

int DispatchUdpSocket::createSocket(int family, platform::Error* error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = errnoErrorWithReason("Error in socket() function");
    return -1;
  }
  auto fail = [&](const char* reason) {
    const int err = errno;
    ::close(fd);
    if (error) *error = errnoError(err, reason);
    return -1;
  };
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    return fail("Error enabling non-blocking IO on socket (fcntl)");
  }
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
    return fail("Error enabling address reuse (setsockopt)");
  }
  // Datagram sockets raise no SIGPIPE here. Each family keeps its own
  // socket, so the IPv6 socket must not take IPv4 traffic as well.
  if (family == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) < 0) {
    return fail("Error enabling IPv6-only mode (setsockopt)");
  }
  const int size = maxSendSize_;
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) < 0) {
    return fail("Error setting send buffer size (setsockopt)");
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) < 0) {
    return fail("Error setting receive buffer size (setsockopt)");
  }
  return fd;
}

bool DispatchUdpSocket::createSockets(bool useIPv4, bool useIPv6, platform::Error* error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  int fd4 = -1;
  int fd6 = -1;
  if (useIPv4) {
    fd4 = createSocket(AF_INET, error);
    if (fd4 < 0) return false;
  }
  if (useIPv6) {
    fd6 = createSocket(AF_INET6, error);
    if (fd6 < 0) {
      if (fd4 >= 0) ::close(fd4);
      return false;
    }
  }
  if (fd4 >= 0) {
    socket4FD_ = fd4;
    setupSendAndReceiveSources(AF_INET);
  }
  if (fd6 >= 0) {
    socket6FD_ = fd6;
    setupSendAndReceiveSources(AF_INET6);
  }
  flags_ |= kDidCreateSockets;
  return true;
}

bool DispatchUdpSocket::createSockets(platform::Error* error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  return createSockets((config_ & kIPv4Disabled) == 0, (config_ & kIPv6Disabled) == 0, error);
}

void DispatchUdpSocket::setupSendAndReceiveSources(int family) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const bool v4 = family == AF_INET;
  const int fd = v4 ? socket4FD_ : socket6FD_;
  SourcePtr send = Source::write(fd, socketQueue_);
  // The receive loop reads until the socket would block: it needs no byte count.
  SourcePtr receive = Source::readable(fd, socketQueue_);
  std::weak_ptr<DispatchUdpSocket> weak = weak_from_this();
  std::weak_ptr<Source> weakSend = send;
  std::weak_ptr<Source> weakReceive = receive;
  // Handlers hold the socket weakly and act only for the sources the
  // socket still has (a closed descriptor's late event is ignored).
  send->setEventHandler([weak, weakSend, family] {
    auto self = weak.lock();
    auto source = weakSend.lock();
    if (!self || !source) return;
    if ((family == AF_INET ? self->send4Source_ : self->send6Source_) != source) return;
    self->onSendSourceEvent(family);
  });
  receive->setEventHandler([weak, weakReceive, family] {
    auto self = weak.lock();
    auto source = weakReceive.lock();
    if (!self || !source) return;
    if ((family == AF_INET ? self->receive4Source_ : self->receive6Source_) != source) return;
    self->onReceiveSourceEvent(family, source->data());
  });
  // Both cancel handlers share one count; the last one closes the descriptor.
  auto pending = std::make_shared<int>(2);
  auto cancelHandler = [pending, fd] {
    if (--*pending == 0) ::close(fd);
  };
  send->setCancelHandler(cancelHandler);
  receive->setCancelHandler(cancelHandler);
  if (v4) {
    send4Source_ = std::move(send);
    receive4Source_ = std::move(receive);
    socket4FDBytesAvailable_ = 0;
    flags_ |= kSock4CanAcceptBytes | kSend4SourceSuspended | kReceive4SourceSuspended;
  } else {
    send6Source_ = std::move(send);
    receive6Source_ = std::move(receive);
    socket6FDBytesAvailable_ = 0;
    flags_ |= kSock6CanAcceptBytes | kSend6SourceSuspended | kReceive6SourceSuspended;
  }
}

// Each family has its own send and receive source, and a "suspended" bit for each.
void DispatchUdpSocket::suspendSendSource(int family) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const bool v4 = family == AF_INET;
  setSourceSuspended(v4 ? send4Source_ : send6Source_, flags_,
                     v4 ? kSend4SourceSuspended : kSend6SourceSuspended, true);
}

void DispatchUdpSocket::resumeSendSource(int family) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const bool v4 = family == AF_INET;
  setSourceSuspended(v4 ? send4Source_ : send6Source_, flags_,
                     v4 ? kSend4SourceSuspended : kSend6SourceSuspended, false);
}

void DispatchUdpSocket::suspendReceiveSource(int family) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const bool v4 = family == AF_INET;
  setSourceSuspended(v4 ? receive4Source_ : receive6Source_, flags_,
                     v4 ? kReceive4SourceSuspended : kReceive6SourceSuspended, true);
}

void DispatchUdpSocket::resumeReceiveSource(int family) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const bool v4 = family == AF_INET;
  setSourceSuspended(v4 ? receive4Source_ : receive6Source_, flags_,
                     v4 ? kReceive4SourceSuspended : kReceive6SourceSuspended, false);
}

// --- binding ----------------------------------------------------------------------------------

bool DispatchUdpSocket::bindToPort(std::uint16_t port, platform::Error* error) {
  bool ok = false;
  runSync([&] { ok = bindToPortOnQueue(port, nullptr, error); });
  return ok;
}

bool DispatchUdpSocket::bindToPort(std::uint16_t port, const std::string& interface,
                                   platform::Error* error) {
  bool ok = false;
  runSync([&] { ok = bindToPortOnQueue(port, interface.empty() ? nullptr : &interface, error); });
  return ok;
}

bool DispatchUdpSocket::bindToPortOnQueue(std::uint16_t port, const std::string* interface,
                                          platform::Error* error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!preBind(error)) return false;
  const InterfaceAddresses addresses = interfaceAddresses(
      interface ? std::optional<std::string_view>(*interface) : std::nullopt, port);
  const bool has4 = !addresses.address4.empty();
  const bool has6 = !addresses.address6.empty();
  if (!has4 && !has6) {
    if (error) {
      *error = udpBadParamError(
          "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
    }
    return false;
  }
  const bool ipv4Disabled = (config_ & kIPv4Disabled) != 0;
  const bool ipv6Disabled = (config_ & kIPv6Disabled) != 0;
  if (ipv4Disabled && !has6) {
    if (error) {
      *error =
          udpBadParamError("IPv4 has been disabled and specified interface doesn't support IPv6.");
    }
    return false;
  }
  if (ipv6Disabled && !has4) {
    if (error) {
      *error =
          udpBadParamError("IPv6 has been disabled and specified interface doesn't support IPv4.");
    }
    return false;
  }
  const bool use4 = has4 && !ipv4Disabled;
  const bool use6 = has6 && !ipv6Disabled;
  if (!(flags_ & kDidCreateSockets) && !createSockets(use4, use6, error)) return false;
  auto bindFailed = [&] {
    const int err = errno;
    closeSockets();
    if (error) *error = errnoError(err, "Error in bind() function");
    return false;
  };
  if (use4 && (socket4FD_ == -1 ||
               ::bind(socket4FD_, reinterpret_cast<const sockaddr*>(addresses.address4.data()),
                      sockaddrLength(AF_INET)) < 0)) {
    if (socket4FD_ == -1) errno = EBADF;
    return bindFailed();
  }
  if (use6 && (socket6FD_ == -1 ||
               ::bind(socket6FD_, reinterpret_cast<const sockaddr*>(addresses.address6.data()),
                      sockaddrLength(AF_INET6)) < 0)) {
    if (socket6FD_ == -1) errno = EBADF;
    return bindFailed();
  }
  flags_ |= kDidBind;
  if (!use4) flags_ |= kIPv4Deactivated;
  if (!use6) flags_ |= kIPv6Deactivated;
  return true;
}

bool DispatchUdpSocket::bindToAddress(const Bytes& address, platform::Error* error) {
  bool ok = false;
  runSync([&] { ok = bindToAddressOnQueue(address, error); });
  return ok;
}

bool DispatchUdpSocket::bindToAddressOnQueue(const Bytes& address, platform::Error* error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!preBind(error)) return false;
  const int family = familyFromAddress(address);
  if (family == 0) {
    if (error) *error = udpBadParamError("A valid IPv4 or IPv6 address was not given");
    return false;
  }
  const bool v4 = family == AF_INET;
  if (v4 && (config_ & kIPv4Disabled)) {
    if (error) *error = udpBadParamError("IPv4 has been disabled and an IPv4 address was passed.");
    return false;
  }
  if (!v4 && (config_ & kIPv6Disabled)) {
    if (error) *error = udpBadParamError("IPv6 has been disabled and an IPv6 address was passed.");
    return false;
  }
  if (!(flags_ & kDidCreateSockets) && !createSockets(v4, !v4, error)) return false;
  const int fd = v4 ? socket4FD_ : socket6FD_;
  if (fd == -1 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(address.data()), sockaddrLength(family)) < 0) {
    const int err = fd == -1 ? EBADF : errno;
    closeSockets();
    if (error) *error = errnoError(err, "Error in bind() function");
    return false;
  }
  flags_ |= kDidBind | (v4 ? kIPv6Deactivated : kIPv4Deactivated);
  return true;
}

// --- connecting --------------------------------------------------------------------------

bool DispatchUdpSocket::connectToHost(const std::string& host, std::uint16_t port,
                                      platform::Error* error) {
  bool ok = false;
  runSync([&] {
    if (!preConnect(error)) return;
    if (host.empty()) {
      if (error) *error = udpBadParamError(kNilHostText);
      return;
    }
    if (!(flags_ & kDidCreateSockets) && !createSockets(error)) return;
    auto marker = std::make_shared<DispatchUdpSpecialPacket>();
    marker->resolveInProgress = true;
    asyncResolveHost(host, port, [this, marker](std::vector<Bytes> addresses, platform::Error e) {
      marker->resolveInProgress = false;
      marker->addresses = std::move(addresses);
      marker->error = std::move(e);
      maybeConnect();
    });
    flags_ |= kConnecting;
    sendQueue_.push_back(marker);
    maybeDequeueSend();
    ok = true;
  });
  return ok;
}

bool DispatchUdpSocket::connectToAddress(const Bytes& address, platform::Error* error) {
  bool ok = false;
  runSync([&] {
    if (!preConnect(error)) return;
    if (address.empty()) {
      if (error) *error = udpBadParamError("The address param is nil. Should be a valid address.");
      return;
    }
    if (!(flags_ & kDidCreateSockets) && !createSockets(error)) return;
    auto marker = std::make_shared<DispatchUdpSpecialPacket>();
    marker->addresses.push_back(address);
    flags_ |= kConnecting;
    sendQueue_.push_back(marker);
    maybeDequeueSend();
    ok = true;
  });
  return ok;
}

void DispatchUdpSocket::maybeConnect() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  auto marker = std::dynamic_pointer_cast<DispatchUdpSpecialPacket>(currentSend_);
  if (!marker || marker->resolveInProgress) return;
  if (marker->error) {
    notifyDidNotConnect(marker->error);
  } else {
    Bytes address;
    platform::Error error;
    const int family = getAddress(&address, &error, marker->addresses);
    if (family == 0) {
      notifyDidNotConnect(error);
    } else if (connectWithAddress(address, family, &error)) {
      flags_ |= kDidBind | kDidConnect;
      cachedConnectedAddress_ = address;
      cachedConnectedHost_ = hostFromAddress(address);
      cachedConnectedPort_ = portFromAddress(address);
      cachedConnectedFamily_ = family;
      notifyDidConnectToAddress(address);
    } else {
      notifyDidNotConnect(error);
    }
  }
  flags_ &= ~static_cast<std::uint32_t>(kConnecting);
  endCurrentSend();
  maybeDequeueSend();
}

bool DispatchUdpSocket::connectWithAddress(const Bytes& address, int family,
                                           platform::Error* error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const bool v4 = family == AF_INET;
  const int fd = v4 ? socket4FD_ : socket6FD_;
  if (fd == -1) {
    if (error) {
      *error = udpOtherError(v4 ? "No IPv4 socket is open to connect to an IPv4 address."
                                : "No IPv6 socket is open to connect to an IPv6 address.");
    }
    return false;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), sockaddrLength(family)) <
      0) {
    if (error) *error = errnoErrorWithReason("Error in connect() function");
    return false;
  }
  closeSocket(v4 ? AF_INET6 : AF_INET);
  flags_ |= v4 ? kIPv6Deactivated : kIPv4Deactivated;
  return true;
}

}  // namespace net::sockets
