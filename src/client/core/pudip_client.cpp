#include "client/core/pudip_client.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>

#include "codecs/json_scanner.h"
#include "net/http/http_request_operation.h"
#include "net/http/json_request_operation.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/format.h"
#include "platform/system/bundle.h"
#include "platform/system/process_info.h"
#include "platform/urlloading/url_connection.h"

namespace client {

using net::http::NKHTTPRequestOperation;
using platform::Value;
using platform::dispatch::Queue;

namespace {

std::mutex gSharedMutex;
VRPUDIPClient::Ptr& sharedSlot() {
  static VRPUDIPClient::Ptr client;
  return client;
}

// The deadline a retry was given (VRPUDIPClient guarantee 3), while the
// retry's request is built on this thread.
thread_local std::optional<double> tRetryDeadline;
// The idle time-out of the probes' requests, while they are built on this
// thread: a probe waits for a silent base URL as long as its own bound.
thread_local std::optional<double> tIdleTimeout;

std::string trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return std::string(s.substr(first, last - first + 1));
}

}  // namespace

// One probe: the first success wins; the waiting thread sleeps on `cv`.
struct VRPUDIPClient::ProbeRun {
  std::mutex mutex;
  std::condition_variable cv;
  bool won = false;
  std::string winner;
  // Probes without an answer yet: when none is left and none won, every
  // base URL has failed and there is nothing more to wait for.
  std::size_t pending = 0;
  void oneFailed() {
    std::lock_guard<std::mutex> lock(mutex);
    if (pending > 0 && --pending == 0) cv.notify_all();
  }
};

VRPUDIPClient::Ptr VRPUDIPClient::sharedClient() {
  std::lock_guard<std::mutex> lock(gSharedMutex);
  auto& slot = sharedSlot();
  if (!slot) slot = make();
  return slot;
}

void VRPUDIPClient::resetSharedClientForTesting() {
  std::lock_guard<std::mutex> lock(gSharedMutex);
  sharedSlot().reset();
}

VRPUDIPClient::Ptr VRPUDIPClient::make() { return create<VRPUDIPClient>(platform::URL()); }

std::vector<std::string> VRPUDIPClient::defaultMainServers() {
  return {"https://api.varnelvpn.com", "https://api.varnelvpn.net", "https://api.varnelvpn.org",
          "https://dip.varnelvpn.com", "https://dip.varnelvpn.net", "https://dip.varnelvpn.org",
          "https://eu.varnelvpn.com",  "https://us.varnelvpn.com",  "https://asia.varnelvpn.com"};
}

std::vector<std::string> VRPUDIPClient::configuredMainServers() {
  const char* env = std::getenv(kAccountServiceURLsEnvironmentVariable);
  if (env == nullptr) return defaultMainServers();
  std::vector<std::string> list;
  std::string current;
  auto flush = [&] {
    while (!current.empty() && current.back() == '/') current.pop_back();
    if (!current.empty()) list.push_back(current);
    current.clear();
  };
  for (const char* p = env; *p != '\0'; ++p) {
    if (*p == ',' || *p == ' ' || *p == '\t' || *p == '\n')
      flush();
    else
      current += *p;
  }
  flush();
  return list.empty() ? defaultMainServers() : list;
}

std::vector<std::string> VRPUDIPClient::mirrorLabels() { return {"m1", "m2", "m3"}; }
std::string VRPUDIPClient::mirrorDomain() { return "mirror.varnelvpn.net"; }

void VRPUDIPClient::initWithBaseURL(const platform::URL&) {
  mainServers_ = configuredMainServers();
  const std::size_t start = mainServers_.size() > 3 ? 3 : mainServers_.size() - 1;
  NKHTTPClient::initWithBaseURL(platform::URL(mainServers_[start]));
  registerHTTPOperationClass(net::http::NKJSONRequestOperation::operationClass());
  // Guarantee 5: the replies are small JSON documents.
  setDefaultMaximumResponseLength(net::http::kNKHTTPClientDefaultMaximumResponseLength);
  setDefaultMaximumDuration(kAccountServiceMaximumDuration);
  setDefaultHeader("Accept", "application/json");
  setParameterEncoding(net::http::NKJSONParameterEncoding);
  auto bundle = platform::Bundle::main();
  setDefaultHeader("User-Agent",
                   platform::format("OSXVarnelDial/%@/%@", bundle ? bundle->version() : "",
                                    platform::ProcessInfo::operatingSystemVersionString()));
}

platform::urlloading::HeaderFields VRPUDIPClient::defaultHeaders() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return headers_;
}

void VRPUDIPClient::setDefaultHeaders(platform::urlloading::HeaderFields headers) {
  std::lock_guard<std::mutex> lock(mutex_);
  headers_ = std::move(headers);
}

std::vector<std::string> VRPUDIPClient::bestServers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bestServers_;
}

