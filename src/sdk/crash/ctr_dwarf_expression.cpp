#include "sdk/crash/ctr_dwarf_expression.h"

#include <cstring>

#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_sdk_log.h"

namespace sdk {

namespace {

// Reads a T in place at the cursor and advances it.
template <typename T>
T ReadAndAdvance(const void** cursor) {
  T value{};
  std::memcpy(&value, *cursor, sizeof(T));
  *cursor = static_cast<const std::uint8_t*>(*cursor) + sizeof(T);
  return value;
}

// LEB128 numbers longer than this cannot carry more of a 64-bit value.
constexpr int kMaxLEB128Bytes = 10;

}  // namespace

// ---------------------------------------------------------------------------
// Readers

std::uint8_t CTRParseUint8AndAdvance(const void** cursor) {
  return ReadAndAdvance<std::uint8_t>(cursor);
}
std::uint16_t CTRParseUint16AndAdvance(const void** cursor) {
  return ReadAndAdvance<std::uint16_t>(cursor);
}
std::int16_t CTRParseInt16AndAdvance(const void** cursor) {
  return ReadAndAdvance<std::int16_t>(cursor);
}
std::uint32_t CTRParseUint32AndAdvance(const void** cursor) {
  return ReadAndAdvance<std::uint32_t>(cursor);
}
std::int32_t CTRParseInt32AndAdvance(const void** cursor) {
  return ReadAndAdvance<std::int32_t>(cursor);
}
std::uint64_t CTRParseUint64AndAdvance(const void** cursor) {
  return ReadAndAdvance<std::uint64_t>(cursor);
}
std::uintptr_t CTRParsePointerAndAdvance(const void** cursor) {
  return ReadAndAdvance<std::uintptr_t>(cursor);
}

std::uint64_t CTRParseULEB128AndAdvance(const void** cursor) {
  std::uint64_t result = 0;
  unsigned shift = 0;
  for (int i = 0; i < kMaxLEB128Bytes; ++i) {
    const std::uint8_t byte = CTRParseUint8AndAdvance(cursor);
    if (shift < 64) result |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    shift += 7;
    if ((byte & 0x80) == 0) break;
  }
  return result;
}

std::int64_t CTRParseLEB128AndAdvance(const void** cursor) {
  std::uint64_t result = 0;
  unsigned shift = 0;
  std::uint8_t byte = 0;
  for (int i = 0; i < kMaxLEB128Bytes; ++i) {
    byte = CTRParseUint8AndAdvance(cursor);
    if (shift < 64) result |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    shift += 7;
    if ((byte & 0x80) == 0) break;
  }
  if (shift < 64 && (byte & 0x40) != 0) result |= ~std::uint64_t{0} << shift;
  return static_cast<std::int64_t>(result);
}

const char* CTRParseStringAndAdvance(const void** cursor) {
  const char* string = static_cast<const char*>(*cursor);
  *cursor = string + std::strlen(string) + 1;
  return string;
}

std::uint64_t CTRParseRecordLengthAndAdvance(const void** cursor) {
  std::uint64_t length = CTRParseUint32AndAdvance(cursor);
  if (length == 0xffffffffULL) length = CTRParseUint64AndAdvance(cursor);
  return length;
}

std::uint64_t CTRParseAddressWithEncodingAndAdvance(const void** cursor, std::uint8_t encoding) {
  if (encoding == kCTRDwarfEhPeOmit) return 0;
  if (cursor == nullptr || *cursor == nullptr) return kCTRDwarfInvalidAddress;

  const auto start = reinterpret_cast<std::uintptr_t>(*cursor);
  std::uint64_t value = 0;
  switch (encoding & 0x0f) {
    case kCTRDwarfEhPeAbsptr:
    case kCTRDwarfEhPeUdata8:
    case kCTRDwarfEhPeSdata8:
      value = CTRParseUint64AndAdvance(cursor);
      break;
    case kCTRDwarfEhPeUleb128:
      value = CTRParseULEB128AndAdvance(cursor);
      break;
    case kCTRDwarfEhPeUdata2:
      value = CTRParseUint16AndAdvance(cursor);
      break;
    case kCTRDwarfEhPeUdata4:
      value = CTRParseUint32AndAdvance(cursor);
      break;
    case kCTRDwarfEhPeSleb128:
      value = static_cast<std::uint64_t>(CTRParseLEB128AndAdvance(cursor));
      break;
    case kCTRDwarfEhPeSdata2:
      value =
          static_cast<std::uint64_t>(static_cast<std::int64_t>(CTRParseInt16AndAdvance(cursor)));
      break;
    case kCTRDwarfEhPeSdata4:
      value =
          static_cast<std::uint64_t>(static_cast<std::int64_t>(CTRParseInt32AndAdvance(cursor)));
      break;
    default:
      CTR_SDK_LOG_WARN("Unhandled: encoding 0x%02x\n", static_cast<unsigned>(encoding));
      return kCTRDwarfInvalidAddress;
  }

  switch (encoding & 0x70) {
    case 0x00:
      break;
    case kCTRDwarfEhPePcrel:
      value += start;
      break;
    default:
      CTR_SDK_LOG_WARN("Unhandled: relative encoding 0x%02x\n", static_cast<unsigned>(encoding));
      return kCTRDwarfInvalidAddress;
  }

  if ((encoding & kCTRDwarfEhPeIndirect) != 0) {
    if (value == 0) return kCTRDwarfInvalidAddress;
    // The pointer lives in process memory (a data slot), not in the section.
    std::uint64_t target = 0;
    if (!CTRSafeReadMemory(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(value)),
                           &target, sizeof(target))) {
      return kCTRDwarfInvalidAddress;
    }
    value = target;
  }
  return value;
}

