#include "sdk/crash/ctr_compact_unwind.h"

#include <cstring>

#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/ctr_dwarf_unwind.h"

namespace sdk {

namespace {

void* AsPointer(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

template <typename T>
bool ReadAt(std::uintptr_t address, T* out) {
  return CTRSafeReadMemory(reinterpret_cast<const void*>(address), out, sizeof(T));
}

// Field offsets in a compressed second-level page header (after the kind).
constexpr std::uintptr_t kCompressedEntryPageOffset = 4;
constexpr std::uintptr_t kCompressedEntryCount = 6;
constexpr std::uintptr_t kCompressedEncodingsPageOffset = 8;
constexpr std::uintptr_t kCompressedEncodingsCount = 10;

constexpr std::uint32_t kFirstLevelEntrySize = 12;

std::uint32_t EntryFunctionOffset(std::uint32_t entry) { return entry & 0x00FFFFFF; }
std::uint32_t EntryEncodingIndex(std::uint32_t entry) { return (entry >> 24) & 0xFF; }

}  // namespace

bool CTRCompactUnwindInit(CTRCompactUnwindContext* context, std::uintptr_t unwindInfo,
                          std::uintptr_t ehFrame, std::uintptr_t loadAddress) {
  if (!CTRIsValidPointer(context)) {
    CTR_SDK_LOG_WARN("Error: invalid context passed to compact unwind init");
    return false;
  }
  if (unwindInfo < kCTRMinimumValidPointer) {
    CTR_SDK_LOG_WARN("Error: invalid unwind info passed to compact unwind init");
    return false;
  }
  if (loadAddress < kCTRMinimumValidPointer) {
    CTR_SDK_LOG_WARN("Error: invalid load address passed to compact unwind init");
    return false;
  }
  std::memset(context, 0, sizeof(*context));
  if (!ReadAt(unwindInfo, &context->unwindHeader)) {
    CTR_SDK_LOG_WARN("Error: could not read memory contents of unwindInfo\n");
    return false;
  }
  if (context->unwindHeader.version != 1) {
    CTR_SDK_LOG_WARN("Error: bad unwind_info structure version (%d != %d)\n",
                     static_cast<int>(context->unwindHeader.version), 1);
    return false;
  }
  context->unwindInfo = unwindInfo;
  context->ehFrame = ehFrame;
  context->loadAddress = loadAddress;
  return true;
}

bool CTRCompactUnwindLookupAndCompute(CTRCompactUnwindContext* context,
                                      CTRUnwindContext* unwindContext) {
  if (!CTRIsValidPointer(context) || !CTRIsValidPointer(unwindContext)) return false;
  const std::uintptr_t pc = CTRUnwindGetPC(unwindContext);
  if (pc < context->loadAddress) return false;
  CTRCompactUnwindResult result{};
  if (!CTRCompactUnwindLookup(context, pc, &result)) {
    CTR_SDK_LOG_INFO("Unable to lookup compact unwind for pc %p\n", AsPointer(pc));
    return false;
  }
  if (!CTRCompactUnwindComputeRegisters(context, &result, unwindContext)) {
    CTR_SDK_LOG_ERROR("Failed to compute registers\n");
    return false;
  }
  return true;
}

bool CTRCompactUnwindLookup(CTRCompactUnwindContext* context, std::uintptr_t pc,
                            CTRCompactUnwindResult* result) {
  if (!CTRIsValidPointer(context) || !CTRIsValidPointer(result)) return false;
  const std::uint32_t count = context->unwindHeader.indexCount;
  if (count <= 1 || pc < context->loadAddress) return false;
  const std::uintptr_t target = pc - context->loadAddress;
  const std::uintptr_t index = context->unwindInfo + context->unwindHeader.indexSectionOffset;

  // Linear scan; the last entry is the sentinel and is never chosen.
  for (std::uint32_t i = 0; i + 1 < count; ++i) {
    CTRCompactUnwindFirstLevelEntry entry{};
    CTRCompactUnwindFirstLevelEntry next{};
    if (!ReadAt(index + static_cast<std::uintptr_t>(i) * kFirstLevelEntrySize, &entry) ||
        !ReadAt(index + static_cast<std::uintptr_t>(i + 1) * kFirstLevelEntrySize, &next)) {
      break;
    }
    if (entry.functionOffset <= target && target < next.functionOffset) {
      CTR_SDK_LOG_DEBUG("Found first level (second => %u)\n",
                        static_cast<unsigned>(entry.secondLevelPagesSectionOffset));
      context->firstLevelEntry = entry;
      context->firstLevelNextFunctionOffset = next.functionOffset;
      if (!CTRCompactUnwindLookupSecondLevel(context, pc, result)) {
        CTR_SDK_LOG_INFO("Second-level PC lookup failed\n");
        return false;
      }
      return true;
    }
  }
  CTR_SDK_LOG_WARN("Unable to find pc in first level\n");
  return false;
}

std::uintptr_t CTRCompactUnwindGetTargetAddress(const CTRCompactUnwindContext* context,
                                                std::uintptr_t pc) {
  if (!CTRIsValidPointer(context)) return 0;
  const std::uintptr_t base = context->loadAddress + context->firstLevelEntry.functionOffset;
  if (pc <= base) {
    CTR_SDK_LOG_WARN("Error: PC is invalid\n");
    return 0;
  }
  return pc - base;
}

bool CTRCompactUnwindLookupSecondLevel(CTRCompactUnwindContext* context, std::uintptr_t pc,
                                       CTRCompactUnwindResult* result) {
  if (!CTRIsValidPointer(context) || !CTRIsValidPointer(result)) return false;
  std::uint32_t kind = 0;
  const std::uintptr_t page =
      context->unwindInfo + context->firstLevelEntry.secondLevelPagesSectionOffset;
  if (!ReadAt(page, &kind)) return false;
  if (kind == kCTRCompactUnwindSecondLevelCompressed) {
    CTR_SDK_LOG_INFO("Found a second level compressed header\n");
    return CTRCompactUnwindLookupSecondLevelCompressed(context, pc, result);
  }
  if (kind == kCTRCompactUnwindSecondLevelRegular) {
    CTR_SDK_LOG_INFO("Found a second level regular header\n");
    return CTRCompactUnwindLookupSecondLevelRegular(context, pc, result);
  }
  CTR_SDK_LOG_ERROR("Unrecognized header kind - unable to continue\n");
  return false;
}

bool CTRCompactUnwindLookupSecondLevelRegular(CTRCompactUnwindContext*, std::uintptr_t,
                                              CTRCompactUnwindResult*) {
  CTR_SDK_LOG_WARN("Encountered a regular second-level page\n");
  return false;
}

bool CTRCompactUnwindLookupSecondLevelCompressed(CTRCompactUnwindContext* context,
                                                 std::uintptr_t pc,
                                                 CTRCompactUnwindResult* result) {
  if (!CTRIsValidPointer(context) || !CTRIsValidPointer(result)) return false;
  const std::uintptr_t page =
      context->unwindInfo + context->firstLevelEntry.secondLevelPagesSectionOffset;
  std::uint16_t entryPageOffset = 0;
  std::uint16_t entryCount = 0;
  std::uint16_t encodingsPageOffset = 0;
  std::uint16_t encodingsCount = 0;
  if (!ReadAt(page + kCompressedEntryPageOffset, &entryPageOffset) ||
      !ReadAt(page + kCompressedEntryCount, &entryCount) ||
      !ReadAt(page + kCompressedEncodingsPageOffset, &encodingsPageOffset) ||
      !ReadAt(page + kCompressedEncodingsCount, &encodingsCount)) {
    return false;
  }
  const std::uintptr_t entries = page + entryPageOffset;
  const std::uintptr_t base = context->loadAddress + context->firstLevelEntry.functionOffset;
  const std::uintptr_t target = CTRCompactUnwindGetTargetAddress(context, pc);

  if (target == 0 || entryCount == 0) {
    CTR_SDK_LOG_INFO("Unable to find PC in second level\n");
    return false;
  }

  // Binary search for the last entry whose offset is at most the target.
  std::uint32_t low = 0;
  std::uint32_t high = entryCount;  // exclusive
  while (high - low > 1) {
    const std::uint32_t mid = low + (high - low) / 2;
    std::uint32_t entry = 0;
    if (!ReadAt(entries + static_cast<std::uintptr_t>(mid) * 4, &entry)) return false;
    if (EntryFunctionOffset(entry) <= target) {
      low = mid;
    } else {
      high = mid;
    }
  }
  const std::uint32_t found = low;
  std::uint32_t entry = 0;
  if (!ReadAt(entries + static_cast<std::uintptr_t>(found) * 4, &entry)) return false;

  const std::uintptr_t functionStart = base + EntryFunctionOffset(entry);
  std::uintptr_t functionEnd = 0;
  if (found + 1 < entryCount) {
    std::uint32_t next = 0;
    if (!ReadAt(entries + static_cast<std::uintptr_t>(found + 1) * 4, &next)) return false;
    functionEnd = base + EntryFunctionOffset(next);
  } else {
    // The page's last function ends where the next first-level entry begins.
    functionEnd = context->loadAddress + context->firstLevelNextFunctionOffset;
  }
  if (pc < functionStart || pc >= functionEnd) {
    CTR_SDK_LOG_WARN("PC does not match computed function range\n");
    return false;
  }

  const std::uint32_t index = EntryEncodingIndex(entry);
  std::uint32_t encoding = 0;
  const std::uint32_t commonCount = context->unwindHeader.commonEncodingsArrayCount;
  if (index < commonCount) {
    const std::uintptr_t common =
        context->unwindInfo + context->unwindHeader.commonEncodingsArraySectionOffset;
    if (!ReadAt(common + static_cast<std::uintptr_t>(index) * 4, &encoding)) return false;
  } else {
    // An index past the page's own encodings would read whatever follows
    // them; it counts as "no unwind info".
    const std::uint32_t pageIndex = index - commonCount;
    if (pageIndex < encodingsCount &&
        !ReadAt(page + encodingsPageOffset + static_cast<std::uintptr_t>(pageIndex) * 4,
                &encoding)) {
      return false;
    }
  }
  if (encoding == 0) {
    CTR_SDK_LOG_INFO("Entry has has no unwind info\n");
    return false;
  }
  result->encoding = encoding;
  result->functionStart = functionStart;
  result->functionEnd = functionEnd;
  return true;
}

bool CTRCompactUnwindComputeRegisters(CTRCompactUnwindContext* context,
                                      const CTRCompactUnwindResult* result,
                                      CTRUnwindContext* unwindContext) {
  if (!CTRIsValidPointer(context) || !CTRIsValidPointer(result) ||
      !CTRIsValidPointer(unwindContext)) {
    CTR_SDK_LOG_ERROR("invalid inputs\n");
    return false;
  }
  const std::uint32_t encoding = result->encoding;
  CTR_SDK_LOG_DEBUG("Computing registers for encoding %x\n", static_cast<unsigned>(encoding));
  switch (encoding & kCTRCompactUnwindModeMask) {
    case kCTRCompactUnwindModeBPFrame:
      return CTRCompactUnwindBPFrame(unwindContext);
    case kCTRCompactUnwindModeStackImmediate:
      return CTRCompactUnwindFrameless(encoding, unwindContext, result->functionStart, false);
    case kCTRCompactUnwindModeStackIndirect:
      return CTRCompactUnwindFrameless(encoding, unwindContext, result->functionStart, true);
    case kCTRCompactUnwindModeDwarf:
      return CTRCompactUnwindDwarfFrame(context, encoding & kCTRCompactUnwindDwarfSectionOffsetMask,
                                        unwindContext);
    default:
      CTR_SDK_LOG_ERROR("Invalid encoding %x\n", static_cast<unsigned>(encoding));
      return false;
  }
}

bool CTRCompactUnwindBPFrame(CTRUnwindContext* unwindContext) {
  if (!CTRIsValidPointer(unwindContext)) return false;
  const std::uintptr_t fp = CTRUnwindGetFramePointer(unwindContext);
  std::uintptr_t frame[2] = {0, 0};  // saved rbp, return address
  if (!CTRSafeReadMemory(reinterpret_cast<const void*>(fp), frame, sizeof(frame))) {
    CTR_SDK_LOG_WARN("Error: failed to read memory at address %p\n", AsPointer(fp));
    return false;
  }
  return CTRUnwindSetPC(unwindContext, frame[1]) &&
         CTRUnwindSetFramePointer(unwindContext, frame[0]) &&
         CTRUnwindSetStackPointer(unwindContext, fp + 16);
}

bool CTRCompactUnwindComputeStackSize(std::uint32_t encoding, std::uintptr_t functionStart,
                                      bool indirect, std::uint32_t* stackSize) {
  if (stackSize == nullptr) return false;
  const std::uint32_t field = (encoding >> 16) & 0xFF;
  if (!indirect) {
    *stackSize = field * 8;
    return true;
  }
  std::uint32_t subl = 0;
  if (!ReadAt(functionStart + field, &subl)) {
    CTR_SDK_LOG_WARN("Error: unable to read subl value\n");
    return false;
  }
  const std::uint32_t adjust = (encoding >> 13) & 0x7;
  *stackSize = subl + adjust * 8;
  return true;
}

bool CTRCompactUnwindDecompressPermutation(std::uint32_t permutation, std::uint32_t count,
                                           std::uint32_t* digits) {
  if (digits == nullptr) return false;
  std::uint32_t p = permutation;
  switch (count) {
    case 6:
    case 5:
      digits[0] = p / 120;
      p -= digits[0] * 120;
      digits[1] = p / 24;
      p -= digits[1] * 24;
      digits[2] = p / 6;
      p -= digits[2] * 6;
      digits[3] = p / 2;
      p -= digits[3] * 2;
      digits[4] = p;
      if (count == 6) digits[5] = 0;
      return true;
    case 4:
      digits[0] = p / 60;
      p -= digits[0] * 60;
      digits[1] = p / 12;
      p -= digits[1] * 12;
      digits[2] = p / 3;
      p -= digits[2] * 3;
      digits[3] = p;
      return true;
    case 3:
      digits[0] = p / 20;
      p -= digits[0] * 20;
      digits[1] = p / 4;
      p -= digits[1] * 4;
      digits[2] = p;
      return true;
    case 2:
      digits[0] = p / 5;
      p -= digits[0] * 5;
      digits[1] = p;
      return true;
    case 1:
      digits[0] = p;
      return true;
    case 0:
      return true;
    default:
      CTR_SDK_LOG_WARN("Error: unhandled number of register permutations for encoding %x\n",
                       static_cast<unsigned>(permutation));
      return false;
  }
}

bool CTRCompactUnwindRemapRegisters(std::uint32_t count, std::uint32_t* registers) {
  if (registers == nullptr) return false;
  if (count > 6) {
    CTR_SDK_LOG_WARN("Error: invalid register number count %d\n", static_cast<int>(count));
    return false;
  }
  bool taken[7] = {};
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t remaining = registers[i];
    std::uint32_t chosen = 0;
    for (std::uint32_t r = 1; r <= 6; ++r) {
      if (taken[r]) continue;
      if (remaining == 0) {
        chosen = r;
        break;
      }
      --remaining;
    }
    if (chosen == 0) {
      CTR_SDK_LOG_WARN("Error: invalid register number count %d\n", static_cast<int>(count));
      return false;
    }
    taken[chosen] = true;
    registers[i] = chosen;
  }
  return true;
}

bool CTRCompactUnwindRestoreRegisters(std::uint32_t, CTRUnwindContext* unwindContext,
                                      std::uint32_t stackSize, const std::uint32_t* registers,
                                      std::uint32_t count, std::uintptr_t* location) {
  if (!CTRIsValidPointer(unwindContext) || registers == nullptr || location == nullptr ||
      count > 6) {
    CTR_SDK_LOG_WARN("Error: invalid inputs\n");
    return false;
  }
  const std::uintptr_t sp = CTRUnwindGetStackPointer(unwindContext);
  std::uintptr_t slot = sp + stackSize - 8 * static_cast<std::uintptr_t>(count) - 8;
  for (std::uint32_t i = 0; i < count; ++i, slot += 8) {
    if (registers[i] != kCTRCompactUnwindRegisterRBP) {
      CTR_SDK_LOG_WARN("Error: skipping a restore of register %d at %p\n",
                       static_cast<int>(registers[i]), AsPointer(slot));
      continue;
    }
    std::uintptr_t value = 0;
    if (!ReadAt(slot, &value)) {
      CTR_SDK_LOG_WARN("Error: unable to read memory to set register\n");
      return false;
    }
    if (!CTRUnwindSetFramePointer(unwindContext, value)) {
      CTR_SDK_LOG_WARN("Error: unable to set FP\n");
      return false;
    }
  }
  *location = slot;
  return true;
}

bool CTRCompactUnwindFrameless(std::uint32_t encoding, CTRUnwindContext* unwindContext,
                               std::uintptr_t functionStart, bool indirect) {
  CTR_SDK_LOG_WARN("Frameless unwind encountered with encoding %x\n",
                   static_cast<unsigned>(encoding));
  if (!CTRIsValidPointer(unwindContext)) return false;
  std::uint32_t stackSize = 0;
  if (!CTRCompactUnwindComputeStackSize(encoding, functionStart, indirect, &stackSize)) {
    CTR_SDK_LOG_WARN("Error: unable to compute stack size for encoding %x\n",
                     static_cast<unsigned>(encoding));
    return false;
  }
  const std::uint32_t count = (encoding >> 10) & 0x7;
  const std::uint32_t permutation = encoding & 0x3FF;
  std::uint32_t registers[6] = {};
  if (!CTRCompactUnwindDecompressPermutation(permutation, count, registers)) {
    CTR_SDK_LOG_WARN("Error: unable to decompress registers %x\n", static_cast<unsigned>(encoding));
    return false;
  }
  if (!CTRCompactUnwindRemapRegisters(count, registers)) {
    CTR_SDK_LOG_WARN("Error: unable to remap registers %x\n", static_cast<unsigned>(encoding));
    return false;
  }
  std::uintptr_t location = 0;
  if (!CTRCompactUnwindRestoreRegisters(encoding, unwindContext, stackSize, registers, count,
                                        &location)) {
    CTR_SDK_LOG_WARN("Error: unable to restore registers\n");
    return false;
  }
  CTR_SDK_LOG_WARN("SP is %p and we are reading %p\n",
                   AsPointer(CTRUnwindGetStackPointer(unwindContext)), AsPointer(location));
  std::uintptr_t pc = 0;
  if (!ReadAt(location, &pc)) {
    CTR_SDK_LOG_WARN("Error: unable to read memory to set register\n");
    return false;
  }
  CTR_SDK_LOG_WARN("Read PC to be %p\n", AsPointer(pc));
  if (pc < kCTRMinimumValidPointer) {
    CTR_SDK_LOG_WARN("Error: computed PC is invalid\n");
    return false;
  }
  return CTRUnwindSetPC(unwindContext, pc) && CTRUnwindSetStackPointer(unwindContext, location + 8);
}

bool CTRCompactUnwindDwarfFrame(CTRCompactUnwindContext* context, std::uintptr_t dwarfOffset,
                                CTRUnwindContext* unwindContext) {
  if (!CTRIsValidPointer(context) || !CTRIsValidPointer(unwindContext)) return false;
  CTR_SDK_LOG_INFO("Trying to read dwarf data with offset %lx\n",
                   static_cast<unsigned long>(dwarfOffset));
  CTRDwarfCFIRecord record{};
  if (!CTRDwarfCFIRecordInitWithOffset(&record, context->ehFrame, dwarfOffset)) {
    CTR_SDK_LOG_ERROR("Unable to init FDE\n");
    return false;
  }
  if (!CTRDwarfUnwindComputeRegisters(&record, unwindContext)) {
    CTR_SDK_LOG_ERROR("Failed to compute DWARF registers\n");
    return false;
  }
  return true;
}

}  // namespace sdk
