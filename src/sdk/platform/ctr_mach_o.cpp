#include "sdk/platform/ctr_mach_o.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/system/executable_image.h"

namespace sdk {
namespace {

constexpr std::uint32_t kHeaderSize32 = 28;
constexpr std::uint32_t kHeaderSize64 = 32;
constexpr std::uint32_t kFatHeaderSize = 8;
constexpr std::uint32_t kFatArchSize = 20;
constexpr std::uint32_t kSegmentCommandSize32 = 56;
constexpr std::uint32_t kSegmentCommandSize64 = 72;
constexpr std::uint32_t kSectionSize32 = 68;
constexpr std::uint32_t kSectionSize64 = 80;

std::uint32_t read32(const void* base, std::size_t offset) {
  std::uint32_t v;
  std::memcpy(&v, static_cast<const std::uint8_t*>(base) + offset, sizeof v);
  return v;
}

std::uint64_t read64(const void* base, std::size_t offset) {
  std::uint64_t v;
  std::memcpy(&v, static_cast<const std::uint8_t*>(base) + offset, sizeof v);
  return v;
}

std::uint32_t readBig32(const void* base, std::size_t offset) {
  std::uint32_t v = read32(base, offset);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  return v;
}

bool isHostMachO(std::uint32_t magic) {
  return magic == kCTRMachOMagic || magic == kCTRMachOMagic64;
}
bool isSwappedMachO(std::uint32_t magic) {
  return magic == kCTRMachOCigam || magic == kCTRMachOCigam64;
}

std::uint32_t headerSizeFor(std::uint32_t magic) {
  return (magic == kCTRMachOMagic64 || magic == kCTRMachOCigam64) ? kHeaderSize64 : kHeaderSize32;
}

// ---------------------------------------------------------------------------
// The running program's image of facts (see the header).

struct RunningImage {
  std::vector<std::uint8_t> bytes;  // the Mach-O image
  std::shared_ptr<const platform::ExecutableImage> elf;
};

void append32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
  out.insert(out.end(), p, p + 4);
}

void append64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
  out.insert(out.end(), p, p + 8);
}

void appendName16(std::vector<std::uint8_t>& out, const char* name) {
  char buffer[16] = {};
  std::memcpy(buffer, name, std::min<std::size_t>(std::strlen(name), sizeof buffer));
  out.insert(out.end(), buffer, buffer + 16);
}

std::uint32_t packVersion(const platform::ExecutableImage::Version& v) {
  return (std::min<std::uint32_t>(v.major, 0xffff) << 16) |
         (std::min<std::uint32_t>(v.minor, 0xff) << 8) | std::min<std::uint32_t>(v.patch, 0xff);
}

void hostArchitecture(int* cputype, int* cpusubtype) {
#if defined(__x86_64__)
  *cputype = kCTRMachOCPUTypeX86_64;
  *cpusubtype = 3;
#elif defined(__i386__)
  *cputype = kCTRMachOCPUTypeX86;
  *cpusubtype = 3;
#elif defined(__aarch64__)
  *cputype = kCTRMachOCPUTypeARM64;
  *cpusubtype = 0;
#elif defined(__arm__)
  *cputype = kCTRMachOCPUTypeARM;
  *cpusubtype = 9;
#elif defined(__powerpc64__)
  *cputype = kCTRMachOCPUTypePowerPC64;
  *cpusubtype = 0;
#else
  *cputype = 0;
  *cpusubtype = 0;
#endif
}

