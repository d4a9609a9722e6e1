#include "sdk/platform/ctr_mach_o_binary.h"

#include <algorithm>

#include "sdk/platform/bcn_encoding.h"

namespace sdk {

std::shared_ptr<CTRMachOBinary> CTRMachOBinary::MachOBinaryWithPath(const std::string& path) {
  return initWithURL(platform::URL::fileURLWithPath(path));
}

std::shared_ptr<CTRMachOBinary> CTRMachOBinary::initWithURL(const platform::URL& url) {
  if (!url.isValid()) return nullptr;
  auto file = std::shared_ptr<CTRMachOFile>(new CTRMachOFile, [](CTRMachOFile* f) {
    CTRMachOFileDestroy(f);
    delete f;
  });
  if (!CTRMachOFileInitWithPath(file.get(), url.decodedPath().c_str())) return nullptr;
  return std::make_shared<CTRMachOBinary>(url, std::move(file));
}

CTRMachOBinary::CTRMachOBinary(platform::URL url, std::shared_ptr<const CTRMachOFile> file)
    : url_(std::move(url)), file_(std::move(file)) {
  CTRMachOFileEnumerateSlices(file_.get(), [this](CTRMachOSlice slice) {
    slices_.push_back(std::make_shared<CTRMachOSliceObject>(slice, file_));
  });
}

std::string CTRMachOBinary::path() const { return url_.decodedPath(); }

const std::string& CTRMachOBinary::instanceIdentifier() const {
  std::call_once(identifierOnce_, [this] {
    std::vector<std::pair<std::string, const CTRMachOSliceObject*>> sorted;
    for (const auto& slice : slices_) sorted.emplace_back(slice->architectureName(), slice.get());
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string text;
    for (const auto& [name, slice] : sorted) text += slice->uuid().value_or(std::string());
    instanceIdentifier_ = hashNSString(text);
  });
  return instanceIdentifier_;
}

void CTRMachOBinary::enumerateUUIDs(
    const std::function<void(const std::optional<std::string>&, const std::string&)>& block) const {
  if (!block) return;
  for (const auto& slice : slices_) block(slice->uuid(), slice->architectureName());
}

std::shared_ptr<CTRMachOSliceObject> CTRMachOBinary::sliceForArchitecture(
    std::string_view name) const {
  for (const auto& slice : slices_) {
    if (slice->architectureName() == name) return slice;
  }
  return nullptr;
}

std::string CTRMachOBinary::hashNSString(std::string_view text) {
  return BCNSHA1HexStringFromData(text);
}

}  // namespace sdk
