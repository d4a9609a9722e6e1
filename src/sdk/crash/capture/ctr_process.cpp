#include "sdk/crash/capture/ctr_process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/dispatch/thread_crash_info.h"
#include "sdk/crash/capture/ctr_binary_image.h"
#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_host.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/ctr_unwind.h"

namespace sdk {

namespace {

inline constexpr std::uint64_t kDefaultPageSize = 4096;

// The layout of an image's crash annotation that is read (56 bytes).
struct CrashInfoAnnotation {
  std::uint64_t version;
  std::uint64_t message;
  std::uint64_t signature;
  std::uint64_t backtrace;
  std::uint64_t message2;
  std::uint64_t reserved;
  std::uint64_t reserved2;
};
static_assert(sizeof(CrashInfoAnnotation) == 56);

std::uint64_t pageSize() {
  CTRContext* context = ctrContext;
  if (CTRIsValidPointer(context) && context->host.pageSize != 0) return context->host.pageSize;
  return kDefaultPageSize;
}

// Reads a small file of /proc into `buffer` (terminated); the length read
// or -1.
long readSmallFile(const char* path, char* buffer, std::size_t size) {
  const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
  if (fd < 0) return -1;
  std::size_t used = 0;
  while (used + 1 < size) {
    const long got = syscall(SYS_read, fd, buffer + used, size - 1 - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      syscall(SYS_close, fd);
      return -1;
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  syscall(SYS_close, fd);
  buffer[used] = '\0';
  return static_cast<long>(used);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The value of "<key>:   <n> kB" in meminfo text, in bytes.
bool meminfoValue(const char* text, std::size_t length, const char* key, std::uint64_t* out) {
  const std::size_t keyLength = std::strlen(key);
  std::size_t line = 0;
  while (line < length) {
    std::size_t end = line;
    while (end < length && text[end] != '\n') ++end;
    if (end - line > keyLength && std::memcmp(text + line, key, keyLength) == 0 &&
        text[line + keyLength] == ':') {
      std::size_t p = line + keyLength + 1;
      while (p < end && text[p] == ' ') ++p;
      if (p == end || !isDigit(text[p])) return false;
      std::uint64_t value = 0;
      while (p < end && isDigit(text[p]))
        value = value * 10 + static_cast<std::uint64_t>(text[p++] - '0');
      while (p < end && text[p] == ' ') ++p;
      const bool kilobytes = end - p >= 2 && text[p] == 'k' && text[p + 1] == 'B';
      *out = kilobytes ? value * 1024 : value;
      return true;
    }
    line = end + 1;
  }
  return false;
}

// Copies a terminated string of at most `max` bytes from possibly invalid
// memory into `buffer` (max + 1 bytes), byte by byte through the safe read.
bool safeCopyString(std::uintptr_t address, char* buffer, std::size_t max) {
  buffer[0] = '\0';
  const char* checked = nullptr;
  if (!CTRSafeReadString(reinterpret_cast<const char*>(address), &checked, max)) return false;
  std::size_t i = 0;
  for (; i < max; ++i) {
    char c = 0;
    if (!CTRSafeReadMemory(reinterpret_cast<const void*>(address + i), &c, 1)) return false;
    buffer[i] = c;
    if (c == '\0') return true;
  }
  buffer[i] = '\0';
  return true;
}

// Makes a thread name safe to write as a plain string: a quote, backslash or
// control character would break the line, and a name cut to the kernel's 15
// bytes may end inside a UTF-8 sequence, which would make the whole file
// unreadable as text. Such bytes become "?"; valid UTF-8 stays as it is.
void sanitizePlainString(char* text) {
  auto* p = reinterpret_cast<unsigned char*>(text);
  while (*p != 0) {
    const unsigned char c = *p;
    if (c < 0x80) {
      if (c < 0x20 || c == '"' || c == '\\' || c == 0x7f) *p = '?';
      ++p;
      continue;
    }
    int follow = 0;
    if ((c & 0xe0) == 0xc0 && c >= 0xc2) {
      follow = 1;
    } else if ((c & 0xf0) == 0xe0) {
      follow = 2;
    } else if ((c & 0xf8) == 0xf0 && c <= 0xf4) {
      follow = 3;
    } else {
      *p++ = '?';
      continue;
    }
    bool valid = true;
    for (int k = 1; k <= follow; ++k) {
      if ((p[k] & 0xc0) != 0x80) {
        valid = false;
        break;
      }
    }
    if (!valid) {
      *p++ = '?';
      continue;
    }
    p += follow + 1;
  }
}

void writeRegisters(CTRFile* file, const CTRThreadState& s) {
  CTRFileWriteKey(file, "registers");
  CTRFileBeginObject(file);
  CTRFileWriteUnsignedField(file, "rax", s.rax);
  CTRFileWriteUnsignedField(file, "rbx", s.rbx);
  CTRFileWriteUnsignedField(file, "rcx", s.rcx);
  CTRFileWriteUnsignedField(file, "rdx", s.rdx);
  CTRFileWriteUnsignedField(file, "rdi", s.rdi);
  CTRFileWriteUnsignedField(file, "rsi", s.rsi);
  CTRFileWriteUnsignedField(file, "rbp", s.rbp);
  CTRFileWriteUnsignedField(file, "rsp", s.rsp);
  CTRFileWriteUnsignedField(file, "r8", s.r8);
  CTRFileWriteUnsignedField(file, "r9", s.r9);
  CTRFileWriteUnsignedField(file, "r10", s.r10);
  CTRFileWriteUnsignedField(file, "r11", s.r11);
  CTRFileWriteUnsignedField(file, "r12", s.r12);
  CTRFileWriteUnsignedField(file, "r13", s.r13);
  CTRFileWriteUnsignedField(file, "r14", s.r14);
  CTRFileWriteUnsignedField(file, "r15", s.r15);
  CTRFileWriteUnsignedField(file, "rip", s.rip);
  CTRFileWriteUnsignedField(file, "rflags", s.rflags);
  CTRFileWriteUnsignedField(file, "cs", s.cs);
  CTRFileWriteUnsignedField(file, "fs", s.fs);
  CTRFileWriteUnsignedField(file, "gs", s.gs);
  CTRFileEndObject(file);
}

void setMinimumLevel(std::int32_t level) {
  CTRWritableState* state = ctrWritableState;
  if (CTRIsValidPointer(state)) state->sdkLogMinimumLevel = level;
}

std::int32_t minimumLevel() {
  CTRWritableState* state = ctrWritableState;
  return CTRIsValidPointer(state) ? state->sdkLogMinimumLevel : kCTRSDKLogLevelDebug;
}

}  // namespace

void CTRHandler(CTRFile* file, CTRThread crashedThread, const ucontext_t* userContext,
                CTRHandlerRelease release) {
  CTRProcess process;
  std::memset(&process, 0, sizeof(process));
  CTRProcessInit(&process, crashedThread, userContext);
  CTRProcessSuspendAllOtherThreads(&process);
  // A library loaded since the last rescan joins the table before any walk.
  CTRBinaryImageSafeRecordLateImages();
  CTRProcessRecordAllThreads(&process, file);
  CTRProcessRecordRuntimeInfo(&process, file);
  CTRProcessRecordDispatchQueueNames(&process, file);
  CTRProcessRecordThreadNames(&process, file);
  CTRProcessRecordStats(&process, file);
  CTRHostRecordStorage(file);
  // Held threads are released by CTRHandlerReleaseHeldThreads, or never:
  // the fatal signal ends them with the process.
  if (release == CTRHandlerRelease::kResumeOthers) CTRProcessResumeAllOtherThreads(&process);

  CTRContext* context = ctrContext;
  if (CTRIsValidPointer(context) && CTRIsValidPointer(context->crashCallbackTarget)) {
    CTR_SDK_LOG_WARN("Performing syncrhonous crash callback - hold onto your butts\n");
    context->crashCallbackTarget->deliverCrashDelegateCallback();
  }
}

bool CTRHandlerReleaseHeldThreads() { return ::platform::ThreadStateResumeAll(); }

bool CTRProcessInit(CTRProcess* process, CTRThread crashedThread, const ucontext_t* userContext) {
  if (!CTRIsValidPointer(process)) return false;
  process->task = static_cast<pid_t>(syscall(SYS_getpid));
  process->currentThread = ::platform::ThreadStateCurrentThread();
  process->crashedThread = crashedThread;
  process->userContext = CTRIsValidPointer(userContext) ? userContext : nullptr;
  process->threads = process->threadStorage;
  process->suspensionActive = false;
  for (bool& s : process->suspended) s = false;
  int total = 0;
  const int listed =
      ::platform::ThreadStateListThreads(process->threadStorage, kCTRProcessMaxThreads, &total);
  if (listed < 0) {
    CTR_SDK_LOG_WARN("Error: unable to get task threads\n");
    process->threadCount = 0;
    return false;
  }
  process->threadCount = static_cast<std::uint32_t>(listed);
  if (total > listed) {
    CTR_SDK_LOG_WARN("Too many threads, %d of %d are not recorded\n", total - listed, total);
    // Keep the crashed thread among those recorded.
    bool present = false;
    for (int i = 0; i < listed; ++i)
      present = present || process->threadStorage[i] == crashedThread;
    if (!present && listed > 0 && crashedThread > 0)
      process->threadStorage[listed - 1] = crashedThread;
  }
  return true;
}

bool CTRProcessSuspendAllOtherThreads(CTRProcess* process) {
  if (!CTRIsValidPointer(process)) return false;
  if (process->threadCount == 0) return true;
  const int count = static_cast<int>(process->threadCount);
  const int stopped = ::platform::ThreadStateSuspend(process->threads, count, process->suspended);
  if (stopped < 0) {
    CTR_SDK_LOG_WARN("Unable to suspend threads\n");
    return false;
  }
  process->suspensionActive = true;
  int others = 0;
  for (int i = 0; i < count; ++i) others += process->threads[i] != process->currentThread ? 1 : 0;
  if (stopped != others) {
    CTR_SDK_LOG_WARN("Unable to suspend %d threads\n", others - stopped);
    return false;
  }
  return true;
}

bool CTRProcessResumeAllOtherThreads(CTRProcess* process) {
  if (!CTRIsValidPointer(process)) return false;
  if (!process->suspensionActive) return true;
  for (std::uint32_t i = 0; i < process->threadCount; ++i) process->suspended[i] = false;
  process->suspensionActive = false;
  return ::platform::ThreadStateResumeAll();
}

__attribute__((noinline)) bool CTRProcessGetThreadState(const CTRProcess* process, CTRThread thread,
                                                        CTRMachineContext* out) {
  if (!CTRIsValidPointer(out)) {
    CTR_SDK_LOG_ERROR("invalid context supplied");
    return false;
  }
  if (!CTRIsValidPointer(process)) return false;
  if (thread == process->crashedThread && process->userContext != nullptr) {
    return CTRMachineContextFromUContext(process->userContext, out);
  }
  if (thread == process->currentThread) {
    CTR_SDK_LOG_WARN("Faking current thread\n");
    std::memset(out, 0, sizeof(*out));
    // The state of the caller right after this call returns: its pc, its
    // stack pointer and its frame pointer (saved at this call's entry).
    const auto* frame = static_cast<const std::uintptr_t*>(__builtin_frame_address(0));
    out->ss.rip = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    out->ss.rsp = reinterpret_cast<std::uintptr_t>(frame) + 16;
    out->ss.rbp = frame[0];
    return true;
  }
  ::platform::ThreadRegisters registers{};
  if (!::platform::ThreadStateGetRegisters(thread, &registers)) {
    // A thread that did not stop (it blocks the suspend signal) but waits in
    // the kernel still has a known pc and stack pointer.
    if (!::platform::ThreadStateReadBlockedRegisters(thread, &registers)) {
      CTR_SDK_LOG_ERROR("failed to get thread state\n");
      return false;
    }
    CTR_SDK_LOG_WARN("Thread %d is not suspended, using its blocked state\n", thread);
  }
  std::memset(out, 0, sizeof(*out));
  CTRThreadState& s = out->ss;
  s.rax = registers.rax;
  s.rbx = registers.rbx;
  s.rcx = registers.rcx;
  s.rdx = registers.rdx;
  s.rdi = registers.rdi;
  s.rsi = registers.rsi;
  s.rbp = registers.rbp;
  s.rsp = registers.rsp;
  s.r8 = registers.r8;
  s.r9 = registers.r9;
  s.r10 = registers.r10;
  s.r11 = registers.r11;
  s.r12 = registers.r12;
  s.r13 = registers.r13;
  s.r14 = registers.r14;
  s.r15 = registers.r15;
  s.rip = registers.rip;
  s.rflags = registers.rflags;
  s.cs = registers.cs;
  s.fs = registers.fs;
  s.gs = registers.gs;
  return true;
}

namespace {
std::atomic<std::uintptr_t> gThrowSiteReturnAddress{0};
// How deep the throw site is looked for above the recording frames.
constexpr std::uint32_t kCTRProcessThrowSiteSearchFrames = 64;
}  // namespace

void CTRProcessSetThrowSiteReturnAddress(std::uintptr_t returnAddress) {
  gThrowSiteReturnAddress.store(returnAddress, std::memory_order_release);
}

bool CTRProcessRecordThread(CTRProcess* process, CTRThread thread, CTRFile* file) {
  CTRMachineContext state;
  if (!CTRProcessGetThreadState(process, thread, &state)) {
    CTR_SDK_LOG_ERROR("unable to get thread state");
    return false;
  }
  CTRUnwindContext unwind;
  if (!CTRUnwindInit(&unwind, &state)) {
    CTR_SDK_LOG_WARN("unable to init unwind context\n");
    return false;
  }

  // An uncaught exception is recorded from inside the runtime's and the
  // SDK's own frames: the thread's stack starts at the frame that threw
  // (its return address less one, inside the call, like a running
  // instruction), when the walk finds that frame.
  std::uintptr_t firstPC = 0;
  const std::uintptr_t throwSite = gThrowSiteReturnAddress.load(std::memory_order_acquire);
  if (thread == process->currentThread && throwSite >= kCTRMinimumValidPointer) {
    CTRUnwindContext probe = unwind;
    std::uint32_t skip = 0;
    bool found = false;
    while (skip < kCTRProcessThrowSiteSearchFrames && CTRUnwindNextFrame(&probe)) {
      if (CTRUnwindGetPC(&probe) == throwSite) {
        found = true;
        break;
      }
      ++skip;
    }
    if (found) {
      for (std::uint32_t i = 0; i <= skip; ++i) CTRUnwindNextFrame(&unwind);
      firstPC = throwSite - 1;
    }
  }

  CTRFileBeginObject(file);
  writeRegisters(file, state.ss);
  CTRFileWriteKey(file, "stacktrace");
  CTRFileBeginArray(file);
  if (firstPC != 0) CTRFileAppendUnsigned(file, firstPC);
  const std::int32_t savedLevel = minimumLevel();
  bool repeating = false;
  std::uintptr_t repeatedPC = 0;
  std::int32_t repeatCount = 0;
  std::uintptr_t lastPC = 0;
  std::uintptr_t lastSP = 0;
  bool first = true;
  while (CTRUnwindNextFrame(&unwind)) {
    const std::uintptr_t pc = CTRUnwindGetPC(&unwind);
    const std::uintptr_t sp = CTRUnwindGetStackPointer(&unwind);
    const std::int32_t count = CTRUnwindGetPCRepeatCount(&unwind);
    // A step that leaves both pc and stack pointer where they were can only
    // repeat itself up to the frame limit; even the deepest recursion moves
    // the stack pointer.
    if (!first && pc == lastPC && sp == lastSP) {
      CTR_SDK_LOG_WARN("Unwinding made no progress at %p, ending the stack\n",
                       reinterpret_cast<void*>(pc));
      break;
    }
    first = false;
    lastPC = pc;
    lastSP = sp;
    if (repeating && pc == repeatedPC) {
      repeatCount = count;
      continue;
    }
    if (!repeating && count >= kCTRProcessRepeatedPCLimit) {
      CTR_SDK_LOG_WARN("Possible infinite recursion - suppressing logging\n");
      setMinimumLevel(kCTRSDKLogLevelWarn);
      repeating = true;
      repeatedPC = pc;
      repeatCount = count;
      continue;
    }
    if (repeating) setMinimumLevel(savedLevel);
    CTRFileAppendUnsigned(file, pc);
  }
  CTRFileEndArray(file);
  if (thread == process->crashedThread) CTRFileWriteBoolField(file, "crashed", true);
  if (repeating) {
    CTRFileWriteUnsignedField(file, "repeated_pc", repeatedPC);
    CTRFileWriteUnsignedField(file, "repeat_count", static_cast<std::uint64_t>(repeatCount));
  }
  setMinimumLevel(savedLevel);
  CTRFileEndObject(file);
  return true;
}

bool CTRProcessRecordAllThreads(CTRProcess* process, CTRFile* file) {
  if (!CTRIsValidPointer(process)) return false;
  CTRFileBeginSection(file, "threads");
  CTRFileBeginArray(file);
  for (std::uint32_t i = 0; i < process->threadCount; ++i) {
    CTR_SDK_LOG_INFO("recording thread %d data\n", static_cast<int>(i));
    if (!CTRProcessRecordThread(process, process->threads[i], file)) {
      CTRFileEndArray(file);
      CTRFileEndSection(file);
      return false;
    }
  }
  CTRFileEndArray(file);
  CTRFileEndSection(file);
  CTR_SDK_LOG_INFO("completed recording all thread data\n");
  return true;
}

const char* CTRProcessGetObjCSelectorName(const CTRMachineContext*) {
  // No message-send runtime here: no crash can happen inside one.
  return "";
}

namespace {
// glibc's `struct abort_msg_s`: the size of the mapping, then the text.
struct AbortMessage {
  unsigned int size;
  char message[1];
};
std::atomic<AbortMessage**> gAbortMessage{nullptr};
}  // namespace

void CTRProcessLocateAbortMessage() {
#if defined(__GLIBC__)
  void* symbol = ::dlvsym(RTLD_DEFAULT, "__abort_msg", "GLIBC_PRIVATE");
  gAbortMessage.store(static_cast<AbortMessage**>(symbol), std::memory_order_release);
#endif
}

// The C library's abort message, when there is one.
static void recordAbortMessage(CTRFile* file) {
  AbortMessage** slot = gAbortMessage.load(std::memory_order_acquire);
  if (slot == nullptr) return;
  AbortMessage* abortMessage = nullptr;
  if (!CTRSafeReadMemory(slot, &abortMessage, sizeof(abortMessage)) || abortMessage == nullptr) {
    return;
  }
  char message[kCTRProcessCrashInfoMessageMaxLength + 1];
  if (!safeCopyString(reinterpret_cast<std::uintptr_t>(abortMessage->message), message,
                      kCTRProcessCrashInfoMessageMaxLength)) {
    return;
  }
  if (message[0] != '\0') CTRFileAppendHex(file, message);
}

void CTRProcessRecordCrashInfo(CTRProcess*, CTRFile* file) {
  recordAbortMessage(file);
  CTRWritableState* state = ctrWritableState;
  if (!CTRIsValidPointer(state)) return;
  for (int i = 0; i < kCTRBinaryImageCount; ++i) {
    const std::uint64_t address = state->binaryImages[i].crashInfo;
    if (address == 0) continue;
    CrashInfoAnnotation info{};
    if (!CTRSafeReadMemory(reinterpret_cast<const void*>(address), &info, sizeof(info))) continue;
    CTR_SDK_LOG_DEBUG("Found crash info with version %d\n", static_cast<int>(info.version));
    if (info.version > 5 || info.message == 0) continue;
    CTR_SDK_LOG_DEBUG("attempting to read crash info string\n");
    char message[kCTRProcessCrashInfoMessageMaxLength + 1];
    if (!safeCopyString(info.message, message, kCTRProcessCrashInfoMessageMaxLength)) {
      CTR_SDK_LOG_ERROR("Failed to copy crash info string\n");
      continue;
    }
    CTRFileAppendHex(file, message);
  }
}

void CTRProcessRecordRuntimeInfo(CTRProcess* process, CTRFile* file) {
  CTRMachineContext crashed;
  if (!CTRIsValidPointer(process) ||
      !CTRProcessGetThreadState(process, process->crashedThread, &crashed)) {
    CTR_SDK_LOG_ERROR("unable to get crashed thread state");
    std::memset(&crashed, 0, sizeof(crashed));
  }
  CTRFileBeginSection(file, "runtime");
  CTRFileBeginObject(file);
  CTRFileWriteStringField(file, "objc_selector", CTRProcessGetObjCSelectorName(&crashed));
  CTRFileWriteKey(file, "crash_info_entries");
  CTRFileBeginArray(file);
  CTRProcessRecordCrashInfo(process, file);
  CTRFileEndArray(file);
  CTRFileEndObject(file);
  CTRFileEndSection(file);
}

const char* CTRProcessGetThreadDispatchQueueName(const CTRProcess*, CTRThread thread, char* buffer,
                                                 std::size_t capacity) {
  if (thread <= 0) {
    CTR_SDK_LOG_WARN("unable to get thread info\n");
    return nullptr;
  }
  // The dispatch layer publishes each thread's current queue label in a
  // table that may be read without a lock; a thread it does not track
  // (one that never ran a block) reads as "".
  ::platform::dispatch::readThreadQueueLabel(thread, buffer, capacity);
  return buffer;
}

void CTRProcessRecordDispatchQueueNames(CTRProcess* process, CTRFile* file) {
  if (!CTRIsValidPointer(process)) return;
  CTRFileBeginSection(file, "dispatch_queue_names");
  CTRFileBeginArray(file);
  for (std::uint32_t i = 0; i < process->threadCount; ++i) {
    char label[::platform::dispatch::kThreadQueueLabelLength];
    CTRFileAppendString(file, CTRProcessGetThreadDispatchQueueName(process, process->threads[i],
                                                                   label, sizeof(label)));
  }
  CTRFileEndArray(file);
  CTRFileEndSection(file);
}

void CTRProcessRecordThreadNames(CTRProcess* process, CTRFile* file) {
  if (!CTRIsValidPointer(process)) return;
  CTRFileBeginSection(file, "thread_names");
  CTRFileBeginArray(file);
  for (std::uint32_t i = 0; i < process->threadCount; ++i) {
    char name[kCTRProcessThreadNameLength];
    if (!::platform::ThreadStateReadName(process->threads[i], name, sizeof(name))) name[0] = '\0';
    sanitizePlainString(name);
    CTRFileAppendString(file, name);
  }
  CTRFileEndArray(file);
  CTRFileEndSection(file);
}

bool CTRProcessParseMeminfo(const char* text, std::size_t length, CTRProcessMemoryUsage* out) {
  if (text == nullptr || out == nullptr) return false;
  CTRProcessMemoryUsage usage{};
  // Memory that cannot be paged out stands for wired memory.
  if (!meminfoValue(text, length, "Active", &usage.active) ||
      !meminfoValue(text, length, "Inactive", &usage.inactive) ||
      !meminfoValue(text, length, "Unevictable", &usage.wired) ||
      !meminfoValue(text, length, "MemFree", &usage.free)) {
    return false;
  }
  *out = usage;
  return true;
}

bool CTRProcessParseStatm(const char* text, std::size_t length, std::uint64_t pageSize,
                          std::uint64_t* virtualSize, std::uint64_t* residentSize) {
  if (text == nullptr || virtualSize == nullptr || residentSize == nullptr) return false;
  std::uint64_t values[2] = {0, 0};
  std::size_t p = 0;
  for (std::uint64_t& value : values) {
    while (p < length && text[p] == ' ') ++p;
    if (p >= length || !isDigit(text[p])) return false;
    while (p < length && isDigit(text[p]))
      value = value * 10 + static_cast<std::uint64_t>(text[p++] - '0');
  }
  *virtualSize = values[0] * pageSize;
  *residentSize = values[1] * pageSize;
  return true;
}

bool CTRProcessGetMemoryUsage(CTRProcessMemoryUsage* out) {
  char buffer[4096];
  const long length = readSmallFile("/proc/meminfo", buffer, sizeof(buffer));
  if (length <= 0 || !CTRProcessParseMeminfo(buffer, static_cast<std::size_t>(length), out)) {
    CTR_SDK_LOG_WARN("Failed to get vm statistics\n");
    return false;
  }
  return true;
}

bool CTRProcessGetInfo(CTRProcessInfo* out) {
  if (out == nullptr) return false;
  char buffer[256];
  const long length = readSmallFile("/proc/self/statm", buffer, sizeof(buffer));
  struct rusage usage {};
  if (length <= 0 ||
      !CTRProcessParseStatm(buffer, static_cast<std::size_t>(length), pageSize(), &out->virtualSize,
                            &out->residentSize) ||
      syscall(SYS_getrusage, RUSAGE_SELF, &usage) != 0) {
    CTR_SDK_LOG_WARN("Failed to get task info\n");
    return false;
  }
  out->userTime = static_cast<std::uint64_t>(usage.ru_utime.tv_sec) * 1000000u +
                  static_cast<std::uint64_t>(usage.ru_utime.tv_usec);
  out->systemTime = static_cast<std::uint64_t>(usage.ru_stime.tv_sec) * 1000000u +
                    static_cast<std::uint64_t>(usage.ru_stime.tv_usec);
  return true;
}

bool CTRProcessRecordStats(CTRProcess*, CTRFile* file) {
  CTRProcessMemoryUsage memory{};
  if (!CTRProcessGetMemoryUsage(&memory)) {
    CTR_SDK_LOG_WARN("Unable to get process memory usage\n");
    return false;
  }
  CTRProcessInfo info{};
  if (!CTRProcessGetInfo(&info)) {
    CTR_SDK_LOG_WARN("Unable to get process stats\n");
    return false;
  }
  CTRFileBeginSection(file, "process_stats");
  CTRFileBeginObject(file);
  CTRFileWriteUnsignedField(file, "active", memory.active);
  CTRFileWriteUnsignedField(file, "inactive", memory.inactive);
  CTRFileWriteUnsignedField(file, "wired", memory.wired);
  CTRFileWriteUnsignedField(file, "freeMem", memory.free);
  CTRFileWriteUnsignedField(file, "free_mem", memory.free);
  CTRFileWriteUnsignedField(file, "virtual", info.virtualSize);
  CTRFileWriteUnsignedField(file, "resident", info.residentSize);
  CTRFileWriteUnsignedField(file, "user_time", info.userTime);
  CTRFileWriteUnsignedField(file, "sys_time", info.systemTime);
  CTRFileEndObject(file);
  CTRFileEndSection(file);
  return true;
}

__attribute__((noinline)) std::uintptr_t CTRProcessGetCallerAddress() {
  return reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
}

}  // namespace sdk
