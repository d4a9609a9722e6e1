// DispatchSocket: connecting by host, address or URL, the connect attempts and the connect
// time-out.
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

// --- connecting -------------------------------------------------------------------------------

std::vector<Bytes> DispatchSocket::lookupHost(std::string_view host, std::uint16_t port,
                                              Error* error) {
  return net::sockets::lookupHost(host, port, SOCK_STREAM, error);
}

bool DispatchSocket::preConnectWithInterface(std::optional<std::string_view> interface,
                                             Error* error) {
  auto fail = [&](Error e) {
    if (error) *error = std::move(e);
    return false;
  };
  if (Error refusal = startRefusal(kConnectTexts, delegate_.lock() != nullptr,
                                   delegateQueue_ != nullptr, flags_ & kSocketStarted)) {
    return fail(std::move(refusal));
  }
  const bool v4Disabled = config_ & kIPv4Disabled;
  const bool v6Disabled = config_ & kIPv6Disabled;
  if (v4Disabled && v6Disabled) return fail(badConfigError(kBothFamiliesDisabledText));
  if (interface) {
    InterfaceAddresses found = interfaceAddressesFromDescription(interface, 0);
    if (Error refusal = interfaceRefusal(found, v4Disabled, v6Disabled)) {
      return fail(std::move(refusal));
    }
    connectInterface4_ = std::move(found.address4);
    connectInterface6_ = std::move(found.address6);
  }
  readQueue_.clear();
  writeQueue_.clear();
  return true;
}

bool DispatchSocket::preConnectWithUrl(const platform::URL& url, Error* error) {
  Error refusal = startRefusal(kConnectTexts, delegate_.lock() != nullptr,
                               delegateQueue_ != nullptr, flags_ & kSocketStarted);
  Bytes address;
  if (!refusal) {
    address = unixAddressFromURL(url);
    if (address.empty()) refusal = badParamError(kUnknownInterfaceText);
  }
  if (refusal) {
    if (error) *error = std::move(refusal);
    return false;
  }
  connectInterfaceUN_ = std::move(address);
  readQueue_.clear();
  writeQueue_.clear();
  return true;
}

bool DispatchSocket::connectToHost(std::string_view host, std::uint16_t port, Error* error) {
  return connectToHost(host, port, std::nullopt, -1, error);
}

bool DispatchSocket::connectToHost(std::string_view host, std::uint16_t port, double timeout,
                                   Error* error) {
  return connectToHost(host, port, std::nullopt, timeout, error);
}

bool DispatchSocket::connectToHost(std::string_view host, std::uint16_t port,
                                   std::optional<std::string_view> interface, double timeout,
                                   Error* error) {
  Error failure;
  bool ok = false;
  std::string hostCopy(host);
  std::optional<std::string> interfaceCopy;
  if (interface) interfaceCopy = std::string(*interface);
  runSync([&] {
    if (hostCopy.empty()) {
      failure = badParamError(
          "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string.");
      return;
    }
    std::optional<std::string_view> iface;
    if (interfaceCopy) iface = *interfaceCopy;
    if (!preConnectWithInterface(iface, &failure)) return;
    flags_ |= kSocketStarted;
    const int index = stateIndex_;
    std::weak_ptr<DispatchSocket> weak = weak_from_this();
    auto self = shared_from_this();
    lookupHostAsync(hostCopy, port, SOCK_STREAM, socketQueue_,
                    [self, index](std::vector<Bytes> addresses, Error lookupError) {
                      if (lookupError) {
                        self->lookupDidFail(index, lookupError);
                        return;
                      }
                      AddressPair pair = firstAddresses(addresses);
                      self->lookupDidSucceed(index, pair.address4, pair.address6);
                    });
    startConnectTimeout(timeout);
    ok = true;
  });
  if (error) *error = failure;
  return ok;
}

void DispatchSocket::lookupDidFail(int stateIndex, const Error& error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (stateIndex != stateIndex_) return;
  endConnectTimeout();
  closeWithError(error);
}

