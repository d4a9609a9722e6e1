// DispatchSocket: disconnecting, draining before a close, and the close itself.
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

}  // namespace net::sockets