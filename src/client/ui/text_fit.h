// Text that fits: finds the texts of a window that the user cannot read
// whole (a title the window manager would shorten, a label or button
// narrower than its text, a table cell that wraps or cuts its text), and
// keeps every window and alert wide enough for its title.
//
// Guarantees:
//  1. cutTexts lists, for a shown window, every visible label, button,
//     check box, radio button and table cell whose text needs more room
//     than it has (by Qt's own font metrics and geometry), and the window's
//     title when the window is narrower than titleRoom; empty when all fit.
//     A wrapped label counts as cut when it is too short for its lines or
//     one of its words is wider than the label.
//  2. After installTitleKeeper, every top-level window shown (alerts
//     included) is at least titleRoom wide.
//
// Thread safety: main thread only.
#pragma once

#include <QString>
#include <QStringList>

class QFontMetrics;
class QTableWidget;
class QWidget;

namespace client::ui {

// The width a title bar needs to show `window`'s title whole: the title in
// the bold system font plus the room of the icon and the window buttons.
int titleRoom(const QWidget* window);

// What of `window`'s text does not fit, one entry per text:
// "<object name or class>: <text>".
QStringList cutTexts(QWidget* window);

// `text` with break opportunities (zero-width spaces) inside every word
// too wide for `width` in `metrics`, after path and address separators
// first, else anywhere: a wrapped label then never cuts a long path or
// address at its edge. Words that fit are left as they are.
QString breakableText(const QString& text, const QFontMetrics& metrics, int width);

// Gives each column of `table` the room of its widest text (cells and
// header), never wraps a cell, and makes the table at least as wide as all
// its columns, so no text is cut and nothing scrolls sideways. Call it
// after the cells change.
void fitColumnsToText(QTableWidget* table);

// Makes every top-level window, when first shown, at least titleRoom wide.
void installTitleKeeper();

}  // namespace client::ui
