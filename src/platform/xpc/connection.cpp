#include "platform/xpc/connection.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/dispatch/reactor.h"
#include "platform/system/paths.h"
#include "platform/xpc/peer_fault_log.h"
#include "platform/xpc/service_names.h"
#include "platform/xpc/wire_codec.h"

namespace platform::xpc {

namespace {

// Closes a descriptor when the last holder goes (both sources' cancel
// handlers and the connection hold one), so the fd is never closed while the
// reactor still watches it.
struct FdHolder {
  int fd;
  explicit FdHolder(int f) : fd(f) {}
  ~FdHolder() {
    if (fd >= 0) ::close(fd);
  }
};

struct Frame {
  std::vector<std::uint8_t> bytes;  // header + payload
  std::vector<int> fds;             // owned duplicates, sent with the first byte
  std::size_t offset = 0;

  Frame() = default;
  Frame(Frame&& o) noexcept : bytes(std::move(o.bytes)), fds(std::move(o.fds)), offset(o.offset) {
    o.fds.clear();
  }
  Frame& operator=(Frame&& o) noexcept {
    if (this != &o) {
      closeDescriptors();
      bytes = std::move(o.bytes);
      fds = std::move(o.fds);
      o.fds.clear();
      offset = o.offset;
    }
    return *this;
  }
  ~Frame() { closeDescriptors(); }
  void closeDescriptors() {
    for (int fd : fds) ::close(fd);
    fds.clear();
  }
};

// The frames waiting to be written, oldest first. Holds no memory while
// empty: most connections never queue a frame (a send with nothing ahead of
// it is written at once), and a burst of connections must not cost a
// buffer each.
class FrameQueue {
 public:
  bool empty() const { return head_ == frames_.size(); }
  Frame& front() { return frames_[head_]; }
  void push(Frame frame) { frames_.push_back(std::move(frame)); }
  void pop() {
    frames_[head_] = Frame();  // its bytes and descriptors go now
    if (++head_ == frames_.size()) {
      std::vector<Frame>().swap(frames_);
      head_ = 0;
    } else if (head_ >= 32 && head_ * 2 >= frames_.size()) {
      frames_.erase(frames_.begin(), frames_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
  }
  void swap(FrameQueue& other) noexcept {
    frames_.swap(other.frames_);
    std::swap(head_, other.head_);
  }

 private:
  std::vector<Frame> frames_;
  std::size_t head_ = 0;
};

struct Pending {
  dispatch::QueuePtr queue;
  Connection::ReplyHandler handler;
};

enum class State { Idle, Connected, Interrupted, Invalid };

bool fillAddress(const std::string& path, sockaddr_un* addr) {
  if (path.empty() || path.size() >= sizeof(addr->sun_path)) return false;
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

constexpr std::size_t kStackChunk = 16 * 1024;
// Input read on the reactor thread in one go; a larger burst goes on on the
// connection's io queue, so one busy connection cannot hold up every other
// descriptor and timer of the process.
constexpr std::size_t kReactorReadBudget = 256 * 1024;
constexpr std::size_t kKeptCapacity = 256 * 1024;
constexpr std::size_t kMaxHeldDescriptors = 256;

}  // namespace

// Watches the socket for input straight on the reactor: the thread that
// learns that the socket is readable reads it, decodes the frames and posts
// each event to the target queue and each reply to its reply queue, one
// thread hand-off per message. The reactor never runs a watcher twice at
// once and re-arms the descriptor after `onReady` while the interest stays
// set. Holds the descriptor open while the reactor may still call it.
struct Connection::InputWatcher : dispatch::detail::Reactor::Watcher {
  InputWatcher(std::weak_ptr<Connection> c, std::shared_ptr<FdHolder> s)
      : connection(std::move(c)), sock(std::move(s)) {}
  ~InputWatcher() override { dispatch::detail::Reactor::instance().unwatch(sock->fd, this); }
  void onReady(std::uint32_t events, std::uint64_t) override {
    if (auto self = connection.lock()) self->onReadable(this, events);
  }
  std::weak_ptr<Connection> connection;
  std::shared_ptr<FdHolder> sock;
};

struct Connection::Impl {
  std::mutex mutex;
  State state = State::Idle;
  int suspendCount = 1;
  bool readHandedOff = false;  // the io queue reads on; the reactor interest is off
  bool writeArmed = false;
  std::shared_ptr<FdHolder> sock;
  std::shared_ptr<InputWatcher> reader;
  // Made when a write first has to wait for room in the socket.
  std::shared_ptr<dispatch::Source> writeSource;
  // The io queue is made on first use (a connect, a write that waits, a
  // cancel, a long read); the target queue when asked for or first used,
  // unless one is set before (as the XPCConnection wrapper does).
  std::once_flag ioOnce;
  dispatch::QueuePtr io;
  dispatch::QueuePtr target;
  EventHandler handler;
  FrameQueue outbound;
  std::map<std::uint64_t, Pending> pending;
  std::uint64_t nextSerial = 1;
  PeerCredentials creds;
  // Input side: read on the reactor thread or the io queue, always with
  // `inputMutex` held (taken before `mutex`, never after it).
  std::mutex inputMutex;
  std::vector<std::uint8_t> in;
  std::size_t inOffset = 0;
  std::vector<int> inFds;
  // Peers: bumped whenever no frame is in progress, so a pending frame
  // timer can tell whether the frame it watches is still the same one.
  std::uint64_t frameToken = 0;
  bool frameTimerArmed = false;
  bool served = false;  // a peer's first complete frame was read
  bool malformed = false;
  // A privileged connection refused a service that does not run as root.
  bool refusedUnprivileged = false;
  // Held for the listener from the accept until the first complete frame
  // or the end (under `mutex`).
  std::shared_ptr<void> untilServed;
  ~Impl() {
    for (int fd : inFds) ::close(fd);
  }
};

Connection::Connection(std::string name, Role role, std::string path, unsigned flags)
    : name_(std::move(name)),
      role_(role),
      path_(std::move(path)),
      flags_(flags),
      impl_(std::make_unique<Impl>()) {}

const dispatch::QueuePtr& Connection::ioQueue() {
  std::call_once(impl_->ioOnce,
                 [this] { impl_->io = dispatch::Queue::createSerial("xpc.io." + name_); });
  return impl_->io;
}

// Called with the mutex held.
const dispatch::QueuePtr& Connection::targetLocked() const {
  if (!impl_->target) impl_->target = dispatch::Queue::createSerial(name_);
  return impl_->target;
}

Connection::~Connection() {
  // Nobody can answer the pending requests any more.
  ChannelValue err = ChannelValue::error(ChannelError::ConnectionInvalid);
  for (auto& [serial, p] : impl_->pending) {
    auto h = std::move(p.handler);
    p.queue->async([h, err] { h(err); });
  }
  if (impl_->reader) {
    dispatch::detail::Reactor::instance().unwatch(impl_->reader->sock->fd, impl_->reader.get());
  }
  if (impl_->writeSource) impl_->writeSource->cancel();
  if (impl_->writeSource && !impl_->writeArmed) impl_->writeSource->resume();
}

std::shared_ptr<Connection> Connection::createMachService(const std::string& name, unsigned flags) {
  return std::shared_ptr<Connection>(
      new Connection(name, Role::Client, socketPathForService(name), flags));
}

std::shared_ptr<Connection> Connection::createWithSocketPath(const std::string& name,
                                                             const std::string& path) {
  return std::shared_ptr<Connection>(new Connection(name, Role::Client, path, 0));
}

std::shared_ptr<Connection> Connection::adoptSocket(int fd, const std::string& name, Role role) {
  auto c = std::shared_ptr<Connection>(new Connection(name, role, "", 0));
  int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  std::lock_guard<std::mutex> lock(c->impl_->mutex);
  c->impl_->creds = PeerCredentials::fromSocket(fd);
  c->attach(fd);
  c->impl_->state = State::Connected;
  return c;
}

std::shared_ptr<Connection> Connection::adoptPeer(int fd, const std::string& name,
                                                  PeerCredentials credentials,
                                                  std::shared_ptr<void> untilServed) {
  auto c = std::shared_ptr<Connection>(new Connection(name, Role::Peer, "", 0));
  // The listener accepted it non-blocking and close-on-exec.
  std::lock_guard<std::mutex> lock(c->impl_->mutex);
  c->impl_->creds = std::move(credentials);
  c->impl_->untilServed = std::move(untilServed);
  c->attach(fd);
  c->impl_->state = State::Connected;
  return c;
}

// Called with the mutex held.
void Connection::attach(int fd) {
  auto& d = *impl_;
  d.sock = std::make_shared<FdHolder>(fd);
  std::weak_ptr<Connection> weak = weak_from_this();
  d.reader = std::make_shared<InputWatcher>(weak, d.sock);
  d.readHandedOff = false;
  d.writeArmed = false;
  updateReadInterestLocked();
}

// Called with the mutex held: watches the socket for room to write, on the
// io queue. The source is made the first time a write has to wait.
void Connection::armWriteLocked() {
  auto& d = *impl_;
  if (d.writeArmed) return;
  if (!d.writeSource) {
    std::weak_ptr<Connection> weak = weak_from_this();
    d.writeSource = dispatch::Source::write(d.sock->fd, ioQueue());
    d.writeSource->setEventHandler([weak] {
      if (auto self = weak.lock()) self->onWritable();
    });
    auto holdW = d.sock;
    d.writeSource->setCancelHandler([holdW] {});
  }
  d.writeSource->resume();
  d.writeArmed = true;
}

// Called with the mutex held. Input is watched while the connection is
// attached, not suspended and not being read on the io queue. The watch is
// edge-triggered (it stays armed, without a system call per event), so a
// turn of reading either drains the socket or hands the rest on to the io
// queue; setting the interest again reports input that is already waiting.
void Connection::updateReadInterestLocked() {
  auto& d = *impl_;
  if (!d.reader) return;
  const std::uint32_t mask = d.suspendCount == 0 && !d.readHandedOff
                                 ? static_cast<std::uint32_t>(EPOLLIN | EPOLLRDHUP | EPOLLET)
                                 : 0u;
  if (!dispatch::detail::Reactor::instance().watch(d.reader->sock->fd, d.reader, mask)) {
    std::fprintf(stderr, "xpc: %s: cannot watch the socket\n", name_.c_str());
  }
}

void Connection::setEventHandler(EventHandler handler) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->handler = std::move(handler);
}

void Connection::setTargetQueue(dispatch::QueuePtr queue) {
  if (!queue) return;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->target = std::move(queue);
}

dispatch::QueuePtr Connection::targetQueue() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return targetLocked();
}

void Connection::resume() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto& d = *impl_;
  if (d.suspendCount == 0) return;  // over-resume is ignored
  if (--d.suspendCount == 0) updateReadInterestLocked();
}

void Connection::suspend() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto& d = *impl_;
  if (d.suspendCount++ == 0) updateReadInterestLocked();
}

