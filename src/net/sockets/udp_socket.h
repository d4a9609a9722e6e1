// DispatchUdpSocket: an asynchronous UDP socket driven by dispatch queues.
//
// One object owns up to two datagram sockets (IPv4 and IPv6), one serial
// socket queue that alone touches its state, a first-in first-out queue of
// datagrams to send (with connect requests settled in their place among
// them), and a weakly held delegate told of connects, sends, receipts and
// the close on the delegate's own queue.
//
// Guarantees:
//  1. Every public operation runs its work on the socket queue: inline when
//     the caller already runs there (or on a queue marked with
//     markSocketQueueTargetQueue), else by a synchronous submission for
//     operations that answer something (getters, bind, connect, join,
//     options, receive start, close) and an asynchronous one for those that
//     do not (setters, pauseReceiving, closeAfterSending). Send requests are
//     always submitted asynchronously, even from the socket queue.
//  2. Callbacks are always submitted asynchronously to the delegate queue,
//     read when the event happens; with no delegate or no delegate queue the
//     event is dropped and the socket keeps working.
//  3. Requests that cannot be served (empty datagrams) are dropped without a
//     callback. Time-outs below 0 mean none.
//  4. Datagram bytes are never copied on their way to the system; received
//     datagrams are read (several per system call) into reusable buffers of
//     the largest allowed size and each handed over as a buffer of exactly
//     its own length (a datagram of 0 bytes is delivered as such).
//  5. A close reports every datagram still queued (and the one in progress)
//     through udpSocketDidNotSendDataWithTag() with the close's error, or
//     "Socket closed" (code 4) when it has none, then tells the delegate
//     udpSocketDidClose() once if sockets had been created. After a
//     close the object is as new (delegate, configuration, filters and the
//     last connected peer kept) and may be bound or connected again.
//  6. A filter that runs synchronously on the socket queue itself (or on a
//     queue running there) is called inline instead of dead-locking.
//  7. Destroying the socket closes it; the close callback then carries a
//     null socket.
//
// Not promised: which thread runs a callback; the order between callbacks
// and answers of asynchronous receive filters (an accepting answer that
// arrives after a close still delivers its datagram, after the close
// callback).
//
// Thread safety: all public members may be called from any thread, also
// from the delegate queue, the filter queues and the socket queue.
// socketFD()/socket4FD()/socket6FD() answer only on the socket queue.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/sockets/udp_socket_delegate.h"
#include "net/sockets/udp_socket_error.h"
#include "net/sockets/udp_socket_packets.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/queue_checker.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace net::sockets {

// Label of a socket queue made by the socket itself.
inline constexpr const char* kDispatchUdpSocketQueueLabel = "DispatchUdpSocket";

class DispatchUdpSocket : public std::enable_shared_from_this<DispatchUdpSocket> {
 public:
  using QueuePtr = platform::dispatch::QueuePtr;
  using DelegatePtr = std::shared_ptr<DispatchUdpSocketDelegate>;
  using WeakDelegate = std::weak_ptr<DispatchUdpSocketDelegate>;
  using Data = std::shared_ptr<const Bytes>;
  // Answers true to accept a datagram; may leave any object in *context,
  // which reaches the delegate with the datagram.
  using ReceiveFilter =
      std::function<bool(const Data& data, const Bytes& address, std::shared_ptr<void>* context)>;
  // Answers true to send a datagram, false to drop it (reported as sent).
  using SendFilter = std::function<bool(const Data& data, const Bytes& address, long tag)>;

  // --- creation (a socket queue is made when none is given) ----------------
  static std::shared_ptr<DispatchUdpSocket> create();
  static std::shared_ptr<DispatchUdpSocket> create(QueuePtr socketQueue);
  static std::shared_ptr<DispatchUdpSocket> create(WeakDelegate delegate, QueuePtr delegateQueue);
  // Send time-outs follow `clock` (none: the steady clock).
  static std::shared_ptr<DispatchUdpSocket> create(
      WeakDelegate delegate, QueuePtr delegateQueue, QueuePtr socketQueue,
      platform::dispatch::TimeSourcePtr clock = nullptr);
  ~DispatchUdpSocket();
  DispatchUdpSocket(const DispatchUdpSocket&) = delete;
  DispatchUdpSocket& operator=(const DispatchUdpSocket&) = delete;

