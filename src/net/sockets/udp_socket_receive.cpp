// DispatchUdpSocket: receiving once or continuously, the receive filter and
// the sender check of a connected socket.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/sockets/socket_address.h"
#include "net/sockets/socket_error.h"
#include "net/sockets/udp_socket.h"

namespace net::sockets {

namespace {

// No UDP datagram is longer than this (IPv6 jumbograms aside), so no read
// buffer needs to be longer either, whatever size was configured.
constexpr std::size_t kLargestDatagram = 65535;

// Datagrams read with one system call when receiving continuously.
constexpr unsigned kReceiveBatchSize = 16;

}  // namespace

bool DispatchUdpSocket::receiveOnce(platform::Error* error) {
  bool ok = false;
  runSync([&] { ok = startReceiving(kReceiveOnce, error); });
  return ok;
}

bool DispatchUdpSocket::beginReceiving(platform::Error* error) {
  bool ok = false;
  runSync([&] { ok = startReceiving(kReceiveContinuous, error); });
  return ok;
}

bool DispatchUdpSocket::startReceiving(std::uint32_t mode, platform::Error* error) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (flags_ & mode) return true;
  if (!(flags_ & kDidCreateSockets)) {
    if (error) {
      *error = udpBadConfigError(
          "Must bind socket before you can receive data. You can do this explicitly via bind, or "
          "implicitly via connect or by sending data.");
    }
    return false;
  }
  flags_ |= mode;
  flags_ &= ~static_cast<std::uint32_t>(mode == kReceiveOnce ? kReceiveContinuous : kReceiveOnce);
  socketQueue_->async([self = shared_from_this()] { self->doReceive(); });
  return true;
}

void DispatchUdpSocket::pauseReceiving() {
  runAsync([this] {
    flags_ &= ~static_cast<std::uint32_t>(kReceiveOnce | kReceiveContinuous);
    if (socket4FDBytesAvailable_ > 0) suspendReceiveSource(AF_INET);
    if (socket6FDBytesAvailable_ > 0) suspendReceiveSource(AF_INET6);
  });
}

void DispatchUdpSocket::setReceiveFilter(ReceiveFilter filter, QueuePtr queue,
                                         bool isAsynchronous) {
  if (!filter) queue.reset();
  runAsync([this, filter = std::move(filter), queue = std::move(queue), isAsynchronous] {
    receiveFilterBlock_ = filter;
    receiveFilterQueue_ = queue;
    receiveFilterAsync_ = isAsynchronous;
  });
}

void DispatchUdpSocket::onReceiveSourceEvent(int family, std::uint64_t available) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  // The system reports the size of the next datagram only, and 0 for a
  // datagram of 0 bytes: an event means at least one datagram is waiting.
  (family == AF_INET ? socket4FDBytesAvailable_ : socket6FDBytesAvailable_) =
      std::max<std::uint64_t>(available, 1);
  doReceive();
}