std::vector<std::uint8_t> buildImage(const platform::ExecutableImage& elf) {
  int cputype = 0;
  int cpusubtype = 0;
  hostArchitecture(&cputype, &cpusubtype);
  const bool is64 = (cputype & kCTRMachOCPUArchABI64) != 0;
  std::vector<std::uint8_t> commands;
  std::uint32_t ncmds = 0;

  // __TEXT with its text and unwind sections.
  {
    std::vector<std::pair<const char*, std::optional<platform::ExecutableImage::Section>>> sects = {
        {"__text", elf.section(".text")}, {"__eh_frame", elf.section(".eh_frame")}};
    std::erase_if(sects, [](const auto& s) { return !s.second; });
    const auto span = elf.textSegment();
    const std::uint32_t nsects = static_cast<std::uint32_t>(sects.size());
    if (is64) {
      append32(commands, kCTRMachOLoadCommandSegment64);
      append32(commands, kSegmentCommandSize64 + nsects * kSectionSize64);
      appendName16(commands, "__TEXT");
      append64(commands, span.address);
      append64(commands, span.size);
      append64(commands, 0);  // fileoff
      append64(commands, 0);  // filesize
      append32(commands, 5);  // r-x
      append32(commands, 5);
      append32(commands, nsects);
      append32(commands, 0);
      for (const auto& [name, s] : sects) {
        appendName16(commands, name);
        appendName16(commands, "__TEXT");
        append64(commands, s->address);
        append64(commands, s->size);
        append32(commands, static_cast<std::uint32_t>(s->offset));
        for (int i = 0; i < 7; ++i) append32(commands, 0);
      }
    } else {
      append32(commands, kCTRMachOLoadCommandSegment);
      append32(commands, kSegmentCommandSize32 + nsects * kSectionSize32);
      appendName16(commands, "__TEXT");
      append32(commands, static_cast<std::uint32_t>(span.address));
      append32(commands, static_cast<std::uint32_t>(span.size));
      append32(commands, 0);
      append32(commands, 0);
      append32(commands, 5);
      append32(commands, 5);
      append32(commands, nsects);
      append32(commands, 0);
      for (const auto& [name, s] : sects) {
        appendName16(commands, name);
        appendName16(commands, "__TEXT");
        append32(commands, static_cast<std::uint32_t>(s->address));
        append32(commands, static_cast<std::uint32_t>(s->size));
        append32(commands, static_cast<std::uint32_t>(s->offset));
        for (int i = 0; i < 6; ++i) append32(commands, 0);
      }
    }
    ++ncmds;
  }
  if (elf.hasUUID()) {
    append32(commands, kCTRMachOLoadCommandUUID);
    append32(commands, 24);
    const auto b = elf.uuid().bytes();
    commands.insert(commands.end(), b.begin(), b.end());
    ++ncmds;
  }
  if (!elf.minimumOSVersion().isZero() || !elf.linkedLibraryVersion().isZero()) {
    append32(commands, kCTRMachOLoadCommandVersionMinMacOSX);
    append32(commands, 16);
    append32(commands, packVersion(elf.minimumOSVersion()));
    append32(commands, packVersion(elf.linkedLibraryVersion()));
    ++ncmds;
  }
  for (const auto& name : elf.neededLibraries()) {
    const std::uint32_t size =
        static_cast<std::uint32_t>((24 + name.size() + 1 + 7) & ~std::size_t{7});
    append32(commands, kCTRMachOLoadCommandLoadDylib);
    append32(commands, size);
    append32(commands, 24);  // name offset
    append32(commands, 0);   // timestamp
    append32(commands, 0);   // current version
    append32(commands, 0);   // compatibility version
    std::size_t start = commands.size();
    commands.insert(commands.end(), name.begin(), name.end());
    commands.resize(start + (size - 24), 0);
    ++ncmds;
  }

  std::vector<std::uint8_t> image;
  append32(image, is64 ? kCTRMachOMagic64 : kCTRMachOMagic);
  append32(image, static_cast<std::uint32_t>(cputype));
  append32(image, static_cast<std::uint32_t>(cpusubtype));
  append32(image, 2);  // MH_EXECUTE
  append32(image, ncmds);
  append32(image, static_cast<std::uint32_t>(commands.size()));
  append32(image, 0);  // flags
  if (is64) append32(image, 0);
  image.insert(image.end(), commands.begin(), commands.end());
  return image;
}

const RunningImage* runningImage() {
  static std::once_flag once;
  static const RunningImage* image = nullptr;  // kept for the life of the process
  std::call_once(once, [] {
    auto elf = platform::ExecutableImage::running();
    if (!elf) return;
    auto* made = new RunningImage;
    made->elf = elf;
    made->bytes = buildImage(*elf);
    image = made;
  });
  return image;
}

// ---------------------------------------------------------------------------
// Architecture names: the table the system's architecture look-up uses.

struct ArchName {
  int cputype;
  int cpusubtype;
  const char* name;
};

