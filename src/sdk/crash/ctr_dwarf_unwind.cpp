#include "sdk/crash/ctr_dwarf_unwind.h"

#include <cstring>

#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_sdk_log.h"

namespace sdk {

namespace {

const std::uint8_t* Bytes(const void* p) { return static_cast<const std::uint8_t*>(p); }

void* AsPointer(std::uint64_t value) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(value));
}

// Instructions from `cursor` to `end`.
CTRDwarfInstructions InstructionsBetween(const void* cursor, const void* end) {
  CTRDwarfInstructions instructions{};
  if (Bytes(end) > Bytes(cursor)) {
    instructions.length = static_cast<std::uint32_t>(Bytes(end) - Bytes(cursor));
    instructions.data = cursor;
  }
  return instructions;
}

}  // namespace

// ---------------------------------------------------------------------------
// Records

bool CTRDwarfCIEIsValid(const CTRDwarfCIERecord* cie) {
  return cie != nullptr && cie->length != 0 && (cie->version == 1 || cie->version == 3);
}

bool CTRDwarfCIESupportsAugmentation(const CTRDwarfCIERecord* cie) {
  return cie != nullptr && cie->augmentation != nullptr && cie->augmentation[0] == 'z';
}

bool CTRDwarfRegisterIsUnchanged(const CTRThreadState* a, const CTRThreadState* b,
                                 std::uint64_t number) {
  return CTRDwarfUnwindGetRegisterValue(a, number) == CTRDwarfUnwindGetRegisterValue(b, number);
}

bool CTRDwarfParseAndProcessAugmentation(CTRDwarfCIERecord* cieRecord, const void** cursor) {
  if (cieRecord == nullptr || cursor == nullptr || cieRecord->augmentation == nullptr) {
    return false;
  }
  const char* augmentation = cieRecord->augmentation;
  if (augmentation[0] == '\0') return true;
  if (augmentation[0] != 'z') {
    CTR_SDK_LOG_WARN("Error: Unimplemented: augmentation string %s\n", augmentation);
    return false;
  }
  const std::uint64_t dataLength = CTRParseULEB128AndAdvance(cursor);
  const std::uint8_t* dataEnd = Bytes(*cursor) + dataLength;
  for (const char* p = augmentation + 1; *p != '\0'; ++p) {
    switch (*p) {
      case 'L':
        cieRecord->lsdaEncoding = CTRParseUint8AndAdvance(cursor);
        break;
      case 'P': {
        cieRecord->personalityEncoding = CTRParseUint8AndAdvance(cursor);
        cieRecord->personalityFunction =
            CTRParseAddressWithEncodingAndAdvance(cursor, cieRecord->personalityEncoding);
        if (cieRecord->personalityFunction == kCTRDwarfInvalidAddress) {
          CTR_SDK_LOG_WARN("Error: Found an invalid start address\n");
          return false;
        }
        break;
      }
      case 'R':
        cieRecord->pointerEncoding = CTRParseUint8AndAdvance(cursor);
        break;
      case 'S':
        cieRecord->signalFrame = true;
        break;
      default:
        CTR_SDK_LOG_WARN("Error: Unhandled augmentation string entry %c\n", *p);
        return false;
    }
    if (Bytes(*cursor) > dataEnd) return false;
  }
  // The instructions follow the augmentation data, whatever it still holds.
  *cursor = dataEnd;
  return true;
}

