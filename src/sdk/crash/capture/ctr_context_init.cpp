#include "sdk/crash/capture/ctr_context_init.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/thread_crash_info.h"
#include "sdk/crash/capture/ctr_allocator.h"
#include "sdk/crash/capture/ctr_application.h"
#include "sdk/crash/capture/ctr_host.h"
#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/capture/ctr_throw_site.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/crash/ctr_utils.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {

namespace {

static_assert(std::atomic_ref<bool>::is_always_lock_free,
              "the crash guards must be lock-free to be async-signal-safe");

using platform::dispatch::Group;
using platform::dispatch::Queue;
using platform::dispatch::Semaphore;

std::mutex& settingsMutex() {
  static std::mutex mutex;
  return mutex;
}
CTRCaptureHooks& hooksStorage() {
  static CTRCaptureHooks hooks;
  return hooks;
}
std::optional<bool>& debuggerOverride() {
  static std::optional<bool> attached;
  return attached;
}
std::optional<std::chrono::nanoseconds>& timeoutOverride() {
  static std::optional<std::chrono::nanoseconds> timeout;
  return timeout;
}

// The start record with its strings copied, alive for as long as any set-up
// task that reads it (a task may outlive the call after a time-out).
struct KeptRecord {
  explicit KeptRecord(const CTRCaptureStartRecord& from)
      : apiKey(keep(from.apiKey)),
        customBundleID(keep(from.customBundleID)),
        reportDirectoryPath(keep(from.reportDirectoryPath)),
        sessionID(keep(from.sessionID)),
        installID(keep(from.installID)),
        betaToken(keep(from.betaToken)),
        record(from) {
    record.apiKey = view(apiKey);
    record.customBundleID = view(customBundleID);
    record.reportDirectoryPath = view(reportDirectoryPath);
    record.sessionID = view(sessionID);
    record.installID = view(installID);
    record.betaToken = view(betaToken);
  }

  static std::optional<std::string> keep(const char* text) {
    if (!CTRIsValidPointer(text)) return std::nullopt;
    return std::string(text);
  }
  static const char* view(const std::optional<std::string>& text) {
    return text ? text->c_str() : nullptr;
  }

  std::optional<std::string> apiKey;
  std::optional<std::string> customBundleID;
  std::optional<std::string> reportDirectoryPath;
  std::optional<std::string> sessionID;
  std::optional<std::string> installID;
  std::optional<std::string> betaToken;
  CTRCaptureStartRecord record;
};

// Holds a target for the rest of the process and answers the raw pointer
// that crash-time code calls through.
// Never released: crash capture may call a target at any time.
template <class T>
T* holdForever(const std::shared_ptr<T>& target) {
  if (!target) return nullptr;
  static std::mutex mutex;
  static auto* held = new std::vector<std::shared_ptr<void>>();
  std::lock_guard lock(mutex);
  held->push_back(target);
  return target.get();
}

void installHandlers(CTRContext* context, CTRWritableState* state, const KeptRecord& kept,
                     const CTRCaptureHooks& hooks) {
  const char* directory = kept.record.reportDirectoryPath;
  context->signal.path = CTRContextCopyPath(directory, kCTRSignalFile);
  if (hooks.signalInitialize != nullptr) hooks.signalInitialize(&context->signal);

  // No Mach exceptions here: keep what the record asks for, install nothing.
  context->mach.path = CTRContextCopyPath(directory, kCTRMachExceptionFile);
  context->mach.mask = kept.record.machExceptionMask;

  context->exception.path = CTRContextCopyPath(directory, kCTRExceptionFile);
  context->exception.maxCustomExceptions =
      kept.record.customExceptionsEnabled ? kept.record.maxCustomExceptions : 0;
  if (hooks.exceptionInitialize != nullptr) {
    hooks.exceptionInitialize(&context->exception, &state->customExceptionCount);
  }
}

}  // namespace

void CTRContextSetCaptureHooks(const CTRCaptureHooks& hooks) {
  std::lock_guard lock(settingsMutex());
  hooksStorage() = hooks;
}

CTRCaptureHooks CTRContextCaptureHooks() {
  std::lock_guard lock(settingsMutex());
  return hooksStorage();
}

void CTRProcessSetDebuggerAttachedForTesting(std::optional<bool> attached) {
  std::lock_guard lock(settingsMutex());
  debuggerOverride() = attached;
}

