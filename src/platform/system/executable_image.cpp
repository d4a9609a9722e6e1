#include "platform/system/executable_image.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <mutex>
#include <optional>
#include <tuple>
#include <vector>

namespace platform {

// Reads one ELF image held in memory. Every read is checked against the
// image's size; a bad table is left out.
class ExecutableImageReader {
 public:
  ExecutableImageReader(std::string_view bytes, ExecutableImage& image)
      : b_(bytes), image_(image) {}

  bool read() {
    if (b_.size() < EI_NIDENT || std::memcmp(b_.data(), ELFMAG, SELFMAG) != 0) return false;
    const unsigned char cls = static_cast<unsigned char>(b_[EI_CLASS]);
    const unsigned char data = static_cast<unsigned char>(b_[EI_DATA]);
    if (cls != ELFCLASS32 && cls != ELFCLASS64) return false;
    if (data != ELFDATA2LSB && data != ELFDATA2MSB) return false;
    is64_ = cls == ELFCLASS64;
    swap_ = (data == ELFDATA2LSB) != (std::endian::native == std::endian::little);
    if (b_.size() < (is64_ ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr))) return false;
    image_.is64Bit_ = is64_;
    image_.machine_ = u16(18);
    const std::uint64_t phoff = is64_ ? u64(32) : u32(28);
    const std::uint64_t shoff = is64_ ? u64(40) : u32(32);
    const std::uint16_t phentsize = u16(is64_ ? 54 : 42);
    const std::uint16_t phnum = u16(is64_ ? 56 : 44);
    const std::uint16_t shentsize = u16(is64_ ? 58 : 46);
    const std::uint16_t shnum = u16(is64_ ? 60 : 48);
    const std::uint16_t shstrndx = u16(is64_ ? 62 : 50);
    readProgramHeaders(phoff, phentsize, phnum);
    readSectionHeaders(shoff, shentsize, shnum, shstrndx);
    return true;
  }

 private:
  struct Segment {
    std::uint32_t type, flags;
    std::uint64_t offset, vaddr, filesz, memsz, align;
  };

