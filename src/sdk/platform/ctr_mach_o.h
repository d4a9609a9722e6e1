// The Mach-O reader's record layer: maps a Mach-O file read-only (or takes
// a header in memory), splits a fat file into its architecture slices,
// names an architecture, walks a slice's load commands and decodes the
// commands the SDK needs (UUID, linked libraries, minimum OS and SDK
// versions, encryption, segments, sections).
//
// Guarantees:
//  1. Files are read through one read-only shared mapping, never copied;
//     the walks and decoders allocate nothing (only
//     CTRMachONormalizedUUIDString and CTRMachOFormatVersion make strings),
//     so crash capture may call them with plain records.
//  2. Slices of a file carry the number of bytes that the file holds from
//     their start (`size`); every walk of such a slice stays inside them:
//     fat entries that point outside the file are skipped, the load-command
//     walk stops at a command smaller than 8 bytes or one that runs past
//     the commands' area or the slice. A slice made from a bare header
//     (size 0) is trusted as far as its header's `sizeofcmds`.
//  3. Headers with the byte-swapped magics (MH_CIGAM, MH_CIGAM_64) yield
//     their slice with the CPU fields swapped into host order, but their
//     load commands are not walked.
//
// The running program on Linux is ELF, not Mach-O. The entry points for
// the running executable (CTRMachOFileInitWithCurrent,
// CTRMachOSliceForRunningExecutable and the image path of that slice)
// answer with a small Mach-O image of the program's own facts, built once
// from platform::ExecutableImage: one slice with the host's CPU type,
// LC_UUID holding the first 16 bytes of the GNU build-id, one
// LC_LOAD_DYLIB per DT_NEEDED library, LC_VERSION_MIN_MACOSX with the ELF
// ABI-tag kernel version as "version" and the C library version the
// program needs as "sdk", and LC_SEGMENT(_64) "__TEXT" spanning the
// program's text at link-time addresses with its "__text" and "__eh_frame"
// sections (their offsets are ELF file offsets: the image carries no
// section data). The program without a build-id gives an image without
// LC_UUID.
//
// Thread safety: no shared state except the running program's image, which
// is built once behind a once-flag; records belong to their callers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace sdk {

// A non-owning reference to a callable: the design's blocks, passed
// without allocating. The callable must outlive the call it is passed to.
template <class Sig>
class CTRMachOBlock;

template <class R, class... Args>
class CTRMachOBlock<R(Args...)> {
 public:
  CTRMachOBlock(std::nullptr_t) {}  // NOLINT: the design's NULL block
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, CTRMachOBlock> &&
           std::is_invocable_r_v<R, F&, Args...>)
      CTRMachOBlock(F&& f)  // NOLINT: implicit like a block literal
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* o, Args... a) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(a)...);
        }) {}

  explicit operator bool() const { return call_ != nullptr; }
  R operator()(Args... a) const { return call_(object_, std::forward<Args>(a)...); }

 private:
  void* object_ = nullptr;
  R (*call_)(void*, Args...) = nullptr;
};

// Load commands and magics used by the reader.
inline constexpr std::uint32_t kCTRMachOLoadCommandSegment = 0x1;          // LC_SEGMENT
inline constexpr std::uint32_t kCTRMachOLoadCommandLoadDylib = 0xc;        // LC_LOAD_DYLIB
inline constexpr std::uint32_t kCTRMachOLoadCommandSegment64 = 0x19;       // LC_SEGMENT_64
inline constexpr std::uint32_t kCTRMachOLoadCommandUUID = 0x1b;            // LC_UUID
inline constexpr std::uint32_t kCTRMachOLoadCommandEncryptionInfo = 0x21;  // LC_ENCRYPTION_INFO
inline constexpr std::uint32_t kCTRMachOLoadCommandEncryptionInfo64 = 0x2c;
inline constexpr std::uint32_t kCTRMachOLoadCommandVersionMinMacOSX = 0x24;
inline constexpr std::uint32_t kCTRMachOLoadCommandVersionMinIPhoneOS = 0x25;
inline constexpr std::uint32_t kCTRMachOLoadCommandVersionMinTvOS = 0x2f;
inline constexpr std::uint32_t kCTRMachOLoadCommandVersionMinWatchOS = 0x30;

