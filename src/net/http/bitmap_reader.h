// readBitmapSize: the pixel size of a bitmap, read from its header without
// decoding the pixels. PNG, GIF, BMP and JPEG headers are read here; TIFF
// through libtiff (the first image directory); ICO and CUR through their
// image directory: the first image's size, taken from the PNG header when
// that image is an embedded PNG.
//
// The body is untrusted (a download): every read is bounds-checked, a
// header that does not fit the body gives nothing, and nothing is printed.
//
// Thread safety: a pure function; may be called from any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace net::http {

struct BitmapSize {
  long width = 0;
  long height = 0;
  std::string format;  // "png", "gif", "bmp", "jpeg", "tiff", "ico", "cur"
};

// The size of the first image in `data`; nullopt when no reader knows it.
std::optional<BitmapSize> readBitmapSize(const platform::Bytes& data);

}  // namespace net::http
