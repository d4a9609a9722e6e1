// libFuzzer target: the property-list reader, then the writer on what it
// read; the written text must read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/system/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::Error error;
  platform::Value value =
      platform::plist::parse(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (value.isNone()) {
    if (error.isNone()) std::abort();  // a rejected document always carries an error
    return 0;
  }
  std::optional<std::string> text = platform::plist::serialize(value);
  if (!text) std::abort();  // whatever was read can be written
  if (platform::plist::parse(*text).isNone()) std::abort();
  return 0;
}
