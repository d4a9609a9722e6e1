// sdk::TLYCleanupFilesOperation: the start-up clean-up of the analytics
// event directory. It sorts what earlier launches left by stage, removes
// what cannot be used and bounds the number of pending packages.
//
// main():
//  1. Lists the directory. Entries with the extension "log" are plain logs,
//     "gz" compressed logs, "multipartmime" packages; any other entry is
//     removed at once (errors ignored, no message).
//  2. A compressed log whose plain log is still there is removed (it will be
//     made again from the log); a failed removal is logged with the label
//     "CleanupOperation" ("Failed to remove %@: %@"). Either way it is no
//     longer reported.
//  3. Packages are bounded by URLsByRemovingOldFiles() with the maximum.
//  4. The success block, when set, gets the plain logs, the remaining
//     compressed logs and the kept packages, in that order.
// Nothing is reported as an error: failures are logged and leave files as
// they are.
//
// Thread safety: one operation, run by one queue. Set the success block
// before the operation is queued.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/foundation/url.h"
#include "platform/system/operation.h"

namespace sdk {

class TLYCleanupFilesOperation : public platform::Operation {
 public:
  using SuccessBlock = std::function<void(const std::vector<platform::URL>& logs,
                                          const std::vector<platform::URL>& compressedLogs,
                                          const std::vector<platform::URL>& packages)>;

  TLYCleanupFilesOperation(platform::URL directoryUrl, std::int64_t maximumPendingMultipartFiles);
  static std::shared_ptr<TLYCleanupFilesOperation> create(
      platform::URL directoryUrl, std::int64_t maximumPendingMultipartFiles) {
    return std::make_shared<TLYCleanupFilesOperation>(std::move(directoryUrl),
                                                      maximumPendingMultipartFiles);
  }

  const platform::URL& directoryUrl() const { return directoryUrl_; }
  std::int64_t maximumPendingMultipartFiles() const { return maximumPendingMultipartFiles_; }
  void setSuccessBlock(SuccessBlock block) { successBlock_ = std::move(block); }

  // When `maximum`, read as an unsigned number, is at least the number of
  // locations, they are all kept and returned unchanged (so a negative
  // maximum keeps every one). Otherwise they are sorted by creation date,
  // newest first (unreadable dates count as the most distant past; equal
  // dates keep the order of the locations' text), every location from
  // position `maximum` on is removed from disk (errors ignored), and the
  // first `maximum` are returned.
  static std::vector<platform::URL> URLsByRemovingOldFiles(std::vector<platform::URL> urls,
                                                           std::int64_t maximum);

  void main() override;

 private:
  const platform::URL directoryUrl_;
  const std::int64_t maximumPendingMultipartFiles_;
  SuccessBlock successBlock_;
};

}  // namespace sdk
