#include "platform/urlloading/url_loader.h"

#include <pthread.h>

#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/dispatch/thread_crash_info.h"
#include "platform/urlloading/url_connection.h"

namespace platform::urlloading::detail {

bool isStatusLine(std::string_view line) {
  return line.size() >= 5 && equalsIgnoringCase(line.substr(0, 5), "HTTP/");
}

bool holdBackFoldedFirstFieldLine(CURL* easy, curl_infotype type, const char* data, size_t size,
                                  bool& watching) {
  if (type != CURLINFO_HEADER_IN || !watching) return false;
  watching = false;
  curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
  if (size == 0 || (data[0] != ' ' && data[0] != '\t')) return false;
  curl_easy_pause(easy, CURLPAUSE_RECV);
  return true;
}

LoaderJob::LoaderJob(CURL* easy, std::int64_t maximumBodyLength, bool guardFirstFieldLine,
                     Notify notify, void* owner)
    : easy_(easy),
      maximumBodyLength_(maximumBodyLength),
      guard_(guardFirstFieldLine),
      notify_(notify),
      owner_(owner) {}

bool LoaderJob::queueLocked(LoaderEvent event) {
  if (event.kind == LoaderEvent::Kind::kData && !events_.empty() &&
      events_.back().kind == LoaderEvent::Kind::kData) {
    events_.back().bytes.append(event.bytes);
  } else {
    events_.push_back(std::move(event));
  }
  if (told_) return false;
  told_ = true;
  return true;
}

void LoaderJob::tell(bool needed) {
  if (needed) notify_(shared_from_this());
}

std::vector<LoaderEvent> LoaderJob::takeEvents() {
  std::vector<LoaderEvent> taken;
  bool resume = false;
  {
    std::lock_guard lock(mutex_);
    taken.swap(events_);
    heldBytes_ = 0;
    told_ = false;
    if (paused_ && state_ == State::kRunning) {
      paused_ = false;
      resume = true;
    }
  }
  if (resume) {
    {
      std::lock_guard lock(loader_->mutex_);
      loader_->resuming_.push_back(shared_from_this());
    }
    loader_->wake();
  }
  return taken;
}

bool LoaderJob::letGo(curl_slist* headers) {
  owner_ = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::kRunning) return false;
    state_ = State::kStopped;
    headersToFree_ = headers;
    events_.clear();
  }
  {
    std::lock_guard lock(loader_->mutex_);
    loader_->stopping_.push_back(shared_from_this());
  }
  loader_->wake();
  return true;
}

size_t LoaderJob::headerCallback(char* data, size_t size, size_t n, void* userp) {
  auto* job = static_cast<LoaderJob*>(userp);
  const size_t len = size * n;
  std::string_view line(data, len);
  if (isStatusLine(line)) {
    job->headBytes_ = len;
    job->inHead_ = true;
    if (job->guard_) {
      // The next line libcurl reports (debugCallback) is this head's first
      // field line, or the blank line that ends it.
      job->watching_ = true;
      curl_easy_setopt(job->easy_, CURLOPT_VERBOSE, 1L);
    }
  } else if (job->inHead_) {
    // Trailers of a chunked body come after the head and do not count.
    job->headBytes_ += len;
    if (!line.empty() && (line.front() == '\r' || line.front() == '\n')) job->inHead_ = false;
  }
  bool tell;
  {
    std::lock_guard lock(job->mutex_);
    if (job->state_ == State::kStopped) return 0;
    tell = job->queueLocked(
        LoaderEvent{LoaderEvent::Kind::kHeaderLine, CURLE_OK, false, std::string(line)});
  }
  job->tell(tell);
  return job->headBytes_ > kMaximumResponseHeadLength ? 0 : len;
}

size_t LoaderJob::writeCallback(char* data, size_t size, size_t n, void* userp) {
  auto* job = static_cast<LoaderJob*>(userp);
  const size_t len = size * n;
  bool tell;
  {
    std::lock_guard lock(job->mutex_);
    if (job->state_ == State::kStopped) return 0;
    if (job->heldBytes_ >= kLoaderRoom) {
      // libcurl keeps these bytes and offers them again once resumed.
      job->paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    job->heldBytes_ += len;
    tell = job->queueLocked(
        LoaderEvent{LoaderEvent::Kind::kData, CURLE_OK, false, std::string(data, len)});
  }
  job->tell(tell);
  job->bodyBytes_ += static_cast<std::int64_t>(len);
  const bool over = job->maximumBodyLength_ >= 0 && job->bodyBytes_ > job->maximumBodyLength_;
  return over ? 0 : len;
}

int LoaderJob::debugCallback(CURL* easy, curl_infotype type, char* data, size_t size, void* userp) {
  auto* job = static_cast<LoaderJob*>(userp);
  if (!holdBackFoldedFirstFieldLine(easy, type, data, size, job->watching_)) return 0;
  // The job ends once libcurl has returned.
  job->loader_->guarded_.push_back(job->shared_from_this());
  return 0;
}

Loader::Loader() : multi_(curl_multi_init()) {
  // Keep idle keep-alive connections even while few transfers run.
  curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, 64L);
  std::thread([this] {
    dispatch::ensureAlternateSignalStack();  // a crash here is recorded too
    run();
  }).detach();
}

