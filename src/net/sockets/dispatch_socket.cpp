#include "net/sockets/dispatch_socket.h"

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

#include "net/sockets/dispatch_socket_tls.h"
#include "net/sockets/socket_error.h"
#include "net/sockets/source_suspension.h"

namespace net::sockets {

using platform::Error;
using platform::dispatch::Duration;
using platform::dispatch::Queue;
using platform::dispatch::Source;

namespace {

Error badConfigError(std::string_view message) {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketBadConfigError, message);
}
Error badParamError(std::string_view message) {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketBadParamError, message);
}
Error otherError(std::string_view message) {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketOtherError, message);
}
Error connectTimeoutError() {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketConnectTimeoutError,
                         "Attempt to connect to host timed out");
}
Error readTimeoutError() {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketReadTimeoutError,
                         "Read operation timed out");
}
Error writeTimeoutError() {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketWriteTimeoutError,
                         "Write operation timed out");
}
Error readMaxedOutError() {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketReadMaxedOutError,
                         "Read operation reached set maximum length");
}
Error connectionClosedError() {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketClosedError,
                         "Socket closed by remote peer");
}

void closeFD(int fd) {
  if (fd >= 0) ::close(fd);
}

// The texts of the checks that connecting and accepting begin with.
struct StartTexts {
  const char* noDelegate;
  const char* noDelegateQueue;
  const char* started;
};
constexpr StartTexts kConnectTexts{
    "Attempting to connect without a delegate. Set a delegate first.",
    "Attempting to connect without a delegate queue. Set a delegate queue first.",
    "Attempting to connect while connected or accepting connections. Disconnect first."};
constexpr StartTexts kAcceptTexts{
    "Attempting to accept without a delegate. Set a delegate first.",
    "Attempting to accept without a delegate queue. Set a delegate queue first.",
    "Attempting to accept while connected or accepting connections. Disconnect first."};
constexpr const char* kBothFamiliesDisabledText =
    "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.";
constexpr const char* kUnknownInterfaceText =
    "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.";

// Why a connect or accept cannot begin, checked in this order (null: it can).
Error startRefusal(const StartTexts& texts, bool hasDelegate, bool hasDelegateQueue, bool started) {
  if (!hasDelegate) return badConfigError(texts.noDelegate);
  if (!hasDelegateQueue) return badConfigError(texts.noDelegateQueue);
  if (started) return badConfigError(texts.started);
  return Error();
}

// Why the addresses of a named interface cannot serve the enabled families
// (null: they can).
Error interfaceRefusal(const InterfaceAddresses& found, bool v4Disabled, bool v6Disabled) {
  if (found.address4.empty() && found.address6.empty()) {
    return badParamError(kUnknownInterfaceText);
  }
  if (v4Disabled && found.address6.empty()) {
    return badParamError("IPv4 has been disabled and specified interface doesn't support IPv6.");
  }
  if (v6Disabled && found.address4.empty()) {
    return badParamError("IPv6 has been disabled and specified interface doesn't support IPv4.");
  }
  return Error();
}

// Cancels and lets go of a source, if there is one.
void cancelSource(std::shared_ptr<Source>& source) {
  if (source) {
    source->cancel();
    source.reset();
  }
}

}  // namespace

// One descriptor's connect in progress. While it is pending the attempt
// owns the descriptor: whoever abandons it leaves the close to the attempt.
struct DispatchSocket::ConnectAttempt {
  enum class Outcome { Pending, Succeeded, Failed, Abandoned };
  int fd = -1;
  int stateIndex = 0;
  Outcome outcome = Outcome::Pending;
  int error = 0;
  std::shared_ptr<Source> source;  // write source waiting for the connect; may be null
};

// --- delegate defaults --------------------------------------------------------------------

QueuePtr DispatchSocketDelegate::newSocketQueueForConnectionFromAddress(const Bytes&,
                                                                        const DispatchSocketPtr&) {
  return nullptr;
}
void DispatchSocketDelegate::socketDidAcceptNewSocket(const DispatchSocketPtr&,
                                                      const DispatchSocketPtr&) {}
void DispatchSocketDelegate::socketDidConnectToHost(const DispatchSocketPtr&, const std::string&,
                                                    std::uint16_t) {}
void DispatchSocketDelegate::socketDidConnectToUrl(const DispatchSocketPtr&, const platform::URL&) {
}
void DispatchSocketDelegate::socketDidReadData(const DispatchSocketPtr&, const SocketData&, long) {}
void DispatchSocketDelegate::socketDidReadPartialDataOfLength(const DispatchSocketPtr&, std::size_t,
                                                              long) {}
void DispatchSocketDelegate::socketDidWriteDataWithTag(const DispatchSocketPtr&, long) {}
void DispatchSocketDelegate::socketDidWritePartialDataOfLength(const DispatchSocketPtr&,
                                                               std::size_t, long) {}
double DispatchSocketDelegate::socketShouldTimeoutReadWithTag(const DispatchSocketPtr&, long,
                                                              double, std::size_t) {
  return 0;
}
double DispatchSocketDelegate::socketShouldTimeoutWriteWithTag(const DispatchSocketPtr&, long,
                                                               double, std::size_t) {
  return 0;
}
void DispatchSocketDelegate::socketDidCloseReadStream(const DispatchSocketPtr&) {}
void DispatchSocketDelegate::socketDidDisconnect(const DispatchSocketPtr&, const Error&) {}
void DispatchSocketDelegate::socketDidSecure(const DispatchSocketPtr&) {}
void DispatchSocketDelegate::socketDidReceiveTrust(const DispatchSocketPtr&,
                                                   std::shared_ptr<DispatchSocketTrust>,
                                                   std::function<void(bool)> completionHandler) {
  completionHandler(false);
}

// --- construction ---------------------------------------------------------------------------

