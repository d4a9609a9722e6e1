#include "sdk/crash/capture/ctr_thread_start.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "platform/dispatch/thread_crash_info.h"

namespace {

using PthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

std::atomic<PthreadCreate> gNextPthreadCreate{nullptr};
std::atomic<bool> gWrapperUsed{false};

PthreadCreate nextPthreadCreate() {
  PthreadCreate next = gNextPthreadCreate.load(std::memory_order_acquire);
  if (next == nullptr) {
    next = reinterpret_cast<PthreadCreate>(::dlsym(RTLD_NEXT, "pthread_create"));
    gNextPthreadCreate.store(next, std::memory_order_release);
  }
  return next;
}

struct StartRecord {
  void* (*routine)(void*);
  void* argument;
};

void* startWithAlternateStack(void* opaque) {
  StartRecord* record = static_cast<StartRecord*>(opaque);
  void* (*routine)(void*) = record->routine;
  void* argument = record->argument;
  delete record;
  gWrapperUsed.store(true, std::memory_order_relaxed);
  ::platform::dispatch::ensureAlternateSignalStack();
  return routine(argument);
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*routine)(void*), void* argument) noexcept {
  const PthreadCreate next = nextPthreadCreate();
  if (next == nullptr) return EAGAIN;
  auto* record = new (std::nothrow) StartRecord{routine, argument};
  if (record == nullptr) return next(thread, attributes, routine, argument);
  const int result = next(thread, attributes, &startWithAlternateStack, record);
  if (result != 0) delete record;
  return result;
}

namespace sdk {

bool CTRThreadStartWrapperWasUsed() { return gWrapperUsed.load(std::memory_order_relaxed); }

}  // namespace sdk
