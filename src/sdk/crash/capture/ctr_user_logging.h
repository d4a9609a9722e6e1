// User logging of crash capture: custom and internal key-value pairs, log
// messages, recorded errors and (through exception capture) non-fatal
// custom exceptions, appended to record files of the launch's report
// directory so that they are on disk when the process crashes.
//
// Files and lines (record file format of ctr_file.h):
//   key-value   "user_incremental_kv.clsrecord" / "user_compacted_kv.clsrecord"
//               and "internal_..." likewise:
//               {"kv":{"key":<hex>,"value":<hex or null>}}
//   log         "log_a.clsrecord" / "log_b.clsrecord":
//               {"log":{"msg":<hex>,"time":<ms since 1970>}}
//   errors      "errors_a.clsrecord" / "errors_b.clsrecord":
//               {"error":{"domain":<hex>,"code":<signed>,"time":<s since 1970>,
//                "stacktrace":[<return addresses>],"info":[[<hex>,<hex>],...],
//                "extra_info":[[<hex>,<hex>],...]}}
//   exceptions  "custom_exception_a.clsrecord" / "..._b.clsrecord" (written by
//               exception capture through CTRUserLoggingWriteAndCheckABFiles).
//
// Size is bounded in two ways:
//  - key-value files: every write appends to the incremental file; after
//    64 writes both files are merged into the compacted file (the last write
//    of each key wins, a key written with no value is gone), keeping at most
//    the storage's maximum number of keys, and the incremental file removed.
//    Both files hold hex texts (compaction does not decode).
//  - the other kinds alternate between two files A and B: when the current
//    one exceeds its limit (bytes for the log, entries for errors and
//    exceptions), the other one is removed and becomes the current one. A
//    limit of 0 disables the kind: nothing is written.
//
// Guarantees:
//  1. Every file operation runs on the serial logging queue (ctrLoggingQueue):
//     record calls wait for their write; compaction and swaps are queued
//     behind it. Called from a block already running on that queue, the
//     write runs in place instead of waiting for itself. Without a logging
//     queue (tests, a context built by hand) the work runs on the caller.
//  2. Nothing is recorded before crash capture's context is initialized
//     (CTRContextIsInitialized); a log message is then printed to the
//     console with a warning instead.
//  3. A queued compaction keeps its own copy of the storage paths, so the
//     descriptor handed in (often a temporary) need not outlive the call.
//     The counter is reset when the compaction is queued.
//  4. Failures go to the SDK log and lose only the entry concerned; a failed
//     compaction keeps the incremental file.
// Not promised: CTRUserLoggingWriteInternalKeyValue writes on the calling
// thread; callers serialise it (the controller runs it on the logging queue).
//
// Not for crash-time code: everything here allocates and may block.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>

#include "platform/foundation/error.h"
#include "platform/foundation/format.h"
#include "platform/foundation/value.h"
#include "sdk/crash/capture/ctr_context.h"
#include "sdk/crash/capture/ctr_context_init.h"
#include "sdk/crash/capture/ctr_file.h"

