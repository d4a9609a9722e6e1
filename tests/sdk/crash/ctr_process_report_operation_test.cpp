// Report symbolication end to end: a report directory with a binary-images
// record and crash record files written as crash capture writes them, and
// the ".symbolicated" files that the operation writes next to them.
#include "sdk/crash/ctr_process_report_operation.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "crash_context_fixture.h"
#include "platform/system/executable_image.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/crash/ctr_thread_array_operation.h"
#include "sdk/platform/bcn_console.h"

extern "C" __attribute__((noinline)) int SymexPlainFunction(int value) {
  asm volatile("" ::: "memory");
  return value + 7;
}

namespace sdk {

// Long enough that the offsets used below stay inside it in optimised builds.
__attribute__((noinline)) int SymexReportFunction(int value) {
  volatile int acc = value;
  for (int i = 0; i < 4; ++i) acc = acc * 5 + i;
  return acc;
}

namespace {

using testing::CrashContextTest;

constexpr std::uint64_t kCrashedBase = 0x6000000000;

std::uintptr_t programBase() {
  Dl_info info{};
  EXPECT_NE(::dladdr(reinterpret_cast<void*>(&SymexReportFunction), &info), 0);
  return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

std::uint64_t crashed(const void* now, std::uint64_t delta) {
  return kCrashedBase + (reinterpret_cast<std::uintptr_t>(now) + delta - programBase());
}

std::string programUUID() {
  auto image = platform::ExecutableImage::running();
  std::string hex;
  if (!image || image->buildID().empty()) return hex;
  for (std::size_t i = 0; i < 16; ++i) {
    char digits[3];
    const auto& id = image->buildID();
    std::snprintf(digits, sizeof digits, "%02x", i < id.size() ? id[i] : 0);
    hex += digits;
  }
  return hex;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

class CTRProcessReportOperationTest : public CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    directory_ = root().file("report");
    ::mkdir(directory_.c_str(), 0700);
    report_ = CTRInternalReport::reportWithPath(directory_, "0123456789abcdef0123456789abcdef");
    ASSERT_NE(report_, nullptr);
  }

  void writeBinaryImages() {
    CTRFile file{};
    ASSERT_TRUE(CTRFileInitWithPathMode(&file, report_->binaryImagePath().c_str(), false, false));
    CTRFileBeginSection(&file, "load");
    CTRFileBeginObject(&file);
    CTRFileWriteStringField(&file, "path", "/usr/bin/varnel-client");
    CTRFileWriteStringField(&file, "uuid", programUUID().c_str());
    CTRFileWriteUnsignedField(&file, "base", kCrashedBase);
    CTRFileWriteUnsignedField(&file, "size", 0x40000000);
    CTRFileEndObject(&file);
    CTRFileEndSection(&file);
    CTRFileClose(&file);
  }

  // A crash record: the capture's own line, then "threads" with one stack
  // trace per thread.
  void writeCrashFile(const std::string& name,
                      const std::vector<std::vector<std::uint64_t>>& threads) {
    CTRFile file{};
    ASSERT_TRUE(
        CTRFileInitWithPathMode(&file, report_->pathForContentFile(name).c_str(), false, false));
    CTRFileBeginSection(&file, "signal");
    CTRFileBeginObject(&file);
    CTRFileWriteUnsignedField(&file, "number", 11);
    CTRFileEndObject(&file);
    CTRFileEndSection(&file);
    CTRFileBeginSection(&file, "threads");
    CTRFileBeginArray(&file);
    for (std::size_t t = 0; t < threads.size(); ++t) {
      CTRFileBeginObject(&file);
      CTRFileWriteKey(&file, "registers");
      CTRFileBeginObject(&file);
      CTRFileWriteUnsignedField(&file, "rip", threads[t].empty() ? 0 : threads[t][0]);
      CTRFileEndObject(&file);
      CTRFileWriteKey(&file, "stacktrace");
      CTRFileBeginArray(&file);
      for (std::uint64_t pc : threads[t]) CTRFileAppendUnsigned(&file, pc);
      CTRFileEndArray(&file);
      if (t == 0) CTRFileWriteBoolField(&file, "crashed", true);
      CTRFileEndObject(&file);
    }
    CTRFileEndArray(&file);
    CTRFileEndSection(&file);
    CTRFileClose(&file);
  }

  platform::Value symbolicatedThreads(const std::string& crashFile) {
    const platform::Value sections = CTRFileReadSections(
        (report_->pathForContentFile(crashFile) + ".symbolicated").c_str(), false);
    EXPECT_EQ(sections.count(), 1u);
    return sections[0]["threads"];
  }

  std::string directory_;
  std::shared_ptr<CTRInternalReport> report_;
};

TEST_F(CTRProcessReportOperationTest, WritesSymbolicatedFramesNextToEachCrashFile) {
  if (programUUID().empty()) GTEST_SKIP() << "test program has no build-id";
  writeBinaryImages();
  writeCrashFile(kCTRSignalFile, {{crashed(reinterpret_cast<void*>(&SymexReportFunction), 3), 0x10,
                                   crashed(reinterpret_cast<void*>(&SymexPlainFunction), 1)},
                                  {},
                                  {crashed(reinterpret_cast<void*>(&SymexReportFunction), 6)}});
  auto operation = CTRProcessReportOperation::create(report_, CTRSymbolResolver::create());
  EXPECT_EQ(operation->binaryImagePath(), directory_ + "/binary_images.clsrecord");
  operation->start();
  ASSERT_TRUE(operation->isFinished());

  const platform::Value threads = symbolicatedThreads(kCTRSignalFile);
  ASSERT_EQ(threads.count(), 3u);
  ASSERT_EQ(threads[0].count(), 3u);
  EXPECT_EQ(threads[1].count(), 0u);
  ASSERT_EQ(threads[2].count(), 1u);

  const platform::Value known = threads[0][0];
  EXPECT_EQ(known["symbol"].asString(), "sdk::SymexReportFunction(int)");
  EXPECT_EQ(known["raw_symbol"].asString(), "_ZN3sdk19SymexReportFunctionEi");
  EXPECT_EQ(known["offset"].asUInt64(), 3u);
  EXPECT_EQ(known["library"].asString(), "varnel-client");
  EXPECT_TRUE(known["address"].isNone());  // no addresses in the output

  // Outside every image: written with nulls and offset 0.
  const platform::Value unknown = threads[0][1];
  EXPECT_TRUE(unknown["symbol"].isNull());
  EXPECT_TRUE(unknown["raw_symbol"].isNull());
  EXPECT_TRUE(unknown["library"].isNull());
  EXPECT_EQ(unknown["offset"].asUInt64(), 0u);

  // A name that demangling leaves alone carries no "raw_symbol".
  const platform::Value plain = threads[0][2];
  EXPECT_EQ(plain["symbol"].asString(), "SymexPlainFunction");
  EXPECT_TRUE(plain["raw_symbol"].isNone());
  EXPECT_EQ(plain["offset"].asUInt64(), 1u);

  EXPECT_EQ(threads[2][0]["offset"].asUInt64(), 6u);

  // The other crash files do not exist and get no symbolicated file.
  EXPECT_FALSE(exists(report_->pathForContentFile(kCTRExceptionFile) + ".symbolicated"));
  EXPECT_FALSE(exists(report_->pathForContentFile(kCTRMachExceptionFile) + ".symbolicated"));
}

TEST_F(CTRProcessReportOperationTest, WithoutBinaryImagesNothingIsSymbolicated) {
  writeCrashFile(kCTRSignalFile, {{0x1000, 0x2000}});
  CTRProcessReportOperation::create(report_, CTRSymbolResolver::create())->start();
  EXPECT_FALSE(exists(report_->pathForContentFile(kCTRSignalFile) + ".symbolicated"));
}

TEST_F(CTRProcessReportOperationTest, FilesWithoutStackTracesAreSkipped) {
  writeBinaryImages();
  auto operation = CTRProcessReportOperation::create(report_, CTRSymbolResolver::create());
  // A crash file whose threads hold no addresses, one with no threads line,
  // and one that is missing.
  writeCrashFile(kCTRSignalFile, {{}, {}});
  {
    CTRFile file{};
    const std::string path = report_->pathForContentFile(kCTRExceptionFile);
    ASSERT_TRUE(CTRFileInitWithPathMode(&file, path.c_str(), false, false));
    CTRFileBeginSection(&file, "exception");
    CTRFileBeginObject(&file);
    CTRFileWriteStringField(&file, "type", "c++");
    CTRFileEndObject(&file);
    CTRFileEndSection(&file);
    CTRFileClose(&file);
  }
  EXPECT_FALSE(operation->threadArrayFromFile(report_->pathForContentFile(kCTRSignalFile)));
  EXPECT_FALSE(operation->threadArrayFromFile(report_->pathForContentFile(kCTRExceptionFile)));
  EXPECT_FALSE(operation->symbolicateFile(report_->pathForContentFile(kCTRMachExceptionFile),
                                          operation->symbolResolver()));
  operation->start();
  for (const char* name : {kCTRSignalFile, kCTRExceptionFile, kCTRMachExceptionFile}) {
    EXPECT_FALSE(exists(report_->pathForContentFile(name) + ".symbolicated")) << name;
  }
}

TEST_F(CTRProcessReportOperationTest, ThreadArrayKeepsThreadOrderAndSkipsNonNumbers) {
  const std::string path = report_->pathForContentFile(kCTRSignalFile);
  std::FILE* out = std::fopen(path.c_str(), "w");
  ASSERT_NE(out, nullptr);
  std::fputs("{\"threads\":[{\"stacktrace\":[1,\"x\",2]},7,{\"stacktrace\":[3]}]}\n", out);
  std::fputs("{\"threads\":[{\"stacktrace\":[99]}]}\n", out);
  std::fclose(out);
  CTRProcessReportOperation operation(report_, CTRSymbolResolver::create());
  auto threads = operation.threadArrayFromFile(path);
  ASSERT_TRUE(threads.has_value());
  ASSERT_EQ(threads->size(), 3u);
  ASSERT_EQ((*threads)[0].size(), 2u);
  EXPECT_EQ((*threads)[0][1]->address(), 2u);
  EXPECT_TRUE((*threads)[1].empty());
  EXPECT_EQ((*threads)[2][0]->address(), 3u);
}

TEST_F(CTRProcessReportOperationTest, SerializedNamesSurviveQuotesAndControlCharacters) {
  auto frame = CTRStackFrame::stackFrame();
  frame->setSymbol(std::string("operator\"\" _km(unsigned long long)\t\\"));
  frame->setRawSymbol(std::string("_Zli3_kmy"));
  frame->setLibrary(std::string("lib\"x\".so"));
  frame->setOffset(9);
  const std::string path = root().file("out.symbolicated");
  CTRSerializeSymbolicatedFramesOperation::create({{frame}}, path)->start();
  const platform::Value sections = CTRFileReadSections(path.c_str(), false);
  ASSERT_EQ(sections.count(), 1u);
  const platform::Value written = sections[0]["threads"][0][0];
  EXPECT_EQ(written["symbol"].asString(), *frame->symbol());
  EXPECT_EQ(written["raw_symbol"].asString(), "_Zli3_kmy");
  EXPECT_EQ(written["library"].asString(), "lib\"x\".so");
  EXPECT_EQ(written["offset"].asUInt64(), 9u);
}

TEST_F(CTRProcessReportOperationTest, UnwritableOutputIsReported) {
  sdk::BCNConsoleCapture console;
  CTRSerializeSymbolicatedFramesOperation::create({{CTRStackFrame::stackFrame()}},
                                                  root().file("no/such/dir/out"))
      ->start();
  EXPECT_TRUE(console.contains("[Crashtrail:Crash:Symbolication] Failed to create output file"));
}

}  // namespace
}  // namespace sdk
