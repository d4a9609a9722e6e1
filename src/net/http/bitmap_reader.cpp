#include "net/http/bitmap_reader.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace net::http {
namespace {

using platform::Bytes;

std::uint32_t be32(const Bytes& d, std::size_t at) {
  return (std::uint32_t(d[at]) << 24) | (std::uint32_t(d[at + 1]) << 16) |
         (std::uint32_t(d[at + 2]) << 8) | d[at + 3];
}
std::uint32_t le16(const Bytes& d, std::size_t at) { return d[at] | (d[at + 1] << 8); }
std::uint32_t le32(const Bytes& d, std::size_t at) {
  return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (std::uint32_t(d[at + 3]) << 24);
}
// The magnitude of a signed 32-bit little-endian number (BMP heights are
// negative for top-down bitmaps).
long le32Magnitude(const Bytes& d, std::size_t at) {
  const std::int64_t v = static_cast<std::int32_t>(le32(d, at));
  return static_cast<long>(v < 0 ? -v : v);
}

bool startsWith(const Bytes& d, std::size_t at, const char* magic, std::size_t length) {
  return d.size() >= at + length && std::memcmp(d.data() + at, magic, length) == 0;
}

std::optional<BitmapSize> png(const Bytes& d, std::size_t at = 0) {
  if (d.size() - std::min(d.size(), at) < 24 || !startsWith(d, at, "\x89PNG\r\n\x1a\n", 8)) {
    return std::nullopt;
  }
  return BitmapSize{be32(d, at + 16), be32(d, at + 20), "png"};
}

std::optional<BitmapSize> jpeg(const Bytes& d) {
  if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8) return std::nullopt;
  std::size_t at = 2;
  while (at + 9 < d.size()) {
    if (d[at] != 0xFF) return std::nullopt;
    const std::uint8_t marker = d[at + 1];
    const std::size_t length = (d[at + 2] << 8) | d[at + 3];
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      return BitmapSize{(d[at + 7] << 8) | d[at + 8], (d[at + 5] << 8) | d[at + 6], "jpeg"};
    }
    at += 2 + length;
  }
  return std::nullopt;
}

// --- TIFF, through libtiff reading from memory -------------------------------------------

struct Memory {
  const Bytes* data;
  toff_t position = 0;
};

tmsize_t tiffRead(thandle_t handle, void* buffer, tmsize_t size) {
  auto* m = static_cast<Memory*>(handle);
  if (size <= 0 || m->position >= m->data->size()) return 0;
  const std::size_t n =
      std::min<std::size_t>(static_cast<std::size_t>(size), m->data->size() - m->position);
  std::memcpy(buffer, m->data->data() + m->position, n);
  m->position += n;
  return static_cast<tmsize_t>(n);
}
tmsize_t tiffWrite(thandle_t, void*, tmsize_t) { return -1; }
toff_t tiffSeek(thandle_t handle, toff_t offset, int whence) {
  auto* m = static_cast<Memory*>(handle);
  toff_t base = 0;
  if (whence == SEEK_CUR) base = m->position;
  if (whence == SEEK_END) base = m->data->size();
  if (offset > UINT64_MAX - base) return static_cast<toff_t>(-1);
  m->position = base + offset;
  return m->position;
}
int tiffClose(thandle_t) { return 0; }
toff_t tiffSize(thandle_t handle) { return static_cast<Memory*>(handle)->data->size(); }
int tiffMap(thandle_t, void**, toff_t*) { return 0; }
void tiffUnmap(thandle_t, void*, toff_t) {}
// Messages of a damaged body are not ours to print.
int tiffQuiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

std::optional<BitmapSize> tiff(const Bytes& d) {
  if (!startsWith(d, 0, "II*\0", 4) && !startsWith(d, 0, "MM\0*", 4) &&
      !startsWith(d, 0, "II+\0", 4) && !startsWith(d, 0, "MM\0+", 4)) {
    return std::nullopt;
  }
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) return std::nullopt;
  TIFFOpenOptionsSetErrorHandlerExtR(options, tiffQuiet, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options, tiffQuiet, nullptr);
  // The header is all we read: a body cannot make libtiff allocate much.
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, 16 << 20);
  Memory memory{&d};
  // "m": no memory mapping.
  TIFF* t = TIFFClientOpenExt("body", "rm", &memory, tiffRead, tiffWrite, tiffSeek, tiffClose,
                              tiffSize, tiffMap, tiffUnmap, options);
  TIFFOpenOptionsFree(options);
  if (!t) return std::nullopt;
  std::uint32_t width = 0, height = 0;
  const bool ok = TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width) == 1 &&
                  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height) == 1;
  TIFFClose(t);
  if (!ok) return std::nullopt;
  return BitmapSize{width, height, "tiff"};
}

// --- ICO and CUR ---------------------------------------------------------------------------
//
// A 6-byte header (0, type 1 icon or 2 cursor, image count) and one 16-byte
// entry per image: width and height in pixels (0 stands for 256), then
// colours, a reserved byte, two 16-bit fields, the image's byte count and
// its offset. The image is a PNG or a headerless BMP.
std::optional<BitmapSize> icon(const Bytes& d) {
  if (d.size() < 6 || le16(d, 0) != 0) return std::nullopt;
  const std::uint32_t type = le16(d, 2);
  const std::uint32_t count = le16(d, 4);
  if ((type != 1 && type != 2) || count == 0 || d.size() < 6 + 16) return std::nullopt;
  const std::size_t entry = 6;
  const std::uint32_t bytes = le32(d, entry + 8);
  const std::uint32_t offset = le32(d, entry + 12);
  if (offset < 6 + 16 || offset > d.size() || bytes > d.size() - offset || bytes < 8) {
    return std::nullopt;
  }
  BitmapSize size{d[entry] ? d[entry] : 256, d[entry + 1] ? d[entry + 1] : 256,
                  type == 1 ? "ico" : "cur"};
  if (bytes >= 24) {
    if (auto embedded = png(d, offset)) {
      size.width = embedded->width;
      size.height = embedded->height;
    }
  }
  return size;
}

}  // namespace

std::optional<BitmapSize> readBitmapSize(const Bytes& d) {
  if (auto size = png(d)) return size;
  if (d.size() >= 10 && startsWith(d, 0, "GIF8", 4)) {
    return BitmapSize{le16(d, 6), le16(d, 8), "gif"};
  }
  if (d.size() >= 26 && d[0] == 'B' && d[1] == 'M') {
    return BitmapSize{le32Magnitude(d, 18), le32Magnitude(d, 22), "bmp"};
  }
  if (auto size = jpeg(d)) return size;
  if (auto size = tiff(d)) return size;
  return icon(d);
}

}  // namespace net::http
