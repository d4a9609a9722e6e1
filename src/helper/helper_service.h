// HelperService: the privileged helper's one message handler and the
// process-wide connection state that the client polls.
//
// Operations (ipc/helper_protocol.h): "PPTPConnectionRequest", "L2TPConnectionRequest",
// "IPSecConnectionRequest" (system network services), "SSTPConnectionRequest"
// (the SSTP client as a child process), "OpenVPNConnectionRequest" (the
// OpenVPN driver), "CurrentConnectionState", "LogUpdate" and
// "DisconnectConnection" (tears the connection down; the helper stays). A
// connection that has sent a message counts as one of the client's until it
// ends. When the last of them ends (its channel error message), the client
// has gone: everything is torn down and the process ends. The end of a
// connection while another of the client's is still open (the client
// replacing its connection), a connection that never sent anything, one
// dropped for malformed input, and a peer's message without "operation"
// (answered without "result") change nothing else.
//
// Peers: root and the user(s) recorded by the installation
// (ExecutablePolicy::allowsPeer), checked before anything a peer sent is
// read; with one recorded user the channel socket is made that user's
// (mode 0600). A flood costs the helper bounded work and memory: a refused
// peer is closed right after the accept, a user other than root holds at
// most kUnservedPeersPerUser connections that have not sent a first message
// (kUnservedPeersPerProcess from one process; more are closed at once),
// the listener accepts in bounded turns so the
// main queue keeps running, and refusals and malformed input are counted
// and told at most twice a second (platform::xpc::PeerFaultLog), while the
// line of each connection dropped for malformed input collapses with its
// repeats in the helper's log.
//
// Guarantees:
//  1. The state is one atomic word. An accepted connection request first
//     tears down the running connection, then sets 3 (connecting); a
//     connection that fails where the helper can tell (a child that exits
//     before it connected, a service that cannot be started, a refused
//     request) ends in 2. Check-then-set rules are compare-and-set.
//  2. Each connection request starts a new generation: reports of an older
//     connection (a late child exit, a late status) never change the state
//     of a newer one.
//  3. Only executables that the installation ships or names are started
//     (ExecutablePolicy), from the descriptor that was checked; anything
//     else is refused and logged. The SSTP client's password goes to pppd
//     in an owner-only options file (removed when the client ends), never
//     on a command line, and "sstpOptions" must be the options file
//     recorded at the installation (ExecutablePolicy::openSSTPOptions), else
//     the request is refused with kSSTPOptionsRefusal. Every refused SSTP
//     request is answered with its refusal (the kSSTP...Refusal texts).
//  3a. What an attempt writes into the private folder (certificates, keys,
//     secrets, scripts) is removed when it ends: refused, failed, cancelled,
//     disconnected, when the helper ends, and at the next start after a
//     crash (helper_files.h, removeAttemptFiles). When the helper ends with
//     its client, it first waits (openVPNExitWait) for an OpenVPN it asked
//     to stop, which runs its down script on its way out; only an OpenVPN
//     that still runs then keeps the scripts, until the next start ends it.
//  3b. A PPTP, L2TP or IPSec attempt's system profile (NetworkManager's) is
//     limited to the requesting user, held in memory only, and removed when
//     the attempt ends, when the helper ends, and at the next start after a
//     crash; only profiles this helper made are ever removed (by UUID).
//     A connection lost after it was up ends in 2 (failed) with its reason.
//  4. No secret is logged: passwords, shared secrets and keys are replaced
//     by "<redacted>" wherever a request is written to the log.
//  4a. An SSTP client that ends logs why first ("SSTP connection ended:
//     <its error line>", or its exit status), before the state that tells
//     of the end, so a client that reads the log before the state has it.
//  4b. A teardown with nothing running (the attempt had already ended)
//     reaches 1 at once; otherwise the end of what ran reports it, and the
//     settle timer is the safety net.
//  5. The process ends through `exitProcess`, which by default flushes the
//     logs and leaves without running destructors on other threads.
//
// Thread safety: the handler runs on each client connection's own queue;
// the held objects are read and replaced under one lock that is never held
// across a stop; the state is atomic.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper/executable_policy.h"
#include "helper/ipfw_interface.h"
#include "helper/notification_logger.h"
#include "helper/openvpn.h"
#include "helper/system_preferences_handler.h"
#include "ipc/dispatch_task.h"
#include "ipc/helper_protocol.h"
#include "ipc/xpc_connection.h"
#include "ipc/xpc_message.h"
#include "ipc/xpc_service.h"
#include "platform/dispatch/queue_checker.h"
#include "platform/dispatch/time_source.h"

