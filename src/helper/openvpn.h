// OpenVPN: one run of the OpenVPN executable for an OpenVPN request. It
// turns the request into OpenVPN's command line, writes the certificate,
// key and script files the command line names, starts the process, drives
// its management interface (release the hold, follow STATE notifications,
// answer the user-name and password prompts) and reports progress as
// OpenVPNStateCode values through the state block.
//
// The management interface is a Unix-domain socket in the helper's private
// folder (root only, 0700): no other local user can reach it, also not that
// of an OpenVPN that outlived its helper. The started OpenVPN's pid is kept
// in the private folder, so that a helper that starts after a crash finds it
// (`endLeftoverProcess`) and ends it. OpenVPN is asked to ping the server
// and to restart when the server stays silent, so a vanished server is
// noticed (RECONNECTING, logged with its reason).
//
// Guarantees:
//  0. Only the file given to `setExecutableFile` is started (never the path
//     again); without one, startOpenVPN refuses.
//  1. Every file is written owner-only into the helper's private folder
//     (helper_files.h): certificates and keys 0600, scripts 0700.
//  2. Values from the request that reach the command line never start with
//     '-' and hold no control character; a request that breaks this, or
//     lacks a value the command line needs, is refused before anything runs.
//  3. Values sent to the management interface are quoted and escaped; one
//     holding a line break is never sent. Secrets are never logged.
//  4. Management output and the process's output are split into lines
//     across reads (a line cut by a read boundary is handled whole), and
//     every ">HOLD:" line is answered with a hold release, also after
//     OpenVPN's own restarts.
//  4a. The first hold of a run is released at once; every later hold (after
//     a restart: the server gone, refused, silent; with or without a STATE
//     line before it) is released after a back-off of at least OpenVPN's
//     own pause. Each restart moves OpenVPN to the next of its remotes (the
//     request's port, then each of "portList"), so the pause grows once per
//     round through them: 1 s in the first round, doubling each round, at
//     most what keeps a whole round within kHoldBackoffMaxSeconds (never
//     under 1 s, never over kHoldBackoffMaxSeconds); a CONNECTED state
//     starts again at the first round. So a server that stays away costs a
//     few restarts a minute, not hundreds a second; no hold is left waiting;
//     and a server that comes back is tried again within one round.
//     The one ">HOLD:" line not answered is the notice OpenVPN sends when
//     the management connection opens, of the hold that the connection
//     releases at once: the first ">HOLD:" of the connection, read before
//     any STATE line.
//  4b. A RECONNECTING after CONNECTED is logged as "The connection to the
//     server was lost (<reason>); reconnecting."; one before any connection
//     came up (an attempt that failed) as "No connection was made
//     (<reason>); OpenVPN tries again.", so that only a real loss reads as one.
//  4c. When the connection is lost (RECONNECTING), the system's saved DNS
//     settings are put back before the hold is released, so that the
//     server's name is asked of the system's name servers and not of the
//     VPN's, which only the tunnel reaches; the up script sets the VPN's
//     again once the tunnel is back.
//  5. Whenever the process ends (also killed with SIGKILL), the system's DNS
//     settings that the up script saved are put back before code 11 is
//     reported.
//  5a. Every run checks that the server's certificate is a TLS server
//     certificate ("--remote-cert-tls server": key usage and extended key
//     usage), whatever the request holds; when OpenVPN refuses it, the run
//     is stopped and kOpenVPNStateServerRefused reported once: nothing
//     (no password) reaches such a server and nothing it pushes is used.
//  6. Codes reach the state block on the main queue, one at a time, in the
//     order they were reported; the process's exit (11) comes after the
//     last STATE line of its management dialogue (at most 2 s later).
//
// Thread safety: the properties are guarded by a lock; socket callbacks
// run in order on a serial queue over the global queue, output callbacks on
// the main queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/dispatch_task.h"
#include "net/sockets/dispatch_socket.h"
#include "platform/foundation/value.h"

