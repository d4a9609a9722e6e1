// VarnelVPN Client: the desktop program. It runs Qt's event loop, which also
// drives the platform's main run loop, and hands the start to the
// application delegate (main menu, login window, start-up sequence).
//
// Qt's application state and quit signals become the application's
// lifecycle notifications (active, inactive, terminating), which usage
// analytics records.
//
// A build with VARNEL_CLIENT_CRASH_TRIGGERS (only the test program
// "crash-test client" of tests/sdk is built so; the shipped client never
// is) honours a hidden "--crash-for-testing=<kind>" argument: once crash
// reporting has started, the program crashes on purpose, so that tests can
// check what the next launch reports.
//
// One client runs per user session (client/ui/single_instance.h): a second
// start brings the running client's window forward and ends with status 0.
//
// VARNEL_UI_REPORT_DIR, when it names a folder, turns on the window report
// (client/ui/window_report.h): the GUI end-to-end test reads from it what
// the windows show and where their controls are.
#include <QApplication>
#include <QGuiApplication>

#include "client/ui/app_delegate.h"
#include "client/ui/app_icon.h"
#include "client/ui/dialer_controller.h"
#include "client/ui/login_controller.h"
#include "client/ui/qt_run_loop_driver.h"
#include "client/ui/single_instance.h"
#include "client/ui/window_report.h"
#include "platform/dispatch/thread_crash_info.h"

#if defined(VARNEL_CLIENT_CRASH_TRIGGERS)
#include "client_crash_triggers.h"
#endif

int main(int argc, char** argv) {
  // A stack overflow on the main thread needs a stack of its own for the
  // crash handler.
  platform::dispatch::ensureAlternateSignalStack();
  QApplication app(argc, argv);
  QApplication::setApplicationName("VarnelVPN Client");
  QApplication::setOrganizationName("VarnelVPN");
  // Every window and dialog takes this icon; the desktop entry of the same
  // name ties the windows to it in docks and task bars.
  QApplication::setWindowIcon(client::ui::applicationIcon());
  QGuiApplication::setDesktopFileName(client::ui::kApplicationIconName);
  client::ui::SingleInstance instance;
  if (!instance.claim()) return 0;
  if (const QString folder = qEnvironmentVariable("VARNEL_UI_REPORT_DIR"); !folder.isEmpty())
    client::ui::installWindowReport(folder);
  client::ui::QtRunLoopDriver driver;
  driver.install();
  int status = 0;
  {
    client::ui::AppDelegate delegate;
    // However the application ends, the user defaults reach the disk.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });
    QObject::connect(&app, &QGuiApplication::applicationStateChanged, &delegate,
                     [&delegate](Qt::ApplicationState state) {
                       delegate.applicationStateChanged(state == Qt::ApplicationActive);
                     });
    // A second start: the dialer comes forward, or the login window before it.
    QObject::connect(&instance, &client::ui::SingleInstance::activationRequested, &delegate,
                     [&delegate] {
                       client::ui::LoginController* login = delegate.loginController();
                       QWidget* window = delegate.window();
                       if (login != nullptr && login->dialerViewController() != nullptr)
                         window = login->dialerViewController();
                       if (window == nullptr) return;
                       // Also out of the task bar when it was minimized.
                       window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
                       window->show();
                       window->raise();
                       window->activateWindow();
                     });
#if defined(VARNEL_CLIENT_CRASH_TRIGGERS)
    // Before the launch: its start-up may run a modal alert's event loop.
    varnel_test::armCrashTrigger(argc, argv);
#endif
    delegate.launch();
    if (QGuiApplication::applicationState() == Qt::ApplicationActive) {
      delegate.applicationStateChanged(true);
    }
    status = QApplication::exec();
  }
  driver.uninstall();
  return status;
}
