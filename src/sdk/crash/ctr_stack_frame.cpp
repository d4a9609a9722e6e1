#include "sdk/crash/ctr_stack_frame.h"

#include <cinttypes>
#include <cstdio>

namespace sdk {

CTRStackFrame::Ptr CTRStackFrame::stackFrame() { return std::make_shared<CTRStackFrame>(); }

CTRStackFrame::Ptr CTRStackFrame::stackFrameWithAddress(std::uint64_t address) {
  auto frame = stackFrame();
  frame->setAddress(address);
  return frame;
}

CTRStackFrame::Ptr CTRStackFrame::stackFrameWithSymbol(std::string symbol) {
  auto frame = stackFrame();
  frame->setSymbol(symbol);
  frame->setRawSymbol(std::move(symbol));
  return frame;
}

std::string CTRStackFrame::description() const {
  auto text = [](const std::optional<std::string>& s) -> std::string {
    return s ? *s : std::string("(null)");
  };
  char head[64];
  if (fileName_) {
    std::snprintf(head, sizeof head, "{[0x%" PRIx64 "] ", address_);
    return head + *fileName_ + " - " + text(symbol_) + ":" + std::to_string(lineNumber_) + "}";
  }
  std::snprintf(head, sizeof head, "{[0x%" PRIx64 " + %u] ", address_, lineNumber_);
  return head + text(symbol_) + "}";
}

}  // namespace sdk