void Connection::cancel() {
  {
    // Nothing to do once it has ended (the common case when the wrapper of
    // an ended connection goes): no io queue is made for it.
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->state == State::Invalid) return;
  }
  auto self = shared_from_this();
  ioQueue()->async([self] {
    {
      std::lock_guard<std::mutex> lock(self->impl_->mutex);
      if (self->impl_->state == State::Invalid) return;
    }
    self->disconnected(ChannelError::ConnectionInvalid, false);
  });
}

PeerCredentials Connection::credentials() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->creds;
}

std::shared_ptr<void> Connection::unservedPlace() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->untilServed;
}

void Connection::send(const ChannelValue& message) { enqueue(message, nullptr, nullptr); }

void Connection::sendWithReply(const ChannelValue& message, dispatch::QueuePtr replyQueue,
                               ReplyHandler handler) {
  if (!replyQueue) replyQueue = dispatch::Queue::global();
  enqueue(message, std::move(replyQueue), std::move(handler));
}

void Connection::enqueue(const ChannelValue& message, dispatch::QueuePtr replyQueue,
                         ReplyHandler handler) {
  auto& d = *impl_;
  auto failReply = [&](ChannelError e) {
    if (handler) {
      auto h = std::move(handler);
      replyQueue->async([h, e] { h(ChannelValue::error(e)); });
    }
  };
  if (message.type() != ChannelType::Dictionary) {
    failReply(ChannelError::ConnectionInvalid);
    return;
  }
  std::string reason;
  // Encoded behind room for the header: the frame is sent as it stands.
  auto encoded = wire::encode(message, &reason, wire::kHeaderSize);
  if (!encoded) {
    std::fprintf(stderr, "xpc: message on %s not sent: %s\n", name_.c_str(), reason.c_str());
    failReply(ChannelError::ConnectionInvalid);
    return;
  }
  Frame frame;
  for (int fd : encoded->descriptors) {
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
      failReply(ChannelError::ConnectionInvalid);
      return;
    }
    frame.fds.push_back(copy);
  }
  wire::FrameHeader header;
  header.length = static_cast<std::uint32_t>(encoded->bytes.size() - wire::kHeaderSize);
  header.descriptorCount = static_cast<std::uint16_t>(frame.fds.size());
  frame.bytes = std::move(encoded->bytes);

  const ReplyContext* ctx = message.isReply() ? message.replyContext() : nullptr;
  bool isReplyFrame = false;
  if (ctx) {
    auto target = ctx->connection.lock();
    isReplyFrame = target.get() == this;
  }
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.state == State::Invalid) {
      // fall through to failReply below, outside the lock
    } else {
      if (isReplyFrame) {
        header.kind = wire::FrameKind::Reply;
        header.serial = ctx->serial;
      } else {
        header.kind = wire::FrameKind::Message;
        header.serial = d.nextSerial++;
        header.wantsReply = static_cast<bool>(handler);
        if (handler) d.pending.emplace(header.serial, Pending{replyQueue, std::move(handler)});
      }
      wire::writeHeader(header, frame.bytes.data());
      const bool writeNow = d.state == State::Connected && d.outbound.empty() && !d.writeArmed;
      d.outbound.push(std::move(frame));
      auto self = shared_from_this();
      if (writeNow) {
        // Nothing ahead of it: write now, on the caller's thread, which saves
        // a hop through the io queue. Whatever does not fit goes on from the
        // write source; a failure is handled on the io queue.
        int err = writeLocked();
        if (err) {
          ChannelError e = role_ == Role::Client ? ChannelError::ConnectionInterrupted
                                                 : ChannelError::ConnectionInvalid;
          ioQueue()->async([self, e] { self->disconnected(e, false); });
        }
        return;
      }
      ioQueue()->async([self] { self->flush(); });
      return;
    }
  }
  failReply(ChannelError::ConnectionInvalid);
}