constexpr ArchName kArchNames[] = {
    {kCTRMachOCPUTypeX86, 3, "i386"},
    {kCTRMachOCPUTypeX86, 4, "i486"},
    {kCTRMachOCPUTypeX86, 0x84, "i486SX"},
    {kCTRMachOCPUTypeX86, 5, "pentium"},
    {kCTRMachOCPUTypeX86, 0x16, "pentpro"},
    {kCTRMachOCPUTypeX86, 0x36, "pentIIm3"},
    {kCTRMachOCPUTypeX86, 0x56, "pentIIm5"},
    {kCTRMachOCPUTypeX86, 0x0a, "pentium4"},
    {kCTRMachOCPUTypeX86_64, 3, "x86_64"},
    {kCTRMachOCPUTypeX86_64, 8, "x86_64h"},
    {kCTRMachOCPUTypeARM, 0, "arm"},
    {kCTRMachOCPUTypeARM, 5, "armv4t"},
    {kCTRMachOCPUTypeARM, 6, "armv6"},
    {kCTRMachOCPUTypeARM, 7, "armv5"},
    {kCTRMachOCPUTypeARM, 8, "xscale"},
    {kCTRMachOCPUTypeARM, 9, "armv7"},
    {kCTRMachOCPUTypeARM, 10, "armv7f"},
    {kCTRMachOCPUTypeARM, 11, "armv7s"},
    {kCTRMachOCPUTypeARM, 12, "armv7k"},
    {kCTRMachOCPUTypeARM, 14, "armv6m"},
    {kCTRMachOCPUTypeARM, 15, "armv7m"},
    {kCTRMachOCPUTypeARM, 16, "armv7em"},
    {kCTRMachOCPUTypeARM, 13, "armv8"},
    {kCTRMachOCPUTypeARM64, 0, "arm64"},
    {kCTRMachOCPUTypeARM64, 1, "arm64v8"},
    {kCTRMachOCPUTypeARM64, 2, "arm64e"},
    {kCTRMachOCPUTypePowerPC, 0, "ppc"},
    {kCTRMachOCPUTypePowerPC, 1, "ppc601"},
    {kCTRMachOCPUTypePowerPC, 3, "ppc603"},
    {kCTRMachOCPUTypePowerPC, 4, "ppc603e"},
    {kCTRMachOCPUTypePowerPC, 5, "ppc603ev"},
    {kCTRMachOCPUTypePowerPC, 6, "ppc604"},
    {kCTRMachOCPUTypePowerPC, 7, "ppc604e"},
    {kCTRMachOCPUTypePowerPC, 9, "ppc750"},
    {kCTRMachOCPUTypePowerPC, 10, "ppc7400"},
    {kCTRMachOCPUTypePowerPC, 11, "ppc7450"},
    {kCTRMachOCPUTypePowerPC, 100, "ppc970"},
    {kCTRMachOCPUTypePowerPC64, 0, "ppc64"},
    {kCTRMachOCPUTypePowerPC64, 100, "ppc970-64"},
    {6, 0, "m68k"},
    {6, 2, "m68040"},
    {6, 3, "m68030"},
    {11, 0, "hppa"},
    {13, 0, "m88k"},
    {14, 0, "sparc"},
    {15, 0, "i860"},
};

const char* archTableName(int cputype, int cpusubtype) {
  const int subtype = cpusubtype & 0x00ffffff;  // without the capability bits
  for (const auto& a : kArchNames) {
    if (a.cputype == cputype && a.cpusubtype == subtype) return a.name;
  }
  return nullptr;
}

// Walks the LC_SEGMENT(_64) commands of a slice for a section; false when
// absent. `sectionOut` receives the section's fields.
bool lookUpSection(const CTRMachOSlice* slice, const char* segmentName, const char* sectionName,
                   CTRMachOSection* sectionOut) {
  if (!slice || !slice->startAddress || !segmentName || !sectionName) return false;
  CTRMachOSlice copy = *slice;
  const std::uint32_t magic = read32(copy.startAddress, 0);
  const bool is64 = magic == kCTRMachOMagic64;
  bool found = false;
  CTRMachOSliceEnumerateLoadCommands(&copy, [&](std::uint32_t type, std::uint32_t size,
                                                const void* command) {
    if (found) return;
    const std::uint32_t want = is64 ? kCTRMachOLoadCommandSegment64 : kCTRMachOLoadCommandSegment;
    if (type != want) return;
    const std::uint32_t head = is64 ? kSegmentCommandSize64 : kSegmentCommandSize32;
    const std::uint32_t each = is64 ? kSectionSize64 : kSectionSize32;
    if (size < head) return;
    const std::uint32_t nsects = read32(command, is64 ? 64 : 48);
    const std::uint32_t fits = (size - head) / each;
    const auto* base = static_cast<const std::uint8_t*>(command) + head;
    for (std::uint32_t i = 0; i < std::min(nsects, fits); ++i) {
      const auto* s = base + std::size_t{i} * each;
      if (std::strncmp(reinterpret_cast<const char*>(s), sectionName, 16) != 0) continue;
      if (std::strncmp(reinterpret_cast<const char*>(s + 16), segmentName, 16) != 0) continue;
      if (is64) {
        sectionOut->address = read64(s, 32);
        sectionOut->size = read64(s, 40);
        sectionOut->offset = read32(s, 48);
      } else {
        sectionOut->address = read32(s, 32);
        sectionOut->size = read32(s, 36);
        sectionOut->offset = read32(s, 40);
      }
      found = true;
      return;
    }
  });
  return found;
}

}  // namespace