void DispatchUdpSocket::doReceive() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (inReceiveLoop_) return;  // a filter called back in; the running loop goes on
  inReceiveLoop_ = true;
  for (;;) {
    const bool receiving = (flags_ & (kReceiveOnce | kReceiveContinuous)) != 0;
    if (!receiving || ((flags_ & kReceiveOnce) && pendingFilterOperations_ > 0)) {
      // Leave waiting datagrams in the system until asked again.
      if (socket4FDBytesAvailable_ > 0) suspendReceiveSource(AF_INET);
      if (socket6FDBytesAvailable_ > 0) suspendReceiveSource(AF_INET6);
      break;
    }
    if (receiveBatch_.next < receiveBatch_.count) {
      handleBatchedDatagram();
      continue;
    }
    if (socket4FDBytesAvailable_ == 0 && socket6FDBytesAvailable_ == 0) {
      resumeReceiveSource(AF_INET);
      resumeReceiveSource(AF_INET6);
      break;
    }
    int family;
    if (flags_ & kDidConnect) {
      family = socket4FD_ != -1 ? AF_INET : AF_INET6;
    } else if (socket4FDBytesAvailable_ > 0 && socket6FDBytesAvailable_ > 0) {
      family = (flags_ & kFlipFlop) ? AF_INET : AF_INET6;
      flags_ ^= kFlipFlop;
    } else {
      family = socket4FDBytesAvailable_ > 0 ? AF_INET : AF_INET6;
    }
    const bool v4 = family == AF_INET;
    const int fd = v4 ? socket4FD_ : socket6FD_;
    std::uint64_t& available = v4 ? socket4FDBytesAvailable_ : socket6FDBytesAvailable_;
    if (fd == -1) {
      available = 0;
      continue;
    }
    const std::size_t maxSize =
        std::min<std::size_t>(v4 ? max4ReceiveSize_ : max6ReceiveSize_, kLargestDatagram);
    // Receiving once reads one datagram only: the others wait in the system.
    const unsigned wanted = (flags_ & kReceiveOnce) ? 1 : kReceiveBatchSize;
    const int count = readBatch(fd, family, maxSize, wanted);
    if (count < 0) {
      const int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
        // Nothing more on this socket: wait for its read source. The other
        // socket may still hold datagrams; the loop looks at it next.
        available = 0;
        resumeReceiveSource(family);
        continue;
      }
      inReceiveLoop_ = false;
      closeWithError(errnoError(err, "Error in recvfrom() function"));
      return;
    }
    // Fewer than asked for: the socket was empty a moment ago, so its read
    // source (which fires again for anything that came since) takes over
    // once the batch is handed on, without another read to learn it. A full
    // batch may have left more behind.
    if (static_cast<unsigned>(count) < wanted) available = 0;
  }
  inReceiveLoop_ = false;
  flushNotes();
}

int DispatchUdpSocket::readBatch(int fd, int family, std::size_t maxSize, unsigned count) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  ReceiveBatch& batch = receiveBatch_;
  if (batch.slotSize != maxSize || !batch.area) {
    // Not value-initialised: pages of a slot that no datagram reaches are
    // never touched.
    batch.area.reset(new std::uint8_t[maxSize * kReceiveBatchSize]);
    batch.slotSize = maxSize;
    batch.headers.resize(kReceiveBatchSize);
    batch.vectors.resize(kReceiveBatchSize);
    batch.from.resize(kReceiveBatchSize);
    for (unsigned i = 0; i < kReceiveBatchSize; ++i) {
      batch.vectors[i].iov_base = batch.area.get() + i * maxSize;
      batch.vectors[i].iov_len = maxSize;
    }
  }
  for (unsigned i = 0; i < count; ++i) {
    msghdr& header = batch.headers[i].msg_hdr;
    header = msghdr{};
    header.msg_name = &batch.from[i];
    header.msg_namelen = sizeof(sockaddr_storage);
    header.msg_iov = &batch.vectors[i];
    header.msg_iovlen = 1;
    batch.headers[i].msg_len = 0;
  }
  const int result = ::recvmmsg(fd, batch.headers.data(), count, MSG_DONTWAIT, nullptr);
  batch.family = family;
  batch.next = 0;
  batch.count = result > 0 ? static_cast<unsigned>(result) : 0;
  return result;
}