VRPUDIPClient::ProbeBounds VRPUDIPClient::probeBounds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bounds_;
}

std::optional<std::chrono::steady_clock::time_point> VRPUDIPClient::lastProbeEnd() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastProbeEnd_;
}

void VRPUDIPClient::setProbeBounds(ProbeBounds bounds) {
  std::lock_guard<std::mutex> lock(mutex_);
  bounds_ = bounds;
}

VRPUDIPClient::URLRequest VRPUDIPClient::requestWithMethod(const std::string& method,
                                                           const std::optional<std::string>& path,
                                                           const Value& parameters) {
  URLRequest request = NKHTTPClient::requestWithMethod(method, path, parameters);
  if (tRetryDeadline) request.setMaximumDuration(*tRetryDeadline);
  request.setTimeoutInterval(tIdleTimeout.value_or(kAccountServiceIdleTimeout));
  return request;
}

void VRPUDIPClient::getPath(const std::string& path, const Value& parameters, SuccessBlock success,
                            FailureBlock failure) {
  if (clearKeepalive_) setDefaultHeader("Keep-Alive", "0");
  NKHTTPClient::getPath(path, parameters, std::move(success), std::move(failure));
  if (clearKeepalive_.exchange(false)) setDefaultHeader("Keep-Alive", std::nullopt);
}

void VRPUDIPClient::postPath(const std::string& path, const Value& parameters, SuccessBlock success,
                             FailureBlock failure) {
  if (clearKeepalive_) setDefaultHeader("Keep-Alive", "0");
  NKHTTPClient::postPath(path, parameters, std::move(success), std::move(failure));
  if (clearKeepalive_.exchange(false)) setDefaultHeader("Keep-Alive", std::nullopt);
}

platform::Error VRPUDIPClient::serverMessageError(const platform::Error& error) {
  const std::string suggestion = error.localizedRecoverySuggestion();
  if (!suggestion.starts_with("ERROR -")) return {};
  const std::string rest = suggestion.substr(7);
  Value info = Value::mutableDictionary();
  if (error.userInfo().isDictionary()) info.addEntriesFrom(error.userInfo());
  info.set(platform::kLocalizedRecoverySuggestionErrorKey, rest);
  info.set(platform::kLocalizedDescriptionKey, trimmed(rest));
  return platform::Error(error.domain(), error.code(), info.copy());
}

bool VRPUDIPClient::isAnsweredOrRefused(const platform::Error& error) {
  if (error.domain() == net::http::kNKNetworkingErrorDomain &&
      error.code() == net::http::kNKErrorUnacceptableContentType)
    return true;  // the service answered, with something unreadable
  if (error.domain() == codecs::kJTErrorDomain) return true;  // malformed JSON
  // A reply larger than any the service sends comes again as large.
  if (error.domain() == platform::kURLErrorDomain &&
      error.code() == platform::urlloading::kURLErrorDataLengthExceedsMaximum)
    return true;
  // Refused, or a peer that does not speak TLS with us: the same again.
  return error.code() == platform::urlloading::kURLErrorCannotConnectToHost ||
         error.code() == platform::urlloading::kURLErrorSecureConnectionFailed ||
         error.code() == platform::urlloading::kURLErrorServerCertificateUntrusted;
}

bool VRPUDIPClient::isTimeOut(const platform::Error& error) {
  return error.domain() == platform::kURLErrorDomain &&
         error.code() == platform::urlloading::kURLErrorTimedOut;
}

void VRPUDIPClient::sendWithRetry(Sender send, const std::string& path, const Value& parameters,
                                  SuccessBlock success, FailureBlock failure, bool retryAll) {
  auto self = std::static_pointer_cast<VRPUDIPClient>(shared_from_this());
  const auto sent = std::chrono::steady_clock::now();
  auto retry = [self, send, path, parameters, success, failure, retryAll, sent](
                   const NKHTTPRequestOperation::Ptr& operation, const platform::Error& error) {
    if (platform::Error server = serverMessageError(error)) {
      if (failure) failure(operation, server);
      return;
    }
    // Asking again at once gets the same refusal or the same reply; and a
    // server that was too slow once would have the user wait twice.
    if ((!retryAll && isAnsweredOrRefused(error)) || isTimeOut(error)) {
      if (failure) failure(operation, error);
      return;
    }
    // The retry gets what is left of the first attempt's deadline.
    std::optional<double> left;
    if (const double deadline = operation ? operation->request().maximumDuration() : 0;
        deadline > 0) {
      left =
          deadline - std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
      if (*left <= 0) {
        if (failure) failure(operation, error);
        return;
      }
    }
    tRetryDeadline = left;
    ((*self).*send)(path, parameters, success, failure);
    tRetryDeadline.reset();
  };
  (this->*send)(path, parameters, success, retry);
}

