// libFuzzer target: the binary property-list reader, then the XML writer
// and reader on what it produced.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/system/binary_property_list.h"
#include "platform/system/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::Error error;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  platform::Value root = platform::plist::readBinary(bytes, &error);
  if (root.isNone()) {
    if (error.isNone()) std::abort();  // a refused list always carries an error
    return 0;
  }
  if (root.isMutable()) std::abort();
  if (auto xml = platform::plist::serialize(root)) {
    if (platform::plist::parse(*xml).isNone()) std::abort();  // what we write we read
  }
  return 0;
}
