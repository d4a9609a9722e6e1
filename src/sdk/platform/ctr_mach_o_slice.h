// sdk::CTRMachOSliceObject: one architecture slice of a Mach-O image with
// the facts the SDK reads from it, decoded once at creation: the UUID, the
// linked libraries and the minimum OS and SDK versions. (The record of the
// same slice, which the C layer passes around, is sdk::CTRMachOSlice in
// ctr_mach_o.h; the object keeps its own name to stay apart from it.)
//
// Guarantees:
//  - uuid() is 32 lower-case hexadecimal digits of the slice's LC_UUID,
//    nullopt without one; linkedDylibs() lists the LC_LOAD_DYLIB names in
//    command order (weak and re-exported libraries are not included);
//    both versions come from the last version-min command (zero without).
//  - A slice of a CTRMachOBinary keeps that binary's mapping alive, so
//    slice() stays readable as long as the object lives.
//
// Thread safety: immutable after creation; any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sdk/platform/ctr_mach_o.h"

namespace sdk {

class CTRMachOSliceObject {
 public:
  // The running executable's slice (CTRMachOSliceForRunningExecutable);
  // nullptr when there is none.
  static std::shared_ptr<CTRMachOSliceObject> runningSlice();

  // Reads the slice's load commands. `owner` keeps the memory under the
  // slice alive for the object's life (a binary's mapping); none for
  // memory that outlives the object anyway.
  explicit CTRMachOSliceObject(CTRMachOSlice slice, std::shared_ptr<const void> owner = nullptr);

  const CTRMachOSlice& slice() const { return slice_; }
  std::string architectureName() const;
  const std::optional<std::string>& uuid() const { return uuid_; }
  const std::vector<std::string>& linkedDylibs() const { return linkedDylibs_; }
  CTRMachOVersion minimumOSVersion() const { return minimumOSVersion_; }
  CTRMachOVersion linkedSDKVersion() const { return linkedSDKVersion_; }

 private:
  CTRMachOSlice slice_;
  std::shared_ptr<const void> owner_;
  std::optional<std::string> uuid_;
  std::vector<std::string> linkedDylibs_;
  CTRMachOVersion minimumOSVersion_;
  CTRMachOVersion linkedSDKVersion_;
};

}  // namespace sdk