// io queue.
void Connection::flush() {
  auto& d = *impl_;
  bool connectNow = false;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.state == State::Invalid || d.outbound.empty()) return;
    connectNow = d.state != State::Connected;
  }
  if (connectNow) {
    if (role_ != Role::Client || !connectSocket()) {
      disconnected(ChannelError::ConnectionInvalid, false);
      return;
    }
  }
  writeFrames();
}

// io queue; client role only.
bool Connection::connectSocket() {
  sockaddr_un addr;
  if (!fillAddress(path_, &addr)) return false;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd);
    return false;
  }
  int fl = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
  auto creds = PeerCredentials::fromSocket(fd);
  std::lock_guard<std::mutex> input(impl_->inputMutex);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->state == State::Invalid) {
    ::close(fd);
    return false;
  }
  // A privileged service must be root's: anyone else holding its socket path
  // gets nothing, not even the first request (it may carry secrets).
  if ((flags_ & kPrivileged) && (!creds.valid || creds.uid != 0)) {
    ::close(fd);
    impl_->creds = creds;
    impl_->refusedUnprivileged = true;
    return false;
  }
  impl_->creds = creds;
  impl_->in.clear();
  impl_->inOffset = 0;
  attach(fd);
  impl_->state = State::Connected;
  return true;
}

