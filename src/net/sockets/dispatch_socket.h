// DispatchSocket: an asynchronous stream socket (TCP over IPv4 or IPv6, or
// a Unix-domain stream socket) whose whole state is owned by one serial
// dispatch queue, the socket queue.
//
// A caller connects (or listens), queues reads and writes, each with a
// time-out (negative: none; 0: fires at once) and an integer tag, and learns
// the results from its delegate, whose callbacks run asynchronously on the
// delegate queue the caller names. TLS can be switched on at any point of
// the streams (startTLS).
//
// Guarantees:
//  1. Reads complete in the order they were queued, writes likewise; each
//     completed request gets exactly one callback with its tag.
//  2. Requests that cannot be served (not started, after a disconnect-after
//     request, invalid arguments, empty data) are dropped without a callback.
//  3. A started connection ends exactly once, in socketDidDisconnect (null
//     error for a requested close); nothing of that connection is reported
//     after it except callbacks already queued on the delegate queue.
//  4. Late results of an ended connect attempt, time-out or trust answer
//     never apply to a later attempt, read or write (generation counter).
//  5. Data handed to a write is held by the socket (moved in or shared) until
//     the write ends; a caller's read buffer is held until its read ends.
//  6. Every descriptor is closed exactly once.
//  7. No callback runs when no delegate queue is set.
//
// Queue rule: getters and connect/accept/disconnect run inline when called
// on the socket queue (or a queue marked with markSocketQueueTargetQueue),
// else synchronously on it; they must not be called from a block the socket
// queue waits for. Reads, writes, startTLS and the disconnect-after requests
// are always sent asynchronously. Name look-ups run on the global queue.
//
// Thread safety: every public member may be called from any thread, except
// the per-family answers (connectedHost4 ... localPort6), which are meant for
// code already running on the socket queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "net/sockets/dispatch_socket_packets.h"
#include "net/sockets/socket_address.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/queue_checker.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace net::sockets {

class DispatchSocket;
class DispatchSocketTLS;
using DispatchSocketPtr = std::shared_ptr<DispatchSocket>;
using platform::dispatch::QueuePtr;

inline constexpr const char* kDispatchSocketErrorDomain = "DispatchSocketErrorDomain";
inline constexpr const char* kDispatchSocketQueueLabel = "DispatchSocket";

enum DispatchSocketError : int {
  kDispatchSocketNoError = 0,
  kDispatchSocketBadConfigError = 1,
  kDispatchSocketBadParamError = 2,
  kDispatchSocketConnectTimeoutError = 3,
  kDispatchSocketReadTimeoutError = 4,
  kDispatchSocketWriteTimeoutError = 5,
  kDispatchSocketReadMaxedOutError = 6,
  kDispatchSocketClosedError = 7,
  kDispatchSocketOtherError = 8,
};

// TLS settings keys (startTLS). Values: see startTLS.
inline constexpr const char* kDispatchSocketSSLIsServer = "kCFStreamSSLIsServer";
inline constexpr const char* kDispatchSocketManuallyEvaluateTrust =
    "DispatchSocketManuallyEvaluateTrust";
inline constexpr const char* kDispatchSocketSSLPeerName = "kCFStreamSSLPeerName";
inline constexpr const char* kDispatchSocketSSLCertificates = "kCFStreamSSLCertificates";
inline constexpr const char* kDispatchSocketSSLPeerID = "DispatchSocketSSLPeerID";
inline constexpr const char* kDispatchSocketSSLProtocolVersionMin =
    "DispatchSocketSSLProtocolVersionMin";
inline constexpr const char* kDispatchSocketSSLProtocolVersionMax =
    "DispatchSocketSSLProtocolVersionMax";
inline constexpr const char* kDispatchSocketSSLSessionOptionFalseStart =
    "DispatchSocketSSLSessionOptionFalseStart";
inline constexpr const char* kDispatchSocketSSLSessionOptionSendOneByteRecord =
    "DispatchSocketSSLSessionOptionSendOneByteRecord";
inline constexpr const char* kDispatchSocketSSLCipherSuites = "DispatchSocketSSLCipherSuites";
inline constexpr const char* kDispatchSocketSSLDiffieHellmanParameters =
    "DispatchSocketSSLDiffieHellmanParameters";
