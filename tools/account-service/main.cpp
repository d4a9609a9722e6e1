// varnel-account-service: runs the local account service until SIGINT or
// SIGTERM.
//
//   varnel-account-service [--data FILE] [--plain] [--ca-file FILE] [--url-file FILE]
//                          [--openvpn-credentials DIR] [--openvpn-users FILE]
//                          [--tunnel-status FILE]...
//
// --data      the JSON data file (default: the demo data beside the sources)
// --plain     plain HTTP instead of HTTPS
// --ca-file   where to write the certificate authority that signed the
//             service's certificate (default: the trusted-CA bundle under
//             VARNEL_ROOT, so that the client trusts the service)
// --url-file  also write the base URL there
// --openvpn-credentials  serve the OpenVPN CA, client certificate and keys of
//             DIR (ca.crt, client.crt, client.key, ta.key) in every OpenVPN
//             account, for the demo's own OpenVPN servers
// --openvpn-users  write the user names and passwords those servers must
//             accept there ("user password" lines, owner-only)
// --tunnel-status  a list of such a server's clients ("CLIENT_LIST" lines
//             as in its status file; repeatable): the visible IP is then the
//             tunnel's address while this machine holds it
// The base URL ("https://127.0.0.1:<port>") is printed on standard output.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "account-service/account_service.h"
#include "platform/security/trust.h"
#include "support/service_program.h"
#include "support/test_certificates.h"

int main(int argc, char** argv) {
  std::string dataFile = account_service::AccountService::demoDataFilePath();
  std::string caFile = platform::security::trustedCABundlePath();
  std::string urlFile, credentials, usersFile;
  std::vector<std::string> statusFiles;
  bool plain = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--data")
      dataFile = next();
    else if (arg == "--ca-file")
      caFile = next();
    else if (arg == "--url-file")
      urlFile = next();
    else if (arg == "--openvpn-credentials")
      credentials = next();
    else if (arg == "--openvpn-users")
      usersFile = next();
    else if (arg == "--tunnel-status")
      statusFiles.push_back(next());
    else if (arg == "--plain")
      plain = true;
    else {
      std::fprintf(stderr,
                   "usage: %s [--data FILE] [--plain] [--ca-file FILE] [--url-file FILE]\n"
                   "       [--openvpn-credentials DIR] [--openvpn-users FILE] "
                   "[--tunnel-status FILE]...\n",
                   argv[0]);
      return 2;
    }
  }

  platform::Error error;
  platform::Value data = account_service::AccountService::loadDataFile(dataFile, &error);
  if (data.isNone()) {
    std::fprintf(stderr, "cannot read %s: %s\n", dataFile.c_str(),
                 error.localizedDescription().c_str());
    return 1;
  }

  if (!credentials.empty()) {
    data = account_service::AccountService::withOpenVPNCredentials(data, credentials, &error);
    if (data.isNone()) {
      std::fprintf(stderr, "%s\n", error.localizedDescription().c_str());
      return 1;
    }
  }
  if (!usersFile.empty() &&
      !test_support::writeFileOrSay(usersFile, account_service::AccountService::openVPNUsers(data),
                                    0600)) {
    return 1;
  }

  // Block the stop signals before any thread starts, then wait for them.
  const sigset_t stop = test_support::blockStopSignals();

  std::unique_ptr<account_service::AccountService> service;
  if (plain) {
    service = account_service::AccountService::startPlain(data);
  } else {
    const auto ca = test_support::makeCertificateAuthority("VarnelVPN Local Account Service CA");
    const auto leaf =
        test_support::makeLeafCertificate(ca, "127.0.0.1", {"localhost"}, {"127.0.0.1"});
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(caFile).parent_path(), ec);
    if (!test_support::writeFileOrSay(caFile, ca.certificatePEM, 0644)) return 1;
    service =
        account_service::AccountService::startTLS(data, leaf.certificatePEM, leaf.privateKeyPEM);
  }
  service->setTunnelStatusFiles(statusFiles);
  if (!test_support::announceURL(service->baseURL(), urlFile)) return 1;

  test_support::waitForStopSignal(stop);
  service.reset();
  return 0;
}
