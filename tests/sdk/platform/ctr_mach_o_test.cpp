#include "sdk/platform/ctr_mach_o.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/system/executable_image.h"
#include "platform/system/property_list.h"
#include "sdk/platform/ctr_code_mapping.h"
#include "sdk/platform/ctr_d_sym.h"
#include "sdk/platform/ctr_mach_o_binary.h"
#include "sdk/platform/ctr_mach_o_slice.h"
#include "support/temp_root.h"

namespace sdk {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Builds small Mach-O images byte by byte, in host order (big-endian where
// the fat format says so).
struct Image {
  Bytes bytes;

  void u32(std::uint32_t v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    bytes.insert(bytes.end(), p, p + 4);
  }
  void u64(std::uint64_t v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    bytes.insert(bytes.end(), p, p + 8);
  }
  void be32(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
      bytes.push_back(static_cast<std::uint8_t>(v >> shift));
  }
  void name16(const char* s) {
    char b[16] = {};
    std::memcpy(b, s, std::min<std::size_t>(std::strlen(s), 16));
    bytes.insert(bytes.end(), b, b + 16);
  }
  void append(const Bytes& other) { bytes.insert(bytes.end(), other.begin(), other.end()); }
};

// One load command's bytes.
Bytes uuidCommand(const std::uint8_t (&uuid)[16]) {
  Image c;
  c.u32(kCTRMachOLoadCommandUUID);
  c.u32(24);
  c.bytes.insert(c.bytes.end(), uuid, uuid + 16);
  return c.bytes;
}

Bytes dylibCommand(const std::string& name, std::uint32_t type = kCTRMachOLoadCommandLoadDylib) {
  Image c;
  const std::uint32_t size = static_cast<std::uint32_t>((24 + name.size() + 1 + 7) & ~7u);
  c.u32(type);
  c.u32(size);
  c.u32(24);
  c.u32(0);
  c.u32(0);
  c.u32(0);
  c.bytes.insert(c.bytes.end(), name.begin(), name.end());
  c.bytes.resize(size, 0);
  return c.bytes;
}

Bytes versionMinCommand(std::uint32_t type, std::uint32_t version, std::uint32_t sdk) {
  Image c;
  c.u32(type);
  c.u32(16);
  c.u32(version);
  c.u32(sdk);
  return c.bytes;
}

struct SectionLayout {
  const char* name;
  std::uint64_t address, size;
  std::uint32_t offset;
};

Bytes segment64(const char* name, std::uint64_t vmaddr, std::uint64_t vmsize,
                const std::vector<SectionLayout>& sections) {
  Image c;
  c.u32(kCTRMachOLoadCommandSegment64);
  c.u32(static_cast<std::uint32_t>(72 + 80 * sections.size()));
  c.name16(name);
  c.u64(vmaddr);
  c.u64(vmsize);
  c.u64(0);
  c.u64(0);
  c.u32(5);
  c.u32(5);
  c.u32(static_cast<std::uint32_t>(sections.size()));
  c.u32(0);
  for (const auto& s : sections) {
    c.name16(s.name);
    c.name16(name);
    c.u64(s.address);
    c.u64(s.size);
    c.u32(s.offset);
    for (int i = 0; i < 7; ++i) c.u32(0);
  }
  return c.bytes;
}

Bytes segment32(const char* name, std::uint32_t vmaddr, std::uint32_t vmsize,
                const std::vector<SectionLayout>& sections) {
  Image c;
  c.u32(kCTRMachOLoadCommandSegment);
  c.u32(static_cast<std::uint32_t>(56 + 68 * sections.size()));
  c.name16(name);
  c.u32(vmaddr);
  c.u32(vmsize);
  c.u32(0);
  c.u32(0);
  c.u32(5);
  c.u32(5);
  c.u32(static_cast<std::uint32_t>(sections.size()));
  c.u32(0);
  for (const auto& s : sections) {
    c.name16(s.name);
    c.name16(name);
    c.u32(static_cast<std::uint32_t>(s.address));
    c.u32(static_cast<std::uint32_t>(s.size));
    c.u32(s.offset);
    for (int i = 0; i < 6; ++i) c.u32(0);
  }
  return c.bytes;
}

// A thin image: header for `magic` and the commands.
Bytes thin(std::uint32_t magic, int cputype, int cpusubtype, const std::vector<Bytes>& commands,
           std::optional<std::uint32_t> ncmdsOverride = std::nullopt) {
  Image h;
  std::uint32_t sizeofcmds = 0;
  for (const auto& c : commands) sizeofcmds += static_cast<std::uint32_t>(c.size());
  h.u32(magic);
  h.u32(static_cast<std::uint32_t>(cputype));
  h.u32(static_cast<std::uint32_t>(cpusubtype));
  h.u32(2);
  h.u32(ncmdsOverride.value_or(static_cast<std::uint32_t>(commands.size())));
  h.u32(sizeofcmds);
  h.u32(0);
  if (magic == kCTRMachOMagic64) h.u32(0);
  for (const auto& c : commands) h.append(c);
  return h.bytes;
}

struct FatEntry {
  int cputype, cpusubtype;
  Bytes image;
};

// A fat file with each slice at a 4096-aligned offset.
Bytes fat(const std::vector<FatEntry>& entries, std::uint32_t countOverride = 0) {
  Image f;
  f.be32(kCTRMachOFatMagic);
  f.be32(countOverride ? countOverride : static_cast<std::uint32_t>(entries.size()));
  std::uint32_t offset = 4096;
  std::vector<std::uint32_t> offsets;
  for (const auto& e : entries) {
    f.be32(static_cast<std::uint32_t>(e.cputype));
    f.be32(static_cast<std::uint32_t>(e.cpusubtype));
    f.be32(offset);
    f.be32(static_cast<std::uint32_t>(e.image.size()));
    f.be32(12);
    offsets.push_back(offset);
    offset += 4096;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    f.bytes.resize(offsets[i], 0);
    f.append(entries[i].image);
  }
  return f.bytes;
}

constexpr std::uint8_t kUUID1[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                     0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
constexpr std::uint8_t kUUID2[16] = {0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88,
                                     0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00};

int openDescriptorCount() {
  int count = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++count;
    ::closedir(d);
  }
  return count;
}

class MachOTest : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const Bytes& bytes) {
    const std::string path = root_.file(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  struct Command {
    std::uint32_t type, size;
    std::ptrdiff_t offset;  // from the slice's start
  };
  static std::vector<Command> commandsOf(CTRMachOSlice slice) {
    std::vector<Command> out;
    CTRMachOSliceEnumerateLoadCommands(
        &slice, [&](std::uint32_t type, std::uint32_t size, const void* command) {
          out.push_back({type, size,
                         static_cast<const std::uint8_t*>(command) -
                             static_cast<const std::uint8_t*>(slice.startAddress)});
        });
    return out;
  }

  varnel::testing::TempRoot root_;
};

TEST_F(MachOTest, ThinSixtyFourBitFileGivesOneSliceWithItsFacts) {
  const Bytes image =
      thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3,
           {uuidCommand(kUUID1), dylibCommand("/usr/lib/libSystem.B.dylib"),
            dylibCommand("/usr/lib/libweak.dylib", 0x80000018),  // LC_LOAD_WEAK_DYLIB
            versionMinCommand(kCTRMachOLoadCommandVersionMinMacOSX, 0x000A0C01, 0x000A0D00),
            dylibCommand("@rpath/Kit.framework/Kit")});
  const std::string path = write("thin", image);

