#include "logging/log.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "logging/log_internal.h"
#include "logging/record_store.h"
#include "logging/recycling_allocator.h"
#include "platform/dispatch/thread_crash_info.h"

namespace logging {

namespace dispatch = platform::dispatch;

namespace {

struct Node {
  LKLoggerPtr logger;
  dispatch::QueuePtr queue;
  std::uint64_t level;
};

// A record, or other work of the logging queue, waiting for the drain job.
// Made by the thread that logs, freed on the logging queue: an entry for a
// record of the record store lives in that record's queue slot; others are
// recycled, so the two threads do not meet in the allocator's locks.
struct Pending final {
  Pending* next = nullptr;
  LKLogMessagePtr record;
  std::unique_ptr<dispatch::Block> block;  // set for work other than a record

  // Only whole Pending objects come here (the struct is final).
  static void* operator new(std::size_t) {
    return detail::BlockRecycler<sizeof(Pending), alignof(Pending)>::take();
  }
  static void operator delete(void* p) {
    detail::BlockRecycler<sizeof(Pending), alignof(Pending)>::give(p);
  }

  // Whether this entry lives in its record's queue slot (asked while it
  // still holds the record).
  bool inRecord() const {
    return record && static_cast<const void*>(this) ==
                         detail::RecordStore::queueSlot(const_cast<LKLogMessage*>(record.get()));
  }
};

static_assert(sizeof(Pending) <= detail::RecordStore::kQueueSlotSize && alignof(Pending) <= 16);

struct DisposePending {
  void operator()(Pending* p) const {
    if (p->inRecord()) {
      p->~Pending();  // releases the record, whose slot this is, last
    } else {
      delete p;
    }
  }
};
using PendingPtr = std::unique_ptr<Pending, DisposePending>;

struct ClassLevel {
  std::function<std::uint64_t()> get;
  std::function<void(std::uint64_t)> set;
};

// True while the thread runs a logger's hook or the dispatcher's delivery:
// such a thread must never wait for the dispatcher.
thread_local int tInsideLogging = 0;

struct InsideLogging {
  InsideLogging() { ++tInsideLogging; }
  ~InsideLogging() { --tInsideLogging; }
};

const char kQueueKey = 0;

struct State {
  dispatch::QueuePtr queue;
  std::vector<Node> nodes;  // logging queue only
  // Fixed at creation.
  unsigned processors = 1;
  std::chrono::milliseconds exitFlushTimeLimit{LKLog::kExitFlushTimeLimit};

  // Union of the levels of registered loggers and of those being added.
  std::atomic<std::uint64_t> mask{0};
  std::mutex addMutex;
  std::vector<std::uint64_t> pendingAdds;  // under addMutex

  // Records and other work in submission order, newest first, pushed
  // without a lock. nullptr: nothing pending and no drain job; activeMark():
  // a drain job is responsible and has taken everything; else the newest
  // entry (its chain ends in nullptr). While it is not nullptr exactly one
  // drain job is queued or running.
  // On lines of their own: callers and the drain job meet here, and
  // nowhere else.
  alignas(64) std::atomic<Pending*> pending{nullptr};

  // Places in the queue and records accepted, in one word so that taking a
  // place and counting the record is one step: the free places in the low
  // kPlaceBits bits, the records accepted above them.
  static constexpr int kPlaceBits = 11;
  static constexpr std::uint64_t kPlaceMask = (std::uint64_t{1} << kPlaceBits) - 1;
  static constexpr std::uint64_t kAccepted = std::uint64_t{1} << kPlaceBits;
  static_assert(LKLog::kQueueLimit <= static_cast<long>(kPlaceMask));
  alignas(64) std::atomic<std::uint64_t> places{static_cast<std::uint64_t>(LKLog::kQueueLimit)};
  std::atomic<int> waiters{0};
  alignas(64) std::atomic<LKLogOverflowPolicy> policy{LKLogOverflowPolicy::Block};
  std::atomic<std::uint64_t> delivered{0}, dropped{0}, blocked{0};

  // The willRemoveLogger hooks not yet run; `flushLog` waits for them.
  dispatch::Group removals;

