// BCNPinnedCertificates: the SDK's fixed list of eight public root
// certificates that its certificate pinning trusts, in this order:
// AddTrust External CA Root, Entrust Root Certification Authority, DigiCert
// High Assurance EV Root CA, VeriSign Class 3 Public Primary Certification
// Authority - G5, VeriSign Class 1, 2, 3 and 4 Public Primary Certification
// Authority - G3. Built once per process from DER bytes stored in the
// program; every caller gets the same list.
//
// Nothing replaces this list for the whole process. A test reaches its
// loopback server through a test CA given to the client it creates
// (CTRNetworkClient::create's pinnedCertificates), or through the local
// service configuration below.
//
// A local service (the demo installation's, or a test's) is trusted only
// when the application's information property list says so in full: its
// "Crashtrail" dictionary names the service's certificate authority (a PEM
// file) under "LocalServiceCertificateAuthority" AND its "SettingsEndpoint",
// "ConfigureEndpoint" and "ReportsEndpoint" are all HTTPS origins on the
// loopback interface. Then that authority's certificates follow the eight
// built-in ones; in every other case the list is the built-in one alone.
//
// Thread safety: any thread.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/security/certificate.h"
#include "platform/system/bundle.h"

namespace sdk {

using BCNCertificateList = std::vector<platform::security::Certificate>;

inline constexpr const char* kBCNLocalServiceConfigKey = "Crashtrail";
inline constexpr const char* kBCNLocalServiceCertificateAuthorityKey =
    "LocalServiceCertificateAuthority";

std::shared_ptr<const BCNCertificateList> BCNPinnedCertificates(
    const platform::BundlePtr& bundle = platform::Bundle::main());

// The local service's certificate authority when the information property
// list configures one as described above; empty otherwise.
BCNCertificateList BCNLocalServiceCertificates(
    const platform::BundlePtr& bundle = platform::Bundle::main());

// The eight built-in certificates.
std::shared_ptr<const BCNCertificateList> BCNBuiltInPinnedCertificates();

}  // namespace sdk
