#include "sdk/crash/capture/ctr_user_logging.h"

#include <execinfo.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sdk/crash/capture/ctr_sdk_log.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/crash/ctr_utils.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {

namespace {

using platform::Value;

// Return addresses taken for a recorded error, at most.
constexpr int kMaximumStackDepth = 512;
constexpr std::uint32_t kDefaultBufferSize = 131072;

// Runs `block` on the logging queue and waits for it. On the queue itself
// (a block of the queue recording a value) it runs in place: waiting for
// the queue from inside it could never end. Without a queue it runs here.
void runOnLoggingQueue(const platform::dispatch::Block& block) {
  const platform::dispatch::QueuePtr queue = ctrLoggingQueue;
  if (!queue || queue->isCurrent()) {
    block();
    return;
  }
  queue->sync(block);
}

// Queues `block` behind the current work of the logging queue (runs it here
// when there is no queue).
void runLaterOnLoggingQueue(platform::dispatch::Block block) {
  const platform::dispatch::QueuePtr queue = ctrLoggingQueue;
  if (!queue) {
    block();
    return;
  }
  queue->async(std::move(block));
}

// The text recorded for a value: its description; none for no value.
std::optional<std::string> textOf(const Value& value) {
  if (value.isNone()) return std::nullopt;
  return value.description();
}

// A key-value storage whose paths it owns, for work queued beyond the call
// that was handed the descriptor.
struct KeptKVStorage {
  explicit KeptKVStorage(const CTRUserLoggingKVStorage& from)
      : incrementalPath(from.incrementalPath ? from.incrementalPath : ""),
        compactedPath(from.compactedPath ? from.compactedPath : ""),
        storage(from) {
    storage.incrementalPath = from.incrementalPath ? incrementalPath.c_str() : nullptr;
    storage.compactedPath = from.compactedPath ? compactedPath.c_str() : nullptr;
  }
  KeptKVStorage(const KeptKVStorage&) = delete;
  KeptKVStorage& operator=(const KeptKVStorage&) = delete;
  std::string incrementalPath;
  std::string compactedPath;
  CTRUserLoggingKVStorage storage;
};

// The "kv" object of a parsed section; None for any other section.
Value kvOfSection(const Value& section) {
  Value kv = section["kv"];
  return kv.isDictionary() ? kv : Value();
}

Value readKVFile(const char* path) {
  if (!CTRContextIsInitialized() || !CTRIsValidPointer(path)) return Value::array();
  Value sections = CTRFileReadSections(path, true, kvOfSection);
  return sections.isArray() ? sections : Value::array();
}

// One side of an entry: the string (hex decoded when asked), the null
// object for a null value, None when missing or undecodable.
Value entryText(const Value& raw, bool decode, bool allowNull) {
  if (raw.isNull()) return allowNull ? Value::null() : Value();
  if (!raw.isString()) return Value();
  if (!decode) return raw;
  std::optional<std::string> text = CTRHexDecodeString(raw.stringView());
  if (!text) return Value();
  return Value(std::move(*text));
}

// Writes the "info" / "extra_info" field: an array of [key, value] pairs,
// both as hex of their descriptions; nothing unless a non-empty dictionary.
void writeDictionaryField(CTRFile* file, const char* name, const Value& dictionary) {
  if (!dictionary.isDictionary() || dictionary.count() == 0) return;
  CTRFileWriteKey(file, name);
  CTRFileBeginArray(file);
  dictionary.forEach([file](const Value& key, const Value& value) {
    std::optional<std::string> keyText = textOf(key);
    std::optional<std::string> valueText = textOf(value);
    if (keyText && valueText) {
      CTRFileBeginArray(file);
      CTRFileAppendHex(file, keyText->c_str());
      CTRFileAppendHex(file, valueText->c_str());
      CTRFileEndArray(file);
    }
    return true;
  });
  CTRFileEndArray(file);
}

void recordFormattedMessage(const char* format, std::initializer_list<platform::FormatArg> args,
                            bool toConsole) {
  if (format == nullptr) return;
  const std::string message = platform::formatArgs(format, args);
  CTRUserLoggingRecordLogMessage(Value(message));
  if (toConsole) BCNConsoleWrite(message);
}

}  // namespace

