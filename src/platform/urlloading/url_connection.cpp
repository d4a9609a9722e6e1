#include "platform/urlloading/url_connection.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/spin_budget.h"
#include "platform/dispatch/thread_crash_info.h"
#include "platform/urlloading/stream.h"
#include "platform/urlloading/url_loader.h"

namespace platform::urlloading {

namespace {

// The chain a TLS peer presented, leaf first, without repeating the leaf.
std::vector<security::Certificate> presentedChain(X509* leaf, STACK_OF(X509) * chain) {
  std::vector<security::Certificate> presented;
  if (leaf) presented.push_back(security::Certificate::fromNative(leaf));
  for (int i = 0; chain && i < sk_X509_num(chain); ++i) {
    X509* c = sk_X509_value(chain, i);
    if (c == leaf || (leaf && X509_cmp(c, leaf) == 0)) continue;
    presented.push_back(security::Certificate::fromNative(c));
  }
  return presented;
}

constexpr int kMaximumRedirects = 16;

// The network thread, with transfers under way or just handed work, polls
// its sockets and its run loop without sleeping before it blocks, for an
// adaptive budget (platform/dispatch/spin_budget.h): a reply on a local or
// nearby server, or the next request of a caller that just got its answer,
// then is taken up without waking the thread; an idle or slow link ends up
// sleeping at once.

std::string defaultDescription(std::int64_t code) {
  switch (code) {
    case kURLErrorCancelled:
      return "cancelled";
    case kURLErrorBadURL:
      return "bad URL";
    case kURLErrorTimedOut:
      return "The request timed out.";
    case kURLErrorUnsupportedURL:
      return "unsupported URL";
    case kURLErrorCannotFindHost:
      return "A server with the specified hostname could not be found.";
    case kURLErrorCannotConnectToHost:
      return "Could not connect to the server.";
    case kURLErrorNetworkConnectionLost:
      return "The network connection was lost.";
    case kURLErrorHTTPTooManyRedirects:
      return "too many HTTP redirects";
    case kURLErrorBadServerResponse:
      return "The server returned a response that could not be understood.";
    case kURLErrorSecureConnectionRequired:
      return "A redirect from a secure address to an insecure one was refused.";
    case kURLErrorDataLengthExceedsMaximum:
      return "The response is larger than this request allows.";
    case kURLErrorUserCancelledAuthentication:
      return "cancelled";
    case kURLErrorUserAuthenticationRequired:
      return "The proxy server requires authentication.";
    case kURLErrorSecureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case kURLErrorServerCertificateUntrusted:
      return "The certificate for this server is invalid.";
    default:
      return "unknown error";
  }
}

std::int64_t codeForCurl(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kURLErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT:
      return kURLErrorBadURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return kURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return kURLErrorTimedOut;
    case CURLE_WEIRD_SERVER_REPLY:
      return kURLErrorBadServerResponse;
    case CURLE_PEER_FAILED_VERIFICATION:
      return kURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_USE_SSL_FAILED:
      return kURLErrorSecureConnectionFailed;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_READ_ERROR:
      return kURLErrorNetworkConnectionLost;
    default:
      return kURLErrorUnknown;
  }
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// The status code of an HTTP status line ("HTTP/1.1 200 OK"), or nullopt
// when the line is not one.
std::optional<long> parseStatusLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (!detail::isStatusLine(line)) return std::nullopt;
  std::size_t at = 5;
  auto digit = [&](std::size_t i) { return i < line.size() && line[i] >= '0' && line[i] <= '9'; };
  if (!digit(at)) return std::nullopt;
  ++at;
  if (at < line.size() && line[at] == '.') {
    if (!digit(at + 1)) return std::nullopt;
    at += 2;
  }
  if (at >= line.size() || line[at] != ' ') return std::nullopt;
  ++at;
  if (!digit(at) || !digit(at + 1) || !digit(at + 2)) return std::nullopt;
  if (at + 3 < line.size() && line[at + 3] != ' ') return std::nullopt;
  const long code = (line[at] - '0') * 100 + (line[at + 1] - '0') * 10 + (line[at + 2] - '0');
  if (code < 100) return std::nullopt;
  return code;
}

// A "Content-Length" value: decimal digits only, and few enough to be a
// length (a reply cannot carry 10^18 bytes). nullopt when it is not one.
std::optional<std::int64_t> parseContentLength(std::string_view value) {
  if (value.empty() || value.size() > 18) return std::nullopt;
  std::int64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

// Whether `list` holds exactly the lines a transfer builds for `fields`
// ("Name: value", or "Name;" for an empty value), in order.
bool sameHeaderLines(const curl_slist* list, const HeaderFields& fields) {
  for (const auto& [name, value] : fields.fields()) {
    if (list == nullptr) return false;
    std::string_view line(list->data);
    const std::string_view separator = value.empty() ? ";" : ": ";
    if (line.size() != name.size() + separator.size() + value.size() ||
        line.substr(0, name.size()) != name ||
        line.substr(name.size(), separator.size()) != separator ||
        line.substr(name.size() + separator.size()) != value) {
      return false;
    }
    list = list->next;
  }
  return list == nullptr;
}

}  // namespace

Error makeURLError(std::int64_t code, const URL& failingURL, std::string description) {
  Value info = Value::mutableDictionary();
  info.set(kLocalizedDescriptionKey,
           Value(description.empty() ? defaultDescription(code) : std::move(description)));
  if (failingURL.isValid()) {
    info.set(kURLErrorKey, Value(failingURL.absoluteString()));
    info.set(kURLErrorFailingURLStringKey, Value(failingURL.absoluteString()));
  }
  return Error(kURLErrorDomain, code, info);
}

namespace {

// The error of a load that could not take its reply in for want of memory.
Error outOfMemoryError() {
  return Error(kPOSIXErrorDomain, ENOMEM,
               Value::dictionary({{kLocalizedDescriptionKey,
                                   Value("There is not enough memory to take the response in.")}}));
}

bool sameOrigin(const URL& a, const URL& b) {
  auto port = [](const URL& u) { return u.port().value_or(u.scheme() == "https" ? 443 : 80); };
  return a.scheme() == b.scheme() && equalsIgnoringCase(a.host(), b.host()) && port(a) == port(b);
}

}  // namespace

URLCredential URLCredential::withUser(std::string user, std::string password,
                                      Persistence persistence) {
  URLCredential c;
  c.user_ = std::move(user);
  c.password_ = std::move(password);
  c.persistence_ = persistence;
  return c;
}

URLCredential URLCredential::forTrust(std::shared_ptr<security::ServerTrust> trust) {
  URLCredential c;
  c.trust_ = std::move(trust);
  c.persistence_ = Persistence::kForSession;
  return c;
}

void URLConnectionDelegate::connectionWillSendRequestForAuthenticationChallenge(
    URLConnection&, const AuthenticationChallenge& challenge) {
  challenge.sender()->continueWithoutCredential(challenge);
}

// ---------------------------------------------------------------------------
// Network thread

struct NetworkThread::Impl : runloop::RunLoop::Driver {
  CURLM* multi = nullptr;
  // TLS sessions of every HTTPS transfer, so that a new connection to a
  // server seen before resumes its session. Used on this thread only, so it
  // needs no lock.
  CURLSH* share = nullptr;
  std::thread thread;
  std::thread::id id;
  runloop::RunLoop* loop = nullptr;
  std::mutex mutex;
  std::condition_variable cv;
  bool ready = false;
  // Network thread only.
  std::unordered_map<CURL*, std::shared_ptr<URLConnection>> active;
  // Of those, the loads whose socket work runs on a loader.
  std::size_t onLoaders = 0;
  // Easy handles of finished transfers, for the next ones: a fresh handle
  // costs allocations and buffer set-up on every request. Connections stay
  // with the multi handle either way. A handle is reset to its defaults
  // before it serves a transfer unlike its last one, so no option, callback
  // or credential of one transfer reaches the next; a plain GET (no body,
  // no credential) sets every option the plain GET of the same scheme
  // before it set, so one may follow another without the reset (a reset
  // costs each request microseconds). Over https that includes the trust
  // callbacks and their data, which each transfer sets to its own.
  enum class EasyUse : std::uint8_t { kClean, kPlainGet, kPlainSecureGet };
  // A plain GET's handle also keeps its header list (still set on it): the
  // next plain GET with the same fields sends it again without building it.
  struct IdleEasy {
    CURL* easy;
    EasyUse use;
    curl_slist* headers;
  };
  std::vector<IdleEasy> idleEasies;
  static constexpr std::size_t kMaximumIdleEasies = 32;

