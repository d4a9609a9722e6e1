#include "codecs/xml_tree.h"

#include <expat.h>

#include <vector>

#include "platform/foundation/format.h"
#include "platform/foundation/string_encoding.h"
#include "platform/system/file_util.h"

namespace codecs {

using platform::Error;
using platform::Value;

namespace {

bool isTrimmed(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isTrimmed(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && isTrimmed(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool startsWithPrefix(const Value& key) {
  return key.isString() && !key.asString().empty() && key.asString()[0] == '_';
}

// Builds the tree from the parser's events.
class TreeBuilder {
 public:
  Value root;
  std::vector<Value> stack;
  std::string text;
  bool hasText = false;
  bool tooDeep = false;
  XML_Parser parser = nullptr;

  void endText() {
    if (!hasText) return;
    std::string_view t = trim(text);
    if (!t.empty() && !stack.empty()) {
      Value& node = stack.back();
      Value existing = node[kXMLTextKey];
      Value piece{std::string(t)};
      if (existing.isNone()) {
        node.set(kXMLTextKey, piece);
      } else if (existing.isArray() && existing.isMutable()) {
        existing.append(piece);
      } else {
        node.set(kXMLTextKey, Value::mutableArray({existing, piece}));
      }
    }
    text.clear();
    hasText = false;
  }

  void start(const char* name, const char** atts) {
    endText();
    if (stack.size() >= kXMLMaximumDepth) {
      tooDeep = true;
      XML_StopParser(parser, XML_FALSE);
      return;
    }
    Value node = Value::mutableDictionary();
    node.set(kXMLNameKey, Value(name));
    for (const char** a = atts; a && a[0]; a += 2) {
      node.set(Value(std::string(kXMLAttributePrefix) + a[0]), Value(a[1]));
    }
    if (stack.empty()) {
      root = node;
    } else {
      Value& parent = stack.back();
      Value existing = parent[name];
      if (existing.isNone()) {
        parent.set(name, node);
      } else if (existing.isArray() && existing.isMutable()) {
        existing.append(node);
      } else {
        parent.set(name, Value::mutableArray({existing, node}));
      }
    }
    stack.push_back(node);
  }

  void end() {
    endText();
    if (stack.empty()) return;
    Value node = stack.back();
    const bool collapses = attributes(node).isNone() && childNodes(node).isNone() &&
                           node[kXMLCommentsKey].isNone() && !node[kXMLTextKey].isNone();
    stack.pop_back();
    if (!collapses || stack.empty()) return;
    Value& parent = stack.back();
    Value key = node[kXMLNameKey];
    Value entry = parent.get(key);
    if (!(entry.isSameObject(node) || containsNode(entry, node))) {
      key = Value();
      parent.forEach([&](const Value& k, const Value& v) {
        if (v.isSameObject(node) || containsNode(v, node)) {
          key = k;
          return false;
        }
        return true;
      });
      if (key.isNone()) return;
      entry = parent.get(key);
    }
    Value inner = innerText(node);
    if (entry.isArray() && entry.isMutable()) {
      entry.replaceAt(entry.count() - 1, inner);
    } else {
      parent.set(key, inner);
    }
  }

  void comment(const char* data) {
    endText();
    if (stack.empty()) return;  // outside the document element: dropped
    Value& node = stack.back();
    Value list = node[kXMLCommentsKey];
    if (list.isNone()) {
      list = Value::mutableArray();
      node.set(kXMLCommentsKey, list);
    }
    list.append(Value(data));
  }

  static bool containsNode(const Value& entry, const Value& node) {
    if (!entry.isArray()) return false;
    for (const Value& e : entry.elements()) {
      if (e.isSameObject(node)) return true;
    }
    return false;
  }
};

void XMLCALL onStart(void* user, const XML_Char* name, const XML_Char** atts) {
  static_cast<TreeBuilder*>(user)->start(name, atts);
}
void XMLCALL onEnd(void* user, const XML_Char*) { static_cast<TreeBuilder*>(user)->end(); }
void XMLCALL onText(void* user, const XML_Char* s, int len) {
  auto* b = static_cast<TreeBuilder*>(user);
  b->text.append(s, static_cast<std::size_t>(len));
  b->hasText = true;
}
void XMLCALL onComment(void* user, const XML_Char* data) {
  static_cast<TreeBuilder*>(user)->comment(data);
}
// Refuses every external entity.
int XMLCALL onExternalEntity(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*,
                             const XML_Char*) {
  return XML_STATUS_ERROR;
}

}  // namespace

XMLTreeParser::XMLTreeParser(std::string_view xmlData) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  if (parser == nullptr) {
    error_ = Error(kXMLParserErrorDomain, XML_ERROR_NO_MEMORY,
                   Value::dictionary({{platform::kLocalizedDescriptionKey,
                                       Value("Unable to create the XML parser.")}}));
    return;
  }
  TreeBuilder builder;
  builder.parser = parser;
  XML_SetUserData(parser, &builder);
  XML_SetElementHandler(parser, onStart, onEnd);
  XML_SetCharacterDataHandler(parser, onText);
  XML_SetCommentHandler(parser, onComment);
  XML_SetExternalEntityRefHandler(parser, onExternalEntity);
  XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);

  bool ok = true;
  std::size_t offset = 0;
  // Feed in chunks that fit the parser's int length.
  do {
    const std::size_t chunk = std::min<std::size_t>(xmlData.size() - offset, 1 << 30);
    const bool last = offset + chunk == xmlData.size();
    if (XML_Parse(parser, xmlData.data() + offset, static_cast<int>(chunk), last) !=
        XML_STATUS_OK) {
      ok = false;
      break;
    }
    offset += chunk;
  } while (offset < xmlData.size());

  if (builder.tooDeep) {
    error_ =
        Error(kXMLParserErrorDomain, kXMLErrorCodeTooDeep,
              Value::dictionary({{platform::kLocalizedDescriptionKey,
                                  Value(platform::format("Elements nested deeper than %lu levels.",
                                                         kXMLMaximumDepth))}}));
  } else if (!ok) {
    const XML_Error code = XML_GetErrorCode(parser);
    error_ = Error(
        kXMLParserErrorDomain, code,
        Value::dictionary(
            {{platform::kLocalizedDescriptionKey,
              Value(platform::format("XML error at line %lu, column %lu: %s",
                                     static_cast<unsigned long>(XML_GetCurrentLineNumber(parser)),
                                     static_cast<unsigned long>(XML_GetCurrentColumnNumber(parser)),
                                     XML_ErrorString(code)))},
             {"NSXMLParserErrorLineNumber",
              Value(static_cast<std::uint64_t>(XML_GetCurrentLineNumber(parser)))},
             {"NSXMLParserErrorColumn",
              Value(static_cast<std::uint64_t>(XML_GetCurrentColumnNumber(parser)))}}));
  } else if (builder.root.isNone()) {
    error_ = Error(kXMLParserErrorDomain, XML_ERROR_NO_ELEMENTS,
                   Value::dictionary({{platform::kLocalizedDescriptionKey,
                                       Value("The document holds no element.")}}));
  } else {
    root_ = builder.root;
  }
  XML_ParserFree(parser);
}

Value XMLTreeParser::dictionaryWithXMLData(std::string_view data, Error* error) {
  XMLTreeParser parser(data);
  if (parser.root().isNone() && error != nullptr) *error = parser.error();
  return parser.root();
}

Value XMLTreeParser::dictionaryWithXMLData(const Value& data, Error* error) {
  if (data.isString()) return dictionaryWithXMLData(std::string_view(data.asString()), error);
  const platform::Bytes& b = data.asData();
  return dictionaryWithXMLData(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()),
                               error);
}

Value XMLTreeParser::dictionaryWithXMLFile(const std::string& path, Error* error) {
  std::optional<std::string> contents = platform::files::readFile(path, error);
  if (!contents) return Value();
  return dictionaryWithXMLData(std::string_view(*contents), error);
}

// ---------------------------------------------------------------------------
// Accessors

Value nodeName(const Value& node) { return node[kXMLNameKey]; }

Value comments(const Value& node) { return node[kXMLCommentsKey]; }

Value innerText(const Value& node) {
  Value text = node[kXMLTextKey];
  if (!text.isArray()) return text;
  std::string joined;
  bool first = true;
  for (const Value& piece : text.elements()) {
    if (!first) joined += "\n";
    first = false;
    joined += piece.description();
  }
  return Value(std::move(joined));
}

Value attributes(const Value& node) {
  if (!node.isDictionary()) return Value();
  Value explicitAttributes = node[kXMLAttributesKey];
  if (!explicitAttributes.isNone()) {
    return explicitAttributes.count() == 0 ? Value() : explicitAttributes;
  }
  std::vector<std::pair<Value, Value>> pairs;
  node.forEach([&](const Value& key, const Value& value) {
    if (!key.isString()) return true;
    const std::string& k = key.asString();
    if (k == kXMLCommentsKey || k == kXMLTextKey || k == kXMLNameKey) return true;
    if (startsWithPrefix(key)) pairs.emplace_back(Value(k.substr(1)), value);
    return true;
  });
  if (pairs.empty()) return Value();
  return Value::dictionary(std::move(pairs));
}

Value attributeForKey(const Value& node, std::string_view name) { return attributes(node)[name]; }

Value childNodes(const Value& node) {
  if (!node.isDictionary()) return Value();
  std::vector<std::pair<Value, Value>> pairs;
  node.forEach([&](const Value& key, const Value& value) {
    if (startsWithPrefix(key)) return true;  // also "__name", "__text", ...
    pairs.emplace_back(key, value);
    return true;
  });
  if (pairs.empty()) return Value();
  return Value::dictionary(std::move(pairs));
}

std::string xmlEncodedString(std::string_view string) {
  std::string out;
  out.reserve(string.size());
  platform::appendXMLEscaped(out, string, platform::kXMLEscapeQuotes);
  return out;
}

std::string innerXML(const Value& node) {
  std::vector<std::string> parts;
  Value list = comments(node);
  for (const Value& c : list.elements()) {
    parts.push_back("<!--" + xmlEncodedString(c.description()) + "-->");
  }
  Value children = childNodes(node);
  children.forEach([&](const Value& key, const Value& value) {
    parts.push_back(XMLTreeParser::xmlStringForNode(value, key.description()));
    return true;
  });
  Value text = innerText(node);
  if (!text.isNone()) parts.push_back(xmlEncodedString(text.description()));
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += "\n";
    out += parts[i];
  }
  return out;
}

std::string XMLTreeParser::xmlStringForNode(const Value& node, std::string_view name) {
  if (node.isArray()) {
    std::string out;
    bool first = true;
    for (const Value& e : node.elements()) {
      if (!first) out += "\n";
      first = false;
      out += xmlStringForNode(e, name);
    }
    return out;
  }
  if (node.isDictionary()) {
    std::string attributeText;
    attributes(node).forEach([&](const Value& key, const Value& value) {
      attributeText += " " + xmlEncodedString(key.description()) + "=\"" +
                       xmlEncodedString(value.description()) + "\"";
      return true;
    });
    const std::string inner = innerXML(node);
    if (!inner.empty()) {
      return platform::format("<%1$@%2$@>%3$@</%1$@>", name, attributeText, inner);
    }
    return platform::format("<%@%@/>", name, attributeText);
  }
  return platform::format("<%1$@>%2$@</%1$@>", name, xmlEncodedString(node.description()));
}

std::string xmlString(const Value& node) {
  Value name = nodeName(node);
  return XMLTreeParser::xmlStringForNode(node, name.isNone() ? kXMLRootName : name.description());
}

}  // namespace codecs
