// sdk::CTRPackageReportOperation: turns one report directory into one
// upload package, "<prepared directory>/<boundary>.multipartmime", a
// multipart body (BCNMultipartMimeStreamEncoder) with, in this order:
//   "api_key"    the report's API key (when it has one)
//   "report_id"  the report's identifier (when it has one)
//   one file part per entry of the report directory, in listing order:
//     field name = the entry's name, file name = the name + ".gz",
//     content = the entry gzip-compressed (written next to it as
//     <entry>.gz), type "application/x-gzip"; when compression fails, the
//     uncompressed content with "text/plain" (the file name keeps ".gz").
//   Skipped: names beginning with ".", entries ending in ".gz" (leftovers of
//   an earlier, interrupted packaging: their source is compressed anew),
//   directories, and entries that are empty or cannot be read.
//
// Guarantees:
//  1. The submission pipeline starts the operation directly: packaging runs
//     synchronously on the caller's thread. finalPath() is the package path
//     once packaging finished, uncancelled, with a complete body; nullopt
//     before and otherwise.
//  2. Cancellation is checked before each entry; a cancelled operation adds
//     no further parts and removes its package file.
//  3. A package whose body could not be written whole (a failed stream
//     write or open) is removed and gives no finalPath: half a package is
//     never uploaded.
//  4. Problems are written to the SDK log (sdk.log, CTRSDKLog) at the ERROR
//     level: "Error: unable to read data for compression: %s", "Error: path
//     is invalid", "Error: compression failed for %s", "Error: unable to
//     open file for compression %s", "Error: failed to write compressed
//     bytes %d, %s, %s ".
//
// Thread safety: one operation is run by one thread; finalPath() may be
// read from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "platform/system/operation.h"
#include "sdk/crash/ctr_file_manager.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/platform/bcn_multipart_mime_stream_encoder.h"

namespace sdk {

inline constexpr const char* kCTRPackageExtension = "multipartmime";
inline constexpr const char* kCTRPackageAPIKeyField = "api_key";
inline constexpr const char* kCTRPackageReportIdField = "report_id";
inline constexpr const char* kCTRPackageGzipContentType = "application/x-gzip";
inline constexpr const char* kCTRPackagePlainContentType = "text/plain";

class CTRPackageReportOperation : public platform::Operation {
 public:
  // initWithReport:fileManager:
  CTRPackageReportOperation(std::shared_ptr<CTRInternalReport> report,
                            std::shared_ptr<CTRFileManager> fileManager);

  const std::shared_ptr<CTRInternalReport>& report() const { return report_; }
  const std::shared_ptr<CTRFileManager>& fileManager() const { return fileManager_; }
  // The package's path (guarantee 1).
  std::optional<std::string> finalPath() const;

  // Packages the report (see the top of this file).
  void main() override;

  // prepared directory + "/" + name + ".multipartmime".
  std::string packagedPathWithName(const std::string& name) const;
  // Adds the file part of `path` with `data` (its content) to `encoder`.
  void encode(BCNMultipartMimeStreamEncoder& encoder, const platform::Bytes& data,
              const std::string& path);
  // Writes `data` gzip-compressed to `path` (replacing it). True only when
  // the data was not empty and every byte was written.
  static bool compressData(const platform::Bytes& data, const std::string& path);
  // One gzip write of `length` bytes to `gzFile` (a gzFile of zlib); the
  // bytes written (0 on failure, after an SDK log line).
  static long writeBytes(const void* bytes, std::size_t length, void* gzFile);

 private:
  // Reads one entry of the report directory and adds its part (an empty or
  // unreadable entry adds nothing).
  void packageEntry(BCNMultipartMimeStreamEncoder& encoder, const std::string& path);
  void setFinalPath(std::optional<std::string> path);

  const std::shared_ptr<CTRInternalReport> report_;
  const std::shared_ptr<CTRFileManager> fileManager_;
  mutable std::mutex mutex_;
  std::optional<std::string> finalPath_;  // guarded by mutex_
};

}  // namespace sdk
