#include "sdk/crash/ctr_utils.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "sdk/crash/capture/ctr_allocator.h"
#include "sdk/crash/capture/ctr_context.h"
#include "sdk/platform/bcn_encoding.h"

namespace sdk {

void CTRHexFromByte(std::uint8_t byte, char* output) { BCNHexEncodeByte(byte, output); }

std::uint8_t CTRHexValueOfCharacter(char character) {
  if (character >= '0' && character <= '9') return static_cast<std::uint8_t>(character - '0');
  if (character >= 'a' && character <= 'f') return static_cast<std::uint8_t>(character - 'a' + 10);
  if (character >= 'A' && character <= 'F') return static_cast<std::uint8_t>(character - 'A' + 10);
  return 255;
}

void CTRHexFromBytes(const void* bytes, std::size_t length, char* output) {
  BCNHexEncodeBytes(bytes, length, output);
}

std::string CTRHexStringFromData(const platform::Value& data) {
  if (data.isData()) return BCNHexStringFromData(data.asData());
  return BCNHexStringFromData(data.stringView());
}

std::string CTRSHA1HexDigest(const void* bytes, std::size_t length) {
  return BCNSHA1HexStringFromBytes(bytes, length);
}

std::string CTRSHA1HexDigestOfData(const platform::Value& data) {
  if (data.isData()) return BCNSHA1HexStringFromData(data.asData());
  return BCNSHA1HexStringFromData(data.stringView());
}

std::string CTRGenerateUUIDString() { return BCNGenerateUUIDString(); }

std::string CTRNormalizeUUIDString(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '-') continue;
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

std::string CTRGenerateNormalizedUUIDString() {
  return CTRNormalizeUUIDString(CTRGenerateUUIDString());
}

bool CTRUnlinkIfExists(const char* path) {
  if (path == nullptr) return false;
  return ::unlink(path) == 0 || errno == ENOENT;
}

void CTRDispatchAfterSeconds(const platform::dispatch::QueuePtr& queue,
                             platform::dispatch::Block block, double seconds) {
  if (!queue || !block) return;
  queue->after(platform::dispatch::seconds(seconds), std::move(block));
}

void CTROperationQueueAddAfterSeconds(const platform::OperationQueue::Ptr& operationQueue,
                                      std::function<void()> block, double seconds) {
  if (!operationQueue || !block) return;
  platform::dispatch::Queue::global(platform::dispatch::Priority::Default)
      ->after(platform::dispatch::seconds(seconds),
              [operationQueue, block = std::move(block)]() mutable {
                operationQueue->addOperationWithBlock(std::move(block));
              });
}

void CTRSymbolInfoForAddress(std::uintptr_t address, const CTRSymbolInfoBlock& block) {
  if (!block) return;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(address), &info) == 0) {
    block(nullptr, nullptr);
    return;
  }
  block(info.dli_sname != nullptr ? info.dli_sname : "unknown",
        info.dli_fname != nullptr ? info.dli_fname : "unknown");
}

const char* CTRCrashContextCopyString(const char* text) {
  if (text == nullptr) return nullptr;
  const std::size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(
      CTRAllocatorSafeAllocate(ctrAllocator, length + 1, kCTRAllocationRegionReadOnly));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

}  // namespace sdk
