#include "helper/openvpn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <tuple>

#include "helper/helper_files.h"
#include "helper/helper_log.h"
#include "helper/management_line.h"
#include "ipc/helper_protocol.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/foundation/string_encoding.h"
#include "platform/foundation/url.h"
#include "platform/system/file_util.h"

namespace helper {

using platform::Value;

namespace {

bool isValidUTF8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += n;
  }
  return true;
}

// The text of a request value as "%@" prints it; nullopt when absent.
std::optional<std::string> textOf(const Value& v) {
  if (v.isNone() || v.isNull()) return std::nullopt;
  if (v.isString()) return v.asString();
  return platform::format("%@", v);
}

bool nonEmpty(const Value& account, const char* key) {
  std::optional<std::string> t = textOf(account[key]);
  return t && !t->empty();
}

// A value that goes on the command line: present, not an option, no control
// characters.
bool safeArgument(const std::string& s) {
  if (s.empty() || s[0] == '-') return false;
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

}  // namespace

std::shared_ptr<OpenVPN> OpenVPN::create(OpenVPNKeepalive keepalive,
                                         ManagementWriter managementWriter) {
  std::shared_ptr<OpenVPN> vpn(new OpenVPN());
  vpn->managementWriter_ = std::move(managementWriter);
  if (keepalive.ping <= 0) keepalive.ping = kPingSeconds;
  if (keepalive.restart <= 0) keepalive.restart = kPingRestartSeconds;
  vpn->keepalive_ = keepalive;
  return vpn;
}

OpenVPN::~OpenVPN() {
  if (executableFd_ >= 0) ::close(executableFd_);
}

void OpenVPN::setExecutableFile(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (executableFd_ >= 0) ::close(executableFd_);
  executableFd_ = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
}

std::string OpenVPN::refusal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refusal_;
}

std::string OpenVPN::managementSocketPath() { return privatePath(kManagementSocketName); }

