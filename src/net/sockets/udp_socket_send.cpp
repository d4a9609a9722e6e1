// DispatchUdpSocket: the send queue, the send filter, sending and the send
// time-out.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/sockets/socket_address.h"
#include "net/sockets/socket_error.h"
#include "net/sockets/udp_socket.h"

namespace net::sockets {

namespace {

// Errors that say the socket itself is unusable; any other send() error
// concerns the one datagram.
// Datagrams handed to the system with one call at most.
constexpr std::size_t kSendBatchSize = 32;

bool sendErrorClosesSocket(int err) {
  return err == EBADF || err == ENOTSOCK || err == EPIPE || err == ENOTCONN || err == EDESTADDRREQ;
}

}  // namespace

// --- requests ---------------------------------------------------------------------------

void DispatchUdpSocket::sendData(Data data, long tag) { sendData(std::move(data), -1.0, tag); }

void DispatchUdpSocket::sendData(Data data, double timeout, long tag) {
  if (!data || data->empty()) return;
  enqueueSend(std::make_shared<DispatchUdpSendPacket>(std::move(data), timeout, tag));
}

void DispatchUdpSocket::sendData(Data data, const std::string& host, std::uint16_t port,
                                 double timeout, long tag) {
  if (!data || data->empty()) return;
  auto packet = std::make_shared<DispatchUdpSendPacket>(std::move(data), timeout, tag);
  packet->resolveInProgress = true;
  closeSendInbox();
  socketQueue_->async([self = shared_from_this(), packet, host, port] {
    self->asyncResolveHost(
        host, port,
        [raw = self.get(), packet](std::vector<Bytes> addresses, platform::Error error) {
          packet->resolveInProgress = false;
          packet->resolvedAddresses = std::move(addresses);
          packet->resolveError = std::move(error);
          if (raw->currentSend_ == packet) raw->doPreSend();
        });
    self->sendQueue_.push_back(packet);
    self->maybeDequeueSend();
  });
}

void DispatchUdpSocket::sendData(Data data, const Bytes& address, double timeout, long tag) {
  if (!data || data->empty()) return;
  auto packet = std::make_shared<DispatchUdpSendPacket>(std::move(data), timeout, tag);
  packet->address = address;
  packet->addressFamily = familyFromAddress(address);
  enqueueSend(std::move(packet));
}

void DispatchUdpSocket::enqueueSend(PacketPtr packet) {
  // Always through the queue, also from the socket queue itself, so a send
  // requested from a callback or a filter never re-enters the send path.
  if (ownsSocketQueue_) {
    // A burst of sends costs one block: each send joins the batch of a block
    // still waiting on the queue. Nothing else can have been queued after
    // that block (every other request closes the batch first, and nobody
    // else has this queue), so the order of the requests is kept.
    std::shared_ptr<std::vector<PacketPtr>> inbox;
    {
      std::lock_guard lock(inboxMutex_);
      if (sendInbox_) {
        sendInbox_->push_back(std::move(packet));
        return;
      }
      inbox = sendInbox_ = std::make_shared<std::vector<PacketPtr>>();
      inbox->push_back(std::move(packet));
    }
    socketQueue_->async([self = shared_from_this(), inbox] {
      {
        std::lock_guard lock(self->inboxMutex_);
        if (self->sendInbox_ == inbox) self->sendInbox_.reset();
      }
      for (PacketPtr& p : *inbox) self->sendQueue_.push_back(std::move(p));
      self->maybeDequeueSend();
    });
    return;
  }
  socketQueue_->async([self = shared_from_this(), packet = std::move(packet)] {
    self->sendQueue_.push_back(packet);
    self->maybeDequeueSend();
  });
}

void DispatchUdpSocket::setSendFilter(SendFilter filter, QueuePtr queue, bool isAsynchronous) {
  if (!filter) queue.reset();
  runAsync([this, filter = std::move(filter), queue = std::move(queue), isAsynchronous] {
    sendFilterBlock_ = filter;
    sendFilterQueue_ = queue;
    sendFilterAsync_ = isAsynchronous;
  });
}

// --- the send queue -----------------------------------------------------------------------

void DispatchUdpSocket::maybeDequeueSend() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  // Ending one datagram takes the next from inside the same pass: calls made
  // while the loop runs only ask it to go round once more, so a long queue
  // never deepens the stack.
  if (inDequeueLoop_) {
    dequeueAgain_ = true;
    return;
  }
  inDequeueLoop_ = true;
  do {
    dequeueAgain_ = false;
    maybeDequeueSendOnce();
  } while (dequeueAgain_);
  inDequeueLoop_ = false;
}

