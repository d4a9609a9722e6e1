#include "client/ui/qt_run_loop_driver.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMetaObject>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <chrono>

namespace client::ui {

namespace {
QtRunLoopDriver* gInstance = nullptr;
}

QtRunLoopDriver::QtRunLoopDriver(QObject* parent) : QObject(parent) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &QtRunLoopDriver::process);
}

QtRunLoopDriver::~QtRunLoopDriver() { uninstall(); }

QtRunLoopDriver* QtRunLoopDriver::instance() { return gInstance; }

void QtRunLoopDriver::install() {
  if (installed_) return;
  installed_ = true;
  gInstance = this;
  if (qApp) qApp->installEventFilter(this);
  platform::runloop::RunLoop::main().setDriver(this);
  process();
}

void QtRunLoopDriver::uninstall() {
  if (!installed_) return;
  installed_ = false;
  if (qApp) qApp->removeEventFilter(this);
  platform::runloop::RunLoop::main().setDriver(nullptr);
  if (gInstance == this) gInstance = nullptr;
  timer_.stop();
}

std::string QtRunLoopDriver::activeMode() const {
  if (!forcedMode_.empty()) return forcedMode_;
  if (QApplication::activePopupWidget() != nullptr) {
    return platform::runloop::kEventTrackingMode;
  }
  if (QGuiApplication::modalWindow() != nullptr) return platform::runloop::kModalPanelMode;
  return platform::runloop::kDefaultMode;
}

void QtRunLoopDriver::setForcedMode(const std::string& mode) {
  forcedMode_ = mode;
  wakeUp();
}

void QtRunLoopDriver::wakeUp() {
  if (wakePosted_.exchange(true)) return;
  QMetaObject::invokeMethod(this, "process", Qt::QueuedConnection);
}

void QtRunLoopDriver::scheduleWakeUp(platform::runloop::Clock::time_point when) {
  using namespace std::chrono;
  auto delay = duration_cast<milliseconds>(when - platform::runloop::Clock::now()).count();
  // Timers fire late rather than early: round up to the next millisecond.
  delay = std::max<long long>(0, delay + 1);
  if (delay > 24LL * 3600 * 1000) delay = 24LL * 3600 * 1000;
  int ms = static_cast<int>(delay);
  if (timer_.isActive() && timer_.remainingTime() >= 0 && timer_.remainingTime() <= ms) return;
  timer_.start(ms);
}

void QtRunLoopDriver::process() {
  wakePosted_ = false;
  if (!installed_) return;
  if (processing_) {
    // A block opened a nested Qt loop; run again once it has returned.
    wakeUp();
    return;
  }
  processing_ = true;
  std::string mode = activeMode();
  platform::runloop::RunLoop::main().processPending(mode);
  processing_ = false;
}

bool QtRunLoopDriver::eventFilter(QObject* watched, QEvent* event) {
  if ((event->type() == QEvent::Show || event->type() == QEvent::Hide) && watched->isWidgetType()) {
    auto* widget = static_cast<QWidget*>(watched);
    if (widget->isWindow() && (qobject_cast<QMenu*>(widget) != nullptr ||
                               widget->windowType() == Qt::Popup || widget->isModal())) {
      // The mode changes with this window: run again once the change took effect.
      wakeUp();
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace client::ui
