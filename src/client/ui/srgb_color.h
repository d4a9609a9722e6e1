// colorWithSRGB: a colour in the sRGB colour space from four components in
// 0...1 (values outside are clamped).
//
// Thread safety: pure function; any thread.
#pragma once

#include <QColor>

namespace client::ui {

QColor colorWithSRGB(double red, double green, double blue, double alpha);

}  // namespace client::ui
