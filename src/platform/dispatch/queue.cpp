// Queues, groups and semaphores. A serial queue keeps its own FIFO of
// blocks; when it has work it puts one "drain" job on its target (another
// serial queue, or the worker pool for global and untargeted queues). The
// thread that runs the drain holds the queue: `sync` takes the same hold on
// the caller's thread, waiting for it in the FIFO like any block.
//
// A serial queue takes blocks without a lock: submitters push onto an
// atomic stack (the inbox), and the holder takes the whole stack at once and
// turns it into its FIFO of pending blocks. One atomic word holds the hold
// bit and the suspend count. Whoever pushes onto an empty inbox tries to
// take the hold for a new drain; a holder that finds no work lets go and
// then looks at the inbox once more, so a block pushed meanwhile is never
// stranded. The main queue and concurrent queues keep a locked deque.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/internal.h"
#include "platform/dispatch/reactor.h"
#include "platform/dispatch/thread_crash_info.h"
#include "platform/dispatch/worker_pool.h"

namespace platform::dispatch {

using detail::BlockingScope;
using detail::WorkerPool;

namespace {

// Hands the hold of a serial queue (or the end of a block) to a waiting thread.
struct Handoff {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  void grant() {
    std::lock_guard lock(mutex);
    done = true;
    cv.notify_all();
  }
  void wait() {
    BlockingScope blocking;
    std::unique_lock lock(mutex);
    cv.wait(lock, [this] { return done; });
  }
};

constexpr int kDrainBatch = 64;
// How long a reactor thread drains a kept queue before the pool takes over.
constexpr auto kKeptDrainBudget = std::chrono::microseconds(100);

// Where the next keepable drain goes, while a DeferredDrain is armed here.
thread_local std::shared_ptr<void>* tKeepDrainIn = nullptr;
// The drain kept by a kept drain (see DeferredDrain::run): it is shared with
// the standby thread and with the waits of the draining thread, which hand
// it to the pool when that drain blocks.
std::mutex& gChainMutex = *new std::mutex;
std::shared_ptr<void>& gChained = *new std::shared_ptr<void>;
thread_local bool tChaining = false;  // this thread drains with gChained armed

// Never destroyed: pool threads may still post to the main queue while the
// process runs its exit handlers, and a destroyed waker would be called then.
std::mutex& gWakerMutex = *new std::mutex;
std::function<void()>& gMainWaker = *new std::function<void()>;

}  // namespace

class QueueImpl : public Queue {
 public:
  enum class Kind { Serial, Concurrent, Global, Main };
  struct Item {
    Block block;
    Handoff* waiter = nullptr;
  };
  // A block (or a thread waiting in sync) in a serial queue's inbox or FIFO.
  struct Node {
    Node* next = nullptr;  // written before the node is published
    Block block;
    Handoff* waiter = nullptr;
  };

  QueueImpl(std::string label, Kind kind, QueuePtr target, int priority)
      : Queue(std::move(label), kind == Kind::Serial || kind == Kind::Main, std::move(target)),
        kind_(kind),
        priority_(priority) {}
  ~QueueImpl() override {
    // Work of a queue that died while suspended never runs.
    freeList(inbox_.load(std::memory_order_acquire));
    freeList(pendingHead_);
  }

  static QueueImpl* of(const Queue* q) { return static_cast<QueueImpl*>(const_cast<Queue*>(q)); }
  QueueImpl* target() const { return of(target_.get()); }
  Kind kind() const { return kind_; }
  bool holdsBlocks() const { return kind_ == Kind::Serial || kind_ == Kind::Main; }
  std::shared_ptr<QueueImpl> self() {
    return std::static_pointer_cast<QueueImpl>(shared_from_this());
  }

  void submit(Block block);
  // Runs blocks until the queue is empty or suspended, or a sync caller
  // takes it; past `until` (or a batch, when other work waits) the rest is
  // handed on as a new drain. True when it ran out of time.
  bool drain(Clock::time_point until = Clock::time_point::max());
  // A drain kept by a reactor thread ran out of its time: the queue's work
  // comes in long runs, better run beside the reactor thread than on it.
  void keptTooLong() { longRuns_.store(true, std::memory_order_relaxed); }
  // Hands the held queue on to its target as a drain.
  void handOff(std::shared_ptr<QueueImpl> held) { scheduleDrain(std::move(held)); }
  bool drainMain();
  bool hasWork();
  void acquire();
  void release();
  void suspend();
  void resume();
  void setSpecific(const void* key, std::shared_ptr<void> value);
  std::shared_ptr<void> findSpecific(const void* key);