DispatchSocket::DispatchSocket(Private, std::weak_ptr<DispatchSocketDelegate> delegate,
                               QueuePtr delegateQueue, QueuePtr socketQueue)
    : delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      socketQueue_(socketQueue ? std::move(socketQueue)
                               : Queue::createSerial(kDispatchSocketQueueLabel)),
      preBuffer_(std::make_unique<DispatchSocketPreBuffer>(4096)) {
  // The value is the socket itself, without ownership (the queue must not
  // keep its socket alive).
  socketQueue_->setSpecific(&isOnSocketQueueOrTargetQueueKey_,
                            std::shared_ptr<void>(static_cast<void*>(this), [](void*) {}));
}

DispatchSocketPtr DispatchSocket::create(std::weak_ptr<DispatchSocketDelegate> delegate,
                                         QueuePtr delegateQueue, QueuePtr socketQueue) {
  return std::make_shared<DispatchSocket>(Private{}, std::move(delegate), std::move(delegateQueue),
                                          std::move(socketQueue));
}

DispatchSocketPtr DispatchSocket::socketFromConnectedSocketFD(
    int fd, std::weak_ptr<DispatchSocketDelegate> delegate, QueuePtr delegateQueue,
    QueuePtr socketQueue, Error* error) {
  auto sock = create(std::move(delegate), std::move(delegateQueue), std::move(socketQueue));
  Error failure;
  sock->runSync([&] {
    sockaddr_storage address;
    socklen_t length = sizeof address;
    std::memset(&address, 0, sizeof address);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
      failure = otherError("Attempt to create socket from socket FD failed. getpeername() failed");
      return;
    }
    if (address.ss_family == AF_INET6) {
      sock->socket6FD_ = fd;
    } else if (address.ss_family == AF_INET) {
      sock->socket4FD_ = fd;
    } else {
      failure = otherError(
          "Attempt to create socket from socket FD failed. socket FD is neither IPv4 nor IPv6");
      return;
    }
    sock->flags_ = kSocketStarted;
    sock->didConnect(sock->stateIndex_);
  });
  if (error) *error = failure;
  return failure ? nullptr : sock;
}

DispatchSocket::~DispatchSocket() {
  auto body = [this] {
    flags_ |= kDealloc;
    closeWithError(Error());
  };
  if (onSocketQueue()) {
    body();
  } else {
    socketQueue_->sync(body);
  }
  socketQueue_->setSpecific(&isOnSocketQueueOrTargetQueueKey_, nullptr);
}

bool DispatchSocket::onSocketQueue() const {
  return Queue::currentSpecific(&isOnSocketQueueOrTargetQueueKey_).get() ==
         static_cast<const void*>(this);
}

void DispatchSocket::runSync(const std::function<void()>& block) const {
  if (onSocketQueue()) {
    block();
  } else {
    socketQueue_->sync(block);
  }
}

void DispatchSocket::runInlineOrAsync(std::function<void()> block) {
  if (onSocketQueue()) {
    block();
  } else {
    socketQueue_->async(std::move(block));
  }
}

void DispatchSocket::notify(
    std::function<void(DispatchSocketDelegate&, const DispatchSocketPtr&)> call) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!delegateQueue_) return;
  auto delegate = delegate_.lock();
  if (!delegate) return;
  // Null while the socket is being freed.
  DispatchSocketPtr self = weak_from_this().lock();
  delegateQueue_->async([delegate = std::move(delegate), self = std::move(self),
                         call = std::move(call)] { call(*delegate, self); });
}

// --- configuration --------------------------------------------------------------------------

std::shared_ptr<DispatchSocketDelegate> DispatchSocket::delegate() const {
  std::shared_ptr<DispatchSocketDelegate> result;
  runSync([&] { result = delegate_.lock(); });
  return result;
}

void DispatchSocket::setDelegate(std::weak_ptr<DispatchSocketDelegate> delegate) {
  auto self = shared_from_this();
  runInlineOrAsync([self, delegate = std::move(delegate)] { self->delegate_ = delegate; });
}

void DispatchSocket::synchronouslySetDelegate(std::weak_ptr<DispatchSocketDelegate> delegate) {
  runSync([&] { delegate_ = std::move(delegate); });
}

QueuePtr DispatchSocket::delegateQueue() const {
  QueuePtr result;
  runSync([&] { result = delegateQueue_; });
  return result;
}

void DispatchSocket::setDelegateQueue(QueuePtr queue) {
  auto self = shared_from_this();
  runInlineOrAsync([self, queue = std::move(queue)] { self->delegateQueue_ = queue; });
}

void DispatchSocket::synchronouslySetDelegateQueue(QueuePtr queue) {
  runSync([&] { delegateQueue_ = std::move(queue); });
}

void DispatchSocket::getDelegate(std::shared_ptr<DispatchSocketDelegate>* delegate,
                                 QueuePtr* queue) const {
  runSync([&] {
    if (delegate) *delegate = delegate_.lock();
    if (queue) *queue = delegateQueue_;
  });
}

void DispatchSocket::setDelegate(std::weak_ptr<DispatchSocketDelegate> delegate, QueuePtr queue) {
  auto self = shared_from_this();
  runInlineOrAsync([self, delegate = std::move(delegate), queue = std::move(queue)] {
    self->delegate_ = delegate;
    self->delegateQueue_ = queue;
  });
}

void DispatchSocket::synchronouslySetDelegate(std::weak_ptr<DispatchSocketDelegate> delegate,
                                              QueuePtr queue) {
  runSync([&] {
    delegate_ = std::move(delegate);
    delegateQueue_ = std::move(queue);
  });
}

namespace {
template <class Self, class Fn>
void setAsync(Self* self, Fn fn) {
  auto strong = self->shared_from_this();
  if (self->socketQueue()->isCurrent()) {
    fn(strong.get());
  } else {
    self->socketQueue()->async([strong, fn] { fn(strong.get()); });
  }
}
}  // namespace

