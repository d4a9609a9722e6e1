// DWARF call-frame information (eh-frame CIE and FDE records) for the
// crash-time stack walker (ctr_unwind.h), x86_64.
//
// For one frame the walker hands over an FDE: found through the compact
// unwind encoding (an offset into the image's eh-frame section) or, for ELF
// images, through the binary-search table of the image's `.eh_frame_hdr`.
// The FDE and its CIE are parsed in place, their call-frame instructions run
// up to the frame's program counter, the canonical frame address (CFA) is
// computed and the caller's registers are recovered from their rules
// (including DWARF expressions, ctr_dwarf_expression.h) into the context.
//
// Supported instructions: nop, set_loc, advance_loc (all forms),
// same_value, register, def_cfa, def_cfa_register, def_cfa_offset,
// def_cfa_expression, expression, val_expression, offset, restore and
// restore_extended (back to the rule the CIE's initial instructions left),
// remember_state/restore_state (a stack of kCTRDwarfStateStackDepth rows
// inside the state; overflow and underflow fail the FDE) and GNU_args_size
// (its operand is skipped: the CFA does not depend on it). The remaining
// factored and value-offset forms and GNU extensions are not supported: such
// an FDE fails and the walker falls back to the frame pointer.
//
// The FDE's instructions run until the location reaches the program
// counter's offset from the FDE's start. The walker looks a caller's
// function up at its return address minus 1, which lies inside the call
// instruction, so the row in force there is always the one reached.
//
// Crash-time code: no allocation, no lock; records, register state and
// expression stack are locals. Stack memory that rules point at is read
// through CTRSafeReadMemory; section data is read in place.
#pragma once

#include <cstdint>

#include "sdk/crash/ctr_dwarf_expression.h"
#include "sdk/crash/ctr_unwind.h"

