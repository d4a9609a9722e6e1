// BCNPinnedCertificates: the SDK's fixed list of eight public root
// certificates that its certificate pinning trusts, in this order:
// AddTrust External CA Root, Entrust Root Certification Authority, DigiCert
// High Assurance EV Root CA, VeriSign Class 3 Public Primary Certification
// Authority - G5, VeriSign Class 1, 2, 3 and 4 Public Primary Certification
// Authority - G3. Built once per process from DER bytes stored in the
// program; every caller gets the same list.
//
// Tests reach their loopback servers through a test CA: they replace the
// list for the whole process with BCNSetPinnedCertificatesForTesting (and
// restore the built-in one with nullopt); the same object is then handed
// to every caller until the next replacement.
//
// Thread safety: any thread.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/security/certificate.h"

namespace sdk {

using BCNCertificateList = std::vector<platform::security::Certificate>;

std::shared_ptr<const BCNCertificateList> BCNPinnedCertificates();

// The eight built-in certificates (whatever the test override).
std::shared_ptr<const BCNCertificateList> BCNBuiltInPinnedCertificates();

void BCNSetPinnedCertificatesForTesting(std::optional<BCNCertificateList> certificates);

}  // namespace sdk