  // --- delegate and delegate queue ----------------------------------------
  DelegatePtr delegate() const;
  void setDelegate(WeakDelegate delegate);
  void synchronouslySetDelegate(WeakDelegate delegate);
  void setDelegate(WeakDelegate delegate, bool synchronously);
  QueuePtr delegateQueue() const;
  void setDelegateQueue(QueuePtr queue);
  void synchronouslySetDelegateQueue(QueuePtr queue);
  void setDelegateQueue(QueuePtr queue, bool synchronously);
  // Both in one step; either out-pointer may be null.
  void getDelegate(DelegatePtr* delegate, QueuePtr* delegateQueue) const;
  void setDelegate(WeakDelegate delegate, QueuePtr delegateQueue);
  void synchronouslySetDelegate(WeakDelegate delegate, QueuePtr delegateQueue);
  void setDelegate(WeakDelegate delegate, QueuePtr delegateQueue, bool synchronously);

  // --- configuration (acts on sockets created later and the next choice) ---
  bool isIPv4Enabled() const;
  void setIPv4Enabled(bool enabled);
  bool isIPv6Enabled() const;
  void setIPv6Enabled(bool enabled);
  bool isIPv4Preferred() const;
  bool isIPv6Preferred() const;
  bool isIPVersionNeutral() const;
  void setPreferIPv4();
  void setPreferIPv6();
  void setIPVersionNeutral();
  std::uint16_t maxReceiveIPv4BufferSize() const;
  void setMaxReceiveIPv4BufferSize(std::uint16_t size);
  std::uint32_t maxReceiveIPv6BufferSize() const;
  void setMaxReceiveIPv6BufferSize(std::uint32_t size);
  // Also the kernel send and receive buffer size of sockets created later.
  std::uint16_t maxSendBufferSize() const;
  void setMaxSendBufferSize(std::uint16_t size);
  std::shared_ptr<void> userData() const;
  void setUserData(std::shared_ptr<void> userData);

  // --- binding and connecting (need a delegate and a delegate queue) -------
  // Each answers false with the error in *error (when given) if refused.
  bool bindToPort(std::uint16_t port, platform::Error* error = nullptr);
  // `interface`: a name ("lo"), address text, "localhost"/"loopback"; empty
  // means all interfaces.
  bool bindToPort(std::uint16_t port, const std::string& interface,
                  platform::Error* error = nullptr);
  bool bindToAddress(const Bytes& address, platform::Error* error = nullptr);
  // Queues a connect behind the datagrams already queued (creating the
  // sockets if needed) and answers at once. The outcome arrives later on the
  // delegate queue as udpSocketDidConnectToAddress() or
  // udpSocketDidNotConnect() (look-up error, no usable address, connect()
  // error); a close before then ends it without either. An empty host or
  // address is refused.
  bool connectToHost(const std::string& host, std::uint16_t port, platform::Error* error = nullptr);
  bool connectToAddress(const Bytes& address, platform::Error* error = nullptr);

  // --- sending ---------------------------------------------------------------
  // The datagram is shared, not copied: the caller must not change it until
  // its callback. The result arrives as udpSocketDidSendDataWithTag() or
  // udpSocketDidNotSendDataWithTag() on the delegate queue, never inside the
  // call. A datagram the system refuses (too long, no route, ...) fails
  // alone with the send() error and the queue goes on; only errors that
  // make the socket itself unusable close it. A close reports each datagram
  // still queued as not sent. No delegate or bind is needed: the first send
  // creates and binds the sockets.
  void sendData(Data data, long tag);
  void sendData(Data data, double timeout, long tag);  // to the connected peer
  void sendData(Data data, const std::string& host, std::uint16_t port, double timeout, long tag);
  void sendData(Data data, const Bytes& address, double timeout, long tag);
  // Installs (or with an empty filter removes) the send filter, which runs
  // on `queue`, synchronously or not. The filter runs only with a queue.
  void setSendFilter(SendFilter filter, QueuePtr queue, bool isAsynchronous = true);

