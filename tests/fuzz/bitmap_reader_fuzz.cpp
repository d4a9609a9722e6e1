// libFuzzer target: the bitmap header readers (PNG, GIF, BMP, JPEG, TIFF
// through libtiff, ICO and CUR).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "net/http/bitmap_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const platform::Bytes body(data, data + size);
  auto bitmap = net::http::readBitmapSize(body);
  if (bitmap && (bitmap->width < 0 || bitmap->height < 0 || bitmap->format.empty())) std::abort();
  return 0;
}
