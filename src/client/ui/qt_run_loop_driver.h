// QtRunLoopDriver: runs the platform's main run loop (and with it the main
// dispatch queue) from Qt's event loop, so that timers, main-queue blocks and
// main-thread notifications of the client's core run between Qt events.
//
// Guarantees:
//  1. Work that becomes due on the main run loop runs on the next turn of
//     Qt's event loop (wakeUp posts a queued call; scheduled deadlines use a
//     single-shot QTimer), also inside nested Qt loops (menus, dialogs).
//  2. The loop runs in kEventTrackingMode while a menu is open (a popup is
//     shown), in kModalPanelMode while an application-modal window is shown,
//     and in kDefaultMode otherwise; timers added in the default mode only
//     (the helper poll) therefore pause while a menu or modal panel is up,
//     and those in the common modes keep firing.
//  3. When a menu or modal window closes, the loop is run again at once in
//     the mode that then applies, so default-mode work that fell due runs.
//  4. A call into the run loop never nests: work that would re-enter while a
//     block runs is deferred to the next turn.
//
// Thread safety: create, install and destroy on the main thread after the
// QApplication exists; wakeUp may be called from any thread (it is only
// called by the run loop).
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <string>

#include "platform/runloop/run_loop.h"

namespace client::ui {

class QtRunLoopDriver : public QObject, public platform::runloop::RunLoop::Driver {
  Q_OBJECT
 public:
  explicit QtRunLoopDriver(QObject* parent = nullptr);
  // Uninstalls itself from the main run loop.
  ~QtRunLoopDriver() override;

  // Makes this object the main run loop's driver and watches the
  // application's menus and modal windows.
  void install();
  void uninstall();

  // The mode the loop is run in now (guarantee 2), or the forced mode.
  std::string activeMode() const;
  // Tests and callers that run their own tracking (a tray menu opened by the
  // platform): forces a mode until cleared with an empty string.
  void setForcedMode(const std::string& mode);

  // RunLoop::Driver
  void wakeUp() override;
  void scheduleWakeUp(platform::runloop::Clock::time_point when) override;

  // The installed driver (nullptr when none).
  static QtRunLoopDriver* instance();

 public slots:
  // Runs what is due now in the active mode.
  void process();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QTimer timer_;
  std::atomic<bool> wakePosted_{false};
  bool installed_ = false;
  bool processing_ = false;
  std::string forcedMode_;
};

}  // namespace client::ui