bool CTRDwarfParseCIERecord(CTRDwarfCIERecord* cieRecord, const void* address) {
  if (cieRecord == nullptr || address == nullptr) return false;
  std::memset(cieRecord, 0, sizeof(*cieRecord));

  const void* cursor = address;
  cieRecord->length = CTRParseRecordLengthAndAdvance(&cursor);
  if (cieRecord->length == 0) {
    CTR_SDK_LOG_WARN("Error: CIE length invalid\n");
    return false;
  }
  const void* recordEnd = Bytes(cursor) + cieRecord->length;

  if (CTRParseUint32AndAdvance(&cursor) != 0) {
    CTR_SDK_LOG_WARN("Error: CIE flag not found\n");
  }
  cieRecord->version = CTRParseUint8AndAdvance(&cursor);
  const bool supported = cieRecord->version == 1 || cieRecord->version == 3;
  if (!supported) {
    CTR_SDK_LOG_WARN("Error: CIE version %u unsupported\n",
                     static_cast<unsigned>(cieRecord->version));
  } else {
    cieRecord->augmentation = CTRParseStringAndAdvance(&cursor);
    cieRecord->codeAlignFactor = CTRParseULEB128AndAdvance(&cursor);
    cieRecord->dataAlignFactor = CTRParseLEB128AndAdvance(&cursor);
  }
  switch (cieRecord->version) {
    case 3:
      cieRecord->returnAddressRegister = CTRParseULEB128AndAdvance(&cursor);
      break;
    case 1:
      cieRecord->returnAddressRegister = CTRParseUint8AndAdvance(&cursor);
      break;
    default:
      CTR_SDK_LOG_WARN("Error: CIE version %u unsupported\n",
                       static_cast<unsigned>(cieRecord->version));
      return false;
  }
  if (!CTRDwarfParseAndProcessAugmentation(cieRecord, &cursor)) return false;
  cieRecord->instructions = InstructionsBetween(cursor, recordEnd);
  return true;
}

bool CTRDwarfParseFDERecord(CTRDwarfFDERecord* fdeRecord, bool parseCIE,
                            CTRDwarfCIERecord* cieRecord, const void* address) {
  if (fdeRecord == nullptr || cieRecord == nullptr || address == nullptr) return false;
  std::memset(fdeRecord, 0, sizeof(*fdeRecord));

  const void* cursor = address;
  fdeRecord->length = CTRParseRecordLengthAndAdvance(&cursor);
  if (fdeRecord->length == 0) {
    CTR_SDK_LOG_WARN("Error: FDE has zero length\n");
    return false;
  }
  const void* recordEnd = Bytes(cursor) + fdeRecord->length;

  const void* ciePointerField = cursor;
  fdeRecord->cieOffset = CTRParseUint32AndAdvance(&cursor);
  if (fdeRecord->cieOffset == 0) {
    CTR_SDK_LOG_WARN("Error: CIE offset invalid\n");
    return false;
  }
  if (parseCIE) {
    const void* cieAddress = Bytes(ciePointerField) - fdeRecord->cieOffset;
    if (!CTRDwarfParseCIERecord(cieRecord, cieAddress)) {
      CTR_SDK_LOG_WARN("Error: Unable to parse CIE record\n");
      return false;
    }
  }
  if (!CTRDwarfCIEIsValid(cieRecord)) {
    CTR_SDK_LOG_WARN("Error: CIE invalid\n");
    return false;
  }

  fdeRecord->startAddress =
      CTRParseAddressWithEncodingAndAdvance(&cursor, cieRecord->pointerEncoding);
  if (fdeRecord->startAddress == kCTRDwarfInvalidAddress) {
    CTR_SDK_LOG_WARN("Error: Found an invalid start address\n");
    return false;
  }
  fdeRecord->rangeSize =
      CTRParseAddressWithEncodingAndAdvance(&cursor, cieRecord->pointerEncoding & 0x0f);
  if (fdeRecord->rangeSize == kCTRDwarfInvalidAddress) {
    CTR_SDK_LOG_WARN("Error: Found an invalid address range\n");
    return false;
  }
  if (CTRDwarfCIESupportsAugmentation(cieRecord)) {
    const std::uint64_t augmentationLength = CTRParseULEB128AndAdvance(&cursor);
    cursor = Bytes(cursor) + augmentationLength;
  }
  fdeRecord->instructions = InstructionsBetween(cursor, recordEnd);
  return true;
}

bool CTRDwarfCFIRecordInitWithOffset(CTRDwarfCFIRecord* record, std::uintptr_t ehFrame,
                                     std::uintptr_t fdeOffset) {
  if (record == nullptr || ehFrame == 0 || fdeOffset == 0 || ehFrame + fdeOffset == 0) {
    return false;
  }
  return CTRDwarfCFIRecordInitWithAddress(record, ehFrame + fdeOffset);
}

bool CTRDwarfCFIRecordInitWithAddress(CTRDwarfCFIRecord* record, std::uintptr_t fdeAddress) {
  if (record == nullptr || fdeAddress == 0) return false;
  return CTRDwarfParseFDERecord(&record->fde, true, &record->cie,
                                reinterpret_cast<const void*>(fdeAddress));
}

