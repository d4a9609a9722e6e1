// The binary image table of crash capture: which loaded image holds an
// address, and where that image's unwind tables are, answerable at crash
// time without a lock or an allocation.
//
// The table is the fixed array of kCTRBinaryImageCount entries in the
// writable state (ctrWritableState->binaryImages). CTRBinaryImageInit
// registers with the loaded-image list (platform/system/loaded_images.h):
// each image added takes the first free entry, each image removed clears
// its entry's size and addresses (the entry stays taken). Every load and
// unload is also written, in callback order, as a "load" or "unload" line
// of the binary-image log (kCTRBinaryImagesFile, "binary_images.clsrecord"
// in the launch's report directory), which symbolication
// reads at the next launch.
//
// What an entry holds on Linux (ELF images):
//   base        address of the image's ELF header in memory; 0: free entry
//   size        bytes from base to the end of the last PT_LOAD segment
//   ehFrame     run-time address of the image's ".eh_frame_hdr" (the
//               PT_GNU_EH_FRAME segment); 0 when it has none
//   unwindInfo  always 0: ELF has no compact unwind section
//   crashInfo   always 0: no crash-annotation section is produced on Linux
// The image UUID is the first 16 bytes of the GNU build-id as 32 lower-case
// hex digits (the form of platform::ExecutableImage::uuid and the Mach-O
// reader); all zero bytes when the image has no build-id.
//
// Load-line fields: "path", "bundle_id"/"build_version"/"display_version"
// (only for an image inside a ".framework" directory outside "/System"
// whose bundle has an information file), "uuid", "base", "size".
// Executable section (metadata record): "architecture", "uuid", "base",
// "size", "encrypted" (always false: Linux has no encrypted images),
// "minimum_sdk_version" (the kernel version of the program's ABI-tag note),
// "built_sdk_version" (the highest C library version the program needs).
//
// Guarantees:
//  1. CTRBinaryImageSafeFindImageForAddress and
//     CTRBinaryImageHasCompactUnwindInfo allocate nothing, take no lock and
//     are async-signal-safe.
//  2. Entries are claimed with compare-and-swap on `base`; an entry's other
//     fields are written by the claiming thread only, `size` last, so a
//     reader that finds an address inside an entry sees its other fields.
//  3. A removal clears the live entry of that base (size 0 first), never an
//     entry that an earlier unload at the same address already cleared.
//  4. A load beyond the table's capacity is logged to the SDK log and left
//     out of the table; its log line is still written.
//  5. Log lines are written on ctrBinaryImagesQueue in callback order (on
//     the caller's thread when that queue does not exist).
//
// Thread safety: the callbacks may run on any thread, also at once; the
// look-ups may be called from any thread, the safe one from a signal
// handler.
#pragma once

#include <cstdint>
#include <string>

#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/platform/ctr_mach_o.h"

namespace platform {
struct LoadedImage;
}

namespace sdk {

// The facts of one image, built while it is being added or looked up.
struct CTRBinaryImageDetails {
  char uuid[33] = {};      // 32 lower-case hex digits and a zero; all zero without build-id
  bool encrypted = false;  // always false on Linux
  CTRMachOVersion builtSDKVersion;    // the executable's C library version; else zero
  CTRMachOVersion minimumSDKVersion;  // the executable's ABI-tag kernel version; else zero
  CTRBinaryImageEntry node{};         // the table entry of the image
  const void* header = nullptr;       // the ELF header in memory
  std::intptr_t slide = 0;            // the load bias
  std::string path;                   // the image file; "" when not known
};
using CTRImageDetails = CTRBinaryImageDetails;

// Start-up (a capture hook): empties the table, resets the log (path in
// ctrContext->binaryImageLogPath), registers with the loaded-image list so
// every image loaded now is stored and logged, and then closes the log.
void CTRBinaryImageInit();
// Unregisters from the loaded-image list (tests; nothing else calls it).
void CTRBinaryImageStopObserving();

// Opens the log unless it is open; `openedHere` (when given) tells whether
// this call opened it. False when it is not open afterwards.
bool CTRBinaryImageOpenIfNeeded(bool* openedHere);
void CTRBinaryImageCloseLog();

// The loader callbacks; both run CTRBinaryImageChanged.
void CTRBinaryImageAdded(const platform::LoadedImage& image);
void CTRBinaryImageRemoved(const platform::LoadedImage& image);
void CTRBinaryImageChanged(bool loaded, const platform::LoadedImage& image);

// Claims (loaded) or clears (unloaded) the entry of the image.
void CTRBinaryImageStoreNode(bool loaded, const CTRBinaryImageDetails* details);
// Writes one "load" or "unload" line to the log (opening it when needed).
void CTRBinaryImageRecordSlice(bool loaded, const CTRBinaryImageDetails* details);
// Writes the "uuid", "base" and "size" fields.
void CTRBinaryImageRecordDetails(CTRFile* file, const CTRBinaryImageDetails* details);
// Fills `details` from an image (header, slide, sizes, build-id, eh_frame).
void CTRBinaryImageReadDetails(const platform::LoadedImage& image, CTRBinaryImageDetails* details);

// Writes the "executable" section of the metadata record; always true.
bool CTRBinaryImageRecordMainExecutable(CTRFile* file);

// Crash-safe: copies the first live entry with base <= address < base +
// size. False when the context is not initialized, `out` is not a valid
// pointer, the address is 0 or no entry holds it.
bool CTRBinaryImageSafeFindImageForAddress(std::uintptr_t address, CTRBinaryImageEntry* out);
// Crash-safe catch-up for the rescan's latency: walks the loader's own
// list of shared objects (without its lock, every read checked), stores in
// the table each image that is not there yet (one loaded shortly before
// the crash) and appends its "load" line (path, uuid, base, size) to the
// binary-image log. Returns how many it added.
int CTRBinaryImageSafeRecordLateImages();
// The entry's unwindInfo is a valid address (never on ELF images).
bool CTRBinaryImageHasCompactUnwindInfo(const CTRBinaryImageEntry* entry);
// The details of the image loaded now whose UUID string is `uuid` (its
// first 32 characters and the end); false for null arguments, an empty
// UUID or no such image.
bool CTRBinaryImageFindImageForUUID(const char* uuid, CTRBinaryImageDetails* out);

}  // namespace sdk
