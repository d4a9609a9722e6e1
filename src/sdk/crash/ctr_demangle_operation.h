// sdk::CTRDemangleOperation: turns the raw symbols of a thread array into
// readable names, and the demangling functions that exception capture uses
// for C++ type names.
//
// Dispatch on the raw symbol's prefix:
//   "_Z"   a C++ symbol: the C++ runtime's demangler (abi::__cxa_demangle);
//   "__Z"  a C++ block-invoke symbol ("__Z3foov_block_invoke_2"): the C++
//          part without its first underscore is demangled and the
//          "_block_invoke..." tail is kept as it is ("foo()_block_invoke_2");
//   "_T"   a Swift symbol: handed to the registered Swift demangler when
//          the host program registers one (CTRDemangleOperation::
//          setSwiftDemangler); none is part of the SDK, so these stay as
//          they are;
//   anything else stays as it is (no result).
//
// Thread safety: the class functions may be called from any thread; an
// operation runs on the thread that starts it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sdk/crash/ctr_thread_array_operation.h"

namespace sdk {

class CTRDemangleOperation : public CTRThreadArrayOperation {
 public:
  using Ptr = std::shared_ptr<CTRDemangleOperation>;
  static Ptr create(CTRThreadArray threadArray);
  explicit CTRDemangleOperation(CTRThreadArray threadArray);

  // For every frame: the demangled form of its raw symbol, when there is
  // one, becomes its symbol.
  void main() override;

  // The readable form of `symbol` (see the prefixes above); nullopt when
  // it has none or `symbol` is nullptr.
  static std::optional<std::string> demangleSymbol(const char* symbol);
  static std::optional<std::string> demangleCppSymbol(const char* symbol);
  static std::optional<std::string> demangleBlockInvokeCppSymbol(const char* symbol);
  static std::optional<std::string> demangleSwiftSymbol(const char* symbol);
  std::optional<std::string> demangleSymbolInstance(const char* symbol) const {
    return demangleSymbol(symbol);
  }

  // The Swift demangler of the host program (nullptr removes it): gets the
  // symbol, answers its readable form or nullopt.
  using SwiftDemangler = std::function<std::optional<std::string>(const std::string& symbol)>;
  static void setSwiftDemangler(SwiftDemangler demangler);
};

}  // namespace sdk