  bool has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= b_.size() && length <= b_.size() - offset;
  }
  template <class T>
  T get(std::uint64_t offset) const {
    if (!has(offset, sizeof(T))) return 0;
    T v;
    std::memcpy(&v, b_.data() + offset, sizeof v);
    if (swap_) {
      if constexpr (sizeof(T) == 2) v = __builtin_bswap16(v);
      if constexpr (sizeof(T) == 4) v = __builtin_bswap32(v);
      if constexpr (sizeof(T) == 8) v = __builtin_bswap64(v);
    }
    return v;
  }
  std::uint16_t u16(std::uint64_t o) const { return get<std::uint16_t>(o); }
  std::uint32_t u32(std::uint64_t o) const { return get<std::uint32_t>(o); }
  std::uint64_t u64(std::uint64_t o) const { return get<std::uint64_t>(o); }
  // A word of the image's class: 8 bytes in ELF64, 4 in ELF32.
  std::uint64_t word(std::uint64_t o) const { return is64_ ? u64(o) : u32(o); }

  // A zero-terminated string inside [offset, limit); empty when unterminated.
  std::string_view string(std::uint64_t offset, std::uint64_t limit) const {
    limit = std::min<std::uint64_t>(limit, b_.size());
    if (offset >= limit) return {};
    const char* start = b_.data() + offset;
    const void* end = std::memchr(start, 0, limit - offset);
    if (!end) return {};
    return std::string_view(start, static_cast<const char*>(end) - start);
  }

  // The file offset of a link-time address, through the loadable segments.
  std::optional<std::uint64_t> fileOffset(std::uint64_t vaddr) const {
    for (const auto& s : segments_) {
      if (s.type != PT_LOAD) continue;
      if (vaddr >= s.vaddr && vaddr - s.vaddr < s.filesz) return s.offset + (vaddr - s.vaddr);
    }
    return std::nullopt;
  }

  void readProgramHeaders(std::uint64_t phoff, std::uint16_t entsize, std::uint16_t count) {
    const std::uint64_t need = is64_ ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
    if (entsize < need) return;
    for (std::uint16_t i = 0; i < count; ++i) {
      const std::uint64_t p = phoff + std::uint64_t{i} * entsize;
      if (!has(p, need)) return;
      Segment s;
      s.type = u32(p);
      if (is64_) {
        s.flags = u32(p + 4);
        s.offset = u64(p + 8);
        s.vaddr = u64(p + 16);
        s.filesz = u64(p + 32);
        s.memsz = u64(p + 40);
        s.align = u64(p + 48);
      } else {
        s.offset = u32(p + 4);
        s.vaddr = u32(p + 8);
        s.filesz = u32(p + 16);
        s.memsz = u32(p + 20);
        s.flags = u32(p + 24);
        s.align = u32(p + 28);
      }
      segments_.push_back(s);
    }
    bool first = true;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    for (const auto& s : segments_) {
      if (s.type != PT_LOAD) continue;
      if (first) start = s.vaddr, first = false;
      if (s.flags & PF_X) end = std::max(end, s.vaddr + s.memsz);
    }
    if (!first && end > start) image_.text_ = {start, end - start};
    for (const auto& s : segments_) {
      if (s.type == PT_NOTE) readNotes(s.offset, s.filesz, s.align == 8 ? 8 : 4);
    }
    for (const auto& s : segments_) {
      if (s.type == PT_DYNAMIC) readDynamic(s.offset, s.filesz);
    }
  }

  void readNotes(std::uint64_t offset, std::uint64_t size, std::uint64_t align) {
    if (!has(offset, size)) return;
    const auto pad = [align](std::uint64_t n) { return (n + align - 1) & ~(align - 1); };
    std::uint64_t p = offset;
    const std::uint64_t end = offset + size;
    while (p + 12 <= end) {
      const std::uint64_t namesz = u32(p);
      const std::uint64_t descsz = u32(p + 4);
      const std::uint32_t type = u32(p + 8);
      const std::uint64_t name = p + 12;
      if (namesz > end - name) return;
      const std::uint64_t desc = name + pad(namesz);
      if (desc > end || descsz > end - desc) return;
      const bool gnu = namesz == 4 && std::memcmp(b_.data() + name, "GNU", 4) == 0;
      if (gnu && type == NT_GNU_BUILD_ID && descsz > 0 && image_.buildID_.empty()) {
        const auto* d = reinterpret_cast<const std::uint8_t*>(b_.data() + desc);
        image_.buildID_.assign(d, d + descsz);
      } else if (gnu && type == NT_GNU_ABI_TAG && descsz >= 16 && u32(desc) == ELF_NOTE_OS_LINUX) {
        image_.minimumOS_ = {u32(desc + 4), u32(desc + 8), u32(desc + 12)};
      }
      p = desc + pad(descsz);
    }
  }

  void readDynamic(std::uint64_t offset, std::uint64_t size) {
    if (!has(offset, size)) return;
    const std::uint64_t entry = is64_ ? 16 : 8;
    std::vector<std::uint64_t> needed;
    std::uint64_t strtab = 0, strsz = 0, verneed = 0, verneednum = 0;
    bool haveStrtab = false;
    for (std::uint64_t p = offset; p + entry <= offset + size; p += entry) {
      const std::uint64_t tag = word(p);
      const std::uint64_t val = word(p + entry / 2);
      if (tag == DT_NULL) break;
      if (tag == DT_NEEDED) needed.push_back(val);
      if (tag == DT_STRTAB) strtab = val, haveStrtab = true;
      if (tag == DT_STRSZ) strsz = val;
      if (tag == DT_VERNEED) verneed = val;
      if (tag == DT_VERNEEDNUM) verneednum = val;
    }
    if (!haveStrtab) return;
    const auto strOffset = fileOffset(strtab);
    if (!strOffset) return;
    const std::uint64_t strEnd = *strOffset + strsz;
    for (std::uint64_t n : needed) {
      const auto name = string(*strOffset + n, strEnd);
      if (!name.empty()) image_.needed_.emplace_back(name);
    }
    if (verneed != 0) {
      if (const auto vn = fileOffset(verneed))
        readVersionNeeds(*vn, verneednum, *strOffset, strEnd);
    }
  }

  // Elf_Verneed and Elf_Vernaux have the same layout in both classes.
  void readVersionNeeds(std::uint64_t offset, std::uint64_t count, std::uint64_t strOffset,
                        std::uint64_t strEnd) {
    ExecutableImage::Version best;
    std::uint64_t p = offset;
    for (std::uint64_t i = 0; i < count && i < 4096; ++i) {
      if (!has(p, 16)) break;
      const std::uint16_t cnt = u16(p + 2);
      const std::uint32_t aux = u32(p + 8);
      const std::uint32_t next = u32(p + 12);
      std::uint64_t a = p + aux;
      for (std::uint16_t j = 0; j < cnt; ++j) {
        if (!has(a, 16)) break;
        const auto name = string(strOffset + u32(a + 8), strEnd);
        if (auto v = parseGlibcVersion(name)) {
          if (std::tie(v->major, v->minor, v->patch) >
              std::tie(best.major, best.minor, best.patch)) {
            best = *v;
          }
        }
        const std::uint32_t nextAux = u32(a + 12);
        if (nextAux == 0) break;
        a += nextAux;
      }
      if (next == 0) break;
      p += next;
    }
    image_.linkedLibrary_ = best;
  }

  static std::optional<ExecutableImage::Version> parseGlibcVersion(std::string_view name) {
    constexpr std::string_view kPrefix = "GLIBC_";
    if (!name.starts_with(kPrefix)) return std::nullopt;
    name.remove_prefix(kPrefix.size());
    std::uint32_t parts[3] = {0, 0, 0};
    for (int i = 0; i < 3 && !name.empty(); ++i) {
      auto [ptr, ec] = std::from_chars(name.data(), name.data() + name.size(), parts[i]);
      if (ec != std::errc() || ptr == name.data()) return std::nullopt;
      name.remove_prefix(ptr - name.data());
      if (name.empty()) break;
      if (name[0] != '.') return std::nullopt;
      name.remove_prefix(1);
    }
    if (!name.empty()) return std::nullopt;
    return ExecutableImage::Version{parts[0], parts[1], parts[2]};
  }

  void readSectionHeaders(std::uint64_t shoff, std::uint16_t entsize, std::uint16_t count,
                          std::uint16_t strndx) {
    const std::uint64_t need = is64_ ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    if (shoff == 0 || entsize < need || strndx >= count) return;
    if (!has(shoff, std::uint64_t{entsize} * count)) return;
    const auto field = [&](std::uint16_t i, int off64, int off32) {
      const std::uint64_t s = shoff + std::uint64_t{i} * entsize;
      return is64_ ? u64(s + off64) : std::uint64_t{u32(s + off32)};
    };
    const std::uint64_t namesOffset = field(strndx, 24, 16);
    const std::uint64_t namesSize = field(strndx, 32, 20);
    if (!has(namesOffset, namesSize)) return;
    for (std::uint16_t i = 0; i < count; ++i) {
      const std::uint64_t s = shoff + std::uint64_t{i} * entsize;
      const auto name = string(namesOffset + u32(s), namesOffset + namesSize);
      if (name.empty()) continue;
      ExecutableImage::Section section;
      section.name = std::string(name);
      section.address = field(i, 16, 12);
      section.offset = field(i, 24, 16);
      section.size = field(i, 32, 20);
      image_.sections_.push_back(std::move(section));
    }
  }

  std::string_view b_;
  ExecutableImage& image_;
  bool is64_ = false;
  bool swap_ = false;
  std::vector<Segment> segments_;
};

