#include "net/http/bitmap_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace net::http {
namespace {

using platform::Bytes;

void put16(Bytes& b, std::uint32_t v, bool big = false) {
  if (big) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
  } else {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
  }
}
void put32(Bytes& b, std::uint32_t v, bool big = false) {
  if (big) {
    put16(b, v >> 16, true);
    put16(b, v & 0xFFFF, true);
  } else {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
  }
}

Bytes png(std::uint32_t w, std::uint32_t h) {
  Bytes d = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  put32(d, w, true);
  put32(d, h, true);
  d.insert(d.end(), {8, 0, 0, 0, 0, 0, 0, 0, 0});
  return d;
}

// A complete baseline TIFF: one 8-bit grey strip of w x h pixels.
Bytes tiff(std::uint32_t w, std::uint32_t h, bool big) {
  Bytes d;
  if (big) {
    d = {'M', 'M', 0, 42};
  } else {
    d = {'I', 'I', 42, 0};
  }
  put32(d, 8, big);  // the first directory follows the header
  struct Entry {
    std::uint16_t tag, type;
    std::uint32_t value;
  };
  const std::uint32_t entries = 8;
  const std::uint32_t pixels = 8 + 2 + entries * 12 + 4;
  const std::vector<Entry> dir = {
      {256, 4, w}, {257, 4, h},      {258, 3, 8}, {259, 3, 1},
      {262, 3, 1}, {273, 4, pixels}, {278, 4, h}, {279, 4, w * h},
  };
  put16(d, entries, big);
  for (const Entry& e : dir) {
    put16(d, e.tag, big);
    put16(d, e.type, big);
    put32(d, 1, big);
    if (e.type == 3) {
      put16(d, e.value, big);
      put16(d, 0, big);
    } else {
      put32(d, e.value, big);
    }
  }
  put32(d, 0, big);  // no further directory
  d.resize(d.size() + w * h, 0x80);
  return d;
}

// An icon (type 1) or cursor (type 2) file of one image whose directory
// entry says `w` x `h` (0 = 256) and whose image is `image`.
Bytes icon(std::uint16_t type, std::uint8_t w, std::uint8_t h, const Bytes& image) {
  Bytes d;
  put16(d, 0);
  put16(d, type);
  put16(d, 1);
  d.insert(d.end(), {w, h, 0, 0});
  put16(d, type == 2 ? 3 : 1);  // planes, or the cursor's hot spot
  put16(d, type == 2 ? 5 : 32);
  put32(d, static_cast<std::uint32_t>(image.size()));
  put32(d, 22);
  d.insert(d.end(), image.begin(), image.end());
  return d;
}

Bytes dib(std::int32_t w, std::int32_t h) {
  Bytes d;
  put32(d, 40);
  put32(d, static_cast<std::uint32_t>(w));
  put32(d, static_cast<std::uint32_t>(h * 2));
  d.resize(40 + 4 * w * h, 0);
  return d;
}

TEST(BitmapReader, TiffIconAndCursorBodiesGiveTheirPixelSize) {
  struct Case {
    const char* name;
    Bytes body;
    long width, height;
    const char* format;
  };
  const std::vector<Case> cases = {
      {"little-endian TIFF", tiff(5, 3, false), 5, 3, "tiff"},
      {"big-endian TIFF", tiff(40, 70, true), 40, 70, "tiff"},
      {"icon", icon(1, 16, 32, dib(16, 32)), 16, 32, "ico"},
      {"icon of 256 pixels", icon(1, 0, 0, dib(1, 1)), 256, 256, "ico"},
      {"icon holding a PNG", icon(1, 0, 0, png(300, 280)), 300, 280, "ico"},
      {"cursor", icon(2, 32, 32, dib(32, 32)), 32, 32, "cur"},
      {"PNG", png(3, 7), 3, 7, "png"},
  };
  for (const Case& c : cases) {
    auto size = readBitmapSize(c.body);
    ASSERT_TRUE(size.has_value()) << c.name;
    EXPECT_EQ(size->width, c.width) << c.name;
    EXPECT_EQ(size->height, c.height) << c.name;
    EXPECT_EQ(size->format, c.format) << c.name;
  }
}

TEST(BitmapReader, DamagedBodiesGiveNothing) {
  Bytes shortTiff = tiff(5, 3, false);
  shortTiff.resize(20);  // the directory is cut off
  Bytes farIcon = icon(1, 16, 16, dib(16, 16));
  farIcon[18] = 0xFF;  // the image offset points past the body
  Bytes longIcon = icon(1, 16, 16, dib(16, 16));
  longIcon[17] = 0x7F;  // the image is longer than the body
  Bytes noImages = icon(1, 16, 16, dib(16, 16));
  noImages[4] = 0;
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"TIFF cut short", shortTiff},
      {"TIFF header only", Bytes{'I', 'I', 42, 0}},
      {"icon image out of bounds", farIcon},
      {"icon image too long", longIcon},
      {"icon of no images", noImages},
      {"icon header only", Bytes{0, 0, 1, 0, 1, 0}},
      {"nothing known", Bytes{'h', 'e', 'l', 'l', 'o'}},
      {"empty", Bytes{}},
  };
  for (const auto& [name, body] : cases) EXPECT_FALSE(readBitmapSize(body).has_value()) << name;
}

TEST(BitmapReader, BitmapOfTheMostNegativeHeightIsReadWithoutOverflow) {
  Bytes bmp = {'B', 'M'};
  bmp.resize(18, 0);
  put32(bmp, 4);
  put32(bmp, 0x80000000u);
  auto size = readBitmapSize(bmp);
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->width, 4);
  EXPECT_EQ(size->height, 2147483648L);
}

}  // namespace
}  // namespace net::http