// ---------------------------------------------------------------------------
// Call-frame instructions

namespace {

bool ValidRegister(std::uint64_t number) { return number <= kCTRDwarfMaxRegisterNum; }

// DW_CFA_restore: the register's rule as the CIE's initial instructions
// left it.
bool RestoreInitialRule(CTRDwarfState* state, std::uint64_t reg) {
  if (!ValidRegister(reg)) {
    CTR_SDK_LOG_WARN("Error: Found an invalid DW_CFA_restore register number\n");
    return false;
  }
  if (!state->hasInitialRules) {
    // Only an FDE can go back to the CIE's rules.
    CTR_SDK_LOG_WARN("Error: DW_CFA_restore without initial rules\n");
    return false;
  }
  state->registers[reg] = state->initialRegisters[reg];
  return true;
}

// Executes one instruction. `location` is the offset from the FDE's start.
bool ExecuteInstruction(const void** cursor, const CTRDwarfCIERecord* cie, CTRDwarfState* state,
                        std::int64_t* location, std::uint64_t pcBegin, std::uint8_t opcode) {
  const std::uint64_t caf = cie->codeAlignFactor;
  const std::int64_t daf = cie->dataAlignFactor;

  switch (opcode & 0xc0) {
    case 0x40: {  // DW_CFA_advance_loc
      const unsigned delta = opcode & 0x3f;
      CTR_SDK_LOG_WARN("DW_CFA_advance_loc %u\n", delta);
      if (!CTRDwarfCIEIsValid(cie)) {
        CTR_SDK_LOG_WARN("Error: invalid inputs\n");
        return false;
      }
      *location += static_cast<std::int64_t>(delta * caf);
      return true;
    }
    case 0x80: {  // DW_CFA_offset
      const unsigned reg = opcode & 0x3f;
      const std::uint64_t offset = CTRParseULEB128AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_offset %u, %lld\n", reg,
                       static_cast<long long>(static_cast<std::int64_t>(offset) * daf));
      if (!ValidRegister(reg)) {
        CTR_SDK_LOG_WARN("Error: Found an invalid DW_CFA_offset register number\n");
        return false;
      }
      state->registers[reg].location = kCTRDwarfRegisterInCFA;
      state->registers[reg].value =
          static_cast<std::uint64_t>(static_cast<std::int64_t>(offset) * daf);
      return true;
    }
    case 0xc0:  // DW_CFA_restore
      CTR_SDK_LOG_WARN("DW_CFA_restore %u\n", static_cast<unsigned>(opcode & 0x3f));
      return RestoreInitialRule(state, opcode & 0x3f);
    default:
      break;
  }

