// Event sources. Descriptor sources (read, write) are level-triggered: the
// reactor interest is switched off while the source is suspended or its
// handler is queued or running, and switched back on after the handler, so
// a handler never runs twice at once and a not-yet-drained fd fires again.
// Counting sources (timer, signal) add up events and hand the sum over as
// data(); a process-exit source fires once.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/internal.h"
#include "platform/dispatch/reactor.h"

namespace platform::dispatch {

using detail::Reactor;

class SourceImpl : public Source, public Reactor::Watcher {
 public:
  SourceImpl(Type type, int handle, QueuePtr queue) : Source(type, handle, std::move(queue)) {}
  ~SourceImpl() override;

  static std::shared_ptr<SourceImpl> make(Type type, int handle, QueuePtr queue);
  std::shared_ptr<SourceImpl> self() {
    return std::static_pointer_cast<SourceImpl>(shared_from_this());
  }

  void onReady(std::uint32_t events, std::uint64_t count) override;
  void onTimer(std::uint64_t generation);
  // A move of the timer's time source: fires when the deadline has come.
  // False once the source is cancelled (the waker is then dropped).
  bool onClockMoved();

  void setHandler(Block h, bool cancel);
  void setTimer(Duration start, Duration interval);
  void resume();
  void suspend();
  void cancel();
  bool cancelled() const;
  std::uint64_t data() const { return data_.load(std::memory_order_acquire); }

  // Set-up right after construction (needs shared_from_this).
  void startTimer(TimeSourcePtr clock) { clock_ = std::move(clock); }
  void startProcess();
  void startSignal();
  void startDescriptor(std::uint32_t mask, bool measure = true);

 private:
  bool rearmLocked();
  bool deliverableLocked();
  bool takeCancelLocked();
  void postHandler();
  void postCancel();
  void runHandler();
  void runCancel();
  std::uint64_t measureLocked();
  void scheduleTimerLocked(Clock::time_point when);
  // Counts the fires due at `now` and moves the next deadline on.
  bool fireTimerLocked(Clock::time_point now);

  mutable std::mutex mutex_;
  Block handler_;
  Block cancelHandler_;
  int suspendCount_ = 1;
  bool cancelled_ = false;
  bool cancelPosted_ = false;
  bool inFlight_ = false;  // the event handler is queued or running
  std::uint64_t pending_ = 0;
  std::atomic<std::uint64_t> data_{0};
  std::shared_ptr<SourceImpl> keepAlive_;  // a resumed source lives until cancelled

  // Descriptor sources.
  int watchFd_ = -1;
  bool ownsFd_ = false;
  bool watching_ = false;
  bool alwaysReady_ = false;  // epoll refused the fd (a regular file): always ready
  std::uint32_t mask_ = 0;
  std::uint32_t armed_ = 0;
  // A readiness-only source (Source::readable): data() is 1, and the fd
  // stays registered edge-triggered while the source is resumed, so an
  // event costs no system call to arm it again.
  bool edge_ = false;
  bool edgeMissed_ = false;  // an edge came while the handler was queued or running

  // Timer.
  std::uint64_t timerGeneration_ = 0;
  Clock::time_point timerNext_;
  Duration timerInterval_{0};
  // A timer on a time source other than the steady clock: its deadlines are
  // checked each time that source's time moves, not by the reactor.
  TimeSourcePtr clock_;
  bool timerArmed_ = false;    // a deadline of clock_ is pending
  bool clockWatched_ = false;  // the waker is registered with clock_

  // Process exit.
  bool exited_ = false;
  bool exitDelivered_ = false;
  std::uint64_t exitStatus_ = 0;
};

namespace {
constexpr Duration kFar = std::chrono::hours(24 * 365 * 100);

[[noreturn]] void die(const char* message, const Source& s) {
  std::fprintf(stderr, "dispatch: %s (source on queue \"%s\")\n", message,
               s.queue() ? s.queue()->label().c_str() : "");
  std::abort();
}
}  // namespace

std::shared_ptr<SourceImpl> SourceImpl::make(Type type, int handle, QueuePtr queue) {
  if (!queue) queue = Queue::global(Priority::Default);
  return std::make_shared<SourceImpl>(type, handle, std::move(queue));
}

SourceImpl::~SourceImpl() {
  if (watching_) Reactor::instance().unwatch(watchFd_, this);
  if (ownsFd_ && watchFd_ >= 0) ::close(watchFd_);
}

void SourceImpl::startDescriptor(std::uint32_t mask, bool measure) {
  std::lock_guard lock(mutex_);
  watchFd_ = handle_;
  edge_ = !measure;
  mask_ = edge_ ? mask | EPOLLET : mask;
}

void SourceImpl::startProcess() {
  std::lock_guard lock(mutex_);
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, handle_, 0));
  if (fd < 0) {
    // Gone already (reaped elsewhere) or no such process: report the exit.
    exited_ = true;
    return;
  }
  watchFd_ = fd;
  ownsFd_ = true;
  watching_ = Reactor::instance().watch(fd, self(), EPOLLIN);
}

