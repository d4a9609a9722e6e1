// Guarded memory of crash capture: allocation from its two regions.
//
// The allocator hands out memory from one anonymous mapping laid out as
// guard page, writable region, guard page, read-only region, guard page, so
// that everything crash-time code touches exists before any crash. With
// the page size P (4096) and the sizes asked for, w writable and r
// read-only, the writable region is P × (w ÷ P + 1) bytes and the read-only
// region P × ((r + 64) ÷ P + 1) bytes; the allocator's 64-byte header is the
// first block of the read-only region.
//
// Guarantees:
//  1. Allocation from a region is a lock-free bump of its next-free pointer
//     (compare-and-swap), safe from any thread and inside a signal handler
//     while the region has room. Memory is never given back.
//  2. A request that does not fit, a missing allocator and a protected one
//     fall back to malloc (with a warning in the SDK log), so start-up never
//     fails for lack of guarded memory. That fallback is not async-signal-
//     safe; crash-time code only reads memory allocated at start-up.
//  3. The guard pages have no access at all: running off the end of a
//     region (a stack overflow into it, a stray write) faults.
//  4. After CTRAllocatorProtect the read-only region (header included) is
//     read-only; the writable region stays writable.
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

// A new mapping with its guard pages and the header filled in; nullptr
// (with an ERROR in the SDK log) when mapping or guarding fails. Never
// unmapped once made.
CTRAllocator* CTRAllocatorCreate(std::size_t writableSize, std::size_t readOnlySize);

// Write-protects the read-only region. False for an invalid allocator or
// when the protection fails; true (with a warning) when already protected.
bool CTRAllocatorProtect(CTRAllocator* allocator);
// Makes the whole mapping (guard pages too) readable and writable again and
// clears the protected flag; false when that fails.
bool CTRAllocatorUnprotect(CTRAllocator* allocator);
// Frees `memory` only when there is no allocator (it then came from malloc);
// guarded memory is never given back.
void CTRAllocatorFree(CTRAllocator* allocator, void* memory);
// Releases the allocator: guarded memory is never given back, so nothing.
void CTRAllocatorRelease(CTRAllocator* allocator);

// Size of the allocator's header at the start of the read-only region.
inline constexpr std::size_t kCTRAllocatorHeaderSize = 64;

// `size` bytes from `region` of `allocator` (see the guarantees); nullptr
// for an unknown region.
void* CTRAllocatorSafeAllocate(CTRAllocator* allocator, std::size_t size, int region);

// Lock-free bump allocation from one region; malloc when it is full.
void* CTRAllocatorSafeAllocateFromRegion(CTRAllocatorRegion* region, std::size_t size);

}  // namespace sdk