  CTRMachOFile file;
  ASSERT_TRUE(CTRMachOFileInitWithPath(&file, path.c_str()));
  EXPECT_GE(file.fd, 0);
  EXPECT_EQ(file.mappedSize, image.size());
  std::vector<CTRMachOSlice> slices;
  CTRMachOFileEnumerateSlices(&file, [&](CTRMachOSlice s) { slices.push_back(s); });
  ASSERT_EQ(slices.size(), 1u);
  EXPECT_EQ(slices[0].startAddress, file.mappedFile);
  EXPECT_EQ(slices[0].cputype, kCTRMachOCPUTypeX86_64);
  EXPECT_STREQ(CTRMachOSliceGetArchitectureName(&slices[0]), "x86_64");
  EXPECT_TRUE(CTRMachOSliceIs64Bit(&slices[0]));

  const auto commands = commandsOf(slices[0]);
  ASSERT_EQ(commands.size(), 5u);
  EXPECT_EQ(commands[0].offset, 32);  // right after the 64-bit header
  EXPECT_EQ(commands[0].type, kCTRMachOLoadCommandUUID);
  EXPECT_EQ(commands[1].offset, 32 + 24);

  CTRMachOSliceObject object(slices[0]);
  EXPECT_EQ(object.uuid(), "00112233445566778899aabbccddeeff");
  EXPECT_EQ(object.linkedDylibs(),
            (std::vector<std::string>{"/usr/lib/libSystem.B.dylib", "@rpath/Kit.framework/Kit"}));
  EXPECT_EQ(object.minimumOSVersion(), (CTRMachOVersion{10, 12, 1}));
  EXPECT_EQ(object.linkedSDKVersion(), (CTRMachOVersion{10, 13, 0}));
  const auto version = object.minimumOSVersion();
  EXPECT_EQ(CTRMachOFormatVersion(&version), "10.12.1");
  EXPECT_EQ(CTRMachOFormatVersion(nullptr), std::nullopt);

