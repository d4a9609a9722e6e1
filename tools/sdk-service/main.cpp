// varnel-sdk-service: the local stand-in of the SDK's remote services
// (settings, onboarding, analytics and crash reports), HTTPS on 127.0.0.1.
//
//   varnel-sdk-service --data DIR [--api-key KEY] [--url-file FILE]
//                      [--configure PLIST] [--flush-interval SECONDS]
//                      [--advertise URL]
//       runs until SIGINT or SIGTERM. Its certificate authority is written
//       to DIR/ca.pem (made anew at every start); the base URL is printed on
//       standard output (and written to --url-file). --configure writes the
//       "Beacon" and "Crashtrail" dictionaries of an installed application's
//       information property list so that it uses this service. --advertise
//       names the base URL clients are told to use (a relay in front of the
//       service, in tests), in the settings and in --configure.
//   varnel-sdk-service --show DIR [--frames]
//       prints what the service received: every crash report with its
//       signal or exception and the crashed thread's top frames, and the
//       analytics events by name.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "sdk-service/sdk_service.h"
#include "support/service_program.h"
#include "support/test_certificates.h"

namespace {
constexpr const char* kDefaultAPIKey = "0123456789abcdef0123456789abcdef01234567";
}

int main(int argc, char** argv) {
  std::string dataFolder, urlFile, plist, show, advertise;
  std::string apiKey = kDefaultAPIKey;
  double flushInterval = 2;
  bool frames = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--data") {
      dataFolder = next();
    } else if (arg == "--api-key") {
      apiKey = next();
    } else if (arg == "--url-file") {
      urlFile = next();
    } else if (arg == "--configure") {
      plist = next();
    } else if (arg == "--flush-interval") {
      flushInterval = std::atof(next().c_str());
    } else if (arg == "--advertise") {
      advertise = next();
    } else if (arg == "--show") {
      show = next();
    } else if (arg == "--frames") {
      frames = true;
    } else {
      std::fprintf(stderr,
                   "usage: %s --data DIR [--api-key KEY] [--url-file FILE] [--configure PLIST] "
                   "[--flush-interval S] [--advertise URL]\n       %s --show DIR [--frames]\n",
                   argv[0], argv[0]);
      return 2;
    }
  }
  if (!show.empty()) {
    sdk_service::showReceived(show, frames);
    return 0;
  }
  if (dataFolder.empty()) {
    std::fprintf(stderr, "--data is required\n");
    return 2;
  }

  const sigset_t stop = test_support::blockStopSignals();

  std::error_code ec;
  std::filesystem::create_directories(dataFolder, ec);
  const auto ca = test_support::makeCertificateAuthority("VarnelVPN Local SDK Service CA");
  const auto leaf =
      test_support::makeLeafCertificate(ca, "127.0.0.1", {"localhost"}, {"127.0.0.1"});
  const std::string caFile = std::filesystem::absolute(dataFolder + "/ca.pem").string();
  if (!test_support::writeFileOrSay(caFile, ca.certificatePEM, 0644)) return 1;
  auto service = sdk_service::SDKService::start({dataFolder, apiKey, flushInterval, advertise},
                                                leaf.certificatePEM, leaf.privateKeyPEM);
  const std::string url = service->baseURL();
  if (!plist.empty()) {
    std::string why;
    if (!sdk_service::configureInfoPlist(plist, service->publicURL(), apiKey, caFile, &why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return 1;
    }
  }
  if (!test_support::announceURL(url, urlFile)) return 1;

  test_support::waitForStopSignal(stop);
  service.reset();
  return 0;
}
