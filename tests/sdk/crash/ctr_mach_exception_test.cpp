#include "sdk/crash/capture/ctr_mach_exception.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <string>

#include "crash_context_fixture.h"

namespace sdk {
namespace {

TEST(MachExceptionMaskTest, MaskBitsOfSignals) {
  EXPECT_EQ(CTRMachExceptionMaskForSignal(SIGILL), 0x4u);
  EXPECT_EQ(CTRMachExceptionMaskForSignal(SIGTRAP), 0x40u);
  EXPECT_EQ(CTRMachExceptionMaskForSignal(SIGABRT), 0x400u);
  EXPECT_EQ(CTRMachExceptionMaskForSignal(SIGFPE), 0x8u);
  EXPECT_EQ(CTRMachExceptionMaskForSignal(SIGBUS), 0x2u);
  EXPECT_EQ(CTRMachExceptionMaskForSignal(SIGSEGV), 0x2u);
  EXPECT_EQ(CTRMachExceptionMaskForSignal(SIGSYS), 0x400u);
  EXPECT_EQ(CTRMachExceptionMaskForSignal(SIGUSR1), 0u);
  EXPECT_EQ(CTRMachExceptionMaskForSignal(0), 0u);
}

TEST(MachExceptionMaskTest, RegisteredMaskByOSVersionAndExclusions) {
  EXPECT_EQ(CTRMachExceptionMaskFor(1090, 0), 0x104Eu);
  EXPECT_EQ(CTRMachExceptionMaskFor(1070, 0), 0x104Eu);
  EXPECT_EQ(CTRMachExceptionMaskFor(1060, 0), 0x4Eu);
  EXPECT_EQ(CTRMachExceptionMaskFor(0, 0), 0x4Eu);
  EXPECT_EQ(CTRMachExceptionMaskFor(1090, 0x2), 0x104Cu);
  EXPECT_EQ(CTRMachExceptionMaskFor(0, 0x2), 0x4Cu);
}

TEST(MachExceptionNameTest, NameTable) {
  const char* name = nullptr;
  const char* code = nullptr;
  CTRMachExceptionNameLookup(1, 1, &name, &code);
  EXPECT_STREQ(name, "EXC_BAD_ACCESS");
  EXPECT_STREQ(code, "KERN_INVALID_ADDRESS");
  CTRMachExceptionNameLookup(1, 2, &name, &code);
  EXPECT_STREQ(code, "KERN_PROTECTION_FAILURE");
  CTRMachExceptionNameLookup(1, 3, &name, &code);
  EXPECT_EQ(code, nullptr);
  CTRMachExceptionNameLookup(2, 77, &name, &code);
  EXPECT_STREQ(name, "EXC_BAD_INSTRUCTION");
  EXPECT_STREQ(code, "EXC_I386_INVOP");
  CTRMachExceptionNameLookup(3, 1, &name, &code);
  EXPECT_STREQ(name, "EXC_ARITHMETIC");
  EXPECT_STREQ(code, "EXC_I386_DIV");
  CTRMachExceptionNameLookup(3, 8, &name, &code);
  EXPECT_STREQ(code, "EXC_I386_SSEEXTERR");
  CTRMachExceptionNameLookup(3, 9, &name, &code);
  EXPECT_EQ(code, nullptr);
  CTRMachExceptionNameLookup(6, 0, &name, &code);
  EXPECT_STREQ(name, "EXC_BREAKPOINT");
  EXPECT_STREQ(code, "EXC_I386_DIVERR");
  CTRMachExceptionNameLookup(6, 17, &name, &code);
  EXPECT_STREQ(code, "EXC_I386_ALIGNFLT");
  CTRMachExceptionNameLookup(6, 33, &name, &code);
  EXPECT_STREQ(code, "EXC_I386_ENDPERR");
  for (int gap : {8, 15, 18, 31, 34, -1}) {
    CTRMachExceptionNameLookup(6, gap, &name, &code);
    EXPECT_EQ(code, nullptr) << gap;
  }
  CTRMachExceptionNameLookup(12, 1, &name, &code);
  EXPECT_STREQ(name, "EXC_GUARD");
  EXPECT_EQ(code, nullptr);
  CTRMachExceptionNameLookup(5, 1, &name, &code);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(code, nullptr);
}

class MachExceptionInitTest : public testing::CrashContextTest {};

TEST_F(MachExceptionInitTest, InitRemovesAnOldRecordAndInstallsNothing) {
  const std::string path = root().file("mach_exception.clsrecord");
  std::ofstream(path) << "{\"mach_exception\":{}}\n";
  CTRMachState state{};
  state.path = path.c_str();
  CTRMachExceptionInit(&state, 0x2);
  EXPECT_FALSE(std::ifstream(path).good());
  EXPECT_EQ(state.mask & 0x2u, 0u);
  EXPECT_EQ(state.mask & 0x4Cu, 0x4Cu);
  EXPECT_EQ(state.port, 0u);
  EXPECT_EQ(state.serverThread, nullptr);
  EXPECT_EQ(state.savedCount, 0u);
  CTRMachExceptionCheckHandlers();  // nothing to report, nothing printed
}

}  // namespace
}  // namespace sdk
