// OpenWrapper: a direct OpenVPN connection run from the client process
// itself (not through the helper). It starts the OpenVPN executable with a
// management interface on 127.0.0.1, connects to it once OpenVPN reports it
// listening, switches on state and log reports, releases the hold, copies
// every management line into the client log, and posts
// "VPNConnectNotification" when OpenVPN reports CONNECTED and
// "VPNDisconnectNotification" once when the connection has ended.
//
// Guarantees:
//  1. One "VPNDisconnectNotification" per Start: from Disconnect, or from
//     OpenVPN's exit when nobody asked for it (a failure).
//  2. A refused management connection is logged; OpenVPN's exit still ends
//     the connection.
//  3. Disconnect blocks its caller for about 2.75 s (the delays are the
//     system's settle times; tests shorten them) and then posts on the main
//     thread, waiting for it.
//
// Thread safety: main thread; Disconnect may be called from another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/core/open_account.h"
#include "ipc/dispatch_task.h"
#include "net/sockets/dispatch_socket.h"
#include "platform/dispatch/time_source.h"
#include "platform/system/bundle.h"

namespace client {

inline constexpr std::uint16_t kDirectManagementPort = 53205;

class OpenWrapper : public net::sockets::DispatchSocketDelegate,
                    public std::enable_shared_from_this<OpenWrapper> {
 public:
  // What a wrapper is given at creation; the defaults are production's.
  struct Options {
    // OpenVPN's management port on the loopback (0: one the system picks).
    std::uint16_t managementPort = kDirectManagementPort;
    // Seconds Disconnect waits: before the signal, after it, and for the
    // routes to be restored.
    double disconnectDelays[3] = {0.5, 0.25, 2.0};
    // The time source of those waits (none: the steady clock).
    platform::dispatch::TimeSourcePtr clock;
    // The client installation whose own openvpn is preferred (nullptr: the
    // running program's).
    platform::BundlePtr bundle;
  };

  static std::shared_ptr<OpenWrapper> initWithController(std::shared_ptr<void> controller,
                                                         OpenAccount::Ptr account);
  static std::shared_ptr<OpenWrapper> initWithController(std::shared_ptr<void> controller,
                                                         OpenAccount::Ptr account,
                                                         const Options& options);
  ~OpenWrapper() override;

  void Start();
  // OpenVPN reported its management interface listening on `port`.
  void MIIsUp(std::uint16_t port);
  // Writes `text` (UTF-8) to the management socket (5 s time-out, tag 0).
  void SendToMi(const std::string& text);
  void Disconnect();
  void FireDisconnectEvent();

  // OpenVPN's command line for the account.
  std::vector<std::string> openVPNArguments() const;
  const std::string& executablePath() const { return executablePath_; }
  void setExecutablePath(std::string path) { executablePath_ = std::move(path); }
  bool isManagementConnected() const { return miConnected_; }

  void socketDidConnectToHost(const net::sockets::DispatchSocketPtr& sock, const std::string& host,
                              std::uint16_t port) override;
  void socketDidReadData(const net::sockets::DispatchSocketPtr& sock,
                         const net::sockets::SocketData& data, long tag) override;

 private:
  OpenWrapper() = default;
  void output(const platform::Bytes& chunk);

  std::shared_ptr<void> controller_;
  OpenAccount::Ptr account_;
  std::string executablePath_;
  std::uint16_t managementPort_ = kDirectManagementPort;
  std::shared_ptr<ipc::DispatchTask> task_;
  net::sockets::DispatchSocketPtr socket_;
  std::atomic<bool> miConnected_{false};
  std::atomic<bool> disconnecting_{false};
  bool observing_ = false;
  bool fired_ = false;
  std::string outputLine_, miLine_;
  double delays_[3] = {0.5, 0.25, 2.0};
  platform::dispatch::TimeSourcePtr clock_;
};

}  // namespace client