void VRPUDIPClient::getPathFromDIP(const std::string& path, const Value& parameters,
                                   SuccessBlock success, FailureBlock failure) {
  sendWithRetry(&VRPUDIPClient::getPath, path, parameters, std::move(success), std::move(failure),
                true);
}

void VRPUDIPClient::getPathFromDIPOnceAnswered(const std::string& path, const Value& parameters,
                                               SuccessBlock success, FailureBlock failure) {
  sendWithRetry(&VRPUDIPClient::getPath, path, parameters, std::move(success), std::move(failure),
                false);
}

void VRPUDIPClient::postToDIP(const std::string& path, const Value& parameters,
                              SuccessBlock success, FailureBlock failure) {
  sendWithRetry(&VRPUDIPClient::postPath, path, parameters, std::move(success), std::move(failure),
                true);
}

void VRPUDIPClient::updateReachableServers(Completion completion) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bestServers_.clear();
  }
  auto self = std::static_pointer_cast<VRPUDIPClient>(shared_from_this());
  auto run = std::make_shared<ProbeRun>();
  run->pending = mainServers_.size();
  // The probes are queued from the calling thread (the client's requests are
  // built on one thread); the wait runs on a global queue.
  for (const std::string& base : mainServers_) {
    auto success = [self, run, base](const NKHTTPRequestOperation::Ptr&, const Value& reply) {
      // A reply that is not the ping's answer counts as no answer.
      if (!reply.isDictionary() || !reply.contains("success")) {
        run->oneFailed();
        return;
      }
      std::lock_guard<std::mutex> lock(run->mutex);
      if (run->won) return;
      run->won = true;
      {
        std::lock_guard<std::mutex> best(self->mutex_);
        self->bestServers_.push_back(base);
      }
      run->cv.notify_all();
    };
    auto failure = [run](const NKHTTPRequestOperation::Ptr&, const platform::Error&) {
      run->oneFailed();
    };
    tIdleTimeout = probeBounds().baseURLProbe;
    getPath(platform::format("%@/ping/", base), Value(), success, failure);
    tIdleTimeout.reset();
  }
  const double bound = probeBounds().baseURLProbe;
  Queue::global()->async([self, run, bound, completion = std::move(completion)] {
    {
      std::unique_lock<std::mutex> lock(run->mutex);
      // Ends at the first success, as soon as every base URL has failed, or
      // at the bound, whichever comes first.
      run->cv.wait_for(lock, platform::dispatch::seconds(bound),
                       [&] { return run->won || run->pending == 0; });
      run->won = true;  // later answers are ignored
    }
    self->operationQueue()->cancelAllOperations();
    std::string chosen;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (self->bestServers_.empty()) self->bestServers_ = self->mainServers_;
      chosen = self->bestServers_.front();
    }
    Queue::main()->async([self, chosen, completion] {
      self->setBaseURL(platform::URL(chosen));
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lastProbeEnd_ = std::chrono::steady_clock::now();
      }
      if (completion) completion();
    });
  });
}

void VRPUDIPClient::findReachableMirror(std::function<void(std::string)> completion) {
  auto self = std::static_pointer_cast<VRPUDIPClient>(shared_from_this());
  auto run = std::make_shared<ProbeRun>();
  for (const std::string& label : mirrorLabels()) {
    auto success = [run, label](const NKHTTPRequestOperation::Ptr&, const Value& reply) {
      if (!reply.isDictionary() || !reply.contains("success")) return;
      std::lock_guard<std::mutex> lock(run->mutex);
      if (run->won) return;
      run->won = true;
      run->winner = label;
      run->cv.notify_all();
    };
    tIdleTimeout = probeBounds().mirrorProbe;
    getPath(platform::format("https://%@.%@/ping/", label, mirrorDomain()), Value(), success,
            nullptr);
    tIdleTimeout.reset();
  }
  const double bound = probeBounds().mirrorProbe;
  Queue::global()->async([self, run, bound, completion = std::move(completion)] {
    std::string winner;
    {
      std::unique_lock<std::mutex> lock(run->mutex);
      run->cv.wait_for(lock, platform::dispatch::seconds(bound), [&] { return run->won; });
      run->won = true;
      winner = run->winner.empty() ? mirrorLabels().front() : run->winner;
    }
    self->operationQueue()->cancelAllOperations();
    Queue::main()->async([winner, completion] {
      if (completion) completion(winner);
    });
  });
}

void VRPUDIPClient::waitForOperations(Completion completion) {
  auto self = std::static_pointer_cast<VRPUDIPClient>(shared_from_this());
  Queue::global()->async([self, completion = std::move(completion)] {
    self->operationQueue()->waitUntilAllOperationsAreFinished();
    Queue::main()->async([completion] {
      if (completion) completion();
    });
  });
}

}  // namespace client
