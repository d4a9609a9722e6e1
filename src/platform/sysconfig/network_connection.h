// platform::sysconfig::NetworkConnection: starts and stops one network
// service of the preferences through a connection driver, and reports each
// status change through a callback.
//
// The driver is the piece that really brings a link up; ConnectionDriver is
// its interface. The system's driver is NMConnectionDriver (NetworkManager);
// whoever creates a connection gives it its driver and keeps that driver
// alive (the connection holds it weakly: a block on the driver's own queue
// may drop the last reference to a connection). There is no default and no
// process-wide driver: without a driver every start fails. The
// SimulatorDriver is a test double whose behaviour tests script: what
// statuses a start reports, which stop attempts fail, and drops.
//
// Guarantees:
//  1. Status reports reach the callback on the connection's dispatch queue
//     (the global queue of default priority unless set), asynchronously, in
//     the order the driver reported them.
//  2. `start` of a service that is not in the committed preferences fails
//     (false) and reports nothing.
//  3. The callback holds the connection; it is released when the callback
//     is replaced or the connection goes.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/sysconfig/preferences.h"

namespace platform::sysconfig {

enum class ConnectionStatus : std::int32_t {
  Invalid = -1,
  Disconnected = 0,
  Connecting = 1,
  Connected = 2,
  Disconnecting = 3,
};

class NetworkConnection;
using NetworkConnectionPtr = std::shared_ptr<NetworkConnection>;

class ConnectionDriver {
 public:
  virtual ~ConnectionDriver() = default;
  // Brings the service up; reports progress through connection.reportStatus.
  // False when it cannot start at all.
  virtual bool start(const NetworkConnectionPtr& connection, const NetworkService& service) = 0;
  // One stop attempt; false when it failed.
  virtual bool stop(const NetworkConnectionPtr& connection, bool force) = 0;
  // The service was removed from the preferences: forget what the driver
  // keeps for it (and for any other service of the same name).
  virtual void removeService(const std::string& serviceID, const std::string& name) {
    (void)serviceID, (void)name;
  }
  // The user the next started service is limited to (a user name).
  virtual void setProfileOwner(const std::string& user) { (void)user; }
  // Removes what the driver made for this program and an earlier run of it
  // left behind (it ended without removing it).
  virtual void removeLeftovers() {}
};

class NetworkConnection : public std::enable_shared_from_this<NetworkConnection> {
 public:
  using StatusCallback = std::function<void(const NetworkConnectionPtr& connection,
                                            ConnectionStatus status, void* context)>;
  // A connection for the service `serviceID` of `preferencesPath` (empty:
  // the default preferences file), brought up and down by `driver`.
  static NetworkConnectionPtr create(std::string serviceID, StatusCallback callback, void* context,
                                     std::string preferencesPath = {},
                                     std::shared_ptr<ConnectionDriver> driver = nullptr);

  const std::string& serviceID() const { return serviceID_; }
  void setDispatchQueue(dispatch::QueuePtr queue);
  // Starts the service through the current driver.
  bool start(const Value& userOptions, bool linger);
  // One stop attempt through the driver.
  bool stop(bool forceDisconnect);
  ConnectionStatus status() const;
  // For drivers: records the status and queues its report.
  void reportStatus(ConnectionStatus status);
  // Why the connection failed or ended (readable text, no secret); set by
  // the driver before it reports the end, or when `start` fails. Empty
  // when nothing went wrong.
  std::string failureReason() const;
  void setFailureReason(std::string reason);

  // The driver given at creation (nullptr: none, or gone).
  std::shared_ptr<ConnectionDriver> driver() const { return driver_.lock(); }

 private:
  NetworkConnection() = default;
  std::string serviceID_, preferencesPath_;
  StatusCallback callback_;
  void* context_ = nullptr;
  std::weak_ptr<ConnectionDriver> driver_;  // set once at creation
  mutable std::mutex mutex_;
  dispatch::QueuePtr queue_;
  dispatch::QueuePtr serial_;  // keeps reports in order
  ConnectionStatus status_ = ConnectionStatus::Disconnected;
  std::string failureReason_;
};

// A driver without a real link: on start it reports a scripted list of
// statuses (default: connecting, connected); a stop attempt succeeds unless
// scripted to fail, and a successful one reports disconnecting then
// disconnected.
class SimulatorDriver : public ConnectionDriver {
 public:
  bool start(const NetworkConnectionPtr& connection, const NetworkService& service) override;
  bool stop(const NetworkConnectionPtr& connection, bool force) override;

  void setStartStatuses(std::vector<ConnectionStatus> statuses);
  void setStartFails(bool fails);
  // Results of the next stop attempts, in order (then: success).
  void setStopResults(std::deque<bool> results);
  // Reports `status` on the most recently started connection (a drop).
  void report(ConnectionStatus status);

  int startCount() const;
  int stopCount() const;
  int forcedStopCount() const;
  NetworkConnectionPtr lastConnection() const;
  std::vector<NetworkService> startedServices() const;

 private:
  mutable std::mutex mutex_;
  std::vector<ConnectionStatus> startStatuses_{ConnectionStatus::Connecting,
                                               ConnectionStatus::Connected};
  bool startFails_ = false;
  std::deque<bool> stopResults_;
  int starts_ = 0, stops_ = 0, forced_ = 0;
  NetworkConnectionPtr last_;
  std::vector<NetworkService> started_;
};

}  // namespace platform::sysconfig
