#include "platform/dispatch/thread_crash_info.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/dispatch/internal.h"

namespace platform {

int ThreadStateSuspendSignal() { return SIGRTMIN + kThreadStateSuspendSignalOffset; }

}  // namespace platform

namespace platform::dispatch {

namespace {

constexpr const char* kMainThreadLabel = "com.apple.main-thread";

// --- alternate signal stacks -------------------------------------------------------

std::mutex& freeStacksMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
// Stacks of threads that ended, for the next threads (never unmapped).
std::vector<void*>& freeStacks() {
  static auto* stacks = new std::vector<void*>;
  return *stacks;
}

std::size_t pageSize() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// A stack of kAlternateSignalStackSize bytes above a guard page; nullptr
// when it cannot be mapped. Returns the usable base.
void* takeStack() {
  {
    std::lock_guard lock(freeStacksMutex());
    if (!freeStacks().empty()) {
      void* stack = freeStacks().back();
      freeStacks().pop_back();
      return stack;
    }
  }
  const std::size_t guard = pageSize();
  void* mapping = ::mmap(nullptr, kAlternateSignalStackSize + guard, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  // A handler that overruns its stack faults on the guard page instead of
  // writing over whatever lies below.
  ::mprotect(mapping, guard, PROT_NONE);
  return static_cast<char*>(mapping) + guard;
}

struct ThreadSignalStack {
  void* stack = nullptr;
  stack_t previous{};
  bool hadPrevious = false;
  ~ThreadSignalStack() {
    if (stack == nullptr) return;
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == stack &&
        (current.ss_flags & SS_ONSTACK) == 0) {
      if (hadPrevious) {
        ::sigaltstack(&previous, nullptr);
      } else {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
      }
    }
    std::lock_guard lock(freeStacksMutex());
    freeStacks().push_back(stack);
  }
};

thread_local ThreadSignalStack tSignalStack;

// --- queue labels --------------------------------------------------------------------

struct LabelSlot {
  std::atomic<pid_t> tid{0};
  std::atomic<std::uint32_t> sequence{0};  // odd while the label is written
  std::atomic<char> label[kThreadQueueLabelLength];
};

LabelSlot* labelSlots() {
  static auto* slots = new LabelSlot[kThreadQueueLabelSlots];
  return slots;
}

pid_t currentTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

struct ThreadLabelSlot {
  LabelSlot* slot = nullptr;
  bool claimed = false;
  ~ThreadLabelSlot() {
    if (slot != nullptr) slot->tid.store(0, std::memory_order_release);
  }
  LabelSlot* get() {
    if (claimed) return slot;
    claimed = true;
    const pid_t self = currentTid();
    LabelSlot* slots = labelSlots();
    for (std::size_t i = 0; i < kThreadQueueLabelSlots; ++i) {
      pid_t expected = 0;
      if (slots[i].tid.compare_exchange_strong(expected, self, std::memory_order_acq_rel)) {
        slot = &slots[i];
        slot->label[0].store('\0', std::memory_order_relaxed);
        break;
      }
    }
    return slot;
  }
};

thread_local ThreadLabelSlot tLabelSlot;

void copyLabel(const char* text, char* out, std::size_t capacity) {
  std::size_t i = 0;
  for (; text != nullptr && text[i] != '\0' && i + 1 < capacity; ++i) out[i] = text[i];
  out[i] = '\0';
}

}  // namespace

bool ensureAlternateSignalStack() {
  if (tSignalStack.stack != nullptr) return true;
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
      current.ss_sp != nullptr && current.ss_size >= kAlternateSignalStackSize) {
    return true;  // someone else's, large enough
  }
  void* stack = takeStack();
  if (stack == nullptr) return false;
  stack_t ours{};
  ours.ss_sp = stack;
  ours.ss_size = kAlternateSignalStackSize;
  ours.ss_flags = 0;
  stack_t previous{};
  if (::sigaltstack(&ours, &previous) != 0) {
    std::lock_guard lock(freeStacksMutex());
    freeStacks().push_back(stack);
    return false;
  }
  tSignalStack.stack = stack;
  tSignalStack.hadPrevious = (previous.ss_flags & SS_DISABLE) == 0 && previous.ss_sp != nullptr;
  if (tSignalStack.hadPrevious) {
    tSignalStack.previous = previous;
    tSignalStack.previous.ss_flags = 0;
  }
  return true;
}

void setCurrentThreadQueueLabel(const char* label) {
  LabelSlot* slot = tLabelSlot.get();
  if (slot == nullptr) return;
  if (label == nullptr && detail::isMainThread()) label = kMainThreadLabel;
  slot->sequence.fetch_add(1, std::memory_order_acq_rel);
  std::size_t i = 0;
  for (; label != nullptr && label[i] != '\0' && i + 1 < kThreadQueueLabelLength; ++i) {
    slot->label[i].store(label[i], std::memory_order_relaxed);
  }
  slot->label[i].store('\0', std::memory_order_relaxed);
  slot->sequence.fetch_add(1, std::memory_order_release);
}

bool readThreadQueueLabel(pid_t tid, char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return false;
  out[0] = '\0';
  if (tid <= 0) return false;
  LabelSlot* slots = labelSlots();
  for (std::size_t i = 0; i < kThreadQueueLabelSlots; ++i) {
    if (slots[i].tid.load(std::memory_order_acquire) != tid) continue;
    // A thread stopped in the middle of a write leaves an odd sequence: the
    // text may be half old, half new, but it is always terminated.
    const std::size_t limit =
        capacity < kThreadQueueLabelLength ? capacity : kThreadQueueLabelLength;
    std::size_t n = 0;
    for (; n + 1 < limit; ++n) {
      const char c = slots[i].label[n].load(std::memory_order_relaxed);
      if (c == '\0') break;
      out[n] = c;
    }
    out[n] = '\0';
    return true;
  }
  if (tid == ::getpid()) {
    copyLabel(kMainThreadLabel, out, capacity);
    return true;
  }
  return false;
}

}  // namespace platform::dispatch