bool DispatchSocket::configBitSet(std::uint16_t bit) const {
  bool result = false;
  runSync([&] { result = config_ & bit; });
  return result;
}

void DispatchSocket::setConfigBit(std::uint16_t bit, bool on) {
  setAsync(this, [bit, on](DispatchSocket* s) {
    if (on) {
      s->config_ |= bit;
    } else {
      s->config_ &= static_cast<std::uint16_t>(~bit);
    }
  });
}

bool DispatchSocket::isIPv4Enabled() const { return !configBitSet(kIPv4Disabled); }

void DispatchSocket::setIPv4Enabled(bool enabled) { setConfigBit(kIPv4Disabled, !enabled); }

bool DispatchSocket::isIPv6Enabled() const { return !configBitSet(kIPv6Disabled); }

void DispatchSocket::setIPv6Enabled(bool enabled) { setConfigBit(kIPv6Disabled, !enabled); }

bool DispatchSocket::isIPv4PreferredOverIPv6() const { return !configBitSet(kPreferIPv6); }

void DispatchSocket::setIPv4PreferredOverIPv6(bool preferred) {
  setConfigBit(kPreferIPv6, !preferred);
}

bool DispatchSocket::autoDisconnectOnClosedReadStream() const {
  return !configBitSet(kAllowHalfDuplexConnection);
}

void DispatchSocket::setAutoDisconnectOnClosedReadStream(bool value) {
  setConfigBit(kAllowHalfDuplexConnection, !value);
}

double DispatchSocket::alternateAddressDelay() const {
  double result = 0;
  runSync([&] { result = alternateAddressDelay_; });
  return result;
}

void DispatchSocket::setAlternateAddressDelay(double seconds) {
  setAsync(this, [seconds](DispatchSocket* s) { s->alternateAddressDelay_ = seconds; });
}

std::shared_ptr<void> DispatchSocket::userData() const {
  std::shared_ptr<void> result;
  runSync([&] { result = userData_; });
  return result;
}

void DispatchSocket::setUserData(std::shared_ptr<void> data) {
  setAsync(this, [data](DispatchSocket* s) { s->userData_ = data; });
}

// --- advanced ---------------------------------------------------------------------------------

void DispatchSocket::markSocketQueueTargetQueue(const QueuePtr& queue) {
  if (!queue) return;
  queue->setSpecific(&isOnSocketQueueOrTargetQueueKey_,
                     std::shared_ptr<void>(static_cast<void*>(this), [](void*) {}));
}

void DispatchSocket::unmarkSocketQueueTargetQueue(const QueuePtr& queue) {
  if (queue) queue->setSpecific(&isOnSocketQueueOrTargetQueueKey_, nullptr);
}

void DispatchSocket::performBlock(const std::function<void()>& block) { runSync(block); }

int DispatchSocket::socketFD() const {
  if (!onSocketQueue()) return -1;
  return socket4FD_ != -1 ? socket4FD_ : socket6FD_;
}

int DispatchSocket::socket4FD() const { return onSocketQueue() ? socket4FD_ : -1; }
int DispatchSocket::socket6FD() const { return onSocketQueue() ? socket6FD_ : -1; }

int DispatchSocket::connectedFD() const {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (socket4FD_ != -1) return socket4FD_;
  if (socket6FD_ != -1) return socket6FD_;
  return socketUN_;
}

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
  auto timer = Source::timer(socketQueue_);
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

// --- closing ---------------------------------------------------------------------------------

void DispatchSocket::disconnect() {
  runSync([this] {
    if (flags_ & kSocketStarted) closeWithError(Error());
  });
}

void DispatchSocket::disconnectAfterReading() { disconnectAfter(kDisconnectAfterReads); }

void DispatchSocket::disconnectAfterWriting() { disconnectAfter(kDisconnectAfterWrites); }

void DispatchSocket::disconnectAfterReadingAndWriting() {
  disconnectAfter(kDisconnectAfterReads | kDisconnectAfterWrites);
}

void DispatchSocket::disconnectAfter(std::uint32_t drain) {
  auto self = shared_from_this();
  socketQueue_->async([self, drain] {
    if (self->flags_ & kSocketStarted) {
      self->flags_ |= kForbidReadsWrites | drain;
      self->maybeClose();
    }
  });
}

void DispatchSocket::maybeClose() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  bool shouldClose = false;
  const bool readsPending = !readQueue_.empty() || currentRead_;
  const bool writesPending = !writeQueue_.empty() || currentWrite_;
  if (flags_ & kDisconnectAfterReads) {
    if (!readsPending) {
      shouldClose = !(flags_ & kDisconnectAfterWrites) || !writesPending;
    }
  } else if (flags_ & kDisconnectAfterWrites) {
    shouldClose = !writesPending;
  }
  if (shouldClose) closeWithError(Error());
}