// ---------------------------------------------------------------------------
// Files

bool CTRMachOFileInitWithPath(CTRMachOFile* file, const char* path) {
  if (!file || !path) return false;
  *file = CTRMachOFile{};
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 16) {
    ::close(fd);
    return false;
  }
  void* mapping =
      ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
  if (mapping == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  file->fd = fd;
  file->mappedSize = static_cast<std::uint64_t>(st.st_size);
  file->mappedFile = mapping;
  return true;
}

bool CTRMachOFileInitWithCurrent(CTRMachOFile* file) {
  if (!file) return false;
  *file = CTRMachOFile{};
  const RunningImage* image = runningImage();
  if (!image || image->bytes.size() < 16) return false;
  const std::size_t size = image->bytes.size();
  void* mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return false;
  std::memcpy(mapping, image->bytes.data(), size);
  ::mprotect(mapping, size, PROT_READ);
  file->fd = -1;
  file->mappedSize = size;
  file->mappedFile = mapping;
  return true;
}

void CTRMachOFileDestroy(CTRMachOFile* file) {
  if (!file) return;
  if (file->mappedFile) ::munmap(const_cast<void*>(file->mappedFile), file->mappedSize);
  if (file->fd >= 0) ::close(file->fd);
  *file = CTRMachOFile{};
}

void CTRMachOFileEnumerateSlices(const CTRMachOFile* file, CTRMachOSliceBlock block) {
  if (!file || !file->mappedFile) return;
  CTRMachOEnumerateSlicesAtAddress(file->mappedFile, block, file->mappedSize);
}

void CTRMachOEnumerateSlicesAtAddress(const void* header, CTRMachOSliceBlock block,
                                      std::uint64_t size) {
  if (!header || !block) return;
  if (size != 0 && size < 4) return;
  const std::uint32_t magic = read32(header, 0);
  if (magic == kCTRMachOFatMagic || magic == kCTRMachOFatCigam) {
    if (size != 0 && size < kFatHeaderSize) return;
    std::uint32_t count = readBig32(header, 4);
    if (size != 0) {
      count = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(count, (size - kFatHeaderSize) / kFatArchSize));
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t entry = kFatHeaderSize + std::size_t{i} * kFatArchSize;
      CTRMachOSlice slice;
      slice.cputype = static_cast<int>(readBig32(header, entry));
      slice.cpusubtype = static_cast<int>(readBig32(header, entry + 4));
      const std::uint64_t offset = readBig32(header, entry + 8);
      const std::uint64_t length = readBig32(header, entry + 12);
      if (size != 0) {
        // An entry whose bytes are not all in the file would send the walks
        // outside the mapping: leave it out.
        if (offset >= size || length > size - offset || length < 4) continue;
        slice.size = length;
      }
      slice.startAddress = static_cast<const std::uint8_t*>(header) + offset;
      block(slice);
    }
    return;
  }
  CTRMachOSlice slice;
  slice.startAddress = header;
  slice.size = size;
  if (isHostMachO(magic) && (size == 0 || size >= 12)) {
    slice.cputype = static_cast<int>(read32(header, 4));
    slice.cpusubtype = static_cast<int>(read32(header, 8));
  } else if (isSwappedMachO(magic) && (size == 0 || size >= 12)) {
    slice.cputype = static_cast<int>(__builtin_bswap32(read32(header, 4)));
    slice.cpusubtype = static_cast<int>(__builtin_bswap32(read32(header, 8)));
  }
  block(slice);
}

