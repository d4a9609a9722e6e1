// URLConnection: loads one URLRequest over HTTP or HTTPS and reports the
// load to its delegate, after the platform's URL connection.
//
// Guarantees:
//  1. All loading runs on one network thread per process, named
//     "NKNetworking" (NetworkThread::shared()), over libcurl's multi
//     interface, driven socket by socket. The thread owns a run loop
//     (platform/runloop) that it drives between transfers, so
//     NetworkThread::perform blocks and run loop timers of that thread run
//     beside the transfers. Every delegate callback runs on this thread, one
//     at a time. A load started by a block is sent as soon as that block
//     returns, and answers already in are taken before the next block runs.
//     Right after work the thread polls for a short, adaptive time (at most
//     200 µs) before it sleeps; an idle thread sleeps.
//     While the thread has a load of its own under way, further plain GETs
//     over http (no body, no credential) have their socket work done by a
//     loader thread of this layer (url_loader.h; three on a machine of
//     eight processors or more, one on four to seven), so that a burst of
//     loads uses more than one processor. Their callbacks still run on the
//     network thread, in the same order, when what the loader received is
//     played there; a refusal or a cancel there ends the loader's transfer.
//  2. Callbacks of one load, in order: willSendRequestForAuthenticationChallenge
//     (server trust of each new TLS connection; an HTTP 401 with
//     "WWW-Authenticate"), willSendRequest (each redirect: 301, 302, 303,
//     307, 308 with "Location"; redirects are followed by this class, not by
//     libcurl, so the hook sees every hop and may change or refuse it),
//     didSendBodyData, didReceiveResponse (once, for the final response),
//     didReceiveData (zero or more), then exactly one of didFinishLoading
//     (after willCacheResponse) or didFailWithError, unless the connection
//     was cancelled first: cancel() ends the load without any further
//     callback once the network thread has seen it.
//  3. A challenge must be answered inside the delegate call, through the
//     challenge's sender. Server trust: useCredential accepts the server,
//     continueWithoutCredential (or no answer) applies the default
//     evaluation (platform/security/trust.h), cancel refuses it. A refused
//     server fails the load with -1202. HTTPS connections are kept for
//     later loads to the same host and port, and TLS sessions are resumed;
//     still every load's server is judged by its own delegate, exactly once
//     per connection attempt: in the handshake of a new connection, or,
//     on a kept connection or a resumed session, from the chain the server
//     presented, before the request is sent. A refusal there fails the load
//     with -1202 without sending anything. A load whose body comes from a
//     stream always takes a new connection (it could not be sent again).
//  4. Failures are NSURLErrorDomain errors: -999 cancelled (a challenge
//     cancelled other than server trust), -1001 timed out (no progress for
//     the request's timeout interval, or the whole load longer than its
//     maximumDuration), -1002 unsupported URL (of the request itself),
//     -1003 host not found, -1004 cannot connect, -1005 connection lost,
//     -1007 too many redirects, -1011 bad server response (a status line or
//     "Content-Length" that is not HTTP, a head longer than
//     kMaximumResponseHeadLength; the description says which), -1022 a
//     redirect from https to http, -1103 a body over the request's
//     maximumResponseLength (didReceiveResponse comes first, also when the
//     "Content-Length" alone refuses the body), -1200 TLS failure, -1202 untrusted
//     certificate, and the body stream's own error when it fails to read.
//     userInfo holds the description, NSErrorFailingURLKey and
//     NSErrorFailingURLStringKey. Running out of memory while taking a
//     reply in (here or in the delegate's data callback) fails the load; it
//     never ends the process.
//  5. The connection holds its delegate until the load ends or is cancelled.
//  6. Redirects never lower the scheme: an https load that is redirected to
//     http fails with -1022 before anything is sent there, whatever the
//     delegate would answer. A redirect to another host, port or scheme
//     drops the request's "Authorization" header and the credential of an
//     earlier challenge; the new server's trust goes to the delegate as
//     for any new connection (so its pins judge it).
//
// Thread safety: create, start and cancel from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/runloop/run_loop.h"
#include "platform/security/trust.h"
#include "platform/urlloading/url_request.h"

