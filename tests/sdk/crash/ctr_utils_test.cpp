#include "sdk/crash/ctr_utils.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "crash_context_fixture.h"
#include "sdk/crash/capture/ctr_allocator.h"

namespace sdk {
namespace {

using UtilsTest = testing::CrashContextTest;

TEST(HexTest, BytesAndCharacters) {
  char out[7];
  std::fill(std::begin(out), std::end(out), 'x');
  CTRHexFromBytes("abc", 3, out);
  EXPECT_STREQ(out, "616263");

  char zeroed[5] = {'x', 'x', 'x', 'x', 'x'};
  CTRHexFromBytes(nullptr, 2, zeroed);
  EXPECT_EQ(std::string(zeroed, 5), std::string(5, '\0'));
  CTRHexFromBytes("a", 1, nullptr);  // does nothing

  char pair[3] = {0, 0, 0};
  CTRHexFromByte(0x0f, pair);
  EXPECT_STREQ(pair, "0f");
  CTRHexFromByte(0xab, nullptr);

  EXPECT_EQ(CTRHexValueOfCharacter('0'), 0);
  EXPECT_EQ(CTRHexValueOfCharacter('9'), 9);
  EXPECT_EQ(CTRHexValueOfCharacter('a'), 10);
  EXPECT_EQ(CTRHexValueOfCharacter('F'), 15);
  EXPECT_EQ(CTRHexValueOfCharacter('g'), 255);
  EXPECT_EQ(CTRHexValueOfCharacter('\0'), 255);

  EXPECT_EQ(CTRHexStringFromData(platform::Value::data("\x00\xff\x10", 3)), "00ff10");
  EXPECT_EQ(CTRHexStringFromData(platform::Value::data(nullptr, 0)), "");
}

TEST(DigestTest, SHA1OfBytesAndData) {
  EXPECT_EQ(CTRSHA1HexDigest("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(CTRSHA1HexDigestOfData(platform::Value::data("abc", 3)),
            "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(CTRSHA1HexDigest("", 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(UUIDTest, GeneratedAndNormalisedForms) {
  const std::string uuid = CTRGenerateUUIDString();
  ASSERT_EQ(uuid.size(), 36u);
  EXPECT_EQ(uuid[8], '-');
  EXPECT_EQ(uuid[23], '-');
  EXPECT_NE(uuid, CTRGenerateUUIDString());
  EXPECT_EQ(CTRNormalizeUUIDString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"),
            "e621e1f8c36c495a93fc0c247a3e6e5f");
  EXPECT_EQ(CTRNormalizeUUIDString("-a-B-"), "ab");
  const std::string normalized = CTRGenerateNormalizedUUIDString();
  ASSERT_EQ(normalized.size(), 32u);
  EXPECT_TRUE(std::all_of(normalized.begin(), normalized.end(),
                          [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }));
}

TEST_F(UtilsTest, UnlinkIfExists) {
  const std::string file = root().file("record");
  std::ofstream(file) << "x";
  EXPECT_TRUE(CTRUnlinkIfExists(file.c_str()));
  EXPECT_NE(::access(file.c_str(), F_OK), 0);
  EXPECT_TRUE(CTRUnlinkIfExists(file.c_str())) << "a missing file counts as removed";
  const std::string dir = root().file("dir");
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  EXPECT_FALSE(CTRUnlinkIfExists(dir.c_str()));
  EXPECT_FALSE(CTRUnlinkIfExists(nullptr));
}

TEST(DelayedWorkTest, DispatchAfterSecondsRunsOnTheQueueAfterTheDelay) {
  auto queue = platform::dispatch::Queue::createSerial("crash.test.after");
  platform::dispatch::Semaphore done;
  std::atomic<bool> onQueue{false};
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration waited{};
  CTRDispatchAfterSeconds(
      queue,
      [&] {
        waited = std::chrono::steady_clock::now() - start;
        onQueue = queue->isCurrent();
        done.signal();
      },
      0.05);
  ASSERT_TRUE(done.wait(std::chrono::seconds(10)));
  EXPECT_TRUE(onQueue.load());
  EXPECT_GE(waited, std::chrono::milliseconds(50));
  CTRDispatchAfterSeconds(
      nullptr, [] {}, 0.0);  // no queue: nothing
}

TEST(DelayedWorkTest, OperationQueueAddAfterSecondsAddsAnOperation) {
  auto operations = platform::OperationQueue::create("crash.test.operations");
  platform::dispatch::Semaphore done;
  platform::OperationQueue::Ptr runningOn;
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration waited{};
  CTROperationQueueAddAfterSeconds(
      operations,
      [&] {
        waited = std::chrono::steady_clock::now() - start;
        runningOn = platform::OperationQueue::currentQueue();
        done.signal();
      },
      0.02);
  EXPECT_EQ(operations->operationCount(), 0u) << "not added before the delay";
  ASSERT_TRUE(done.wait(std::chrono::seconds(10)));
  EXPECT_EQ(runningOn, operations);
  EXPECT_GE(waited, std::chrono::milliseconds(20));
}

TEST(SymbolInfoTest, NamesTheSymbolAndImageOfAnAddress) {
  void* address = ::dlsym(RTLD_DEFAULT, "getpid");
  ASSERT_NE(address, nullptr);
  std::string symbol, image;
  int calls = 0;
  CTRSymbolInfoForAddress(reinterpret_cast<std::uintptr_t>(address),
                          [&](const char* s, const char* i) {
                            ++calls;
                            symbol = s ? s : "<null>";
                            image = i ? i : "<null>";
                          });
  EXPECT_EQ(calls, 1);
  EXPECT_NE(symbol.find("getpid"), std::string::npos) << symbol;
  EXPECT_NE(image.find("libc"), std::string::npos) << image;
}

TEST(SymbolInfoTest, UnknownAddressGivesTwoNulls) {
  bool called = false;
  CTRSymbolInfoForAddress(0x10, [&](const char* s, const char* i) {
    called = true;
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(i, nullptr);
  });
  EXPECT_TRUE(called);
}

// A test stand-in for the guarded mapping: one aligned block as read-only
// region.
struct TestAllocator {
  explicit TestAllocator(std::size_t size) : memory(size / 16 + 1) {
    allocator.readOnly.size = size;
    allocator.readOnly.base = reinterpret_cast<std::uintptr_t>(memory.data());
    allocator.readOnly.nextFree = allocator.readOnly.base;
    allocator.writable = allocator.readOnly;
  }
  bool owns(const void* p) const {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    return a >= allocator.readOnly.base && a < allocator.readOnly.base + allocator.readOnly.size;
  }
  std::vector<std::max_align_t> memory;
  CTRAllocator allocator{};
};

TEST_F(UtilsTest, CopyStringWithoutAllocatorFallsBackToTheHeap) {
  EXPECT_EQ(CTRCrashContextCopyString(nullptr), nullptr);
  const char* copy = CTRCrashContextCopyString("path/to/sdk.log");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "path/to/sdk.log");
  std::free(const_cast<char*>(copy));
  EXPECT_NE(sdkLog().find("] Allocator invalid, falling back to malloc\n"), std::string::npos);
}

TEST_F(UtilsTest, CopyStringTakesAlignedMemoryFromTheReadOnlyRegion) {
  TestAllocator test(64);
  ctrAllocator = &test.allocator;
  const char* a = CTRCrashContextCopyString("abc");
  const char* b = CTRCrashContextCopyString("0123456789abcdefXYZ");  // 20 bytes
  const char* empty = CTRCrashContextCopyString("");
  EXPECT_TRUE(test.owns(a));
  EXPECT_TRUE(test.owns(b));
  EXPECT_TRUE(test.owns(empty));
  EXPECT_STREQ(a, "abc");
  EXPECT_STREQ(b, "0123456789abcdefXYZ");
  EXPECT_STREQ(empty, "");
  // Every block starts aligned, whatever the size before it.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % 16, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(empty) % 16, 0u);
  EXPECT_EQ(test.allocator.readOnly.nextFree - test.allocator.readOnly.base, 64u);

  // Full: the heap, with a warning.
  const char* spilled = CTRCrashContextCopyString("x");
  EXPECT_FALSE(test.owns(spilled));
  EXPECT_STREQ(spilled, "x");
  std::free(const_cast<char*>(spilled));
  EXPECT_NE(sdkLog().find("] Unable to allocate sufficient memory, falling back to malloc\n"),
            std::string::npos);

  // Protected: the heap, with its own warning.
  TestAllocator fresh(64);
  fresh.allocator.isProtected = true;
  ctrAllocator = &fresh.allocator;
  const char* late = CTRCrashContextCopyString("late");
  EXPECT_FALSE(fresh.owns(late));
  std::free(const_cast<char*>(late));
  EXPECT_NE(sdkLog().find("] Allocator already protected, falling back to malloc\n"),
            std::string::npos);
}

TEST(AllocatorTest, RegionsAndUnknownRegion) {
  TestAllocator test(256);
  test.allocator.writable.base += 128;
  test.allocator.writable.nextFree = test.allocator.writable.base;
  test.allocator.writable.size = 128;
  test.allocator.readOnly.size = 128;
  void* w = CTRAllocatorSafeAllocate(&test.allocator, 8, kCTRAllocationRegionWritable);
  void* r = CTRAllocatorSafeAllocate(&test.allocator, 8, kCTRAllocationRegionReadOnly);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(w), test.allocator.writable.base);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(r), test.allocator.readOnly.base);
  EXPECT_EQ(CTRAllocatorSafeAllocate(&test.allocator, 8, 2), nullptr);
}

TEST(AllocatorTest, ConcurrentAllocationsNeverOverlap) {
  constexpr int kThreads = 8;
  constexpr int kEach = 200;
  TestAllocator test(kThreads * kEach * 16);
  std::vector<std::vector<std::uintptr_t>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        got[t].push_back(reinterpret_cast<std::uintptr_t>(
            CTRAllocatorSafeAllocateFromRegion(&test.allocator.readOnly, 16)));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::uintptr_t> all;
  for (const auto& list : got) {
    for (std::uintptr_t a : list) {
      EXPECT_TRUE(test.owns(reinterpret_cast<void*>(a)));
      all.insert(a);
    }
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
  EXPECT_EQ(test.allocator.readOnly.nextFree - test.allocator.readOnly.base,
            test.allocator.readOnly.size);
}

}  // namespace
}  // namespace sdk