inline constexpr std::uint32_t kCTRMachOMagic = 0xfeedface;     // MH_MAGIC
inline constexpr std::uint32_t kCTRMachOCigam = 0xcefaedfe;     // MH_CIGAM
inline constexpr std::uint32_t kCTRMachOMagic64 = 0xfeedfacf;   // MH_MAGIC_64
inline constexpr std::uint32_t kCTRMachOCigam64 = 0xcffaedfe;   // MH_CIGAM_64
inline constexpr std::uint32_t kCTRMachOFatMagic = 0xcafebabe;  // FAT_MAGIC
inline constexpr std::uint32_t kCTRMachOFatCigam = 0xbebafeca;  // FAT_CIGAM

inline constexpr int kCTRMachOCPUArchABI64 = 0x01000000;
inline constexpr int kCTRMachOCPUTypeX86 = 7;
inline constexpr int kCTRMachOCPUTypeX86_64 = kCTRMachOCPUTypeX86 | kCTRMachOCPUArchABI64;
inline constexpr int kCTRMachOCPUTypeARM = 12;
inline constexpr int kCTRMachOCPUTypeARM64 = kCTRMachOCPUTypeARM | kCTRMachOCPUArchABI64;
inline constexpr int kCTRMachOCPUTypePowerPC = 18;
inline constexpr int kCTRMachOCPUTypePowerPC64 = kCTRMachOCPUTypePowerPC | kCTRMachOCPUArchABI64;

// An open, mapped file. A default record is closed (fd -1, no mapping).
struct CTRMachOFile {
  int fd = -1;
  std::uint64_t mappedSize = 0;
  const void* mappedFile = nullptr;
};

// One architecture slice: a Mach-O header in a mapping or in memory.
// `size` is the number of readable bytes from startAddress (0: unknown,
// the header is trusted). A slice made from a bare header has both CPU
// fields 0 until its load commands are walked.
struct CTRMachOSlice {
  const void* startAddress = nullptr;
  int cputype = 0;
  int cpusubtype = 0;
  std::uint64_t size = 0;
};

struct CTRMachOVersion {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t patch = 0;
  friend bool operator==(const CTRMachOVersion&, const CTRMachOVersion&) = default;
};

struct CTRMachOSection {
  std::uint64_t address = 0;
  std::uint64_t size = 0;
  std::uint32_t offset = 0;
};

struct CTRMachOSegmentCommand {
  char segmentName[16] = {};
  std::uint64_t vmaddr = 0;
  std::uint64_t vmsize = 0;
};

using CTRMachOSliceBlock = CTRMachOBlock<void(CTRMachOSlice slice)>;
using CTRMachOLoadCommandBlock =
    CTRMachOBlock<void(std::uint32_t type, std::uint32_t size, const void* command)>;

// Opens `path` read-only and maps the whole file read-only and shared.
// False (no descriptor left open) for a NULL record or path, a failed open
// or fstat, a file under 16 bytes, a non-regular file or a failed mapping.
bool CTRMachOFileInitWithPath(CTRMachOFile* file, const char* path);
// The running executable's file (on Linux: its Mach-O image of facts, see
// the top of this header, in an anonymous read-only mapping with fd -1).
bool CTRMachOFileInitWithCurrent(CTRMachOFile* file);
// Unmaps and closes; the record is closed afterwards. NULL does nothing.
void CTRMachOFileDestroy(CTRMachOFile* file);