  // A handle for a transfer of kind `use`, the latest one that served the
  // same kind when there is one. `keeps`: the handle still holds the
  // options of that kind, and `keptHeaders` (now the caller's) the header
  // list it still points at.
  CURL* takeEasy(EasyUse use, bool& keeps, curl_slist*& keptHeaders) {
    keeps = false;
    keptHeaders = nullptr;
    if (idleEasies.empty()) return newEasy();
    auto it = idleEasies.end() - 1;
    if (use != EasyUse::kClean) {
      for (auto same = idleEasies.rbegin(); same != idleEasies.rend(); ++same) {
        if (same->use == use) {
          it = std::prev(same.base());
          break;
        }
      }
    }
    const IdleEasy idle = *it;
    idleEasies.erase(it);
    if (idle.use != EasyUse::kClean) {
      if (idle.use == use) {
        keeps = true;
        keptHeaders = idle.headers;
      } else {
        curl_easy_reset(idle.easy);
        curl_slist_free_all(idle.headers);
      }
    }
    return idle.easy;
  }
  // A new handle, on the shared TLS session cache from the start: a handle
  // whose first transfer runs without it makes a session cache of its own,
  // which libcurl drops without freeing when the handle joins the shared
  // one later (a reset keeps the share, so this holds for good).
  CURL* newEasy() {
    CURL* easy = curl_easy_init();
    if (easy) curl_easy_setopt(easy, CURLOPT_SHARE, share);
    return easy;
  }
  // libcurl from 7.83.0 up to 8.1.0 keeps a pointer to the last response
  // header field it stored for its header API, and frees the fields when
  // the handle's next transfer starts without clearing that pointer (a
  // reset does not clear it either). A response whose first field line
  // begins with a space or tab (a folded line with a colon in it) is then
  // "unfolded" onto the freed field: libcurl reads and reallocates freed
  // memory. A new handle has no such pointer and refuses the line. There
  // handles are still reused, and each head's first field line is looked
  // at before libcurl stores it (Transfer::debugCallback): a folded one
  // stops the load as a new handle would, and the handle is dropped.
  const bool guardFirstFieldLine = [] {
    const unsigned version = curl_version_info(CURLVERSION_NOW)->version_num;
    return version >= 0x075300 && version < 0x080100;
  }();
  // Loads the guard stopped (network thread only): failed once libcurl
  // has returned, as a load cannot leave the multi handle from inside it.
  std::vector<std::shared_ptr<URLConnection>> stopped;
  // Takes `headers`, the list the handle was given.
  void recycleEasy(CURL* easy, EasyUse use, curl_slist* headers) {
    if (idleEasies.size() >= kMaximumIdleEasies) {
      curl_easy_cleanup(easy);
      curl_slist_free_all(headers);
      return;
    }
    if (use == EasyUse::kClean) {
      curl_easy_reset(easy);
      curl_slist_free_all(headers);
      headers = nullptr;
    }
    idleEasies.push_back({easy, use, headers});
  }

  // Sockets libcurl asked to watch (network thread only), with the poll
  // events it wants, and its timer: transfers are driven per socket
  // (curl_multi_socket_action), so an event costs the work of its own
  // transfer, not a pass over every transfer in the multi handle.
  std::unordered_map<curl_socket_t, short> sockets;
  runloop::Clock::time_point curlDeadline = runloop::Clock::time_point::max();
  std::vector<pollfd> pollSet;

  // Wake-ups: an eventfd in the poll set, written only while the thread
  // sleeps in poll() or is about to. wakeRequested is set first and
  // cleared by the loop before it runs blocks: a busy or polling thread
  // sees the flag and costs the caller no system call, and a burst of
  // perform() calls costs at most one write.
  int wakeFd = -1;
  std::atomic<bool> wakeRequested{false};
  std::atomic<bool> asleep{false};
  // Blocks for the thread's next round that need not wake it (see
  // NetworkThread::performLazily).
  std::mutex lazyMutex;
  std::vector<std::function<void()>> lazy;
  std::atomic<bool> lazyPending{false};
  void runLazyBlocks() {
    if (!lazyPending.load(std::memory_order_acquire)) return;
    std::vector<std::function<void()>> blocks;
    {
      std::lock_guard lock(lazyMutex);
      blocks.swap(lazy);
      lazyPending.store(false, std::memory_order_relaxed);
    }
    for (auto& block : blocks) {
      block();
      block = nullptr;
    }
  }
  // Blocks for when the thread has no work at hand (network thread only;
  // see NetworkThread::performWhenIdle).
  std::vector<std::function<void()>> whenIdle;
  // Runs them; true when there were any (they may have queued work).
  bool runIdleBlocks() {
    if (whenIdle.empty()) return false;
    std::vector<std::function<void()>> blocks;
    blocks.swap(whenIdle);
    for (auto& block : blocks) {
      block();
      block = nullptr;
    }
    return true;
  }
  // Adaptive length of the poll before sleeping (see pollBeforeSleeping).
  platform::dispatch::SpinBudget spin{platform::dispatch::SpinBudget::kMaxMicros};

  void wakeUp() override {
    if (wakeRequested.exchange(true, std::memory_order_seq_cst)) return;
    // The thread itself sees the flag before it next waits.
    if (std::this_thread::get_id() == id) return;
    // run() marks itself asleep before it reads the flag a last time, and
    // this reads the mark after setting the flag: one of the two sees the
    // other, so either the thread does not sleep or it is written to.
    if (!asleep.load(std::memory_order_seq_cst)) return;
    const std::uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd, &one, sizeof one);
    (void)ignored;
  }
  void scheduleWakeUp(runloop::Clock::time_point) override {}
  void run();
  // Runs due curl timers; returns the wait in milliseconds until the next
  // event of the loop, the run loop's own being `next` (0: go round again
  // at once).
  long runTimersAndComputeWait(runloop::Clock::time_point next);
  bool pollBeforeSleeping(long waitMs);
  void learnFromSleep(std::optional<runloop::Clock::time_point>& missedPollStart);
  // poll() over the wake fd and curl's sockets; false when nothing was ready.
  bool pollOnce(int timeoutMs);
  void dispatchSocketEvents();
  void drainMessages();
  static int socketCallback(CURL*, curl_socket_t socket, int what, void* userp, void*);
  static int timerCallback(CURLM*, long timeoutMs, void* userp);
  runloop::Clock::time_point checkIdleTimeouts();

