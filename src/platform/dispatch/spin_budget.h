// SpinBudget: how long a thread that has just done work polls for more
// before it goes to sleep, and cpuRelax, the pause inside such a poll.
//
// A reply to work a thread has just handed over usually comes back within
// a few hundred microseconds; polling for it saves waking the thread, which
// costs tens of microseconds. The budget adapts: a poll that found work
// after `waited` µs sets it to twice that (never lower than it was, never
// above the maximum), one that found none halves it, and every 16th poll
// tries the maximum again, so a thread whose work comes slower polls
// little and an idle thread sleeps at once.
//
// Thread safety: none; each polling thread (or the lock it polls under)
// owns its budget.
#pragma once

#include <algorithm>

namespace platform::dispatch {

class SpinBudget {
 public:
  static constexpr int kMaxMicros = 200;

  explicit SpinBudget(int initialMicros = 0) : budget_(initialMicros) {}

  // The length of the next poll, in microseconds.
  int next() { return polls_++ % kProbeEvery == 0 ? kMaxMicros : budget_; }
  // The poll found work after `waitedMicros`.
  void found(int waitedMicros) { budget_ = std::clamp(2 * waitedMicros + 2, budget_, kMaxMicros); }
  // The poll ran its whole length and found nothing.
  void missed() { budget_ /= 2; }

 private:
  static constexpr unsigned kProbeEvery = 16;
  int budget_;
  unsigned polls_ = 0;
};

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace platform::dispatch
