#include "client/core/connection_failure.h"

#include <initializer_list>

namespace client {

namespace {

bool has(const std::string& line, const char* text) { return line.find(text) != std::string::npos; }

bool hasAny(const std::string& line, std::initializer_list<const char*> texts) {
  for (const char* t : texts)
    if (has(line, t)) return true;
  return false;
}

}  // namespace

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