  // A transfer was added since libcurl last ran its due timers, and how
  // many were.
  bool added = false;
  std::size_t addedCount = 0;
  // curl waits for one of its sockets to take data (a connection being
  // made, a body being sent).
  bool waitsToWrite() const {
    for (const auto& [socket, events] : sockets) {
      if (events & POLLOUT) return true;
    }
    return false;
  }
  // Runs libcurl's timers when due (a transfer just added is due at once);
  // true when they ran.
  bool runDueCurlTimers(runloop::Clock::time_point now);
  // Between two blocks of the loop: sends what the block added and takes in
  // the answers that arrived meanwhile, so that a burst of starts neither
  // waits to be sent nor holds back the ends of the loads it began first.
  void serveBetweenBlocks();
  std::function<void()> betweenBlocks = [this] { serveBetweenBlocks(); };
};

struct URLConnection::Transfer {
  enum class Answer { kNone, kUseCredential, kContinue, kCancel };
  struct Sender : AuthenticationChallengeSender {
    Answer answer = Answer::kNone;
    URLCredential credential;
    void useCredential(const URLCredential& c, const AuthenticationChallenge&) override {
      if (answer != Answer::kNone) return;
      answer = Answer::kUseCredential;
      credential = c;
    }
    void continueWithoutCredential(const AuthenticationChallenge&) override {
      if (answer == Answer::kNone) answer = Answer::kContinue;
    }
    void cancel(const AuthenticationChallenge&) override {
      if (answer == Answer::kNone) answer = Answer::kCancel;
    }
  };

  explicit Transfer(URLConnection* c) : conn(c) {}
  ~Transfer() { release(); }

  URLConnection* conn;
  NetworkThread::Impl* thread = NetworkThread::shared().impl_;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  bool added = false;
  // How the handle is used (see NetworkThread::Impl::takeEasy).
  NetworkThread::Impl::EasyUse use = NetworkThread::Impl::EasyUse::kClean;

  // Per attempt.
  long status = 0;
  HeaderFields headers;
  bool responseDelivered = false;
  bool discardBody = false;
  // Held apart: a request is large, and a Transfer of more than about 1 KiB
  // costs every load a slow trip through the allocator.
  std::unique_ptr<URLRequest> pendingRestart;
  std::int64_t uploadReported = 0;
  std::int64_t uploadExpected = -1;
  std::optional<URLResponse> response;
  // Bytes of the response head and of the body so far (a discarded body
  // of a redirect counts too: the limits bound what the server may send).
  std::size_t headBytes = 0;
  std::int64_t bodyBytes = 0;
  // Per load.
  runloop::Clock::time_point loadStarted = runloop::Clock::now();
  int redirects = 0;
  long authFailures = 0;
  std::optional<URLCredential> credential;
  std::optional<Error> pendingError;
  bool trustRejected = false;
  // Per attempt: the server of this attempt's connection was judged (in the
  // handshake of a new connection, or before the request on a kept one).
  bool trustEvaluated = false;
  // Per attempt (NetworkThread::Impl::guardFirstFieldLine): a status line
  // came and the next line of its head is still to be looked at; the guard
  // stopped the load, and its handle goes.
  bool watchingFirstFieldLine = false;
  bool dropEasy = false;
  runloop::Clock::time_point lastActivity = runloop::Clock::now();
  // Set while this attempt's socket work runs on a loader (url_loader.h):
  // the handle is the loader's until the job's end is played here.
  std::shared_ptr<detail::LoaderJob> job;

  std::shared_ptr<URLConnection> self() { return conn->shared_from_this(); }
  bool cancelled() const { return conn->cancelled_.load(); }
  void touch() { lastActivity = runloop::Clock::now(); }

  void release() {
    if (job) {
      --thread->onLoaders;
      auto j = std::move(job);
      if (j->letGo(headerList)) {
        // The loader frees the handle and its header list.
        easy = nullptr;
        headerList = nullptr;
        added = false;
        watchingFirstFieldLine = false;
        dropEasy = false;
        return;
      }
      takeCallbacksBack();
    }
    if (easy) {
      if (added) curl_multi_remove_handle(thread->multi, easy);
      if (dropEasy) {
        curl_easy_cleanup(easy);
        curl_slist_free_all(headerList);
      } else {
        if (watchingFirstFieldLine) curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
        thread->recycleEasy(easy, use, headerList);
      }
    } else if (headerList) {
      curl_slist_free_all(headerList);
    }
    easy = nullptr;
    added = false;
    headerList = nullptr;
    watchingFirstFieldLine = false;
    dropEasy = false;
  }

  // Removes the transfer from the loop. The connection stays alive through
  // the caller's reference.
  void detach() {
    CURL* e = easy;
    release();
    if (e) thread->active.erase(e);
  }

  bool begin();
  // Hands the attempt's socket work to a loader when the network thread
  // has loads enough of its own; true when it did.
  bool beginOnLoader();
  // Plays what the loader recorded through the callbacks below, as if
  // libcurl had called them here.
  void playLoaderEvents();
  // The handle is this thread's again: its callbacks are this class's.
  void takeCallbacksBack();
  void fail(const Error& error);
  void finish();
  void onDone(CURLcode result);
  bool onHeadersComplete();
  // Refuses (pendingError) an invalid "Content-Length" of `resp`, or one
  // over the request's limit.
  bool checkContentLength(const URLResponse& resp);
  bool overLimit(std::int64_t received) const {
    const std::int64_t limit = conn->current_->maximumResponseLength();
    return limit >= 0 && received > limit;
  }
  bool evaluateServerTrust(std::vector<security::Certificate> presented);
  bool evaluateKeptConnection();

  static size_t headerCallback(char* data, size_t size, size_t n, void* userp);
  static size_t writeCallback(char* data, size_t size, size_t n, void* userp);
  static size_t readCallback(char* data, size_t size, size_t n, void* userp);
  static int progressCallback(void* userp, curl_off_t, curl_off_t, curl_off_t ultotal,
                              curl_off_t ulnow);
  static CURLcode sslContextCallback(CURL*, void* sslctx, void* userp);
  static int verifyChainCallback(X509_STORE_CTX* ctx, void* arg);
  static int prerequestCallback(void* userp, char*, char*, int, int);
  static int debugCallback(CURL* easy, curl_infotype type, char* data, size_t size, void* userp);
};

int NetworkThread::Impl::socketCallback(CURL*, curl_socket_t socket, int what, void* userp, void*) {
  auto* impl = static_cast<Impl*>(userp);
  if (what == CURL_POLL_REMOVE) {
    impl->sockets.erase(socket);
    return 0;
  }
  short events = 0;
  if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) events |= POLLIN;
  if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) events |= POLLOUT;
  impl->sockets[socket] = events;
  return 0;
}

int NetworkThread::Impl::timerCallback(CURLM*, long timeoutMs, void* userp) {
  auto* impl = static_cast<Impl*>(userp);
  impl->curlDeadline = timeoutMs < 0 ? runloop::Clock::time_point::max()
                                     : runloop::Clock::now() + std::chrono::milliseconds(timeoutMs);
  return 0;
}

