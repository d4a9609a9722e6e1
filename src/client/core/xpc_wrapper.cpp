#include "client/core/xpc_wrapper.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "client/Singletons/varnel_log.h"
#include "client/core/connection_failure.h"
#include "ipc/helper_protocol.h"
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

// The client's open connections to the helper, oldest first, process-wide
// (main thread only): they outlive their wrappers, since the dialer makes a
// new wrapper for every attempt. The helper ends when the last connection
// its client spoke on ends, so a connection is closed only once a newer one
// has been answered (the helper then holds that one), or when it has failed
// for good. At most the newest answered connection and the attempts still
// in flight are open.
std::vector<std::shared_ptr<ipc::XPCConnection>>& openConnections() {
  static auto* connections = new std::vector<std::shared_ptr<ipc::XPCConnection>>();
  return *connections;
}

// `connection` was answered: every connection opened before it is closed.
void connectionAnswered(const std::shared_ptr<ipc::XPCConnection>& connection) {
  auto& open = openConnections();
  auto at = std::find(open.begin(), open.end(), connection);
  if (at == open.end()) return;  // already let go
  for (auto it = open.begin(); it != at; ++it) (*it)->connection()->cancel();
  open.erase(open.begin(), at);
}

// `connection` is of no further use (its request failed or was never
// answered): it is closed, and so is any other that has ended.
void connectionFailed(const std::shared_ptr<ipc::XPCConnection>& connection) {
  auto& open = openConnections();
  connection->connection()->cancel();
  std::erase_if(open, [&](const std::shared_ptr<ipc::XPCConnection>& c) {
    return c == connection || c->isInvalid();
  });
}

bool isExecutableFile(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The installation's own copy of `name`, else the system package's.
std::string installationExecutable(const char* name, const char* systemPath,
                                   const platform::BundlePtr& bundle) {
  if (bundle && !bundle->resourcePath().empty()) {
    std::string own = bundle->resourcePath() + "/" + name;
    if (isExecutableFile(own)) return own;
  }
  return systemPath;
}

// The operation of a connection request; a type the helper has no request
// for gets a name it does not serve, so its refusal reaches the user.
const char* operationForType(std::int64_t type) {
  const char* operation = ipc::connectionRequestOperation(type);
  return operation ? operation : ipc::kUnservedOperation;
}

ipc::XPCMessage operationMessage(const char* operation) {
  return ipc::XPCMessage::messageWithObject(ipc::Object(operation),
                                            ipc::Object(ipc::kOperationKey));
}

}  // namespace

std::shared_ptr<XPCWrapper> XPCWrapper::initWithController(
    std::weak_ptr<HelperRequestDelegate> controller) {
  return initWithController(std::move(controller), Options());
}

std::shared_ptr<XPCWrapper> XPCWrapper::initWithController(
    std::weak_ptr<HelperRequestDelegate> controller, Options options) {
  return std::shared_ptr<XPCWrapper>(new XPCWrapper(std::move(controller), options));
}

XPCWrapper::XPCWrapper(std::weak_ptr<HelperRequestDelegate> controller, Options options)
    : options_(options), controller_(std::move(controller)) {}

XPCWrapper::~XPCWrapper() {
  if (xpcPoller_) xpcPoller_->invalidate();
  if (replyWatchdog_) replyWatchdog_->invalidate();
}

std::string XPCWrapper::openVPNPath(const platform::BundlePtr& bundle) {
  return installationExecutable("openvpn", "/usr/sbin/openvpn", bundle);
}
std::string XPCWrapper::sstpLocation(const platform::BundlePtr& bundle) {
  return installationExecutable("sstpc", "/usr/sbin/sstpc", bundle);
}
std::string XPCWrapper::sstpOptions(const platform::BundlePtr& bundle) {
  return (bundle ? bundle->resourcePath() : std::string()) + "/sstp-options";
}

void XPCWrapper::SetAccount(BaseAccount::Ptr account, std::int64_t connectionType) {
  accountToUse_ = std::move(account);
  connectionType_ = connectionType;
}

Value XPCWrapper::connectionRequest(const BaseAccount& account, std::int64_t type,
                                    const platform::BundlePtr& bundle) {
  Value request = account.dictionaryRepresentation().mutableCopy();
  if (!request.isDictionary()) request = Value::mutableDictionary();
  if (type == kConnectionTypeSSTP) {
    request.set(ipc::kSSTPLocationKey, Value(sstpLocation(bundle)));
    request.set(ipc::kSSTPOptionsKey, Value(sstpOptions(bundle)));
  } else if (ipc::isOpenVPNConnectionType(type)) {
    request.set(ipc::kOpenVPNPathKey, Value(openVPNPath(bundle)));
    Value ports =
        platform::UserDefaults::standardUserDefaults()->arrayForKey(kOpenPortsDefaultsKey);
    request.set(ipc::kPortListKey, ports.isArray() ? ports : Value::array());
    if (type == kConnectionTypeOpenVPNProxy) request.set(ipc::kProxyEnabledKey, Value(true));
  }
  request.set(ipc::kOperationKey, Value(operationForType(type)));
  return request;
}

