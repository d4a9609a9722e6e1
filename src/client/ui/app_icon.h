// The application's icon: a white shield with a "V" on a blue tile. It is
// drawn at run time (the program ships no image files) at every size the
// window manager and the tray ask for; packaging/icons holds the same
// drawing as SVG for the desktop entry, and the build renders the PNG sizes
// of the icon theme from this code.
//
// Thread safety: main thread only (needs the QGuiApplication).
#pragma once

#include <QIcon>
#include <QImage>
#include <vector>

namespace client::ui {

// The icon theme name of the picture, as the desktop entry names it.
inline constexpr const char* kApplicationIconName = "varnelvpn-client";

// The pixel sizes the icon carries and the build renders.
const std::vector<int>& applicationIconSizes();

// The picture at `size` x `size` pixels, transparent outside the tile.
QImage renderApplicationIcon(int size);

// Every size of the picture in one icon, for QApplication::setWindowIcon.
QIcon applicationIcon();

}  // namespace client::ui
