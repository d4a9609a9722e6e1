#include "sdk/crash/ctr_symbol_table.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace sdk {
namespace {

class FileReader {
 public:
  explicit FileReader(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat st {};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
      size_ = static_cast<std::uint64_t>(st.st_size);
    }
  }
  ~FileReader() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Reads exactly `length` bytes at `offset`; false when they are not all
  // inside the file.
  bool read(std::uint64_t offset, void* out, std::uint64_t length) const {
    if (fd_ < 0 || offset > size_ || length > size_ - offset) return false;
    auto* bytes = static_cast<char*>(out);
    std::uint64_t done = 0;
    while (done < length) {
      const ssize_t n =
          ::pread(fd_, bytes + done, length - done, static_cast<off_t>(offset + done));
      if (n <= 0) return false;
      done += static_cast<std::uint64_t>(n);
    }
    return true;
  }

 private:
  int fd_;
  std::uint64_t size_ = 0;
};

bool isFunction(const Elf64_Sym& symbol) {
  const unsigned type = ELF64_ST_TYPE(symbol.st_info);
  return (type == STT_FUNC || type == STT_GNU_IFUNC) && symbol.st_shndx != SHN_UNDEF &&
         symbol.st_value != 0;
}

}  // namespace

std::shared_ptr<const CTRSymbolTable> CTRSymbolTable::readFile(const std::string& path) {
  auto table = std::make_shared<CTRSymbolTable>();
  const FileReader file(path);
  Elf64_Ehdr header{};
  if (!file.read(0, &header, sizeof header)) return table;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_shentsize != sizeof(Elf64_Shdr)) {
    return table;
  }
  table->fixedAddress_ = header.e_type == ET_EXEC;

  std::vector<Elf64_Shdr> sections(header.e_shnum);
  if (sections.empty() ||
      !file.read(header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr))) {
    return table;
  }
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_type != SHT_SYMTAB || section.sh_entsize != sizeof(Elf64_Sym)) continue;
    if (section.sh_link >= sections.size()) continue;
    const Elf64_Shdr& strings = sections[section.sh_link];
    std::string names(strings.sh_size, '\0');
    if (names.empty() || !file.read(strings.sh_offset, names.data(), names.size())) continue;
    std::vector<Elf64_Sym> symbols(section.sh_size / sizeof(Elf64_Sym));
    if (symbols.empty() ||
        !file.read(section.sh_offset, symbols.data(), symbols.size() * sizeof(Elf64_Sym))) {
      continue;
    }
    for (const Elf64_Sym& symbol : symbols) {
      if (!isFunction(symbol) || symbol.st_name >= names.size()) continue;
      const char* name = names.c_str() + symbol.st_name;
      const std::size_t length = ::strnlen(name, names.size() - symbol.st_name);
      if (length == 0) continue;
      table->symbols_.push_back({std::string(name, length), symbol.st_value, symbol.st_size});
    }
  }
  std::sort(table->symbols_.begin(), table->symbols_.end(), [](const Symbol& a, const Symbol& b) {
    return a.address != b.address ? a.address < b.address : a.size > b.size;
  });
  return table;
}

std::optional<CTRSymbolTable::Symbol> CTRSymbolTable::symbolForAddress(
    std::uint64_t address) const {
  // The symbols that start at or below the address, nearest first.
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), address,
                             [](std::uint64_t a, const Symbol& s) { return a < s.address; });
  const Symbol* unsized = nullptr;
  while (it != symbols_.begin()) {
    --it;
    if (it->size != 0) {
      if (address - it->address < it->size) return *it;
    } else if (unsized == nullptr) {
      unsized = &*it;
    }
    // Functions do not nest: a sized symbol that ends below the address
    // ends the search among the nearer ones.
    if (it->size != 0) break;
  }
  if (unsized != nullptr) return *unsized;
  return std::nullopt;
}

}  // namespace sdk
