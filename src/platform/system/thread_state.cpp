#include "platform/system/thread_state.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace platform {

namespace {

enum SlotState : int {
  kSlotFree = 0,
  kSlotPending = 1,   // the signal was sent; no answer yet
  kSlotCaptured = 2,  // the thread stored its registers and waits
  kSlotReleased = 3,  // given up on, or released by the resume
  kSlotGone = 4,      // the signal could not be sent
};

struct Slot {
  std::atomic<pid_t> thread;
  std::atomic<int> state;
  ThreadRegisters registers;
};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free,
              "the suspend handshake must be lock-free to be async-signal-safe");

Slot gSlots[kThreadStateMaxThreads];
std::atomic<int> gSlotCount{0};
// Bumped by every resume; a stopped thread waits (futex) until it changes.
std::atomic<std::uint32_t> gSession{0};
// Threads inside the suspend handler that have captured and not yet left.
std::atomic<int> gWaiting{0};
std::atomic<bool> gActive{false};
std::atomic<bool> gPrepared{false};

long rawFutex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value,
              const struct timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr, 0);
}

std::uint64_t monotonicMilliseconds() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void sleepNanoseconds(long nanoseconds) {
  struct timespec delay {
    0, nanoseconds
  };
  nanosleep(&delay, nullptr);
}

void suspendHandler(int, siginfo_t*, void* userContext) {
  const int savedErrno = errno;
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  // Read before looking at the slot: a resume marks the slots first and
  // bumps the session afterwards, so a slot still pending here belongs to
  // this session.
  const std::uint32_t session = gSession.load(std::memory_order_acquire);
  const int count = gSlotCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) {
    Slot& slot = gSlots[i];
    if (slot.thread.load(std::memory_order_acquire) != self) continue;
    if (slot.state.load(std::memory_order_acquire) != kSlotPending) break;
    ThreadRegistersFromUContext(static_cast<const ucontext_t*>(userContext), &slot.registers);
    gWaiting.fetch_add(1, std::memory_order_acq_rel);
    int expected = kSlotPending;
    if (slot.state.compare_exchange_strong(expected, kSlotCaptured, std::memory_order_acq_rel)) {
      const std::uint64_t deadline =
          monotonicMilliseconds() +
          static_cast<std::uint64_t>(kThreadStateMaxSuspendSeconds) * 1000u;
      while (gSession.load(std::memory_order_acquire) == session &&
             monotonicMilliseconds() < deadline) {
        struct timespec wait {
          0, 100 * 1000 * 1000
        };
        rawFutex(&gSession, FUTEX_WAIT_PRIVATE, session, &wait);
      }
    }
    gWaiting.fetch_sub(1, std::memory_order_acq_rel);
    break;
  }
  errno = savedErrno;
}

Slot* slotFor(pid_t thread) {
  const int count = gSlotCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) {
    if (gSlots[i].thread.load(std::memory_order_acquire) == thread) return &gSlots[i];
  }
  return nullptr;
}

bool parseThreadID(const char* name, pid_t* out) {
  if (name[0] == '\0') return false;
  long value = 0;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > 0x7fffffff) return false;
  }
  *out = static_cast<pid_t>(value);
  return true;
}

struct LinuxDirent64 {
  std::uint64_t d_ino;
  std::int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

// "/proc/self/task/<thread>/<file>" into `path` (64 bytes).
void taskFilePath(pid_t thread, const char* file, char* path) {
  const char* prefix = "/proc/self/task/";
  std::size_t length = 0;
  for (const char* p = prefix; *p != '\0'; ++p) path[length++] = *p;
  char digits[12];
  int count = 0;
  unsigned value = static_cast<unsigned>(thread);
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && count < 11);
  while (count > 0) path[length++] = digits[--count];
  path[length++] = '/';
  for (const char* p = file; *p != '\0' && length < 63; ++p) path[length++] = *p;
  path[length] = '\0';
}

// Reads a small file into `buffer` (terminated); the length or -1.
long readSmall(const char* path, char* buffer, std::size_t size) {
  const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
  if (fd < 0) return -1;
  long got = -1;
  do {
    got = syscall(SYS_read, fd, buffer, size - 1);
  } while (got < 0 && errno == EINTR);
  syscall(SYS_close, fd);
  buffer[got < 0 ? 0 : got] = '\0';
  return got;
}

}  // namespace

