#include "sdk/crash/capture/ctr_binary_image.h"

#include <elf.h>
#include <link.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/value.h"
#include "platform/system/bundle.h"
#include "platform/system/loaded_images.h"
#include "platform/system/property_list.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/ctr_unwind.h"
#include "sdk/crash/ctr_utils.h"

namespace sdk {

namespace {

std::mutex gObserverMutex;
platform::LoadedImages::Token gObserverToken = 0;

std::atomic_ref<std::uint64_t> field(std::uint64_t& value) {
  return std::atomic_ref<std::uint64_t>(value);
}

// Log writes run on the binary-images queue, in callback order; without
// that queue (before start-up) on the caller's thread.
void onBinaryImagesQueue(platform::dispatch::Block block) {
  platform::dispatch::QueuePtr queue = ctrBinaryImagesQueue;
  if (queue) {
    queue->async(std::move(block));
  } else {
    block();
  }
}

// A path as a plain record string: the record format writes plain strings
// unescaped, so a quote, backslash or control character would break the
// line and lose the image's entry. Such bytes are replaced by '?'.
std::string recordablePath(const std::string& path) {
  std::string text = path;
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || u < 0x20 || u == 0x7f) c = '?';
  }
  return text;
}

// The information dictionary of the ".framework" directory that holds the
// image at `path`, for an image outside "/System" whose path names one;
// nullopt otherwise. The binary lies at <name>.framework/Versions/<v>/<bin>;
// its information file at <name>.framework/Resources/Info.plist (or
// directly in the framework directory).
std::optional<platform::Value> frameworkInfo(const std::string& path) {
  const std::string_view text(path);
  if (text.starts_with("/System") || text.find(".framework") == std::string_view::npos) {
    return std::nullopt;
  }
  namespace fs = std::filesystem;
  const fs::path framework = fs::path(path).parent_path().parent_path().parent_path();
  std::error_code ec;
  if (framework.empty() || !fs::is_directory(framework, ec)) return std::nullopt;
  for (const fs::path& candidate :
       {framework / "Resources" / "Info.plist", framework / "Info.plist"}) {
    if (!fs::is_regular_file(candidate, ec)) continue;
    platform::Value info = platform::plist::readFile(candidate.string());
    if (info.isDictionary()) return info;
  }
  return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------
// Start-up and the log

void CTRBinaryImageInit() {
  if (CTRWritableState* state = ctrWritableState) {
    std::memset(&state->binaryImageLogFile, 0, sizeof state->binaryImageLogFile);
    state->binaryImageLogFile.descriptor = -1;
    for (auto& entry : state->binaryImages) {
      field(entry.size).store(0, std::memory_order_relaxed);
      field(entry.base).store(0, std::memory_order_relaxed);
      entry.ehFrame = entry.unwindInfo = entry.crashInfo = 0;
    }
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }

  onBinaryImagesQueue([] {
    const char* path = ctrContext ? ctrContext->binaryImageLogPath : nullptr;
    if (CTRIsValidPointer(path) && !CTRUnlinkIfExists(path)) {
      CTR_SDK_LOG_WARN("Unable to reset the binary image log file %s\n", CTRErrorText(errno));
    }
    if (!CTRBinaryImageOpenIfNeeded(nullptr)) {
      CTR_SDK_LOG_WARN("Error: Unable to open the binary image log file during init\n");
    }
  });

  {
    std::lock_guard lock(gObserverMutex);
    platform::LoadedImages::removeObserver(gObserverToken);
    gObserverToken = platform::LoadedImages::addObserver(
        [](const platform::LoadedImage& image) { CTRBinaryImageAdded(image); },
        [](const platform::LoadedImage& image) { CTRBinaryImageRemoved(image); });
  }

  onBinaryImagesQueue([] { CTRBinaryImageCloseLog(); });
}

void CTRBinaryImageStopObserving() {
  std::lock_guard lock(gObserverMutex);
  platform::LoadedImages::removeObserver(gObserverToken);
  gObserverToken = 0;
}

bool CTRBinaryImageOpenIfNeeded(bool* openedHere) {
  if (openedHere) *openedHere = false;
  CTRWritableState* state = ctrWritableState;
  if (!state) return false;
  if (CTRFileIsOpen(&state->binaryImageLogFile)) return true;
  const char* path = ctrContext ? ctrContext->binaryImageLogPath : nullptr;
  if (!CTRIsValidPointer(path)) return false;
  if (!CTRFileInit(&state->binaryImageLogFile, path, false)) return false;
  if (openedHere) *openedHere = true;
  return true;
}

void CTRBinaryImageCloseLog() {
  CTRWritableState* state = ctrWritableState;
  if (!state || !CTRFileIsOpen(&state->binaryImageLogFile)) return;
  CTRFileClose(&state->binaryImageLogFile);
}

// ---------------------------------------------------------------------------
// Loader callbacks

void CTRBinaryImageAdded(const platform::LoadedImage& image) { CTRBinaryImageChanged(true, image); }

void CTRBinaryImageRemoved(const platform::LoadedImage& image) {
  CTRBinaryImageChanged(false, image);
}

void CTRBinaryImageChanged(bool loaded, const platform::LoadedImage& image) {
  CTRBinaryImageDetails details;
  CTRBinaryImageReadDetails(image, &details);
  CTRBinaryImageStoreNode(loaded, &details);
  onBinaryImagesQueue([loaded, details] { CTRBinaryImageRecordSlice(loaded, &details); });
}

void CTRBinaryImageReadDetails(const platform::LoadedImage& image, CTRBinaryImageDetails* details) {
  if (!details) return;
  if (image.header < kCTRMinimumValidPointer) return;
  details->header = reinterpret_cast<const void*>(image.header);
  details->slide = image.slide;
  details->path = image.path;
  details->node.base = image.header;
  details->node.size = image.size();
  details->node.ehFrame = image.ehFrameHeader();
  details->node.unwindInfo = 0;  // ELF has no compact unwind section
  details->node.crashInfo = 0;   // no crash-annotation section on Linux
  std::memset(details->uuid, 0, sizeof details->uuid);
  if (!image.buildID.empty()) {
    std::uint8_t bytes[16] = {};
    std::memcpy(bytes, image.buildID.data(), std::min<std::size_t>(image.buildID.size(), 16));
    CTRHexFromBytes(bytes, sizeof bytes, details->uuid);
  }
}

void CTRBinaryImageStoreNode(bool loaded, const CTRBinaryImageDetails* details) {
  CTRWritableState* state = ctrWritableState;
  if (!state) {
    CTR_SDK_LOG_WARN("Error: Writable context is NULL\n");
    return;
  }
  const std::uint64_t base = details ? details->node.base : 0;
  if (base != 0) {
    for (auto& entry : state->binaryImages) {
      if (loaded) {
        std::uint64_t expected = 0;
        if (field(entry.base).load(std::memory_order_relaxed) != 0) continue;
        if (!field(entry.base).compare_exchange_strong(expected, base, std::memory_order_seq_cst)) {
          continue;  // another thread took this entry
        }
        field(entry.ehFrame).store(details->node.ehFrame, std::memory_order_relaxed);
        field(entry.unwindInfo).store(details->node.unwindInfo, std::memory_order_relaxed);
        field(entry.crashInfo).store(details->node.crashInfo, std::memory_order_relaxed);
        // Size last: an entry becomes findable only when it is complete.
        field(entry.size).store(details->node.size, std::memory_order_release);
        return;
      }
      // An unload clears the live entry of this base; entries that an
      // earlier unload at the same address has cleared (size 0) stay as
      // they are, or a reloaded image would stay findable after its unload.
      if (field(entry.base).load(std::memory_order_relaxed) != base) continue;
      if (field(entry.size).load(std::memory_order_acquire) == 0) continue;
      std::uint64_t expected = base;
      if (!field(entry.base).compare_exchange_strong(expected, base, std::memory_order_seq_cst)) {
        CTR_SDK_LOG_WARN("Error: Failed to swap during image unload\n");
        break;
      }
      field(entry.size).store(0, std::memory_order_release);
      field(entry.ehFrame).store(0, std::memory_order_relaxed);
      field(entry.unwindInfo).store(0, std::memory_order_relaxed);
      field(entry.crashInfo).store(0, std::memory_order_relaxed);
      return;
    }
  }
  CTR_SDK_LOG_WARN("Error: Unable to track a %s node %p\n", loaded ? "loaded" : "unloaded",
                   reinterpret_cast<void*>(static_cast<std::uintptr_t>(base)));
}

// ---------------------------------------------------------------------------
// Log lines

void CTRBinaryImageRecordSlice(bool loaded, const CTRBinaryImageDetails* details) {
  bool openedHere = false;
  if (!CTRBinaryImageOpenIfNeeded(&openedHere)) {
    CTR_SDK_LOG_WARN("Error: unable to open binary image log file\n");
    return;
  }
  CTRFile* file = &ctrWritableState->binaryImageLogFile;
  CTRFileBeginSection(file, loaded ? "load" : "unload");
  CTRFileBeginObject(file);
  const std::string path = details ? recordablePath(details->path) : std::string();
  CTRFileWriteStringField(file, "path", path.empty() ? nullptr : path.c_str());
  if (loaded && details) {
    if (auto info = frameworkInfo(details->path)) {
      CTRFileWriteStringFieldIfNotEmpty(file, "bundle_id",
                                        (*info)[platform::kCFBundleIdentifierKey]);
      CTRFileWriteStringFieldIfNotEmpty(file, "build_version",
                                        (*info)[platform::kCFBundleVersionKey]);
      CTRFileWriteStringFieldIfNotEmpty(file, "display_version",
                                        (*info)[platform::kCFBundleShortVersionStringKey]);
    }
  }
  CTRBinaryImageRecordDetails(file, details);
  CTRFileEndObject(file);
  CTRFileEndSection(file);
  if (openedHere) CTRBinaryImageCloseLog();
}

void CTRBinaryImageRecordDetails(CTRFile* file, const CTRBinaryImageDetails* details) {
  if (!CTRFileIsOpen(file) || !details) {
    CTR_SDK_LOG_WARN("Error: file is invalid\n");
    return;
  }
  CTRFileWriteStringField(file, "uuid", details->uuid);
  CTRFileWriteUnsignedField(file, "base", details->node.base);
  CTRFileWriteUnsignedField(file, "size", details->node.size);
}

bool CTRBinaryImageRecordMainExecutable(CTRFile* file) {
  CTRBinaryImageDetails details;
  for (const auto& image : platform::LoadedImages::list()) {
    if (image.isMainProgram) {
      CTRBinaryImageReadDetails(image, &details);
      break;
    }
  }
  // Architecture and versions come from the program's facts as the Mach-O
  // reader presents them (ABI-tag kernel version, C library version).
  CTRMachOSlice slice = CTRMachOSliceForRunningExecutable();
  CTRMachOSliceEnumerateLoadCommands(
      &slice, [&](std::uint32_t type, std::uint32_t, const void* command) {
        switch (type) {
          case kCTRMachOLoadCommandEncryptionInfo:
            details.encrypted = CTRMachOIsEncrypted(command);
            break;
          case kCTRMachOLoadCommandVersionMinMacOSX:
          case kCTRMachOLoadCommandVersionMinIPhoneOS:
          case kCTRMachOLoadCommandVersionMinTvOS:
          case kCTRMachOLoadCommandVersionMinWatchOS:
            details.minimumSDKVersion = CTRMachOGetMinimumOSVersion(command);
            details.builtSDKVersion = CTRMachOGetLinkedSDKVersion(command);
            break;
          default:
            break;
        }
      });
  const std::string minimum = CTRMachOFormatVersion(&details.minimumSDKVersion).value_or("0.0.0");
  const std::string built = CTRMachOFormatVersion(&details.builtSDKVersion).value_or("0.0.0");

  CTRFileBeginSection(file, "executable");
  CTRFileBeginObject(file);
  CTRFileWriteStringField(file, "architecture", CTRMachOSliceGetArchitectureName(&slice));
  CTRBinaryImageRecordDetails(file, &details);
  CTRFileWriteBoolField(file, "encrypted", details.encrypted);
  CTRFileWriteStringField(file, "minimum_sdk_version", minimum.c_str());
  CTRFileWriteStringField(file, "built_sdk_version", built.c_str());
  CTRFileEndObject(file);
  CTRFileEndSection(file);
  return true;
}

// ---------------------------------------------------------------------------
// Look-ups

bool CTRBinaryImageSafeFindImageForAddress(std::uintptr_t address, CTRBinaryImageEntry* out) {
  if (!CTRContextIsInitialized() || !CTRIsValidPointer(out) || address == 0) return false;
  CTRWritableState* state = ctrWritableState;
  if (!CTRIsValidPointer(state)) return false;
  for (auto& entry : state->binaryImages) {
    // Size first: it is written last, so a non-zero size means the entry
    // is complete.
    const std::uint64_t size = field(entry.size).load(std::memory_order_acquire);
    if (size == 0) continue;
    const std::uint64_t base = field(entry.base).load(std::memory_order_relaxed);
    if (base == 0 || address < base || address - base >= size) continue;
    out->base = base;
    out->size = size;
    out->ehFrame = field(entry.ehFrame).load(std::memory_order_relaxed);
    out->unwindInfo = field(entry.unwindInfo).load(std::memory_order_relaxed);
    out->crashInfo = field(entry.crashInfo).load(std::memory_order_relaxed);
    return true;
  }
  return false;
}

bool CTRBinaryImageHasCompactUnwindInfo(const CTRBinaryImageEntry* entry) {
  return CTRIsValidPointer(entry) && entry->unwindInfo >= kCTRMinimumValidPointer;
}

bool CTRBinaryImageFindImageForUUID(const char* uuid, CTRBinaryImageDetails* out) {
  if (!uuid || !out) {
    CTR_SDK_LOG_WARN("null input\n");
    return false;
  }
  if (uuid[0] == '\0') return false;  // images without a build-id have no UUID to match
  for (const auto& image : platform::LoadedImages::list()) {
    CTRBinaryImageDetails details;
    CTRBinaryImageReadDetails(image, &details);
    if (std::strncmp(details.uuid, uuid, sizeof details.uuid) == 0) {
      *out = details;
      return true;
    }
  }
  return false;
}

}  // namespace sdk