void SourceImpl::startSignal() {
  detail::blockSourceSignal(handle_);
  std::lock_guard lock(mutex_);
  watchFd_ = Reactor::instance().signalFd(handle_);
  if (watchFd_ >= 0) watching_ = Reactor::instance().watch(watchFd_, self(), EPOLLIN);
}

std::uint64_t SourceImpl::measureLocked() {
  if (edge_) return 1;
  if (type_ == Type::Read) {
    int n = 0;
    if (::ioctl(watchFd_, FIONREAD, &n) < 0) return 1;  // e.g. a listening socket
    return static_cast<std::uint64_t>(n);
  }
  int space = 0;
  socklen_t len = sizeof space;
  int queued = 0;
  if (::getsockopt(watchFd_, SOL_SOCKET, SO_SNDBUF, &space, &len) == 0) {
    if (::ioctl(watchFd_, TIOCOUTQ, &queued) < 0) queued = 0;
  } else {
    space = ::fcntl(watchFd_, F_GETPIPE_SZ);
    if (space < 0 || ::ioctl(watchFd_, FIONREAD, &queued) < 0) return 1;
  }
  return space > queued ? static_cast<std::uint64_t>(space - queued) : 1;
}

// Brings the reactor interest of a descriptor source in line with its
// state. True when the handler must be posted (a refused, always-ready fd).
bool SourceImpl::rearmLocked() {
  if (type_ != Type::Read && type_ != Type::Write) return false;
  // An edge-triggered fd keeps its interest while the handler runs: the
  // edges that come meanwhile are noted (edgeMissed_) instead.
  std::uint32_t want = (!cancelled_ && suspendCount_ == 0 && (!inFlight_ || edge_)) ? mask_ : 0;
  if (alwaysReady_) {
    if (want == 0 || inFlight_) return false;
    data_.store(type_ == Type::Read ? measureLocked() : 1, std::memory_order_release);
    inFlight_ = true;
    return true;
  }
  if (want == armed_) return false;
  // A new interest looks at the fd's state afresh: an edge noted before
  // is reported again by it if the condition still holds.
  edgeMissed_ = false;
  if (Reactor::instance().watch(watchFd_, self(), want)) {
    watching_ = true;
    armed_ = want;
    return false;
  }
  if (errno == EPERM) {
    alwaysReady_ = true;
    return rearmLocked();
  }
  std::fprintf(stderr, "dispatch: cannot watch fd %d\n", watchFd_);
  return false;
}

bool SourceImpl::deliverableLocked() {
  if (cancelled_ || suspendCount_ > 0 || inFlight_) return false;
  if (type_ == Type::ProcessExit) {
    if (!exited_ || exitDelivered_) return false;
    exitDelivered_ = true;
    data_.store(exitStatus_, std::memory_order_release);
  } else if (type_ == Type::Timer || type_ == Type::Signal) {
    if (pending_ == 0) return false;
    data_.store(pending_, std::memory_order_release);
    pending_ = 0;
  } else {
    return false;
  }
  inFlight_ = true;
  return true;
}

bool SourceImpl::takeCancelLocked() {
  if (!cancelled_ || cancelPosted_ || suspendCount_ > 0 || inFlight_) return false;
  cancelPosted_ = true;
  return true;
}

void SourceImpl::postHandler() {
  queue_->async([s = self()] { s->runHandler(); });
}

void SourceImpl::postCancel() {
  queue_->async([s = self()] { s->runCancel(); });
}

