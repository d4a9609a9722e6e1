// NKJSONRequestOperation: the HTTP request operation whose response object
// is the parsed JSON body ("application/json", "text/json",
// "text/javascript"). Parsing runs on the concurrent queue
// "com.netkit.networking.json-request.processing"; callbacks then run on
// the operation's callback queues.
//
// Guarantees: the body is parsed at most once, after the operation
// finished, under the operation's lock. An empty body or a body of one
// space gives success with no object. A body that cannot be decoded as text
// in its encoding fails with -1016 ("Operation responseData failed decoding
// as a UTF-8 string"), never a success without an object. Malformed JSON
// fails with the parser's error.
//
// Thread safety: as NKHTTPRequestOperation.
#pragma once

#include <mutex>

#include "net/http/http_request_operation.h"

namespace net::http {

inline constexpr const char* kNKJSONRequestProcessingQueueLabel =
    "com.netkit.networking.json-request.processing";

class NKJSONRequestOperation : public NKHTTPRequestOperation {
 public:
  using Ptr = std::shared_ptr<NKJSONRequestOperation>;
  using JSONSuccess = std::function<void(const URLRequest&, const std::optional<URLResponse>&,
                                         const platform::Value& JSON)>;
  using JSONFailure = std::function<void(const URLRequest&, const std::optional<URLResponse>&,
                                         const platform::Error&, const platform::Value& JSON)>;
  // Reading option: collections of the result are mutable.
  static constexpr std::uint64_t kJSONReadingMutableContainers = 1;

  static Ptr create(URLRequest request);
  explicit NKJSONRequestOperation(URLRequest request);
  static Ptr JSONRequestOperationWithRequest(URLRequest request, JSONSuccess success,
                                             JSONFailure failure);

  static const NKOperationClass& operationClass();
  const NKOperationClass& objectClass() const override { return operationClass(); }
  static bool canProcessRequest(const URLRequest& request);
  static std::optional<ContentTypes> acceptableContentTypes() {
    return acceptableContentTypesFor(operationClass());
  }
  static void addAcceptableContentTypes(const ContentTypes& types) {
    addAcceptableContentTypesFor(operationClass(), types);
  }
  static platform::dispatch::QueuePtr processingQueue();

  platform::Value responseJSON();
  platform::Error error() override;
  std::uint64_t JSONReadingOptions() const { return readingOptions_; }
  void setJSONReadingOptions(std::uint64_t options) { readingOptions_ = options; }
  void setCompletionBlockWithSuccess(SuccessBlock success, FailureBlock failure) override;

 private:
  // Guards the parsed fields below and is held while parsing; never taken
  // while lock_ is held (parsing reads the body, which takes lock_).
  mutable std::mutex parseMutex_;
  platform::Value responseJSON_;
  platform::Error JSONError_;
  bool parsed_ = false;
  std::atomic<std::uint64_t> readingOptions_{0};
};

}  // namespace net::http
