// NKXMLRequestOperation: the HTTP request operation for XML replies
// ("application/xml", "text/xml"; URLs ending in ".xml" are claimed
// whatever their "Accept" header). Its response object is an NKXMLParser
// over the body that has not run yet (the caller sets its delegate and
// runs it); responseXMLDocument() gives the body as a document tree
// (codecs/xml_tree.h) and keeps the reader's error in XMLError().
// Callbacks always hop through "com.netkit.networking.xml-request.processing".
//
// Thread safety: as NKHTTPRequestOperation.
#pragma once

#include <mutex>

#include "net/http/http_request_operation.h"
#include "net/http/xml_parser.h"

namespace net::http {

inline constexpr const char* kNKXMLRequestProcessingQueueLabel =
    "com.netkit.networking.xml-request.processing";

class NKXMLRequestOperation : public NKHTTPRequestOperation {
 public:
  using Ptr = std::shared_ptr<NKXMLRequestOperation>;
  using ParserSuccess = std::function<void(const URLRequest&, const std::optional<URLResponse>&,
                                           const std::shared_ptr<NKXMLParser>&)>;
  using ParserFailure =
      std::function<void(const URLRequest&, const std::optional<URLResponse>&,
                         const platform::Error&, const std::shared_ptr<NKXMLParser>&)>;
  using DocumentSuccess = std::function<void(const URLRequest&, const std::optional<URLResponse>&,
                                             const platform::Value& document)>;
  using DocumentFailure =
      std::function<void(const URLRequest&, const std::optional<URLResponse>&,
                         const platform::Error&, const platform::Value& document)>;

  static Ptr create(URLRequest request);
  explicit NKXMLRequestOperation(URLRequest request);
  static Ptr XMLParserRequestOperationWithRequest(URLRequest request, ParserSuccess success,
                                                  ParserFailure failure);
  static Ptr XMLDocumentRequestOperationWithRequest(URLRequest request, DocumentSuccess success,
                                                    DocumentFailure failure);
  static const NKOperationClass& operationClass();
  const NKOperationClass& objectClass() const override { return operationClass(); }
  static bool canProcessRequest(const URLRequest& request);
  static platform::dispatch::QueuePtr processingQueue();

  std::shared_ptr<NKXMLParser> responseXMLParser();
  platform::Value responseXMLDocument();
  platform::Error XMLError() const;
  platform::Error error() override;
  void cancel() override;
  // The success callback's object is None; the parser is responseXMLParser().
  void setCompletionBlockWithSuccess(SuccessBlock success, FailureBlock failure) override;

 private:
  // Guards the parsed fields below and is held while parsing; never taken
  // while lock_ is held (parsing reads the body, which takes lock_).
  mutable std::mutex parseMutex_;
  std::shared_ptr<NKXMLParser> parser_;
  platform::Value document_;
  platform::Error XMLError_;
};

}  // namespace net::http
