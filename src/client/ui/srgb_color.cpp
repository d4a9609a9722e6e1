#include "client/ui/srgb_color.h"

#include <algorithm>

namespace client::ui {

QColor colorWithSRGB(double red, double green, double blue, double alpha) {
  auto clamp = [](double v) { return static_cast<float>(std::clamp(v, 0.0, 1.0)); };
  return QColor::fromRgbF(clamp(red), clamp(green), clamp(blue), clamp(alpha));
}

}  // namespace client::ui
