#include "platform/system/operation_queue.h"

#include <algorithm>
#include <cstdio>

#include "platform/foundation/exception.h"

namespace platform {
namespace {

thread_local OperationQueue* tCurrentQueue = nullptr;

class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(OperationQueue* queue) : previous_(tCurrentQueue) {
    tCurrentQueue = queue;
  }
  ~CurrentQueueScope() { tCurrentQueue = previous_; }

 private:
  OperationQueue* previous_;
};

std::string defaultName(const void* queue) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "NSOperationQueue %p", queue);
  return buffer;
}

}  // namespace

OperationQueue::Ptr OperationQueue::create(std::string name) {
  auto queue = std::make_shared<OperationQueue>(
      Passkey{}, std::move(name), dispatch::Queue::global(), kDefaultMaxConcurrentOperationCount);
  if (queue->name_.empty()) queue->name_ = defaultName(queue.get());
  return queue;
}

OperationQueue::Ptr OperationQueue::mainQueue() {
  static const Ptr* queue = new Ptr(std::make_shared<OperationQueue>(
      Passkey{}, "NSOperationQueue Main Queue", dispatch::Queue::main(), 1));
  return *queue;
}

OperationQueue::Ptr OperationQueue::currentQueue() {
  if (tCurrentQueue) return tCurrentQueue->shared_from_this();
  auto dispatchQueue = dispatch::Queue::current();
  if (dispatchQueue && dispatchQueue->isMain()) return mainQueue();
  return nullptr;
}

OperationQueue::OperationQueue(Passkey, std::string name, dispatch::QueuePtr target, long width)
    : target_(std::move(target)),
      control_(dispatch::Queue::createSerial("OperationQueue.control")),
      width_(width),
      name_(std::move(name)) {}

OperationQueue::~OperationQueue() {
  for (const EntryPtr& entry : entries_) {
    entry->operation->removeObserver(entry->readyToken);
    entry->operation->removeObserver(entry->finishedToken);
  }
}

// --- adding ------------------------------------------------------------------

void OperationQueue::addOperation(const Operation::Ptr& operation) {
  if (!operation) {
    throw Exception(kInvalidArgumentException, "addOperation: the operation is nil");
  }
  if (operation->isFinished()) {
    throw Exception(kInvalidArgumentException,
                    "addOperation: operation is finished and cannot be enqueued");
  }
  if (operation->isExecuting()) {
    throw Exception(kInvalidArgumentException,
                    "addOperation: operation is executing and cannot be enqueued");
  }
  if (operation->enqueued_.exchange(true)) {
    throw Exception(kInvalidArgumentException,
                    "addOperation: operation is already enqueued on a queue");
  }
  auto entry = std::make_shared<Entry>();
  entry->operation = operation;
  std::weak_ptr<OperationQueue> weakSelf = weak_from_this();
  std::weak_ptr<Entry> weakEntry = entry;
  // Observers do as little as possible: they run on whatever thread changed
  // the state, maybe holding the operation's own lock.
  auto onReady = [weakSelf, weakEntry](Operation&, std::string_view) {
    auto self = weakSelf.lock();
    auto e = weakEntry.lock();
    if (!self || !e) return;
    {
      std::lock_guard lock(self->mutex_);
      // Before it is in the queue, addOperation makes it a candidate.
      if (!e->inserted) return;
      self->makeCandidateLocked(e);
    }
    self->schedulePump();
  };
  entry->readyToken = operation->addObserver(kOperationIsReadyKey, std::move(onReady));
  entry->finishedToken = operation->addObserver(
      kOperationIsFinishedKey, [weakSelf, weakEntry](Operation& op, std::string_view) {
        auto self = weakSelf.lock();
        auto e = weakEntry.lock();
        if (self && e && op.isFinished()) self->entryFinished(e);
      });
  // Asked before taking the queue's lock, which is never held while calling
  // an operation.
  const bool ready = operation->isReady();
  bool startNow = false;
  bool finishedEarly = false;
  {
    std::lock_guard lock(mutex_);
    if (entry->finished) {
      // It finished between the observer and here: it never joins.
      finishedEarly = true;
    } else {
      entry->sequence = nextSequence_++;
      entry->position = entries_.insert(entries_.end(), entry);
      entry->inserted = true;
      // Nothing added before it waits to start: a ready operation may start
      // at once, without a round through the control queue, and the order
      // of guarantee 1 still holds.
      if (ready && unstarted_ == 0 && !suspended_ && running_ < effectiveWidthLocked()) {
        entry->started = true;
        ++running_;
        startNow = true;
      } else {
        ++unstarted_;
        // Asked once by the pump; one that is not ready yet comes back with
        // its "isReady" announcement.
        makeCandidateLocked(entry);
      }
    }
  }
  if (finishedEarly) {
    operation->removeObserver(entry->readyToken);
    operation->removeObserver(entry->finishedToken);
    return;
  }
  // It may have finished between the check above and the observer (a
  // cancelled operation started by someone else, say).
  if (operation->isFinished()) {
    entryFinished(entry);
    return;
  }
  if (startNow) {
    dispatchStart(entry);
  } else {
    schedulePump();
  }
}

