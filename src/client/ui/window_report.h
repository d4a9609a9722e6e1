// The window report: a test hook through which a program outside the
// client (the GUI end-to-end test, driving the installed client with real
// input events) reads what Qt itself knows of the shown windows: each
// window's title and the room its title needs, the texts that do not fit
// (text_fit's cutTexts), and where each named control, button and table cell
// is on the screen and what it says. The test then clicks controls where
// they are at any scale and reads results (a server test's figures) as the
// client shows them, without reading pixels.
//
// The exchange, in a folder the client may write:
//   the test writes a file "request" holding a tag (one line);
//   the client writes "report" (through "report.tmp" and a rename, so it is
//   never read half written), whose first line is "request <tag>", then
//   removes "request";
//   the test waits for "request" to go and reads "report".
// Report lines, fields separated by tabs (tabs and line breaks inside texts
// are written as spaces and "\n"); positions and sizes in the screen's
// device pixels:
//   window <X id> <device pixel ratio> <title room> <x> <y> <w> <h> <name> <title>
//       a shown top-level window: its X window id, the width its title bar
//       needs to show the title whole (text_fit's titleRoom), Qt's frame
//       geometry, its object name (else class) and its title;
//   cut <X id> <what>
//       a text of that window that does not fit (text_fit's cutTexts);
//   animating <X id> <count>
//       the window has that many animations running (a text fading);
//   item <X id> <name> <x> <y> <w> <h> <enabled> <text>
//       a shown control: labels, buttons, check boxes, radio buttons, tool
//       buttons (named by their action when they have no name), combo
//       boxes, line edits (no text: they may hold a password), tables and
//       the menus of menu bars (named by the menu);
//   cell <X id> <table name> <row> <column> <x> <y> <w> <h> <text>
//       a shown table cell;
//   end
//
// Guarantees:
//  1. Nothing is watched or written unless installWindowReport is called;
//     the shipped client calls it only when VARNEL_UI_REPORT_DIR names a
//     folder.
//  2. Each request is answered once, with the state of the windows at the
//     moment the client's main thread reads it.
//  3. The report is written with the owner-only mode; line edits' texts are
//     never written.
//
// Thread safety: main thread only.
#pragma once

#include <QString>

namespace client::ui {

// The report of every shown top-level window, as described above, after
// the line "request <tag>".
QString windowReport(const QString& tag);

// Answers requests in `folder` (see above) for the rest of the process.
// Returns false (and watches nothing) when the folder does not exist.
bool installWindowReport(const QString& folder);

}  // namespace client::ui