// ---------------------------------------------------------------------------
// Registers

std::uint64_t CTRDwarfUnwindGetRegisterValue(const CTRThreadState* registers,
                                             std::uint64_t number) {
  if (registers == nullptr) return 0;
  switch (number) {
    case 0:
      return registers->rax;
    case 1:
      return registers->rdx;
    case 2:
      return registers->rcx;
    case 3:
      return registers->rbx;
    case 4:
      return registers->rsi;
    case 5:
      return registers->rdi;
    case 6:
      return registers->rbp;
    case 7:
      return registers->rsp;
    case 8:
      return registers->r8;
    case 9:
      return registers->r9;
    case 10:
      return registers->r10;
    case 11:
      return registers->r11;
    case 12:
      return registers->r12;
    case 13:
      return registers->r13;
    case 14:
      return registers->r14;
    case 15:
      return registers->r15;
    case 16:
      return registers->rip;
    default:
      CTR_SDK_LOG_WARN("Error: Unrecognized get register number %llu\n",
                       static_cast<unsigned long long>(number));
      return 0;
  }
}

bool CTRDwarfUnwindSetRegisterValue(CTRThreadState* registers, std::uint64_t number,
                                    std::uint64_t value) {
  if (registers == nullptr) return false;
  std::uint64_t* slot = nullptr;
  switch (number) {
    case 0:
      slot = &registers->rax;
      break;
    case 1:
      slot = &registers->rdx;
      break;
    case 2:
      slot = &registers->rcx;
      break;
    case 3:
      slot = &registers->rbx;
      break;
    case 4:
      slot = &registers->rsi;
      break;
    case 5:
      slot = &registers->rdi;
      break;
    case 6:
      slot = &registers->rbp;
      break;
    case 7:
      slot = &registers->rsp;
      break;
    case 8:
      slot = &registers->r8;
      break;
    case 9:
      slot = &registers->r9;
      break;
    case 10:
      slot = &registers->r10;
      break;
    case 11:
      slot = &registers->r11;
      break;
    case 12:
      slot = &registers->r12;
      break;
    case 13:
      slot = &registers->r13;
      break;
    case 14:
      slot = &registers->r14;
      break;
    case 15:
      slot = &registers->r15;
      break;
    case 16:
      slot = &registers->rip;
      break;
    default:
      CTR_SDK_LOG_WARN("Unrecognized set register number %llu\n",
                       static_cast<unsigned long long>(number));
      return false;
  }
  *slot = value;
  return true;
}

