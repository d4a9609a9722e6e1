#include "client/ui/qt_run_loop_driver.h"

#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QThread>
#include <atomic>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"
#include "ui_test_support.h"

using namespace client::ui;
using platform::runloop::RunLoop;
using platform::runloop::Timer;
using varnel::testing::waitFor;

class QtRunLoopDriverTest : public QObject {
  Q_OBJECT
 private slots:
  void mainQueueAndTimersRunFromQtLoop() {
    bool ran = false;
    platform::dispatch::Queue::main()->async([&] { ran = true; });
    QVERIFY(waitFor([&] { return ran; }));
    int fired = 0;
    auto timer = Timer::create(0.02, false, [&](Timer&) { ++fired; });
    RunLoop::main().addTimer(timer);
    QVERIFY(waitFor([&] { return fired == 1; }));
  }

  void wakeUpFromAnotherThread() {
    std::atomic<bool> onMain{false};
    bool done = false;
    std::thread other([&] {
      platform::dispatch::Queue::main()->async([&] {
        onMain = QThread::currentThread() == qApp->thread();
        done = true;
      });
    });
    other.join();
    QVERIFY(waitFor([&] { return done; }));
    QVERIFY(onMain.load());
  }

  void trackingPausesDefaultModeTimersOnly() {
    QtRunLoopDriver* driver = QtRunLoopDriver::instance();
    QVERIFY(driver != nullptr);
    int defaultFires = 0, commonFires = 0;
    driver->setForcedMode(platform::runloop::kEventTrackingMode);
    auto poll = Timer::create(0.02, true, [&](Timer&) { ++defaultFires; });
    auto clock = Timer::create(0.02, true, [&](Timer&) { ++commonFires; });
    RunLoop::main().addTimer(poll, platform::runloop::kDefaultMode);
    RunLoop::main().addTimer(clock, platform::runloop::kCommonModes);
    QVERIFY(waitFor([&] { return commonFires >= 3; }));
    QCOMPARE(defaultFires, 0);
    driver->setForcedMode("");
    QVERIFY(waitFor([&] { return defaultFires >= 1; }));
    poll->invalidate();
    clock->invalidate();
  }

  void openMenuMeansEventTracking() {
    QtRunLoopDriver* driver = QtRunLoopDriver::instance();
    QCOMPARE(driver->activeMode(), std::string(platform::runloop::kDefaultMode));
    QMenu menu;
    menu.addAction("Connect");
    menu.popup(QPoint(10, 10));
    QVERIFY(waitFor([&] { return menu.isVisible(); }));
    QCOMPARE(driver->activeMode(), std::string(platform::runloop::kEventTrackingMode));
    std::string seen;
    RunLoop::main().perform([&] { seen = RunLoop::main().currentMode(); });
    QVERIFY(waitFor([&] { return !seen.empty(); }));
    QCOMPARE(seen, std::string(platform::runloop::kEventTrackingMode));
    menu.hide();
    QCOMPARE(driver->activeMode(), std::string(platform::runloop::kDefaultMode));

    QWidget modal;
    modal.setWindowModality(Qt::ApplicationModal);
    modal.show();
    QVERIFY(waitFor([&] { return driver->activeMode() == platform::runloop::kModalPanelMode; }));
    modal.hide();
    QVERIFY(waitFor([&] { return driver->activeMode() == platform::runloop::kDefaultMode; }));
  }
};

VARNEL_UI_TEST_MAIN(QtRunLoopDriverTest)
#include "qt_run_loop_driver_test.moc"
