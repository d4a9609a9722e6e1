#include "net/http/xml_parser.h"

#include <expat.h>

namespace net::http {

namespace {

struct Context {
  NKXMLParser* parser;
  std::shared_ptr<NKXMLParserDelegate> delegate;
};

void onStart(void* user, const XML_Char* name, const XML_Char** atts) {
  auto* c = static_cast<Context*>(user);
  platform::Value attributes = platform::Value::mutableDictionary();
  for (int i = 0; atts && atts[i]; i += 2) attributes.set(atts[i], platform::Value(atts[i + 1]));
  if (c->delegate) c->delegate->parserDidStartElement(*c->parser, name, attributes);
}

void onEnd(void* user, const XML_Char* name) {
  auto* c = static_cast<Context*>(user);
  if (c->delegate) c->delegate->parserDidEndElement(*c->parser, name);
}

void onText(void* user, const XML_Char* s, int len) {
  auto* c = static_cast<Context*>(user);
  if (c->delegate) c->delegate->parserFoundCharacters(*c->parser, std::string(s, len));
}

void onEntityDeclaration(void* user, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                         const XML_Char*, const XML_Char*, const XML_Char*) {
  // Refuse documents that declare entities (no expansion attacks).
  XML_StopParser(static_cast<XML_Parser>(user), XML_FALSE);
}

}  // namespace

void NKXMLParser::setDelegate(std::weak_ptr<NKXMLParserDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<NKXMLParserDelegate> NKXMLParser::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

bool NKXMLParser::parse() {
  XML_Parser p = XML_ParserCreate("UTF-8");
  Context context{this, delegate()};
  XML_SetEntityDeclHandler(p, onEntityDeclaration);
  XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
  XML_UseParserAsHandlerArg(p);
  // Handlers receive the parser (so the entity handler can stop it) and
  // reach the context through the user data.
  XML_SetUserData(p, &context);
  XML_SetElementHandler(
      p,
      [](void* parser, const XML_Char* name, const XML_Char** atts) {
        onStart(XML_GetUserData(static_cast<XML_Parser>(parser)), name, atts);
      },
      [](void* parser, const XML_Char* name) {
        onEnd(XML_GetUserData(static_cast<XML_Parser>(parser)), name);
      });
  XML_SetCharacterDataHandler(p, [](void* parser, const XML_Char* s, int len) {
    onText(XML_GetUserData(static_cast<XML_Parser>(parser)), s, len);
  });
  const bool ok = XML_Parse(p, reinterpret_cast<const char*>(data_.data()),
                            static_cast<int>(data_.size()), XML_TRUE) == XML_STATUS_OK;
  if (!ok) {
    const XML_Error code = XML_GetErrorCode(p);
    error_ = platform::Error(
        "NSXMLParserErrorDomain", code == XML_ERROR_ABORTED ? 26 : static_cast<int>(code),
        platform::Value::dictionary(
            {{platform::kLocalizedDescriptionKey,
              platform::Value(code == XML_ERROR_ABORTED ? "entity declarations are not allowed"
                                                        : XML_ErrorString(code))},
             {"NSXMLParserErrorLineNumber",
              platform::Value(static_cast<std::int64_t>(XML_GetCurrentLineNumber(p)))}}));
    if (context.delegate) context.delegate->parserParseErrorOccurred(*this, error_);
  }
  XML_ParserFree(p);
  return ok;
}

}  // namespace net::http
