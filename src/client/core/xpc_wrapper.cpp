#include "client/core/xpc_wrapper.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "client/Singletons/varnel_log.h"
#include "ipc/xpc_parse.h"
#include "platform/foundation/format.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "platform/system/user_defaults.h"
#include "platform/xpc/connection.h"

namespace client {

namespace {

using platform::Value;
using platform::runloop::RunLoop;
using platform::runloop::Timer;

constexpr double kPollInterval = 0.5;

std::atomic<double> gReplyTimeout{20.0};
std::atomic<bool> gAllowUnprivileged{false};

// Connections stay open for the life of the process (see the header).
std::vector<std::shared_ptr<ipc::XPCConnection>>& openConnections() {
  static auto* connections = new std::vector<std::shared_ptr<ipc::XPCConnection>>();
  return *connections;
}

bool isExecutableFile(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The installation's own copy of `name`, else the system package's.
std::string installationExecutable(const char* name, const char* systemPath) {
  std::shared_ptr<const platform::Bundle> bundle = platform::Bundle::main();
  if (bundle && !bundle->resourcePath().empty()) {
    std::string own = bundle->resourcePath() + "/" + name;
    if (isExecutableFile(own)) return own;
  }
  return systemPath;
}

const char* operationForType(std::int64_t type) {
  switch (static_cast<std::uint64_t>(type)) {
    case 0:
      return "PPTPConnectionRequest";
    case 1:
      return "L2TPConnectionRequest";
    case 2:
      return "SSTPConnectionRequest";
    case 3:
    case 4:
    case 5:
      return "OpenVPNConnectionRequest";
    case 6:
      return "IPSecConnectionRequest";
    default:
      return "IntentionallyBroken";
  }
}

ipc::XPCMessage operationMessage(const char* operation) {
  return ipc::XPCMessage::messageWithObject(ipc::Object(operation), ipc::Object("operation"));
}

}  // namespace

std::shared_ptr<XPCWrapper> XPCWrapper::initWithController(
    std::weak_ptr<HelperRequestDelegate> controller) {
  return std::shared_ptr<XPCWrapper>(new XPCWrapper(std::move(controller)));
}

XPCWrapper::XPCWrapper(std::weak_ptr<HelperRequestDelegate> controller)
    : controller_(std::move(controller)) {}

XPCWrapper::~XPCWrapper() {
  if (xpcPoller_) xpcPoller_->invalidate();
  if (replyWatchdog_) replyWatchdog_->invalidate();
}

double XPCWrapper::replyTimeout() { return gReplyTimeout.load(); }
void XPCWrapper::setReplyTimeoutForTesting(double seconds) { gReplyTimeout.store(seconds); }
void XPCWrapper::setAllowUnprivilegedHelperForTesting(bool allow) {
  gAllowUnprivileged.store(allow);
}

std::string XPCWrapper::openVPNPath() {
  return installationExecutable("openvpn", "/usr/sbin/openvpn");
}
std::string XPCWrapper::sstpLocation() {
  return installationExecutable("sstpc", "/usr/sbin/sstpc");
}
std::string XPCWrapper::sstpOptions() {
  std::shared_ptr<const platform::Bundle> bundle = platform::Bundle::main();
  return (bundle ? bundle->resourcePath() : std::string()) + "/sstp-options";
}

void XPCWrapper::SetAccount(BaseAccount::Ptr account, std::int64_t connectionType) {
  accountToUse_ = std::move(account);
  connectionType_ = connectionType;
}

Value XPCWrapper::connectionRequest(const BaseAccount& account, std::int64_t type) {
  Value request = account.dictionaryRepresentation().mutableCopy();
  if (!request.isDictionary()) request = Value::mutableDictionary();
  switch (static_cast<std::uint64_t>(type)) {
    case 2:
      request.set("sstpLocation", Value(sstpLocation()));
      request.set("sstpOptions", Value(sstpOptions()));
      break;
    case 3:
    case 4:
    case 5: {
      request.set("openVPNPath", Value(openVPNPath()));
      Value ports =
          platform::UserDefaults::standardUserDefaults()->arrayForKey(kOpenPortsDefaultsKey);
      request.set("portList", ports.isArray() ? ports : Value::array());
      if (type == 5) request.set("proxyEnabled", Value(true));
      break;
    }
    default:
      break;
  }
  request.set("operation", Value(operationForType(type)));
  return request;
}

void XPCWrapper::Start() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  stopPolling();
  if (replyWatchdog_) replyWatchdog_->invalidate();
  const std::uint64_t generation = ++generation_;
  failurePending_ = false;
  lastHelperFailure_.clear();

