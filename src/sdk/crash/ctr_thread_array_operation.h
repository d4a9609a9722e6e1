// The operations of report symbolication that work on one thread array
// (one frame list per thread of a crash record file):
//   CTRThreadArrayOperation                  the base: holds the array and
//                                            walks its frames;
//   CTRSymbolicationOperation                resolves every frame through a
//                                            CTRSymbolResolver;
//   CTRSerializeSymbolicatedFramesOperation  writes the frames as the
//                                            "threads" line of a record file.
// (CTRDemangleOperation, in ctr_demangle_operation.h, is the third.)
//
// The operations share the frame objects of the array they are given: what
// one operation changes in a frame the next one sees. They are run by
// calling start() directly, synchronously.
//
// Thread safety: an operation and its frames belong to the thread that
// starts it; cancel() may come from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/system/operation.h"
#include "sdk/crash/ctr_stack_frame.h"

namespace sdk {

class CTRSymbolResolver;

class CTRThreadArrayOperation : public platform::Operation {
 public:
  explicit CTRThreadArrayOperation(CTRThreadArray threadArray)
      : threadArray_(std::move(threadArray)) {}

  const CTRThreadArray& threadArray() const { return threadArray_; }

  // Threads in order, frames in order. After each frame the operation
  // checks whether it was cancelled; when it was, the rest of that thread is
  // left out and the walk goes on with the next thread.
  void enumerateFramesWithBlock(const std::function<void(CTRStackFrame& frame)>& block) const;

 private:
  CTRThreadArray threadArray_;
};

class CTRSymbolicationOperation : public CTRThreadArrayOperation {
 public:
  using Ptr = std::shared_ptr<CTRSymbolicationOperation>;
  static Ptr create(CTRThreadArray threadArray, std::shared_ptr<CTRSymbolResolver> resolver);
  CTRSymbolicationOperation(CTRThreadArray threadArray,
                            std::shared_ptr<CTRSymbolResolver> resolver);

  const std::shared_ptr<CTRSymbolResolver>& symbolResolver() const { return resolver_; }
  // updateStackFrame of the resolver for every frame; a frame that cannot
  // be resolved stays as it is.
  void main() override;

 private:
  std::shared_ptr<CTRSymbolResolver> resolver_;
};

class CTRSerializeSymbolicatedFramesOperation : public CTRThreadArrayOperation {
 public:
  using Ptr = std::shared_ptr<CTRSerializeSymbolicatedFramesOperation>;
  static Ptr create(CTRThreadArray threadArray, std::string outputPath);
  CTRSerializeSymbolicatedFramesOperation(CTRThreadArray threadArray, std::string outputPath);

  const std::string& outputPath() const { return outputPath_; }
  // Creates or truncates the output file and writes one line:
  //   {"threads":[[{"symbol":..,"raw_symbol":..,"offset":..,"library":..},..],..]}
  // "symbol" and "library" are null when unset; "raw_symbol" is left out
  // when it equals "symbol" (so an unresolved frame carries it as null);
  // no address is written. Names are JSON strings with the characters that
  // JSON requires escaped (a demangled name may hold a quote). A file that
  // cannot be created logs "[Crashtrail:Crash:Symbolication] Failed to
  // create output file" to the console and nothing else happens.
  void main() override;

 private:
  std::string outputPath_;
};

}  // namespace sdk
