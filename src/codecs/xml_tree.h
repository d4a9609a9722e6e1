// XMLTreeParser: converts an XML document into nested dictionaries, arrays
// and strings, and such a tree back into XML text.
//
// A node is a mutable dictionary: "__name" the element's name, "_" + name
// for each attribute, a child's name for its node (an array of nodes when
// there are several, or the child's text when the child collapses),
// "__text" the element's own trimmed text (an array when pieces are separated
// by children or comments) and "__comments" the comments inside it.
//
// Guarantees:
//  1. A document that the XML parser rejects gives None and an error, never
//     a partial tree. A document without an element gives None and an error.
//  2. External entities and external DTDs are never loaded.
//  3. Nesting deeper than kXMLMaximumDepth elements is rejected, so writing
//     a parsed tree back never recurses without bound.
//
// Thread safety: each parse uses its own parser; the functions may be called
// from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace codecs {

inline constexpr const char* kXMLParserErrorDomain = "NSXMLParserErrorDomain";
inline constexpr std::size_t kXMLMaximumDepth = 512;
// Error code of a document nested deeper than kXMLMaximumDepth.
inline constexpr std::int64_t kXMLErrorCodeTooDeep = 1000;

inline constexpr const char* kXMLNameKey = "__name";
inline constexpr const char* kXMLTextKey = "__text";
inline constexpr const char* kXMLCommentsKey = "__comments";
inline constexpr const char* kXMLAttributesKey = "__attributes";
inline constexpr const char* kXMLAttributePrefix = "_";
inline constexpr const char* kXMLRootName = "root";

class XMLTreeParser {
 public:
  // Parses the whole document; root() then holds the tree (None on failure).
  explicit XMLTreeParser(std::string_view xmlData);
  const platform::Value& root() const { return root_; }
  const platform::Error& error() const { return error_; }

  static platform::Value dictionaryWithXMLData(std::string_view data,
                                               platform::Error* error = nullptr);
  static platform::Value dictionaryWithXMLData(const platform::Value& data,
                                               platform::Error* error = nullptr);
  static platform::Value dictionaryWithXMLString(std::string_view string,
                                                 platform::Error* error = nullptr) {
    return dictionaryWithXMLData(string, error);
  }
  static platform::Value dictionaryWithXMLFile(const std::string& path,
                                               platform::Error* error = nullptr);

  // Writes `node` (a dictionary, an array of nodes or a leaf) as XML named `name`.
  static std::string xmlStringForNode(const platform::Value& node, std::string_view name);

 private:
  platform::Value root_;
  platform::Error error_;
};

// Accessors of a node.
platform::Value nodeName(const platform::Value& node);
platform::Value comments(const platform::Value& node);
// The "__text" entry; pieces are joined with "\n". None when absent.
platform::Value innerText(const platform::Value& node);
platform::Value attributes(const platform::Value& node);
platform::Value attributeForKey(const platform::Value& node, std::string_view name);
platform::Value childNodes(const platform::Value& node);
std::string innerXML(const platform::Value& node);
std::string xmlString(const platform::Value& node);
// "&" "<" ">" and the double quote replaced by their entities.
std::string xmlEncodedString(std::string_view string);

}  // namespace codecs