Loader* Loader::leastBusy() {
  // Three loaders beside the network thread where the processors allow: a
  // burst of loads then keeps four processors at their socket work, and
  // leaves the rest to the servers and callers they wait for.
  static const std::vector<Loader*> loaders = [] {
    const unsigned processors = std::thread::hardware_concurrency();
    const unsigned count = processors >= 8 ? 3 : processors >= 4 ? 1 : 0;
    std::vector<Loader*> made;
    for (unsigned i = 0; i < count; ++i) made.push_back(new Loader());  // serves to the end
    return made;
  }();
  Loader* best = nullptr;
  for (Loader* loader : loaders) {
    if (!best || loader->jobs_.load(std::memory_order_relaxed) <
                     best->jobs_.load(std::memory_order_relaxed)) {
      best = loader;
    }
  }
  return best;
}

void Loader::start(Loader* loader, const std::shared_ptr<LoaderJob>& job) {
  job->loader_ = loader;
  CURL* easy = job->easy_;
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &LoaderJob::headerCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, job.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &LoaderJob::writeCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, job.get());
  if (job->guard_) {
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &LoaderJob::debugCallback);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, job.get());
  }
  loader->jobs_.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard lock(loader->mutex_);
    loader->incoming_.push_back(job);
  }
  loader->wake();
}

void Loader::wake() { curl_multi_wakeup(multi_); }

void Loader::freeHandle(LoaderJob& job) {
  curl_easy_cleanup(job.easy_);
  curl_slist_free_all(job.headersToFree_);
  job.headersToFree_ = nullptr;
}

void Loader::finish(const std::shared_ptr<LoaderJob>& job, CURLcode result, bool folded) {
  jobs_.fetch_sub(1, std::memory_order_relaxed);
  bool tell;
  {
    std::lock_guard lock(job->mutex_);
    if (job->state_ == LoaderJob::State::kStopped) {
      freeHandle(*job);
      return;
    }
    if (job->watching_) curl_easy_setopt(job->easy_, CURLOPT_VERBOSE, 0L);
    job->state_ = LoaderJob::State::kDone;
    tell = job->queueLocked(LoaderEvent{LoaderEvent::Kind::kDone, result, folded, {}});
  }
  job->tell(tell);
}

void Loader::run() {
  pthread_setname_np(pthread_self(), "NKLoader");
  std::unordered_map<CURL*, std::shared_ptr<LoaderJob>> running;
  std::vector<std::shared_ptr<LoaderJob>> in, stops, resumes;
  auto take = [&](const std::shared_ptr<LoaderJob>& job) {
    auto it = running.find(job->easy_);
    if (it == running.end() || it->second != job) return false;
    curl_multi_remove_handle(multi_, job->easy_);
    running.erase(it);
    return true;
  };
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      in.swap(incoming_);
      stops.swap(stopping_);
      resumes.swap(resuming_);
    }
    for (auto& job : in) {
      bool stopped;
      {
        std::lock_guard lock(job->mutex_);
        stopped = job->state_ == LoaderJob::State::kStopped;
      }
      if (stopped) {
        jobs_.fetch_sub(1, std::memory_order_relaxed);
        freeHandle(*job);
      } else if (curl_multi_add_handle(multi_, job->easy_) != CURLM_OK) {
        finish(job, CURLE_FAILED_INIT, false);
      } else {
        running.emplace(job->easy_, job);
      }
    }
    for (auto& job : stops) {
      if (!take(job)) continue;  // ended meanwhile, or never added
      jobs_.fetch_sub(1, std::memory_order_relaxed);
      freeHandle(*job);
    }
    for (auto& job : resumes) {
      auto it = running.find(job->easy_);
      if (it != running.end() && it->second == job) curl_easy_pause(job->easy_, CURLPAUSE_CONT);
    }
    in.clear();
    stops.clear();
    resumes.clear();
    int still = 0;
    curl_multi_perform(multi_, &still);
    if (!guarded_.empty()) {
      std::vector<std::shared_ptr<LoaderJob>> guarded;
      guarded.swap(guarded_);
      for (auto& job : guarded) {
        if (take(job)) finish(job, CURLE_OK, true);
      }
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      auto it = running.find(msg->easy_handle);
      if (it == running.end()) continue;
      std::shared_ptr<LoaderJob> job = it->second;
      const CURLcode result = msg->data.result;
      take(job);
      finish(job, result, false);
    }
    // libcurl shortens the wait to its own next timer; an idle loader
    // sleeps until start() or a stop wakes it.
    curl_multi_poll(multi_, nullptr, 0, running.empty() ? 3600 * 1000 : 1000, nullptr);
  }
}

}  // namespace platform::urlloading::detail