// ---------------------------------------------------------------------------
// Expression stack

void CTRDwarfExpressionStackInit(CTRDwarfExpressionStack* stack) {
  if (stack == nullptr) return;
  std::memset(stack->buffer, 0, sizeof(stack->buffer));
  stack->pointer = stack->buffer;
}

bool CTRDwarfExpressionStackIsValid(const CTRDwarfExpressionStack* stack) {
  if (stack == nullptr || stack->pointer == nullptr) return false;
  return stack->pointer >= stack->buffer &&
         stack->pointer <= stack->buffer + kCTRDwarfExpressionStackSize;
}

bool CTRDwarfExpressionStackPush(CTRDwarfExpressionStack* stack, std::uint64_t value) {
  if (!CTRDwarfExpressionStackIsValid(stack)) return false;
  if (stack->pointer == stack->buffer + kCTRDwarfExpressionStackSize) {
    stack->pointer = nullptr;  // overflow: the machine is invalid from now on
    return false;
  }
  *stack->pointer = value;
  stack->pointer += 1;
  return true;
}

std::uint64_t CTRDwarfExpressionStackPeek(CTRDwarfExpressionStack* stack) {
  if (!CTRDwarfExpressionStackIsValid(stack)) return 0;
  if (stack->pointer == stack->buffer) {
    stack->pointer = nullptr;
    return 0;
  }
  return *(stack->pointer - 1);
}

std::uint64_t CTRDwarfExpressionStackPop(CTRDwarfExpressionStack* stack) {
  const std::uint64_t value = CTRDwarfExpressionStackPeek(stack);
  if (CTRDwarfExpressionStackIsValid(stack)) stack->pointer -= 1;
  return value;
}

// ---------------------------------------------------------------------------
// Expression machine

bool CTRDwarfExpressionMachineInit(CTRDwarfExpressionMachine* machine, const void* expression,
                                   const CTRThreadState* registers, std::uint64_t initialValue) {
  if (machine == nullptr) return false;
  std::memset(machine, 0, sizeof(*machine));
  if (!CTRIsValidPointer(expression)) return false;
  CTRDwarfExpressionStackInit(&machine->stack);
  machine->cursor = expression;
  machine->registers = registers;
  return CTRDwarfExpressionStackPush(&machine->stack, initialValue);
}

bool CTRDwarfExpressionMachinePrepareForExecution(CTRDwarfExpressionMachine* machine) {
  if (machine == nullptr || !CTRIsValidPointer(machine->cursor)) return false;
  const std::uint64_t length = CTRParseULEB128AndAdvance(&machine->cursor);
  if (length == 0) {
    CTR_SDK_LOG_WARN("Error: DWARF expression length is zero\n");
    return false;
  }
  machine->end = static_cast<const std::uint8_t*>(machine->cursor) + length;
  return true;
}

bool CTRDwarfExpressionMachineIsFinished(CTRDwarfExpressionMachine* machine) {
  if (machine == nullptr) {
    CTR_SDK_LOG_WARN("Error: invalid inputs\n");
    return true;
  }
  if (!CTRIsValidPointer(machine->cursor) || !CTRIsValidPointer(machine->end)) {
    CTR_SDK_LOG_WARN("Error: DWARF machine pointers invalid\n");
    return true;
  }
  if (!CTRDwarfExpressionStackIsValid(&machine->stack)) {
    CTR_SDK_LOG_WARN("Error: DWARF machine stack invalid\n");
    return true;
  }
  return machine->cursor >= machine->end;
}

