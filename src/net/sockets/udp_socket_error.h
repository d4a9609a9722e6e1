// The error domain of DispatchUdpSocket, "DispatchUdpSocketErrorDomain", and
// the makers of its five kinds of error. Resolver and system-call errors
// come from net/sockets/socket_error.h (shared with the TCP socket).
//
// Every error carries its text under kLocalizedDescriptionKey.
//
// Thread safety: pure functions.
#pragma once

#include <string_view>

#include "platform/foundation/error.h"

namespace net::sockets {

inline constexpr const char* kDispatchUdpSocketErrorDomain = "DispatchUdpSocketErrorDomain";

enum DispatchUdpSocketError : int {
  kDispatchUdpSocketNoError = 0,
  kDispatchUdpSocketBadConfigError = 1,  // the socket is in the wrong state
  kDispatchUdpSocketBadParamError = 2,   // an argument is unusable
  kDispatchUdpSocketSendTimeoutError = 3,
  kDispatchUdpSocketClosedError = 4,
  kDispatchUdpSocketOtherError = 5,
};

// Default texts of the fixed-text errors (keys of the "DispatchUdpSocket"
// strings table, which this program does not ship: the defaults are shown).
inline constexpr const char* kUdpSendTimeoutText = "Send operation timed out";
inline constexpr const char* kUdpSocketClosedText = "Socket closed";

platform::Error udpBadConfigError(std::string_view message);
platform::Error udpBadParamError(std::string_view message);
platform::Error udpSendTimeoutError();
platform::Error udpSocketClosedError();
platform::Error udpOtherError(std::string_view message);

}  // namespace net::sockets
