// DispatchSocket: listening and accepting connections.
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

// --- accepting -------------------------------------------------------------------------------

int DispatchSocket::createListenSocket(int family, const Bytes& address, Error* error) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = errnoErrorWithReason("Error in socket() function");
    return -1;
  }
  auto fail = [&](const char* reason) {
    if (error) *error = errnoErrorWithReason(reason);
    ::close(fd);
    return -1;
  };
  if (::fcntl(fd, F_SETFL, O_NONBLOCK) < 0) {
    return fail("Error enabling non-blocking IO on socket (fcntl)");
  }
  int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
    return fail("Error enabling address reuse (setsockopt)");
  }
  if (family == AF_INET6) {
    // The IPv4 family has a listener of its own on the same port.
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(address.data()),
             static_cast<socklen_t>(address.size())) < 0) {
    return fail("Error in bind() function");
  }
  if (::listen(fd, 1024) < 0) return fail("Error in listen() function");
  return fd;
}

void DispatchSocket::startAcceptSource(int fd) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  auto source = Source::read(fd, socketQueue_);
  std::weak_ptr<DispatchSocket> weak = weak_from_this();
  source->setEventHandler([weak, fd] {
    auto self = weak.lock();
    if (!self) return;
    // Accept everything that is pending (the descriptor is non-blocking).
    while (self->doAccept(fd)) {
    }
  });
  source->setCancelHandler([fd] { ::close(fd); });
  if (fd == socket4FD_) {
    accept4Source_ = source;
  } else if (fd == socket6FD_) {
    accept6Source_ = source;
  } else {
    acceptUNSource_ = source;
  }
  source->resume();
}

bool DispatchSocket::acceptOnPort(std::uint16_t port, Error* error) {
  return acceptOnInterface(std::nullopt, port, error);
}

bool DispatchSocket::acceptOnInterface(std::optional<std::string_view> interface,
                                       std::uint16_t port, Error* error) {
  Error failure;
  bool ok = false;
  std::optional<std::string> interfaceCopy;
  if (interface) interfaceCopy = std::string(*interface);
  runSync([&] {
    // Unlike connecting, the families are checked before the started state.
    failure =
        startRefusal(kAcceptTexts, delegate_.lock() != nullptr, delegateQueue_ != nullptr, false);
    if (failure) return;
    const bool v4Disabled = config_ & kIPv4Disabled;
    const bool v6Disabled = config_ & kIPv6Disabled;
    if (v4Disabled && v6Disabled) {
      failure = badConfigError(kBothFamiliesDisabledText);
      return;
    }
    if (flags_ & kSocketStarted) {
      failure = badConfigError(kAcceptTexts.started);
      return;
    }
    readQueue_.clear();
    writeQueue_.clear();

    std::optional<std::string_view> iface;
    if (interfaceCopy) iface = *interfaceCopy;
    InterfaceAddresses found = interfaceAddressesFromDescription(iface, port);
    failure = interfaceRefusal(found, v4Disabled, v6Disabled);
    if (failure) return;
    const bool enable4 = !v4Disabled && !found.address4.empty();
    const bool enable6 = !v6Disabled && !found.address6.empty();
    if (enable4) {
      socket4FD_ = createListenSocket(AF_INET, found.address4, &failure);
      if (socket4FD_ < 0) return;
    }
    if (enable6) {
      Bytes address6 = found.address6;
      if (enable4 && portFromAddress(found.address4) == 0) {
        address6 = addressWithPort(address6, portFromAddress(localAddressOfSocket(socket4FD_)));
      }
      socket6FD_ = createListenSocket(AF_INET6, address6, &failure);
      if (socket6FD_ < 0) {
        closeSocket(socket4FD_);
        return;
      }
    }
    if (enable4) startAcceptSource(socket4FD_);
    if (enable6) startAcceptSource(socket6FD_);
    flags_ |= kSocketStarted;
    ok = true;
  });
  if (!ok && error) *error = failure;
  return ok;
}

