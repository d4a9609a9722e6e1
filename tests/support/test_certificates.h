// Certificates made at test time for TLS tests (sockets, HTTPS): a test
// certificate authority, leaf certificates it signs for loopback names, and
// self-signed certificates nobody trusts. Keys are EC P-256, validity is
// one day back to thirty days ahead.
//
// Thread safety: pure functions; each call makes new keys.
#pragma once

#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace test_support {

struct TestIdentity {
  std::string certificatePEM;
  std::string privateKeyPEM;
  platform::Bytes certificateDER;
  // Private key and certificate in one PEM text (what a TLS server setting takes).
  std::string identityPEM() const { return privateKeyPEM + certificatePEM; }
  platform::Bytes identityBytes() const {
    const std::string pem = identityPEM();
    return platform::Bytes(pem.begin(), pem.end());
  }
  platform::Bytes certificateBytes() const {
    return platform::Bytes(certificatePEM.begin(), certificatePEM.end());
  }
};

// A CA certificate (basic constraints CA:TRUE, key usage keyCertSign).
TestIdentity makeCertificateAuthority(const std::string& commonName);

// A server certificate signed by `issuer` (key usage digitalSignature and
// keyEncipherment, extended key usage serverAuth and clientAuth), with the
// given DNS names and IP addresses as subject alternative names.
TestIdentity makeLeafCertificate(const TestIdentity& issuer, const std::string& commonName,
                                 const std::vector<std::string>& dnsNames,
                                 const std::vector<std::string>& ipAddresses);

// A self-signed server certificate.
TestIdentity makeSelfSignedCertificate(const std::string& commonName,
                                       const std::vector<std::string>& dnsNames,
                                       const std::vector<std::string>& ipAddresses);

// Writes `pem` to a new owner-only file in a new temporary directory and
// returns its path.
std::string writeTemporaryPEM(const std::string& pem, const std::string& fileName = "ca.pem");

}  // namespace test_support
