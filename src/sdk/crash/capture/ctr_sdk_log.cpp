#include "sdk/crash/capture/ctr_sdk_log.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_file.h"

namespace sdk {

namespace {

// One write of `length` bytes; the log never retries or reports.
void writePiece(int fd, const char* bytes, std::size_t length) {
  if (length == 0) return;
  ssize_t result;
  do {
    result = ::write(fd, bytes, length);
  } while (result < 0 && errno == EINTR);
}

std::size_t cStringLength(const char* text) {
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

// Length modifiers of an integer conversion.
enum class Length { kNone, kLong, kLongLong, kSize };

// A width never needs to exceed the longest number plus its sign.
constexpr unsigned kMaximumWidth = 32;

// Number of digits of `value` in base 10 or 16 (at least one).
unsigned digitCount(std::uint64_t value, bool hexadecimal) {
  const std::uint64_t base = hexadecimal ? 16 : 10;
  unsigned digits = 1;
  while (value >= base) {
    value /= base;
    ++digits;
  }
  return digits;
}

// `count` copies of `fill` (a '0' or a blank), in pieces from a constant.
void writeFill(int fd, char fill, unsigned count) {
  static constexpr char kZeros[] = "00000000000000000000000000000000";
  static constexpr char kBlanks[] = "                                ";
  const char* source = fill == '0' ? kZeros : kBlanks;
  while (count > 0) {
    const unsigned chunk = count < sizeof(kZeros) - 1 ? count : sizeof(kZeros) - 1;
    writePiece(fd, source, chunk);
    count -= chunk;
  }
}

// An integer right-aligned in `width` columns, filled with zeros after the
// sign when `zeroPad` is set and with blanks before it otherwise. The digits
// go through the write loop.
void writeInteger(int fd, std::uint64_t magnitude, bool negative, bool hexadecimal, bool zeroPad,
                  unsigned width) {
  const unsigned used = digitCount(magnitude, hexadecimal) + (negative ? 1u : 0u);
  const unsigned fill = width > used ? width - used : 0;
  if (fill == 0) {
    CTRWriteNumberToDescriptorSilently(fd, magnitude, negative, hexadecimal);
    return;
  }
  if (!zeroPad) writeFill(fd, ' ', fill);
  if (negative) writePiece(fd, "-", 1);
  if (zeroPad) writeFill(fd, '0', fill);
  CTRWriteNumberToDescriptorSilently(fd, magnitude, false, hexadecimal);
}

// The SDK log's descriptor, opened on first use. Two threads that open it
// at the same time keep the first descriptor stored and close the other.
int sdkLogDescriptor(const char* path, CTRWritableState* state) {
  std::atomic_ref<std::int32_t> descriptor(state->sdkLogDescriptor);
  int fd = descriptor.load(std::memory_order_acquire);
  if (fd != -1) return fd;
  const int opened = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (opened < 0) return -1;
  std::int32_t expected = -1;
  if (descriptor.compare_exchange_strong(expected, opened, std::memory_order_acq_rel)) {
    return opened;
  }
  ::close(opened);
  return expected;
}

}  // namespace

void CTRSDKLog(int level, const char* format, ...) {
  CTRContext* context = ctrContext;
  CTRWritableState* state = ctrWritableState;
  if (context == nullptr || state == nullptr) return;
  const char* path = context->sdkLogPath;
  if (!CTRIsValidPointer(path)) return;
  const int minimum =
      std::atomic_ref<std::int32_t>(state->sdkLogMinimumLevel).load(std::memory_order_relaxed);
  if (level < minimum) return;
  const int fd = sdkLogDescriptor(path, state);
  if (fd < 0 || format == nullptr) return;

  va_list args;
  va_start(args, format);
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      // The run of plain bytes up to the next conversion, as one piece.
      const char* start = p;
      while (*p != '\0' && *p != '%') ++p;
      writePiece(fd, start, static_cast<std::size_t>(p - start));
      continue;
    }
    // "%", optional "0" flag and width, optional length (l, ll, z), then
    // the conversion.
    const char* q = p + 1;
    bool zeroPad = false;
    if (*q == '0') {
      zeroPad = true;
      ++q;
    }
    unsigned width = 0;
    while (*q >= '0' && *q <= '9') {
      // Widths beyond what a number can need are clamped.
      if (width < kMaximumWidth) width = width * 10 + static_cast<unsigned>(*q - '0');
      ++q;
    }
    if (width > kMaximumWidth) width = kMaximumWidth;
    Length length = Length::kNone;
    if (q[0] == 'l' && q[1] == 'l') {
      length = Length::kLongLong;
      q += 2;
    } else if (*q == 'l') {
      length = Length::kLong;
      ++q;
    } else if (*q == 'z') {
      length = Length::kSize;
      ++q;
    }
    const char conversion = *q;
    const bool plain = !zeroPad && width == 0 && length == Length::kNone;
    bool known = true;
    switch (conversion) {
      case 'd': {
        std::int64_t value = 0;
        switch (length) {
          case Length::kNone:
            value = va_arg(args, int);
            break;
          case Length::kLong:
            value = va_arg(args, long);
            break;
          case Length::kLongLong:
            value = va_arg(args, long long);
            break;
          case Length::kSize:
            value = va_arg(args, ssize_t);
            break;
        }
        const bool negative = value < 0;
        const std::uint64_t magnitude =
            negative ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
        writeInteger(fd, magnitude, negative, false, zeroPad, width);
        break;
      }
      case 'u':
      case 'x': {
        std::uint64_t value = 0;
        switch (length) {
          case Length::kNone:
            value = va_arg(args, unsigned);
            break;
          case Length::kLong:
            value = va_arg(args, unsigned long);
            break;
          case Length::kLongLong:
            value = va_arg(args, unsigned long long);
            break;
          case Length::kSize:
            value = va_arg(args, std::size_t);
            break;
        }
        writeInteger(fd, value, false, conversion == 'x', zeroPad, width);
        break;
      }
      case 'c': {
        if (length != Length::kNone) {
          known = false;
          break;
        }
        const char byte = static_cast<char>(va_arg(args, int));
        writePiece(fd, &byte, 1);
        break;
      }
      case 'p': {
        if (!plain) {
          known = false;
          break;
        }
        const void* pointer = va_arg(args, void*);
        writePiece(fd, "0x", 2);
        CTRWriteNumberToDescriptorSilently(
            fd, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer)), false, true);
        break;
      }
      case 's': {
        if (!plain) {
          known = false;
          break;
        }
        const char* text = va_arg(args, const char*);
        if (!CTRIsValidPointer(text)) text = "(null)";
        writePiece(fd, text, cStringLength(text));
        break;
      }
      default:
        known = false;
        break;
    }
    if (known) {
      p = q + 1;
      continue;
    }
    // Not ours: "%" and the byte after it as written, no argument taken;
    // whatever follows is formatted on its own.
    if (p[1] == '\0') {
      // A lone "%" at the end of the format.
      writePiece(fd, p, 1);
      break;
    }
    writePiece(fd, p, 2);
    p += 2;
  }
  va_end(args);
}