namespace sdk {

inline constexpr const char* kCTRLogAFile = "log_a.clsrecord";
inline constexpr const char* kCTRLogBFile = "log_b.clsrecord";

// Writes after which both key-value files are compacted.
inline constexpr std::uint32_t kCTRUserLoggingMaxIncrementalEntries = 64;
// Keys kept by a compaction of the internal store.
inline constexpr std::uint32_t kCTRUserLoggingMaxInternalEntries = 32;

// Writes one line into the open file it is given.
using CTRUserLoggingWriter = std::function<void(CTRFile* file)>;

// Start-up task: builds the five storage descriptors of the context (paths
// in the record's report directory, the record's limits) and the writable
// part (each A/B storage at its file A, the key-value and error counters 0).
// Needs ctrContext and ctrWritableState.
void CTRUserLoggingInitialize(const CTRCaptureStartRecord* record);

// CTRUserLoggingRecordKeyValue with the context's user / internal storage
// and counter. `key` is a string (None: refused); `value` any value (None:
// the key is removed at the next read).
void CTRUserLoggingRecordUserKeyValue(const platform::Value& key, const platform::Value& value);
void CTRUserLoggingRecordInternalKeyValue(const platform::Value& key, const platform::Value& value);
// CTRUserLoggingWriteKeyValue for the internal storage, on the calling
// thread (no queue). The value is written as its description (None: null).
void CTRUserLoggingWriteInternalKeyValue(const platform::Value& key, const platform::Value& value);

// Refuses a key that is not a string ("User provided bad key"); nothing
// before the context is initialized; else writes key and the value's
// description (None: null) synchronously on the logging queue.
void CTRUserLoggingRecordKeyValue(const platform::Value& key, const platform::Value& value,
                                  const CTRUserLoggingKVStorage* storage, std::uint32_t* counter);
// Appends one "kv" line to the incremental file (value nullptr: null),
// counts it, and queues a compaction when the counter reaches the storage's
// maximum incremental entries.
void CTRUserLoggingWriteKeyValue(const char* key, const char* value,
                                 const CTRUserLoggingKVStorage* storage, std::uint32_t* counter);
// The merged key-value set of both files (compacted, then incremental), hex
// decoded when `decode` is set: a dictionary of string -> string (or the
// null object for a compacted null value). None for an invalid storage.
// Both files count as empty before the context is initialized.
platform::Value CTRUserLoggingGetCompactedKVEntries(const CTRUserLoggingKVStorage* storage,
                                                    bool decode);
// Rewrites the compacted file from the merged set (at most maxEntries keys)
// and removes the incremental file.
void CTRUserLoggingCompactKVEntries(const CTRUserLoggingKVStorage* storage);

// Appends one line through `writer` to *currentPath (one of the storage's
// two paths), synchronously on the logging queue, then queues the swap
// check. Nothing for a missing storage, path or writer, or a limit of 0.
// `currentPath` (and the storage's counter) must stay valid for the process:
// they live in the writable state.
void CTRUserLoggingWriteAndCheckABFiles(const CTRUserLoggingABStorage* storage,
                                        const char** currentPath,
                                        const CTRUserLoggingWriter& writer);
// Makes the other file current (removing it first) when the current one
// is over its limit: more than maxSize bytes, or maxEntries entries.
void CTRUserLoggingCheckAndSwapABFiles(const CTRUserLoggingABStorage* storage,
                                       const char** currentPath, std::uint64_t fileSize);

// Appends a "log" line with the time in milliseconds. A None message does
// nothing; before start-up the message goes to the console with a warning.
void CTRUserLoggingRecordLogMessage(const platform::Value& message);

// Appends an "error" line (domain, code, time, the calling thread's return
// addresses, the error's userInfo and `additionalInfo` when they are
// non-empty dictionaries). Nothing for an empty error or before start-up.
void CTRUserLoggingRecordError(const platform::Error& error,
                               const platform::Value& additionalInfo = platform::Value());

// The host application's log calls: format (platform::format, "%@" included)
// and record the message. A null format does nothing. The "AndNSLog"
// variants also write the message to the SDK console.
void CTRLogWithArguments(const char* format, std::initializer_list<platform::FormatArg> args);
void CTRLogAndNSLogWithArguments(const char* format,
                                 std::initializer_list<platform::FormatArg> args);
template <class... Args>
void CTRLog(const char* format, const Args&... args) {
  CTRLogWithArguments(format, {platform::FormatArg(args)...});
}
template <class... Args>
void CTRLogAndNSLog(const char* format, const Args&... args) {
  CTRLogAndNSLogWithArguments(format, {platform::FormatArg(args)...});
}

// The default size of the log and the error log buffers: 131072 bytes.
std::uint32_t CTRUserLoggingDefaultLogBufferSize();
std::uint32_t CTRUserLoggingDefaultErrorLogBufferSize();

}  // namespace sdk