void NetworkThread::Impl::run() {
  pthread_setname_np(pthread_self(), kNetworkThreadName);
  loop = &runloop::RunLoop::current();
  loop->setDriver(this);
  {
    std::lock_guard lock(mutex);
    id = std::this_thread::get_id();
    ready = true;
  }
  cv.notify_all();
  bool handledEvents = false;  // the last wait ended on a socket event
  // Start of the poll that found nothing before the thread went to sleep.
  std::optional<runloop::Clock::time_point> missedPollStart;
  for (;;) {
    // A write to the wake fd, if any, is read by the poll that sees it.
    const bool woken = wakeRequested.exchange(false, std::memory_order_acq_rel);
    runLazyBlocks();
    const auto next = loop->processPending(runloop::kDefaultMode, betweenBlocks);
    const long waitMs = runTimersAndComputeWait(next);
    if (waitMs <= 0) continue;
    if (runIdleBlocks()) continue;
    // Poll before sleeping only right after work: an idle loop just sleeps.
    if (woken || handledEvents || !active.empty()) {
      handledEvents = false;
      const auto pollStart = runloop::Clock::now();
      if (pollBeforeSleeping(waitMs)) {
        handledEvents = true;
        continue;
      }
      missedPollStart = pollStart;
    }
    asleep.store(true, std::memory_order_seq_cst);
    if (wakeRequested.load(std::memory_order_seq_cst)) {
      asleep.store(false, std::memory_order_relaxed);
      learnFromSleep(missedPollStart);
      continue;
    }
    handledEvents = pollOnce(static_cast<int>(waitMs));
    asleep.store(false, std::memory_order_relaxed);
    if (handledEvents) {
      learnFromSleep(missedPollStart);
      dispatchSocketEvents();
    }
    missedPollStart.reset();
  }
}

long NetworkThread::Impl::runTimersAndComputeWait(runloop::Clock::time_point next) {
  auto now = runloop::Clock::now();
  if (runDueCurlTimers(now)) now = runloop::Clock::now();
  // Blocks the timers and callbacks above queued run before any wait.
  if (wakeRequested.load(std::memory_order_acquire)) return 0;
  next = std::min({next, checkIdleTimeouts(), curlDeadline});
  if (next <= now) return 0;
  long waitMs = 1000;
  if (next != runloop::Clock::time_point::max()) {
    // Round up so a timer is never woken for early.
    auto until = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    waitMs = std::min<long>(waitMs, static_cast<long>(until));
  }
  return waitMs;
}

// Work that came soon after a poll gave up would have been found by a
// longer one: the budget learns from it, as from a poll that found work.
// Otherwise a few slow answers in a row (the thread or the server was
// descheduled) would halve the budget down to nothing, and every answer
// after them would wake a sleeping thread until a probe found work again.
void NetworkThread::Impl::learnFromSleep(
    std::optional<runloop::Clock::time_point>& missedPollStart) {
  if (!missedPollStart) return;
  const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(runloop::Clock::now() -
                                                                            *missedPollStart)
                          .count();
  missedPollStart.reset();
  if (waited < platform::dispatch::SpinBudget::kMaxMicros) spin.found(static_cast<int>(waited));
}

bool NetworkThread::Impl::pollOnce(int timeoutMs) {
  pollSet.clear();
  pollSet.push_back(pollfd{wakeFd, POLLIN, 0});
  for (const auto& [socket, events] : sockets) pollSet.push_back(pollfd{socket, events, 0});
  int n = ::poll(pollSet.data(), pollSet.size(), timeoutMs);
  if (n <= 0) return false;
  if (pollSet[0].revents) {
    std::uint64_t count;
    ssize_t ignored = ::read(wakeFd, &count, sizeof count);
    (void)ignored;
  }
  return true;
}

bool NetworkThread::Impl::runDueCurlTimers(runloop::Clock::time_point now) {
  added = false;
  addedCount = 0;
  if (curlDeadline > now) return false;
  curlDeadline = runloop::Clock::time_point::max();
  int running = 0;
  curl_multi_socket_action(multi, CURL_SOCKET_TIMEOUT, 0, &running);
  drainMessages();
  return true;
}

void NetworkThread::Impl::serveBetweenBlocks() {
  if (!added) return;
  // Only loads that went out before can have an answer in; with none, a
  // look at the sockets is a system call for nothing (a lone request pays
  // for it in its latency).
  const bool othersOut = active.size() > addedCount;
  // libcurl's due timers send what the block added; then one look at the
  // sockets takes in the answers that came before or while it was sent
  // (when other loads are out), or what it set going that waits to write (a
  // new connection, say). A burst of starts costs one look each.
  const bool ran = runDueCurlTimers(runloop::Clock::now());
  if ((othersOut || (ran && waitsToWrite())) && pollOnce(0)) dispatchSocketEvents();
}

void NetworkThread::Impl::dispatchSocketEvents() {
  // pollSet is a copy: the callbacks below may change `sockets`. A socket
  // closed and reopened under the same number meanwhile gets at worst a
  // spurious event, which libcurl tolerates.
  for (std::size_t i = 1; i < pollSet.size(); ++i) {
    const short revents = pollSet[i].revents;
    if (!revents) continue;
    int mask = 0;
    if (revents & (POLLIN | POLLHUP)) mask |= CURL_CSELECT_IN;
    if (revents & POLLOUT) mask |= CURL_CSELECT_OUT;
    if (revents & (POLLERR | POLLNVAL)) mask |= CURL_CSELECT_ERR;
    int running = 0;
    curl_multi_socket_action(multi, pollSet[i].fd, mask, &running);
    // Each load that ended is reported at once, not after the others.
    drainMessages();
  }
}

// Polls without sleeping for at most the adaptive budget (and never past
// `waitMs`); true when a socket became ready or a block was handed over.
bool NetworkThread::Impl::pollBeforeSleeping(long waitMs) {
  const int budget = static_cast<int>(std::min<long>(spin.next(), waitMs * 1000));
  if (budget <= 0) return false;
  const auto start = runloop::Clock::now();
  const auto deadline = start + std::chrono::microseconds(budget);
  bool found = false;
  auto now = start;
  for (;;) {
    if (wakeRequested.load(std::memory_order_acquire)) {
      found = true;
      break;
    }
    const bool polled = pollOnce(0);
    now = runloop::Clock::now();
    if (polled) {
      dispatchSocketEvents();
      found = true;
      break;
    }
    if (now >= deadline) break;
    // Between looks the processor goes to whoever else wants it: on a busy
    // machine that is often the server or the caller this thread waits for.
    std::this_thread::yield();
  }
  if (found) {
    const int waited = static_cast<int>(
        std::chrono::duration_cast<std::chrono::microseconds>(now - start).count());
    spin.found(waited);
  } else {
    spin.missed();
  }
  return found;
}

void NetworkThread::Impl::drainMessages() {
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    auto it = active.find(msg->easy_handle);
    if (it == active.end()) continue;
    std::shared_ptr<URLConnection> conn = it->second;
    CURLcode result = msg->data.result;
    if (conn->transfer_) conn->transfer_->onDone(result);
  }
  if (stopped.empty()) return;
  std::vector<std::shared_ptr<URLConnection>> loads;
  loads.swap(stopped);
  for (const auto& conn : loads) {
    // Unless its end was reported above.
    URLConnection::Transfer* t = conn->transfer_.get();
    if (t && t->easy && t->dropEasy && t->pendingError) t->fail(*t->pendingError);
  }
}