  switch (opcode) {
    case 0x00:  // DW_CFA_nop
      CTR_SDK_LOG_WARN("DW_CFA_nop\n");
      return true;
    case 0x01: {  // DW_CFA_set_loc
      const std::uint64_t address =
          CTRParseAddressWithEncodingAndAdvance(cursor, cie->pointerEncoding);
      CTR_SDK_LOG_WARN("DW_CFA_set_loc %lu\n", static_cast<unsigned long>(address));
      if (address == kCTRDwarfInvalidAddress) return false;
      // The operand is an address; locations are offsets from the FDE's start.
      *location = static_cast<std::int64_t>(address - pcBegin);
      return true;
    }
    case 0x02: {  // DW_CFA_advance_loc1
      const std::uint64_t delta = CTRParseUint8AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_advance_loc1 %lld\n", static_cast<long long>(delta));
      *location += static_cast<std::int64_t>(delta * caf);
      return true;
    }
    case 0x03: {  // DW_CFA_advance_loc2
      const std::uint64_t delta = CTRParseUint16AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_advance_loc2 %lld\n", static_cast<long long>(delta));
      *location += static_cast<std::int64_t>(delta * caf);
      return true;
    }
    case 0x04: {  // DW_CFA_advance_loc4
      const std::uint64_t delta = CTRParseUint32AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_advance_loc4 %lld\n", static_cast<long long>(delta));
      *location += static_cast<std::int64_t>(delta * caf);
      return true;
    }
    case 0x08: {  // DW_CFA_same_value
      const std::uint64_t reg = CTRParseULEB128AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_same_value %llu\n", static_cast<unsigned long long>(reg));
      if (!ValidRegister(reg)) {
        CTR_SDK_LOG_WARN("Error: Found an invalid DW_CFA_same_value register number\n");
        return false;
      }
      state->registers[reg].location = kCTRDwarfRegisterUnused;
      state->registers[reg].value = 0;
      return true;
    }
    case 0x09: {  // DW_CFA_register
      const std::uint64_t reg = CTRParseULEB128AndAdvance(cursor);
      const std::uint64_t other = CTRParseULEB128AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_register %llu %llu\n", static_cast<unsigned long long>(reg),
                       static_cast<unsigned long long>(other));
      if (!ValidRegister(reg)) {
        CTR_SDK_LOG_WARN("Error: Found an invalid DW_CFA_register number\n");
        return false;
      }
      if (!ValidRegister(other)) {
        CTR_SDK_LOG_WARN("Error: Found an invalid DW_CFA_register value\n");
        return false;
      }
      state->registers[reg].location = kCTRDwarfRegisterInRegister;
      state->registers[reg].value = other;
      return true;
    }
    case 0x06: {  // DW_CFA_restore_extended
      const std::uint64_t reg = CTRParseULEB128AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_restore_extended %llu\n", static_cast<unsigned long long>(reg));
      return RestoreInitialRule(state, reg);
    }
    case 0x0a: {  // DW_CFA_remember_state
      CTR_SDK_LOG_WARN("DW_CFA_remember_state\n");
      if (state->rememberedRowCount >= kCTRDwarfStateStackDepth) {
        CTR_SDK_LOG_WARN("Error: DW_CFA_remember_state nested deeper than %u\n",
                         static_cast<unsigned>(kCTRDwarfStateStackDepth));
        return false;
      }
      CTRDwarfRow& row = state->rememberedRows[state->rememberedRowCount++];
      row.cfaRegister = state->cfaRegister;
      row.cfaRegisterOffset = state->cfaRegisterOffset;
      row.cfaExpression = state->cfaExpression;
      std::memcpy(row.registers, state->registers, sizeof(row.registers));
      return true;
    }
    case 0x0b: {  // DW_CFA_restore_state
      CTR_SDK_LOG_WARN("DW_CFA_restore_state\n");
      if (state->rememberedRowCount == 0) {
        CTR_SDK_LOG_WARN("Error: DW_CFA_restore_state without a remembered state\n");
        return false;
      }
      const CTRDwarfRow& row = state->rememberedRows[--state->rememberedRowCount];
      state->cfaRegister = row.cfaRegister;
      state->cfaRegisterOffset = row.cfaRegisterOffset;
      state->cfaExpression = row.cfaExpression;
      std::memcpy(state->registers, row.registers, sizeof(state->registers));
      return true;
    }
    case 0x2e: {  // DW_CFA_GNU_args_size
      // The size of the arguments pushed for a call; the CFA rule already
      // accounts for them, so the operand is read and dropped.
      const std::uint64_t size = CTRParseULEB128AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_GNU_args_size %llu\n", static_cast<unsigned long long>(size));
      return true;
    }
    case 0x0c: {  // DW_CFA_def_cfa
      const std::uint64_t reg = CTRParseULEB128AndAdvance(cursor);
      const std::uint64_t offset = CTRParseULEB128AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_def_cfa %llu, %lld\n", static_cast<unsigned long long>(reg),
                       static_cast<long long>(offset));
      if (!ValidRegister(reg)) {
        CTR_SDK_LOG_WARN("Error: Found an invalid DW_CFA_def_cfa register number\n");
        return false;
      }
      state->cfaRegister = reg;
      state->cfaRegisterOffset = static_cast<std::int64_t>(offset);
      // A register-based CFA replaces an expression defined before it.
      state->cfaExpression = nullptr;
      return true;
    }
    case 0x0d: {  // DW_CFA_def_cfa_register
      const std::uint64_t reg = CTRParseULEB128AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_def_cfa_register %llu\n", static_cast<unsigned long long>(reg));
      if (!ValidRegister(reg)) {
        CTR_SDK_LOG_WARN("Error: Found an invalid DW_CFA_def_cfa_register register number\n");
        return false;
      }
      state->cfaRegister = reg;
      state->cfaExpression = nullptr;
      return true;
    }
    case 0x0e: {  // DW_CFA_def_cfa_offset
      const std::uint64_t offset = CTRParseULEB128AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_def_cfa_offset %lld\n", static_cast<long long>(offset));
      state->cfaRegisterOffset = static_cast<std::int64_t>(offset);
      return true;
    }
    case 0x0f: {  // DW_CFA_def_cfa_expression
      const void* block = *cursor;
      const std::uint64_t length = CTRParseULEB128AndAdvance(cursor);
      CTR_SDK_LOG_WARN("DW_CFA_def_cfa_expression %llu\n", static_cast<unsigned long long>(length));
      state->cfaRegister = kCTRDwarfCFAExpressionRegister;
      state->cfaExpression = block;
      *cursor = Bytes(*cursor) + length;
      return true;
    }
    case 0x10:    // DW_CFA_expression
    case 0x16: {  // DW_CFA_val_expression
      const std::uint64_t reg = CTRParseULEB128AndAdvance(cursor);
      const void* block = *cursor;
      const std::uint64_t length = CTRParseULEB128AndAdvance(cursor);
      const bool isVal = opcode == 0x16;
      if (isVal) {
        CTR_SDK_LOG_WARN("DW_CFA_val_expression %llu %llu\n", static_cast<unsigned long long>(reg),
                         static_cast<unsigned long long>(length));
      } else {
        CTR_SDK_LOG_WARN("DW_CFA_expression %llu %llu\n", static_cast<unsigned long long>(reg),
                         static_cast<unsigned long long>(length));
      }
      if (!ValidRegister(reg)) {
        if (isVal) {
          CTR_SDK_LOG_WARN("Error: Found an invalid DW_CFA_val_expression register number\n");
        } else {
          CTR_SDK_LOG_WARN("Error: Found an invalid DW_CFA_expression register number\n");
        }
        return false;
      }
      state->registers[reg].location =
          isVal ? kCTRDwarfRegisterIsExpression : kCTRDwarfRegisterAtExpression;
      state->registers[reg].value = reinterpret_cast<std::uintptr_t>(block);
      *cursor = Bytes(*cursor) + length;
      return true;
    }
    default:
      break;
  }

  if ((opcode >= 0x17 && opcode <= 0x2c) || (opcode >= 0x30 && opcode <= 0x3f)) {
    CTR_SDK_LOG_WARN("Error: Unrecognized DWARF instruction 0x%x\n", static_cast<unsigned>(opcode));
    return false;
  }
  // 0x05, 0x07, 0x11-0x15, 0x2d, 0x2f: the remaining factored and
  // value-offset forms and GNU extensions.
  CTR_SDK_LOG_WARN("Error: Unimplemented DWARF instruction 0x%x\n", static_cast<unsigned>(opcode));
  return false;
}