void SourceImpl::onReady(std::uint32_t, std::uint64_t count) {
  bool post = false;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    switch (type_) {
      case Type::Read:
      case Type::Write:
        if (suspendCount_ > 0) return;  // stale event
        if (inFlight_) {
          // Stale, or for an edge-triggered fd news that the handler may
          // not have seen: it runs again afterwards.
          if (edge_) edgeMissed_ = true;
          return;
        }
        data_.store(measureLocked(), std::memory_order_release);
        inFlight_ = true;
        rearmLocked();
        post = true;
        break;
      case Type::Signal:
        pending_ += count;
        post = deliverableLocked();
        break;
      case Type::ProcessExit: {
        if (exited_) return;
        siginfo_t info{};
        if (::waitid(P_PIDFD, static_cast<id_t>(watchFd_), &info, WEXITED | WNOHANG) == 0 &&
            info.si_pid != 0) {
          int st = info.si_status & 0x7f;
          if (info.si_code == CLD_EXITED)
            exitStatus_ = static_cast<unsigned>(info.si_status & 0xff) << 8;
          else if (info.si_code == CLD_KILLED)
            exitStatus_ = static_cast<unsigned>(st);
          else if (info.si_code == CLD_DUMPED)
            exitStatus_ = static_cast<unsigned>(st | 0x80);
        }
        exited_ = true;
        Reactor::instance().unwatch(watchFd_, this);
        watching_ = false;
        post = deliverableLocked();
        break;
      }
      case Type::Timer:
        break;
    }
  }
  if (post) postHandler();
}

void SourceImpl::onTimer(std::uint64_t generation) {
  bool post = false;
  {
    std::lock_guard lock(mutex_);
    if (generation != timerGeneration_ || cancelled_) return;
    post = fireTimerLocked(Clock::now());
  }
  if (post) postHandler();
}

bool SourceImpl::onClockMoved() {
  bool post = false;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return false;
    if (!timerArmed_) return true;
    const auto now = clock_->now();
    if (now < timerNext_) return true;
    post = fireTimerLocked(now);
  }
  if (post) postHandler();
  return true;
}

bool SourceImpl::fireTimerLocked(Clock::time_point now) {
  std::uint64_t fires = 1;
  if (timerInterval_ > Duration::zero()) {
    if (now - timerNext_ >= timerInterval_) {
      fires += static_cast<std::uint64_t>((now - timerNext_) / timerInterval_);
    }
    timerNext_ += timerInterval_ * static_cast<std::int64_t>(fires);
    scheduleTimerLocked(timerNext_);
  } else {
    timerArmed_ = false;
  }
  pending_ += fires;
  return deliverableLocked();
}

void SourceImpl::scheduleTimerLocked(Clock::time_point when) {
  if (clock_) {
    // The waker stays for the source's life: registering it once avoids a
    // race with a waker that is being dropped.
    timerArmed_ = true;
    if (!clockWatched_) {
      clockWatched_ = true;
      clock_->watch(self(), [w = std::weak_ptr<SourceImpl>(self())] {
        auto s = w.lock();
        return s && s->onClockMoved();
      });
    }
    return;
  }
  Reactor::instance().addDeadline(when,
                                  [w = std::weak_ptr<SourceImpl>(self()), g = timerGeneration_] {
                                    if (auto s = w.lock()) s->onTimer(g);
                                  });
}

void SourceImpl::runHandler() {
  Block h;
  {
    std::lock_guard lock(mutex_);
    if (!cancelled_) h = handler_;
  }
  if (h) h();
  h = nullptr;
  bool post = false;
  bool cancel = false;
  {
    std::lock_guard lock(mutex_);
    inFlight_ = false;
    if (cancelled_) {
      cancel = takeCancelLocked();
    } else {
      post = rearmLocked() || deliverableLocked();
      if (!post && edgeMissed_ && suspendCount_ == 0) {
        // What came while the handler ran may still wait.
        edgeMissed_ = false;
        data_.store(1, std::memory_order_release);
        inFlight_ = true;
        post = true;
      }
    }
  }
  if (post) postHandler();
  if (cancel) postCancel();
}

void SourceImpl::runCancel() {
  Block cancel;
  Block handler;
  std::shared_ptr<SourceImpl> keep;
  {
    std::lock_guard lock(mutex_);
    cancel = std::move(cancelHandler_);
    handler = std::move(handler_);
    keep = std::move(keepAlive_);
  }
  if (cancel) cancel();
  // Handlers often hold the source's owner: let them go here, on the queue.
  cancel = nullptr;
  handler = nullptr;
}

void SourceImpl::setHandler(Block h, bool cancel) {
  std::lock_guard lock(mutex_);
  (cancel ? cancelHandler_ : handler_) = std::move(h);
}