void DispatchSocket::closeWithError(const Error& error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  endConnectTimeout();
  if (currentRead_) endCurrentRead();
  if (currentWrite_) endCurrentWrite();
  readQueue_.clear();
  writeQueue_.clear();

  preBuffer_->reset();
  if (sslPreBuffer_) sslPreBuffer_->reset();
  sslErrCode_ = 0;
  lastSSLHandshakeError_ = 0;
  if (tls_) {
    tls_->close();
    tls_.reset();
  }

  // Pending connects own their descriptors.
  for (auto attempts = connectAttempts_; const auto& a : attempts) closeSocket(a->fd);

  if (!accept4Source_ && !accept6Source_ && !acceptUNSource_ && !readSource_ && !writeSource_) {
    closeSocket(socket4FD_);
    closeSocket(socket6FD_);
    closeSocket(socketUN_);
  } else {
    for (auto* source : {&accept4Source_, &accept6Source_, &acceptUNSource_}) {
      cancelSource(*source);
    }
    // A suspended source would never run its cancel handler: resume it first.
    resumeReadSource();
    cancelSource(readSource_);
    resumeWriteSource();
    cancelSource(writeSource_);
    socket4FD_ = socket6FD_ = socketUN_ = -1;
  }
  if (socketUrl_) {
    // Remove the listener's socket file, and only if it is still the file
    // this socket created.
    const std::string path = socketUrl_->decodedPath();
    struct stat st;
    if (socketFileIdentity_ && ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
        st.st_dev == socketFileIdentity_->first && st.st_ino == socketFileIdentity_->second) {
      ::unlink(path.c_str());
    }
    socketUrl_.reset();
    socketFileIdentity_.reset();
  }

  const bool wasStarted = flags_ & kSocketStarted;
  socketFDBytesAvailable_ = 0;
  flags_ = 0;
  sslWriteCachedLength_ = 0;

  if (wasStarted) {
    notify([error](DispatchSocketDelegate& d, const DispatchSocketPtr& s) {
      d.socketDidDisconnect(s, error);
    });
  }
}

// --- I/O sources -------------------------------------------------------------------------------

void DispatchSocket::setupReadAndWriteSourcesForNewlyConnectedSocket(int fd) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  readSource_ = Source::read(fd, socketQueue_);
  writeSource_ = Source::write(fd, socketQueue_);
  std::weak_ptr<DispatchSocket> weak = weak_from_this();
  Source* readRaw = readSource_.get();
  Source* writeRaw = writeSource_.get();

  readSource_->setEventHandler([weak, readRaw] {
    auto self = weak.lock();
    if (!self || self->readSource_.get() != readRaw) return;
    self->socketFDBytesAvailable_ = readRaw->data();
    if (self->socketFDBytesAvailable_ > 0) {
      self->doReadData();
    } else {
      self->doReadEOF();
    }
  });
  writeSource_->setEventHandler([weak, writeRaw] {
    auto self = weak.lock();
    if (!self || self->writeSource_.get() != writeRaw) return;
    self->flags_ |= kSocketCanAcceptBytes;
    self->doWriteData();
  });

  // The descriptor is closed once both sources are gone.
  auto remaining = std::make_shared<std::atomic<int>>(2);
  auto cancelHandler = [remaining, fd] {
    if (remaining->fetch_sub(1) == 1) ::close(fd);
  };
  readSource_->setCancelHandler(cancelHandler);
  writeSource_->setCancelHandler(cancelHandler);

  socketFDBytesAvailable_ = 0;
  flags_ &= ~kReadSourceSuspended;
  readSource_->resume();
  flags_ |= kSocketCanAcceptBytes | kWriteSourceSuspended;
}

void DispatchSocket::suspendReadSource() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  setSourceSuspended(readSource_, flags_, kReadSourceSuspended, true);
}

void DispatchSocket::resumeReadSource() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  setSourceSuspended(readSource_, flags_, kReadSourceSuspended, false);
}

void DispatchSocket::suspendWriteSource() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  setSourceSuspended(writeSource_, flags_, kWriteSourceSuspended, true);
}

void DispatchSocket::resumeWriteSource() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  setSourceSuspended(writeSource_, flags_, kWriteSourceSuspended, false);
}

// --- requests (what reads and writes share) ---------------------------------------------------

// Each side names its queue, current request, timer, state bits, I/O step,
// delegate question and time-out error; the life cycle below is written once.
struct DispatchSocket::ReadSide {
  using Packet = DispatchReadPacket;
  static constexpr auto queue = &DispatchSocket::readQueue_;
  static constexpr auto current = &DispatchSocket::currentRead_;
  static constexpr auto timer = &DispatchSocket::readTimer_;
  static constexpr auto doData = &DispatchSocket::doReadData;
  static constexpr std::uint32_t kPaused = kReadsPaused;
  static constexpr std::uint32_t kStartingTLS = kStartingReadTLS;
  static constexpr std::uint32_t kDisconnectAfter = kDisconnectAfterReads;
  static Error timeoutError() { return readTimeoutError(); }
  static double shouldTimeout(DispatchSocketDelegate& delegate, const DispatchSocketPtr& sock,
                              long tag, double elapsed, std::size_t done) {
    return delegate.socketShouldTimeoutReadWithTag(sock, tag, elapsed, done);
  }
  // The length the request ends at; 0 when it has none.
  static std::size_t total(const Packet& packet) { return packet.readLength; }
};

struct DispatchSocket::WriteSide {
  using Packet = DispatchWritePacket;
  static constexpr auto queue = &DispatchSocket::writeQueue_;
  static constexpr auto current = &DispatchSocket::currentWrite_;
  static constexpr auto timer = &DispatchSocket::writeTimer_;
  static constexpr auto doData = &DispatchSocket::doWriteData;
  static constexpr std::uint32_t kPaused = kWritesPaused;
  static constexpr std::uint32_t kStartingTLS = kStartingWriteTLS;
  static constexpr std::uint32_t kDisconnectAfter = kDisconnectAfterWrites;
  static Error timeoutError() { return writeTimeoutError(); }
  static double shouldTimeout(DispatchSocketDelegate& delegate, const DispatchSocketPtr& sock,
                              long tag, double elapsed, std::size_t done) {
    return delegate.socketShouldTimeoutWriteWithTag(sock, tag, elapsed, done);
  }
  static std::size_t total(const Packet& packet) { return packet.buffer->size(); }
};

template <class Side>
std::shared_ptr<typename Side::Packet> DispatchSocket::currentPacket() const {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const auto& current = this->*Side::current;
  if (!current) return nullptr;
  auto* packet = std::get_if<std::shared_ptr<typename Side::Packet>>(&*current);
  return packet ? *packet : nullptr;
}