runloop::Clock::time_point NetworkThread::Impl::checkIdleTimeouts() {
  auto now = runloop::Clock::now();
  auto next = runloop::Clock::time_point::max();
  std::vector<std::shared_ptr<URLConnection>> expired;
  for (auto& [easy, conn] : active) {
    if (!conn->transfer_) continue;
    auto limit = std::chrono::duration_cast<runloop::Clock::duration>(
        std::chrono::duration<double>(std::max(0.001, conn->current_->timeoutInterval())));
    auto deadline = conn->transfer_->lastActivity + limit;
    // The whole load, however steadily the server trickles bytes.
    if (const double total = conn->current_->maximumDuration(); total > 0) {
      deadline = std::min(deadline, conn->transfer_->loadStarted +
                                        std::chrono::duration_cast<runloop::Clock::duration>(
                                            std::chrono::duration<double>(total)));
    }
    if (deadline <= now) {
      expired.push_back(conn);
    } else {
      next = std::min(next, deadline);
    }
  }
  for (auto& conn : expired) {
    if (conn->transfer_)
      conn->transfer_->fail(makeURLError(kURLErrorTimedOut, conn->current_->url()));
  }
  return next;
}

NetworkThread::NetworkThread() : impl_(new Impl) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  impl_->multi = curl_multi_init();
  impl_->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  curl_multi_setopt(impl_->multi, CURLMOPT_SOCKETFUNCTION, &Impl::socketCallback);
  curl_multi_setopt(impl_->multi, CURLMOPT_SOCKETDATA, impl_);
  curl_multi_setopt(impl_->multi, CURLMOPT_TIMERFUNCTION, &Impl::timerCallback);
  curl_multi_setopt(impl_->multi, CURLMOPT_TIMERDATA, impl_);
  // Keep idle keep-alive connections even while few transfers run.
  curl_multi_setopt(impl_->multi, CURLMOPT_MAXCONNECTS, 64L);
  impl_->share = curl_share_init();
  curl_share_setopt(impl_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  impl_->thread = std::thread([impl = impl_] {
    dispatch::ensureAlternateSignalStack();  // a crash here is recorded too
    impl->run();
  });
  impl_->thread.detach();
  std::unique_lock lock(impl_->mutex);
  impl_->cv.wait(lock, [&] { return impl_->ready; });
}

NetworkThread& NetworkThread::shared() {
  static NetworkThread* thread = new NetworkThread();  // never destroyed: it serves to the end
  return *thread;
}

void NetworkThread::perform(std::function<void()> block) { impl_->loop->perform(std::move(block)); }

void NetworkThread::performLazily(std::function<void()> block) {
  std::lock_guard lock(impl_->lazyMutex);
  impl_->lazy.push_back(std::move(block));
  impl_->lazyPending.store(true, std::memory_order_release);
}

void NetworkThread::performWhenIdle(std::function<void()> block) {
  impl_->whenIdle.push_back(std::move(block));
}

bool NetworkThread::isCurrent() const { return std::this_thread::get_id() == impl_->id; }

runloop::RunLoop& NetworkThread::runLoop() { return *impl_->loop; }

// ---------------------------------------------------------------------------
// Transfer

bool URLConnection::Transfer::begin() {
  const URLRequest& req = *conn->current_;
  const URL& url = req.url();
  status = 0;
  headers.clear();
  responseDelivered = false;
  discardBody = false;
  pendingRestart.reset();
  uploadReported = 0;
  uploadExpected = -1;
  response.reset();
  headBytes = 0;
  bodyBytes = 0;
  trustEvaluated = false;
  touch();
  if (!url.isValid() || url.host().empty()) {
    fail(makeURLError(kURLErrorBadURL, url));
    return false;
  }
  if (url.scheme() != "http" && url.scheme() != "https") {
    fail(makeURLError(kURLErrorUnsupportedURL, url));
    return false;
  }
  const std::string& method = req.HTTPMethod();
  const bool hasStream = req.HTTPBodyStream() != nullptr;
  const bool hasBody = hasStream || !req.HTTPBody().empty();
  using EasyUse = NetworkThread::Impl::EasyUse;
  use = EasyUse::kClean;
  if (method == "GET" && !hasBody && !(credential && !credential->user().empty())) {
    use = url.scheme() == "http" ? EasyUse::kPlainGet : EasyUse::kPlainSecureGet;
  }
  bool keepsPlainGet = false;
  curl_slist* keptHeaders = nullptr;
  easy = thread->takeEasy(use, keepsPlainGet, keptHeaders);
  if (!easy) {
    fail(makeURLError(kURLErrorUnknown, url));
    return false;
  }
  curl_easy_setopt(easy, CURLOPT_URL, url.absoluteString().c_str());
  if (thread->guardFirstFieldLine) {
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &Transfer::debugCallback);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, this);
  }
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(std::max(1.0, req.timeoutInterval() * 1000)));
  // The same for every transfer (a handle that served a plain GET has them).
  if (!keepsPlainGet) {
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::headerCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::writeCallback);
    // Through a proxy's tunnel (the desktop's https_proxy), the proxy's own
    // answer to CONNECT is not the server's response.
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  }

  // Only a body, or a field that may not go on the wire, changes the fields
  // sent. Such a field is left out here, the one place every request's
  // fields become lines, so no caller's text can add a line or a request.
  std::optional<HeaderFields> edited;
  const HeaderFields& given = req.allHTTPHeaderFields();
  const bool unsafe = std::any_of(given.fields().begin(), given.fields().end(), [](const auto& f) {
    return !isValidHeaderFieldName(f.first) || !isValidHeaderFieldValue(f.second);
  });
  if (unsafe) {
    edited.emplace();
    for (const auto& [name, value] : given.fields()) {
      if (isValidHeaderFieldName(name) && isValidHeaderFieldValue(value)) edited->add(name, value);
    }
  } else if (hasBody) {
    edited = given;
  }
  const HeaderFields& sent = edited ? *edited : given;
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (hasBody) {
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    if (hasStream) {
      std::int64_t length = -1;
      if (auto cl = sent.get("Content-Length")) {
        try {
          length = std::stoll(*cl);
        } catch (...) {
          length = -1;
        }
      }
      edited->remove("Content-Length");
      req.HTTPBodyStream()->open();
      curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::readCallback);
      curl_easy_setopt(easy, CURLOPT_READDATA, this);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
      uploadExpected = length;
    } else {
      edited->remove("Content-Length");
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(req.HTTPBody().size()));
      curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, req.HTTPBody().data());
      uploadExpected = static_cast<std::int64_t>(req.HTTPBody().size());
    }
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::progressCallback);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
  } else if (method == "GET") {
    if (!keepsPlainGet) curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  if (keptHeaders && sameHeaderLines(keptHeaders, sent)) {
    headerList = keptHeaders;
  } else {
    curl_slist_free_all(keptHeaders);
    std::string line;
    for (const auto& [name, value] : sent.fields()) {
      line.assign(name);
      line.append(value.empty() ? ";" : ": ");
      line.append(value);
      headerList = curl_slist_append(headerList, line.c_str());
    }
  }
  if (hasBody) {
    // libcurl adds these two to a body of its own accord; without a body it
    // adds neither.
    headerList = curl_slist_append(headerList, "Expect:");
    if (!sent.contains("Content-Type")) {
      headerList = curl_slist_append(headerList, "Content-Type:");
    }
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
  if (credential && !credential->user().empty()) {
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(easy, CURLOPT_USERNAME, credential->user().c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, credential->password().c_str());
  }
  if (url.scheme() == "https") {
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);  // judged in verifyChainCallback
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &Transfer::sslContextCallback);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, this);
    // Connections are kept for later loads and TLS sessions resumed; a
    // load on a kept connection or a resumed session has its server judged
    // before its request is sent (prerequestCallback).
    curl_easy_setopt(easy, CURLOPT_SHARE, thread->share);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::prerequestCallback);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
    // A body read from a stream cannot be sent again, which is what a kept
    // connection found closed by the server would need: such loads take a
    // new connection (and still resume the session).
    if (hasStream) curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
  }
  if (use == EasyUse::kPlainGet && beginOnLoader()) return true;
  thread->active[easy] = self();
  if (curl_multi_add_handle(thread->multi, easy) != CURLM_OK) {
    fail(makeURLError(kURLErrorUnknown, url));
    return false;
  }
  added = true;
  thread->added = true;
  ++thread->addedCount;
  return true;
}

