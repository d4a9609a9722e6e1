// The entries of DispatchUdpSocket's send queue: one datagram to send
// (DispatchUdpSendPacket) and the connect marker (DispatchUdpSpecialPacket)
// that a connect request places among the datagrams, so that sends and
// connects are settled in the order they were asked for.
//
// They do no I/O themselves.
//
// Thread safety: none; used only on the owning socket's queue.
#pragma once

#include <memory>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace net::sockets {

using platform::Bytes;

// Common base, so both kinds can wait in one queue.
class DispatchUdpQueuedPacket {
 public:
  virtual ~DispatchUdpQueuedPacket() = default;
  bool resolveInProgress = false;
};

class DispatchUdpSendPacket : public DispatchUdpQueuedPacket {
 public:
  // `data` is the caller's datagram, shared and never copied.
  DispatchUdpSendPacket(std::shared_ptr<const Bytes> data, double timeoutSeconds, long sendTag)
      : buffer(std::move(data)), timeout(timeoutSeconds), tag(sendTag) {}

  std::shared_ptr<const Bytes> buffer;
  double timeout = -1;  // seconds; negative: none
  long tag = 0;
  bool filterInProgress = false;
  std::vector<Bytes> resolvedAddresses;
  platform::Error resolveError;
  Bytes address;          // chosen destination; empty while none
  int addressFamily = 0;  // AF_INET, AF_INET6 or 0 while none is chosen
};

class DispatchUdpSpecialPacket : public DispatchUdpQueuedPacket {
 public:
  std::vector<Bytes> addresses;  // candidate peer addresses
  platform::Error error;         // look-up error
};

}  // namespace net::sockets