template <class Side>
bool DispatchSocket::dequeueNext() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  auto& current = this->*Side::current;
  auto& queue = this->*Side::queue;
  if (current || !(flags_ & kConnected)) return false;
  if (!queue.empty()) {
    current = std::move(queue.front());
    queue.pop_front();
    if (std::holds_alternative<std::shared_ptr<DispatchSpecialPacket>>(*current)) {
      flags_ |= Side::kStartingTLS;
      maybeStartTLS();
    } else {
      startTimer(std::get<std::shared_ptr<typename Side::Packet>>(*current)->timeout, Side::timer,
                 &DispatchSocket::doTimeout<Side>);
      (this->*Side::doData)();
    }
    return false;
  }
  if (flags_ & Side::kDisconnectAfter) {
    // This side is drained; the close waits for the other side if it was
    // asked to drain too.
    maybeClose();
    return false;
  }
  return true;
}

template <class Side>
void DispatchSocket::endCurrent() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  cancelSource(this->*Side::timer);
  (this->*Side::current).reset();
}

template <class Side>
void DispatchSocket::doTimeout() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  // Holds the request until the delegate has answered.
  flags_ |= Side::kPaused;
  auto packet = std::get<std::shared_ptr<typename Side::Packet>>(*(this->*Side::current));
  auto self = shared_from_this();
  auto delegate = delegate_.lock();
  // The answer applies only to this very request.
  auto answer = [self, packet](double extension) {
    if (self->currentPacket<Side>() != packet) return;
    self->doTimeoutWithExtension<Side>(extension);
  };
  if (delegateQueue_ && delegate) {
    const long tag = packet->tag;
    const double elapsed = packet->timeout;
    const std::size_t done = packet->bytesDone;
    QueuePtr socketQueue = socketQueue_;
    delegateQueue_->async([delegate, self, tag, elapsed, done, socketQueue, answer] {
      const double extension = Side::shouldTimeout(*delegate, self, tag, elapsed, done);
      socketQueue->async([answer, extension] { answer(extension); });
    });
  } else {
    answer(0);
  }
}

template <class Side>
void DispatchSocket::doTimeoutWithExtension(double extension) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const auto& current = this->*Side::current;
  if (!current) return;
  auto packet = std::get<std::shared_ptr<typename Side::Packet>>(*current);
  if (extension > 0) {
    packet->timeout += extension;
    if (const auto& timer = this->*Side::timer) {
      timer->setTimer(platform::dispatch::seconds(extension), Duration::zero());
    }
    flags_ &= ~Side::kPaused;
    (this->*Side::doData)();
  } else {
    closeWithError(Side::timeoutError());
  }
}

template <class Side>
double DispatchSocket::progressReturningTag(long* tag, std::size_t* done,
                                            std::size_t* total) const {
  double result = std::numeric_limits<double>::quiet_NaN();
  runSync([&] {
    const auto packet = currentPacket<Side>();
    if (!packet) {
      if (tag) *tag = 0;
      if (done) *done = 0;
      if (total) *total = 0;
      return;
    }
    const std::size_t length = Side::total(*packet);
    if (tag) *tag = packet->tag;
    if (done) *done = packet->bytesDone;
    if (total) *total = length;
    result =
        length > 0 ? static_cast<double>(packet->bytesDone) / static_cast<double>(length) : 1.0;
  });
  return result;
}

// --- reading ---------------------------------------------------------------------------------

void DispatchSocket::queueRead(std::shared_ptr<DispatchReadPacket> packet) {
  auto self = shared_from_this();
  socketQueue_->async([self, packet = std::move(packet)]() mutable {
    if ((self->flags_ & (kSocketStarted | kForbidReadsWrites)) != kSocketStarted) return;
    self->readQueue_.emplace_back(std::move(packet));
    self->maybeDequeueRead();
  });
}

void DispatchSocket::readDataWithTimeout(double timeout, long tag) {
  readDataWithTimeout(timeout, nullptr, 0, 0, tag);
}

void DispatchSocket::readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer,
                                         std::size_t offset, long tag) {
  readDataWithTimeout(timeout, std::move(buffer), offset, 0, tag);
}

void DispatchSocket::readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer,
                                         std::size_t offset, std::size_t maxLength, long tag) {
  if (offset > (buffer ? buffer->size() : 0)) return;
  queueRead(std::make_shared<DispatchReadPacket>(std::move(buffer), offset, maxLength, timeout, 0,
                                                 std::nullopt, tag));
}

void DispatchSocket::readDataToLength(std::size_t length, double timeout, long tag) {
  readDataToLength(length, timeout, nullptr, 0, tag);
}

void DispatchSocket::readDataToLength(std::size_t length, double timeout,
                                      std::shared_ptr<Bytes> buffer, std::size_t offset, long tag) {
  if (length == 0) return;
  if (offset > (buffer ? buffer->size() : 0)) return;
  queueRead(std::make_shared<DispatchReadPacket>(std::move(buffer), offset, 0, timeout, length,
                                                 std::nullopt, tag));
}

void DispatchSocket::readDataToData(const Bytes& terminator, double timeout, long tag) {
  readDataToData(terminator, timeout, nullptr, 0, 0, tag);
}

void DispatchSocket::readDataToData(const Bytes& terminator, double timeout,
                                    std::shared_ptr<Bytes> buffer, std::size_t offset, long tag) {
  readDataToData(terminator, timeout, std::move(buffer), offset, 0, tag);
}

void DispatchSocket::readDataToData(const Bytes& terminator, double timeout, std::size_t maxLength,
                                    long tag) {
  readDataToData(terminator, timeout, nullptr, 0, maxLength, tag);
}

