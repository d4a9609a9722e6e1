// What the files of DispatchSocket share (dispatch_socket*.cpp): the error
// makers and start checks, the connect attempt, and the request machinery
// that reads and writes have in common. Internal to the sockets library.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string_view>

#include "net/sockets/dispatch_socket.h"
#include "net/sockets/socket_error.h"
#include "net/sockets/source_suspension.h"

namespace net::sockets {
namespace dispatch_socket_internal {

using platform::Error;
using platform::dispatch::Duration;
using platform::dispatch::Source;

inline Error badConfigError(std::string_view message) {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketBadConfigError, message);
}
inline Error badParamError(std::string_view message) {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketBadParamError, message);
}
inline Error otherError(std::string_view message) {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketOtherError, message);
}
inline Error connectTimeoutError() {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketConnectTimeoutError,
                         "Attempt to connect to host timed out");
}
inline Error readTimeoutError() {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketReadTimeoutError,
                         "Read operation timed out");
}
inline Error writeTimeoutError() {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketWriteTimeoutError,
                         "Write operation timed out");
}
inline Error readMaxedOutError() {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketReadMaxedOutError,
                         "Read operation reached set maximum length");
}
inline Error connectionClosedError() {
  return makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketClosedError,
                         "Socket closed by remote peer");
}

inline void closeFD(int fd) {
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
inline Error startRefusal(const StartTexts& texts, bool hasDelegate, bool hasDelegateQueue,
                          bool started) {
  if (!hasDelegate) return badConfigError(texts.noDelegate);
  if (!hasDelegateQueue) return badConfigError(texts.noDelegateQueue);
  if (started) return badConfigError(texts.started);
  return Error();
}

// Why the addresses of a named interface cannot serve the enabled families
// (null: they can).
inline Error interfaceRefusal(const InterfaceAddresses& found, bool v4Disabled, bool v6Disabled) {
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
inline void cancelSource(std::shared_ptr<Source>& source) {
  if (source) {
    source->cancel();
    source.reset();
  }
}

}  // namespace dispatch_socket_internal

// Only the files of DispatchSocket include this header.
using namespace dispatch_socket_internal;  // NOLINT

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

}  // namespace net::sockets
