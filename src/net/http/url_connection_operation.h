// NKURLConnectionOperation: one URL request run as a concurrent operation
// of an operation queue (platform/system/operation_queue.h).
//
// Guarantees:
//  1. States: paused -1, ready 1, executing 2, finished 3. Only the
//     transitions ready->executing, ready->paused, ready->finished (only
//     when cancelled), executing->paused, executing->finished and
//     paused->ready happen; any other request is ignored. Each change is
//     announced for "isPaused", "isReady", "isExecuting" or "isFinished".
//  2. The load runs on the "NKNetworking" thread
//     (platform/urlloading/url_connection.h); every connection callback,
//     and the work of start, cancel and pause on the connection, run there.
//     An operation queue runs start() itself there (takeStart). Nothing
//     waits for that thread. When the load ends, the operation is finished
//     (state, observers, completion block) on a global queue, together with
//     the others whose loads ended about then (the batching and its contract:
//     url_connection_operation_batching.h).
//  3. The start and finish notifications, the progress blocks and the
//     totalBytesRead updates run on the main queue; an operation's start
//     notification comes before its finish notification, and that before
//     what its completion block posts to the main queue. The completion
//     block runs once, after the operation finished, on a global queue, and
//     is released after it ran.
//  4. The body goes into outputStream() (in memory unless the caller set
//     another stream). A write that fails, or a stream that cannot take
//     bytes, cancels the load and fails the operation with the stream's
//     error: the body is never cut short silently. The request's
//     maximumResponseLength and maximumDuration bound the load (see
//     platform/urlloading/url_request.h); a body that does not fit in
//     memory fails the operation with ENOMEM (NSPOSIXErrorDomain).
//  5. Cancelling a paused operation finishes it with the cancellation
//     error (-999), so a queue waiting for it does not wait for ever.
//  6. Authentication challenges: see url_connection_operation_auth.cpp
//     (server trust by the system's evaluation or by pinned certificates or
//     public keys; other challenges with `credential`). In the pinning modes
//     the chain and the host name are verified as well, with the pinned
//     certificates as extra anchors, and the pin must be in the verified
//     chain, so a pinned certificate appended to a foreign chain is refused.
//
//  7. State changes go through platform::Operation::transitionState: the
//     state moves under the operation's state lock and is announced after
//     it is released. No lock of the operation is held while it calls out
//     (observers, the connection, the output stream's open and close, the
//     notifications), so an observer may call back into the operation from
//     any thread.
//
// Thread safety: every public member may be called from any thread; lock_
// (not recursive) guards the fields below it that are not atomic, and is
// only ever held around reads and writes of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "net/http/operation_class.h"
#include "net/http/pinned_certificates.h"
#include "platform/foundation/error.h"
#include "platform/foundation/string_encoding.h"
#include "platform/foundation/value.h"
#include "platform/security/certificate.h"
#include "platform/system/operation.h"
#include "platform/urlloading/stream.h"
#include "platform/urlloading/url_connection.h"
#include "platform/urlloading/url_request.h"