void DispatchSocket::readDataToData(const Bytes& terminator, double timeout,
                                    std::shared_ptr<Bytes> buffer, std::size_t offset,
                                    std::size_t maxLength, long tag) {
  if (terminator.empty()) return;
  if (offset > (buffer ? buffer->size() : 0)) return;
  if (maxLength > 0 && maxLength < terminator.size()) return;
  queueRead(std::make_shared<DispatchReadPacket>(std::move(buffer), offset, maxLength, timeout, 0,
                                                 terminator, tag));
}

double DispatchSocket::progressOfReadReturningTag(long* tag, std::size_t* done,
                                                  std::size_t* total) const {
  return progressReturningTag<ReadSide>(tag, done, total);
}

void DispatchSocket::maybeDequeueRead() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (dequeueNext<ReadSide>() && (flags_ & kSocketSecure)) {
    // Idle: move what the TLS layer has decrypted into the pre-buffer.
    flushSSLBuffers();
    if (preBuffer_->availableBytes() == 0) resumeReadSource();
  }
}

void DispatchSocket::flushSSLBuffers() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!tls_ || preBuffer_->availableBytes() > 0) return;
  auto estimate = [this] {
    return socketFDBytesAvailable_ + (sslPreBuffer_ ? sslPreBuffer_->availableBytes() : 0) +
           sslBufferedBytes();
  };
  std::size_t estimated = estimate();
  while (estimated > 0) {
    preBuffer_->ensureCapacityForWrite(estimated);
    std::size_t got = 0;
    const int status = tls_->read(preBuffer_->writeBuffer(), estimated, &got);
    preBuffer_->didWrite(got);
    if (status != 0) break;
    estimated = estimate();
  }
}

void DispatchSocket::doReadData() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const auto packet = currentPacket<ReadSide>();
  if ((!currentRead_ || (flags_ & kReadsPaused))) {
    if (flags_ & kSocketSecure) flushSSLBuffers();
    if (socketFDBytesAvailable_ > 0) suspendReadSource();
    return;
  }

  const bool secure = flags_ & kSocketSecure;
  std::size_t estimated = socketFDBytesAvailable_;
  if (secure) {
    estimated += (sslPreBuffer_ ? sslPreBuffer_->availableBytes() : 0) + sslBufferedBytes();
  }
  const bool hasBytesAvailable = estimated > 0;
  if (!hasBytesAvailable && preBuffer_->availableBytes() == 0) {
    resumeReadSource();
    return;
  }

  if (flags_ & kStartingReadTLS) {
    if ((flags_ & kStartingWriteTLS) && lastSSLHandshakeError_ == kDispatchSocketSSLWouldBlock) {
      sslContinueHandshake();
    } else {
      // Nothing to do until the handshake (or the delegate's trust answer)
      // moves on; a readable descriptor would otherwise fire again and again.
      suspendReadSource();
    }
    return;
  }
  if (!packet) return;

  bool done = false;
  Error error;
  std::size_t totalBytesReadForCurrentRead = 0;
  bool waiting = !hasBytesAvailable;
  bool socketEOF = flags_ & kSocketHasReadEOF;
  // Moves `length` bytes from the pre-buffer to the end of the request's data.
  auto takeFromPreBuffer = [&](std::size_t length) {
    packet->ensureCapacityForAdditionalDataOfLength(length);
    std::memcpy(packet->buffer->data() + packet->startOffset + packet->bytesDone,
                preBuffer_->readBuffer(), length);
    preBuffer_->didRead(length);
    packet->bytesDone += length;
    totalBytesReadForCurrentRead += length;
  };

  // 1. Bytes read ahead.
  if (preBuffer_->availableBytes() > 0) {
    if (packet->term) {
      takeFromPreBuffer(packet->readLengthForTermWithPreBuffer(*preBuffer_, &done));
    } else {
      takeFromPreBuffer(packet->readLengthForNonTermWithHint(preBuffer_->availableBytes()));
    }
    if (packet->readLength > 0) {
      done = packet->bytesDone == packet->readLength;
    } else if (packet->term) {
      if (!done && packet->maxLength > 0 && packet->bytesDone >= packet->maxLength) {
        error = readMaxedOutError();
      }
    } else if (packet->maxLength > 0 && packet->bytesDone == packet->maxLength) {
      done = true;
    }
  }

  // 2. Bytes from the descriptor.
  if (!done && !error && !socketEOF && hasBytesAvailable) {
    bool readIntoPreBuffer = false;
    std::size_t bytesToRead;
    if (secure) {
      std::size_t defaultReadLength = 32768;
      if (estimated > defaultReadLength) defaultReadLength = estimated + 16384;
      bytesToRead = packet->optimalReadLengthWithDefault(defaultReadLength, &readIntoPreBuffer);
    } else if (packet->term) {
      bytesToRead = packet->readLengthForTermWithHint(estimated, &readIntoPreBuffer);
    } else {
      bytesToRead = packet->readLengthForNonTermWithHint(estimated);
    }
    std::uint8_t* buffer;
    if (readIntoPreBuffer) {
      preBuffer_->ensureCapacityForWrite(bytesToRead);
      buffer = preBuffer_->writeBuffer();
    } else {
      packet->ensureCapacityForAdditionalDataOfLength(bytesToRead);
      buffer = packet->buffer->data() + packet->startOffset + packet->bytesDone;
    }

    std::size_t bytesRead = 0;
    if (secure) {
      int status = 0;
      while (bytesRead < bytesToRead) {
        std::size_t got = 0;
        status = tls_->read(buffer + bytesRead, bytesToRead - bytesRead, &got);
        bytesRead += got;
        if (status != 0) break;
      }
      if (status == kDispatchSocketSSLWouldBlock) {
        waiting = true;
      } else if (status == kDispatchSocketSSLClosedGraceful ||
                 status == kDispatchSocketSSLClosedAbort) {
        socketEOF = true;
        sslErrCode_ = status;
      } else if (status != 0) {
        error = DispatchSocketTLS::sslError(status, tls_->lastErrorText());
      }
    } else if (bytesToRead > 0) {
      const ssize_t result = ::read(connectedFD(), buffer, bytesToRead);
      if (result < 0) {
        if (errno == EWOULDBLOCK || errno == EAGAIN || errno == EINTR) {
          waiting = true;
        } else {
          error = errnoErrorWithReason("Error in read() function");
        }
        socketFDBytesAvailable_ = 0;
      } else if (result == 0) {
        socketEOF = true;
        socketFDBytesAvailable_ = 0;
      } else {
        bytesRead = static_cast<std::size_t>(result);
        if (bytesRead < bytesToRead) {
          socketFDBytesAvailable_ = 0;
        } else {
          socketFDBytesAvailable_ -= std::min<std::uint64_t>(socketFDBytesAvailable_, bytesRead);
        }
        if (socketFDBytesAvailable_ == 0) waiting = true;
      }
    }

    if (bytesRead > 0) {
      if (packet->readLength > 0) {
        packet->bytesDone += bytesRead;
        totalBytesReadForCurrentRead += bytesRead;
        done = packet->bytesDone == packet->readLength;
      } else if (packet->term) {
        if (readIntoPreBuffer) {
          preBuffer_->didWrite(bytesRead);
          takeFromPreBuffer(packet->readLengthForTermWithPreBuffer(*preBuffer_, &done));
        } else {
          const long overflow = packet->searchForTermAfterPreBuffering(bytesRead);
          if (overflow == 0) {
            packet->bytesDone += bytesRead;
            totalBytesReadForCurrentRead += bytesRead;
            done = true;
          } else if (overflow > 0) {
            const std::size_t underflow = bytesRead - static_cast<std::size_t>(overflow);
            preBuffer_->ensureCapacityForWrite(static_cast<std::size_t>(overflow));
            // `buffer` may have moved? No: the packet's buffer was grown before the read.
            std::memcpy(preBuffer_->writeBuffer(), buffer + underflow,
                        static_cast<std::size_t>(overflow));
            preBuffer_->didWrite(static_cast<std::size_t>(overflow));
            packet->bytesDone += underflow;
            totalBytesReadForCurrentRead += underflow;
            done = true;
          } else {
            packet->bytesDone += bytesRead;
            totalBytesReadForCurrentRead += bytesRead;
          }
        }
        if (!done && packet->maxLength > 0 && packet->bytesDone >= packet->maxLength) {
          error = readMaxedOutError();
        }
      } else {
        if (readIntoPreBuffer) {
          preBuffer_->didWrite(bytesRead);
          takeFromPreBuffer(bytesRead);
        } else {
          packet->bytesDone += bytesRead;
          totalBytesReadForCurrentRead += bytesRead;
        }
        done = true;
      }
    }
  }

  // An available-data read is done as soon as it got anything.
  if (!done && packet->readLength == 0 && !packet->term && totalBytesReadForCurrentRead > 0) {
    done = true;
  }

  if (done) {
    completeCurrentRead();
    if (!error && (!socketEOF || preBuffer_->availableBytes() > 0)) maybeDequeueRead();
  } else if (totalBytesReadForCurrentRead > 0) {
    const long tag = packet->tag;
    notify(
        [totalBytesReadForCurrentRead, tag](DispatchSocketDelegate& d, const DispatchSocketPtr& s) {
          d.socketDidReadPartialDataOfLength(s, totalBytesReadForCurrentRead, tag);
        });
  }

  if (error) {
    closeWithError(error);
  } else if (socketEOF) {
    doReadEOF();
  } else if (waiting) {
    resumeReadSource();
  }
}

