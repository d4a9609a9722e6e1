// VarnelVPN Client: the desktop program. It runs Qt's event loop, which also
// drives the platform's main run loop, and hands the start to the
// application delegate (main menu, login window, start-up sequence).
#include <QApplication>

#include "client/ui/app_delegate.h"
#include "client/ui/qt_run_loop_driver.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("VarnelVPN Client");
  QApplication::setOrganizationName("VarnelVPN");
  client::ui::QtRunLoopDriver driver;
  driver.install();
  int status = 0;
  {
    client::ui::AppDelegate delegate;
    // However the application ends, the user defaults reach the disk.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });
    delegate.launch();
    status = QApplication::exec();
  }
  driver.uninstall();
  return status;
}