namespace {

// Runs the executable open on `fd` with `args`, its output (at most 1 MB)
// in `*output`; false when it could not be run. Standard input is empty.
bool runForOutput(int fd, const std::vector<std::string>& args, std::string* output) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  // Started from descriptor 3, which stays open in the child, so that a
  // script's interpreter can read it too.
  const std::string path = "/proc/self/fd/3";
  std::vector<std::string> all = {"openvpn"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  char* envp[] = {nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_adddup2(&actions, fd, 3);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    return false;
  }
  // A program that does not answer within ten seconds is ended.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{out[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output->size() < (1u << 20)) output->append(buf, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

}  // namespace

bool OpenVPN::supportsScramble(int fd) {
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) return false;
  // One answer per file (device, inode, change time).
  static std::mutex mutex;
  static std::map<std::tuple<dev_t, ino_t, time_t, long>, bool> known;
  const auto key = std::make_tuple(st.st_dev, st.st_ino, st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  std::lock_guard<std::mutex> lock(mutex);
  auto it = known.find(key);
  if (it != known.end()) return it->second;
  std::string help;
  const bool ran = runForOutput(fd, {"--help"}, &help);
  const bool supported = ran && help.find("--scramble") != std::string::npos;
  known[key] = supported;
  return supported;
}

namespace {

// Hands the tunnel link that the up script gave to the system's resolver
// back to it ("resolvectl revert"), when the up script recorded one.
void revertResolvedLink(const std::string& folder) {
  const std::string record = folder + "/" + kResolvedLinkFileName;
  std::optional<std::string> link = platform::files::readFile(record);
  if (!link) return;
  ::unlink(record.c_str());
  while (!link->empty() && (link->back() == '\n' || link->back() == ' ')) link->pop_back();
  if (link->empty() || !safeArgument(*link)) return;
  for (const char* tool : {"/usr/bin/resolvectl", "/bin/resolvectl"}) {
    if (::access(tool, X_OK) != 0) continue;
    std::vector<std::string> all = {"resolvectl", "revert", *link};
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    char* envp[] = {nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, tool, &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    HelperLog("The tunnel's DNS settings were taken back from %@.", *link);
    return;
  }
}

}  // namespace

void OpenVPN::restoreSavedDNS() {
  const std::string folder = privateFolder();
  if (folder.empty()) return;
  revertResolvedLink(folder);
  const std::string saved = folder + "/" + kSavedDNSFileName;
  int fd = ::open(saved.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  // Written in place, as the scripts do: /etc/resolv.conf may be a mount or
  // a file that others watch by inode.
  int out = ::open("/etc/resolv.conf", O_WRONLY | O_TRUNC | O_CLOEXEC);
  bool ok = out >= 0;
  std::size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(out, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<std::size_t>(n);
  }
  if (out >= 0) ok = ::close(out) == 0 && ok;
  if (ok) {
    ::unlink(saved.c_str());
    HelperLog("The system's DNS settings were restored.");
  } else {
    HelperLog("The system's DNS settings could not be restored.");
  }
}

namespace {

// A pidfd for the process in the pid file when it is a live OpenVPN of ours:
// its executable's name holds "openvpn" and its command line names our
// management socket. The pidfd is taken before the checks, so the process
// checked is the one that will be signalled even if its pid is reused.
// -1 otherwise; `*pid` gets the pid.
int leftoverProcess(const std::string& pidFile, const std::string& socket, pid_t* pid) {
  std::optional<std::string> text = platform::files::readFile(pidFile);
  if (!text) return -1;
  char* end = nullptr;
  const long number = std::strtol(text->c_str(), &end, 10);
  if (number <= 1 || end == text->c_str()) return -1;
  *pid = static_cast<pid_t>(number);
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, *pid, 0));
  if (pidfd < 0) return -1;
  const std::string proc = "/proc/" + std::to_string(number);
  char exe[4096];
  const ssize_t n = ::readlink((proc + "/exe").c_str(), exe, sizeof exe - 1);
  std::optional<std::string> cmdline = platform::files::readFile(proc + "/cmdline");
  const std::string wanted = std::string("--management") + '\0' + socket + '\0' + "unix";
  if (n <= 0 ||
      std::string(exe, static_cast<std::size_t>(n)).find("openvpn") == std::string::npos ||
      !cmdline || cmdline->find(wanted) == std::string::npos) {
    ::close(pidfd);
    return -1;
  }
  return pidfd;
}

bool signalProcess(int pidfd, int signo) {
  return ::syscall(SYS_pidfd_send_signal, pidfd, signo, nullptr, 0) == 0;
}

}  // namespace

bool OpenVPN::endLeftoverProcess() {
  const std::string pidFile = privatePath(kOpenVPNPidFileName);
  const std::string socket = managementSocketPath();
  if (pidFile.empty() || socket.empty()) return false;
  pid_t pid = 0;
  const int pidfd = leftoverProcess(pidFile, socket, &pid);
  const bool hadFile = ::access(pidFile.c_str(), F_OK) == 0;
  if (pidfd >= 0) {
    HelperLog("Ending the OpenVPN process %@ left by an earlier run of the helper.",
              static_cast<std::int64_t>(pid));
    // Asked first, so that it runs its down script; killed when it does
    // not end within five seconds.
    signalProcess(pidfd, SIGTERM);
    pollfd p{pidfd, POLLIN, 0};
    bool ended = ::poll(&p, 1, 5000) == 1;
    if (!ended) {
      signalProcess(pidfd, SIGKILL);
      p.revents = 0;
      ended = ::poll(&p, 1, 5000) == 1;
    }
    ::close(pidfd);
    if (!ended) HelperLog("The left OpenVPN process did not end.");
  }
  ::unlink(pidFile.c_str());
  ::unlink(socket.c_str());
  const bool savedDNS = ::access(privatePath(kSavedDNSFileName).c_str(), F_OK) == 0;
  restoreSavedDNS();
  return pidfd >= 0 || (hadFile && savedDNS);
}

Value OpenVPN::accountDictionary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accountDictionary_;
}
void OpenVPN::setAccountDictionary(Value dictionary) {
  std::lock_guard<std::mutex> lock(mutex_);
  accountDictionary_ = dictionary.copy();
}
std::string OpenVPN::openVPNPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openVPNPath_;
}
void OpenVPN::setOpenVPNPath(std::string path) {
  std::lock_guard<std::mutex> lock(mutex_);
  openVPNPath_ = std::move(path);
}
OpenVPN::StateBlock OpenVPN::stateChange() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stateChange_;
}
std::shared_ptr<ipc::DispatchTask> OpenVPN::ovpnTask() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ovpnTask_;
}
net::sockets::DispatchSocketPtr OpenVPN::ovpnSocket() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ovpnSocket_;
}