  CTRMachOFileDestroy(&file);
  EXPECT_EQ(file.fd, -1);
  EXPECT_EQ(file.mappedFile, nullptr);
  CTRMachOFileDestroy(&file);  // a destroyed record: nothing happens
}

TEST_F(MachOTest, ThirtyTwoBitHeaderStartsCommandsAfterTwentyEightBytes) {
  const Bytes image = thin(kCTRMachOMagic, kCTRMachOCPUTypeX86, 3, {uuidCommand(kUUID2)});
  CTRMachOSlice slice = CTRMachOSliceWithHeader(image.data());
  EXPECT_EQ(slice.cputype, 0);  // not known until the walk
  const auto commands = commandsOf(slice);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].offset, 28);
  CTRMachOSliceEnumerateLoadCommands(&slice, [](std::uint32_t, std::uint32_t, const void*) {});
  EXPECT_EQ(slice.cputype, kCTRMachOCPUTypeX86);
  EXPECT_STREQ(CTRMachOSliceGetArchitectureName(&slice), "i386");
  EXPECT_FALSE(CTRMachOSliceIs64Bit(&slice));
}

TEST_F(MachOTest, FatFileGivesSlicesInFileOrderAndTheirInstanceIdentifier) {
  const Bytes x86_64 = thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3, {uuidCommand(kUUID1)});
  const Bytes i386 = thin(kCTRMachOMagic, kCTRMachOCPUTypeX86, 3, {uuidCommand(kUUID2)});
  const std::string path =
      write("fat", fat({{kCTRMachOCPUTypeX86_64, 3, x86_64}, {kCTRMachOCPUTypeX86, 3, i386}}));

  CTRMachOFile file;
  ASSERT_TRUE(CTRMachOFileInitWithPath(&file, path.c_str()));
  std::vector<CTRMachOSlice> slices;
  CTRMachOFileEnumerateSlices(&file, [&](CTRMachOSlice s) { slices.push_back(s); });
  ASSERT_EQ(slices.size(), 2u);
  const auto* base = static_cast<const std::uint8_t*>(file.mappedFile);
  EXPECT_EQ(slices[0].startAddress, base + 4096);
  EXPECT_EQ(slices[1].startAddress, base + 8192);
  EXPECT_STREQ(CTRMachOSliceGetArchitectureName(&slices[0]), "x86_64");
  EXPECT_STREQ(CTRMachOSliceGetArchitectureName(&slices[1]), "i386");
  const CTRMachOSlice i386Slice = CTRMachOFileSliceWithArchitectureName(&file, "i386");
  EXPECT_EQ(i386Slice.startAddress, base + 8192);
  EXPECT_EQ(CTRMachOFileSliceWithArchitectureName(&file, "arm64").startAddress, nullptr);
  CTRMachOFileDestroy(&file);

  auto binary = CTRMachOBinary::MachOBinaryWithPath(path);
  ASSERT_TRUE(binary);
  EXPECT_EQ(binary->path(), path);
  ASSERT_EQ(binary->slices().size(), 2u);
  // Sorted by name: i386 (u2) before x86_64 (u1).
  EXPECT_EQ(binary->instanceIdentifier(), "fa95645b5b04aa9abce6068d2bc2e683dd8142d1");
  EXPECT_EQ(binary->sliceForArchitecture("x86_64"), binary->slices()[0]);
  EXPECT_EQ(binary->sliceForArchitecture("arm64"), nullptr);
  std::vector<std::string> seen;
  binary->enumerateUUIDs([&](const std::optional<std::string>& uuid, const std::string& arch) {
    seen.push_back(arch + "=" + uuid.value_or("-"));
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"x86_64=00112233445566778899aabbccddeeff",
                                            "i386=ffeeddccbbaa99887766554433221100"}));
}

TEST_F(MachOTest, SlicesOutliveTheirBinary) {
  const std::string path =
      write("thin", thin(kCTRMachOMagic64, kCTRMachOCPUTypeARM64, 0, {uuidCommand(kUUID1)}));
  std::shared_ptr<CTRMachOSliceObject> slice;
  {
    auto binary = CTRMachOBinary::MachOBinaryWithPath(path);
    ASSERT_TRUE(binary);
    slice = binary->slices().at(0);
  }
  // The mapping is still there: walking the slice reads it again.
  EXPECT_EQ(commandsOf(slice->slice()).size(), 1u);
  EXPECT_EQ(slice->architectureName(), "arm64");
}

