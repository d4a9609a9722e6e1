// Host facts of crash capture: the "host" section of the metadata record,
// the "storage" section written at crash time, the page size and the OS
// version number that chooses the Mach exception mask.
//
// The named system values are the SDK's (sdk/platform/bcn_host.h over
// platform::HostInfo); "machdep.cpu.brand_string" is answered here from
// /proc/cpuinfo's "model name". The user's documents folder is
// $XDG_DOCUMENTS_DIR, else ~/Documents when it exists, else the home folder.
//
// Guarantees:
//  1. The writers report success in every case; a query that fails leaves
//     its field "(failed)", null or absent.
//  2. CTRHostRecordStorage is async-signal-safe: it reads the documents path
//     prepared by CTRHostInitialize and calls only statfs and write.
//
// Thread safety: every function may be called from any thread;
// CTRHostInitialize runs once, during the crash context's start-up.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/crash/capture/ctr_file.h"
#include "sdk/platform/bcn_host.h"

namespace sdk {

inline constexpr std::size_t kCTRHostSysctlBufferSize = 128;
inline constexpr const char* kCTRHostFailedValue = "(failed)";
inline constexpr const char* kCTRHostPlatform = "mac";

// Stores the page size and a copy of the documents folder's path in the
// crash context (nothing when there is no context).
void CTRHostInitialize();
// Always 4096, the page size the allocator and the statistics use; warns in
// the SDK log when the system's page size cannot be read.
std::uint64_t CTRHostGetPageSize();
// By the OS minor version alone: 6 → 1060, 7 → 1070, 8 → 1080, 9 → 1090,
// 10 → 101000, 11 → 101100, anything else → 0.
std::uint32_t CTRHostGetOSVersionNumber();
std::uint32_t CTRHostGetOSVersionNumberFor(const BCNOperatingSystemVersion& version);
// Writes the "host" section; true.
bool CTRHostRecordInfo(CTRFile* file);
// Writes the "storage" section: "free" and "total" bytes of the file system
// of the documents folder, an empty object when it cannot be queried.
void CTRHostRecordStorage(CTRFile* file);
// Writes `field` with the named system value read into `buffer` (128
// bytes), or "(failed)" when the read fails.
void CTRHostWriteSysctlString(CTRFile* file, const char* field, const char* sysctlName,
                              char* buffer);
// The named system value into `buffer` (size bytes, terminated); false when
// it cannot be read or does not fit.
bool CTRHostReadSysctlString(const char* sysctlName, char* buffer, std::size_t size);
// The documents folder as described above ("" when there is no home).
std::string CTRHostDocumentsDirectory();

}  // namespace sdk
