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
                                         QueuePtr delegateQueue, QueuePtr socketQueue,
                                         platform::dispatch::TimeSourcePtr clock) {
  auto sock = std::make_shared<DispatchSocket>(Private{}, std::move(delegate),
                                               std::move(delegateQueue), std::move(socketQueue));
  sock->clock_ = std::move(clock);  // not shared yet
  return sock;
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

}  // namespace net::sockets