// Whether a failed opcode gets the "Failed to execute" line after its own.
bool ReportsExecuteFailure(std::uint8_t opcode) {
  if (opcode == 0x05 || opcode == 0x07) return false;
  if (opcode >= 0x11 && opcode <= 0x15) return false;
  if (opcode == 0x2d || opcode == 0x2f) return false;
  return true;
}

}  // namespace

bool CTRDwarfInstructionsEnumerate(const CTRDwarfInstructions* instructions,
                                   const CTRDwarfCIERecord* cie, CTRDwarfState* state,
                                   std::int64_t pcOffset, std::uint64_t pcBegin) {
  if (instructions == nullptr || cie == nullptr || state == nullptr) {
    CTR_SDK_LOG_WARN("Error: inputs invalid\n");
    return false;
  }
  const void* cursor = instructions->data;
  const void* end = Bytes(instructions->data) + instructions->length;
  CTR_SDK_LOG_WARN("Running instructions from %p to %p\n", cursor, end);
  const bool runs = instructions->length != 0 && instructions->data != nullptr && pcOffset >= 1;

  std::int64_t location = 0;
  while (runs && Bytes(cursor) < Bytes(end)) {
    const std::uint8_t opcode = CTRParseUint8AndAdvance(&cursor);
    if (!ExecuteInstruction(&cursor, cie, state, &location, pcBegin, opcode)) {
      if (ReportsExecuteFailure(opcode)) {
        CTR_SDK_LOG_WARN("Error: Failed to execute dwarf instruction 0x%x\n",
                         static_cast<unsigned>(opcode));
      }
      return false;
    }
    if (location >= pcOffset) break;
  }
  if (instructions == &cie->instructions) {
    std::memcpy(state->initialRegisters, state->registers, sizeof(state->initialRegisters));
    state->hasInitialRules = true;
  }
  return true;
}

