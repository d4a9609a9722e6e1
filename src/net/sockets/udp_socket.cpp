// DispatchUdpSocket: creation, queue discipline, configuration, callbacks,
// closing and the views. Binding and connecting live in
// udp_socket_connect.cpp, sending in udp_socket_send.cpp, receiving in
// udp_socket_receive.cpp, multicast and options in udp_socket_options.cpp.
#include "net/sockets/udp_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <utility>

#include "net/sockets/socket_address.h"

namespace net::sockets {

using platform::dispatch::Queue;

// --- creation ---------------------------------------------------------------

std::shared_ptr<DispatchUdpSocket> DispatchUdpSocket::create() {
  return create(WeakDelegate(), nullptr, nullptr);
}

std::shared_ptr<DispatchUdpSocket> DispatchUdpSocket::create(QueuePtr socketQueue) {
  return create(WeakDelegate(), nullptr, std::move(socketQueue));
}

std::shared_ptr<DispatchUdpSocket> DispatchUdpSocket::create(WeakDelegate delegate,
                                                             QueuePtr delegateQueue) {
  return create(std::move(delegate), std::move(delegateQueue), nullptr);
}

std::shared_ptr<DispatchUdpSocket> DispatchUdpSocket::create(
    WeakDelegate delegate, QueuePtr delegateQueue, QueuePtr socketQueue,
    platform::dispatch::TimeSourcePtr clock) {
  auto sock = std::make_shared<DispatchUdpSocket>(PassKey{}, std::move(delegate),
                                                  std::move(delegateQueue), std::move(socketQueue));
  sock->clock_ = std::move(clock);  // not shared yet
  return sock;
}

DispatchUdpSocket::DispatchUdpSocket(PassKey, WeakDelegate delegate, QueuePtr delegateQueue,
                                     QueuePtr socketQueue)
    : delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      socketQueue_(socketQueue ? socketQueue : Queue::createSerial(kDispatchUdpSocketQueueLabel)),
      ownsSocketQueue_(!socketQueue),
      isOnSocketQueueOrTargetQueueKey_(&isOnSocketQueueOrTargetQueueKey_) {
  // The value only has to be non-null; it does not own the socket.
  socketQueue_->setSpecific(isOnSocketQueueOrTargetQueueKey_,
                            std::shared_ptr<void>(static_cast<void*>(this), [](void*) {}));
}

DispatchUdpSocket::~DispatchUdpSocket() {
  // Callbacks sent from here carry a null socket (weak_from_this is expired).
  runSync([this] { closeWithError(platform::Error()); });
  socketQueue_->setSpecific(isOnSocketQueueOrTargetQueueKey_, nullptr);
  for (const auto& weak : markedQueues_) {
    if (QueuePtr q = weak.lock()) q->setSpecific(isOnSocketQueueOrTargetQueueKey_, nullptr);
  }
}

// --- queue discipline -------------------------------------------------------------

bool DispatchUdpSocket::isOnSocketQueue() const {
  return Queue::currentSpecific(isOnSocketQueueOrTargetQueueKey_) != nullptr;
}

void DispatchUdpSocket::runSync(const std::function<void()>& block) const {
  if (isOnSocketQueue()) {
    block();
  } else {
    socketQueue_->sync(block);
  }
}

void DispatchUdpSocket::runAsync(std::function<void()> block) {
  if (isOnSocketQueue()) {
    block();
  } else {
    closeSendInbox();
    socketQueue_->async([self = shared_from_this(), block = std::move(block)] { block(); });
  }
}

void DispatchUdpSocket::closeSendInbox() {
  if (!ownsSocketQueue_) return;
  std::lock_guard lock(inboxMutex_);
  sendInbox_.reset();
}

// --- delegate -------------------------------------------------------------------------

DispatchUdpSocket::DelegatePtr DispatchUdpSocket::delegate() const {
  DelegatePtr result;
  runSync([&] { result = delegate_.lock(); });
  return result;
}

void DispatchUdpSocket::setDelegate(WeakDelegate delegate) {
  setDelegate(std::move(delegate), false);
}

void DispatchUdpSocket::synchronouslySetDelegate(WeakDelegate delegate) {
  setDelegate(std::move(delegate), true);
}

void DispatchUdpSocket::setDelegate(WeakDelegate delegate, bool synchronously) {
  if (synchronously) {
    runSync([&] { delegate_ = delegate; });
  } else {
    runAsync([this, delegate = std::move(delegate)] { delegate_ = delegate; });
  }
}

DispatchUdpSocket::QueuePtr DispatchUdpSocket::delegateQueue() const {
  QueuePtr result;
  runSync([&] { result = delegateQueue_; });
  return result;
}

void DispatchUdpSocket::setDelegateQueue(QueuePtr queue) {
  setDelegateQueue(std::move(queue), false);
}

void DispatchUdpSocket::synchronouslySetDelegateQueue(QueuePtr queue) {
  setDelegateQueue(std::move(queue), true);
}

void DispatchUdpSocket::setDelegateQueue(QueuePtr queue, bool synchronously) {
  if (synchronously) {
    runSync([&] { delegateQueue_ = queue; });
  } else {
    runAsync([this, queue = std::move(queue)] { delegateQueue_ = queue; });
  }
}

void DispatchUdpSocket::getDelegate(DelegatePtr* delegate, QueuePtr* delegateQueue) const {
  runSync([&] {
    if (delegate) *delegate = delegate_.lock();
    if (delegateQueue) *delegateQueue = delegateQueue_;
  });
}

void DispatchUdpSocket::setDelegate(WeakDelegate delegate, QueuePtr delegateQueue) {
  setDelegate(std::move(delegate), std::move(delegateQueue), false);
}

void DispatchUdpSocket::synchronouslySetDelegate(WeakDelegate delegate, QueuePtr delegateQueue) {
  setDelegate(std::move(delegate), std::move(delegateQueue), true);
}

void DispatchUdpSocket::setDelegate(WeakDelegate delegate, QueuePtr delegateQueue,
                                    bool synchronously) {
  if (synchronously) {
    runSync([&] {
      delegate_ = delegate;
      delegateQueue_ = delegateQueue;
    });
  } else {
    runAsync([this, delegate = std::move(delegate), delegateQueue = std::move(delegateQueue)] {
      delegate_ = delegate;
      delegateQueue_ = delegateQueue;
    });
  }
}

// --- configuration ---------------------------------------------------------------------

bool DispatchUdpSocket::isIPv4Enabled() const {
  bool result = false;
  runSync([&] { result = (config_ & kIPv4Disabled) == 0; });
  return result;
}

void DispatchUdpSocket::setIPv4Enabled(bool enabled) {
  runAsync([this, enabled] {
    if (enabled) {
      config_ &= static_cast<std::uint16_t>(~kIPv4Disabled);
    } else {
      config_ |= kIPv4Disabled;
    }
  });
}

bool DispatchUdpSocket::isIPv6Enabled() const {
  bool result = false;
  runSync([&] { result = (config_ & kIPv6Disabled) == 0; });
  return result;
}

void DispatchUdpSocket::setIPv6Enabled(bool enabled) {
  runAsync([this, enabled] {
    if (enabled) {
      config_ &= static_cast<std::uint16_t>(~kIPv6Disabled);
    } else {
      config_ |= kIPv6Disabled;
    }
  });
}

bool DispatchUdpSocket::isIPv4Preferred() const {
  bool result = false;
  runSync([&] { result = (config_ & kPreferIPv4) != 0; });
  return result;
}

bool DispatchUdpSocket::isIPv6Preferred() const {
  bool result = false;
  runSync([&] { result = (config_ & kPreferIPv6) != 0; });
  return result;
}

bool DispatchUdpSocket::isIPVersionNeutral() const {
  bool result = false;
  runSync([&] { result = (config_ & (kPreferIPv4 | kPreferIPv6)) == 0; });
  return result;
}

void DispatchUdpSocket::setPreferIPv4() {
  runAsync([this] {
    config_ |= kPreferIPv4;
    config_ &= static_cast<std::uint16_t>(~kPreferIPv6);
  });
}

void DispatchUdpSocket::setPreferIPv6() {
  runAsync([this] {
    config_ &= static_cast<std::uint16_t>(~kPreferIPv4);
    config_ |= kPreferIPv6;
  });
}

void DispatchUdpSocket::setIPVersionNeutral() {
  runAsync([this] { config_ &= static_cast<std::uint16_t>(~(kPreferIPv4 | kPreferIPv6)); });
}

std::uint16_t DispatchUdpSocket::maxReceiveIPv4BufferSize() const {
  std::uint16_t result = 0;
  runSync([&] { result = max4ReceiveSize_; });
  return result;
}

void DispatchUdpSocket::setMaxReceiveIPv4BufferSize(std::uint16_t size) {
  runAsync([this, size] { max4ReceiveSize_ = size; });
}

std::uint32_t DispatchUdpSocket::maxReceiveIPv6BufferSize() const {
  std::uint32_t result = 0;
  runSync([&] { result = max6ReceiveSize_; });
  return result;
}

void DispatchUdpSocket::setMaxReceiveIPv6BufferSize(std::uint32_t size) {
  runAsync([this, size] { max6ReceiveSize_ = size; });
}

std::uint16_t DispatchUdpSocket::maxSendBufferSize() const {
  std::uint16_t result = 0;
  runSync([&] { result = maxSendSize_; });
  return result;
}

void DispatchUdpSocket::setMaxSendBufferSize(std::uint16_t size) {
  runAsync([this, size] { maxSendSize_ = size; });
}

std::shared_ptr<void> DispatchUdpSocket::userData() const {
  std::shared_ptr<void> result;
  runSync([&] { result = userData_; });
  return result;
}

void DispatchUdpSocket::setUserData(std::shared_ptr<void> userData) {
  runAsync([this, userData = std::move(userData)] { userData_ = userData; });
}

// --- callbacks ---------------------------------------------------------------------------

namespace {
// At most this many datagram notes go in one block of the delegate queue.
constexpr std::size_t kMaxNotesPerPost = 64;
}  // namespace

void DispatchUdpSocket::notify(NoteCall call) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  DelegatePtr delegate = delegate_.lock();
  QueuePtr queue = delegateQueue_;
  if (!delegate || !queue) return;
  flushNotes();
  queue->async([delegate = std::move(delegate), self = weak_from_this().lock(),
                call = std::move(call)] { call(*delegate, self); });
}