const char* CTRErrorText(int errnum) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  // The untranslated table entry: no locale look-up, no buffer.
  const char* text = ::strerrordesc_np(errnum);
  if (text != nullptr) return text;
#else
  (void)errnum;
#endif
  return "Unknown error";
}

std::uint64_t CTRProfilingStart() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(now.tv_nsec);
}

CTRProfilingTimebase CTRProfilingGetTimebase() {
  // The monotonic clock counts nanoseconds.
  return {1, 1};
}

double CTRProfilingMillisecondsBetween(std::uint64_t mark, std::uint64_t now,
                                       CTRProfilingTimebase timebase) {
  if (timebase.denominator == 0 || now < mark) return 0.0;
  // (now - mark) × numerator ÷ denominator without overflowing 64 bits: the
  // quotient and the remainder are scaled separately.
  const std::uint64_t ticks = now - mark;
  const std::uint64_t whole = ticks / timebase.denominator;
  const std::uint64_t rest = ticks % timebase.denominator;
  const long double nanoseconds =
      static_cast<long double>(whole) * timebase.numerator +
      static_cast<long double>(rest * timebase.numerator) / timebase.denominator;
  return static_cast<double>(nanoseconds) / 1000000.0;
}

double CTRProfilingElapsedMilliseconds(std::uint64_t mark) {
  const std::uint64_t now = CTRProfilingStart();
  return CTRProfilingMillisecondsBetween(mark, now, CTRProfilingGetTimebase());
}

void CTRProfilingMeasureBlock(const char* name, const std::function<void()>& block) {
  const std::uint64_t mark = CTRProfilingStart();
  if (block) block();
  std::fprintf(stderr, "[Profile] %s: %f ms\n", name ? name : "(null)",
               CTRProfilingElapsedMilliseconds(mark));
}

}  // namespace sdk