void DispatchUdpSocket::maybeDequeueSendOnce() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (currentSend_) return;
  if (!(flags_ & kDidCreateSockets) && !sendQueue_.empty()) {
    platform::Error error;
    if (!createSockets(&error)) {
      // No socket ever existed, so no close callback can carry the error:
      // each waiting request is told of it instead of vanishing unreported.
      for (const PacketPtr& waiting : sendQueue_) {
        if (auto packet = std::dynamic_pointer_cast<DispatchUdpSendPacket>(waiting)) {
          notifyDidNotSendDataWithTag(packet->tag, error);
        } else {
          notifyDidNotConnect(error);
        }
      }
      sendQueue_.clear();
      closeWithError(error);
      return;
    }
  }
  while (!sendQueue_.empty()) {
    currentSend_ = std::move(sendQueue_.front());
    sendQueue_.pop_front();
    if (std::dynamic_pointer_cast<DispatchUdpSpecialPacket>(currentSend_)) {
      maybeConnect();
      return;
    }
    auto packet = std::static_pointer_cast<DispatchUdpSendPacket>(currentSend_);
    if (packet->resolveError) {
      notifyDidNotSendDataWithTag(packet->tag, packet->resolveError);
      currentSend_.reset();
      continue;
    }
    doPreSend();
    break;
  }
  if (!currentSend_ && (flags_ & kCloseAfterSends)) closeWithError(platform::Error());
}

void DispatchUdpSocket::doPreSend() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  auto packet = std::dynamic_pointer_cast<DispatchUdpSendPacket>(currentSend_);
  if (!packet) return;
  platform::Error error;
  if (flags_ & kDidConnect) {
    if (packet->resolveInProgress || !packet->resolvedAddresses.empty() || packet->resolveError ||
        !packet->address.empty()) {
      error = udpBadConfigError("Cannot specify destination of packet for connected socket");
    } else {
      packet->address = cachedConnectedAddress_;
      packet->addressFamily = cachedConnectedFamily_;
    }
  } else if (packet->resolveInProgress) {
    // Wait for the look-up; its completion calls doPreSend again.
    if (flags_ & kSock4CanAcceptBytes) suspendSendSource(AF_INET);
    if (flags_ & kSock6CanAcceptBytes) suspendSendSource(AF_INET6);
    return;
  } else if (packet->resolveError) {
    error = packet->resolveError;
  } else if (packet->address.empty()) {
    if (packet->resolvedAddresses.empty()) {
      error =
          udpBadConfigError("You must specify destination of packet for a non-connected socket");
    } else {
      packet->addressFamily = getAddress(&packet->address, &error, packet->resolvedAddresses);
    }
  }
  if (!error) {
    // A destination that is no IPv4/IPv6 record, or one whose family has no
    // open socket, fails this datagram only; the socket stays open.
    if (packet->addressFamily != AF_INET && packet->addressFamily != AF_INET6) {
      error = udpBadParamError("A valid IPv4 or IPv6 address was not given");
    } else if ((packet->addressFamily == AF_INET ? socket4FD_ : socket6FD_) == -1) {
      error = udpOtherError(packet->addressFamily == AF_INET
                                ? "No IPv4 socket is open to send to an IPv4 address."
                                : "No IPv6 socket is open to send to an IPv6 address.");
    }
  }
  if (error) {
    notifyDidNotSendDataWithTag(packet->tag, error);
    endCurrentSend();
    maybeDequeueSend();
    return;
  }

  if (!sendFilterBlock_ || !sendFilterQueue_) {
    doSend();
    return;
  }
  flushNotes();  // a filter may reach the delegate queue itself
  if (!sendFilterAsync_) {
    bool allowed = false;
    const SendFilter& filter = sendFilterBlock_;
    auto call = [&] { allowed = filter(packet->buffer, packet->address, packet->tag); };
    // A filter queue that is (or runs on) the socket queue is called inline:
    // waiting for it would wait for ourselves.
    if (sendFilterQueue_->isCurrent() ||
        sendFilterQueue_->getSpecific(isOnSocketQueueOrTargetQueueKey_)) {
      call();
    } else {
      sendFilterQueue_->sync(call);
    }
    if (currentSend_ != packet) return;  // the filter closed the socket
    sendFilterAnswered(packet, allowed);
    return;
  }
  packet->filterInProgress = true;
  sendFilterQueue_->async([self = shared_from_this(), filter = sendFilterBlock_, packet] {
    const bool allowed = filter(packet->buffer, packet->address, packet->tag);
    self->socketQueue_->async([self, packet, allowed] {
      packet->filterInProgress = false;
      if (self->currentSend_ == packet) self->sendFilterAnswered(packet, allowed);
    });
  });
}

