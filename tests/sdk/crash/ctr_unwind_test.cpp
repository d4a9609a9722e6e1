#include "sdk/crash/ctr_unwind.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ctr_unwind_test_support.h"
#include "sdk/crash/capture/ctr_binary_image.h"

namespace sdk {
namespace {

using UnwindTest = testing::UnwindContextTest;

// A readable page followed by an inaccessible one.
class GuardedPages {
 public:
  GuardedPages() {
    page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* p =
        ::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = static_cast<char*>(p);
    ::mprotect(base_ + page_, page_, PROT_NONE);
  }
  ~GuardedPages() { ::munmap(base_, 2 * page_); }
  char* readable() const { return base_; }
  char* guard() const { return base_ + page_; }
  std::size_t pageSize() const { return page_; }

 private:
  char* base_ = nullptr;
  std::size_t page_ = 0;
};

TEST(SafeReadTest, CopiesReadableMemoryAndRefusesBadAddressesWithoutFaulting) {
  const std::uint64_t value = 0x1122334455667788ULL;
  std::uint64_t out = 0;
  EXPECT_TRUE(CTRSafeReadMemory(&value, &out, sizeof(out)));
  EXPECT_EQ(out, value);
  EXPECT_TRUE(CTRSafeReadMemory(&value, &out, 0));

  EXPECT_FALSE(CTRSafeReadMemory(reinterpret_cast<void*>(0x10), &out, sizeof(out)));
  EXPECT_FALSE(CTRSafeReadMemory(reinterpret_cast<void*>(4095), &out, 1));

  GuardedPages pages;
  EXPECT_FALSE(CTRSafeReadMemory(pages.guard(), &out, sizeof(out)));
  // A range that starts readable and runs into the guard page fails whole.
  EXPECT_FALSE(CTRSafeReadMemory(pages.guard() - 4, &out, sizeof(out)));
  EXPECT_FALSE(CTRSafeReadMemory(reinterpret_cast<void*>(UINTPTR_MAX - 3), &out, sizeof(out)));
}

TEST(SafeReadTest, PipeFallbackReadsTheSameAndRefusesTheSame) {
  std::uint8_t big[10000];
  for (std::size_t i = 0; i < sizeof(big); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  std::uint8_t out[sizeof(big)] = {};
  EXPECT_TRUE(CTRSafeReadMemoryThroughPipe(big, out, sizeof(big)));
  EXPECT_EQ(std::memcmp(big, out, sizeof(big)), 0);
  GuardedPages pages;
  std::uint64_t word = 0;
  EXPECT_FALSE(CTRSafeReadMemoryThroughPipe(pages.guard(), &word, sizeof(word)));
  EXPECT_FALSE(CTRSafeReadMemoryThroughPipe(pages.guard() - 4, &word, sizeof(word)));
  EXPECT_FALSE(CTRSafeReadMemoryThroughPipe(reinterpret_cast<void*>(0x10), &word, sizeof(word)));
}

TEST(SafeReadTest, StringCheckStopsAtTheTerminatorOrTheLimit) {
  const char* text = "thread-name";
  const char* out = nullptr;
  EXPECT_TRUE(CTRSafeReadString(text, &out, 64));
  EXPECT_EQ(out, text);

  GuardedPages pages;
  // No terminator before the guard page: the read there fails.
  char* tail = pages.guard() - 4;
  std::memcpy(tail, "abcd", 4);
  out = nullptr;
  EXPECT_FALSE(CTRSafeReadString(tail, &out, 64));
  EXPECT_EQ(out, nullptr);
  EXPECT_TRUE(CTRSafeReadString(tail, &out, 4));
  EXPECT_FALSE(CTRSafeReadString(reinterpret_cast<const char*>(8), &out, 4));
}

TEST(MachineContextTest, TakesRegistersFromTheUserContext) {
  ucontext_t uc;
  std::memset(&uc, 0, sizeof(uc));
  uc.uc_mcontext.gregs[REG_RIP] = 0x401000;
  uc.uc_mcontext.gregs[REG_RSP] = 0x7ffd0000;
  uc.uc_mcontext.gregs[REG_RBP] = 0x7ffd0040;
  uc.uc_mcontext.gregs[REG_RDX] = 2;
  uc.uc_mcontext.gregs[REG_RCX] = 3;
  uc.uc_mcontext.gregs[REG_R15] = 15;
  uc.uc_mcontext.gregs[REG_CSGSFS] = 0x0000002b00000033LL;
  uc.uc_mcontext.gregs[REG_TRAPNO] = 14;
  uc.uc_mcontext.gregs[REG_CR2] = 0xdead;
  CTRMachineContext mc;
  ASSERT_TRUE(CTRMachineContextFromUContext(&uc, &mc));
  EXPECT_EQ(mc.ss.rip, 0x401000u);
  EXPECT_EQ(mc.ss.rsp, 0x7ffd0000u);
  EXPECT_EQ(mc.ss.rbp, 0x7ffd0040u);
  EXPECT_EQ(mc.ss.rdx, 2u);
  EXPECT_EQ(mc.ss.rcx, 3u);
  EXPECT_EQ(mc.ss.r15, 15u);
  EXPECT_EQ(mc.ss.cs, 0x33u);
  EXPECT_EQ(mc.ss.fs, 0x2bu);
  EXPECT_EQ(mc.es.trapno, 14u);
  EXPECT_EQ(mc.es.faultvaddr, 0xdeadu);
  EXPECT_EQ(CTRUnwindGetThreadState(&mc), &mc.ss);
  EXPECT_FALSE(CTRMachineContextFromUContext(nullptr, &mc));
}

// A fake image for hand-made stacks: addresses inside it count as code.
constexpr std::uintptr_t kFakeImage = 0x50000000;
constexpr std::uintptr_t kFakeImageSize = 0x10000;

CTRMachineContext Registers(std::uintptr_t pc, std::uintptr_t sp, std::uintptr_t fp) {
  CTRMachineContext mc{};
  mc.ss.rip = pc;
  mc.ss.rsp = sp;
  mc.ss.rbp = fp;
  return mc;
}

TEST_F(UnwindTest, InitAccessorsAndInvalidContexts) {
  CTRUnwindContext context;
  const CTRMachineContext mc = Registers(0x401234, 0x7000, 0x7100);
  EXPECT_FALSE(CTRUnwindInit(nullptr, &mc));
  ASSERT_TRUE(CTRUnwindInit(&context, &mc));
  EXPECT_EQ(CTRUnwindGetPC(&context), 0x401234u);
  EXPECT_EQ(CTRUnwindGetStackPointer(&context), 0x7000u);
  EXPECT_EQ(CTRUnwindGetFramePointer(&context), 0x7100u);
  EXPECT_EQ(context.frameCount, 0u);
  EXPECT_EQ(CTRUnwindGetPC(nullptr), 0u);
  EXPECT_EQ(CTRUnwindGetPCRepeatCount(nullptr), 0);
  EXPECT_FALSE(CTRUnwindSetPC(reinterpret_cast<CTRUnwindContext*>(16), 1));
  EXPECT_FALSE(CTRUnwindNextFrame(nullptr));
  EXPECT_NE(sdkLog().find("Error: invalid inputs\n"), std::string::npos);
}

TEST_F(UnwindTest, FirstStepYieldsTheThreadsOwnPCWhateverTheStackHolds) {
  CTRUnwindContext context;
  // Neither stack nor frame pointer point at readable memory.
  const CTRMachineContext mc = Registers(0x401234, 0x9000, 0x10);
  CTRUnwindInit(&context, &mc);
  ASSERT_TRUE(CTRUnwindNextFrame(&context));
  EXPECT_EQ(CTRUnwindGetPC(&context), 0x401234u);
  EXPECT_EQ(context.frameCount, 1u);
  EXPECT_EQ(CTRUnwindGetPCRepeatCount(&context), 0);
}

TEST_F(UnwindTest, ThreadWithInvalidStackPointerProducesNoFrame) {
  CTRUnwindContext context;
  const CTRMachineContext mc = Registers(0x401234, 0x800, 0x7100);
  CTRUnwindInit(&context, &mc);
  EXPECT_FALSE(CTRUnwindNextFrame(&context));
  EXPECT_EQ(context.frameCount, 0u);
  EXPECT_NE(sdkLog().find("Cancelling unwind for thread with invalid PC/SP\n"), std::string::npos);
}

TEST_F(UnwindTest, FramePointerChainIsFollowedUntilTheFramePointerIsZero) {
  addImage(kFakeImage, kFakeImageSize);
  alignas(16) std::uint64_t stack[8] = {};
  stack[0] = 0x1234;  // locals: not code, so the scan finds nothing
  stack[1] = 0x5678;
  stack[2] = reinterpret_cast<std::uintptr_t>(&stack[4]);  // saved rbp
  stack[3] = kFakeImage + 0x200;                           // return address
  stack[4] = 0;
  stack[5] = kFakeImage + 0x300;
  CTRUnwindContext context;
  const CTRMachineContext mc =
      Registers(kFakeImage + 0x100, reinterpret_cast<std::uintptr_t>(&stack[0]),
                reinterpret_cast<std::uintptr_t>(&stack[2]));
  CTRUnwindInit(&context, &mc);

  std::uintptr_t pcs[8] = {};
  int count = 0;
  while (count < 8 && CTRUnwindNextFrame(&context)) pcs[count++] = CTRUnwindGetPC(&context);
  ASSERT_EQ(count, 3);
  EXPECT_EQ(pcs[0], kFakeImage + 0x100);
  // Return addresses themselves, not the looked-up pc - 1.
  EXPECT_EQ(pcs[1], kFakeImage + 0x200);
  EXPECT_EQ(pcs[2], kFakeImage + 0x300);
  const std::string log = sdkLog();
  EXPECT_NE(log.find("Attempting stack scan\n"), std::string::npos);
  EXPECT_NE(log.find("FP is zero, aborting unwind\n"), std::string::npos);
  EXPECT_NE(log.find("Binary image at 0x50000000 has no unwind info\n"), std::string::npos);
}

// A call through a null (or stray) pointer: the pc is in no image, the
// call's return address is at the stack pointer. The walk starts there.
TEST_F(UnwindTest, ANullOrStrayPCStartsFromTheReturnAddressAtTheStackPointer) {
  addImage(kFakeImage, kFakeImageSize);
  for (std::uintptr_t badPC : {std::uintptr_t{0}, std::uintptr_t{0x7f0000001000}}) {
    alignas(16) std::uint64_t stack[8] = {};
    stack[0] = kFakeImage + 0x280;  // pushed by the call
    stack[1] = 0x1234;
    stack[2] = 0;                   // the caller's saved rbp
    stack[3] = kFakeImage + 0x380;  // the caller's return address
    const auto sp = reinterpret_cast<std::uintptr_t>(&stack[0]);
    CTRUnwindContext context;
    const CTRMachineContext mc = Registers(badPC, sp, reinterpret_cast<std::uintptr_t>(&stack[2]));
    CTRUnwindInit(&context, &mc);
    std::uintptr_t pcs[8] = {};
    int count = 0;
    while (count < 8 && CTRUnwindNextFrame(&context)) pcs[count++] = CTRUnwindGetPC(&context);
    ASSERT_GE(count, 2) << badPC;
    EXPECT_EQ(pcs[0], kFakeImage + 0x280);
    EXPECT_TRUE(context.firstFrameIsReturnAddress);
    EXPECT_EQ(pcs[1], kFakeImage + 0x380);
  }
  // A pc in no image with no code address at the stack pointer stays as it
  // is (the thread's own pc is frame 0).
  alignas(16) std::uint64_t plain[4] = {0x1234, 0, 0, 0};
  CTRUnwindContext context;
  const CTRMachineContext mc = Registers(0x401234, reinterpret_cast<std::uintptr_t>(&plain[0]), 0);
  CTRUnwindInit(&context, &mc);
  ASSERT_TRUE(CTRUnwindNextFrame(&context));
  EXPECT_EQ(CTRUnwindGetPC(&context), 0x401234u);
  EXPECT_FALSE(context.firstFrameIsReturnAddress);
}

TEST_F(UnwindTest, StackScanSetsOnlyThePCAndTheNextStepUsesTheFirstFramesPointers) {
  addImage(kFakeImage, kFakeImageSize);
  alignas(16) std::uint64_t stack[8] = {};
  stack[0] = 0x1234;
  stack[1] = kFakeImage + 0x444;  // a code address left on the stack
  stack[2] = 0;                   // saved rbp
  stack[3] = kFakeImage + 0x200;  // return address
  const auto sp = reinterpret_cast<std::uintptr_t>(&stack[0]);
  const auto fp = reinterpret_cast<std::uintptr_t>(&stack[2]);
  CTRUnwindContext context;
  const CTRMachineContext mc = Registers(kFakeImage + 0x100, sp, fp);
  CTRUnwindInit(&context, &mc);
  ASSERT_TRUE(CTRUnwindNextFrame(&context));
  ASSERT_TRUE(CTRUnwindNextFrame(&context));
  EXPECT_EQ(CTRUnwindGetPC(&context), kFakeImage + 0x444);
  EXPECT_EQ(CTRUnwindGetStackPointer(&context), sp);
  EXPECT_EQ(CTRUnwindGetFramePointer(&context), fp);
  EXPECT_NE(sdkLog().find("Stack scan successful\n"), std::string::npos);
  ASSERT_TRUE(CTRUnwindNextFrame(&context));
  EXPECT_EQ(CTRUnwindGetPC(&context), kFakeImage + 0x200);
  EXPECT_EQ(CTRUnwindGetStackPointer(&context), fp + 16);
}

TEST_F(UnwindTest, RepeatCountGrowsForEqualPCsAndResetsOnADifferentOne) {
  addImage(kFakeImage, kFakeImageSize);
  alignas(16) std::uint64_t stack[12] = {};
  auto at = [&](int i) { return reinterpret_cast<std::uintptr_t>(&stack[i]); };
  stack[0] = reinterpret_cast<std::uintptr_t>(&stack[2]);
  stack[1] = kFakeImage + 0x200;
  stack[2] = at(4);
  stack[3] = kFakeImage + 0x200;
  stack[4] = at(6);
  stack[5] = kFakeImage + 0x200;
  stack[6] = 0;
  stack[7] = kFakeImage + 0x300;
  CTRUnwindContext context;
  // sp == fp: the scan looks only at the saved rbp word, which is no code.
  const CTRMachineContext mc = Registers(kFakeImage + 0x100, at(0), at(0));
  CTRUnwindInit(&context, &mc);
  std::int32_t repeats[8] = {};
  std::uintptr_t pcs[8] = {};
  int count = 0;
  while (count < 8 && CTRUnwindNextFrame(&context)) {
    pcs[count] = CTRUnwindGetPC(&context);
    repeats[count++] = CTRUnwindGetPCRepeatCount(&context);
  }
  ASSERT_EQ(count, 5);
  EXPECT_EQ(pcs[1], kFakeImage + 0x200);
  EXPECT_EQ(pcs[3], kFakeImage + 0x200);
  EXPECT_EQ(repeats[0], 0);
  EXPECT_EQ(repeats[1], 0);
  EXPECT_EQ(repeats[2], 1);
  EXPECT_EQ(repeats[3], 2);
  EXPECT_EQ(repeats[4], 0);
}

TEST_F(UnwindTest, BadFramePointersEndTheWalkWithoutFaulting) {
  GuardedPages pages;
  for (const std::uintptr_t fp :
       {reinterpret_cast<std::uintptr_t>(pages.guard()), std::uintptr_t{0x20}}) {
    CTRUnwindContext context;
    // sp points at the guard page too, so the stack scan fails at once.
    const CTRMachineContext mc =
        Registers(0x401000, reinterpret_cast<std::uintptr_t>(pages.guard()), fp);
    CTRUnwindInit(&context, &mc);
    ASSERT_TRUE(CTRUnwindNextFrame(&context));
    EXPECT_FALSE(CTRUnwindNextFrame(&context));
    EXPECT_EQ(context.frameCount, 1u);
  }
  const std::string log = sdkLog();
  EXPECT_NE(log.find("Unable to use frame pointer\n"), std::string::npos);
  EXPECT_NE(log.find("Failed to advance to the next frame\n"), std::string::npos);
  // Frame 0 is the running instruction: looked up as it is, not one byte
  // before (that would be another function's rules at a function's entry).
  EXPECT_NE(log.find("Unable to find binary for 0x401000\n"), std::string::npos);
}

TEST_F(UnwindTest, CyclicFramePointerChainEndsTheWalkInsteadOfRunningToTheLimit) {
  addImage(kFakeImage, kFakeImageSize);
  alignas(16) std::uint64_t stack[8] = {};
  auto at = [&](int i) { return reinterpret_cast<std::uintptr_t>(&stack[i]); };
  stack[0] = 0x1234;  // locals: no code, so the first step's scan finds nothing
  stack[1] = 0x5678;
  // Two frames whose saved frame pointers point at each other.
  stack[2] = at(4);
  stack[3] = kFakeImage + 0x200;
  stack[4] = at(2);
  stack[5] = kFakeImage + 0x300;
  CTRUnwindContext context;
  const CTRMachineContext mc = Registers(kFakeImage + 0x100, at(0), at(2));
  CTRUnwindInit(&context, &mc);
  std::uintptr_t pcs[8] = {};
  int count = 0;
  while (count < 8 && CTRUnwindNextFrame(&context)) pcs[count++] = CTRUnwindGetPC(&context);
  ASSERT_EQ(count, 3) << "each frame once, then the walk ends";
  EXPECT_EQ(pcs[1], kFakeImage + 0x200);
  EXPECT_EQ(pcs[2], kFakeImage + 0x300);
  EXPECT_NE(sdkLog().find("is below the stack pointer"), std::string::npos);

  // A frame whose saved frame pointer is itself.
  stack[2] = at(2);
  CTRUnwindInit(&context, &mc);
  count = 0;
  while (count < 8 && CTRUnwindNextFrame(&context)) pcs[count++] = CTRUnwindGetPC(&context);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(pcs[1], kFakeImage + 0x200);

  // A frame pointer already below the stack pointer is not followed at all.
  const CTRMachineContext below = Registers(kFakeImage + 0x100, at(4), at(2));
  CTRUnwindInit(&context, &below);
  ASSERT_TRUE(CTRUnwindNextFrame(&context));
  EXPECT_FALSE(CTRUnwindNextFrame(&context));
}

TEST_F(UnwindTest, StopsAtTheFrameLimit) {
  CTRUnwindContext context;
  const CTRMachineContext mc = Registers(0x401000, 0x7000, 0x7000);
  CTRUnwindInit(&context, &mc);
  context.frameCount = kCTRUnwindMaxFrames;
  EXPECT_FALSE(CTRUnwindNextFrame(&context));
  EXPECT_NE(sdkLog().find("Exceeded maximum number of frames\n"), std::string::npos);
}

TEST_F(UnwindTest, StackScanExaminesTheFirstWordEvenWhenTheRangeIsEmpty) {
  addImage(kFakeImage, kFakeImageSize);
  std::uint64_t words[2] = {kFakeImage + 8, 0};
  std::uintptr_t found = 1;
  const auto start = reinterpret_cast<std::uintptr_t>(&words[0]);
  EXPECT_TRUE(CTRUnwindFirstExecutableAddress(start, start, &found));
  EXPECT_EQ(found, kFakeImage + 8);
  words[0] = 7;
  EXPECT_FALSE(CTRUnwindFirstExecutableAddress(start, start + 16, &found));
  EXPECT_EQ(found, 0u);
  EXPECT_TRUE(CTRUnwindIsAddressExecutable(kFakeImage));
  EXPECT_FALSE(CTRUnwindIsAddressExecutable(kFakeImage + kFakeImageSize));
}

// ---------------------------------------------------------------------------
// Real walks of this thread's stack through the images' call-frame tables.

constexpr int kMaxWalkFrames = 64;

struct Walk {
  std::uintptr_t expected[3];  // return addresses into level 2, level 1 and the test
  std::uintptr_t frames[kMaxWalkFrames];
  int count;
};

volatile int gSink = 0;

void WalkFromUContext(const ucontext_t* uc, Walk* walk) {
  CTRMachineContext mc;
  CTRMachineContextFromUContext(uc, &mc);
  CTRUnwindContext context;
  CTRUnwindInit(&context, &mc);
  walk->count = 0;
  while (walk->count < kMaxWalkFrames && CTRUnwindNextFrame(&context)) {
    walk->frames[walk->count++] = CTRUnwindGetPC(&context);
  }
}

#define RETURN_ADDRESS() reinterpret_cast<std::uintptr_t>(__builtin_return_address(0))

// A chain that keeps its frame pointers whatever the build's optimisation.
#define WITH_FRAME_POINTER gnu::noinline, gnu::noclone, gnu::optimize("no-omit-frame-pointer")

[[WITH_FRAME_POINTER]] void Level3(Walk* walk) {
  walk->expected[0] = RETURN_ADDRESS();
  ucontext_t uc;
  getcontext(&uc);
  WalkFromUContext(&uc, walk);
  gSink = gSink + 1;
}
[[WITH_FRAME_POINTER]] void Level2(Walk* walk) {
  walk->expected[1] = RETURN_ADDRESS();
  Level3(walk);
  gSink = gSink + 1;
}
[[WITH_FRAME_POINTER]] void Level1(Walk* walk) {
  walk->expected[2] = RETURN_ADDRESS();
  Level2(walk);
  gSink = gSink + 1;
}

// The same chain compiled without frame pointers: only the call-frame
// information can get from one frame to the next.
#define NO_FRAME_POINTER gnu::noinline, gnu::noclone, gnu::optimize("O2", "omit-frame-pointer")

[[NO_FRAME_POINTER]] void NoFPLevel3(Walk* walk) {
  walk->expected[0] = RETURN_ADDRESS();
  ucontext_t uc;
  getcontext(&uc);
  WalkFromUContext(&uc, walk);
  gSink = gSink + 1;
}
[[NO_FRAME_POINTER]] void NoFPLevel2(Walk* walk) {
  walk->expected[1] = RETURN_ADDRESS();
  NoFPLevel3(walk);
  gSink = gSink + 1;
}
[[NO_FRAME_POINTER]] void NoFPLevel1(Walk* walk) {
  walk->expected[2] = RETURN_ADDRESS();
  NoFPLevel2(walk);
  gSink = gSink + 1;
}

void ExpectWalkThroughCallers(const Walk& walk) {
  ASSERT_GE(walk.count, 4);
  EXPECT_EQ(walk.frames[1], walk.expected[0]);
  EXPECT_EQ(walk.frames[2], walk.expected[1]);
  EXPECT_EQ(walk.frames[3], walk.expected[2]);
}

TEST_F(UnwindTest, WalksTheCurrentThreadThroughItsCallers) {
  addLoadedImages();
  Walk walk{};
  Level1(&walk);
  ExpectWalkThroughCallers(walk);
  EXPECT_EQ(sdkLog().find("has no unwind info"), std::string::npos);
}

TEST_F(UnwindTest, WalksFunctionsWithoutFramePointersThroughCallFrameInformation) {
  addLoadedImages();
  Walk walk{};
  NoFPLevel1(&walk);
  ExpectWalkThroughCallers(walk);
}

TEST_F(UnwindTest, WalksWithTheImageTableOfCrashCapture) {
  // The table as crash capture fills it at start-up.
  const std::string logPath = root().file("binary_images.clsrecord");
  context_.binaryImageLogPath = logPath.c_str();
  state_.binaryImageLogFile.descriptor = -1;
  CTRBinaryImageInit();
  Walk walk{};
  NoFPLevel1(&walk);
  CTRBinaryImageStopObserving();
  ExpectWalkThroughCallers(walk);
}

TEST_F(UnwindTest, WithoutTablesTheFramePointerChainStillWalksFramePointerCode) {
  // The images are known but none has tables: frame pointers only.
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* self) -> int {
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) != 0) {
            static_cast<UnwindTest*>(self)->addImage(info->dlpi_addr + ph.p_vaddr, ph.p_memsz);
          }
        }
        return 0;
      },
      this);
  Walk walk{};
  Level1(&walk);
  // Frame 1 may come from the stack scan (a code address among Level3's
  // locals); the frame-pointer chain must still reach the callers after it.
  ASSERT_GE(walk.count, 3);
  bool sawLevel1 = false;
  bool sawTest = false;
  for (int i = 1; i < walk.count; ++i) {
    sawLevel1 = sawLevel1 || walk.frames[i] == walk.expected[1];
    sawTest = sawTest || walk.frames[i] == walk.expected[2];
  }
  EXPECT_TRUE(sawLevel1);
  EXPECT_TRUE(sawTest);
}

