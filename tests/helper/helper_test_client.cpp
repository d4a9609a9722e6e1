// A small client of the helper for the program tests. It keeps one channel
// connection open and runs its arguments as commands, in order:
//   request key=value ...   sends a request ("operation=..." among them) and
//                           prints "reply <result description>"; values:
//                           "b:1"/"b:0" booleans, "@path" the file's bytes in
//                           Base64, "f:path" the file's text (a secret kept
//                           off this command line), "a:x,y" an array of
//                           strings, else text
//   until STATE SECONDS     polls "CurrentConnectionState" every 0.1 s,
//                           printing "state N" for each change, until STATE
//                           (exit status 4 on time-out)
//   log                     prints the "LogUpdate" text after "log:"
//   logwait TEXT SECONDS    as "log", every 0.1 s until TEXT has shown up
//                           (lines reach the log asynchronously; exit
//                           status 5 on time-out)
//   cat PATH                prints the file after "cat:"
//   proxy PORT              serves HTTP CONNECT on 127.0.0.1:PORT forever,
//                           printing "CONNECT host:port" for each tunnel
//   run COMMAND             runs COMMAND with sh, printing its output after
//                           "run:"
//   dns PORT NAME ADDRESS   (first and only command) answers DNS queries on
//                           127.0.0.1:PORT (UDP) forever: an A query for
//                           NAME with the IPv4 ADDRESS, anything else with
//                           "no such name"; prints "dns NAME" per question
//   mgmtprobe PATH SECONDS  (first and only command; no helper connection)
//                           plays a local user who tries, for SECONDS, to
//                           reach an OpenVPN management interface at the
//                           Unix socket PATH or on 127.0.0.1:53213; prints
//                           "reached ..." with what it read and sends
//                           "signal SIGTERM" when it gets in, then
//                           "probe tries N"
// A reply with "message" also prints "message <text>".
// Exit status 3 when a reply does not come within 15 s.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "codecs/base64.h"
#include "ipc/xpc_connection.h"
#include "platform/dispatch/dispatch.h"
#include "platform/system/file_util.h"

using ipc::XPCConnection;
using ipc::XPCMessage;
using platform::Value;

namespace {

std::optional<XPCMessage> send(const std::shared_ptr<XPCConnection>& c, XPCMessage m) {
  platform::dispatch::Semaphore done;
  std::optional<XPCMessage> reply;
  c->sendMessage(
      m,
      [&](const XPCMessage& r) {
        reply = r;
        done.signal();
      },
      [&](const platform::Error&) { done.signal(); });
  if (!done.wait(std::chrono::seconds(15))) return std::nullopt;
  if (reply && reply->objectForKey(ipc::kXPCErrorKey)) return std::nullopt;
  return reply;
}

Value parseValue(const std::string& text) {
  if (text.rfind("b:", 0) == 0) return Value(text == "b:1");
  if (text.rfind("a:", 0) == 0) {
    std::vector<Value> items;
    std::string rest = text.substr(2);
    std::size_t start = 0;
    while (start <= rest.size()) {
      std::size_t end = rest.find(',', start);
      items.emplace_back(rest.substr(start, end == std::string::npos ? end : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return Value::array(std::move(items));
  }
  if (text.rfind("f:", 0) == 0)
    return Value(platform::files::readFile(text.substr(2)).value_or(""));
  if (!text.empty() && text[0] == '@') {
    std::string bytes = platform::files::readFile(text.substr(1)).value_or("");
    return Value(codecs::Base64EncodeBytes(bytes.data(), bytes.size(), false));
  }
  return Value(text);
}

void relay(int a, int b) {
  char buffer[16384];
  pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) <= 0) break;
    bool done = false;
    for (int k = 0; k < 2; ++k) {
      if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
      if (n <= 0 || ::send(fds[1 - k].fd, buffer, n, MSG_NOSIGNAL) != n) done = true;
    }
    if (done) break;
  }
  ::close(a);
  ::close(b);
}

void serveTunnel(int client) {
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && ::read(client, &c, 1) == 1) head += c;
  std::string host;
  int port = 0;
  if (head.rfind("CONNECT ", 0) == 0) {
    std::string target = head.substr(8, head.find(' ', 8) - 8);
    std::size_t colon = target.rfind(':');
    host = target.substr(0, colon);
    port = std::atoi(target.substr(colon + 1).c_str());
  }
  std::cout << "CONNECT " << host << ":" << port << std::endl;
  int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (port == 0 || ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 ||
      ::connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const char* bad = "HTTP/1.1 502 Bad Gateway\r\n\r\n";
    ::send(client, bad, std::strlen(bad), MSG_NOSIGNAL);
    ::close(client);
    ::close(upstream);
    return;
  }
  const char* ok = "HTTP/1.1 200 Connection established\r\n\r\n";
  ::send(client, ok, std::strlen(ok), MSG_NOSIGNAL);
  relay(client, upstream);
}

