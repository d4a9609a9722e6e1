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

// The SDK log's descriptor, opened on first use. Two threads that open it
// at the same time keep the first descriptor stored and close the other.
int sdkLogDescriptor(const char* path, CTRWritableState* state) {
  std::atomic_ref<std::int32_t> descriptor(state->sdkLogDescriptor);
  int fd = descriptor.load(std::memory_order_acquire);
  if (fd != -1) return fd;
  const int opened = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
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
    const char conversion = p[1];
    switch (conversion) {
      case 'd': {
        const int value = va_arg(args, int);
        const bool negative = value < 0;
        const std::uint64_t magnitude =
            negative ? static_cast<std::uint64_t>(-static_cast<std::int64_t>(value))
                     : static_cast<std::uint64_t>(value);
        CTRWriteNumberToDescriptorSilently(fd, magnitude, negative, false);
        break;
      }
      case 'u':
        CTRWriteNumberToDescriptorSilently(fd, va_arg(args, unsigned), false, false);
        break;
      case 'x':
        CTRWriteNumberToDescriptorSilently(fd, va_arg(args, unsigned), false, true);
        break;
      case 'p': {
        const void* pointer = va_arg(args, void*);
        writePiece(fd, "0x", 2);
        CTRWriteNumberToDescriptorSilently(
            fd, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer)), false, true);
        break;
      }
      case 's': {
        const char* text = va_arg(args, const char*);
        if (!CTRIsValidPointer(text)) text = "(null)";
        writePiece(fd, text, cStringLength(text));
        break;
      }
      case '\0':
        // A lone "%" at the end of the format.
        writePiece(fd, p, 1);
        va_end(args);
        return;
      default:
        // Not ours: both bytes as written, no argument taken.
        writePiece(fd, p, 2);
        break;
    }
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