// io queue.
void Connection::onWritable() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->writeArmed) {
      impl_->writeSource->suspend();
      impl_->writeArmed = false;
    }
  }
  writeFrames();
}

// io queue.
void Connection::writeFrames() {
  int err;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    err = writeLocked();
  }
  if (err) {
    disconnected(role_ == Role::Client ? ChannelError::ConnectionInterrupted
                                       : ChannelError::ConnectionInvalid,
                 false);
  }
}

// Mutex held. Writes queued frames until done or the socket is full; the
// errno of a failed write, else 0.
int Connection::writeLocked() {
  auto& d = *impl_;
  if (d.state != State::Connected) return 0;
  int fd = d.sock->fd;
  while (!d.outbound.empty()) {
    Frame& f = d.outbound.front();
    ssize_t n;
    const std::uint8_t* p = f.bytes.data() + f.offset;
    std::size_t left = f.bytes.size() - f.offset;
    if (f.offset == 0 && !f.fds.empty()) {
      iovec iov{const_cast<std::uint8_t*>(p), left};
      std::vector<char> control(CMSG_SPACE(sizeof(int) * f.fds.size()));
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control.data();
      msg.msg_controllen = control.size();
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int) * f.fds.size());
      std::memcpy(CMSG_DATA(c), f.fds.data(), sizeof(int) * f.fds.size());
      n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    } else {
      n = ::send(fd, p, left, MSG_NOSIGNAL);
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        armWriteLocked();
        return 0;
      }
      return errno;
    }
    if (f.offset == 0) f.closeDescriptors();
    f.offset += static_cast<std::size_t>(n);
    if (f.offset == f.bytes.size()) d.outbound.pop();
  }
  return 0;
}

// Reactor thread: reads what has arrived and hands each message on.
void Connection::onReadable(const InputWatcher* watcher, std::uint32_t events) {
  auto& d = *impl_;
  std::lock_guard<std::mutex> input(d.inputMutex);
  int fd;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    // A watcher of an earlier socket, or an event that raced a suspension.
    if (d.state != State::Connected || d.reader.get() != watcher || d.suspendCount > 0 ||
        d.readHandedOff) {
      return;
    }
    fd = d.sock->fd;
  }
  // A short read means drained unless the peer has closed its side (no
  // further edge would then report the end of file behind the data).
  const bool shortReadDrains = !(events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR));
  if (readInput(fd, kReactorReadBudget, shortReadDrains) != 1) return;
  // More is waiting than the reactor should read: go on on the io queue,
  // with the interest off meanwhile.
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.state != State::Connected || d.reader.get() != watcher) return;
    d.readHandedOff = true;
    updateReadInterestLocked();
  }
  auto self = shared_from_this();
  ioQueue()->async([self, watcher] { self->continueReading(watcher); });
}

// io queue: reads on after a large burst, then lets the reactor watch again.
void Connection::continueReading(const InputWatcher* watcher) {
  auto& d = *impl_;
  std::lock_guard<std::mutex> input(d.inputMutex);
  int fd;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.state != State::Connected || d.reader.get() != watcher) return;
    fd = d.sock->fd;
  }
  const int read = readInput(fd, SIZE_MAX, false);
  if (read < 0) return;
  if (read == 1) {
    // Still more: another turn, after whatever else waits on the io queue.
    auto self = shared_from_this();
    ioQueue()->async([self, watcher] { self->continueReading(watcher); });
    return;
  }
  std::lock_guard<std::mutex> lock(d.mutex);
  if (d.state != State::Connected || d.reader.get() != watcher) return;
  d.readHandedOff = false;
  updateReadInterestLocked();
}

