// sdk::CTRMachOBinary: a Mach-O file opened for reading: its slices in file
// order and the instance identifier made from their UUIDs.
//
// Guarantees:
//  - The file stays mapped read-only while the binary or any of its slices
//    lives; it is unmapped and closed after the last of them goes.
//  - instanceIdentifier(): the slices sorted by architecture name (plain
//    byte comparison; equal names keep file order), their UUIDs
//    concatenated (a slice without a UUID adds nothing), SHA-1 of that
//    text's UTF-8 bytes as 40 lower-case hexadecimal digits. Computed once.
//
// Thread safety: immutable after creation except the cached identifier,
// which is computed once behind a once-flag; any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/url.h"
#include "sdk/platform/ctr_mach_o.h"
#include "sdk/platform/ctr_mach_o_slice.h"

namespace sdk {

class CTRMachOBinary {
 public:
  // initWithURL of the file URL of `path`.
  static std::shared_ptr<CTRMachOBinary> MachOBinaryWithPath(const std::string& path);
  // nullptr when CTRMachOFileInitWithPath fails on the URL's path.
  static std::shared_ptr<CTRMachOBinary> initWithURL(const platform::URL& url);

  const platform::URL& URL() const { return url_; }
  std::string path() const;
  const std::vector<std::shared_ptr<CTRMachOSliceObject>>& slices() const { return slices_; }
  const std::string& instanceIdentifier() const;
  // Calls `block` with (uuid, architecture name) of every slice in order;
  // the uuid is nullopt for a slice without one.
  void enumerateUUIDs(const std::function<void(const std::optional<std::string>& uuid,
                                               const std::string& architectureName)>& block) const;
  // The first slice with that architecture name; nullptr when none.
  std::shared_ptr<CTRMachOSliceObject> sliceForArchitecture(std::string_view name) const;
  // SHA-1 of the text's UTF-8 bytes: 40 lower-case hexadecimal digits.
  static std::string hashNSString(std::string_view text);

  CTRMachOBinary(platform::URL url, std::shared_ptr<const CTRMachOFile> file);

 private:
  platform::URL url_;
  std::shared_ptr<const CTRMachOFile> file_;
  std::vector<std::shared_ptr<CTRMachOSliceObject>> slices_;
  mutable std::once_flag identifierOnce_;
  mutable std::string instanceIdentifier_;
};

}  // namespace sdk