void DispatchSocket::doReadEOF() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  flags_ |= kSocketHasReadEOF;
  if (flags_ & kSocketSecure) flushSSLBuffers();

  bool shouldDisconnect = false;
  Error error;
  if ((flags_ & kStartingReadTLS) || (flags_ & kStartingWriteTLS)) {
    shouldDisconnect = true;
    error = DispatchSocketTLS::sslError(kDispatchSocketSSLClosedAbort, {});
  } else if (flags_ & kReadStreamClosed) {
    shouldDisconnect = false;
  } else if (preBuffer_->availableBytes() > 0) {
    // Bytes read ahead are still served to later reads.
    shouldDisconnect = false;
  } else if (config_ & kAllowHalfDuplexConnection) {
    pollfd pfd{connectedFD(), POLLOUT, 0};
    ::poll(&pfd, 1, 0);
    if ((pfd.revents & POLLOUT) && !(pfd.revents & (POLLERR | POLLHUP))) {
      flags_ |= kReadStreamClosed;
      notify([](DispatchSocketDelegate& d, const DispatchSocketPtr& s) {
        d.socketDidCloseReadStream(s);
      });
    } else {
      shouldDisconnect = true;
    }
  } else {
    shouldDisconnect = true;
  }

  if (!shouldDisconnect) {
    suspendReadSource();
    return;
  }
  if (!error) {
    if (sslErrCode_ != 0 && sslErrCode_ != kDispatchSocketSSLClosedGraceful) {
      error = DispatchSocketTLS::sslError(sslErrCode_, {});
    } else {
      error = connectionClosedError();
    }
  }
  closeWithError(error);
}

void DispatchSocket::completeCurrentRead() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  auto packet = std::get<std::shared_ptr<DispatchReadPacket>>(*currentRead_);
  SocketData result;
  if (packet->bufferOwner) {
    packet->buffer->resize(packet->bytesDone);
    result = SocketData(packet->buffer, 0, packet->bytesDone);
  } else {
    if (packet->buffer->size() > packet->originalBufferLength) {
      packet->buffer->resize(
          std::max(packet->startOffset + packet->bytesDone, packet->originalBufferLength));
    }
    result = SocketData(packet->buffer, packet->startOffset, packet->bytesDone);
  }
  const long tag = packet->tag;
  notify([result = std::move(result), tag](DispatchSocketDelegate& d, const DispatchSocketPtr& s) {
    d.socketDidReadData(s, result, tag);
  });
  endCurrentRead();
}