void DispatchUdpSocket::sendFilterAnswered(const std::shared_ptr<DispatchUdpSendPacket>& packet,
                                           bool allowed) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (allowed) {
    doSend();
    return;
  }
  // Dropped by the filter: reported as sent.
  notifyDidSendDataWithTag(packet->tag);
  endCurrentSend();
  maybeDequeueSend();
}

void DispatchUdpSocket::doSend() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  auto packet = std::dynamic_pointer_cast<DispatchUdpSendPacket>(currentSend_);
  if (!packet) return;
  const bool v4 = packet->addressFamily == AF_INET;
  const int fd = v4 ? socket4FD_ : socket6FD_;
  const std::size_t batched = gatherSendBatch(*packet);
  ssize_t result;
  int err;
  if (batched > 1) {
    const int sent = ::sendmmsg(fd, sendHeaders_.data(), static_cast<unsigned>(batched), 0);
    err = errno;
    flags_ |= kDidBind;
    if (sent > 0) {
      // The first `sent` datagrams went out; the one after them (if any)
      // comes back here first, so its own error or wait is found as usual.
      notifyDidSendDataWithTag(packet->tag);
      endCurrentSend();
      for (int i = 1; i < sent; ++i) {
        notifyDidSendDataWithTag(
            std::static_pointer_cast<DispatchUdpSendPacket>(sendQueue_.front())->tag);
        sendQueue_.pop_front();
      }
      maybeDequeueSend();
      return;
    }
    result = sent;  // the first datagram's error, handled below
  } else {
    const Bytes& bytes = *packet->buffer;
    if (flags_ & kDidConnect) {
      result = ::send(fd, bytes.data(), bytes.size(), 0);
    } else {
      const socklen_t length = static_cast<socklen_t>(v4 ? kSockaddr4Size : kSockaddr6Size);
      result = ::sendto(fd, bytes.data(), bytes.size(), 0,
                        reinterpret_cast<const sockaddr*>(packet->address.data()), length);
    }
    err = errno;
    flags_ |= kDidBind;
  }
  if (result > 0) {
    notifyDidSendDataWithTag(packet->tag);
    endCurrentSend();
    maybeDequeueSend();
    return;
  }
  if (result == 0 || err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ENOBUFS) {
    // Wait for writability: the send source's event calls doSend again.
    flags_ &= ~static_cast<std::uint32_t>(v4 ? kSock4CanAcceptBytes : kSock6CanAcceptBytes);
    resumeSendSource(v4 ? AF_INET : AF_INET6);
    if (!sendTimer_ && packet->timeout >= 0.0) setupSendTimerWithTimeout(packet->timeout);
    return;
  }
  platform::Error error = errnoError(err, "Error in send() function.");
  if (sendErrorClosesSocket(err)) {
    closeWithError(error);
    return;
  }
  // The system refused this datagram only (too long, no route, refused by
  // the peer's last answer, ...): it fails and the next one goes out.
  notifyDidNotSendDataWithTag(packet->tag, error);
  endCurrentSend();
  maybeDequeueSend();
}