CTRMachOSlice CTRMachOFileSliceWithArchitectureName(const CTRMachOFile* file, const char* name) {
  CTRMachOSlice result;
  if (!name) return result;
  CTRMachOFileEnumerateSlices(file, [&](CTRMachOSlice slice) {
    if (std::strcmp(CTRMachOSliceGetArchitectureName(&slice), name) == 0) result = slice;
  });
  return result;
}

// ---------------------------------------------------------------------------
// Slices

CTRMachOSlice CTRMachOSliceForRunningExecutable() {
  CTRMachOSlice slice;
  const RunningImage* image = runningImage();
  if (!image) return slice;
  slice.startAddress = image->bytes.data();
  slice.size = image->bytes.size();
  hostArchitecture(&slice.cputype, &slice.cpusubtype);
  return slice;
}

const char* CTRMachOSliceGetImagePath(const CTRMachOSlice* slice) {
  if (!slice || !slice->startAddress) return nullptr;
  const RunningImage* image = runningImage();
  if (image && slice->startAddress == image->bytes.data()) return image->elf->path().c_str();
  Dl_info info{};
  if (::dladdr(slice->startAddress, &info) == 0 || !info.dli_fname) return nullptr;
  return info.dli_fname;
}

CTRMachOSlice CTRMachOSliceWithHeader(const void* header) {
  CTRMachOSlice slice;
  slice.startAddress = header;
  return slice;
}

bool CTRMachOSliceIs64Bit(const CTRMachOSlice* slice) {
  return slice && (slice->cputype & kCTRMachOCPUArchABI64) != 0;
}

const char* CTRMachOSliceGetArchitectureName(const CTRMachOSlice* slice) {
  if (!slice) return "unknown";
  if (slice->cputype == kCTRMachOCPUTypeARM64 && slice->cpusubtype == 0) return "arm64";
  if (slice->cputype == kCTRMachOCPUTypeARM && slice->cpusubtype == 11) return "armv7s";
  if (slice->cputype == kCTRMachOCPUTypeARM && slice->cpusubtype == 12) return "armv7k";
  const char* name = archTableName(slice->cputype, slice->cpusubtype);
  return name ? name : "unknown";
}

void CTRMachOSliceEnumerateLoadCommands(CTRMachOSlice* slice, CTRMachOLoadCommandBlock block) {
  if (!slice || !block || !slice->startAddress) return;
  if (slice->size != 0 && slice->size < kHeaderSize32) return;
  const std::uint32_t magic = read32(slice->startAddress, 0);
  if (!isHostMachO(magic)) return;
  const std::uint32_t headerSize = headerSizeFor(magic);
  if (slice->size != 0 && slice->size < headerSize) return;
  slice->cputype = static_cast<int>(read32(slice->startAddress, 4));
  slice->cpusubtype = static_cast<int>(read32(slice->startAddress, 8));
  const std::uint32_t ncmds = read32(slice->startAddress, 16);
  const std::uint32_t sizeofcmds = read32(slice->startAddress, 20);
  std::uint64_t limit = std::uint64_t{headerSize} + sizeofcmds;
  if (slice->size != 0) limit = std::min(limit, slice->size);
  std::uint64_t offset = headerSize;
  const auto* base = static_cast<const std::uint8_t*>(slice->startAddress);
  for (std::uint32_t i = 0; i < ncmds; ++i) {
    if (offset + 8 > limit) return;
    const std::uint32_t type = read32(base, offset);
    const std::uint32_t size = read32(base, offset + 4);
    // A command smaller than its own head would loop forever or overlap
    // the next one; one past the end would read outside the image.
    if (size < 8 || offset + size > limit) return;
    block(type, size, base + offset);
    offset += size;
  }
}

bool CTRMachOSliceFindSection(const CTRMachOSlice* slice, const char* segmentName,
                              const char* sectionName, CTRMachOSection* out) {
  if (!out) return false;
  *out = CTRMachOSection{};
  CTRMachOSection found;
  if (!lookUpSection(slice, segmentName, sectionName, &found)) return false;
  *out = found;
  return true;
}

