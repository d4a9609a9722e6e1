// platform::sysconfig::NMConnectionDriver: the connection driver of the
// real system. PPTP, L2TP over IPsec and IPSec (IKEv1 with a group
// pre-shared key and XAuth, through the vpnc plugin) services are run by
// NetworkManager and its VPN plugins, spoken to over the D-Bus system bus
// with sd-bus (libsystemd's plain C client).
//
// A service becomes one NetworkManager connection profile (type "vpn", the
// plugin's service type, the server, the user and the secrets, kept by
// NetworkManager itself: password-flags=0), limited to its owner's user
// ("connection.permissions"). Its identifier (UUID) is the service
// identifier, its name the service's name. `start` checks the values,
// writes that profile and activates it; `stop` deactivates it;
// `removeService` deletes it. Profiles are found by UUID only, never by
// name. With `Options::sessionProfiles` they are the session's own (see
// there): in memory only, and deleted when their attempt ends.
//
// Status mapping (VPN and active-connection states of NetworkManager):
//   ACTIVATING, PREPARE, NEED_AUTH, CONNECT, IP_CONFIG_GET -> Connecting
//   ACTIVATED                                             -> Connected, only
//     when the active connection's State and VpnState, read back from
//     NetworkManager, are both ACTIVATED, the reason is not a user's
//     disconnect and no deactivation has begun (NetworkManager reports VPN
//     ACTIVATED with USER_DISCONNECTED while it cancels a connect)
//   DEACTIVATING                                          -> Disconnecting
//   FAILED, DISCONNECTED, DEACTIVATED                     -> Disconnected,
//     with the reason as readable text in the connection's `failureReason`
//     (set before the status is reported): the plugin's failure code in
//     words, else how far the attempt got (not started, no connection to
//     the server, no IP configuration, lost after it was up), with
//     NetworkManager's reason beside it, and for an attempt that never came
//     up what this system lacks (no /dev/ppp for PPP, no tun device for
//     vpnc). NetworkManager offers nothing more on the bus: the plugins'
//     own texts stay in its log. A deactivation asked for by `stop` ends
//     with no reason; one from elsewhere says so.
//   NetworkManager leaving the bus (or its name passing to another
//   process), or the bus itself going away, ends every connection it ran:
//   Disconnected with a reason saying so.
//
// Guarantees:
//  1. `start` fails at once (false, with `failureReason` naming the Debian
//     package to install) when NetworkManager is not on the bus or the
//     plugin the service needs is not installed; and (false, with the
//     reason, nothing written) when a value cannot go into a profile. It
//     never pretends.
//  2. Signals count only from NetworkManager: the matches are bound to the
//     unique name that owns its bus name, followed through NameOwnerChanged,
//     and every handler checks the sender; a plugin's Failure counts only
//     from the owner of one of that plugin's bus names (which only root may
//     own). Anyone else's signals (every local user may send them) are
//     ignored. Every end of a connection is reported exactly once.
//  3. Secrets are read from the System keychain items the service refers
//     to (or through `Options::secretLookup`) and handed only to
//     NetworkManager; they are never logged nor repeated in a reason.
//
// Thread safety: every method may be called from any thread (not from a
// block of the driver's own queue, which no caller sees). One serial queue
// ("platform.sysconfig.nm") owns the bus, whose descriptor a dispatch read
// source watches on that queue (no thread or poll loop of its own); calls
// wait for the queue (`sync`, at most the D-Bus call time-out). Reports are
// made from that queue and reach connections on theirs. Destroying the
// driver reports nothing more and leaves NetworkManager's connections as
// they are.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sysconfig/network_connection.h"