void DispatchUdpSocket::handleBatchedDatagram() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  ReceiveBatch& batch = receiveBatch_;
  const unsigned index = batch.next++;
  const msghdr& header = batch.headers[index].msg_hdr;
  const auto* from = static_cast<const std::uint8_t*>(header.msg_name);
  const std::size_t fromLength =
      std::min<std::size_t>(header.msg_namelen, sizeof(sockaddr_storage));
  const bool v4 = batch.family == AF_INET;

  // Datagrams from anyone but the peer of a connected socket are dropped.
  if (flags_ & kDidConnect) {
    const bool fromPeer =
        v4 ? isConnectedToAddress4(from, fromLength) : isConnectedToAddress6(from, fromLength);
    if (!fromPeer) return;
  }
  // Datagrams of one sender share one record.
  if (!lastSenderAddress_ || lastSenderAddress_->size() != fromLength ||
      std::memcmp(lastSenderAddress_->data(), from, fromLength) != 0) {
    lastSenderAddress_ = std::make_shared<const Bytes>(from, from + fromLength);
  }
  const auto* bytes = static_cast<const std::uint8_t*>(header.msg_iov->iov_base);
  Data data = std::make_shared<const Bytes>(bytes, bytes + batch.headers[index].msg_len);

  if (!receiveFilterBlock_ || !receiveFilterQueue_) {
    notifyDidReceiveData(std::move(data), lastSenderAddress_, nullptr);
    if (flags_ & kReceiveOnce) flags_ &= ~static_cast<std::uint32_t>(kReceiveOnce);
    return;
  }
  std::shared_ptr<const Bytes> address = lastSenderAddress_;
  if (!receiveFilterAsync_) {
    std::shared_ptr<void> context;
    bool allowed = false;
    const ReceiveFilter filter = receiveFilterBlock_;
    flushNotes();  // a filter may reach the delegate queue itself
    auto call = [&] { allowed = filter(data, *address, &context); };
    // A filter queue that is (or runs on) the socket queue is called inline:
    // waiting for it would wait for ourselves.
    if (receiveFilterQueue_->isCurrent() ||
        receiveFilterQueue_->getSpecific(isOnSocketQueueOrTargetQueueKey_)) {
      call();
    } else {
      receiveFilterQueue_->sync(call);
    }
    if (allowed) {
      notifyDidReceiveData(std::move(data), address, std::move(context));
      if (flags_ & kReceiveOnce) flags_ &= ~static_cast<std::uint32_t>(kReceiveOnce);
    }
    return;  // a refused datagram: the loop reads the next one
  }
  // Receiving once stops at the top of the loop until the answer comes;
  // receiving continuously goes on reading.
  ++pendingFilterOperations_;
  flushNotes();
  receiveFilterQueue_->async([self = shared_from_this(), filter = receiveFilterBlock_,
                              data = std::move(data), address = std::move(address)] {
    std::shared_ptr<void> context;
    const bool allowed = filter(data, *address, &context);
    self->socketQueue_->async([self, allowed, data, address, context] {
      self->receiveFilterAnswered(allowed, data, address, context);
    });
  });
}

void DispatchUdpSocket::receiveFilterAnswered(bool allowed, Data data,
                                              std::shared_ptr<const Bytes> address,
                                              std::shared_ptr<void> context) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (pendingFilterOperations_ > 0) --pendingFilterOperations_;
  if (allowed) notifyDidReceiveData(std::move(data), address, std::move(context));
  if (flags_ & kReceiveOnce) {
    if (allowed) {
      flags_ &= ~static_cast<std::uint32_t>(kReceiveOnce);
    } else if (pendingFilterOperations_ == 0) {
      doReceive();
    }
  }
}

bool DispatchUdpSocket::isConnectedToAddress4(const std::uint8_t* address,
                                              std::size_t length) const {
  if (cachedConnectedFamily_ != AF_INET || length < kSockaddr4Size ||
      cachedConnectedAddress_.size() < kSockaddr4Size) {
    return false;
  }
  sockaddr_in a;
  sockaddr_in c;
  std::memcpy(&a, address, sizeof a);
  std::memcpy(&c, cachedConnectedAddress_.data(), sizeof c);
  return a.sin_family == AF_INET && a.sin_port == c.sin_port &&
         std::memcmp(&a.sin_addr, &c.sin_addr, sizeof a.sin_addr) == 0;
}

bool DispatchUdpSocket::isConnectedToAddress6(const std::uint8_t* address,
                                              std::size_t length) const {
  if (cachedConnectedFamily_ != AF_INET6 || length < kSockaddr6Size ||
      cachedConnectedAddress_.size() < kSockaddr6Size) {
    return false;
  }
  sockaddr_in6 a;
  sockaddr_in6 c;
  std::memcpy(&a, address, sizeof a);
  std::memcpy(&c, cachedConnectedAddress_.data(), sizeof c);
  return a.sin6_family == AF_INET6 && a.sin6_port == c.sin6_port &&
         std::memcmp(&a.sin6_addr, &c.sin6_addr, sizeof a.sin6_addr) == 0;
}

}  // namespace net::sockets
