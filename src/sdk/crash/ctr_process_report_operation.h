// sdk::CTRProcessReportOperation: symbolicates the crash record files of one
// report before it is packaged.
//
// For each crash file of the report ("exception.clsrecord",
// "mach_exception.clsrecord", "signal.clsrecord", in that order) that holds
// stack traces (a "threads" line whose threads carry "stacktrace" arrays of
// addresses), the frames are resolved with the symbol resolver, demangled,
// and written next to the crash file as "<crash file>.symbolicated" (a
// record file with one "threads" line). A report whose binary-images record
// cannot be read is left as it is.
//
// The operation is run synchronously on the caller's thread (start()).
//
// Thread safety: one thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/system/operation.h"
#include "sdk/crash/ctr_internal_report.h"
#include "sdk/crash/ctr_stack_frame.h"
#include "sdk/crash/ctr_symbol_resolver.h"

namespace sdk {

inline constexpr const char* kCTRSymbolicatedFileExtension = "symbolicated";

class CTRProcessReportOperation : public platform::Operation {
 public:
  using Ptr = std::shared_ptr<CTRProcessReportOperation>;
  static Ptr create(std::shared_ptr<CTRInternalReport> report,
                    std::shared_ptr<CTRSymbolResolver> resolver);
  CTRProcessReportOperation(std::shared_ptr<CTRInternalReport> report,
                            std::shared_ptr<CTRSymbolResolver> resolver);

  const std::shared_ptr<CTRInternalReport>& report() const { return report_; }
  const std::shared_ptr<CTRSymbolResolver>& symbolResolver() const { return resolver_; }

  void main() override;

  // The report's binary-images record.
  std::string binaryImagePath() const;
  // The stack traces of the record file at `path`, one frame list per
  // thread; nullopt when the file is missing or holds no stack trace.
  std::optional<CTRThreadArray> threadArrayFromFile(const std::string& path) const;
  // Symbolicates, demangles and writes "<path>.symbolicated"; false when the
  // file had no stack traces (nothing is written then).
  bool symbolicateFile(const std::string& path,
                       const std::shared_ptr<CTRSymbolResolver>& resolver) const;

 private:
  std::shared_ptr<CTRInternalReport> report_;
  std::shared_ptr<CTRSymbolResolver> resolver_;
};

}  // namespace sdk
