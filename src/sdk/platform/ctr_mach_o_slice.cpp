#include "sdk/platform/ctr_mach_o_slice.h"

namespace sdk {

std::shared_ptr<CTRMachOSliceObject> CTRMachOSliceObject::runningSlice() {
  const CTRMachOSlice slice = CTRMachOSliceForRunningExecutable();
  if (!slice.startAddress) return nullptr;
  return std::make_shared<CTRMachOSliceObject>(slice);
}

CTRMachOSliceObject::CTRMachOSliceObject(CTRMachOSlice slice, std::shared_ptr<const void> owner)
    : slice_(slice), owner_(std::move(owner)) {
  CTRMachOSliceEnumerateLoadCommands(
      &slice_, [this](std::uint32_t type, std::uint32_t size, const void* command) {
        switch (type) {
          case kCTRMachOLoadCommandVersionMinMacOSX:
          case kCTRMachOLoadCommandVersionMinIPhoneOS:
          case kCTRMachOLoadCommandVersionMinTvOS:
          case kCTRMachOLoadCommandVersionMinWatchOS:
            if (size < 16) return;
            minimumOSVersion_ = CTRMachOGetMinimumOSVersion(command);
            linkedSDKVersion_ = CTRMachOGetLinkedSDKVersion(command);
            return;
          case kCTRMachOLoadCommandLoadDylib:
            if (const char* name = CTRMachOGetDylibName(command)) linkedDylibs_.emplace_back(name);
            return;
          case kCTRMachOLoadCommandUUID:
            if (size < 24) return;
            uuid_ = CTRMachONormalizedUUIDString(CTRMachOGetUUID(command));
            return;
          default:
            return;
        }
      });
}

std::string CTRMachOSliceObject::architectureName() const {
  return CTRMachOSliceGetArchitectureName(&slice_);
}

}  // namespace sdk
