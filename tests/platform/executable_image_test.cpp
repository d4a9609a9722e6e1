#include "platform/system/executable_image.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace platform {
namespace {

std::string selfPath() {
  char buffer[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The build-id note as the loader mapped it: found through the program
// headers in memory, independently of the file reader under test.
struct LoadedFacts {
  std::vector<std::uint8_t> buildID;
  std::uint64_t bias = 0;
  bool found = false;
};

int collectMainProgram(dl_phdr_info* info, std::size_t, void* data) {
  auto* facts = static_cast<LoadedFacts*>(data);
  facts->bias = info->dlpi_addr;
  facts->found = true;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_NOTE) continue;
    const auto* p = reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + ph.p_vaddr);
    const auto* end = p + ph.p_memsz;
    const std::size_t align = ph.p_align == 8 ? 8 : 4;
    while (p + sizeof(ElfW(Nhdr)) <= end) {
      ElfW(Nhdr) note;
      std::memcpy(&note, p, sizeof note);
      const auto* name = p + sizeof note;
      const auto* desc = name + ((note.n_namesz + align - 1) & ~(align - 1));
      if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
          std::memcmp(name, "GNU", 4) == 0) {
        facts->buildID.assign(desc, desc + note.n_descsz);
      }
      p = desc + ((note.n_descsz + align - 1) & ~(align - 1));
    }
  }
  return 1;  // the first object is the main program
}

TEST(ExecutableImageTest, RunningProgramMatchesWhatTheLoaderMapped) {
  auto image = ExecutableImage::running();
  ASSERT_TRUE(image);
  EXPECT_EQ(image, ExecutableImage::running());  // read once
  EXPECT_EQ(image->path(), selfPath());

  LoadedFacts loaded;
  ::dl_iterate_phdr(collectMainProgram, &loaded);
  ASSERT_TRUE(loaded.found);
  ASSERT_FALSE(loaded.buildID.empty()) << "the test program is linked with a build-id";
  EXPECT_EQ(image->buildID(), loaded.buildID);
  EXPECT_EQ(image->loadBias(), loaded.bias);
  UUID::Bytes16 first{};
  std::copy_n(loaded.buildID.begin(), std::min<std::size_t>(16, loaded.buildID.size()),
              first.begin());
  EXPECT_EQ(image->uuid(), UUID(first));

#if defined(__x86_64__)
  EXPECT_EQ(image->architectureName(), "x86_64");
  EXPECT_TRUE(image->is64Bit());
#elif defined(__aarch64__)
  EXPECT_EQ(image->architectureName(), "arm64");
#endif
  const auto& needed = image->neededLibraries();
  EXPECT_NE(std::find(needed.begin(), needed.end(), "libc.so.6"), needed.end());
  EXPECT_NE(std::find(needed.begin(), needed.end(), "libstdc++.so.6"), needed.end());
  EXPECT_EQ(image->linkedLibraryVersion().major, 2u);
  EXPECT_GE(image->linkedLibraryVersion().minor, 2u);
  EXPECT_GE(image->minimumOSVersion().major, 2u);  // the kernel version of the ABI note

  // The text span holds this very function once slid to the load address.
  const auto text = image->textSegment();
  const auto here = reinterpret_cast<std::uint64_t>(&collectMainProgram) - image->loadBias();
  EXPECT_GE(here, text.address);
  EXPECT_LT(here, text.address + text.size);
  const auto textSection = image->section(".text");
  ASSERT_TRUE(textSection);
  EXPECT_GE(here, textSection->address);
  EXPECT_LT(here, textSection->address + textSection->size);
  EXPECT_FALSE(image->section(".no-such-section"));
}

TEST(ExecutableImageTest, ReadingTheFileGivesTheSameFactsWithoutBias) {
  auto running = ExecutableImage::running();
  auto file = ExecutableImage::readFile(selfPath());
  ASSERT_TRUE(running && file);
  EXPECT_EQ(file->buildID(), running->buildID());
  EXPECT_EQ(file->neededLibraries(), running->neededLibraries());
  EXPECT_EQ(file->loadBias(), 0u);
}

