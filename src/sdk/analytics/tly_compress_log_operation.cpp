#include "sdk/analytics/tly_compress_log_operation.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <climits>
#include <string>
#include <string_view>

#include "platform/system/file_util.h"
#include "sdk/analytics/tly_file_utils.h"
#include "sdk/analytics/tly_logger.h"

namespace sdk {

TLYCompressLogOperation::TLYCompressLogOperation(platform::URL uncompressedLogURL,
                                                 platform::URL compressedLogURL)
    : uncompressedLogURL_(std::move(uncompressedLogURL)),
      compressedLogURL_(std::move(compressedLogURL)) {}

platform::URL TLYCompressLogOperation::compressedURLForUncompressedURL(const platform::URL& url) {
  const std::string name = TLYFileUtils::baseNameForURL(url) + ".gz";
  return url.deletingLastPathComponent().appendingPathComponent(name);
}

namespace {

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "<ms>\t<name>\t<length>\t<payload>" with the length the payload's.
bool isWellFormedLine(std::string_view line) {
  const std::size_t a = line.find('\t');
  if (a == std::string_view::npos) return false;
  const std::size_t b = line.find('\t', a + 1);
  if (b == std::string_view::npos || b == a + 1) return false;
  const std::size_t c = line.find('\t', b + 1);
  if (c == std::string_view::npos) return false;
  const std::string_view length = line.substr(b + 1, c - b - 1);
  if (!allDigits(line.substr(0, a)) || !allDigits(length) || length.size() > 12) return false;
  const std::string_view payload = line.substr(c + 1);
  if (payload.size() != std::stoull(std::string(length))) return false;
  return !payload.empty() && (payload.front() == '{' || payload.front() == '[');
}

}  // namespace

std::string TLYCompressLogOperation::wholeLines(const std::string& log, std::size_t* damaged) {
  std::string kept;
  kept.reserve(log.size());
  std::size_t dropped = 0;
  std::size_t pos = 0;
  while (pos < log.size()) {
    const std::size_t end = log.find('\n', pos);
    // A last line without its line feed was cut while being written.
    if (end == std::string::npos) {
      ++dropped;
      break;
    }
    const std::string_view line(log.data() + pos, end - pos);
    if (isWellFormedLine(line)) {
      kept.append(line);
      kept.push_back('\n');
    } else if (!line.empty()) {
      ++dropped;
    }
    pos = end + 1;
  }
  if (damaged) *damaged = dropped;
  return kept;
}

void TLYCompressLogOperation::main() {
  TLYLogger& logger = TLYLogger::sharedLogger();
  if (!TLYFileUtils::isExistingFile(uncompressedLogURL_)) {
    logger.log("Error: attempting to compress nonexistent file: %@", uncompressedLogURL_);
    return;
  }
  const std::string target = TLYFileUtils::pathForURL(compressedLogURL_);
  // O_EXCL: an existing compressed file is never overwritten, and the new
  // one is owner-only from its first byte (event logs carry the API key).
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) return;
  // A log that exists but cannot be read compresses to an empty stream.
  std::size_t damaged = 0;
  const std::string bytes = wholeLines(
      platform::files::readFile(TLYFileUtils::pathForURL(uncompressedLogURL_)).value_or(""),
      &damaged);
  if (damaged > 0) {
    logger.log("Skipped %@ damaged lines of %@", std::to_string(damaged), uncompressedLogURL_);
  }
  if (fd < 0) {
    logger.log("Failed to compress file at %@", uncompressedLogURL_);
    return;
  }
  gzFile gz = ::gzdopen(fd, "w");
  if (gz == nullptr) {
    ::close(fd);
    ::unlink(target.c_str());
    logger.log("Failed to compress file at %@", uncompressedLogURL_);
    return;
  }
  bool complete = false;
  if (bytes.size() <= static_cast<std::size_t>(INT_MAX)) {
    const int written = ::gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size()));
    complete = written >= 0 && static_cast<std::size_t>(written) == bytes.size();
  }
  // Closing flushes the stream's end: a failure there also leaves a
  // truncated file.
  if (::gzclose(gz) != Z_OK) complete = false;
  if (!complete) {
    logger.log("Failed to compress file at %@", uncompressedLogURL_);
    ::unlink(target.c_str());
    return;
  }
  didCompress_ = true;
}

}  // namespace sdk