// ---------------------------------------------------------------------------
// One frame

std::uint64_t CTRDwarfGetSavedRegister(const CTRThreadState* registers, std::uint64_t cfa,
                                       CTRDwarfRegister dRegister) {
  CTR_SDK_LOG_WARN("Getting register %x\n", static_cast<unsigned>(dRegister.location));
  switch (dRegister.location) {
    case kCTRDwarfRegisterInCFA: {
      std::uint64_t value = 0;
      const std::uint64_t address = cfa + dRegister.value;
      if (!CTRSafeReadMemory(AsPointer(address), &value, sizeof(value))) {
        CTR_SDK_LOG_WARN("Error: Unable to read CFA value\n");
        return 0;
      }
      return value;
    }
    case kCTRDwarfRegisterInRegister:
      return CTRDwarfUnwindGetRegisterValue(registers, dRegister.value);
    case kCTRDwarfRegisterAtExpression: {
      std::uint64_t address = 0;
      if (!CTRDwarfEvalulateExpression(AsPointer(dRegister.value), registers, cfa, &address)) {
        CTR_SDK_LOG_WARN("Error: unable to evaluate expression\n");
        return 0;
      }
      std::uint64_t value = 0;
      if (!CTRSafeReadMemory(AsPointer(address), &value, sizeof(value))) {
        CTR_SDK_LOG_WARN("Error: Unable to read memory computed from expression\n");
        return 0;
      }
      return value;
    }
    case kCTRDwarfRegisterIsExpression: {
      std::uint64_t value = 0;
      if (!CTRDwarfEvalulateExpression(AsPointer(dRegister.value), registers, cfa, &value)) {
        CTR_SDK_LOG_WARN("Error: unable to evaluate expression\n");
        return 0;
      }
      return value;
    }
    default:
      CTR_SDK_LOG_WARN("Error: Unrecognized register save location 0x%x\n",
                       static_cast<unsigned>(dRegister.location));
      return 0;
  }
}

bool CTRDwarfGetCFA(const CTRDwarfState* state, const CTRThreadState* registers,
                    std::uint64_t* cfa) {
  if (state == nullptr || registers == nullptr || cfa == nullptr) {
    CTR_SDK_LOG_WARN("Error: invalid input\n");
    return false;
  }
  if (state->cfaExpression != nullptr) {
    if (!CTRDwarfEvalulateExpression(state->cfaExpression, registers, 0, cfa)) {
      CTR_SDK_LOG_WARN("Error: failed to compute CFA expression\n");
      return false;
    }
    return true;
  }
  *cfa = CTRDwarfUnwindGetRegisterValue(registers, state->cfaRegister) +
         static_cast<std::uint64_t>(state->cfaRegisterOffset);
  return true;
}