void DispatchUdpSocket::notifyDatagram(PendingNote note,
                                       const std::shared_ptr<const Bytes>* address) {
  if (!delegateQueue_) return;
  // The delegate of the held notes is the one still set while the notes are
  // for the same queue: no new reference is taken for each datagram.
  const bool sameDelegate = notes_.delegate && !delegate_.owner_before(notes_.delegate) &&
                            !notes_.delegate.owner_before(delegate_);
  if (!sameDelegate || notes_.queue != delegateQueue_) {
    DelegatePtr delegate = delegate_.lock();
    if (!delegate) return;
    flushNotes();
    notes_.queue = delegateQueue_;
    notes_.delegate = std::move(delegate);
  }
  if (address) {
    if (notes_.addresses.empty() || notes_.addresses.back() != *address) {
      notes_.addresses.push_back(*address);
    }
    note.addressIndex = notes_.addresses.size() - 1;
  }
  notes_.notes.push_back(std::move(note));
  // Being destroyed: nothing may wait for later. The receive loop posts
  // what it holds when it ends.
  if (notes_.notes.size() >= kMaxNotesPerPost || weak_from_this().expired()) {
    flushNotes();
    return;
  }
  if (notesFlushPosted_ || inReceiveLoop_) return;
  // Runs after the work already queued on the socket queue (the rest of a
  // burst of sends, say), whose notes then go in the same post.
  notesFlushPosted_ = true;
  socketQueue_->async([self = shared_from_this()] {
    self->notesFlushPosted_ = false;
    self->flushNotes();
  });
}

