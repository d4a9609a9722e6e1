#include "sdk/platform/ctr_d_sym.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/system/property_list.h"

namespace sdk {
namespace {

constexpr std::string_view kDSYMIdentifierPrefix = "com.apple.xcode.dsym.";

}  // namespace

std::shared_ptr<CTRdSYM> CTRdSYM::initWithURL(const platform::URL& url) {
  namespace fs = std::filesystem;
  if (!url.isValid()) return nullptr;
  const fs::path root = url.decodedPath();
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return nullptr;
  const fs::path dwarf = root / "Contents" / "Resources" / "DWARF";
  if (!fs::is_directory(dwarf, ec)) return nullptr;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(dwarf, ec), end; !ec && it != end; it.increment(ec)) {
    entries.push_back(it->path());
  }
  if (entries.empty()) return nullptr;
  std::sort(entries.begin(), entries.end());
  auto binary = CTRMachOBinary::MachOBinaryWithPath(entries.front().string());
  if (!binary) return nullptr;
  platform::Value info = platform::plist::readFile((root / "Contents" / "Info.plist").string());
  if (!info.isDictionary()) info = platform::Value::dictionary();
  auto bundle = std::make_shared<const platform::Bundle>(
      entries.front().string(), (root / "Contents" / "Resources").string(), info,
      (root / "Contents" / "Info.plist").string());
  return std::make_shared<CTRdSYM>(std::move(bundle), std::move(binary));
}

std::string CTRdSYM::bundleIdentifier() const {
  std::string identifier = bundle_->bundleIdentifier();
  if (std::string_view(identifier).starts_with(kDSYMIdentifierPrefix)) {
    identifier.erase(0, kDSYMIdentifierPrefix.size());
  }
  return identifier;
}

std::string CTRdSYM::bundleVersion() const { return bundle_->version(); }
std::string CTRdSYM::shortBundleVersion() const { return bundle_->shortVersion(); }

}  // namespace sdk
