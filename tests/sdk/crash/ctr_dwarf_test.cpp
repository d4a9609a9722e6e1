#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "ctr_unwind_test_support.h"
#include "sdk/crash/ctr_dwarf_expression.h"
#include "sdk/crash/ctr_dwarf_unwind.h"

namespace sdk {
namespace {

using DwarfTest = testing::UnwindContextTest;

// Little-endian byte assembly for hand-built sections. The storage is fixed
// once reserved so that addresses taken while building stay valid.
class Bytes {
 public:
  Bytes() { data_.reserve(4096); }
  std::size_t size() const { return data_.size(); }
  const std::uint8_t* at(std::size_t offset) const { return data_.data() + offset; }
  std::uintptr_t addr(std::size_t offset) const {
    return reinterpret_cast<std::uintptr_t>(at(offset));
  }
  Bytes& u8(std::initializer_list<int> values) {
    for (int v : values) data_.push_back(static_cast<std::uint8_t>(v));
    return *this;
  }
  template <typename T>
  Bytes& put(T value) {
    std::uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    data_.insert(data_.end(), raw, raw + sizeof(T));
    return *this;
  }
  template <typename T>
  void patch(std::size_t offset, T value) {
    std::memcpy(data_.data() + offset, &value, sizeof(T));
  }
  Bytes& str(const char* s) {
    data_.insert(data_.end(), s, s + std::strlen(s) + 1);
    return *this;
  }

 private:
  std::vector<std::uint8_t> data_;
};

// ---------------------------------------------------------------------------
// Readers

TEST(DwarfReaderTest, ReadsLEB128Numbers) {
  const std::uint8_t bytes[] = {0x7f, 0xe5, 0x8e, 0x26, 0x80, 0x7f, 0x02};
  const void* cursor = bytes;
  EXPECT_EQ(CTRParseULEB128AndAdvance(&cursor), 127u);
  EXPECT_EQ(CTRParseULEB128AndAdvance(&cursor), 624485u);
  EXPECT_EQ(CTRParseLEB128AndAdvance(&cursor), -128);
  EXPECT_EQ(CTRParseLEB128AndAdvance(&cursor), 2);
  EXPECT_EQ(cursor, bytes + sizeof(bytes));
  const std::uint8_t minusOne[] = {0x7f};
  cursor = minusOne;
  EXPECT_EQ(CTRParseLEB128AndAdvance(&cursor), -1);
}

TEST(DwarfReaderTest, LongLEB128NumbersAreReadWholeAndTheCursorEndsAfterThem) {
  // Nine bytes (a padded encoding): the value needs its ninth byte, and the
  // next field starts after it.
  const std::uint8_t nine[] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 0x2a};
  const void* cursor = nine;
  EXPECT_EQ(CTRParseULEB128AndAdvance(&cursor), std::uint64_t{1} << 56);
  EXPECT_EQ(cursor, nine + 9);
  EXPECT_EQ(CTRParseUint8AndAdvance(&cursor), 0x2a);

  const std::uint8_t max[] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01};
  cursor = max;
  EXPECT_EQ(CTRParseULEB128AndAdvance(&cursor), UINT64_MAX);
  EXPECT_EQ(cursor, max + 10);

  const std::uint8_t minimum[] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7f};
  cursor = minimum;
  EXPECT_EQ(CTRParseLEB128AndAdvance(&cursor), INT64_MIN);
  EXPECT_EQ(cursor, minimum + 10);

  // An over-long number stops after ten bytes.
  std::uint8_t tooLong[12];
  std::memset(tooLong, 0x80, sizeof(tooLong));
  cursor = tooLong;
  CTRParseULEB128AndAdvance(&cursor);
  EXPECT_EQ(cursor, tooLong + 10);
}

TEST_F(DwarfTest, ReadsEncodedPointers) {
  Bytes b;
  b.put<std::uint32_t>(0x1000).put<std::int16_t>(-4).put<std::int32_t>(-8).put<std::uint32_t>(7);
  const void* cursor = b.at(0);
  EXPECT_EQ(CTRParseAddressWithEncodingAndAdvance(&cursor, kCTRDwarfEhPeOmit), 0u);
  EXPECT_EQ(cursor, b.at(0));
  EXPECT_EQ(CTRParseAddressWithEncodingAndAdvance(&cursor, kCTRDwarfEhPeUdata4), 0x1000u);
  EXPECT_EQ(CTRParseAddressWithEncodingAndAdvance(&cursor, kCTRDwarfEhPeSdata2),
            static_cast<std::uint64_t>(-4));
  // pc-relative: relative to where the value began.
  const std::uintptr_t field = b.addr(6);
  EXPECT_EQ(
      CTRParseAddressWithEncodingAndAdvance(&cursor, kCTRDwarfEhPePcrel | kCTRDwarfEhPeSdata4),
      field - 8);
  // Unhandled forms fail with the all-ones value.
  EXPECT_EQ(
      CTRParseAddressWithEncodingAndAdvance(&cursor, kCTRDwarfEhPeDatarel | kCTRDwarfEhPeUdata4),
      kCTRDwarfInvalidAddress);
  cursor = b.at(0);
  EXPECT_EQ(CTRParseAddressWithEncodingAndAdvance(&cursor, 0x05), kCTRDwarfInvalidAddress);
  EXPECT_EQ(CTRParseAddressWithEncodingAndAdvance(nullptr, kCTRDwarfEhPeUdata4),
            kCTRDwarfInvalidAddress);
  const std::string log = sdkLog();
  EXPECT_NE(log.find("Unhandled: encoding 0x05\n"), std::string::npos);
  EXPECT_NE(log.find("Unhandled: relative encoding 0x33\n"), std::string::npos);
}

