// VRPUDIPClient: the client's one HTTP client for the account service. It
// is bound to one of nine HTTPS base URLs, sends and takes JSON, names the
// program in its User-Agent, finds which base URL answers first (the
// base-URL probe), can mark the next request with "Keep-Alive: 0", wraps
// GET and POST with one automatic retry, and lets a caller wait until every
// outstanding request has finished.
//
// Base URLs: the nine of defaultMainServers(), in a fixed order. The
// environment variable VARNEL_ACCOUNT_SERVICE_URLS, when set to a non-empty
// list of base URLs separated by commas or blanks, replaces the whole list
// (tests and the demo run point the client at the local account service
// that way). The base URL at creation is the fourth of the list (the last
// one when the list is shorter); after a probe in which nobody answered it
// is the first.
//
// Guarantees:
//  1. Every callback of this class runs on the main queue.
//  2. Exactly the next GET or POST after clearKeepaliveToken carries
//     "Keep-Alive: 0"; the one after it carries none.
//  3. The retrying wrappers make at most two attempts and call exactly one
//     of the caller's callbacks once. A failure whose body (the error's
//     recovery suggestion) begins with "ERROR -" is not retried: the caller
//     gets an error whose recovery suggestion is the body from its eighth
//     character on and whose localized description is that message without
//     surrounding blanks, so it can be shown to the user. Both attempts
//     share the first one's deadline: a time-out is never retried, and a
//     retry may take only what is left of the deadline (none is made when
//     nothing is left), so a wrapped request ends within one deadline
//     however the server behaves.
//  4. The probe (updateReachableServers) asks "<base>/ping/" of every base
//     URL at once; the first JSON object reply holding "success" wins. It
//     ends when one wins, as soon as every base URL has failed (refused,
//     an error, or a reply that is not such an object), or when the bound
//     (25 s) has passed, whichever comes first; it then cancels every
//     operation of the client then still running, chooses the winner (else
//     the first base URL) as the base URL and calls back once.
//  5. Every request bounds its reply (NKHTTPClient guarantee 6): at most
//     kNKHTTPClientDefaultMaximumResponseLength body bytes, and the whole
//     load within kAccountServiceMaximumDuration seconds unless the owner
//     sets another deadline (setDefaultMaximumDuration). A request that
//     makes no progress for kAccountServiceIdleTimeout seconds fails (the
//     probes' requests: for their bounds).
//
// Thread safety: requests, headers and the probe are started from the main
// thread, one probe at a time; sharedClient() from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/http/http_client.h"
#include "platform/foundation/value.h"

namespace client {

inline constexpr const char* kAccountServiceURLsEnvironmentVariable = "VARNEL_ACCOUNT_SERVICE_URLS";

// Seconds one account-service request may take from its start to the last
// byte of the reply. The replies are a few kilobytes (the server lists some
// tens): even a link of a few kilobytes a second, a slow TLS handshake and
// a service taking some seconds to think end well within it, while a
// mirror that trickles cannot keep "Authenticating." up for longer than
// half a minute (one that says nothing at all meets the shorter idle
// time-out below).
inline constexpr double kAccountServiceMaximumDuration = 30.0;

// Seconds an account-service request may go without any progress (no
// byte of the TLS handshake or of the reply) before it fails: a mirror that
// accepted the connection and then says nothing costs the user at most
// this long, while a slow link, which keeps making progress, is not cut
// short. The probes wait for silent base URLs as long as their own bounds.
inline constexpr double kAccountServiceIdleTimeout = 10.0;

class VRPUDIPClient : public net::http::NKHTTPClient {
 public:
  using Ptr = std::shared_ptr<VRPUDIPClient>;
  using Completion = std::function<void()>;

  // Bounds of the two probes, in seconds (tests inject short ones).
  struct ProbeBounds {
    double baseURLProbe = 25.0;
    double mirrorProbe = 5.0;
  };

  // The shared instance, created once on first use.
  static Ptr sharedClient();
  // Tests: forgets the shared instance, so the next sharedClient() makes a
  // new one (reading VARNEL_ACCOUNT_SERVICE_URLS again). Nothing can put
  // another client in its place.
  static void resetSharedClientForTesting();
  // A new client, as sharedClient() makes it.
  static Ptr make();