void CTRContextSetInitializationTimeoutForTesting(std::optional<std::chrono::nanoseconds> timeout) {
  std::lock_guard lock(settingsMutex());
  timeoutOverride() = timeout;
}

bool CTRProcessDebuggerAttached() {
  {
    std::lock_guard lock(settingsMutex());
    if (debuggerOverride()) return *debuggerOverride();
  }
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    constexpr std::string_view kTracer = "TracerPid:";
    if (line.compare(0, kTracer.size(), kTracer) != 0) continue;
    const std::size_t digit = line.find_first_of("0123456789", kTracer.size());
    if (digit == std::string::npos) break;
    return std::stol(line.substr(digit)) != 0;
  }
  CTR_SDK_LOG_WARN("sysctl failed while trying to get kinfo_proc\n");
  return false;
}

const char* CTRContextCopyPath(const char* directory, const char* name) {
  if (!CTRIsValidPointer(directory) || !CTRIsValidPointer(name)) return nullptr;
  std::string path(directory);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return CTRCrashContextCopyString(path.c_str());
}

bool CTRContextInitialize(const CTRCaptureStartRecord* record) {
  if (record == nullptr) return false;
  // The thread that starts crash capture (often the program's main thread,
  // which no thread-start wrapper sees) gets its alternate stack here.
  ::platform::dispatch::ensureAlternateSignalStack();
  // A throw's capture of its frames does its first-use loading now, not in
  // a throw under memory pressure.
  CTRThrowSiteWarmUp();

  ctrLoggingQueue = Queue::createSerial(kCTRLoggingQueueLabel);
  ctrBinaryImagesQueue = Queue::createSerial(kCTRBinaryImagesQueueLabel);
  ctrExceptionQueue = Queue::createSerial(kCTRExceptionQueueLabel);

  CTRAllocator* allocator = CTRAllocatorCreate(2 * kCTRContextStackSize + sizeof(CTRWritableState),
                                               sizeof(CTRContext) + kCTRContextPathSpace);
  ctrAllocator = allocator;
  auto* context = static_cast<CTRContext*>(
      CTRAllocatorSafeAllocate(allocator, sizeof(CTRContext), kCTRAllocationRegionReadOnly));
  std::memset(static_cast<void*>(context), 0, sizeof(CTRContext));
  context->machStack =
      CTRAllocatorSafeAllocate(allocator, kCTRContextStackSize, kCTRAllocationRegionWritable);
  std::memset(context->machStack, 0, kCTRContextStackSize);
  context->signalStack =
      CTRAllocatorSafeAllocate(allocator, kCTRContextStackSize, kCTRAllocationRegionWritable);
  std::memset(context->signalStack, 0, kCTRContextStackSize);
  auto* state = static_cast<CTRWritableState*>(
      CTRAllocatorSafeAllocate(allocator, sizeof(CTRWritableState), kCTRAllocationRegionWritable));
  std::memset(static_cast<void*>(state), 0, sizeof(CTRWritableState));
  state->sdkLogDescriptor = -1;
  state->sdkLogMinimumLevel = kCTRSDKLogLevelDebug;
  state->crashed = false;
  state->crashingThread = 0;
  state->binaryImageLogFile.descriptor = -1;
  context->initialized = false;
  ctrWritableState = state;
  ctrContext = context;
  std::atomic_thread_fence(std::memory_order_seq_cst);

  Group group;
  const platform::dispatch::QueuePtr global = Queue::global(platform::dispatch::Priority::Default);

  if (!CTRIsValidPointer(record->reportDirectoryPath)) return false;
  const auto kept = std::make_shared<const KeptRecord>(*record);
  const char* directory = kept->record.reportDirectoryPath;

  context->sdkLogPath = CTRContextCopyPath(directory, kCTRSDKLogFileName);
  if (!CTRUnlinkIfExists(context->sdkLogPath)) {
    BCNConsoleLog("[Crashtrail:Crash] Unable to write initialize SDK write paths %s",
                  std::string(CTRErrorText(errno)));
  }

  context->debuggerAttached = CTRProcessDebuggerAttached();
  context->urgentSubmissionTarget = holdForever(record->urgentSubmissionTarget);
  context->crashCallbackTarget = holdForever(record->crashCallbackTarget);
  context->firstInstall = record->firstInstall;

  const CTRCaptureHooks hooks = CTRContextCaptureHooks();

  group.async(global, [] { CTRHostInitialize(); });
  group.async(global, [kept, hooks] {
    if (hooks.userLoggingInitialize != nullptr) hooks.userLoggingInitialize(&kept->record);
  });
  group.async(global, [context, kept, hooks] {
    context->binaryImageLogPath =
        CTRContextCopyPath(kept->record.reportDirectoryPath, kCTRBinaryImagesFile);
    if (hooks.binaryImageInit != nullptr) hooks.binaryImageInit();
  });
  if (!context->debuggerAttached) {
    group.async(global,
                [context, state, kept, hooks] { installHandlers(context, state, *kept, hooks); });
  } else {
    CTR_SDK_LOG_WARN("Debugger present - not installing handlers\n");
  }
  group.async(global, [kept] {
    CTRContextRecordMetadata(kept->record.reportDirectoryPath, &kept->record);
  });

  // The completion sets the flag and protects the context; the caller waits
  // for it too, so that a caller that did not time out finds capture ready.
  const auto completed = std::make_shared<Semaphore>(0);
  group.notify(global, [context, allocator, completed] {
    std::atomic_ref<bool>(context->initialized).store(true, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!CTRAllocatorProtect(allocator)) {
      CTR_SDK_LOG_WARN("Error: Memory protection failed\n");
    }
    completed->signal();
  });

  std::chrono::nanoseconds timeout = kCTRContextInitializationTimeout;
  {
    std::lock_guard lock(settingsMutex());
    if (timeoutOverride()) timeout = *timeoutOverride();
  }
  if (!completed->wait(timeout)) {
    CTR_SDK_LOG_WARN("Error: Delayed initialization\n");
  }
  return true;
}