namespace {

// Loads the network thread carries out itself before further plain GETs
// go to loaders: a lone load keeps the latency of no hand-over, and a
// burst spreads its socket work over more than one processor.
constexpr std::size_t kOwnLoadsBeforeLoaders = 1;

// Called on a loader when a job has events: they are played on the
// network thread, unless the load has let the job go by then.
void notifyLoaderEvents(const std::shared_ptr<detail::LoaderJob>& job) {
  NetworkThread::shared().perform([job] {
    if (auto* transfer = static_cast<URLConnection::Transfer*>(job->owner())) {
      transfer->playLoaderEvents();
    }
  });
}

}  // namespace

bool URLConnection::Transfer::beginOnLoader() {
  if (thread->active.size() - thread->onLoaders < kOwnLoadsBeforeLoaders) return false;
  detail::Loader* loader = detail::Loader::leastBusy();
  if (!loader) return false;
  job = std::make_shared<detail::LoaderJob>(easy, conn->current_->maximumResponseLength(),
                                            thread->guardFirstFieldLine, &notifyLoaderEvents, this);
  thread->active[easy] = self();
  ++thread->onLoaders;
  detail::Loader::start(loader, job);
  return true;
}

void URLConnection::Transfer::takeCallbacksBack() {
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::headerCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::writeCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  if (thread->guardFirstFieldLine) {
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &Transfer::debugCallback);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, this);
  }
}

void URLConnection::Transfer::playLoaderEvents() {
  auto keep = self();
  const std::shared_ptr<detail::LoaderJob> playing = job;
  using Kind = detail::LoaderEvent::Kind;
  for (detail::LoaderEvent& event : playing->takeEvents()) {
    if (job != playing) return;  // the load let the job go meanwhile
    const size_t length = event.bytes.size();
    switch (event.kind) {
      case Kind::kHeaderLine:
      case Kind::kData: {
        const size_t taken = event.kind == Kind::kHeaderLine
                                 ? headerCallback(event.bytes.data(), 1, length, this)
                                 : writeCallback(event.bytes.data(), 1, length, this);
        // Refused: the load ends as libcurl ends one whose callback refused.
        if (taken != length) {
          onDone(CURLE_WRITE_ERROR);
          return;
        }
        break;
      }
      case Kind::kDone:
        --thread->onLoaders;
        job->letGo(nullptr);  // done: the handle is this thread's again
        job.reset();
        takeCallbacksBack();
        if (event.foldedFirstFieldLine) {
          pendingError = makeURLError(kURLErrorBadServerResponse, conn->current_->url());
          dropEasy = true;
          fail(*pendingError);
          return;
        }
        onDone(event.result);
        return;
    }
  }
}

void URLConnection::Transfer::fail(const Error& error) {
  auto keep = self();
  auto delegate = conn->delegate_;
  detach();
  conn->delegate_.reset();
  if (conn->cancelled_ || !delegate) return;
  delegate->connectionDidFailWithError(*conn, error);
}

void URLConnection::Transfer::finish() {
  auto keep = self();
  auto delegate = conn->delegate_;
  detach();
  conn->delegate_.reset();
  if (conn->cancelled_ || !delegate) return;
  // The response is not needed here after this.
  if (response) {
    delegate->connectionWillCacheResponse(*conn, CachedURLResponse{std::move(*response), {}});
  }
  if (conn->cancelled_) return;
  delegate->connectionDidFinishLoading(*conn);
}

void URLConnection::Transfer::onDone(CURLcode result) {
  auto keep = self();
  if (cancelled()) {
    detach();
    conn->delegate_.reset();
    return;
  }
  if (pendingError) {
    fail(*pendingError);
    return;
  }
  if (trustRejected) {
    fail(makeURLError(kURLErrorServerCertificateUntrusted, conn->current_->url()));
    return;
  }
  if (result == CURLE_OK && pendingRestart) {
    URLRequest next = std::move(*pendingRestart);
    detach();
    conn->current_ = std::make_shared<const URLRequest>(std::move(next));
    begin();
    return;
  }
  if (result != CURLE_OK) {
    const URL& url = conn->current_->url();
    if (result == CURLE_UNSUPPORTED_PROTOCOL) {
      // The scheme was checked before the transfer began: what libcurl did
      // not take is the reply, which is not HTTP.
      fail(
          makeURLError(kURLErrorBadServerResponse, url, "The server sent an invalid status line."));
    } else if (result == CURLE_OUT_OF_MEMORY && !responseDelivered) {
      // Before the head is complete, libcurl runs out of memory only when it
      // refuses a header line longer than its own limit (100 KB).
      fail(makeURLError(kURLErrorBadServerResponse, url,
                        "The server sent a response header longer than the limit."));
    } else if (result == CURLE_BAD_FUNCTION_ARGUMENT && !responseDelivered) {
      // What libcurl answers to a folded line with no field before it.
      fail(makeURLError(kURLErrorBadServerResponse, url));
    } else if (result == CURLE_OUT_OF_MEMORY) {
      fail(outOfMemoryError());
    } else if (long connectCode = 0;
               curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectCode) == CURLE_OK &&
               connectCode == 407) {
      // The proxy refused the tunnel: the server was never asked.
      fail(makeURLError(kURLErrorUserAuthenticationRequired, url));
    } else {
      fail(makeURLError(codeForCurl(result), url));
    }
    return;
  }
  if (!responseDelivered) {
    // A reply without a complete head (should not happen with HTTP).
    fail(makeURLError(kURLErrorNetworkConnectionLost, conn->current_->url()));
    return;
  }
  finish();
}

