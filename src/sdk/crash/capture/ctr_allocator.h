// Guarded memory of crash capture: allocation from its two regions.
//
// The allocator hands out memory from one anonymous mapping laid out as
// guard page, writable region, guard page, read-only region, guard page, so
// that everything crash-time code touches exists before any crash. This
// header holds the allocator's header structure and the allocation entry
// points; the mapping itself (creation, guard pages, write protection) is
// made by the crash context's start-up.
//
// Guarantees:
//  1. Allocation from a region is a lock-free bump of its next-free pointer
//     (compare-and-swap), safe from any thread and inside a signal handler
//     while the region has room. Memory is never given back.
//  2. A request that does not fit, a missing allocator and a protected one
//     fall back to malloc (with a warning in the SDK log), so start-up never
//     fails for lack of guarded memory. That fallback is not async-signal-
//     safe; crash-time code only reads memory allocated at start-up.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sdk {

// One region of the mapping.
struct CTRAllocatorRegion {
  std::uint64_t size;
  std::uint64_t base;      // address of the region's first byte
  std::uint64_t nextFree;  // address of the next byte to hand out
};

// The allocator's header (the first 64 bytes of the read-only region).
struct CTRAllocator {
  void* mapping;     // start of the mapping (the first guard page)
  bool isProtected;  // the read-only region is write-protected
  CTRAllocatorRegion writable;
  CTRAllocatorRegion readOnly;
};

enum CTRAllocationRegion : int {
  kCTRAllocationRegionReadOnly = 0,
  kCTRAllocationRegionWritable = 1,
};

// `size` bytes from `region` of `allocator` (see the guarantees); nullptr
// for an unknown region.
void* CTRAllocatorSafeAllocate(CTRAllocator* allocator, std::size_t size, int region);

// Lock-free bump allocation from one region; malloc when it is full.
void* CTRAllocatorSafeAllocateFromRegion(CTRAllocatorRegion* region, std::size_t size);

}  // namespace sdk