std::string OpenVPN::filePath(std::string_view name) {
  return privatePath(platform::format("VarnelVPN.%@", std::string(name)));
}
std::string OpenVPN::upScriptPath() { return privatePath("varnel-up.sh"); }
std::string OpenVPN::downScriptPath() { return privatePath("varnel-down.sh"); }

std::optional<std::vector<std::string>> OpenVPN::openVPNAccountToArgumentArray(
    const Value& account, std::string* problem, OpenVPNKeepalive keepalive) {
  auto fail = [&](const std::string& why) -> std::optional<std::vector<std::string>> {
    if (problem) *problem = why;
    return std::nullopt;
  };
  const std::string up = upScriptPath(), down = downScriptPath();
  if (up.empty()) return fail("the helper's private folder is not available");
  // Every value taken from the request, checked before use.
  auto value = [&](const char* key, std::string* out) -> bool {
    std::optional<std::string> t = textOf(account[key]);
    if (!t || !safeArgument(*t)) {
      if (problem) *problem = platform::format("unusable value for \"%s\"", key);
      return false;
    }
    *out = *t;
    return true;
  };
  const bool udp = account["udp"].asBool();
  const char* transport = udp ? "udp" : "tcp";
  std::vector<std::string> a = {"--client", "--verb", "4", "--comp-lzo", "adaptive",
                                "--redirect-gateway", "def1", "--persist-tun", "--persist-key",
                                "--script-security", "2", "--dev", "tun", "--up", up, "--down",
                                down,
                                // The scripts run on OpenVPN's restarts too: the up
                                // script then sets the VPN's name servers again after
                                // the system's were put back while down.
                                "--up-restart"};
  std::string v;
  if (account.contains("fragment") && udp) {
    if (!value("fragment", &v)) return std::nullopt;
    a.insert(a.end(), {"--fragment", v});
  }
  if (account.contains("mss") && udp) {
    if (!value("mss", &v)) return std::nullopt;
    a.insert(a.end(), {"--mssfix", v});
  }
  std::string remote;
  if (!value("remote", &remote)) return std::nullopt;
  a.insert(a.end(), {"--remote", remote});
  if (account.contains(ipc::kProxyEnabledKey)) {
    std::string ip, port;
    if (!value("proxyIp", &ip) || !value("proxyPort", &port)) return std::nullopt;
    a.insert(a.end(), {"443", "tcp", "--http-proxy", ip, port});
  } else {
    if (!value("port", &v)) return std::nullopt;
    a.insert(a.end(), {v, transport});
    for (const Value& entry : account[ipc::kPortListKey].elements()) {
      std::optional<std::string> port = textOf(entry);
      if (!port || !safeArgument(*port)) return fail("unusable entry in \"portList\"");
      a.insert(a.end(), {"--remote", remote, *port, transport});
    }
  }
  // How long one remote may stay silent before the next is tried (a server
  // that answers does so within a round trip; the TCP or proxy connect is
  // part of it; OpenVPN sends its first packet again meanwhile, so a server
  // that returns during the wait is found then), and OpenVPN's own pause
  // between attempts, kept short so that a server back from an outage is
  // found within seconds on whichever remote is tried then. Each restart
  // costs some CPU (scripts, the management dialogue): not much more often
  // than every 20 s while a server is away.
  a.insert(a.end(), {"--connect-timeout", std::to_string(kServerPollSeconds), "--connect-retry",
                     "1", std::to_string(kConnectRetryMaxSeconds)});
  if (account.contains("cipher")) {
    if (!value("cipher", &v)) return std::nullopt;
    a.insert(a.end(), {"--cipher", v});
  }
  // The account archive always carries "scramble", mostly empty: only a
  // value asks for the option.
  if (nonEmpty(account, "scramble")) {
    a.push_back("--scramble");
    if (!value("scramble", &v)) return std::nullopt;
    if (v != "by_word") a.push_back(v);
    if (account.contains("scrambleWord")) {
      if (!value("scrambleWord", &v)) return std::nullopt;
      a.push_back(v);
    }
  }
  if (nonEmpty(account, "authUserPass"))
    a.insert(a.end(), {"--auth", "md5", "--auth-user-pass", "--management-query-passwords"});
  // Whatever the request holds, the peer must prove the TLS server role
  // (key usage and extended key usage "TLS Web Server Authentication"): a
  // certificate of the same authority issued for anything else (a client's)
  // is refused before the password or any pushed setting is taken.
  a.insert(a.end(), {"--remote-cert-tls", "server"});
  if (nonEmpty(account, "tls"))
    a.insert(a.end(), {"--tls-auth", filePath("tls"), "--key-direction", "1"});
  for (const char* key : {"ca", "cert", "key"})
    if (nonEmpty(account, key)) a.insert(a.end(), {platform::format("--%@", key), filePath(key)});
  const std::string socket = managementSocketPath();
  if (socket.empty()) return fail("the helper's private folder is not available");
  if (socket.size() >= sizeof(sockaddr_un::sun_path))
    return fail("the management socket's path is too long for a Unix-domain socket");
  // The keep-alive stays ours: a server's longer pushed restart time would
  // leave a dead connection shown as connected for minutes.
  a.insert(a.end(), {"--management", socket, "unix", "--management-hold", "--ping",
                     std::to_string(keepalive.ping), "--ping-restart",
                     std::to_string(keepalive.restart), "--pull-filter", "ignore", "ping-restart"});
  return a;
}