void DispatchUdpSocket::flushNotes() {
  if (notes_.notes.empty()) {
    notes_.queue.reset();
    notes_.delegate.reset();
    notes_.addresses.clear();
    return;
  }
  auto batch = std::make_shared<PendingNotes>(std::move(notes_));
  notes_ = PendingNotes();
  notes_.notes.reserve(batch->notes.size());
  QueuePtr queue = batch->queue;
  queue->async([batch, self = weak_from_this().lock()] {
    DispatchUdpSocketDelegate& delegate = *batch->delegate;
    for (PendingNote& note : batch->notes) {
      switch (note.kind) {
        case PendingNote::Kind::Received:
          delegate.udpSocketDidReceiveData(self, note.data, *batch->addresses[note.addressIndex],
                                           note.context);
          break;
        case PendingNote::Kind::Sent:
          delegate.udpSocketDidSendDataWithTag(self, note.tag);
          break;
        case PendingNote::Kind::Call:
          note.call(delegate, self);
          break;
      }
      // Whatever a call captured goes with it, as with one block per call.
      note = PendingNote();
    }
  });
}

void DispatchUdpSocket::notifyDidConnectToAddress(const Bytes& address) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  notify([address](DispatchUdpSocketDelegate& d, const std::shared_ptr<DispatchUdpSocket>& s) {
    d.udpSocketDidConnectToAddress(s, address);
  });
}

