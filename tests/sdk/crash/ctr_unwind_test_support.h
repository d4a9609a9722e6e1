// Helpers of the stack-walking tests: a crash context whose image table
// holds the images loaded in the test process, and fake images for hand-made
// stacks.
#pragma once

#include <elf.h>
#include <link.h>

#include <cstdint>

#include "crash_context_fixture.h"
#include "sdk/crash/capture/ctr_context.h"

namespace sdk::testing {

class UnwindContextTest : public CrashContextTest {
 protected:
  void SetUp() override {
    CrashContextTest::SetUp();
    context_.initialized = true;
  }

 public:
  // Puts an entry into the first free slot of the image table.
  void addImage(std::uint64_t base, std::uint64_t size, std::uint64_t ehFrame = 0,
                std::uint64_t unwindInfo = 0) {
    for (auto& entry : state_.binaryImages) {
      if (entry.base == 0) {
        entry = CTRBinaryImageEntry{base, size, ehFrame, unwindInfo, 0};
        return;
      }
    }
  }

  // Adds every image loaded in this process, the way the image table
  // describes ELF images (header address, PT_LOAD span, .eh_frame_hdr).
  void addLoadedImages() {
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* self) -> int {
          std::uint64_t low = UINT64_MAX;
          std::uint64_t high = 0;
          std::uint64_t ehFrameHdr = 0;
          for (int i = 0; i < info->dlpi_phnum; ++i) {
            const ElfW(Phdr)& ph = info->dlpi_phdr[i];
            if (ph.p_type == PT_LOAD) {
              if (ph.p_vaddr < low) low = ph.p_vaddr;
              if (ph.p_vaddr + ph.p_memsz > high) high = ph.p_vaddr + ph.p_memsz;
            } else if (ph.p_type == PT_GNU_EH_FRAME) {
              ehFrameHdr = info->dlpi_addr + ph.p_vaddr;
            }
          }
          if (high > low) {
            static_cast<UnwindContextTest*>(self)->addImage(info->dlpi_addr + low, high - low,
                                                            ehFrameHdr);
          }
          return 0;
        },
        this);
  }
};

}  // namespace sdk::testing