std::optional<std::string> OpenVPN::decodeBase64Strict(std::string_view text) {
  auto sextet = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad) return std::nullopt;  // data after padding
      v[k] = sextet(c);
      if (v[k] < 0) return std::nullopt;
    }
    std::uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out.push_back(static_cast<char>((n >> 16) & 0xFF));
    if (pad < 2) out.push_back(static_cast<char>((n >> 8) & 0xFF));
    if (pad < 1) out.push_back(static_cast<char>(n & 0xFF));
  }
  return out;
}

bool OpenVPN::writeOpenVPNCertificates(const Value& account) {
  if (privateFolder().empty()) return false;
  bool ok = true;
  for (const char* key : {"ca", "cert", "key", "tls"}) {
    const Value v = account[key];
    if (v.isNone() || v.isNull()) continue;
    std::optional<std::string> decoded = decodeBase64Strict(v.asString());
    if (!decoded || !isValidUTF8(*decoded)) continue;  // undecodable: nothing written
    ok = writePrivateFile(filePath(key), *decoded, 0600) && ok;
  }
  ok = writePrivateFile(upScriptPath(), upScript(), 0700) && ok;
  ok = writePrivateFile(downScriptPath(), downScript(), 0700) && ok;
  return ok;
}

std::string OpenVPN::upScript() {
  const std::string state = shellQuote(privateFolder());
  return "#!/bin/bash\n"
         "# Run by OpenVPN when the tunnel comes up: points the system's DNS at the\n"
         "# servers the VPN server pushed, then 8.8.8.8, with the search domain openvpn.\n"
         "PATH=/bin:/sbin:/usr/sbin:/usr/bin\n"
         "STATE=" +
         state +
         "\n"
         "dev=\"${dev:-$1}\"\n"
         "servers=\"\"\n"
         "n=1\n"
         "while :; do\n"
         "  name=\"foreign_option_$n\"\n"
         "  opt=\"${!name}\"\n"
         "  [ -z \"$opt\" ] && break\n"
         "  case \"$opt\" in\n"
         "    *DNS*)\n"
         "      server=\"${opt#dhcp-option DNS }\"\n"
         "      if [[ \"$server\" =~ ^[0-9A-Fa-f.:]+$ ]]; then servers=\"$servers $server\"; fi\n"
         "      ;;\n"
         "  esac\n"
         "  n=$((n + 1))\n"
         "done\n"
         "servers=\"$servers 8.8.8.8\"\n"
         "if command -v resolvectl >/dev/null 2>&1 && resolvectl status >/dev/null 2>&1; then\n"
         "  # Every name goes to the tunnel's servers: the routing domain \"~.\" and\n"
         "  # the default route on the tunnel link, so no other link is asked.\n"
         "  resolvectl dns \"$dev\" $servers\n"
         "  resolvectl domain \"$dev\" openvpn \"~.\"\n"
         "  resolvectl default-route \"$dev\" yes\n"
         "  printf '%s\\n' \"$dev\" > \"$STATE/varnelvpn_resolved.link\"\n"
         "else\n"
         "  if [ ! -e \"$STATE/varnelvpn_dns.temp\" ]; then\n"
         "    cat /etc/resolv.conf > \"$STATE/varnelvpn_dns.temp\" 2>/dev/null\n"
         "  fi\n"
         "  {\n"
         "    for s in $servers; do echo \"nameserver $s\"; done\n"
         "    echo \"search openvpn\"\n"
         "  } > \"$STATE/varnelvpn_resolv.new\"\n"
         "  cat \"$STATE/varnelvpn_resolv.new\" > /etc/resolv.conf\n"
         "  rm -f \"$STATE/varnelvpn_resolv.new\"\n"
         "fi\n"
         "exit 0\n";
}