  // --- receiving -------------------------------------------------------------
  // Start delivering datagrams through udpSocketDidReceiveData() on the
  // delegate queue (never inside the call): one (receiveOnce) or each
  // (beginReceiving) until pauseReceiving or a close. Either call switches a
  // socket that receives the other way. Refused with a code-1 error until the
  // sockets exist (bind, connect or a send). A read error closes the socket,
  // reported by udpSocketDidClose(). Datagrams not asked for wait in the
  // system; datagrams from anyone but the peer of a connected socket, and
  // those the filter refuses, are dropped without a report.
  bool receiveOnce(platform::Error* error = nullptr);
  bool beginReceiving(platform::Error* error = nullptr);
  void pauseReceiving();
  // Installs (or with an empty filter removes) the receive filter, which runs
  // on `queue`; the filter runs only with a queue. An asynchronous filter's
  // accepting answer that arrives after a close still delivers its datagram.
  void setReceiveFilter(ReceiveFilter filter, QueuePtr queue, bool isAsynchronous = true);

  // --- closing ---------------------------------------------------------------
  // Closes now (waits for the socket queue): queued datagrams are reported
  // as not sent ("Socket closed"); udpSocketDidClose() follows with no error
  // if sockets had been created.
  void close();
  // Closes with no error once every datagram queued so far has been settled.
  void closeAfterSending();

  // --- views (empty record, "" and 0 when there is nothing to report) -------
  Bytes localAddress() const;
  std::string localHost() const;
  std::uint16_t localPort() const;
  Bytes localAddress_IPv4() const;
  std::string localHost_IPv4() const;
  std::uint16_t localPort_IPv4() const;
  Bytes localAddress_IPv6() const;
  std::string localHost_IPv6() const;
  std::uint16_t localPort_IPv6() const;
  Bytes connectedAddress() const;
  std::string connectedHost() const;
  std::uint16_t connectedPort() const;
  bool isConnected() const;
  bool isClosed() const;
  bool isIPv4() const;
  bool isIPv6() const;
  int socketFD() const;  // -1 away from the socket queue
  int socket4FD() const;
  int socket6FD() const;

  // --- queues ----------------------------------------------------------------
  void performBlock(const std::function<void()>& block);
  void markSocketQueueTargetQueue(const QueuePtr& queue);
  void unmarkSocketQueueTargetQueue(const QueuePtr& queue);
  // Resumes both receive sources (after the process slept, for example).
  void applicationWillEnterForeground();

  // --- address records (IPv4 and IPv6 only) -----------------------------------
  static std::string hostFromSockaddr4(const sockaddr_in& address);
  static std::string hostFromSockaddr6(const sockaddr_in6& address);
  static std::uint16_t portFromSockaddr4(const sockaddr_in& address);
  static std::uint16_t portFromSockaddr6(const sockaddr_in6& address);
  // Host, port and family of a record; false with "", 0 and 0 for anything
  // that is not a whole IPv4 or IPv6 record. Out-pointers are optional.
  static bool getHost(std::string* host, std::uint16_t* port, int* family, const Bytes& address);
  static bool getHost(std::string* host, std::uint16_t* port, const Bytes& address);
  static std::string hostFromAddress(const Bytes& address);
  static std::uint16_t portFromAddress(const Bytes& address);
  static int familyFromAddress(const Bytes& address);
  static bool isIPv4Address(const Bytes& address);
  static bool isIPv6Address(const Bytes& address);