void CTRUserLoggingInitialize(const CTRCaptureStartRecord* record) {
  if (record == nullptr || ctrContext == nullptr || ctrWritableState == nullptr) return;
  const char* directory = record->reportDirectoryPath;
  CTRUserLoggingState& state = ctrContext->userLogging;
  CTRWritableState* writable = ctrWritableState;

  state.userKVStorage = {CTRContextCopyPath(directory, kCTRUserIncrementalKVFile),
                         CTRContextCopyPath(directory, kCTRUserCompactedKVFile),
                         kCTRUserLoggingMaxIncrementalEntries, record->maxCustomKeys};
  state.internalKVStorage = {CTRContextCopyPath(directory, kCTRInternalIncrementalKVFile),
                             CTRContextCopyPath(directory, kCTRInternalCompactedKVFile),
                             kCTRUserLoggingMaxIncrementalEntries,
                             kCTRUserLoggingMaxInternalEntries};
  // The error log buffer size of the record is not used: errors are
  // limited by count.
  state.logStorage = {CTRContextCopyPath(directory, kCTRLogAFile),
                      CTRContextCopyPath(directory, kCTRLogBFile),
                      record->logBufferSize,
                      0,
                      true,
                      nullptr};
  state.errorStorage = {CTRContextCopyPath(directory, kCTRErrorsAFile),
                        CTRContextCopyPath(directory, kCTRErrorsBFile),
                        0,
                        record->errorReportingEnabled ? record->maxCustomExceptions : 0,
                        false,
                        &writable->errorCount};
  state.customExceptionStorage = {CTRContextCopyPath(directory, kCTRCustomExceptionAFile),
                                  CTRContextCopyPath(directory, kCTRCustomExceptionBFile),
                                  0,
                                  record->maxCustomExceptions,
                                  false,
                                  &writable->customExceptionCount};

  writable->currentLogPath = state.logStorage.aPath;
  writable->currentErrorPath = state.errorStorage.aPath;
  writable->currentCustomExceptionPath = state.customExceptionStorage.aPath;
  writable->userKVCount = 0;
  writable->internalKVCount = 0;
  writable->errorCount = 0;
}

// --- key-value pairs ---------------------------------------------------------

void CTRUserLoggingRecordUserKeyValue(const Value& key, const Value& value) {
  if (ctrContext == nullptr || ctrWritableState == nullptr) return;
  CTRUserLoggingRecordKeyValue(key, value, &ctrContext->userLogging.userKVStorage,
                               &ctrWritableState->userKVCount);
}

void CTRUserLoggingRecordInternalKeyValue(const Value& key, const Value& value) {
  if (ctrContext == nullptr || ctrWritableState == nullptr) return;
  CTRUserLoggingRecordKeyValue(key, value, &ctrContext->userLogging.internalKVStorage,
                               &ctrWritableState->internalKVCount);
}

void CTRUserLoggingWriteInternalKeyValue(const Value& key, const Value& value) {
  if (ctrContext == nullptr || ctrWritableState == nullptr) return;
  if (!key.isString()) {
    CTR_SDK_LOG_WARN("User provided bad key\n");
    return;
  }
  const std::optional<std::string> text = textOf(value);
  CTRUserLoggingWriteKeyValue(key.asString().c_str(), text ? text->c_str() : nullptr,
                              &ctrContext->userLogging.internalKVStorage,
                              &ctrWritableState->internalKVCount);
}

void CTRUserLoggingRecordKeyValue(const Value& key, const Value& value,
                                  const CTRUserLoggingKVStorage* storage, std::uint32_t* counter) {
  if (!key.isString()) {
    CTR_SDK_LOG_WARN("User provided bad key\n");
    return;
  }
  if (!CTRContextIsInitialized()) return;
  const std::string keyText = key.asString();
  const std::optional<std::string> valueText = textOf(value);
  runOnLoggingQueue([&] {
    CTRUserLoggingWriteKeyValue(keyText.c_str(), valueText ? valueText->c_str() : nullptr, storage,
                                counter);
  });
}

void CTRUserLoggingWriteKeyValue(const char* key, const char* value,
                                 const CTRUserLoggingKVStorage* storage, std::uint32_t* counter) {
  if (!CTRIsValidPointer(storage) || !CTRIsValidPointer(counter)) {
    CTR_SDK_LOG_ERROR("Bad parameters\n");
    return;
  }
  CTRFile file;
  if (!CTRFileInit(&file, storage->incrementalPath, true)) {
    CTR_SDK_LOG_ERROR("Unable to open k-v file\n");
    return;
  }
  CTRFileBeginSection(&file, "kv");
  CTRFileBeginObject(&file);
  CTRFileWriteHexField(&file, "key", key);
  CTRFileWriteHexField(&file, "value", value);
  CTRFileEndObject(&file);
  CTRFileEndSection(&file);
  CTRFileClose(&file);

  *counter += 1;
  if (storage->maxIncrementalEntries == 0 || *counter < storage->maxIncrementalEntries) return;
  // The counter is reset now rather than by the queued compaction: the
  // counter and the descriptor may belong to a caller (a report) that is
  // gone by the time the compaction runs; the compaction keeps its own
  // copy of the paths.
  *counter = 0;
  auto kept = std::make_shared<const KeptKVStorage>(*storage);
  runLaterOnLoggingQueue([kept] { CTRUserLoggingCompactKVEntries(&kept->storage); });
}