// Refused whenever present ("Security option unavailable - <key>").
inline constexpr const char* kDispatchSocketSSLAllowsAnyRoot = "kCFStreamSSLAllowsAnyRoot";
inline constexpr const char* kDispatchSocketSSLAllowsExpiredRoots =
    "kCFStreamSSLAllowsExpiredRoots";
inline constexpr const char* kDispatchSocketSSLValidatesCertificateChain =
    "kCFStreamSSLValidatesCertificateChain";
inline constexpr const char* kDispatchSocketSSLAllowsExpiredCertificates =
    "kCFStreamSSLAllowsExpiredCertificates";
inline constexpr const char* kDispatchSocketSSLLevel = "kCFStreamSSLLevel";

// Protocol codes for the version keys.
enum DispatchSocketSSLProtocol : int {
  kDispatchSocketSSLProtocolDefault = 0,
  kDispatchSocketTLSProtocol1 = 4,
  kDispatchSocketTLSProtocol11 = 7,
  kDispatchSocketTLSProtocol12 = 8,
  kDispatchSocketTLSProtocol13 = 10,
};

// Status codes of the TLS layer, as they appear in "kCFStreamErrorDomainSSL" errors.
enum DispatchSocketSSLStatus : int {
  kDispatchSocketSSLProtocolError = -9800,
  kDispatchSocketSSLNegotiationError = -9801,
  kDispatchSocketSSLWouldBlock = -9803,
  kDispatchSocketSSLClosedGraceful = -9805,
  kDispatchSocketSSLClosedAbort = -9806,
  kDispatchSocketSSLCertChainInvalid = -9807,
  kDispatchSocketSSLPeerAuthCompleted = -9841,
  kDispatchSocketSSLBadCert = -9825,
  kDispatchSocketSSLHostNameMismatch = -9843,
};

// The bytes a read delivers: the socket's own block, or a view of the
// caller's buffer (no copy). Shares ownership of the bytes.
class SocketData {
 public:
  SocketData() = default;
  SocketData(std::shared_ptr<const Bytes> storage, std::size_t offset, std::size_t length)
      : storage_(std::move(storage)), offset_(offset), length_(length) {}
  const std::uint8_t* data() const { return storage_ ? storage_->data() + offset_ : nullptr; }
  std::size_t size() const { return length_; }
  bool empty() const { return length_ == 0; }
  Bytes bytes() const { return size() ? Bytes(data(), data() + size()) : Bytes(); }
  std::string_view text() const { return {reinterpret_cast<const char*>(data()), size()}; }

 private:
  std::shared_ptr<const Bytes> storage_;
  std::size_t offset_ = 0;
  std::size_t length_ = 0;
};

// The peer's certificate chain as handed to manual trust evaluation.
class DispatchSocketTrust {
 public:
  explicit DispatchSocketTrust(std::vector<Bytes> chainDER, std::string peerName = {})
      : chain_(std::move(chainDER)), peerName_(std::move(peerName)) {}
  // DER bytes, leaf first.
  const std::vector<Bytes>& certificateChain() const { return chain_; }
  const std::string& peerName() const { return peerName_; }
  // Verifies the chain against the given anchors (PEM or DER certificates)
  // and, when `hostName` is not empty, the leaf's name. On failure returns
  // false with the reason in *reason.
  bool evaluate(const std::vector<Bytes>& anchors, std::string_view hostName,
                std::string* reason = nullptr) const;

 private:
  std::vector<Bytes> chain_;
  std::string peerName_;
};

// The delegate. Every method has a no-op default, which counts as "not
// answered" (a default time-out answer of 0 ends the request). Callbacks run
// asynchronously on the delegate queue; the socket argument is null only in
// the socketDidDisconnect sent while the socket is being freed.
//   socket:didConnectToHost:port:              -> socketDidConnectToHost
//   socket:didReadData:withTag:                -> socketDidReadData, and so on.
class DispatchSocketDelegate {
 public:
  virtual ~DispatchSocketDelegate() = default;

