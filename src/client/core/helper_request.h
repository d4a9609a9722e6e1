// HelperRequest: what the dialer's state machine needs of a helper request
// object, and how such an object reports a failure back.
//
// A request object carries one connect for one account and connection type:
// `Start` (again, to retry or reconnect) opens a connection to the helper and
// asks it to connect; `Disconnect` asks it to tear the connection down. The
// object reports the helper's state changes as "VPNConnectNotification" and
// "VPNDisconnectNotification" (connection_state.h), a connection the helper
// is restoring by itself through its delegate, and every failure that
// the notifications cannot express (unreachable helper, refused request,
// helper that stopped answering) through its delegate, so that the dialer
// always ends in a visible state.
//
// The one real implementation speaks the channel (XPCWrapper); tests may
// substitute their own through the dialer's factory.
//
// Thread safety: main thread only (the implementation, XPCWrapper, checks it
// in checked builds).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "client/core/base_account.h"

namespace client {

class HelperRequestDelegate {
 public:
  virtual ~HelperRequestDelegate() = default;
  // The connect or disconnect cannot go on; `message` is for the user.
  // Main thread.
  virtual void helperRequestDidFail(const std::string& message) { (void)message; }
  // A problem that does not end the attempt (the server cannot be reached
  // yet, OpenVPN keeps trying); `message` is for the user. Main thread.
  virtual void helperRequestDidReportProblem(const std::string& message) { (void)message; }
  // The helper reports that the connection it had up is gone and that it is
  // restoring it (its state went from connected back to connecting). Called
  // in the poll that saw it, before any later state of that poll. Main thread.
  virtual void helperRequestDidLoseConnection() {}
};

class HelperRequest {
 public:
  virtual ~HelperRequest() = default;
  // Stores the account and type for the next Start; sends nothing.
  virtual void SetAccount(BaseAccount::Ptr account, std::int64_t connectionType) = 0;
  // Opens a new connection and sends the connection request.
  virtual void Start() = 0;
  // Sends the disconnect request when the object has a connection.
  virtual void Disconnect() = 0;
  // True once Start has opened a connection.
  virtual bool hasConnection() const = 0;
};

using HelperRequestFactory =
    std::function<std::shared_ptr<HelperRequest>(std::weak_ptr<HelperRequestDelegate> delegate)>;

}  // namespace client
