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

void DispatchSocket::doReadData() {
  VARNEL_DCHECK_ON_QUEUE(queueChecker_);
  const auto packet = currentPacket<ReadSide>();
  const bool secure = flags_ & kSocketSecure;
  std::size_t estimated = socketFDBytesAvailable_;
  if (secure) {
    estimated += (sslPreBuffer_ ? sslPreBuffer_->availableBytes() : 0) + sslBufferedBytes();
  }
  const bool hasBytesAvailable = estimated > 0;
  ReadStepInputs in;
  in.hasRequest = currentRead_.has_value();
  in.readsPaused = flags_ & kReadsPaused;
  in.secure = secure;
  in.startingReadTLS = flags_ & kStartingReadTLS;
  in.startingWriteTLS = flags_ & kStartingWriteTLS;
  in.handshakeWouldBlock = lastSSLHandshakeError_ == kDispatchSocketSSLWouldBlock;
  in.estimatedBytes = estimated;
  in.preBufferedBytes = preBuffer_->availableBytes();
  switch (readStep(in)) {
    case ReadStep::Idle:
      if (secure) flushSSLBuffers();
      if (socketFDBytesAvailable_ > 0) suspendReadSource();
      return;
    case ReadStep::WaitForBytes:
      resumeReadSource();
      return;
    case ReadStep::ContinueHandshake:
      sslContinueHandshake();
      return;
    case ReadStep::WaitForHandshake:
      suspendReadSource();
      return;
    case ReadStep::Read:
      break;
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

  ReadStepOutcome out;
  out.done = done;
  out.failed = static_cast<bool>(error);
  out.eof = socketEOF;
  out.waiting = waiting;
  out.bytesTaken = totalBytesReadForCurrentRead;
  out.availableDataRead = packet->readLength == 0 && !packet->term;
  const ReadFollowUp next = readFollowUp(out);
  if (next.complete) {
    completeCurrentRead();
    out.preBufferedBytes = preBuffer_->availableBytes();
    if (readFollowUp(out).dequeueNext) maybeDequeueRead();
  } else if (next.reportPartial) {
    const long tag = packet->tag;
    notify(
        [totalBytesReadForCurrentRead, tag](DispatchSocketDelegate& d, const DispatchSocketPtr& s) {
          d.socketDidReadPartialDataOfLength(s, totalBytesReadForCurrentRead, tag);
        });
  }
  switch (next.then) {
    case ReadFollowUp::Then::Close:
      closeWithError(error);
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