TEST_F(DwarfTest, IndirectPointersAreReadSafely) {
  static const std::uint64_t target = 0xfeedface;
  Bytes b;
  b.put<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&target)).put<std::uint64_t>(0x20);
  const void* cursor = b.at(0);
  EXPECT_EQ(
      CTRParseAddressWithEncodingAndAdvance(&cursor, kCTRDwarfEhPeIndirect | kCTRDwarfEhPeUdata8),
      0xfeedfaceu);
  // A slot below 4096 is not dereferenced.
  EXPECT_EQ(
      CTRParseAddressWithEncodingAndAdvance(&cursor, kCTRDwarfEhPeIndirect | kCTRDwarfEhPeUdata8),
      kCTRDwarfInvalidAddress);
}

// ---------------------------------------------------------------------------
// Records

// Appends a CIE: version 1, "zR" with `pointerEncoding`, caf 1, daf -8,
// return address register 16, then `instructions`. Returns its offset.
std::size_t AddCIE(Bytes& b, std::uint8_t pointerEncoding, std::initializer_list<int> instructions,
                   std::uint8_t version = 1) {
  const std::size_t start = b.size();
  b.put<std::uint32_t>(0).put<std::uint32_t>(0).u8({version}).str("zR").u8(
      {0x01, 0x78, 0x10, 0x01});
  b.u8({pointerEncoding}).u8(instructions);
  b.patch<std::uint32_t>(start, static_cast<std::uint32_t>(b.size() - start - 4));
  return start;
}

// Appends an FDE for [pcBegin, pcBegin + range) with absolute 8-byte
// addresses (the CIE must use encoding 0). Returns its offset.
std::size_t AddFDE(Bytes& b, std::size_t cie, std::uint64_t pcBegin, std::uint64_t range,
                   std::initializer_list<int> instructions) {
  const std::size_t start = b.size();
  b.put<std::uint32_t>(0).put<std::uint32_t>(static_cast<std::uint32_t>(start + 4 - cie));
  b.put<std::uint64_t>(pcBegin).put<std::uint64_t>(range).u8({0x00}).u8(instructions);
  b.patch<std::uint32_t>(start, static_cast<std::uint32_t>(b.size() - start - 4));
  return start;
}

// CIE instructions of a typical x86_64 function: CFA = rsp + 8, return
// address at CFA - 8.
#define CIE_DEFAULT_RULES 0x0c, 0x07, 0x08, 0x90, 0x01

TEST_F(DwarfTest, ParsesCIEAndFDE) {
  Bytes b;
  const std::size_t cie = AddCIE(b, kCTRDwarfEhPePcrel | kCTRDwarfEhPeSdata4, {CIE_DEFAULT_RULES});
  const std::size_t fde = b.size();
  b.put<std::uint32_t>(0).put<std::uint32_t>(static_cast<std::uint32_t>(fde + 4 - cie));
  b.put<std::int32_t>(-0x100).put<std::int32_t>(0x40).u8({0x02, 0xaa, 0xbb}).u8({0x41, 0x0e, 0x10});
  b.patch<std::uint32_t>(fde, static_cast<std::uint32_t>(b.size() - fde - 4));

  CTRDwarfCFIRecord record;
  ASSERT_TRUE(CTRDwarfCFIRecordInitWithOffset(&record, b.addr(0), fde));
  EXPECT_EQ(record.cie.version, 1);
  EXPECT_STREQ(record.cie.augmentation, "zR");
  EXPECT_EQ(record.cie.codeAlignFactor, 1u);
  EXPECT_EQ(record.cie.dataAlignFactor, -8);
  EXPECT_EQ(record.cie.returnAddressRegister, 16u);
  EXPECT_EQ(record.cie.pointerEncoding, 0x1b);
  EXPECT_EQ(record.cie.instructions.length, 5u);
  EXPECT_EQ(record.cie.instructions.data, b.at(cie + 17));
  EXPECT_EQ(record.fde.startAddress, b.addr(fde + 8) - 0x100);
  EXPECT_EQ(record.fde.rangeSize, 0x40u);
  // The FDE's augmentation data (2 bytes) is skipped.
  EXPECT_EQ(record.fde.instructions.data, b.at(fde + 19));
  EXPECT_EQ(record.fde.instructions.length, 3u);

  EXPECT_FALSE(CTRDwarfCFIRecordInitWithOffset(&record, 0, fde));
  EXPECT_FALSE(CTRDwarfCFIRecordInitWithOffset(&record, b.addr(0), 0));
}

TEST_F(DwarfTest, UnsupportedCIEVersionLogsTwiceAndFails) {
  Bytes b;
  const std::size_t cie = AddCIE(b, 0, {CIE_DEFAULT_RULES}, 2);
  CTRDwarfCIERecord record;
  EXPECT_FALSE(CTRDwarfParseCIERecord(&record, b.at(cie)));
  const std::string log = sdkLog();
  const std::string message = "Error: CIE version 2 unsupported\n";
  const std::size_t first = log.find(message);
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(log.find(message, first + 1), std::string::npos);
}