namespace platform::urlloading {

inline constexpr const char* kNetworkThreadName = "NKNetworking";

inline constexpr std::int64_t kURLErrorUnknown = -1;
inline constexpr std::int64_t kURLErrorCancelled = -999;
inline constexpr std::int64_t kURLErrorBadURL = -1000;
inline constexpr std::int64_t kURLErrorTimedOut = -1001;
inline constexpr std::int64_t kURLErrorUnsupportedURL = -1002;
inline constexpr std::int64_t kURLErrorCannotFindHost = -1003;
inline constexpr std::int64_t kURLErrorCannotConnectToHost = -1004;
inline constexpr std::int64_t kURLErrorNetworkConnectionLost = -1005;
inline constexpr std::int64_t kURLErrorHTTPTooManyRedirects = -1007;
inline constexpr std::int64_t kURLErrorBadServerResponse = -1011;
inline constexpr std::int64_t kURLErrorUserCancelledAuthentication = -1012;
// The proxy on the way (the desktop's https_proxy) answered the tunnel's
// CONNECT with 407: it wants credentials this program does not hold.
inline constexpr std::int64_t kURLErrorUserAuthenticationRequired = -1013;
inline constexpr std::int64_t kURLErrorSecureConnectionRequired = -1022;
inline constexpr std::int64_t kURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr std::int64_t kURLErrorSecureConnectionFailed = -1200;
inline constexpr std::int64_t kURLErrorServerCertificateUntrusted = -1202;

// The most bytes one response head (status line and header fields) may
// take; a longer one fails the load with -1011.
inline constexpr std::size_t kMaximumResponseHeadLength = 256 * 1024;

// An NSURLErrorDomain error with the platform's description for `code` and
// the failing URL (when valid) in userInfo.
Error makeURLError(std::int64_t code, const URL& failingURL, std::string description = {});

inline constexpr const char* kAuthenticationMethodServerTrust =
    "NSURLAuthenticationMethodServerTrust";
inline constexpr const char* kAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr const char* kAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";

struct ProtectionSpace {
  std::string host;
  int port = 0;
  std::string protocol;  // "http" or "https"
  std::string realm;
  std::string authenticationMethod;
  std::shared_ptr<security::ServerTrust> serverTrust;  // server-trust challenges only
};

class URLCredential {
 public:
  enum class Persistence { kNone, kForSession, kPermanent };
  URLCredential() = default;
  static URLCredential withUser(std::string user, std::string password,
                                Persistence persistence = Persistence::kForSession);
  static URLCredential forTrust(std::shared_ptr<security::ServerTrust> trust);
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  Persistence persistence() const { return persistence_; }
  const std::shared_ptr<security::ServerTrust>& serverTrust() const { return trust_; }
  bool isEmpty() const { return user_.empty() && !trust_; }

 private:
  std::string user_, password_;
  Persistence persistence_ = Persistence::kNone;
  std::shared_ptr<security::ServerTrust> trust_;
};

class AuthenticationChallenge;

// Answers a challenge; only the first answer counts.
class AuthenticationChallengeSender {
 public:
  virtual ~AuthenticationChallengeSender() = default;
  virtual void useCredential(const URLCredential& credential,
                             const AuthenticationChallenge& challenge) = 0;
  virtual void continueWithoutCredential(const AuthenticationChallenge& challenge) = 0;
  virtual void cancel(const AuthenticationChallenge& challenge) = 0;
};

class AuthenticationChallenge {
 public:
  AuthenticationChallenge(ProtectionSpace space, long previousFailureCount,
                          std::optional<URLResponse> failureResponse,
                          std::shared_ptr<AuthenticationChallengeSender> sender)
      : space_(std::move(space)),
        previousFailureCount_(previousFailureCount),
        failureResponse_(std::move(failureResponse)),
        sender_(std::move(sender)) {}
  const ProtectionSpace& protectionSpace() const { return space_; }
  long previousFailureCount() const { return previousFailureCount_; }
  const std::optional<URLResponse>& failureResponse() const { return failureResponse_; }
  const std::shared_ptr<AuthenticationChallengeSender>& sender() const { return sender_; }