 private:
  // Puts a drain of this queue on its target; the caller holds the queue.
  void scheduleDrain(std::shared_ptr<QueueImpl> held = nullptr);
  void runBlock(Block& block);
  // Serial queues: pushes `node` onto the inbox. When it went onto an empty
  // inbox and the queue was idle, takes the hold and returns a reference
  // for the drain to schedule; else nullptr.
  std::shared_ptr<QueueImpl> push(Node* node);
  // Moves the inbox, oldest first, to the FIFO; the caller holds the queue.
  void takeInbox();
  // The holder lets the queue go idle (or stay suspended). True when work
  // that may run came in meanwhile and the hold was taken back.
  bool releaseHold();
  bool suspendedNow() const { return state_.load(std::memory_order_relaxed) >= kSuspendUnit; }
  static void freeList(Node* n) {
    while (n) delete std::exchange(n, n->next);
  }
  // A serial queue whose drains run on the worker pool.
  bool keepable() const {
    return kind_ == Kind::Serial && (!target_ || of(target_.get())->kind_ == Kind::Global) &&
           !longRuns_.load(std::memory_order_relaxed);
  }

  const Kind kind_;
  const int priority_;
  // Main and concurrent queues.
  std::mutex mutex_;
  std::deque<Item> items_;
  bool scheduled_ = false;  // a drain is queued or running, or a thread holds the queue
  int suspendCount_ = 0;
  // Serial queues. state_: kHeld while a drain is queued or running or a
  // thread holds the queue, plus kSuspendUnit per suspension.
  static constexpr std::uint32_t kHeld = 1;
  static constexpr std::uint32_t kSuspendUnit = 2;
  std::atomic<std::uint32_t> state_{0};
  // Submitters write this line on every push; it stays apart from the rest.
  // (Padding, not alignas: an over-aligned queue made main-queue round
  // trips slower, measured.)
  char padBefore_[64];
  std::atomic<Node*> inbox_{nullptr};  // newest first
  char padAfter_[64];
  // The FIFO taken from the inbox; only the holder touches it.
  Node* pendingHead_ = nullptr;
  Node* pendingTail_ = nullptr;
  // The last holder let go with blocks left in the FIFO (while suspended).
  std::atomic<bool> leftovers_{false};
  // Set when a kept drain ran out of time, cleared by a drain that ends
  // within that time: drains are then not kept.
  std::atomic<bool> longRuns_{false};
  std::mutex specificMutex_;
  std::vector<std::pair<const void*, std::shared_ptr<void>>> specifics_;
};

namespace {

// The queues the calling thread is running, innermost last.
thread_local std::vector<QueueImpl*> tFrames;

// Each frame change also tells crash capture which queue the thread runs.
struct FrameScope {
  explicit FrameScope(QueueImpl* q) {
    tFrames.push_back(q);
    setCurrentThreadQueueLabel(q->label().c_str());
  }
  ~FrameScope() {
    tFrames.pop_back();
    setCurrentThreadQueueLabel(tFrames.empty() ? nullptr : tFrames.back()->label().c_str());
  }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;
};

QueueImpl* mainImpl();

// The innermost queue of this thread; outside any block the main thread
// counts as running the main queue (it is that queue's thread).
QueueImpl* currentImpl() {
  if (!tFrames.empty()) return tFrames.back();
  return detail::isMainThread() ? mainImpl() : nullptr;
}

// True when the calling thread runs `q`, in any frame, directly or through
// a queue that targets it.
bool heldByThisThread(const QueueImpl* q) {
  for (QueueImpl* f : tFrames) {
    for (QueueImpl* x = f; x; x = x->target()) {
      if (x == q) return true;
    }
  }
  return false;
}

}  // namespace

void QueueImpl::runBlock(Block& block) {
  // A drain of this queue already set the frame up.
  if (!tFrames.empty() && tFrames.back() == this) {
    block();
    block = nullptr;
    return;
  }
  FrameScope frame(this);
  block();
  block = nullptr;  // captured state dies on this thread, right after the block
}

void QueueImpl::submit(Block block) {
  if (kind_ == Kind::Global) {
    WorkerPool::instance().submit(priority_,
                                  [this, b = std::move(block)]() mutable { runBlock(b); });
    return;
  }
  if (kind_ == Kind::Serial) {
    auto held = push(new Node{nullptr, std::move(block), nullptr});
    if (!held) return;
    if (tKeepDrainIn && keepable()) {
      // The reactor thread drains it after its watchers (or its kept drain).
      if (tKeepDrainIn == &gChained) {
        std::lock_guard lock(gChainMutex);
        gChained = std::move(held);
      } else {
        *tKeepDrainIn = std::move(held);
      }
      tKeepDrainIn = nullptr;
      return;
    }
    scheduleDrain(std::move(held));
    return;
  }
  // Once the lock is released, the block may run (on a drain already under
  // way) and drop the last reference to this queue: nothing below the lock
  // reads the queue unless this call scheduled the drain.
  const bool concurrent = kind_ == Kind::Concurrent;
  bool schedule = false;
  {
    std::lock_guard lock(mutex_);
    if (concurrent) {
      if (suspendCount_ > 0) {
        items_.push_back({std::move(block), nullptr});
        return;
      }
    } else {
      items_.push_back({std::move(block), nullptr});
      if (!scheduled_ && suspendCount_ == 0) schedule = scheduled_ = true;
    }
  }
  if (concurrent) {
    WorkerPool::instance().submit(priority_,
                                  [q = self(), b = std::move(block)]() mutable { q->runBlock(b); });
  } else if (schedule) {
    scheduleDrain();
  }
}

std::shared_ptr<QueueImpl> QueueImpl::push(Node* node) {
  // Once the node is in, a drain under way may run it and drop the last
  // reference to this queue: a push onto an empty inbox, the one that reads
  // the queue afterwards, holds a reference taken before.
  std::shared_ptr<QueueImpl> keep;
  Node* old = inbox_.load(std::memory_order_relaxed);
  for (;;) {
    if (!old && !keep) keep = self();
    node->next = old;
    if (inbox_.compare_exchange_weak(old, node, std::memory_order_seq_cst,
                                     std::memory_order_relaxed)) {
      break;
    }
  }
  // A non-empty inbox: whoever pushed its first node (or the holder, which
  // looks at the inbox before it lets go, or resume) sees to the drain.
  if (old) return nullptr;
  // Held (the holder looks at the inbox before it lets go) or suspended
  // (resume does): a load spares the write to a line the holder reads.
  std::uint32_t idle = state_.load(std::memory_order_seq_cst);
  if (idle != 0 || !state_.compare_exchange_strong(idle, kHeld, std::memory_order_seq_cst)) {
    return nullptr;
  }
  return keep;
}

void QueueImpl::takeInbox() {
  Node* n = inbox_.exchange(nullptr, std::memory_order_acquire);
  if (!n) return;
  // The inbox is newest first: reverse it onto the end of the FIFO.
  Node* tail = n;
  Node* head = nullptr;
  while (n) {
    Node* next = n->next;
    n->next = head;
    head = n;
    n = next;
  }
  if (pendingTail_) {
    pendingTail_->next = head;
  } else {
    pendingHead_ = head;
  }
  pendingTail_ = tail;
}

bool QueueImpl::releaseHold() {
  const bool left = pendingHead_ != nullptr;
  leftovers_.store(left, std::memory_order_relaxed);
  const std::uint32_t now = state_.fetch_and(~kHeld, std::memory_order_seq_cst) & ~kHeld;
  if (now != 0) return false;  // suspended: resume looks for the work
  // A block pushed after the holder last looked found the queue held and
  // left the drain to it: take the hold back for it (unless another thread
  // just did).
  if (!left && !inbox_.load(std::memory_order_seq_cst)) return false;
  std::uint32_t idle = 0;
  return state_.compare_exchange_strong(idle, kHeld, std::memory_order_seq_cst);
}

// Called with the queue held (scheduled_ set) by the caller.
void QueueImpl::scheduleDrain(std::shared_ptr<QueueImpl> held) {
  if (kind_ == Kind::Main) {
    std::function<void()> waker;
    {
      std::lock_guard lock(gWakerMutex);
      waker = gMainWaker;
    }
    if (waker) waker();
    return;
  }
  if (!held) held = self();
  QueueImpl* t = target();
  if (!t || t->kind_ == Kind::Global) {
    // Straight onto the pool: a drain sets up its own frame.
    const int priority = t ? t->priority_ : static_cast<int>(Priority::Default);
    WorkerPool::instance().submit(priority, [q = std::move(held)] { q->drain(); });
    return;
  }
  t->submit([q = std::move(held)] { q->drain(); });
}

bool QueueImpl::drain(Clock::time_point until) {
  const bool timed = until != Clock::time_point::max();
  // A drain on the pool that ends within a kept drain's time says the
  // queue's work comes in short runs again.
  const auto shortUntil = timed || !longRuns_.load(std::memory_order_relaxed)
                              ? Clock::time_point::min()
                              : Clock::now() + kKeptDrainBudget;
  auto endShort = [&] {
    if (shortUntil != Clock::time_point::min() && Clock::now() < shortUntil) {
      longRuns_.store(false, std::memory_order_relaxed);
    }
    return false;
  };
  // The thread counts as running this queue for the whole drain (blocks see
  // it as the current queue either way); the frame is set up once.
  FrameScope frame(this);
  for (int n = 0;; ++n) {
    if (!pendingHead_) takeInbox();
    // A block may have suspended the queue: the rest waits in it.
    if (!pendingHead_ || suspendedNow()) {
      if (releaseHold()) continue;
      return endShort();
    }
    if (timed && n > 0 && Clock::now() >= until) break;  // still held
    if (n >= kDrainBatch) {
      // Let other work of the target run; stay on this thread when none waits.
      if (target() || WorkerPool::instance().hasPending()) break;  // still held
      n = 0;
    }
    Node* node = pendingHead_;
    pendingHead_ = node->next;
    if (!pendingHead_) pendingTail_ = nullptr;
    if (node->waiter) {
      Handoff* waiter = node->waiter;
      delete node;
      waiter->grant();  // the hold passes to the thread in sync
      return endShort();
    }
    runBlock(node->block);
    delete node;
  }
  scheduleDrain();
  return true;
}

bool QueueImpl::drainMain() {
  std::size_t budget;
  {
    std::lock_guard lock(mutex_);
    budget = items_.size();
  }
  bool ran = false;
  for (; budget > 0; --budget) {
    Item item;
    {
      std::lock_guard lock(mutex_);
      if (suspendCount_ > 0 || items_.empty()) {
        scheduled_ = false;
        return ran;
      }
      item = std::move(items_.front());
      items_.pop_front();
    }
    if (item.waiter) {
      item.waiter->grant();
      return true;
    }
    runBlock(item.block);
    ran = true;
  }
  std::lock_guard lock(mutex_);
  if (items_.empty() || suspendCount_ > 0) scheduled_ = false;
  return ran;
}

bool QueueImpl::hasWork() {
  std::lock_guard lock(mutex_);
  return suspendCount_ == 0 && !items_.empty();
}

void QueueImpl::acquire() {
  Handoff handoff;
  std::uint32_t idle = 0;
  if (state_.compare_exchange_strong(idle, kHeld, std::memory_order_seq_cst)) {
    if (!pendingHead_ && !inbox_.load(std::memory_order_acquire)) return;  // free: hold it
    // Blocks wait: queue up behind them, with the hold passed to a drain.
    Node* node = new Node{inbox_.load(std::memory_order_relaxed), nullptr, &handoff};
    while (!inbox_.compare_exchange_weak(node->next, node, std::memory_order_release,
                                         std::memory_order_relaxed)) {
    }
    scheduleDrain();
  } else if (auto held = push(new Node{nullptr, nullptr, &handoff})) {
    scheduleDrain(std::move(held));
  }
  handoff.wait();
}

void QueueImpl::release() {
  if (!suspendedNow()) {
    if (!pendingHead_) takeInbox();
    if (pendingHead_) {
      scheduleDrain();
      return;
    }
  }
  if (releaseHold()) scheduleDrain();
}

void QueueImpl::suspend() {
  if (kind_ == Kind::Global) return;
  if (kind_ == Kind::Serial) {
    state_.fetch_add(kSuspendUnit, std::memory_order_seq_cst);
    return;
  }
  std::lock_guard lock(mutex_);
  ++suspendCount_;
}

[[noreturn]] static void dieNotSuspended(const std::string& label) {
  std::fprintf(stderr, "dispatch: resume of queue \"%s\" that is not suspended\n", label.c_str());
  std::abort();
}

void QueueImpl::resume() {
  if (kind_ == Kind::Global) return;
  if (kind_ == Kind::Serial) {
    const std::uint32_t before = state_.fetch_sub(kSuspendUnit, std::memory_order_seq_cst);
    if (before < kSuspendUnit) dieNotSuspended(label_);
    if (before - kSuspendUnit != 0) return;  // still suspended, or held: the holder runs it
    if (!inbox_.load(std::memory_order_seq_cst) && !leftovers_.load(std::memory_order_seq_cst)) {
      return;
    }
    std::uint32_t idle = 0;
    if (state_.compare_exchange_strong(idle, kHeld, std::memory_order_seq_cst)) scheduleDrain();
    return;
  }
  std::deque<Item> released;
  bool schedule = false;
  {
    std::lock_guard lock(mutex_);
    if (suspendCount_ == 0) dieNotSuspended(label_);
    if (--suspendCount_ > 0) return;
    if (kind_ == Kind::Concurrent) {
      released.swap(items_);
    } else if (!scheduled_ && !items_.empty()) {
      schedule = scheduled_ = true;
    }
  }
  for (auto& item : released) submit(std::move(item.block));
  if (schedule) scheduleDrain();
}

void QueueImpl::setSpecific(const void* key, std::shared_ptr<void> value) {
  std::lock_guard lock(specificMutex_);
  std::erase_if(specifics_, [key](const auto& e) { return e.first == key; });
  if (value) specifics_.emplace_back(key, std::move(value));
}

std::shared_ptr<void> QueueImpl::findSpecific(const void* key) {
  std::lock_guard lock(specificMutex_);
  for (auto& [k, v] : specifics_) {
    if (k == key) return v;
  }
  return nullptr;
}

namespace {

QueueImpl* mainImpl() {
  static QueueImpl* const q = QueueImpl::of(Queue::main().get());  // never destroyed
  return q;
}

[[noreturn]] void dieDeadlock(const Queue& target, const Queue& held) {
  std::fprintf(stderr,
               "dispatch: deadlock: sync onto queue \"%s\" from a thread that is already running "
               "queue \"%s\"\n",
               target.label().c_str(), held.label().c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace

// ---- Queue ----

Queue::Queue(std::string label, bool serial, QueuePtr target)
    : label_(std::move(label)), serial_(serial), target_(std::move(target)) {}

Queue::~Queue() = default;

QueuePtr Queue::createSerial(std::string label, QueuePtr target) {
  return std::make_shared<QueueImpl>(std::move(label), QueueImpl::Kind::Serial, std::move(target),
                                     static_cast<int>(Priority::Default));
}

QueuePtr Queue::createConcurrent(std::string label) {
  return std::make_shared<QueueImpl>(std::move(label), QueueImpl::Kind::Concurrent,
                                     global(Priority::Default),
                                     static_cast<int>(Priority::Default));
}

QueuePtr Queue::main() {
  // Never destroyed: blocks may still be posted while the process exits.
  static QueuePtr* q = new QueuePtr(
      std::make_shared<QueueImpl>("com.apple.main-thread", QueueImpl::Kind::Main, nullptr, 0));
  return *q;
}

QueuePtr Queue::global(Priority priority) {
  static QueuePtr* queues = [] {
    static const char* const labels[] = {"dispatch.global.high", "dispatch.global.default",
                                         "dispatch.global.low", "dispatch.global.background"};
    auto* qs = new QueuePtr[4];
    for (int i = 0; i < 4; ++i) {
      qs[i] = std::make_shared<QueueImpl>(labels[i], QueueImpl::Kind::Global, nullptr, i);
    }
    return qs;
  }();
  int index = static_cast<int>(priority);
  if (index < 0 || index > 3) index = 1;
  return queues[index];
}

QueuePtr Queue::current() {
  QueueImpl* q = currentImpl();
  return q ? q->shared_from_this() : nullptr;
}

std::string Queue::currentLabel() {
  QueueImpl* q = currentImpl();
  return q ? q->label() : std::string();
}

bool Queue::isMain() const { return QueueImpl::of(this)->kind() == QueueImpl::Kind::Main; }

bool Queue::isCurrent() const {
  for (QueueImpl* q = currentImpl(); q; q = q->target()) {
    if (q == this) return true;
  }
  return false;
}

void Queue::async(Block block) { QueueImpl::of(this)->submit(std::move(block)); }

void Queue::sync(const Block& block) {
  QueueImpl* self = QueueImpl::of(this);
  // The serial queues this block must hold: this one and its serial targets.
  std::vector<QueueImpl*> chain;
  bool onMain = false;
  for (QueueImpl* q = self; q && q->holdsBlocks(); q = q->target()) {
    if (heldByThisThread(q)) dieDeadlock(*self, *q);
    chain.push_back(q);
    if (q->kind() == QueueImpl::Kind::Main) onMain = true;
  }
  if (chain.empty()) {  // concurrent: just run here
    FrameScope frame(self);
    block();
    return;
  }
  if (onMain) {
    if (detail::isMainThread()) {
      // The main thread is not draining the main queue right now (checked
      // above), so nothing else of it can run: run at once.
      FrameScope frame(self);
      block();
      return;
    }
    // Main-queue blocks run on the main thread: post and wait.
    Handoff done;
    self->submit([&] {
      block();
      done.grant();
    });
    done.wait();
    return;
  }
  for (QueueImpl* q : chain) q->acquire();
  struct Release {
    std::vector<QueueImpl*>& chain;
    ~Release() {
      for (QueueImpl* q : chain) q->release();
    }
  } release{chain};
  FrameScope frame(self);
  block();
}

void Queue::after(Duration delay, Block block) {
  constexpr Duration kFar = std::chrono::hours(24 * 365 * 100);
  if (delay < Duration::zero()) delay = Duration::zero();
  if (delay > kFar) delay = kFar;
  detail::Reactor::instance().addDeadline(
      Clock::now() + delay,
      [q = shared_from_this(), b = std::move(block)]() mutable { q->async(std::move(b)); });
}

void Queue::suspend() { QueueImpl::of(this)->suspend(); }
void Queue::resume() { QueueImpl::of(this)->resume(); }

void Queue::setSpecific(const void* key, std::shared_ptr<void> value) {
  QueueImpl::of(this)->setSpecific(key, std::move(value));
}

std::shared_ptr<void> Queue::getSpecific(const void* key) const {
  for (QueueImpl* q = QueueImpl::of(this); q; q = q->target()) {
    if (auto v = q->findSpecific(key)) return v;
  }
  return nullptr;
}

std::shared_ptr<void> Queue::currentSpecific(const void* key) {
  QueueImpl* q = currentImpl();
  return q ? q->getSpecific(key) : nullptr;
}

// ---- main queue glue for the run loop ----

namespace detail {

void setMainQueueWaker(std::function<void()> waker) {
  std::lock_guard lock(gWakerMutex);
  gMainWaker = std::move(waker);
}

bool drainMainQueue() { return mainImpl()->drainMain(); }

bool mainQueueHasWork() { return mainImpl()->hasWork(); }

DeferredDrain::DeferredDrain(bool enabled) : enabled_(enabled) {
  if (enabled_) tKeepDrainIn = &kept_;
}

DeferredDrain::~DeferredDrain() {
  stopDeferring();
  if (kept_) {
    auto q = std::static_pointer_cast<QueueImpl>(std::move(kept_));
    q->handOff(q);
  }
}

void DeferredDrain::stopDeferring() {
  if (enabled_ && tKeepDrainIn == &kept_) tKeepDrainIn = nullptr;
  enabled_ = false;
}

void DeferredDrain::run() {
  stopDeferring();
  if (!kept_) return;
  // The kept drain may hand on to another idle serial queue (a socket's
  // queue to its delegate's): that drain is kept too and runs next on this
  // thread, within the same time, so the hand-on wakes no worker. Should a
  // block wait meanwhile (for that very queue, maybe), the wait or the
  // standby thread hands the second drain to the pool.
  const auto until = Clock::now() + kKeptDrainBudget;
  std::shared_ptr<void> next = std::move(kept_);
  kept_ = nullptr;
  while (next) {
    auto q = std::static_pointer_cast<QueueImpl>(std::move(next));
    tKeepDrainIn = &gChained;
    tChaining = true;
    const bool late = q->drain(until);
    tChaining = false;
    tKeepDrainIn = nullptr;
    {
      std::lock_guard lock(gChainMutex);
      next = std::move(gChained);
      gChained = nullptr;
    }
    if (late) q->keptTooLong();
    if (late || Clock::now() >= until) break;
  }
  if (next) {
    auto q = std::static_pointer_cast<QueueImpl>(std::move(next));
    q->handOff(q);
  }
}

void handOffChainedDrain() {
  std::shared_ptr<void> chained;
  {
    std::lock_guard lock(gChainMutex);
    chained = std::move(gChained);
    gChained = nullptr;
  }
  if (chained) {
    auto q = std::static_pointer_cast<QueueImpl>(std::move(chained));
    q->handOff(q);
  }
}

void willWait() {
  if (!tChaining) return;
  // Nothing more is kept: what this thread submits from here on is
  // handed on as usual.
  tKeepDrainIn = nullptr;
  handOffChainedDrain();
}

}  // namespace detail

// ---- Group ----

struct Group::State {
  std::mutex mutex;
  std::condition_variable cv;
  long count = 0;
  std::vector<std::pair<QueuePtr, Block>> notifies;

  void leave() {
    std::vector<std::pair<QueuePtr, Block>> due;
    {
      std::lock_guard lock(mutex);
      if (count == 0) {
        std::fprintf(stderr, "dispatch: group left more often than entered\n");
        std::abort();
      }
      if (--count > 0) return;
      due.swap(notifies);
      cv.notify_all();
    }
    for (auto& [q, b] : due) q->async(std::move(b));
  }
};

Group::Group() : state_(std::make_shared<State>()) {}
Group::~Group() = default;

void Group::enter() {
  std::lock_guard lock(state_->mutex);
  ++state_->count;
}

void Group::leave() { state_->leave(); }

void Group::async(const QueuePtr& queue, Block block) {
  enter();
  queue->async([state = state_, b = std::move(block)]() mutable {
    b();
    b = nullptr;
    state->leave();
  });
}

void Group::notify(const QueuePtr& queue, Block block) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->count > 0) {
      state_->notifies.emplace_back(queue, std::move(block));
      return;
    }
  }
  queue->async(std::move(block));
}

bool Group::wait(std::optional<Duration> timeout) {
  BlockingScope blocking;
  std::unique_lock lock(state_->mutex);
  auto empty = [this] { return state_->count == 0; };
  if (!timeout) {
    state_->cv.wait(lock, empty);
    return true;
  }
  return state_->cv.wait_until(lock, Clock::now() + *timeout, empty);
}

// ---- Semaphore ----

Semaphore::Semaphore(long value) : value_(value) {}

void Semaphore::signal() {
  std::lock_guard lock(mutex_);
  ++value_;
  cv_.notify_one();
}

bool Semaphore::wait(std::optional<Duration> timeout) {
  std::unique_lock lock(mutex_);
  auto available = [this] { return value_ > 0; };
  if (!available()) {
    BlockingScope blocking;
    if (!timeout) {
      cv_.wait(lock, available);
    } else if (!cv_.wait_until(lock, Clock::now() + *timeout, available)) {
      return false;
    }
  }
  --value_;
  return true;
}

}  // namespace platform::dispatch