void DispatchUdpSocket::notifyDidNotConnect(const platform::Error& error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  notify([error](DispatchUdpSocketDelegate& d, const std::shared_ptr<DispatchUdpSocket>& s) {
    d.udpSocketDidNotConnect(s, error);
  });
}

void DispatchUdpSocket::notifyDidSendDataWithTag(long tag) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  PendingNote note;
  note.kind = PendingNote::Kind::Sent;
  note.tag = tag;
  notifyDatagram(std::move(note));
}

void DispatchUdpSocket::notifyDidNotSendDataWithTag(long tag, const platform::Error& error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  PendingNote note;
  note.call = [tag, error](DispatchUdpSocketDelegate& d,
                           const std::shared_ptr<DispatchUdpSocket>& s) {
    d.udpSocketDidNotSendDataWithTag(s, tag, error);
  };
  notifyDatagram(std::move(note));
}

void DispatchUdpSocket::notifyDidReceiveData(Data data, const std::shared_ptr<const Bytes>& address,
                                             std::shared_ptr<void> context) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  PendingNote note;
  note.kind = PendingNote::Kind::Received;
  note.data = std::move(data);
  note.context = std::move(context);
  notifyDatagram(std::move(note), &address);
}

void DispatchUdpSocket::notifyDidCloseWithError(const platform::Error& error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  notify([error](DispatchUdpSocketDelegate& d, const std::shared_ptr<DispatchUdpSocket>& s) {
    d.udpSocketDidClose(s, error);
  });
}

// --- closing -----------------------------------------------------------------------------

void DispatchUdpSocket::close() {
  runSync([this] { closeWithError(platform::Error()); });
}

void DispatchUdpSocket::closeAfterSending() {
  runAsync([this] {
    flags_ |= kCloseAfterSends;
    if (!currentSend_ && sendQueue_.empty()) closeWithError(platform::Error());
  });
}

