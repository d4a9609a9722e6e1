#include "sdk/crash/ctr_compact_unwind.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "ctr_unwind_test_support.h"

namespace sdk {
namespace {

// A fake image: code is never read except for the indirect stack size, the
// compact unwind section lives at +0x2000 and the eh-frame section at +0x2800.
//
// Functions (offsets from the load address) and their encodings:
//   A 0x100..0x200  frame-based                 (common encoding 0)
//   B 0x200..0x300  frameless, 32 bytes, r12 rbp rbx  (common encoding 1)
//   C 0x300..0x600  DWARF, FDE at eh-frame + 0x20 (page encoding 0)
//   E 0x600..0x700  encoding index past the page's encodings
//   D 0x700..0x800  frame-based                 (page encoding 1; last of the page)
//   0x800..0x1000   a regular second-level page
constexpr std::size_t kImageSize = 0x3000;
constexpr std::size_t kUnwindInfo = 0x2000;
constexpr std::size_t kEhFrame = 0x2800;
constexpr std::size_t kFdeOffset = 0x20;

constexpr std::uint32_t kBPFrame = kCTRCompactUnwindModeBPFrame;
// 32 bytes of stack, 3 registers, permutation 36 = (r12, rbp, rbx).
constexpr std::uint32_t kFrameless3 =
    kCTRCompactUnwindModeStackImmediate | (4u << 16) | (3u << 10) | 36u;

struct alignas(4096) FakeImage {
  std::uint8_t bytes[kImageSize];

  std::uintptr_t base() const { return reinterpret_cast<std::uintptr_t>(bytes); }
  template <typename T>
  void put(std::size_t offset, T value) {
    std::memcpy(bytes + offset, &value, sizeof(T));
  }

  FakeImage() {
    std::memset(bytes, 0, sizeof(bytes));
    const std::size_t u = kUnwindInfo;
    // Header: version, common encodings (offset 28, 2), personalities
    // (offset 36, 0), index (offset 36, 3 entries with the sentinel).
    const std::uint32_t header[7] = {1, 28, 2, 36, 0, 36, 3};
    std::memcpy(bytes + u, header, sizeof(header));
    put<std::uint32_t>(u + 28, kBPFrame);
    put<std::uint32_t>(u + 32, kFrameless3);
    const std::uint32_t page1 = 80;
    const std::uint32_t page2 = 128;
    const std::uint32_t index[9] = {0x100, page1, 0, 0x800, page2, 0, 0x1000, 0, 0};
    std::memcpy(bytes + u + 36, index, sizeof(index));

    // Compressed page: kind, entries at +12 (5), encodings at +32 (2).
    const std::size_t p = u + page1;
    put<std::uint32_t>(p, kCTRCompactUnwindSecondLevelCompressed);
    put<std::uint16_t>(p + 4, 12);
    put<std::uint16_t>(p + 6, 5);
    put<std::uint16_t>(p + 8, 32);
    put<std::uint16_t>(p + 10, 2);
    const std::uint32_t entries[5] = {(0u << 24) | 0x000, (1u << 24) | 0x100, (2u << 24) | 0x200,
                                      (5u << 24) | 0x500, (3u << 24) | 0x600};
    std::memcpy(bytes + p + 12, entries, sizeof(entries));
    put<std::uint32_t>(p + 32, kCTRCompactUnwindModeDwarf | kFdeOffset);
    put<std::uint32_t>(p + 36, kBPFrame);

    put<std::uint32_t>(u + page2, kCTRCompactUnwindSecondLevelRegular);

    // eh-frame: a CIE (CFA = rsp + 8, return address at CFA - 8, absolute
    // 8-byte pointers) and at +0x20 the FDE of C (advance 1, CFA offset 16,
    // rbp at CFA - 16).
    const std::size_t e = kEhFrame;
    const std::uint8_t cie[] = {0x14, 0,    0,    0,    0,    0,    0,    0,    1,    'z',  'R', 0,
                                0x01, 0x78, 0x10, 0x01, 0x00, 0x0c, 0x07, 0x08, 0x90, 0x01, 0,   0};
    std::memcpy(bytes + e, cie, sizeof(cie));
    const std::size_t f = e + kFdeOffset;
    put<std::uint32_t>(f + 4, static_cast<std::uint32_t>(f + 4 - e));
    put<std::uint64_t>(f + 8, base() + 0x300);
    put<std::uint64_t>(f + 16, 0x300);
    const std::uint8_t instructions[] = {0x00, 0x41, 0x0e, 0x10, 0x86, 0x02};
    std::memcpy(bytes + f + 24, instructions, sizeof(instructions));
    put<std::uint32_t>(f, 24 + sizeof(instructions) - 4);
  }
};

class CompactUnwindTest : public testing::UnwindContextTest {
 protected:
  void SetUp() override {
    UnwindContextTest::SetUp();
    image_ = new FakeImage();
    addImage(image_->base(), kImageSize, image_->base() + kEhFrame, image_->base() + kUnwindInfo);
  }
  void TearDown() override {
    delete image_;
    UnwindContextTest::TearDown();
  }

