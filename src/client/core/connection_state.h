// Connection states shared by the helper request channel, the dialer's state
// machine and the windows that draw it: the notification names, the helper's
// state codes and the dialer's status values.
//
// Thread safety: constants and pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "ipc/helper_protocol.h"

namespace client {

// Posted on the main thread, no object, on the default notification center.
inline constexpr const char* kVPNWillConnectNotification = "VPNWillConnectNotification";
inline constexpr const char* kVPNConnectNotification = "VPNConnectNotification";
inline constexpr const char* kVPNDisconnectNotification = "VPNDisconnectNotification";
// Posted by the dialer's state machine after every status change, with the
// state machine as object (main thread).
inline constexpr const char* kDialerStatusDidChangeNotification =
    "DialerStatusDidChangeNotification";

// The helper's connection state as "CurrentConnectionState" answers it
// (the protocol's own enum).
using ipc::HelperConnectionState;
using enum ipc::HelperConnectionState;

// The dialer's connection status, ordered by value.
enum class DialerStatus : std::int64_t {
  Disconnected = 1,   // nothing runs; the control connects
  Connecting = 3,     // a connect was asked for; the control cancels
  Disconnecting = 4,  // the helper was asked to disconnect; the control does nothing
  Connected = 5,      // the connection is up; the control disconnects
  Reconnecting = 8,   // a failed or dropped connection is being retried; the control cancels
};

// "Disconnected", "Connecting", "Disconnecting", "Connected", "Reconnecting";
// "" for a value outside the enum.
std::string statusText(DialerStatus status);

}  // namespace client
