// varnel-render-icons <folder>: writes the client's icon at every size of
// the icon theme as <folder>/<N>x<N>/apps/varnelvpn-client.png, from the
// same drawing the client shows at run time. The build runs it on Qt's
// offscreen platform.
#include <QDir>
#include <QGuiApplication>
#include <cstdio>

#include "client/ui/app_icon.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: varnel-render-icons <folder>\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  const QString root = QString::fromLocal8Bit(argv[1]);
  for (const int size : client::ui::applicationIconSizes()) {
    const QString dir = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
    const QString file =
        QStringLiteral("%1/%2.png").arg(dir, QString::fromLatin1(client::ui::kApplicationIconName));
    if (!QDir().mkpath(dir) || !client::ui::renderApplicationIcon(size).save(file, "PNG")) {
      std::fprintf(stderr, "varnel-render-icons: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