// Input mutex held. Reads until the socket is drained (EAGAIN, or with
// `shortReadDrains` a read shorter than its room), 16 reads were made or
// `budget` bytes were read, handing every complete frame on. Returns 0 when
// drained, 1 when more may be waiting (the budget or the reads ran out), -1
// when the connection ended.
int Connection::readInput(int fd, std::size_t budget, bool shortReadDrains) {
  auto& d = *impl_;
  std::size_t total = 0;
  bool drained = false;
  for (int round = 0; round < 16 && !drained; ++round) {
    if (total >= budget) return 1;
    if (d.inOffset > 0 && d.inOffset == d.in.size()) {
      d.in.clear();
      d.inOffset = 0;
      // A large frame's room is not kept for the rest of the connection.
      if (d.in.capacity() > kKeptCapacity) std::vector<std::uint8_t>().swap(d.in);
    } else if (d.inOffset > 0) {
      // Keep only the frame in progress, so a stream of frames never grows
      // the buffer.
      d.in.erase(d.in.begin(), d.in.begin() + static_cast<std::ptrdiff_t>(d.inOffset));
      d.inOffset = 0;
    }
    std::size_t old = d.in.size();
    // Read into the buffer's spare room when it has a chunk of it (a frame
    // in progress), else onto the stack first: an idle or short-lived
    // connection then holds no large buffer.
    std::uint8_t chunk[kStackChunk];
    const bool direct = d.in.capacity() - old >= kStackChunk;
    if (direct) d.in.resize(d.in.capacity());
    iovec iov{direct ? d.in.data() + old : chunk, direct ? d.in.size() - old : sizeof chunk};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 253)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    if (direct) {
      d.in.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
    } else if (n > 0) {
      d.in.insert(d.in.end(), chunk, chunk + n);
    }
    if (n >= 0) {
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
          std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
          for (std::size_t i = 0; i < count; ++i) {
            int x;
            std::memcpy(&x, CMSG_DATA(c) + i * sizeof(int), sizeof x);
            d.inFds.push_back(x);
          }
        }
      }
      if ((msg.msg_flags & MSG_CTRUNC) || d.inFds.size() > kMaxHeldDescriptors) {
        malformedInput("too many descriptors received", true);
        return -1;
      }
    }
    const ChannelError ended = role_ == Role::Client ? ChannelError::ConnectionInterrupted
                                                     : ChannelError::ConnectionInvalid;
    if (n == 0) {
      if (!processInput()) return -1;
      disconnected(ended, true);
      return -1;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        drained = true;
        break;
      }
      disconnected(ended, true);
      return -1;
    }
    total += static_cast<std::size_t>(n);
    if (!processInput()) return -1;
    // Less than there was room for: the socket is drained for now, and a
    // read more would only answer EAGAIN (what comes later reports anew).
    if (shortReadDrains && static_cast<std::size_t>(n) < iov.iov_len) drained = true;
  }
  watchFrameInProgress();
  return drained ? 0 : 1;
}

// Input mutex held. A peer gets kPeerFrameTimeout seconds to complete a frame it has
// started: a sender that trickles bytes cannot hold its connection (and its
// buffer) forever.
void Connection::watchFrameInProgress() {
  auto& d = *impl_;
  if (role_ != Role::Peer) return;
  if (d.in.size() == d.inOffset) {
    ++d.frameToken;  // nothing in progress
    return;
  }
  if (d.frameTimerArmed) return;
  d.frameTimerArmed = true;
  const std::uint64_t token = d.frameToken;
  std::weak_ptr<Connection> weak = weak_from_this();
  ioQueue()->after(kPeerFrameTimeout, [weak, token] {
    auto self = weak.lock();
    if (!self) return;
    auto& dd = *self->impl_;
    std::lock_guard<std::mutex> input(dd.inputMutex);
    dd.frameTimerArmed = false;
    {
      std::lock_guard<std::mutex> lock(dd.mutex);
      if (dd.state != State::Connected) return;
    }
    if (dd.frameToken == token && dd.in.size() != dd.inOffset) {
      self->malformedInput("frame not completed in time", true);
      return;
    }
    self->watchFrameInProgress();
  });
}

// io queue, or with the input mutex held (`inputHeld`).
void Connection::malformedInput(const std::string& reason, bool inputHeld) {
  PeerFaultLog::malformedInput(name_, reason);
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->state == State::Invalid) return;
    impl_->malformed = true;
  }
  disconnected(ChannelError::ConnectionInvalid, inputHeld);
}

void Connection::cancelForMalformedInput(const std::string& reason) {
  auto self = shared_from_this();
  ioQueue()->async([self, reason] { self->malformedInput(reason, false); });
}

