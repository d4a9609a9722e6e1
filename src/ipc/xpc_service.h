// XPCService: the listening side of the channel.
//
// A service is created with its connection handler and the check its peers
// must pass; a service made without a check admits nobody (there is no
// process-wide default). `runMachService` listens on a named service on the
// main queue. A peer that no live service admits is closed right after the
// accept, before anything it sent is read and before any connection object
// is made for it: it never reaches a handler. An admitted peer becomes an
// XPCConnection (with its own serial queue, resumed) and is posted with
// "XPCConnectionReceivedNotification"; every live service that admits it
// appends it to `connections` and calls its handler on the main operation
// queue. Refusals are counted and told by platform::xpc::PeerFaultLog (the
// first at once, then one summary a second), so a flood of refused peers
// can flood neither the log nor the service.
//
// Guarantees: `connections` only grows and keeps every connection alive for
// the service's lifetime, unless `setKeepsEndedConnections(false)`: then a
// connection is let go as soon as it has ended for good, right after its
// event handler got the final error (a long-running service, whose memory
// then comes back after a burst of short connections). A service lives as
// long as its creator holds it; once freed it admits and handles nothing.
//
// Thread safety: create services and start listeners on the main thread;
// `connections` and the handler calls are on the main queue.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/xpc_connection.h"
#include "platform/system/notification_center.h"
#include "platform/xpc/peer_credentials.h"

namespace ipc {

inline constexpr const char* kXPCConnectionReceivedNotification =
    "XPCConnectionReceivedNotification";

// Whom a service accepts: a peer passes when its uid is listed, or its gid
// is listed, or its executable (as the kernel reports it) is listed.
struct PeerRequirement {
  std::vector<uid_t> uids;
  std::vector<gid_t> gids;
  std::vector<std::string> executables;
};

class XPCService : public std::enable_shared_from_this<XPCService> {
 public:
  using ConnectionHandler = std::function<void(const std::shared_ptr<XPCConnection>&)>;
  using PeerCheck = std::function<bool(const platform::xpc::PeerCredentials&)>;

  // Stores the handler and the peer check and observes
  // "XPCConnectionReceivedNotification". Without a check (an empty one) the
  // service admits no peer at all.
  static std::shared_ptr<XPCService> create(ConnectionHandler handler, PeerCheck check);
  ~XPCService();

  // Whether this service admits a peer with these credentials.
  bool admits(const platform::xpc::PeerCredentials& credentials) const;

  // Appends `connection` and calls the handler (main queue).
  void handleConnection(const std::shared_ptr<XPCConnection>& connection);
  ConnectionHandler connectionHandler() const;
  void setConnectionHandler(ConnectionHandler handler);
  std::vector<std::shared_ptr<XPCConnection>> connections() const;
  // False: let go of connections that have ended (see Guarantees).
  void setKeepsEndedConnections(bool keep);

  // Listens on the service named by the main bundle's identifier (else the
  // program's name) with the main queue. Throws platform::Exception named
  // "Unable to create mach service." with reason "connection == NULL" when the
  // service's socket cannot be had.
  static void runMachService();
  static void runMachService(const std::string& name);
  // As above, with limits of accepted connections that a user other than
  // root, and one process of theirs, may hold before their first message
  // has been read and a service has taken them
  // (platform::xpc::Listener::setUnservedLimitPerUser; 0: none).
  static void runMachService(const std::string& name, std::size_t unservedPeersPerUser,
                             std::size_t unservedPeersPerProcess);
  // runMachService, then the main run loop forever.
  [[noreturn]] static void runService();
  [[noreturn]] static void runServiceWithConnectionHandler(ConnectionHandler handler,
                                                           PeerCheck check);

  // A check that admits the peers `requirement` lists.
  static PeerCheck peerCheckFor(PeerRequirement requirement);
  // A check that admits every peer with readable credentials. Only tests and
  // benchmarks, whose peers are their own processes, use it.
  static PeerCheck admitEveryPeerForTesting();
  // Stops every listener started by runMachService (tests).
  static void stopListenersForTesting();

 private:
  XPCService() = default;
  mutable std::mutex mutex_;
  ConnectionHandler handler_;
  PeerCheck check_;  // fixed at creation
  platform::NotificationCenter::ObserverToken observer_;
  std::vector<std::shared_ptr<XPCConnection>> connections_;
  bool keepsEndedConnections_ = true;
};

// Performs a registered operation (see XPCMessage::registerOperation): through
// `connection` when given, else locally on a global queue with copies of the
// target and the argument made through the channel conversions. The handler
// runs on the queue current at the call (a global queue when there is none).
void XPCPerformSelector(const std::shared_ptr<XPCConnection>& connection, const Object& target,
                        const std::string& selector, const Object& argument,
                        XPCConnection::ReturnValueHandler handler);

// Programs here never run in an application sandbox: false.
bool XPCSandboxCheck();
// The real user's home folder from the user database.
std::string XPCRealHomeDirectory();
// <real home>/Library/Containers/<identifier>/Data; an empty identifier uses
// the main bundle's.
std::string XPCContainerDataDirectory(const std::string& identifier = "");
// The preference `key` of the application: from its stored preferences
// (paths::preferences()/<identifier>.plist), else from
// <real home>/Library/Preferences/<identifier>.plist, else from the same file
// below XPCContainerDataDirectory(identifier). None when all three miss.
platform::Value XPCCopyAppPreference(const std::string& key, const std::string& identifier);

}  // namespace ipc
