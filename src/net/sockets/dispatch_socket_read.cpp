// DispatchSocket: the read requests, reading from the descriptor (or TLS) and the read time-out.
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
#include "net/sockets/dispatch_socket_read_decision.h"
#include "net/sockets/dispatch_socket_tls.h"
#include "net/sockets/socket_error.h"
#include "net/sockets/source_suspension.h"

namespace net::sockets {

using platform::Error;
using platform::dispatch::Duration;
using platform::dispatch::Queue;
using platform::dispatch::Source;

using namespace dispatch_socket_internal;

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

struct DispatchSocket::ReadPass {
  std::size_t estimated = 0;  // bytes the descriptor and the TLS layer hold
  bool done = false;
  Error error;
  std::size_t taken = 0;  // bytes added to the request in this pass
  bool waiting = false;
  bool eof = false;

  bool stopped() const { return done || error || eof; }
};

void DispatchSocket::doReadData() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const auto packet = currentPacket<ReadSide>();
  ReadPass pass;
  pass.estimated = socketFDBytesAvailable_;
  if (flags_ & kSocketSecure) {
    pass.estimated += (sslPreBuffer_ ? sslPreBuffer_->availableBytes() : 0) + sslBufferedBytes();
  }
  if (!readStepAllowsRead(pass.estimated) || !packet) return;
  pass.waiting = pass.estimated == 0;
  pass.eof = flags_ & kSocketHasReadEOF;
  // 1. Bytes read ahead, 2. bytes from the descriptor (or the TLS layer).
  readFromPreBuffer(*packet, pass);
  if (!pass.stopped() && pass.estimated > 0) readFromSource(*packet, pass);
  finishReadPass(*packet, pass);
}

// Decides whether the read step reads now; when not, does what waiting takes.
bool DispatchSocket::readStepAllowsRead(std::size_t estimatedBytes) {
  const bool secure = flags_ & kSocketSecure;
  ReadStepInputs in;
  in.hasRequest = currentRead_.has_value();
  in.readsPaused = flags_ & kReadsPaused;
  in.secure = secure;
  in.startingReadTLS = flags_ & kStartingReadTLS;
  in.startingWriteTLS = flags_ & kStartingWriteTLS;
  in.handshakeWouldBlock = lastSSLHandshakeError_ == kDispatchSocketSSLWouldBlock;
  in.estimatedBytes = estimatedBytes;
  in.preBufferedBytes = preBuffer_->availableBytes();
  switch (readStep(in)) {
    case ReadStep::Idle:
      if (secure) flushSSLBuffers();
      if (socketFDBytesAvailable_ > 0) suspendReadSource();
      return false;
    case ReadStep::WaitForBytes:
      resumeReadSource();
      return false;
    case ReadStep::ContinueHandshake:
      sslContinueHandshake();
      return false;
    case ReadStep::WaitForHandshake:
      suspendReadSource();
      return false;
    case ReadStep::Read:
      break;
  }
  return true;
}

namespace {

// Moves `length` bytes from the pre-buffer to the end of the request's data.
std::size_t takeFromPreBuffer(DispatchReadPacket& packet, DispatchSocketPreBuffer& preBuffer,
                              std::size_t length) {
  packet.ensureCapacityForAdditionalDataOfLength(length);
  std::memcpy(packet.buffer->data() + packet.startOffset + packet.bytesDone, preBuffer.readBuffer(),
              length);
  preBuffer.didRead(length);
  packet.bytesDone += length;
  return length;
}

}  // namespace

void DispatchSocket::readFromPreBuffer(DispatchReadPacket& packet, ReadPass& pass) {
  if (preBuffer_->availableBytes() == 0) return;
  if (packet.term) {
    pass.taken += takeFromPreBuffer(packet, *preBuffer_,
                                    packet.readLengthForTermWithPreBuffer(*preBuffer_, &pass.done));
  } else {
    pass.taken += takeFromPreBuffer(
        packet, *preBuffer_, packet.readLengthForNonTermWithHint(preBuffer_->availableBytes()));
  }
  if (packet.readLength > 0) {
    pass.done = packet.bytesDone == packet.readLength;
  } else if (packet.term) {
    if (!pass.done && packet.maxLength > 0 && packet.bytesDone >= packet.maxLength) {
      pass.error = readMaxedOutError();
    }
  } else if (packet.maxLength > 0 && packet.bytesDone == packet.maxLength) {
    pass.done = true;
  }
}

void DispatchSocket::readFromSource(DispatchReadPacket& packet, ReadPass& pass) {
  bool readIntoPreBuffer = false;
  std::size_t bytesToRead;
  if (flags_ & kSocketSecure) {
    std::size_t defaultReadLength = 32768;
    if (pass.estimated > defaultReadLength) defaultReadLength = pass.estimated + 16384;
    bytesToRead = packet.optimalReadLengthWithDefault(defaultReadLength, &readIntoPreBuffer);
  } else if (packet.term) {
    bytesToRead = packet.readLengthForTermWithHint(pass.estimated, &readIntoPreBuffer);
  } else {
    bytesToRead = packet.readLengthForNonTermWithHint(pass.estimated);
  }
  std::uint8_t* buffer;
  if (readIntoPreBuffer) {
    preBuffer_->ensureCapacityForWrite(bytesToRead);
    buffer = preBuffer_->writeBuffer();
  } else {
    packet.ensureCapacityForAdditionalDataOfLength(bytesToRead);
    buffer = packet.buffer->data() + packet.startOffset + packet.bytesDone;
  }
  const std::size_t bytesRead = readIntoBuffer(buffer, bytesToRead, pass);
  if (bytesRead > 0) takeBytesRead(packet, pass, buffer, bytesRead, readIntoPreBuffer);
}

