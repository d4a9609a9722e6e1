// sdk::CTRSymbolResolver: names the addresses of a crash report with the
// symbols of the images loaded in the current process.
//
// A report's binary-images record ("binary_images.clsrecord") lists every
// image that the crashed process loaded ("load" lines: "path", "uuid",
// "base", "size"). An address of the crashed process is placed in its image,
// moved to the image with the same UUID (GNU build-id) that is loaded now,
// and dladdr names the symbol there; the image file's own symbol table
// (ctr_symbol_table.h) names the functions that dladdr cannot see. An image that is not loaded now
// (another build of the program, a library that is gone) leaves its frames
// unresolved.
//
// Guarantees:
//  1. Nothing is cached between resolvers (the pipeline makes one per
//     report); within one, each UUID's load address and each image file's
//     symbol table are looked up once.
//  2. A return address that equals the first byte of a symbol is looked up
//     2 bytes earlier (a call as the last instruction of the function
//     before), and the offset is measured from there.
//  3. The images are kept sorted by "base" (ascending); the lookup takes the
//     first image, in that order, that holds the address.
//
// Thread safety: one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "sdk/crash/ctr_stack_frame.h"
#include "sdk/crash/ctr_symbol_table.h"

namespace sdk {

struct CTRBinaryImageDetails;

class CTRSymbolResolver {
 public:
  using Ptr = std::shared_ptr<CTRSymbolResolver>;
  static Ptr create() { return std::make_shared<CTRSymbolResolver>(); }
  virtual ~CTRSymbolResolver() = default;

  // Reads the "load" lines of the binary-images record at `path` (those with
  // "base" and "size", both not null) and sorts them by base. False for an
  // empty path or a file without any readable line (logged to the console
  // as "[Crashtrail:Crash:SymbolResolver] failed to read binary image file
  // <path>"); true otherwise, also when no "load" line was found.
  bool loadBinaryImagesFromFile(const std::string& path);
  // The image dictionaries, sorted by "base".
  const std::vector<platform::Value>& binaryImages() const { return binaryImages_; }

  // The first image (by base) with base <= address < base + size; None
  // when there is none.
  platform::Value loadedBinaryImageForPC(std::uint64_t address) const;

  // The binary image table's details of the image with UUID `uuid` loaded
  // in the current process; false when there is none.
  bool fillInImageDetails(CTRBinaryImageDetails* details, const std::string& uuid) const;
  // The load address in the current process of the image whose UUID is
  // `uuid` (through fillInImageDetails); false when no such image is loaded
  // now. Virtual so that a test can stand in another process's view.
  virtual bool loadAddressForUUID(const std::string& uuid, std::uint64_t* loadAddress) const;

  // A new frame for `address`, resolved; nullptr when it cannot be.
  CTRStackFrame::Ptr frameForAddress(std::uint64_t address) const;
  // Fills symbol, raw symbol, offset and library of `frame` (see the header
  // comment). False for address 0, an address in no listed image, an image
  // not loaded now, or a failed dladdr; the frame is then unchanged.
  // `returnAddress` says the address is one a call pushed (every frame but
  // a thread's frame 0): an address exactly at a symbol's start is then
  // looked up just before it, in the caller whose last instruction was the
  // call. A thread's frame 0 is the instruction that was running, looked up
  // as it is (a fault at a function's first instruction names that function).
  bool updateStackFrame(CTRStackFrame& frame, bool returnAddress = true) const;

 private:
  struct ResolvedSymbol {
    std::optional<std::string> name;
    std::uint64_t start = 0;
  };
  // dladdr for `address` of the current process, completed by the image
  // file's symbol table; nullopt when no loaded image holds the address.
  std::optional<ResolvedSymbol> symbolForAddress(std::uint64_t address) const;

  std::vector<platform::Value> binaryImages_;
  // The symbol tables read so far, by image file (one report's worth).
  mutable std::map<std::string, std::shared_ptr<const CTRSymbolTable>> symbolTables_;
  // Load addresses found so far, by UUID (0: not loaded now).
  mutable std::map<std::string, std::uint64_t> loadAddresses_;
};

}  // namespace sdk
