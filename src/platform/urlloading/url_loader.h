// Loaders: threads of the URL-loading layer that carry out the socket work
// of some loads (see url_connection.h, guarantee 1) while the network
// thread stays the one that runs every delegate callback.
//
// A load handed to a loader is a LoaderJob: its easy handle, set up by the
// network thread, joins the loader's own multi handle (and so its own
// connections). The loader's libcurl callbacks only record what arrives
// (each head line, the body bytes, the end) as events, and the job's notify
// function is called when the first event of a batch is queued; the network
// thread takes the events (takeEvents) and plays them through the same code
// that serves its own loads.
//
// Guarantees:
//  1. The easy handle belongs to the loader from start() until the job's
//     kDone event is queued; after that it is the network thread's again.
//     Meanwhile the network thread does not touch it: letGo() hands it (and
//     its header list) to the loader, which frees both.
//  2. Bounded: a head longer than `kMaximumResponseHeadLength`, or a body
//     longer than the job's limit, ends the transfer on the loader once the
//     line or chunk that crossed the limit is recorded, so the network
//     thread still sees exactly what crossed it. Recorded but untaken body
//     bytes past kLoaderRoom pause the transfer until takeEvents() makes
//     room.
//  3. With `guardFirstFieldLine`, a head whose first field line starts with
//     a space or tab ends the transfer before libcurl stores the line (the
//     libcurl defect described in url_connection.cpp); kDone then says so
//     and the handle must not be used again.
//
// Thread safety: start, letGo and takeEvents from any thread; the notify
// function runs on a loader thread.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform::urlloading::detail {

// Whether `line` starts as a status line does, in any letter case (as
// libcurl takes it).
bool isStatusLine(std::string_view line);

// Called from a debug callback while `watching` (a status line came and its
// first field line is awaited): at that line, stops watching and, when the
// line is folded (starts with a space or tab), pauses the transfer so that
// libcurl holds it back instead of storing it. True when it paused.
bool holdBackFoldedFirstFieldLine(CURL* easy, curl_infotype type, const char* data, size_t size,
                                  bool& watching);

// Untaken body bytes a job holds before its transfer waits for room.
inline constexpr std::size_t kLoaderRoom = 256 * 1024;

struct LoaderEvent {
  enum class Kind : std::uint8_t { kHeaderLine, kData, kDone };
  Kind kind = Kind::kData;
  CURLcode result = CURLE_OK;         // kDone
  bool foldedFirstFieldLine = false;  // kDone: guarantee 3 ended it
  std::string bytes;                  // kHeaderLine, kData
};

class Loader;

class LoaderJob : public std::enable_shared_from_this<LoaderJob> {
 public:
  using Notify = void (*)(const std::shared_ptr<LoaderJob>&);
  LoaderJob(CURL* easy, std::int64_t maximumBodyLength, bool guardFirstFieldLine, Notify notify,
            void* owner);
  LoaderJob(const LoaderJob&) = delete;
  LoaderJob& operator=(const LoaderJob&) = delete;

  // The network thread's own pointer for the job (the load it serves);
  // null once that load has let it go. Network thread only.
  void* owner() const { return owner_; }

  // Network thread: the events queued since the last call, in order; a
  // transfer paused for room goes on.
  std::vector<LoaderEvent> takeEvents();
  // Network thread: the load no longer wants the job. True when the loader
  // still has the handle: it then frees the handle and `headers` (taken);
  // false when the job is done and both are the caller's.
  bool letGo(curl_slist* headers);

 private:
  friend class Loader;
  enum class State : std::uint8_t { kRunning, kDone, kStopped };
  // Loader side (its callbacks).
  static size_t headerCallback(char* data, size_t size, size_t n, void* userp);
  static size_t writeCallback(char* data, size_t size, size_t n, void* userp);
  static int debugCallback(CURL* easy, curl_infotype type, char* data, size_t size, void* userp);
  // Queues an event (with mutex_ held); true when the owner must be told.
  bool queueLocked(LoaderEvent event);
  void tell(bool needed);

  CURL* const easy_;
  const std::int64_t maximumBodyLength_;
  const bool guard_;
  const Notify notify_;
  void* owner_;
  Loader* loader_ = nullptr;
  // Loader thread only.
  std::size_t headBytes_ = 0;
  std::int64_t bodyBytes_ = 0;
  bool inHead_ = false;
  bool watching_ = false;
  // Guarded by mutex_.
  std::mutex mutex_;
  State state_ = State::kRunning;
  std::vector<LoaderEvent> events_;
  std::size_t heldBytes_ = 0;
  bool told_ = false;
  bool paused_ = false;
  curl_slist* headersToFree_ = nullptr;
};

class Loader {
 public:
  // The loader with the fewest jobs, or null when this process has none
  // (a machine with fewer than four processors). Loaders are made on first
  // use and serve to the end.
  static Loader* leastBusy();
  // Any thread: the loader takes the job's transfer over (guarantee 1).
  static void start(Loader* loader, const std::shared_ptr<LoaderJob>& job);

 private:
  friend class LoaderJob;
  Loader();
  void run();
  void wake();
  void finish(const std::shared_ptr<LoaderJob>& job, CURLcode result, bool folded);
  static void freeHandle(LoaderJob& job);

  CURLM* multi_;
  std::atomic<int> jobs_{0};
  std::mutex mutex_;
  std::vector<std::shared_ptr<LoaderJob>> incoming_, stopping_, resuming_;
  // Jobs guarantee 3 stopped in the last pass (loader thread only).
  std::vector<std::shared_ptr<LoaderJob>> guarded_;
};

}  // namespace platform::urlloading::detail