bool CTRDwarfExpressionMachineGetResult(CTRDwarfExpressionMachine* machine, std::uint64_t* result) {
  if (machine == nullptr || result == nullptr) return false;
  if (machine->cursor != machine->end) {
    CTR_SDK_LOG_WARN("Error: DWARF expression hasn't completed execution\n");
    return false;
  }
  if (!CTRDwarfExpressionStackIsValid(&machine->stack) ||
      machine->stack.pointer == machine->stack.buffer) {
    return false;
  }
  *result = CTRDwarfExpressionStackPeek(&machine->stack);
  return true;
}

namespace {

// Pops two operands, pushes `op(first popped, second popped)`.
template <typename Op>
bool BinaryOp(CTRDwarfExpressionStack* stack, Op op) {
  const std::uint64_t a = CTRDwarfExpressionStackPop(stack);
  const std::uint64_t b = CTRDwarfExpressionStackPop(stack);
  if (!CTRDwarfExpressionStackIsValid(stack)) return false;
  return CTRDwarfExpressionStackPush(stack, op(a, b));
}

}  // namespace

bool CTRDwarfExpressionMachineExecuteNextOpcode(CTRDwarfExpressionMachine* machine) {
  if (machine == nullptr || !CTRIsValidPointer(machine->cursor)) return false;
  CTRDwarfExpressionStack* stack = &machine->stack;
  const std::uint8_t opcode = CTRParseUint8AndAdvance(&machine->cursor);

  switch (opcode) {
    case 0x06: {  // DW_OP_deref
      const std::uint64_t address = CTRDwarfExpressionStackPop(stack);
      if (!CTRDwarfExpressionStackIsValid(stack)) return false;
      std::uint64_t value = 0;
      if (!CTRSafeReadMemory(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)),
                             &value, sizeof(value))) {
        CTR_SDK_LOG_WARN("Error: DW_OP_deref failed to read memory\n");
        return false;
      }
      CTR_SDK_LOG_WARN("DW_OP_deref value %p\n",
                       reinterpret_cast<void*>(static_cast<std::uintptr_t>(value)));
      return CTRDwarfExpressionStackPush(stack, value);
    }
    case 0x12: {  // DW_OP_dup
      const std::uint64_t value = CTRDwarfExpressionStackPeek(stack);
      if (!CTRDwarfExpressionStackIsValid(stack)) return false;
      CTR_SDK_LOG_WARN("DW_OP_dup value %lu\n", static_cast<unsigned long>(value));
      return CTRDwarfExpressionStackPush(stack, value);
    }
    case 0x16: {  // DW_OP_swap
      CTR_SDK_LOG_WARN("DW_OP_swap\n");
      const std::uint64_t a = CTRDwarfExpressionStackPop(stack);
      const std::uint64_t b = CTRDwarfExpressionStackPop(stack);
      if (!CTRDwarfExpressionStackIsValid(stack)) return false;
      return CTRDwarfExpressionStackPush(stack, a) && CTRDwarfExpressionStackPush(stack, b);
    }
    case 0x1a:  // DW_OP_and
      CTR_SDK_LOG_WARN("DW_OP_plus_and\n");
      return BinaryOp(stack, [](std::uint64_t a, std::uint64_t b) { return a & b; });
    case 0x22:  // DW_OP_plus
      CTR_SDK_LOG_WARN("DW_OP_plus\n");
      return BinaryOp(stack, [](std::uint64_t a, std::uint64_t b) { return a + b; });
    case 0x23: {  // DW_OP_plus_uconst
      const std::uint64_t value = CTRDwarfExpressionStackPop(stack);
      if (!CTRDwarfExpressionStackIsValid(stack)) return false;
      const std::uint64_t operand = CTRParseULEB128AndAdvance(&machine->cursor);
      CTR_SDK_LOG_WARN("DW_OP_plus_uconst value %lu\n", static_cast<unsigned long>(operand));
      return CTRDwarfExpressionStackPush(stack, value + operand);
    }
    case 0x2e:  // DW_OP_ne
      CTR_SDK_LOG_WARN("DW_OP_ne\n");
      return BinaryOp(stack,
                      [](std::uint64_t a, std::uint64_t b) -> std::uint64_t { return a != b; });
    case 0x94: {  // DW_OP_deref_size
      const std::uint64_t address = CTRDwarfExpressionStackPop(stack);
      if (!CTRDwarfExpressionStackIsValid(stack)) return false;
      const std::uint8_t size = CTRParseUint8AndAdvance(&machine->cursor);
      CTR_SDK_LOG_WARN("DW_OP_deref_size %p size %u\n",
                       reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)),
                       static_cast<unsigned>(size));
      if (size != 1 && size != 2 && size != 4 && size != 8) {
        CTR_SDK_LOG_WARN("Error: unrecognized DW_OP_deref_size argument %x\n",
                         static_cast<unsigned>(size));
        return false;
      }
      std::uint64_t value = 0;  // little-endian: the low bytes hold the narrow value
      if (!CTRSafeReadMemory(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)),
                             &value, size)) {
        CTR_SDK_LOG_WARN("Error: DW_OP_deref_size failed to read memory\n");
        return false;
      }
      return CTRDwarfExpressionStackPush(stack, value);
    }
    default:
      break;
  }

  if (opcode >= 0x30 && opcode <= 0x4f) {  // DW_OP_lit0..31
    const unsigned literal = opcode - 0x30u;
    CTR_SDK_LOG_WARN("DW_OP_lit %u\n", literal);
    return CTRDwarfExpressionStackPush(stack, literal);
  }
  if (opcode >= 0x70 && opcode <= 0x80) {  // DW_OP_breg0..16
    const std::int64_t offset = CTRParseLEB128AndAdvance(&machine->cursor);
    const unsigned number = opcode - 0x70u;
    const std::uint64_t value = CTRDwarfUnwindGetRegisterValue(machine->registers, number) +
                                static_cast<std::uint64_t>(offset);
    CTR_SDK_LOG_WARN("DW_OP_breg %d value %d\n", static_cast<int>(number), static_cast<int>(value));
    return CTRDwarfExpressionStackPush(stack, value);
  }
  if (opcode >= 0x81 && opcode <= 0x8f) {
    CTR_SDK_LOG_WARN("Error: DW_OP_breg invalid register number\n");
    return false;
  }
  CTR_SDK_LOG_WARN("Error: Unrecognized DWARF expression opcode 0x%x\n",
                   static_cast<unsigned>(opcode));
  return false;
}

