#include "sdk/crash/capture/ctr_allocator.h"

#include <atomic>
#include <cstdlib>

#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_sdk_log.h"

namespace sdk {

namespace {

// Every block starts on this boundary, so that structures and atomics taken
// from a region after an odd-sized string stay aligned.
constexpr std::uint64_t kAllocationAlignment = 16;

}  // namespace

void* CTRAllocatorSafeAllocate(CTRAllocator* allocator, std::size_t size, int region) {
  if (!CTRIsValidPointer(allocator)) {
    CTR_SDK_LOG_WARN("Allocator invalid, falling back to malloc\n");
    return std::malloc(size);
  }
  if (allocator->isProtected) {
    CTR_SDK_LOG_WARN("Allocator already protected, falling back to malloc\n");
    return std::malloc(size);
  }
  switch (region) {
    case kCTRAllocationRegionReadOnly:
      return CTRAllocatorSafeAllocateFromRegion(&allocator->readOnly, size);
    case kCTRAllocationRegionWritable:
      return CTRAllocatorSafeAllocateFromRegion(&allocator->writable, size);
    default:
      return nullptr;
  }
}

void* CTRAllocatorSafeAllocateFromRegion(CTRAllocatorRegion* region, std::size_t size) {
  const std::uint64_t rounded =
      (static_cast<std::uint64_t>(size) + kAllocationAlignment - 1) & ~(kAllocationAlignment - 1);
  std::atomic_ref<std::uint64_t> nextFree(region->nextFree);
  std::uint64_t next = nextFree.load(std::memory_order_acquire);
  for (;;) {
    const std::uint64_t used = next - region->base;
    if (rounded < size || used > region->size || rounded > region->size - used) {
      CTR_SDK_LOG_WARN("Unable to allocate sufficient memory, falling back to malloc\n");
      return std::malloc(size);
    }
    if (nextFree.compare_exchange_weak(next, next + rounded, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
      return reinterpret_cast<void*>(static_cast<std::uintptr_t>(next));
    }
  }
}

}  // namespace sdk