Walk gSignalWalk;

void WalkingHandler(int, siginfo_t*, void* uc) {
  WalkFromUContext(static_cast<const ucontext_t*>(uc), &gSignalWalk);
}

[[gnu::noinline, gnu::noclone]] void RaiseHere() {
  gSignalWalk.expected[0] = RETURN_ADDRESS();
  ::raise(SIGUSR1);
  gSink = gSink + 1;
}

TEST_F(UnwindTest, WalksFromASignalContextBackToTheCodeThatRaisedIt) {
  addLoadedImages();
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_sigaction = WalkingHandler;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  gSignalWalk = Walk{};
  RaiseHere();
  ::sigaction(SIGUSR1, &previous, nullptr);

  // The C library's signal-sending frames keep state stacks in their
  // call-frame instructions; whichever strategy carries each step, the
  // frame that raised the signal must be reached.
  ASSERT_GE(gSignalWalk.count, 2);
  bool reachedCaller = false;
  for (int i = 1; i < gSignalWalk.count; ++i) {
    reachedCaller = reachedCaller || gSignalWalk.frames[i] == gSignalWalk.expected[0];
  }
  EXPECT_TRUE(reachedCaller);
}

Walk gAbortWalk;

void AbortWalkingHandler(int, siginfo_t*, void* uc) {
  WalkFromUContext(static_cast<const ucontext_t*>(uc), &gAbortWalk);
  // The frame that called abort() must be in the walk, followed by its
  // caller: the walk went through the C library's abort and signal-sending
  // frames (which keep state stacks in their call-frame instructions).
  const auto abortCaller = reinterpret_cast<std::uintptr_t>(gAbortWalk.expected[1]);
  int result = 1;
  for (int i = 1; i + 1 < gAbortWalk.count; ++i) {
    const std::uintptr_t pc = gAbortWalk.frames[i];
    if (pc > abortCaller && pc <= abortCaller + 256 &&
        gAbortWalk.frames[i + 1] == gAbortWalk.expected[0]) {
      result = 0;
      break;
    }
  }
  ::_exit(result);
}

[[gnu::noinline, gnu::noclone]] void AbortHere() {
  gAbortWalk.expected[0] = RETURN_ADDRESS();
  gAbortWalk.expected[1] = reinterpret_cast<std::uintptr_t>(&AbortHere);
  std::abort();
}

TEST_F(UnwindTest, WalksFromAnAbortThroughTheCLibraryToTheCallerOfAbort) {
  addLoadedImages();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct sigaction action {};
    action.sa_sigaction = AbortWalkingHandler;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGABRT, &action, nullptr);
    gAbortWalk = Walk{};
    AbortHere();
    ::_exit(2);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the caller of abort() is missing from the walk";
  // The first step (out of the signal-sending frame, whose instructions
  // remember and restore state) went through the call-frame information, not
  // through the stack scan that a failed first step falls back to.
  EXPECT_EQ(sdkLog().find("Attempting stack scan"), std::string::npos);
}

}  // namespace
}  // namespace sdk
