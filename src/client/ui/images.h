// The client's images, by their resource names ("statusbardisconnected",
// "Status Bar Connected", "Status Bar Disconnected", "hud_titlebar-close",
// the preference panes' toolbar images). They are drawn at run time, so the
// program needs no image files; an unknown name gives a null image.
//
// Thread safety: main thread only (needs the QApplication).
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace client::ui {

QPixmap imageNamed(const QString& name);
QIcon iconNamed(const QString& name);

}  // namespace client::ui