void XPCWrapper::Start() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  stopPolling();
  if (replyWatchdog_) replyWatchdog_->invalidate();
  const std::uint64_t generation = ++generation_;
  lastHelperFailure_.clear();
  // A new attempt: the helper's states from here on are its own (the helper
  // is connecting before it answers the request), so a state equal to the
  // last one of the previous attempt (a second failure) is news too.
  previousConnectionState_ = kHelperStateUnknown;

  // The helper's end of the socket must be root's before the request (with
  // the account's secrets) is written.
  auto transport = platform::xpc::Connection::createMachService(
      kHelperMachServiceName,
      options_.allowUnprivilegedHelper ? 0u : platform::xpc::Connection::kPrivileged);
  // The connections of earlier attempts stay open until this one is
  // answered (see openConnections).
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
    request = ipc::XPCMessage::messageWithXPCDictionary(ipc::XPCParse::newXPCObject(
        connectionRequest(*accountToUse_, connectionType_,
                          options_.bundle ? options_.bundle : platform::Bundle::main())));
  } catch (const std::exception&) {
    fail("The connection request could not be built.");
    return;
  }

  awaitingRequestReply_ = true;
  const std::int64_t type = connectionType_;
  auto connection = currentXPCConnection_;
  replyWatchdog_ = Timer::create(
      replyTimeout(), false,
      [weak, generation, connection](Timer&) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation || !self->awaitingRequestReply_) return;
        self->awaitingRequestReply_ = false;
        connectionFailed(connection);
        self->fail("The VarnelVPN helper does not answer.");
      },
      options_.clock);
  RunLoop::main().addTimer(replyWatchdog_, platform::runloop::kCommonModes);

  currentXPCConnection_->sendMessage(
      request,
      [weak, generation, type, connection](const ipc::XPCMessage& reply) {
        // Answered, even if too late for this attempt: the helper holds this
        // connection now, so the older ones can go.
        connectionAnswered(connection);
        auto self = weak.lock();
        // A reply after the watchdog gave up comes too late: the request has
        // already failed and must not start polling.
        if (!self || self->generation_ != generation || !self->awaitingRequestReply_) return;
        self->awaitingRequestReply_ = false;
        if (self->replyWatchdog_) self->replyWatchdog_->invalidate();
        if (reply.objectForKey(ipc::kXPCResultKey).isNil()) {
          if (type == kConnectionTypeIKEv2) {
            self->fail(
                "The IKEv2 connection type is not supported. Please choose another "
                "connection type in the preferences.");
          } else {
            // A refusal may carry its reason; the log has it otherwise.
            Value why = reply.stringForKey("message");
            if (!why.isString()) why = reply.stringForKey("error");
            std::optional<ConnectionFailure> failure;
            if (why.isString()) {
              VarnelLog::sharedInstance().AddToLog(
                  platform::format("Helper refused the request: %@", why));
              failure = classifyHelperLogLine("request refused: " + why.asString());
            }
            if (failure) {
              self->fail(failure->message);
            } else {
              self->failWithHelperReason("The VarnelVPN helper refused the connection request.");
            }
          }
          return;
        }
        self->startPolling();
      },
      [weak, generation, connection](const platform::Error& error) {
        connectionFailed(connection);
        auto self = weak.lock();
        // Likewise an error after the watchdog's failure: report one failure only.
        if (!self || self->generation_ != generation || !self->awaitingRequestReply_) return;
        self->awaitingRequestReply_ = false;
        if (self->replyWatchdog_) self->replyWatchdog_->invalidate();
        if (connection->connection()->refusedUnprivilegedService()) {
          VarnelLog::sharedInstance().AddToLog(
              platform::format("Refused the helper socket of uid %u: the helper must run as root.",
                               connection->connection()->credentials().uid));
          self->fail("The VarnelVPN helper is not running with administrator rights.");
          return;
        }
        VarnelLog::sharedInstance().AddToLog(
            platform::format("Helper request failed: %@", error.description()));
        self->fail("The VarnelVPN helper could not be reached.");
      });
}

