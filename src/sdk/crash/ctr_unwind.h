// Crash-time stack walking for x86_64.
//
// At a crash, process recording walks the stack of every thread from its
// saved registers and writes one program counter per frame. A walk keeps
// one CTRUnwindContext (a local of the caller) and calls CTRUnwindNextFrame
// until it fails; the first call yields the thread's own program counter,
// every later call moves one frame up.
//
// One step tries, in order:
//  1. the unwind tables of the image that holds the program counter: the
//     compact unwind section when the image has one (it may hand over to
//     DWARF call-frame information), otherwise, for ELF images, the
//     `.eh_frame_hdr` search table, whose FDE goes to the DWARF unwinder
//     (ctr_dwarf_unwind.h);
//  2. the frame-pointer chain;
//  3. for the step from the first frame to the second only, a scan of the
//     stack for the first word that points into a loaded image (tried before
//     the frame-pointer step when the tables fail).
// The walk ends at a program counter or stack pointer below 4096, at a frame
// pointer of 0 once the tables fail, at a failed frame-pointer read, or after
// 600000 frames.
//
// Crash-time rules: nothing here allocates, takes a lock or blocks. Memory of
// the process that a step computes (stack slots, saved registers) is read
// only through CTRSafeReadMemory, which uses the kernel's process_vm_readv on
// the own process: an unmapped address makes the read (and so the step) fail
// instead of faulting. Every pointer below 4096 counts as invalid.
//
// Thread safety: a context belongs to one walk on one thread. The table of
// loaded images (ctrWritableState->binaryImages) is read without a lock.
#pragma once

#include <ucontext.h>

#include <cstddef>
#include <cstdint>

