// The client's images, by their resource names ("statusbardisconnected",
// "Status Bar Connected", "Status Bar Disconnected", "hud_titlebar-close",
// the preference panes' toolbar images). They are drawn at run time, so the
// program needs no image files and every size is drawn sharp; an unknown
// name gives a null image.
//
// Thread safety: main thread only (needs the QApplication).
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace client::ui {

// The image at its own size.
QPixmap imageNamed(const QString& name);
// The image drawn `size` x `size` logical pixels large for a screen of
// `devicePixelRatio` (sharp, not an enlarged small one).
QPixmap imageNamed(const QString& name, int size, qreal devicePixelRatio);
// The image at every size a button or window may ask for.
QIcon iconNamed(const QString& name);

}  // namespace client::ui