bool Connection::refusedUnprivilegedService() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->refusedUnprivileged;
}

bool Connection::endedByMalformedInput() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->malformed;
}

bool Connection::isInvalid() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->state == State::Invalid;
}

// Input mutex held. Parses every complete frame; false when the connection
// ended.
bool Connection::processInput() {
  auto& d = *impl_;
  // What one pass decodes is posted together: the events in one block on
  // the target queue, the replies in one block per run of replies bound for
  // the same queue, each still handled one at a time and in order. A pass
  // that decodes one event or one reply (the usual case) posts it as it is.
  ChannelValue loneEvent;
  std::vector<ChannelValue> events;
  struct LoneReply {
    Pending pending;
    ChannelValue reply;
  };
  std::optional<LoneReply> loneReply;
  struct Replies {
    dispatch::QueuePtr queue;
    std::vector<std::pair<ReplyHandler, ChannelValue>> items;
  };
  std::vector<Replies> replies;
  auto addEvent = [&](ChannelValue event) {
    if (!loneEvent && events.empty()) {
      loneEvent = std::move(event);
      return;
    }
    if (loneEvent) events.push_back(std::exchange(loneEvent, ChannelValue()));
    events.push_back(std::move(event));
  };
  auto addToRun = [&](Pending pending, ChannelValue reply) {
    if (replies.empty() || replies.back().queue != pending.queue) {
      replies.push_back(Replies{std::move(pending.queue), {}});
    }
    replies.back().items.emplace_back(std::move(pending.handler), std::move(reply));
  };
  auto addReply = [&](Pending pending, ChannelValue reply) {
    if (!loneReply && replies.empty()) {
      loneReply.emplace(LoneReply{std::move(pending), std::move(reply)});
      return;
    }
    if (loneReply) {
      addToRun(std::move(loneReply->pending), std::move(loneReply->reply));
      loneReply.reset();
    }
    addToRun(std::move(pending), std::move(reply));
  };
  auto post = [&] {
    if (loneEvent) deliver(std::exchange(loneEvent, ChannelValue()), false);
    if (!events.empty()) deliverAll(std::move(events));
    if (loneReply) {
      loneReply->pending.queue->async(
          [handler = std::move(loneReply->pending.handler),
           reply = std::move(loneReply->reply)]() mutable { handler(reply); });
      loneReply.reset();
    }
    for (auto& r : replies) {
      r.queue->async([items = std::move(r.items)]() mutable {
        for (auto& [handler, reply] : items) {
          handler(reply);
          handler = nullptr;
        }
      });
    }
    events.clear();
    replies.clear();
  };
  auto fail = [&](const std::string& reason) {
    post();  // what came before the fault still counts
    malformedInput(reason, true);
    return false;
  };
  while (d.in.size() - d.inOffset >= wire::kHeaderSize) {
    const std::uint8_t* p = d.in.data() + d.inOffset;
    wire::FrameHeader h;
    std::string reason;
    bool ok = wire::readHeader(p, &h, &reason);
    if (ok && d.inFds.size() < h.descriptorCount) {
      ok = false;
      reason = "descriptors missing";
    }
    if (ok && role_ == Role::Peer && h.length > kMaxPeerFrame) {
      ok = false;
      reason = "frame too large";
    }
    if (!ok) return fail(reason);
    if (d.in.size() - d.inOffset < wire::kHeaderSize + h.length) break;
    std::vector<int> fds(d.inFds.begin(), d.inFds.begin() + h.descriptorCount);
    d.inFds.erase(d.inFds.begin(), d.inFds.begin() + h.descriptorCount);
    if (d.inFds.empty()) std::vector<int>().swap(d.inFds);
    auto value = wire::decode(p + wire::kHeaderSize, h.length, fds, &reason);
    for (int fd : fds) ::close(fd);
    d.inOffset += wire::kHeaderSize + h.length;
    if (!value || value->type() != ChannelType::Dictionary) {
      if (value) reason = "frame is not a dictionary";
      return fail(reason);
    }
    if (role_ == Role::Peer && !d.served) {
      // Served: the listener no longer counts it against its user.
      d.served = true;
      std::shared_ptr<void> place;  // given back after the lock, below
      std::lock_guard<std::mutex> lock(d.mutex);
      place.swap(d.untilServed);
    }
    if (h.kind == wire::FrameKind::Reply) {
      Pending pending;
      {
        std::lock_guard<std::mutex> lock(d.mutex);
        auto it = d.pending.find(h.serial);
        if (it == d.pending.end()) continue;  // nobody waits for it
        pending = std::move(it->second);
        d.pending.erase(it);
      }
      addReply(std::move(pending), std::move(*value));
      continue;
    }
    if (h.wantsReply) value->setReplyContext(ReplyContext{weak_from_this(), h.serial});
    addEvent(std::move(*value));
  }
  post();
  return true;
}

