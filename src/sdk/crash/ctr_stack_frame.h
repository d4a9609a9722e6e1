// sdk::CTRStackFrame: one frame of a stack trace, as symbolication fills it
// in (symbol, library, offset from the symbol's start) and as exception
// capture writes it into an exception line.
//
// A frame starts with only its address (or nothing); the string properties
// are unset (nullopt) until something sets them. Nothing in crash reporting
// sets fileName or lineNumber: they are there for frames that the host
// application builds itself (custom exceptions).
//
// Thread safety: a frame is a plain mutable value; one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sdk {

class CTRStackFrame {
 public:
  using Ptr = std::shared_ptr<CTRStackFrame>;

  // An empty frame.
  static Ptr stackFrame();
  // A frame of `address` only.
  static Ptr stackFrameWithAddress(std::uint64_t address);
  // A frame whose symbol and raw symbol are both `symbol`.
  static Ptr stackFrameWithSymbol(std::string symbol);

  const std::optional<std::string>& symbol() const { return symbol_; }
  void setSymbol(std::optional<std::string> symbol) { symbol_ = std::move(symbol); }
  // The symbol as the image names it, before demangling.
  const std::optional<std::string>& rawSymbol() const { return rawSymbol_; }
  void setRawSymbol(std::optional<std::string> rawSymbol) { rawSymbol_ = std::move(rawSymbol); }
  // The last path component of the image that holds the symbol.
  const std::optional<std::string>& library() const { return library_; }
  void setLibrary(std::optional<std::string> library) { library_ = std::move(library); }
  const std::optional<std::string>& fileName() const { return fileName_; }
  void setFileName(std::optional<std::string> fileName) { fileName_ = std::move(fileName); }
  std::uint32_t lineNumber() const { return lineNumber_; }
  void setLineNumber(std::uint32_t lineNumber) { lineNumber_ = lineNumber; }
  // Distance from the symbol's start to the (looked-up) address.
  std::uint64_t offset() const { return offset_; }
  void setOffset(std::uint64_t offset) { offset_ = offset; }
  std::uint64_t address() const { return address_; }
  void setAddress(std::uint64_t address) { address_ = address; }

  // "{[0x<address>] <fileName> - <symbol>:<line>}" when a file name is set,
  // else "{[0x<address> + <line>] <symbol>}"; an unset string shows as
  // "(null)".
  std::string description() const;

 private:
  std::optional<std::string> symbol_;
  std::optional<std::string> rawSymbol_;
  std::optional<std::string> library_;
  std::optional<std::string> fileName_;
  std::uint32_t lineNumber_ = 0;
  std::uint64_t offset_ = 0;
  std::uint64_t address_ = 0;
};

// The frames of one thread, innermost first.
using CTRStackFrameList = std::vector<CTRStackFrame::Ptr>;
// One frame list per thread, in the order of the crash record.
using CTRThreadArray = std::vector<CTRStackFrameList>;

}  // namespace sdk