namespace sdk {

// The x86_64 exception state of a thread (trap number, error code and the
// faulting address), as a signal reports it.
struct CTRMachineExceptionState {
  std::uint16_t trapno;
  std::uint16_t cpu;
  std::uint32_t err;
  std::uint64_t faultvaddr;
};

// The general-purpose registers of an x86_64 thread.
struct CTRThreadState {
  std::uint64_t rax;
  std::uint64_t rbx;
  std::uint64_t rcx;
  std::uint64_t rdx;
  std::uint64_t rdi;
  std::uint64_t rsi;
  std::uint64_t rbp;
  std::uint64_t rsp;
  std::uint64_t r8;
  std::uint64_t r9;
  std::uint64_t r10;
  std::uint64_t r11;
  std::uint64_t r12;
  std::uint64_t r13;
  std::uint64_t r14;
  std::uint64_t r15;
  std::uint64_t rip;
  std::uint64_t rflags;
  std::uint64_t cs;
  std::uint64_t fs;
  std::uint64_t gs;
};

// The x87/SSE state in the FXSAVE layout (512 bytes); zero when unknown.
struct CTRFloatState {
  std::uint8_t fxsave[512];
};

// A thread's machine context: exception state, thread state, float state.
struct CTRMachineContext {
  CTRMachineExceptionState es;
  CTRThreadState ss;
  CTRFloatState fs;
};

// The section header of the compact unwind format (seven 32-bit fields in
// file order; offsets are from the start of the section).
struct CTRCompactUnwindHeader {
  std::uint32_t version;  // must be 1
  std::uint32_t commonEncodingsArraySectionOffset;
  std::uint32_t commonEncodingsArrayCount;
  std::uint32_t personalityArraySectionOffset;
  std::uint32_t personalityArrayCount;
  std::uint32_t indexSectionOffset;
  std::uint32_t indexCount;
};

// One first-level index entry of the compact unwind format.
struct CTRCompactUnwindFirstLevelEntry {
  std::uint32_t functionOffset;  // from the image's load address
  std::uint32_t secondLevelPagesSectionOffset;
  std::uint32_t lsdaIndexArraySectionOffset;
};

// The compact unwind reader's state for the image of the current step.
struct CTRCompactUnwindContext {
  std::uintptr_t unwindInfo;   // address of the compact unwind section
  std::uintptr_t ehFrame;      // address of the image's eh-frame section, 0 when none
  std::uintptr_t loadAddress;  // the image's load address
  CTRCompactUnwindHeader unwindHeader;
  CTRCompactUnwindFirstLevelEntry firstLevelEntry;  // entry found for the current pc
  std::uint32_t firstLevelNextFunctionOffset;       // function offset of the entry after it
};

// What a compact unwind lookup finds for a program counter.
struct CTRCompactUnwindResult {
  std::uint32_t encoding;
  std::uintptr_t functionStart;
  std::uintptr_t functionEnd;  // exclusive
};

// The state of one thread walk.
struct CTRUnwindContext {
  CTRMachineContext registers;
  std::uint32_t frameCount;  // frames produced so far
  CTRCompactUnwindContext compactUnwindState;
  std::uintptr_t lastFramePC;
  std::int32_t repeatCount;  // frames in a row with the same pc as the one before
  // Frame 0 was taken from the return address at the stack pointer (the
  // thread's pc was null or in no image), so it is a return address too.
  bool firstFrameIsReturnAddress;
};

// Frames after which a walk stops.
inline constexpr std::uint32_t kCTRUnwindMaxFrames = 600000;

// Fills `out` from a signal's (or getcontext's) user context: the general
// registers, the trap number, error code and fault address, and the float
// state when the context carries one. False for a null argument. Safe in a
// signal handler.
bool CTRMachineContextFromUContext(const ucontext_t* uc, CTRMachineContext* out);

// The thread-state part of a machine context (nullptr for an invalid one).
CTRThreadState* CTRUnwindGetThreadState(CTRMachineContext* registers);
const CTRThreadState* CTRUnwindGetThreadState(const CTRMachineContext* registers);

// Zeroes `context` and copies `registers` into it; fails for a null context.
// A null `registers` leaves the machine context zeroed.
bool CTRUnwindInit(CTRUnwindContext* context, const CTRMachineContext* registers);

// Moves to the next frame (the first call yields frame 0 unchanged).
bool CTRUnwindNextFrame(CTRUnwindContext* context);

// Accessors: getters give 0 and setters fail for an invalid context.
std::uintptr_t CTRUnwindGetPC(const CTRUnwindContext* context);
std::uintptr_t CTRUnwindGetStackPointer(const CTRUnwindContext* context);
std::uintptr_t CTRUnwindGetFramePointer(const CTRUnwindContext* context);
bool CTRUnwindSetPC(CTRUnwindContext* context, std::uintptr_t value);
bool CTRUnwindSetStackPointer(CTRUnwindContext* context, std::uintptr_t value);
bool CTRUnwindSetFramePointer(CTRUnwindContext* context, std::uintptr_t value);
// Frames in a row that had the pc of the frame before them (0 when invalid).
std::int32_t CTRUnwindGetPCRepeatCount(const CTRUnwindContext* context);

// Whether `address` lies within a loaded image of the image table.
bool CTRUnwindIsAddressExecutable(std::uintptr_t address);

// One frame-pointer step; with `tryStackScan` the stack scan from the stack
// pointer to the frame pointer is tried first (and sets only the pc). The
// step must move up the stack: a frame pointer below the stack pointer (for
// a step through the chain, a saved frame pointer not above the one it was
// read from) fails it, which ends the walk.
bool CTRUnwindWithFramePointer(CTRUnwindContext* context, bool tryStackScan);

// The stack scan: the first 8-byte word from `start` upwards (below `end`;
// the first word is always examined) that points into a loaded image.
bool CTRUnwindFirstExecutableAddress(std::uintptr_t start, std::uintptr_t end,
                                     std::uintptr_t* foundAddress);

// Copies `length` bytes from `source` through the kernel; fails (without
// faulting) for a source below 4096, an address range that wraps, or memory
// that is not readable. Async-signal-safe. Uses process_vm_readv; where the
// kernel refuses that call (ENOSYS, EPERM) it switches for good to
// CTRSafeReadMemoryThroughPipe.
bool CTRSafeReadMemory(const void* source, void* destination, std::size_t length);
// The same read through a pipe made for the call: write() from `source`,
// read() into `destination`. Slower; async-signal-safe.
bool CTRSafeReadMemoryThroughPipe(const void* source, void* destination, std::size_t length);

// Checks that a NUL-terminated string at `address` is readable, reading one
// byte at a time up to `maxLength` bytes. On success `*string` = `address`.
// Fails at an address below 4096 or a failed read. Async-signal-safe.
bool CTRSafeReadString(const char* address, const char** string, std::size_t maxLength);

}  // namespace sdk
