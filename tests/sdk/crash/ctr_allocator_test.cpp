#include "sdk/crash/capture/ctr_allocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crash_context_fixture.h"

namespace sdk {
namespace {

constexpr std::uint64_t kPage = 4096;

// The permissions ("rw-p", "r--p", "---p") of the mapping holding `address`
// in /proc/self/maps; "" when none holds it.
std::string permissionsAt(std::uint64_t address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%llx-%llx %4s", &start, &end, perms) != 3) continue;
    if (address >= start && address < end) return perms;
  }
  return {};
}

std::uint64_t addressOf(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

class AllocatorTest : public testing::CrashContextTest {};

TEST_F(AllocatorTest, MappingIsGuardWritableGuardReadOnlyGuard) {
  CTRAllocator* allocator = CTRAllocatorCreate(8192, 100);
  ASSERT_NE(allocator, nullptr);
  const std::uint64_t start = addressOf(allocator->mapping);
  EXPECT_EQ(allocator->writable.size, 12288u);
  EXPECT_EQ(allocator->readOnly.size, 4096u);
  EXPECT_EQ(allocator->writable.base, start + kPage);
  EXPECT_EQ(allocator->writable.nextFree, allocator->writable.base);
  EXPECT_EQ(allocator->readOnly.base, start + 2 * kPage + 12288);
  // The header is the read-only region's first 64 bytes.
  EXPECT_EQ(addressOf(allocator), allocator->readOnly.base);
  EXPECT_EQ(allocator->readOnly.nextFree, allocator->readOnly.base + kCTRAllocatorHeaderSize);
  EXPECT_FALSE(allocator->isProtected);

  // 3 × 4096 + 12288 + 4096 = 28672 bytes in all.
  EXPECT_EQ(permissionsAt(start), "---p");
  EXPECT_EQ(permissionsAt(start + kPage), "rw-p");
  EXPECT_EQ(permissionsAt(start + kPage + 12288 - 1), "rw-p");
  EXPECT_EQ(permissionsAt(start + kPage + 12288), "---p");
  EXPECT_EQ(permissionsAt(start + 2 * kPage + 12288), "rw-p");
  EXPECT_EQ(permissionsAt(start + 2 * kPage + 12288 + 4096), "---p");
  EXPECT_EQ(permissionsAt(start + 28672 - 1), "---p");
}

TEST_F(AllocatorTest, RegionSizesAlwaysLeaveRoomBeyondTheRequest) {
  CTRAllocator* exact = CTRAllocatorCreate(4096, 4096 - 64);
  ASSERT_NE(exact, nullptr);
  EXPECT_EQ(exact->writable.size, 8192u);  // a full page more for a multiple of the page
  EXPECT_EQ(exact->readOnly.size, 8192u);
  CTRAllocator* empty = CTRAllocatorCreate(0, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->writable.size, 4096u);
  EXPECT_EQ(empty->readOnly.size, 4096u);
}

TEST_F(AllocatorTest, AllocationsComeFromTheirRegionUntilItIsFull) {
  CTRAllocator* allocator = CTRAllocatorCreate(100, 100);
  ASSERT_NE(allocator, nullptr);
  void* writable = CTRAllocatorSafeAllocate(allocator, 100, kCTRAllocationRegionWritable);
  void* readOnly = CTRAllocatorSafeAllocate(allocator, 100, kCTRAllocationRegionReadOnly);
  EXPECT_EQ(addressOf(writable), allocator->writable.base);
  EXPECT_EQ(addressOf(readOnly), allocator->readOnly.base + kCTRAllocatorHeaderSize);
  EXPECT_EQ(CTRAllocatorSafeAllocate(allocator, 1, 7), nullptr);

  // The rest of the page fits; one byte more does not and comes from the heap.
  const std::uint64_t left =
      allocator->writable.size - (allocator->writable.nextFree - allocator->writable.base);
  void* rest = CTRAllocatorSafeAllocate(allocator, left, kCTRAllocationRegionWritable);
  EXPECT_GE(addressOf(rest), allocator->writable.base);
  EXPECT_LT(addressOf(rest), allocator->writable.base + allocator->writable.size);
  EXPECT_EQ(sdkLog().find("falling back to malloc"), std::string::npos);
  void* heap = CTRAllocatorSafeAllocate(allocator, 1, kCTRAllocationRegionWritable);
  ASSERT_NE(heap, nullptr);
  EXPECT_TRUE(addressOf(heap) < allocator->writable.base ||
              addressOf(heap) >= allocator->writable.base + allocator->writable.size);
  EXPECT_NE(sdkLog().find("Unable to allocate sufficient memory, falling back to malloc\n"),
            std::string::npos);
  std::free(heap);
}

TEST_F(AllocatorTest, ConcurrentAllocationsNeverOverlap) {
  CTRAllocator* allocator = CTRAllocatorCreate(64 * 1024, 0);
  ASSERT_NE(allocator, nullptr);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;  // 4 × 200 × 48 bytes fit the region
  std::vector<std::vector<std::uint64_t>> blocks(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        void* p = CTRAllocatorSafeAllocate(allocator, 40, kCTRAllocationRegionWritable);
        std::memset(p, t, 40);
        blocks[t].push_back(addressOf(p));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::uint64_t> all;
  for (const auto& list : blocks) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end());
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_GE(all[i], allocator->writable.base);
    EXPECT_LE(all[i] + 40, allocator->writable.base + allocator->writable.size);
    if (i > 0) {
      ASSERT_GE(all[i], all[i - 1] + 40) << "blocks overlap";
    }
  }
}

TEST_F(AllocatorTest, ProtectMakesOnlyTheReadOnlyRegionReadOnly) {
  CTRAllocator* allocator = CTRAllocatorCreate(8192, 100);
  ASSERT_NE(allocator, nullptr);
  ASSERT_TRUE(CTRAllocatorProtect(allocator));
  EXPECT_TRUE(allocator->isProtected);
  EXPECT_EQ(permissionsAt(allocator->readOnly.base), "r--p");
  EXPECT_EQ(permissionsAt(allocator->writable.base), "rw-p");

  // Later requests come from the heap, whatever the region.
  void* heap = CTRAllocatorSafeAllocate(allocator, 16, kCTRAllocationRegionWritable);
  ASSERT_NE(heap, nullptr);
  EXPECT_EQ(allocator->writable.nextFree, allocator->writable.base);
  EXPECT_NE(sdkLog().find("WARN  [CTRAllocatorSafeAllocate:"), std::string::npos);
  EXPECT_NE(sdkLog().find("Allocator already protected, falling back to malloc\n"),
            std::string::npos);
  std::free(heap);

  EXPECT_TRUE(CTRAllocatorProtect(allocator));
  EXPECT_NE(sdkLog().find("Write protection already enabled"), std::string::npos);

  ASSERT_TRUE(CTRAllocatorUnprotect(allocator));
  EXPECT_FALSE(allocator->isProtected);
  const std::uint64_t start = addressOf(allocator->mapping);
  for (std::uint64_t offset = 0; offset < 3 * kPage + 12288 + 4096; offset += kPage) {
    EXPECT_EQ(permissionsAt(start + offset), "rw-p") << offset;
  }
  void* guarded = CTRAllocatorSafeAllocate(allocator, 16, kCTRAllocationRegionReadOnly);
  EXPECT_EQ(addressOf(guarded), allocator->readOnly.base + kCTRAllocatorHeaderSize);
}

TEST_F(AllocatorTest, MissingAllocatorFallsBackToTheHeap) {
  void* heap = CTRAllocatorSafeAllocate(nullptr, 16, kCTRAllocationRegionReadOnly);
  ASSERT_NE(heap, nullptr);
  EXPECT_NE(sdkLog().find("Allocator invalid, falling back to malloc\n"), std::string::npos);
  CTRAllocatorFree(nullptr, heap);  // given back: it came from malloc

  EXPECT_FALSE(CTRAllocatorProtect(reinterpret_cast<CTRAllocator*>(16)));
  EXPECT_NE(sdkLog().find("ERROR [CTRAllocatorProtect:"), std::string::npos);
  EXPECT_NE(sdkLog().find("Invalid allocator"), std::string::npos);
}

TEST_F(AllocatorTest, GuardedMemoryIsNeverFreed) {
  CTRAllocator* allocator = CTRAllocatorCreate(100, 100);
  ASSERT_NE(allocator, nullptr);
  auto* block =
      static_cast<char*>(CTRAllocatorSafeAllocate(allocator, 32, kCTRAllocationRegionWritable));
  CTRAllocatorFree(allocator, block);  // must not reach free()
  CTRAllocatorRelease(allocator);
  std::memset(block, 1, 32);
  EXPECT_EQ(block[31], 1);
}

TEST_F(AllocatorTest, WritesIntoGuardPagesAndProtectedMemoryFault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  CTRAllocator* allocator = CTRAllocatorCreate(100, 100);
  ASSERT_NE(allocator, nullptr);
  auto* readOnly =
      static_cast<char*>(CTRAllocatorSafeAllocate(allocator, 8, kCTRAllocationRegionReadOnly));
  auto* writableEnd = reinterpret_cast<volatile char*>(
      static_cast<std::uintptr_t>(allocator->writable.base + allocator->writable.size));
  EXPECT_DEATH(*writableEnd = 1, "");  // the middle guard page
  ASSERT_TRUE(CTRAllocatorProtect(allocator));
  EXPECT_DEATH(*reinterpret_cast<volatile char*>(readOnly) = 1, "");
}

}  // namespace
}  // namespace sdk
