// Error objects shared by the TCP and the UDP socket.
//
// Each socket class owns one error domain ("DispatchSocketErrorDomain",
// "DispatchUdpSocketErrorDomain") with its own numbered codes; the helpers
// here build those errors for a given domain, plus the errors of the two
// platform domains every socket uses: the name resolver's
// ("kCFStreamErrorDomainNetDB", code = getaddrinfo's EAI_* value) and the
// POSIX domain (code = errno).
//
// Every error carries its description under kLocalizedDescriptionKey; a
// POSIX error made with a reason carries that reason under
// kLocalizedFailureReasonErrorKey ("Error in read() function").
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/foundation/error.h"

namespace net::sockets {

// Domain of resolver errors (getaddrinfo codes, gai_strerror texts).
inline constexpr const char* kNetDBErrorDomain = "kCFStreamErrorDomainNetDB";
// Domain of TLS errors (status codes of the TLS layer).
inline constexpr const char* kSSLErrorDomain = "kCFStreamErrorDomainSSL";

// An error of `domain` with `code` and `description` as its localized description.
platform::Error makeDomainError(std::string_view domain, std::int64_t code,
                                std::string_view description);

// A resolver error: domain kNetDBErrorDomain, code `gaiCode` (an EAI_* value
// as returned by getaddrinfo), description gai_strerror(gaiCode).
// EAI_SYSTEM is reported with the errno text when `savedErrno` is given.
platform::Error gaiError(int gaiCode, int savedErrno = 0);

// A POSIX-domain error for `err` (an errno value): description strerror(err),
// failure reason `reason` when not empty.
platform::Error errnoError(int err, std::string_view reason = {});

// Same with the calling thread's current errno.
platform::Error errnoErrorWithReason(std::string_view reason);

}  // namespace net::sockets
