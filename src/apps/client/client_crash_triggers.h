// Test-only crash triggers of the client, compiled in only when
// VARNEL_CLIENT_CRASH_TRIGGERS is defined (the "crash-test client" target
// that tests/sdk builds; never the shipped program). The hidden argument
// "--crash-for-testing=<kind>" arms one trigger; it fires on the main
// queue once crash reporting has started and finished its launch set-up:
//   segv                 a write through a bad pointer on the main thread
//   main-stack-overflow  unbounded recursion on the main thread
//   worker-exception     an uncaught C++ exception on a dispatch worker
//   qt-thread-stack-overflow
//                        unbounded recursion on a thread that Qt starts
//                        itself (a QThread: the library's own
//                        pthread_create call, not the project's)
#pragma once

#include <unistd.h>

#include <QThread>
#include <QTimer>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "sdk/crash/crashtrail.h"
#include "sdk/crash/ctr_crash_reporting_controller.h"

namespace varnel_test {

__attribute__((noinline)) void varnelCrashTestSegfault() {
  static volatile std::uintptr_t address = 16;
  *reinterpret_cast<volatile int*>(address) = 1;
}

// Unbounded on purpose; the volatile limit keeps the compiler from seeing it.
inline volatile int gRecursionLimit = 1 << 30;
__attribute__((noinline)) int varnelCrashTestRecurse(int depth) {
  volatile char pad[512];
  pad[depth % sizeof(pad)] = static_cast<char>(depth);
  if (depth >= gRecursionLimit) return pad[0];
  return varnelCrashTestRecurse(depth + 1) + pad[0];
}

__attribute__((noinline)) void varnelCrashTestThrow() {
  throw std::runtime_error("crash test: uncaught on a worker");
}

inline void fireCrash(const std::string& kind) {
  if (kind == "segv") {
    varnelCrashTestSegfault();
  } else if (kind == "main-stack-overflow") {
    varnelCrashTestRecurse(0);
  } else if (kind == "worker-exception") {
    platform::dispatch::Queue::global()->async([] { varnelCrashTestThrow(); });
  } else if (kind == "qt-thread-stack-overflow") {
    QThread* thread = QThread::create([] { varnelCrashTestRecurse(0); });
    thread->start();
  }
}

inline void armCrashTrigger(int argc, char** argv) {
  std::string kind;
  const char* prefix = "--crash-for-testing=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0)
      kind = argv[i] + std::strlen(prefix);
  }
  if (kind.empty()) return;
  auto* timer = new QTimer();
  QObject::connect(timer, &QTimer::timeout, [timer, kind] {
    auto kit = sdk::Crashtrail::sharedInstance();
    auto controller = kit ? kit->crashReportingController() : nullptr;
    if (!kit || !kit->isCrashtrailStarted() || !controller) return;
    const std::string marker = controller->launchMarkerPath();
    if (::access(marker.c_str(), F_OK) == 0) return;
    timer->stop();
    fireCrash(kind);
  });
  timer->start(50);
}

}  // namespace varnel_test