void DispatchUdpSocket::closeWithError(const platform::Error& error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  // Every datagram still waiting is reported as not sent, with the close's
  // error (or "Socket closed"), before the close itself.
  std::deque<PacketPtr> waiting;
  waiting.swap(sendQueue_);
  if (currentSend_) waiting.push_front(currentSend_);
  if (currentSend_) endCurrentSend();
  const platform::Error reason = error ? error : udpSocketClosedError();
  for (const PacketPtr& p : waiting) {
    if (auto packet = std::dynamic_pointer_cast<DispatchUdpSendPacket>(p)) {
      notifyDidNotSendDataWithTag(packet->tag, reason);
    }
  }
  const std::uint32_t oldFlags = flags_;
  closeSockets();
  flags_ = 0;
  if (oldFlags & kDidCreateSockets) notifyDidCloseWithError(error);
}

void DispatchUdpSocket::closeSockets() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  closeSocket(AF_INET);
  closeSocket(AF_INET6);
  flags_ &= ~static_cast<std::uint32_t>(kDidCreateSockets);
}

void DispatchUdpSocket::closeSocket(int family) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const bool v4 = family == AF_INET;
  int& fd = v4 ? socket4FD_ : socket6FD_;
  if (fd == -1) return;
  SourcePtr& send = v4 ? send4Source_ : send6Source_;
  SourcePtr& receive = v4 ? receive4Source_ : receive6Source_;
  const std::uint32_t sendSuspended = v4 ? kSend4SourceSuspended : kSend6SourceSuspended;
  const std::uint32_t receiveSuspended = v4 ? kReceive4SourceSuspended : kReceive6SourceSuspended;
  // The last of the two cancel handlers closes the descriptor; a suspended
  // source runs its cancel handler only once resumed.
  if (send) {
    send->cancel();
    if (flags_ & sendSuspended) send->resume();
  }
  if (receive) {
    receive->cancel();
    if (flags_ & receiveSuspended) receive->resume();
  }
  send.reset();
  receive.reset();
  fd = -1;
  (v4 ? socket4FDBytesAvailable_ : socket6FDBytesAvailable_) = 0;
  if (receiveBatch_.family == family) receiveBatch_.count = receiveBatch_.next = 0;
  flags_ &= ~(sendSuspended | receiveSuspended |
              static_cast<std::uint32_t>(v4 ? kSock4CanAcceptBytes : kSock6CanAcceptBytes));
  if (v4) {
    cachedLocalAddress4_.clear();
    cachedLocalHost4_.clear();
    cachedLocalPort4_ = 0;
  } else {
    cachedLocalAddress6_.clear();
    cachedLocalHost6_.clear();
    cachedLocalPort6_ = 0;
  }
}

// --- views -------------------------------------------------------------------------------

void DispatchUdpSocket::maybeUpdateCachedLocalAddressInfo(int family) const {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const bool v4 = family == AF_INET;
  Bytes& address = v4 ? cachedLocalAddress4_ : cachedLocalAddress6_;
  const int fd = v4 ? socket4FD_ : socket6FD_;
  if (!address.empty() || !(flags_ & kDidBind) || fd == -1) return;
  Bytes local = localAddressOfSocket(fd);
  if (net::sockets::addressFamily(local) != family) return;
  std::string host;
  std::uint16_t port = 0;
  if (!getHostPortFamily(local, &host, &port, nullptr)) return;
  address = std::move(local);
  (v4 ? cachedLocalHost4_ : cachedLocalHost6_) = std::move(host);
  (v4 ? cachedLocalPort4_ : cachedLocalPort6_) = port;
}

void DispatchUdpSocket::maybeUpdateCachedConnectedAddressInfo() const {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (!cachedConnectedAddress_.empty() || !(flags_ & kDidConnect)) return;
  const int fd = socket4FD_ != -1 ? socket4FD_ : socket6FD_;
  Bytes peer = peerAddressOfSocket(fd);
  std::string host;
  std::uint16_t port = 0;
  int family = 0;
  if (fd == -1 || !getHostPortFamily(peer, &host, &port, &family)) {
    cachedConnectedPort_ = 0;
    cachedConnectedFamily_ = 0;
    return;
  }
  cachedConnectedAddress_ = std::move(peer);
  cachedConnectedHost_ = std::move(host);
  cachedConnectedPort_ = port;
  cachedConnectedFamily_ = family;
}

