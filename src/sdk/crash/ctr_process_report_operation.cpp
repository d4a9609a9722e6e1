#include "sdk/crash/ctr_process_report_operation.h"

#include "sdk/crash/capture/ctr_file.h"
#include "sdk/crash/ctr_demangle_operation.h"
#include "sdk/crash/ctr_thread_array_operation.h"

namespace sdk {

CTRProcessReportOperation::Ptr CTRProcessReportOperation::create(
    std::shared_ptr<CTRInternalReport> report, std::shared_ptr<CTRSymbolResolver> resolver) {
  return std::make_shared<CTRProcessReportOperation>(std::move(report), std::move(resolver));
}

CTRProcessReportOperation::CTRProcessReportOperation(std::shared_ptr<CTRInternalReport> report,
                                                     std::shared_ptr<CTRSymbolResolver> resolver)
    : report_(std::move(report)), resolver_(std::move(resolver)) {}

std::string CTRProcessReportOperation::binaryImagePath() const {
  return report_ ? report_->binaryImagePath() : std::string();
}

void CTRProcessReportOperation::main() {
  if (!report_ || !resolver_) return;
  if (!resolver_->loadBinaryImagesFromFile(binaryImagePath())) return;
  report_->enumerateSymbolicatableFilesInContent(
      [this](const std::string& path) { symbolicateFile(path, resolver_); });
}

std::optional<CTRThreadArray> CTRProcessReportOperation::threadArrayFromFile(
    const std::string& path) const {
  const platform::Value results = CTRFileReadSections(
      path.c_str(), false, [](const platform::Value& section) { return section["threads"]; });
  // The first "threads" line that is an array; a damaged line of another
  // kind is passed over.
  platform::Value threads;
  for (std::size_t i = 0; i < results.count(); ++i) {
    if (results[i].isArray()) {
      threads = results[i];
      break;
    }
  }
  if (threads.count() == 0) return std::nullopt;

  CTRThreadArray threadArray;
  threadArray.reserve(threads.count());
  bool anyFrame = false;
  for (std::size_t t = 0; t < threads.count(); ++t) {
    CTRStackFrameList frames;
    const platform::Value stacktrace = threads[t]["stacktrace"];
    for (std::size_t f = 0; f < stacktrace.count(); ++f) {
      const platform::Value pc = stacktrace[f];
      if (!pc.isNumber()) continue;
      frames.push_back(CTRStackFrame::stackFrameWithAddress(pc.asUInt64()));
    }
    anyFrame = anyFrame || !frames.empty();
    threadArray.push_back(std::move(frames));
  }
  if (!anyFrame) return std::nullopt;
  return threadArray;
}

bool CTRProcessReportOperation::symbolicateFile(
    const std::string& path, const std::shared_ptr<CTRSymbolResolver>& resolver) const {
  std::optional<CTRThreadArray> threadArray = threadArrayFromFile(path);
  if (!threadArray) return false;
  const std::string outputPath = path + "." + kCTRSymbolicatedFileExtension;
  CTRSymbolicationOperation::create(*threadArray, resolver)->start();
  CTRDemangleOperation::create(*threadArray)->start();
  CTRSerializeSymbolicatedFramesOperation::create(*threadArray, outputPath)->start();
  return true;
}

}  // namespace sdk