bool ThreadStatePrepare() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = suspendHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    gPrepared.store(sigaction(ThreadStateSuspendSignal(), &action, nullptr) == 0,
                    std::memory_order_release);
  });
  return gPrepared.load(std::memory_order_acquire);
}

bool ThreadStateIsPrepared() { return gPrepared.load(std::memory_order_acquire); }

pid_t ThreadStateCurrentThread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

int ThreadStateListThreads(pid_t* out, int capacity, int* total) {
  if (total != nullptr) *total = 0;
  const int fd = static_cast<int>(
      syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd < 0) return -1;
  alignas(8) char buffer[2048];
  int stored = 0;
  int all = 0;
  for (;;) {
    const long read = syscall(SYS_getdents64, fd, buffer, sizeof(buffer));
    if (read < 0) {
      if (errno == EINTR) continue;
      syscall(SYS_close, fd);
      return -1;
    }
    if (read == 0) break;
    for (long offset = 0; offset < read;) {
      const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
      pid_t thread = 0;
      if (parseThreadID(entry->d_name, &thread)) {
        if (stored < capacity && out != nullptr) out[stored++] = thread;
        ++all;
      }
      offset += entry->d_reclen;
    }
  }
  syscall(SYS_close, fd);
  if (total != nullptr) *total = all;
  return stored;
}

void ThreadRegistersFromUContext(const ucontext_t* context, ThreadRegisters* out) {
  if (out == nullptr) return;
  std::memset(out, 0, sizeof(*out));
  if (context == nullptr) return;
  const greg_t* g = context->uc_mcontext.gregs;
  auto r = [g](int index) { return static_cast<std::uint64_t>(g[index]); };
  out->rax = r(REG_RAX);
  out->rbx = r(REG_RBX);
  out->rcx = r(REG_RCX);
  out->rdx = r(REG_RDX);
  out->rdi = r(REG_RDI);
  out->rsi = r(REG_RSI);
  out->rbp = r(REG_RBP);
  out->rsp = r(REG_RSP);
  out->r8 = r(REG_R8);
  out->r9 = r(REG_R9);
  out->r10 = r(REG_R10);
  out->r11 = r(REG_R11);
  out->r12 = r(REG_R12);
  out->r13 = r(REG_R13);
  out->r14 = r(REG_R14);
  out->r15 = r(REG_R15);
  out->rip = r(REG_RIP);
  out->rflags = r(REG_EFL);
  // cs, gs and fs are packed into one word, 16 bits each, in that order.
  const std::uint64_t segments = r(REG_CSGSFS);
  out->cs = segments & 0xffff;
  out->gs = (segments >> 16) & 0xffff;
  out->fs = (segments >> 32) & 0xffff;
}