Bytes DispatchUdpSocket::localAddress() const {
  Bytes result;
  runSync([&] {
    const int family = socket4FD_ != -1 ? AF_INET : AF_INET6;
    maybeUpdateCachedLocalAddressInfo(family);
    result = family == AF_INET ? cachedLocalAddress4_ : cachedLocalAddress6_;
  });
  return result;
}

std::string DispatchUdpSocket::localHost() const {
  std::string result;
  runSync([&] {
    const int family = socket4FD_ != -1 ? AF_INET : AF_INET6;
    maybeUpdateCachedLocalAddressInfo(family);
    result = family == AF_INET ? cachedLocalHost4_ : cachedLocalHost6_;
  });
  return result;
}

std::uint16_t DispatchUdpSocket::localPort() const {
  std::uint16_t result = 0;
  runSync([&] {
    const int family = socket4FD_ != -1 ? AF_INET : AF_INET6;
    maybeUpdateCachedLocalAddressInfo(family);
    result = family == AF_INET ? cachedLocalPort4_ : cachedLocalPort6_;
  });
  return result;
}

Bytes DispatchUdpSocket::localAddress_IPv4() const {
  Bytes result;
  runSync([&] {
    maybeUpdateCachedLocalAddressInfo(AF_INET);
    result = cachedLocalAddress4_;
  });
  return result;
}

std::string DispatchUdpSocket::localHost_IPv4() const {
  std::string result;
  runSync([&] {
    maybeUpdateCachedLocalAddressInfo(AF_INET);
    result = cachedLocalHost4_;
  });
  return result;
}

std::uint16_t DispatchUdpSocket::localPort_IPv4() const {
  std::uint16_t result = 0;
  runSync([&] {
    maybeUpdateCachedLocalAddressInfo(AF_INET);
    result = cachedLocalPort4_;
  });
  return result;
}

Bytes DispatchUdpSocket::localAddress_IPv6() const {
  Bytes result;
  runSync([&] {
    maybeUpdateCachedLocalAddressInfo(AF_INET6);
    result = cachedLocalAddress6_;
  });
  return result;
}

std::string DispatchUdpSocket::localHost_IPv6() const {
  std::string result;
  runSync([&] {
    maybeUpdateCachedLocalAddressInfo(AF_INET6);
    result = cachedLocalHost6_;
  });
  return result;
}

std::uint16_t DispatchUdpSocket::localPort_IPv6() const {
  std::uint16_t result = 0;
  runSync([&] {
    maybeUpdateCachedLocalAddressInfo(AF_INET6);
    result = cachedLocalPort6_;
  });
  return result;
}

Bytes DispatchUdpSocket::connectedAddress() const {
  Bytes result;
  runSync([&] {
    maybeUpdateCachedConnectedAddressInfo();
    result = cachedConnectedAddress_;
  });
  return result;
}

std::string DispatchUdpSocket::connectedHost() const {
  std::string result;
  runSync([&] {
    maybeUpdateCachedConnectedAddressInfo();
    result = cachedConnectedHost_;
  });
  return result;
}

std::uint16_t DispatchUdpSocket::connectedPort() const {
  std::uint16_t result = 0;
  runSync([&] {
    maybeUpdateCachedConnectedAddressInfo();
    result = cachedConnectedPort_;
  });
  return result;
}

bool DispatchUdpSocket::isConnected() const {
  bool result = false;
  runSync([&] { result = (flags_ & kDidConnect) != 0; });
  return result;
}

bool DispatchUdpSocket::isClosed() const {
  bool result = false;
  runSync([&] { result = (flags_ & kDidCreateSockets) == 0; });
  return result;
}

bool DispatchUdpSocket::isIPv4() const {
  bool result = false;
  runSync([&] {
    result = (flags_ & kDidCreateSockets) ? socket4FD_ != -1 : (config_ & kIPv4Disabled) == 0;
  });
  return result;
}