  // The nine base URLs of the product.
  static std::vector<std::string> defaultMainServers();
  // The nine, or the list from VARNEL_ACCOUNT_SERVICE_URLS.
  static std::vector<std::string> configuredMainServers();
  // The three mirror labels and the mirror domain of findReachableMirror.
  static std::vector<std::string> mirrorLabels();
  static std::string mirrorDomain();

  // Ignores its argument: the base URL is the fourth of mainServers().
  void initWithBaseURL(const platform::URL& url) override;
  std::string className() const override { return "VRPUDIPClient"; }

  // The default headers live here (every header operation goes through them).
  platform::urlloading::HeaderFields defaultHeaders() const override;
  void setDefaultHeaders(platform::urlloading::HeaderFields headers) override;

  // The base class's request, with the deadline a retry was given
  // (guarantee 3) when it is built for one.
  URLRequest requestWithMethod(const std::string& method, const std::optional<std::string>& path,
                               const platform::Value& parameters) override;
  // Keep-Alive handling around the base class's request (guarantee 2).
  void getPath(const std::string& path, const platform::Value& parameters, SuccessBlock success,
               FailureBlock failure) override;
  void postPath(const std::string& path, const platform::Value& parameters, SuccessBlock success,
                FailureBlock failure) override;

  // The same with the "ERROR -" filter and one retry (guarantee 3).
  void getPathFromDIP(const std::string& path, const platform::Value& parameters,
                      SuccessBlock success, FailureBlock failure);
  void postToDIP(const std::string& path, const platform::Value& parameters, SuccessBlock success,
                 FailureBlock failure);
  // getPathFromDIP whose retry is left out when it cannot help: the
  // connection was refused, the peer failed the TLS handshake, or the
  // service answered with a reply that could not be read or was over the
  // body limit. The login goes this way, so that it is sent once.
  void getPathFromDIPOnceAnswered(const std::string& path, const platform::Value& parameters,
                                  SuccessBlock success, FailureBlock failure);
  // True for a refused connection, a failed TLS handshake, an unreadable
  // reply and one over the body limit.
  static bool isAnsweredOrRefused(const platform::Error& error);
  // True for a load that ran out of time (idle time-out or deadline).
  static bool isTimeOut(const platform::Error& error);

  // The base-URL probe (guarantee 4).
  void updateReachableServers(Completion completion);
  // When the last probe ended (chose its base URL); nullopt before the first.
  std::optional<std::chrono::steady_clock::time_point> lastProbeEnd() const;
  // Probes the three mirror hosts; calls back with the label that answered
  // first, else the first label.
  void findReachableMirror(std::function<void(std::string label)> completion);
  void clearKeepaliveToken() { clearKeepalive_ = true; }
  bool clearKeepalive() const { return clearKeepalive_; }
  // Calls back on the main queue once every request of the client finished.
  void waitForOperations(Completion completion);

  const std::vector<std::string>& mainServers() const { return mainServers_; }
  std::vector<std::string> bestServers() const;
  ProbeBounds probeBounds() const;
  void setProbeBounds(ProbeBounds bounds);

  // The error the wrappers hand on for an "ERROR -" body, or an empty Error
  // when `error` carries no such body.
  static platform::Error serverMessageError(const platform::Error& error);

 protected:
  VRPUDIPClient() = default;
  net::http::NKHTTPClient::Ptr newInstance(const platform::URL&) const override { return make(); }
  friend class net::http::NKHTTPClient;

 private:
  using Sender = void (VRPUDIPClient::*)(const std::string&, const platform::Value&, SuccessBlock,
                                         FailureBlock);
  void sendWithRetry(Sender send, const std::string& path, const platform::Value& parameters,
                     SuccessBlock success, FailureBlock failure, bool retryAll);
  // Runs `probe` of each URL until one wins or `bound` passed (on a global queue).
  struct ProbeRun;

  std::vector<std::string> mainServers_;
  mutable std::mutex mutex_;  // guards bestServers_, headers_ and bounds_
  std::vector<std::string> bestServers_;
  platform::urlloading::HeaderFields headers_;
  ProbeBounds bounds_;
  std::optional<std::chrono::steady_clock::time_point> lastProbeEnd_;
  std::atomic<bool> clearKeepalive_{false};
};

}  // namespace client