void DispatchSocket::endCurrentRead() { endCurrent<ReadSide>(); }

// --- writing ---------------------------------------------------------------------------------

void DispatchSocket::writeData(Bytes data, double timeout, long tag) {
  if (data.empty()) return;
  writeData(std::make_shared<const Bytes>(std::move(data)), timeout, tag);
}

void DispatchSocket::writeData(std::shared_ptr<const Bytes> data, double timeout, long tag) {
  if (!data || data->empty()) return;
  auto packet = std::make_shared<DispatchWritePacket>(std::move(data), timeout, tag);
  auto self = shared_from_this();
  socketQueue_->async([self, packet = std::move(packet)]() mutable {
    if ((self->flags_ & (kSocketStarted | kForbidReadsWrites)) != kSocketStarted) return;
    self->writeQueue_.emplace_back(std::move(packet));
    self->maybeDequeueWrite();
  });
}

double DispatchSocket::progressOfWriteReturningTag(long* tag, std::size_t* done,
                                                   std::size_t* total) const {
  return progressReturningTag<WriteSide>(tag, done, total);
}

void DispatchSocket::maybeDequeueWrite() { dequeueNext<WriteSide>(); }

void DispatchSocket::doWriteData() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!currentWrite_ || (flags_ & kWritesPaused)) {
    if (flags_ & kSocketCanAcceptBytes) suspendWriteSource();
    return;
  }
  if (!(flags_ & kSocketCanAcceptBytes)) {
    resumeWriteSource();
    return;
  }
  if (flags_ & kStartingWriteTLS) {
    if ((flags_ & kStartingReadTLS) && lastSSLHandshakeError_ == kDispatchSocketSSLWouldBlock) {
      sslContinueHandshake();
      // Wait for the write source again only when the handshake found the
      // descriptor full.
      if ((flags_ & kStartingWriteTLS) && (flags_ & kSocketCanAcceptBytes)) suspendWriteSource();
    } else {
      suspendWriteSource();
    }
    return;
  }
  auto packet = std::get<std::shared_ptr<DispatchWritePacket>>(*currentWrite_);
  const Bytes& data = *packet->buffer;

  bool waiting = false;
  Error error;
  std::size_t bytesWritten = 0;

  if (flags_ & kSocketSecure) {
    bool hasNewDataToWrite = true;
    if (sslWriteCachedLength_ > 0) {
      std::size_t processed = 0;
      const int status =
          tls_->write(data.data() + packet->bytesDone, sslWriteCachedLength_, &processed);
      if (status == 0) {
        bytesWritten = sslWriteCachedLength_;
        sslWriteCachedLength_ = 0;
        if (packet->bytesDone + bytesWritten == data.size()) hasNewDataToWrite = false;
      } else if (status == kDispatchSocketSSLWouldBlock) {
        waiting = true;
        hasNewDataToWrite = false;
      } else {
        error = DispatchSocketTLS::sslError(status, tls_->lastErrorText());
        hasNewDataToWrite = false;
      }
    }
    if (hasNewDataToWrite) {
      std::size_t offset = packet->bytesDone + bytesWritten;
      while (offset < data.size()) {
        const std::size_t chunk = std::min<std::size_t>(data.size() - offset, 32768);
        std::size_t processed = 0;
        const int status = tls_->write(data.data() + offset, chunk, &processed);
        if (status == 0) {
          bytesWritten += processed;
          offset += processed;
        } else if (status == kDispatchSocketSSLWouldBlock) {
          waiting = true;
          sslWriteCachedLength_ = chunk;
          break;
        } else {
          error = DispatchSocketTLS::sslError(status, tls_->lastErrorText());
          break;
        }
      }
    }
  } else {
    const std::size_t remaining = data.size() - packet->bytesDone;
    const ssize_t result =
        ::send(connectedFD(), data.data() + packet->bytesDone, remaining, MSG_NOSIGNAL);
    if (result < 0) {
      if (errno == EWOULDBLOCK || errno == EAGAIN || errno == EINTR) {
        waiting = true;
      } else {
        error = errnoErrorWithReason("Error in write() function");
      }
    } else {
      bytesWritten = static_cast<std::size_t>(result);
    }
  }

  if (waiting) {
    flags_ &= ~kSocketCanAcceptBytes;
    resumeWriteSource();
  }

  bool done = false;
  if (bytesWritten > 0) {
    packet->bytesDone += bytesWritten;
    done = packet->bytesDone == data.size();
  }

  if (done) {
    completeCurrentWrite();
    if (!error) {
      auto self = shared_from_this();
      socketQueue_->async([self] { self->maybeDequeueWrite(); });
    }
  } else {
    if (!waiting && !error) {
      flags_ &= ~kSocketCanAcceptBytes;
      resumeWriteSource();
    }
    if (bytesWritten > 0) {
      const long tag = packet->tag;
      notify([bytesWritten, tag](DispatchSocketDelegate& d, const DispatchSocketPtr& s) {
        d.socketDidWritePartialDataOfLength(s, bytesWritten, tag);
      });
    }
  }
  if (error) closeWithError(error);
}

void DispatchSocket::completeCurrentWrite() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const long tag = std::get<std::shared_ptr<DispatchWritePacket>>(*currentWrite_)->tag;
  notify([tag](DispatchSocketDelegate& d, const DispatchSocketPtr& s) {
    d.socketDidWriteDataWithTag(s, tag);
  });
  endCurrentWrite();
}

void DispatchSocket::endCurrentWrite() { endCurrent<WriteSide>(); }

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
    auto child = DispatchSocket::create(weakDelegate, delegateQueue, childQueue);
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
