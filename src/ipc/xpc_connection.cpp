#include "ipc/xpc_connection.h"

#include <sys/syscall.h>
#include <unistd.h>

#include "ipc/xpc_log.h"
#include "platform/foundation/format.h"

namespace ipc {

using platform::dispatch::Queue;
using platform::dispatch::QueuePtr;
using platform::xpc::ChannelType;
using platform::xpc::ChannelValue;

namespace {

bool onMainThread() { return ::syscall(SYS_gettid) == ::getpid(); }

QueuePtr currentQueueForReplies() {
  if (QueuePtr q = Queue::current()) return q;
  return onMainThread() ? Queue::main() : Queue::global();
}

}  // namespace

XPCConnection::XPCConnection(std::shared_ptr<platform::xpc::Connection> connection)
    : connection_(std::move(connection)) {}

std::shared_ptr<XPCConnection> XPCConnection::create(
    std::shared_ptr<platform::xpc::Connection> connection) {
  if (!connection) return nullptr;
  auto self = std::shared_ptr<XPCConnection>(new XPCConnection(connection));
  if (connection->role() == platform::xpc::Connection::Role::Client) {
    // A connection this program opened lives while the program holds it (or
    // awaits a reply on it): released, it cancels and its socket closes, so
    // neither end keeps a descriptor for a connection nobody uses.
    std::weak_ptr<XPCConnection> weak = self;
    connection->setEventHandler([weak](const ChannelValue& event) {
      if (auto strong = weak.lock()) strong->receive(event);
    });
  } else {
    // An accepted peer is served until it leaves or is cancelled: the
    // transport's handler holds the wrapper while events can still come.
    connection->setEventHandler([self](const ChannelValue& event) { self->receive(event); });
  }
  self->queue_ = Queue::createSerial(connection->name());
  connection->setTargetQueue(self->queue_);
  connection->resume();
  return self;
}

std::shared_ptr<XPCConnection> XPCConnection::createWithServiceName(const std::string& name) {
  return create(platform::xpc::Connection::createMachService(name));
}

XPCConnection::~XPCConnection() { connection_->cancel(); }

void XPCConnection::setDispatchQueue(QueuePtr queue) {
  if (!queue) return;
  std::lock_guard<std::mutex> lock(mutex_);
  queue_ = queue;
  connection_->setTargetQueue(queue);
}

QueuePtr XPCConnection::dispatchQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_;
}

void XPCConnection::setReplyDispatchQueue(QueuePtr queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  replyQueue_ = std::move(queue);
}

QueuePtr XPCConnection::replyDispatchQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return replyQueue_;
}

void XPCConnection::setEventHandler(EventHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
  if (!handler_) return;
  handlerEverSet_ = true;
  if (held_.empty()) return;
  // Hand the held events over on the connection's queue, in order.
  auto self = shared_from_this();
  queue_->async([self] {
    std::vector<XPCMessage> held;
    EventHandler h;
    {
      std::lock_guard<std::mutex> heldLock(self->mutex_);
      held.swap(self->held_);
      h = self->handler_;
    }
    if (!h) return;
    for (const auto& m : held) h(m, self);
  });
}

XPCConnection::EventHandler XPCConnection::eventHandler() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handler_;
}

// On the connection's queue.
void XPCConnection::receive(const ChannelValue& event) {
  XPCMessage message;
  if (event.type() == ChannelType::Error) {
    ChannelValue d = ChannelValue::dictionary();
    d.set(kXPCErrorKey, event);
    message = XPCMessage(d);
  } else if (event.type() == ChannelType::Dictionary) {
    // Only the channel itself makes error messages, and a message must
    // convert within the budget: anything else ends this connection before
    // any of it is used.
    std::string reason;
    if (event.get(kXPCErrorKey)) {
      reason = "a message carries the reserved key __XPCError";
    } else if (!XPCParse::fitsConversionBudget(event, &reason)) {
      reason = "the message does not fit the conversion budget: " + reason;
    }
    if (!reason.empty()) {
      // Told, with the count of the rest of a flood, by the transport.
      connection_->cancelForMalformedInput(reason);
      return;
    }
    message = XPCMessage(event);
    setChannelLogLevel(message.logLevel());
  } else {
    return;
  }
  Object debugLog = message.objectForKey(kXPCDebugLogKey);
  if (!debugLog.isNil()) {
    channelLog(platform::format("LOG: %@", debugLog.description()));
    return;
  }
  deliver(message);
  if (event.type() == ChannelType::Error &&
      event.errorValue() == platform::xpc::ChannelError::ConnectionInvalid) {
    std::function<void()> observer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
      observer.swap(endObserver_);
    }
    if (observer) observer();
  }
}

void XPCConnection::setEndObserver(std::function<void()> observer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ended_) {
      endObserver_ = std::move(observer);
      return;
    }
  }
  if (observer) observer();
}