std::string OpenVPN::downScript() {
  const std::string state = shellQuote(privateFolder());
  return "#!/bin/bash\n"
         "# Run by OpenVPN when the tunnel goes down: gives the system its DNS back.\n"
         "PATH=/bin:/sbin:/usr/sbin:/usr/bin\n"
         "STATE=" +
         state +
         "\n"
         "dev=\"${dev:-$1}\"\n"
         "if command -v resolvectl >/dev/null 2>&1 && resolvectl status >/dev/null 2>&1; then\n"
         "  resolvectl revert \"$dev\"\n"
         "  rm -f \"$STATE/varnelvpn_resolved.link\"\n"
         "fi\n"
         "if [ -e \"$STATE/varnelvpn_dns.temp\" ]; then\n"
         "  cat \"$STATE/varnelvpn_dns.temp\" > /etc/resolv.conf\n"
         "  rm -f \"$STATE/varnelvpn_dns.temp\"\n"
         "fi\n"
         "exit 0\n";
}

void OpenVPN::refuse(const std::string& text) {
  HelperLog("%@", text);
  std::lock_guard<std::mutex> lock(mutex_);
  refusal_ = text;
}

bool OpenVPN::startOpenVPN(StateBlock block) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stateChange_ = std::move(block);
  }
  const Value account = accountDictionary();
  std::string problem;
  std::optional<std::vector<std::string>> args =
      openVPNAccountToArgumentArray(account, &problem, keepalive_);
  if (!args) {
    refuse(platform::format("OpenVPN request refused: %@.", problem));
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    remoteCount_ = static_cast<int>(std::count(args->begin(), args->end(), "--remote"));
  }
  if (!writeOpenVPNCertificates(account)) {
    refuse("OpenVPN request refused: its files could not be written.");
    return false;
  }
  int fd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd = executableFd_;
  }
  if (fd < 0) {
    // Only a checked, opened file is ever started, never a path.
    refuse("OpenVPN request refused: no checked executable.");
    return false;
  }
  if (nonEmpty(account, "scramble") && !supportsScramble(fd)) {
    HelperLog("OpenVPN request refused: %@", kScrambleUnsupportedMessage);
    std::lock_guard<std::mutex> lock(mutex_);
    refusal_ = kScrambleUnsupportedMessage;
    return false;
  }
  // A socket left by an earlier run would make OpenVPN's bind fail.
  ::unlink(managementSocketPath().c_str());
  auto task = ipc::DispatchTask::create();
  task->setLaunchPath(openVPNPath());
  task->setExecutableFile(fd);
  std::vector<Value> argv;
  for (const auto& s : *args) argv.emplace_back(s);
  task->setArguments(Value::array(std::move(argv)));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ovpnTask_ = task;
    running_ = true;
  }
  std::weak_ptr<OpenVPN> weak = weak_from_this();
  try {
    task->launchWithOutputBlock(
        [weak](const platform::Bytes& chunk) {
          if (auto self = weak.lock())
            self->handleOutput(
                std::string_view(reinterpret_cast<const char*>(chunk.data()), chunk.size()));
        },
        nullptr, nullptr,
        [weak] {
          // However the process ended (SIGKILL included, when its down
          // script never ran), the system gets its DNS back.
          auto self = weak.lock();
          const std::string pidFile = privatePath(kOpenVPNPidFileName);
          std::shared_ptr<ipc::DispatchTask> ended = self ? self->ovpnTask() : nullptr;
          if (ended && platform::files::readFile(pidFile) ==
                           std::to_string(ended->processIdentifier()) + "\n")
            ::unlink(pidFile.c_str());
          restoreSavedDNS();
          if (!self) return;
          bool waitForDialogue;
          {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->running_ = false;
            waitForDialogue = self->ovpnSocket_ && self->socketConnected_;
          }
          self->exited_.notify_all();
          if (!waitForDialogue) {
            self->reportExit();
            return;
          }
          // The management dialogue may still hold the process's last STATE
          // lines: report the exit once it has been read to its end (or
          // after two seconds), so the codes arrive in the order OpenVPN
          // meant them.
          platform::dispatch::Queue::global()->after(2.0, [weak] {
            if (auto s = weak.lock()) s->reportExit();
          });
        });
  } catch (const platform::Exception& e) {
    HelperLog("OpenVPN could not be started: %@", e.reason());
    std::lock_guard<std::mutex> lock(mutex_);
    ovpnTask_.reset();
    running_ = false;
    return false;
  }
  // The pid file lets a helper that starts after a crash of this one find
  // and end the process.
  writePrivateFile(privatePath(kOpenVPNPidFileName),
                   std::to_string(task->processIdentifier()) + "\n", 0600);
  return true;
}

