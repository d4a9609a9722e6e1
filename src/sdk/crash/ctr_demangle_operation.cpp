#include "sdk/crash/ctr_demangle_operation.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

namespace sdk {
namespace {

constexpr std::string_view kBlockInvoke = "_block_invoke";
// The block-invoke marker must leave room for "__Z" and at least one
// character of a name before it.
constexpr std::size_t kMinimumBlockInvokePosition = 5;

std::mutex& swiftDemanglerMutex() {
  static std::mutex mutex;
  return mutex;
}

CTRDemangleOperation::SwiftDemangler& swiftDemanglerSlot() {
  static CTRDemangleOperation::SwiftDemangler demangler;
  return demangler;
}

bool hasPrefix(const char* symbol, std::string_view prefix) {
  return std::strncmp(symbol, prefix.data(), prefix.size()) == 0;
}

}  // namespace

CTRDemangleOperation::Ptr CTRDemangleOperation::create(CTRThreadArray threadArray) {
  return std::make_shared<CTRDemangleOperation>(std::move(threadArray));
}

CTRDemangleOperation::CTRDemangleOperation(CTRThreadArray threadArray)
    : CTRThreadArrayOperation(std::move(threadArray)) {}

void CTRDemangleOperation::main() {
  enumerateFramesWithBlock([](CTRStackFrame& frame) {
    if (!frame.rawSymbol()) return;
    std::optional<std::string> demangled = demangleSymbol(frame.rawSymbol()->c_str());
    if (demangled) frame.setSymbol(std::move(demangled));
  });
}

std::optional<std::string> CTRDemangleOperation::demangleSymbol(const char* symbol) {
  if (symbol == nullptr) return std::nullopt;
  if (hasPrefix(symbol, "_Z")) return demangleCppSymbol(symbol);
  if (hasPrefix(symbol, "__Z")) return demangleBlockInvokeCppSymbol(symbol);
  if (hasPrefix(symbol, "_T")) return demangleSwiftSymbol(symbol);
  return std::nullopt;
}

std::optional<std::string> CTRDemangleOperation::demangleCppSymbol(const char* symbol) {
  if (symbol == nullptr) return std::nullopt;
  int status = 0;
  char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  if (demangled == nullptr) return std::nullopt;
  std::optional<std::string> result;
  if (status == 0) result = std::string(demangled);
  std::free(demangled);
  return result;
}

std::optional<std::string> CTRDemangleOperation::demangleBlockInvokeCppSymbol(const char* symbol) {
  if (symbol == nullptr) return std::nullopt;
  const std::string_view text(symbol);
  const std::size_t position = text.rfind(kBlockInvoke);
  if (position == std::string_view::npos || position < kMinimumBlockInvokePosition) {
    return std::nullopt;
  }
  // Without the extra leading underscore the block's function is an
  // ordinary mangled name.
  const std::string function(text.substr(1, position - 1));
  std::optional<std::string> demangled = demangleSymbol(function.c_str());
  if (!demangled) return std::nullopt;
  return *demangled + std::string(text.substr(position));
}

std::optional<std::string> CTRDemangleOperation::demangleSwiftSymbol(const char* symbol) {
  if (symbol == nullptr) return std::nullopt;
  SwiftDemangler demangler;
  {
    std::lock_guard<std::mutex> lock(swiftDemanglerMutex());
    demangler = swiftDemanglerSlot();
  }
  if (!demangler) return std::nullopt;
  return demangler(symbol);
}

void CTRDemangleOperation::setSwiftDemangler(SwiftDemangler demangler) {
  std::lock_guard<std::mutex> lock(swiftDemanglerMutex());
  swiftDemanglerSlot() = std::move(demangler);
}

}  // namespace sdk