bool DispatchSocket::acceptOnUrl(const platform::URL& url, Error* error) {
  Error failure;
  bool ok = false;
  runSync([&] {
    failure = startRefusal(kAcceptTexts, delegate_.lock() != nullptr, delegateQueue_ != nullptr,
                           flags_ & kSocketStarted);
    if (failure) return;
    readQueue_.clear();
    writeQueue_.clear();

    // An over-long path is refused, never cut short.
    const Bytes address = unixAddressFromURL(url);
    if (address.empty()) {
      failure = badParamError(
          "Invalid unix domain url. Specify a valid file url that does not exist (e.g. "
          "\"file:///tmp/socket\")");
      return;
    }
    const std::string path = url.decodedPath();
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
      // Only a stale socket file (nobody listening) is removed; any other
      // kind of file, or a live listener, is left alone.
      bool stale = false;
      if (S_ISSOCK(st.st_mode)) {
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe >= 0) {
          stale = ::connect(probe, reinterpret_cast<const sockaddr*>(address.data()),
                            static_cast<socklen_t>(address.size())) < 0 &&
                  errno == ECONNREFUSED;
          ::close(probe);
        }
      }
      if (!stale || ::unlink(path.c_str()) < 0) {
        failure = otherError("Could not remove previous unix domain socket at given url.");
        return;
      }
    }
    socketUN_ = createListenSocket(AF_UNIX, address, &failure);
    if (socketUN_ < 0) return;
    if (::lstat(path.c_str(), &st) == 0) socketFileIdentity_.emplace(st.st_dev, st.st_ino);
    socketUrl_ = url;
    startAcceptSource(socketUN_);
    flags_ |= kSocketStarted;
    ok = true;
  });
  if (!ok && error) *error = failure;
  return ok;
}

bool DispatchSocket::doAccept(int listenFD) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  sockaddr_storage address;
  socklen_t length = sizeof address;
  const int childFD = ::accept4(listenFD, reinterpret_cast<sockaddr*>(&address), &length,
                                SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (childFD < 0) return false;
  const Bytes peer = addressFromSockaddr(reinterpret_cast<sockaddr*>(&address),
                                         std::min<socklen_t>(length, sizeof address));
  if (!delegateQueue_) {
    // Nobody could ever hear of this connection: close it rather than leak it.
    ::close(childFD);
    return true;
  }
  enum class Kind { V4, V6, UN };
  const Kind kind = listenFD == socket4FD_   ? Kind::V4
                    : listenFD == socket6FD_ ? Kind::V6
                                             : Kind::UN;
  if (kind != Kind::UN) {
    int one = 1;
    ::setsockopt(childFD, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  auto delegate = delegate_.lock();
  std::weak_ptr<DispatchSocketDelegate> weakDelegate = delegate_;
  QueuePtr delegateQueue = delegateQueue_;
  auto listener = shared_from_this();
  delegateQueue_->async([listener, delegate, weakDelegate, delegateQueue, childFD, peer, kind] {
    QueuePtr childQueue;
    if (delegate) childQueue = delegate->newSocketQueueForConnectionFromAddress(peer, listener);
    auto child = DispatchSocket::create(weakDelegate, delegateQueue, childQueue, listener->clock_);
    // The new socket is not shared yet: its fields are set here, and the
    // block below hands it over to its own queue.
    if (kind == Kind::V4) {
      child->socket4FD_ = childFD;
    } else if (kind == Kind::V6) {
      child->socket6FD_ = childFD;
    } else {
      child->socketUN_ = childFD;
    }
    child->flags_ = kSocketStarted | kConnected;
    child->socketQueue_->async(
        [child] { child->setupReadAndWriteSourcesForNewlyConnectedSocket(child->connectedFD()); });
    if (delegate) delegate->socketDidAcceptNewSocket(listener, child);
  });
  return true;
}

}  // namespace net::sockets