void XPCConnection::holdUnservedPlace(std::shared_ptr<void> place) {
  std::lock_guard<std::mutex> lock(mutex_);
  unservedPlace_ = std::move(place);
}

void XPCConnection::releaseUnservedPlace() {
  std::shared_ptr<void> place;  // given back outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  place.swap(unservedPlace_);
}

// On the connection's queue.
void XPCConnection::deliver(const XPCMessage& message) {
  std::vector<XPCMessage> held;
  EventHandler h;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handlerEverSet_ || (!held_.empty())) {
      held_.push_back(message);
      if (!handlerEverSet_) return;
      held.swap(held_);
    }
    h = handler_;
  }
  if (!h) return;
  auto self = shared_from_this();
  if (held.empty()) {
    h(message, self);
    return;
  }
  for (const auto& m : held) h(m, self);
}

void XPCConnection::sendMessage(XPCMessage message) {
  sendMessage(std::move(message), nullptr, nullptr);
}

void XPCConnection::sendMessage(XPCMessage message, ReplyHandler reply) {
  sendMessage(std::move(message), std::move(reply), nullptr);
}

void XPCConnection::sendMessage(XPCMessage message, ReplyHandler reply, ErrorHandler error) {
  std::uint32_t level = channelLogLevel();
  message.setLogLevel(level);
  if (level >= 4) channelLog(platform::format("Sending message %@", message.description()));
  // Handed to the transport on the caller's thread: it encodes the message
  // and writes it in call order (from any thread), so a hop through the
  // connection's queue would only add a thread hand-off to every request
  // and every reply.
  if (!reply) {
    connection_->send(message.getXPCDictionary());
    return;
  }
  message.setNeedsDirectReply(true);
  QueuePtr replyQueue = replyDispatchQueue();
  if (!replyQueue) replyQueue = currentQueueForReplies();
  ChannelValue dict = message.getXPCDictionary();
  // The awaited reply holds the wrapper: released meanwhile, the connection
  // still delivers it (or its error), then goes.
  auto onReply = [reply, error, self = shared_from_this()](const ChannelValue& result) {
    if (result.type() == ChannelType::Error) {
      if (error) {
        error(XPCMessage::errorForXPCObject(result));
      } else if (channelLogLevel() != 0) {
        if (result.errorValue() == platform::xpc::ChannelError::ConnectionInvalid) {
          channelLog("Connection is invalid");
        } else if (result.errorValue() == platform::xpc::ChannelError::ConnectionInterrupted) {
          channelLog("Connection was interrupted");
        }
      }
      return;
    }
    reply(XPCMessage(result));
  };
  connection_->sendWithReply(dict, std::move(replyQueue), std::move(onReply));
}

void XPCConnection::sendSelector(const std::string& selector, const Object& target,
                                 const Object& object, ReturnValueHandler handler) {
  XPCMessage m = XPCMessage::messageWithSelector(selector, target, object);
  sendMessage(
      m,
      [handler](const XPCMessage& reply) {
        platform::Error error;
        Object result = reply.invocationReturnValue(&error);
        if (handler) handler(result, error);
      },
      [handler](const platform::Error& error) {
        if (handler) handler(Object(), error);
      });
}

void XPCConnection::sendLog(const std::string& text) {
  sendMessage(XPCMessage::messageWithObject(Object(text), Object(kXPCDebugLogKey)));
}

void XPCConnection::suspend() {
  auto connection = connection_;
  dispatchQueue()->async([connection] { connection->suspend(); });
}

void XPCConnection::resume() {
  auto connection = connection_;
  dispatchQueue()->async([connection] { connection->resume(); });
}

std::optional<std::string> XPCConnection::connectionName() const {
  if (connection_->name().empty()) return std::nullopt;
  return connection_->name();
}

std::uint32_t XPCConnection::connectionEUID() const {
  return static_cast<std::uint32_t>(connection_->credentials().uid);
}

std::uint32_t XPCConnection::connectionEGID() const {
  return static_cast<std::uint32_t>(connection_->credentials().gid);
}

std::uint32_t XPCConnection::connectionProcessID() const {
  return static_cast<std::uint32_t>(connection_->credentials().pid);
}

std::uint32_t XPCConnection::connectionAuditSessionID() const {
  return connection_->credentials().auditSessionID();
}

bool XPCConnection::endedByMalformedInput() const { return connection_->endedByMalformedInput(); }

bool XPCConnection::isInvalid() const { return connection_->isInvalid(); }

std::string XPCConnection::connectionExecutablePath() const {
  return connection_->credentials().executable;
}

std::string XPCConnection::description() const {
  auto name = connectionName();
  return platform::format("<%@(%@, %@, %@, %@)>", "XPCConnection",
                          name ? platform::Value(*name) : platform::Value(), connectionProcessID(),
                          connectionEUID(), connectionEGID());
}

}  // namespace ipc