TEST_F(MachOTest, FilesThatCannotBeMappedFailWithoutLeavingDescriptors) {
  const int before = openDescriptorCount();
  CTRMachOFile file;
  EXPECT_FALSE(CTRMachOFileInitWithPath(&file, write("small", Bytes(15, 0xfe)).c_str()));
  EXPECT_FALSE(CTRMachOFileInitWithPath(&file, root_.path().c_str()));  // a directory
  EXPECT_FALSE(CTRMachOFileInitWithPath(&file, root_.file("missing").c_str()));
  EXPECT_FALSE(CTRMachOFileInitWithPath(&file, nullptr));
  EXPECT_FALSE(CTRMachOFileInitWithPath(nullptr, "/dev/null"));
  EXPECT_FALSE(CTRMachOFileInitWithPath(&file, "/dev/zero"));  // not a regular file
  EXPECT_EQ(file.fd, -1);
  EXPECT_EQ(openDescriptorCount(), before);
  EXPECT_EQ(CTRMachOBinary::MachOBinaryWithPath(root_.file("missing")), nullptr);
  EXPECT_TRUE(CTRMachOFileInitWithPath(&file, write("sixteen", Bytes(16, 0)).c_str()));
  CTRMachOFileDestroy(&file);
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(MachOTest, FileThatIsNotMachOYieldsOneUnknownSliceWithoutCommands) {
  auto binary = CTRMachOBinary::MachOBinaryWithPath(write("text", Bytes(64, 'a')));
  ASSERT_TRUE(binary);
  ASSERT_EQ(binary->slices().size(), 1u);
  EXPECT_EQ(binary->slices()[0]->slice().cputype, 0);
  EXPECT_EQ(binary->slices()[0]->architectureName(), "unknown");
  EXPECT_EQ(binary->slices()[0]->uuid(), std::nullopt);
  EXPECT_TRUE(commandsOf(binary->slices()[0]->slice()).empty());
  // No UUID at all: SHA-1 of the empty text.
  EXPECT_EQ(binary->instanceIdentifier(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST_F(MachOTest, ArchitectureNamesFollowTheFixedRulesThenTheTable) {
  auto name = [](int type, int subtype) {
    CTRMachOSlice s;
    s.cputype = type;
    s.cpusubtype = subtype;
    return std::string(CTRMachOSliceGetArchitectureName(&s));
  };
  EXPECT_EQ(name(kCTRMachOCPUTypeARM64, 0), "arm64");
  EXPECT_EQ(name(kCTRMachOCPUTypeARM64, 1), "arm64v8");  // from the table, not "arm64"
  EXPECT_EQ(name(kCTRMachOCPUTypeARM64, 2), "arm64e");
  EXPECT_EQ(name(kCTRMachOCPUTypeARM, 11), "armv7s");
  EXPECT_EQ(name(kCTRMachOCPUTypeARM, 12), "armv7k");
  EXPECT_EQ(name(kCTRMachOCPUTypeARM, 9), "armv7");
  EXPECT_EQ(name(kCTRMachOCPUTypeX86_64, 3), "x86_64");
  EXPECT_EQ(name(kCTRMachOCPUTypeX86_64, static_cast<int>(0x80000003u)), "x86_64");  // LIB64 bit
  EXPECT_EQ(name(kCTRMachOCPUTypeX86_64, 8), "x86_64h");
  EXPECT_EQ(name(kCTRMachOCPUTypePowerPC, 0), "ppc");
  EXPECT_EQ(name(0, 0), "unknown");
  EXPECT_EQ(name(kCTRMachOCPUTypeX86_64, 77), "unknown");
  EXPECT_STREQ(CTRMachOSliceGetArchitectureName(nullptr), "unknown");
}

TEST_F(MachOTest, VersionWordsUnpackIntoMajorMinorPatch) {
  EXPECT_EQ(CTRMachOUnpackVersion(0x000A0C01), (CTRMachOVersion{10, 12, 1}));
  EXPECT_EQ(CTRMachOUnpackVersion(0xFFFFFFFF), (CTRMachOVersion{65535, 255, 255}));
  const Bytes command =
      versionMinCommand(kCTRMachOLoadCommandVersionMinIPhoneOS, 0x00090300, 0x000B0001);
  EXPECT_EQ(CTRMachOGetMinimumOSVersion(command.data()), (CTRMachOVersion{9, 3, 0}));
  EXPECT_EQ(CTRMachOGetLinkedSDKVersion(command.data()), (CTRMachOVersion{11, 0, 1}));
  const CTRMachOVersion v{10, 12, 1};
  EXPECT_EQ(CTRMachOFormatVersion(&v), "10.12.1");
  EXPECT_EQ(CTRMachONormalizedUUIDString(kUUID2), "ffeeddccbbaa99887766554433221100");
}

TEST_F(MachOTest, LaterVersionCommandOverwritesEarlierOne) {
  const Bytes image =
      thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3,
           {versionMinCommand(kCTRMachOLoadCommandVersionMinMacOSX, 0x000A0900, 0x000A0A00),
            versionMinCommand(kCTRMachOLoadCommandVersionMinWatchOS, 0x00020000, 0x00030000)});
  CTRMachOSliceObject object(CTRMachOSliceWithHeader(image.data()));
  EXPECT_EQ(object.minimumOSVersion(), (CTRMachOVersion{2, 0, 0}));
  EXPECT_EQ(object.linkedSDKVersion(), (CTRMachOVersion{3, 0, 0}));
}

TEST_F(MachOTest, EncryptionAndSegmentDecoders) {
  Image enc;
  enc.u32(kCTRMachOLoadCommandEncryptionInfo);
  enc.u32(20);
  enc.u32(0x1000);
  enc.u32(0x2000);
  enc.u32(1);
  EXPECT_TRUE(CTRMachOIsEncrypted(enc.bytes.data()));
  enc.bytes[16] = 0;
  EXPECT_FALSE(CTRMachOIsEncrypted(enc.bytes.data()));

  const Bytes seg64 = segment64("__TEXT", 0x100000000ull, 0x4000, {});
  auto s = CTRMachOGetSegmentCommand(seg64.data());
  EXPECT_STREQ(std::string(s.segmentName, 16).c_str(), "__TEXT");
  EXPECT_EQ(s.vmaddr, 0x100000000ull);
  EXPECT_EQ(s.vmsize, 0x4000u);
  const Bytes seg32 = segment32("__DATA", 0x3000, 0x1000, {});
  s = CTRMachOGetSegmentCommand(seg32.data());
  EXPECT_STREQ(std::string(s.segmentName, 16).c_str(), "__DATA");
  EXPECT_EQ(s.vmaddr, 0x3000u);
  EXPECT_EQ(s.vmsize, 0x1000u);
  s = CTRMachOGetSegmentCommand(uuidCommand(kUUID1).data());
  EXPECT_EQ(s.vmaddr, 0u);
  EXPECT_EQ(s.segmentName[0], 0);
  s = CTRMachOGetSegmentCommand(nullptr);
  EXPECT_EQ(s.vmsize, 0u);
}

// A command whose cmdsize is too small for its fields: the decoders do not
// read past it (the bytes after it may be the end of the file).
TEST_F(MachOTest, DecodersStayInsideTheirCommand) {
  Bytes shortUUID = uuidCommand(kUUID1);
  shortUUID[4] = 16;
  EXPECT_EQ(CTRMachOGetUUID(shortUUID.data()), nullptr);
  Bytes shortVersion = versionMinCommand(kCTRMachOLoadCommandVersionMinMacOSX, 0x000A0C01, 1);
  shortVersion[4] = 12;
  EXPECT_EQ(CTRMachOGetMinimumOSVersion(shortVersion.data()), (CTRMachOVersion{}));
  EXPECT_EQ(CTRMachOGetLinkedSDKVersion(shortVersion.data()), (CTRMachOVersion{}));
  Image enc;
  enc.u32(kCTRMachOLoadCommandEncryptionInfo);
  enc.u32(16);
  enc.u32(0);
  enc.u32(0);
  enc.u32(1);  // beyond cmdsize
  EXPECT_FALSE(CTRMachOIsEncrypted(enc.bytes.data()));
  Bytes shortSegment = segment64("__TEXT", 1, 2, {});
  shortSegment[4] = 40;
  EXPECT_EQ(CTRMachOGetSegmentCommand(shortSegment.data()).vmsize, 0u);
  Bytes unterminated = dylibCommand("libz.dylib");
  std::fill(unterminated.begin() + 24, unterminated.end(), 'x');
  EXPECT_EQ(CTRMachOGetDylibName(unterminated.data()), nullptr);
}

TEST_F(MachOTest, SectionsAreFoundByBothNamesInEitherWidth) {
  const std::vector<SectionLayout> sections = {{"__text", 0x1000, 0x200, 0x40},
                                               {"__eh_frame", 0x1200, 0x10, 0x60}};
  for (bool is64 : {true, false}) {
    SCOPED_TRACE(is64 ? "64-bit" : "32-bit");
    const Bytes image =
        is64 ? thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3,
                    {segment64("__TEXT", 0, 0x2000, sections),
                     segment64("__DATA", 0x2000, 0x1000, {{"__data", 0x2000, 8, 0}})})
             : thin(kCTRMachOMagic, kCTRMachOCPUTypeX86, 3,
                    {segment32("__TEXT", 0, 0x2000, sections)});
    CTRMachOSlice slice = CTRMachOSliceWithHeader(image.data());
    CTRMachOSection section;
    ASSERT_TRUE(CTRMachOSliceFindSection(&slice, "__TEXT", "__eh_frame", &section));
    EXPECT_EQ(section.address, 0x1200u);
    EXPECT_EQ(section.size, 0x10u);
    EXPECT_EQ(section.offset, 0x60u);
    EXPECT_FALSE(CTRMachOSliceFindSection(&slice, "__DATA", "__text", &section));
    EXPECT_EQ(section.address, 0u);  // cleared
    EXPECT_FALSE(CTRMachOSliceFindSection(&slice, "__TEXT", "__unwind_info", &section));
    EXPECT_FALSE(CTRMachOSliceFindSection(nullptr, "__TEXT", "__text", &section));
    EXPECT_FALSE(CTRMachOSliceFindSection(&slice, "__TEXT", "__text", nullptr));
    const void* data = reinterpret_cast<const void*>(1);
    ASSERT_TRUE(CTRMachOSliceFindSectionData(&slice, "__TEXT", "__text", &data));
    EXPECT_EQ(data, image.data() + 0x40);
    EXPECT_FALSE(CTRMachOSliceFindSectionData(&slice, "__TEXT", "__nothing", &data));
    EXPECT_EQ(data, nullptr);
  }
}

TEST_F(MachOTest, SectionDataOutsideAKnownSliceIsRefused) {
  const Bytes image = thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3,
                           {segment64("__TEXT", 0, 0x2000, {{"__text", 0, 0x100, 0x9000}})});
  CTRMachOSlice slice = CTRMachOSliceWithHeader(image.data());
  slice.size = image.size();
  const void* data = nullptr;
  EXPECT_FALSE(CTRMachOSliceFindSectionData(&slice, "__TEXT", "__text", &data));
  EXPECT_EQ(data, nullptr);
}

// Damaged images: every walk stays inside the file.
TEST_F(MachOTest, DamagedLoadCommandsStopTheWalk) {
  {
    SCOPED_TRACE("a command of size 0 would repeat forever");
    Bytes zero = uuidCommand(kUUID1);
    zero[4] = zero[5] = zero[6] = zero[7] = 0;
    const Bytes image =
        thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3, {uuidCommand(kUUID2), zero}, 1000);
    EXPECT_EQ(commandsOf(CTRMachOSliceWithHeader(image.data())).size(), 1u);
  }
  {
    SCOPED_TRACE("more commands claimed than written");
    const std::string path = write(
        "ncmds", thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3, {uuidCommand(kUUID1)}, 50000));
    auto binary = CTRMachOBinary::MachOBinaryWithPath(path);
    ASSERT_TRUE(binary);
    EXPECT_EQ(commandsOf(binary->slices()[0]->slice()).size(), 1u);
  }
  {
    SCOPED_TRACE("a command larger than the file");
    Bytes big = uuidCommand(kUUID1);
    big[5] = 0x10;  // cmdsize 4120
    Bytes image = thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3, {uuidCommand(kUUID2), big});
    // sizeofcmds tells the truth about the size, the file does not hold it.
    const std::uint32_t sizeofcmds = 24 + 4120;
    std::memcpy(image.data() + 20, &sizeofcmds, 4);
    const std::string path = write("big", image);
    auto binary = CTRMachOBinary::MachOBinaryWithPath(path);
    ASSERT_TRUE(binary);
    EXPECT_EQ(commandsOf(binary->slices()[0]->slice()).size(), 1u);
    EXPECT_EQ(binary->slices()[0]->uuid(), "ffeeddccbbaa99887766554433221100");
  }
  {
    SCOPED_TRACE("a library name whose offset points outside its command");
    Bytes bad = dylibCommand("libx.dylib");
    bad[8] = 0xff;
    const Bytes image =
        thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3, {bad, dylibCommand("liby.dylib")});
    EXPECT_EQ(CTRMachOGetDylibName(bad.data()), nullptr);
    CTRMachOSliceObject object(CTRMachOSliceWithHeader(image.data()));
    EXPECT_EQ(object.linkedDylibs(), std::vector<std::string>{"liby.dylib"});
  }
  {
    SCOPED_TRACE("a header cut short");
    const Bytes image = thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3, {});
    const std::string path = write("short", Bytes(image.begin(), image.begin() + 20));
    auto binary = CTRMachOBinary::MachOBinaryWithPath(path);
    ASSERT_TRUE(binary);
    EXPECT_TRUE(commandsOf(binary->slices()[0]->slice()).empty());
  }
}