int serveProxy(int port) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 8) != 0)
    return 5;
  std::cout << "listening" << std::endl;
  for (;;) {
    int client = ::accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    std::thread(serveTunnel, client).detach();
  }
}

// Leaves without destructors: the channel connection stays alive until the
// process ends, as the helper's peer would see with a real client.
[[noreturn]] void quit(int status) {
  std::cout.flush();
  std::fflush(nullptr);
  ::_exit(status);
}

// Sends `operation` and returns the reply's "result" (exit status 3 when no
// reply comes).
platform::Value ask(const std::shared_ptr<XPCConnection>& connection, const char* operation) {
  XPCMessage m;
  m.setObject(Value(operation), "operation");
  m.setNeedsDirectReply(true);
  auto reply = send(connection, m);
  if (!reply) quit(3);
  return reply->objectForKey("result").value();
}

std::chrono::steady_clock::time_point deadlineIn(const char* seconds) {
  return std::chrono::steady_clock::now() +
         std::chrono::milliseconds(static_cast<long>(std::stod(seconds) * 1000));
}

// Connects `fd` (non-blocking attempt with a short wait); true when in.
bool connectSoon(int fd, const sockaddr* addr, socklen_t length) {
  if (::connect(fd, addr, length) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd p{fd, POLLOUT, 0};
  if (::poll(&p, 1, 200) != 1) return false;
  int error = 0;
  socklen_t size = sizeof error;
  return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

void reached(int fd, const std::string& what) {
  std::string text;
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 300) == 1) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  const char* command = "signal SIGTERM\n";
  ::send(fd, command, std::strlen(command), MSG_NOSIGNAL);
  std::cout << "reached " << what << ": " << text << std::endl;
}

int probeManagement(const std::string& path, const char* seconds) {
  const auto deadline = deadlineIn(seconds);
  long tries = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    ++tries;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    std::strncpy(un.sun_path, path.c_str(), sizeof un.sun_path - 1);
    if (connectSoon(fd, reinterpret_cast<sockaddr*>(&un), sizeof un)) reached(fd, path);
    ::close(fd);
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(53213);
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connectSoon(fd, reinterpret_cast<sockaddr*>(&in), sizeof in)) reached(fd, "tcp");
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::cout << "probe tries " << tries << std::endl;
  return 0;
}

// The question's name of a DNS query ("a.b"), its end in `*end`; "" when
// malformed.
std::string questionName(const unsigned char* q, std::size_t n, std::size_t* end) {
  std::string name;
  std::size_t at = 12;
  while (at < n && q[at] != 0) {
    const std::size_t length = q[at];
    if (length > 63 || at + 1 + length > n) return "";
    if (!name.empty()) name += '.';
    name.append(reinterpret_cast<const char*>(q + at + 1), length);
    at += 1 + length;
  }
  if (at + 5 > n) return "";
  *end = at + 5;  // the root label, type and class
  return name;
}

