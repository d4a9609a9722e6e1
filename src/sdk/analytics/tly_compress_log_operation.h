// sdk::TLYCompressLogOperation: one queue operation that gzips a plain event
// log ("<name>.log") into its compressed file ("<name>.gz").
//
// main():
//  - a plain log that is missing or a directory is logged ("Error:
//    attempting to compress nonexistent file: %@") and nothing is made;
//  - an existing compressed file is never overwritten, not even an empty one
//    (the operation then does nothing, silently);
//  - otherwise the log's whole, well-formed lines (wholeLines) are written
//    in one gzip write (default
//    level, standard gzip format) to a new owner-only file. A log that exists
//    but cannot be read gives a valid, empty gzip stream.
//  - a failed write is logged ("Failed to compress file at %@") and the
//    partial compressed file is removed, so that nothing later packages and
//    uploads a truncated stream; didCompress() then stays false.
// The plain log is never removed here (the controller removes it).
//
// Thread safety: one operation, run by one queue; the accessors may be read
// from any thread once the operation is finished.
#pragma once

#include <cstddef>
#include <string>

#include "platform/foundation/url.h"
#include "platform/system/operation.h"

namespace sdk {

class TLYCompressLogOperation : public platform::Operation {
 public:
  TLYCompressLogOperation(platform::URL uncompressedLogURL, platform::URL compressedLogURL);
  static std::shared_ptr<TLYCompressLogOperation> create(platform::URL uncompressedLogURL,
                                                         platform::URL compressedLogURL) {
    return std::make_shared<TLYCompressLogOperation>(std::move(uncompressedLogURL),
                                                     std::move(compressedLogURL));
  }

  const platform::URL& uncompressedLogURL() const { return uncompressedLogURL_; }
  const platform::URL& compressedLogURL() const { return compressedLogURL_; }
  // True once main() wrote a complete compressed file (false when it found
  // one already there, or failed).
  bool didCompress() const { return didCompress_; }

  // The whole, well-formed lines of an event log ("<ms>\t<name>\t<length>\t
  // <payload>\n" whose length is the payload's), in order; the others (a
  // last line cut while being written, a line damaged on disk) are left out
  // and counted in `damaged`. The service refuses a package holding one bad
  // line, with all the good events in it.
  static std::string wholeLines(const std::string& log, std::size_t* damaged = nullptr);

  // The same location with its extension replaced by "gz".
  static platform::URL compressedURLForUncompressedURL(const platform::URL& url);

  void main() override;

 private:
  const platform::URL uncompressedLogURL_;
  const platform::URL compressedLogURL_;
  bool didCompress_ = false;
};

}  // namespace sdk
