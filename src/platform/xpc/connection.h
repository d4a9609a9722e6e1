// platform::xpc::Connection and Listener: the message channel's transport.
//
// A connection is one Unix-domain stream socket carrying framed channel
// dictionaries (wire_codec.h). Replies are matched to requests by serial
// number; file descriptors travel with SCM_RIGHTS. Every socket is
// close-on-exec and every send uses MSG_NOSIGNAL. Input is read and decoded
// on the dispatch reactor's thread as it arrives (a large burst goes on on
// the connection's own io queue), and each event or reply is posted from
// there straight to its queue; a send writes on the caller's thread when
// nothing is queued ahead of it.
//
// Guarantees:
//  1. A connection starts suspended; nothing is read or delivered before the
//     first `resume`. Events (received dictionaries and error events) run on
//     the target queue one at a time, in the order they were received.
//  2. Sends from any thread leave in the order of the calls. A client
//     connection connects on its first send; after an interruption the next
//     send connects again (and so may start the service on demand).
//  3. A reply handler runs exactly once, on the queue given with the send:
//     with the reply dictionary, or with an error value when the connection
//     is interrupted or invalid before the reply arrives.
//  4. A malformed or oversized frame invalidates that connection only (it is
//     counted and told by PeerFaultLog, at a bounded rate), and
//     so does a peer (accepted) connection that starts a frame and does not
//     complete it within kPeerFrameTimeout seconds, or announces a frame over
//     kMaxPeerFrame bytes. Such an end is told apart from a close by the
//     other side (`endedByMalformedInput`).
//  5. Peer credentials are read when the socket is connected or accepted and
//     never change afterwards; reading them never waits for a queue.
//
// Which socket event gives which error:
//  - client connection: the service closes or resets the socket ->
//    ConnectionInterrupted (the next send reconnects); the socket cannot be
//    connected (no such service, refused), `cancel`, or a malformed frame ->
//    ConnectionInvalid (final).
//  - peer connection (accepted by a listener): end of file, reset, `cancel`
//    or a malformed frame -> ConnectionInvalid (final).
// After ConnectionInvalid has been delivered the event handler is released.
//
// Not promised: delivery of messages sent before an interruption; a message
// handed to `send` after the peer closed is dropped (its reply handler gets
// the error).
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"
#include "platform/xpc/channel_value.h"
#include "platform/xpc/peer_credentials.h"

namespace platform::xpc {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  enum class Role { Client, Peer };
  // Flags of createMachService. kPrivileged: the service must run as root.
  // Right after each connect the socket's other end is checked (SO_PEERCRED);
  // when it is not uid 0 the socket is closed before a byte is written, and
  // the connection ends with ConnectionInvalid (refusedUnprivilegedService).
  static constexpr unsigned kPrivileged = 1u << 1;
  // Limits of peer connections (see guarantee 4).
  static constexpr double kPeerFrameTimeout = 10.0;
  static constexpr std::size_t kMaxPeerFrame = 16u << 20;

  using EventHandler = std::function<void(const ChannelValue& event)>;
  using ReplyHandler = std::function<void(const ChannelValue& replyOrError)>;

  // A client connection to the named service (its socket in the runtime
  // folder). A name that maps to no valid path gives a connection whose first
  // send fails with ConnectionInvalid.
  static std::shared_ptr<Connection> createMachService(const std::string& name, unsigned flags = 0);
  // A client connection to an explicit socket path.
  static std::shared_ptr<Connection> createWithSocketPath(const std::string& name,
                                                          const std::string& path);
  // Wraps a connected socket (takes ownership). Used by the listener, and by
  // tests over a socket pair.
  static std::shared_ptr<Connection> adoptSocket(int fd, const std::string& name, Role role);
  // As adoptSocket for a peer whose credentials were read already; the
  // connection holds `untilServed` until its first complete frame has been
  // read or it has ended (the listener's count of unserved peers).
  static std::shared_ptr<Connection> adoptPeer(int fd, const std::string& name,
                                               PeerCredentials credentials,
                                               std::shared_ptr<void> untilServed);

  ~Connection();

  const std::string& name() const { return name_; }
  Role role() const { return role_; }
  unsigned flags() const { return flags_; }

  // Set before `resume`; the handler runs on the target queue.
  void setEventHandler(EventHandler handler);
  // The queue on which events run (default: a private serial queue).
  void setTargetQueue(dispatch::QueuePtr queue);
  dispatch::QueuePtr targetQueue() const;
  void resume();
  void suspend();
  // Closes the socket; the event handler then receives ConnectionInvalid and
  // pending reply handlers receive it too. Idempotent.
  void cancel();

  // Sends a dictionary without expecting a reply. A dictionary made by
  // ChannelValue::createReply for a request of this connection goes back as
  // that request's reply.
  void send(const ChannelValue& message);
  // Sends a dictionary and runs `handler` on `replyQueue` with the reply.
  void sendWithReply(const ChannelValue& message, dispatch::QueuePtr replyQueue,
                     ReplyHandler handler);

  // The peer's credentials (valid once connected or accepted).
  PeerCredentials credentials() const;
  // The place this peer holds among its listener's unserved connections
  // (null once it has been served or has ended, or when none was taken):
  // whoever keeps the returned pointer keeps the peer counted, as the
  // service does until its handler has taken the connection.
  std::shared_ptr<void> unservedPlace() const;

