// LKLogMessage: one log record, immutable once made.
//
// A record carries the formatted text, the call site's level mask, exactly
// one flag (LKLogFlag), a context number, the source position, an optional
// tag and the facts of the creating thread and queue (taken when the record
// is made, on the caller's thread).
//
// `file` and `function` are kept as views of the caller's text unless the
// matching option bit asks for a copy; callers that pass anything but
// string literals (or text that outlives every logger) must set the bits.
// The dispatcher's own records (LKLog::log, LKLog::logMessage) take only
// LKSourceText, which cannot hold anything else.
// `copy` shares every field with the source, including copied text.
//
// Records the dispatcher makes (LKLog::log, LKLog::logMessage) come from a
// store of reused records (record_store.h); to their readers they are like
// any other record.
//
// Thread safety: immutable; a record may be read from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/date.h"
#include "platform/foundation/value.h"

namespace logging {

// One bit per severity; a record carries exactly one.
enum LKLogFlag : std::uint64_t {
  LKLogFlagError = 1,
  LKLogFlagWarning = 2,
  LKLogFlagInfo = 4,
  LKLogFlagDebug = 8,
  LKLogFlagVerbose = 16,
};

// A level is a mask of flags. Every bit set: a logger receives every flag.
inline constexpr std::uint64_t LKLogLevelAll = ~std::uint64_t{0};

// Bits of LKLogMessage options.
inline constexpr std::int64_t LKLogMessageCopyFile = 1 << 0;
inline constexpr std::int64_t LKLogMessageCopyFunction = 1 << 1;

// The file name without extension: the characters after the last "/" (or
// from the start) up to the last "." after that point (or to the end).
// std::nullopt for a null path. The view points into `path`.
std::optional<std::string_view> LKExtractFileNameWithoutExtension(const char* path);

// The text of a call site's file or function as the dispatcher takes it:
// only string literals (__FILE__, "name"), __func__ and other arrays of
// static storage convert to it (a pointer, a std::string or an automatic
// array does not compile), so a record may keep it as a view without a
// copy. nullptr stands for no text.
class LKSourceText {
 public:
  template <std::size_t N>
  consteval LKSourceText(const char (&text)[N]) : text_(text) {}  // NOLINT: implicit on purpose
  consteval LKSourceText(std::nullptr_t) : text_(nullptr) {}      // NOLINT
  constexpr const char* c_str() const { return text_; }
  constexpr std::string_view view() const {
    return text_ ? std::string_view(text_) : std::string_view();
  }

 private:
  const char* text_;
};

class LKLogMessage;
using LKLogMessagePtr = std::shared_ptr<const LKLogMessage>;

namespace detail {
class RecordStore;
}

class LKLogMessage {
 public:
  // `timestamp` nullopt: now. `tag`: any value, None when there is none.
  LKLogMessage(std::string message, std::uint64_t level, std::uint64_t flag, std::int64_t context,
               std::string_view file, std::string_view function, std::uint64_t line,
               platform::Value tag, std::int64_t options,
               std::optional<platform::Date> timestamp = std::nullopt);

  LKLogMessage(const LKLogMessage& other);
  LKLogMessage& operator=(const LKLogMessage&) = delete;

  // A new record sharing every field with this one.
  LKLogMessagePtr copy() const { return std::make_shared<LKLogMessage>(*this); }
  // A copy whose message is `message` (used by formatter chains).
  LKLogMessagePtr copyWithMessage(std::string message) const;

  const std::string& message() const { return message_; }
  std::uint64_t level() const { return level_; }
  std::uint64_t flag() const { return flag_; }
  std::int64_t context() const { return context_; }
  std::string_view file() const { return file_; }
  std::string_view fileName() const { return fileName_; }
  std::string_view function() const { return function_; }
  std::uint64_t line() const { return line_; }
  const platform::Value& tag() const { return tag_; }
  std::int64_t options() const { return options_; }
  platform::Date timestamp() const { return timestamp_; }
  // Kernel thread id of the creating thread, "%llu".
  const std::string& threadID() const { return *threadID_; }
  // Name the creating thread was given; empty when it has none of its own.
  const std::string& threadName() const { return *threadName_; }
  // Label of the queue the record was made on; empty outside any queue.
  const std::string& queueLabel() const { return *queueLabel_; }

 private:
  friend class detail::RecordStore;
  LKLogMessage() = default;  // a blank record of the dispatcher's store

  // Ordered so that reusing a dispatcher's record touches few cache lines:
  // what is read on reuse comes first, then what is written, then the space
  // the dispatcher keeps in its records.
  alignas(64) std::string message_;
  std::string_view file_;
  std::shared_ptr<const std::string> queueLabel_;  // shared by a thread's records
  std::shared_ptr<const std::string> threadID_, threadName_;
  std::string_view function_;
  std::uint64_t line_ = 0;
  std::uint64_t level_ = 0, flag_ = 0;
  std::int64_t context_ = 0;
  std::int64_t options_ = 0;
  platform::Date timestamp_;
  platform::Value tag_;
  // Dispatcher's records only: room for their shared count and their place
  // in the dispatcher's queue (or in the store, while they are there), so
  // none of these needs memory of its own; the record's last user writes
  // nothing else of it.
  alignas(64) unsigned char controlSlot_[32];
  alignas(16) unsigned char queueSlot_[32];
  std::string_view fileName_;
  std::shared_ptr<const std::string> fileCopy_, functionCopy_;
};

}  // namespace logging