void OperationQueue::addOperations(const std::vector<Operation::Ptr>& operations, bool wait) {
  for (const Operation::Ptr& operation : operations) addOperation(operation);
  if (wait) {
    for (const Operation::Ptr& operation : operations) operation->waitUntilFinished();
  }
}

std::shared_ptr<BlockOperation> OperationQueue::addOperationWithBlock(std::function<void()> block) {
  auto operation = BlockOperation::create(std::move(block));
  addOperation(operation);
  return operation;
}

// --- inspection and control -------------------------------------------------------

void OperationQueue::cancelAllOperations() {
  for (const Operation::Ptr& operation : operations()) operation->cancel();
}

std::vector<Operation::Ptr> OperationQueue::operations() const {
  std::lock_guard lock(mutex_);
  std::vector<Operation::Ptr> out;
  out.reserve(entries_.size());
  for (const EntryPtr& entry : entries_) out.push_back(entry->operation);
  return out;
}

std::size_t OperationQueue::operationCount() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

long OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard lock(mutex_);
  return width_;
}

void OperationQueue::setMaxConcurrentOperationCount(long width) {
  {
    std::lock_guard lock(mutex_);
    width_ = width < 0 ? kDefaultMaxConcurrentOperationCount : std::max(width, 1L);
  }
  schedulePump();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(mutex_);
  return suspended_;
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard lock(mutex_);
    suspended_ = suspended;
  }
  if (!suspended) schedulePump();
}

std::string OperationQueue::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void OperationQueue::setName(std::string name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}

bool OperationQueue::waitUntilAllOperationsAreFinished(std::optional<dispatch::Duration> timeout) {
  std::unique_lock lock(mutex_);
  auto empty = [&] { return entries_.empty(); };
  if (!timeout) {
    idleCv_.wait(lock, empty);
    return true;
  }
  return idleCv_.wait_for(lock, *timeout, empty);
}

// --- scheduling -------------------------------------------------------------------

long OperationQueue::effectiveWidthLocked() const { return width_ < 0 ? kDefaultWidth : width_; }

void OperationQueue::makeCandidateLocked(const EntryPtr& entry) {
  if (entry->candidate || entry->started || entry->finished || !entry->inserted) return;
  entry->candidate = true;
  candidates_.emplace_hint(candidates_.end(), entry->sequence, entry);
}

void OperationQueue::schedulePump() {
  {
    std::lock_guard lock(mutex_);
    // Only candidates need the pump, and only while one may start; whoever
    // makes one (adding, an "isReady" announcement, a start given back) or
    // frees a place (a finish, resuming, a wider queue) schedules it again.
    if (pumpPending_ || candidates_.empty() || suspended_ || running_ >= effectiveWidthLocked()) {
      return;
    }
    pumpPending_ = true;
  }
  // The pump runs on the control queue, never inside a state observer, so it
  // asks operations for their readiness while holding none of their locks.
  control_->async([self = shared_from_this()] { self->pump(); });
}

