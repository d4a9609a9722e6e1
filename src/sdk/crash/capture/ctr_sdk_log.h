// The SDK log of crash capture and its profiling marks.
//
// Crash capture writes its own diagnostic lines into "sdk.log" in the
// launch's report directory, so that a report that arrives incomplete still
// tells why. The writer works inside a signal handler and on a crashing
// thread:
//  1. It allocates nothing, takes no lock, buffers nothing and calls only
//     open and write; every piece is written at once, so nothing is lost
//     when the process dies right after a message.
//  2. It formats with its own minimal formatter (no printf, no locale): %d
//     (signed), %u and %x (unsigned, lower-case hex), each with the length
//     modifiers l, ll and z (long, long long, size_t/ssize_t) and an
//     optional width, zero-filled with a leading "0" ("%02x") and
//     blank-filled otherwise; %c (one byte); %p (pointer: "0x" and
//     lower-case hex); %s (C string, "(null)" for nullptr). Any other
//     conversion ("%i", "%f", "%hd", "%%") is written as it stands and takes
//     no argument: "%" and the byte after it are copied, the rest follows as
//     plain text.
//  3. It adds nothing of its own: the level tag and position are part of the
//     format ("WARN  [%s:%d] ..."), as are newlines. Use the CTR_SDK_LOG_*
//     macros, which add the tag, the function's name and the line.
//  4. Nothing is written before the crash context and its writable state
//     exist, when the log path is not a valid pointer, or below the minimum
//     level. The file is opened on the first message (append, create, 0644);
//     a failed open is tried again by the next message.
//  5. A failure to write the log never produces further log messages.
// Not promised: messages written by several threads at once may interleave
// byte by byte.
//
// Thread safety: CTRSDKLog may be called from any thread, including signal
// handlers. The profiling functions may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>

namespace sdk {

enum CTRSDKLogLevel : int {
  kCTRSDKLogLevelDebug = 1,
  kCTRSDKLogLevelInfo = 2,
  kCTRSDKLogLevelWarn = 3,
  kCTRSDKLogLevelError = 4,
};

// Writes one message to the SDK log (see the guarantees above).
void CTRSDKLog(int level, const char* format, ...);

// The system's description of `errnum` ("No such file or directory"),
// untranslated; safe inside a signal handler (no locale, no allocation).
const char* CTRErrorText(int errnum);

// A mark of the monotonic clock, in the clock's own units.
std::uint64_t CTRProfilingStart();
// Milliseconds from `mark` to now.
double CTRProfilingElapsedMilliseconds(std::uint64_t mark);
// Runs `block` and writes "[Profile] <name>: <ms> ms" to stderr.
void CTRProfilingMeasureBlock(const char* name, const std::function<void()>& block);

// The clock's timebase: ticks × numerator ÷ denominator = nanoseconds.
struct CTRProfilingTimebase {
  std::uint32_t numerator;
  std::uint32_t denominator;
};
CTRProfilingTimebase CTRProfilingGetTimebase();
// Milliseconds between two marks under `timebase` (0.0 for a zero
// denominator, or when `now` is before `mark`).
double CTRProfilingMillisecondsBetween(std::uint64_t mark, std::uint64_t now,
                                       CTRProfilingTimebase timebase);

}  // namespace sdk

// The level tags. Each macro writes the tag, "[function:line] " and the
// message; the message carries its own newline.
#define CTR_SDK_LOG_DEBUG(fmt, ...)                                             \
  ::sdk::CTRSDKLog(::sdk::kCTRSDKLogLevelDebug, "DEBUG [%s:%d] " fmt, __func__, \
                   __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define CTR_SDK_LOG_INFO(fmt, ...)                                             \
  ::sdk::CTRSDKLog(::sdk::kCTRSDKLogLevelInfo, "INFO  [%s:%d] " fmt, __func__, \
                   __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define CTR_SDK_LOG_WARN(fmt, ...)                                             \
  ::sdk::CTRSDKLog(::sdk::kCTRSDKLogLevelWarn, "WARN  [%s:%d] " fmt, __func__, \
                   __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define CTR_SDK_LOG_ERROR(fmt, ...)                                             \
  ::sdk::CTRSDKLog(::sdk::kCTRSDKLogLevelError, "ERROR [%s:%d] " fmt, __func__, \
                   __LINE__ __VA_OPT__(, ) __VA_ARGS__)