  auto transport = platform::xpc::Connection::createMachService(
      kHelperMachServiceName, platform::xpc::Connection::kPrivileged);
  currentXPCConnection_ = ipc::XPCConnection::create(transport);
  if (!currentXPCConnection_) {
    fail("The VarnelVPN helper could not be reached.");
    return;
  }
  openConnections().push_back(currentXPCConnection_);
  std::weak_ptr<XPCWrapper> weak = weak_from_this();
  currentXPCConnection_->setEventHandler(
      [weak](const ipc::XPCMessage& message, const std::shared_ptr<ipc::XPCConnection>& c) {
        if (auto self = weak.lock()) {
          platform::dispatch::Queue::main()->async(
              [self, message, c] { self->XPCEventHandler(message, c); });
        }
      });

  if (!accountToUse_) {
    fail("No account is selected.");
    return;
  }
  ipc::XPCMessage request;
  try {
    request = ipc::XPCMessage::messageWithXPCDictionary(
        ipc::XPCParse::newXPCObject(connectionRequest(*accountToUse_, connectionType_)));
  } catch (const std::exception&) {
    fail("The connection request could not be built.");
    return;
  }

  awaitingRequestReply_ = true;
  replyWatchdog_ = Timer::create(replyTimeout(), false, [weak, generation](Timer&) {
    auto self = weak.lock();
    if (!self || self->generation_ != generation || !self->awaitingRequestReply_) return;
    self->awaitingRequestReply_ = false;
    self->fail("The VarnelVPN helper does not answer.");
  });
  RunLoop::main().addTimer(replyWatchdog_, platform::runloop::kCommonModes);

  const std::int64_t type = connectionType_;
  auto connection = currentXPCConnection_;
  currentXPCConnection_->sendMessage(
      request,
      [weak, generation, type, connection](const ipc::XPCMessage& reply) {
        auto self = weak.lock();
        // A reply after the watchdog gave up comes too late: the request has
        // already failed and must not start polling.
        if (!self || self->generation_ != generation || !self->awaitingRequestReply_) return;
        self->awaitingRequestReply_ = false;
        if (self->replyWatchdog_) self->replyWatchdog_->invalidate();
        if (!gAllowUnprivileged.load() && connection->connectionEUID() != 0) {
          self->fail("The VarnelVPN helper is not running with administrator rights.");
          return;
        }
        if (reply.objectForKey(ipc::kXPCResultKey).isNil()) {
          self->fail(type == kConnectionTypeIKEv2
                         ? "The IKEv2 connection type is not supported. Please choose another "
                           "connection type in the preferences."
                         : "The VarnelVPN helper refused the connection request.");
          return;
        }
        self->startPolling();
      },
      [weak, generation](const platform::Error& error) {
        auto self = weak.lock();
        // Likewise an error after the watchdog's failure: report one failure only.
        if (!self || self->generation_ != generation || !self->awaitingRequestReply_) return;
        self->awaitingRequestReply_ = false;
        if (self->replyWatchdog_) self->replyWatchdog_->invalidate();
        VarnelLog::sharedInstance().AddToLog(
            platform::format("Helper request failed: %@", error.description()));
        self->fail("The VarnelVPN helper could not be reached.");
      });
}

void XPCWrapper::startPolling() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  stopPolling();
  std::weak_ptr<XPCWrapper> weak = weak_from_this();
  lastStateReply_ = platform::runloop::Clock::now();
  stateOutstanding_ = false;
  xpcPoller_ = Timer::create(kPollInterval, true, [weak](Timer&) {
    if (auto self = weak.lock()) self->xpcPoll();
  });
  RunLoop::main().addTimer(xpcPoller_, platform::runloop::kDefaultMode);
}

void XPCWrapper::stopPolling() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (xpcPoller_) xpcPoller_->invalidate();
  xpcPoller_.reset();
}

void XPCWrapper::xpcPoll() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (!currentXPCConnection_) return;
  // A helper that leaves the state poll unanswered for too long has hung.
  if (stateOutstanding_ && platform::runloop::Clock::now() - lastStateReply_ >
                               std::chrono::duration<double>(replyTimeout())) {
    stopPolling();
    previousConnectionState_ = kHelperStateDisconnected;
    fail("The VarnelVPN helper stopped answering.");
    return;
  }
  std::weak_ptr<XPCWrapper> weak = weak_from_this();
  const std::uint64_t generation = generation_;
  stateOutstanding_ = true;
  currentXPCConnection_->sendMessage(
      operationMessage("CurrentConnectionState"),
      [weak, generation](const ipc::XPCMessage& reply) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        self->stateOutstanding_ = false;
        self->lastStateReply_ = platform::runloop::Clock::now();
        self->handleState(reply);
      },
      [weak, generation](const platform::Error&) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation || !self->isPolling()) return;
        self->helperWentAway();
      });
  currentXPCConnection_->sendMessage(
      operationMessage("LogUpdate"),
      [weak, generation](const ipc::XPCMessage& reply) {
        auto self = weak.lock();
        if (self && self->generation_ == generation) self->handleLog(reply);
      },
      [weak, generation](const platform::Error&) {
        auto self = weak.lock();
        if (self && self->generation_ == generation) self->settleFailure();
      });
}