  // --- multicast and options (need a delegate and a delegate queue) --------
  // `group` is numeric address text; `interface` as for bindToPort (empty:
  // the system's choice). A bound, unconnected socket only. A membership of
  // one family closes the socket of the other family. Port reuse and
  // broadcast create the sockets first; they answer false with no error
  // when no socket of their family exists.
  bool joinMulticastGroup(const std::string& group, platform::Error* error = nullptr);
  bool joinMulticastGroup(const std::string& group, const std::string& interface,
                          platform::Error* error = nullptr);
  bool leaveMulticastGroup(const std::string& group, platform::Error* error = nullptr);
  bool leaveMulticastGroup(const std::string& group, const std::string& interface,
                           platform::Error* error = nullptr);
  bool enableReusePort(bool flag, platform::Error* error = nullptr);
  bool enableBroadcast(bool flag, platform::Error* error = nullptr);

 private:
  struct PassKey {};

 public:
  DispatchUdpSocket(PassKey, WeakDelegate delegate, QueuePtr delegateQueue, QueuePtr socketQueue);

 private:
  using Source = platform::dispatch::Source;
  using SourcePtr = std::shared_ptr<Source>;
  using PacketPtr = std::shared_ptr<DispatchUdpQueuedPacket>;

  enum Flags : std::uint32_t {
    kDidCreateSockets = 0x1,
    kDidBind = 0x2,
    kConnecting = 0x4,
    kDidConnect = 0x8,
    kReceiveOnce = 0x10,
    kReceiveContinuous = 0x20,
    kIPv4Deactivated = 0x40,
    kIPv6Deactivated = 0x80,
    kSend4SourceSuspended = 0x100,
    kSend6SourceSuspended = 0x200,
    kReceive4SourceSuspended = 0x400,
    kReceive6SourceSuspended = 0x800,
    kSock4CanAcceptBytes = 0x1000,
    kSock6CanAcceptBytes = 0x2000,
    kCloseAfterSends = 0x8000,
    kFlipFlop = 0x10000,
  };
  enum Config : std::uint16_t {
    kIPv4Disabled = 0x1,
    kIPv6Disabled = 0x2,
    kPreferIPv4 = 0x4,
    kPreferIPv6 = 0x8,
  };
  enum class MulticastRequest { Join, Leave };

  // Queue discipline.
  bool isOnSocketQueue() const;
  void runSync(const std::function<void()>& block) const;
  void runAsync(std::function<void()> block);
  // Ends the batch of sends that the next socket-queue block takes (see
  // enqueueSend): called before anything else is put on the socket queue
  // from outside it.
  void closeSendInbox();

  // Callbacks (socket queue).
  using NoteCall =
      std::function<void(DispatchUdpSocketDelegate&, const std::shared_ptr<DispatchUdpSocket>&)>;
  // A callback waiting to be posted. The frequent datagram notes carry
  // their arguments in place, so holding one costs no allocation of its own.
  struct PendingNote {
    enum class Kind : std::uint8_t { Call, Received, Sent };
    Kind kind = Kind::Call;
    long tag = 0;                   // Sent
    std::size_t addressIndex = 0;   // Received: into PendingNotes::addresses
    Data data;                      // Received
    std::shared_ptr<void> context;  // Received
    NoteCall call;                  // Call
  };
  // The notes held for one delegate on one delegate queue.
  struct PendingNotes {
    QueuePtr queue;
    DelegatePtr delegate;
    std::vector<PendingNote> notes;
    // Sender records of the Received notes; a run of datagrams from one
    // sender shares one entry.
    std::vector<std::shared_ptr<const Bytes>> addresses;
  };
  // Posts the call to the delegate queue (after any datagram notes held).
  void notify(NoteCall call);
  // A datagram's note: held on the socket queue and posted together with
  // the notes of the datagrams handled in the same run of the queue, so a
  // burst costs the delegate queue one hand-off instead of one per datagram.
  // The delegate queue still sees every call, in order. A Received note
  // passes its sender record in `address`.
  void notifyDatagram(PendingNote note, const std::shared_ptr<const Bytes>* address = nullptr);
  // Posts the held notes now (before anything else may reach the delegate
  // queue: other callbacks, filters).
  void flushNotes();
  void notifyDidConnectToAddress(const Bytes& address);
  void notifyDidNotConnect(const platform::Error& error);
  void notifyDidSendDataWithTag(long tag);
  void notifyDidNotSendDataWithTag(long tag, const platform::Error& error);
  void notifyDidReceiveData(Data data, const std::shared_ptr<const Bytes>& address,
                            std::shared_ptr<void> context);
  void notifyDidCloseWithError(const platform::Error& error);

