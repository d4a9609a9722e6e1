#include "sdk/crash/ctr_symbol_resolver.h"

#include <dlfcn.h>

#include <algorithm>

#include "sdk/crash/capture/ctr_binary_image.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

// A return address at the very start of a symbol belongs to the call at the
// end of the function before it; looking 2 bytes back lands inside that call.
constexpr std::uint64_t kReturnAddressAdjustment = 2;

bool isPresent(const platform::Value& value) { return !value.isNone() && !value.isNull(); }

std::string lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || path.size() == 1) return std::string(path);
  return std::string(path.substr(slash + 1));
}

}  // namespace

std::optional<CTRSymbolResolver::ResolvedSymbol> CTRSymbolResolver::symbolForAddress(
    std::uint64_t address) const {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), &info) == 0) {
    return std::nullopt;
  }
  ResolvedSymbol result;
  if (info.dli_sname != nullptr) {
    result.name = std::string(info.dli_sname);
    result.start = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
  }
  // The image file's full symbol table names what dladdr cannot (functions
  // that the image does not export) and may know a nearer symbol.
  const auto base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  const std::string path = (info.dli_fname != nullptr && info.dli_fname[0] == '/')
                               ? std::string(info.dli_fname)
                               : std::string("/proc/self/exe");
  std::shared_ptr<const CTRSymbolTable>& table = symbolTables_[path];
  if (!table) table = CTRSymbolTable::readFile(path);
  const std::uint64_t bias = table->isFixedAddress() ? 0 : base;
  if (!table->empty() && address >= bias) {
    const std::optional<CTRSymbolTable::Symbol> found = table->symbolForAddress(address - bias);
    if (found && (!result.name || found->address + bias > result.start)) {
      result.name = found->name;
      result.start = found->address + bias;
    }
  }
  return result;
}

bool CTRSymbolResolver::loadBinaryImagesFromFile(const std::string& path) {
  if (path.empty()) return false;
  const platform::Value sections = CTRFileReadSections(path.c_str(), false);
  if (sections.count() == 0) {
    BCNConsoleLog("[Crashtrail:Crash:SymbolResolver] failed to read binary image file %@", path);
    return false;
  }
  for (std::size_t i = 0; i < sections.count(); ++i) {
    const platform::Value load = sections[i]["load"];
    if (!load.isDictionary()) continue;
    if (!isPresent(load["base"]) || !isPresent(load["size"])) continue;
    binaryImages_.push_back(load);
  }
  std::stable_sort(binaryImages_.begin(), binaryImages_.end(),
                   [](const platform::Value& a, const platform::Value& b) {
                     return a["base"].asUInt64() < b["base"].asUInt64();
                   });
  return true;
}

platform::Value CTRSymbolResolver::loadedBinaryImageForPC(std::uint64_t address) const {
  for (const platform::Value& image : binaryImages_) {
    const std::uint64_t base = image["base"].asUInt64();
    const std::uint64_t size = image["size"].asUInt64();
    if (base > address) break;  // sorted: no later image can start at or below it
    // Subtraction instead of base + size, which a corrupt record could wrap.
    if (address - base < size) return image;
  }
  return platform::Value();
}

bool CTRSymbolResolver::fillInImageDetails(CTRBinaryImageDetails* details,
                                           const std::string& uuid) const {
  if (details == nullptr || uuid.empty()) return false;
  return CTRBinaryImageFindImageForUUID(uuid.c_str(), details);
}

bool CTRSymbolResolver::loadAddressForUUID(const std::string& uuid,
                                           std::uint64_t* loadAddress) const {
  // Every frame asks; the answer for a UUID does not change within a report.
  auto known = loadAddresses_.find(uuid);
  if (known == loadAddresses_.end()) {
    std::uint64_t found = 0;
    CTRBinaryImageDetails details;
    if (fillInImageDetails(&details, uuid)) {
      found = details.node.base != 0 ? details.node.base
                                     : reinterpret_cast<std::uintptr_t>(details.header);
    }
    known = loadAddresses_.emplace(uuid, found).first;
  }
  *loadAddress = known->second;
  return *loadAddress != 0;
}

CTRStackFrame::Ptr CTRSymbolResolver::frameForAddress(std::uint64_t address) const {
  auto frame = CTRStackFrame::stackFrameWithAddress(address);
  if (!updateStackFrame(*frame)) return nullptr;
  return frame;
}

bool CTRSymbolResolver::updateStackFrame(CTRStackFrame& frame, bool returnAddress) const {
  const std::uint64_t address = frame.address();
  if (address == 0) return false;
  const platform::Value image = loadedBinaryImageForPC(address);
  if (image.isNone()) return false;
  const platform::Value uuid = image["uuid"];
  if (!uuid.isString()) return false;
  std::uint64_t loadAddress = 0;
  if (!loadAddressForUUID(uuid.asString(), &loadAddress)) return false;

  std::uint64_t translated = loadAddress + (address - image["base"].asUInt64());
  std::optional<ResolvedSymbol> symbol = symbolForAddress(translated);
  if (!symbol) return false;
  if (returnAddress && symbol->name && symbol->start == translated &&
      translated >= kReturnAddressAdjustment) {
    translated -= kReturnAddressAdjustment;
    symbol = symbolForAddress(translated);
    if (!symbol) return false;
  }
  if (symbol->name) {
    frame.setSymbol(*symbol->name);
    frame.setRawSymbol(*symbol->name);
    if (symbol->start < translated) frame.setOffset(translated - symbol->start);
  }
  const platform::Value path = image["path"];
  if (path.isString()) frame.setLibrary(lastPathComponent(path.stringView()));
  return true;
}

}  // namespace sdk