namespace net::http {

inline constexpr const char* kNKNetworkingOperationDidStartNotification =
    "com.netkit.networking.operation.start";
inline constexpr const char* kNKNetworkingOperationDidFinishNotification =
    "com.netkit.networking.operation.finish";
inline constexpr const char* kNKOperationLockName = "com.netkit.networking.operation.lock";

enum NKSSLPinningMode : std::int32_t {
  NKSSLPinningModeNone = 0,
  NKSSLPinningModePublicKey = 1,
  NKSSLPinningModeCertificate = 2,
};

// A text encoding chosen for a response body.
struct NKTextEncoding {
  platform::StringEncoding encoding = platform::StringEncoding::UTF8;
  std::string charsetName;  // for encodings outside the enum
  friend bool operator==(const NKTextEncoding& a, const NKTextEncoding& b) {
    return a.encoding == b.encoding && a.charsetName == b.charsetName;
  }
};

class NKURLConnectionOperation : public platform::Operation,
                                 public platform::urlloading::URLConnectionDelegate {
 public:
  using Ptr = std::shared_ptr<NKURLConnectionOperation>;
  using URLRequest = platform::urlloading::URLRequest;
  using URLResponse = platform::urlloading::URLResponse;
  using URLConnection = platform::urlloading::URLConnection;
  using AuthenticationChallenge = platform::urlloading::AuthenticationChallenge;
  using CachedURLResponse = platform::urlloading::CachedURLResponse;
  using ProgressBlock = std::function<void(std::int64_t, std::int64_t, std::int64_t)>;
  using ChallengeBlock = std::function<void(URLConnection&, const AuthenticationChallenge&)>;
  using CacheBlock =
      std::function<std::optional<CachedURLResponse>(URLConnection&, const CachedURLResponse&)>;
  using RedirectBlock = std::function<std::optional<URLRequest>(URLConnection&, const URLRequest&,
                                                                const std::optional<URLResponse>&)>;

  enum State : std::int16_t { kPaused = -1, kReady = 1, kExecuting = 2, kFinished = 3 };

  static Ptr create(URLRequest request);
  explicit NKURLConnectionOperation(URLRequest request);
  ~NKURLConnectionOperation() override;

  static const NKOperationClass& operationClass();
  virtual const NKOperationClass& objectClass() const { return operationClass(); }

  // --- state ------------------------------------------------------------
  bool isReady() const override;
  bool isExecuting() const override;
  bool isFinished() const override;
  bool isCancelled() const override;
  bool isConcurrent() const override { return true; }
  bool isPaused() const;
  std::int16_t state() const { return state_.load(); }
  void start() override;
  // Runs a queue's start on the network thread (see guarantee 2).
  bool takeStart(std::function<void()>& start) override;
  void cancel() override;
  virtual void pause();
  void resume();
  // Runs `block` once after the operation finished (nullptr clears it).
  void setCompletionBlock(std::function<void()> block);
  // The block last given to setCompletionBlock (empty once it ran).
  std::function<void()> completionBlock() const;
  std::string description() const override;

  // --- request and response ---------------------------------------------
  URLRequest request() const;
  std::optional<URLResponse> response() const;
  // The transport, cancellation or stream error (subclasses add their own).
  virtual platform::Error error();
  // The body, once loading finished.
  std::optional<platform::Bytes> responseData() const;
  std::optional<std::string> responseString();
  virtual std::optional<NKTextEncoding> responseStringEncoding();
  std::int64_t totalBytesRead() const { return totalBytesRead_.load(); }

  std::shared_ptr<platform::urlloading::InputStream> inputStream() const;
  void setInputStream(std::shared_ptr<platform::urlloading::InputStream> stream);
  std::shared_ptr<platform::urlloading::OutputStream> outputStream();
  void setOutputStream(std::shared_ptr<platform::urlloading::OutputStream> stream);

  // --- settings (set before starting) ------------------------------------
  std::optional<platform::urlloading::URLCredential> credential() const;
  void setCredential(std::optional<platform::urlloading::URLCredential> credential);
  bool shouldUseCredentialStorage() const { return shouldUseCredentialStorage_; }
  void setShouldUseCredentialStorage(bool v) { shouldUseCredentialStorage_ = v; }
  bool allowsInvalidSSLCertificate() const { return allowsInvalidSSLCertificate_; }
  void setAllowsInvalidSSLCertificate(bool v) { allowsInvalidSSLCertificate_ = v; }
  std::int32_t SSLPinningMode() const { return pinningMode_; }
  void setSSLPinningMode(std::int32_t mode) { pinningMode_ = mode; }
  platform::Value userInfo() const;
  void setUserInfo(platform::Value info);
  std::set<std::string> runLoopModes() const;
  void setRunLoopModes(std::set<std::string> modes);
  void* backgroundTaskIdentifier() const { return backgroundTask_; }
  void setBackgroundTaskIdentifier(void* id) { backgroundTask_ = id; }

  void setUploadProgressBlock(ProgressBlock block);
  void setDownloadProgressBlock(ProgressBlock block);
  void setWillSendRequestForAuthenticationChallengeBlock(ChallengeBlock block);
  void setCacheResponseBlock(CacheBlock block);
  void setRedirectResponseBlock(RedirectBlock block);

  // --- pinning ------------------------------------------------------------------
  // The certificates the pinning modes trust (set before starting; nullptr,
  // the default, stands for NKPinnedCertificates::bundled(), the main
  // bundle's "cer" resources).
  NKPinnedCertificates::Ptr pinnedCertificates() const;
  void setPinnedCertificates(NKPinnedCertificates::Ptr pins);

  // --- archiving and copying ---------------------------------------------
  // Pauses the operation, then writes its state (see the class's tests).
  platform::Value encodeWithCoder();
  // A new operation of the class recorded by the caller, restored from `coder`.
  template <class T>
  static std::shared_ptr<T> decodeWithCoder(const platform::Value& coder) {
    auto op = std::make_shared<T>(URLRequest::fromValue(coder["request"]));
    op->restoreFromCoder(coder);
    return op;
  }
  // A new ready operation of the same class for the same request, with the
  // five blocks and allowsInvalidSSLCertificate; nothing else.
  Ptr copy() const;

  // --- URL connection delegate (network thread) -----------------------------
  void connectionWillSendRequestForAuthenticationChallenge(
      URLConnection& connection, const AuthenticationChallenge& challenge) override;
  bool connectionShouldUseCredentialStorage(URLConnection&) override {
    return shouldUseCredentialStorage_;
  }
  std::optional<URLRequest> connectionWillSendRequest(
      URLConnection& connection, URLRequest request,
      const std::optional<URLResponse>& redirectResponse) override;
  void connectionDidSendBodyData(URLConnection&, std::int64_t bytesWritten,
                                 std::int64_t totalBytesWritten,
                                 std::int64_t totalBytesExpectedToWrite) override;
  void connectionDidReceiveResponse(URLConnection&, const URLResponse& response) override;
  void connectionDidReceiveData(URLConnection&, const std::uint8_t* bytes,
                                std::size_t length) override;
  std::optional<CachedURLResponse> connectionWillCacheResponse(URLConnection&,
                                                               CachedURLResponse proposed) override;
  void connectionDidFinishLoading(URLConnection&) override;
  void connectionDidFailWithError(URLConnection&, const platform::Error& error) override;

  // Key path of a state value ("isPaused", "isReady", "isExecuting",
  // "isFinished", else "state").
  static const char* keyPathForState(std::int16_t state);
  // Whether the transition table allows from -> to.
  static bool stateTransitionIsValid(std::int16_t from, std::int16_t to, bool cancelled);

 protected:
  // One transition of the table (guarantee 1), announced after the state
  // lock is released; false when the table refuses it.
  bool setState(std::int16_t state);
  void finish();
  void setRequest(URLRequest request);
  void resetTotalBytesRead() { totalBytesRead_ = 0; }
  // Cancels `connection` and fails the operation with `error`.
  void failConnection(URLConnection& connection, const platform::Error& error);
  void restoreFromCoder(const platform::Value& coder);
  // The response and the body in place, without a copy; hold lock_ (and
  // call nothing that takes it meanwhile: it is not recursive).
  const std::optional<URLResponse>& responseRef() const { return response_; }
  const URLRequest& requestRef() const { return request_; }
  const std::optional<platform::Bytes>& responseDataRef() const { return responseData_; }
  // Mutable copy of the settings carried by copy().
  void copySettingsTo(NKURLConnectionOperation& other) const;
  std::shared_ptr<NKURLConnectionOperation> sharedSelf() {
    return std::static_pointer_cast<NKURLConnectionOperation>(shared_from_this());
  }

  mutable std::mutex lock_;

 private:
  // Sets the load of start() number `generation` going (network thread).
  void operationDidStart(std::uint64_t generation);
  void cancelConnection();
  // The end of the load of `connection`: finished (no error) or failed.
  // Returns the connection the operation let go, if any.
  std::shared_ptr<URLConnection> connectionEnded(URLConnection& connection,
                                                 const std::optional<platform::Error>& error);
  // Hands the end of a load over to be finished on a global queue
  // (network thread; elsewhere it finishes the operation at once).
  void deferLoadEnd(URLConnection& connection, std::optional<platform::Error> error);
  struct LoadEnd;
  struct LoadEndQueue;
  static LoadEndQueue& loadEnds();
  static void drainLoadEnds();
  static void helpDrainLoadEnds();
  static void finishLoads(std::vector<LoadEnd>& ends);
  platform::Error cancellationError() const;
  bool isCurrentConnection(const URLConnection& connection) const;

  std::atomic<bool> cancelled_{false};
  std::atomic<bool> allowsInvalidSSLCertificate_{false};
  std::atomic<bool> shouldUseCredentialStorage_{true};
  std::atomic<std::int16_t> state_{kReady};
  std::uint64_t startGeneration_ = 0;  // start() calls so far; guarded by lock_
  // The latest start notification's ticket (url_connection_batching).
  std::atomic<std::uint64_t> startTicket_{0};
  // The current connection's load ended and its finish is on its way (see
  // guarantee 2); guarded by lock_.
  bool loadEnded_ = false;
  std::atomic<std::int32_t> pinningMode_{NKSSLPinningModeNone};
  NKPinnedCertificates::Ptr pinnedCertificates_;  // guarded by lock_
  std::shared_ptr<URLConnection> connection_;
  std::set<std::string> runLoopModes_;
  URLRequest request_;
  std::optional<URLResponse> response_;
  platform::Error error_;
  std::optional<platform::Bytes> responseData_;
  std::optional<std::string> responseString_;
  std::optional<NKTextEncoding> responseStringEncoding_;
  std::atomic<std::int64_t> totalBytesRead_{0};
  std::shared_ptr<platform::urlloading::OutputStream> outputStream_;
  std::optional<platform::urlloading::URLCredential> credential_;
  platform::Value userInfo_;
  void* backgroundTask_ = nullptr;
  ProgressBlock uploadProgress_;
  ProgressBlock downloadProgress_;
  ChallengeBlock authenticationChallenge_;
  CacheBlock cacheResponse_;
  RedirectBlock redirectResponse_;
  std::shared_ptr<std::function<void()>> completion_;
  // Holds the operation from its finish until its completion block ran, so
  // the block itself need only refer to the operation weakly (an operation
  // that never runs is then not kept alive by its own block).
  std::shared_ptr<std::shared_ptr<NKURLConnectionOperation>> finishingSelf_;
};

}  // namespace net::http