  // Checks (socket queue).
  bool preOp(platform::Error* error) const;
  bool preBind(platform::Error* error) const;
  bool preConnect(platform::Error* error) const;
  bool preJoin(platform::Error* error) const;

  // Addresses, sockets, sources (socket queue).
  void asyncResolveHost(const std::string& host, std::uint16_t port,
                        std::function<void(std::vector<Bytes>, platform::Error)> completion);
  int getAddress(Bytes* address, platform::Error* error, const std::vector<Bytes>& addresses) const;
  bool createSockets(bool useIPv4, bool useIPv6, platform::Error* error);
  bool createSockets(platform::Error* error);
  int createSocket(int family, platform::Error* error);
  void setupSendAndReceiveSources(int family);
  void suspendSendSource(int family);
  void resumeSendSource(int family);
  void suspendReceiveSource(int family);
  void resumeReceiveSource(int family);
  bool bindToPortOnQueue(std::uint16_t port, const std::string* interface, platform::Error* error);
  bool bindToAddressOnQueue(const Bytes& address, platform::Error* error);
  void maybeConnect();
  bool connectWithAddress(const Bytes& address, int family, platform::Error* error);

  // Sending (socket queue; enqueueSend from any queue).
  void enqueueSend(PacketPtr packet);
  void maybeDequeueSend();
  void maybeDequeueSendOnce();
  void doPreSend();
  void doSend();
  // Prepares sendHeaders_ for `first` (the current datagram) and the queued
  // datagrams right behind it that can go with it in one system call;
  // answers how many (1: send `first` alone).
  std::size_t gatherSendBatch(DispatchUdpSendPacket& first);
  void endCurrentSend();
  void doSendTimeout();
  void setupSendTimerWithTimeout(double timeout);
  void sendFilterAnswered(const std::shared_ptr<DispatchUdpSendPacket>& packet, bool allowed);
  void onSendSourceEvent(int family);

  // Receiving (socket queue).
  bool startReceiving(std::uint32_t mode, platform::Error* error);
  void doReceive();
  // Reads up to `count` datagrams from `fd` into the receive batch; the
  // number read, or -1 with errno set.
  int readBatch(int fd, int family, std::size_t maxSize, unsigned count);
  // Hands the next datagram of the receive batch on (connected-peer check,
  // filter, delegate).
  void handleBatchedDatagram();
  void onReceiveSourceEvent(int family, std::uint64_t available);
  void receiveFilterAnswered(bool allowed, Data data, std::shared_ptr<const Bytes> address,
                             std::shared_ptr<void> context);
  bool isConnectedToAddress4(const std::uint8_t* address, std::size_t length) const;
  bool isConnectedToAddress6(const std::uint8_t* address, std::size_t length) const;

  // Closing and views (socket queue).
  void closeWithError(const platform::Error& error);
  void closeSockets();
  void closeSocket(int family);
  void maybeUpdateCachedLocalAddressInfo(int family) const;
  void maybeUpdateCachedConnectedAddressInfo() const;

  // Multicast and options (socket queue).
  bool performMulticastRequest(MulticastRequest request, const std::string& group,
                               const std::string* interface, platform::Error* error);
  bool setOptionOnSockets(int option, bool flag, bool ipv4Only, platform::Error* error);

