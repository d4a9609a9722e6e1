// The helper speaks no TLS: its only stream socket is OpenVPN's management
// line, a plain local socket (see helper/openvpn.h). The socket library it
// uses for that line reaches its TLS engine from a few places of its read,
// write and close paths; these definitions stand in for the engine in this
// program, so that neither libssl nor libcrypto is linked, loaded or
// initialised by the helper (together about 1.7 MB of resident memory: the
// libraries' symbol and relocation tables are read and relocated at load
// time whether or not anything calls them).
//
// A socket gets a TLS session only through DispatchSocket::startTLS, which
// lives in the engine's own source file and is not part of this program: so
// no socket here ever has a session, the engine's entry points below are
// never reached, and a TLS start that was somehow queued fails the socket
// with an error instead of proceeding. If the program ever calls startTLS
// (or anything else of the engine), the engine's object comes in beside
// these definitions and the link fails with duplicate symbols.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "net/sockets/dispatch_socket.h"
#include "net/sockets/dispatch_socket_tls.h"
#include "net/sockets/socket_error.h"

namespace net::sockets {

namespace {
constexpr const char* kNoTLS = "TLS is not available in the privileged helper";

[[noreturn]] void unreachable(const char* what) {
  std::fprintf(stderr, "%s: %s called\n", kNoTLS, what);
  std::abort();
}
}  // namespace

// No session is ever made (create() is not part of the program), so no
// destructor of one ever runs: a null unique_ptr deletes nothing.
DispatchSocketTLS::~DispatchSocketTLS() { unreachable("~DispatchSocketTLS"); }

int DispatchSocketTLS::read(std::uint8_t*, std::size_t, std::size_t*) {
  unreachable("DispatchSocketTLS::read");
}

int DispatchSocketTLS::write(const std::uint8_t*, std::size_t, std::size_t*) {
  unreachable("DispatchSocketTLS::write");
}

void DispatchSocketTLS::close() { unreachable("DispatchSocketTLS::close"); }

platform::Error DispatchSocketTLS::sslError(int, std::string_view) {
  unreachable("DispatchSocketTLS::sslError");
}

void DispatchSocket::maybeStartTLS() {
  if ((flags_ & kStartingReadTLS) && (flags_ & kStartingWriteTLS)) {
    closeWithError(makeDomainError(kDispatchSocketErrorDomain, kDispatchSocketOtherError, kNoTLS));
  }
}

void DispatchSocket::sslContinueHandshake() { unreachable("DispatchSocket::sslContinueHandshake"); }

std::size_t DispatchSocket::sslBufferedBytes() const { return 0; }

}  // namespace net::sockets