TEST(ExecutableImageTest, WhatIsNotAnElfFileGivesNothing) {
  EXPECT_EQ(ExecutableImage::readFile("/nonexistent/file"), nullptr);
  EXPECT_EQ(ExecutableImage::readFile("/proc/self"), nullptr);  // a directory
  EXPECT_EQ(ExecutableImage::parse("#!/bin/sh\necho\n"), nullptr);
  EXPECT_EQ(ExecutableImage::parse(""), nullptr);
  EXPECT_EQ(ExecutableImage::parse("\x7f"
                                   "ELF"),
            nullptr);  // too short for a header
}

// Every truncation of a real program reads without a fault (the sanitizer
// builds catch a read past the end) and never invents libraries.
TEST(ExecutableImageTest, TruncatedFilesAreReadSafely) {
  const std::string bytes = readAll(selfPath());
  ASSERT_GT(bytes.size(), 4096u);
  auto whole = ExecutableImage::parse(bytes);
  ASSERT_TRUE(whole);
  std::vector<std::size_t> cuts;
  for (std::size_t n = 0; n < 4096; n += 13) cuts.push_back(n);
  for (std::size_t n = 4096; n < bytes.size(); n += bytes.size() / 32) cuts.push_back(n);
  for (std::size_t n : cuts) {
    // A copy of exactly n bytes, so the sanitizer sees its end.
    const std::vector<char> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    auto image = ExecutableImage::parse(std::string_view(cut.data(), cut.size()));
    if (!image) continue;
    EXPECT_LE(image->neededLibraries().size(), whole->neededLibraries().size());
  }
}

// A hand-made ELF64 image with one note segment.
std::string elfWithNotes(const std::vector<std::uint8_t>& notes) {
  Elf64_Ehdr eh{};
  std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
  eh.e_ident[EI_CLASS] = ELFCLASS64;
  eh.e_ident[EI_DATA] = ELFDATA2LSB;
  eh.e_ident[EI_VERSION] = EV_CURRENT;
  eh.e_type = ET_EXEC;
  eh.e_machine = EM_AARCH64;
  eh.e_phoff = sizeof eh;
  eh.e_phentsize = sizeof(Elf64_Phdr);
  eh.e_phnum = 1;
  Elf64_Phdr ph{};
  ph.p_type = PT_NOTE;
  ph.p_offset = sizeof eh + sizeof ph;
  ph.p_filesz = notes.size();
  ph.p_align = 4;
  std::string out(reinterpret_cast<const char*>(&eh), sizeof eh);
  out.append(reinterpret_cast<const char*>(&ph), sizeof ph);
  out.append(notes.begin(), notes.end());
  return out;
}

void appendNote(std::vector<std::uint8_t>& out, std::uint32_t type,
                const std::vector<std::uint8_t>& desc) {
  auto u32 = [&](std::uint32_t v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    out.insert(out.end(), p, p + 4);
  };
  u32(4);
  u32(static_cast<std::uint32_t>(desc.size()));
  u32(type);
  out.insert(out.end(), {'G', 'N', 'U', 0});
  out.insert(out.end(), desc.begin(), desc.end());
  out.resize((out.size() + 3) & ~std::size_t{3}, 0);
}

TEST(ExecutableImageTest, ShortBuildIdIsZeroPaddedAndAbiTagGivesTheKernelVersion) {
  std::vector<std::uint8_t> notes;
  appendNote(notes, NT_GNU_BUILD_ID, {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03, 0x04});
  appendNote(notes, NT_GNU_ABI_TAG, {0, 0, 0, 0, 4, 0, 0, 0, 19, 0, 0, 0, 7, 0, 0, 0});
  auto image = ExecutableImage::parse(elfWithNotes(notes));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->uuid().lowerHex(), "deadbeef010203040000000000000000");
  EXPECT_EQ(image->minimumOSVersion(), (ExecutableImage::Version{4, 19, 7}));
  EXPECT_EQ(image->architectureName(), "arm64");
  EXPECT_TRUE(image->neededLibraries().empty());
  EXPECT_TRUE(image->linkedLibraryVersion().isZero());

  // A note whose descriptor runs past its segment is not read.
  std::vector<std::uint8_t> bad;
  appendNote(bad, NT_GNU_BUILD_ID, {1, 2, 3, 4});
  bad[4] = 0xff;  // descsz 255
  auto damaged = ExecutableImage::parse(elfWithNotes(bad));
  ASSERT_TRUE(damaged);
  EXPECT_FALSE(damaged->hasUUID());
  EXPECT_TRUE(damaged->uuid().isNil());
}

}  // namespace
}  // namespace platform
