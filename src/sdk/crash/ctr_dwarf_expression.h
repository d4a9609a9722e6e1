// Readers of DWARF-encoded data and the DWARF expression machine, used by the
// crash-time DWARF unwinder (ctr_dwarf_unwind.h).
//
// Readers take a cursor (the address of the next byte), read little-endian
// values in place and move the cursor past them. The data they read is
// section data of a loaded image (CIE, FDE, instructions, expression
// blocks); memory of the process that a value points at (an indirect
// pointer, DW_OP_deref) is read through CTRSafeReadMemory.
//
// LEB128: up to 10 bytes are taken, which holds every 64-bit value; the
// cursor ends after the last byte of the number (the one without the
// continuation bit), or after the tenth byte of an over-long number.
//
// The expression machine runs one DWARF expression block (a ULEB128 length
// and that many bytes of opcodes) on a stack of 100 values, with the thread
// state whose registers DW_OP_bregN reads. Supported: DW_OP_deref, dup,
// swap, and, plus, plus_uconst, ne, lit0..lit31, breg0..breg16,
// deref_size. A push onto a full stack or a pop of an empty one clears the
// stack top: the machine is then invalid and the opcode fails.
//
// Crash-time code: no allocation, no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/crash/ctr_unwind.h"

namespace sdk {

// Pointer encodings (DW_EH_PE).
inline constexpr std::uint8_t kCTRDwarfEhPeOmit = 0xff;
inline constexpr std::uint8_t kCTRDwarfEhPeAbsptr = 0x00;
inline constexpr std::uint8_t kCTRDwarfEhPeUleb128 = 0x01;
inline constexpr std::uint8_t kCTRDwarfEhPeUdata2 = 0x02;
inline constexpr std::uint8_t kCTRDwarfEhPeUdata4 = 0x03;
inline constexpr std::uint8_t kCTRDwarfEhPeUdata8 = 0x04;
inline constexpr std::uint8_t kCTRDwarfEhPeSleb128 = 0x09;
inline constexpr std::uint8_t kCTRDwarfEhPeSdata2 = 0x0a;
inline constexpr std::uint8_t kCTRDwarfEhPeSdata4 = 0x0b;
inline constexpr std::uint8_t kCTRDwarfEhPeSdata8 = 0x0c;
inline constexpr std::uint8_t kCTRDwarfEhPePcrel = 0x10;
inline constexpr std::uint8_t kCTRDwarfEhPeDatarel = 0x30;
inline constexpr std::uint8_t kCTRDwarfEhPeIndirect = 0x80;

// The failure value of CTRParseAddressWithEncodingAndAdvance.
inline constexpr std::uint64_t kCTRDwarfInvalidAddress = ~std::uint64_t{0};

std::uint8_t CTRParseUint8AndAdvance(const void** cursor);
std::uint16_t CTRParseUint16AndAdvance(const void** cursor);
std::int16_t CTRParseInt16AndAdvance(const void** cursor);
std::uint32_t CTRParseUint32AndAdvance(const void** cursor);
std::int32_t CTRParseInt32AndAdvance(const void** cursor);
std::uint64_t CTRParseUint64AndAdvance(const void** cursor);
std::uintptr_t CTRParsePointerAndAdvance(const void** cursor);
std::uint64_t CTRParseULEB128AndAdvance(const void** cursor);
std::int64_t CTRParseLEB128AndAdvance(const void** cursor);
// A NUL-terminated string: returns its start, the cursor ends past the zero.
const char* CTRParseStringAndAdvance(const void** cursor);
// A 32-bit length, or the 64-bit value after an all-ones 32-bit field.
std::uint64_t CTRParseRecordLengthAndAdvance(const void** cursor);

// A pointer in `encoding`: 0 for the omitted encoding (nothing read),
// kCTRDwarfInvalidAddress for a null cursor, an unhandled format or
// application, or an unreadable indirect pointer.
std::uint64_t CTRParseAddressWithEncodingAndAdvance(const void** cursor, std::uint8_t encoding);

inline constexpr int kCTRDwarfExpressionStackSize = 100;

struct CTRDwarfExpressionStack {
  std::uint64_t buffer[kCTRDwarfExpressionStackSize];
  std::uint64_t* pointer;  // next free slot; nullptr once the stack is invalid
};

struct CTRDwarfExpressionMachine {
  CTRDwarfExpressionStack stack;
  const void* cursor;
  const void* end;
  const CTRThreadState* registers;
};

void CTRDwarfExpressionStackInit(CTRDwarfExpressionStack* stack);
bool CTRDwarfExpressionStackIsValid(const CTRDwarfExpressionStack* stack);
bool CTRDwarfExpressionStackPush(CTRDwarfExpressionStack* stack, std::uint64_t value);
std::uint64_t CTRDwarfExpressionStackPeek(CTRDwarfExpressionStack* stack);
std::uint64_t CTRDwarfExpressionStackPop(CTRDwarfExpressionStack* stack);

// Zeroes the machine, sets the cursor to `expression` (the block's length),
// keeps `registers` and pushes `initialValue`.
bool CTRDwarfExpressionMachineInit(CTRDwarfExpressionMachine* machine, const void* expression,
                                   const CTRThreadState* registers, std::uint64_t initialValue);
bool CTRDwarfExpressionMachinePrepareForExecution(CTRDwarfExpressionMachine* machine);
bool CTRDwarfExpressionMachineIsFinished(CTRDwarfExpressionMachine* machine);
bool CTRDwarfExpressionMachineExecuteNextOpcode(CTRDwarfExpressionMachine* machine);
bool CTRDwarfExpressionMachineGetResult(CTRDwarfExpressionMachine* machine, std::uint64_t* result);

// Evaluates the expression block at `expression` with `initialValue` as the
// first stack entry; the result is the top of the stack.
bool CTRDwarfEvalulateExpression(const void* expression, const CTRThreadState* registers,
                                 std::uint64_t initialValue, std::uint64_t* result);

// The value of DWARF register `number` (0 rax, 1 rdx, 2 rcx, 3 rbx, 4 rsi,
// 5 rdi, 6 rbp, 7 rsp, 8..15 r8..r15, 16 rip); 0 for another number.
std::uint64_t CTRDwarfUnwindGetRegisterValue(const CTRThreadState* registers, std::uint64_t number);
// Sets DWARF register `number`; fails for another number.
bool CTRDwarfUnwindSetRegisterValue(CTRThreadState* registers, std::uint64_t number,
                                    std::uint64_t value);

}  // namespace sdk