TEST_F(MachOTest, FatEntriesOutsideTheFileAreLeftOut) {
  const Bytes good = thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3, {uuidCommand(kUUID1)});
  Bytes file = fat({{kCTRMachOCPUTypeX86_64, 3, good}, {kCTRMachOCPUTypeX86, 3, good}});
  // Second entry: offset far past the end.
  const std::size_t entry2 = 8 + 20;
  file[entry2 + 8] = 0x7f;
  const std::string path = write("fat", file);
  CTRMachOFile mapped;
  ASSERT_TRUE(CTRMachOFileInitWithPath(&mapped, path.c_str()));
  int count = 0;
  CTRMachOFileEnumerateSlices(&mapped, [&](CTRMachOSlice s) {
    ++count;
    EXPECT_EQ(s.size, good.size());
  });
  EXPECT_EQ(count, 1);
  CTRMachOFileDestroy(&mapped);

  // A count of entries larger than the file holds.
  const std::string path2 =
      write("fat2", fat({{kCTRMachOCPUTypeX86_64, 3, good}}, /*countOverride=*/0x10000000));
  auto binary = CTRMachOBinary::MachOBinaryWithPath(path2);
  ASSERT_TRUE(binary);
  EXPECT_GE(binary->slices().size(), 1u);
  EXPECT_EQ(binary->slices()[0]->uuid(), "00112233445566778899aabbccddeeff");
}

