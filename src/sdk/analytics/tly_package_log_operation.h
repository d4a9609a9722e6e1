// sdk::TLYPackageLogOperation: one queue operation that wraps a compressed
// event log as the single file part of a multipart MIME package, written
// with the SDK's multipart stream encoder and the given boundary.
//
// The part's field name and file name are both the compressed file's name
// ("<name>.gz"); its content type is "application/vnd.crashtrail.mac.events".
// main():
//  - a compressed file that is missing or a directory is logged ("Error:
//    attempting to package nonexistent file: %@") and no package is made;
//  - otherwise the package file is written afresh (earlier content replaced),
//    owner-only. A package whose writing failed is logged ("Failed to write
//    package %@: %@") and removed, so that no half package is uploaded;
//    didPackage() then stays false.
// The compressed file is never removed here (the controller removes it).
//
// Thread safety: one operation, run by one queue.
#pragma once

#include <string>

#include "platform/foundation/url.h"
#include "platform/system/operation.h"

namespace sdk {

inline constexpr const char* kTLYPackageContentType = "application/vnd.crashtrail.mac.events";

class TLYPackageLogOperation : public platform::Operation {
 public:
  TLYPackageLogOperation(platform::URL compressedLogURL, platform::URL packagedLogURL,
                         std::string multipartMimeBoundary);
  static std::shared_ptr<TLYPackageLogOperation> create(platform::URL compressedLogURL,
                                                        platform::URL packagedLogURL,
                                                        std::string multipartMimeBoundary) {
    return std::make_shared<TLYPackageLogOperation>(
        std::move(compressedLogURL), std::move(packagedLogURL), std::move(multipartMimeBoundary));
  }

  const platform::URL& compressedLogURL() const { return compressedLogURL_; }
  const platform::URL& packagedLogURL() const { return packagedLogURL_; }
  const std::string& multipartMimeBoundary() const { return multipartMimeBoundary_; }
  // True once main() wrote a complete package.
  bool didPackage() const { return didPackage_; }

  // The compressed file's directory, the boundary as the file name and the
  // extension "multipartmime".
  static platform::URL multipartURLForCompressedURL(const platform::URL& compressedURL,
                                                    const std::string& boundary);

  void main() override;

 private:
  const platform::URL compressedLogURL_;
  const platform::URL packagedLogURL_;
  const std::string multipartMimeBoundary_;
  bool didPackage_ = false;
};

}  // namespace sdk