namespace {

int mainProgramBias(dl_phdr_info* info, std::size_t, void* out) {
  // The first object the loader lists is the main program.
  *static_cast<std::uint64_t*>(out) = info->dlpi_addr;
  return 1;
}

}  // namespace

UUID ExecutableImage::uuid() const {
  UUID::Bytes16 bytes{};
  std::copy_n(buildID_.begin(), std::min<std::size_t>(buildID_.size(), bytes.size()),
              bytes.begin());
  return UUID(bytes);
}

std::string ExecutableImage::architectureName() const {
  switch (machine_) {
    case EM_X86_64:
      return is64Bit_ ? "x86_64" : "x32";
    case EM_386:
      return "i386";
    case EM_AARCH64:
      return "arm64";
    case EM_ARM:
      return "arm";
    case EM_PPC64:
      return "ppc64";
    case EM_PPC:
      return "ppc";
    default:
      return "unknown";
  }
}

std::optional<ExecutableImage::Section> ExecutableImage::section(std::string_view name) const {
  for (const auto& s : sections_) {
    if (s.name == name) return s;
  }
  return std::nullopt;
}

std::shared_ptr<const ExecutableImage> ExecutableImage::parse(std::string_view bytes,
                                                              std::string path) {
  auto image = std::make_shared<ExecutableImage>();
  image->path_ = std::move(path);
  ExecutableImageReader reader(bytes, *image);
  if (!reader.read()) return nullptr;
  return image;
}

std::shared_ptr<const ExecutableImage> ExecutableImage::readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
    ::close(fd);
    return nullptr;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (mapping == MAP_FAILED) return nullptr;
  auto image = parse(std::string_view(static_cast<const char*>(mapping), size), path);
  ::munmap(mapping, size);
  return image;
}

std::shared_ptr<const ExecutableImage> ExecutableImage::running() {
  static std::once_flag once;
  static std::shared_ptr<const ExecutableImage> image;
  std::call_once(once, [] {
    std::string path = "/proc/self/exe";
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0) path.assign(buffer, static_cast<std::size_t>(n));
    auto read = readFile("/proc/self/exe");
    if (!read) return;
    auto made = std::make_shared<ExecutableImage>(*read);
    made->path_ = path;
    std::uint64_t bias = 0;
    ::dl_iterate_phdr(mainProgramBias, &bias);
    made->loadBias_ = bias;
    image = std::move(made);
  });
  return image;
}

}  // namespace platform
