// Where the client's secondary windows open: over the window they belong to
// (the dialer, or the login window before login), centred on it, never in a
// corner of the screen. A window is kept whole on the screen of its parent.
//
// Thread safety: main thread only.
#pragma once

class QWidget;

namespace client::ui {

// Moves `window` (a top-level widget, shown or not) so that its centre is the
// centre of `parent`'s window; without a visible parent, the centre of the
// primary screen. The result is clamped to the screen's available area.
void centreOnParent(QWidget* window, QWidget* parent);

}  // namespace client::ui
