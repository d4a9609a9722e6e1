// SDKService: a local stand-in of the SDK's remote services, over HTTPS on
// 127.0.0.1 (a port the kernel picks):
//   GET  /spi/v2/platforms/mac/apps/<bundle>/settings   remote settings
//   POST /spi/v1/platforms/mac/apps                      app create
//   PUT  /spi/v1/platforms/mac/apps/<bundle>             app update
//   POST /spi/v2/events                                  analytics package
//   POST /sdk-api/v1/platforms/mac/apps/<bundle>/reports crash report package
// Each request's headers (API key, developer token, client identity, content
// type and length) and body (multipart form with its parts) are checked;
// a request that fails a check gets 400 with the reason and is logged in
// rejected.log. What is accepted is stored under the data folder:
//   app.json                 the onboarded application (form fields)
//   events/<n>-<boundary>.log  the event log of each analytics package
//   crashes/<report id>/<part> each part of a crash report, un-gzipped
// While the data folder holds a file "redirect-events", every analytics
// POST is answered "302 Found" with the file's text (a URL) as its Location
// and nothing is stored: a test's stand-in for a service that sends its
// clients elsewhere (the SDK must not follow a redirect to plain http).
// showReceived() prints what is stored, for a person: every crash with its
// signal or exception and the top frames of the crashed thread, and the
// events by name.
//
// Thread safety: the server calls the handlers on its connection threads;
// a mutex serialises them.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "support/http_test_server.h"

namespace sdk_service {

inline constexpr const char* kDeveloperToken = "3c9e1f0a7b2d48e6c5a1f09b3d7e2c4a6b8f0d19";

class SDKService {
 public:
  struct Options {
    std::string dataFolder;
    std::string apiKey;
    double flushIntervalSeconds = 2;
    // The base URL clients are told to use (the events URL of the
    // settings); empty: the service's own. A test that puts a relay of its
    // own in front of the service names the relay here.
    std::string advertisedURL;
  };
  // Starts over TLS with `certificatePEM`/`privateKeyPEM`.
  static std::unique_ptr<SDKService> start(Options options, const std::string& certificatePEM,
                                           const std::string& privateKeyPEM);
  std::string baseURL() const { return server_->baseURL(); }
  // advertisedURL when set, else baseURL().
  std::string publicURL() const {
    return options_.advertisedURL.empty() ? baseURL() : options_.advertisedURL;
  }

 private:
  test_support::HTTPReply handle(const test_support::HTTPRecordedRequest& request);
  test_support::HTTPReply reject(const test_support::HTTPRecordedRequest& request,
                                 const std::string& why);
  test_support::HTTPReply settings(const test_support::HTTPRecordedRequest& request);
  test_support::HTTPReply onboarding(const test_support::HTTPRecordedRequest& request);
  test_support::HTTPReply events(const test_support::HTTPRecordedRequest& request);
  test_support::HTTPReply report(const test_support::HTTPRecordedRequest& request);

  Options options_;
  std::unique_ptr<test_support::HTTPTestServer> server_;
  std::mutex mutex_;
  unsigned counter_ = 0;
};

// Prints what the data folder holds (see above); returns the number of
// crash reports found.
int showReceived(const std::string& dataFolder, bool machineReadable);

// Writes the "Beacon" and "Crashtrail" dictionaries into the information
// property list at `plistPath` so that the application uses the service at
// `baseURL` with `apiKey`, trusting the authority in `caFile`.
bool configureInfoPlist(const std::string& plistPath, const std::string& baseURL,
                        const std::string& apiKey, const std::string& caFile, std::string* error);

}  // namespace sdk_service
