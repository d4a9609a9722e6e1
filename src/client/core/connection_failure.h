// ConnectionFailure: what went wrong with a connect, in words for the user.
//
// The helper tells the client why a connection failed only through its log
// lines (the request refused, OpenVPN's own output) and through the errors
// of the channel. `classifyHelperLogLine` turns such a line into a plain
// message and says whether trying again can help: a refused request, a
// refused password, a component that is missing or unusable are permanent
// (retrying repeats the same failure), while an unreachable or silent server
// is transient. The technical text stays in the client log; only `message`
// reaches the user.
//
// Thread safety: pure functions, callable from any thread.
#pragma once

#include <optional>
#include <string>

namespace client {

struct ConnectionFailure {
  std::string message;     // for the user (dialer and notification)
  bool permanent = false;  // true: the retry loop ends with this message
};

// True when `message` (a transient problem's) says that a running connection
// was lost and is being restored.
bool isConnectionLostMessage(const std::string& message);

inline constexpr const char* kScrambleUnsupportedMessage =
    "This server needs an obfuscation (scramble) that the installed OpenVPN does not support.";
inline constexpr const char* kRequestRefusedMessage =
    "The connection settings of this account could not be used. Please contact support.";
inline constexpr const char* kAuthenticationFailedMessage =
    "The VPN server did not accept this account's user name or password.";
inline constexpr const char* kOpenVPNMissingMessage =
    "OpenVPN is missing or cannot be started. Please reinstall VarnelVPN.";
inline constexpr const char* kServerIdentityMessage =
    "The VPN server could not prove its identity, so the connection was not made.";
inline constexpr const char* kServerUnreachableMessage =
    "The VPN server cannot be reached. Trying again.";
inline constexpr const char* kServerSilentMessage = "The VPN server does not answer. Trying again.";
inline constexpr const char* kServerNotFoundMessage =
    "The VPN server's address could not be found. Check your Internet connection. Trying again.";
// The server went away from a running connection; "%@" is the reason OpenVPN
// gave (ping-restart, connection-reset, ...).
inline constexpr const char* kConnectionLostFormat =
    "The connection to the VPN server was lost (%@). Reconnecting.";
// The connection is up, but a route could not be added: some traffic may
// leave outside the tunnel. A warning beside "Connected", not a failure.
inline constexpr const char* kRouteErrorMessage =
    "Connected, but a route could not be added: some traffic may not pass through the VPN.";
// The connection is up, but OpenVPN met other errors while it set it up
// (its "Initialization Sequence Completed With Errors"). A warning beside
// "Connected" too.
inline constexpr const char* kSetupErrorMessage =
    "Connected, but errors occurred while the connection was set up: some traffic may not pass "
    "through the VPN.";

// True for the messages shown as a warning beside "Connected" rather than
// as a failure.
bool isConnectedWarningMessage(const std::string& message);

// The failure a helper log line reports, or none when the line reports no
// failure. `line` is one line as the helper logged it (with or without its
// time stamp).
std::optional<ConnectionFailure> classifyHelperLogLine(const std::string& line);

}  // namespace client