bool CTRDwarfUnwindAssignRegisters(const CTRDwarfState* state, const CTRThreadState* registers,
                                   std::uint64_t cfa, CTRUnwindContext* context) {
  if (state == nullptr || registers == nullptr || !CTRIsValidPointer(context)) {
    CTR_SDK_LOG_ERROR("Error: input invalid\n");
    return false;
  }
  CTRMachineContext updated = context->registers;
  CTRThreadState* next = CTRUnwindGetThreadState(&updated);
  for (std::uint64_t number = 0; number <= kCTRDwarfMaxRegisterNum; ++number) {
    if (state->registers[number].location == kCTRDwarfRegisterUnused) continue;
    const std::uint64_t value = CTRDwarfGetSavedRegister(registers, cfa, state->registers[number]);
    if (!CTRDwarfUnwindSetRegisterValue(next, number, value)) {
      CTR_SDK_LOG_WARN("Error: Unable to restore register value\n");
      return false;
    }
  }
  if (!CTRDwarfUnwindSetRegisterValue(next, kCTRDwarfRegisterRSP, cfa)) {
    CTR_SDK_LOG_WARN("Error: Unable to restore SP value\n");
    return false;
  }
  if (CTRDwarfRegisterIsUnchanged(next, registers, kCTRDwarfRegisterRSP)) {
    CTR_SDK_LOG_WARN("Error: Stack pointer hasn't changed\n");
    return false;
  }
  if (CTRDwarfRegisterIsUnchanged(next, registers, kCTRDwarfRegisterRIP)) {
    CTR_SDK_LOG_WARN("Error: PC hasn't changed\n");
    return false;
  }
  context->registers = updated;
  return true;
}

