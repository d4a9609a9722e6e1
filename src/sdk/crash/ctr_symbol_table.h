// sdk::CTRSymbolTable: the function symbols of an ELF image file, for
// naming addresses that the dynamic loader's dladdr cannot name.
//
// dladdr sees only an image's dynamic symbols; a program's own functions are
// usually not among them (they are exported only when the program is linked
// to export them), so most frames of a crash would stay nameless. The image
// file's full symbol table (".symtab", present unless the file was
// stripped) names them. Only 64-bit ELF files are read.
//
// Guarantees:
//  1. Every offset, size and count read from the file is checked against the
//     file's size; a truncated or malformed file gives an empty table, never
//     a read outside the file.
//  2. Look-ups answer the function symbol that contains the address (start
//     <= address < start + size); with none, the nearest function symbol
//     below it that has no size; else nothing.
//
// Thread safety: a table is immutable once read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sdk {

class CTRSymbolTable {
 public:
  struct Symbol {
    std::string name;
    std::uint64_t address = 0;  // link-time address (add the load bias in memory)
    std::uint64_t size = 0;
  };

  // Reads the ".symtab" of the ELF file at `path`; an empty table when the
  // file cannot be read or has none.
  static std::shared_ptr<const CTRSymbolTable> readFile(const std::string& path);

  // Whether the file is a fixed-address executable (ET_EXEC): its symbol
  // addresses are run-time addresses (load bias 0).
  bool isFixedAddress() const { return fixedAddress_; }
  bool empty() const { return symbols_.empty(); }
  std::size_t count() const { return symbols_.size(); }

  // The symbol for a link-time address (guarantee 2).
  std::optional<Symbol> symbolForAddress(std::uint64_t address) const;

 private:
  std::vector<Symbol> symbols_;  // sorted by address
  bool fixedAddress_ = false;
};

}  // namespace sdk