  // Accepting: the queue for a new connection (null: the socket makes its own).
  virtual QueuePtr newSocketQueueForConnectionFromAddress(const Bytes& address,
                                                          const DispatchSocketPtr& listener);
  virtual void socketDidAcceptNewSocket(const DispatchSocketPtr& listener,
                                        const DispatchSocketPtr& newSocket);
  virtual void socketDidConnectToHost(const DispatchSocketPtr& sock, const std::string& host,
                                      std::uint16_t port);
  virtual void socketDidConnectToUrl(const DispatchSocketPtr& sock, const platform::URL& url);
  virtual void socketDidReadData(const DispatchSocketPtr& sock, const SocketData& data, long tag);
  virtual void socketDidReadPartialDataOfLength(const DispatchSocketPtr& sock,
                                                std::size_t partialLength, long tag);
  virtual void socketDidWriteDataWithTag(const DispatchSocketPtr& sock, long tag);
  virtual void socketDidWritePartialDataOfLength(const DispatchSocketPtr& sock,
                                                 std::size_t partialLength, long tag);
  // Seconds to extend a timed-out request by; 0 or less ends it.
  virtual double socketShouldTimeoutReadWithTag(const DispatchSocketPtr& sock, long tag,
                                                double elapsed, std::size_t bytesDone);
  virtual double socketShouldTimeoutWriteWithTag(const DispatchSocketPtr& sock, long tag,
                                                 double elapsed, std::size_t bytesDone);
  virtual void socketDidCloseReadStream(const DispatchSocketPtr& sock);
  virtual void socketDidDisconnect(const DispatchSocketPtr& sock, const platform::Error& error);
  virtual void socketDidSecure(const DispatchSocketPtr& sock);
  // Manual trust: override both. The handler must be called once, from any
  // thread: true goes on with the handshake, false refuses the peer.
  virtual bool answersDidReceiveTrust() const { return false; }
  virtual void socketDidReceiveTrust(const DispatchSocketPtr& sock,
                                     std::shared_ptr<DispatchSocketTrust> trust,
                                     std::function<void(bool)> completionHandler);
};

class DispatchSocket : public std::enable_shared_from_this<DispatchSocket> {
 public:
  // --- construction ------------------------------------------------------------
  // A socket with the given delegate (held weakly), delegate queue and socket
  // queue (a serial queue; none: a new serial queue labelled "DispatchSocket").
  // Its connect, read and write time-outs follow `clock` (none: the steady
  // clock); sockets it accepts follow the same clock.
  static DispatchSocketPtr create(std::weak_ptr<DispatchSocketDelegate> delegate = {},
                                  QueuePtr delegateQueue = nullptr, QueuePtr socketQueue = nullptr,
                                  platform::dispatch::TimeSourcePtr clock = nullptr);
  // Wraps a connected IPv4 or IPv6 descriptor (which the socket then owns).
  // Null with a code-8 error when the descriptor has no IPv4/IPv6 peer.
  static DispatchSocketPtr socketFromConnectedSocketFD(
      int fd, std::weak_ptr<DispatchSocketDelegate> delegate, QueuePtr delegateQueue,
      QueuePtr socketQueue, platform::Error* error);
  // Freeing a started socket closes it; its delegate hears
  // socketDidDisconnect with a null socket.
  ~DispatchSocket();
  DispatchSocket(const DispatchSocket&) = delete;
  DispatchSocket& operator=(const DispatchSocket&) = delete;

  // --- configuration -----------------------------------------------------------
  std::shared_ptr<DispatchSocketDelegate> delegate() const;
  void setDelegate(std::weak_ptr<DispatchSocketDelegate> delegate);  // asynchronous
  void synchronouslySetDelegate(std::weak_ptr<DispatchSocketDelegate> delegate);
  QueuePtr delegateQueue() const;
  void setDelegateQueue(QueuePtr queue);  // asynchronous
  void synchronouslySetDelegateQueue(QueuePtr queue);
  void getDelegate(std::shared_ptr<DispatchSocketDelegate>* delegate, QueuePtr* queue) const;
  void setDelegate(std::weak_ptr<DispatchSocketDelegate> delegate, QueuePtr queue);
  void synchronouslySetDelegate(std::weak_ptr<DispatchSocketDelegate> delegate, QueuePtr queue);

  bool isIPv4Enabled() const;
  void setIPv4Enabled(bool enabled);
  bool isIPv6Enabled() const;
  void setIPv6Enabled(bool enabled);
  bool isIPv4PreferredOverIPv6() const;
  void setIPv4PreferredOverIPv6(bool preferred);
  bool autoDisconnectOnClosedReadStream() const;
  void setAutoDisconnectOnClosedReadStream(bool value);
  double alternateAddressDelay() const;
  void setAlternateAddressDelay(double seconds);
  std::shared_ptr<void> userData() const;
  void setUserData(std::shared_ptr<void> data);