bool CTRDwarfUnwindComputeRegisters(const CTRDwarfCFIRecord* record, CTRUnwindContext* context) {
  if (record == nullptr || !CTRIsValidPointer(context)) return false;
  CTRDwarfState state;
  std::memset(&state, 0, sizeof(state));

  if (!CTRDwarfInstructionsEnumerate(&record->cie.instructions, &record->cie, &state, INT64_MAX)) {
    CTR_SDK_LOG_WARN("Error: Unable to run CIE instructions\n");
    return false;
  }
  const std::uintptr_t pc = CTRUnwindGetPC(context);
  const auto pcOffset = static_cast<std::int64_t>(pc - record->fde.startAddress);
  if (pcOffset < 0) {
    CTR_SDK_LOG_WARN("Error: The FDE pcOffset value cannot be negative\n");
    return false;
  }
  if (!CTRDwarfInstructionsEnumerate(&record->fde.instructions, &record->cie, &state, pcOffset,
                                     record->fde.startAddress)) {
    CTR_SDK_LOG_WARN("Error: Unable to run FDE instructions\n");
    return false;
  }
  const CTRThreadState* registers = CTRUnwindGetThreadState(&context->registers);
  std::uint64_t cfa = 0;
  if (!CTRDwarfGetCFA(&state, registers, &cfa)) {
    CTR_SDK_LOG_WARN("Error: failed to get CFA\n");
    return false;
  }
  if (!CTRDwarfUnwindAssignRegisters(&state, registers, cfa, context)) {
    CTR_SDK_LOG_ERROR("Error: Unable to assign DWARF registers\n");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// .eh_frame_hdr (ELF images)

namespace {

template <typename T>
bool ReadAt(std::uintptr_t address, T* out) {
  return CTRSafeReadMemory(reinterpret_cast<const void*>(address), out, sizeof(T));
}

// The table encoding that linkers write: 4-byte signed offsets from the
// start of the header (DW_EH_PE_datarel | DW_EH_PE_sdata4).
constexpr std::uint8_t kTableEncoding = kCTRDwarfEhPeDatarel | kCTRDwarfEhPeSdata4;

// Reads a header field (eh_frame_ptr, fde_count) in the few encodings that
// appear there; the field must be readable through the safe read.
bool ReadHeaderValue(std::uintptr_t* cursor, std::uint8_t encoding, std::uintptr_t hdr,
                     std::uint64_t* value) {
  const std::uintptr_t start = *cursor;
  std::uint64_t raw = 0;
  switch (encoding & 0x0f) {
    case kCTRDwarfEhPeUdata4: {
      std::uint32_t v = 0;
      if (!ReadAt(start, &v)) return false;
      raw = v;
      *cursor += 4;
      break;
    }
    case kCTRDwarfEhPeSdata4: {
      std::int32_t v = 0;
      if (!ReadAt(start, &v)) return false;
      raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
      *cursor += 4;
      break;
    }
    case kCTRDwarfEhPeAbsptr:
    case kCTRDwarfEhPeUdata8:
    case kCTRDwarfEhPeSdata8: {
      if (!ReadAt(start, &raw)) return false;
      *cursor += 8;
      break;
    }
    default:
      return false;
  }
  switch (encoding & 0x70) {
    case 0x00:
      break;
    case kCTRDwarfEhPePcrel:
      raw += start;
      break;
    case kCTRDwarfEhPeDatarel:
      raw += hdr;
      break;
    default:
      return false;
  }
  if ((encoding & kCTRDwarfEhPeIndirect) != 0) return false;
  *value = raw;
  return true;
}

}  // namespace

bool CTRDwarfEhFrameHdrFindFDE(std::uintptr_t ehFrameHdr, std::uintptr_t pc,
                               std::uintptr_t* fdeAddress) {
  if (ehFrameHdr < kCTRMinimumValidPointer || fdeAddress == nullptr) return false;
  std::uint8_t header[4] = {};  // version, eh_frame_ptr_enc, fde_count_enc, table_enc
  if (!CTRSafeReadMemory(reinterpret_cast<const void*>(ehFrameHdr), header, sizeof(header))) {
    return false;
  }
  if (header[0] != 1) {
    CTR_SDK_LOG_WARN("Error: unsupported .eh_frame_hdr version %u\n",
                     static_cast<unsigned>(header[0]));
    return false;
  }
  std::uintptr_t cursor = ehFrameHdr + 4;
  std::uint64_t ehFramePtr = 0;
  std::uint64_t count = 0;
  if (header[1] == kCTRDwarfEhPeOmit ||
      !ReadHeaderValue(&cursor, header[1], ehFrameHdr, &ehFramePtr)) {
    return false;
  }
  if (header[2] == kCTRDwarfEhPeOmit || header[3] != kTableEncoding ||
      !ReadHeaderValue(&cursor, header[2], ehFrameHdr, &count) || count == 0) {
    // Without the sorted table the section would have to be searched
    // linearly, which a crash-time step does not do.
    CTR_SDK_LOG_WARN("Error: .eh_frame_hdr has no search table\n");
    return false;
  }
  const std::uintptr_t table = cursor;
  // Last entry whose initial location is at or below the pc.
  std::uint64_t low = 0;
  std::uint64_t high = count;  // exclusive
  std::int32_t entry[2] = {0, 0};
  bool found = false;
  std::int32_t best[2] = {0, 0};
  while (low < high) {
    const std::uint64_t mid = low + (high - low) / 2;
    if (!ReadAt(table + static_cast<std::uintptr_t>(mid) * 8, &entry)) return false;
    const std::uintptr_t start =
        ehFrameHdr + static_cast<std::uintptr_t>(static_cast<std::intptr_t>(entry[0]));
    if (start <= pc) {
      found = true;
      best[0] = entry[0];
      best[1] = entry[1];
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (!found) {
    CTR_SDK_LOG_WARN("Unable to find FDE for pc %p\n", reinterpret_cast<void*>(pc));
    return false;
  }
  *fdeAddress = ehFrameHdr + static_cast<std::uintptr_t>(static_cast<std::intptr_t>(best[1]));
  return true;
}

bool CTRDwarfUnwindWithEhFrameHdr(std::uintptr_t ehFrameHdr, CTRUnwindContext* context) {
  if (!CTRIsValidPointer(context)) return false;
  const std::uintptr_t pc = CTRUnwindGetPC(context);
  std::uintptr_t fde = 0;
  if (!CTRDwarfEhFrameHdrFindFDE(ehFrameHdr, pc, &fde)) return false;
  // The records are parsed in place; make sure the FDE is mapped first.
  std::uint32_t probe = 0;
  if (!ReadAt(fde, &probe)) return false;
  CTRDwarfCFIRecord record;
  std::memset(&record, 0, sizeof(record));
  if (!CTRDwarfCFIRecordInitWithAddress(&record, fde)) {
    CTR_SDK_LOG_ERROR("Unable to init FDE\n");
    return false;
  }
  // The table only says where the last function before the pc begins; the
  // pc may lie past its end (code without call-frame information).
  if (pc < record.fde.startAddress || pc - record.fde.startAddress >= record.fde.rangeSize) {
    CTR_SDK_LOG_WARN("PC %p is outside of the FDE's range\n", reinterpret_cast<void*>(pc));
    return false;
  }
  if (!CTRDwarfUnwindComputeRegisters(&record, context)) {
    CTR_SDK_LOG_ERROR("Failed to compute DWARF registers\n");
    return false;
  }
  return true;
}

}  // namespace sdk
