#include "sdk/crash/ctr_unwind.h"

#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "sdk/crash/capture/ctr_binary_image.h"
#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/ctr_compact_unwind.h"
#include "sdk/crash/ctr_dwarf_unwind.h"

namespace sdk {

namespace {

bool ValidContext(const CTRUnwindContext* context) { return CTRIsValidPointer(context); }

}  // namespace

// ---------------------------------------------------------------------------
// Safe reads

namespace {

// Set once process_vm_readv turns out to be unavailable (an old kernel, or a
// sandbox that filters it); the pipe method is used from then on.
std::atomic<bool> gVMReadUnavailable{false};

}  // namespace

bool CTRSafeReadMemoryThroughPipe(const void* source, void* destination, std::size_t length) {
  if (!CTRIsValidPointer(source) || destination == nullptr) return false;
  if (length == 0) return true;
  const auto start = reinterpret_cast<std::uintptr_t>(source);
  if (start + length < start) return false;
  // The kernel copies what write() sends out of our own memory and answers
  // EFAULT for an unreadable address instead of faulting. Small pieces keep
  // every write within the pipe's buffer.
  // Raw syscalls: no library wrapper (or sanitizer interceptor) looks at
  // the memory in between.
  const int savedErrno = errno;
  int fds[2];
  if (::syscall(SYS_pipe2, fds, 0) != 0) {
    errno = savedErrno;
    return false;
  }
  constexpr std::size_t kPiece = 4096;
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < length) {
    const std::size_t piece = length - done < kPiece ? length - done : kPiece;
    const long written =
        ::syscall(SYS_write, fds[1], static_cast<const char*>(source) + done, piece);
    if (written <= 0) {
      ok = false;
      break;
    }
    std::size_t got = 0;
    while (got < static_cast<std::size_t>(written)) {
      const long n = ::syscall(SYS_read, fds[0], static_cast<char*>(destination) + done + got,
                               static_cast<std::size_t>(written) - got);
      if (n <= 0) {
        ok = false;
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    done += got;
  }
  ::syscall(SYS_close, fds[0]);
  ::syscall(SYS_close, fds[1]);
  errno = savedErrno;
  return ok && done == length;
}

bool CTRSafeReadMemory(const void* source, void* destination, std::size_t length) {
  if (!CTRIsValidPointer(source) || destination == nullptr) return false;
  if (length == 0) return true;
  const auto start = reinterpret_cast<std::uintptr_t>(source);
  if (start + length < start) return false;  // the range wraps around
  if (gVMReadUnavailable.load(std::memory_order_relaxed)) {
    return CTRSafeReadMemoryThroughPipe(source, destination, length);
  }
  // The kernel copies from our own address space and reports an unmapped or
  // unreadable page as a short read or EFAULT, never as a fault in here.
  // The raw syscall keeps errno and any library wrappers out of the way.
  const int savedErrno = errno;
  struct iovec local = {destination, length};
  struct iovec remote = {const_cast<void*>(source), length};
  const long copied = ::syscall(SYS_process_vm_readv, static_cast<long>(::getpid()), &local, 1UL,
                                &remote, 1UL, 0UL);
  const int error = errno;
  errno = savedErrno;
  if (copied < 0 && (error == ENOSYS || error == EPERM)) {
    gVMReadUnavailable.store(true, std::memory_order_relaxed);
    return CTRSafeReadMemoryThroughPipe(source, destination, length);
  }
  return copied >= 0 && static_cast<std::size_t>(copied) == length;
}

bool CTRSafeReadString(const char* address, const char** string, std::size_t maxLength) {
  if (!CTRIsValidPointer(address) || string == nullptr) return false;
  for (std::size_t i = 0; i < maxLength; ++i) {
    const char* p = address + i;
    if (!CTRIsValidPointer(p)) return false;
    char c = 0;
    if (!CTRSafeReadMemory(p, &c, 1)) return false;
    if (c == '\0') break;
  }
  *string = address;
  return true;
}

// ---------------------------------------------------------------------------
// Machine context

bool CTRMachineContextFromUContext(const ucontext_t* uc, CTRMachineContext* out) {
  if (uc == nullptr || out == nullptr) return false;
  std::memset(out, 0, sizeof(*out));
  const greg_t* g = uc->uc_mcontext.gregs;
  CTRThreadState& s = out->ss;
  s.rax = static_cast<std::uint64_t>(g[REG_RAX]);
  s.rbx = static_cast<std::uint64_t>(g[REG_RBX]);
  s.rcx = static_cast<std::uint64_t>(g[REG_RCX]);
  s.rdx = static_cast<std::uint64_t>(g[REG_RDX]);
  s.rdi = static_cast<std::uint64_t>(g[REG_RDI]);
  s.rsi = static_cast<std::uint64_t>(g[REG_RSI]);
  s.rbp = static_cast<std::uint64_t>(g[REG_RBP]);
  s.rsp = static_cast<std::uint64_t>(g[REG_RSP]);
  s.r8 = static_cast<std::uint64_t>(g[REG_R8]);
  s.r9 = static_cast<std::uint64_t>(g[REG_R9]);
  s.r10 = static_cast<std::uint64_t>(g[REG_R10]);
  s.r11 = static_cast<std::uint64_t>(g[REG_R11]);
  s.r12 = static_cast<std::uint64_t>(g[REG_R12]);
  s.r13 = static_cast<std::uint64_t>(g[REG_R13]);
  s.r14 = static_cast<std::uint64_t>(g[REG_R14]);
  s.r15 = static_cast<std::uint64_t>(g[REG_R15]);
  s.rip = static_cast<std::uint64_t>(g[REG_RIP]);
  s.rflags = static_cast<std::uint64_t>(g[REG_EFL]);
  // REG_CSGSFS packs cs (bits 0-15), gs (16-31) and fs (32-47).
  const auto csgsfs = static_cast<std::uint64_t>(g[REG_CSGSFS]);
  s.cs = csgsfs & 0xffff;
  s.gs = (csgsfs >> 16) & 0xffff;
  s.fs = (csgsfs >> 32) & 0xffff;
  out->es.trapno = static_cast<std::uint16_t>(g[REG_TRAPNO]);
  out->es.err = static_cast<std::uint32_t>(g[REG_ERR]);
  out->es.faultvaddr = static_cast<std::uint64_t>(g[REG_CR2]);
  // The float state lives behind a pointer (into the signal frame or the
  // ucontext itself); copy it only when it can be read.
  if (uc->uc_mcontext.fpregs != nullptr) {
    if (!CTRSafeReadMemory(uc->uc_mcontext.fpregs, out->fs.fxsave, sizeof(out->fs.fxsave))) {
      std::memset(out->fs.fxsave, 0, sizeof(out->fs.fxsave));
    }
  }
  return true;
}

CTRThreadState* CTRUnwindGetThreadState(CTRMachineContext* registers) {
  if (!CTRIsValidPointer(registers)) return nullptr;
  return &registers->ss;
}

const CTRThreadState* CTRUnwindGetThreadState(const CTRMachineContext* registers) {
  if (!CTRIsValidPointer(registers)) return nullptr;
  return &registers->ss;
}

// ---------------------------------------------------------------------------
// Context and accessors

bool CTRUnwindInit(CTRUnwindContext* context, const CTRMachineContext* registers) {
  if (context == nullptr) return false;
  std::memset(context, 0, sizeof(*context));
  if (registers != nullptr) std::memcpy(&context->registers, registers, sizeof(*registers));
  return true;
}

std::uintptr_t CTRUnwindGetPC(const CTRUnwindContext* context) {
  return ValidContext(context) ? context->registers.ss.rip : 0;
}

std::uintptr_t CTRUnwindGetStackPointer(const CTRUnwindContext* context) {
  return ValidContext(context) ? context->registers.ss.rsp : 0;
}

std::uintptr_t CTRUnwindGetFramePointer(const CTRUnwindContext* context) {
  return ValidContext(context) ? context->registers.ss.rbp : 0;
}

bool CTRUnwindSetPC(CTRUnwindContext* context, std::uintptr_t value) {
  if (!ValidContext(context)) return false;
  context->registers.ss.rip = value;
  return true;
}

bool CTRUnwindSetStackPointer(CTRUnwindContext* context, std::uintptr_t value) {
  if (!ValidContext(context)) return false;
  context->registers.ss.rsp = value;
  return true;
}

bool CTRUnwindSetFramePointer(CTRUnwindContext* context, std::uintptr_t value) {
  if (!ValidContext(context)) return false;
  context->registers.ss.rbp = value;
  return true;
}

std::int32_t CTRUnwindGetPCRepeatCount(const CTRUnwindContext* context) {
  return ValidContext(context) ? context->repeatCount : 0;
}

bool CTRUnwindIsAddressExecutable(std::uintptr_t address) {
  CTRBinaryImageEntry entry{};
  return CTRBinaryImageSafeFindImageForAddress(address, &entry);
}

// ---------------------------------------------------------------------------
// Frame pointer and stack scan

bool CTRUnwindFirstExecutableAddress(std::uintptr_t start, std::uintptr_t end,
                                     std::uintptr_t* foundAddress) {
  if (foundAddress == nullptr) return false;
  *foundAddress = 0;
  // The first word is examined even when start is not below end.
  std::uintptr_t address = start;
  do {
    std::uintptr_t word = 0;
    if (address >= kCTRMinimumValidPointer) {
      if (!CTRSafeReadMemory(reinterpret_cast<const void*>(address), &word, sizeof(word))) {
        CTR_SDK_LOG_DEBUG("Checking address %p => %p\n", reinterpret_cast<void*>(address), nullptr);
        return false;
      }
      CTR_SDK_LOG_DEBUG("Checking address %p => %p\n", reinterpret_cast<void*>(address),
                        reinterpret_cast<void*>(word));
      CTR_SDK_LOG_DEBUG("Checking for executable %p\n", reinterpret_cast<void*>(word));
      if (CTRUnwindIsAddressExecutable(word)) {
        *foundAddress = word;
        return true;
      }
    }
    if (address > UINTPTR_MAX - sizeof(std::uintptr_t)) break;
    address += sizeof(std::uintptr_t);
  } while (address < end);
  return false;
}

bool CTRUnwindWithFramePointer(CTRUnwindContext* context, bool tryStackScan) {
  if (!ValidContext(context)) return false;
  if (tryStackScan) {
    CTR_SDK_LOG_INFO("Attempting stack scan\n");
    std::uintptr_t found = 0;
    if (CTRUnwindFirstExecutableAddress(CTRUnwindGetStackPointer(context),
                                        CTRUnwindGetFramePointer(context), &found)) {
      CTR_SDK_LOG_INFO("Stack scan successful\n");
      return CTRUnwindSetPC(context, found);
    }
  }
  // The stack grows down: a frame's saved frame pointer lies at or above its
  // stack pointer, and every step through the chain sets the stack pointer
  // just above the frame it read. A frame pointer below the stack pointer is
  // therefore a chain that points back down (a cycle or a corrupted link);
  // following it would repeat frames until the frame limit.
  const std::uintptr_t fp = CTRUnwindGetFramePointer(context);
  const std::uintptr_t sp = CTRUnwindGetStackPointer(context);
  if (fp < sp) {
    CTR_SDK_LOG_WARN("Frame pointer %p is below the stack pointer %p, ending the walk\n",
                     reinterpret_cast<void*>(fp), reinterpret_cast<void*>(sp));
    return false;
  }
  return CTRCompactUnwindBPFrame(context);
}

// ---------------------------------------------------------------------------
// One step

namespace {

// Tries the unwind tables of the image that holds the (adjusted) pc.
bool UnwindWithImageTables(CTRUnwindContext* context) {
  const std::uintptr_t pc = CTRUnwindGetPC(context);
  CTRBinaryImageEntry image{};
  if (!CTRBinaryImageSafeFindImageForAddress(pc, &image)) {
    CTR_SDK_LOG_WARN("Unable to find binary for %p\n", reinterpret_cast<void*>(pc));
    return false;
  }
  CTR_SDK_LOG_DEBUG("Binary image for %p at %p\n", reinterpret_cast<void*>(pc),
                    reinterpret_cast<void*>(static_cast<std::uintptr_t>(image.base)));
  if (CTRBinaryImageHasCompactUnwindInfo(&image)) {
    if (!CTRCompactUnwindInit(
            &context->compactUnwindState, static_cast<std::uintptr_t>(image.unwindInfo),
            static_cast<std::uintptr_t>(image.ehFrame), static_cast<std::uintptr_t>(image.base))) {
      CTR_SDK_LOG_ERROR("Unable to read unwind info\n");
      return false;
    }
    return CTRCompactUnwindLookupAndCompute(&context->compactUnwindState, context);
  }
  // ELF images carry no compact unwind section; their ".eh_frame_hdr" search
  // table leads to the DWARF call-frame information instead.
  if (image.ehFrame >= kCTRMinimumValidPointer) {
    return CTRDwarfUnwindWithEhFrameHdr(static_cast<std::uintptr_t>(image.ehFrame), context);
  }
  CTR_SDK_LOG_INFO("Binary image at %p has no unwind info\n",
                   reinterpret_cast<void*>(static_cast<std::uintptr_t>(image.base)));
  return false;
}

// A call through a null or stray function pointer faults with a pc that is
// in no image; the call pushed its return address, so the walk starts from
// there: the caller becomes frame 0 instead of the thread having no frames.
void StartFromReturnAddressIfPCIsBad(CTRUnwindContext* context) {
  const std::uintptr_t pc = CTRUnwindGetPC(context);
  const std::uintptr_t sp = CTRUnwindGetStackPointer(context);
  if (sp < kCTRMinimumValidPointer) return;
  if (pc >= kCTRMinimumValidPointer && CTRUnwindIsAddressExecutable(pc)) return;
  std::uintptr_t returnAddress = 0;
  if (!CTRSafeReadMemory(reinterpret_cast<const void*>(sp), &returnAddress,
                         sizeof(returnAddress)) ||
      !CTRUnwindIsAddressExecutable(returnAddress)) {
    return;
  }
  CTR_SDK_LOG_WARN("PC %p is in no image, starting from the return address at the stack pointer\n",
                   reinterpret_cast<void*>(pc));
  CTRUnwindSetPC(context, returnAddress);
  CTRUnwindSetStackPointer(context, sp + sizeof(std::uintptr_t));
  context->firstFrameIsReturnAddress = true;
}

}  // namespace

bool CTRUnwindNextFrame(CTRUnwindContext* context) {
  if (!ValidContext(context)) {
    CTR_SDK_LOG_WARN("Error: invalid inputs\n");
    return false;
  }
  if (context->frameCount == 0) StartFromReturnAddressIfPCIsBad(context);
  if (CTRUnwindGetPC(context) < kCTRMinimumValidPointer ||
      CTRUnwindGetStackPointer(context) < kCTRMinimumValidPointer) {
    if (context->frameCount == 0) {
      CTR_SDK_LOG_WARN("Cancelling unwind for thread with invalid PC/SP\n");
    } else {
      CTR_SDK_LOG_WARN("Error: thread PC/SP invalid before unwind\n");
    }
    return false;
  }
  if (context->frameCount >= kCTRUnwindMaxFrames) {
    CTR_SDK_LOG_WARN("Exceeded maximum number of frames\n");
    CTR_SDK_LOG_ERROR("Failed to advance to the next frame\n");
    return false;
  }

  // Frame 0 is the instruction that was running (unless it was taken from
  // the stack, above): its own rules apply, also at a function's first
  // instruction. Every later frame is a return address.
  const bool atReturnAddress = context->frameCount > 1 || context->firstFrameIsReturnAddress;
  if (context->frameCount > 0) {
    // Look the function up inside the call instruction rather than at the
    // return address, which may already be the first byte of another one.
    const std::uintptr_t pc = CTRUnwindGetPC(context) - (atReturnAddress ? 1 : 0);
    if (pc < kCTRMinimumValidPointer) {
      CTR_SDK_LOG_ERROR("PC is invalid\n");
      CTR_SDK_LOG_ERROR("Failed to advance to the next frame\n");
      return false;
    }
    if (!CTRUnwindSetPC(context, pc)) {
      CTR_SDK_LOG_ERROR("Unable to set PC\n");
      CTR_SDK_LOG_ERROR("Failed to advance to the next frame\n");
      return false;
    }

    if (!UnwindWithImageTables(context)) {
      if (CTRUnwindGetFramePointer(context) == 0) {
        CTR_SDK_LOG_WARN("FP is zero, aborting unwind\n");
        CTRUnwindSetPC(context, 0);
      } else if (!CTRUnwindWithFramePointer(context, context->frameCount == 1)) {
        CTR_SDK_LOG_ERROR("Unable to use frame pointer\n");
        CTR_SDK_LOG_ERROR("Failed to advance to the next frame\n");
        return false;
      }
    }
  }

  const std::uintptr_t pc = CTRUnwindGetPC(context);
  if (pc < kCTRMinimumValidPointer) return false;
  const std::uintptr_t sp = CTRUnwindGetStackPointer(context);
  if (sp < kCTRMinimumValidPointer) {
    CTR_SDK_LOG_WARN("Error: SP (%p) isn't a valid pointer\n", reinterpret_cast<void*>(sp));
    return false;
  }
  context->repeatCount = (pc == context->lastFramePC) ? context->repeatCount + 1 : 0;
  context->frameCount += 1;
  context->lastFramePC = pc;
  return true;
}

}  // namespace sdk
