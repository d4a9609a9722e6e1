// XPCWrapper: the client's side of the client-helper message protocol, and
// the only client code that speaks the channel.
//
// For each `Start` it opens a privileged connection to the Mach service
// "VarnelHelper", sends one connection request built from the stored account
// and connection type and, once the helper has answered, polls it every
// 0.5 s ("LogUpdate", then "CurrentConnectionState") on the main run loop in
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
//  1a. The helper's log lines are read before its state in each poll, and
//     each is classified (connection_failure.h): a permanent failure (a
//     refused request or password, a missing component) stops the poll,
//     drops the poll's pending state reply, asks the helper to tear the
//     attempt down and ends in helperRequestDidFail with the plain message,
//     so the dialer does not retry it; a transient problem goes to
//     helperRequestDidReportProblem and the attempt goes on. A refused
//     connection request takes its reason from the reply's "error" text, or
//     else reads the helper's log once for it.
//  2. State changes to 1 (disconnected) and 2 (failed) both post
//     "VPNDisconnectNotification" and stop the poll. A poll whose send fails (the helper went away)
//     stops the poll and is reported as "VPNDisconnectNotification" unless the last state seen was
//     already 1; a helper that stops answering the poll is a failure (1).
//  2a. A change from 5 (connected) to 3 (connecting) is the helper restoring a
//     lost connection by itself: it goes to the delegate's
//     helperRequestDidLoseConnection, and the next 5 posts
//     "VPNConnectNotification" again.
//  3. Replies of an earlier Start never act on a later one; a Start stops
//     the poll of the previous one and forgets its last state, so every
//     state of a restarted attempt is reported as it comes (a retry that
//     fails like the attempt before it ends like that one did).
//  4. The helper tears down and ends when the last of the client's
//     connections ends. So every connection stays open (process-wide,
//     beyond its wrapper) until a newer one has been answered, and is closed
//     then; one whose request fails or goes unanswered is closed at once.
//     Over any number of attempts the client holds the newest answered
//     connection plus the attempts still in flight.
//  4a. The helper's end of the socket must belong to root (unless
//     Options::allowUnprivilegedHelper): it is checked right after connect,
//     before the request is written; a helper socket of another user gets
//     nothing and the attempt fails with "The VarnelVPN helper is not
//     running with administrator rights.".
//  5. Every executable path sent to the helper belongs to the client's
//     installation: its own copy when it ships one, else the system's.
//
// Thread safety: main thread only (Start, Disconnect, the callbacks, the timer).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/core/base_account.h"
#include "client/core/connection_state.h"
#include "client/core/helper_request.h"
#include "ipc/helper_protocol.h"
#include "ipc/xpc_connection.h"
#include "ipc/xpc_message.h"
#include "platform/dispatch/queue_checker.h"
#include "platform/dispatch/time_source.h"
#include "platform/foundation/value.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/bundle.h"

namespace client {

inline constexpr const char* kHelperMachServiceName = ipc::kHelperServiceName;
inline constexpr const char* kOpenPortsDefaultsKey = "OpenPorts";

class XPCWrapper : public HelperRequest, public std::enable_shared_from_this<XPCWrapper> {
 public:
  // What a wrapper is given at creation; the defaults are production's.
  struct Options {
    // Seconds a request may stay unanswered before the helper counts as
    // unreachable.
    double replyTimeout = 20.0;
    // Accept a helper that does not run as root. Only tests, which run the
    // helper as an ordinary user, set it; production demands root.
    bool allowUnprivilegedHelper = false;
    // The time of the poll, the reply watchdog and the hang check
    // (nullptr: the steady clock; tests give a manual one).
    platform::dispatch::TimeSourcePtr clock;
    // The client installation whose own tools the requests name (nullptr:
    // the running program's).
    platform::BundlePtr bundle;
  };

  // initWithController: the delegate receives failures (held weakly).
  static std::shared_ptr<XPCWrapper> initWithController(
      std::weak_ptr<HelperRequestDelegate> controller);
  static std::shared_ptr<XPCWrapper> initWithController(
      std::weak_ptr<HelperRequestDelegate> controller, Options options);
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

  // The request `Start` sends for `account` and `type` from the client
  // installation `bundle`.
  static platform::Value connectionRequest(
      const BaseAccount& account, std::int64_t type,
      const platform::BundlePtr& bundle = platform::Bundle::main());
  // The executables and files of the installation `bundle` sent with
  // requests (its own copies where it has them, else the system's).
  static std::string openVPNPath(const platform::BundlePtr& bundle = platform::Bundle::main());
  static std::string sstpLocation(const platform::BundlePtr& bundle = platform::Bundle::main());
  static std::string sstpOptions(const platform::BundlePtr& bundle = platform::Bundle::main());

  // Seconds a request may stay unanswered (Options::replyTimeout).
  double replyTimeout() const { return options_.replyTimeout; }

 private:
  XPCWrapper(std::weak_ptr<HelperRequestDelegate> controller, Options options);
  void stopPolling();
  void fail(const std::string& message);
  void startPolling();
  void handleState(const ipc::XPCMessage& reply);
  void handleLog(const ipc::XPCMessage& reply);
  void helperWentAway();
  // Reads the helper's pending log lines, then fails with the permanent
  // reason found there, or with `fallback`.
  void failWithHelperReason(const std::string& fallback);
  // Copies `reply`'s lines to the client log; the first permanent failure
  // among them (transient problems go to the delegate as they come).
  std::optional<std::string> copyLog(const ipc::XPCMessage& reply);
  void reportProblem(const std::string& message);
  void post(const char* name);

  const Options options_;
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
  std::string lastHelperFailure_;  // the helper's reason of this request's end
  // Asserts (in checked builds) that the main-thread-only members run on the
  // main queue.
  platform::dispatch::QueueChecker mainQueue_{platform::dispatch::Queue::main()};
};

}  // namespace client