bool URLConnection::Transfer::onHeadersComplete() {
  touch();
  if (status < 100) {
    // A head that never had a status line.
    pendingError = makeURLError(kURLErrorBadServerResponse, conn->current_->url(),
                                "The server sent an invalid status line.");
    return false;
  }
  auto keep = self();
  auto delegate = conn->delegate_;
  if (!delegate) return false;
  // The fields move into the response; `headers` starts afresh with the
  // next head.
  URLResponse resp(conn->current_->url(), status, std::move(headers));
  headers.clear();
  const bool redirect =
      status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
  const std::string* location = resp.allHeaderFields().find("Location");
  if (redirect && location) {
    const URL& from = conn->current_->url();
    URL target(*location, from);
    if (target.isValid() && (target.scheme() == "http" || target.scheme() == "https")) {
      if (++redirects > kMaximumRedirects) {
        pendingError = makeURLError(kURLErrorHTTPTooManyRedirects, from);
        return false;
      }
      const bool secure = from.scheme() == "https";
      if (secure && target.scheme() != "https") {
        pendingError = makeURLError(kURLErrorSecureConnectionRequired, from);
        return false;
      }
      URLRequest next = *conn->current_;
      next.setURL(target);
      if (!sameOrigin(from, target)) {
        // What was meant for one server does not go to another.
        next.allHTTPHeaderFields().remove("Authorization");
        credential.reset();
        authFailures = 0;
      }
      const std::string& m = next.HTTPMethod();
      if (status == 303 ? m != "HEAD" : ((status == 301 || status == 302) && m == "POST")) {
        next.setHTTPMethod("GET");
        next.setHTTPBody({});
        next.allHTTPHeaderFields().remove("Content-Type");
        next.allHTTPHeaderFields().remove("Content-Length");
      }
      auto answer = delegate->connectionWillSendRequest(*conn, std::move(next), resp);
      if (cancelled()) return false;
      if (answer && secure && answer->url().scheme() != "https") {
        pendingError = makeURLError(kURLErrorSecureConnectionRequired, from);
        return false;
      }
      if (answer) {
        pendingRestart = std::make_unique<URLRequest>(std::move(*answer));
        discardBody = true;
        return true;
      }
    }
  }
  const std::string* wwwAuth = resp.allHeaderFields().find("WWW-Authenticate");
  if (status == 401 && wwwAuth) {
    const URL& url = conn->current_->url();
    ProtectionSpace space;
    space.host = url.host();
    space.protocol = url.scheme();
    space.port = url.port().value_or(url.scheme() == "https" ? 443 : 80);
    space.authenticationMethod = wwwAuth->rfind("Basic", 0) == 0 ? kAuthenticationMethodHTTPBasic
                                                                 : kAuthenticationMethodDefault;
    auto realmAt = wwwAuth->find("realm=\"");
    if (realmAt != std::string::npos) {
      auto end = wwwAuth->find('"', realmAt + 7);
      space.realm =
          wwwAuth->substr(realmAt + 7, end == std::string::npos ? end : end - realmAt - 7);
    }
    auto sender = std::make_shared<Sender>();
    AuthenticationChallenge challenge(space, authFailures, resp, sender);
    delegate->connectionWillSendRequestForAuthenticationChallenge(*conn, challenge);
    if (cancelled()) return false;
    if (sender->answer == Answer::kUseCredential && !sender->credential.user().empty()) {
      ++authFailures;
      credential = sender->credential;
      pendingRestart = std::make_unique<URLRequest>(*conn->current_);
      discardBody = true;
      return true;
    }
    if (sender->answer == Answer::kCancel) {
      pendingError = makeURLError(kURLErrorUserCancelledAuthentication, url);
      return false;
    }
  }
  if (!checkContentLength(resp)) {
    // A body over the limit is refused unread, but the status and headers
    // are the server's answer all the same, as when the body grows past the
    // limit: a caller that needs no body (an upload) judges by them.
    if (pendingError && pendingError->code() == kURLErrorDataLengthExceedsMaximum) {
      response = std::move(resp);
      responseDelivered = true;
      delegate->connectionDidReceiveResponse(*conn, *response);
    }
    return false;
  }
  response = std::move(resp);
  responseDelivered = true;
  delegate->connectionDidReceiveResponse(*conn, *response);
  return !cancelled();
}

bool URLConnection::Transfer::checkContentLength(const URLResponse& resp) {
  const bool noBody = conn->current_->HTTPMethod() == "HEAD" || status == 204 || status == 304;
  std::optional<std::int64_t> length;
  for (const auto& [name, value] : resp.allHeaderFields().fields()) {
    if (!equalsIgnoringCase(name, "Content-Length")) continue;
    auto parsed = parseContentLength(value);
    if (!parsed || (length && *length != *parsed)) {
      pendingError = makeURLError(kURLErrorBadServerResponse, conn->current_->url(),
                                  "The server sent an invalid Content-Length.");
      return false;
    }
    length = parsed;
  }
  const std::int64_t limit = conn->current_->maximumResponseLength();
  if (!noBody && length && limit >= 0 && *length > limit) {
    pendingError = makeURLError(kURLErrorDataLengthExceedsMaximum, conn->current_->url());
    return false;
  }
  return true;
}

bool URLConnection::Transfer::evaluateServerTrust(std::vector<security::Certificate> presented) {
  auto keep = self();
  auto delegate = conn->delegate_;
  if (!delegate || cancelled()) return false;
  const URL& url = conn->current_->url();
  auto trust = std::make_shared<security::ServerTrust>(std::move(presented), url.host());
  ProtectionSpace space;
  space.host = url.host();
  space.protocol = url.scheme();
  space.port = url.port().value_or(443);
  space.authenticationMethod = kAuthenticationMethodServerTrust;
  space.serverTrust = trust;
  auto sender = std::make_shared<Sender>();
  AuthenticationChallenge challenge(space, 0, std::nullopt, sender);
  delegate->connectionWillSendRequestForAuthenticationChallenge(*conn, challenge);
  if (cancelled()) return false;
  bool accepted;
  switch (sender->answer) {
    case Answer::kUseCredential:
      accepted = true;
      break;
    case Answer::kCancel:
      accepted = false;
      break;
    default: {
      security::ServerTrust fresh(trust->presentedChain(), url.host());
      accepted = fresh.isTrusted();
    }
  }
  if (!accepted) trustRejected = true;
  return accepted;
}