void OperationQueue::pump() {
  {
    std::lock_guard lock(mutex_);
    pumpPending_ = false;  // any change from here on schedules another pump
  }
  for (;;) {
    EntryPtr entry;
    {
      std::lock_guard lock(mutex_);
      if (suspended_ || running_ >= effectiveWidthLocked() || candidates_.empty()) return;
      auto first = candidates_.begin();
      entry = std::move(first->second);
      candidates_.erase(first);
      entry->candidate = false;
    }
    // Not ready: it waits, out of the candidates, for its next "isReady"
    // announcement (one made while this asks puts it back).
    if (!entry->operation->isReady()) continue;
    {
      std::lock_guard lock(mutex_);
      if (entry->started || entry->finished) continue;
      if (suspended_ || running_ >= effectiveWidthLocked()) {
        makeCandidateLocked(entry);  // first in line when a place frees up
        return;
      }
      if (entry->candidate) {  // announced ready again meanwhile
        candidates_.erase(entry->sequence);
        entry->candidate = false;
      }
      entry->started = true;
      --unstarted_;
      ++running_;
    }
    dispatchStart(entry);
  }
}

void OperationQueue::dispatchStart(const EntryPtr& entry) {
  if (!entry->operation->isConcurrent()) {
    target_->async([self = shared_from_this(), entry] { self->run(entry); });
    return;
  }
  // An operation that runs its start on a thread of its own (takeStart)
  // gets it there directly; the main queue keeps its own thread.
  if (!target_->isMain()) {
    std::function<void()> start = [self = shared_from_this(), entry] { self->run(entry); };
    if (entry->operation->takeStart(start)) return;
  }
  // A concurrent operation's start() only sets its work going, so the
  // starts due at about the same time share one block on the target queue
  // (in the order they became due) instead of waking a thread each.
  bool schedule;
  {
    std::lock_guard lock(mutex_);
    concurrentStarts_.push_back(entry);
    schedule = !concurrentStartsScheduled_;
    concurrentStartsScheduled_ = true;
  }
  if (schedule) target_->async([self = shared_from_this()] { self->runConcurrentStarts(); });
}

void OperationQueue::runConcurrentStarts() {
  for (;;) {
    std::vector<EntryPtr> due;
    {
      std::lock_guard lock(mutex_);
      due.swap(concurrentStarts_);
      if (due.empty()) {
        concurrentStartsScheduled_ = false;
        return;
      }
    }
    for (const EntryPtr& entry : due) run(entry);
  }
}

void OperationQueue::run(const EntryPtr& entry) {
  const Operation::Ptr& operation = entry->operation;
  {
    CurrentQueueScope scope(this);
    operation->start();
  }
  if (operation->isFinished()) {
    entryFinished(entry);
  } else if (!operation->isExecuting()) {
    // start() did nothing (the operation stopped being ready, or is paused
    // by its own rules): give its place back and wait for it to be ready.
    {
      std::lock_guard lock(mutex_);
      if (!entry->finished && entry->started) {
        entry->started = false;
        --running_;
        ++unstarted_;
        makeCandidateLocked(entry);
      }
    }
    if (operation->isFinished()) {
      entryFinished(entry);
    } else {
      schedulePump();
    }
  }
  // Otherwise it is executing: its "isFinished" announcement ends it.
}

void OperationQueue::entryFinished(const EntryPtr& entry) {
  bool empty;
  {
    std::lock_guard lock(mutex_);
    if (entry->finished) return;
    entry->finished = true;
    // Not yet in the queue: addOperation sees it finished and drops it.
    if (!entry->inserted) return;
    if (entry->started) {
      --running_;
    } else {
      --unstarted_;
    }
    if (entry->candidate) {
      candidates_.erase(entry->sequence);
      entry->candidate = false;
    }
    entries_.erase(entry->position);
    entry->inserted = false;
    empty = entries_.empty();
  }
  entry->operation->removeObserver(entry->readyToken);
  entry->operation->removeObserver(entry->finishedToken);
  if (empty) idleCv_.notify_all();
  schedulePump();
}

}  // namespace platform