void OpenVPN::handleOutput(std::string_view chunk) {
  // Output is read in chunks that may cut a line (or a character) in two:
  // only complete lines are tested, the rest waits for the next chunk.
  std::string lines;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outputCarry_.append(chunk);
    const std::size_t end = outputCarry_.rfind('\n');
    if (end == std::string::npos) {
      if (outputCarry_.size() > kMaxOutputCarry) outputCarry_.clear();
      return;
    }
    lines = outputCarry_.substr(0, end + 1);
    outputCarry_.erase(0, end + 1);
  }
  if (!isValidUTF8(lines)) return;
  if (lines.find("MANAGEMENT: Socket bind failed") != std::string::npos)
    updateState(kOpenVPNStateBindFailure);
  if (lines.find("Need hold release from management interface") != std::string::npos)
    connectManagement();
  // The server's certificate lacks the server role: no use trying again.
  if (lines.find("VERIFY KU ERROR") != std::string::npos ||
      lines.find("VERIFY EKU ERROR") != std::string::npos) {
    bool first;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      first = !serverRefused_;
      serverRefused_ = true;
    }
    if (first) {
      HelperLog(
          "OpenVPN connection ended: the server's certificate is not a VPN server's certificate; "
          "nothing was sent to it.");
      updateState(kOpenVPNStateServerRefused);
      disconnect();
    }
  }
}

// One serial queue over the global queue: the dialogue's callbacks (reads,
// then the disconnect) run one at a time and in order.
platform::dispatch::QueuePtr OpenVPN::managementQueue() {
  static platform::dispatch::QueuePtr queue = platform::dispatch::Queue::createSerial(
      "OpenVPN.management", platform::dispatch::Queue::global());
  return queue;
}

void OpenVPN::connectManagement() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A connected dialogue answers the new hold itself (">HOLD:").
    if (ovpnSocket_ && socketConnected_) return;
    if (managementWriter_) return;
  }
  auto sock = net::sockets::DispatchSocket::create(weak_from_this(), managementQueue());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ovpnSocket_ = sock;
    socketConnected_ = false;
    partialLine_.clear();
  }
  platform::Error error;
  if (sock->connectToUrl(platform::URL::fileURLWithPath(managementSocketPath()), 5.0, &error)) {
    sock->readDataWithTimeout(-1, 0);
  } else {
    HelperLog("Management connection refused: %@", error.localizedDescription());
  }
}

void OpenVPN::disconnect() {
  std::shared_ptr<ipc::DispatchTask> task = ovpnTask();
  if (task) task->RequestTermination();
}

bool OpenVPN::waitForExit(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return exited_.wait_for(lock, platform::dispatch::seconds(seconds), [&] { return !running_; });
}

