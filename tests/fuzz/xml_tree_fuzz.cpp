// libFuzzer target: the XML-to-dictionary converter, then the writer on the
// tree it produced.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codecs/xml_tree.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::Error error;
  platform::Value root = codecs::XMLTreeParser::dictionaryWithXMLData(
      std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (root.isNone()) {
    if (error.isNone()) std::abort();  // a rejected document always carries an error
    return 0;
  }
  const std::string xml = codecs::xmlString(root);
  (void)codecs::XMLTreeParser::dictionaryWithXMLString(xml);
  (void)codecs::childNodes(root);
  (void)codecs::attributes(root);
  (void)codecs::innerText(root);
  return 0;
}