  WeakDelegate delegate_;
  QueuePtr delegateQueue_;
  ReceiveFilter receiveFilterBlock_;
  QueuePtr receiveFilterQueue_;
  bool receiveFilterAsync_ = false;
  SendFilter sendFilterBlock_;
  QueuePtr sendFilterQueue_;
  bool sendFilterAsync_ = false;
  std::uint32_t flags_ = 0;
  std::uint16_t config_ = 0;
  std::uint16_t max4ReceiveSize_ = 65535;
  std::uint32_t max6ReceiveSize_ = 65535;
  std::uint16_t maxSendSize_ = 65535;
  int socket4FD_ = -1;
  int socket6FD_ = -1;
  QueuePtr socketQueue_;
  SourcePtr send4Source_, send6Source_;
  SourcePtr receive4Source_, receive6Source_;
  SourcePtr sendTimer_;
  platform::dispatch::TimeSourcePtr clock_;  // set at creation, never changed
  PacketPtr currentSend_;
  bool inDequeueLoop_ = false;  // maybeDequeueSend is running
  bool dequeueAgain_ = false;   // ... and must take the next packet once more
  std::deque<PacketPtr> sendQueue_;
  // Reused by gatherSendBatch.
  std::vector<mmsghdr> sendHeaders_;
  std::vector<iovec> sendVectors_;
  // Sends requested from outside the socket queue wait here for the one
  // queued block that takes them all, when nobody else can put work on the
  // socket queue (it is the socket's own).
  const bool ownsSocketQueue_;
  std::mutex inboxMutex_;
  std::shared_ptr<std::vector<PacketPtr>> sendInbox_;  // guarded by inboxMutex_
  std::uint64_t socket4FDBytesAvailable_ = 0;
  std::uint64_t socket6FDBytesAvailable_ = 0;
  std::uint32_t pendingFilterOperations_ = 0;
  bool inReceiveLoop_ = false;     // doReceive is running
  PendingNotes notes_;             // datagram notes not yet posted
  bool notesFlushPosted_ = false;  // a block that posts them waits on the socket queue
  // The local end points and the connected peer, filled lazily by the views.
  mutable Bytes cachedLocalAddress4_;
  mutable std::string cachedLocalHost4_;
  mutable std::uint16_t cachedLocalPort4_ = 0;
  mutable Bytes cachedLocalAddress6_;
  mutable std::string cachedLocalHost6_;
  mutable std::uint16_t cachedLocalPort6_ = 0;
  mutable Bytes cachedConnectedAddress_;
  mutable std::string cachedConnectedHost_;
  mutable std::uint16_t cachedConnectedPort_ = 0;
  mutable int cachedConnectedFamily_ = 0;
  // Holds its own address: the key of the socket queue's specific value.
  const void* isOnSocketQueueOrTargetQueueKey_;
  // Asserts (in checked builds) that the state above is touched on the
  // socket queue or a queue marked as its target.
  platform::dispatch::QueueChecker queueChecker_{&isOnSocketQueueOrTargetQueueKey_};
  std::shared_ptr<void> userData_;
  // Datagrams read from one socket with one system call, handed on one by
  // one. Those left when receiving stops part-way (a filter running on the
  // socket queue paused it) are handed on first once it starts again; a
  // close of their socket drops them.
  struct ReceiveBatch {
    std::unique_ptr<std::uint8_t[]> area;  // the slots' buffers, each slotSize long
    std::size_t slotSize = 0;
    std::vector<mmsghdr> headers;
    std::vector<iovec> vectors;
    std::vector<sockaddr_storage> from;
    int family = 0;
    unsigned count = 0;  // datagrams read
    unsigned next = 0;   // the first not yet handed on
  };
  ReceiveBatch receiveBatch_;
  // The sender record of the latest datagram, shared by the notes of the
  // datagrams after it that come from the same sender.
  std::shared_ptr<const Bytes> lastSenderAddress_;
  // Queues marked with markSocketQueueTargetQueue, unmarked at destruction.
  std::vector<std::weak_ptr<platform::dispatch::Queue>> markedQueues_;
};

}  // namespace net::sockets