  // A walk at frame 1: frame 0 is at `pc` with `sp` and `fp`.
  void startAt(std::uintptr_t pc, const void* sp, std::uintptr_t fp) {
    CTRMachineContext mc{};
    mc.ss.rip = pc;
    mc.ss.rsp = reinterpret_cast<std::uintptr_t>(sp);
    mc.ss.rbp = fp;
    mc.ss.rbx = 0xb0b0;
    CTRUnwindInit(&context_, &mc);
    ASSERT_TRUE(CTRUnwindNextFrame(&context_));
  }
  std::uintptr_t at(std::size_t offset) const { return image_->base() + offset; }

  FakeImage* image_ = nullptr;
  CTRUnwindContext context_{};
};

TEST_F(CompactUnwindTest, FrameBasedEncodingFollowsTheFramePointer) {
  alignas(16) std::uint64_t stack[4] = {0, 0, 0xf00d, 0x401234};
  startAt(at(0x150), &stack[0], reinterpret_cast<std::uintptr_t>(&stack[2]));
  ASSERT_TRUE(CTRUnwindNextFrame(&context_));
  EXPECT_EQ(CTRUnwindGetPC(&context_), 0x401234u);
  EXPECT_EQ(CTRUnwindGetFramePointer(&context_), 0xf00du);
  EXPECT_EQ(CTRUnwindGetStackPointer(&context_), reinterpret_cast<std::uintptr_t>(&stack[4]));
  const std::string log = sdkLog();
  EXPECT_NE(log.find("Found a second level compressed header\n"), std::string::npos);
  EXPECT_EQ(log.find("Attempting stack scan"), std::string::npos);
}

TEST_F(CompactUnwindTest, FramelessEncodingRestoresRbpAndReadsTheReturnAddress) {
  // 32 bytes: r12, rbp, rbx, return address.
  alignas(16) std::uint64_t stack[5] = {0x1212, 0xbebe, 0x3b3b, 0x405060, 0};
  startAt(at(0x250), &stack[0], 0x9999);
  ASSERT_TRUE(CTRUnwindNextFrame(&context_));
  EXPECT_EQ(CTRUnwindGetPC(&context_), 0x405060u);
  EXPECT_EQ(CTRUnwindGetFramePointer(&context_), 0xbebeu);
  EXPECT_EQ(CTRUnwindGetStackPointer(&context_), reinterpret_cast<std::uintptr_t>(&stack[4]));
  EXPECT_EQ(context_.registers.ss.rbx, 0xb0b0u);  // only rbp is restored
  EXPECT_NE(sdkLog().find("Error: skipping a restore of register 2 at"), std::string::npos);
}

TEST_F(CompactUnwindTest, DwarfEncodingHandsTheFrameToTheCallFrameInformation) {
  alignas(16) std::uint64_t stack[3] = {0xabab, 0x406070, 0};
  startAt(at(0x501), &stack[0], 0x9999);
  ASSERT_TRUE(CTRUnwindNextFrame(&context_));
  EXPECT_EQ(CTRUnwindGetPC(&context_), 0x406070u);
  EXPECT_EQ(CTRUnwindGetFramePointer(&context_), 0xababu);
  EXPECT_EQ(CTRUnwindGetStackPointer(&context_), reinterpret_cast<std::uintptr_t>(&stack[2]));
  EXPECT_NE(sdkLog().find("Trying to read dwarf data with offset"), std::string::npos);
}

TEST_F(CompactUnwindTest, LastFunctionOfAPageEndsWhereTheNextFirstLevelEntryBegins) {
  CTRCompactUnwindContext reader;
  ASSERT_TRUE(CTRCompactUnwindInit(&reader, at(kUnwindInfo), at(kEhFrame), at(0)));
  CTRCompactUnwindResult result{};
  ASSERT_TRUE(CTRCompactUnwindLookup(&reader, at(0x7ff), &result));
  EXPECT_EQ(result.encoding, kBPFrame);
  EXPECT_EQ(result.functionStart, at(0x700));
  EXPECT_EQ(result.functionEnd, at(0x800));
  ASSERT_TRUE(CTRCompactUnwindLookup(&reader, at(0x2ff), &result));
  EXPECT_EQ(result.encoding, kFrameless3);
  EXPECT_EQ(result.functionStart, at(0x200));
  EXPECT_EQ(result.functionEnd, at(0x300));
  // The sentinel ends the index.
  EXPECT_FALSE(CTRCompactUnwindLookup(&reader, at(0x1000), &result));
  EXPECT_FALSE(CTRCompactUnwindLookup(&reader, at(0x50), &result));
  // An encoding index past the page's encodings has no unwind info.
  EXPECT_FALSE(CTRCompactUnwindLookup(&reader, at(0x650), &result));
  EXPECT_NE(sdkLog().find("Entry has has no unwind info\n"), std::string::npos);
}

TEST_F(CompactUnwindTest, RegularPageFallsBackToTheFramePointer) {
  alignas(16) std::uint64_t stack[4] = {0x1, 0x2, 0, 0x407080};
  startAt(at(0x900), &stack[0], reinterpret_cast<std::uintptr_t>(&stack[2]));
  ASSERT_TRUE(CTRUnwindNextFrame(&context_));
  EXPECT_EQ(CTRUnwindGetPC(&context_), 0x407080u);
  const std::string log = sdkLog();
  EXPECT_NE(log.find("Encountered a regular second-level page\n"), std::string::npos);
  EXPECT_NE(log.find("Attempting stack scan\n"), std::string::npos);
}

TEST_F(CompactUnwindTest, InitChecksArgumentsAndVersion) {
  CTRCompactUnwindContext reader;
  EXPECT_FALSE(CTRCompactUnwindInit(nullptr, at(kUnwindInfo), 0, at(0)));
  EXPECT_FALSE(CTRCompactUnwindInit(&reader, 0x100, 0, at(0)));
  EXPECT_FALSE(CTRCompactUnwindInit(&reader, at(kUnwindInfo), 0, 0x100));
  image_->put<std::uint32_t>(kUnwindInfo, 2);
  EXPECT_FALSE(CTRCompactUnwindInit(&reader, at(kUnwindInfo), 0, at(0)));
  EXPECT_NE(sdkLog().find("Error: bad unwind_info structure version (2 != 1)\n"),
            std::string::npos);
}

TEST(CompactUnwindPermutationTest, DecodesAndRemapsSavedRegisters) {
  std::uint32_t regs[6] = {};
  ASSERT_TRUE(CTRCompactUnwindDecompressPermutation(36, 3, regs));
  EXPECT_EQ(regs[0], 1u);
  EXPECT_EQ(regs[1], 4u);
  EXPECT_EQ(regs[2], 0u);
  ASSERT_TRUE(CTRCompactUnwindRemapRegisters(3, regs));
  EXPECT_EQ(regs[0], kCTRCompactUnwindRegisterR12);
  EXPECT_EQ(regs[1], kCTRCompactUnwindRegisterRBP);
  EXPECT_EQ(regs[2], kCTRCompactUnwindRegisterRBX);

  // Six registers (rbp, rbx, r12, r13, r14, r15) = 5 * 120.
  ASSERT_TRUE(CTRCompactUnwindDecompressPermutation(600, 6, regs));
  ASSERT_TRUE(CTRCompactUnwindRemapRegisters(6, regs));
  const std::uint32_t six[6] = {6, 1, 2, 3, 4, 5};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(regs[i], six[i]) << i;

  // Four (r15, r14, r13, r12): 4*60 + 3*12 + 2*3 + 1 = 283.
  ASSERT_TRUE(CTRCompactUnwindDecompressPermutation(283, 4, regs));
  ASSERT_TRUE(CTRCompactUnwindRemapRegisters(4, regs));
  const std::uint32_t four[4] = {5, 4, 3, 2};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(regs[i], four[i]) << i;

  EXPECT_FALSE(CTRCompactUnwindDecompressPermutation(0, 7, regs));
  EXPECT_FALSE(CTRCompactUnwindRemapRegisters(7, regs));
}

TEST_F(CompactUnwindTest, FramelessWithSixRegistersRestoresOnlyRbp) {
  // 64 bytes: six saved registers from sp + 8, return address at sp + 56.
  alignas(16) std::uint64_t stack[9] = {0, 0xbebe, 1, 2, 3, 4, 5, 0x408090, 0};
  CTRMachineContext mc{};
  mc.ss.rsp = reinterpret_cast<std::uintptr_t>(&stack[0]);
  mc.ss.rbx = 0xb0b0;
  CTRUnwindInit(&context_, &mc);
  const std::uint32_t encoding =
      kCTRCompactUnwindModeStackImmediate | (8u << 16) | (6u << 10) | 600u;
  ASSERT_TRUE(CTRCompactUnwindFrameless(encoding, &context_, at(0x100), false));
  EXPECT_EQ(CTRUnwindGetPC(&context_), 0x408090u);
  EXPECT_EQ(CTRUnwindGetFramePointer(&context_), 0xbebeu);
  EXPECT_EQ(CTRUnwindGetStackPointer(&context_), reinterpret_cast<std::uintptr_t>(&stack[8]));
  EXPECT_EQ(context_.registers.ss.rbx, 0xb0b0u);

  const std::uint32_t seven = kCTRCompactUnwindModeStackImmediate | (8u << 16) | (7u << 10);
  EXPECT_FALSE(CTRCompactUnwindFrameless(seven, &context_, at(0x100), false));
  EXPECT_NE(sdkLog().find("Error: unable to decompress registers"), std::string::npos);
}

TEST_F(CompactUnwindTest, IndirectStackSizeIsReadFromTheFunctionsCode) {
  // The stack-adjusting instruction's immediate at function + 0x10: 40,
  // plus one extra 8-byte unit: 48 bytes, return address at sp + 40.
  image_->put<std::uint32_t>(0x110, 40);
  alignas(16) std::uint64_t stack[7] = {0, 0, 0, 0, 0, 0x409000, 0};
  CTRMachineContext mc{};
  mc.ss.rsp = reinterpret_cast<std::uintptr_t>(&stack[0]);
  CTRUnwindInit(&context_, &mc);
  const std::uint32_t encoding = kCTRCompactUnwindModeStackIndirect | (0x10u << 16) | (1u << 13);
  std::uint32_t size = 0;
  ASSERT_TRUE(CTRCompactUnwindComputeStackSize(encoding, at(0x100), true, &size));
  EXPECT_EQ(size, 48u);
  CTRCompactUnwindResult result{encoding, at(0x100), at(0x200)};
  CTRCompactUnwindContext reader;
  ASSERT_TRUE(CTRCompactUnwindInit(&reader, at(kUnwindInfo), at(kEhFrame), at(0)));
  ASSERT_TRUE(CTRCompactUnwindComputeRegisters(&reader, &result, &context_));
  EXPECT_EQ(CTRUnwindGetPC(&context_), 0x409000u);
  EXPECT_EQ(CTRUnwindGetStackPointer(&context_), reinterpret_cast<std::uintptr_t>(&stack[6]));

  // An unreadable function start fails the stack size.
  EXPECT_FALSE(CTRCompactUnwindComputeStackSize(encoding, 0x20, true, &size));
  // Mode 0 is no encoding the walker knows.
  result.encoding = 0x00000123;
  EXPECT_FALSE(CTRCompactUnwindComputeRegisters(&reader, &result, &context_));
  EXPECT_NE(sdkLog().find("Invalid encoding 123\n"), std::string::npos);
}

}  // namespace
}  // namespace sdk
