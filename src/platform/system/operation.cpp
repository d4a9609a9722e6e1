#include "platform/system/operation.h"

#include <cstdio>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/exception.h"

namespace platform {

namespace {
thread_local Operation::CompletionBatch* tCompletionBatch = nullptr;
}  // namespace

Operation::CompletionBatch::CompletionBatch() : previous_(tCompletionBatch) {
  tCompletionBatch = this;
}

Operation::CompletionBatch::~CompletionBatch() {
  run();
  tCompletionBatch = previous_;
}

void Operation::CompletionBatch::run() {
  // A block may finish another operation here, whose block joins the list.
  for (std::size_t i = 0; i < blocks_.size(); ++i) {
    std::function<void()> block = std::move(blocks_[i]);
    blocks_[i] = nullptr;
    block();
  }
  blocks_.clear();
}

Operation::Operation() = default;

Operation::~Operation() {
  for (const Dependency& d : dependencies_) d.operation->removeObserver(d.token);
}

// --- running -------------------------------------------------------------

void Operation::start() {
  if (!isCancelled() && !isReady()) return;
  {
    std::lock_guard lock(mutex_);
    if (started_ || finished_) return;
    started_ = true;
  }
  if (isCancelled()) {
    markFinished();
    return;
  }
  markExecuting();
  if (!isCancelled()) main();
  if (!isConcurrent()) markFinished();
}

void Operation::cancel() {
  {
    std::lock_guard lock(mutex_);
    if (cancelled_ || finished_) return;
  }
  willChangeValueForKey(kOperationIsCancelledKey);
  willChangeValueForKey(kOperationIsReadyKey);
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  didChangeValueForKey(kOperationIsCancelledKey);
  didChangeValueForKey(kOperationIsReadyKey);
}

void Operation::markExecuting() {
  willChangeValueForKey(kOperationIsExecutingKey);
  {
    std::lock_guard lock(mutex_);
    executing_ = true;
  }
  didChangeValueForKey(kOperationIsExecutingKey);
}

void Operation::markFinished() {
  bool wasExecuting;
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    wasExecuting = executing_;
  }
  if (wasExecuting) willChangeValueForKey(kOperationIsExecutingKey);
  willChangeValueForKey(kOperationIsFinishedKey);
  {
    std::lock_guard lock(mutex_);
    executing_ = false;
    finished_ = true;
    started_ = true;
  }
  if (wasExecuting) didChangeValueForKey(kOperationIsExecutingKey);
  didChangeValueForKey(kOperationIsFinishedKey);
}

void Operation::transitionState(const StateChange& change) {
  std::vector<std::string_view> announce;
  {
    std::lock_guard lock(mutex_);
    change(announce);
  }
  for (std::string_view key : announce) willChangeValueForKey(key);
  for (std::string_view key : announce) didChangeValueForKey(key);
}

// --- state ---------------------------------------------------------------

bool Operation::isReady() const {
  std::vector<Ptr> deps;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return true;
    for (const Dependency& d : dependencies_) deps.push_back(d.operation);
  }
  for (const Ptr& d : deps) {
    if (!d->isFinished()) return false;
  }
  return true;
}

bool Operation::isExecuting() const {
  std::lock_guard lock(mutex_);
  return executing_;
}

bool Operation::isFinished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

bool Operation::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

// --- dependencies ----------------------------------------------------------

void Operation::addDependency(const Ptr& operation) {
  if (!operation || operation.get() == this) return;
  std::weak_ptr<Operation> weakSelf = weak_from_this();
  if (weakSelf.expired()) {
    throw Exception(kInvalidArgumentException, "an operation must be owned by a shared_ptr");
  }
  {
    std::lock_guard lock(mutex_);
    for (const Dependency& d : dependencies_) {
      if (d.operation == operation) return;
    }
  }
  willChangeValueForKey(kOperationIsReadyKey);
  ObserverToken token =
      operation->addObserver(kOperationIsFinishedKey, [weakSelf](Operation&, std::string_view) {
        if (auto self = weakSelf.lock()) {
          self->willChangeValueForKey(kOperationIsReadyKey);
          self->didChangeValueForKey(kOperationIsReadyKey);
        }
      });
  bool duplicate = false;
  {
    std::lock_guard lock(mutex_);
    for (const Dependency& d : dependencies_) duplicate = duplicate || d.operation == operation;
    if (!duplicate) dependencies_.push_back({operation, token});
  }
  if (duplicate) operation->removeObserver(token);  // lost a race with the same add
  didChangeValueForKey(kOperationIsReadyKey);
}