  // --- advanced -----------------------------------------------------------------
  const QueuePtr& socketQueue() const { return socketQueue_; }
  void markSocketQueueTargetQueue(const QueuePtr& queue);
  void unmarkSocketQueueTargetQueue(const QueuePtr& queue);
  void performBlock(const std::function<void()>& block);
  // Only on the socket queue; -1 elsewhere.
  int socketFD() const;
  int socket4FD() const;
  int socket6FD() const;

  // --- connecting ---------------------------------------------------------------
  // Each runs its checks on the socket queue (inline there, else waiting for
  // it) and returns true once the attempt has begun; false with *error when
  // refused (connectToHost also clears *error on success). The outcome comes
  // later on the delegate queue, never inside the call: socketDidConnectToHost
  // (or ...ToUrl), or socketDidDisconnect with the lookup, connect or time-out
  // error. Requests queued before the call are dropped; requests queued after
  // it wait for the connection. A negative time-out means none.
  bool connectToHost(std::string_view host, std::uint16_t port, platform::Error* error = nullptr);
  bool connectToHost(std::string_view host, std::uint16_t port, double timeout,
                     platform::Error* error = nullptr);
  bool connectToHost(std::string_view host, std::uint16_t port,
                     std::optional<std::string_view> interface, double timeout,
                     platform::Error* error = nullptr);
  bool connectToAddress(const Bytes& address, platform::Error* error = nullptr);
  bool connectToAddress(const Bytes& address, double timeout, platform::Error* error = nullptr);
  bool connectToAddress(const Bytes& address, std::optional<std::string_view> interface,
                        double timeout, platform::Error* error = nullptr);
  bool connectToUrl(const platform::URL& url, double timeout, platform::Error* error = nullptr);

  // Blocking look-up of a TCP host (see lookupHost in socket_address.h).
  static std::vector<Bytes> lookupHost(std::string_view host, std::uint16_t port,
                                       platform::Error* error);
  static Bytes CRLFData() { return {'\r', '\n'}; }
  static Bytes CRData() { return {'\r'}; }
  static Bytes LFData() { return {'\n'}; }
  static Bytes ZeroData() { return {0}; }

  // --- accepting ----------------------------------------------------------------
  // Listens (checks and set-up on the socket queue, waiting for it); false with
  // *error when refused. Each connection becomes a new connected socket with
  // the listener's delegate and delegate queue, handed over by
  // socketDidAcceptNewSocket on the delegate queue; the delegate must keep it.
  // A connection that arrives while no delegate queue is set is closed.
  bool acceptOnPort(std::uint16_t port, platform::Error* error = nullptr);
  bool acceptOnInterface(std::optional<std::string_view> interface, std::uint16_t port,
                         platform::Error* error = nullptr);
  bool acceptOnUrl(const platform::URL& url, platform::Error* error = nullptr);

  // --- closing --------------------------------------------------------------------
  // disconnect closes at once (waiting for the socket queue) and drops every
  // queued request without a callback; the delegate then hears
  // socketDidDisconnect with no error. The disconnect-after requests are
  // asynchronous: new requests are refused and the socket closes once the
  // named queues have drained.
  void disconnect();
  void disconnectAfterReading();
  void disconnectAfterWriting();
  void disconnectAfterReadingAndWriting();