bool CTRMachOSliceFindSectionData(const CTRMachOSlice* slice, const char* segmentName,
                                  const char* sectionName, const void** out) {
  if (!out) return false;
  *out = nullptr;
  CTRMachOSection section;
  if (!lookUpSection(slice, segmentName, sectionName, &section)) return false;
  if (slice->size != 0 &&
      (section.offset > slice->size || section.size > slice->size - section.offset)) {
    return false;
  }
  *out = static_cast<const std::uint8_t*>(slice->startAddress) + section.offset;
  return true;
}

void CTRMachOSliceGetUnwindInfoAddresses(const CTRMachOSlice* slice, std::uint64_t* ehFrame,
                                         std::uint64_t* unwindInfo) {
  if (!slice || !slice->startAddress || (!ehFrame && !unwindInfo)) return;
  // The loaded images with a Mach-O header: on Linux only the running
  // executable's image of facts, whose slide is the program's load bias.
  const RunningImage* image = runningImage();
  if (!image || slice->startAddress != image->bytes.data()) return;
  const std::uint64_t slide = image->elf->loadBias();
  CTRMachOSection section;
  if (unwindInfo && lookUpSection(slice, "__TEXT", "__unwind_info", &section)) {
    *unwindInfo = section.address + slide;
  }
  if (ehFrame && lookUpSection(slice, "__TEXT", "__eh_frame", &section)) {
    *ehFrame = section.address + slide;
  }
}

// ---------------------------------------------------------------------------
// Decoders

// The decoders read only inside the command: its own cmdsize must hold the
// fields they read, since the walk vouches for nothing beyond cmdsize.
namespace {
bool commandHolds(const void* command, std::uint32_t bytes) {
  return command && read32(command, 4) >= bytes;
}
}  // namespace

const std::uint8_t* CTRMachOGetUUID(const void* command) {
  if (!commandHolds(command, 24)) return nullptr;
  return static_cast<const std::uint8_t*>(command) + 8;
}

const char* CTRMachOGetDylibName(const void* command) {
  if (!command) return nullptr;
  const std::uint32_t size = read32(command, 4);
  const std::uint32_t offset = read32(command, 8);
  if (size < 12 || offset < 12 || offset >= size) return nullptr;
  const auto* name = static_cast<const char*>(command) + offset;
  if (!std::memchr(name, 0, size - offset)) return nullptr;
  return name;
}

bool CTRMachOIsEncrypted(const void* command) {
  if (!commandHolds(command, 20)) return false;
  return read32(command, 16) != 0;
}

CTRMachOVersion CTRMachOUnpackVersion(std::uint32_t packed) {
  return CTRMachOVersion{packed >> 16, (packed >> 8) & 0xff, packed & 0xff};
}

CTRMachOVersion CTRMachOGetMinimumOSVersion(const void* command) {
  if (!commandHolds(command, 16)) return {};
  return CTRMachOUnpackVersion(read32(command, 8));
}

CTRMachOVersion CTRMachOGetLinkedSDKVersion(const void* command) {
  if (!commandHolds(command, 16)) return {};
  return CTRMachOUnpackVersion(read32(command, 12));
}

CTRMachOSegmentCommand CTRMachOGetSegmentCommand(const void* command) {
  CTRMachOSegmentCommand result;
  if (!command) return result;
  const std::uint32_t type = read32(command, 0);
  const std::uint32_t size = read32(command, 4);
  if (type == kCTRMachOLoadCommandSegment64 && size >= kSegmentCommandSize64) {
    std::memcpy(result.segmentName, static_cast<const std::uint8_t*>(command) + 8, 16);
    result.vmaddr = read64(command, 24);
    result.vmsize = read64(command, 32);
  } else if (type == kCTRMachOLoadCommandSegment && size >= kSegmentCommandSize32) {
    std::memcpy(result.segmentName, static_cast<const std::uint8_t*>(command) + 8, 16);
    result.vmaddr = read32(command, 24);
    result.vmsize = read32(command, 28);
  }
  return result;
}

std::string CTRMachONormalizedUUIDString(const std::uint8_t* uuid) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  if (!uuid) return text;
  text.resize(32);
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kDigits[uuid[i] >> 4];
    text[2 * i + 1] = kDigits[uuid[i] & 0xf];
  }
  return text;
}

std::optional<std::string> CTRMachOFormatVersion(const CTRMachOVersion* version) {
  if (!version) return std::nullopt;
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%d.%d.%d", static_cast<int>(version->major),
                static_cast<int>(version->minor), static_cast<int>(version->patch));
  return std::string(buffer);
}

}  // namespace sdk
