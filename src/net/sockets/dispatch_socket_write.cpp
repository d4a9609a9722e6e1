// DispatchSocket: the write requests, writing to the descriptor (or TLS) and the write time-out.
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

}  // namespace net::sockets