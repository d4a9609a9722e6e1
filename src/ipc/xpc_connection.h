// XPCConnection: one channel connection with its own serial queue, one event
// handler, and sends with or without a reply.
//
// Guarantees:
//  1. Every incoming message and every channel error reaches the event
//     handler on `dispatchQueue`, one at a time, in arrival order. Events that
//     arrive before the first handler is set are held and handed to it when it
//     is set (a handler cleared later drops events).
//  2. A channel error arrives as a message whose only key is "__XPCError".
//     A received message that carries "__XPCError" itself, or that does not
//     convert within the budget of XPCParse (archives included), is
//     malformed: it is never handed on, and the connection ends
//     (`endedByMalformedInput` is then true).
//     A message carrying "XPCDebugLog" is logged as "LOG: %@" and not handed
//     on. Every received message sets the process's channel log level.
//  3. Sends leave in the order of the calls, from any thread. With a reply
//     callback, exactly one of the reply and error callbacks runs, on
//     `replyDispatchQueue`, or else on the queue current at the send (the main
//     queue on the main thread, a global queue on a thread outside any queue).
//  4. The credential getters read values fixed when the socket was connected
//     or accepted; they never wait for a queue, so they may be called from
//     inside the event handler.
//
// Lifetime: a connection this program opened (a client) lives while it is
// held or a reply on it is awaited; then it goes and cancels its connection,
// closing the socket, whether or not `cancel` was called. An accepted peer
// connection is held by its transport's event handler until it becomes
// invalid (the peer left or it was cancelled). Freeing the wrapper cancels
// the connection.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ipc/xpc_message.h"
#include "platform/dispatch/dispatch.h"
#include "platform/xpc/connection.h"

namespace ipc {

class XPCConnection : public std::enable_shared_from_this<XPCConnection> {
 public:
  using EventHandler = std::function<void(const XPCMessage& message,
                                          const std::shared_ptr<XPCConnection>& connection)>;
  using ReplyHandler = std::function<void(const XPCMessage& reply)>;
  using ErrorHandler = std::function<void(const platform::Error& error)>;
  using ReturnValueHandler =
      std::function<void(const Object& result, const platform::Error& error)>;

  // Wraps a transport connection: gives it a serial queue labelled with its
  // name and resumes it. nullptr for a null connection.
  static std::shared_ptr<XPCConnection> create(
      std::shared_ptr<platform::xpc::Connection> connection);
  // A connection to the named service.
  static std::shared_ptr<XPCConnection> createWithServiceName(const std::string& name);
  ~XPCConnection();

  const std::shared_ptr<platform::xpc::Connection>& connection() const { return connection_; }

  void setDispatchQueue(platform::dispatch::QueuePtr queue);
  platform::dispatch::QueuePtr dispatchQueue() const;
  void setReplyDispatchQueue(platform::dispatch::QueuePtr queue);
  platform::dispatch::QueuePtr replyDispatchQueue() const;

  void setEventHandler(EventHandler handler);
  EventHandler eventHandler() const;

  void sendMessage(XPCMessage message);
  void sendMessage(XPCMessage message, ReplyHandler reply);
  void sendMessage(XPCMessage message, ReplyHandler reply, ErrorHandler error);
  void sendSelector(const std::string& selector, const Object& target, const Object& object,
                    ReturnValueHandler handler);
  // Sends a message whose only key is "XPCDebugLog".
  void sendLog(const std::string& text);

  void suspend();
  void resume();

  // The connection's name; nullopt when it has none.
  std::optional<std::string> connectionName() const;
  std::uint32_t connectionEUID() const;
  std::uint32_t connectionEGID() const;
  std::uint32_t connectionProcessID() const;
  std::uint32_t connectionAuditSessionID() const;
  // The peer's executable as read when the socket was connected or accepted.
  std::string connectionExecutablePath() const;
  // True once the connection ended because the peer sent malformed input.
  bool endedByMalformedInput() const;
  // True once the connection has ended for good.
  bool isInvalid() const;
  // Runs `observer` once, on the connection's queue, right after the event
  // handler was given the connection's final error (ConnectionInvalid: it
  // has ended for good); at once, on the calling thread, when that has
  // already happened. A later call replaces an observer that has not run.
  // The service that keeps the connection lets go of it there.
  void setEndObserver(std::function<void()> observer);
  // Keeps `place` (the transport's unservedPlace) until releaseUnservedPlace
  // or the end of this object: the listener counts the connection as
  // unserved until its service has taken it.
  void holdUnservedPlace(std::shared_ptr<void> place);
  void releaseUnservedPlace();

  // "<XPCConnection(name, pid, euid, egid)>"
  std::string description() const;

 private:
  explicit XPCConnection(std::shared_ptr<platform::xpc::Connection> connection);
  void receive(const platform::xpc::ChannelValue& event);
  void deliver(const XPCMessage& message);

  std::shared_ptr<platform::xpc::Connection> connection_;
  mutable std::mutex mutex_;
  platform::dispatch::QueuePtr queue_, replyQueue_;
  EventHandler handler_;
  bool handlerEverSet_ = false;
  std::function<void()> endObserver_;
  bool ended_ = false;                   // the final error has been handed on
  std::vector<XPCMessage> held_;         // touched on queue_ only
  std::shared_ptr<void> unservedPlace_;  // under mutex_
};

}  // namespace ipc