 private:
  ProtectionSpace space_;
  long previousFailureCount_;
  std::optional<URLResponse> failureResponse_;
  std::shared_ptr<AuthenticationChallengeSender> sender_;
};

struct CachedURLResponse {
  URLResponse response;
  Bytes data;
};

class URLConnection;

// Delegate callbacks (all optional); see guarantee 2.
class URLConnectionDelegate {
 public:
  virtual ~URLConnectionDelegate() = default;
  virtual void connectionWillSendRequestForAuthenticationChallenge(
      URLConnection& connection, const AuthenticationChallenge& challenge);
  virtual bool connectionShouldUseCredentialStorage(URLConnection&) { return true; }
  // The request to send for a redirect; nullopt refuses the redirect, and
  // the redirect response then becomes the final response.
  virtual std::optional<URLRequest> connectionWillSendRequest(
      URLConnection&, URLRequest request, const std::optional<URLResponse>& /*redirectResponse*/) {
    return request;
  }
  virtual void connectionDidSendBodyData(URLConnection&, std::int64_t /*bytesWritten*/,
                                         std::int64_t /*totalBytesWritten*/,
                                         std::int64_t /*totalBytesExpectedToWrite*/) {}
  virtual void connectionDidReceiveResponse(URLConnection&, const URLResponse&) {}
  virtual void connectionDidReceiveData(URLConnection&, const std::uint8_t* /*bytes*/,
                                        std::size_t /*length*/) {}
  // No response cache exists: the answer is not stored anywhere.
  virtual std::optional<CachedURLResponse> connectionWillCacheResponse(URLConnection&,
                                                                       CachedURLResponse proposed) {
    return proposed;
  }
  virtual void connectionDidFinishLoading(URLConnection&) {}
  virtual void connectionDidFailWithError(URLConnection&, const Error&) {}
};

// The process's network thread (guarantee 1). Created on first use, never ends.
class NetworkThread {
 public:
  static NetworkThread& shared();
  // Runs `block` on the network thread, in order, never inside the call.
  void perform(std::function<void()> block);
  // Runs `block` on the network thread when it next goes round its loop
  // (within about a second when idle), in order among such blocks, never
  // inside the call, without waking the thread for it: for work that can
  // wait, such as releasing objects the thread made.
  void performLazily(std::function<void()> block);
  // Network thread only: runs `block` on this thread once it has no work
  // at hand (no block queued, no transfer event or timer due), before it
  // polls or sleeps, in order among such blocks, never inside the call:
  // for work that gathers what a burst produced, such as notifications.
  void performWhenIdle(std::function<void()> block);
  bool isCurrent() const;
  runloop::RunLoop& runLoop();

 private:
  NetworkThread();
  struct Impl;
  Impl* impl_;  // lives for the whole process
  friend class URLConnection;
};

class URLConnection : public std::enable_shared_from_this<URLConnection> {
 public:
  ~URLConnection();
  // A connection that loads `request` once start() is called.
  static std::shared_ptr<URLConnection> create(URLRequest request,
                                               std::shared_ptr<URLConnectionDelegate> delegate);
  // Begins the load on the network thread; a second start does nothing.
  void start();
  // Ends the load; no callback follows once the network thread has seen it.
  void cancel();

  const URLRequest& originalRequest() const { return *original_; }
  // The request being loaded now (after redirects). Network thread only.
  const URLRequest& currentRequest() const { return *current_; }

  struct Transfer;  // network-thread state

 private:
  URLConnection(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate);

  // Requests are never changed in place: the two are one object until a
  // redirect gives the connection a new current request.
  std::shared_ptr<const URLRequest> original_;
  std::shared_ptr<const URLRequest> current_;
  std::shared_ptr<URLConnectionDelegate> delegate_;
  std::atomic<bool> started_{false};
  std::atomic<bool> cancelled_{false};
  std::unique_ptr<Transfer> transfer_;
  friend struct NetworkThread::Impl;
};

}  // namespace platform::urlloading