// ---------------------------------------------------------------------------
// Crash-time catch-up

namespace sdk {

namespace {

// The build-id of the image at `header` (first 16 bytes as hex), from its
// PT_NOTE segments read in memory; all zero when there is none.
void safeReadBuildID(std::uintptr_t bias, const ElfW(Phdr) * phdrs, int count, char* uuid) {
  std::memset(uuid, 0, 33);
  for (int i = 0; i < count; ++i) {
    if (phdrs[i].p_type != PT_NOTE) continue;
    std::uintptr_t note = bias + phdrs[i].p_vaddr;
    const std::uintptr_t end = note + phdrs[i].p_memsz;
    while (note + sizeof(ElfW(Nhdr)) <= end) {
      ElfW(Nhdr) header{};
      if (!CTRSafeReadMemory(reinterpret_cast<const void*>(note), &header, sizeof header)) break;
      const std::uintptr_t name = note + sizeof header;
      const std::uintptr_t desc = name + ((header.n_namesz + 3u) & ~3u);
      char owner[4] = {};
      if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == 4 &&
          CTRSafeReadMemory(reinterpret_cast<const void*>(name), owner, 4) &&
          std::memcmp(owner, "GNU", 4) == 0) {
        std::uint8_t bytes[16] = {};
        const std::size_t n = std::min<std::size_t>(header.n_descsz, sizeof bytes);
        if (CTRSafeReadMemory(reinterpret_cast<const void*>(desc), bytes, n)) {
          CTRHexFromBytes(bytes, sizeof bytes, uuid);
        }
        return;
      }
      note = desc + ((header.n_descsz + 3u) & ~3u);
    }
  }
}

bool tableHolds(CTRWritableState* state, std::uint64_t base) {
  for (auto& entry : state->binaryImages) {
    if (field(entry.base).load(std::memory_order_acquire) == base &&
        field(entry.size).load(std::memory_order_acquire) != 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

int CTRBinaryImageSafeRecordLateImages() {
  CTRWritableState* state = ctrWritableState;
  CTRContext* context = ctrContext;
  if (!CTRIsValidPointer(state) || !CTRIsValidPointer(context)) return 0;
  // The loader's own list: read without its lock, every pointer checked.
  const void* firstMap = nullptr;
  if (!CTRSafeReadMemory(&_r_debug.r_map, &firstMap, sizeof firstMap)) return 0;
  int added = 0;
  CTRFile log{};
  log.descriptor = -1;
  const struct link_map* cursor = static_cast<const struct link_map*>(firstMap);
  for (int guard = 0; cursor != nullptr && guard < 4096; ++guard) {
    struct link_map map {};
    if (!CTRSafeReadMemory(cursor, &map, sizeof map)) break;
    cursor = map.l_next;
    // Shared objects map their ELF header at the load bias; the program and
    // the vDSO are in the table from the start.
    const std::uintptr_t header = map.l_addr;
    ElfW(Ehdr) ehdr{};
    if (header < kCTRMinimumValidPointer ||
        !CTRSafeReadMemory(reinterpret_cast<const void*>(header), &ehdr, sizeof ehdr) ||
        std::memcmp(ehdr.e_ident, ELFMAG, SELFMAG) != 0 || ehdr.e_phnum == 0 || ehdr.e_phnum > 64 ||
        tableHolds(state, header)) {
      continue;
    }
    ElfW(Phdr) phdrs[64];
    if (!CTRSafeReadMemory(reinterpret_cast<const void*>(header + ehdr.e_phoff), phdrs,
                           sizeof(ElfW(Phdr)) * ehdr.e_phnum)) {
      continue;
    }
    CTRBinaryImageEntry node{};
    std::uint64_t low = UINT64_MAX, high = 0;
    for (int i = 0; i < ehdr.e_phnum; ++i) {
      if (phdrs[i].p_type == PT_LOAD) {
        low = std::min<std::uint64_t>(low, phdrs[i].p_vaddr);
        high = std::max<std::uint64_t>(high, phdrs[i].p_vaddr + phdrs[i].p_memsz);
      } else if (phdrs[i].p_type == PT_GNU_EH_FRAME) {
        node.ehFrame = header + phdrs[i].p_vaddr;
      }
    }
    if (low != 0 || high == 0) continue;  // not laid out from its header
    node.base = header;
    node.size = high;
    // Claimed like a loader callback's image; the log line follows.
    bool stored = false;
    for (auto& entry : state->binaryImages) {
      std::uint64_t expected = 0;
      if (field(entry.base).load(std::memory_order_relaxed) != 0) continue;
      if (!field(entry.base).compare_exchange_strong(expected, node.base)) continue;
      field(entry.ehFrame).store(node.ehFrame, std::memory_order_relaxed);
      field(entry.unwindInfo).store(0, std::memory_order_relaxed);
      field(entry.crashInfo).store(0, std::memory_order_relaxed);
      field(entry.size).store(node.size, std::memory_order_release);
      stored = true;
      break;
    }
    if (!stored) continue;
    ++added;
    if (!CTRFileIsOpen(&log) &&
        !CTRFileInitWithPathMode(&log, context->binaryImageLogPath, true, false)) {
      continue;
    }
    char uuid[33];
    safeReadBuildID(header, phdrs, ehdr.e_phnum, uuid);
    const char* path = nullptr;
    if (map.l_name != nullptr && !CTRSafeReadString(map.l_name, &path, 4096)) path = nullptr;
    CTRFileBeginSection(&log, "load");
    CTRFileBeginObject(&log);
    CTRFileWriteStringField(&log, "path", path != nullptr && path[0] != '\0' ? path : nullptr);
    CTRFileWriteStringField(&log, "uuid", uuid);
    CTRFileWriteUnsignedField(&log, "base", node.base);
    CTRFileWriteUnsignedField(&log, "size", node.size);
    CTRFileEndObject(&log);
    CTRFileEndSection(&log);
  }
  if (CTRFileIsOpen(&log)) CTRFileClose(&log);
  return added;
}

}  // namespace sdk