bool CTRContextIsInitialized() {
  CTRContext* context = ctrContext;
  if (!CTRIsValidPointer(context)) return false;
  return std::atomic_ref<bool>(context->initialized).load(std::memory_order_acquire);
}

bool CTRContextMarkAndCheckIfCrashed() {
  if (!CTRContextIsInitialized()) return false;
  CTRWritableState* state = ctrWritableState;
  if (!CTRIsValidPointer(state)) return false;
  return std::atomic_ref<bool>(state->crashed).exchange(true, std::memory_order_seq_cst);
}

CTRCrashClaim CTRContextClaimCrash(std::int32_t thread) {
  if (!CTRContextIsInitialized()) return CTRCrashClaim::kNotInitialized;
  CTRWritableState* state = ctrWritableState;
  if (!CTRIsValidPointer(state)) return CTRCrashClaim::kNotInitialized;
  std::int32_t holder = 0;
  if (!std::atomic_ref<std::int32_t>(state->crashingThread)
           .compare_exchange_strong(holder, thread, std::memory_order_seq_cst) &&
      holder != thread) {
    return CTRCrashClaim::kOtherThread;
  }
  // This thread holds the crash now: newly, or handed over by its own
  // exception path (which leaves the flag clear). A flag already set means
  // a handler of this thread is recording (a crash inside the handler), or
  // a crash was marked without a thread: one this thread cannot wait for.
  const bool marked =
      std::atomic_ref<bool>(state->crashed).exchange(true, std::memory_order_seq_cst);
  return marked ? CTRCrashClaim::kSameThread : CTRCrashClaim::kFirst;
}

CTRCrashClaim CTRContextClaimCrashForException(std::int32_t thread) {
  if (!CTRContextIsInitialized()) return CTRCrashClaim::kNotInitialized;
  CTRWritableState* state = ctrWritableState;
  if (!CTRIsValidPointer(state)) return CTRCrashClaim::kNotInitialized;
  std::int32_t holder = 0;
  if (!std::atomic_ref<std::int32_t>(state->crashingThread)
           .compare_exchange_strong(holder, thread, std::memory_order_seq_cst) &&
      holder != thread) {
    return CTRCrashClaim::kOtherThread;
  }
  const bool marked = std::atomic_ref<bool>(state->crashed).load(std::memory_order_seq_cst);
  return marked ? CTRCrashClaim::kSameThread : CTRCrashClaim::kFirst;
}

bool CTRContextHasCrashed() {
  if (!CTRContextIsInitialized()) return false;
  CTRWritableState* state = ctrWritableState;
  return CTRIsValidPointer(state) &&
         std::atomic_ref<bool>(state->crashed).load(std::memory_order_seq_cst);
}