  std::mutex errorMutex;
  LKLog::ErrorHandler errorHandler;  // under errorMutex
  std::chrono::steady_clock::time_point windowStart{};
  int reportsInWindow = 0;
  std::uint64_t suppressed = 0;

  std::mutex classMutex;
  std::map<std::string, ClassLevel, std::less<>> classes;
};

State& state();

// At exit the exiting thread's thread-local state is already gone, so the
// flush runs on a thread of its own. The exit waits for it only so long: a
// logger that is stuck, or that waits for the exiting thread, must not keep
// the process from ending.
void flushAtExit() {
  // exit() called by a logger (or during a delivery): the dispatcher waits
  // for this very thread, so a flush could never end.
  if (tInsideLogging > 0) return;
  struct Done {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  std::thread flusher([done] {
    platform::dispatch::ensureAlternateSignalStack();  // a crash here is recorded too
    LKLog::flushLog();
    std::lock_guard lock(done->mutex);
    done->done = true;
    done->changed.notify_all();
  });
  std::unique_lock lock(done->mutex);
  const bool finished =
      done->changed.wait_for(lock, state().exitFlushTimeLimit, [&] { return done->done; });
  lock.unlock();
  if (finished) {
    flusher.join();
  } else {
    flusher.detach();  // the process ends around it
  }
}

// Never destroyed: the dispatcher lives as long as the process and is still
// used by the exit handler.
std::atomic<State*> gState{nullptr};

// Creates the dispatcher unless it exists; the dispatcher, and whether this
// call created it.
State* createState(const LKLog::Options& options, bool* created) {
  static std::mutex creating;
  std::lock_guard lock(creating);
  if (State* existing = gState.load(std::memory_order_acquire)) {
    *created = false;
    return existing;
  }
  auto* st = new State;
  st->queue = dispatch::Queue::createSerial(kLKLoggingQueueLabel);
  st->queue->setSpecific(&kQueueKey,
                         std::shared_ptr<void>(const_cast<char*>(&kQueueKey), [](void*) {}));
  if (options.processorCount > 0) {
    st->processors = options.processorCount;
  } else {
    long n = sysconf(_SC_NPROCESSORS_CONF);
    st->processors = n > 0 ? static_cast<unsigned>(n) : 1;
  }
  st->exitFlushTimeLimit = std::max(options.exitFlushTimeLimit, std::chrono::milliseconds(0));
  gState.store(st, std::memory_order_release);
  // Registered after the queue exists, so it runs before the dispatch
  // machinery is torn down.
  std::atexit(flushAtExit);
  *created = true;
  return st;
}

State& state() {
  if (State* s = gState.load(std::memory_order_acquire)) return *s;
  bool created = false;
  return *createState(LKLog::Options{}, &created);
}

bool onLoggingQueue() { return dispatch::Queue::currentSpecific(&kQueueKey) != nullptr; }

Pending* activeMark() {
  static Pending mark;
  return &mark;
}

void drainJob();

// Appends to the pending work; the push that finds nothing pending queues
// the drain job.
void push(PendingPtr entry) {
  State& s = state();
  Pending* n = entry.release();
  Pending* old = s.pending.load(std::memory_order_relaxed);
  do {
    n->next = old == activeMark() ? nullptr : old;
  } while (!s.pending.compare_exchange_weak(old, n, std::memory_order_release,
                                            std::memory_order_relaxed));
  if (old == nullptr) s.queue->async(drainJob);
}

// Queues `block` on the logging queue after everything queued so far.
void submit(dispatch::Block block) {
  PendingPtr entry(new Pending);
  entry->block = std::make_unique<dispatch::Block>(std::move(block));
  push(std::move(entry));
}

// Takes a place in the queue and counts the record as accepted; false when
// the record is dropped instead.
bool acquirePermit() {
  State& s = state();
  std::uint64_t v = s.places.load(std::memory_order_relaxed);
  bool counted = false;
  for (;;) {
    if ((v & State::kPlaceMask) > 0) {
      if (s.places.compare_exchange_weak(v, v - 1 + State::kAccepted, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
        return true;
      }
      continue;
    }
    if (s.policy.load(std::memory_order_relaxed) == LKLogOverflowPolicy::DropNewest ||
        tInsideLogging > 0 || onLoggingQueue()) {
      s.dropped.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    if (!counted) {
      s.blocked.fetch_add(1, std::memory_order_relaxed);
      counted = true;
    }
    s.waiters.fetch_add(1);
    s.places.wait(v);
    s.waiters.fetch_sub(1);
    v = s.places.load(std::memory_order_relaxed);
  }
}

// Waiting callers are woken once a quarter of the queue is free again, so a
// full queue does not hand the processor back and forth for every record.
void releasePermits(long n) {
  State& s = state();
  std::uint64_t now = s.places.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_release) +
                      static_cast<std::uint64_t>(n);
  if (s.waiters.load() > 0 &&
      static_cast<long>(now & State::kPlaceMask) >= LKLog::kQueueLimit / 4) {
    s.places.notify_all();
  }
}

// Gives back a place taken for a record that is not queued after all.
void returnPermit() {
  State& s = state();
  s.places.fetch_sub(State::kAccepted - 1, std::memory_order_release);
  if (s.waiters.load() > 0) s.places.notify_all();
}

void deliver(const std::vector<LKLogMessagePtr>& records);
void drainHere();

// Queues a record that holds a place in the queue. `stored`: the record when
// it comes from the record store (its queue entry then lives inside it).
void queueAccepted(LKLogMessagePtr message, LKLogMessage* stored, bool asynchronous) {
  State& s = state();
  if (!asynchronous && tInsideLogging == 0 && !onLoggingQueue()) {
    s.queue->sync([&] {
      drainHere();  // what this thread queued before goes first
      deliver({message});
    });
    return;
  }
  PendingPtr entry(stored ? ::new (detail::RecordStore::queueSlot(stored)) Pending : new Pending);
  entry->record = std::move(message);
  push(std::move(entry));
}

std::string loggerLabel(const LKLoggerPtr& logger) {
  std::string name = logger->loggerName();
  return name.empty() ? "logger" : name;
}

template <class F>
void guarded(const LKLoggerPtr& logger, const char* what, F&& f) {
  InsideLogging inside;
  try {
    f();
  } catch (const std::exception& e) {
    LKLog::reportError(
        platform::format("LKLog: %@ failed in %s: %s", loggerLabel(logger), what, e.what()));
  } catch (...) {
    LKLog::reportError(platform::format("LKLog: %@ failed in %s", loggerLabel(logger), what));
  }
}

void deliverTo(const Node& node, const std::vector<LKLogMessagePtr>& records) {
  if (node.logger->acceptsBatches()) {
    guarded(node.logger, "logMessages", [&] { node.logger->logMessages(records); });
    return;
  }
  for (const auto& r : records) {
    guarded(node.logger, "logMessage", [&] { node.logger->logMessage(r); });
  }
}

// On the logging queue: hands `records` to every logger that takes them and
// waits for all of them.
void deliver(const std::vector<LKLogMessagePtr>& records) {
  State& s = state();
  InsideLogging inside;
  // The records each logger takes: all of them (no copy), or its own list.
  struct Work {
    const Node* node;
    std::vector<LKLogMessagePtr> own;
    bool all;
    const std::vector<LKLogMessagePtr>& mine(const std::vector<LKLogMessagePtr>& every) const {
      return all ? every : own;
    }
  };
  std::vector<Work> work;
  work.reserve(s.nodes.size());
  for (const Node& node : s.nodes) {
    std::size_t taken = 0;
    for (const auto& r : records) taken += (node.level & r->flag()) != 0;
    if (taken == 0) continue;
    Work& item = work.emplace_back(Work{&node, {}, taken == records.size()});
    if (!item.all) {
      item.own.reserve(taken);
      for (const auto& r : records) {
        if (node.level & r->flag()) item.own.push_back(r);
      }
    }
  }
  if (work.size() == 1 || (s.processors < 2 && !work.empty())) {
    for (const Work& item : work) {
      const Node* node = item.node;
      const std::vector<LKLogMessagePtr>& mine = item.mine(records);
      node->queue->sync([node, &mine] { deliverTo(*node, mine); });
    }
  } else if (!work.empty()) {
    // The group is waited for below, so the loggers' blocks may refer to
    // the records and the nodes here.
    dispatch::Group group;
    for (const Work& item : work) {
      const Node* node = item.node;
      const std::vector<LKLogMessagePtr>* mine = &item.mine(records);
      group.async(node->queue, [node, mine] { deliverTo(*node, *mine); });
    }
    group.wait();
  }
  s.delivered.fetch_add(records.size(), std::memory_order_relaxed);
  releasePermits(static_cast<long>(records.size()));
}

// On the logging queue: runs a chain taken from `pending` (newest first),
// in submission order, records in batches between other work.
thread_local bool tRunningTaken = false;
constexpr std::size_t kDeliverySlice = 128;

// Returns the number of entries run.
std::size_t runTaken(Pending* list) {
  struct Running {
    Running() { tRunningTaken = true; }
    ~Running() { tRunningTaken = false; }
  } running;
  Pending* ordered = nullptr;
  while (list) {
    Pending* next = list->next;
    list->next = ordered;
    ordered = list;
    list = next;
  }
  std::vector<LKLogMessagePtr> records;
  std::size_t count = 0;
  while (ordered) {
    ++count;
    PendingPtr entry(ordered);
    ordered = entry->next;
    if (entry->block) {
      if (!records.empty()) {
        deliver(records);
        records.clear();
      }
      (*entry->block)();
      entry->block.reset();
    } else {
      // The entry goes before its record can go back to the store.
      Pending* p = entry.release();
      const bool inRecord = p->inRecord();
      LKLogMessagePtr record = std::move(p->record);
      if (inRecord) {
        p->~Pending();
      } else {
        delete p;
      }
      records.push_back(std::move(record));
      // Delivered in slices: each slice frees its places in the queue, so
      // a caller waiting for room goes on while the rest is written.
      if (records.size() == kDeliverySlice) {
        deliver(records);
        records.clear();
      }
    }
  }
  if (!records.empty()) deliver(records);
  return count;
}

// On the logging queue: runs what is pending now. Leaves the drain job in
// charge (it finds nothing and ends). Inside pending work (a flush queued
// behind records) it does nothing: what came before has run, and what
// came later must wait for the rest of the chain.
void drainHere() {
  if (tRunningTaken) return;
  State& s = state();
  Pending* list = s.pending.load(std::memory_order_acquire);
  while (list != nullptr && list != activeMark()) {
    if (s.pending.compare_exchange_weak(list, activeMark(), std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
      runTaken(list);
      list = s.pending.load(std::memory_order_acquire);
    }
  }
}

// After a round that ran something the drain job waits up to kBurstWait for
// more before it hands its thread back: queueing the job again for every
// few records costs far more, on both sides. When more comes after a small
// round it lets up to kGatherWait pass, so that the next round takes several
// records at once and touches what callers share with it (the pending list,
// the count of places) once for all of them. It keeps its processor while
// it waits (a thread that yields may not get one back for milliseconds,
// while callers fill the queue); the waits are short and end at the first
// record when the queue is busy.
constexpr auto kBurstWait = std::chrono::microseconds(20);
constexpr auto kGatherWait = std::chrono::microseconds(5);
constexpr std::size_t kSmallRound = 16;

// Waits until `pending` is no longer activeMark() (true) or `wait` passed
// (false).
bool awaitMore(std::chrono::microseconds wait) {
  State& s = state();
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (unsigned i = 1;; ++i) {
    if (s.pending.load(std::memory_order_relaxed) != activeMark()) return true;
    if (i % 64 == 0 && std::chrono::steady_clock::now() >= deadline) return false;
  }
}

// Lets `wait` pass without reading the pending list, so that callers
// pushing meanwhile find it where they left it.
void gather(std::chrono::microseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline) {
  }
}

// The drain job: runs pending work until none is left. After a few rounds
// it queues itself again, so that other work of the logging queue (a `sync`
// waiting there) is not starved by a steady stream of records.
void drainJob() {
  State& s = state();
  constexpr int kRounds = 8;
  std::size_t last = 0;  // entries of the last round
  for (int round = 0; round < kRounds; ++round) {
    Pending* list = s.pending.exchange(activeMark(), std::memory_order_acq_rel);
    if (list == activeMark() || list == nullptr) {
      if (last > 0 && awaitMore(kBurstWait)) {
        if (last < kSmallRound) gather(kGatherWait);
        last = 0;
        continue;
      }
      Pending* expected = activeMark();
      if (s.pending.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel)) return;
      continue;  // more arrived meanwhile
    }
    last = runTaken(list);
  }
  s.queue->async(drainJob);  // still in charge: `pending` is not nullptr
}

void recomputeMask() {
  State& s = state();
  std::lock_guard lock(s.addMutex);
  std::uint64_t m = 0;
  for (const Node& n : s.nodes) m |= n.level;
  for (std::uint64_t l : s.pendingAdds) m |= l;
  s.mask.store(m, std::memory_order_relaxed);
}

void defaultErrorHandler(const std::string& text) {
  std::string line = text + "\n";
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
  syslog(LOG_ERR | LOG_USER, "%s", text.c_str());
}

}  // namespace

bool LKLog::create(const Options& options) {
  bool created = false;
  createState(options, &created);
  return created;
}

dispatch::QueuePtr LKLog::loggingQueue() { return state().queue; }

void LKLog::addLogger(LKLoggerPtr logger, std::uint64_t level) {
  if (!logger) return;
  State& st = state();
  {
    std::lock_guard lock(st.addMutex);
    st.pendingAdds.push_back(level);
    st.mask.fetch_or(level, std::memory_order_relaxed);
  }
  submit([logger = std::move(logger), level] {
    State& s = state();
    dispatch::QueuePtr queue = logger->loggerQueue();
    if (!queue) queue = dispatch::Queue::createSerial(logger->loggerName());
    {
      std::lock_guard lock(s.addMutex);
      auto it = std::find(s.pendingAdds.begin(), s.pendingAdds.end(), level);
      if (it != s.pendingAdds.end()) s.pendingAdds.erase(it);
      s.nodes.push_back(Node{logger, queue, level});
    }
    queue->async([logger] { guarded(logger, "didAddLogger", [&] { logger->didAddLogger(); }); });
  });
}

void LKLog::removeLogger(const LKLoggerPtr& logger) {
  if (!logger) return;
  submit([logger] {
    State& s = state();
    auto it = std::find_if(s.nodes.begin(), s.nodes.end(),
                           [&](const Node& n) { return n.logger == logger; });
    if (it == s.nodes.end()) return;
    s.removals.async(it->queue, [logger] {
      guarded(logger, "willRemoveLogger", [&] { logger->willRemoveLogger(); });
    });
    s.nodes.erase(it);
    recomputeMask();
  });
}

void LKLog::removeAllLoggers() {
  submit([] {
    State& s = state();
    for (const Node& n : s.nodes) {
      LKLoggerPtr logger = n.logger;
      s.removals.async(n.queue, [logger] {
        guarded(logger, "willRemoveLogger", [&] { logger->willRemoveLogger(); });
      });
    }
    s.nodes.clear();
    recomputeMask();
  });
}

std::vector<LKLoggerPtr> LKLog::allLoggers() {
  std::vector<LKLoggerPtr> result;
  auto collect = [&] {
    for (const Node& n : state().nodes) result.push_back(n.logger);
  };
  if (onLoggingQueue()) {
    collect();
  } else if (tInsideLogging > 0) {
    // The logging queue may be waiting for this very thread.
    reportError("LKLog: allLoggers called from inside a logger; answered with no loggers");
  } else {
    state().queue->sync([&] {
      drainHere();
      collect();
    });
  }
  return result;
}

void LKLog::logv(bool asynchronous, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                 LKSourceText file, LKSourceText function, std::uint64_t line, platform::Value tag,
                 const char* format, std::initializer_list<platform::FormatArg> args) {
  if (format == nullptr || !wantsFlag(flag)) return;
  std::string text;
  try {
    text = platform::formatArgs(format, args);
  } catch (const std::exception& e) {
    reportError(platform::format("LKLog: cannot format \"%s\": %s", format, e.what()));
    return;
  }
  logMessage(asynchronous, std::move(text), level, flag, context, file, function, line,
             std::move(tag));
}

namespace {

// Queues a record of `message` for a call that holds a place in the queue.
void queueText(bool asynchronous, std::string&& message, std::uint64_t level, std::uint64_t flag,
               std::int64_t context, LKSourceText file, LKSourceText function, std::uint64_t line,
               platform::Value&& tag) {
  using detail::RecordStore;
  LKLogMessage* record = RecordStore::take();
  // Short text is copied into the record's own buffer, so the text's memory
  // is freed on this thread and the record's is reused.
  try {
    if (message.size() > RecordStore::kKeptTextCapacity) {
      RecordStore::text(record) = std::move(message);
    } else {
      RecordStore::text(record).assign(message);
    }
  } catch (...) {
    RecordStore::giveBack(record);
    returnPermit();
    LKLog::reportError("LKLog: out of memory; a record was lost");
    return;
  }
  queueAccepted(RecordStore::publish(record, level, flag, context, file.view(), function.view(),
                                     line, std::move(tag)),
                record, asynchronous);
}

}  // namespace

// The dispatcher's own records take their place in the queue before they
// are made: that contended step then runs before the record's memory is
// written rather than waiting for those writes.
bool LKLog::logPlain(bool asynchronous, std::uint64_t level, std::uint64_t flag,
                     std::int64_t context, LKSourceText file, LKSourceText function,
                     std::uint64_t line, platform::Value& tag, const char* format,
                     const detail::LogArg* args, std::size_t count) {
  using detail::RecordStore;
  if (!acquirePermit()) return true;  // dropped and counted
  LKLogMessage* record = RecordStore::take();
  bool written = false;
  try {
    written = detail::appendPlainFormat(RecordStore::text(record), format, args, count);
  } catch (...) {
    // Out of memory: platform::format gets its chance and reports it.
  }
  if (!written) {
    RecordStore::giveBack(record);
    return false;  // the place is kept for logvHoldingPlace
  }
  queueAccepted(RecordStore::publish(record, level, flag, context, file.view(), function.view(),
                                     line, std::move(tag)),
                record, asynchronous);
  return true;
}

void LKLog::logvHoldingPlace(bool asynchronous, std::uint64_t level, std::uint64_t flag,
                             std::int64_t context, LKSourceText file, LKSourceText function,
                             std::uint64_t line, platform::Value tag, const char* format,
                             std::initializer_list<platform::FormatArg> args) {
  std::string text;
  try {
    text = platform::formatArgs(format, args);
  } catch (const std::exception& e) {
    returnPermit();
    reportError(platform::format("LKLog: cannot format \"%s\": %s", format, e.what()));
    return;
  }
  queueText(asynchronous, std::move(text), level, flag, context, file, function, line,
            std::move(tag));
}

void LKLog::logMessage(bool asynchronous, std::string message, std::uint64_t level,
                       std::uint64_t flag, std::int64_t context, LKSourceText file,
                       LKSourceText function, std::uint64_t line, platform::Value tag) {
  if (!acquirePermit()) return;  // dropped and counted
  queueText(asynchronous, std::move(message), level, flag, context, file, function, line,
            std::move(tag));
}

void LKLog::log(bool asynchronous, LKLogMessagePtr message) {
  queueLogMessage(std::move(message), asynchronous);
}

void LKLog::queueLogMessage(LKLogMessagePtr message, bool asynchronous) {
  if (!message) return;
  if (!acquirePermit()) return;
  queueAccepted(std::move(message), nullptr, asynchronous);
}

void LKLog::flushLog() {
  State& s = state();
  auto work = [&s] {
    drainHere();
    dispatch::Group group;
    for (const Node& n : s.nodes) {
      if (!n.logger->implementsFlush()) continue;
      LKLoggerPtr logger = n.logger;
      group.async(n.queue, [logger] { guarded(logger, "flush", [&] { logger->flush(); }); });
    }
    group.wait();
    s.removals.wait();
  };
  if (onLoggingQueue()) {
    work();
    return;
  }
  if (tInsideLogging > 0) {
    // The logging queue may be waiting for this very thread: a flush from
    // inside a logger cannot wait for it.
    reportError("LKLog: flushLog called from inside a logger; ignored");
    return;
  }
  s.queue->sync(work);
}

bool LKLog::wantsFlag(std::uint64_t flag) {
  return (state().mask.load(std::memory_order_relaxed) & flag) != 0;
}

void LKLog::setOverflowPolicy(LKLogOverflowPolicy policy) { state().policy.store(policy); }
LKLogOverflowPolicy LKLog::overflowPolicy() { return state().policy.load(); }

LKLogStatistics LKLog::statistics() {
  State& s = state();
  return LKLogStatistics{s.places.load() >> State::kPlaceBits, s.delivered.load(), s.dropped.load(),
                         s.blocked.load()};
}

void LKLog::setErrorHandler(ErrorHandler handler) {
  State& s = state();
  std::lock_guard lock(s.errorMutex);
  s.errorHandler = std::move(handler);
  s.reportsInWindow = 0;
  s.suppressed = 0;
}

void LKLog::reportError(const std::string& text, bool rateLimited) {
  State& s = state();
  ErrorHandler handler;
  std::string line;
  {
    std::lock_guard lock(s.errorMutex);
    auto now = std::chrono::steady_clock::now();
    if (now - s.windowStart >= std::chrono::minutes(1)) {
      s.windowStart = now;
      s.reportsInWindow = 0;
    }
    if (rateLimited && s.reportsInWindow >= 10) {
      ++s.suppressed;
      return;
    }
    line = text;
    if (rateLimited) ++s.reportsInWindow;
    if (rateLimited && s.suppressed) {
      line += platform::format(" (%llu earlier reports held back)", s.suppressed);
      s.suppressed = 0;
    }
    handler = s.errorHandler;
  }
  try {
    if (handler) {
      handler(line);
    } else {
      defaultErrorHandler(line);
    }
  } catch (...) {
    // A failing handler must not take the caller down.
  }
}

void LKLog::registerClass(std::string name, std::function<std::uint64_t()> getLevel,
                          std::function<void(std::uint64_t)> setLevel) {
  State& s = state();
  std::lock_guard lock(s.classMutex);
  s.classes[std::move(name)] = ClassLevel{std::move(getLevel), std::move(setLevel)};
}

bool LKLog::isRegisteredClass(std::string_view name) {
  State& s = state();
  std::lock_guard lock(s.classMutex);
  auto it = s.classes.find(name);
  return it != s.classes.end() && it->second.get && it->second.set;
}

std::vector<std::string> LKLog::registeredClassNames() {
  State& s = state();
  std::lock_guard lock(s.classMutex);
  std::vector<std::string> names;
  for (const auto& [name, c] : s.classes) {
    if (c.get && c.set) names.push_back(name);
  }
  return names;
}

std::uint64_t LKLog::levelForClassWithName(std::string_view name) {
  std::function<std::uint64_t()> get;
  {
    State& s = state();
    std::lock_guard lock(s.classMutex);
    auto it = s.classes.find(name);
    if (it == s.classes.end() || !it->second.set) return LKLogLevelAll;
    get = it->second.get;
  }
  return get ? get() : LKLogLevelAll;
}

void LKLog::setLevelForClassWithName(std::uint64_t level, std::string_view name) {
  std::function<void(std::uint64_t)> set;
  {
    State& s = state();
    std::lock_guard lock(s.classMutex);
    auto it = s.classes.find(name);
    if (it == s.classes.end() || !it->second.get) return;
    set = it->second.set;
  }
  if (set) set(level);
}

bool lkIsOnLoggingQueue() { return onLoggingQueue(); }
bool lkIsInsideLogging() { return tInsideLogging > 0; }
void lkSubmitToLoggingQueue(dispatch::Block block) { submit(std::move(block)); }
void lkDrainPendingHere() { drainHere(); }

}  // namespace logging