void DispatchSocket::lookupDidSucceed(int stateIndex, const Bytes& address4,
                                      const Bytes& address6) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (stateIndex != stateIndex_) return;
  const bool v4Disabled = config_ & kIPv4Disabled;
  const bool v6Disabled = config_ & kIPv6Disabled;
  if (v4Disabled && address6.empty()) {
    closeWithError(otherError("IPv4 has been disabled and DNS lookup found no IPv6 address."));
    return;
  }
  if (v6Disabled && address4.empty()) {
    closeWithError(otherError("IPv6 has been disabled and DNS lookup found no IPv4 address."));
    return;
  }
  Error error;
  if (!connectWithAddress4(v4Disabled ? Bytes() : address4, v6Disabled ? Bytes() : address6,
                           &error)) {
    closeWithError(error);
  }
}

bool DispatchSocket::connectToAddress(const Bytes& address, Error* error) {
  return connectToAddress(address, std::nullopt, -1, error);
}

bool DispatchSocket::connectToAddress(const Bytes& address, double timeout, Error* error) {
  return connectToAddress(address, std::nullopt, timeout, error);
}

bool DispatchSocket::connectToAddress(const Bytes& address,
                                      std::optional<std::string_view> interface, double timeout,
                                      Error* error) {
  Error failure;
  bool ok = false;
  std::optional<std::string> interfaceCopy;
  if (interface) interfaceCopy = std::string(*interface);
  runSync([&] {
    const sa_family_t family = address.size() >= 2 ? addressFamily(address) : 0;
    Bytes address4, address6;
    if (family == AF_INET && address.size() == kSockaddr4Size) {
      address4 = address;
    } else if (family == AF_INET6 && address.size() == kSockaddr6Size) {
      address6 = address;
    } else {
      failure = badParamError("A valid IPv4 or IPv6 address was not given");
      return;
    }
    if (!address4.empty() && (config_ & kIPv4Disabled)) {
      failure = badParamError("IPv4 has been disabled and an IPv4 address was passed.");
      return;
    }
    if (!address6.empty() && (config_ & kIPv6Disabled)) {
      failure = badParamError("IPv6 has been disabled and an IPv6 address was passed.");
      return;
    }
    std::optional<std::string_view> iface;
    if (interfaceCopy) iface = *interfaceCopy;
    if (!preConnectWithInterface(iface, &failure)) return;
    if (!connectWithAddress4(address4, address6, &failure)) return;
    flags_ |= kSocketStarted;
    startConnectTimeout(timeout);
    ok = true;
  });
  if (!ok && error) *error = failure;
  return ok;
}

bool DispatchSocket::connectToUrl(const platform::URL& url, double timeout, Error* error) {
  Error failure;
  bool ok = false;
  runSync([&] {
    if (!url.isValid() || url.decodedPath().empty()) {
      failure = badParamError("Invalid unix domain socket url.");
      return;
    }
    if (!preConnectWithUrl(url, &failure)) return;
    flags_ |= kSocketStarted;
    Error createError;
    if (!connectWithAddressUN(connectInterfaceUN_, &createError)) {
      closeWithError(createError);
      return;  // refused without an error value, as the connect attempt had begun
    }
    startConnectTimeout(timeout);
    ok = true;
  });
  if (!ok && error && failure) *error = failure;
  return ok;
}

int DispatchSocket::createSocket(int family, const Bytes& connectInterface, Error* error) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = errnoErrorWithReason("Error in socket() function");
    return -1;
  }
  if (addressFamily(connectInterface) == family) {
    if (portFromAddress(connectInterface) > 0) {
      int reuse = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(connectInterface.data()),
               static_cast<socklen_t>(connectInterface.size())) < 0) {
      if (error) *error = errnoErrorWithReason("Error in bind() function");
      ::close(fd);
      return -1;
    }
  }
  // Writes use MSG_NOSIGNAL: a broken connection is an error, not a signal.
  return fd;
}

