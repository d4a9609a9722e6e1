#include "sdk/crash/capture/ctr_allocator.h"

#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_host.h"
#include "sdk/crash/capture/ctr_sdk_log.h"

namespace sdk {

namespace {

// Every block starts on this boundary, so that structures and atomics taken
// from a region after an odd-sized string stay aligned.
constexpr std::uint64_t kAllocationAlignment = 16;

static_assert(sizeof(CTRAllocator) <= kCTRAllocatorHeaderSize,
              "the allocator's header must fit its 64 bytes");

std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// Total size of the mapping behind `allocator`: three guard pages and the
// two regions.
std::size_t mappingSize(const CTRAllocator* allocator, std::uint64_t page) {
  return static_cast<std::size_t>(3 * page + allocator->writable.size + allocator->readOnly.size);
}

}  // namespace

CTRAllocator* CTRAllocatorCreate(std::size_t writableSize, std::size_t readOnlySize) {
  const std::uint64_t page = CTRHostGetPageSize();
  const std::uint64_t writable = page * (writableSize / page + 1);
  const std::uint64_t readOnly = page * ((readOnlySize + kCTRAllocatorHeaderSize) / page + 1);
  const std::size_t total = static_cast<std::size_t>(3 * page + writable + readOnly);

  // Linux has no "not cached" mapping flag; an anonymous private mapping is
  // never backed by a file's page cache anyway.
  void* mapping =
      ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
  if (mapping == MAP_FAILED) {
    CTR_SDK_LOG_ERROR("Mapping failed %s\n", CTRErrorText(errno));
    return nullptr;
  }
  auto* start = static_cast<char*>(mapping);
  char* writableStart = start + page;
  char* middleGuard = writableStart + writable;
  char* readOnlyStart = middleGuard + page;
  char* lastGuard = readOnlyStart + readOnly;
  CTR_SDK_LOG_INFO("Mapping: %p %p %p, total: %zu K\n", mapping, writableStart, readOnlyStart,
                   total / 1024);

  const struct {
    void* start;
    const char* failure;
  } guards[] = {
      {start, "First"},
      {middleGuard, "Middle"},
      {lastGuard, "Last"},
  };
  for (const auto& guard : guards) {
    if (::mprotect(guard.start, static_cast<std::size_t>(page), PROT_NONE) != 0) {
      const int error = errno;
      if (guard.start == start) {
        CTR_SDK_LOG_ERROR("First guard protection failed %s\n", CTRErrorText(error));
      } else if (guard.start == middleGuard) {
        CTR_SDK_LOG_ERROR("Middle guard protection failed %s\n", CTRErrorText(error));
      } else {
        CTR_SDK_LOG_ERROR("Last guard protection failed %s\n", CTRErrorText(error));
      }
      ::munmap(mapping, total);
      return nullptr;
    }
  }

  // The header is the read-only region's first block; the region it
  // describes already counts it as taken.
  CTRAllocatorRegion readOnlyRegion{readOnly, address(readOnlyStart), address(readOnlyStart)};
  auto* allocator = static_cast<CTRAllocator*>(
      CTRAllocatorSafeAllocateFromRegion(&readOnlyRegion, kCTRAllocatorHeaderSize));
  std::memset(static_cast<void*>(allocator), 0, kCTRAllocatorHeaderSize);
  allocator->mapping = mapping;
  allocator->isProtected = false;
  allocator->writable = {writable, address(writableStart), address(writableStart)};
  allocator->readOnly = readOnlyRegion;
  CTR_SDK_LOG_DEBUG("Allocator successfully created %p", static_cast<void*>(allocator));
  return allocator;
}

bool CTRAllocatorProtect(CTRAllocator* allocator) {
  if (!CTRIsValidPointer(allocator)) {
    CTR_SDK_LOG_ERROR("Invalid allocator");
    return false;
  }
  if (allocator->isProtected) {
    CTR_SDK_LOG_WARN("Write protection already enabled");
    return true;
  }
  allocator->isProtected = true;
  void* start = reinterpret_cast<void*>(static_cast<std::uintptr_t>(allocator->readOnly.base));
  return ::mprotect(start, static_cast<std::size_t>(allocator->readOnly.size), PROT_READ) == 0;
}

bool CTRAllocatorUnprotect(CTRAllocator* allocator) {
  if (!CTRIsValidPointer(allocator)) {
    CTR_SDK_LOG_ERROR("Invalid allocator");
    return false;
  }
  const std::size_t total = mappingSize(allocator, CTRHostGetPageSize());
  if (::mprotect(allocator->mapping, total, PROT_READ | PROT_WRITE) != 0) return false;
  allocator->isProtected = false;
  return true;
}

void CTRAllocatorFree(CTRAllocator* allocator, void* memory) {
  if (allocator == nullptr) std::free(memory);
}

void CTRAllocatorRelease(CTRAllocator* /*allocator*/) {}

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