std::size_t DispatchUdpSocket::gatherSendBatch(DispatchUdpSendPacket& first) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  // A send filter sees each datagram before it goes: one at a time then.
  if ((sendFilterBlock_ && sendFilterQueue_) || sendQueue_.empty()) return 1;
  // A connected socket reports a refusal of an earlier datagram on a later
  // send; inside a batch the system would drop that error, so each datagram
  // of a connected socket goes out alone and keeps it.
  const bool connected = (flags_ & kDidConnect) != 0;
  if (connected) return 1;
  std::size_t count = 1;
  // Only datagrams that need nothing before they go, to the same socket:
  // the first that needs a look-up, a check or a connect ends the batch.
  while (count < kSendBatchSize && count - 1 < sendQueue_.size()) {
    auto* next = dynamic_cast<DispatchUdpSendPacket*>(sendQueue_[count - 1].get());
    if (!next || next->resolveInProgress || next->resolveError ||
        !next->resolvedAddresses.empty()) {
      break;
    }
    if (next->addressFamily != first.addressFamily ||
        next->address.size() < (first.addressFamily == AF_INET ? kSockaddr4Size : kSockaddr6Size)) {
      break;
    }
    ++count;
  }
  if (count == 1) return 1;
  if (sendHeaders_.size() < count) {
    sendHeaders_.resize(count);
    sendVectors_.resize(count);
  }
  const socklen_t length =
      static_cast<socklen_t>(first.addressFamily == AF_INET ? kSockaddr4Size : kSockaddr6Size);
  for (std::size_t i = 0; i < count; ++i) {
    const DispatchUdpSendPacket& packet =
        i == 0 ? first : static_cast<const DispatchUdpSendPacket&>(*sendQueue_[i - 1]);
    // The system only reads the bytes and the address.
    sendVectors_[i].iov_base = const_cast<std::uint8_t*>(packet.buffer->data());
    sendVectors_[i].iov_len = packet.buffer->size();
    msghdr& header = sendHeaders_[i].msg_hdr;
    header = msghdr{};
    header.msg_name = const_cast<std::uint8_t*>(packet.address.data());
    header.msg_namelen = length;
    header.msg_iov = &sendVectors_[i];
    header.msg_iovlen = 1;
    sendHeaders_[i].msg_len = 0;
  }
  return count;
}

void DispatchUdpSocket::onSendSourceEvent(int family) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  flags_ |= family == AF_INET ? kSock4CanAcceptBytes : kSock6CanAcceptBytes;
  auto packet = std::dynamic_pointer_cast<DispatchUdpSendPacket>(currentSend_);
  if (!packet || packet->resolveInProgress || packet->filterInProgress) {
    suspendSendSource(family);
    return;
  }
  doSend();
}

void DispatchUdpSocket::endCurrentSend() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  if (sendTimer_) {
    sendTimer_->cancel();
    sendTimer_.reset();
  }
  currentSend_.reset();
}

void DispatchUdpSocket::setupSendTimerWithTimeout(double timeout) {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  SourcePtr timer = Source::timer(socketQueue_, clock_);
  std::weak_ptr<DispatchUdpSocket> weak = weak_from_this();
  std::weak_ptr<Source> weakTimer = timer;
  timer->setEventHandler([weak, weakTimer] {
    auto self = weak.lock();
    auto t = weakTimer.lock();
    if (self && t && self->sendTimer_ == t) self->doSendTimeout();
  });
  timer->setTimer(platform::dispatch::seconds(timeout), platform::dispatch::Duration::zero());
  sendTimer_ = timer;
  timer->resume();
}

void DispatchUdpSocket::doSendTimeout() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  auto packet = std::dynamic_pointer_cast<DispatchUdpSendPacket>(currentSend_);
  if (!packet) return;
  notifyDidNotSendDataWithTag(packet->tag, udpSendTimeoutError());
  endCurrentSend();
  maybeDequeueSend();
}

}  // namespace net::sockets