void OpenVPN::updateState(int code) {
  // Once the server's certificate was refused the attempt has failed: what
  // OpenVPN says while it stops (restarting, exiting) must not make it
  // connecting again; only the end of the process is still told.
  if (code != kOpenVPNStateServerRefused && code != kOpenVPNStateProcessExit) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (serverRefused_) return;
  }
  StateBlock block = stateChange();
  if (!block) return;
  platform::dispatch::Queue::main()->async([block, code] { block(code); });
}

void OpenVPN::writeToManagementInterface(const std::string& text, const std::string& secret) {
  std::string shown = text;
  if (!secret.empty()) {
    for (std::size_t at = shown.find(secret); at != std::string::npos;
         at = shown.find(secret, at + std::string(kRedacted).size()))
      shown.replace(at, secret.size(), kRedacted);
  }
  HelperLog("Writing: %@", shown);
  std::function<void(const std::string&)> writer;
  net::sockets::DispatchSocketPtr sock;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writer = managementWriter_;
    sock = ovpnSocket_;
  }
  if (writer) {
    writer(text);
    return;
  }
  if (sock) sock->writeData(platform::Bytes(text.begin(), text.end()), 5.0, 0);
}

int OpenVPN::stateCodeForName(std::string_view name) {
  static const std::pair<const char*, int> table[] = {
      {"CONNECTING", 1},   {"TCP_CONNECT", 1}, {"WAIT", 2},       {"AUTH", 3},
      {"GET_CONFIG", 4},   {"ASSIGN_IP", 5},   {"ADD_ROUTES", 6}, {"CONNECTED", 7},
      {"RECONNECTING", 8}, {"EXITING", 9},     {"PASSWORD", 12}};
  for (const auto& [n, code] : table)
    if (name == n) return code;
  return 0;
}

std::string OpenVPN::userNameOf(const std::string& name) {
  std::size_t at = name.rfind('_');
  return at == std::string::npos ? name : name.substr(at + 1);
}

std::optional<std::string> OpenVPN::quoteManagementValue(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '\n' || c == '\r' || c == '\0') return std::nullopt;
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

void OpenVPN::handleManagementData(std::string_view data) {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    partialLine_.append(data);
    std::size_t start = 0, end;
    while ((end = partialLine_.find('\n', start)) != std::string::npos) {
      lines.push_back(partialLine_.substr(start, end - start));
      start = end + 1;
    }
    partialLine_.erase(0, start);
  }
  for (const std::string& line : lines) {
    if (!isValidUTF8(line)) continue;
    handleLine(line);
  }
}

void OpenVPN::handleLine(const std::string& line) {
  if (line.empty()) return;
  HelperLog("Read: %@", line);
  const Value account = accountDictionary();
  const ManagementLine parsed = ManagementLine::parse(line);
  switch (parsed.kind) {
    case ManagementLine::Kind::kState: {
      if (parsed.stateName.empty()) return;
      const int code = stateCodeForName(parsed.stateName);
      bool wasUp = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        // The connection's notice comes before any state: a hold after
        // this line is a new one.
        holdNoticeExpected_ = false;
        if (code == kOpenVPNStateConnected) {
          restartsSinceConnected_ = 0;
          connectionUp_ = true;
        }
        if (code == kOpenVPNStateReconnecting) {
          wasUp = connectionUp_;
          connectionUp_ = false;
        }
      }
      if (code == kOpenVPNStateReconnecting) {
        const std::string reason =
            parsed.stateReason.empty() ? std::string("no reason given") : parsed.stateReason;
        if (wasUp) {
          HelperLog("The connection to the server was lost (%@); reconnecting.", reason);
        } else {
          HelperLog("No connection was made (%@); OpenVPN tries again.", reason);
        }
        // The VPN's name servers are out of reach until the tunnel is back.
        restoreSavedDNS();
      }
      updateState(code);
      break;
    }
    case ManagementLine::Kind::kPasswordRefused:
      // Only a notice: an OpenVPN that may try again asks anew ("Need ..."),
      // and one that gives up is already exiting. A command sent to it now
      // can cost its last lines (",EXITING,auth-failure"), and the refusal
      // would then read as a failed start.
      break;
    case ManagementLine::Kind::kPasswordPrompt: {
      if (!account.contains("authUserPass")) break;
      std::optional<std::string> user =
          quoteManagementValue(userNameOf(account["name"].asString()));
      if (!user) {
        HelperLog("The user name holds a line break; it is not sent.");
        return;
      }
      writeToManagementInterface("username \"Auth\" " + *user + "\n");
      break;
    }
    case ManagementLine::Kind::kUserNameTaken: {
      const std::string password = textOf(account["authUserPass"]).value_or("");
      std::optional<std::string> quoted = quoteManagementValue(password);
      if (!quoted) {
        HelperLog("The password holds a line break; it is not sent.");
        return;
      }
      writeToManagementInterface("password \"Auth\" " + *quoted + "\n", *quoted);
      break;
    }
    case ManagementLine::Kind::kHold:
      releaseHold(parsed.holdSeconds);
      break;
    case ManagementLine::Kind::kNone:
      break;
  }
}

