// Reader of the compact unwind format (the `__unwind_info` section) for
// x86_64, one strategy of the stack walker (ctr_unwind.h).
//
// Layout read here (all fields little-endian): the seven-field section header
// (CTRCompactUnwindHeader); the first-level index (function offset, second-
// level page offset, LSDA index offset), whose last entry is a sentinel that
// only ends the range of the entry before it; second-level pages of kind 2
// (regular) or 3 (compressed). A compressed page holds 32-bit entries (low 24
// bits the function's offset from the first-level entry's function, high 8
// bits an encoding index into the common encodings, then into the page's own).
//
// x86_64 encodings: mode in bits 24..27 (1 frame-based, 2 frameless with an
// immediate stack size, 3 frameless with an indirect stack size, 4 DWARF).
// Frameless: bits 16..23 the stack size in 8-byte units (mode 2) or the
// offset of the stack-adjusting instruction's 32-bit immediate (mode 3),
// bits 13..15 an extra adjustment in 8-byte units (mode 3), bits 10..12 the
// number of saved registers, bits 0..9 their permutation. DWARF: bits 0..23
// the FDE's offset in the image's eh-frame section.
//
// Regular second-level pages are recognised but not read (the lookup fails
// and the walker falls back to the frame pointer). Of the saved registers
// only rbp is restored; the walker needs pc, sp and fp only.
//
// Crash-time code: no allocation, no lock; the section is read through
// CTRSafeReadMemory.
#pragma once

#include <cstdint>

#include "sdk/crash/ctr_unwind.h"

namespace sdk {

// Compact register numbers of saved registers.
enum CTRCompactUnwindRegister : std::uint32_t {
  kCTRCompactUnwindRegisterNone = 0,
  kCTRCompactUnwindRegisterRBX = 1,
  kCTRCompactUnwindRegisterR12 = 2,
  kCTRCompactUnwindRegisterR13 = 3,
  kCTRCompactUnwindRegisterR14 = 4,
  kCTRCompactUnwindRegisterR15 = 5,
  kCTRCompactUnwindRegisterRBP = 6,
};

inline constexpr std::uint32_t kCTRCompactUnwindModeMask = 0x0F000000;
inline constexpr std::uint32_t kCTRCompactUnwindModeBPFrame = 0x01000000;
inline constexpr std::uint32_t kCTRCompactUnwindModeStackImmediate = 0x02000000;
inline constexpr std::uint32_t kCTRCompactUnwindModeStackIndirect = 0x03000000;
inline constexpr std::uint32_t kCTRCompactUnwindModeDwarf = 0x04000000;
inline constexpr std::uint32_t kCTRCompactUnwindDwarfSectionOffsetMask = 0x00FFFFFF;
inline constexpr std::uint32_t kCTRCompactUnwindSecondLevelRegular = 2;
inline constexpr std::uint32_t kCTRCompactUnwindSecondLevelCompressed = 3;

// Reads the section header and keeps the three addresses. Fails for any
// argument below 4096, an unreadable header or a version other than 1.
bool CTRCompactUnwindInit(CTRCompactUnwindContext* context, std::uintptr_t unwindInfo,
                          std::uintptr_t ehFrame, std::uintptr_t loadAddress);

// The compact-unwind strategy of one step: lookup, then register computation.
bool CTRCompactUnwindLookupAndCompute(CTRCompactUnwindContext* context,
                                      CTRUnwindContext* unwindContext);

// Finds the encoding and function range for `pc`.
bool CTRCompactUnwindLookup(CTRCompactUnwindContext* context, std::uintptr_t pc,
                            CTRCompactUnwindResult* result);
bool CTRCompactUnwindLookupSecondLevel(CTRCompactUnwindContext* context, std::uintptr_t pc,
                                       CTRCompactUnwindResult* result);
bool CTRCompactUnwindLookupSecondLevelCompressed(CTRCompactUnwindContext* context,
                                                 std::uintptr_t pc, CTRCompactUnwindResult* result);
bool CTRCompactUnwindLookupSecondLevelRegular(CTRCompactUnwindContext* context, std::uintptr_t pc,
                                              CTRCompactUnwindResult* result);
// `pc`'s offset from the function of the first-level entry found last.
std::uintptr_t CTRCompactUnwindGetTargetAddress(const CTRCompactUnwindContext* context,
                                                std::uintptr_t pc);

// Applies an encoding to the walk's registers.
bool CTRCompactUnwindComputeRegisters(CTRCompactUnwindContext* context,
                                      const CTRCompactUnwindResult* result,
                                      CTRUnwindContext* unwindContext);
// Frame-based step: the return address and saved rbp at the frame pointer.
bool CTRCompactUnwindBPFrame(CTRUnwindContext* unwindContext);
bool CTRCompactUnwindFrameless(std::uint32_t encoding, CTRUnwindContext* unwindContext,
                               std::uintptr_t functionStart, bool indirect);
bool CTRCompactUnwindComputeStackSize(std::uint32_t encoding, std::uintptr_t functionStart,
                                      bool indirect, std::uint32_t* stackSize);
// Decodes the permutation of `count` saved registers into `permutation`
// (at least 6 slots).
bool CTRCompactUnwindDecompressPermutation(std::uint32_t permutation, std::uint32_t count,
                                           std::uint32_t* digits);
// Turns the permutation digits into compact register numbers (in place).
bool CTRCompactUnwindRemapRegisters(std::uint32_t count, std::uint32_t* registers);
// Restores the saved registers (rbp only) from their slots below the return
// address; `*location` then points at the return-address slot.
bool CTRCompactUnwindRestoreRegisters(std::uint32_t encoding, CTRUnwindContext* unwindContext,
                                      std::uint32_t stackSize, const std::uint32_t* registers,
                                      std::uint32_t count, std::uintptr_t* location);
// Hands the frame to the DWARF unwinder with the FDE at eh-frame + offset.
bool CTRCompactUnwindDwarfFrame(CTRCompactUnwindContext* context, std::uintptr_t dwarfOffset,
                                CTRUnwindContext* unwindContext);

}  // namespace sdk