// Posts received events (not final) to the target queue in one block.
void Connection::deliverAll(std::vector<ChannelValue> events) {
  auto self = shared_from_this();
  dispatch::QueuePtr target;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    target = targetLocked();
  }
  target->async([self, events = std::move(events)] {
    for (const ChannelValue& event : events) {
      EventHandler handler;
      {
        std::lock_guard<std::mutex> lock(self->impl_->mutex);
        handler = self->impl_->handler;
      }
      if (handler) handler(event);
    }
  });
}

void Connection::deliver(const ChannelValue& event, bool final) {
  auto self = shared_from_this();
  dispatch::QueuePtr target;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    target = targetLocked();
  }
  target->async([self, event, final] {
    EventHandler handler;
    {
      std::lock_guard<std::mutex> lock(self->impl_->mutex);
      handler = self->impl_->handler;
      if (final) self->impl_->handler = nullptr;
    }
    if (handler) handler(event);
  });
}

// io queue, or with the input mutex held (`inputHeld`): the input side is
// then settled, so no event of this socket can follow the error event.
void Connection::disconnected(ChannelError error, bool inputHeld) {
  auto& d = *impl_;
  std::unique_lock<std::mutex> input(d.inputMutex, std::defer_lock);
  if (!inputHeld) input.lock();
  std::map<std::uint64_t, Pending> pending;
  FrameQueue dropped;
  std::shared_ptr<InputWatcher> reader;
  std::shared_ptr<void> untilServed;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.state == State::Invalid) return;
    untilServed.swap(d.untilServed);
    d.state = error == ChannelError::ConnectionInvalid ? State::Invalid : State::Interrupted;
    if (d.reader) dispatch::detail::Reactor::instance().unwatch(d.reader->sock->fd, d.reader.get());
    reader.swap(d.reader);
    if (d.writeSource) {
      d.writeSource->cancel();
      if (!d.writeArmed) d.writeSource->resume();
    }
    d.writeSource.reset();
    d.readHandedOff = d.writeArmed = false;
    d.sock.reset();
    pending.swap(d.pending);
    dropped.swap(d.outbound);
  }
  for (int fd : d.inFds) ::close(fd);
  std::vector<int>().swap(d.inFds);
  std::vector<std::uint8_t>().swap(d.in);
  d.inOffset = 0;
  ChannelValue err = ChannelValue::error(error);
  for (auto& [serial, p] : pending) {
    auto h = std::move(p.handler);
    p.queue->async([h, err] { h(err); });
  }
  deliver(err, error == ChannelError::ConnectionInvalid);
}

// ---------------------------------------------------------------------------

std::shared_ptr<Listener> Listener::createMachService(const std::string& name,
                                                      dispatch::QueuePtr queue, Error* error) {
  std::string path = socketPathForService(name);
  if (path.empty()) {
    if (error) {
      *error = Error(kServiceErrorDomain, 1,
                     Value::dictionary({{kLocalizedDescriptionKey,
                                         "No socket path for service \"" + name + "\""}}));
    }
    return nullptr;
  }
  int fd = takeActivatedListener();
  if (fd >= 0) {
    auto l = std::shared_ptr<Listener>(new Listener());
    l->name_ = name;
    l->path_ = path;
    l->fd_ = fd;
    l->queue_ = queue ? queue : dispatch::Queue::createSerial(name);
    int fl = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    return l;
  }
  paths::createDirectories(paths::runtime(), 0755);
  return createWithSocketPath(name, path, std::move(queue), error);
}

int bindServiceSocket(const std::string& path, Error* error) {
  sockaddr_un addr;
  auto fail = [&](int err) {
    if (error) *error = Error::posix(err, path);
    return -1;
  };
  if (!fillAddress(path, &addr)) return fail(ENAMETOOLONG);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return fail(errno);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EADDRINUSE) {
      int e = errno;
      ::close(fd);
      return fail(e);
    }
    // Replace a stale socket file, but never one that a live service answers on.
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool live =
        probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) ::close(probe);
    struct stat st {};
    if (live || ::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
      ::close(fd);
      return fail(EADDRINUSE);
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      int e = errno;
      ::close(fd);
      return fail(e);
    }
  }
  // Anyone may connect; the service decides whom it serves from the peer's
  // credentials.
  ::chmod(path.c_str(), 0666);
  if (::listen(fd, SOMAXCONN) != 0) {
    int e = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return fail(e);
  }
  return fd;
}

std::shared_ptr<Listener> Listener::createWithSocketPath(const std::string& name,
                                                         const std::string& path,
                                                         dispatch::QueuePtr queue, Error* error) {
  int fd = bindServiceSocket(path, error);
  if (fd < 0) return nullptr;
  auto l = std::shared_ptr<Listener>(new Listener());
  l->name_ = name;
  l->path_ = path;
  l->fd_ = fd;
  l->ownsPath_ = true;
  l->queue_ = queue ? queue : dispatch::Queue::createSerial(name);
  return l;
}