void Operation::removeDependency(const Ptr& operation) {
  std::optional<ObserverToken> token;
  willChangeValueForKey(kOperationIsReadyKey);
  {
    std::lock_guard lock(mutex_);
    for (auto it = dependencies_.begin(); it != dependencies_.end(); ++it) {
      if (it->operation == operation) {
        token = it->token;
        dependencies_.erase(it);
        break;
      }
    }
  }
  if (token) operation->removeObserver(*token);
  didChangeValueForKey(kOperationIsReadyKey);
}

std::vector<Operation::Ptr> Operation::dependencies() const {
  std::lock_guard lock(mutex_);
  std::vector<Ptr> out;
  for (const Dependency& d : dependencies_) out.push_back(d.operation);
  return out;
}

// --- completion, name, waiting ---------------------------------------------

void Operation::setCompletionBlock(std::function<void()> block) {
  std::function<void()> old;
  {
    std::lock_guard lock(mutex_);
    old = std::exchange(completion_, std::move(block));
  }
  // `old` (and what it captured) is released here, outside the lock.
}

bool Operation::hasCompletionBlock() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(completion_);
}

std::string Operation::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void Operation::setName(std::string name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}

bool Operation::waitUntilFinished(std::optional<Duration> timeout) {
  const auto deadline = timeout ? std::chrono::steady_clock::now() + *timeout
                                : std::chrono::steady_clock::time_point::max();
  for (;;) {
    std::uint64_t seen;
    {
      std::lock_guard lock(waitMutex_);
      seen = finishGeneration_;
    }
    // Asked outside waitMutex_: a subclass's isFinished may take its own lock,
    // which it also holds while announcing.
    if (isFinished()) return true;
    std::unique_lock lock(waitMutex_);
    auto changed = [&] { return finishGeneration_ != seen; };
    if (timeout) {
      if (!waitCv_.wait_until(lock, deadline, changed)) {
        lock.unlock();  // isFinished may take the subclass's lock (see above)
        return isFinished();
      }
    } else {
      waitCv_.wait(lock, changed);
    }
  }
}

// --- observers -------------------------------------------------------------

Operation::ObserverToken Operation::addObserver(std::string key, Observer observer) {
  std::lock_guard lock(observersMutex_);
  ObserverToken token = nextToken_++;
  observers_.emplace(
      token, ObserverRecord{std::move(key), std::make_shared<Observer>(std::move(observer))});
  return token;
}

void Operation::removeObserver(ObserverToken token) {
  std::shared_ptr<Observer> released;
  {
    std::lock_guard lock(observersMutex_);
    auto it = observers_.find(token);
    if (it == observers_.end()) return;
    released = std::move(it->second.observer);
    observers_.erase(it);
  }
}

void Operation::willChangeValueForKey(std::string_view) {}

void Operation::didChangeValueForKey(std::string_view key) {
  std::vector<std::pair<ObserverToken, std::shared_ptr<Observer>>> toCall;
  {
    std::lock_guard lock(observersMutex_);
    for (const auto& [token, record] : observers_) {
      if (record.key == key) toCall.emplace_back(token, record.observer);
    }
  }
  if (key == kOperationIsFinishedKey) onFinishedAnnounced();
  for (const auto& [token, observer] : toCall) {
    {
      // Skip observers removed by an earlier observer of this same change.
      std::lock_guard lock(observersMutex_);
      if (!observers_.count(token)) continue;
    }
    (*observer)(*this, key);
  }
}

void Operation::onFinishedAnnounced() {
  {
    std::lock_guard lock(waitMutex_);
    ++finishGeneration_;
  }
  waitCv_.notify_all();
  if (!isFinished()) return;
  std::function<void()> block;
  {
    std::lock_guard lock(mutex_);
    if (completionDone_) return;
    completionDone_ = true;
    block = std::move(completion_);
    completion_ = nullptr;
  }
  if (!block) return;
  if (tCompletionBatch) {
    tCompletionBatch->blocks_.push_back(std::move(block));
  } else {
    dispatch::Queue::global()->async(std::move(block));
  }
}

std::string Operation::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  std::string n = name();
  std::string out = "<Operation " + (n.empty() ? std::string(address) : n) + ": ";
  out += isFinished() ? "finished" : isExecuting() ? "executing" : isReady() ? "ready" : "waiting";
  if (isCancelled()) out += ", cancelled";
  return out + ">";
}

// --- BlockOperation ----------------------------------------------------------

std::shared_ptr<BlockOperation> BlockOperation::create(std::function<void()> block) {
  return std::make_shared<BlockOperation>(std::move(block));
}

BlockOperation::BlockOperation(std::function<void()> block) : block_(std::move(block)) {}

void BlockOperation::main() {
  std::function<void()> block;
  {
    std::lock_guard lock(blockMutex_);
    block = std::move(block_);
    block_ = nullptr;
  }
  if (block) block();
}

}  // namespace platform