double OpenVPN::nextHoldDelay(int hintSeconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!holdReleased_) return 0;
  // Doubling once per round through the remotes (each restart takes the
  // next), and never so long that a round takes more than the longest
  // pause.
  const int remotes = std::max(remoteCount_, 1);
  const int round = std::min(restartsSinceConnected_ / remotes, 16);
  ++restartsSinceConnected_;
  const double longest = std::max(kHoldBackoffFirstSeconds, kHoldBackoffMaxSeconds / remotes);
  const double pause =
      std::min(kHoldBackoffFirstSeconds * static_cast<double>(1 << round), longest);
  return std::min(std::max(static_cast<double>(hintSeconds), pause), kHoldBackoffMaxSeconds);
}

void OpenVPN::releaseHold(int hintSeconds) {
  net::sockets::DispatchSocketPtr sock;
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The notice of the hold the management connection released when it
    // opened: already answered.
    if (holdNoticeExpected_) {
      holdNoticeExpected_ = false;
      return;
    }
    sock = ovpnSocket_;
  }
  // Every other hold is one OpenVPN waits in: it is released, at once or
  // after the back-off, whatever came before it.
  const double delay = nextHoldDelay(hintSeconds);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    holdReleased_ = true;
    generation = ++holdGeneration_;
  }
  if (delay <= 0) {
    writeToManagementInterface("hold release\n");
    return;
  }
  HelperLog("Trying the server again in %@ s.", static_cast<long>(delay));
  std::weak_ptr<OpenVPN> weak = weak_from_this();
  managementQueue()->after(delay, [weak, sock, generation] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      // A newer hold or a new management connection took over.
      if (generation != self->holdGeneration_ || sock != self->ovpnSocket_) return;
    }
    self->writeToManagementInterface("hold release\n");
  });
}

void OpenVPN::socketDidConnectToHost(const net::sockets::DispatchSocketPtr& sock,
                                     const std::string& /*host*/, std::uint16_t /*port*/) {
  managementConnected(sock);
}

void OpenVPN::socketDidConnectToUrl(const net::sockets::DispatchSocketPtr& sock,
                                    const platform::URL& /*url*/) {
  managementConnected(sock);
}

void OpenVPN::managementConnected(const net::sockets::DispatchSocketPtr& sock) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sock != ovpnSocket_) return;
    socketConnected_ = true;
    holdReleased_ = true;
    holdNoticeExpected_ = true;
  }
  writeToManagementInterface("state on\n");
  writeToManagementInterface("log on\n");
  writeToManagementInterface("hold release\n");
}

void OpenVPN::socketDidReadData(const net::sockets::DispatchSocketPtr& sock,
                                const net::sockets::SocketData& data, long /*tag*/) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sock != ovpnSocket_) return;
  }
  handleManagementData(data.text());
  sock->readDataWithTimeout(-1, 0);
}

void OpenVPN::socketDidDisconnect(const net::sockets::DispatchSocketPtr& sock,
                                  const platform::Error& /*error*/) {
  bool exited;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!sock || sock != ovpnSocket_) return;
    socketConnected_ = false;
    exited = !running_ && ovpnTask_;
  }
  if (exited) reportExit();
}

void OpenVPN::reportExit() {
  if (exitReported_.exchange(true)) return;
  updateState(kOpenVPNStateProcessExit);
}

}  // namespace helper