bool DispatchSocket::connectWithAddress4(const Bytes& address4, const Bytes& address6,
                                         Error* error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  Error lastError;
  if (!address4.empty()) socket4FD_ = createSocket(AF_INET, connectInterface4_, &lastError);
  if (!address6.empty()) socket6FD_ = createSocket(AF_INET6, connectInterface6_, &lastError);
  if (socket4FD_ == -1 && socket6FD_ == -1) {
    if (error) *error = lastError;
    return false;
  }
  const bool ipv6First = ((config_ & kPreferIPv6) && socket6FD_ != -1) || socket4FD_ == -1;
  const int firstFD = ipv6First ? socket6FD_ : socket4FD_;
  const Bytes& firstAddress = ipv6First ? address6 : address4;
  const int secondFD = ipv6First ? socket4FD_ : socket6FD_;
  const Bytes& secondAddress = ipv6First ? address4 : address6;
  const int index = stateIndex_;
  connectSocket(firstFD, firstAddress, index);
  if (secondFD != -1) {
    auto self = shared_from_this();
    socketQueue_->after(alternateAddressDelay_, [self, secondFD, secondAddress, index] {
      // Only while this attempt is still the current one and the descriptor
      // has not been closed meanwhile.
      if (index != self->stateIndex_) return;
      if (secondFD != self->socket4FD_ && secondFD != self->socket6FD_) return;
      self->connectSocket(secondFD, secondAddress, index);
    });
  }
  return true;
}

bool DispatchSocket::connectWithAddressUN(const Bytes& address, Error* error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = errnoErrorWithReason("Error in socket() function");
    return false;
  }
  socketUN_ = fd;
  connectSocket(fd, address, stateIndex_);
  return true;
}

void DispatchSocket::connectSocket(int fd, const Bytes& address, int stateIndex) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (flags_ & kConnected) {
    closeSocket(fd);
    return;
  }
  auto attempt = std::make_shared<ConnectAttempt>();
  attempt->fd = fd;
  attempt->stateIndex = stateIndex;
  connectAttempts_.push_back(attempt);
  const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(address.data()),
                               static_cast<socklen_t>(address.size()));
  if (result < 0 && (errno == EINPROGRESS || errno == EINTR)) {
    // Wait for the descriptor to become writable; the outcome is then read
    // from SO_ERROR. The source is cancelled before the result is applied, so
    // the descriptor is free for the I/O sources afterwards.
    auto source = Source::write(fd, socketQueue_);
    attempt->source = source;
    std::weak_ptr<ConnectAttempt> weakAttempt = attempt;
    std::weak_ptr<Source> weakSource = source;
    source->setEventHandler([weakAttempt, weakSource] {
      auto a = weakAttempt.lock();
      auto s = weakSource.lock();
      if (!a || !s || a->outcome != ConnectAttempt::Outcome::Pending) return;
      int soError = 0;
      socklen_t length = sizeof soError;
      if (::getsockopt(a->fd, SOL_SOCKET, SO_ERROR, &soError, &length) < 0) soError = errno;
      a->outcome = soError ? ConnectAttempt::Outcome::Failed : ConnectAttempt::Outcome::Succeeded;
      a->error = soError;
      s->cancel();
    });
    std::weak_ptr<DispatchSocket> weak = weak_from_this();
    source->setCancelHandler([weak, attempt] {
      attempt->source.reset();
      if (attempt->outcome == ConnectAttempt::Outcome::Abandoned) {
        closeFD(attempt->fd);
        return;
      }
      if (auto self = weak.lock()) {
        self->connectAttemptEnded(attempt);
      } else {
        closeFD(attempt->fd);
      }
    });
    source->resume();
    return;
  }
  // Finished at once (loopback often is): report on a later turn of the queue.
  attempt->outcome =
      result == 0 ? ConnectAttempt::Outcome::Succeeded : ConnectAttempt::Outcome::Failed;
  attempt->error = result == 0 ? 0 : errno;
  auto self = shared_from_this();
  socketQueue_->async([self, attempt] {
    if (attempt->outcome == ConnectAttempt::Outcome::Abandoned) return;  // closed meanwhile
    self->connectAttemptEnded(attempt);
  });
}