void XPCWrapper::handleState(const ipc::XPCMessage& reply) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  const auto state = static_cast<std::int32_t>(reply.integerForKey(ipc::kXPCResultKey));
  if (state == previousConnectionState_) return;
  previousConnectionState_ = state;
  if (state == kHelperStateConnected) {
    post(kVPNConnectNotification);
  } else if (state == kHelperStateDisconnected || state == kHelperStateFailed) {
    // A helper that stays in "failed" would otherwise leave the dialer
    // connecting for ever: a failure ends the attempt like a disconnect.
    stopPolling();
    if (state == kHelperStateFailed) {
      // The log reply of this poll follows; it may carry the reason.
      failurePending_ = true;
      return;
    }
    post(kVPNDisconnectNotification);
  }
}

void XPCWrapper::settleFailure() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (!failurePending_) return;
  failurePending_ = false;
  // A failure whose reason the system gave is shown with it and not tried
  // again blindly; one without a reason ends like a disconnect.
  if (!lastHelperFailure_.empty())
    fail(platform::format("The VPN connection failed: %@", lastHelperFailure_));
  else
    post(kVPNDisconnectNotification);
}

void XPCWrapper::handleLog(const ipc::XPCMessage& reply) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  Value text = reply.stringForKey(ipc::kXPCResultKey);
  if (text.isString() && text.asString().size() > 1) {
    const std::string& s = text.asString();
    std::size_t start = 0;
    while (start <= s.size()) {
      std::size_t end = s.find('\n', start);
      if (end == std::string::npos) end = s.size();
      if (end - start > 1) {
        const std::string line = s.substr(start, end - start);
        VarnelLog::sharedInstance().AddToLog(line);
        // The system's reason for the end of a network service.
        for (const char* marker : {" ended: ", " could not be started: "}) {
          const std::size_t at = line.find(marker);
          if (at != std::string::npos) lastHelperFailure_ = line.substr(at + std::strlen(marker));
        }
      }
      start = end + 1;
    }
  }
  settleFailure();
}

void XPCWrapper::helperWentAway() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  stopPolling();
  VarnelLog::sharedInstance().AddToLog("The connection to the VarnelVPN helper was lost.");
  if (previousConnectionState_ == kHelperStateDisconnected) return;
  previousConnectionState_ = kHelperStateDisconnected;
  post(kVPNDisconnectNotification);
}

void XPCWrapper::Disconnect() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (!currentXPCConnection_) return;
  std::weak_ptr<XPCWrapper> weak = weak_from_this();
  const std::uint64_t generation = generation_;
  auto finish = [weak, generation] {
    auto self = weak.lock();
    if (!self || self->generation_ != generation) return;
    // Without a poll nobody would report the end: report it here.
    if (!self->isPolling() && !self->awaitingRequestReply_) {
      self->previousConnectionState_ = kHelperStateDisconnected;
      self->post(kVPNDisconnectNotification);
    }
  };
  currentXPCConnection_->sendMessage(
      operationMessage("DisconnectConnection"), [finish](const ipc::XPCMessage&) { finish(); },
      [weak, generation, finish](const platform::Error&) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        // The helper is gone, and with it the connection it ran.
        self->stopPolling();
        self->awaitingRequestReply_ = false;
        finish();
      });
}

void XPCWrapper::XPCEventHandler(const ipc::XPCMessage&,
                                 const std::shared_ptr<ipc::XPCConnection>&) {}

void XPCWrapper::fail(const std::string& message) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  stopPolling();
  VarnelLog::sharedInstance().AddToLog(message);
  // Never inside Start or Disconnect: the caller may be changing its own state.
  std::weak_ptr<HelperRequestDelegate> controller = controller_;
  platform::dispatch::Queue::main()->async([controller, message] {
    if (auto c = controller.lock()) c->helperRequestDidFail(message);
  });
}

void XPCWrapper::post(const char* name) {
  platform::NotificationCenter::defaultCenter().post(name);
}

}  // namespace client