TEST_F(MachOTest, FatMagicIsAcceptedInEitherByteOrder) {
  const Bytes good = thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3, {uuidCommand(kUUID1)});
  Bytes file = fat({{kCTRMachOCPUTypeX86_64, 3, good}});
  std::uint32_t hostMagic = kCTRMachOFatMagic;  // written in host order this time
  std::memcpy(file.data(), &hostMagic, 4);
  int count = 0;
  CTRMachOEnumerateSlicesAtAddress(
      file.data(), [&](CTRMachOSlice) { ++count; }, file.size());
  EXPECT_EQ(count, 1);
}

TEST_F(MachOTest, SwappedHeadersGiveTheirSliceButNoCommands) {
  Bytes image = thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3, {uuidCommand(kUUID1)});
  // Byte-swap the header words as a big-endian writer would have left them.
  for (int i = 0; i < 8; ++i) std::reverse(image.begin() + 4 * i, image.begin() + 4 * i + 4);
  std::vector<CTRMachOSlice> slices;
  CTRMachOEnumerateSlicesAtAddress(
      image.data(), [&](CTRMachOSlice s) { slices.push_back(s); }, image.size());
  ASSERT_EQ(slices.size(), 1u);
  EXPECT_EQ(slices[0].cputype, kCTRMachOCPUTypeX86_64);
  EXPECT_TRUE(commandsOf(slices[0]).empty());
}

