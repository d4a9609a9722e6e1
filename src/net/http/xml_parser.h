// NKXMLParser: an XML event parser over a byte buffer (expat). It is created
// over the bytes and does nothing until its user sets a delegate and calls
// parse(). External entities are never loaded.
//
// Thread safety: one parser is used by one thread at a time.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace net::http {

class NKXMLParser;

class NKXMLParserDelegate {
 public:
  virtual ~NKXMLParserDelegate() = default;
  virtual void parserDidStartElement(NKXMLParser&, const std::string& /*name*/,
                                     const platform::Value& /*attributes*/) {}
  virtual void parserDidEndElement(NKXMLParser&, const std::string& /*name*/) {}
  virtual void parserFoundCharacters(NKXMLParser&, const std::string& /*text*/) {}
  virtual void parserParseErrorOccurred(NKXMLParser&, const platform::Error& /*error*/) {}
};

class NKXMLParser {
 public:
  explicit NKXMLParser(platform::Bytes data) : data_(std::move(data)) {}
  // The delegate is held weakly.
  void setDelegate(std::weak_ptr<NKXMLParserDelegate> delegate);
  std::shared_ptr<NKXMLParserDelegate> delegate() const;
  // Runs the whole document through the delegate; false on malformed XML.
  bool parse();
  const platform::Error& parserError() const { return error_; }
  const platform::Bytes& data() const { return data_; }

 private:
  platform::Bytes data_;
  mutable std::mutex mutex_;
  std::weak_ptr<NKXMLParserDelegate> delegate_;
  platform::Error error_;
};

}  // namespace net::http
