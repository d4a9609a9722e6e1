// XPCWrapper: the client's side of the client-helper message protocol, and
// the only client code that speaks the channel.
//
// For each `Start` it opens a privileged connection to the Mach service
// "VarnelHelper", sends one connection request built from the stored account
// and connection type and, once the helper has answered, polls it every
// 0.5 s ("CurrentConnectionState", then "LogUpdate") on the main run loop in
// the default mode only (polling pauses while the loop runs another mode, a
// menu being tracked or a modal panel). State changes to 5 and 1 become
// "VPNConnectNotification" and "VPNDisconnectNotification"; the helper's log
// lines are copied into the client log.
//
// Guarantees:
//  1. Every connect either reaches the poll or ends in the delegate's
//     helperRequestDidFail: a send that fails, a helper that does not answer
//     within replyTimeout(), a reply without "result" to the connection
//     request (the helper does not serve the operation) and a helper peer
//     that is not root all end the attempt with a message. The delegate is
//     called on the main queue, never inside Start or Disconnect.
//  2. State changes to 1 (disconnected) and 2 (failed) both post
//     "VPNDisconnectNotification" and stop the poll. A poll whose send fails (the helper went away)
//     stops the poll and is reported as "VPNDisconnectNotification" unless the last state seen was
//     already 1; a helper that stops answering the poll is a failure (1).
//  3. Replies of an earlier Start never act on a later one; a Start stops
//     the poll of the previous one.
//  4. Connections stay open until the process ends (the helper takes the end
//     of a client connection as the end of the client and tears down).
//  5. Every executable path sent to the helper belongs to the client's
//     installation: its own copy when it ships one, else the system's.
//
// Thread safety: main thread only (Start, Disconnect, the callbacks, the timer).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/core/base_account.h"
#include "client/core/connection_state.h"
#include "client/core/helper_request.h"
#include "ipc/xpc_connection.h"
#include "ipc/xpc_message.h"
#include "platform/dispatch/queue_checker.h"
#include "platform/foundation/value.h"
#include "platform/runloop/run_loop.h"

namespace client {

inline constexpr const char* kHelperMachServiceName = "VarnelHelper";
inline constexpr const char* kOpenPortsDefaultsKey = "OpenPorts";

class XPCWrapper : public HelperRequest, public std::enable_shared_from_this<XPCWrapper> {
 public:
  // initWithController: the delegate receives failures (held weakly).
  static std::shared_ptr<XPCWrapper> initWithController(
      std::weak_ptr<HelperRequestDelegate> controller);
  ~XPCWrapper() override;

  void SetAccount(BaseAccount::Ptr account, std::int64_t connectionType) override;
  void Start() override;
  void Disconnect() override;
  bool hasConnection() const override { return currentXPCConnection_ != nullptr; }

  // One poll cycle; the poll timer calls it.
  void xpcPoll();
  // Unasked messages and channel events of the wrapper's connections: ignored.
  void XPCEventHandler(const ipc::XPCMessage& message,
                       const std::shared_ptr<ipc::XPCConnection>& connection);

  std::int32_t previousConnectionState() const { return previousConnectionState_; }
  void setPreviousConnectionState(std::int32_t state) { previousConnectionState_ = state; }
  std::int64_t connectionType() const { return connectionType_; }
  void setConnectionType(std::int64_t type) { connectionType_ = type; }
  bool isPolling() const { return xpcPoller_ != nullptr; }
  const std::shared_ptr<ipc::XPCConnection>& currentXPCConnection() const {
    return currentXPCConnection_;
  }

  // The request `Start` sends for `account` and `type`.
  static platform::Value connectionRequest(const BaseAccount& account, std::int64_t type);
  // The executables and files of the installation sent with requests.
  static std::string openVPNPath();
  static std::string sstpLocation();
  static std::string sstpOptions();

  // Seconds a request may stay unanswered before the helper counts as
  // unreachable (default 20).
  static double replyTimeout();
  static void setReplyTimeoutForTesting(double seconds);
  // Tests run the helper as an ordinary user; production demands root.
  static void setAllowUnprivilegedHelperForTesting(bool allow);

 private:
  explicit XPCWrapper(std::weak_ptr<HelperRequestDelegate> controller);
  void stopPolling();
  void fail(const std::string& message);
  void startPolling();
  void handleState(const ipc::XPCMessage& reply);
  void handleLog(const ipc::XPCMessage& reply);
  // Ends a failure the helper reported, once the log reply of the same poll
  // has brought its reason (or not).
  void settleFailure();
  void helperWentAway();
  void post(const char* name);

  BaseAccount::Ptr accountToUse_;
  std::weak_ptr<HelperRequestDelegate> controller_;
  std::shared_ptr<ipc::XPCConnection> currentXPCConnection_;
  std::shared_ptr<platform::runloop::Timer> xpcPoller_;
  std::shared_ptr<platform::runloop::Timer> replyWatchdog_;
  std::int32_t previousConnectionState_ = 0;
  std::int64_t connectionType_ = 0;
  std::uint64_t generation_ = 0;       // bumped by every Start
  bool awaitingRequestReply_ = false;  // the connection request is unanswered
  platform::runloop::Clock::time_point lastStateReply_{};
  bool stateOutstanding_ = false;  // a state poll is unanswered
  bool failurePending_ = false;    // the helper said "failed"; its log reply is due
  std::string lastHelperFailure_;  // the helper's reason of this request's end
  // Asserts (in checked builds) that the main-thread-only members run on the
  // main queue.
  platform::dispatch::QueueChecker mainQueue_{platform::dispatch::Queue::main()};
};

}  // namespace client
