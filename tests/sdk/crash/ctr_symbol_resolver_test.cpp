// Symbol resolution: images of a binary-images record, the move of an
// address to the image loaded now, symbol names from dladdr and the image's
// own symbol table.
#include "sdk/crash/ctr_symbol_resolver.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "crash_context_fixture.h"
#include "platform/system/executable_image.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/crash/ctr_symbol_table.h"

namespace sdk {

// A function of this test program with a name the tests look for.
__attribute__((noinline)) int SymexKnownFunction(int value) {
  asm volatile("" ::: "memory");
  return value * 3 + 1;
}

namespace {

using testing::CrashContextTest;

std::uintptr_t address(int (*function)(int)) { return reinterpret_cast<std::uintptr_t>(function); }

// The run-time address of this program's ELF header, the image's "base".
std::uintptr_t programBase() {
  Dl_info info{};
  EXPECT_NE(::dladdr(reinterpret_cast<void*>(address(&SymexKnownFunction)), &info), 0);
  return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

// The program's UUID as the binary image table writes it.
std::string programUUID() {
  auto image = platform::ExecutableImage::running();
  std::string hex;
  if (!image) return hex;
  const auto& id = image->buildID();
  for (std::size_t i = 0; i < 16; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", i < id.size() ? id[i] : 0);
    hex += digits;
  }
  return hex;
}

struct ImageLine {
  const char* section;
  const char* path;
  std::string uuid;
  std::uint64_t base;
  std::uint64_t size;
};

void writeImages(const std::string& path, const std::vector<ImageLine>& lines) {
  CTRFile file{};
  ASSERT_TRUE(CTRFileInitWithPathMode(&file, path.c_str(), false, false));
  for (const ImageLine& line : lines) {
    CTRFileBeginSection(&file, line.section);
    CTRFileBeginObject(&file);
    CTRFileWriteStringField(&file, "path", line.path);
    CTRFileWriteStringField(&file, "uuid", line.uuid.c_str());
    CTRFileWriteUnsignedField(&file, "base", line.base);
    CTRFileWriteUnsignedField(&file, "size", line.size);
    CTRFileEndObject(&file);
    CTRFileEndSection(&file);
  }
  CTRFileClose(&file);
}

// A crashed process that had this program loaded at another base.
constexpr std::uint64_t kCrashedBase = 0x7000000000;
constexpr std::uint64_t kImageSize = 0x40000000;

class CTRSymbolResolverTest : public CrashContextTest {
 protected:
  std::string writeProgramImages() {
    const std::string path = root().file("binary_images.clsrecord");
    writeImages(
        path, {{"load", "/opt/varnel/bin/varnel-client", programUUID(), kCrashedBase, kImageSize}});
    return path;
  }
  std::uint64_t crashedAddress(std::uintptr_t now) { return kCrashedBase + (now - programBase()); }
};

TEST_F(CTRSymbolResolverTest, LoadsOnlyLoadLinesWithBaseAndSizeSortedByBase) {
  const std::string path = root().file("images.clsrecord");
  writeImages(path, {{"load", "/b", "bb", 0x3000, 0x100},
                     {"unload", "/c", "cc", 0x1000, 0x100},
                     {"load", "/a", "aa", 0x1000, 0x100}});
  {
    // A load line without a size and one with a null base are left out.
    CTRFile file{};
    ASSERT_TRUE(CTRFileInit(&file, path.c_str(), false));
    CTRFileBeginSection(&file, "load");
    CTRFileBeginObject(&file);
    CTRFileWriteUnsignedField(&file, "base", 0x500);
    CTRFileEndObject(&file);
    CTRFileEndSection(&file);
    CTRFileBeginSection(&file, "load");
    CTRFileBeginObject(&file);
    CTRFileWriteStringField(&file, "base", nullptr);
    CTRFileWriteUnsignedField(&file, "size", 4);
    CTRFileEndObject(&file);
    CTRFileEndSection(&file);
    CTRFileClose(&file);
  }
  CTRSymbolResolver resolver;
  ASSERT_TRUE(resolver.loadBinaryImagesFromFile(path));
  ASSERT_EQ(resolver.binaryImages().size(), 2u);
  EXPECT_EQ(resolver.binaryImages()[0]["path"].asString(), "/a");
  EXPECT_EQ(resolver.binaryImages()[1]["path"].asString(), "/b");

  EXPECT_EQ(resolver.loadedBinaryImageForPC(0x1000)["path"].asString(), "/a");
  EXPECT_EQ(resolver.loadedBinaryImageForPC(0x10ff)["path"].asString(), "/a");
  EXPECT_TRUE(resolver.loadedBinaryImageForPC(0x1100).isNone());
  EXPECT_TRUE(resolver.loadedBinaryImageForPC(0xfff).isNone());
  EXPECT_EQ(resolver.loadedBinaryImageForPC(0x3050)["path"].asString(), "/b");
}

TEST_F(CTRSymbolResolverTest, UnreadableOrEmptyPathFails) {
  CTRSymbolResolver resolver;
  EXPECT_FALSE(resolver.loadBinaryImagesFromFile(""));
  EXPECT_FALSE(resolver.loadBinaryImagesFromFile(root().file("missing.clsrecord")));
  // A readable file without any load line still loads (nothing to resolve).
  const std::string path = root().file("unloads.clsrecord");
  writeImages(path, {{"unload", "/c", "cc", 0x1000, 0x100}});
  EXPECT_TRUE(resolver.loadBinaryImagesFromFile(path));
  EXPECT_TRUE(resolver.binaryImages().empty());
}

TEST_F(CTRSymbolResolverTest, ResolvesAnAddressOfTheCrashedProcessInTheImageLoadedNow) {
  if (programUUID().empty()) GTEST_SKIP() << "test program has no build-id";
  CTRSymbolResolver resolver;
  ASSERT_TRUE(resolver.loadBinaryImagesFromFile(writeProgramImages()));
  auto frame =
      CTRStackFrame::stackFrameWithAddress(crashedAddress(address(&SymexKnownFunction) + 4));
  ASSERT_TRUE(resolver.updateStackFrame(*frame));
  ASSERT_TRUE(frame->symbol().has_value());
  EXPECT_NE(frame->symbol()->find("SymexKnownFunction"), std::string::npos) << *frame->symbol();
  EXPECT_EQ(frame->rawSymbol(), frame->symbol());
  EXPECT_EQ(frame->offset(), 4u);
  EXPECT_EQ(frame->library(), std::optional<std::string>("varnel-client"));
  // The frame keeps the crashed process's address.
  EXPECT_EQ(frame->address(), crashedAddress(address(&SymexKnownFunction) + 4));

  auto made = resolver.frameForAddress(crashedAddress(address(&SymexKnownFunction) + 1));
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->symbol(), frame->symbol());
}

TEST_F(CTRSymbolResolverTest, ReturnAddressAtASymbolStartBelongsToTheSymbolBefore) {
  if (programUUID().empty()) GTEST_SKIP() << "test program has no build-id";
  CTRSymbolResolver resolver;
  ASSERT_TRUE(resolver.loadBinaryImagesFromFile(writeProgramImages()));
  auto atStart = CTRStackFrame::stackFrameWithAddress(crashedAddress(address(&SymexKnownFunction)));
  auto before =
      CTRStackFrame::stackFrameWithAddress(crashedAddress(address(&SymexKnownFunction) - 2));
  ASSERT_TRUE(resolver.updateStackFrame(*atStart));
  ASSERT_TRUE(resolver.updateStackFrame(*before));
  EXPECT_EQ(atStart->symbol(), before->symbol());
  EXPECT_EQ(atStart->offset(), before->offset());
  if (atStart->symbol()) {
    EXPECT_EQ(atStart->symbol()->find("SymexKnownFunction"), std::string::npos);
  }
}

// A thread's frame 0 is the faulting instruction itself: a fault at a
// function's first byte names that function, not the one before it.
TEST_F(CTRSymbolResolverTest, AFirstFrameAtASymbolStartNamesThatSymbol) {
  if (programUUID().empty()) GTEST_SKIP() << "test program has no build-id";
  CTRSymbolResolver resolver;
  ASSERT_TRUE(resolver.loadBinaryImagesFromFile(writeProgramImages()));
  auto entry = CTRStackFrame::stackFrameWithAddress(crashedAddress(address(&SymexKnownFunction)));
  ASSERT_TRUE(resolver.updateStackFrame(*entry, false));
  ASSERT_TRUE(entry->symbol().has_value());
  EXPECT_NE(entry->symbol()->find("SymexKnownFunction"), std::string::npos) << *entry->symbol();
  EXPECT_EQ(entry->offset(), 0u);
}

TEST_F(CTRSymbolResolverTest, FramesThatCannotBeResolvedStayAsTheyAre) {
  const std::string path = root().file("binary_images.clsrecord");
  // Another build of the program (a UUID that no loaded image has).
  writeImages(path, {{"load", "/opt/varnel/bin/varnel-client", std::string(32, 'e'), kCrashedBase,
                      kImageSize}});
  CTRSymbolResolver resolver;
  ASSERT_TRUE(resolver.loadBinaryImagesFromFile(path));
  for (std::uint64_t pc :
       {std::uint64_t{0}, kCrashedBase + 0x1000, kCrashedBase - 1, kCrashedBase + kImageSize}) {
    auto frame = CTRStackFrame::stackFrameWithAddress(pc);
    EXPECT_FALSE(resolver.updateStackFrame(*frame)) << pc;
    EXPECT_FALSE(frame->symbol().has_value());
    EXPECT_FALSE(frame->library().has_value());
    EXPECT_EQ(frame->offset(), 0u);
    EXPECT_EQ(resolver.frameForAddress(pc), nullptr);
  }
}

TEST(CTRSymbolTableTest, ReadsTheFunctionsOfThisProgram) {
  auto table = CTRSymbolTable::readFile("/proc/self/exe");
  ASSERT_FALSE(table->empty()) << "test program is stripped";
  Dl_info info{};
  ASSERT_NE(::dladdr(reinterpret_cast<void*>(address(&SymexKnownFunction)), &info), 0);
  const std::uint64_t bias =
      table->isFixedAddress() ? 0 : reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  auto symbol = table->symbolForAddress(address(&SymexKnownFunction) - bias + 2);
  ASSERT_TRUE(symbol.has_value());
  EXPECT_NE(symbol->name.find("SymexKnownFunction"), std::string::npos);
  EXPECT_EQ(symbol->address + bias, address(&SymexKnownFunction));
  EXPECT_FALSE(table->symbolForAddress(0).has_value());
}

TEST(CTRSymbolTableTest, DamagedFilesGiveAnEmptyTable) {
  varnel::testing::TempRoot root;
  const std::string path = root.file("damaged");
  // The first bytes of this program's file: a valid ELF header whose
  // section table lies beyond the end.
  std::string bytes;
  {
    std::FILE* in = std::fopen("/proc/self/exe", "rb");
    ASSERT_NE(in, nullptr);
    bytes.resize(4096);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), in));
    std::fclose(in);
  }
  std::FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fclose(out);
  EXPECT_TRUE(CTRSymbolTable::readFile(path)->empty());
  EXPECT_TRUE(CTRSymbolTable::readFile(root.file("missing"))->empty());
  EXPECT_TRUE(CTRSymbolTable::readFile(root.path())->empty());
}

}  // namespace
}  // namespace sdk