namespace sdk {

// DWARF register numbers of x86_64; 16 is the return address (rip).
inline constexpr std::uint64_t kCTRDwarfRegisterRSP = 7;
inline constexpr std::uint64_t kCTRDwarfRegisterRIP = 16;
inline constexpr std::uint64_t kCTRDwarfMaxRegisterNum = 16;
// The CFA register number that marks a CFA given by an expression.
inline constexpr std::uint64_t kCTRDwarfCFAExpressionRegister = 17;

struct CTRDwarfInstructions {
  std::uint32_t length;
  const void* data;
};

struct CTRDwarfCIERecord {
  std::uint64_t length;
  std::uint8_t version;
  const char* augmentation;
  std::uint8_t pointerEncoding;      // "R"; 0 when absent
  std::uint8_t lsdaEncoding;         // "L"
  std::uint8_t personalityEncoding;  // "P"
  std::uint64_t personalityFunction;
  std::uint64_t codeAlignFactor;
  std::int64_t dataAlignFactor;
  std::uint64_t returnAddressRegister;
  bool signalFrame;  // "S"
  CTRDwarfInstructions instructions;
};

struct CTRDwarfFDERecord {
  std::uint64_t length;
  std::uint32_t cieOffset;  // backwards distance from the field to the CIE
  std::uint64_t startAddress;
  std::uint64_t rangeSize;
  CTRDwarfInstructions instructions;
};

struct CTRDwarfCFIRecord {
  CTRDwarfCIERecord cie;
  CTRDwarfFDERecord fde;
};

// Rule kinds of a register.
enum CTRDwarfRegisterLocation : std::uint32_t {
  kCTRDwarfRegisterUnused = 0,        // unchanged
  kCTRDwarfRegisterInCFA = 1,         // saved at CFA + value
  kCTRDwarfRegisterInRegister = 3,    // held in register `value`
  kCTRDwarfRegisterAtExpression = 4,  // saved at the address the expression computes
  kCTRDwarfRegisterIsExpression = 5,  // equal to the expression's result
};

struct CTRDwarfRegister {
  std::uint32_t location;
  std::uint64_t value;
};

// Rows that DW_CFA_remember_state can hold at once; functions nest them one
// or two deep, a deeper nesting fails the FDE instead of allocating.
inline constexpr std::uint32_t kCTRDwarfStateStackDepth = 8;

// One row of rules: the CFA rule and every register's rule.
struct CTRDwarfRow {
  std::uint64_t cfaRegister;
  std::int64_t cfaRegisterOffset;
  const void* cfaExpression;
  CTRDwarfRegister registers[kCTRDwarfMaxRegisterNum + 1];
};

struct CTRDwarfState {
  std::uint64_t cfaRegister;
  std::int64_t cfaRegisterOffset;
  const void* cfaExpression;  // the expression block; nullptr when none
  CTRDwarfRegister registers[kCTRDwarfMaxRegisterNum + 1];
  // The register rules after the CIE's initial instructions, for
  // DW_CFA_restore; without them a restore fails.
  bool hasInitialRules;
  CTRDwarfRegister initialRegisters[kCTRDwarfMaxRegisterNum + 1];
  // Rows saved by DW_CFA_remember_state, the last one on top.
  std::uint32_t rememberedRowCount;
  CTRDwarfRow rememberedRows[kCTRDwarfStateStackDepth];
};

// Parses the FDE at `ehFrame` + `fdeOffset` and its CIE.
bool CTRDwarfCFIRecordInitWithOffset(CTRDwarfCFIRecord* record, std::uintptr_t ehFrame,
                                     std::uintptr_t fdeOffset);
// Parses the FDE at the absolute address `fdeAddress` and its CIE.
bool CTRDwarfCFIRecordInitWithAddress(CTRDwarfCFIRecord* record, std::uintptr_t fdeAddress);

bool CTRDwarfParseFDERecord(CTRDwarfFDERecord* fdeRecord, bool parseCIE,
                            CTRDwarfCIERecord* cieRecord, const void* address);
bool CTRDwarfParseCIERecord(CTRDwarfCIERecord* cieRecord, const void* address);
bool CTRDwarfParseAndProcessAugmentation(CTRDwarfCIERecord* cieRecord, const void** cursor);

bool CTRDwarfCIEIsValid(const CTRDwarfCIERecord* cie);
bool CTRDwarfCIESupportsAugmentation(const CTRDwarfCIERecord* cie);
bool CTRDwarfRegisterIsUnchanged(const CTRThreadState* a, const CTRThreadState* b,
                                 std::uint64_t number);

// Runs `instructions` on `state`, stopping with success after the
// instruction that moves the location to `pcOffset` or beyond (signed), or
// at the end. Nothing runs for empty instructions or a `pcOffset` below 1.
// `pcBegin` is the FDE's start, to which DW_CFA_set_loc addresses are
// relative (0 for a CIE's initial instructions). When `instructions` are the
// CIE's own (`&cie->instructions`), the register rules they leave become the
// state's initial rules, which DW_CFA_restore returns to.
bool CTRDwarfInstructionsEnumerate(const CTRDwarfInstructions* instructions,
                                   const CTRDwarfCIERecord* cie, CTRDwarfState* state,
                                   std::int64_t pcOffset, std::uint64_t pcBegin = 0);

// The DWARF strategy for one frame.
bool CTRDwarfUnwindComputeRegisters(const CTRDwarfCFIRecord* record, CTRUnwindContext* context);
bool CTRDwarfGetCFA(const CTRDwarfState* state, const CTRThreadState* registers,
                    std::uint64_t* cfa);
bool CTRDwarfUnwindAssignRegisters(const CTRDwarfState* state, const CTRThreadState* registers,
                                   std::uint64_t cfa, CTRUnwindContext* context);
std::uint64_t CTRDwarfGetSavedRegister(const CTRThreadState* registers, std::uint64_t cfa,
                                       CTRDwarfRegister dRegister);

// Looks `pc` up in the binary-search table of the `.eh_frame_hdr` at
// `ehFrameHdr`; on success `*fdeAddress` is the FDE of the last entry whose
// start is at or below `pc`. The header and table are read safely.
bool CTRDwarfEhFrameHdrFindFDE(std::uintptr_t ehFrameHdr, std::uintptr_t pc,
                               std::uintptr_t* fdeAddress);
// The ELF strategy of one step: table lookup, FDE parse (checking that the
// FDE covers the pc) and register computation.
bool CTRDwarfUnwindWithEhFrameHdr(std::uintptr_t ehFrameHdr, CTRUnwindContext* context);

}  // namespace sdk