int ThreadStateSuspend(const pid_t* threads, int count, bool* suspended) {
  if (!ThreadStateIsPrepared() || threads == nullptr || count < 0) return -1;
  bool expected = false;
  if (!gActive.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return -1;
  if (suspended != nullptr) {
    for (int i = 0; i < count; ++i) suspended[i] = false;
  }

  const pid_t self = ThreadStateCurrentThread();
  const pid_t process = static_cast<pid_t>(syscall(SYS_getpid));
  const int signal = ThreadStateSuspendSignal();
  int slots = 0;
  gSlotCount.store(0, std::memory_order_release);
  for (int i = 0; i < count && slots < kThreadStateMaxThreads; ++i) {
    if (threads[i] == self || threads[i] <= 0) continue;
    gSlots[slots].state.store(kSlotPending, std::memory_order_relaxed);
    gSlots[slots].thread.store(threads[i], std::memory_order_relaxed);
    ++slots;
  }
  gSlotCount.store(slots, std::memory_order_release);

  for (int i = 0; i < slots; ++i) {
    if (syscall(SYS_tgkill, process, gSlots[i].thread.load(std::memory_order_relaxed), signal) !=
        0) {
      gSlots[i].state.store(kSlotGone, std::memory_order_release);
    }
  }

  const std::uint64_t deadline = monotonicMilliseconds() + kThreadStateSuspendTimeoutMilliseconds;
  for (;;) {
    bool waiting = false;
    for (int i = 0; i < slots && !waiting; ++i) {
      waiting = gSlots[i].state.load(std::memory_order_acquire) == kSlotPending;
    }
    if (!waiting || monotonicMilliseconds() >= deadline) break;
    sleepNanoseconds(50 * 1000);
  }

  int stopped = 0;
  for (int i = 0; i < slots; ++i) {
    int state = kSlotPending;
    // A thread that has not answered is given up on; its late answer finds
    // the slot released and does not stop.
    gSlots[i].state.compare_exchange_strong(state, kSlotReleased, std::memory_order_acq_rel);
    if (gSlots[i].state.load(std::memory_order_acquire) != kSlotCaptured) continue;
    ++stopped;
    if (suspended == nullptr) continue;
    const pid_t thread = gSlots[i].thread.load(std::memory_order_relaxed);
    for (int j = 0; j < count; ++j) {
      if (threads[j] == thread) suspended[j] = true;
    }
  }
  return stopped;
}

bool ThreadStateIsSuspended(pid_t thread) {
  if (!gActive.load(std::memory_order_acquire)) return false;
  const Slot* slot = slotFor(thread);
  return slot != nullptr && slot->state.load(std::memory_order_acquire) == kSlotCaptured;
}

bool ThreadStateGetRegisters(pid_t thread, ThreadRegisters* out) {
  if (out == nullptr || !ThreadStateIsSuspended(thread)) return false;
  *out = slotFor(thread)->registers;
  return true;
}

bool ThreadStateResumeAll() {
  if (!gActive.load(std::memory_order_acquire)) return false;
  const int count = gSlotCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) gSlots[i].state.store(kSlotReleased, std::memory_order_release);
  gSession.fetch_add(1, std::memory_order_acq_rel);
  rawFutex(&gSession, FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr);
  // Let the released threads leave the handler before the slots are reused.
  const std::uint64_t deadline = monotonicMilliseconds() + kThreadStateSuspendTimeoutMilliseconds;
  while (gWaiting.load(std::memory_order_acquire) > 0 && monotonicMilliseconds() < deadline) {
    sleepNanoseconds(50 * 1000);
  }
  gSlotCount.store(0, std::memory_order_release);
  gActive.store(false, std::memory_order_release);
  return true;
}

bool ThreadStateReadName(pid_t thread, char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return false;
  buffer[0] = '\0';
  char path[64];
  taskFilePath(thread, "comm", path);
  const long read = readSmall(path, buffer, size);
  if (read < 0) return false;
  std::size_t end = static_cast<std::size_t>(read);
  while (end > 0 && (buffer[end - 1] == '\n' || buffer[end - 1] == '\0')) --end;
  buffer[end] = '\0';
  return true;
}

bool ThreadStateParseBlockedRegisters(const char* text, ThreadRegisters* out) {
  if (text == nullptr || out == nullptr) return false;
  std::uint64_t values[9] = {};
  int count = 0;
  const char* p = text;
  while (*p != '\0' && count < 9) {
    while (*p == ' ' || *p == '\n') ++p;
    if (*p == '\0') break;
    bool negative = false;
    if (*p == '-') {
      negative = true;
      ++p;
    }
    int base = 10;
    if (p[0] == '0' && p[1] == 'x') {
      base = 16;
      p += 2;
    }
    std::uint64_t value = 0;
    bool digits = false;
    for (;; ++p) {
      int digit = -1;
      if (*p >= '0' && *p <= '9') digit = *p - '0';
      if (base == 16 && *p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
      if (digit < 0) break;
      value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
      digits = true;
    }
    if (!digits || (*p != ' ' && *p != '\n' && *p != '\0')) return false;  // "running"
    values[count++] =
        negative ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(value)) : value;
  }
  // "<nr> <six arguments> <sp> <pc>" in a system call, "-1 <sp> <pc>" when
  // blocked outside one.
  if (count != 9 && count != 3) return false;
  std::memset(out, 0, sizeof(*out));
  out->rsp = values[count - 2];
  out->rip = values[count - 1];
  return out->rsp != 0 && out->rip != 0;
}

bool ThreadStateReadBlockedRegisters(pid_t thread, ThreadRegisters* out) {
  if (out == nullptr || thread <= 0) return false;
  char path[64];
  taskFilePath(thread, "syscall", path);
  char text[256];
  if (readSmall(path, text, sizeof(text)) <= 0) return false;
  return ThreadStateParseBlockedRegisters(text, out);
}

}  // namespace platform
