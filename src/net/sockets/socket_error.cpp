#include "net/sockets/socket_error.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace net::sockets {

namespace {

// strerror is not thread-safe for every value; strerror_r is, in either of
// its two flavours.
[[maybe_unused]] std::string errorText(int /*err*/, int result, const char* buffer) {
  return result == 0 ? std::string(buffer) : std::string();
}
[[maybe_unused]] std::string errorText(int /*err*/, const char* result, const char* /*buffer*/) {
  return result ? std::string(result) : std::string();
}

std::string systemErrorText(int err) {
  char buffer[256] = {0};
  return errorText(err, strerror_r(err, buffer, sizeof buffer), buffer);
}

}  // namespace

platform::Error makeDomainError(std::string_view domain, std::int64_t code,
                                std::string_view description) {
  platform::Value info = platform::Value::mutableDictionary();
  info.set(platform::kLocalizedDescriptionKey, platform::Value(description));
  return platform::Error(std::string(domain), code, info.copy());
}

platform::Error gaiError(int gaiCode, int savedErrno) {
  std::string text;
  if (gaiCode == EAI_SYSTEM && savedErrno != 0) {
    text = systemErrorText(savedErrno);
  } else {
    const char* s = gai_strerror(gaiCode);
    text = s ? s : "";
  }
  return makeDomainError(kNetDBErrorDomain, gaiCode, text);
}

platform::Error errnoError(int err, std::string_view reason) {
  platform::Value info = platform::Value::mutableDictionary();
  info.set(platform::kLocalizedDescriptionKey, platform::Value(systemErrorText(err)));
  if (!reason.empty()) {
    info.set(platform::kLocalizedFailureReasonErrorKey, platform::Value(reason));
  }
  return platform::Error(platform::kPOSIXErrorDomain, err, info.copy());
}

platform::Error errnoErrorWithReason(std::string_view reason) {
  const int err = errno;
  return errnoError(err, reason);
}

}  // namespace net::sockets