namespace platform::sysconfig {

inline constexpr const char* kNMBusName = "org.freedesktop.NetworkManager";
inline constexpr const char* kNMPluginDirectory = "/usr/lib/NetworkManager/VPN";
inline constexpr const char* kNMLocalPluginDirectory = "/etc/NetworkManager/VPN";

// What a service needs from NetworkManager: the plugin's short name
// ("pptp", "l2tp", "strongswan"), its D-Bus service type and its package.
struct NMPlugin {
  std::string name, serviceType, package;
};

// The plugins of the three types: PPTP, L2TP over IPsec, and IPSec
// (IKEv1 with a group pre-shared key and XAuth, served by vpnc).
NMPlugin nmPPTPPlugin();
NMPlugin nmL2TPPlugin();
NMPlugin nmIPSecPlugin();
// IKEv2 with a pre-shared key (strongSwan's charon-nm), for services on
// kSCNetworkInterfaceTypeIKEv2.
NMPlugin nmIKEv2Plugin();

// The plugin for a service's interface chain; nullopt for a chain that no
// plugin serves.
std::optional<NMPlugin> nmPluginForService(const NetworkService& service);

// Whether NetworkManager would find the plugin: a "*.name" file in one of
// `directories` names its D-Bus service.
bool nmPluginInstalled(const NMPlugin& plugin, const std::vector<std::string>& directories = {
                                                   kNMPluginDirectory, kNMLocalPluginDirectory});

// Readable text of NetworkManager's reasons (VPN-connection and
// active-connection state reasons share their numbers; the plugin's
// failure codes are separate).
std::string nmStateReasonText(std::uint32_t reason);
std::string nmPluginFailureText(std::uint32_t failure, const std::string& plugin = {});
// "PPTP", "L2TP", "IPSec" for a plugin's short name.
std::string nmKindName(const std::string& plugin);

// Dead-peer detection of the profiles (see nmProfileFor): pppd declares
// the link dead after kNMLCPEchoFailure unanswered LCP echoes sent every
// kNMLCPEchoInterval seconds (30-40 s); vpnc asks the server after
// kNMDPDIdleSeconds of silence (its shortest) and gives up some 30 s later.
inline constexpr const char* kNMLCPEchoInterval = "10";
inline constexpr const char* kNMLCPEchoFailure = "3";
inline constexpr const char* kNMDPDIdleSeconds = "10";

// The group name of an IPSec profile whose service names none.
inline constexpr const char* kNMIPSecDefaultGroup = "VarnelVPN";

// Why a value cannot be given to NetworkManager ("" when it can), in words
// the user may read (the value itself is never repeated): a gateway is a
// host name or an IPv4 or IPv6 address; a user name, password or other
// text holds no control characters or line breaks and is UTF-8; a
// pre-shared key is printable ASCII and not empty.
std::string nmGatewayProblem(const std::string& gateway);
std::string nmTextProblem(const std::string& what, const std::string& value);
std::string nmKeyProblem(const std::string& what, const std::string& value);

class NMConnectionDriver : public ConnectionDriver {
 public:
  struct Options {
    // The bus address (empty: the system bus, which honours
    // DBUS_SYSTEM_BUS_ADDRESS).
    std::string busAddress;
    // Where the plugins' ".name" files are.
    std::vector<std::string> pluginDirectories = {kNMPluginDirectory, kNMLocalPluginDirectory};
    // The devices the plugins' programs need; an attempt that ends without
    // a reason of its own names the one that cannot be opened.
    std::string pppDevice = "/dev/ppp";
    std::string tunDevice = "/dev/net/tun";
    // The secret a service setting refers to (a keychain item's service).
    // Default: the System keychain item of that service.
    std::function<std::optional<std::string>(const std::string& reference)> secretLookup;
    // The user whose "user:<name>:" entry limits who may see and use the
    // profile (empty: a system-wide profile); setProfileOwner overrides it.
    std::string ownerUser;
    // Profiles of the session: each is added in NetworkManager's memory
    // only (its secrets never reach its folder on disk, and it never comes
    // up by itself) and deleted when its attempt ends (failed, stopped,
    // lost).
    bool sessionProfiles = false;
    // A root-only file (0600) that keeps the UUID of each session profile
    // from before NetworkManager has it until it is deleted (empty: none).
    // `removeLeftovers` deletes those it names: a run that ended without
    // deleting them (a crash) left them, or this run's own at its end.
    std::string sessionRecord;
    // Time-out of one D-Bus call, in seconds.
    double callTimeout = 20.0;
  };

  static std::shared_ptr<NMConnectionDriver> create(Options options);
  static std::shared_ptr<NMConnectionDriver> create() { return create(Options()); }
  ~NMConnectionDriver() override;

  bool start(const NetworkConnectionPtr& connection, const NetworkService& service) override;
  bool stop(const NetworkConnectionPtr& connection, bool force) override;
  // Deletes the service's profile, found by the service's identifier (its
  // UUID) only: a profile that merely has the same name is left alone.
  void removeService(const std::string& serviceID, const std::string& name) override;
  void setProfileOwner(const std::string& user) override;
  void removeLeftovers() override;

  // The profile's settings for a service, with its secrets (for tests and
  // diagnostics: never log them); nullopt with `*error` when the service
  // cannot be expressed. nmProfileFor with the driver's secret lookup.
  struct Profile {
    std::string id, uuid, serviceType;
    std::vector<std::pair<std::string, std::string>> data, secrets;
  };
  std::optional<Profile> profileFor(const NetworkService& service, std::string* error) const;

  class Worker;

 private:
  explicit NMConnectionDriver(Options options);
  Options options_;
  std::unique_ptr<Worker> worker_;
};

// The NetworkManager profile of a service, a pure function of the service
// and the secrets `secretLookup` gives for its references: the id (the
// service's name), the uuid (its identifier, lower case; empty when that is
// no UUID), the plugin's service type, the plugin's data keys and its
// secrets. nullopt with `*error` (readable, without any value) when the
// service names no type, no server, lacks a secret or holds a value that
// cannot go into a profile (nmValueProblem).
//   PPTP:  gateway, user, password-flags=0, require-mppe=yes; password
//   L2TP:  gateway, user, password-flags=0, ipsec-enabled=yes,
//          ipsec-psk-flags=0; password, ipsec-psk
//   IKEv2 (strongSwan): address, method=psk, virtual=yes, encap=no,
//          ipcomp=no, proposal=no, password-flags=0, local-identity and
//          remote-identity when set; password (the pre-shared key)
//   IPSec (vpnc, IKEv1): IPSec gateway, IPSec ID (the local identifier,
//          else "VarnelVPN"), IPSec secret-flags=0, NAT Traversal Mode=natt,
//          DPD idle timeout (our side)=kNMDPDIdleSeconds, and with XAuth:
//          Xauth username, Xauth password-flags=0; IPSec secret, Xauth
//          password
// A dead server is noticed within a minute: PPTP and L2TP carry pppd's LCP
// echoes (lcp-echo-interval=kNMLCPEchoInterval, lcp-echo-failure=
// kNMLCPEchoFailure; the plugins turn them off when unset), IPSec vpnc's
// dead-peer detection (its default waits 300 s).
std::optional<NMConnectionDriver::Profile> nmProfileFor(
    const NetworkService& service,
    const std::function<std::optional<std::string>(const std::string& reference)>& secretLookup,
    std::string* error);

// The first problem of a profile's values (see nmGatewayProblem), "" when
// every value can be given to NetworkManager.
std::string nmValueProblem(const NMConnectionDriver::Profile& profile);

}  // namespace platform::sysconfig
