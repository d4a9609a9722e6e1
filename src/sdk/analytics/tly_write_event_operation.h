// TLYWriteEventOperation: appends one event to an event log file.
//
// Log line (one per record, UTF-8): the record's time in whole milliseconds
// since 1970, its name, the byte length of its payload and the payload as
// compact JSON, separated by tabs, ended by "\n" ("%llu\t%@\t%lu\t%@").
// A file that did not exist before the write begins with the metadata line
// (time: the event's; "started_at": the event's time in whole seconds),
// then the event line; later writes append the event line only.
//
// Guarantees:
//  1. Both lines are formed at construction. A line whose payload is None
//     or cannot be serialised is absent, and then nothing at all is written
//     (not even to an existing file).
//  2. main() writes nothing when the log path is a directory or cannot be
//     opened. A new file is made owner-only (0600: its metadata holds the
//     API key).
//  3. One line takes at most three write calls; a short write is continued,
//     then abandoned with a console line, and the file is cut back to where
//     the line began: a line is in the log whole or not at all.
//  4. A failed metadata line on a new file leaves out the event line; a
//     failed close turns a completed write into a failure. success() tells
//     the outcome.
//  5. A time before 1970 is written as 0 (the unsigned field has no room
//     for it).
//
// Thread safety: runs on the controller's serial event queue, one operation
// per log file at a time; no locks. success() after the operation finished.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/date.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/system/operation.h"
#include "sdk/analytics/tly_event.h"
#include "sdk/analytics/tly_metadata_serializable.h"

namespace sdk {

inline constexpr const char* kTLYWriteOperationLogLabel = "WriteOperation";

class TLYWriteEventOperation : public platform::Operation {
 public:
  // The write and close system calls the operation makes (empty: the real
  // ones); a test gives stand-ins to reach short and failed writes.
  using WriteFunction = std::function<ssize_t(int fd, const void* bytes, std::size_t length)>;
  using CloseFunction = std::function<int(int fd)>;
  struct SystemCalls {
    WriteFunction write;
    CloseFunction close;
  };

  TLYWriteEventOperation(std::shared_ptr<TLYEvent> event,
                         std::shared_ptr<TLYMetadataSerializable> metadata,
                         platform::URL logFileUrl, SystemCalls systemCalls = {});
  static std::shared_ptr<TLYWriteEventOperation> initWithEvent(
      std::shared_ptr<TLYEvent> event, std::shared_ptr<TLYMetadataSerializable> metadata,
      platform::URL logFileUrl, SystemCalls systemCalls = {}) {
    return std::make_shared<TLYWriteEventOperation>(std::move(event), std::move(metadata),
                                                    std::move(logFileUrl), std::move(systemCalls));
  }

  void main() override;
  // Appends the metadata line (new file only) and the event line.
  bool writeDataToDescriptor(int fd, bool preexistingFile);
  // Appends `line` and "\n" (guarantee 3).
  bool appendLogLine(const std::string& line, int fd);
  // The write loop of appendLogLine, without the cut-back.
  bool appendBytes(const std::string& data, int fd);

  std::optional<std::string> generateFormattedLogLineWithEvent(const TLYEvent& event) const;
  std::optional<std::string> generateFormattedLogLineWithMetdata(
      const TLYMetadataSerializable& metadata, platform::Date timestamp) const;
  // One line without its "\n"; nullopt when `payload` is None or cannot be
  // serialised.
  static std::optional<std::string> logLineWithTimestamp(platform::Date timestamp,
                                                         const std::string& eventName,
                                                         const platform::Value& payload);
  // Whole milliseconds / seconds since 1970, 0 before it.
  static std::uint64_t millisecondsSince1970(platform::Date date);
  static std::uint64_t secondsSince1970(platform::Date date);

  const std::shared_ptr<TLYEvent>& event() const { return event_; }
  const std::shared_ptr<TLYMetadataSerializable>& metadata() const { return metadata_; }
  const platform::URL& logFileUrl() const { return logFileUrl_; }
  const std::optional<std::string>& formattedEvent() const { return formattedEvent_; }
  const std::optional<std::string>& formattedMetadata() const { return formattedMetadata_; }
  bool success() const { return success_; }

 private:
  const std::shared_ptr<TLYEvent> event_;
  const std::shared_ptr<TLYMetadataSerializable> metadata_;
  const platform::URL logFileUrl_;
  const std::optional<std::string> formattedEvent_;
  const std::optional<std::string> formattedMetadata_;
  const SystemCalls systemCalls_;
  bool success_ = false;
};

}  // namespace sdk
