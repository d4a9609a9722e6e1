#include "sdk/platform/bcn_icon.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/system/bundle.h"
#include "sdk/platform/bcn_encoding.h"

namespace sdk {
namespace {

constexpr double kMaxSurfaceArea = 1024.0 * 1024.0;

std::uint32_t bigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

}  // namespace

BCNIcon::BCNIcon(platform::Bytes data, std::string dataHash, BCNIconSize size, bool prerendered)
    : data_(std::move(data)),
      dataHash_(std::move(dataHash)),
      size_(size),
      prerendered_(prerendered) {}

std::shared_ptr<BCNIcon> BCNIcon::initWithData(platform::Bytes data, std::string dataHash,
                                               BCNIconSize size, bool prerendered) {
  return std::make_shared<BCNIcon>(std::move(data), std::move(dataHash), size, prerendered);
}

std::shared_ptr<BCNIcon> BCNIcon::initWithData(platform::Bytes data, BCNIconSize size,
                                               bool prerendered) {
  std::string hash = BCNSHA1HexStringFromBytes(data.data(), data.size());
  return initWithData(std::move(data), std::move(hash), size, prerendered);
}

std::shared_ptr<BCNIcon> BCNIcon::initWithData(platform::Bytes data, BCNIconSize size) {
  return initWithData(std::move(data), size, true);
}

std::shared_ptr<BCNIcon> BCNIcon::initWithImage(const platform::Bytes& pngData) {
  const std::optional<BCNIconSize> size = pngImageSize(pngData);
  if (!size) return nullptr;
  return initWithData(pngData, *size);
}

double BCNIcon::surfaceArea() const { return size_.width * size_.height; }

bool BCNIcon::isWithinMaxSurfaceArea() const { return surfaceArea() <= kMaxSurfaceArea; }

bool BCNIcon::largerThanSize(BCNIconSize size) const {
  return surfaceArea() > size.width * size.height;
}

std::optional<BCNIconSize> BCNIcon::pngImageSize(const platform::Bytes& data) {
  // Signature (8 bytes), then the IHDR chunk: length (4), "IHDR" (4),
  // width (4), height (4), ...
  static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (data.size() < 24 || std::memcmp(data.data(), kSignature, 8) != 0 ||
      std::memcmp(data.data() + 12, "IHDR", 4) != 0)
    return std::nullopt;
  const std::uint32_t width = bigEndian32(data.data() + 16);
  const std::uint32_t height = bigEndian32(data.data() + 20);
  if (width == 0 || height == 0) return std::nullopt;
  return BCNIconSize{static_cast<double>(width), static_cast<double>(height)};
}

std::shared_ptr<BCNIcon> BCNAppIconUtility::applicationIcon() {
  std::lock_guard lock(mutex_);
  if (!fetched_) {
    applicationIcon_ = fetchApplicationIcon();
    fetched_ = true;
  }
  return applicationIcon_;
}

std::shared_ptr<BCNIcon> BCNAppIconUtility::fetchApplicationIcon() {
  const std::optional<platform::Bytes> image = mainAppIcon();
  if (!image) return nullptr;
  return BCNIcon::initWithImage(*image);
}

std::optional<platform::Bytes> BCNAppIconUtility::mainAppIcon() {
  if (!bundle_) return std::nullopt;
  const platform::Value name = bundle_->objectForInfoDictionaryKey("CFBundleIconFile");
  if (!name.isString() || name.stringView().empty()) return std::nullopt;
  std::string fileName = name.asString();
  // Names only: a path would reach outside the resources.
  if (fileName.find('/') != std::string::npos) return std::nullopt;
  if (fileName.find('.') == std::string::npos) fileName += ".png";
  const std::string path = bundle_->pathForResource(fileName);
  if (path.empty()) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  platform::Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::nullopt;
  return bytes;
}

platform::Value BCNAppIconUtility::appInfoDictionary() {
  return bundle_ ? bundle_->infoDictionary() : platform::Value();
}

}  // namespace sdk