int serveDNS(int port, const std::string& name, const std::string& address) {
  in_addr answerAddress{};
  if (::inet_pton(AF_INET, address.c_str(), &answerAddress) != 1) return 2;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(static_cast<std::uint16_t>(port));
  in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0) return 2;
  std::cout << "dns ready" << std::endl;
  for (;;) {
    unsigned char q[512];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n =
        ::recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 12) continue;
    std::size_t end = 0;
    const std::string asked = questionName(q, static_cast<std::size_t>(n), &end);
    if (asked.empty()) continue;
    std::cout << "dns " << asked << std::endl;
    const bool ours = strcasecmp(asked.c_str(), name.c_str()) == 0;
    const bool known = ours && q[end - 4] == 0 && q[end - 3] == 1;  // an A query
    std::vector<unsigned char> r(q, q + end);
    r[2] = 0x84 | (q[2] & 0x01);     // a reply, authoritative, RD copied
    r[3] = ours ? 0x80 : 0x83;       // RA; "no such name" unless the name is ours
    r[4] = 0, r[5] = 1;              // one question
    r[6] = 0, r[7] = known ? 1 : 0;  // answers
    r[8] = r[9] = r[10] = r[11] = 0;
    if (known) {
      // Time to live 0: never cached, every lookup reaches this server.
      const unsigned char rr[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 0, 0, 4};
      r.insert(r.end(), rr, rr + sizeof rr);
      const auto* a = reinterpret_cast<const unsigned char*>(&answerAddress);
      r.insert(r.end(), a, a + 4);
    }
    ::sendto(fd, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "mgmtprobe") quit(probeManagement(argv[2], argv[3]));
  if (argc == 5 && std::string(argv[1]) == "dns")
    quit(serveDNS(std::atoi(argv[2]), argv[3], argv[4]));
  auto connection = XPCConnection::create(platform::xpc::Connection::createMachService(
      "VarnelHelper", platform::xpc::Connection::kPrivileged));
  connection->setReplyDispatchQueue(platform::dispatch::Queue::global());
  connection->setEventHandler([](const XPCMessage&, const std::shared_ptr<XPCConnection>&) {});
  for (int i = 1; i < argc; ++i) {
    const std::string command = argv[i];
    if (command == "request") {
      XPCMessage m;
      for (++i; i < argc; ++i) {
        std::string kv = argv[i];
        std::size_t eq = kv.find('=');
        if (eq == std::string::npos) {
          --i;
          break;
        }
        m.setObject(parseValue(kv.substr(eq + 1)), kv.substr(0, eq));
      }
      m.setNeedsDirectReply(true);
      auto reply = send(connection, m);
      if (!reply) quit(3);
      std::cout << "reply " << reply->objectForKey("result").description() << std::endl;
      if (auto message = reply->objectForKey("message"))
        std::cout << "message " << message.value().asString() << std::endl;
    } else if (command == "until" && i + 2 < argc) {
      const long target = std::stol(argv[++i]);
      const auto deadline = deadlineIn(argv[++i]);
      long last = -1;
      for (;;) {
        long state = static_cast<long>(ask(connection, "CurrentConnectionState").asInt64());
        if (state != last) std::cout << "state " << state << std::endl;
        last = state;
        if (state == target) break;
        if (std::chrono::steady_clock::now() > deadline) quit(4);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    } else if (command == "log") {
      std::cout << "log:" << ask(connection, "LogUpdate").asString() << std::endl;
    } else if (command == "logwait" && i + 2 < argc) {
      const std::string text = argv[++i];
      const auto deadline = deadlineIn(argv[++i]);
      std::string seen;
      for (;;) {
        const std::string part = ask(connection, "LogUpdate").asString();
        if (!part.empty()) std::cout << "log:" << part << std::endl;
        seen += part;
        if (seen.find(text) != std::string::npos) break;
        if (std::chrono::steady_clock::now() > deadline) quit(5);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    } else if (command == "cat" && i + 1 < argc) {
      std::cout << "cat:" << platform::files::readFile(argv[++i]).value_or("") << std::endl;
    } else if (command == "proxy" && i + 1 < argc) {
      quit(serveProxy(std::atoi(argv[++i])));
    } else if (command == "run" && i + 1 < argc) {
      std::string output;
      if (FILE* pipe = ::popen(argv[++i], "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        ::pclose(pipe);
      }
      std::cout << "run:" << output << std::endl;
    } else if (command == "sleep" && i + 1 < argc) {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(static_cast<long>(std::stod(argv[++i]) * 1000)));
    }
  }
  quit(0);
}