size_t URLConnection::Transfer::headerCallback(char* data, size_t size, size_t n, void* userp) {
  auto* t = static_cast<Transfer*>(userp);
  const size_t len = size * n;
  if (t->cancelled()) return 0;
  std::string_view line(data, len);
  t->touch();
  const URL& url = t->conn->current_->url();
  if (detail::isStatusLine(line)) {
    t->headers.clear();
    t->headBytes = len;
    auto code = parseStatusLine(line);
    if (!code) {
      t->pendingError =
          makeURLError(kURLErrorBadServerResponse, url, "The server sent an invalid status line.");
      return 0;
    }
    t->status = *code;
    // On a loader, the loader guards the handle (url_loader.h).
    if (t->thread->guardFirstFieldLine && !t->job) {
      // The next line libcurl reports (debugCallback) is this head's first
      // field line, or the blank line that ends it.
      t->watchingFirstFieldLine = true;
      curl_easy_setopt(t->easy, CURLOPT_VERBOSE, 1L);
    }
    return len;
  }
  // Fields after the final head are the trailers of a chunked body: the
  // response was delivered already.
  if (t->responseDelivered) return len;
  t->headBytes += len;
  if (t->headBytes > kMaximumResponseHeadLength) {
    t->pendingError = makeURLError(kURLErrorBadServerResponse, url,
                                   "The server sent a response header longer than the limit.");
    return 0;
  }
  try {
    // libcurl ends the head at any line that starts with a line break
    // (a bare "\r" followed by more is one).
    if (!line.empty() && (line.front() == '\r' || line.front() == '\n')) {
      if (t->status >= 100 && t->status < 200) return len;  // interim response
      return t->onHeadersComplete() ? len : 0;
    }
    auto colon = line.find(':');
    if (colon != std::string_view::npos) {
      t->headers.add(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
  } catch (const std::bad_alloc&) {
    t->pendingError = outOfMemoryError();
    return 0;
  }
  return len;
}

size_t URLConnection::Transfer::writeCallback(char* data, size_t size, size_t n, void* userp) {
  auto* t = static_cast<Transfer*>(userp);
  const size_t len = size * n;
  if (t->cancelled()) return 0;
  t->bodyBytes += static_cast<std::int64_t>(len);
  if (t->overLimit(t->bodyBytes)) {
    t->pendingError = makeURLError(kURLErrorDataLengthExceedsMaximum, t->conn->current_->url());
    return 0;
  }
  if (t->discardBody) return len;
  if (!t->responseDelivered) {
    // Body bytes without a head that was seen to end: not HTTP.
    t->pendingError = makeURLError(kURLErrorBadServerResponse, t->conn->current_->url());
    return 0;
  }
  t->touch();
  auto delegate = t->conn->delegate_;
  if (!delegate) return 0;
  try {
    delegate->connectionDidReceiveData(*t->conn, reinterpret_cast<const std::uint8_t*>(data), len);
  } catch (const std::bad_alloc&) {
    t->pendingError = outOfMemoryError();
    return 0;
  }
  return t->cancelled() ? 0 : len;
}

size_t URLConnection::Transfer::readCallback(char* data, size_t size, size_t n, void* userp) {
  auto* t = static_cast<Transfer*>(userp);
  if (t->cancelled()) return CURL_READFUNC_ABORT;
  auto& stream = t->conn->current_->HTTPBodyStream();
  if (!stream) return 0;
  t->touch();
  long got = stream->read(reinterpret_cast<std::uint8_t*>(data), size * n);
  if (got < 0) {
    Error e = stream->streamError();
    if (!e) e = makeURLError(kURLErrorUnknown, t->conn->current_->url(), "The body stream failed.");
    t->pendingError = e;
    return CURL_READFUNC_ABORT;
  }
  return static_cast<size_t>(got);
}

int URLConnection::Transfer::progressCallback(void* userp, curl_off_t, curl_off_t,
                                              curl_off_t ultotal, curl_off_t ulnow) {
  auto* t = static_cast<Transfer*>(userp);
  if (t->cancelled()) return 1;
  if (ulnow > t->uploadReported && !t->discardBody) {
    t->touch();
    std::int64_t step = ulnow - t->uploadReported;
    t->uploadReported = ulnow;
    std::int64_t expected =
        t->uploadExpected >= 0 ? t->uploadExpected : (ultotal > 0 ? ultotal : -1);
    if (auto delegate = t->conn->delegate_) {
      delegate->connectionDidSendBodyData(*t->conn, step, ulnow, expected);
    }
  }
  return t->cancelled() ? 1 : 0;
}

CURLcode URLConnection::Transfer::sslContextCallback(CURL*, void* sslctx, void* userp) {
  auto* ctx = static_cast<SSL_CTX*>(sslctx);
  // The context belongs to the connection, which may outlive this transfer
  // and serve later ones: the verify callback, bound to this transfer, must
  // only ever run in the first handshake.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_cert_verify_callback(ctx, &Transfer::verifyChainCallback, userp);
  return CURLE_OK;
}

int URLConnection::Transfer::verifyChainCallback(X509_STORE_CTX* ctx, void* arg) {
  auto* t = static_cast<Transfer*>(arg);
  std::vector<security::Certificate> presented =
      presentedChain(X509_STORE_CTX_get0_cert(ctx), X509_STORE_CTX_get0_untrusted(ctx));
  bool ok = !presented.empty() && t->evaluateServerTrust(std::move(presented));
  t->trustEvaluated = true;
  X509_STORE_CTX_set_error(ctx, ok ? X509_V_OK : X509_V_ERR_APPLICATION_VERIFICATION);
  return ok ? 1 : 0;
}

// A load on a connection kept from an earlier load, or on a new connection
// whose TLS session was resumed, had no handshake that judged its server:
// judge the chain the connection's server presented, as for a new one, so
// that every load's own delegate (its pinning) decides.
bool URLConnection::Transfer::evaluateKeptConnection() {
  curl_tlssessioninfo* info = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info ||
      info->backend != CURLSSLBACKEND_OPENSSL || !info->internals) {
    return false;
  }
  auto* ssl = static_cast<SSL*>(info->internals);
  std::vector<security::Certificate> presented =
      presentedChain(SSL_get0_peer_certificate(ssl), SSL_get_peer_cert_chain(ssl));
  return !presented.empty() && evaluateServerTrust(std::move(presented));
}

int URLConnection::Transfer::prerequestCallback(void* userp, char*, char*, int, int) {
  auto* t = static_cast<Transfer*>(userp);
  if (t->cancelled()) return CURL_PREREQFUNC_ABORT;
  if (t->trustEvaluated) return CURL_PREREQFUNC_OK;
  t->trustEvaluated = true;
  if (!t->evaluateKeptConnection()) {
    t->trustRejected = true;
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

// Sees each line of a head before libcurl stores it (only while a status
// line's first field line is awaited: see guardFirstFieldLine).
int URLConnection::Transfer::debugCallback(CURL* easy, curl_infotype type, char* data, size_t size,
                                           void* userp) {
  auto* t = static_cast<Transfer*>(userp);
  if (!detail::holdBackFoldedFirstFieldLine(easy, type, data, size, t->watchingFirstFieldLine)) {
    return 0;
  }
  // A folded line with nothing to fold onto: refused as a new handle
  // refuses it. The load is failed, and the handle dropped, once libcurl
  // has returned.
  t->pendingError = makeURLError(kURLErrorBadServerResponse, t->conn->current_->url());
  t->dropEasy = true;
  t->thread->stopped.push_back(t->self());
  return 0;
}

// ---------------------------------------------------------------------------
// URLConnection

URLConnection::URLConnection(URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate)
    : original_(std::make_shared<const URLRequest>(std::move(request))),
      current_(original_),
      delegate_(std::move(delegate)) {}

URLConnection::~URLConnection() = default;

std::shared_ptr<URLConnection> URLConnection::create(
    URLRequest request, std::shared_ptr<URLConnectionDelegate> delegate) {
  // One allocation for the connection and its count.
  struct Made : URLConnection {
    Made(URLRequest r, std::shared_ptr<URLConnectionDelegate> d)
        : URLConnection(std::move(r), std::move(d)) {}
  };
  return std::make_shared<Made>(std::move(request), std::move(delegate));
}

void URLConnection::start() {
  if (started_.exchange(true)) return;
  auto self = shared_from_this();
  auto begin = [self] {
    if (self->cancelled_) {
      self->delegate_.reset();
      return;
    }
    self->transfer_ = std::make_unique<Transfer>(self.get());
    self->transfer_->begin();
  };
  // Started from a callback on the network thread: no need to go round the loop.
  if (NetworkThread::shared().isCurrent()) {
    begin();
  } else {
    NetworkThread::shared().perform(std::move(begin));
  }
}

void URLConnection::cancel() {
  if (cancelled_.exchange(true)) return;
  auto self = shared_from_this();
  NetworkThread::shared().perform([self] {
    if (self->transfer_) self->transfer_->detach();
    self->delegate_.reset();
  });
}

}  // namespace platform::urlloading