Value CTRUserLoggingGetCompactedKVEntries(const CTRUserLoggingKVStorage* storage, bool decode) {
  if (!CTRIsValidPointer(storage)) {
    CTR_SDK_LOG_ERROR("storage invalid\n");
    return Value();
  }
  const Value compacted = readKVFile(storage->compactedPath);
  const Value incremental = readKVFile(storage->incrementalPath);

  Value entries = Value::mutableDictionary();
  for (const Value& entry : compacted.elements()) {
    const Value key = entryText(entry["key"], decode, false);
    const Value value = entryText(entry["value"], decode, true);
    if (key.isNone() || value.isNone()) {
      CTR_SDK_LOG_ERROR("compacted key/value contains a nil and must be dropped\n");
      continue;
    }
    entries.set(key, value);
  }
  for (const Value& entry : incremental.elements()) {
    const Value key = entryText(entry["key"], decode, false);
    const Value value = entryText(entry["value"], decode, true);
    if (key.isNone() || value.isNone()) {
      CTR_SDK_LOG_ERROR("incremental key/value contains a nil and must be dropped\n");
      continue;
    }
    if (value.isNull()) {
      entries.remove(key);
    } else {
      entries.set(key, value);
    }
  }
  return entries;
}

void CTRUserLoggingCompactKVEntries(const CTRUserLoggingKVStorage* storage) {
  if (!CTRIsValidPointer(storage)) {
    CTR_SDK_LOG_ERROR("Error: storage invalid\n");
    return;
  }
  const Value entries = CTRUserLoggingGetCompactedKVEntries(storage, false);
  if (!CTRIsValidPointer(storage->compactedPath)) {
    CTR_SDK_LOG_WARN("Error: Unable to open compacted k-v file\n");
    return;
  }

  // The merged set is written beside the compacted file and then renamed
  // over it, and the incremental file goes only once that has worked: a
  // compaction that fails half-way keeps both files as they were.
  const std::string temporaryPath = std::string(storage->compactedPath) + ".tmp";
  CTRFile file;
  if (!CTRFileInit(&file, temporaryPath.c_str(), true)) {
    CTR_SDK_LOG_WARN("Error: Unable to open compacted k-v file\n");
    return;
  }

  std::vector<std::pair<Value, Value>> pairs = entries.pairs();
  if (pairs.size() > storage->maxEntries) {
    CTR_SDK_LOG_INFO("Truncating KV set, which is above max %d\n",
                     static_cast<int>(storage->maxEntries));
    pairs.resize(storage->maxEntries);
  }
  for (const auto& [key, value] : pairs) {
    CTRFileBeginSection(&file, "kv");
    CTRFileBeginObject(&file);
    CTRFileWriteStringField(&file, "key", key.asString().c_str());
    CTRFileWriteStringField(&file, "value", value.isString() ? value.asString().c_str() : nullptr);
    CTRFileEndObject(&file);
    CTRFileEndSection(&file);
  }
  if (!CTRFileClose(&file) || ::rename(temporaryPath.c_str(), storage->compactedPath) != 0) {
    CTR_SDK_LOG_WARN("Error: Unable to replace compacted KV store %s\n", CTRErrorText(errno));
    ::unlink(temporaryPath.c_str());
    return;
  }

  if (CTRIsValidPointer(storage->incrementalPath) && ::unlink(storage->incrementalPath) != 0) {
    CTR_SDK_LOG_WARN("Error: Unable to remove incremental KV store after compaction %s\n",
                     CTRErrorText(errno));
  }
}

// --- A/B files ---------------------------------------------------------------

void CTRUserLoggingWriteAndCheckABFiles(const CTRUserLoggingABStorage* storage,
                                        const char** currentPath,
                                        const CTRUserLoggingWriter& writer) {
  if (!CTRIsValidPointer(storage) || !CTRIsValidPointer(currentPath) || !writer) return;
  if (storage->restrictBySize ? storage->maxSize == 0 : storage->maxEntries == 0) return;
  // The storage lives in the context; a copy travels with the queued check.
  const CTRUserLoggingABStorage kept = *storage;
  runOnLoggingQueue([&] {
    const char* path = *currentPath;
    if (!CTRIsValidPointer(path)) return;
    CTRFile file;
    if (!CTRFileInit(&file, path, true)) {
      CTR_SDK_LOG_WARN("Unable to open log file\n");
      return;
    }
    writer(&file);
    std::uint64_t size = 0;
    CTRFileCloseWithOffset(&file, &size);
    if (!kept.restrictBySize && CTRIsValidPointer(kept.entryCount)) *kept.entryCount += 1;
    runLaterOnLoggingQueue(
        [kept, currentPath, size] { CTRUserLoggingCheckAndSwapABFiles(&kept, currentPath, size); });
  });
}

