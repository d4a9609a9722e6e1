// DispatchUdpSocketDelegate: what a DispatchUdpSocket tells its owner. Every
// method is optional (the defaults do nothing) and runs on the delegate
// queue that the owner gave the socket, never on the socket queue unless the
// owner made them the same queue.
//
// The socket argument keeps the socket alive for the call. It is null only
// in udpSocketDidClose() sent while the socket is being destroyed.
//
// Thread safety: the socket calls each method on the delegate queue only.
#pragma once

#include <memory>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace net::sockets {

class DispatchUdpSocket;
using DispatchUdpSocketPtr = std::shared_ptr<DispatchUdpSocket>;

class DispatchUdpSocketDelegate {
 public:
  virtual ~DispatchUdpSocketDelegate() = default;

  // A connect succeeded; `address` is the peer's record (a copy of the socket's).
  virtual void udpSocketDidConnectToAddress(const std::shared_ptr<DispatchUdpSocket>& sock,
                                            const platform::Bytes& address) {
    (void)sock, (void)address;
  }
  // A connect failed: look-up error, no usable address, or connect() error.
  virtual void udpSocketDidNotConnect(const std::shared_ptr<DispatchUdpSocket>& sock,
                                      const platform::Error& error) {
    (void)sock, (void)error;
  }
  // A datagram was sent, or the send filter dropped it.
  virtual void udpSocketDidSendDataWithTag(const std::shared_ptr<DispatchUdpSocket>& sock,
                                           long tag) {
    (void)sock, (void)tag;
  }
  // A datagram was not sent.
  virtual void udpSocketDidNotSendDataWithTag(const std::shared_ptr<DispatchUdpSocket>& sock,
                                              long tag, const platform::Error& error) {
    (void)sock, (void)tag, (void)error;
  }
  // A datagram was accepted. `data` holds exactly the datagram (possibly 0
  // bytes); `address` is the sender's record (16 bytes IPv4, 28 bytes IPv6);
  // `filterContext` is what the receive filter left, or null.
  virtual void udpSocketDidReceiveData(const std::shared_ptr<DispatchUdpSocket>& sock,
                                       const std::shared_ptr<const platform::Bytes>& data,
                                       const platform::Bytes& address,
                                       const std::shared_ptr<void>& filterContext) {
    (void)sock, (void)data, (void)address, (void)filterContext;
  }
  // The socket closed after its sockets had been created; `error` is empty
  // for a requested close.
  virtual void udpSocketDidClose(const std::shared_ptr<DispatchUdpSocket>& sock,
                                 const platform::Error& error) {
    (void)sock, (void)error;
  }
};

}  // namespace net::sockets