TEST_F(DwarfTest, AugmentationStringsAreCheckedEntryByEntry) {
  // "zRS": signal frame; "zX": unknown entry; "eh": not a "z" string.
  for (const char* augmentation : {"zRS", "zX", "eh"}) {
    Bytes b;
    b.put<std::uint32_t>(0).put<std::uint32_t>(0).u8({1}).str(augmentation).u8({0x01, 0x78, 0x10});
    if (augmentation[0] == 'z') b.u8({0x01, 0x00});
    b.u8({0x00});
    b.patch<std::uint32_t>(0, static_cast<std::uint32_t>(b.size() - 4));
    CTRDwarfCIERecord record;
    const bool parsed = CTRDwarfParseCIERecord(&record, b.at(0));
    EXPECT_EQ(parsed, std::string(augmentation) == "zRS") << augmentation;
    if (parsed) {
      EXPECT_TRUE(record.signalFrame);
    }
  }
  // Augmentation data longer than its entries: the instructions start after
  // all of it.
  Bytes padded;
  padded.put<std::uint32_t>(0).put<std::uint32_t>(0).u8({1}).str("zR").u8({0x01, 0x78, 0x10});
  padded.u8({0x02, 0x00, 0xee, 0x0c, 0x07, 0x08});
  padded.patch<std::uint32_t>(0, static_cast<std::uint32_t>(padded.size() - 4));
  CTRDwarfCIERecord record;
  ASSERT_TRUE(CTRDwarfParseCIERecord(&record, padded.at(0)));
  EXPECT_EQ(record.instructions.data, padded.at(padded.size() - 3));
  EXPECT_EQ(record.instructions.length, 3u);

  const std::string log = sdkLog();
  EXPECT_NE(log.find("Error: Unhandled augmentation string entry X\n"), std::string::npos);
  EXPECT_NE(log.find("Error: Unimplemented: augmentation string eh\n"), std::string::npos);
}