namespace helper {

inline constexpr const char* kHelperServiceName = ipc::kHelperServiceName;
inline constexpr const char* kSSTPLogFileName = "vvpn-sstp.log";
// The exit status of a helper that cannot have the service's socket because
// another helper still serves it (or is ending): it says so on standard
// error and stops before it touches anything (EX_TEMPFAIL).
inline constexpr int kHelperAlreadyRunningStatus = 75;
// The most connections a user other than root, and one process of theirs,
// may hold that the helper has accepted but not yet read a first message
// from or handed to its handler; more are closed at once (the client opens
// one at a time). The second keeps a flooding program of the user from
// shutting out the user's client.
inline constexpr std::size_t kUnservedPeersPerUser = 64;
inline constexpr std::size_t kUnservedPeersPerProcess = 16;
// The refusals of an SSTP request, each answered under "message" (without
// "result"): an options file that is not the installation's, an SSTP client
// that the installation neither ships nor names, a value that is missing or
// could read as more than one value, a password that cannot be written into
// pppd's options.
inline constexpr const char* kSSTPOptionsRefusal =
    "The SSTP options file is not the one recorded at the helper's installation.";
inline constexpr const char* kSSTPClientRefusal =
    "SSTP request refused: the SSTP client is not one this installation ships.";
inline constexpr const char* kSSTPValuesRefusal =
    "SSTP request refused: a value is missing or unusable.";
inline constexpr const char* kOpenVPNProgramRefusal =
    "OpenVPN request refused: the OpenVPN program is not one this installation ships.";
inline constexpr const char* kSSTPPasswordRefusal =
    "SSTP request refused: the password cannot be handed over safely.";

class HelperService : public std::enable_shared_from_this<HelperService> {
 public:
  struct Options {
    // The network-services handler (nullptr: PPTP, L2TP and IPSec do nothing).
    std::shared_ptr<SystemPreferencesHandler> preferences;
    std::shared_ptr<LKNotificationLogger> logger;
    ExecutablePolicy policy;
    // Ends the process (default: flush the logs, then _exit).
    std::function<void(int status)> exitProcess;
    // Delay of the settle timer after a teardown, and the time source it
    // follows (none: the steady clock).
    double settleDelay = 10.0;
    platform::dispatch::TimeSourcePtr clock;
    // Keep-alive asked of OpenVPN (seconds): ping interval and the silence
    // after which it restarts the connection.
    int openVPNPing = kPingSeconds;
    int openVPNPingRestart = kPingRestartSeconds;
    // When the client has gone: how long (seconds) the helper waits for an
    // OpenVPN it asked to stop to end before the helper ends (its down
    // script needs the attempt's scripts until then).
    double openVPNExitWait = 12.0;
  };

  static std::shared_ptr<HelperService> create(Options options);

  // Start-up on the main queue: the route-query object, the listener (with
  // the peer check: root or a configured client) on "VarnelHelper", then
  // the end of an OpenVPN left by an earlier run of the helper (restoring
  // DNS; the state then answers 1, disconnected) and of that run's files.
  // When the socket cannot be had (another helper still serves it) the
  // process ends with kHelperAlreadyRunningStatus, touching nothing.
  void HelperStartup();
  void HelperConnectionHandler(const std::shared_ptr<ipc::XPCConnection>& connection);
  void HelperMessageHandler(const ipc::XPCMessage& message,
                            const std::shared_ptr<ipc::XPCConnection>& connection);
  // The handler without a connection: the reply to send, or nullopt when
  // none is sent (the process was ended, or the message was a broken one).
  // A connection request that is refused for a reason the user must hear
  // (an SSTP request or a network service's values refused, an obfuscation
  // the installed OpenVPN lacks) is answered without "result", the form the
  // client takes as a refusal, and with the reason under "message".
  // `peer`: the uid of the peer that sent it (none: root, or unknown); a
  // PPTP, L2TP or IPSec service's system profile is limited to that user
  // (root's request: the one recorded user, else root).
  std::optional<ipc::XPCMessage> handleMessage(const ipc::XPCMessage& message,
                                               std::optional<uid_t> peer = std::nullopt);
  // The operation `name` asks for (the value of "operation"); nullopt for a
  // name the helper does not serve. handleMessage dispatches through it.
  static std::optional<ipc::HelperOperation> parseOperation(std::string_view name);

