#include "sdk/crash/ctr_thread_array_operation.h"

#include "codecs/json_encoder.h"
#include "platform/foundation/string_encoding.h"
#include "sdk/crash/capture/ctr_file.h"
#include "sdk/crash/ctr_symbol_resolver.h"
#include "sdk/platform/bcn_console.h"

namespace sdk {
namespace {

// `text` as a JSON string literal. The record writer copies plain strings
// unchanged, which is right for the fixed names it was made for; symbol
// names come from the images and may hold a quote (a literal operator) or
// other bytes that would break the line.
std::string jsonStringLiteral(const std::string& text) {
  std::string safe = text;
  if (!platform::isValidUTF8(safe)) {
    for (char& c : safe) {
      if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    }
  }
  const platform::Value literal = codecs::stringJSONString(platform::Value(safe));
  return literal.isString() ? literal.asString() : std::string("\"\"");
}

void writeOptionalStringField(CTRFile* file, const char* name,
                              const std::optional<std::string>& text) {
  if (!text) {
    CTRFileWriteStringField(file, name, nullptr);
    return;
  }
  CTRFileWriteKey(file, name);
  const std::string literal = jsonStringLiteral(*text);
  CTRFileWriteRaw(file, literal.data(), literal.size());
  file->needsComma = true;
}

}  // namespace

void CTRThreadArrayOperation::enumerateFramesWithBlock(
    const std::function<void(CTRStackFrame& frame)>& block) const {
  for (const CTRStackFrameList& thread : threadArray_) {
    for (const CTRStackFrame::Ptr& frame : thread) {
      if (frame) block(*frame);
      if (isCancelled()) break;
    }
  }
}

CTRSymbolicationOperation::Ptr CTRSymbolicationOperation::create(
    CTRThreadArray threadArray, std::shared_ptr<CTRSymbolResolver> resolver) {
  return std::make_shared<CTRSymbolicationOperation>(std::move(threadArray), std::move(resolver));
}

CTRSymbolicationOperation::CTRSymbolicationOperation(CTRThreadArray threadArray,
                                                     std::shared_ptr<CTRSymbolResolver> resolver)
    : CTRThreadArrayOperation(std::move(threadArray)), resolver_(std::move(resolver)) {}

void CTRSymbolicationOperation::main() {
  if (!resolver_) return;
  // Frame 0 of each thread is its running instruction, the others return
  // addresses.
  for (const CTRStackFrameList& thread : threadArray()) {
    for (std::size_t i = 0; i < thread.size(); ++i) {
      if (thread[i]) resolver_->updateStackFrame(*thread[i], i > 0);
      if (isCancelled()) return;
    }
  }
}

CTRSerializeSymbolicatedFramesOperation::Ptr CTRSerializeSymbolicatedFramesOperation::create(
    CTRThreadArray threadArray, std::string outputPath) {
  return std::make_shared<CTRSerializeSymbolicatedFramesOperation>(std::move(threadArray),
                                                                   std::move(outputPath));
}

CTRSerializeSymbolicatedFramesOperation::CTRSerializeSymbolicatedFramesOperation(
    CTRThreadArray threadArray, std::string outputPath)
    : CTRThreadArrayOperation(std::move(threadArray)), outputPath_(std::move(outputPath)) {}

void CTRSerializeSymbolicatedFramesOperation::main() {
  CTRFile file{};
  file.descriptor = -1;
  if (!CTRFileInitWithPathMode(&file, outputPath_.c_str(), false, false)) {
    BCNConsoleWrite("[Crashtrail:Crash:Symbolication] Failed to create output file");
    return;
  }
  CTRFileBeginSection(&file, "threads");
  CTRFileBeginArray(&file);
  for (const CTRStackFrameList& thread : threadArray()) {
    CTRFileBeginArray(&file);
    for (const CTRStackFrame::Ptr& frame : thread) {
      if (!frame) continue;
      CTRFileBeginObject(&file);
      writeOptionalStringField(&file, "symbol", frame->symbol());
      if (!(frame->rawSymbol() && frame->rawSymbol() == frame->symbol())) {
        writeOptionalStringField(&file, "raw_symbol", frame->rawSymbol());
      }
      CTRFileWriteUnsignedField(&file, "offset", frame->offset());
      writeOptionalStringField(&file, "library", frame->library());
      CTRFileEndObject(&file);
    }
    CTRFileEndArray(&file);
  }
  CTRFileEndArray(&file);
  CTRFileEndSection(&file);
  CTRFileClose(&file);
}

}  // namespace sdk
