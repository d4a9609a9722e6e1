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
//   abort                std::abort() on the main thread
//   null-call            a call through a null function pointer
//   entry-fault          a fault at the first instruction of a function
//   std-thread-stack-overflow
//                        unbounded recursion on a plain std::thread
//   two-threads          two threads writing through a bad pointer at once
//   exception-and-fault  an uncaught exception on one thread while another
//                        faults
//   quit                 no crash: the application quits through its Quit
//                        command, and at exit the program writes to stderr
//                        how often the termination notification was posted
//                        ("termination announced N time(s)")
#pragma once

#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/ui/app_delegate.h"
#include "platform/dispatch/dispatch.h"
#include "platform/system/notification_center.h"
#include "sdk/analytics/tly_tally_controller.h"
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

__attribute__((noinline)) void varnelCrashTestAbort() {
  std::abort();
  __asm__ volatile("" ::: "memory");
}

__attribute__((noinline)) void varnelCrashTestCallNull() {
  void (*volatile function)() = nullptr;
  function();
  __asm__ volatile("" ::: "memory");  // no tail call: this frame stays
}

#if defined(__x86_64__)
// Its very first instruction is invalid.
extern "C" __attribute__((naked, noinline)) void varnelCrashTestFaultAtEntry() {
  __asm__ volatile("ud2");
}
#else
extern "C" __attribute__((noinline)) void varnelCrashTestFaultAtEntry() { __builtin_trap(); }
#endif

__attribute__((noinline)) void varnelCrashTestCallFaultAtEntry() {
  varnelCrashTestFaultAtEntry();
  __asm__ volatile("" ::: "memory");
}

// Starts `count` threads that run `body` at the same moment.
inline void varnelCrashTestTogether(std::vector<void (*)()> bodies) {
  static std::atomic<int> ready{0};
  static std::atomic<bool> go{false};
  for (auto body : bodies) {
    std::thread([body] {
      ready.fetch_add(1);
      while (!go.load()) {
      }
      body();
    }).detach();
  }
  const int count = static_cast<int>(bodies.size());
  while (ready.load() < count) std::this_thread::yield();
  go.store(true);
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
  } else if (kind == "abort") {
    varnelCrashTestAbort();
  } else if (kind == "null-call") {
    varnelCrashTestCallNull();
  } else if (kind == "entry-fault") {
    varnelCrashTestCallFaultAtEntry();
  } else if (kind == "std-thread-stack-overflow") {
    std::thread([] { varnelCrashTestRecurse(0); }).detach();
  } else if (kind == "two-threads") {
    varnelCrashTestTogether({&varnelCrashTestSegfault, &varnelCrashTestSegfault});
  } else if (kind == "exception-and-fault") {
    varnelCrashTestTogether({&varnelCrashTestThrow, &varnelCrashTestSegfault});
  } else if (kind == "quit") {
    static std::atomic<int> announced{0};
    [[maybe_unused]] static auto observer =
        platform::NotificationCenter::defaultCenter().addObserver(
            sdk::kNSApplicationWillTerminateNotification, nullptr, nullptr,
            [](const platform::Notification&) { announced.fetch_add(1); });
    std::atexit(
        [] { std::fprintf(stderr, "termination announced %d time(s)\n", announced.load()); });
    // As a person would: answer the launch's questions (a modal alert
    // running its own event loop), then choose Quit from the main loop.
    auto* timer = new QTimer(QCoreApplication::instance());  // ends with the application
    QObject::connect(timer, &QTimer::timeout, [timer] {
      if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        modal->reject();
        return;
      }
      if (QThread::currentThread()->loopLevel() != 1) return;
      timer->stop();
      if (auto* delegate = client::ui::AppDelegate::sharedAppDelegate()) delegate->terminate();
    });
    timer->start(50);
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
  auto* timer = new QTimer(QCoreApplication::instance());  // ends with the application
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