// Calls `block` with every slice of the mapped file, in file order.
void CTRMachOFileEnumerateSlices(const CTRMachOFile* file, CTRMachOSliceBlock block);
// Calls `block` with every slice at `header`: each entry of a fat header,
// else exactly one slice (CPU fields 0 when it is not Mach-O). `size` is
// the readable length at `header` (0: unknown; fat entries then trusted).
void CTRMachOEnumerateSlicesAtAddress(const void* header, CTRMachOSliceBlock block,
                                      std::uint64_t size = 0);
// The last slice whose architecture name is `name`; zeros when none.
CTRMachOSlice CTRMachOFileSliceWithArchitectureName(const CTRMachOFile* file, const char* name);

// The running executable's slice (see the top of this header).
CTRMachOSlice CTRMachOSliceForRunningExecutable();
// The path of the image file that holds the slice's header (dladdr), the
// executable's path for the running executable's slice; NULL for a NULL
// slice or start address or a failed look-up. The text lives as long as
// the image stays loaded.
const char* CTRMachOSliceGetImagePath(const CTRMachOSlice* slice);
CTRMachOSlice CTRMachOSliceWithHeader(const void* header);
bool CTRMachOSliceIs64Bit(const CTRMachOSlice* slice);
// "arm64", "armv7s", "armv7k" by fixed rule, else the name of the CPU
// type and subtype in the architecture table, else "unknown". Static text.
const char* CTRMachOSliceGetArchitectureName(const CTRMachOSlice* slice);

// Sets the slice's CPU fields from its header and calls `block` with each
// load command's type, size and address. Nothing for a NULL slice, block
// or start address, or a header that is not host-order Mach-O.
void CTRMachOSliceEnumerateLoadCommands(CTRMachOSlice* slice, CTRMachOLoadCommandBlock block);

// The section's link-time address, size and file offset; false (output
// cleared) for a NULL slice, output or start address, or no such section.
bool CTRMachOSliceFindSection(const CTRMachOSlice* slice, const char* segmentName,
                              const char* sectionName, CTRMachOSection* out);
// startAddress + the section's file offset; false (output 0) when there is
// no such section or, for a slice of known size, its bytes lie outside.
bool CTRMachOSliceFindSectionData(const CTRMachOSlice* slice, const char* segmentName,
                                  const char* sectionName, const void** out);
// For the loaded image whose header is the slice's start address: its
// "__TEXT","__eh_frame" and "__TEXT","__unwind_info" addresses plus the
// image's slide, each only when asked for and present. On Linux the only
// image with a Mach-O header is the running executable's image of facts.
void CTRMachOSliceGetUnwindInfoAddresses(const CTRMachOSlice* slice, std::uint64_t* ehFrame,
                                         std::uint64_t* unwindInfo);

// Decoders of one load command (the pointer the walk passes). Each reads
// only inside the command's own cmdsize: a command too short for its
// fields gives NULL, NO or zeros.
// The 16 UUID bytes (8 bytes into the command).
const std::uint8_t* CTRMachOGetUUID(const void* command);
// The name of a dylib command; NULL when its offset or its terminating
// zero lies outside the command.
const char* CTRMachOGetDylibName(const void* command);
bool CTRMachOIsEncrypted(const void* command);
CTRMachOVersion CTRMachOGetMinimumOSVersion(const void* command);
CTRMachOVersion CTRMachOGetLinkedSDKVersion(const void* command);
CTRMachOSegmentCommand CTRMachOGetSegmentCommand(const void* command);
// A packed version word: major bits 16-31, minor 8-15, patch 0-7.
CTRMachOVersion CTRMachOUnpackVersion(std::uint32_t packed);

// 32 lower-case hexadecimal digits of the 16 bytes.
std::string CTRMachONormalizedUUIDString(const std::uint8_t* uuid);
// "%d.%d.%d"; nullopt for NULL.
std::optional<std::string> CTRMachOFormatVersion(const CTRMachOVersion* version);

}  // namespace sdk