void CTRContextMarkCrashed() {
  if (!CTRContextIsInitialized()) return;
  CTRWritableState* state = ctrWritableState;
  if (CTRIsValidPointer(state)) {
    std::atomic_ref<bool>(state->crashed).store(true, std::memory_order_seq_cst);
  }
}

void CTRContextReset() {
  CTRContext* context = ctrContext;
  if (CTRIsValidPointer(context)) {
    // The context is read-only once start-up has finished; a plain store
    // would fault.
    CTRAllocator* allocator = ctrAllocator;
    if (CTRIsValidPointer(allocator) && allocator->isProtected) CTRAllocatorUnprotect(allocator);
    std::atomic_ref<bool>(context->initialized).store(false, std::memory_order_seq_cst);
  }
  CTRAllocatorRelease(ctrAllocator);
}

void CTRContextRecordMetadata(const char* reportDirectory, const CTRCaptureStartRecord* record) {
  if (!CTRIsValidPointer(reportDirectory) || record == nullptr) return;
  std::string path(reportDirectory);
  if (path.empty() || path.back() != '/') path += '/';
  path += kCTRMetadataFile;
  if (!CTRUnlinkIfExists(path.c_str())) {
    CTR_SDK_LOG_WARN("Unable to unlink existing metadata file %s\n", CTRErrorText(errno));
  }
  CTRFile file{};
  file.descriptor = -1;
  if (!CTRFileInit(&file, path.c_str(), false)) {
    CTR_SDK_LOG_WARN("Unable to open metadata file %s\n", CTRErrorText(errno));
    CTR_SDK_LOG_WARN("Unable to record context metadata\n");
    return;
  }

  CTRFileBeginSection(&file, "identity");
  CTRFileBeginObject(&file);
  CTRFileWriteStringField(&file, "generator", kCTRMetadataGenerator);
  CTRFileWriteStringField(&file, "build_version", kCTRMetadataBuildVersion);
  CTRFileWriteStringField(&file, "display_version", kCTRMetadataDisplayVersion);
  CTRFileWriteStringField(&file, "api_key", record->apiKey);
  CTRFileWriteUnsignedField(&file, "started_at", static_cast<std::uint64_t>(std::time(nullptr)));
  CTRFileWriteStringField(&file, "session_id", record->sessionID);
  CTRFileWriteStringField(&file, "install_id", record->installID);
  CTRFileWriteStringField(&file, "beta_token", record->betaToken);
  CTRFileWriteBoolField(&file, "absolute_log_timestamps", true);
  CTRFileEndObject(&file);
  CTRFileEndSection(&file);

  if (!CTRHostRecordInfo(&file)) {
    CTR_SDK_LOG_WARN("Unable to write out host metadata\n");
  }

  const platform::BundlePtr bundle = record->bundle ? record->bundle : platform::Bundle::main();
  const std::string bundleID = CTRApplicationGetBundleIdentifier(bundle);
  const std::string buildVersion = CTRApplicationGetBuildVersion(bundle);
  const std::string displayVersion = CTRApplicationGetDisplayVersion(bundle);
  const std::optional<std::string> extensionID = CTRApplicationExtensionPointIdentifier(bundle);
  const char* customBundleID =
      CTRIsValidPointer(record->customBundleID) && record->customBundleID[0] != '\0'
          ? record->customBundleID
          : nullptr;
  CTRFileBeginSection(&file, "application");
  CTRFileBeginObject(&file);
  CTRFileWriteStringField(&file, "bundle_id", bundleID.c_str());
  CTRFileWriteStringField(&file, "custom_bundle_id", customBundleID);
  CTRFileWriteStringField(&file, "build_version", buildVersion.c_str());
  CTRFileWriteStringField(&file, "display_version", displayVersion.c_str());
  CTRFileWriteStringField(&file, "extension_id", extensionID ? extensionID->c_str() : nullptr);
  CTRFileEndObject(&file);
  CTRFileEndSection(&file);

  const CTRCaptureHooks hooks = CTRContextCaptureHooks();
  if (hooks.binaryImageRecordMainExecutable == nullptr ||
      !hooks.binaryImageRecordMainExecutable(&file)) {
    CTR_SDK_LOG_WARN("Unable to write out executable metadata\n");
  }
  CTRFileClose(&file);
}

}  // namespace sdk