bool CTRDwarfEvalulateExpression(const void* expression, const CTRThreadState* registers,
                                 std::uint64_t initialValue, std::uint64_t* result) {
  CTR_SDK_LOG_WARN("starting at %p with initial value %lx\n", expression,
                   static_cast<unsigned long>(initialValue));
  if (!CTRIsValidPointer(expression) || !CTRIsValidPointer(result)) {
    CTR_SDK_LOG_WARN("Error: inputs invalid\n");
    return false;
  }
  CTRDwarfExpressionMachine machine;
  if (!CTRDwarfExpressionMachineInit(&machine, expression, registers, initialValue)) {
    CTR_SDK_LOG_WARN("Error: unable to init DWARF expression machine\n");
    return false;
  }
  if (!CTRDwarfExpressionMachinePrepareForExecution(&machine)) {
    CTR_SDK_LOG_WARN("Error: unable to prepare for execution\n");
    return false;
  }
  while (!CTRDwarfExpressionMachineIsFinished(&machine)) {
    if (!CTRDwarfExpressionMachineExecuteNextOpcode(&machine)) {
      CTR_SDK_LOG_WARN("Error: failed to execute DWARF machine opcode\n");
      return false;
    }
  }
  if (!CTRDwarfExpressionMachineGetResult(&machine, result)) {
    CTR_SDK_LOG_WARN("Error: failed to get DWARF expression result\n");
    return false;
  }
  CTR_SDK_LOG_WARN("successfully computed expression result\n");
  return true;
}

}  // namespace sdk