void DispatchSocket::connectAttemptEnded(const std::shared_ptr<ConnectAttempt>& attempt) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  std::erase(connectAttempts_, attempt);
  const int fd = attempt->fd;
  if (flags_ & kConnected) {
    closeSocket(fd);
    return;
  }
  if (attempt->outcome == ConnectAttempt::Outcome::Succeeded) {
    // The other family's descriptor is no longer needed.
    if (fd == socket4FD_ && socket6FD_ != -1) closeSocket(socket6FD_);
    if (fd == socket6FD_ && socket4FD_ != -1) closeSocket(socket4FD_);
    didConnect(attempt->stateIndex);
    return;
  }
  const int err = attempt->error;
  const bool unixDomain = fd == socketUN_;
  closeSocket(fd);
  if (unixDomain || (socket4FD_ == -1 && socket6FD_ == -1)) {
    didNotConnect(attempt->stateIndex, errnoError(err, "Error in connect() function"));
  }
}

void DispatchSocket::closeSocket(int fd) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (fd < 0) return;
  auto it = std::find_if(connectAttempts_.begin(), connectAttempts_.end(),
                         [fd](const auto& a) { return a->fd == fd; });
  if (it != connectAttempts_.end()) {
    auto attempt = *it;
    connectAttempts_.erase(it);
    attempt->outcome = ConnectAttempt::Outcome::Abandoned;
    if (attempt->source) {
      attempt->source->cancel();  // its cancel handler closes the descriptor
    } else {
      closeFD(fd);
    }
  } else {
    closeFD(fd);
  }
  if (fd == socket4FD_) socket4FD_ = -1;
  if (fd == socket6FD_) socket6FD_ = -1;
  if (fd == socketUN_) socketUN_ = -1;
}

void DispatchSocket::didConnect(int stateIndex) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (stateIndex != stateIndex_) return;
  flags_ |= kConnected;
  endConnectTimeout();

  if (auto host = connectedHost()) {
    const std::uint16_t port = connectedPort();
    notify([host = *host, port](DispatchSocketDelegate& d, const DispatchSocketPtr& s) {
      d.socketDidConnectToHost(s, host, port);
    });
  } else if (auto url = connectedUrl()) {
    notify([url = *url](DispatchSocketDelegate& d, const DispatchSocketPtr& s) {
      d.socketDidConnectToUrl(s, url);
    });
  }

  const int fd = connectedFD();
  if (fd < 0 || ::fcntl(fd, F_SETFL, O_NONBLOCK) < 0) {
    closeWithError(otherError("Error enabling non-blocking IO on socket (fcntl)"));
    return;
  }
  if (fd != socketUN_) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  setupReadAndWriteSourcesForNewlyConnectedSocket(fd);
  maybeDequeueRead();
  maybeDequeueWrite();
}

void DispatchSocket::didNotConnect(int stateIndex, const Error& error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (stateIndex != stateIndex_) return;
  closeWithError(error);
}

void DispatchSocket::startConnectTimeout(double timeout) {
  startTimer(timeout, &DispatchSocket::connectTimer_, &DispatchSocket::doConnectTimeout);
}

void DispatchSocket::startTimer(double timeout, std::shared_ptr<Source> DispatchSocket::*slot,
                                void (DispatchSocket::*onFire)()) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (timeout < 0) return;
  auto timer = Source::timer(socketQueue_, clock_);
  std::weak_ptr<DispatchSocket> weak = weak_from_this();
  Source* raw = timer.get();
  timer->setEventHandler([weak, raw, slot, onFire] {
    auto self = weak.lock();
    if (self && ((*self).*slot).get() == raw) ((*self).*onFire)();
  });
  timer->setTimer(platform::dispatch::seconds(timeout), Duration::zero());
  this->*slot = timer;
  timer->resume();
}

void DispatchSocket::endConnectTimeout() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  cancelSource(connectTimer_);
  ++stateIndex_;
  connectInterface4_.clear();
  connectInterface6_.clear();
}

void DispatchSocket::doConnectTimeout() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  endConnectTimeout();
  closeWithError(connectTimeoutError());
}

}  // namespace net::sockets