// The batching of NKURLConnectionOperation: see url_connection_operation_batching.h.
#include "net/http/url_connection_operation_batching.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "net/http/url_connection_operation.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/spin_budget.h"
#include "platform/system/notification_center.h"

namespace net::http {

using platform::Error;
using platform::urlloading::NetworkThread;

namespace url_connection_batching {

// Operations finished by the batch now running on this thread, for one
// main-queue block of finish notifications.
thread_local std::vector<std::shared_ptr<void>>* tFinishedInBatch = nullptr;

void postAll(const char* name, const std::vector<std::shared_ptr<void>>& objects) {
  auto& center = platform::NotificationCenter::defaultCenter();
  for (const auto& object : objects) center.post(name, object);
}

namespace {

// Operations started in this round of the network thread (network thread
// only): their start notifications go to the main queue in one block.
std::vector<std::shared_ptr<void>>& pendingStarts() {
  static auto* starts = new std::vector<std::shared_ptr<void>>();  // outlives every round
  return *starts;
}

// Flushes of gathered start notifications so far, plus one (network thread
// only): a start gathered with ticket t is still gathered while this is t.
std::uint64_t flushTicket = 1;

}  // namespace

void flushStartNotifications() {
  auto& starts = pendingStarts();
  if (starts.empty()) return;
  std::vector<std::shared_ptr<void>> round;
  round.swap(starts);
  ++flushTicket;
  platform::dispatch::Queue::main()->async(
      [round = std::move(round)] { postAll(kNKNetworkingOperationDidStartNotification, round); });
}

std::uint64_t postStartNotification(std::shared_ptr<void> object) {
  if (!NetworkThread::shared().isCurrent()) {
    platform::NotificationCenter::defaultCenter().postOnMainThread(
        kNKNetworkingOperationDidStartNotification, std::move(object));
    return 0;
  }
  auto& starts = pendingStarts();
  const bool first = starts.empty();
  starts.push_back(std::move(object));
  // Once the thread has no work at hand (a burst of starts and load ends
  // costs the main queue one block); the end of this operation's load, if
  // it comes first, flushes them too.
  if (first) NetworkThread::shared().performWhenIdle(flushStartNotifications);
  return flushTicket;
}

std::shared_ptr<void> takeStartNotification(std::uint64_t ticket, const void* object) {
  if (ticket != flushTicket) return nullptr;
  auto& starts = pendingStarts();
  for (auto it = starts.begin(); it != starts.end(); ++it) {
    if (it->get() != object) continue;
    std::shared_ptr<void> start = std::move(*it);
    starts.erase(it);
    return start;
  }
  return nullptr;
}

}  // namespace url_connection_batching

using url_connection_batching::flushStartNotifications;
using url_connection_batching::postAll;
using url_connection_batching::tFinishedInBatch;

// The end of a load, reported by the network thread.
struct NKURLConnectionOperation::LoadEnd {
  std::shared_ptr<NKURLConnectionOperation> operation;
  std::shared_ptr<URLConnection> connection;
  std::optional<Error> error;  // none: finished loading
  // The operation's start notification, when it was still gathered.
  std::shared_ptr<void> start;
};

// Loads that ended and wait to be finished, in the order they ended, and
// the blocks on global queues finishing them: the network thread hands each
// end over as it happens, and a drainer takes all that arrive while it runs,
// so a burst of ends costs one hop and the first of them is not held back
// by the rest. When ends pile up behind a busy drainer, a helper takes a
// share (one at a time) until none is left; ends of different operations
// may then finish on two threads at once.
struct NKURLConnectionOperation::LoadEndQueue {
  std::mutex mutex;
  std::vector<LoadEnd> ends;
  bool draining = false;
  bool helping = false;
  // Set with each end queued, for the drainer's poll without the lock.
  std::atomic<bool> queued{false};
  // The drainer's poll for more ends before it gives the queue up (see
  // platform/dispatch/spin_budget.h): ends of a burst come some
  // microseconds apart, and each hop saved spares the network thread a
  // wake-up. Drainer only.
  platform::dispatch::SpinBudget spin{platform::dispatch::SpinBudget::kMaxMicros};
  // Start of the drainer's last poll when it gave the queue up (guarded by
  // mutex): an end that comes soon after teaches the budget as a found one
  // would, so that a few late ends in a row do not leave every later end to
  // wait for a new drainer to be woken.
  std::optional<std::chrono::steady_clock::time_point> gaveUpPollStart;