void CTRUserLoggingCheckAndSwapABFiles(const CTRUserLoggingABStorage* storage,
                                       const char** currentPath, std::uint64_t fileSize) {
  if (!CTRIsValidPointer(storage) || !CTRIsValidPointer(currentPath)) return;
  if (!storage->restrictBySize) {
    if (!CTRIsValidPointer(storage->entryCount)) {
      CTR_SDK_LOG_ERROR("Error: storage has invalid pointer, but is restricted by entry count\n");
      return;
    }
    if (*storage->entryCount < storage->maxEntries) return;
    *storage->entryCount = 0;
  } else if (fileSize <= storage->maxSize) {
    return;
  }
  const char* current = *currentPath;
  const bool currentIsA = current == storage->aPath ||
                          (CTRIsValidPointer(current) && CTRIsValidPointer(storage->aPath) &&
                           std::strcmp(current, storage->aPath) == 0);
  const char* other = currentIsA ? storage->bPath : storage->aPath;
  if (CTRIsValidPointer(other) && other[0] != '\0') (void)::unlink(other);
  *currentPath = other;
}

// --- log messages and errors -------------------------------------------------

void CTRUserLoggingRecordLogMessage(const Value& message) {
  if (message.isNone()) return;
  const std::string text = message.description();
  if (!CTRContextIsInitialized()) {
    BCNConsoleLog(
        "[Crashtrail:Crash] WARNING: CTRLog has been used before (or concurrently with) "
        "Crashtrail initialization and cannot be recorded. The message was: \n%@",
        text);
    return;
  }
  struct timeval now {};
  if (::gettimeofday(&now, nullptr) != 0) return;
  const std::uint64_t milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                                     static_cast<std::uint64_t>(now.tv_usec) / 1000;
  CTRUserLoggingWriteAndCheckABFiles(&ctrContext->userLogging.logStorage,
                                     &ctrWritableState->currentLogPath, [&](CTRFile* file) {
                                       CTRFileBeginSection(file, "log");
                                       CTRFileBeginObject(file);
                                       CTRFileWriteHexField(file, "msg", text.c_str());
                                       CTRFileWriteUnsignedField(file, "time", milliseconds);
                                       CTRFileEndObject(file);
                                       CTRFileEndSection(file);
                                     });
}

void CTRUserLoggingRecordError(const platform::Error& error, const Value& additionalInfo) {
  if (error.isNone() || !CTRContextIsInitialized()) return;
  void* addresses[kMaximumStackDepth];
  const int depth = ::backtrace(addresses, kMaximumStackDepth);
  const std::uint64_t seconds = static_cast<std::uint64_t>(::time(nullptr));
  CTRUserLoggingWriteAndCheckABFiles(&ctrContext->userLogging.errorStorage,
                                     &ctrWritableState->currentErrorPath, [&](CTRFile* file) {
                                       CTRFileBeginSection(file, "error");
                                       CTRFileBeginObject(file);
                                       CTRFileWriteHexField(file, "domain", error.domain().c_str());
                                       CTRFileWriteSignedField(file, "code", error.code());
                                       CTRFileWriteUnsignedField(file, "time", seconds);
                                       CTRFileWriteKey(file, "stacktrace");
                                       CTRFileBeginArray(file);
                                       for (int i = 0; i < depth; ++i) {
                                         CTRFileAppendUnsigned(
                                             file, reinterpret_cast<std::uintptr_t>(addresses[i]));
                                       }
                                       CTRFileEndArray(file);
                                       writeDictionaryField(file, "info", error.userInfo());
                                       writeDictionaryField(file, "extra_info", additionalInfo);
                                       CTRFileEndObject(file);
                                       CTRFileEndSection(file);
                                     });
}

void CTRLogWithArguments(const char* format, std::initializer_list<platform::FormatArg> args) {
  recordFormattedMessage(format, args, false);
}

void CTRLogAndNSLogWithArguments(const char* format,
                                 std::initializer_list<platform::FormatArg> args) {
  recordFormattedMessage(format, args, true);
}

std::uint32_t CTRUserLoggingDefaultLogBufferSize() { return kDefaultBufferSize; }
std::uint32_t CTRUserLoggingDefaultErrorLogBufferSize() { return kDefaultBufferSize; }

}  // namespace sdk