void XPCWrapper::startPolling() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  stopPolling();
  std::weak_ptr<XPCWrapper> weak = weak_from_this();
  lastStateReply_ = platform::dispatch::nowOf(options_.clock);
  stateOutstanding_ = false;
  xpcPoller_ = Timer::create(
      kPollInterval, true,
      [weak](Timer&) {
        if (auto self = weak.lock()) self->xpcPoll();
      },
      options_.clock);
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
  if (stateOutstanding_ && platform::dispatch::nowOf(options_.clock) - lastStateReply_ >
                               std::chrono::duration<double>(replyTimeout())) {
    stopPolling();
    previousConnectionState_ = kHelperStateDisconnected;
    fail("The VarnelVPN helper stopped answering.");
    return;
  }
  std::weak_ptr<XPCWrapper> weak = weak_from_this();
  const std::uint64_t generation = generation_;
  // The log first: a failure's reason is known before the state it caused.
  currentXPCConnection_->sendMessage(
      operationMessage(ipc::kLogUpdateOperation),
      [weak, generation](const ipc::XPCMessage& reply) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        std::optional<std::string> failure = self->copyLog(reply);
        if (!failure) return;
        // Trying again repeats the same failure: end the attempt here, drop
        // the state reply that is on its way, and let the helper tear down.
        self->stopPolling();
        ++self->generation_;
        self->previousConnectionState_ = kHelperStateDisconnected;
        if (self->currentXPCConnection_)
          self->currentXPCConnection_->sendMessage(
              operationMessage(ipc::kDisconnectConnectionOperation), [](const ipc::XPCMessage&) {},
              [](const platform::Error&) {});
        self->fail(*failure);
      },
      [](const platform::Error&) {});
  stateOutstanding_ = true;
  currentXPCConnection_->sendMessage(
      operationMessage(ipc::kCurrentConnectionStateOperation),
      [weak, generation](const ipc::XPCMessage& reply) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        self->stateOutstanding_ = false;
        self->lastStateReply_ = platform::dispatch::nowOf(self->options_.clock);
        self->handleState(reply);
      },
      [weak, generation](const platform::Error&) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation || !self->isPolling()) return;
        self->helperWentAway();
      });
}

void XPCWrapper::handleState(const ipc::XPCMessage& reply) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  const auto state = static_cast<std::int32_t>(reply.integerForKey(ipc::kXPCResultKey));
  if (state == previousConnectionState_) return;
  const std::int32_t previous = previousConnectionState_;
  previousConnectionState_ = state;
  if (state == kHelperStateConnecting && previous == kHelperStateConnected) {
    // The helper lost the connection and is restoring it by itself.
    if (auto c = controller_.lock()) c->helperRequestDidLoseConnection();
    return;
  }
  if (state == kHelperStateConnected) {
    post(kVPNConnectNotification);
  } else if (state == kHelperStateDisconnected || state == kHelperStateFailed) {
    // A helper that stays in "failed" would otherwise leave the dialer
    // connecting for ever: a failure ends the attempt like a disconnect.
    stopPolling();
    // The log of this poll was read first: a failure whose reason the system
    // gave is shown with it and not tried again blindly; one without a
    // reason ends like a disconnect.
    if (state == kHelperStateFailed && !lastHelperFailure_.empty()) {
      fail(platform::format("The VPN connection failed: %@", lastHelperFailure_));
      return;
    }
    post(kVPNDisconnectNotification);
  }
}

void XPCWrapper::handleLog(const ipc::XPCMessage& reply) { copyLog(reply); }

std::optional<std::string> XPCWrapper::copyLog(const ipc::XPCMessage& reply) {
  Value text = reply.stringForKey(ipc::kXPCResultKey);
  if (!text.isString() || text.asString().size() <= 1) return std::nullopt;
  const std::string& s = text.asString();
  std::optional<std::string> permanent;
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
      if (std::optional<ConnectionFailure> failure = classifyHelperLogLine(line)) {
        if (failure->permanent) {
          if (!permanent) permanent = failure->message;
        } else if (!permanent) {
          reportProblem(failure->message);
        }
      }
    }
    start = end + 1;
  }
  return permanent;
}

void XPCWrapper::reportProblem(const std::string& message) {
  std::weak_ptr<HelperRequestDelegate> controller = controller_;
  platform::dispatch::Queue::main()->async([controller, message] {
    if (auto c = controller.lock()) c->helperRequestDidReportProblem(message);
  });
}

void XPCWrapper::failWithHelperReason(const std::string& fallback) {
  if (!currentXPCConnection_) {
    fail(fallback);
    return;
  }
  std::weak_ptr<XPCWrapper> weak = weak_from_this();
  const std::uint64_t generation = generation_;
  currentXPCConnection_->sendMessage(
      operationMessage(ipc::kLogUpdateOperation),
      [weak, generation, fallback](const ipc::XPCMessage& reply) {
        auto self = weak.lock();
        if (!self || self->generation_ != generation) return;
        self->fail(self->copyLog(reply).value_or(fallback));
      },
      [weak, generation, fallback](const platform::Error&) {
        auto self = weak.lock();
        if (self && self->generation_ == generation) self->fail(fallback);
      });
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
      operationMessage(ipc::kDisconnectConnectionOperation),
      [finish](const ipc::XPCMessage&) { finish(); },
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
