// platform::LoadedImages: the images (the program and its shared objects)
// that the dynamic loader has mapped into this process, and callbacks when
// images are added or removed.
//
// The list comes from dl_iterate_phdr. The loader offers no load or unload
// callbacks, so changes are found by a rescan:
//  - addObserver() calls the observer's `added` at once, on the caller's
//    thread, for every image loaded now, in the loader's order;
//  - later changes are found by a rescan that runs every rescanInterval()
//    (1 s by default) on a dispatch timer while at least one observer is
//    registered, and on every explicit refresh(). A rescan first compares
//    the loader's load and unload counters (dlpi_adds / dlpi_subs) with the
//    last ones seen, so a rescan without a change costs one short
//    dl_iterate_phdr call.
// Latency (what the loader's own callbacks would not have): an image is
// reported up to one interval after dlopen returned (at once when the
// caller calls refresh() after its dlopen), and its removal only after
// dlclose has unmapped it. An image loaded and unloaded within one interval
// is never reported. The facts of a removed image are therefore the copies
// taken while it was mapped (path, program headers, build-id): an observer
// must not read the memory of an image in `removed`.
//
// Identity: an image is the same image while its header address, path and
// build-id stay the same; a library unloaded and another (or the same one
// again) loaded at the same address between two rescans is reported as a
// removal followed by an addition.
//
// Guarantees:
//  1. For each observer, every image is reported `added` once before it is
//     reported `removed` once; callbacks are delivered one at a time (never
//     concurrently), removals of a rescan before its additions.
//  2. A LoadedImage holds copies only; an observer that reads the image's
//     memory in `added` must know that the image is still loaded (the loader
//     may have unloaded it since the rescan). Never in `removed`.
//  3. Callbacks run on the thread that registered (initial images), called
//     refresh(), or on the rescan queue (timer rescans). A callback that
//     calls addObserver, removeObserver, refresh or setRescanInterval does
//     not deadlock: a nested refresh is skipped, a nested addObserver is
//     refused (token 0), a nested removeObserver takes effect at once, a
//     nested interval change applies after the next rescan. Calls from
//     other threads wait until the delivery has ended.
//
// Thread safety: every function may be called from any thread. None is
// async-signal-safe (they allocate and lock).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

struct LoadedImage {
  // One program header, copied (the fields of Elf64_Phdr that matter).
  struct Segment {
    std::uint32_t type = 0;  // PT_LOAD, PT_NOTE, PT_GNU_EH_FRAME, ...
    std::uint32_t flags = 0;
    std::uint64_t offset = 0;
    std::uint64_t vaddr = 0;  // link-time address; add `slide` in memory
    std::uint64_t filesz = 0;
    std::uint64_t memsz = 0;
  };

  // Address of the image's ELF header in memory (the start of its lowest
  // loadable segment, which maps file offset 0).
  std::uintptr_t header = 0;
  // The load bias: run-time address minus link-time address.
  std::intptr_t slide = 0;
  // The file's path: the resolved /proc/self/exe for the program, the
  // loader's name for others ("linux-vdso.so.1" or "[vdso]" for the vDSO).
  std::string path;
  bool isMainProgram = false;
  std::vector<Segment> segments;
  // The GNU build-id note's bytes; empty when the image has none.
  std::vector<std::uint8_t> buildID;

  // Bytes from `header` to the end of the highest loadable segment.
  std::uint64_t size() const;
  // Run-time address of the PT_GNU_EH_FRAME segment (".eh_frame_hdr");
  // 0 when there is none.
  std::uintptr_t ehFrameHeader() const;
  // The first 16 build-id bytes (zero-padded when shorter) as 32 lower-case
  // hex digits; "" without a build-id.
  std::string uuidString() const;
  // header <= address < header + size().
  bool contains(std::uintptr_t address) const;
};

class LoadedImages {
 public:
  using Callback = std::function<void(const LoadedImage& image)>;
  using Token = std::uint64_t;

  // The images loaded now, in the loader's order (the program first).
  static std::vector<LoadedImage> list();

  // Registers an observer (see the header comment); `added` runs at once for
  // every image loaded now. Answers a token for removeObserver; 0 when
  // refused (called from inside a callback).
  static Token addObserver(Callback added, Callback removed);
  // No further callbacks to the observer once this returns (when called
  // from another thread than a running delivery, after it has ended).
  static void removeObserver(Token token);

  // Rescans now and delivers the changes before returning.
  static void refresh();

  // How often the rescan timer runs (default 1 s). Applies to the next
  // tick.
  static void setRescanInterval(std::chrono::milliseconds interval);
  static std::chrono::milliseconds rescanInterval();
};

}  // namespace platform