TEST_F(MachOTest, NullArgumentsDoNothing) {
  CTRMachOSliceEnumerateLoadCommands(
      nullptr, [](std::uint32_t, std::uint32_t, const void*) { ADD_FAILURE(); });
  CTRMachOSlice empty;
  CTRMachOSliceEnumerateLoadCommands(
      &empty, [](std::uint32_t, std::uint32_t, const void*) { ADD_FAILURE(); });
  const Bytes image = thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3, {uuidCommand(kUUID1)});
  CTRMachOSlice slice = CTRMachOSliceWithHeader(image.data());
  CTRMachOSliceEnumerateLoadCommands(&slice, nullptr);
  CTRMachOEnumerateSlicesAtAddress(nullptr, [](CTRMachOSlice) { ADD_FAILURE(); });
  EXPECT_EQ(CTRMachOSliceGetImagePath(nullptr), nullptr);
  EXPECT_EQ(CTRMachOSliceGetImagePath(&empty), nullptr);
  EXPECT_EQ(CTRMachOGetUUID(nullptr), nullptr);
  EXPECT_EQ(CTRMachOGetDylibName(nullptr), nullptr);
  std::uint64_t eh = 7;
  CTRMachOSliceGetUnwindInfoAddresses(&slice, &eh, nullptr);  // not a loaded image
  EXPECT_EQ(eh, 7u);
}

