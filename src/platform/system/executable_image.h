// platform::ExecutableImage: what the SDK asks about a program's own binary,
// read from its ELF file: the image identifier, the architecture, the shared
// libraries it links and the versions it was built for.
//
// Where each fact comes from:
//  - buildID(): the descriptor of the GNU build-id note (NT_GNU_BUILD_ID);
//    uuid() is its first 16 bytes, zero-padded when shorter, nil without a
//    note.
//  - architectureName(): "x86_64", "i386", "arm64", "arm", "ppc64", "ppc"
//    from e_machine and the class; "unknown" for others.
//  - neededLibraries(): the DT_NEEDED entries of the dynamic section, in
//    their order (empty for a static program).
//  - minimumOSVersion(): the kernel version of the GNU ABI-tag note
//    (NT_GNU_ABI_TAG), e.g. 3.2.0; zero without one.
//  - linkedLibraryVersion(): the highest "GLIBC_x.y[.z]" version that the
//    program needs from the C library (its version-needs table); zero when
//    it names none.
//  - sections(): the named sections with their link-time addresses, sizes
//    and file offsets; textSegment(): the link-time span from the first
//    loadable segment to the end of the last executable one.
//
// Every offset and count read from the file is checked against the file's
// size: a truncated or malformed file gives nullptr or leaves the damaged
// table out, never a read outside the file.
//
// Thread safety: an ExecutableImage is immutable; running() may be called
// from any thread (the first call reads the file once).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/uuid.h"

namespace platform {

class ExecutableImage {
 public:
  struct Version {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t patch = 0;
    bool isZero() const { return major == 0 && minor == 0 && patch == 0; }
    friend bool operator==(const Version&, const Version&) = default;
  };

  struct Section {
    std::string name;           // ".text", ".eh_frame", ...
    std::uint64_t address = 0;  // link-time address (add loadBias() in memory)
    std::uint64_t size = 0;
    std::uint64_t offset = 0;  // file offset
  };

  struct Span {
    std::uint64_t address = 0;
    std::uint64_t size = 0;
  };

  // The image of the running program (/proc/self/exe), read on first use
  // and kept for the life of the process; nullptr when it cannot be read.
  static std::shared_ptr<const ExecutableImage> running();
  // Reads the ELF file at `path`; nullptr when it cannot be opened, is not
  // a regular file or is not ELF.
  static std::shared_ptr<const ExecutableImage> readFile(const std::string& path);
  // Reads an ELF image held in memory (the bytes of a file).
  static std::shared_ptr<const ExecutableImage> parse(std::string_view bytes,
                                                      std::string path = {});

  const std::string& path() const { return path_; }
  const std::vector<std::uint8_t>& buildID() const { return buildID_; }
  bool hasUUID() const { return !buildID_.empty(); }
  UUID uuid() const;
  std::uint16_t machine() const { return machine_; }
  bool is64Bit() const { return is64Bit_; }
  std::string architectureName() const;
  const std::vector<std::string>& neededLibraries() const { return needed_; }
  Version minimumOSVersion() const { return minimumOS_; }
  Version linkedLibraryVersion() const { return linkedLibrary_; }
  const std::vector<Section>& sections() const { return sections_; }
  std::optional<Section> section(std::string_view name) const;
  Span textSegment() const { return text_; }
  // For running(): the difference between load and link-time addresses of
  // the main program (0 for a program that is not position-independent).
  // Always 0 for readFile() and parse().
  std::uint64_t loadBias() const { return loadBias_; }

 private:
  std::string path_;
  std::vector<std::uint8_t> buildID_;
  std::uint16_t machine_ = 0;
  bool is64Bit_ = false;
  std::vector<std::string> needed_;
  Version minimumOS_;
  Version linkedLibrary_;
  std::vector<Section> sections_;
  Span text_;
  std::uint64_t loadBias_ = 0;

  friend class ExecutableImageReader;
};

}  // namespace platform