  ipc::HelperConnectionState connectionState() const { return state_.load(); }
  void setConnectionState(ipc::HelperConnectionState state) { state_.store(state); }

  // Status and state handlers, bound to the generation they were made for.
  void SCNetworkStatusHandler(const platform::sysconfig::NetworkConnectionPtr& connection,
                              platform::sysconfig::ConnectionStatus status,
                              std::uint64_t generation);
  void OpenVPNStateHandler(int code, std::uint64_t generation);
  void SSTPOutputHandler(const platform::Bytes& chunk, std::uint64_t generation);

  // The SSTP client's command line for a request; `secretsFile` is the
  // owner-only pppd options file that holds the password.
  static std::vector<std::string> sstpArguments(const ipc::XPCMessage& request,
                                                const std::string& secretsFile);
  // The pppd options text that carries the password; nullopt when the
  // password cannot be written safely (a line break or NUL).
  static std::optional<std::string> sstpSecretsText(const std::string& password);
  // The request's description with every secret replaced.
  static std::string redactedDescription(const ipc::XPCMessage& request);

  std::shared_ptr<OpenVPN> openVPN() const;
  std::shared_ptr<ipc::DispatchTask> sstpTask() const;
  std::shared_ptr<IPFWInterface> routeInterface() const { return ipfw_; }

 private:
  explicit HelperService(Options options);
  // Stops whatever runs (network service, OpenVPN, SSTP client); false when
  // nothing was running, so nothing will report its end.
  bool stopRunning();
  void teardown();
  // A new generation for a new connection request; tears down the old one.
  std::uint64_t beginConnection();
  void fail(std::uint64_t generation);
  bool isCurrent(std::uint64_t generation) const { return generation_.load() == generation; }
  // Sets `to` when the state is one of `from` (atomically).
  bool transition(std::initializer_list<ipc::HelperConnectionState> from,
                  ipc::HelperConnectionState to);

  // "" when the attempt began, else why its values were refused.
  std::string startNetworkService(const std::string& operation, const ipc::XPCMessage& message,
                                  std::optional<uid_t> peer);
  // The user a request's system profile is limited to.
  std::string profileOwner(std::optional<uid_t> peer) const;
  // "" when the request was taken (it may still fail), else the refusal the
  // client is told.
  std::string startSSTP(const ipc::XPCMessage& message);
  // Keeps what an SSTP client's output line says about why it ends.
  void rememberSSTPLine(std::string_view line);
  // "" when started (or failed later), else the message for the refusal.
  std::string startOpenVPN(const ipc::XPCMessage& message);
  void restrictSocket() const;

  Options options_;
  std::atomic<ipc::HelperConnectionState> state_{ipc::kHelperStateUnknown};
  std::atomic<std::uint64_t> generation_{0};
  mutable std::mutex mutex_;  // guards the held objects below
  platform::sysconfig::NetworkConnectionPtr lastNetworkConnection_;
  std::shared_ptr<ipc::DispatchTask> sstpTask_;
  // What the running SSTP client last said that tells why it ended (its
  // error line, else its last line), for the log line of its end.
  std::string sstpLastWords_;
  bool sstpLastWordsAreError_ = false;
  bool sstpConnected_ = false;
  bool sstpEndLogged_ = false;
  std::shared_ptr<OpenVPN> openVPN_;
  std::shared_ptr<ipc::XPCConnection> newestConnection_;
  // The open connections that have sent a message: the client's. The client
  // replaces its connection on each attempt; only the end of the last one is
  // the client going away.
  std::vector<std::shared_ptr<ipc::XPCConnection>> clientConnections_;
  std::shared_ptr<IPFWInterface> ipfw_;
  std::shared_ptr<ipc::XPCService> listener_;
  // Asserts (in checked builds) that the start-up runs on the main queue.
  platform::dispatch::QueueChecker mainQueue_{platform::dispatch::Queue::main()};
};

// Flushes the logs and ends the process without running destructors.
[[noreturn]] void HelperExit(int status);

}  // namespace helper