void SourceImpl::setTimer(Duration start, Duration interval) {
  if (type_ != Type::Timer) return;
  {
    std::lock_guard lock(mutex_);
    ++timerGeneration_;
    pending_ = 0;
    timerArmed_ = false;
    if (cancelled_ || start >= kFar) return;
    timerInterval_ = interval >= kFar ? Duration::zero() : interval;
    if (start < Duration::zero()) start = Duration::zero();
    timerNext_ = nowOf(clock_) + start;
    scheduleTimerLocked(timerNext_);
  }
  // A deadline that has come already (a start of 0) fires without waiting
  // for the time source to move.
  if (clock_) onClockMoved();
}

void SourceImpl::resume() {
  bool post = false;
  bool cancel = false;
  {
    std::lock_guard lock(mutex_);
    if (suspendCount_ == 0) die("resume of a source that is not suspended", *this);
    if (--suspendCount_ > 0) return;
    if (cancelled_) {
      cancel = takeCancelLocked();
    } else {
      if (!keepAlive_) keepAlive_ = self();
      post = rearmLocked() || deliverableLocked();
    }
  }
  if (post) postHandler();
  if (cancel) postCancel();
}

void SourceImpl::suspend() {
  std::lock_guard lock(mutex_);
  ++suspendCount_;
  rearmLocked();
}

void SourceImpl::cancel() {
  bool post = false;
  std::shared_ptr<SourceImpl> keep;  // released after the lock
  {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    // A cancelled source lives on only through its owners and the posted
    // cancel handler.
    keep = std::move(keepAlive_);
    ++timerGeneration_;
    timerArmed_ = false;
    if (watching_) Reactor::instance().unwatch(watchFd_, this);
    watching_ = false;
    armed_ = 0;
    if (ownsFd_) {
      ::close(watchFd_);
      ownsFd_ = false;
      watchFd_ = -1;
    }
    post = takeCancelLocked();
  }
  if (post) postCancel();
}

bool SourceImpl::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

// ---- Source ----

namespace {
SourceImpl* impl(Source* s) { return static_cast<SourceImpl*>(s); }
const SourceImpl* impl(const Source* s) { return static_cast<const SourceImpl*>(s); }
}  // namespace

Source::Source(Type type, int handle, QueuePtr queue)
    : type_(type), handle_(handle), queue_(std::move(queue)) {}

Source::~Source() = default;

std::shared_ptr<Source> Source::read(int fd, QueuePtr queue) {
  auto s = SourceImpl::make(Type::Read, fd, std::move(queue));
  s->startDescriptor(EPOLLIN);
  return s;
}

std::shared_ptr<Source> Source::readable(int fd, QueuePtr queue) {
  auto s = SourceImpl::make(Type::Read, fd, std::move(queue));
  s->startDescriptor(EPOLLIN, false);
  return s;
}

std::shared_ptr<Source> Source::write(int fd, QueuePtr queue) {
  auto s = SourceImpl::make(Type::Write, fd, std::move(queue));
  s->startDescriptor(EPOLLOUT);
  return s;
}

std::shared_ptr<Source> Source::timer(QueuePtr queue, TimeSourcePtr clock) {
  auto s = SourceImpl::make(Type::Timer, -1, std::move(queue));
  s->startTimer(std::move(clock));
  return s;
}

std::shared_ptr<Source> Source::processExit(pid_t pid, QueuePtr queue) {
  auto s = SourceImpl::make(Type::ProcessExit, pid, std::move(queue));
  s->startProcess();
  return s;
}

std::shared_ptr<Source> Source::signal(int signo, QueuePtr queue) {
  auto s = SourceImpl::make(Type::Signal, signo, std::move(queue));
  s->startSignal();
  return s;
}

void Source::setEventHandler(Block handler) { impl(this)->setHandler(std::move(handler), false); }
void Source::setCancelHandler(Block handler) { impl(this)->setHandler(std::move(handler), true); }
void Source::setTimer(Duration start, Duration interval, Duration) {
  impl(this)->setTimer(start, interval);
}
void Source::resume() { impl(this)->resume(); }
void Source::suspend() { impl(this)->suspend(); }
void Source::cancel() { impl(this)->cancel(); }
bool Source::isCancelled() const { return impl(this)->cancelled(); }
std::uint64_t Source::data() const { return impl(this)->data(); }

}  // namespace platform::dispatch
