// sdk::BCNIcon: the host application's icon as the onboarding request sends
// it: PNG bytes, their SHA-1 (dataHash), the size in points and whether the
// image is prerendered. sdk::BCNAppIconUtility finds the application's icon.
//
// On Linux the application's icon is the PNG file that the bundle's
// information dictionary names under "CFBundleIconFile" (".png" is added
// when the name has no extension) in the bundle's resources; its size is read
// from the PNG header. No such file, or a file that is no PNG, means no icon.
//
// Thread safety: BCNIcon is immutable; BCNAppIconUtility makes its icon once
// (under a lock) and may be shared.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "platform/system/bundle.h"

namespace sdk {

struct BCNIconSize {
  double width = 0;
  double height = 0;
};

class BCNIcon {
 public:
  BCNIcon(platform::Bytes data, std::string dataHash, BCNIconSize size, bool prerendered);

  static std::shared_ptr<BCNIcon> initWithData(platform::Bytes data, std::string dataHash,
                                               BCNIconSize size, bool prerendered);
  // dataHash = SHA-1 of the data.
  static std::shared_ptr<BCNIcon> initWithData(platform::Bytes data, BCNIconSize size,
                                               bool prerendered);
  // Prerendered.
  static std::shared_ptr<BCNIcon> initWithData(platform::Bytes data, BCNIconSize size);
  // The image stand-in: PNG bytes, whose size comes from their header;
  // nullptr when the bytes are no PNG image.
  static std::shared_ptr<BCNIcon> initWithImage(const platform::Bytes& pngData);

  const platform::Bytes& data() const { return data_; }
  const std::string& dataHash() const { return dataHash_; }
  BCNIconSize size() const { return size_; }
  bool prerendered() const { return prerendered_; }

  // width * height.
  double surfaceArea() const;
  // surfaceArea() <= 1024 * 1024.
  bool isWithinMaxSurfaceArea() const;
  // surfaceArea() > size.width * size.height.
  bool largerThanSize(BCNIconSize size) const;

  // Width and height from a PNG's IHDR chunk; nullopt for anything else.
  static std::optional<BCNIconSize> pngImageSize(const platform::Bytes& data);

 private:
  platform::Bytes data_;
  std::string dataHash_;
  BCNIconSize size_;
  bool prerendered_;
};

class BCNAppIconUtility {
 public:
  // The icon of `bundle`'s program (null: none).
  explicit BCNAppIconUtility(platform::BundlePtr bundle = platform::Bundle::main())
      : bundle_(std::move(bundle)) {}

  // The application's icon (found on first use), or nullptr.
  std::shared_ptr<BCNIcon> applicationIcon();
  // A new icon from mainAppIcon(), or nullptr.
  std::shared_ptr<BCNIcon> fetchApplicationIcon();
  // The PNG bytes of the application's icon file; nullopt without one.
  std::optional<platform::Bytes> mainAppIcon();
  // The bundle's information dictionary.
  platform::Value appInfoDictionary();

 private:
  const platform::BundlePtr bundle_;
  std::mutex mutex_;
  bool fetched_ = false;
  std::shared_ptr<BCNIcon> applicationIcon_;
};

}  // namespace sdk
