// The process-wide state of crash capture, as far as the SDK log writer, the
// record files and the host facts need it.
//
// Crash capture keeps everything it needs at crash time in one context,
// prepared once at start-up; the handlers that run when the process crashes
// only read prepared values and write into prepared memory. This header
// holds the pieces of that context that the log writer (ctr_sdk_log.h), the
// host facts (ctr_host.h) and the string copy of ctr_utils.h read; the
// start-up that fills them in (guarded memory, queues, record paths) adds its
// own fields beside these, keeping this order.
//
// Guarantees:
//  1. Every field is plain data: a context or writable state can be made by
//     zeroing memory (a zeroed context is "not initialized").
//  2. The three process-wide pointers start as nullptr and are set once by
//     the start-up, before any task that reads them is started; crash-time
//     code reads them without locks.
// Not promised: the context is not write-protected until the start-up has
// finished (it lives in the read-only region of the allocator, which is
// protected last).
//
// Thread safety: the context is written only during start-up, each task its
// own fields; afterwards it is read-only. The writable state is written with
// atomic operations where several threads may meet (the SDK log descriptor).
#pragma once

#include <cstdint>

#include "sdk/crash/capture/ctr_allocator.h"

namespace sdk {

// Host facts that crash-time code needs (page size for the allocator and the
// statistics, the documents folder whose file system the storage record
// describes).
struct CTRHostState {
  const char* documentsDirectory;  // copied into the read-only region; nullptr when none
  std::uint64_t pageSize;
};

struct CTRContext {
  bool initialized;        // set when start-up has completed
  const char* sdkLogPath;  // "sdk.log" in this launch's report directory
  CTRHostState host;
};

struct CTRWritableState {
  std::int32_t sdkLogDescriptor;    // -1 until the SDK log is first written
  std::int32_t sdkLogMinimumLevel;  // messages below it are not written; 1 at creation
};

// The process-wide values of crash capture (nullptr until start-up).
inline CTRContext* ctrContext = nullptr;
inline CTRWritableState* ctrWritableState = nullptr;
inline CTRAllocator* ctrAllocator = nullptr;

// Pointers below this are never dereferenced by crash capture.
inline constexpr std::uintptr_t kCTRMinimumValidPointer = 4096;
inline bool CTRIsValidPointer(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p) >= kCTRMinimumValidPointer;
}

}  // namespace sdk