// The running program is ELF; its entry points answer with its image of facts.
TEST_F(MachOTest, RunningExecutableAnswersWithItsOwnFacts) {
  const auto elf = platform::ExecutableImage::running();
  ASSERT_TRUE(elf);
  CTRMachOSlice slice = CTRMachOSliceForRunningExecutable();
  ASSERT_NE(slice.startAddress, nullptr);
#if defined(__x86_64__)
  EXPECT_STREQ(CTRMachOSliceGetArchitectureName(&slice), "x86_64");
#endif
  EXPECT_STREQ(CTRMachOSliceGetArchitectureName(&slice), elf->architectureName().c_str());
  char exe[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  ASSERT_NE(CTRMachOSliceGetImagePath(&slice), nullptr);
  EXPECT_STREQ(CTRMachOSliceGetImagePath(&slice), exe);

  auto object = CTRMachOSliceObject::runningSlice();
  ASSERT_TRUE(object);
  ASSERT_TRUE(elf->hasUUID());
  EXPECT_EQ(object->uuid(), elf->uuid().lowerHex());
  EXPECT_EQ(object->linkedDylibs(), elf->neededLibraries());
  EXPECT_NE(std::find(object->linkedDylibs().begin(), object->linkedDylibs().end(), "libc.so.6"),
            object->linkedDylibs().end());
  EXPECT_EQ(object->minimumOSVersion().major, elf->minimumOSVersion().major);
  EXPECT_EQ(object->linkedSDKVersion().major, 2u);  // the C library's 2.x

  bool sawText = false;
  CTRMachOSliceEnumerateLoadCommands(
      &slice, [&](std::uint32_t type, std::uint32_t, const void* command) {
        if (type != kCTRMachOLoadCommandSegment64 && type != kCTRMachOLoadCommandSegment) return;
        const auto segment = CTRMachOGetSegmentCommand(command);
        if (std::string(segment.segmentName) != "__TEXT") return;
        sawText = true;
        EXPECT_EQ(segment.vmsize, elf->textSegment().size);
      });
  EXPECT_TRUE(sawText);

  // The unwind section, slid to where the program is loaded: the address of
  // a function of this program lies between the image base and it... at
  // least it lies inside the running text.
  std::uint64_t ehFrame = 0;
  std::uint64_t unwindInfo = 0;
  CTRMachOSliceGetUnwindInfoAddresses(&slice, &ehFrame, &unwindInfo);
  ASSERT_TRUE(elf->section(".eh_frame"));
  EXPECT_EQ(ehFrame, elf->section(".eh_frame")->address + elf->loadBias());
  EXPECT_EQ(unwindInfo, 0u);  // no compact unwind tables on Linux

  CTRMachOFile file;
  ASSERT_TRUE(CTRMachOFileInitWithCurrent(&file));
  EXPECT_EQ(file.fd, -1);
  std::vector<std::string> uuids;
  CTRMachOFileEnumerateSlices(&file, [&](CTRMachOSlice s) {
    CTRMachOSliceObject o(s);
    uuids.push_back(o.uuid().value_or(""));
  });
  EXPECT_EQ(uuids, std::vector<std::string>{elf->uuid().lowerHex()});
  CTRMachOFileDestroy(&file);
  EXPECT_EQ(file.mappedFile, nullptr);
}

TEST_F(MachOTest, DebugSymbolBundleOpensItsBinary) {
  const std::string dsym = root_.file("App.dSYM");
  ::mkdir(dsym.c_str(), 0755);
  ::mkdir((dsym + "/Contents").c_str(), 0755);
  ::mkdir((dsym + "/Contents/Resources").c_str(), 0755);
  ::mkdir((dsym + "/Contents/Resources/DWARF").c_str(), 0755);
  EXPECT_EQ(CTRdSYM::dSYMWithURL(platform::URL::fileURLWithPath(dsym)), nullptr);  // empty

  write("App.dSYM/Contents/Resources/DWARF/App",
        thin(kCTRMachOMagic64, kCTRMachOCPUTypeX86_64, 3, {uuidCommand(kUUID1)}));
  ASSERT_TRUE(platform::plist::writeFile(
      dsym + "/Contents/Info.plist",
      platform::Value::dictionary({{"CFBundleIdentifier", "com.apple.xcode.dsym.com.example.app"},
                                   {"CFBundleVersion", "42"},
                                   {"CFBundleShortVersionString", "1.2"}})));
  auto symbols = CTRdSYM::dSYMWithURL(platform::URL::fileURLWithPath(dsym));
  ASSERT_TRUE(symbols);
  EXPECT_EQ(symbols->bundleIdentifier(), "com.example.app");
  EXPECT_EQ(symbols->bundleVersion(), "42");
  EXPECT_EQ(symbols->shortBundleVersion(), "1.2");
  EXPECT_EQ(symbols->executablePath(), dsym + "/Contents/Resources/DWARF/App");
  int count = 0;
  symbols->enumerateUUIDs([&](const std::optional<std::string>& uuid, const std::string& arch) {
    ++count;
    EXPECT_EQ(uuid, "00112233445566778899aabbccddeeff");
    EXPECT_EQ(arch, "x86_64");
  });
  EXPECT_EQ(count, 1);
  EXPECT_EQ(CTRdSYM::dSYMWithURL(platform::URL::fileURLWithPath(root_.file("none"))), nullptr);
}

TEST_F(MachOTest, CodeMappingKeepsItsURLAndSource) {
  auto mapping = CTRCodeMapping::mappingWithURL(platform::URL::fileURLWithPath("/tmp/x"));
  EXPECT_EQ(mapping->URL().decodedPath(), "/tmp/x");
  mapping->setSource(3);
  EXPECT_EQ(mapping->source(), 3);
  EXPECT_EQ(mapping->sourceName(), std::nullopt);
}

}  // namespace
}  // namespace sdk