  // Moves what this drainer takes into `batch` (with mutex held).
  void take(std::vector<LoadEnd>& batch) {
    if (ends.empty()) return;
    if (helping) {
      batch.push_back(std::move(ends.front()));
      ends.erase(ends.begin());
    } else {
      batch.swap(ends);
    }
  }
};

NKURLConnectionOperation::LoadEndQueue& NKURLConnectionOperation::loadEnds() {
  static auto* queue = new LoadEndQueue();  // outlives every operation
  return *queue;
}

// Finishes the operations whose loads ended, in the order they ended, on a
// global queue: states and observers first, then one main-queue block with
// the start notifications the ends took along and their finish
// notifications, then their completion blocks (held back by the batch, so
// they run here without a hop each and after the notifications were
// queued).
void NKURLConnectionOperation::finishLoads(std::vector<LoadEnd>& ends) {
  platform::Operation::CompletionBatch completions;
  std::vector<std::shared_ptr<void>> finished;
  tFinishedInBatch = &finished;
  // The connections were made on the network thread and go back there to be
  // destroyed: freeing them here would cost every load a slow trip through
  // the allocator (memory of another thread).
  std::vector<std::shared_ptr<URLConnection>> released;
  released.reserve(2 * ends.size());
  std::vector<std::shared_ptr<void>> started;
  for (LoadEnd& end : ends) {
    if (end.start) started.push_back(std::move(end.start));
    released.push_back(end.operation->connectionEnded(*end.connection, end.error));
    released.push_back(std::move(end.connection));
  }
  tFinishedInBatch = nullptr;
  ends.clear();
  NetworkThread::shared().performLazily([released = std::move(released)] {});
  if (!started.empty() || !finished.empty()) {
    platform::dispatch::Queue::main()->async(
        [started = std::move(started), finished = std::move(finished)] {
          postAll(kNKNetworkingOperationDidStartNotification, started);
          postAll(kNKNetworkingOperationDidFinishNotification, finished);
        });
  }
  completions.run();
}

void NKURLConnectionOperation::drainLoadEnds() {
  LoadEndQueue& queue = loadEnds();
  std::vector<LoadEnd> batch;
  bool polled = false;  // polled since the queue was last found empty
  std::chrono::steady_clock::time_point pollStart;
  for (;;) {
    {
      std::lock_guard lock(queue.mutex);
      queue.queued.store(false, std::memory_order_relaxed);
      if (queue.ends.empty() && polled) {
        queue.draining = false;
        queue.gaveUpPollStart = pollStart;
        return;
      }
      queue.take(batch);
    }
    if (!batch.empty()) {
      polled = false;
      finishLoads(batch);
      continue;
    }
    polled = true;
    const auto start = pollStart = std::chrono::steady_clock::now();
    const auto budget = std::chrono::microseconds(queue.spin.next());
    auto now = start;
    while (!queue.queued.load(std::memory_order_acquire) && now - start < budget) {
      // Yields between looks: on a busy machine the thread that will hand
      // the next end over (or the server it waits for) may need this CPU.
      std::this_thread::yield();
      now = std::chrono::steady_clock::now();
    }
    if (queue.queued.load(std::memory_order_acquire)) {
      queue.spin.found(static_cast<int>(
          std::chrono::duration_cast<std::chrono::microseconds>(now - start).count()));
      polled = false;
    } else {
      queue.spin.missed();
    }
  }
}

void NKURLConnectionOperation::helpDrainLoadEnds() {
  LoadEndQueue& queue = loadEnds();
  std::vector<LoadEnd> batch;
  for (;;) {
    {
      std::lock_guard lock(queue.mutex);
      if (queue.ends.empty()) {
        queue.helping = false;
        return;
      }
      queue.take(batch);
    }
    finishLoads(batch);
  }
}

// Called on the network thread when a load ended (elsewhere the operation
// is finished at once).
void NKURLConnectionOperation::deferLoadEnd(URLConnection& connection, std::optional<Error> error) {
  if (!NetworkThread::shared().isCurrent()) {
    connectionEnded(connection, error);
    return;
  }
  {
    // From here the operation counts as finished for pause and cancel,
    // which must not split a load that has ended from its finish.
    std::lock_guard lock(lock_);
    if (connection_.get() == &connection && !isPaused()) loadEnded_ = true;
  }
  // This operation's start notification, if still gathered, goes along:
  // the batch that finishes the operation posts it just before the finish
  // notification.
  std::shared_ptr<void> start = url_connection_batching::takeStartNotification(
      startTicket_.load(), static_cast<const void*>(shared_from_this().get()));
  LoadEndQueue& queue = loadEnds();
  bool drain = false;
  bool help = false;
  {
    std::lock_guard lock(queue.mutex);
    queue.ends.push_back(
        LoadEnd{sharedSelf(), connection.shared_from_this(), std::move(error), std::move(start)});
    queue.queued.store(true, std::memory_order_release);
    if (!queue.draining) {
      queue.draining = drain = true;
      // No drainer runs: the budget is the queue's until the next one starts.
      if (queue.gaveUpPollStart) {
        const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - *queue.gaveUpPollStart)
                                .count();
        queue.gaveUpPollStart.reset();
        if (waited < platform::dispatch::SpinBudget::kMaxMicros) {
          queue.spin.found(static_cast<int>(waited));
        }
      }
    } else if (!queue.helping && queue.ends.size() >= 2) {
      queue.helping = help = true;
    }
  }
  if (drain) {
    platform::dispatch::Queue::global()->async(&NKURLConnectionOperation::drainLoadEnds);
  } else if (help) {
    platform::dispatch::Queue::global()->async(&NKURLConnectionOperation::helpDrainLoadEnds);
  }
}

}  // namespace net::http