bool DispatchUdpSocket::isIPv6() const {
  bool result = false;
  runSync([&] {
    result = (flags_ & kDidCreateSockets) ? socket6FD_ != -1 : (config_ & kIPv6Disabled) == 0;
  });
  return result;
}

int DispatchUdpSocket::socketFD() const {
  if (!isOnSocketQueue()) return -1;
  return socket4FD_ != -1 ? socket4FD_ : socket6FD_;
}

int DispatchUdpSocket::socket4FD() const { return isOnSocketQueue() ? socket4FD_ : -1; }

int DispatchUdpSocket::socket6FD() const { return isOnSocketQueue() ? socket6FD_ : -1; }

// --- queues ------------------------------------------------------------------------------

void DispatchUdpSocket::performBlock(const std::function<void()>& block) { runSync(block); }

void DispatchUdpSocket::markSocketQueueTargetQueue(const QueuePtr& queue) {
  if (!queue) return;
  queue->setSpecific(isOnSocketQueueOrTargetQueueKey_,
                     std::shared_ptr<void>(static_cast<void*>(this), [](void*) {}));
  runSync([&] { markedQueues_.push_back(queue); });
}

void DispatchUdpSocket::unmarkSocketQueueTargetQueue(const QueuePtr& queue) {
  if (!queue) return;
  queue->setSpecific(isOnSocketQueueOrTargetQueueKey_, nullptr);
}

void DispatchUdpSocket::applicationWillEnterForeground() {
  closeSendInbox();
  socketQueue_->async([weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->resumeReceiveSource(AF_INET);
      self->resumeReceiveSource(AF_INET6);
    }
  });
}

// --- address records -----------------------------------------------------------------------

std::string DispatchUdpSocket::hostFromSockaddr4(const sockaddr_in& address) {
  return net::sockets::hostFromSockaddr4(address);
}

std::string DispatchUdpSocket::hostFromSockaddr6(const sockaddr_in6& address) {
  return net::sockets::hostFromSockaddr6(address);
}

std::uint16_t DispatchUdpSocket::portFromSockaddr4(const sockaddr_in& address) {
  return net::sockets::portFromSockaddr4(address);
}

std::uint16_t DispatchUdpSocket::portFromSockaddr6(const sockaddr_in6& address) {
  return net::sockets::portFromSockaddr6(address);
}

bool DispatchUdpSocket::getHost(std::string* host, std::uint16_t* port, int* family,
                                const Bytes& address) {
  std::string h;
  std::uint16_t p = 0;
  int f = 0;
  const bool ok = getHostPortFamily(address, &h, &p, &f) && (f == AF_INET || f == AF_INET6);
  if (!ok) {
    h.clear();
    p = 0;
    f = 0;
  }
  if (host) *host = std::move(h);
  if (port) *port = p;
  if (family) *family = f;
  return ok;
}

bool DispatchUdpSocket::getHost(std::string* host, std::uint16_t* port, const Bytes& address) {
  return getHost(host, port, nullptr, address);
}

std::string DispatchUdpSocket::hostFromAddress(const Bytes& address) {
  std::string host;
  getHost(&host, nullptr, nullptr, address);
  return host;
}

std::uint16_t DispatchUdpSocket::portFromAddress(const Bytes& address) {
  std::uint16_t port = 0;
  getHost(nullptr, &port, nullptr, address);
  return port;
}

int DispatchUdpSocket::familyFromAddress(const Bytes& address) {
  int family = 0;
  getHost(nullptr, nullptr, &family, address);
  return family;
}

bool DispatchUdpSocket::isIPv4Address(const Bytes& address) {
  return familyFromAddress(address) == AF_INET;
}

bool DispatchUdpSocket::isIPv6Address(const Bytes& address) {
  return familyFromAddress(address) == AF_INET6;
}

}  // namespace net::sockets