namespace helper {

// OpenVPNStateCode values.
enum OpenVPNStateCode : int {
  kOpenVPNStateUnknown = 0,
  kOpenVPNStateConnecting = 1,
  kOpenVPNStateWait = 2,
  kOpenVPNStateAuth = 3,
  kOpenVPNStateGetConfig = 4,
  kOpenVPNStateAssignIP = 5,
  kOpenVPNStateAddRoutes = 6,
  kOpenVPNStateConnected = 7,
  kOpenVPNStateReconnecting = 8,
  kOpenVPNStateExiting = 9,
  kOpenVPNStateBindFailure = 10,
  kOpenVPNStateProcessExit = 11,
  kOpenVPNStatePassword = 12,
  // The server's certificate is not a TLS server certificate: the run is
  // stopped (reported by the driver, not by OpenVPN's STATE lines).
  kOpenVPNStateServerRefused = 13,
};

// Files in the private folder.
inline constexpr const char* kManagementSocketName = "openvpn-management.sock";
inline constexpr const char* kOpenVPNPidFileName = "openvpn.pid";
inline constexpr const char* kSavedDNSFileName = "varnelvpn_dns.temp";
// The tunnel link that the up script gave to systemd-resolved.
inline constexpr const char* kResolvedLinkFileName = "varnelvpn_resolved.link";
// Keep-alive asked of OpenVPN: a ping every kPingSeconds, a restart after
// kPingRestartSeconds of silence from the server.
inline constexpr int kPingSeconds = 10;
inline constexpr int kPingRestartSeconds = 30;
// Seconds one remote may stay silent (no answer to the first packet, or
// no TCP connect) before OpenVPN moves to the next, and the most OpenVPN's
// own pause between attempts may grow to.
inline constexpr int kServerPollSeconds = 20;
inline constexpr int kConnectRetryMaxSeconds = 5;
// Back-off of the hold releases after a restart (seconds).
inline constexpr double kHoldBackoffFirstSeconds = 1;
inline constexpr double kHoldBackoffMaxSeconds = 30;

// The keep-alive of one driver's runs (seconds); 0 or less: the default.
struct OpenVPNKeepalive {
  int ping = kPingSeconds;
  int restart = kPingRestartSeconds;
};
inline constexpr const char* kScrambleUnsupportedMessage =
    "This server needs an obfuscation (scramble) that the installed OpenVPN does not support.";

class OpenVPN : public net::sockets::DispatchSocketDelegate,
                public std::enable_shared_from_this<OpenVPN> {
 public:
  ~OpenVPN() override;
  using StateBlock = std::function<void(int code)>;

  // Where management commands go: the management socket when empty; a
  // recorder lets the dialogue run without a socket.
  using ManagementWriter = std::function<void(const std::string&)>;

  static std::shared_ptr<OpenVPN> create(OpenVPNKeepalive keepalive = {},
                                         ManagementWriter managementWriter = nullptr);

  platform::Value accountDictionary() const;
  void setAccountDictionary(platform::Value dictionary);
  std::string openVPNPath() const;
  void setOpenVPNPath(std::string path);
  StateBlock stateChange() const;
  std::shared_ptr<ipc::DispatchTask> ovpnTask() const;
  net::sockets::DispatchSocketPtr ovpnSocket() const;

  // Writes the files and starts the process. False (logged) when the
  // request is refused or the process cannot be started; nothing runs then.
  bool startOpenVPN(StateBlock block);
  // The verified executable to start (a descriptor from
  // ExecutablePolicy::openExecutable; the driver keeps its own copy).
  void setExecutableFile(int fd);
  // Whether the OpenVPN open on `fd` knows "--scramble" (its "--help" is
  // asked once per executable file).
  static bool supportsScramble(int fd);
  // Ends an OpenVPN that an earlier run of the helper started and left
  // behind (its pid file names a live OpenVPN process whose command line
  // uses this helper's management socket), then puts the saved DNS
  // settings back. True when something was left behind.
  static bool endLeftoverProcess();
  // Writes the saved DNS settings back to /etc/resolv.conf and removes the
  // copy, and gives back the tunnel link the up script set in
  // systemd-resolved; nothing when there is none.
  static void restoreSavedDNS();
  static std::string managementSocketPath();
  // Why the last startOpenVPN refused the request ("" when it did not):
  // the text the client is answered with.
  std::string refusal() const;
  // The command line for an account dictionary; nullopt and `*problem`
  // when a value is missing or unsafe.
  static std::optional<std::vector<std::string>> openVPNAccountToArgumentArray(
      const platform::Value& account, std::string* problem = nullptr,
      OpenVPNKeepalive keepalive = {});
  // Writes ca, cert, key, tls, then the up and down scripts.
  static bool writeOpenVPNCertificates(const platform::Value& account);
  // Interrupts the process now, terminates it 10 s later.
  void disconnect();
  // Waits until the process has ended (true) or `seconds` passed (false);
  // true at once when it never started.
  bool waitForExit(double seconds);
  // Delivers `code` to the state block on the main queue.
  void updateState(int code);
  // Queues `text` on the management socket (5 s time-out, tag 0); logs it
  // with `secret` replaced by "<redacted>" when given.
  void writeToManagementInterface(const std::string& text, const std::string& secret = {});

  // Management dialogue, testable without a socket: handles one read.
  void handleManagementData(std::string_view data);
  // Output of the process, testable without a process: handles one chunk
  // (complete lines; a partial last line waits for the next chunk).
  void handleOutput(std::string_view chunk);
  // The pause before the release of a hold that OpenVPN announced with
  // `hintSeconds` (and advances the back-off, guarantee 4a); 0 for the
  // first hold of the run. Exposed for tests.
  double nextHoldDelay(int hintSeconds);
  // The OpenVPNStateCode of a STATE name (0 when unknown).
  static int stateCodeForName(std::string_view name);
  // The user part of an account name: the piece after the last "_".
  static std::string userNameOf(const std::string& name);
  // "\"...\"" with '\\' and '"' escaped; nullopt when `value` holds a line
  // break or a NUL.
  static std::optional<std::string> quoteManagementValue(std::string_view value);
  // Strict Base64 (no line breaks, no characters outside the alphabet).
  static std::optional<std::string> decodeBase64Strict(std::string_view text);

  // The files the command line names, in the helper's private folder.
  static std::string filePath(std::string_view name);
  static std::string upScriptPath();
  static std::string downScriptPath();
  static std::string upScript();
  static std::string downScript();

  // DispatchSocketDelegate
  void socketDidConnectToHost(const net::sockets::DispatchSocketPtr& sock, const std::string& host,
                              std::uint16_t port) override;
  void socketDidConnectToUrl(const net::sockets::DispatchSocketPtr& sock,
                             const platform::URL& url) override;
  void socketDidReadData(const net::sockets::DispatchSocketPtr& sock,
                         const net::sockets::SocketData& data, long tag) override;
  void socketDidDisconnect(const net::sockets::DispatchSocketPtr& sock,
                           const platform::Error& error) override;

 private:
  OpenVPN() = default;
  void managementConnected(const net::sockets::DispatchSocketPtr& sock);
  void handleLine(const std::string& line);
  static platform::dispatch::QueuePtr managementQueue();
  // Reports code 11 once per run.
  void reportExit();
  void connectManagement();
  void releaseHold(int hintSeconds);

  mutable std::mutex mutex_;
  platform::Value accountDictionary_;
  std::string openVPNPath_;
  StateBlock stateChange_;
  std::shared_ptr<ipc::DispatchTask> ovpnTask_;
  net::sockets::DispatchSocketPtr ovpnSocket_;
  bool socketConnected_ = false;
  OpenVPNKeepalive keepalive_;
  std::string partialLine_;  // management text after the last line feed
  std::string outputCarry_;  // process output after the last line feed
  static constexpr std::size_t kMaxOutputCarry = 64 * 1024;
  bool running_ = false;
  bool serverRefused_ = false;  // the server's certificate lacked the server role
  std::atomic<bool> exitReported_{false};
  int executableFd_ = -1;
  // Logs `text` and keeps it as the refusal.
  void refuse(const std::string& text);
  std::string refusal_;
  // Hold releases: whether one was sent in this run, whether the next
  // ">HOLD:" is the notice of the hold the management connection released
  // when it opened (guarantee 4a), the back-off, and the number of the
  // newest pending release.
  bool holdReleased_ = false;
  bool holdNoticeExpected_ = false;
  int restartsSinceConnected_ = 0;  // holds released since the last CONNECTED
  int remoteCount_ = 1;             // "--remote" entries of the command line
  bool connectionUp_ = false;       // CONNECTED since the last RECONNECTING
  std::uint64_t holdGeneration_ = 0;
  std::condition_variable exited_;
  ManagementWriter managementWriter_;  // set at creation only
};

}  // namespace helper
