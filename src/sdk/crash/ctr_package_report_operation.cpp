#include "sdk/crash/ctr_package_report_operation.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "platform/foundation/url.h"
#include "platform/system/file_util.h"
#include "platform/urlloading/stream.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/crash/capture/ctr_sdk_log.h"

namespace sdk {
namespace {

// gzwrite takes an unsigned count; the data is walked in ranges of at most
// this many bytes.
constexpr std::size_t kGzipRangeSize = std::size_t{1} << 30;

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::uint64_t fileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

CTRPackageReportOperation::CTRPackageReportOperation(std::shared_ptr<CTRInternalReport> report,
                                                     std::shared_ptr<CTRFileManager> fileManager)
    : report_(std::move(report)), fileManager_(std::move(fileManager)) {}

std::optional<std::string> CTRPackageReportOperation::finalPath() const {
  std::lock_guard lock(mutex_);
  return finalPath_;
}

void CTRPackageReportOperation::setFinalPath(std::optional<std::string> path) {
  std::lock_guard lock(mutex_);
  finalPath_ = std::move(path);
}

std::string CTRPackageReportOperation::packagedPathWithName(const std::string& name) const {
  const std::string prepared = fileManager_ ? fileManager_->preparedPath() : std::string();
  return prepared + "/" + name + "." + kCTRPackageExtension;
}

void CTRPackageReportOperation::main() {
  setFinalPath(std::nullopt);
  if (!report_ || !fileManager_) return;
  const std::string boundary = BCNMultipartMimeStreamEncoder::generateBoundary();
  const std::string packagePath = packagedPathWithName(boundary);
  const std::string identifier = report_->identifier();
  const platform::Value apiKey = report_->APIKey();

  // The package holds the API key: the stream creates it owner-only.
  auto stream = std::make_shared<platform::urlloading::FileOutputStream>(packagePath, false);
  auto encoder = BCNMultipartMimeStreamEncoder::encoderWithStream(stream, boundary);
  if (!encoder) return;

  bool cancelled = false;
  encoder->encode([&](BCNMultipartMimeStreamEncoder& e) {
    if (!apiKey.isNone() && !apiKey.isNull()) e.addValue(apiKey, kCTRPackageAPIKeyField);
    if (!identifier.empty()) e.addValue(identifier, kCTRPackageReportIdField);

    fileManager_->enumerateFilesInDirectory(
        report_->path(), [&](const std::string& path, const std::string& extension) {
          if (cancelled || isCancelled()) {
            cancelled = true;
            return;
          }
          // A ".gz" entry is a leftover of an earlier packaging; its source
          // is compressed anew below.
          if (extension == "gz") return;
          if (!isRegularFile(path)) return;
          packageEntry(e, path);
        });
  });

  if (cancelled || isCancelled()) {
    ::unlink(packagePath.c_str());
    return;
  }
  // A body that was not written whole is never handed on for upload.
  if (stream->streamStatus() == platform::urlloading::StreamStatus::kError ||
      stream->streamError() || fileSize(packagePath) != encoder->length()) {
    CTR_SDK_LOG_ERROR("Error: unable to write package %s\n", packagePath.c_str());
    ::unlink(packagePath.c_str());
    return;
  }
  setFinalPath(packagePath);
}

void CTRPackageReportOperation::packageEntry(BCNMultipartMimeStreamEncoder& encoder,
                                             const std::string& path) {
  const std::optional<std::string> content = platform::files::readFile(path);
  if (!content || content->empty()) {
    CTR_SDK_LOG_ERROR("Error: unable to read data for compression: %s\n",
                      platform::files::lastComponent(path).c_str());
    return;
  }
  encode(encoder, platform::Bytes(content->begin(), content->end()), path);
}

void CTRPackageReportOperation::encode(BCNMultipartMimeStreamEncoder& encoder,
                                       const platform::Bytes& data, const std::string& path) {
  if (path.empty()) {
    CTR_SDK_LOG_ERROR("Error: path is invalid\n");
    return;
  }
  const std::string fileName = platform::files::lastComponent(path);
  const std::string gzPath = path + ".gz";
  const std::string gzName = fileName + ".gz";
  if (compressData(data, gzPath)) {
    const std::optional<std::string> compressed = platform::files::readFile(gzPath);
    if (compressed && !compressed->empty()) {
      encoder.addFileData(platform::Bytes(compressed->begin(), compressed->end()), gzName,
                          kCTRPackageGzipContentType, fileName);
      return;
    }
  }
  CTR_SDK_LOG_ERROR("Error: compression failed for %s\n", gzName.c_str());
  encoder.addFileData(data, gzName, kCTRPackagePlainContentType, fileName);
}

bool CTRPackageReportOperation::compressData(const platform::Bytes& data, const std::string& path) {
  // A fresh owner-only file: never write through whatever (a link, another
  // user's file) already has that name.
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    CTR_SDK_LOG_ERROR("Error: unable to open file for compression %s\n", CTRErrorText(errno));
    return false;
  }
  gzFile gz = ::gzdopen(fd, "w");
  if (gz == nullptr) {
    const int err = errno;
    ::close(fd);
    ::unlink(path.c_str());
    CTR_SDK_LOG_ERROR("Error: unable to open file for compression %s\n", CTRErrorText(err));
    return false;
  }
  bool written = true;
  for (std::size_t offset = 0; written && offset < data.size(); offset += kGzipRangeSize) {
    const std::size_t length = std::min(kGzipRangeSize, data.size() - offset);
    auto write = [gz](const void* bytes, std::size_t count) -> ssize_t {
      return static_cast<ssize_t>(writeBytes(bytes, count, gz));
    };
    written = CTRFileLoopWithWriteBlock(data.data() + offset, length, write);
  }
  const bool closed = ::gzclose(gz) == Z_OK;
  const bool ok = !data.empty() && written && closed;
  if (!ok) ::unlink(path.c_str());
  return ok;
}

long CTRPackageReportOperation::writeBytes(const void* bytes, std::size_t length, void* gzFile) {
  if (gzFile == nullptr || length == 0) return 0;
  const unsigned count = static_cast<unsigned>(std::min<std::size_t>(length, UINT_MAX));
  errno = 0;
  const int result = ::gzwrite(static_cast<::gzFile>(gzFile), bytes, count);
  if (result <= 0) {
    const int err = errno;
    int gzErrnum = 0;
    const char* gzMessage = ::gzerror(static_cast<::gzFile>(gzFile), &gzErrnum);
    CTR_SDK_LOG_ERROR("Error: failed to write compressed bytes %d, %s, %s \n", gzErrnum, gzMessage,
                      CTRErrorText(err));
    return 0;
  }
  return result;
}

}  // namespace sdk
