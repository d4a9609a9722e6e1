#include "client/core/connection_failure.h"

#include <initializer_list>

#include "platform/foundation/format.h"

namespace client {

namespace {

bool has(const std::string& line, const char* text) { return line.find(text) != std::string::npos; }

bool hasAny(const std::string& line, std::initializer_list<const char*> texts) {
  for (const char* t : texts)
    if (has(line, t)) return true;
  return false;
}

// The text between "(" and ")" after `from` in `line`, or "".
std::string reasonAfter(const std::string& line, std::size_t from) {
  const std::size_t open = line.find('(', from);
  if (open == std::string::npos) return {};
  const std::size_t close = line.find(')', open + 1);
  if (close == std::string::npos) return {};
  return line.substr(open + 1, close - open - 1);
}

}  // namespace

bool isConnectionLostMessage(const std::string& message) {
  const std::string format = kConnectionLostFormat;
  const std::string head = format.substr(0, format.find("%@"));
  return message.starts_with(head);
}

bool isConnectedWarningMessage(const std::string& message) {
  return message == kRouteErrorMessage || message == kSetupErrorMessage;
}

std::optional<ConnectionFailure> classifyHelperLogLine(const std::string& line) {
  // Obfuscation first: its refusal is also a refused request, with a reason
  // of its own that the user can act on (another server or connection type).
  if (has(line, "obfuscation (scramble)") ||
      (has(line, "--scramble") && hasAny(line, {"Unrecognized option", "unknown option"})))
    return ConnectionFailure{kScrambleUnsupportedMessage, true};
  if (hasAny(line, {"AUTH_FAILED", ">PASSWORD:Verification Failed", "auth-failure"}))
    return ConnectionFailure{kAuthenticationFailedMessage, true};
  if (hasAny(line, {"OpenVPN could not be started", "Refused to start"}))
    return ConnectionFailure{kOpenVPNMissingMessage, true};
  if (has(line, "request refused")) return ConnectionFailure{kRequestRefusedMessage, true};
  if (hasAny(line, {"Options error:", "Unrecognized option"}))
    return ConnectionFailure{kRequestRefusedMessage, true};
  if (hasAny(line,
             {"VERIFY ERROR", "certificate verify failed", "VERIFY KU ERROR", "VERIFY EKU ERROR"}))
    return ConnectionFailure{kServerIdentityMessage, true};
  if (hasAny(line, {"RESOLVE: Cannot resolve host address", "Cannot resolve host address"}))
    return ConnectionFailure{kServerNotFoundMessage, false};
  // The helper noticed that the running connection went away and restores it.
  if (const std::size_t at = line.find("The connection to the server was lost");
      at != std::string::npos) {
    std::string reason = reasonAfter(line, at);
    if (reason.empty()) reason = "no reason given";
    if (reason.size() > 64) reason = reason.substr(0, 64) + "...";
    return ConnectionFailure{platform::format(kConnectionLostFormat, reason), false};
  }
  // OpenVPN's state line for a connection that came up without all its
  // routes (">STATE:<time>,CONNECTED,ROUTE_ERROR,..."), or with other errors
  // (">STATE:<time>,CONNECTED,ERROR,...", OpenVPN 2.6 on "Initialization
  // Sequence Completed With Errors").
  if (has(line, ",CONNECTED,ROUTE_ERROR")) return ConnectionFailure{kRouteErrorMessage, false};
  if (has(line, ",CONNECTED,ERROR")) return ConnectionFailure{kSetupErrorMessage, false};
  // The helper's own management dialogue retries by itself; it says nothing
  // about the server.
  if (has(line, "Management") || has(line, "MANAGEMENT")) return std::nullopt;
  if (hasAny(line, {"Connection refused", "Network is unreachable", "No route to host",
                    "Connection timed out"}))
    return ConnectionFailure{kServerUnreachableMessage, false};
  if (hasAny(line, {"TLS key negotiation failed", "TLS handshake failed"}))
    return ConnectionFailure{kServerSilentMessage, false};
  return std::nullopt;
}

}  // namespace client