  // --- reading ----------------------------------------------------------------------
  // Always sent asynchronously to the socket queue; never completes inside
  // the call. Completion: socketDidReadData with the tag on the delegate
  // queue. A caller's buffer is held (shared) by the socket until the read
  // ends and must not be touched meanwhile; the bytes are delivered as a view
  // of it. A request made while not started, after a disconnect-after request,
  // or with invalid arguments is dropped without a callback; a close drops
  // queued reads without a callback.
  void readDataWithTimeout(double timeout, long tag);
  void readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, std::size_t offset,
                           long tag);
  void readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, std::size_t offset,
                           std::size_t maxLength, long tag);
  void readDataToLength(std::size_t length, double timeout, long tag);
  void readDataToLength(std::size_t length, double timeout, std::shared_ptr<Bytes> buffer,
                        std::size_t offset, long tag);
  void readDataToData(const Bytes& terminator, double timeout, long tag);
  void readDataToData(const Bytes& terminator, double timeout, std::shared_ptr<Bytes> buffer,
                      std::size_t offset, long tag);
  void readDataToData(const Bytes& terminator, double timeout, std::size_t maxLength, long tag);
  void readDataToData(const Bytes& terminator, double timeout, std::shared_ptr<Bytes> buffer,
                      std::size_t offset, std::size_t maxLength, long tag);
  // Fraction done of the current read (NaN when none; 1.0 unless fixed-length).
  double progressOfReadReturningTag(long* tag, std::size_t* done, std::size_t* total) const;

  // --- writing ----------------------------------------------------------------------
  // Always sent asynchronously; never completes inside the call. The socket
  // holds the data (moved in, or shared and never changed by it) until the
  // write ends. Completion: socketDidWriteDataWithTag on the delegate queue.
  // Empty data is ignored; dropping rules as for reads. A write that fails
  // closes the socket with a POSIX or TLS error (never a SIGPIPE); one that
  // outlives its time-out (and any extension) closes it with code 5.
  void writeData(Bytes data, double timeout, long tag);
  void writeData(std::shared_ptr<const Bytes> data, double timeout, long tag);
  double progressOfWriteReturningTag(long* tag, std::size_t* done, std::size_t* total) const;

  // --- TLS ------------------------------------------------------------------------------
  // Queues a switch to TLS at this point of both streams. `settings` is a
  // dictionary with the kDispatchSocketSSL* keys (None: empty):
  //   kCFStreamSSLIsServer (bool); DispatchSocketManuallyEvaluateTrust (bool,
  //   client only); kCFStreamSSLPeerName (string); kCFStreamSSLCertificates
  //   (array of data: first a PEM identity holding the private key and its
  //   certificate, then further PEM or DER certificates of the chain);
  //   DispatchSocketSSLPeerID (data, session resumption);
  //   DispatchSocketSSLProtocolVersionMin/Max (DispatchSocketSSLProtocol);
  //   DispatchSocketSSLSessionOption* (bool); DispatchSocketSSLCipherSuites
  //   (array of 16-bit suite numbers); DispatchSocketSSLDiffieHellmanParameters
  //   (PEM data). A client verifies the server against the system's trust
  //   anchors (OpenSSL default paths, e.g. SSL_CERT_FILE) unless manual trust
  //   is asked for.
  // A client with a peer identifier keeps its sessions in `sessionCache`
  // (none: TLSSessionCache::shared(), the process's cache).
  // Asynchronous; dropped when not started, after a disconnect-after request
  // or when TLS was already queued on this connection. Success:
  // socketDidSecure on the delegate queue, then the requests queued behind
  // the switch run over TLS. Failure closes the socket: code 8 with the
  // setting's message, or a "kCFStreamErrorDomainSSL" error (a refused
  // manual trust gives kDispatchSocketSSLBadCert).
  void startTLS(platform::Value settings = platform::Value(),
                std::shared_ptr<TLSSessionCache> sessionCache = nullptr);

  // --- diagnostics ---------------------------------------------------------------------
  bool isDisconnected() const;
  bool isConnected() const;
  std::optional<std::string> connectedHost() const;
  std::uint16_t connectedPort() const;
  std::optional<platform::URL> connectedUrl() const;
  std::optional<std::string> localHost() const;
  std::uint16_t localPort() const;
  Bytes connectedAddress() const;
  Bytes localAddress() const;
  bool isIPv4() const;
  bool isIPv6() const;
  bool isSecure() const;
  // Per-family answers, for code already on the socket queue.
  std::optional<std::string> connectedHost4() const;
  std::optional<std::string> connectedHost6() const;
  std::uint16_t connectedPort4() const;
  std::uint16_t connectedPort6() const;
  std::optional<std::string> localHost4() const;
  std::optional<std::string> localHost6() const;
  std::uint16_t localPort4() const;
  std::uint16_t localPort6() const;

  // State bits (exposed for diagnostics and tests).
  enum Flags : std::uint32_t {
    kSocketStarted = 1 << 0,
    kConnected = 1 << 1,
    kForbidReadsWrites = 1 << 2,
    kReadsPaused = 1 << 3,
    kWritesPaused = 1 << 4,
    kDisconnectAfterReads = 1 << 5,
    kDisconnectAfterWrites = 1 << 6,
    kSocketCanAcceptBytes = 1 << 7,
    kReadSourceSuspended = 1 << 8,
    kWriteSourceSuspended = 1 << 9,
    kQueuedTLS = 1 << 10,
    kStartingReadTLS = 1 << 11,
    kStartingWriteTLS = 1 << 12,
    kSocketSecure = 1 << 13,
    kSocketHasReadEOF = 1 << 14,
    kReadStreamClosed = 1 << 15,
    kDealloc = 1 << 16,
  };
  enum Config : std::uint16_t {
    kIPv4Disabled = 1 << 0,
    kIPv6Disabled = 1 << 1,
    kPreferIPv6 = 1 << 2,
    kAllowHalfDuplexConnection = 1 << 3,
  };

 private:
  struct Private {};

 public:
  DispatchSocket(Private, std::weak_ptr<DispatchSocketDelegate> delegate, QueuePtr delegateQueue,
                 QueuePtr socketQueue);

 private:
  friend class DispatchSocketTLS;
  friend struct DispatchSocketTLSAccess;
  using ReadItem =
      std::variant<std::shared_ptr<DispatchReadPacket>, std::shared_ptr<DispatchSpecialPacket>>;
  using WriteItem =
      std::variant<std::shared_ptr<DispatchWritePacket>, std::shared_ptr<DispatchSpecialPacket>>;
  struct ConnectAttempt;
  struct IOSources;

  bool onSocketQueue() const;
  void runSync(const std::function<void()>& block) const;
  // Runs `block` inline on the socket queue, else sends it there asynchronously.
  void runInlineOrAsync(std::function<void()> block);
  // A configuration bit: read waiting for the socket queue, set asynchronously
  // (inline when already on it).
  bool configBitSet(std::uint16_t bit) const;
  void setConfigBit(std::uint16_t bit, bool on);
  // Sends a delegate callback asynchronously on the delegate queue.
  void notify(std::function<void(DispatchSocketDelegate&, const DispatchSocketPtr&)> call);

  // connecting
  bool preConnectWithInterface(std::optional<std::string_view> interface, platform::Error* error);
  bool preConnectWithUrl(const platform::URL& url, platform::Error* error);
  void lookupDidSucceed(int stateIndex, const Bytes& address4, const Bytes& address6);
  void lookupDidFail(int stateIndex, const platform::Error& error);
  bool connectWithAddress4(const Bytes& address4, const Bytes& address6, platform::Error* error);
  bool connectWithAddressUN(const Bytes& address, platform::Error* error);
  int createSocket(int family, const Bytes& connectInterface, platform::Error* error);
  void connectSocket(int fd, const Bytes& address, int stateIndex);
  void connectAttemptEnded(const std::shared_ptr<ConnectAttempt>& attempt);
  void closeSocket(int fd);
  void didConnect(int stateIndex);
  void didNotConnect(int stateIndex, const platform::Error& error);
  void startConnectTimeout(double timeout);
  // Starts a one-shot timer on the socket queue, kept in `slot`; it calls
  // `onFire` only while it is still the timer in `slot`. A negative time-out
  // starts none.
  void startTimer(double timeout, std::shared_ptr<platform::dispatch::Source> DispatchSocket::*slot,
                  void (DispatchSocket::*onFire)());
  void endConnectTimeout();
  void doConnectTimeout();

  // closing
  void closeWithError(const platform::Error& error);
  void maybeClose();
  // Forbids new requests and closes once the queues named in `drain`
  // (kDisconnectAfterReads, kDisconnectAfterWrites) are empty.
  void disconnectAfter(std::uint32_t drain);

  // reading
  void setupReadAndWriteSourcesForNewlyConnectedSocket(int fd);
  void suspendReadSource();
  void resumeReadSource();
  void suspendWriteSource();
  void resumeWriteSource();
  void queueRead(std::shared_ptr<DispatchReadPacket> packet);
  void maybeDequeueRead();
  void flushSSLBuffers();
  // One pass of doReadData over the current read request: what it has done
  // so far (defined in dispatch_socket_read.cpp).
  struct ReadPass;
  void doReadData();
  bool readStepAllowsRead(std::size_t estimatedBytes);
  void readFromPreBuffer(DispatchReadPacket& packet, ReadPass& pass);
  void readFromSource(DispatchReadPacket& packet, ReadPass& pass);
  std::size_t readIntoBuffer(std::uint8_t* buffer, std::size_t bytesToRead, ReadPass& pass);
  void takeBytesRead(DispatchReadPacket& packet, ReadPass& pass, std::uint8_t* buffer,
                     std::size_t bytesRead, bool readIntoPreBuffer);
  void finishReadPass(const DispatchReadPacket& packet, const ReadPass& pass);
  void doReadEOF();
  void completeCurrentRead();
  void endCurrentRead();

  // writing
  void maybeDequeueWrite();
  void doWriteData();
  void completeCurrentWrite();
  void endCurrentWrite();

  // What reads and writes share: the request queue, its timer and the
  // time-out answered by the delegate. `Side` is ReadSide or WriteSide.
  struct ReadSide;
  struct WriteSide;
  template <class Side>
  std::shared_ptr<typename Side::Packet> currentPacket() const;
  // Starts the next queued request when connected and none runs; true when
  // the side is connected, idle and not draining for a close.
  template <class Side>
  bool dequeueNext();
  template <class Side>
  void endCurrent();
  template <class Side>
  void doTimeout();
  template <class Side>
  void doTimeoutWithExtension(double extension);
  template <class Side>
  double progressReturningTag(long* tag, std::size_t* done, std::size_t* total) const;

  // accepting
  int createListenSocket(int family, const Bytes& address, platform::Error* error);
  void startAcceptSource(int fd);
  bool doAccept(int listenFD);

  // TLS
  void maybeStartTLS();
  void sslStartTLS();
  void sslContinueHandshake();
  void sslShouldTrustPeer(bool trust, int stateIndex);
  std::size_t sslBufferedBytes() const;
  // The TLS layer's read and write steps on the non-blocking descriptor:
  // *length is the room (bytes) on entry and what was moved on return;
  // the result is 0 or a DispatchSocketSSLStatus.
  int sslReadWithBuffer(std::uint8_t* buffer, std::size_t* length);
  int sslWriteWithBuffer(const std::uint8_t* buffer, std::size_t* length);
  int connectedFD() const;

  // diagnostics
  static std::optional<std::string> hostOf(const Bytes& address);
  // The IPv4 answer when there is an IPv4 descriptor, else the IPv6 one
  // (else a default value); asked on the socket queue, waiting for it.
  template <class T>
  T ofConnectedFamily(T (DispatchSocket::*of4)() const, T (DispatchSocket::*of6)() const) const;
  // `addressOf` applied to each descriptor (IPv4, then IPv6): the last
  // non-empty answer; asked on the socket queue, waiting for it.
  Bytes addressOfSockets(Bytes (*addressOf)(int fd)) const;

  // --- state (socket queue only) ---
  std::uint32_t flags_ = 0;
  std::uint16_t config_ = 0;
  std::weak_ptr<DispatchSocketDelegate> delegate_;
  QueuePtr delegateQueue_;
  int socket4FD_ = -1;
  int socket6FD_ = -1;
  int socketUN_ = -1;
  std::optional<platform::URL> socketUrl_;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> socketFileIdentity_;  // device, inode
  int stateIndex_ = 0;
  Bytes connectInterface4_, connectInterface6_, connectInterfaceUN_;
  QueuePtr socketQueue_;
  std::shared_ptr<platform::dispatch::Source> accept4Source_, accept6Source_, acceptUNSource_;
  std::shared_ptr<platform::dispatch::Source> connectTimer_;
  std::vector<std::shared_ptr<ConnectAttempt>> connectAttempts_;
  std::shared_ptr<platform::dispatch::Source> readSource_, writeSource_;
  std::shared_ptr<platform::dispatch::Source> readTimer_, writeTimer_;
  std::deque<ReadItem> readQueue_;
  std::deque<WriteItem> writeQueue_;
  std::optional<ReadItem> currentRead_;
  std::optional<WriteItem> currentWrite_;
  std::uint64_t socketFDBytesAvailable_ = 0;
  std::unique_ptr<DispatchSocketPreBuffer> preBuffer_;
  std::unique_ptr<DispatchSocketTLS> tls_;
  std::unique_ptr<DispatchSocketPreBuffer> sslPreBuffer_;
  std::size_t sslWriteCachedLength_ = 0;
  int sslErrCode_ = 0;
  int lastSSLHandshakeError_ = 0;
  char isOnSocketQueueOrTargetQueueKey_ = 0;
  // Asserts (in checked builds) that the state above is touched on the
  // socket queue or a queue marked as its target.
  platform::dispatch::QueueChecker queueChecker_{&isOnSocketQueueOrTargetQueueKey_};
  std::shared_ptr<void> userData_;
  double alternateAddressDelay_ = 0.3;
  // The time source of the time-outs; set at creation, never changed.
  platform::dispatch::TimeSourcePtr clock_;
};

}  // namespace net::sockets