// Reads up to `bytesToRead` bytes from the TLS layer or the descriptor.
std::size_t DispatchSocket::readIntoBuffer(std::uint8_t* buffer, std::size_t bytesToRead,
                                           ReadPass& pass) {
  std::size_t bytesRead = 0;
  if (flags_ & kSocketSecure) {
    int status = 0;
    while (bytesRead < bytesToRead) {
      std::size_t got = 0;
      status = tls_->read(buffer + bytesRead, bytesToRead - bytesRead, &got);
      bytesRead += got;
      if (status != 0) break;
    }
    if (status == kDispatchSocketSSLWouldBlock) {
      pass.waiting = true;
    } else if (status == kDispatchSocketSSLClosedGraceful ||
               status == kDispatchSocketSSLClosedAbort) {
      pass.eof = true;
      sslErrCode_ = status;
    } else if (status != 0) {
      pass.error = DispatchSocketTLS::sslError(status, tls_->lastErrorText());
    }
    return bytesRead;
  }
  if (bytesToRead == 0) return 0;
  const ssize_t result = ::read(connectedFD(), buffer, bytesToRead);
  if (result < 0) {
    if (errno == EWOULDBLOCK || errno == EAGAIN || errno == EINTR) {
      pass.waiting = true;
    } else {
      pass.error = errnoErrorWithReason("Error in read() function");
    }
    socketFDBytesAvailable_ = 0;
  } else if (result == 0) {
    pass.eof = true;
    socketFDBytesAvailable_ = 0;
  } else {
    bytesRead = static_cast<std::size_t>(result);
    if (bytesRead < bytesToRead) {
      socketFDBytesAvailable_ = 0;
    } else {
      socketFDBytesAvailable_ -= std::min<std::uint64_t>(socketFDBytesAvailable_, bytesRead);
    }
    if (socketFDBytesAvailable_ == 0) pass.waiting = true;
  }
  return bytesRead;
}

// Adds what was read to the request (or, read into the pre-buffer, what of it
// the request takes) and judges whether the request is done.
void DispatchSocket::takeBytesRead(DispatchReadPacket& packet, ReadPass& pass, std::uint8_t* buffer,
                                   std::size_t bytesRead, bool readIntoPreBuffer) {
  auto add = [&](std::size_t n) {
    packet.bytesDone += n;
    pass.taken += n;
  };
  if (packet.readLength > 0) {
    add(bytesRead);
    pass.done = packet.bytesDone == packet.readLength;
    return;
  }
  if (!packet.term) {
    if (readIntoPreBuffer) {
      preBuffer_->didWrite(bytesRead);
      pass.taken += takeFromPreBuffer(packet, *preBuffer_, bytesRead);
    } else {
      add(bytesRead);
    }
    pass.done = true;
    return;
  }
  if (readIntoPreBuffer) {
    preBuffer_->didWrite(bytesRead);
    pass.taken += takeFromPreBuffer(packet, *preBuffer_,
                                    packet.readLengthForTermWithPreBuffer(*preBuffer_, &pass.done));
  } else {
    const long overflow = packet.searchForTermAfterPreBuffering(bytesRead);
    if (overflow == 0) {
      add(bytesRead);
      pass.done = true;
    } else if (overflow > 0) {
      // The bytes after the terminator go to the pre-buffer; the packet's
      // buffer was grown before the read, so `buffer` still points into it.
      const std::size_t underflow = bytesRead - static_cast<std::size_t>(overflow);
      preBuffer_->ensureCapacityForWrite(static_cast<std::size_t>(overflow));
      std::memcpy(preBuffer_->writeBuffer(), buffer + underflow,
                  static_cast<std::size_t>(overflow));
      preBuffer_->didWrite(static_cast<std::size_t>(overflow));
      add(underflow);
      pass.done = true;
    } else {
      add(bytesRead);
    }
  }
  if (!pass.done && packet.maxLength > 0 && packet.bytesDone >= packet.maxLength) {
    pass.error = readMaxedOutError();
  }
}

void DispatchSocket::finishReadPass(const DispatchReadPacket& packet, const ReadPass& pass) {
  ReadStepOutcome out;
  out.done = pass.done;
  out.failed = static_cast<bool>(pass.error);
  out.eof = pass.eof;
  out.waiting = pass.waiting;
  out.bytesTaken = pass.taken;
  out.availableDataRead = packet.readLength == 0 && !packet.term;
  const ReadFollowUp next = readFollowUp(out);
  if (next.complete) {
    completeCurrentRead();
    out.preBufferedBytes = preBuffer_->availableBytes();
    if (readFollowUp(out).dequeueNext) maybeDequeueRead();
  } else if (next.reportPartial) {
    const long tag = packet.tag;
    const std::size_t taken = pass.taken;
    notify([taken, tag](DispatchSocketDelegate& d, const DispatchSocketPtr& s) {
      d.socketDidReadPartialDataOfLength(s, taken, tag);
    });
  }
  switch (next.then) {
    case ReadFollowUp::Then::Close:
      closeWithError(pass.error);
      break;
    case ReadFollowUp::Then::ReadEOF:
      doReadEOF();
      break;
    case ReadFollowUp::Then::ResumeSource:
      resumeReadSource();
      break;
    case ReadFollowUp::Then::Nothing:
      break;
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

}  // namespace net::sockets