  // Ends the connection as one that sent malformed input (logged with
  // `reason`): the event handler receives ConnectionInvalid and
  // `endedByMalformedInput` becomes true. Asynchronous; idempotent.
  void cancelForMalformedInput(const std::string& reason);
  // True once the connection ended because of malformed input.
  bool endedByMalformedInput() const;
  // True once a kPrivileged connection refused a service not run by root
  // (the credentials then tell who it was).
  bool refusedUnprivilegedService() const;
  // True once ConnectionInvalid has happened (final).
  bool isInvalid() const;

 private:
  struct Impl;
  struct InputWatcher;
  Connection(std::string name, Role role, std::string path, unsigned flags);
  const dispatch::QueuePtr& ioQueue();
  const dispatch::QueuePtr& targetLocked() const;
  void armWriteLocked();
  void enqueue(const ChannelValue& message, dispatch::QueuePtr replyQueue, ReplyHandler handler);
  void flush();
  bool connectSocket();
  void attach(int fd);
  void updateReadInterestLocked();
  void onReadable(const InputWatcher* watcher, std::uint32_t events);
  void continueReading(const InputWatcher* watcher);
  int readInput(int fd, std::size_t budget, bool shortReadDrains);
  void onWritable();
  void writeFrames();
  int writeLocked();
  bool processInput();
  void watchFrameInProgress();
  void malformedInput(const std::string& reason, bool inputHeld);
  void disconnected(ChannelError error, bool inputHeld);
  void deliver(const ChannelValue& event, bool final);
  void deliverAll(std::vector<ChannelValue> events);

  std::string name_;
  Role role_;
  std::string path_;
  unsigned flags_;
  std::unique_ptr<Impl> impl_;
};

// Binds and listens on a service socket path (non-blocking, close-on-exec,
// mode 0666). A stale socket file is replaced; a path that a running service
// answers on, or that is not a socket, is an error (-1 with `error` set).
int bindServiceSocket(const std::string& path, Error* error = nullptr);

// A listener for a named service. It takes the socket that socket activation
// handed to this process when there is one (takeActivatedListener), else binds
// the service's socket path itself (a stale socket file is replaced; a path
// that a running service answers on is an error).
//
// Under a flood the listener costs bounded work per connection and lets
// the rest of its queue run:
//  - it accepts at most kAcceptsPerTurn peers per turn of its queue, so
//    other work on that queue (the main queue of a service) runs between
//    turns however fast peers come;
//  - with a peer filter, the peer's credentials are read right after the
//    accept and a refused peer is closed there and then: no connection,
//    queue or buffer is made for it;
//  - with limits of unserved peers, a user other than root that already
//    holds that many accepted connections which are unserved (in total,
//    or from the one process that connects) gets the next one closed at
//    once. A connection counts until its first complete frame is read or
//    it ends, and as long as someone holds its unservedPlace (the service
//    until its handler has taken the connection), so neither silent peers
//    nor connections waiting to be handed over pile up.
// Refused peers are counted and told by PeerFaultLog (at most two lines a
// second).
class Listener : public std::enable_shared_from_this<Listener> {
 public:
  using PeerHandler = std::function<void(const std::shared_ptr<Connection>& peer)>;
  using PeerFilter = std::function<bool(const PeerCredentials& peer)>;
  static constexpr int kAcceptsPerTurn = 64;

  // nullptr with `error` set when the socket cannot be had.
  static std::shared_ptr<Listener> createMachService(const std::string& name,
                                                     dispatch::QueuePtr queue,
                                                     Error* error = nullptr);
  static std::shared_ptr<Listener> createWithSocketPath(const std::string& name,
                                                        const std::string& path,
                                                        dispatch::QueuePtr queue,
                                                        Error* error = nullptr);
  ~Listener();

  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  // Runs on the listener's queue for each accepted peer (a suspended
  // Connection with its credentials read). Set before `resume`.
  void setPeerHandler(PeerHandler handler);
  // Set before `resume`: the peers that get a connection at all.
  void setPeerFilter(PeerFilter filter);
  // Set before `resume`: the most unserved connections a user other than
  // root may hold, and one process of theirs (0: no limit, the default).
  // The second keeps one program of a user from taking all the places of
  // that user's other programs (their client).
  void setUnservedLimitPerUser(std::size_t perUser, std::size_t perProcess = 0);
  // Unserved connections held now by `uid` (tests).
  std::size_t unservedCount(uid_t uid) const;
  struct Unserved;  // the counts, shared with the connections that hold a place
  void resume();
  void cancel();  // stops accepting; removes the socket file if it bound it

 private:
  Listener() = default;
  void acceptPeers();

  std::string name_, path_;
  int fd_ = -1;
  bool ownsPath_ = false;
  dispatch::QueuePtr queue_;
  std::shared_ptr<dispatch::Source> source_;
  mutable std::mutex mutex_;
  PeerHandler handler_;
  PeerFilter filter_;
  std::size_t unservedLimit_ = 0;
  std::size_t unservedProcessLimit_ = 0;
  std::shared_ptr<Unserved> unserved_;
  bool cancelled_ = false;
};

}  // namespace platform::xpc
