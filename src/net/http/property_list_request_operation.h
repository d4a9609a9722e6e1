// NKPropertyListRequestOperation: the HTTP request operation whose response
// object is the body read as a property list, XML or binary
// ("application/x-plist"; URLs
// ending in ".plist" are claimed whatever their "Accept" header). Parsing
// runs once, lazily, on the concurrent queue
// "com.netkit.networking.property-list-request.processing"; a malformed
// list selects the failure callback with the reader's error.
//
// Thread safety: as NKHTTPRequestOperation; the lazy getter is meant for the
// completion path and for callers after the operation finished.
#pragma once

#include <mutex>

#include "net/http/http_request_operation.h"
#include "platform/system/property_list.h"

namespace net::http {

inline constexpr const char* kNKPropertyListRequestProcessingQueueLabel =
    "com.netkit.networking.property-list-request.processing";
// The format the reader found (propertyListFormat): XML or binary.
inline constexpr std::uint64_t kNKPropertyListXMLFormat = platform::plist::kXMLFormat;
inline constexpr std::uint64_t kNKPropertyListBinaryFormat = platform::plist::kBinaryFormat;

class NKPropertyListRequestOperation : public NKHTTPRequestOperation {
 public:
  using Ptr = std::shared_ptr<NKPropertyListRequestOperation>;
  using PlistSuccess = std::function<void(const URLRequest&, const std::optional<URLResponse>&,
                                          const platform::Value&)>;
  using PlistFailure = std::function<void(const URLRequest&, const std::optional<URLResponse>&,
                                          const platform::Error&, const platform::Value&)>;

  static Ptr create(URLRequest request);
  explicit NKPropertyListRequestOperation(URLRequest request);
  static Ptr propertyListRequestOperationWithRequest(URLRequest request, PlistSuccess success,
                                                     PlistFailure failure);
  static const NKOperationClass& operationClass();
  const NKOperationClass& objectClass() const override { return operationClass(); }
  static bool canProcessRequest(const URLRequest& request);
  static platform::dispatch::QueuePtr processingQueue();

  platform::Value responsePropertyList();
  platform::Error error() override;
  std::uint64_t propertyListReadOptions() const { return readOptions_; }
  void setPropertyListReadOptions(std::uint64_t options) { readOptions_ = options; }
  std::uint64_t propertyListFormat() const { return format_; }
  platform::Error propertyListError() const;
  void setCompletionBlockWithSuccess(SuccessBlock success, FailureBlock failure) override;

 private:
  // Guards the parsed fields below and is held while parsing; never taken
  // while lock_ is held (parsing reads the body, which takes lock_).
  mutable std::mutex parseMutex_;
  platform::Value plist_;
  platform::Error plistError_;
  std::atomic<std::uint64_t> readOptions_{0};
  std::atomic<std::uint64_t> format_{0};
};

}  // namespace net::http