Listener::~Listener() {
  cancel();
  if (fd_ >= 0 && !source_) ::close(fd_);
}

void Listener::setPeerHandler(PeerHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

void Listener::resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (source_ || cancelled_ || fd_ < 0) return;
  source_ = dispatch::Source::read(fd_, queue_);
  std::weak_ptr<Listener> weak = weak_from_this();
  source_->setEventHandler([weak] {
    if (auto self = weak.lock()) self->acceptPeers();
  });
  int fd = fd_;
  source_->setCancelHandler([fd] { ::close(fd); });
  source_->resume();
}

void Listener::cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled_) return;
  cancelled_ = true;
  if (ownsPath_) ::unlink(path_.c_str());
  if (source_) {
    source_->cancel();
  } else if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = -1;
  handler_ = nullptr;
}

// The unserved connections of each user, shared with the connections'
// tokens (which may outlive the listener).
struct Listener::Unserved {
  std::mutex mutex;
  std::map<uid_t, std::size_t> byUser;
  std::map<pid_t, std::size_t> byProcess;
};

namespace {

// Held by a connection while it is unserved; gives its place back when it
// goes.
struct UnservedToken {
  std::shared_ptr<Listener::Unserved> counts;
  uid_t uid;
  pid_t pid;
  ~UnservedToken();
};

template <class Map, class Key>
void giveBack(Map& map, const Key& key) {
  auto it = map.find(key);
  if (it != map.end() && --it->second == 0) map.erase(it);
}

}  // namespace

UnservedToken::~UnservedToken() {
  std::lock_guard<std::mutex> lock(counts->mutex);
  giveBack(counts->byUser, uid);
  giveBack(counts->byProcess, pid);
}

void Listener::setPeerFilter(PeerFilter filter) {
  std::lock_guard<std::mutex> lock(mutex_);
  filter_ = std::move(filter);
}

void Listener::setUnservedLimitPerUser(std::size_t perUser, std::size_t perProcess) {
  std::lock_guard<std::mutex> lock(mutex_);
  unservedLimit_ = perUser;
  unservedProcessLimit_ = perProcess;
  if ((perUser > 0 || perProcess > 0) && !unserved_) unserved_ = std::make_shared<Unserved>();
}

std::size_t Listener::unservedCount(uid_t uid) const {
  std::shared_ptr<Unserved> unserved;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unserved = unserved_;
  }
  if (!unserved) return 0;
  std::lock_guard<std::mutex> lock(unserved->mutex);
  auto it = unserved->byUser.find(uid);
  return it == unserved->byUser.end() ? 0 : it->second;
}

void Listener::acceptPeers() {
  PeerHandler handler;
  PeerFilter filter;
  std::size_t limit, processLimit;
  std::shared_ptr<Unserved> unserved;
  int lfd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) return;
    handler = handler_;
    filter = filter_;
    limit = unservedLimit_;
    processLimit = unservedProcessLimit_;
    unserved = unserved_;
    lfd = fd_;
  }
  // A bounded turn: the source fires again while peers wait, after what
  // else the queue holds.
  for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (cancelled_) return;
    }
    int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: pause instead of spinning on the pending peer.
        std::lock_guard<std::mutex> lock(mutex_);
        if (source_ && !cancelled_) {
          source_->suspend();
          auto source = source_;
          queue_->after(0.1, [source] { source->resume(); });
        }
      }
      return;
    }
    PeerCredentials credentials = PeerCredentials::fromSocket(fd);
    if (filter && !filter(credentials)) {
      ::close(fd);
      PeerFaultLog::refusedPeer(name_, credentials, PeerFaultLog::Refusal::NotAdmitted);
      continue;
    }
    std::shared_ptr<void> token;
    if (unserved && credentials.valid && credentials.uid != 0) {
      bool over = false;
      {
        std::lock_guard<std::mutex> lock(unserved->mutex);
        auto user = unserved->byUser.find(credentials.uid);
        auto process = unserved->byProcess.find(credentials.pid);
        over = (limit > 0 && user != unserved->byUser.end() && user->second >= limit) ||
               (processLimit > 0 && process != unserved->byProcess.end() &&
                process->second >= processLimit);
        if (!over) {
          ++unserved->byUser[credentials.uid];
          ++unserved->byProcess[credentials.pid];
        }
      }
      if (over) {
        ::close(fd);
        PeerFaultLog::refusedPeer(name_, credentials, PeerFaultLog::Refusal::OverTheLimit);
        continue;
      }
      token = std::shared_ptr<UnservedToken>(
          new UnservedToken{unserved, credentials.uid, credentials.pid});
    }
    auto peer = Connection::adoptPeer(fd, name_, std::move(credentials), std::move(token));
    if (handler) {
      handler(peer);
    } else {
      peer->cancel();
    }
  }
}

}  // namespace platform::xpc
