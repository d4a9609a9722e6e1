#include "platform/foundation/uuid.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace platform {

namespace {

void fillRandom(std::uint8_t* buffer, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = getrandom(buffer + done, length - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (done == length) return;
  // getrandom is missing (very old kernel): fall back to the device.
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  while (fd >= 0 && done < length) {
    const ssize_t n = read(fd, buffer + done, length - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  if (fd >= 0) close(fd);
  if (done != length) std::abort();  // never hand out a predictable identifier
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string hex(const UUID::Bytes16& bytes, const char* digits, bool hyphens) {
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (hyphens && (i == 4 || i == 6 || i == 8 || i == 10)) out += '-';
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

}  // namespace

UUID UUID::random() {
  Bytes16 b;
  fillRandom(b.data(), b.size());
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // variant 1
  return UUID(b);
}

std::optional<UUID> UUID::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Bytes16 b{};
  std::size_t k = 0;
  for (std::size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int hi = hexDigit(text[i]);
    const int lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    b[k++] = static_cast<std::uint8_t>(hi * 16 + lo);
    i += 2;
  }
  return UUID(b);
}

bool UUID::isNil() const {
  for (std::uint8_t b : bytes_) {
    if (b) return false;
  }
  return true;
}

std::string UUID::string() const { return hex(bytes_, "0123456789ABCDEF", true); }

std::string UUID::lowerHex() const { return hex(bytes_, "0123456789abcdef", false); }

std::size_t UUIDHash::operator()(const UUID& u) const {
  return std::hash<std::string_view>()(
      std::string_view(reinterpret_cast<const char*>(u.bytes().data()), u.bytes().size()));
}

}  // namespace platform
