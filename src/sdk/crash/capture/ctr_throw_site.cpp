#include "sdk/crash/capture/ctr_throw_site.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <atomic>
#include <typeinfo>

namespace {

using CxaThrow = void (*)(void*, std::type_info*, void (*)(void*));

std::atomic<CxaThrow> gNextCxaThrow{nullptr};

struct ThrowSite {
  const void* exception = nullptr;
  int count = 0;
  void* frames[sdk::kCTRThrowSiteMaxFrames + 1];
};

thread_local ThrowSite tLastThrow;

// The runtime's __cxa_throw (looked up once; dlsym may allocate).
CxaThrow nextCxaThrow() {
  CxaThrow next = gNextCxaThrow.load(std::memory_order_acquire);
  if (next == nullptr) {
    next = reinterpret_cast<CxaThrow>(::dlsym(RTLD_NEXT, "__cxa_throw"));
    gNextCxaThrow.store(next, std::memory_order_release);
  }
  return next;
}

}  // namespace

extern "C" [[noreturn]] void __cxa_throw(void* thrown, std::type_info* type,
                                         void (*destructor)(void*)) {
  CxaThrow next = nextCxaThrow();
  ThrowSite& site = tLastThrow;
  site.exception = nullptr;
  // The first address is inside this function; the thrower follows.
  site.count = ::backtrace(site.frames, static_cast<int>(sdk::kCTRThrowSiteMaxFrames + 1));
  site.exception = thrown;
  if (next == nullptr) __builtin_trap();
  next(thrown, type, destructor);
  __builtin_unreachable();
}

namespace sdk {

void CTRThrowSiteWarmUp() {
  nextCxaThrow();
  // backtrace() loads the unwinder library on its first call, with
  // allocations: done here, not inside the first throw.
  void* frames[4];
  [[maybe_unused]] const int count = ::backtrace(frames, 4);
  // The thread's record (thread-local storage may be set up on first use).
  [[maybe_unused]] volatile int touched = tLastThrow.count;
}

std::size_t CTRThrowSiteReturnAddresses(const void* exceptionObject, std::uintptr_t* out,
                                        std::size_t capacity) {
  const ThrowSite& site = tLastThrow;
  if (exceptionObject == nullptr || site.exception != exceptionObject || site.count <= 1) {
    return 0;
  }
  // The thrower follows this file's __cxa_throw; the frames before it (the
  // capture itself, or a sanitizer's interceptor of it) are not the throw's.
  int first = 1;
  for (int i = 0; i < site.count && i < 4; ++i) {
    Dl_info info{};
    if (::dladdr(site.frames[i], &info) != 0 &&
        info.dli_saddr == reinterpret_cast<void*>(&__cxa_throw)) {
      first = i + 1;
    }
  }
  std::size_t n = 0;
  for (int i = first; i < site.count && n < capacity; ++i) {
    out[n++] = reinterpret_cast<std::uintptr_t>(site.frames[i]);
  }
  return n;
}

}  // namespace sdk
