// A stand-in of the OpenVPN executable for the direct driver's tests. It
// serves a management interface on 127.0.0.1 ("--management 127.0.0.1 PORT",
// PORT 0 picks a free one), reports it listening like OpenVPN does, and
// answers "hold release" with a CONNECTED state. FAKE_OPENVPN_MODE=fail makes
// it exit with status 1 after the hold release instead.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  int port = 53205;
  std::string args;
  for (int i = 1; i < argc; ++i) {
    args += std::string(" ") + argv[i];
    if (std::strcmp(argv[i], "--management") == 0 && i + 2 < argc) port = std::atoi(argv[i + 2]);
  }
  const char* mode = std::getenv("FAKE_OPENVPN_MODE");
  const bool fail = mode && std::strcmp(mode, "fail") == 0;
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 1) != 0)
    return 2;
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::printf("args:%s\n", args.c_str());
  std::printf("2026-12-08 10:00:00 MANAGEMENT: TCP Socket listening on [AF_INET]127.0.0.1:%d\n",
              ntohs(addr.sin_port));
  std::fflush(stdout);
  int peer = ::accept(listener, nullptr, nullptr);
  if (peer < 0) return 3;
  const char* hello = ">INFO:OpenVPN Management Interface Version 5\r\n";
  (void)!::write(peer, hello, std::strlen(hello));
  std::string buffer;
  char chunk[512];
  for (;;) {
    ssize_t n = ::read(peer, chunk, sizeof chunk);
    if (n <= 0) return 0;
    buffer.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = buffer.find('\n')) != std::string::npos;) {
      std::string line = buffer.substr(0, nl);
      buffer.erase(0, nl + 1);
      std::string reply = "SUCCESS: " + line + "\r\n";
      if (line == "hold release") {
        if (fail) return 1;
        reply += ">STATE:1765188000,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,,\r\n";
      }
      if (line == "signal SIGTERM") {
        reply += ">STATE:1765188001,EXITING,SIGTERM,,,,,\r\n";
        (void)!::write(peer, reply.data(), reply.size());
        return 0;
      }
      (void)!::write(peer, reply.data(), reply.size());
    }
  }
}
