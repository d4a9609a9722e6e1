#include "sdk/analytics/tly_compress_log_operation.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <climits>
#include <string>

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
  const std::string bytes =
      platform::files::readFile(TLYFileUtils::pathForURL(uncompressedLogURL_)).value_or("");
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
