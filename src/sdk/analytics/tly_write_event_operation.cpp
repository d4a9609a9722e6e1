#include "sdk/analytics/tly_write_event_operation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "codecs/json_encoder.h"
#include "platform/foundation/format.h"
#include "platform/foundation/string_encoding.h"
#include "sdk/analytics/tly_logger.h"

namespace sdk {

std::uint64_t TLYWriteEventOperation::millisecondsSince1970(platform::Date date) {
  double ms = date.timeIntervalSince1970() * 1000;
  if (!(ms > 0)) return 0;  // before 1970, or NaN
  if (ms >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(ms);
}

std::uint64_t TLYWriteEventOperation::secondsSince1970(platform::Date date) {
  double s = date.timeIntervalSince1970();
  if (!(s > 0)) return 0;
  if (s >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(s);
}

TLYWriteEventOperation::TLYWriteEventOperation(std::shared_ptr<TLYEvent> event,
                                               std::shared_ptr<TLYMetadataSerializable> metadata,
                                               platform::URL logFileUrl, SystemCalls systemCalls)
    : event_(std::move(event)),
      metadata_(std::move(metadata)),
      logFileUrl_(std::move(logFileUrl)),
      formattedEvent_(event_ ? generateFormattedLogLineWithEvent(*event_) : std::nullopt),
      formattedMetadata_(event_ && metadata_
                             ? generateFormattedLogLineWithMetdata(*metadata_, event_->timestamp())
                             : std::nullopt),
      systemCalls_(std::move(systemCalls)) {}

std::optional<std::string> TLYWriteEventOperation::logLineWithTimestamp(
    platform::Date timestamp, const std::string& eventName, const platform::Value& payload) {
  if (!payload.isDictionary() && !payload.isArray()) return std::nullopt;
  platform::Value json = codecs::JSONString(payload, codecs::JTSerializeOptionNone);
  if (!json.isString()) return std::nullopt;
  std::string_view bytes = json.stringView();
  if (!platform::isValidUTF8(bytes)) return std::nullopt;
  return platform::format("%llu\t%@\t%lu\t%@", millisecondsSince1970(timestamp), eventName,
                          static_cast<unsigned long>(bytes.size()), bytes);
}

std::optional<std::string> TLYWriteEventOperation::generateFormattedLogLineWithEvent(
    const TLYEvent& event) const {
  return logLineWithTimestamp(event.timestamp(), event.name(), event.dictionaryRepresentation());
}

std::optional<std::string> TLYWriteEventOperation::generateFormattedLogLineWithMetdata(
    const TLYMetadataSerializable& metadata, platform::Date timestamp) const {
  return logLineWithTimestamp(
      timestamp, metadata.eventName(),
      metadata.dictionaryRepresentationWithStartTime(secondsSince1970(timestamp)));
}

void TLYWriteEventOperation::main() {
  success_ = false;
  std::string path = logFileUrl_.decodedPath();
  struct stat st {};
  const bool existed = ::stat(path.c_str(), &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) return;
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  // A log that exists but holds nothing (an earlier first write failed
  // after creating it) still needs its metadata line first.
  success_ = writeDataToDescriptor(fd, existed && st.st_size > 0);
  if ((systemCalls_.close ? systemCalls_.close(fd) : ::close(fd)) != 0) {
    TLYLogger::sharedLogger().logWithLabel(kTLYWriteOperationLogLabel,
                                           "Failed to close file, error: %s", std::strerror(errno));
    success_ = false;
  }
}

bool TLYWriteEventOperation::writeDataToDescriptor(int fd, bool preexistingFile) {
  // The metadata line opens every log, also when this event cannot be
  // written: later events of the log then still find it.
  if (!formattedMetadata_) return false;
  if (!preexistingFile && !appendLogLine(*formattedMetadata_, fd)) return false;
  if (!formattedEvent_) return false;
  return appendLogLine(*formattedEvent_, fd);
}

bool TLYWriteEventOperation::appendLogLine(const std::string& line, int fd) {
  // The line goes in whole or not at all: a write that stops part-way cuts
  // the file back to where the line began (only the event queue writes it).
  struct stat st {};
  const off_t start = ::fstat(fd, &st) == 0 ? st.st_size : -1;
  if (appendBytes(line + "\n", fd)) return true;
  if (start >= 0 && ::ftruncate(fd, start) != 0) {
    TLYLogger::sharedLogger().logWithLabel(
        kTLYWriteOperationLogLabel, "Failed to remove a partial line: %s\n", std::strerror(errno));
  }
  return false;
}

bool TLYWriteEventOperation::appendBytes(const std::string& data, int fd) {
  const char* bytes = data.data();
  std::size_t remaining = data.size();
  TLYLogger& logger = TLYLogger::sharedLogger();
  for (int attempt = 1;; ++attempt) {
    errno = 0;
    ssize_t written = systemCalls_.write ? systemCalls_.write(fd, bytes, remaining)
                                         : ::write(fd, bytes, remaining);
    if (written < 0) {
      logger.logWithLabel(kTLYWriteOperationLogLabel, "Failed to write: %s\n",
                          std::strerror(errno));
    }
    if (written >= 0 && static_cast<std::size_t>(written) == remaining) return true;
    if (written > 0 && static_cast<std::size_t>(written) > remaining) {
      logger.logWithLabel(kTLYWriteOperationLogLabel,
                          "Error: length doesn't make sense (%zd, %zu)\n", written, remaining);
      return false;
    }
    if (written <= 0 || attempt == 3) {
      logger.logWithLabel(kTLYWriteOperationLogLabel, "Error: exited write loop without success\n");
      return false;
    }
    bytes += written;
    remaining -= static_cast<std::size_t>(written);
  }
}

}  // namespace sdk
