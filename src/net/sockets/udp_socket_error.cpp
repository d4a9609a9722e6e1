#include "net/sockets/udp_socket_error.h"

#include "net/sockets/socket_error.h"

namespace net::sockets {

platform::Error udpBadConfigError(std::string_view message) {
  return makeDomainError(kDispatchUdpSocketErrorDomain, kDispatchUdpSocketBadConfigError, message);
}

platform::Error udpBadParamError(std::string_view message) {
  return makeDomainError(kDispatchUdpSocketErrorDomain, kDispatchUdpSocketBadParamError, message);
}

platform::Error udpSendTimeoutError() {
  return makeDomainError(kDispatchUdpSocketErrorDomain, kDispatchUdpSocketSendTimeoutError,
                         kUdpSendTimeoutText);
}

platform::Error udpSocketClosedError() {
  return makeDomainError(kDispatchUdpSocketErrorDomain, kDispatchUdpSocketClosedError,
                         kUdpSocketClosedText);
}

platform::Error udpOtherError(std::string_view message) {
  return makeDomainError(kDispatchUdpSocketErrorDomain, kDispatchUdpSocketOtherError, message);
}

}  // namespace net::sockets