TEST_F(DwarfTest, FDEWithZeroLengthOrZeroCIEOffsetFails) {
  Bytes b;
  b.put<std::uint32_t>(0).put<std::uint32_t>(8).put<std::uint32_t>(0);
  CTRDwarfFDERecord fde;
  CTRDwarfCIERecord cie;
  EXPECT_FALSE(CTRDwarfParseFDERecord(&fde, true, &cie, b.at(0)));
  EXPECT_FALSE(CTRDwarfParseFDERecord(&fde, true, &cie, b.at(4)));
  const std::string log = sdkLog();
  EXPECT_NE(log.find("Error: FDE has zero length\n"), std::string::npos);
  EXPECT_NE(log.find("Error: CIE offset invalid\n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Call-frame instructions

struct InstructionRun {
  Bytes bytes;
  CTRDwarfCFIRecord record{};
};

// A CIE with the default rules and an FDE at 0x401000 with `instructions`.
void Build(InstructionRun& run, std::initializer_list<int> instructions) {
  const std::size_t cie = AddCIE(run.bytes, 0, {CIE_DEFAULT_RULES});
  const std::size_t fde = AddFDE(run.bytes, cie, 0x401000, 0x100, instructions);
  ASSERT_TRUE(CTRDwarfCFIRecordInitWithAddress(&run.record, run.bytes.addr(fde)));
}

CTRDwarfState RunTo(const CTRDwarfCFIRecord& record, std::int64_t pcOffset, bool* ok) {
  CTRDwarfState state{};
  *ok = CTRDwarfInstructionsEnumerate(&record.cie.instructions, &record.cie, &state, INT64_MAX) &&
        CTRDwarfInstructionsEnumerate(&record.fde.instructions, &record.cie, &state, pcOffset,
                                      record.fde.startAddress);
  return state;
}

TEST_F(DwarfTest, InstructionsRunUpToTheProgramCounter) {
  InstructionRun run;
  // advance 1; cfa offset 16; rbp at cfa-16; advance 3; cfa offset 24.
  Build(run, {0x41, 0x0e, 0x10, 0x86, 0x02, 0x43, 0x0e, 0x18});
  bool ok = false;
  CTRDwarfState state = RunTo(run.record, 0, &ok);
  ASSERT_TRUE(ok);
  // Offset 0: only the CIE's rules.
  EXPECT_EQ(state.cfaRegister, 7u);
  EXPECT_EQ(state.cfaRegisterOffset, 8);
  EXPECT_EQ(state.registers[16].location, kCTRDwarfRegisterInCFA);
  EXPECT_EQ(static_cast<std::int64_t>(state.registers[16].value), -8);
  EXPECT_EQ(state.registers[6].location, kCTRDwarfRegisterUnused);

  // The run stops right after the advance that reaches the offset.
  state = RunTo(run.record, 1, &ok);
  EXPECT_EQ(state.cfaRegisterOffset, 8);
  state = RunTo(run.record, 2, &ok);
  EXPECT_EQ(state.cfaRegisterOffset, 16);
  EXPECT_EQ(state.registers[6].location, kCTRDwarfRegisterInCFA);
  EXPECT_EQ(static_cast<std::int64_t>(state.registers[6].value), -16);
  state = RunTo(run.record, 4, &ok);
  EXPECT_EQ(state.cfaRegisterOffset, 16);
  state = RunTo(run.record, 5, &ok);
  EXPECT_EQ(state.cfaRegisterOffset, 24);
}

TEST_F(DwarfTest, SetLocationIsRelativeToTheFunctionStart) {
  InstructionRun run;
  // set_loc 0x401004 (absolute, 8 bytes); cfa offset 32.
  Build(run, {0x01, 0x04, 0x10, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0e, 0x20});
  bool ok = false;
  CTRDwarfState state = RunTo(run.record, 3, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(state.cfaRegisterOffset, 8);
  state = RunTo(run.record, 5, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(state.cfaRegisterOffset, 32);
}

TEST_F(DwarfTest, RegisterRulesAndCFAForms) {
  InstructionRun run;
  Build(run, {
                 0x09, 0x03, 0x0c,              // rbx in r12
                 0x08, 0x03,                    // rbx same value again
                 0x09, 0x0d, 0x0e,              // r13 in r14
                 0x0d, 0x06,                    // CFA register rbp
                 0x10, 0x0f, 0x02, 0x77, 0x08,  // r15 at expression "rsp + 8"
                 0x16, 0x0c, 0x02, 0x23, 0x10,  // r12 = expression "+ 16"
             });
  bool ok = false;
  const CTRDwarfState state = RunTo(run.record, 100, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(state.registers[3].location, kCTRDwarfRegisterUnused);
  EXPECT_EQ(state.registers[13].location, kCTRDwarfRegisterInRegister);
  EXPECT_EQ(state.registers[13].value, 14u);
  EXPECT_EQ(state.cfaRegister, 6u);
  EXPECT_EQ(state.cfaRegisterOffset, 8);
  EXPECT_EQ(state.registers[15].location, kCTRDwarfRegisterAtExpression);
  EXPECT_EQ(state.registers[12].location, kCTRDwarfRegisterIsExpression);

  CTRThreadState regs{};
  regs.rsp = 0x7000;
  regs.rbp = 0x7100;
  std::uint64_t cfa = 0;
  ASSERT_TRUE(CTRDwarfGetCFA(&state, &regs, &cfa));
  EXPECT_EQ(cfa, 0x7108u);
  // val_expression: the CFA is the initial value.
  EXPECT_EQ(CTRDwarfGetSavedRegister(&regs, cfa, state.registers[12]), 0x7118u);
}

TEST_F(DwarfTest, UnsupportedInstructionsFailTheRun) {
  struct Case {
    std::initializer_list<int> instructions;
    const char* message;
    bool followedByFailedToExecute;
  };
  const Case cases[] = {
      {{0x07, 0x03}, "Error: Unimplemented DWARF instruction 0x7\n", false},  // undefined
      {{0x2f, 0x03, 0x02}, "Error: Unimplemented DWARF instruction 0x2f\n", false},
      {{0x05, 0x03, 0x02},
       "Error: Unimplemented DWARF instruction 0x5\n",
       false},  // offset_extended
      {{0x0b}, "Error: DW_CFA_restore_state without a remembered state\n", true},
      {{0xd1}, "Error: Found an invalid DW_CFA_restore register number\n", true},
      {{0x06, 0x11}, "Error: Found an invalid DW_CFA_restore register number\n", true},
      {{0x20}, "Error: Unrecognized DWARF instruction 0x20\n", true},
      {{0x0c, 0x11, 0x08}, "Error: Found an invalid DW_CFA_def_cfa register number\n", true},
      {{0x91, 0x01}, "Error: Found an invalid DW_CFA_offset register number\n", true},
  };
  for (const Case& c : cases) {
    ::ftruncate(state_.sdkLogDescriptor, 0);
    InstructionRun run;
    Build(run, c.instructions);
    bool ok = true;
    RunTo(run.record, 100, &ok);
    EXPECT_FALSE(ok) << c.message;
    const std::string log = sdkLog();
    EXPECT_NE(log.find(c.message), std::string::npos) << c.message;
    EXPECT_EQ(log.find("Failed to execute dwarf instruction") != std::string::npos,
              c.followedByFailedToExecute)
        << c.message;
  }
}

TEST_F(DwarfTest, RememberAndRestoreStateSaveTheWholeRowIncludingTheCFA) {
  InstructionRun run;
  Build(run, {
                 0x41, 0x0e, 0x10, 0x86, 0x02,  // 1: cfa rsp+16, rbp at cfa-16
                 0x0a,                          // remember (outer)
                 0x41, 0x0d, 0x06, 0x83, 0x03,  // 2: cfa rbp+16, rbx at cfa-24
                 0x0a,                          // remember (inner)
                 0x41, 0x0c, 0x07, 0x08, 0xc6,  // 3: cfa rsp+8, rbp restored
                 0x41, 0x0b,                    // 4: back to the inner row
                 0x41, 0x0b,                    // 5: back to the outer row
             });
  bool ok = false;
  CTRDwarfState state = RunTo(run.record, 3, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(state.cfaRegister, 6u);
  EXPECT_EQ(state.rememberedRowCount, 2u);
  state = RunTo(run.record, 4, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(state.cfaRegister, 7u);
  EXPECT_EQ(state.cfaRegisterOffset, 8);
  EXPECT_EQ(state.registers[6].location, kCTRDwarfRegisterUnused);
  state = RunTo(run.record, 5, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(state.rememberedRowCount, 1u);
  EXPECT_EQ(state.cfaRegister, 6u);
  EXPECT_EQ(state.cfaRegisterOffset, 16);
  EXPECT_EQ(state.registers[6].location, kCTRDwarfRegisterInCFA);
  EXPECT_EQ(state.registers[3].location, kCTRDwarfRegisterInCFA);
  state = RunTo(run.record, 100, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(state.rememberedRowCount, 0u);
  EXPECT_EQ(state.cfaRegister, 7u);
  EXPECT_EQ(state.cfaRegisterOffset, 16);
  EXPECT_EQ(static_cast<std::int64_t>(state.registers[6].value), -16);
  EXPECT_EQ(state.registers[3].location, kCTRDwarfRegisterUnused);
}

TEST_F(DwarfTest, StateStackDepthIsBoundedAndOverflowFailsCleanly) {
  InstructionRun full;
  std::vector<int> nested(kCTRDwarfStateStackDepth, 0x0a);
  nested.insert(nested.end(), kCTRDwarfStateStackDepth, 0x0b);
  {
    const std::size_t cie = AddCIE(full.bytes, 0, {CIE_DEFAULT_RULES});
    std::size_t fde = full.bytes.size();
    AddFDE(full.bytes, cie, 0x401000, 0x100, {});
    // The instructions are appended by hand and the length patched.
    for (const int op : nested) full.bytes.put(static_cast<std::uint8_t>(op));
    full.bytes.patch<std::uint32_t>(fde, static_cast<std::uint32_t>(full.bytes.size() - fde - 4));
    ASSERT_TRUE(CTRDwarfCFIRecordInitWithAddress(&full.record, full.bytes.addr(fde)));
  }
  bool ok = false;
  CTRDwarfState state = RunTo(full.record, 100, &ok);
  EXPECT_TRUE(ok) << "as deep as the stack holds";
  EXPECT_EQ(state.rememberedRowCount, 0u);

  InstructionRun over;
  {
    std::vector<int> deeper(kCTRDwarfStateStackDepth + 1, 0x0a);
    const std::size_t cie = AddCIE(over.bytes, 0, {CIE_DEFAULT_RULES});
    const std::size_t fde = over.bytes.size();
    AddFDE(over.bytes, cie, 0x401000, 0x100, {});
    for (const int op : deeper) over.bytes.put(static_cast<std::uint8_t>(op));
    over.bytes.patch<std::uint32_t>(fde, static_cast<std::uint32_t>(over.bytes.size() - fde - 4));
    ASSERT_TRUE(CTRDwarfCFIRecordInitWithAddress(&over.record, over.bytes.addr(fde)));
  }
  state = RunTo(over.record, 100, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(state.rememberedRowCount, kCTRDwarfStateStackDepth);
  EXPECT_NE(sdkLog().find("Error: DW_CFA_remember_state nested deeper than 8\n"),
            std::string::npos);
}

TEST_F(DwarfTest, RestoreReturnsARegisterToTheCIEsInitialRule) {
  InstructionRun run;
  Build(run, {
                 0x86, 0x02,        // rbp at cfa-16
                 0x09, 0x10, 0x00,  // rip in rax
                 0x83, 0x03,        // rbx at cfa-24
                 0x41, 0xc6,        // 1: rbp back to "unchanged"
                 0x41, 0x06, 0x10,  // 2: rip back to cfa-8 (extended form)
             });
  bool ok = false;
  CTRDwarfState state = RunTo(run.record, 1, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(state.registers[6].location, kCTRDwarfRegisterInCFA);
  EXPECT_EQ(state.registers[16].location, kCTRDwarfRegisterInRegister);
  state = RunTo(run.record, 100, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(state.registers[6].location, kCTRDwarfRegisterUnused);
  EXPECT_EQ(state.registers[16].location, kCTRDwarfRegisterInCFA);
  EXPECT_EQ(static_cast<std::int64_t>(state.registers[16].value), -8);
  EXPECT_EQ(state.registers[3].location, kCTRDwarfRegisterInCFA) << "untouched by the restores";

  // A CIE has no initial rules to go back to.
  InstructionRun inCIE;
  const std::size_t cie = AddCIE(inCIE.bytes, 0, {CIE_DEFAULT_RULES, 0xd0});
  const std::size_t fde = AddFDE(inCIE.bytes, cie, 0x401000, 0x100, {});
  ASSERT_TRUE(CTRDwarfCFIRecordInitWithAddress(&inCIE.record, inCIE.bytes.addr(fde)));
  RunTo(inCIE.record, 100, &ok);
  EXPECT_FALSE(ok);
  EXPECT_NE(sdkLog().find("Error: DW_CFA_restore without initial rules\n"), std::string::npos);
}

TEST_F(DwarfTest, GnuArgsSizeOperandIsSkipped) {
  InstructionRun run;
  // args_size 300 (two-byte operand), then cfa offset 32.
  Build(run, {0x2e, 0xac, 0x02, 0x0e, 0x20});
  bool ok = false;
  const CTRDwarfState state = RunTo(run.record, 100, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(state.cfaRegister, 7u);
  EXPECT_EQ(state.cfaRegisterOffset, 32);
}

// ---------------------------------------------------------------------------
// Expressions

std::uint64_t Evaluate(std::initializer_list<int> block, const CTRThreadState* regs,
                       std::uint64_t initial, bool* ok) {
  std::vector<std::uint8_t> bytes(block.begin(), block.end());
  std::uint64_t result = 0;
  *ok = CTRDwarfEvalulateExpression(bytes.data(), regs, initial, &result);
  return result;
}

TEST_F(DwarfTest, ExpressionMachineOperations) {
  CTRThreadState regs{};
  regs.rsp = 0x1000;
  regs.rbp = 0x2000;
  bool ok = false;
  EXPECT_EQ(Evaluate({0x03, 0x35, 0x37, 0x22}, &regs, 0, &ok), 12u);  // lit5 lit7 plus
  EXPECT_TRUE(ok);
  EXPECT_EQ(Evaluate({0x02, 0x77, 0x78}, &regs, 0, &ok), 0xff8u);  // breg7 -8
  EXPECT_TRUE(ok);
  EXPECT_EQ(Evaluate({0x02, 0x23, 0x10}, &regs, 0x30, &ok), 0x40u);  // plus_uconst 16
  EXPECT_EQ(Evaluate({0x03, 0x31, 0x32, 0x2e}, &regs, 0, &ok), 1u);  // 1 != 2
  EXPECT_EQ(Evaluate({0x02, 0x12, 0x2e}, &regs, 9, &ok), 0u);        // dup ne
  EXPECT_EQ(Evaluate({0x03, 0x33, 0x3f, 0x1a}, &regs, 0, &ok), 3u);  // 3 & 15
  EXPECT_EQ(Evaluate({0x03, 0x31, 0x32, 0x16}, &regs, 0, &ok), 1u);  // swap

  static const std::uint64_t memory = 0x1122334455667788ULL;
  const auto address = reinterpret_cast<std::uintptr_t>(&memory);
  EXPECT_EQ(Evaluate({0x01, 0x06}, &regs, address, &ok), memory);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Evaluate({0x02, 0x94, 0x04}, &regs, address, &ok), 0x55667788u);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Evaluate({0x02, 0x94, 0x01}, &regs, address, &ok), 0x88u);
  Evaluate({0x02, 0x94, 0x03}, &regs, address, &ok);
  EXPECT_FALSE(ok);
  // Unreadable addresses fail without faulting.
  Evaluate({0x01, 0x06}, &regs, 0x40, &ok);
  EXPECT_FALSE(ok);
  Evaluate({0x02, 0x94, 0x08}, &regs, 0x40, &ok);
  EXPECT_FALSE(ok);
}

TEST_F(DwarfTest, ExpressionFailures) {
  CTRThreadState regs{};
  bool ok = true;
  Evaluate({0x00}, &regs, 0, &ok);  // zero length
  EXPECT_FALSE(ok);
  Evaluate({0x01, 0xff}, &regs, 0, &ok);
  EXPECT_FALSE(ok);
  Evaluate({0x02, 0x81, 0x00}, &regs, 0, &ok);  // breg17
  EXPECT_FALSE(ok);
  const std::string log = sdkLog();
  EXPECT_NE(log.find("Error: DWARF expression length is zero\n"), std::string::npos);
  EXPECT_NE(log.find("Error: Unrecognized DWARF expression opcode 0xff\n"), std::string::npos);
  EXPECT_NE(log.find("Error: DW_OP_breg invalid register number\n"), std::string::npos);
  std::uint64_t result = 0;
  EXPECT_FALSE(CTRDwarfEvalulateExpression(reinterpret_cast<void*>(0x10), &regs, 0, &result));
}

TEST_F(DwarfTest, PoppingMoreThanWasPushedInvalidatesTheMachine) {
  const std::uint8_t block[] = {0x01, 0x22};  // plus with only the initial value
  CTRDwarfExpressionMachine machine;
  CTRThreadState regs{};
  ASSERT_TRUE(CTRDwarfExpressionMachineInit(&machine, block, &regs, 5));
  ASSERT_TRUE(CTRDwarfExpressionMachinePrepareForExecution(&machine));
  EXPECT_FALSE(CTRDwarfExpressionMachineExecuteNextOpcode(&machine));
  EXPECT_EQ(machine.stack.pointer, nullptr);
  EXPECT_TRUE(CTRDwarfExpressionMachineIsFinished(&machine));
  std::uint64_t result = 0;
  EXPECT_FALSE(CTRDwarfExpressionMachineGetResult(&machine, &result));
}

TEST_F(DwarfTest, StackHoldsAHundredValues) {
  CTRThreadState regs{};
  // The initial value plus 99 literals fit; one more overflows.
  std::vector<std::uint8_t> block = {99};
  block.insert(block.end(), 99, 0x31);
  std::uint64_t result = 0;
  EXPECT_TRUE(CTRDwarfEvalulateExpression(block.data(), &regs, 0, &result));
  EXPECT_EQ(result, 1u);
  block[0] = 100;
  block.push_back(0x31);
  EXPECT_FALSE(CTRDwarfEvalulateExpression(block.data(), &regs, 0, &result));
}

// ---------------------------------------------------------------------------
// One frame

// A function at 0x401000: push rbp (1 byte), then a body; rbp saved at
// CFA - 16, return address at CFA - 8.
struct FrameFixture {
  InstructionRun run;
  alignas(16) std::uint64_t stack[4] = {0x7777, 0x402468, 0, 0};
  CTRUnwindContext context{};

  void setUp(std::initializer_list<int> fdeInstructions, std::uint64_t pcOffset) {
    Build(run, fdeInstructions);
    CTRMachineContext mc{};
    mc.ss.rip = 0x401000 + pcOffset;
    mc.ss.rsp = reinterpret_cast<std::uintptr_t>(&stack[0]);
    mc.ss.rbp = 0x5555;
    CTRUnwindInit(&context, &mc);
  }
};

TEST_F(DwarfTest, ComputesTheCallersRegisters) {
  FrameFixture f;
  f.setUp({0x41, 0x0e, 0x10, 0x86, 0x02}, 5);
  ASSERT_TRUE(CTRDwarfUnwindComputeRegisters(&f.run.record, &f.context));
  const auto sp = reinterpret_cast<std::uintptr_t>(&f.stack[0]);
  EXPECT_EQ(CTRUnwindGetPC(&f.context), 0x402468u);
  EXPECT_EQ(CTRUnwindGetFramePointer(&f.context), 0x7777u);
  EXPECT_EQ(CTRUnwindGetStackPointer(&f.context), sp + 16);
}

TEST_F(DwarfTest, EpilogueInsideRememberedStateUnwindsOnBothSides) {
  // push rbp (1 byte) ... [4] remember; pop rbp; ret [6] restore_state: the
  // code after the early return has the body's rules again.
  const std::initializer_list<int> fde = {0x41, 0x0e, 0x10, 0x86, 0x02, 0x43, 0x0a,
                                          0x41, 0x0e, 0x08, 0xc6, 0x41, 0x0b};
  {
    // Between the pop and the ret: the return address is on top.
    FrameFixture f;
    f.setUp(fde, 6);
    ASSERT_TRUE(CTRDwarfUnwindComputeRegisters(&f.run.record, &f.context));
    EXPECT_EQ(CTRUnwindGetPC(&f.context), 0x7777u);
    EXPECT_EQ(CTRUnwindGetFramePointer(&f.context), 0x5555u);
    EXPECT_EQ(CTRUnwindGetStackPointer(&f.context), reinterpret_cast<std::uintptr_t>(&f.stack[1]));
  }
  {
    // After the restored state: rbp and the return address below the CFA.
    FrameFixture f;
    f.setUp(fde, 9);
    ASSERT_TRUE(CTRDwarfUnwindComputeRegisters(&f.run.record, &f.context));
    EXPECT_EQ(CTRUnwindGetPC(&f.context), 0x402468u);
    EXPECT_EQ(CTRUnwindGetFramePointer(&f.context), 0x7777u);
    EXPECT_EQ(CTRUnwindGetStackPointer(&f.context), reinterpret_cast<std::uintptr_t>(&f.stack[2]));
  }
}

TEST_F(DwarfTest, CFAGivenByAnExpression) {
  FrameFixture f;
  // def_cfa_expression "rsp + 16" at once; rbp at CFA - 16.
  f.setUp({0x0f, 0x02, 0x77, 0x10, 0x86, 0x02}, 5);
  ASSERT_TRUE(CTRDwarfUnwindComputeRegisters(&f.run.record, &f.context));
  EXPECT_EQ(CTRUnwindGetPC(&f.context), 0x402468u);
  EXPECT_EQ(CTRUnwindGetStackPointer(&f.context), reinterpret_cast<std::uintptr_t>(&f.stack[2]));
}

TEST_F(DwarfTest, RegisterCFADefinedAfterAnExpressionReplacesIt) {
  InstructionRun run;
  // def_cfa_expression "rsp + 64", then def_cfa rbp + 16.
  Build(run, {0x0f, 0x03, 0x77, 0xc0, 0x00, 0x0c, 0x06, 0x10});
  bool ok = false;
  const CTRDwarfState state = RunTo(run.record, 100, &ok);
  ASSERT_TRUE(ok);
  CTRThreadState regs{};
  regs.rsp = 0x7000;
  regs.rbp = 0x7100;
  std::uint64_t cfa = 0;
  ASSERT_TRUE(CTRDwarfGetCFA(&state, &regs, &cfa));
  EXPECT_EQ(cfa, 0x7110u);
}

TEST_F(DwarfTest, UnreadableSavedRegisterBecomesZeroAndTheFrameStillSucceeds) {
  FrameFixture f;
  f.setUp({}, 5);
  CTRDwarfState state{};
  state.cfaRegister = 7;
  state.cfaRegisterOffset = 8;
  state.registers[16] = {kCTRDwarfRegisterInCFA, static_cast<std::uint64_t>(-8)};
  const auto sp = reinterpret_cast<std::uintptr_t>(&f.stack[0]);
  const std::uint64_t cfa = sp + 8;
  // rbx "saved" at address 16: unreadable.
  state.registers[3] = {kCTRDwarfRegisterInCFA, 16 - cfa};
  f.context.registers.ss.rbx = 0x3333;
  const CTRThreadState before = f.context.registers.ss;
  ASSERT_TRUE(CTRDwarfUnwindAssignRegisters(&state, &before, cfa, &f.context));
  EXPECT_EQ(f.context.registers.ss.rbx, 0u);
  EXPECT_EQ(CTRUnwindGetPC(&f.context), 0x7777u);
  EXPECT_NE(sdkLog().find("Error: Unable to read CFA value\n"), std::string::npos);
}

TEST_F(DwarfTest, UnchangedStackPointerOrPCFailsTheFrame) {
  FrameFixture f;
  f.setUp({}, 5);
  const CTRThreadState before = f.context.registers.ss;
  CTRDwarfState state{};
  state.registers[16] = {kCTRDwarfRegisterInRegister, 0};  // rip = rax
  EXPECT_FALSE(CTRDwarfUnwindAssignRegisters(&state, &before, before.rsp, &f.context));
  state.registers[16] = {kCTRDwarfRegisterUnused, 0};
  EXPECT_FALSE(CTRDwarfUnwindAssignRegisters(&state, &before, before.rsp + 8, &f.context));
  EXPECT_EQ(f.context.registers.ss.rip, before.rip);
  EXPECT_EQ(f.context.registers.ss.rsp, before.rsp);
  const std::string log = sdkLog();
  EXPECT_NE(log.find("Error: Stack pointer hasn't changed\n"), std::string::npos);
  EXPECT_NE(log.find("Error: PC hasn't changed\n"), std::string::npos);
}

TEST_F(DwarfTest, ProgramCounterBeforeTheFDEFails) {
  FrameFixture f;
  f.setUp({}, 0);
  f.context.registers.ss.rip = 0x400fff;
  EXPECT_FALSE(CTRDwarfUnwindComputeRegisters(&f.run.record, &f.context));
  EXPECT_NE(sdkLog().find("Error: The FDE pcOffset value cannot be negative\n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// .eh_frame_hdr

TEST_F(DwarfTest, FindsTheFDEThroughTheEhFrameHdrTable) {
  Bytes b;
  // Header: version 1, eh_frame_ptr pcrel|sdata4, count udata4, table datarel|sdata4.
  b.u8({1, 0x1b, 0x03, 0x3b}).put<std::int32_t>(0).put<std::uint32_t>(2);
  const std::size_t table = b.size();
  b.put<std::int32_t>(0).put<std::int32_t>(0).put<std::int32_t>(0).put<std::int32_t>(0);
  const std::size_t cie = AddCIE(b, 0, {CIE_DEFAULT_RULES});
  // Two functions inside this buffer (their code is never read).
  const std::uint64_t f1 = b.addr(0) + 0x1000;
  const std::uint64_t f2 = b.addr(0) + 0x2000;
  const std::size_t fde1 = AddFDE(b, cie, f1, 0x100, {0x41, 0x0e, 0x10});
  const std::size_t fde2 = AddFDE(b, cie, f2, 0x80, {0x41, 0x0e, 0x10});
  b.patch<std::int32_t>(table + 0, 0x1000);
  b.patch<std::int32_t>(table + 4, static_cast<std::int32_t>(fde1));
  b.patch<std::int32_t>(table + 8, 0x2000);
  b.patch<std::int32_t>(table + 12, static_cast<std::int32_t>(fde2));

  std::uintptr_t found = 0;
  EXPECT_FALSE(CTRDwarfEhFrameHdrFindFDE(b.addr(0), f1 - 1, &found));
  ASSERT_TRUE(CTRDwarfEhFrameHdrFindFDE(b.addr(0), f1, &found));
  EXPECT_EQ(found, b.addr(fde1));
  ASSERT_TRUE(CTRDwarfEhFrameHdrFindFDE(b.addr(0), f2 - 1, &found));
  EXPECT_EQ(found, b.addr(fde1));
  ASSERT_TRUE(CTRDwarfEhFrameHdrFindFDE(b.addr(0), f2 + 0x500, &found));
  EXPECT_EQ(found, b.addr(fde2));

  // A pc in the gap after f1's range has no call-frame information.
  alignas(16) std::uint64_t stack[2] = {0x9999, 0x402468};
  CTRMachineContext mc{};
  mc.ss.rip = f1 + 0x180;
  mc.ss.rsp = reinterpret_cast<std::uintptr_t>(&stack[0]);
  CTRUnwindContext context;
  CTRUnwindInit(&context, &mc);
  EXPECT_FALSE(CTRDwarfUnwindWithEhFrameHdr(b.addr(0), &context));
  // Inside f1, after its first instruction: CFA = rsp + 16.
  mc.ss.rip = f1 + 4;
  alignas(16) std::uint64_t frame[2] = {0x1111, 0x402468};
  mc.ss.rsp = reinterpret_cast<std::uintptr_t>(&frame[0]);
  CTRUnwindInit(&context, &mc);
  ASSERT_TRUE(CTRDwarfUnwindWithEhFrameHdr(b.addr(0), &context));
  EXPECT_EQ(CTRUnwindGetPC(&context), 0x402468u);
  EXPECT_EQ(CTRUnwindGetStackPointer(&context), reinterpret_cast<std::uintptr_t>(&frame[2]));

  // Not a version-1 header.
  b.patch<std::uint8_t>(0, 2);
  EXPECT_FALSE(CTRDwarfEhFrameHdrFindFDE(b.addr(0), f1, &found));
}

}  // namespace
}  // namespace sdk
